// The records of one open encoder, one per role:
// - encoder_instance, the encoder (and the handle): the configuration, the
//   geometry and parameter sets, pools, lists, lookahead, scheduler, CTU
//   threads, kernel tables and the rotation of the records below;
// - frame_instance, one picture in flight: its picture state, slice record,
//   NAL list and substreams, picture-wide tables, rate-control record and
//   statistics; it borrows the encoder;
// - row_context, the working state of one CTU row: the CABAC coder and its
//   rate state, the CTU's search buffers and neighbour maps, the SAO work and
//   the row's statistics; it borrows the frame instance whose row it codes
//   and the encoder.
// Leaf code takes the narrowest record it needs.
#pragma once
#include <cstdint>
#include <type_traits>

#include "analysis/sao/sao_decide.h"
#include "bitstream/cabac.h"
#include "bitstream/param_sets.h"
#include "bitstream/rps.h"
#include "encoder/config.h"
#include "encoder/nal_units.h"
#include "encoder/picture.h"
#include "encoder/platform/platform.h"
#include "encoder/slice_header.h"
#include "filters/deblock/deblock.h"
#include "filters/deblock/deblock_ctu_maps.h"
#include "filters/sao/sao.h"
#include "kernels/intra/intra_pred.h"
#include "kernels/mc/mc.h"
#include "kernels/metrics/metric.h"
#include "kernels/quant/quant.h"
#include "kernels/quant/scan_tables.h"
#include "kernels/transform/transform.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/ratecontrol.h"

struct job_pool;
struct row_scheduler;
struct row_record;
struct picture_list;
struct encoder_shared;
struct rd_tables;
struct ctu_thread_work;
struct encoder_instance;
struct frame_instance;
struct row_context;

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

// The stages of opening an encoder, in order. Each one ends at a point where a
// failure must leave nothing behind, which the failure injection checks.
enum open_stage {
    OPEN_NEVER_FAILS = 0,         // for the fault hooks: no failure
    OPEN_RECORD,                  // the record with its slot array
    OPEN_CONFIG_VALIDATED,        // the configuration, validated and saved
    OPEN_GEOMETRY,                // picture state, geometry and motion-vector bounds
    OPEN_KERNEL_TABLES,           // every kernel family's function table
    OPEN_RD_TABLES,               // rounding, lambda and motion-vector cost tables
    OPEN_PARAMETER_SETS,          // VPS, SPS and PPS records
    OPEN_SCAN_TABLES,
    OPEN_PICTURE_POOLS,           // the coding queue and both picture pools
    OPEN_BUFFER_SIZES,            // slice, substream and access-unit buffers
    OPEN_JOB_POOL,                // the job pool with its scratch blocks and locks
    OPEN_ROW_SCHEDULER,
    OPEN_CTU_THREADS,             // they wait in the scheduler until rows arrive
    OPEN_COPIES,                  // the frame-instance and row-context records
    OPEN_LOOKAHEAD,
    OPEN_FRAME_INSTANCES,
    OPEN_ROW_CONTEXTS,
    OPEN_RATE_CONTROL,
    OPEN_CONFIG_SHARED,           // every copy holds the final configuration
};

// Failure injection for tests: the open stage or the CTU job at which the next
// encoder fails on purpose. Zero-initialised means no failure.
struct encoder_fault_hooks {
    int32_t fail_open_at_step;        // an open_stage: fail after it; OPEN_NEVER_FAILS = never
    int32_t fail_ctu_job_at;          // n > 0: the n-th CTU job of the encoder fails
    uint64_t *seen_values;            // non-null: the per-picture value each picture's first CTU saw,
    int32_t seen_count;               // indexed by frame number (seen_count entries)
    // Non-null: called on the CTU thread after each CTU's search, before the
    // tree walk and the loop filters, with the context that coded it.
    void (*ctu_searched)(void *arg, row_context *ctx);
    void *ctu_searched_arg;
    // Non-null: called on the CTU thread once the CTU's boundary strengths and
    // edge QPs are set, before its edges are filtered.
    void (*ctu_deblock_ready)(void *arg, row_context *ctx, const deblock_context *db);
    void *ctu_deblock_ready_arg;
    // Non-null: the fast inter decisions count their motion searches here,
    // fast ones at [0] and full ones at [1].
    uint64_t *motion_searches;
    // 1..3: every CTU starts at this effort step, the shortened searches a
    // real-time budget would ask for (nothing else raises it); 0: none.
    int32_t speed_step;
};
// Applies to the next encoder_open on the calling thread only, then resets itself.
void encoder_fault_hooks_set(const encoder_fault_hooks *hooks);

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

// Per-picture counters and plane distortions of a frame instance.
struct statistics_block {
    row_statistics picture_sums;      // sums of the rows of the current picture
    uint64_t ssd[3];                  // Y, U, V of the last finished picture
};

// The running totals of the collected pictures that the close report prints.
// Classes: 0 B, 1 P, 2 I.
struct coding_totals {
    int64_t class_bytes[3];
    int32_t class_pictures[3];
    double psnr_sum[3][3];            // [class][plane]
};

