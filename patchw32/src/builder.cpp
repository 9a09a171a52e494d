#include "builder.h"

#include "codec.h"
#include "crossfile.h"
#include "delta.h"
#include "format.h"
#include "literals.h"
#include "paths.h"
#include "signature.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace kv {

namespace {

struct TreeItem {
    std::string rel; // as on disk
    bool is_dir = false;
    uint64_t size = 0;
    uint32_t attrs = 0;
};

struct ScanRules {
    const std::vector<std::string>* exclude = nullptr;
    uint64_t* excluded = nullptr;
};

BuildResult input_error(std::string why) {
    return {BuildFailure::Input, std::move(why)};
}

BuildResult scan_tree(const std::string& root, const std::string& rel, std::vector<TreeItem>& out,
                      const ScanRules& rules) {
    std::string dir = rel.empty() ? root : os::join(root, to_native(rel));
    std::vector<os::DirEntry> entries;
    os::Status s = os::list_dir(dir, entries);
    if (!s)
        return input_error(s.text);
    std::sort(entries.begin(), entries.end(),
              [](const os::DirEntry& a, const os::DirEntry& b) { return a.name < b.name; });
    std::map<std::string, std::string> folded; // names of this folder by their folded form
    for (const os::DirEntry& e : entries) {
        std::string r = rel.empty() ? e.name : rel + "/" + e.name;
        // Patches store names in UTF-8, and Windows holds one of two names that differ only
        // in letter case.
        if (!is_valid_utf8(e.name))
            return input_error(escape_name(r) + ": the name is not valid UTF-8 (patches store "
                                                "names in UTF-8; rename the file)");
        auto [other, fresh] = folded.emplace(fold_case(e.name), e.name);
        if (!fresh)
            return input_error(
                "\"" + escape_name(rel.empty() ? other->second : rel + "/" + other->second) +
                "\" and \"" + escape_name(r) +
                "\" differ only in letter case, and Windows cannot hold both");
        if (is_reserved_path(r) &&
            (split_rel(r).size() == 2 || fold_case(r) == fold_case(kReservedTopTmp)))
            continue; // the engine's journal or half-made top folder, never part of a game
        if (rules.exclude && path_excluded(r, *rules.exclude)) {
            ++*rules.excluded;
            continue;
        }
        std::string full = os::join(dir, e.name);
        os::Stat st;
        if (!(s = os::stat(full, st)))
            return input_error(s.text);
        if (st.is_link)
            return input_error(full + " is a link; the builder does not follow links");
        TreeItem it;
        it.rel = r;
        it.is_dir = st.is_dir;
        it.size = st.size;
        it.attrs = st.attrs & os::kAttrMask;
        if (!st.is_dir && !st.is_file)
            return input_error(full + " is not a regular file");
        out.push_back(it);
        if (st.is_dir)
            if (BuildResult sub = scan_tree(root, r, out, rules); !sub)
                return sub;
    }
    return {};
}

// Glob match of a whole text: '*' within one name, '**' across names, '?' one character.
// Dynamic programming over pattern and text positions, so no pattern can take long.
bool glob_match(const std::string& pat, const std::string& text) {
    size_t n = text.size();
    std::vector<char> cur(n + 1, 0), next(n + 1, 0);
    cur[0] = 1;
    for (size_t i = 0; i < pat.size(); ++i) {
        std::fill(next.begin(), next.end(), 0);
        if (pat[i] == '*') {
            bool any = i + 1 < pat.size() && pat[i + 1] == '*';
            char reach = 0;
            for (size_t j = 0; j <= n; ++j) {
                reach = reach || cur[j];
                next[j] = reach;
                if (j < n && !any && text[j] == '/')
                    reach = 0;
            }
            if (any)
                ++i;
        } else {
            for (size_t j = 0; j < n; ++j)
                if (cur[j] && (pat[i] == '?' ? text[j] != '/' : pat[i] == text[j]))
                    next[j + 1] = 1;
        }
        cur.swap(next);
    }
    return cur[n] != 0;
}

// The lines of the new tree's ".rtpignore": one pattern each, blank lines and '#' comments
// skipped.
BuildResult read_ignore_file(const std::string& new_dir, std::vector<std::string>& out) {
    std::string path = os::join(new_dir, ".rtpignore");
    os::Stat st;
    os::stat(path, st);
    if (!st.exists)
        return {};
    if (!st.is_file || st.size > (1u << 20))
        return input_error(path + " is not a text file of at most 1 MiB");
    os::File f;
    os::Status s = os::File::open_read(path, f);
    std::string text(static_cast<size_t>(st.size), '\0');
    if (s && !text.empty())
        s = f.read_exact_at(0, text.data(), text.size());
    if (!s)
        return input_error("cannot read " + path + ": " + s.text);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t lead = line.find_first_not_of(" \t");
        if (lead != std::string::npos && line[lead] != '#')
            out.push_back(line.substr(lead));
        pos = end + 1;
    }
    return {};
}

BuildResult verify_error(std::string why) {
    return {BuildFailure::Verify, std::move(why)};
}

// The finished patch read back as the engine reads it: the same entries as written, and a
// signature that holds.
BuildResult reopen_patch(const std::string& path, const std::vector<Entry>& written, Patch& p) {
    const std::string lost = "the new patch does not read back: ";
    if (DecodeResult r = open_patch(path, p); !r)
        return verify_error(lost + r.message);
    if (p.entries.size() != written.size())
        return verify_error(lost + "its directory lost entries");
    if (DecodeResult r = p.signature.present ? check_patch_signature(p) : DecodeResult::ok(); !r)
        return verify_error("the new patch's signature does not hold: " + r.message);
    for (size_t i = 0; i < p.entries.size(); ++i) {
        const Entry& e = p.entries[i];
        const Entry& w = written[i];
        if (e.path != w.path || e.op != w.op || e.new_hash != w.new_hash ||
            e.old_hash != w.old_hash || e.new_size != w.new_size || e.old_size != w.old_size)
            return verify_error(lost + "entry " + e.path + " differs");
    }
    return {};
}

