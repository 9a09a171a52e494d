// Small operating-system layer of the patch engine: files, directories, renames and a
// run lock. One implementation for Win32 (wide-character APIs) and one for POSIX. Paths are
// UTF-8 strings in the platform's native form (backslashes on Windows); on Windows each is
// converted to UTF-16 in one place as it reaches the system, and a long one is given the
// "\\?\" form that lifts the 260-character limit. On POSIX names are bytes, as the system
// keeps them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv::os {

// Link: a symbolic link, junction or other reparse point stands where a plain folder or file
// was expected; the engine never follows one.
enum class ErrKind {
    None,
    NotFound,
    Exists,
    NoSpace,
    CrossDevice,
    Busy,
    Access,
    NotEmpty,
    Link,
    Other
};

// Outcome of an operation; `text` is a readable description including the system's reason.
struct Status {
    ErrKind kind = ErrKind::None;
    int sys = 0;
    std::string text;
    bool ok() const { return kind == ErrKind::None; }
    explicit operator bool() const { return ok(); }
    static Status success() { return {}; }
    static Status fail(ErrKind k, std::string t, int sys = 0) {
        Status s;
        s.kind = k;
        s.sys = sys;
        s.text = std::move(t);
        return s;
    }
};

// Windows attribute bits as the patch format stores them.
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrHidden = 0x02;
constexpr uint32_t kAttrSystem = 0x04;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrMask = kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive;

struct Stat {
    bool exists = false;
    bool is_dir = false;
    bool is_file = false;
    bool is_link = false; // symbolic link, junction or other reparse point
    uint64_t size = 0;
    uint32_t attrs = 0;
};

struct DirEntry {
    std::string name;
    bool is_dir = false;
    bool is_link = false;
};

// An open file. Reads are positional; writes append sequentially.
class File {
  public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& o) noexcept;
    File& operator=(File&& o) noexcept;

    static Status open_read(const std::string& path, File& out);
    // Creates a new file for writing; fails if anything exists at the path. `ask_fault_hook`
    // false, here and for write: the caller asked the test hook already (on another thread).
    static Status create_new(const std::string& path, File& out, bool ask_fault_hook = true);
    // Opens an existing file for reading and writing (builder only).
    static Status open_update(const std::string& path, File& out);
    // A read-only file over bytes in memory (the new content of an earlier entry, which the
    // engine keeps while later entries read it).
    static File over_memory(std::shared_ptr<const std::vector<uint8_t>> bytes);
    // The bytes of a file over memory; null for a file on disk.
    const std::vector<uint8_t>* memory() const { return mem_.get(); }

    bool is_open() const;
    Status read_at(uint64_t off, void* buf, size_t n, size_t& got);
    Status read_exact_at(uint64_t off, void* buf, size_t n);
    Status write(const void* buf, size_t n, bool ask_fault_hook = true);
    Status write_at(uint64_t off, const void* buf, size_t n);
    Status size(uint64_t& out);
    // Flushes the file's data and size to disk. `ask_fault_hook` false: the caller asked the test
    // hook already (a flush on a thread of its own).
    Status sync(bool ask_fault_hook = true);
    Status close();
    const std::string& path() const { return path_; }

  private:
#ifdef _WIN32
    Status seek(uint64_t off);
    void* h_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::string path_;
    std::shared_ptr<const std::vector<uint8_t>> mem_; // set for a file over memory
    uint64_t wpos_ = 0;
    uint64_t kicked_ = 0; // written bytes already handed to writeback (Linux)
};

// Holds the exclusive run lock of one game directory for its lifetime. The lock belongs to
// the folder itself (POSIX: flock on the folder; Windows: a named mutex derived from the
// folder's volume and file id), so it needs no file of its own and does not depend on the
// journal existing.
class Lock {
  public:
    Lock() = default;
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    // Busy: another run holds it.
    static Status acquire(const std::string& folder, Lock& out);
    void release();
    bool held() const;

