// Stages shared by the rate-distortion CU decisions of P and B slices: the
// CU set-up, rough costs of the merge candidates, the skip price of the best
// one, the early-skip test, the coding of the kept leaf and the last
// comparisons with merge-with-residual and skip.
#include "analysis/inter/inter_decide.h"

#include "analysis/motion/amvp.h"
#include "encoder/int_math.h"

#include <cstring>

namespace {

// The three tables below are fixed tuning of the early decisions of the
// rate-distortion path at speed levels 0..2, one row per QP 0..51. They are
// tuned values, not computed at open; their rows follow smooth curves in QP,
// growing about as fast as lambda does (within rounding):
// - skip_early_threshold_table: A + B * 1.17^QP per depth, B about 56, 33, 17
//   and 10 from 64x64 to 8x8, so that a smaller CU is skipped early only at a
//   smaller cost;
// - skip64_distortion_table: -21370 + 3250 * 1.12^QP, negative up to QP 16,
//   where every 64x64 CU with a priced skip is recorded as skip and split;
// - inter64_no_residual_table: exactly round(10000 * 2^((QP - 22) / 7.5)).
// A change to them changes the streams of those levels: the compression
// guard among the tests and bench/complexity_table.sh show by how much.

// Skip costs below which a CU is decided as skip at speed levels 0..2, per
// QP and depth (64x64 .. 8x8).
const int32_t skip_early_threshold_table[QP_MAX + 1][4] = {
    {2412, 61, -307, -168},       {2422, 67, -304, -166},       {2433, 73, -301, -164},
    {2446, 81, -297, -162},       {2461, 90, -292, -159},       {2479, 100, -287, -156},
    {2500, 112, -281, -153},      {2525, 127, -274, -149},      {2554, 143, -265, -144},
    {2587, 163, -255, -138},      {2627, 186, -243, -131},      {2673, 213, -230, -123},
    {2727, 244, -214, -114},      {2790, 281, -195, -103},      {2863, 324, -173, -91},
    {2950, 374, -147, -76},       {3051, 432, -117, -58},       {3169, 501, -82, -38},
    {3307, 582, -41, -15},        {3469, 676, 6, 12},           {3658, 786, 63, 45},
    {3879, 914, 129, 83},         {4139, 1065, 206, 127},       {4442, 1241, 296, 179},
    {4796, 1448, 402, 240},       {5211, 1689, 525, 311},       {5697, 1971, 670, 394},
    {6265, 2301, 839, 491},       {6929, 2688, 1037, 605},      {7706, 3140, 1268, 738},
    {8616, 3669, 1539, 894},      {9680, 4288, 1856, 1077},     {10926, 5012, 2226, 1290},
    {12382, 5859, 2660, 1540},    {14087, 6851, 3167, 1832},    {16081, 8011, 3761, 2174},
    {18415, 9368, 4456, 2573},    {21145, 10955, 5268, 3041},   {24339, 12813, 6219, 3589},
    {28076, 14986, 7332, 4229},   {32449, 17529, 8633, 4978},   {37564, 20504, 10156, 5855},
    {43550, 23985, 11938, 6881},  {50553, 28058, 14023, 8081},  {58746, 32823, 16462, 9485},
    {68333, 38398, 19316, 11128}, {79549, 44920, 22655, 13050}, {92672, 52552, 26561, 15299},
    {108025, 61481, 31132, 17930}, {125989, 71928, 36480, 21009}, {147007, 84151, 42736, 24610},
    {171598, 98452, 50057, 28825},
};

// Residual-free distortion of a 64x64 CU above which it is recorded as skip
// and its split is searched (speed levels 0..2).
const int32_t skip64_distortion_table[QP_MAX + 1] = {
    -18120, -17730, -17293, -16804, -16256, -15642, -14955, -14185, -13323, -12357, -11276,
    -10064, -8708,  -7188,  -5486,  -3580,  -1446,  944,    3622,   6621,   9980,   13742,
    17955,  22675,  27960,  33880,  40510,  47935,  56252,  65567,  75999,  87684,  100770,
    115427, 131843, 150228, 170820, 193883, 219713, 248643, 281045, 317335, 357980, 403502,
    454486, 511589, 575544, 647174, 727399, 817252, 917887, 1030597,
};

// Residual-free distortion of a 64x64 CU of a true B picture below which it
// is coded without residual (speed levels 0..2).
const int32_t inter64_no_residual_table[QP_MAX + 1] = {
    1309,  1436,  1575,  1727,  1895,  2078,  2279,  2500,  2742,   3008,   3299,   3618,   3969,
    4353,  4774,  5236,  5743,  6300,  6910,  7579,  8312,  9117,   10000,  10968,  12030,  13195,
    14473, 15874, 17411, 19097, 20946, 22974, 25198, 27638, 30314,  33250,  36469,  40000,  43873,
    48121, 52780, 57891, 63496, 69644, 76387, 83784, 91896, 100794, 110553, 121257, 132998, 145876,
};

int32_t qp_row(int32_t qp)
{
    return clamp_i32(qp, 0, QP_MAX);
}

// Lookahead block of the CU (16x16 units), kept inside the grid.
int32_t lowres_block_of(const row_context *ctx, int32_t x, int32_t y)
{
    int32_t cols = ctx->enc->blk16_cols, rows = ctx->enc->blk16_rows;
    int32_t c = clamp_i32((x >> 4) + 4 * ctx->ctu.x, 1, cols - 2), r = clamp_i32((y >> 4) + 4 * ctx->ctu.y, 1, rows - 2);
    c = clamp_i32(c, 0, cols - 1);
    r = clamp_i32(r, 0, rows - 1);
    return c + ctx->enc->blk16_stride * r;
}

picture *reference_of(const frame_instance *fi, int32_t list, int32_t ref)
{
    return list == 0 ? fi->pic.list0[ref] : fi->pic.list1[ref];
}

// Whether every component of the used vectors lies within -31..31.
bool small_motion(const pu_motion *pu)
{
    for (int32_t l = 0; l < 2; l++) {
        if (pu->ref_idx[l] < 0) continue;
        int32_t vx = mv_x(pu->mv[l]), vy = mv_y(pu->mv[l]);
        if (vx < -31 || vx > 31 || vy < -31 || vy > 31) return false;
    }
    return true;
}

// The stale flag of a non-skip leaf that stands: the last coding was not the
// kept one when a later trial (intra priced by full cost, the merge with
// residual) could have won instead.
uint32_t leaf_stale(const inter_cu_decision *d)
{
    const cu_node *node = d->node;
    int32_t intra = node->pred_mode == 1, merged = node->pu_2nx2n.merge_flag != 0;
    if (d->st->merge_residual_tried) return d->st->intra_rd_flag ? (intra || merged) : (!intra && merged);
    return d->st->intra_rd_flag && intra;
}

// Tries the alternative merge candidate as skip against the skip cost; the
// alternative is kept on an equal cost.
void alternative_retry(inter_cu_decision *d)
{
    cu_node *node = d->node;
    int32_t first = node->skip_merge_idx;
    node->skip_merge_idx = d->alternative;
    rate_restore(d->ctx, d->depth);
    inter_pu_take_merge(d, d->alternative, 1);
    cu_tree_commit(d->ctx, d->tree, d->z, d->x, d->y, d->log2);
    uint32_t a = rd_cu_cost(d->ctx, node->lambda_sse, d->z, d->x, d->y, d->log2, 0, 0);
    if (a <= node->best_skip_cost) {
        node->state_stale = 0;
        node->best_skip_cost = a;
    } else {
        node->state_stale = 1;
        node->skip_merge_idx = first;
        inter_pu_take_merge(d, first, 1);
    }
    node->leaf_cost = node->best_skip_cost;
}

// Skip wins over the coded leaf.
void skip_wins(inter_cu_decision *d)
{
    cu_node *node = d->node;
    node->pred_mode = 0;
    node->skip_flag = 1;
    node->state_stale = 1;
    node->node_cbf = 0;
    inter_pu_take_merge(d, node->skip_merge_idx, 1);
    if (d->alternative >= 0) alternative_retry(d);
    node->leaf_cost = node->best_skip_cost;
}

// With intra priced by full cost, the inter leaf is coded with the residual
// test and intra stands where it is cheaper.
void leaf_against_intra(inter_cu_decision *d)
{
    row_context *ctx = d->ctx;
    cu_node *node = d->node;
    node->node_cbf = node->intra_cbf;
    node->pred_mode = 0;
    cu_tree_commit(ctx, d->tree, d->z, d->x, d->y, d->log2);
    node->leaf_cost = rd_cu_cost_residual_test(ctx, node, d->z, d->x, d->y, d->log2, node->pu_2nx2n.merge_flag);
    if (node->leaf_cost > node->intra_cost) {
        node->leaf_cost = node->intra_cost;
        node->residual_mode = 0;
        node->pred_mode = 1;
    } else {
        node->node_cbf = ctx->ctu.decision.cbf_flags[node_index(d->z, d->log2)];
    }
}

// A 64x64 leaf whose prediction is poor is recorded as skip at the skip cost
// and left to the split.
void leaf64_recorded_as_skip(inter_cu_decision *d)
{
    cu_node *node = d->node;
    node->leaf_cost = node->best_skip_cost;
    node->shortcut_taken = 1;
    node->state_stale = 1;
    if (node->skip_merge_idx >= 0 && d->best >= 0) {
        node->skip_flag = 1;
        inter_pu_take_merge(d, node->skip_merge_idx, 1);
    }
}

// A 64x64 leaf of a true B picture predicted well enough is coded without
// residual; one that must code a residual then cannot be this leaf.
void leaf64_without_residual(inter_cu_decision *d, int32_t require, uint32_t dist)
{
    row_context *ctx = d->ctx;
    cu_node *node = d->node;
    int32_t n = node_index(d->z, d->log2);
    node->residual_mode = 3;
    ctx->ctu.decision.residual_mode[n] = 3;
    ctx->ctu.decision.cbf_flags[n] = 0;
    map_mark_available(ctx, d->x, d->y, 64, 64);
    if (require) {
        node->leaf_cost = COST_INFINITE;
        return;
    }
    uint32_t before = ctx->cabac.rate.est_bits;
    rate_coding_unit(ctx, d->z, d->x, d->y, 6);
    node->leaf_cost = dist + rate_term(ctx->cabac.rate.est_bits - before, node->lambda_sse);
}

// The 64x64 leaf at speed levels 0..2, decided from the distortion of its
// prediction; returns whether it was recorded as skip.
int32_t leaf64_code(inter_cu_decision *d, int32_t true_b, int32_t require)
{
    cu_node *node = d->node;
    uint32_t dist = rd_cu_prediction_distortion(d->ctx, node, d->z, d->x, d->y, 6);
    int32_t qp = qp_row(node->qp);
    if ((int32_t)dist > skip64_distortion_table[qp]) {
        leaf64_recorded_as_skip(d);
        return 1;
    }
    if (!true_b || dist >= (uint32_t)inter64_no_residual_table[qp] || dist >= node->best_skip_cost) {
        node->leaf_cost = rd_cu_cost_residual_test_predicted(d->ctx, node, d->z, d->x, d->y, 6, require, dist);
    } else {
        leaf64_without_residual(d, require, dist);
    }
    return 0;
}

// No coefficient was left and skip was never priced: a skip it is.
void leaf_becomes_skip(inter_cu_decision *d)
{
    ctu_context *c = &d->ctx->ctu;
    cu_node *node = d->node;
    uint32_t k = (uint32_t)d->size / 8;
    map_fill_block(&c->maps.cu_flags_map[d->unit], k, k, 1, c->maps.cu_flags_map[d->unit] | 1u);
    map_fill_block(&c->motion.merge_flag_map[d->unit], k, k, 1, 0);
    node->skip_merge_idx = node->pu_2nx2n.merge_idx;
    node->skip_flag = 1;
    node->best_skip_cost = rd_cu_cost_predicted(d->ctx, node->lambda_sse, d->z, d->x, d->y, d->log2, 0, 0);
    node->leaf_cost = node->best_skip_cost;
}

// Where the CU lies and the records it works on.
void decision_place(inter_cu_decision *d, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                    int32_t log2_size)
{
    d->ctx = ctx;
    d->st = search_state(ctx);
    d->tree = tree;
    d->z = z;
    d->x = x;
    d->y = y;
    d->log2 = log2_size;
    d->size = 1 << log2_size;
    d->depth = 6 - log2_size;
    int32_t n = node_index(z, log2_size);
    d->node = &tree[n];
    d->parent = d->depth > 0 ? &tree[(n - 1) >> 2] : nullptr;
    d->unit = map8_index(z);
    d->lowres_block = lowres_block_of(ctx, x, y);
    d->metric = log2_size == 6 ? ctx->enc->metric.sad[0] : ctx->enc->metric.satd[d->depth];
}

void candidates_clear(inter_cu_decision *d)
{
    d->bilinear = d->st->fast_merge_mc;
    d->coarse = 0;
    d->count = 0;
    d->temporal_mask = 0;
    std::memset(d->fraction_mask, 0, sizeof(d->fraction_mask));
    d->best = d->second = d->alternative = -1;
    d->best_cost = d->second_cost = COST_INFINITE;
    d->early_skip = 0;
}

// The CU's depth in the maps and its node as an unsplit 2Nx2N inter CU.
void node_start(inter_cu_decision *d)
{
    ctu_context *c = &d->ctx->ctu;
    uint32_t k = (uint32_t)d->size / 8;
    map_fill_block((uint8_t *)&c->maps.cu_depth_map[d->unit], k, k, 1, (uint32_t)d->depth);
    cu_node *node = d->node;
    node->part_mode = 0;
    node->pu_2nx2n.ref_idx[0] = node->pu_2nx2n.ref_idx[1] = -2;
    node->pred_mode = 0;
    node->tu_split = d->log2 == 6 ? 1 : 0;
    if (d->log2 == 6) {
        // The 32x32 transform units of a 64x64 CU are coded through its
        // four child nodes.
        cu_node *tree = d->tree;
        for (int32_t i = 1; i <= 4; i++) {
            tree[i].tu_split = 0;
            tree[i].residual_mode = 0;
            std::memcpy(&tree[i].qp, &node->qp, CU_NODE_TAIL_WORDS * 4);
        }
    }
}

// A merge candidate not worth a rough cost: its motion leaves the allowed
// range, has a fraction the candidate may not use, or repeats the best one.
bool merge_candidate_passed_over(const inter_cu_decision *d, int32_t i)
{
    row_context *ctx = d->ctx;
    bool reject = false, duplicate = d->best >= 0;
    for (int32_t l = 0; l < 2; l++) {
        if (d->ref[l][i] != d->ref[l][d->best < 0 ? 0 : d->best]) duplicate = false;
        if (d->ref[l][i] < 0) continue;
        int16_t v[2] = {mv_x(d->mv[l][i]), mv_y(d->mv[l][i])};
        mv_clamp(ctx, v, d->x, d->y);
        for (int32_t k = 0; k < 2; k++)
            if (v[k] < ctx->enc->mv_min_qpel[k] || v[k] > ctx->enc->mv_max_qpel[k]) reject = true;
        if ((v[0] | v[1]) & d->fraction_mask[i]) reject = true;
        if (d->best >= 0 && d->mv[l][i] != d->mv[l][d->best]) duplicate = false;
    }
    return reject || duplicate;
}

// Keeps the two cheapest candidates.
void rough_rank(inter_cu_decision *d, int32_t i, uint32_t cost)
{
    if (cost < d->best_cost) {
        d->second = d->best;
        d->second_cost = d->best_cost;
        d->best = i;
        d->best_cost = cost;
    } else if (cost < d->second_cost) {
        d->second = i;
        d->second_cost = cost;
    }
}

}  // namespace

