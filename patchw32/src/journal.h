// The commit journal. It lives in <game>/Tarrowmoor/.kelvane-journal, a folder that the
// tool's scan of the game directory never enters. It holds the plan of the commit, the
// verified new files ("n<id>"), the game files moved aside ("o<id>") and the "done" marker. Any run that finds it first finishes or undoes the interrupted commit.
#pragma once

#include "format.h"
#include "hash.h"
#include "paths.h"
#include "os.h"

#include <cstdint>
#include <functional>
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

struct Plan {
    std::vector<Step> steps;
    std::string work_folder; // where "<id>.new" of each new file waits (not journaled)
};

// The plan's size on disk: magic, count, steps of 33 bytes plus the path, checksum. The
// largest plan the engine ever writes (every entry of a patch at the limits a step) is the
// largest it reads.
constexpr uint64_t kPlanStepBytes = 33;
constexpr uint64_t kMaxPlanBytes =
    8 + 4 + uint64_t{kMaxEntries} * kPlanStepBytes + kMaxPatchPathBytes + 8;

enum class PlanState { Missing, Damaged, Ok };

// id 1 information, 2 warning, 3 error
using Say = std::function<void(int id, const std::string& text)>;

class Journal {
  public:
    explicit Journal(std::string game_dir);
    const std::string& dir() const { return dir_; }
    const std::string& game_dir() const { return game_; }
    // Takes the run lock of the game directory for the rest of the run (Busy: another run
    // holds it). Every run takes it before it looks at the journal.
    os::Status lock();
    // The first of the engine's own folders (the reserved top folder, the journal, the top
    // folder's temporary name and the journal in it, the work folder) that is a link,
    // junction or other reparse point; empty when there is none.
    std::string linked_own_folder() const;
    bool exists() const;
    // Why create() would fail for want of a place (the reserved top folder is a file); empty
    // when it would not.
    std::string unusable_reason() const;
    // Creates the folder (and the reserved top folder when missing).
    os::Status create();
    std::string staged(uint32_t id) const;
    std::string moved_old(uint32_t id) const;
    std::string game_path(const std::string& rel) const;

    os::Status write_plan(const Plan& p);
    PlanState read_plan(Plan& p) const;
    bool is_done() const;
    os::Status mark_done();
    // True when the journal holds game files moved aside (or cannot be listed).
    bool holds_moved_files() const;
    // Removes the journal folder and everything in it, then the reserved top folder when this
    // engine created it and it is empty. Game files moved aside are removed only when
    // `old_files_unneeded` (the commit is complete); otherwise their presence stops the
    // removal before anything is deleted. Returns false when something stayed behind.
    bool remove_all(std::string& why, bool old_files_unneeded = false);
    // Removes a half-made reserved folder left by an interrupted run.
    void remove_stale_top();
    // Records the run's work folder in the temp directory, so that a later run can remove it
    // should this one be killed.
    os::Status note_temp_folder(const std::string& path);
    void remove_noted_temp_folder();

  private:
    static bool is_moved_old_name(const std::string& name);
    std::string game_, top_, tmp_top_, dir_;
    os::Lock lock_;
};

// NotStarted: the new files or the plan could not be brought onto the game's drive for want
// of space; JournalFailed: the plan could not be written for another reason. In both no game
// file was touched and the journal is gone again.
enum class CommitOutcome { Committed, NotStarted, JournalFailed, RolledBack, RollbackFailed };

// Moves the verified files into place step by step. On any failure every change is undone.
CommitOutcome commit_plan(Journal& j, Plan& plan, const Say& say, std::string& failure);

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
