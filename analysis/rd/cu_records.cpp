// CU decision records: node initialisation, the per-depth snapshots of the
// rate-estimation state, the save slots that keep a coded leaf while its
// split is tried, and the per-depth layers of transform decisions.
#include "analysis/mode_search.h"

#include <cstring>

#include "kernels/quant/quant.h"

void cu_node_init(row_context *ctx, cu_node *node)
{
    mode_search_state *st = search_state(ctx);
    std::memset(node->mode_rough_cost, 0xff, sizeof(node->mode_rough_cost));
    std::memset(node->chroma_rough_cost, 0xff, sizeof(node->chroma_rough_cost));
    node->motion_cost = COST_INFINITE;
    node->pu_2nx2n.merge_flag = 0;
    node->intra_rough_cost = COST_INFINITE;
    node->intra_cost = COST_INFINITE;
    node->leaf_cost = COST_INFINITE;
    node->tu_cost = COST_INFINITE;
    node->intra_mode = -1;
    node->intra_mode2 = -1;
    node->intra_mode_hint = -1;
    node->tu_split = 0;
    node->residual_mode = 0;
    node->tu_saved = 0;
    node->skip_flag = 0;
    node->state_stale = 0;
    node->qp = st->ctu_qp;
    node->lambda_satd = st->lambda_satd;
    node->lambda_sse = st->lambda_sse;
}

// The RDOQ model bytes follow the first significance and greater-1 contexts
// of luma and chroma at every snapshot.
void rate_snapshot(row_context *ctx, int32_t depth)
{
    cabac_encoder *c = &ctx->cabac;
    rdoq_state_seed(c);
    search_state(ctx)->depth_save_slot[depth] = c->rate;
}

void rate_restore(row_context *ctx, int32_t depth)
{
    ctx->cabac.rate = search_state(ctx)->depth_save_slot[depth];
}

void cu_state_save(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    (void)x;
    mode_search_state *st = search_state(ctx);
    ctu_context *c = &ctx->ctu;
    int32_t s = 1 << log2_size, d = 6 - log2_size;
    cu_state_slot *slot = &st->slots[d];
    std::memcpy(slot->luma, c->recon_luma + y * CTU_WORK_STRIDE, (size_t)s * CTU_WORK_STRIDE);
    std::memcpy(slot->chroma, c->recon_chroma + (y / 2) * CTU_WORK_STRIDE, (size_t)(s / 2) * CTU_WORK_STRIDE);
    uint8_t cbf = c->decision.cbf_flags[node_index(z, log2_size)];
    if (cbf & 1) std::memcpy(slot->coeff[0], st->tu_levels[0] + 16 * z, (size_t)s * s * 2);
    if (cbf & 2) std::memcpy(slot->coeff[1], st->tu_levels[1] + 4 * z, (size_t)s * s / 2);
    if (cbf & 4) std::memcpy(slot->coeff[2], st->tu_levels[2] + 4 * z, (size_t)s * s / 2);
    slot->rate = ctx->cabac.rate;
    tu_layer_save(ctx, tree, z, log2_size, d);
}

void cu_state_restore(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    (void)x;
    mode_search_state *st = search_state(ctx);
    ctu_context *c = &ctx->ctu;
    int32_t s = 1 << log2_size, d = 6 - log2_size;
    cu_state_slot *slot = &st->slots[d];
    tu_layer_restore(ctx, tree, z, log2_size, d);
    ctx->cabac.rate = slot->rate;
    std::memcpy(c->recon_luma + y * CTU_WORK_STRIDE, slot->luma, (size_t)s * CTU_WORK_STRIDE);
    std::memcpy(c->recon_chroma + (y / 2) * CTU_WORK_STRIDE, slot->chroma, (size_t)(s / 2) * CTU_WORK_STRIDE);
    uint8_t cbf = c->decision.cbf_flags[node_index(z, log2_size)];
    if (cbf & 1) std::memcpy(st->tu_levels[0] + 16 * z, slot->coeff[0], (size_t)s * s * 2);
    if (cbf & 2) std::memcpy(st->tu_levels[1] + 4 * z, slot->coeff[1], (size_t)s * s / 2);
    if (cbf & 4) std::memcpy(st->tu_levels[2] + 4 * z, slot->coeff[2], (size_t)s * s / 2);
}

