// The one initialiser of the SAO kernel table. The portable set fills every
// slot; the SSSE3 set then takes slots 1..12, only where the processor has
// both SSSE3 and SSE4.1; the AVX2 set takes slots 0..6 and 8..11 where it also
// has AVX2, BMI2 and POPCNT (the band statistics keep their SSSE3 forms).
// Every form gives the portable result, so the flags change speed, never
// output.
#include "encoder/cpu.h"
#include "filters/sao/sao.h"

static void fill_portable(sao_table *t)
{
    t->apply_ctb_plane = sao_apply_ctb_plane_c;
    t->diff_ctb = sao_diff_ctb_c;
    t->diff_ctb_partial = sao_diff_ctb_partial_c;
    t->stats_eo_hor = sao_stats_eo_hor_c;
    t->stats_eo_ver = sao_stats_eo_ver_c;
    t->stats_eo_diag135 = sao_stats_eo_diag135_c;
    t->stats_eo_diag45 = sao_stats_eo_diag45_c;
    t->stats_bo = sao_stats_bo_c;
    t->stats_eo_hor_partial = sao_stats_eo_hor_partial_c;
    t->stats_eo_ver_partial = sao_stats_eo_ver_partial_c;
    t->stats_eo_diag135_partial = sao_stats_eo_diag135_partial_c;
    t->stats_eo_diag45_partial = sao_stats_eo_diag45_partial_c;
    t->stats_bo_partial = sao_stats_bo_partial_c;
}

// The application has no SSSE3 form: its slot keeps the portable kernel.
static void fill_ssse3(sao_table *t)
{
    t->diff_ctb = sao_diff_ctb_ssse3;
    t->diff_ctb_partial = sao_diff_ctb_partial_ssse3;
    t->stats_eo_hor = sao_stats_eo_hor_ssse3;
    t->stats_eo_ver = sao_stats_eo_ver_ssse3;
    t->stats_eo_diag135 = sao_stats_eo_diag135_ssse3;
    t->stats_eo_diag45 = sao_stats_eo_diag45_ssse3;
    t->stats_bo = sao_stats_bo_ssse3;
    t->stats_eo_hor_partial = sao_stats_eo_hor_partial_ssse3;
    t->stats_eo_ver_partial = sao_stats_eo_ver_partial_ssse3;
    t->stats_eo_diag135_partial = sao_stats_eo_diag135_partial_ssse3;
    t->stats_eo_diag45_partial = sao_stats_eo_diag45_partial_ssse3;
    t->stats_bo_partial = sao_stats_bo_partial_ssse3;
}

static void fill_avx2(sao_table *t)
{
    t->apply_ctb_plane = sao_apply_ctb_plane_avx2;
    t->diff_ctb = sao_diff_ctb_avx2;
    t->diff_ctb_partial = sao_diff_ctb_partial_avx2;
    t->stats_eo_hor = sao_stats_eo_hor_avx2;
    t->stats_eo_ver = sao_stats_eo_ver_avx2;
    t->stats_eo_diag135 = sao_stats_eo_diag135_avx2;
    t->stats_eo_diag45 = sao_stats_eo_diag45_avx2;
    t->stats_eo_hor_partial = sao_stats_eo_hor_partial_avx2;
    t->stats_eo_ver_partial = sao_stats_eo_ver_partial_avx2;
    t->stats_eo_diag135_partial = sao_stats_eo_diag135_partial_avx2;
    t->stats_eo_diag45_partial = sao_stats_eo_diag45_partial_avx2;
}

void sao_table_init(uint32_t cpu_flags, sao_table *table)
{
    fill_portable(table);
    if (cpu_use_ssse3_set(cpu_flags)) fill_ssse3(table);
    if (cpu_use_avx2_set(cpu_flags)) fill_avx2(table);
}

sao_stats_fn sao_stats_full(const sao_table *table, int32_t type)
{
    switch (type) {
    case SAO_TYPE_EO_HOR: return table->stats_eo_hor;
    case SAO_TYPE_EO_VER: return table->stats_eo_ver;
    case SAO_TYPE_EO_135: return table->stats_eo_diag135;
    case SAO_TYPE_EO_45: return table->stats_eo_diag45;
    case SAO_TYPE_BAND: return table->stats_bo;
    default: return nullptr;
    }
}

sao_stats_partial_fn sao_stats_partial(const sao_table *table, int32_t type)
{
    switch (type) {
    case SAO_TYPE_EO_HOR: return table->stats_eo_hor_partial;
    case SAO_TYPE_EO_VER: return table->stats_eo_ver_partial;
    case SAO_TYPE_EO_135: return table->stats_eo_diag135_partial;
    case SAO_TYPE_EO_45: return table->stats_eo_diag45_partial;
    case SAO_TYPE_BAND: return table->stats_bo_partial;
    default: return nullptr;
    }
}
