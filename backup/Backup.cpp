// The backup before a patch run: copies of every file that the patch changes, and the
// undo pair undo_patch.bat / undo_patch.reg that restores them and the recorded version.
// The script removes what the patch added by full path only; files the engine named by a
// bare file name are pinned after the run, as those of that name the game did not hold.
#include "app/KelvaneDlg.h"

#include "environment/Environment.h"

namespace {

// Every failure of the backup: the error box, then the result the caller returns.
int Fail(CKelvaneDlg& dlg, int result, const std::string& text) {
    dlg.MessageBox(text, "Error", MB_ICONERROR | MB_OK);
    return result;
}

std::string UnableToWrite(const std::string& path) {
    return "Unable to write file: " + path + " . Unable to proceed.";
}

// Calls visit(path, isFolder) for every file and folder below dir, parents first. A link
// to another place is seen but not entered; the engine's own folder (skipped) is neither.
template <class Visit>
void WalkTree(const std::string& dir, const std::string& skippedKey, const Visit& visit) {
    fw::FileFind finder;
    bool working = finder.FindFile(dir + "\\*.*");
    while (working) {
        working = finder.FindNextFile();
        const std::string path = finder.GetFilePath();
        if (finder.IsDots() || NameKey(path) == skippedKey) {
            continue;
        }
        visit(path, finder.IsDirectory());
        if (finder.IsDirectory() && (finder.GetAttributes() & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            WalkTree(path, skippedKey, visit);
        }
    }
}

template <class Visit> void WalkGame(const std::string& gameDir, const Visit& visit) {
    WalkTree(gameDir, NameKey(gameDir + "\\Tarrowmoor"), visit);
}

// cmd reads a batch file in the console's (OEM) code page. The script is written in it when
// every character has its own place there; otherwise it stays in the ANSI code page and
// first switches the console to that.
std::string ScriptBytes(UndoPlan plan) {
    plan.codePage = 0;
    const std::string ansi = ComposeUndoBat(plan, &IsAnsiLeadByte);
    if (::GetACP() == ::GetOEMCP()) {
        return ansi;
    }
    const int length = static_cast<int>(ansi.size());
    const int count =
        ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, nullptr, 0);
    if (count > 0) {
        std::wstring wide(static_cast<size_t>(count), L'\0');
        ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), length, wide.data(),
                              count);
        BOOL lost = FALSE;
        const int bytes = ::WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide.data(), count,
                                                nullptr, 0, nullptr, &lost);
        if (bytes > 0 && !lost) {
            std::string oem(static_cast<size_t>(bytes), '\0');
            ::WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide.data(), count, oem.data(),
                                  bytes, nullptr, nullptr);
            return oem;
        }
    }
    plan.codePage = ::GetACP();
    return ComposeUndoBat(plan, &IsAnsiLeadByte);
}

// What the game directory holds before the run, as far as the undo needs it, and the
// folders that the files pinned by their path will be the first to occupy.
void RecordGameBeforeRun(UndoRecord& undo, const TextList& targets, const TextList& entries) {
    for (const std::string& target : targets) {
        if (FileNameOf(target) == target) {
            undo.bareNames.insert(NameKey(target));
        }
    }
    WalkGame(undo.plan.gameDir, [&undo](const std::string& path, bool isFolder) {
        if (isFolder) {
            undo.foldersBefore.insert(NameKey(path));
        } else if (undo.bareNames.count(NameKey(FileNameOf(path))) != 0) {
            undo.filesBefore.insert(NameKey(path));
        }
    });
    for (const std::string& entry : entries) {
        const std::string name = PinnedRemovalName(entry, undo.plan.gameDir, &IsAnsiLeadByte);
        if (!name.empty() && IsPlainAddedFileName(name, &IsAnsiLeadByte)) {
            const std::string file = undo.plan.gameDir + "\\" + name;
            NoteCreatedFolders(undo.plan, file, undo.foldersBefore, &NameKey, &IsAnsiLeadByte);
            undo.filesBefore.insert(NameKey(file)); // its removal is written already
        }
    }
}

int WriteUndoReg(CKelvaneDlg& dlg, const UndoPlan& plan) {
    if (!plan.version.available) {
        return BackupDone;
    }
    const std::string path = plan.backupDir + "\\" + kUndoRegName;
    fw::File reg;
    if (!reg.OpenForWrite(path)) {
        return Fail(dlg, BackupFailed, "Unable to create file: " + path + " . Unable to proceed.");
    }
    const bool written = reg.Write(UndoRegText(plan.version.text, &IsAnsiLeadByte));
    if (!reg.Close() || !written) {
        return Fail(dlg, BackupFailed, UnableToWrite(path));
    }
    return BackupDone;
}

