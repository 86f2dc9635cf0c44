// Transform-unit coding: prediction, residual transform and quantisation,
// coded-block flags and in-place reconstruction of one block of the CTU, for
// 4x4 to 32x32 transform units and the 64x64 CU as four 32x32 units.
#include "analysis/mode_search.h"
#include "analysis/rd/residual_memo.h"

#include <cstring>

namespace {

enum { MEMO_LOG2_WORTH = 4 };   // the smallest transform block the residual memo keeps

// QpC of qPi 0..57 (H.265 Table 8-10, 4:2:0): qPi below 30, a table up
// to 43, qPi - 6 above.
const uint8_t chroma_qp_table[58] = {
     0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
    20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 29, 30, 31, 32, 33, 33, 34, 34, 35, 35,
    36, 36, 37, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51,
};

const uint8_t chroma_candidates[4] = {0, 26, 10, 1};

struct tu_block {
    int32_t z, x, y, log2, n, qp, cqp;
    int32_t intra, luma_mode, chroma_mode;
    int32_t residual_mode;
};

int32_t chroma_mode_of(const row_context *ctx, int32_t z)
{
    const ctu_context *c = &ctx->ctu;
    int32_t luma = intra_mode_entry(c->intra_modes[map4_index(z & ~3)]);
    int32_t code = chroma_code_entry(c->intra_modes[chroma_map_index(z >> 2)]);
    if (code >= chroma_mode_from_luma) return luma;
    int32_t m = chroma_candidates[code];
    return m == luma ? INTRA_MODE_LAST : m;
}

intra_ref_ctx ref_ctx_of(row_context *ctx)
{
    intra_ref_ctx r;
    r.table = &ctx->enc->intra_pred;
    r.recon_avail_map = ctx->ctu.recon_avail;
    r.ref_area = &search_state(ctx)->ref_area;
    return r;
}

void predict_luma(row_context *ctx, const tu_block *b)
{
    mode_search_state *st = search_state(ctx);
    uint8_t *dst = ctx->ctu.recon_luma + b->y * CTU_WORK_STRIDE + b->x;
    intra_ref_ctx r = ref_ctx_of(ctx);
    if (st->intra_ref_refresh) intra_gather_ref_samples(&r, dst, b->x, b->y, b->n, 0, 1);
    const uint8_t *ref = st->ref_area.luma;
    if (b->n >= 8 && (intra_smoothing_flags[b->luma_mode] & b->n)) ref = st->ref_area.luma_smoothed;
    int32_t f = b->n <= 16 ? 1 : 0;
    ctx->enc->intra_pred.pred[b->luma_mode][f][b->log2 - 2](dst, CTU_WORK_STRIDE, ref);
}

// Chroma block of a luma block: at the block's half position, or for a 4x4
// quartet at the chroma position of its 8x8 area.
void chroma_position(const tu_block *b, int32_t *cx, int32_t *cy, int32_t *cn)
{
    *cx = (b->x & ~7) / 2;
    *cy = (b->y & ~7) / 2;
    *cn = b->log2 == 2 ? 4 : b->n / 2;
}

void predict_chroma(row_context *ctx, const tu_block *b)
{
    mode_search_state *st = search_state(ctx);
    int32_t cx, cy, cn;
    chroma_position(b, &cx, &cy, &cn);
    int32_t lx = b->log2 == 2 ? b->x & ~7 : b->x, ly = b->log2 == 2 ? b->y & ~7 : b->y;
    intra_ref_ctx r = ref_ctx_of(ctx);
    int32_t s = cn == 4 ? 0 : (cn == 8 ? 1 : 2);
    for (int32_t p = 1; p <= 2; p++) {
        uint8_t *dst = ctx->ctu.recon_chroma + (p - 1) * 64 + cy * CTU_WORK_STRIDE + cx;
        if (st->intra_ref_refresh) intra_gather_ref_samples(&r, dst, lx, ly, cn, p, 1);
        const uint8_t *ref = p == 1 ? st->ref_area.cb : st->ref_area.cr;
        ctx->enc->intra_pred.pred[b->chroma_mode][0][s](dst, CTU_WORK_STRIDE, ref);
    }
}

// One plane's transform block of a transform unit: where it lies, how it is
// transformed (k > 0: the low-frequency variant keeping k x k coefficients).
struct plane_block {
    int32_t log2, n, qp;
    int32_t mode;     // the quantiser's scan (and, for 4x4 luma, DST against DCT)
    int32_t tmode;    // what the 4x4 kernels transform with (chroma is always DCT)
    int32_t k;
    int32_t x, y;     // position in the plane's CTU area
    const uint8_t *src;
    uint8_t *pred;
    int16_t *coeff, *levels;
};

plane_block plane_block_of(row_context *ctx, const tu_block *b, int32_t plane)
{
    mode_search_state *st = search_state(ctx);
    ctu_context *c = &ctx->ctu;
    plane_block p;
    int32_t x, y, zc;
    if (plane == 0) {
        p.log2 = b->log2;
        x = b->x;
        y = b->y;
        p.n = b->n;
        p.qp = b->qp;
        p.mode = b->intra ? b->luma_mode : TRANSFORM_MODE_NONE;
        p.tmode = p.mode;
        zc = 16 * b->z;
        p.src = c->source_luma + y * CTU_SOURCE_STRIDE + x;
        p.pred = c->recon_luma + y * CTU_WORK_STRIDE + x;
    } else {
        chroma_position(b, &x, &y, &p.n);
        p.log2 = b->log2 == 2 ? 2 : b->log2 - 1;
        p.qp = b->cqp;
        p.mode = p.log2 == 2 && b->intra ? b->chroma_mode : TRANSFORM_MODE_NONE;
        p.tmode = TRANSFORM_MODE_NONE;
        zc = 4 * (b->log2 == 2 ? b->z & ~3 : b->z);
        p.src = c->source_chroma + (plane - 1) * 32 + y * CTU_SOURCE_STRIDE + x;
        p.pred = c->recon_chroma + (plane - 1) * 64 + y * CTU_WORK_STRIDE + x;
    }
    p.x = x;
    p.y = y;
    p.coeff = st->tu_coeffs[plane] + zc;
    p.levels = st->tu_levels[plane] + zc;
    // Low-frequency variants: 16x16 inter luma and 32x32 luma without full
    // luma transforms; 8x8 inter and 16x16 chroma without full chroma ones.
    int32_t full = plane == 0 ? st->luma_full_transform : st->chroma_full_transform;
    int32_t log2 = p.log2;
    p.k = 0;
    if (!full && (log2 == 5 || (log2 == 4 && (plane > 0 || !b->intra)) || (log2 == 3 && plane > 0 && !b->intra)))
        p.k = log2 == 3 ? 4 : 8;
    if (log2 == 5 && plane > 0) p.k = 0;
    return p;
}

// Forward transform and quantisation; returns whether a level is non-zero.
int32_t plane_quantise(row_context *ctx, const plane_block *p, int32_t plane)
{
    const transform_table *t = &ctx->enc->transform;
    int32_t log2 = p->log2, nz;
    if (log2 == 2) {
        t->ftrans_residual_4x4(p->coeff, p->src, p->pred, p->tmode);
        nz = tu_quant(ctx, p->levels, p->coeff, p->qp, 2, plane, p->mode);
    } else if (p->k) {
        if (ctx->ctu.rdoq) std::memset(p->coeff, 0, sizeof(int16_t) << (2 * log2));
        if (log2 == 3) t->fdct_residual_low4_8x8(p->coeff, p->src, p->pred, p->k);
        else if (log2 == 4) t->fdct_residual_low8_16x16(p->coeff, p->src, p->pred, p->k);
        else t->fdct_residual_low8_32x32(p->coeff, p->src, p->pred, p->k);
        nz = tu_quant_low(ctx, p->levels, p->coeff, p->qp, log2, plane, p->mode, p->k);
    } else {
        if (log2 == 3) t->fdct_residual_8x8(p->coeff, p->src, p->pred);
        else if (log2 == 4) t->fdct_residual_16x16(p->coeff, p->src, p->pred);
        else t->fdct_residual_32x32(p->coeff, p->src, p->pred);
        nz = tu_quant(ctx, p->levels, p->coeff, p->qp, log2, plane, p->mode);
    }
    if (!nz) std::memset(p->levels, 0, sizeof(int16_t) << (2 * log2));
    return nz;
}

// Dequantisation and the inverse transform added onto the prediction.
void plane_reconstruct(encoder_instance *enc, const plane_block *p)
{
    const transform_table *t = &enc->transform;
    int32_t log2 = p->log2;
    if (p->k) {
        enc->quant.dequant_low(p->levels, p->coeff, p->qp, log2, p->k);
        if (log2 == 3) t->idct_add_low4_8x8(p->pred, p->coeff, p->k);
        else if (log2 == 4) t->idct_add_low8_16x16(p->pred, p->coeff, p->k);
        else t->idct_add_low8_32x32(p->pred, p->coeff, p->k);
        return;
    }
    enc->quant.dequant(p->levels, p->coeff, p->qp, log2);
    if (log2 == 2) t->itrans_add_4x4(p->pred, p->coeff, p->tmode);
    else if (log2 == 3) t->idct_add_8x8(p->pred, p->coeff);
    else if (log2 == 4) t->idct_add_16x16(p->pred, p->coeff);
    else t->idct_add_32x32(p->pred, p->coeff);
}

// Forward transform, quantisation and (intra) reconstruction of one plane's
// block; returns whether a level is non-zero. Inter blocks are rebuilt only
// by the final call (plane_reconstruct).
int32_t code_plane(row_context *ctx, const tu_block *b, int32_t plane)
{
    plane_block p = plane_block_of(ctx, b, plane);
    residual_memo_query q;
    q.quantiser = tu_rdoq_of(ctx, p.k, &q.round);
    int32_t nz;
    // Only blocks of the rate-distortion quantisers from 16x16 up are worth
    // keeping: the plain quantiser, and the smaller blocks with theirs, cost
    // less than the look-up, the fingerprint and the copies a miss takes.
    const bool memo = q.quantiser && p.log2 >= MEMO_LOG2_WORTH;
    if (memo) {
        q.lambda = search_state(ctx)->lambda_sse;
        q.plane = (uint8_t)plane;
        q.log2 = (uint8_t)p.log2;
        q.qp = (uint8_t)p.qp;
        q.scan = (uint8_t)scan_idx_of(p.log2, p.mode);
        q.transform = p.log2 == 2 ? (uint8_t)(dst4_select_h[p.tmode] | (dst4_select_v[p.tmode] << 1)) : 0;
        q.low = (uint8_t)p.k;
        q.rebuild = (uint8_t)b->intra;
        q.x = p.x;
        q.y = p.y;
        q.pred = p.pred;
        q.levels = p.levels;
        q.rate = &ctx->cabac.rate;
        if (residual_memo_fetch(&q, &nz)) return nz;
    }
    nz = plane_quantise(ctx, &p, plane);
    if (nz && b->intra) plane_reconstruct(ctx->enc, &p);
    if (memo) residual_memo_keep(&q, nz);
    return nz;
}

void code_children(row_context *ctx, const tu_block *b, int32_t predict, int32_t residual, uint32_t flags)
{
    int32_t h = b->n / 2, q = 1 << (2 * (b->log2 - 3));
    mode_search_state *st = search_state(ctx);
    int32_t kept = st->intra_ref_refresh;
    for (int32_t k = 0; k < 4; k++) {
        tu_encode(ctx, b->z + k * q, b->x + (k & 1) * h, b->y + (k >> 1) * h, b->log2 - 1, b->qp, predict,
                  residual, flags);
        if (predict) st->intra_ref_refresh = 1;
    }
    if (predict) st->intra_ref_refresh = kept;
}

// Final reconstruction of an inter block from the levels left by an earlier
// call: dequantised residual added onto the prediction. Chroma follows its
// coded-block flags unless the block drops its chroma residual: the call that
// rebuilds the units of a split block codes no residual itself.
void inter_final_reconstruct(row_context *ctx, const tu_block *b, uint32_t flags, uint32_t child_flags)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(b->z, b->log2);
    uint8_t cbf = d->cbf_flags[n];
    if (b->log2 > 2 && d->tu_split[n] == 1) {
        if (cbf) code_children(ctx, b, 0, 0, child_flags | TU_FINAL);
        return;
    }
    if (b->log2 == 6) return;
    if ((flags & TU_LUMA) && (cbf & 1)) {
        plane_block p = plane_block_of(ctx, b, 0);
        plane_reconstruct(ctx->enc, &p);
    }
    int32_t do_chroma = (flags & TU_CHROMA) && (b->log2 > 2 || (b->z & 3) == 3);
    if (!do_chroma || b->residual_mode == 2) return;
    for (int32_t plane = 1; plane <= 2; plane++) {
        if (!(cbf & (1 << plane))) continue;
        plane_block p = plane_block_of(ctx, b, plane);
        plane_reconstruct(ctx->enc, &p);
    }
}

