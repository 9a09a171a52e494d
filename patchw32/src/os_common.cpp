// Parts of the OS layer shared by both platforms.
#include "os.h"

#include <algorithm>

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

#ifdef _WIN32
// Windows flushes a whole volume only for administrators (FlushFileBuffers on the volume): the
// engine flushes each file there.
bool Folder::can_sync_volume() {
    return false;
}
Status Folder::sync_volume() const {
    return Status::fail(ErrKind::Other, "cannot flush the drive of " + path_ + " at once");
}
bool Folder::shares_volume(const std::string&) const {
    return false;
}
#endif

File File::over_memory(std::shared_ptr<const std::vector<uint8_t>> bytes) {
    File f;
    f.path_ = "(memory)";
    f.mem_ = std::move(bytes);
    return f;
}

Status File::read_exact_at(uint64_t off, void* buf, size_t n) {
    if (mem_) {
        if (off > mem_->size() || n > mem_->size() - off)
            return Status::fail(ErrKind::Other, path_ + ": unexpected end of file");
        std::copy(mem_->begin() + static_cast<ptrdiff_t>(off),
                  mem_->begin() + static_cast<ptrdiff_t>(off + n), static_cast<uint8_t*>(buf));
        return Status::success();
    }
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

// The encodings of RFC 3629 (UTF-8) and RFC 2781 (UTF-16).
size_t decode_utf8(const std::string& s, size_t i, uint32_t& cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (len == 0 || c > 0xF4 || i + len > s.size())
        return 0;
    cp = c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    static const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
        return;
    }
    size_t len = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    static const unsigned char lead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
    out += static_cast<char>(lead[len] | (cp >> (6 * (len - 1))));
    for (size_t k = len - 1; k-- > 0;)
        out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
}

bool utf8_to_utf16(const std::string& in, std::u16string& out) {
    out.clear();
    out.reserve(in.size());
    bool ok = true;
    for (size_t i = 0; i < in.size();) {
        uint32_t cp = 0;
        size_t n = decode_utf8(in, i, cp);
        if (n == 0) {
            out += u'\uFFFD';
            ok = false;
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += n;
    }
    return ok;
}

std::string utf16_to_utf8(const std::u16string& in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[++i] - 0xDC00);
        append_utf8(out, cp);
    }
    return out;
}

} // namespace kv::os
