// The next decision's scene-cut costs, worked out on the lookahead's thread
// between decisions (see lookahead_ahead.h). The caller's thread posts the
// window at the end of each encode call; the thread runs the decision on it
// and keeps one copy per P cell it asked for, plus one copy per picture of
// the intra costs that the first of them computed. The caller joins the
// thread before a decision touches the window and takes the copies in when
// the decision asks for those cells.
#include "ratecontrol/lookahead_ahead.h"

#include <cstring>

#include "encoder/config.h"
#include "encoder/job_pool.h"
#include "encoder/memory.h"
#include "encoder/picture.h"
#include "encoder/picture_list.h"
#include "encoder/platform/platform.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lookahead_workers.h"
#include "ratecontrol/lowres_cost.h"

namespace {

// One P cell (pic, d0) computed ahead: what computing it gives the picture.
struct ahead_cell {
    picture *pic;             // null: the record is free
    const picture *ref;       // the picture d0 before it
    int32_t d0;
    int32_t searched;         // the picture's vectors of d0 were not searched, and these were
    int32_t cost, cost_aq;
    uint32_t *mvs, *mv_costs, *costs, *intra_score;   // per block, the picture's layout
    int32_t *row_costs, *ctu_costs;                    // with VBV
};

// The intra costs of a picture, computed with its first cell ahead.
struct ahead_intra {
    picture *pic;             // null: the record is free
    int32_t cost, cost_aq;
    uint32_t *intra_costs;
    int32_t *row_costs, *ctu_costs;
};

// Block arrays of a cell, then its VBV rows and CTUs, in one allocation.
enum { CELL_BLOCK_ARRAYS = 4 };

// Cells computed side by side at most (bounded as well by the pool's threads).
enum { AHEAD_BATCH_MAX = 16 };

}  // namespace

struct lookahead_ahead {
    thread_handle *thread;
    tv_mutex lock;
    tv_cond cond;
    int32_t locks_made;
    // under the lock
    int32_t stop;             // the thread leaves
    int32_t pending;          // `request` waits for the thread
    int32_t busy;             // the thread works on `work`
    int32_t cancel;           // the work in hand stops at its next cell (read by the thread unlocked)
    lookahead_window request, work;
    int32_t window_capacity;
    // what the last request posted, so that an unchanged window is not posted again
    int32_t posted_count;
    const picture *posted_anchor;
    int32_t posted_ended;
    // the copies: filled by the thread while busy, read by the caller after a join
    ahead_cell *cells;
    int32_t cell_capacity;
    ahead_intra *intras;
    int32_t intra_capacity;
    int64_t entries;          // per-block array entries of a picture
    int32_t ctu_rows, ctus;
    int32_t vbv;
};

