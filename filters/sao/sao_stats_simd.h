// The vector edge-offset statistics, written once for every register width
// and included only by sao_stats_ssse3.cpp and sao_stats_avx2.cpp, each
// compiled for its own instruction set (everything here has internal linkage,
// so the two forms never merge).
//
// Every step takes one register of samples of one row with their two class
// neighbours, each loaded afresh from the row and column the class names (a
// pointer offset per neighbour), so one loop serves all four classes, whole
// CTBs and 16-column strips alike, and no sign row is carried. The edge index
// is formed on biased bytes (signed compares then order the unsigned samples)
// and widened to 16-bit lanes beside the differences. Counts stay in 16-bit
// lanes (at most 8 per lane per row of 64 samples, 512 per CTB). Every masked difference is
// widened into 32-bit sums at once (pmaddwd against ones): a 64x64 luma CTB of
// maximal differences in one category sums to 1,044,480, far past 16-bit
// lanes, and nothing here saturates or wraps. Category 2 is what remains of
// the totals once categories 0, 1, 3 and 4 are taken. The record equals the
// portable one exactly, category 2 included, for every input.
//
// Reads: the counted columns and rows and the one-sample ring the class needs,
// nothing more (widths are multiples of 16). Loads are unaligned.
//
// The including file defines before the include:
//   eo_vec, EO_VEC_BYTES  its register type and its size
//   EO_VEC(op)            its intrinsic of an operation (_mm_##op, _mm256_##op)
//   EO_VEC_SI(op)         its whole-register intrinsic (_mm_##op##_si128, ...)
//   eo_widen_low/high     the low and high half of a register of bytes as
//                         16-bit lanes
//   eo_hsum32             the sum of a register's 32-bit lanes
// and, when its register holds more than 16 samples, after the include
// eo_half_step: the 16 samples that end a row whose width is not a multiple
// of the register.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "filters/sao/sao.h"

