#include "engine.h"

#include "cmdline.h"
#include "codec.h"
#include "crossfile.h"
#include "flusher.h"
#include "format.h"
#include "journal.h"
#include "os.h"
#include "paths.h"
#include "signature.h"

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <unordered_map>

namespace kv {

namespace {

enum class FileState { Ready, Done, Missing, Differs, Unsafe };

// What the check of one entry found in the game directory, with why when the entry cannot be
// carried out as it stands.
struct Finding {
    FileState state;
    std::string why;
};

// Forwards to a file and remembers whether the file refused the data.
// Writes to the work file when there is one (not when validating), and keeps a copy of the
// bytes when a later entry reads them.
class TrackingSink : public Sink {
  public:
    TrackingSink(os::File* f, std::vector<uint8_t>* keep) : f_(f), keep_(keep) {}
    os::Status write(const void* data, size_t n) override {
        if (keep_) {
            const auto* p = static_cast<const uint8_t*>(data);
            keep_->insert(keep_->end(), p, p + n);
        }
        os::Status s = f_ ? f_->write(data, n) : os::Status::success();
        if (!s)
            failed = true;
        return s;
    }
    bool failed = false;

  private:
    os::File* f_;
    std::vector<uint8_t>* keep_;
};

// Progress of the current file on 0..32768, sent when it moved by 1/128 or more.
class FileProgress {
  public:
    FileProgress(Reporter& r, uint64_t total) : rep_(r), total_(total) { send(0); }
    void at(uint64_t done) {
        uint32_t v =
            total_ ? static_cast<uint32_t>((static_cast<double>(base_ + done) / total_) * 32768.0)
                   : 0;
        if (v > 32768)
            v = 32768;
        if (v >= last_ + 256)
            send(v);
    }
    void advance(uint64_t n) { base_ += n; }
    void finish() {
        if (last_ != 32768)
            send(32768);
    }

