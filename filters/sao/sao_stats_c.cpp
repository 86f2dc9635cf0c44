// Portable SAO statistics: per edge category or per band, the number of
// samples of a CTB and the sum of their differences source minus deblocked.
//
// The edge kernels read the counted area and the one-sample ring around it,
// whatever the ring holds: the SAO decision fills the ring outside the picture
// (and towards CTBs not yet coded) with copies of the adjacent samples, so
// that a sign towards it is 0. Each neighbour sign is computed once and taken
// negated by the other sample of the pair, carried along the row (horizontal)
// or in sign rows in the scratch buffer (the other classes).
//
// A cut CTB counts its width rounded down to a multiple of 16 columns; the
// first column left out still serves as a neighbour.
#include <cstddef>
#include <cstring>

#include "filters/sao/sao.h"

namespace {

enum {
    SIGN_ROW_A = 0,      // vertical; 135-degree current row
    SIGN_ROW_B = 80,     // 135-degree next row
    SIGN_ROW_45 = 16,    // 45-degree, column x at byte 16 + x (x from -1)
};

inline int sign_of(int v) { return (v > 0) - (v < 0); }

struct stats_area {
    const uint8_t *deb;
    ptrdiff_t stride;
    const int16_t *diff;
    int diff_stride;
    int w, h;
};

stats_area area_of(const uint8_t *deblocked, int32_t stride, int32_t is_luma, const int16_t *diff,
                   int32_t width, int32_t height)
{
    stats_area a;
    a.deb = deblocked;
    a.stride = stride;
    a.diff = diff;
    a.diff_stride = is_luma ? 64 : 32;
    a.w = sao_partial_columns(width, is_luma);
    a.h = sao_partial_rows(height, is_luma);
    if (a.w == 0) a.h = 0;
    return a;
}

inline const uint8_t *row_of(const stats_area &a, int y) { return a.deb + a.stride * y; }

inline void add_sample(sao_stats *s, int k, int16_t d)
{
    s->count[k]++;
    s->sum[k] += d;
}

void eo_hor(sao_stats *s, const stats_area &a)
{
    for (int y = 0; y < a.h; y++) {
        const uint8_t *p = row_of(a, y);
        const int16_t *d = a.diff + y * a.diff_stride;
        int left = sign_of(p[0] - p[-1]);
        for (int x = 0; x < a.w; x++) {
            int right = sign_of(p[x] - p[x + 1]);
            add_sample(s, 2 + left + right, d[x]);
            left = -right;
        }
    }
}

void eo_ver(sao_stats *s, const stats_area &a, int8_t *up)
{
    if (a.h == 0) return;
    const uint8_t *above = row_of(a, -1), *first = row_of(a, 0);
    for (int x = 0; x < a.w; x++) up[x] = (int8_t)sign_of(first[x] - above[x]);
    for (int y = 0; y < a.h; y++) {
        const uint8_t *p = row_of(a, y), *below = row_of(a, y + 1);
        const int16_t *d = a.diff + y * a.diff_stride;
        for (int x = 0; x < a.w; x++) {
            int down = sign_of(p[x] - below[x]);
            add_sample(s, 2 + up[x] + down, d[x]);
            up[x] = (int8_t)-down;
        }
    }
}

void eo_135(sao_stats *s, const stats_area &a, int8_t *cur, int8_t *next)
{
    if (a.h == 0) return;
    const uint8_t *above = row_of(a, -1), *first = row_of(a, 0);
    for (int x = 0; x < a.w; x++) cur[x] = (int8_t)sign_of(first[x] - above[x - 1]);
    for (int y = 0; y < a.h; y++) {
        const uint8_t *p = row_of(a, y), *below = row_of(a, y + 1);
        const int16_t *d = a.diff + y * a.diff_stride;
        next[0] = (int8_t)sign_of(below[0] - p[-1]);
        for (int x = 0; x < a.w; x++) {
            int down = sign_of(p[x] - below[x + 1]);
            add_sample(s, 2 + cur[x] + down, d[x]);
            next[x + 1] = (int8_t)-down;
        }
        int8_t *t = cur;
        cur = next;
        next = t;
    }
}

void eo_45(sao_stats *s, const stats_area &a, int8_t *up)
{
    if (a.h == 0) return;
    const uint8_t *above = row_of(a, -1), *first = row_of(a, 0);
    for (int x = 0; x < a.w; x++) up[x] = (int8_t)sign_of(first[x] - above[x + 1]);
    for (int y = 0; y < a.h; y++) {
        const uint8_t *p = row_of(a, y), *below = row_of(a, y + 1);
        const int16_t *d = a.diff + y * a.diff_stride;
        for (int x = 0; x < a.w; x++) {
            int down = sign_of(p[x] - below[x - 1]);
            up[x - 1] = (int8_t)-down;
            add_sample(s, 2 + up[x] + down, d[x]);
        }
        up[a.w - 1] = (int8_t)sign_of(below[a.w - 1] - p[a.w]);
    }
}

void bo(sao_stats *s, const stats_area &a)
{
    for (int y = 0; y < a.h; y++) {
        const uint8_t *p = row_of(a, y);
        const int16_t *d = a.diff + y * a.diff_stride;
        for (int x = 0; x < a.w; x++) add_sample(s, p[x] >> 3, d[x]);
    }
}

inline int ctb_size(int32_t is_luma) { return is_luma ? 64 : 32; }

} // namespace

