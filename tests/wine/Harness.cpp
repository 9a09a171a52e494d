#include "tests/wine/Harness.h"

#include "engine/Callback.h"

#include <cstdlib>

namespace kt {

// ---------------------------------------------------------------------------
ScriptedSeam::ScriptedSeam() {
    fw::SetSeam(this);
}

ScriptedSeam::~ScriptedSeam() {
    fw::SetSeam(nullptr);
}

namespace {
// The next scripted answer, or `fallback` when the script has run out.
template <typename T> T Next(std::deque<T>& answers, T fallback) {
    if (!answers.empty()) {
        fallback = answers.front();
        answers.pop_front();
    }
    return fallback;
}
} // namespace

int ScriptedSeam::MessageBox(HWND owner, const std::string& text, const std::string& caption,
                             UINT type) {
    boxes.push_back({owner, text, caption, type});
    return Next(boxAnswers, static_cast<int>(IDOK));
}

INT_PTR ScriptedSeam::OpenFile(const fw::OpenFileRequest& request, std::string& path) {
    openRequests.push_back(request);
    const std::string answer = Next(openAnswers, std::string());
    if (answer.empty()) {
        return IDCANCEL;
    }
    path = answer;
    return IDOK;
}

std::string ScriptedSeam::BrowseFolder(HWND owner, const std::string& title) {
    browseRequests.emplace_back(owner, title);
    return Next(browseAnswers, std::string());
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
DuringRun* g_during = nullptr;
}

DuringRun::DuringRun(HWND dialog, std::function<void()> action, UINT message)
    : m_dialog(dialog), m_action(std::move(action)), m_message(message) {
    g_during = this;
    m_original = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&DuringRun::Proc)));
}

DuringRun::~DuringRun() {
    ::SetWindowLongPtrA(m_dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_original));
    g_during = nullptr;
}

LRESULT CALLBACK DuringRun::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DuringRun* self = g_during;
    if (msg == self->m_message) {
        self->m_action();
    }
    return ::CallWindowProcA(self->m_original, hwnd, msg, wParam, lParam);
}

HeldFile::HeldFile(const std::string& path)
    : m_handle(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {
    EXPECT_TRUE(held()) << "cannot hold " << path;
}

HeldFile::~HeldFile() {
    if (held()) {
        ::CloseHandle(m_handle);
    }
}

std::string FullVolumeFolder(const std::string& name) {
    const char* volume = std::getenv("KELVANE_SMALL_VOLUME");
    if (volume == nullptr || *volume == '\0') {
        ADD_FAILURE() << "KELVANE_SMALL_VOLUME names no small volume (scripts/test-all.sh and "
                         "scripts/wine-test.sh mount one when run as root)";
        return std::string();
    }
    const std::string root =
        std::string(volume) + "\\" + name + "-" + std::to_string(::GetCurrentProcessId());
    RemoveTree(root);
    MakeDirs(root);
    HANDLE h = ::CreateFileA((root + "\\filler").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    const std::string block(4096, 'f');
    DWORD written = 0;
    LONGLONG total = 0;
    for (size_t size : {4096, 1}) { // big blocks, then the last bytes one at a time
        while (total < 512LL * 1024 * 1024 &&
               ::WriteFile(h, block.data(), static_cast<DWORD>(size), &written, nullptr) &&
               written > 0) {
            total += written;
        }
    }
    ::CloseHandle(h);
    EXPECT_LT(total, 512LL * 1024 * 1024) << "the volume is not small";
    return root;
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

std::string DialogTest::Controls() const {
    std::string s;
    const std::pair<int, BOOL> boxes[] = {{IDC_IGNORE_MISSING, dlg->m_bIgnoreMissing},
                                          {IDC_VALIDATE_ONLY, dlg->m_bValidateOnly},
                                          {IDC_ENABLE_UNDO, dlg->m_bUndo}};
    for (size_t i = 0; i < 3; ++i) {
        const bool ticked = dlg->GetCheck(boxes[i].first) == BST_CHECKED;
        s += ticked != (boxes[i].second != FALSE) ? '!' : ticked ? "IVU"[i] : '-';
    }
    s += ' ';
    const std::pair<int, char> items[] = {{IDC_USE_QUEUE, 'q'},      {IDC_CLEAR_QUEUE, 'c'},
                                          {IDC_ENABLE_UNDO, 'u'},    {IDC_VALIDATE_ONLY, 'v'},
                                          {IDC_IGNORE_MISSING, 'i'}, {IDOK, 'o'},
                                          {IDC_SELECT_PATCH, 's'},   {IDC_BACKUP_LABEL, 'b'}};
    for (const auto& [id, letter] : items) {
        s += dlg->IsItemEnabled(id) ? letter : '.';
    }
    s += ' ';
    s += std::to_string(dlg->m_listQueue.size());
    s += dlg->GetItemText(IDOK).substr(1, 1);
    EXPECT_EQ(dlg->m_bUseQueue != FALSE, !dlg->m_listQueue.empty());
    if (!dlg->IsItemEnabled(IDC_BACKUP_LABEL)) {
        EXPECT_EQ(dlg->GetItemText(IDC_BACKUP_LABEL), "");
    }
    return s;
}

std::vector<bool> DialogTest::Enabled() const {
    std::vector<bool> states;
    for (int id : {1000, 1001, 1002, 1003, 1005, 1006, 1007, 1009, 1010, 1014, 1015, 1019, 1020,
                   IDOK, IDCANCEL}) {
        states.push_back(dlg->IsItemEnabled(id));
    }
    return states;
}

void DialogTest::ExpectBox(size_t index, const std::string& text, const std::string& caption,
                           UINT type) const {
    ASSERT_GT(prompts->boxes.size(), index);
    EXPECT_EQ(prompts->boxes[index].text, text);
    EXPECT_EQ(prompts->boxes[index].caption, caption);
    EXPECT_EQ(prompts->boxes[index].type, type);
    EXPECT_EQ(prompts->boxes[index].owner, dlg->m_hWnd);
}

void DialogTest::Click(int id) {
    ::SendMessageA(dlg->GetDlgItem(id), BM_CLICK, 0, 0);
    PumpMessages();
}

} // namespace kt
