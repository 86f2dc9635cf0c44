// Portable forward and inverse transforms. Forward: residual, a horizontal pass
// with shift log2(N) - 1, a vertical pass with shift log2(N) + 6. Inverse: a
// vertical pass with shift 7 whose results are clipped to 16 bits (as clause
// 8.6.4.2 requires), a horizontal pass with shift 12, then the residual is added
// to the prediction and clipped to 0..255.
#include "encoder/int_math.h"
#include "kernels/transform/transform.h"

static inline int16_t clip16(int32_t v)
{
    return (int16_t)clamp_i32(v, INT16_MIN, INT16_MAX);
}

static inline int32_t round_shift(int32_t sum, int shift)
{
    return (sum + (1 << (shift - 1))) >> shift;
}

static void residual_block(int16_t *res, const uint8_t *src, const uint8_t *pred, int n)
{
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++)
            res[y * n + x] = (int16_t)(src[y * TRANSFORM_SRC_STRIDE + x] -
                                       pred[y * TRANSFORM_PRED_STRIDE + x]);
}

static void add_residual(uint8_t *pred_recon, const int16_t *res, int n)
{
    for (int y = 0; y < n; y++) {
        uint8_t *row = pred_recon + y * TRANSFORM_PRED_STRIDE;
        for (int x = 0; x < n; x++) {
            int v = row[x] + res[y * n + x];
            row[x] = clip_pixel(v);
        }
    }
}

// ---- 4-point helpers ----

void fdct4(int16_t *dst, const int16_t *src, int shift)
{
    for (int i = 0; i < 4; i++) {
        const int16_t *x = src + 4 * i;
        int32_t e0 = x[0] + x[3], e1 = x[1] + x[2];
        int32_t o0 = x[0] - x[3], o1 = x[1] - x[2];
        dst[0 + i] = (int16_t)round_shift(64 * e0 + 64 * e1, shift);
        dst[4 + i] = (int16_t)round_shift(83 * o0 + 36 * o1, shift);
        dst[8 + i] = (int16_t)round_shift(64 * e0 - 64 * e1, shift);
        dst[12 + i] = (int16_t)round_shift(36 * o0 - 83 * o1, shift);
    }
}

void fdst4(int16_t *dst, const int16_t *src, int shift)
{
    for (int i = 0; i < 4; i++) {
        const int16_t *x = src + 4 * i;
        dst[0 + i] = (int16_t)round_shift(29 * x[0] + 55 * x[1] + 74 * x[2] + 84 * x[3], shift);
        dst[4 + i] = (int16_t)round_shift(74 * (x[0] + x[1] - x[3]), shift);
        dst[8 + i] = (int16_t)round_shift(84 * x[0] - 29 * x[1] - 74 * x[2] + 55 * x[3], shift);
        dst[12 + i] = (int16_t)round_shift(55 * x[0] - 84 * x[1] + 74 * x[2] - 29 * x[3], shift);
    }
}

void idct4(int16_t *dst, const int16_t *src, int shift)
{
    for (int i = 0; i < 4; i++) {
        int32_t c0 = src[i], c1 = src[4 + i], c2 = src[8 + i], c3 = src[12 + i];
        int32_t o0 = 83 * c1 + 36 * c3, o1 = 36 * c1 - 83 * c3;
        int32_t e0 = 64 * c0 + 64 * c2, e1 = 64 * c0 - 64 * c2;
        dst[i * 4 + 0] = clip16(round_shift(e0 + o0, shift));
        dst[i * 4 + 1] = clip16(round_shift(e1 + o1, shift));
        dst[i * 4 + 2] = clip16(round_shift(e1 - o1, shift));
        dst[i * 4 + 3] = clip16(round_shift(e0 - o0, shift));
    }
}

