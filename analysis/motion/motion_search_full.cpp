// Motion search of a square PU for the full rate-distortion path: start
// candidates, one integer search (hexagon, escalating or iterated diamond),
// then a re-cost with a full block metric and half- and quarter-sample
// refinement. One best vector is kept and every vector is priced against the
// predictor chosen for the best start vector.
#include <cstring>

#include "analysis/motion/motion_search_util.h"
#include "analysis/speed_levels.h"
#include "encoder/encoder_instance.h"
#include "encoder/int_math.h"

namespace {

struct full_search {
    me_pu_state st;
    int s;                   // shape 0..3
    int R;                   // iteration budget
    uint32_t b;              // best vector
    uint32_t J;              // its cost
    int mvp_x, mvp_y;        // the fixed predictor
    pair_metric_fn sad1;
    sad_x4_fn sad4;
    sad_x3_fn sad3;
    sad_x2_fn sad2;
};

uint32_t vector_cost(const full_search *f, uint32_t v)
{
    return me_diff_cost(&f->st, mv_x(v) - f->mvp_x, mv_y(v) - f->mvp_y);
}

bool inside(const full_search *f, uint32_t v) { return mv_in_window(&f->st.win, v); }

uint32_t sad_at(const full_search *f, uint32_t v) { return f->sad1(f->st.src, 64, me_block(&f->st, v), f->st.stride); }

// Integer-stage comparison: strictly cheaper replaces the best.
bool consider(full_search *f, uint32_t v, uint32_t sad)
{
    uint32_t c = sad + vector_cost(f, v);
    if (c < f->J) {
        f->b = v;
        f->J = c;
        return true;
    }
    return false;
}

// Four points measured by one call, each counted only inside the window.
bool four_screened(full_search *f, const uint32_t v[4])
{
    uint32_t out[4];
    f->sad4(f->st.src, me_block(&f->st, v[0]), me_block(&f->st, v[1]), me_block(&f->st, v[2]),
            me_block(&f->st, v[3]), f->st.stride, out);
    bool improved = false;
    for (int k = 0; k < 4; k++)
        if (inside(f, v[k]) && consider(f, v[k], out[k])) improved = true;
    return improved;
}

bool four_around(full_search *f, uint32_t u, const int8_t (*off)[2])
{
    uint32_t v[4];
    for (int k = 0; k < 4; k++) v[k] = me_mv_add(u, 4 * off[k][0], 4 * off[k][1]);
    return four_screened(f, v);
}

const int8_t axis4[4][2] = {{0, -1}, {0, 1}, {-1, 0}, {1, 0}};
const int8_t diag4[4][2] = {{-1, -1}, {-1, 1}, {1, -1}, {1, 1}};

// Measures n (2..4) points known to lie inside with one multi-candidate
// call, else those inside one by one; compares in order. Returns the index
// of the last improving point, or -1.
int measure_points(full_search *f, const uint32_t *v, int n)
{
    uint32_t out[4];
    bool all = true;
    for (int k = 0; k < n; k++) all = all && inside(f, v[k]);
    const uint8_t *blk[4];
    for (int k = 0; k < n; k++) blk[k] = me_block(&f->st, v[k]);
    if (all && n == 4) f->sad4(f->st.src, blk[0], blk[1], blk[2], blk[3], f->st.stride, out);
    else if (all && n == 3) f->sad3(f->st.src, blk[0], blk[1], blk[2], f->st.stride, out);
    else if (all && n == 2) f->sad2(f->st.src, blk[0], blk[1], f->st.stride, out);
    int last = -1;
    for (int k = 0; k < n; k++) {
        if (!all) {
            if (!inside(f, v[k])) continue;
            out[k] = sad_at(f, v[k]);
        }
        if (consider(f, v[k], out[k])) last = k;
    }
    return last;
}

void search_diamond(full_search *f)
{
    static const int8_t off[4][2] = {{0, -4}, {0, 4}, {-4, 0}, {4, 0}};
    static const uint8_t code[4] = {13, 14, 7, 11};
    int mask = 15, prev = 15;
    for (int it = 0; it < f->R; it++) {
        uint32_t v[4];
        int idx[4], n = 0;
        for (int k = 0; k < 4; k++)
            if (mask & (1 << k)) {
                v[n] = me_mv_add(f->b, off[k][0], off[k][1]);
                idx[n++] = k;
            }
        int last = measure_points(f, v, n);
        if (last < 0) break;
        int c = code[idx[last]];
        mask = prev & c;
        prev = c;
    }
}

void search_hexagon(full_search *f)
{
    static const int8_t off[6][2] = {{-4, -8}, {-4, 8}, {-8, 0}, {4, -8}, {4, 8}, {8, 0}};
    static const uint8_t next[6] = {13, 22, 7, 41, 50, 56};
    int mask = 63;
    for (int t = 0; t < f->R; t += 2) {
        uint32_t v[6];
        int idx[6], n = 0;
        for (int k = 0; k < 6; k++)
            if (mask & (1 << k)) {
                v[n] = me_mv_add(f->b, off[k][0], off[k][1]);
                idx[n++] = k;
            }
        int last;
        if (n == 6) {
            int a = measure_points(f, v, 3);
            int c = measure_points(f, v + 3, 3);
            last = c >= 0 ? c + 3 : a;
        } else {
            last = measure_points(f, v, n);
        }
        if (last < 0) break;
        mask = next[idx[last]];
    }
    uint32_t u = f->b;
    if (four_around(f, u, axis4)) four_around(f, u, diag4);
}

// Single measurements along the four arms through c (full samples) at
// distances d0, d0 + 2, ... below the limit and strictly inside the window.
void cross_arms(full_search *f, int cx, int cy, int d0, int limit)
{
    const mv_window *w = &f->st.win;
    const int dir[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    const int room[4] = {cx - w->x_lo, w->x_hi - cx, cy - w->y_lo, w->y_hi - cy};
    for (int a = 0; a < 4; a++) {
        int lim = limit < room[a] ? limit : room[a];
        for (int d = d0; d < lim; d += 2) {
            uint32_t v = mv_pack(4 * (cx + d * dir[a][0]), 4 * (cy + d * dir[a][1]));
            if (v == f->b) continue;
            consider(f, v, sad_at(f, v));
        }
    }
}

const int8_t hex16[16][2] = {{0, -4}, {0, 4},  {-2, -3}, {2, -3}, {-4, -2}, {4, -2}, {-4, -1}, {4, -1},
                             {-4, 0}, {4, 0},  {-4, 1},  {4, 1},  {-4, 2},  {4, 2},  {-2, 3},  {2, 3}};

void multi_hexagon(full_search *f)
{
    const mv_window *w = &f->st.win;
    int cx = mv_x(f->b) >> 2, cy = mv_y(f->b) >> 2;
    int e = min_i32(min_i32(cx - w->x_lo, w->x_hi - cx), min_i32(cy - w->y_lo, w->y_hi - cy));
    for (int k = 1; k < (f->R >> 2); k++) {
        uint32_t v[16];
        for (int i = 0; i < 16; i++) v[i] = mv_pack(4 * (cx + k * hex16[i][0]), 4 * (cy + k * hex16[i][1]));
        if (4 * k <= e) {
            for (int g = 0; g < 4; g++) {
                uint32_t out[4];
                const uint32_t *q = v + 4 * g;
                f->sad4(f->st.src, me_block(&f->st, q[0]), me_block(&f->st, q[1]), me_block(&f->st, q[2]),
                        me_block(&f->st, q[3]), f->st.stride, out);
                for (int i = 0; i < 4; i++) consider(f, q[i], out[i]);
            }
        } else {
            for (int i = 0; i < 16; i++)
                if (inside(f, v[i]) && v[i] != f->b) consider(f, v[i], sad_at(f, v[i]));
        }
    }
}

void wide_search(full_search *f, int d0)
{
    uint32_t u = f->b;
    cross_arms(f, mv_x(u) >> 2, mv_y(u) >> 2, d0, f->R);
    static const int8_t corners[4][2] = {{-2, -2}, {2, -2}, {-2, 2}, {2, 2}};
    four_around(f, u, corners);
    multi_hexagon(f);
    const mv_window *w = &f->st.win;
    int bx = mv_x(f->b) >> 2, by = mv_y(f->b) >> 2;
    if (bx >= w->x_lo && bx <= w->x_hi && by >= w->y_lo && by <= w->y_hi) search_hexagon(f);
}

void search_escalating(full_search *f, uint32_t p)
{
    static const int shift[4] = {0, 2, 4, 6};
    int h = shift[f->s];
    uint32_t j0 = f->J;
    if (p != 0) four_around(f, 0, axis4);
    four_around(f, p, axis4);
    uint32_t j2 = f->J;
    if (f->b != 0 && f->b != p) four_around(f, f->b, axis4);
    if (f->J != j2) return wide_search(f, 1);
    if (f->J >= (36000u >> h)) return wide_search(f, 3);
    uint32_t u = f->b, j3 = f->J;
    static const int8_t cross2[4][2] = {{-2, 0}, {2, 0}, {0, -2}, {0, 2}};
    static const int8_t square[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
    four_around(f, u, cross2);
    four_around(f, u, square);
    if (f->J == j0 && f->J < (9000u >> h)) return;
    if (f->J != j3) return wide_search(f, 3);
    int r = (f->R | 2) >> 1;
    cross_arms(f, mv_x(u) >> 2, mv_y(u) >> 2, 3, r);
    static const int8_t knight_up[4][2] = {{-1, -2}, {1, -2}, {-2, -1}, {2, -1}};
    static const int8_t knight_down[4][2] = {{-1, 2}, {1, 2}, {-2, 1}, {2, 1}};
    four_around(f, u, knight_up);
    four_around(f, u, knight_down);
    if (f->J == j3) return;
    wide_search(f, r);
}

// Start candidates; returns the last start point examined.
uint32_t start_candidates(full_search *f, pu_desc *pu, uint32_t *best_sad)
{
    uint32_t p = 0;
    bool zero_seen = false;
    auto start_point = [&](uint32_t v) {
        uint32_t a = mv_round_to_fullpel(&f->st.win, v);
        p = a;
        if (a == 0) zero_seen = true;
        if (a != f->b) {
            uint32_t sad = sad_at(f, a);
            if (sad < *best_sad) {
                f->b = a;
                *best_sad = sad;
            }
        }
    };
    for (int i = 0; i < pu->amvp_count; i++) {
        // An extra candidate equal to a predictor measures the same block:
        // drop it, and keep the caller's record lowered for its later searches.
        for (int j = 0; j < pu->cand_count; j++)
            if (pu->cand[j] == pu->amvp[i]) {
                if (j == 0) pu->cand[0] = pu->cand[1];
                pu->cand_count--;
                break;
            }
        start_point(pu->amvp[i]);
    }
    for (int j = 0; j < pu->cand_count; j++) start_point(pu->cand[j]);
    if (!zero_seen) {
        uint32_t sad = sad_at(f, 0);
        if (sad < *best_sad) {
            f->b = 0;
            *best_sad = sad;
        }
    }
    return p;
}

struct subpel_search {
    full_search *f;
    pair_metric_fn metric;
    bool bilinear;
    me_metric_memo memo;
};

uint32_t q_cost(subpel_search *sp, uint32_t v)
{
    return me_memo_metric(&sp->memo, &sp->f->st, sp->metric, v, sp->bilinear) + vector_cost(sp->f, v);
}

// Candidates u + off[k] (quarter samples); returns the step of the last
// improvement, (0, 0) when none.
struct step {
    int dx, dy;
};

step refine_pass(subpel_search *sp, uint32_t u, const int8_t (*off)[2], int n, uint64_t *vrec, uint64_t *hrec)
{
    full_search *f = sp->f;
    step s = {0, 0};
    for (int k = 0; k < n; k++) {
        uint32_t v = me_mv_add(u, off[k][0], off[k][1]);
        if (v == f->b || !inside(f, v)) continue;
        uint32_t q = q_cost(sp, v);
        if (vrec && off[k][0] == 0) {
            uint64_t r = 4 * (uint64_t)q + (off[k][1] > 0 ? 2 : 0);
            if (r < *vrec) *vrec = r;
        } else if (hrec && off[k][1] == 0) {
            uint64_t r = 4 * (uint64_t)q + (off[k][0] > 0 ? 2 : 0);
            if (r < *hrec) *hrec = r;
        }
        if (q < f->J) {
            f->b = v;
            f->J = q;
            s.dx = off[k][0];
            s.dy = off[k][1];
        }
    }
    return s;
}

bool subpel_stop(const full_search *f, const me_context *me, const pu_desc *pu, uint32_t bound, int likely_ref)
{
    uint32_t J = f->J;
    if (skips_hopeless_subpel(me->speed_level) && (J >> 1) > bound) return true;
    if (!likely_ref && ((15 * J) >> 4) > (4096u >> (2 * f->s)) + bound) return true;
    if (me->speed_level < 3) {
        if (!likely_ref || (f->s == 0 && J > 4000)) return true;
        if (me->activity) {
            static const int level[4] = {0, 1, 5, 21};
            int idx = level[f->s] + (pu->x >> (6 - f->s)) + (pu->y >> (6 - 2 * f->s));
            int64_t a = me->activity[idx];
            if (a < (int64_t)(int32_t)((double)J * 1.2) || a < 2 * (int64_t)pu->width * pu->height) return true;
        }
    }
    return false;
}

void subpel_refine(full_search *f, const me_context *me, const pu_desc *pu, uint32_t bound, int likely_ref)
{
    subpel_search sp;
    sp.f = f;
    sp.metric = (me->speed_level < 5 && pu->width == 64) ? me->metric->sad[f->s] : me->metric->satd[f->s];
    sp.bilinear = me->subpel_bilinear != 0;
    me_memo_start(&sp.memo, pu);
    f->J = q_cost(&sp, f->b) + vector_cost(f, f->b);
    if (me->subpel_level == 0 || subpel_stop(f, me, pu, bound, likely_ref)) return;
    static const int8_t half_axis[4][2] = {{0, -2}, {-2, 0}, {2, 0}, {0, 2}};
    static const int8_t half_diag[4][2] = {{-2, -2}, {2, -2}, {-2, 2}, {2, 2}};
    static const int8_t q_axis[8][2] = {{0, -1}, {-1, 0}, {1, 0}, {0, 1}, {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
    bool level0 = me->speed_level == 0;
    uint64_t vrec = UINT64_MAX, hrec = UINT64_MAX;
    uint32_t u = f->b;
    step last = {0, 0};
    int passes = refines_subpel_twice(me->speed_level) ? 2 : 1;
    for (int i = 0; i < passes; i++) {
        last = refine_pass(&sp, u, half_axis, 4, level0 ? &vrec : nullptr, level0 ? &hrec : nullptr);
        if (last.dx == 0 && last.dy == 0) break;
        u = me_mv_add(u, last.dx, last.dy);
    }
    if (refines_subpel_twice(me->speed_level)) {
        step d = refine_pass(&sp, u, half_diag, 4, nullptr, nullptr);
        u = me_mv_add(u, d.dx, d.dy);
    }
    if (me->subpel_level != 2) return;
    if (level0 && last.dx == 0 && last.dy == 0) {
        int8_t off[2][2];
        int n = 0;
        if (vrec != UINT64_MAX) {
            off[n][0] = 0;
            off[n++][1] = (int8_t)((vrec & 3) - 1);
        }
        if (hrec != UINT64_MAX) {
            off[n][0] = (int8_t)((hrec & 3) - 1);
            off[n++][1] = 0;
        }
        refine_pass(&sp, u, off, n, nullptr, nullptr);
    } else {
        refine_pass(&sp, u, q_axis, refines_subpel_twice(me->speed_level) ? 8 : 4, nullptr, nullptr);
    }
}

}  // namespace

void motion_search_full(row_context *ctx, const me_context *me, me_result *out, pu_desc *pu, int32_t qp,
                        uint32_t bound, int32_t flag, int32_t likely_ref)
{
    (void)ctx;
    (void)flag;
    out->cost = cost_infinite;
    out->cost2 = cost_infinite;
    // Square PUs of 8x8 to 64x64 only: the multi-candidate SADs have no 4x4 member.
    if (pu->width != pu->height || pu->shape < 0 || pu->shape > 3 || (64 >> pu->shape) != pu->width) return;
    full_search f;
    me_pu_state_init(&f.st, me, pu, qp);
    f.s = pu->shape;
    f.b = mv_unset;
    f.J = cost_infinite;
    f.sad1 = me->metric->sad_sub[f.s];
    f.sad4 = me->metric->sad_x4_sub[f.s];
    f.sad3 = me->metric->sad_x3_sub[f.s];
    f.sad2 = me->metric->sad_x2_sub[f.s];
    f.R = me->search_range;
    int m = me->search_method;
    if (!likely_ref) {
        f.R /= 3;
        if (m != 2) m = 0;
    } else if (pu->ref_idx != 0 && m != 2) {
        m = 0;
    }
    uint32_t best_sad = cost_infinite;
    f.mvp_x = f.mvp_y = 0;
    uint32_t p = start_candidates(&f, pu, &best_sad);
    int16_t dv[2];
    int k = mvd_best_predictor(&f.b, pu->amvp, pu->amvp_count, dv);
    f.mvp_x = mv_x(pu->amvp[k]);
    f.mvp_y = mv_y(pu->amvp[k]);
    f.J = best_sad + me_diff_cost(&f.st, dv[0], dv[1]);
    if (m == 0) search_hexagon(&f);
    else if (m == 1) search_escalating(&f, p);
    else if (m == 2) search_diamond(&f);
    subpel_refine(&f, me, pu, bound, likely_ref);
    out->cost = f.J;
    out->mv = f.b;
    out->ref_idx = pu->ref_idx;
}
