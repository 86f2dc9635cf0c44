// Intra kernel checks. The harness walks the intra table at every
// instruction-set level the processor has and compares every slot holding a
// vector kernel with the portable kernel of the same slot on random and
// extreme reference samples and on references that are flat but for one
// sample, at two destination strides, checking that nothing outside the block
// (or the output array) is written and that the reference array is left as it
// was. Direct tests cover worked values of the H.265 processes. The timing
// test prints the time per call of every kernel (kernel_check.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/intra/intra_pred_kernels.h"
#include "tests/support/kernel_check.h"

namespace {

const int table_slots = 284;
const int margin = 32; // readable bytes around every reference array

typedef void (*set_fill_fn)(intra_pred_table *);

bool have_ssse3_set() { return kernel_level_present(KERNEL_SSSE3); }
bool have_avx2_set() { return kernel_level_present(KERNEL_AVX2); }

const void *slot_ptr(const intra_pred_table &t, int slot)
{
    return kernel_slot(t, slot);
}

intra_pred_table portable_table()
{
    return kernel_table(intra_pred_table_init, KERNEL_PORTABLE);
}

// The slots a set installer stores, found by running it on an empty table.
std::vector<int> slots_filled_by(set_fill_fn fill)
{
    intra_pred_table t;
    memset(&t, 0, sizeof t);
    fill(&t);
    std::vector<int> slots;
    for (int s = 0; s < table_slots; s++)
        if (slot_ptr(t, s)) slots.push_back(s);
    return slots;
}

int slot_size(int slot) { return 4 << (slot < 4 ? slot : (slot - 4) % 4); }

// Reference case k: random, flat extremes, alternating extremes, ramps, random
// extremes and sides that disagree with each other and with the corner.
void fill_reference(int k, uint8_t *ref, int n, std::mt19937 &rng)
{
    int len = 4 * n + 1;
    for (int i = 0; i < len; i++) {
        int v;
        switch (k) {
        case 0: v = 0; break;
        case 1: v = 255; break;
        case 2: v = (i & 1) * 255; break;
        case 3: v = (~i & 1) * 255; break;
        case 4: v = i * 255 / (len - 1); break;
        case 5: v = 255 - i * 255 / (len - 1); break;
        case 6: v = (rng() & 1) * 255; break;
        case 7: v = i == 0 ? 255 : 0; break;
        case 8: v = i == 0 ? 0 : 255; break;
        case 9: v = i == 0 ? 128 : (i <= 2 * n ? 0 : 255); break;
        case 10: v = i == 0 ? 128 : (i <= 2 * n ? 255 : 0); break;
        case 11: v = (i * 37) & 255; break;
        default: v = (int)(rng() & 255); break;
        }
        ref[i] = (uint8_t)v;
    }
}

const int reference_cases = 24;

struct ref_buffer {
    std::vector<uint8_t> mem;
    uint8_t *ref;
    ref_buffer(int n, std::mt19937 &rng) : mem(4 * n + 1 + 2 * margin)
    {
        for (uint8_t &b : mem) b = (uint8_t)rng(); // the margins hold noise
        ref = mem.data() + margin;
    }
};

// Runs slot kernels of both tables on one reference; the destination starts
// one row and 8 columns into a noise-filled buffer so that a write before,
// after or beside any row shows.
void compare_pred(intra_pred_fn simd, intra_pred_fn portable, int n, int stride,
                  const ref_buffer &rb, std::mt19937 &rng, const char *what)
{
    const int rows = n + 2, left = 8;
    std::vector<uint8_t> init((size_t)rows * stride + left + n);
    for (uint8_t &b : init) b = (uint8_t)rng();
    std::vector<uint8_t> a = init, b = init;
    uint8_t *origin_a = a.data() + stride + left, *origin_b = b.data() + stride + left;
    std::vector<uint8_t> ref_before = rb.mem;
    portable(origin_a, stride, rb.ref);
    simd(origin_b, stride, rb.ref);
    ASSERT_EQ(rb.mem, ref_before) << what << ": reference or its margins changed";
    for (size_t i = 0; i < b.size(); i++) {
        long off = (long)i - (stride + left);
        bool inside = off >= 0 && off / stride < n && off % stride < n;
        if (!inside) {
            ASSERT_EQ(b[i], init[i]) << what << ": byte outside the block written at " << off;
        }
    }
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++)
            ASSERT_EQ(origin_b[y * stride + x], origin_a[y * stride + x])
                << what << ": sample (" << x << ", " << y << ")";
}

