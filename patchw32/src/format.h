// The ".rtp" patch file: header, payloads, directory and a trailer with a checksum over
// everything. FORMAT.md describes the layout byte by byte.
#pragma once

#include "hash.h"
#include "os.h"
#include "paths.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kv {

// Version 2 stores every path in UTF-8; version 1 stored them in the builder's code page
// and is still read (its names taken as the ANSI code page on Windows, as bytes elsewhere).
// Version 3 adds entries built from another old file of the tree (the "srcs" section, see
// crossfile.h); the builder writes it only for patches that have such entries, version 2
// otherwise.
// Version 4 adds the literal store (the "lits" section, see literals.h), written only when the
// builder uses it.
// Version 5 adds the instruction store (the "inst" section, see literals.h), which the builder
// may use in patches with a literal store.
constexpr uint16_t kFormatVersion = 5;
constexpr uint16_t kPlainFormatVersion = 2;
constexpr uint16_t kOldestFormatVersion = 1;
constexpr size_t kHeaderSize = 16;
constexpr size_t kTrailerSize = 64;
constexpr uint32_t kHashXxh3_128 = 1;
// Limits of one patch, checked by the builder and by the engine before it allocates anything
// for a directory. They keep a run's memory bounded (see FORMAT.md, section 8) and the commit
// plan within what the engine reads back.
constexpr uint32_t kMaxEntries = 65536;
constexpr uint64_t kMaxDirectoryBytes = 12ull << 20;
constexpr uint64_t kMaxFileSize = 1ull << 60;
extern const uint8_t kMagic[8];
extern const uint8_t kTrailerMagic[8];

enum class Op : uint8_t { Modify = 1, Add = 2, Delete = 3, MakeDir = 4, RemoveDir = 5 };

enum class Codec : uint8_t {
    None = 0,    // delete and folder entries: no payload
    Stored = 1,  // the new file as it is
    Deflate = 2, // the new file, zlib-compressed
    Delta = 3,   // difference to the old file (see delta.h)
};

// Entry flags. kFlagHashFromShare (format version 5, on an entry with a whole share of the
// literal store only): the record carries no new hash; the new file's hash is that of its
// share, computed when the store is decoded (open_patch), so the entry's `new_hash` reads as
// it would have been stored. Any other bit, or this one elsewhere, is damage.
constexpr uint16_t kFlagHashFromShare = 1;

struct Entry {
    Op op = Op::Add;
    Codec codec = Codec::None;
    uint16_t flags = 0;
    uint32_t attrs = 0;
    uint64_t old_size = 0;
    Hash128 old_hash;
    uint64_t new_size = 0;
    Hash128 new_hash;
    uint64_t payload_offset = 0;
    uint64_t payload_size = 0;
    std::string path;           // relative, '/'-separated
    std::vector<uint8_t> extra; // codec parameters

    // A delta entry whose instructions are predicted from another delta entry's (its codec
    // parameters name that entry): where that entry's payload lies. Filled in when a patch
    // is opened.
    struct Ref {
        bool present = false;
        uint64_t offset = 0, size = 0, new_size = 0;
    } ref;

    // A delta entry built from another file of the old tree (format version 3): that file's
    // path, size and hash as they are before the patch. Without it a delta entry is built from
    // its own old file. `entry` is the directory index of the entry that names the same old
    // file (a modify or delete entry), or kNoEntry. With `new_content` the source is instead
    // the new file of the earlier entry `entry` (a modify or add) as this patch makes it; its
    // path, size and hash are that entry's new ones.
    static constexpr uint32_t kNoEntry = 0xffffffffu;
    struct Source {
        bool present = false;
        std::string path;
        uint64_t size = 0;
        Hash128 hash;
        uint32_t entry = kNoEntry;
        bool new_content = false;
    } source;

