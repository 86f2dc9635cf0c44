// Transform kernel checks. The harness walks the transform table at every
// instruction-set level the processor has and runs every slot holding a
// vector kernel against the portable kernel of that slot on random inputs in
// several ranges, extreme 8-bit and 16-bit patterns, sparse blocks and random
// predictions, with guard areas around every block: results must be equal
// byte for byte, and nothing outside the block may change. A slot the harness
// does not know fails. The timing test prints the time per call of every
// slot (kernel_check.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/transform/transform.h"
#include "kernels/transform/transform_simd.h"
#include "tests/support/kernel_check.h"

namespace {

const uint32_t ssse3_flags = CPU_SSE41 | CPU_SSSE3;
const uint32_t avx2_flags = CPU_SSE41 | CPU_SSSE3 | CPU_AVX2;

static_assert(sizeof(transform_table) == TRANSFORM_TABLE_SLOTS * sizeof(void *), "15 pointer slots");

transform_table table_for(uint32_t flags)
{
    transform_table t;
    memset(&t, 0, sizeof t);
    transform_table_init(flags, &t);
    return t;
}

std::vector<const void *> slots_of(const transform_table &t)
{
    return kernel_slots(t);
}

const char *const slot_names[TRANSFORM_TABLE_SLOTS] = {
    "ftrans_residual_4x4", "itrans_add_4x4",      "fdct_residual_8x8",        "fdct_residual_low4_8x8",
    "idct_add_8x8",        "idct_add_low4_8x8",   "fdct_residual_16x16",      "fdct_residual_low8_16x16",
    "idct_add_16x16",      "idct_add_low8_16x16", "fdct_residual_32x32",      "fdct_residual_low8_32x32",
    "idct_add_32x32",      "idct_add_low8_32x32", "coeff_cost_estimate",
};

// ---- what each slot does ----

enum slot_kind { FORWARD_4X4, INVERSE_4X4, FORWARD, FORWARD_LOW, INVERSE, INVERSE_LOW, COST, UNKNOWN };

struct slot_info {
    slot_kind kind;
    int n;     // block side
    int keep;  // side of the kept corner (n for the full kernels)
};

slot_info describe(int slot)
{
    switch (slot) {
    case 0: return {FORWARD_4X4, 4, 4};
    case 1: return {INVERSE_4X4, 4, 4};
    case 2: return {FORWARD, 8, 8};
    case 3: return {FORWARD_LOW, 8, 4};
    case 4: return {INVERSE, 8, 8};
    case 5: return {INVERSE_LOW, 8, 4};
    case 6: return {FORWARD, 16, 16};
    case 7: return {FORWARD_LOW, 16, 8};
    case 8: return {INVERSE, 16, 16};
    case 9: return {INVERSE_LOW, 16, 8};
    case 10: return {FORWARD, 32, 32};
    case 11: return {FORWARD_LOW, 32, 8};
    case 12: return {INVERSE, 32, 32};
    case 13: return {INVERSE_LOW, 32, 8};
    case 14: return {COST, 0, 0};
    default: return {UNKNOWN, 0, 0};
    }
}

// Calls the forward kernel of `slot`; arg is the mode (4x4) or k (low kernels).
void call_forward(const transform_table &t, int slot, int16_t *coeff, const uint8_t *src,
                  const uint8_t *pred, int arg)
{
    switch (slot) {
    case 0: t.ftrans_residual_4x4(coeff, src, pred, arg); break;
    case 2: t.fdct_residual_8x8(coeff, src, pred); break;
    case 3: t.fdct_residual_low4_8x8(coeff, src, pred, arg); break;
    case 6: t.fdct_residual_16x16(coeff, src, pred); break;
    case 7: t.fdct_residual_low8_16x16(coeff, src, pred, arg); break;
    case 10: t.fdct_residual_32x32(coeff, src, pred); break;
    case 11: t.fdct_residual_low8_32x32(coeff, src, pred, arg); break;
    default: ADD_FAILURE() << "slot " << slot << " is not a forward slot";
    }
}

void call_inverse(const transform_table &t, int slot, uint8_t *recon, const int16_t *coeff, int arg)
{
    switch (slot) {
    case 1: t.itrans_add_4x4(recon, coeff, arg); break;
    case 4: t.idct_add_8x8(recon, coeff); break;
    case 5: t.idct_add_low4_8x8(recon, coeff, arg); break;
    case 8: t.idct_add_16x16(recon, coeff); break;
    case 9: t.idct_add_low8_16x16(recon, coeff, arg); break;
    case 12: t.idct_add_32x32(recon, coeff); break;
    case 13: t.idct_add_low8_32x32(recon, coeff, arg); break;
    default: ADD_FAILURE() << "slot " << slot << " is not an inverse slot";
    }
}

// ---- guarded buffers ----

const int guard = 64;  // elements before and after every block

// A coefficient block of 32x32 entries with guards, filled with a marker.
struct coeff_area {
    std::vector<int16_t> mem = std::vector<int16_t>(guard + 32 * 32 + guard, (int16_t)0x5a5a);
    int16_t *block() { return mem.data() + guard; }
};

// A prediction/reconstruction area of 32 rows of 128 bytes plus guard rows,
// every byte random so that a stray write shows.
struct pixel_area {
    std::vector<uint8_t> mem;
    explicit pixel_area(std::mt19937 &rng) : mem(2 * guard + 32 * TRANSFORM_PRED_STRIDE)
    {
        for (uint8_t &v : mem) v = (uint8_t)rng();
    }
    uint8_t *block() { return mem.data() + guard; }
    uint8_t &at(int x, int y) { return block()[y * TRANSFORM_PRED_STRIDE + x]; }
};

// The source copy: 32 rows of 64 bytes.
struct source_area {
    std::vector<uint8_t> mem = std::vector<uint8_t>(32 * TRANSFORM_SRC_STRIDE);
    uint8_t &at(int x, int y) { return mem[y * TRANSFORM_SRC_STRIDE + x]; }
};

// Every byte of `after` outside the n x n block equals `before`.
void expect_outside_unchanged(const pixel_area &before, const pixel_area &after, int n, const char *what)
{
    for (size_t i = 0; i < before.mem.size(); i++) {
        long off = (long)i - guard;
        bool inside = off >= 0 && off / TRANSFORM_PRED_STRIDE < n && off % TRANSFORM_PRED_STRIDE < n;
        if (inside) continue;
        ASSERT_EQ(before.mem[i], after.mem[i]) << what << ": byte at offset " << off << " written";
    }
}

// Sign of basis function k at sample j of the N-point DCT, for patterns that
// drive one coefficient (forward) or one sample (inverse) to its extreme.
int basis_sign(int n, int k, int j)
{
    const int16_t *row = &dct_matrix_32[k * (32 / n)][0];
    return row[j] < 0 ? -1 : 1;
}

// ---- forward inputs ----

const int forward_cases = 10;

void fill_forward(int c, int n, source_area &src, pixel_area &pred, std::mt19937 &rng)
{
    int kx = (int)(rng() % n), ky = (int)(rng() % n);
    int px = (int)(rng() % n), py = (int)(rng() % n);
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
            int s = (int)(rng() & 255), p = (int)(rng() & 255);
            switch (c) {
            case 0: break;                                           // random
            case 1: p = std::min(255, std::max(0, s + (int)(rng() % 9) - 4)); break;  // small residual
            case 2: s = 255, p = 0; break;                          // largest positive DC
            case 3: s = 0, p = 255; break;                          // largest negative DC
            case 4: s = ((x + y) & 1) ? 255 : 0, p = 255 - s; break;  // checkerboard
            case 5: {                                                // one coefficient at its extreme
                bool pos = basis_sign(n, kx, x) * basis_sign(n, ky, y) > 0;
                s = pos ? 255 : 0, p = 255 - s;
                break;
            }
            case 6: p = s; break;                                   // zero residual
            case 7: p = s; if (x == px && y == py) s = 255, p = 0; break;  // one sample
            case 8: s = (rng() & 1) ? 255 : 0, p = 255 - s; break;  // random +-255
            default: s = 255 - (int)(rng() % 3), p = (int)(rng() % 3); break;
            }
            src.at(x, y) = (uint8_t)s;
            pred.at(x, y) = (uint8_t)p;
        }
}