void sao_stats_eo_hor_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch)
{
    (void)scratch;
    std::memset(stats, 0, sizeof *stats);
    eo_hor(stats, area_of(deblocked, stride, is_luma, diff, width, height));
}

void sao_stats_eo_ver_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch)
{
    std::memset(stats, 0, sizeof *stats);
    eo_ver(stats, area_of(deblocked, stride, is_luma, diff, width, height), (int8_t *)scratch + SIGN_ROW_A);
}

void sao_stats_eo_diag135_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                    int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                    uint8_t *scratch)
{
    std::memset(stats, 0, sizeof *stats);
    eo_135(stats, area_of(deblocked, stride, is_luma, diff, width, height), (int8_t *)scratch + SIGN_ROW_A,
           (int8_t *)scratch + SIGN_ROW_B);
}

void sao_stats_eo_diag45_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                   int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                   uint8_t *scratch)
{
    std::memset(stats, 0, sizeof *stats);
    eo_45(stats, area_of(deblocked, stride, is_luma, diff, width, height), (int8_t *)scratch + SIGN_ROW_45);
}

void sao_stats_bo_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                            const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch)
{
    (void)scratch;
    std::memset(stats, 0, sizeof *stats);
    bo(stats, area_of(deblocked, stride, is_luma, diff, width, height));
}

void sao_stats_eo_hor_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                        const int16_t *diff, uint8_t *scratch)
{
    int n = ctb_size(is_luma);
    sao_stats_eo_hor_partial_c(stats, deblocked, stride, is_luma, diff, n, n, scratch);
}

void sao_stats_eo_ver_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                        const int16_t *diff, uint8_t *scratch)
{
    int n = ctb_size(is_luma);
    sao_stats_eo_ver_partial_c(stats, deblocked, stride, is_luma, diff, n, n, scratch);
}

void sao_stats_eo_diag135_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                            const int16_t *diff, uint8_t *scratch)
{
    int n = ctb_size(is_luma);
    sao_stats_eo_diag135_partial_c(stats, deblocked, stride, is_luma, diff, n, n, scratch);
}

void sao_stats_eo_diag45_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                           const int16_t *diff, uint8_t *scratch)
{
    int n = ctb_size(is_luma);
    sao_stats_eo_diag45_partial_c(stats, deblocked, stride, is_luma, diff, n, n, scratch);
}

void sao_stats_bo_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                    const int16_t *diff, uint8_t *scratch)
{
    int n = ctb_size(is_luma);
    sao_stats_bo_partial_c(stats, deblocked, stride, is_luma, diff, n, n, scratch);
}
