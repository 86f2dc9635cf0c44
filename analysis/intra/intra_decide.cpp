// Intra CU decision of I slices on the rate-distortion path: a rough stage
// ranks the luma modes by a Hadamard-domain cost of their predictions plus
// weighted mode bits, an RD stage codes the short list; the chroma mode is
// chosen the same way. Leaves the node, the maps, the work planes and the
// rate estimate in the state of the chosen coding.
#include "analysis/mode_search.h"
#include "bitstream/cabac_estimate.h"
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

uint32_t price_chroma_mode(row_context *ctx, int32_t candidate)
{
    cabac_encoder *c = &ctx->cabac;
    uint32_t before = c->rate.est_bits;
    rate_est_intra_chroma_mode(c, candidate != chroma_mode_from_luma);
    return c->rate.est_bits - before;
}

struct decide_frame {
    row_context *ctx;
    mode_search_state *st;
    cu_node *node;
    int32_t z, x, y, log2, n, depth, qp;
    int32_t k, kc;   // places of the luma and chroma short lists
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

// A 4x4 CU shares its 8x8 unit of the depth map: the first of the four marks it.
void mark_depth(const decide_frame *f)
{
    ctu_context *c = &f->ctx->ctu;
    int32_t size = 1 << f->log2;
    if (f->log2 >= 3) map_fill_block((uint8_t *)&c->maps.cu_depth_map[map8_index(f->z)], size / 8, size / 8, 1, 6 - f->log2);
    else if ((f->z & 3) == 0) c->maps.cu_depth_map[map8_index(f->z)] = 3;
}

// The faster speed steps code fewer modes; a CU that has its parent's mode
// to try ranks one place fewer, the parent's mode taking a place of its own.
void list_lengths(decide_frame *f, const cu_node *tree)
{
    int32_t step = f->ctx->ctu.speed_step;
    cu_node *node = f->node;
    int32_t k = f->log2 <= 3 ? 4 : 3, kc = 1;
    if (step == 1 || step == 2) k = kc = 2;
    else if (step >= 3) k = 1;
    if (f->depth >= 2) node->intra_mode_hint = tree[(f->n - 1) >> 2].intra_mode;
    if (node->intra_mode_hint != -1) k = k - 1 > 1 ? k - 1 : 1;
    f->k = k;
    f->kc = kc;
}

// The node as a 2Nx2N leaf with the derived chroma mode, committed so that
// the predictions and the rate estimate read its maps.
void node_reset(const decide_frame *f, cu_node *tree)
{
    cu_node *node = f->node;
    node->split = 0;
    node->tu_split = 0;
    node->pred_mode = 1;
    node->part_mode = 0;
    node->chroma_mode = chroma_mode_from_luma;
    node->node_cbf = 7;
    node->intra_cbf = 0;
    cu_tree_commit(f->ctx, tree, f->z, f->x, f->y, f->log2);
}

// The luma short list: k places in order of rough cost, one more for the
// parent's mode; the RD stage codes the first 'places'.
struct luma_list {
    mode_place place[5];
    int32_t mpm[3];
    int32_t places;
};

// The modes the rough stage ranks: the preselected ones, the most probable
// modes and the parent's mode. Returns the representative whose rough cost
// the modes left out take, or -1.
int32_t modes_to_rank(const decide_frame *f, const int32_t mpm[3], uint8_t on[INTRA_MODE_COUNT])
{
    int32_t representative = -1;
    intra_mode_preselect(f->ctx, on, &representative, f->log2, f->x, f->y);
    on[mpm[0]] = on[mpm[1]] = on[mpm[2]] = 1;
    if (f->node->intra_mode_hint >= 0) on[f->node->intra_mode_hint] = 1;
    return representative;
}

// Rough stage: predictions only, Hadamard cost plus weighted mode bits.
void luma_rough_stage(decide_frame *f, luma_list *l)
{
    row_context *ctx = f->ctx;
    cu_node *node = f->node;
    list_clear(l->place, 5);
    intra_mpm_modes(ctx, f->z, l->mpm);
    uint8_t on[INTRA_MODE_COUNT];
    int32_t representative = modes_to_rank(f, l->mpm, on);
    int8_t *entry = &ctx->ctu.intra_modes[map4_index(f->z)];
    luma_mode_predictor lp;
    const bool direct = luma_mode_predictor_init(ctx, f->z, f->x, f->y, f->log2, &lp);
    for (int32_t m = 0; m < INTRA_MODE_COUNT; m++) {
        if (!on[m]) {
            node->mode_rough_cost[m] = representative >= 0 ? node->mode_rough_cost[representative] : COST_INFINITE;
            continue;
        }
        *entry = (int8_t)m;
        if (direct) luma_mode_predict(&lp, m);
        else tu_predict(ctx, f->z, f->x, f->y, f->log2, f->qp, TU_LUMA);
        uint32_t rough = luma_rough(f) + node->lambda_satd * intra_mode_bins(l->mpm, m);
        node->mode_rough_cost[m] = rough;
        list_insert(l->place, f->k, m, rough);
        f->st->intra_ref_refresh = 0;
    }
}

// A most probable mode within 1.5 times the best rough cost joins the list:
// up to 8x8 each such mode in place of the last listed mode that is not
// most probable, above 8x8 the cheapest of the three in the last place.
void mpm_join(const decide_frame *f, luma_list *l)
{
    const uint32_t *rc = f->node->mode_rough_cost;
    const int32_t *mpm = l->mpm;
    mode_place *list = l->place;
    int32_t k = f->k;
    if (f->log2 > 3) {
        int32_t b = rc[mpm[1]] <= rc[mpm[0]] ? mpm[1] : mpm[0];
        if (rc[mpm[2]] < rc[b]) b = mpm[2];
        if (3 * (uint64_t)list[0].cost > 2 * (uint64_t)rc[b] && !list_has(list, k, b)) list[k - 1].mode = b;
        return;
    }
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
}

// The parent's mode takes the extra place when the list lacks it.
void hint_join(const decide_frame *f, luma_list *l)
{
    int32_t hint = f->node->intra_mode_hint;
    l->places = f->k;
    if (hint >= 0 && !list_has(l->place, f->k, hint)) {
        l->place[f->k].mode = hint;
        l->places = f->k + 1;
    }
}

// The best luma trial. Once the chroma trials have moved the state on, the
// final cost still needs its luma flag and the quantiser's luma model state
// after it; 'stale' says the best trial was not the last, its coding then
// being in 'keep'.
struct luma_choice {
    uint32_t cost;
    int32_t mode;
    bool stale;
    uint8_t sig, gt1, cbf;
    trial_keep keep;
};

// RD stage, from the back so that the front wins a tie. The best mode
// starts as place 0's: a CU never keeps an unevaluated mode even when
// every cost saturates.
void luma_rd_stage(decide_frame *f, const luma_list *l, luma_choice *b)
{
    const mode_place *list = l->place;
    b->cost = COST_INFINITE;
    b->mode = list[0].mode;
    const bool keepable = trial_keepable(f->log2);
    for (int32_t p = l->places - 1; p >= 0; p--) {
        if (list[p].mode < 0) continue;
        uint32_t cost = luma_trial(f, list[p].mode);
        if (cost <= b->cost) {
            b->cost = cost;
            b->mode = list[p].mode;
            if (keepable && p > 0) trial_save(f, &b->keep);
        }
    }
    b->stale = b->mode != list[0].mode;
}

// Records the best luma mode in the node and the maps. A 4x4 CU leaves its
// coding live: its chroma and the next blocks build on it.
void luma_settle(decide_frame *f, luma_choice *b)
{
    row_context *ctx = f->ctx;
    ctu_context *c = &ctx->ctu;
    cu_node *node = f->node;
    if (f->log2 == 2 && b->stale) {
        trial_restore_luma(f, &b->keep);
        ctx->cabac.rate = b->keep.rate;
    }
    const cabac_rate_state *after = b->stale ? &b->keep.rate : &ctx->cabac.rate;
    b->sig = after->rdoq_sig_state[0];
    b->gt1 = after->rdoq_gt1_state[0];
    // The chroma stages clear the flags; the best mode's luma flag is kept here.
    b->cbf = b->stale ? (uint8_t)(b->keep.cbf & 1) : (uint8_t)(c->decision.cbf_flags[f->n] & 1);
    node->intra_cbf |= c->decision.cbf_flags[f->n] & 1;
    f->st->intra_ref_refresh = 1;
    int32_t size = 1 << f->log2;
    map_fill_rect((uint8_t *)&c->intra_modes[map4_index(f->z)], size / 4, size / 4, (uint8_t)b->mode);
    node->intra_mode = b->mode;
    node->intra_cost = b->cost;
}

// The chroma candidates ranked and tried; returns the chosen one, whose
// coding is in 'keep' unless it is the derived mode (tried last, so live).
int32_t chroma_search(decide_frame *f, chroma_keep *keep)
{
    mode_place list[2];
    chroma_rough_stage(f, list, f->kc);
    return chroma_rd_stage(f, list, f->kc, keep);
}

// The 4x4 chroma of an NxN 8x8 CU, decided at its fourth block and left
// live, as the luma of its blocks is.
void chroma_decide_nxn(decide_frame *f)
{
    row_context *ctx = f->ctx;
    ctu_context *c = &ctx->ctu;
    cu_node *node = f->node;
    chroma_keep keep;
    int32_t chosen = chroma_search(f, &keep);
    if (chosen != 4) {
        chroma_restore(f, &keep);
        ctx->cabac.rate = keep.rate;
    }
    f->st->intra_ref_refresh = 1;
    node->intra_cbf |= c->decision.cbf_flags[f->n] & 6;
    c->decision.cbf_flags[f->n] = node->intra_cbf;
    node->chroma_mode = chosen;
    *(uint8_t *)&c->intra_modes[chroma_map_index(f->z >> 2)] = (uint8_t)chosen;
}

// The chosen chroma candidate, and the quantiser's chroma model state after
// its trial (the derived mode's is the last one), as coding the CU again
// leaves it.
struct chroma_choice {
    int32_t mode;
    uint8_t sig, gt1;
    chroma_keep keep;
};

// The chroma of a CU of 8x8 or more; leaves the rate state at the CU's start
// for the final cost.
void chroma_decide(decide_frame *f, chroma_choice *ch)
{
    row_context *ctx = f->ctx;
    ctu_context *c = &ctx->ctu;
    cu_node *node = f->node;
    ch->mode = chroma_search(f, &ch->keep);
    if (ch->mode == 4) node->intra_cbf |= c->decision.cbf_flags[f->n] & 6;
    f->st->intra_ref_refresh = 1;
    node->chroma_mode = ch->mode;
    node->state_stale = 0;
    const cabac_rate_state *after = ch->mode != 4 ? &ch->keep.rate : &ctx->cabac.rate;
    ch->sig = after->rdoq_sig_state[1];
    ch->gt1 = after->rdoq_gt1_state[1];
    rate_restore(ctx, f->depth);
    int32_t size = 1 << f->log2;
    map_fill_rect((uint8_t *)&c->intra_modes[chroma_map_index(f->z >> 2)], size / 8, size / 8, (uint8_t)ch->mode);
}

// The kept trials are what coding the CU again would give: luma and chroma
// quantise from the same saved rate state, each moving only its own model
// state.
void cost_from_kept_trials(decide_frame *f, const luma_choice *b, const chroma_choice *ch)
{
    row_context *ctx = f->ctx;
    ctu_context *c = &ctx->ctu;
    cu_node *node = f->node;
    if (b->stale) trial_restore_luma(f, &b->keep);
    if (ch->mode != 4) chroma_restore(f, &ch->keep);
    c->decision.cbf_flags[f->n] = (uint8_t)((c->decision.cbf_flags[f->n] & ~1) | b->cbf);
    ctx->cabac.rate.rdoq_sig_state[0] = b->sig;
    ctx->cabac.rate.rdoq_gt1_state[0] = b->gt1;
    ctx->cabac.rate.rdoq_sig_state[1] = ch->sig;
    ctx->cabac.rate.rdoq_gt1_state[1] = ch->gt1;
    f->st->cu_last_distortion = rd_cu_distortion(ctx, f->x, f->y, f->log2, f->st->ctu_qp);
    node->intra_cost = rd_cu_cost_current(ctx, node->lambda_sse, f->z, f->x, f->y, f->log2);
    node->intra_cbf = c->decision.cbf_flags[f->n];
}

// The CU's full cost: as it stands when its coding is live, from the kept
// trials when they are what coding it again gives, else coded again.
void final_cost(decide_frame *f, const luma_choice *b, const chroma_choice *ch)
{
    row_context *ctx = f->ctx;
    mode_search_state *st = f->st;
    ctu_context *c = &ctx->ctu;
    cu_node *node = f->node;
    int32_t old = st->use_rdoq_alt;
    st->use_rdoq_alt = old | intra_wants_rdoq_alt(st->speed_level, st->pick_mode);
    if (st->use_rdoq_alt == old && !b->stale && ch->mode == chroma_mode_from_luma) {
        c->decision.cbf_flags[f->n] = node->intra_cbf;
        node->intra_cost = rd_cu_cost_current(ctx, node->lambda_sse, f->z, f->x, f->y, f->log2);
    } else if (st->use_rdoq_alt == old && trial_keepable(f->log2)) {
        cost_from_kept_trials(f, b, ch);
    } else {
        node->intra_cost = rd_cu_cost(ctx, node->lambda_sse, f->z, f->x, f->y, f->log2, 0, 0);
        node->intra_cbf = c->decision.cbf_flags[f->n];
    }
    st->use_rdoq_alt = old;
}

}  // namespace

void cu_decide_i(row_context *ctx, cu_node *tree, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    decide_frame f;
    set_up(&f, ctx, tree, z, x, y, log2_size);
    mark_depth(&f);
    list_lengths(&f, tree);
    node_reset(&f, tree);
    luma_list l;
    luma_rough_stage(&f, &l);
    mpm_join(&f, &l);
    hint_join(&f, &l);
    luma_choice b;
    luma_rd_stage(&f, &l, &b);
    luma_settle(&f, &b);
    if (log2_size == 2) {
        if ((z & 3) == 3) chroma_decide_nxn(&f);
        return;
    }
    chroma_choice ch;
    chroma_decide(&f, &ch);
    final_cost(&f, &b, &ch);
}
