// Win32 implementation of the OS layer (wide-character APIs only; every path passes
// through system_path).
#ifdef _WIN32
#include "os.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <mutex>

namespace kv::os {

namespace {

ErrKind kind_of(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return ErrKind::NotFound;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return ErrKind::Exists;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ErrKind::NoSpace;
    case ERROR_NOT_SAME_DEVICE:
        return ErrKind::CrossDevice;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return ErrKind::Busy;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return ErrKind::Access;
    case ERROR_DIR_NOT_EMPTY:
        return ErrKind::NotEmpty;
    default:
        return ErrKind::Other;
    }
}

// Paths at least this long get the "\\?\" form (CreateDirectoryW stops at MAX_PATH - 12);
// shorter ones reach the system exactly as given.
constexpr size_t kLongPath = MAX_PATH - 12;

std::wstring to_wide(const std::string& utf8) {
    std::u16string u;
    utf8_to_utf16(utf8, u);
    return std::wstring(u.begin(), u.end());
}

std::string from_wide(const wchar_t* w, size_t n) {
    return utf16_to_utf8(std::u16string(w, w + n));
}

std::string system_text(DWORD e) {
    wchar_t buf[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e,
                             0, buf, 512, nullptr);
    std::string s = from_wide(buf, n);
    while (!s.empty() &&
           (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    if (s.empty())
        s = "system error " + std::to_string(e);
    return s;
}

Status last_error(const char* what, const std::string& path, DWORD e = GetLastError()) {
    return Status::fail(kind_of(e), std::string(what) + " " + path + ": " + system_text(e),
                        static_cast<int>(e));
}

HANDLE as_handle(void* h) {
    return static_cast<HANDLE>(h);
}

} // namespace

// The one place where a path meets the system: UTF-8 to UTF-16, and a long path made
// absolute by the system's own rules (relative parts, "/" and "." resolved) and prefixed
// "\\?\" (or "\\?\UNC\" for a share) so that it may run to 32,767 characters.
std::wstring system_path(const std::string& path) {
    std::wstring w = to_wide(path);
    if ((w.size() < kLongPath && is_absolute(path)) || w.rfind(L"\\\\?\\", 0) == 0 ||
        w.rfind(L"\\\\.\\", 0) == 0)
        return w;
    // A relative path is long when it is long together with the current directory.
    DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return w;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size() || n < kLongPath)
        return w;
    full.resize(n);
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

File::~File() {
    close();
}
File::File(File&& o) noexcept
    : h_(o.h_), path_(std::move(o.path_)), mem_(std::move(o.mem_)), wpos_(o.wpos_) {
    o.h_ = nullptr;
}
File& File::operator=(File&& o) noexcept {
    if (this != &o) {
        close();
        h_ = o.h_;
        path_ = std::move(o.path_);
        mem_ = std::move(o.mem_);
        wpos_ = o.wpos_;
        o.h_ = nullptr;
    }
    return *this;
}

bool File::is_open() const {
    return h_ != nullptr || mem_;
}

Status File::open_read(const std::string& path, File& out) {
    out.close();
    HANDLE h =
        CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_error("cannot open", path);
    out.h_ = h;
    out.path_ = path;
    return Status::success();
}

Status File::create_new(const std::string& path, File& out, bool ask_fault_hook) {
    out.close();
    if (Status f = ask_fault_hook ? check_fault("create", path) : Status::success(); !f)
        return f;
    HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_error("cannot create", path);
    out.h_ = h;
    out.path_ = path;
    out.wpos_ = 0;
    return Status::success();
}

Status File::open_update(const std::string& path, File& out) {
    out.close();
    HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_error("cannot open", path);
    out.h_ = h;
    out.path_ = path;
    uint64_t sz = 0;
    out.size(sz);
    out.wpos_ = sz;
    return Status::success();
}

// Reads and writes are placed with the file pointer, not with an OVERLAPPED offset: under Wine
// every call that names an OVERLAPPED costs one more server round trip (a completion report
// that a handle without a completion port drops).
Status File::seek(uint64_t off) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(off);
    if (!SetFilePointerEx(as_handle(h_), at, nullptr, FILE_BEGIN))
        return last_error("cannot seek in", path_);
    return Status::success();
}

Status File::read_at(uint64_t off, void* buf, size_t n, size_t& got) {
    got = 0;
    if (n > (1u << 30))
        n = 1u << 30;
    DWORD r = 0;
    // The file pointer is shared by every thread that uses the handle, and the delta decoder
    // reads one old file from several threads at once: the seek and the read it places are
    // made under one lock, or a read lands where another thread's seek put the pointer.
    static std::mutex placing;
    std::lock_guard<std::mutex> hold(placing);
    if (Status s = seek(off); !s)
        return s;
    if (!ReadFile(as_handle(h_), buf, static_cast<DWORD>(n), &r, nullptr)) {
        DWORD e = GetLastError();
        if (e == ERROR_HANDLE_EOF)
            return Status::success();
        return last_error("cannot read", path_, e);
    }
    got = r;
    return Status::success();
}

Status File::write(const void* buf, size_t n, bool ask_fault_hook) {
    if (Status f = ask_fault_hook ? check_fault("write", path_) : Status::success(); !f)
        return f;
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        DWORD chunk = n > (1u << 26) ? (1u << 26) : static_cast<DWORD>(n);
        DWORD w = 0;
        if (Status s = seek(wpos_); !s)
            return s;
        if (!WriteFile(as_handle(h_), p, chunk, &w, nullptr))
            return last_error("cannot write", path_);
        if (w == 0)
            return last_error("cannot write", path_, ERROR_DISK_FULL);
        p += w;
        n -= w;
        wpos_ += w;
    }
    return Status::success();
}

