// Low-resolution frame costs of the lookahead: one cell of a picture's cost
// grid per pair of reference distances, computed once by cost jobs that claim
// whole block rows and add their sums into the cell under a lock.
#include <cstring>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lookahead_ahead.h"
#include "ratecontrol/lookahead_workers.h"
#include "ratecontrol/lowres_cost.h"

lowres_grid lowres_grid_of(const internal_config *cfg)
{
    lowres_grid g;
    g.cols = (cfg->width + 15) / 16;
    g.rows = (cfg->height + 15) / 16;
    g.ctu_cols = (cfg->width + 63) / 64;
    g.ctu_rows = (cfg->height + 63) / 64;
    g.stride = 4 * g.ctu_cols;
    g.step_x = cfg->grid_cols > 0 ? cfg->grid_cols : 1;
    g.step_y = cfg->grid_rows > 0 ? cfg->grid_rows : 1;
    return g;
}

namespace {

// Cells are i32 and negative means "not computed": sums saturate below that.
int32_t add_saturated(int32_t cell, uint64_t amount)
{
    uint64_t v = (uint64_t)(cell > 0 ? cell : 0) + amount;
    return v > 0x7FFFFFFFu ? 0x7FFFFFFF : (int32_t)v;
}

// Per CTU row: each CTU's entry gets its row's cost up to and including it.
void add_row_costs(int32_t *row_costs, int32_t *ctu_costs, const uint64_t *ctu_sum, const lowres_grid *g,
                   uint64_t scale)
{
    for (int32_t r = 0; r < g->ctu_rows; r++) {
        uint64_t running = 0;
        for (int32_t c = 0; c < g->ctu_cols; c++) {
            int32_t ctu = r * g->ctu_cols + c;
            running += ctu_sum[ctu] * scale;
            ctu_costs[ctu] = add_saturated(ctu_costs[ctu], running);
        }
        row_costs[r] = add_saturated(row_costs[r], running);
    }
}

// The job's share of the target's sums.
void add_job_sums(lookahead *la, const frame_cost_job_args *a, const lowres_cost_scratch *s)
{
    const internal_config *cfg = la->links.cfg;
    lowres_grid g = lowres_grid_of(cfg);
    // Subsampled blocks stand for the whole picture.
    uint64_t scale = (uint64_t)g.step_x * (uint64_t)g.step_y;
    const lowres_cell_target *t = &a->target;
    bool vbv = cfg->vbv_maxrate != 0;
    mutex_lock(&la->sum_lock);
    if (!t->intra_done) {
        *t->intra_cost = add_saturated(*t->intra_cost, s->intra_sum * scale);
        *t->intra_cost_aq = add_saturated(*t->intra_cost_aq, s->intra_sum_aq * scale);
        if (vbv) add_row_costs(t->intra_row_costs, t->intra_ctu_costs, s->intra_ctu, &g, scale);
    }
    if (a->p0 != a->p1) {
        *t->cost = add_saturated(*t->cost, s->best_sum * scale);
        *t->cost_aq = add_saturated(*t->cost_aq, s->best_sum_aq * scale);
        if (vbv) add_row_costs(t->row_costs, t->ctu_costs, s->best_ctu, &g, scale);
    }
    mutex_unlock(&la->sum_lock);
}

void job_context_init(lookahead *la, const frame_cost_job_args *a, lowres_cost_scratch *s)
{
    const picture *pic = a->frames[a->b];
    me_context *me = &s->me;
    std::memset(me, 0, sizeof(*me));
    me->ref_stride = (uint32_t)pic->lowres_stride;
    me->search_method = 2;
    me->pic_width = (uint16_t)pic->lowres_width;
    me->pic_height = (uint16_t)pic->lowres_height;
    me->metric = la->metric;
    me->mc = la->mc;
    me->search_range = (la->links.cfg->search_range + 2) / 2;
    me->list_count = a->b < a->p1 ? 2 : 1;
    me->ref_count[0] = me->ref_count[1] = 1;
    me->src = s->src;
}

// Claims the next block row to cost, or -1 when none is left. A row takes a
// few microseconds: a lock per claim would have the jobs queue on it.
int32_t claim_row(frame_cost_job_args *a, int32_t rows, int32_t step_y)
{
    int32_t row = __atomic_fetch_add(&a->next_row, step_y, __ATOMIC_RELAXED);
    return row < rows ? row : -1;
}

}  // namespace

