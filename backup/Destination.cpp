// The undo check box: choosing where the unpatched copies of the changed files go.
//
// Ticking the box asks for a backup root through the folder browser until the user picks
// a folder outside the game directory with room for the backup, or cancels. Clearing it
// forgets the choice. A chosen destination excludes validate-only and the patch queue.
#include "app/KelvaneDlg.h"

#include "backup/logic/BackupFolderName.h"
#include "environment/Environment.h"

namespace {

// Equal without regard to case, as the ANSI code page defines its characters (the file
// system's case rules, not a language's).
bool SameTextNoCase(const std::string& a, const std::string& b) {
    return ::CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.data(),
                            static_cast<int>(a.size()), b.data(),
                            static_cast<int>(b.size())) == CSTR_EQUAL;
}

// A folder whose path starts with the game directory's text: the game directory itself,
// any folder below it, and any sibling whose name merely begins with the same text.
bool StartsWithGameDir(const std::string& folder, const std::string& gameDir) {
    if (folder.size() < gameDir.size()) {
        return false;
    }
    return SameTextNoCase(folder.substr(0, gameDir.size()), gameDir);
}

// Two paths on the same drive: their first three characters (C:\) agree. A cancelled
// browser's empty answer lies on no drive at all.
bool SameDrive(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) {
        return false;
    }
    return SameTextNoCase(a.substr(0, 3), b.substr(0, 3));
}

// free >= times x required, without overflowing for huge requirements.
bool HasRoom(int64_t freeBytes, int64_t required, int times) {
    for (int i = 0; i < times; ++i) {
        if (freeBytes < required) {
            return false;
        }
        freeBytes -= required > 0 ? required : 0;
    }
    return true;
}

const char kNoRoom[] =
    "Not enough room to backup on this drive, select another or press cancel to skip backup.";

} // namespace

void CKelvaneDlg::ClearUndo() {
    m_ctrlEnableUndo.SetCheck(BST_UNCHECKED);
    m_bUndo = FALSE;
    m_strBackupDir.clear();
    m_strBackupFolder.clear();
    EnableItem(IDC_BACKUP_LABEL, false);
    SetItemText(IDC_BACKUP_LABEL, "");
    EnableItem(IDC_VALIDATE_ONLY, true);
    if (m_ctrlIgnoreMissing.GetCheck() == BST_UNCHECKED) {
        EnableItem(IDC_USE_QUEUE, true);
    }
}

void CKelvaneDlg::OnEnableUndo() {
    if (m_ctrlEnableUndo.GetCheck() == BST_UNCHECKED) {
        ClearUndo();
        UpdateData(FALSE);
        return;
    }

    const std::string prompt = "Please select a backup destination with min. " +
                               FormatSize(m_llRequiredSpace) +
                               " free space and press 'OK' (Do NOT choose your Tarrow directory).";
    m_strBackupDir = BrowseForFolder(m_hWnd, prompt);
    for (;;) {
        // Folders inside the game directory are refused without a word: the browser
        // reopens. Without a known game directory every answer would match, cancel
        // included, so the test is skipped then.
        if (!m_strGameDir.empty()) {
            while (StartsWithGameDir(m_strBackupDir, m_strGameDir)) {
                m_strBackupDir = BrowseForFolder(m_hWnd, prompt);
            }
        }
        if (m_strBackupDir.empty()) {
            break; // cancelled: no backup
        }
        // On the temp directory's drive the temp files and the backup need room together;
        // the destination itself needs room for one copy of the changed files. A drive
        // whose free space cannot be read counts as full.
        const bool roomBesideTemp = !SameDrive(m_strTempDir, m_strBackupDir) ||
                                    HasRoom(GetFreeBytes(m_strTempDir), m_llRequiredSpace, 2);
        if (roomBesideTemp && HasRoom(GetFreeBytes(m_strBackupDir), m_llRequiredSpace, 1)) {
            break;
        }
        // Every new answer goes through all the tests again, the game directory's included.
        m_strBackupDir.clear();
        MessageBox(kNoRoom, "Error", MB_ICONWARNING | MB_OK);
        m_strBackupDir = BrowseForFolder(m_hWnd, prompt);
    }

    if (!m_strBackupDir.empty()) {
        m_ctrlEnableUndo.SetCheck(BST_CHECKED);
        // A drive root keeps its one backslash; any other folder gets one. The check is
        // made on characters, so a double-byte character ending in 0x5C is no separator.
        if (!FileNameOf(m_strBackupDir).empty()) {
            m_strBackupDir += '\\';
        }
        m_strBackupFolder = BackupFolderName(m_strPatchFile, &IsAnsiLeadByte);
        m_bUndo = TRUE;
        EnableItem(IDC_BACKUP_LABEL, true);
        SetItemText(IDC_BACKUP_LABEL, "Backing up to: " + m_strBackupDir + m_strBackupFolder);
        EnableItem(IDC_VALIDATE_ONLY, false);
        EnableItem(IDC_USE_QUEUE, false);
        EnableItem(IDC_CLEAR_QUEUE, false);
        m_listQueue.clear();
        m_bUseQueue = FALSE;
    } else {
        m_ctrlEnableUndo.SetCheck(BST_UNCHECKED);
        m_bUndo = FALSE;
        m_strBackupDir.clear();
        EnableItem(IDC_BACKUP_LABEL, false);
        SetItemText(IDC_BACKUP_LABEL, "");
    }
    UpdateData(FALSE);
}
