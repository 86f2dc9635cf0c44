// Intra kernels of the SSSE3-flag set (which also uses SSE4.1 instructions).
//
// The set covers ref_filter[1..3], planar at 4x4 and 8x8 and DC at 4x4 to 16x16.
// Until its vector kernels land, each covered entry keeps the portable kernel,
// so the slot coverage and the fill order are already those of the final set.
#include "kernels/intra/intra_pred_kernels.h"

void intra_pred_table_fill_ssse3(intra_pred_table *t)
{
    t->ref_filter[1] = intra_ref_filter_8x8_c;
    t->ref_filter[2] = intra_ref_filter_16x16_c;
    t->ref_filter[3] = intra_ref_filter_32x32_c;

    t->pred[INTRA_MODE_PLANAR][0][0] = intra_pred_planar_4x4_c;
    t->pred[INTRA_MODE_PLANAR][1][0] = intra_pred_planar_4x4_c;
    t->pred[INTRA_MODE_PLANAR][0][1] = intra_pred_planar_8x8_c;
    t->pred[INTRA_MODE_PLANAR][1][1] = intra_pred_planar_8x8_c;

    t->pred[INTRA_MODE_DC][0][0] = intra_pred_dc_4x4_c;
    t->pred[INTRA_MODE_DC][0][1] = intra_pred_dc_8x8_c;
    t->pred[INTRA_MODE_DC][0][2] = intra_pred_dc_16x16_c;
    t->pred[INTRA_MODE_DC][1][0] = intra_pred_dc_filt_4x4_c;
    t->pred[INTRA_MODE_DC][1][1] = intra_pred_dc_filt_8x8_c;
    t->pred[INTRA_MODE_DC][1][2] = intra_pred_dc_filt_16x16_c;
}
