// SIMD forms against the portable forms: one harness walks every slot that the
// SSSE3 level and the AVX2 level fill with a kernel of their own and compares
// it with the portable kernel of the same slot on random, extreme, flat and
// worked-pattern inputs; a slot the harness cannot compare fails. Direct tests
// cover the 8x8 Hadamard core and the any-size SSE.
#include <gtest/gtest.h>

#include <cstring>

#include "encoder/cpu.h"
#include "encoder/memory.h"
#include "kernels/metrics/metric.h"
#include "kernels/quant/scan_tables.h"
#include "tests/support/metric_test_util.h"

namespace {

bool have_ssse3_set() { return cpu_use_ssse3_set(CPU_SSE41 | CPU_SSSE3); }
bool have_avx2_set() { return cpu_use_avx2_set(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2); }

std::vector<uintptr_t> slots_of(const metric_table &t)
{
    std::vector<uintptr_t> s(METRIC_TABLE_SLOTS);
    std::memcpy(s.data(), &t, sizeof t);
    return s;
}

// Block shape of a slot in groups 0..99.
void pair_shape(int slot, int *w, int *h)
{
    int group = slot / 5, i = slot % 5;
    bool wide = group == 2 || group == 5 || group == 16;
    bool tall = group == 3 || group == 6 || group == 17;
    *w = tall ? 32 >> i : 64 >> i;
    *h = wide ? 32 >> i : 64 >> i;
}

// The 8x8 Hadamard maximum: d(x, y) = 255 (-1)^popcount(x AND y), every
// coefficient of magnitude 2040.
bool hadamard_max_negative(int x, int y) { return __builtin_popcount((x & 7) & (y & 7)) & 1; }

// A 16x16 tile whose four 8x8 quarters pile their energy into 8 coefficients
// that share one lane class: +255 in columns 0, 1, 4, 5 of every row; in
// columns 2, 3, 6, 7 +255 on rows 0-2 and 4-6, -255 on rows 3 and 7.
bool lane_class_negative(int x, int y)
{
    int cx = x & 7, ry = y & 7;
    return (cx == 2 || cx == 3 || cx == 6 || cx == 7) && (ry == 3 || ry == 7);
}

// Fills a and b for input case k: random, extremes, flat opposites, the 8x8
// Hadamard maximum pattern tiled, the lane-class pattern tiled, equal blocks.
void fill_case(int k, test_block &a, test_block &b, std::mt19937 &rng)
{
    switch (k % 7) {
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
    case 5:
        for (int y = 0; y < a.h; y++)
            for (int x = 0; x < a.w; x++) {
                bool neg = k % 7 == 4 ? hadamard_max_negative(x, y) : lane_class_negative(x, y);
                if (k & 8) neg = !neg;
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

const int trials = 21;

void compare_pair(int slot, pair_metric_fn simd, pair_metric_fn ref, std::mt19937 &rng)
{
    int w, h;
    pair_shape(slot, &w, &h);
    for (int k = 0; k < trials; k++) {
        test_block a = make_block(w, h, random_stride(rng, w)), b = make_block(w, h, random_stride(rng, w));
        fill_case(k, a, b, rng);
        ASSERT_EQ(simd(a.origin, a.stride, b.origin, b.stride), ref(a.origin, a.stride, b.origin, b.stride))
            << "slot " << slot << " case " << k << " strides " << a.stride << " " << b.stride;
    }
}

// Copies the samples of src into dst (same size, any strides).
void copy_samples(test_block &dst, const test_block &src)
{
    for (int y = 0; y < src.h; y++)
        for (int x = 0; x < src.w; x++) dst.at(x, y) = src.at(x, y);
}

// A source block as the callers hold it: row stride 64, 32-byte aligned, in a
// buffer that ends right after its last sample.
struct source_block {
    uint8_t *p;
    explicit source_block(const test_block &t)
    {
        p = (uint8_t *)aligned_malloc((t.h - 1) * 64 + t.w);
        for (int y = 0; y < t.h; y++) std::memcpy(p + y * 64, &t.origin[(ptrdiff_t)y * t.stride], (size_t)t.w);
    }
    ~source_block() { aligned_free(p); }
    source_block(const source_block &) = delete;
    source_block &operator=(const source_block &) = delete;
};

// k candidates against one source: random, extreme, pattern and equal
// candidates, sometimes one candidate passed twice; exactly k results written.
void compare_multi(int slot, int k, const void *simd, const void *ref, std::mt19937 &rng)
{
    int w, h;
    pair_shape(slot, &w, &h);
    for (int t = 0; t < trials; t++) {
        int cs = random_stride(rng, w);
        test_block s = make_block(w, h, w), c[4];
        for (int i = 0; i < 4; i++) c[i] = make_block(w, h, cs);
        test_block pair_b = make_block(w, h, w), scratch = make_block(w, h, w);
        fill_case(t, s, pair_b, rng);
        copy_samples(c[0], pair_b);
        fill_case(t + 1, scratch, pair_b, rng);
        copy_samples(c[1], pair_b);
        fill_extreme(c[2], rng);
        copy_samples(c[3], c[0]);
        if (t % 3 == 0) copy_samples(c[2], s);   // a candidate equal to the source
        source_block src(s);
        const uint8_t *cp[4] = {c[0].origin, c[1].origin, t % 4 == 1 ? c[0].origin : c[2].origin, c[3].origin};
        uint32_t got[5], want[5];
        std::memset(got, 0xa5, sizeof got);
        std::memset(want, 0xa5, sizeof want);
        if (k == 4) {
            ((sad_x4_fn)simd)(src.p, cp[0], cp[1], cp[2], cp[3], cs, got);
            ((sad_x4_fn)ref)(src.p, cp[0], cp[1], cp[2], cp[3], cs, want);
        } else if (k == 3) {
            ((sad_x3_fn)simd)(src.p, cp[0], cp[1], cp[2], cs, got);
            ((sad_x3_fn)ref)(src.p, cp[0], cp[1], cp[2], cs, want);
        } else {
            ((sad_x2_fn)simd)(src.p, cp[0], cp[1], cs, got);
            ((sad_x2_fn)ref)(src.p, cp[0], cp[1], cs, want);
        }
        for (int i = 0; i < 5; i++) ASSERT_EQ(got[i], want[i]) << "slot " << slot << " case " << t << " out " << i;
    }
}

void compare_sse_wxh(sse_wxh_fn simd, sse_wxh_fn ref, std::mt19937 &rng)
{
    for (int w : {1, 3, 4, 5, 7, 8, 9, 15, 16, 24, 31, 33, 63, 64, 65, 100, 127, 128, 200, 255}) {
        for (int k = 0; k < 7; k++) {
            int h = 1 + (int)(rng() % 9);
            test_block a = make_block(w, h, random_stride(rng, w)), b = make_block(w, h, random_stride(rng, w));
            fill_case(k, a, b, rng);
            ASSERT_EQ(simd(a.origin, a.stride, b.origin, b.stride, w, h),
                      ref(a.origin, a.stride, b.origin, b.stride, w, h)) << "sse_wxh " << w << "x" << h;
        }
    }
    test_block a = make_block(8, 8, 8), b = make_block(8, 8, 8);
    EXPECT_EQ(simd(a.origin, 8, b.origin, 8, 0, 8), 0u);
    EXPECT_EQ(simd(a.origin, 8, b.origin, 8, 8, 0), 0u);
    EXPECT_EQ(simd(a.origin, 8, b.origin, 8, -3, 8), 0u);
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

// A coefficient block as the transform leaves it: 32-byte aligned.
struct coeff_block {
    int16_t *p;
    int n;
    explicit coeff_block(int n_) : n(n_) { p = (int16_t *)aligned_malloc(n * n * 2); }
    ~coeff_block() { aligned_free(p); }
    coeff_block(const coeff_block &) = delete;
    coeff_block &operator=(const coeff_block &) = delete;
};

// Levels of density d/8, magnitudes small and saturating, signs both ways.
void fill_levels(coeff_block &c, int density, std::mt19937 &rng)
{
    static const int16_t big[] = {1, -1, 2, -2, 127, -128, 128, -129, 255, 256, -256, 32767, -32768, 3, -3, 7};
    for (int i = 0; i < c.n * c.n; i++) c.p[i] = (int)(rng() % 8) < density ? big[rng() % 16] : 0;
}

void compare_count(count_nonzero_fn simd, count_nonzero_fn ref, std::mt19937 &rng)
{
    for (int log2n = 2; log2n <= 5; log2n++) {
        coeff_block c(1 << log2n);
        for (int density = 0; density <= 8; density++) {
            fill_levels(c, density, rng);
            ASSERT_EQ(simd(c.p, log2n), ref(c.p, log2n)) << "log2n " << log2n << " density " << density;
        }
        for (int i = 0; i < c.n * c.n; i++) c.p[i] = (int16_t)((i & 1) ? 256 : -256);
        ASSERT_EQ(simd(c.p, log2n), ref(c.p, log2n)) << "multiples of 256, log2n " << log2n;
    }
}

struct scan_result {
    uint16_t sign[64], sig[64];
    uint8_t count[64];
    int last;
};

// Every size and scan kind, with the real scan tables; the level count passed
// is the block's own, and also fewer or more than it holds.
void compare_scan(scan_coeff_groups_fn simd, scan_coeff_groups_fn ref, std::mt19937 &rng)
{
    scan_tables tables;
    std::memset(&tables, 0, sizeof tables);
    ASSERT_EQ(scan_tables_init(&tables), 0);
    for (int log2n = 2; log2n <= 5; log2n++) {
        int n = 1 << log2n;
        coeff_block c(n);
        for (int kind = 0; kind < 3; kind++) {
            const uint16_t *scan = scan_order(&tables, log2n, kind);
            const uint16_t *group_scan = scan_order(&tables, 2, kind);
            for (int t = 0; t < 24; t++) {
                fill_levels(c, t % 9, rng);
                if (t % 5 == 0) {   // one level at a random scan position, the rest zero
                    std::memset(c.p, 0, (size_t)n * n * 2);
                    c.p[scan[rng() % (n * n)]] = (int16_t)(t & 1 ? -300 : 1);
                }
                if (t == 23) c.p[scan[n * n - 1]] = -5;
                int nz = (int)count_nonzero_coeffs_c(c.p, log2n);
                for (int asked : {nz, nz - 1, nz + 3}) {
                    if (asked < 1) continue;
                    scan_result r1, r2;
                    std::memset(&r1, 0x77, sizeof r1);
                    std::memset(&r2, 0x77, sizeof r2);
                    r1.last = simd(scan, c.p, r1.sign, r1.sig, r1.count, asked, group_scan, n);
                    r2.last = ref(scan, c.p, r2.sign, r2.sig, r2.count, asked, group_scan, n);
                    ASSERT_EQ(std::memcmp(&r1, &r2, sizeof r1), 0)
                        << "log2n " << log2n << " kind " << kind << " trial " << t << " asked " << asked
                        << " of " << nz << " last " << r1.last << " / " << r2.last;
                }
            }
        }
    }
    scan_tables_free(&tables);
}

// Whole destination buffers compared, so a write outside the block shows.
void compare_copy(block_copy_fn simd, block_copy_fn ref, int n, std::mt19937 &rng)
{
    for (int t = 0; t < 8; t++) {
        int ss = random_stride(rng, n), ds = t & 1 ? n : random_stride(rng, n);
        test_block src = make_block(n, n, ss);
        fill_random(src, rng);
        test_block d1 = make_block(n, n, ds), d2 = make_block(n, n, ds);
        fill_value(d1, 0x3c);
        fill_value(d2, 0x3c);
        simd(d1.origin, src.origin, ds, ss);
        ref(d2.origin, src.origin, ds, ss);
        ASSERT_EQ(d1.buf, d2.buf) << "copy " << n << " strides " << ds << " " << ss;
    }
}

// Compares one slot; returns false for a slot the harness has no comparison for.
bool compare_slot(int slot, const std::vector<uintptr_t> &ss, const std::vector<uintptr_t> &rs, std::mt19937 &rng)
{
    const void *simd = (const void *)ss[slot], *ref = (const void *)rs[slot];
    if (slot < 100 && (slot < 20 || slot >= 45)) {
        compare_pair(slot, (pair_metric_fn)simd, (pair_metric_fn)ref, rng);
    } else if (slot >= 20 && slot < 45) {
        compare_multi(slot, slot < 35 ? 4 : slot < 40 ? 3 : 2, simd, ref, rng);
    } else if (slot == 105) {
        compare_sse_wxh((sse_wxh_fn)simd, (sse_wxh_fn)ref, rng);
    } else if (slot == 106) {
        compare_hadamard_ac((hadamard_ac_fn)simd, (hadamard_ac_fn)ref, rng);
    } else if (slot == 108) {
        compare_count((count_nonzero_fn)simd, (count_nonzero_fn)ref, rng);
    } else if (slot == 109) {
        compare_scan((scan_coeff_groups_fn)simd, (scan_coeff_groups_fn)ref, rng);
    } else if (slot >= 110 && slot <= 113) {
        compare_activity((ctu_activity_fn)simd, (ctu_activity_fn)ref, rng);
    } else if (slot >= 114 && slot <= 117) {
        compare_copy((block_copy_fn)simd, (block_copy_fn)ref, slot & 1 ? 32 : 64, rng);
    } else {
        return false;
    }
    return true;
}

// Walks every slot where the table of the flag set differs from the portable
// table; returns the number walked.
int walk_level(uint32_t flags, unsigned seed)
{
    metric_table ref, simd;
    std::memset(&ref, 0, sizeof ref);
    std::memset(&simd, 0, sizeof simd);
    metric_table_init(0, &ref, 5);
    metric_table_init(flags, &simd, 5);
    std::vector<uintptr_t> rs = slots_of(ref), ss = slots_of(simd);
    std::mt19937 rng(seed);
    int walked = 0;
    for (int slot = 0; slot < METRIC_TABLE_SLOTS; slot++) {
        if (rs[slot] == ss[slot]) continue;
        walked++;
        if (!compare_slot(slot, ss, rs, rng)) ADD_FAILURE() << "no comparison for slot " << slot;
        if (::testing::Test::HasFatalFailure()) break;
    }
    return walked;
}

TEST(metric_simd, every_ssse3_slot_equals_its_portable_kernel)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3 or SSE4.1";
    EXPECT_EQ(walk_level(CPU_SSE41 | CPU_SSSE3, 21), 52);
}

TEST(metric_simd, every_avx2_slot_equals_its_portable_kernel)
{
    if (!have_avx2_set()) GTEST_SKIP() << "processor lacks AVX2, BMI2 or POPCNT";
    // 52 slots of the SSSE3 level, of which the AVX2 set replaces many, and
    // 30 more that only the AVX2 set fills.
    EXPECT_EQ(walk_level(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2, 23), 82);
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
