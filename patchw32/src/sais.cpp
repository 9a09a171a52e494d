#include "sais.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kv {

namespace {

template <typename Text>
void bucket_bounds(const Text& t, int32_t n, int32_t k, int32_t* bkt, bool ends) {
    std::fill(bkt, bkt + k, 0);
    for (int32_t i = 0; i < n; ++i)
        ++bkt[static_cast<size_t>(t[i])];
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
        sum += bkt[static_cast<size_t>(c)];
        bkt[static_cast<size_t>(c)] = ends ? sum : sum - bkt[static_cast<size_t>(c)];
    }
}

// The suffixes' types: S (smaller than the suffix after it) or L, and the LMS positions (an S
// suffix after an L one). One bit per suffix: the types are held through the whole sort, next
// to the text and the array.
struct SuffixTypes {
    std::vector<uint64_t> s; // bit i: suffix i is S-type
    int32_t n;
    template <typename Text>
    SuffixTypes(const Text& t, int32_t len) : s((static_cast<size_t>(len) + 63) / 64), n(len) {
        bool next = false; // the suffix n-1 is L-type: it is followed by the sentinel
        for (int32_t i = n - 2; i >= 0; --i) {
            next = t[i] < t[i + 1] || (t[i] == t[i + 1] && next);
            if (next)
                s[static_cast<size_t>(i) / 64] |= uint64_t{1} << (i % 64);
        }
    }
    bool stype(int32_t i) const { return (s[static_cast<size_t>(i) / 64] >> (i % 64) & 1) != 0; }
    bool lms(int32_t i) const { return i > 0 && i < n && stype(i) && !stype(i - 1); }
};

template <typename Text>
void induce(const Text& t, int32_t* sa, int32_t n, int32_t k, const SuffixTypes& types,
            int32_t* bkt) {
    // L-type suffixes, left to right; the suffix n-1 follows the virtual sentinel.
    bucket_bounds(t, n, k, bkt, false);
    sa[bkt[static_cast<size_t>(t[n - 1])]++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
        int32_t j = sa[i] - 1;
        if (sa[i] > 0 && !types.stype(j))
            sa[bkt[static_cast<size_t>(t[j])]++] = j;
    }
    // S-type suffixes, right to left.
    bucket_bounds(t, n, k, bkt, true);
    for (int32_t i = n - 1; i >= 0; --i) {
        int32_t j = sa[i] - 1;
        if (sa[i] > 0 && types.stype(j))
            sa[--bkt[static_cast<size_t>(t[j])]] = j;
    }
}

// Stage 1: sorts the LMS substrings by induction and gathers them, in order, at the front of
// sa (the rest -1). Returns how many there are.
template <typename Text>
int32_t sort_lms_substrings(const Text& t, int32_t* sa, int32_t n, int32_t k,
                            const SuffixTypes& types, int32_t* bkt) {
    for (int32_t i = 0; i < n; ++i)
        sa[i] = -1;
    bucket_bounds(t, n, k, bkt, true);
    for (int32_t i = 1; i < n; ++i)
        if (types.lms(i))
            sa[--bkt[static_cast<size_t>(t[i])]] = i;
    induce(t, sa, n, k, types, bkt);
    int32_t m = 0;
    for (int32_t i = 0; i < n; ++i)
        if (types.lms(sa[i]))
            sa[m++] = sa[i];
    for (int32_t i = m; i < n; ++i)
        sa[i] = -1;
    return m;
}

// Names the m sorted LMS substrings (equal substrings get equal names) and stores the names in
// text order at the end of sa, the reduced string. Returns how many names there are.
template <typename Text>
int32_t name_lms_substrings(const Text& t, int32_t* sa, int32_t n, int32_t m,
                            const SuffixTypes& types) {
    int32_t name = 0, prev = -1;
    for (int32_t i = 0; i < m; ++i) {
        int32_t pos = sa[i];
        bool diff = false;
        for (int32_t d = 0;; ++d) {
            if (prev == -1 || pos + d == n || prev + d == n || t[pos + d] != t[prev + d] ||
                types.stype(pos + d) != types.stype(prev + d)) {
                diff = true;
                break;
            }
            if (d > 0 && (types.lms(pos + d) || types.lms(prev + d)))
                break;
        }
        if (diff) {
            ++name;
            prev = pos;
        }
        sa[m + pos / 2] = name - 1;
    }
    for (int32_t i = n - 1, j = n - 1; i >= m; --i)
        if (sa[i] >= 0)
            sa[j--] = sa[i];
    return name;
}

