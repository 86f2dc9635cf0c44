// Block metric kernels and their table. Every distortion measure, block
// statistic, coefficient summary, CTU activity measure and CTU-sized copy is
// reached through one metric_table, filled once when an encoder opens and
// read-only afterwards. Kernels are stateless: any thread may call any entry.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/metrics/activity.h"

// Pair metric: a is by convention the source block, b the prediction; the
// measures are symmetric. Strides are signed sample counts.
typedef uint32_t (*pair_metric_fn)(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride);
// Multi-candidate every-second-row SAD; the source block has row stride 64.
typedef void (*sad_x4_fn)(const uint8_t *src, const uint8_t *c0, const uint8_t *c1,
                          const uint8_t *c2, const uint8_t *c3, int cand_stride, uint32_t *out);
typedef void (*sad_x3_fn)(const uint8_t *src, const uint8_t *c0, const uint8_t *c1,
                          const uint8_t *c2, int cand_stride, uint32_t *out);
typedef void (*sad_x2_fn)(const uint8_t *src, const uint8_t *c0, const uint8_t *c1,
                          int cand_stride, uint32_t *out);
// (sum of squares << 32) | sum of samples.
typedef uint64_t (*pixel_sum_ssq_fn)(const uint8_t *p, int stride);
// Sum of squared differences over any width x height, in 64 bits: whole planes
// of large pictures pass 32 bits.
typedef uint64_t (*sse_wxh_fn)(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride,
                               int width, int height);
// AC energy of the two 4x4 halves: high 16 bits right half, low 16 bits left.
typedef uint32_t (*hadamard_ac_fn)(const uint8_t *p, int stride);
typedef uint32_t (*count_nonzero_fn)(const int16_t *coeff, int log2n);
typedef int (*scan_coeff_groups_fn)(const uint16_t *scan, const int16_t *coeff, uint16_t *sign,
                                    uint16_t *sig, uint8_t *count, int num_nonzero,
                                    const uint16_t *group_scan, int stride);
typedef void (*block_copy_fn)(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);

enum {
    METRIC_TABLE_SLOTS = 118,
    METRIC_SIZES = 5,   // size index i serves the block whose larger side is 64 >> i
};

// 118 entries; an entry's slot number is its position. Groups of five are
// indexed by size index; the comments give the first slot of each field.
struct metric_table {
    pair_metric_fn sad_sub[METRIC_SIZES];          //   0 square, every second row, doubled
    pair_metric_fn sad[METRIC_SIZES];              //   5 square
    pair_metric_fn sad_sub_wide[METRIC_SIZES];     //  10 64x32 .. 8x4, [4] null
    pair_metric_fn sad_sub_tall[METRIC_SIZES];     //  15 32x64 .. 4x8, [4] null
    sad_x4_fn sad_x4_sub[METRIC_SIZES];            //  20 square 64..8, [4] null
    sad_x4_fn sad_x4_sub_wide[METRIC_SIZES];       //  25 [4] null
    sad_x4_fn sad_x4_sub_tall[METRIC_SIZES];       //  30 [4] null
    sad_x3_fn sad_x3_sub[METRIC_SIZES];            //  35
    sad_x2_fn sad_x2_sub[METRIC_SIZES];            //  40
    pair_metric_fn sse[METRIC_SIZES];              //  45
    void *reserved_50[10];                         //  50 always null
    pair_metric_fn satd[METRIC_SIZES];             //  60
    void *reserved_65[10];                         //  65 always null
    pair_metric_fn sa8d[METRIC_SIZES];             //  75 square 64..8, [4] null
    pair_metric_fn sa8d_wide[METRIC_SIZES];        //  80 64x32, 32x16, 16x8, [3] satd 8x4
    pair_metric_fn sa8d_tall[METRIC_SIZES];        //  85 32x64, 16x32, 8x16, [3] satd 4x8
    pair_metric_fn sa8d_sub[METRIC_SIZES];         //  90 64, 32, 16 subsampled, [3] full 8x8
    pair_metric_fn cost_metric[METRIC_SIZES];      //  95 copies of sa8d[0..3], [4] null
    void *reserved_100[2];                         // 100
    pixel_sum_ssq_fn pixel_sum_ssq_16x16;          // 102
    pixel_sum_ssq_fn pixel_sum_ssq_8x8;            // 103
    void *reserved_104;                            // 104
    sse_wxh_fn sse_wxh;                            // 105
    hadamard_ac_fn hadamard_ac_8x4;                // 106
    void *reserved_107;                            // 107
    count_nonzero_fn count_nonzero_coeffs;         // 108
    scan_coeff_groups_fn scan_coeff_groups;        // 109
    ctu_activity_fn ctu_activity_hv;               // 110
    ctu_activity_fn ctu_activity_4dir;             // 111
    ctu_activity_fn ctu_activity_hv3;              // 112
    ctu_activity_fn ctu_activity_diag;             // 113
    block_copy_fn copy_64x64_prefetch;             // 114
    block_copy_fn copy_32x32_prefetch;             // 115
    block_copy_fn copy_64x64;                      // 116
    block_copy_fn copy_32x32;                      // 117
};

