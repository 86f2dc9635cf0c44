// Portable distortion metrics against their brute-force definitions at every
// block size, on random blocks with random (also negative) strides and on
// extreme blocks, plus the worked values the measures are known by.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernels/metrics/metric.h"
#include "tests/support/metric_test_util.h"

namespace {

struct pair_case {
    const char *name;
    pair_metric_fn fn;
    int w, h;
    metric_kind kind;
};

const pair_case portable_pairs[] = {
    {"sad_64x64_c", sad_64x64_c, 64, 64, K_SAD}, {"sad_32x32_c", sad_32x32_c, 32, 32, K_SAD},
    {"sad_16x16_c", sad_16x16_c, 16, 16, K_SAD}, {"sad_8x8_c", sad_8x8_c, 8, 8, K_SAD},
    {"sad_4x4_c", sad_4x4_c, 4, 4, K_SAD},
    {"sad_sub_64x64_c", sad_sub_64x64_c, 64, 64, K_SAD_SUB}, {"sad_sub_32x32_c", sad_sub_32x32_c, 32, 32, K_SAD_SUB},
    {"sad_sub_16x16_c", sad_sub_16x16_c, 16, 16, K_SAD_SUB}, {"sad_sub_8x8_c", sad_sub_8x8_c, 8, 8, K_SAD_SUB},
    {"sad_sub_4x4_c", sad_sub_4x4_c, 4, 4, K_SAD_SUB}, {"sad_sub_64x32_c", sad_sub_64x32_c, 64, 32, K_SAD_SUB},
    {"sad_sub_32x16_c", sad_sub_32x16_c, 32, 16, K_SAD_SUB}, {"sad_sub_16x8_c", sad_sub_16x8_c, 16, 8, K_SAD_SUB},
    {"sad_sub_8x4_c", sad_sub_8x4_c, 8, 4, K_SAD_SUB}, {"sad_sub_32x64_c", sad_sub_32x64_c, 32, 64, K_SAD_SUB},
    {"sad_sub_16x32_c", sad_sub_16x32_c, 16, 32, K_SAD_SUB}, {"sad_sub_8x16_c", sad_sub_8x16_c, 8, 16, K_SAD_SUB},
    {"sad_sub_4x8_c", sad_sub_4x8_c, 4, 8, K_SAD_SUB},
    {"sse_64x64_c", sse_64x64_c, 64, 64, K_SSE}, {"sse_32x32_c", sse_32x32_c, 32, 32, K_SSE},
    {"sse_16x16_c", sse_16x16_c, 16, 16, K_SSE}, {"sse_8x8_c", sse_8x8_c, 8, 8, K_SSE},
    {"sse_4x4_c", sse_4x4_c, 4, 4, K_SSE},
    {"satd_4x4_c", satd_4x4_c, 4, 4, K_SATD}, {"satd_8x4_c", satd_8x4_c, 8, 4, K_SATD},
    {"satd_4x8_c", satd_4x8_c, 4, 8, K_SATD}, {"satd_8x8_c", satd_8x8_c, 8, 8, K_SATD},
    {"satd_16x16_c", satd_16x16_c, 16, 16, K_SATD}, {"satd_32x32_c", satd_32x32_c, 32, 32, K_SATD},
    {"satd_64x64_c", satd_64x64_c, 64, 64, K_SATD},
    {"sa8d_8x8_c", sa8d_8x8_c, 8, 8, K_SA8D}, {"sa8d_16x8_c", sa8d_16x8_c, 16, 8, K_SA8D},
    {"sa8d_8x16_c", sa8d_8x16_c, 8, 16, K_SA8D}, {"sa8d_16x16_c", sa8d_16x16_c, 16, 16, K_SA8D},
    {"sa8d_32x16_c", sa8d_32x16_c, 32, 16, K_SA8D}, {"sa8d_16x32_c", sa8d_16x32_c, 16, 32, K_SA8D},
    {"sa8d_32x32_c", sa8d_32x32_c, 32, 32, K_SA8D}, {"sa8d_64x32_c", sa8d_64x32_c, 64, 32, K_SA8D},
    {"sa8d_32x64_c", sa8d_32x64_c, 32, 64, K_SA8D}, {"sa8d_64x64_c", sa8d_64x64_c, 64, 64, K_SA8D},
    {"sa8d_sub_16x16_c", sa8d_sub_16x16_c, 16, 16, K_SA8D_SUB},
    {"sa8d_sub_32x32_c", sa8d_sub_32x32_c, 32, 32, K_SA8D_SUB},
    {"sa8d_sub_64x64_c", sa8d_sub_64x64_c, 64, 64, K_SA8D_SUB},
};

TEST(MetricPortable, EveryPairKernelMatchesItsDefinitionOnRandomAndExtremeBlocks)
{
    std::mt19937 rng(11);
    for (const pair_case &c : portable_pairs) {
        for (int trial = 0; trial < 12; trial++) {
            test_block a = make_block(c.w, c.h, random_stride(rng, c.w));
            test_block b = make_block(c.w, c.h, random_stride(rng, c.w));
            if (trial < 8) {
                fill_random(a, rng);
                fill_random(b, rng);
            } else if (trial < 10) {
                fill_extreme(a, rng);
                fill_extreme(b, rng);
            } else {
                fill_value(a, trial == 10 ? 0 : 255);
                fill_value(b, trial == 10 ? 255 : 0);
            }
            uint64_t want = ref_metric(c.kind, a, b, c.w, c.h);
            ASSERT_EQ(c.fn(a.origin, a.stride, b.origin, b.stride), want) << c.name << " trial " << trial;
            // The measures are symmetric in a and b.
            ASSERT_EQ(c.fn(b.origin, b.stride, a.origin, a.stride), want) << c.name << " swapped";
        }
    }
}

TEST(MetricPortable, IdenticalBlocksGiveZero)
{
    std::mt19937 rng(12);
    for (const pair_case &c : portable_pairs) {
        test_block a = random_block(rng, c.w, c.h);
        EXPECT_EQ(c.fn(a.origin, a.stride, a.origin, a.stride), 0u) << c.name;
    }
}

TEST(MetricPortable, FullRangeDifferenceGivesTheKnownMaxima)
{
    test_block a = make_block(64, 64, 64), b = make_block(64, 64, 64);
    fill_value(a, 255);
    fill_value(b, 0);
    EXPECT_EQ(sa8d_8x8_raw_c(a.origin, 64, b.origin, 64), 16320u);
    EXPECT_EQ(sa8d_8x8_c(a.origin, 64, b.origin, 64), 4080u);
    EXPECT_EQ(satd_4x4_c(a.origin, 64, b.origin, 64), 2040u);
    EXPECT_EQ(satd_64x64_c(a.origin, 64, b.origin, 64), 522240u);
    EXPECT_EQ(sa8d_64x64_c(a.origin, 64, b.origin, 64), 261120u);
    EXPECT_EQ(sad_64x64_c(a.origin, 64, b.origin, 64), 1044480u);
    EXPECT_EQ(sad_sub_64x64_c(a.origin, 64, b.origin, 64), 1044480u);
    EXPECT_EQ(sse_64x64_c(a.origin, 64, b.origin, 64), 266342400u);
}

TEST(MetricPortable, ConstantDifferenceScalesEveryMeasure)
{
    for (int v : {1, 7, -13, 100}) {
        test_block a = make_block(64, 64, 64), b = make_block(64, 64, 64);
        fill_value(a, (uint8_t)(128 + v));
        fill_value(b, 128);
        uint32_t av = (uint32_t)std::abs(v);
        EXPECT_EQ(sad_16x16_c(a.origin, 64, b.origin, 64), 256 * av);
        EXPECT_EQ(sad_sub_16x16_c(a.origin, 64, b.origin, 64), 256 * av);
        EXPECT_EQ(sse_8x8_c(a.origin, 64, b.origin, 64), 64 * av * av);
        EXPECT_EQ(satd_4x4_c(a.origin, 64, b.origin, 64), 8 * av);
        EXPECT_EQ(satd_16x16_c(a.origin, 64, b.origin, 64), 128 * av);
        EXPECT_EQ(sa8d_8x8_c(a.origin, 64, b.origin, 64), 16 * av);
        EXPECT_EQ(sa8d_16x16_c(a.origin, 64, b.origin, 64), 64 * av);
        EXPECT_EQ(sa8d_64x64_c(a.origin, 64, b.origin, 64), 1024 * av);
    }
}

TEST(MetricPortable, SingleSampleDifferenceSpreadsOverAllCoefficients)
{
    test_block a = make_block(8, 8, 8), b = make_block(8, 8, 8);
    fill_value(a, 50);
    fill_value(b, 50);
    a.at(3, 5) = 51;
    EXPECT_EQ(sa8d_8x8_raw_c(a.origin, 8, b.origin, 8), 64u);
    EXPECT_EQ(sa8d_8x8_c(a.origin, 8, b.origin, 8), 16u);
    a.at(3, 5) = 50;
    a.at(2, 1) = 49;
    EXPECT_EQ(satd_4x4_c(a.origin, 8, b.origin, 8), 8u);
}

// d(x, y) = 255 * (-1)^popcount(x & y) is a row of H8 scaled: all its energy
// lands in 8 coefficients of magnitude 8 x 255 x 8, the largest raw sum.
TEST(MetricPortable, Sa8dRawReachesItsMaximumOnTheHadamardPattern)
{
    test_block a = make_block(8, 8, 8), b = make_block(8, 8, 8);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) {
            bool neg = __builtin_popcount(x & y) & 1;
            a.at(x, y) = neg ? 0 : 255;
            b.at(x, y) = neg ? 255 : 0;
        }
    EXPECT_EQ(sa8d_8x8_raw_c(a.origin, 8, b.origin, 8), 130560u);
    EXPECT_EQ(sa8d_8x8_c(a.origin, 8, b.origin, 8), 32640u);
}

