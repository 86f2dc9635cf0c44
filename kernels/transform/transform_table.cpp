// Fills the transform table once at open: the portable kernels in every slot,
// then the SIMD sets the processor may run. A set installs only the slots it
// holds, so a slot without a SIMD kernel keeps the portable one and no slot is
// ever left empty.
#include "kernels/transform/transform.h"

#include <cstring>

#include "encoder/cpu.h"
#include "kernels/transform/transform_simd.h"

// The sets are filled here, in baseline code, and only read the addresses of
// the vector kernels: nothing in *_ssse3.cpp / *_avx2.cpp runs before the
// processor flags have been checked.
static void transform_set_ssse3(transform_table *set)
{
    set->ftrans_residual_4x4 = ftrans_residual_4x4_ssse3;
    set->itrans_add_4x4 = itrans_add_4x4_ssse3;
    set->fdct_residual_8x8 = fdct_residual_8x8_ssse3;
    set->fdct_residual_low4_8x8 = fdct_residual_low4_8x8_ssse3;
    set->idct_add_8x8 = idct_add_8x8_ssse3;
    set->idct_add_low4_8x8 = idct_add_low4_8x8_ssse3;
    set->fdct_residual_16x16 = fdct_residual_16x16_ssse3;
    set->fdct_residual_low8_16x16 = fdct_residual_low8_16x16_ssse3;
    set->idct_add_16x16 = idct_add_16x16_ssse3;
    set->idct_add_low8_16x16 = idct_add_low8_16x16_ssse3;
    set->fdct_residual_32x32 = fdct_residual_32x32_ssse3;
    set->fdct_residual_low8_32x32 = fdct_residual_low8_32x32_ssse3;
    set->idct_add_32x32 = idct_add_32x32_ssse3;
    set->idct_add_low8_32x32 = idct_add_low8_32x32_ssse3;
    set->coeff_cost_estimate = coeff_cost_estimate_ssse3;
}

static void transform_set_avx2(transform_table *set)
{
    set->ftrans_residual_4x4 = ftrans_residual_4x4_avx2;
    set->itrans_add_4x4 = itrans_add_4x4_avx2;
    set->fdct_residual_8x8 = fdct_residual_8x8_avx2;
    set->fdct_residual_low4_8x8 = fdct_residual_low4_8x8_avx2;
    set->idct_add_8x8 = idct_add_8x8_avx2;
    set->idct_add_low4_8x8 = idct_add_low4_8x8_avx2;
    set->fdct_residual_16x16 = fdct_residual_16x16_avx2;
    set->fdct_residual_low8_16x16 = fdct_residual_low8_16x16_avx2;
    set->idct_add_16x16 = idct_add_16x16_avx2;
    set->idct_add_low8_16x16 = idct_add_low8_16x16_avx2;
    set->fdct_residual_32x32 = fdct_residual_32x32_avx2;
    set->fdct_residual_low8_32x32 = fdct_residual_low8_32x32_avx2;
    set->idct_add_32x32 = idct_add_32x32_avx2;
    set->idct_add_low8_32x32 = idct_add_low8_32x32_avx2;
}

static void install_portable(transform_table *t)
{
    t->ftrans_residual_4x4 = ftrans_residual_4x4_c;
    t->itrans_add_4x4 = itrans_add_4x4_c;
    t->fdct_residual_8x8 = fdct_residual_8x8_c;
    t->fdct_residual_low4_8x8 = fdct_residual_low4_8x8_c;
    t->idct_add_8x8 = idct_add_8x8_c;
    t->idct_add_low4_8x8 = idct_add_low4_8x8_c;
    t->fdct_residual_16x16 = fdct_residual_16x16_c;
    t->fdct_residual_low8_16x16 = fdct_residual_low8_16x16_c;
    t->idct_add_16x16 = idct_add_16x16_c;
    t->idct_add_low8_16x16 = idct_add_low8_16x16_c;
    t->fdct_residual_32x32 = fdct_residual_32x32_c;
    t->fdct_residual_low8_32x32 = fdct_residual_low8_32x32_c;
    t->idct_add_32x32 = idct_add_32x32_c;
    t->idct_add_low8_32x32 = idct_add_low8_32x32_c;
    t->coeff_cost_estimate = coeff_cost_estimate_c;
}

#define TAKE(slot) \
    if (set->slot) t->slot = set->slot

// Slots 0..13 (the transforms) and, when with_cost, slot 14.
static void install_set(transform_table *t, const transform_table *set, bool with_cost)
{
    TAKE(ftrans_residual_4x4);
    TAKE(itrans_add_4x4);
    TAKE(fdct_residual_8x8);
    TAKE(fdct_residual_low4_8x8);
    TAKE(idct_add_8x8);
    TAKE(idct_add_low4_8x8);
    TAKE(fdct_residual_16x16);
    TAKE(fdct_residual_low8_16x16);
    TAKE(idct_add_16x16);
    TAKE(idct_add_low8_16x16);
    TAKE(fdct_residual_32x32);
    TAKE(fdct_residual_low8_32x32);
    TAKE(idct_add_32x32);
    TAKE(idct_add_low8_32x32);
    if (with_cost) TAKE(coeff_cost_estimate);
}

#undef TAKE

void transform_table_init(uint32_t flags, transform_table *table)
{
    install_portable(table);
    transform_table set;
    if (cpu_use_ssse3_set(flags)) {
        memset(&set, 0, sizeof(set));
        transform_set_ssse3(&set);
        install_set(table, &set, true);
    }
    // The AVX2-flag set has no cost estimator; slot 14 keeps the SSSE3-flag one.
    if (cpu_use_avx2_set(flags)) {
        memset(&set, 0, sizeof(set));
        transform_set_avx2(&set);
        install_set(table, &set, false);
    }
}