void compare_filter(intra_ref_filter_fn simd, intra_ref_filter_fn portable, int n, const ref_buffer &rb,
                    std::mt19937 &rng, const char *what)
{
    int len = 4 * n + 1;
    std::vector<uint8_t> init(len + 2 * margin);
    for (uint8_t &b : init) b = (uint8_t)rng();
    std::vector<uint8_t> a = init, b = init;
    std::vector<uint8_t> ref_before = rb.mem;
    portable(rb.ref, a.data() + margin);
    simd(rb.ref, b.data() + margin);
    ASSERT_EQ(rb.mem, ref_before) << what << ": input changed";
    ASSERT_EQ(a, b) << what;
}

// One slot of both tables on one reference; the reference filters (slots
// 0..3) have no destination stride.
void compare_on(int slot, const intra_pred_table &portable, const intra_pred_table &simd, const ref_buffer &rb,
                int stride, std::mt19937 &rng, const char *what)
{
    int n = slot_size(slot);
    if (slot < 4)
        compare_filter((intra_ref_filter_fn)slot_ptr(simd, slot), (intra_ref_filter_fn)slot_ptr(portable, slot), n,
                       rb, rng, what);
    else
        compare_pred((intra_pred_fn)slot_ptr(simd, slot), (intra_pred_fn)slot_ptr(portable, slot), n, stride, rb,
                     rng, what);
}

// Every reference case at two strides, then references that are 0 (or 255)
// but for one sample: a kernel that reads a wrong projected sample, tap or
// end sample shows at once.
bool compare_slot(int slot, const intra_pred_table &portable, const intra_pred_table &simd, std::mt19937 &rng)
{
    int n = slot_size(slot);
    char what[80];
    for (int k = 0; k < reference_cases; k++) {
        ref_buffer rb(n, rng);
        fill_reference(k, rb.ref, n, rng);
        snprintf(what, sizeof what, "reference case %d", k);
        for (int stride : {128, n + 3}) {
            compare_on(slot, portable, simd, rb, stride, rng, what);
            if (::testing::Test::HasFatalFailure()) return true;
        }
    }
    for (int at = 0; at <= 4 * n; at++)
        for (int polarity = 0; polarity < 2; polarity++) {
            ref_buffer rb(n, rng);
            for (int i = 0; i <= 4 * n; i++) rb.ref[i] = (uint8_t)(polarity ? 255 : 0);
            rb.ref[at] = (uint8_t)(polarity ? 0 : 255);
            snprintf(what, sizeof what, "impulse at %d", at);
            compare_on(slot, portable, simd, rb, 128, rng, what);
            if (::testing::Test::HasFatalFailure()) return true;
        }
    return true;
}

// "ref_filter 8x8", "planar 4x4", "dc filtered 16x16", "angular 27 32x32".
std::string slot_name(int slot)
{
    int n = slot_size(slot);
    std::string size = " " + std::to_string(n) + "x" + std::to_string(n);
    if (slot < 4) return "ref_filter" + size;
    int mode = (slot - 4) / 8, f = (slot - 4) / 4 % 2;
    std::string name = mode == INTRA_MODE_PLANAR ? "planar" : mode == INTRA_MODE_DC ? "dc" : "angular " + std::to_string(mode);
    return name + (f ? " filtered" : "") + size;
}

intra_pred_fn avx2_slot(int mode, int f, int s)
{
    intra_pred_table t;
    memset(&t, 0, sizeof t);
    intra_pred_table_fill_avx2(&t);
    return t.pred[mode][f][s];
}

intra_pred_fn ssse3_slot(int mode, int f, int s)
{
    intra_pred_table t;
    memset(&t, 0, sizeof t);
    intra_pred_table_fill_ssse3(&t);
    return t.pred[mode][f][s];
}

std::vector<uint8_t> predict(intra_pred_fn fn, int n, const std::vector<uint8_t> &ref_array)
{
    std::vector<uint8_t> mem(ref_array.size() + 2 * margin, 0);
    memcpy(mem.data() + margin, ref_array.data(), ref_array.size());
    std::vector<uint8_t> out((size_t)n * n);
    fn(out.data(), n, mem.data() + margin);
    return out;
}

} // namespace

