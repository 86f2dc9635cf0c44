// Transform kernels of the AVX2-flag set: the two-dimensional transforms with a
// row stride, and the slot kernels that form the residual around them or add
// their output to the prediction. Stages of 16 lines and more run on 256-bit
// registers; the 4- and 8-line stages of the small blocks and of the kept 8x8
// corners use the 128-bit forms (see transform_simd_impl.h).
#include "kernels/transform/transform_simd.h"
#include "kernels/transform/transform_simd_impl.h"

const int32_t transform_4x4_dst_flags[36] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0,
};

// ---- two-dimensional transforms ----

void fdst2d_4x4_avx2(const int16_t *in, int16_t *out, int stride)
{
    forward_4x4_regs(out, load_rows_4x16(in, stride), load_rows_4x16(in + 2 * stride, stride), pairs_dst4,
                     pairs_dst4);
}

void fdct2d_4x4_avx2(const int16_t *in, int16_t *out, int stride)
{
    forward_4x4_regs(out, load_rows_4x16(in, stride), load_rows_4x16(in + 2 * stride, stride), pairs_dct4,
                     pairs_dct4);
}

void fdct2d_8x8_avx2(const int16_t *in, int16_t *out, int stride)
{
    forward_2d<8, 8, 2, 9>(out, in, stride);
}

void fdct2d_low4_8x8_avx2(const int16_t *in, int16_t *out, int stride)
{
    forward_2d<8, 4, 2, 9>(out, in, stride);
}

void fdct2d_16x16_avx2(const int16_t *in, int16_t *out, int stride)
{
    forward_2d<16, 16, 3, 10>(out, in, stride);
}

void fdct2d_low8_16x16_avx2(const int16_t *in, int16_t *out, int stride)
{
    forward_2d<16, 8, 3, 10>(out, in, stride);
}

void fdct2d_32x32_avx2(const int16_t *in, int16_t *out, int stride)
{
    forward_2d<32, 32, 4, 11>(out, in, stride);
}

void fdct2d_low8_32x32_avx2(const int16_t *in, int16_t *out, int stride)
{
    forward_2d<32, 8, 4, 11>(out, in, stride);
}

static void inverse_4x4_to(int16_t *out, int stride, const int16_t *coeff, const pair_table &m)
{
    __m128i a, b;
    inverse_4x4_regs(coeff, &a, &b, m, m);
    store_rows_4x16(out, stride, a);
    store_rows_4x16(out + 2 * stride, stride, b);
}

void idst2d_4x4_avx2(const int16_t *coeff, int16_t *out, int stride)
{
    inverse_4x4_to(out, stride, coeff, pairs_dst4);
}

void idct2d_4x4_avx2(const int16_t *coeff, int16_t *out, int stride)
{
    inverse_4x4_to(out, stride, coeff, pairs_dct4);
}

void idct2d_8x8_avx2(const int16_t *coeff, int16_t *out, int stride)
{
    inverse_2d<8, 8>(out, stride, coeff);
}

void idct2d_low4_8x8_avx2(const int16_t *coeff, int16_t *out, int stride)
{
    inverse_2d<8, 4>(out, stride, coeff);
}

void idct2d_16x16_avx2(const int16_t *coeff, int16_t *out, int stride)
{
    inverse_2d<16, 16>(out, stride, coeff);
}

void idct2d_low8_16x16_avx2(const int16_t *coeff, int16_t *out, int stride)
{
    inverse_2d<16, 8>(out, stride, coeff);
}

void idct2d_32x32_avx2(const int16_t *coeff, int16_t *out, int stride)
{
    inverse_2d<32, 32>(out, stride, coeff);
}

void idct2d_low8_32x32_avx2(const int16_t *coeff, int16_t *out, int stride)
{
    inverse_2d<32, 8>(out, stride, coeff);
}

// ---- slot kernels ----

typedef void (*fwd_2d_fn)(const int16_t *in, int16_t *out, int stride);
typedef void (*inv_2d_fn)(const int16_t *coeff, int16_t *out, int stride);

template <int N>
static inline void forward_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, fwd_2d_fn fn)
{
    alignas(32) int16_t r[N * N];
    residual<N>(r, src, pred);
    fn(r, coeff, N);
}

template <int N>
static inline void inverse_avx2(uint8_t *recon, const int16_t *coeff, inv_2d_fn fn)
{
    alignas(32) int16_t r[N * N];
    fn(coeff, r, N);
    add_residual<N>(recon, r);
}

// The 4x4 slots: the residual rows straight from registers into the 2-D
// transform of the mode, and its output added back the same way.
void ftrans_residual_4x4_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int mode)
{
    alignas(16) int16_t r[16];
    __m128i a, b;
    residual_4x4_regs(src, pred, &a, &b);
    store_rows_4x16(r, 4, a);
    store_rows_4x16(r + 8, 4, b);
    (transform_4x4_dst_flags[mode] ? fdst2d_4x4_avx2 : fdct2d_4x4_avx2)(r, coeff, 4);
}

void itrans_add_4x4_avx2(uint8_t *recon, const int16_t *coeff, int mode)
{
    alignas(16) int16_t r[16];
    (transform_4x4_dst_flags[mode] ? idst2d_4x4_avx2 : idct2d_4x4_avx2)(coeff, r, 4);
    add_residual_4x4_regs(recon, load_rows_4x16(r, 4), load_rows_4x16(r + 8, 4));
}

void fdct_residual_8x8_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_avx2<8>(coeff, src, pred, fdct2d_8x8_avx2);
}

void fdct_residual_low4_8x8_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_avx2<8>(coeff, src, pred, fdct2d_low4_8x8_avx2);
}

void idct_add_8x8_avx2(uint8_t *recon, const int16_t *coeff)
{
    inverse_avx2<8>(recon, coeff, idct2d_8x8_avx2);
}

void idct_add_low4_8x8_avx2(uint8_t *recon, const int16_t *coeff, int)
{
    inverse_avx2<8>(recon, coeff, idct2d_low4_8x8_avx2);
}

void fdct_residual_16x16_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_avx2<16>(coeff, src, pred, fdct2d_16x16_avx2);
}

void fdct_residual_low8_16x16_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_avx2<16>(coeff, src, pred, fdct2d_low8_16x16_avx2);
}

void idct_add_16x16_avx2(uint8_t *recon, const int16_t *coeff)
{
    inverse_avx2<16>(recon, coeff, idct2d_16x16_avx2);
}

void idct_add_low8_16x16_avx2(uint8_t *recon, const int16_t *coeff, int)
{
    inverse_avx2<16>(recon, coeff, idct2d_low8_16x16_avx2);
}

void fdct_residual_32x32_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    forward_avx2<32>(coeff, src, pred, fdct2d_32x32_avx2);
}

void fdct_residual_low8_32x32_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int)
{
    forward_avx2<32>(coeff, src, pred, fdct2d_low8_32x32_avx2);
}

void idct_add_32x32_avx2(uint8_t *recon, const int16_t *coeff)
{
    inverse_avx2<32>(recon, coeff, idct2d_32x32_avx2);
}

void idct_add_low8_32x32_avx2(uint8_t *recon, const int16_t *coeff, int)
{
    inverse_avx2<32>(recon, coeff, idct2d_low8_32x32_avx2);
}
