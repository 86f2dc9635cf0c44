// Quantisation and dequantisation of transform blocks (8-bit video, flat
// scaling lists), reached through one table of function pointers filled at
// open. Levels and coefficients are N*N int16 in raster order, row stride N.
#pragma once
#include <cstdint>

#include "bitstream/cabac.h"
#include "kernels/quant/scan_tables.h"

// What the quantisers need of the encoder instance, which owns this record:
// the scan orders, the picture parameter set's sign_data_hiding_enabled_flag
// and, for the rate-distortion-optimised quantisers, the coder whose context
// states price the bins (read only, apart from the four rdoq model bytes)
// and the encoder's chroma distortion weights (CHROMA_WEIGHT_QPS entries by
// qp, 8 fractional bits).
struct quant_context {
    const scan_tables *scans;
    int32_t sign_hiding;
    cabac_encoder *cabac;
    const uint16_t *chroma_dist_weight;
};

typedef int (*quant_fn)(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp,
                        uint16_t round_offset, int n, int quant_scale, int scan_idx);
typedef int (*quant_low_fn)(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp,
                            uint16_t round_offset, int n, int quant_scale, int scan_idx, int k);
typedef void (*dequant_fn)(const int16_t *levels, int16_t *coeff, int qp, int n);
typedef void (*dequant_low_fn)(const int16_t *levels, int16_t *coeff, int qp, int n, int k);
typedef int (*quant_sig_map_fn)(uint8_t *flags, const int16_t *coeff, int count, int16_t threshold);
typedef int (*rdoq_fn)(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff,
                       int qp, uint16_t round_offset, int n, int quant_scale, int plane,
                       int scan_idx);
typedef void (*rdoq_level_errors_fn)(const int16_t *coeff, uint16_t *ceil_levels,
                                     uint32_t *squares, uint32_t *errors, int n, int width,
                                     int height, int qp, int quant_scale);

// Eight slots in this order.
struct quant_table {
    quant_fn quant;                          // 0
    quant_low_fn quant_low;                  // 1
    dequant_fn dequant;                      // 2
    dequant_low_fn dequant_low;              // 3
    quant_sig_map_fn quant_sig_map;          // 4
    rdoq_fn rdoq;                            // 5
    rdoq_level_errors_fn rdoq_level_errors;  // 6
    rdoq_fn rdoq_alt;                        // 7
};

// Forward scales and the levelScale list of H.265, by qp % 6.
extern const int32_t quant_scales[6];
extern const int32_t level_scales[6];

// Rounding offsets in 1/512 of a quantisation step.
enum {
    QUANT_ROUND_INTRA = 171,
    QUANT_ROUND_INTER = 85,
};

// Fills the table: the portable kernels, then the AVX2 forms where the
// processor runs them.
void quant_table_init(uint32_t flags, quant_table *table);

// Quantises all N*N coefficients (n = log2 N); non-zero exactly when some
// level is non-zero. scan_idx only matters with sign data hiding.
int quant_c(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp,
            uint16_t round_offset, int n, int quant_scale, int scan_idx);
// Clears all N*N levels and quantises only the top-left k x k coefficients
// (k a multiple of 4).
int quant_low_c(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp,
                uint16_t round_offset, int n, int quant_scale, int scan_idx, int k);
// H.265 scaling with flat lists: clip((l*scale + (1 << (n-2))) >> (n-1)).
void dequant_c(const int16_t *levels, int16_t *coeff, int qp, int n);
// The same for the top-left k x k only (k a multiple of 4); other entries are
// not written.
void dequant_low_c(const int16_t *levels, int16_t *coeff, int qp, int n, int k);
// flags[i] = |coeff[i]| > threshold; returns 1 when any flag is set.
int quant_sig_map_c(uint8_t *flags, const int16_t *coeff, int count, int16_t threshold);

// Rate-distortion-optimised quantisation. lambda has 8 fractional bits (the
// per-CTU SSE lambda); plane 0 luma, 1 Cb, 2 Cr. Non-zero exactly when some
// level is non-zero; when every coefficient stays below the rounding threshold
// the result is 0 and the levels are not written.
// rdoq_c prices bins with two adaptive model states of its own (the rdoq
// bytes of the coder, read at entry and written back at exit).
int rdoq_c(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
           uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx);
// rdoq_alt_c prices the residual syntax with the coder's real context states
// and searches the best last position.
int rdoq_alt_c(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
               uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx);
// Per coefficient of the width x height top-left rectangle (row stride N;
// width and height multiples of 4): the level rounded up, the squared
// magnitude and the squared errors of that level and of one less (errors
// holds two entries per coefficient).
void rdoq_level_errors_c(const int16_t *coeff, uint16_t *ceil_levels, uint32_t *squares,
                         uint32_t *errors, int n, int width, int height, int qp, int quant_scale);
// AVX2 forms, installed only where cpu_use_avx2_set allows; each equals its
// portable form (the _c kernel of the same name) for qp 0..51 and, where it
// takes one, a quant_scale below 2^16.
int quant_avx2(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp, uint16_t round_offset, int n,
               int quant_scale, int scan_idx);
int quant_low_avx2(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp, uint16_t round_offset,
                   int n, int quant_scale, int scan_idx, int k);
void dequant_avx2(const int16_t *levels, int16_t *coeff, int qp, int n);
void dequant_low_avx2(const int16_t *levels, int16_t *coeff, int qp, int n, int k);
void rdoq_level_errors_avx2(const int16_t *coeff, uint16_t *ceil_levels, uint32_t *squares,
                            uint32_t *errors, int n, int width, int height, int qp, int quant_scale);
int rdoq_avx2(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
              uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx);
int rdoq_alt_avx2(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
                  uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx);
// Finds the last 4x4 group (in scan order) with a coefficient |coeff| >
// threshold, flags that group's coefficients into flags (raster; the groups
// before it are not flagged; nothing when flags is null), clears the levels
// of the trailing groups and returns the group's first scan index, or -1
// (levels untouched) when no coefficient is flagged.
int quant_find_last_group(quant_context *ctx, int16_t *levels, const int16_t *coeff,
                          const uint16_t *scan, uint8_t *flags, int n, int16_t threshold);
// Seeds the rdoq model bytes (luma, chroma) from the first significance and
// greater-1 contexts, as a CU search starts.
void rdoq_state_seed(cabac_encoder *cabac);
// Bits (1/256) of one non-zero level: sign, greater-1 and greater-2 flags
// (while count < 8) and the remaining value with Rice parameter k.
uint32_t rdoq_rate_level(const cabac_encoder *cabac, int level, int count, int c1, int gt1_ctx,
                         int gt2_ctx, int k);
// Bits (1/256) of the last position (x, y) of an N x N block (n = log2 N).
uint32_t rdoq_rate_last_pos(const cabac_encoder *cabac, int x, int y, int n, int chroma);
