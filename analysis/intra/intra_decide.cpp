// Intra CU decision of I slices on the rate-distortion path: a rough stage
// ranks the luma modes by a Hadamard-domain cost of their predictions plus
// weighted mode bits, an RD stage codes the short list; the chroma mode is
// chosen the same way. Leaves the node, the maps, the work planes and the
// rate estimate in the state of the chosen coding.
#include "analysis/mode_search.h"
#include "analysis/speed_levels.h"

#include <cstring>

namespace {

struct mode_place {
    int32_t mode;
    uint32_t cost;
};

void list_clear(mode_place *list, int32_t places)
{
    for (int32_t i = 0; i < places; i++) {
        list[i].mode = -1;
        list[i].cost = COST_INFINITE;
    }
}

// Inserts before the first place of strictly greater cost, dropping the last.
void list_insert(mode_place *list, int32_t k, int32_t mode, uint32_t cost)
{
    // The list is in order of cost: most modes fail the last place and stop here.
    if (k <= 0 || !(cost < list[k - 1].cost)) return;
    for (int32_t p = 0; p < k; p++) {
        if (cost < list[p].cost) {
            for (int32_t q = k - 1; q > p; q--) list[q] = list[q - 1];
            list[p].mode = mode;
            list[p].cost = cost;
            return;
        }
    }
}

bool list_has(const mode_place *list, int32_t k, int32_t mode)
{
    for (int32_t p = 0; p < k; p++)
        if (list[p].mode == mode) return true;
    return false;
}

void price_bin(cabac_encoder *c, int32_t slot, int32_t bin)
{
    uint32_t s = c->rate.ctx[slot];
    c->rate.est_bits += cabac_bits_table[s ^ (uint32_t)bin];
    c->rate.ctx[slot] = cabac_next_state_table[2 * s + (uint32_t)bin];
}

// intra_chroma_pred_mode: bin 0 for the derived mode, else bin 1 and two
// bypass bits.
uint32_t price_chroma_mode(row_context *ctx, int32_t candidate)
{
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->rate.est_bits;
    price_bin(c, ctx_intra_chroma_pred_mode, candidate != chroma_mode_from_luma);
    if (candidate != chroma_mode_from_luma) c->rate.est_bits += 512;
    return c->rate.est_bits - before;
}

struct decide_frame {
    row_context *ctx;
    mode_search_state *st;
    cu_node *node;
    int32_t z, x, y, log2, n, depth, qp;
    pair_metric_fn luma_metric, chroma_metric;
};

uint32_t luma_rough(const decide_frame *f)
{
    const ctu_context *c = &f->ctx->ctu;
    return f->luma_metric(c->source_luma + f->y * CTU_SOURCE_STRIDE + f->x, CTU_SOURCE_STRIDE,
                          c->recon_luma + f->y * CTU_WORK_STRIDE + f->x, CTU_WORK_STRIDE);
}

// One RD trial of a luma mode; returns its cost and leaves its coding live.
uint32_t luma_trial(decide_frame *f, int32_t mode)
{
    row_context *ctx = f->ctx;
    int8_t *entry = &ctx->ctu.intra_modes[map4_index(f->z)];
    f->node->intra_mode = mode;
    rate_restore(ctx, f->depth);
    *entry = (int8_t)mode;
    uint32_t r = rd_luma_tu_cost(ctx, f->node->lambda_sse, f->z, f->x, f->y, f->log2, 1);
    *entry = (int8_t)mode;
    uint32_t before = ctx->cabac.rate.est_bits;
    rate_intra_luma_mode(ctx, f->z, f->log2);
    return r + rate_term(ctx->cabac.rate.est_bits - before, f->node->lambda_sse);
}

// What a luma trial of a CU up to 32x32 leaves behind: reconstruction,
// coefficients and levels, coded-block flags and rate state. The best trial's
// is kept so that it is put back, not coded again, when a later trial was not
// the best: a trial repeats exactly from the same saved rate state.
enum { TRIAL_KEEP_MAX = 32 };

struct trial_keep {
    uint8_t recon[TRIAL_KEEP_MAX * TRIAL_KEEP_MAX];
    int16_t coeff[TRIAL_KEEP_MAX * TRIAL_KEEP_MAX], levels[TRIAL_KEEP_MAX * TRIAL_KEEP_MAX];
    uint8_t cbf;
    cabac_rate_state rate;
};

bool trial_keepable(int32_t log2_size)
{
    return (1 << log2_size) <= TRIAL_KEEP_MAX;
}

void trial_save(const decide_frame *f, trial_keep *k)
{
    row_context *ctx = f->ctx;
    int32_t n = 1 << f->log2;
    const uint8_t *src = ctx->ctu.recon_luma + f->y * CTU_WORK_STRIDE + f->x;
    for (int32_t r = 0; r < n; r++) std::memcpy(k->recon + r * n, src + r * CTU_WORK_STRIDE, (size_t)n);
    std::memcpy(k->coeff, f->st->tu_coeffs[0] + 16 * f->z, sizeof(int16_t) * (size_t)(n * n));
    std::memcpy(k->levels, f->st->tu_levels[0] + 16 * f->z, sizeof(int16_t) * (size_t)(n * n));
    k->cbf = ctx->ctu.decision.cbf_flags[f->n];
    k->rate = ctx->cabac.rate;
}

// Puts back the kept luma block and its coded-block flag; the caller puts
// back what it needs of the rate state.
void trial_restore_luma(const decide_frame *f, const trial_keep *k)
{
    row_context *ctx = f->ctx;
    int32_t n = 1 << f->log2;
    uint8_t *dst = ctx->ctu.recon_luma + f->y * CTU_WORK_STRIDE + f->x;
    for (int32_t r = 0; r < n; r++) std::memcpy(dst + r * CTU_WORK_STRIDE, k->recon + r * n, (size_t)n);
    std::memcpy(f->st->tu_coeffs[0] + 16 * f->z, k->coeff, sizeof(int16_t) * (size_t)(n * n));
    std::memcpy(f->st->tu_levels[0] + 16 * f->z, k->levels, sizeof(int16_t) * (size_t)(n * n));
    uint8_t *cbf = &ctx->ctu.decision.cbf_flags[f->n];
    *cbf = (uint8_t)((*cbf & ~1) | (k->cbf & 1));
}

// One RD trial of a chroma candidate.
uint32_t chroma_trial(decide_frame *f, int32_t candidate)
{
    row_context *ctx = f->ctx;
    f->node->chroma_mode = candidate;
    rate_restore(ctx, f->depth);
    ctx->ctu.intra_modes[chroma_map_index(f->z >> 2)] = (int8_t)candidate;
    uint32_t r = rd_chroma_tu_cost(ctx, f->node->lambda_sse, f->z, f->x, f->y, f->log2, 1);
    return r + rate_term(price_chroma_mode(ctx, candidate), f->node->lambda_sse);
}

// What a chroma trial leaves behind, both planes, kept for the best listed
// candidate: the derived mode is tried last, so a listed winner is put back
// instead of being coded again.
struct chroma_keep {
    uint8_t recon[2][(TRIAL_KEEP_MAX / 2) * (TRIAL_KEEP_MAX / 2)];
    int16_t coeff[2][(TRIAL_KEEP_MAX / 2) * (TRIAL_KEEP_MAX / 2)];
    int16_t levels[2][(TRIAL_KEEP_MAX / 2) * (TRIAL_KEEP_MAX / 2)];
    uint8_t cbf;
    cabac_rate_state rate;
};

// The chroma block of the CU (of its 8x8 area for a 4x4 CU): work-plane
// offset, size and first 4x4 unit.
void chroma_block_of(const decide_frame *f, int32_t *offset, int32_t *cn, int32_t *zc)
{
    *offset = ((f->y & ~7) / 2) * CTU_WORK_STRIDE + (f->x & ~7) / 2;
    *cn = f->log2 == 2 ? 4 : (1 << f->log2) / 2;
    *zc = f->log2 == 2 ? f->z & ~3 : f->z;
}

void chroma_save(const decide_frame *f, chroma_keep *k)
{
    if (!trial_keepable(f->log2)) return;
    row_context *ctx = f->ctx;
    int32_t offset, cn, zc;
    chroma_block_of(f, &offset, &cn, &zc);
    for (int32_t p = 0; p < 2; p++) {
        const uint8_t *src = ctx->ctu.recon_chroma + p * 64 + offset;
        for (int32_t r = 0; r < cn; r++) std::memcpy(k->recon[p] + r * cn, src + r * CTU_WORK_STRIDE, (size_t)cn);
        std::memcpy(k->coeff[p], f->st->tu_coeffs[p + 1] + 4 * zc, sizeof(int16_t) * (size_t)(cn * cn));
        std::memcpy(k->levels[p], f->st->tu_levels[p + 1] + 4 * zc, sizeof(int16_t) * (size_t)(cn * cn));
    }
    k->cbf = ctx->ctu.decision.cbf_flags[f->n];
    k->rate = ctx->cabac.rate;
}

// Puts back the kept chroma blocks and their coded-block flags; the caller
// puts back what it needs of the rate state.
void chroma_restore(const decide_frame *f, const chroma_keep *k)
{
    row_context *ctx = f->ctx;
    int32_t offset, cn, zc;
    chroma_block_of(f, &offset, &cn, &zc);
    for (int32_t p = 0; p < 2; p++) {
        uint8_t *dst = ctx->ctu.recon_chroma + p * 64 + offset;
        for (int32_t r = 0; r < cn; r++) std::memcpy(dst + r * CTU_WORK_STRIDE, k->recon[p] + r * cn, (size_t)cn);
        std::memcpy(f->st->tu_coeffs[p + 1] + 4 * zc, k->coeff[p], sizeof(int16_t) * (size_t)(cn * cn));
        std::memcpy(f->st->tu_levels[p + 1] + 4 * zc, k->levels[p], sizeof(int16_t) * (size_t)(cn * cn));
    }
    uint8_t *cbf = &ctx->ctu.decision.cbf_flags[f->n];
    *cbf = (uint8_t)((*cbf & ~6) | (k->cbf & 6));
}

// Rough ranking of chroma candidates 0..3 into a list of kc places.
void chroma_rough_stage(decide_frame *f, mode_place *list, int32_t kc)
{
    row_context *ctx = f->ctx;
    list_clear(list, kc);
    for (int32_t j = 0; j < chroma_mode_from_luma; j++) {
        f->node->chroma_mode = j;
        ctx->ctu.intra_modes[chroma_map_index(f->z >> 2)] = (int8_t)j;
        tu_predict(ctx, f->z, f->x, f->y, f->log2, f->qp, TU_CHROMA);
        uint32_t cost = chroma_rough_cost(&ctx->ctu, f->x, f->y, f->chroma_metric);
        f->node->chroma_rough_cost[j] = cost;
        list_insert(list, kc, j, cost);
        f->st->intra_ref_refresh = 0;
    }
}

// Best chroma candidate: the listed ones by strict comparison, then the
// derived mode, which wins a tie.
int32_t chroma_rd_stage(decide_frame *f, const mode_place *list, int32_t kc, chroma_keep *keep)
{
    int32_t best = 4;
    uint32_t best_cost = COST_INFINITE;
    for (int32_t p = 0; p < kc && list[p].mode >= 0; p++) {
        uint32_t cost = chroma_trial(f, list[p].mode);
        if (cost < best_cost) {
            best_cost = cost;
            best = list[p].mode;
            chroma_save(f, keep);
        }
    }
    if (chroma_trial(f, 4) <= best_cost) best = 4;
    return best;
}

void set_up(decide_frame *f, row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2)
{
    f->ctx = ctx;
    f->st = search_state(ctx);
    f->z = z;
    f->x = x;
    f->y = y;
    f->log2 = log2;
    f->n = node_index(z, log2);
    f->node = &tree[f->n];
    f->depth = 6 - log2;
    f->qp = f->node->qp;
    const metric_table *mt = &ctx->enc->metric;
    int32_t d = f->depth;
    if (log2 == 2) {
        f->luma_metric = mt->satd[4];
    } else {
        f->luma_metric = ranks_by_cost_metric(f->st->speed_level) ? mt->cost_metric[d] : mt->sa8d_sub[d];
    }
    if (log2 >= 4)
        f->chroma_metric = ranks_by_cost_metric(f->st->speed_level) ? mt->cost_metric[d + 1] : mt->sa8d_sub[d + 1];
    else f->chroma_metric = mt->satd[4];
}

}  // namespace

