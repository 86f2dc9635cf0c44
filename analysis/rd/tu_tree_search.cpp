// Transform-tree search: for every transform node, coding it whole or as
// four quarters, by rate-distortion cost; inter nodes also weigh coding no
// residual and dropping the chroma residual. With a final result the chosen
// tree is left coded (reconstruction, levels, coded-block flags and the rate
// estimate).
#include "analysis/mode_search.h"
#include "bitstream/cabac_estimate.h"

#include <cstddef>
#include <cstring>

namespace {

int32_t tu_depth_of(const row_context *ctx, int32_t z, int32_t log2_size)
{
    return (6 - log2_size) - ctx->ctu.maps.cu_depth_map[map8_index(z)];
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

void set_tu_split(row_context *ctx, cu_node *node, int32_t n, int32_t v)
{
    node->tu_split = (uint8_t)v;
    ctx->ctu.decision.tu_split[n] = v;
}

// The prediction of an inter CU, kept before its transform tree is coded.
void prediction_save(row_context *ctx, int32_t x, int32_t y, int32_t log2_size)
{
    prediction_save_area *ps = search_state(ctx)->pred_save;
    int32_t n = 1 << log2_size;
    ps->x = x;
    ps->y = y;
    const uint8_t *luma = ctx->ctu.recon_luma + y * CTU_WORK_STRIDE + x;
    for (int32_t r = 0; r < n; r++) std::memcpy(ps->luma + r * 64, luma + r * CTU_WORK_STRIDE, (size_t)n);
    for (int32_t p = 1; p <= 2; p++) {
        const uint8_t *c = chroma_work(ctx, p, x, y);
        for (int32_t r = 0; r < n / 2; r++)
            std::memcpy(ps->chroma + r * 64 + 32 * (p - 1), c + r * CTU_WORK_STRIDE, (size_t)(n / 2));
    }
}

// Puts the kept prediction back over a transform node: luma, and the
// chroma of the node (of a 4x4 quartet, at its first block).
void prediction_restore(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    const prediction_save_area *ps = search_state(ctx)->pred_save;
    int32_t n = 1 << log2_size, lx = x - ps->x, ly = y - ps->y;
    uint8_t *luma = ctx->ctu.recon_luma + y * CTU_WORK_STRIDE + x;
    for (int32_t r = 0; r < n; r++) std::memcpy(luma + r * CTU_WORK_STRIDE, ps->luma + (ly + r) * 64 + lx, (size_t)n);
    if (log2_size == 2 && (z & 3) != 0 && (z & 3) != 3) return;
    int32_t cn = log2_size == 2 ? 4 : n / 2, cx = (lx & ~7) / 2, cy = (ly & ~7) / 2;
    if (log2_size > 2) cx = lx / 2, cy = ly / 2;
    for (int32_t p = 1; p <= 2; p++) {
        uint8_t *c = chroma_work(ctx, p, ps->x + 2 * cx, ps->y + 2 * cy);
        for (int32_t r = 0; r < cn; r++)
            std::memcpy(c + r * CTU_WORK_STRIDE, ps->chroma + (cy + r) * 64 + 32 * (p - 1) + cx, (size_t)cn);
    }
}

// Bit count and the transform-flag contexts of a node back from its state
// before pricing, so that the residual pricing starts where the empty one did.
void flag_state_reset(row_context *ctx, const cabac_rate_state *slot, int32_t t, int32_t log2_size)
{
    cabac_rate_state *r = &ctx->cabac.rate;
    r->est_bits = slot->est_bits;
    const int32_t slots[4] = {ctx_rqt_root_cbf, ctx_cbf_chroma + t, ctx_split_transform_flag + 5 - log2_size,
                              ctx_cbf_luma + (t == 0 ? 1 : 0)};
    for (int32_t k : slots) r->ctx[k] = slot->ctx[k];
}

// An inter transform node coded whole: the cheapest of no residual, the
// residual without chroma and the full residual. The work planes are left
// with the reconstruction of the choice.
void tu_leaf_cost_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                        uint32_t flags)
{
    mode_search_state *st = search_state(ctx);
    cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(z, log2_size), t = tu_depth_of(ctx, z, log2_size);
    cu_node *node = &tree[n];
    uint32_t lambda = node->lambda_sse;
    const cabac_rate_state *slot_a = &st->tu_save_a[6 - log2_size];
    if (!(flags & TU_LUMA)) {
        node->tu_cost = 0;
        return;
    }
    uint32_t none = rd_luma_distortion(ctx, log2_size, x, y) + rd_tu_flags_cost_empty(ctx, lambda, z, log2_size);
    uint32_t chroma_dist = 0;
    if (flags & TU_CHROMA) {
        if (log2_size >= 3) chroma_dist = rd_chroma_distortion(ctx, x, y, log2_size, node->qp);
        else if ((z & 3) == 3) chroma_dist = rd_chroma_distortion(ctx, x & ~7, y & ~7, 3, node->qp);
    }
    none += chroma_dist;
    flag_state_reset(ctx, slot_a, t, log2_size);
    d->residual_mode[n] = node->residual_mode;
    uint32_t cost = 0;
    if (flags & TU_CHROMA) {
        cost = rd_chroma_tu_cost(ctx, lambda, z, x, y, log2_size, 0);
        if (cost > chroma_dist) {
            // The chroma residual costs more than it removes: drop it.
            cost = chroma_dist;
            ctx->cabac.rate = *slot_a;
            node->residual_mode = 2;
            d->residual_mode[n] = 2;
            d->cbf_flags[n] &= 1;
            prediction_restore(ctx, z, x, y, log2_size);
        }
    }
    // Luma pricing starts from a cleared coded-block byte: keep chroma's bits.
    uint8_t chroma_bits = d->cbf_flags[n] & 6;
    cost += rd_luma_tu_cost(ctx, lambda, z, x, y, log2_size, 0);
    d->cbf_flags[n] |= chroma_bits;
    cost += rd_tu_flags_cost_inter(ctx, lambda, z, x, y, log2_size);
    if (none <= cost) {
        ctx->cabac.rate = *slot_a;
        rd_tu_flags_cost_empty(ctx, lambda, z, log2_size);
        node->residual_mode = 3;
        d->residual_mode[n] = 3;
        d->cbf_flags[n] = 0;
        prediction_restore(ctx, z, x, y, log2_size);
        cost = none;
    }
    node->tu_cost = cost;
}

void tu_leaf_cost(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                  uint32_t flags)
{
    if (cu_is_inter(ctx, z)) {
        tu_leaf_cost_inter(ctx, tree, z, x, y, log2_size, flags);
        return;
    }
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

// Leaf against split of an inter node whose children were searched. A split
// whose children code nothing never beats an available leaf; a leaf that
// wins after the split was coded is coded again over the kept prediction.
void tu_tree_decide_inter(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                          int32_t mode, uint32_t flags)
{
    mode_search_state *st = search_state(ctx);
    cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(z, log2_size), t = tu_depth_of(ctx, z, log2_size);
    cu_node *node = &tree[n];
    if (mode < 2) set_tu_split(ctx, node, n, 0);
    if (mode != 0) {
        set_tu_split(ctx, node, n, 1);
        uint32_t split = children_cost(tree, z, log2_size) +
                         rd_tu_flags_cost_inter(ctx, node->lambda_sse, z, x, y, log2_size);
        set_tu_split(ctx, node, n, 0);
        uint8_t any = cu_children_cbf(ctx, z, log2_size);
        if (!any && mode == 1) split = COST_INFINITE;
        if (split < node->tu_cost || mode == 2) {
            set_tu_split(ctx, node, n, 1);
            node->tu_cost = split;
            d->cbf_flags[n] = any;
            node->residual_mode = any ? 0 : 1;
            d->residual_mode[n] = node->residual_mode;
            return;
        }
    }
    // The CU keeps its partition; a transform node below it has none.
    if (t > 0) d->part_mode[n] = 0;
    if (mode == 0) return;
    d->residual_mode[n] = node->residual_mode;
    prediction_restore(ctx, z, x, y, log2_size);
    tu_encode(ctx, z, x, y, log2_size, node->qp, 0, node->residual_mode != 3, (flags & (TU_LUMA | TU_CHROMA)) | TU_FINAL);
    ctx->cabac.rate = st->tu_save_b[6 - log2_size];
}

void tu_tree_decide(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    int32_t mode, uint32_t flags)
{
    if (cu_is_inter(ctx, z) && (flags & TU_LUMA)) {
        tu_tree_decide_inter(ctx, tree, z, x, y, log2_size, mode, flags);
        return;
    }
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
            ctx->ctu.decision.cbf_flags[n] = cu_children_cbf(ctx, z, log2_size);
            return;
        }
        set_tu_split(ctx, node, n, 0);
        ctx->cabac.rate = search_state(ctx)->tu_save_a[d];
        map_mark_unavailable(ctx, x, y, 1 << log2_size, 1 << log2_size);
        tu_leaf_cost(ctx, tree, z, x, y, log2_size, flags);
    }
}

}  // namespace

