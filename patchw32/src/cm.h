// Context-mixing entropy coding of the delta codec's streams: a binary range coder, adaptive
// bit probabilities from several contexts combined by an online logistic mixer.
//  * bytes (instructions, literals): orders 0, 1 and 2 mixed;
//  * difference bytes: zero runs coded as lengths, each non-zero difference byte predicted
//    from the old byte it applies to, its position modulo 8 and the previous difference.
// A model starts afresh in every block, so blocks stay independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kv {

std::vector<uint8_t> cm_encode_bytes(const std::vector<uint8_t>& in);
// Decodes exactly n bytes; false when the coded data is too short or has bytes left over.
bool cm_decode_bytes(const uint8_t* in, size_t in_len, uint8_t* out, size_t n);

struct DiffModel;

class DiffEncoder {
  public:
    DiffEncoder();
    ~DiffEncoder();
    // One difference byte, the old byte it is added to and its position in the new file.
    void add(uint8_t diff, uint8_t old, uint64_t pos);
    std::vector<uint8_t> finish();

  private:
    std::unique_ptr<DiffModel> m_;
    uint64_t run_ = 0;
    uint64_t run_start_ = 0;
};

class DiffDecoder {
  public:
    DiffDecoder(const uint8_t* in, size_t in_len, uint64_t total);
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
};

} // namespace kv