void cu_decide_i(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    decide_frame f;
    set_up(&f, ctx, tree, z, x, y, log2_size);
    mode_search_state *st = f.st;
    ctu_context *c = &ctx->ctu;
    cu_node *node = f.node;
    int32_t size = 1 << log2_size;

    if (log2_size >= 3) map_fill_block((uint8_t *)&c->maps.cu_depth_map[map8_index(z)], size / 8, size / 8, 1, 6 - log2_size);
    else if ((z & 3) == 0) c->maps.cu_depth_map[map8_index(z)] = 3;

    int32_t k = log2_size <= 3 ? 4 : 3, kc = 1;
    if (c->speed_step == 1 || c->speed_step == 2) k = kc = 2;
    else if (c->speed_step >= 3) k = 1;
    if (f.depth >= 2) node->intra_mode_hint = tree[(f.n - 1) >> 2].intra_mode;
    if (node->intra_mode_hint != -1) k = k - 1 > 1 ? k - 1 : 1;

    node->split = 0;
    node->tu_split = 0;
    node->pred_mode = 1;
    node->part_mode = 0;
    node->chroma_mode = chroma_mode_from_luma;
    node->node_cbf = 7;
    node->intra_cbf = 0;
    mode_place list[5], clist[2];
    list_clear(list, 5);
    cu_tree_commit(ctx, tree, z, x, y, log2_size);

    int32_t mpm[3];
    intra_mpm_modes(ctx, z, mpm);
    uint8_t on[INTRA_MODE_COUNT];
    int32_t representative = -1;
    intra_mode_preselect(ctx, on, &representative, log2_size, x, y);
    on[mpm[0]] = on[mpm[1]] = on[mpm[2]] = 1;
    if (node->intra_mode_hint >= 0) on[node->intra_mode_hint] = 1;

    // Rough stage: predictions only, Hadamard cost plus weighted mode bits.
    int8_t *entry = &c->intra_modes[map4_index(z)];
    luma_mode_predictor lp;
    const bool direct = luma_mode_predictor_init(ctx, z, x, y, log2_size, &lp);
    for (int32_t m = 0; m < INTRA_MODE_COUNT; m++) {
        if (!on[m]) {
            node->mode_rough_cost[m] = representative >= 0 ? node->mode_rough_cost[representative] : COST_INFINITE;
            continue;
        }
        *entry = (int8_t)m;
        if (direct) luma_mode_predict(&lp, m);
        else tu_predict(ctx, z, x, y, log2_size, f.qp, TU_LUMA);
        uint32_t w = m == mpm[0] ? 2 : (m == mpm[1] || m == mpm[2] ? 3 : 6);
        uint32_t rough = luma_rough(&f) + node->lambda_satd * w;
        node->mode_rough_cost[m] = rough;
        list_insert(list, k, m, rough);
        st->intra_ref_refresh = 0;
    }

    // Most probable modes close to the best rough cost join the list.
    const uint32_t *rc = node->mode_rough_cost;
    if (log2_size <= 3) {
        for (int32_t i = 0; i < 3; i++) {
            if (3 * (uint64_t)list[0].cost <= 2 * (uint64_t)rc[mpm[i]] || list_has(list, k, mpm[i])) continue;
            for (int32_t p = k - 1; p >= 0; p--) {
                int32_t pm = list[p].mode;
                if (pm != mpm[0] && pm != mpm[1] && pm != mpm[2]) {
                    list[p].mode = mpm[i];
                    break;
                }
            }
        }
    } else {
        int32_t b = rc[mpm[1]] <= rc[mpm[0]] ? mpm[1] : mpm[0];
        if (rc[mpm[2]] < rc[b]) b = mpm[2];
        if (3 * (uint64_t)list[0].cost > 2 * (uint64_t)rc[b] && !list_has(list, k, b)) list[k - 1].mode = b;
    }
    int32_t places = k;
    if (node->intra_mode_hint >= 0 && !list_has(list, k, node->intra_mode_hint)) {
        list[k].mode = node->intra_mode_hint;
        places = k + 1;
    }

    // RD stage, from the back so that the front wins a tie. The best mode
    // starts as place 0's: a CU never keeps an unevaluated mode even when
    // every cost saturates.
    uint32_t best = COST_INFINITE;
    int32_t best_mode = list[0].mode;
    trial_keep keep;
    const bool keepable = trial_keepable(log2_size);
    for (int32_t p = places - 1; p >= 0; p--) {
        if (list[p].mode < 0) continue;
        uint32_t cost = luma_trial(&f, list[p].mode);
        if (cost <= best) {
            best = cost;
            best_mode = list[p].mode;
            if (keepable && p > 0) trial_save(&f, &keep);
        }
    }
    const bool luma_stale = best_mode != list[0].mode;
    // A 4x4 CU leaves the best mode's coding live: its chroma and the next
    // blocks build on it.
    if (log2_size == 2 && luma_stale) {
        trial_restore_luma(&f, &keep);
        ctx->cabac.rate = keep.rate;
    }
    // The quantiser's luma model state after the best mode's trial.
    const cabac_rate_state *luma_after = luma_stale ? &keep.rate : &ctx->cabac.rate;
    uint8_t luma_sig = luma_after->rdoq_sig_state[0], luma_gt1 = luma_after->rdoq_gt1_state[0];
    // The chroma stages clear the flags; the best mode's luma flag is kept here.
    uint8_t luma_cbf = luma_stale ? (uint8_t)(keep.cbf & 1) : (uint8_t)(c->decision.cbf_flags[f.n] & 1);
    chroma_keep ckeep;
    node->intra_cbf |= c->decision.cbf_flags[f.n] & 1;
    st->intra_ref_refresh = 1;
    map_fill_rect((uint8_t *)entry, size / 4, size / 4, (uint8_t)best_mode);
    node->intra_mode = best_mode;
    node->intra_cost = best;
    if (log2_size == 2 && (z & 3) < 3) return;

    uint8_t *chroma_entry = (uint8_t *)&c->intra_modes[chroma_map_index(z >> 2)];
    if (log2_size == 2) {
        // The 4x4 chroma of an NxN 8x8 CU, decided at its fourth block.
        chroma_rough_stage(&f, clist, kc);
        int32_t chosen = chroma_rd_stage(&f, clist, kc, &ckeep);
        if (chosen != 4) {
            chroma_restore(&f, &ckeep);
            ctx->cabac.rate = ckeep.rate;
        }
        st->intra_ref_refresh = 1;
        node->intra_cbf |= c->decision.cbf_flags[f.n] & 6;
        c->decision.cbf_flags[f.n] = node->intra_cbf;
        node->chroma_mode = chosen;
        *chroma_entry = (uint8_t)chosen;
        return;
    }

    chroma_rough_stage(&f, clist, kc);
    int32_t chosen = chroma_rd_stage(&f, clist, kc, &ckeep);
    if (chosen == 4) node->intra_cbf |= c->decision.cbf_flags[f.n] & 6;
    st->intra_ref_refresh = 1;
    node->chroma_mode = chosen;
    node->state_stale = 0;
    // The quantiser's chroma model state after the chosen candidate's trial
    // (the derived mode's is the last one), as coding the CU again leaves it.
    const cabac_rate_state *chroma_after = chosen != 4 ? &ckeep.rate : &ctx->cabac.rate;
    uint8_t chroma_sig = chroma_after->rdoq_sig_state[1], chroma_gt1 = chroma_after->rdoq_gt1_state[1];
    rate_restore(ctx, f.depth);
    map_fill_rect(chroma_entry, size / 8, size / 8, (uint8_t)chosen);

    int32_t old = st->use_rdoq_alt;
    st->use_rdoq_alt = old | intra_wants_rdoq_alt(st->speed_level, st->pick_mode);
    if (st->use_rdoq_alt == old && !luma_stale && chosen == chroma_mode_from_luma) {
        c->decision.cbf_flags[f.n] = node->intra_cbf;
        node->intra_cost = rd_cu_cost_current(ctx, node->lambda_sse, z, x, y, log2_size);
    } else if (st->use_rdoq_alt == old && keepable) {
        // The kept trials are what coding the CU again would give: luma and
        // chroma quantise from the same saved rate state, each moving only
        // its own model state.
        if (luma_stale) trial_restore_luma(&f, &keep);
        if (chosen != 4) chroma_restore(&f, &ckeep);
        c->decision.cbf_flags[f.n] = (uint8_t)((c->decision.cbf_flags[f.n] & ~1) | luma_cbf);
        ctx->cabac.rate.rdoq_sig_state[0] = luma_sig;
        ctx->cabac.rate.rdoq_gt1_state[0] = luma_gt1;
        ctx->cabac.rate.rdoq_sig_state[1] = chroma_sig;
        ctx->cabac.rate.rdoq_gt1_state[1] = chroma_gt1;
        st->cu_last_distortion = rd_cu_distortion(ctx, x, y, log2_size, st->ctu_qp);
        node->intra_cost = rd_cu_cost_current(ctx, node->lambda_sse, z, x, y, log2_size);
        node->intra_cbf = c->decision.cbf_flags[f.n];
    } else {
        node->intra_cost = rd_cu_cost(ctx, node->lambda_sse, z, x, y, log2_size, 0, 0);
        node->intra_cbf = c->decision.cbf_flags[f.n];
    }
    st->use_rdoq_alt = old;
}
