// POSIX implementation of the OS layer.
#ifndef _WIN32
#include "os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kv::os {

namespace {

ErrKind kind_of(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return ErrKind::NotFound;
    case EEXIST:
        return ErrKind::Exists;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ErrKind::NoSpace;
    case EXDEV:
        return ErrKind::CrossDevice;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
        return ErrKind::Busy;
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrKind::Access;
    case ENOTEMPTY:
        return ErrKind::NotEmpty;
    case ELOOP:
        return ErrKind::Link;
    default:
        return ErrKind::Other;
    }
}

Status errno_status(const char* what, const std::string& path, int e = errno) {
    return Status::fail(kind_of(e), std::string(what) + " " + path + ": " + std::strerror(e), e);
}

} // namespace

File::~File() {
    close();
}
File::File(File&& o) noexcept
    : fd_(o.fd_), path_(std::move(o.path_)), mem_(std::move(o.mem_)), wpos_(o.wpos_),
      kicked_(o.kicked_) {
    o.fd_ = -1;
}
File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        path_ = std::move(o.path_);
        mem_ = std::move(o.mem_);
        wpos_ = o.wpos_;
        kicked_ = o.kicked_;
        o.fd_ = -1;
    }
    return *this;
}

bool File::is_open() const {
    return fd_ >= 0 || mem_;
}

Status File::open_read(const std::string& path, File& out) {
    out.close();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno_status("cannot open", path);
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return Status::fail(ErrKind::Other, "cannot open " + path + ": it is a folder");
    }
    out.fd_ = fd;
    out.path_ = path;
    return Status::success();
}

Status File::create_new(const std::string& path, File& out, bool ask_fault_hook) {
    out.close();
    if (Status f = ask_fault_hook ? check_fault("create", path) : Status::success(); !f)
        return f;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno_status("cannot create", path);
    out.fd_ = fd;
    out.path_ = path;
    out.wpos_ = 0;
    out.kicked_ = 0;
    return Status::success();
}

Status File::open_update(const std::string& path, File& out) {
    out.close();
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return errno_status("cannot open", path);
    out.fd_ = fd;
    out.path_ = path;
    struct stat st;
    out.wpos_ = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    out.kicked_ = out.wpos_;
    return Status::success();
}

Status File::read_at(uint64_t off, void* buf, size_t n, size_t& got) {
    got = 0;
    for (;;) {
        ssize_t r = ::pread(fd_, buf, n, static_cast<off_t>(off));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno_status("cannot read", path_);
        got = static_cast<size_t>(r);
        return Status::success();
    }
}

Status File::write(const void* buf, size_t n, bool ask_fault_hook) {
    if (Status f = ask_fault_hook ? check_fault("write", path_) : Status::success(); !f)
        return f;
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t r = ::pwrite(fd_, p, n, static_cast<off_t>(wpos_));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno_status("cannot write", path_);
        if (r == 0)
            return errno_status("cannot write", path_, ENOSPC);
        p += r;
        n -= static_cast<size_t>(r);
        wpos_ += static_cast<uint64_t>(r);
    }
#ifdef __linux__
    // Large outputs are handed to writeback as they grow, so that the flush at the end of a
    // file only waits for its last few megabytes.
    constexpr uint64_t kKick = 8u << 20;
    if (wpos_ - kicked_ >= kKick) {
        ::sync_file_range(fd_, static_cast<off_t>(kicked_), static_cast<off_t>(wpos_ - kicked_),
                          SYNC_FILE_RANGE_WRITE);
        kicked_ = wpos_;
    }
#endif
    return Status::success();
}

Status File::size(uint64_t& out) {
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        return errno_status("cannot query", path_);
    out = static_cast<uint64_t>(st.st_size);
    return Status::success();
}

Status File::sync(bool ask_fault_hook) {
    if (Status f = ask_fault_hook ? check_fault("sync", path_) : Status::success(); !f)
        return f;
    if (::fsync(fd_) != 0)
        return errno_status("cannot flush", path_);
    return Status::success();
}

Status File::close() {
    mem_.reset();
    if (fd_ < 0)
        return Status::success();
    int r = ::close(fd_);
    fd_ = -1;
    if (r != 0)
        return errno_status("cannot close", path_);
    return Status::success();
}

