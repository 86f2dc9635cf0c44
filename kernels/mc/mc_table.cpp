// The one initialiser of the motion-compensation kernel table.
#include "encoder/cpu.h"
#include "kernels/mc/mc.h"

static_assert(sizeof(mc_table) == MC_TABLE_SLOTS * sizeof(void (*)()), "mc_table is 22 pointers in slot order");

static void fill_portable(mc_table *t)
{
    t->interp_luma = interp_luma_c;
    t->interp_luma_16bit = interp_luma_16bit_c;
    t->interp_chroma = interp_chroma_c;
    t->interp_chroma_16bit = interp_chroma_16bit_c;
    t->bipred_avg_16bit = bipred_avg_16bit_c;
    t->filter_h_subpel_16bit = filter_h_subpel_16bit_c;
    t->build_subpel_planes = build_subpel_planes_c;
    t->mc_from_subpel_planes = mc_from_subpel_planes_c;
    t->subpel_plane_ptr = subpel_plane_ptr_c;
    t->avg_pixels = avg_pixels_c;
    t->build_lowres_planes = build_lowres_planes_c;
    t->downscale_2x2_plane = downscale_2x2_plane_c;
    t->mc_luma_ref_or_interp = mc_luma_ref_or_interp_c;
    t->mc_luma_ref_or_bilinear = mc_luma_ref_or_bilinear_c;
    t->chroma_fullpel_ptr = chroma_fullpel_ptr_c;
    t->propagate_cost = propagate_cost_c;
    t->block_copy = block_copy_c;
    t->downscale_64x64 = downscale_64x64_c;
    t->downscale_border_64 = downscale_border_64_c;
    t->downscale_32x32 = downscale_32x32_c;
    t->downscale_border_32 = downscale_border_32_c;
    t->frame_cost_complexity = frame_cost_complexity_c;
}

void mc_table_init(uint32_t cpu_flags, mc_table *table)
{
    fill_portable(table);
    // The flag-2 set holds SSE4.1 code and the flag-4 set BMI2/POPCNT/SSE4.1 code
    // besides its own: each is installed only when the processor has all of it.
    // A later set overwrites an earlier one.
    if (cpu_use_ssse3_set(cpu_flags)) mc_table_fill_ssse3(table);
    if (cpu_use_avx2_set(cpu_flags)) mc_table_fill_avx2(table);
}
