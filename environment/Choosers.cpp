// Choosing the patch file and the temp directory.
#include "app/KelvaneDlg.h"

#include "environment/Environment.h"

#include <commdlg.h>

fw::OpenFileRequest PatchFileRequest(HWND owner) {
    fw::OpenFileRequest request;
    request.owner = owner;
    request.filter = "RTP files (*.rtp)|*.rtp||";
    request.title = "Please select the patch (*.rtp) to apply!";
    request.flags = OFN_READONLY | OFN_FILEMUSTEXIST;
    return request;
}

void CKelvaneDlg::OnSelectPatch() {
    std::string chosen;
    if (fw::seam().OpenFile(PatchFileRequest(m_hWnd), chosen) != IDOK) {
        return;
    }
    m_strPatchPath = chosen;
    m_strPatchFile = FileNameOf(m_strPatchPath);
    ShowPatchRequirement(CalcSpaceRequirements());
    EnableItem(IDOK, true);
    UpdateData(FALSE);
}

void CKelvaneDlg::ShowPatchRequirement(int calcResult) {
    if (calcResult != RunSucceeded) {
        SetItemText(IDC_PATCH_FILE_LABEL, "Select Patch File:");
        SetItemText(IDC_ENABLE_UNDO, "Enable patch undo.");
        EnableItem(IDC_ENABLE_UNDO, false);
        if (m_bUndo) {
            // The backup list still describes the patch chosen before: a backup made from it
            // would not undo this patch. Undo is switched off until a calculation succeeds.
            ClearUndo();
        }
        return;
    }
    const std::string size = FormatSize(m_llRequiredSpace);
    SetItemText(IDC_PATCH_FILE_LABEL, "Select Patch File: (requires min. " + size + " temp space)");
    SetItemText(IDC_ENABLE_UNDO, "Enable patch undo. (requires " + size + " additional space.)");
    EnableItem(IDC_ENABLE_UNDO, true);
}

void CKelvaneDlg::OnSelectTempDir() {
    std::string title = "Please select a destination with optimally 6GB free space and press 'OK'.";
    if (m_llRequiredSpace > 0) {
        title = "Please select a destination with at least " + FormatSize(m_llRequiredSpace) +
                " free space and press 'OK'.";
    }
    const std::string chosen = BrowseForFolder(m_hWnd, title);
    if (!chosen.empty()) {
        m_strTempDir = chosen;
    }
    SetItemText(IDC_TEMP_DIR_LABEL,
                "Select a temp directory: (current has " + FreeSpaceText(m_strTempDir) + " free).");
    UpdateData(FALSE);
}
