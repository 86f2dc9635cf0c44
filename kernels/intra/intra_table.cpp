// The intra prediction kernel table and the constant tables of intra prediction.
#include "encoder/cpu.h"
#include "kernels/intra/intra_pred_kernels.h"

// H.265 Table 8-5, modes 18..34.
const int8_t intra_pred_angle[17] = {-32, -26, -21, -17, -13, -9, -5, -2, 0,
                                     2,   5,   9,   13,  17,  21, 26, 32};

// |invAngle| of H.265 Table 8-6 for modes 25, 24, ..., 18.
const int16_t intra_inv_angle[8] = {4096, 1638, 910, 630, 482, 390, 315, 256};

// Filtering rule of H.265 clause 8.4.4.2.3 for luma 8x8 (threshold 7), 16x16 (1)
// and 32x32 (0): a mode is smoothed at size N when its distance to both pure
// directions exceeds the threshold; DC never is.
const uint8_t intra_smoothing_flags[INTRA_MODE_COUNT] = {
    56, 0,                                  // planar, DC
    56, 48, 48, 48, 48, 48, 48, 32, 0,      // 2..10
    32, 48, 48, 48, 48, 48, 48,             // 11..17
    56, 48, 48, 48, 48, 48, 48, 32, 0,      // 18..26
    32, 48, 48, 48, 48, 48, 48, 56,         // 27..34
};

static void set_both(intra_pred_table *t, int mode, int s, intra_pred_fn fn)
{
    t->pred[mode][0][s] = fn;
    t->pred[mode][1][s] = fn;
}

static void set_sizes(intra_pred_table *t, int mode, intra_pred_fn f4, intra_pred_fn f8,
                      intra_pred_fn f16, intra_pred_fn f32)
{
    set_both(t, mode, 0, f4);
    set_both(t, mode, 1, f8);
    set_both(t, mode, 2, f16);
    set_both(t, mode, 3, f32);
}

// Stores the portable kernel in all 284 entries. The boundary-filtered kernels
// (DC, modes 10 and 26) go only into the f = 1 entries below 32x32: H.265 never
// filters 32x32 or chroma blocks, which use f = 0 or the 32x32 slot.
static void fill_portable(intra_pred_table *t)
{
    t->ref_filter[0] = intra_ref_filter_4x4_c;
    t->ref_filter[1] = intra_ref_filter_8x8_c;
    t->ref_filter[2] = intra_ref_filter_16x16_c;
    t->ref_filter[3] = intra_ref_filter_32x32_c;

    set_sizes(t, INTRA_MODE_PLANAR, intra_pred_planar_4x4_c, intra_pred_planar_8x8_c,
              intra_pred_planar_16x16_c, intra_pred_planar_32x32_c);
    set_sizes(t, INTRA_MODE_DC, intra_pred_dc_4x4_c, intra_pred_dc_8x8_c, intra_pred_dc_16x16_c,
              intra_pred_dc_32x32_c);
    t->pred[INTRA_MODE_DC][1][0] = intra_pred_dc_filt_4x4_c;
    t->pred[INTRA_MODE_DC][1][1] = intra_pred_dc_filt_8x8_c;
    t->pred[INTRA_MODE_DC][1][2] = intra_pred_dc_filt_16x16_c;

#define INTRA_SET_ANGULAR(m)                                                                  \
    set_sizes(t, m, intra_pred_ang##m##_4x4_c, intra_pred_ang##m##_8x8_c, intra_pred_ang##m##_16x16_c, \
              intra_pred_ang##m##_32x32_c);
    INTRA_ANGULAR_MODES(INTRA_SET_ANGULAR)
#undef INTRA_SET_ANGULAR

    t->pred[INTRA_MODE_HOR][1][0] = intra_pred_ang10_filt_4x4_c;
    t->pred[INTRA_MODE_HOR][1][1] = intra_pred_ang10_filt_8x8_c;
    t->pred[INTRA_MODE_HOR][1][2] = intra_pred_ang10_filt_16x16_c;
    t->pred[INTRA_MODE_VER][1][0] = intra_pred_ang26_filt_4x4_c;
    t->pred[INTRA_MODE_VER][1][1] = intra_pred_ang26_filt_8x8_c;
    t->pred[INTRA_MODE_VER][1][2] = intra_pred_ang26_filt_16x16_c;
}

void intra_pred_table_init(uint32_t cpu_flags, intra_pred_table *table)
{
    fill_portable(table);
    // The flag-2 set holds SSE4.1 code and the flag-4 set BMI2/POPCNT/SSE4.1 code
    // besides its own: each is installed only when the processor has all of it.
    if (cpu_use_ssse3_set(cpu_flags)) intra_pred_table_fill_ssse3(table);
    if (cpu_use_avx2_set(cpu_flags)) intra_pred_table_fill_avx2(table);
}
