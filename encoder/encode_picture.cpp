// The work of one encode call on the caller's thread: rotate to the next
// frame instance, update the decoded picture buffer, take the input into the
// lookahead, set up the next picture in coding order (NAL type, reference
// lists, parameter sets, slice record, QP), register its CTU rows with the
// scheduler and collect the oldest picture in flight.
#include <cstring>
#include <utility>

#include "bitstream/sei.h"
#include "encoder/encoder_instance.h"
#include "encoder/encoder_shared.h"
#include "encoder/int_math.h"
#include "encoder/job_pool.h"
#include "encoder/page_prefault.h"
#include "encoder/picture_list.h"
#include "encoder/row_scheduler.h"
#include "encoder/source_picture.h"

namespace {

void lowres_build(encoder_instance *enc, picture *pic, int32_t is_new)
{
    lowres_build_params p;
    p.width = enc->width;
    p.height = enc->height;
    p.subpel_level = enc->config.subpel_level;
    p.bframes = enc->config.bframes;
    p.build_lowres_planes = enc->mc.build_lowres_planes;
    p.downscale_2x2_plane = enc->mc.downscale_2x2_plane;
    p.phase_scratch = enc->shared->lowres_phase_scratch;
    picture_lowres_build(&p, pic, is_new);
}

// Faults in the pages of a picture fresh from the heap: on the pool's threads
// without waiting when w is given, else before returning.
void fresh_picture_prefault(encoder_instance *enc, picture *pic, prefault_work *w)
{
    uint8_t *bases[PREFAULT_MAX_BUFFERS];
    int64_t sizes[PREFAULT_MAX_BUFFERS];
    int32_t count = picture_input_spans(&enc->pic_geometry, pic, bases, sizes);
    if (w) buffers_prefault_start(enc->pool, w, bases, sizes, count);
    else buffers_prefault(enc->pool, bases, sizes, count);
}

// The picture for a new input: the one taken ahead, or one from the pool. A picture never loaded (frame number -1 as made) is
// fresh from the heap: while the lookahead fills, the pool's threads fault in
// what the copy and the half-resolution build are about to write. Once
// pictures are being coded the CTU threads keep the cores and the pool's
// queue holds the lookahead's cost jobs, which a fault-in job would wait
// behind (10-40 ms per call at 1080p, while the pipeline is still filling
// and every input needs a fresh picture): the copy faults the pages in itself.
picture *source_picture_take(encoder_instance *enc)
{
    encoder_shared *sh = enc->shared;
    picture *pic = sh->source_ahead;
    if (pic) {
        sh->source_ahead = nullptr;
        return pic;
    }
    pic = picture_get(enc->pools, PICTURE_POOL_SOURCE);
    if (pic && pic->frame_number < 0 && enc->received < enc->delay) fresh_picture_prefault(enc, pic, nullptr);
    return pic;
}

// While the lookahead fills, every input needs a picture fresh from the heap
// and nothing else runs: the next input's picture is taken now, and the pool's
// threads fault in its pages while the caller's thread copies and prepares
// this one. The same call collects those jobs: a finished job left
// uncollected holds a record of the pool that a later submission waits for.
void source_picture_ahead(encoder_instance *enc)
{
    encoder_shared *sh = enc->shared;
    if (sh->source_ahead || !enc->pool || enc->pool->thread_count < 2) return;
    picture *pic = picture_get(enc->pools, PICTURE_POOL_SOURCE);
    if (!pic) return;   // the next input's own take reports the failure
    sh->source_ahead = pic;
    if (pic->frame_number < 0) fresh_picture_prefault(enc, pic, &sh->source_ahead_fault);
}

// The input's copy into pic, its number and its preparation for the
// lookahead. 0, or -1 when the input does not fit.
int32_t source_picture_load(encoder_instance *enc, picture *pic, const input_frame *input)
{
    const internal_config *cfg = &enc->config;
    if (picture_load_input(&enc->pic_geometry, pic, input) != 0) return -1;
    pic->frame_number = enc->received;
    enc->received++;
    pic->field_parity = cfg->interlace == 0 ? 0 : (uint32_t)(((cfg->interlace + enc->received) & 1) + 1);
    adaptive_quant_frame(cfg, &enc->metric, pic);
    if (cfg->rc_mode != RC_MODE_CQP || cfg->vbv_bufsize != 0 || cfg->scenecut != 0) lowres_build(enc, pic, 1);
    return 0;
}

// A new input picture into the lookahead. 1 when the call ends here
// (still filling the delay), 0 to go on, -1 on failure.
int32_t take_input(encoder_instance *enc, input_frame *input)
{
    picture *pic = source_picture_take(enc);
    input->picture_type = 0;   // the lookahead decides every type
    mutex_lock(enc->instance_lock);
    enc->control_slot->user_hi = (uint32_t)(input->user_value >> 32);
    enc->control_slot->user_lo = (uint32_t)input->user_value;
    mutex_unlock(enc->instance_lock);
    if (!pic) return -1;
    if (enc->received < enc->delay) source_picture_ahead(enc);
    int32_t loaded = source_picture_load(enc, pic, input);
    buffers_prefault_finish(enc->pool, &enc->shared->source_ahead_fault);
    if (loaded != 0 || lookahead_put_frame(enc->la, pic) != 0) {
        picture_release(enc->pools, pic);
        return -1;
    }
    return enc->received <= enc->delay ? 1 : 0;
}

// The picture's identity: POC, NAL unit type, slice type and the
// reconstruction's type, numbers and times; a reference gets its sub-sample planes. 0, or -1 when they
// could not be made.
int32_t picture_identity(frame_instance *cur, picture *src)
{
    encoder_instance *enc = cur->enc;
    const internal_config *cfg = &enc->config;
    picture *rec = cur->pic.recon_picture;
    int32_t key = enc->la ? enc->la->last_keyframe : 0;
    int32_t poc = cfg->open_gop ? src->frame_number : src->frame_number - (key > 0 ? key : 0);
    src->poc = rec->poc = poc;
    rec->field_parity = src->field_parity;
    if (src->picture_type == PIC_TYPE_IDR || src->picture_type == PIC_TYPE_CRA) enc->irap_count++;
    bool leading = src->ra_period < enc->irap_count;
    switch (src->picture_type) {
    case PIC_TYPE_IDR:
        cur->pic.nal_unit_type = nal_idr_w_radl;
        cur->pic.sh.slice_type = slice_i;
        while (cur->reference_list->count > 0)
            picture_release(enc->pools, (picture *)picture_list_pop_last(cur->reference_list));
        break;
    case PIC_TYPE_CRA:
        cur->pic.nal_unit_type = nal_cra;
        cur->pic.sh.slice_type = slice_i;
        break;
    case PIC_TYPE_P:
        cur->pic.nal_unit_type = leading ? nal_rasl_r : nal_trail_r;
        cur->pic.sh.slice_type = slice_p;
        break;
    case PIC_TYPE_BREF:
        cur->pic.nal_unit_type = leading ? nal_rasl_r : nal_trail_r;
        cur->pic.sh.slice_type = slice_b;
        break;
    default:
        cur->pic.nal_unit_type = leading ? nal_rasl_n : nal_trail_n;
        cur->pic.sh.slice_type = slice_b;
        break;
    }
    cur->pic.slice_class = cur->pic.sh.slice_type;
    rec->picture_type = src->picture_type;
    rec->frame_number = src->frame_number;
    rec->ra_period = src->ra_period;
    rec->layer = src->layer;
    rec->p_layer = src->p_layer;
    rec->pts = src->pts;
    rec->coded_dts = src->dts;
    uint32_t is_ref = (src->picture_type == PIC_TYPE_B || cfg->idr_period < 2) ? 0u : 1u;
    src->is_reference = rec->is_reference = is_ref;
    src->mbtree_offsets_apply = rec->mbtree_offsets_apply = is_ref;
    return is_ref ? picture_subpel_attach(enc->pools, rec) : 0;
}

bool is_anchor(const picture *p)
{
    return p->picture_type != PIC_TYPE_BREF && p->picture_type != PIC_TYPE_B;
}

// Before an anchor picture (IDR, CRA, I or P) takes its QP in a bitrate mode,
// the anchors still in flight finish coding and rate control learns their
// sizes. Otherwise the anchor would be decided on the pictures collected a
// whole round of frame instances ago (a dozen pictures, a second's mini-GOPs
// on a short clip), blind to the anchor it predicts from. It predicts from
// that anchor, so it could not have run far ahead of it anyway. Where a
// buffer is at stake (constant bitrate, VBV), every picture also waits for
// the pictures in flight further back than rate control lets go unseen, so
// that the buffer is planned on sizes rather than on predictions. The waits
// are for given pictures, so the result does not depend on timing.
// The picture the stream ends on waits for every picture before it: what it
// takes is all that is left to correct the stream's rate, and counted at
// their plans, the pictures in flight can be far off. The last P picture of
// grain (640x360, constant bitrate of 375 kbit/s, one second's bucket) was
// planned at 70 kbit for a stream its bucket took to be 14 kbit behind,
// while eight pictures planned at 93 kbit in all were taking 173, and the
// stream ended 9.4 % over its rate (-1.6 % so). Only the last mini-GOP
// loses its overlap. A first pass keeps its own pace: the second plans from
// it.
int32_t anchor_sizes_learn(frame_instance *cur)
{
    encoder_instance *enc = cur->enc;
    if (!ratecontrol_wants_early_sizes(cur->rc, &enc->config)) return 0;
    bool anchor = is_anchor(cur->pic.source_picture);
    int32_t span = ratecontrol_blind_span(cur->rc, &enc->config, enc->coding_number, anchor);
    bool last = enc->input_ended && cur->pic.source_picture->frame_number == enc->received - 1;
    if (last && !enc->config.pass1) span = 0;
    for (int32_t i = 0; i < enc->frame_instance_count; i++) {
        frame_instance *fi = enc->frame_instances[i];
        if (fi == cur || !fi->submitted || !fi->pic.source_picture) continue;
        bool far = enc->coding_number - fi->rc->pic.coding_number > span;
        if (!(anchor && is_anchor(fi->pic.source_picture)) && !far) continue;
        if (row_sched_wait_frame(enc->scheduler, fi->pic.recon_picture->frame_number) != 0) {
            __atomic_store_n(enc->job_failed, 1, __ATOMIC_RELEASE);
            return -1;
        }
        int64_t payload = 0;
        for (int32_t k = 0; k < fi->bitstream.nal_count; k++) payload += fi->bitstream.nals[k].size;
        ratecontrol_size_known(fi->rc, 8.0 * (double)payload);
    }
    return 0;
}

int32_t rate_control_start(frame_instance *cur)
{
    if (anchor_sizes_learn(cur) != 0) return -1;
    encoder_instance *enc = cur->enc;
    rc_picture pic;
    pic.source = cur->pic.source_picture;
    pic.recon = cur->pic.recon_picture;
    pic.ref0 = cur->pic.ref_count_l0 > 0 ? cur->pic.list0[0] : nullptr;
    pic.ref1 = cur->pic.ref_count_l1 > 0 ? cur->pic.list1[0] : nullptr;
    pic.slice_class = cur->pic.slice_class;
    pic.coding_number = enc->coding_number;
    pic.irap_count = enc->irap_count;
    pic.stream_pictures = enc->input_ended ? enc->received : 0;
    return ratecontrol_start(cur->rc, &enc->config, &pic);
}

// Appends one RBSP unit written by `write` to the frame instance's NAL list.
template <typename F>
int32_t nal_append(frame_instance *cur, uint32_t type, F write)
{
    nal_record_begin(&cur->bitstream, type);
    write(&cur->bitstream.writer);
    return nal_record_end(&cur->bitstream);
}

// The parameter sets (at IRAP pictures) and the SEI before the slice.
int32_t headers_write(frame_instance *cur, const picture *src)
{
    encoder_instance *enc = cur->enc;
    const internal_config *cfg = &enc->config;
    frame_bitstream_reset(&cur->bitstream);
    bool irap = src->picture_type == PIC_TYPE_IDR || src->picture_type == PIC_TYPE_CRA;
    int32_t compat = cfg->compat;
    if (irap) {
        if (nal_append(cur, nal_vps, [&](bit_writer *bw) { write_vps(bw, &enc->vps, compat); }) != 0) return -1;
        if (nal_append(cur, nal_sps, [&](bit_writer *bw) { write_sps(bw, &enc->sps, compat); }) != 0) return -1;
        if (nal_append(cur, nal_pps, [&](bit_writer *bw) { write_pps(bw, &enc->pps, compat); }) != 0) return -1;
    }
    if (cfg->interlace) {
        if (irap && nal_append(cur, nal_prefix_sei, [&](bit_writer *bw) {
                bitwriter_realign(bw);
                write_sei_active_parameter_sets(bw);
            }) != 0)
            return -1;
        if (nal_append(cur, nal_prefix_sei, [&](bit_writer *bw) {
                bitwriter_realign(bw);
                write_sei_pic_timing(bw, (int32_t)src->field_parity);
            }) != 0)
            return -1;
    }
    return 0;
}

// A row context must have finished its previous row before it is given a new
// one: wait for the picture it last served (the caller's thread, no lock held).
// A picture that failed is done at once while a CTU of it may still be coded,
// so its contexts are never handed out again: -1.
int32_t row_context_wait_idle(const row_context *row)
{
    if (row->assigned_frame < 0) return 0;
    return row_sched_wait_frame(row->enc->scheduler, row->assigned_frame) == ROW_SCHED_ERR_FAILED ? -1 : 0;
}

// The picture's rows to the scheduler: the frame instance's per-picture sums
// and substream state cleared, each row given to its context (row 0 to the
// frame instance's own, the others to the next row contexts in the rotation).
// 0, or -1 when the scheduler refuses the picture.
int32_t rows_register(frame_instance *cur)
{
    encoder_instance *enc = cur->enc;
    int32_t rows = enc->ctu_rows;
    std::memset(&cur->stats.picture_sums, 0, sizeof(cur->stats.picture_sums));
    cur->substream_sizes[-1] = 0;
    cur->ep_state.zeros = 0;
    cur->first_row_context = enc->row_rotation;
    for (int32_t r = 1; r < rows; r++)
        if (row_context_wait_idle(row_context_of(cur, r)) != 0) return -1;
    for (int32_t r = 0; r < rows; r++) row_context_assign(row_context_of(cur, r), cur, r);
    cur->submitted = 1;
    for (int32_t r = 0; r < rows; r++) {
        if (row_sched_add_row(enc->scheduler, r, cur->pic.recon_picture, row_context_of(cur, r)) != 0) {
            cur->submitted = 0;
            return -1;
        }
    }
    if (rows > 1) enc->row_rotation = (enc->row_rotation + rows - 1) % enc->row_context_count;
    return 0;
}

// The next picture in coding order: its identity and reference lists, the
// parameter sets and SEI before it, its QP and slice record, then its rows.
int32_t picture_start(frame_instance *cur)
{
    encoder_instance *enc = cur->enc;
    const internal_config *cfg = &enc->config;
    picture *src = (picture *)picture_list_pop_first(enc->coding_queue);
    cur->pic.source_picture = src;
    bool intra = src->picture_type == PIC_TYPE_IDR || src->picture_type == PIC_TYPE_CRA ||
                 src->picture_type == PIC_TYPE_I;
    // The coarse motion search reads the half-resolution planes of the
    // picture and of its references: every picture gets one, intra pictures
    // too, since they serve as references, and its reconstruction keeps a copy.
    if (cfg->coarse_me || (cfg->halfres_intra && intra)) lowres_build(cur->enc, src, 0);
    if (cfg->coarse_me) picture_lowres_copy(cur->pic.recon_picture, src);
    if (picture_identity(cur, src) != 0) goto fail;
    ref_lists_build(cur, cur->pic.recon_picture->poc, cur->pic.recon_picture->ra_period);
    if (headers_write(cur, src) != 0) goto fail;
    if (rate_control_start(cur) != 0) goto fail;
    {
        int32_t qp = ratecontrol_frame_qp(cur->rc, cfg);
        if (cfg->p_as_b && src->picture_type == PIC_TYPE_P) {
            cur->pic.sh.slice_type = slice_b;
            ref_list1_from_list0(cur);
        }
        slice_header_fill(cur, qp);
    }
    if (rows_register(cur) != 0) goto fail;
    return 0;
fail:
    // The picture was taken for coding but never registered: give it back.
    cur->bitstream.nal_count = 0;
    picture_release(enc->pools, src);
    cur->pic.source_picture = nullptr;
    return -1;
}

}  // namespace

