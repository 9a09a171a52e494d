#include "crossfile.h"

#include "bytes.h"
#include "hash.h"
#include "paths.h"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace kv {

namespace {

DecodeResult refuse(const std::string& why) {
    return DecodeResult::corrupt("The patch is damaged: its list of sources " + why + ".");
}

// One record: the entry it belongs to is read by the caller; this reads where the source is.
DecodeResult read_source(ByteReader& r, const std::vector<Entry>& entries, size_t target,
                         Entry::Source& src) {
    uint64_t code = r.varu();
    if (r.bad())
        return refuse("is cut short");
    if ((code & 1) == 0) {
        uint64_t index = code >> 1;
        if (index >= entries.size() || index == target || !entries[index].needs_old())
            return refuse("names an entry that has no old file to read");
        const Entry& e = entries[static_cast<size_t>(index)];
        src.path = e.path;
        src.size = e.old_size;
        src.hash = e.old_hash;
        src.entry = static_cast<uint32_t>(index);
    } else if (code == 1) {
        uint64_t index = r.varu();
        if (r.bad())
            return refuse("is cut short");
        if (index >= target || !entries[static_cast<size_t>(index)].makes_new())
            return refuse("names no earlier entry whose new file it can read");
        const Entry& e = entries[static_cast<size_t>(index)];
        if (e.new_size > kMaxNewSourceBytes)
            return refuse("names a new file too large to keep");
        src.path = e.path;
        src.size = e.new_size;
        src.hash = e.new_hash;
        src.entry = static_cast<uint32_t>(index);
        src.new_content = true;
    } else {
        uint64_t len = code >> 1;
        if (len == 0 || len > kMaxPathBytes)
            return refuse("holds a path of impossible length");
        const uint8_t* p = r.take(static_cast<size_t>(len));
        src.size = r.varu();
        const uint8_t* h = r.take(16);
        if (r.bad())
            return refuse("is cut short");
        if (src.size >= kMaxFileSize)
            return refuse("declares an impossible file size");
        src.path.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
        std::copy(h, h + 16, src.hash.b);
        if (DecodeResult bad = check_rel_path(src.path, NameCoding::Utf8); !bad)
            return DecodeResult::refuse(PatchError::Hostile, "The patch is refused: the source \"" +
                                                                 printable(src.path, 120) +
                                                                 "\" is unsafe (" + bad.message +
                                                                 ").");
    }
    src.present = true;
    return DecodeResult::ok();
}

} // namespace

// Body: varint count (1 .. entries), then per record: varint gap (the entry's index minus the
// previous record's entry plus one, so entries strictly increase), varint code: even = the old
// file of entry code/2; 1 = the new file of the earlier entry whose index follows (varint);
// other odd = a path of code/2 bytes, varint size, 16-byte XXH3-128.
DecodeResult read_sources(const uint8_t* body, size_t size, std::vector<Entry>& entries) {
    ByteReader r(body, size);
    uint64_t count = r.varu();
    if (r.bad() || count == 0 || count > entries.size())
        return refuse("has an impossible count");
    uint64_t next = 0, kept_bytes = 0;
    std::vector<bool> kept(entries.size()); // entries whose new file a later entry reads
    for (uint64_t k = 0; k < count; ++k) {
        uint64_t gap = r.varu();
        if (r.bad())
            return refuse("is cut short");
        if (next >= entries.size() || gap >= entries.size() - next)
            return refuse("names an entry beyond the directory");
        size_t target = static_cast<size_t>(next + gap);
        next = target + 1;
        Entry& e = entries[target];
        if (!e.makes_new() || e.codec != Codec::Delta)
            return refuse("gives a source to an entry that is not a difference");
        Entry::Source src;
        if (DecodeResult res = read_source(r, entries, target, src); !res)
            return res;
        if (src.new_content && !kept[src.entry]) {
            kept[src.entry] = true;
            kept_bytes += src.size;
            if (kept_bytes > kMaxNewSourceBytes)
                return refuse("names new files too large to keep");
        }
        e.source = std::move(src);
    }
    if (r.left() != 0)
        return refuse("has trailing bytes");
    return DecodeResult::ok();
}

