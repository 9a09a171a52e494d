// The backup before a patch run: copies of every file that the patch changes, and the
// undo pair undo_patch.bat / undo_patch.reg that restores them and the recorded version.
#include "app/KelvaneDlg.h"

#include "backup/logic/UndoScript.h"
#include "environment/Environment.h"

int CKelvaneDlg::PerformBackup() {
    const std::string backupDir = m_strBackupDir + m_strBackupFolder;
    const auto error = [this](const std::string& text) {
        MessageBox(text, "Error", MB_ICONERROR | MB_OK);
    };

    // 1. A fresh backup directory; its parent is the root the user chose.
    if (!::CreateDirectoryA(backupDir.c_str(), nullptr)) {
        if (::GetLastError() == ERROR_ALREADY_EXISTS) {
            error("Directory: " + backupDir + " already exist.\nUnable to perform backup!.");
        } else {
            error("Unable to create directory: " + backupDir + ".\nUnable to perform backup!.");
        }
        return BackupNoDirectory;
    }

    // 2. The version that the undo files put back.
    const UndoVersion version = ChooseUndoVersion(ReadRegistryVersion(), m_strGameVersion);

    // A write or a close that fails (a full disk) leaves an undo file that cannot be
    // trusted: the backup as a whole has failed.
    const auto writeFailed = [&error](const std::string& path) {
        error("Unable to write file: " + path + " . Unable to proceed.");
    };

    // 3. undo_patch.reg, in three writes.
    if (version.available) {
        const std::string regPath = backupDir + "\\" + kUndoRegName;
        fw::File reg;
        if (!reg.OpenForWrite(regPath)) {
            error("Unable to create file: " + regPath + " . Unable to proceed.");
            return BackupFailed;
        }
        bool written = true;
        for (const std::string& chunk : UndoRegChunks(version.text)) {
            written = written && reg.Write(chunk);
        }
        if (!reg.Close() || !written) {
            writeFailed(regPath);
            return BackupFailed;
        }
    }

    // 4. undo_patch.bat; each line goes to it the moment it is composed.
    const std::string batPath = backupDir + "\\" + kUndoBatName;
    fw::File bat;
    if (!bat.OpenForWrite(batPath)) {
        error("Unable to save file");
        return BackupFailed;
    }
    const auto failScript = [&]() {
        writeFailed(batPath);
        bat.Close();
        m_ctrlProgressTotal.SetPos(0);
        return BackupFailed;
    };

    // 5. The header; the total bar counts every entry of the list.
    const int count = static_cast<int>(m_listFilesToBackUp.size());
    if (!bat.Write(kUndoBatTitle) || !bat.Write(kUndoBatChangeDir)) {
        return failScript();
    }
    // An empty list would give the range 0 .. -1; the bar then simply stays empty.
    m_ctrlProgressTotal.SetRange32(0, count > 0 ? count - 1 : 0);
    m_ctrlProgressTotal.SetStep(1);
    if (!bat.Write(kUndoBatRemovalsTitle)) {
        return failScript();
    }

    // 6. Files that the patch adds are deleted first.
    for (const std::string& entry : m_listFilesToBackUp) {
        if (IsRemovalEntry(entry) &&
            !bat.Write(RemovalScriptLine(entry, m_strGameDir, IsAnsiLeadByte))) {
            return failScript();
        }
    }

    // 7-8. Every modified file is copied; its copy line follows only a successful copy.
    if (!bat.Write(kUndoBatCopiesTitle)) {
        return failScript();
    }
    for (const std::string& entry : m_listFilesToBackUp) {
        if (IsRemovalEntry(entry)) {
            continue;
        }
        const std::string relativePath = RelativePathOf(entry, m_strGameDir.size());
        const std::string copyPath = BackupCopyPathOf(backupDir, relativePath);
        MakeBackupPath(copyPath);
        const std::string copyLine = CopyScriptLine(relativePath, entry, IsAnsiLeadByte);
        if (!::CopyFileA(entry.c_str(), copyPath.c_str(), FALSE)) {
            error("Unable to copy file: " + entry + " to " + copyPath + ". Unable to proceed.");
            bat.Close();
            m_ctrlProgressTotal.SetPos(0);
            return BackupFailed;
        }
        m_ctrlProgressTotal.StepIt();
        if (!bat.Write(copyLine)) {
            return failScript();
        }
    }

    // 9. The recorded version goes back last.
    if (version.available) {
        if (!bat.Write(kUndoBatVersionTitle) ||
            (version.fromFallback && !bat.Write(kUndoBatFallbackNote)) ||
            !bat.Write(RegeditScriptLine(backupDir))) {
            return failScript();
        }
    }

    // 10.
    if (!bat.Close()) {
        m_ctrlProgressTotal.SetPos(0);
        writeFailed(batPath);
        return BackupFailed;
    }
    m_ctrlProgressTotal.SetPos(0);
    return BackupDone;
}