  private:
#ifdef _WIN32
    void* h_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// A folder held open while the engine works inside it. Opening never follows a symbolic link,
// junction or other reparse point (ErrKind::Link). While it is held, the folder cannot be
// swapped for a link: on POSIX every operation goes through the open handle (openat,
// unlinkat); on Windows the folder is held without delete sharing, so it cannot be renamed,
// removed or replaced until it is closed. Removing a name that is a link removes the link
// itself, never what it points to.
class Folder {
  public:
    Folder() = default;
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    static Status open(const std::string& path, Folder& out);
    Status open_child(const std::string& name, Folder& out) const;
    Status list(std::vector<DirEntry>& out) const;
    // `ask_fault_hook` false: the caller asked the test hook already (a removal on a thread of
    // its own).
    Status remove_file(const std::string& name, bool ask_fault_hook = true) const;
    // An empty folder, or a link standing in its place. `ask_fault_hook` as for remove_file.
    Status remove_dir(const std::string& name, bool ask_fault_hook = true) const;
    Status sync() const;
    // Whether sync_volume() is offered: a durable flush of everything written to a file system
    // in one call, which reports a failed write-back of any file (Linux from 5.8 on).
    static bool can_sync_volume();
    // Flushes everything written to this folder's file system since the folder was opened
    // (its files' data, their entries and sizes) to disk, or says why not.
    Status sync_volume() const;
    // Whether the folder or file at `path` is on this folder's file system (false when that
    // cannot be told; a link counts as what it is, never followed).
    bool shares_volume(const std::string& path) const;
    void close();
    bool is_open() const;
    const std::string& path() const { return path_; }

  private:
#ifdef _WIN32
    void* h_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::string path_;
};

Status stat(const std::string& path, Stat& out); // does not follow links
// `ask_fault_hook` false: the caller asked the test hook already (a rename on a thread of its own).
Status rename_noreplace(const std::string& from, const std::string& to, bool ask_fault_hook = true);
Status remove_file(const std::string& path);
Status make_dir(const std::string& path);
Status remove_dir(const std::string& path);
Status list_dir(const std::string& path, std::vector<DirEntry>& out);
Status set_attrs(const std::string& path, uint32_t attrs);
// `ask_fault_hook` false: the caller asked the test hook already (a flush on a thread of its own).
Status sync_dir(const std::string& path, bool ask_fault_hook = true);
std::string current_dir();
bool is_absolute(const std::string& path);
char separator();
std::string join(const std::string& a, const std::string& b);
// Drops trailing separators, keeping a root ("/", "C:\") intact.
std::string strip_trailing_sep(const std::string& path);
unsigned long process_id();

// The length of the well-formed UTF-8 sequence at s[i] and its code point; 0 when the bytes
// there are not one (RFC 3629: shortest form only, no surrogates, at most U+10FFFF).
size_t decode_utf8(const std::string& s, size_t i, uint32_t& cp);
// Appends the UTF-8 form of a code point (a surrogate gets the three bytes of its value).
void append_utf8(std::string& out, uint32_t cp);
// UTF-8 to UTF-16; false when `in` is not valid UTF-8 (each bad byte then gives U+FFFD).
bool utf8_to_utf16(const std::string& in, std::u16string& out);
// UTF-16 to UTF-8. A lone surrogate, which Windows allows in names, is written as the
// three bytes a surrogate would have, which no valid UTF-8 holds: such a name is kept
// distinct and is refused wherever valid UTF-8 is required.
std::string utf16_to_utf8(const std::u16string& in);

// The 8-bit text of the engine's callers: the system's ANSI code page on Windows, bytes as
// they are elsewhere. to_ansi shows characters the code page lacks as '?' (never a
// look-alike letter), so a name shown this way is never another file's name.
std::string from_ansi(const std::string& text);
std::string to_ansi(const std::string& utf8);

#ifdef _WIN32
// The UTF-16 form in which a path reaches the system: as given when shorter than 248
// characters, otherwise absolute with the "\\?\" (or "\\?\UNC\") prefix.
std::wstring system_path(const std::string& path);
#endif

// Test seam: a hook consulted before every operation that changes the file system. A
// false answer makes that operation fail as if the system had refused it. Unset in
// production.
using FaultHook = std::function<bool(const char* op, const std::string& path)>;
void set_fault_hook(FaultHook hook);
// The kind of failure an injected one reports (Other unless set), e.g. NoSpace for a full disk.
void set_fault_kind(ErrKind kind);
Status check_fault(const char* op, const std::string& path);

} // namespace kv::os
