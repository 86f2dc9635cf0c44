// CU quad-tree search of I slices on the rate-distortion path: every node is
// evaluated as a leaf, early-termination rules decide whether its four
// children are tried, the children stop as soon as the split cannot win, and
// the choice re-establishes the winner's coding state.
#include "analysis/mode_search.h"
#include "analysis/speed_levels.h"

namespace {

// Intra costs (plus the CTU's keep-bias) below which the levels that take
// split shortcuts keep a CU of depth 0..3 whole: 1 per luma sample of the CU,
// half the inter figure, a fixed tuning.
const uint32_t intra_leaf_threshold[4] = {4096, 1024, 256, 64};

enum { CHOOSE_RIGHT = 1, CHOOSE_BOTTOM = 2, CHOOSE_STOPPED = 16 };

// Cost of the NxN partition of an 8x8 CU whose four 4x4 blocks were coded last.
uint32_t nxn_cost(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y)
{
    mode_search_state *st = search_state(ctx);
    cu_node *node = &tree[node_index(z, 3)];
    if (tree[node_index(z + 3, 2)].intra_cost == COST_INFINITE) {
        map_mark_available(ctx, x, y, 8, 8);
        return COST_INFINITE;
    }
    rate_restore(ctx, 3);
    node->split = 1;
    cu_tree_commit(ctx, tree, z, x, y, 3);
    uint32_t s;
    if (st->intra_rd_check) {
        uint8_t cbf = 0;
        for (int32_t k = 0; k < 4; k++) cbf |= ctx->ctu.decision.cbf_flags[node_index(z + k, 2)];
        ctx->ctu.decision.cbf_flags[node_index(z, 3)] = cbf;
        s = rd_cu_cost_current(ctx, node->lambda_sse, z, x, y, 3);
    } else {
        s = rd_cu_cost(ctx, node->lambda_sse, z, x, y, 3, 0, 0);
    }
    node->split = 0;
    node->part_mode = 0;
    return s;
}

// The split's cost: the NxN partition of an 8x8 CU, else the children
// inside the picture and split_cu_flag 1.
uint32_t split_cost(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    int32_t flags)
{
    if (log2_size == 3) return nxn_cost(ctx, tree, z, x, y);
    int32_t q = 1 << (2 * (log2_size - 3));
    uint32_t s = tree[node_index(z, log2_size - 1)].intra_cost;
    if (flags & CHOOSE_RIGHT) s += tree[node_index(z + q, log2_size - 1)].intra_cost;
    if (flags & CHOOSE_BOTTOM) s += tree[node_index(z + 2 * q, log2_size - 1)].intra_cost;
    if ((flags & 3) == 3) s += tree[node_index(z + 3 * q, log2_size - 1)].intra_cost;
    return s + tree[node_index(z, log2_size)].split_flag1_cost;
}

// Leaves the chosen coding live: a split's children are, a 4x4 CU marks the
// depth of its 8x8 unit, a leaf is put back from its save slot or coded
// again.
void winner_live(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t mode)
{
    ctu_context *c = &ctx->ctu;
    int32_t size = 1 << log2_size, depth = 6 - log2_size, n = node_index(z, log2_size);
    cu_node *node = &tree[n];
    if (log2_size == 2) {
        if ((z & 3) == 0) c->maps.cu_depth_map[map8_index(z)] = (int8_t)(depth - 1);
        return;
    }
    if (node->split) {
        if (log2_size > 3) {
            c->decision.cu_split[n] = 1;
            c->decision.cbf_flags[n] = cu_children_cbf(ctx, z, log2_size);
        }
        return;
    }
    map_fill_block((uint8_t *)&c->maps.cu_depth_map[map8_index(z)], size / 8, size / 8, 1, (uint32_t)depth);
    if (mode == 1 && !node->state_stale) {
        cu_state_restore(ctx, tree, z, x, y, log2_size);
        cu_tree_commit(ctx, tree, z, x, y, log2_size);
        map_mark_available(ctx, x, y, size, size);
    } else if (node->state_stale) {
        cu_leaf_recode(ctx, tree, z, x, y, log2_size);
    }
}

// Leaf against split; a tie goes to the leaf, a node never evaluated as a
// leaf splits.
void cu_choose_rdo_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                         int32_t log2_size, int32_t mode, int32_t flags)
{
    mode_search_state *st = search_state(ctx);
    cu_node *node = &tree[node_index(z, log2_size)];
    int32_t saved_alt = st->use_rdoq_alt;
    if (chooses_with_rdoq_alt(st->speed_level)) st->use_rdoq_alt = 1;
    node->split = 0;
    if (mode < 2) node->intra_cost += node->split_flag0_cost;
    if (mode != 0 && !(flags & CHOOSE_STOPPED)) {
        uint32_t s = split_cost(ctx, tree, z, x, y, log2_size, flags);
        if (s < node->intra_cost || mode == 2) {
            node->intra_cost = s;
            node->split = 1;
        }
    }
    winner_live(ctx, tree, z, x, y, log2_size, mode);
    st->use_rdoq_alt = saved_alt;
}