uint32_t rd_tu_flags_cost_intra(row_context *ctx, uint32_t lambda, int32_t z, int32_t x, int32_t y,
                                int32_t log2_size)
{
    (void)x;
    (void)y;
    int32_t n = node_index(z, log2_size);
    int32_t t = tu_depth_of(ctx, z, log2_size);
    int32_t split = ctx->ctu.decision.tu_split[n] == 1;
    int32_t in_range = log2_size <= ctx->enc->sps.log2_max_tb_size && log2_size > ctx->enc->sps.log2_min_tb_size;
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->rate.est_bits;
    if (in_range && t < ctx->enc->sps.max_tu_depth_intra) rate_est_bin(c, ctx_split_transform_flag + 5 - log2_size, split);
    if (!split) rate_est_bin(c, ctx_cbf_luma + (t == 0 ? 1 : 0), ctx->ctu.decision.cbf_flags[n] & 1);
    return rate_term(c->rate.est_bits - before, lambda);
}

namespace {

// What the search does at a node: 0 codes it whole, 1 tries whole and split,
// 2 splits it. The children are made ready for a split.
int32_t tu_search_mode(row_context *ctx, cu_node *tree, int32_t z, int32_t log2_size, uint32_t flags,
                       int32_t final_result, int32_t t, int32_t max_depth)
{
    const cu_node *node = &tree[node_index(z, log2_size)];
    int32_t log2_max = ctx->enc->sps.log2_max_tb_size;
    int32_t mode = 0;
    if (!(flags & TU_LUMA)) {
        if (!node->tu_split || log2_size <= 2) return 0;
        children_init(tree, z, log2_size, 1);
        return 2;
    }
    if (!final_result && log2_size <= log2_max) {
        mode = 0;
    } else if (log2_size > 2 && (log2_size > log2_max || (t < 3 && t < max_depth))) {
        // An optional split only where the SPS can signal it; a node
        // larger than the largest transform is always split.
        children_init(tree, z, log2_size, 0);
        mode = log2_size > log2_max ? 2 : 1;
    }
    if (!final_result && mode == 1) mode = 0;
    return mode;
}

// A 64x64 CU without merge may also drop its residual altogether: that is
// the whole choice its split is compared with.
void cu64_without_residual(row_context *ctx, cu_node *node, int32_t z, int32_t x, int32_t y, uint32_t flags)
{
    node->tu_cost = rd_luma_distortion(ctx, 6, x, y) + rd_tu_flags_cost_empty(ctx, node->lambda_sse, z, 6);
    if (flags & TU_CHROMA) node->tu_cost += rd_chroma_distortion(ctx, x, y, 6, node->qp);
    node->residual_mode = 3;
}

// The four children searched; a chroma-only pass sums their costs and
// chroma flags here, the luma passes in the decision.
void tu_children_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                        uint32_t flags, int32_t final_result)
{
    int32_t n = node_index(z, log2_size);
    int32_t h = (1 << log2_size) / 2, q = 1 << (2 * (log2_size - 3));
    for (int32_t k = 0; k < 4; k++)
        tu_tree_search(ctx, tree, z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2_size - 1, flags, final_result);
    if (!(flags & TU_LUMA)) {
        tree[n].tu_cost = children_cost(tree, z, log2_size);
        ctx->ctu.decision.cbf_flags[n] = (uint8_t)((ctx->ctu.decision.cbf_flags[n] & 1) |
                                                   (cu_children_cbf(ctx, z, log2_size) & 6));
    }
}

}  // namespace