// What one call codes: prediction, the luma and chroma residual, the final
// reconstruction, and the flags it passes to its units.
struct tu_pass {
    int32_t predict, residual, chroma_residual, final_bit;
    uint32_t flags, child_flags;
};

void tu_block_start(row_context *ctx, tu_block *b, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t qp)
{
    const ctu_context *c = &ctx->ctu;
    b->z = z;
    b->x = x;
    b->y = y;
    b->log2 = log2_size;
    b->n = 1 << log2_size;
    b->qp = qp;
    b->cqp = chroma_qp_of(qp);
    b->intra = !cu_is_inter(ctx, z);
    b->luma_mode = b->intra ? intra_mode_entry(c->intra_modes[map4_index(z)]) : (int32_t)TRANSFORM_MODE_NONE;
    b->chroma_mode = b->intra ? chroma_mode_of(ctx, z) : (int32_t)TRANSFORM_MODE_NONE;
    b->residual_mode = 0;
}

// An inter block takes its CU's residual mode, which may drop the chroma
// residual or every residual, and is predicted whole at its CU.
void inter_block_start(row_context *ctx, tu_block *b, tu_pass *t)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(b->z, b->log2);
    b->residual_mode = d->residual_mode[n];
    if (b->residual_mode == 3) {
        // The prediction is the reconstruction.
        t->final_bit = 0;
        t->residual = 0;
        t->chroma_residual = 0;
        map_mark_available(ctx, b->x, b->y, b->n, b->n);
    } else if (b->residual_mode == 2) {
        t->chroma_residual = 0;
    }
    // Inter blocks are predicted whole at their CU, never below 8x8.
    if (t->predict && b->log2 > 2) inter_predict_cu(ctx, b->x, b->y, b->n, b->n, d->part_mode[n]);
}

