// Portable SAO difference and statistics kernels against brute-force
// per-sample models, full kernels against their partial twins, and the
// rounding of cut widths to whole 16-column groups.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "filters/sao/sao.h"
#include "tests/support/sao_test_util.h"

namespace {

const sao_stats_fn full_c[5] = {sao_stats_eo_hor_c, sao_stats_eo_ver_c, sao_stats_eo_diag135_c,
                                sao_stats_eo_diag45_c, sao_stats_bo_c};
const sao_stats_partial_fn partial_c[5] = {sao_stats_eo_hor_partial_c, sao_stats_eo_ver_partial_c,
                                           sao_stats_eo_diag135_partial_c, sao_stats_eo_diag45_partial_c,
                                           sao_stats_bo_partial_c};

// A record full of junk, so that a kernel that fails to clear shows.
sao_stats junk_stats()
{
    sao_stats s;
    std::memset(&s, 0x5a, sizeof s);
    return s;
}

struct stats_case {
    ringed_ctb b;
    std::vector<int16_t> diff;
    std::vector<uint8_t> scratch;
};

stats_case make_case(int n, int kind, std::mt19937 &rng)
{
    stats_case c;
    c.b = make_ringed_ctb(n, (int)(rng() % 40));
    fill_ringed(c.b, kind, rng);
    c.diff.resize((size_t)n * n);
    fill_diffs(c.diff.data(), n * n, kind == 2 ? (int)(rng() % 3) : 0, rng);
    c.scratch.assign(SAO_SCRATCH_BYTES, 0x77);
    return c;
}

} // namespace

TEST(SaoStats, FullKernelsEqualThePerSampleModelAndTheirPartialTwins)
{
    std::mt19937 rng(21);
    for (int is_luma = 0; is_luma <= 1; is_luma++) {
        int n = is_luma ? 64 : 32;
        for (int kind = 0; kind < 5; kind++)
            for (int t = 0; t < 5; t++) {
                stats_case c = make_case(n, kind, rng);
                sao_stats want = model_stats(t, c.b, c.diff.data(), n, n, n);
                sao_stats got = junk_stats(), twin = junk_stats();
                full_c[t](&got, c.b.origin(), c.b.stride, is_luma, c.diff.data(), c.scratch.data());
                partial_c[t](&twin, c.b.origin(), c.b.stride, is_luma, c.diff.data(), n, n, c.scratch.data());
                EXPECT_TRUE(stats_equal(got, want)) << "type " << t << " n " << n << " kind " << kind;
                EXPECT_TRUE(stats_equal(twin, got)) << "type " << t << " n " << n << " kind " << kind;
                uint32_t total = 0;
                for (int k = 0; k < 32; k++) total += got.count[k];
                EXPECT_EQ(total, (uint32_t)(n * n));
            }
    }
}

TEST(SaoStats, PartialKernelsCountWhole16ColumnGroupsOfTheRowsPassed)
{
    std::mt19937 rng(22);
    const int luma_widths[] = {8, 16, 24, 40, 56, 64};
    const int luma_heights[] = {0, 8, 24, 56, 64};
    const int chroma_widths[] = {4, 8, 12, 16, 20, 28, 32};
    const int chroma_heights[] = {0, 4, 12, 28, 32};
    for (int is_luma = 0; is_luma <= 1; is_luma++) {
        int n = is_luma ? 64 : 32;
        const int *ws = is_luma ? luma_widths : chroma_widths;
        const int *hs = is_luma ? luma_heights : chroma_heights;
        int nw = is_luma ? 6 : 7;
        for (int iw = 0; iw < nw; iw++)
            for (int ih = 0; ih < 5; ih++)
                for (int t = 0; t < 5; t++) {
                    int w = ws[iw], h = hs[ih];
                    stats_case c = make_case(n, (iw + ih + t) % 5, rng);
                    int counted_w = w & ~15;
                    sao_stats want = model_stats(t, c.b, c.diff.data(), n, counted_w, h);
                    sao_stats got = junk_stats();
                    partial_c[t](&got, c.b.origin(), c.b.stride, is_luma, c.diff.data(), w, h, c.scratch.data());
                    EXPECT_TRUE(stats_equal(got, want))
                        << "type " << t << " n " << n << " width " << w << " height " << h;
                    uint32_t total = 0;
                    for (int k = 0; k < 32; k++) total += got.count[k];
                    EXPECT_EQ(total, (uint32_t)(counted_w * h));
                }
    }
}

