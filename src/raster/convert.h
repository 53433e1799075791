// Float-to-integer conversions that are defined for every input.
//
// Each truncates toward zero like a C cast. For a value that is not a number or lies outside
// the target range they return what x86's truncating conversion instructions return (the
// "integer indefinite", the most negative value), so the module draws the same picture as a
// build whose casts compile to those instructions, without undefined behaviour.
#pragma once

#include <cstdint>

namespace nimbrelle {

// Truncates toward zero to 32 bits; NaN and values outside the int32 range give INT32_MIN.
inline int32_t TruncToInt32(double v)
{
    if (v > -2147483649.0 && v < 2147483648.0) return static_cast<int32_t>(v);
    return INT32_MIN;
}

// Truncates toward zero to 64 bits; NaN and magnitudes of 2^63 or more give INT64_MIN.
inline int64_t TruncToInt64(double v)
{
    // -2^63 itself is excluded from the cast but is INT64_MIN anyway.
    if (v > -9223372036854775808.0 && v < 9223372036854775808.0) return static_cast<int64_t>(v);
    return INT64_MIN;
}

}  // namespace nimbrelle
