// Works the real kelvane.exe through its windows, as a player does: presses its buttons,
// answers the open-file dialog, the folder browser and the message boxes, and reads what
// the windows show. Everything goes through window messages; nothing inside the program
// is touched.
#pragma once

#include "tests/wine/Automation.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace e2e {

// A message box as the player sees it.
struct Box {
    HWND hwnd = nullptr;
    std::string caption;
    std::string text;
    explicit operator bool() const { return hwnd != nullptr; }
};

// Appends a line to the run's log (artifacts folder) and to standard output.
void Log(const std::string& line);

class Kelvane {
  public:
    // Starts the program and waits for its main window "Kelvane".
    bool Start(const std::string& exe, const std::string& currentDir);
    // Works a Kelvane that is already running (the first window captioned "Kelvane").
    bool Attach(DWORD timeoutMs);
    // Presses Exit and waits for the program to end; its exit code, or nothing when it had
    // to be ended by force.
    std::optional<DWORD> Exit();
    DWORD pid() const { return m_pid; }
    bool Running() const { return m_process.started && !m_process.WaitExit(0); }

    HWND main() const { return m_main; }
    HWND Item(int id) const { return ::GetDlgItem(m_main, id); }
    bool Enabled(int id) const { return ::IsWindowEnabled(Item(id)) != FALSE; }
    std::string Text(int id) const { return kt::WindowText(Item(id)); }
    int Check(int id) const;
    std::string Status(int pane) const;
    std::vector<std::string> Messages() const;

    // Clicks a control of the main window; false (and logged) when it is disabled.
    bool Click(int id);
    // The windows the program shows besides its main window.
    std::vector<HWND> Popups() const;
    // Waits until a popup with this caption shows.
    HWND WaitForPopup(const std::string& caption, DWORD timeoutMs = 20000) const;
    // Waits until the shell's folder browser shows.
    HWND WaitForBrowser(DWORD timeoutMs = 20000) const;
    // Waits for the next message box (any caption).
    Box WaitForBox(DWORD timeoutMs = 60000) const;
    // Waits until no popup is open and the main window takes input again (Exit enabled).
    bool WaitIdle(DWORD timeoutMs = 60000) const;

    // Photographs the main window (with whatever lies over it) into the artifacts folder.
    std::string Screenshot(const std::string& name) const;

  private:
    kt::Process m_process;
    HWND m_main = nullptr;
    DWORD m_pid = 0;
};

Box ReadBox(HWND hwnd);
using kt::PressAndWaitGone;

// The open-file dialog: types the path into its file-name box and presses Open.
bool AnswerOpenFile(HWND dialog, const std::string& path);
// The shell's folder browser: its prompt text.
std::string BrowserPrompt(HWND browser);
// Selects a folder in the browser's tree, checks that the tree highlights it, presses OK.
bool AnswerFolderBrowser(HWND browser, const std::string& folder);

} // namespace e2e