TEST(SaoStats, FlatBlockAndCopiedRingGiveSignZeroTowardsTheRing)
{
    std::mt19937 rng(23);
    stats_case c = make_case(64, 3, rng);
    sao_stats s;
    for (int t = 0; t < 4; t++) {
        full_c[t](&s, c.b.origin(), c.b.stride, 1, c.diff.data(), c.scratch.data());
        int32_t sum = 0;
        for (int16_t d : c.diff) sum += d;
        EXPECT_EQ(s.count[2], 4096);
        EXPECT_EQ(s.sum[2], sum);
        for (int k = 0; k < 32; k++)
            if (k != 2) {
                EXPECT_EQ(s.count[k] | s.sum[k], 0) << "type " << t << " entry " << k;
            }
    }
    // A strictly increasing row with its left ring copied from column 0: the
    // first sample is equal to one neighbour and below the other (category 1).
    for (int r = -1; r <= 64; r++) {
        for (int col = 0; col <= 64; col++) c.b.at(r, col) = (uint8_t)(col * 3);
        c.b.at(r, -1) = c.b.at(r, 0);
    }
    std::vector<int16_t> zero(64 * 64, 0);
    zero[0] = 9;
    sao_stats_eo_hor_c(&s, c.b.origin(), c.b.stride, 1, zero.data(), c.scratch.data());
    EXPECT_EQ(s.count[1], 64);
    EXPECT_EQ(s.sum[1], 9);
    EXPECT_EQ(s.count[2], 64 * 63);
}

TEST(SaoStats, BandStatisticsReachTheExtremeSumsAndBandEdges)
{
    std::mt19937 rng(24);
    stats_case c = make_case(64, 3, rng);
    for (int r = 0; r < 64; r++)
        for (int col = 0; col < 64; col++) c.b.at(r, col) = 200;
    sao_stats s;
    for (int sign = -1; sign <= 1; sign += 2) {
        for (auto &d : c.diff) d = (int16_t)(255 * sign);
        sao_stats_bo_c(&s, c.b.origin(), c.b.stride, 1, c.diff.data(), c.scratch.data());
        EXPECT_EQ(s.count[25], 4096);
        EXPECT_EQ(s.sum[25], 1044480 * sign);
    }
    const int values[4] = {7, 8, 247, 255}, bands[4] = {0, 1, 30, 31};
    for (int i = 0; i < 4; i++) c.b.at(0, i) = (uint8_t)values[i];
    sao_stats_bo_partial_c(&s, c.b.origin(), c.b.stride, 1, c.diff.data(), 16, 1, c.scratch.data());
    for (int i = 0; i < 4; i++) EXPECT_EQ(s.count[bands[i]], 1) << "value " << values[i];
    EXPECT_EQ(s.count[25], 12);
}

TEST(SaoDiff, FullAndPartialKernelsWriteExactlyTheRoundedBlock)
{
    std::mt19937 rng(25);
    const int cases[][3] = {{1, 64, 64}, {1, 8, 64}, {1, 40, 64}, {1, 64, 24}, {1, 56, 8},
                            {0, 32, 32}, {0, 28, 16}, {0, 12, 32}, {0, 20, 4}, {1, 64, 0}};
    for (const auto &k : cases) {
        int is_luma = k[0], w = k[1], h = k[2], n = is_luma ? 64 : 32;
        int stride = n + (int)(rng() % 50);
        std::vector<uint8_t> deb((size_t)stride * (n - 1) + n), src(deb.size());
        for (size_t i = 0; i < deb.size(); i++) {
            deb[i] = (uint8_t)rng();
            src[i] = (uint8_t)rng();
        }
        deb[0] = 0;
        src[0] = 255;
        deb[1] = 255;
        src[1] = 0;
        std::vector<int16_t> out((size_t)n * n, 0x4321), full((size_t)n * n, 0x4321);
        sao_diff_ctb_partial_c(out.data(), deb.data(), stride, src.data(), stride, is_luma, w, h);
        int counted_w = w & ~15;
        for (int r = 0; r < n; r++)
            for (int c = 0; c < n; c++) {
                int want = r < h && c < counted_w ? src[r * stride + c] - deb[r * stride + c] : 0x4321;
                ASSERT_EQ(out[r * n + c], want) << "w " << w << " h " << h << " at " << r << "," << c;
            }
        if (w == n && h == n) {
            sao_diff_ctb_c(full.data(), deb.data(), stride, src.data(), stride, is_luma);
            EXPECT_TRUE(full == out);
            EXPECT_EQ(out[0], 255);
            EXPECT_EQ(out[1], -255);
        }
    }
}
