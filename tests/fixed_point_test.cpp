#include <gtest/gtest.h>

#include <cmath>

#include "encoder/fixed_point.h"

TEST(FixedPoint, Exp2FixedFromFloatGivesTheWeightIn88)
{
    EXPECT_EQ(exp2_fixed_from_float(0.0f), 256);
    EXPECT_EQ(exp2_fixed_from_float(6.0f), 128);
    EXPECT_EQ(exp2_fixed_from_float(-6.0f), 512);
    EXPECT_EQ(exp2_fixed_from_float(48.0f), 1);
    EXPECT_EQ(exp2_fixed_from_float(60.0f), 0);
    EXPECT_EQ(exp2_fixed_from_float(-60.0f), 65535);
    EXPECT_EQ(exp2_fixed_from_float(3.0f), 181);     // 256 / sqrt(2)
    // The index truncates toward zero: -0.57 still gives index 0, -1.63 gives 0 weight.
    EXPECT_EQ(exp2_fixed_from_float(48.1f), 1);
    EXPECT_EQ(exp2_fixed_from_float(48.2f), 0);
    // Values beyond any integer range saturate instead of overflowing.
    EXPECT_EQ(exp2_fixed_from_float(1e30f), 0);
    EXPECT_EQ(exp2_fixed_from_float(-1e30f), 65535);
    // Monotonic over the table's range.
    int prev = 65535;
    for (float x = -48.0f; x <= 48.0f; x += 0.25f) {
        int v = exp2_fixed_from_float(x);
        EXPECT_LE(v, prev) << x;
        prev = v;
    }
}

TEST(FixedPoint, Log2FastInterpolates128PointsPerOctave)
{
    EXPECT_EQ(log2_fast(1), 0.0f);
    EXPECT_EQ(log2_fast(2), 1.0f);
    EXPECT_EQ(log2_fast(3), 1.5849625f);
    EXPECT_FLOAT_EQ(log2_fast(1000), 9.965784f);
    EXPECT_EQ(log2_fast(2147483647), 31.0f);
    for (int v = 1; v < 100000; v = v * 3 + 1) EXPECT_NEAR(log2_fast(v), std::log2((double)v), 1e-4) << v;
}
