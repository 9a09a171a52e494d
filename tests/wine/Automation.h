// Works another process's windows as a user does: finds windows by caption, reads texts,
// presses buttons, answers message boxes, and photographs windows.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kt {

struct Process {
    PROCESS_INFORMATION info{};
    bool started = false;
    ~Process();
    DWORD pid() const { return info.dwProcessId; }
    // Waits for the process to end; its exit code, or nothing while it still runs.
    std::optional<DWORD> WaitExit(DWORD timeoutMs) const;
    void Kill() const;
};

// Starts a program (without arguments) in a current directory.
bool Launch(Process& process, const std::string& exe, const std::string& currentDir);

// Asks until `found` gives a window or the time is up.
HWND WaitFor(DWORD timeoutMs, const std::function<HWND()>& found);
// The first visible top-level window of the process with exactly this caption.
HWND WaitForWindow(DWORD pid, const std::string& caption, DWORD timeoutMs);
// Every visible top-level window of the process.
std::vector<HWND> TopLevelWindows(DWORD pid);

std::string WindowText(HWND hwnd);
// The text of a message box (its static text, id 0xFFFF).
std::string MessageBoxText(HWND box);
// SendMessageTimeout that gives the result, or 0 when the window does not answer in 10 s.
LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Clicks a button of a dialog in another process, and returns once its handler has started:
// the click goes ahead of posted messages, and a WM_NULL round trip follows it.
void PressButton(HWND dialog, int id);
// Presses a button of a dialog and waits until the dialog is destroyed.
bool PressAndWaitGone(HWND dialog, int id, DWORD timeoutMs = 20000);

// A buffer inside another process, for messages whose pointers the system does not carry
// across processes (common controls, the folder browser).
class RemoteBuffer {
  public:
    RemoteBuffer(HWND window, size_t size);
    ~RemoteBuffer();
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    bool ok() const { return m_base != nullptr; }
    char* at(size_t offset) const { return m_base + offset; }
    bool Write(size_t offset, const void* data, size_t size) const;
    std::string ReadText(size_t offset, size_t capacity) const;

  private:
    HANDLE m_process = nullptr;
    char* m_base = nullptr;
};

// Texts that a control of another process keeps in its own memory.
std::vector<std::string> ListBoxLines(HWND listBox);
std::string StatusPaneText(HWND statusBar, int pane);

// Saves what the screen shows of a window as a 24-bit BMP file.
bool SaveWindowImage(HWND hwnd, const std::string& path);

} // namespace kt