  private:
    void send(uint32_t v) {
        last_ = v;
        rep_.progress(v);
    }
    Reporter& rep_;
    uint64_t total_;
    uint64_t base_ = 0;
    uint32_t last_ = 0;
};

// Every text is shown with its control characters made visible, so that a name from a patch
// can neither cut a message short nor start a line of its own.
std::string clip(const std::string& s) {
    return printable(s, kMaxMessage);
}

std::string file_name_of(const std::string& path) {
    size_t p = path.find_last_of(os::separator() == '\\' ? "\\/:" : "/");
    return p == std::string::npos ? path : path.substr(p + 1);
}

// "The game directory "C:\Games" does not exist or is not a folder."
std::string not_a_folder(const char* what, const std::string& path) {
    return std::string("The ") + what + " \"" + path + "\" does not exist or is not a folder.";
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The summaries of a run that changed nothing, named once.
constexpr const char* kNotApplied = "The patch was not applied; nothing was changed.";
constexpr const char* kValidationFailed = "Validation failed.";

// What the check of the game directory found, counted over the entries.
struct Tally {
    uint64_t ready = 0;       // entries to carry out, files and folders
    uint64_t ready_files = 0; // of those, files
    uint64_t done = 0;        // files already as the patch makes them
    uint64_t skipped = 0;     // files passed over by "-i"
    uint64_t problems = 0;    // entries that stop the patch
    uint64_t unsafe = 0;      // of those, paths through a link
};

// What the commit changes, for the summary.
struct Changes {
    uint64_t updated = 0, added = 0, deleted = 0;
};

// The largest old file kept in memory for its decoding: the 32-bit engine keeps its whole apply
// within 64 MB.
constexpr uint64_t kKeptOldBytes = sizeof(void*) >= 8 ? 64ull << 20 : 1u << 20;
constexpr uint64_t kAlwaysKeptOldBytes = 1u << 20;
// The largest new file decoded into memory and written on a thread of its own (Flusher).
constexpr uint64_t kHeldNewFileBytes = 64u << 10;

// One run of the engine, in stages: start-up and recovery, open and prepare, produce the new
// files, decide the outcome, build the plan, commit and report. Each stage returns the run's
// outcome, which either lets the run go on or ends it.
class Run {
  public:
    explicit Run(Reporter& r) : rep_(r) {}
    int execute(const std::string& line);

  private:
    void say(CallbackId id, const std::string& text) {
        if (!quiet_ && !text.empty())
            rep_.message(id, clip(text));
    }
    std::string game_path(const std::string& rel) const { return os::join(game_, to_native(rel)); }
    std::optional<Finding> unsafe_ancestor(const std::string& rel, bool* parent_missing = nullptr);
    Finding classify(const Entry& e, FileProgress* prog, os::File* old_file = nullptr);
    Finding open_entry_source(const Entry& e);
    Finding open_new_source(const Entry& e);
    void keep_source(const Entry& e);
    void release_source(const Entry& e);

    // The stages, in the order they run.
    RunOutcome start_up(const std::string& line);
    RunOutcome open_and_prepare();
    RunOutcome produce_new_files();
    RunOutcome decide_outcome();
    Plan build_plan(Changes& changes);
    RunOutcome commit_and_report(Plan& plan, const Changes& changes);
    int finish(const RunOutcome& outcome);

    // Parts of the stages.
    RunOutcome recover_interrupted_run();
    RunOutcome open_journal();
    RunOutcome prepare_work_dir();
    RunOutcome make_temp_work_dir(const std::string& temp_dir);
    os::Status make_work_bucket(uint32_t id);
    RunOutcome check_trust();
    void check_folder(size_t i);
    void check_file(size_t i, FileProgress& prog);
    void produce_file(size_t i, FileProgress& prog);
    uint64_t held_memory(const Entry& e);
    DecodeResult decode_new_file(const Entry& e, os::File* old_file, TrackingSink& sink,
                                 FileProgress& prog);
    uint16_t missing_folders(const Step& st, std::map<std::string, bool>& known) const;
    void report_decode_failure(const Entry& e, const DecodeResult& r, bool write_failed);
    void flush_new_files();
    std::string write_failure(os::ErrKind kind, const std::string& text) const;
    std::string refused(const std::string& why) const;
    std::string tail() const;
    void cleanup();

    Reporter& rep_;
    bool quiet_ = false;
    CommandLine cl_;
    bool validate_ = false;
    std::string game_;
    Patch patch_;
    std::unique_ptr<Journal> journal_;
    bool journal_created_ = false; // removed at the end of the run unless kept
    std::string work_;
    bool work_is_ours_ = false;
    os::Folder work_folder_; // held while the run works in it
    // The bucket folders this run made in the work folder, by bucket number, each held while
    // the run works in it.
    std::map<uint32_t, os::Folder> work_buckets_;
    std::vector<uint32_t> temp_files_; // entries whose "b<k>/n<i>" is in the work folder
    // Folders of the game directory looked at while the new files are made: a plain folder
    // (true) or missing (false); about `folder_bytes_` bytes, at most kKeptFolderBytes.
    static constexpr size_t kKeptFolderBytes = 1u << 20;
    std::unordered_map<std::string, bool> folders_;
    size_t folder_bytes_ = 0;
    std::vector<FileState> states_; // by entry
    Tally tally_;
    int fatal_ = kRcOk; // a failure that stops producing the new files
    // New files are flushed to disk side by side while the next ones are decoded.
    Flusher flusher_;
    os::File source_; // the checked source of the entry being produced, when it has one
    // By entry, the last entry that reads its new file (Entry::kNoEntry: none); the new files
    // that later entries read, kept from their decode until that entry is done.
    std::vector<uint32_t> last_reader_;
    std::map<size_t, std::shared_ptr<const std::vector<uint8_t>>> kept_;
    // Old files that several entries are built from: by path, how many entries are still to
    // read each, and those kept in memory (keep_source), at most kKeptSourceBytes together.
    static constexpr uint64_t kKeptSourceBytes = sizeof(void*) >= 8 ? 16u << 20 : 1u << 20;
    std::unordered_map<std::string, uint32_t> source_uses_;
    struct KeptSource {
        std::shared_ptr<const std::vector<uint8_t>> bytes;
        Hash128 hash;
    };
    std::unordered_map<std::string, KeptSource> sources_;
    uint64_t kept_source_bytes_ = 0;
    uint64_t directory_bytes_ = 0; // about what the directory takes in memory
    // The game file of the entry being produced, found ready and kept open for its decoding.
    os::File old_;
};

// Parent folders that are links or files. The game directory does not change while the new
// files are made, so each folder is looked at once (entries come sorted, but those built from
// another old file look at that file's folders in between); the folders kept are forgotten
// past a bound, for a patch of deep trees would otherwise keep every folder of every path.
// `parent_missing`: a folder of the path does not exist, so neither does the path.
std::optional<Finding> Run::unsafe_ancestor(const std::string& rel, bool* parent_missing) {
    for (size_t d = 1; d <= folder_depth(rel); ++d) {
        std::string sofar = leading_folders(rel, d);
        auto it = folders_.find(sofar);
        if (it == folders_.end()) {
            os::Stat st;
            os::Status s = os::stat(game_path(sofar), st);
            if (st.is_link)
                return Finding{FileState::Unsafe,
                               "the folder " + shown(sofar) + " is a link to another place"};
            if (st.exists && !st.is_dir)
                return Finding{FileState::Differs, shown(sofar) + " is a file, not a folder"};
            if (!s)
                break; // cannot be told; the path's own look says why
            if (folder_bytes_ > kKeptFolderBytes) {
                folders_.clear();
                folder_bytes_ = 0;
            }
            folder_bytes_ += sofar.size() + 64;
            it = folders_.emplace(std::move(sofar), st.exists).first;
        }
        if (!it->second) {
            if (parent_missing)
                *parent_missing = true;
            break; // nothing below a missing folder is there to be a link
        }
    }
    return std::nullopt;
}

// An entry built from another old file reads that file, through the same checks as its own:
// every run produces all new files before the commit renames anything, so the source is read
// in its old state even when the patch modifies or deletes it.
Finding Run::open_entry_source(const Entry& e) {
    source_.close();
    if (auto kept = sources_.find(e.source.path); kept != sources_.end() &&
                                                  kept->second.bytes->size() == e.source.size &&
                                                  kept->second.hash == e.source.hash) {
        source_ = os::File::over_memory(kept->second.bytes);
        return {FileState::Ready, {}};
    }
    if (std::optional<Finding> bad = unsafe_ancestor(e.source.path))
        return {bad->state, "its source " + shown(e.source.path) + ": " + bad->why};
    SourceFinding found = open_source(game_path(e.source.path), e.source, source_);
    if (found.state == SourceState::Ready) {
        keep_source(e);
        return {FileState::Ready, {}};
    }
    return {found.state == SourceState::Missing  ? FileState::Missing
            : found.state == SourceState::Unsafe ? FileState::Unsafe
                                                 : FileState::Differs,
            "its source " + shown(e.source.path) + " " + found.why};
}

// A checked old file that later entries are built from too, when small, is kept in memory
// until the last of them is made: each reads it from there, where it would look at the game
// directory, open and hash the file again (a moved file that 83 new files start from).
void Run::keep_source(const Entry& e) {
    auto uses = source_uses_.find(e.source.path);
    if (uses == source_uses_.end() || uses->second < 2 || e.source.size > kAlwaysKeptOldBytes ||
        kept_source_bytes_ + e.source.size > kKeptSourceBytes)
        return;
    auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(e.source.size));
    if (!source_.read_exact_at(0, bytes->data(), bytes->size()) ||
        hash128(bytes->data(), bytes->size()) != e.source.hash)
        return; // read from the file as it is
    kept_source_bytes_ += bytes->size();
    sources_[e.source.path] = {bytes, e.source.hash};
    source_ = os::File::over_memory(std::move(bytes));
}

// The entry `e` no longer needs its old source: kept, it goes after its last reader.
void Run::release_source(const Entry& e) {
    auto uses = source_uses_.find(e.source.path);
    if (uses == source_uses_.end() || --uses->second > 0)
        return;
    source_uses_.erase(uses);
    if (auto kept = sources_.find(e.source.path); kept != sources_.end()) {
        kept_source_bytes_ -= kept->second.bytes->size();
        sources_.erase(kept);
    }
}

// An entry built from the new file of an earlier entry reads it as that entry's decode left
// it, or, when that file was already new, from the game directory; the run never reads a work
// file back.
Finding Run::open_new_source(const Entry& e) {
    source_.close();
    size_t k = e.source.entry;
    if (auto it = kept_.find(k); it != kept_.end()) {
        source_ = os::File::over_memory(it->second);
        return {FileState::Ready, {}};
    }
    if (states_[k] == FileState::Done)
        return open_entry_source(e);
    if (states_[k] == FileState::Ready && tally_.problems > 0)
        return {FileState::Ready, {}}; // nothing is produced in this run
    return {FileState::Missing,
            "its source, the new " + shown(e.source.path) + ", was not produced"};
}

// A folder entry: whether the folder is there to make or remove.
Finding classify_folder(const Entry& e, const os::Stat& st) {
    bool makes = e.op == Op::MakeDir;
    if (!st.exists)
        return {makes ? FileState::Ready : FileState::Done, {}};
    if (st.is_dir)
        return {makes ? FileState::Done : FileState::Ready, {}};
    return {FileState::Differs, makes ? "a file stands where the patch creates a folder"
                                      : "a file stands where the patch removes a folder"};
}

// A game file found Ready is left open in `old_file` (when given) for its decoding: one open
// per file, which under Wine is a server round trip and a walk over the whole path.
Finding Run::classify(const Entry& e, FileProgress* prog, os::File* old_file) {
    std::string full = game_path(e.path);
    bool parent_missing = false;
    if (std::optional<Finding> unsafe = unsafe_ancestor(e.path, &parent_missing))
        return *unsafe;
    os::Stat st; // nothing is there when its folder is missing
    if (os::Status s = parent_missing ? os::Status::success() : os::stat(full, st); !s)
        return {FileState::Differs, s.text};
    if (st.exists && st.is_link)
        return {FileState::Unsafe, "it is a link to another place"};
    if (!e.is_file_op())
        return classify_folder(e, st);
    if (!st.exists) {
        if (e.op == Op::Add)
            return {FileState::Ready, {}};
        if (e.op == Op::Delete)
            return {FileState::Done, {}};
        return {FileState::Missing, "the file is missing"};
    }
    if (!st.is_file)
        return {FileState::Differs, "a folder stands where the patch expects a file"};
    bool old_fits = e.needs_old() && st.size == e.old_size;
    bool new_fits = e.makes_new() && st.size == e.new_size;
    if (old_fits || new_fits) {
        Hash128 h;
        os::File f;
        // An old file to decode from is kept as the hash reads it, when small enough and read
        // in many pieces (its payload, mostly copies, is not tiny beside it): its decoding then
        // reads the very bytes that were checked, from memory, where it would read the file
        // again a copy at a time.
        std::shared_ptr<std::vector<uint8_t>> kept;
        if (old_file && old_fits && st.size <= kKeptOldBytes &&
            (st.size <= kAlwaysKeptOldBytes || e.payload_size >= st.size / 256)) {
            kept = std::make_shared<std::vector<uint8_t>>();
            kept->reserve(static_cast<size_t>(st.size));
        }
        os::Status s = os::File::open_read(full, f);
        if (s)
            s = hash_file(f, st.size, h,
                          [prog, &kept](const uint8_t* piece, size_t n, uint64_t done) {
                              if (kept)
                                  kept->insert(kept->end(), piece, piece + n);
                              if (prog)
                                  prog->at(done);
                              return os::Status::success();
                          });
        if (!s)
            return {FileState::Differs, s.text};
        if (old_fits && h == e.old_hash) {
            if (old_file)
                *old_file = kept ? os::File::over_memory(std::move(kept)) : std::move(f);
            return {FileState::Ready, {}};
        }
        if (new_fits && h == e.new_hash)
            return {FileState::Done, {}};
    }
    if (e.op == Op::Add)
        return {FileState::Differs, "a different file of that name is already there"};
    if (e.op == Op::Delete)
        return {FileState::Differs, "the file differs from the version this patch removes"};
    return {FileState::Differs, "the file differs from the version this patch updates"};
}

RunOutcome Run::prepare_work_dir() {
    if (cl_.has_temp && !cl_.temp_dir.empty())
        return make_temp_work_dir(os::strip_trailing_sep(cl_.temp_dir));
    work_ = os::join(journal_->dir(), "work");
    os::Status s = os::make_dir(work_);
    if (s)
        s = os::Folder::open(work_, work_folder_);
    if (!s)
        return RunOutcome::fail(kRcTempDir,
                                "Cannot create a work folder on the game's drive: " + s.text + ".",
                                kNotApplied);
    return RunOutcome::next();
}

// A work folder of this run's own in the temp directory the command line names.
RunOutcome Run::make_temp_work_dir(const std::string& t) {
    os::Stat st;
    os::stat(t, st);
    if (!st.exists || !st.is_dir)
        return RunOutcome::fail(kRcTempDir, not_a_folder("temp directory", t), kNotApplied);
    std::string base = os::join(t, "kelvane-" + std::to_string(os::process_id()));
    for (int i = 0; i < 100; ++i) {
        std::string cand = i ? base + "-" + std::to_string(i) : base;
        os::Stat cs;
        os::stat(cand, cs);
        if (cs.exists)
            continue;
        // Noted in the journal before it exists, so that no killed run leaves it behind.
        os::Status s = journal_->note_temp_folder(cand);
        if (!s)
            return RunOutcome::fail(
                kRcGameDir, "Cannot write the engine's journal: " + s.text + ".", kNotApplied);
        s = os::make_dir(cand);
        if (s) {
            work_ = cand;
            work_is_ours_ = true;
            if ((s = os::Folder::open(work_, work_folder_)))
                return RunOutcome::next();
        } else if (s.kind == os::ErrKind::Exists) {
            continue;
        }
        return RunOutcome::fail(kRcTempDir, "Cannot use the temp directory: " + s.text + ".",
                                kNotApplied);
    }
    return RunOutcome::fail(kRcTempDir,
                            "Cannot create a work folder in the temp directory \"" + t + "\".",
                            kNotApplied);
}

// Creates the bucket folder of work file `id` unless this run made it already, and holds it.
os::Status Run::make_work_bucket(uint32_t id) {
    uint32_t k = id / kBucketSize;
    if (work_buckets_.count(k))
        return work_buckets_[k].is_open()
                   ? os::Status::success()
                   : os::Status::fail(os::ErrKind::Other,
                                      "cannot open " + bucket_folder(work_, id));
    std::string path = bucket_folder(work_, id);
    os::Status s = os::make_dir(path);
    if (s)
        s = os::Folder::open(path, work_buckets_[k]); // cleaned up even when it fails
    return s;
}

// Work files go through the held work folder and its held bucket folders, by name: nothing
// can redirect the removal (folders let go for the commit are held again, never through a
// link). The journal goes too, unless the run kept it for the next run.
void Run::cleanup() {
    bool work_left =
        work_folder_.is_open() || (!work_.empty() && os::Folder::open(work_, work_folder_));
    if (work_left) {
        std::set<std::string> ours;
        for (uint32_t i : temp_files_)
            ours.insert("n" + std::to_string(i));
        for (auto& [k, bucket] : work_buckets_) {
            std::string name = bucket_name(k * kBucketSize);
            std::vector<os::DirEntry> present;
            if ((bucket.is_open() || work_folder_.open_child(name, bucket)) && bucket.list(present))
                for (const os::DirEntry& e : present)
                    if (ours.count(e.name))
                        bucket.remove_file(e.name);
            bucket.close();
            work_folder_.remove_dir(name);
        }
    }
    work_buckets_.clear();
    temp_files_.clear();
    work_folder_.close();
    if (work_is_ours_ && work_left) {
        os::Status s = os::remove_dir(work_);
        if (!s)
            say(CallbackId::Warning, "The temp folder " + shorten_middle(work_, 120) +
                                         " could not be removed: " + s.text + ".");
        work_is_ours_ = false;
    }
    if (journal_created_) {
        if (os::Status s = journal_->remove_all(journal_->is_done()); !s)
            say(CallbackId::Warning, "The engine's work folder could not be removed (" + s.text +
                                         "); the next run of the engine removes it.");
        journal_created_ = false;
    }
}

// The publisher key in the key file at `path` (`ks` its stat), read into `trusted`: ok, or
// why the file cannot be used (unreadable, not a small text file, not a key, or this system
// cannot check signatures).
DecodeResult read_trusted_key(const std::string& path, const os::Stat& ks, uint8_t trusted[64]) {
    os::File f;
    if (os::Status s = os::File::open_read(path, f); !s)
        return DecodeResult::io(s);
    if (!ks.is_file || ks.size > 4096)
        return DecodeResult::corrupt("it is not a small text file");
    std::string text(static_cast<size_t>(ks.size), '\0');
    if (os::Status s = f.read_exact_at(0, text.data(), text.size()); !s)
        return DecodeResult::io(s);
    if (DecodeResult r = parse_public_key(text, trusted); !r)
        return r;
    if (!signature_support())
        return DecodeResult::refuse(PatchError::Unsupported, "this system cannot check signatures");
    return DecodeResult::ok();
}

// The publisher key file in the game directory makes only patches signed by that key
// acceptable; a signature is checked whenever a patch carries one.
RunOutcome Run::check_trust() {
    Patch& patch = patch_;
    std::string key_path = os::join(game_, kKeyFileName);
    os::Stat ks;
    os::stat(key_path, ks);
    uint8_t trusted[64];
    std::string signer =
        patch.signature.present ? key_fingerprint(patch.signature.key) : std::string();
    if (ks.exists) {
        if (DecodeResult r = read_trusted_key(key_path, ks, trusted); !r)
            return RunOutcome::fail(kRcUntrusted,
                                    std::string("The publisher key file ") + kKeyFileName +
                                        " in the game directory cannot be used (" + r.message +
                                        "); no patch is applied until it is repaired or removed.",
                                    kNotApplied);
        if (!patch.signature.present)
            return RunOutcome::fail(kRcUntrusted,
                                    "The patch is refused: it is not signed, and this game accepts "
                                    "only patches signed by its publisher's key " +
                                        key_fingerprint(trusted) + ".",
                                    kNotApplied);
        if (!std::equal(trusted, trusted + 64, patch.signature.key))
            return RunOutcome::fail(kRcUntrusted,
                                    "The patch is refused: it is signed by key " + signer +
                                        ", but this game accepts only patches signed by its "
                                        "publisher's key " +
                                        key_fingerprint(trusted) + ".",
                                    kNotApplied);
    }
    if (!patch.signature.present)
        return RunOutcome::next();
    if (!signature_support()) {
        say(CallbackId::Warning,
            "The patch is signed by key " + signer + ", but this system cannot check signatures.");
        return RunOutcome::next();
    }
    if (DecodeResult r = check_patch_signature(patch); !r)
        return RunOutcome::fail(kRcUntrusted,
                                "The patch is refused: its signature by key " + signer +
                                    " does not match its contents (" + r.message +
                                    "); it was changed after it was signed.",
                                kNotApplied);
    say(CallbackId::Info, "The patch is signed by key " + signer +
                              (ks.exists ? ", the publisher key of this game." : "."));
    return RunOutcome::next();
}

int map_patch_error(PatchError e) {
    switch (e) {
    case PatchError::Unreadable:
        return kRcPatchUnreadable;
    case PatchError::Unsupported:
        return kRcPatchUnsupported;
    case PatchError::Hostile:
        return kRcPatchHostile;
    default:
        return kRcPatchCorrupt;
    }
}

// Start-up and recovery: the command line, the game directory, the run lock, and an
// interrupted run finished or undone before anything else.
RunOutcome Run::start_up(const std::string& line) {
    bool list = false;
    RunOutcome parsed = parse_command_line(line, cl_, list);
    quiet_ = list;
    if (parsed.ends())
        return parsed;
    validate_ = cl_.mode == Mode::Validate;
    game_ = os::strip_trailing_sep(cl_.has_game_dir ? cl_.game_dir : os::current_dir());
    os::Stat gs;
    os::stat(game_, gs);
    if (!gs.exists || !gs.is_dir)
        return RunOutcome::fail(kRcGameDir, not_a_folder("game directory", game_));
    journal_ = std::make_unique<Journal>(game_);
    // One run at a time per game directory, in every mode: the lock is taken before anything
    // of the engine's is looked at, and held to the end of the run.
    if (os::Status s = journal_->lock(); !s) {
        if (s.kind == os::ErrKind::Busy)
            return RunOutcome::fail(kRcBusy, "Another patch run is working on this game "
                                             "directory. Try again when it has finished.");
        return RunOutcome::fail(kRcGameDir, "Cannot lock the game directory: " + s.text + ".");
    }
    if (std::optional<std::string> link = journal_->linked_own_folder()) {
        const std::string head = "The engine's own folder ",
                          why = " is a link or junction to another place; the engine never works "
                                "through one. Nothing was changed. Remove the link and run the "
                                "patch again.";
        // The folder's path gives way, never the reason: the whole text fits in one message.
        return RunOutcome::fail(
            kRcGameDir, head + printable(*link, kMaxMessage - head.size() - why.size()) + why);
    }
    return recover_interrupted_run();
}

RunOutcome Run::recover_interrupted_run() {
    journal_->remove_stale_top();
    if (!journal_->exists())
        return RunOutcome::next();
    RecoveryOutcome r =
        recover(*journal_, [this](CallbackId id, const std::string& t) { say(id, t); });
    if (r == RecoveryOutcome::Failed)
        return RunOutcome::end(kRcRecoveryFailed);
    if (r == RecoveryOutcome::Unprovable)
        return RunOutcome::end(kRcRecoveryUnproven);
    return RunOutcome::next();
}

// Open and prepare: the patch opened and trusted, and (applying) the journal and the work
// folder made. A list run ends here.
RunOutcome Run::open_and_prepare() {
    if (DecodeResult opened = open_patch(cl_.patch_path, patch_); !opened)
        return RunOutcome::fail(map_patch_error(opened.status), opened.message, kNotApplied);
    // What the patch says it is for comes first, then who signed it; every mode refuses a
    // patch that the game does not trust.
    say(CallbackId::Info, describe_meta(patch_.meta));
    if (RunOutcome trust = check_trust(); trust.ends())
        return trust;
    if (cl_.mode == Mode::List) {
        for (const Entry& e : patch_.entries)
            if (e.is_file_op())
                rep_.file_name(to_native(e.path));
        return RunOutcome::end(kRcOk);
    }
    uint32_t count = 0;
    for (const Entry& e : patch_.entries)
        count += e.is_file_op() ? 1 : 0;
    say(CallbackId::Info, std::string(validate_ ? "Validating" : "Applying") + " patch " +
                              file_name_of(cl_.patch_path) + ": " + plural(count, "file", "files") +
                              ".");
    if (RunOutcome o = open_journal(); o.ends())
        return o;
    rep_.file_count(count);
    return RunOutcome::next();
}

// Applying, the journal and the work folder; validating, only whether the journal could be
// kept (what an apply would need first).
RunOutcome Run::open_journal() {
    if (validate_) {
        if (os::Status s = journal_->check_usable(); !s)
            return RunOutcome::fail(
                kRcGameDir,
                "The engine cannot keep its journal in the game directory: " + s.text + ".",
                kValidationFailed);
        return RunOutcome::next();
    }
    os::Status s = journal_->create();
    if (!s)
        return RunOutcome::fail(
            kRcGameDir, "Cannot create the engine's journal in the game directory: " + s.text + ".",
            kNotApplied);
    journal_created_ = true;
    return prepare_work_dir();
}

// Produce the new files: every entry checked against the game directory, and while nothing
// stops the patch, each new file decoded into the work folder (validating, only hashed) and
// verified.
RunOutcome Run::produce_new_files() {
    size_t new_files = 0;
    for (const Entry& e : patch_.entries)
        new_files += e.makes_new() ? 1 : 0;
    flusher_.flush_volume_of(work_folder_, new_files);
    states_.assign(patch_.entries.size(), FileState::Done);
    last_reader_.assign(patch_.entries.size(), Entry::kNoEntry);
    for (size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry::Source& src = patch_.entries[i].source;
        if (src.new_content)
            last_reader_[src.entry] = static_cast<uint32_t>(i);
        else if (src.present)
            ++source_uses_[src.path];
    }
    for (size_t i = 0; i < patch_.entries.size() && fatal_ == kRcOk; ++i) {
        const Entry& e = patch_.entries[i];
        if (!e.is_file_op()) {
            check_folder(i);
            continue;
        }
        rep_.file_name(to_native(e.path));
        uint64_t hash_part = e.needs_old() ? e.old_size : (e.op == Op::Add ? e.new_size : 0);
        FileProgress prog(rep_, hash_part + (e.makes_new() ? e.new_size : 0));
        check_file(i, prog);
        prog.advance(hash_part);
        if (states_[i] == FileState::Ready && e.makes_new() && tally_.problems == 0)
            produce_file(i, prog);
        else
            prog.finish();
        if (e.source.new_content && last_reader_[e.source.entry] == i)
            kept_.erase(e.source.entry);
        else if (e.source.present && !e.source.new_content)
            release_source(e);
    }
    kept_.clear();
    sources_.clear();
    source_uses_.clear();
    flush_new_files();
    return RunOutcome::next();
}

void Run::check_folder(size_t i) {
    const Entry& e = patch_.entries[i];
    auto [st, why] = classify(e, nullptr);
    states_[i] = st;
    if (st == FileState::Differs || st == FileState::Unsafe) {
        if (cl_.ignore_missing && st != FileState::Unsafe) {
            say(CallbackId::Warning, "Skipped the folder " + shown(e.path) + ": " + why + ".");
        } else {
            say(CallbackId::Error, "Cannot handle the folder " + shown(e.path) + ": " + why + ".");
            ++tally_.problems;
            tally_.unsafe += st == FileState::Unsafe ? 1 : 0;
        }
    } else if (st == FileState::Ready) {
        ++tally_.ready;
    }
}

void Run::check_file(size_t i, FileProgress& prog) {
    const Entry& e = patch_.entries[i];
    old_.close();
    bool decodes_own_old = e.codec == Codec::Delta && !e.source.present;
    Finding f = classify(e, &prog, decodes_own_old ? &old_ : nullptr);
    if (f.state == FileState::Ready && e.source.present)
        f = e.source.new_content ? open_new_source(e) : open_entry_source(e);
    auto& [st, why] = f;
    states_[i] = st;
    switch (st) {
    case FileState::Done:
        ++tally_.done;
        break;
    case FileState::Missing:
    case FileState::Differs:
        if (cl_.ignore_missing) {
            say(CallbackId::Warning, "Skipped " + shown(e.path) + ": " + why + ".");
            ++tally_.skipped;
        } else {
            say(CallbackId::Error, "Cannot patch " + shown(e.path) + ": " + why + ".");
            ++tally_.problems;
        }
        break;
    case FileState::Unsafe:
        say(CallbackId::Error, "Refused to touch " + shown(e.path) + ": " + why + ".");
        ++tally_.problems;
        ++tally_.unsafe;
        break;
    case FileState::Ready:
        ++tally_.ready;
        ++tally_.ready_files;
        break;
    }
}

// The new file of entry `i` (validating, only its hash), checked against its recorded hash.
// The file's bar runs to its end unless the file could not be started.
void Run::produce_file(size_t i, FileProgress& prog) {
    const Entry& e = patch_.entries[i];
    os::File oldf;
    if (e.source.present)
        oldf = std::move(source_);
    else if (e.codec == Codec::Delta)
        oldf = std::move(old_);
    if (e.codec == Codec::Delta && e.op == Op::Modify && !e.source.present && !oldf.is_open()) {
        os::Status s = os::File::open_read(game_path(e.path), oldf);
        if (!s) {
            say(CallbackId::Error, "Cannot read " + shown(e.path) + ": " + s.text + ".");
            ++tally_.problems;
            return;
        }
    }
    // A small new file is decoded into memory and created and written on the flusher's thread
    // while the next one decodes; a larger one is written as it is decoded.
    const uint32_t id = static_cast<uint32_t>(i);
    const bool held = !validate_ && e.new_size <= kHeldNewFileBytes;
    os::File outf;
    if (!validate_) {
        os::Status s = make_work_bucket(id);
        if (s) // a held file's creation is asked of the test hook where it would be made
            s = held ? os::check_fault("create", work_file(work_, id))
                     : os::File::create_new(work_file(work_, id), outf);
        if (!s) {
            say(CallbackId::Error, "Cannot write to the temp directory: " + s.text + ".");
            fatal_ = kRcTempDir;
            return;
        }
        temp_files_.push_back(id);
    }
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    const bool kept = last_reader_[i] != Entry::kNoEntry;
    if (kept || held)
        bytes->reserve(static_cast<size_t>(e.new_size));
    TrackingSink tsink(validate_ || held ? nullptr : &outf, kept || held ? bytes.get() : nullptr);
    DecodeResult r = decode_new_file(e, oldf.is_open() ? &oldf : nullptr, tsink, prog);
    if (r && !validate_) {
        os::Status s = os::Status::success();
        if (held)
            s = flusher_.add_unwritten(work_file(work_, id), bytes);
        else
            flusher_.add(std::move(outf));
        if (s)
            s = flusher_.failure();
        if (!s) {
            tsink.failed = true;
            r = DecodeResult::io(s);
        }
    }
    if (!r)
        report_decode_failure(e, r, tsink.failed);
    else if (kept)
        kept_[i] = std::move(bytes);
    prog.finish();
}

// What the run holds while `e` is decoded, besides the decoding itself: the directory, the
// literal and instruction stores, the new files kept for later entries (`e`'s own as well, when it
// is kept as it is written) and the old file kept in memory. The decoder keeps its blocks within
// its budget less this, so that a patch at all of these limits at once still applies within the
// 32-bit engine's bound.
uint64_t Run::held_memory(const Entry& e) {
    if (directory_bytes_ == 0)
        directory_bytes_ = patch_.entries.size() * sizeof(Entry) + patch_path_bytes(patch_.entries);
    uint64_t m = directory_bytes_ + patch_.store.size + patch_.instr_store.size;
    for (const auto& kept : kept_)
        m += kept.second->size();
    m += kept_source_bytes_;
    if (last_reader_[static_cast<size_t>(&e - patch_.entries.data())] != Entry::kNoEntry ||
        (!validate_ && e.new_size <= kHeldNewFileBytes))
        m += e.new_size;
    if (!validate_)
        m += Flusher::kHeldBytes; // the small new files handed over, still to be written
    if (!e.source.new_content)
        m += std::min(e.source.present ? e.source.size : e.old_size, kKeptOldBytes);
    return m;
}

// The block decode: the payload of `e` decoded into `out` (validating, only hashed), its
// result checked against the recorded size and hash, and the written file queued for its
// flush.
DecodeResult Run::decode_new_file(const Entry& e, os::File* old_file, TrackingSink& sink,
                                  FileProgress& prog) {
    HashingSink hs(&sink);
    DecodeResult r = decode_payload(
        e, patch_.file, old_file, e.source.present ? e.source.size : e.old_size, hs,
        [&](uint64_t n) { prog.at(n); }, held_memory(e));
    if (r && (hs.count() != e.new_size || hs.digest() != e.new_hash))
        r = DecodeResult::corrupt("the result does not match its recorded hash");
    return r;
}

void Run::report_decode_failure(const Entry& e, const DecodeResult& r, bool write_failed) {
    if (r.status == PatchError::Corrupt) {
        say(CallbackId::Error,
            "The patch data for " + shown(e.path) + " is damaged: " + r.message + ".");
        fatal_ = kRcPatchCorrupt;
    } else if (write_failed) {
        say(CallbackId::Error, write_failure(r.io_kind, r.message));
        fatal_ = kRcTempDir;
    } else {
        say(CallbackId::Error,
            "Cannot read while patching " + shown(e.path) + ": " + r.message + ".");
        fatal_ = kRcPatchUnreadable;
    }
}

std::string Run::write_failure(os::ErrKind kind, const std::string& text) const {
    return std::string(kind == os::ErrKind::NoSpace ? "Not enough space " : "Cannot write ") +
           (work_is_ours_ ? "in the temp directory" : "on the game's drive") +
           " for the new files: " + text + ".";
}

// Every new file is on disk before the plan can name it; after a failure the rest are only
// closed.
void Run::flush_new_files() {
    if (os::Status s = flusher_.finish(); !s && fatal_ == kRcOk) {
        say(CallbackId::Error, write_failure(s.kind, s.text));
        fatal_ = kRcTempDir;
    }
}

// The summary of a patch refused because of `why`, which changed nothing.
std::string Run::refused(const std::string& why) const {
    return validate_ ? "Validation failed: " + why + "."
                     : "The patch was not applied: " + why + "; nothing was changed.";
}

// The files the summary adds to what the run did: already up to date, skipped.
std::string Run::tail() const {
    std::string t;
    if (tally_.done)
        t += ", " + plural(tally_.done, "file was", "files were") + " already up to date";
    if (tally_.skipped)
        t += ", " + plural(tally_.skipped, "file was", "files were") + " skipped";
    return t;
}

// Decide the outcome: a failure, a path through a link or a file that does not match ends the
// run before anything is changed; so does a patch with nothing left to do, and a validation.
RunOutcome Run::decide_outcome() {
    if (fatal_ != kRcOk)
        return RunOutcome::end(fatal_, validate_ ? kValidationFailed : kNotApplied);
    if (tally_.unsafe > 0)
        return RunOutcome::end(kRcPatchHostile,
                               refused(plural(tally_.unsafe, "path leads", "paths lead") +
                                       " through a link or is too long to reach safely"));
    if (tally_.problems > 0)
        return RunOutcome::end(kRcMismatch,
                               refused(plural(tally_.problems, "file does", "files do") +
                                       " not match the version this patch updates"));
    if (tally_.ready == 0)
        return RunOutcome::end(kRcOk, tally_.skipped == 0
                                          ? "This patch is already applied; nothing was changed."
                                          : "Nothing was changed" + tail() + ".");
    if (validate_)
        return RunOutcome::end(
            kRcOk, "Validation passed: " + plural(tally_.ready_files, "file is", "files are") +
                       " ready to patch" + tail() + ".");
    return RunOutcome::next();
}

// Build the plan: a step for every entry to carry out. The entries are not needed beyond
// this point: their paths move into the plan.
Plan Run::build_plan(Changes& changes) {
    Plan plan;
    plan.work_folder = work_;
    std::map<std::string, bool> folders;
    for (size_t i = 0; i < patch_.entries.size(); ++i) {
        if (states_[i] != FileState::Ready)
            continue;
        Entry& e = patch_.entries[i];
        Step st;
        st.id = static_cast<uint32_t>(i);
        st.new_size = e.new_size;
        st.new_hash = e.new_hash;
        st.attrs = e.attrs;
        switch (e.op) {
        case Op::Modify:
            st.kind = StepKind::Replace;
            ++changes.updated;
            break;
        case Op::Add:
            st.kind = StepKind::Add;
            ++changes.added;
            break;
        case Op::Delete:
            st.kind = StepKind::Delete;
            ++changes.deleted;
            break;
        case Op::MakeDir:
            st.kind = StepKind::MakeDir;
            break;
        case Op::RemoveDir:
            st.kind = StepKind::RemoveDir;
            break;
        }
        st.rel = std::move(e.path);
        if (st.kind == StepKind::Add || st.kind == StepKind::MakeDir)
            st.made = missing_folders(st, folders);
        plan.steps.push_back(std::move(st));
    }
    std::vector<Entry>().swap(patch_.entries);
    std::vector<FileState>().swap(states_);
    return plan;
}

// The folders of the step's chain that do not exist yet, counted from the deepest up.
// `known`: the folders looked at so far, and whether each was there (the game directory does
// not change while the plan is made; the steps of one folder's files ask about it once).
uint16_t Run::missing_folders(const Step& st, std::map<std::string, bool>& known) const {
    uint16_t made = 0;
    for (size_t d = chain_length(st); d >= 1; --d) {
        std::string folder = chain_folder(st, d);
        auto it = known.find(folder);
        if (it == known.end()) {
            os::Stat ds;
            os::stat(game_path(folder), ds);
            it = known.emplace(std::move(folder), ds.exists).first;
        }
        if (it->second)
            break;
        ++made;
    }
    return made;
}

// Commit and report: the game files replaced through the journal, and the summary of what
// changed or of how the failed commit was undone.
RunOutcome Run::commit_and_report(Plan& plan, const Changes& changes) {
    say(CallbackId::Info, "Every new file is built and verified; replacing the game files.");
    // The commit names no file; the last file's full bar, repeated now and then, lets the
    // caller keep its window alive through thousands of renames.
    journal_->set_tick([this] { rep_.progress(32768); });
    // The commit takes the work folder whole where it can: the run lets go of it first.
    for (auto& [k, bucket] : work_buckets_)
        bucket.close();
    work_folder_.close();
    auto [outcome, failure] =
        commit_plan(*journal_, plan, [this](CallbackId id, const std::string& t) { say(id, t); });
    switch (outcome) {
    case CommitOutcome::Committed: {
        temp_files_.clear(); // moved into the game directory
        std::string what;
        auto add = [&](uint64_t n, const char* verb) {
            if (!n)
                return;
            what += what.empty() ? "" : ", ";
            what += plural(n, "file", "files") + " " + verb;
        };
        add(changes.updated, "updated");
        add(changes.added, "added");
        add(changes.deleted, "deleted");
        if (what.empty())
            what = "folders updated";
        return RunOutcome::end(kRcOk, "Patch applied: " + what + tail() + ".");
    }
    case CommitOutcome::NotStarted:
        return RunOutcome::end(kRcTempDir, kNotApplied);
    case CommitOutcome::JournalFailed:
        return RunOutcome::end(kRcGameDir, kNotApplied);
    case CommitOutcome::RolledBack:
        return RunOutcome::end(kRcRolledBack, "The patch was not applied (" + failure +
                                                  "); the game directory is unchanged.");
    case CommitOutcome::RollbackFailed:
        break;
    }
    journal_created_ = false; // kept: the next run finishes restoring the game directory
    return RunOutcome::end(kRcRollbackFailed,
                           "The patch was not applied and the game directory could not be fully "
                           "restored yet; run the engine again to finish restoring it.");
}

// Whatever the outcome, the run cleans up after itself between the error that ended it and
// its summary.
int Run::finish(const RunOutcome& outcome) {
    say(CallbackId::Error, outcome.error());
    cleanup();
    say(CallbackId::Summary, outcome.summary());
    return outcome.rc();
}

int Run::execute(const std::string& line) {
    RunOutcome outcome = start_up(line);
    if (!outcome.ends())
        outcome = open_and_prepare();
    if (!outcome.ends())
        outcome = produce_new_files();
    if (!outcome.ends())
        outcome = decide_outcome();
    if (!outcome.ends()) {
        Changes changes;
        Plan plan = build_plan(changes);
        outcome = commit_and_report(plan, changes);
    }
    return finish(outcome);
}

} // namespace

int run_engine(const std::string& command_line, Reporter& reporter) {
    try {
        Run run(reporter);
        return run.execute(command_line);
    } catch (const std::bad_alloc&) {
        reporter.message(CallbackId::Error, "The engine ran out of memory.");
        return kRcInternal;
    } catch (const std::exception& ex) {
        reporter.message(CallbackId::Error, clip(std::string("Internal error: ") + ex.what()));
        return kRcInternal;
    }
}

} // namespace kv
