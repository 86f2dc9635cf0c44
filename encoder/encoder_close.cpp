// Closing an encoder, also a half-built one: end the scheduler's input so the
// CTU threads leave once nothing is in flight, join them, then give back every
// picture and free every record, the encoder record last.
#include <cstdio>
#include <cstring>

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

void row_context_free(encoder_instance *rc)
{
    if (!rc) return;
    ctu_tables_free(rc, 1);
    thread_scratch_free(rc);
    // Without wavefront rows a row context writes into its frame instance's
    // buffer and owns none of its own.
    if (rc->config.wpp > 0) aligned_free(rc->substream_buffer);
    aligned_free(rc);
}

void frame_instance_release(encoder_instance *inst, encoder_instance *fi)
{
    if (fi->reference_list) {
        while (fi->reference_list->count > 0)
            picture_release(inst->pools, (picture *)picture_list_pop_last(fi->reference_list));
        picture_list_destroy(fi->reference_list);
        fi->reference_list = nullptr;
    }
    if (fi->recon_picture) picture_release(inst->pools, fi->recon_picture);
    fi->recon_picture = nullptr;
    ctu_tables_free(fi, 0);
    thread_scratch_free(fi);
    aligned_free(fi->substream_sizes_block);
    frame_bitstream_close(&fi->bitstream);
    aligned_free(fi->slice_data);
    aligned_free(fi->substream_buffer);
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

}  // namespace

void encoder_instance_free(encoder_instance *inst)
{
    if (!inst) return;
    int32_t n = inst->frame_instance_count > 0 ? inst->frame_instance_count : 1;
    encoder_instance **slots = inst->slot_array;
    // Marking the end of input fails only inside an open registration, and a
    // failed registration is undone before its call returns.
    if (inst->scheduler) (void)row_sched_add_row(inst->scheduler, 0, nullptr, nullptr);
    lookahead_delete(inst->la);
    for (int32_t k = 0; k < n && slots; k++)
        if (slots[k]) slots[k]->la = nullptr;
    if (!ctu_threads_join(inst)) {
        // A thread that could not be joined may still write into the
        // scheduler, the contexts and the pictures: keep them all.
        std::fprintf(stderr, "Error: a CTU thread could not be joined; its encoder is not freed\n");
        return;
    }
    for (int32_t k = 0; k < n && n > 1; k++) {
        encoder_instance *fi = slots ? slots[k] : nullptr;
        if (fi && fi->submitted && fi->source_picture) {
            picture_release(inst->pools, fi->source_picture);
            fi->submitted = 0;
        }
    }
    if (inst->open_complete && (inst->config.loglevel & 1)) encoder_report_print(inst);
    if (inst->shared) {
        // A picture taken ahead for an input that never came.
        buffers_prefault_finish(inst->pool, &inst->shared->source_ahead_fault);
        if (inst->shared->source_ahead) picture_release(inst->pools, inst->shared->source_ahead);
        inst->shared->source_ahead = nullptr;
    }
    job_pool_destroy(inst->pool);
    inst->pool = nullptr;
    lookahead_scratch_free(inst);
    ratecontrol *first_rc = inst->rc;
    if (inst->open_complete && n > 1) {
        // The closing hand-over: the first record takes the state of the last
        // picture's record.
        ratecontrol *last_rc = slots[inst->fi_rotation]->rc;
        ratecontrol_thread_sync(first_rc, last_rc, first_rc);
        ratecontrol_thread_sync(last_rc, last_rc, first_rc);
    }
    for (int32_t k = inst->row_context_count - 1; k >= 0 && slots; k--) {
        encoder_instance *rc = slots[n + k];
        slots[n + k] = nullptr;
        if (rc != inst) row_context_free(rc);
    }
    for (int32_t k = n - 1; k >= 0 && slots; k--) {
        encoder_instance *fi = slots[k];
        if (!fi) continue;
        frame_instance_release(inst, fi);
        if (fi != inst) aligned_free(fi);
        slots[k] = nullptr;
    }
    ratecontrol_delete(first_rc);
    picture_list_destroy(inst->coding_queue);
    if (inst->pools) picture_pools_destroy(inst->pools);
    if (inst->au) au_buffer_close(inst->au);
    encoder_rd_close(inst->rd);
    inst->rd = nullptr;
    if (inst->scans) scan_tables_free(inst->scans);
    aligned_free(inst->ctu_threads);
    for (int32_t t = 0; inst->ctu_work && t < inst->ctu_thread_count; t++) aligned_free(inst->ctu_work[t].hplane_band);
    aligned_free(inst->ctu_work);
    row_sched_destroy(inst->scheduler);
    shared_free(inst);
    aligned_free(slots);
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
            if (handle->slot_array[k]->submitted) count++;
    if (handle->coding_queue) count += (uint32_t)handle->coding_queue->count;
    if (handle->la) count += (uint32_t)lookahead_pending_count(handle->la);
    return count;
}