row_context *row_context_of(const frame_instance *fi, int32_t y)
{
    if (y == 0) return fi->row0;
    const encoder_instance *enc = fi->enc;
    return enc->row_contexts[(fi->first_row_context + y - 1) % enc->row_context_count];
}

namespace {

// At the end of input: every picture has been received, and the lookahead's
// threads that wait for more are woken.
void input_ended_wake(encoder_instance *inst)
{
    inst->input_ended = 1;
    picture_list *q = inst->la->input_queue;
    mutex_lock(&q->lock);
    cond_broadcast(&q->not_empty);
    mutex_unlock(&q->lock);
}

// Whether the first picture can be coded as soon as its input is in. In
// constant QP or constant quality (one pass) without a buffer or
// macroblock-tree the first decision makes it a keyframe alone, and its type,
// adaptive offsets, lookahead cost (its own intra cost) and so its QP come
// from its own input: the pictures after it change nothing it is coded with.
// It needs a second frame instance, since the fill calls keep its own.
bool keyframe_starts_early(const encoder_instance *inst)
{
    const internal_config *cfg = &inst->config;
    bool own_qp = cfg->rc_mode == RC_MODE_CQP || (cfg->rc_mode == RC_MODE_CRF && !cfg->pass1 && !cfg->pass2);
    return inst->frame_instance_count >= 2 && inst->received == 1 && inst->coding_number < 0 && inst->la &&
           own_qp && cfg->vbv_bufsize == 0 && cfg->vbv_maxrate == 0 && !cfg->mbtree;
}

// The first decision and the keyframe's start, on the frame instance of the
// first call, which the fill calls then leave alone.
int32_t keyframe_start(encoder_instance *inst, frame_instance *cur)
{
    inst->coding_number++;
    if (lookahead_get_frames(inst->la) != 0) return -1;
    if (inst->coding_queue->count > 0 && picture_start(cur) != 0) return -1;
    inst->keyframe_early = 1;
    inst->la->filling = 1;
    return 0;
}

// A call while the keyframe started early is in flight: no rotation, no
// reference update, no decision until the window is full (or the input has
// ended); that call stands for the one that would have started the keyframe.
int32_t encode_with_keyframe_early(encoder_instance *inst, nal_entry **out_nals, uint32_t *out_nal_count,
                                   input_frame *input, frame_output *out)
{
    int32_t n = inst->frame_instance_count;
    frame_instance *cur = inst->frame_instances[inst->fi_rotation];
    frame_instance *next = inst->frame_instances[(inst->fi_rotation + 1) % n];
    if (input) {
        int32_t r = take_input(inst, input);
        if (r > 0) lookahead_ahead_request(inst->la, 0);
        if (r != 0) return r < 0 ? -1 : 0;
    } else {
        input_ended_wake(inst);
    }
    inst->keyframe_early = 0;
    inst->la->filling = 0;
    lookahead_ahead_request(inst->la, input ? 0 : 1);
    return encoder_collect_output(next, cur, out_nals, out_nal_count, out);
}

}  // namespace

