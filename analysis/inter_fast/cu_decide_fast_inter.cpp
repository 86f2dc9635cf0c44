// CU decisions of P and B slices on the fast speed levels. Each tries, in
// order: every merge candidate as skip (and with a residual), 2Nx2N motion
// per list (with one bi-prediction in B slices), intra, the residual coding
// of the 2Nx2N winner, the 2NxN and Nx2N partitions, the best merge candidate
// with residual, a transform-tree refinement of the leaf and a last
// comparison against skip. The node keeps the winner and its leaf cost; the
// live coding state is that of the last trial, so the quad-tree codes the
// leaf again when it keeps it.
#include "analysis/inter_fast/inter_fast.h"

#include <cstring>

#include "analysis/motion/amvp.h"

namespace {

enum { MERGE_NONE = -1 };

struct fast_cu {
    row_context *ctx;
    cu_node *tree, *node;
    pu_area pu;                // the whole CU
    int32_t log2, size, depth;
    int32_t pair;              // a P picture coded with B slices
    int32_t lists;             // 2 in B pictures
    merge_list merge;
    int32_t skip_best, merge_best;
    uint32_t skip_cost, merge_cost;
};

void restore(fast_cu *f)
{
    rate_restore(f->ctx, f->depth);
}

void commit(fast_cu *f)
{
    cu_tree_commit(f->ctx, f->tree, f->pu.z, f->pu.x, f->pu.y, f->log2);
}

int32_t ref_count_of(const fast_cu *f, int32_t list)
{
    return f->ctx->ctu.speed_step ? 1 : active_ref_count(f->ctx->fi, list);
}

// The node takes merge candidate i's motion as its 2Nx2N motion. The vectors
// are the candidate's own: the prediction clamps them as it reads.
void take_candidate(fast_cu *f, int32_t i)
{
    pu_motion *m = &f->node->pu_2nx2n;
    for (int32_t l = 0; l < 2; l++) {
        m->ref_idx[l] = f->merge.ref[l][i];
        m->mv[l] = f->merge.mv[l][i];
    }
}

void take_motion(fast_cu *f, const me_result *r0, const me_result *r1)
{
    pu_motion *m = &f->node->pu_2nx2n;
    m->ref_idx[0] = m->ref_idx[1] = -2;
    if (r0) {
        m->ref_idx[0] = r0->ref_idx;
        m->mv[0] = r0->mv;
    }
    if (r1) {
        m->ref_idx[1] = r1->ref_idx;
        m->mv[1] = r1->mv;
    }
}

// Nothing found by the searches: the zero vector of the first list-0 reference.
void take_zero_motion(fast_cu *f)
{
    pu_motion *m = &f->node->pu_2nx2n;
    m->ref_idx[0] = 0;
    m->ref_idx[1] = -2;
    m->mv[0] = m->mv[1] = 0;
}

void prepare(fast_cu *f)
{
    row_context *ctx = f->ctx;
    cu_node *node = f->node;
    uint32_t k = (uint32_t)f->size / 8;
    map_fill_block((uint8_t *)&ctx->ctu.maps.cu_depth_map[map8_index(f->pu.z)], k, k, 1, (uint32_t)f->depth);
    node->part_mode = 0;
    node->pred_mode = 0;
    node->pu_2nx2n.ref_idx[0] = node->pu_2nx2n.ref_idx[1] = -2;
    if (f->log2 == 6) cu64_transform_units(f->tree);
    else node->tu_split = 0;
    // Set again only by this CU's own intra trial.
    search_state(ctx)->intra_rd_flag = 0;
}

// Candidate i moves exactly as a candidate j already coded here, with j above
// 0. Both are then coded alike but for the merge index, whose bins for i are
// as many or more than for j (the context-coded first bin is the same one),
// so i costs at least what j cost, as skip and with its residual, and cannot
// win on the strict comparisons below. Against index 0 the first bin differs
// and i is still tried.
bool repeats_coded_motion(const fast_cu *f, int32_t i, const int32_t *coded, int32_t coded_count)
{
    for (int32_t k = 0; k < coded_count; k++)
        if (coded[k] > 0 && merge_same_motion(&f->merge, i, coded[k], 2)) return true;
    return false;
}

// Every usable merge candidate coded as skip; with_residual also codes each
// with its residual. Duplicates of the best skip candidate are left out.
void merge_trials(fast_cu *f, int32_t with_residual, int32_t lists_compared)
{
    row_context *ctx = f->ctx;
    cu_node *node = f->node;
    merge_list_build(ctx, &f->pu, &f->merge);
    f->skip_best = f->merge_best = MERGE_NONE;
    f->skip_cost = f->merge_cost = COST_INFINITE;
    node->pu_2nx2n.merge_flag = 1;
    int32_t coded[sizeof f->merge.mv[0] / sizeof f->merge.mv[0][0]], coded_count = 0;
    for (int32_t i = 0; i < f->merge.count; i++) {
        uint32_t clamped[2];
        if (!merge_candidate_clamp(ctx, &f->merge, i, &f->pu, clamped)) continue;
        if (f->skip_best != MERGE_NONE && merge_same_motion(&f->merge, i, f->skip_best, lists_compared)) continue;
        if (repeats_coded_motion(f, i, coded, coded_count)) continue;
        coded[coded_count++] = i;
        take_candidate(f, i);
        node->skip_flag = 1;
        node->skip_merge_idx = i;
        commit(f);
        uint32_t cost = rd_cu_cost(ctx, node->lambda_sse, f->pu.z, f->pu.x, f->pu.y, f->log2, 0, 0);
        restore(f);
        if (cost < f->skip_cost) {
            f->skip_cost = cost;
            f->skip_best = i;
        }
        if (!with_residual) continue;
        node->skip_flag = 0;
        node->pu_2nx2n.merge_idx = (uint8_t)i;
        commit(f);
        cost = rd_cu_cost_with_residual(ctx, node, f->pu.z, f->pu.x, f->pu.y, f->log2);
        restore(f);
        if (cost < f->merge_cost) {
            f->merge_cost = cost;
            f->merge_best = i;
        }
    }
}

// The best skip candidate coded as a merge with its residual.
void merge_of_best_skip(fast_cu *f)
{
    if (f->skip_best == MERGE_NONE) return;
    cu_node *node = f->node;
    take_candidate(f, f->skip_best);
    node->skip_flag = 0;
    node->pu_2nx2n.merge_idx = (uint8_t)f->skip_best;
    commit(f);
    f->merge_cost = rd_cu_cost(f->ctx, node->lambda_sse, f->pu.z, f->pu.x, f->pu.y, f->log2, 0, 1);
    f->merge_best = f->skip_best;
    restore(f);
}

void merge_trials_end(fast_cu *f)
{
    cu_node *node = f->node;
    node->best_skip_cost = f->skip_cost;
    node->best_merge_cost = f->merge_cost;
    if (f->skip_best != MERGE_NONE) node->skip_merge_idx = f->skip_best;
    node->pu_2nx2n.merge_flag = 0;
    node->skip_flag = 0;
    node->motion_cost = COST_INFINITE;
}

// The motion search of list 'list' of the whole CU into record 'rec'; with
// pair set the second-best list-0 result goes to record 2.
void search_list_2nx2n(fast_cu *f, int32_t list, uint32_t amvp[2], int32_t *amvp_count)
{
    cu_node *node = f->node;
    list_search ls{};
    ls.pu = f->pu;
    ls.list = list;
    ls.refs = ref_count_of(f, list);
    ls.likely_list = f->pair ? 0 : list;
    ls.fill_unit = 1;
    uint32_t parent_mv = 0;
    ls.hint = parent_hint(f->tree, f->pu.z, f->log2, list, &parent_mv);
    ls.fast = search_state(f->ctx)->speed_level > 5;
    ls.keep_two = f->pair;
    ls.qp = node->qp;
    if (f->skip_best != MERGE_NONE && (f->pair || f->merge.ref[list][f->skip_best] >= 0))
        ls.cand[ls.cand_count++] = f->merge.mv[list][f->skip_best];
    if (ls.hint >= 0) ls.cand[ls.cand_count++] = parent_mv;
    me_result *second = f->pair ? &node->pu_search[2] : nullptr;
    list_search_run(f->ctx, &ls, &node->pu_search[2 * list], second, amvp, amvp_count);
}

// 2Nx2N motion of a B slice: each list, then the bi-prediction of the two
// best results (in pair mode the best two of list 0).
void motion_2nx2n_b(fast_cu *f)
{
    cu_node *node = f->node;
    me_result *r0 = &node->pu_search[0], *r2 = &node->pu_search[2];
    uint32_t amvp[2][2] = {{0, 0}, {0, 0}};
    int32_t count[2] = {0, 0};
    r2->cost = COST_INFINITE;
    for (int32_t l = 0; l < f->lists; l++) search_list_2nx2n(f, l, amvp[l], &count[l]);
    int16_t d[2][2] = {{0, 0}, {0, 0}};
    if (r0->cost < COST_INFINITE) mvd_best_predictor(&r0->mv, amvp[0], count[0], d[0]);
    if (r2->cost < COST_INFINITE) {
        if (f->pair) list_predictor_diff(f->ctx, &f->pu, 1, r2->ref_idx, r2->mv, d[1]);
        else mvd_best_predictor(&r2->mv, amvp[1], count[1], d[1]);
    }
    uint32_t u0 = r0->cost, u1 = f->pair ? COST_INFINITE : r2->cost, bi = COST_INFINITE;
    if (r0->cost < COST_INFINITE && r2->cost < COST_INFINITE)
        bi = bi_rough_cost(f->ctx, &f->pu, r0, r2, d[0], d[1], node->qp, f->ctx->enc->metric.cost_metric[f->pu.s]);
    uint32_t m = u0 < u1 ? u0 : u1;
    node->motion_cost = bi < m ? bi : m;
    if (node->motion_cost >= COST_INFINITE) take_zero_motion(f);
    else if (bi < u0 && bi < u1) take_motion(f, r0, r2);
    else if (u0 < u1) take_motion(f, r0, nullptr);
    else take_motion(f, nullptr, r2);
}

void motion_2nx2n_p(fast_cu *f)
{
    cu_node *node = f->node;
    uint32_t amvp[2];
    int32_t count;
    search_list_2nx2n(f, 0, amvp, &count);
    node->motion_cost = node->pu_search[0].cost;
    if (node->motion_cost >= COST_INFINITE) take_zero_motion(f);
    else take_motion(f, &node->pu_search[0], nullptr);
}

void intra_trial(fast_cu *f, int32_t allowed)
{
    cu_node *node = f->node;
    node->intra_rough_cost = COST_INFINITE;
    node->intra_cost = COST_INFINITE;
    if (allowed && f->log2 < 6) intra_mode_search_fast(f->ctx, f->tree, f->pu.z, f->pu.x, f->pu.y, f->log2);
}

uint8_t node_cbf_entry(const fast_cu *f)
{
    return f->ctx->ctu.decision.cbf_flags[node_index(f->pu.z, f->log2)];
}

// The 2Nx2N winner coded with the cheaper of its residual and none, against
// the intra candidate's full cost when intra was coded.
void residual_of_winner(fast_cu *f)
{
    row_context *ctx = f->ctx;
    cu_node *node = f->node;
    const pu_area *p = &f->pu;
    restore(f);
    if (search_state(ctx)->intra_rd_flag) {
        node->node_cbf = node->intra_cbf;
        node->pred_mode = 0;
        commit(f);
        node->leaf_cost = rd_cu_cost_residual_test(ctx, node, p->z, p->x, p->y, f->log2, 0);
        if (node->leaf_cost > node->intra_cost) {
            node->leaf_cost = node->intra_cost;
            node->residual_mode = 0;
            node->pred_mode = 1;
        } else {
            node->node_cbf = node_cbf_entry(f);
        }
        return;
    }
    int32_t intra = node->intra_rough_cost < COST_INFINITE && !(node->motion_cost < node->intra_rough_cost);
    node->pred_mode = intra ? 1 : 0;
    commit(f);
    int32_t require = !intra && node->pu_2nx2n.merge_flag;
    node->leaf_cost = rd_cu_cost_residual_test(ctx, node, p->z, p->x, p->y, f->log2, require);
    node->node_cbf = node_cbf_entry(f);
}

uint32_t partition_cost(fast_cu *f, uint32_t part, uint8_t *cbf)
{
    cu_node *node = f->node;
    node->part_mode = part;
    inter_pu_search_fast(f->ctx, f->tree, f->pu.z, f->pu.x, f->pu.y, f->log2);
    restore(f);
    commit(f);
    uint32_t cost = rd_cu_cost(f->ctx, node->lambda_sse, f->pu.z, f->pu.x, f->pu.y, f->log2, 0, 0);
    *cbf = node_cbf_entry(f);
    return cost;
}

void two_unit_partitions(fast_cu *f)
{
    if (f->log2 <= 3 || search_state(f->ctx)->speed_level <= 6) return;
    cu_node *node = f->node;
    int32_t pred = node->pred_mode;
    uint8_t residual = node->residual_mode;
    node->pred_mode = 0;
    node->residual_mode = 0;
    node->skip_flag = 0;
    uint8_t cbf1, cbf2;
    uint32_t c1 = partition_cost(f, 1, &cbf1);
    uint32_t c2 = partition_cost(f, 2, &cbf2);
    if (c1 < node->leaf_cost && c1 < c2) {
        node->leaf_cost = c1;
        node->part_mode = 1;
        node->node_cbf = cbf1;
    } else if (c2 < node->leaf_cost) {
        node->leaf_cost = c2;
        node->part_mode = 2;
        node->node_cbf = cbf2;
    } else {
        node->part_mode = 0;
        node->pred_mode = pred;
        node->residual_mode = residual;
    }
}

void merge_with_residual(fast_cu *f)
{
    cu_node *node = f->node;
    if (!(node->leaf_cost > f->merge_cost)) return;
    node->leaf_cost = f->merge_cost;
    node->pred_mode = 0;
    node->part_mode = 0;
    node->residual_mode = 0;
    node->pu_2nx2n.merge_flag = 1;
    node->pu_2nx2n.merge_idx = (uint8_t)f->merge_best;
    take_candidate(f, f->merge_best);
    node->node_cbf = 7;
}

// The leaf's transform tree searched over its prediction; kept when the
// whole CU then costs less. The leaf's transform decisions are saved either way.
void refine_transform_tree(fast_cu *f)
{
    row_context *ctx = f->ctx;
    cu_node *node = f->node;
    const pu_area *p = &f->pu;
    uint8_t residual = node->residual_mode;
    commit(f);
    if (node->pred_mode != 1) tu_encode(ctx, p->z, p->x, p->y, f->log2, node->qp, 1, 0, TU_LUMA | TU_CHROMA);
    else map_mark_unavailable(ctx, p->x, p->y, f->size, f->size);
    restore(f);
    tu_tree_search(ctx, f->tree, p->z, p->x, p->y, f->log2, TU_LUMA | TU_CHROMA, 1);
    if (node->tu_split != 0 || node->residual_mode != residual) {
        restore(f);
        map_mark_unavailable(ctx, p->x, p->y, f->size, f->size);
        commit(f);
        int32_t merged = node->pred_mode != 1 && node->pu_2nx2n.merge_flag && node->part_mode == 0;
        node->refined_cost = rd_cu_cost(ctx, node->lambda_sse, p->z, p->x, p->y, f->log2, 0, merged);
        if (node->refined_cost > node->leaf_cost) {
            if (f->log2 == 6) {
                cu64_transform_units(f->tree);
            } else {
                node->tu_split = 0;
            }
            node->residual_mode = residual;
        } else {
            node->leaf_cost = node->refined_cost;
            node->node_cbf = node_cbf_entry(f);
        }
    }
    node->tu_saved = 1;
    tu_layer_save(ctx, f->tree, p->z, f->log2, f->depth);
}

void skip_if_cheaper(fast_cu *f)
{
    cu_node *node = f->node;
    if (!(node->leaf_cost > f->skip_cost)) return;
    node->leaf_cost = f->skip_cost;
    node->pred_mode = 0;
    node->part_mode = 0;
    node->skip_flag = 1;
    node->skip_merge_idx = f->skip_best;
    node->tu_split = 0;
    node->tu_saved = 0;
    take_candidate(f, f->skip_best);
    node->node_cbf = 0;
}

void fast_cu_init(fast_cu *f, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                  int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    f->ctx = ctx;
    f->tree = tree;
    f->node = &tree[node_index(z, log2_size)];
    f->log2 = log2_size;
    f->size = 1 << log2_size;
    f->depth = 6 - log2_size;
    f->pu = {z, x, y, f->size, f->size, f->depth};
    f->pair = st->gpb;
    f->lists = b_picture(ctx->fi) ? 2 : 1;
    prepare(f);
}

}  // namespace

