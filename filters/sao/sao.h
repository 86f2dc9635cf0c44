// Sample adaptive offset (H.265 clause 8.7.3) for 8-bit 4:2:0 pictures with
// 64x64 CTUs: a luma CTB is 64x64 samples, a chroma CTB 32x32.
//
// All pixel work goes through one sao_table of 13 kernels, filled once when an
// encoder opens: slot 0 writes the final samples of one CTB of one plane from
// the deblocked copy; slots 1 and 2 form the source-minus-deblocked differences
// of a CTB; slots 3..12 turn those into per-category (edge types) or per-band
// (band type) counts and sums for the SAO decision, for CTBs inside the picture
// (3..7) and for CTBs cut by its right or bottom edge (8..12).
//
// Deblocked copy and final planes share one buffer: for a component with SAO
// on, the deblocked origin lies 4 rows below and 32 samples right of the final
// origin, so final sample (r, c) is the byte of deblocked sample (r - 4, c - 32).
// Application writes a CTB's rows top to bottom and reads the deblocked rows a
// final row needs (r - 1, r, r + 1) before writing it; applied one CTU row and
// one CTU column behind the coding, nothing still needed is overwritten.
#pragma once
#include <cstdint>

// SAO types as stored in sao_param::type. Edge classes name the two neighbours
// a and b of sample (r, c): horizontal (r, c-1) (r, c+1); vertical (r-1, c)
// (r+1, c); 135 degrees (r-1, c-1) (r+1, c+1); 45 degrees (r-1, c+1) (r+1, c-1).
enum {
    SAO_TYPE_EO_HOR = 0,
    SAO_TYPE_EO_VER = 1,
    SAO_TYPE_EO_135 = 2,
    SAO_TYPE_EO_45 = 3,
    SAO_TYPE_BAND = 4,
    SAO_TYPE_OFF = 5,
};

// SAO enable bits of a picture (the slice header's SAO flags).
enum {
    SAO_FLAG_LUMA = 1,
    SAO_FLAG_CHROMA = 2,   // Cb and Cr together
};

enum {
    SAO_SCRATCH_BYTES = 416,   // the most of the scratch buffer any SAO kernel uses
};

// Parameters of one CTB of one plane, 24 bytes. Edge types: category e (0..4,
// see sao_edge_category) takes offset[0], offset[1], nothing, offset[2],
// offset[3] for e = 0, 1, 2, 3, 4. Band type: bands band_position + j (modulo
// 32) take offset[j]; band_position is taken modulo 32.
struct sao_param {
    int32_t type;
    int32_t band_position;
    int32_t offset[4];
};

// Statistics of one CTB of one plane for one SAO type: per class index (edge
// category 0..4, or band 0..31) the number of samples and the sum of their
// differences source minus deblocked. Edge records keep entries 5..31 at 0.
struct sao_stats {
    uint16_t count[32];
    int32_t sum[32];
};

// Source-minus-deblocked differences of the current CTU, one dense block per
// plane: entry r * 64 + c (luma) or r * 32 + c (chroma). Each instance copy
// owns one, so concurrent CTU jobs never share it.
struct sao_diff_buffer {
    alignas(32) int16_t luma[64 * 64];
    alignas(32) int16_t cb[32 * 32];
    alignas(32) int16_t cr[32 * 32];
};

// What SAO application reads of the instance that runs the CTU job. The
// encoder core keeps one per frame instance and row context and points it at
// the picture being coded.
struct sao_ctu_context {
    uint32_t sao_flags;            // SAO_FLAG_* of the picture being coded
    uint32_t ctu_columns;          // luma width / 64, rounded up
    uint32_t ctu_rows;             // luma height / 64, rounded up
    uint32_t width;                // luma width, a multiple of 8
    uint32_t height;               // luma height, a multiple of 8
    int32_t stride[3];             // row stride of luma, Cb, Cr in bytes
    uint8_t *planes[3];            // final plane origins
    uint8_t *deblock_planes[3];    // deblocked copy origins (final + 4 rows + 32 when SAO is on)
    const sao_param *sao_params[3];// per plane, one record per CTU, indexed y * ctu_columns + x
    uint8_t *scratch;              // at least SAO_SCRATCH_BYTES, borrowed for one call
};

typedef void (*sao_apply_ctb_plane_fn)(const sao_ctu_context *ctx, uint32_t x, uint32_t y, int32_t plane,
                                       uint32_t shift);
typedef void (*sao_diff_ctb_fn)(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                                const uint8_t *source, int32_t source_stride, int32_t is_luma);
typedef void (*sao_diff_ctb_partial_fn)(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                                        const uint8_t *source, int32_t source_stride, int32_t is_luma,
                                        int32_t width, int32_t height);
typedef void (*sao_stats_fn)(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                             const int16_t *diff, uint8_t *scratch);
typedef void (*sao_stats_partial_fn)(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                     int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                     uint8_t *scratch);

enum {
    SAO_TABLE_SLOTS = 13,
};

