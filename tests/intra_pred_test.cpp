// Intra predictors and reference smoothing against a model written from the
// H.265 equations (clauses 8.4.4.2.3 to 8.4.4.2.6, bit depth 8).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernels/intra/intra_pred.h"

namespace {

// ---- Model of the standard, in its own p[x][y] notation ----------------------

// Neighbouring samples p[x][y], x = -1 .. 2N-1 with y = -1, and x = -1 with
// y = 0 .. 2N-1, held in the encoder's array layout only for transport.
struct neighbours {
    int n;
    const uint8_t *ref;
    int operator()(int x, int y) const
    {
        if (y == -1) return ref[1 + x]; // x = -1 gives the corner ref[0]
        return ref[2 * n + 1 + y];      // x == -1
    }
};

const int std_angle[35] = {0,   0,   32,  26,  21,  17,  13,  9,   5,   2,  0,  -2,
                           -5,  -9,  -13, -17, -21, -26, -32, -26, -21, -17, -13, -9,
                           -5,  -2,  0,   2,   5,   9,   13,  17,  21,  26,  32};

int std_inv_angle(int mode)
{
    static const int inv[15] = {-4096, -1638, -910, -630, -482, -390, -315, -256,
                                -315,  -390,  -482, -630, -910, -1638, -4096};
    return inv[mode - 11];
}

int clip1(int v)
{
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

int log2_of(int n)
{
    int k = 0;
    while ((1 << k) < n) k++;
    return k;
}

// predSamples[x][y] stored at out[y * n + x]. boundary says whether the
// DC and mode 10/26 boundary filters apply (luma blocks below 32x32).
void std_predict(const uint8_t *ref, int n, int mode, bool boundary, std::vector<int> &out)
{
    neighbours p{n, ref};
    out.assign((size_t)(n * n), 0);
    auto at = [&](int x, int y) -> int & { return out[(size_t)(y * n + x)]; };
    int k = log2_of(n);

    if (mode == 0) { // INTRA_PLANAR
        for (int y = 0; y < n; y++)
            for (int x = 0; x < n; x++)
                at(x, y) = ((n - 1 - x) * p(-1, y) + (x + 1) * p(n, -1) + (n - 1 - y) * p(x, -1) +
                            (y + 1) * p(-1, n) + n) >>
                           (k + 1);
        return;
    }
    if (mode == 1) { // INTRA_DC
        int sum = 0;
        for (int i = 0; i < n; i++) sum += p(i, -1) + p(-1, i);
        int dc = (sum + n) >> (k + 1);
        for (int y = 0; y < n; y++)
            for (int x = 0; x < n; x++) at(x, y) = dc;
        if (boundary) {
            at(0, 0) = (p(-1, 0) + 2 * dc + p(0, -1) + 2) >> 2;
            for (int x = 1; x < n; x++) at(x, 0) = (p(x, -1) + 3 * dc + 2) >> 2;
            for (int y = 1; y < n; y++) at(0, y) = (p(-1, y) + 3 * dc + 2) >> 2;
        }
        return;
    }

    // INTRA_ANGULAR: ref[] indexed from -n to 2n.
    int angle = std_angle[mode];
    std::vector<int> refv((size_t)(3 * n + 1));
    auto r = [&](int i) -> int & { return refv[(size_t)(i + n)]; };
    bool vertical = mode >= 18;
    auto main_side = [&](int i) { return vertical ? p(-1 + i, -1) : p(-1, -1 + i); };
    auto other_side = [&](int i) { return vertical ? p(-1, -1 + i) : p(-1 + i, -1); };
    for (int x = 0; x <= n; x++) r(x) = main_side(x);
    if (angle < 0) {
        if (((n * angle) >> 5) < -1) {
            int inv = std_inv_angle(mode);
            for (int x = (n * angle) >> 5; x <= -1; x++) r(x) = other_side((x * inv + 128) >> 8);
        }
    } else {
        for (int x = n + 1; x <= 2 * n; x++) r(x) = main_side(x);
    }
    for (int y = 0; y < n; y++) {
        for (int x = 0; x < n; x++) {
            // For horizontal modes the roles of x and y swap.
            int row = vertical ? y : x, col = vertical ? x : y;
            int idx = ((row + 1) * angle) >> 5;
            int fact = ((row + 1) * angle) & 31;
            int v = fact ? ((32 - fact) * r(col + idx + 1) + fact * r(col + idx + 2) + 16) >> 5
                         : r(col + idx + 1);
            at(x, y) = v;
        }
    }
    if (boundary && mode == 26)
        for (int y = 0; y < n; y++) at(0, y) = clip1(p(0, -1) + ((p(-1, y) - p(-1, -1)) >> 1));
    if (boundary && mode == 10)
        for (int x = 0; x < n; x++) at(x, 0) = clip1(p(-1, 0) + ((p(x, -1) - p(-1, -1)) >> 1));
}

// Filtering process of neighbouring samples, [1 2 1] only (strong smoothing is
// never enabled by this encoder).
std::vector<uint8_t> std_smooth(const uint8_t *ref, int n)
{
    neighbours p{n, ref};
    std::vector<uint8_t> q((size_t)(4 * n + 1));
    auto set = [&](int x, int y, int v) {
        if (y == -1)
            q[(size_t)(1 + x)] = (uint8_t)v;
        else
            q[(size_t)(2 * n + 1 + y)] = (uint8_t)v;
    };
    set(-1, -1, (p(-1, 0) + 2 * p(-1, -1) + p(0, -1) + 2) >> 2);
    for (int y = 0; y <= 2 * n - 2; y++) set(-1, y, (p(-1, y + 1) + 2 * p(-1, y) + p(-1, y - 1) + 2) >> 2);
    set(-1, 2 * n - 1, p(-1, 2 * n - 1));
    for (int x = 0; x <= 2 * n - 2; x++) set(x, -1, (p(x - 1, -1) + 2 * p(x, -1) + p(x + 1, -1) + 2) >> 2);
    set(2 * n - 1, -1, p(2 * n - 1, -1));
    return q;
}

// filterFlag of clause 8.4.4.2.3 for a luma block.
bool std_filter_flag(int mode, int n)
{
    if (mode == 1 || n == 4) return false;
    int dist = std::min(std::abs(mode - 26), std::abs(mode - 10));
    int thres = n == 8 ? 7 : (n == 16 ? 1 : 0);
    return dist > thres;
}

// ---- Reference arrays ---------------------------------------------------------

// Arrays live inside a larger buffer with margins, as the encoder keeps them.
struct ref_buffer {
    std::vector<uint8_t> mem = std::vector<uint8_t>(160, 0);
    uint8_t *ref() { return mem.data() + 8; }
};

enum ref_kind { REF_RANDOM, REF_ZERO, REF_MAX, REF_EXTREME_RANDOM, REF_CORNER_LOW, REF_CORNER_HIGH,
                REF_ALTERNATE, REF_KIND_COUNT };

void make_ref(uint8_t *ref, int n, int kind, std::mt19937 &rng)
{
    int len = 4 * n + 1;
    for (int i = 0; i < len; i++) {
        int v = 0;
        switch (kind) {
        case REF_RANDOM: v = (int)(rng() & 255); break;
        case REF_ZERO: v = 0; break;
        case REF_MAX: v = 255; break;
        case REF_EXTREME_RANDOM: v = (rng() & 1) ? 255 : 0; break;
        case REF_CORNER_LOW: v = i == 0 ? 0 : 255; break;
        case REF_CORNER_HIGH: v = i == 0 ? 255 : 0; break;
        case REF_ALTERNATE: v = (i & 1) ? 255 : 0; break;
        }
        ref[i] = (uint8_t)v;
    }
}

const int sizes[4] = {4, 8, 16, 32};

// The destination sits inside a stride-128 buffer filled with a guard pattern,
// so writes outside the N x N block show up.
struct dest_buffer {
    static const int stride = 128;
    std::vector<uint8_t> mem = std::vector<uint8_t>(stride * 40, 0);
    uint8_t *block() { return mem.data() + stride * 2 + 16; }
    void guard()
    {
        for (size_t i = 0; i < mem.size(); i++) mem[i] = (uint8_t)(0x5a ^ (i * 7));
    }
    bool outside_untouched(int n)
    {
        size_t base = (size_t)(block() - mem.data());
        for (size_t i = 0; i < mem.size(); i++) {
            long off = (long)i - (long)base;
            long y = off >= 0 ? off / stride : -1;
            long x = off >= 0 ? off % stride : -1;
            bool inside = off >= 0 && y < n && x < n;
            if (!inside && mem[i] != (uint8_t)(0x5a ^ (i * 7))) return false;
        }
        return true;
    }
};

// Runs one table entry and compares with the model; returns a description of
// the first mismatch, or an empty string.
std::string check_entry(const intra_pred_table &t, int mode, int f, int s, const uint8_t *ref)
{
    int n = sizes[s];
    dest_buffer d;
    d.guard();
    std::vector<uint8_t> ref_before(ref, ref + 4 * n + 1);
    t.pred[mode][f][s](d.block(), dest_buffer::stride, ref);

    // H.265 applies the boundary filters to luma blocks below 32x32 only; the
    // f = 1 entries are the luma ones.
    std::vector<int> want;
    std_predict(ref, n, mode, f == 1 && n < 32, want);
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++)
            if (d.block()[y * dest_buffer::stride + x] != want[(size_t)(y * n + x)])
                return "sample (" + std::to_string(x) + "," + std::to_string(y) + ") got " +
                       std::to_string(d.block()[y * dest_buffer::stride + x]) + " want " +
                       std::to_string(want[(size_t)(y * n + x)]);
    if (!d.outside_untouched(n)) return "wrote outside the block";
    if (memcmp(ref_before.data(), ref, ref_before.size()) != 0) return "modified the reference";
    return "";
}

intra_pred_table make_table(uint32_t flags)
{
    intra_pred_table t;
    memset(&t, 0, sizeof t);
    intra_pred_table_init(flags, &t);
    return t;
}

} // namespace

