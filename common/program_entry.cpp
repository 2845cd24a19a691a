#include "common/program_entry.hpp"

#include <cstdio>
#include <exception>
#include <new>

const char* escaped_exception_text()
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "not enough memory";
    } catch (const std::exception& e) {
        const char* what = e.what();
        return what && *what ? what : "an unexpected error";
    } catch (...) {
        return "an unexpected error (not a standard exception)";
    }
}

int guarded_entry(const std::string& program, const std::function<int()>& body,
                  const std::function<void(const char* text)>& on_escape)
{
    try {
        return body();
    } catch (...) {
        const char* text = escaped_exception_text();
        std::fprintf(stderr, "%s: %s\n", program.c_str(), text);
        std::fflush(stderr);
        if (on_escape) on_escape(text);
        return 1;
    }
}
