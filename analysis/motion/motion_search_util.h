// What the two PU searches share inside one call: the block addresses, the
// window, the vector-cost table and the prediction of a fractional vector.
#pragma once
#include <cstdint>
#include <cstring>

#include "analysis/motion/amvp.h"
#include "analysis/motion/motion_search.h"
#include "analysis/motion/quarter_window.h"

struct me_pu_state {
    const me_context *me;
    const pu_desc *pu;
    mv_window win;
    const uint8_t *src;            // source block, stride 64
    const uint8_t *base;           // reference block of the zero vector
    int32_t stride;                // reference stride
    uint8_t *phase[16];            // phase planes advanced to the PU, or null entries
    bool planes;                   // fractional blocks from the phase planes
    const uint16_t *table;         // vector costs
    int32_t limit;
    uint8_t *scratch;
    quarter_window_view quarter;   // the CTU's quarter-sample phases of the PU's reference
};

static inline void me_pu_state_init(me_pu_state *st, const me_context *me, const pu_desc *pu, int32_t qp)
{
    st->me = me;
    st->pu = pu;
    mv_window_compute(me, pu, &st->win);
    st->src = me->src + pu->y * 64 + pu->x;
    st->stride = (int32_t)me->ref_stride;
    int64_t off = (int64_t)pu->y * st->stride + pu->x;
    st->base = me->ref_plane[pu->list][pu->ref_idx] + off;
    st->planes = me->use_subpel_planes != 0;
    for (int i = 0; i < 16; i++) {
        // The plane kernels take a writable plane list; the search only reads it.
        uint8_t *p = me->use_subpel_planes ? const_cast<uint8_t *>(me->ref_phase[pu->list][pu->ref_idx][i]) : nullptr;
        st->phase[i] = p ? p + off : nullptr;
    }
    st->table = me_cost_table(me, qp);
    st->limit = me->mv_cost_limit;
    st->scratch = me->scratch;
    quarter_window_view_init(&st->quarter, st->planes ? me->quarter : nullptr, pu->list, pu->ref_idx, pu->x, pu->y,
                             pu->width, pu->height);
}

static inline const uint8_t *me_block(const me_pu_state *st, uint32_t v)
{
    return st->base + (int64_t)(mv_y(v) >> 2) * st->stride + (mv_x(v) >> 2);
}

static inline uint32_t me_mv_add(uint32_t v, int dx, int dy)
{
    return mv_pack(mv_x(v) + dx, mv_y(v) + dy);
}

// Cost of the difference d = (dx, dy) to a predictor.
static inline uint32_t me_diff_cost(const me_pu_state *st, int dx, int dy)
{
    return me_component_cost(st->table, st->limit, dx) + me_component_cost(st->table, st->limit, dy);
}

// The prediction of v and its stride: a phase plane when one exists for the
// fraction, or the quarter-sample window of the CTU, else the reference
// itself (full samples) or an interpolation into the scratch buffer.
static inline const uint8_t *me_predict(const me_pu_state *st, uint32_t v, int32_t *stride, bool bilinear)
{
    int vx = mv_x(v), vy = mv_y(v);
    const mc_table *mc = st->me->mc;
    // The phase planes are advanced to the PU like base, so the block is
    // found as me_block finds it.
    if (st->planes && st->phase[4 * (vy & 3) + (vx & 3)]) {
        *stride = st->stride;
        return st->phase[4 * (vy & 3) + (vx & 3)] + (int64_t)(vy >> 2) * st->stride + (vx >> 2);
    }
    if (st->quarter.w) {
        const uint8_t *q = quarter_window_view_at(&st->quarter, vx, vy, stride);
        if (q) return q;
    }
    *stride = 64;
    if (bilinear)
        return mc->mc_luma_ref_or_bilinear(st->scratch, stride, st->base, st->stride, vx, vy, st->pu->width,
                                           st->pu->height);
    return mc->mc_luma_ref_or_interp(st->scratch, stride, st->base, nullptr, st->stride, vx, vy, st->pu->width,
                                     st->pu->height);
}

// The metric of the vectors one sub-sample refinement has measured. Passes
// meet vectors again (the centre a pass moved away from, diagonals beside
// earlier axis points); those are neither predicted nor measured twice. The
// metric of a vector does not change within a refinement, so the search goes
// exactly as it would without the record. A vector has one place, by the low
// three bits of its components: the points of a refinement lie within a few
// quarter samples of each other, so they rarely share one, and a vector
// that finds its place taken is measured again. Blocks below 8x8 keep none:
// their metric costs less than looking it up.
enum { ME_MEMO_SIDE = 8, ME_MEMO_PLACES = ME_MEMO_SIDE * ME_MEMO_SIDE, ME_MEMO_MIN_SAMPLES = 8 * 8 };

struct me_metric_memo {
    bool on;
    uint8_t used[ME_MEMO_PLACES];
    uint32_t v[ME_MEMO_PLACES];
    uint32_t metric[ME_MEMO_PLACES];
};

static inline void me_memo_start(me_metric_memo *memo, const pu_desc *pu)
{
    memo->on = pu->width * pu->height >= ME_MEMO_MIN_SAMPLES;
    if (memo->on) std::memset(memo->used, 0, sizeof(memo->used));
}

// The metric of v from the record, or measured with metric and recorded.
// Inlined into the refinement loops: a call per point costs more than the
// record saves on small blocks.
static inline __attribute__((always_inline)) uint32_t me_memo_metric(me_metric_memo *memo, const me_pu_state *st, pair_metric_fn metric,
                                      uint32_t v, bool bilinear)
{
    const int32_t place = (mv_x(v) & (ME_MEMO_SIDE - 1)) + ME_MEMO_SIDE * (mv_y(v) & (ME_MEMO_SIDE - 1));
    if (memo->on && memo->used[place] && memo->v[place] == v) return memo->metric[place];
    int32_t stride;
    const uint8_t *pred = me_predict(st, v, &stride, bilinear);
    uint32_t m = metric(st->src, 64, pred, stride);
    if (memo->on) {
        memo->used[place] = 1;
        memo->v[place] = v;
        memo->metric[place] = m;
    }
    return m;
}
