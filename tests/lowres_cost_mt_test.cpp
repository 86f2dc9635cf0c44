// The lookahead's costs are the same whether the cost jobs run on the
// caller's thread or spread over a job pool of any size: rows are claimed
// whole and only the order of the sums' additions differs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/lowres_window.h"

namespace {

const int32_t kFrames = 9;

// Everything the costs and the macroblock-tree leave in the window.
std::vector<uint32_t> run(int32_t pool_threads)
{
    cost_window w(kFrames, 3, 1, 192, 128, pool_threads, 1);
    w.cfg_.vbv_maxrate = 1000;  // row and CTU costs too
    sample_fn a = smooth_texture(31);
    for (int32_t i = 0; i < kFrames; i++) {
        sample_fn moved = smooth_texture(31, 2 * i, i);
        sample_fn fresh = noise(500 + i);
        w.fill(i, [&](int32_t x, int32_t y) { return x < 64 ? a(x, y) : (x < 128 ? moved(x, y) : fresh(x, y)); });
        w.at(i)->picture_type = (i % 4 == 0) ? PIC_TYPE_P : PIC_TYPE_B;
    }
    w.at(0)->picture_type = PIC_TYPE_IDR;
    mbtree_analyse(w.la_, w.frames(), kFrames - 1, 0);

    std::vector<uint32_t> out;
    int32_t blocks = 16 * 3 * 2, ctus = 6;
    for (int32_t i = 0; i < kFrames; i++) {
        picture *pic = w.at(i);
        for (int d0 = 0; d0 < 5; d0++)
            for (int d1 = 0; d1 < 5; d1++) {
                out.push_back((uint32_t)pic->frame_cost[d0][d1]);
                out.push_back((uint32_t)pic->frame_cost_aq[d0][d1]);
                if (pic->frame_cost[d0][d1] < 0) continue;
                out.insert(out.end(), pic->lowres_costs[d0][d1], pic->lowres_costs[d0][d1] + blocks);
                out.insert(out.end(), pic->row_costs[d0][d1], pic->row_costs[d0][d1] + 2);
                out.insert(out.end(), pic->ctu_costs[d0][d1], pic->ctu_costs[d0][d1] + ctus);
            }
        for (int l = 0; l < 2; l++)
            for (int d = 0; d < 4; d++) {
                out.insert(out.end(), pic->lowres_mvs[l][d], pic->lowres_mvs[l][d] + blocks);
                out.insert(out.end(), pic->lowres_mv_costs[l][d], pic->lowres_mv_costs[l][d] + blocks);
            }
        out.insert(out.end(), pic->propagate_costs, pic->propagate_costs + blocks);
        for (int32_t b = 0; b < blocks; b++) {
            uint32_t bits;
            std::memcpy(&bits, &pic->mbtree_qp_offset[b], 4);
            out.push_back(bits);
        }
    }
    return out;
}

TEST(LowresCostThreads, ResultsEqualForEveryPoolSize)
{
    std::vector<uint32_t> direct = run(0);
    ASSERT_GT(direct.size(), 1000u);
    for (int32_t threads : {1, 2, 8}) EXPECT_EQ(run(threads), direct) << threads << " pool threads";
}

TEST(LowresCostThreads, RepeatedCostsOnAPoolReuseComputedCells)
{
    cost_window w(3, 3, 1, 192, 128, 4, 0);
    for (int32_t i = 0; i < 3; i++) w.fill(i, smooth_texture(40, 2 * i, 0));
    w.cost(0, 2, 2);
    w.cost(0, 2, 1);
    int32_t p = w.at(2)->frame_cost[2][0], b = w.at(1)->frame_cost[1][1];
    EXPECT_GT(p, 0);
    EXPECT_GT(b, 0);
    w.cost(0, 2, 2);
    w.cost(0, 2, 1);
    EXPECT_EQ(w.at(2)->frame_cost[2][0], p);
    EXPECT_EQ(w.at(1)->frame_cost[1][1], b);
}

}  // namespace
