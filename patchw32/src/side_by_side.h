// Runs jobs side by side on a few threads, for file-system calls whose order does not matter.
// Under Wine each such call waits for the server's answer; with several threads waiting at once,
// the server works on one call while the others go on, so on a machine with more than one core
// the calls take a fraction of the time they take one after the other. The threads share
// nothing but a counter: under Wine every wait on a lock or condition of a Windows program is a
// round trip to the server too, which would cost as much as the calls it spreads.
#pragma once

#include <cstddef>
#include <functional>

namespace kv {

// Runs job(0) .. job(count - 1) on up to `threads` threads, the caller's among them, and returns
// once every one has run; a thread is started for every `per_thread` jobs beyond the first
// (fewer for jobs that mostly wait, such as removals of large files). Each job must throw
// nothing. Where no further thread can be started, the caller's runs them all.
void side_by_side(size_t count, const std::function<void(size_t)>& job, unsigned threads = 4,
                  size_t per_thread = 8);

} // namespace kv
