// Luma and chroma interpolation, bi-prediction and the 8-bit averages against a
// model written from the H.265 interpolation and weighted prediction equations,
// at every fractional phase and block size, on random and extreme samples.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernels/mc/mc.h"
#include "tests/support/mc_test_util.h"

using namespace mc_test;

namespace {

const int LUMA_SIZES[] = {4, 8, 12, 16, 24, 32, 48, 64};
const int CHROMA_SIZES[] = {2, 4, 6, 8, 12, 16, 24, 32};
const fill_kind FILLS[] = {FILL_RANDOM, FILL_EXTREME, FILL_ZERO, FILL_MAX};
const uint8_t GUARD = 0xcd;
const int16_t GUARD16 = 0x5a5a;

// Block origin inside the plane; vectors move it by -7 .. +7 samples.
const int BX = 40, BY = 40;

int floor_div(int v, int d)
{
    return v >= 0 ? v / d : -((-v + d - 1) / d);
}

int vector_for(int base, int frac, int scale)
{
    return base * scale + frac;
}

// The standard's intermediates of the 64x64 (luma) or 32x32 (chroma) block at
// the vector: every smaller block at the same origin is its top-left part.
std::vector<int> model_block(const ref_plane &p, int mvx, int mvy, bool chroma)
{
    int n = chroma ? 32 : 64, sh = chroma ? 3 : 2, mask = chroma ? 7 : 3;
    std::vector<int> out(n * n);
    for (int y = 0; y < n; y++)
        for (int x = 0; x < n; x++) {
            int xi = BX + floor_div(mvx, 1 << sh) + x, yi = BY + floor_div(mvy, 1 << sh) + y;
            out[y * n + x] = chroma ? std_chroma_intermediate(p, xi, yi, mvx & mask, mvy & mask)
                                    : std_luma_intermediate(p, xi, yi, mvx & mask, mvy & mask);
        }
    return out;
}

// Counts samples of a w x h 8-bit block that differ from the model, and guard
// bytes right of and below the block that were written.
int count_8bit_faults(const uint8_t *dst, int stride, const std::vector<int> &model, int n, int w, int h)
{
    int faults = 0;
    for (int y = 0; y <= h; y++)
        for (int x = 0; x < stride; x++) {
            bool inside = y < h && x < w;
            uint8_t v = dst[y * stride + x];
            faults += inside ? v != std_uni(model[y * n + x]) : v != GUARD;
        }
    return faults;
}

int count_16bit_faults(const int16_t *dst, int stride, const std::vector<int> &model, int n, int w, int h)
{
    int faults = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) faults += dst[y * stride + x] + MC_INTERMEDIATE_BIAS != model[y * n + x];
    return faults;
}

struct luma_case {
    ref_plane *plane;
    int mvx, mvy;
    bool hplanes;
};

int luma_faults(const luma_case &c, const std::vector<int> &model, int w, int h)
{
    std::vector<uint8_t> dst(128 * 65, GUARD);
    const uint8_t *ref = c.plane->block(BX, BY);
    ref_plane::hp_set hs = c.plane->hplanes_at(BX, BY);
    const int16_t *const *hp = c.hplanes ? hs.p : nullptr;
    interp_luma_c(dst.data(), 128, ref, hp, ref_plane::S, c.mvx, c.mvy, w, h);
    int faults = count_8bit_faults(dst.data(), 128, model, 64, w, h);

    std::vector<int16_t> d16(64 * 65, GUARD16);
    int32_t stride = 64;
    const int16_t *p = interp_luma_16bit_c(d16.data(), &stride, ref, hp, ref_plane::S, c.mvx, c.mvy, w, h);
    faults += count_16bit_faults(p, stride, model, 64, w, h);
    if (p == d16.data()) faults += stride != 64 || d16[h * 64] != GUARD16 || (w < 64 && d16[w] != GUARD16);
    return faults;
}

TEST(InterpLuma, EightAndSixteenBitFormsEqualTheStandardAtEveryPhaseSizeAndSampleKind)
{
    ref_plane plane;
    uint32_t seed = 1;
    for (fill_kind kind : FILLS) {
        plane.fill(kind, seed++);
        for (int phase = 0; phase < 16; phase++) {
            int mvx = vector_for((int)(seed * 7 % 15) - 7, phase & 3, 4);
            int mvy = vector_for((int)(seed * 11 % 15) - 7, phase >> 2, 4);
            seed++;
            std::vector<int> model = model_block(plane, mvx, mvy, false);
            for (int w : LUMA_SIZES)
                for (int h : LUMA_SIZES)
                    for (bool hp : {false, true}) {
                        // Full-sample blocks are copied by prediction widths (powers of two).
                        if (phase == 0 && (w & (w - 1))) continue;
                        ASSERT_EQ(luma_faults({&plane, mvx, mvy, hp}, model, w, h), 0)
                            << "fill " << kind << " mv " << mvx << "," << mvy << " " << w << "x" << h << " hplanes "
                            << hp;
                    }
        }
    }
}