namespace {

bool window_alloc(lookahead_window *w, int32_t capacity)
{
    std::memset(w, 0, sizeof(*w));
    w->frames = (picture **)aligned_calloc((int32_t)sizeof(picture *) * capacity);
    w->candidates = (uint8_t *)aligned_calloc(capacity);
    return w->frames && w->candidates;
}

void window_free(lookahead_window *w)
{
    aligned_free(w->frames);
    aligned_free(w->candidates);
    w->frames = nullptr;
    w->candidates = nullptr;
}

void window_copy(lookahead_window *dst, const lookahead_window *src)
{
    picture **frames = dst->frames;
    uint8_t *candidates = dst->candidates;
    *dst = *src;
    dst->frames = frames;
    dst->candidates = candidates;
    std::memcpy(frames, src->frames, sizeof(picture *) * (size_t)src->n);
    std::memcpy(candidates, src->candidates, (size_t)src->n);
}

bool cancelled(const lookahead_ahead *ah)
{
    return __atomic_load_n(&ah->cancel, __ATOMIC_ACQUIRE) != 0;
}

// Copies the entries the cost jobs write: the costed blocks of the grid.
void grid_copy(const lowres_grid *g, uint32_t *dst, const uint32_t *src)
{
    for (int32_t y = 0; y < g->rows; y += g->step_y)
        for (int32_t x = 0; x < g->cols; x += g->step_x) dst[(int64_t)y * g->stride + x] = src[(int64_t)y * g->stride + x];
}

int64_t record_bytes(const lookahead_ahead *ah, int32_t block_arrays)
{
    int64_t ints = ah->vbv ? ah->ctu_rows + ah->ctus : 0;
    return (block_arrays * ah->entries + ints) * 4;
}

ahead_cell *cell_find(lookahead_ahead *ah, const picture *pic, int32_t d0)
{
    for (int32_t k = 0; k < ah->cell_capacity; k++)
        if (ah->cells[k].pic == pic && ah->cells[k].d0 == d0) return &ah->cells[k];
    return nullptr;
}

ahead_intra *intra_find(lookahead_ahead *ah, const picture *pic)
{
    for (int32_t k = 0; k < ah->intra_capacity; k++)
        if (ah->intras[k].pic == pic) return &ah->intras[k];
    return nullptr;
}

// A free cell record with its arrays (made on first use, kept until close),
// sums cleared; null when none is left or an allocation fails.
ahead_cell *cell_new(lookahead_ahead *ah)
{
    for (int32_t k = 0; k < ah->cell_capacity; k++) {
        ahead_cell *c = &ah->cells[k];
        if (c->pic) continue;
        if (!c->mvs) {
            int64_t bytes = record_bytes(ah, CELL_BLOCK_ARRAYS);
            if (bytes > 0x7FFFFFFF - 64) return nullptr;
            uint32_t *block = (uint32_t *)aligned_malloc((int32_t)bytes);
            if (!block) return nullptr;
            c->mvs = block;
            c->mv_costs = block + ah->entries;
            c->costs = block + 2 * ah->entries;
            c->intra_score = block + 3 * ah->entries;
            c->row_costs = (int32_t *)(block + CELL_BLOCK_ARRAYS * ah->entries);
            c->ctu_costs = c->row_costs + ah->ctu_rows;
        }
        c->cost = c->cost_aq = 0;
        if (ah->vbv) std::memset(c->row_costs, 0, sizeof(int32_t) * (size_t)(ah->ctu_rows + ah->ctus));
        return c;
    }
    return nullptr;
}

ahead_intra *intra_new(lookahead_ahead *ah)
{
    for (int32_t k = 0; k < ah->intra_capacity; k++) {
        ahead_intra *r = &ah->intras[k];
        if (r->pic) continue;
        if (!r->intra_costs) {
            int64_t bytes = record_bytes(ah, 1);
            if (bytes > 0x7FFFFFFF - 64) return nullptr;
            uint32_t *block = (uint32_t *)aligned_malloc((int32_t)bytes);
            if (!block) return nullptr;
            r->intra_costs = block;
            r->row_costs = (int32_t *)(block + ah->entries);
            r->ctu_costs = r->row_costs + ah->ctu_rows;
        }
        r->cost = r->cost_aq = 0;
        if (ah->vbv) std::memset(r->row_costs, 0, sizeof(int32_t) * (size_t)(ah->ctu_rows + ah->ctus));
        return r;
    }
    return nullptr;
}

bool vectors_searched(const picture *pic, int32_t d0)
{
    return (pic->lowres_mvs[0][d0 - 1][0] & 0xFFFF) != LOWRES_MV_NOT_SEARCHED;
}

// A P cell about to be computed into copies: its records and where the
// computation writes.
struct cell_pending {
    ahead_cell *cell;
    ahead_intra *intra;       // a new intra copy the cell fills, or null
    int32_t p0, p1;
    int32_t search[2];
    lowres_cell_target target;
};

// Takes the records of the P cell (frames[p1], p1 - p0) and points its target
// at them, with the picture's intra costs from the picture, from an earlier
// copy, or computed into a new intra copy. False when no record is left.
bool cell_prepare(lookahead *la, picture **frames, int32_t p0, int32_t p1, cell_pending *out)
{
    lookahead_ahead *ah = la->ahead;
    picture *pic = frames[p1];
    int32_t d0 = p1 - p0;
    ahead_intra *intra = nullptr;
    bool new_intra = false;
    if (!pic->lowres_intra_done) {
        intra = intra_find(ah, pic);
        if (!intra) {
            if (!(intra = intra_new(ah))) return false;
            new_intra = true;
        }
    }
    ahead_cell *c = cell_new(ah);
    if (!c) return false;
    bool searched_before = vectors_searched(pic, d0);
    lowres_cell_target *t = &out->target;
    std::memset(t, 0, sizeof(*t));
    t->mvs[0] = searched_before ? pic->lowres_mvs[0][d0 - 1] : c->mvs;
    t->mv_costs[0] = searched_before ? pic->lowres_mv_costs[0][d0 - 1] : c->mv_costs;
    t->costs = c->costs;
    t->intra_score = c->intra_score;
    t->intra_done = new_intra ? 0 : 1;
    t->intra_costs = intra ? intra->intra_costs : pic->intra_costs;
    t->cost = &c->cost;
    t->cost_aq = &c->cost_aq;
    t->row_costs = c->row_costs;
    t->ctu_costs = c->ctu_costs;
    if (new_intra) {
        t->intra_cost = &intra->cost;
        t->intra_cost_aq = &intra->cost_aq;
        t->intra_row_costs = intra->row_costs;
        t->intra_ctu_costs = intra->ctu_costs;
    }
    out->cell = c;
    out->intra = new_intra ? intra : nullptr;
    out->p0 = p0;
    out->p1 = p1;
    out->search[0] = searched_before ? 0 : 1;
    out->search[1] = 0;
    // Records in use from here on: a cell prepared next takes other ones.
    c->pic = pic;
    c->d0 = -1;
    if (out->intra) out->intra->pic = pic;
    return true;
}

// The computed cell's record, findable from now on.
void cell_finish(picture **frames, const cell_pending *p)
{
    ahead_cell *c = p->cell;
    c->ref = frames[p->p0];
    c->d0 = p->p1 - p->p0;
    c->searched = p->search[0];
}

// Computes the P cell (frames[p1], p1 - p0) into a new copy. Null when no
// record is left.
ahead_cell *cell_compute(lookahead *la, picture **frames, int32_t p0, int32_t p1)
{
    cell_pending p;
    if (!cell_prepare(la, frames, p0, p1, &p)) return nullptr;
    lowres_cell_compute(la, frames, p0, p1, p1, p.search, &p.target, la->ahead->work.helpers);
    cell_finish(frames, &p);
    return p.cell;
}

// P cells of distinct pictures computed side by side, one thread each: a cell
// is a millisecond of work, which its block rows spread over the pool's
// threads only at the cost of waking them for every cell.
struct cell_batch {
    lookahead *la;
    picture **frames;
    cell_pending cells[AHEAD_BATCH_MAX];
    int32_t count;
    int32_t next_cell;        // claimed atomically
    int32_t next_scratch;     // claimed atomically
};

uint64_t cell_batch_job(uint64_t arg)
{
    cell_batch *b = (cell_batch *)(uintptr_t)arg;
    int32_t scratch = __atomic_fetch_add(&b->next_scratch, 1, __ATOMIC_RELAXED);
    if (scratch >= b->la->jobs) return 0;
    for (int32_t k = __atomic_fetch_add(&b->next_cell, 1, __ATOMIC_RELAXED); k < b->count;
         k = __atomic_fetch_add(&b->next_cell, 1, __ATOMIC_RELAXED)) {
        const cell_pending *p = &b->cells[k];
        lowres_cell_compute_alone(b->la, b->frames, p->p0, p->p1, p->p1, p->search, &p->target, scratch);
    }
    return 0;
}

// Whether the speculation computes the P cell (frames[p1], d0) into a copy:
// the picture's own cell is not computed, can be, and has no copy yet.
bool cell_wanted(lookahead *la, picture **frames, int32_t p1, int32_t d0)
{
    const picture *pic = frames[p1];
    if (d0 < 1 || d0 > PICTURE_MAX_DISTANCE || p1 - d0 < 0) return false;
    if (pic->frame_cost[d0][0] >= 0 || !lowres_cell_arrays_exist(pic, d0, 0)) return false;
    return cell_find(la->ahead, pic, d0) == nullptr;
}

// The cell (frames[p1], p1 - p0) and, while the pool has threads for them,
// the cells at the same distance of the pictures after it: a decision asks
// for its scene-cut costs picture after picture at one distance. Null when no
// record is left for the first.
ahead_cell *cells_compute(lookahead *la, picture **frames, int32_t p0, int32_t p1)
{
    lookahead_ahead *ah = la->ahead;
    int32_t d0 = p1 - p0;
    int32_t most = ah->work.helpers + 1 < AHEAD_BATCH_MAX ? ah->work.helpers + 1 : AHEAD_BATCH_MAX;
    if (most > la->jobs) most = la->jobs;
    if (most < 2) return cell_compute(la, frames, p0, p1);
    cell_batch b;
    b.la = la;
    b.frames = frames;
    b.count = 0;
    b.next_cell = 0;
    b.next_scratch = 0;
    // Not past the positions a decision reaches, whose copies the records are for.
    int32_t end = ah->work.n < 2 * la->links.cfg->bframes + 3 ? ah->work.n : 2 * la->links.cfg->bframes + 3;
    for (int32_t q = p1; (q == p1 || q < end) && b.count < most; q++) {
        if (q > p1 && !cell_wanted(la, frames, q, d0)) break;
        if (!cell_prepare(la, frames, q - d0, q, &b.cells[b.count])) break;
        b.count++;
    }
    if (b.count == 0) return nullptr;
    lookahead_run_cost_jobs(la, cell_batch_job, (uint64_t)(uintptr_t)&b, b.count - 1);
    for (int32_t k = 0; k < b.count; k++) cell_finish(frames, &b.cells[k]);
    return b.cells[0].cell;
}

// Whether pic is still undecided (in the input queue).
bool undecided(const lookahead *la, const picture *pic)
{
    const picture_list *q = la->input_queue;
    for (int32_t k = 0; k < q->count; k++)
        if (q->entries[k] == pic) return true;
    return false;
}

uint64_t ahead_main(uint64_t arg)
{
    lookahead *la = (lookahead *)(uintptr_t)arg;
    lookahead_ahead *ah = la->ahead;
    mutex_lock(&ah->lock);
    for (;;) {
        while (!ah->stop && !ah->pending) cond_wait(&ah->cond, &ah->lock);
        if (ah->stop) break;
        window_copy(&ah->work, &ah->request);
        ah->pending = 0;
        ah->busy = 1;
        mutex_unlock(&ah->lock);
        lookahead_slicetype_speculate(la, &ah->work);
        mutex_lock(&ah->lock);
        ah->busy = 0;
        cond_broadcast(&ah->cond);
    }
    mutex_unlock(&ah->lock);
    return 0;
}

bool records_open(lookahead *la)
{
    lookahead_ahead *ah = la->ahead;
    const internal_config *cfg = la->links.cfg;
    lowres_grid g = lowres_grid_of(cfg);
    ah->entries = 16 * (int64_t)g.ctu_cols * g.ctu_rows + 3;
    ah->ctu_rows = g.ctu_rows;
    ah->ctus = g.ctu_cols * g.ctu_rows;
    ah->vbv = cfg->vbv_maxrate != 0;
    // A decision looks at most 2 (bframes + 1) positions past its anchor,
    // each at distances 1 .. bframes + 1.
    int32_t positions = 2 * cfg->bframes + 3;
    ah->cell_capacity = positions * (cfg->bframes + 1);
    ah->intra_capacity = positions;
    ah->cells = (ahead_cell *)aligned_calloc((int32_t)sizeof(ahead_cell) * ah->cell_capacity);
    ah->intras = (ahead_intra *)aligned_calloc((int32_t)sizeof(ahead_intra) * ah->intra_capacity);
    ah->window_capacity = la->input_queue->capacity + 1;
    return ah->cells && ah->intras && window_alloc(&ah->request, ah->window_capacity) &&
           window_alloc(&ah->work, ah->window_capacity);
}

}  // namespace

