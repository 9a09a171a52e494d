// Works another process's windows as a user does: finds windows by caption, reads texts,
// presses buttons, answers message boxes, and photographs windows.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kt {

struct Process {
    PROCESS_INFORMATION info{};
    bool started = false;
    ~Process();
    DWORD pid() const { return info.dwProcessId; }
    // Waits for the process to end; returns its exit code, or STILL_ACTIVE after the timeout.
    DWORD WaitExit(DWORD timeoutMs) const;
    void Kill() const;
};

// Starts a program with a command line and a current directory.
bool Launch(Process& process, const std::string& exe, const std::string& args,
            const std::string& currentDir);

// The first visible top-level window of the process with exactly this caption.
HWND WaitForWindow(DWORD pid, const std::string& caption, DWORD timeoutMs);
// Every visible top-level window of the process.
std::vector<HWND> TopLevelWindows(DWORD pid);

std::string WindowText(HWND hwnd);
// The text of a message box (its static text, id 0xFFFF).
std::string MessageBoxText(HWND box);
// Clicks a button of a dialog in another process.
void PressButton(HWND dialog, int id);

// Texts that a control of another process keeps in its own memory.
std::vector<std::string> ListBoxLines(HWND listBox);
std::string StatusPaneText(HWND statusBar, int pane);

// Saves what the screen shows of a window as a 24-bit BMP file.
bool SaveWindowImage(HWND hwnd, const std::string& path);

} // namespace kt
