// Availability map: the fills, the CTU-start borders and the look-ups that
// the predictor lists and intra reference gathering make.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "analysis/rd/avail_map.h"
#include "encoder/encoder_instance.h"
#include "kernels/intra/intra_ref.h"
#include "support/test_records.h"

namespace {

struct instance_deleter {
    void operator()(row_context *p) const { std::free(p); }
};
using instance_ptr = std::unique_ptr<row_context, instance_deleter>;

instance_ptr zeroed_instance()
{
    return instance_ptr(test_row_context_new());
}

int count_set(const uint8_t *map)
{
    int n = 0;
    for (int i = 0; i < CTU_AVAIL_SIZE; i++) n += map[i];
    return n;
}

TEST(AvailMap, FillRectWritesOnlyTheSupportedWidths)
{
    for (int width : {1, 2, 4, 8, 16}) {
        std::vector<uint8_t> map(CTU_AVAIL_SIZE, 0);
        map_fill_rect(map.data() + 48, width, 3, 1);
        EXPECT_EQ(count_set(map.data()), 3 * width) << width;
        for (int r = 0; r < 3; r++)
            for (int c = 0; c < width; c++) EXPECT_EQ(map[(size_t)(48 + 32 * r + c)], 1);
        map_fill_rect(map.data() + 48, width, 3, 0);
        EXPECT_EQ(count_set(map.data()), 0);
    }
    std::vector<uint8_t> map(CTU_AVAIL_SIZE, 0);
    map_fill_rect(map.data() + 48, 3, 4, 1);
    map_fill_rect(map.data() + 48, 32, 4, 1);
    map_fill_rect(map.data() + 48, 4, 0, 1);
    map_fill_rect(map.data() + 48, 4, -2, 1);
    EXPECT_EQ(count_set(map.data()), 0);
}

TEST(AvailMap, MarkingCoversTheBlockInFourByFourEntries)
{
    instance_ptr inst = zeroed_instance();
    map_mark_available(inst.get(), 8, 16, 16, 8);
    const uint8_t *map = inst->ctu.recon_avail;
    EXPECT_EQ(count_set(map), 4 * 2);
    EXPECT_EQ(map[avail_map_index(8, 16)], 1);
    EXPECT_EQ(map[avail_map_index(23, 23)], 1);
    EXPECT_EQ(map[avail_map_index(24, 16)], 0);
    EXPECT_EQ(map[avail_map_index(8, 24)], 0);
    map_mark_available(inst.get(), 0, 0, 64, 64);
    EXPECT_EQ(count_set(map), 256);
    map_mark_unavailable(inst.get(), 32, 32, 32, 32);
    EXPECT_EQ(count_set(map), 256 - 64);
    // Widths that are not a power of two from 4 to 64 mark nothing.
    map_mark_unavailable(inst.get(), 0, 0, 12, 4);
    EXPECT_EQ(count_set(map), 256 - 64);
}

TEST(AvailMap, ClearKeepsTheBorderStrips)
{
    instance_ptr inst = zeroed_instance();
    uint8_t *map = inst->ctu.recon_avail;
    EXPECT_EQ(avail_map_begin_ctu(map, 1, 1, 64 * 4, 64 * 3, 4),
              (uint32_t)(CTU_NEIGHBOUR_LEFT | CTU_NEIGHBOUR_ABOVE | CTU_NEIGHBOUR_CORNER | CTU_NEIGHBOUR_ABOVE_RIGHT));
    int border = count_set(map);
    EXPECT_EQ(border, 16 + 16 + 1 + 8);
    map_mark_available(inst.get(), 0, 0, 64, 64);
    map_clear(inst.get());
    EXPECT_EQ(count_set(map), border);
}

TEST(AvailMap, FirstCtuHasNoNeighbours)
{
    std::vector<uint8_t> map(CTU_AVAIL_SIZE, 7);
    EXPECT_EQ(avail_map_begin_ctu(map.data(), 0, 0, 1920, 1080, 30), 0u);
    EXPECT_EQ(count_set(map.data()), 0);
}

TEST(AvailMap, AboveRightRunFollowsThePictureWidth)
{
    std::vector<uint8_t> map(CTU_AVAIL_SIZE);
    // Last CTU 40 columns wide: the run is min(8, 10) = 8 entries.
    avail_map_begin_ctu(map.data(), 2, 1, 3 * 64 + 40, 256, 4);
    int run = 0;
    for (int c = 32; c < 47; c++) run += map[(size_t)c];
    EXPECT_EQ(run, 8);
    // 24 columns left: 6 entries.
    avail_map_begin_ctu(map.data(), 2, 1, 3 * 64 + 24, 256, 4);
    run = 0;
    for (int c = 32; c < 47; c++) run += map[(size_t)c];
    EXPECT_EQ(run, 6);
    // No CTU to the right, or no row above: none.
    avail_map_begin_ctu(map.data(), 3, 1, 4 * 64, 256, 4);
    EXPECT_EQ(map[32], 0);
    avail_map_begin_ctu(map.data(), 1, 0, 4 * 64, 256, 4);
    EXPECT_EQ(map[32], 0);
}

TEST(AvailMap, LeftColumnStopsAtThePictureBottom)
{
    std::vector<uint8_t> map(CTU_AVAIL_SIZE);
    avail_map_begin_ctu(map.data(), 1, 16, 1920, 1080, 30);
    for (int r = 1; r <= 16; r++) EXPECT_EQ(map[(size_t)(r * 32 + 15)], r <= 14 ? 1 : 0) << r;
    // The above row of a last CTU column only covers the picture.
    avail_map_begin_ctu(map.data(), 29, 1, 1880, 1080, 30);
    int above = 0;
    for (int c = 16; c < 32; c++) above += map[(size_t)c];
    EXPECT_EQ(above, (1880 - 29 * 64) / 4);
}

TEST(AvailMap, LooksRightOfAndBelowTheCtuReadUnavailable)
{
    instance_ptr inst = zeroed_instance();
    uint8_t *map = inst->ctu.recon_avail;
    avail_map_begin_ctu(map, 1, 1, 64 * 4, 64 * 4, 4);
    map_mark_available(inst.get(), 0, 0, 64, 64);
    // B0 of a PU at the CTU's right edge: 1 only from the top row.
    EXPECT_EQ(map[avail_map_index(64, -1)], 1);
    for (int y = 4; y < 64; y += 4) EXPECT_EQ(map[avail_map_index(64, y - 1)], 0) << y;
    // A0 of the bottom PUs reads row 17.
    for (int x = 0; x <= 64; x += 8) EXPECT_EQ(map[avail_map_index(x - 1, 64)], 0) << x;
    // The lowest below-left look of a 32x32 block stays inside the map.
    EXPECT_LT(avail_map_index(-1, 32 + 63), CTU_AVAIL_SIZE);
}

}  // namespace
