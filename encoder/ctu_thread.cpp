// The CTU threads and the CTU job. Each thread takes a ready CTU row from the
// scheduler, codes exactly one CTU of it through every stage and reports it.
// A failed job marks its picture (and the pictures predicting from it) failed
// and done, so no waiter hangs; the thread goes on serving other rows.
#include <cstring>

#include "analysis/mode_decision.h"
#include "bitstream/ctu_syntax.h"
#include "encoder/encoder_instance.h"
#include "encoder/memory.h"
#include "encoder/row_scheduler.h"
#include "encoder/encoder_rd.h"

namespace {

bool fault_injected(const encoder_instance *enc)
{
    int32_t at = enc->faults.fail_ctu_job_at;
    if (at <= 0) return false;
    return __atomic_add_fetch(enc->jobs_run, 1, __ATOMIC_ACQ_REL) == at;
}

// Row start: rate control's row state, work pointers and the coder of the row.
void row_start(row_context *ctx, frame_instance *fi)
{
    const encoder_instance *enc = ctx->enc;
    std::memset(&ctx->row_stats, 0, sizeof(ctx->row_stats));
    rc_ctu_context *r = &ctx->rcc;
    r->rc = fi->rc;
    r->cfg = &ctx->config;
    r->lambdas = encoder_rd_lambdas(enc->rd);
    r->source = fi->pic.source_picture;
    r->recon = fi->pic.recon_picture;
    r->slice_class = fi->pic.slice_class;
    r->block_stride = enc->blk16_stride;
    r->qp_map = ctx->ctu.maps.cu_qp_map;
    r->qp_plan_row_sum = r->qp_coded_row_sum = 0.0f;
    r->cbr_ctu_ratio = 1.0;
    ctu_work_pointers_init(ctx);
    ctx->cabac = ctx->cabac_handover;
    const internal_config *cfg = &ctx->config;
    bool wpp = cfg->wpp > 0;
    const slice_header *sh = &fi->pic.sh;
    if (ctx->ctu_y == 0 || (wpp && enc->ctu_cols == 1))
        cabac_init_contexts(&ctx->cabac, sh->slice_type, sh->slice_qp, cfg->compat);
    if (ctx->ctu_y == 0 || wpp) {
        // Without wavefront rows every row continues the frame instance's
        // single substream, which row 0 starts.
        uint8_t *buffer = wpp ? ctx->substream_buffer : fi->substream_buffer;
        int32_t size = wpp ? ctx->substream_size : fi->substream_size;
        cabac_encoder_init(&ctx->cabac, buffer, buffer + size);
        ctx->qp_prev = sh->slice_qp;
    } else {
        ctx->qp_prev = ctx->handover_qp_prev;
    }
}

// The per-picture value comes from the picture being coded, so that every
// picture's CTUs see the value submitted with that picture even while later
// pictures are being submitted.
void picture_control_step(row_context *ctx, int32_t address)
{
    uint32_t remembered = address == 0 ? (uint32_t)USER_HI_FIRST_CTU : ctx->control.user_hi;
    if (address == 0 || ctx->ctu_x == 0) {
        uint64_t v = ctx->fi->pic.source_picture->user_value;
        ctx->control.user_hi = (uint32_t)(v >> 32);
        ctx->control.user_lo = (uint32_t)v;
    }
    if (remembered != ctx->control.user_hi) config_restore(ctx);
    int32_t number = ctx->fi->pic.recon_picture->frame_number;
    const encoder_fault_hooks *faults = &ctx->enc->faults;
    if (address == 0 && faults->seen_values && number >= 0 && number < faults->seen_count)
        faults->seen_values[number] = ((uint64_t)ctx->control.user_hi << 32) | ctx->control.user_lo;
}

void search(row_context *ctx)
{
    int32_t type = (int32_t)ctx->fi->pic.source_picture->picture_type;
    // The thorough complexities take the quick per-CU decisions.
    if (complexity_is_thorough(ctx->ctu.speed_level)) {
        if (type == PIC_TYPE_IDR || type == PIC_TYPE_CRA || type == PIC_TYPE_I) ctu_search_fast_intra(ctx);
        else ctu_search_fast_inter(ctx);
    } else {
        ctu_search_rdo(ctx, ctx->ctu.speed_level);
    }
}

// What deblocking reads of the context coding the CTU: the CTU's decided
// maps and the picture's boundary-strength map and planes.
void deblock_context_fill(row_context *ctx, deblock_context *d)
{
    ctu_context *c = &ctx->ctu;
    const encoder_instance *enc = ctx->enc;
    picture *rec = ctx->fi->pic.recon_picture;
    d->maps = &c->maps;
    d->motion = &c->motion;
    d->decisions = &c->decision;
    d->pic_width = enc->width;
    d->pic_height = enc->height;
    d->ctu_cols = enc->ctu_cols;
    d->slice_type = (uint32_t)ctx->fi->pic.sh.slice_type;
    d->picture_type = (int32_t)rec->picture_type;
    d->cu_qp_delta_enabled = enc->pps.cu_qp_delta_enabled ? 1u : 0u;
    d->max_tu_depth_inter = enc->sps.max_tu_depth_inter;
    d->max_tu_depth_intra = enc->sps.max_tu_depth_intra;
    d->ctu_x = c->x;
    d->ctu_y = c->y;
    d->ctu_addr = c->address;
    d->ctu_min_block_size = c->min_block;
    d->deblock_bs_map = (int8_t *)ctx->fi->tables.deblock_bs_map;
    d->deblock_qp_table = (int8_t *)c->deblock_qp_table;
    for (int p = 0; p < 3; p++) {
        d->deblock_planes[p] = rec->deblock_planes[p];
        d->strides[p] = (uint32_t)rec->strides[p];
    }
    d->table = &enc->deblock;
}

// The row's coder after its first CTUs (wavefront rows) or its last, and the
// QP it ended with, to the row below.
void handover_to(const row_context *ctx, const frame_instance *fi, int32_t row)
{
    row_context *next = row_context_of(fi, row);
    next->cabac_handover = ctx->cabac;
    next->handover_qp_prev = ctx->qp_prev;
}

// Emulation-prevention bytes that the NAL writer will add inside these bytes,
// which the entry points of the final syntax count.
int32_t substream_escapes(frame_instance *fi, const uint8_t *data, int32_t n)
{
    if (fi->enc->config.compat <= 100) return 0;
    return emulation_prevention_scan(&fi->ep_state, data, n);
}

int32_t row_end(row_context *ctx, frame_instance *fi)
{
    int32_t y = ctx->ctu_y, rows = ctx->enc->ctu_rows, cols = ctx->enc->ctu_cols;
    bool wpp = ctx->config.wpp > 0;
    if (wpp && cols == 2 && y + 1 < rows) handover_to(ctx, fi, y + 1);
    int32_t n = 0;
    if (y == rows - 1 || wpp) {
        if (y == rows - 1) cabac_flush(&ctx->cabac);
        else cabac_encode_terminate_flush(&ctx->cabac, ctx->config.compat);
        n = (int32_t)(ctx->cabac.buf_cur - ctx->cabac.buf_start);
        int32_t *total = &fi->substream_sizes[-1];
        if ((int64_t)*total + n > ctx->enc->slice_data_size || ctx->cabac.overflow) return -1;
        std::memcpy(fi->slice_data + *total, ctx->cabac.buf_start, (size_t)n);
        *total += n;
        n += substream_escapes(fi, fi->slice_data + *total - n, n);
    } else {
        cabac_encode_terminate0(&ctx->cabac);
        handover_to(ctx, fi, y + 1);
    }
    fi->substream_sizes[y] = n;
    row_statistics *sum = &fi->stats.picture_sums;
    for (int k = 0; k < 3; k++) sum->bits[k] += ctx->row_stats.bits[k];
    sum->intra_area += ctx->row_stats.intra_area;
    sum->skip_area += ctx->row_stats.skip_area;
    sum->log_lambda_sum += ctx->row_stats.log_lambda_sum;
    sum->log_lambda_count += ctx->row_stats.log_lambda_count;
    rc_accumulate_ctu_qp(&ctx->rcc);
    if (y != rows - 1) return 0;
    // Measured at every log level: the PSNR that the encode call returns is
    // never a placeholder.
    picture_ssd_compute(fi);
    slice_frame_state fs;
    fs.nal_unit_type = (int32_t)fi->pic.nal_unit_type;
    fs.compat = fi->enc->config.compat;
    fs.ctu_rows = rows;
    fs.substream_sizes = fi->substream_sizes;
    fs.rps = &fi->pic.rps;
    return slice_nal_append(&fi->bitstream, fi->pic.nal_unit_type, &fs, &fi->pic.sh, fi->slice_data,
                            fi->substream_sizes[-1]);
}

}  // namespace

