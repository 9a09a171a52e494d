#include "side_by_side.h"

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace kv {

void side_by_side(size_t count, const std::function<void(size_t)>& job, unsigned threads,
                  size_t per_thread) {
    // A thread is worth starting for a few jobs at least: starting and joining one takes about
    // as many round trips to the Wine server as a few file-system calls.
    const size_t kJobsPerThread = per_thread ? per_thread : 1;
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < count; i = next++)
            job(i);
    };
    std::vector<std::thread> helpers;
    try {
        while (helpers.size() + 1 < threads && (helpers.size() + 1) * kJobsPerThread < count)
            helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // the jobs are shared among the threads there are
    }
    work();
    for (std::thread& t : helpers)
        t.join();
}

} // namespace kv
