// The main dialog: the program's whole state, its start-up and its command handlers.
// Handlers and operations live beside their subsystem:
//   app/          start-up, Patch command, option switches, post-run reset
//   engine/       engine runs, callback, space calculation, busy state
//   environment/  game version, patch and temp directory choice
//   backup/       backup destination, backup copy and undo scripts, directory trees
//   queue/        the queue handlers
#pragma once

#include "backup/logic/UndoScript.h"
#include "framework/Framework.h"
#include "resources/resource.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

// One file of the game directory, as the directory search reports it.
struct GameFileEntry {
    std::string path; // the searched directory, a backslash, the file's name
    uint64_t size = 0;
};

using TextList = std::list<std::string>;

class CKelvaneDlg : public fw::Dialog {
  public:
    explicit CKelvaneDlg(HWND parent = nullptr);
    ~CKelvaneDlg() override;

    // --- members, in declaration order -------------------------------------
    HICON m_hIcon = nullptr;
    fw::StatusBar m_wndStatusBar;
    HMODULE m_hEngine = nullptr;
    HCURSOR m_hWaitCursor = nullptr;
    fw::ListBox m_ctrlMessages;
    fw::ProgressCtrl m_ctrlProgressFile;
    fw::ProgressCtrl m_ctrlProgressTotal;
    fw::Button m_ctrlIgnoreMissing;
    fw::Button m_ctrlValidateOnly;
    fw::Button m_ctrlEnableUndo;
    BOOL m_bIgnoreMissing = FALSE;
    BOOL m_bValidateOnly = FALSE;
    BOOL m_bBusy = FALSE;
    BOOL m_bUseQueue = FALSE;
    BOOL m_bUndo = FALSE;
    std::string m_strBackupDir;
    std::string m_strBackupFolder;
    std::string m_strPatchFile;
    std::string m_strPatchPath;
    std::string m_strTempDir;
    std::string m_strGameExe;
    std::string m_strGameDir;
    std::string m_strGameVersion;
    int m_nMessageIndex = 0;
    int64_t m_llRequiredSpace = 0;
    TextList m_listQueue;
    std::list<UINT> m_listDisabledControls;
    TextList m_listEngineListing;
    TextList m_listPatchTargets;
    std::vector<GameFileEntry> m_listGameFiles;
    TextList m_listFilesToBackUp;
    // The undo script of the last backup, until the run's additions are in it (backup/).
    UndoRecord m_undoRecord;

    // --- application shell (app/) --------------------------------------------
    void SetStatusText(const std::string& text);
    // Sets the text of the version pane, widening it (at the status pane's cost) when the
    // text needs more than the usual 200 pixels.
    void SetVersionPaneText(const std::string& text);
    LRESULT OnMessagesAdded(WPARAM wParam, LPARAM lParam);
    void OnSysCommand(UINT nID, LPARAM lParam);
    bool OnPaint();
    HCURSOR OnQueryDragIcon();
    bool OnSetCursor(HWND window, UINT hitTest, UINT mouseMessage);
    void OnPatch();
    void OnIgnoreMissing();
    void OnValidateOnly();
    void ResetAfterRun(BOOL bClearPatch);

    // --- engine bridge (engine/) ---------------------------------------------
    int RunPatchEngine(std::string patchPath, std::string tempDir);
    int ListPatchFiles();
    int CalcSpaceRequirements();
    void ScanGameDir(const std::string& dir);
    void BuildPatchTargets();
    uint64_t MatchPatchTargets();
    void EnterBusyState();
    void LeaveBusyState();

    // --- installation and disk environment (environment/) --------------------
    void ShowGameVersion();
    void OnSelectPatch();
    void OnSelectTempDir();
    // Shows what a space calculation found (result 0) or that none is known, in label 1021
    // and on the undo check box.
    void ShowPatchRequirement(int calcResult);

    // --- backup and undo (backup/) -------------------------------------------
    void OnEnableUndo();
    // Switches undo off: box cleared, destination forgotten, label emptied, and the options
    // that undo excluded available again.
    void ClearUndo();
    int PerformBackup();
    // After the engine run of a backup: the undo script also removes, by full path, the files
    // of a bare name that the run added and the folders it made.
    void CompleteUndoScript();
    BOOL MakeBackupPath(std::string path);
    BOOL DeleteDirectoryTree(std::string dir);

    // --- patch queue (queue/) ------------------------------------------------
    void OnUseQueue();
    void OnClearQueue();

  protected:
    BOOL OnInitDialog() override;
    void DoDataExchange() override;
    bool OnCommand(WORD id, WORD code) override;
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

  private:
    // The Patch command's stages. The room check: enough free space for the engine's work
    // files and, with undo, for the backup; otherwise an error box and false.
    bool HasRoomForRun();
    // With undo, the backup; when it fails, the question whether to go on without one (false:
    // the player declined). `backupSkipped` is set when the run goes on without a backup.
    bool BackUpOrAsk(bool& backupSkipped);
    // The outcome box of a run: what was done and where the backup is.
    void ReportOutcome(bool success, bool backupSkipped);
    // Finds the game and the engine library; ends the program when the engine is missing.
    void FindGameAndEngine();
    // Shows a fatal start-up error and ends the process with exit code 0.
    [[noreturn]] void FatalStartupError(const std::string& text);
};

// Results of PerformBackup.
enum BackupResult { BackupDone = 0, BackupNoDirectory = 3, BackupFailed = 5 };

// Results of RunPatchEngine, ListPatchFiles and CalcSpaceRequirements beside the engine's own
// codes, which they pass on (0 is success): no game directory or no files in it to measure;
// the engine library is missing or a patch of the queue failed; an empty queue, nothing run.
enum RunResult { RunSucceeded = 0, RunNoGameFiles = 1, RunFailed = 2, RunNothingQueued = 99 };