// ---- inverse inputs ----

const int inverse_cases = 16;

int16_t random_in(std::mt19937 &rng, int lo, int hi)
{
    return (int16_t)(lo + (int)(rng() % (unsigned)(hi - lo + 1)));
}

// Fills the whole 32x32 area (the kernels read only their n x n or kept corner;
// the rest holds values they must ignore) and the n x n prediction.
void fill_inverse(int c, int n, int keep, int16_t *coeff, pixel_area &pred, std::mt19937 &rng)
{
    for (int i = 0; i < 32 * 32; i++) coeff[i] = random_in(rng, -32768, 32767);
    int y0 = (int)(rng() % n), x0 = (int)(rng() % n);
    for (int v = 0; v < n; v++)
        for (int h = 0; h < n; h++) {
            int16_t &c_ = coeff[v * n + h];
            switch (c) {
            case 0: c_ = random_in(rng, -3, 3); break;
            case 1: c_ = random_in(rng, -64, 64); break;
            case 2: c_ = random_in(rng, -1024, 1024); break;
            case 3: c_ = random_in(rng, -8192, 8192); break;
            case 4: break;                                       // full 16-bit range
            case 5: c_ = 32767; break;
            case 6: c_ = -32768; break;
            case 7: c_ = ((v + h) & 1) ? 32767 : -32768; break;
            case 8: {                                            // drives sample (x0, y0) past 16 bits
                bool pos = n == 4 || basis_sign(n, v, y0) * basis_sign(n, h, x0) > 0;
                c_ = pos ? 32767 : -32768;
                break;
            }
            case 9: c_ = (v == 0 && h == 0) ? random_in(rng, -32768, 32767) : 0; break;  // DC only
            case 10: c_ = (v == 0 && h == 0) ? (rng() & 1 ? 32767 : -32768) : 0; break;
            case 11: c_ = (v == n - 1 && h == n - 1) ? random_in(rng, -32768, 32767) : 0; break;  // last only
            case 12: c_ = (v == keep - 1 && h == keep - 1) ? random_in(rng, -32768, 32767) : 0; break;
            case 13: c_ = rng() % 16 == 0 ? random_in(rng, -2000, 2000) : 0; break;       // sparse
            case 14: c_ = rng() % 4 == 0 ? (rng() & 1 ? 32767 : -32768) : 0; break;     // sparse extremes
            default: c_ = 0; break;                                                    // all zero
            }
        }
    int flat = (int)(rng() % 3);
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++)
            pred.at(x, y) = flat == 0 ? 0 : flat == 1 ? 255 : (uint8_t)rng();
}

