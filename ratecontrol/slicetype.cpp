// Picture-type decision over the lookahead window, with scene-cut detection.
//
// The run length of B pictures is fixed by the configuration; low-resolution
// costs decide only scene cuts. Positions of the window are consecutive
// display numbers, the held anchor (if any) at position 0.
//
// The same decision also runs ahead on the lookahead's thread, on a copy of
// the window, only for the scene-cut costs it asks for (lookahead_ahead.cpp):
// it writes nothing into the pictures or the lookahead, and it stops where
// the answer would depend on pictures that have not arrived yet.
#include <algorithm>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "encoder/picture_list.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lookahead_ahead.h"

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
    // The lookahead's counters as the decision goes: written back by a real
    // decision, dropped by a speculative one.
    int32_t last_keyframe, ra_count, last_base_p;
    // Speculative decision: its own scene-cut candidate flags, nothing written
    // into the pictures, costs from the speculation, and a stop wherever the
    // window's end would change the answer while more input may come.
    uint8_t *candidates;     // null in a real decision
    bool window_open;
    bool stopped;
};

bool speculative(const decision *d)
{
    return d->candidates != nullptr;
}

// A speculative decision that would read past what the window holds stops
// there; true when it has stopped.
bool beyond_window(decision *d, bool past_end)
{
    if (speculative(d) && d->window_open && past_end) d->stopped = true;
    return d->stopped;
}

bool candidate(const decision *d, int32_t i)
{
    return speculative(d) ? d->candidates[i] != 0 : d->frames[i]->scenecut_candidate != 0;
}

void clear_candidate(decision *d, int32_t i)
{
    if (speculative(d)) d->candidates[i] = 0;
    else d->frames[i]->scenecut_candidate = 0;
}

int32_t key_distance(const decision *d, int32_t i)
{
    return d->frames[i]->frame_number - d->last_keyframe;
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
    d->ra_count++;
    if (!speculative(d)) {
        pic->picture_type = (uint32_t)d->key_type;
        pic->layer = 0;
        pic->ra_period = d->ra_count;
    }
    d->last_keyframe = pic->frame_number;
    d->a = i;
}

// Under zero latency P pictures follow a cycle of four: 2, 1, 2, 0.
uint16_t p_layer_of(decision *d, const picture *pic)
{
    if (d->cfg->latency_mode != LATENCY_ZERO) return 0;
    int32_t base = std::max(d->last_keyframe, d->last_base_p);
    if (pic->frame_number >= base + 4) {
        d->last_base_p = pic->frame_number;
        return 0;
    }
    return pic->frame_number == base + 2 ? 1 : 2;
}

void make_p(decision *d, int32_t i, bool layered)
{
    picture *pic = d->frames[i];
    uint16_t p_layer = layered ? p_layer_of(d, pic) : 0;
    if (!speculative(d)) {
        pic->picture_type = PIC_TYPE_P;
        pic->layer = 0;
        pic->p_layer = p_layer;
    }
    d->a = i;
}

void make_b(decision *d, int32_t i)
{
    if (speculative(d)) return;
    d->frames[i]->picture_type = PIC_TYPE_B;
    d->frames[i]->layer = (uint8_t)(d->cfg->hierarchy + 1);
}

// The intra cost of frames[p1] and its P cost from frames[p0]: computed here
// in a real decision, taken from the speculation in a speculative one (false
// once it has stopped).
bool p_costs(decision *d, int32_t p0, int32_t p1, float *intra, float *inter)
{
    if (d->stopped) return false;
    if (speculative(d)) {
        int32_t i, p;
        if (!lookahead_ahead_p_cost(d->la, d->frames, p0, p1, &i, &p)) {
            d->stopped = true;
            return false;
        }
        *intra = (float)i;
        *inter = (float)p;
        return true;
    }
    lookahead_frame_cost(d->la, d->frames, p0, p1, p1);
    const picture *pic = d->frames[p1];
    *intra = (float)pic->frame_cost[0][0];
    *inter = (float)pic->frame_cost[p1 - p0][0];
    return true;
}

