// SIMD forms against the portable forms: one harness walks every slot the
// SSSE3 set fills and compares it with the portable kernel of the same slot on
// random, extreme and worked-pattern inputs; direct tests cover the 8x8
// Hadamard core and the any-size SSE.
#include <gtest/gtest.h>

#include <cstring>

#include "encoder/cpu.h"
#include "kernels/metrics/metric.h"
#include "metric_test_util.h"

namespace {

bool have_ssse3_set() { return cpu_use_ssse3_set(CPU_SSE41 | CPU_SSSE3); }

std::vector<uintptr_t> slots_of(const metric_table &t)
{
    std::vector<uintptr_t> s(METRIC_TABLE_SLOTS);
    std::memcpy(s.data(), &t, sizeof t);
    return s;
}

// Block shape of a pair-metric slot in groups 0..99.
void pair_shape(int slot, int *w, int *h)
{
    int group = slot / 5, i = slot % 5;
    bool wide = group == 2 || group == 5 || group == 16;
    bool tall = group == 3 || group == 6 || group == 17;
    *w = tall ? 32 >> i : 64 >> i;
    *h = wide ? 32 >> i : 64 >> i;
}

// Fills a and b for input case k: random, extremes, flat opposites, the 8x8
// Hadamard maximum pattern tiled, and equal blocks.
void fill_case(int k, test_block &a, test_block &b, std::mt19937 &rng)
{
    switch (k % 6) {
    case 0:
    case 1:
        fill_random(a, rng);
        fill_random(b, rng);
        break;
    case 2:
        fill_extreme(a, rng);
        fill_extreme(b, rng);
        break;
    case 3:
        fill_value(a, k & 8 ? 0 : 255);
        fill_value(b, k & 8 ? 255 : 0);
        break;
    case 4:
        for (int y = 0; y < a.h; y++)
            for (int x = 0; x < a.w; x++) {
                bool neg = __builtin_popcount((x & 7) & (y & 7)) & 1;
                a.at(x, y) = neg ? 0 : 255;
                b.at(x, y) = neg ? 255 : 0;
            }
        break;
    default:
        fill_random(a, rng);
        b = a;
        break;
    }
}

const int trials = 18;

void compare_pair(int slot, pair_metric_fn simd, pair_metric_fn ref, std::mt19937 &rng)
{
    int w, h;
    pair_shape(slot, &w, &h);
    for (int k = 0; k < trials; k++) {
        test_block a = make_block(w, h, random_stride(rng, w)), b = make_block(w, h, random_stride(rng, w));
        fill_case(k, a, b, rng);
        ASSERT_EQ(simd(a.origin, a.stride, b.origin, b.stride), ref(a.origin, a.stride, b.origin, b.stride))
            << "slot " << slot << " case " << k;
    }
}

void compare_sse_wxh(sse_wxh_fn simd, sse_wxh_fn ref, std::mt19937 &rng)
{
    for (int w : {1, 3, 4, 7, 8, 9, 15, 16, 24, 31, 33, 63, 64, 65, 100, 200}) {
        for (int k = 0; k < 6; k++) {
            int h = 1 + (int)(rng() % 9);
            test_block a = make_block(w, h, random_stride(rng, w)), b = make_block(w, h, random_stride(rng, w));
            fill_case(k, a, b, rng);
            ASSERT_EQ(simd(a.origin, a.stride, b.origin, b.stride, w, h),
                      ref(a.origin, a.stride, b.origin, b.stride, w, h)) << "sse_wxh " << w << "x" << h;
        }
    }
}

void compare_hadamard_ac(hadamard_ac_fn simd, hadamard_ac_fn ref, std::mt19937 &rng)
{
    for (int k = 0; k < 40; k++) {
        test_block a = make_block(8, 4, random_stride(rng, 8)), b = make_block(8, 4, 8);
        fill_case(k, a, b, rng);
        ASSERT_EQ(simd(a.origin, a.stride), ref(a.origin, a.stride)) << "hadamard_ac_8x4 case " << k;
    }
}

void compare_activity(ctu_activity_fn simd, ctu_activity_fn ref, std::mt19937 &rng)
{
    for (int k = 0; k < 8; k++) {
        test_block a = make_block(64, 64, 64), b = make_block(64, 64, 64);
        fill_case(k, a, b, rng);
        ctu_activity_maps m1, m2;
        std::memset(&m1, 0x5a, sizeof m1);
        std::memset(&m2, 0x5a, sizeof m2);
        simd(a.origin, &m1);
        ref(a.origin, &m2);
        ASSERT_EQ(std::memcmp(&m1, &m2, sizeof m1), 0) << "activity case " << k;
    }
}

TEST(metric_simd, every_ssse3_slot_equals_its_portable_kernel)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3 or SSE4.1";
    metric_table ref, simd;
    std::memset(&ref, 0, sizeof ref);
    std::memset(&simd, 0, sizeof simd);
    metric_table_init(0, &ref, 5);
    metric_table_init(CPU_SSE41 | CPU_SSSE3, &simd, 5);
    std::vector<uintptr_t> rs = slots_of(ref), ss = slots_of(simd);
    std::mt19937 rng(21);
    int walked = 0;
    for (int slot = 0; slot < METRIC_TABLE_SLOTS; slot++) {
        if (rs[slot] == ss[slot]) continue;
        walked++;
        if (slot < 100 && (slot < 20 || slot >= 45)) {
            compare_pair(slot, (pair_metric_fn)ss[slot], (pair_metric_fn)rs[slot], rng);
        } else if (slot == 105) {
            compare_sse_wxh(simd.sse_wxh, ref.sse_wxh, rng);
        } else if (slot == 106) {
            compare_hadamard_ac(simd.hadamard_ac_8x4, ref.hadamard_ac_8x4, rng);
        } else if (slot >= 110 && slot <= 113) {
            compare_activity((ctu_activity_fn)ss[slot], (ctu_activity_fn)rs[slot], rng);
        } else {
            ADD_FAILURE() << "no comparison for SSSE3 slot " << slot;
        }
    }
    EXPECT_EQ(walked, 28);
}