static_assert(sizeof(metric_table) == METRIC_TABLE_SLOTS * sizeof(void *), "metric_table layout");
static_assert(offsetof(metric_table, sse) == 45 * sizeof(void *), "metric_table layout");
static_assert(offsetof(metric_table, satd) == 60 * sizeof(void *), "metric_table layout");
static_assert(offsetof(metric_table, sa8d) == 75 * sizeof(void *), "metric_table layout");
static_assert(offsetof(metric_table, pixel_sum_ssq_16x16) == 102 * sizeof(void *), "metric_table layout");
static_assert(offsetof(metric_table, count_nonzero_coeffs) == 108 * sizeof(void *), "metric_table layout");

// Fills the table from the processor feature flags (1 SSE4.1, 2 SSSE3, 4 AVX2).
// A kernel set is installed only where the processor has every instruction it
// uses. cost_metric_mode 1 or more makes cost_metric copy the SA8D kernels.
void metric_table_init(uint32_t cpu_flags, metric_table *table, int32_t cost_metric_mode);

// ---- Portable kernels ----
#define TV_PAIR_METRIC(name) uint32_t name(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride)
#define TV_SAD_X4(name) void name(const uint8_t *src, const uint8_t *c0, const uint8_t *c1, \
                                  const uint8_t *c2, const uint8_t *c3, int cand_stride, uint32_t *out)
#define TV_SAD_X3(name) void name(const uint8_t *src, const uint8_t *c0, const uint8_t *c1, \
                                  const uint8_t *c2, int cand_stride, uint32_t *out)
#define TV_SAD_X2(name) void name(const uint8_t *src, const uint8_t *c0, const uint8_t *c1, \
                                  int cand_stride, uint32_t *out)

TV_PAIR_METRIC(sad_64x64_c); TV_PAIR_METRIC(sad_32x32_c); TV_PAIR_METRIC(sad_16x16_c);
TV_PAIR_METRIC(sad_8x8_c); TV_PAIR_METRIC(sad_4x4_c);

TV_PAIR_METRIC(sad_sub_64x64_c); TV_PAIR_METRIC(sad_sub_32x32_c); TV_PAIR_METRIC(sad_sub_16x16_c);
TV_PAIR_METRIC(sad_sub_8x8_c); TV_PAIR_METRIC(sad_sub_4x4_c);
TV_PAIR_METRIC(sad_sub_64x32_c); TV_PAIR_METRIC(sad_sub_32x16_c); TV_PAIR_METRIC(sad_sub_16x8_c);
TV_PAIR_METRIC(sad_sub_8x4_c);
TV_PAIR_METRIC(sad_sub_32x64_c); TV_PAIR_METRIC(sad_sub_16x32_c); TV_PAIR_METRIC(sad_sub_8x16_c);
TV_PAIR_METRIC(sad_sub_4x8_c);

