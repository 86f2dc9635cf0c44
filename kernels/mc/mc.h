// Motion-compensation kernels and their table: luma 8-tap and chroma 4-tap
// interpolation, bi-prediction averages, block copies, the sub-sample planes of
// reconstructed references, the half-resolution planes of source pictures and
// the lookahead's two cost kernels. Every caller reaches them through one
// mc_table, filled once when an encoder opens and read-only afterwards. All
// kernels are stateless and write only caller buffers: any thread may call any
// entry.
//
// Conventions shared by every kernel:
//   - strides count elements of the buffer they describe (bytes for 8-bit
//     buffers, 16-bit elements for 16-bit buffers);
//   - vectors are quarter luma samples; chroma kernels read the same components
//     as eighth chroma samples (4:2:0); integer part by flooring shift, phase by
//     mask;
//   - no kernel clips coordinates: the reference margins hold replicated edges.
#pragma once
#include <cstdint>

#include "kernels/mc/lowres_planes.h"

// 16-bit predictions (interp_luma_16bit, interp_chroma_16bit) and the
// horizontal 16-bit planes of a reference hold the H.265 14-bit intermediate
// (full sample << 6, one-direction sums unshifted, two-direction sums >> 6)
// minus this bias. The two-direction luma half/half intermediate of 8-bit video
// reaches 33150, past the int16 range; biased, every intermediate
// (-16830 .. 33150) is stored exactly, so bi-prediction equals the decoder's.
enum { MC_INTERMEDIATE_BIAS = 8192 };

enum {
    MC_TABLE_SLOTS = 22,
    MC_PHASE_PLANES = 16,   // plane index 4 * (vy & 3) + (vx & 3)
};

typedef void (*mc_interp_luma_fn)(uint8_t *dst, int32_t dst_stride, const uint8_t *ref,
                                  const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx, int32_t mvy,
                                  int32_t w, int32_t h);
typedef const int16_t *(*mc_interp_luma_16bit_fn)(int16_t *dst, int32_t *dst_stride, const uint8_t *ref,
                                                  const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx,
                                                  int32_t mvy, int32_t w, int32_t h);
typedef void (*mc_interp_chroma_fn)(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                                    int32_t mvx, int32_t mvy, int32_t w, int32_t h);
typedef void (*mc_interp_chroma_16bit_fn)(int16_t *dst, int32_t dst_stride, const uint8_t *ref,
                                          int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
typedef void (*mc_bipred_avg_fn)(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0,
                                 const int16_t *p1, int32_t s1, int32_t w, int32_t h);
typedef void (*mc_filter_h_subpel_fn)(int16_t *quarter, int16_t *half, int16_t *three_quarter,
                                      const uint8_t *src, int32_t stride, int32_t w, int32_t h, int32_t half_only);
typedef void (*mc_build_subpel_planes_fn)(uint8_t *const *planes, const uint8_t *src,
                                          const int16_t *const *hplanes, int32_t stride, int32_t w, int32_t h,
                                          int32_t half_only);
typedef void (*mc_from_subpel_planes_fn)(uint8_t *dst, int32_t dst_stride, uint8_t *const *planes,
                                         int32_t stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
typedef const uint8_t *(*mc_subpel_plane_ptr_fn)(uint8_t *const *planes, int32_t stride, int32_t mvx,
                                                 int32_t mvy);
typedef void (*mc_avg_pixels_fn)(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride,
                                 const uint8_t *b, int32_t b_stride, int32_t w, int32_t h);
typedef const uint8_t *(*mc_luma_ref_or_interp_fn)(uint8_t *dst, int32_t *stride, const uint8_t *ref,
                                                   const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx,
                                                   int32_t mvy, int32_t w, int32_t h);
typedef const uint8_t *(*mc_luma_ref_or_bilinear_fn)(uint8_t *dst, int32_t *stride, const uint8_t *ref,
                                                     int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w,
                                                     int32_t h);
typedef const uint8_t *(*mc_chroma_fullpel_ptr_fn)(const uint8_t *plane, int32_t stride, int32_t mvx,
                                                   int32_t mvy);
typedef void (*mc_propagate_cost_fn)(uint32_t *out, const uint32_t *prop_in, const uint32_t *intra,
                                     const uint32_t *inter, const uint16_t *weight, int32_t n);
typedef void (*mc_block_copy_fn)(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride,
                                 int32_t w, int32_t h);
typedef void (*mc_block_downscale_fn)(uint8_t *block);
typedef uint32_t (*mc_frame_cost_complexity_fn)(uint32_t *out, const uint32_t *costs, int32_t w, int32_t h,
                                                int32_t stride, int32_t picture_type);

// 22 entries in fixed slot order; callers reach a kernel by its position.
struct mc_table {
    mc_interp_luma_fn interp_luma;                        // 0
    mc_interp_luma_16bit_fn interp_luma_16bit;            // 1
    mc_interp_chroma_fn interp_chroma;                    // 2
    mc_interp_chroma_16bit_fn interp_chroma_16bit;        // 3
    mc_bipred_avg_fn bipred_avg_16bit;                    // 4
    mc_filter_h_subpel_fn filter_h_subpel_16bit;          // 5
    mc_build_subpel_planes_fn build_subpel_planes;        // 6
    mc_from_subpel_planes_fn mc_from_subpel_planes;       // 7
    mc_subpel_plane_ptr_fn subpel_plane_ptr;              // 8
    mc_avg_pixels_fn avg_pixels;                          // 9
    lowres_plane_func build_lowres_planes;                // 10
    lowres_plane_func downscale_2x2_plane;                // 11
    mc_luma_ref_or_interp_fn mc_luma_ref_or_interp;       // 12
    mc_luma_ref_or_bilinear_fn mc_luma_ref_or_bilinear;   // 13
    mc_chroma_fullpel_ptr_fn chroma_fullpel_ptr;          // 14
    mc_propagate_cost_fn propagate_cost;                  // 15
    mc_block_copy_fn block_copy;                          // 16
    mc_block_downscale_fn downscale_64x64;                // 17
    mc_block_downscale_fn downscale_border_64;            // 18
    mc_block_downscale_fn downscale_32x32;                // 19
    mc_block_downscale_fn downscale_border_32;            // 20
    mc_frame_cost_complexity_fn frame_cost_complexity;    // 21
};

// Fills every slot with its portable kernel, then the vector kernels that the
// configured flags and the processor allow (cpu_use_ssse3_set, cpu_use_avx2_set).
// Cannot fail; no slot is left null.
void mc_table_init(uint32_t cpu_flags, mc_table *table);
// Vector sets, each installed by mc_table_init only where allowed.
void mc_table_fill_ssse3(mc_table *table);
void mc_table_fill_avx2(mc_table *table);

// H.265 interpolation filters at 8 bits, one row per phase; row 0 is the
// identity (64 on the sample itself). Luma taps at offsets -3 .. +4, chroma -1 .. +2.
extern const int16_t mc_luma_filter[4][8];
extern const int16_t mc_chroma_filter[8][4];

// Interpolation and averaging. Luma blocks up to 64 x 64 wide and high in the
// prediction paths (any size where the sub-sample plane builder calls
// interp_luma_c), chroma up to 32 x 32; a width or height below 1 writes nothing.
void interp_luma_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                   int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h);
// Returns where the prediction lies: dst (stride unchanged), or, with hplanes, a
// fractional horizontal and a full-sample vertical phase, the block inside the
// horizontal plane of that phase (*dst_stride set to ref_stride, nothing written).
const int16_t *interp_luma_16bit_c(int16_t *dst, int32_t *dst_stride, const uint8_t *ref,
                                   const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx, int32_t mvy,
                                   int32_t w, int32_t h);
void interp_chroma_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                     int32_t mvy, int32_t w, int32_t h);
void interp_chroma_16bit_c(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                           int32_t mvy, int32_t w, int32_t h);
// H.265 default weighted bi-prediction of two biased 16-bit predictions.
void bipred_avg_16bit_c(uint8_t *dst, int32_t dst_stride, const int16_t *p0, int32_t s0, const int16_t *p1,
                        int32_t s1, int32_t w, int32_t h);
