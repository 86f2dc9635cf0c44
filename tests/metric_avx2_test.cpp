// Directed cases of the AVX2 metric forms: the blocks at which a 16-bit lane
// sum would saturate, 64-bit plane sums, multi-candidate results and the
// coefficient kernels' worked examples. The harness in metric_simd_test walks
// every slot against the portable kernels on top of these.
#include <gtest/gtest.h>

#include <cstring>

#include "encoder/cpu.h"
#include "encoder/memory.h"
#include "kernels/metrics/metric.h"
#include "tests/support/metric_test_util.h"

namespace {

bool have_avx2_set() { return cpu_use_avx2_set(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2); }

#define REQUIRE_AVX2() \
    if (!have_avx2_set()) GTEST_SKIP() << "processor lacks AVX2, BMI2 or POPCNT"

// Every 8x8 tile: +255 in columns 0, 1, 4, 5; in columns 2, 3, 6, 7 +255 on
// rows 0-2 and 4-6 and -255 on rows 3 and 7. The Hadamard energy of all four
// quarters of a 16x16 block lands in coefficients that share one 16-bit lane
// class, whose sum (81,600 / 2) passes 65,535.
void fill_lane_class(test_block &a, test_block &b)
{
    for (int y = 0; y < a.h; y++)
        for (int x = 0; x < a.w; x++) {
            int cx = x & 7, ry = y & 7;
            bool neg = (cx == 2 || cx == 3 || cx == 6 || cx == 7) && (ry == 3 || ry == 7);
            a.at(x, y) = neg ? 0 : 255;
            b.at(x, y) = neg ? 255 : 0;
        }
}

TEST(metric_avx2, sa8d_of_lane_saturating_blocks_is_the_exact_value)
{
    REQUIRE_AVX2();
    test_block a = make_block(64, 64, 64), b = make_block(64, 64, 64);
    fill_lane_class(a, b);
    EXPECT_EQ(sa8d_8x8_avx2(a.origin, 64, b.origin, 64), 10200u);
    EXPECT_EQ(sa8d_16x8_avx2(a.origin, 64, b.origin, 64), 20400u);
    EXPECT_EQ(sa8d_16x16_c(a.origin, 64, b.origin, 64), 40800u);
    EXPECT_EQ(sa8d_16x16_avx2(a.origin, 64, b.origin, 64), 40800u);
    EXPECT_EQ(sa8d_32x32_avx2(a.origin, 64, b.origin, 64), 4 * 40800u);
    EXPECT_EQ(sa8d_64x32_avx2(a.origin, 64, b.origin, 64), 8 * 40800u);
    EXPECT_EQ(sa8d_64x64_avx2(a.origin, 64, b.origin, 64), 16 * 40800u);
    // Rows 0, 2, 4, ... of the doubled-stride view repeat the pattern at
    // rows 0, 2, 4, 6 of each tile; the portable value decides.
    EXPECT_EQ(sa8d_sub_32x32_avx2(a.origin, 64, b.origin, 64), sa8d_sub_32x32_c(a.origin, 64, b.origin, 64));
    EXPECT_EQ(sa8d_sub_64x64_avx2(a.origin, 64, b.origin, 64), sa8d_sub_64x64_c(a.origin, 64, b.origin, 64));
}

TEST(metric_avx2, sa8d_and_satd_maxima)
{
    REQUIRE_AVX2();
    test_block a = make_block(64, 64, 64), b = make_block(64, 64, 64);
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            bool neg = __builtin_popcount((x & 7) & (y & 7)) & 1;
            a.at(x, y) = neg ? 0 : 255;
            b.at(x, y) = neg ? 255 : 0;
        }
    EXPECT_EQ(sa8d_8x8_avx2(a.origin, 64, b.origin, 64), 32640u);
    EXPECT_EQ(sa8d_64x64_avx2(a.origin, 64, b.origin, 64), 64 * 32640u);
    EXPECT_EQ(satd_4x4_avx(a.origin, 64, b.origin, 64), 8160u);
    EXPECT_EQ(satd_64x64_avx2(a.origin, 64, b.origin, 64), satd_64x64_c(a.origin, 64, b.origin, 64));
    fill_value(a, 255);
    fill_value(b, 0);
    EXPECT_EQ(satd_16x16_avx2(a.origin, 64, b.origin, 64), 32640u);
    EXPECT_EQ(satd_64x64_avx2(a.origin, 64, b.origin, 64), 522240u);
    EXPECT_EQ(sa8d_64x64_avx2(a.origin, 64, b.origin, 64), 261120u);
    EXPECT_EQ(sse_64x64_avx2(a.origin, 64, b.origin, 64), 266342400u);
    EXPECT_EQ(sse_4x4_avx(a.origin, 64, b.origin, 64), 1040400u);
    EXPECT_EQ(sad_64x64_avx2(a.origin, 64, b.origin, 64), 1044480u);
    EXPECT_EQ(sad_sub_64x64_avx2(a.origin, 64, b.origin, 64), 1044480u);
    EXPECT_EQ(sad_4x4_avx(a.origin, 64, b.origin, 64), 4080u);
}