void inter_cu_setup(inter_cu_decision *d, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y,
                    int32_t log2_size)
{
    decision_place(d, ctx, tree, z, x, y, log2_size);
    candidates_clear(d);
    node_start(d);
}

void inter_pu_take_merge(inter_cu_decision *d, int32_t i, int32_t merge_flag)
{
    pu_motion *pu = &d->node->pu_2nx2n;
    pu->merge_flag = (uint8_t)merge_flag;
    if (i < 0) return;
    pu->merge_idx = (uint8_t)i;
    for (int32_t l = 0; l < 2; l++) {
        pu->ref_idx[l] = d->ref[l][i];
        pu->mv[l] = d->ref[l][i] >= 0 ? d->mv[l][i] : 0;
    }
}

int32_t inter_searched_refs(const row_context *ctx, int32_t list)
{
    int32_t n = list == 0 ? ctx->fi->pic.sh.num_ref_idx_l0_active : ctx->fi->pic.sh.num_ref_idx_l1_active;
    int32_t have = list == 0 ? ctx->fi->pic.ref_count_l0 : ctx->fi->pic.ref_count_l1;
    if (have < n) n = have;
    if (ctx->ctu.speed_step != 0 && n > 1) n = 1;
    return n < ENCODER_MAX_REFS ? n : ENCODER_MAX_REFS;
}

