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

void lowres_build(encoder_instance *fi, picture *pic, int32_t is_new)
{
    lowres_build_params p;
    p.width = fi->width;
    p.height = fi->height;
    p.subpel_level = fi->config.subpel_level;
    p.bframes = fi->config.bframes;
    p.build_lowres_planes = fi->mc.build_lowres_planes;
    p.downscale_2x2_plane = fi->mc.downscale_2x2_plane;
    p.phase_scratch = fi->shared->lowres_phase_scratch;
    picture_lowres_build(&p, pic, is_new);
}

// Faults in the pages of a picture fresh from the heap: on the pool's threads
// without waiting when w is given, else before returning.
void fresh_picture_prefault(encoder_instance *cur, picture *pic, prefault_work *w)
{
    uint8_t *bases[PREFAULT_MAX_BUFFERS];
    int64_t sizes[PREFAULT_MAX_BUFFERS];
    int32_t count = picture_whole_buffers(&cur->pic_geometry, pic, bases, sizes);
    if (w) buffers_prefault_start(cur->pool, w, bases, sizes, count);
    else buffers_prefault(cur->pool, bases, sizes, count);
}

// The picture for a new input: the one taken ahead, or one from the pool. A picture never loaded (frame number -1 as made) is
// fresh from the heap: the pool's threads fault in what the copy and the
// half-resolution build are about to write.
picture *source_picture_take(encoder_instance *cur)
{
    encoder_shared *sh = cur->shared;
    picture *pic = sh->source_ahead;
    if (pic) {
        sh->source_ahead = nullptr;
        return pic;
    }
    pic = picture_get(cur->pools, PICTURE_POOL_SOURCE);
    if (pic && pic->frame_number < 0) fresh_picture_prefault(cur, pic, nullptr);
    return pic;
}

// While the lookahead fills, every input needs a picture fresh from the heap
// and nothing else runs: the next input's picture is taken now, and the pool's
// threads fault in its pages while the caller's thread copies and prepares
// this one. The same call collects those jobs: a finished job left
// uncollected holds a record of the pool that a later submission waits for.
void source_picture_ahead(encoder_instance *cur)
{
    encoder_shared *sh = cur->shared;
    if (sh->source_ahead || !cur->pool || cur->pool->thread_count < 2) return;
    picture *pic = picture_get(cur->pools, PICTURE_POOL_SOURCE);
    if (!pic) return;   // the next input's own take reports the failure
    sh->source_ahead = pic;
    if (pic->frame_number < 0) fresh_picture_prefault(cur, pic, &sh->source_ahead_fault);
}

// The input's copy into pic, its number and its preparation for the
// lookahead. 0, or -1 when the input does not fit.
int32_t source_picture_load(encoder_instance *cur, picture *pic, const input_frame *input)
{
    const internal_config *cfg = &cur->config;
    if (picture_load_input(&cur->pic_geometry, pic, input) != 0) return -1;
    pic->frame_number = cur->received;
    cur->received++;
    pic->field_parity = cfg->interlace == 0 ? 0 : (uint32_t)(((cfg->interlace + cur->received) & 1) + 1);
    adaptive_quant_frame(cfg, &cur->metric, pic);
    if (cfg->rc_mode != RC_MODE_CQP || cfg->vbv_bufsize != 0 || cfg->scenecut != 0) lowres_build(cur, pic, 1);
    return 0;
}

// A new input picture into the lookahead. 1 when the call ends here
// (still filling the delay), 0 to go on, -1 on failure.
int32_t take_input(encoder_instance *cur, input_frame *input)
{
    picture *pic = source_picture_take(cur);
    input->picture_type = 0;   // the lookahead decides every type
    mutex_lock(cur->instance_lock);
    cur->control_slot->user_hi = (uint32_t)(input->user_value >> 32);
    cur->control_slot->user_lo = (uint32_t)input->user_value;
    mutex_unlock(cur->instance_lock);
    if (!pic) return -1;
    if (cur->received < cur->delay) source_picture_ahead(cur);
    int32_t loaded = source_picture_load(cur, pic, input);
    buffers_prefault_finish(cur->pool, &cur->shared->source_ahead_fault);
    if (loaded != 0 || lookahead_put_frame(cur->la, pic) != 0) {
        picture_release(cur->pools, pic);
        return -1;
    }
    return cur->received <= cur->delay ? 1 : 0;
}

