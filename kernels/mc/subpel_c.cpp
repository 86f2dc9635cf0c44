// Portable sub-sample planes of reconstructed references and the reference
// access kernels that hand out a block for a vector without copying it
// whenever they can.
#include <cstddef>

#include "kernels/mc/mc.h"

namespace {

inline ptrdiff_t at(int32_t x, int32_t y, int32_t stride)
{
    return (ptrdiff_t)y * stride + x;
}

inline int16_t biased_taps(const int16_t *c, const uint8_t *p)
{
    int32_t s = 0;
    for (int i = 0; i < 8; i++) s += c[i] * p[i - 3];
    return (int16_t)(s - MC_INTERMEDIATE_BIAS);
}

}  // namespace

// Three rows above and four below the region feed the vertical filter that
// build_subpel_planes_c runs over these planes.
void filter_h_subpel_16bit_c(int16_t *quarter, int16_t *half, int16_t *three_quarter, const uint8_t *src,
                             int32_t stride, int32_t w, int32_t h, int32_t half_only)
{
    if (w < 1 || h < 1) return;
    for (int32_t y = -3; y < h + 4; y++)
        for (int32_t x = 0; x < w; x++) {
            ptrdiff_t o = at(x, y, stride);
            half[o] = biased_taps(mc_luma_filter[2], src + o);
            if (half_only) continue;
            quarter[o] = biased_taps(mc_luma_filter[1], src + o);
            three_quarter[o] = biased_taps(mc_luma_filter[3], src + o);
        }
}

void build_subpel_planes_c(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                           int32_t stride, int32_t w, int32_t h, int32_t half_only)
{
    for (int i = 1; i < MC_PHASE_PLANES; i++) {
        if (half_only && i != 2 && i != 8 && i != 10) continue;
        interp_luma_c(planes[i], stride, src, hplanes, stride, i & 3, i >> 2, w, h);
    }
}

const uint8_t *subpel_plane_ptr_c(uint8_t *const *planes, int32_t stride, int32_t mvx, int32_t mvy)
{
    return planes[4 * (mvy & 3) + (mvx & 3)] + at(mvx >> 2, mvy >> 2, stride);
}

void mc_from_subpel_planes_c(uint8_t *dst, int32_t dst_stride, uint8_t *const *planes, int32_t stride,
                             int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    block_copy_c(dst, dst_stride, subpel_plane_ptr_c(planes, stride, mvx, mvy), stride, w, h);
}

const uint8_t *mc_luma_ref_or_interp_c(uint8_t *dst, int32_t *stride, const uint8_t *ref,
                                       const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx,
                                       int32_t mvy, int32_t w, int32_t h)
{
    if (!((mvx | mvy) & 3)) {
        *stride = ref_stride;
        return ref + at(mvx >> 2, mvy >> 2, ref_stride);
    }
    interp_luma_c(dst, *stride, ref, hplanes, ref_stride, mvx, mvy, w, h);
    return dst;
}

const uint8_t *mc_luma_ref_or_bilinear_c(uint8_t *dst, int32_t *stride, const uint8_t *ref, int32_t ref_stride,
                                         int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    if (!((mvx | mvy) & 3)) {
        *stride = ref_stride;
        return ref + at(mvx >> 2, mvy >> 2, ref_stride);
    }
    interp_luma_bilinear_c(dst, *stride, ref, ref_stride, mvx, mvy, w, h);
    return dst;
}

const uint8_t *chroma_fullpel_ptr_c(const uint8_t *plane, int32_t stride, int32_t mvx, int32_t mvy)
{
    if ((mvx | mvy) & 7) return nullptr;
    return plane + at(mvx >> 3, mvy >> 3, stride);
}
