// Opening an encoder: the encoder record with its shared tables, pools, lists,
// scheduler and CTU threads, then the frame instances and row contexts, each
// with its own buffers. Any failure frees everything built
// so far (joining the threads once they run) and returns no encoder.
#include <cstdio>
#include <cstring>

#include "analysis/motion/quarter_window.h"
#include "bitstream/param_sets_fill.h"
#include "encoder/encoder_instance.h"
#include "encoder/encoder_rd.h"
#include "encoder/encoder_shared.h"
#include "encoder/int_math.h"
#include "encoder/job_pool.h"
#include "encoder/lambda_tables.h"
#include "encoder/memory.h"
#include "encoder/picture_list.h"
#include "encoder/row_scheduler.h"
#include "encoder/source_picture.h"

namespace {

// Once the lookahead is full, source pictures come and go about one per
// call, so a released one need only wait for the next inputs: the source pool
// keeps this many and frees the others (which nothing would take at the end of
// the input, or after the pictures that filled the lookahead are coded).
enum { SOURCE_POOL_SPARES = 2 };

// Set by tests on their own thread for the next open on that thread.
thread_local encoder_fault_hooks pending_faults;


param_set_inputs param_set_inputs_from_config(const internal_config *cfg)
{
    param_set_inputs in;
    std::memset(&in, 0, sizeof(in));
    in.width = cfg->width - cfg->pad_w;
    in.height = cfg->height - cfg->pad_h;
    in.interlace = cfg->interlace;
    in.bframes = cfg->bframes;
    in.hierarchy = cfg->hierarchy < 0 ? 0 : cfg->hierarchy;
    in.prefs = cfg->prefs;
    in.brefs = cfg->brefs;
    in.complexity = cfg->complexity;
    in.sao = cfg->sao;
    in.strong_intra_smoothing = cfg->strong_intra_smoothing;
    in.tmvp = cfg->tmvp;
    in.sign_data_hiding = 0;
    in.wpp = cfg->wpp > 0;
    in.rc_mode = cfg->rc_mode;
    in.qp = cfg->qp;
    in.mbtree = cfg->mbtree > 0;
    in.vbv_bufsize = cfg->vbv_bufsize;
    in.aspect_ratio_idc = cfg->aspect_ratio_idc;
    in.sar_num = cfg->sar_num;
    in.sar_den = cfg->sar_den;
    in.fps_num = cfg->fps_num;
    in.fps_den = cfg->fps_den;
    return in;
}

// Picture state, geometry and motion-vector bounds.
void fill_geometry(encoder_instance *inst)
{
    const internal_config *cfg = &inst->config;
    inst->bitstream_count = cfg->bitstream_count > 0 ? cfg->bitstream_count : 1;
    inst->width = cfg->width;
    inst->height = cfg->height;
    inst->temporal_id = 0;
    inst->delay = max_i32(cfg->bframes, cfg->lookahead);
    inst->coding_number = -1;
    inst->irap_count = -1;
    inst->received = 0;
    inst->p_ref_limit = cfg->prefs;
    inst->b_ref_limit = cfg->brefs < 3 ? cfg->brefs : 3;
    inst->ctu_cols = (inst->width + 63) / 64;
    inst->ctu_rows = (inst->height + 63) / 64;
    inst->ctu_count = inst->ctu_cols * inst->ctu_rows;
    inst->blk16_cols = (inst->width + 15) / 16;
    inst->blk16_rows = (inst->height + 15) / 16;
    inst->blk16_stride = inst->ctu_cols * 4;
    inst->blk4_cols = (inst->width + 3) / 4;
    inst->blk8_count = ((inst->height + 7) / 8) * ((inst->width + 7) / 8);
    // Down, a vector reaches the vertical margin, which sets the row lag;
    // right, its own reach, which sets the column lag; left and up, 500
    // samples, which no lag needs.
    int32_t reach[2] = {config_mv_reach_right(cfg), cfg->mv_margin_v};
    for (int k = 0; k < 2; k++) {
        inst->mv_min_full[k] = -500;
        inst->mv_max_full[k] = reach[k];
        inst->mv_min_qpel[k] = -2000;
        inst->mv_max_qpel[k] = 4 * reach[k] + 3;
    }
    picture_geometry *g = &inst->pic_geometry;
    g->width = inst->width;
    g->height = inst->height;
    g->ctu_cols = inst->ctu_cols;
    g->ctu_rows = inst->ctu_rows;
    g->bframes = cfg->bframes;
    g->aq = cfg->aq_mode != 0 || cfg->mbtree > 0;
    g->motion_l1 = cfg->bframes > 0 || cfg->p_as_b;
    g->subpel_planes = cfg->me_subpel_planes != 0;
    g->halfres_recon = cfg->coarse_me != 0;
}

int shared_open(encoder_instance *inst)
{
    encoder_shared *sh = (encoder_shared *)aligned_malloc((int32_t)sizeof(encoder_shared));
    if (!sh) return -1;
    std::memset(sh, 0, sizeof(*sh));
    inst->shared = sh;
    inst->control_slot = &sh->control_slot;
    inst->job_failed = &sh->job_failed;
    inst->jobs_run = &sh->jobs_run;
    inst->au = &sh->au;
    inst->pools = &sh->pools;
    inst->scans = &sh->scans;
    if (mutex_init(&sh->instance_lock) != 0) return -1;
    sh->locks_made |= 1;
    inst->instance_lock = &sh->instance_lock;
    return 0;
}

bool pool_needed(const internal_config *cfg)
{
    return cfg->mbtree > 0 || (cfg->rc_mode >= RC_MODE_ABR && cfg->rc_mode <= RC_MODE_CRF) || cfg->scenecut != 0 ||
           cfg->vbv_bufsize != 0;
}

// The job pool with its scratch blocks and the two job-counter locks.
int workers_open(encoder_instance *inst)
{
    const internal_config *cfg = &inst->config;
    if (!pool_needed(cfg)) return 0;
    int32_t threads = cfg->pool_threads > 0 ? cfg->pool_threads : 1;
    if (job_pool_create(&inst->pool, threads, nullptr, 0) != 0) return -1;
    encoder_shared *sh = inst->shared;
    if (mutex_init(&sh->claim_lock) != 0) return -1;
    sh->locks_made |= 2;
    if (mutex_init(&sh->sum_lock) != 0) return -1;
    sh->locks_made |= 4;
    inst->lookahead_claim_lock = &sh->claim_lock;
    inst->lookahead_sum_lock = &sh->sum_lock;
    int64_t bytes = (int64_t)threads * LOOKAHEAD_SCRATCH_BYTES;
    if (bytes > 0x7FFFFFFF - 64) return -1;
    inst->lookahead_scratch = (uint8_t *)aligned_malloc((int32_t)bytes);
    if (!inst->lookahead_scratch) return -1;
    std::memset(inst->lookahead_scratch, 0, (size_t)bytes);
    // Each block carries two per-CTU arrays in its third and fourth words.
    for (int32_t t = 0; t < threads; t++) {
        uint8_t *block = inst->lookahead_scratch + (int64_t)t * LOOKAHEAD_SCRATCH_BYTES;
        for (int k = 0; k < 2; k++) {
            void *array = aligned_malloc(4 * inst->ctu_count);
            std::memcpy(block + 16 + 8 * k, &array, sizeof(array));
            if (!array) return -1;
        }
    }
    return 0;
}

// The CTU threads; they wait in the scheduler until rows arrive.
// Each owns the search work blocks, the CTU scratch and the band of 16-bit
// planes that the sub-sample builds go through.
int ctu_threads_start(encoder_instance *inst)
{
    const internal_config *cfg = &inst->config;
    int32_t n = cfg->working_threads > 0 ? cfg->working_threads : 1;
    inst->ctu_threads = (thread_handle **)aligned_calloc((int32_t)sizeof(thread_handle *) * n);
    inst->ctu_work = (ctu_thread_work *)aligned_calloc((int32_t)sizeof(ctu_thread_work) * n);
    if (!inst->ctu_threads || !inst->ctu_work) return -1;
    inst->ctu_thread_count = n;
    int64_t band = cfg->me_subpel_planes && cfg->filter_variant ? subpel_band_bytes(picture_luma_stride(&inst->pic_geometry)) : 0;
    if (band > 0x7FFFFFFF - 64) return -1;
    for (int32_t t = 0; t < n; t++) {
        ctu_thread_work *work = &inst->ctu_work[t];
        work->scheduler = inst->scheduler;
        if (band > 0 && !(work->hplane_band = (int16_t *)aligned_malloc((int32_t)band))) return -1;
        if (cfg->me_subpel_planes && !(work->quarter = quarter_window_create())) return -1;
        if (thread_scratch_alloc(work) != 0) return -1;
        if (thread_create(&inst->ctu_threads[t], nullptr, ctu_worker_main, (uint64_t)(uintptr_t)work) != 0)
            return -1;
    }
    return 0;
}

// One row context: the CTU work buffers and, with wavefront rows, its own
// substream buffer (without them every row writes into its frame instance's).
row_context *row_context_build(encoder_instance *inst)
{
    row_context *row = (row_context *)aligned_calloc((int32_t)sizeof(row_context));
    if (!row) return nullptr;
    row->enc = inst;
    row->config = inst->config;
    row->assigned_frame = -1;
    if (inst->config.wpp > 0) {
        row->substream_size = inst->substream_size;
        row->substream_buffer = (uint8_t *)aligned_malloc(inst->substream_size);
    }
    if ((inst->config.wpp > 0 && !row->substream_buffer) || ctu_tables_alloc(row) != 0) {
        row_context_free(row);
        return nullptr;
    }
    return row;
}

// One frame instance: its reference list, reconstruction, output buffers,
// picture tables and the context of its row 0.
int frame_instance_build(encoder_instance *inst, frame_instance *fi)
{
    const internal_config *cfg = &inst->config;
    fi->enc = inst;
    fi->reference_list = picture_list_create(cfg->prefs + 4);
    if (!fi->reference_list) return -1;
    fi->pic.recon_picture = picture_get(inst->pools, PICTURE_POOL_RECON);
    if (!fi->pic.recon_picture) return -1;
    fi->pic.recon_picture->is_reference = 0;
    fi->pic.recon_picture->frame_number = -1;
    fi->substream_sizes_block = (int32_t *)aligned_malloc(4 * (inst->ctu_rows + 1));
    if (!fi->substream_sizes_block) return -1;
    std::memset(fi->substream_sizes_block, 0, 4 * (size_t)(inst->ctu_rows + 1));
    fi->substream_sizes = fi->substream_sizes_block + 1;
    int32_t nal_capacity = (cfg->interlace != 0 ? 7 : 5) + inst->bitstream_count;
    if (frame_bitstream_open(&fi->bitstream, nal_capacity, inst->slice_data_size) != 0) return -1;
    fi->slice_data = (uint8_t *)aligned_malloc(inst->slice_data_size);
    if (!fi->slice_data) return -1;
    if (cfg->wpp <= 0) {
        fi->substream_size = inst->substream_size;
        fi->substream_buffer = (uint8_t *)aligned_malloc(inst->substream_size);
        if (!fi->substream_buffer) return -1;
    }
    if (picture_tables_alloc(fi) != 0) return -1;
    fi->row0 = row_context_build(inst);
    return fi->row0 ? 0 : -1;
}

int sizes_set(encoder_instance *inst)
{
    int64_t bs = 5 * (int64_t)inst->width * inst->height;
    if (bs < 1000000) bs = 1000000;
    int64_t sub = 320 * (int64_t)inst->width;
    if (sub < 200000) sub = 200000;
    int64_t au = ((3 * bs) / 2 + 4) * inst->bitstream_count;
    if (au > 0x7FFFFFFF - 64 || sub > 0x7FFFFFFF - 64) return -1;
    inst->slice_data_size = (int32_t)bs;
    inst->substream_size = (int32_t)sub;
    return au_buffer_open(inst->au, (int32_t)au);
}

bool fault_at(const encoder_instance *inst, open_stage stage)
{
    return inst->faults.fail_open_at_step == stage;
}

// One kernel table per family, for the instruction sets the CPU has.
void kernel_tables_init(encoder_instance *inst)
{
    const internal_config *cfg = &inst->config;
    transform_table_init(cfg->cpu_flags, &inst->transform);
    quant_table_init(cfg->cpu_flags, &inst->quant);
    mc_table_init(cfg->cpu_flags, &inst->mc);
    deblock_table_init(cfg->cpu_flags, &inst->deblock);
    metric_table_init(cfg->cpu_flags, &inst->metric, cfg->metric_selector);
    intra_pred_table_init(cfg->cpu_flags, &inst->intra_pred);
    sao_table_init(cfg->cpu_flags, &inst->sao);
}

void parameter_sets_init(encoder_instance *inst)
{
    param_set_inputs in = param_set_inputs_from_config(&inst->config);
    vps_record_init(&inst->vps, &in);
    sps_record_init(&inst->sps, 0, &in, &inst->vps);
    pps_record_init(&inst->pps, 0, &in, &inst->sps);
}

// The coding queue, the picture pools and the scratch of the low-resolution
// sub-sample phases.
int picture_stores_open(encoder_instance *inst)
{
    const internal_config *cfg = &inst->config;
    int32_t n = cfg->frame_instances;
    inst->coding_queue = picture_list_create(n + 3 + inst->delay);
    if (!inst->coding_queue) return -1;
    if (picture_pools_init(inst->pools, &inst->pic_geometry, SOURCE_POOL_SPARES, n + 20 + inst->delay, nullptr) != 0)
        return -1;
    if (cfg->subpel_level >= 3) {
        int64_t bytes = lowres_phase_scratch_bytes(picture_lowres_stride(&inst->pic_geometry));
        if (bytes > 0x7FFFFFFF - 64) return -1;
        inst->shared->lowres_phase_scratch = (uint8_t *)aligned_malloc((int32_t)bytes);
        if (!inst->shared->lowres_phase_scratch) return -1;
    }
    return 0;
}

int scheduler_open(encoder_instance *inst)
{
    const internal_config *cfg = &inst->config;
    int32_t lag = config_reference_row_lag(cfg), col_lag = config_reference_col_lag(cfg);
    int32_t slots = (cfg->latency_mode > 0 ? 6 * cfg->bframes + 7 : 4 * cfg->prefs + 1) + cfg->frame_instances;
    inst->scheduler = row_sched_create(inst->ctu_cols, inst->ctu_rows, lag, col_lag, slots, (uint32_t)cfg->latency_mode,
                                       cfg->wpp > 0 ? 1u : 0u);
    if (!inst->scheduler) return -1;
    inst->pools->scheduler = inst->scheduler;
    return 0;
}

// The encoder record and everything the frame instances and row contexts
// borrow from it, up to the CTU threads.
int record_open(encoder_instance *inst, internal_config *config, encoder_instance *higher)
{
    if (fault_at(inst, OPEN_RECORD)) return -1;
    if (config_validate(&inst->config) != 0) return -1;
    *config = inst->config;
    if (fault_at(inst, OPEN_CONFIG_VALIDATED)) return -1;
    fill_geometry(inst);
    inst->lower = nullptr;
    inst->higher = higher;
    if (higher) higher->lower = inst;
    if (shared_open(inst) != 0 || fault_at(inst, OPEN_GEOMETRY)) return -1;
    kernel_tables_init(inst);
    if (fault_at(inst, OPEN_KERNEL_TABLES)) return -1;
    inst->rd = encoder_rd_open(&inst->config, higher ? higher->rd : nullptr);
    if (!inst->rd || fault_at(inst, OPEN_RD_TABLES)) return -1;
    parameter_sets_init(inst);
    if (fault_at(inst, OPEN_PARAMETER_SETS)) return -1;
    if (scan_tables_init(inst->scans) != 0 || fault_at(inst, OPEN_SCAN_TABLES)) return -1;
    if (picture_stores_open(inst) != 0 || fault_at(inst, OPEN_PICTURE_POOLS)) return -1;
    if (sizes_set(inst) != 0 || fault_at(inst, OPEN_BUFFER_SIZES)) return -1;
    if (workers_open(inst) != 0 || fault_at(inst, OPEN_JOB_POOL)) return -1;
    if (scheduler_open(inst) != 0 || fault_at(inst, OPEN_ROW_SCHEDULER)) return -1;
    if (ctu_threads_start(inst) != 0 || fault_at(inst, OPEN_CTU_THREADS)) return -1;
    return 0;
}

// The frame instances, row contexts, lookahead and rate control.
int records_open(encoder_instance *inst, internal_config *config)
{
    int32_t n = inst->frame_instance_count, r = inst->row_context_count;
    inst->frame_instances = (frame_instance **)aligned_calloc((int32_t)sizeof(frame_instance *) * n);
    inst->row_contexts = (row_context **)aligned_calloc((int32_t)sizeof(row_context *) * (r > 0 ? r : 1));
    if (!inst->frame_instances || !inst->row_contexts) return -1;
    for (int32_t k = 0; k < n; k++) {
        inst->frame_instances[k] = (frame_instance *)aligned_calloc((int32_t)sizeof(frame_instance));
        if (!inst->frame_instances[k]) return -1;
    }
    if (fault_at(inst, OPEN_RECORDS)) return -1;
    lookahead_links links;
    links.cfg = &inst->config;
    links.pools = inst->pools;
    links.coding_queue = inst->coding_queue;
    links.lookahead_delay = inst->delay;
    links.pool = inst->pool;
    links.metric = &inst->metric;
    links.mc = &inst->mc;
    links.intra = &inst->intra_pred;
    links.mv_cost = &inst->rd->mv_cost;
    if (lookahead_init(&inst->la, &links, inst->delay + 3) != 0 || fault_at(inst, OPEN_LOOKAHEAD)) return -1;
    for (int32_t k = 0; k < n; k++)
        if (frame_instance_build(inst, inst->frame_instances[k]) != 0) return -1;
    if (fault_at(inst, OPEN_FRAME_INSTANCES)) return -1;
    for (int32_t k = 0; k < r; k++)
        if (!(inst->row_contexts[k] = row_context_build(inst))) return -1;
    if (fault_at(inst, OPEN_ROW_CONTEXTS)) return -1;
    ratecontrol *first = nullptr;
    if (ratecontrol_new(&first, &inst->config) < 0) return -1;
    for (int32_t k = 0; k < n; k++) inst->frame_instances[k]->rc = first + k;
    if (fault_at(inst, OPEN_RATE_CONTROL)) return -1;
    // Rate control may have adjusted the configuration: every row context's
    // working copy takes it.
    *config = inst->config;
    for (int32_t k = 0; k < n; k++) inst->frame_instances[k]->row0->config = inst->config;
    for (int32_t k = 0; k < r; k++) inst->row_contexts[k]->config = inst->config;
    if (fault_at(inst, OPEN_CONFIG_SHARED)) return -1;
    inst->open_complete = 1;
    return 0;
}

}  // namespace

