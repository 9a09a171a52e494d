#include "engine.h"

#include "cmdline.h"
#include "codec.h"
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
#include <set>

namespace kv {

namespace {

enum class FileState { Ready, Done, Missing, Differs, Unsafe };

// Forwards to a file and remembers whether the file refused the data.
class TrackingSink : public Sink {
  public:
    explicit TrackingSink(os::File& f) : f_(f) {}
    os::Status write(const void* data, size_t n) override {
        os::Status s = f_.write(data, n);
        if (!s)
            failed = true;
        return s;
    }
    bool failed = false;

  private:
    os::File& f_;
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
std::string shown(const std::string& rel) {
    return printable(to_native(rel), 150);
}

std::string file_name_of(const std::string& path) {
    size_t p = path.find_last_of(os::separator() == '\\' ? "\\/:" : "/");
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class Run {
  public:
    explicit Run(Reporter& r) : rep_(r) {}
    int execute(const std::string& line);

  private:
    void say(unsigned id, const std::string& text) {
        if (!quiet_ && !text.empty())
            rep_.message(id, clip(text));
    }
    std::string game_path(const std::string& rel) const { return os::join(game_, to_native(rel)); }
    std::string unsafe_ancestor(const std::string& rel, bool& link);
    FileState classify(const Entry& e, std::string& why, FileProgress* prog,
                       os::File* old_file = nullptr);
    bool hash_file(os::File& f, uint64_t size, Hash128& out, FileProgress* prog,
                   std::string& why);
    int prepare_work_dir(const CommandLine& cl);
    os::Status make_work_bucket(uint32_t id);
    int check_trust(Patch& patch);
    void cleanup(bool keep_journal);

    Reporter& rep_;
    bool quiet_ = false;
    std::string game_;
    std::unique_ptr<Journal> journal_;
    bool journal_created_ = false;
    std::string work_;
    bool work_is_ours_ = false;
    os::Folder work_folder_;              // held while the run works in it
    // The bucket folders this run made in the work folder, by bucket number, each held while
    // the run works in it.
    std::map<uint32_t, os::Folder> work_buckets_;
    std::vector<uint32_t> temp_files_;    // entries whose "b<k>/<i>.new" is in the work folder
    std::string checked_path_;            // the last path whose parent folders were safe
};

// Parent folders that are links or files. Entries come sorted, so the folders a path shares
// with the previous one were checked already; nothing is kept per folder.
std::string Run::unsafe_ancestor(const std::string& rel, bool& link) {
    link = false;
    size_t shared = 0;
    while (shared < rel.size() && shared < checked_path_.size() && rel[shared] == checked_path_[shared])
        ++shared;
    for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1)) {
        if (slash < shared && checked_path_[slash] == '/')
            continue; // the same folder as in the previous path
        std::string sofar = rel.substr(0, slash);
        os::Stat st;
        os::stat(game_path(sofar), st);
        if (st.exists && st.is_link) {
            checked_path_.clear();
            link = true;
            return "the folder " + shown(sofar) + " is a link to another place";
        }
        if (st.exists && !st.is_dir) {
            checked_path_.clear();
            return shown(sofar) + " is a file, not a folder";
        }
    }
    checked_path_ = rel;
    return {};
}

bool Run::hash_file(os::File& f, uint64_t size, Hash128& out, FileProgress* prog,
                    std::string& why) {
    os::Status s = kv::hash_file(f, size, out, [prog](const uint8_t*, size_t, uint64_t done) {
        if (prog)
            prog->at(done);
        return os::Status::success();
    });
    if (!s)
        why = s.text;
    return s.ok();
}

// A game file found Ready is left open in `old_file` (when given) for its decoding: one open
// per file, which under Wine is a server round trip and a walk over the whole path.
FileState Run::classify(const Entry& e, std::string& why, FileProgress* prog,
                        os::File* old_file) {
    std::string full = game_path(e.path);
    bool link = false;
    why = unsafe_ancestor(e.path, link);
    if (!why.empty())
        return link ? FileState::Unsafe : FileState::Differs;
    os::Stat st;
    os::Status s = os::stat(full, st);
    if (!s) {
        why = s.text;
        return FileState::Differs;
    }
    if (st.exists && st.is_link) {
        why = "it is a link to another place";
        return FileState::Unsafe;
    }
    switch (e.op) {
    case Op::MakeDir:
        if (!st.exists)
            return FileState::Ready;
        if (st.is_dir)
            return FileState::Done;
        why = "a file stands where the patch creates a folder";
        return FileState::Differs;
    case Op::RemoveDir:
        if (!st.exists)
            return FileState::Done;
        if (st.is_dir)
            return FileState::Ready;
        why = "a file stands where the patch removes a folder";
        return FileState::Differs;
    default:
        break;
    }
    if (!st.exists) {
        if (e.op == Op::Add)
            return FileState::Ready;
        if (e.op == Op::Delete)
            return FileState::Done;
        why = "the file is missing";
        return FileState::Missing;
    }
    if (!st.is_file) {
        why = "a folder stands where the patch expects a file";
        return FileState::Differs;
    }
    bool old_fits = e.needs_old() && st.size == e.old_size;
    bool new_fits = e.makes_new() && st.size == e.new_size;
    if (old_fits || new_fits) {
        Hash128 h;
        os::File f;
        if (os::Status s = os::File::open_read(full, f); !s) {
            why = s.text;
            return FileState::Differs;
        }
        if (!hash_file(f, st.size, h, prog, why))
            return FileState::Differs;
        if (old_fits && h == e.old_hash) {
            if (old_file)
                *old_file = std::move(f);
            return FileState::Ready;
        }
        if (new_fits && h == e.new_hash)
            return FileState::Done;
    }
    if (e.op == Op::Add)
        why = "a different file of that name is already there";
    else if (e.op == Op::Delete)
        why = "the file differs from the version this patch removes";
    else
        why = "the file differs from the version this patch updates";
    return FileState::Differs;
}

int Run::prepare_work_dir(const CommandLine& cl) {
    if (cl.has_temp && !cl.temp_dir.empty()) {
        std::string t = os::strip_trailing_sep(cl.temp_dir);
        os::Stat st;
        os::stat(t, st);
        if (!st.exists || !st.is_dir) {
            say(3, "The temp directory \"" + t + "\" does not exist or is not a folder.");
            return kRcTempDir;
        }
        std::string base = os::join(t, "kelvane-" + std::to_string(os::process_id()));
        for (int i = 0; i < 100; ++i) {
            std::string cand = i ? base + "-" + std::to_string(i) : base;
            os::Stat cs;
            os::stat(cand, cs);
            if (cs.exists)
                continue;
            // Noted in the journal before it exists, so that no killed run leaves it behind.
            os::Status s = journal_->note_temp_folder(cand);
            if (!s) {
                say(3, "Cannot write the engine's journal: " + s.text + ".");
                return kRcGameDir;
            }
            s = os::make_dir(cand);
            if (s) {
                work_ = cand;
                work_is_ours_ = true;
                if (!(s = os::Folder::open(work_, work_folder_))) {
                    say(3, "Cannot use the temp directory: " + s.text + ".");
                    return kRcTempDir;
                }
                return kRcOk;
            }
            if (s.kind != os::ErrKind::Exists) {
                say(3, "Cannot use the temp directory: " + s.text + ".");
                return kRcTempDir;
            }
        }
        say(3, "Cannot create a work folder in the temp directory \"" + t + "\".");
        return kRcTempDir;
    }
    work_ = os::join(journal_->dir(), "work");
    os::Status s = os::make_dir(work_);
    if (s)
        s = os::Folder::open(work_, work_folder_);
    if (!s) {
        say(3, "Cannot create a work folder on the game's drive: " + s.text + ".");
        return kRcTempDir;
    }
    return kRcOk;
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
// can redirect the removal.
void Run::cleanup(bool keep_journal) {
    if (work_folder_.is_open()) {
        std::set<std::string> ours;
        for (uint32_t i : temp_files_)
            ours.insert(std::to_string(i) + ".new");
        for (auto& [k, bucket] : work_buckets_) {
            std::vector<os::DirEntry> present;
            if (bucket.is_open() && bucket.list(present))
                for (const os::DirEntry& e : present)
                    if (ours.count(e.name))
                        bucket.remove_file(e.name);
            bucket.close();
            work_folder_.remove_dir(bucket_name(k * kBucketSize));
        }
    }
    work_buckets_.clear();
    temp_files_.clear();
    work_folder_.close();
    if (work_is_ours_) {
        os::Status s = os::remove_dir(work_);
        if (!s)
            say(kIdWarning, "The temp folder " + shorten_middle(work_, 120) +
                                " could not be removed: " + s.text + ".");
        work_is_ours_ = false;
    }
    if (journal_created_ && !keep_journal) {
        std::string why;
        if (!journal_->remove_all(why, journal_->is_done()))
            say(2, "The engine's work folder could not be removed (" + why +
                       "); the next run of the engine removes it.");
        journal_created_ = false;
    }
}

// The publisher key file in the game directory makes only patches signed by that key
// acceptable; a signature is checked whenever a patch carries one.
int Run::check_trust(Patch& patch) {
    std::string key_path = os::join(game_, kKeyFileName);
    os::Stat ks;
    os::stat(key_path, ks);
    uint8_t trusted[64];
    std::string signer =
        patch.signature.present ? key_fingerprint(patch.signature.key) : std::string();
    if (ks.exists) {
        std::string why;
        os::File f;
        os::Status s = os::File::open_read(key_path, f);
        std::string text(ks.size <= 4096 ? static_cast<size_t>(ks.size) : 0, '\0');
        if (!s)
            why = s.text;
        else if (!ks.is_file || ks.size > 4096)
            why = "it is not a small text file";
        else if (!(s = f.read_exact_at(0, text.data(), text.size())))
            why = s.text;
        else
            why = parse_public_key(text, trusted);
        if (why.empty() && !signature_support())
            why = "this system cannot check signatures";
        if (!why.empty()) {
            say(kIdError, std::string("The publisher key file ") + kKeyFileName +
                              " in the game directory cannot be used (" + why +
                              "); no patch is applied until it is repaired or removed.");
            return kRcUntrusted;
        }
        if (!patch.signature.present) {
            say(kIdError, "The patch is refused: it is not signed, and this game accepts only "
                          "patches signed by its publisher's key " +
                              key_fingerprint(trusted) + ".");
            return kRcUntrusted;
        }
        if (!std::equal(trusted, trusted + 64, patch.signature.key)) {
            say(kIdError, "The patch is refused: it is signed by key " + signer +
                              ", but this game accepts only patches signed by its publisher's "
                              "key " +
                              key_fingerprint(trusted) + ".");
            return kRcUntrusted;
        }
    }
    if (!patch.signature.present)
        return kRcOk;
    if (!signature_support()) {
        say(kIdWarning, "The patch is signed by key " + signer +
                            ", but this system cannot check signatures.");
        return kRcOk;
    }
    std::string why = check_patch_signature(patch);
    if (!why.empty()) {
        say(kIdError, "The patch is refused: its signature by key " + signer +
                          " does not match its contents (" + why +
                          "); it was changed after it was signed.");
        return kRcUntrusted;
    }
    say(kIdInfo, "The patch is signed by key " + signer +
                     (ks.exists ? ", the publisher key of this game." : "."));
    return kRcOk;
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

int Run::execute(const std::string& line) {
    CommandLine cl;
    bool list = false;
    std::string err = parse_command_line(line, cl, list);
    quiet_ = list;
    if (!err.empty()) {
        say(kIdError, err);
        return kRcUsage;
    }
    game_ = os::strip_trailing_sep(cl.has_game_dir ? cl.game_dir : os::current_dir());
    os::Stat gs;
    os::stat(game_, gs);
    if (!gs.exists || !gs.is_dir) {
        say(kIdError, "The game directory \"" + game_ + "\" does not exist or is not a folder.");
        return kRcGameDir;
    }
    journal_ = std::make_unique<Journal>(game_);
    // One run at a time per game directory, in every mode: the lock is taken before anything
    // of the engine's is looked at, and held to the end of the run.
    if (os::Status s = journal_->lock(); !s) {
        if (s.kind == os::ErrKind::Busy) {
            say(kIdError, "Another patch run is working on this game directory. Try again when "
                          "it has finished.");
            return kRcBusy;
        }
        say(kIdError, "Cannot lock the game directory: " + s.text + ".");
        return kRcGameDir;
    }
    if (std::string link = journal_->linked_own_folder(); !link.empty()) {
        const std::string head = "The engine's own folder ",
                          why = " is a link or junction to another place; the engine never works "
                                "through one. Nothing was changed. Remove the link and run the "
                                "patch again.";
        // The folder's path gives way, never the reason: the whole text fits in one message.
        say(kIdError, head + printable(link, kMaxMessage - head.size() - why.size()) + why);
        return kRcGameDir;
    }
    Say sayfn = [this](int id, const std::string& t) { say(static_cast<unsigned>(id), t); };
    journal_->remove_stale_top();
    if (journal_->exists()) {
        RecoveryOutcome r = recover(*journal_, sayfn);
        if (r == RecoveryOutcome::Failed)
            return kRcRecoveryFailed;
        if (r == RecoveryOutcome::Unprovable)
            return kRcRecoveryUnproven;
    }

    Patch patch;
    if (DecodeResult opened = open_patch(cl.patch_path, patch); !opened) {
        say(kIdError, opened.message);
        say(kIdSummary, "The patch was not applied; nothing was changed.");
        return map_patch_error(opened.status);
    }
    // What the patch says it is for comes first, then who signed it; every mode refuses a
    // patch that the game does not trust.
    say(kIdInfo, describe_meta(patch.meta));
    int trust = check_trust(patch);
    if (trust != kRcOk) {
        say(kIdSummary, "The patch was not applied; nothing was changed.");
        return trust;
    }
    if (cl.mode == Mode::List) {
        for (const Entry& e : patch.entries)
            if (e.is_file_op())
                rep_.file_name(to_native(e.path));
        return kRcOk;
    }

    bool validate = cl.mode == Mode::Validate;
    uint32_t count = 0;
    for (const Entry& e : patch.entries)
        count += e.is_file_op() ? 1 : 0;
    say(kIdInfo, std::string(validate ? "Validating" : "Applying") + " patch " +
                     file_name_of(cl.patch_path) + ": " + plural(count, "file", "files") + ".");
    if (validate) {
        // What the apply would need first: a place for the journal.
        if (std::string why = journal_->unusable_reason(); !why.empty()) {
            say(kIdError, "The engine cannot keep its journal in the game directory: " + why + ".");
            say(kIdSummary, "Validation failed.");
            return kRcGameDir;
        }
    } else {
        os::Status s = journal_->create();
        if (!s) {
            say(kIdError,
                "Cannot create the engine's journal in the game directory: " + s.text + ".");
            say(kIdSummary, "The patch was not applied; nothing was changed.");
            return kRcGameDir;
        }
        journal_created_ = true;
        int rc = prepare_work_dir(cl);
        if (rc != kRcOk) {
            cleanup(false);
            say(kIdSummary, "The patch was not applied; nothing was changed.");
            return rc;
        }
    }

    rep_.file_count(count);
    std::vector<FileState> states(patch.entries.size(), FileState::Done);
    uint64_t ready = 0, ready_files = 0, done = 0, skipped = 0, problems = 0, unsafe = 0;
    int fatal = kRcOk;
    // New files are flushed to disk side by side while the next ones are decoded.
    Flusher flusher;
    for (size_t i = 0; i < patch.entries.size() && fatal == kRcOk; ++i) {
        const Entry& e = patch.entries[i];
        if (!e.is_file_op()) {
            std::string why;
            FileState st = classify(e, why, nullptr);
            states[i] = st;
            if (st == FileState::Differs || st == FileState::Unsafe) {
                if (cl.ignore_missing && st != FileState::Unsafe) {
                    say(kIdWarning, "Skipped the folder " + shown(e.path) + ": " + why + ".");
                } else {
                    say(kIdError, "Cannot handle the folder " + shown(e.path) + ": " + why + ".");
                    ++problems;
                    unsafe += st == FileState::Unsafe ? 1 : 0;
                }
            } else if (st == FileState::Ready) {
                ++ready;
            }
            continue;
        }
        rep_.file_name(to_native(e.path));
        uint64_t hash_part = e.needs_old() ? e.old_size : (e.op == Op::Add ? e.new_size : 0);
        FileProgress prog(rep_, hash_part + (e.makes_new() ? e.new_size : 0));
        std::string why;
        os::File oldf;
        FileState st = classify(e, why, &prog, e.codec == Codec::Delta ? &oldf : nullptr);
        states[i] = st;
        prog.advance(hash_part);
        switch (st) {
        case FileState::Done:
            ++done;
            break;
        case FileState::Missing:
        case FileState::Differs:
            if (cl.ignore_missing) {
                say(kIdWarning, "Skipped " + shown(e.path) + ": " + why + ".");
                ++skipped;
            } else {
                say(kIdError, "Cannot patch " + shown(e.path) + ": " + why + ".");
                ++problems;
            }
            break;
        case FileState::Unsafe:
            say(kIdError, "Refused to touch " + shown(e.path) + ": " + why + ".");
            ++problems;
            ++unsafe;
            break;
        case FileState::Ready:
            ++ready;
            ++ready_files;
            break;
        }
        if (st == FileState::Ready && e.makes_new() && problems == 0) {
            // Produce the new file (or, validating, only its hash) and check it.
            if (e.codec == Codec::Delta && !oldf.is_open()) {
                os::Status s = os::File::open_read(game_path(e.path), oldf);
                if (!s) {
                    say(kIdError, "Cannot read " + shown(e.path) + ": " + s.text + ".");
                    ++problems;
                    continue;
                }
            }
            os::File outf;
            std::string out_path;
            if (!validate) {
                os::Status s = make_work_bucket(static_cast<uint32_t>(i));
                out_path = work_file(work_, static_cast<uint32_t>(i));
                if (s)
                    s = os::File::create_new(out_path, outf);
                if (!s) {
                    say(kIdError, "Cannot write to the temp directory: " + s.text + ".");
                    fatal = kRcTempDir;
                    break;
                }
                temp_files_.push_back(static_cast<uint32_t>(i));
            }
            TrackingSink tsink(outf);
            HashingSink hs(validate ? nullptr : &tsink);
            DecodeResult r = decode_payload(e, patch.file, oldf.is_open() ? &oldf : nullptr,
                                            e.old_size, hs, [&](uint64_t n) { prog.at(n); });
            if (r.status == DecodeStatus::Ok &&
                (hs.count() != e.new_size || hs.digest() != e.new_hash))
                r = DecodeResult::corrupt("the result does not match its recorded hash");
            if (r.status == DecodeStatus::Ok && !validate) {
                flusher.add(std::move(outf));
                if (os::Status s = flusher.failure(); !s) {
                    tsink.failed = true;
                    r = DecodeResult::io(s);
                }
            }
            if (r.status == DecodeStatus::Corrupt) {
                say(kIdError,
                    "The patch data for " + shown(e.path) + " is damaged: " + r.message + ".");
                fatal = kRcPatchCorrupt;
            } else if (r.status == DecodeStatus::Io) {
                if (tsink.failed) {
                    const char* where =
                        work_is_ours_ ? "in the temp directory" : "on the game's drive";
                    say(kIdError,
                        std::string(r.io_kind == os::ErrKind::NoSpace ? "Not enough space "
                                                                      : "Cannot write ") +
                            where + " for the new files: " + r.message + ".");
                    fatal = kRcTempDir;
                } else {
                    say(kIdError,
                        "Cannot read while patching " + shown(e.path) + ": " + r.message + ".");
                    fatal = kRcPatchUnreadable;
                }
            }
        }
        prog.finish();
    }

    // Every new file is on disk before the plan can name it.
    if (os::Status s = flusher.finish(); !s && fatal == kRcOk) {
        say(kIdError, std::string(s.kind == os::ErrKind::NoSpace ? "Not enough space "
                                                                 : "Cannot write ") +
                          (work_is_ours_ ? "in the temp directory" : "on the game's drive") +
                          " for the new files: " + s.text + ".");
        fatal = kRcTempDir;
    }
    const char* nothing =
        validate ? "Validation failed." : "The patch was not applied; nothing was changed.";
    if (fatal != kRcOk) {
        cleanup(false);
        say(kIdSummary, nothing);
        return fatal;
    }
    if (unsafe > 0) {
        cleanup(false);
        say(kIdSummary, std::string(validate ? "Validation failed: " : "The patch was not applied: ") +
                            plural(unsafe, "path leads", "paths lead") +
                            " through a link or is too long to reach safely" +
                            (validate ? "." : "; nothing was changed."));
        return kRcPatchHostile;
    }
    if (problems > 0) {
        cleanup(false);
        say(kIdSummary,
            std::string(validate ? "Validation failed: " : "The patch was not applied: ") +
                plural(problems, "file does", "files do") +
                " not match the version this patch updates" +
                (validate ? "." : "; nothing was changed."));
        return kRcMismatch;
    }
    std::string tail;
    if (done)
        tail += ", " + plural(done, "file was", "files were") + " already up to date";
    if (skipped)
        tail += ", " + plural(skipped, "file was", "files were") + " skipped";
    if (ready == 0) {
        cleanup(false);
        if (skipped == 0)
            say(kIdSummary, "This patch is already applied; nothing was changed.");
        else
            say(kIdSummary, "Nothing was changed" + tail + ".");
        return kRcOk;
    }
    if (validate) {
        say(kIdSummary, "Validation passed: " + plural(ready_files, "file is", "files are") +
                            " ready to patch" + tail + ".");
        return kRcOk;
    }

    // Commit. The entries are not needed beyond this point: their paths move into the plan.
    Plan plan;
    plan.work_folder = work_;
    uint64_t n_mod = 0, n_add = 0, n_del = 0;
    for (size_t i = 0; i < patch.entries.size(); ++i) {
        if (states[i] != FileState::Ready)
            continue;
        Entry& e = patch.entries[i];
        Step st;
        st.id = static_cast<uint32_t>(i);
        st.new_size = e.new_size;
        st.new_hash = e.new_hash;
        st.attrs = e.attrs;
        switch (e.op) {
        case Op::Modify:
            st.kind = StepKind::Replace;
            ++n_mod;
            break;
        case Op::Add:
            st.kind = StepKind::Add;
            ++n_add;
            break;
        case Op::Delete:
            st.kind = StepKind::Delete;
            ++n_del;
            break;
        case Op::MakeDir:
            st.kind = StepKind::MakeDir;
            break;
        case Op::RemoveDir:
            st.kind = StepKind::RemoveDir;
            break;
        }
        if (e.op == Op::Add || e.op == Op::MakeDir) {
            // The folders of the path that do not exist yet, counted from the deepest up.
            size_t end = e.op == Op::Add ? e.path.rfind('/') : e.path.size();
            while (end != std::string::npos && end > 0) {
                os::Stat ds;
                os::stat(game_path(e.path.substr(0, end)), ds);
                if (ds.exists)
                    break;
                ++st.made;
                end = end == 0 ? std::string::npos : e.path.rfind('/', end - 1);
            }
        }
        st.rel = std::move(e.path);
        plan.steps.push_back(std::move(st));
    }
    std::vector<Entry>().swap(patch.entries);
    std::vector<FileState>().swap(states);
    say(kIdInfo, "Every new file is built and verified; replacing the game files.");
    // The commit names no file; the last file's full bar, repeated now and then, lets the
    // caller keep its window alive through thousands of renames.
    journal_->set_tick([this] { rep_.progress(32768); });
    std::string failure;
    CommitOutcome oc = commit_plan(
        *journal_, plan,
        [this](int id, const std::string& t) { say(static_cast<unsigned>(id), t); }, failure);
    if (oc == CommitOutcome::Committed) {
        temp_files_.clear(); // moved into the game directory
        cleanup(false);
        std::string what;
        auto add = [&](uint64_t n, const char* verb) {
            if (!n)
                return;
            what += what.empty() ? "" : ", ";
            what += plural(n, "file", "files") + " " + verb;
        };
        add(n_mod, "updated");
        add(n_add, "added");
        add(n_del, "deleted");
        if (what.empty())
            what = "folders updated";
        say(kIdSummary, "Patch applied: " + what + tail + ".");
        return kRcOk;
    }
    if (oc == CommitOutcome::NotStarted || oc == CommitOutcome::JournalFailed) {
        cleanup(false);
        say(kIdSummary, "The patch was not applied; nothing was changed.");
        return oc == CommitOutcome::NotStarted ? kRcTempDir : kRcGameDir;
    }
    if (oc == CommitOutcome::RolledBack) {
        cleanup(false);
        say(kIdSummary,
            "The patch was not applied (" + failure + "); the game directory is unchanged.");
        return kRcRolledBack;
    }
    cleanup(true);
    say(kIdSummary,
        "The patch was not applied and the game directory could not be fully restored yet; "
        "run the engine again to finish restoring it.");
    return kRcRollbackFailed;
}

} // namespace

int run_engine(const std::string& command_line, Reporter& reporter) {
    try {
        Run run(reporter);
        return run.execute(command_line);
    } catch (const std::bad_alloc&) {
        reporter.message(kIdError, "The engine ran out of memory.");
        return kRcInternal;
    } catch (const std::exception& ex) {
        reporter.message(kIdError, clip(std::string("Internal error: ") + ex.what()));
        return kRcInternal;
    }
}

} // namespace kv