std::vector<uint8_t> encode_sources_section(const std::vector<Entry>& entries) {
    std::map<std::string, size_t> old_files, new_files;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].needs_old())
            old_files.emplace(entries[i].path, i);
        if (entries[i].makes_new())
            new_files.emplace(entries[i].path, i);
    }
    std::vector<uint8_t> body;
    uint64_t count = 0, next = 0;
    std::vector<uint8_t> records;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry::Source& s = entries[i].source;
        if (!s.present)
            continue;
        ++count;
        put_varu(records, i - next);
        next = i + 1;
        if (s.new_content) {
            put_varu(records, 1);
            put_varu(records, new_files.at(s.path));
            continue;
        }
        auto it = old_files.find(s.path);
        if (it != old_files.end() && it->second != i && entries[it->second].old_size == s.size &&
            entries[it->second].old_hash == s.hash) {
            put_varu(records, uint64_t{it->second} << 1);
            continue;
        }
        put_varu(records, (uint64_t{s.path.size()} << 1) | 1);
        put_bytes(records, s.path.data(), s.path.size());
        put_varu(records, s.size);
        put_bytes(records, s.hash.b, 16);
    }
    if (count == 0)
        return {};
    put_varu(body, count);
    body.insert(body.end(), records.begin(), records.end());
    return encode_section("srcs", body);
}

uint64_t source_record_bound(const std::string& old_path, bool is_entry) {
    // gap and code as varints of at most 3 bytes each (65,536 entries); a path's size as a
    // varint of at most 9 bytes (below 2^60) and its hash
    return is_entry ? 6 : 6 + old_path.size() + 9 + 16;
}

namespace {

// Content-defined anchors: a rolling hash in which each byte's influence leaves after 64
// bytes (every step shifts the sum left by one; the idea is the "gear" hash of content-defined
// chunking). A position is an anchor when the hash's top six bits are zero, about one in 64,
// so an anchor depends on the content alone, wherever it stands in a file. Of the anchors,
// those whose hash is zero in `mask` are kept: the same sample in every file, so two files
// that share content share the sampled anchors of it (consistent sampling, after Broder's
// resemblance estimates).
struct GearTable {
    uint64_t v[256];
    GearTable() {
        uint64_t x = 0x6b8b4567327b23c6ull; // any fixed odd seed; splitmix steps
        for (uint64_t& e : v) {
            x += 0x9e3779b97f4a7c15ull;
            uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            e = z ^ (z >> 31);
        }
    }
};

os::Status anchors_of(const TreeFile& f, uint64_t mask, std::vector<uint64_t>& out) {
    static const GearTable gear;
    out.clear();
    os::File file;
    os::Status s = os::File::open_read(f.full, file);
    if (!s)
        return s;
    std::vector<uint8_t> buf(1u << 16);
    uint64_t h = 0;
    for (uint64_t off = 0; off < f.size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), f.size - off));
        if (!(s = file.read_exact_at(off, buf.data(), n)))
            return s;
        for (size_t i = 0; i < n; ++i) {
            h = (h << 1) + gear.v[buf[i]];
            if ((h >> 58) == 0 && (h & mask) == 0 && off + i >= 63)
                out.push_back(h);
        }
        off += n;
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return os::Status::success();
}

} // namespace

