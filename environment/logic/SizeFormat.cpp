#include "environment/logic/SizeFormat.h"

#include <cmath>

std::string FormatTwoDecimals(double value) {
    // Exact arithmetic on the binary value, value = mantissa * 2^exponent, so that the
    // rounding does not depend on how a C library prints long expansions.
    const bool negative = std::signbit(value);
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent); // in [0.5, 1)
    const uint64_t mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
    exponent -= 53;
    const uint64_t scaled = mantissa * 100; // below 2^60
    uint64_t hundredths = 0;
    if (exponent >= 0) {
        hundredths = scaled << exponent; // only whole numbers below 2^23 reach here
    } else if (exponent > -64) {
        const int shift = -exponent;
        hundredths = scaled >> shift;
        const uint64_t remainder = scaled & ((uint64_t{1} << shift) - 1);
        const uint64_t half = uint64_t{1} << (shift - 1);
        if (remainder >= half) {
            ++hundredths; // an exact half goes away from zero
        }
    }
    std::string digits = std::to_string(hundredths / 100) + ".";
    const uint64_t cents = hundredths % 100;
    digits += static_cast<char>('0' + cents / 10);
    digits += static_cast<char>('0' + cents % 10);
    return negative ? "-" + digits : digits;
}

std::string FormatSize(int64_t bytes) {
    if (bytes == 0) {
        return "no space";
    }
    const double tb = static_cast<double>(bytes) / 1099511627776.0;
    if (tb > 1.0) {
        return FormatTwoDecimals(tb) + " TB";
    }
    // Below a terabyte the count is taken in single precision, as the display always was.
    // Stored through memory so that x87 code rounds it to single precision too.
    volatile float rounded = static_cast<float>(bytes);
    const float f = rounded;
    const double gb = static_cast<double>(f) / 1073741824.0;
    if (gb > 1.0) {
        return FormatTwoDecimals(gb) + " GB";
    }
    const double mb = static_cast<double>(f) / 1048576.0;
    if (mb > 1.0) {
        return FormatTwoDecimals(mb) + " MB";
    }
    return FormatTwoDecimals(static_cast<double>(f) / 1024.0) + " kb";
}