// Separable full-range patterns d = 255 f(x) g(y), f, g in {-1, 0, 1}, pile
// their energy into few coefficients and so into few 16-bit lanes.
TEST(metric_avx2, hadamard_cores_are_exact_on_random_and_separable_blocks)
{
    REQUIRE_AVX2();
    std::mt19937 rng(31);
    for (int k = 0; k < 3000; k++) {
        test_block p = make_block(16, 16, random_stride(rng, 16)), q = make_block(16, 16, random_stride(rng, 16));
        if (k % 3 == 0) {
            fill_random(p, rng);
            fill_random(q, rng);
        } else if (k % 3 == 1) {
            fill_extreme(p, rng);
            fill_extreme(q, rng);
        } else {
            int f[16], g[16];
            for (int i = 0; i < 16; i++) {
                f[i] = (int)(rng() % 3) - 1;
                g[i] = (int)(rng() % 3) - 1;
            }
            for (int y = 0; y < 16; y++)
                for (int x = 0; x < 16; x++) {
                    int d = f[x] * g[y];
                    p.at(x, y) = d > 0 ? 255 : 0;
                    q.at(x, y) = d < 0 ? 255 : 0;
                }
        }
        const uint8_t *a = p.origin, *b = q.origin;
        int as = p.stride, bs = q.stride;
        ASSERT_EQ(sa8d_8x8_avx2(a, as, b, bs), sa8d_8x8_c(a, as, b, bs)) << k;
        ASSERT_EQ(sa8d_16x8_avx2(a, as, b, bs), sa8d_16x8_c(a, as, b, bs)) << k;
        ASSERT_EQ(sa8d_8x16_avx2(a, as, b, bs), sa8d_8x16_c(a, as, b, bs)) << k;
        ASSERT_EQ(sa8d_16x16_avx2(a, as, b, bs), sa8d_16x16_c(a, as, b, bs)) << k;
        ASSERT_EQ(satd_16x16_avx2(a, as, b, bs), satd_16x16_c(a, as, b, bs)) << k;
        ASSERT_EQ(satd_8x8_avx2(a, as, b, bs), satd_8x8_c(a, as, b, bs)) << k;
        ASSERT_EQ(satd_4x4_avx(a, as, b, bs), satd_4x4_c(a, as, b, bs)) << k;
    }
}

TEST(metric_avx2, sse_wxh_sums_planes_and_long_rows_in_64_bits)
{
    REQUIRE_AVX2();
    const int w = 4100, h = 2048;   // 4100 = 64 chunks + 4-sample piece
    std::vector<uint8_t> a((size_t)w * h, 0), b((size_t)w * h, 255);
    EXPECT_EQ(sse_wxh_avx2(a.data(), w, b.data(), w, w, h), (uint64_t)w * h * 65025);
    // One row long enough to flush the 32-bit lanes inside the row.
    const int wide = 300007;
    std::vector<uint8_t> c((size_t)wide, 255), d((size_t)wide, 0);
    EXPECT_EQ(sse_wxh_avx2(c.data(), wide, d.data(), wide, wide, 1), (uint64_t)wide * 65025);
}

// A 255 source against candidates of 0 gives the full value for every
// candidate; odd rows of a candidate are never read.
TEST(metric_avx2, multi_candidate_forms_give_each_candidate_its_sad_sub)
{
    REQUIRE_AVX2();
    uint8_t *src = (uint8_t *)aligned_malloc(64 * 64);
    std::memset(src, 255, 64 * 64);
    const int cs = 80;
    test_block c0 = make_block(64, 64, cs), c1 = make_block(64, 64, cs), c2 = make_block(64, 64, cs),
               c3 = make_block(64, 64, cs);
    for (int y = 1; y < 64; y += 2)
        for (int x = 0; x < 64; x++) c1.at(x, y) = 255;
    fill_value(c2, 255);
    uint32_t out[5] = {1, 2, 3, 4, 5};
    sad_x4_sub_64x64_avx2(src, c0.origin, c1.origin, c2.origin, c3.origin, cs, out);
    EXPECT_EQ(out[0], 1044480u);
    EXPECT_EQ(out[1], 1044480u);
    EXPECT_EQ(out[2], 0u);
    EXPECT_EQ(out[3], 1044480u);
    EXPECT_EQ(out[4], 5u);
    uint32_t out3[4] = {1, 2, 3, 4};
    sad_x3_sub_4x4_avx(src, c2.origin, c0.origin, c0.origin, cs, out3);
    EXPECT_EQ(out3[0], 0u);
    EXPECT_EQ(out3[1], 4080u);
    EXPECT_EQ(out3[2], 4080u);
    EXPECT_EQ(out3[3], 4u);
    uint32_t out2[3] = {1, 2, 3};
    sad_x2_sub_16x16_avx(src, c1.origin, c2.origin, cs, out2);
    EXPECT_EQ(out2[0], 255u * 256);
    EXPECT_EQ(out2[1], 0u);
    EXPECT_EQ(out2[2], 3u);
    aligned_free(src);
}

