// SSSE3-flag set of the motion-compensation table: twelve slots replaced by
// 128-bit kernels with the portable kernels' values. mc_table_init installs it
// only where the processor has SSSE3 and SSE4.1.
#include "kernels/mc/mc_ssse3.h"

void mc_table_fill_ssse3(mc_table *table)
{
    table->interp_chroma = interp_chroma_ssse3;
    table->interp_chroma_16bit = interp_chroma_16bit_ssse3;
    table->bipred_avg_16bit = bipred_avg_16bit_ssse3;
    table->filter_h_subpel_16bit = filter_h_subpel_16bit_ssse3;
    table->build_subpel_planes = build_subpel_planes_ssse3;
    table->avg_pixels = avg_pixels_ssse3;
    table->build_lowres_planes = build_lowres_planes_ssse3;
    table->downscale_2x2_plane = downscale_2x2_plane_ssse3;
    table->downscale_64x64 = downscale_64x64_ssse3;
    table->downscale_border_64 = downscale_border_64_ssse3;
    table->downscale_32x32 = downscale_32x32_ssse3;
    table->downscale_border_32 = downscale_border_32_ssse3;
}