// ---- slot comparisons ----

void compare_forward(int slot, const transform_table &simd, const transform_table &ref, std::mt19937 &rng)
{
    slot_info info = describe(slot);
    int reps = info.n == 32 ? 2 : 4;
    for (int c = 0; c < forward_cases; c++)
        for (int r = 0; r < reps; r++) {
            source_area src;
            pixel_area pred(rng);
            fill_forward(c, info.n, src, pred, rng);
            pixel_area pred_copy = pred;
            // 4x4: every mode in turn. Low kernels: the expected k and others,
            // which the portable kernels ignore, so these must too.
            std::vector<int> args;
            if (info.kind == FORWARD_4X4)
                for (int m = 0; m < 36; m++) args.push_back(m);
            else if (info.kind == FORWARD_LOW)
                args = {info.keep, (int)(rng() % 40), 0};
            else
                args = {0};
            for (int arg : args) {
                coeff_area want, got;
                call_forward(ref, slot, want.block(), src.mem.data(), pred.block(), arg);
                call_forward(simd, slot, got.block(), src.mem.data(), pred.block(), arg);
                ASSERT_EQ(got.mem, want.mem) << "slot " << slot << " case " << c << " arg " << arg;
                ASSERT_EQ(pred.mem, pred_copy.mem) << "slot " << slot << " wrote into the prediction";
                // Only the block (or its kept corner) may have been written.
                for (size_t i = 0; i < got.mem.size(); i++) {
                    long off = (long)i - guard;
                    bool inside = off >= 0 && off / info.n < info.keep && off % info.n < info.keep;
                    if (inside) continue;
                    ASSERT_EQ(got.mem[i], (int16_t)0x5a5a) << "slot " << slot << " entry " << off;
                }
            }
        }
}

