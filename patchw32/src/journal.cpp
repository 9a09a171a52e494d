#include "journal.h"

#include "bytes.h"
#include "paths.h"

#include <algorithm>
#include <set>

namespace kv {

namespace {

// Plans of version 1 belong to the earlier layout without bucket folders; they are still
// read, so that an interrupted run of an earlier engine is recovered.
const char kPlanMagic[8] = {'K', 'V', 'J', 'P', 'L', 'A', 'N', '2'};
const char kFlatPlanMagic[8] = {'K', 'V', 'J', 'P', 'L', 'A', 'N', '1'};

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
    Hasher h;
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t pos = 0; pos < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
        if (!(s = in.read_exact_at(pos, buf.data(), n)) || !(s = out.write(buf.data(), n)))
            return s;
        h.update(buf.data(), n);
        pos += n;
    }
    uint64_t actual = 0;
    if (!(s = in.size(actual)))
        return s;
    if (actual != size || h.digest() != want)
        return os::Status::fail(os::ErrKind::Other,
                                "the copy of " + src + " does not match its hash");
    if (!(s = out.sync()))
        return s;
    return out.close();
}

bool file_has_hash(const std::string& path, const Hash128& want, uint64_t size) {
    os::File f;
    uint64_t actual = 0;
    if (!os::File::open_read(path, f) || !f.size(actual) || actual != size)
        return false;
    Hasher h;
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t pos = 0; pos < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
        if (!f.read_exact_at(pos, buf.data(), n))
            return false;
        h.update(buf.data(), n);
        pos += n;
    }
    return h.digest() == want;
}

std::string shown(const std::string& rel) {
    return shorten_middle(to_native(rel), 150);
}

bool is_number(const std::string& t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
}

// True when the folder holds nothing but the engine's work files "<number>.new", directly
// (the earlier layout) or in bucket folders "b<number>" (`depth` levels of them).
bool holds_only_work_files(const std::string& folder, int depth) {
    std::vector<os::DirEntry> entries;
    if (!os::list_dir(folder, entries))
        return false;
    for (const os::DirEntry& e : entries) {
        size_t n = e.name.size();
        if (e.is_dir && !e.is_link && depth > 0 && e.name[0] == 'b' && is_number(e.name.substr(1))) {
            if (!holds_only_work_files(os::join(folder, e.name), depth - 1))
                return false;
        } else if (e.is_dir || n <= 4 || e.name.compare(n - 4, 4, ".new") != 0 ||
                   !is_number(e.name.substr(0, n - 4))) {
            return false;
        }
    }
    return true;
}

// Removes a folder of the engine's work files, with the bucket folders in it; `each` is
// called for every file removed.
os::Status remove_work_folder(const std::string& path, int depth,
                              const std::function<void()>& each = [] {}) {
    std::vector<os::DirEntry> inner;
    os::list_dir(path, inner);
    os::Status first;
    for (const os::DirEntry& i : inner) {
        std::string p = os::join(path, i.name);
        os::Status r = i.is_dir && !i.is_link && depth > 0
                           ? remove_work_folder(p, depth - 1, each)
                           : os::remove_file(p);
        each();
        if (!r && first)
            first = r;
    }
    os::Status r = os::remove_dir(path);
    return first ? r : first;
}

} // namespace

std::string bucket_folder(const std::string& folder, uint32_t id) {
    return os::join(folder, "b" + std::to_string(id / kBucketSize));
}

Journal::Journal(std::string game_dir) : game_(std::move(game_dir)) {
    top_ = os::join(game_, kReservedTop);
    tmp_top_ = os::join(game_, std::string(kReservedTop) + ".kelvane-tmp");
    dir_ = os::join(top_, kJournalName);
}

