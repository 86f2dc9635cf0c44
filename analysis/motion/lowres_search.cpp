// Low-resolution block search: predictors and the zero vector as start
// points on every-second-row SAD, then an iterated small diamond that never
// measures the point it came from, then one SATD re-cost. Whole samples only:
// the lookahead wants a cheap, stable estimate, not the best prediction.
#include "analysis/motion/lowres_search.h"

#include "encoder/int_math.h"
#include "encoder/lambda_tables.h"
#include "kernels/mc/mc.h"
#include "kernels/metrics/metric.h"

namespace {

enum { SHAPE_8X8 = 3 };

inline int32_t mv_x(uint32_t mv)
{
    return (int16_t)(mv & 0xFFFF);
}

inline int32_t mv_y(uint32_t mv)
{
    return (int16_t)(mv >> 16);
}

inline uint32_t mv_pack(int32_t x, int32_t y)
{
    return (uint32_t)(uint16_t)x | ((uint32_t)(uint16_t)y << 16);
}

inline int32_t abs_i32(int32_t v)
{
    return v < 0 ? -v : v;
}

// Full-sample bounds of the block's vectors and their packed test words, in
// the shared window record; the bounds here are those of the low-resolution plane.
mv_window window_of(const lowres_search_env *env, const me_context *ctx, int32_t ax, int32_t ay)
{
    mv_window w;
    int32_t lo_x = -63 - ax, lo_y = -63 - ay;
    int32_t hi_x = ctx->pic_width - ax - 1, hi_y = ctx->pic_height - ay - 1;
    w.x_lo = (env->mv_limit_min_x > lo_x ? env->mv_limit_min_x : lo_x) + 1;
    w.y_lo = (env->mv_limit_min_y > lo_y ? env->mv_limit_min_y : lo_y) + 1;
    w.x_hi = (env->mv_limit_max_x < hi_x ? env->mv_limit_max_x : hi_x) - 1;
    w.y_hi = (env->mv_limit_max_y < hi_y ? env->mv_limit_max_y : hi_y) - 1;
    w.win_lo = ((uint32_t)(-4 * w.x_lo) << 16) | ((uint32_t)(-4 * w.y_lo) & 0x7FFF);
    w.win_hi = ((uint32_t)(4 * w.x_hi) << 16) | 0x8000u | ((uint32_t)(4 * w.y_hi) & 0x7FFF);
    return w;
}

// Packed range test: bit 31 catches a horizontal component outside its bounds,
// bit 14 a vertical one; the 0x8000 of win_hi stops the vertical borrow.
bool mv_in_window(const mv_window *w, int32_t vx, int32_t vy)
{
    uint32_t t = ((uint32_t)vx << 16) | ((uint32_t)vy & 0x7FFF);
    return (((t + w->win_lo) | (w->win_hi - t)) & 0x80004000u) == 0;
}

// Index of the predictor the vector is coded against: the second only when
// its difference is strictly smaller in |dx| + |dy|.
int32_t mvd_best_predictor(uint32_t mv, const uint32_t *amvp, int32_t count)
{
    if (count < 2) return 0;
    int32_t d0 = abs_i32(mv_x(mv) - mv_x(amvp[0])) + abs_i32(mv_y(mv) - mv_y(amvp[0]));
    int32_t d1 = abs_i32(mv_x(mv) - mv_x(amvp[1])) + abs_i32(mv_y(mv) - mv_y(amvp[1]));
    return d1 < d0 ? 1 : 0;
}

// The vector-cost table of one QP at layer 1, indexed by a signed difference.
struct mv_pricer {
    const uint16_t *table;
    int32_t half;   // entries -half .. half - 1 exist
    int32_t px, py;

    uint32_t cost(int32_t vx, int32_t vy) const
    {
        if (!table) return 0;
        return (uint32_t)table[clamp_i32(vx - px, -half, half - 1)] + table[clamp_i32(vy - py, -half, half - 1)];
    }
};

struct search_state {
    const me_context *ctx;
    pair_metric_fn sad;
    const uint8_t *src;
    const uint8_t *ref;       // reference at the block's origin
    int32_t stride;
    uint32_t best_mv;
    uint32_t best_cost;

