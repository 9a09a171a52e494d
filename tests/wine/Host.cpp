#include "tests/wine/Host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <vector>

namespace kt {

namespace {

std::string UnixToWindows(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

int g_scratchCounter = 0;

} // namespace

std::string BuildDir() {
    std::string dir = EnvOr("KELVANE_BUILD_DIR", "");
    if (!dir.empty()) {
        return dir[0] == '/' ? UnixToWindows(dir) : dir;
    }
    // The nearest folder above this program that holds the build's cache.
    char module[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, module, sizeof module);
    std::string path(module);
    while (path.find('\\') != std::string::npos) {
        path = path.substr(0, path.find_last_of('\\'));
        if (PathExists(path + "\\CMakeCache.txt")) {
            break;
        }
    }
    return path;
}

std::string BuildFile(const std::string& rel) {
    std::string path = BuildDir() + "\\" + rel;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string ArtifactsDir() {
    std::string dir = EnvOr("KELVANE_ARTIFACTS", "");
    dir = dir.empty() ? BuildFile("artifacts") : dir[0] == '/' ? UnixToWindows(dir) : dir;
    MakeDirs(dir);
    return dir;
}

std::string ScratchRoot() {
    std::string root = "C:\\kelvane-tests";
    ::CreateDirectoryA(root.c_str(), nullptr);
    return root;
}

ScratchDir::ScratchDir(const std::string& name) {
    m_path = ScratchRoot() + "\\" + name + "-" + std::to_string(::GetCurrentProcessId()) + "-" +
             std::to_string(++g_scratchCounter);
    RemoveTree(m_path);
    MakeDirs(m_path);
}

ScratchDir::~ScratchDir() {
    RemoveTree(m_path);
}

void MakeDirs(const std::string& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\') {
            ::CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
        }
    }
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    MakeDirs(path.substr(0, path.find_last_of('\\')));
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << "cannot create " << path;
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool PathExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {
// Calls `visit` for every entry below `dir` (relative path, is a folder), parents first.
void Walk(const std::string& dir, const std::string& rel,
          const std::function<void(const std::string&, bool)>& visit) {
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA((dir + (rel.empty() ? "" : "\\" + rel) + "\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = data.cFileName;
        const std::string child = rel.empty() ? name : rel + "\\" + name;
        // A link is an entry of its own: its target is never walked (nor removed).
        const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                            (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (name != "." && name != "..") {
            visit(child, folder);
            if (folder) {
                Walk(dir, child, visit);
            }
        }
    } while (::FindNextFileA(h, &data));
    ::FindClose(h);
}
} // namespace

void RemoveTree(const std::string& path) {
    // Only folders below a drive root, named by a full path, are ever removed.
    if (path.size() <= 3 || path[1] != ':' || path[2] != '\\') {
        ADD_FAILURE() << "refusing to remove \"" << path << "\"";
        return;
    }
    std::vector<std::pair<std::string, bool>> entries;
    Walk(path, "", [&](const std::string& rel, bool folder) { entries.emplace_back(rel, folder); });
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) { // children before parents
        const std::string child = path + "\\" + it->first;
        ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        it->second ? ::RemoveDirectoryA(child.c_str()) : ::DeleteFileA(child.c_str());
    }
    ::RemoveDirectoryA(path.c_str());
}

void CopyFileOrDie(const std::string& from, const std::string& to) {
    MakeDirs(to.substr(0, to.find_last_of('\\')));
    ASSERT_TRUE(::CopyFileA(from.c_str(), to.c_str(), FALSE))
        << "cannot copy " << from << " to " << to << " (error " << ::GetLastError() << ")";
}

Tree Snapshot(const std::string& dir) {
    Tree out;
    Walk(dir, "", [&](const std::string& rel, bool folder) {
        out[folder ? rel + "\\" : rel] = folder ? std::string() : ReadFileBytes(dir + "\\" + rel);
    });
    return out;
}

// ---------------------------------------------------------------------------
namespace {
const char kGameKey[] = "SOFTWARE\\Brackwater\\Tarrowsaga\\Moorgate";
}

void SetGameRegistryRaw(const char* name, const std::string& bytes, DWORD type) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kGameKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                     static_cast<DWORD>(bytes.size()));
    ::RegCloseKey(key);
}

void SetGameRegistry(const std::optional<std::string>& location,
                     const std::optional<std::string>& version) {
    DeleteGameRegistry();
    if (location) {
        SetGameRegistryRaw("Location", std::string(*location) + '\0');
    }
    if (version) {
        SetGameRegistryRaw("Version", std::string(*version) + '\0');
    }
}

std::string ReadGameRegistry(const char* name) {
    HKEY key = nullptr;
    char buffer[512] = {};
    DWORD size = sizeof buffer - 1;
    LONG rc = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGameKey, 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) {
        rc =
            ::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
        ::RegCloseKey(key);
    }
    return rc == ERROR_SUCCESS ? std::string(buffer) : "(none)";
}

void DeleteGameRegistry() {
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kGameKey);
}

std::string GameData(size_t size, unsigned seed, size_t changeAt, char change) {
    std::string bytes(size, '\0');
    unsigned state = seed;
    for (char& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<char>(state >> 24);
    }
    for (size_t i = changeAt; change != 0 && i < changeAt + 64 && i < size; ++i) {
        bytes[i] = change;
    }
    return bytes;
}

void WriteTree(const std::string& dir, const Tree& tree) {
    MakeDirs(dir);
    for (const auto& [rel, bytes] : tree) {
        WriteFileBytes(dir + "\\" + rel, bytes);
    }
}

Tree GameFiles(const std::string& dir) {
    Tree files = Snapshot(dir);
    files.erase("patchw32.dll");
    return files;
}

int RunProgram(const std::string& commandLine, const std::string& currentDir,
               const std::string& log, DWORD timeoutMs) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = log.empty()
                     ? ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr)
                     : ::CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process{};
    std::string line = commandLine;
    const BOOL started =
        ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         currentDir.empty() ? nullptr : currentDir.c_str(), &startup, &process);
    ::CloseHandle(out);
    ::CloseHandle(in);
    if (!started) {
        return -1;
    }
    DWORD code = 0;
    if (::WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, 5000);
        code = static_cast<DWORD>(-1); // still running: no exit code to report
    } else {
        ::GetExitCodeProcess(process.hProcess, &code);
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

void PumpMessages() {
    MSG msg;
    for (int i = 0; i < 10000 && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

} // namespace kt
