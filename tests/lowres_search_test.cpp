// Low-resolution block search: start points, the iterated small diamond, the
// search budget, the window, the final SATD plus vector cost and the early
// exit of blocks past the picture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/motion/lowres_search.h"
#include "encoder/config.h"
#include "encoder/lambda_tables.h"
#include "kernels/mc/mc.h"
#include "kernels/metrics/metric.h"

namespace {

const int32_t kMargin = 96;
const int32_t kW = 128, kH = 96;  // half-resolution picture
const int32_t kStride = kW + 2 * kMargin;

int32_t g_sad_calls = 0;
pair_metric_fn g_real_sad = nullptr;

uint32_t counting_sad(const uint8_t *a, int as, const uint8_t *b, int bs)
{
    g_sad_calls++;
    return g_real_sad(a, as, b, bs);
}

uint32_t mv(int32_t x, int32_t y)
{
    return (uint32_t)(uint16_t)x | ((uint32_t)(uint16_t)y << 16);
}

class lowres_search : public ::testing::Test {
  protected:
    void SetUp() override
    {
        config_defaults(&cfg_);
        cfg_.rc_mode = RC_MODE_ABR;
        metric_table_init(cfg_.cpu_flags, &metric_, 0);
        mc_table_init(cfg_.cpu_flags, &mc_);
        std::memset(&rd_, 0, sizeof(rd_));
        lambda_tables_init(&rd_.lambda, &cfg_);
        ASSERT_EQ(mv_cost_table_init(&rd_, &cfg_, 12), 0);
        table_ = rd_.mv_cost.slot[12 * MV_COST_LEVELS + 1];
        env_ = {&rd_.mv_cost, -500, -500, 56, 56};
        ref_.assign((size_t)kStride * (kH + 2 * kMargin), 0);
        src_.assign(64 * 8, 0);
        std::memset(&ctx_, 0, sizeof(ctx_));
        ctx_.ref_stride = kStride;
        ctx_.search_method = 2;
        ctx_.pic_width = kW;
        ctx_.pic_height = kH;
        ctx_.metric = &metric_;
        ctx_.mc = &mc_;
        ctx_.search_range = 16;
        ctx_.list_count = 1;
        ctx_.ref_count[0] = 1;
        ctx_.src = src_.data();
        pu_ = pu_desc();
        pu_.width = pu_.height = 8;
        pu_.shape = 3;
    }
    void TearDown() override { mv_cost_tables_free(&rd_); }

    uint8_t *ref_at(int32_t x, int32_t y) { return ref_.data() + (size_t)(y + kMargin) * kStride + x + kMargin; }
    void fill_random(uint32_t seed)
    {
        std::mt19937 rng(seed);
        for (auto &v : ref_) v = (uint8_t)(rng() & 0xFF);
    }
    // Source block: the reference block at (x + dx, y + dy).
    void plant(int32_t x, int32_t y, int32_t dx, int32_t dy)
    {
        for (int32_t r = 0; r < 8; r++) std::memcpy(&src_[r * 64], ref_at(x + dx, y + dy + r), 8);
    }
    me_result search(int32_t x, int32_t y)
    {
        ctx_.ctu_x = x;
        ctx_.ctu_y = y;
        ctx_.ref_plane[0][0] = ref_at(x, y);
        ctx_.ref_phase[0][0][0] = ref_at(x, y);
        me_result r;
        std::memset(&r, 0xAB, sizeof(r));
        motion_search_lowres(&env_, &ctx_, &r, &pu_, 12);
        return r;
    }
    uint32_t price(int32_t dx, int32_t dy) const { return (uint32_t)table_[dx] + table_[dy]; }