void tu_layer_save(row_context *ctx, cu_node *tree, int32_t z, int32_t log2_size, int32_t layer)
{
    tu_decision_layer *l = &search_state(ctx)->layers[layer];
    int32_t n = node_index(z, log2_size);
    l->tu_split[n] = tree[n].tu_split;
    l->residual_mode[n] = tree[n].residual_mode;
    l->cbf[n] = ctx->ctu.decision.cbf_flags[n];
    if (tree[n].tu_split && log2_size > 2) {
        int32_t q = 1 << (2 * (log2_size - 3));
        for (int32_t k = 0; k < 4; k++) tu_layer_save(ctx, tree, z + k * q, log2_size - 1, layer);
    }
}

void tu_layer_restore(row_context *ctx, cu_node *tree, int32_t z, int32_t log2_size, int32_t layer)
{
    tu_decision_layer *l = &search_state(ctx)->layers[layer];
    int32_t n = node_index(z, log2_size);
    tree[n].tu_split = l->tu_split[n];
    tree[n].residual_mode = l->residual_mode[n];
    ctx->ctu.decision.cbf_flags[n] = l->cbf[n];
    ctx->ctu.decision.tu_split[n] = (int8_t)l->tu_split[n];
    if (!tree[n].tu_split || log2_size <= 2) return;
    int32_t q = 1 << (2 * (log2_size - 3));
    for (int32_t k = 0; k < 4; k++) {
        cu_node *child = &tree[node_index(z + k * q, log2_size - 1)];
        child->split = 0;
        child->tu_split = 0;
        child->part_mode = 0;
        child->skip_flag = 0;
        std::memcpy(&child->qp, &tree[n].qp, CU_NODE_TAIL_WORDS * 4);
        tu_layer_restore(ctx, tree, z + k * q, log2_size - 1, layer);
    }
}

uint8_t cu_children_cbf(const row_context *ctx, int32_t z, int32_t log2_size)
{
    int32_t q = 1 << (2 * (log2_size - 3));
    uint8_t v = 0;
    for (int32_t k = 0; k < 4; k++) v |= ctx->ctu.decision.cbf_flags[node_index(z + k * q, log2_size - 1)];
    return v;
}

void cu_leaf_recode(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    int32_t size = 1 << log2_size, depth = 6 - log2_size;
    cu_node *node = &tree[node_index(z, log2_size)];
    rate_restore(ctx, depth);
    map_mark_unavailable(ctx, x, y, size, size);
    cu_tree_commit(ctx, tree, z, x, y, log2_size);
    rd_cu_cost(ctx, node->lambda_sse, z, x, y, log2_size, 0, 0);
    rd_split_flag_cost(ctx, node->lambda_sse, z, depth, 0);
}

int32_t cu_split_begin(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                       int32_t leaf_coded)
{
    const ctu_context *c = &ctx->ctu;
    int32_t size = 1 << log2_size, h = size / 2;
    int32_t right = x + h < ctx->enc->width - 64 * c->x, bottom = y + h < ctx->enc->height - 64 * c->y;
    map_mark_unavailable(ctx, x, y, size, size);
    if (leaf_coded) rate_restore(ctx, 6 - log2_size);
    tree[node_index(z, log2_size)].split = 1;
    return (bottom << 1) | right;
}

void cu_split_stopped(row_context *ctx, int32_t x, int32_t y, int32_t log2_size, int32_t k)
{
    int32_t size = 1 << log2_size, h = size / 2;
    if (k < 2) map_mark_available(ctx, x, y, size, size);
    else map_mark_available(ctx, x + h, y + h, h, h);
}

int32_t cu_children_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                           int32_t leaf_coded, cu_search_fn search)
{
    int32_t h = (1 << log2_size) / 2, q = 1 << (2 * (log2_size - 3));
    int32_t sides = cu_split_begin(ctx, tree, z, x, y, log2_size, leaf_coded);
    int32_t right = sides & 1, bottom = sides >> 1;
    const int32_t present[4] = {1, right, bottom, right && bottom};
    for (int32_t k = 0; k < 4; k++)
        if (present[k]) search(ctx, tree, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1);
    cu_node *node = &tree[node_index(z, log2_size)];
    node->split_flag1_cost = rd_split_flag_cost(ctx, node->lambda_sse, z, 6 - log2_size, 1);
    return sides;
}