int32_t encoder_encode_frame(encoder_instance *inst, nal_entry **out_nals, uint32_t *out_nal_count,
                             input_frame *input, frame_output *out)
{
    if (__atomic_load_n(inst->job_failed, __ATOMIC_ACQUIRE)) return -1;
    if (out_nal_count) *out_nal_count = 0;
    if (out_nals) *out_nals = nullptr;
    if (out) out->type = 0;
    if (inst->keyframe_early) return encode_with_keyframe_early(inst, out_nals, out_nal_count, input, out);
    int32_t n = inst->frame_instance_count;
    frame_instance *cur = inst->frame_instances[0], *next = cur;
    if (n >= 2) {
        frame_instance *prev = inst->frame_instances[inst->fi_rotation];
        inst->fi_rotation = (inst->fi_rotation + 1) % n;
        cur = inst->frame_instances[inst->fi_rotation];
        next = inst->frame_instances[(inst->fi_rotation + 1) % n];
        if (frame_instance_handover(cur, prev) != 0) return -1;
        ratecontrol_thread_sync(cur->rc, prev->rc, next->rc);
    }
    if (dpb_update(cur) != 0) return -1;
    if (input) {
        int32_t r = take_input(inst, input);
        if (r > 0 && keyframe_starts_early(inst) && keyframe_start(inst, cur) != 0) return -1;
        if (r > 0) lookahead_ahead_request(inst->la, 0);
        if (r != 0) return r < 0 ? -1 : 0;
    } else {
        input_ended_wake(inst);
    }
    inst->coding_number++;
    if (inst->coding_queue->count == 0 && lookahead_get_frames(inst->la) != 0) return -1;
    if (inst->coding_queue->count > 0) {
        if (picture_start(cur) != 0) return -1;
    }
    // The next decision's costs are worked out while this call waits for its
    // output and the following calls bring their inputs.
    lookahead_ahead_request(inst->la, input ? 0 : 1);
    return encoder_collect_output(next, cur, out_nals, out_nal_count, out);
}

