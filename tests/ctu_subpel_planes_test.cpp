// Sub-sample planes of a reference built CTU by CTU, through a CTU thread's
// band of horizontal planes or without one, equal one build over the whole
// padded picture.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "encoder/encoder_instance.h"
#include "support/test_records.h"

namespace {

TEST(CtuSubpelPlanes, CtuAreasTileTheWholePaddedPicture)
{
    for (int run = 0; run < 4; run++) {
        int variant = 1 + run % 2;
        bool with_band = run >= 2;
        // 136 x 200: the first and last CTU rows take more than one band.
        picture_geometry g = {136, 200, 3, 4, 0, 0, 0, 1, 0};
        picture_pools pools;
        ASSERT_EQ(picture_pools_init(&pools, &g, 1, 2, nullptr), 0);
        picture *a = picture_get(&pools, PICTURE_POOL_RECON);
        picture *b = picture_get(&pools, PICTURE_POOL_RECON);
        ASSERT_TRUE(a && b);
        ASSERT_EQ(picture_subpel_attach(&pools, a), 0);
        ASSERT_EQ(picture_subpel_attach(&pools, b), 0);
        int32_t stride = a->strides[0];
        uint8_t *base = a->planes[0] - PICTURE_LUMA_MARGIN_Y * stride - PICTURE_LUMA_MARGIN_X;
        uint32_t seed = 12345;
        for (int32_t y = 0; y < g.height + 2 * PICTURE_LUMA_MARGIN_Y; y++)
            for (int32_t x = 0; x < stride; x++) {
                seed = seed * 1103515245u + 12345u;
                base[(int64_t)y * stride + x] = (uint8_t)(seed >> 16);
            }
        std::memcpy(b->planes[0] - PICTURE_LUMA_MARGIN_Y * stride - PICTURE_LUMA_MARGIN_X, base,
                    (size_t)stride * (g.height + 2 * PICTURE_LUMA_MARGIN_Y));

        row_context *inst = test_row_context_new();
        mc_table_init(0, &inst->enc->mc);
        inst->config.filter_variant = variant;
        inst->enc->width = g.width;
        inst->enc->height = g.height;
        inst->enc->ctu_cols = g.ctu_cols;
        inst->enc->ctu_rows = g.ctu_rows;
        std::vector<uint8_t> band(with_band ? (size_t)subpel_band_bytes(stride) : 0);
        inst->ctu.hplane_band = with_band ? (int16_t *)band.data() : nullptr;
        for (int r = 0; r < g.ctu_rows; r++)
            for (int q = 0; q < g.ctu_cols; q++) ctu_subpel_planes_build(inst, a, r, q);

        // The same area in one piece, with horizontal planes of the whole picture.
        int32_t x0 = -80, x1 = g.width + 80, y0 = -76, y1 = g.height + 77;
        int64_t origin = (int64_t)y0 * stride + x0;
        int64_t plane = (int64_t)(g.height + 2 * PICTURE_LUMA_MARGIN_Y) * stride;
        std::vector<int16_t> hplanes((size_t)(3 * plane));
        int16_t *h[3];
        for (int k = 0; k < 3; k++)
            h[k] = hplanes.data() + k * plane + PICTURE_LUMA_MARGIN_Y * stride + PICTURE_LUMA_MARGIN_X + origin;
        // A reference keeps the half-sample phases only.
        uint8_t *planes[16];
        for (int k = 0; k < 16; k++) {
            bool half = k == PICTURE_PHASE_HALF_X || k == PICTURE_PHASE_HALF_Y || k == PICTURE_PHASE_HALF_XY;
            EXPECT_EQ(a->subpel_planes[k] != nullptr, k == 0 || half) << "phase " << k;
            planes[k] = b->subpel_planes[k] ? b->subpel_planes[k] + origin : nullptr;
        }
        inst->enc->mc.filter_h_subpel_16bit(h[0], h[1], h[2], b->planes[0] + origin, stride, x1 - x0, y1 - y0, 1);
        inst->enc->mc.build_subpel_planes(planes, b->planes[0] + origin, h, stride, x1 - x0, y1 - y0, 1);

        int mismatches = 0;
        for (int k = 1; k < 16; k++)
            for (int32_t y = y0; y < y1 && a->subpel_planes[k]; y++)
                mismatches += std::memcmp(a->subpel_planes[k] + (int64_t)y * stride + x0,
                                          b->subpel_planes[k] + (int64_t)y * stride + x0, (size_t)(x1 - x0)) != 0;
        EXPECT_EQ(mismatches, 0) << "variant " << variant << (with_band ? " with a band" : " without a band");
        std::free(inst);
        picture_release(&pools, a);
        picture_release(&pools, b);
        picture_pools_destroy(&pools);
    }
}

}  // namespace
