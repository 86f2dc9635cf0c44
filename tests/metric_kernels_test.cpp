// Block metric kernel checks. The harness walks the metric table at every
// instruction-set level the processor has and compares every slot holding a
// kernel of its own with the portable kernel of the same slot on random,
// extreme, flat and worked-pattern inputs; a slot the harness cannot compare
// fails. Directed cases cover the Hadamard cores, the blocks at which a
// 16-bit lane sum would saturate, 64-bit plane sums, multi-candidate results
// and the coefficient kernels' worked examples. The timing test prints the
// time per call of every slot (kernel_check.h).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "encoder/cpu.h"
#include "encoder/memory.h"
#include "kernels/metrics/metric.h"
#include "kernels/quant/scan_tables.h"
#include "tests/support/kernel_check.h"
#include "tests/support/metric_test_util.h"

namespace {

bool have_ssse3_set() { return kernel_level_present(KERNEL_SSSE3); }
bool have_avx2_set() { return kernel_level_present(KERNEL_AVX2); }

#define REQUIRE_SSSE3() \
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3 or SSE4.1"
#define REQUIRE_AVX2() \
    if (!have_avx2_set()) GTEST_SKIP() << "processor lacks AVX2, BMI2 or POPCNT"

void metric_table_init_sa8d(uint32_t flags, metric_table *t)
{
    metric_table_init(flags, t, 5);
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

// Fills a with 255 and b with 0 where d is +255, the other way round where
// negative(x, y) says d is -255 (with `invert`, the opposite sign).
void fill_opposites(test_block &a, test_block &b, bool (*negative)(int x, int y), bool invert = false)
{
    for (int y = 0; y < a.h; y++)
        for (int x = 0; x < a.w; x++) {
            bool neg = negative(x, y) != invert;
            a.at(x, y) = neg ? 0 : 255;
            b.at(x, y) = neg ? 255 : 0;
        }
}

// A separable full-range pattern d = 255 f(x) g(y), f, g in {-1, 0, 1}: it
// piles its energy into few coefficients, so the 16-bit lane sums run high.
void fill_separable(test_block &p, test_block &q, std::mt19937 &rng)
{
    std::vector<int> f(p.w), g(p.h);
    for (int &v : f) v = (int)(rng() % 3) - 1;
    for (int &v : g) v = (int)(rng() % 3) - 1;
    for (int y = 0; y < p.h; y++)
        for (int x = 0; x < p.w; x++) {
            int d = f[x] * g[y];
            p.at(x, y) = d > 0 ? 255 : 0;
            q.at(x, y) = d < 0 ? 255 : 0;
        }
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
        fill_opposites(a, b, k % 7 == 4 ? hadamard_max_negative : lane_class_negative, k & 8);
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
bool compare_slot(int slot, const metric_table &portable, const metric_table &simd, std::mt19937 &rng)
{
    const void *vec = kernel_slot(simd, slot), *ref = kernel_slot(portable, slot);
    if (slot < 100 && (slot < 20 || slot >= 45)) {
        compare_pair(slot, (pair_metric_fn)vec, (pair_metric_fn)ref, rng);
    } else if (slot >= 20 && slot < 45) {
        compare_multi(slot, slot < 35 ? 4 : slot < 40 ? 3 : 2, vec, ref, rng);
    } else if (slot == 105) {
        compare_sse_wxh((sse_wxh_fn)vec, (sse_wxh_fn)ref, rng);
    } else if (slot == 106) {
        compare_hadamard_ac((hadamard_ac_fn)vec, (hadamard_ac_fn)ref, rng);
    } else if (slot == 108) {
        compare_count((count_nonzero_fn)vec, (count_nonzero_fn)ref, rng);
    } else if (slot == 109) {
        compare_scan((scan_coeff_groups_fn)vec, (scan_coeff_groups_fn)ref, rng);
    } else if (slot >= 110 && slot <= 113) {
        compare_activity((ctu_activity_fn)vec, (ctu_activity_fn)ref, rng);
    } else if (slot >= 114 && slot <= 117) {
        compare_copy((block_copy_fn)vec, (block_copy_fn)ref, slot & 1 ? 32 : 64, rng);
    } else {
        return false;
    }
    return true;
}

// Slot names: the group and the block size of the pair and multi-candidate
// groups, the kernel of the single slots.
std::string slot_name(int slot)
{
    static const char *const groups[20] = {
        "sad_sub", "sad", "sad_sub_wide", "sad_sub_tall", "sad_x4_sub", "sad_x4_sub_wide", "sad_x4_sub_tall",
        "sad_x3_sub", "sad_x2_sub", "sse", "reserved", "reserved", "satd", "reserved", "reserved", "sa8d",
        "sa8d_wide", "sa8d_tall", "sa8d_sub", "cost_metric"};
    static const char *const singles[METRIC_TABLE_SLOTS - 100] = {
        "reserved", "reserved", "pixel_sum_ssq_16x16", "pixel_sum_ssq_8x8", "reserved", "sse_wxh",
        "hadamard_ac_8x4", "reserved", "count_nonzero_coeffs", "scan_coeff_groups", "ctu_activity_hv",
        "ctu_activity_4dir", "ctu_activity_hv3", "ctu_activity_diag", "copy_64x64_prefetch",
        "copy_32x32_prefetch", "copy_64x64", "copy_32x32"};
    if (slot >= 100) return singles[slot - 100];
    int w, h;
    pair_shape(slot, &w, &h);
    return std::string(groups[slot / 5]) + " " + std::to_string(w) + "x" + std::to_string(h);
}

TEST(MetricKernels, EverySlotAtEveryLevelEqualsItsPortableKernel)
{
    // 52 slots of the SSSE3 level, of which the AVX2 set replaces many, and
    // 30 more that only the AVX2 set fills.
    expect_level_counts(walk_kernel_levels(metric_table_init_sa8d, compare_slot, slot_name, 21), 52, 82);
}

TEST(MetricKernels, HadamardCoreIsExactAtItsExtremes)
{
    REQUIRE_SSSE3();
    test_block a = make_block(8, 8, 8), b = make_block(8, 8, 8);
    fill_opposites(a, b, hadamard_max_negative);
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
    for (int k = 0; k < 4000; k++) {
        test_block p = make_block(8, 8, 8), q = make_block(8, 8, 8);
        fill_separable(p, q, rng);
        ASSERT_EQ(sa8d_8x8_raw_ssse3(p.origin, 8, q.origin, 8), (uint32_t)ref_hadamard_sum(p, q, 0, 0, 8))
            << "separable pattern " << k;
    }
}

// Slot of a pair-metric group (table order) at a size index (64, 32, 16, 8, 4).
enum { GROUP_SAD_SUB = 0, GROUP_SAD = 1, GROUP_SSE = 9, GROUP_SATD = 12, GROUP_SA8D = 15, GROUP_SA8D_WIDE = 16,
       GROUP_SA8D_SUB = 18 };

int pair_slot(int group, int size_index)
{
    return 5 * group + size_index;
}

// Worked values on extreme 64x64 blocks at every level: flat 255 against 0;
// the 8x8 Hadamard maximum tiled (every coefficient 2040); and the lane-class
// pattern, whose 16x16 energy lands in coefficients that share one 16-bit
// lane class with a sum (81,600 / 2) past 65,535. A want of 0 is the portable
// value.
TEST(MetricKernels, ExtremeBlocksGiveTheWorkedValuesAtEveryLevel)
{
    struct worked {
        bool (*negative)(int x, int y);   // null: flat
        int slot;
        uint32_t want;
    } values[] = {
        {nullptr, pair_slot(GROUP_SA8D, 3), 4080},       {nullptr, pair_slot(GROUP_SATD, 4), 2040},
        {nullptr, pair_slot(GROUP_SATD, 2), 32640},      {nullptr, pair_slot(GROUP_SATD, 0), 522240},
        {nullptr, pair_slot(GROUP_SA8D, 0), 261120},     {nullptr, pair_slot(GROUP_SSE, 0), 266342400},
        {nullptr, pair_slot(GROUP_SSE, 4), 1040400},     {nullptr, pair_slot(GROUP_SAD, 0), 1044480},
        {nullptr, pair_slot(GROUP_SAD, 4), 4080},        {nullptr, pair_slot(GROUP_SAD_SUB, 0), 1044480},
        {hadamard_max_negative, pair_slot(GROUP_SA8D, 3), 32640},
        {hadamard_max_negative, pair_slot(GROUP_SA8D, 0), 64 * 32640},
        {hadamard_max_negative, pair_slot(GROUP_SATD, 4), 8160},
        {hadamard_max_negative, pair_slot(GROUP_SATD, 0), 0},
        {lane_class_negative, pair_slot(GROUP_SA8D, 3), 10200},
        {lane_class_negative, pair_slot(GROUP_SA8D_WIDE, 2), 20400},
        {lane_class_negative, pair_slot(GROUP_SA8D, 2), 40800},
        {lane_class_negative, pair_slot(GROUP_SA8D, 1), 4 * 40800},
        {lane_class_negative, pair_slot(GROUP_SA8D_WIDE, 0), 8 * 40800},
        {lane_class_negative, pair_slot(GROUP_SA8D, 0), 16 * 40800},
        // Rows 0, 2, 4, ... of the doubled-stride view repeat the pattern at
        // rows 0, 2, 4, 6 of each tile.
        {lane_class_negative, pair_slot(GROUP_SA8D_SUB, 1), 0},
        {lane_class_negative, pair_slot(GROUP_SA8D_SUB, 0), 0},
    };
    test_block a = make_block(64, 64, 64), b = make_block(64, 64, 64);
    metric_table portable = kernel_table(metric_table_init_sa8d, KERNEL_PORTABLE);
    for (int level = 0; level < KERNEL_LEVELS; level++) {
        if (!kernel_level_present(level)) continue;
        metric_table t = kernel_table(metric_table_init_sa8d, level);
        for (const worked &v : values) {
            if (v.negative) {
                fill_opposites(a, b, v.negative);
            } else {
                fill_value(a, 255);
                fill_value(b, 0);
            }
            uint32_t want = v.want ? v.want : ((pair_metric_fn)kernel_slot(portable, v.slot))(a.origin, 64, b.origin, 64);
            EXPECT_EQ(((pair_metric_fn)kernel_slot(t, v.slot))(a.origin, 64, b.origin, 64), want)
                << kernel_level_name(level) << " " << slot_name(v.slot);
        }
    }
}

TEST(MetricKernels, HadamardCoresAreExactOnRandomAndSeparableBlocks)
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
            fill_separable(p, q, rng);
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

// Whole planes, and single rows long enough to flush the 32-bit lanes inside
// the row, at every level.
TEST(MetricKernels, SseWxhSumsPlanesAndLongRowsIn64Bits)
{
    const int w = 4100, h = 2048;   // 4100 exercises the 8-sample, 4-sample and scalar tails
    std::vector<uint8_t> a((size_t)w * h, 0), b((size_t)w * h, 255);
    const int wide = 300007;
    std::vector<uint8_t> c((size_t)wide, 255), d((size_t)wide, 0);
    for (int level = 0; level < KERNEL_LEVELS; level++) {
        if (!kernel_level_present(level)) continue;
        sse_wxh_fn sse = kernel_table(metric_table_init_sa8d, level).sse_wxh;
        EXPECT_EQ(sse(a.data(), w, b.data(), w, w, h), (uint64_t)w * h * 65025) << kernel_level_name(level);
        EXPECT_EQ(sse(c.data(), wide, d.data(), wide, wide, 1), (uint64_t)wide * 65025) << kernel_level_name(level);
        EXPECT_EQ(sse(c.data(), wide, d.data(), wide, 0, 1), 0u) << kernel_level_name(level);
    }
}

// A 255 source against candidates of 0 gives the full value for every
// candidate; odd rows of a candidate are never read.
TEST(MetricKernels, MultiCandidateFormsGiveEachCandidateItsSadSub)
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
TEST(MetricKernels, MultiCandidateFormsAcceptAnUnalignedSource)
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

TEST(MetricKernels, CountOfZeroBlocksAndOfOtherSizes)
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
TEST(MetricKernels, ScanSummaryWorkedExamples)
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

// ---- timing ----

// What the timed calls read: a source CTU copy (stride 64, 32-byte aligned),
// a reference area whose candidates sit at odd offsets, a sparse 32x32
// coefficient block and its scan in groups of 4x4.
struct timing_data {
    static constexpr int STRIDE = 256, ROWS = 160;
    uint8_t *src = (uint8_t *)aligned_malloc(64 * 64);
    uint8_t *plane = (uint8_t *)aligned_malloc(STRIDE * ROWS);
    uint8_t *dst = (uint8_t *)aligned_malloc(STRIDE * ROWS);
    int16_t *coeff = (int16_t *)aligned_malloc(1024 * 2);
    uint16_t scan[1024], group_scan[16], sign[64], sig[64];
    uint8_t count[64];
    ctu_activity_maps maps;
    uint32_t out[4];

    timing_data()
    {
        std::mt19937 rng(7);
        for (int i = 0; i < 64 * 64; i++) src[i] = (uint8_t)rng();
        for (int i = 0; i < STRIDE * ROWS; i++) plane[i] = (uint8_t)rng();
        for (int i = 0; i < 1024; i++) coeff[i] = rng() % 6 == 0 ? (int16_t)((int)(rng() % 9) - 4) : 0;
        for (int g = 0; g < 64; g++)
            for (int i = 0; i < 16; i++) scan[16 * g + i] = (uint16_t)((4 * (g / 8) + i / 4) * 32 + 4 * (g % 8) + i % 4);
        for (int i = 0; i < 16; i++) group_scan[i] = (uint16_t)i;
    }
    ~timing_data()
    {
        aligned_free(src);
        aligned_free(plane);
        aligned_free(dst);
        aligned_free(coeff);
    }
    const uint8_t *candidate() const { return plane + 3 * STRIDE + 5; }
};

// One call of the kernel in the slot.
void call_slot(int slot, const void *fn, timing_data *d)
{
    const int S = timing_data::STRIDE;
    const uint8_t *c = d->candidate();
    if (slot < 100 && (slot < 20 || slot >= 45)) {
        kernel_sink += ((pair_metric_fn)fn)(d->src, 64, c, S);
    } else if (slot < 35) {
        ((sad_x4_fn)fn)(d->src, c, c + 1, c + 2, c + 3, S, d->out);
    } else if (slot < 40) {
        ((sad_x3_fn)fn)(d->src, c, c + 1, c + 2, S, d->out);
    } else if (slot < 45) {
        ((sad_x2_fn)fn)(d->src, c, c + 1, S, d->out);
    } else if (slot == 102 || slot == 103) {
        kernel_sink += ((pixel_sum_ssq_fn)fn)(c, S);
    } else if (slot == 105) {
        kernel_sink += ((sse_wxh_fn)fn)(d->plane, S, d->dst, S, 240, 128);
    } else if (slot == 106) {
        kernel_sink += ((hadamard_ac_fn)fn)(d->src, 64);
    } else if (slot == 108) {
        kernel_sink += ((count_nonzero_fn)fn)(d->coeff, 5);
    } else if (slot == 109) {
        kernel_sink += (uint64_t)((scan_coeff_groups_fn)fn)(d->scan, d->coeff, d->sign, d->sig, d->count, 150,
                                                            d->group_scan, 32);
    } else if (slot >= 110 && slot <= 113) {
        ((ctu_activity_fn)fn)(d->src, &d->maps);
    } else if (slot >= 114) {
        ((block_copy_fn)fn)(d->dst, d->plane, S, S);
    }
    kernel_sink += d->out[0];
}

TEST(MetricKernels, Timing)
{
    if (!kernel_timing_ms()) GTEST_SKIP() << KERNEL_TIMING_OFF;
    static timing_data d;
    std::vector<const void *> portable = kernel_slots(kernel_table(metric_table_init_sa8d, KERNEL_PORTABLE));
    std::vector<timing_case<metric_table>> cases;
    for (int slot = 0; slot < METRIC_TABLE_SLOTS; slot++) {
        if (!portable[slot]) continue;
        std::string name = slot_name(slot);
        if (slot == 105) name += " 240x128";
        cases.push_back({name, slot, [slot](const metric_table &t) { call_slot(slot, kernel_slot(t, slot), &d); }});
    }
    time_kernel_cases("metric", metric_table_init_sa8d, cases);
}

}   // namespace
