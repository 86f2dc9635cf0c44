// Closing an encoder, also a half-built one: end the scheduler's input so the
// CTU threads leave once nothing is in flight, join them, then give back every
// picture and free every record, the encoder record last.
#include <cstdio>
#include <cstring>

#include "analysis/motion/quarter_window.h"
#include "encoder/encoder_instance.h"
#include "encoder/encoder_rd.h"
#include "encoder/encoder_shared.h"
#include "encoder/job_pool.h"
#include "encoder/memory.h"
#include "encoder/picture_list.h"
#include "encoder/row_scheduler.h"

namespace {

// Joins every CTU thread. False when a join failed: that thread may still be
// running and reach the scheduler, the contexts and the pictures.
bool ctu_threads_join(encoder_instance *inst)
{
    if (!inst->ctu_threads) return true;
    bool all = true;
    for (int32_t t = 0; t < inst->ctu_thread_count; t++) {
        thread_handle *h = inst->ctu_threads[t];
        if (!h) continue;
        if (thread_join(h, nullptr) != 0) {
            all = false;
            continue;
        }
        inst->ctu_threads[t] = nullptr;
    }
    return all;
}

void lookahead_scratch_free(encoder_instance *inst)
{
    if (!inst->lookahead_scratch) return;
    int32_t threads = inst->config.pool_threads > 0 ? inst->config.pool_threads : 1;
    for (int32_t t = 0; t < threads; t++) {
        uint8_t *block = inst->lookahead_scratch + (int64_t)t * LOOKAHEAD_SCRATCH_BYTES;
        for (int k = 0; k < 2; k++) {
            void *array;
            std::memcpy(&array, block + 16 + 8 * k, sizeof(array));
            aligned_free(array);
        }
    }
    aligned_free(inst->lookahead_scratch);
    inst->lookahead_scratch = nullptr;
}

void frame_instance_free(encoder_instance *inst, frame_instance *fi)
{
    if (fi->reference_list) {
        while (fi->reference_list->count > 0)
            picture_release(inst->pools, (picture *)picture_list_pop_last(fi->reference_list));
        picture_list_destroy(fi->reference_list);
        fi->reference_list = nullptr;
    }
    if (fi->pic.recon_picture) picture_release(inst->pools, fi->pic.recon_picture);
    fi->pic.recon_picture = nullptr;
    row_context_free(fi->row0);
    picture_tables_free(fi);
    aligned_free(fi->substream_sizes_block);
    frame_bitstream_close(&fi->bitstream);
    aligned_free(fi->slice_data);
    aligned_free(fi->substream_buffer);
    aligned_free(fi);
}

void shared_free(encoder_instance *inst)
{
    encoder_shared *sh = inst->shared;
    if (!sh) return;
    if (sh->locks_made & 1) mutex_destroy(&sh->instance_lock);
    if (sh->locks_made & 2) mutex_destroy(&sh->claim_lock);
    if (sh->locks_made & 4) mutex_destroy(&sh->sum_lock);
    aligned_free(sh->lowres_phase_scratch);
    aligned_free(sh);
    inst->shared = nullptr;
}

// Ends the scheduler's input and the look-ahead, then joins the CTU threads.
// False when a thread could not be joined.
bool threads_stop(encoder_instance *inst)
{
    // Marking the end of input fails only inside an open registration, and a
    // failed registration is undone before its call returns.
    if (inst->scheduler) (void)row_sched_add_row(inst->scheduler, 0, nullptr, nullptr);
    lookahead_delete(inst->la);
    inst->la = nullptr;
    return ctu_threads_join(inst);
}

// Source pictures submitted to frame records that never coded them.
void submitted_sources_release(encoder_instance *inst)
{
    int32_t n = inst->frame_instance_count;
    frame_instance **fis = inst->frame_instances;
    for (int32_t k = 0; k < n && n > 1; k++) {
        frame_instance *fi = fis ? fis[k] : nullptr;
        if (fi && fi->submitted && fi->pic.source_picture) {
            picture_release(inst->pools, fi->pic.source_picture);
            fi->submitted = 0;
        }
    }
}

// A picture taken ahead for an input that never came.
void source_ahead_release(encoder_instance *inst)
{
    if (!inst->shared) return;
    buffers_prefault_finish(inst->pool, &inst->shared->source_ahead_fault);
    if (inst->shared->source_ahead) picture_release(inst->pools, inst->shared->source_ahead);
    inst->shared->source_ahead = nullptr;
}

// The closing hand-over: the first record takes the state of the last
// picture's record. Returns the first record, which owns the shared state.
ratecontrol *ratecontrol_closing_handover(encoder_instance *inst)
{
    int32_t n = inst->frame_instance_count;
    frame_instance **fis = inst->frame_instances;
    ratecontrol *first_rc = fis && fis[0] ? fis[0]->rc : nullptr;
    if (inst->open_complete && n > 1) {
        ratecontrol *last_rc = fis[inst->fi_rotation]->rc;
        ratecontrol_thread_sync(first_rc, last_rc, first_rc);
        ratecontrol_thread_sync(last_rc, last_rc, first_rc);
    }
    return first_rc;
}

void contexts_free(encoder_instance *inst)
{
    for (int32_t k = inst->row_context_count - 1; k >= 0 && inst->row_contexts; k--) {
        row_context_free(inst->row_contexts[k]);
        inst->row_contexts[k] = nullptr;
    }
    frame_instance **fis = inst->frame_instances;
    for (int32_t k = inst->frame_instance_count - 1; k >= 0 && fis; k--) {
        if (fis[k]) frame_instance_free(inst, fis[k]);
        fis[k] = nullptr;
    }
}

void pictures_and_tables_free(encoder_instance *inst)
{
    picture_list_destroy(inst->coding_queue);
    if (inst->pools) picture_pools_destroy(inst->pools);
    if (inst->au) au_buffer_close(inst->au);
    encoder_rd_close(inst->rd);
    inst->rd = nullptr;
    if (inst->scans) scan_tables_free(inst->scans);
}

void ctu_thread_records_free(encoder_instance *inst)
{
    aligned_free(inst->ctu_threads);
    for (int32_t t = 0; inst->ctu_work && t < inst->ctu_thread_count; t++) {
        aligned_free(inst->ctu_work[t].hplane_band);
        quarter_window_free(inst->ctu_work[t].quarter);
        thread_scratch_free(&inst->ctu_work[t]);
    }
    aligned_free(inst->ctu_work);
}

}  // namespace