// What the picture control slot carries: the per-picture 8-byte value.
struct picture_control {
    uint32_t user_hi;
    uint32_t user_lo;
};

// Buffers of one frame instance's picture shared by its row contexts.
struct ctu_picture_tables {
    uint8_t *edge[ENCODER_MAP_COUNT];         // 16 bytes per CTU each
    uint8_t *deblock_bs_map;                  // 256 bytes per CTU
    uint8_t *depth_cost_counts;               // 4 per CTU
    uint32_t *depth_cost_sums;                // 4 per CTU
    uint8_t *above_lines;                     // N x 64 luma, N x 32 Cb, N x 32 Cr
    uint32_t *cbr_ctu_bits;                   // constant bitrate only
    uint8_t *ctu_depth_min;                   // per CTU, narrowed by the tree walk: the
    uint8_t *ctu_depth_max;                   // reconstructed picture's arrays
    // SAO parameters of the picture: luma, Cb, Cr, one record per CTU in
    // raster order. The decision writes them, merges read the left and upper
    // records, the syntax writer codes them and the application reads them
    // one CTU behind.
    sao_param *sao_params[3];
};

// The CTU context: the working state of the CTU a context is coding.
struct ctu_context {
    uint8_t *deblock_qp_table;
    uint8_t *scratch;                         // search, motion estimation, RDOQ, SAO
    uint8_t *search_work[2];
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

// The state of the picture a frame instance codes that the next frame
// instance in the rotation starts from: the last picture's slice record,
// reference set and lists, and its source and reconstruction (the
// reconstruction goes into the next picture's reference list). Set up on the
// caller's thread before the rows are registered; the rows only read it.
struct picture_state {
    uint32_t nal_unit_type;
    int32_t slice_class;                      // 2 I, 1 P, 0 B
    slice_header sh;
    short_term_rps rps;
    picture *source_picture;
    picture *recon_picture;
    int32_t ref_count_l0;
    picture *list0[ENCODER_MAX_REFS];
    int32_t ref_count_l1;
    picture *list1[ENCODER_MAX_REFS];
    int16_t active_refs[2];
    int32_t rps_pocs[2][PICTURE_MAX_REFS];    // every kept picture, nearest first
    int32_t rps_pocs_count[2];
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

// One picture in flight.
struct frame_instance {
    encoder_instance *enc;                    // borrowed
    row_context *row0;                        // own: the context coding CTU row 0
    picture_state pic;                        // handed on to the next frame instance
    picture_list *reference_list;             // own; references handed on by the previous frame instance
    int32_t submitted;                        // the picture's rows are registered and not yet collected
    int32_t first_row_context;                // row rotation position of row 1

    // output
    frame_bitstream bitstream;                // NAL list, bitstream buffer and writer
    uint8_t *substream_buffer;                // the single substream without wavefront rows, and row 0's
    int32_t substream_size;                   // with them
    int32_t *substream_sizes;                 // one per CTU row; element -1 = bytes copied so far
    int32_t *substream_sizes_block;
    uint8_t *slice_data;
    ep_scan_state ep_state;                   // emulation-prevention count across row substreams

    // picture buffers shared by the rows
    ctu_picture_tables tables;
    uint8_t *recon_planes[3];
    int32_t recon_strides[3];

    ratecontrol *rc;                          // own record of the rate control
    statistics_block stats;
};

// The encoder.
struct encoder_instance {
    internal_config config;                   // the validated configuration

    // layer
    uint32_t temporal_id;
    int32_t bitstream_count;
    encoder_instance *higher;
    encoder_instance *lower;

    // records and their rotation (caller's thread)
    frame_instance **frame_instances;
    row_context **row_contexts;
    int32_t frame_instance_count;
    int32_t row_context_count;
    int32_t open_complete;                    // every open step succeeded
    int32_t fi_rotation;                      // the frame instance of the last call
    int32_t row_rotation;                     // the row context next given row 1

    // workers
    job_pool *pool;
    row_scheduler *scheduler;
    thread_handle **ctu_threads;
    ctu_thread_work *ctu_work;                // one per CTU thread
    int32_t ctu_thread_count;
    int32_t *job_failed;                      // sticky: a CTU job failed
    int32_t *jobs_run;                        // CTU jobs started (failure injection)
    encoder_shared *shared;                   // what the layers' records share
    tv_mutex *instance_lock;                  // guards the picture control slot
    picture_control *control_slot;            // value of the most recently submitted picture; the
                                              // CTU jobs take each picture's own value from its source

    // output
    au_buffer *au;                            // shared access-unit buffer
    int32_t substream_size;                   // first size of every substream buffer
    int32_t slice_data_size;

    // the sequence (caller's thread)
    int32_t coding_number;
    int32_t irap_count;
    int32_t received;
    int32_t delay;
    int32_t p_ref_limit;
    int32_t b_ref_limit;
    picture_list *coding_queue;               // decided pictures in coding order
    picture_pools *pools;                     // source and reconstruction pools
    coding_totals totals;