// Steps 10 to 12: POC, NAL unit type, slice type and the reconstruction's
// identity; a reference gets its sub-sample planes. 0, or -1 when they
// could not be made.
int32_t picture_identity(encoder_instance *cur, picture *src)
{
    const internal_config *cfg = &cur->config;
    picture *rec = cur->recon_picture;
    int32_t key = cur->la ? cur->la->last_keyframe : 0;
    int32_t poc = cfg->open_gop ? src->frame_number : src->frame_number - (key > 0 ? key : 0);
    src->poc = rec->poc = poc;
    rec->field_parity = src->field_parity;
    if (src->picture_type == PIC_TYPE_IDR || src->picture_type == PIC_TYPE_CRA) cur->irap_count++;
    bool leading = src->ra_period < cur->irap_count;
    switch (src->picture_type) {
    case PIC_TYPE_IDR:
        cur->nal_unit_type = nal_idr_w_radl;
        cur->sh.slice_type = slice_i;
        while (cur->reference_list->count > 0)
            picture_release(cur->pools, (picture *)picture_list_pop_last(cur->reference_list));
        break;
    case PIC_TYPE_CRA:
        cur->nal_unit_type = nal_cra;
        cur->sh.slice_type = slice_i;
        break;
    case PIC_TYPE_P:
        cur->nal_unit_type = leading ? nal_rasl_r : nal_trail_r;
        cur->sh.slice_type = slice_p;
        break;
    case PIC_TYPE_BREF:
        cur->nal_unit_type = leading ? nal_rasl_r : nal_trail_r;
        cur->sh.slice_type = slice_b;
        break;
    default:
        cur->nal_unit_type = leading ? nal_rasl_n : nal_trail_n;
        cur->sh.slice_type = slice_b;
        break;
    }
    cur->slice_class = cur->sh.slice_type;
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
    return is_ref ? picture_subpel_attach(cur->pools, rec) : 0;
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
// that anchor, so it could not have run far ahead of it anyway. The wait is
// for given pictures, so the result does not depend on timing.
int32_t anchor_sizes_learn(encoder_instance *cur)
{
    encoder_instance *inst = cur->slot_array[0];
    if (!is_anchor(cur->source_picture) || !ratecontrol_wants_early_sizes(cur->rc, &cur->config)) return 0;
    for (int32_t i = 0; i < inst->frame_instance_count; i++) {
        encoder_instance *fi = inst->slot_array[i];
        if (fi == cur || !fi->submitted || !fi->source_picture || !is_anchor(fi->source_picture)) continue;
        if (row_sched_wait_frame(fi->scheduler, fi->recon_picture->frame_number) != 0) {
            __atomic_store_n(inst->job_failed, 1, __ATOMIC_RELEASE);
            return -1;
        }
        int64_t payload = 0;
        for (int32_t k = 0; k < fi->bitstream.nal_count; k++) payload += fi->bitstream.nals[k].size;
        ratecontrol_size_known(fi->rc, 8.0 * (double)payload);
    }
    return 0;
}

int32_t rate_control_start(encoder_instance *cur)
{
    if (anchor_sizes_learn(cur) != 0) return -1;
    rc_picture pic;
    pic.source = cur->source_picture;
    pic.recon = cur->recon_picture;
    pic.ref0 = cur->ref_count_l0 > 0 ? cur->list0[0] : nullptr;
    pic.ref1 = cur->ref_count_l1 > 0 ? cur->list1[0] : nullptr;
    pic.slice_class = cur->slice_class;
    pic.coding_number = cur->coding_number;
    pic.irap_count = cur->irap_count;
    return ratecontrol_start(cur->rc, &cur->config, &pic);
}

// Appends one RBSP unit written by `write` to the frame instance's NAL list.
template <typename F>
int32_t nal_append(encoder_instance *cur, uint32_t type, F write)
{
    nal_record_begin(&cur->bitstream, type);
    write(&cur->bitstream.writer);
    return nal_record_end(&cur->bitstream);
}

// Steps 14 to 16: parameter sets and SEI before the slice.
int32_t headers_write(encoder_instance *cur, const picture *src)
{
    const internal_config *cfg = &cur->config;
    frame_bitstream_reset(&cur->bitstream);
    bool irap = src->picture_type == PIC_TYPE_IDR || src->picture_type == PIC_TYPE_CRA;
    int32_t compat = cfg->compat;
    if (irap) {
        if (nal_append(cur, nal_vps, [&](bit_writer *bw) { write_vps(bw, &cur->vps, compat); }) != 0) return -1;
        if (nal_append(cur, nal_sps, [&](bit_writer *bw) { write_sps(bw, &cur->sps, compat); }) != 0) return -1;
        if (nal_append(cur, nal_pps, [&](bit_writer *bw) { write_pps(bw, &cur->pps, compat); }) != 0) return -1;
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
int32_t row_context_wait_idle(encoder_instance *rc)
{
    if (rc->assigned_frame < 0) return 0;
    return row_sched_wait_frame(rc->scheduler, rc->assigned_frame) == ROW_SCHED_ERR_FAILED ? -1 : 0;
}

// Steps 20 to 22. 0, or -1 when the scheduler refuses the picture.
int32_t rows_register(encoder_instance *cur)
{
    encoder_instance *inst = cur->slot_array[0];
    int32_t rows = cur->ctu_rows;
    std::memset(&cur->stats.picture_sums, 0, sizeof(cur->stats.picture_sums));
    cur->substream_sizes[-1] = 0;
    cur->ep_state.zeros = 0;
    cur->ctu_x = cur->ctu_y = 0;
    cur->first_row_context = inst->rc_rotation;
    for (int32_t r = 1; r < rows; r++) {
        encoder_instance *rc = inst->row_context_array[(inst->rc_rotation + r - 1) % inst->row_context_count];
        if (row_context_wait_idle(rc) != 0) return -1;
    }
    for (int32_t r = 1; r < rows; r++) {
        encoder_instance *rc = inst->row_context_array[(inst->rc_rotation + r - 1) % inst->row_context_count];
        rc->ctu_x = 0;
        rc->ctu_y = r;
        rc->owner = cur;
        rc->assigned_frame = cur->recon_picture->frame_number;
    }
    cur->submitted = 1;
    for (int32_t r = 0; r < rows; r++) {
        encoder_instance *ctx = r == 0 ? cur : row_context_of(cur, r);
        if (row_sched_add_row(cur->scheduler, r, cur->recon_picture, ctx) != 0) {
            cur->submitted = 0;
            return -1;
        }
    }
    if (rows > 1) inst->rc_rotation = (inst->rc_rotation + rows - 1) % inst->row_context_count;
    return 0;
}

// Steps 9 to 22 for the next picture in coding order.
int32_t picture_start(encoder_instance *cur)
{
    const internal_config *cfg = &cur->config;
    picture *src = (picture *)picture_list_pop_first(cur->coding_queue);
    cur->source_picture = src;
    bool intra = src->picture_type == PIC_TYPE_IDR || src->picture_type == PIC_TYPE_CRA ||
                 src->picture_type == PIC_TYPE_I;
    // The coarse motion search reads the half-resolution planes of the
    // picture and of its references: every picture gets one, intra pictures
    // too, since they serve as references, and its reconstruction keeps a copy.
    if (cfg->coarse_me || (cfg->halfres_intra && intra)) lowres_build(cur, src, 0);
    if (cfg->coarse_me) picture_lowres_copy(cur->recon_picture, src);
    if (picture_identity(cur, src) != 0) goto fail;
    ref_lists_build(cur, cur->recon_picture->poc, cur->recon_picture->ra_period);
    if (headers_write(cur, src) != 0) goto fail;
    if (rate_control_start(cur) != 0) goto fail;
    {
        int32_t qp = ratecontrol_frame_qp(cur->rc, cfg);
        if (cfg->p_as_b && src->picture_type == PIC_TYPE_P) {
            cur->sh.slice_type = slice_b;
            ref_list1_from_list0(cur);
        }
        slice_header_fill(cur, qp);
    }
    if (rows_register(cur) != 0) goto fail;
    return 0;
fail:
    // The picture was taken for coding but never registered: give it back.
    cur->bitstream.nal_count = 0;
    picture_release(cur->pools, src);
    cur->source_picture = nullptr;
    return -1;
}

}  // namespace

encoder_instance *row_context_of(encoder_instance *fi, int32_t y)
{
    if (y == 0) return fi;
    encoder_instance *inst = fi->slot_array[0];
    return inst->row_context_array[(fi->first_row_context + y - 1) % inst->row_context_count];
}

int32_t encoder_encode_frame(encoder_instance *inst, nal_entry **out_nals, uint32_t *out_nal_count,
                             input_frame *input, frame_output *out)
{
    if (__atomic_load_n(inst->job_failed, __ATOMIC_ACQUIRE)) return -1;
    int32_t n = inst->frame_instance_count;
    encoder_instance *cur = inst, *next = inst;
    if (n >= 2) {
        encoder_instance *prev = inst->slot_array[inst->fi_rotation];
        inst->fi_rotation = (inst->fi_rotation + 1) % n;
        cur = inst->slot_array[inst->fi_rotation];
        next = inst->slot_array[(inst->fi_rotation + 1) % n];
        if (frame_instance_handover(cur, prev) != 0) return -1;
        ratecontrol_thread_sync(cur->rc, prev->rc, next->rc);
    }
    if (dpb_update(cur) != 0) return -1;
    if (out_nal_count) *out_nal_count = 0;
    if (out_nals) *out_nals = nullptr;
    if (out) out->type = 0;
    if (input) {
        int32_t r = take_input(cur, input);
        if (r != 0) return r < 0 ? -1 : 0;
    } else {
        picture_list *q = cur->la->input_queue;
        mutex_lock(&q->lock);
        cond_broadcast(&q->not_empty);
        mutex_unlock(&q->lock);
    }
    cur->coding_number++;
    if (cur->coding_queue->count == 0 && lookahead_get_frames(cur->la) != 0) return -1;
    if (cur->coding_queue->count > 0) {
        if (picture_start(cur) != 0) return -1;
    }
    return encoder_collect_output(next, cur, out_nals, out_nal_count, out);
}

// Whether the frame instance's picture predicts from r.
static bool predicts_from(const encoder_instance *fi, const picture *r)
{
    for (int32_t k = 0; k < fi->ref_count_l0; k++)
        if (fi->list0[k] == r) return true;
    for (int32_t k = 0; k < fi->ref_count_l1; k++)
        if (fi->list1[k] == r) return true;
    return false;
}

void references_keep_predicted(encoder_instance *fi)
{
    picture_list *list = fi->reference_list;
    int32_t kept = 0;
    for (int32_t k = 0; k < list->count; k++) {
        picture *r = (picture *)list->entries[k];
        if (fi->submitted && predicts_from(fi, r)) list->entries[kept++] = r;
        else picture_release(fi->pools, r);
    }
    for (int32_t k = kept; k < list->count; k++) list->entries[k] = nullptr;
    list->count = kept;
}

int32_t frame_instance_handover(encoder_instance *cur, encoder_instance *prev)
{
    if (cur == prev) return 0;
    picture_list *cl = cur->reference_list, *pl = prev->reference_list;
    for (int32_t k = 0; k < pl->count; k++) ((picture *)pl->entries[k])->reference_count++;
    while (cl->count > 0) picture_release(cur->pools, (picture *)picture_list_pop_first(cl));
    for (int32_t k = 0; k < pl->count; k++) {
        if (picture_list_push_last(cl, pl->entries[k]) == 0) continue;
        // No room (every frame instance's list has the same size): give back
        // the references that were not handed on and fail the call.
        for (; k < pl->count; k++) picture_release(cur->pools, (picture *)pl->entries[k]);
        return -1;
    }
    if (prev->recon_picture) prev->recon_picture->reference_count++;
    picture_release(cur->pools, cur->recon_picture);
    references_keep_predicted(prev);
    cur->coding_number = prev->coding_number;
    cur->irap_count = prev->irap_count;
    cur->nal_unit_type = prev->nal_unit_type;
    cur->width = prev->width;
    cur->height = prev->height;
    cur->vps = prev->vps;
    cur->sh = prev->sh;
    cur->rps = prev->rps;
    cur->coding_queue = prev->coding_queue;
    cur->pools = prev->pools;
    cur->received = prev->received;
    cur->delay = prev->delay;
    cur->p_ref_limit = prev->p_ref_limit;
    cur->b_ref_limit = prev->b_ref_limit;
    cur->source_picture = prev->source_picture;
    cur->recon_picture = prev->recon_picture;
    cur->ref_count_l0 = prev->ref_count_l0;
    cur->ref_count_l1 = prev->ref_count_l1;
    std::memcpy(cur->list0, prev->list0, sizeof(cur->list0));
    std::memcpy(cur->list1, prev->list1, sizeof(cur->list1));
    cur->sps = prev->sps;
    cur->pps = prev->pps;
    cur->active_sps = &cur->sps;
    cur->active_pps = &cur->pps;
    cur->ctu_cols = prev->ctu_cols;
    cur->ctu_rows = prev->ctu_rows;
    cur->ctu_count = prev->ctu_count;
    std::memcpy(cur->mv_min_full, prev->mv_min_full, sizeof(cur->mv_min_full));
    std::memcpy(cur->mv_max_full, prev->mv_max_full, sizeof(cur->mv_max_full));
    std::memcpy(cur->mv_min_qpel, prev->mv_min_qpel, sizeof(cur->mv_min_qpel));
    std::memcpy(cur->mv_max_qpel, prev->mv_max_qpel, sizeof(cur->mv_max_qpel));
    // The running totals travel with the rotation. The working configuration
    // is not copied: prev's CTU threads may be restoring theirs right now, and
    // every frame instance restores its own from the saved copy at its first CTU.
    std::memcpy(cur->stats.class_bytes, prev->stats.class_bytes, sizeof(cur->stats.class_bytes));
    std::memcpy(cur->stats.class_pictures, prev->stats.class_pictures, sizeof(cur->stats.class_pictures));
    std::memcpy(cur->stats.psnr_sum, prev->stats.psnr_sum, sizeof(cur->stats.psnr_sum));
    return 0;
}

namespace {

// Files the coded reference picture into the reference list and sets *limit
// to the list length to keep (-1: no limit). -1 when the list has no room.
int32_t dpb_insert(encoder_instance *fi, picture *prev, int32_t *limit)
{
    const internal_config *cfg = &fi->config;
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
        picture_release(fi->pools, (picture *)picture_list_pop_first(list));
    if ((prev->picture_type == PIC_TYPE_P || prev->picture_type >= PIC_TYPE_BREF) && prev->p_layer > 0)
        return picture_list_push_first(list, prev);
    *limit = fi->sps.p_refs;
    return picture_list_push_last(list, prev);
}

}  // namespace

int32_t dpb_update(encoder_instance *fi)
{
    picture *prev = fi->recon_picture;
    picture_list *list = fi->reference_list;
    int32_t limit = -1;
    // No picture after an earlier failure: only a new one is needed.
    if (prev && !prev->is_reference) {
        picture_release(fi->pools, prev);
    } else if (prev && dpb_insert(fi, prev, &limit) != 0) {
        // A reference that finds no room ends the call instead of vanishing.
        picture_release(fi->pools, prev);
        fi->recon_picture = nullptr;
        return -1;
    }
    if (limit >= 0 && list->count > limit) picture_release(fi->pools, (picture *)picture_list_pop_first(list));
    picture *rec = picture_get(fi->pools, PICTURE_POOL_RECON);
    fi->recon_picture = rec;
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
bool same_period(const encoder_instance *fi, const picture *r, int32_t ra)
{
    return fi->nal_unit_type == nal_cra || r->ra_period == ra ||
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
void gather_references(encoder_instance *fi, int32_t poc, int32_t ra, bool usable_only, picture **l0, int32_t *c0,
                       picture **l1, int32_t *c1)
{
    *c0 = *c1 = 0;
    picture_list *list = fi->reference_list;
    for (int32_t k = 0; k < list->count; k++) {
        picture *r = (picture *)list->entries[k];
        if (!same_period(fi, r, ra) || (usable_only && !usable_reference(fi->recon_picture, r, poc))) continue;
        if (r->poc < poc && *c0 < GATHER_MAX) l0[(*c0)++] = r;
        else if (r->poc > poc && *c1 < GATHER_MAX) l1[(*c1)++] = r;
    }
    sort_nearest_first(l0, *c0, l1, *c1);
}

// The reference set keeps every picture of the period that the reference
// list still holds, also those this picture does not use: a later picture of
// the pyramid may use one again, and a picture left out of one set is gone
// from the decoder for good.
void kept_pictures(encoder_instance *fi, int32_t poc, int32_t ra)
{
    picture *k0[GATHER_MAX], *k1[GATHER_MAX];
    int32_t c0, c1;
    gather_references(fi, poc, ra, false, k0, &c0, k1, &c1);
    fi->rps_pocs_count[0] = min_i32(c0, PICTURE_MAX_REFS);
    fi->rps_pocs_count[1] = min_i32(c1, PICTURE_MAX_REFS);
    fi->rps.num_negative = fi->rps_pocs_count[0];
    fi->rps.num_positive = fi->rps_pocs_count[1];
    for (int32_t k = 0; k < fi->rps_pocs_count[0]; k++) fi->rps_pocs[0][k] = k0[k]->poc;
    for (int32_t k = 0; k < fi->rps_pocs_count[1]; k++) fi->rps_pocs[1][k] = k1[k]->poc;
}

}  // namespace

// The low-resolution distances the lookahead analysed the source picture
// with: to the nearest list-0 reference whose motion field it computed, and
// the list-1 reference paired with it (0 when the list-0 cost stands alone).
// Mode decision reads the lookahead's vectors and block costs through them.
static void lowres_distances_choose(encoder_instance *fi)
{
    const internal_config *cfg = &fi->config;
    picture *src = fi->source_picture;
    if (!src || cfg->grid_cols != 1 || cfg->grid_rows != 1) return;
    if (cfg->rc_mode == RC_MODE_CQP && cfg->vbv_bufsize == 0 && cfg->scenecut == 0) return;
    int32_t limit = cfg->bframes + 1 < PICTURE_MAX_DISTANCE ? cfg->bframes + 1 : PICTURE_MAX_DISTANCE;
    for (int32_t k = 0; k < fi->ref_count_l0; k++) {
        int32_t d = (int16_t)(src->frame_number - fi->list0[k]->frame_number);
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
    for (int32_t k = 0; k < fi->ref_count_l1; k++) {
        int32_t d = (int16_t)(fi->list1[k]->frame_number - src->frame_number);
        if (d > limit || d < 1) break;
        if (src->frame_cost[past][d] >= 0) {
            src->ref_distance_future = (int16_t)d;
            break;
        }
    }
}

void ref_lists_build(encoder_instance *fi, int32_t poc, int32_t ra)
{
    const internal_config *cfg = &fi->config;
    picture *rec = fi->recon_picture;
    fi->ref_count_l0 = fi->ref_count_l1 = 0;
    fi->active_refs[0] = fi->active_refs[1] = 0;
    if (fi->nal_unit_type == nal_idr_w_radl) {
        rec->ref_count[0] = rec->ref_count[1] = 0;
        return;
    }
    picture *l0[GATHER_MAX], *l1[GATHER_MAX];
    int32_t c0, c1;
    gather_references(fi, poc, ra, true, l0, &c0, l1, &c1);
    kept_pictures(fi, poc, ra);
    int32_t a0 = min_i32(c0, fi->p_ref_limit), a1 = min_i32(c1, fi->b_ref_limit);
    if (cfg->latency_mode == 0 && rec->p_layer > 0) a0 = min_i32(a0, 1 + (cfg->complexity >= 2 ? 1 : 0));
    if (fi->sh.slice_type == slice_b) {
        a0 = min_i32(a0, cfg->brefs);
        a1 = min_i32(a1, cfg->brefs);
    }
    if (fi->sh.slice_type == slice_i) a0 = a1 = 0;
    a0 = min_i32(a0, ENCODER_MAX_REFS);
    a1 = min_i32(a1, ENCODER_MAX_REFS);
    fi->ref_count_l0 = a0;
    fi->ref_count_l1 = a1;
    for (int32_t k = 0; k < ENCODER_MAX_REFS; k++) {
        fi->list0[k] = k < a0 ? l0[k] : nullptr;
        fi->list1[k] = k < a1 ? l1[k] : nullptr;
    }
    rec->ref_count[0] = a0;
    rec->ref_count[1] = a1;
    for (int32_t k = 0; k < PICTURE_MAX_REFS; k++) {
        rec->ref_pocs[0][k] = k < a0 ? l0[k]->poc : -1;
        rec->ref_pocs[1][k] = k < a1 ? l1[k]->poc : -1;
        rec->ref_frame_numbers[0][k] = k < a0 ? l0[k]->frame_number : -1;
        rec->ref_frame_numbers[1][k] = k < a1 ? l1[k]->frame_number : -1;
    }
    fi->active_refs[0] = (int16_t)a0;
    fi->active_refs[1] = (int16_t)a1;
    lowres_distances_choose(fi);
}

void ref_list1_from_list0(encoder_instance *fi)
{
    fi->ref_count_l1 = fi->ref_count_l0;
    fi->active_refs[1] = fi->active_refs[0];
    std::memcpy(fi->list1, fi->list0, sizeof(fi->list1));
    picture *rec = fi->recon_picture;
    rec->ref_count[1] = rec->ref_count[0];
    std::memcpy(rec->ref_pocs[1], rec->ref_pocs[0], sizeof(rec->ref_pocs[1]));
    std::memcpy(rec->ref_frame_numbers[1], rec->ref_frame_numbers[0], sizeof(rec->ref_frame_numbers[1]));
}

void slice_header_fill(encoder_instance *fi, int32_t qp)
{
    const internal_config *cfg = &fi->config;
    slice_header *sh = &fi->sh;
    const picture *rec = fi->recon_picture;
    sh->sps = &fi->sps;
    sh->pps = &fi->pps;
    uint32_t sao = fi->sps.sao_enabled ? (uint32_t)cfg->sao & 3u : 0u;
    if (rec->picture_type == PIC_TYPE_B) sao = 0;
    if (cfg->complexity == 0 && cfg->latency_mode != LATENCY_NONE && rec->picture_type == PIC_TYPE_P &&
        rec->p_layer > 1)
        sao = 0;
    sh->sao_flags = sao;
    sh->irap_count = fi->irap_count;
    sh->poc = rec->poc;
    sh->num_ref_idx_l0_active = fi->ref_count_l0;
    sh->num_ref_idx_l1_active = fi->ref_count_l1;
    sh->max_num_merge_cand = cfg->max_merge_cand > 0 ? cfg->max_merge_cand : 5;
    sh->cabac_init_flag = 0;
    sh->first_slice_segment_in_pic_flag = 1;
    sh->slice_qp = qp;
    sh->slice_qp_delta = qp - fi->pps.init_qp;
    if (rec->picture_type == PIC_TYPE_P) sh->collocated_from_l0 = 1;
    else if (rec->picture_type == PIC_TYPE_BREF) sh->collocated_from_l0 = 0;
    else sh->collocated_from_l0 = (rec->poc % (cfg->bframes + 1)) > cfg->bframes / 2 ? 1 : 0;
    fi->current_qp = qp;
    fi->qp_prev = qp;
    if (fi->nal_unit_type != nal_idr_w_radl) {
        int32_t used[2 * ENCODER_MAX_REFS], n = 0;
        for (int32_t k = 0; k < fi->ref_count_l0; k++) used[n++] = fi->list0[k]->poc;
        for (int32_t k = 0; k < fi->ref_count_l1; k++) used[n++] = fi->list1[k]->poc;
        build_short_term_rps(&fi->rps, rec->poc, fi->rps_pocs[0], fi->rps_pocs[1], used, n);
    }
    frame_recon_pointers_load(fi);
}

void row_context_take_state(encoder_instance *rc, encoder_instance *fi)
{
    if (rc == fi) return;
    rc->rc = fi->rc;
    rc->first_row_context = fi->first_row_context;
    rc->tables = fi->tables;
    rc->active_refs[0] = fi->active_refs[0];
    rc->active_refs[1] = fi->active_refs[1];
    rc->substream_sizes = fi->substream_sizes;
    rc->slice_data = fi->slice_data;
    rc->coding_number = fi->coding_number;
    rc->irap_count = fi->irap_count;
    rc->nal_unit_type = fi->nal_unit_type;
    rc->sh = fi->sh;
    rc->sps = fi->sps;
    rc->pps = fi->pps;
    rc->active_sps = &rc->sps;
    rc->active_pps = &rc->pps;
    rc->sh.sps = &rc->sps;
    rc->sh.pps = &rc->pps;
    rc->rps = fi->rps;
    rc->source_picture = fi->source_picture;
    rc->recon_picture = fi->recon_picture;
    rc->ref_count_l0 = fi->ref_count_l0;
    rc->ref_count_l1 = fi->ref_count_l1;
    std::memcpy(rc->list0, fi->list0, sizeof(rc->list0));
    std::memcpy(rc->list1, fi->list1, sizeof(rc->list1));
    rc->slice_class = fi->slice_class;
    rc->current_qp = fi->current_qp;
    std::memcpy(rc->recon_planes, fi->recon_planes, sizeof(rc->recon_planes));
    std::memcpy(rc->recon_strides, fi->recon_strides, sizeof(rc->recon_strides));
    rc->saved_config = fi->saved_config;
}

void config_restore(encoder_instance *ctx)
{
    internal_config cfg = ctx->saved_config;
    int32_t hi = (int32_t)ctx->control.user_hi;
    if (hi == -1 || hi == -2) cfg.rdoq = 1;
    if (hi == 1 || hi == 2) cfg.me_extra = 0;
    // Only a real change is written, so readers of an unchanged record on
    // other threads never meet a concurrent store.
    if (std::memcmp(&cfg, &ctx->config, sizeof(cfg)) != 0) ctx->config = cfg;
}
