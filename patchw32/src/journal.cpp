#include "journal.h"

#include "bytes.h"
#include "paths.h"
#include "side_by_side.h"

#include <algorithm>
#include <memory>
#include <set>
#include <utility>

namespace kv {

namespace {

// Plans of version 1 belong to the earlier layout without bucket folders, which listed the
// folders the commit creates instead of counting them per step; they are still read, so that
// an interrupted run of an earlier engine is recovered.
const char kPlanMagic[8] = {'K', 'V', 'J', 'P', 'L', 'A', 'N', '2'};
const char kFlatPlanMagic[8] = {'K', 'V', 'J', 'P', 'L', 'A', 'N', '1'};
// A commit keeps its plan ("steps"), its "done" mark and its bucket folders in this folder of
// the journal. The name is the one engines before the bucket layout gave their plan file: such
// an engine, meeting an interrupted commit, can neither read the folder as a plan nor delete
// it as one, and stops before it removes anything (it would otherwise take the journal for one
// without a plan and delete the moved-aside game files in the bucket folders). The plan and
// "done" of the bucket layout before this one lay directly in the journal folder.
const char kCommitFolder[] = "plan";

bool exists(const std::string& p, os::Stat* out = nullptr) {
    os::Stat st;
    os::stat(p, st);
    if (out)
        *out = st;
    return st.exists;
}

os::Status copy_verified(const std::string& src, const std::string& dst, const Hash128& want,
                         uint64_t size) {
    os::File in, out;
    os::Status s = os::File::open_read(src, in);
    if (!s || !(s = os::File::create_new(dst, out)))
        return s;
    Hash128 got;
    s = hash_file(in, size, got,
                  [&out](const uint8_t* piece, size_t n, uint64_t) { return out.write(piece, n); });
    uint64_t actual = 0;
    if (!s || !(s = in.size(actual)))
        return s;
    if (actual != size || got != want)
        return os::Status::fail(os::ErrKind::Other,
                                "the copy of " + src + " does not match its hash");
    if (!(s = out.sync()))
        return s;
    return out.close();
}

bool file_has_hash(const std::string& path, const Hash128& want, uint64_t size) {
    os::File f;
    uint64_t actual = 0;
    Hash128 got;
    return os::File::open_read(path, f) && f.size(actual) && actual == size &&
           hash_file(f, size, got) && got == want;
}

// Removes what the engine's folders hold. The files of a folder and of its folders are removed
// side by side, then the folders, deepest first, side by side too: their order never matters
// (they are work files, or game files moved aside by a commit that is done), under Wine each
// removal waits for the server, and where the file system tells the disk at once which blocks
// are free (ext4 mounted with discard), the removal of a large file waits for the disk. The
// test hook is asked for each on the calling thread, in order, and `each` is called there once
// per removal.
class Remover {
  public:
    explicit Remover(std::function<void()> each = {}) : each_(std::move(each)) {}
    // Removes everything inside the held folder `f`, through held folders `depth` levels down.
    // Links are removed themselves and never entered. Names in `keep` (of `f` itself) stay.
    // Goes on past a failure; fails with the first one met (files before folders).
    os::Status empty(const os::Folder& f, int depth, const std::set<std::string>& keep = {});

  private:
    // A name to remove in a held folder, `level` folders below the one being emptied; a folder
    // keeps its own handle, held while it is emptied and let go just before its removal.
    struct Name {
        const os::Folder* in;
        std::string name;
        int level;
        std::unique_ptr<os::Folder> held;
    };
    // What the held folder `f` holds, through `depth` levels. Fails with the first folder that
    // could not be listed.
    os::Status collect(const os::Folder& f, int level, int depth, const std::set<std::string>& keep,
                       std::vector<Name>& files, std::vector<Name>& folders);
    os::Status remove(std::vector<Name*>& names, bool folders);
    void counted() {
        if (each_)
            each_();
    }

