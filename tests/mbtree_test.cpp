// Macroblock-tree: how a block's amount reaches its reference blocks (zero
// vector, whole-block and fractional vectors, picture edges, bi-prediction,
// saturation, subsampled grids) and the QP offsets a window produces.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/lowres_window.h"

namespace {

const uint32_t KIND_L0 = 1u << 28, KIND_BI = 3u << 28;

uint32_t mv(int32_t x, int32_t y)
{
    return (uint32_t)(uint16_t)x | ((uint32_t)(uint16_t)y << 16);
}

// Window of three pictures, 4 x 8 blocks each: b = 1 between 0 and 2. Every
// block of picture 1 is intra 100 and zero-vector list-0 inter 20 unless a
// test says otherwise; all propagate costs start at 0.
class propagation : public ::testing::Test {
  protected:
    propagation() : w_(3, 1, 0)
    {
        for (int32_t i = 0; i < 3; i++) {
            std::memset(w_.at(i)->propagate_costs, 0, 4 * 32);
            for (int32_t b = 0; b < 32; b++) w_.at(i)->intra_costs[b] = 100;
        }
        picture *pic = w_.at(1);
        for (int32_t b = 0; b < 32; b++) {
            pic->lowres_costs[1][0][b] = KIND_L0 | 20;
            pic->lowres_costs[1][1][b] = KIND_L0 | 20;
            pic->lowres_mvs[0][0][b] = 0;
            pic->lowres_mvs[1][0][b] = 0;
        }
    }
    uint32_t *costs(int32_t pic) { return w_.at(pic)->propagate_costs; }
    uint32_t sum(int32_t pic)
    {
        uint32_t s = 0;
        for (int32_t b = 0; b < 32; b++) s += costs(pic)[b];
        return s;
    }
    // Only block (x, y) of picture 1 passes anything on.
    void only_block(int32_t x, int32_t y, uint32_t entry, uint32_t vector)
    {
        for (int32_t b = 0; b < 32; b++) w_.at(1)->lowres_costs[1][0][b] = 100;  // intra: nothing
        w_.at(1)->lowres_costs[1][0][y * 4 + x] = entry;
        w_.at(1)->lowres_mvs[0][0][y * 4 + x] = vector;
    }
    void propagate(int32_t p0, int32_t p1, int32_t referenced)
    {
        mbtree_propagate(w_.la_, w_.frames(), p0, p1, 1, referenced);
    }

