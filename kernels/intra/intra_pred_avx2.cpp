// Intra kernels of the AVX2-flag set (which also holds SSE2 to SSE4.1 kernels).
//
// The set covers planar at 16x16 and 32x32, DC at 32x32 and every angular entry
// except mode 34 below 32x32, both filter flags. Until its vector kernels land,
// each covered entry keeps the portable kernel, so the slot coverage and the
// fill order are already those of the final set.
#include "kernels/intra/intra_pred_kernels.h"

static void store_both(intra_pred_table *t, int mode, int s, intra_pred_fn fn)
{
    t->pred[mode][0][s] = fn;
    t->pred[mode][1][s] = fn;
}

void intra_pred_table_fill_avx2(intra_pred_table *t)
{
    store_both(t, INTRA_MODE_PLANAR, 2, intra_pred_planar_16x16_c);
    store_both(t, INTRA_MODE_PLANAR, 3, intra_pred_planar_32x32_c);
    store_both(t, INTRA_MODE_DC, 3, intra_pred_dc_32x32_c);

#define INTRA_STORE_ANGULAR(m)                        \
    store_both(t, m, 0, intra_pred_ang##m##_4x4_c);   \
    store_both(t, m, 1, intra_pred_ang##m##_8x8_c);   \
    store_both(t, m, 2, intra_pred_ang##m##_16x16_c); \
    store_both(t, m, 3, intra_pred_ang##m##_32x32_c);
    INTRA_ANGULAR_MODES(INTRA_STORE_ANGULAR)
#undef INTRA_STORE_ANGULAR

    // Mode 34 below 32x32 will keep its portable kernel: a plain copy gains
    // nothing from a dedicated vector form.

    // Modes 10 and 26 have a boundary-filtered kernel of their own below 32x32.
    t->pred[INTRA_MODE_HOR][1][0] = intra_pred_ang10_filt_4x4_c;
    t->pred[INTRA_MODE_HOR][1][1] = intra_pred_ang10_filt_8x8_c;
    t->pred[INTRA_MODE_HOR][1][2] = intra_pred_ang10_filt_16x16_c;
    t->pred[INTRA_MODE_VER][1][0] = intra_pred_ang26_filt_4x4_c;
    t->pred[INTRA_MODE_VER][1][1] = intra_pred_ang26_filt_8x8_c;
    t->pred[INTRA_MODE_VER][1][2] = intra_pred_ang26_filt_16x16_c;
}