// Decodes every entry of the finished patch against the old tree (an earlier entry's new file
// against the new tree) and checks each result against its recorded size and hash; the
// entries must be the ones written.
BuildResult verify_patch(const std::string& path, const std::string& old_dir,
                         const std::string& new_dir, const std::vector<Entry>& written,
                         const BuildCallbacks& cb, BuildProgress& prog) {
    Patch p;
    if (BuildResult r = reopen_patch(path, written, p); !r)
        return r;
    prog.stage = "verify";
    prog.files_done = prog.bytes_done = 0;
    prog.files_total = 0;
    for (const Entry& e : p.entries)
        prog.files_total += e.makes_new() ? 1 : 0;
    for (const Entry& e : p.entries) {
        if (!e.makes_new())
            continue;
        prog.current = e.path;
        os::File oldf;
        const std::string& from = e.source.present ? e.source.path : e.path;
        if (e.codec == Codec::Delta && (e.op == Op::Modify || e.source.present)) {
            const std::string& tree = e.source.new_content ? new_dir : old_dir;
            os::Status s = os::File::open_read(os::join(tree, to_native(from)), oldf);
            if (!s)
                return verify_error(s.text);
        }
        HashingSink hs;
        uint64_t base = prog.bytes_done;
        DecodeResult r =
            decode_payload(e, p.file, oldf.is_open() ? &oldf : nullptr,
                           e.source.present ? e.source.size : e.old_size, hs, [&](uint64_t n) {
                               prog.bytes_done = base + n;
                               if (cb.progress)
                                   cb.progress(prog);
                           });
        if (!r)
            return verify_error("verifying " + e.path + " failed: " + r.message);
        if (hs.count() != e.new_size || hs.digest() != e.new_hash)
            return verify_error("verifying " + e.path +
                                " failed: the decoded file does not match its hash");
        ++prog.files_done;
        prog.bytes_done = base + e.new_size;
        if (cb.progress)
            cb.progress(prog);
    }
    return {};
}

// Passes everything on to the file and, while `signer` is set, to the signer.
class SigningSink : public Sink {
  public:
    explicit SigningSink(Sink& next) : next_(next) {}
    os::Status write(const void* data, size_t n) override {
        if (signer)
            signer->update(data, n);
        return next_.write(data, n);
    }
    PatchSigner* signer = nullptr;

  private:
    Sink& next_;
};

} // namespace

bool path_excluded(const std::string& rel, const std::vector<std::string>& patterns) {
    std::string folded = fold_case(rel);
    std::string name = fold_case(bare_name(rel));
    for (const std::string& raw : patterns) {
        std::string pat = fold_case(raw);
        while (pat.size() > 1 && pat.back() == '/')
            pat.pop_back();
        if (pat.empty())
            continue;
        if (pat.find('/') == std::string::npos) {
            if (glob_match(pat, name))
                return true;
        } else if (glob_match(pat[0] == '/' ? pat.substr(1) : pat, folded)) {
            return true;
        }
    }
    return false;
}

BuildResult build_patch(const std::string& old_dir, const std::string& new_dir,
                        const std::string& out_path, const BuildOptions& opt, const BuildLog& log,
                        BuildStats& stats) {
    BuildCallbacks cb;
    if (log) {
        cb.file = [&log](const BuildFileEvent& f) {
            std::string line = std::string(f.op) + " " + f.path;
            if (f.codec)
                line += ": " + std::to_string(f.new_size) + " bytes -> " + f.codec + " " +
                        std::to_string(f.payload) + " bytes";
            log(line);
        };
    }
    return build_patch(old_dir, new_dir, out_path, opt, cb, stats);
}

