#include "tests/e2e/Player.h"

#include "tests/wine/Host.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>

namespace e2e {
namespace {

using kt::Send;

std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    ::GetClassNameA(hwnd, name, sizeof name);
    return name;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM out) {
    reinterpret_cast<std::vector<HWND>*>(out)->push_back(child);
    return TRUE;
}

HWND ChildOfClass(HWND parent, const char* cls) {
    std::vector<HWND> children;
    ::EnumChildWindows(parent, &CollectChild, reinterpret_cast<LPARAM>(&children));
    for (HWND child : children) {
        if (_stricmp(ClassOf(child).c_str(), cls) == 0 && ::IsWindowVisible(child)) {
            return child;
        }
    }
    return nullptr;
}

// The text of the tree item that is selected (highlighted) in a tree view of another process.
std::string SelectedTreeText(HWND tree) {
    const LRESULT item = Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
    kt::RemoteBuffer remote(tree, sizeof(TVITEMA) + 520);
    if (item == 0 || !remote.ok()) {
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

void Log(const std::string& line) {
    std::printf("  | %s\n", line.c_str());
    std::fflush(stdout);
    static std::string path = kt::ArtifactsDir() + "\\e2e-log.txt";
    if (FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

bool Kelvane::Start(const std::string& exe, const std::string& currentDir) {
    if (!kt::Launch(m_process, exe, "", currentDir)) {
        Log("cannot start " + exe);
        return false;
    }
    m_pid = m_process.pid();
    m_main = kt::WaitForWindow(m_pid, "Kelvane", 30000);
    return m_main != nullptr && WaitIdle(30000);
}

bool Kelvane::Attach(DWORD timeoutMs) {
    m_main = kt::WaitFor(timeoutMs, [] { return ::FindWindowA("#32770", "Kelvane"); });
    ::GetWindowThreadProcessId(m_main, &m_pid);
    return m_main != nullptr && WaitIdle(timeoutMs);
}

std::optional<DWORD> Kelvane::Exit() {
    if (Running() && WaitIdle(10000)) {
        kt::PressButton(m_main, IDCANCEL);
    }
    const std::optional<DWORD> code = m_process.WaitExit(20000);
    if (!code && m_process.started) {
        Log("Kelvane did not end after Exit; ended by force");
        m_process.Kill();
    }
    return code;
}

int Kelvane::Check(int id) const {
    return static_cast<int>(Send(Item(id), BM_GETCHECK, 0, 0));
}

std::string Kelvane::Status(int pane) const {
    return kt::StatusPaneText(ChildOfClass(m_main, STATUSCLASSNAMEA), pane);
}

std::vector<std::string> Kelvane::Messages() const {
    return kt::ListBoxLines(Item(1005));
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
    return kt::WaitForWindow(m_pid, caption, timeoutMs);
}

HWND Kelvane::WaitForBrowser(DWORD timeoutMs) const {
    return kt::WaitFor(timeoutMs, [&]() -> HWND {
        for (HWND popup : Popups()) {
            if (ChildOfClass(popup, WC_TREEVIEWA) != nullptr) {
                return popup;
            }
        }
        return nullptr;
    });
}

Box Kelvane::WaitForBox(DWORD timeoutMs) const {
    // A message box: its text has the id 0xFFFF, and it asks for nothing to be typed.
    const Box box = ReadBox(kt::WaitFor(timeoutMs, [&]() -> HWND {
        for (HWND popup : Popups()) {
            if (::GetDlgItem(popup, 0xFFFF) != nullptr && ChildOfClass(popup, "Edit") == nullptr &&
                ChildOfClass(popup, WC_TREEVIEWA) == nullptr) {
                return popup;
            }
        }
        return nullptr;
    }));
    if (box) {
        Log("message box \"" + box.caption + "\": " + box.text);
    }
    return box;
}

bool Kelvane::WaitIdle(DWORD timeoutMs) const {
    const DWORD start = ::GetTickCount();
    int calm = 0;
    do {
        Send(m_main, WM_NULL, 0, 0); // the window's thread is back in a message loop
        calm = Popups().empty() && Enabled(IDCANCEL) ? calm + 1 : 0;
        if (calm >= 3) {
            return true;
        }
        ::Sleep(40);
    } while (::GetTickCount() - start < timeoutMs);
    Log("the main window did not become idle");
    return false;
}

std::string Kelvane::Screenshot(const std::string& name) const {
    const std::string path = kt::ArtifactsDir() + "\\e2e-" + name + ".bmp";
    ::RedrawWindow(m_main, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    return kt::SaveWindowImage(m_main, path) ? path : std::string();
}

Box ReadBox(HWND hwnd) {
    Box box;
    if (hwnd != nullptr) {
        box.hwnd = hwnd;
        box.caption = kt::WindowText(hwnd);
        box.text = kt::MessageBoxText(hwnd);
    }
    return box;
}

bool AnswerOpenFile(HWND dialog, const std::string& path) {
    // The file-name box: the edit of the combo box cmb13, else the first visible edit.
    HWND edit = ::FindWindowExA(::GetDlgItem(dialog, 0x47C), nullptr, "Edit", nullptr);
    edit = edit != nullptr ? edit : ChildOfClass(dialog, "Edit");
    Send(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    if (edit == nullptr || kt::WindowText(edit) != path) {
        Log("cannot type " + path + " into the open-file dialog");
        return false;
    }
    return PressAndWaitGone(dialog, IDOK);
}

std::string BrowserPrompt(HWND browser) {
    return kt::WindowText(::GetDlgItem(browser, 0x3742));
}

bool AnswerFolderBrowser(HWND browser, const std::string& folder) {
    HWND tree = ChildOfClass(browser, WC_TREEVIEWA);
    // Wait until the browser has filled its tree and selected its first folder.
    for (int i = 0; i < 200 && Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0) == 0; ++i) {
        ::Sleep(50);
    }
    // The browser selects the folder in its tree itself (expanding the way down to it),
    // exactly as when the player clicks through the tree; asked again until the tree shows it.
    const std::string leaf = folder.substr(folder.find_last_of('\\') + 1);
    std::string selectedText;
    for (int attempt = 0; attempt < 20; ++attempt) {
        kt::RemoteBuffer remote(browser, folder.size() + 1);
        remote.Write(0, folder.c_str(), folder.size() + 1);
        Send(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(remote.at(0)));
        selectedText = SelectedTreeText(tree);
        if (_stricmp(selectedText.c_str(), leaf.c_str()) == 0) {
            return PressAndWaitGone(browser, IDOK);
        }
        ::Sleep(100);
    }
    Log("folder browser: could not select " + folder + " (tree shows \"" + selectedText + "\")");
    return false;
}

} // namespace e2e
