// What the two PU searches share inside one call: the block addresses, the
// window, the vector-cost table and the prediction of a fractional vector.
#pragma once
#include <cstdint>

#include "analysis/amvp.h"
#include "analysis/motion_search.h"

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
        uint8_t *p = me->use_subpel_planes ? me->ref_phase[pu->list][pu->ref_idx][i] : nullptr;
        st->phase[i] = p ? p + off : nullptr;
    }
    st->table = me_cost_table(me, qp);
    st->limit = me->mv_cost_limit;
    st->scratch = me->scratch;
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
// fraction, else the reference itself (full samples) or an interpolation
// into the scratch buffer.
static inline const uint8_t *me_predict(const me_pu_state *st, uint32_t v, int32_t *stride, bool bilinear)
{
    int vx = mv_x(v), vy = mv_y(v);
    const mc_table *mc = st->me->mc;
    if (st->planes && st->phase[4 * (vy & 3) + (vx & 3)]) {
        *stride = st->stride;
        return mc->subpel_plane_ptr(const_cast<uint8_t *const *>(st->phase), st->stride, vx, vy);
    }
    *stride = 64;
    if (bilinear)
        return mc->mc_luma_ref_or_bilinear(st->scratch, stride, st->base, st->stride, vx, vy, st->pu->width,
                                           st->pu->height);
    return mc->mc_luma_ref_or_interp(st->scratch, stride, st->base, nullptr, st->stride, vx, vy, st->pu->width,
                                     st->pu->height);
}