void compare_inverse(int slot, const transform_table &simd, const transform_table &ref, std::mt19937 &rng)
{
    slot_info info = describe(slot);
    int reps = info.n == 32 ? 2 : 4;
    for (int c = 0; c < inverse_cases; c++)
        for (int r = 0; r < reps; r++) {
            std::vector<int16_t> coeff(32 * 32);
            pixel_area pred(rng);
            fill_inverse(c, info.n, info.keep, coeff.data(), pred, rng);
            std::vector<int16_t> coeff_copy = coeff;
            std::vector<int> args;
            if (info.kind == INVERSE_4X4)
                for (int m = 0; m < 36; m++) args.push_back(m);
            else if (info.kind == INVERSE_LOW)
                args = {info.keep, (int)(rng() % 40)};
            else
                args = {0};
            for (int arg : args) {
                pixel_area want = pred, got = pred;
                call_inverse(ref, slot, want.block(), coeff.data(), arg);
                call_inverse(simd, slot, got.block(), coeff.data(), arg);
                ASSERT_EQ(got.mem, want.mem) << "slot " << slot << " case " << c << " arg " << arg;
                ASSERT_EQ(coeff, coeff_copy) << "slot " << slot << " wrote into the coefficients";
                expect_outside_unchanged(pred, got, info.n, "inverse");
                if (testing::Test::HasFatalFailure()) return;
            }
        }
}

void compare_cost(const transform_table &simd, const transform_table &ref, std::mt19937 &rng)
{
    for (int log2 = 2; log2 <= 5; log2++) {
        int n = 1 << log2;
        for (int c = 0; c < inverse_cases; c++)
            for (int r = 0; r < 3; r++) {
                std::vector<int16_t> coeff(32 * 32);
                pixel_area unused(rng);
                fill_inverse(c, n, n, coeff.data(), unused, rng);
                ASSERT_EQ(simd.coeff_cost_estimate(coeff.data(), log2), ref.coeff_cost_estimate(coeff.data(), log2))
                    << "log2 size " << log2 << " case " << c;
            }
    }
}

bool compare_slot(int slot, const transform_table &ref, const transform_table &simd, std::mt19937 &rng)
{
    switch (describe(slot).kind) {
    case FORWARD_4X4:
    case FORWARD:
    case FORWARD_LOW: compare_forward(slot, simd, ref, rng); return true;
    case INVERSE_4X4:
    case INVERSE:
    case INVERSE_LOW: compare_inverse(slot, simd, ref, rng); return true;
    case COST: compare_cost(simd, ref, rng); return true;
    default: return false;
    }
}

std::string slot_name(int slot)
{
    return slot_names[slot];
}

TEST(TransformKernels, EverySlotAtEveryLevelEqualsItsPortableKernel)
{
    // Both levels hold a vector kernel in every slot; the AVX2 level keeps the
    // SSSE3 cost estimate, which is compared once.
    expect_level_counts(walk_kernel_levels(transform_table_init, compare_slot, slot_name, 7919), TRANSFORM_TABLE_SLOTS,
                        TRANSFORM_TABLE_SLOTS);
}

// The sets really land in the table: SSSE3 in all fifteen slots, AVX2 over
// slots 0..13 with slot 14 left to SSSE3; flag words that lack an instruction
// set the kernels use install nothing of that set.
TEST(TransformKernels, SetsFillTheirSlotsOnlyWithEveryNeededFlag)
{
    std::vector<const void *> portable = slots_of(table_for(0));
    if (cpu_use_ssse3_set(ssse3_flags)) {
        std::vector<const void *> s = slots_of(table_for(ssse3_flags));
        for (int i = 0; i < TRANSFORM_TABLE_SLOTS; i++) EXPECT_NE(s[i], portable[i]) << "slot " << i;
        if (cpu_use_avx2_set(avx2_flags)) {
            std::vector<const void *> a = slots_of(table_for(avx2_flags));
            for (int i = 0; i < TRANSFORM_TABLE_SLOTS - 1; i++) {
                EXPECT_NE(a[i], s[i]) << "slot " << i;
                EXPECT_NE(a[i], portable[i]) << "slot " << i;
            }
            EXPECT_EQ(a[14], s[14]);
            // AVX2 asked for without SSE4.1 (its kernels use it): nothing vector.
            EXPECT_EQ(slots_of(table_for(CPU_SSSE3 | CPU_AVX2)), portable);
        }
    }
    EXPECT_EQ(slots_of(table_for(CPU_SSSE3)), portable);
    EXPECT_EQ(slots_of(table_for(CPU_AVX2)), portable);
    EXPECT_EQ(slots_of(table_for(CPU_SSE41)), portable);
}