// The statistics slot of type t (0..4) is 3 + t for a CTB inside the picture
// and 8 + t for a cut one (sao_stats_full / sao_stats_partial below).
struct sao_table {
    sao_apply_ctb_plane_fn apply_ctb_plane;               //  0
    sao_diff_ctb_fn diff_ctb;                             //  1
    sao_diff_ctb_partial_fn diff_ctb_partial;             //  2
    sao_stats_fn stats_eo_hor;                            //  3
    sao_stats_fn stats_eo_ver;                            //  4
    sao_stats_fn stats_eo_diag135;                        //  5
    sao_stats_fn stats_eo_diag45;                         //  6
    sao_stats_fn stats_bo;                                //  7
    sao_stats_partial_fn stats_eo_hor_partial;            //  8
    sao_stats_partial_fn stats_eo_ver_partial;            //  9
    sao_stats_partial_fn stats_eo_diag135_partial;        // 10
    sao_stats_partial_fn stats_eo_diag45_partial;         // 11
    sao_stats_partial_fn stats_bo_partial;                // 12
};

// Fills every slot with its portable kernel, then the vector kernels that the
// configured flags and the processor allow. Cannot fail; no slot stays null.
void sao_table_init(uint32_t cpu_flags, sao_table *table);

// Statistics kernel of SAO type 0..4 (null for any other type).
sao_stats_fn sao_stats_full(const sao_table *table, int32_t type);
sao_stats_partial_fn sao_stats_partial(const sao_table *table, int32_t type);

// Edge category 2 + sign(p - a) + sign(p - b) of sample p with class
// neighbours a and b: 0 local minimum .. 4 local maximum.
static inline int sao_edge_category(int p, int a, int b)
{
    return 2 + (p > a) - (p < a) + (p > b) - (p < b);
}

// Applies the SAO parameters of CTU (x, y) to every plane whose SAO is on:
// luma when SAO_FLAG_LUMA is set, then Cb and Cr when SAO_FLAG_CHROMA is set.
void sao_apply_ctu(const sao_table *table, const sao_ctu_context *ctx, uint32_t x, uint32_t y);

// The CTUs that become final once CTU (x, y) has been coded, deblocked and
// given its parameters, in the order they must be applied (and then border
// extended): (x-1, y-1); in the last column (x, y-1); in the last row (x-1, y)
// and, in the last column, (x, y). Writes up to 4 (column, row) pairs and
// returns their number. Every CTU of a picture is listed exactly once.
int sao_final_ctus(uint32_t x, uint32_t y, uint32_t ctu_columns, uint32_t ctu_rows, uint32_t out[4][2]);

// Portable kernels.
void sao_apply_ctb_plane_c(const sao_ctu_context *ctx, uint32_t x, uint32_t y, int32_t plane, uint32_t shift);
void sao_diff_ctb_c(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride, const uint8_t *source,
                    int32_t source_stride, int32_t is_luma);
void sao_diff_ctb_partial_c(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                            const uint8_t *source, int32_t source_stride, int32_t is_luma, int32_t width,
                            int32_t height);
void sao_stats_eo_hor_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                        const int16_t *diff, uint8_t *scratch);
void sao_stats_eo_ver_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                        const int16_t *diff, uint8_t *scratch);
void sao_stats_eo_diag135_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                            const int16_t *diff, uint8_t *scratch);
void sao_stats_eo_diag45_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                           const int16_t *diff, uint8_t *scratch);
void sao_stats_bo_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                    const int16_t *diff, uint8_t *scratch);
void sao_stats_eo_hor_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch);
void sao_stats_eo_ver_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch);
void sao_stats_eo_diag135_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                    int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                    uint8_t *scratch);
void sao_stats_eo_diag45_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride,
                                   int32_t is_luma, const int16_t *diff, int32_t width, int32_t height,
                                   uint8_t *scratch);
void sao_stats_bo_partial_c(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                            const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch);

// SSSE3 set (flag 2; also contains SSE4.1 code).
void sao_diff_ctb_ssse3(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                        const uint8_t *source, int32_t source_stride, int32_t is_luma);
void sao_diff_ctb_partial_ssse3(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                                const uint8_t *source, int32_t source_stride, int32_t is_luma,
                                int32_t width, int32_t height);
void sao_stats_bo_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                        const int16_t *diff, uint8_t *scratch);
void sao_stats_bo_partial_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch);

// The counted width of a cut CTB: its width rounded down to a multiple of 16
// (the statistics skip the last 0..15 columns), at most the CTB size.
static inline int32_t sao_partial_columns(int32_t width, int32_t is_luma)
{
    int32_t n = is_luma ? 64 : 32;
    if (width > n) width = n;
    return width < 16 ? 0 : width & ~15;
}

// Rows of a cut CTB that the partial kernels process: 0..CTB size.
static inline int32_t sao_partial_rows(int32_t height, int32_t is_luma)
{
    int32_t n = is_luma ? 64 : 32;
    return height < 0 ? 0 : height > n ? n : height;
}
