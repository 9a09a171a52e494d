// The Patch command: the room check, the backup or the question whether to go on without
// one, the engine run, the outcome report and the return to the idle dialog.
#include "app/KelvaneDlg.h"

#include "app/logic/PatchOutcome.h"
#include "environment/Environment.h"

#include <mbstring.h>

namespace {

// Drive identity: the first three characters (C:\), compared without regard to case.
bool SameDrive(const std::string& a, const std::string& b) {
    const std::string driveA = a.substr(0, 3);
    const std::string driveB = b.substr(0, 3);
    return _mbsicmp(reinterpret_cast<const unsigned char*>(driveA.c_str()),
                    reinterpret_cast<const unsigned char*>(driveB.c_str())) == 0;
}

} // namespace

void CKelvaneDlg::OnPatch() {
    m_ctrlProgressTotal.SetPos(0);
    m_ctrlProgressFile.SetPos(0);
    EnterBusyState();
    bool backupSkipped = false;
    if (!HasRoomForRun() || !BackUpOrAsk(backupSkipped)) {
        LeaveBusyState();
        return;
    }

    const int engineResult = RunPatchEngine(m_strPatchPath, m_strTempDir);
    CompleteUndoScript();
    const bool success = engineResult == RunSucceeded;
    ReportOutcome(success, backupSkipped);

    // Back to the idle dialog.
    LeaveBusyState();
    ResetAfterRun(success ? TRUE : FALSE);
    if (!m_strGameExe.empty()) {
        ShowGameVersion();
    }
    m_ctrlProgressTotal.SetPos(0);
    m_ctrlProgressFile.SetPos(0);
    const int lines = m_ctrlMessages.GetCount();
    m_ctrlMessages.SetTopIndex(lines - 1);
    UpdateData(FALSE);
}

bool CKelvaneDlg::HasRoomForRun() {
    // The engine's work files (a queue's patches are not measured), then the backup's copies.
    const std::string tempError = TempSpaceError(m_bUseQueue != FALSE, GetFreeBytes(m_strTempDir),
                                                 m_llRequiredSpace, m_strTempDir);
    if (!tempError.empty()) {
        MessageBox(tempError, "Error", MB_ICONERROR | MB_OK);
        return false;
    }
    if (!m_bUndo) {
        return true;
    }
    const std::string backupError =
        BackupSpaceError(GetFreeBytes(m_strBackupDir), m_llRequiredSpace, m_strBackupDir,
                         SameDrive(m_strTempDir, m_strBackupDir));
    if (!backupError.empty()) {
        MessageBox(backupError, "Error", MB_ICONERROR | MB_OK);
        return false;
    }
    return true;
}

bool CKelvaneDlg::BackUpOrAsk(bool& backupSkipped) {
    if (!m_bUndo) {
        return true;
    }
    SetStatusText("Please wait... Backing up files...");
    const int backup = PerformBackup();
    if (backup == BackupDone) {
        SetStatusText("Backup done, now proceeding with patching.");
        return true;
    }
    if (backup == BackupFailed) {
        DeleteDirectoryTree(m_strBackupDir + m_strBackupFolder);
    }
    if (MessageBox("Unable to backup files, do you wish to try to continue patch without "
                   "a backup ?",
                   "Error", MB_YESNO | MB_ICONWARNING) != IDYES) {
        SetStatusText("");
        return false;
    }
    m_ctrlEnableUndo.SetCheck(BST_UNCHECKED);
    backupSkipped = true;
    m_strBackupDir.clear();
    m_strBackupFolder.clear();
    EnableItem(IDC_BACKUP_LABEL, false);
    SetItemText(IDC_BACKUP_LABEL, "");
    // "Validate install only." becomes available again, but not in the middle of the run: the
    // engine's callback dispatches clicks, and a validate switch then would reword the outcome
    // of a real patch. Leaving the busy state enables it.
    bool listed = false;
    for (UINT id : m_listDisabledControls) {
        listed = listed || id == IDC_VALIDATE_ONLY;
    }
    if (!listed) {
        m_listDisabledControls.push_back(IDC_VALIDATE_ONLY);
    }
    SetStatusText("Backup failed, proceeding with patching.");
    return true;
}

void CKelvaneDlg::ReportOutcome(bool success, bool backupSkipped) {
    const std::string text = PatchOutcomeText(
        m_bIgnoreMissing != FALSE, m_bValidateOnly != FALSE, success,
        m_bUndo && !backupSkipped ? m_strBackupDir + m_strBackupFolder : std::string());
    if (success) {
        MessageBox(text, "Success", MB_ICONINFORMATION | MB_OK);
    } else {
        MessageBox(text, "Error", MB_ICONERROR | MB_OK);
    }
}