void idst4(int16_t *dst, const int16_t *src, int shift)
{
    for (int i = 0; i < 4; i++) {
        int32_t c0 = src[i], c1 = src[4 + i], c2 = src[8 + i], c3 = src[12 + i];
        dst[i * 4 + 0] = clip16(round_shift(29 * c0 + 74 * c1 + 84 * c2 + 55 * c3, shift));
        dst[i * 4 + 1] = clip16(round_shift(55 * c0 + 74 * c1 - 29 * c2 - 84 * c3, shift));
        dst[i * 4 + 2] = clip16(round_shift(74 * c0 - 74 * c2 + 74 * c3, shift));
        dst[i * 4 + 3] = clip16(round_shift(84 * c0 - 74 * c1 + 55 * c2 - 29 * c3, shift));
    }
}

// ---- 8/16/32-point stages with even/odd folding ----

// Forward: row i of src (N samples) -> outputs k < out_count at dst[k*N + i].
// Even outputs use the even matrix rows against x[k] + x[N-1-k], odd outputs
// the odd rows against x[k] - x[N-1-k], halving the multiplications.
static void forward_stage(int16_t *dst, const int16_t *src, const int16_t *mat, int n,
                          int shift, int out_count, int lines)
{
    int half = n / 2;
    int32_t even[16], odd[16];
    for (int i = 0; i < lines; i++) {
        const int16_t *x = src + i * n;
        for (int k = 0; k < half; k++) {
            even[k] = x[k] + x[n - 1 - k];
            odd[k] = x[k] - x[n - 1 - k];
        }
        for (int k = 0; k < out_count; k++) {
            const int16_t *row = mat + k * n;
            const int32_t *part = (k & 1) ? odd : even;
            int32_t sum = 0;
            for (int j = 0; j < half; j++) sum += row[j] * part[j];
            dst[k * n + i] = (int16_t)round_shift(sum, shift);
        }
    }
}

// Inverse: column i of src (coefficient rows j < in_count, the rest taken as
// zero) -> N outputs at dst[i*N + k], clipped to 16 bits. Output k is E + O and
// output N-1-k is E - O, with E over the even and O over the odd rows.
static void inverse_stage(int16_t *dst, const int16_t *src, const int16_t *mat, int n,
                          int shift, int in_count, int lines)
{
    int half = n / 2;
    for (int i = 0; i < lines; i++) {
        int32_t even[16] = {0}, odd[16] = {0};
        for (int j = 0; j < in_count; j++) {
            int32_t c = src[j * n + i];
            if (c == 0) continue;
            const int16_t *row = mat + j * n;
            int32_t *part = (j & 1) ? odd : even;
            for (int k = 0; k < half; k++) part[k] += row[k] * c;
        }
        for (int k = 0; k < half; k++) {
            dst[i * n + k] = clip16(round_shift(even[k] + odd[k], shift));
            dst[i * n + n - 1 - k] = clip16(round_shift(even[k] - odd[k], shift));
        }
    }
}

void fdct8(int16_t *dst, const int16_t *src, int shift, int out_count, int lines)
{
    forward_stage(dst, src, &dct_matrix_8[0][0], 8, shift, out_count, lines);
}

void fdct16(int16_t *dst, const int16_t *src, int shift, int out_count, int lines)
{
    forward_stage(dst, src, &dct_matrix_16[0][0], 16, shift, out_count, lines);
}

void fdct32(int16_t *dst, const int16_t *src, int shift, int out_count, int lines)
{
    forward_stage(dst, src, &dct_matrix_32[0][0], 32, shift, out_count, lines);
}

// ---- kernels ----

void ftrans_residual_4x4_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int mode)
{
    int16_t res[16], tmp[16];
    residual_block(res, src, pred, 4);
    if (dst4_select_h[mode]) fdst4(tmp, res, 1);
    else fdct4(tmp, res, 1);
    if (dst4_select_v[mode]) fdst4(coeff, tmp, 8);
    else fdct4(coeff, tmp, 8);
}

void itrans_add_4x4_c(uint8_t *pred_recon, const int16_t *coeff, int mode)
{
    int16_t tmp[16], res[16];
    if (dst4_select_v[mode]) idst4(tmp, coeff, 7);
    else idct4(tmp, coeff, 7);
    if (dst4_select_h[mode]) idst4(res, tmp, 12);
    else idct4(res, tmp, 12);
    add_residual(pred_recon, res, 4);
}

