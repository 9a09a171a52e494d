#include "format.h"

#include "bytes.h"
#include "cm.h"
#include "codec.h"
#include "crossfile.h"
#include "literals.h"
#include "paths.h"

#include <algorithm>
#include <zlib.h>

namespace kv {

const uint8_t kMagic[8] = {'K', 'V', 'R', 'T', 'P', 0x1A, 0x0D, 0x0A};
const uint8_t kTrailerMagic[8] = {'K', 'V', 'R', 'T', 'P', 'E', 'N', 'D'};

const char* op_name(Op op) {
    switch (op) {
    case Op::Modify:
        return "modify";
    case Op::Add:
        return "add";
    case Op::Delete:
        return "delete";
    case Op::MakeDir:
        return "mkdir";
    case Op::RemoveDir:
        return "rmdir";
    }
    return "?";
}

const char* codec_name(Codec c) {
    switch (c) {
    case Codec::None:
        return "none";
    case Codec::Stored:
        return "stored";
    case Codec::Deflate:
        return "deflate";
    case Codec::Delta:
        return "delta";
    }
    return "?";
}

std::vector<uint8_t> encode_header(uint16_t version) {
    std::vector<uint8_t> h;
    put_bytes(h, kMagic, 8);
    put_u16(h, version);
    put_u16(h, static_cast<uint16_t>(kHeaderSize));
    put_u32(h, 0);
    return h;
}

std::vector<uint8_t> encode_directory(const std::vector<Entry>& entries) {
    std::vector<uint8_t> d;
    for (const Entry& e : entries) {
        put_u8(d, static_cast<uint8_t>(e.op));
        put_u8(d, static_cast<uint8_t>(e.codec));
        put_u16(d, e.flags);
        put_u32(d, e.attrs);
        put_u64(d, e.old_size);
        put_bytes(d, e.old_hash.b, 16);
        put_u64(d, e.new_size);
        // A hash taken from the entry's share is not stored (the field is left zero).
        put_bytes(d, (e.flags & kFlagHashFromShare ? Hash128{} : e.new_hash).b, 16);
        put_u64(d, e.payload_offset);
        put_u64(d, e.payload_size);
        put_u16(d, static_cast<uint16_t>(e.path.size()));
        put_bytes(d, e.path.data(), e.path.size());
        put_u16(d, static_cast<uint16_t>(e.extra.size()));
        put_bytes(d, e.extra.data(), e.extra.size());
    }
    return d;
}

bool deflate_raw(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, int level) {
    out.clear();
    z_stream z{};
    if (in.empty() || deflateInit2(&z, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    out.resize(deflateBound(&z, static_cast<uLong>(in.size())) + 16);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int r = deflate(&z, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return r == Z_STREAM_END;
}

// The compact record: a head byte (operation in bits 0-2, codec in bits 3-5, bit 6: attributes
// follow, bit 7: flags and codec parameters follow), then only the fields the operation uses,
// as varints; the new size of a modified file as its signed difference to the old size; the
// payload offset as its signed distance from where the previous payload ended; the path as the
// length it shares with the previous path and the rest.
std::vector<uint8_t> encode_compact_directory(const std::vector<Entry>& entries) {
    std::vector<uint8_t> d;
    uint64_t expected = kHeaderSize;
    const std::string* prev = nullptr;
    for (const Entry& e : entries) {
        bool more = e.flags != 0 || !e.extra.empty();
        put_u8(d, static_cast<uint8_t>((static_cast<unsigned>(e.op) & 7) |
                                       ((static_cast<unsigned>(e.codec) & 7) << 3) |
                                       (e.attrs ? 0x40 : 0) | (more ? 0x80 : 0)));
        if (e.attrs)
            put_varu(d, e.attrs);
        if (more) {
            put_varu(d, e.flags);
            put_varu(d, e.extra.size());
            put_bytes(d, e.extra.data(), e.extra.size());
        }
        if (e.needs_old()) {
            put_varu(d, e.old_size);
            put_bytes(d, e.old_hash.b, 16);
        }
        if (e.makes_new()) {
            if (e.op == Op::Modify)
                put_vars(d, static_cast<int64_t>(e.new_size - e.old_size));
            else
                put_varu(d, e.new_size);
            if (!(e.flags & kFlagHashFromShare))
                put_bytes(d, e.new_hash.b, 16);
            put_varu(d, e.payload_size);
            put_vars(d, static_cast<int64_t>(e.payload_offset - expected));
            expected = e.payload_offset + e.payload_size;
        }
        size_t shared = 0;
        if (prev)
            while (shared < prev->size() && shared < e.path.size() &&
                   (*prev)[shared] == e.path[shared])
                ++shared;
        put_varu(d, shared);
        put_varu(d, e.path.size() - shared);
        put_bytes(d, e.path.data() + shared, e.path.size() - shared);
        prev = &e.path;
    }
    return d;
}

namespace {

const char* const kDirectoryInvalid = "The patch is damaged (its directory is invalid).";

DecodeResult damaged(const std::string& what) {
    return DecodeResult::corrupt("The patch is damaged: " + what);
}

std::string quoted(const Entry& e) {
    return "\"" + printable(e.path, 120) + "\"";
}

DecodeResult invalid_params(const Entry& e) {
    return damaged("the codec parameters of " + quoted(e) + " are invalid.");
}

// One compact record's head, flags, parameters, sizes, hashes and payload range (everything
// but the path); `expected` is where the previous payload ended and moves past this one's.
DecodeResult decode_compact_fields(ByteReader& r, Entry& e, uint64_t& expected) {
    uint8_t head = r.u8();
    e.op = static_cast<Op>(head & 7);
    e.codec = static_cast<Codec>((head >> 3) & 7);
    if (head & 0x40) {
        uint64_t a = r.varu();
        if (a == 0 || a > 0xFFFFFFFFu)
            return DecodeResult::corrupt(kDirectoryInvalid);
        e.attrs = static_cast<uint32_t>(a);
    }
    if (head & 0x80) {
        uint64_t flags = r.varu(), xlen = r.varu();
        if (flags > 0xFFFF || xlen > 0xFFFF || (flags == 0 && xlen == 0))
            return DecodeResult::corrupt(kDirectoryInvalid);
        e.flags = static_cast<uint16_t>(flags);
        if (const uint8_t* p = r.take(static_cast<size_t>(xlen)))
            e.extra.assign(p, p + xlen);
    }
    if (e.needs_old()) {
        e.old_size = r.varu();
        if (const uint8_t* p = r.take(16))
            std::copy(p, p + 16, e.old_hash.b);
    }
    if (e.makes_new()) {
        if (e.op == Op::Modify)
            e.new_size = e.old_size + static_cast<uint64_t>(r.vars());
        else
            e.new_size = r.varu();
        if (e.flags & kFlagHashFromShare) {
            // no hash here: it is that of the entry's share (checked with the entries)
        } else if (const uint8_t* p = r.take(16)) {
            std::copy(p, p + 16, e.new_hash.b);
        }
        e.payload_size = r.varu();
        e.payload_offset = expected + static_cast<uint64_t>(r.vars());
        expected = e.payload_offset + e.payload_size;
    }
    return DecodeResult::ok();
}

// Paths are counted against the patch limits before any is built: records that share a
// long path with the one before cost a few bytes each but would expand to much more.
DecodeResult decode_compact_directory(const std::vector<uint8_t>& dir, uint32_t count,
                                      std::vector<Entry>& out) {
    ByteReader r(dir.data(), dir.size());
    uint64_t expected = kHeaderSize, path_bytes = 0;
    std::string prev;
    for (uint32_t i = 0; i < count; ++i) {
        Entry e;
        if (DecodeResult f = decode_compact_fields(r, e, expected); !f)
            return f;
        uint64_t shared = r.varu(), rest = r.varu();
        if (shared > prev.size() || rest > 0xFFFF)
            return DecodeResult::corrupt(kDirectoryInvalid);
        path_bytes += shared + rest;
        if (shared + rest > kMaxPathBytes)
            return DecodeResult::corrupt(kDirectoryInvalid);
        if (path_bytes > kMaxPatchPathBytes)
            return check_patch_limits(count, path_bytes);
        e.path = prev.substr(0, static_cast<size_t>(shared));
        if (const uint8_t* p = r.take(static_cast<size_t>(rest)))
            e.path.append(reinterpret_cast<const char*>(p), static_cast<size_t>(rest));
        if (r.bad())
            return DecodeResult::corrupt(kDirectoryInvalid);
        prev = e.path;
        out.push_back(std::move(e));
    }
    return r.left() == 0 ? DecodeResult::ok() : DecodeResult::corrupt(kDirectoryInvalid);
}

// Directories up to this size are also tried with context mixing (slower to read back).
constexpr size_t kMixedDirectoryMax = 8u << 20;

} // namespace

std::vector<uint8_t> pack_entries(const std::vector<Entry>& entries,
                                  const std::vector<uint8_t>& fixed, uint32_t& coding,
                                  uint32_t& raw_size) {
    std::vector<uint8_t> best = pack_directory(fixed, coding, raw_size);
    std::vector<uint8_t> compact = encode_compact_directory(entries), packed;
    if (compact.empty())
        return best;
    if (deflate_raw(compact, packed, 9) && packed.size() < best.size()) {
        best.swap(packed);
        coding = kDirCompactDeflate;
        raw_size = static_cast<uint32_t>(compact.size());
    }
    if (compact.size() <= kMixedDirectoryMax) {
        packed = cm_encode_bytes(compact);
        if (packed.size() < best.size()) {
            best.swap(packed);
            coding = kDirCompactMixed;
            raw_size = static_cast<uint32_t>(compact.size());
        }
    }
    return best;
}

std::vector<uint8_t> pack_directory(const std::vector<uint8_t>& dir, uint32_t& coding,
                                    uint32_t& raw_size) {
    coding = kDirRaw;
    raw_size = 0;
    std::vector<uint8_t> out;
    if (!deflate_raw(dir, out, 9) || out.size() >= dir.size())
        return dir;
    coding = kDirDeflate;
    raw_size = static_cast<uint32_t>(dir.size());
    return out;
}

std::vector<uint8_t> encode_trailer_head(uint32_t count, uint64_t dir_offset, uint64_t dir_size,
                                         uint64_t total_size, uint32_t dir_coding,
                                         uint32_t raw_size) {
    std::vector<uint8_t> t;
    put_bytes(t, kTrailerMagic, 8);
    put_u32(t, count);
    put_u32(t, kHashXxh3_128);
    put_u64(t, dir_offset);
    put_u64(t, dir_size);
    put_u64(t, total_size);
    put_u32(t, dir_coding);
    put_u32(t, raw_size);
    return t; // 48 bytes; the 16-byte checksum follows
}

DecodeResult check_meta_text(const std::string& text) {
    if (text.empty() || text.size() > kMaxMetaText)
        return DecodeResult::corrupt("a text must hold 1 to " + std::to_string(kMaxMetaText) +
                                     " bytes");
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return DecodeResult::corrupt("a text holds a control character");
    return DecodeResult::ok();
}

std::vector<uint8_t> encode_meta_section(const PatchMeta& meta) {
    std::vector<uint8_t> body;
    const std::string* fields[3] = {&meta.game, &meta.from, &meta.to};
    for (uint8_t k = 0; k < 3; ++k) {
        if (fields[k]->empty())
            continue;
        put_u8(body, static_cast<uint8_t>(k + 1));
        put_u16(body, static_cast<uint16_t>(fields[k]->size()));
        put_bytes(body, fields[k]->data(), fields[k]->size());
    }
    return encode_section("meta", body);
}

std::vector<uint8_t> encode_section(const char (&tag)[5], const std::vector<uint8_t>& body) {
    std::vector<uint8_t> sec;
    put_bytes(sec, tag, 4);
    put_u32(sec, static_cast<uint32_t>(body.size()));
    put_bytes(sec, body.data(), body.size());
    return sec;
}

std::vector<uint8_t> encode_sign_section_head(const uint8_t key[64]) {
    std::vector<uint8_t> sec;
    put_bytes(sec, "sign", 4);
    put_u32(sec, static_cast<uint32_t>(kSignSectionSize - 8));
    put_u8(sec, kSignEcdsaP256);
    put_bytes(sec, key, 64);
    return sec;
}

std::string describe_meta(const PatchMeta& m) {
    if (m.empty())
        return {};
    std::string what = m.game.empty() ? (m.from.empty() && m.to.empty() ? "" : "version ")
                                      : m.game + (m.from.empty() ? "" : " ");
    if (!m.from.empty() && !m.to.empty())
        return "This patch updates " + what + m.from + " to " + m.to + ".";
    if (!m.to.empty())
        return "This patch updates " + (m.game.empty() ? std::string("the game") : m.game) +
               " to version " + m.to + ".";
    if (!m.from.empty())
        return "This patch updates " + what + m.from + ".";
    return "This patch is for " + m.game + ".";
}

DecodeResult delta_reference(const Entry& e, bool& present, uint64_t& index) {
    present = false;
    index = 0;
    if (e.extra.empty())
        return DecodeResult::ok();
    ByteReader r(e.extra.data(), e.extra.size());
    index = r.varu();
    if (r.bad() || r.left() != 0 || delta_reference_params(index) != e.extra)
        return invalid_params(e);
    present = true;
    return DecodeResult::ok();
}

std::vector<uint8_t> delta_reference_params(uint64_t index) {
    std::vector<uint8_t> p;
    put_varu(p, index);
    return p;
}

uint64_t patch_path_bytes(const std::vector<Entry>& entries) {
    uint64_t n = 0;
    for (const Entry& e : entries)
        n += e.path.size();
    return n;
}

DecodeResult check_patch_limits(uint64_t count, uint64_t path_bytes) {
    if (count > kMaxEntries)
        return DecodeResult::corrupt("The patch is refused: it has " + std::to_string(count) +
                                     " entries, more than this engine handles (" +
                                     std::to_string(kMaxEntries) + ").");
    if (path_bytes > kMaxPatchPathBytes)
        return DecodeResult::corrupt("The patch is refused: its paths take more than " +
                                     std::to_string(kMaxPatchPathBytes >> 20) +
                                     " MiB together, more than this engine handles.");
    return DecodeResult::ok();
}

namespace {

// The operation, flags, sizes and codec of one entry of a patch of format `version`, each a
// value this engine knows and the codec one that fits the operation. A flag is only ever
// given a meaning together with a new format version, so an unknown one is damage.
DecodeResult check_entry_kind(const Entry& e, uint16_t version) {
    uint8_t op = static_cast<uint8_t>(e.op);
    if (op < 1 || op > 5)
        return damaged("an entry has an unknown operation.");
    uint16_t known = version >= kInstructionStoreVersion ? kFlagHashFromShare : 0;
    if (e.flags & ~known)
        return damaged("an entry has unknown flags.");
    if ((e.flags & kFlagHashFromShare) && !e.share.whole)
        return damaged(quoted(e) + " has no new hash and no whole share of the literal store.");
    if (e.old_size >= kMaxFileSize || e.new_size >= kMaxFileSize)
        return damaged("an entry declares an impossible file size.");
    uint8_t c = static_cast<uint8_t>(e.codec);
    if (c > 3)
        return DecodeResult::refuse(PatchError::Unsupported,
                                    "The patch needs a newer engine: " + quoted(e) +
                                        " uses codec " + std::to_string(c) +
                                        ", which this engine does not know.");
    if (e.makes_new() == (e.codec == Codec::None) ||
        (e.op == Op::Add && e.codec == Codec::Delta && !e.source.present && e.share.length == 0))
        return damaged("an entry has a codec that does not fit its operation.");
    return DecodeResult::ok();
}

// Where the data of entry `i` lies, its stored size, and its codec parameters: only a delta
// entry may name an earlier delta entry without parameters, whose instructions its own are
// predicted from.
DecodeResult check_entry_data(const std::vector<Entry>& entries, size_t i, uint64_t payload_end) {
    const Entry& e = entries[i];
    bool payload = e.makes_new();
    if (!payload && (e.payload_size != 0 || e.payload_offset != 0))
        return damaged("an entry without data declares data.");
    if (payload && (e.payload_offset < kHeaderSize || e.payload_offset > payload_end ||
                    e.payload_size > payload_end - e.payload_offset))
        return damaged("the data of " + quoted(e) + " lies outside the file.");
    if (e.codec == Codec::Stored && e.payload_size != e.new_size)
        return damaged("the stored size of " + quoted(e) + " does not match its declared size.");
    if (e.extra.empty())
        return DecodeResult::ok();
    bool present = false;
    uint64_t ref = 0;
    if (e.codec != Codec::Delta || !delta_reference(e, present, ref) || ref >= i ||
        entries[ref].codec != Codec::Delta || !entries[ref].extra.empty())
        return invalid_params(e);
    return DecodeResult::ok();
}

// Paths that name the same file, a folder named twice, and a file that another path uses as
// a folder: in folded order every path inside a folder directly follows the folder's path,
// so comparing neighbours finds them all, with memory for one index per entry.
DecodeResult check_unique_paths(const std::vector<Entry>& entries, NameCoding coding) {
    std::vector<uint32_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<uint32_t>(i);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
        return compare_folded_paths(entries[x].path, entries[y].path, coding) < 0;
    });
    for (size_t k = 1; k < order.size(); ++k) {
        const Entry& a = entries[order[k - 1]];
        const Entry& b = entries[order[k]];
        bool a_dir = a.op == Op::MakeDir || a.op == Op::RemoveDir;
        bool b_dir = b.op == Op::MakeDir || b.op == Op::RemoveDir;
        if (compare_folded_paths(a.path, b.path, coding) == 0)
            return DecodeResult::refuse(
                PatchError::Hostile,
                a_dir && b_dir
                    ? "The patch is refused: the folder " + quoted(b) + " is named twice."
                    : "The patch is refused: two entries name " + quoted(b) +
                          " (paths that differ only in letter case are the same "
                          "file on Windows).");
        if (!a_dir && is_inside(a.path, b.path, coding))
            return DecodeResult::refuse(PatchError::Hostile, "The patch is refused: " + quoted(a) +
                                                                 " is both a file and a folder.");
    }
    return DecodeResult::ok();
}

} // namespace

DecodeResult check_entries(const std::vector<Entry>& entries, uint64_t payload_end,
                           NameCoding coding, uint16_t version) {
    if (DecodeResult r = check_patch_limits(entries.size(), patch_path_bytes(entries)); !r)
        return r;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        if (DecodeResult r = check_rel_path(e.path, coding); !r)
            return DecodeResult::refuse(PatchError::Hostile, "The patch is refused: the entry " +
                                                                 quoted(e) + " is unsafe (" +
                                                                 r.message + ").");
        DecodeResult r = check_entry_kind(e, version);
        if (r)
            r = check_entry_data(entries, i, payload_end);
        if (!r)
            return r;
        if (e.attrs & ~os::kAttrMask)
            return damaged("an entry has unknown attributes.");
    }
    return check_unique_paths(entries, coding);
}

namespace {

DecodeResult read_meta(const uint8_t* p, size_t n, PatchMeta& meta) {
    ByteReader r(p, n);
    while (r.left() > 0) {
        uint8_t key = r.u8();
        uint16_t len = r.u16();
        const uint8_t* text = r.take(len);
        if (r.bad())
            break;
        std::string value(reinterpret_cast<const char*>(text), len);
        std::string* field = key == 1   ? &meta.game
                             : key == 2 ? &meta.from
                             : key == 3 ? &meta.to
                                        : nullptr;
        if (!field)
            continue; // a later field: skipped
        DecodeResult valid = check_meta_text(value);
        if (!valid || !field->empty())
            return DecodeResult::corrupt("The patch is damaged (its description is invalid: " +
                                         (valid ? std::string("a field repeats") : valid.message) +
                                         ").");
        *field = value;
    }
    if (r.bad())
        return DecodeResult::corrupt("The patch is damaged (its description is cut short).");
    return DecodeResult::ok();
}

DecodeResult cannot_read(const os::Status& s) {
    return DecodeResult::io(s, "Cannot read the patch file: " + s.text + ".");
}

// The sections between the directory and the trailer: "meta" and "sign" are read, other
// tags skipped.
DecodeResult read_sections(Patch& out, uint64_t offset, uint64_t size) {
    std::vector<uint8_t> buf(static_cast<size_t>(size));
    if (os::Status s = out.file.read_exact_at(offset, buf.data(), buf.size()); !s)
        return cannot_read(s);
    ByteReader r(buf.data(), buf.size());
    bool meta_seen = false;
    while (r.left() > 0) {
        const uint8_t* tag = r.take(4);
        uint32_t len = r.u32();
        const uint8_t* body = r.take(len);
        if (r.bad())
            return DecodeResult::corrupt("The patch is damaged (its sections are cut short).");
        if (std::equal(tag, tag + 4, "meta")) {
            if (meta_seen)
                return DecodeResult::corrupt("The patch is damaged (it has two descriptions).");
            if (DecodeResult m = read_meta(body, len, out.meta); !m)
                return m;
            meta_seen = true;
        } else if (out.version >= kCrossFileVersion && std::equal(tag, tag + 4, "srcs")) {
            if (out.has_sources)
                return DecodeResult::corrupt("The patch is damaged (it has two source lists).");
            out.has_sources = true;
            out.sources.assign(body, body + len);
        } else if (out.version >= kLiteralStoreVersion && std::equal(tag, tag + 4, "lits")) {
            if (out.has_literals)
                return DecodeResult::corrupt("The patch is damaged (it has two literal stores).");
            out.has_literals = true;
            out.literals.assign(body, body + len);
        } else if (out.version >= kInstructionStoreVersion && std::equal(tag, tag + 4, "inst")) {
            if (out.has_instructions)
                return DecodeResult::corrupt(
                    "The patch is damaged (it has two instruction stores).");
            out.has_instructions = true;
            out.instructions.assign(body, body + len);
        } else if (std::equal(tag, tag + 4, "sign")) {
            if (r.left() != 0 || len != kSignSectionSize - 8 || body[0] != kSignEcdsaP256)
                return DecodeResult::corrupt(
                    "The patch is damaged or signed in a way this engine does not know (its "
                    "signature section is invalid).");
            out.signature.present = true;
            std::copy(body + 1, body + 65, out.signature.key);
            std::copy(body + 65, body + 129, out.signature.value);
            out.signature.value_offset = offset + (body + 65 - buf.data());
        }
    }
    return DecodeResult::ok();
}

// Checks the entries, then tells each delta entry that refers to another where that one's
// payload lies.
DecodeResult check_and_link(Patch& p, uint64_t payload_end) {
    std::vector<Entry>& entries = p.entries;
    bool legacy = p.version == kOldestFormatVersion;
    if (p.has_sources) {
        if (DecodeResult r = read_sources(p.sources.data(), p.sources.size(), entries); !r)
            return r;
    }
    if (p.has_literals) {
        if (DecodeResult r =
                read_literal_shares(p.literals.data(), p.literals.size(), entries, p.store);
            !r)
            return r;
    }
    if (p.has_instructions) {
        if (DecodeResult r = read_instruction_shares(p.instructions.data(), p.instructions.size(),
                                                     entries, p.instr_store);
            !r)
            return r;
    }
    DecodeResult r = check_entries(entries, payload_end,
                                   legacy ? NameCoding::Native : NameCoding::Utf8, p.version);
    if (!r)
        return r;
    for (Entry& e : entries) {
        // Version 1 names are in the builder's code page: the ANSI code page on Windows
        // (which is how its 8-bit file functions took them), bytes elsewhere.
        if (legacy)
            e.path = os::from_ansi(e.path);
        bool present = false;
        uint64_t index = 0;
        if (e.codec == Codec::Delta && delta_reference(e, present, index) && present) {
            const Entry& to = entries[static_cast<size_t>(index)];
            e.ref.present = true;
            e.ref.offset = to.payload_offset;
            e.ref.size = to.payload_size;
            e.ref.new_size = to.new_size;
        }
    }
    return DecodeResult::ok();
}

// The fields of the trailer (the file's last kTrailerSize bytes).
struct Trailer {
    uint32_t count = 0, hash_algo = 0;
    uint64_t dir_off = 0, dir_size = 0, total = 0;
    uint32_t dir_coding = 0, raw_size = 0;
    const uint8_t* sum = nullptr; // the checksum over every byte before it
};

// The file's size and its header: the magic and a format version this engine reads.
DecodeResult read_header(const std::string& path, Patch& out) {
    os::Status s = os::File::open_read(path, out.file);
    if (!s)
        return DecodeResult::io(s, "Cannot open the patch file: " + s.text + ".");
    if (!(s = out.file.size(out.size)))
        return cannot_read(s);
    uint8_t head[kHeaderSize];
    if (out.size < kHeaderSize || !out.file.read_exact_at(0, head, kHeaderSize))
        return DecodeResult::corrupt("The file is not a patch of this engine (it is too short).");
    if (!std::equal(kMagic, kMagic + 8, head))
        return DecodeResult::corrupt("The file is not a patch of this engine (wrong signature).");
    out.version = get_u16(head + 8);
    if (out.version < kOldestFormatVersion || out.version > kFormatVersion)
        return DecodeResult::refuse(
            PatchError::Unsupported,
            "The patch uses format version " + std::to_string(out.version) +
                ", but this engine reads only versions " + std::to_string(kOldestFormatVersion) +
                " to " + std::to_string(kFormatVersion) + ". A newer patchw32.dll is needed.");
    if (get_u16(head + 10) != kHeaderSize || get_u32(head + 12) != 0)
        return DecodeResult::corrupt("The patch is damaged (its header is invalid).");
    return DecodeResult::ok();
}

// The trailer, the file's length it declares and, with `check_sum`, the checksum.
DecodeResult read_trailer(Patch& out, uint8_t (&raw)[kTrailerSize], bool check_sum, Trailer& t) {
    if (out.size < kHeaderSize + kTrailerSize ||
        !out.file.read_exact_at(out.size - kTrailerSize, raw, kTrailerSize) ||
        !std::equal(kTrailerMagic, kTrailerMagic + 8, raw))
        return DecodeResult::corrupt(
            "The patch is damaged or incomplete (its end record is missing).");
    t.count = get_u32(raw + 8);
    t.hash_algo = get_u32(raw + 12);
    t.dir_off = get_u64(raw + 16);
    t.dir_size = get_u64(raw + 24);
    t.total = get_u64(raw + 32);
    t.dir_coding = get_u32(raw + 40);
    t.raw_size = get_u32(raw + 44);
    t.sum = raw + 48;
    if (t.total != out.size)
        return DecodeResult::corrupt("The patch is damaged or incomplete: it should be " +
                                     std::to_string(t.total) + " bytes long but is " +
                                     std::to_string(out.size) + " bytes.");
    if (t.hash_algo != kHashXxh3_128)
        return DecodeResult::corrupt("The patch is damaged (unknown checksum method).");
    if (!check_sum)
        return DecodeResult::ok();
    Hash128 got;
    if (os::Status s = hash_file(out.file, out.size - 16, got); !s)
        return cannot_read(s);
    if (!std::equal(got.b, got.b + 16, t.sum))
        return DecodeResult::corrupt(
            "The patch is damaged: its checksum does not match its contents.");
    return DecodeResult::ok();
}

// Where the directory and the sections lie, each within the file and its limit, then the
// sections themselves.
DecodeResult check_layout(Patch& out, const Trailer& t) {
    const DecodeResult out_of_bounds =
        DecodeResult::corrupt("The patch is damaged (its directory is out of bounds).");
    uint64_t payload_end = out.size - kTrailerSize;
    if (t.count > kMaxEntries)
        return check_patch_limits(t.count, 0);
    if (t.dir_size > kMaxDirectoryBytes || t.dir_off < kHeaderSize || t.dir_off > payload_end ||
        t.dir_size > payload_end - t.dir_off)
        return out_of_bounds;
    uint64_t sections = payload_end - t.dir_off - t.dir_size;
    if (sections > (out.version >= 2 ? kMaxSectionBytes : 0))
        return out_of_bounds;
    if (sections)
        if (DecodeResult r = read_sections(out, t.dir_off + t.dir_size, sections); !r)
            return r;
    if (t.dir_coding > kDirCompactDeflate)
        return DecodeResult::refuse(PatchError::Unsupported,
                                    "The patch needs a newer engine: its directory is stored in "
                                    "an unknown way.");
    if ((t.dir_coding == kDirRaw && t.raw_size != 0) || t.raw_size > kMaxDirectoryBytes)
        return out_of_bounds;
    return DecodeResult::ok();
}

// The directory's bytes as the builder wrote them before packing.
DecodeResult read_directory(Patch& out, const Trailer& t, std::vector<uint8_t>& dir) {
    dir.resize(static_cast<size_t>(t.dir_size));
    if (!dir.empty())
        if (os::Status s = out.file.read_exact_at(t.dir_off, dir.data(), dir.size()); !s)
            return cannot_read(s);
    if (t.dir_coding == kDirRaw)
        return DecodeResult::ok();
    const char* damaged = "The patch is damaged (its directory cannot be unpacked).";
    std::vector<uint8_t> raw(t.raw_size);
    if (t.dir_coding == kDirCompactMixed && raw.empty())
        return DecodeResult::corrupt(damaged);
    DecodeResult r = t.dir_coding == kDirCompactMixed
                         ? cm_decode_bytes(dir.data(), dir.size(), raw.data(), raw.size(), damaged)
                         : inflate_exact(dir.data(), dir.size(), raw.data(), raw.size(), damaged);
    if (!r)
        return r;
    dir.swap(raw);
    return DecodeResult::ok();
}

// The fixed records: every field at its full width, the path and the parameters each after
// its 16-bit length.
DecodeResult decode_fixed_directory(const std::vector<uint8_t>& dir, uint32_t count,
                                    std::vector<Entry>& out) {
    ByteReader r(dir.data(), dir.size());
    for (uint32_t i = 0; i < count; ++i) {
        Entry e;
        e.op = static_cast<Op>(r.u8());
        e.codec = static_cast<Codec>(r.u8());
        e.flags = r.u16();
        e.attrs = r.u32();
        e.old_size = r.u64();
        if (const uint8_t* p = r.take(16))
            std::copy(p, p + 16, e.old_hash.b);
        e.new_size = r.u64();
        if (const uint8_t* p = r.take(16))
            std::copy(p, p + 16, e.new_hash.b);
        e.payload_offset = r.u64();
        e.payload_size = r.u64();
        uint16_t plen = r.u16();
        if (const uint8_t* p = r.take(plen))
            e.path.assign(reinterpret_cast<const char*>(p), plen);
        uint16_t xlen = r.u16();
        if (const uint8_t* p = r.take(xlen))
            e.extra.assign(p, p + xlen);
        if (r.bad())
            return DecodeResult::corrupt("The patch is damaged (its directory is cut short).");
        out.push_back(std::move(e));
    }
    if (r.left() != 0)
        return DecodeResult::corrupt("The patch is damaged (its directory has trailing bytes).");
    return DecodeResult::ok();
}

// Once the literal store is decoded and checked: the new hash of each entry that takes it from
// its whole share, and of each source that is such an entry's new file.
void fill_hashes_from_shares(Patch& p) {
    for (Entry& e : p.entries)
        if (e.flags & kFlagHashFromShare)
            e.new_hash = hash128(e.share.store->data() + e.share.offset,
                                 static_cast<size_t>(e.share.length));
    for (Entry& e : p.entries)
        if (e.source.present && e.source.new_content)
            e.source.hash = p.entries[e.source.entry].new_hash;
}

} // namespace

DecodeResult open_patch(const std::string& path, Patch& out, bool check_sum, bool with_store) {
    out = Patch{};
    uint8_t raw_trailer[kTrailerSize];
    Trailer t;
    std::vector<uint8_t> dir;
    DecodeResult r = read_header(path, out);
    if (r)
        r = read_trailer(out, raw_trailer, check_sum, t);
    if (r)
        r = check_layout(out, t);
    if (r)
        r = read_directory(out, t, dir);
    if (!r)
        return r;
    out.entries.reserve(t.count);
    bool compact = t.dir_coding == kDirCompactMixed || t.dir_coding == kDirCompactDeflate;
    r = compact ? decode_compact_directory(dir, t.count, out.entries)
                : decode_fixed_directory(dir, t.count, out.entries);
    if (!r)
        return r;
    if (r = check_and_link(out, t.dir_off); !r || !with_store)
        return r;
    if (out.has_literals && !(r = load_literal_store(out, t.dir_off)))
        return r;
    if (out.has_literals)
        fill_hashes_from_shares(out);
    if (out.has_instructions)
        r = load_instruction_store(out, t.dir_off);
    return r;
}

} // namespace kv
