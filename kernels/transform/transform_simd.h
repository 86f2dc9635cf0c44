// Vector transform kernels: the SSSE3-flag set (128-bit, also uses SSE4.1
// instructions) and the AVX2-flag set. Each kernel has the signature of its
// transform_table slot and gives exactly the portable kernel's result on every
// input. transform_table_init installs a set only where the processor has every
// instruction set it uses; nothing else may call these on an unchecked machine.
//
// The low-frequency kernels take k like the portable ones and, like them,
// ignore it: they always keep the top-left 4x4 (8x8) or 8x8 (16x16, 32x32).
#pragma once
#include <cstdint>

// SSSE3-flag set: all fifteen slots.
void ftrans_residual_4x4_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int mode);
void itrans_add_4x4_ssse3(uint8_t *recon, const int16_t *coeff, int mode);
void fdct_residual_8x8_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low4_8x8_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_8x8_ssse3(uint8_t *recon, const int16_t *coeff);
void idct_add_low4_8x8_ssse3(uint8_t *recon, const int16_t *coeff, int k);
void fdct_residual_16x16_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low8_16x16_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_16x16_ssse3(uint8_t *recon, const int16_t *coeff);
void idct_add_low8_16x16_ssse3(uint8_t *recon, const int16_t *coeff, int k);
void fdct_residual_32x32_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low8_32x32_ssse3(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_32x32_ssse3(uint8_t *recon, const int16_t *coeff);
void idct_add_low8_32x32_ssse3(uint8_t *recon, const int16_t *coeff, int k);
uint32_t coeff_cost_estimate_ssse3(const int16_t *coeff, int log2_size);

// AVX2-flag set: slots 0..13 (slot 14 keeps the SSSE3-flag kernel).
void ftrans_residual_4x4_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int mode);
void itrans_add_4x4_avx2(uint8_t *recon, const int16_t *coeff, int mode);
void fdct_residual_8x8_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low4_8x8_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_8x8_avx2(uint8_t *recon, const int16_t *coeff);
void idct_add_low4_8x8_avx2(uint8_t *recon, const int16_t *coeff, int k);
void fdct_residual_16x16_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low8_16x16_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_16x16_avx2(uint8_t *recon, const int16_t *coeff);
void idct_add_low8_16x16_avx2(uint8_t *recon, const int16_t *coeff, int k);
void fdct_residual_32x32_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low8_32x32_avx2(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_32x32_avx2(uint8_t *recon, const int16_t *coeff);
void idct_add_low8_32x32_avx2(uint8_t *recon, const int16_t *coeff, int k);

// The two-dimensional transforms under the AVX2 slot kernels. Forward: `in` is
// a residual block (values -255..255) with row stride `stride` elements, `out`
// the coefficient block (row stride N; the low forms write only the kept
// corner). Inverse: `coeff` is the coefficient block (row stride N; the low
// forms read only the kept corner), `out` the residual with row stride `stride`.
void fdst2d_4x4_avx2(const int16_t *in, int16_t *out, int stride);
void fdct2d_4x4_avx2(const int16_t *in, int16_t *out, int stride);
void fdct2d_8x8_avx2(const int16_t *in, int16_t *out, int stride);
void fdct2d_low4_8x8_avx2(const int16_t *in, int16_t *out, int stride);
void fdct2d_16x16_avx2(const int16_t *in, int16_t *out, int stride);
void fdct2d_low8_16x16_avx2(const int16_t *in, int16_t *out, int stride);
void fdct2d_32x32_avx2(const int16_t *in, int16_t *out, int stride);
void fdct2d_low8_32x32_avx2(const int16_t *in, int16_t *out, int stride);
void idst2d_4x4_avx2(const int16_t *coeff, int16_t *out, int stride);
void idct2d_4x4_avx2(const int16_t *coeff, int16_t *out, int stride);
void idct2d_8x8_avx2(const int16_t *coeff, int16_t *out, int stride);
void idct2d_low4_8x8_avx2(const int16_t *coeff, int16_t *out, int stride);
void idct2d_16x16_avx2(const int16_t *coeff, int16_t *out, int stride);
void idct2d_low8_16x16_avx2(const int16_t *coeff, int16_t *out, int stride);
void idct2d_32x32_avx2(const int16_t *coeff, int16_t *out, int stride);
void idct2d_low8_32x32_avx2(const int16_t *coeff, int16_t *out, int stride);

// Per prediction mode 0..35: 1 when a 4x4 block uses the DST-VII in both
// directions (intra luma modes 0..34), 0 for the DCT (mode 35).
extern const int32_t transform_4x4_dst_flags[36];
