#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "encoder/picture.h"
#include "encoder/source_picture.h"
#include "kernels/mc/lowres_planes.h"

namespace {

picture_geometry make_geometry(int32_t w, int32_t h, int32_t bframes)
{
    picture_geometry g;
    g.width = w;
    g.height = h;
    g.ctu_cols = (w + 63) / 64;
    g.ctu_rows = (h + 63) / 64;
    g.bframes = bframes;
    g.aq = 0;
    g.motion_l1 = 0;
    g.subpel_planes = 0;
    return g;
}

// The phase scratch of one geometry, for the builds at subpel_level 3 and above.
struct phase_scratch {
    std::vector<uint8_t> bytes;
    explicit phase_scratch(const picture_geometry &g)
        : bytes((size_t)lowres_phase_scratch_bytes(picture_lowres_stride(&g)), 0)
    {
    }
};

lowres_build_params make_params(const picture_geometry &g, int32_t subpel_level, phase_scratch *scratch)
{
    return {g.width, g.height, subpel_level, g.bframes, build_lowres_planes_c, downscale_2x2_plane_c,
            scratch ? scratch->bytes.data() : nullptr};
}

uint8_t luma_pattern(int x, int y)
{
    return (uint8_t)((x * 37) ^ (y * 11) ^ (x * y));
}

void fill_luma(picture *pic, int w, int h)
{
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) pic->planes[0][(int64_t)y * pic->strides[0] + x] = luma_pattern(x, y);
}

int clampi(int v, int lo, int hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

int avg(int a, int b)
{
    return (a + b + 1) >> 1;
}

// Margins of one half-resolution plane replicate its edge samples everywhere.
int count_border_errors(const uint8_t *plane, int w, int h, int stride)
{
    int bad = 0;
    for (int y = -88; y < h + 88; y++)
        for (int x = -96; x < w + 96; x++) {
            uint8_t want = plane[(int64_t)clampi(y, 0, h - 1) * stride + clampi(x, 0, w - 1)];
            if (plane[(int64_t)y * stride + x] != want) bad++;
        }
    return bad;
}

}  // namespace

TEST(LowresKernels, DownscaleTruncatesWhereThePhaseBuilderRounds)
{
    uint8_t src[6 * 8] = {};   // the phase builder reads rows up to 2h + 2
    uint8_t out0[4 * 4] = {}, out1[4 * 4] = {};
    // Block 0 1 / 1 1 gives 1 in both; block 0 0 / 0 1 gives 1 and 0.
    src[0] = 0, src[1] = 1, src[8] = 1, src[9] = 1;
    src[2] = 0, src[3] = 0, src[10] = 0, src[11] = 1;
    std::vector<uint8_t> planes_mem(16 * 4 * 4, 0);
    uint8_t *planes[16];
    for (int i = 0; i < 16; i++) planes[i] = planes_mem.data() + 16 * i;
    planes[0] = out0;
    build_lowres_planes_c(planes, 4, src, 8, 2, 1);
    EXPECT_EQ(out0[0], 1);
    EXPECT_EQ(out0[1], 1);
    uint8_t *single[16] = {out1};
    downscale_2x2_plane_c(single, 4, src, 8, 2, 1);
    EXPECT_EQ(out1[0], 1);
    EXPECT_EQ(out1[1], 0);
}

TEST(PlaneBorderExtend, OneSamplePlaneFillsTheWholeMargin)
{
    const int stride = 208, rows = 177;
    std::vector<uint8_t> buf((size_t)stride * rows, 0);
    uint8_t *plane = buf.data() + 88 * stride + 96;
    plane[0] = 42;
    plane_border_extend(plane, 1, 1, stride);
    for (int y = 0; y < rows; y++)
        for (int x = 0; x < 193; x++) ASSERT_EQ(buf[(size_t)y * stride + x], 42) << x << "," << y;
    EXPECT_EQ(buf[193], 0);                        // nothing beyond the margin
}