template <typename Text>
void sais(const Text& t, int32_t* sa, int32_t n, int32_t k, int32_t* spare = nullptr);

// Stage 2: sorts the LMS suffixes from the reduced string, recursively when names repeat;
// leaves them, in order, at the front of sa (the rest -1).
inline void sort_lms_suffixes(int32_t* sa, int32_t n, int32_t m, int32_t names,
                              const SuffixTypes& types) {
    int32_t* s1 = sa + n - m;
    int32_t* sa1 = sa;
    if (names < m) {
        // Between the reduced string's array and the reduced string, sa is free: the buckets
        // of a large alphabet of names go there when they fit.
        const int32_t* reduced = s1;
        sais(reduced, sa1, m, names, names <= n - 2 * m ? sa + m : nullptr);
    } else {
        for (int32_t i = 0; i < m; ++i)
            sa1[s1[i]] = i;
    }
    for (int32_t i = 1, j = 0; i < n; ++i)
        if (types.lms(i))
            s1[j++] = i;
    for (int32_t i = 0; i < m; ++i)
        sa1[i] = s1[sa1[i]];
    for (int32_t i = m; i < n; ++i)
        sa[i] = -1;
}

// Suffix array construction by induced sorting (SA-IS: Nong, Zhang and Chan, 2009): the
// LMS substrings sorted and named, their suffixes sorted from the reduced string, then the
// whole array induced from them. `k`: the alphabet's size; `spare`: room for k buckets that
// the sort may use, or null.
template <typename Text>
void sais(const Text& t, int32_t* sa, int32_t n, int32_t k, int32_t* spare) {
    if (n == 0)
        return;
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    const SuffixTypes types(t, n);
    std::vector<int32_t> own(spare ? 0 : static_cast<size_t>(k));
    int32_t* bkt = spare ? spare : own.data();
    int32_t m = sort_lms_substrings(t, sa, n, k, types, bkt);
    int32_t names = name_lms_substrings(t, sa, n, m, types);
    sort_lms_suffixes(sa, n, m, names, types);
    // Stage 3: induce the whole array from the sorted LMS suffixes.
    bucket_bounds(t, n, k, bkt, true);
    for (int32_t i = m - 1; i >= 0; --i) {
        int32_t j = sa[i];
        sa[i] = -1;
        sa[--bkt[static_cast<size_t>(t[j])]] = j;
    }
    induce(t, sa, n, k, types, bkt);
}

// The text read two bytes at a time: symbol i is bytes 2i and 2i+1, the first the more
// significant, so the symbols' suffixes sort as the bytes' suffixes at even positions. An odd
// last byte pairs with 0: that symbol still sorts before any longer suffix that starts with
// the same byte.
struct BytePairs {
    const uint8_t* p;
    int64_t n; // bytes
    uint32_t operator[](int32_t i) const {
        int64_t at = int64_t{2} * i;
        return static_cast<uint32_t>(p[at]) << 8 | (at + 1 < n ? p[at + 1] : 0u);
    }
};

} // namespace

void build_suffix_array(const uint8_t* text, int32_t* sa, int32_t n) {
    sais(text, sa, n, 256);
}

void build_even_suffix_array(const uint8_t* text, int32_t* sa, int64_t n) {
    int32_t pairs = static_cast<int32_t>((n + 1) / 2);
    sais(BytePairs{text, n}, sa, pairs, 1 << 16);
    for (int32_t i = 0; i < pairs; ++i)
        sa[i] *= 2;
}

} // namespace kv