void row_context_free(row_context *row)
{
    if (!row) return;
    ctu_tables_free(row);
    aligned_free(row->substream_buffer);
    aligned_free(row);
}

void encoder_instance_free(encoder_instance *inst)
{
    if (!inst) return;
    if (!threads_stop(inst)) {
        // A thread that could not be joined may still write into the
        // scheduler, the contexts and the pictures: keep them all.
        std::fprintf(stderr, "Error: a CTU thread could not be joined; its encoder is not freed\n");
        return;
    }
    submitted_sources_release(inst);
    if (inst->open_complete && (inst->config.loglevel & 1)) encoder_report_print(inst);
    source_ahead_release(inst);
    job_pool_destroy(inst->pool);
    inst->pool = nullptr;
    lookahead_scratch_free(inst);
    ratecontrol *first_rc = ratecontrol_closing_handover(inst);
    contexts_free(inst);
    ratecontrol_delete(first_rc);
    pictures_and_tables_free(inst);
    ctu_thread_records_free(inst);
    row_sched_destroy(inst->scheduler);
    shared_free(inst);
    aligned_free(inst->frame_instances);
    aligned_free(inst->row_contexts);
    aligned_free(inst);
}

void encoder_close_chain(encoder_instance *handle)
{
    while (handle) {
        encoder_instance *lower = handle->lower;
        encoder_instance_free(handle);
        handle = lower;
    }
}

uint32_t encoder_pending_count(encoder_instance *handle)
{
    if (!handle) return 0;
    uint32_t count = 0;
    int32_t n = handle->frame_instance_count;
    if (n > 1)
        for (int32_t k = 0; k < n; k++)
            if (handle->frame_instances[k]->submitted) count++;
    if (handle->coding_queue) count += (uint32_t)handle->coding_queue->count;
    if (handle->la) count += (uint32_t)lookahead_pending_count(handle->la);
    return count;
}
