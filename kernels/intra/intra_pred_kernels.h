// Declarations of the intra kernels that the table initialisers install.
#pragma once
#include <cstdint>

#include "kernels/intra/intra_pred.h"

#define INTRA_KERNEL_ARGS uint8_t *dst, int dst_stride, const uint8_t *ref

void intra_ref_filter_4x4_c(const uint8_t *in, uint8_t *out);
void intra_ref_filter_8x8_c(const uint8_t *in, uint8_t *out);
void intra_ref_filter_16x16_c(const uint8_t *in, uint8_t *out);
void intra_ref_filter_32x32_c(const uint8_t *in, uint8_t *out);

void intra_pred_planar_4x4_c(INTRA_KERNEL_ARGS);
void intra_pred_planar_8x8_c(INTRA_KERNEL_ARGS);
void intra_pred_planar_16x16_c(INTRA_KERNEL_ARGS);
void intra_pred_planar_32x32_c(INTRA_KERNEL_ARGS);

void intra_pred_dc_4x4_c(INTRA_KERNEL_ARGS);
void intra_pred_dc_8x8_c(INTRA_KERNEL_ARGS);
void intra_pred_dc_16x16_c(INTRA_KERNEL_ARGS);
void intra_pred_dc_32x32_c(INTRA_KERNEL_ARGS);
void intra_pred_dc_filt_4x4_c(INTRA_KERNEL_ARGS);
void intra_pred_dc_filt_8x8_c(INTRA_KERNEL_ARGS);
void intra_pred_dc_filt_16x16_c(INTRA_KERNEL_ARGS);

// The angular modes, as an X-macro list so that declarations, definitions and
// the table fill stay in step.
#define INTRA_ANGULAR_MODES(X)                                                                  \
    X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11) X(12) X(13) X(14) X(15) X(16) X(17)   \
    X(18) X(19) X(20) X(21) X(22) X(23) X(24) X(25) X(26) X(27) X(28) X(29) X(30) X(31) X(32) \
    X(33) X(34)

#define INTRA_DECLARE_ANGULAR(m)                        \
    void intra_pred_ang##m##_4x4_c(INTRA_KERNEL_ARGS);   \
    void intra_pred_ang##m##_8x8_c(INTRA_KERNEL_ARGS);   \
    void intra_pred_ang##m##_16x16_c(INTRA_KERNEL_ARGS); \
    void intra_pred_ang##m##_32x32_c(INTRA_KERNEL_ARGS);
INTRA_ANGULAR_MODES(INTRA_DECLARE_ANGULAR)
#undef INTRA_DECLARE_ANGULAR

void intra_pred_ang10_filt_4x4_c(INTRA_KERNEL_ARGS);
void intra_pred_ang10_filt_8x8_c(INTRA_KERNEL_ARGS);
void intra_pred_ang10_filt_16x16_c(INTRA_KERNEL_ARGS);
void intra_pred_ang26_filt_4x4_c(INTRA_KERNEL_ARGS);
void intra_pred_ang26_filt_8x8_c(INTRA_KERNEL_ARGS);
void intra_pred_ang26_filt_16x16_c(INTRA_KERNEL_ARGS);

// Fractional-position weights of the angular predictors: entry f (0..31) holds
// the byte pair (32 - f, f) sixteen times, for an unsigned-by-signed byte
// multiply-add of interleaved neighbouring reference samples.
extern const uint8_t intra_ang_frac_weights[32][32];

// Vector planar and DC kernels.
void intra_pred_planar_4x4_sse41(INTRA_KERNEL_ARGS);
void intra_pred_planar_8x8_sse41(INTRA_KERNEL_ARGS);
void intra_pred_planar_16x16_avx2(INTRA_KERNEL_ARGS);
void intra_pred_planar_32x32_avx2(INTRA_KERNEL_ARGS);
void intra_pred_dc_4x4_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_dc_8x8_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_dc_16x16_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_dc_32x32_avx2(INTRA_KERNEL_ARGS);
void intra_pred_dc_filt_4x4_sse41(INTRA_KERNEL_ARGS);
void intra_pred_dc_filt_8x8_sse41(INTRA_KERNEL_ARGS);
void intra_pred_dc_filt_16x16_sse41(INTRA_KERNEL_ARGS);

