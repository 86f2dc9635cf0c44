// Commit of decided CU nodes into the decision arrays and the CTU maps that
// syntax writing, deblocking and the later decisions of the CTU read.
#include "analysis/mode_search.h"

namespace {

void intra_mode_map_commit(row_context *ctx, const cu_node *node, int32_t z, int32_t log2_size)
{
    ctu_context *c = &ctx->ctu;
    int32_t units = (1 << log2_size) / 4;
    uint8_t *modes = (uint8_t *)c->intra_modes;
    if (node->pred_mode != 1) {
        map_fill_rect(modes + map4_index(z), units, units, 0xff);
        return;
    }
    map_fill_rect(modes + map4_index(z), units, units, (uint8_t)node->intra_mode);
    if (log2_size == 2) {
        if ((z & 3) == 3) modes[chroma_map_index(z >> 2)] = (uint8_t)node->chroma_mode;
        return;
    }
    int32_t k = (1 << log2_size) / 8;
    map_fill_rect(modes + chroma_map_index(z >> 2), k, k, (uint8_t)node->chroma_mode);
}

void tu_tree_commit(row_context *ctx, cu_node *tree, int32_t z, int32_t log2_size)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(z, log2_size);
    const cu_node *node = &tree[n];
    if (node->tu_split) {
        int32_t q = 1 << (2 * (log2_size - 3));
        for (int32_t k = 0; k < 4; k++) tu_tree_commit(ctx, tree, z + k * q, log2_size - 1);
    }
    d->cu_split[n] = 0;
    d->tu_split[n] = (int8_t)node->tu_split;
    d->residual_mode[n] = node->residual_mode;
}

// The two prediction units of a 2NxN or Nx2N CU, each w x h units.
void pu_pair_fill(ctu_motion_grid *g, const pu_pair_motion *p, int32_t m0, int32_t m1, int32_t w, int32_t h)
{
    const int32_t at[2] = {m0, m1};
    for (int32_t u = 0; u < 2; u++)
        pu_motion_fill(g, at[u], w, h, p->merge_flag[u], p->merge_idx[u], p->mv[u], p->ref_idx[u], 1);
}

// Writes a leaf CU of size 8..64 into the per-8x8 maps.
void cu_commit_size(row_context *ctx, cu_node *tree, int32_t z, int32_t log2_size, int32_t n)
{
    ctu_context *c = &ctx->ctu;
    const cu_node *node = &tree[n];
    c->decision.part_mode[n] = node->part_mode;
    if (log2_size < 6 && tree[(n - 1) >> 2].split != 1) return;
    uint32_t k = (uint32_t)(1 << log2_size) / 8;
    int32_t m = map8_index(z);
    map_fill_block((uint8_t *)&c->maps.cu_qp_map[m], k, k, 1, (uint32_t)node->qp);
    map_fill_block((uint8_t *)&c->maps.pred_mode_map[m], k, k, 1, (uint32_t)node->pred_mode);
    if (node->pred_mode == 1) {
        map_fill_block((uint8_t *)&c->motion.ref_idx[0][m], k, k, 1, 0xfe);
        map_fill_block((uint8_t *)&c->motion.ref_idx[1][m], k, k, 1, 0xfe);
        map_fill_block(&c->maps.cu_flags_map[m], k, k, 1, c->maps.cu_flags_map[m] & ~1u);
        return;
    }
    int32_t skip = node->skip_flag != 0;
    map_fill_block(&c->maps.cu_flags_map[m], k, k, 1, (c->maps.cu_flags_map[m] & ~1u) | (skip ? 1u : 0u));
    ctu_motion_grid *g = &c->motion;
    if (skip) map_fill_block(&g->merge_idx_map[m], k, k, 1, (uint32_t)node->skip_merge_idx);
    switch (node->part_mode) {
    case 0: {
        const pu_motion *pu = &node->pu_2nx2n;
        int32_t merged = pu->merge_flag && !skip;
        map_fill_block(&g->merge_flag_map[m], k, k, 1, (uint32_t)merged);
        if (merged) map_fill_block(&g->merge_idx_map[m], k, k, 1, pu->merge_idx);
        pu_motion_fill(g, m, k, k, pu->merge_flag, pu->merge_idx, pu->mv, pu->ref_idx, 0);
        break;
    }
    case 1:
        pu_pair_fill(g, &node->pu_2nxn, m, m + CTU_MAP8_STRIDE * (k / 2), k, k / 2);
        break;
    case 2:
        pu_pair_fill(g, &node->pu_nx2n, m, m + k / 2, k / 2, k);
        break;
    default:
        break;
    }
}

}  // namespace