// Whether the frame instance's picture predicts from r.
static bool predicts_from(const frame_instance *fi, const picture *r)
{
    for (int32_t k = 0; k < fi->pic.ref_count_l0; k++)
        if (fi->pic.list0[k] == r) return true;
    for (int32_t k = 0; k < fi->pic.ref_count_l1; k++)
        if (fi->pic.list1[k] == r) return true;
    return false;
}

void references_keep_predicted(frame_instance *fi)
{
    picture_list *list = fi->reference_list;
    int32_t kept = 0;
    for (int32_t k = 0; k < list->count; k++) {
        picture *r = (picture *)list->entries[k];
        if (fi->submitted && predicts_from(fi, r)) list->entries[kept++] = r;
        else picture_release(fi->enc->pools, r);
    }
    for (int32_t k = kept; k < list->count; k++) list->entries[k] = nullptr;
    list->count = kept;
}

int32_t frame_instance_handover(frame_instance *cur, frame_instance *prev)
{
    encoder_instance *enc = cur->enc;
    if (cur == prev) return 0;
    picture_list *cl = cur->reference_list, *pl = prev->reference_list;
    for (int32_t k = 0; k < pl->count; k++) ((picture *)pl->entries[k])->reference_count++;
    while (cl->count > 0) picture_release(enc->pools, (picture *)picture_list_pop_first(cl));
    for (int32_t k = 0; k < pl->count; k++) {
        if (picture_list_push_last(cl, pl->entries[k]) == 0) continue;
        // No room (every frame instance's list has the same size): give back
        // the references that were not handed on and fail the call.
        for (; k < pl->count; k++) picture_release(enc->pools, (picture *)pl->entries[k]);
        return -1;
    }
    if (prev->pic.recon_picture) prev->pic.recon_picture->reference_count++;
    picture_release(enc->pools, cur->pic.recon_picture);
    references_keep_predicted(prev);
    // The picture state goes on whole. The sequence's counters, the
    // configuration, the parameter sets and the report's totals are the
    // encoder's and need no hand-over.
    cur->pic = prev->pic;
    return 0;
}