// Vector angular kernels of 4x4 to 16x16 blocks (SSE2 to SSE4.1 code that the
// AVX2 set installs).
void intra_pred_ang2_4x4_sse2(INTRA_KERNEL_ARGS);
void intra_pred_ang2_16x16_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_ang10_4x4_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_ang10_8x8_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_ang10_16x16_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_ang10_filt_4x4_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang10_filt_8x8_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang10_filt_16x16_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang18_4x4_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang18_16x16_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_ang19_16x16_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang20_16x16_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang21_16x16_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang26_4x4_sse2(INTRA_KERNEL_ARGS);
void intra_pred_ang26_8x8_ssse3(INTRA_KERNEL_ARGS);
void intra_pred_ang26_16x16_sse2(INTRA_KERNEL_ARGS);
void intra_pred_ang26_filt_4x4_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang26_filt_8x8_sse41(INTRA_KERNEL_ARGS);
void intra_pred_ang26_filt_16x16_sse41(INTRA_KERNEL_ARGS);

// AVX2 angular kernels of 32x32 blocks: modes 3 to 25 and 27 to 33.
#define INTRA_ANGULAR32_AVX2_MODES(X)                                                      \
    X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11) X(12) X(13) X(14) X(15) X(16) X(17)    \
    X(18) X(19) X(20) X(21) X(22) X(23) X(24) X(25) X(27) X(28) X(29) X(30) X(31) X(32)   \
    X(33)
#define INTRA_DECLARE_ANGULAR32_AVX2(m) void intra_pred_ang##m##_32x32_avx2(INTRA_KERNEL_ARGS);
INTRA_ANGULAR32_AVX2_MODES(INTRA_DECLARE_ANGULAR32_AVX2)
#undef INTRA_DECLARE_ANGULAR32_AVX2

// The 28 modes whose prediction interpolates at every size: all angular modes
// but the copies 2, 18 and 34 and the pure directions 10 and 26.
#define INTRA_ANGULAR_SLOPED_MODES(X)                                                    \
    X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(11) X(12) X(13) X(14) X(15) X(16) X(17) X(19) \
    X(20) X(21) X(22) X(23) X(24) X(25) X(27) X(28) X(29) X(30) X(31) X(32) X(33)

// AVX2 angular kernels of 4x4 blocks: the sloped modes.
#define INTRA_DECLARE_ANGULAR4_AVX2(m) void intra_pred_ang##m##_4x4_avx2(INTRA_KERNEL_ARGS);
INTRA_ANGULAR_SLOPED_MODES(INTRA_DECLARE_ANGULAR4_AVX2)
#undef INTRA_DECLARE_ANGULAR4_AVX2

// Mode 34 at 4x4 and 8x8 in the same form, installed by no set (the table keeps
// the portable copies there).
void intra_pred_ang34_4x4_avx2(INTRA_KERNEL_ARGS);
void intra_pred_ang34_8x8_avx2(INTRA_KERNEL_ARGS);

// AVX2 angular kernels of 8x8 blocks: the sloped modes and the copies 2 and 18.
#define INTRA_DECLARE_ANGULAR8_AVX2(m) void intra_pred_ang##m##_8x8_avx2(INTRA_KERNEL_ARGS);
INTRA_ANGULAR_SLOPED_MODES(INTRA_DECLARE_ANGULAR8_AVX2)
INTRA_DECLARE_ANGULAR8_AVX2(2)
INTRA_DECLARE_ANGULAR8_AVX2(18)
#undef INTRA_DECLARE_ANGULAR8_AVX2

// AVX2 angular kernels of 16x16 blocks: the sloped modes but 19 to 21, which
// have SSE4.1 kernels.
#define INTRA_ANGULAR16_AVX2_MODES(X)                                                   \
    X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(11) X(12) X(13) X(14) X(15) X(16) X(17) X(22) \
    X(23) X(24) X(25) X(27) X(28) X(29) X(30) X(31) X(32) X(33)
#define INTRA_DECLARE_ANGULAR16_AVX2(m) void intra_pred_ang##m##_16x16_avx2(INTRA_KERNEL_ARGS);
INTRA_ANGULAR16_AVX2_MODES(INTRA_DECLARE_ANGULAR16_AVX2)
#undef INTRA_DECLARE_ANGULAR16_AVX2

// AVX2 copies of 32x32 blocks: the diagonals 2 and 34 and pure vertical 26.
void intra_pred_ang2_32x32_avx2(INTRA_KERNEL_ARGS);
void intra_pred_ang26_32x32_avx2(INTRA_KERNEL_ARGS);
void intra_pred_ang34_32x32_avx2(INTRA_KERNEL_ARGS);

// Vector [1 2 1] reference smoothing (SSE4.1).
void intra_ref_filter_8x8_sse41(const uint8_t *in, uint8_t *out);
void intra_ref_filter_16x16_sse41(const uint8_t *in, uint8_t *out);
void intra_ref_filter_32x32_sse41(const uint8_t *in, uint8_t *out);

// Vector set installers, called by intra_pred_table_init only when the
// processor has every instruction set that the set uses.
void intra_pred_table_fill_ssse3(intra_pred_table *table);
void intra_pred_table_fill_avx2(intra_pred_table *table);