bool Journal::exists() const {
    return kv::exists(dir_);
}
std::string Journal::staged(uint32_t id) const {
    return os::join(flat_ ? dir_ : bucket_folder(dir_, id), "n" + std::to_string(id));
}
std::string Journal::moved_old(uint32_t id) const {
    return os::join(flat_ ? dir_ : bucket_folder(dir_, id), "o" + std::to_string(id));
}

os::Status Journal::make_bucket(uint32_t id) {
    if (flat_ || !buckets_.insert(id / kBucketSize).second)
        return os::Status::success();
    os::Status s = os::make_dir(bucket_folder(dir_, id));
    if (!s && s.kind != os::ErrKind::Exists) {
        buckets_.erase(id / kBucketSize);
        return s;
    }
    return os::Status::success();
}

os::Status Journal::sync_buckets() {
    for (uint32_t b : buckets_)
        if (os::Status s = os::sync_dir(bucket_folder(dir_, b * kBucketSize)); !s)
            return s;
    return os::sync_dir(dir_);
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
            os::ErrKind::Other,
            top_ + " is not a plain folder, so the engine cannot keep its journal there");
    if (st.exists) {
        if (!(s = os::make_dir(dir_)))
            return s;
    } else {
        // The reserved folder is missing: build it with the journal inside under a temporary
        // name and rename it into place, so that an interruption never leaves a folder behind
        // whose origin is unknown.
        remove_stale_top();
        std::string jt = os::join(tmp_top_, kJournalName);
        os::File f;
        if (!(s = os::make_dir(tmp_top_)) || !(s = os::make_dir(jt)) ||
            !(s = os::File::create_new(os::join(jt, "made-top"), f)) || !(s = f.close()) ||
            !(s = os::rename_noreplace(tmp_top_, top_))) {
            remove_stale_top();
            return s;
        }
    }
    if (!(s = lock())) {
        std::string why;
        remove_all(why);
        return s;
    }
    return os::Status::success();
}

void Journal::remove_stale_top() {
    if (!kv::exists(tmp_top_))
        return;
    std::vector<os::DirEntry> top, inner;
    os::list_dir(tmp_top_, top);
    if (top.size() > 1 || (top.size() == 1 && top[0].name != kJournalName))
        return; // not ours
    std::string jt = os::join(tmp_top_, kJournalName);
    os::list_dir(jt, inner);
    for (const os::DirEntry& e : inner)
        os::remove_file(os::join(jt, e.name));
    os::remove_dir(jt);
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
    if (holds_only_work_files(path, 1))
        remove_work_folder(path, 1);
}

os::Status Journal::lock() {
    return os::Lock::acquire(os::join(dir_, "lock"), lock_);
}

os::Status Journal::write_plan(const Plan& p) {
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
    }
    put_u32(b, static_cast<uint32_t>(p.created_dirs.size()));
    for (const std::string& d : p.created_dirs) {
        put_u16(b, static_cast<uint16_t>(d.size()));
        put_bytes(b, d.data(), d.size());
    }
    put_u64(b, hash64(b.data(), b.size()));
    std::string tmp = os::join(dir_, "plan.tmp"), fin = os::join(dir_, "plan");
    if (kv::exists(tmp))
        os::remove_file(tmp);
    os::File f;
    os::Status s = os::File::create_new(tmp, f);
    if (!s || !(s = f.write(b.data(), b.size())) || !(s = f.sync()) || !(s = f.close()))
        return s;
    if (!(s = os::rename_noreplace(tmp, fin)))
        return s;
    return os::sync_dir(dir_);
}

