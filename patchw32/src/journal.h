// The commit journal. It lives in <game>/Tarrowmoor/.kelvane-journal, a folder that the
// tool's scan of the game directory never enters. It holds the run lock, the plan of the
// commit, the verified new files ("n<id>"), the game files moved aside ("o<id>") and the
// "done" marker. Any run that finds it first finishes or undoes the interrupted commit.
//
// Work files are spread over bucket folders of kBucketSize consecutive ids ("b<id / 256>"):
// a system that matches names without regard to case (Windows, Wine) looks through a whole
// folder for each name that does not exist yet, so one folder holding every work file of a
// patch of thousands of files made each new name cost in proportion to the patch.
#pragma once

#include "hash.h"
#include "os.h"

#include <cstdint>
#include <functional>
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
    std::string temp_path; // where the verified new file waits (not journaled)
};

struct Plan {
    std::vector<Step> steps;
    std::vector<std::string> created_dirs; // folders the commit creates, parents first
};

// id 1 information, 2 warning, 3 error
using Say = std::function<void(int id, const std::string& text)>;

inline constexpr uint32_t kBucketSize = 256;
// The bucket folder of work file `id` inside `folder`.
std::string bucket_folder(const std::string& folder, uint32_t id);

class Journal {
  public:
    explicit Journal(std::string game_dir);
    const std::string& dir() const { return dir_; }
    const std::string& game_dir() const { return game_; }
    bool exists() const;
    // Creates the folder (and the reserved top folder when missing) and takes the lock.
    os::Status create();
    // Takes the lock of an existing journal.
    os::Status lock();
    std::string staged(uint32_t id) const;
    std::string moved_old(uint32_t id) const;
    // Creates the bucket folder of `id` unless this run made it already.
    os::Status make_bucket(uint32_t id);
    // Makes the entries of every bucket this run made, and of the journal folder, durable.
    os::Status sync_buckets();
    // Called every 64 files that the commit or the removal of the work files handles, so
    // that the caller can keep its window alive meanwhile (these steps report nothing else).
    void set_tick(std::function<void()> tick) { tick_ = std::move(tick); }
    void tick() {
        if (tick_ && ++ticks_ % 64 == 0)
            tick_();
    }
    std::string game_path(const std::string& rel) const;

    os::Status write_plan(const Plan& p);
    // Reads the plan; a plan of the earlier layout (every work file directly in the journal
    // folder) makes staged() and moved_old() name the files where that layout left them.
    bool read_plan(Plan& p);
    bool is_done() const;
    os::Status mark_done();
    // Removes the journal folder and everything in it, then the reserved top folder when this
    // engine created it and it is empty. Returns false when something stayed behind.
    bool remove_all(std::string& why);
    // Removes a half-made reserved folder left by an interrupted run.
    void remove_stale_top();
    // Records the run's work folder in the temp directory, so that a later run can remove it
    // should this one be killed.
    os::Status note_temp_folder(const std::string& path);
    void remove_noted_temp_folder();

  private:
    std::string game_, top_, tmp_top_, dir_;
    os::Lock lock_;
    bool flat_ = false;
    std::set<uint32_t> buckets_;
    std::function<void()> tick_;
    uint32_t ticks_ = 0;
};

// NotStarted: the new files could not be brought onto the game's drive; no game file was
// touched and the journal is gone again.
enum class CommitOutcome { Committed, NotStarted, RolledBack, RollbackFailed };

// Moves the verified files into place step by step. On any failure every change is undone.
CommitOutcome commit_plan(Journal& j, Plan& plan, const Say& say, std::string& failure);

// Undoes whatever part of `plan` had been carried out. True when the game directory is
// back to its state before the commit.
bool roll_back(Journal& j, const Plan& plan, const Say& say);

enum class RecoveryOutcome { Nothing, RolledBack, RolledForward, Cleaned, Failed, Busy };

// Finishes or undoes an interrupted commit found in the game directory.
RecoveryOutcome recover(Journal& j, const Say& say);

} // namespace kv
