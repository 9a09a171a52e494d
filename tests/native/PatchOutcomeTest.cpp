// The Patch command's space verdicts and outcome texts.
#include "app/logic/PatchOutcome.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

const std::string kTemp = " for temp files.\n Either select another drive or try to free up space.";
const std::string kBackup = " for backup files.\n Either select another drive or disable backup.";
const std::string kBoth = " for both backup and tempdir.\n Either split to separate drives or "
                          "deselect backup and try again.";
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(PatchSpace, TempDrive) {
    struct Row {
        bool queue;
        int64_t free, required;
        const char* dir;
        std::string error;
    };
    const Row rows[] = {
        {false, 2999, 3000, "C:\\Temp", "Not enough space on C:\\" + kTemp},
        {false, 3000, 3000, "C:\\Temp", ""},
        {false, 0, 0, "Q:\\", ""},
        {true, 0, 3000, "C:\\", ""}, // a queue is not measured
        {false, 0, 1, "e:\\x", "Not enough space on e:\\" + kTemp},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(TempSpaceError(r.queue, r.free, r.required, r.dir), r.error) << r.free;
    }
}

TEST(PatchSpace, BackupDrive) {
    struct Row {
        int64_t free, required;
        bool same;
        std::string error;
    };
    const Row rows[] = {
        {2999, 3000, false, "Not enough space on D:\\" + kBackup},
        {3000, 3000, false, ""},
        {2999, 3000, true, "Not enough space on D:\\" + kBackup}, // the plain check first
        {5999, 3000, true, "Not enough space on D:\\" + kBoth},
        {6000, 3000, true, ""},
        {kMax, kMax / 2 + 1, true, "Not enough space on D:\\" + kBoth}, // no overflow
        {kMax, kMax / 2, true, ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(BackupSpaceError(r.free, r.required, "D:\\Backups\\", r.same), r.error)
            << r.free << " " << r.required;
    }
}

TEST(PatchOutcome, Texts) {
    const std::string patched = "Patch successful!";
    const std::string patchFailed = "Patch failed, please see patch messagebox for details!";
    const std::string see = "Please see patch messagebox for possible errors!";
    const std::string okNote = "\nBackup is located in D:\\B\\undo_from_1.22.\nRun undo_patch.bat "
                               "to undo patching.";
    const std::string failNote = "\nBackup is located in D:\\B\\undo_from_1.22.\nYou might run "
                                 "undo_patch.bat if the patch process did not roll back "
                                 "automatically.\n You must manually delete the backup.";
    struct Row {
        bool ignore, validate, success, backup;
        std::string text;
    };
    const Row rows[] = {
        {false, false, true, false, patched},
        {false, false, false, false, patchFailed},
        {false, false, true, true, patched + okNote},
        {false, false, false, true, patchFailed + failNote},
        {false, true, true, false, "Validate successful!"},
        {false, true, false, false, "Validate failed, , please see patch messagebox for details!"},
        {true, false, true, false, see},
        {true, false, false, false, see},
        {true, false, true, true, see + okNote},
        {true, false, false, true, see + failNote},
        {true, true, true, false, see},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(PatchOutcomeText(r.ignore, r.validate, r.success,
                                   r.backup ? "D:\\B\\undo_from_1.22" : ""),
                  r.text)
            << r.ignore << r.validate << r.success << r.backup;
    }
}

} // namespace