    // parameter sets and geometry
    vps_params vps;
    sps_params sps;
    pps_params pps;
    int32_t width, height;
    int32_t ctu_cols, ctu_rows, ctu_count;
    int32_t blk16_cols, blk16_rows;
    int32_t blk16_stride;                     // 4 x CTU columns
    int32_t blk4_cols;
    int32_t mv_min_full[2], mv_max_full[2];
    int32_t mv_min_qpel[2], mv_max_qpel[2];
    picture_geometry pic_geometry;

    // lookahead
    lookahead *la;
    uint8_t *lookahead_scratch;
    tv_mutex *lookahead_claim_lock;           // only with a job pool
    tv_mutex *lookahead_sum_lock;
    int32_t blk8_count;

    // kernels and the tables of the search
    transform_table transform;
    quant_table quant;
    mc_table mc;
    deblock_table deblock;
    metric_table metric;
    intra_pred_table intra_pred;
    sao_table sao;
    rd_tables *rd;
    scan_tables *scans;
    encoder_fault_hooks faults;
};

// What one collected picture hands back.
struct frame_output {
    uint32_t type;
    int64_t pts;
    int64_t dts;
    int32_t height[3];
    int32_t width[3];
    int32_t stride[3];
    uint8_t *plane[3];
    float psnr_y, psnr_u, psnr_v;
    float psnr_global;
    float mean_qp;
};

// ---- open and close --------------------------------------------------------------

[[nodiscard]] encoder_instance *encoder_open(internal_config *config);
[[nodiscard]] encoder_instance *encoder_instance_open(internal_config *config, int32_t layer, encoder_instance *higher);
void encoder_close_chain(encoder_instance *handle);
void encoder_instance_free(encoder_instance *inst);
void row_context_free(row_context *row);
uint32_t encoder_pending_count(encoder_instance *handle);

// ---- per-picture driver ------------------------------------------------------------

[[nodiscard]] int32_t encoder_encode_frame(encoder_instance *inst, nal_entry **out_nals, uint32_t *out_nal_count,
                             input_frame *input, frame_output *out);
// Both return 0, or -1 when a reference finds no room in the reference list.
[[nodiscard]] int32_t frame_instance_handover(frame_instance *cur, frame_instance *prev);
// Once a frame instance's reference list has been handed on, only its own
// picture reads it, through list 0 and list 1, and only while it is being
// coded: every other entry is released, so that a reference leaves with its
// sub-sample planes as soon as the newer lists drop it too.
void references_keep_predicted(frame_instance *fi);
[[nodiscard]] int32_t dpb_update(frame_instance *fi);
void ref_lists_build(frame_instance *fi, int32_t poc, int32_t ra_period);
void ref_list1_from_list0(frame_instance *fi);
void slice_header_fill(frame_instance *fi, int32_t qp);
// Gives row y of fi's current picture to a row context.
void row_context_assign(row_context *row, frame_instance *fi, int32_t y);
void config_restore(row_context *ctx);
// The context that codes row y of fi's current picture.
row_context *row_context_of(const frame_instance *fi, int32_t y);

// ---- output collection -------------------------------------------------------------

[[nodiscard]] int32_t encoder_collect_output(frame_instance *fi, frame_instance *cur, nal_entry **out_nals,
                               uint32_t *out_nal_count, frame_output *out);
void picture_ssd_compute(frame_instance *fi);
// PSNR of one plane from its SSD and visible sample count.
float psnr_from_ssd(uint64_t ssd, int64_t samples);
void encoder_report_print(const encoder_instance *inst);

// ---- CTU threads and the CTU job ---------------------------------------------------

// What one CTU thread owns: the scheduler it takes rows from and, when
// references carry sub-sample planes, the 16-bit horizontal planes of one band
// of their build (subpel_band_bytes), which it lends to the context whose CTU
// it codes.
struct ctu_thread_work {
    row_scheduler *scheduler;
    int16_t *hplane_band;
};
uint64_t ctu_worker_main(uint64_t work);
[[nodiscard]] int32_t ctu_job_encode(row_context *ctx);
int32_t substream_reserve(row_context *ctx);

// ---- CTU context -------------------------------------------------------------------

[[nodiscard]] int32_t ctu_tables_alloc(row_context *row);
void ctu_tables_free(row_context *row);
[[nodiscard]] int32_t picture_tables_alloc(frame_instance *fi);
void picture_tables_free(frame_instance *fi);
[[nodiscard]] int32_t thread_scratch_alloc(row_context *ctx);
void thread_scratch_free(row_context *ctx);
void frame_recon_pointers_load(frame_instance *fi);
void ctu_work_pointers_init(row_context *ctx);
void ctu_begin(row_context *ctx, int32_t x, int32_t y, int32_t address);
void ctu_load_neighbours(row_context *ctx, int32_t slice_type, uint32_t avail);
void ctu_set_ref_pointers(row_context *ctx, int32_t plane);
void ctu_end(row_context *ctx);
void ctu_store_mode_map(row_context *ctx, int32_t list_count);
// Node index in the decision arrays of a node of log2 size s at 4x4 z-index z.
int32_t cu_node_index(int32_t log2_size, int32_t z);
// Position in the per-8x8 maps of the 8x8 unit holding 4x4 z-index z.
int32_t map8_index(int32_t z);

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
