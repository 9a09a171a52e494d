// The literal store: the literal bytes of many delta entries, gathered into one payload of the
// patch and coded once, so that a literal model that has learnt from earlier files, and a
// deflate window that sees the boilerplate of many small files side by side, code them instead
// of one cold model per file. Each entry that uses it owns a share of the store (its literals,
// in order); its blocks take their literals from that share (stream coding 5). The store is
// part of the patch, so every entry still applies on its own: with -i, with its source missing
// or already new, whatever other entries do.
//
// The patch lists the store and the shares in its "lits" section (format version 4). The
// engine decodes the store once when it opens the patch, checks it against its hash, and keeps
// it (at most kMaxLiteralStore bytes) for the whole run.
#pragma once

#include "format.h"

#include <cstdint>
#include <vector>

namespace kv {

// The first format version that may carry a literal store.
constexpr uint16_t kLiteralStoreVersion = 4;
// The largest store an engine keeps (checked before anything is allocated for it).
constexpr uint64_t kMaxLiteralStore = 2u << 20;
// The most its payload may take: a coding byte, then the coded bytes.
constexpr uint64_t kMaxStoredLiteralStore = 1 + kMaxLiteralStore + kMaxLiteralStore / 8 + 1024;

// Reads the body of a "lits" section: where the store lies and how large it is
// (`store`), and the share of each entry it names. Every value is checked against the
// directory and the limits before it is used; anything out of place refuses the patch as
// damaged. Runs before the entries are checked.
DecodeResult read_literal_shares(const uint8_t* body, size_t size, std::vector<Entry>& entries,
                                 LiteralStoreRef& store);

// Decodes the store of a checked patch that has one (its payload within the first
// `payload_end` bytes), checks it against its hash and hands it to every entry with a share.
DecodeResult load_literal_store(Patch& p, uint64_t payload_end);

// The instruction store: the instructions of the delta entries that share the literal store,
// coded as one stream by the instruction model, whose probabilities and history then carry
// from entry to entry, instead of one cold model and one coder's tail per entry. Each entry
// that uses it owns a share (its instructions, in order) that its blocks take their
// instructions from (stream coding 5). Listed in the "inst" section (format version 5);
// decoded and kept, at most kMaxInstructionStore bytes, when the patch is opened.
constexpr uint16_t kInstructionStoreVersion = 5;
constexpr uint64_t kMaxInstructionStore = 1u << 20;
constexpr uint64_t kMaxStoredInstructionStore =
    1 + kMaxInstructionStore + kMaxInstructionStore / 8 + 1024;

// Reads the body of an "inst" section (after the "lits" section's): the store's place and
// size, and each entry's share, checked like the literal store's.
DecodeResult read_instruction_shares(const uint8_t* body, size_t size, std::vector<Entry>& entries,
                                     LiteralStoreRef& store);
// Decodes the instruction store of a checked patch that has one and hands it to every entry
// with a share.
DecodeResult load_instruction_store(Patch& p, uint64_t payload_end);
// The instruction store's payload (a coding byte, then the coded instructions) for the
// entries' shares of `store`, and its whole "inst" section.
std::vector<uint8_t> encode_instruction_store(const std::vector<uint8_t>& store,
                                              const std::vector<Entry>& entries);
std::vector<uint8_t> encode_instructions_section(const LiteralStoreRef& store,
                                                 const std::vector<Entry>& entries);

// The store's payload: a coding byte (0 raw, 1 deflate, 2 the byte model, 3 the store model),
// then the store so coded; the smallest, or with a bandwidth (bits per second) the one that
// costs the player least time; `fast`: raw or deflate only.
std::vector<uint8_t> encode_literal_store(const std::vector<uint8_t>& store, int level, bool fast,
                                          double bandwidth);

// The whole "lits" section (tag, length, body) for a store described by `store` and the
// entries' shares.
std::vector<uint8_t> encode_literals_section(const LiteralStoreRef& store,
                                             const std::vector<Entry>& entries);

} // namespace kv