Status File::size(uint64_t& out) {
    LARGE_INTEGER li;
    if (!GetFileSizeEx(as_handle(h_), &li))
        return last_error("cannot query", path_);
    out = static_cast<uint64_t>(li.QuadPart);
    return Status::success();
}

Status File::sync(bool ask_fault_hook) {
    if (Status f = ask_fault_hook ? check_fault("sync", path_) : Status::success(); !f)
        return f;
    if (!FlushFileBuffers(as_handle(h_)))
        return last_error("cannot flush", path_);
    return Status::success();
}

Status File::close() {
    mem_.reset();
    if (!h_)
        return Status::success();
    BOOL ok = CloseHandle(as_handle(h_));
    h_ = nullptr;
    if (!ok)
        return last_error("cannot close", path_);
    return Status::success();
}

Status stat(const std::string& path, Stat& out) {
    out = Stat{};
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (!GetFileAttributesExW(system_path(path).c_str(), GetFileExInfoStandard, &d)) {
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
            return Status::success();
        return last_error("cannot examine", path, e);
    }
    out.exists = true;
    out.is_link = (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    out.is_dir = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    out.is_file = !out.is_dir && !(d.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
    out.size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
    out.attrs = d.dwFileAttributes & kAttrMask;
    return Status::success();
}

namespace {

// The name under which the system's own rename takes a target: the full path with the "\??\"
// prefix ("\??\UNC\" for a share).
std::wstring nt_path(const std::string& path) {
    std::wstring w = system_path(path);
    if (w.rfind(L"\\\\?\\", 0) != 0 && w.rfind(L"\\\\.\\", 0) != 0) {
        DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
        std::wstring full(n, L'\0');
        n = n ? GetFullPathNameW(w.c_str(), n, full.data(), nullptr) : 0;
        if (n == 0 || n >= full.size())
            return {};
        full.resize(n);
        w = full.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
    }
    w[1] = w[2] = L'?'; // "\\?\" or "\\.\" becomes "\??\"
    return w;
}

} // namespace

// One open, the rename on that handle and the close: under Wine three round trips to the
// server where MoveFileEx takes four. The name moved is the one at `from` itself, a link
// included (never what it points to). Renames are made durable by the folder flushes that
// follow them.
Status rename_noreplace(const std::string& from, const std::string& to, bool ask_fault_hook) {
    if (Status f = ask_fault_hook ? check_fault("rename", from) : Status::success(); !f)
        return f;
    std::wstring target = nt_path(to);
    if (target.empty() || target.size() * sizeof(wchar_t) > 0xFFFF)
        return Status::fail(ErrKind::Other, "cannot move " + from + " to " + to + ": bad path");
    HANDLE h =
        CreateFileW(system_path(from).c_str(), DELETE | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_error("cannot move", from + " to " + to);
    size_t bytes = target.size() * sizeof(wchar_t);
    std::vector<uint8_t> buf(offsetof(FILE_RENAME_INFO, FileName) + bytes + sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::copy(target.begin(), target.end(), info->FileName);
    BOOL ok = SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buf.size()));
    DWORD e = GetLastError();
    CloseHandle(h);
    if (!ok)
        return last_error("cannot move", from + " to " + to, e);
    return Status::success();
}

namespace {

Status remove_file_unhooked(const std::string& path) {
    std::wstring w = system_path(path);
    DWORD a = GetFileAttributesW(w.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(w.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    if (!DeleteFileW(w.c_str())) {
        DWORD e = GetLastError();
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesW(w.c_str(), a);
        return last_error("cannot delete", path, e);
    }
    return Status::success();
}

} // namespace

Status remove_file(const std::string& path) {
    if (Status f = check_fault("remove", path); !f)
        return f;
    return remove_file_unhooked(path);
}

Status make_dir(const std::string& path) {
    if (Status f = check_fault("mkdir", path); !f)
        return f;
    if (!CreateDirectoryW(system_path(path).c_str(), nullptr))
        return last_error("cannot create folder", path);
    return Status::success();
}

Status remove_dir(const std::string& path) {
    if (Status f = check_fault("rmdir", path); !f)
        return f;
    if (!RemoveDirectoryW(system_path(path).c_str()))
        return last_error("cannot remove folder", path);
    return Status::success();
}

Status list_dir(const std::string& path, std::vector<DirEntry>& out) {
    out.clear();
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(system_path(join(path, "*")).c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_NO_MORE_FILES)
            return Status::success();
        return last_error("cannot list", path, e);
    }
    do {
        std::string name = from_wide(fd.cFileName, wcslen(fd.cFileName));
        if (name == "." || name == "..")
            continue;
        DirEntry de;
        de.name = name;
        de.is_dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        de.is_link = (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        out.push_back(std::move(de));
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return Status::success();
}

Status set_attrs(const std::string& path, uint32_t attrs) {
    if (Status f = check_fault("attributes", path); !f)
        return f;
    DWORD a = attrs & kAttrMask;
    if (!SetFileAttributesW(system_path(path).c_str(), a ? a : FILE_ATTRIBUTE_NORMAL))
        return last_error("cannot set attributes of", path);
    return Status::success();
}

std::string current_dir() {
    DWORD n = GetCurrentDirectoryW(0, nullptr);
    std::wstring buf(n, L'\0');
    if (n == 0 || (n = GetCurrentDirectoryW(n, buf.data())) == 0 || n >= buf.size())
        return ".";
    return from_wide(buf.data(), n);
}

bool is_absolute(const std::string& p) {
    if (p.size() >= 2 && (p[0] == '\\' || p[0] == '/') && (p[1] == '\\' || p[1] == '/'))
        return true;
    return p.size() >= 3 && p[1] == ':' && (p[2] == '\\' || p[2] == '/');
}
char separator() {
    return '\\';
}
unsigned long process_id() {
    return GetCurrentProcessId();
}

std::string from_ansi(const std::string& text) {
    if (text.empty())
        return text;
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    if (n <= 0 || MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      w.data(), n) != n)
        return text;
    return from_wide(w.data(), w.size());
}

std::string to_ansi(const std::string& utf8) {
    std::wstring w = to_wide(utf8);
    if (w.empty())
        return {};
    // No best-fit letters: a character the code page lacks is '?', which no name holds.
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), static_cast<int>(w.size()),
                                nullptr, 0, "?", nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n <= 0 || WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(),
                                      static_cast<int>(w.size()), out.data(), n, "?", nullptr) != n)
        return std::string(utf8.size(), '?');
    return out;
}

// ---------------------------------------------------------------------------------------------
// The run lock, folders held open and folder flushes.

Lock::~Lock() {
    release();
}
bool Lock::held() const {
    return h_ != nullptr;
}

// The lock is a named mutex whose name is the folder's identity (volume serial number and file
// index), so every spelling of the same folder (letter case, short names, another drive letter)
// meets the same lock. A mutex left by a process that died is taken over (WAIT_ABANDONED).
Status Lock::acquire(const std::string& folder, Lock& out) {
    out.release();
    HANDLE d = CreateFileW(system_path(folder).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (d == INVALID_HANDLE_VALUE)
        return last_error("cannot open", folder);
    BY_HANDLE_FILE_INFORMATION info;
    BOOL got = GetFileInformationByHandle(d, &info);
    DWORD e = GetLastError();
    CloseHandle(d);
    if (!got)
        return last_error("cannot examine", folder, e);
    char name[96];
    wsprintfA(name, "Global\\kelvane-patchw32-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
              info.nFileIndexHigh, info.nFileIndexLow);
    HANDLE m = CreateMutexA(nullptr, FALSE, name);
    if (!m) {
        e = GetLastError();
        if (e == ERROR_ACCESS_DENIED)
            return Status::fail(ErrKind::Busy, folder + " is locked by another run",
                                static_cast<int>(e));
        return last_error("cannot create the lock of", folder, e);
    }
    DWORD w = WaitForSingleObject(m, 0);
    if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
        CloseHandle(m);
        return Status::fail(ErrKind::Busy, folder + " is locked by another run");
    }
    out.h_ = m;
    return Status::success();
}

void Lock::release() {
    if (!h_)
        return;
    ReleaseMutex(as_handle(h_));
    CloseHandle(as_handle(h_));
    h_ = nullptr;
}

namespace {

// Opens a folder without following a reparse point and without delete sharing: while the
// handle is open nobody can rename, remove or replace the folder.
Status open_pinned_folder(const std::string& path, void*& out) {
    HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_error("cannot open folder", path);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        Status s = last_error("cannot examine", path);
        CloseHandle(h);
        return s;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        CloseHandle(h);
        return Status::fail(ErrKind::Link,
                            path + " is a link or junction, which the engine never follows");
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        return Status::fail(ErrKind::Other, path + " is not a folder");
    }
    out = h;
    return Status::success();
}

} // namespace

