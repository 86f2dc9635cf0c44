// Half-resolution planes of source pictures and the block downscales, against
// models of their rounding rules, on random planes of many sizes (most not
// multiples of 16) with sources allocated to exactly what the kernels may read.
#include <gtest/gtest.h>

#include <random>
#include <type_traits>
#include <vector>

#include "kernels/mc/lowres_planes.h"
#include "kernels/mc/mc.h"

namespace {

static_assert(std::is_same<decltype(&build_lowres_planes_c), lowres_plane_func>::value, "slot 10 signature");
static_assert(std::is_same<decltype(&downscale_2x2_plane_c), lowres_plane_func>::value, "slot 11 signature");

const uint8_t GUARD = 0xcd;

int avg(int a, int b)
{
    return (a + b + 1) >> 1;
}

struct source {
    int w, h, stride;   // w x h samples, stride w
    std::vector<uint8_t> s;
    int at(int x, int y) const { return s[(size_t)y * stride + x]; }
};

source random_source(int w, int h, uint32_t seed)
{
    source src{w, h, w, std::vector<uint8_t>((size_t)w * h)};
    std::mt19937 rng(seed);
    for (auto &v : src.s) v = (uint8_t)rng();
    return src;
}

// Sample of the phase plane (fx, fy) of the half-resolution grid: the
// half-sample planes average a 2x2 source square (vertical pairs first, all
// rounded) one source sample further right or down; quarter planes average the
// two nearest half-sample planes, rounded.
int model_phase(const source &src, int fx, int fy, int x, int y)
{
    if (fy & 1) {
        return fy == 1 ? avg(model_phase(src, fx, 0, x, y), model_phase(src, fx, 2, x, y))
                       : avg(model_phase(src, fx, 2, x, y), model_phase(src, fx, 0, x, y + 1));
    }
    if (fx & 1) {
        return fx == 1 ? avg(model_phase(src, 0, fy, x, y), model_phase(src, 2, fy, x, y))
                       : avg(model_phase(src, 2, fy, x, y), model_phase(src, 0, fy, x + 1, y));
    }
    int sx = 2 * x + fx / 2, sy = 2 * y + fy / 2;
    return avg(avg(src.at(sx, sy), src.at(sx, sy + 1)), avg(src.at(sx + 1, sy), src.at(sx + 1, sy + 1)));
}

// Vertical pairs rounded, the horizontal pair truncated.
int model_downscale(const source &src, int x, int y)
{
    return (avg(src.at(2 * x, 2 * y), src.at(2 * x, 2 * y + 1)) +
            avg(src.at(2 * x + 1, 2 * y), src.at(2 * x + 1, 2 * y + 1))) >> 1;
}

struct plane_set {
    int stride, rows;
    std::vector<std::vector<uint8_t>> buf;
    uint8_t *ptr[16];

