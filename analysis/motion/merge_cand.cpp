// Merge candidate lists of H.265: spatial A1 B1 B0 A0 B2 with their pruning,
// the temporal candidate (reference index 0), combined bi-predictive and zero
// candidates. The parallel merge level is 4x4, so merge estimation regions
// never exclude a neighbour.
#include "analysis/motion/amvp.h"
#include "analysis/rd/avail_map.h"
#include "encoder/encoder_instance.h"

// H.265's l0CandIdx / l1CandIdx for combIdx 0..11.
static const uint8_t comb_l0[12] = {0, 1, 0, 2, 1, 2, 0, 3, 1, 3, 2, 3};
static const uint8_t comb_l1[12] = {1, 0, 2, 0, 2, 1, 3, 0, 3, 1, 3, 2};

struct merge_lists {
    uint32_t *mv[2];
    int8_t *ref[2];
};

// Lists whose motion a unit may carry in this slice: list 1 only in B slices,
// so stale list-1 data of a P slice never reaches a candidate.
static int slice_lists(const row_context *ctx) { return ctx->fi->pic.sh.slice_type == slice_b ? 2 : 1; }

static bool unit_uses(const row_context *ctx, int u, int l)
{
    return l < slice_lists(ctx) && ctx->ctu.motion.ref_idx[l][u] >= 0;
}

static bool unit_has_motion(const row_context *ctx, int u)
{
    return unit_uses(ctx, u, 0) || unit_uses(ctx, u, 1);
}

// Same motion as a decoder compares it: the same lists used, with equal
// reference indices and vectors in each used list.
static bool units_same_motion(const row_context *ctx, int a, int b)
{
    const ctu_motion_grid *g = &ctx->ctu.motion;
    for (int l = 0; l < 2; l++) {
        bool ua = unit_uses(ctx, a, l), ub = unit_uses(ctx, b, l);
        if (ua != ub) return false;
        if (ua && (g->ref_idx[l][a] != g->ref_idx[l][b] || g->mv[l][a] != g->mv[l][b])) return false;
    }
    return true;
}

static void entry_from_unit(const row_context *ctx, int u, int n, merge_lists *m)
{
    const ctu_motion_grid *g = &ctx->ctu.motion;
    for (int l = 0; l < 2; l++) {
        if (!m->ref[l]) continue;
        m->ref[l][n] = l < slice_lists(ctx) ? g->ref_idx[l][u] : (int8_t)-2;
        m->mv[l][n] = g->mv[l][u];
    }
}

// The five spatial neighbours at the positions H.265 reads them, each usable
// when available with motion in a list the slice has.
struct merge_neighbours {
    bool ok[5];  // A1 B1 B0 A0 B2: available with motion in a usable list
    int unit[5];
};

static void merge_neighbours_find(const row_context *ctx, int x, int y, int w, int h, bool list0_only,
                                  merge_neighbours *n)
{
    const uint8_t *map = ctx->ctu.recon_avail;
    const int ax[5] = {x - 1, x, x + w, x - 1, x - 1};
    const int ay[5] = {y, y - 1, y - 1, y + h, y - 1};
    const int mx[5] = {x - 1, x + w - 1, x + w, x - 1, x - 1};
    const int my[5] = {y + h - 1, y - 1, y - 1, y + h, y - 1};
    for (int k = 0; k < 5; k++) {
        n->unit[k] = motion_grid_index(mx[k], my[k]);
        bool motion = list0_only ? unit_uses(ctx, n->unit[k], 0) : unit_has_motion(ctx, n->unit[k]);
        n->ok[k] = map[avail_map_index(ax[k], ay[k])] && motion;
    }
    // The second PU of a two-PU CU never merges with the first.
    if (w < h && x % h != 0) n->ok[0] = false;
    if (w > h && y % w != 0) n->ok[1] = false;
}

// Spatial step shared by both builders; 'same' compares two grid units.
template <typename same_fn>
static int merge_spatial(const row_context *ctx, const merge_neighbours *n, same_fn same,
                         void (*take)(const row_context *, int, int, void *), void *lists)
{
    enum { A1, B1, B0, A0, B2 };
    int count = 0;
    if (n->ok[A1]) take(ctx, n->unit[A1], count++, lists);
    if (n->ok[B1] && !(n->ok[A1] && same(n->unit[B1], n->unit[A1]))) take(ctx, n->unit[B1], count++, lists);
    if (n->ok[B0] && !(n->ok[B1] && same(n->unit[B0], n->unit[B1]))) take(ctx, n->unit[B0], count++, lists);
    if (n->ok[A0] && !(n->ok[A1] && same(n->unit[A0], n->unit[A1]))) take(ctx, n->unit[A0], count++, lists);
    if (count < 4 && n->ok[B2] && !(n->ok[A1] && same(n->unit[B2], n->unit[A1])) &&
        !(n->ok[B1] && same(n->unit[B2], n->unit[B1])))
        take(ctx, n->unit[B2], count++, lists);
    return count;
}

static void take_both(const row_context *ctx, int u, int n, void *lists)
{
    entry_from_unit(ctx, u, n, (merge_lists *)lists);
}

static int32_t list_poc(const frame_instance *fi, int l, int idx)
{
    return (l == 0 ? fi->pic.list0[idx] : fi->pic.list1[idx])->poc;
}

static int ref_count(const frame_instance *fi, int l)
{
    int n = l == 0 ? fi->pic.ref_count_l0 : fi->pic.ref_count_l1;
    return n < ENCODER_MAX_REFS ? n : ENCODER_MAX_REFS;
}

static int merge_limit(const frame_instance *fi, int count)
{
    return count < fi->pic.sh.max_num_merge_cand ? count : fi->pic.sh.max_num_merge_cand;
}

