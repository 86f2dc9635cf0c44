// 128-bit sub-sample planes of a reconstructed reference region: the three
// horizontal 16-bit planes (filtered once per region), and the fifteen 8-bit
// phase planes derived from them with one vertical pass or none.
#include "kernels/mc/mc_ssse3.h"
#include "kernels/mc/ssse3_util.h"

using namespace mc_ssse3;

namespace {

template <int G>
void filter_h_plane(int16_t *plane, const uint8_t *src, int32_t stride, int32_t w, int32_t h, int phase_index)
{
    if (w < 1 || h + 7 < 1) return;
    __m128i taps[4];
    for (int k = 0; k < 4; k++) taps[k] = load16(luma_tap_pairs_i8[phase_index][k]);
    const __m128i bias = splat16(MC_INTERMEDIATE_BIAS);
    // Three rows above and four below the region feed the vertical filter of
    // the phase planes.
    for (int32_t y = -3; y < h + 4; y++) {
        const uint8_t *s = src + at(0, y, stride);
        int16_t *d = plane + at(0, y, stride);
        for (int32_t x = 0; x < w; x += G) {
            int n = w - x < G ? (int)(w - x) : G;
            store_words(d + x, _mm_sub_epi16(luma_h8(s + x, taps), bias), n);
            if (G == 16 && n > 8) store_words(d + x + 8, _mm_sub_epi16(luma_h8(s + x + 8, taps), bias), n - 8);
        }
    }
}

}  // namespace

void filter_h_subpel_16bit_w8_ssse3(int16_t *plane, const uint8_t *src, int32_t stride, int32_t w, int32_t h,
                                    int32_t phase_index)
{
    filter_h_plane<8>(plane, src, stride, w, h, phase_index);
}

void filter_h_subpel_16bit_w16_ssse3(int16_t *plane, const uint8_t *src, int32_t stride, int32_t w, int32_t h,
                                     int32_t phase_index)
{
    filter_h_plane<16>(plane, src, stride, w, h, phase_index);
}

void filter_h_subpel_16bit_ssse3(int16_t *quarter, int16_t *half, int16_t *three_quarter, const uint8_t *src,
                                 int32_t stride, int32_t w, int32_t h, int32_t half_only)
{
    // Like the portable kernel, an empty region writes nothing (the workers
    // alone would still fill the seven rows around it).
    if (w < 1 || h < 1) return;
    auto worker = w > 8 ? filter_h_subpel_16bit_w16_ssse3 : filter_h_subpel_16bit_w8_ssse3;
    worker(half, src, stride, w, h, 1);
    if (half_only) return;
    worker(quarter, src, stride, w, h, 0);
    worker(three_quarter, src, stride, w, h, 2);
}

void interp_luma_hplanes_ssse3(uint8_t *dst, int32_t dst_stride, const uint8_t *src,
                               const int16_t *const *hplanes, int32_t src_stride, int32_t mvx, int32_t mvy,
                               int32_t w, int32_t h)
{
    ptrdiff_t offset = at(mvx >> 2, mvy >> 2, src_stride);
    int px = mvx & 3, py = mvy & 3;
    if (!px && !py)
        block_copy_c(dst, dst_stride, src + offset, src_stride, w, h);
    else if (!px)
        (w > 8 ? interp_luma_v_w16_ssse3 : interp_luma_v_w8_ssse3)(dst, dst_stride, src + offset, src_stride, 0,
                                                                   py, w, h);
    else if (!py)
        (w > 8 ? hplane_to_pixels_w16_ssse3 : hplane_to_pixels_w8_ssse3)(dst, dst_stride,
                                                                         hplanes[px - 1] + offset, src_stride, w, h);
    else
        (w > 4 ? interp_luma_hplane_v_w8_ssse3 : interp_luma_hplane_v_w4_ssse3)(
            dst, dst_stride, hplanes[px - 1] + offset, src_stride, px, py, w, h);
}

void build_subpel_planes_ssse3(uint8_t *const *planes, const uint8_t *src, const int16_t *const *hplanes,
                               int32_t stride, int32_t w, int32_t h, int32_t half_only)
{
    // The vector path finishes the horizontal planes; without them the
    // portable builder filters the samples itself.
    if (!hplanes) {
        build_subpel_planes_c(planes, src, hplanes, stride, w, h, half_only);
        return;
    }
    if (w < 1 || h < 1) return;
    if (half_only) {
        static const int half_planes[3] = {2, 8, 10};
        for (int i : half_planes)
            interp_luma_hplanes_ssse3(planes[i], stride, src, hplanes, stride, i & 3, i >> 2, w, h);
        return;
    }
    // Planes 1 .. 3 finish the horizontal planes; each column of planes
    // (4 + px, 8 + px, 12 + px) comes from one vertical pass over its input.
    for (int i = 1; i < 4; i++) interp_luma_hplanes_ssse3(planes[i], stride, src, hplanes, stride, i, 0, w, h);
    for (int px = 0; px < 4; px++) {
        uint8_t *const out[3] = {planes[4 + px], planes[8 + px], planes[12 + px]};
        subpel_vert3_planes_sse41(out, stride, src, hplanes, stride, px, 0, w, h);
    }
}