namespace {

enum { EO_STEP = EO_VEC_BYTES, EO_HALF = EO_STEP / 2 };

struct eo_acc {
    eo_vec count[4];   // categories 0, 1, 3, 4, 16-bit lanes
    eo_vec sum[4];     // 32-bit lanes
    eo_vec sum_all;    // every difference, 32-bit lanes
};

inline eo_vec sign_bytes(eo_vec p, eo_vec n)
{
    return EO_VEC(sub_epi8)(EO_VEC(cmpgt_epi8)(n, p), EO_VEC(cmpgt_epi8)(p, n));
}

// Half a register of samples: their edge indices minus 2 as 16-bit lanes, and
// their differences.
inline void eo_add(eo_acc *acc, eo_vec e16, eo_vec d)
{
    static const int16_t keys[4] = {-2, -1, 1, 2};
    const eo_vec ones = EO_VEC(set1_epi16)(1);
    for (int k = 0; k < 4; k++) {
        eo_vec m = EO_VEC(cmpeq_epi16)(e16, EO_VEC(set1_epi16)(keys[k]));
        acc->count[k] = EO_VEC(sub_epi16)(acc->count[k], m);
        acc->sum[k] = EO_VEC(add_epi32)(acc->sum[k], EO_VEC(madd_epi16)(EO_VEC_SI(and)(m, d), ones));
    }
    acc->sum_all = EO_VEC(add_epi32)(acc->sum_all, EO_VEC(madd_epi16)(d, ones));
}

inline eo_vec load_bytes(const uint8_t *p)
{
    return EO_VEC_SI(loadu)((const eo_vec *)p);
}

inline eo_vec load_diffs(const int16_t *d)
{
    return EO_VEC_SI(loadu)((const eo_vec *)d);
}

inline void eo_step(eo_acc *acc, const uint8_t *p, ptrdiff_t off_a, ptrdiff_t off_b, const int16_t *d)
{
    const eo_vec bias = EO_VEC(set1_epi8)((char)0x80);
    eo_vec v = EO_VEC_SI(xor)(load_bytes(p), bias);
    eo_vec a = EO_VEC_SI(xor)(load_bytes(p + off_a), bias);
    eo_vec b = EO_VEC_SI(xor)(load_bytes(p + off_b), bias);
    eo_vec e = EO_VEC(add_epi8)(sign_bytes(v, a), sign_bytes(v, b));
    eo_add(acc, eo_widen_low(e), load_diffs(d));
    eo_add(acc, eo_widen_high(e), load_diffs(d + EO_HALF));
}

#if EO_VEC_BYTES > 16
inline void eo_half_step(eo_acc *acc, const uint8_t *p, ptrdiff_t off_a, ptrdiff_t off_b, const int16_t *d);
#endif

// Gathers a w x h area (w a multiple of 16) whose neighbours lie at row
// offsets ar, br and column offsets ac, bc.
inline void eo_area(sao_stats *s, const uint8_t *deb, ptrdiff_t stride, const int16_t *diff, int diff_stride, int w,
                    int h, int ar, int ac, int br, int bc)
{
    eo_acc acc;
    for (int k = 0; k < 4; k++) acc.count[k] = acc.sum[k] = EO_VEC_SI(setzero)();
    acc.sum_all = EO_VEC_SI(setzero)();
    ptrdiff_t off_a = ar * stride + ac, off_b = br * stride + bc;
    int whole = w - w % EO_STEP;
    for (int r = 0; r < h; r++) {
        const uint8_t *p = deb + stride * r;
        const int16_t *d = diff + (ptrdiff_t)diff_stride * r;
        for (int c = 0; c < whole; c += EO_STEP) eo_step(&acc, p + c, off_a, off_b, d + c);
#if EO_VEC_BYTES > 16
        if (whole < w) eo_half_step(&acc, p + whole, off_a, off_b, d + whole);
#endif
    }
    const eo_vec ones = EO_VEC(set1_epi16)(1);
    // Category 2 is what remains of the totals.
    int32_t count_all = w * h, sum_all = eo_hsum32(acc.sum_all);
    static const int cat[4] = {0, 1, 3, 4};
    for (int k = 0; k < 4; k++) {
        int32_t count = eo_hsum32(EO_VEC(madd_epi16)(acc.count[k], ones)), sum = eo_hsum32(acc.sum[k]);
        s->count[cat[k]] = (uint16_t)count;
        s->sum[cat[k]] = sum;
        count_all -= count;
        sum_all -= sum;
    }
    s->count[2] = (uint16_t)count_all;
    s->sum[2] = sum_all;
}

// Row and column offsets of the two neighbours of each class.
const int eo_class_offsets[4][4] = {{0, -1, 0, 1}, {-1, 0, 1, 0}, {-1, -1, 1, 1}, {-1, 1, 1, -1}};

// Statistics of class cls over a CTB cut to width x height samples.
inline void eo_partial(int cls, sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                       const int16_t *diff, int32_t width, int32_t height)
{
    std::memset(stats, 0, sizeof *stats);
    int w = sao_partial_columns(width, is_luma), h = sao_partial_rows(height, is_luma);
    if (w == 0 || h == 0) return;
    const int *o = eo_class_offsets[cls];
    eo_area(stats, deblocked, stride, diff, is_luma ? 64 : 32, w, h, o[0], o[1], o[2], o[3]);
}

// Statistics of class cls over a whole CTB.
inline void eo_whole(int cls, sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                     const int16_t *diff)
{
    int n = is_luma ? 64 : 32;
    eo_partial(cls, stats, deblocked, stride, is_luma, diff, n, n);
}

} // namespace

// The whole-CTB and cut-CTB entry points of one class and instruction set
// (the scratch is not needed), and the eight of one instruction set.
#define SAO_EO_STATS_KERNELS(cls, type, isa)                                                                   \
    void sao_stats_eo_##cls##_##isa(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma, \
                                    const int16_t *diff, uint8_t *)                                          \
    {                                                                                                        \
        eo_whole(type, stats, deblocked, stride, is_luma, diff);                                             \
    }                                                                                                        \
    void sao_stats_eo_##cls##_partial_##isa(sao_stats *stats, const uint8_t *deblocked, int32_t stride,       \
                                            int32_t is_luma, const int16_t *diff, int32_t width,             \
                                            int32_t height, uint8_t *)                                       \
    {                                                                                                        \
        eo_partial(type, stats, deblocked, stride, is_luma, diff, width, height);                            \
    }

#define SAO_EO_STATS_SET(isa)                             \
    SAO_EO_STATS_KERNELS(hor, SAO_TYPE_EO_HOR, isa)       \
    SAO_EO_STATS_KERNELS(ver, SAO_TYPE_EO_VER, isa)       \
    SAO_EO_STATS_KERNELS(diag135, SAO_TYPE_EO_135, isa)   \
    SAO_EO_STATS_KERNELS(diag45, SAO_TYPE_EO_45, isa)
