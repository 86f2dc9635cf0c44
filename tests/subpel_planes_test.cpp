// Sub-sample planes of reconstructed references, the kernels that read a block
// out of them or out of the reference itself, and the bilinear interpolation.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernels/mc/mc.h"
#include "tests/support/mc_test_util.h"

using namespace mc_test;

namespace {

const uint8_t GUARD = 0xcd;
const int16_t GUARD16 = 0x5a5a;
const int S = ref_plane::S;

// Fifteen 8-bit phase planes and three 16-bit planes with the reference's
// geometry, prefilled with guards; index 0 is the reference itself.
struct subpel_set {
    std::vector<uint8_t> p8[16];
    std::vector<int16_t> p16[3];
    uint8_t *planes[16];
    int16_t *hp[3];

    explicit subpel_set(ref_plane *ref)
    {
        size_t origin = (size_t)ref_plane::M * S + ref_plane::M;
        planes[0] = ref->origin();
        for (int i = 1; i < 16; i++) {
            p8[i].assign(ref->data.size(), GUARD);
            planes[i] = p8[i].data() + origin;
        }
        for (int i = 0; i < 3; i++) {
            p16[i].assign(ref->data.size(), GUARD16);
            hp[i] = p16[i].data() + origin;
        }
    }

    // The encoder's per-region build: the 16-bit planes first, then the 8-bit ones.
    void build(const uint8_t *src, int x0, int y0, int w, int h, int half_only)
    {
        ptrdiff_t o = (ptrdiff_t)y0 * S + x0;
        filter_h_subpel_16bit_c(hp[0] + o, hp[1] + o, hp[2] + o, src + o, S, w, h, half_only);
        uint8_t *at[16];
        const int16_t *hat[3] = {hp[0] + o, hp[1] + o, hp[2] + o};
        for (int i = 0; i < 16; i++) at[i] = planes[i] + o;
        build_subpel_planes_c(at, src + o, hat, S, w, h, half_only);
    }

