// Flushes the engine's new files to disk on threads of its own, then closes them.
//
// A file system groups flushes that wait at the same moment into one commit of its log (ext4's
// journal, NTFS's log file), so small files flushed side by side cost about as much as one;
// flushed one after the other, each waits for a commit of its own (about 1-3 ms on a disk,
// which for 20,000 new files of a patch was most of the run).
//
// Where the system flushes a whole file system in one call and reports a failed write-back
// through it (Linux's syncfs), a run of more files than there are threads only closes them as
// they come, and one flush of their file system at the end makes them all durable: a flush
// per file costs a flush of the disk's cache each, and on a file system without a journal a
// write of the file's folder too (924 small files: about 0.5 s flushed on 8 threads, 0.2 s with
// one flush at the end). A run of a few files flushes each on its own (one a thread, while the
// run goes on) and does without the flush of the whole file system, which also waits for what
// other programs wrote to it.
//
// A small new file can be handed over unwritten, as bytes: a thread creates, writes and closes
// it while the run decodes the next one (a thousand small new files: creating and writing them
// took as long as decoding them).
#pragma once

#include "os.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
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

    // The files handed over from now on, at most `files` of them, are all in `folder`'s file
    // system: where the system can and they are more than the threads, finish() makes them
    // durable in one flush of it, through `folder`, which stays open until then.
    void flush_volume_of(const os::Folder& folder, size_t files);
    // Hands over a written file; waits while `waiting` files are still open. After a failure
    // the files are closed without a flush.
    void add(os::File f);
    // Hands over a new file still to be created at `path` and written with `bytes` (at most
    // kHeldBytes are held at once). The test hook is asked here for the write and the flush;
    // the write's refusal is returned, nothing handed over. After a failure nothing is created.
    static constexpr size_t kHeldBytes = sizeof(void*) >= 8 ? 4u << 20 : 1u << 20;
    os::Status add_unwritten(const std::string& path,
                             std::shared_ptr<const std::vector<uint8_t>> bytes);
    // The first failure so far (success while there is none).
    os::Status failure();
    // Waits until every file handed over is flushed and closed; the first failure.
    os::Status finish();

  private:
    // A file handed over: open and written, or still to be created from `bytes`.
    struct Job {
        os::File file;
        std::string path;
        std::shared_ptr<const std::vector<uint8_t>> bytes;
    };
    void queue_locked(std::unique_lock<std::mutex>& lk, Job job);
    os::Status carry_out(Job& job, bool flush);
    void work();

    unsigned threads_wanted_;
    size_t waiting_;
    const os::Folder* volume_ = nullptr; // flushed at once at the end, when set
    bool unflushed_ = false;             // files closed since the last flush of volume_
    std::mutex m_;
    std::condition_variable more_, room_;
    std::deque<Job> queue_;
    size_t busy_ = 0;
    size_t held_bytes_ = 0; // of the unwritten files queued or being written
    bool stop_ = false;
    os::Status failure_ = os::Status::success();
    std::vector<std::thread> threads_;
};

} // namespace kv
