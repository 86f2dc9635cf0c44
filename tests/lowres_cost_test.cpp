// Low-resolution frame costs: caching of cells, the intra cell, the row and
// CTU arrays, and which cells a window costing asks for.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/lowres_window.h"

namespace {

const int32_t kBlocks = 4 * 8;

TEST(LowresCost, IntraOnlyRequestFillsOnlyTheIntraCell)
{
    cost_window w(2);
    w.cost(1, 1, 1);
    picture *pic = w.at(1);
    // A flat picture: mean-removed error 0, so every block costs the intra offset 9.
    EXPECT_EQ(pic->frame_cost[0][0], 9 * kBlocks);
    EXPECT_EQ(w.computed_cells(1), 1);
    EXPECT_EQ(pic->lowres_intra_done, 1u);
    for (int32_t by = 0; by < 8; by++)
        for (int32_t bx = 0; bx < 4; bx++) {
            uint32_t v = pic->lowres_costs[0][0][by * 4 + bx];
            EXPECT_EQ(v >> 28, 0u);
            EXPECT_EQ(v, 9u);
        }
}

TEST(LowresCost, PCostComputesIntraFirstAndLaterCostsReuseIt)
{
    cost_window w(3);
    w.cost(0, 1, 1);
    picture *pic = w.at(1);
    EXPECT_EQ(pic->frame_cost[0][0], 9 * kBlocks);
    // A static scene predicts perfectly: every block costs the inter offset 4
    // plus twice the price of the zero vector, well below its intra cost.
    uint32_t inter = pic->lowres_costs[1][0][0] & 0x0FFFFFFF;
    EXPECT_GE(inter, 4u);
    EXPECT_LT(inter, 9u);
    EXPECT_EQ(pic->frame_cost[1][0], (int32_t)inter * kBlocks);
    EXPECT_EQ(pic->lowres_intra_done, 1u);
    EXPECT_EQ(pic->lowres_costs[1][0][0] >> 28, 1u);
    // A later B cost no longer touches the intra cell.
    pic->frame_cost[0][0] = 12345;
    w.cost(0, 2, 1);
    EXPECT_EQ(pic->frame_cost[0][0], 12345);
    EXPECT_LE(pic->frame_cost[1][1], (int32_t)inter * kBlocks);
}

TEST(LowresCost, SecondRequestForAComputedCellChangesNothing)
{
    cost_window w(2);
    w.cost(0, 1, 1);
    int32_t before = w.at(1)->frame_cost[1][0];
    w.fill(0, [](int32_t, int32_t) { return (uint8_t)0; });  // a recomputation would now see a very different reference
    w.at(1)->lowres_intra_done = 1;
    w.at(1)->frame_cost[1][0] = before;
    w.cost(0, 1, 1);
    EXPECT_EQ(w.at(1)->frame_cost[1][0], before);
}

TEST(LowresCost, RowAndCtuCostsOnlyWithVbvMaximumRate)
{
    cost_window w(2);
    w.cost(0, 1, 1);
    EXPECT_EQ(w.at(1)->row_costs[1][0][0], -1);  // as the picture preparation left it
    cost_window v(2);
    v.cfg_.vbv_maxrate = 1000;
    v.cost(0, 1, 1);
    picture *pic = v.at(1);
    // One CTU per row: 16 blocks of intra 9 and of one inter cost each.
    int32_t inter = (int32_t)(pic->lowres_costs[1][0][0] & 0x0FFFFFFF);
    EXPECT_EQ(pic->row_costs[0][0][0], 16 * 9);
    EXPECT_EQ(pic->row_costs[0][0][1], 16 * 9);
    EXPECT_EQ(pic->row_costs[1][0][1], 16 * inter);
    EXPECT_EQ(pic->ctu_costs[1][0][1], 16 * inter);
}

TEST(LowresCost, WindowCostsFollowTheTwoLevelPyramid)
{
    cost_window w(9);
    w.at(0)->picture_type = PIC_TYPE_P;
    for (int32_t i = 1; i < 8; i++) w.at(i)->picture_type = PIC_TYPE_B;
    w.at(8)->picture_type = PIC_TYPE_P;
    lookahead_window_costs(w.la_, w.frames(), 8, 1);
    EXPECT_GE(w.at(8)->frame_cost[8][0], 0);
    EXPECT_GE(w.at(4)->frame_cost[4][4], 0);  // middle from both ends
    EXPECT_GE(w.at(2)->frame_cost[2][2], 0);  // quarter from 0 and the middle
    EXPECT_GE(w.at(6)->frame_cost[2][2], 0);  // three quarters from the middle and 8
    for (int32_t b : {1, 3, 5, 7}) {
        EXPECT_GE(w.at(b)->frame_cost[1][1], 0) << "position " << b;
        EXPECT_EQ(w.computed_cells(b), 2) << "position " << b;  // its B cell and its intra cell
    }
    EXPECT_EQ(w.computed_cells(0), 0);  // the held reference is final already
}

TEST(LowresCost, WindowCostsWithOneLevelAndFlatRuns)
{
    cost_window one(5, 3, 1);
    for (int32_t i = 1; i < 4; i++) one.at(i)->picture_type = PIC_TYPE_B;
    one.at(0)->picture_type = PIC_TYPE_IDR;
    one.at(4)->picture_type = PIC_TYPE_P;
    lookahead_window_costs(one.la_, one.frames(), 4, 1);
    EXPECT_GE(one.at(4)->frame_cost[4][0], 0);
    EXPECT_GE(one.at(2)->frame_cost[2][2], 0);
    EXPECT_GE(one.at(1)->frame_cost[1][1], 0);
    EXPECT_GE(one.at(3)->frame_cost[1][1], 0);

    cost_window flat(5, 3, 0);
    for (int32_t i = 1; i < 4; i++) flat.at(i)->picture_type = PIC_TYPE_B;
    flat.at(0)->picture_type = PIC_TYPE_P;
    flat.at(4)->picture_type = PIC_TYPE_IDR;
    lookahead_window_costs(flat.la_, flat.frames(), 4, 1);
    EXPECT_GE(flat.at(4)->frame_cost[0][0], 0);
    EXPECT_EQ(flat.computed_cells(4), 1);  // an intra end picture is costed as intra only
    EXPECT_GE(flat.at(1)->frame_cost[1][3], 0);
    EXPECT_GE(flat.at(3)->frame_cost[3][1], 0);
}

TEST(LowresCost, FirstDecisionCostsTheKeyframeAsIntra)
{
    cost_window w(1);
    w.at(0)->picture_type = PIC_TYPE_IDR;
    lookahead_window_costs(w.la_, w.frames(), 0, 0);
    EXPECT_EQ(w.at(0)->frame_cost[0][0], 9 * kBlocks);
    EXPECT_EQ(w.computed_cells(0), 1);
}

TEST(LowresCost, StaticTexturedSceneCostsFarLessThanIntra)
{
    cost_window w(2);
    w.fill(0, smooth_texture(1));
    w.fill(1, smooth_texture(1));
    w.cost(0, 1, 1);
    picture *pic = w.at(1);
    EXPECT_GT(pic->frame_cost[0][0], 20 * kBlocks);  // textured: real intra costs
    EXPECT_LT(pic->frame_cost[1][0], pic->frame_cost[0][0] / 4);
    for (int32_t b = 0; b < kBlocks; b++) {
        EXPECT_EQ(pic->lowres_mvs[0][0][b], 0u) << "block " << b;
        EXPECT_EQ(pic->lowres_costs[1][0][b] >> 28, 1u) << "block " << b;
    }
}

TEST(LowresCost, SceneCutCostsAboutAsMuchAsIntra)
{
    cost_window w(2);
    w.fill(0, noise(1));
    w.fill(1, noise(2));
    w.cost(0, 1, 1);
    picture *pic = w.at(1);
    EXPECT_GE((double)pic->frame_cost[1][0], 0.9 * pic->frame_cost[0][0]);
    EXPECT_LE(pic->frame_cost[1][0], pic->frame_cost[0][0]);
}

TEST(LowresCost, PanningContentIsFoundByTheSearch)
{
    // The picture moves 6 luma samples left: every block matches its
    // reference 3 half-resolution samples (12 quarter samples) to the right.
    cost_window w(2, 7, 2, 128, 128);
    w.fill(0, smooth_texture(3));
    w.fill(1, smooth_texture(3, 6, 0));
    w.cost(0, 1, 1);
    picture *pic = w.at(1);
    EXPECT_LT(pic->frame_cost[1][0], pic->frame_cost[0][0] / 3);
    int32_t found = 0, inner = 0;
    for (int32_t by = 0; by < w.block_rows(); by++)
        for (int32_t bx = 0; bx < w.block_cols() - 1; bx++) {
            inner++;
            found += pic->lowres_mvs[0][0][by * w.block_stride() + bx] == 12u;
        }
    EXPECT_GE(2 * found, inner);
}

TEST(LowresCost, AverageOfBothReferencesIsChosenForAPictureBetweenThem)
{
    cost_window w(3);
    w.fill(0, noise(5));
    w.fill(2, noise(6));
    sample_fn a = noise(5), b = noise(6);
    w.fill(1, [&](int32_t x, int32_t y) { return (uint8_t)((a(x, y) + b(x, y) + 1) >> 1); });
    w.cost(0, 2, 2);
    w.cost(0, 2, 1);
    picture *pic = w.at(1);
    int32_t bi = 0;
    for (int32_t blk = 0; blk < kBlocks; blk++) bi += (pic->lowres_costs[1][1][blk] >> 28) == 3;
    EXPECT_GE(bi, kBlocks * 3 / 4);
    EXPECT_LT(pic->frame_cost[1][1], pic->frame_cost[0][0] / 2);
    EXPECT_LE(pic->frame_cost[1][1], pic->frame_cost[1][0] < 0 ? pic->frame_cost[0][0] : pic->frame_cost[1][0]);
}

TEST(LowresCost, SubsampledBlocksStandForTheWholePicture)
{
    cost_window w(2);
    w.cfg_.grid_cols = 2;
    w.cfg_.grid_rows = 2;
    w.cost(1, 1, 1);
    picture *pic = w.at(1);
    // Blocks (0 and 2) x (0, 2, 4, 6) of intra 9, scaled by 4.
    EXPECT_EQ(pic->frame_cost[0][0], 4 * 8 * 9);
    EXPECT_EQ(pic->intra_costs[0], 9u);
    EXPECT_EQ(pic->intra_costs[1], 0xFFFFFFFFu);            // never costed
    EXPECT_EQ(pic->intra_costs[w.block_stride()], 0xFFFFFFFFu);
}

TEST(LowresCost, BlocksPastTheHalfResolutionPictureAreNotSearched)
{
    // 72 rows: the half-resolution picture has 36, the fifth block row
    // (samples 32..39) reaches past it.
    cost_window w(2, 7, 2, 64, 72);
    w.fill(0, smooth_texture(4));
    w.fill(1, smooth_texture(4));
    w.cost(0, 1, 1);
    picture *pic = w.at(1);
    int32_t stride = w.block_stride();
    for (int32_t bx = 0; bx < 4; bx++) {
        EXPECT_EQ(pic->lowres_mv_costs[0][0][4 * stride + bx], (uint32_t)0x1FFFFFFF);
        EXPECT_EQ(pic->lowres_costs[1][0][4 * stride + bx], pic->intra_costs[4 * stride + bx]);  // intra, kind 0
        EXPECT_LT(pic->lowres_mv_costs[0][0][3 * stride + bx], (uint32_t)0x1FFFFFFF);
    }
}

TEST(LowresCost, VectorsOfADistanceAreSearchedOnceAndReused)
{
    cost_window w(3);
    w.fill(0, smooth_texture(8));
    w.fill(1, smooth_texture(8, 4, 2));
    w.fill(2, smooth_texture(8, 8, 4));
    w.cost(0, 1, 1);
    picture *pic = w.at(1);
    uint32_t planted = 0x00040008u;  // (8, 4)
    pic->lowres_mvs[0][0][5] = planted;
    pic->lowres_mv_costs[0][0][5] = 3;
    w.cost(0, 2, 1);  // list 0 at distance 1 again: reused, not searched
    EXPECT_EQ(pic->lowres_mvs[0][0][5], planted);
    EXPECT_NE(pic->lowres_mvs[1][0][0] & 0xFFFF, 0x7FFFu);  // list 1 searched now
}

TEST(LowresCost, RateControlCostOfACellNeverComputedFallsBackToIntra)
{
    cost_window w(3);
    picture *pic = w.at(2), *ref = w.at(0);
    pic->picture_type = PIC_TYPE_P;
    pic->poc = 10;
    ref->poc = 8;
    pic->frame_cost[0][0] = 500;
    EXPECT_EQ(lookahead_rc_cost(&w.cfg_, pic, nullptr, ref, nullptr), 500);
    EXPECT_EQ(pic->frame_cost_rc, 500);
    pic->frame_cost[0][0] = -1;  // nothing computed: never a negative size estimate
    EXPECT_EQ(lookahead_rc_cost(&w.cfg_, pic, nullptr, ref, nullptr), 0);
    pic->frame_cost[2][0] = 200;
    EXPECT_EQ(lookahead_rc_cost(&w.cfg_, pic, nullptr, ref, nullptr), 200);
}

}  // namespace

