// Hadamard AC energy, block sums and the CTU copies against direct definitions.
#include <gtest/gtest.h>

#include <cstring>

#include "encoder/cpu.h"
#include "encoder/memory.h"
#include "kernels/metrics/metric.h"
#include "tests/support/metric_test_util.h"

namespace {

// AC energy of the 4x4 at column x0: all 16 absolute coefficients of H4 P H4
// minus the DC, halved.
uint32_t ref_ac_half(const test_block &p, int x0)
{
    std::vector<int> d(16);
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++) d[y * 4 + x] = p.at(x0 + x, y);
    std::vector<int64_t> t = hadamard_2d(d, 4);
    return (uint32_t)((abs_sum(t) - t[0]) >> 1);
}

uint32_t ref_ac(const test_block &p) { return (ref_ac_half(p, 4) << 16) | ref_ac_half(p, 0); }

std::vector<hadamard_ac_fn> ac_forms()
{
    std::vector<hadamard_ac_fn> f = {hadamard_ac_8x4_c};
    if (cpu_use_ssse3_set(CPU_SSE41 | CPU_SSSE3)) f.push_back(hadamard_ac_8x4_ssse3);
    return f;
}

TEST(BlockStats, HadamardAcMatchesItsDefinition)
{
    std::mt19937 rng(51);
    for (hadamard_ac_fn fn : ac_forms()) {
        for (int k = 0; k < 300; k++) {
            test_block p = make_block(8, 4, random_stride(rng, 8));
            if (k % 3 == 2)
                fill_extreme(p, rng);
            else
                fill_random(p, rng);
            ASSERT_EQ(fn(p.origin, p.stride), ref_ac(p)) << k;
        }
    }
}

TEST(BlockStats, HadamardAcWorkedValuesAndPacking)
{
    for (hadamard_ac_fn fn : ac_forms()) {
        test_block p = make_block(8, 4, 8);
        fill_value(p, 200);
        EXPECT_EQ(fn(p.origin, 8), 0u);
        // A single 255 among zeros: AC = 15 x 255 = 3825, stored as 1912.
        fill_value(p, 0);
        p.at(6, 2) = 255;
        EXPECT_EQ(fn(p.origin, 8), 1912u << 16);   // left half flat: low 16 bits 0
        p.at(6, 2) = 0;
        p.at(1, 3) = 255;
        EXPECT_EQ(fn(p.origin, 8), 1912u);
        // A 4x4 checkerboard of 0 and 255: one AC coefficient of 2040, stored as 1020.
        for (int y = 0; y < 4; y++)
            for (int x = 0; x < 8; x++) p.at(x, y) = ((x + y) & 1) ? 255 : 0;
        EXPECT_EQ(fn(p.origin, 8), (1020u << 16) | 1020u);
    }
}

TEST(BlockStats, PixelSumsMatchTheirDefinition)
{
    std::mt19937 rng(52);
    for (int n : {8, 16}) {
        pixel_sum_ssq_fn fn = n == 16 ? pixel_sum_ssq_16x16_c : pixel_sum_ssq_8x8_c;
        for (int k = 0; k < 20; k++) {
            test_block p = random_block(rng, n, n);
            uint64_t sum = 0, ssq = 0;
            for (int y = 0; y < n; y++)
                for (int x = 0; x < n; x++) {
                    sum += p.at(x, y);
                    ssq += (uint64_t)p.at(x, y) * p.at(x, y);
                }
            ASSERT_EQ(fn(p.origin, p.stride), (ssq << 32) | sum);
        }
    }
    test_block white = make_block(16, 16, 16);
    fill_value(white, 255);
    uint64_t r = pixel_sum_ssq_16x16_c(white.origin, 16);
    EXPECT_EQ(r & 0xffffffffu, 65280u);
    EXPECT_EQ(r >> 32, 16646400u);
}

struct copy_case {
    block_copy_fn fn;
    int n;
};

TEST(BlockCopies, CopyEveryRowAndNothingElse)
{
    const copy_case cases[] = {{copy_64x64_prefetch_c, 64}, {copy_32x32_prefetch_c, 32},
                               {copy_64x64_c, 64}, {copy_32x32_c, 32}};
    std::mt19937 rng(53);
    for (const copy_case &c : cases) {
        for (int k = 0; k < 4; k++) {
            int src_stride = random_stride(rng, c.n, false);
            int dst_stride = k == 0 ? 64 : random_stride(rng, c.n, false);
            test_block src = make_block(c.n, c.n, src_stride);
            fill_random(src, rng);
            // The destination has a margin row above and below to catch stray writes.
            std::vector<uint8_t> dst((size_t)(c.n + 2) * dst_stride, 0xee);
            uint8_t *d0 = dst.data() + dst_stride;
            c.fn(d0, src.origin, dst_stride, src.stride);
            for (int y = -1; y <= c.n; y++)
                for (int x = 0; x < dst_stride; x++) {
                    uint8_t got = d0[(ptrdiff_t)y * dst_stride + x];
                    if (y >= 0 && y < c.n && x < c.n)
                        ASSERT_EQ(got, src.at(x, y)) << c.n << " row " << y;
                    else
                        ASSERT_EQ(got, 0xee) << c.n << " wrote outside at row " << y << " col " << x;
                }
        }
    }
}

}   // namespace
