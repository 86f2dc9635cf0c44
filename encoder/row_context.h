// The row context: the working state of one CTU row of a picture (the CABAC
// coder and the one the row above hands down, the CTU's buffers, neighbour
// maps and decision arrays, the SAO work and the row's statistics), and the
// CTU job that codes a row CTU by CTU. A row context borrows the frame
// instance whose row it codes and the encoder (encoder/encoder_instance.h
// defines both; include that header to use the records).
#pragma once
#include <cstdint>

#include "analysis/sao/sao_decide.h"
#include "bitstream/cabac.h"
#include "encoder/config.h"
#include "encoder/picture.h"
#include "filters/deblock/deblock_ctu_maps.h"
#include "filters/sao/sao.h"
#include "ratecontrol/ratecontrol.h"

struct encoder_instance;
struct frame_instance;
struct row_scheduler;
struct quarter_window;

enum {
    ENCODER_MAX_REFS = 7,             // entries of list 0 and list 1
    CTU_SIZE = 64,
    CTU_MAP4_STRIDE = 32,             // per-4x4 maps: 32 x 17, CTU at rows 1..16, columns 16..31
    CTU_MAP4_SIZE = 32 * 17 + 8,
    // reconstructed-unit map: 25 rows of 32, CTU unit (u, v) at 48 + u + 32 v;
    // rows below the CTU stay 0 for the below-left reads of its lowest blocks
    CTU_AVAIL_SIZE = 32 * 25,
    CTU_WORK_STRIDE = 128,            // prediction and reconstruction buffers
    CTU_SOURCE_STRIDE = 64,           // source copy of the CTU
    CTU_SCRATCH_BYTES = 147456,
    SEARCH_WORK_BYTES_A = 229376,
    SEARCH_WORK_BYTES_B = 15904,
    // Room kept free before each CTU's syntax: more than one CTU can write.
    // A 64x64 CTU has 6144 levels; each costs at most three context bins of
    // under 6 bits, a sign and 32 bins of coeff_abs_level_remaining, about
    // 6.3 bytes, so 38.7 KB plus a little prediction syntax bound the CTU.
    SUBSTREAM_RESERVE = 49152,
    SUBSTREAM_GROWTH = 20000,
    USER_HI_FIRST_CTU = 10000,        // remembered half at a picture's first CTU
    ENCODER_MAP_COUNT = 5,            // flags, depth, TU size, QP, prediction mode
};

// Indexes of the per-8x8 maps that carry neighbour edges from CTU to CTU.
enum { MAP_FLAGS = 0, MAP_DEPTH = 1, MAP_TU_SIZE = 2, MAP_QP = 3, MAP_PRED_MODE = 4 };

// Per-row statistics, cleared at every row start and added into the frame
// instance's picture sums at the row end.
struct row_statistics {
    int64_t bit_mark;
    uint32_t bits[3];                 // residual, prediction, other
    uint32_t intra_area;              // 8x8 units
    uint32_t skip_area;
    double log_lambda_sum;            // constant bitrate only
    uint32_t log_lambda_count;
};

// What the picture control slot carries: the per-picture 8-byte value.
struct picture_control {
    uint32_t user_hi;
    uint32_t user_lo;
};

// The CTU context: the working state of the CTU a context is coding.
struct ctu_context {
    uint8_t *deblock_qp_table;
    uint8_t *scratch;                         // search, motion estimation, RDOQ, SAO; lent by the CTU thread
    uint8_t *search_work[2];                  // lent by the CTU thread coding the CTU
    uint8_t *source_luma;                     // 64 x 64, stride 64
    uint8_t *source_chroma;                   // Cb | Cr, 32 rows, stride 64
    uint8_t *recon_luma;                      // stride 128, one column of border left
    uint8_t *recon_chroma;                    // Cb at 0, Cr at 64, stride 128
    // CU work areas per CU depth (64, 32, 16, 8; size s): s luma rows then s/2
    // chroma rows (Cb | Cr) at stride 128, and 16-bit blocks of s x s (luma)
    // and s x s / 4 (Cb, Cr)
    uint8_t *cu_samples[4];
    int16_t *cu_coeffs[4][3];
    // quantised levels of the CTU's transform blocks for the syntax writer:
    // luma 64x64, Cb and Cr 32x32; the N x N block of the luma TU with first
    // 4x4 unit z sits in raster order at [0] + 16 z, its chroma blocks at
    // [1] / [2] + 16 (z / 4)
    int16_t *tu_levels[3];
    uint8_t *block;                           // one allocation holding the buffers above
    int16_t *hplane_band;                     // lent by the CTU thread coding the CTU, or null
    quarter_window *quarter;                  // lent likewise: the quarter-sample phases of the CTU's references
    ctu_cu_maps maps;
    ctu_motion_grid motion;
    int8_t intra_modes[CTU_MAP4_SIZE];        // per 4x4 unit, -1 unavailable
    uint8_t recon_avail[CTU_AVAIL_SIZE];
    cu_decision_arrays decision;
    // per-reference plane pointers at the CTU position
    uint8_t *ref_planes[2][ENCODER_MAX_REFS][3];
    // per-CTU fields
    int32_t x, y, address;
    int32_t ctu_w, ctu_h;
    uint32_t avail;                           // 1 left, 2 above, 4 above-right, 8 above-left
    int32_t speed_level;
    int32_t speed_step;
    int32_t speed_class, filter_variant, rdoq, search_range;
    int32_t rdoq_alt_on;
    int32_t intra_enabled;
    int32_t mv_min_x, mv_max_x, mv_min_y, mv_max_y;
    int32_t min_block;
    uint32_t skip_all;
    uint32_t qg_delta_pending;
    int32_t last_cu_z;
    int32_t qg_units;
    int32_t left_similar, above_similar;
    uint32_t depth_cost_sum[4];
    uint8_t depth_cost_count[4];
    int32_t search_state[2];
    int32_t qp;                               // the CTU QP rate control chose
};

