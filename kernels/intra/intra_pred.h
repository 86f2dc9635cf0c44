// Intra prediction kernel table: [1 2 1] reference smoothing and the planar, DC
// and 33 angular predictors of H.265 for 4x4 to 32x32 blocks at 8 bits.
//
// Every kernel reads an intra_ref_samples array of 4N+1 samples:
//   [0]          corner (-1, -1)
//   [1 .. 2N]    the row above, then the above-right row (left to right)
//   [2N+1 .. 4N] the left column, then the below-left column (top to bottom)
#pragma once
#include <cstdint>

typedef void (*intra_ref_filter_fn)(const uint8_t *in, uint8_t *out);
typedef void (*intra_pred_fn)(uint8_t *dst, int dst_stride, const uint8_t *ref);

enum {
    INTRA_MODE_PLANAR = 0,
    INTRA_MODE_DC = 1,
    INTRA_MODE_HOR = 10,
    INTRA_MODE_VER = 26,
    INTRA_MODE_LAST = 34,   // the last angular mode, which also stands in for a repeated chroma mode
    INTRA_MODE_COUNT = 35,
};

// 284 entries: ref_filter[s] and pred[mode][f][s], with s = log2(N) - 2 and f
// the luma boundary-filter flag. As one array, pred[mode][f][s] is entry
// 4 + 8 * mode + 4 * f + s.
struct intra_pred_table {
    intra_ref_filter_fn ref_filter[4];
    intra_pred_fn pred[INTRA_MODE_COUNT][2][4];
};

// Fills every entry with its portable kernel, then the vector kernels that the
// configured flags and the processor allow (cpu_use_ssse3_set, cpu_use_avx2_set).
// Cannot fail; no entry is left null.
void intra_pred_table_init(uint32_t cpu_flags, intra_pred_table *table);

// Bit N (8, 16 or 32) is set when a luma NxN block predicted in the mode takes
// the [1 2 1]-smoothed reference (H.265 filtering rule for neighbouring samples).
extern const uint8_t intra_smoothing_flags[INTRA_MODE_COUNT];

// intraPredAngle of H.265 for modes 18 + k, k = 0..16 (-32 .. 32).
extern const int8_t intra_pred_angle[17];
// Magnitude of H.265 invAngle for modes 25 - j (equal to mode 11 + j), j = 0..7.
extern const int16_t intra_inv_angle[8];

// Portable angular predictor: mode 2..34, N 4..32; the boundary filter of
// modes 10 and 26 is applied exactly when edge_filter is non-zero.
void intra_pred_angular_c(uint8_t *dst, int dst_stride, const uint8_t *ref, int mode, int n,
                          int edge_filter);
