// Parts of the OS layer shared by both platforms.
#include "os.h"

namespace kv::os {

namespace {
FaultHook& hook_slot() {
    static FaultHook h;
    return h;
}
} // namespace

static ErrKind& fault_kind_slot() {
    static ErrKind k = ErrKind::Other;
    return k;
}

void set_fault_hook(FaultHook hook) {
    hook_slot() = std::move(hook);
}

void set_fault_kind(ErrKind kind) {
    fault_kind_slot() = kind;
}

Status check_fault(const char* op, const std::string& path) {
    auto& h = hook_slot();
    if (h && !h(op, path))
        return Status::fail(fault_kind_slot(), std::string(op) + " " + path + ": injected failure");
    return Status::success();
}

Status File::read_exact_at(uint64_t off, void* buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        size_t got = 0;
        Status s = read_at(off + done, static_cast<char*>(buf) + done, n - done, got);
        if (!s)
            return s;
        if (got == 0)
            return Status::fail(ErrKind::Other, path_ + ": unexpected end of file");
        done += got;
    }
    return Status::success();
}

std::string join(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    char last = a.back();
    bool has_sep = last == '/';
#ifdef _WIN32
    has_sep = has_sep || last == '\\' || (a.size() == 2 && a[1] == ':');
#endif
    return has_sep ? a + b : a + separator() + b;
}

std::string strip_trailing_sep(const std::string& path) {
    std::string p = path;
    auto is_sep = [](char c) {
#ifdef _WIN32
        return c == '/' || c == '\\';
#else
        return c == '/';
#endif
    };
    while (p.size() > 1 && is_sep(p.back())) {
#ifdef _WIN32
        if (p.size() == 3 && p[1] == ':')
            break; // "C:\"
#endif
        p.pop_back();
    }
    return p;
}

// Writes at an offset through the sequential writer; the write position ends after the
// furthest byte written so far.
Status File::write_at(uint64_t off, const void* buf, size_t n) {
    uint64_t keep = wpos_;
    wpos_ = off;
    Status s = write(buf, n);
    wpos_ = keep > off + n ? keep : off + n;
    return s;
}

} // namespace kv::os
