// Parts of the vector edge-offset statistics that do not depend on the
// register width, included only by sao_stats_ssse3.cpp and sao_stats_avx2.cpp:
// the clipping of a (possibly cut) CTB to the samples a class can count, the
// neighbour offsets of each class, and the final record. Each file supplies
// its own gathering loop (eo_area_fn); these functions only call it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "filters/sao/sao.h"

namespace {

// Gathers a w x h area (w a multiple of 16) whose neighbours lie at row
// offsets ar, br and column offsets ac, bc.
typedef void (*eo_area_fn)(sao_stats *s, const uint8_t *deb, ptrdiff_t stride, const int16_t *diff,
                           int diff_stride, int w, int h, int ar, int ac, int br, int bc);

// Fills the record from the counts and sums of categories 0, 1, 3 and 4 and
// the totals of the area: category 2 is what remains.
inline void eo_store_totals(sao_stats *s, const int32_t count[4], const int32_t sum[4], int32_t count_all,
                            int32_t sum_all)
{
    static const int cat[4] = {0, 1, 3, 4};
    for (int k = 0; k < 4; k++) {
        s->count[cat[k]] = (uint16_t)count[k];
        s->sum[cat[k]] = sum[k];
        count_all -= count[k];
        sum_all -= sum[k];
    }
    s->count[2] = (uint16_t)count_all;
    s->sum[2] = sum_all;
}

// Row and column offsets of the two neighbours of each class.
const int eo_class_offsets[4][4] = {{0, -1, 0, 1}, {-1, 0, 1, 0}, {-1, -1, 1, 1}, {-1, 1, 1, -1}};

// Statistics of class cls over a CTB cut to width x height samples.
inline void eo_partial(eo_area_fn area, int cls, sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                       int32_t is_luma, const int16_t *diff, int32_t width, int32_t height)
{
    std::memset(stats, 0, sizeof *stats);
    int w = sao_partial_columns(width, is_luma), h = sao_partial_rows(height, is_luma);
    if (w == 0 || h == 0) return;
    const int *o = eo_class_offsets[cls];
    area(stats, deblocked, stride, diff, is_luma ? 64 : 32, w, h, o[0], o[1], o[2], o[3]);
}

// Statistics of class cls over a whole CTB.
inline void eo_whole(eo_area_fn area, int cls, sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                     int32_t is_luma, const int16_t *diff)
{
    int n = is_luma ? 64 : 32;
    eo_partial(area, cls, stats, deblocked, stride, is_luma, diff, n, n);
}

} // namespace
