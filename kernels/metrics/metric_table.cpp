// The one initialiser of the block metric table. The portable set fills every
// slot; the SSSE3 set then overwrites the slots it has forms for, only where
// the processor has both SSSE3 and SSE4.1; the AVX2 set overwrites its slots
// after that, only where the processor also has AVX2, BMI2 and POPCNT. Every
// form returns the portable value, so the level changes speed, never results.
#include <cstring>

#include "encoder/cpu.h"
#include "kernels/metrics/metric.h"

// The SAD forms: whole and every-second-row blocks, square, wide and tall,
// one to four candidates.
static void fill_portable_sad(metric_table *t)
{
    static const pair_metric_fn sad_sub[METRIC_SIZES] = {sad_sub_64x64_c, sad_sub_32x32_c, sad_sub_16x16_c,
                                                         sad_sub_8x8_c, sad_sub_4x4_c};
    static const pair_metric_fn sad[METRIC_SIZES] = {sad_64x64_c, sad_32x32_c, sad_16x16_c, sad_8x8_c, sad_4x4_c};
    static const pair_metric_fn sad_sub_wide[METRIC_SIZES] = {sad_sub_64x32_c, sad_sub_32x16_c, sad_sub_16x8_c,
                                                              sad_sub_8x4_c, nullptr};
    static const pair_metric_fn sad_sub_tall[METRIC_SIZES] = {sad_sub_32x64_c, sad_sub_16x32_c, sad_sub_8x16_c,
                                                              sad_sub_4x8_c, nullptr};
    static const sad_x4_fn x4[METRIC_SIZES] = {sad_x4_sub_64x64_c, sad_x4_sub_32x32_c, sad_x4_sub_16x16_c,
                                               sad_x4_sub_8x8_c, nullptr};
    static const sad_x4_fn x4_wide[METRIC_SIZES] = {sad_x4_sub_64x32_c, sad_x4_sub_32x16_c, sad_x4_sub_16x8_c,
                                                    sad_x4_sub_8x4_c, nullptr};
    static const sad_x4_fn x4_tall[METRIC_SIZES] = {sad_x4_sub_32x64_c, sad_x4_sub_16x32_c, sad_x4_sub_8x16_c,
                                                    sad_x4_sub_4x8_c, nullptr};
    static const sad_x3_fn x3[METRIC_SIZES] = {sad_x3_sub_64x64_c, sad_x3_sub_32x32_c, sad_x3_sub_16x16_c,
                                               sad_x3_sub_8x8_c, sad_x3_sub_4x4_c};
    static const sad_x2_fn x2[METRIC_SIZES] = {sad_x2_sub_64x64_c, sad_x2_sub_32x32_c, sad_x2_sub_16x16_c,
                                               sad_x2_sub_8x8_c, sad_x2_sub_4x4_c};
    std::memcpy(t->sad_sub, sad_sub, sizeof sad_sub);
    std::memcpy(t->sad, sad, sizeof sad);
    std::memcpy(t->sad_sub_wide, sad_sub_wide, sizeof sad_sub_wide);
    std::memcpy(t->sad_sub_tall, sad_sub_tall, sizeof sad_sub_tall);
    std::memcpy(t->sad_x4_sub, x4, sizeof x4);
    std::memcpy(t->sad_x4_sub_wide, x4_wide, sizeof x4_wide);
    std::memcpy(t->sad_x4_sub_tall, x4_tall, sizeof x4_tall);
    std::memcpy(t->sad_x3_sub, x3, sizeof x3);
    std::memcpy(t->sad_x2_sub, x2, sizeof x2);
}