    // A delta entry whose literals come from the patch's literal store (format version 4, the
    // "lits" section): its share of the store starts at `offset` and takes `length` bytes
    // (0: none); `store` is the decoded store, set when the patch is opened. A `whole` share is
    // the entry's whole new file: the entry then has no payload at all.
    struct Share {
        uint64_t offset = 0, length = 0;
        bool whole = false;
        std::shared_ptr<const std::vector<uint8_t>> store;
    } share;
    // A delta entry whose blocks take their instructions from the patch's instruction store
    // (format version 5, the "inst" section): its share of that store (never whole).
    Share instr_share;

    bool is_file_op() const { return op == Op::Modify || op == Op::Add || op == Op::Delete; }
    bool needs_old() const { return op == Op::Modify || op == Op::Delete; }
    bool makes_new() const { return op == Op::Modify || op == Op::Add; }
};

const char* op_name(Op op);
const char* codec_name(Codec c);

// Why a patch was refused; selects the engine's return code.
enum class PatchError {
    None,
    Unreadable,  // the system failed a read or write (of the patch, the old file or the output)
    Corrupt,     // damaged or inconsistent bytes
    Unsupported, // made for a newer engine
    Hostile,     // a path that leaves the game directory or names one file twice
};

// The one result of everything that reads or checks patch bytes: the header, the sections,
// the directory, the entries and every codec's payload. `status` says why the patch is
// refused (None when it is not), `message` says it in words, and for an Unreadable result
// `io_kind` is the system's reason (a full disk is told apart). It converts to true when the
// bytes were good: `if (DecodeResult r = open_patch(...); !r) ...`.
struct DecodeResult {
    PatchError status = PatchError::None;
    os::ErrKind io_kind = os::ErrKind::None;
    std::string message;

    explicit operator bool() const { return status == PatchError::None; }
    static DecodeResult ok() { return {}; }
    static DecodeResult corrupt(std::string m) {
        return {PatchError::Corrupt, os::ErrKind::None, std::move(m)};
    }
    static DecodeResult refuse(PatchError why, std::string m) {
        return {why, os::ErrKind::None, std::move(m)};
    }
    // A failed system call; `m`, when given, words it for the player instead of its own text.
    static DecodeResult io(const os::Status& s, std::string m = {}) {
        return {PatchError::Unreadable, s.kind, m.empty() ? s.text : std::move(m)};
    }
};

// What a patch says about itself (the "meta" section): the game and the versions it turns
// one into the other. Any of them may be empty.
struct PatchMeta {
    std::string game, from, to;
    bool empty() const { return game.empty() && from.empty() && to.empty(); }
};

// The publisher's signature (the "sign" section): ECDSA over P-256 with SHA-256.
constexpr uint8_t kSignEcdsaP256 = 1;
struct PatchSignature {
    bool present = false;
    uint8_t key[64] = {};      // the public key: X and Y, big-endian
    uint8_t value[64] = {};    // r and s, big-endian
    uint64_t value_offset = 0; // where `value` lies in the file
};

// Where a patch's literal store lies (literals.h): its payload, its decoded size and hash.
struct LiteralStoreRef {
    uint64_t offset = 0, stored = 0, size = 0;
    Hash128 hash;
};

struct Patch {
    os::File file;
    uint64_t size = 0;
    uint16_t version = 0;
    std::vector<Entry> entries;
    PatchMeta meta;
    PatchSignature signature;
    std::vector<uint8_t> sources; // the "srcs" section's body (version 3), read with the entries
    bool has_sources = false;
    std::vector<uint8_t> literals; // the "lits" section's body (version 4)
    bool has_literals = false;
    LiteralStoreRef store;
    std::vector<uint8_t> instructions; // the "inst" section's body (version 5)
    bool has_instructions = false;
    LiteralStoreRef instr_store; // where the instruction store lies (no hash)
};