// Two 8x8 halves whose raw sums are both 2 mod 4: 16x8 rounds once for the
// pair, 8x16 rounds each half, so 8x16 comes out one higher.
TEST(MetricPortable, Sa8d16x8And8x16RoundDifferently)
{
    std::mt19937 rng(13);
    test_block h[2];
    for (int k = 0; k < 2; k++) {
        do {
            h[k] = make_block(8, 8, 8);
            for (auto &v : h[k].buf) v = (uint8_t)(rng() % 5 == 0 ? rng() % 40 : 0);
        } while (sa8d_8x8_raw_c(h[k].origin, 8, make_block(8, 8, 8).origin, 8) % 4 != 2);
    }
    test_block zero16 = make_block(16, 16, 16);
    test_block wide = make_block(16, 8, 16), tall = make_block(8, 16, 8);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) {
            wide.at(x, y) = h[0].at(x, y);
            wide.at(x + 8, y) = h[1].at(x, y);
            tall.at(x, y) = h[0].at(x, y);
            tall.at(x, y + 8) = h[1].at(x, y);
        }
    uint32_t r0 = sa8d_8x8_raw_c(h[0].origin, 8, zero16.origin, 16);
    uint32_t r1 = sa8d_8x8_raw_c(h[1].origin, 8, zero16.origin, 16);
    uint32_t w = sa8d_16x8_c(wide.origin, 16, zero16.origin, 16);
    uint32_t t = sa8d_8x16_c(tall.origin, 8, zero16.origin, 16);
    EXPECT_EQ(w, (r0 + r1 + 2) >> 2);
    EXPECT_EQ(t, w + 1);
}