TEST(IntraKernels, EverySlotAtEveryLevelEqualsItsPortableKernel)
{
    // The AVX2 level keeps the 13 slots of the SSSE3 set and adds 264.
    expect_level_counts(walk_kernel_levels(intra_pred_table_init, compare_slot, slot_name, 2027), 13, 277);
}

// Each installer stores vector kernels only, in exactly its slots: mode 34
// below 32x32 and the smoothing entries stay outside the AVX2 set. An
// installer is compiled for its instruction sets, so it runs only where they are.
TEST(IntraKernels, EachSetFillsExactlyItsSlotsWithVectorKernels)
{
    intra_pred_table portable = portable_table();
    struct {
        int level;
        set_fill_fn fill;
        size_t count;
    } sets[] = {{KERNEL_SSSE3, intra_pred_table_fill_ssse3, 13}, {KERNEL_AVX2, intra_pred_table_fill_avx2, 264}};
    for (auto &set : sets) {
        if (!kernel_level_present(set.level)) continue;
        std::vector<int> slots = slots_filled_by(set.fill);
        EXPECT_EQ(slots.size(), set.count) << kernel_level_name(set.level);
        intra_pred_table simd = portable;
        set.fill(&simd);
        for (int slot : slots) {
            EXPECT_NE(slot_ptr(simd, slot), slot_ptr(portable, slot)) << kernel_level_name(set.level) << " " << slot;
            int mode = (slot - 4) / 8, size = (slot - 4) % 4;
            bool outside_avx2 = slot < 4 || (mode == 34 && size < 3);
            EXPECT_FALSE(set.level == KERNEL_AVX2 && outside_avx2) << slot;
        }
    }
}

// Each kernel reads its reference array only: with the array alone in its heap
// block, a read past either end faults under the address sanitizer.
TEST(IntraKernels, KernelsReadOnlyInsideTheReferenceArray)
{
    if (!have_avx2_set()) GTEST_SKIP();
    intra_pred_table t;
    intra_pred_table_init(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2, &t);
    for (int s = 0; s < 4; s++) {
        int n = 4 << s;
        std::vector<uint8_t> ref(4 * n + 1, 9), out(4 * n + 1);
        std::vector<uint8_t> block((size_t)n * n);
        t.ref_filter[s](ref.data(), out.data());
        for (int mode = 0; mode < INTRA_MODE_COUNT; mode++)
            for (int f = 0; f < 2; f++) t.pred[mode][f][s](block.data(), n, ref.data());
    }
}

// Both sets hold SSE4.1 code: flags that do not promise SSE4.1 keep every
// entry portable, whatever else they ask for.
TEST(IntraKernels, FlagsWithoutSse41KeepThePortableTable)
{
    intra_pred_table portable = portable_table();
    for (uint32_t flags : {(uint32_t)CPU_SSSE3, (uint32_t)(CPU_SSSE3 | CPU_AVX2)}) {
        intra_pred_table t;
        intra_pred_table_init(flags, &t);
        EXPECT_EQ(memcmp(&t, &portable, sizeof t), 0) << "flags " << flags;
    }
}

TEST(IntraKernels, Dc4x4RoundsTheMeanOfDarkAboveAndBrightLeft)
{
    if (!have_ssse3_set()) GTEST_SKIP();
    std::vector<uint8_t> ref(17, 0);
    for (int i = 9; i <= 12; i++) ref[i] = 255;
    for (uint8_t v : predict(ssse3_slot(1, 0, 0), 4, ref)) EXPECT_EQ(v, 128);
}

TEST(IntraKernels, FlatReferenceGivesFlatBlockInDcAndPlanarSlots)
{
    if (!have_avx2_set()) GTEST_SKIP();
    intra_pred_table t;
    intra_pred_table_init(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2, &t);
    for (int v : {0, 77, 255})
        for (int s = 0; s < 4; s++) {
            int n = 4 << s;
            std::vector<uint8_t> ref(4 * n + 1, (uint8_t)v);
            for (int mode = 0; mode < 2; mode++)
                for (int f = 0; f < 2; f++)
                    for (uint8_t got : predict(t.pred[mode][f][s], n, ref))
                        ASSERT_EQ(got, v) << "mode " << mode << " f " << f << " N " << n;
        }
}