// ---- Predictors ---------------------------------------------------------------

TEST(IntraPred, EveryEntryEqualsTheStandardOnRandomAndExtremeReferences)
{
    // Flag sets 0 and 7 cover the portable table and everything this processor
    // can install.
    for (uint32_t flags : {0u, 7u}) {
        intra_pred_table t = make_table(flags);
        std::mt19937 rng(1234);
        for (int s = 0; s < 4; s++) {
            int n = sizes[s];
            for (int kind = 0; kind < REF_KIND_COUNT; kind++) {
                int rounds = kind == REF_RANDOM || kind == REF_EXTREME_RANDOM ? 6 : 1;
                for (int round = 0; round < rounds; round++) {
                    ref_buffer rb;
                    make_ref(rb.ref(), n, kind, rng);
                    for (int mode = 0; mode < INTRA_MODE_COUNT; mode++)
                        for (int f = 0; f < 2; f++) {
                            std::string err = check_entry(t, mode, f, s, rb.ref());
                            ASSERT_EQ(err, "") << "flags " << flags << " mode " << mode << " f " << f
                                               << " N " << n << " kind " << kind;
                        }
                }
            }
        }
    }
}

TEST(IntraPred, AngularCoreAppliesTheBoundaryFilterWheneverAsked)
{
    // Through the table a 32x32 block is never boundary-filtered, but the core
    // itself filters modes 10 and 26 at any size when asked, and no other mode.
    std::mt19937 rng(99);
    for (int n : sizes) {
        ref_buffer rb;
        make_ref(rb.ref(), n, REF_RANDOM, rng);
        for (int mode = 2; mode < INTRA_MODE_COUNT; mode++)
            for (int filt = 0; filt < 2; filt++) {
                dest_buffer d;
                d.guard();
                intra_pred_angular_c(d.block(), dest_buffer::stride, rb.ref(), mode, n, filt);
                std::vector<int> want;
                std_predict(rb.ref(), n, mode, filt == 1, want);
                for (int y = 0; y < n; y++)
                    for (int x = 0; x < n; x++)
                        ASSERT_EQ(d.block()[y * dest_buffer::stride + x], want[(size_t)(y * n + x)])
                            << "mode " << mode << " N " << n << " filter " << filt;
                ASSERT_TRUE(d.outside_untouched(n));
            }
    }
}