void avg_pixels_c(uint8_t *dst, int32_t dst_stride, const uint8_t *a, int32_t a_stride, const uint8_t *b,
                  int32_t b_stride, int32_t w, int32_t h);
// Widths 64, 32, 16, 8, 4 and 2 only; any other width copies nothing.
void block_copy_c(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h);

// Sub-sample planes of reconstructed references and reference access.
void filter_h_subpel_16bit_c(int16_t *quarter, int16_t *half, int16_t *three_quarter, const uint8_t *src,
                             int32_t stride, int32_t w, int32_t h, int32_t half_only);
void build_subpel_planes_c(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                           int32_t stride, int32_t w, int32_t h, int32_t half_only);
void mc_from_subpel_planes_c(uint8_t *dst, int32_t dst_stride, uint8_t *const *planes, int32_t stride,
                             int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const uint8_t *subpel_plane_ptr_c(uint8_t *const *planes, int32_t stride, int32_t mvx, int32_t mvy);
const uint8_t *mc_luma_ref_or_interp_c(uint8_t *dst, int32_t *stride, const uint8_t *ref,
                                       const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx,
                                       int32_t mvy, int32_t w, int32_t h);
const uint8_t *mc_luma_ref_or_bilinear_c(uint8_t *dst, int32_t *stride, const uint8_t *ref, int32_t ref_stride,
                                         int32_t mvx, int32_t mvy, int32_t w, int32_t h);
void interp_luma_bilinear_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride,
                            int32_t mvx, int32_t mvy, int32_t w, int32_t h);
const uint8_t *chroma_fullpel_ptr_c(const uint8_t *plane, int32_t stride, int32_t mvx, int32_t mvy);

// Block downscales (build_lowres_planes_c and downscale_2x2_plane_c are in
// lowres_planes.h): 64x64 or 32x32 to half size in place (stride 64), and the
// neighbour row and column of such a block (stride 128).
void downscale_64x64_c(uint8_t *block);
void downscale_32x32_c(uint8_t *block);
void downscale_border_64_c(uint8_t *block);
void downscale_border_32_c(uint8_t *block);

// Lookahead costs. Grid entries carry a cost in bits 0..27 and list bits above.
void propagate_cost_c(uint32_t *out, const uint32_t *prop_in, const uint32_t *intra, const uint32_t *inter,
                      const uint16_t *weight, int32_t n);
uint32_t frame_cost_complexity_c(uint32_t *out, const uint32_t *costs, int32_t w, int32_t h, int32_t stride,
                                 int32_t picture_type);
