// Half-resolution planes of source pictures for the lookahead (portable forms).
#pragma once
#include <cstdint>

// Signature shared by both builders: 16 phase planes (index 4 * fy + fx, plane 0
// the half-resolution plane) of one stride, the full-resolution luma, and the
// half-resolution width and height.
typedef void (*lowres_plane_func)(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src,
                                  int32_t src_stride, int32_t w, int32_t h);

// All 16 planes; reads source columns up to 2w + 2 and rows up to 2h + 2.
void build_lowres_planes_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                           int32_t w, int32_t h);
// planes[0] only; the final halving truncates.
void downscale_2x2_plane_c(uint8_t *const *planes, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                           int32_t w, int32_t h);
