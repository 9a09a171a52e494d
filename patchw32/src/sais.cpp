#include "sais.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kv {

namespace {

template <typename Ch>
void bucket_bounds(const Ch* t, int32_t n, int32_t k, std::vector<int32_t>& bkt, bool ends) {
    std::fill(bkt.begin(), bkt.end(), 0);
    for (int32_t i = 0; i < n; ++i)
        ++bkt[static_cast<size_t>(t[i])];
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
        sum += bkt[static_cast<size_t>(c)];
        bkt[static_cast<size_t>(c)] = ends ? sum : sum - bkt[static_cast<size_t>(c)];
    }
}

template <typename Ch>
void induce(const Ch* t, int32_t* sa, int32_t n, int32_t k, const std::vector<uint8_t>& stype,
            std::vector<int32_t>& bkt) {
    // L-type suffixes, left to right; the suffix n-1 follows the virtual sentinel.
    bucket_bounds(t, n, k, bkt, false);
    sa[bkt[static_cast<size_t>(t[n - 1])]++] = n - 1;
    for (int32_t i = 0; i < n; ++i) {
        int32_t j = sa[i] - 1;
        if (sa[i] > 0 && !stype[static_cast<size_t>(j)])
            sa[bkt[static_cast<size_t>(t[j])]++] = j;
    }
    // S-type suffixes, right to left.
    bucket_bounds(t, n, k, bkt, true);
    for (int32_t i = n - 1; i >= 0; --i) {
        int32_t j = sa[i] - 1;
        if (sa[i] > 0 && stype[static_cast<size_t>(j)])
            sa[--bkt[static_cast<size_t>(t[j])]] = j;
    }
}

template <typename Ch> void sais(const Ch* t, int32_t* sa, int32_t n, int32_t k) {
    if (n == 0)
        return;
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    std::vector<uint8_t> stype(static_cast<size_t>(n));
    stype[static_cast<size_t>(n - 1)] = 0;
    for (int32_t i = n - 2; i >= 0; --i)
        stype[static_cast<size_t>(i)] =
            t[i] < t[i + 1] || (t[i] == t[i + 1] && stype[static_cast<size_t>(i + 1)]);
    auto is_lms = [&](int32_t i) {
        return i > 0 && i < n && stype[static_cast<size_t>(i)] &&
               !stype[static_cast<size_t>(i - 1)];
    };
    std::vector<int32_t> bkt(static_cast<size_t>(k));

    // Stage 1: sort the LMS substrings.
    for (int32_t i = 0; i < n; ++i)
        sa[i] = -1;
    bucket_bounds(t, n, k, bkt, true);
    for (int32_t i = 1; i < n; ++i)
        if (is_lms(i))
            sa[--bkt[static_cast<size_t>(t[i])]] = i;
    induce(t, sa, n, k, stype, bkt);

    int32_t m = 0;
    for (int32_t i = 0; i < n; ++i)
        if (is_lms(sa[i]))
            sa[m++] = sa[i];
    for (int32_t i = m; i < n; ++i)
        sa[i] = -1;

    // Name the LMS substrings; equal substrings get equal names.
    int32_t name = 0, prev = -1;
    for (int32_t i = 0; i < m; ++i) {
        int32_t pos = sa[i];
        bool diff = false;
        for (int32_t d = 0;; ++d) {
            if (prev == -1 || pos + d == n || prev + d == n || t[pos + d] != t[prev + d] ||
                stype[static_cast<size_t>(pos + d)] != stype[static_cast<size_t>(prev + d)]) {
                diff = true;
                break;
            }
            if (d > 0 && (is_lms(pos + d) || is_lms(prev + d)))
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

    // Stage 2: sort the LMS suffixes, recursively when names repeat.
    int32_t* s1 = sa + n - m;
    int32_t* sa1 = sa;
    if (name < m) {
        sais<int32_t>(s1, sa1, m, name);
    } else {
        for (int32_t i = 0; i < m; ++i)
            sa1[s1[i]] = i;
    }
    for (int32_t i = 1, j = 0; i < n; ++i)
        if (is_lms(i))
            s1[j++] = i;
    for (int32_t i = 0; i < m; ++i)
        sa1[i] = s1[sa1[i]];
    for (int32_t i = m; i < n; ++i)
        sa[i] = -1;

    // Stage 3: induce the whole array from the sorted LMS suffixes.
    bucket_bounds(t, n, k, bkt, true);
    for (int32_t i = m - 1; i >= 0; --i) {
        int32_t j = sa[i];
        sa[i] = -1;
        sa[--bkt[static_cast<size_t>(t[j])]] = j;
    }
    induce(t, sa, n, k, stype, bkt);
}

} // namespace

void build_suffix_array(const uint8_t* text, int32_t* sa, int32_t n) {
    sais<uint8_t>(text, sa, n, 256);
}

} // namespace kv
