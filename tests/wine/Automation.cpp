#include "tests/wine/Automation.h"

#include <commctrl.h>

#include <cstdio>

namespace kt {

Process::~Process() {
    if (started) {
        if (!WaitExit(0)) {
            Kill();
        }
        ::CloseHandle(info.hProcess);
        ::CloseHandle(info.hThread);
    }
}

std::optional<DWORD> Process::WaitExit(DWORD timeoutMs) const {
    DWORD code = 0;
    if (!started || ::WaitForSingleObject(info.hProcess, timeoutMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(info.hProcess, &code)) {
        return std::nullopt;
    }
    return code;
}

void Process::Kill() const {
    ::TerminateProcess(info.hProcess, 1);
    ::WaitForSingleObject(info.hProcess, 5000);
}

bool Launch(Process& process, const std::string& exe, const std::string& currentDir) {
    std::string commandLine = "\"" + exe + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    process.started = ::CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                       nullptr, currentDir.empty() ? nullptr : currentDir.c_str(),
                                       &startup, &process.info) != FALSE;
    return process.started;
}

namespace {
struct Search {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(hwnd, &owner);
    if (owner == search->pid && ::IsWindowVisible(hwnd)) {
        search->found.push_back(hwnd);
    }
    return TRUE;
}
} // namespace

std::vector<HWND> TopLevelWindows(DWORD pid) {
    Search search{pid, {}};
    ::EnumWindows(&Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitFor(DWORD timeoutMs, const std::function<HWND()>& found) {
    const DWORD start = ::GetTickCount();
    do {
        if (HWND hwnd = found()) {
            return hwnd;
        }
        ::Sleep(30);
    } while (::GetTickCount() - start < timeoutMs);
    return nullptr;
}

HWND WaitForWindow(DWORD pid, const std::string& caption, DWORD timeoutMs) {
    return WaitFor(timeoutMs, [&]() -> HWND {
        for (HWND hwnd : TopLevelWindows(pid)) {
            if (WindowText(hwnd) == caption) {
                return hwnd;
            }
        }
        return nullptr;
    });
}

std::string WindowText(HWND hwnd) {
    char buffer[4096] = {};
    // WM_GETTEXT is carried across processes by the system.
    ::SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer),
                          SMTO_ABORTIFHUNG, 5000, nullptr);
    return buffer;
}

std::string MessageBoxText(HWND box) {
    return WindowText(::GetDlgItem(box, 0xFFFF));
}

LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(hwnd, msg, wParam, lParam, SMTO_ABORTIFHUNG, 10000, &result);
    return static_cast<LRESULT>(result);
}

void PressButton(HWND dialog, int id) {
    HWND button = ::GetDlgItem(dialog, id);
    button != nullptr ? ::SendNotifyMessageA(button, BM_CLICK, 0, 0)
                      : ::SendNotifyMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    // Sent messages are handled in turn: this one once the click's handler has returned or
    // waits in a message loop of its own (a box, a dialog, the engine's callback).
    ::SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 30000, nullptr);
}

bool PressAndWaitGone(HWND dialog, int id, DWORD timeoutMs) {
    PressButton(dialog, id);
    // Gone means destroyed, not hidden: a modal dialog hides at once but its loop still runs
    // (Wine's open-file dialog finishes its work there) until the call that showed it returns,
    // and a message sent meanwhile to the owner is handled in that loop, nested in its caller.
    return WaitFor(timeoutMs, [&] { return ::IsWindow(dialog) ? nullptr : dialog; }) != nullptr;
}

RemoteBuffer::RemoteBuffer(HWND window, size_t size) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    m_process =
        ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (m_process != nullptr) {
        m_base = static_cast<char*>(
            ::VirtualAllocEx(m_process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    }
}

RemoteBuffer::~RemoteBuffer() {
    if (m_process != nullptr) {
        ::VirtualFreeEx(m_process, m_base, 0, MEM_RELEASE); // fails harmlessly without a base
        ::CloseHandle(m_process);
    }
}

bool RemoteBuffer::Write(size_t offset, const void* data, size_t size) const {
    SIZE_T written = 0;
    return ::WriteProcessMemory(m_process, m_base + offset, data, size, &written) &&
           written == size;
}

std::string RemoteBuffer::ReadText(size_t offset, size_t capacity) const {
    std::vector<char> local(capacity + 1, '\0');
    SIZE_T got = 0;
    ::ReadProcessMemory(m_process, m_base + offset, local.data(), capacity, &got);
    return local.data();
}

std::vector<std::string> ListBoxLines(HWND listBox) {
    // List box messages are carried across processes by the system (the text comes back
    // into a buffer of this process); the wide form keeps the text intact under Wine.
    std::vector<std::string> lines;
    DWORD_PTR count = 0;
    ::SendMessageTimeoutW(listBox, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count);
    for (int i = 0; i < static_cast<int>(count); ++i) {
        DWORD_PTR length = 0;
        ::SendMessageTimeoutW(listBox, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0, SMTO_ABORTIFHUNG,
                              5000, &length);
        std::vector<wchar_t> wide(length + 1, L'\0');
        ::SendMessageTimeoutW(listBox, LB_GETTEXT, static_cast<WPARAM>(i),
                              reinterpret_cast<LPARAM>(wide.data()), SMTO_ABORTIFHUNG, 5000,
                              nullptr);
        char narrow[8192] = {};
        ::WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, narrow, sizeof narrow - 1, nullptr,
                              nullptr);
        lines.push_back(narrow);
    }
    return lines;
}

std::string StatusPaneText(HWND statusBar, int pane) {
    RemoteBuffer remote(statusBar, 4096);
    if (!remote.ok()) {
        return std::string();
    }
    Send(statusBar, SB_GETTEXTA, static_cast<WPARAM>(pane), reinterpret_cast<LPARAM>(remote.at(0)));
    return remote.ReadText(0, 4096);
}

bool SaveWindowImage(HWND hwnd, const std::string& path) {
    RECT rect{};
    const bool placed = ::GetWindowRect(hwnd, &rect) != FALSE;
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (!placed || width <= 0 || height <= 0) {
        return false;
    }
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    ::GdiFlush();
    const DWORD stride = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD imageSize = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + imageSize;
    bool ok = false;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        ok = std::fwrite(&file, sizeof file, 1, f) == 1 &&
             std::fwrite(&info.bmiHeader, sizeof(BITMAPINFOHEADER), 1, f) == 1 &&
             std::fwrite(bits, 1, imageSize, f) == imageSize;
        std::fclose(f);
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return ok;
}

} // namespace kt
