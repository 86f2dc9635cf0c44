// Sub-sample planes of a reference built CTU by CTU, through a CTU thread's
// band of horizontal planes or without one, equal one build over the whole
// padded picture; the quarter-sample window of a CTU hands out the blocks an
// interpolation of the reference gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/motion/quarter_window.h"
#include "encoder/encoder_instance.h"
#include "support/kernel_check.h"
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

// Reads of every phase at random places around CTUs in the corners and the
// middle of the picture, the tiles made in whatever order the reads come;
// two entries of one picture share its tiles, and a read the window cannot
// serve returns null.
TEST(CtuSubpelPlanes, QuarterWindowBlocksEqualTheInterpolatedBlocks)
{
    picture_geometry g = {136, 200, 3, 4, 0, 0, 0, 0, 0};
    picture_pools pools;
    ASSERT_EQ(picture_pools_init(&pools, &g, 1, 2, nullptr), 0);
    picture *ref[2] = {picture_get(&pools, PICTURE_POOL_RECON), picture_get(&pools, PICTURE_POOL_RECON)};
    ASSERT_TRUE(ref[0] && ref[1]);
    int32_t stride = ref[0]->strides[0];
    std::mt19937 rng(7);
    for (picture *p : ref) {
        uint8_t *base = p->planes[0] - PICTURE_LUMA_MARGIN_Y * stride - PICTURE_LUMA_MARGIN_X;
        for (int64_t i = 0; i < (int64_t)stride * (g.height + 2 * PICTURE_LUMA_MARGIN_Y); i++) base[i] = (uint8_t)rng();
    }
    quarter_window *w = quarter_window_create();
    ASSERT_NE(w, nullptr);
    const int ctus[3][2] = {{0, 0}, {1, 1}, {2, 3}};
    std::vector<uint8_t> want(64 * 64);
    for (int level = 0; level < KERNEL_LEVELS; level++) {
        if (!kernel_level_present(level)) continue;
        mc_table mc;
        mc_table_init(kernel_level_flags(level), &mc);
        for (const auto &c : ctus) {
            int32_t cx = 64 * c[0], cy = 64 * c[1];
            int64_t origin = (int64_t)cy * stride + cx;
            quarter_window_begin(w, &mc, stride, cx, cy, g.width, g.height);
            quarter_window_add(w, 0, 0, ref[0]->planes[0] + origin);
            quarter_window_add(w, 1, 0, ref[1]->planes[0] + origin);
            quarter_window_add(w, 1, 1, ref[0]->planes[0] + origin);
            EXPECT_EQ(w->refs, 2);
            int mismatches = 0, served = 0;
            for (int i = 0; i < 3000; i++) {
                static const int sizes[] = {4, 8, 12, 16, 24, 32, 48, 64};
                int32_t bw = sizes[rng() % 8], bh = sizes[rng() % 8];
                int32_t list = (int32_t)(rng() % 2), idx = list ? (int32_t)(rng() % 2) : 0;
                // Blocks within the area the planes of a reference cover.
                int32_t lo_x = std::max(-64, -71 - cx), hi_x = std::min(128, g.width + 71 - cx) - bw;
                int32_t lo_y = std::max(-56, -71 - cy), hi_y = std::min(120, g.height + 71 - cy) - bh;
                int32_t X = 4 * (lo_x + (int32_t)(rng() % (uint32_t)(hi_x - lo_x + 1))) + (int32_t)(rng() % 4);
                int32_t Y = 4 * (lo_y + (int32_t)(rng() % (uint32_t)(hi_y - lo_y + 1))) + (int32_t)(rng() % 4);
                int32_t qs = -1;
                const uint8_t *q = quarter_window_block(w, list, idx, X, Y, bw, bh, &qs);
                bool quarter = (X & 1) || (Y & 1);
                ASSERT_EQ(q != nullptr, quarter) << X << "," << Y;
                if (!q) continue;
                const picture *r = list && !idx ? ref[1] : ref[0];
                interp_luma_c(want.data(), 64, r->planes[0] + origin, nullptr, stride, X, Y, bw, bh);
                for (int32_t y = 0; y < bh; y++)
                    mismatches += std::memcmp(q + (int64_t)y * qs, want.data() + 64 * y, (size_t)bw) != 0;
                served++;
            }
            EXPECT_EQ(mismatches, 0) << kernel_level_name(level) << " CTU " << c[0] << "," << c[1];
            EXPECT_GT(served, 2000);
            int32_t qs = 0;
            EXPECT_EQ(quarter_window_block(w, 0, 0, 4 * 80 + 1, 1, 64, 8, &qs), nullptr);  // past the window
            EXPECT_EQ(quarter_window_block(w, 0, 1, 1, 1, 8, 8, &qs), nullptr);            // no such entry
        }
    }
    quarter_window_free(w);
    picture_release(&pools, ref[0]);
    picture_release(&pools, ref[1]);
    picture_pools_destroy(&pools);
}

}  // namespace
