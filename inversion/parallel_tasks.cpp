#include "inversion/parallel_tasks.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

void run_tasks(int count, int threads, const std::function<void(int)>& task)
{
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex failure_lock;
    std::exception_ptr failure;
    int failed_index = count;
    // Takes indices until none is left or a task has thrown.
    auto work = [&] {
        for (int i = next++; i < count && !failed.load(); i = next++) {
            try {
                task(i);
            } catch (...) {
                std::lock_guard<std::mutex> hold(failure_lock);
                if (i < failed_index) {
                    failed_index = i;
                    failure = std::current_exception();
                }
                failed = true;
            }
        }
    };
    const int helpers = std::max(0, std::min(threads, count) - 1);
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(helpers));
    // A thread the system refuses leaves its share to the others.
    try {
        for (int t = 0; t < helpers; ++t) pool.emplace_back(work);
    } catch (const std::system_error&) {
    }
    work();
    for (std::thread& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
}