void encoder_fault_hooks_set(const encoder_fault_hooks *hooks)
{
    if (hooks) pending_faults = *hooks;
    else std::memset(&pending_faults, 0, sizeof(pending_faults));
}

encoder_instance *encoder_instance_open(internal_config *config, int32_t layer, encoder_instance *higher)
{
    (void)layer;
    encoder_instance *inst = (encoder_instance *)aligned_malloc((int32_t)sizeof(encoder_instance));
    if (!inst) return nullptr;
    std::memset(inst, 0, sizeof(*inst));
    inst->config = *config;
    inst->faults = pending_faults;
    std::memset(&pending_faults, 0, sizeof(pending_faults));
    if (record_open(inst, config, higher) != 0) {
        encoder_instance_free(inst);
        return nullptr;
    }
    inst->frame_instance_count = inst->config.frame_instances > 0 ? inst->config.frame_instances : 1;
    inst->row_context_count = inst->config.row_contexts;
    if ((int64_t)inst->frame_instance_count + inst->row_context_count > CONFIG_INSTANCE_SLOTS ||
        (inst->row_context_count == 0 && inst->ctu_rows > 1)) {
        std::fprintf(stderr, "Error: no row contexts for %d CTU rows\n", inst->ctu_rows);
        encoder_instance_free(inst);
        return nullptr;
    }
    if (records_open(inst, config) != 0) {
        encoder_instance_free(inst);
        return nullptr;
    }
    return inst;
}

encoder_instance *encoder_open(internal_config *config)
{
    encoder_instance *higher = nullptr, *first = nullptr;
    int32_t layers = config->layer_count > 0 ? config->layer_count : 1;
    for (int32_t layer = layers - 1; layer >= 0; layer--) {
        encoder_instance *inst = encoder_instance_open(config, layer, higher);
        if (!inst) {
            encoder_close_chain(first);
            return nullptr;
        }
        if (!first) first = inst;
        higher = inst;
    }
    return first;
}
