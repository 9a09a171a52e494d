#include "tests/e2e/Player.h"

#include "tests/wine/Host.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace e2e {
namespace {

// The status bar's control id in the main window.
const int kStatusBarId = 0xE801;

std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    ::GetClassNameA(hwnd, name, sizeof name);
    return name;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM out) {
    reinterpret_cast<std::vector<HWND>*>(out)->push_back(child);
    return TRUE;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    ::EnumChildWindows(parent, &CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

HWND ChildOfClass(HWND parent, const char* cls) {
    for (HWND child : Children(parent)) {
        if (_stricmp(ClassOf(child).c_str(), cls) == 0) {
            return child;
        }
    }
    return nullptr;
}

bool IsMessageBox(HWND hwnd) {
    if (ClassOf(hwnd) != "#32770") {
        return false;
    }
    bool hasAnswer = false;
    for (HWND child : Children(hwnd)) {
        const std::string cls = ClassOf(child);
        if (_stricmp(cls.c_str(), "Edit") == 0 || _stricmp(cls.c_str(), "ComboBox") == 0 ||
            _stricmp(cls.c_str(), "ListBox") == 0 || _stricmp(cls.c_str(), "SysTreeView32") == 0 ||
            _stricmp(cls.c_str(), "SysListView32") == 0) {
            return false;
        }
        const int id = ::GetDlgCtrlID(child);
        if (_stricmp(cls.c_str(), "Button") == 0 &&
            (id == IDOK || id == IDCANCEL || id == IDYES || id == IDNO)) {
            hasAnswer = true;
        }
    }
    return hasAnswer;
}

using kt::RemoteBuffer;
using kt::Send;

// The text of the tree item that is selected (highlighted) in a tree view of another process.
std::string SelectedTreeText(HWND tree) {
    const LRESULT item = Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
    if (item == 0) {
        return std::string();
    }
    RemoteBuffer remote(tree, sizeof(TVITEMA) + 520);
    if (!remote.ok()) {
        return std::string();
    }
    TVITEMA tvi{};
    tvi.mask = TVIF_TEXT | TVIF_HANDLE;
    tvi.hItem = reinterpret_cast<HTREEITEM>(item);
    tvi.pszText = remote.at(sizeof(TVITEMA));
    tvi.cchTextMax = 512;
    remote.Write(0, &tvi, sizeof tvi);
    Send(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(remote.at(0)));
    return remote.ReadText(sizeof(TVITEMA), 512);
}

} // namespace

// ---------------------------------------------------------------------------
void Log(const std::string& line) {
    std::printf("  | %s\n", line.c_str());
    std::fflush(stdout);
    static std::string path = kt::ArtifactsDir() + "\\e2e-log.txt";
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

// ---------------------------------------------------------------------------
Kelvane::~Kelvane() {
    if (m_process.started && Running()) {
        Log("Kelvane still running at the end of the scenario: ended by force");
        m_process.Kill();
    }
}

bool Kelvane::Start(const std::string& exe, const std::string& currentDir) {
    if (!kt::Launch(m_process, exe, "", currentDir)) {
        Log("cannot start " + exe + " (error " + std::to_string(::GetLastError()) + ")");
        return false;
    }
    m_pid = m_process.pid();
    m_main = kt::WaitForWindow(m_pid, "Kelvane", 30000);
    if (m_main == nullptr) {
        Log("no main window \"Kelvane\" appeared");
        for (HWND popup : kt::TopLevelWindows(m_process.pid())) {
            const Box box = ReadBox(popup);
            Log("  window \"" + box.caption + "\": " + box.text);
        }
        return false;
    }
    return WaitIdle(30000);
}

bool Kelvane::Attach(DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    do {
        m_main = ::FindWindowA("#32770", "Kelvane");
        if (m_main != nullptr) {
            ::GetWindowThreadProcessId(m_main, &m_pid);
            return WaitIdle(timeoutMs);
        }
        ::Sleep(100);
    } while (::GetTickCount() - start < timeoutMs);
    Log("no Kelvane window found");
    return false;
}

std::optional<DWORD> Kelvane::Exit() {
    if (!m_process.started) {
        return std::nullopt;
    }
    if (Running() && m_main != nullptr) {
        WaitIdle(10000);
    }
    if (Running() && m_main != nullptr && Enabled(IDCANCEL)) {
        kt::PressButton(m_main, IDCANCEL);
    }
    const std::optional<DWORD> code = m_process.WaitExit(20000);
    if (!code) {
        Log("Kelvane did not end after Exit; ended by force");
        m_process.Kill();
    }
    return code;
}

int Kelvane::Check(int id) const {
    return static_cast<int>(Send(Item(id), BM_GETCHECK, 0, 0));
}

std::string Kelvane::Status(int pane) const {
    HWND bar = ::GetDlgItem(m_main, kStatusBarId);
    if (bar == nullptr) {
        bar = ChildOfClass(m_main, STATUSCLASSNAMEA);
    }
    return kt::StatusPaneText(bar, pane);
}

std::vector<std::string> Kelvane::Messages() const {
    return kt::ListBoxLines(Item(1005));
}

int Kelvane::Progress(int id) const {
    return static_cast<int>(Send(Item(id), PBM_GETPOS, 0, 0));
}

bool Kelvane::Click(int id) {
    if (!Enabled(id)) {
        Log("cannot click control " + std::to_string(id) + " \"" + Text(id) + "\": it is disabled");
        return false;
    }
    kt::PressButton(m_main, id);
    return true;
}

std::vector<HWND> Kelvane::Popups() const {
    std::vector<HWND> popups;
    for (HWND hwnd : kt::TopLevelWindows(m_pid)) {
        if (hwnd != m_main && ClassOf(hwnd) == "#32770") {
            popups.push_back(hwnd);
        }
    }
    return popups;
}

HWND Kelvane::WaitForPopup(const std::string& caption, DWORD timeoutMs) const {
    const DWORD start = ::GetTickCount();
    do {
        for (HWND popup : Popups()) {
            if (kt::WindowText(popup) == caption) {
                return popup;
            }
        }
        ::Sleep(30);
    } while (::GetTickCount() - start < timeoutMs);
    std::string seen;
    for (HWND popup : Popups()) {
        seen += " \"" + kt::WindowText(popup) + "\"";
    }
    Log("no window \"" + caption + "\" appeared; open:" + seen);
    return nullptr;
}

HWND Kelvane::WaitForBrowser(DWORD timeoutMs) const {
    const DWORD start = ::GetTickCount();
    do {
        for (HWND popup : Popups()) {
            if (ChildOfClass(popup, WC_TREEVIEWA) != nullptr) {
                return popup;
            }
        }
        ::Sleep(30);
    } while (::GetTickCount() - start < timeoutMs);
    Log("no folder browser appeared");
    return nullptr;
}

Box Kelvane::WaitForBox(DWORD timeoutMs) const {
    const DWORD start = ::GetTickCount();
    do {
        for (HWND popup : Popups()) {
            if (IsMessageBox(popup)) {
                Box box = ReadBox(popup);
                Log("message box \"" + box.caption + "\": " + box.text);
                return box;
            }
        }
        ::Sleep(30);
    } while (::GetTickCount() - start < timeoutMs);
    Log("no message box appeared");
    return Box{};
}

bool Kelvane::WaitIdle(DWORD timeoutMs) const {
    const DWORD start = ::GetTickCount();
    int calm = 0;
    do {
        Send(m_main, WM_NULL, 0, 0); // the window's thread is back in a message loop
        if (Popups().empty() && Enabled(IDCANCEL)) {
            if (++calm >= 3) {
                return true;
            }
        } else {
            calm = 0;
        }
        ::Sleep(40);
    } while (::GetTickCount() - start < timeoutMs);
    Log("the main window did not become idle");
    return false;
}

std::string Kelvane::Screenshot(const std::string& name) const {
    const std::string path = kt::ArtifactsDir() + "\\e2e-" + name + ".bmp";
    ::RedrawWindow(m_main, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    if (kt::SaveWindowImage(m_main, path)) {
        Log("screenshot " + path);
        return path;
    }
    Log("screenshot failed: " + path);
    return std::string();
}

// ---------------------------------------------------------------------------
Box ReadBox(HWND hwnd) {
    Box box;
    box.hwnd = hwnd;
    box.caption = kt::WindowText(hwnd);
    HWND text = ::GetDlgItem(hwnd, 0xFFFF);
    if (text != nullptr) {
        box.text = kt::WindowText(text);
    }
    if (box.text.empty()) {
        // The longest static text is the message.
        for (HWND child : Children(hwnd)) {
            if (_stricmp(ClassOf(child).c_str(), "Static") == 0) {
                std::string candidate = kt::WindowText(child);
                if (candidate.size() > box.text.size()) {
                    box.text = candidate;
                }
            }
        }
    }
    return box;
}

bool PressAndWaitGone(HWND dialog, int id, DWORD timeoutMs) {
    kt::PressButton(dialog, id);
    const DWORD start = ::GetTickCount();
    while (::IsWindow(dialog) && ::IsWindowVisible(dialog)) {
        if (::GetTickCount() - start > timeoutMs) {
            Log("window \"" + kt::WindowText(dialog) + "\" did not close");
            return false;
        }
        ::Sleep(30);
    }
    return true;
}

bool AnswerOpenFile(HWND dialog, const std::string& path) {
    // The file-name box: a combo box (cmb13) with its own edit, or an edit (edt1).
    HWND edit = nullptr;
    if (HWND combo = ::GetDlgItem(dialog, 0x47C)) {
        edit = ::FindWindowExA(combo, nullptr, "Edit", nullptr);
        if (edit == nullptr && _stricmp(ClassOf(combo).c_str(), "Edit") == 0) {
            edit = combo;
        }
    }
    if (edit == nullptr) {
        edit = ::GetDlgItem(dialog, 0x480);
    }
    if (edit == nullptr) {
        for (HWND child : Children(dialog)) {
            if (_stricmp(ClassOf(child).c_str(), "Edit") == 0 && ::IsWindowVisible(child)) {
                edit = child;
                break;
            }
        }
    }
    if (edit == nullptr) {
        Log("the open-file dialog has no file-name box");
        return false;
    }
    Send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    const std::string typed = kt::WindowText(edit);
    if (typed != path) {
        Log("file-name box holds \"" + typed + "\" instead of \"" + path + "\"");
        return false;
    }
    Log("open-file dialog: typed " + path + ", pressed Open");
    return PressAndWaitGone(dialog, IDOK);
}

std::string BrowserPrompt(HWND browser) {
    HWND title = ::GetDlgItem(browser, 0x3742);
    if (title != nullptr) {
        return kt::WindowText(title);
    }
    std::string longest;
    for (HWND child : Children(browser)) {
        if (_stricmp(ClassOf(child).c_str(), "Static") == 0) {
            std::string text = kt::WindowText(child);
            if (text.size() > longest.size()) {
                longest = text;
            }
        }
    }
    return longest;
}

bool AnswerFolderBrowser(HWND browser, const std::string& folder, std::string& selectedText) {
    HWND tree = ChildOfClass(browser, WC_TREEVIEWA);
    if (tree == nullptr) {
        Log("the folder browser has no folder tree");
        return false;
    }
    // Wait until the browser has filled its tree and selected its first folder.
    const DWORD start = ::GetTickCount();
    while (Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0) == 0 && ::GetTickCount() - start < 10000) {
        ::Sleep(50);
    }
    // The browser selects the folder in its tree itself (expanding the way down to it),
    // exactly as when the player clicks through the tree; asked again until the tree shows it.
    const std::string leaf = folder.substr(folder.find_last_of('\\') + 1);
    for (int attempt = 0; attempt < 20; ++attempt) {
        RemoteBuffer remote(browser, folder.size() + 1);
        if (!remote.ok() || !remote.Write(0, folder.c_str(), folder.size() + 1)) {
            Log("cannot hand the folder to the browser");
            return false;
        }
        Send(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(remote.at(0)));
        selectedText = SelectedTreeText(tree);
        if (_stricmp(selectedText.c_str(), leaf.c_str()) == 0) {
            break;
        }
        ::Sleep(100);
    }
    if (_stricmp(selectedText.c_str(), leaf.c_str()) != 0) {
        Log("folder browser: could not select " + folder + " (tree shows \"" + selectedText +
            "\")");
        return false;
    }
    Log("folder browser: selected \"" + selectedText + "\" for " + folder + ", pressed OK");
    return PressAndWaitGone(browser, IDOK);
}

} // namespace e2e
