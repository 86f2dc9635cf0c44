// Intra reference samples: gathering a block's neighbours from the CTU working
// buffer with H.265 availability and substitution, the source-neighbour variant
// of mode decision's fast intra check, and the per-CTU border load.
#pragma once
#include <cstdint>

#include "kernels/intra/intra_pred.h"

// Sample stride of every plane of the CTU prediction/reconstruction buffer.
enum { INTRA_BUFFER_STRIDE = 128 };

// The reference arrays of one encoder instance (or row context), in this order
// and with these sizes: the luma array and its smoothed copy 144 bytes apart,
// then Cb and Cr. Callers pick the smoothed copy as the luma array + 144.
struct intra_ref_area {
    uint8_t luma[144];
    uint8_t luma_smoothed[144];
    uint8_t cb[96];
    uint8_t cr[96];
};

// What reference gathering uses of the encoder instance (or row context) that
// owns it: its kernel table, its recon_avail_map and its reference arrays.
//
// recon_avail_map: 25 rows of 32 bytes, one byte per 4x4 luma unit, nonzero =
// reconstructed; unit (u, v) relative to the CTU's first unit (u, v = -1 for the
// left and above neighbours) is byte 48 + u + 32 v.
struct intra_ref_ctx {
    const intra_pred_table *table;
    const uint8_t *recon_avail_map;
    intra_ref_area *ref_area;
};

// The plane's array in the area: 0 luma, 1 Cb, 2 Cr.
uint8_t *intra_ref_array(intra_ref_area *area, int plane);

// Builds the plane's intra_ref_samples of the N x N block whose first sample is
// `block` (stride INTRA_BUFFER_STRIDE). x, y: the block's luma position in the
// CTU (for chroma, that of its co-located luma area). N: 4..32 luma, 4..16
// chroma. With smooth set, luma blocks of N >= 8 also get the smoothed copy.
void intra_gather_ref_samples(const intra_ref_ctx *ctx, const uint8_t *block, int x, int y, int n,
                              int plane, int smooth);

// Like intra_gather_ref_samples, but neighbours inside the CTU come from the
// CTU's source samples (src, src_stride) while those outside it, and an
// available corner, come from the working buffer (dst, dst_stride). Only the
// plane's reference array is written: the working buffer is read, never
// modified, so source samples never reach the reconstruction. No smoothed copy.
void intra_fill_border_samples(const intra_ref_ctx *ctx, const uint8_t *src, int src_stride,
                               const uint8_t *dst, int dst_stride, int x, int y, int n, int plane);

// Bits of load_ctu_neighbour_border: which neighbouring CTUs exist.
enum {
    CTU_NEIGHBOUR_LEFT = 1,
    CTU_NEIGHBOUR_ABOVE = 2,
    CTU_NEIGHBOUR_ABOVE_RIGHT = 4,
    CTU_NEIGHBOUR_CORNER = 8,
};

// Loads the border of a CTU's working buffer at the CTU start: the row above
// and above-right from the saved bottom line of the CTU row above (src points
// at the saved sample above the CTU's first column), the corner, and the left
// column from the previous CTU's last column still held in the buffer; 128
// wherever the neighbour does not exist. picture_position and picture_stride
// are not read.
void load_ctu_neighbour_border(uint8_t *dst, const uint8_t *picture_position, const uint8_t *src,
                               int picture_stride, int is_luma, int bits);
