// Directory trees of the backup: the folders of a backup copy, and removing a whole
// (incomplete) backup.
#include "app/KelvaneDlg.h"
#include "environment/Environment.h"

#include "backup/logic/UndoScript.h"

BOOL CKelvaneDlg::MakeBackupPath(std::string path) {
    BOOL result = TRUE;
    // The search starts one character past the backup root, so the root and the folders
    // above it are never created; the file name itself is never taken for a folder.
    for (size_t separator : FolderSeparatorsFrom(path, m_strBackupDir.size() + 1, IsAnsiLeadByte)) {
        const std::string folder = path.substr(0, separator);
        result = ::CreateDirectoryA(folder.c_str(), nullptr);
    }
    return result;
}

BOOL CKelvaneDlg::DeleteDirectoryTree(std::string dir) {
    fw::FileFind finder;
    bool working = finder.FindFile(dir + "\\*.*");
    while (working) {
        working = finder.FindNextFile();
        if (finder.IsDots()) {
            continue;
        }
        const std::string path = finder.GetFilePath();
        if (finder.IsDirectory()) {
            if (!DeleteDirectoryTree(path)) {
                finder.Close();
                return FALSE;
            }
        } else {
            // Read-only, hidden and system files can be deleted once their attributes are reset.
            ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileA(path.c_str())) {
                finder.Close();
                return FALSE;
            }
        }
    }
    finder.Close();
    return ::RemoveDirectoryA(dir.c_str());
}
