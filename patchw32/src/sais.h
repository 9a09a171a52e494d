// Suffix array construction by induced sorting (SA-IS, after Nong, Zhang and Chan), linear
// time, 32-bit indices.
#pragma once

#include <cstdint>

namespace kv {

// Fills sa[0..n) with the suffix array of text[0..n). n must be below 2^31.
void build_suffix_array(const uint8_t* text, int32_t* sa, int32_t n);

// Fills sa[0..(n+1)/2) with the even positions of text[0..n), in the order of their suffixes:
// a sparse index in half the memory. n must be below 2^31.
void build_even_suffix_array(const uint8_t* text, int32_t* sa, int64_t n);

} // namespace kv