    const uint8_t *at(int32_t vx, int32_t vy) const
    {
        return ref + (int64_t)(vy >> 2) * stride + (vx >> 2);
    }
};

// A start point (predictor or zero vector) measured by SAD alone.
void try_start(search_state *s, uint32_t mv)
{
    if (mv == s->best_mv) return;
    uint32_t sad = s->sad(s->src, 64, s->at(mv_x(mv), mv_y(mv)), s->stride);
    if (sad < s->best_cost) {
        s->best_cost = sad;
        s->best_mv = mv;
    }
}

const int32_t dir_dx[4] = {0, 0, -4, 4};     // up, down, left, right
const int32_t dir_dy[4] = {-4, 4, 0, 0};
const uint32_t dir_back[4] = {13, 14, 7, 11};  // every direction but the way back

// SADs of the set's neighbours of (cx, cy), in the order up, down, left, right;
// a neighbour outside the window gets no cost and the rest are measured alone.
int32_t measure_set(const search_state *s, const mv_window *w, uint32_t set, int32_t cx, int32_t cy,
                    int32_t *dirs, uint32_t *sads, bool *valid)
{
    const metric_table *mt = s->ctx->metric;
    int32_t n = 0;
    bool all_in = true;
    for (int32_t d = 0; d < 4; d++) {
        if (!(set & (1u << d))) continue;
        dirs[n] = d;
        valid[n] = mv_in_window(w, cx + dir_dx[d], cy + dir_dy[d]);
        all_in = all_in && valid[n];
        n++;
    }
    const uint8_t *c[4];
    for (int32_t k = 0; k < n; k++) c[k] = s->at(cx + dir_dx[dirs[k]], cy + dir_dy[dirs[k]]);
    if (all_in && n == 4) {
        mt->sad_x4_sub[SHAPE_8X8](s->src, c[0], c[1], c[2], c[3], s->stride, sads);
    } else if (all_in && n == 3) {
        mt->sad_x3_sub[SHAPE_8X8](s->src, c[0], c[1], c[2], s->stride, sads);
    } else if (all_in && n == 2) {
        mt->sad_x2_sub[SHAPE_8X8](s->src, c[0], c[1], s->stride, sads);
    } else {
        for (int32_t k = 0; k < n; k++)
            if (valid[k]) sads[k] = s->sad(s->src, 64, c[k], s->stride);
    }
    return n;
}

// The iterated small diamond, at most search_range moves.
void small_diamond(search_state *s, const mv_window *w, const mv_pricer *price)
{
    uint32_t set = 15, state = 15;
    for (int32_t iter = 0; iter < s->ctx->search_range; iter++) {
        int32_t cx = mv_x(s->best_mv), cy = mv_y(s->best_mv);
        int32_t dirs[4];
        uint32_t sads[4];
        bool valid[4];
        int32_t n = measure_set(s, w, set, cx, cy, dirs, sads, valid);
        int32_t moved = -1;
        for (int32_t k = 0; k < n; k++) {
            if (!valid[k]) continue;
            int32_t vx = cx + dir_dx[dirs[k]], vy = cy + dir_dy[dirs[k]];
            uint32_t cost = sads[k] + price->cost(vx, vy);
            if (cost < s->best_cost) {
                s->best_cost = cost;
                s->best_mv = mv_pack(vx, vy);
                moved = dirs[k];
            }
        }
        if (moved < 0) return;
        set = state & dir_back[moved];
        state = dir_back[moved];
        // A set of one direction or of two opposite ones cannot come from the
        // rules above; it would only re-measure known ground.
        if (set == 8 || set == 12) return;
    }
}

}  // namespace

void motion_search_lowres(const lowres_search_env *env, const me_context *ctx, me_result *out,
                          const pu_desc *pu, int32_t qp)
{
    int32_t ax = ctx->ctu_x + pu->x, ay = ctx->ctu_y + pu->y;
    out->cost = ME_COST_INFINITE;
    out->cost2 = ME_COST_INFINITE;
    out->ref_idx = pu->ref_idx;
    if (ax + pu->width > ctx->pic_width || ay + pu->height > ctx->pic_height) {
        out->mv = pu->amvp[0];
        return;
    }
    mv_window w = window_of(env, ctx, ax, ay);
    search_state s;
    s.ctx = ctx;
    s.sad = ctx->metric->sad_sub[SHAPE_8X8];
    s.src = ctx->src + pu->y * 64 + pu->x;
    s.stride = (int32_t)ctx->ref_stride;
    s.ref = ctx->ref_plane[pu->list][pu->ref_idx] + (int64_t)pu->y * s.stride + pu->x;
    s.best_mv = ME_MV_UNSET;
    s.best_cost = ME_COST_INFINITE;

    bool zero_seen = false;
    for (int32_t k = 0; k < pu->amvp_count; k++) {
        uint32_t mv = mv_round_to_fullpel(&w, pu->amvp[k]);
        zero_seen = zero_seen || mv == 0;
        try_start(&s, mv);
    }
    if (!zero_seen) try_start(&s, 0);

    mv_pricer price;
    int32_t qp_c = clamp_i32(qp, 0, MV_COST_QPS - 1);
    price.table = env->mv_cost ? env->mv_cost->slot[qp_c * MV_COST_LEVELS + 1] : nullptr;
    price.half = env->mv_cost ? 4 * (env->mv_cost->reach + 2) : 0;
    uint32_t pred = pu->amvp[mvd_best_predictor(s.best_mv, pu->amvp, pu->amvp_count)];
    price.px = mv_x(pred);
    price.py = mv_y(pred);
    int32_t bx = mv_x(s.best_mv), by = mv_y(s.best_mv);
    s.best_cost += price.cost(bx, by);

    if (ctx->search_method == 2 && ctx->search_range > 0) small_diamond(&s, &w, &price);

    bx = mv_x(s.best_mv);
    by = mv_y(s.best_mv);
    uint8_t *const *planes = (uint8_t *const *)ctx->ref_phase[pu->list][pu->ref_idx];
    const uint8_t *block = ctx->mc->subpel_plane_ptr(planes, s.stride, bx, by) + (int64_t)pu->y * s.stride + pu->x;
    uint32_t satd = ctx->metric->satd[SHAPE_8X8](s.src, 64, block, s.stride);
    out->cost = satd + 2 * price.cost(bx, by);
    out->mv = s.best_mv;
}
