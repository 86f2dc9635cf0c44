// AVX2-flag set of the motion-compensation table. mc_table_init installs it
// after the portable and SSSE3-flag sets, only where the processor has AVX2,
// BMI2, POPCNT and SSE4.1. Slots 8, 10, 14, 15 and 17 .. 21 keep the kernels of
// the earlier sets. Every kernel here equals the portable kernel of its slot on
// every input and writes nothing outside the block it is asked for.
#include "kernels/mc/mc_avx2.h"

void mc_table_fill_avx2(mc_table *table)
{
    table->interp_luma = interp_luma_avx2;
    table->interp_luma_16bit = interp_luma_16bit_avx2;
    table->interp_chroma = interp_chroma_avx2;
    table->interp_chroma_16bit = interp_chroma_16bit_avx2;
    table->bipred_avg_16bit = bipred_avg_16bit_avx2;
    table->filter_h_subpel_16bit = filter_h_subpel_16bit_avx2;
    table->build_subpel_planes = build_subpel_planes_avx2;
    table->mc_from_subpel_planes = mc_from_subpel_planes_avx2;
    table->avg_pixels = avg_pixels_avx2;
    table->downscale_2x2_plane = downscale_2x2_plane_avx2;
    table->mc_luma_ref_or_interp = mc_luma_ref_or_interp_avx2;
    table->mc_luma_ref_or_bilinear = mc_luma_ref_or_bilinear_avx2;
    table->block_copy = block_copy_avx2;
}