bool Journal::read_plan(Plan& p) {
    p = Plan{};
    os::File f;
    uint64_t size = 0;
    if (!os::File::open_read(os::join(dir_, "plan"), f) || !f.size(size) || size < 20 ||
        size > (256u << 20))
        return false;
    std::vector<uint8_t> b(static_cast<size_t>(size));
    if (!f.read_exact_at(0, b.data(), b.size()))
        return false;
    bool flat = std::equal(kFlatPlanMagic, kFlatPlanMagic + 8, b.begin());
    if ((!flat && !std::equal(kPlanMagic, kPlanMagic + 8, b.begin())) ||
        get_u64(b.data() + b.size() - 8) != hash64(b.data(), b.size() - 8))
        return false;
    flat_ = flat;
    ByteReader r(b.data() + 8, b.size() - 16);
    uint32_t n = r.u32();
    for (uint32_t i = 0; i < n && !r.bad(); ++i) {
        Step st;
        st.kind = static_cast<StepKind>(r.u8());
        st.id = r.u32();
        uint16_t len = r.u16();
        if (const uint8_t* q = r.take(len))
            st.rel.assign(reinterpret_cast<const char*>(q), len);
        st.new_size = r.u64();
        if (const uint8_t* q = r.take(16))
            std::copy(q, q + 16, st.new_hash.b);
        if (!check_rel_path(st.rel).empty())
            return false;
        p.steps.push_back(std::move(st));
    }
    uint32_t nd = r.u32();
    for (uint32_t i = 0; i < nd && !r.bad(); ++i) {
        uint16_t len = r.u16();
        std::string d;
        if (const uint8_t* q = r.take(len))
            d.assign(reinterpret_cast<const char*>(q), len);
        if (!check_rel_path(d).empty())
            return false;
        p.created_dirs.push_back(std::move(d));
    }
    return !r.bad() && r.left() == 0;
}

bool Journal::is_done() const {
    return kv::exists(os::join(dir_, "done"));
}

os::Status Journal::mark_done() {
    os::File f;
    os::Status s = os::File::create_new(os::join(dir_, "done"), f);
    if (!s || !(s = f.sync()) || !(s = f.close()))
        return s;
    return os::sync_dir(dir_);
}

bool Journal::remove_all(std::string& why) {
    bool made_top = kv::exists(os::join(dir_, "made-top"));
    // The plan goes first: without it nothing left here can ever be restored.
    std::string plan = os::join(dir_, "plan");
    if (kv::exists(plan)) {
        os::Status s = os::remove_file(plan);
        if (!s) {
            why = s.text;
            return false;
        }
    }
    std::vector<os::DirEntry> entries;
    os::Status s = os::list_dir(dir_, entries);
    if (!s) {
        why = s.text;
        return false;
    }
    // "done" goes last, so an interruption here is finished by the next run.
    std::stable_partition(entries.begin(), entries.end(),
                          [](const os::DirEntry& e) { return e.name != "done"; });
    bool ok = true;
    for (const os::DirEntry& e : entries) {
        if (e.name == "lock" || e.name == "made-top")
            continue;
        std::string p = os::join(dir_, e.name);
        if (e.is_dir && !e.is_link) {
            // A bucket folder, or the work folder with its own bucket folders.
            s = remove_work_folder(p, 1, [this] { tick(); });
        } else {
            s = os::remove_file(p);
        }
        if (!s && ok) {
            why = s.text;
            ok = false;
        }
    }
    if (!ok)
        return false;
    if (made_top) {
        // Created by this engine: when it holds nothing but the journal, move it out of the
        // way whole (one atomic step) and then take it apart.
        std::vector<os::DirEntry> in_top;
        os::list_dir(top_, in_top);
        lock_.release();
        if (in_top.size() == 1 && in_top[0].name == kJournalName) {
            if (!(s = os::rename_noreplace(top_, tmp_top_))) {
                why = s.text;
                return false;
            }
            remove_stale_top();
            if (kv::exists(tmp_top_)) {
                why = "cannot remove " + tmp_top_;
                return false;
            }
            return true;
        }
        if (!(s = os::remove_file(os::join(dir_, "made-top")))) {
            why = s.text;
            return false;
        }
    }
    lock_.release();
    if (!(s = os::remove_dir(dir_))) {
        why = s.text;
        return false;
    }
    return true;
}