TEST(InterpLuma, BlocksLargerThanTheWorkTileStillEqualTheStandard)
{
    ref_plane plane;
    plane.fill(FILL_RANDOM, 99);
    const int w = 100, h = 72;
    const uint8_t *ref = plane.block(BX, BY);
    ref_plane::hp_set hs = plane.hplanes_at(BX, BY);
    for (bool hp : {false, true}) {
        std::vector<uint8_t> dst(128 * 72);
        std::vector<int16_t> d16(128 * 72);
        int32_t stride = 128;
        interp_luma_c(dst.data(), 128, ref, hp ? hs.p : nullptr, ref_plane::S, -9, 7, w, h);
        interp_luma_16bit_c(d16.data(), &stride, ref, hp ? hs.p : nullptr, ref_plane::S, -9, 7, w, h);
        int faults = 0;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                int m = std_luma_intermediate(plane, BX - 3 + x, BY + 1 + y, 3, 3);
                faults += dst[y * 128 + x] != std_uni(m) || d16[y * 128 + x] + MC_INTERMEDIATE_BIAS != m;
            }
        EXPECT_EQ(faults, 0) << "hplanes " << hp;
    }
}

TEST(InterpLuma, NegativeVectorsFloorToTheSampleLeftAndAbove)
{
    ref_plane plane;
    plane.fill(FILL_RANDOM, 5);
    const uint8_t *ref = plane.origin() + BY * ref_plane::S + BX;
    uint8_t a[16 * 8], b[16 * 8];
    interp_luma_c(a, 16, ref, nullptr, ref_plane::S, -1, -6, 16, 8);   // column -1 phase 3, row -2 phase 2
    interp_luma_c(b, 16, ref - 2 * ref_plane::S - 1, nullptr, ref_plane::S, 3, 2, 16, 8);
    EXPECT_EQ(std::memcmp(a, b, sizeof a), 0);
}

TEST(InterpLuma, SixteenBitFormHandsOutTheHorizontalPlaneOnlyForAHorizontalPhase)
{
    ref_plane plane;
    plane.fill(FILL_RANDOM, 6);
    uint8_t *ref = plane.block(BX, BY);
    ref_plane::hp_set hs = plane.hplanes_at(BX, BY);
    std::vector<int16_t> dst(64 * 8, GUARD16);
    int32_t stride = 64;
    const int16_t *p = interp_luma_16bit_c(dst.data(), &stride, ref, hs.p, ref_plane::S, 2, 0, 8, 8);
    EXPECT_EQ(p, plane.hplanes[1] + BY * ref_plane::S + BX);
    EXPECT_EQ(stride, ref_plane::S);
    EXPECT_EQ(dst[0], GUARD16);

    stride = 64;
    p = interp_luma_16bit_c(dst.data(), &stride, ref, hs.p, ref_plane::S, 2, 1, 8, 8);
    EXPECT_EQ(p, dst.data());
    EXPECT_EQ(stride, 64);
    EXPECT_NE(dst[0], GUARD16);
}

// Samples of 255 where the product of the half-phase taps is positive and 0
// where it is negative drive the two-direction half/half intermediate to its
// maximum, 33150, beyond the int16 range; the negative counterpart of a
// one-direction half phase reaches -6120.
void paint_extreme_pattern(ref_plane *p, int x0, int y0, bool two_dim, bool invert)
{
    for (int r = 0; r < 8; r++)
        for (int c = 0; c < 8; c++) {
            int sign = std_fl[2][c] * (two_dim ? std_fl[2][r] : 1);
            bool high = (sign > 0) != invert;
            p->data[(y0 + r - 3 + ref_plane::M) * ref_plane::S + x0 + c - 3 + ref_plane::M] = high ? 255 : 0;
        }
}