TEST(MetricPortable, EverySecondRowKernelsIgnoreOddRowsAndRightMargin)
{
    std::mt19937 rng(14);
    for (const pair_case &c : portable_pairs) {
        if (c.kind != K_SAD_SUB && c.kind != K_SA8D_SUB) continue;
        // Blocks one column wider than the kernel; only even rows and the
        // kernel's columns may matter.
        test_block a = make_block(c.w + 1, c.h, c.w + 1), b = make_block(c.w + 1, c.h, c.w + 1);
        fill_random(a, rng);
        fill_random(b, rng);
        uint32_t before = c.fn(a.origin, a.stride, b.origin, b.stride);
        for (int y = 0; y < c.h; y++)
            for (int x = 0; x <= c.w; x++)
                if ((y & 1) || x == c.w) a.at(x, y) = (uint8_t)rng();
        EXPECT_EQ(c.fn(a.origin, a.stride, b.origin, b.stride), before) << c.name;
    }
}

struct multi_case {
    const char *name;
    int k;   // candidates
    void *fn;
    int w, h;
};

void run_multi(const multi_case &c, const uint8_t *src, const uint8_t *const *cand, int stride, uint32_t *out)
{
    if (c.k == 4)
        ((sad_x4_fn)c.fn)(src, cand[0], cand[1], cand[2], cand[3], stride, out);
    else if (c.k == 3)
        ((sad_x3_fn)c.fn)(src, cand[0], cand[1], cand[2], stride, out);
    else
        ((sad_x2_fn)c.fn)(src, cand[0], cand[1], stride, out);
}