// ---- the AVX2 two-dimensional transforms with a row stride ----

typedef void (*xform_2d_fn)(const int16_t *, int16_t *, int);

struct strided_case {
    xform_2d_fn fn;
    int slot;  // the slot whose kernel wraps fn with stride N
    int n;
    int arg;   // mode for the 4x4 slots
};

const strided_case forward_2d_cases[] = {
    {fdst2d_4x4_avx2, 0, 4, 0},         {fdct2d_4x4_avx2, 0, 4, 35},
    {fdct2d_8x8_avx2, 2, 8, 0},         {fdct2d_low4_8x8_avx2, 3, 8, 4},
    {fdct2d_16x16_avx2, 6, 16, 0},      {fdct2d_low8_16x16_avx2, 7, 16, 8},
    {fdct2d_32x32_avx2, 10, 32, 0},     {fdct2d_low8_32x32_avx2, 11, 32, 8},
};

const strided_case inverse_2d_cases[] = {
    {idst2d_4x4_avx2, 1, 4, 0},         {idct2d_4x4_avx2, 1, 4, 35},
    {idct2d_8x8_avx2, 4, 8, 0},         {idct2d_low4_8x8_avx2, 5, 8, 4},
    {idct2d_16x16_avx2, 8, 16, 0},      {idct2d_low8_16x16_avx2, 9, 16, 8},
    {idct2d_32x32_avx2, 12, 32, 0},     {idct2d_low8_32x32_avx2, 13, 32, 8},
};

// A forward 2-D transform reading its residual at a random stride gives the
// portable slot's coefficients for the same residual.
TEST(TransformKernels, Avx2Forward2dReadsAnyStride)
{
    if (!cpu_use_avx2_set(avx2_flags)) GTEST_SKIP() << "processor lacks AVX2, BMI2 or POPCNT";
    std::mt19937 rng(5);
    transform_table ref = table_for(0);
    for (const strided_case &t : forward_2d_cases)
        for (int c = 0; c < forward_cases; c++) {
            source_area src;
            pixel_area pred(rng);
            fill_forward(c, t.n, src, pred, rng);
            int stride = t.n + (int)(rng() % 40);
            std::vector<int16_t> res((size_t)stride * t.n, 0x7777);
            for (int y = 0; y < t.n; y++)
                for (int x = 0; x < t.n; x++) res[y * stride + x] = (int16_t)(src.at(x, y) - pred.at(x, y));
            coeff_area want, got;
            call_forward(ref, t.slot, want.block(), src.mem.data(), pred.block(), t.arg);
            t.fn(res.data(), got.block(), stride);
            ASSERT_EQ(got.mem, want.mem) << "slot " << t.slot << " stride " << stride << " case " << c;
        }
}

// An inverse 2-D transform writing at a random stride writes the rows it writes
// at stride N, and nothing in between.
TEST(TransformKernels, Avx2Inverse2dWritesAnyStrideAndNothingElse)
{
    if (!cpu_use_avx2_set(avx2_flags)) GTEST_SKIP() << "processor lacks AVX2, BMI2 or POPCNT";
    std::mt19937 rng(6);
    for (const strided_case &t : inverse_2d_cases)
        for (int c = 0; c < inverse_cases; c++) {
            std::vector<int16_t> coeff(32 * 32);
            pixel_area unused(rng);
            fill_inverse(c, t.n, t.n, coeff.data(), unused, rng);
            int stride = t.n + (int)(rng() % 40);
            std::vector<int16_t> compact((size_t)t.n * t.n), wide((size_t)stride * t.n + guard, 0x3333);
            t.fn(coeff.data(), compact.data(), t.n);
            t.fn(coeff.data(), wide.data(), stride);
            for (int y = 0; y < t.n; y++)
                for (int x = 0; x < stride; x++) {
                    int16_t expect = x < t.n ? compact[y * t.n + x] : (int16_t)0x3333;
                    ASSERT_EQ(wide[y * stride + x], expect) << "slot " << t.slot << " x " << x << " y " << y;
                }
            for (size_t i = (size_t)stride * t.n; i < wide.size(); i++) ASSERT_EQ(wide[i], 0x3333);
        }
}