namespace {

// The temporal candidate at place count, from the co-located motion of each
// list's first reference. Returns the new count; *temporal is its place.
int merge_temporal(row_context *ctx, const merge_lists *m, int x, int y, int w, int h, bool is_b, int count,
                   int *temporal, uint32_t *temporal_mask)
{
    bool found = false;
    for (int l = 0; l < (is_b ? 2 : 1); l++) {
        m->ref[l][count] = -2;
        m->mv[l][count] = 0;
        if (ref_count(ctx->fi, l) > 0 &&
            amvp_temporal(ctx, x, y, w, h, l, list_poc(ctx->fi, l, 0), &m->mv[l][count])) {
            m->ref[l][count] = 0;
            found = true;
        }
    }
    if (!found) return count;
    if (!is_b) {
        m->ref[1][count] = -2;
        m->mv[1][count] = 0;
    }
    *temporal = count;
    *temporal_mask = 1u << count;
    return count + 1;
}

// Combined bi-predictive candidates of a B slice: list 0 of one candidate with
// list 1 of another, in the standard order of pairs, unless both name the
// same motion. A pair with the temporal candidate inherits its mark.
int merge_combined(const row_context *ctx, const merge_lists *m, int count, int temporal, uint32_t *temporal_mask)
{
    uint32_t *mv_l0 = m->mv[0], *mv_l1 = m->mv[1];
    int8_t *ref_l0 = m->ref[0], *ref_l1 = m->ref[1];
    int orig = count;
    for (int c = 0; c < orig * (orig - 1) && c < 12 && count < 5; c++) {
        int a = comb_l0[c], b = comb_l1[c];
        if (ref_l0[a] < 0 || ref_l1[b] < 0) continue;
        if (list_poc(ctx->fi, 0, ref_l0[a]) == list_poc(ctx->fi, 1, ref_l1[b]) && mv_l0[a] == mv_l1[b]) continue;
        mv_l0[count] = mv_l0[a];
        ref_l0[count] = ref_l0[a];
        mv_l1[count] = mv_l1[b];
        ref_l1[count] = ref_l1[b];
        if (a == temporal || b == temporal) *temporal_mask |= 1u << count;
        count++;
    }
    return count;
}

// Zero-vector candidates, one per reference index (that both lists have in a
// B slice).
int merge_zero(const row_context *ctx, const merge_lists *m, bool is_b, int count)
{
    int zero_refs = is_b ? (ref_count(ctx->fi, 0) < ref_count(ctx->fi, 1) ? ref_count(ctx->fi, 0) : ref_count(ctx->fi, 1))
                         : ref_count(ctx->fi, 0);
    for (int k = 0; k < zero_refs && count < 5; k++) {
        m->mv[0][count] = m->mv[1][count] = 0;
        m->ref[0][count] = (int8_t)k;
        m->ref[1][count] = is_b ? (int8_t)k : (int8_t)-2;
        count++;
    }
    return count;
}

}  // namespace

int merge_build_list(row_context *ctx, int zidx, int x, int y, int w, int h, int depth, uint32_t mv_l0[5],
                     uint32_t mv_l1[5], int8_t ref_l0[5], int8_t ref_l1[5], uint32_t *temporal_mask)
{
    (void)zidx;
    (void)depth;
    *temporal_mask = 0;
    bool is_b = ctx->fi->pic.sh.slice_type == slice_b;
    merge_lists m = {{mv_l0, mv_l1}, {ref_l0, ref_l1}};
    merge_neighbours n;
    merge_neighbours_find(ctx, x, y, w, h, false, &n);
    int count = merge_spatial(ctx, &n, [&](int a, int b) { return units_same_motion(ctx, a, b); }, take_both, &m);
    int temporal = -1;
    if (ctx->enc->sps.temporal_mvp_enabled && count < 5)
        count = merge_temporal(ctx, &m, x, y, w, h, is_b, count, &temporal, temporal_mask);
    if (is_b) count = merge_combined(ctx, &m, count, temporal, temporal_mask);
    count = merge_zero(ctx, &m, is_b, count);
    return merge_limit(ctx->fi, count);
}

struct merge_list_p {
    uint32_t *mv;
    int8_t *ref;
};

static void take_l0(const row_context *ctx, int u, int n, void *lists)
{
    merge_list_p *m = (merge_list_p *)lists;
    m->mv[n] = ctx->ctu.motion.mv[0][u];
    m->ref[n] = ctx->ctu.motion.ref_idx[0][u];
}

int merge_build_list_p(row_context *ctx, int zidx, int x, int y, int w, int h, int depth, uint32_t mv[5],
                       int8_t ref[5], int32_t *temporal_idx)
{
    (void)zidx;
    (void)depth;
    *temporal_idx = -1;
    merge_list_p m = {mv, ref};
    merge_neighbours n;
    merge_neighbours_find(ctx, x, y, w, h, true, &n);
    const ctu_motion_grid *g = &ctx->ctu.motion;
    auto same = [&](int a, int b) { return g->ref_idx[0][a] == g->ref_idx[0][b] && g->mv[0][a] == g->mv[0][b]; };
    int count = merge_spatial(ctx, &n, same, take_l0, &m);
    if (ctx->enc->sps.temporal_mvp_enabled && count < 5) {
        ref[count] = -2;
        if (ref_count(ctx->fi, 0) > 0 && amvp_temporal(ctx, x, y, w, h, 0, list_poc(ctx->fi, 0, 0), &mv[count])) {
            ref[count] = 0;
            *temporal_idx = count;
            count++;
        }
    }
    for (int k = 0; k < ref_count(ctx->fi, 0) && count < 5; k++) {
        mv[count] = 0;
        ref[count] = (int8_t)k;
        count++;
    }
    return merge_limit(ctx->fi, count);
}