void inter_merge_fraction_temporal(inter_cu_decision *d)
{
    for (int32_t i = 0; i < MERGE_MAX_CANDIDATES; i++) d->fraction_mask[i] = ((d->temporal_mask >> i) & 1) ? 3 : 0;
}

uint32_t inter_rough_metric(inter_cu_decision *d, const int8_t ref[2], const uint32_t mv[2])
{
    row_context *ctx = d->ctx;
    ctu_context *c = &ctx->ctu;
    int32_t bilinear = d->bilinear;
    const uint8_t *pred[2] = {nullptr, nullptr};
    int32_t stride[2] = {64, 64};
    for (int32_t l = 0; l < 2; l++) {
        if (ref[l] < 0) continue;
        int16_t v[2] = {mv_x(mv[l]), mv_y(mv[l])};
        mv_clamp(ctx, v, d->x, d->y);
        pred[l] = mc_luma_8bit(ctx, l, ref[l], v[0] + 4 * d->x, v[1] + 4 * d->y, d->size, d->size,
                               c->scratch + 4096 * l, &stride[l], bilinear);
    }
    const uint8_t *p = pred[0] ? pred[0] : pred[1];
    int32_t s = pred[0] ? stride[0] : stride[1];
    if (pred[0] && pred[1]) {
        uint8_t *work = c->recon_luma + d->y * CTU_WORK_STRIDE + d->x;
        ctx->enc->mc.avg_pixels(work, CTU_WORK_STRIDE, pred[0], stride[0], pred[1], stride[1], d->size, d->size);
        p = work;
        s = CTU_WORK_STRIDE;
    }
    return d->metric(c->source_luma + d->y * CTU_SOURCE_STRIDE + d->x, CTU_SOURCE_STRIDE, p, s);
}

