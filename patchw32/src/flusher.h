// Flushes the engine's new files to disk on threads of its own, then closes them.
//
// A file system groups flushes that wait at the same moment into one commit of its log (ext4's
// journal, NTFS's log file), so small files flushed side by side cost about as much as one;
// flushed one after the other, each waits for a commit of its own (about 1-3 ms on a disk,
// which for 20,000 new files of a patch was most of the run).
#pragma once

#include "os.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

class Flusher {
  public:
    // At most `waiting` files are open at once, handed over but not yet flushed and closed.
    explicit Flusher(unsigned threads = 8, size_t waiting = 64);
    ~Flusher();
    Flusher(const Flusher&) = delete;
    Flusher& operator=(const Flusher&) = delete;

    // Hands over a written file; waits while `waiting` files are still open. After a failure
    // the files are closed without a flush.
    void add(os::File f);
    // The first failure so far (success while there is none).
    os::Status failure();
    // Waits until every file handed over is flushed and closed; the first failure.
    os::Status finish();

  private:
    void work();

    unsigned threads_wanted_;
    size_t waiting_;
    std::mutex m_;
    std::condition_variable more_, room_;
    std::deque<os::File> queue_;
    size_t busy_ = 0;
    bool stop_ = false;
    os::Status failure_ = os::Status::success();
    std::vector<std::thread> threads_;
};

} // namespace kv