// The working state of one CTU row. Row contexts are shared by the frame
// instances in turn: a row context is given one row of one picture at a time
// (rows 1 and onward; every frame instance owns the context of its row 0).
struct row_context {
    encoder_instance *enc;                    // borrowed: configuration, geometry, kernels
    frame_instance *fi;                       // borrowed: the picture whose row this is
    internal_config config;                   // working copy, restored from the encoder's per picture
    picture_control control;                  // the per-picture value of the picture being coded
    int32_t assigned_frame;                   // frame number of the last row given, -1 none

    // row position and the CTU being coded
    int32_t ctu_x, ctu_y;
    ctu_context ctu;
    cabac_encoder cabac;
    cabac_encoder cabac_handover;             // the coder the row above hands on
    int32_t qp_prev;
    int32_t handover_qp_prev;
    uint8_t *substream_buffer;                // own with wavefront rows
    int32_t substream_size;

    // SAO of the CTU being coded: the merge choice that the syntax writer
    // codes, the source-minus-deblocked differences, and the records that the
    // decision and the application read, filled per CTU.
    int32_t sao_merge;                        // SAO_MERGE_*
    sao_diff_buffer *sao_diff;
    sao_decide_context sao_decide_ctx;
    sao_ctu_context sao_apply_ctx;

    row_statistics row_stats;
    rc_ctu_context rcc;                       // rate control's per-CTU state of this row
};

// Frees a row context and everything it owns.
void row_context_free(row_context *row);
// Restores the working configuration from the encoder's with the changes the
// picture's control value asks for.
void config_restore(row_context *ctx);

// ---- CTU threads and the CTU job ---------------------------------------------------

// What one CTU thread owns: the scheduler it takes rows from, the two search
// work blocks, the CTU scratch and, when references carry sub-sample planes,
// the 16-bit horizontal planes of one band of their build (subpel_band_bytes)
// and the quarter-sample window. It lends them to the context whose CTU it
// codes: they hold one CTU's work, so a thread needs one set, not one per row
// context.
struct ctu_thread_work {
    row_scheduler *scheduler;
    int16_t *hplane_band;
    quarter_window *quarter;
    uint8_t *search_work[2];
    uint8_t *scratch;
};
uint64_t ctu_worker_main(uint64_t work);
[[nodiscard]] int32_t ctu_job_encode(row_context *ctx);
int32_t substream_reserve(row_context *ctx);

// ---- CTU context -------------------------------------------------------------------

[[nodiscard]] int32_t ctu_tables_alloc(row_context *row);
void ctu_tables_free(row_context *row);
[[nodiscard]] int32_t thread_scratch_alloc(ctu_thread_work *work);
void thread_scratch_free(ctu_thread_work *work);
void ctu_work_pointers_init(row_context *ctx);
void ctu_begin(row_context *ctx, int32_t x, int32_t y, int32_t address);
void ctu_load_neighbours(row_context *ctx, int32_t slice_type, uint32_t avail);
void ctu_set_ref_pointers(row_context *ctx, int32_t plane);
void ctu_end(row_context *ctx);
void ctu_store_mode_map(row_context *ctx, int32_t list_count);
// Node index in the decision arrays of a node of log2 size s at 4x4 z-index z.
static inline int32_t cu_node_index(int32_t log2_size, int32_t z)
{
    return cu_tree_node(z, log2_size);
}
// Position in the per-8x8 maps of the 8x8 unit holding 4x4 z-index z. The
// searches ask for it at every step, so it is a table read in place.
static inline int32_t map8_index(int32_t z)
{
    return zorder_to_map8[(z >> 2) & 63];
}

// Statistics of the CTU after the tree walk (intra and skip area, lambda sums).
void ctu_collect_stats(row_context *ctx);

// ---- CU-tree walks and loop-filter dispatch ------------------------------------------

void cu_tree_walk(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void cu_leaf_record(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
void tu_tree_record(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_tu, int32_t log2_cu);
void ctu_loop_filter_finish(row_context *ctx);

// ---- SAO of the CTU job (encoder/ctu_sao.cpp) ----------------------------------------

// Chooses the current CTU's SAO parameters once it is deblocked; prices the
// syntax on the row's coder and leaves that coder as it found it.
void ctu_sao_decide(row_context *ctx);
// The decision's bit pricing on the context's coder at its current CTU
// (ctu.x, ctu.y): every call restores est_bits and the two SAO contexts.
void ctu_sao_rate_estimator(row_context *ctx, sao_rate_estimator *out);
// Applies the picture's SAO parameters to the final samples of CTU (x, y).
void ctu_sao_apply(row_context *ctx, int32_t x, int32_t y);
// Builds the sub-sample planes of a reference over the area that the CTU
// finalises, band by band through ctu.hplane_band (or, without one, filtering
// every phase from the samples).
void ctu_subpel_planes_build(row_context *ctx, picture *pic, int32_t ctu_row, int32_t ctu_col);
// Bytes of one band of 16-bit horizontal planes for a luma stride.
int64_t subpel_band_bytes(int32_t luma_stride);
