#include "flusher.h"

namespace kv {

Flusher::Flusher(unsigned threads, size_t waiting)
    : threads_wanted_(threads ? threads : 1), waiting_(waiting ? waiting : 1) {}

Flusher::~Flusher() {
    finish();
}

void Flusher::flush_volume_of(const os::Folder& folder, size_t files) {
    if (os::Folder::can_sync_volume() && files > threads_wanted_)
        volume_ = &folder;
}

void Flusher::add(os::File f) {
    // The test hook is asked here, on the caller's thread, so that its failures come in the
    // same order on every run.
    os::Status s = os::check_fault("sync", f.path());
    std::unique_lock<std::mutex> lk(m_);
    if (s && failure_ && !volume_) {
        room_.wait(lk, [this] { return queue_.size() + busy_ < waiting_; });
        queue_.push_back(std::move(f));
        if (threads_.size() < threads_wanted_ && threads_.size() < queue_.size() + busy_)
            threads_.emplace_back([this] { work(); });
        more_.notify_one();
        return;
    }
    // Closed here: after a failure without a flush, else to be flushed with its whole file
    // system at the end.
    unflushed_ = volume_ != nullptr;
    lk.unlock();
    os::Status c = f.close();
    lk.lock();
    if (failure_)
        failure_ = s ? c : s;
}

os::Status Flusher::failure() {
    std::lock_guard<std::mutex> lk(m_);
    return failure_;
}

os::Status Flusher::finish() {
    {
        std::lock_guard<std::mutex> lk(m_);
        stop_ = true;
    }
    more_.notify_all();
    for (std::thread& t : threads_)
        t.join();
    std::lock_guard<std::mutex> lk(m_);
    threads_.clear();
    stop_ = false;
    if (volume_ && unflushed_ && failure_)
        failure_ = volume_->sync_volume();
    unflushed_ = false;
    return failure_;
}

void Flusher::work() {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
        more_.wait(lk, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        os::File f = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        bool flush = failure_.ok();
        lk.unlock();
        os::Status s = flush ? f.sync(false) : os::Status::success();
        os::Status c = f.close();
        lk.lock();
        if (s && !c)
            s = c;
        if (!s && failure_)
            failure_ = s;
        --busy_;
        room_.notify_all();
    }
}

} // namespace kv