// 1 when the P cost of frames[p1] from frames[p0] reaches the biased intra cost.
int32_t scenecut_test(decision *d, int32_t p0, int32_t p1)
{
    const internal_config *cfg = d->cfg;
    float icost, pcost;
    if (!p_costs(d, p0, p1, &icost, &pcost)) return 0;
    int32_t g = d->frames[p1]->frame_number - d->last_keyframe;
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

void clear_candidates(decision *d, int32_t from, int32_t to)
{
    for (int32_t q = from; q <= to; q++) clear_candidate(d, q);
}

// A short flash or a run of short scenes does not start a new scene: only a
// picture from which the scene stays new for bframes + 1 pictures does.
int32_t scenecut(decision *d, int32_t p0, int32_t p1)
{
    const internal_config *cfg = d->cfg;
    if (cfg->bframes != 0) {
        if (beyond_window(d, p0 + cfg->bframes + 1 > d->n - 1)) return 0;
        int32_t last = std::min(p0 + cfg->bframes + 1, d->n - 1);
        if (!scenecut_test(d, p0, last)) {
            clear_candidates(d, p0 + 1, last);
        } else {
            for (int32_t q = p1; q < last; q++)
                if (!scenecut_test(d, p0, q)) clear_candidates(d, p0 + 1, q);
            for (int32_t q = p0; q < last; q++)
                if (scenecut_test(d, q, last)) clear_candidate(d, q);
        }
    }
    if (d->stopped || !candidate(d, p1)) return 0;
    return scenecut_test(d, p0, p1);
}

// Below complexity 4 one P cost decides whether scene cuts are looked for at
// all: a picture bframes + 1 ahead that still predicts well from the anchor
// means no cut lies before it.
bool scenecut_gate(decision *d)
{
    if (d->cfg->scenecut == 0) return false;
    if (d->cfg->complexity >= 4) return true;
    if (beyond_window(d, d->cfg->bframes + 1 > d->n - 1)) return false;
    int32_t j = std::min(d->cfg->bframes + 1, d->n - 1);
    if (!candidate(d, j)) return false;
    float icost, pcost;
    if (!p_costs(d, 0, j, &icost, &pcost)) return false;
    return pcost >= 0.95f * icost;
}

// The loop that types pictures until an anchor is decided; returns the
// position where it stopped.
int32_t decide_run(decision *d, bool sc)
{
    bool cut_pending = false;
    int32_t i = 1;
    for (; i < d->n && d->a < 1 && !d->stopped; i++) {
        if (!speculative(d)) d->frames[i]->ra_period = d->ra_count;
        if (key_due(d, i) || cut_pending) {
            make_keyframe(d, i);
        } else if (pre_key_due(d, i) || i - d->a == d->cfg->bframes + 1) {
            make_p(d, i, true);
        } else if (sc && !beyond_window(d, i >= d->n - 2) && i < d->n - 2 && scenecut(d, i, i + 1)) {
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

// The scene-cut part of a decision whose held anchor is at position 0: a
// keyframe at position 1 or the typed run up to the next anchor. Returns the
// position where typing stopped.
int32_t decide_after_anchor(decision *d)
{
    d->first = 1;
    bool sc = scenecut_gate(d);
    if (d->stopped) return 1;
    if (sc && !beyond_window(d, d->n <= 2) && d->n > 2 && scenecut(d, 0, 1)) {
        make_keyframe(d, 1);
        return 2;
    }
    return decide_run(d, sc);
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

decision decision_begin(lookahead *la, picture **frames, int32_t n)
{
    const internal_config *cfg = la->links.cfg;
    decision d = {};
    d.la = la;
    d.cfg = cfg;
    d.frames = frames;
    d.n = n;
    d.key_type = cfg->open_gop ? PIC_TYPE_CRA : PIC_TYPE_IDR;
    d.tail = std::min(2 * cfg->bframes + 2, cfg->idr_period / 3);
    d.last_keyframe = la->last_keyframe;
    d.ra_count = la->ra_count;
    d.last_base_p = la->last_base_p;
    return d;
}

}  // namespace

int lookahead_slicetype_decide(lookahead *la)
{
    picture_list *queue = la->input_queue;
    if (queue->count == 0) return 0;
    // The speculation reads the window's pictures: it ends before they change.
    lookahead_ahead_join(la);
    const internal_config *cfg = la->links.cfg;
    bool end_of_stream = queue->count <= la->links.lookahead_delay;
    bool held = la->held_anchor != nullptr;
    if (held && picture_list_push_first(queue, la->held_anchor) != 0) return -1;
    decision d = decision_begin(la, (picture **)queue->entries, queue->count);
    d.end_of_stream = end_of_stream;

    int32_t i;
    if (!held) {
        make_keyframe(&d, 0);
        i = 1;
    } else {
        i = decide_after_anchor(&d);
    }
    la->last_keyframe = d.last_keyframe;
    la->ra_count = d.ra_count;
    la->last_base_p = d.last_base_p;
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

void lookahead_slicetype_speculate(lookahead *la, const lookahead_window *w)
{
    if (w->n < 1) return;
    decision d = decision_begin(la, w->frames, w->n);
    d.last_keyframe = w->last_keyframe;
    d.ra_count = w->ra_count;
    d.last_base_p = w->last_base_p;
    d.candidates = w->candidates;
    d.window_open = w->inputs_ended == 0;
    // The first decision makes position 0 a keyframe alone; the one after it
    // holds that keyframe as its anchor, over the same window.
    if (!w->held) make_keyframe(&d, 0);
    // While input comes the next decision sees a full window; once it has
    // ended, exactly this one.
    d.end_of_stream = !d.window_open && w->n - 1 <= la->links.lookahead_delay;
    decide_after_anchor(&d);
}

int32_t lookahead_scenecut_test(lookahead *la, int32_t p0, int32_t p1)
{
    decision d = decision_begin(la, (picture **)la->input_queue->entries, la->input_queue->count);
    return scenecut_test(&d, p0, p1);
}

int32_t lookahead_scenecut(lookahead *la, int32_t p0, int32_t p1, int32_t n)
{
    decision d = decision_begin(la, (picture **)la->input_queue->entries, n);
    return scenecut(&d, p0, p1);
}
