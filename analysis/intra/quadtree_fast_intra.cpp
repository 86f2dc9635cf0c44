// CU quad-tree of intra pictures on the fast speed levels: every CU that may
// be a leaf is decided by the fast intra CU decision, its children are
// searched depth-first in z-order, and the choice keeps the leaf or the
// split (at 8x8: 2Nx2N against NxN, where four 4x4 parts of one common mode
// are tried as a 2Nx2N CU with a split transform instead).
#include "analysis/mode_search.h"

namespace {

enum { LOG2_MIN_CB = 3 };

struct fast_place {
    int32_t z, x, y, log2;
};

// The common luma mode of the four 4x4 parts of an 8x8 CU when they all chose
// one that differs from the 8x8 leaf's mode; -1 otherwise.
int32_t same_mode_of_parts(const cu_node *tree, int32_t z)
{
    int32_t m = tree[node_index(z, 2)].intra_mode;
    if (m < 0) return -1;
    for (int32_t k = 1; k < 4; k++)
        if (tree[node_index(z + k, 2)].intra_mode != m) return -1;
    return m == tree[node_index(z, 3)].intra_mode ? -1 : m;
}

// The four 4x4 parts coded as one 2Nx2N CU of their common mode with a split
// transform; the node's own decision is put back afterwards.
uint32_t same_mode_cost(row_context *ctx, cu_node *tree, const fast_place *p, int32_t mode)
{
    cu_node *node = &tree[node_index(p->z, 3)];
    int32_t keep_mode = node->intra_mode, keep_chroma = node->chroma_mode, keep_tu = node->tu_split;
    node->intra_mode = mode;
    node->chroma_mode = tree[node_index(p->z + 3, 2)].chroma_mode;
    node->tu_split = 1;
    cu_tree_commit(ctx, tree, p->z, p->x, p->y, 3);
    map_mark_unavailable(ctx, p->x, p->y, 8, 8);
    uint32_t s = rd_cu_cost(ctx, node->lambda_sse, p->z, p->x, p->y, 3, 0, 0);
    node->intra_mode = keep_mode;
    node->chroma_mode = keep_chroma;
    node->tu_split = (uint8_t)keep_tu;
    return s;
}

uint32_t nxn_cost(row_context *ctx, cu_node *tree, const fast_place *p)
{
    cu_node *node = &tree[node_index(p->z, 3)];
    node->split = 1;
    cu_tree_commit(ctx, tree, p->z, p->x, p->y, 3);
    map_mark_unavailable(ctx, p->x, p->y, 8, 8);
    uint32_t s = rd_cu_cost(ctx, node->lambda_sse, p->z, p->x, p->y, 3, 0, 0);
    node->split = 0;
    return s;
}

void leaf_finish(row_context *ctx, cu_node *tree, const fast_place *p, int32_t mode)
{
    ctu_context *c = &ctx->ctu;
    int32_t size = 1 << p->log2, depth = 6 - p->log2;
    if (p->log2 == 2) {
        if ((p->z & 3) == 0) c->maps.cu_depth_map[map8_index(p->z)] = (int8_t)(depth - 1);
        cu_tree_commit(ctx, tree, p->z, p->x, p->y, 2);
        return;
    }
    map_fill_block((uint8_t *)&c->maps.cu_depth_map[map8_index(p->z)], size / 8, size / 8, 1, (uint32_t)depth);
    tu_layer_restore(ctx, tree, p->z, p->log2, depth);
    cu_tree_commit(ctx, tree, p->z, p->x, p->y, p->log2);
    if (mode == 1) {
        cu_state_restore(ctx, tree, p->z, p->x, p->y, p->log2);
        cu_tree_commit(ctx, tree, p->z, p->x, p->y, p->log2);
        map_mark_available(ctx, p->x, p->y, size, size);
    } else {
        cu_leaf_recode(ctx, tree, p->z, p->x, p->y, p->log2);
    }
}

}  // namespace