TEST(metric_simd, hadamard_core_is_exact_at_its_extremes)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3 or SSE4.1";
    test_block a = make_block(8, 8, 8), b = make_block(8, 8, 8);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) {
            bool neg = __builtin_popcount(x & y) & 1;
            a.at(x, y) = neg ? 0 : 255;
            b.at(x, y) = neg ? 255 : 0;
        }
    EXPECT_EQ(sa8d_8x8_raw_ssse3(a.origin, 8, b.origin, 8), 130560u);
    EXPECT_EQ(sa8d_8x8_raw_ssse3(b.origin, 8, a.origin, 8), 130560u);
    fill_value(a, 255);
    fill_value(b, 0);
    EXPECT_EQ(sa8d_8x8_raw_ssse3(a.origin, 8, b.origin, 8), 16320u);
    EXPECT_EQ(sa8d_8x8_raw_ssse3(b.origin, 8, a.origin, 8), 16320u);
    std::mt19937 rng(22);
    for (int k = 0; k < 2000; k++) {
        test_block p = make_block(8, 8, random_stride(rng, 8)), q = make_block(8, 8, random_stride(rng, 8));
        if (k & 1) {
            fill_extreme(p, rng);
            fill_extreme(q, rng);
        } else {
            fill_random(p, rng);
            fill_random(q, rng);
        }
        ASSERT_EQ(sa8d_8x8_raw_ssse3(p.origin, p.stride, q.origin, q.stride),
                  (uint32_t)ref_hadamard_sum(p, q, 0, 0, 8)) << k;
    }
    // Separable full-range patterns d = 255 f(x) g(y), f, g in {-1, 0, 1}: they
    // pile their energy into few coefficients, so the 16-bit lane sums run high.
    for (int k = 0; k < 4000; k++) {
        int f[8], g[8];
        for (int i = 0; i < 8; i++) {
            f[i] = (int)(rng() % 3) - 1;
            g[i] = (int)(rng() % 3) - 1;
        }
        test_block p = make_block(8, 8, 8), q = make_block(8, 8, 8);
        for (int y = 0; y < 8; y++)
            for (int x = 0; x < 8; x++) {
                int d = f[x] * g[y];
                p.at(x, y) = d > 0 ? 255 : 0;
                q.at(x, y) = d < 0 ? 255 : 0;
            }
        ASSERT_EQ(sa8d_8x8_raw_ssse3(p.origin, 8, q.origin, 8), (uint32_t)ref_hadamard_sum(p, q, 0, 0, 8))
            << "separable pattern " << k;
    }
}

TEST(metric_simd, full_range_blocks_give_the_portable_maxima)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3 or SSE4.1";
    test_block a = make_block(64, 64, 64), b = make_block(64, 64, 64);
    fill_value(a, 255);
    fill_value(b, 0);
    EXPECT_EQ(sa8d_8x8_ssse3(a.origin, 64, b.origin, 64), 4080u);
    EXPECT_EQ(satd_4x4_ssse3(a.origin, 64, b.origin, 64), 2040u);
    EXPECT_EQ(sa8d_64x64_ssse3(a.origin, 64, b.origin, 64), 261120u);
    EXPECT_EQ(sse_64x64_ssse3(a.origin, 64, b.origin, 64), 266342400u);
}

TEST(metric_simd, sse_wxh_ssse3_sums_a_large_plane_in_64_bits)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3 or SSE4.1";
    const int w = 4100, h = 2048;   // 4100 exercises the 8-sample and scalar tails
    std::vector<uint8_t> a((size_t)w * h, 0), b((size_t)w * h, 255);
    EXPECT_EQ(sse_wxh_ssse3(a.data(), w, b.data(), w, w, h), (uint64_t)w * h * 65025);
    // One row wide enough to need the lane flush inside the row.
    const int wide = 70000;
    std::vector<uint8_t> c((size_t)wide, 255), d((size_t)wide, 0);
    EXPECT_EQ(sse_wxh_ssse3(c.data(), wide, d.data(), wide, wide, 1), (uint64_t)wide * 65025);
    EXPECT_EQ(sse_wxh_ssse3(c.data(), wide, d.data(), wide, 0, 1), 0u);
}

}   // namespace