namespace {

// Files the coded reference picture into the reference list and sets *limit
// to the list length to keep (-1: no limit). -1 when the list has no room.
int32_t dpb_insert(frame_instance *fi, picture *prev, int32_t *limit)
{
    encoder_instance *enc = fi->enc;
    const internal_config *cfg = &enc->config;
    picture_list *list = fi->reference_list;
    if (cfg->latency_mode != 0) {
        if (picture_list_push_last(list, prev) != 0) return -1;
        for (int32_t k = list->count - 1; k > 0; k--) {
            picture *a = (picture *)list->entries[k - 1];
            if (a->frame_number <= prev->frame_number) break;
            list->entries[k - 1] = prev;
            list->entries[k] = a;
        }
        *limit = cfg->prefs + cfg->hierarchy + 1;
        return 0;
    }
    if (list->count > 0 && ((picture *)list->entries[0])->p_layer > 0)
        picture_release(enc->pools, (picture *)picture_list_pop_first(list));
    if ((prev->picture_type == PIC_TYPE_P || prev->picture_type >= PIC_TYPE_BREF) && prev->p_layer > 0)
        return picture_list_push_first(list, prev);
    *limit = enc->sps.p_refs;
    return picture_list_push_last(list, prev);
}

}  // namespace

int32_t dpb_update(frame_instance *fi)
{
    encoder_instance *enc = fi->enc;
    picture *prev = fi->pic.recon_picture;
    picture_list *list = fi->reference_list;
    int32_t limit = -1;
    // No picture after an earlier failure: only a new one is needed.
    if (prev && !prev->is_reference) {
        picture_release(enc->pools, prev);
    } else if (prev && dpb_insert(fi, prev, &limit) != 0) {
        // A reference that finds no room ends the call instead of vanishing.
        picture_release(enc->pools, prev);
        fi->pic.recon_picture = nullptr;
        return -1;
    }
    if (limit >= 0 && list->count > limit) picture_release(enc->pools, (picture *)picture_list_pop_first(list));
    picture *rec = picture_get(enc->pools, PICTURE_POOL_RECON);
    fi->pic.recon_picture = rec;
    if (!rec) return -1;
    // A pooled picture keeps its last identity: it is no reference until coded.
    rec->is_reference = 0;
    rec->ref_count[0] = rec->ref_count[1] = 0;
    return 0;
}