// Forward NxN keeping the top-left keep x keep coefficients (keep = n: all),
// both passes through the one-dimensional transform of the size. Only
// coeff[v*n + h] with v, h < keep is written.
typedef void (*forward_1d_fn)(int16_t *dst, const int16_t *src, int shift, int out_count, int lines);
static void forward_block(int16_t *coeff, const uint8_t *src, const uint8_t *pred, forward_1d_fn fdct, int n,
                          int log2n, int keep)
{
    int16_t res[32 * 32], tmp[32 * 32];
    residual_block(res, src, pred, n);
    fdct(tmp, res, log2n - 1, keep, n);
    fdct(coeff, tmp, log2n + 6, keep, keep);
}

// Inverse NxN reading only the top-left keep x keep coefficients; equals the
// full inverse of a block that is zero outside that corner.
static void inverse_block(uint8_t *pred_recon, const int16_t *coeff, const int16_t *mat,
                          int n, int keep)
{
    int16_t tmp[32 * 32], res[32 * 32];
    inverse_stage(tmp, coeff, mat, n, 7, keep, keep);
    inverse_stage(res, tmp, mat, n, 12, keep, n);
    add_residual(pred_recon, res, n);
}

void fdct_residual_8x8_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_block(coeff, src, pred, fdct8, 8, 3, 8);
}

void fdct_residual_low4_8x8_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_block(coeff, src, pred, fdct8, 8, 3, 4);
}

void idct_add_8x8_c(uint8_t *pred_recon, const int16_t *coeff)
{
    inverse_block(pred_recon, coeff, &dct_matrix_8[0][0], 8, 8);
}

void idct_add_low4_8x8_c(uint8_t *pred_recon, const int16_t *coeff, int)
{
    inverse_block(pred_recon, coeff, &dct_matrix_8[0][0], 8, 4);
}

void fdct_residual_16x16_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_block(coeff, src, pred, fdct16, 16, 4, 16);
}

void fdct_residual_low8_16x16_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_block(coeff, src, pred, fdct16, 16, 4, 8);
}

void idct_add_16x16_c(uint8_t *pred_recon, const int16_t *coeff)
{
    inverse_block(pred_recon, coeff, &dct_matrix_16[0][0], 16, 16);
}

void idct_add_low8_16x16_c(uint8_t *pred_recon, const int16_t *coeff, int)
{
    inverse_block(pred_recon, coeff, &dct_matrix_16[0][0], 16, 8);
}

void fdct_residual_32x32_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_block(coeff, src, pred, fdct32, 32, 5, 32);
}

void fdct_residual_low8_32x32_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_block(coeff, src, pred, fdct32, 32, 5, 8);
}

void idct_add_32x32_c(uint8_t *pred_recon, const int16_t *coeff)
{
    inverse_block(pred_recon, coeff, &dct_matrix_32[0][0], 32, 32);
}

void idct_add_low8_32x32_c(uint8_t *pred_recon, const int16_t *coeff, int)
{
    inverse_block(pred_recon, coeff, &dct_matrix_32[0][0], 32, 8);
}

// A rough rate proxy: one unit per 4x4 group, plus 16 and the sum of absolute
// values for every group holding a non-zero coefficient.
uint32_t coeff_cost_estimate_c(const int16_t *coeff, int log2_size)
{
    int n = 1 << log2_size;
    uint32_t cost = (uint32_t)(n * n / 16);
    for (int gy = 0; gy < n; gy += 4) {
        for (int gx = 0; gx < n; gx += 4) {
            uint32_t sum = 0;
            for (int y = 0; y < 4; y++)
                for (int x = 0; x < 4; x++) {
                    int32_t c = coeff[(gy + y) * n + gx + x];
                    sum += (uint32_t)(c < 0 ? -c : c);
                }
            if (sum) cost += 16 + sum;
        }
    }
    return cost;
}
