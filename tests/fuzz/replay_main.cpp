// Replays a fuzz corpus without libFuzzer: every regular file of the folder
// named on the command line goes once through LLVMFuzzerTestOneInput, in
// name order, so that an ordinary build (and the sanitizer build) checks the
// target's promises on the seeds. The target aborts on a broken promise;
// this driver fails when the folder is missing or holds no input.
//
//   fuzz_replay CORPUS_DIR
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);
// Optional in a target, as libFuzzer treats it.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

namespace {

// The whole content of a file; false when it cannot be read.
bool read_input(const fs::path& path, std::vector<char>& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argc > 0 ? argv[0] : "fuzz_replay");
        return 2;
    }
    // Absolute: a target may change the working folder (the shard merge
    // works in a scratch folder of its own).
    const fs::path dir = fs::absolute(argv[1]);
    std::error_code error;
    std::vector<fs::path> inputs;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file()) inputs.push_back(it->path());
    if (error) {
        std::fprintf(stderr, "fuzz_replay: cannot list %s: %s\n", dir.c_str(), error.message().c_str());
        return 1;
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "fuzz_replay: no input in %s\n", dir.c_str());
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());

    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<char> bytes;
    for (const fs::path& path : inputs) {
        if (!read_input(path, bytes)) {
            std::fprintf(stderr, "fuzz_replay: cannot read %s\n", path.c_str());
            return 1;
        }
        // An exactly sized copy, as libFuzzer hands it over, so that the
        // sanitizers see any read past the end.
        const std::size_t size = bytes.size();
        const auto copy = std::make_unique<uint8_t[]>(size);
        std::copy(bytes.begin(), bytes.end(), copy.get());
        std::fprintf(stderr, "fuzz_replay: %s (%zu bytes)\n", path.filename().c_str(), size);
        LLVMFuzzerTestOneInput(copy.get(), size);
    }
    std::printf("fuzz_replay: replayed %zu inputs from %s\n", inputs.size(), dir.c_str());
    return 0;
}
