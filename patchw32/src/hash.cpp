#include "hash.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

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

os::Status hash_file(os::File& f, uint64_t size, Hash128& out, const HashPieceFn& each) {
    Hasher h;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(size, 1u << 20)));
    for (uint64_t pos = 0; pos < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos));
        os::Status s = f.read_exact_at(pos, buf.data(), n);
        if (!s)
            return s;
        h.update(buf.data(), n);
        pos += n;
        if (each && !(s = each(buf.data(), n, pos)))
            return s;
    }
    out = h.digest();
    return os::Status::success();
}

os::Status hash_file(const std::string& path, uint64_t size, Hash128& out,
                     const HashPieceFn& each) {
    os::File f;
    os::Status s = os::File::open_read(path, f);
    return s ? hash_file(f, size, out, each) : s;
}

} // namespace kv
