#include "builder.h"

#include "codec.h"
#include "crossfile.h"
#include "delta.h"
#include "format.h"
#include "paths.h"
#include "signature.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>

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

std::string scan_tree(const std::string& root, const std::string& rel, std::vector<TreeItem>& out,
                      const ScanRules& rules) {
    std::string dir = rel.empty() ? root : os::join(root, to_native(rel));
    std::vector<os::DirEntry> entries;
    os::Status s = os::list_dir(dir, entries);
    if (!s)
        return s.text;
    std::sort(entries.begin(), entries.end(),
              [](const os::DirEntry& a, const os::DirEntry& b) { return a.name < b.name; });
    std::map<std::string, std::string> folded; // names of this folder by their folded form
    for (const os::DirEntry& e : entries) {
        std::string r = rel.empty() ? e.name : rel + "/" + e.name;
        // Patches store names in UTF-8, and Windows holds one of two names that differ only
        // in letter case.
        if (!is_valid_utf8(e.name))
            return escape_name(r) + ": the name is not valid UTF-8 (patches store names in "
                                    "UTF-8; rename the file)";
        auto [other, fresh] = folded.emplace(fold_case(e.name), e.name);
        if (!fresh)
            return "\"" + escape_name(rel.empty() ? other->second : rel + "/" + other->second) +
                   "\" and \"" + escape_name(r) +
                   "\" differ only in letter case, and Windows cannot hold both";
        if (is_reserved_path(r) && (split_rel(r).size() == 2 || fold_case(r) == fold_case(kReservedTopTmp)))
            continue; // the engine's journal or half-made top folder, never part of a game
        if (rules.exclude && path_excluded(r, *rules.exclude)) {
            ++*rules.excluded;
            continue;
        }
        std::string full = os::join(dir, e.name);
        os::Stat st;
        if (!(s = os::stat(full, st)))
            return s.text;
        if (st.is_link)
            return full + " is a link; the builder does not follow links";
        TreeItem it;
        it.rel = r;
        it.is_dir = st.is_dir;
        it.size = st.size;
        it.attrs = st.attrs & os::kAttrMask;
        if (!st.is_dir && !st.is_file)
            return full + " is not a regular file";
        out.push_back(it);
        if (st.is_dir) {
            std::string why = scan_tree(root, r, out, rules);
            if (!why.empty())
                return why;
        }
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
std::string read_ignore_file(const std::string& new_dir, std::vector<std::string>& out) {
    std::string path = os::join(new_dir, ".rtpignore");
    os::Stat st;
    os::stat(path, st);
    if (!st.exists)
        return {};
    if (!st.is_file || st.size > (1u << 20))
        return path + " is not a text file of at most 1 MiB";
    os::File f;
    os::Status s = os::File::open_read(path, f);
    std::string text(static_cast<size_t>(st.size), '\0');
    if (s && !text.empty())
        s = f.read_exact_at(0, text.data(), text.size());
    if (!s)
        return "cannot read " + path + ": " + s.text;
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

// Decodes every entry of the finished patch against the old tree and checks each result
// against its recorded size and hash; the entries must be the ones written.
std::string verify_patch(const std::string& path, const std::string& old_dir,
                         const std::vector<Entry>& written, const BuildCallbacks& cb,
                         BuildProgress& prog) {
    Patch p;
    std::string msg;
    if (open_patch(path, p, msg) != PatchError::None)
        return "the new patch does not read back: " + msg;
    if (p.entries.size() != written.size())
        return "the new patch does not read back: its directory lost entries";
    if (p.signature.present && !(msg = check_patch_signature(p)).empty())
        return "the new patch's signature does not hold: " + msg;
    prog.stage = "verify";
    prog.files_done = prog.bytes_done = 0;
    prog.files_total = 0;
    for (const Entry& e : p.entries)
        prog.files_total += e.makes_new() ? 1 : 0;
    for (size_t i = 0; i < p.entries.size(); ++i) {
        const Entry& e = p.entries[i];
        const Entry& w = written[i];
        if (e.path != w.path || e.op != w.op || e.new_hash != w.new_hash ||
            e.old_hash != w.old_hash || e.new_size != w.new_size || e.old_size != w.old_size)
            return "the new patch does not read back: entry " + e.path + " differs";
        if (!e.makes_new())
            continue;
        prog.current = e.path;
        os::File oldf;
        const std::string& from = e.source.present ? e.source.path : e.path;
        if (e.codec == Codec::Delta) {
            os::Status s = os::File::open_read(os::join(old_dir, to_native(from)), oldf);
            if (!s)
                return s.text;
        }
        HashingSink hs;
        uint64_t base = prog.bytes_done;
        DecodeResult r = decode_payload(e, p.file, oldf.is_open() ? &oldf : nullptr,
                                        e.source.present ? e.source.size : e.old_size,
                                        hs, [&](uint64_t n) {
                                            prog.bytes_done = base + n;
                                            if (cb.progress)
                                                cb.progress(prog);
                                        });
        if (r.status != DecodeStatus::Ok)
            return "verifying " + e.path + " failed: " + r.message;
        if (hs.count() != e.new_size || hs.digest() != e.new_hash)
            return "verifying " + e.path + " failed: the decoded file does not match its hash";
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

std::string build_patch(const std::string& old_dir, const std::string& new_dir,
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
    BuildFailure failure;
    return build_patch(old_dir, new_dir, out_path, opt, cb, stats, failure);
}

std::string build_patch(const std::string& old_dir, const std::string& new_dir,
                        const std::string& out_path, const BuildOptions& opt,
                        const BuildCallbacks& cb, BuildStats& stats, BuildFailure& failure) {
    stats = BuildStats{};
    failure = BuildFailure::Input;
    BuildProgress prog;
    auto report = [&]() {
        if (cb.progress)
            cb.progress(prog);
    };
    report();

    // The output first: a missing folder or an existing file is known before any work.
    {
        size_t cut = out_path.find_last_of(os::separator() == '\\' ? "\\/:" : "/");
        std::string folder = cut == std::string::npos ? std::string(".") : out_path.substr(0, cut);
        if (folder.empty())
            folder = os::separator() == '\\' ? "\\" : "/";
        else if (out_path[cut] == ':')
            folder += ":";
        os::Stat fs, os_;
        os::stat(folder, fs);
        if (!fs.exists || !fs.is_dir) {
            failure = BuildFailure::Output;
            return "the output folder " + folder + " does not exist";
        }
        os::stat(out_path, os_);
        if (os_.exists && (os_.is_dir || os_.is_link)) {
            failure = BuildFailure::Output;
            return out_path + " is a folder or a link, not a file";
        }
        if (os_.exists && !opt.overwrite) {
            failure = BuildFailure::Exists;
            return out_path + " already exists (give -f to overwrite it)";
        }
    }

    std::vector<std::string> exclude = opt.exclude;
    std::string why = read_ignore_file(new_dir, exclude);
    if (!why.empty())
        return why;
    exclude.push_back("/.rtpignore");
    std::vector<TreeItem> olds, news;
    ScanRules rules{&exclude, &stats.excluded};
    why = scan_tree(old_dir, "", olds, rules);
    if (!why.empty())
        return "cannot read the old tree: " + why;
    if (!(why = scan_tree(new_dir, "", news, rules)).empty())
        return "cannot read the new tree: " + why;
    std::map<std::string, const TreeItem*> old_by, new_by; // folded path
    for (const TreeItem& t : olds)
        old_by[fold_case(t.rel)] = &t;
    for (const TreeItem& t : news) {
        new_by.emplace(fold_case(t.rel), &t);
        if (t.rel == kReservedTop && t.is_dir)
            continue;
        std::string bad = check_rel_path(t.rel, NameCoding::Utf8);
        if (!bad.empty())
            return "the new tree holds a name the engine refuses: " + t.rel + " (" + bad + ")";
    }

    std::vector<Entry> mkdirs, files, rmdirs;
    for (const TreeItem& t : news) {
        auto it = old_by.find(fold_case(t.rel));
        const TreeItem* o = it == old_by.end() ? nullptr : it->second;
        if (t.is_dir) {
            if ((!o || !o->is_dir) && t.rel != kReservedTop) {
                Entry e;
                e.op = Op::MakeDir;
                e.path = t.rel;
                mkdirs.push_back(e);
            }
            continue;
        }
        Entry e;
        e.path = t.rel;
        e.new_size = t.size;
        e.attrs = t.attrs;
        if (o && !o->is_dir) {
            e.op = Op::Modify;
            e.old_size = o->size;
        } else {
            e.op = Op::Add;
        }
        files.push_back(e);
    }
    for (const TreeItem& t : olds) {
        auto it = new_by.find(fold_case(t.rel));
        const TreeItem* n = it == new_by.end() ? nullptr : it->second;
        if (t.is_dir) {
            if ((!n || !n->is_dir) && t.rel != kReservedTop) {
                Entry e;
                e.op = Op::RemoveDir;
                e.path = t.rel;
                rmdirs.push_back(e);
            }
            continue;
        }
        if (n && !n->is_dir)
            continue;
        std::string bad = check_rel_path(t.rel, NameCoding::Utf8);
        if (!bad.empty())
            return "the old tree holds a name the engine refuses: " + t.rel + " (" + bad + ")";
        Entry e;
        e.op = Op::Delete;
        e.path = t.rel;
        e.old_size = t.size;
        files.push_back(e);
    }
    std::sort(files.begin(), files.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    std::sort(rmdirs.begin(), rmdirs.end(),
              [](const Entry& a, const Entry& b) { return a.path > b.path; });

    failure = BuildFailure::Output;
    std::string partial = out_path + ".partial";
    os::remove_file(partial);
    os::File outf;
    os::Status s = os::File::create_new(partial, outf);
    if (!s)
        return "cannot write the patch: " + s.text;
    FileSink fsink(outf);
    SigningSink signing(fsink);
    signing.signer = opt.signer;
    HashingSink out(&signing);
    auto fail = [&](const std::string& m) {
        outf.close();
        os::remove_file(partial);
        return m;
    };
    // Files that may be built from another old file: moved, renamed, split out, copied.
    std::map<std::string, const TreeFile*> source_of;
    std::vector<TreeFile> old_files, added;
    std::map<std::string, int64_t> old_index;
    for (const TreeItem& t : olds)
        if (!t.is_dir && check_rel_path(t.rel, NameCoding::Utf8).empty()) {
            old_index[t.rel] = static_cast<int64_t>(old_files.size());
            old_files.push_back({t.rel, os::join(old_dir, to_native(t.rel)), t.size});
        }
    std::vector<int64_t> own, picks;
    for (const Entry& e : files)
        if (e.makes_new() && e.new_size > 0) {
            added.push_back({e.path, os::join(new_dir, to_native(e.path)), e.new_size});
            auto it = e.op == Op::Modify ? old_index.find(e.path) : old_index.end();
            own.push_back(it == old_index.end() ? -1 : it->second);
        }
    if (!(s = choose_sources(old_files, added, own, picks)))
        return fail(s.text);
    for (size_t k = 0; k < added.size(); ++k)
        if (picks[k] >= 0 && old_files[static_cast<size_t>(picks[k])].size > 0)
            source_of[added[k].rel] = &old_files[static_cast<size_t>(picks[k])];
    // The section's size is bounded as the sources are taken: a deleted file's record is an
    // index; any other old file's may hold its path.
    std::set<std::string> deleted;
    for (const Entry& e : files)
        if (e.op == Op::Delete)
            deleted.insert(e.path);
    uint64_t source_bytes = 0, source_record = 0;
    std::vector<uint8_t> header =
        encode_header(source_of.empty() ? kPlainFormatVersion : kCrossFileVersion);
    if (!(s = out.write(header.data(), header.size())))
        return fail(s.text);

    prog.stage = "diff";
    prog.files_total = files.size();
    for (const Entry& e : files)
        prog.bytes_total += e.makes_new() ? e.new_size : 0;
    report();
    failure = BuildFailure::Input;
    std::vector<Entry> entries = mkdirs;
    // The latest delta entries that refer to no other: later entries' instructions may be
    // predicted from theirs (files that carry the same edits). Each referring entry makes the
    // engine decode the referred one's instructions, so only entries with few are offered.
    constexpr size_t kBases = 4;
    constexpr size_t kBaseInstructions = size_t{1} << 14;
    std::deque<std::pair<uint32_t, std::vector<Instr>>> bases;
    InstrRefs refs;
    Spool deflated(out_path + ".tmp-full"), delta(out_path + ".tmp-delta");
    DeltaOptions dopt = opt.delta;
    dopt.indexing = [&](bool on) {
        prog.stage = on ? "index" : "diff";
        report();
    };
    for (Entry& e : files) {
        prog.current = e.path;
        uint64_t base = prog.bytes_done;
        auto within = [&](uint64_t done) {
            prog.bytes_done = base + std::min(done, e.new_size);
            report();
        };
        std::string oldp = os::join(old_dir, to_native(e.path));
        std::string newp = os::join(new_dir, to_native(e.path));
        if (e.needs_old()) {
            if (!(s = hash_file(oldp, e.old_size, e.old_hash)))
                return fail(s.text);
        }
        ++prog.files_done;
        if (e.op == Op::Delete) {
            ++stats.deleted;
            if (cb.file)
                cb.file({"delete", e.path, 0, 0, nullptr});
            entries.push_back(e);
            report();
            continue;
        }
        if (!(s = hash_file(newp, e.new_size, e.new_hash)))
            return fail(s.text);
        if (e.op == Op::Modify && e.old_size == e.new_size && e.old_hash == e.new_hash) {
            ++stats.unchanged;
            within(e.new_size);
            continue;
        }
        os::File nf, of;
        if (!(s = os::File::open_read(newp, nf)))
            return fail(s.text);
        deflated.clear();
        delta.clear();
        bool have_delta = false;
        auto src = source_of.find(e.path);
        const TreeFile* from = src == source_of.end() ? nullptr : src->second;
        if (from) {
            source_record = source_record_bound(from->rel, deleted.count(from->rel) > 0);
            if (source_bytes + source_record > kMaxSourceSectionBytes)
                from = nullptr;
        }
        if ((e.op == Op::Modify && e.old_size > 0 && e.new_size > 0) || from) {
            if (!(s = os::File::open_read(from ? from->full : oldp, of)))
                return fail(s.text);
            refs.candidates.clear();
            for (const auto& [index, instrs] : bases)
                refs.candidates.emplace_back(index, &instrs);
            if (!(s = encode_delta(of, from ? from->size : e.old_size, nf, e.new_size, delta, dopt,
                                   within, &refs)))
                return fail(s.text);
            have_delta = true;
        }
        // A full copy rarely wins against a small difference; skip compressing it then.
        bool try_full = !have_delta || delta.size() > e.new_size / 5;
        if (try_full && e.new_size > 0 &&
            !(s = encode_deflate(nf, e.new_size, deflated, opt.level, within)))
            return fail(s.text);
        uint64_t best = e.new_size;
        e.codec = Codec::Stored;
        if (try_full && e.new_size > 0 && deflated.size() < best) {
            best = deflated.size();
            e.codec = Codec::Deflate;
        }
        if (have_delta && delta.size() < best) {
            best = delta.size();
            e.codec = Codec::Delta;
        }
        if (e.codec == Codec::Delta && from) {
            e.source = {true, from->rel, from->size, {}, Entry::kNoEntry};
            if (!(s = hash_file(from->full, from->size, e.source.hash)))
                return fail(s.text);
            source_bytes += source_record;
        }
        if (e.codec == Codec::Delta) {
            if (refs.chosen >= 0) {
                e.extra = delta_reference_params(static_cast<uint64_t>(refs.chosen));
            } else if (refs.own.size() <= kBaseInstructions) {
                bases.emplace_back(static_cast<uint32_t>(entries.size()), std::move(refs.own));
                if (bases.size() > kBases)
                    bases.pop_front();
            }
        }
        e.payload_offset = out.count();
        e.payload_size = best;
        if (e.codec == Codec::Stored)
            s = encode_stored(nf, e.new_size, out);
        else if (e.codec == Codec::Deflate)
            s = deflated.copy_to(out);
        else
            s = delta.copy_to(out);
        if (!s) {
            failure = BuildFailure::Output;
            return fail(s.text);
        }
        stats.new_bytes += e.new_size;
        if (e.op == Op::Modify)
            ++stats.modified;
        else
            ++stats.added;
        if (cb.file)
            cb.file({op_name(e.op), e.path, e.new_size, best, codec_name(e.codec)});
        entries.push_back(e);
        within(e.new_size);
    }
    deflated.clear();
    delta.clear();
    entries.insert(entries.end(), rmdirs.begin(), rmdirs.end());
    stats.dirs = mkdirs.size() + rmdirs.size();
    if (cb.file) {
        for (const Entry& e : mkdirs)
            cb.file({"mkdir", e.path, 0, 0, nullptr});
        for (const Entry& e : rmdirs)
            cb.file({"rmdir", e.path, 0, 0, nullptr});
    }
    if (entries.empty() && !opt.allow_empty) {
        failure = BuildFailure::Empty;
        return fail("the two trees are identical, so the patch would change nothing (give "
                    "--allow-empty to build it anyway)");
    }

    failure = BuildFailure::Output;
    prog.stage = "write";
    prog.current.clear();
    report();
    uint64_t dir_off = out.count();
    std::string msg;
    if (check_entries(entries, dir_off, msg) != PatchError::None)
        return fail("the patch would be refused: " + msg);
    std::vector<uint8_t> fixed = encode_directory(entries);
    if (fixed.size() > kMaxDirectoryBytes || entries.size() > kMaxEntries)
        return fail("too many files for one patch");
    uint32_t dir_coding = kDirRaw, raw_size = 0;
    std::vector<uint8_t> dir = pack_entries(entries, fixed, dir_coding, raw_size);
    // The sections: what the patch is for, then the signature, last before the trailer.
    std::vector<uint8_t> sections = encode_sources_section(entries);
    if (!opt.meta.empty()) {
        for (const std::string* t : {&opt.meta.game, &opt.meta.from, &opt.meta.to})
            if (!t->empty() && !(why = check_meta_text(*t)).empty())
                return fail("cannot store \"" + *t + "\": " + why);
        std::vector<uint8_t> meta = encode_meta_section(opt.meta);
        sections.insert(sections.end(), meta.begin(), meta.end());
    }
    if (opt.signer) {
        std::vector<uint8_t> head = encode_sign_section_head(opt.signer->key);
        sections.insert(sections.end(), head.begin(), head.end());
    }
    uint64_t total = dir_off + dir.size() + sections.size() + kTrailerSize +
                     (opt.signer ? 64 : 0);
    std::vector<uint8_t> trailer = encode_trailer_head(
        static_cast<uint32_t>(entries.size()), dir_off, dir.size(), total, dir_coding, raw_size);
    if (!(s = out.write(dir.data(), dir.size())) ||
        !(s = out.write(sections.data(), sections.size())))
        return fail(s.text);
    if (opt.signer) {
        // The signature covers every byte but its own value and the final checksum.
        opt.signer->update(trailer.data(), trailer.size());
        signing.signer = nullptr;
        uint8_t value[64];
        if (!(why = opt.signer->finish(value)).empty())
            return fail("cannot sign the patch: " + why);
        if (!(s = out.write(value, 64)))
            return fail(s.text);
    }
    if (!(s = out.write(trailer.data(), trailer.size())))
        return fail(s.text);
    Hash128 sum = out.digest();
    if (!(s = fsink.write(sum.b, 16)) || !(s = outf.sync()) || !(s = outf.close()))
        return fail(s.text);
    if (opt.verify) {
        why = verify_patch(partial, old_dir, entries, cb, prog);
        if (!why.empty()) {
            failure = BuildFailure::Verify;
            return fail(why);
        }
        stats.verified = true;
    }
    os::Stat st;
    os::stat(out_path, st);
    if (st.exists && !opt.overwrite)
        return fail(out_path + " appeared while the patch was built; it was left alone");
    if (st.exists && !(s = os::remove_file(out_path)))
        return fail(s.text);
    if (!(s = os::rename_noreplace(partial, out_path)))
        return fail(s.text);
    stats.patch_bytes = total;
    failure = BuildFailure::None;
    return {};
}

} // namespace kv