TV_SAD_X4(sad_x4_sub_64x64_c); TV_SAD_X4(sad_x4_sub_32x32_c); TV_SAD_X4(sad_x4_sub_16x16_c);
TV_SAD_X4(sad_x4_sub_8x8_c);
TV_SAD_X4(sad_x4_sub_64x32_c); TV_SAD_X4(sad_x4_sub_32x16_c); TV_SAD_X4(sad_x4_sub_16x8_c);
TV_SAD_X4(sad_x4_sub_8x4_c);
TV_SAD_X4(sad_x4_sub_32x64_c); TV_SAD_X4(sad_x4_sub_16x32_c); TV_SAD_X4(sad_x4_sub_8x16_c);
TV_SAD_X4(sad_x4_sub_4x8_c);
TV_SAD_X3(sad_x3_sub_64x64_c); TV_SAD_X3(sad_x3_sub_32x32_c); TV_SAD_X3(sad_x3_sub_16x16_c);
TV_SAD_X3(sad_x3_sub_8x8_c); TV_SAD_X3(sad_x3_sub_4x4_c);
TV_SAD_X2(sad_x2_sub_64x64_c); TV_SAD_X2(sad_x2_sub_32x32_c); TV_SAD_X2(sad_x2_sub_16x16_c);
TV_SAD_X2(sad_x2_sub_8x8_c); TV_SAD_X2(sad_x2_sub_4x4_c);

TV_PAIR_METRIC(sse_64x64_c); TV_PAIR_METRIC(sse_32x32_c); TV_PAIR_METRIC(sse_16x16_c);
TV_PAIR_METRIC(sse_8x8_c); TV_PAIR_METRIC(sse_4x4_c);
uint64_t sse_wxh_c(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int width, int height);

TV_PAIR_METRIC(satd_4x4_c); TV_PAIR_METRIC(satd_8x4_c); TV_PAIR_METRIC(satd_4x8_c);
TV_PAIR_METRIC(satd_8x8_c); TV_PAIR_METRIC(satd_16x16_c); TV_PAIR_METRIC(satd_32x32_c);
TV_PAIR_METRIC(satd_64x64_c);

// Sum of the 64 absolute coefficients of the 8x8 Hadamard transform of a - b
// (not a table entry; the SA8D kernels round it).
TV_PAIR_METRIC(sa8d_8x8_raw_c);
TV_PAIR_METRIC(sa8d_8x8_c); TV_PAIR_METRIC(sa8d_16x8_c); TV_PAIR_METRIC(sa8d_8x16_c);
TV_PAIR_METRIC(sa8d_16x16_c); TV_PAIR_METRIC(sa8d_32x16_c); TV_PAIR_METRIC(sa8d_16x32_c);
TV_PAIR_METRIC(sa8d_32x32_c); TV_PAIR_METRIC(sa8d_64x32_c); TV_PAIR_METRIC(sa8d_32x64_c);
TV_PAIR_METRIC(sa8d_64x64_c);
TV_PAIR_METRIC(sa8d_sub_16x16_c); TV_PAIR_METRIC(sa8d_sub_32x32_c); TV_PAIR_METRIC(sa8d_sub_64x64_c);

uint64_t pixel_sum_ssq_16x16_c(const uint8_t *p, int stride);
uint64_t pixel_sum_ssq_8x8_c(const uint8_t *p, int stride);
uint32_t hadamard_ac_8x4_c(const uint8_t *p, int stride);

uint32_t count_nonzero_coeffs_c(const int16_t *coeff, int log2n);
int scan_coeff_groups_c(const uint16_t *scan, const int16_t *coeff, uint16_t *sign, uint16_t *sig,
                        uint8_t *count, int num_nonzero, const uint16_t *group_scan, int stride);

