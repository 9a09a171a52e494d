// Shared pieces of the tool's Wine tests: the scripted prompt seam, scratch folders on
// the Wine C: drive, the game's registry entry, and a fixture that opens the real main
// dialog on a scratch game installation with a stand-in engine library.
#pragma once

#include "app/KelvaneDlg.h"
#include "framework/Framework.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
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
    ScriptedSeam();
    ~ScriptedSeam() override;

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

// ---------------------------------------------------------------------------
// Files and folders.
std::string BuildDir();                        // the build folder, as a Windows path
std::string BuildFile(const std::string& rel); // a file below the build folder
std::string ArtifactsDir();                    // where tests leave screenshots and logs
std::string ScratchRoot();                     // C:\kelvane-tests, created on demand
// A fresh empty folder below the scratch root, removed again by the destructor.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& name);
    ~ScratchDir();
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& rel) const { return m_path + "\\" + rel; }

  private:
    std::string m_path;
};
void MakeDirs(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes); // creates parents
std::string ReadFileBytes(const std::string& path);
bool PathExists(const std::string& path);
void RemoveTree(const std::string& path);
void CopyFileOrDie(const std::string& from, const std::string& to);
// Every file below a folder: relative path -> bytes.
std::map<std::string, std::string> Snapshot(const std::string& dir);

// ---------------------------------------------------------------------------
// The game's registry entry (HKLM\SOFTWARE\Brackwater\Tarrowsaga\Moorgate).
void SetGameRegistry(const std::optional<std::string>& location,
                     const std::optional<std::string>& version = std::nullopt);
void SetGameRegistryRaw(const char* name, const std::string& bytes, DWORD type = REG_SZ);
void DeleteGameRegistry();

// Game trees: relative path -> bytes.
using Tree = std::map<std::string, std::string>;
// Bytes that change from version to version in a few places only, as game data does: size
// pseudo-random bytes from seed, with 64 bytes from changeAt set to change (when not 0).
std::string GameData(size_t size, unsigned seed, size_t changeAt = 0, char change = 0);
void WriteTree(const std::string& dir, const Tree& tree);
// Every file and folder of a game folder with its bytes, leaving out the engine library.
Tree GameFiles(const std::string& dir);

// Runs a command line with a current directory ("" for this one's) and waits for it; its
// exit code, or -1. What it prints goes to the file `log` ("" for nowhere).
int RunProgram(const std::string& commandLine, const std::string& currentDir,
               const std::string& log);

// Dispatches pending window messages of this thread.
void PumpMessages();

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
// The real main dialog, created on a scratch installation "<scratch>\Games\Tarrow Moor"
// registered in the registry, with the scripted engine as its patchw32.dll.
class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Creates the dialog (runs its start-up). Call after arranging files and registry.
    void OpenDialog();
    void CloseDialog();
    // Clicks a button or check box the way a user does (BM_CLICK on the real control).
    void Click(int id);

    std::unique_ptr<ScratchDir> scratch;
    std::string gameDir;
    std::unique_ptr<ScriptedEngine> engine;
    std::unique_ptr<ScriptedSeam> prompts;
    std::unique_ptr<CKelvaneDlg> dlg;
};

} // namespace kt