TEST(IntraKernels, FilteredVerticalClipsTheFirstColumnBothWays)
{
    if (!have_avx2_set()) GTEST_SKIP();
    for (int s = 0; s < 3; s++) {
        int n = 4 << s;
        std::vector<uint8_t> ref(4 * n + 1, 0);
        ref[0] = 255;
        for (int i = 1; i <= 2 * n; i++) ref[i] = 10;
        std::vector<uint8_t> low = predict(avx2_slot(26, 1, s), n, ref);
        ref[0] = 0;
        for (int i = 1; i <= 2 * n; i++) ref[i] = 250;
        for (int i = 2 * n + 1; i <= 4 * n; i++) ref[i] = 255;
        std::vector<uint8_t> high = predict(avx2_slot(26, 1, s), n, ref);
        for (int y = 0; y < n; y++) {
            EXPECT_EQ(low[y * n], 0) << "N " << n;
            EXPECT_EQ(high[y * n], 255) << "N " << n;
            EXPECT_EQ(low[y * n + 1], 10);
            EXPECT_EQ(high[y * n + 1], 250);
        }
    }
}

TEST(IntraKernels, Mirrored32x32ModesGiveTransposedBlocksOnASymmetricReference)
{
    if (!have_avx2_set()) GTEST_SKIP();
    std::mt19937 rng(5);
    std::vector<uint8_t> ref(129);
    ref[0] = (uint8_t)rng();
    for (int i = 0; i < 64; i++) ref[1 + i] = ref[65 + i] = (uint8_t)rng();
    for (int mode = 3; mode <= 17; mode++) {
        if (mode == 10) continue;
        std::vector<uint8_t> h = predict(avx2_slot(mode, 0, 3), 32, ref);
        std::vector<uint8_t> v = predict(avx2_slot(36 - mode, 0, 3), 32, ref);
        for (int y = 0; y < 32; y++)
            for (int x = 0; x < 32; x++) ASSERT_EQ(h[y * 32 + x], v[x * 32 + y]) << "mode " << mode;
    }
}

TEST(IntraKernels, Mode27At32x32CopiesWholeSampleRowsAtFractionZero)
{
    if (!have_avx2_set()) GTEST_SKIP();
    std::vector<uint8_t> ref(129);
    for (int i = 0; i < 129; i++) ref[i] = (uint8_t)(i * 7 + 3);
    std::vector<uint8_t> out = predict(avx2_slot(27, 0, 3), 32, ref);
    for (int x = 0; x < 32; x++) {
        EXPECT_EQ(out[15 * 32 + x], ref[1 + x + 1]);
        EXPECT_EQ(out[31 * 32 + x], ref[1 + x + 2]);
    }
}

namespace {

std::vector<uint8_t> swap_sides(const std::vector<uint8_t> &ref, int n)
{
    std::vector<uint8_t> out(ref.size());
    out[0] = ref[0];
    for (int i = 0; i < 2 * n; i++) {
        out[1 + i] = ref[2 * n + 1 + i];
        out[2 * n + 1 + i] = ref[1 + i];
    }
    return out;
}

} // namespace

// Mode 10 - d on a reference and mode 26 + d on the same reference with its
// sides exchanged are each other's transpose: checks the horizontal kernels,
// which compute rows directly, against the vertical ones.
TEST(IntraKernels, MirroredModesGiveTransposedBlocksAtEverySize)
{
    if (!have_avx2_set()) GTEST_SKIP();
    std::mt19937 rng(17);
    for (int s = 0; s < 4; s++) {
        int n = 4 << s;
        for (int round = 0; round < 4; round++) {
            std::vector<uint8_t> ref(4 * n + 1);
            for (uint8_t &b : ref) b = (uint8_t)rng();
            std::vector<uint8_t> swapped = swap_sides(ref, n);
            for (int d = -8; d <= 8; d++) {
                // No zero angle; mode 34 below 32x32 is not in the set.
                if (d == 0 || (d == 8 && s < 3)) continue;
                std::vector<uint8_t> h = predict(avx2_slot(10 - d, 0, s), n, ref);
                std::vector<uint8_t> v = predict(avx2_slot(26 + d, 0, s), n, swapped);
                for (int y = 0; y < n; y++)
                    for (int x = 0; x < n; x++)
                        ASSERT_EQ(h[y * n + x], v[x * n + y]) << "N " << n << " d " << d;
            }
        }
    }
}

