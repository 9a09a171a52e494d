#include "tests/wine/Harness.h"

#include "engine/Callback.h"

#include <cstdio>
#include <cstdlib>

namespace kt {

// ---------------------------------------------------------------------------
ScriptedSeam::ScriptedSeam() {
    fw::SetSeam(this);
}

ScriptedSeam::~ScriptedSeam() {
    fw::SetSeam(nullptr);
}

int ScriptedSeam::MessageBox(HWND owner, const std::string& text, const std::string& caption,
                             UINT type) {
    boxes.push_back({owner, text, caption, type});
    if (boxAnswers.empty()) {
        return IDOK;
    }
    int answer = boxAnswers.front();
    boxAnswers.pop_front();
    return answer;
}

INT_PTR ScriptedSeam::OpenFile(const fw::OpenFileRequest& request, std::string& path) {
    openRequests.push_back(request);
    if (openAnswers.empty()) {
        return IDCANCEL;
    }
    std::string answer = openAnswers.front();
    openAnswers.pop_front();
    if (answer.empty()) {
        return IDCANCEL;
    }
    path = answer;
    return IDOK;
}

std::string ScriptedSeam::BrowseFolder(HWND owner, const std::string& title) {
    browseRequests.emplace_back(owner, title);
    if (browseAnswers.empty()) {
        return std::string();
    }
    std::string answer = browseAnswers.front();
    browseAnswers.pop_front();
    return answer;
}

bool ScriptedSeam::FreeBytes(const std::string& path, int64_t& freeBytes) {
    freeQueries.push_back(path);
    auto exact = freeByPath.find(path);
    std::optional<int64_t> scripted;
    if (exact != freeByPath.end()) {
        scripted = exact->second;
    } else {
        std::string drive = path.substr(0, 3);
        for (char& c : drive) {
            c = static_cast<char>(::toupper(static_cast<unsigned char>(c)));
        }
        auto byDrive = freeByDrive.find(drive);
        if (byDrive != freeByDrive.end()) {
            scripted = byDrive->second;
        }
    }
    if (!scripted) {
        return fw::Seam::FreeBytes(path, freeBytes);
    }
    if (*scripted < 0) {
        freeBytes = 0;
        return false;
    }
    freeBytes = *scripted;
    return true;
}

std::string ScriptedSeam::LogicalDriveStrings() {
    if (!drives) {
        return fw::Seam::LogicalDriveStrings();
    }
    std::string list;
    for (const auto& drive : *drives) {
        list += drive.first;
        list.push_back('\0');
    }
    return list;
}

UINT ScriptedSeam::DriveType(const std::string& root) {
    if (!drives) {
        return fw::Seam::DriveType(root);
    }
    for (const auto& drive : *drives) {
        if (drive.first == root) {
            return drive.second;
        }
    }
    return DRIVE_NO_ROOT_DIR;
}

// ---------------------------------------------------------------------------
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
    if (dir.empty()) {
        char module[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, module, sizeof module);
        std::string path(module);
        return path.substr(0, path.find_last_of('\\'));
    }
    return dir[0] == '/' ? UnixToWindows(dir) : dir;
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
    std::string dir = BuildFile("artifacts");
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
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return bytes;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        bytes.append(buffer, n);
    }
    std::fclose(f);
    return bytes;
}

bool PathExists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA((path + "\\*").c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            std::string child = path + "\\" + name;
            ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                ::DeleteFileA(child.c_str());
            }
        } while (::FindNextFileA(h, &data));
        ::FindClose(h);
    }
    ::RemoveDirectoryA(path.c_str());
}

void CopyFileOrDie(const std::string& from, const std::string& to) {
    MakeDirs(to.substr(0, to.find_last_of('\\')));
    ASSERT_TRUE(::CopyFileA(from.c_str(), to.c_str(), FALSE))
        << "cannot copy " << from << " to " << to << " (error " << ::GetLastError() << ")";
}

namespace {
void SnapshotInto(const std::string& root, const std::string& rel,
                  std::map<std::string, std::string>& out) {
    WIN32_FIND_DATAA data;
    std::string dir = rel.empty() ? root : root + "\\" + rel;
    HANDLE h = ::FindFirstFileA((dir + "\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::string name = data.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        std::string childRel = rel.empty() ? name : rel + "\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out[childRel + "\\"] = std::string();
            SnapshotInto(root, childRel, out);
        } else {
            out[childRel] = ReadFileBytes(root + "\\" + childRel);
        }
    } while (::FindNextFileA(h, &data));
    ::FindClose(h);
}
} // namespace

std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    SnapshotInto(dir, "", out);
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
               const std::string& log) {
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
    ::WaitForSingleObject(process.hProcess, 120000);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
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

// ---------------------------------------------------------------------------
ScriptedEngine::ScriptedEngine(const std::string& dir) : m_dir(dir) {
    MakeDirs(m_dir);
    ::SetEnvironmentVariableA("KELVANE_TEST_ENGINE_DIR", m_dir.c_str());
    ::DeleteFileA((m_dir + "\\calls.txt").c_str());
    Script("");
}

ScriptedEngine::~ScriptedEngine() {
    ::SetEnvironmentVariableA("KELVANE_TEST_ENGINE_DIR", nullptr);
}

void ScriptedEngine::Script(const std::string& text) const {
    WriteFileBytes(m_dir + "\\script.txt", text);
}

std::vector<std::string> ScriptedEngine::Calls() const {
    std::vector<std::string> calls;
    std::string all = ReadFileBytes(m_dir + "\\calls.txt");
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        calls.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return calls;
}

std::string ScriptedEngine::LibraryPath() {
    return BuildFile("tests\\engines\\scripted_engine.dll");
}

std::string ScriptedEngine::NoEntryLibraryPath() {
    return BuildFile("tests\\engines\\no_entry_engine.dll");
}

// ---------------------------------------------------------------------------
void DialogTest::SetUp() {
    ResetPatchEntry(); // each dialog loads its own engine library
    prompts = std::make_unique<ScriptedSeam>();
    scratch = std::make_unique<ScratchDir>(
        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    gameDir = *scratch / "Games\\Tarrow Moor";
    MakeDirs(gameDir);
    CopyFileOrDie(ScriptedEngine::LibraryPath(), gameDir + "\\patchw32.dll");
    engine = std::make_unique<ScriptedEngine>(*scratch / "engine");
    SetGameRegistry(gameDir, std::string("1.22"));
}

void DialogTest::TearDown() {
    CloseDialog();
    engine.reset();
    DeleteGameRegistry();
    scratch.reset();
    prompts.reset();
}

void DialogTest::OpenDialog() {
    dlg = std::make_unique<CKelvaneDlg>();
    ASSERT_TRUE(dlg->Create());
    PumpMessages();
}

void DialogTest::CloseDialog() {
    if (dlg) {
        dlg.reset(); // destroys the window, then frees the engine library
        PumpMessages();
    }
}

void DialogTest::Click(int id) {
    ::SendMessageA(dlg->GetDlgItem(id), BM_CLICK, 0, 0);
    PumpMessages();
}

} // namespace kt