void inter_merge_rough(inter_cu_decision *d)
{
    uint32_t lambda = d->node->lambda_satd;
    for (int32_t i = 0; i < d->count; i++) {
        if (merge_candidate_passed_over(d, i)) continue;
        int8_t ref[2] = {d->ref[0][i], d->ref[1][i]};
        uint32_t mv[2] = {d->mv[0][i], d->mv[1][i]};
        uint32_t cost = inter_rough_metric(d, ref, mv) + lambda * (uint32_t)(i + 1 < 4 ? i + 1 : 4);
        rough_rank(d, i, cost);
    }
}

void inter_skip_price(inter_cu_decision *d, int32_t second_rule)
{
    mode_search_state *st = d->st;
    cu_node *node = d->node;
    int32_t lambda = (int32_t)node->lambda_satd, log2 = d->log2;
    if (d->best < 0) {
        node->motion_cost = node->best_skip_cost = COST_INFINITE;
    } else if (!d->coarse && st->speed_level < 2 && d->depth > 0 &&
               (int32_t)d->best_cost > (800 * lambda + 1500) >> (2 * d->depth - 2)) {
        // Merge is far from good here: kept for the leaf, skip not priced.
        node->skip_merge_idx = d->best;
        node->pu_2nx2n.merge_idx = (uint8_t)d->best;
        node->motion_cost = d->best_cost;
        node->best_skip_cost = COST_INFINITE;
    } else {
        int32_t gap = (int32_t)(d->second_cost - d->best_cost);
        bool close = second_rule == SKIP_SECOND_B
                         ? gap < (lambda << (log2 - 3)) && (int32_t)d->best_cost > (lambda << (2 * log2 - 5))
                         : second_rule == SKIP_SECOND_P && gap < (lambda << (2 * log2 - 6));
        if (d->second >= 0 && close && d->ctx->ctu.speed_step < 3) d->alternative = d->second;
        node->skip_merge_idx = d->best;
        node->motion_cost = d->best_cost;
        inter_pu_take_merge(d, d->best, 1);
        node->skip_flag = 1;
        cu_tree_commit(d->ctx, d->tree, d->z, d->x, d->y, log2);
        node->best_skip_cost = rd_cu_cost(d->ctx, node->lambda_sse, d->z, d->x, d->y, log2, 0, 0);
    }
    node->skip_flag = 0;
    node->node_cbf = 0;
}