void cu_choose_fast_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          int32_t packed)
{
    ctu_context *c = &ctx->ctu;
    int32_t n = node_index(z, log2_size), mode = packed >> 2;
    int32_t right = packed & 1, bottom = (packed >> 1) & 1;
    cu_node *node = &tree[n];
    fast_place p = {z, x, y, log2_size};
    int32_t same4 = mode != 0 && log2_size == LOG2_MIN_CB ? same_mode_of_parts(tree, z) : -1;
    node->split = 0;
    if (mode < 2) node->intra_cost += node->split_flag0_cost;
    int32_t split_won = 0;
    if (mode != 0) {
        uint32_t s;
        if (log2_size > LOG2_MIN_CB) {
            int32_t q = 1 << (2 * (log2_size - 3));
            s = tree[node_index(z, log2_size - 1)].intra_cost;
            if (right) s += tree[node_index(z + q, log2_size - 1)].intra_cost;
            if (bottom) s += tree[node_index(z + 2 * q, log2_size - 1)].intra_cost;
            if (right && bottom) s += tree[node_index(z + 3 * q, log2_size - 1)].intra_cost;
            s += node->split_flag1_cost;
        } else {
            rate_restore(ctx, 6 - log2_size);
            s = same4 >= 0 ? same_mode_cost(ctx, tree, &p, same4) : nxn_cost(ctx, tree, &p);
            node->part_mode = 0;
        }
        // A forced split stands even against an unevaluated leaf.
        if (s < node->intra_cost || mode == 2) {
            node->intra_cost = s;
            split_won = 1;
            if (same4 >= 0) {
                node->intra_mode = same4;
                node->chroma_mode = tree[node_index(z + 3, 2)].chroma_mode;
                node->tu_split = 1;
            } else {
                node->split = 1;
            }
        }
    }
    if (split_won || node->split) {
        c->decision.cbf_flags[n] = cu_children_cbf(ctx, z, log2_size);
        // The winning coding was the last one made: commit it as it stands.
        if (log2_size == LOG2_MIN_CB) cu_tree_commit(ctx, tree, z, x, y, log2_size);
        else if (log2_size > LOG2_MIN_CB) c->decision.cu_split[n] = 1;
        return;
    }
    leaf_finish(ctx, tree, &p, mode);
}

void cu_search_fast_intra(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    ctu_context *c = &ctx->ctu;
    int32_t size = 1 << log2_size, depth = 6 - log2_size;
    int32_t rem_w = ctx->enc->width - 64 * c->x, rem_h = ctx->enc->height - 64 * c->y;
    cu_node *node = &tree[node_index(z, log2_size)];
    cu_node_init(ctx, node);

    int32_t inside = x + size <= rem_w && y + size <= rem_h;
    int32_t mode;
    if (inside && log2_size > LOG2_MIN_CB - 1) {
        if (log2_size == 6 && st->slice_class == slice_i) mode = 2;
        else if (depth < st->min_split_depth) mode = 2;
        else if (depth >= st->max_split_depth && st->split_limit_off < 3) mode = 0;
        else mode = 1;
    } else {
        mode = log2_size > LOG2_MIN_CB ? 2 : 0;
    }
    rate_snapshot(ctx, depth);

    if (mode < 2) {
        node->split = 0;
        intra_cu_decide(ctx, tree, z, x, y, log2_size);
        node->split_flag0_cost = rd_split_flag_cost(ctx, node->lambda_sse, z, depth, 0);
        if (node->skip_flag) mode = 0;
        if (st->speed_level < 6 && mode != 0 && st->slice_class == slice_i && log2_size == 4)
            mode = cu_split_laplacian_test(ctx, z, x, y, 4);
        if (mode == 1) cu_state_save(ctx, tree, z, x, y, log2_size);
    }

    int32_t children = mode != 0 ? cu_children_search(ctx, tree, z, x, y, log2_size, mode == 1, cu_search_fast_intra)
                                 : 0;
    cu_choose_fast_intra(ctx, tree, z, x, y, log2_size, (mode << 2) | children);
}

// Texture weights of the CTU's 4x4 units from the Hadamard AC energy of
// their 8x4 pairs: flat units weigh up to +1024, textured down to -1024. Off
// (the grid untouched) while the strength is 0.
void ctu_texture_weights(row_context *ctx)
{
    mode_search_state *st = search_state(ctx);
    if (st->rd_extra_weight == 0) return;
    const uint8_t *src = ctx->ctu.source_luma;
    for (int32_t r = 0; r < 16; r++) {
        for (int32_t k = 0; k < 8; k++) {
            uint32_t v = ctx->enc->metric.hadamard_ac_8x4(src + 4 * r * CTU_SOURCE_STRIDE + 8 * k, CTU_SOURCE_STRIDE);
            int32_t lo = (int32_t)(v & 0xffff), hi = (int32_t)v >> 16;
            if (hi < 0) hi = 0;
            st->dist_weight_map[16 * r + 2 * k] = (32 - (lo < 64 ? lo : 64)) * 32;
            st->dist_weight_map[16 * r + 2 * k + 1] = (32 - (hi < 64 ? hi : 64)) * 32;
        }
    }
}
