// The motion-compensation table: slot order, no empty slot at any flag set, and
// the same kernels wherever the processor lacks a set's instructions.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/mc/mc.h"

namespace {

std::vector<uintptr_t> slots_of(const mc_table &t)
{
    std::vector<uintptr_t> s(MC_TABLE_SLOTS);
    std::memcpy(s.data(), &t, sizeof t);
    return s;
}

mc_table filled(uint32_t flags, unsigned char prefill)
{
    mc_table t;
    std::memset(&t, prefill, sizeof t);
    mc_table_init(flags, &t);
    return t;
}

const uintptr_t PORTABLE[MC_TABLE_SLOTS] = {
    (uintptr_t)interp_luma_c,           (uintptr_t)interp_luma_16bit_c,       (uintptr_t)interp_chroma_c,
    (uintptr_t)interp_chroma_16bit_c,   (uintptr_t)bipred_avg_16bit_c,        (uintptr_t)filter_h_subpel_16bit_c,
    (uintptr_t)build_subpel_planes_c,   (uintptr_t)mc_from_subpel_planes_c,   (uintptr_t)subpel_plane_ptr_c,
    (uintptr_t)avg_pixels_c,            (uintptr_t)build_lowres_planes_c,     (uintptr_t)downscale_2x2_plane_c,
    (uintptr_t)mc_luma_ref_or_interp_c, (uintptr_t)mc_luma_ref_or_bilinear_c, (uintptr_t)chroma_fullpel_ptr_c,
    (uintptr_t)propagate_cost_c,        (uintptr_t)block_copy_c,              (uintptr_t)downscale_64x64_c,
    (uintptr_t)downscale_border_64_c,   (uintptr_t)downscale_32x32_c,         (uintptr_t)downscale_border_32_c,
    (uintptr_t)frame_cost_complexity_c,
};

TEST(McTable, NoSlotIsEmptyAtAnyFlagSet)
{
    for (uint32_t flags : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 0xffu})
        for (unsigned char prefill : {0x00, 0xa5}) {
            std::vector<uintptr_t> s = slots_of(filled(flags, prefill));
            for (int i = 0; i < MC_TABLE_SLOTS; i++) {
                EXPECT_NE(s[i], 0u) << "slot " << i << " flags " << flags;
                EXPECT_NE(s[i], (uintptr_t)0xa5a5a5a5a5a5a5a5ull) << "slot " << i << " flags " << flags;
            }
        }
}

TEST(McTable, PortableKernelsSitInTheirFixedSlots)
{
    mc_table t = filled(0, 0);
    std::vector<uintptr_t> s = slots_of(t);
    for (int i = 0; i < MC_TABLE_SLOTS; i++) EXPECT_EQ(s[i], PORTABLE[i]) << "slot " << i;
    EXPECT_EQ((uintptr_t)t.build_lowres_planes, (uintptr_t)build_lowres_planes_c);
    EXPECT_EQ((uintptr_t)t.frame_cost_complexity, (uintptr_t)frame_cost_complexity_c);
}

TEST(McTable, FlagOneAloneInstallsNothingBeyondThePortableSet)
{
    EXPECT_EQ(slots_of(filled(CPU_SSE41, 0)), slots_of(filled(0, 0)));
}

TEST(McTable, SlotsWithoutVectorFormsKeepThePortableKernelAtEveryFlagSet)
{
    // Slots 8, 14, 15 and 21 have no vector form in any set.
    for (uint32_t flags = 0; flags < 8; flags++) {
        std::vector<uintptr_t> s = slots_of(filled(flags, 0));
        for (int i : {8, 14, 15, 21}) EXPECT_EQ(s[i], PORTABLE[i]) << "slot " << i << " flags " << flags;
    }
}

}  // namespace
