// The commit journal. It lives in <game>/Tarrowmoor/.kelvane-journal, a folder that the
// tool's scan of the game directory never enters. Its commit folder "plan" holds the plan of
// the commit ("steps"), the verified new files ("n<id>"), the game files moved aside ("o<id>")
// and the "done" marker. Any run that finds it first finishes or undoes the interrupted commit.
//
// Work files are spread over bucket folders of kBucketSize consecutive ids ("b<id / 256>"):
// a system that matches names without regard to case (Windows, Wine) looks through a whole
// folder for each name that does not exist yet, so one folder holding every work file of a
// patch of thousands of files made each new name cost in proportion to the patch.
#pragma once

#include "engine.h"
#include "format.h"
#include "hash.h"
#include "paths.h"
#include "os.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kv {

enum class StepKind : uint8_t { Replace = 1, Add = 2, Delete = 3, MakeDir = 4, RemoveDir = 5 };

struct Step {
    StepKind kind = StepKind::Add;
    uint32_t id = 0;
    std::string rel; // '/'-separated path below the game directory
    uint64_t new_size = 0;
    Hash128 new_hash;
    uint32_t attrs = 0;
    // Folders this step creates: the deepest `made` folders of its path (the folder itself
    // counts for a folder step), none of which existed when the plan was made.
    uint16_t made = 0;
};

// The folders a step may create, as paths: its chain is its parent folders (and for a folder
// step the folder itself), from the top down; the last `made` of the chain are the commit's.
inline size_t chain_length(const Step& st) {
    return folder_depth(st.rel) + (st.kind == StepKind::MakeDir ? 1 : 0);
}
inline std::string chain_folder(const Step& st, size_t depth) { // depth 1 .. chain_length
    return leading_folders(st.rel, depth);
}

struct Plan {
    std::vector<Step> steps;
    std::string work_folder; // where "b<k>/n<id>" of each new file waits (not journaled)
};

// The plan's size on disk: magic, count, steps of 33 bytes plus the path, checksum. The
// largest plan the engine ever writes (every entry of a patch at the limits a step) is the
// largest it reads.
constexpr uint64_t kPlanStepBytes = 33;
constexpr uint64_t kMaxPlanBytes =
    8 + 4 + uint64_t{kMaxEntries} * kPlanStepBytes + kMaxPatchPathBytes + 8;

enum class PlanState { Missing, Damaged, Ok };

// The journal reports as Info, Warning or Error.
using Say = std::function<void(CallbackId id, const std::string& text)>;

inline constexpr uint32_t kBucketSize = 256;
// The name of the bucket folder of work file `id` ("b<id / 256>").
std::string bucket_name(uint32_t id);
// The bucket folder of work file `id` inside `folder`.
std::string bucket_folder(const std::string& folder, uint32_t id);
// Where the new file of entry `id` waits in the work folder: "b<k>/n<id>".
std::string work_file(const std::string& work_folder, uint32_t id);

class Journal {
  public:
    explicit Journal(std::string game_dir);
    const std::string& dir() const { return dir_; }
    const std::string& game_dir() const { return game_; }
    // Takes the run lock of the game directory for the rest of the run (Busy: another run
    // holds it). Every run takes it before it looks at the journal.
    os::Status lock();
    // The first of the engine's own folders (the reserved top folder, the journal, its bucket
    // folders, the top folder's temporary name and the journal in it, the work folder) that
    // is a link, junction or other reparse point; none when all are plain folders or missing.
    std::optional<std::string> linked_own_folder() const;
    bool exists() const;
    // Fails, saying why, where create() would fail for want of a place (the reserved top
    // folder is a file or a link).
    os::Status check_usable() const;
    // Creates the folder (and the reserved top folder when missing).
    os::Status create();
    std::string staged(uint32_t id) const;
    std::string moved_old(uint32_t id) const;
    // Creates the bucket folder of `id` in the journal unless this commit made it already.
    os::Status make_bucket(uint32_t id);
    // Makes the journal durable before the first game file changes: the entries of every
    // bucket this run made, of the commit folder (the plan), of the journal folder and of the
    // reserved folders above it.
    os::Status sync_before_steps();
    // From now on, what sync_folders() flushes at once is checked for write-back failures:
    // the journal's file system is watched through a handle of the commit folder opened now
    // (a failure is reported only to handles open when it happened).
    void watch_volume();
    // The entries of every bucket this run made, of the commit folder and of `folders`,
    // flushed side by side on up to kFlushThreads threads. Past a few folders, where the
    // system flushes a whole file system in one call and it is watched, those on the
    // journal's file system are made durable that way.
    static constexpr size_t kFewFolders = 8;
    static constexpr unsigned kFlushThreads = 16;
    os::Status sync_folders(std::vector<std::string> folders);
    // Called every 64 files that the commit or the removal of the work files handles, and
    // for every folder it flushes (a flush weighs `kFlushWeight` files), so that the caller
    // can keep its window alive meanwhile (these steps report nothing else).
    static constexpr unsigned kFlushWeight = 64;
    void set_tick(std::function<void()> tick) { tick_ = std::move(tick); }
    void tick(unsigned weight = 1) {
        const auto before = ticks_;
        ticks_ += weight;
        if (tick_ && before / 64 != ticks_ / 64)
            tick_();
    }
    std::string game_path(const std::string& rel) const;
    // The game folders the commit created so far (the steps in a new folder look for it once).
    std::set<std::string> made_folders;