void copy_64x64_prefetch_c(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);
void copy_32x32_prefetch_c(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);
void copy_64x64_c(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);
void copy_32x32_c(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);

// ---- SSSE3 set (also uses SSE4.1; installed only where both are present) ----
TV_PAIR_METRIC(sse_64x64_ssse3); TV_PAIR_METRIC(sse_32x32_ssse3); TV_PAIR_METRIC(sse_16x16_ssse3);
TV_PAIR_METRIC(sse_8x8_ssse3);
uint64_t sse_wxh_ssse3(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int width, int height);

TV_PAIR_METRIC(satd_4x4_ssse3); TV_PAIR_METRIC(satd_8x4_ssse3); TV_PAIR_METRIC(satd_4x8_ssse3);
TV_PAIR_METRIC(satd_8x8_ssse3);

TV_PAIR_METRIC(sa8d_8x8_raw_ssse3);
TV_PAIR_METRIC(sa8d_8x8_ssse3); TV_PAIR_METRIC(sa8d_16x8_ssse3); TV_PAIR_METRIC(sa8d_8x16_ssse3);
TV_PAIR_METRIC(sa8d_16x16_ssse3); TV_PAIR_METRIC(sa8d_32x16_ssse3); TV_PAIR_METRIC(sa8d_16x32_ssse3);
TV_PAIR_METRIC(sa8d_32x32_ssse3); TV_PAIR_METRIC(sa8d_64x32_ssse3); TV_PAIR_METRIC(sa8d_32x64_ssse3);
TV_PAIR_METRIC(sa8d_64x64_ssse3);

uint32_t hadamard_ac_8x4_ssse3(const uint8_t *p, int stride);

TV_PAIR_METRIC(sad_sub_64x64_ssse3); TV_PAIR_METRIC(sad_sub_32x32_ssse3); TV_PAIR_METRIC(sad_sub_16x16_ssse3);
TV_PAIR_METRIC(sad_sub_8x8_ssse3);
TV_PAIR_METRIC(sad_sub_64x32_ssse3); TV_PAIR_METRIC(sad_sub_32x16_ssse3); TV_PAIR_METRIC(sad_sub_16x8_ssse3);
TV_PAIR_METRIC(sad_sub_8x4_ssse3);
TV_PAIR_METRIC(sad_sub_32x64_ssse3); TV_PAIR_METRIC(sad_sub_16x32_ssse3); TV_PAIR_METRIC(sad_sub_8x16_ssse3);
TV_PAIR_METRIC(sad_sub_4x8_ssse3);
// Multi-candidate forms: callers pass a source block of the 32-byte aligned
// source CTU copy (stride 64); the forms load it unaligned, so they do not
// depend on that alignment.
TV_SAD_X4(sad_x4_sub_64x64_ssse3); TV_SAD_X4(sad_x4_sub_32x32_ssse3); TV_SAD_X4(sad_x4_sub_16x16_ssse3);
TV_SAD_X4(sad_x4_sub_8x8_ssse3);
TV_SAD_X4(sad_x4_sub_64x32_ssse3); TV_SAD_X4(sad_x4_sub_32x16_ssse3); TV_SAD_X4(sad_x4_sub_16x8_ssse3);
TV_SAD_X4(sad_x4_sub_8x4_ssse3);
TV_SAD_X4(sad_x4_sub_32x64_ssse3); TV_SAD_X4(sad_x4_sub_16x32_ssse3); TV_SAD_X4(sad_x4_sub_8x16_ssse3);
TV_SAD_X4(sad_x4_sub_4x8_ssse3);

