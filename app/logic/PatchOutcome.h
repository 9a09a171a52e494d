// What the Patch command decides without windows: whether the chosen drives have room,
// and the text of the box that reports how the run ended.
#pragma once

#include <cstdint>
#include <string>

// The error box text when the temp drive is too small for a single patch's work files, or
// "" when it has room. A queue's patches are not measured: a queue always passes.
std::string TempSpaceError(bool useQueue, int64_t tempFree, int64_t required,
                           const std::string& tempDir);

// The error box text when the backup drive is too small, or "" when it has room. When the
// backup shares the temp directory's drive (`sameDrive`) it must hold both copies.
std::string BackupSpaceError(int64_t backupFree, int64_t required, const std::string& backupDir,
                             bool sameDrive);

// The outcome box text. `backupPath` names the finished backup; "" adds no backup note.
std::string PatchOutcomeText(bool ignoreMissing, bool validateOnly, bool success,
                             const std::string& backupPath);