// The squared-error and transformed-difference forms.
static void fill_portable_transformed(metric_table *t)
{
    static const pair_metric_fn sse[METRIC_SIZES] = {sse_64x64_c, sse_32x32_c, sse_16x16_c, sse_8x8_c, sse_4x4_c};
    static const pair_metric_fn satd[METRIC_SIZES] = {satd_64x64_c, satd_32x32_c, satd_16x16_c, satd_8x8_c,
                                                      satd_4x4_c};
    static const pair_metric_fn sa8d[METRIC_SIZES] = {sa8d_64x64_c, sa8d_32x32_c, sa8d_16x16_c, sa8d_8x8_c,
                                                      nullptr};
    static const pair_metric_fn sa8d_wide[METRIC_SIZES] = {sa8d_64x32_c, sa8d_32x16_c, sa8d_16x8_c, satd_8x4_c,
                                                           nullptr};
    static const pair_metric_fn sa8d_tall[METRIC_SIZES] = {sa8d_32x64_c, sa8d_16x32_c, sa8d_8x16_c, satd_4x8_c,
                                                           nullptr};
    static const pair_metric_fn sa8d_sub[METRIC_SIZES] = {sa8d_sub_64x64_c, sa8d_sub_32x32_c, sa8d_sub_16x16_c,
                                                          sa8d_8x8_c, nullptr};
    std::memcpy(t->sse, sse, sizeof sse);
    std::memcpy(t->satd, satd, sizeof satd);
    std::memcpy(t->sa8d, sa8d, sizeof sa8d);
    std::memcpy(t->sa8d_wide, sa8d_wide, sizeof sa8d_wide);
    std::memcpy(t->sa8d_tall, sa8d_tall, sizeof sa8d_tall);
    std::memcpy(t->sa8d_sub, sa8d_sub, sizeof sa8d_sub);
}

static void fill_portable(metric_table *t)
{
    fill_portable_sad(t);
    fill_portable_transformed(t);
    t->pixel_sum_ssq_16x16 = pixel_sum_ssq_16x16_c;
    t->pixel_sum_ssq_8x8 = pixel_sum_ssq_8x8_c;
    t->sse_wxh = sse_wxh_c;
    t->hadamard_ac_8x4 = hadamard_ac_8x4_c;
    t->count_nonzero_coeffs = count_nonzero_coeffs_c;
    t->scan_coeff_groups = scan_coeff_groups_c;
    t->ctu_activity_hv = ctu_activity_hv_c;
    t->ctu_activity_4dir = ctu_activity_4dir_c;
    t->ctu_activity_hv3 = ctu_activity_hv3_c;
    t->ctu_activity_diag = ctu_activity_diag_c;
    t->copy_64x64_prefetch = copy_64x64_prefetch_c;
    t->copy_32x32_prefetch = copy_32x32_prefetch_c;
    t->copy_64x64 = copy_64x64_c;
    t->copy_32x32 = copy_32x32_c;
}

// The every-second-row SAD forms of the SSSE3 set, one and four candidates.
static void fill_ssse3_sad(metric_table *t)
{
    static const pair_metric_fn sad_sub[4] = {sad_sub_64x64_ssse3, sad_sub_32x32_ssse3, sad_sub_16x16_ssse3,
                                              sad_sub_8x8_ssse3};
    static const pair_metric_fn sad_sub_wide[4] = {sad_sub_64x32_ssse3, sad_sub_32x16_ssse3, sad_sub_16x8_ssse3,
                                                   sad_sub_8x4_ssse3};
    static const pair_metric_fn sad_sub_tall[4] = {sad_sub_32x64_ssse3, sad_sub_16x32_ssse3, sad_sub_8x16_ssse3,
                                                   sad_sub_4x8_ssse3};
    static const sad_x4_fn x4[4] = {sad_x4_sub_64x64_ssse3, sad_x4_sub_32x32_ssse3, sad_x4_sub_16x16_ssse3,
                                    sad_x4_sub_8x8_ssse3};
    static const sad_x4_fn x4_wide[4] = {sad_x4_sub_64x32_ssse3, sad_x4_sub_32x16_ssse3, sad_x4_sub_16x8_ssse3,
                                         sad_x4_sub_8x4_ssse3};
    static const sad_x4_fn x4_tall[4] = {sad_x4_sub_32x64_ssse3, sad_x4_sub_16x32_ssse3, sad_x4_sub_8x16_ssse3,
                                         sad_x4_sub_4x8_ssse3};
    std::memcpy(t->sad_sub, sad_sub, sizeof sad_sub);   // the 4x4 entry keeps its portable form
    std::memcpy(t->sad_sub_wide, sad_sub_wide, sizeof sad_sub_wide);
    std::memcpy(t->sad_sub_tall, sad_sub_tall, sizeof sad_sub_tall);
    std::memcpy(t->sad_x4_sub, x4, sizeof x4);
    std::memcpy(t->sad_x4_sub_wide, x4_wide, sizeof x4_wide);
    std::memcpy(t->sad_x4_sub_tall, x4_tall, sizeof x4_tall);
}