int lookahead_ahead_open(lookahead *la)
{
    la->ahead = nullptr;
    if (!la->links.pool || la->links.pool->thread_count < 2) return 0;
    lookahead_ahead *ah = (lookahead_ahead *)aligned_calloc((int32_t)sizeof(lookahead_ahead));
    if (!ah) return -1;
    la->ahead = ah;
    if (!records_open(la) || mutex_init(&ah->lock) != 0) {
        lookahead_ahead_close(la);
        return -1;
    }
    ah->locks_made = 1;
    if (cond_init(&ah->cond) != 0) {
        lookahead_ahead_close(la);
        return -1;
    }
    ah->locks_made = 2;
    if (thread_create(&ah->thread, nullptr, ahead_main, (uint64_t)(uintptr_t)la) != 0) {
        ah->thread = nullptr;
        lookahead_ahead_close(la);
        return -1;
    }
    return 0;
}

void lookahead_ahead_close(lookahead *la)
{
    lookahead_ahead *ah = la->ahead;
    if (!ah) return;
    if (ah->thread) {
        mutex_lock(&ah->lock);
        ah->stop = 1;
        ah->pending = 0;
        __atomic_store_n(&ah->cancel, 1, __ATOMIC_RELEASE);
        cond_broadcast(&ah->cond);
        mutex_unlock(&ah->lock);
        thread_join(ah->thread, nullptr);
    }
    for (int32_t k = 0; ah->cells && k < ah->cell_capacity; k++) aligned_free(ah->cells[k].mvs);
    for (int32_t k = 0; ah->intras && k < ah->intra_capacity; k++) aligned_free(ah->intras[k].intra_costs);
    aligned_free(ah->cells);
    aligned_free(ah->intras);
    window_free(&ah->request);
    window_free(&ah->work);
    if (ah->locks_made >= 2) cond_destroy(&ah->cond);
    if (ah->locks_made >= 1) mutex_destroy(&ah->lock);
    aligned_free(ah);
    la->ahead = nullptr;
}

