// The 128-bit vector kernels of the motion-compensation table (the SSSE3-flag
// set) and the workers behind them, which the AVX2 set calls as well. Every
// kernel gives exactly the values of the portable kernel of its slot; 16-bit
// outputs hold the biased intermediate (MC_INTERMEDIATE_BIAS) as the portable
// kernels do, and the horizontal 16-bit planes they read are biased likewise.
//
// Workers write exactly the w x h block they are asked for (never past its
// right edge) and use unaligned accesses throughout. They may read the source
// past the block's right edge up to the end of their column group plus the
// filter reach; reference planes and their margins allow that. A width or
// height below 1 writes nothing, except where a worker says otherwise.
#pragma once
#include <cstdint>

#include "kernels/mc/mc.h"

// Slot kernels (arguments as the portable kernels of the same slots).
void interp_chroma_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                         int32_t mvy, int32_t w, int32_t h);
void interp_chroma_16bit_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                               int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void bipred_avg_16bit_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0, const int16_t *p1,
                            int32_t s1, int32_t w, int32_t h);
void avg_pixels_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                      int32_t b_stride, int32_t w, int32_t h);
void filter_h_subpel_16bit_ssse3(int16_t *quarter, int16_t *half, int16_t *three_quarter, const uint8_t *src,
                                 int32_t stride, int32_t w, int32_t h, int32_t half_only);
// Falls back to the portable builder when hplanes is null.
void build_subpel_planes_ssse3(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                               int32_t stride, int32_t w, int32_t h, int32_t half_only);
void build_lowres_planes_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                               int32_t w, int32_t h);
void downscale_2x2_plane_ssse3(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src,
                               int32_t src_stride, int32_t w, int32_t h);
void downscale_64x64_ssse3(uint8_t *block);
void downscale_32x32_ssse3(uint8_t *block);
void downscale_border_64_ssse3(uint8_t *block);
void downscale_border_32_ssse3(uint8_t *block);

// Chroma workers: source at the block's full-sample origin, phases 0 .. 7 (a
// one-direction worker uses only its own phase). 16-bit outputs are biased.
void interp_chroma_h_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t px,
                           int32_t py, int32_t w, int32_t h);
void interp_chroma_v_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t px,
                           int32_t py, int32_t w, int32_t h);
void interp_chroma_hv_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t px,
                            int32_t py, int32_t w, int32_t h);
void interp_chroma_16bit_h_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                 int32_t px, int32_t py, int32_t w, int32_t h);
void interp_chroma_16bit_v_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                 int32_t px, int32_t py, int32_t w, int32_t h);
void interp_chroma_16bit_hv_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                  int32_t px, int32_t py, int32_t w, int32_t h);
// Full-sample 16-bit prediction: sample * 64, biased.
void interp_fullpel_16bit_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                int32_t w, int32_t h);

// Averages, by column group (4, 8 or 16 samples per step).
void bipred_avg_16bit_w4_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0,
                               const int16_t *p1, int32_t s1, int32_t w, int32_t h);
void bipred_avg_16bit_w8_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0,
                               const int16_t *p1, int32_t s1, int32_t w, int32_t h);
void bipred_avg_16bit_w16_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0,
                                const int16_t *p1, int32_t s1, int32_t w, int32_t h);
void avg_pixels_w8_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                         int32_t b_stride, int32_t w, int32_t h);
void avg_pixels_w16_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride,
                          const uint8_t *b, int32_t b_stride, int32_t w, int32_t h);

// Luma workers to 8-bit: vertical phase py over 8-bit samples; a horizontal
// plane (biased, of the block's x phase) to pixels; vertical phase py over a
// horizontal plane. Phases 1 .. 3.
void interp_luma_v_w8_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t px,
                            int32_t py, int32_t w, int32_t h);
void interp_luma_v_w16_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                             int32_t px, int32_t py, int32_t w, int32_t h);
void hplane_to_pixels_w8_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride,
                               int32_t w, int32_t h);
void hplane_to_pixels_w16_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride,
                                int32_t w, int32_t h);
void interp_luma_hplane_v_w4_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride,
                                   int32_t px, int32_t py, int32_t w, int32_t h);
void interp_luma_hplane_v_w8_ssse3(uint8_t *dst, int32_t dst_stride, const int16_t *src, int32_t src_stride,
                                   int32_t px, int32_t py, int32_t w, int32_t h);

// Luma workers to the biased 16-bit intermediate (used by the AVX2 set).
void interp_luma_16bit_v_w8_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                  int32_t px, int32_t py, int32_t w, int32_t h);
void interp_luma_16bit_v_w16_ssse3(int16_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                   int32_t px, int32_t py, int32_t w, int32_t h);
void interp_luma_16bit_hplane_v_w4_ssse3(int16_t *dst, int32_t dst_stride, const int16_t *src,
                                         int32_t src_stride, int32_t px, int32_t py, int32_t w, int32_t h);
void interp_luma_16bit_hplane_v_w8_ssse3(int16_t *dst, int32_t dst_stride, const int16_t *src,
                                         int32_t src_stride, int32_t px, int32_t py, int32_t w, int32_t h);

// One horizontal 16-bit plane (phase_index 0, 1, 2 = quarter, half,
// three-quarter) of a region: rows -3 .. h + 3 of columns 0 .. w - 1, the pointers
// at the region's top-left. Writes nothing when w < 1 or h + 7 < 1.
void filter_h_subpel_16bit_w8_ssse3(int16_t *plane, const uint8_t *src, int32_t stride, int32_t w, int32_t h,
                                    int32_t phase_index);
void filter_h_subpel_16bit_w16_ssse3(int16_t *plane, const uint8_t *src, int32_t stride, int32_t w, int32_t h,
                                     int32_t phase_index);
// One phase plane of slot 6: the block at quarter-sample vector (mvx, mvy),
// horizontal phases read from hplanes (required).
void interp_luma_hplanes_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src,
                               const int16_t *const *hplanes, int32_t src_stride, int32_t mvx, int32_t mvy,
                               int32_t w, int32_t h);
// Planes of vertical phases 1, 2, 3 (out[0..2]) for horizontal phase mvx & 3, in
// one pass over the input rows; exactly h rows are written.
void subpel_vert3_planes_sse41(uint8_t *const *out, int32_t dst_stride, const uint8_t *src,
                               const int16_t *const *hplanes, int32_t src_stride, int32_t mvx, int32_t mvy,
                               int32_t w, int32_t h);

// Tap-pair tables, indexed by phase - 1: luma four vectors per phase (pairs of
// taps 0-1, 2-3, 4-5, 6-7), chroma two (taps 0-1, 2-3); byte pairs for the
// unsigned-by-signed byte multiply-add, 16-bit pairs for the 16-bit one.
extern const int8_t luma_tap_pairs_i8[3][4][16];
extern const int16_t luma_tap_pairs_i16[3][4][8];
extern const int8_t chroma_tap_pairs_i8[7][2][16];
extern const int16_t chroma_tap_pairs_i16[7][2][8];