namespace {

BuildResult output_error(std::string why) {
    return {BuildFailure::Output, std::move(why)};
}

// The output first: a missing folder or an existing file is known before any work.
BuildResult check_output(const std::string& out_path, bool overwrite) {
    size_t cut = out_path.find_last_of(os::separator() == '\\' ? "\\/:" : "/");
    std::string folder = cut == std::string::npos ? std::string(".") : out_path.substr(0, cut);
    if (folder.empty())
        folder = os::separator() == '\\' ? "\\" : "/";
    else if (out_path[cut] == ':')
        folder += ":";
    os::Stat fs, os_;
    os::stat(folder, fs);
    if (!fs.exists || !fs.is_dir)
        return output_error("the output folder " + folder + " does not exist");
    os::stat(out_path, os_);
    if (os_.exists && (os_.is_dir || os_.is_link))
        return output_error(out_path + " is a folder or a link, not a file");
    if (os_.exists && !overwrite)
        return {BuildFailure::Exists, out_path + " already exists (give -f to overwrite it)"};
    return {};
}

// What the patch does: folders to make, files to modify, add or delete (by path), folders
// to remove (deepest first).
struct TreeDiff {
    std::vector<Entry> mkdirs, files, rmdirs;
};

// Both trees as the patch sees them: the ignore patterns applied, every new name one the
// engine accepts.
BuildResult scan_trees(const std::string& old_dir, const std::string& new_dir,
                       const BuildOptions& opt, BuildStats& stats, std::vector<TreeItem>& olds,
                       std::vector<TreeItem>& news) {
    std::vector<std::string> exclude = opt.exclude;
    if (BuildResult r = read_ignore_file(new_dir, exclude); !r)
        return r;
    exclude.push_back("/.rtpignore");
    ScanRules rules{&exclude, &stats.excluded};
    if (BuildResult r = scan_tree(old_dir, "", olds, rules); !r)
        return input_error("cannot read the old tree: " + r.message);
    if (BuildResult r = scan_tree(new_dir, "", news, rules); !r)
        return input_error("cannot read the new tree: " + r.message);
    for (const TreeItem& t : news) {
        if (t.rel == kReservedTop && t.is_dir)
            continue;
        if (DecodeResult bad = check_rel_path(t.rel, NameCoding::Utf8); !bad)
            return input_error("the new tree holds a name the engine refuses: " + t.rel + " (" +
                               bad.message + ")");
    }
    return {};
}

using ItemsByPath = std::map<std::string, const TreeItem*>; // by folded path

const TreeItem* find_item(const ItemsByPath& by, const TreeItem& t) {
    auto it = by.find(fold_case(t.rel));
    return it == by.end() ? nullptr : it->second;
}

Entry folder_entry(Op op, const std::string& path) {
    Entry e;
    e.op = op;
    e.path = path;
    return e;
}

// Entries for what the new tree holds: new folders, modified and added files.
void diff_new_side(const std::vector<TreeItem>& news, const ItemsByPath& old_by, TreeDiff& d) {
    for (const TreeItem& t : news) {
        const TreeItem* o = find_item(old_by, t);
        if (t.is_dir) {
            if ((!o || !o->is_dir) && t.rel != kReservedTop)
                d.mkdirs.push_back(folder_entry(Op::MakeDir, t.rel));
            continue;
        }
        Entry e;
        e.path = t.rel;
        e.new_size = t.size;
        e.attrs = t.attrs;
        e.op = o && !o->is_dir ? Op::Modify : Op::Add;
        e.old_size = e.op == Op::Modify ? o->size : 0;
        d.files.push_back(e);
    }
}

// Entries for what only the old tree holds: deleted files and removed folders.
BuildResult diff_old_side(const std::vector<TreeItem>& olds, const ItemsByPath& new_by,
                          TreeDiff& d) {
    for (const TreeItem& t : olds) {
        const TreeItem* n = find_item(new_by, t);
        if (t.is_dir) {
            if ((!n || !n->is_dir) && t.rel != kReservedTop)
                d.rmdirs.push_back(folder_entry(Op::RemoveDir, t.rel));
            continue;
        }
        if (n && !n->is_dir)
            continue;
        if (DecodeResult bad = check_rel_path(t.rel, NameCoding::Utf8); !bad)
            return input_error("the old tree holds a name the engine refuses: " + t.rel + " (" +
                               bad.message + ")");
        Entry e;
        e.op = Op::Delete;
        e.path = t.rel;
        e.old_size = t.size;
        d.files.push_back(e);
    }
    return {};
}

// The tree diff: both trees scanned and compared by folded path.
BuildResult diff_trees(const std::string& old_dir, const std::string& new_dir,
                       const BuildOptions& opt, BuildStats& stats, TreeDiff& d) {
    std::vector<TreeItem> olds, news;
    if (BuildResult r = scan_trees(old_dir, new_dir, opt, stats, olds, news); !r)
        return r;
    ItemsByPath old_by, new_by;
    for (const TreeItem& t : olds)
        old_by[fold_case(t.rel)] = &t;
    for (const TreeItem& t : news)
        new_by.emplace(fold_case(t.rel), &t);
    diff_new_side(news, old_by, d);
    if (BuildResult r = diff_old_side(olds, new_by, d); !r)
        return r;
    std::sort(d.files.begin(), d.files.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    std::sort(d.rmdirs.begin(), d.rmdirs.end(),
              [](const Entry& a, const Entry& b) { return a.path > b.path; });
    return {};
}

// The patch file as it is written: OUT.partial, hashed for the trailer's checksum and, while a
// signer listens, signed. Removed again unless it was moved into place.
class PatchOutput {
  public:
    explicit PatchOutput(const std::string& out_path) : partial_(out_path + ".partial") {}
    ~PatchOutput() {
        if (placed_)
            return;
        file_.close();
        os::remove_file(partial_);
    }
    os::Status create() {
        os::remove_file(partial_);
        return os::File::create_new(partial_, file_);
    }
    HashingSink& sink() { return hashed_; }
    uint64_t size() const { return hashed_.count(); }
    void sign_with(PatchSigner* s) { signing_.signer = s; }
    // Appends the checksum over everything written, then makes the file durable.
    os::Status seal() {
        Hash128 sum = hashed_.digest();
        os::Status s = plain_.write(sum.b, 16);
        if (s)
            s = file_.sync();
        if (s)
            s = file_.close();
        return s;
    }
    const std::string& partial() const { return partial_; }
    BuildResult place(const std::string& out_path, bool overwrite);

  private:
    std::string partial_;
    os::File file_;
    FileSink plain_{file_};
    SigningSink signing_{plain_};
    HashingSink hashed_{&signing_};
    bool placed_ = false;
};

BuildResult PatchOutput::place(const std::string& out_path, bool overwrite) {
    os::Stat st;
    os::stat(out_path, st);
    if (st.exists && !overwrite)
        return output_error(out_path + " appeared while the patch was built; it was left alone");
    os::Status s;
    if (st.exists && !(s = os::remove_file(out_path)))
        return output_error(s.text);
    if (!(s = os::rename_noreplace(partial_, out_path)))
        return output_error(s.text);
    placed_ = true;
    return {};
}

// Whether the entries that share the literal store also put their instructions into the
// instruction store: in every patch with a literal store but those built for a fast apply.
bool uses_instruction_store(const DeltaOptions& d) {
    return !d.fast_apply;
}

// How a file is planned before coding (plan_literal_store): its literals may go to the
// literal store; its hashes are known.
constexpr char kShares = 1, kHashed = 2;

// One file's part of the patch: hashed and coded on any thread, then written in directory
// order.
struct FileJob {
    Entry e;
    uint64_t memory = 0; // what coding it may take at its peak (estimated)
    bool unchanged = false, finished = false;
    uint64_t best = 0; // the size of the coding chosen
    uint64_t done = 0; // new bytes coded so far
    BuildResult result;
    InstrRefs refs;
    bool shares = false;           // its literals may go to the patch's literal store
    bool hashed = false;           // both hashes are known already
    std::vector<uint8_t> literals; // those of its difference, when they do
    std::vector<uint8_t> instrs;   // its instructions that go to the instruction store
    os::File nf;                   // the new file, read again when it is stored as it is
    std::unique_ptr<Spool> deflated, delta;
};

// The payload encoding: every changed or added file hashed, coded in the smallest of its
// ways, and written; the directory's entries collected in order.
//
// Files are coded on `BuildOptions::threads` threads, taken in directory order and written in
// that order, so the patch is the same for any number of threads. The one dependency between
// files, the bases a delta entry's instructions may be predicted from, is met inside the
// delta coder: it asks for them (InstrRefs::fill) once its first block is matched, and waits
// there until every earlier file is written. Memory stays bounded: a file starts only while
// the estimated peaks of the files started and not yet written stay within kMemoryBudget (a
// larger file waits until it can run alone), and at most two files per thread are in hand.
class PayloadEncoder {
  public:
    PayloadEncoder(const std::string& old_dir, const std::string& new_dir,
                   const std::string& out_path, const BuildOptions& opt, const BuildCallbacks& cb,
                   BuildStats& stats, BuildProgress& prog)
        : old_dir_(old_dir), new_dir_(new_dir), out_path_(out_path), opt_(opt), cb_(cb),
          stats_(stats), prog_(prog) {}
    // `shares`: per file, whether its literals may go to the literal store.
    BuildResult run(std::vector<Entry>& files, const std::vector<char>& shares, HashingSink& out,
                    std::vector<Entry>& entries);
    // The literal store: the literals of the entries that use it, in directory order.
    const std::vector<uint8_t>& store() const { return store_; }
    // The instruction store: the instructions of the entries that use it, in directory order.
    const std::vector<uint8_t>& instructions() const { return instr_store_; }

  private:
    // The latest delta entries that refer to no other: later entries' instructions may be
    // predicted from theirs (files that carry the same edits). Each referring entry makes the
    // engine decode the referred one's instructions, so only entries with few are offered.
    static constexpr size_t kBases = 4;
    static constexpr size_t kBaseInstructions = size_t{1} << 14;
    static constexpr uint64_t kMemoryBudget = sizeof(void*) >= 8 ? 1ull << 30 : 512ull << 20;

    uint64_t job_memory(const Entry& e) const;
    void work();
    bool can_start() const;
    void code_job(FileJob& job, size_t index);
    BuildResult hash(Entry& e, bool& unchanged);
    BuildResult code(FileJob& job, size_t index);
    void fill_bases(InstrRefs& refs, size_t index);
    void write_ready();
    BuildResult write(FileJob& job);
    void coded(FileJob& job, uint64_t done);
    void indexing(bool on);
    void report();

    const std::string &old_dir_, &new_dir_, &out_path_;
    const BuildOptions& opt_;
    const BuildCallbacks& cb_;
    BuildStats& stats_;
    BuildProgress& prog_;
    HashingSink* out_ = nullptr;
    std::vector<Entry>* entries_ = nullptr;

    // Shared by the threads, under m_.
    std::mutex m_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<FileJob>> jobs_;
    size_t next_ = 0, written_ = 0, window_ = 2;
    uint64_t held_ = 0;   // memory of the files started and not yet written
    int indexing_ = 0;    // files whose old version is being indexed
    BuildResult outcome_; // the first failure in order ends the build
    std::deque<std::pair<uint32_t, std::vector<Instr>>> bases_;
    std::vector<uint8_t> store_, instr_store_;
};

// Two spools' memory, the coders' models and buffers, and for a difference the old file's
// indexed range with its suffix array and the new file's segment.
uint64_t PayloadEncoder::job_memory(const Entry& e) const {
    uint64_t m = 64ull << 20;
    uint64_t old_size = e.source.path.empty() ? e.old_size : e.source.size;
    if ((e.op == Op::Modify || !e.source.path.empty()) && old_size > 0 && e.new_size > 0) {
        const DeltaOptions& d = opt_.delta;
        m += index_memory(old_size, e.new_size, d) + 2 * std::min(e.new_size, d.segment);
    }
    return m;
}

BuildResult PayloadEncoder::run(std::vector<Entry>& files, const std::vector<char>& shares,
                                HashingSink& out, std::vector<Entry>& entries) {
    out_ = &out;
    entries_ = &entries;
    for (size_t i = 0; i < files.size(); ++i) {
        jobs_.push_back(std::make_unique<FileJob>());
        jobs_.back()->e = files[i];
        jobs_.back()->shares = (shares[i] & kShares) != 0;
        jobs_.back()->hashed = (shares[i] & kHashed) != 0;
        jobs_.back()->memory = job_memory(files[i]);
    }
    size_t threads = std::max<size_t>(1, std::min<size_t>(opt_.threads, jobs_.size()));
    window_ = 2 * threads;
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < threads; ++i)
        helpers.emplace_back([this] { work(); });
    work();
    for (std::thread& t : helpers)
        t.join();
    return outcome_;
}

// The next file in order may start: within the window of files in hand and the memory budget.
bool PayloadEncoder::can_start() const {
    if (next_ == jobs_.size() || next_ >= written_ + window_)
        return false;
    return held_ == 0 || held_ + jobs_[next_]->memory <= kMemoryBudget;
}

// One thread's loop: take the next file in order, code it, write whatever is ready.
void PayloadEncoder::work() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        changed_.wait(lock, [this] { return !outcome_ || next_ == jobs_.size() || can_start(); });
        if (!outcome_ || next_ == jobs_.size())
            return;
        size_t index = next_++;
        FileJob& job = *jobs_[index];
        held_ += job.memory;
        lock.unlock();
        code_job(job, index);
        lock.lock();
        job.finished = true;
        write_ready();
        changed_.notify_all();
    }
}