// Callers keep the source aligned, but a source at any address gives the same
// results (the forms load it unaligned).
TEST(metric_avx2, multi_candidate_forms_accept_an_unaligned_source)
{
    REQUIRE_AVX2();
    std::mt19937 rng(5);
    std::vector<uint8_t> buf(64 * 64 + 1);
    for (auto &v : buf) v = (uint8_t)rng();
    const uint8_t *src = buf.data() + 1;
    test_block c = random_block(rng, 64, 64);
    const uint8_t *p = c.origin;
    uint32_t got[4], want[4];
    sad_x4_sub_64x64_avx2(src, p, p, p, p, c.stride, got);
    sad_x4_sub_64x64_c(src, p, p, p, p, c.stride, want);
    EXPECT_EQ(std::vector<uint32_t>(got, got + 4), std::vector<uint32_t>(want, want + 4));
    sad_x4_sub_16x16_ssse3(src, p, p, p, p, c.stride, got);
    sad_x4_sub_16x16_c(src, p, p, p, p, c.stride, want);
    EXPECT_EQ(std::vector<uint32_t>(got, got + 4), std::vector<uint32_t>(want, want + 4));
    sad_x3_sub_16x16_avx(src, p, p, p, c.stride, got);
    sad_x3_sub_16x16_c(src, p, p, p, c.stride, want);
    EXPECT_EQ(std::vector<uint32_t>(got, got + 3), std::vector<uint32_t>(want, want + 3));
}

TEST(metric_avx2, count_of_zero_blocks_and_of_other_sizes)
{
    REQUIRE_AVX2();
    int16_t *c = (int16_t *)aligned_malloc(1024 * 2);
    std::memset(c, 0, 1024 * 2);
    for (int log2n = 2; log2n <= 5; log2n++) EXPECT_EQ(count_nonzero_coeffs_avx2(c, log2n), 0u);
    c[0] = -32768;
    c[15] = 256;
    EXPECT_EQ(count_nonzero_coeffs_avx2(c, 2), 2u);
    // Sizes no caller uses get the portable count rather than a marker value.
    EXPECT_EQ(count_nonzero_coeffs_avx2(c, 1), count_nonzero_coeffs_c(c, 1));
    aligned_free(c);
}

// Levels +2, -1, +1 at diagonal scan positions 0, 3, 5 of a 4x4 block; then
// a single level at the last position of a 32x32 block.
TEST(metric_avx2, scan_summary_worked_examples)
{
    REQUIRE_AVX2();
    const uint16_t diag[16] = {0, 4, 1, 8, 5, 2, 12, 9, 6, 3, 13, 10, 7, 14, 11, 15};
    int16_t coeff[16] = {0};
    coeff[diag[0]] = 2;
    coeff[diag[3]] = -1;
    coeff[diag[5]] = 1;
    uint16_t sign[64], sig[64];
    uint8_t count[64];
    EXPECT_EQ(scan_coeff_groups_avx(diag, coeff, sign, sig, count, 3, diag, 4), 5);
    EXPECT_EQ(count[0], 3);
    EXPECT_EQ(sig[0], 0x25);
    EXPECT_EQ(sign[0], 2);
    // 32x32 in raster order by groups of 4x4 (a valid layout for the walk).
    std::vector<uint16_t> scan(1024);
    const uint16_t raster[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int g = 0; g < 64; g++)
        for (int i = 0; i < 16; i++) scan[16 * g + i] = (uint16_t)((4 * (g / 8) + i / 4) * 32 + 4 * (g % 8) + i % 4);
    std::vector<int16_t> big(1024, 0);
    big[scan[1023]] = -7;
    EXPECT_EQ(scan_coeff_groups_avx(scan.data(), big.data(), sign, sig, count, 1, raster, 32), 1023);
    EXPECT_EQ(count[63], 1);
    EXPECT_EQ(sig[63], 1);
    EXPECT_EQ(sign[63], 1);
    EXPECT_EQ(count[62], 0);
}

}   // namespace