void pu_motion_fill(ctu_motion_grid *g, int32_t m, int32_t w, int32_t h, uint8_t merge_flag, uint8_t merge_idx,
                    const uint32_t mv[2], const int8_t ref_idx[2], int32_t fill_merge)
{
    if (fill_merge) {
        map_fill_block(&g->merge_flag_map[m], (uint32_t)w, (uint32_t)h, 1, merge_flag);
        if (merge_flag) map_fill_block(&g->merge_idx_map[m], (uint32_t)w, (uint32_t)h, 1, merge_idx);
    }
    map_fill_block((uint8_t *)&g->ref_idx[0][m], (uint32_t)w, (uint32_t)h, 1, (uint8_t)ref_idx[0]);
    map_fill_block((uint8_t *)&g->ref_idx[1][m], (uint32_t)w, (uint32_t)h, 1, (uint8_t)ref_idx[1]);
    map_fill_block((uint8_t *)&g->mv[0][m], (uint32_t)w, (uint32_t)h, 4, mv[0]);
    if (ref_idx[1] >= 0) map_fill_block((uint8_t *)&g->mv[1][m], (uint32_t)w, (uint32_t)h, 4, mv[1]);
}

void cu_tree_commit(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    ctu_context *c = &ctx->ctu;
    cu_decision_arrays *d = &c->decision;
    int32_t n = node_index(z, log2_size);
    cu_node *node = &tree[n];
    int32_t w_rem = ctx->enc->width - 64 * c->x, h_rem = ctx->enc->height - 64 * c->y;
    if (node->split) {
        if (log2_size > 3) {
            int32_t h = (1 << log2_size) / 2, q = 1 << (2 * (log2_size - 3));
            cu_tree_commit(ctx, tree, z, x, y, log2_size - 1);
            if (x + h < w_rem) cu_tree_commit(ctx, tree, z + q, x + h, y, log2_size - 1);
            if (y + h < h_rem) cu_tree_commit(ctx, tree, z + 2 * q, x, y + h, log2_size - 1);
            if (x + h < w_rem && y + h < h_rem) cu_tree_commit(ctx, tree, z + 3 * q, x + h, y + h, log2_size - 1);
        } else {
            // 8x8 NxN: the four 4x4 blocks carry the modes.
            for (int32_t k = 0; k < 4; k++) {
                cu_node *b = &tree[node_index(z + k, 2)];
                b->tu_split = 0;
                intra_mode_map_commit(ctx, b, z + k, 2);
                d->cu_split[node_index(z + k, 2)] = 0;
                d->tu_split[node_index(z + k, 2)] = 0;
                d->residual_mode[node_index(z + k, 2)] = b->residual_mode;
            }
        }
    } else {
        intra_mode_map_commit(ctx, node, z, log2_size);
        if (node->tu_split) tu_tree_commit(ctx, tree, z, log2_size);
    }
    int32_t cs = node->split, ts = node->tu_split;
    if (cs && log2_size == 3) {
        cs = 0;
        ts = 1;
        node->part_mode = 3;
    }
    d->cu_split[n] = cs;
    d->tu_split[n] = ts;
    d->residual_mode[n] = node->residual_mode;
    if (cs == 0 && log2_size >= 3) cu_commit_size(ctx, tree, z, log2_size, n);
}