// The units of an intra block are predicted and coded one after the other,
// each from the reconstruction of the ones before.
void intra_units_encode(row_context *ctx, const tu_block *b, const tu_pass *t)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    code_children(ctx, b, 1, 1, t->child_flags);
    d->cbf_flags[node_index(b->z, b->log2)] = cu_children_cbf(ctx, b->z, b->log2);
    if (!t->residual) cbf_clear_tree(ctx, b->z, b->log2, 7);
}

void residual_units_encode(row_context *ctx, const tu_block *b, const tu_pass *t)
{
    code_children(ctx, b, 0, 1, t->child_flags);
    ctx->ctu.decision.cbf_flags[node_index(b->z, b->log2)] = cu_children_cbf(ctx, b->z, b->log2);
}

// A 64x64 CU is coded as four 32x32 units. An intra one always is: with its
// split flag clear it would otherwise keep whatever prediction the buffers
// held from an earlier candidate.
void cu64_encode(row_context *ctx, const tu_block *b, const tu_pass *t)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    if (b->intra && t->predict) {
        d->tu_split[0] = 1;
        intra_units_encode(ctx, b, t);
        return;
    }
    if (t->residual && d->tu_split[0] == 1) {
        residual_units_encode(ctx, b, t);
    } else if (!t->residual && !t->final_bit) {
        cbf_clear_tree(ctx, b->z, 6, 7);
        return;
    }
    if (!b->intra && t->final_bit) inter_final_reconstruct(ctx, b, t->flags, t->child_flags);
}

