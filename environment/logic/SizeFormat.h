// Byte counts written for the user: "no space", or two decimals and a binary unit.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>

std::string FormatSize(int64_t bytes);

// "%.2f" of a value, rounded to nearest with exact halves going away from zero,
// the same on every C library.
std::string FormatTwoDecimals(double value);