// What the quad-tree tries at a node: 0 the leaf, 1 leaf and split, 2 split.
// A 64x64 CU always splits; 8x8 tries its NxN split only where the levels
// that check intra by RD ask for it.
int32_t search_mode_of(row_context *ctx, int32_t x, int32_t y, int32_t log2_size)
{
    const mode_search_state *st = search_state(ctx);
    const ctu_context *c = &ctx->ctu;
    int32_t size = 1 << log2_size, depth = 6 - log2_size;
    int32_t w_rem = ctx->enc->width - 64 * c->x, h_rem = ctx->enc->height - 64 * c->y;
    int32_t nxn = st->speed_level >= 3 && st->intra_rd_check ? 1 : 0;
    if (!(x + size <= w_rem && y + size <= h_rem && log2_size > 3 - nxn)) return log2_size > 3 ? 2 : 0;
    int32_t mode = log2_size == 6 ? 2 : (log2_size == 2 ? 0 : 1);
    if (depth < st->min_split_depth && mode != 0) mode = 2;
    else if (st->split_limit_off < 3 && depth >= st->max_split_depth && mode < 2) mode = 0;
    return mode;
}

// The no-split tests after the leaf; each may only lower the mode to 0.
int32_t no_split_tests(row_context *ctx, const cu_node *node, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                       int32_t mode)
{
    const mode_search_state *st = search_state(ctx);
    int32_t depth = 6 - log2_size;
    // The keep-bias is a 64-bit value: the comparison is made in 64 bits.
    if (takes_split_shortcuts(st->speed_level) && mode == 1 &&
        (int64_t)node->intra_cost < (int64_t)intra_leaf_threshold[depth] + st->intra_keep_bias)
        mode = 0;
    if (node->shortcut_taken) return mode;
    uint64_t floor_cost = ((uint64_t)node->lambda_sse << 4) >> (16 - 2 * log2_size);
    if (node->intra_cost < floor_cost) mode = 0;
    else if (mode != 0 && log2_size == 4) mode = cu_split_laplacian_test(ctx, z, x, y, 4);
    return mode;
}

// The children in z-order. With the leaf tried too they stop as soon as
// their sum reaches its cost, the choice then keeping the leaf. Returns the
// choice's flags.
int32_t children_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                        int32_t mode)
{
    cu_node *node = &tree[node_index(z, log2_size)];
    int32_t h = (1 << log2_size) / 2, q = log2_size > 2 ? 1 << (2 * (log2_size - 3)) : 0;
    int32_t sides = cu_split_begin(ctx, tree, z, x, y, log2_size, mode == 1);
    int32_t right = sides & 1, bottom = sides >> 1;
    int32_t flags = (right ? CHOOSE_RIGHT : 0) | (bottom ? CHOOSE_BOTTOM : 0);
    double limit = node->intra_cost, sum = 0.0;
    const int32_t present[4] = {1, right, bottom, right && bottom};
    for (int32_t k = 0; k < 4; k++) {
        if (!present[k]) continue;
        cu_search_rdo_intra(ctx, tree, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1);
        sum += tree[node_index(z + k * q, log2_size - 1)].intra_cost;
        if (mode == 1 && k < 3 && sum >= limit) {
            for (int32_t j = k + 1; j < 4; j++) tree[node_index(z + j * q, log2_size - 1)].intra_cost = COST_INFINITE;
            cu_split_stopped(ctx, x, y, log2_size, k);
            return flags | CHOOSE_STOPPED;
        }
    }
    node->split_flag1_cost = rd_split_flag_cost(ctx, node->lambda_sse, z, 6 - log2_size, 1);
    return flags;
}

}  // namespace

void cu_mode_dispatch(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    switch (st->slice_class) {
    case 0:
        if (st->coarse_search && log2_size >= 4) cu_decide_b_coarse(ctx, tree, st->coarse, z, x, y, log2_size);
        else cu_decide_b(ctx, tree, z, x, y, log2_size);
        break;
    case 1:
        if (st->coarse_search && log2_size >= 4) cu_decide_p_coarse(ctx, tree, st->coarse, z, x, y, log2_size);
        else cu_decide_p(ctx, tree, z, x, y, log2_size);
        break;
    case 2:
        if (st->intra_presearch && log2_size >= 3) cu_decide_intra_presearch(ctx, tree, st->coarse, z, x, y, log2_size);
        else cu_decide_i(ctx, tree, z, x, y, log2_size);
        break;
    default:
        break;
    }
}

void cu_leaf_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t mode)
{
    cu_node *node = &tree[node_index(z, log2_size)];
    node->split = 0;
    node->search_mode = (uint8_t)mode;
    node->shortcut_taken = 0;
    cu_mode_dispatch(ctx, tree, z, x, y, log2_size);
    node->split_flag0_cost = rd_split_flag_cost(ctx, node->lambda_sse, z, 6 - log2_size, 0);
}

void cu_search_rdo_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    cu_node *node = &tree[node_index(z, log2_size)];
    cu_node_init(ctx, node);
    int32_t mode = search_mode_of(ctx, x, y, log2_size);
    node->leaf_first = 1;
    rate_snapshot(ctx, 6 - log2_size);
    if (mode < 2) {
        cu_leaf_search(ctx, tree, z, x, y, log2_size, mode);
        mode = no_split_tests(ctx, node, z, x, y, log2_size, mode);
        if (mode == 1 && !node->state_stale) cu_state_save(ctx, tree, z, x, y, log2_size);
    }
    int32_t flags = mode != 0 ? children_search(ctx, tree, z, x, y, log2_size, mode) : 0;
    cu_choose_rdo_intra(ctx, tree, z, x, y, log2_size, mode, flags);
}