    plane_set(int w, int h) : stride(w + 9), rows(h + 3), buf(16)
    {
        for (int i = 0; i < 16; i++) {
            buf[i].assign((size_t)stride * rows, GUARD);
            ptr[i] = buf[i].data();
        }
    }
    int at(int i, int x, int y) const { return buf[i][(size_t)y * stride + x]; }
};

// Width and height a plane of build_lowres_planes covers: the half-sample
// planes one more column and row, the horizontal quarter planes one more row.
void written_extent(int i, int w, int h, int *ew, int *eh)
{
    bool half_x = !(i & 1), half_y = !((i >> 2) & 1);
    *ew = (half_x && half_y) ? w + 1 : w;
    *eh = half_y ? h + 1 : h;
}

int count_plane_faults(const plane_set &p, const source &src, int w, int h)
{
    int faults = 0;
    for (int i = 0; i < 16; i++) {
        int ew, eh;
        written_extent(i, w, h, &ew, &eh);
        for (int y = 0; y < p.rows; y++)
            for (int x = 0; x < p.stride; x++) {
                bool inside = x < ew && y < eh;
                int want = inside ? model_phase(src, i & 3, i >> 2, x, y) : GUARD;
                faults += p.at(i, x, y) != want;
            }
    }
    return faults;
}

const int SIZES[][2] = {{1, 1}, {2, 3}, {7, 5}, {16, 16}, {17, 9}, {33, 20}, {50, 31}, {64, 64}, {100, 45}};

TEST(BuildLowresPlanes, EveryPhasePlaneFollowsTheRoundingRuleOnRandomPlanesOfAnySize)
{
    uint32_t seed = 1;
    for (auto &sz : SIZES) {
        int w = sz[0], h = sz[1];
        // The caller pads three columns and rows: the kernel reads up to 2w + 2, 2h + 2.
        source src = random_source(2 * w + 3, 2 * h + 3, seed++);
        plane_set planes(w, h);
        build_lowres_planes_c(planes.ptr, planes.stride, src.s.data(), src.stride, w, h);
        EXPECT_EQ(count_plane_faults(planes, src, w, h), 0) << w << "x" << h;
    }
}

TEST(Downscale2x2Plane, TruncatesTheHorizontalPairAndWritesOnlyPlaneZero)
{
    uint32_t seed = 50;
    for (auto &sz : SIZES) {
        int w = sz[0], h = sz[1];
        source src = random_source(2 * w, 2 * h, seed++);   // reads up to 2w - 1, 2h - 1
        plane_set planes(w, h);
        uint8_t *only_first[16] = {planes.ptr[0]};
        downscale_2x2_plane_c(only_first, planes.stride, src.s.data(), src.stride, w, h);
        int faults = 0;
        for (int y = 0; y < planes.rows; y++)
            for (int x = 0; x < planes.stride; x++)
                faults += planes.at(0, x, y) != ((x < w && y < h) ? model_downscale(src, x, y) : GUARD);
        EXPECT_EQ(faults, 0) << w << "x" << h;
    }
}

TEST(HalfResolution, RoundedAndTruncatedPlanesDifferAsTheTwoRulesSay)
{
    // 0, 1 / 1, 1: both give 1. 0, 0 / 0, 1: rounding gives 1, truncation 0.
    const uint8_t cases[2][4] = {{0, 1, 1, 1}, {0, 0, 0, 1}};
    const int want_build[2] = {1, 1}, want_down[2] = {1, 0};
    for (int c = 0; c < 2; c++) {
        std::vector<uint8_t> src(5 * 5, 0);
        src[0] = cases[c][0];
        src[1] = cases[c][1];
        src[5] = cases[c][2];
        src[6] = cases[c][3];
        plane_set a(1, 1), b(1, 1);
        build_lowres_planes_c(a.ptr, a.stride, src.data(), 5, 1, 1);
        downscale_2x2_plane_c(b.ptr, b.stride, src.data(), 5, 1, 1);
        EXPECT_EQ(a.at(0, 0, 0), want_build[c]) << c;
        EXPECT_EQ(b.at(0, 0, 0), want_down[c]) << c;
    }
}

TEST(HalfResolution, ZeroHeightWritesOneRowOfTheRowPlanesAndNothingOfTheRest)
{
    const int w = 13;
    source src = random_source(2 * w + 3, 3, 77);
    plane_set planes(w, 0), single(w, 0);
    build_lowres_planes_c(planes.ptr, planes.stride, src.s.data(), src.stride, w, 0);
    EXPECT_EQ(count_plane_faults(planes, src, w, 0), 0);
    for (int i : {4, 5, 6, 7, 12, 13, 14, 15})
        for (uint8_t v : planes.buf[i]) ASSERT_EQ(v, GUARD) << "plane " << i;
    downscale_2x2_plane_c(single.ptr, single.stride, src.s.data(), src.stride, w, 0);
    for (uint8_t v : single.buf[0]) ASSERT_EQ(v, GUARD);
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto &b : v) b = (uint8_t)rng();
    return v;
}

TEST(DownscaleBlock, HalvesHorizontalPairsFirstInPlaceAndTouchesNothingElse)
{
    for (int n : {64, 32}) {
        std::vector<uint8_t> before = random_bytes(64 * 64, (uint32_t)n);
        std::vector<uint8_t> block = before;
        (n == 64 ? downscale_64x64_c : downscale_32x32_c)(block.data());
        int faults = 0;
        for (int y = 0; y < 64; y++)
            for (int x = 0; x < 64; x++) {
                int want = before[y * 64 + x];
                if (x < n / 2 && y < n / 2) {
                    const uint8_t *s0 = &before[2 * y * 64 + 2 * x], *s1 = s0 + 64;
                    want = avg(avg(s0[0], s0[1]), avg(s1[0], s1[1]));
                }
                faults += block[y * 64 + x] != want;
            }
        EXPECT_EQ(faults, 0) << n;
    }
}

TEST(DownscaleBorder, HalvesTheNeighbourRowAndColumnAndRepeatsTheLastColumnEntry)
{
    for (int n : {64, 32}) {
        std::vector<uint8_t> before = random_bytes(128 * (n + 1), (uint32_t)n + 7);
        std::vector<uint8_t> buf = before;
        uint8_t *block = buf.data() + 128 + 1;   // row above at row 0, column left at column 0
        (n == 64 ? downscale_border_64_c : downscale_border_32_c)(block);
        const uint8_t *row = before.data() + 1, *col = before.data() + 128;
        for (int i = 0; i < 3 * n / 4; i++)
            EXPECT_EQ(block[-128 + i], avg(row[2 * i], row[2 * i + 1])) << n << " row " << i;
        for (int i = 3 * n / 4; i < 127; i++) EXPECT_EQ(block[-128 + i], row[i]) << n << " row tail " << i;
        int last = avg(col[128 * (n - 2)], col[128 * (n - 1)]);
        for (int j = 0; j < n; j++) {
            int want = j < n / 2 ? avg(col[128 * 2 * j], col[128 * (2 * j + 1)]) : last;
            EXPECT_EQ(block[128 * j - 1], want) << n << " column " << j;
        }
        EXPECT_EQ(buf[0], before[0]);   // the corner above-left
        for (int y = 0; y < n; y++)
            for (int x = 0; x < 127; x++) ASSERT_EQ(block[128 * y + x], before[128 * (y + 1) + 1 + x]);
    }
}

}  // namespace