TEST(PictureLowresBuild, NewPictureGetsTheRoundedPlaneAndResetResults)
{
    // 136 x 168: neither dimension a multiple of 64 nor the half width of 16,
    // and the 84 half-resolution rows end in a partial strip.
    picture_geometry g = make_geometry(136, 168, 2);
    picture *pic = picture_alloc(&g, PICTURE_POOL_SOURCE);
    ASSERT_NE(pic, nullptr);
    fill_luma(pic, g.width, g.height);
    pic->frame_cost[3][4] = 99;
    pic->row_costs[16][16][0] = 5;
    phase_scratch scratch(g);
    lowres_build_params params = make_params(g, 3, &scratch);
    picture_lowres_build(&params, pic, 1);

    // The luma gains three replicated columns and rows for the builders.
    const uint8_t *luma = pic->planes[0];
    int ls = pic->strides[0];
    for (int y = 0; y < g.height + 3; y++)
        for (int x = 0; x < g.width + 3; x++)
            ASSERT_EQ(luma[(int64_t)y * ls + x], luma_pattern(clampi(x, 0, g.width - 1), clampi(y, 0, g.height - 1)))
                << x << "," << y;

    // Plane 0 of the phase builder over the whole plane, border included; the
    // phase planes themselves are not kept.
    int w = g.width / 2, h = g.height / 2, s = pic->lowres_stride;
    int64_t plane_size = (int64_t)(h + 176) * s;
    std::vector<uint8_t> whole((size_t)(16 * plane_size), 0);
    uint8_t *planes[16];
    for (int i = 0; i < 16; i++) planes[i] = whole.data() + i * plane_size + 88 * s + 96;
    build_lowres_planes_c(planes, s, luma, ls, w, h);
    plane_border_extend(planes[0], w, h, s);
    for (int y = -88; y < h + 88; y++)
        for (int x = -96; x < w + 96; x++)
            ASSERT_EQ(pic->lowres_plane[y * s + x], planes[0][y * s + x]) << x << "," << y;
    for (int i = 1; i < 16; i++) EXPECT_EQ(pic->lowres_planes[i], nullptr);

    for (int i = 0; i < 17; i++)
        for (int j = 0; j < 17; j++) {
            EXPECT_EQ(pic->frame_cost[i][j], -1);
            EXPECT_EQ(pic->row_costs[i][j][0], -1);
        }
    for (int l = 0; l < 2; l++)
        for (int d = 0; d <= 2; d++) EXPECT_EQ(pic->lowres_mvs[l][d][0] & 0xFFFF, 0x7FFFu) << l << " " << d;
    picture_free(pic);
}

TEST(PictureLowresBuild, RebuildOfAKnownPictureOnlyDownscales)
{
    picture_geometry g = make_geometry(72, 40, 0);
    picture *pic = picture_alloc(&g, PICTURE_POOL_SOURCE);
    ASSERT_NE(pic, nullptr);
    fill_luma(pic, g.width, g.height);
    pic->frame_cost[0][0] = 1234;
    phase_scratch scratch(g);
    lowres_build_params params = make_params(g, 5, &scratch);
    picture_lowres_build(&params, pic, 0);

    int w = g.width / 2, h = g.height / 2, s = pic->lowres_stride;
    const uint8_t *luma = pic->planes[0];
    int ls = pic->strides[0];
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            auto src = [&](int xx, int yy) { return (int)luma[(int64_t)yy * ls + xx]; };
            int want = (avg(src(2 * x, 2 * y), src(2 * x, 2 * y + 1)) + avg(src(2 * x + 1, 2 * y), src(2 * x + 1, 2 * y + 1))) >> 1;
            ASSERT_EQ(pic->lowres_plane[y * s + x], want) << x << "," << y;
        }
    EXPECT_EQ(count_border_errors(pic->lowres_plane, w, h, s), 0);
    EXPECT_EQ(pic->frame_cost[0][0], 1234);                  // results kept
    picture_free(pic);
}

TEST(PictureLowresBuild, LowSubpelLevelBuildsOnlyTheHalfResolutionPlane)
{
    picture_geometry g = make_geometry(64, 64, 1);
    picture *pic = picture_alloc(&g, PICTURE_POOL_SOURCE);
    ASSERT_NE(pic, nullptr);
    fill_luma(pic, g.width, g.height);
    lowres_build_params params = make_params(g, 2, nullptr);
    picture_lowres_build(&params, pic, 1);
    int s = pic->lowres_stride;
    std::vector<uint8_t> want((size_t)(32 * s), 0);
    uint8_t *single[16] = {want.data()};
    downscale_2x2_plane_c(single, s, pic->planes[0], pic->strides[0], 32, 32);
    for (int y = 0; y < 32; y++) ASSERT_EQ(std::memcmp(pic->lowres_plane + y * s, &want[(size_t)(y * s)], 32), 0);
    EXPECT_EQ(count_border_errors(pic->lowres_plane, 32, 32, s), 0);
    EXPECT_EQ(pic->frame_cost[16][0], -1);
    EXPECT_EQ(pic->lowres_mvs[1][1][0], 0x7FFFu);
    picture_free(pic);
}
