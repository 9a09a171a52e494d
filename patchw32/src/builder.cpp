#include "builder.h"

#include "codec.h"
#include "delta.h"
#include "format.h"
#include "paths.h"

#include <algorithm>
#include <deque>
#include <map>

namespace kv {

namespace {

struct TreeItem {
    std::string rel; // as on disk
    bool is_dir = false;
    uint64_t size = 0;
    uint32_t attrs = 0;
};

std::string scan_tree(const std::string& root, const std::string& rel, std::vector<TreeItem>& out) {
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
            std::string why = scan_tree(root, r, out);
            if (!why.empty())
                return why;
        }
    }
    return {};
}

os::Status hash_file(const std::string& path, uint64_t size, Hash128& out) {
    os::File f;
    os::Status s = os::File::open_read(path, f);
    if (!s)
        return s;
    Hasher h;
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t pos = 0; pos < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
        if (!(s = f.read_exact_at(pos, buf.data(), n)))
            return s;
        h.update(buf.data(), n);
        pos += n;
    }
    out = h.digest();
    return s;
}

} // namespace

std::string build_patch(const std::string& old_dir, const std::string& new_dir,
                        const std::string& out_path, const BuildOptions& opt, const BuildLog& log,
                        BuildStats& stats) {
    stats = BuildStats{};
    std::vector<TreeItem> olds, news;
    std::string why = scan_tree(old_dir, "", olds);
    if (!why.empty())
        return "cannot read the old tree: " + why;
    if (!(why = scan_tree(new_dir, "", news)).empty())
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

    std::string partial = out_path + ".partial";
    os::remove_file(partial);
    os::File outf;
    os::Status s = os::File::create_new(partial, outf);
    if (!s)
        return s.text;
    FileSink fsink(outf);
    HashingSink out(&fsink);
    auto fail = [&](const std::string& m) {
        outf.close();
        os::remove_file(partial);
        return m;
    };
    std::vector<uint8_t> header = encode_header();
    if (!(s = out.write(header.data(), header.size())))
        return fail(s.text);

    std::vector<Entry> entries = mkdirs;
    // The latest delta entries that refer to no other: later entries' instructions may be
    // predicted from theirs (files that carry the same edits). Each referring entry makes the
    // engine decode the referred one's instructions, so only entries with few are offered.
    constexpr size_t kBases = 4;
    constexpr size_t kBaseInstructions = size_t{1} << 14;
    std::deque<std::pair<uint32_t, std::vector<Instr>>> bases;
    InstrRefs refs;
    Spool deflated(out_path + ".tmp-full"), delta(out_path + ".tmp-delta");
    size_t n = files.size(), k = 0;
    for (Entry& e : files) {
        ++k;
        std::string prefix = "[" + std::to_string(k) + "/" + std::to_string(n) + "] ";
        std::string oldp = os::join(old_dir, to_native(e.path));
        std::string newp = os::join(new_dir, to_native(e.path));
        if (e.needs_old()) {
            if (!(s = hash_file(oldp, e.old_size, e.old_hash)))
                return fail(s.text);
        }
        if (e.op == Op::Delete) {
            ++stats.deleted;
            if (log)
                log(prefix + "delete " + e.path);
            entries.push_back(e);
            continue;
        }
        if (!(s = hash_file(newp, e.new_size, e.new_hash)))
            return fail(s.text);
        if (e.op == Op::Modify && e.old_size == e.new_size && e.old_hash == e.new_hash) {
            ++stats.unchanged;
            continue;
        }
        os::File nf, of;
        if (!(s = os::File::open_read(newp, nf)))
            return fail(s.text);
        deflated.clear();
        delta.clear();
        bool have_delta = false;
        if (e.op == Op::Modify && e.old_size > 0 && e.new_size > 0) {
            if (!(s = os::File::open_read(oldp, of)))
                return fail(s.text);
            // Large files report their progress every tenth.
            uint64_t next_report = e.new_size / 10;
            auto progress = [&](uint64_t done) {
                if (log && e.new_size >= (64u << 20) && done >= next_report && done < e.new_size) {
                    log(prefix + "modify " + e.path + ": " +
                        std::to_string(done * 100 / e.new_size) + "%");
                    next_report = done + e.new_size / 10;
                }
            };
            refs.candidates.clear();
            for (const auto& [index, instrs] : bases)
                refs.candidates.emplace_back(index, &instrs);
            if (!(s = encode_delta(of, e.old_size, nf, e.new_size, delta, opt.delta, progress,
                                   &refs)))
                return fail(s.text);
            have_delta = true;
        }
        // A full copy rarely wins against a small difference; skip compressing it then.
        bool try_full = !have_delta || delta.size() > e.new_size / 5;
        if (try_full && e.new_size > 0 &&
            !(s = encode_deflate(nf, e.new_size, deflated, opt.level)))
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
        if (!s)
            return fail(s.text);
        stats.new_bytes += e.new_size;
        if (e.op == Op::Modify)
            ++stats.modified;
        else
            ++stats.added;
        if (log)
            log(prefix + op_name(e.op) + " " + e.path + ": " + std::to_string(e.new_size) +
                " bytes -> " + codec_name(e.codec) + " " + std::to_string(best) + " bytes");
        entries.push_back(e);
    }
    deflated.clear();
    delta.clear();
    entries.insert(entries.end(), rmdirs.begin(), rmdirs.end());
    stats.dirs = mkdirs.size() + rmdirs.size();

    uint64_t dir_off = out.count();
    std::string msg;
    if (check_entries(entries, dir_off, msg) != PatchError::None)
        return fail("the patch would be refused: " + msg);
    std::vector<uint8_t> fixed = encode_directory(entries);
    if (fixed.size() > kMaxDirectoryBytes || entries.size() > kMaxEntries)
        return fail("too many files for one patch");
    uint32_t dir_coding = kDirRaw, raw_size = 0;
    std::vector<uint8_t> dir = pack_entries(entries, fixed, dir_coding, raw_size);
    uint64_t total = dir_off + dir.size() + kTrailerSize;
    std::vector<uint8_t> trailer = encode_trailer_head(
        static_cast<uint32_t>(entries.size()), dir_off, dir.size(), total, dir_coding, raw_size);
    if (!(s = out.write(dir.data(), dir.size())) ||
        !(s = out.write(trailer.data(), trailer.size())))
        return fail(s.text);
    Hash128 sum = out.digest();
    if (!(s = fsink.write(sum.b, 16)) || !(s = outf.sync()) || !(s = outf.close()))
        return fail(s.text);
    os::Stat st;
    os::stat(out_path, st);
    if (st.exists && !(s = os::remove_file(out_path)))
        return fail(s.text);
    if (!(s = os::rename_noreplace(partial, out_path)))
        return fail(s.text);
    stats.patch_bytes = total;
    return {};
}

} // namespace kv
