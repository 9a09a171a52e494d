#include "app/logic/PatchOutcome.h"

#include <limits>

namespace {

// free < 2 * required, without overflowing for requirements near the limits.
bool LessThanTwice(int64_t freeBytes, int64_t required) {
    if (required > std::numeric_limits<int64_t>::max() / 2) {
        return true;
    }
    if (required < std::numeric_limits<int64_t>::min() / 2) {
        return false;
    }
    return freeBytes < 2 * required;
}

} // namespace

std::string TempSpaceError(bool useQueue, int64_t tempFree, int64_t required,
                           const std::string& tempDir) {
    if (useQueue || tempFree >= required) {
        return std::string();
    }
    return "Not enough space on " + tempDir.substr(0, 3) +
           " for temp files.\n Either select another drive or try to free up space.";
}

std::string BackupSpaceError(int64_t backupFree, int64_t required, const std::string& backupDir,
                             bool sameDrive) {
    if (backupFree < required) {
        return "Not enough space on " + backupDir.substr(0, 3) +
               " for backup files.\n Either select another drive or disable backup.";
    }
    if (sameDrive && LessThanTwice(backupFree, required)) {
        return "Not enough space on " + backupDir.substr(0, 3) +
               " for both backup and tempdir.\n Either split to separate drives or deselect "
               "backup and try again.";
    }
    return std::string();
}

std::string PatchOutcomeText(bool ignoreMissing, bool validateOnly, bool success,
                             const std::string& backupPath) {
    std::string text;
    if (ignoreMissing) {
        text = "Please see patch messagebox for possible errors!";
    } else if (validateOnly) {
        text = success ? "Validate successful!"
                       : "Validate failed, , please see patch messagebox for details!";
    } else {
        text = success ? "Patch successful!"
                       : "Patch failed, please see patch messagebox for details!";
    }
    if (!backupPath.empty()) {
        text += "\nBackup is located in " + backupPath;
        text += success ? ".\nRun undo_patch.bat to undo patching."
                        : ".\nYou might run undo_patch.bat if the patch process did not roll "
                          "back automatically.\n You must manually delete the backup.";
    }
    return text;
}
