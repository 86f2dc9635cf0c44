// Forward and inverse integer transforms of H.265 (clause 8.6.4) for 8-bit
// video, reached through one table of function pointers filled at open.
//
// Buffers: source blocks have rows of 64 bytes (the CTU source copy),
// prediction/reconstruction blocks rows of 128 bytes, coefficient blocks are
// N*N contiguous int16 with entry [v*N + h] = vertical frequency v, horizontal
// frequency h. Forward kernels form source minus prediction and transform it;
// inverse kernels add the inverse transform to the prediction in place, so the
// prediction buffer becomes the reconstruction.
#pragma once
#include <cstdint>

#include "kernels/transform/transform_matrix.h"

enum {
    TRANSFORM_SRC_STRIDE = 64,
    TRANSFORM_PRED_STRIDE = 128,
    // Prediction mode passed for inter blocks and blocks without a luma intra mode.
    TRANSFORM_MODE_NONE = 35,
};

typedef void (*ftrans_4x4_fn)(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int mode);
typedef void (*itrans_4x4_fn)(uint8_t *pred_recon, const int16_t *coeff, int mode);
typedef void (*fdct_fn)(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
typedef void (*fdct_low_fn)(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
typedef void (*idct_fn)(uint8_t *pred_recon, const int16_t *coeff);
typedef void (*idct_low_fn)(uint8_t *pred_recon, const int16_t *coeff, int k);
typedef uint32_t (*coeff_cost_fn)(const int16_t *coeff, int log2_size);

// Fifteen slots in this order; every slot is filled at every flag set.
struct transform_table {
    ftrans_4x4_fn ftrans_residual_4x4;          // 0
    itrans_4x4_fn itrans_add_4x4;               // 1
    fdct_fn fdct_residual_8x8;                  // 2
    fdct_low_fn fdct_residual_low4_8x8;         // 3
    idct_fn idct_add_8x8;                       // 4
    idct_low_fn idct_add_low4_8x8;              // 5
    fdct_fn fdct_residual_16x16;                // 6
    fdct_low_fn fdct_residual_low8_16x16;       // 7
    idct_fn idct_add_16x16;                     // 8
    idct_low_fn idct_add_low8_16x16;            // 9
    fdct_fn fdct_residual_32x32;                // 10
    fdct_low_fn fdct_residual_low8_32x32;       // 11
    idct_fn idct_add_32x32;                     // 12
    idct_low_fn idct_add_low8_32x32;            // 13
    coeff_cost_fn coeff_cost_estimate;          // 14
};

enum { TRANSFORM_TABLE_SLOTS = 15 };

// Fills every slot: portable kernels first, then the SSSE3-flag set and the
// AVX2-flag set (slots 0..13) where the processor may run them.
void transform_table_init(uint32_t flags, transform_table *table);

// The H.265 DCT matrices (row = frequency, column = sample position); the 16-
// and 8-point matrices are rows 0,2,4.. and 0,4,8.. of the 32-point one.
// dct_matrix_32 is defined in transform_matrix.h (included above).
extern const int16_t dct_matrix_16[16][16];
extern const int16_t dct_matrix_8[8][8];

// Per prediction mode 0..35: 1 selects the 4-point DST-VII for the horizontal
// (row) or vertical (column) pass of the 4x4 transforms, 0 the DCT.
extern const int32_t dst4_select_h[36];
extern const int32_t dst4_select_v[36];

// One-dimensional helpers. Forward: transform each row of src; output k of row
// i goes to dst[k*N + i]. The 8..32-point forms compute only the first
// out_count outputs of the first `lines` rows.
void fdct4(int16_t *dst, const int16_t *src, int shift);
void fdst4(int16_t *dst, const int16_t *src, int shift);
void fdct8(int16_t *dst, const int16_t *src, int shift, int out_count, int lines);
void fdct16(int16_t *dst, const int16_t *src, int shift, int out_count, int lines);
void fdct32(int16_t *dst, const int16_t *src, int shift, int out_count, int lines);
// Inverse: transform each column of src (src[i], src[4+i], ...); output j of
// column i goes to dst[i*4 + j], clipped to 16 bits.
void idct4(int16_t *dst, const int16_t *src, int shift);
void idst4(int16_t *dst, const int16_t *src, int shift);

// Portable kernels.
void ftrans_residual_4x4_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int mode);
void itrans_add_4x4_c(uint8_t *pred_recon, const int16_t *coeff, int mode);
void fdct_residual_8x8_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low4_8x8_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_8x8_c(uint8_t *pred_recon, const int16_t *coeff);
void idct_add_low4_8x8_c(uint8_t *pred_recon, const int16_t *coeff, int k);
void fdct_residual_16x16_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low8_16x16_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_16x16_c(uint8_t *pred_recon, const int16_t *coeff);
void idct_add_low8_16x16_c(uint8_t *pred_recon, const int16_t *coeff, int k);
void fdct_residual_32x32_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred);
void fdct_residual_low8_32x32_c(int16_t *coeff, const uint8_t *src, const uint8_t *pred, int k);
void idct_add_32x32_c(uint8_t *pred_recon, const int16_t *coeff);
void idct_add_low8_32x32_c(uint8_t *pred_recon, const int16_t *coeff, int k);
uint32_t coeff_cost_estimate_c(const int16_t *coeff, int log2_size);