void PayloadEncoder::code_job(FileJob& job, size_t index) {
    Entry& e = job.e;
    job.result = job.hashed ? BuildResult{} : hash(e, job.unchanged);
    job.unchanged = job.hashed && e.old_hash == e.new_hash;
    if (job.unchanged)
        coded(job, e.new_size);
    if (!job.result || e.op == Op::Delete || job.unchanged)
        return;
    os::Status s = os::File::open_read(os::join(new_dir_, to_native(e.path)), job.nf);
    job.result = s ? code(job, index) : input_error(s.text);
    if (job.result)
        coded(job, e.new_size);
}

// The hashes of both versions; `unchanged` when the new one equals the old.
BuildResult PayloadEncoder::hash(Entry& e, bool& unchanged) {
    os::Status s;
    unchanged = false;
    if (e.needs_old() &&
        !(s = hash_file(os::join(old_dir_, to_native(e.path)), e.old_size, e.old_hash)))
        return input_error(s.text);
    if (e.op == Op::Delete)
        return {};
    if (!(s = hash_file(os::join(new_dir_, to_native(e.path)), e.new_size, e.new_hash)))
        return input_error(s.text);
    unchanged = e.op == Op::Modify && e.old_size == e.new_size && e.old_hash == e.new_hash;
    return {};
}

