// The binary range coder (in the style of LZMA's) and the adaptive bit probabilities that the
// context-mixing models (cm.cpp) and the instruction model (instr_model.cpp) code with. A
// coder takes the probability of a 1 bit on 0..4095; integer arithmetic only, so every build
// codes alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv {

// Appends the coded bytes to `out`; flush() writes the last of them.
class RangeEncoder {
  public:
    explicit RangeEncoder(std::vector<uint8_t>& out) : out_(out) {}
    void bit(int b, int p1) { // p1: probability of a 1 on 0..4095
        uint32_t bound = (range_ >> 12) * static_cast<uint32_t>(p1);
        if (b) {
            range_ = bound;
        } else {
            low_ += bound;
            range_ -= bound;
        }
        while (range_ < (1u << 24)) {
            range_ <<= 8;
            shift_low();
        }
    }
    void flush() {
        for (int i = 0; i < 5; ++i)
            shift_low();
    }

  private:
    void shift_low() {
        if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
            uint8_t carry = static_cast<uint8_t>(low_ >> 32);
            uint8_t temp = cache_;
            do {
                out_.push_back(static_cast<uint8_t>(temp + carry));
                temp = 0xFF;
            } while (--cache_size_ != 0);
            cache_ = static_cast<uint8_t>(low_ >> 24);
        }
        ++cache_size_;
        low_ = (low_ & 0x00FFFFFFu) << 8;
    }
    std::vector<uint8_t>& out_;
    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    uint8_t cache_ = 0;
    uint64_t cache_size_ = 1;
};

// Reads the coded bytes; reading past their end yields zero bytes and shows in overrun().
class RangeDecoder {
  public:
    RangeDecoder(const uint8_t* in, size_t n) : p_(in), end_(in + n) {
        for (int i = 0; i < 5; ++i)
            code_ = (code_ << 8) | next();
    }
    int bit(int p1) {
        uint32_t bound = (range_ >> 12) * static_cast<uint32_t>(p1);
        int b;
        if (code_ < bound) {
            range_ = bound;
            b = 1;
        } else {
            code_ -= bound;
            range_ -= bound;
            b = 0;
        }
        while (range_ < (1u << 24)) {
            range_ <<= 8;
            code_ = (code_ << 8) | next();
        }
        return b;
    }
    bool overrun() const { return over_ > 0; }
    bool all_used() const { return p_ == end_ && over_ == 0; }

  private:
    uint32_t next() {
        if (p_ < end_)
            return *p_++;
        ++over_;
        return 0;
    }
    const uint8_t* p_;
    const uint8_t* end_;
    uint32_t code_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    int over_ = 0;
};

// One bit with the probability p1 of a 1: the encoder codes `bit` and returns it, the decoder
// returns the bit it decodes.
inline int code_bit(RangeEncoder& e, int bit, int p1) {
    e.bit(bit, p1);
    return bit;
}
inline int code_bit(RangeDecoder& d, int, int p1) {
    return d.bit(p1);
}

// A 16-bit probability moved 1/2^rate of the way towards the bit just coded.
inline void adapt(uint16_t& p, int bit, int rate) {
    if (bit)
        p = static_cast<uint16_t>(p + ((65536 - p) >> rate));
    else
        p = static_cast<uint16_t>(p - (p >> rate));
}
// A probability (12 bits) with a count of how often its context was seen (4 bits): young
// contexts learn quickly (step 1/(n+1.5)), older ones settle at about 1/16.
struct Rates {
    int rec[16];
    Rates() {
        for (int n = 0; n < 16; ++n)
            rec[n] = static_cast<int>(65536.0 / (n + 1.5));
    }
};
inline const Rates g_rates;
inline void adapt_n(uint16_t& v, int bit, int limit) {
    int n = v & 15;
    int p = v >> 4;
    int target = bit ? 4095 : 0;
    p += ((target - p) * g_rates.rec[n]) / 65536;
    if (n < limit)
        ++n;
    v = static_cast<uint16_t>((p << 4) | n);
}
// The 12-bit probability of an adapt_n() value, kept off the ends.
inline int p12(uint16_t p) {
    int v = p >> 4;
    return v < 1 ? 1 : v > 4095 ? 4095 : v;
}

} // namespace kv
