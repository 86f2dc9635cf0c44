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
// Leaf code takes the narrowest record it needs. The frame instance and the
// row context are defined in encoder/frame_instance.h and
// encoder/row_context.h; this header brings all three.
#pragma once
#include <cstdint>

#include "bitstream/param_sets.h"
#include "encoder/config.h"
#include "encoder/frame_instance.h"
#include "encoder/platform/platform.h"
#include "encoder/row_context.h"
#include "filters/deblock/deblock.h"
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
struct picture_list;
struct encoder_shared;
struct rd_tables;
struct ctu_thread_work;

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
    OPEN_RECORDS,                 // the frame-instance and row-context records
    OPEN_LOOKAHEAD,
    OPEN_FRAME_INSTANCES,
    OPEN_ROW_CONTEXTS,
    OPEN_RATE_CONTROL,
    OPEN_CONFIG_SHARED,           // every row context works on the final configuration
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

// The running totals of the collected pictures that the close report prints.
// Classes: 0 B, 1 P, 2 I.
struct coding_totals {
    int64_t class_bytes[3];
    int32_t class_pictures[3];
    double psnr_sum[3][3];            // [class][plane]
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
    int32_t keyframe_early;                   // the first picture is coded while the lookahead fills

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
    int32_t input_ended;                      // a call without a picture has come: received is all
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

// ---- open and close --------------------------------------------------------------

[[nodiscard]] encoder_instance *encoder_open(internal_config *config);
[[nodiscard]] encoder_instance *encoder_instance_open(internal_config *config, int32_t layer, encoder_instance *higher);
void encoder_close_chain(encoder_instance *handle);
void encoder_instance_free(encoder_instance *inst);
uint32_t encoder_pending_count(encoder_instance *handle);

// ---- per-picture driver ------------------------------------------------------------

[[nodiscard]] int32_t encoder_encode_frame(encoder_instance *inst, nal_entry **out_nals, uint32_t *out_nal_count,
                             input_frame *input, frame_output *out);
void encoder_report_print(const encoder_instance *inst);