namespace {

// Scene-cut threshold: P cost against the intra cost less a bias that grows
// with the distance from the latest keyframe.
int32_t cut_at(cost_window *w, int32_t g, int32_t pcost)
{
    picture *pic = w->at(1);
    w->la_->last_keyframe = 0;
    pic->frame_number = g;
    pic->frame_cost[0][0] = 1000;
    pic->frame_cost[1][0] = pcost;
    pic->lowres_intra_done = 1;
    return lookahead_scenecut_test(w->la_, 0, 1);
}

TEST(SceneCutThreshold, BiasRisesFromKeyframeToPeriod)
{
    cost_window w(2);
    w.cfg_.scenecut = 40;
    w.cfg_.min_idr = 24;
    w.cfg_.idr_period = 250;
    // Up to min_idr / 4 pictures after a keyframe: 97.5 %.
    EXPECT_EQ(cut_at(&w, 3, 976), 1);
    EXPECT_EQ(cut_at(&w, 6, 974), 0);
    // Linear to 90 % at min_idr: 15 pictures give 93.75 %.
    EXPECT_EQ(cut_at(&w, 15, 938), 1);
    EXPECT_EQ(cut_at(&w, 15, 937), 0);
    EXPECT_EQ(cut_at(&w, 24, 901), 1);
    EXPECT_EQ(cut_at(&w, 24, 899), 0);
    // Then linear to 60 % at the IDR period.
    EXPECT_EQ(cut_at(&w, 250, 601), 1);
    EXPECT_EQ(cut_at(&w, 250, 599), 0);
}

TEST(SceneCutThreshold, MinimumEqualToPeriodUsesTheFullBias)
{
    cost_window w(2);
    w.cfg_.scenecut = 40;
    w.cfg_.min_idr = 250;
    w.cfg_.idr_period = 250;
    // tmin = tmax = 0.4: 100 pictures give 0.16, beyond min_idr 0.4.
    EXPECT_EQ(cut_at(&w, 100, 841), 1);
    EXPECT_EQ(cut_at(&w, 100, 839), 0);
    EXPECT_EQ(cut_at(&w, 300, 601), 1);
    EXPECT_EQ(cut_at(&w, 300, 599), 0);
}

}  // namespace
