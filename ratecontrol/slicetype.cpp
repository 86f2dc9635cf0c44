// Picture-type decision over the lookahead window, with scene-cut detection.
//
// The run length of B pictures is fixed by the configuration; low-resolution
// costs decide only scene cuts. Positions of the window are consecutive
// display numbers, the held anchor (if any) at position 0.
#include <algorithm>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "encoder/picture_list.h"
#include "ratecontrol/lookahead.h"

namespace {

// State of one decision.
struct decision {
    lookahead *la;
    const internal_config *cfg;
    picture **frames;
    int32_t n;           // positions, held anchor included
    int32_t first;       // 1 when the held anchor sits at position 0
    int32_t a;           // position of the latest anchor
    int32_t key_type;
    int32_t tail;        // no periodic keyframe on the last tail - 1 positions at the end
    bool end_of_stream;
};

int32_t key_distance(const decision *d, int32_t i)
{
    return d->frames[i]->frame_number - d->la->last_keyframe;
}

bool no_key(const decision *d, int32_t i)
{
    return d->end_of_stream && d->n - i < d->tail;
}

bool no_pre_key(const decision *d, int32_t i)
{
    return d->end_of_stream && d->n - i - 1 < d->tail;
}

bool key_due(const decision *d, int32_t i)
{
    return key_distance(d, i) == d->cfg->idr_period && !no_key(d, i);
}

// A closed GOP forces a P just before the periodic IDR, so the IDR is decided
// alone and no B picture precedes it in its mini-GOP.
bool pre_key_due(const decision *d, int32_t i)
{
    return d->cfg->open_gop == 0 && key_distance(d, i) == d->cfg->idr_period - 1 && !no_pre_key(d, i);
}

void make_keyframe(decision *d, int32_t i)
{
    picture *pic = d->frames[i];
    lookahead *la = d->la;
    pic->picture_type = (uint32_t)d->key_type;
    pic->layer = 0;
    la->ra_count++;
    pic->ra_period = la->ra_count;
    la->last_keyframe = pic->frame_number;
    d->a = i;
}

// Under zero latency P pictures follow a cycle of four: 2, 1, 2, 0.
void set_p_layer(decision *d, picture *pic)
{
    lookahead *la = d->la;
    pic->p_layer = 0;
    if (d->cfg->latency_mode != LATENCY_ZERO) return;
    int32_t base = std::max(la->last_keyframe, la->last_base_p);
    if (pic->frame_number >= base + 4) {
        la->last_base_p = pic->frame_number;
    } else {
        pic->p_layer = pic->frame_number == base + 2 ? 1 : 2;
    }
}

void make_p(decision *d, int32_t i, bool layered)
{
    picture *pic = d->frames[i];
    pic->picture_type = PIC_TYPE_P;
    pic->layer = 0;
    pic->p_layer = 0;
    if (layered) set_p_layer(d, pic);
    d->a = i;
}

void make_b(decision *d, int32_t i)
{
    d->frames[i]->picture_type = PIC_TYPE_B;
    d->frames[i]->layer = (uint8_t)(d->cfg->hierarchy + 1);
}

// Below complexity 4 one P cost decides whether scene cuts are looked for at
// all: a picture bframes + 1 ahead that still predicts well from the anchor
// means no cut lies before it.
bool scenecut_gate(decision *d)
{
    if (d->cfg->scenecut == 0) return false;
    if (d->cfg->complexity >= 4) return true;
    int32_t j = std::min(d->cfg->bframes + 1, d->n - 1);
    picture *pic = d->frames[j];
    if (pic->scenecut_candidate == 0) return false;
    lookahead_frame_cost(d->la, d->frames, 0, j, j);
    return (float)pic->frame_cost[j][0] >= 0.95f * (float)pic->frame_cost[0][0];
}

// The loop that types pictures until an anchor is decided; returns the
// position where it stopped.
int32_t decide_run(decision *d, bool sc)
{
    bool cut_pending = false;
    int32_t i = 1;
    for (; i < d->n && d->a < 1; i++) {
        d->frames[i]->ra_period = d->la->ra_count;
        if (key_due(d, i) || cut_pending) {
            make_keyframe(d, i);
        } else if (pre_key_due(d, i) || i - d->a == d->cfg->bframes + 1) {
            make_p(d, i, true);
        } else if (sc && i < d->n - 2 && lookahead_scenecut(d->la, i, i + 1, d->n)) {
            if (d->cfg->open_gop == 0) {
                // The cut picture is tested again as position 1 of the next decision.
                make_p(d, i, false);
            } else {
                // The cut picture becomes a CRA closing this run.
                cut_pending = true;
                make_b(d, i);
            }
        } else {
            make_b(d, i);
        }
    }
    return i;
}

// Types for the macroblock-tree only: no counters, layers or periods change,
// and the reorder step clears them again. Returns the last position typed.
int32_t provisional_types(decision *d, int32_t i)
{
    int32_t a = d->a;
    int32_t last = d->n - 1;
    for (; i < d->n; i++) {
        picture *pic = d->frames[i];
        if (key_due(d, i)) {
            pic->picture_type = (uint32_t)d->key_type;
            return i;
        }
        if (pre_key_due(d, i) || i - a == d->cfg->bframes + 1) {
            pic->picture_type = PIC_TYPE_P;
            a = i;
        } else {
            pic->picture_type = PIC_TYPE_B;
        }
    }
    return last;
}

void mark_reference_b(picture *pic, int32_t layer)
{
    pic->picture_type = PIC_TYPE_BREF;
    pic->layer = (uint8_t)layer;
}

// The same index rules as the coding order: middle, then quarters.
void mark_pyramid(decision *d)
{
    int32_t nb = d->a - d->first;
    int32_t h = d->cfg->hierarchy;
    if (h == 0 || nb < 2) return;
    picture **run = d->frames + d->first;
    d->frames[d->a]->layer = 0;
    int32_t m = (nb + 1) / 2 - 1;
    mark_reference_b(run[m], 1);
    if (h == 2 && nb >= 4) {
        mark_reference_b(run[((nb + 1) / 2) / 2 - 1], 2);
        mark_reference_b(run[m + (nb - m) / 2], 2);
    }
}

void window_costs(decision *d, int32_t last)
{
    const internal_config *cfg = d->cfg;
    if (cfg->mbtree)
        mbtree_analyse(d->la, d->frames, last, d->first);
    else if (cfg->rc_mode != RC_MODE_CQP || cfg->vbv_maxrate != 0)
        lookahead_window_costs(d->la, d->frames, last, d->first);
}

}  // namespace

