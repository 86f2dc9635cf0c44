// CTU QP and lambdas, and the per-CTU QP sums of the rows.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "encoder/config.h"
#include "encoder/lambda_tables.h"
#include "encoder/picture.h"
#include "ratecontrol/ratecontrol.h"

namespace {

struct ctu_fixture {
    internal_config cfg;
    lambda_tables lambdas;
    ratecontrol rc = {};
    std::unique_ptr<picture> source{new picture()};
    std::unique_ptr<picture> recon{new picture()};
    std::vector<float> aq_offsets = std::vector<float>(64, 0.0f);
    std::vector<float> tree_offsets = std::vector<float>(64, 0.0f);
    std::vector<float> row_qp = std::vector<float>(4, 0.0f);
    std::vector<uint8_t> ctu_qps = std::vector<uint8_t>(4, 0);
    rc_ctu_context ctx = {};

    ctu_fixture()
    {
        config_defaults(&cfg);
        cfg.width = 128;
        cfg.height = 128;
        cfg.bframes = 7;
        cfg.hierarchy = 2;
        lambda_tables_init(&lambdas, &cfg);
        source->aq_qp_offset = aq_offsets.data();
        source->mbtree_qp_offset = tree_offsets.data();
        recon->vbv_row_qp = row_qp.data();
        recon->ctu_qps = ctu_qps.data();
        source->picture_type = PIC_TYPE_P;
        rc.frame_qp_f = 30.0f;
        ctx.rc = &rc;
        ctx.cfg = &cfg;
        ctx.lambdas = &lambdas;
        ctx.source = source.get();
        ctx.recon = recon.get();
        ctx.slice_class = 1;
        ctx.block_stride = 8;
        ctx.cbr_ctu_ratio = 1.0;
    }
    int32_t qp_at(float frame_qp)
    {
        rc.frame_qp_f = frame_qp;
        rc_ctu_qp(&ctx);
        return ctx.ctu_qp;
    }
};

TEST(CtuQp, RoundsHalfUpAndClampsToTheQpRange)
{
    ctu_fixture f;
    EXPECT_EQ(f.qp_at(25.5f), 26);
    EXPECT_EQ(f.qp_at(25.49f), 25);
    EXPECT_EQ(f.qp_at(2.0f), f.cfg.qp_min);
    f.cfg.qp_max = 45;
    EXPECT_EQ(f.qp_at(49.0f), 45);
    EXPECT_EQ(f.qp_at(NAN), f.cfg.qp_min);
}

TEST(CtuQp, ConstantBitrateRatioShiftsBySixPerDoubling)
{
    ctu_fixture f;
    f.cfg.rc_mode = RC_MODE_CBR;
    f.cfg.aq_mode = 1;
    f.aq_offsets[0] = 5.0f;  // not read in CBR mode
    f.ctx.cbr_ctu_ratio = 1.0;
    EXPECT_EQ(f.qp_at(30.2f), 30);
    f.ctx.cbr_ctu_ratio = 2.0;
    EXPECT_EQ(f.qp_at(30.2f), 24);
    EXPECT_EQ(f.qp_at(30.6f), 25);
}

TEST(CtuQp, VbvRowQpReplacesTheFrameQpAndKeepsTheOffsets)
{
    ctu_fixture f;
    f.rc.vbv = 1;
    f.row_qp[1] = 33.4f;
    f.ctx.ctu_y = 1;
    f.aq_offsets[4 * 8] = -8.0f;
    EXPECT_EQ(f.qp_at(20.0f), 33);  // without AQ no offset applies
    f.cfg.aq_mode = 1;
    EXPECT_EQ(f.qp_at(20.0f), 25);
}

TEST(CtuQp, AqUsesTopLeftBlockOfTheCtuOnly)
{
    ctu_fixture f;
    f.cfg.aq_mode = 1;
    // CTU (1, 1): its top-left block is block (4, 4) = 4 x 8 + 4 in the stride-8 grid.
    f.ctx.ctu_x = 1;
    f.ctx.ctu_y = 1;
    f.ctx.ctu_index = 3;
    f.aq_offsets[4 * 8 + 4] = -3.0f;
    f.aq_offsets[4 * 8 + 5] = 9.0f;
    f.aq_offsets[5 * 8 + 4] = 9.0f;
    f.tree_offsets[4 * 8 + 4] = 2.0f;
    f.source->mbtree_offsets_apply = 0;
    EXPECT_EQ(f.qp_at(30.0f), 27);
    f.source->mbtree_offsets_apply = 1;
    EXPECT_EQ(f.qp_at(30.0f), 32);
    EXPECT_EQ(f.ctu_qps[3], 32);
}

TEST(CtuQp, LambdaRowFollowsSliceAndLayer)
{
    ctu_fixture f;
    f.ctx.slice_class = 2;
    f.source->picture_type = PIC_TYPE_IDR;
    f.qp_at(30.0f);
    EXPECT_EQ(f.ctx.lambda_sse, f.lambdas.sse[0][30]);
    EXPECT_EQ(f.ctx.lambda_satd, f.lambdas.satd[0][30]);
    f.ctx.slice_class = 1;
    f.source->picture_type = PIC_TYPE_P;
    f.qp_at(31.0f);
    EXPECT_EQ(f.ctx.lambda_sse, f.lambdas.sse[1][31]);
    f.ctx.slice_class = 0;
    for (int32_t layer = 1; layer <= 3; layer++) {
        f.source->picture_type = layer == 3 ? PIC_TYPE_B : PIC_TYPE_BREF;
        f.source->layer = (uint8_t)layer;
        f.qp_at(32.0f);
        EXPECT_EQ(f.ctx.lambda_sse, f.lambdas.sse[layer + 1][32]) << "layer " << layer;
        EXPECT_EQ(f.ctx.lambda_satd, f.lambdas.satd[layer + 1][32]) << "layer " << layer;
    }
}

TEST(CtuQp, RowSumsAccumulateIntoThePictureRecord)
{
    ctu_fixture f;
    f.cfg.rc_mode = RC_MODE_CQP;
    f.rc.ctu_count = 4;
    f.rc.frame_qp_f = 30.0f;
    for (int32_t row = 0; row < 2; row++) {
        f.ctx.qp_plan_row_sum = f.ctx.qp_coded_row_sum = 0.0f;
        for (int32_t col = 0; col < 2; col++) {
            f.ctx.ctu_x = col;
            f.ctx.ctu_y = row;
            f.ctx.ctu_index = row * 2 + col;
            rc_row_update(&f.ctx);
            rc_ctu_qp(&f.ctx);
            rc_row_vbv_adjust(&f.ctx, 100);
        }
        rc_accumulate_ctu_qp(&f.ctx);
    }
    EXPECT_FLOAT_EQ(f.rc.qp_plan_sum, 120.0f);
    EXPECT_FLOAT_EQ(f.rc.qp_coded_sum, 120.0f);
}

}  // namespace
