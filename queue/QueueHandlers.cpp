// The main dialog's queue buttons: Use Queue runs the queue dialog and sets the mode from
// the number of queued patches; Clear Queue empties the queue and leaves queue mode.
#include "app/KelvaneDlg.h"

#include "environment/Environment.h"
#include "queue/KelvaneQueue.h"

#include <cstdio>

void CKelvaneDlg::OnUseQueue() {
    {
        CKelvaneQueue queue(m_listQueue, m_hWnd);
        queue.DoModal(); // only "&Close": whatever was added or removed stays
    }
    const size_t n = m_listQueue.size();

    if (n == 0) {
        EnableItem(IDC_CLEAR_QUEUE, false);
        m_bUseQueue = FALSE;
        SetStatusText("");
        EnableItem(IDC_SELECT_PATCH, true);
    } else if (n == 1) {
        // A queue of one is simply the chosen patch.
        m_strPatchPath = m_listQueue.front();
        m_strPatchFile = FileNameOf(m_strPatchPath);
        EnableItem(IDC_CLEAR_QUEUE, false);
        m_bUseQueue = FALSE;
        EnableItem(IDC_SELECT_PATCH, true);
        SetStatusText("");
        m_listQueue.clear();
        ShowPatchRequirement(CalcSpaceRequirements());
        EnableItem(IDOK, true);
    } else {
        // Queue mode: no option and no undo apply to a queue.
        EnableItem(IDC_VALIDATE_ONLY, false);
        SetCheck(IDC_VALIDATE_ONLY, BST_UNCHECKED);
        SetItemText(IDOK, "&Patch");
        m_bValidateOnly = FALSE;

        EnableItem(IDC_IGNORE_MISSING, false);
        SetCheck(IDC_IGNORE_MISSING, BST_UNCHECKED);
        m_bIgnoreMissing = FALSE;

        SetItemText(IDC_ENABLE_UNDO, "Enable patch undo.");
        EnableItem(IDC_ENABLE_UNDO, false);
        SetCheck(IDC_ENABLE_UNDO, BST_UNCHECKED);
        m_bUndo = FALSE;
        m_strBackupDir.clear();

        EnableItem(IDC_BACKUP_LABEL, false);
        SetItemText(IDC_BACKUP_LABEL, "");
        SetItemText(IDC_PATCH_FILE_LABEL, "Select Patch File:");

        EnableItem(IDC_SELECT_PATCH, false);
        EnableItem(IDC_CLEAR_QUEUE, true);
        m_bUseQueue = TRUE;
        EnableItem(IDOK, true);

        char status[64];
        std::snprintf(status, sizeof status, "%d patch(es) in queue.", static_cast<int>(n));
        SetStatusText(status);

        m_strPatchFile.clear();
        m_strPatchPath.clear();
    }
    UpdateData(FALSE);
}

void CKelvaneDlg::OnClearQueue() {
    m_listQueue.clear();
    EnableItem(IDC_SELECT_PATCH, true);
    SetItemText(IDC_PATCH_FILE_LABEL, "Select Patch File:");
    EnableItem(IDC_CLEAR_QUEUE, false);
    m_bUseQueue = FALSE;
    SetStatusText("");
    EnableItem(IDC_VALIDATE_ONLY, true);
    EnableItem(IDC_IGNORE_MISSING, true);
    EnableItem(IDOK, false);
    UpdateData(FALSE);
}