// A block coding no residual: its flags clear, unless this is the final call
// that rebuilds an inter block from the levels kept earlier.
void no_residual_finish(row_context *ctx, const tu_block *b, const tu_pass *t)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    if (!t->final_bit) {
        if (b->log2 == 2) d->cbf_flags[node_index(b->z, b->log2)] = 0;
        else cbf_clear_tree(ctx, b->z, b->log2, 7);
        return;
    }
    if (!b->intra) inter_final_reconstruct(ctx, b, t->flags, t->child_flags);
}

// The planes of an unsplit block, with their coded-block flags.
void leaf_planes_code(row_context *ctx, const tu_block *b, const tu_pass *t, int32_t do_chroma)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(b->z, b->log2);
    uint8_t cbf = d->cbf_flags[n];
    // The chroma flags of a 4x4 quartet live in its fourth node only.
    if (b->log2 == 2 && (b->z & 3) != 3) cbf &= 1;
    if (t->flags & TU_LUMA) cbf = (uint8_t)((cbf & ~1) | (code_plane(ctx, b, 0) ? 1 : 0));
    if (do_chroma) {
        if (!t->chroma_residual) {
            cbf &= (uint8_t)~6;
        } else {
            cbf = (uint8_t)((cbf & ~2) | (code_plane(ctx, b, 1) ? 2 : 0));
            cbf = (uint8_t)((cbf & ~4) | (code_plane(ctx, b, 2) ? 4 : 0));
        }
    }
    d->cbf_flags[n] = cbf;
}

}  // namespace