TEST(Bipred, ExtremeHalfHalfIntermediateIsKeptExactlyAndAveragesAsTheStandard)
{
    ref_plane plane;
    plane.fill(FILL_RANDOM, 7);
    paint_extreme_pattern(&plane, 20, 20, true, false);
    paint_extreme_pattern(&plane, 60, 60, false, true);
    plane.build_hplanes();
    ASSERT_EQ(std_luma_intermediate(plane, 20, 20, 2, 2), 33150);

    ref_plane::hp_set ha = plane.hplanes_at(20, 20), hb = plane.hplanes_at(60, 60);
    for (bool hp : {false, true}) {
        int16_t a[1], b[1];
        int32_t sa = 1, sb = 1;
        const int16_t *pa =
            interp_luma_16bit_c(a, &sa, plane.block(20, 20), hp ? ha.p : nullptr, ref_plane::S, 2, 2, 1, 1);
        const int16_t *pb =
            interp_luma_16bit_c(b, &sb, plane.block(60, 60), hp ? hb.p : nullptr, ref_plane::S, 2, 0, 1, 1);
        int m_a = 33150, m_b = std_luma_intermediate(plane, 60, 60, 2, 0);
        EXPECT_EQ(pa[0] + MC_INTERMEDIATE_BIAS, m_a);
        EXPECT_EQ(pb[0] + MC_INTERMEDIATE_BIAS, m_b);
        uint8_t out;
        bipred_avg_16bit_c(&out, 1, pa, sa, pb, sb, 1, 1);
        EXPECT_EQ(out, std_bi(m_a, m_b)) << "hplanes " << hp;
        EXPECT_LT(out, 255);   // the sum is in the unclipped range, so any loss would show
        uint8_t uni;
        interp_luma_c(&uni, 1, plane.block(20, 20), hp ? ha.p : nullptr, ref_plane::S, 2, 2, 1, 1);
        EXPECT_EQ(uni, 255);
    }
}

TEST(Bipred, EveryPairOfLumaPhasesAveragesAsTheStandard)
{
    ref_plane plane;
    for (fill_kind kind : {FILL_RANDOM, FILL_EXTREME}) {
        plane.fill(kind, 11 + kind);
        const uint8_t *ref = plane.block(BX, BY);
        ref_plane::hp_set hs = plane.hplanes_at(BX, BY);
        for (int p0 = 0; p0 < 16; p0++)
            for (int p1 = 0; p1 < 16; p1++) {
                int mv0x = (p0 & 3) - 8, mv0y = (p0 >> 2) + 4, mv1x = (p1 & 3) + 12, mv1y = (p1 >> 2) - 20;
                int16_t a[8 * 8], b[8 * 8];
                int32_t sa = 8, sb = 8;
                const int16_t *pa =
                    interp_luma_16bit_c(a, &sa, ref, p0 & 1 ? hs.p : nullptr, ref_plane::S, mv0x, mv0y, 8, 8);
                const int16_t *pb = interp_luma_16bit_c(b, &sb, ref, hs.p, ref_plane::S, mv1x, mv1y, 8, 8);
                uint8_t out[16 * 8];
                bipred_avg_16bit_c(out, 16, pa, sa, pb, sb, 8, 8);
                int faults = 0;
                for (int y = 0; y < 8; y++)
                    for (int x = 0; x < 8; x++) {
                        int m0 = std_luma_intermediate(plane, BX + (mv0x >> 2) + x, BY + (mv0y >> 2) + y, p0 & 3,
                                                       p0 >> 2);
                        int m1 = std_luma_intermediate(plane, BX + (mv1x >> 2) + x, BY + (mv1y >> 2) + y, p1 & 3,
                                                       p1 >> 2);
                        faults += out[y * 16 + x] != std_bi(m0, m1);
                    }
                ASSERT_EQ(faults, 0) << "phases " << p0 << " " << p1 << " fill " << kind;
            }
    }
}

TEST(Bipred, EveryBlockSizeAveragesAndIdenticalFullSamplePredictionsReturnTheBlock)
{
    ref_plane plane;
    plane.fill(FILL_RANDOM, 13);
    const uint8_t *ref = plane.origin() + BY * ref_plane::S + BX;
    for (int w : LUMA_SIZES)
        for (int h : LUMA_SIZES) {
            std::vector<int16_t> a(64 * 64);
            int32_t s = 64;
            interp_luma_16bit_c(a.data(), &s, ref, nullptr, ref_plane::S, 4, -8, w, h);
            std::vector<uint8_t> out(128 * 65, GUARD);
            bipred_avg_16bit_c(out.data(), 128, a.data(), 64, a.data(), 64, w, h);
            int faults = 0;
            for (int y = 0; y <= h; y++)
                for (int x = 0; x < 128; x++) {
                    bool inside = y < h && x < w;
                    faults += inside ? out[y * 128 + x] != plane.at(BX + 1 + x, BY - 2 + y)
                                     : out[y * 128 + x] != GUARD;
                }
            ASSERT_EQ(faults, 0) << w << "x" << h;
        }
}

