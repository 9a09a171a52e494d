// Context-mixing entropy coding of the delta codec's streams (the Mixing and Mixing2 stream
// codings, and the patch directory): the range coder of range_coder.h driven by adaptive bit
// probabilities from several contexts, combined by an online logistic mixer.
//  * bytes (instructions, literals, the directory): orders 0, 1 and 2 mixed;
//  * difference bytes: zero runs coded as lengths, each non-zero difference byte predicted
//    from the old byte it applies to, its position modulo 8 and the previous differences;
//    the second model also from the carry out of the previous byte and from where a 32-bit
//    displacement read from the old bytes around it points to.
// A model starts afresh in every block, so blocks stay independent. The instruction streams'
// own coding, which predicts instructions from earlier ones, is the instruction model
// (instr_model.h).
#pragma once

#include "format.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kv {

// Bytes coded with the byte model, from a fresh start.
std::vector<uint8_t> cm_encode_bytes(const std::vector<uint8_t>& in);
// Decodes exactly n bytes; Corrupt with the text `damaged` when the coded data is too short or
// has bytes left over.
DecodeResult cm_decode_bytes(const uint8_t* in, size_t in_len, uint8_t* out, size_t n,
                             const char* damaged);

// The logistic helpers the models mix with, for the engine's other models (literals.cpp):
// stretch of a 12-bit probability, and its inverse (clamped to -2048 .. 2047).
int cm_stretch(int p12);
int cm_squash(int x);

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
    // The next difference byte, one at a time (the tests' reference for apply()); asking for
    // more than `total`, like damaged data, shows in finished_cleanly().
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