namespace {

// Nearest first: list 0 by decreasing POC, list 1 by increasing POC.
void sort_nearest_first(picture **l0, int32_t c0, picture **l1, int32_t c1)
{
    for (bool swapped = true; swapped;) {
        swapped = false;
        for (int32_t k = 0; k + 1 < c0 && !swapped; k++)
            if (l0[k]->poc < l0[k + 1]->poc) std::swap(l0[k], l0[k + 1]), swapped = true;
        for (int32_t k = 0; k + 1 < c1 && !swapped; k++)
            if (l1[k]->poc > l1[k + 1]->poc) std::swap(l1[k], l1[k + 1]), swapped = true;
    }
}

// A reference of another random-access period is neither used nor kept,
// except by a CRA picture, whose set keeps them for its leading pictures.
bool same_period(const frame_instance *fi, const picture *r, int32_t ra)
{
    return fi->pic.nal_unit_type == nal_cra || r->ra_period == ra ||
           (r->picture_type == PIC_TYPE_CRA && r->ra_period == ra + 1);
}

// B pictures of pyramid level 2 and deeper serve only their level-3
// neighbours at POC distance 1.
bool usable_reference(const picture *rec, const picture *r, int32_t poc)
{
    if ((r->picture_type == PIC_TYPE_BREF || r->picture_type == PIC_TYPE_B) && r->layer >= 2)
        return rec->layer == 3 && (r->poc - poc == 1 || poc - r->poc == 1);
    return true;
}

enum { GATHER_MAX = PICTURE_MAX_REFS * 4 };

// The pictures of the reference list before and after poc, nearest first:
// those of the period, and of them only the usable ones when `usable_only`.
void gather_references(frame_instance *fi, int32_t poc, int32_t ra, bool usable_only, picture **l0, int32_t *c0,
                       picture **l1, int32_t *c1)
{
    *c0 = *c1 = 0;
    picture_list *list = fi->reference_list;
    for (int32_t k = 0; k < list->count; k++) {
        picture *r = (picture *)list->entries[k];
        if (!same_period(fi, r, ra) || (usable_only && !usable_reference(fi->pic.recon_picture, r, poc))) continue;
        if (r->poc < poc && *c0 < GATHER_MAX) l0[(*c0)++] = r;
        else if (r->poc > poc && *c1 < GATHER_MAX) l1[(*c1)++] = r;
    }
    sort_nearest_first(l0, *c0, l1, *c1);
}

// The reference set keeps every picture of the period that the reference
// list still holds, also those this picture does not use: a later picture of
// the pyramid may use one again, and a picture left out of one set is gone
// from the decoder for good.
void kept_pictures(frame_instance *fi, int32_t poc, int32_t ra)
{
    picture *k0[GATHER_MAX], *k1[GATHER_MAX];
    int32_t c0, c1;
    gather_references(fi, poc, ra, false, k0, &c0, k1, &c1);
    fi->pic.rps_pocs_count[0] = min_i32(c0, PICTURE_MAX_REFS);
    fi->pic.rps_pocs_count[1] = min_i32(c1, PICTURE_MAX_REFS);
    fi->pic.rps.num_negative = fi->pic.rps_pocs_count[0];
    fi->pic.rps.num_positive = fi->pic.rps_pocs_count[1];
    for (int32_t k = 0; k < fi->pic.rps_pocs_count[0]; k++) fi->pic.rps_pocs[0][k] = k0[k]->poc;
    for (int32_t k = 0; k < fi->pic.rps_pocs_count[1]; k++) fi->pic.rps_pocs[1][k] = k1[k]->poc;
}

}  // namespace

