#include "hash.h"

#include <cstring>
#include <new>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace kv {

bool Hash128::operator==(const Hash128& o) const {
    return std::memcmp(b, o.b, 16) == 0;
}

std::string Hash128::hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

static Hash128 from_xxh(XXH128_hash_t h) {
    XXH128_canonical_t c;
    XXH128_canonicalFromHash(&c, h);
    Hash128 r;
    std::memcpy(r.b, c.digest, 16);
    return r;
}

Hasher::Hasher() : st_(XXH3_createState()) {
    if (!st_)
        throw std::bad_alloc();
    reset();
}
Hasher::~Hasher() {
    XXH3_freeState(static_cast<XXH3_state_t*>(st_));
}
void Hasher::reset() {
    XXH3_128bits_reset(static_cast<XXH3_state_t*>(st_));
}
void Hasher::update(const void* data, size_t n) {
    XXH3_128bits_update(static_cast<XXH3_state_t*>(st_), data, n);
}
Hash128 Hasher::digest() const {
    return from_xxh(XXH3_128bits_digest(static_cast<XXH3_state_t*>(st_)));
}

Hash128 hash128(const void* data, size_t n) {
    return from_xxh(XXH3_128bits(data, n));
}
uint64_t hash64(const void* data, size_t n) {
    return XXH3_64bits(data, n);
}

} // namespace kv