// Worked values: the cost estimate widens its sums (a 4x4 group of -32768 sums
// to 524288, beyond 16 bits), and the reconstruction clips at both ends.
TEST(TransformKernels, CostEstimateAndClippingAtTheLimits)
{
    if (!cpu_use_ssse3_set(ssse3_flags)) GTEST_SKIP() << "processor lacks SSSE3 or SSE4.1";
    std::vector<int16_t> c(32 * 32, 0);
    EXPECT_EQ(coeff_cost_estimate_ssse3(c.data(), 2), 1u);
    c[3] = 5;
    EXPECT_EQ(coeff_cost_estimate_ssse3(c.data(), 2), 22u);
    std::fill(c.begin(), c.end(), (int16_t)-32768);
    EXPECT_EQ(coeff_cost_estimate_ssse3(c.data(), 2), 1u + 16 + 16u * 32768);
    EXPECT_EQ(coeff_cost_estimate_ssse3(c.data(), 5), 64u + 64u * (16 + 16u * 32768));

    // DC 32767 at 4x4 DCT: residual far above 255 everywhere; -32768: far below 0.
    std::vector<int16_t> dc(16, 0);
    for (int sign : {1, -1}) {
        dc[0] = sign > 0 ? 32767 : -32768;
        uint8_t recon[4 * TRANSFORM_PRED_STRIDE];
        memset(recon, 128, sizeof recon);
        itrans_add_4x4_ssse3(recon, dc.data(), TRANSFORM_MODE_NONE);
        for (int y = 0; y < 4; y++)
            for (int x = 0; x < 4; x++) EXPECT_EQ(recon[y * TRANSFORM_PRED_STRIDE + x], sign > 0 ? 255 : 0);
    }
}

// ---- timing ----

// Inputs of the timed calls: random samples, and small coefficients so that
// the inverse kernels, which add into the prediction, keep it in range.
struct timing_buffers {
    alignas(32) uint8_t src[32 * TRANSFORM_SRC_STRIDE];
    alignas(32) uint8_t pred[32 * TRANSFORM_PRED_STRIDE];
    alignas(32) int16_t coeff[32 * 32];
    timing_buffers()
    {
        std::mt19937 rng(1);
        for (uint8_t &v : src) v = (uint8_t)rng();
        for (uint8_t &v : pred) v = (uint8_t)rng();
        for (int16_t &v : coeff) v = (int16_t)((int)(rng() % 7) - 3);
    }
};

TEST(TransformKernels, Timing)
{
    if (!kernel_timing_ms()) GTEST_SKIP() << KERNEL_TIMING_OFF;
    static timing_buffers b;
    std::vector<timing_case<transform_table>> cases;
    for (int slot = 0; slot < TRANSFORM_TABLE_SLOTS; slot++) {
        slot_info info = describe(slot);
        // The 4x4 slots take an intra mode (0: the luma DST), the low slots k.
        int arg = info.n == 4 ? 0 : info.keep;
        std::function<void(const transform_table &)> run;
        if (info.kind == COST)
            run = [](const transform_table &t) { kernel_sink += t.coeff_cost_estimate(b.coeff, 5); };
        else if (info.kind == FORWARD_4X4 || info.kind == FORWARD || info.kind == FORWARD_LOW)
            run = [slot, arg](const transform_table &t) { call_forward(t, slot, b.coeff, b.src, b.pred, arg); };
        else
            run = [slot, arg](const transform_table &t) { call_inverse(t, slot, b.pred, b.coeff, arg); };
        cases.push_back({slot_names[slot], slot, run});
    }
    time_kernel_cases("transform", transform_table_init, cases);
}

}  // namespace