Lock::~Lock() {
    release();
}
bool Lock::held() const {
    return fd_ >= 0;
}

Status Lock::acquire(const std::string& folder, Lock& out) {
    out.release();
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno_status("cannot open", folder);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        return Status::fail(ErrKind::Busy, folder + " is locked by another run", e);
    }
    out.fd_ = fd;
    return Status::success();
}

void Lock::release() {
    if (fd_ < 0)
        return;
    ::close(fd_); // the lock goes with the descriptor
    fd_ = -1;
}

// Folders held open: every operation inside goes through the descriptor, so nothing that
// happens to the folder's path meanwhile can redirect it.
namespace {

Status open_folder_at(int at, const std::string& name, const std::string& full, int& fd) {
    fd = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        return Status::success();
    int e = errno;
    struct stat st;
    if ((e == ELOOP || e == ENOTDIR) &&
        ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return Status::fail(ErrKind::Link, full + " is a link, which the engine never follows", e);
    return errno_status("cannot open folder", full, e);
}

} // namespace

Folder::~Folder() {
    close();
}
bool Folder::is_open() const {
    return fd_ >= 0;
}
void Folder::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

Status Folder::open(const std::string& path, Folder& out) {
    out.close();
    Status s = open_folder_at(AT_FDCWD, path, path, out.fd_);
    if (s)
        out.path_ = path;
    return s;
}

Status Folder::open_child(const std::string& name, Folder& out) const {
    out.close();
    std::string full = join(path_, name);
    Status s = open_folder_at(fd_, name, full, out.fd_);
    if (s)
        out.path_ = full;
    return s;
}

// Reads every entry of an open folder listing and closes it. Each entry is examined relative
// to the listing's own handle without following links, so a name is never looked up again
// through a path that could have been swapped meanwhile.
namespace {
Status read_entries(DIR* d, std::vector<DirEntry>& out) {
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        DirEntry de;
        de.name = name;
        struct stat st;
        if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            de.is_dir = S_ISDIR(st.st_mode);
            de.is_link = S_ISLNK(st.st_mode);
        }
        out.push_back(std::move(de));
    }
    ::closedir(d);
    return Status::success();
}
} // namespace

Status Folder::list(std::vector<DirEntry>& out) const {
    out.clear();
    int fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!d) {
        Status s = errno_status("cannot list", path_);
        if (fd >= 0)
            ::close(fd);
        return s;
    }
    return read_entries(d, out);
}

Status Folder::remove_file(const std::string& name, bool ask_fault_hook) const {
    std::string full = join(path_, name);
    if (Status f = ask_fault_hook ? check_fault("remove", full) : Status::success(); !f)
        return f;
    if (::unlinkat(fd_, name.c_str(), 0) != 0)
        return errno_status("cannot delete", full);
    return Status::success();
}

Status Folder::remove_dir(const std::string& name, bool ask_fault_hook) const {
    std::string full = join(path_, name);
    if (Status f = ask_fault_hook ? check_fault("rmdir", full) : Status::success(); !f)
        return f;
    if (::unlinkat(fd_, name.c_str(), AT_REMOVEDIR) == 0)
        return Status::success();
    int e = errno;
    struct stat st;
    if (e == ENOTDIR && ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode) && ::unlinkat(fd_, name.c_str(), 0) == 0)
        return Status::success(); // a link stood there: it goes, its target stays
    return errno_status("cannot remove folder", full, e == EEXIST ? ENOTEMPTY : e);
}

Status Folder::sync() const {
    if (Status f = check_fault("syncdir", path_); !f)
        return f;
    ::fsync(fd_); // some file systems refuse to flush folders; nothing to do about it
    return Status::success();
}

// syncfs() came with Linux 2.6.39, but reports a failed write-back only from 5.8 on: before,
// it said success whatever happened, and the engine flushes each file instead.
bool Folder::can_sync_volume() {
#ifdef __linux__
    static const bool offered = [] {
        struct utsname u;
        int major = 0, minor = 0;
        return ::uname(&u) == 0 && std::sscanf(u.release, "%d.%d", &major, &minor) == 2 &&
               (major > 5 || (major == 5 && minor >= 8));
    }();
    return offered;
#else
    return false;
#endif
}