// Without wavefront rows every row continues the frame instance's single
// substream, so the buffer that grows is the frame instance's.
int32_t substream_reserve(row_context *ctx)
{
    if (ctx->cabac.buf_end - ctx->cabac.buf_cur >= SUBSTREAM_RESERVE) return 0;
    bool wpp = ctx->config.wpp > 0;
    uint8_t **buffer = wpp ? &ctx->substream_buffer : &ctx->fi->substream_buffer;
    int32_t *capacity = wpp ? &ctx->substream_size : &ctx->fi->substream_size;
    int32_t need = SUBSTREAM_RESERVE + SUBSTREAM_GROWTH;
    return cabac_ensure_room(&ctx->cabac, need, buffer, capacity) != 0 ? -1 : 0;
}

int32_t ctu_job_encode(row_context *ctx)
{
    frame_instance *fi = ctx->fi;
    const encoder_instance *enc = ctx->enc;
    int32_t x = ctx->ctu_x, y = ctx->ctu_y, cols = enc->ctu_cols;
    int32_t address = y * cols + x;
    if (x == 0) row_start(ctx, fi);
    if (fault_injected(enc)) return -1;
    picture_control_step(ctx, address);
    int64_t bit_mark = cabac_bits_written(&ctx->cabac);
    ctu_begin(ctx, x, y, address);
    ctx->rcc.ctu_x = x;
    ctx->rcc.ctu_y = y;
    ctx->rcc.ctu_index = address;
    rc_row_update(&ctx->rcc);
    search(ctx);
    if (enc->faults.ctu_searched) enc->faults.ctu_searched(enc->faults.ctu_searched_arg, ctx);
    cu_tree_walk(ctx, 0, 0, 0, 6);
    ctu_collect_stats(ctx);
    // Boundary strengths before ctu_end stores the maps for the neighbours
    // (they carry the coded-luma bits that deblocking adds); the edges are
    // filtered once the CTU's reconstruction is in the picture.
    deblock_context db;
    deblock_context_fill(ctx, &db);
    deblock_prepare_ctu(&db);
    if (enc->faults.ctu_deblock_ready) enc->faults.ctu_deblock_ready(enc->faults.ctu_deblock_ready_arg, ctx, &db);
    ctu_end(ctx);
    deblock_ctu(&db, x, y);
    // SAO parameters from the deblocked CTU; applied one CTU behind, once the
    // neighbours that deblocking and the edge offsets read are final.
    ctx->sao_merge = SAO_MERGE_NONE;
    if (fi->pic.sh.sao_flags) ctu_sao_decide(ctx);
    ctu_loop_filter_finish(ctx);
    ctx->ctu.qg_delta_pending = 0;
    if (substream_reserve(ctx) != 0) return -1;
    cabac_write_ctu(ctx);
    rc_row_vbv_adjust(&ctx->rcc, (uint32_t)(cabac_bits_written(&ctx->cabac) - bit_mark));
    if (x + 1 < cols) {
        cabac_encode_terminate0(&ctx->cabac);
        if (ctx->config.wpp > 0 && x == 1 && y + 1 < enc->ctu_rows) handover_to(ctx, fi, y + 1);
        ctx->ctu_x = x + 1;
        return 0;
    }
    int32_t r = row_end(ctx, fi);
    ctx->ctu_x = cols;
    return r;
}

uint64_t ctu_worker_main(uint64_t arg)
{
    const ctu_thread_work *work = (const ctu_thread_work *)(uintptr_t)arg;
    row_scheduler *sched = work->scheduler;
    int64_t result = 0;
    row_record *row = nullptr;
    for (;;) {
        if (!row) row = row_sched_next_job(sched);
        if (!row) break;
        row_context *ctx = row->context;
        ctx->ctu.hplane_band = work->hplane_band;
        ctx->ctu.quarter = work->quarter;
        ctx->ctu.search_work[0] = work->search_work[0];
        ctx->ctu.search_work[1] = work->search_work[1];
        ctx->ctu.scratch = work->scratch;
        if (ctu_job_encode(ctx) != 0) {
            __atomic_store_n(ctx->enc->job_failed, 1, __ATOMIC_RELEASE);
            row_sched_ctu_failed(sched, row);
            row = nullptr;
            result = -1;
            continue;
        }
        row = row_sched_ctu_done_next(sched, row);
    }
    return (uint64_t)result;
}
