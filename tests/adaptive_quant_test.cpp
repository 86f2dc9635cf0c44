// Adaptive quantisation: block energy, the two offset modes, the flat arrays
// of strength 0 and the extent of the block grid.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "encoder/config.h"
#include "encoder/fixed_point.h"
#include "encoder/picture.h"
#include "kernels/metrics/metric.h"
#include "ratecontrol/ratecontrol.h"

namespace {

struct aq_fixture {
    internal_config cfg;
    picture *pic = nullptr;
    metric_table mt;
    int32_t entries = 0;
    int32_t stride = 0;

    aq_fixture(int32_t width, int32_t height, int32_t mode, float strength)
    {
        config_defaults(&cfg);
        cfg.width = width;
        cfg.height = height;
        cfg.aq_mode = mode;
        cfg.aq_strength = strength;
        picture_geometry g = {};
        g.width = width;
        g.height = height;
        g.ctu_cols = (width + 63) / 64;
        g.ctu_rows = (height + 63) / 64;
        g.aq = 1;
        pic = picture_alloc(&g, PICTURE_POOL_SOURCE);
        metric_table_init(0, &mt, 0);
        entries = 16 * g.ctu_cols * g.ctu_rows;
        stride = 4 * g.ctu_cols;
        fill(128);
        mark();
    }
    ~aq_fixture() { picture_free(pic); }

