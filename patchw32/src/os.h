// Small operating-system layer of the patch engine: files, directories, renames and a
// run lock. One implementation for Win32 (-A APIs) and one for POSIX. Paths are 8-bit
// strings in the platform's native form (backslashes on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kv::os {

// Link: a symbolic link, junction or other reparse point stands where a plain folder or file
// was expected; the engine never follows one.
enum class ErrKind { None, NotFound, Exists, NoSpace, CrossDevice, Busy, Access, NotEmpty, Link, Other };

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
    // Creates a new file for writing; fails if anything exists at the path.
    static Status create_new(const std::string& path, File& out);
    // Opens an existing file for reading and writing (builder only).
    static Status open_update(const std::string& path, File& out);

    bool is_open() const;
    Status read_at(uint64_t off, void* buf, size_t n, size_t& got);
    Status read_exact_at(uint64_t off, void* buf, size_t n);
    Status write(const void* buf, size_t n);
    Status write_at(uint64_t off, const void* buf, size_t n);
    Status size(uint64_t& out);
    Status sync();
    Status close();
    const std::string& path() const { return path_; }

  private:
#ifdef _WIN32
    void* h_ = nullptr;
#else
    int fd_ = -1;
#endif
    std::string path_;
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
    Status remove_file(const std::string& name) const;
    // An empty folder, or a link standing in its place.
    Status remove_dir(const std::string& name) const;
    Status sync() const;
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
Status rename_noreplace(const std::string& from, const std::string& to);
Status remove_file(const std::string& path);
Status make_dir(const std::string& path);
Status remove_dir(const std::string& path);
Status list_dir(const std::string& path, std::vector<DirEntry>& out);
Status set_attrs(const std::string& path, uint32_t attrs);
Status sync_dir(const std::string& path);
std::string current_dir();
bool is_absolute(const std::string& path);
char separator();
std::string join(const std::string& a, const std::string& b);
// Drops trailing separators, keeping a root ("/", "C:\") intact.
std::string strip_trailing_sep(const std::string& path);
unsigned long process_id();

// Test seam: a hook consulted before every operation that changes the file system. A
// false answer makes that operation fail as if the system had refused it. Unset in
// production.
using FaultHook = std::function<bool(const char* op, const std::string& path)>;
void set_fault_hook(FaultHook hook);
// The kind of failure an injected one reports (Other unless set), e.g. NoSpace for a full disk.
void set_fault_kind(ErrKind kind);
Status check_fault(const char* op, const std::string& path);

} // namespace kv::os