os::Status choose_sources(const std::vector<TreeFile>& olds, const std::vector<TreeFile>& added,
                          const std::vector<int64_t>& own, std::vector<int64_t>& chosen) {
    chosen.assign(added.size(), -1);
    if (added.empty())
        return os::Status::success();
    // Sample rate: about one anchor in 64 bytes, halved until the old tree's fit the budget.
    uint64_t total = 0;
    for (const TreeFile& f : olds)
        total += f.size;
    uint64_t mask = 0;
    while ((total >> 6) / (mask + 1) > kMaxAnchors && mask < (uint64_t{1} << 40))
        mask = mask * 2 + 1;
    std::vector<std::pair<uint64_t, uint32_t>> index; // anchor, old file
    std::vector<uint64_t> a;
    for (size_t i = 0; i < olds.size(); ++i) {
        if (os::Status s = anchors_of(olds[i], mask, a); !s)
            return s;
        for (uint64_t h : a)
            if (index.size() < kMaxAnchors)
                index.emplace_back(h, static_cast<uint32_t>(i));
    }
    std::sort(index.begin(), index.end());
    // An anchor found in many old files (a licence header, boilerplate) says nothing about
    // where a file came from, and would make the vote cost quadratic: such anchors are skipped.
    constexpr size_t kCommon = 8;
    std::map<uint32_t, uint32_t> votes;
    // The earlier wanted files small enough to be kept for later ones, by anchor: numbered
    // after the old files, and offered to added files only (a changed file keeps its own old
    // file unless another old one shares much more).
    std::unordered_map<uint64_t, std::vector<uint32_t>> fresh;
    size_t fresh_anchors = 0;
    for (size_t k = 0; k < added.size(); ++k) {
        if (os::Status s = anchors_of(added[k], mask, a); !s)
            return s;
        votes.clear();
        for (uint64_t h : a) {
            auto lo = std::lower_bound(index.begin(), index.end(), std::make_pair(h, uint32_t{0}));
            auto hi = lo;
            while (hi != index.end() && hi->first == h &&
                   hi - lo <= static_cast<ptrdiff_t>(kCommon))
                ++hi;
            if (hi - lo <= static_cast<ptrdiff_t>(kCommon))
                for (auto it = lo; it != hi; ++it)
                    ++votes[it->second];
            auto f = own[k] < 0 ? fresh.find(h) : fresh.end();
            if (f != fresh.end() && f->second.size() <= kCommon)
                for (uint32_t file : f->second)
                    ++votes[file];
        }
        if (added[k].size <= kMaxNewSourceBytes && fresh_anchors + a.size() <= kMaxAnchors) {
            fresh_anchors += a.size();
            for (uint64_t h : a)
                fresh[h].push_back(static_cast<uint32_t>(olds.size() + k));
        }
        // At least three shared anchors, about 200 bytes in common, and more than twice what
        // the file's own old file shares: the builder then codes the file against the source
        // and keeps that or the whole file, whichever is smaller.
        uint32_t best = 2;
        if (own[k] >= 0) {
            auto it = votes.find(static_cast<uint32_t>(own[k]));
            best = std::max(best, it == votes.end() ? 0u : 2 * it->second);
        }
        for (const auto& [file, n] : votes)
            if (n > best && static_cast<int64_t>(file) != own[k]) {
                best = n;
                chosen[k] = file;
            }
    }
    return os::Status::success();
}

SourceFinding open_source(const std::string& full, const Entry::Source& src, os::File& out) {
    os::Stat st;
    if (os::Status s = os::stat(full, st); !s)
        return {SourceState::Differs, "cannot be read: " + s.text};
    if (st.exists && st.is_link)
        return {SourceState::Unsafe, "is a link to another place"};
    if (!st.exists)
        return {SourceState::Missing, "is missing"};
    const SourceFinding differs{SourceState::Differs, "differs from the version this patch reads"};
    if (!st.is_file || st.size != src.size)
        return differs;
    Hash128 h;
    os::Status s = os::File::open_read(full, out);
    if (s)
        s = hash_file(out, src.size, h);
    if (!s || h != src.hash) {
        out.close();
        return s ? differs : SourceFinding{SourceState::Differs, "cannot be read: " + s.text};
    }
    return {};
}

} // namespace kv