// Codes the new file as a difference to the old one and, unless the difference is small, as
// a full deflated copy; picks the smallest of those and the file as it is.
BuildResult PayloadEncoder::code(FileJob& job, size_t index) {
    Entry& e = job.e;
    std::string spill = out_path_ + ".tmp-" + std::to_string(index);
    job.deflated = std::make_unique<Spool>(spill + "-full");
    job.delta = std::make_unique<Spool>(spill + "-delta");
    auto within = [this, &job](uint64_t done) { coded(job, done); };
    os::Status s;
    bool have_delta = false;
    // A candidate source (see pick_sources) replaces the file's own old file.
    bool sourced = !e.source.path.empty();
    const std::string& from = sourced ? e.source.path : e.path;
    uint64_t from_size = sourced ? e.source.size : e.old_size;
    // A new file read by a later entry is in the new tree, as the engine will have made it.
    const std::string& tree = e.source.new_content ? new_dir_ : old_dir_;
    bool against = (e.op == Op::Modify || sourced) && from_size > 0;
    if ((against || job.shares) && e.new_size > 0) {
        os::File of;
        if (!against)
            of = os::File::over_memory(std::make_shared<const std::vector<uint8_t>>());
        else if (!(s = os::File::open_read(os::join(tree, to_native(from)), of)))
            return input_error(s.text);
        DeltaOptions dopt = opt_.delta;
        dopt.shared_literals = job.shares ? &job.literals : nullptr;
        dopt.shared_instructions =
            job.shares && uses_instruction_store(opt_.delta) ? &job.instrs : nullptr;
        dopt.indexing = [this](bool on) { indexing(on); };
        job.refs.fill = [this, index](InstrRefs& refs) { fill_bases(refs, index); };
        if (!(s = encode_delta(of, against ? from_size : 0, job.nf, e.new_size, *job.delta, dopt,
                               within, &job.refs)))
            return input_error(s.text);
        have_delta = true;
    }
    // A full copy rarely wins against a small difference; skip compressing it then. Literals
    // that go to the store are reckoned at what they cost there: about 4 bytes in 5 of what
    // deflate makes of them alone (the store's model has learnt from the other files).
    std::vector<uint8_t> alone;
    if (!job.literals.empty() && !deflate_raw(job.literals, alone, opt_.level))
        alone = job.literals;
    // Nothing but literals: the entry then needs no payload at all.
    uint64_t payload = job.literals.size() == e.new_size ? 0 : job.delta->size();
    // Instructions in the store are reckoned at what the model makes of them alone.
    uint64_t instr_cost = 0;
    if (payload > 0 && !job.instrs.empty()) {
        InstrHistory h;
        instr_cost = instr_encode(job.instrs, h).size();
    }
    uint64_t delta_cost = have_delta ? payload + instr_cost + alone.size() * 4 / 5 : 0;
    bool try_full = !have_delta || delta_cost > e.new_size / 5;
    if (try_full && e.new_size > 0 &&
        !(s = encode_deflate(job.nf, e.new_size, *job.deflated, opt_.level, within)))
        return input_error(s.text);
    job.best = e.new_size;
    e.codec = Codec::Stored;
    if (try_full && e.new_size > 0 && job.deflated->size() < job.best) {
        job.best = job.deflated->size();
        e.codec = Codec::Deflate;
    }
    if (have_delta && delta_cost < job.best) {
        job.best = payload;
        e.codec = Codec::Delta;
    }
    if (e.codec != Codec::Delta)
        job.literals.clear();
    if (e.codec != Codec::Delta || job.literals.size() == e.new_size)
        job.instrs.clear(); // no payload: no instructions
    if (sourced && e.codec == Codec::Delta) {
        e.source.present = true;
        if (!(s = hash_file(os::join(tree, to_native(from)), from_size, e.source.hash)))
            return input_error(s.text);
    } else {
        e.source = {};
    }
    return {};
}