TEST(IntraKernels, Mode194x4WeighsTheFourthLeftSampleIntoTheLastRow)
{
    if (!have_avx2_set()) GTEST_SKIP();
    std::vector<uint8_t> ref(17, 0);
    ref[12] = 255;
    std::vector<uint8_t> out = predict(avx2_slot(19, 1, 0), 4, ref);
    for (int i = 0; i < 16; i++) EXPECT_EQ(out[i], i == 12 ? 64 : 0) << i;
    // Samples the mode never reads leave the block alone.
    for (int i : {5, 6, 7, 8, 11, 13, 14, 15, 16}) ref[i] = 200;
    EXPECT_EQ(predict(avx2_slot(19, 1, 0), 4, ref), out);
}

TEST(IntraKernels, CopyModesAt8x8FollowTheDiagonals)
{
    if (!have_avx2_set()) GTEST_SKIP();
    std::vector<uint8_t> ref(33);
    for (int i = 0; i < 33; i++) ref[i] = (uint8_t)(7 * i + 1);
    std::vector<uint8_t> m2 = predict(avx2_slot(2, 0, 1), 8, ref);
    std::vector<uint8_t> m18 = predict(avx2_slot(18, 1, 1), 8, ref);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) {
            EXPECT_EQ(m2[y * 8 + x], ref[18 + x + y]);
            EXPECT_EQ(m18[y * 8 + x], x >= y ? ref[x - y] : ref[16 + y - x]);
        }
}

// Lines at fraction 0 copy reference samples: the last row of modes 25 and 27,
// line 15 of modes 3 and 33 and the last column of modes 9 and 11 at 16x16.
TEST(IntraKernels, FractionZeroLinesAt16x16CopyTheReference)
{
    if (!have_avx2_set()) GTEST_SKIP();
    std::vector<uint8_t> ref(65);
    for (int i = 0; i < 65; i++) ref[i] = (uint8_t)(i * 37 + 11);
    auto at = [](const std::vector<uint8_t> &b, int x, int y) { return b[y * 16 + x]; };
    std::vector<uint8_t> m25 = predict(avx2_slot(25, 0, 2), 16, ref);
    std::vector<uint8_t> m27 = predict(avx2_slot(27, 0, 2), 16, ref);
    std::vector<uint8_t> m33 = predict(avx2_slot(33, 0, 2), 16, ref);
    std::vector<uint8_t> m3 = predict(avx2_slot(3, 0, 2), 16, ref);
    std::vector<uint8_t> m9 = predict(avx2_slot(9, 0, 2), 16, ref);
    std::vector<uint8_t> m11 = predict(avx2_slot(11, 0, 2), 16, ref);
    for (int j = 0; j < 16; j++) {
        EXPECT_EQ(at(m25, j, 15), ref[j]);       // M[x], the corner first
        EXPECT_EQ(at(m27, j, 15), ref[j + 2]);   // M[x + 2]
        EXPECT_EQ(at(m33, j, 15), ref[j + 14]);  // M[14..29]
        EXPECT_EQ(at(m3, 15, j), ref[j + 46]);   // left column, M[14..29]
        EXPECT_EQ(at(m9, 15, j), ref[j + 34]);   // M[y + 2]
        EXPECT_EQ(at(m11, 15, j), j ? ref[j + 32] : ref[0]); // M[y]
    }
}

TEST(IntraKernels, DiagonalAndVerticalCopiesAt32x32)
{
    if (!have_avx2_set()) GTEST_SKIP();
    std::vector<uint8_t> ref(129);
    for (int i = 0; i < 129; i++) ref[i] = (uint8_t)(i * 5 + 3);
    std::vector<uint8_t> m2 = predict(avx2_slot(2, 1, 3), 32, ref);
    std::vector<uint8_t> m34 = predict(avx2_slot(34, 1, 3), 32, ref);
    std::vector<uint8_t> m26 = predict(avx2_slot(26, 1, 3), 32, ref);
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 32; x++) {
            ASSERT_EQ(m2[y * 32 + x], ref[66 + x + y]);
            ASSERT_EQ(m34[y * 32 + x], ref[2 + x + y]);
            ASSERT_EQ(m26[y * 32 + x], ref[1 + x]); // never edge-filtered at 32x32
        }
}

