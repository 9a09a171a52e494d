#include "format.h"

#include "bytes.h"
#include "cm.h"
#include "crossfile.h"
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
        put_bytes(d, e.new_hash.b, 16);
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

// Paths are counted against the patch limits before any is built: records that share a
// long path with the one before cost a few bytes each but would expand to much more.
bool decode_compact_directory(const std::vector<uint8_t>& dir, uint32_t count,
                              std::vector<Entry>& out, bool& over_limits) {
    ByteReader r(dir.data(), dir.size());
    uint64_t expected = kHeaderSize, path_bytes = 0;
    std::string prev;
    over_limits = false;
    for (uint32_t i = 0; i < count; ++i) {
        Entry e;
        uint8_t head = r.u8();
        e.op = static_cast<Op>(head & 7);
        e.codec = static_cast<Codec>((head >> 3) & 7);
        if (head & 0x40) {
            uint64_t a = r.varu();
            if (a == 0 || a > 0xFFFFFFFFu)
                return false;
            e.attrs = static_cast<uint32_t>(a);
        }
        if (head & 0x80) {
            uint64_t flags = r.varu(), xlen = r.varu();
            if (flags > 0xFFFF || xlen > 0xFFFF || (flags == 0 && xlen == 0))
                return false;
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
            if (const uint8_t* p = r.take(16))
                std::copy(p, p + 16, e.new_hash.b);
            e.payload_size = r.varu();
            e.payload_offset = expected + static_cast<uint64_t>(r.vars());
            expected = e.payload_offset + e.payload_size;
        }
        uint64_t shared = r.varu(), rest = r.varu();
        if (shared > prev.size() || rest > 0xFFFF)
            return false;
        path_bytes += shared + rest;
        if (shared + rest > kMaxPathBytes || path_bytes > kMaxPatchPathBytes) {
            over_limits = shared + rest <= kMaxPathBytes;
            return false;
        }
        e.path = prev.substr(0, static_cast<size_t>(shared));
        if (const uint8_t* p = r.take(static_cast<size_t>(rest)))
            e.path.append(reinterpret_cast<const char*>(p), static_cast<size_t>(rest));
        if (r.bad())
            return false;
        prev = e.path;
        out.push_back(std::move(e));
    }
    return r.left() == 0;
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

std::string check_meta_text(const std::string& text) {
    if (text.empty() || text.size() > kMaxMetaText)
        return "a text must hold 1 to " + std::to_string(kMaxMetaText) + " bytes";
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return "a text holds a control character";
    return {};
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
    std::vector<uint8_t> sec;
    put_bytes(sec, "meta", 4);
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

bool delta_reference(const Entry& e, bool& present, uint64_t& index) {
    present = false;
    index = 0;
    if (e.extra.empty())
        return true;
    ByteReader r(e.extra.data(), e.extra.size());
    index = r.varu();
    if (r.bad() || r.left() != 0 || delta_reference_params(index) != e.extra)
        return false;
    present = true;
    return true;
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

std::string check_patch_limits(uint64_t count, uint64_t path_bytes) {
    if (count > kMaxEntries)
        return "The patch is refused: it has " + std::to_string(count) +
               " entries, more than this engine handles (" + std::to_string(kMaxEntries) + ").";
    if (path_bytes > kMaxPatchPathBytes)
        return "The patch is refused: its paths take more than " +
               std::to_string(kMaxPatchPathBytes >> 20) +
               " MiB together, more than this engine handles.";
    return {};
}

PatchError check_entries(const std::vector<Entry>& entries, uint64_t payload_end,
                         std::string& message, NameCoding coding) {
    if (std::string why = check_patch_limits(entries.size(), patch_path_bytes(entries));
        !why.empty()) {
        message = why;
        return PatchError::Corrupt;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        std::string why = check_rel_path(e.path, coding);
        if (!why.empty()) {
            message = "The patch is refused: the entry \"" + printable(e.path, 120) +
                      "\" is unsafe (" + why + ").";
            return PatchError::Hostile;
        }
        uint8_t op = static_cast<uint8_t>(e.op);
        if (op < 1 || op > 5) {
            message = "The patch is damaged: an entry has an unknown operation.";
            return PatchError::Corrupt;
        }
        if (e.flags != 0) {
            message = "The patch needs a newer engine: an entry uses unknown flags.";
            return PatchError::Unsupported;
        }
        if (e.old_size >= kMaxFileSize || e.new_size >= kMaxFileSize) {
            message = "The patch is damaged: an entry declares an impossible file size.";
            return PatchError::Corrupt;
        }
        uint8_t c = static_cast<uint8_t>(e.codec);
        bool payload = e.makes_new();
        if (c > 3) {
            message = "The patch needs a newer engine: \"" + printable(e.path, 120) +
                      "\" uses codec " + std::to_string(c) + ", which this engine does not know.";
            return PatchError::Unsupported;
        }
        if (payload == (e.codec == Codec::None) ||
            (e.op == Op::Add && e.codec == Codec::Delta && !e.source.present)) {
            message = "The patch is damaged: an entry has a codec that does not fit its operation.";
            return PatchError::Corrupt;
        }
        if (!payload && (e.payload_size != 0 || e.payload_offset != 0)) {
            message = "The patch is damaged: an entry without data declares data.";
            return PatchError::Corrupt;
        }
        if (payload && (e.payload_offset < kHeaderSize || e.payload_offset > payload_end ||
                        e.payload_size > payload_end - e.payload_offset)) {
            message = "The patch is damaged: the data of \"" + printable(e.path, 120) +
                      "\" lies outside the file.";
            return PatchError::Corrupt;
        }
        if (e.codec == Codec::Stored && e.payload_size != e.new_size) {
            message = "The patch is damaged: the stored size of \"" + printable(e.path, 120) +
                      "\" does not match its declared size.";
            return PatchError::Corrupt;
        }
        // Codec parameters: only a delta entry may name an earlier delta entry without
        // parameters, whose instructions its own are predicted from.
        if (!e.extra.empty()) {
            bool present = false;
            uint64_t ref = 0;
            if (e.codec != Codec::Delta || !delta_reference(e, present, ref) || ref >= i ||
                entries[ref].codec != Codec::Delta || !entries[ref].extra.empty()) {
                message = "The patch is damaged: the codec parameters of \"" +
                          printable(e.path, 120) + "\" are invalid.";
                return PatchError::Corrupt;
            }
        }
        if (e.attrs & ~os::kAttrMask) {
            message = "The patch is damaged: an entry has unknown attributes.";
            return PatchError::Corrupt;
        }
    }
    // Paths that name the same file, a folder named twice, and a file that another path uses as
    // a folder: in folded order every path inside a folder directly follows the folder's path,
    // so comparing neighbours finds them all, with memory for one index per entry.
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
        if (compare_folded_paths(a.path, b.path, coding) == 0) {
            if (a_dir && b_dir)
                message = "The patch is refused: the folder \"" + printable(b.path, 120) +
                          "\" is named twice.";
            else
                message = "The patch is refused: two entries name \"" + printable(b.path, 120) +
                          "\" (paths that differ only in letter case are the same file on "
                          "Windows).";
            return PatchError::Hostile;
        }
        if (!a_dir && is_inside(a.path, b.path, coding)) {
            message = "The patch is refused: \"" + printable(a.path, 120) +
                      "\" is both a file and a folder.";
            return PatchError::Hostile;
        }
    }
    return PatchError::None;
}

namespace {

bool read_meta(const uint8_t* p, size_t n, PatchMeta& meta, std::string& message) {
    ByteReader r(p, n);
    while (r.left() > 0) {
        uint8_t key = r.u8();
        uint16_t len = r.u16();
        const uint8_t* text = r.take(len);
        if (r.bad())
            break;
        std::string value(reinterpret_cast<const char*>(text), len);
        std::string* field = key == 1 ? &meta.game : key == 2 ? &meta.from : key == 3 ? &meta.to
                                                                                    : nullptr;
        if (!field)
            continue; // a later field: skipped
        std::string why = check_meta_text(value);
        if (!why.empty() || !field->empty()) {
            message = "The patch is damaged (its description is invalid: " +
                      (why.empty() ? std::string("a field repeats") : why) + ").";
            return false;
        }
        *field = value;
    }
    if (r.bad()) {
        message = "The patch is damaged (its description is cut short).";
        return false;
    }
    return true;
}

// The sections between the directory and the trailer: "meta" and "sign" are read, other
// tags skipped.
bool read_sections(Patch& out, uint64_t offset, uint64_t size, std::string& message) {
    std::vector<uint8_t> buf(static_cast<size_t>(size));
    os::Status s = out.file.read_exact_at(offset, buf.data(), buf.size());
    if (!s) {
        message = "Cannot read the patch file: " + s.text + ".";
        return false;
    }
    ByteReader r(buf.data(), buf.size());
    bool meta_seen = false;
    while (r.left() > 0) {
        const uint8_t* tag = r.take(4);
        uint32_t len = r.u32();
        const uint8_t* body = r.take(len);
        if (r.bad()) {
            message = "The patch is damaged (its sections are cut short).";
            return false;
        }
        if (std::equal(tag, tag + 4, "meta")) {
            if (meta_seen || !read_meta(body, len, out.meta, message)) {
                if (meta_seen)
                    message = "The patch is damaged (it has two descriptions).";
                return false;
            }
            meta_seen = true;
        } else if (out.version >= kCrossFileVersion && std::equal(tag, tag + 4, "srcs")) {
            if (out.has_sources) {
                message = "The patch is damaged (it has two source lists).";
                return false;
            }
            out.has_sources = true;
            out.sources.assign(body, body + len);
        } else if (std::equal(tag, tag + 4, "sign")) {
            if (r.left() != 0 || len != kSignSectionSize - 8 || body[0] != kSignEcdsaP256) {
                message = "The patch is damaged or signed in a way this engine does not know "
                          "(its signature section is invalid).";
                return false;
            }
            out.signature.present = true;
            std::copy(body + 1, body + 65, out.signature.key);
            std::copy(body + 65, body + 129, out.signature.value);
            out.signature.value_offset = offset + (body + 65 - buf.data());
        }
    }
    return true;
}

// Checks the entries, then tells each delta entry that refers to another where that one's
// payload lies.
PatchError check_and_link(std::vector<Entry>& entries, uint64_t payload_end, std::string& message,
                          uint16_t version, const std::vector<uint8_t>* sources) {
    bool legacy = version == kOldestFormatVersion;
    if (sources) {
        if (PatchError err = read_sources(sources->data(), sources->size(), entries, message);
            err != PatchError::None)
            return err;
    }
    PatchError err = check_entries(entries, payload_end, message,
                                   legacy ? NameCoding::Native : NameCoding::Utf8);
    if (err != PatchError::None)
        return err;
    for (Entry& e : entries) {
        // Version 1 names are in the builder's code page: the ANSI code page on Windows
        // (which is how its 8-bit file functions took them), bytes elsewhere.
        if (legacy)
            e.path = os::from_ansi(e.path);
        bool present = false;
        uint64_t index = 0;
        if (e.codec == Codec::Delta && delta_reference(e, present, index) && present) {
            const Entry& r = entries[static_cast<size_t>(index)];
            e.ref.present = true;
            e.ref.offset = r.payload_offset;
            e.ref.size = r.payload_size;
            e.ref.new_size = r.new_size;
        }
    }
    return PatchError::None;
}

} // namespace

PatchError open_patch(const std::string& path, Patch& out, std::string& message,
                      bool check_sum) {
    out = Patch{};
    os::Status s = os::File::open_read(path, out.file);
    if (!s) {
        message = "Cannot open the patch file: " + s.text + ".";
        return PatchError::Unreadable;
    }
    if (!(s = out.file.size(out.size))) {
        message = "Cannot read the patch file: " + s.text + ".";
        return PatchError::Unreadable;
    }
    uint8_t head[kHeaderSize];
    if (out.size < kHeaderSize || !out.file.read_exact_at(0, head, kHeaderSize)) {
        message = "The file is not a patch of this engine (it is too short).";
        return PatchError::Corrupt;
    }
    if (!std::equal(kMagic, kMagic + 8, head)) {
        message = "The file is not a patch of this engine (wrong signature).";
        return PatchError::Corrupt;
    }
    out.version = get_u16(head + 8);
    if (out.version < kOldestFormatVersion || out.version > kFormatVersion) {
        message = "The patch uses format version " + std::to_string(out.version) +
                  ", but this engine reads only versions " + std::to_string(kOldestFormatVersion) +
                  " to " + std::to_string(kFormatVersion) + ". A newer patchw32.dll is needed.";
        return PatchError::Unsupported;
    }
    if (get_u16(head + 10) != kHeaderSize || get_u32(head + 12) != 0) {
        message = "The patch is damaged (its header is invalid).";
        return PatchError::Corrupt;
    }
    uint8_t trailer[kTrailerSize];
    if (out.size < kHeaderSize + kTrailerSize ||
        !out.file.read_exact_at(out.size - kTrailerSize, trailer, kTrailerSize) ||
        !std::equal(kTrailerMagic, kTrailerMagic + 8, trailer)) {
        message = "The patch is damaged or incomplete (its end record is missing).";
        return PatchError::Corrupt;
    }
    uint32_t count = get_u32(trailer + 8);
    uint32_t hash_algo = get_u32(trailer + 12);
    uint64_t dir_off = get_u64(trailer + 16);
    uint64_t dir_size = get_u64(trailer + 24);
    uint64_t total = get_u64(trailer + 32);
    if (total != out.size) {
        message = "The patch is damaged or incomplete: it should be " + std::to_string(total) +
                  " bytes long but is " + std::to_string(out.size) + " bytes.";
        return PatchError::Corrupt;
    }
    if (hash_algo != kHashXxh3_128) {
        message = "The patch is damaged (unknown checksum method).";
        return PatchError::Corrupt;
    }
    // The checksum covers every byte before it.
    if (check_sum) {
        Hash128 got;
        if (!(s = hash_file(out.file, out.size - 16, got))) {
            message = "Cannot read the patch file: " + s.text + ".";
            return PatchError::Unreadable;
        }
        if (!std::equal(got.b, got.b + 16, trailer + 48)) {
            message = "The patch is damaged: its checksum does not match its contents.";
            return PatchError::Corrupt;
        }
    }
    uint64_t payload_end = out.size - kTrailerSize;
    if (count > kMaxEntries) {
        message = check_patch_limits(count, 0);
        return PatchError::Corrupt;
    }
    if (dir_size > kMaxDirectoryBytes || dir_off < kHeaderSize ||
        dir_off > payload_end || dir_size > payload_end - dir_off) {
        message = "The patch is damaged (its directory is out of bounds).";
        return PatchError::Corrupt;
    }
    uint64_t sections = payload_end - dir_off - dir_size;
    if (sections > (out.version >= 2 ? kMaxSectionBytes : 0)) {
        message = "The patch is damaged (its directory is out of bounds).";
        return PatchError::Corrupt;
    }
    if (sections && !read_sections(out, dir_off + dir_size, sections, message))
        return PatchError::Corrupt;
    uint32_t dir_coding = get_u32(trailer + 40);
    uint32_t raw_size = get_u32(trailer + 44);
    if (dir_coding > kDirCompactDeflate) {
        message = "The patch needs a newer engine: its directory is stored in an unknown way.";
        return PatchError::Unsupported;
    }
    if ((dir_coding == kDirRaw && raw_size != 0) || raw_size > kMaxDirectoryBytes) {
        message = "The patch is damaged (its directory is out of bounds).";
        return PatchError::Corrupt;
    }
    std::vector<uint8_t> dir(static_cast<size_t>(dir_size));
    if (!dir.empty() && !(s = out.file.read_exact_at(dir_off, dir.data(), dir.size()))) {
        message = "Cannot read the patch file: " + s.text + ".";
        return PatchError::Unreadable;
    }
    if (dir_coding == kDirCompactMixed) {
        std::vector<uint8_t> raw(raw_size);
        if (raw.empty() || !cm_decode_bytes(dir.data(), dir.size(), raw.data(), raw.size())) {
            message = "The patch is damaged (its directory cannot be unpacked).";
            return PatchError::Corrupt;
        }
        dir.swap(raw);
    } else if (dir_coding == kDirDeflate || dir_coding == kDirCompactDeflate) {
        std::vector<uint8_t> raw(raw_size);
        z_stream z{};
        bool ok = inflateInit2(&z, -15) == Z_OK;
        if (ok) {
            uint8_t spare;
            z.next_in = dir.data();
            z.avail_in = static_cast<uInt>(dir.size());
            z.next_out = raw.empty() ? &spare : raw.data();
            z.avail_out = static_cast<uInt>(raw.size());
            ok = inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_in == 0 && z.avail_out == 0;
            inflateEnd(&z);
        }
        if (!ok) {
            message = "The patch is damaged (its directory cannot be unpacked).";
            return PatchError::Corrupt;
        }
        dir.swap(raw);
    }
    out.entries.reserve(count);
    if (dir_coding == kDirCompactMixed || dir_coding == kDirCompactDeflate) {
        bool over_limits = false;
        if (!decode_compact_directory(dir, count, out.entries, over_limits)) {
            message = over_limits ? check_patch_limits(count, kMaxPatchPathBytes + 1)
                                  : "The patch is damaged (its directory is invalid).";
            return PatchError::Corrupt;
        }
        return check_and_link(out.entries, dir_off, message, out.version,
                              out.has_sources ? &out.sources : nullptr);
    }
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
        if (r.bad()) {
            message = "The patch is damaged (its directory is cut short).";
            return PatchError::Corrupt;
        }
        out.entries.push_back(std::move(e));
    }
    if (r.left() != 0) {
        message = "The patch is damaged (its directory has trailing bytes).";
        return PatchError::Corrupt;
    }
    return check_and_link(out.entries, dir_off, message, out.version,
                              out.has_sources ? &out.sources : nullptr);
}

} // namespace kv
