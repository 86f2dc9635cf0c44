// Portable distortion metrics: SAD (full and on every second row, against one
// to four candidates), SSE, SATD and SA8D. These define the values; every SIMD
// form must return exactly the same.
#include <cstdlib>

#include "kernels/metrics/metric.h"
#include "kernels/metrics/metric_compose.h"

// ---- SAD ----

// Sum of |a - b| over w x h samples, stepping each row pointer by row_step rows.
static uint32_t sad_rows(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride,
                         int w, int h, int row_step)
{
    uint32_t sum = 0;
    for (int y = 0; y < h; y += row_step) {
        const uint8_t *pa = block_at(a, a_stride, 0, y);
        const uint8_t *pb = block_at(b, b_stride, 0, y);
        for (int x = 0; x < w; x++) sum += (uint32_t)std::abs(pa[x] - pb[x]);
    }
    return sum;
}

#define TV_SAD_C(w, h) \
    TV_PAIR_METRIC(sad_##w##x##h##_c) { return sad_rows(a, a_stride, b, b_stride, w, h, 1); }
TV_SAD_C(64, 64) TV_SAD_C(32, 32) TV_SAD_C(16, 16) TV_SAD_C(8, 8) TV_SAD_C(4, 4)

// Rows 0, 2, 4, ... only, doubled: an estimate of the full SAD at half the work.
#define TV_SAD_SUB_C(w, h) \
    TV_PAIR_METRIC(sad_sub_##w##x##h##_c) { return 2 * sad_rows(a, a_stride, b, b_stride, w, h, 2); }
TV_SAD_SUB_C(64, 64) TV_SAD_SUB_C(32, 32) TV_SAD_SUB_C(16, 16) TV_SAD_SUB_C(8, 8) TV_SAD_SUB_C(4, 4)
TV_SAD_SUB_C(64, 32) TV_SAD_SUB_C(32, 16) TV_SAD_SUB_C(16, 8) TV_SAD_SUB_C(8, 4)
TV_SAD_SUB_C(32, 64) TV_SAD_SUB_C(16, 32) TV_SAD_SUB_C(8, 16) TV_SAD_SUB_C(4, 8)

// Multi-candidate forms: the source is a block of the source CTU copy (stride 64).
enum { SRC_STRIDE = 64 };

#define TV_SAD_X4_C(w, h)                                                  \
    TV_SAD_X4(sad_x4_sub_##w##x##h##_c)                                    \
    {                                                                      \
        out[0] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c0, cand_stride);  \
        out[1] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c1, cand_stride);  \
        out[2] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c2, cand_stride);  \
        out[3] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c3, cand_stride);  \
    }
TV_SAD_X4_C(64, 64) TV_SAD_X4_C(32, 32) TV_SAD_X4_C(16, 16) TV_SAD_X4_C(8, 8)
TV_SAD_X4_C(64, 32) TV_SAD_X4_C(32, 16) TV_SAD_X4_C(16, 8) TV_SAD_X4_C(8, 4)
TV_SAD_X4_C(32, 64) TV_SAD_X4_C(16, 32) TV_SAD_X4_C(8, 16) TV_SAD_X4_C(4, 8)

#define TV_SAD_X3_C(w, h)                                                  \
    TV_SAD_X3(sad_x3_sub_##w##x##h##_c)                                    \
    {                                                                      \
        out[0] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c0, cand_stride);  \
        out[1] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c1, cand_stride);  \
        out[2] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c2, cand_stride);  \
    }
TV_SAD_X3_C(64, 64) TV_SAD_X3_C(32, 32) TV_SAD_X3_C(16, 16) TV_SAD_X3_C(8, 8) TV_SAD_X3_C(4, 4)

#define TV_SAD_X2_C(w, h)                                                  \
    TV_SAD_X2(sad_x2_sub_##w##x##h##_c)                                    \
    {                                                                      \
        out[0] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c0, cand_stride);  \
        out[1] = sad_sub_##w##x##h##_c(src, SRC_STRIDE, c1, cand_stride);  \
    }
TV_SAD_X2_C(64, 64) TV_SAD_X2_C(32, 32) TV_SAD_X2_C(16, 16) TV_SAD_X2_C(8, 8) TV_SAD_X2_C(4, 4)

// ---- SSE ----

static uint64_t sse_rows(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int w, int h)
{
    uint64_t sum = 0;
    for (int y = 0; y < h; y++) {
        const uint8_t *pa = block_at(a, a_stride, 0, y);
        const uint8_t *pb = block_at(b, b_stride, 0, y);
        for (int x = 0; x < w; x++) {
            int d = pa[x] - pb[x];
            sum += (uint32_t)(d * d);
        }
    }
    return sum;
}

