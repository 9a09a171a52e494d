// File hashes: XXH3 with 128 bits for file identity, 64 bits for small records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv {

struct Hash128 {
    uint8_t b[16] = {};
    bool operator==(const Hash128& o) const;
    bool operator!=(const Hash128& o) const { return !(*this == o); }
    std::string hex() const;
};

class Hasher {
  public:
    Hasher();
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;
    void reset();
    void update(const void* data, size_t n);
    Hash128 digest() const;

  private:
    void* st_;
};

Hash128 hash128(const void* data, size_t n);
uint64_t hash64(const void* data, size_t n);

} // namespace kv
