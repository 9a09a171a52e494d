// The option switches "Ignore Missing Files." and "Validate install only.", and the
// reset that returns the dialog to its idle form after every completed patch run.
//
// The option check boxes are automatic: a click has already toggled the box when its
// handler runs, so the handler reads the new state and then sets box and flag together.
// Ignore-missing and validate-only exclude the patch queue; validate-only also excludes
// the undo backup (which in turn disables validate-only while a destination is chosen).
#include "app/KelvaneDlg.h"

#include "environment/Environment.h"

void CKelvaneDlg::OnIgnoreMissing() {
    if (m_ctrlIgnoreMissing.GetCheck() == BST_UNCHECKED) {
        m_ctrlIgnoreMissing.SetCheck(BST_UNCHECKED);
        m_bIgnoreMissing = FALSE;
        if (m_ctrlValidateOnly.GetCheck() == BST_UNCHECKED) {
            EnableItem(IDC_ENABLE_UNDO, true);
        }
        if (m_ctrlEnableUndo.GetCheck() == BST_UNCHECKED &&
            m_ctrlValidateOnly.GetCheck() == BST_UNCHECKED) {
            EnableItem(IDC_USE_QUEUE, true);
        }
        UpdateData(FALSE);
        return;
    }

    const int answer =
        MessageBox("WARNING: Choosing to ignore missing/incorrect files may cause unforeseen "
                   "errors.\n You can NOT ask Brackwater support for help once you have patched "
                   "this way unless you reinstall your game first.\n\n By pressing the Yes button "
                   "you accept this.",
                   "WARNING", MB_YESNO | MB_ICONWARNING);
    if (answer == IDYES) {
        m_ctrlIgnoreMissing.SetCheck(BST_CHECKED);
        m_bIgnoreMissing = TRUE;
        EnableItem(IDC_USE_QUEUE, false);
        EnableItem(IDC_CLEAR_QUEUE, false);
        m_listQueue.clear();
        m_bUseQueue = FALSE;
    } else {
        m_ctrlIgnoreMissing.SetCheck(BST_UNCHECKED);
        m_bIgnoreMissing = FALSE;
    }
    UpdateData(FALSE);
}

void CKelvaneDlg::OnValidateOnly() {
    if (m_ctrlValidateOnly.GetCheck() == BST_UNCHECKED) {
        m_ctrlValidateOnly.SetCheck(BST_UNCHECKED);
        SetItemText(IDOK, "&Patch");
        m_bValidateOnly = FALSE;
        if (m_ctrlIgnoreMissing.GetCheck() == BST_UNCHECKED) {
            EnableItem(IDC_USE_QUEUE, true);
        }
        EnableItem(IDC_ENABLE_UNDO, true);
        UpdateData(FALSE);
        return;
    }

    m_ctrlValidateOnly.SetCheck(BST_CHECKED);
    SetItemText(IDOK, "&Validate");
    m_bValidateOnly = TRUE;
    EnableItem(IDC_USE_QUEUE, false);
    EnableItem(IDC_CLEAR_QUEUE, false);
    m_listQueue.clear();
    m_bUseQueue = FALSE;
    // Validating changes nothing, so there is nothing to back up. The backup root and
    // folder name stay as they are; with undo off they are not used.
    EnableItem(IDC_ENABLE_UNDO, false);
    m_ctrlEnableUndo.SetCheck(BST_UNCHECKED);
    m_bUndo = FALSE;
    EnableItem(IDC_BACKUP_LABEL, false);
    SetItemText(IDC_BACKUP_LABEL, "");
    UpdateData(FALSE);
}

void CKelvaneDlg::ResetAfterRun(BOOL bClearPatch) {
    // The next space calculation scans the game directory again.
    m_listGameFiles.clear();

    if (m_bUseQueue) {
        m_listQueue.clear();
        EnableItem(IDC_SELECT_PATCH, true);
        SetItemText(IDC_PATCH_FILE_LABEL, "Select Patch File:");
        EnableItem(IDC_CLEAR_QUEUE, false);
        m_bUseQueue = FALSE;
        EnableItem(IDC_VALIDATE_ONLY, true);
        EnableItem(IDC_IGNORE_MISSING, true);
        // Queue mode had emptied the single-patch selection, so after the queue is gone
        // there is nothing left to patch, whether the run succeeded or not.
        if (m_strPatchPath.empty()) {
            EnableItem(IDOK, false);
        }
    }

    if (m_bUndo) {
        m_ctrlEnableUndo.SetCheck(BST_UNCHECKED);
        m_bUndo = FALSE;
        m_strBackupDir.clear();
        SetItemText(IDC_ENABLE_UNDO, "Enable patch undo.");
        EnableItem(IDC_BACKUP_LABEL, false);
        SetItemText(IDC_BACKUP_LABEL, "");
        EnableItem(IDC_VALIDATE_ONLY, true);
        if (m_ctrlIgnoreMissing.GetCheck() == BST_UNCHECKED) {
            EnableItem(IDC_USE_QUEUE, true);
        }
    }

    if (bClearPatch) {
        m_strPatchFile.clear();
        m_strPatchPath.clear();
        SetItemText(IDC_PATCH_FILE_LABEL, "Select Patch File:");
        SetItemText(IDC_ENABLE_UNDO, "Enable patch undo.");
        EnableItem(IDC_ENABLE_UNDO, false);
        EnableItem(IDOK, false);
    }

    SetStatusText("");

    const std::string roomiest = FindRoomiestFixedDrive();
    if (!roomiest.empty()) {
        m_strTempDir = roomiest;
    }
    SetItemText(IDC_TEMP_DIR_LABEL,
                "Select a temp directory: (current has " + FreeSpaceText(m_strTempDir) + " free).");
}