// The low-resolution distances the lookahead analysed the source picture
// with: to the nearest list-0 reference whose motion field it computed, and
// the list-1 reference paired with it (0 when the list-0 cost stands alone).
// Mode decision reads the lookahead's vectors and block costs through them.
static void lowres_distances_choose(frame_instance *fi)
{
    const internal_config *cfg = &fi->enc->config;
    picture *src = fi->pic.source_picture;
    if (!src || cfg->grid_cols != 1 || cfg->grid_rows != 1) return;
    if (cfg->rc_mode == RC_MODE_CQP && cfg->vbv_bufsize == 0 && cfg->scenecut == 0) return;
    int32_t limit = cfg->bframes + 1 < PICTURE_MAX_DISTANCE ? cfg->bframes + 1 : PICTURE_MAX_DISTANCE;
    for (int32_t k = 0; k < fi->pic.ref_count_l0; k++) {
        int32_t d = (int16_t)(src->frame_number - fi->pic.list0[k]->frame_number);
        if (d > limit || d < 1) break;
        const uint32_t *field = src->lowres_mvs[0][d - 1];
        if (field && (field[0] & 0xFFFF) != 0x7FFF) {
            src->ref_distance_past = (int16_t)d;
            break;
        }
    }
    int32_t past = src->ref_distance_past;
    if (past < 0) return;
    if (src->frame_cost[past][0] >= 0) {
        src->ref_distance_future = 0;
        return;
    }
    for (int32_t k = 0; k < fi->pic.ref_count_l1; k++) {
        int32_t d = (int16_t)(fi->pic.list1[k]->frame_number - src->frame_number);
        if (d > limit || d < 1) break;
        if (src->frame_cost[past][d] >= 0) {
            src->ref_distance_future = (int16_t)d;
            break;
        }
    }
}

void ref_lists_build(frame_instance *fi, int32_t poc, int32_t ra)
{
    encoder_instance *enc = fi->enc;
    const internal_config *cfg = &enc->config;
    picture *rec = fi->pic.recon_picture;
    fi->pic.ref_count_l0 = fi->pic.ref_count_l1 = 0;
    fi->pic.active_refs[0] = fi->pic.active_refs[1] = 0;
    if (fi->pic.nal_unit_type == nal_idr_w_radl) {
        rec->ref_count[0] = rec->ref_count[1] = 0;
        return;
    }
    picture *l0[GATHER_MAX], *l1[GATHER_MAX];
    int32_t c0, c1;
    gather_references(fi, poc, ra, true, l0, &c0, l1, &c1);
    kept_pictures(fi, poc, ra);
    int32_t a0 = min_i32(c0, enc->p_ref_limit), a1 = min_i32(c1, enc->b_ref_limit);
    if (cfg->latency_mode == 0 && rec->p_layer > 0) a0 = min_i32(a0, 1 + (cfg->complexity >= 2 ? 1 : 0));
    if (fi->pic.sh.slice_type == slice_b) {
        a0 = min_i32(a0, cfg->brefs);
        a1 = min_i32(a1, cfg->brefs);
    }
    if (fi->pic.sh.slice_type == slice_i) a0 = a1 = 0;
    a0 = min_i32(a0, ENCODER_MAX_REFS);
    a1 = min_i32(a1, ENCODER_MAX_REFS);
    fi->pic.ref_count_l0 = a0;
    fi->pic.ref_count_l1 = a1;
    for (int32_t k = 0; k < ENCODER_MAX_REFS; k++) {
        fi->pic.list0[k] = k < a0 ? l0[k] : nullptr;
        fi->pic.list1[k] = k < a1 ? l1[k] : nullptr;
    }
    rec->ref_count[0] = a0;
    rec->ref_count[1] = a1;
    for (int32_t k = 0; k < PICTURE_MAX_REFS; k++) {
        rec->ref_pocs[0][k] = k < a0 ? l0[k]->poc : -1;
        rec->ref_pocs[1][k] = k < a1 ? l1[k]->poc : -1;
        rec->ref_frame_numbers[0][k] = k < a0 ? l0[k]->frame_number : -1;
        rec->ref_frame_numbers[1][k] = k < a1 ? l1[k]->frame_number : -1;
    }
    fi->pic.active_refs[0] = (int16_t)a0;
    fi->pic.active_refs[1] = (int16_t)a1;
    lowres_distances_choose(fi);
}