// The delta coder of file `index` asks for the bases once its first block is matched; they
// are final when every earlier file is written.
void PayloadEncoder::fill_bases(InstrRefs& refs, size_t index) {
    std::unique_lock<std::mutex> lock(m_);
    changed_.wait(lock, [&] { return !outcome_ || written_ == index; });
    refs.candidates.clear();
    for (const auto& [entry, instrs] : bases_)
        refs.candidates.emplace_back(entry, &instrs);
}

// Writes the coded files that are next in order; the first failure in order stops the build.
void PayloadEncoder::write_ready() {
    while (outcome_ && written_ < jobs_.size() && jobs_[written_]->finished) {
        std::unique_ptr<FileJob> job = std::move(jobs_[written_]);
        BuildResult r = job->result ? write(*job) : job->result;
        held_ -= job->memory;
        ++written_;
        if (!r)
            outcome_ = r;
        report();
    }
}

// Appends the coded file to the patch and its entry to the directory; a delta entry names
// the base its instructions were predicted from, or becomes a base itself.
BuildResult PayloadEncoder::write(FileJob& job) {
    Entry& e = job.e;
    if (e.op == Op::Delete) {
        ++stats_.deleted;
        if (cb_.file)
            cb_.file({"delete", e.path, 0, 0, nullptr});
        entries_->push_back(e);
        return {};
    }
    if (job.unchanged) {
        ++stats_.unchanged;
        return {};
    }
    if (e.codec == Codec::Delta && !job.literals.empty()) {
        e.share.offset = store_.size();
        e.share.length = job.literals.size();
        e.share.whole = e.share.length == e.new_size; // nothing but literals: no payload
        // In a patch with the instruction store (the newer version), such an entry's new hash
        // is that of its share, which the store's own hash already covers: not stored again.
        if (e.share.whole && uses_instruction_store(opt_.delta))
            e.flags |= kFlagHashFromShare;
        store_.insert(store_.end(), job.literals.begin(), job.literals.end());
    }
    if (!job.instrs.empty()) {
        e.instr_share.offset = instr_store_.size();
        e.instr_share.length = job.instrs.size();
        instr_store_.insert(instr_store_.end(), job.instrs.begin(), job.instrs.end());
    }
    if (e.codec == Codec::Delta && !e.share.whole) {
        if (job.refs.chosen >= 0) {
            e.extra = delta_reference_params(static_cast<uint64_t>(job.refs.chosen));
        } else if (job.instrs.empty() && job.refs.own.size() <= kBaseInstructions) {
            // (an entry whose instructions are in the store cannot be read as a base)
            bases_.emplace_back(static_cast<uint32_t>(entries_->size()), std::move(job.refs.own));
            if (bases_.size() > kBases)
                bases_.pop_front();
        }
    }
    e.payload_offset = out_->count();
    e.payload_size = e.share.whole ? 0 : job.best;
    os::Status s = e.share.whole               ? os::Status::success()
                   : e.codec == Codec::Stored  ? encode_stored(job.nf, e.new_size, *out_)
                   : e.codec == Codec::Deflate ? job.deflated->copy_to(*out_)
                                               : job.delta->copy_to(*out_);
    if (!s)
        return output_error(s.text);
    stats_.new_bytes += e.new_size;
    ++(e.op == Op::Modify ? stats_.modified : stats_.added);
    if (cb_.file)
        cb_.file({op_name(e.op), e.path, e.new_size, job.best, codec_name(e.codec)});
    entries_->push_back(e);
    return {};
}

void PayloadEncoder::coded(FileJob& job, uint64_t done) {
    std::lock_guard<std::mutex> lock(m_);
    done = std::min(done, job.e.new_size);
    prog_.bytes_done += done - std::min(done, job.done);
    job.done = std::max(job.done, done);
    report();
}

void PayloadEncoder::indexing(bool on) {
    std::lock_guard<std::mutex> lock(m_);
    indexing_ += on ? 1 : -1;
    report();
}

// Under m_: files done are the files written; the bytes, those coded by every thread; the
// file named, the one the patch waits for.
void PayloadEncoder::report() {
    if (!cb_.progress)
        return;
    prog_.stage = indexing_ > 0 ? "index" : "diff";
    prog_.files_done = written_;
    if (written_ < jobs_.size() && written_ < next_)
        prog_.current = jobs_[written_]->e.path;
    cb_.progress(prog_);
}

// The sections: what the patch is for, then the head of the signature section, last
// before the trailer.
BuildResult encode_sections(const BuildOptions& opt, std::vector<uint8_t>& sections) {
    if (!opt.meta.empty()) {
        for (const std::string* t : {&opt.meta.game, &opt.meta.from, &opt.meta.to})
            if (DecodeResult r = check_meta_text(*t); !t->empty() && !r)
                return output_error("cannot store \"" + *t + "\": " + r.message);
        sections = encode_meta_section(opt.meta);
    }
    if (opt.signer) {
        std::vector<uint8_t> head = encode_sign_section_head(opt.signer->key);
        sections.insert(sections.end(), head.begin(), head.end());
    }
    return {};
}