uint64_t lookahead_cost_job(uint64_t arg)
{
    frame_cost_job_args *a = (frame_cost_job_args *)(uintptr_t)arg;
    lookahead *la = a->la;
    mutex_lock(&la->claim_lock);
    int32_t index = a->first_scratch + a->job_counter++;
    mutex_unlock(&la->claim_lock);
    if (index >= la->jobs) return 0;   // more jobs than scratch records: nothing to do
    lowres_cost_scratch *s = &la->scratch[index];
    lowres_grid g = lowres_grid_of(la->links.cfg);
    s->intra_sum = s->best_sum = s->intra_sum_aq = s->best_sum_aq = 0;
    std::memset(s->intra_ctu, 0, sizeof(uint64_t) * (size_t)g.ctu_cols * g.ctu_rows);
    std::memset(s->best_ctu, 0, sizeof(uint64_t) * (size_t)g.ctu_cols * g.ctu_rows);
    job_context_init(la, a, s);
    for (int32_t row = claim_row(a, g.rows, g.step_y); row >= 0; row = claim_row(a, g.rows, g.step_y))
        for (int32_t bx = 0; bx < g.cols; bx += g.step_x) lookahead_block_cost(la, s, a, bx, row);
    add_job_sums(la, a, s);
    return 0;
}

bool lowres_cell_arrays_exist(const picture *pic, int32_t d0, int32_t d1)
{
    if (!pic->lowres_costs[d0][d1] || !pic->lowres_intra_score[d0]) return false;
    if (d0 > 0 && (!pic->lowres_mvs[0][d0 - 1] || !pic->lowres_mv_costs[0][d0 - 1])) return false;
    if (d1 > 0 && (!pic->lowres_mvs[1][d1 - 1] || !pic->lowres_mv_costs[1][d1 - 1])) return false;
    return true;
}

lowres_cell_target lowres_cell_target_of(picture *pic, int32_t d0, int32_t d1)
{
    lowres_cell_target t;
    for (int32_t l = 0; l < 2; l++) {
        int32_t d = l == 0 ? d0 : d1;
        t.mvs[l] = d > 0 ? pic->lowres_mvs[l][d - 1] : nullptr;
        t.mv_costs[l] = d > 0 ? pic->lowres_mv_costs[l][d - 1] : nullptr;
    }
    t.costs = pic->lowres_costs[d0][d1];
    t.intra_score = pic->lowres_intra_score[d0];
    t.intra_costs = pic->intra_costs;
    t.intra_done = (int32_t)pic->lowres_intra_done;
    t.cost = &pic->frame_cost[d0][d1];
    t.cost_aq = &pic->frame_cost_aq[d0][d1];
    t.intra_cost = &pic->frame_cost[0][0];
    t.intra_cost_aq = &pic->frame_cost_aq[0][0];
    t.row_costs = pic->row_costs[d0][d1];
    t.ctu_costs = pic->ctu_costs[d0][d1];
    t.intra_row_costs = pic->row_costs[0][0];
    t.intra_ctu_costs = pic->ctu_costs[0][0];
    return t;
}

namespace {

void cell_args_fill(frame_cost_job_args *a, lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b,
                    const int32_t search[2], const lowres_cell_target *target)
{
    std::memset(a, 0, sizeof(*a));
    a->la = la;
    a->frames = frames;
    a->p0 = p0;
    a->p1 = p1;
    a->b = b;
    a->search[0] = search[0];
    a->search[1] = search[1];
    a->target = *target;
}

}  // namespace

void lowres_cell_compute(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b, const int32_t search[2],
                         const lowres_cell_target *target, int32_t helpers)
{
    frame_cost_job_args a;
    cell_args_fill(&a, la, frames, p0, p1, b, search, target);
    lookahead_run_cost_jobs(la, lookahead_cost_job, (uint64_t)(uintptr_t)&a, helpers);
}

void lowres_cell_compute_alone(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b,
                               const int32_t search[2], const lowres_cell_target *target, int32_t scratch)
{
    frame_cost_job_args a;
    cell_args_fill(&a, la, frames, p0, p1, b, search, target);
    a.first_scratch = scratch;
    lookahead_cost_job((uint64_t)(uintptr_t)&a);
}