void cu_decide_b_fast(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    fast_cu f;
    fast_cu_init(&f, ctx, tree, z, x, y, log2_size);
    cu_node *node = f.node;
    merge_trials(&f, st->speed_level > 5, 2);
    if (st->speed_level <= 5) merge_of_best_skip(&f);
    merge_trials_end(&f);
    uint64_t early_limit = ((uint64_t)node->lambda_sse * 8) >> (16 - 2 * log2_size);
    int32_t early_skip = !f.pair && f.skip_cost < early_limit;
    if (early_skip) {
        node->node_cbf = 0;
    } else {
        motion_2nx2n_b(&f);
        intra_trial(&f, st->speed_level > 6 || f.pair || f.merge_cost < f.skip_cost);
        residual_of_winner(&f);
    }
    two_unit_partitions(&f);
    merge_with_residual(&f);
    if (((node->node_cbf & 1) && st->speed_level > 5) || (log2_size == 3 && node->leaf_cost > (node->lambda_sse >> 2)))
        refine_transform_tree(&f);
    skip_if_cheaper(&f);
    node->state_stale = 1;
}

void cu_decide_p_fast(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    mode_search_state *st = search_state(ctx);
    fast_cu f;
    fast_cu_init(&f, ctx, tree, z, x, y, log2_size);
    merge_trials(&f, 1, 1);
    merge_trials_end(&f);
    motion_2nx2n_p(&f);
    intra_trial(&f, st->inter_intra);
    residual_of_winner(&f);
    two_unit_partitions(&f);
    merge_with_residual(&f);
    refine_transform_tree(&f);
    skip_if_cheaper(&f);
    f.node->state_stale = 1;
}