void inter_early_skip(inter_cu_decision *d, int32_t skip_threshold_off, int32_t k)
{
    row_context *ctx = d->ctx;
    mode_search_state *st = d->st;
    cu_node *node = d->node;
    const pu_motion *pu = &node->pu_2nx2n;
    uint32_t skip = node->best_skip_cost;
    int32_t shift = 2 * (8 - d->log2);
    uint64_t bound = 0;
    if (skip < COST_INFINITE) {
        uint64_t sum = 0;
        int32_t lists = 0;
        for (int32_t l = 0; l < 2; l++) {
            if (pu->ref_idx[l] < 0) continue;
            const picture *r = reference_of(ctx->fi, l, pu->ref_idx[l]);
            sum += r->ctu_recon_distortion ? r->ctu_recon_distortion[ctx->ctu.address] >> (2 * d->depth) : 0;
            lists++;
        }
        bound = (lists == 2 ? sum / 2 : sum) + ((3 * (uint64_t)node->lambda_sse) >> shift);
    } else {
        st->cu_last_distortion = COST_INFINITE;
    }
    int32_t e;
    if (st->speed_level < 3) e = (int32_t)skip < skip_early_threshold_table[qp_row(node->qp)][d->depth];
    else e = !skip_threshold_off && skip < (((uint64_t)k * node->lambda_sse) >> shift);
    if ((st->speed_level < 1 || d->log2 == 6) && small_motion(pu)) e = e || st->cu_last_distortion < bound;
    if (ctx->ctu.speed_step >= 3 && skip < COST_INFINITE) e = 1;
    d->early_skip = e;
}