// Slots without an SSSE3 form keep their portable kernel; sa8d_sub[3] keeps
// sa8d_8x8_c (the same value as the SSSE3 8x8 SA8D).
static void fill_ssse3(metric_table *t)
{
    t->sse[0] = sse_64x64_ssse3;
    t->sse[1] = sse_32x32_ssse3;
    t->sse[2] = sse_16x16_ssse3;
    t->sse[3] = sse_8x8_ssse3;
    t->satd[3] = satd_8x8_ssse3;
    t->satd[4] = satd_4x4_ssse3;
    t->sa8d[0] = sa8d_64x64_ssse3;
    t->sa8d[1] = sa8d_32x32_ssse3;
    t->sa8d[2] = sa8d_16x16_ssse3;
    t->sa8d[3] = sa8d_8x8_ssse3;
    t->sa8d_wide[0] = sa8d_64x32_ssse3;
    t->sa8d_wide[1] = sa8d_32x16_ssse3;
    t->sa8d_wide[2] = sa8d_16x8_ssse3;
    t->sa8d_wide[3] = satd_8x4_ssse3;
    t->sa8d_tall[0] = sa8d_32x64_ssse3;
    t->sa8d_tall[1] = sa8d_16x32_ssse3;
    t->sa8d_tall[2] = sa8d_8x16_ssse3;
    t->sa8d_tall[3] = satd_4x8_ssse3;
    t->sse_wxh = sse_wxh_ssse3;
    t->hadamard_ac_8x4 = hadamard_ac_8x4_ssse3;
    fill_ssse3_sad(t);
    t->ctu_activity_hv = ctu_activity_hv_ssse3;
    t->ctu_activity_4dir = ctu_activity_4dir_ssse3;
    t->ctu_activity_hv3 = ctu_activity_hv3_ssse3;
    t->ctu_activity_diag = ctu_activity_diag_ssse3;
}