// ---- AVX2 set (also uses BMI2, POPCNT and SSE4.1; installed only where all
// are present). Names ending in _avx use 128-bit operations only. ----
TV_PAIR_METRIC(sad_64x64_avx2); TV_PAIR_METRIC(sad_32x32_avx2); TV_PAIR_METRIC(sad_16x16_avx2);
TV_PAIR_METRIC(sad_8x8_avx); TV_PAIR_METRIC(sad_4x4_avx);
TV_PAIR_METRIC(sad_sub_64x64_avx2); TV_PAIR_METRIC(sad_sub_32x32_avx2); TV_PAIR_METRIC(sad_sub_16x16_avx2);
TV_PAIR_METRIC(sad_sub_8x8_avx); TV_PAIR_METRIC(sad_sub_4x4_avx);
TV_PAIR_METRIC(sad_sub_64x32_avx2); TV_PAIR_METRIC(sad_sub_32x16_avx2); TV_PAIR_METRIC(sad_sub_32x64_avx2);
TV_SAD_X4(sad_x4_sub_64x64_avx2); TV_SAD_X4(sad_x4_sub_32x32_avx2);
TV_SAD_X4(sad_x4_sub_64x32_avx2); TV_SAD_X4(sad_x4_sub_32x16_avx2); TV_SAD_X4(sad_x4_sub_32x64_avx2);
TV_SAD_X3(sad_x3_sub_64x64_avx2); TV_SAD_X3(sad_x3_sub_32x32_avx2); TV_SAD_X3(sad_x3_sub_16x16_avx);
TV_SAD_X3(sad_x3_sub_8x8_avx); TV_SAD_X3(sad_x3_sub_4x4_avx);
TV_SAD_X2(sad_x2_sub_64x64_avx2); TV_SAD_X2(sad_x2_sub_32x32_avx2); TV_SAD_X2(sad_x2_sub_16x16_avx);
TV_SAD_X2(sad_x2_sub_8x8_avx); TV_SAD_X2(sad_x2_sub_4x4_avx);

TV_PAIR_METRIC(sse_64x64_avx2); TV_PAIR_METRIC(sse_32x32_avx2); TV_PAIR_METRIC(sse_16x16_avx2);
TV_PAIR_METRIC(sse_8x8_avx2); TV_PAIR_METRIC(sse_4x4_avx);
uint64_t sse_wxh_avx2(const uint8_t *a, int a_stride, const uint8_t *b, int b_stride, int width, int height);

TV_PAIR_METRIC(satd_4x4_avx); TV_PAIR_METRIC(satd_8x8_avx2); TV_PAIR_METRIC(satd_16x16_avx2);
TV_PAIR_METRIC(satd_32x32_avx2); TV_PAIR_METRIC(satd_64x64_avx2);

TV_PAIR_METRIC(sa8d_8x8_avx2); TV_PAIR_METRIC(sa8d_16x8_avx2); TV_PAIR_METRIC(sa8d_8x16_avx2);
TV_PAIR_METRIC(sa8d_16x16_avx2); TV_PAIR_METRIC(sa8d_32x16_avx2); TV_PAIR_METRIC(sa8d_16x32_avx2);
TV_PAIR_METRIC(sa8d_32x32_avx2); TV_PAIR_METRIC(sa8d_64x32_avx2); TV_PAIR_METRIC(sa8d_32x64_avx2);
TV_PAIR_METRIC(sa8d_64x64_avx2);
TV_PAIR_METRIC(sa8d_sub_16x16_avx2); TV_PAIR_METRIC(sa8d_sub_32x32_avx2); TV_PAIR_METRIC(sa8d_sub_64x64_avx2);

uint32_t count_nonzero_coeffs_avx2(const int16_t *coeff, int log2n);
int scan_coeff_groups_avx(const uint16_t *scan, const int16_t *coeff, uint16_t *sign, uint16_t *sig,
                          uint8_t *count, int num_nonzero, const uint16_t *group_scan, int stride);

void copy_64x64_prefetch_avx2(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);
void copy_32x32_prefetch_avx2(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);
void copy_64x64_avx2(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);
void copy_32x32_avx2(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride);
