// Portable angular predictor (H.265 clause 8.4.4.2.6 at 8 bits) and the fixed
// (mode, size, filter) wrappers that fill the table's angular entries.
#include "encoder/int_math.h"
#include "kernels/intra/intra_pred_kernels.h"

// Horizontal modes predict from the left column exactly as the mirrored vertical
// mode predicts from the row above, so they run on a copy with both sides
// swapped and transpose the result.
static void swap_sides(const uint8_t *ref, uint8_t *out, int n)
{
    out[0] = ref[0];
    for (int i = 0; i < 2 * n; i++) {
        out[1 + i] = ref[2 * n + 1 + i];
        out[2 * n + 1 + i] = ref[1 + i];
    }
}

static void transpose_in_place(uint8_t *dst, int dst_stride, int n)
{
    for (int r = 0; r < n - 1; r++) {
        for (int j = r + 1; j < n; j++) {
            uint8_t t = dst[r * dst_stride + j];
            dst[r * dst_stride + j] = dst[j * dst_stride + r];
            dst[j * dst_stride + r] = t;
        }
    }
}

// Angle 0: a copy of the main side; the boundary filter corrects the first
// column by half the gradient along the other side.
static void predict_straight(uint8_t *dst, int dst_stride, const uint8_t *r, int n, int edge_filter)
{
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) dst[y * dst_stride + x] = r[1 + x];
    if (!edge_filter) return;
    for (int y = 0; y < n; y++)
        dst[y * dst_stride] = clip_pixel(r[1] + ((r[2 * n + 1 + y] - r[0]) >> 1));
}

// Rows of a sloped mode from the main reference m (indexable from the first
// projected sample to 2N - 1).
static void predict_rows(uint8_t *dst, int dst_stride, const uint8_t *m, int n, int angle)
{
    int pos = 0;
    for (int y = 0; y < n; y++) {
        pos += angle;
        int k = pos >> 5;
        int f = pos & 31;
        const uint8_t *src = m + k;
        uint8_t *row = dst + y * dst_stride;
        if (f == 0) {
            for (int x = 0; x < n; x++) row[x] = src[x];
        } else {
            for (int x = 0; x < n; x++)
                row[x] = (uint8_t)(((32 - f) * src[x] + f * src[x + 1] + 16) >> 5);
        }
    }
}

void intra_pred_angular_c(uint8_t *dst, int dst_stride, const uint8_t *ref, int mode, int n,
                          int edge_filter)
{
    int horizontal = mode < 18;
    int d = horizontal ? 10 - mode : mode - 26;
    int angle = intra_pred_angle[d + 8];

    uint8_t swapped[4 * 32 + 1];
    const uint8_t *r = ref;
    if (horizontal) {
        swap_sides(ref, swapped, n);
        r = swapped;
    }

    if (angle == 0) {
        predict_straight(dst, dst_stride, r, n, edge_filter);
    } else if (angle > 0) {
        predict_rows(dst, dst_stride, r + 1, n, angle);
    } else {
        // Negative angles run past the corner: extend the main side to the left
        // with samples of the other side projected along the inverse angle. The
        // farthest sample of the standard's extension is never read, so it is
        // not built.
        uint8_t ext[2 * 32 + 1];
        uint8_t *m = ext + 32; // m[-32 .. 32]
        int inv = intra_inv_angle[-d - 1];
        int projected = -((n * angle) >> 5) - 1;
        m[-1] = r[0];
        for (int j = 0; j < n; j++) m[j] = r[1 + j];
        int acc = 128;
        for (int i = 1; i <= projected; i++) {
            acc += inv;
            m[-1 - i] = r[2 * n + (acc >> 8)];
        }
        predict_rows(dst, dst_stride, m, n, angle);
    }

    if (horizontal) transpose_in_place(dst, dst_stride, n);
}

#define INTRA_DEFINE_ANGULAR(m)                                                                          \
    void intra_pred_ang##m##_4x4_c(INTRA_KERNEL_ARGS) { intra_pred_angular_c(dst, dst_stride, ref, m, 4, 0); } \
    void intra_pred_ang##m##_8x8_c(INTRA_KERNEL_ARGS) { intra_pred_angular_c(dst, dst_stride, ref, m, 8, 0); } \
    void intra_pred_ang##m##_16x16_c(INTRA_KERNEL_ARGS)                                                  \
    {                                                                                                    \
        intra_pred_angular_c(dst, dst_stride, ref, m, 16, 0);                                            \
    }                                                                                                    \
    void intra_pred_ang##m##_32x32_c(INTRA_KERNEL_ARGS)                                                  \
    {                                                                                                    \
        intra_pred_angular_c(dst, dst_stride, ref, m, 32, 0);                                            \
    }
INTRA_ANGULAR_MODES(INTRA_DEFINE_ANGULAR)
#undef INTRA_DEFINE_ANGULAR

#define INTRA_DEFINE_FILTERED(m, n)                                                       \
    void intra_pred_ang##m##_filt_##n##x##n##_c(INTRA_KERNEL_ARGS)                        \
    {                                                                                     \
        intra_pred_angular_c(dst, dst_stride, ref, m, n, 1);                              \
    }
INTRA_DEFINE_FILTERED(10, 4)
INTRA_DEFINE_FILTERED(10, 8)
INTRA_DEFINE_FILTERED(10, 16)
INTRA_DEFINE_FILTERED(26, 4)
INTRA_DEFINE_FILTERED(26, 8)
INTRA_DEFINE_FILTERED(26, 16)
