// File hashes: XXH3 with 128 bits for file identity, 64 bits for small records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "os.h"

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

// Called with each piece a file hash reads, after it is hashed, and the bytes read so far; a
// failure it returns ends the hashing with that failure (to copy the piece elsewhere, or to
// report progress).
using HashPieceFn = std::function<os::Status(const uint8_t* piece, size_t n, uint64_t done)>;

// The one read-and-hash loop: the XXH3-128 of the first `size` bytes of `f`, read in 1 MiB
// pieces. Fails with the read's own status when the file is shorter or cannot be read.
os::Status hash_file(os::File& f, uint64_t size, Hash128& out, const HashPieceFn& each = {});
// The same for the file at `path`, opened for reading.
os::Status hash_file(const std::string& path, uint64_t size, Hash128& out,
                     const HashPieceFn& each = {});
uint64_t hash64(const void* data, size_t n);

} // namespace kv