int lookahead_slicetype_decide(lookahead *la)
{
    picture_list *queue = la->input_queue;
    if (queue->count == 0) return 0;
    const internal_config *cfg = la->links.cfg;
    decision d = {};
    d.la = la;
    d.cfg = cfg;
    d.key_type = cfg->open_gop ? PIC_TYPE_CRA : PIC_TYPE_IDR;
    d.tail = std::min(2 * cfg->bframes + 2, cfg->idr_period / 3);
    d.end_of_stream = queue->count <= la->links.lookahead_delay;

    int32_t i;
    if (!la->held_anchor) {
        d.frames = (picture **)queue->entries;
        d.n = queue->count;
        make_keyframe(&d, 0);
        i = 1;
    } else {
        if (picture_list_push_first(queue, la->held_anchor) != 0) return -1;
        d.frames = (picture **)queue->entries;
        d.n = queue->count;
        d.first = 1;
        bool sc = scenecut_gate(&d);
        if (sc && d.n > 2 && lookahead_scenecut(la, 0, 1, d.n)) {
            make_keyframe(&d, 1);
            i = 2;
        } else {
            i = decide_run(&d, sc);
        }
    }
    int32_t last = d.a;
    if (cfg->mbtree) last = provisional_types(&d, i);
    if (d.a < d.first) {
        // Only at the end of the stream: fewer than bframes + 1 pictures remain.
        d.a = d.n - 1;
        last = std::max(last, d.a);
    }
    picture *tail = d.frames[d.n - 1];
    if (tail->picture_type == PIC_TYPE_B) {
        tail->picture_type = PIC_TYPE_P;
        tail->layer = 0;
        tail->p_layer = 0;
    }
    window_costs(&d, last);
    mark_pyramid(&d);
    if (d.first) picture_list_pop_first(queue);
    return 0;
}

int32_t lookahead_scenecut_test(lookahead *la, int32_t p0, int32_t p1)
{
    const internal_config *cfg = la->links.cfg;
    picture **frames = (picture **)la->input_queue->entries;
    lookahead_frame_cost(la, frames, p0, p1, p1);
    picture *pic = frames[p1];
    float icost = (float)pic->frame_cost[0][0];
    float pcost = (float)pic->frame_cost[p1 - p0][0];
    int32_t g = pic->frame_number - la->last_keyframe;
    float tmax = (float)cfg->scenecut * 0.01f;
    float tmin = cfg->min_idr == cfg->idr_period ? tmax : tmax * 0.25f;
    float bias;
    if (g <= (cfg->min_idr >> 2)) {
        bias = tmin * 0.25f;
    } else if (g <= cfg->min_idr) {
        bias = ((float)g * tmin) / (float)cfg->min_idr;
    } else {
        bias = tmin;
        if (cfg->idr_period != cfg->min_idr)
            bias += ((float)(g - cfg->min_idr) * (tmax - tmin)) / (float)(cfg->idr_period - cfg->min_idr);
    }
    return pcost >= (1.0f - bias) * icost ? 1 : 0;
}

namespace {

void clear_candidates(picture **frames, int32_t from, int32_t to)
{
    for (int32_t q = from; q <= to; q++) frames[q]->scenecut_candidate = 0;
}

}  // namespace

// A short flash or a run of short scenes does not start a new scene: only a
// picture from which the scene stays new for bframes + 1 pictures does.
int32_t lookahead_scenecut(lookahead *la, int32_t p0, int32_t p1, int32_t n)
{
    const internal_config *cfg = la->links.cfg;
    picture **frames = (picture **)la->input_queue->entries;
    if (cfg->bframes != 0) {
        int32_t last = std::min(p0 + cfg->bframes + 1, n - 1);
        if (!lookahead_scenecut_test(la, p0, last)) {
            clear_candidates(frames, p0 + 1, last);
        } else {
            for (int32_t q = p1; q < last; q++)
                if (!lookahead_scenecut_test(la, p0, q)) clear_candidates(frames, p0 + 1, q);
            for (int32_t q = p0; q < last; q++)
                if (lookahead_scenecut_test(la, q, last)) frames[q]->scenecut_candidate = 0;
        }
    }
    if (frames[p1]->scenecut_candidate == 0) return 0;
    return lookahead_scenecut_test(la, p0, p1);
}
