#pragma once

#include <functional>
#include <string>

// What the exception being handled says: "not enough memory" for
// std::bad_alloc, what() of any other std::exception, and a fixed text for
// anything else. Call it only inside a catch block; the text lives as long
// as the exception. Allocates nothing, so it can speak after an allocation
// failed.
const char* escaped_exception_text();

// The outermost handler of a program's own thread: returns what `body`
// returns, or, when an exception escapes it, prints "<program>: <text>"
// (escaped_exception_text) on stderr, calls `on_escape` with the text when
// one is given (morvane-mpi ends the whole job there) and returns 1, the
// exit code of a failed run. So no exception ever ends a program through
// std::terminate.
int guarded_entry(const std::string& program, const std::function<int()>& body,
                  const std::function<void(const char* text)>& on_escape = {});