int chroma_faults(ref_plane *plane, const std::vector<int> &model, int mvx, int mvy, int w, int h)
{
    const uint8_t *ref = plane->origin() + BY * ref_plane::S + BX;
    std::vector<uint8_t> dst(128 * 33, GUARD);
    interp_chroma_c(dst.data(), 128, ref, ref_plane::S, mvx, mvy, w, h);
    int faults = count_8bit_faults(dst.data(), 128, model, 32, w, h);
    std::vector<int16_t> d16(64 * 33, GUARD16);
    interp_chroma_16bit_c(d16.data(), 64, ref, ref_plane::S, mvx, mvy, w, h);
    faults += count_16bit_faults(d16.data(), 64, model, 32, w, h);
    faults += d16[h * 64] != GUARD16 || (w < 64 && d16[w] != GUARD16);
    return faults;
}

TEST(InterpChroma, EightAndSixteenBitFormsEqualTheStandardAtEveryPhaseSizeAndSampleKind)
{
    ref_plane plane;
    uint32_t seed = 100;
    for (fill_kind kind : FILLS) {
        plane.fill(kind, seed++);
        for (int phase = 0; phase < 64; phase++) {
            int mvx = vector_for((int)(seed * 5 % 13) - 6, phase & 7, 8);
            int mvy = vector_for((int)(seed * 3 % 13) - 6, phase >> 3, 8);
            seed++;
            std::vector<int> model = model_block(plane, mvx, mvy, true);
            for (int w : CHROMA_SIZES)
                for (int h : CHROMA_SIZES)
                    ASSERT_EQ(chroma_faults(&plane, model, mvx, mvy, w, h), 0)
                        << "fill " << kind << " mv " << mvx << "," << mvy << " " << w << "x" << h;
        }
    }
}

TEST(InterpChroma, BlocksLargerThanTheWorkTileStillEqualTheStandard)
{
    ref_plane plane;
    plane.fill(FILL_EXTREME, 17);
    const int w = 40, h = 36;
    const uint8_t *ref = plane.origin() + BY * ref_plane::S + BX;
    std::vector<uint8_t> dst(64 * h);
    std::vector<int16_t> d16(64 * h);
    interp_chroma_c(dst.data(), 64, ref, ref_plane::S, 13, -3, w, h);
    interp_chroma_16bit_c(d16.data(), 64, ref, ref_plane::S, 13, -3, w, h);
    int faults = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int m = std_chroma_intermediate(plane, BX + 1 + x, BY - 1 + y, 5, 5);
            faults += dst[y * 64 + x] != std_uni(m) || d16[y * 64 + x] + MC_INTERMEDIATE_BIAS != m;
        }
    EXPECT_EQ(faults, 0);
}

TEST(AvgPixels, RoundsHalfUpOverTheBlockOnly)
{
    uint8_t a[4 * 8], b[4 * 8], out[16 * 5];
    for (int i = 0; i < 32; i++) {
        a[i] = (uint8_t)(i * 37);
        b[i] = (uint8_t)(255 - i * 11);
    }
    std::memset(out, GUARD, sizeof out);
    avg_pixels_c(out, 16, a, 8, b, 8, 8, 4);
    for (int y = 0; y < 5; y++)
        for (int x = 0; x < 16; x++) {
            int want = (y < 4 && x < 8) ? (a[y * 8 + x] + b[y * 8 + x] + 1) >> 1 : GUARD;
            EXPECT_EQ(out[y * 16 + x], want) << x << "," << y;
        }
}

TEST(BlockCopy, CopiesPredictionWidthsAndNothingForOtherWidths)
{
    std::vector<uint8_t> src(64 * 8);
    for (size_t i = 0; i < src.size(); i++) src[i] = (uint8_t)(i * 7 + 1);
    for (int w : {2, 4, 8, 16, 32, 64}) {
        std::vector<uint8_t> dst(128 * 9, GUARD);
        block_copy_c(dst.data(), 128, src.data(), 64, w, 8);
        for (int y = 0; y < 9; y++)
            for (int x = 0; x < 128; x++)
                ASSERT_EQ(dst[y * 128 + x], (y < 8 && x < w) ? src[y * 64 + x] : GUARD) << w;
    }
    std::vector<uint8_t> dst(128 * 9, GUARD);
    block_copy_c(dst.data(), 128, src.data(), 64, 12, 8);
    block_copy_c(dst.data(), 128, src.data(), 64, 16, 0);
    for (uint8_t v : dst) ASSERT_EQ(v, GUARD);
}

}  // namespace