void ref_list1_from_list0(frame_instance *fi)
{
    fi->pic.ref_count_l1 = fi->pic.ref_count_l0;
    fi->pic.active_refs[1] = fi->pic.active_refs[0];
    std::memcpy(fi->pic.list1, fi->pic.list0, sizeof(fi->pic.list1));
    picture *rec = fi->pic.recon_picture;
    rec->ref_count[1] = rec->ref_count[0];
    std::memcpy(rec->ref_pocs[1], rec->ref_pocs[0], sizeof(rec->ref_pocs[1]));
    std::memcpy(rec->ref_frame_numbers[1], rec->ref_frame_numbers[0], sizeof(rec->ref_frame_numbers[1]));
}

void slice_header_fill(frame_instance *fi, int32_t qp)
{
    encoder_instance *enc = fi->enc;
    const internal_config *cfg = &enc->config;
    slice_header *sh = &fi->pic.sh;
    const picture *rec = fi->pic.recon_picture;
    sh->sps = &enc->sps;
    sh->pps = &enc->pps;
    uint32_t sao = enc->sps.sao_enabled ? (uint32_t)cfg->sao & 3u : 0u;
    if (rec->picture_type == PIC_TYPE_B) sao = 0;
    if (cfg->complexity == 0 && cfg->latency_mode != LATENCY_NONE && rec->picture_type == PIC_TYPE_P &&
        rec->p_layer > 1)
        sao = 0;
    sh->sao_flags = sao;
    sh->irap_count = enc->irap_count;
    sh->poc = rec->poc;
    sh->num_ref_idx_l0_active = fi->pic.ref_count_l0;
    sh->num_ref_idx_l1_active = fi->pic.ref_count_l1;
    sh->max_num_merge_cand = cfg->max_merge_cand > 0 ? cfg->max_merge_cand : 5;
    sh->cabac_init_flag = 0;
    sh->first_slice_segment_in_pic_flag = 1;
    sh->slice_qp = qp;
    sh->slice_qp_delta = qp - enc->pps.init_qp;
    if (rec->picture_type == PIC_TYPE_P) sh->collocated_from_l0 = 1;
    else if (rec->picture_type == PIC_TYPE_BREF) sh->collocated_from_l0 = 0;
    else sh->collocated_from_l0 = (rec->poc % (cfg->bframes + 1)) > cfg->bframes / 2 ? 1 : 0;
    if (fi->pic.nal_unit_type != nal_idr_w_radl) {
        int32_t used[2 * ENCODER_MAX_REFS], n = 0;
        for (int32_t k = 0; k < fi->pic.ref_count_l0; k++) used[n++] = fi->pic.list0[k]->poc;
        for (int32_t k = 0; k < fi->pic.ref_count_l1; k++) used[n++] = fi->pic.list1[k]->poc;
        build_short_term_rps(&fi->pic.rps, rec->poc, fi->pic.rps_pocs[0], fi->pic.rps_pocs[1], used, n);
    }
    frame_recon_pointers_load(fi);
}

void row_context_assign(row_context *row, frame_instance *fi, int32_t y)
{
    row->fi = fi;
    row->ctu_x = 0;
    row->ctu_y = y;
    row->assigned_frame = fi->pic.recon_picture->frame_number;
}

void config_restore(row_context *ctx)
{
    internal_config cfg = ctx->enc->config;
    int32_t hi = (int32_t)ctx->control.user_hi;
    if (hi == -1 || hi == -2) cfg.rdoq = 1;
    if (hi == 1 || hi == 2) cfg.me_extra = 0;
    // Only a real change is written, so readers of an unchanged record on
    // other threads never meet a concurrent store.
    if (std::memcmp(&cfg, &ctx->config, sizeof(cfg)) != 0) ctx->config = cfg;
}