void tu_tree_search(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                    uint32_t flags, int32_t final_result)
{
    mode_search_state *st = search_state(ctx);
    int32_t n = node_index(z, log2_size), d = 6 - log2_size, size = 1 << log2_size;
    cu_node *node = &tree[n];
    int32_t inter = cu_is_inter(ctx, z);
    int32_t t = tu_depth_of(ctx, z, log2_size);
    int32_t max_depth = inter ? ctx->enc->sps.max_tu_depth_inter : ctx->enc->sps.max_tu_depth_intra;
    int32_t mode = tu_search_mode(ctx, tree, z, log2_size, flags, final_result, t, max_depth);
    st->tu_save_a[d] = ctx->cabac.rate;
    if (inter && t == 0) prediction_save(ctx, x, y, log2_size);
    if (inter && mode == 2 && final_result && (flags & TU_LUMA) && log2_size == 6 &&
        !ctx->ctu.motion.merge_flag_map[map8_index(z)]) {
        cu64_without_residual(ctx, node, z, x, y, flags);
        mode = 1;
        st->tu_save_b[d] = ctx->cabac.rate;
    } else if (mode < 2) {
        set_tu_split(ctx, node, n, 0);
        if (inter && t >= 1) prediction_restore(ctx, z, x, y, log2_size);
        tu_leaf_cost(ctx, tree, z, x, y, log2_size, flags);
        if (mode == 0) {
            if (final_result) tu_tree_decide(ctx, tree, z, x, y, log2_size, 0, flags);
            return;
        }
        st->tu_save_b[d] = ctx->cabac.rate;
    }
    map_mark_unavailable(ctx, x, y, size, size);
    if (mode == 1) ctx->cabac.rate = st->tu_save_a[d];
    set_tu_split(ctx, node, n, 1);
    tu_children_search(ctx, tree, z, x, y, log2_size, flags, final_result);
    if (final_result) tu_tree_decide(ctx, tree, z, x, y, log2_size, mode, flags);
    else if (flags & TU_LUMA) ctx->ctu.decision.cbf_flags[n] = cu_children_cbf(ctx, z, log2_size);
}

void intra_tu_tree_code(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                        uint32_t mask, int32_t split_search)
{
    tu_tree_search(ctx, tree, z, x, y, log2_size, mask & (TU_LUMA | TU_CHROMA), split_search);
}
