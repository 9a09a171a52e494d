// The patch engine: one run per command line, reporting through a Reporter.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace kv {

// Return codes of a run (FORMAT.md lists them for publishers).
enum Rc : int {
    kRcOk = 0,
    kRcUsage = 1,             // malformed command line or unknown switch
    kRcPatchUnreadable = 2,   // the patch file cannot be opened or read
    kRcPatchCorrupt = 3,      // not a patch, truncated, damaged or inconsistent
    kRcPatchUnsupported = 4,  // a newer format version, codec or flag
    kRcPatchHostile = 5,      // unsafe paths: nothing was touched
    kRcGameDir = 6,           // the game directory is missing or unusable
    kRcMismatch = 7,          // the installation is not the version this patch updates
    kRcTempDir = 8,           // the temp directory is unusable or full
    kRcRolledBack = 9,        // the commit failed and every change was undone
    kRcRollbackFailed = 10,   // the commit failed and the undo is unfinished (journal kept)
    kRcRecoveryFailed = 11,   // an interrupted run could not be finished or undone
    kRcInternal = 12,         // out of memory or another internal failure
    kRcBusy = 13,             // another run is working on the same game directory
    kRcRecoveryUnproven = 14, // an interrupted run left moved-aside game files that no readable
                              // plan accounts for; nothing was changed, the journal is kept
    kRcUntrusted = 15,        // not signed by the game's publisher key, or the signature is false
};

// The outcome of a run and of each of its stages: the engine's one convention for what ends a
// run. (Below it, OS calls report an os::Status and the reading of patch bytes a DecodeResult;
// the run turns those into an outcome.) A stage either lets the run go on (`next()`) or ends
// it (`end`, `fail`) with its return code, the error that ended it and the summary of the
// run, which the run shows in that order once it has cleaned up after itself; either text
// may be empty. What a stage reports while it works (each file that does not match, a
// warning) it has shown already.
class RunOutcome {
  public:
    static RunOutcome next() { return RunOutcome(); }
    static RunOutcome end(int rc, std::string summary = {}) {
        return RunOutcome(rc, {}, std::move(summary));
    }
    static RunOutcome fail(int rc, std::string error, std::string summary = {}) {
        return RunOutcome(rc, std::move(error), std::move(summary));
    }
    bool ends() const { return ends_; }
    int rc() const { return rc_; }
    const std::string& error() const { return error_; }
    const std::string& summary() const { return summary_; }

  private:
    RunOutcome() = default;
    RunOutcome(int rc, std::string error, std::string summary)
        : ends_(true), rc_(rc), error_(std::move(error)), summary_(std::move(summary)) {}
    bool ends_ = false;
    int rc_ = kRcOk;
    std::string error_, summary_;
};

// The ids of the caller's callback, passed on by the DLL as they are: texts first, then the
// progress, the file count and the file names.
enum class CallbackId : unsigned {
    Info = 1,
    Warning = 2,
    Error = 3,
    Summary = 4,   // the last text of a run that got as far as the patch
    Progress = 5,  // pointer to uint32 on 0..32768
    FileCount = 6, // pointer to uint32
    FileName = 7,  // relative path (apply, validate) or bare name (list)
};

class Reporter {
  public:
    virtual ~Reporter() = default;
    virtual void message(CallbackId id, const std::string& text) = 0;
    virtual void progress(uint32_t value) = 0;
    virtual void file_count(uint32_t n) = 0;
    virtual void file_name(const std::string& name) = 0;
};

int run_engine(const std::string& command_line, Reporter& reporter);

// Longest text the engine sends as Info, Warning, Error or Summary (the tool copies texts into
// 240 bytes).
constexpr size_t kMaxMessage = 239;

} // namespace kv