// 64x64 is at most 266,342,400: the fixed sizes fit 32 bits.
#define TV_SSE_C(n) \
    TV_PAIR_METRIC(sse_##n##x##n##_c) { return (uint32_t)sse_rows(a, a_stride, b, b_stride, n, n); }
TV_SSE_C(64) TV_SSE_C(32) TV_SSE_C(16) TV_SSE_C(8) TV_SSE_C(4)

uint64_t sse_wxh_c(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int width, int height)
{
    if (width < 1 || height < 1) return 0;
    return sse_rows(a, a_stride, b, b_stride, width, height);
}

// ---- SATD: half the sum of 4x4 Hadamard magnitudes ----

// S4: sum of the 16 absolute coefficients of the 4x4 Hadamard transform of a - b.
static uint32_t hadamard4_abs_sum(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride)
{
    int t[4][4];
    for (int y = 0; y < 4; y++) {
        const uint8_t *pa = block_at(a, a_stride, 0, y);
        const uint8_t *pb = block_at(b, b_stride, 0, y);
        int d0 = pa[0] - pb[0], d1 = pa[1] - pb[1], d2 = pa[2] - pb[2], d3 = pa[3] - pb[3];
        int s01 = d0 + d1, m01 = d0 - d1, s23 = d2 + d3, m23 = d2 - d3;
        t[y][0] = s01 + s23;
        t[y][1] = m01 + m23;
        t[y][2] = s01 - s23;
        t[y][3] = m01 - m23;
    }
    uint32_t sum = 0;
    for (int x = 0; x < 4; x++) {
        int s01 = t[0][x] + t[1][x], m01 = t[0][x] - t[1][x];
        int s23 = t[2][x] + t[3][x], m23 = t[2][x] - t[3][x];
        sum += (uint32_t)(std::abs(s01 + s23) + std::abs(m01 + m23) + std::abs(s01 - s23) +
                          std::abs(m01 - m23));
    }
    return sum;
}

TV_PAIR_METRIC(satd_4x4_c) { return hadamard4_abs_sum(a, a_stride, b, b_stride) >> 1; }

TV_PAIR_METRIC(satd_8x4_c)
{
    return (hadamard4_abs_sum(a, a_stride, b, b_stride) +
            hadamard4_abs_sum(a + 4, a_stride, b + 4, b_stride)) >> 1;
}

TV_PAIR_METRIC(satd_4x8_c)
{
    return (hadamard4_abs_sum(a, a_stride, b, b_stride) +
            hadamard4_abs_sum(block_at(a, a_stride, 0, 4), a_stride, block_at(b, b_stride, 0, 4), b_stride)) >> 1;
}

// Sum of satd_8x4 over the 8x4 blocks of a w x h block.
static uint32_t satd_grid_c(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int w, int h)
{
    uint32_t sum = 0;
    for (int y = 0; y < h; y += 4)
        for (int x = 0; x < w; x += 8)
            sum += satd_8x4_c(block_at(a, a_stride, x, y), a_stride, block_at(b, b_stride, x, y), b_stride);
    return sum;
}

TV_PAIR_METRIC(satd_8x8_c) { return satd_grid_c(a, a_stride, b, b_stride, 8, 8); }
TV_PAIR_METRIC(satd_16x16_c) { return satd_grid_c(a, a_stride, b, b_stride, 16, 16); }
TV_PAIR_METRIC(satd_32x32_c) { return satd_grid_c(a, a_stride, b, b_stride, 32, 32); }
TV_PAIR_METRIC(satd_64x64_c) { return satd_grid_c(a, a_stride, b, b_stride, 64, 64); }

// ---- SA8D: the 8x8 Hadamard measure ----

// One 8-point butterfly network: stages pair i with i+4, i+2, i+1.
static void hadamard8(int *v, int step)
{
    for (int half = 4; half >= 1; half >>= 1)
        for (int i = 0; i < 8; i++)
            if (!(i & half)) {
                int p = v[i * step], q = v[(i + half) * step];
                v[i * step] = p + q;
                v[(i + half) * step] = p - q;
            }
}

TV_PAIR_METRIC(sa8d_8x8_raw_c)
{
    int d[64];
    for (int y = 0; y < 8; y++) {
        const uint8_t *pa = block_at(a, a_stride, 0, y);
        const uint8_t *pb = block_at(b, b_stride, 0, y);
        for (int x = 0; x < 8; x++) d[y * 8 + x] = pa[x] - pb[x];
    }
    for (int x = 0; x < 8; x++) hadamard8(d + x, 8);   // columns
    for (int y = 0; y < 8; y++) hadamard8(d + y * 8, 1);   // rows
    uint32_t sum = 0;
    for (int i = 0; i < 64; i++) sum += (uint32_t)std::abs(d[i]);
    return sum;
}

TV_DEFINE_SA8D_FAMILY(c, sa8d_8x8_raw_c)

// Every second row: rows 0, 2, 4, ... form a W x W/2 block whose SA8D is doubled.
TV_PAIR_METRIC(sa8d_sub_16x16_c) { return 2 * sa8d_16x8_c(a, 2 * a_stride, b, 2 * b_stride); }
TV_PAIR_METRIC(sa8d_sub_32x32_c) { return 2 * sa8d_32x16_c(a, 2 * a_stride, b, 2 * b_stride); }
TV_PAIR_METRIC(sa8d_sub_64x64_c) { return 2 * sa8d_64x32_c(a, 2 * a_stride, b, 2 * b_stride); }
