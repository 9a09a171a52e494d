// The instruction model: how the delta codec's instruction streams are coded when they take
// the Instructions coding. Each instruction (difference length, literal length, seek) is
// coded field by field against a prediction from the instructions seen before it: those of
// an earlier entry of the patch that the entry refers to (files that carry the same edits),
// then the entry's own. The delta encoder offers it every block's instructions and keeps its
// coding when that is the smallest; the decoder decodes them with the same history, which
// carries from block to block. Coded with the range coder of range_coder.h.
#pragma once

#include "bytes.h"
#include "format.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv {

// One instruction of the delta codec: difference bytes, literal bytes, then a seek.
struct Instr {
    uint64_t diff_len = 0;    // old bytes taken, each with a difference byte added
    uint64_t literal_len = 0; // literal bytes then taken as they are
    int64_t seek = 0;         // then the old position moves by this much
};

// An instruction as the raw stream holds it: three varints (a bad read shows in r.bad()).
inline Instr read_instr(ByteReader& r) {
    Instr i;
    i.diff_len = r.varu();
    i.literal_len = r.varu();
    i.seek = r.vars();
    return i;
}
inline void put_instr(std::vector<uint8_t>& o, const Instr& i) {
    put_varu(o, i.diff_len);
    put_varu(o, i.literal_len);
    put_vars(o, i.seek);
}

// A value predicted from its counterpart in earlier instructions: files that carry the same
// edits often have them at distances that all grow or shrink by about the same factor.
// Integer arithmetic only, so that every build decodes alike.
struct Scaler {
    int64_t q16 = 65536;    // the latest ratio of a value to its counterpart, 16.16
    int64_t err_plain = 0;  // recent errors of the counterpart as it is
    int64_t err_scaled = 0; // and of the counterpart times the ratio
    int64_t guess(int64_t p) const;
    void learn(int64_t p, int64_t actual);
};

// The instructions an instruction stream is predicted from: those of the entry it refers to
// (if any), then the entry's own, in order, as they are coded. It keeps at most kMax; later
// ones are predicted but no longer kept. The prediction cursor carries from block to block.
class InstrHistory {
  public:
    static constexpr size_t kMax = size_t{1} << 17;
    static constexpr size_t npos = ~size_t{0};
    InstrHistory();
    // Keeps an instruction of the referred entry.
    void add(const Instr& i);
    // Keeps one of the entry's own instructions and moves the prediction on: to the next one
    // after a right guess of both lengths, else to what followed the last two pairs of lengths
    // before, else on.
    void push(const Instr& i);
    size_t size() const { return v_.size(); }
    const Instr& operator[](size_t i) const { return v_[i]; }
    const std::vector<Instr>& all() const { return v_; }
    // Marks the end of the referred entry's instructions: the entry's first instruction is
    // then predicted by the referred entry's first.
    void start_own();
    size_t own_start() const { return own_; }
    // The instruction that followed the latest earlier occurrence of the last two instructions'
    // lengths, or npos.
    size_t follow();

    size_t cursor = npos; // the instruction predicted to come next
    int run = 0;          // how many predictions in a row were right
    Scaler diff_len_scale, seek_scale;

  private:
    std::vector<Instr> v_;
    uint32_t& slot(const Instr* a, const Instr* b);
    // Open addressing by the lengths of two instructions: 1 + the latest index they precede.
    std::vector<uint32_t> table_;
    size_t own_ = 0;
};

// Instruction streams (raw: varint triples) coded field by field against the history; the
// history gains the stream's instructions. The encoder needs a well-formed stream.
std::vector<uint8_t> instr_encode(const std::vector<uint8_t>& raw, InstrHistory& h);
// Decodes instructions until exactly raw_len bytes of varint triples are produced; Corrupt
// with the text `damaged` when the coded data is inconsistent.
DecodeResult instr_decode(const uint8_t* in, size_t in_len, size_t raw_len, InstrHistory& h,
                          std::vector<uint8_t>& raw, const char* damaged);

// The instructions of many entries (raw: varint triples, entry k's the next lengths[k] bytes)
// coded as one stream, in order: the model's probabilities carry from entry to entry, while
// each entry's instructions are predicted from its own before them (a history of several
// entries would predict from unrelated files). The encoder needs well-formed streams.
std::vector<uint8_t> instr_encode_entries(const std::vector<uint8_t>& raw,
                                          const std::vector<uint64_t>& lengths);
// Decodes such a stream into the entries' instructions, one after the other in `raw`, entry k
// taking exactly lengths[k] bytes; Corrupt with the text `damaged` when the coded data is
// inconsistent or not used exactly.
DecodeResult instr_decode_entries(const uint8_t* in, size_t in_len,
                                  const std::vector<uint64_t>& lengths, std::vector<uint8_t>& raw,
                                  const char* damaged);

} // namespace kv