TEST(IntraKernels, SmoothingKeepsBothFarEndsAndRoundsTheCorner)
{
    if (!have_ssse3_set()) GTEST_SKIP();
    for (intra_ref_filter_fn fn : {intra_ref_filter_8x8_sse41, intra_ref_filter_16x16_sse41,
                                   intra_ref_filter_32x32_sse41}) {
        int n = fn == intra_ref_filter_8x8_sse41 ? 8 : (fn == intra_ref_filter_16x16_sse41 ? 16 : 32);
        std::vector<uint8_t> in(4 * n + 1, 0), out(4 * n + 1);
        in[0] = 255;
        in[2 * n] = 200;
        in[4 * n] = 100;
        fn(in.data(), out.data());
        EXPECT_EQ(out[0], 128);
        EXPECT_EQ(out[1], 64);
        EXPECT_EQ(out[2 * n + 1], 64);
        EXPECT_EQ(out[2 * n], 200);
        EXPECT_EQ(out[4 * n], 100);
        EXPECT_EQ(out[2 * n - 1], 50);
        EXPECT_EQ(out[4 * n - 1], 25);
    }
}

// The mode-34 kernels of 4x4 and 8x8 that no set installs still equal the
// portable copies.
TEST(IntraKernels, UninstalledMode34KernelsEqualPortable)
{
    if (!have_avx2_set()) GTEST_SKIP();
    std::mt19937 rng(23);
    struct {
        intra_pred_fn simd, portable;
        int n;
    } cases[] = {{intra_pred_ang34_4x4_avx2, intra_pred_ang34_4x4_c, 4},
                 {intra_pred_ang34_8x8_avx2, intra_pred_ang34_8x8_c, 8}};
    for (const auto &c : cases) {
        // Alone in its heap block, so that a read past either end faults
        // under the address sanitizer.
        std::vector<uint8_t> exact(4 * c.n + 1, 3), block((size_t)c.n * c.n);
        c.simd(block.data(), c.n, exact.data());
        for (int k = 0; k < reference_cases; k++) {
            ref_buffer rb(c.n, rng);
            fill_reference(k, rb.ref, c.n, rng);
            compare_pred(c.simd, c.portable, c.n, 128, rb, rng, "mode 34");
            if (HasFatalFailure()) return;
        }
    }
}

namespace {

// The distinct kernels of the table: the reference filters, every mode at
// every size, and the edge-filtered forms of DC and the pure directions below
// 32x32 (every other filtered entry holds the unfiltered kernel).
std::vector<int> timed_slots()
{
    std::vector<int> slots = {0, 1, 2, 3};
    for (int mode = 0; mode < INTRA_MODE_COUNT; mode++)
        for (int f = 0; f < 2; f++)
            for (int s = 0; s < 4; s++) {
                bool edge_filtered = mode == INTRA_MODE_DC || mode == INTRA_MODE_HOR || mode == INTRA_MODE_VER;
                if (f == 0 || (edge_filtered && s < 3)) slots.push_back(4 + mode * 8 + f * 4 + s);
            }
    return slots;
}

}  // namespace

TEST(IntraKernels, Timing)
{
    if (!kernel_timing_ms()) GTEST_SKIP() << KERNEL_TIMING_OFF;
    static std::vector<uint8_t> ref(129 + 64), out(129 + 64), dst(128 * 32);
    std::mt19937 rng(1);
    for (uint8_t &b : ref) b = (uint8_t)rng();
    std::vector<timing_case<intra_pred_table>> cases;
    for (int slot : timed_slots()) {
        std::function<void(const intra_pred_table &)> run;
        if (slot < 4)
            run = [slot](const intra_pred_table &t) { t.ref_filter[slot](ref.data(), out.data()); };
        else
            run = [slot](const intra_pred_table &t) { ((intra_pred_fn)slot_ptr(t, slot))(dst.data(), 128, ref.data()); };
        cases.push_back({slot_name(slot), slot, run});
    }
    time_kernel_cases("intra", intra_pred_table_init, cases);
}
