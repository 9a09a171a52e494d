// Little-endian fields and variable-length integers of the patch format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv {

inline void put_u8(std::vector<uint8_t>& o, uint8_t v) {
    o.push_back(v);
}
inline void put_u16(std::vector<uint8_t>& o, uint16_t v) {
    o.push_back(static_cast<uint8_t>(v));
    o.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put_u32(std::vector<uint8_t>& o, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        o.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u64(std::vector<uint8_t>& o, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        o.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_bytes(std::vector<uint8_t>& o, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    o.insert(o.end(), b, b + n);
}
inline void put_varu(std::vector<uint8_t>& o, uint64_t v) {
    while (v >= 0x80) {
        o.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    o.push_back(static_cast<uint8_t>(v));
}
inline void put_vars(std::vector<uint8_t>& o, int64_t v) {
    put_varu(o, (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63));
}

inline uint16_t get_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get_u64(const uint8_t* p) {
    return static_cast<uint64_t>(get_u32(p)) | (static_cast<uint64_t>(get_u32(p + 4)) << 32);
}

// Bounds-checked reader over a byte range; any overrun sets `bad` and yields zeros.
class ByteReader {
  public:
    ByteReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool bad() const { return bad_; }
    size_t left() const { return n_ - pos_; }
    size_t pos() const { return pos_; }
    const uint8_t* take(size_t k) {
        if (bad_ || k > n_ - pos_) {
            bad_ = true;
            return nullptr;
        }
        const uint8_t* r = p_ + pos_;
        pos_ += k;
        return r;
    }
    uint8_t u8() {
        const uint8_t* q = take(1);
        return q ? q[0] : 0;
    }
    uint16_t u16() {
        const uint8_t* q = take(2);
        return q ? get_u16(q) : 0;
    }
    uint32_t u32() {
        const uint8_t* q = take(4);
        return q ? get_u32(q) : 0;
    }
    uint64_t u64() {
        const uint8_t* q = take(8);
        return q ? get_u64(q) : 0;
    }
    uint64_t varu() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b = u8();
            if (bad_)
                return 0;
            if (shift == 63 && b > 1) {
                bad_ = true;
                return 0;
            }
            v |= static_cast<uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80))
                return v;
        }
        bad_ = true;
        return 0;
    }
    int64_t vars() {
        uint64_t u = varu();
        return static_cast<int64_t>((u >> 1) ^ (~(u & 1) + 1));
    }

  private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool bad_ = false;
};

} // namespace kv
