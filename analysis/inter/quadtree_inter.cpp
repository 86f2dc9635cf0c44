// CU quad-tree search of P and B slices on the rate-distortion path: every
// node inside the picture is decided as a leaf, early-termination rules
// (leaf and QP thresholds, skip, an empty residual, the costs of similar
// neighbouring CTUs, the texture of 16x16 CUs) decide whether its four
// children are tried, the children stop as soon as the split cannot win, and
// the choice re-establishes the winner's coding state.
#include "analysis/mode_search.h"
#include "analysis/speed_levels.h"
#include "encoder/int_math.h"

#include <cmath>
#include <cstring>

namespace {

// Leaf costs (plus 100) below which the levels that take split shortcuts keep
// a CU of depth 0..3 whole: 2 per luma sample of the CU, a fixed tuning.
const uint32_t inter_leaf_threshold[4] = {8192, 2048, 512, 128};

enum { CHOOSE_RIGHT = 1, CHOOSE_BOTTOM = 2, CHOOSE_STOPPED = 16 };

struct quad_node {
    row_context *ctx;
    mode_search_state *st;
    cu_node *tree, *node;
    int32_t z, x, y, log2, size, depth, n;
    int32_t w_rem, h_rem;
};

// 128 x the mean lookahead intra class of the CU's area (P pictures with a
// lookahead distance; 0 otherwise and for 64x64 CUs). The outermost block row
// and column of the picture are left out.
int32_t intra_score_of(const quad_node *q)
{
    const row_context *ctx = q->ctx;
    const picture *src = ctx->fi->pic.source_picture;
    if (src->picture_type != PIC_TYPE_P || src->ref_distance_past < 0 || q->log2 == 6 || ctx->fi->pic.ref_count_l0 < 1)
        return 0;
    int32_t dist = src->frame_number - ctx->fi->pic.list0[0]->frame_number;
    if (dist < 0 || dist >= PICTURE_GRID || !src->lowres_intra_score[dist]) return 0;
    const uint32_t *classes = src->lowres_intra_score[dist];
    int32_t cols = ctx->enc->blk16_cols, rows = ctx->enc->blk16_rows;
    int32_t c0 = clamp_i32((q->x >> 4) + 4 * ctx->ctu.x, 1, cols - 1);
    int32_t c1 = clamp_i32((q->x >> 4) + 4 * ctx->ctu.x + (q->size >> 4), 1, cols - 1);
    int32_t r0 = clamp_i32((q->y >> 4) + 4 * ctx->ctu.y, 1, rows - 1);
    int32_t r1 = clamp_i32((q->y >> 4) + 4 * ctx->ctu.y + (q->size >> 4), 1, rows - 1);
    int32_t sum = 0, count = 0;
    for (int32_t r = r0; r < r1; r++)
        for (int32_t c = c0; c < c1; c++) {
            sum += (int32_t)classes[r * ctx->enc->blk16_stride + c];
            count++;
        }
    return count ? (sum << 7) / count : 0;
}

// What the quad-tree tries at a node: 0 the leaf, 1 leaf and split, 2 split.
int32_t search_mode_of(const quad_node *q)
{
    const mode_search_state *st = q->st;
    if (q->x + q->size > q->w_rem || q->y + q->size > q->h_rem || q->log2 <= 3) return q->log2 > 3 ? 2 : 0;
    if (q->depth < st->min_split_depth) return 2;
    if (st->split_limit_off < 3 && q->depth >= st->max_split_depth) return 0;
    return 1;
}

// Twice the weight at depths the similar neighbouring CTUs did not reach
// (at speed levels that take split shortcuts) or the mean of the co-located
// CTUs of a true B picture's first references did not reach.
double neighbour_weight(const quad_node *q)
{
    row_context *ctx = q->ctx;
    const mode_search_state *st = q->st;
    const ctu_context *c = &ctx->ctu;
    double f = st->speed_level < 4 ? 1.0 : 0.8;
    int32_t a = c->address;
    if (takes_split_shortcuts(st->speed_level)) {
        int32_t limit = 3;
        const uint8_t *dmax = ctx->fi->tables.ctu_depth_max;
        if (c->left_similar && c->above_similar) {
            limit = dmax[a - 1] > dmax[a - ctx->enc->ctu_cols] ? dmax[a - 1] : dmax[a - ctx->enc->ctu_cols];
        } else if (c->left_similar) {
            limit = dmax[a - 1];
        } else if (c->above_similar) {
            limit = dmax[a - ctx->enc->ctu_cols];
        }
        if (q->depth >= limit) f = 2.0;
    }
    if (ctx->fi->pic.source_picture->picture_type != PIC_TYPE_P && ctx->fi->pic.ref_count_l0 > 0 && ctx->fi->pic.ref_count_l1 > 0) {
        const picture *r0 = ctx->fi->pic.list0[0], *r1 = ctx->fi->pic.list1[0];
        if (r0->ctu_max_depth && r1->ctu_max_depth && q->depth >= (r1->ctu_max_depth[a] + r0->ctu_max_depth[a]) >> 1)
            f = 2.0;
    }
    return f;
}

// The leaf costs of the node's earlier siblings (p of them) inside the picture.
uint64_t earlier_siblings_cost(const quad_node *q, int32_t p)
{
    uint64_t sum = 0;
    int32_t h = q->size, parent_x = q->x - (p & 1) * h, parent_y = q->y - (p >> 1) * h;
    int32_t first = q->z - p * (1 << (2 * (q->log2 - 2)));
    for (int32_t k = 0; k < p; k++) {
        int32_t sx = parent_x + (k & 1) * h, sy = parent_y + (k >> 1) * h;
        if (sx >= q->w_rem || sy >= q->h_rem) continue;
        sum += q->tree[node_index(first + k * (1 << (2 * (q->log2 - 2))), q->log2)].leaf_cost;
    }
    return sum;
}

// The neighbour-statistics test: the split is tried only when the leaf costs
// at least the (weighted) mean cost of CUs of its depth in similar
// neighbouring CTUs and of its earlier siblings.
int32_t neighbour_test(const quad_node *q)
{
    const mode_search_state *st = q->st;
    double f = neighbour_weight(q);
    int32_t p = (q->z >> (2 * q->log2 - 4)) & 3;
    uint32_t n = st->neighbour_cost_count[q->depth] + (uint32_t)p;
    if (n == 0) return 1;
    uint64_t sum = st->neighbour_cost_sum[q->depth] + earlier_siblings_cost(q, p);
    uint64_t weighted = (uint64_t)std::trunc((double)sum * f);
    uint32_t leaf_times = q->node->leaf_cost * n;
    return weighted <= leaf_times ? 1 : 0;
}

// The no-split tests after the leaf; each may only lower the mode to 0.
int32_t no_split_tests(const quad_node *q, int32_t mode)
{
    const mode_search_state *st = q->st;
    const cu_node *node = q->node;
    if (takes_split_shortcuts(st->speed_level) && mode == 1 && node->leaf_cost < inter_leaf_threshold[q->depth] + 100)
        mode = 0;
    if (node->shortcut_taken) return mode;
    if (node->skip_flag) mode = 0;
    if (!node->state_stale && q->ctx->ctu.decision.cbf_flags[q->n] == 0 && q->depth != 0) mode = 0;
    if (st->speed_level < 2) {
        if ((int32_t)node->leaf_cost < inter_qp_threshold(node->qp, q->depth)) return 0;
    } else if (node->leaf_cost < (((uint64_t)node->lambda_sse * 8) >> (16 - 2 * q->log2))) {
        return 0;
    }
    if (mode != 0 && q->log2 < 6) mode = neighbour_test(q);
    if (mode != 0 && q->log2 == 4 && (q->ctx->fi->pic.source_picture->layer != 0 || node->pred_mode == 1) &&
        takes_split_shortcuts(st->speed_level))
        mode = cu_split_laplacian_test(q->ctx, q->z, q->x, q->y, 4);
    return mode;
}

uint8_t children_cbf(const quad_node *q, int32_t flags)
{
    int32_t s = 1 << (2 * (q->log2 - 3));
    const int32_t present[4] = {1, flags & CHOOSE_RIGHT, flags & CHOOSE_BOTTOM,
                                (flags & CHOOSE_RIGHT) && (flags & CHOOSE_BOTTOM)};
    uint8_t v = 0;
    for (int32_t k = 0; k < 4; k++)
        if (present[k]) v |= q->ctx->ctu.decision.cbf_flags[node_index(q->z + k * s, q->log2 - 1)];
    return v;
}

// The leaf coded again as the node describes it.
void recode_leaf(const quad_node *q)
{
    row_context *ctx = q->ctx;
    cu_node *node = q->node;
    if (q->log2 == 6) {
        node->tu_split = 1;
        for (int32_t i = 1; i <= 4; i++) {
            q->tree[i].split = 0;
            q->tree[i].tu_split = 0;
            q->tree[i].residual_mode = 0;
            std::memcpy(&q->tree[i].qp, &node->qp, CU_NODE_TAIL_WORDS * 4);
        }
    }
    cu_tree_commit(ctx, q->tree, q->z, q->x, q->y, q->log2);
    rate_restore(ctx, q->depth);
    map_mark_unavailable(ctx, q->x, q->y, q->size, q->size);
    rd_cu_cost(ctx, node->lambda_sse, q->z, q->x, q->y, q->log2, 0, 0);
    rd_split_flag_cost(ctx, node->lambda_sse, q->z, q->depth, 0);
}

// The split's cost: the children inside the picture and split_cu_flag 1.
uint32_t split_cost(const quad_node *q, int32_t flags)
{
    int32_t s = 1 << (2 * (q->log2 - 3));
    uint32_t sum = q->tree[node_index(q->z, q->log2 - 1)].leaf_cost;
    if (flags & CHOOSE_RIGHT) sum += q->tree[node_index(q->z + s, q->log2 - 1)].leaf_cost;
    if (flags & CHOOSE_BOTTOM) sum += q->tree[node_index(q->z + 2 * s, q->log2 - 1)].leaf_cost;
    if ((flags & 3) == 3) sum += q->tree[node_index(q->z + 3 * s, q->log2 - 1)].leaf_cost;
    return sum + q->node->split_flag1_cost;
}

// The leaf that won, left live where its coding is not: put back from its
// save slot below speed level 4, else coded again.
void leaf_live(const quad_node *q, int32_t mode)
{
    row_context *ctx = q->ctx;
    ctu_context *c = &ctx->ctu;
    cu_node *node = q->node;
    if (mode != 1 && !node->state_stale) return;
    uint32_t k = (uint32_t)q->size / 8;
    map_fill_block((uint8_t *)&c->maps.cu_depth_map[map8_index(q->z)], k, k, 1, (uint32_t)q->depth);
    if (mode == 1 && !node->state_stale && q->st->speed_level < 4) {
        cu_state_restore(ctx, q->tree, q->z, q->x, q->y, q->log2);
        cu_tree_commit(ctx, q->tree, q->z, q->x, q->y, q->log2);
        map_mark_available(ctx, q->x, q->y, q->size, q->size);
    } else {
        recode_leaf(q);
    }
    node->node_cbf = c->decision.cbf_flags[q->n];
}

// Whether the split, where it was searched whole, wins: a tie goes to the
// leaf, a node never evaluated as a leaf splits. A split that wins is
// recorded in the node and the decision maps.
bool split_wins(const quad_node *q, int32_t mode, int32_t flags)
{
    ctu_context *c = &q->ctx->ctu;
    cu_node *node = q->node;
    if (mode == 0 || (flags & CHOOSE_STOPPED)) return false;
    uint32_t sum = split_cost(q, flags);
    if (!(sum < node->leaf_cost || mode == 2)) return false;
    node->leaf_cost = sum;
    node->split = 1;
    c->decision.cu_split[q->n] = 1;
    c->decision.cbf_flags[q->n] = children_cbf(q, flags);
    return true;
}

// Leaf against split; the winner's coding state is left live.
void cu_choose_rdo_inter(const quad_node *q, int32_t mode, int32_t flags)
{
    mode_search_state *st = q->st;
    cu_node *node = q->node;
    int32_t saved_alt = st->use_rdoq_alt;
    if (chooses_with_rdoq_alt(st->speed_level)) st->use_rdoq_alt = 1;
    node->split = 0;
    if (mode < 2) node->leaf_cost += node->split_flag0_cost;
    if (!split_wins(q, mode, flags)) leaf_live(q, mode);
    st->use_rdoq_alt = saved_alt;
}

// Stop rules of the children below speed level 3: the split is abandoned
// once the children searched so far cost too much against the leaf (the
// first two rules in B slices only). Returns whether the split stopped.
bool children_stop(const quad_node *q, int32_t k, uint64_t partial)
{
    uint32_t leaf = q->node->leaf_cost;
    int32_t s = 1 << (2 * (q->log2 - 3));
    bool b_slice = q->st->slice_class == slice_b;
    bool stop = (k < 2 && b_slice && 3 * partial > 2 * (uint64_t)leaf) || (k == 2 && partial > leaf);
    if (!stop) return false;
    for (int32_t j = k + 1; j < 4; j++) q->tree[node_index(q->z + j * s, q->log2 - 1)].leaf_cost = COST_INFINITE;
    cu_split_stopped(q->ctx, q->x, q->y, q->log2, k);
    return true;
}

// The children in z-order, stopping by children_stop where the levels that
// take split shortcuts try the leaf too. Returns the choice's flags.
int32_t children_search(const quad_node *q, int32_t mode)
{
    int32_t h = q->size / 2, s = 1 << (2 * (q->log2 - 3));
    int32_t sides = cu_split_begin(q->ctx, q->tree, q->z, q->x, q->y, q->log2, mode == 1);
    int32_t right = sides & 1, bottom = sides >> 1;
    int32_t flags = (right ? CHOOSE_RIGHT : 0) | (bottom ? CHOOSE_BOTTOM : 0);
    const int32_t present[4] = {1, right, bottom, right && bottom};
    uint64_t partial = 0;
    bool stops = takes_split_shortcuts(q->st->speed_level) && mode == 1;
    for (int32_t k = 0; k < 4; k++) {
        if (!present[k]) continue;
        cu_search_rdo_inter(q->ctx, q->tree, q->z + k * s, q->x + (k & 1) * h, q->y + (k >> 1) * h, q->log2 - 1);
        partial += q->tree[node_index(q->z + k * s, q->log2 - 1)].leaf_cost;
        if (stops && k < 3 && children_stop(q, k, partial)) return flags | CHOOSE_STOPPED;
    }
    q->node->split_flag1_cost = rd_split_flag_cost(q->ctx, q->node->lambda_sse, q->z, q->depth, 1);
    return flags;
}

void quad_set_up(quad_node *q, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2)
{
    q->ctx = ctx;
    q->st = search_state(ctx);
    q->tree = tree;
    q->z = z;
    q->x = x;
    q->y = y;
    q->log2 = log2;
    q->size = 1 << log2;
    q->depth = 6 - log2;
    q->n = node_index(z, log2);
    q->node = &tree[q->n];
    q->w_rem = ctx->enc->width - 64 * ctx->ctu.x;
    q->h_rem = ctx->enc->height - 64 * ctx->ctu.y;
}

}  // namespace

void cu_search_rdo_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    quad_node q;
    quad_set_up(&q, ctx, tree, z, x, y, log2_size);
    cu_node *node = q.node;
    cu_node_init(ctx, node);
    int32_t mode = search_mode_of(&q);
    node->intra_score = intra_score_of(&q);
    node->leaf_first = 1;
    rate_snapshot(ctx, q.depth);
    if (mode < 2) {
        cu_leaf_search(ctx, tree, z, x, y, log2_size, mode);
        mode = no_split_tests(&q, mode);
        if (mode == 1 && !node->state_stale) cu_state_save(ctx, tree, z, x, y, log2_size);
    }
    int32_t flags = mode != 0 ? children_search(&q, mode) : 0;
    cu_choose_rdo_inter(&q, mode, flags);
    // The neighbour test of later CTUs reads these sums.
    if (log2_size > 3) {
        ctx->ctu.depth_cost_count[q.depth]++;
        ctx->ctu.depth_cost_sum[q.depth] += node->leaf_cost;
    }
}