    // Moves the run's work folder, whose bucket folders hold the new files as "n<id>", into
    // place as the commit folder: on the game's volume one rename brings every new file where
    // the commit takes it from. Fails, having moved nothing, where the folder cannot be moved
    // (CrossDevice: it is on another volume); fails with Link when what arrived holds a link.
    os::Status adopt_work_folder(const std::string& work);
    // Writes the plan into the commit folder (made when missing).
    os::Status write_plan(const Plan& p);
    // Reads the plan. A plan of the earlier layout (every work file directly in the journal
    // folder) makes staged() and moved_old() name the files where that layout left them.
    PlanState read_plan(Plan& p);
    bool is_done() const;
    os::Status mark_done();
    // True when the journal holds game files moved aside, directly or in a bucket folder (or
    // cannot be listed).
    bool holds_moved_files() const;
    // Removes the journal folder and everything in it, then the reserved top folder when this
    // engine created it and it is empty. Game files moved aside are removed only when
    // `old_files_unneeded` (the commit is complete); otherwise their presence stops the
    // removal before anything is deleted. Fails, saying why, when something stayed behind.
    os::Status remove_all(bool old_files_unneeded = false);
    // Removes a half-made reserved folder left by an interrupted run.
    void remove_stale_top();
    // Records the run's work folder in the temp directory, so that a later run can remove it
    // should this one be killed.
    os::Status note_temp_folder(const std::string& path);
    void remove_noted_temp_folder();

  private:
    static bool is_moved_old_name(const std::string& name);
    // Does the held folder, or a folder in it down to `depth` levels, hold a game file moved
    // aside? Also true when one of them cannot be listed.
    static bool holds_moved_old(const os::Folder& f, int depth);
    // The plan file of the layout in use.
    std::string plan_file() const;
    // base_: the folder of the plan, "done" and the bucket folders: the commit folder, or for
    // the earlier layouts the journal folder itself.
    std::string game_, top_, tmp_top_, dir_, base_;
    os::Lock lock_;
    os::Folder volume_; // the commit folder, watched for the journal's file system
    bool flat_ = false;
    bool made_top_ = false; // this run made the reserved folder: the game folder is flushed
    std::set<uint32_t> buckets_;
    std::function<void()> tick_;
    uint32_t ticks_ = 0;
};

// NotStarted: the new files or the plan could not be brought onto the game's drive for want
// of space; JournalFailed: the plan could not be written for another reason. In both no game
// file was touched and the journal is gone again.
enum class CommitOutcome { Committed, NotStarted, JournalFailed, RolledBack, RollbackFailed };

// How a commit ended, and what failed when it did not commit.
struct CommitResult {
    CommitOutcome outcome;
    std::string failure;
};

// Moves the verified files into place step by step. On any failure every change is undone.
CommitResult commit_plan(Journal& j, Plan& plan, const Say& say);

// Undoes whatever part of `plan` had been carried out. True when the game directory is
// back to its state before the commit.
bool roll_back(Journal& j, const Plan& plan, const Say& say);

// Unprovable: the journal holds game files moved aside but no readable plan says what they
// are; nothing was changed and the journal is kept.
enum class RecoveryOutcome { Nothing, RolledBack, RolledForward, Cleaned, Failed, Unprovable };

// Finishes or undoes an interrupted commit found in the game directory. The caller holds the
// run lock.
RecoveryOutcome recover(Journal& j, const Say& say);

} // namespace kv