// The directory and the trailer: the entries checked as the engine will check them, the
// directory packed, the sections, the signature and the checksum.
BuildResult write_directory_and_trailer(const std::vector<Entry>& entries,
                                        const std::vector<uint8_t>& store_section,
                                        const BuildOptions& opt, PatchOutput& out,
                                        uint64_t& total) {
    uint64_t dir_off = out.size();
    if (DecodeResult r = check_entries(entries, dir_off); !r)
        return output_error("the patch would be refused: " + r.message);
    std::vector<uint8_t> fixed = encode_directory(entries);
    if (fixed.size() > kMaxDirectoryBytes || entries.size() > kMaxEntries)
        return output_error("too many files for one patch");
    uint32_t dir_coding = kDirRaw, raw_size = 0;
    std::vector<uint8_t> dir = pack_entries(entries, fixed, dir_coding, raw_size);
    std::vector<uint8_t> sections = store_section, more = encode_sources_section(entries);
    sections.insert(sections.end(), more.begin(), more.end());
    more.clear();
    if (BuildResult r = encode_sections(opt, more); !r)
        return r;
    sections.insert(sections.end(), more.begin(), more.end());
    total = dir_off + dir.size() + sections.size() + kTrailerSize + (opt.signer ? 64 : 0);
    std::vector<uint8_t> trailer = encode_trailer_head(
        static_cast<uint32_t>(entries.size()), dir_off, dir.size(), total, dir_coding, raw_size);
    os::Status s;
    if (!(s = out.sink().write(dir.data(), dir.size())) ||
        !(s = out.sink().write(sections.data(), sections.size())))
        return output_error(s.text);
    if (opt.signer) {
        // The signature covers every byte but its own value and the final checksum.
        opt.signer->update(trailer.data(), trailer.size());
        out.sign_with(nullptr);
        uint8_t value[64];
        if (os::Status signed_ok = opt.signer->finish(value); !signed_ok)
            return output_error("cannot sign the patch: " + signed_ok.text);
        if (!(s = out.sink().write(value, 64)))
            return output_error(s.text);
    }
    if (!(s = out.sink().write(trailer.data(), trailer.size())) || !(s = out.seal()))
        return output_error(s.text);
    return {};
}

// Candidate sources: each changed or added file's old file of most shared content, when that
// is not its own (crossfile.h), written into the entry's `source` without `present`; the
// coder tries it and keeps it only when the difference wins. The source list's size is
// bounded here, in directory order, so the patch is the same for any number of threads.
BuildResult pick_sources(const std::string& old_dir, const std::string& new_dir,
                         std::vector<Entry>& files, bool& any) {
    std::vector<TreeFile> olds, wanted;
    std::map<std::string, int64_t> old_index;
    std::vector<int64_t> own, picks;
    std::vector<Entry*> targets;
    std::set<std::string> deleted; // written as an index, the others with their path
    for (const Entry& e : files) {
        if (e.op == Op::Delete)
            deleted.insert(e.path);
        if (e.needs_old() && check_rel_path(e.path, NameCoding::Utf8)) {
            old_index[e.path] = static_cast<int64_t>(olds.size());
            olds.push_back({e.path, os::join(old_dir, to_native(e.path)), e.old_size});
        }
    }
    for (Entry& e : files)
        if (e.makes_new() && e.new_size > 0) {
            wanted.push_back({e.path, os::join(new_dir, to_native(e.path)), e.new_size});
            auto it = e.op == Op::Modify ? old_index.find(e.path) : old_index.end();
            own.push_back(it == old_index.end() ? -1 : it->second);
            targets.push_back(&e);
        }
    if (os::Status s = choose_sources(olds, wanted, own, picks); !s)
        return input_error(s.text);
    uint64_t bytes = 0, kept = 0;
    std::set<int64_t> kept_files; // earlier new files that later ones read
    any = false;
    for (size_t k = 0; k < targets.size(); ++k) {
        if (picks[k] < 0)
            continue;
        bool fresh = picks[k] >= static_cast<int64_t>(olds.size());
        const TreeFile& from = fresh ? wanted[static_cast<size_t>(picks[k]) - olds.size()]
                                     : olds[static_cast<size_t>(picks[k])];
        uint64_t cost = fresh ? 7 : source_record_bound(from.rel, deleted.count(from.rel) > 0);
        if (from.size == 0 || bytes + cost > kMaxSourceSectionBytes)
            continue;
        if (fresh && kept_files.insert(picks[k]).second) {
            if (kept + from.size > kMaxNewSourceBytes) {
                kept_files.erase(picks[k]);
                continue;
            }
            kept += from.size;
        }
        bytes += cost;
        targets[k]->source.path = from.rel;
        targets[k]->source.size = from.size;
        targets[k]->source.new_content = fresh;
        any = true;
    }
    return {};
}

// Which files may put their literals into the literal store: in directory order, changed and
// added files as long as their new sizes add up to at most the store's limit (so the store
// stays within it whatever the files' differences turn out to be). A file of the old size that
// fits is hashed here (both versions; the coder then does not hash it again), so that
// unchanged files take no room. The store is only used for patches of many files, where cold
// models per file cost most; other patches stay as they were. True when it is used.
BuildResult plan_literal_store(const std::string& old_dir, const std::string& new_dir,
                               std::vector<Entry>& files, std::vector<char>& plan, bool& used) {
    constexpr size_t kManyFiles = 16;
    plan.assign(files.size(), 0);
    uint64_t room = kMaxLiteralStore;
    size_t n = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        Entry& e = files[i];
        if (!e.makes_new() || e.new_size == 0 || e.new_size > room)
            continue;
        if (e.op == Op::Modify && e.old_size == e.new_size) {
            os::Status s = hash_file(os::join(old_dir, to_native(e.path)), e.old_size, e.old_hash);
            if (s)
                s = hash_file(os::join(new_dir, to_native(e.path)), e.new_size, e.new_hash);
            if (!s)
                return input_error(s.text);
            plan[i] = kHashed;
            if (e.old_hash == e.new_hash)
                continue;
        }
        room -= e.new_size;
        plan[i] |= kShares;
        ++n;
    }
    used = n >= kManyFiles;
    for (char& p : plan)
        p = static_cast<char>(used ? p : p & ~kShares);
    return {};
}

