#include <gtest/gtest.h>

#include <string>

#include "common/sha256.hpp"
#include "support/scratch_dir.hpp"
#include "support/shell.hpp"

namespace {

// sha256sum's digest of a file.
std::string coreutils_digest(const std::string& path)
{
    std::string out;
    EXPECT_EQ(run_command("sha256sum '" + path + "'", out), 0) << out;
    return out.substr(0, out.find(' '));
}

}  // namespace

TEST(Sha256, MatchesSha256sumOnShippedAndMadeFiles)
{
    const std::string shipped = std::string(MORVANE_SOURCE_DIR) + "/data/kleopatra_lc.txt";
    std::string why;
    EXPECT_EQ(sha256_of_file(shipped, why), coreutils_digest(shipped));
    EXPECT_EQ(why, "");

    scratch_dir dir;
    // Empty, one byte short of a block, and several reads' worth of bytes.
    std::string big;
    for (int i = 0; i < 200000; ++i) big += static_cast<char>('a' + i % 23);
    for (const std::string& text : {std::string(), std::string(63, 'x'), big}) {
        write_file("data.bin", text);
        EXPECT_EQ(sha256_of_file("data.bin", why), coreutils_digest("data.bin")) << text.size();
    }
}

TEST(Sha256, AMissingFileGivesNoDigestAndSaysWhy)
{
    scratch_dir dir;
    std::string why;
    EXPECT_EQ(sha256_of_file("missing.txt", why), "");
    EXPECT_NE(why.find("missing.txt"), std::string::npos) << why;
}
