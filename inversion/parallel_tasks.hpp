#pragma once

#include <functional>

// Runs task(0) .. task(count - 1) on up to `threads` threads (the calling
// thread among them), each index once, in no particular order: a task must
// depend only on its index for the results not to depend on `threads`.
// Once a task throws, no further task starts; the exception of the lowest
// index that threw is rethrown here after every thread has ended.
void run_tasks(int count, int threads, const std::function<void(int)>& task);
