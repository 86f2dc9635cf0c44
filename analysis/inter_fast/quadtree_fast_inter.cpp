// CU quad-tree of P and B pictures on the fast speed levels: every CU that may
// be a leaf is decided by the fast P or B CU decision, every child inside the
// picture is searched, and the choice keeps the cheaper of leaf and split. A
// skipped CU ends its branch (at speed level 7 only below 32x32). A leaf
// that wins is always coded again, since its decision leaves the state of
// its last trial live.
#include "analysis/inter_fast/inter_fast.h"

namespace {

enum { LOG2_MIN_CB = 3 };

// Running per-depth statistics of leaf costs; a leaf costing twice the
// running mean or more stays out of them.
void leaf_cost_stats_add(row_context *ctx, int32_t depth, uint32_t cost)
{
    ctu_context *c = &ctx->ctu;
    uint32_t k = c->depth_cost_count[depth];
    if (k != 0 && k * cost >= 2u * c->depth_cost_sum[depth]) return;
    c->depth_cost_count[depth] = (uint8_t)(k + 1);
    c->depth_cost_sum[depth] += cost;
}

}  // namespace

void cu_choose_fast_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          int32_t flags)
{
    ctu_context *c = &ctx->ctu;
    int32_t n = node_index(z, log2_size), mode = flags >> 2, size = 1 << log2_size, depth = 6 - log2_size;
    int32_t right = flags & 1, bottom = (flags >> 1) & 1;
    cu_node *node = &tree[n];
    node->split = 0;
    if (mode < 2) node->leaf_cost += node->split_flag0_cost;
    if (mode != 0) {
        int32_t q = 1 << (2 * (log2_size - 3));
        uint32_t s = tree[node_index(z, log2_size - 1)].leaf_cost;
        if (right) s += tree[node_index(z + q, log2_size - 1)].leaf_cost;
        if (bottom) s += tree[node_index(z + 2 * q, log2_size - 1)].leaf_cost;
        if (right && bottom) s += tree[node_index(z + 3 * q, log2_size - 1)].leaf_cost;
        s += node->split_flag1_cost;
        // A node whose leaf was not evaluated is always split.
        if (s < node->leaf_cost || mode == 2) {
            node->leaf_cost = s;
            node->split = 1;
            c->decision.cbf_flags[n] = cu_children_cbf(ctx, z, log2_size);
            return;
        }
    }
    if (mode != 1 && node->state_stale == 0) return;
    uint32_t k = (uint32_t)size / 8;
    map_fill_block((uint8_t *)&c->maps.cu_depth_map[map8_index(z)], k, k, 1, (uint32_t)depth);
    if (node->tu_saved) tu_layer_restore(ctx, tree, z, log2_size, depth);
    else if (log2_size == 6) cu64_transform_units(tree);
    cu_leaf_recode(ctx, tree, z, x, y, log2_size);
}

void cu_search_fast_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    ctu_context *c = &ctx->ctu;
    int32_t size = 1 << log2_size, depth = 6 - log2_size;
    int32_t w_rem = ctx->enc->width - 64 * c->x, h_rem = ctx->enc->height - 64 * c->y;
    cu_node *node = &tree[node_index(z, log2_size)];
    cu_node_init(ctx, node);

    int32_t mode;
    if (x + size > w_rem || y + size > h_rem || log2_size <= LOG2_MIN_CB) {
        mode = log2_size > LOG2_MIN_CB ? 2 : 0;
    } else {
        mode = 1;
        if (depth < st->min_split_depth) mode = 2;
        else if (st->split_limit_off < 3 && depth >= st->max_split_depth) mode = 0;
    }
    rate_snapshot(ctx, depth);

    if (mode < 2) {
        node->split = 0;
        if (st->slice_class == slice_b) cu_decide_b_fast(ctx, tree, z, x, y, log2_size);
        else cu_decide_p_fast(ctx, tree, z, x, y, log2_size);
        node->split_flag0_cost = rd_split_flag_cost(ctx, node->lambda_sse, z, depth, 0);
        if (log2_size > LOG2_MIN_CB) leaf_cost_stats_add(ctx, depth, node->leaf_cost);
        if (node->skip_flag && (st->speed_level < 7 || log2_size < 5)) mode = 0;
    }

    int32_t children = mode != 0 ? cu_children_search(ctx, tree, z, x, y, log2_size, mode == 1, cu_search_fast_inter)
                                 : 0;
    cu_choose_fast_inter(ctx, tree, z, x, y, log2_size, (mode << 2) | children);
}
