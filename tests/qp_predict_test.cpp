#include <gtest/gtest.h>
#include <cstring>
#include "bitstream/qp_predict.h"

namespace {

// Per-8x8 QP map of a CTU: rows of 16, CTU at rows 1..8, columns 8..15.
struct qp_map {
    int8_t v[16 * 10];
    qp_map() { memset(v, -1, sizeof(v)); }
    int8_t &at(int x8, int y8) { return v[(1 + y8) * 16 + 8 + x8]; }
    int8_t &left_of_ctu(int y8) { return v[(1 + y8) * 16 + 7]; }
    int8_t &above_ctu(int x8) { return v[8 + x8]; }
};

// z-index in 4x4 units of the 8x8 unit (x8, y8)
int z_of(int x8, int y8)
{
    int z = 0;
    for (int b = 0; b < 3; b++)
        z |= (((x8 >> b) & 1) << (2 * b)) | (((y8 >> b) & 1) << (2 * b + 1));
    return z * 4;
}

TEST(CuQpPredict, FirstCuOfACtuGroupUsesThePreviousQp)
{
    qp_map m;
    m.left_of_ctu(0) = 20;   // neighbours in other CTUs never count
    m.above_ctu(0) = 40;
    EXPECT_EQ(cu_qp_predict(m.v, 31, 0, 0), 31);
}

TEST(CuQpPredict, LaterCusOfTheGroupReadTheGroupsFirstUnit)
{
    qp_map m;
    m.at(0, 0) = 29;
    m.at(3, 2) = 45;   // own neighbours differ
    m.at(2, 2) = 10;
    EXPECT_EQ(cu_qp_predict(m.v, 31, 0, z_of(3, 3)), 29);
}

TEST(CuQpPredict, SmallGroupsAverageLeftAndAboveInsideTheCtu)
{
    qp_map m;
    // depth 3: 8x8 groups
    m.at(2, 3) = 30;   // left of (3, 3)
    m.at(3, 2) = 35;   // above
    EXPECT_EQ(cu_qp_predict(m.v, 20, 3, z_of(3, 3)), 33);
    // left edge below the top: (prev + above + 1) >> 1
    m.at(0, 4) = 40;
    m.left_of_ctu(5) = 10;
    EXPECT_EQ(cu_qp_predict(m.v, 21, 3, z_of(0, 5)), 31);
    // unavailable (negative) neighbours fall back to prev
    EXPECT_EQ(cu_qp_predict(m.v, 21, 3, z_of(6, 6)), 21);
    // a 4x4 CU that is not the first of its 8x8 group
    m.at(5, 5) = 27;
    EXPECT_EQ(cu_qp_predict(m.v, 21, 3, z_of(5, 5) + 3), 27);
}

TEST(CuQpPredict, SixteenSampleGroupsUseTheGroupOrigin)
{
    qp_map m;
    // depth 2: 16x16 groups of 16 4x4 units; group at 8x8 (2, 2)
    m.at(1, 2) = 24;
    m.at(2, 1) = 27;
    EXPECT_EQ(cu_qp_predict(m.v, 0, 2, z_of(2, 2)), 26);
    m.at(2, 2) = 26;
    EXPECT_EQ(cu_qp_predict(m.v, 0, 2, z_of(3, 3)), 26);
}

}  // namespace