CommitOutcome commit_plan(Journal& j, Plan& plan, const Say& say, std::string& failure) {
    os::Status s = j.write_plan(plan);
    if (!s) {
        failure = "cannot write the commit journal: " + s.text;
        say(3, "Could not start the commit: " + failure + ".");
        return CommitOutcome::RolledBack; // no game file touched
    }
    auto fail = [&](const std::string& what) {
        failure = what;
        say(3, "Commit failed: " + what + ".");
        say(2, "Rolling back: restoring every file this run had changed.");
        if (roll_back(j, plan, say)) {
            say(1, "Rollback complete: the game directory is exactly as it was before this run.");
            return CommitOutcome::RolledBack;
        }
        say(3, "Rollback incomplete. The game directory will be restored by the next run of the "
               "patch engine on it; the journal is kept in " +
                   shorten_middle(j.dir(), 100) + ".");
        return CommitOutcome::RollbackFailed;
    };
    // Bring every verified new file onto the game's volume.
    for (const Step& st : plan.steps) {
        if (st.kind != StepKind::Replace && st.kind != StepKind::Add)
            continue;
        j.tick();
        std::string dst = j.staged(st.id);
        s = j.make_bucket(st.id);
        if (s)
            s = os::rename_noreplace(st.temp_path, dst);
        if (!s && s.kind == os::ErrKind::CrossDevice) {
            s = copy_verified(st.temp_path, dst, st.new_hash, st.new_size);
            if (s)
                os::remove_file(st.temp_path);
        }
        if (s && st.attrs)
            s = os::set_attrs(dst, st.attrs);
        if (!s) {
            // Nothing in the game has changed yet: say so plainly rather than roll back.
            failure = (s.kind == os::ErrKind::NoSpace ? "not enough space on the game's drive for "
                                                      : "cannot copy onto the game's drive ") +
                      std::string("the new ") + shown(st.rel) + ": " + s.text;
            std::string text = failure;
            text[0] = static_cast<char>(text[0] - 'a' + 'A');
            say(3, text + ".");
            Say quiet = [](int, const std::string&) {};
            if (roll_back(j, plan, quiet))
                return CommitOutcome::NotStarted;
            return fail(failure);
        }
    }
    for (const Step& st : plan.steps)
        if (st.kind == StepKind::Delete && !(s = j.make_bucket(st.id)))
            return fail("cannot make a work folder: " + s.text);
    if (!(s = j.sync_buckets()))
        return fail(s.text);
    std::set<std::string> touched;
    for (const Step& st : plan.steps) {
        j.tick();
        std::string game = j.game_path(st.rel);
        switch (st.kind) {
        case StepKind::Replace:
            if (!(s = os::rename_noreplace(game, j.moved_old(st.id))))
                return fail("cannot move " + shown(st.rel) + " aside: " + s.text);
            if (!(s = os::rename_noreplace(j.staged(st.id), game)))
                return fail("cannot put the new " + shown(st.rel) + " in place: " + s.text);
            break;
        case StepKind::Add: {
            std::string sofar;
            std::vector<std::string> parts = split_rel(st.rel);
            for (size_t i = 0; i + 1 < parts.size(); ++i) {
                sofar = sofar.empty() ? parts[i] : sofar + "/" + parts[i];
                if (!exists(j.game_path(sofar)) && !(s = os::make_dir(j.game_path(sofar))))
                    return fail("cannot create the folder " + shown(sofar) + ": " + s.text);
            }
            if (!(s = os::rename_noreplace(j.staged(st.id), game)))
                return fail("cannot put the new " + shown(st.rel) + " in place: " + s.text);
            break;
        }
        case StepKind::Delete:
            if (!(s = os::rename_noreplace(game, j.moved_old(st.id))))
                return fail("cannot remove " + shown(st.rel) + ": " + s.text);
            break;
        case StepKind::MakeDir:
            if (!exists(game) && !(s = os::make_dir(game)))
                return fail("cannot create the folder " + shown(st.rel) + ": " + s.text);
            break;
        case StepKind::RemoveDir:
            if (!(s = os::remove_dir(game))) {
                if (s.kind != os::ErrKind::NotEmpty)
                    return fail("cannot remove the folder " + shown(st.rel) + ": " + s.text);
                say(2, "The folder " + shown(st.rel) + " still holds other files and was kept.");
            }
            break;
        }
        touched.insert(parent_rel(st.rel));
    }
    for (const std::string& d : touched) {
        std::string path = d.empty() ? j.game_dir() : j.game_path(d);
        if (exists(path) && !(s = os::sync_dir(path)))
            return fail(s.text);
    }
    if (!(s = j.sync_buckets()) || !(s = j.mark_done()))
        return fail("cannot record the finished commit: " + s.text);
    return CommitOutcome::Committed;
}

