#include <gtest/gtest.h>

#include <functional>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/program_entry.hpp"

namespace {

// An exception of no standard kind.
struct odd_failure {
    int code;
};

// A standard exception that says nothing.
struct silent_failure : std::exception {
    const char* what() const noexcept override { return ""; }
};

TEST(ProgramEntry, AnyEscapedExceptionEndsWithCode1AndItsText)
{
    struct entry_case {
        const char* name;
        std::function<int()> body;
        int code;
        const char* printed;  // on stderr ("" for nothing)
    };
    const entry_case cases[] = {
        {"a normal end", [] { return 0; }, 0, ""},
        {"a refusal", [] { return 2; }, 2, ""},
        {"out of memory", []() -> int { throw std::bad_alloc(); }, 1, "prog: not enough memory\n"},
        {"a failed read",
         []() -> int { throw std::ios_base::failure("basic_filebuf::underflow error reading the file"); }, 1,
         "prog: basic_filebuf::underflow error reading the file"},
        {"a vector too long",
         []() -> int { throw std::length_error("cannot create std::vector larger than max_size()"); }, 1,
         "prog: cannot create std::vector larger than max_size()\n"},
        {"a standard exception without a text", []() -> int { throw silent_failure(); }, 1,
         "prog: an unexpected error\n"},
        {"no standard exception", []() -> int { throw odd_failure{7}; }, 1,
         "prog: an unexpected error (not a standard exception)\n"},
        {"a thrown number", []() -> int { throw 42; }, 1, "prog: an unexpected error (not a standard exception)\n"},
    };
    for (const entry_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> escapes;
        testing::internal::CaptureStderr();
        const int code = guarded_entry("prog", c.body, [&](const char* text) { escapes.push_back(text); });
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, c.code);
        if (*c.printed == '\0') {
            EXPECT_EQ(printed, "");
            EXPECT_TRUE(escapes.empty());
        } else {
            EXPECT_EQ(printed.rfind(c.printed, 0), 0u) << printed;
            // The hook hears the same text once (morvane-mpi ends the job there).
            ASSERT_EQ(escapes.size(), 1u);
            EXPECT_EQ("prog: " + escapes[0] + "\n", printed);
        }
    }
}

TEST(ProgramEntry, WithoutAHookTheCodeIsStill1)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(guarded_entry("morvane-cli", []() -> int { throw std::runtime_error("disk gone"); }), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "morvane-cli: disk gone\n");
}

}  // namespace