    cost_window w_;
};

using Propagation = propagation;

TEST_F(Propagation, ZeroVectorPassesTheSavedShareToTheCoLocatedBlock)
{
    only_block(1, 2, KIND_L0 | 20, 0);
    propagate(0, 1, 1);
    // (100 - 20) x (100 + 0) / 100
    EXPECT_EQ(costs(0)[2 * 4 + 1], 80u);
    EXPECT_EQ(sum(0), 80u);
}

TEST_F(Propagation, InheritedAmountIsPassedOnInTheSameProportion)
{
    only_block(1, 2, KIND_L0 | 20, 0);
    costs(1)[2 * 4 + 1] = 50;
    propagate(0, 1, 1);
    EXPECT_EQ(costs(0)[2 * 4 + 1], 120u);  // 80 x 150 / 100
    // Not referenced: the picture's own inherited amounts are ignored.
    std::memset(costs(0), 0, 4 * 32);
    costs(1)[2 * 4 + 1] = 50;
    propagate(0, 1, 0);
    EXPECT_EQ(costs(0)[2 * 4 + 1], 80u);
}

TEST_F(Propagation, WholeBlockVectorMovesTheAmountToTheNeighbour)
{
    only_block(1, 2, KIND_L0 | 20, mv(32, 0));
    propagate(0, 1, 1);
    EXPECT_EQ(costs(0)[2 * 4 + 2], 80u);
    EXPECT_EQ(sum(0), 80u);
    std::memset(costs(0), 0, 4 * 32);
    only_block(1, 2, KIND_L0 | 20, mv(-32, -64));
    propagate(0, 1, 1);
    EXPECT_EQ(costs(0)[0 * 4 + 0], 80u);
}

TEST_F(Propagation, FractionalVectorSplitsInBilinearShares)
{
    only_block(1, 2, KIND_L0 | 20, mv(8, 16));  // a quarter right, half down
    propagate(0, 1, 1);
    EXPECT_EQ(costs(0)[2 * 4 + 1], (24u * 16 * 80 + 512) >> 10);  // 30
    EXPECT_EQ(costs(0)[2 * 4 + 2], (8u * 16 * 80 + 512) >> 10);   // 10
    EXPECT_EQ(costs(0)[3 * 4 + 1], 30u);
    EXPECT_EQ(costs(0)[3 * 4 + 2], 10u);
}

TEST_F(Propagation, SharesPointingPastThePictureAreLost)
{
    only_block(3, 7, KIND_L0 | 20, mv(16, 16));
    propagate(0, 1, 1);
    EXPECT_EQ(costs(0)[7 * 4 + 3], 20u);  // the only target inside
    EXPECT_EQ(sum(0), 20u);
    std::memset(costs(0), 0, 4 * 32);
    only_block(0, 0, KIND_L0 | 20, mv(-16, 0));
    propagate(0, 1, 1);
    EXPECT_EQ(costs(0)[0], 40u);
    EXPECT_EQ(sum(0), 40u);
}

TEST_F(Propagation, BiPredictedBlockGivesEachReferenceHalf)
{
    for (int32_t b = 0; b < 32; b++) w_.at(1)->lowres_costs[1][1][b] = 100;
    w_.at(1)->lowres_costs[1][1][5] = KIND_BI | 21;  // amount 79
    propagate(0, 2, 1);
    EXPECT_EQ(costs(0)[5], 40u);
    EXPECT_EQ(costs(2)[5], 40u);
}

TEST_F(Propagation, IntraBlocksPassNothingOn)
{
    for (int32_t b = 0; b < 32; b++) w_.at(1)->lowres_costs[1][0][b] = 60;  // kind 0
    propagate(0, 1, 1);
    EXPECT_EQ(sum(0), 0u);
}

TEST_F(Propagation, ExtremeCostsSaturateWithoutOverflow)
{
    picture *pic = w_.at(1);
    for (int32_t b = 0; b < 32; b++) {
        pic->intra_costs[b] = 0x0FFFFFFF;
        pic->lowres_costs[1][0][b] = KIND_L0;
        pic->aq_weight[b] = 0xFFFF;
        pic->propagate_costs[b] = 0xFFFFFF;
        pic->lowres_mvs[0][0][b] = mv(16, 16);
    }
    costs(0)[9] = 0xFFFFF0;
    propagate(0, 1, 1);
    for (int32_t b = 0; b < 32; b++) EXPECT_EQ(costs(0)[b], 0xFFFFFFu) << "block " << b;
}

TEST_F(Propagation, SubsampledGridSnapsTargetsToCostedBlocks)
{
    w_.cfg_.grid_cols = 2;
    w_.cfg_.grid_rows = 2;
    only_block(2, 2, KIND_L0 | 20, mv(32, 32));  // points at block (3, 3)
    propagate(0, 1, 1);
    EXPECT_EQ(costs(0)[2 * 4 + 2], 80u);
}

TEST(MbtreeOffsets, StaticBackgroundIsLoweredAndNoiseStaysNearZero)
{
    // Two CTUs: the left one a still texture, the right one fresh noise in
    // every picture.
    cost_window w(9, 3, 1, 128, 64, 0, 1);
    sample_fn still = smooth_texture(21);
    for (int32_t i = 0; i < 9; i++) {
        sample_fn fresh = noise(100 + i);
        w.fill(i, [&](int32_t x, int32_t y) { return x < 64 ? still(x, y) : fresh(x, y); });
        w.at(i)->picture_type = (i % 4 == 0) ? PIC_TYPE_P : PIC_TYPE_B;
    }
    w.at(0)->picture_type = PIC_TYPE_IDR;
    mbtree_analyse(w.la_, w.frames(), 8, 0);
    float still_offset = w.at(0)->mbtree_qp_offset[0];
    float noise_offset = w.at(0)->mbtree_qp_offset[4];
    EXPECT_LT(still_offset, -1.5f);
    EXPECT_GT(noise_offset, -0.5f);
    EXPECT_LE(noise_offset, 0.0f);
    // The later anchor was costed and propagated too.
    EXPECT_GT(w.at(4)->frame_cost[4][0], 0);
}

TEST(MbtreeOffsets, QcompressOneGivesZeroOffsets)
{
    cost_window w(5, 3, 0, 128, 64, 0, 1);
    w.cfg_.qcompress = 1.0f;
    for (int32_t i = 0; i < 5; i++) {
        w.fill(i, smooth_texture(5));
        w.at(i)->picture_type = i == 4 ? PIC_TYPE_P : PIC_TYPE_B;
    }
    w.at(0)->picture_type = PIC_TYPE_IDR;
    w.at(0)->mbtree_qp_offset[0] = 7.0f;
    mbtree_analyse(w.la_, w.frames(), 4, 0);
    EXPECT_EQ(w.at(0)->mbtree_qp_offset[0], 0.0f);
    EXPECT_EQ(w.at(0)->mbtree_qp_offset[4], 0.0f);
}

TEST(MbtreeOffsets, KeyframesOnlyPropagateNothing)
{
    cost_window w(2, 3, 0, 128, 64, 0, 1);
    w.fill(0, smooth_texture(6));
    w.fill(1, smooth_texture(6));
    w.at(0)->picture_type = PIC_TYPE_IDR;
    w.at(1)->picture_type = PIC_TYPE_IDR;
    w.at(0)->mbtree_qp_offset[0] = 3.0f;
    mbtree_analyse(w.la_, w.frames(), 1, 0);
    EXPECT_EQ(w.at(0)->mbtree_qp_offset[0], 0.0f);
    EXPECT_EQ(w.at(0)->propagate_costs[0], 0u);
}

TEST(MbtreeOffsets, HeldReferencePassesItsCostToTheNextAnchorOffsets)
{
    // With a held reference at 0, the offsets written are those of the first
    // anchor after it and of the middle B picture the decision will mark.
    cost_window w(9, 3, 1, 128, 64, 0, 1);
    for (int32_t i = 0; i < 9; i++) {
        w.fill(i, smooth_texture(9));
        w.at(i)->picture_type = (i % 4 == 0) ? PIC_TYPE_P : PIC_TYPE_B;
        w.at(i)->mbtree_qp_offset[0] = 5.0f;
    }
    mbtree_analyse(w.la_, w.frames(), 8, 1);
    EXPECT_LT(w.at(4)->mbtree_qp_offset[0], -1.0f);
    EXPECT_LT(w.at(2)->mbtree_qp_offset[0], 0.0f);
    EXPECT_EQ(w.at(0)->mbtree_qp_offset[0], 5.0f);  // the held picture is being coded
    EXPECT_EQ(w.at(8)->mbtree_qp_offset[0], 5.0f);  // not finished by this decision
}

}  // namespace
