// Context-mixing entropy coding of the delta codec's streams: a binary range coder, adaptive
// bit probabilities from several contexts combined by an online logistic mixer.
//  * bytes (instructions, literals): orders 0, 1 and 2 mixed;
//  * difference bytes: zero runs coded as lengths, each non-zero difference byte predicted
//    from the old byte it applies to, its position modulo 8 and the previous differences;
//    the second model also from the carry out of the previous byte and from where a 32-bit
//    displacement read from the old bytes around it points to.
// A model starts afresh in every block, so blocks stay independent.
#pragma once

#include "bytes.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kv {

std::vector<uint8_t> cm_encode_bytes(const std::vector<uint8_t>& in);
// Decodes exactly n bytes; false when the coded data is too short or has bytes left over.
bool cm_decode_bytes(const uint8_t* in, size_t in_len, uint8_t* out, size_t n);

struct DiffModel;

// The models of difference bytes, as the stream codings name them.
enum class DiffModelKind { First, Second };

class DiffEncoder {
  public:
    // `olds`: the old byte under every difference byte that will be added, n of them.
    DiffEncoder(DiffModelKind kind, const uint8_t* olds, size_t n);
    ~DiffEncoder();
    // One difference byte, the old byte it is added to and its position in the new file.
    void add(uint8_t diff, uint8_t old, uint64_t pos);
    std::vector<uint8_t> finish();

  private:
    std::unique_ptr<DiffModel> m_;
    uint64_t run_ = 0;
    uint64_t run_start_ = 0;
    size_t index_ = 0; // difference bytes added so far
};

class DiffDecoder {
  public:
    // `olds`: the old byte under each of the `total` difference bytes.
    DiffDecoder(DiffModelKind kind, const uint8_t* in, size_t in_len, uint64_t total,
                const uint8_t* olds);
    ~DiffDecoder();
    // The next difference byte; sets `bad` when the data is inconsistent.
    uint8_t next(uint8_t old, uint64_t pos);
    // Adds the next n difference bytes to the old bytes in dst (new-file positions from pos).
    void apply(uint8_t* dst, size_t n, uint64_t pos);
    // True when every byte was used exactly and nothing went wrong.
    bool finished_cleanly() const;

  private:
    std::unique_ptr<DiffModel> m_;
    uint64_t left_;    // difference bytes still to come
    uint64_t run_ = 0; // zeros still to hand out from the current run
    bool need_run_ = true;
    size_t index_ = 0; // difference bytes handed out so far
};

} // namespace kv

namespace kv {

// One instruction of the delta codec: difference bytes, literal bytes, then a seek.
struct Instr {
    uint64_t d = 0;
    uint64_t x = 0;
    int64_t seek = 0;
};

// An instruction as the raw stream holds it: three varints (a bad read shows in r.bad()).
inline Instr read_instr(ByteReader& r) {
    Instr i;
    i.d = r.varu();
    i.x = r.varu();
    i.seek = r.vars();
    return i;
}
inline void put_instr(std::vector<uint8_t>& o, const Instr& i) {
    put_varu(o, i.d);
    put_varu(o, i.x);
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
    // after a right guess of (d, x), else to what followed the last two pairs before, else on.
    void push(const Instr& i);
    size_t size() const { return v_.size(); }
    const Instr& operator[](size_t i) const { return v_[i]; }
    const std::vector<Instr>& all() const { return v_; }
    // Marks the end of the referred entry's instructions: the entry's first instruction is
    // then predicted by the referred entry's first.
    void start_own();
    size_t own_start() const { return own_; }
    // The instruction that followed the latest earlier occurrence of the last two (d, x)
    // pairs, or npos.
    size_t follow();

    size_t cursor = npos; // the instruction predicted to come next
    int run = 0;          // how many predictions in a row were right
    Scaler d_scale, seek_scale;

  private:
    std::vector<Instr> v_;
    uint32_t& slot(const Instr* a, const Instr* b);
    // Open addressing by the (d, x) of two instructions: 1 + the latest index they precede.
    std::vector<uint32_t> table_;
    size_t own_ = 0;
};

// Instruction streams (raw: varint triples) coded field by field against the history; the
// history gains the stream's instructions. The encoder needs a well-formed stream.
std::vector<uint8_t> instr_encode(const std::vector<uint8_t>& raw, InstrHistory& h);
// Decodes instructions until exactly raw_len bytes of varint triples are produced; false when
// the coded data is inconsistent.
bool instr_decode(const uint8_t* in, size_t in_len, size_t raw_len, InstrHistory& h,
                  std::vector<uint8_t>& raw);

} // namespace kv