// Copies every modified file and writes the script. After a failed copy the script lists
// the removals and exactly the copies made so far.
int CopyFilesAndWriteScript(CKelvaneDlg& dlg, UndoPlan& plan) {
    const std::string batPath = plan.backupDir + "\\" + kUndoBatName;
    fw::File bat;
    if (!bat.OpenForWrite(batPath)) {
        return Fail(dlg, BackupFailed, "Unable to save file");
    }
    const TextList& list = dlg.m_listFilesToBackUp;
    const int count = static_cast<int>(list.size());
    // An empty list would give the range 0 .. -1; the bar then simply stays empty.
    dlg.m_ctrlProgressTotal.SetRange32(0, count > 0 ? count - 1 : 0);
    dlg.m_ctrlProgressTotal.SetStep(1);

    std::string failure;
    for (const std::string& entry : list) {
        // A file that is there before the run (in a folder the inventory passes over, or
        // made since the inventory was taken) is not the patch's to remove.
        const std::string name = PinnedRemovalName(entry, plan.gameDir, &IsAnsiLeadByte);
        if (IsRemovalEntry(entry) &&
            (name.empty() || ::GetFileAttributesA((plan.gameDir + "\\" + name).c_str()) ==
                                 INVALID_FILE_ATTRIBUTES)) {
            plan.entries.push_back(entry);
        }
    }
    for (const std::string& entry : list) {
        if (IsRemovalEntry(entry)) {
            continue;
        }
        const std::string copyPath =
            BackupCopyPathOf(plan.backupDir, RelativePathOf(entry, plan.gameDir.size()));
        dlg.MakeBackupPath(copyPath);
        if (!::CopyFileA(entry.c_str(), copyPath.c_str(), FALSE)) {
            failure = "Unable to copy file: " + entry + " to " + copyPath + ". Unable to proceed.";
            plan.version.available = false;
            break;
        }
        dlg.m_ctrlProgressTotal.StepIt();
        plan.entries.push_back(entry);
    }
    const bool written = bat.Write(ScriptBytes(plan));
    const bool closed = bat.Close();
    dlg.m_ctrlProgressTotal.SetPos(0);
    if (!failure.empty()) {
        return Fail(dlg, BackupFailed, failure);
    }
    if (!written || !closed) {
        return Fail(dlg, BackupFailed, UnableToWrite(batPath));
    }
    return BackupDone;
}

} // namespace

int CKelvaneDlg::PerformBackup() {
    m_undoRecord = UndoRecord{};
    UndoPlan& plan = m_undoRecord.plan;
    plan.gameDir = m_strGameDir;
    plan.backupDir = m_strBackupDir + m_strBackupFolder;

    // A fresh backup directory; its parent is the root the user chose.
    if (!::CreateDirectoryA(plan.backupDir.c_str(), nullptr)) {
        return Fail(*this, BackupNoDirectory,
                    ::GetLastError() == ERROR_ALREADY_EXISTS
                        ? "Directory: " + plan.backupDir +
                              " already exist.\nUnable to perform backup!."
                        : "Unable to create directory: " + plan.backupDir +
                              ".\nUnable to perform backup!.");
    }
    plan.version = ChooseUndoVersion(ReadRegistryVersion(), m_strGameVersion);
    RecordGameBeforeRun(m_undoRecord, m_listPatchTargets, m_listFilesToBackUp);

    int result = WriteUndoReg(*this, plan);
    if (result == BackupDone) {
        result = CopyFilesAndWriteScript(*this, plan);
    }
    m_undoRecord.pending = result == BackupDone;
    return result;
}

void CKelvaneDlg::CompleteUndoScript() {
    UndoRecord& undo = m_undoRecord;
    if (!undo.pending) {
        return;
    }
    undo.pending = false;
    const size_t foldersKnown = undo.plan.createdFolders.size();
    WalkGame(undo.plan.gameDir, [&undo](const std::string& path, bool isFolder) {
        const std::string key = NameKey(path);
        if (isFolder) {
            // A folder the run made and left empty goes too; the files in one are noted below.
            if (undo.foldersBefore.count(key) == 0) {
                NoteCreatedFolders(undo.plan, path + "\\", undo.foldersBefore, &NameKey,
                                   &IsAnsiLeadByte);
            }
        } else if (undo.bareNames.count(NameKey(FileNameOf(path))) != 0 &&
                   undo.filesBefore.count(key) == 0) {
            undo.plan.addedFiles.push_back(path);
            NoteCreatedFolders(undo.plan, path, undo.foldersBefore, &NameKey, &IsAnsiLeadByte);
        }
    });
    const UndoPlan plan = std::move(undo.plan);
    undo = UndoRecord{};
    if (plan.addedFiles.empty() && plan.createdFolders.size() == foldersKnown) {
        return;
    }
    // The finished script takes the place of the first one in one step.
    const std::string batPath = plan.backupDir + "\\" + kUndoBatName;
    const std::string newPath = batPath + ".new";
    fw::File bat;
    const bool written = bat.OpenForWrite(newPath) && bat.Write(ScriptBytes(plan));
    if (!bat.Close() || !written ||
        !::MoveFileExA(newPath.c_str(), batPath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileA(newPath.c_str());
        Fail(*this, 0,
             "Unable to write file: " + batPath +
                 " . It does not remove the files that the patch added.");
    }
}