TEST(MetricPortable, MultiCandidateSadWritesEachCandidateInOrderAndNothingMore)
{
    const multi_case cases[] = {
        {"x4 64x64", 4, (void *)sad_x4_sub_64x64_c, 64, 64}, {"x4 32x32", 4, (void *)sad_x4_sub_32x32_c, 32, 32},
        {"x4 16x16", 4, (void *)sad_x4_sub_16x16_c, 16, 16}, {"x4 8x8", 4, (void *)sad_x4_sub_8x8_c, 8, 8},
        {"x4 64x32", 4, (void *)sad_x4_sub_64x32_c, 64, 32}, {"x4 32x16", 4, (void *)sad_x4_sub_32x16_c, 32, 16},
        {"x4 16x8", 4, (void *)sad_x4_sub_16x8_c, 16, 8}, {"x4 8x4", 4, (void *)sad_x4_sub_8x4_c, 8, 4},
        {"x4 32x64", 4, (void *)sad_x4_sub_32x64_c, 32, 64}, {"x4 16x32", 4, (void *)sad_x4_sub_16x32_c, 16, 32},
        {"x4 8x16", 4, (void *)sad_x4_sub_8x16_c, 8, 16}, {"x4 4x8", 4, (void *)sad_x4_sub_4x8_c, 4, 8},
        {"x3 64x64", 3, (void *)sad_x3_sub_64x64_c, 64, 64}, {"x3 32x32", 3, (void *)sad_x3_sub_32x32_c, 32, 32},
        {"x3 16x16", 3, (void *)sad_x3_sub_16x16_c, 16, 16}, {"x3 8x8", 3, (void *)sad_x3_sub_8x8_c, 8, 8},
        {"x3 4x4", 3, (void *)sad_x3_sub_4x4_c, 4, 4},
        {"x2 64x64", 2, (void *)sad_x2_sub_64x64_c, 64, 64}, {"x2 32x32", 2, (void *)sad_x2_sub_32x32_c, 32, 32},
        {"x2 16x16", 2, (void *)sad_x2_sub_16x16_c, 16, 16}, {"x2 8x8", 2, (void *)sad_x2_sub_8x8_c, 8, 8},
        {"x2 4x4", 2, (void *)sad_x2_sub_4x4_c, 4, 4},
    };
    std::mt19937 rng(15);
    for (const multi_case &c : cases) {
        for (int trial = 0; trial < 4; trial++) {
            test_block src = make_block(c.w, c.h, 64);
            fill_random(src, rng);
            int stride = random_stride(rng, c.w);
            test_block cand[4];
            const uint8_t *ptr[4];
            for (int k = 0; k < 4; k++) {
                cand[k] = make_block(c.w, c.h, stride);
                fill_random(cand[k], rng);
                ptr[k] = cand[k].origin;
            }
            if (trial == 3) ptr[2] = ptr[0];   // the same candidate twice
            uint32_t out[5] = {0xdeadbeef, 0xdeadbeef, 0xdeadbeef, 0xdeadbeef, 0xdeadbeef};
            run_multi(c, src.origin, ptr, stride, out);
            for (int k = 0; k < c.k; k++) {
                const test_block &ck = (trial == 3 && k == 2) ? cand[0] : cand[k];
                EXPECT_EQ(out[k], 2 * ref_sad(src, ck, c.w, c.h, 2)) << c.name << " cand " << k;
            }
            for (int k = c.k; k < 5; k++) EXPECT_EQ(out[k], 0xdeadbeefu) << c.name << " wrote past its results";
        }
    }
}

TEST(MetricPortable, SseWxhMatchesTheDefinitionAtAwkwardWidths)
{
    std::mt19937 rng(16);
    for (int w : {1, 3, 4, 7, 8, 15, 16, 17, 31, 33, 63, 64, 65, 100, 129}) {
        for (int h : {1, 2, 5, 16}) {
            test_block a = random_block(rng, w, h), b = random_block(rng, w, h);
            EXPECT_EQ(sse_wxh_c(a.origin, a.stride, b.origin, b.stride, w, h), ref_sse(a, b, w, h))
                << w << "x" << h;
        }
    }
    test_block a = random_block(rng, 8, 8);
    EXPECT_EQ(sse_wxh_c(a.origin, a.stride, a.origin, a.stride, 0, 8), 0u);
    EXPECT_EQ(sse_wxh_c(a.origin, a.stride, a.origin, a.stride, 8, 0), 0u);
    EXPECT_EQ(sse_wxh_c(a.origin, a.stride, a.origin, a.stride, -3, 8), 0u);
}

// A whole 4096x2048 plane of full-range error sums to 545 billion: far past 32
// bits, which a picture PSNR must still see exactly.
TEST(MetricPortable, SseWxhOfALargePlaneDoesNotWrap)
{
    const int w = 4096, h = 2048;
    std::vector<uint8_t> a((size_t)w * h, 255), b((size_t)w * h, 0);
    uint64_t want = (uint64_t)w * h * 65025;
    EXPECT_EQ(sse_wxh_c(a.data(), w, b.data(), w, w, h), want);
}

}   // namespace