// ---- Smoothing ----------------------------------------------------------------

TEST(IntraSmoothing, FilterEqualsThe121RuleAndWritesOnlyItsArray)
{
    for (uint32_t flags : {0u, 7u}) {
        intra_pred_table t = make_table(flags);
        std::mt19937 rng(42);
        for (int s = 0; s < 4; s++) {
            int n = sizes[s];
            int len = 4 * n + 1;
            for (int kind = 0; kind < REF_KIND_COUNT; kind++) {
                ref_buffer in;
                make_ref(in.ref(), n, kind, rng);
                std::vector<uint8_t> before(in.ref(), in.ref() + len);
                std::vector<uint8_t> out(len + 32, 0xa5);
                t.ref_filter[s](in.ref(), out.data());
                std::vector<uint8_t> want = std_smooth(in.ref(), n);
                ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin())) << "N " << n << " kind " << kind;
                for (int i = len; i < len + 32; i++) ASSERT_EQ(out[(size_t)i], 0xa5) << "wrote past 4N";
                ASSERT_TRUE(std::equal(before.begin(), before.end(), in.ref())) << "modified its input";
            }
        }
    }
}

TEST(IntraSmoothing, FlagsFollowTheStandardFilterDecision)
{
    for (int mode = 0; mode < INTRA_MODE_COUNT; mode++) {
        EXPECT_EQ(intra_smoothing_flags[mode] & 4, 0) << "4x4 references are never smoothed";
        for (int n : {8, 16, 32})
            EXPECT_EQ((intra_smoothing_flags[mode] & n) != 0, std_filter_flag(mode, n))
                << "mode " << mode << " N " << n;
    }
}