bool inter_intra_possible(const inter_cu_decision *d)
{
    const ctu_context *c = &d->ctx->ctu;
    if (d->log2 == 6 || d->early_skip || !c->intra_enabled) return false;
    return c->speed_step < 2 || d->log2 == 3;
}

bool inter_lowres_intra_best(const inter_cu_decision *d, int32_t past, int32_t future)
{
    const uint32_t *costs = d->ctx->fi->pic.source_picture->lowres_costs[past][future];
    return costs && (costs[d->lowres_block] >> 28) == 0;
}

bool inter_activity_low(const inter_cu_decision *d)
{
    uint32_t hv = d->st->activity.grad_hv[activity_entry(d->size, d->x, d->y)];
    return (int64_t)hv <= (int64_t)(0.7 * d->node->motion_cost);
}

bool inter_merge_close_call(inter_cu_decision *d, uint64_t inter_cost, bool allowed)
{
    mode_search_state *st = d->st;
    cu_node *node = d->node;
    uint64_t merge = node->motion_cost, lambda2 = 2 * (uint64_t)node->lambda_satd;
    st->merge_residual_tried = allowed && st->inter_search_level > 1 && d->best >= 0 && inter_cost < COST_INFINITE &&
                               merge < ((3 * inter_cost) >> 1) + lambda2 && inter_cost < ((3 * merge) >> 1) + lambda2;
    if (!st->merge_residual_tried) return false;
    rate_restore(d->ctx, d->depth);
    inter_pu_take_merge(d, d->best, 1);
    cu_tree_commit(d->ctx, d->tree, d->z, d->x, d->y, d->log2);
    node->best_merge_cost = rd_cu_cost_with_residual(d->ctx, node, d->z, d->x, d->y, d->log2);
    return true;
}