void lookahead_ahead_request(lookahead *la, int32_t inputs_ended)
{
    lookahead_ahead *ah = la->ahead;
    if (!ah) return;
    const picture_list *q = la->input_queue;
    int32_t held = la->held_anchor ? 1 : 0;
    if (q->count + held > ah->window_capacity) return;
    mutex_lock(&ah->lock);
    bool unchanged = ah->posted_count == q->count && ah->posted_anchor == la->held_anchor &&
                     ah->posted_ended == inputs_ended;
    if (!unchanged) {
        lookahead_window *w = &ah->request;
        w->n = q->count + held;
        w->held = held;
        if (held) w->frames[0] = la->held_anchor;
        for (int32_t k = 0; k < q->count; k++) w->frames[held + k] = (picture *)q->entries[k];
        for (int32_t k = 0; k < w->n; k++) w->candidates[k] = w->frames[k]->scenecut_candidate;
        w->inputs_ended = inputs_ended;
        // While the lookahead fills, the pool's threads fault in the new
        // pictures for the caller's copies, and the first decision is many
        // calls away: the speculation works alone, also when the first
        // picture is already being coded. Once coding runs, the next
        // decision may come within a few calls.
        w->helpers = held && !la->filling ? la->jobs - 1 : 0;
        w->last_keyframe = la->last_keyframe;
        w->ra_count = la->ra_count;
        w->last_base_p = la->last_base_p;
        ah->posted_count = q->count;
        ah->posted_anchor = la->held_anchor;
        ah->posted_ended = inputs_ended;
        ah->pending = 1;
        cond_broadcast(&ah->cond);
    }
    mutex_unlock(&ah->lock);
}