bool roll_back(Journal& j, const Plan& plan, const Say& say) {
    bool ok = true;
    auto note = [&](const os::Status& s) {
        if (!s) {
            say(3, "Rollback step failed: " + s.text + ".");
            ok = false;
        }
    };
    for (auto it = plan.steps.rbegin(); it != plan.steps.rend(); ++it) {
        const Step& st = *it;
        std::string game = j.game_path(st.rel);
        os::Stat gs;
        os::stat(game, gs);
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
                    say(2, "Kept " + shown(st.rel) + ": it is not the file this patch added.");
            }
            break;
        case StepKind::Delete:
            if (exists(j.moved_old(st.id))) {
                if (gs.exists) {
                    say(3, "Cannot restore " + shown(st.rel) + ": something else is in its place.");
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
            break; // among created_dirs
        }
    }
    for (auto it = plan.created_dirs.rbegin(); it != plan.created_dirs.rend(); ++it) {
        os::Stat ds;
        os::stat(j.game_path(*it), ds);
        if (ds.exists && ds.is_dir)
            note(os::remove_dir(j.game_path(*it)));
    }
    return ok;
}

RecoveryOutcome recover(Journal& j, const Say& say) {
    if (!j.exists())
        return RecoveryOutcome::Nothing;
    os::Status s = j.lock();
    if (!s) {
        if (s.kind == os::ErrKind::Busy) {
            say(3, "Another patch run is working on this game directory. Try again when it has "
                   "finished.");
            return RecoveryOutcome::Busy;
        }
        say(3, "Cannot open the journal of an interrupted patch run: " + s.text + ".");
        return RecoveryOutcome::Failed;
    }
    j.remove_noted_temp_folder();
    Plan plan;
    RecoveryOutcome outcome;
    if (!j.read_plan(plan)) {
        outcome = RecoveryOutcome::Cleaned;
    } else if (j.is_done()) {
        say(2, "An interrupted patch run had already put all its files in place; finishing it.");
        outcome = RecoveryOutcome::RolledForward;
    } else {
        say(2, "An interrupted patch run was found; restoring the files it had changed.");
        if (!roll_back(j, plan, say)) {
            say(3, "Could not restore the game directory after the interrupted patch run. Free "
                   "the files named above and run the engine again.");
            return RecoveryOutcome::Failed;
        }
        outcome = RecoveryOutcome::RolledBack;
    }
    std::string why;
    if (!j.remove_all(why)) {
        say(3, "Cannot remove the journal of an interrupted patch run: " + why + ".");
        return RecoveryOutcome::Failed;
    }
    if (outcome == RecoveryOutcome::RolledBack)
        say(1, "Recovered: the game directory is back to its state before the interrupted run.");
    else if (outcome == RecoveryOutcome::RolledForward)
        say(1, "Recovered: the interrupted patch run is complete.");
    else
        say(1,
            "Removed the work files of an interrupted patch run; no game file had been changed.");
    return outcome;
}

} // namespace kv
