// AVX2 sub-sample phase planes of a reconstructed reference region and the copy
// of a block out of them. The planes are the 8-bit interpolation of every
// fractional vector, so they come from the AVX2 luma interpolation itself,
// which reads the region's horizontal 16-bit planes when it is given them.
#include "kernels/mc/mc_avx2.h"

void build_subpel_planes_avx2(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                              int32_t stride, int32_t w, int32_t h, int32_t half_only)
{
    for (int i = 1; i < MC_PHASE_PLANES; i++) {
        if (half_only && i != 2 && i != 8 && i != 10) continue;
        interp_luma_avx2(planes[i], stride, src, hplanes, stride, i & 3, i >> 2, w, h);
    }
}

void mc_from_subpel_planes_avx2(uint8_t *dst, int32_t dst_stride, uint8_t *const *planes, int32_t stride,
                                int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    block_copy_avx2(dst, dst_stride, subpel_plane_ptr_c(planes, stride, mvx, mvy), stride, w, h);
}