Folder::~Folder() {
    close();
}
bool Folder::is_open() const {
    return h_ != nullptr;
}
void Folder::close() {
    if (h_)
        CloseHandle(as_handle(h_));
    h_ = nullptr;
}

Status Folder::open(const std::string& path, Folder& out) {
    out.close();
    Status s = open_pinned_folder(path, out.h_);
    if (s)
        out.path_ = path;
    return s;
}

Status Folder::open_child(const std::string& name, Folder& out) const {
    return open(join(path_, name), out);
}

Status Folder::list(std::vector<DirEntry>& out) const {
    return list_dir(path_, out);
}

// DeleteFile removes a symbolic link itself; on a junction it fails.
Status Folder::remove_file(const std::string& name, bool ask_fault_hook) const {
    std::string path = join(path_, name);
    if (Status f = ask_fault_hook ? check_fault("remove", path) : Status::success(); !f)
        return f;
    return remove_file_unhooked(path);
}

// RemoveDirectory removes a junction or directory link itself, never its target.
Status Folder::remove_dir(const std::string& name, bool ask_fault_hook) const {
    std::string full = join(path_, name);
    if (Status f = ask_fault_hook ? check_fault("rmdir", full) : Status::success(); !f)
        return f;
    if (!RemoveDirectoryW(system_path(full).c_str()))
        return last_error("cannot remove folder", full);
    return Status::success();
}

Status Folder::sync() const {
    return sync_dir(path_);
}

// Flushes a folder's entries (created files and folders, renames into and out of it) with
// FlushFileBuffers on a handle of the folder. A volume that refuses to flush folders is left
// as it is.
Status sync_dir(const std::string& path, bool ask_fault_hook) {
    if (Status f = ask_fault_hook ? check_fault("syncdir", path) : Status::success(); !f)
        return f;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileW(system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        h = CreateFileW(system_path(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_error("cannot open folder", path);
    FlushFileBuffers(h);
    CloseHandle(h);
    return Status::success();
}

} // namespace kv::os
#endif
