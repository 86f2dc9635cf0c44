// Small integer helpers used all over the encoder, from configuration checks to
// the portable kernels: minimum, maximum, clamping to a range and clipping to
// an 8-bit sample. They are inline so that kernels lose nothing by them.
#pragma once
#include <cstdint>

static inline int32_t min_i32(int32_t a, int32_t b)
{
    return a < b ? a : b;
}

static inline int32_t max_i32(int32_t a, int32_t b)
{
    return a > b ? a : b;
}

// v within lo..hi (lo <= hi).
static inline int32_t clamp_i32(int32_t v, int32_t lo, int32_t hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

// v within the 8-bit sample range 0..255.
static inline uint8_t clip_pixel(int32_t v)
{
    return (uint8_t)clamp_i32(v, 0, 255);
}