    internal_config cfg_;
    metric_table metric_;
    mc_table mc_;
    rd_tables rd_;
    const uint16_t *table_ = nullptr;
    lowres_search_env env_;
    std::vector<uint8_t> ref_, src_;
    me_context ctx_;
    pu_desc pu_;
};

using LowresSearch = lowres_search;

TEST_F(LowresSearch, DiamondFindsAPlantedDisplacementFromTheZeroVector)
{
    // A smooth blob around the match leads the diamond from the zero vector to it.
    for (int32_t y = -kMargin; y < kH + kMargin; y++)
        for (int32_t x = -kMargin; x < kW + kMargin; x++) {
            double d2 = (x - 49.0) * (x - 49.0) + (y - 41.0) * (y - 41.0);
            *ref_at(x, y) = (uint8_t)(30 + 200 * std::exp(-d2 / 200.0));
        }
    plant(40, 40, 5, -3);
    me_result r = search(40, 40);
    EXPECT_EQ(r.mv, mv(20, -12));
    EXPECT_EQ(r.cost, 2 * price(20, -12));  // SATD 0 plus twice the vector cost
    EXPECT_EQ(r.cost2, (uint32_t)ME_COST_INFINITE);
    EXPECT_EQ(r.ref_idx, 0);
}

TEST_F(LowresSearch, APredictorNearTheMatchOnRandomContentWins)
{
    fill_random(7);
    plant(48, 32, -9, 6);
    pu_.amvp_count = 1;
    pu_.amvp[0] = mv(-35, 23);  // rounds to (-36, 24): the match
    me_result r = search(48, 32);
    EXPECT_EQ(r.mv, mv(-36, 24));
    // The vector cost is measured from the predictor as given.
    EXPECT_EQ(r.cost, 2 * price(-1, 1));
}

TEST_F(LowresSearch, QuarterSamplePredictorRoundsHalfUpToAWholeSample)
{
    fill_random(11);
    plant(40, 40, -1, 2);
    ctx_.search_method = 0;  // start points only
    pu_.amvp_count = 1;
    pu_.amvp[0] = mv(-6, 6);
    EXPECT_EQ(search(40, 40).mv, mv(-4, 8));
}

TEST_F(LowresSearch, StartPointsAreMeasuredOnceEach)
{
    fill_random(3);
    plant(40, 40, 0, 0);
    metric_table counting = metric_;
    g_real_sad = metric_.sad_sub[3];
    counting.sad_sub[3] = counting_sad;
    ctx_.metric = &counting;
    ctx_.search_method = 0;

    g_sad_calls = 0;
    search(40, 40);  // no predictors: the zero vector alone
    EXPECT_EQ(g_sad_calls, 1);

    pu_.amvp_count = 2;
    pu_.amvp[0] = mv(9, 1);
    pu_.amvp[1] = mv(7, -1);  // the same whole sample (8, 0)
    g_sad_calls = 0;
    search(40, 40);
    EXPECT_EQ(g_sad_calls, 2);  // (8, 0) and zero

    pu_.amvp[1] = mv(1, -1);  // rounds to zero: zero is not measured again
    g_sad_calls = 0;
    search(40, 40);
    EXPECT_EQ(g_sad_calls, 2);
}

TEST_F(LowresSearch, SearchRangeBoundsTheMovesOfTheDiamond)
{
    for (int32_t y = -kMargin; y < kH + kMargin; y++)
        for (int32_t x = -kMargin; x < kW + kMargin; x++) *ref_at(x, y) = (uint8_t)(x + kMargin);
    plant(40, 40, 12, 0);
    ctx_.search_range = 9;
    EXPECT_EQ(search(40, 40).mv, mv(36, 0));
    ctx_.search_range = 30;
    EXPECT_EQ(search(40, 40).mv, mv(48, 0));
    ctx_.search_range = 0;
    EXPECT_EQ(search(40, 40).mv, mv(0, 0));
}

TEST_F(LowresSearch, WindowKeepsVectorsInsideTheMarginAtThePictureCorner)
{
    // The best match lies far left of the picture; the diamond stops at the
    // window's left bound, 62 samples into the margin, and never beyond.
    for (int32_t y = -kMargin; y < kH + kMargin; y++)
        for (int32_t x = -kMargin; x < kW + kMargin; x++) *ref_at(x, y) = (uint8_t)(200 - (x + kMargin));
    for (int32_t r = 0; r < 8; r++) std::memset(&src_[r * 64], 255, 8);
    ctx_.search_range = 200;
    me_result r = search(0, 0);
    EXPECT_EQ((int16_t)(r.mv & 0xFFFF), -4 * 62);
    EXPECT_EQ((int16_t)(r.mv >> 16), 0);
}

TEST_F(LowresSearch, BlockPastThePictureEdgeIsNotSearched)
{
    fill_random(5);
    pu_.amvp_count = 1;
    pu_.amvp[0] = mv(12, -8);
    me_result r = search(kW - 8, kH - 4);
    EXPECT_EQ(r.cost, (uint32_t)ME_COST_INFINITE);
    EXPECT_EQ(r.cost2, (uint32_t)ME_COST_INFINITE);
    EXPECT_EQ(r.mv, mv(12, -8));
    r = search(kW - 4, 0);
    EXPECT_EQ(r.cost, (uint32_t)ME_COST_INFINITE);
    // The last block that fits is searched.
    EXPECT_LT(search(kW - 8, kH - 8).cost, (uint32_t)ME_COST_INFINITE);
}

TEST_F(LowresSearch, EqualCostsKeepTheEarlierCandidate)
{
    // Flat content: every vector has SAD 0, so only vector costs differ and
    // the predictor itself stays, never moving on a tie.
    std::memset(ref_.data(), 77, ref_.size());
    for (int32_t r = 0; r < 8; r++) std::memset(&src_[r * 64], 77, 8);
    pu_.amvp_count = 2;
    pu_.amvp[0] = mv(8, 8);
    pu_.amvp[1] = mv(-8, 4);
    me_result r = search(40, 40);
    EXPECT_EQ(r.mv, mv(8, 8));
    EXPECT_EQ(r.cost, 0u + 2 * price(0, 0));
}

}  // namespace
