// Delta codec: the new file as a sequence of instructions (difference bytes, literal bytes,
// seek) against the old file, packed in independent blocks of at most 4 MiB of output. A
// block holds three streams: the instructions, the difference bytes (each added to an old
// byte) and the literal bytes. Each stream takes one of five codings (StreamCoding): raw,
// deflated, context-mixed (cm.h) with the byte model or, for difference bytes, either of the
// two difference models, or, for instructions, the instruction model (instr_model.h); a block
// whose difference bytes are all zero stores none. Decoding holds only the blocks in flight,
// within a memory budget, whatever the file size.
#pragma once

#include "codec.h"
#include "instr_model.h"

#include <cstdint>
#include <functional>

namespace kv {

constexpr uint32_t kDeltaBlockMax = 4u << 20;
constexpr uint32_t kDeltaCtrlMax = 1u << 20;

// Mixing: context mixing (difference bytes with the first difference model, the other
// streams with the byte model); Mixing2: difference bytes with the second difference model
// (instructions and literals never use it); Instructions: the instruction model (instructions
// only).
enum class StreamCoding : uint8_t {
    Raw = 0,
    Deflate = 1,
    Mixing = 2,
    Mixing2 = 3,
    Instructions = 4,
    // Literals or instructions, in an entry that has a share of the patch's literal store or
    // instruction store: the block's literals (instructions) are the next bytes of that share;
    // no stream is stored (compact heads write it as 3 for literals, which no literal stream
    // uses otherwise).
    Shared = 5
};

// In a compact block head, the difference coding that says every difference byte is zero
// (no stream follows).
constexpr uint8_t kZeroDifferences = 7;

// Instructions of earlier entries of the patch that an entry's may be predicted from.
struct InstrRefs {
    // Candidates: directory index and instructions (at most InstrHistory::kMax).
    std::vector<std::pair<uint32_t, const std::vector<Instr>*>> candidates;
    // Set by the encoder: the candidate chosen, or -1; this entry's own instructions.
    int64_t chosen = -1;
    std::vector<Instr> own;
    // When set, called once before the candidates are read (the first block's instructions
    // are known by then): a builder that codes files on several threads fills the candidates
    // there, as soon as every earlier entry is written.
    std::function<void(InstrRefs&)> fill;
};

struct DeltaOptions {
    uint64_t whole_limit; // old files up to this size are indexed whole
    // Old files indexed whole above this size have only their even positions indexed: half the
    // memory, and the odd matches are found one byte on.
    uint64_t sparse_above;
    // Larger old files up to this size are still indexed whole, at their even positions, when
    // that (three bytes per old byte) takes at most four times the new file and 100 MB: each
    // old byte is sorted once, and blocks moved anywhere are found.
    uint64_t even_limit;
    uint64_t segment; // the new file is matched in segments of this size
    uint64_t margin;  // larger old files: window of the segment's range plus this margin
    int level = 9;
    // No stream context-mixed (instructions may still use the instruction model): patches
    // that apply several times faster and are larger.
    bool fast_apply = false;
    // The player's download rate in bits per second: each stream takes the coding that costs
    // the player least time, its bytes at this rate plus decoding. 0: the smallest coding.
    double bandwidth = 0;
    // When set, every block's literals go to the end of this buffer instead of into the block
    // (stream coding 5): the builder gathers them into the patch's literal store.
    std::vector<uint8_t>* shared_literals = nullptr;
    // When set, the instructions of every block that has at most one byte of them per four
    // bytes of output go to the end of this buffer instead of into the block (stream coding
    // 5): the builder gathers them into the patch's instruction store. Such an entry's
    // instructions are then predicted from no other entry's.
    std::vector<uint8_t>* shared_instructions = nullptr;
    // Told true before and false after a suffix array of the old file is built (the one long
    // step during which the bytes coded do not move).
    std::function<void(bool)> indexing;
};
DeltaOptions default_delta_options();

// How the encoder indexes an old file: whole or in windows, every position (step 1) or the
// even ones (step 2).
struct IndexShape {
    bool whole;
    size_t step;
};
IndexShape index_shape(uint64_t old_size, uint64_t new_size, const DeltaOptions& opt);
// The bytes the encoder holds for an old file: the bytes it indexes and their index.
uint64_t index_memory(uint64_t old_size, uint64_t new_size, const DeltaOptions& opt);

// Writes the delta payload that makes the new file from the old one to `out`. With `refs`,
// the instructions may be predicted from one of its candidates' (refs->chosen says which, or
// -1) and refs->own receives the entry's own. `progress` hears how much of the new file has
// been coded, after every block. Fails only for the OS's reasons (reading, writing).
os::Status encode_delta(os::File& oldf, uint64_t old_size, os::File& newf, uint64_t new_size,
                        Sink& out, const DeltaOptions& opt,
                        const std::function<void(uint64_t)>& progress, InstrRefs* refs = nullptr);

// Sizes of the three streams over all blocks of a delta payload (for rtptool info -v).
struct DeltaStats {
    uint64_t blocks = 0;
    uint64_t raw[3] = {0, 0, 0};
    uint64_t stored[3] = {0, 0, 0};
    uint64_t by_coding[5] = {0, 0, 0, 0, 0}; // streams per coding
    uint64_t shared = 0;                     // literals taken from the literal store
};
// Adds the blocks of `e`'s delta payload to `out`; refused like decode_delta when a block
// head or the payload's end is wrong (the streams themselves are not decoded).
DecodeResult delta_stats(const Entry& e, os::File& patch, DeltaStats& out);

// Decodes `e`'s delta payload against the old file and writes exactly e.new_size bytes to
// `out`; `progress` hears the bytes written so far. Corrupt when any length, instruction or
// seek does not fit its block, its streams or the old file, or a stream does not decode
// exactly; Unreadable when reading or writing fails. `held`: the memory the caller holds
// meanwhile (the directory, the literal store, kept files); the blocks in flight together stay
// within the decoder's budget less that, and at least one is always decoded.
DecodeResult decode_delta(const Entry& e, os::File& patch, os::File& old, uint64_t old_size,
                          Sink& out, const ProgressFn& progress, uint64_t held = 0);

} // namespace kv
