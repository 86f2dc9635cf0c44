// Compositions shared by the portable and SIMD kernel sets: the larger SATD and
// SA8D blocks are built from a 4x4 / 8x4 / 8x8 core with fixed grouping and
// rounding, so every set returns the same value once its core is exact.
// Included by one translation unit per set; everything here has internal
// linkage so that cores compiled for different instruction sets never merge.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/metrics/metric.h"

static inline const uint8_t *block_at(const uint8_t *p, int stride, int x, int y)
{
    return p + x + (ptrdiff_t)y * stride;
}

// SA8D rounding groups: the 8x8 block, both halves of 16x8, each half of 8x16
// separately, all four 8x8 blocks of every 16x16; larger blocks add 16x16 results.
#define TV_DEFINE_SA8D_FAMILY(sfx, raw)                                                          \
    TV_PAIR_METRIC(sa8d_8x8_##sfx) { return (raw(a, a_stride, b, b_stride) + 2) >> 2; }          \
    TV_PAIR_METRIC(sa8d_16x8_##sfx)                                                              \
    {                                                                                            \
        uint32_t r = raw(a, a_stride, b, b_stride) +                                             \
                     raw(block_at(a, a_stride, 8, 0), a_stride, block_at(b, b_stride, 8, 0), b_stride); \
        return (r + 2) >> 2;                                                                     \
    }                                                                                            \
    TV_PAIR_METRIC(sa8d_8x16_##sfx)                                                              \
    {                                                                                            \
        uint32_t top = raw(a, a_stride, b, b_stride);                                            \
        uint32_t bottom = raw(block_at(a, a_stride, 0, 8), a_stride, block_at(b, b_stride, 0, 8), b_stride); \
        return ((top + 2) >> 2) + ((bottom + 2) >> 2);                                           \
    }                                                                                            \
    TV_PAIR_METRIC(sa8d_16x16_##sfx)                                                             \
    {                                                                                            \
        uint32_t r = 0;                                                                          \
        for (int y = 0; y < 16; y += 8)                                                          \
            for (int x = 0; x < 16; x += 8)                                                      \
                r += raw(block_at(a, a_stride, x, y), a_stride, block_at(b, b_stride, x, y), b_stride); \
        return (r + 2) >> 2;                                                                     \
    }                                                                                            \
    static uint32_t sa8d_16x16_grid_##sfx(const uint8_t *a, int a_stride, const uint8_t *b,      \
                                          int b_stride, int w, int h)                            \
    {                                                                                            \
        uint32_t sum = 0;                                                                        \
        for (int y = 0; y < h; y += 16)                                                          \
            for (int x = 0; x < w; x += 16)                                                      \
                sum += sa8d_16x16_##sfx(block_at(a, a_stride, x, y), a_stride,                   \
                                        block_at(b, b_stride, x, y), b_stride);                  \
        return sum;                                                                              \
    }                                                                                            \
    TV_PAIR_METRIC(sa8d_32x16_##sfx) { return sa8d_16x16_grid_##sfx(a, a_stride, b, b_stride, 32, 16); } \
    TV_PAIR_METRIC(sa8d_16x32_##sfx) { return sa8d_16x16_grid_##sfx(a, a_stride, b, b_stride, 16, 32); } \
    TV_PAIR_METRIC(sa8d_32x32_##sfx) { return sa8d_16x16_grid_##sfx(a, a_stride, b, b_stride, 32, 32); } \
    TV_PAIR_METRIC(sa8d_64x32_##sfx) { return sa8d_16x16_grid_##sfx(a, a_stride, b, b_stride, 64, 32); } \
    TV_PAIR_METRIC(sa8d_32x64_##sfx) { return sa8d_16x16_grid_##sfx(a, a_stride, b, b_stride, 32, 64); } \
    TV_PAIR_METRIC(sa8d_64x64_##sfx) { return sa8d_16x16_grid_##sfx(a, a_stride, b, b_stride, 64, 64); }
