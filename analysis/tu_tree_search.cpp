// Transform-tree search of intra CUs: for every transform node, coding it
// whole or as four quarters, by rate-distortion cost; with a final result the
// chosen tree is left coded (reconstruction, levels, coded-block flags and
// the rate estimate).
#include "analysis/mode_search.h"

#include <cstring>

namespace {

void save_rate(encoder_instance *ctx, uint8_t *slot)
{
    std::memcpy(slot, (uint8_t *)&ctx->cabac + RATE_STATE_OFFSET, RATE_STATE_BYTES);
}

void load_rate(encoder_instance *ctx, const uint8_t *slot)
{
    std::memcpy((uint8_t *)&ctx->cabac + RATE_STATE_OFFSET, slot, RATE_STATE_BYTES);
}

int32_t tu_depth_of(const encoder_instance *ctx, int32_t z, int32_t log2_size)
{
    return (6 - log2_size) - ctx->ctu.maps.cu_depth_map[map8_index(z)];
}

void price_bin(cabac_encoder *c, int32_t slot, int32_t bin)
{
    uint32_t s = c->ctx[slot];
    c->est_bits += cabac_bits_table[s ^ (uint32_t)bin];
    c->ctx[slot] = cabac_next_state_table[2 * s + (uint32_t)bin];
}

void children_init(cu_node *tree, int32_t z, int32_t log2_size, int32_t copy_chroma_only)
{
    const cu_node *parent = &tree[node_index(z, log2_size)];
    int32_t q = 1 << (2 * (log2_size - 3));
    for (int32_t k = 0; k < 4; k++) {
        cu_node *c = &tree[node_index(z + k * q, log2_size - 1)];
        if (copy_chroma_only) {
            c->chroma_mode = parent->chroma_mode;
            continue;
        }
        c->tu_cost = COST_INFINITE;
        c->tu_split = 0;
        c->residual_mode = 0;
        c->split = 0;
        c->part_mode = 0;
        c->skip_flag = 0;
        c->shortcut_taken = 0;
        std::memcpy(&c->qp, &parent->qp, CU_NODE_TAIL_WORDS * 4);
    }
}

void set_tu_split(encoder_instance *ctx, cu_node *node, int32_t n, int32_t v)
{
    node->tu_split = (uint8_t)v;
    ctx->ctu.decision.tu_split[n] = v;
}

void tu_leaf_cost(encoder_instance *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                  uint32_t flags)
{
    cu_node *node = &tree[node_index(z, log2_size)];
    uint32_t cost = 0;
    if (flags & TU_LUMA)
        cost += rd_luma_tu_cost(ctx, node->lambda_sse, z, x, y, log2_size, 1) +
                rd_tu_flags_cost_intra(ctx, node->lambda_sse, z, x, y, log2_size);
    if (flags & TU_CHROMA) cost += rd_chroma_tu_cost(ctx, node->lambda_sse, z, x, y, log2_size, 1);
    node->tu_cost = cost;
}

uint32_t children_cost(const cu_node *tree, int32_t z, int32_t log2_size)
{
    int32_t q = 1 << (2 * (log2_size - 3));
    uint32_t s = 0;
    for (int32_t k = 0; k < 4; k++) s += tree[node_index(z + k * q, log2_size - 1)].tu_cost;
    return s;
}

uint8_t children_cbf(const encoder_instance *ctx, int32_t z, int32_t log2_size)
{
    int32_t q = 1 << (2 * (log2_size - 3));
    uint8_t v = 0;
    for (int32_t k = 0; k < 4; k++) v |= ctx->ctu.decision.cbf_flags[node_index(z + k * q, log2_size - 1)];
    return v;
}

void tu_tree_decide(encoder_instance *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    int32_t mode, uint32_t flags)
{
    int32_t n = node_index(z, log2_size), d = 6 - log2_size;
    cu_node *node = &tree[n];
    if (mode < 2) set_tu_split(ctx, node, n, 0);
    if (!(flags & TU_LUMA)) return;
    if (mode != 0) {
        set_tu_split(ctx, node, n, 1);
        uint32_t split = rd_tu_flags_cost_intra(ctx, node->lambda_sse, z, x, y, log2_size) +
                         children_cost(tree, z, log2_size);
        if (split < node->tu_cost || mode == 2) {
            node->tu_cost = split;
            ctx->ctu.decision.cbf_flags[n] = children_cbf(ctx, z, log2_size);
            return;
        }
        set_tu_split(ctx, node, n, 0);
        load_rate(ctx, search_state(ctx)->tu_save_a[d]);
        map_mark_unavailable(ctx, x, y, 1 << log2_size, 1 << log2_size);
        tu_leaf_cost(ctx, tree, z, x, y, log2_size, flags);
    }
}

}  // namespace