    void fill(uint8_t v)
    {
        for (int p = 0; p < 3; p++) {
            int32_t h = p ? cfg.height / 2 : cfg.height, w = p ? cfg.width / 2 : cfg.width;
            // Cover the CTU-aligned area so edge blocks read defined samples.
            h = (h + 63) & ~63;
            w = (w + 63) & ~63;
            for (int32_t y = 0; y < h; y++) std::memset(pic->planes[p] + (int64_t)y * pic->strides[p], v, (size_t)w);
        }
    }
    // Values no computation produces, to see which entries were written.
    void mark()
    {
        for (int32_t i = 0; i < entries; i++) {
            pic->aq_qp_offset[i] = 999.0f;
            pic->aq_weight[i] = 7;
            pic->mbtree_qp_offset[i] = 555.0f;
        }
    }
};

TEST(AdaptiveQuant, ModeZeroLeavesArraysUntouched)
{
    aq_fixture f(128, 128, 0, 1.0f);
    ASSERT_NE(f.pic, nullptr);
    adaptive_quant_frame(&f.cfg, &f.mt, f.pic);
    for (int32_t i = 0; i < f.entries; i++) {
        EXPECT_EQ(f.pic->aq_qp_offset[i], 999.0f);
        EXPECT_EQ(f.pic->aq_weight[i], 7);
    }
}

TEST(AdaptiveQuant, StrengthZeroWritesFlatArraysOverTheWholeGrid)
{
    aq_fixture f(72, 40, 1, 0.0f);
    ASSERT_NE(f.pic, nullptr);
    adaptive_quant_frame(&f.cfg, &f.mt, f.pic);
    for (int32_t i = 0; i < f.entries; i++) {
        EXPECT_EQ(f.pic->aq_qp_offset[i], 0.0f);
        EXPECT_EQ(f.pic->aq_weight[i], 256);
        EXPECT_EQ(f.pic->mbtree_qp_offset[i], 0.0f);
    }
}

TEST(AdaptiveQuant, FlatBlockInLogEnergyModeGetsAboutMinusFifteen)
{
    aq_fixture f(64, 64, 1, 1.0f);
    ASSERT_NE(f.pic, nullptr);
    adaptive_quant_frame(&f.cfg, &f.mt, f.pic);
    for (int32_t i = 0; i < 16; i++) {
        EXPECT_NEAR(f.pic->aq_qp_offset[i], -14.427f * 1.0397f, 1e-4);
        EXPECT_EQ(f.pic->aq_weight[i], 1448);
        EXPECT_EQ(f.pic->mbtree_qp_offset[i], 555.0f);  // only strength 0 clears it
    }
}

TEST(AdaptiveQuant, BlockEnergyIsCountTimesVariance)
{
    aq_fixture f(64, 64, 1, 1.0f);
    ASSERT_NE(f.pic, nullptr);
    // Block (1, 2): left half 0, right half 255 in luma; chroma flat.
    for (int32_t y = 32; y < 48; y++)
        for (int32_t x = 16; x < 32; x++) f.pic->planes[0][(int64_t)y * f.pic->strides[0] + x] = x < 24 ? 0 : 255;
    EXPECT_EQ(aq_block_energy(&f.mt, 1, 2, f.pic), 4161600u);
    EXPECT_EQ(aq_block_energy(&f.mt, 0, 0, f.pic), 0u);
    // A chroma ramp adds its own term: sum 8 x (0 + .. + 7) per row block.
    for (int32_t y = 0; y < 8; y++)
        for (int32_t x = 0; x < 8; x++) f.pic->planes[1][(int64_t)y * f.pic->strides[1] + x] = (uint8_t)x;
    // 64 samples of 0..7: sum 224, squares 1120; 1120 - 224^2 / 64 = 336.
    EXPECT_EQ(aq_block_energy(&f.mt, 0, 0, f.pic), 336u);
    adaptive_quant_frame(&f.cfg, &f.mt, f.pic);
    // Busier blocks get higher offsets.
    EXPECT_GT(f.pic->aq_qp_offset[2 * f.stride + 1], f.pic->aq_qp_offset[0]);
    EXPECT_GT(f.pic->aq_qp_offset[0], f.pic->aq_qp_offset[1]);
}

TEST(AdaptiveQuant, OnlyBlocksInsideThePictureAreWritten)
{
    aq_fixture f(200, 136, 1, 1.0f);
    ASSERT_NE(f.pic, nullptr);
    adaptive_quant_frame(&f.cfg, &f.mt, f.pic);
    const int32_t cols = (200 + 15) / 16, rows = (136 + 15) / 16;
    for (int32_t by = 0; by < 12; by++)
        for (int32_t bx = 0; bx < f.stride; bx++) {
            int32_t b = by * f.stride + bx;
            bool inside = bx < cols && by < rows;
            EXPECT_EQ(f.pic->aq_qp_offset[b] != 999.0f, inside) << bx << "," << by;
            EXPECT_EQ(f.pic->aq_weight[b] != 7, inside) << bx << "," << by;
        }
}

TEST(AdaptiveQuant, AutoVarianceCentresOnTheWholeGrid)
{
    // All blocks flat: a = 1 everywhere, centre 1 - (1 - 14) x 0.5 = 7.5.
    aq_fixture f(128, 64, 2, 1.0f);
    ASSERT_NE(f.pic, nullptr);
    adaptive_quant_frame(&f.cfg, &f.mt, f.pic);
    for (int32_t i = 0; i < f.entries; i++) {
        EXPECT_FLOAT_EQ(f.pic->aq_qp_offset[i], -6.5f);
        EXPECT_EQ(f.pic->aq_weight[i], (uint16_t)exp2_fixed_from_float(-6.5f));
    }
}

TEST(AdaptiveQuant, AutoVarianceMeanDividesByCtuAlignedGrid)
{
    // 64x40: 4 x 3 blocks inside, 16 in the grid. Flat: S1 = 12, m = 12 / 16.
    aq_fixture f(64, 40, 2, 1.0f);
    ASSERT_NE(f.pic, nullptr);
    adaptive_quant_frame(&f.cfg, &f.mt, f.pic);
    float m = 12.0f / 16.0f;
    float centre = m - (12.0f / 16.0f - 14.0f) * 0.5f / m;
    EXPECT_FLOAT_EQ(f.pic->aq_qp_offset[0], (1.0f - centre) * m);
    EXPECT_EQ(f.pic->aq_qp_offset[3 * f.stride], 999.0f);
}

}  // namespace