void lookahead_ahead_join(lookahead *la)
{
    lookahead_ahead *ah = la->ahead;
    if (!ah) return;
    mutex_lock(&ah->lock);
    ah->pending = 0;
    __atomic_store_n(&ah->cancel, 1, __ATOMIC_RELEASE);
    while (ah->busy) cond_wait(&ah->cond, &ah->lock);
    __atomic_store_n(&ah->cancel, 0, __ATOMIC_RELEASE);
    // The window changes with the decision: the next request is posted whatever it holds.
    ah->posted_anchor = nullptr;
    ah->posted_count = -1;
    mutex_unlock(&ah->lock);
}

void lookahead_ahead_discard(lookahead *la)
{
    lookahead_ahead *ah = la->ahead;
    if (!ah) return;
    // A copy stays while its picture and the one it predicts from are both
    // undecided: nothing but a decision changes such pictures. A decided
    // picture leaves for good, and its half-resolution plane may be built
    // again when its coding starts.
    for (int32_t k = 0; k < ah->cell_capacity; k++) {
        ahead_cell *c = &ah->cells[k];
        if (c->pic && (!undecided(la, c->pic) || !undecided(la, c->ref))) c->pic = nullptr;
    }
    for (int32_t k = 0; k < ah->intra_capacity; k++)
        if (ah->intras[k].pic && !undecided(la, ah->intras[k].pic)) ah->intras[k].pic = nullptr;
}