// Sections (format version 2) lie between the directory and the trailer: each a 4-byte tag,
// a 32-bit length and that many bytes. A "sign" section must be the last. Engines skip tags
// they do not know.
constexpr uint64_t kMaxSectionBytes = 64u << 10;
constexpr size_t kMaxMetaText = 200;
constexpr size_t kSignSectionSize = 8 + 1 + 64 + 64;
// Whether `text` may be stored as a game name or version; Corrupt with the reason when not.
DecodeResult check_meta_text(const std::string& text);
std::vector<uint8_t> encode_meta_section(const PatchMeta& meta);
// A whole section: its 4-byte tag, the body's length and the body.
std::vector<uint8_t> encode_section(const char (&tag)[5], const std::vector<uint8_t>& body);
// The "sign" section without its value (the 64 bytes that follow it complete it).
std::vector<uint8_t> encode_sign_section_head(const uint8_t key[64]);
// "This patch updates Tarrowmoor 1.22 to 1.23." and its shorter forms; empty without meta.
std::string describe_meta(const PatchMeta& meta);

// Opens and checks a patch completely: header, trailer, the checksum over the whole file,
// the directory, every path and every payload range. Nothing is trusted before this.
// `check_sum` false skips the checksum (rtptool info shows a damaged patch as far as it can be
// read); the engine always checks it.
// Fails Unreadable when the file cannot be read, otherwise with the kind the damage calls
// for; the message is the player's. `with_store` false leaves a literal store undecoded (for a
// caller that only reads the directory; its entries then cannot be decoded, and the new hash
// of an entry with kFlagHashFromShare stays unknown, all zero).
DecodeResult open_patch(const std::string& path, Patch& out, bool check_sum = true,
                        bool with_store = true);

// The codec parameters of a delta entry: none, or the directory index of the entry its
// instructions are predicted from (`present` says which). Corrupt when they are malformed.
DecodeResult delta_reference(const Entry& e, bool& present, uint64_t& index);
std::vector<uint8_t> delta_reference_params(uint64_t index);

// The bytes of all paths of `entries` together.
uint64_t patch_path_bytes(const std::vector<Entry>& entries);
// Whether a patch of `count` entries whose paths take `path_bytes` is within the limits;
// Corrupt with the message that refuses it when not.
DecodeResult check_patch_limits(uint64_t count, uint64_t path_bytes);

// Checks a list of entries as the engine would (limits, fields, paths, duplicates); `coding`
// is how the paths are written (format version 1: Native), `version` the patch's format
// version (which entry flags it may use). Hostile for an unsafe or repeated path, Unsupported
// for what only a newer engine knows, Corrupt for the rest.
DecodeResult check_entries(const std::vector<Entry>& entries, uint64_t payload_end,
                           NameCoding coding = NameCoding::Utf8, uint16_t version = kFormatVersion);

std::vector<uint8_t> encode_header(uint16_t version = kPlainFormatVersion);
// One raw deflate stream (window bits -15) of `in`; false for empty input or a zlib failure.
bool deflate_raw(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, int level);
std::vector<uint8_t> encode_directory(const std::vector<Entry>& entries);
// How the directory is stored: the fixed records as they are or as one raw deflate stream;
// the compact records context-mixed or as one raw deflate stream.
constexpr uint32_t kDirRaw = 0;
constexpr uint32_t kDirDeflate = 1;
constexpr uint32_t kDirCompactMixed = 2;
constexpr uint32_t kDirCompactDeflate = 3;
std::vector<uint8_t> encode_compact_directory(const std::vector<Entry>& entries);
// The smallest way to store the directory of `entries`, whose fixed records are `fixed`; sets
// coding and raw size.
std::vector<uint8_t> pack_entries(const std::vector<Entry>& entries,
                                  const std::vector<uint8_t>& fixed, uint32_t& coding,
                                  uint32_t& raw_size);

// Trailer without the final 16-byte checksum, which the writer appends. `raw_size` is the
// directory's size before deflate (0 for a raw directory).
std::vector<uint8_t> encode_trailer_head(uint32_t count, uint64_t dir_offset, uint64_t dir_size,
                                         uint64_t total_size, uint32_t dir_coding = kDirRaw,
                                         uint32_t raw_size = 0);
// Deflates a directory when that makes it smaller; sets coding and raw size.
std::vector<uint8_t> pack_directory(const std::vector<uint8_t>& dir, uint32_t& coding,
                                    uint32_t& raw_size);

} // namespace kv
