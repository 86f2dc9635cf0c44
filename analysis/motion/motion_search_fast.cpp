// Motion search of a PU for the fast mode-decision paths: start candidates,
// one full-sample pattern search keeping the best two vectors, a re-cost of
// both with a Hadamard-type metric on the real prediction, and half- and
// quarter-sample refinement. Every vector is priced against its own better
// AMVP predictor.
#include "analysis/motion/motion_search_util.h"
#include "analysis/speed_levels.h"
#include "encoder/encoder_instance.h"
#include "encoder/int_math.h"

namespace {

struct fast_search {
    me_pu_state st;
    const pu_desc *pu;
    int R;
    uint32_t bv, bc;        // best
    uint32_t sv, sc;        // second best
    pair_metric_fn sad1;
    sad_x4_fn sad4;
    pair_metric_fn recost_metric;
    me_metric_memo memo;    // recost_metric values of the refinement
};

typedef int8_t offset[2];

uint32_t vector_cost(const fast_search *f, uint32_t v)
{
    int16_t d[2];
    mvd_best_predictor(&v, f->pu->amvp, f->pu->amvp_count, d);
    return me_diff_cost(&f->st, d[0], d[1]);
}

bool inside(const fast_search *f, uint32_t v) { return mv_in_window(&f->st.win, v); }

uint32_t sad_at(const fast_search *f, uint32_t v) { return f->sad1(f->st.src, 64, me_block(&f->st, v), f->st.stride); }

void update(fast_search *f, uint32_t v, uint32_t j)
{
    if (j < f->bc) {
        f->sv = f->bv;
        f->sc = f->bc;
        f->bv = v;
        f->bc = j;
    } else if (j < f->sc) {
        f->sv = v;
        f->sc = j;
    }
}

void sad_four(const fast_search *f, const uint32_t *v, uint32_t out[4])
{
    const uint8_t *b[4];
    for (int k = 0; k < 4; k++) b[k] = me_block(&f->st, v[k]);
    if (f->sad4) {
        f->sad4(f->st.src, b[0], b[1], b[2], b[3], f->st.stride, out);
        return;
    }
    // No four-candidate kernel for 4x4 blocks: measure one by one.
    for (int k = 0; k < 4; k++) out[k] = f->sad1(f->st.src, 64, b[k], f->st.stride);
}

// Batch rule: four points by one call, screened after measuring.
void batch(fast_search *f, const uint32_t *v, bool window_test)
{
    uint32_t out[4];
    sad_four(f, v, out);
    for (int k = 0; k < 4; k++) {
        if (out[k] >= f->sc || (window_test && !inside(f, v[k])) || v[k] == f->bv) continue;
        update(f, v[k], out[k] + vector_cost(f, v[k]));
    }
}

void batch_around(fast_search *f, uint32_t c, const offset *off)
{
    uint32_t v[4];
    for (int k = 0; k < 4; k++) v[k] = me_mv_add(c, 4 * off[k][0], 4 * off[k][1]);
    batch(f, v, true);
}

// Single rule; the caller has done the window or bound test.
void single(fast_search *f, uint32_t v)
{
    if (v == f->bv || v == f->sv) return;
    uint32_t sad = sad_at(f, v);
    if (sad >= f->sc) return;
    update(f, v, sad + vector_cost(f, v));
}

void single_checked(fast_search *f, uint32_t v)
{
    if (inside(f, v)) single(f, v);
}

const offset small_diamond[4] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
const offset diamond2[4] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
const offset hex_batch[4] = {{-2, 0}, {-1, 2}, {1, 2}, {2, 0}};
const offset hex_single[2] = {{1, -2}, {-1, -2}};
const offset cross2[4] = {{-2, 0}, {2, 0}, {0, -2}, {0, 2}};
const offset diag_square[4] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
const offset knight_up[4] = {{-1, -2}, {1, -2}, {-2, -1}, {2, -1}};
const offset knight_down[4] = {{-1, 2}, {1, 2}, {-2, 1}, {2, 1}};
const offset wide_corners[4] = {{-2, -2}, {2, -2}, {-2, 2}, {2, 2}};
const offset hex16[16] = {{0, -4}, {0, 4},  {-2, -3}, {2, -3}, {-4, -2}, {4, -2}, {-4, -1}, {4, -1},
                          {-4, 0}, {4, 0},  {-4, 1},  {4, 1},  {-4, 2},  {4, 2},  {-2, 3},  {2, 3}};

void hexagon(fast_search *f)
{
    uint32_t p = f->bv;
    for (int k = 0; k < f->R; k += 2) {
        batch_around(f, p, hex_batch);
        for (int i = 0; i < 2; i++) single_checked(f, me_mv_add(p, 4 * hex_single[i][0], 4 * hex_single[i][1]));
        if (f->bv == p) break;
        p = f->bv;
    }
    batch_around(f, f->bv, small_diamond);
}

void diamond_iterated(fast_search *f)
{
    uint32_t p = f->bv;
    for (int it = 0; it < f->R; it++) {
        batch_around(f, p, diamond2);
        if (f->bv == p) break;
        p = f->bv;
    }
}

// Single points on the arms through c at distances s0, s0 + 2, ... below the
// limits, only strictly inside the full-sample bounds.
void cross(fast_search *f, uint32_t c, int s0, int a, int b)
{
    const mv_window *w = &f->st.win;
    int cx = mv_x(c) >> 2, cy = mv_y(c) >> 2;
    for (int i = s0; i < a; i += 2) {
        if (w->x_lo < cx - i) single(f, mv_pack(4 * (cx - i), 4 * cy));
        if (cx + i < w->x_hi) single(f, mv_pack(4 * (cx + i), 4 * cy));
    }
    for (int i = s0; i < b; i += 2) {
        if (w->y_lo < cy - i) single(f, mv_pack(4 * cx, 4 * (cy - i)));
        if (cy + i < w->y_hi) single(f, mv_pack(4 * cx, 4 * (cy + i)));
    }
}

void hex16_grid(fast_search *f)
{
    const mv_window *w = &f->st.win;
    uint32_t h = f->bv;
    int hx = mv_x(h) >> 2, hy = mv_y(h) >> 2;
    int d = min_i32(min_i32(w->x_hi - hx, hx - w->x_lo), min_i32(w->y_hi - hy, hy - w->y_lo));
    for (int i = 1;; i++) {
        uint32_t v[16];
        for (int k = 0; k < 16; k++) v[k] = mv_pack(4 * (hx + i * hex16[k][0]), 4 * (hy + i * hex16[k][1]));
        if (4 * i <= d)
            for (int g = 0; g < 4; g++) batch(f, v + 4 * g, false);
        else
            for (int k = 0; k < 16; k++) single_checked(f, v[k]);
        if (!(i + 1 < (f->R >> 2))) break;
    }
}

void main_cross(fast_search *f, int s0)
{
    uint32_t m0 = f->bv;
    cross(f, m0, s0, f->R, f->R >> 1);
    batch_around(f, m0, wide_corners);
    hex16_grid(f);
    hexagon(f);
}

void escalating(fast_search *f, uint32_t last_start, uint32_t u1)
{
    static const int exit_shift[8] = {0, 2, 4, 6, 1, 3, 5, 0};
    const pu_desc *pu = f->pu;
    if (last_start != 0) batch_around(f, 0, small_diamond);
    batch_around(f, last_start, small_diamond);
    if (pu->width == 4 && pu->height == 4) return hexagon(f);
    uint32_t u2 = f->bc;
    if (f->bv != 0 && f->bv != last_start) batch_around(f, f->bv, small_diamond);
    int shape = pu->shape < 0 ? 0 : (pu->shape > 3 ? 3 : pu->shape);
    int S = exit_shift[shape + (pu->width != pu->height ? 4 : 0)];
    uint32_t o = f->bv;
    if (f->bc != u2) return main_cross(f, 1);
    if (f->bc >= (36000u >> S)) return main_cross(f, 3);
    batch_around(f, o, cross2);
    batch_around(f, o, diag_square);
    if (f->bc == u1 && f->bc < (9000u >> S)) return;
    if (f->bc != u2) return main_cross(f, 3);
    int r = (f->R >> 1) | 1;
    cross(f, o, 3, r, r);
    batch_around(f, o, knight_up);
    batch_around(f, o, knight_down);
    if (f->bc == u2) return;
    main_cross(f, r);
}

uint32_t recost(fast_search *f, uint32_t v)
{
    return me_memo_metric(&f->memo, &f->st, f->recost_metric, v, false) + vector_cost(f, v);
}

struct refinement {
    uint32_t v, j;
};

void refine_points(fast_search *f, refinement *r, uint32_t c, const offset *off, int n)
{
    for (int k = 0; k < n; k++) {
        uint32_t v = me_mv_add(c, off[k][0], off[k][1]);
        if (v == r->v || !inside(f, v)) continue;
        uint32_t m = me_memo_metric(&f->memo, &f->st, f->recost_metric, v, false);
        if (m >= r->j) continue;
        uint32_t sum = m + vector_cost(f, v);
        if (sum < r->j) {
            r->v = v;
            r->j = sum;
        }
    }
}

bool refine_stop(const fast_search *f, const me_context *me, uint32_t jr, uint32_t bound, int likely_ref)
{
    const pu_desc *pu = f->pu;
    if (pu->width != pu->height && ((uint32_t)(jr * 7u) >> 3) > bound) return true;
    if (skips_hopeless_subpel(me->speed_level) && (jr >> 1) > bound) return true;
    int shape = pu->shape < 0 ? 0 : (pu->shape > 4 ? 4 : pu->shape);
    if (!likely_ref && ((uint32_t)(jr * 15u) >> 4) > (4096u >> (2 * shape)) + bound) return true;
    return false;
}

void result_write(const fast_search *f, me_result *out, uint32_t cost, uint32_t mv)
{
    out->cost = cost;
    out->mv = mv;
    out->ref_idx = f->pu->ref_idx;
}

// The two best vectors re-costed, the better one first.
void best_two_recost(fast_search *f)
{
    f->bc = recost(f, f->bv);
    if (f->sc < cost_infinite) f->sc = recost(f, f->sv);
    if (f->bc > f->sc) {
        uint32_t v = f->bv, c = f->bc;
        f->bv = f->sv;
        f->bc = f->sc;
        f->sv = v;
        f->sc = c;
    }
}

const offset half_axis[4] = {{0, -2}, {-2, 0}, {2, 0}, {0, 2}};
const offset half_diag[4] = {{-2, -2}, {2, -2}, {-2, 2}, {2, 2}};
const offset quarter[8] = {{0, -1}, {-1, 0}, {1, 0}, {0, 1}, {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};

// Sub-sample refinement from c: the half-sample cross (twice at the levels
// that refine twice, then the diagonals), then the quarter samples.
void subpel_refine(fast_search *f, const me_context *me, refinement *r, uint32_t c)
{
    int passes = refines_subpel_twice(me->speed_level) ? 2 : 1;
    for (int p = 0; p < passes; p++) {
        uint32_t before = r->v;
        refine_points(f, r, c, half_axis, 4);
        c = r->v;
        if (r->v == before) break;
    }
    if (refines_subpel_twice(me->speed_level)) {
        refine_points(f, r, c, half_diag, 4);
        c = r->v;
    }
    if (me->subpel_level == 2) refine_points(f, r, c, quarter, refines_subpel_twice(me->speed_level) ? 8 : 4);
}

// Steps after the full-sample search: re-cost, then sub-sample refinement.
void finish(fast_search *f, const me_context *me, me_result *out, uint32_t bound, int32_t flag, int likely_ref)
{
    me_memo_start(&f->memo, f->pu);
    bool two = f->sc < cost_infinite;
    best_two_recost(f);
    if (me->subpel_level == 0 || (flag && me->coarse_refine_level <= 2)) {
        result_write(f, out, f->bc + vector_cost(f, f->bv), f->bv);
        return;
    }
    // The second start is refined only at the fast levels when it is close.
    int n = two && me->speed_level > 4 && ((f->bc * 3u) >> 1) >= f->sc && f->pu->ref_idx == 0 ? 2 : 1;
    refinement best = {f->bv, f->bc};
    for (int k = 0; k < n; k++) {
        refinement r = k == 0 ? refinement{f->bv, f->bc} : refinement{mv_unset, cost_infinite};
        if (refine_stop(f, me, r.j, bound, likely_ref)) break;
        subpel_refine(f, me, &r, k == 0 ? f->bv : f->sv);
        if (r.j < best.j) best = r;
    }
    result_write(f, out, best.j, best.v);
}

void choose_metrics(fast_search *f, const me_context *me, int32_t flag)
{
    const pu_desc *pu = f->pu;
    const metric_table *mt = me->metric;
    int s = pu->shape;
    if (pu->width == pu->height) {
        f->sad1 = mt->sad_sub[s];
        f->sad4 = mt->sad_x4_sub[s];
        bool cost_metric = !flag && ranks_by_cost_metric(me->speed_level) && mt->cost_metric[s];
        f->recost_metric = cost_metric ? mt->cost_metric[s] : mt->satd[s];
    } else if (pu->width > pu->height) {
        f->sad1 = mt->sad_sub_wide[s];
        f->sad4 = mt->sad_x4_sub_wide[s];
        f->recost_metric = mt->sa8d_wide[s];
    } else {
        f->sad1 = mt->sad_sub_tall[s];
        f->sad4 = mt->sad_x4_sub_tall[s];
        f->recost_metric = mt->sa8d_tall[s];
    }
}

}  // namespace

void motion_search_fast(row_context *ctx, const me_context *me, me_result *out, const pu_desc *pu,
                        int32_t qp, uint32_t bound, int32_t flag, int32_t likely_ref)
{
    (void)ctx;
    out->cost = cost_infinite;
    out->cost2 = cost_infinite;
    int ax = me->ctu_x + pu->x, ay = me->ctu_y + pu->y;
    if (ax + pu->width > me->pic_width || ay + pu->height > me->pic_height) return;
    if (pu->shape < 0 || pu->shape > 4) return;
    fast_search f;
    f.pu = pu;
    me_pu_state_init(&f.st, me, pu, qp);
    choose_metrics(&f, me, flag);
    if (!f.sad1 || !f.recost_metric) return;
    f.bv = f.sv = mv_unset;
    f.bc = f.sc = cost_infinite;
    f.R = me->search_range;
    int m = me->search_method;
    if (!likely_ref) {
        f.R /= 3;
        m = m == 2 ? 2 : 0;
    } else if (pu->ref_idx != 0) {
        m = m == 2 ? 2 : 0;
    }
    uint32_t last = 0;
    auto start = [&](uint32_t v) {
        uint32_t a = mv_round_to_fullpel(&f.st.win, v);
        last = a;
        single(&f, a);
    };
    for (int i = 0; i < pu->amvp_count; i++) start(pu->amvp[i]);
    for (int j = 0; j < pu->cand_count; j++) start(pu->cand[j]);
    if (last != 0) single(&f, 0);
    uint32_t u1 = f.bc;
    if (m == 2) diamond_iterated(&f);
    else if (m == 0) hexagon(&f);
    else if (m == 1) escalating(&f, last, u1);
    finish(&f, me, out, bound, flag, likely_ref);
}
