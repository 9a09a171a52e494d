// Delta codec: the new file as a sequence of (difference, literal, seek) instructions
// against the old file, packed in independent blocks of at most 4 MiB of output whose
// three streams (instructions, difference bytes, literal bytes) are each stored raw or
// deflated. Decoding needs one block in memory, whatever the file size.
#pragma once

#include "cm.h"
#include "codec.h"

#include <cstdint>
#include <functional>

namespace kv {

constexpr uint32_t kDeltaBlockMax = 4u << 20;
constexpr uint32_t kDeltaCtrlMax = 1u << 20;

// Mixing: context mixing (difference bytes with the first model); Mixing2: difference bytes
// with the second model (instructions and literals never use it); Instructions: the
// instructions field by field, predicted from the entry's earlier ones and those of the
// entry it refers to (instructions only).
enum class StreamCoding : uint8_t {
    Raw = 0,
    Deflate = 1,
    Mixing = 2,
    Mixing2 = 3,
    Instructions = 4
};

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
    uint64_t segment;     // the new file is matched in segments of this size
    uint64_t margin;      // larger old files: window of the segment's range plus this margin
    int level = 9;
    // No stream context-mixed (instructions may still use the instruction model): patches
    // that apply several times faster and are larger.
    bool fast_apply = false;
    // The player's download rate in bits per second: each stream takes the coding that costs
    // the player least time, its bytes at this rate plus decoding. 0: the smallest coding.
    double bandwidth = 0;
    // Told true before and false after a suffix array of the old file is built (the one long
    // step during which the bytes coded do not move).
    std::function<void(bool)> indexing;
};
DeltaOptions default_delta_options();

// `progress` hears how much of the new file has been coded, after every block.
os::Status encode_delta(os::File& oldf, uint64_t old_size, os::File& newf, uint64_t new_size,
                        Sink& out, const DeltaOptions& opt,
                        const std::function<void(uint64_t)>& progress, InstrRefs* refs = nullptr);

// Sizes of the three streams over all blocks of a delta payload (for rtptool info -v).
struct DeltaStats {
    uint64_t blocks = 0;
    uint64_t raw[3] = {0, 0, 0};
    uint64_t stored[3] = {0, 0, 0};
    uint64_t by_coding[5] = {0, 0, 0, 0, 0}; // streams per coding
};
bool delta_stats(const Entry& e, os::File& patch, DeltaStats& out);

DecodeResult decode_delta(const Entry& e, os::File& patch, os::File& old, uint64_t old_size,
                          Sink& out, const ProgressFn& progress);

} // namespace kv