bool lookahead_ahead_take(lookahead *la, picture *pic, int32_t d0)
{
    lookahead_ahead *ah = la->ahead;
    if (!ah) return false;
    ahead_cell *c = cell_find(ah, pic, d0);
    if (!c) return false;
    ahead_intra *intra = pic->lowres_intra_done ? nullptr : intra_find(ah, pic);
    // The copy holds what the cell gives only from the state it was computed in.
    if (c->searched == (vectors_searched(pic, d0) ? 1 : 0) || (!pic->lowres_intra_done && !intra)) {
        c->pic = nullptr;
        return false;
    }
    lowres_grid g = lowres_grid_of(la->links.cfg);
    size_t rows = (size_t)ah->ctu_rows, ctus = (size_t)ah->ctus;
    if (intra) {
        grid_copy(&g, pic->intra_costs, intra->intra_costs);
        pic->frame_cost[0][0] = intra->cost;
        pic->frame_cost_aq[0][0] = intra->cost_aq;
        if (ah->vbv) {
            std::memcpy(pic->row_costs[0][0], intra->row_costs, sizeof(int32_t) * rows);
            std::memcpy(pic->ctu_costs[0][0], intra->ctu_costs, sizeof(int32_t) * ctus);
        }
        intra->pic = nullptr;
    }
    if (c->searched) {
        grid_copy(&g, pic->lowres_mvs[0][d0 - 1], c->mvs);
        grid_copy(&g, pic->lowres_mv_costs[0][d0 - 1], c->mv_costs);
    }
    grid_copy(&g, pic->lowres_costs[d0][0], c->costs);
    grid_copy(&g, pic->lowres_intra_score[d0], c->intra_score);
    pic->frame_cost[d0][0] = c->cost;
    pic->frame_cost_aq[d0][0] = c->cost_aq;
    if (ah->vbv) {
        std::memcpy(pic->row_costs[d0][0], c->row_costs, sizeof(int32_t) * rows);
        std::memcpy(pic->ctu_costs[d0][0], c->ctu_costs, sizeof(int32_t) * ctus);
    }
    pic->lowres_intra_done = 1;
    c->pic = nullptr;
    return true;
}

bool lookahead_ahead_p_cost(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t *intra, int32_t *cost)
{
    lookahead_ahead *ah = la->ahead;
    picture *pic = frames[p1];
    int32_t d0 = p1 - p0;
    if (cancelled(ah)) return false;
    // What the decision itself would read: the picture's cells when they
    // exist or cannot be computed.
    if (d0 < 1 || d0 > PICTURE_MAX_DISTANCE || pic->frame_cost[d0][0] >= 0 || !lowres_cell_arrays_exist(pic, d0, 0)) {
        *intra = pic->frame_cost[0][0];
        *cost = pic->frame_cost[d0][0];
        return true;
    }
    ahead_cell *c = cell_find(ah, pic, d0);
    if (!c && !(c = cells_compute(la, frames, p0, p1))) return false;
    const ahead_intra *r = pic->lowres_intra_done ? nullptr : intra_find(ah, pic);
    *intra = r ? r->cost : pic->frame_cost[0][0];
    *cost = c->cost;
    return true;
}