    std::function<void()> each_;
};

os::Status Remover::empty(const os::Folder& f, int depth, const std::set<std::string>& keep) {
    std::vector<Name> files, folders;
    os::Status result = collect(f, 0, depth, keep, files, folders);
    std::vector<Name*> now;
    for (Name& n : files)
        now.push_back(&n);
    if (os::Status s = remove(now, false); !s && result)
        result = s;
    for (int level = depth; level >= 0; --level) { // a folder after the folders in it
        now.clear();
        for (Name& n : folders)
            if (n.level == level)
                now.push_back(&n);
        if (os::Status s = remove(now, true); !s && result)
            result = s;
    }
    return result;
}

os::Status Remover::collect(const os::Folder& f, int level, int depth,
                            const std::set<std::string>& keep, std::vector<Name>& files,
                            std::vector<Name>& folders) {
    std::vector<os::DirEntry> entries;
    if (os::Status s = f.list(entries); !s)
        return s;
    os::Status result;
    for (const os::DirEntry& e : entries) {
        if (keep.count(e.name))
            continue;
        if (!e.is_dir || e.is_link) {
            files.push_back({&f, e.name, level, nullptr});
            continue;
        }
        auto sub = std::make_unique<os::Folder>();
        if (level < depth && f.open_child(e.name, *sub))
            if (os::Status inner = collect(*sub, level + 1, depth, {}, files, folders);
                !inner && result)
                result = inner;
        folders.push_back({&f, e.name, level, std::move(sub)});
    }
    return result;
}

// Where each removal waits for the disk (discard), the disk works on many side by side:
// eslint's 143 old files, best of 21 alternating, 28 ms in all with four threads, 24 ms with
// eight, 26 ms with sixteen (median 35, 32, 30 ms). Under Wine every removal waits for the
// server, which works on one at a time: four threads, as before.
#ifdef _WIN32
constexpr unsigned kRemovalThreads = 4;
#else
constexpr unsigned kRemovalThreads = 16;
#endif

os::Status Remover::remove(std::vector<Name*>& names, bool folders) {
    std::vector<os::Status> result(names.size());
    std::vector<size_t> todo;
    for (size_t i = 0; i < names.size(); ++i) {
        const Name& n = *names[i];
        if (n.held)
            n.held->close();
        if ((result[i] =
                 os::check_fault(folders ? "rmdir" : "remove", os::join(n.in->path(), n.name))))
            todo.push_back(i);
    }
    side_by_side(
        todo.size(),
        [&](size_t k) {
            const Name& n = *names[todo[k]];
            result[todo[k]] =
                folders ? n.in->remove_dir(n.name, false) : n.in->remove_file(n.name, false);
        },
        kRemovalThreads, 2);
    os::Status first;
    for (const os::Status& s : result) {
        counted();
        if (!s && first)
            first = s;
    }
    return first;
}

// Removes the plan (named `plan`), then the "done" mark, from the held folder `f` at `path`.
os::Status remove_plan_and_done(const os::Folder& f, const std::string& path, const char* plan) {
    for (const char* name : {plan, "done"})
        if (exists(os::join(path, name)))
            if (os::Status s = f.remove_file(name); !s)
                return s;
    return os::Status::success();
}

// Empties and removes the commit folder of the held journal folder `jf` at `dir`, when there
// is one: everything else first, then the plan, then "done".
os::Status remove_commit_folder(const os::Folder& jf, const std::string& dir, Remover& remover) {
    std::string path = os::join(dir, kCommitFolder);
    os::Stat cs;
    os::stat(path, cs);
    if (!cs.exists || !cs.is_dir || cs.is_link)
        return os::Status::success();
    os::Folder cf;
    os::Status s = jf.open_child(kCommitFolder, cf);
    if (s && (!(s = remover.empty(cf, 1, {"steps", "done"})) ||
              !(s = remove_plan_and_done(cf, path, "steps"))))
        return s;
    cf.close();
    return s ? jf.remove_dir(kCommitFolder) : s;
}

// Does a folder on the way to `rel` stand as a link? Nothing is undone through one.
bool leads_through_link(const Journal& j, const std::string& rel) {
    for (size_t d = 1; d <= folder_depth(rel); ++d) {
        os::Stat st;
        os::stat(j.game_path(leading_folders(rel, d)), st);
        if (st.is_link)
            return true;
    }
    return false;
}

// A plan's paths are the patch's, checked as those were: UTF-8 (or, from a patch of format
// version 1 on POSIX, bytes that may not be); a plan of version 1 holds the 8-bit names of the
// engines before, in the ANSI code page on Windows.
bool is_valid_plan_path(const std::string& rel, bool eight_bit) {
    return static_cast<bool>(check_rel_path(
        rel, eight_bit || !is_valid_utf8(rel) ? NameCoding::Native : NameCoding::Utf8));
}

bool is_number(const std::string& t, size_t from = 0) {
    return t.size() > from && t.find_first_not_of("0123456789", from) == std::string::npos;
}
bool is_bucket_name(const std::string& name) {
    return name.size() > 1 && name[0] == 'b' && is_number(name, 1);
}
// The engine's work files in a work folder: "n<number>" (engines before the commit adopted the
// work folder: "<number>.new").
bool is_work_file_name(const std::string& name) {
    size_t n = name.size();
    return (n > 1 && name[0] == 'n' && is_number(name, 1)) ||
           (n > 4 && name.compare(n - 4, 4, ".new") == 0 && is_number(name.substr(0, n - 4)));
}

} // namespace

std::string bucket_name(uint32_t id) {
    return "b" + std::to_string(id / kBucketSize);
}
std::string bucket_folder(const std::string& folder, uint32_t id) {
    return os::join(folder, bucket_name(id));
}
std::string work_file(const std::string& work_folder, uint32_t id) {
    return os::join(bucket_folder(work_folder, id), "n" + std::to_string(id));
}

Journal::Journal(std::string game_dir) : game_(std::move(game_dir)) {
    top_ = os::join(game_, kReservedTop);
    tmp_top_ = os::join(game_, kReservedTopTmp);
    dir_ = os::join(top_, kJournalName);
    base_ = os::join(dir_, kCommitFolder);
}

os::Status Journal::lock() {
    return os::Lock::acquire(game_, lock_);
}

std::optional<std::string> Journal::linked_own_folder() const {
    // Each folder, and the folders the engine keeps inside it when it is a plain folder.
    auto first_link = [](const std::vector<std::string>& chain) -> std::optional<std::string> {
        for (const std::string& p : chain) {
            os::Stat st;
            os::stat(p, st);
            if (st.exists && st.is_link)
                return p;
            if (!st.exists || !st.is_dir)
                break;
        }
        return std::nullopt;
    };
    std::string commit = os::join(dir_, kCommitFolder);
    std::optional<std::string> found = first_link({top_, dir_, os::join(dir_, "work")});
    if (!found)
        found = first_link({dir_, commit});
    if (!found)
        found = first_link({tmp_top_, os::join(tmp_top_, kJournalName)});
    for (const std::string& folder : {dir_, commit}) {
        std::vector<os::DirEntry> entries;
        if (!found && os::list_dir(folder, entries)) // nothing is listed through a link
            for (const os::DirEntry& e : entries)
                if (e.is_link && is_bucket_name(e.name))
                    return os::join(folder, e.name);
    }
    return found;
}

os::Status Journal::check_usable() const {
    os::Stat st;
    os::stat(top_, st);
    if (st.exists && (!st.is_dir || st.is_link))
        return os::Status::fail(os::ErrKind::Other, top_ + " is not a plain folder");
    return os::Status::success();
}

bool Journal::exists() const {
    return kv::exists(dir_);
}
std::string Journal::staged(uint32_t id) const {
    return os::join(flat_ ? base_ : bucket_folder(base_, id), "n" + std::to_string(id));
}
std::string Journal::moved_old(uint32_t id) const {
    return os::join(flat_ ? base_ : bucket_folder(base_, id), "o" + std::to_string(id));
}
std::string Journal::plan_file() const {
    return base_ == dir_ ? os::join(dir_, "plan") : os::join(base_, "steps");
}

os::Status Journal::make_bucket(uint32_t id) {
    if (flat_ || buckets_.count(id / kBucketSize))
        return os::Status::success();
    os::Status s = os::make_dir(bucket_folder(base_, id));
    if (s)
        buckets_.insert(id / kBucketSize);
    return s;
}

os::Status Journal::sync_before_steps() {
    // The plan's entry, the journal's own in the reserved folder and, when this run made that
    // folder, its entry in the game directory.
    std::vector<std::string> folders{dir_, top_};
    if (made_top_)
        folders.push_back(game_);
    return sync_folders(std::move(folders));
}

os::Status Journal::sync_folders(std::vector<std::string> folders) {
    for (uint32_t b : buckets_)
        folders.push_back(bucket_folder(base_, b * kBucketSize));
    folders.push_back(base_);
    // Flushed one by one, each waits for the disk (on ext4 without a journal, a write of the
    // folder and a flush of the disk's cache: the 400 folders of a patch that adds a tree
    // took 80-220 ms); one flush of the whole file system, where the system offers one that
    // reports a failed write-back, writes them all at once. A folder on another file system
    // (a mount point inside the game directory) is still flushed on its own. No order among
    // them is needed, so those are flushed side by side: the disk's cache is flushed for
    // all that wait at once (ten folders one after the other waited 15-40 ms here, side by
    // side about one flush's 2-4 ms).
    bool at_once = volume_.is_open() && folders.size() > kFewFolders;
    std::vector<std::string> each;
    for (std::string& f : folders) {
        if (at_once && volume_.shares_volume(f))
            continue;
        tick(kFlushWeight);
        // The test hook is asked here, in order; nothing is flushed after a refusal.
        if (os::Status s = os::check_fault("syncdir", f); !s)
            return s;
        each.push_back(std::move(f));
    }
    std::vector<os::Status> result(each.size());
    side_by_side(
        each.size(), [&](size_t k) { result[k] = os::sync_dir(each[k], false); }, kFlushThreads, 1);
    for (const os::Status& s : result)
        if (!s)
            return s;
    tick(kFlushWeight);
    return at_once ? volume_.sync_volume() : os::Status::success();
}

void Journal::watch_volume() {
    volume_.close();
    if (os::Folder::can_sync_volume())
        os::Folder::open(base_, volume_); // not open: each folder is flushed on its own
}
bool Journal::is_moved_old_name(const std::string& name) {
    return name.size() > 1 && name[0] == 'o' &&
           name.find_first_not_of("0123456789", 1) == std::string::npos;
}
std::string Journal::game_path(const std::string& rel) const {
    return os::join(game_, to_native(rel));
}

os::Status Journal::create() {
    os::Stat st;
    os::Status s = os::stat(top_, st);
    if (!s)
        return s;
    if (st.exists && (!st.is_dir || st.is_link))
        return os::Status::fail(
            st.is_link ? os::ErrKind::Link : os::ErrKind::Other,
            top_ + " is not a plain folder, so the engine cannot keep its journal there");
    if (st.exists) {
        if (kv::exists(dir_))
            return os::Status::fail(os::ErrKind::Exists,
                                    dir_ + " is left from an earlier run and cannot be removed");
        return os::make_dir(dir_); // flushed with the plan
    }
    // The reserved folder is missing: build it with the journal inside under a temporary name
    // and rename it into place, so that an interruption never leaves a folder behind whose
    // origin is unknown. Should that name be taken by a folder that is not the engine's, the
    // folder is built in place.
    remove_stale_top();
    bool in_place = kv::exists(tmp_top_);
    const std::string& base = in_place ? top_ : tmp_top_;
    std::string jt = os::join(base, kJournalName);
    os::File f;
    if (!(s = os::make_dir(base)) || !(s = os::make_dir(jt)) ||
        !(s = os::File::create_new(os::join(jt, "made-top"), f)) || !(s = f.close()) ||
        (!in_place && !(s = os::rename_noreplace(tmp_top_, top_)))) {
        if (in_place) {
            remove_all();
        } else {
            remove_stale_top();
        }
        return s;
    }
    made_top_ = true; // its entry in the game directory is flushed before the first step
    return os::Status::success();
}

void Journal::remove_stale_top() {
    // Only a folder made by create(): nothing in it but the journal, which holds only the
    // marker (and the lock file of older engines).
    os::Folder t, jt;
    if (!os::Folder::open(tmp_top_, t))
        return; // absent, a link or not a folder: not the engine's
    std::vector<os::DirEntry> top, inner;
    t.list(top);
    if (top.size() > 1 || (top.size() == 1 && top[0].name != kJournalName))
        return;
    if (top.size() == 1) {
        if (!t.open_child(kJournalName, jt) || !jt.list(inner))
            return;
        for (const os::DirEntry& e : inner)
            if (e.is_dir || (e.name != "made-top" && e.name != "lock"))
                return;
        for (const os::DirEntry& e : inner)
            jt.remove_file(e.name);
        jt.close();
        t.remove_dir(kJournalName);
    }
    t.close();
    os::remove_dir(tmp_top_);
}

os::Status Journal::note_temp_folder(const std::string& path) {
    os::File f;
    std::string note = os::join(dir_, "temp-folder");
    if (kv::exists(note))
        os::remove_file(note);
    os::Status s = os::File::create_new(note, f);
    if (!s || !(s = f.write(path.data(), path.size())) || !(s = f.sync()))
        return s;
    return f.close();
}

void Journal::remove_noted_temp_folder() {
    os::File f;
    uint64_t size = 0;
    std::string note = os::join(dir_, "temp-folder");
    if (!os::File::open_read(note, f) || !f.size(size) || size == 0 || size > 4096)
        return;
    std::string path(static_cast<size_t>(size), '\0');
    if (!f.read_exact_at(0, path.data(), path.size()))
        return;
    f.close();
    os::Folder w;
    std::vector<os::DirEntry> entries;
    if (!os::Folder::open(path, w) || !w.list(entries))
        return; // gone, or a link: never followed
    // Only the engine's own work files, directly in the folder (earlier engines) or in its
    // bucket folders; anything else leaves the folder alone.
    for (const os::DirEntry& e : entries) {
        if (!e.is_dir && is_work_file_name(e.name))
            continue;
        os::Folder b;
        std::vector<os::DirEntry> inner;
        if (!e.is_dir || e.is_link || !is_bucket_name(e.name) || !w.open_child(e.name, b) ||
            !b.list(inner))
            return;
        for (const os::DirEntry& i : inner)
            if (i.is_dir || !is_work_file_name(i.name))
                return;
    }
    Remover().empty(w, 1); // what stays is removed by a later run
    w.close();
    os::remove_dir(path);
}

os::Status Journal::adopt_work_folder(const std::string& work) {
    flat_ = false; // a new commit always uses the commit folder and its bucket folders
    base_ = os::join(dir_, kCommitFolder);
    buckets_.clear();
    if (work.empty() || kv::exists(base_))
        return os::Status::fail(os::ErrKind::Exists, base_ + " is there already");
    if (os::Status s = os::rename_noreplace(work, base_); !s)
        return s;
    // What arrived must be the engine's folders: a link that took the place of the work folder
    // or of one of its bucket folders, after the run let go of them, is never worked through.
    os::Folder cf;
    std::vector<os::DirEntry> entries;
    os::Status s = os::Folder::open(base_, cf);
    if (s)
        s = cf.list(entries);
    for (const os::DirEntry& e : entries) {
        if (e.is_link) {
            s = os::Status::fail(os::ErrKind::Link, os::join(base_, e.name) + " is a link");
            break;
        }
        if (e.is_dir && is_bucket_name(e.name) && e.name.size() <= 9)
            buckets_.insert(static_cast<uint32_t>(std::stoul(e.name.substr(1))));
    }
    if (!s) // whatever stands there now is never worked through
        return os::Status::fail(os::ErrKind::Link, s.text);
    if (kv::exists(os::join(dir_, "temp-folder")))
        os::remove_file(os::join(dir_, "temp-folder")); // it names nothing any more
    return os::Status::success();
}

os::Status Journal::write_plan(const Plan& p) {
    flat_ = false;
    base_ = os::join(dir_, kCommitFolder);
    std::vector<uint8_t> b;
    put_bytes(b, kPlanMagic, 8);
    put_u32(b, static_cast<uint32_t>(p.steps.size()));
    for (const Step& st : p.steps) {
        put_u8(b, static_cast<uint8_t>(st.kind));
        put_u32(b, st.id);
        put_u16(b, static_cast<uint16_t>(st.rel.size()));
        put_bytes(b, st.rel.data(), st.rel.size());
        put_u64(b, st.new_size);
        put_bytes(b, st.new_hash.b, 16);
        put_u16(b, st.made);
    }
    put_u64(b, hash64(b.data(), b.size()));
    if (b.size() > kMaxPlanBytes) // a patch within the limits never gets here
        return os::Status::fail(os::ErrKind::Other, "the plan is larger than the engine reads");
    std::string fin = plan_file(), tmp = fin + ".tmp";
    if (kv::exists(tmp))
        os::remove_file(tmp);
    os::File f;
    os::Status s = kv::exists(base_) ? os::Status::success() : os::make_dir(base_);
    if (s)
        s = os::File::create_new(tmp, f);
    if (!s || !(s = f.write(b.data(), b.size())) || !(s = f.sync()) || !(s = f.close())) {
        f.close();
        os::remove_file(tmp);
        return s;
    }
    // The plan is on disk before its name; the entries of its folders are flushed with the
    // bucket folders, before the first game file changes (sync_before_steps).
    return os::rename_noreplace(tmp, fin);
}

PlanState Journal::read_plan(Plan& p) {
    p = Plan{};
    flat_ = false;
    os::File f;
    uint64_t size = 0;
    os::Stat st;
    os::stat(os::join(dir_, kCommitFolder), st);
    base_ = st.exists && st.is_dir && !st.is_link ? os::join(dir_, kCommitFolder) : dir_;
    std::string path = plan_file();
    os::stat(path, st);
    if (!st.exists)
        return PlanState::Missing;
    if (!os::File::open_read(path, f) || !f.size(size) || size < 20 || size > kMaxPlanBytes)
        return PlanState::Damaged;
    std::vector<uint8_t> b(static_cast<size_t>(size));
    if (!f.read_exact_at(0, b.data(), b.size()))
        return PlanState::Damaged;
    bool flat = base_ == dir_ && std::equal(kFlatPlanMagic, kFlatPlanMagic + 8, b.begin());
    if ((!flat && !std::equal(kPlanMagic, kPlanMagic + 8, b.begin())) ||
        get_u64(b.data() + b.size() - 8) != hash64(b.data(), b.size() - 8))
        return PlanState::Damaged;
    ByteReader r(b.data() + 8, b.size() - 16);
    uint32_t n = r.u32();
    if (n > kMaxEntries)
        return PlanState::Damaged;
    p.steps.reserve(n);
    for (uint32_t i = 0; i < n && !r.bad(); ++i) {
        Step s;
        uint8_t kind = r.u8();
        s.kind = static_cast<StepKind>(kind);
        s.id = r.u32();
        uint16_t len = r.u16();
        if (const uint8_t* q = r.take(len))
            s.rel.assign(reinterpret_cast<const char*>(q), len);
        s.new_size = r.u64();
        if (const uint8_t* q = r.take(16))
            std::copy(q, q + 16, s.new_hash.b);
        if (!flat)
            s.made = r.u16();
        if (r.bad() || kind < 1 || kind > 5 || !is_valid_plan_path(s.rel, flat) ||
            s.made > chain_length(s))
            return PlanState::Damaged;
        if (flat)
            s.rel = os::from_ansi(s.rel);
        p.steps.push_back(std::move(s));
    }
    if (flat && !r.bad()) {
        // The earlier plan lists the folders the commit creates. They are the deepest folders
        // of the paths of the steps that create folders, so each such step counts how many of
        // its deepest folders are listed.
        uint32_t nd = r.u32();
        if (nd > kMaxEntries)
            return PlanState::Damaged;
        std::set<std::string> created;
        for (uint32_t i = 0; i < nd && !r.bad(); ++i) {
            uint16_t len = r.u16();
            const uint8_t* q = r.take(len);
            std::string d = q ? std::string(reinterpret_cast<const char*>(q), len) : "";
            if (r.bad() || !is_valid_plan_path(d, true))
                return PlanState::Damaged;
            created.insert(fold_case(os::from_ansi(d)));
        }
        for (Step& s : p.steps) {
            if (s.kind != StepKind::Add && s.kind != StepKind::MakeDir)
                continue;
            size_t n = chain_length(s);
            while (s.made < n && created.count(fold_case(chain_folder(s, n - s.made))))
                ++s.made;
        }
    }
    if (r.bad() || r.left() != 0)
        return PlanState::Damaged;
    flat_ = flat;
    return PlanState::Ok;
}

bool Journal::is_done() const {
    return kv::exists(os::join(base_, "done"));
}

os::Status Journal::mark_done() {
    os::File f;
    os::Status s = os::File::create_new(os::join(base_, "done"), f);
    if (!s)
        return s;
    // The mark and its entry, flushed side by side: the mark counts once both are on disk.
    os::Status flushed[2] = {os::check_fault("sync", f.path()), os::Status::success()};
    if (flushed[0])
        flushed[1] = os::check_fault("syncdir", base_);
    if (flushed[0] && flushed[1])
        side_by_side(
            2, [&](size_t k) { flushed[k] = k ? os::sync_dir(base_, false) : f.sync(false); }, 2,
            1);
    for (const os::Status& r : flushed)
        if (!r)
            return r;
    return f.close();
}

bool Journal::holds_moved_files() const {
    os::Folder top, jf;
    if (!os::Folder::open(top_, top) || !top.open_child(kJournalName, jf))
        return true; // cannot tell
    return holds_moved_old(jf, 2);
}

bool Journal::holds_moved_old(const os::Folder& f, int depth) {
    std::vector<os::DirEntry> entries;
    if (!f.list(entries))
        return true; // cannot tell
    for (const os::DirEntry& e : entries) {
        if (is_moved_old_name(e.name))
            return true;
        os::Folder sub;
        if (e.is_dir && !e.is_link && depth > 0 &&
            (!f.open_child(e.name, sub) || holds_moved_old(sub, depth - 1)))
            return true;
    }
    return false;
}

os::Status Journal::remove_all(bool old_files_unneeded) {
    volume_.close();
    os::Folder top, jf;
    os::Status s = os::Folder::open(top_, top);
    if (s)
        s = top.open_child(kJournalName, jf);
    std::vector<os::DirEntry> entries;
    if (s)
        s = jf.list(entries);
    if (!s)
        return s;
    bool made_top = false;
    for (const os::DirEntry& e : entries)
        made_top = made_top || e.name == "made-top";
    // Searched as deep as the folder is emptied below.
    if (!old_files_unneeded && holds_moved_old(jf, 2))
        return os::Status::fail(os::ErrKind::Other,
                                dir_ + " still holds game files that were moved aside");
    // Everything else first, then the plan, then the "done" mark (then the commit folder):
    // an interruption anywhere in between leaves a journal that the next run finishes the same
    // way.
    Remover remover([this] { tick(); });
    if (!(s = remover.empty(jf, 2, {kCommitFolder, "done", "made-top"})) ||
        !(s = remove_commit_folder(jf, dir_, remover)) ||
        !(s = remove_plan_and_done(jf, dir_, "plan")))
        return s;
    std::vector<os::DirEntry> in_top;
    if (made_top && top.list(in_top) && in_top.size() == 1) {
        // Created by this engine and holding nothing but the journal: move it out of the way
        // whole (one step) and then take it apart. Should the temporary name be taken by a
        // folder that is not the engine's, it is taken apart in place.
        jf.close();
        top.close();
        if (!kv::exists(tmp_top_)) {
            if (!(s = os::rename_noreplace(top_, tmp_top_)))
                return s;
            remove_stale_top();
            if (kv::exists(tmp_top_))
                return os::Status::fail(os::ErrKind::Other, "cannot remove " + tmp_top_);
            return os::Status::success();
        }
        if (!(s = os::Folder::open(top_, top)) || !(s = top.open_child(kJournalName, jf)) ||
            !(s = jf.remove_file("made-top"))) {
            return s;
        }
        jf.close();
        if (!(s = top.remove_dir(kJournalName)))
            return s;
        top.close();
        if (!(s = os::remove_dir(top_)))
            return s;
        return os::Status::success();
    }
    if (made_top && !(s = jf.remove_file("made-top")))
        return s;
    jf.close();
    if (!(s = top.remove_dir(kJournalName)))
        return s;
    return os::Status::success();
}

namespace {

// Creates the folders of a step that the plan records as the commit's, top down. Their
// parents are flushed with the other changed folders before "done".
os::Status make_step_folders(Journal& j, const Step& st) {
    size_t n = chain_length(st);
    for (size_t d = n - st.made + 1; d <= n; ++d) {
        std::string rel = chain_folder(st, d);
        if (j.made_folders.count(rel) || exists(j.game_path(rel)))
            continue;
        if (os::Status s = os::make_dir(j.game_path(rel)); !s)
            return s;
        j.made_folders.insert(std::move(rel));
    }
    return os::Status::success();
}

// The folders whose entries a step may change: the parent of its path, and the parents of
// the folders it creates.
void note_changed_folders(const Step& st, std::set<std::string>& touched) {
    touched.insert(parent_rel(st.rel));
    size_t n = chain_length(st);
    for (size_t d = n - st.made + 1; d <= n; ++d)
        touched.insert(parent_rel(chain_folder(st, d)));
}

// Brings every verified new file onto the game's volume, into the journal, unless the work
// folder came whole (`adopted`: only their attributes are set). After the work folder could
// not be moved to another volume, each file is copied straight away. Nothing in the game has
// changed yet when this fails; the failure says which file could not be brought.
os::Status stage_new_files(Journal& j, const Plan& plan, const os::Status& adopted) {
    for (const Step& st : plan.steps) {
        if (st.kind != StepKind::Replace && st.kind != StepKind::Add)
            continue;
        j.tick();
        std::string dst = j.staged(st.id);
        std::string temp = work_file(plan.work_folder, st.id);
        os::Status s = adopted;
        if (!adopted && (s = j.make_bucket(st.id))) {
            bool other_volume = adopted.kind == os::ErrKind::CrossDevice;
            if (!other_volume)
                other_volume =
                    !(s = os::rename_noreplace(temp, dst)) && s.kind == os::ErrKind::CrossDevice;
            if (other_volume && (s = copy_verified(temp, dst, st.new_hash, st.new_size)))
                os::remove_file(temp);
        }
        if (s && st.attrs)
            s = os::set_attrs(dst, st.attrs);
        if (!s)
            return os::Status::fail(s.kind, (s.kind == os::ErrKind::NoSpace
                                                 ? "not enough space on the game's drive for "
                                                 : "cannot copy onto the game's drive ") +
                                                std::string("the new ") + shown(st.rel) + ": " +
                                                s.text);
    }
    return os::Status::success();
}

// A replacement: the game file moved aside, then the new file put in place. `aside` and `in`
// are the test hook's answers for the two renames, asked by the caller (this may run on a
// thread of its own). The failure says what could not be done.
os::Status replace(const Journal& j, const Step& st, os::Status aside, os::Status in) {
    std::string game = j.game_path(st.rel);
    if (aside)
        aside = os::rename_noreplace(game, j.moved_old(st.id), false);
    if (!aside)
        return os::Status::fail(aside.kind,
                                "cannot move " + shown(st.rel) + " aside: " + aside.text);
    if (in)
        in = os::rename_noreplace(j.staged(st.id), game, false);
    if (!in)
        return os::Status::fail(in.kind,
                                "cannot put the new " + shown(st.rel) + " in place: " + in.text);
    return os::Status::success();
}

// The test hook's answers for the two renames of a replacement, in the order they are made.
std::pair<os::Status, os::Status> ask_replace(const Journal& j, const Step& st) {
    os::Status aside = os::check_fault("rename", j.game_path(st.rel));
    return {aside, aside ? os::check_fault("rename", j.staged(st.id)) : os::Status::success()};
}

// Carries out one step in the game directory; the failure says what could not be done.
os::Status carry_out(Journal& j, const Step& st, const Say& say) {
    std::string game = j.game_path(st.rel);
    os::Status s;
    auto failed = [&s](const std::string& what) {
        return os::Status::fail(s.kind, what + ": " + s.text);
    };
    switch (st.kind) {
    case StepKind::Replace: {
        auto [aside, in] = ask_replace(j, st);
        return replace(j, st, aside, in);
    }
    case StepKind::Add:
        if (!(s = make_step_folders(j, st)))
            return failed("cannot create the folders of " + shown(st.rel));
        if (!(s = os::rename_noreplace(j.staged(st.id), game)))
            return failed("cannot put the new " + shown(st.rel) + " in place");
        break;
    case StepKind::Delete:
        if (!(s = os::rename_noreplace(game, j.moved_old(st.id))))
            return failed("cannot remove " + shown(st.rel));
        break;
    case StepKind::MakeDir:
        if (!(s = make_step_folders(j, st)))
            return failed("cannot create the folder " + shown(st.rel));
        break;
    case StepKind::RemoveDir:
        j.made_folders.clear(); // which of them are still there is looked at again
        if (!(s = os::remove_dir(game))) {
            if (s.kind != os::ErrKind::NotEmpty)
                return failed("cannot remove the folder " + shown(st.rel));
            say(CallbackId::Warning,
                "The folder " + shown(st.rel) + " still holds other files and was kept.");
        }
        break;
    }
    return os::Status::success();
}

// Replacements, each of which touches only its own game file and work files, are carried out
// side by side in runs of up to this many (under Wine every rename waits for the server).
constexpr size_t kReplaceRun = 256;

// The steps carried out in plan order, adding the parent folders of their paths to `touched`:
// runs of replacements side by side, any other step once the steps before it are done. The test
// hook is asked for every step on this thread, in plan order. After a failure no further step
// starts; fails with the failure of the first step that failed, once every started step ended.
os::Status carry_out_steps(Journal& j, const Plan& plan, const Say& say,
                           std::set<std::string>& touched) {
    std::vector<os::Status> result(plan.steps.size());
    std::vector<std::pair<os::Status, os::Status>> answers;
    bool failed = false;
    for (size_t i = 0; i < plan.steps.size() && !failed;) {
        const Step& st = plan.steps[i];
        j.tick();
        note_changed_folders(st, touched);
        if (st.kind != StepKind::Replace) {
            failed = !(result[i] = carry_out(j, st, say));
            ++i;
            continue;
        }
        // A run of replacements: the hook's answers for all of them first, then the renames.
        answers.assign(1, ask_replace(j, st));
        while (answers.back().first && answers.back().second && answers.size() < kReplaceRun &&
               i + answers.size() < plan.steps.size() &&
               plan.steps[i + answers.size()].kind == StepKind::Replace) {
            const Step& next = plan.steps[i + answers.size()];
            j.tick();
            note_changed_folders(next, touched);
            answers.push_back(ask_replace(j, next));
        }
        side_by_side(answers.size(), [&](size_t k) {
            result[i + k] = replace(j, plan.steps[i + k], answers[k].first, answers[k].second);
        });
        for (size_t k = 0; k < answers.size(); ++k)
            failed = failed || !result[i + k];
        i += answers.size();
    }
    for (const os::Status& r : result)
        if (!r)
            return r;
    return os::Status::success();
}

// The steps carried out, then the folders they changed and the journal made durable and the
// commit marked done.
os::Status carry_out_plan(Journal& j, const Plan& plan, const Say& say) {
    os::Status s;
    j.watch_volume();
    for (const Step& st : plan.steps)
        if (st.kind == StepKind::Delete && !(s = j.make_bucket(st.id)))
            return os::Status::fail(s.kind, "cannot make a work folder: " + s.text);
    if (!(s = j.sync_before_steps()))
        return s;
    std::set<std::string> touched;
    if (!(s = carry_out_steps(j, plan, say, touched)))
        return s;
    std::vector<std::string> changed;
    for (const std::string& d : touched) {
        std::string path = d.empty() ? j.game_dir() : j.game_path(d);
        if (exists(path))
            changed.push_back(std::move(path));
    }
    if (!(s = j.sync_folders(changed)) || !(s = j.mark_done()))
        return os::Status::fail(s.kind, "cannot record the finished commit: " + s.text);
    return os::Status::success();
}

// A commit that failed after the game was touched: everything undone, and said so.
CommitResult roll_back_commit(Journal& j, const Plan& plan, const Say& say,
                              const std::string& failure) {
    say(CallbackId::Error, "Commit failed: " + failure + ".");
    say(CallbackId::Warning, "Rolling back: restoring every file this run had changed.");
    if (roll_back(j, plan, say)) {
        say(CallbackId::Info,
            "Rollback complete: the game directory is exactly as it was before this run.");
        return {CommitOutcome::RolledBack, failure};
    }
    say(CallbackId::Error,
        "Rollback incomplete. The game directory will be restored by the next run of the "
        "patch engine on it; the journal is kept in " +
            shorten_middle(j.dir(), 100) + ".");
    return {CommitOutcome::RollbackFailed, failure};
}

} // namespace

CommitResult commit_plan(Journal& j, Plan& plan, const Say& say) {
    // The new files arrive in one rename when the work folder is on the game's volume.
    os::Status adopted = j.adopt_work_folder(plan.work_folder);
    os::Status s = adopted.kind == os::ErrKind::Link ? adopted : j.write_plan(plan);
    if (!s) {
        std::string failure = "cannot write the commit journal: " + s.text;
        say(CallbackId::Error,
            (s.kind == os::ErrKind::NoSpace
                 ? "Not enough space on the game's drive for the commit journal: "
                 : "Could not start the commit: ") +
                failure + ".");
        return {s.kind == os::ErrKind::NoSpace ? CommitOutcome::NotStarted
                                               : CommitOutcome::JournalFailed,
                failure};
    }
    if (!(s = stage_new_files(j, plan, adopted))) {
        // Nothing in the game has changed yet: say so plainly rather than roll back.
        std::string text = s.text;
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
        say(CallbackId::Error, text + ".");
        Say quiet = [](CallbackId, const std::string&) {};
        if (roll_back(j, plan, quiet))
            return {CommitOutcome::NotStarted, s.text};
        return roll_back_commit(j, plan, say, s.text);
    }
    if (!(s = carry_out_plan(j, plan, say)))
        return roll_back_commit(j, plan, say, s.text);
    return {CommitOutcome::Committed, {}};
}

bool roll_back(Journal& j, const Plan& plan, const Say& say) {
    bool ok = true;
    auto note = [&](const os::Status& s) {
        if (!s) {
            say(CallbackId::Error, "Rollback step failed: " + s.text + ".");
            ok = false;
        }
    };
    for (auto it = plan.steps.rbegin(); it != plan.steps.rend(); ++it) {
        const Step& st = *it;
        std::string game = j.game_path(st.rel);
        os::Stat gs;
        os::stat(game, gs);
        if ((gs.exists && gs.is_link) || leads_through_link(j, st.rel)) {
            say(CallbackId::Error,
                "Cannot restore " + shown(st.rel) + ": a link stands in its place or on its way.");
            ok = false;
            continue;
        }
        switch (st.kind) {
        case StepKind::Replace:
            if (exists(j.moved_old(st.id))) {
                os::Status r;
                if (gs.exists)
                    r = os::remove_file(game); // the new file, put there by this commit
                if (r)
                    r = os::rename_noreplace(j.moved_old(st.id), game);
                note(r);
            }
            break;
        case StepKind::Add:
            if (gs.exists && !exists(j.staged(st.id))) {
                if (gs.is_file && file_has_hash(game, st.new_hash, st.new_size))
                    note(os::remove_file(game));
                else
                    say(CallbackId::Warning,
                        "Kept " + shown(st.rel) + ": it is not the file this patch added.");
            }
            break;
        case StepKind::Delete:
            if (exists(j.moved_old(st.id))) {
                if (gs.exists) {
                    say(CallbackId::Error,
                        "Cannot restore " + shown(st.rel) + ": something else is in its place.");
                    ok = false;
                } else {
                    note(os::rename_noreplace(j.moved_old(st.id), game));
                }
            }
            break;
        case StepKind::RemoveDir:
            if (!gs.exists)
                note(os::make_dir(game));
            break;
        case StepKind::MakeDir:
            break; // with the created folders below
        }
    }
    // The folders the commit created, deepest first over all steps (several steps may record
    // the same folder; the first removal takes it).
    size_t deepest = 0;
    for (const Step& st : plan.steps)
        deepest = std::max(deepest, st.made ? chain_length(st) : 0);
    for (size_t d = deepest; d >= 1; --d) {
        for (auto it = plan.steps.rbegin(); it != plan.steps.rend(); ++it) {
            size_t n = chain_length(*it);
            if (it->made == 0 || d > n || d <= n - it->made)
                continue;
            std::string path = j.game_path(chain_folder(*it, d));
            os::Stat ds;
            os::stat(path, ds);
            if (ds.exists && ds.is_dir && !ds.is_link)
                note(os::remove_dir(path));
        }
    }
    return ok;
}

RecoveryOutcome recover(Journal& j, const Say& say) {
    if (!j.exists())
        return RecoveryOutcome::Nothing;
    j.remove_noted_temp_folder();
    Plan plan;
    PlanState ps = j.read_plan(plan);
    bool done = j.is_done();
    RecoveryOutcome outcome;
    if (ps == PlanState::Ok && !done) {
        say(CallbackId::Warning,
            "An interrupted patch run was found; restoring the files it had changed.");
        if (!roll_back(j, plan, say)) {
            say(CallbackId::Error,
                "Could not restore the game directory after the interrupted patch run. Free "
                "the files named above and run the engine again.");
            return RecoveryOutcome::Failed;
        }
        outcome = RecoveryOutcome::RolledBack;
    } else if (ps == PlanState::Ok) {
        say(CallbackId::Warning,
            "An interrupted patch run had already put all its files in place; finishing it.");
        outcome = RecoveryOutcome::RolledForward;
    } else {
        outcome = done ? RecoveryOutcome::RolledForward : RecoveryOutcome::Cleaned;
    }
    // Game files moved aside go only when a complete commit proves them unneeded.
    if (!done && (ps == PlanState::Damaged || j.holds_moved_files())) {
        say(CallbackId::Error,
            "An interrupted patch run left game files it had moved aside in " +
                printable(j.dir(), 80) +
                ", but no readable plan says where they belong. Nothing was changed.");
        say(CallbackId::Error,
            "Keep that folder: restore the game from a backup or by reinstalling it, then "
            "delete the folder.");
        return RecoveryOutcome::Unprovable;
    }
    if (os::Status s = j.remove_all(done); !s) {
        say(CallbackId::Warning,
            "The work files of an interrupted patch run could not all be removed yet (" + s.text +
                "); the next run removes them.");
        return outcome;
    }
    if (outcome == RecoveryOutcome::RolledBack)
        say(CallbackId::Info,
            "Recovered: the game directory is back to its state before the interrupted run.");
    else if (outcome == RecoveryOutcome::RolledForward)
        say(CallbackId::Info, "Recovered: the interrupted patch run is complete.");
    else
        say(CallbackId::Info,
            "Removed the work files of an interrupted patch run; no game file had been changed.");
    return outcome;
}

} // namespace kv
