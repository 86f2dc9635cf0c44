// SAO parameter decision of one CTU: for luma, and for Cb and Cr together,
// merge the left or upper CTU's parameters, take new offsets of one SAO type,
// or switch SAO off, whichever costs least in distortion plus lambda-weighted
// bits. Also the steps it is built from: the offsets of one type from a CTB's
// statistics, the distortion change of a parameter record, and the ring of
// replicated samples that the edge statistics read around a CTB.
#pragma once
#include <cstdint>

#include "filters/sao/sao.h"

enum {
    SAO_MERGE_NONE = 0,
    SAO_MERGE_LEFT = 1,
    SAO_MERGE_UP = 2,
};

// Bit estimation of the SAO syntax, in 1/256 bit. Each call prices from the
// estimator state noted when the decision began and restores that state
// before it returns, so calls are independent trials.
struct sao_rate_estimator {
    void *state;
    // sao_merge_left_flag (in columns > 0) and, unless merging left,
    // sao_merge_up_flag (in rows > 0) for merge 0, 1 or 2.
    int32_t (*merge_flags)(void *state, int32_t merge);
    // The parameters of components first..last (0 luma, 1 Cb, 2 Cr) in syntax
    // order, in one trial: records[c] for component c.
    int32_t (*offsets)(void *state, const sao_param *const records[3], int32_t first, int32_t last);
};

// What the decision of one CTU reads and writes.
struct sao_decide_context {
    const sao_table *table;
    sao_rate_estimator rate;
    uint32_t sao_flags;               // SAO_FLAG_* of the picture
    uint32_t ctu_x, ctu_y;
    uint32_t ctu_columns, ctu_rows;
    uint32_t width, height;           // luma, multiples of 8
    int32_t complexity;               // 0..7
    int32_t pick_mode;
    int32_t speed_step;
    int32_t picture_type;             // coded type of the source picture (PIC_TYPE_*)
    int32_t lambda_sse;               // 8 fractional bits
    int32_t chroma_weight;            // chroma distortion weight, 8 fractional bits
    uint8_t *deblock_planes[3];       // deblocked copy origins; the ring is written here
    int32_t deblock_stride[3];
    const uint8_t *source_planes[3];  // source picture origins
    int32_t source_stride[3];
    sao_param *sao_params[3];         // per plane, one record per CTU; null when off
    sao_diff_buffer *diff;
    uint8_t *scratch;                 // at least SAO_SCRATCH_BYTES
    int32_t sao_merge;                // out: SAO_MERGE_*
};

// Writes the CTU's records of the enabled components and sao_merge.
void sao_decide_ctu(sao_decide_context *ctx);

// Chooses the offsets (and for the band type the band position, 0..28) of
// SAO type 0..4 from the statistics, trading distortion against lambda (8
// fractional bits) per offset; sets the record's type, band position and
// offsets and returns the distortion change of those offsets in squared
// sample differences (negative: the offsets help).
int32_t sao_offset_search(sao_param *record, const sao_stats *stats, int32_t type, int32_t lambda);

// Distortion change that the record's offsets cause on a CTB with these
// statistics of the record's type (0..4).
int32_t sao_distortion_delta(const sao_stats *stats, const sao_param *record);

// Prepares the deblocked copy of one CTB for the edge statistics. n is the CTB
// size (64 luma, 32 chroma), w and h its width and height inside the picture.
// Column w and row h (over columns -1..n) become copies of the last column and
// row inside the CTB: the CTBs there are not coded yet, or lie outside the
// picture. In the first CTU column column -1, in the first CTU row row -1
// become copies of column 0 and row 0, as nothing lies beyond the picture.
void sao_border_prepare(uint8_t *deblocked, int32_t stride, int32_t n, int32_t w, int32_t h, bool first_column,
                        bool first_row);