// Appends the literal store as a payload (coded as the build asks) and gives its "lits"
// section; nothing when no entry used it.
BuildResult write_literal_store(const std::vector<uint8_t>& store,
                                const std::vector<Entry>& entries, const BuildOptions& opt,
                                HashingSink& out, std::vector<uint8_t>& section) {
    if (store.empty())
        return {};
    LiteralStoreRef ref;
    ref.offset = out.count();
    ref.size = store.size();
    ref.hash = hash128(store.data(), store.size());
    std::vector<uint8_t> coded =
        encode_literal_store(store, opt.delta.level, opt.delta.fast_apply, opt.delta.bandwidth);
    ref.stored = coded.size();
    if (os::Status s = out.write(coded.data(), coded.size()); !s)
        return output_error(s.text);
    section = encode_literals_section(ref, entries);
    return {};
}

// Appends the instruction store as a payload and adds its "inst" section to `section`;
// nothing when no entry used it.
BuildResult write_instruction_store(const std::vector<uint8_t>& store,
                                    const std::vector<Entry>& entries, HashingSink& out,
                                    std::vector<uint8_t>& section) {
    if (store.empty())
        return {};
    if (store.size() > kMaxInstructionStore)
        return {BuildFailure::Input, "the instruction store would exceed its limit"};
    LiteralStoreRef ref;
    ref.offset = out.count();
    ref.size = store.size();
    std::vector<uint8_t> coded = encode_instruction_store(store, entries);
    ref.stored = coded.size();
    if (os::Status s = out.write(coded.data(), coded.size()); !s)
        return output_error(s.text);
    std::vector<uint8_t> inst = encode_instructions_section(ref, entries);
    section.insert(section.end(), inst.begin(), inst.end());
    return {};
}

void report_folders(const TreeDiff& d, const BuildCallbacks& cb) {
    if (!cb.file)
        return;
    for (const Entry& e : d.mkdirs)
        cb.file({"mkdir", e.path, 0, 0, nullptr});
    for (const Entry& e : d.rmdirs)
        cb.file({"rmdir", e.path, 0, 0, nullptr});
}

} // namespace

BuildResult build_patch(const std::string& old_dir, const std::string& new_dir,
                        const std::string& out_path, const BuildOptions& opt,
                        const BuildCallbacks& cb, BuildStats& stats) {
    stats = BuildStats{};
    BuildProgress prog;
    auto report = [&]() {
        if (cb.progress)
            cb.progress(prog);
    };
    report();
    TreeDiff diff;
    BuildResult r = check_output(out_path, opt.overwrite);
    if (r)
        r = diff_trees(old_dir, new_dir, opt, stats, diff);
    if (!r)
        return r;

    PatchOutput out(out_path);
    out.sign_with(opt.signer);
    bool sources = false;
    if (r = pick_sources(old_dir, new_dir, diff.files, sources); !r)
        return r;
    std::vector<char> shares;
    bool store = false;
    if (r = plan_literal_store(old_dir, new_dir, diff.files, shares, store); !r)
        return r;
    std::vector<uint8_t> header =
        encode_header(store && uses_instruction_store(opt.delta) ? kInstructionStoreVersion
                      : store                                    ? kLiteralStoreVersion
                      : sources                                  ? kCrossFileVersion
                                                                 : kPlainFormatVersion);
    os::Status s = out.create();
    if (!s)
        return output_error("cannot write the patch: " + s.text);
    if (!(s = out.sink().write(header.data(), header.size())))
        return output_error(s.text);

    prog.stage = "diff";
    prog.files_total = diff.files.size();
    for (const Entry& e : diff.files)
        prog.bytes_total += e.makes_new() ? e.new_size : 0;
    report();
    std::vector<Entry> entries = diff.mkdirs;
    PayloadEncoder encoder(old_dir, new_dir, out_path, opt, cb, stats, prog);
    if (BuildResult coded = encoder.run(diff.files, shares, out.sink(), entries); !coded)
        return coded;
    std::vector<uint8_t> store_section;
    if (r = write_literal_store(encoder.store(), entries, opt, out.sink(), store_section); !r)
        return r;
    if (r = write_instruction_store(encoder.instructions(), entries, out.sink(), store_section); !r)
        return r;
    entries.insert(entries.end(), diff.rmdirs.begin(), diff.rmdirs.end());
    stats.dirs = diff.mkdirs.size() + diff.rmdirs.size();
    report_folders(diff, cb);
    if (entries.empty() && !opt.allow_empty)
        return {BuildFailure::Empty, "the two trees are identical, so the patch would change "
                                     "nothing (give --allow-empty to build it anyway)"};

    prog.stage = "write";
    prog.current.clear();
    report();
    uint64_t total = 0;
    if (r = write_directory_and_trailer(entries, store_section, opt, out, total); !r)
        return r;
    if (opt.verify) {
        if (r = verify_patch(out.partial(), old_dir, new_dir, entries, cb, prog); !r)
            return r;
        stats.verified = true;
    }
    if (r = out.place(out_path, opt.overwrite); !r)
        return r;
    stats.patch_bytes = total;
    return {};
}

} // namespace kv
