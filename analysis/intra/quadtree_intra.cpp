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

void cu_choose_rdo_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                         int32_t log2_size, int32_t mode, int32_t flags)
{
    mode_search_state *st = search_state(ctx);
    ctu_context *c = &ctx->ctu;
    int32_t size = 1 << log2_size, depth = 6 - log2_size, n = node_index(z, log2_size);
    cu_node *node = &tree[n];
    int32_t saved_alt = st->use_rdoq_alt;
    if (chooses_with_rdoq_alt(st->speed_level)) st->use_rdoq_alt = 1;
    node->split = 0;
    if (mode < 2) node->intra_cost += node->split_flag0_cost;
    if (mode != 0 && !(flags & CHOOSE_STOPPED)) {
        uint32_t s;
        if (log2_size == 3) {
            s = nxn_cost(ctx, tree, z, x, y);
        } else {
            int32_t q = 1 << (2 * (log2_size - 3));
            s = tree[node_index(z, log2_size - 1)].intra_cost;
            if (flags & CHOOSE_RIGHT) s += tree[node_index(z + q, log2_size - 1)].intra_cost;
            if (flags & CHOOSE_BOTTOM) s += tree[node_index(z + 2 * q, log2_size - 1)].intra_cost;
            if ((flags & 3) == 3) s += tree[node_index(z + 3 * q, log2_size - 1)].intra_cost;
            s += node->split_flag1_cost;
        }
        if (s < node->intra_cost || mode == 2) {
            node->intra_cost = s;
            node->split = 1;
        }
    }
    if (log2_size == 2) {
        if ((z & 3) == 0) c->maps.cu_depth_map[map8_index(z)] = (int8_t)(depth - 1);
        st->use_rdoq_alt = saved_alt;
        return;
    }
    if (node->split) {
        if (log2_size > 3) {
            c->decision.cu_split[n] = 1;
            c->decision.cbf_flags[n] = cu_children_cbf(ctx, z, log2_size);
        }
        st->use_rdoq_alt = saved_alt;
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
    st->use_rdoq_alt = saved_alt;
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

void cu_search_rdo_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    ctu_context *c = &ctx->ctu;
    int32_t size = 1 << log2_size, depth = 6 - log2_size;
    int32_t w_rem = ctx->enc->width - 64 * c->x, h_rem = ctx->enc->height - 64 * c->y;
    cu_node *node = &tree[node_index(z, log2_size)];
    cu_node_init(ctx, node);

    int32_t nxn = st->speed_level >= 3 && st->intra_rd_check ? 1 : 0;
    int32_t mode;
    if (x + size <= w_rem && y + size <= h_rem && log2_size > 3 - nxn) {
        mode = log2_size == 6 ? 2 : (log2_size == 2 ? 0 : 1);
        if (depth < st->min_split_depth && mode != 0) mode = 2;
        else if (st->split_limit_off < 3 && depth >= st->max_split_depth && mode < 2) mode = 0;
    } else {
        mode = log2_size > 3 ? 2 : 0;
    }
    node->leaf_first = 1;
    rate_snapshot(ctx, depth);

    int32_t flags = 0;
    if (mode < 2) {
        node->split = 0;
        node->search_mode = (uint8_t)mode;
        node->shortcut_taken = 0;
        cu_mode_dispatch(ctx, tree, z, x, y, log2_size);
        node->split_flag0_cost = rd_split_flag_cost(ctx, node->lambda_sse, z, depth, 0);
        // The keep-bias is a 64-bit value: the comparison is made in 64 bits.
        if (takes_split_shortcuts(st->speed_level) && mode == 1 &&
            (int64_t)node->intra_cost < (int64_t)intra_leaf_threshold[depth] + st->intra_keep_bias)
            mode = 0;
        if (!node->shortcut_taken) {
            uint64_t floor_cost = ((uint64_t)node->lambda_sse << 4) >> (16 - 2 * log2_size);
            if (node->intra_cost < floor_cost) mode = 0;
            else if (mode != 0 && log2_size == 4) mode = cu_split_laplacian_test(ctx, z, x, y, 4);
        }
        if (mode == 1 && !node->state_stale) cu_state_save(ctx, tree, z, x, y, log2_size);
    }

    if (mode != 0) {
        int32_t h = size / 2, q = log2_size > 2 ? 1 << (2 * (log2_size - 3)) : 0;
        int32_t right = x + h < w_rem, bottom = y + h < h_rem;
        map_mark_unavailable(ctx, x, y, size, size);
        if (mode == 1) rate_restore(ctx, depth);
        node->split = 1;
        double limit = node->intra_cost, sum = 0.0;
        const int32_t present[4] = {1, right, bottom, right && bottom};
        for (int32_t k = 0; k < 4; k++) {
            if (!present[k]) continue;
            cu_search_rdo_intra(ctx, tree, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1);
            sum += tree[node_index(z + k * q, log2_size - 1)].intra_cost;
            if (mode == 1 && k < 3 && sum >= limit) {
                for (int32_t j = k + 1; j < 4; j++) tree[node_index(z + j * q, log2_size - 1)].intra_cost = COST_INFINITE;
                if (k < 2) map_mark_available(ctx, x, y, size, size);
                else map_mark_available(ctx, x + h, y + h, h, h);
                flags |= CHOOSE_STOPPED;
                break;
            }
        }
        if (!(flags & CHOOSE_STOPPED)) node->split_flag1_cost = rd_split_flag_cost(ctx, node->lambda_sse, z, depth, 1);
        flags |= (right ? CHOOSE_RIGHT : 0) | (bottom ? CHOOSE_BOTTOM : 0);
    }
    cu_choose_rdo_intra(ctx, tree, z, x, y, log2_size, mode, flags);
}