    int at(int i, int x, int y) const { return planes[i][(ptrdiff_t)y * S + x]; }
};

TEST(SubpelPlanes, EveryPhasePlaneOfARegionHoldsTheStandardPrediction)
{
    ref_plane ref;
    ref.fill(FILL_RANDOM, 3);
    subpel_set set(&ref);
    // A first-column, first-row region: wider and taller than any prediction block.
    const int x0 = -40, y0 = -36, w = 100, h = 92;
    set.build(ref.origin(), x0, y0, w, h, 0);
    for (int i = 1; i < 16; i++) {
        int faults = 0;
        for (int y = y0 - 1; y <= y0 + h; y++)
            for (int x = x0 - 1; x <= x0 + w; x++) {
                bool inside = x >= x0 && x < x0 + w && y >= y0 && y < y0 + h;
                int want = inside ? std_uni(std_luma_intermediate(ref, x, y, i & 3, i >> 2)) : GUARD;
                faults += set.at(i, x, y) != want;
            }
        EXPECT_EQ(faults, 0) << "plane " << i;
    }
}

TEST(SubpelPlanes, HalfOnlyWritesTheThreeHalfSamplePlanesAndTheHalfHorizontalPlane)
{
    ref_plane ref;
    ref.fill(FILL_EXTREME, 4);
    subpel_set set(&ref);
    set.build(ref.origin(), 8, 8, 64, 64, 1);
    for (int i = 1; i < 16; i++) {
        bool built = i == 2 || i == 8 || i == 10;
        int written = 0, faults = 0;
        for (int y = 8; y < 72; y++)
            for (int x = 8; x < 72; x++) {
                written += set.at(i, x, y) != GUARD;
                if (built) faults += set.at(i, x, y) != std_uni(std_luma_intermediate(ref, x, y, i & 3, i >> 2));
            }
        if (built)
            EXPECT_EQ(faults, 0) << "plane " << i;
        else
            EXPECT_EQ(written, 0) << "plane " << i;
    }
    for (int k : {0, 2})
        for (int16_t v : set.p16[k]) ASSERT_EQ(v, GUARD16) << "horizontal plane " << k;
}

TEST(SubpelPlanes, BlocksReadFromThePlanesEqualInterpolationAtEveryPhase)
{
    ref_plane ref;
    ref.fill(FILL_RANDOM, 5);
    subpel_set set(&ref);
    set.build(ref.origin(), -24, -24, 112, 112, 0);
    for (int phase = 0; phase < 16; phase++)
        for (int base : {-20, 3}) {
            int mvx = base * 4 + (phase & 3), mvy = -base * 4 + (phase >> 2);
            uint8_t *blk = ref.block(30, 30);
            uint8_t want[16 * 16], got[32 * 16];
            interp_luma_c(want, 16, blk, nullptr, S, mvx, mvy, 16, 16);
            uint8_t *moved[16];
            for (int i = 0; i < 16; i++) moved[i] = set.planes[i] + 30 * S + 30;
            std::memset(got, GUARD, sizeof got);
            mc_from_subpel_planes_c(got, 32, moved, S, mvx, mvy, 16, 16);
            const uint8_t *p = subpel_plane_ptr_c(moved, S, mvx, mvy);
            for (int y = 0; y < 16; y++)
                for (int x = 0; x < 16; x++) {
                    ASSERT_EQ(got[y * 32 + x], want[y * 16 + x]) << phase << " " << base;
                    ASSERT_EQ(p[y * S + x], want[y * 16 + x]) << phase << " " << base;
                    ASSERT_EQ(got[y * 32 + 16 + x], GUARD);
                }
        }
}

TEST(ReferenceAccess, FullSampleVectorsHandOutTheReferenceWithoutCopying)
{
    ref_plane ref;
    ref.fill(FILL_RANDOM, 6);
    uint8_t *blk = ref.block(40, 40);
    int32_t stride = 64;
    EXPECT_EQ(mc_luma_ref_or_interp_c(nullptr, &stride, blk, nullptr, S, -8, 12, 16, 16), blk + 3 * S - 2);
    EXPECT_EQ(stride, S);
    stride = 64;
    EXPECT_EQ(mc_luma_ref_or_bilinear_c(nullptr, &stride, blk, S, 4, -4, 16, 16), blk - S + 1);
    EXPECT_EQ(stride, S);

    uint8_t dst[64 * 16], want[64 * 16];
    stride = 64;
    EXPECT_EQ(mc_luma_ref_or_interp_c(dst, &stride, blk, nullptr, S, 1, 0, 16, 16), dst);
    EXPECT_EQ(stride, 64);
    interp_luma_c(want, 64, blk, nullptr, S, 1, 0, 16, 16);
    for (int y = 0; y < 16; y++) EXPECT_EQ(std::memcmp(dst + 64 * y, want + 64 * y, 16), 0);
    EXPECT_EQ(mc_luma_ref_or_bilinear_c(dst, &stride, blk, S, 6, -3, 16, 16), dst);
    interp_luma_bilinear_c(want, 64, blk, S, 6, -3, 16, 16);
    for (int y = 0; y < 16; y++) EXPECT_EQ(std::memcmp(dst + 64 * y, want + 64 * y, 16), 0);
}

TEST(ReferenceAccess, ChromaPointerOnlyForFullSampleVectors)
{
    uint8_t plane[64 * 8] = {};
    const uint8_t *origin = plane + 64 * 4 + 8;
    EXPECT_EQ(chroma_fullpel_ptr_c(origin, 64, 8, -8), origin - 64 + 1);
    EXPECT_EQ(chroma_fullpel_ptr_c(origin, 64, -16, 0), origin - 2);
    EXPECT_EQ(chroma_fullpel_ptr_c(origin, 64, 4, 0), nullptr);
    EXPECT_EQ(chroma_fullpel_ptr_c(origin, 64, 0, -1), nullptr);
}

// The bilinear rule: one direction weights 3:1, 1:1 or 1:3 with rounding 2
// (1 for the plain average); two directions run a horizontal pass rounding by
// 1, then a vertical pass rounding by the number of odd phases.
int bilinear_mix(int a, int b, int phase, int rq, int rh)
{
    return phase == 2 ? (a + b + rh) >> 1 : phase == 1 ? (3 * a + b + rq) >> 2 : (a + 3 * b + rq) >> 2;
}

int model_bilinear(const ref_plane &p, int x, int y, int fx, int fy)
{
    if (!fx && !fy) return p.at(x, y);
    if (!fy) return bilinear_mix(p.at(x, y), p.at(x + 1, y), fx, 2, 1);
    if (!fx) return bilinear_mix(p.at(x, y), p.at(x, y + 1), fy, 2, 1);
    int t0 = bilinear_mix(p.at(x, y), p.at(x + 1, y), fx, 1, 1);
    int t1 = bilinear_mix(p.at(x, y + 1), p.at(x + 1, y + 1), fx, 1, 1);
    int r = (fx & 1) + (fy & 1);
    return bilinear_mix(t0, t1, fy, r, r);
}

TEST(Bilinear, WorkedExampleAndRoundingOfTheVerticalPass)
{
    ref_plane ref;
    ref.fill(FILL_ZERO, 0);
    uint8_t *o = ref.block(10, 10);
    o[0] = 10, o[1] = 11, o[S] = 12, o[S + 1] = 13;
    uint8_t out;
    interp_luma_bilinear_c(&out, 1, o, S, 2, 2, 1, 1);
    EXPECT_EQ(out, 12);   // rows average to 11 and 13, then (11 + 13 + 0) >> 1

    // Rows that pass 0 and 2 to the vertical pass: (3 * 0 + 2 + r) >> 2 is 1
    // only with r = 2, that is with both phases odd.
    o[0] = 0, o[1] = 0, o[S] = 2, o[S + 1] = 2;
    interp_luma_bilinear_c(&out, 1, o, S, 1, 1, 1, 1);
    EXPECT_EQ(out, 1);
    interp_luma_bilinear_c(&out, 1, o, S, 2, 1, 1, 1);
    EXPECT_EQ(out, 0);
}

TEST(Bilinear, EveryPhaseFollowsTheRuleIncludingBlocksPastTheWorkTile)
{
    ref_plane ref;
    ref.fill(FILL_RANDOM, 8);
    for (int phase = 0; phase < 16; phase++)
        for (int size : {16, 80}) {
            int w = size == 80 ? 80 : 16, h = size == 80 ? 70 : 16;
            if (phase == 0 && size == 80) continue;   // full samples copy prediction widths only
            int mvx = -13 * 4 + (phase & 3), mvy = 5 * 4 + (phase >> 2);
            std::vector<uint8_t> dst(128 * (h + 1), GUARD);
            interp_luma_bilinear_c(dst.data(), 128, ref.block(40, 40), S, mvx, mvy, w, h);
            int faults = 0;
            for (int y = 0; y <= h; y++)
                for (int x = 0; x < 128; x++) {
                    bool inside = x < w && y < h;
                    int want = inside ? model_bilinear(ref, 40 - 13 + x, 40 + 5 + y, phase & 3, phase >> 2) : GUARD;
                    faults += dst[y * 128 + x] != want;
                }
            EXPECT_EQ(faults, 0) << "phase " << phase << " " << w << "x" << h;
        }
}

}  // namespace
