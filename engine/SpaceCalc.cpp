// Space requirements of a patch: the inventory of the game directory, the engine's list of
// the files a patch touches, matching the two by file name, and the dialog's busy state.
#include "app/KelvaneDlg.h"

#include "engine/logic/TargetMatch.h"
#include "environment/Environment.h"

namespace {

// The controls that the busy state disables, in this order.
const UINT kBusyControls[] = {
    IDC_PATCH_FILE,    IDC_SELECT_PATCH, IDC_SELECT_TEMP_DIR, IDC_TEMP_DIR,      IDC_USE_QUEUE,
    IDC_CLEAR_QUEUE,   IDC_MESSAGES,     IDC_PROGRESS_TOTAL,  IDC_PROGRESS_FILE, IDC_IGNORE_MISSING,
    IDC_VALIDATE_ONLY, IDC_ENABLE_UNDO,  IDC_BACKUP_LABEL,    IDCANCEL,          IDOK};

} // namespace

int CKelvaneDlg::CalcSpaceRequirements() {
    if (m_strGameDir.empty()) {
        return RunNoGameFiles;
    }
    SetStatusText("Please wait, calculating patch space requirements...");
    EnterBusyState();

    int result = RunSucceeded;
    if (m_listGameFiles.empty()) {
        ScanGameDir(m_strGameDir);
    }
    if (m_listGameFiles.empty()) {
        result = RunNoGameFiles;
    } else {
        result = ListPatchFiles();
        if (result == RunSucceeded) {
            BuildPatchTargets();
            m_llRequiredSpace = static_cast<int64_t>(MatchPatchTargets());
        }
    }

    LeaveBusyState();
    SetStatusText("");
    return result;
}

void CKelvaneDlg::ScanGameDir(const std::string& dir) {
    // Only this one child of the game directory is passed over, whatever the level.
    const std::string skippedKey = NameKey(m_strGameDir + "\\Tarrowmoor");
    fw::FileFind finder;
    bool working = finder.FindFile(dir + "\\*.*");
    while (working) {
        working = finder.FindNextFile();
        if (finder.IsDots()) {
            continue;
        }
        std::string path = finder.GetFilePath();
        if (NameKey(path) == skippedKey) {
            continue;
        }
        if (finder.IsDirectory()) {
            ScanGameDir(path);
            continue;
        }
        m_listGameFiles.push_back(GameFileEntry{std::move(path), finder.GetLength()});
    }
    finder.Close();
}

void CKelvaneDlg::BuildPatchTargets() {
    m_listPatchTargets = DistinctNames(m_listEngineListing, &NameKey);
}

uint64_t CKelvaneDlg::MatchPatchTargets() {
    m_listFilesToBackUp.clear();
    FileNameIndex index;
    IndexInventory(m_listGameFiles, &NameKey, &IsAnsiLeadByte, index);
    return MatchTargets(m_listPatchTargets, m_listGameFiles, index, &NameKey, m_strGameDir,
                        &IsAnsiLeadByte, m_listFilesToBackUp);
}

void CKelvaneDlg::EnterBusyState() {
    m_listDisabledControls.clear();
    for (const UINT id : kBusyControls) {
        if (IsItemEnabled(static_cast<int>(id))) {
            m_listDisabledControls.push_back(id);
            EnableItem(static_cast<int>(id), false);
        }
    }
    m_bBusy = TRUE;
    UpdateData(FALSE);
}

void CKelvaneDlg::LeaveBusyState() {
    for (const UINT id : m_listDisabledControls) {
        EnableItem(static_cast<int>(id), true);
    }
    m_bBusy = FALSE;
    UpdateData(FALSE);
}