void lookahead_frame_cost(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b)
{
    const internal_config *cfg = la->links.cfg;
    picture *pic = frames[b];
    int32_t d0 = b - p0, d1 = p1 - b;
    if (d0 < 0 || d1 < 0 || d0 > PICTURE_MAX_DISTANCE || d1 > PICTURE_MAX_DISTANCE) return;
    if (b == p0 && b != p1) return;   // backward-only costs are never asked for
    if (pic->frame_cost[d0][d1] >= 0) return;
    if (!lowres_cell_arrays_exist(pic, d0, d1)) return;
    // A P cell the lookahead's speculation has already computed, from the very
    // state this call would compute it from.
    if (d1 == 0 && d0 > 0 && lookahead_ahead_take(la, pic, d0)) return;
    int32_t search[2] = {0, 0};
    for (int32_t list = 0; list < 2; list++) {
        int32_t d = list == 0 ? d0 : d1;
        if (d == 0) continue;
        uint32_t *first = &pic->lowres_mvs[list][d - 1][0];
        if ((*first & 0xFFFF) != LOWRES_MV_NOT_SEARCHED) continue;
        search[list] = 1;
        *first = 0;   // the vectors exist once this call returns
    }
    if (pic->lowres_intra_done == 0) {
        pic->frame_cost[0][0] = 0;
        pic->frame_cost_aq[0][0] = 0;
    }
    pic->frame_cost[d0][d1] = 0;
    pic->frame_cost_aq[d0][d1] = 0;
    if (cfg->vbv_maxrate != 0) {
        lowres_grid g = lowres_grid_of(cfg);
        size_t ctus = (size_t)g.ctu_cols * g.ctu_rows;
        std::memset(pic->row_costs[d0][d1], 0, sizeof(int32_t) * (size_t)g.ctu_rows);
        std::memset(pic->ctu_costs[d0][d1], 0, sizeof(int32_t) * ctus);
        if (pic->lowres_intra_done == 0 && b != p0) {
            std::memset(pic->row_costs[0][0], 0, sizeof(int32_t) * (size_t)g.ctu_rows);
            std::memset(pic->ctu_costs[0][0], 0, sizeof(int32_t) * ctus);
        }
    }
    lowres_cell_target t = lowres_cell_target_of(pic, d0, d1);
    lowres_cell_compute(la, frames, p0, p1, b, search, &t, la->jobs - 1);
    if (b == p1) pic->lowres_intra_done = 1;
}

namespace {

bool is_keyframe_type(uint32_t t)
{
    return t == PIC_TYPE_IDR || t == PIC_TYPE_CRA || t == PIC_TYPE_I;
}

// The nearest pyramid references around b among the given positions.
void pyramid_refs(int32_t b, const int32_t *points, int32_t count, int32_t *p0, int32_t *p1)
{
    for (int32_t k = 0; k < count; k++) {
        if (points[k] < b && points[k] > *p0) *p0 = points[k];
        if (points[k] > b && points[k] < *p1) *p1 = points[k];
    }
}

void cost_b_run(lookahead *la, picture **frames, int32_t p0, int32_t p1)
{
    int32_t n = p1 - p0 - 1;
    int32_t h = la->links.cfg->hierarchy;
    if (h == 2 && n >= 4) {
        int32_t half = (p1 - p0) / 2, mid = p0 + half, quarter = p0 + half / 2;
        int32_t three_quarter = mid + (p1 - p0 - half) / 2;
        lookahead_frame_cost(la, frames, p0, p1, mid);
        lookahead_frame_cost(la, frames, p0, mid, quarter);
        lookahead_frame_cost(la, frames, mid, p1, three_quarter);
        const int32_t points[3] = {quarter, mid, three_quarter};
        for (int32_t b = p1 - 1; b > p0; b--) {
            if (b == quarter || b == mid || b == three_quarter) continue;
            int32_t q0 = p0, q1 = p1;
            pyramid_refs(b, points, 3, &q0, &q1);
            lookahead_frame_cost(la, frames, q0, q1, b);
        }
    } else if (h != 0 && n >= 2) {
        int32_t mid = p0 + (p1 - p0) / 2;
        lookahead_frame_cost(la, frames, p0, p1, mid);
        for (int32_t b = p1 - 1; b > p0; b--) {
            if (b == mid) continue;
            if (b > mid)
                lookahead_frame_cost(la, frames, mid, p1, b);
            else
                lookahead_frame_cost(la, frames, p0, mid, b);
        }
    } else {
        for (int32_t b = p1 - 1; b > p0; b--) lookahead_frame_cost(la, frames, p0, p1, b);
    }
}

}  // namespace

void lookahead_window_costs(lookahead *la, picture **frames, int32_t last, int32_t first)
{
    if (is_keyframe_type(frames[first]->picture_type)) lookahead_frame_cost(la, frames, first, first, first);
    while (last > first && frames[last]->picture_type == PIC_TYPE_B) last--;
    if (last <= first) return;
    int32_t p1 = last;
    for (;;) {
        int32_t p0 = p1 - 1;
        while (p0 > 0 && frames[p0]->picture_type == PIC_TYPE_B) p0--;
        if (p0 < 0 || frames[p0]->picture_type == PIC_TYPE_B) return;
        if (frames[p1]->picture_type == PIC_TYPE_P)
            lookahead_frame_cost(la, frames, p0, p1, p1);
        else
            lookahead_frame_cost(la, frames, p1, p1, p1);
        cost_b_run(la, frames, p0, p1);
        p1 = p0;
        if (p0 <= first) return;
    }
}