int32_t chroma_qp_of(int32_t qp)
{
    return chroma_qp_table[qp < 0 ? 0 : (qp > 57 ? 57 : qp)];
}

void cbf_clear_tree(row_context *ctx, int32_t z, int32_t log2_size, uint8_t mask)
{
    int32_t n = node_index(z, log2_size);
    ctx->ctu.decision.cbf_flags[n] &= (uint8_t)~mask;
    if (ctx->ctu.decision.tu_split[n] == 1 && log2_size > 2) {
        int32_t q = 1 << (2 * (log2_size - 3));
        for (int32_t k = 0; k < 4; k++) cbf_clear_tree(ctx, z + k * q, log2_size - 1, mask);
    }
}

void tu_encode(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t qp,
               int32_t predict, int32_t residual, uint32_t flags)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    tu_block b;
    tu_block_start(ctx, &b, z, x, y, log2_size, qp);
    tu_pass t = {predict, residual, residual, (flags & TU_FINAL) != 0, flags,
                 b.intra ? flags : flags & ~(uint32_t)TU_FINAL};
    if (!b.intra) inter_block_start(ctx, &b, &t);
    if (log2_size == 6) {
        cu64_encode(ctx, &b, &t);
        return;
    }
    int32_t n = node_index(z, log2_size);
    if (predict && b.intra && d->tu_split[n] == 1 && log2_size > 2) {
        intra_units_encode(ctx, &b, &t);
        return;
    }
    int32_t do_chroma = (flags & TU_CHROMA) && (log2_size > 2 || (z & 3) == 3);
    if (predict && b.intra) {
        if (flags & TU_LUMA) predict_luma(ctx, &b);
        if (do_chroma) predict_chroma(ctx, &b);
    }
    if (t.final_bit) map_mark_available(ctx, x, y, b.n, b.n);
    if (!t.residual) {
        no_residual_finish(ctx, &b, &t);
        return;
    }
    if (d->tu_split[n] == 1 && log2_size > 2) residual_units_encode(ctx, &b, &t);
    else leaf_planes_code(ctx, &b, &t, do_chroma);
    if (!b.intra && t.final_bit) inter_final_reconstruct(ctx, &b, flags, t.child_flags);
}

void tu_predict(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t qp, uint32_t flags)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(z, log2_size);
    // 64x64 CUs, blocks split into units and inter blocks take the general path.
    if (log2_size == 6 || cu_is_inter(ctx, z) || (log2_size > 2 && d->tu_split[n] == 1)) {
        tu_encode(ctx, z, x, y, log2_size, qp, 1, 0, flags);
        return;
    }
    tu_block b{};
    b.z = z;
    b.x = x;
    b.y = y;
    b.log2 = log2_size;
    b.n = 1 << log2_size;
    b.intra = 1;
    if (flags & TU_LUMA) {
        b.luma_mode = intra_mode_entry(ctx->ctu.intra_modes[map4_index(z)]);
        predict_luma(ctx, &b);
    }
    if ((flags & TU_CHROMA) && (log2_size > 2 || (z & 3) == 3)) {
        b.chroma_mode = chroma_mode_of(ctx, z);
        predict_chroma(ctx, &b);
    }
    // Without a residual the block codes no level: its flags clear as
    // cbf_clear_tree clears an unsplit block.
    if (log2_size == 2) d->cbf_flags[n] = 0;
    else d->cbf_flags[n] &= (uint8_t)~7;
}

bool luma_mode_predictor_init(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size,
                              luma_mode_predictor *p)
{
    cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(z, log2_size);
    if (log2_size == 6 || cu_is_inter(ctx, z) || (log2_size > 2 && d->tu_split[n] == 1)) return false;
    mode_search_state *st = search_state(ctx);
    p->table = &ctx->enc->intra_pred;
    p->dst = ctx->ctu.recon_luma + y * CTU_WORK_STRIDE + x;
    p->n = 1 << log2_size;
    p->f = p->n <= 16 ? 1 : 0;
    p->s = log2_size - 2;
    if (st->intra_ref_refresh) {
        intra_ref_ctx r = ref_ctx_of(ctx);
        intra_gather_ref_samples(&r, p->dst, x, y, p->n, 0, 1);
    }
    p->ref = st->ref_area.luma;
    p->smoothed = st->ref_area.luma_smoothed;
    if (log2_size == 2) d->cbf_flags[n] = 0;
    else d->cbf_flags[n] &= (uint8_t)~7;
    return true;
}
