// Portable planar and DC predictors (H.265 clauses 8.4.4.2.5 and 8.4.4.2.6 at 8 bits).
#include <cstring>

#include "kernels/intra/intra_pred_kernels.h"

// (sum of the N above and N left samples + N) >> log2(2N): rounded half up.
static int dc_value(const uint8_t *ref, int n, int shift)
{
    const uint8_t *above = ref + 1;
    const uint8_t *left = ref + 2 * n + 1;
    int sum = n;
    for (int i = 0; i < n; i++) sum += above[i] + left[i];
    return sum >> shift;
}

static void dc_fill(uint8_t *dst, int dst_stride, int n, int dc)
{
    for (int y = 0; y < n; y++) memset(dst + y * dst_stride, dc, (size_t)n);
}

static void dc_predict(uint8_t *dst, int dst_stride, const uint8_t *ref, int n, int shift)
{
    dc_fill(dst, dst_stride, n, dc_value(ref, n, shift));
}

// The DC boundary filter pulls the first row and column toward their neighbours;
// H.265 applies it to luma blocks below 32x32, which the table's f = 1 entries serve.
static void dc_filt_predict(uint8_t *dst, int dst_stride, const uint8_t *ref, int n, int shift)
{
    const uint8_t *above = ref + 1;
    const uint8_t *left = ref + 2 * n + 1;
    int dc = dc_value(ref, n, shift);
    dc_fill(dst, dst_stride, n, dc);
    dst[0] = (uint8_t)((left[0] + 2 * dc + above[0] + 2) >> 2);
    for (int x = 1; x < n; x++) dst[x] = (uint8_t)((above[x] + 3 * dc + 2) >> 2);
    for (int y = 1; y < n; y++) dst[y * dst_stride] = (uint8_t)((left[y] + 3 * dc + 2) >> 2);
}

// Planar: the mean of a horizontal interpolation toward the top-right sample and
// a vertical one toward the bottom-left sample. The (x+1)*tr and (y+1)*bl terms
// are kept as running sums.
static void planar_predict(uint8_t *dst, int dst_stride, const uint8_t *ref, int n, int shift)
{
    const uint8_t *above = ref + 1;
    const uint8_t *left = ref + 2 * n + 1;
    int tr = ref[n + 1];
    int bl = ref[3 * n + 1];
    int bl_term = 0;
    for (int y = 0; y < n; y++) {
        bl_term += bl;
        int above_weight = n - 1 - y;
        int tr_term = 0;
        int left_weight = n - 1;
        uint8_t *row = dst + y * dst_stride;
        for (int x = 0; x < n; x++) {
            tr_term += tr;
            int v = left_weight * left[y] + tr_term + above_weight * above[x] + bl_term + n;
            row[x] = (uint8_t)(v >> shift);
            left_weight--;
        }
    }
}

#define INTRA_DEFINE_SIZE(name, fn, n, shift) \
    void name(INTRA_KERNEL_ARGS) { fn(dst, dst_stride, ref, n, shift); }

INTRA_DEFINE_SIZE(intra_pred_planar_4x4_c, planar_predict, 4, 3)
INTRA_DEFINE_SIZE(intra_pred_planar_8x8_c, planar_predict, 8, 4)
INTRA_DEFINE_SIZE(intra_pred_planar_16x16_c, planar_predict, 16, 5)
INTRA_DEFINE_SIZE(intra_pred_planar_32x32_c, planar_predict, 32, 6)

INTRA_DEFINE_SIZE(intra_pred_dc_4x4_c, dc_predict, 4, 3)
INTRA_DEFINE_SIZE(intra_pred_dc_8x8_c, dc_predict, 8, 4)
INTRA_DEFINE_SIZE(intra_pred_dc_16x16_c, dc_predict, 16, 5)
INTRA_DEFINE_SIZE(intra_pred_dc_32x32_c, dc_predict, 32, 6)

INTRA_DEFINE_SIZE(intra_pred_dc_filt_4x4_c, dc_filt_predict, 4, 3)
INTRA_DEFINE_SIZE(intra_pred_dc_filt_8x8_c, dc_filt_predict, 8, 4)
INTRA_DEFINE_SIZE(intra_pred_dc_filt_16x16_c, dc_filt_predict, 16, 5)