uint32_t inter_mvd_cost(const inter_cu_decision *d, const int16_t mvd[2])
{
    const me_context *me = d->st->me;
    const uint16_t *table = me_cost_table(me, d->node->qp);
    return me_component_cost(table, me->mv_cost_limit, mvd[0]) + me_component_cost(table, me->mv_cost_limit, mvd[1]);
}

me_result inter_search_ref(inter_cu_decision *d, pu_desc *pu, int32_t list, int32_t ref, int32_t parent_ref,
                           uint32_t bound)
{
    row_context *ctx = d->ctx;
    ctu_motion_grid *g = &ctx->ctu.motion;
    g->ref_idx[list][d->unit] = (int8_t)ref;
    pu->list = list;
    pu->ref_idx = (int8_t)ref;
    pu->amvp_count = amvp_build_list(ctx, d->z, d->x, d->y, d->size, d->size, d->depth, list, pu->amvp);
    int32_t thorough = ref == 0 || ref == g->ref_idx[list][d->unit - 1] ||
                       ref == g->ref_idx[list][d->unit - CTU_MAP8_STRIDE] || ref == parent_ref;
    me_result r;
    motion_search_full(ctx, d->st->me, &r, pu, d->node->qp, bound, 0, thorough);
    return r;
}

static int32_t inter_leaf_code(inter_cu_decision *d, int32_t true_b)
{
    row_context *ctx = d->ctx;
    cu_node *node = d->node;
    rate_restore(ctx, d->depth);
    if (d->st->intra_rd_flag) {
        leaf_against_intra(d);
        return 0;
    }
    node->pred_mode = node->motion_cost >= node->intra_rough_cost ? 1 : 0;
    cu_tree_commit(ctx, d->tree, d->z, d->x, d->y, d->log2);
    int32_t require = node->pred_mode == 0 && node->pu_2nx2n.merge_flag;
    if (d->log2 == 6 && d->st->speed_level <= 2 && !d->coarse) {
        if (leaf64_code(d, true_b, require)) return 1;
    } else {
        node->leaf_cost = rd_cu_cost_residual_test(ctx, node, d->z, d->x, d->y, d->log2, require);
    }
    if (require && node->leaf_cost == COST_INFINITE && node->best_skip_cost == COST_INFINITE) leaf_becomes_skip(d);
    node->node_cbf = ctx->ctu.decision.cbf_flags[node_index(d->z, d->log2)];
    return 0;
}

static void inter_final_choice(inter_cu_decision *d)
{
    cu_node *node = d->node;
    if (d->st->merge_residual_tried && node->leaf_cost > node->best_merge_cost) {
        node->leaf_cost = node->best_merge_cost;
        node->pred_mode = 0;
        node->residual_mode = 0;
        node->skip_flag = 0;
        inter_pu_take_merge(d, d->best, 1);
        node->node_cbf = 7;
    }
    if (node->leaf_cost > node->best_skip_cost) {
        skip_wins(d);
        return;
    }
    node->state_stale = leaf_stale(d);
}

static void inter_early_skip_finish(inter_cu_decision *d)
{
    cu_node *node = d->node;
    node->skip_flag = 1;
    node->node_cbf = 0;
    node->state_stale = 0;
    node->leaf_cost = node->best_skip_cost;
    if (d->alternative >= 0) alternative_retry(d);
}

bool inter_motion_stage_due(inter_cu_decision *d)
{
    d->st->merge_residual_tried = 0;
    d->node->best_merge_cost = COST_INFINITE;
    return !d->early_skip && !(d->node->intra_score >= 512 && d->node->best_skip_cost < COST_INFINITE);
}

void inter_decide_finish(inter_cu_decision *d, bool try_intra, int32_t true_b)
{
    cu_node *node = d->node;
    node->intra_rough_cost = node->intra_cost = COST_INFINITE;
    if (try_intra) intra_decide_in_inter(d->ctx, d->tree, d->z, d->x, d->y, d->log2);
    if (d->early_skip) {
        inter_early_skip_finish(d);
        return;
    }
    if (inter_leaf_code(d, true_b)) return;
    inter_final_choice(d);
}