// The AVX2 set: slots without an AVX2 form keep the SSSE3 (or portable) kernel;
// sa8d_sub[3] takes the AVX2 8x8 SA8D as sa8d[3] does.
static void fill_avx2(metric_table *t)
{
    static const pair_metric_fn sad_sub[METRIC_SIZES] = {sad_sub_64x64_avx2, sad_sub_32x32_avx2, sad_sub_16x16_avx2,
                                                         sad_sub_8x8_avx, sad_sub_4x4_avx};
    static const pair_metric_fn sad[METRIC_SIZES] = {sad_64x64_avx2, sad_32x32_avx2, sad_16x16_avx2, sad_8x8_avx,
                                                     sad_4x4_avx};
    static const sad_x3_fn x3[METRIC_SIZES] = {sad_x3_sub_64x64_avx2, sad_x3_sub_32x32_avx2, sad_x3_sub_16x16_avx,
                                               sad_x3_sub_8x8_avx, sad_x3_sub_4x4_avx};
    static const sad_x2_fn x2[METRIC_SIZES] = {sad_x2_sub_64x64_avx2, sad_x2_sub_32x32_avx2, sad_x2_sub_16x16_avx,
                                               sad_x2_sub_8x8_avx, sad_x2_sub_4x4_avx};
    static const pair_metric_fn sse[METRIC_SIZES] = {sse_64x64_avx2, sse_32x32_avx2, sse_16x16_avx2, sse_8x8_avx2,
                                                     sse_4x4_avx};
    static const pair_metric_fn satd[METRIC_SIZES] = {satd_64x64_avx2, satd_32x32_avx2, satd_16x16_avx2,
                                                      satd_8x8_avx2, satd_4x4_avx};
    static const pair_metric_fn sa8d[4] = {sa8d_64x64_avx2, sa8d_32x32_avx2, sa8d_16x16_avx2, sa8d_8x8_avx2};
    static const pair_metric_fn sa8d_wide[3] = {sa8d_64x32_avx2, sa8d_32x16_avx2, sa8d_16x8_avx2};
    static const pair_metric_fn sa8d_tall[3] = {sa8d_32x64_avx2, sa8d_16x32_avx2, sa8d_8x16_avx2};
    static const pair_metric_fn sa8d_sub[4] = {sa8d_sub_64x64_avx2, sa8d_sub_32x32_avx2, sa8d_sub_16x16_avx2,
                                               sa8d_8x8_avx2};
    std::memcpy(t->sad_sub, sad_sub, sizeof sad_sub);
    std::memcpy(t->sad, sad, sizeof sad);
    t->sad_sub_wide[0] = sad_sub_64x32_avx2;
    t->sad_sub_wide[1] = sad_sub_32x16_avx2;
    t->sad_sub_tall[0] = sad_sub_32x64_avx2;
    t->sad_x4_sub[0] = sad_x4_sub_64x64_avx2;
    t->sad_x4_sub[1] = sad_x4_sub_32x32_avx2;
    t->sad_x4_sub_wide[0] = sad_x4_sub_64x32_avx2;
    t->sad_x4_sub_wide[1] = sad_x4_sub_32x16_avx2;
    t->sad_x4_sub_tall[0] = sad_x4_sub_32x64_avx2;
    std::memcpy(t->sad_x3_sub, x3, sizeof x3);
    std::memcpy(t->sad_x2_sub, x2, sizeof x2);
    std::memcpy(t->sse, sse, sizeof sse);
    std::memcpy(t->satd, satd, sizeof satd);
    std::memcpy(t->sa8d, sa8d, sizeof sa8d);
    std::memcpy(t->sa8d_wide, sa8d_wide, sizeof sa8d_wide);
    std::memcpy(t->sa8d_tall, sa8d_tall, sizeof sa8d_tall);
    std::memcpy(t->sa8d_sub, sa8d_sub, sizeof sa8d_sub);
    t->sse_wxh = sse_wxh_avx2;
    t->count_nonzero_coeffs = count_nonzero_coeffs_avx2;
    t->scan_coeff_groups = scan_coeff_groups_avx;
    t->copy_64x64_prefetch = copy_64x64_prefetch_avx2;
    t->copy_32x32_prefetch = copy_32x32_prefetch_avx2;
    t->copy_64x64 = copy_64x64_avx2;
    t->copy_32x32 = copy_32x32_avx2;
}

static void clear_reserved(metric_table *t)
{
    t->sad_sub_wide[4] = nullptr;
    t->sad_sub_tall[4] = nullptr;
    t->sad_x4_sub[4] = nullptr;
    t->sad_x4_sub_wide[4] = nullptr;
    t->sad_x4_sub_tall[4] = nullptr;
    std::memset(t->reserved_50, 0, sizeof t->reserved_50);
    std::memset(t->reserved_65, 0, sizeof t->reserved_65);
    t->sa8d[4] = nullptr;
    t->sa8d_wide[4] = nullptr;
    t->sa8d_tall[4] = nullptr;
    t->sa8d_sub[4] = nullptr;
    t->cost_metric[4] = nullptr;
    std::memset(t->reserved_100, 0, sizeof t->reserved_100);
    t->reserved_104 = nullptr;
    t->reserved_107 = nullptr;
}

void metric_table_init(uint32_t cpu_flags, metric_table *table, int32_t cost_metric_mode)
{
    // Every configuration passes 1 or 5; both price with SA8D. No other metric
    // is defined for cost_metric, so any value keeps SA8D rather than leaving
    // the group empty.
    (void)cost_metric_mode;
    fill_portable(table);
    if (cpu_use_ssse3_set(cpu_flags)) fill_ssse3(table);
    if (cpu_use_avx2_set(cpu_flags)) fill_avx2(table);
    // Reserved slots are cleared whatever the caller's memory held: nothing may
    // reach a stale address through the table.
    clear_reserved(table);
    std::memcpy(table->cost_metric, table->sa8d, 4 * sizeof(pair_metric_fn));
}