Status Folder::sync_volume() const {
    if (Status f = check_fault("syncvolume", path_); !f)
        return f;
#ifdef __linux__
    if (::syncfs(fd_) != 0)
        return errno_status("cannot flush the drive of", path_);
    return Status::success();
#else
    return Status::fail(ErrKind::Other, "cannot flush the drive of " + path_ + " at once");
#endif
}

bool Folder::shares_volume(const std::string& path) const {
    struct stat mine, other;
    return ::fstat(fd_, &mine) == 0 && ::lstat(path.c_str(), &other) == 0 &&
           mine.st_dev == other.st_dev;
}

Status stat(const std::string& path, Stat& out) {
    out = Stat{};
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return Status::success();
        return errno_status("cannot examine", path);
    }
    out.exists = true;
    out.is_link = S_ISLNK(st.st_mode);
    out.is_dir = S_ISDIR(st.st_mode);
    out.is_file = S_ISREG(st.st_mode);
    out.size = static_cast<uint64_t>(st.st_size);
    if (!(st.st_mode & S_IWUSR))
        out.attrs |= kAttrReadOnly;
    return Status::success();
}

Status rename_noreplace(const std::string& from, const std::string& to, bool ask_fault_hook) {
    if (Status f = ask_fault_hook ? check_fault("rename", from) : Status::success(); !f)
        return f;
#ifdef SYS_renameat2
    long r = ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                       1 /*RENAME_NOREPLACE*/);
    if (r == 0)
        return Status::success();
    if (errno != ENOSYS && errno != EINVAL)
        return errno_status("cannot move", from + " to " + to);
#endif
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0)
        return errno_status("cannot move", from + " to " + to, EEXIST);
    if (::rename(from.c_str(), to.c_str()) != 0)
        return errno_status("cannot move", from + " to " + to);
    return Status::success();
}

Status remove_file(const std::string& path) {
    if (Status f = check_fault("remove", path); !f)
        return f;
    if (::unlink(path.c_str()) != 0)
        return errno_status("cannot delete", path);
    return Status::success();
}

Status make_dir(const std::string& path) {
    if (Status f = check_fault("mkdir", path); !f)
        return f;
    if (::mkdir(path.c_str(), 0777) != 0)
        return errno_status("cannot create folder", path);
    return Status::success();
}

Status remove_dir(const std::string& path) {
    if (Status f = check_fault("rmdir", path); !f)
        return f;
    if (::rmdir(path.c_str()) != 0) {
        int e = errno == EEXIST ? ENOTEMPTY : errno;
        return errno_status("cannot remove folder", path, e);
    }
    return Status::success();
}

Status list_dir(const std::string& path, std::vector<DirEntry>& out) {
    out.clear();
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return errno_status("cannot list", path);
    return read_entries(d, out);
}

Status set_attrs(const std::string& path, uint32_t attrs) {
    if (Status f = check_fault("attributes", path); !f)
        return f;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return errno_status("cannot examine", path);
    mode_t m = st.st_mode & 07777;
    if (attrs & kAttrReadOnly)
        m &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        m |= S_IWUSR;
    if (::chmod(path.c_str(), m) != 0)
        return errno_status("cannot set attributes of", path);
    return Status::success();
}

Status sync_dir(const std::string& path, bool ask_fault_hook) {
    if (Status f = ask_fault_hook ? check_fault("syncdir", path) : Status::success(); !f)
        return f;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno_status("cannot open folder", path);
    ::fsync(fd); // some file systems refuse to flush folders; nothing to do about it
    ::close(fd);
    return Status::success();
}

std::string current_dir() {
    std::vector<char> buf(4096);
    while (!::getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE)
            return ".";
        buf.resize(buf.size() * 2);
    }
    return buf.data();
}

bool is_absolute(const std::string& path) {
    return !path.empty() && path[0] == '/';
}
char separator() {
    return '/';
}
unsigned long process_id() {
    return static_cast<unsigned long>(::getpid());
}

// Names are bytes here: the callers' 8-bit text is taken and given back unchanged.
std::string from_ansi(const std::string& text) {
    return text;
}
std::string to_ansi(const std::string& utf8) {
    return utf8;
}

} // namespace kv::os
#endif