uint32_t rd_tu_flags_cost_intra(encoder_instance *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                                int32_t log2_size)
{
    (void)x;
    (void)y;
    int32_t n = node_index(z, log2_size);
    int32_t t = tu_depth_of(ctx, z, log2_size);
    int32_t split = ctx->ctu.decision.tu_split[n] == 1;
    int32_t in_range = log2_size <= ctx->sps.log2_max_tb_size && log2_size > ctx->sps.log2_min_tb_size;
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->est_bits;
    if (in_range && t < ctx->sps.max_tu_depth_intra) price_bin(c, ctx_split_transform_flag + 5 - log2_size, split);
    if (!split) price_bin(c, ctx_cbf_luma + (t == 0 ? 1 : 0), ctx->ctu.decision.cbf_flags[n] & 1);
    return rate_term(c->est_bits - before, lambda);
}

void tu_tree_search(encoder_instance *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    uint32_t flags, int32_t final_result)
{
    mode_search_state *st = search_state(ctx);
    int32_t n = node_index(z, log2_size), d = 6 - log2_size, size = 1 << log2_size;
    cu_node *node = &tree[n];
    int32_t mode = 0;
    if (flags & TU_LUMA) {
        int32_t t = tu_depth_of(ctx, z, log2_size);
        if (!final_result && log2_size <= ctx->sps.log2_max_tb_size) {
            mode = 0;
        } else if (log2_size > 2 && (log2_size > ctx->sps.log2_max_tb_size ||
                                     (t < 3 && t < ctx->sps.max_tu_depth_intra))) {
            // An optional split only where the SPS can signal it.
            children_init(tree, z, log2_size, 0);
            mode = log2_size > ctx->sps.log2_max_tb_size ? 2 : 1;
        }
        if (!final_result && mode == 1) mode = 0;
    } else if (node->tu_split && log2_size > 2) {
        children_init(tree, z, log2_size, 1);
        mode = 2;
    }
    save_rate(ctx, st->tu_save_a[d]);
    if (mode < 2) {
        set_tu_split(ctx, node, n, 0);
        tu_leaf_cost(ctx, tree, z, x, y, log2_size, flags);
        if (mode == 0) {
            if (final_result) tu_tree_decide(ctx, tree, z, x, y, log2_size, 0, flags);
            return;
        }
        save_rate(ctx, st->tu_save_b[d]);
    }
    map_mark_unavailable(ctx, x, y, size, size);
    if (mode == 1) load_rate(ctx, st->tu_save_a[d]);
    set_tu_split(ctx, node, n, 1);
    int32_t h = size / 2, q = 1 << (2 * (log2_size - 3));
    for (int32_t k = 0; k < 4; k++)
        tu_tree_search(ctx, tree, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1, flags, final_result);
    if (!(flags & TU_LUMA)) {
        node->tu_cost = children_cost(tree, z, log2_size);
        ctx->ctu.decision.cbf_flags[n] = (uint8_t)((ctx->ctu.decision.cbf_flags[n] & 1) |
                                                   (children_cbf(ctx, z, log2_size) & 6));
    }
    if (final_result) tu_tree_decide(ctx, tree, z, x, y, log2_size, mode, flags);
    else if (flags & TU_LUMA) ctx->ctu.decision.cbf_flags[n] = children_cbf(ctx, z, log2_size);
}

void intra_tu_tree_code(encoder_instance *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                        uint32_t mask, int32_t split_search)
{
    tu_tree_search(ctx, tree, z, x, y, log2_size, mask & (TU_LUMA | TU_CHROMA), split_search);
}
