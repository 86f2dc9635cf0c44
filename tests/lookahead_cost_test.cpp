// Lookahead cost kernels: propagation amounts and the per-tile complexity.
#include <gtest/gtest.h>

#include <vector>

#include "kernels/mc/mc.h"

namespace {

uint32_t propagate_one(uint32_t prop_in, uint32_t intra, uint32_t inter, uint16_t weight)
{
    uint32_t out = 0xdeadbeef;
    propagate_cost_c(&out, &prop_in, &intra, &inter, &weight, 1);
    return out;
}

TEST(PropagateCost, PassesOnTheShareThatInterPredictionSaves)
{
    EXPECT_EQ(propagate_one(0, 500, 500, 256), 0u);          // nothing saved
    EXPECT_EQ(propagate_one(0, 500, 0, 256), 500u);          // intra * intra / intra
    EXPECT_EQ(propagate_one(300, 400, 100, 256), 525u);      // 300 * (400 + 300) / 400
    EXPECT_EQ(propagate_one(0, 400, 100, 128), 150u);        // half weight: 300 * 200 / 400
    EXPECT_EQ(propagate_one(0, 9, 0x30000005u, 256), 4u);    // list bits ignored: 4 * 9 / 9
}

TEST(PropagateCost, LargeCostsDoNotWrapAndSaturateAtTheU32Limit)
{
    // weight * intra and the product pass 32 bits (and the product 64).
    EXPECT_EQ(propagate_one(0, 0x0FFFFFFFu, 0, 256), 0x0FFFFFFFu);
    EXPECT_EQ(propagate_one(0, 0x0FFFFFFFu, 0, 512), 0x1FFFFFFEu);
    EXPECT_EQ(propagate_one(0xFFFFFFFFu, 0x0FFFFFFFu, 0x07FFFFFFu, 0xFFFF), 0xFFFFFFFFu);
    EXPECT_EQ(propagate_one(0xF0000000u, 0x0FFFFFFFu, 0x07FFFFFFu, 256), 2147483655u);   // amount 2^32 - 1, half saved
}

TEST(PropagateCost, ZeroIntraCostOrInterAboveIntraPropagatesNothing)
{
    EXPECT_EQ(propagate_one(1000, 0, 0, 256), 0u);
    EXPECT_EQ(propagate_one(1000, 100, 101, 256), 0u);
}

TEST(PropagateCost, ProcessesExactlyNEntries)
{
    std::vector<uint32_t> out(4, 7), prop(4, 10), intra(4, 100), inter(4, 50);
    std::vector<uint16_t> weight(4, 256);
    propagate_cost_c(out.data(), prop.data(), intra.data(), inter.data(), weight.data(), 3);
    EXPECT_EQ(out, (std::vector<uint32_t>{55, 55, 55, 7}));
    propagate_cost_c(out.data(), prop.data(), intra.data(), inter.data(), weight.data(), 0);
    EXPECT_EQ(out[0], 55u);
}

std::vector<uint32_t> grid(int h, int stride, uint32_t value)
{
    return std::vector<uint32_t>((size_t)stride * h, value);
}

TEST(FrameCostComplexity, OnlyTheInteriorCountsAndIntraPicturesAddAHundredPerEntry)
{
    std::vector<uint32_t> costs = grid(5, 8, 32), out(4, 0xdeadbeef);
    // P picture: 32 * 32 >> 10 = 1, plus 1, over the 3 x 3 interior, all in tile 0.
    EXPECT_EQ(frame_cost_complexity_c(out.data(), costs.data(), 5, 5, 8, 4), 18u);
    EXPECT_EQ(out, (std::vector<uint32_t>{18, 0, 0, 0}));
    for (int type : {1, 2, 3}) {
        EXPECT_EQ(frame_cost_complexity_c(out.data(), costs.data(), 5, 5, 8, type), 9u * 101) << type;
    }
    EXPECT_EQ(frame_cost_complexity_c(out.data(), costs.data(), 5, 5, 8, 6), 18u);
}

TEST(FrameCostComplexity, TilesCoverFourByFourEntriesAndATilePastTheInteriorStaysZero)
{
    const int w = 9, h = 6, stride = 12;
    std::vector<uint32_t> costs = grid(h, stride, 0);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) costs[y * stride + x] = 0xF0000000u | (uint32_t)(32 * (x + 1));
    std::vector<uint32_t> out(6, 0xdeadbeef);
    uint32_t total = frame_cost_complexity_c(out.data(), costs.data(), w, h, stride, 4);
    auto entry = [](int x) { return (uint32_t)((32 * (x + 1)) * (32 * (x + 1)) >> 10) + 1; };
    uint32_t t0 = 0, t1 = 0, t3 = 0, t4 = 0;
    for (int x = 1; x <= 3; x++) t0 += 3 * entry(x);   // rows 1..3
    for (int x = 4; x <= 7; x++) t1 += 3 * entry(x);
    for (int x = 1; x <= 3; x++) t3 += entry(x);       // row 4
    for (int x = 4; x <= 7; x++) t4 += entry(x);
    EXPECT_EQ(out, (std::vector<uint32_t>{t0, t1, 0, t3, t4, 0}));
    EXPECT_EQ(total, t0 + t1 + t3 + t4);
}

TEST(FrameCostComplexity, SquaresOfLargeCostsAreExactAndSumsSaturate)
{
    std::vector<uint32_t> costs = grid(5, 5, 0);
    costs[1 * 5 + 1] = 50000;   // squared passes 2^31
    uint32_t out[4];
    EXPECT_EQ(frame_cost_complexity_c(out, costs.data(), 5, 5, 5, 4), 2441406u + 9u);
    costs.assign(25, 0x0FFFFFFF);
    EXPECT_EQ(frame_cost_complexity_c(out, costs.data(), 5, 5, 5, 4), 0xFFFFFFFFu);
    EXPECT_EQ(out[0], 0xFFFFFFFFu);
}

TEST(FrameCostComplexity, GridsTooSmallForAnInteriorGiveZero)
{
    std::vector<uint32_t> costs = grid(2, 2, 1000);
    uint32_t out[1] = {0xdeadbeef};
    EXPECT_EQ(frame_cost_complexity_c(out, costs.data(), 2, 2, 2, 1), 0u);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(frame_cost_complexity_c(out, costs.data(), 0, 2, 2, 1), 0u);
}

}  // namespace
