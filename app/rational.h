#pragma once
// Frame rates as fractions: a decimal rate such as 23.976 becomes the nearest
// fraction with small terms (2997/125), as the stream's timing fields need.
#include <cstdint>

// Packs a fraction: numerator in the low 32 bits, denominator in the high 32.
inline uint64_t rational_pack(int32_t num, int32_t den)
{
    return (uint64_t)(uint32_t)num | ((uint64_t)(uint32_t)den << 32);
}
inline int32_t rational_num(uint64_t r) { return (int32_t)(uint32_t)r; }
inline int32_t rational_den(uint64_t r) { return (int32_t)(uint32_t)(r >> 32); }

// Best approximation of num/den whose terms are within `limit` (continued
// fractions), reduced; negative when exactly one input is.
uint64_t rational_reduce(int32_t num, int32_t den, int32_t limit);
// A rate as a fraction; 0/0 when the value cannot be represented.
uint64_t double_to_rational(double x);
