// Shared pieces of the tool's Wine tests: the scripted prompt seam, the stand-in engine, a
// watch on engine runs, held files and full volumes, and a fixture that opens the real main
// dialog on a scratch game installation.
#pragma once

#include "app/KelvaneDlg.h"
#include "framework/Framework.h"
#include "tests/wine/Host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kt {

// Answers the tool's prompts and disk queries from a script and records what was asked.
class ScriptedSeam : public fw::Seam {
  public:
    struct Box {
        HWND owner;
        std::string text;
        std::string caption;
        UINT type;
    };
    ScriptedSeam() { fw::SetSeam(this); }
    ~ScriptedSeam() override { fw::SetSeam(nullptr); }

    // Message boxes: every box is recorded; answers are taken in order, IDOK when none is left.
    std::vector<Box> boxes;
    std::deque<int> boxAnswers;

    // Open-file dialogs: the requests are recorded; an empty script answers IDCANCEL.
    std::vector<fw::OpenFileRequest> openRequests;
    std::deque<std::string> openAnswers; // a path; "" stands for Cancel

    // Folder browsers: titles recorded; an empty script answers "" (Cancel).
    std::vector<std::pair<HWND, std::string>> browseRequests;
    std::deque<std::string> browseAnswers;

    // Free space by drive (first three characters, upper case, e.g. "C:\") or by exact path
    // (exact paths win). A value below 0 makes the query fail. Unscripted: the real query.
    std::map<std::string, int64_t> freeByDrive;
    std::map<std::string, int64_t> freeByPath;
    std::vector<std::string> freeQueries;

    // Drives: when set, replace the system's drive list and drive types.
    std::optional<std::vector<std::pair<std::string, UINT>>> drives;

    int MessageBox(HWND owner, const std::string& text, const std::string& caption,
                   UINT type) override;
    INT_PTR OpenFile(const fw::OpenFileRequest& request, std::string& path) override;
    std::string BrowseFolder(HWND owner, const std::string& title) override;
    bool FreeBytes(const std::string& path, int64_t& freeBytes) override;
    std::string LogicalDriveStrings() override;
    UINT DriveType(const std::string& root) override;
};

// Calls an action each time the engine's callback tells the dialog that lines were added,
// that is, in the middle of an engine run (or each time another message arrives there).
class DuringRun {
  public:
    DuringRun(HWND dialog, std::function<void()> action, UINT message = WM_MESSAGES_ADDED);
    ~DuringRun();

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND m_dialog;
    std::function<void()> m_action;
    UINT m_message;
    WNDPROC m_original = nullptr;
};

// A file held open without sharing, as another program holding it would: it cannot be read,
// copied or replaced while this lives.
class HeldFile {
  public:
    explicit HeldFile(const std::string& path);
    ~HeldFile();
    bool held() const { return m_handle != INVALID_HANDLE_VALUE; }

  private:
    HANDLE m_handle;
};

// A fresh folder on the small volume named by KELVANE_SMALL_VOLUME (the test scripts mount
// one), with the volume then filled to its last byte. Fails the test when no volume is named.
std::string FullVolumeFolder(const std::string& name);

// The stand-in engine: a script and a record of its command lines.
class ScriptedEngine {
  public:
    explicit ScriptedEngine(const std::string& dir); // sets KELVANE_TEST_ENGINE_DIR
    ~ScriptedEngine();
    void Script(const std::string& text) const; // see tests/engines/scripted_engine.cpp
    std::vector<std::string> Calls() const;     // command lines, one per call
    static std::string LibraryPath();           // the scripted engine DLL
    static std::string NoEntryLibraryPath();    // a DLL without RTPatchApply32@12

  private:
    std::string m_dir;
};

// The real main dialog, created on a scratch installation "<scratch>\Games\Tarrow Moor"
// registered in the registry, with the scripted engine as its patchw32.dll.
class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Creates the dialog (runs its start-up). Call after arranging files and registry.
    void OpenDialog();
    void CloseDialog();
    // A fresh scratch installation, seam and engine script for the next row of a table.
    void Restart() {
        TearDown();
        SetUp();
    }
    // Clicks a button or check box the way a user does (BM_CLICK on the real control).
    void Click(int id);
    // The option boxes ticked (I ignore, V validate, U undo; "!" where box and flag differ),
    // the controls enabled (q Use Queue, c Clear Queue, u undo box, v validate, i ignore,
    // o Patch, s Select Patch, b backup label), the queue's length and the Patch button's name
    // (P or V): "I-- ..uvios. 0P".
    std::string Controls() const;
    // Whether each control a user could work is enabled (patch edit ... Patch, Exit).
    std::vector<bool> Enabled() const;
    // The message box at `index`: its text, caption and type, owned by the dialog.
    void ExpectBox(size_t index, const std::string& text, const std::string& caption,
                   UINT type = MB_ICONERROR | MB_OK) const;

    std::unique_ptr<ScratchDir> scratch;
    std::string gameDir;
    std::unique_ptr<ScriptedEngine> engine;
    std::unique_ptr<ScriptedSeam> prompts;
    std::unique_ptr<CKelvaneDlg> dlg;
};

} // namespace kt