TEST(IntraSmoothing, LumaPredictionWithTheChosenReferenceEqualsTheStandard)
{
    // The whole luma path of a transform unit: smoothing decision, [1 2 1]
    // filter, predictor with the boundary filters of blocks below 32x32.
    intra_pred_table t = make_table(7);
    std::mt19937 rng(5);
    for (int s = 0; s < 4; s++) {
        int n = sizes[s];
        for (int round = 0; round < 4; round++) {
            ref_buffer plain, smoothed;
            make_ref(plain.ref(), n, round == 0 ? REF_EXTREME_RANDOM : REF_RANDOM, rng);
            if (n >= 8) t.ref_filter[s](plain.ref(), smoothed.ref());
            for (int mode = 0; mode < INTRA_MODE_COUNT; mode++) {
                bool smooth = (intra_smoothing_flags[mode] & n) != 0;
                int f = n < 32 ? 1 : 0;
                dest_buffer d;
                t.pred[mode][f][s](d.block(), dest_buffer::stride, smooth ? smoothed.ref() : plain.ref());

                std::vector<uint8_t> pf(plain.ref(), plain.ref() + 4 * n + 1);
                if (std_filter_flag(mode, n)) pf = std_smooth(plain.ref(), n);
                std::vector<int> want;
                std_predict(pf.data(), n, mode, n < 32, want);
                for (int y = 0; y < n; y++)
                    for (int x = 0; x < n; x++)
                        ASSERT_EQ(d.block()[y * dest_buffer::stride + x], want[(size_t)(y * n + x)])
                            << "mode " << mode << " N " << n;
            }
        }
    }
}
