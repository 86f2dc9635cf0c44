// The one initialiser of the SAO kernel table. The portable set fills every
// slot; the SSSE3 set then takes the difference and band-statistics slots,
// only where the processor has both SSSE3 and SSE4.1. Every form gives the
// portable result, so the flags change speed, never output.
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

// The edge statistics and the application have no SSSE3 forms: their slots
// keep the portable kernels.
static void fill_ssse3(sao_table *t)
{
    t->diff_ctb = sao_diff_ctb_ssse3;
    t->diff_ctb_partial = sao_diff_ctb_partial_ssse3;
    t->stats_bo = sao_stats_bo_ssse3;
    t->stats_bo_partial = sao_stats_bo_partial_ssse3;
}

void sao_table_init(uint32_t cpu_flags, sao_table *table)
{
    fill_portable(table);
    if (cpu_use_ssse3_set(cpu_flags)) fill_ssse3(table);
    // No AVX2 forms yet: with flag 4 every slot keeps its SSSE3 or portable
    // kernel, which give the same results.
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
