// Fixed decision kept for P and B pictures until their inter decisions
// exist: every CTU is split into 16x16 intra CUs (8x8 where a 16x16 would
// cross the picture edge), each with one transform unit. The luma mode is the
// cheapest by SATD among planar, DC, horizontal and vertical; chroma takes
// the luma mode (DM). The residual goes through the forward transform,
// quantisation, dequantisation and inverse transform, so the reconstruction in
// the CTU buffer is exactly what a decoder reconstructs, and the levels are
// left for the syntax writer.
#include "analysis/mode_search.h"

#include <cstring>

#include "encoder/encoder_instance.h"
#include "kernels/intra/intra_ref.h"

namespace {

enum {
    FIXED_CU_LOG2 = 4,
    AVAIL_ORIGIN = 48,   // byte of the CTU's first 4x4 unit in the availability map
    AVAIL_STRIDE = 32,
    CHROMA_DM = 4,       // intra_chroma_pred_mode 4: chroma takes the luma mode
};

const int32_t candidate_modes[4] = {INTRA_MODE_PLANAR, INTRA_MODE_DC, INTRA_MODE_HOR, INTRA_MODE_VER};

struct cu_coder {
    encoder_instance *ctx;
    intra_ref_ctx refs;
    intra_ref_area area;
    quant_context quant;
    int32_t qp;           // luma QP of every CU of the CTU
    int32_t qp_chroma;
};

int32_t size_index(int32_t n)
{
    return n == 4 ? 0 : n == 8 ? 1 : n == 16 ? 2 : 3;
}

// Prediction of an N x N block of the plane in `mode` from the reference array
// just gathered. Luma takes the smoothed references where H.265 smooths them
// and the DC / horizontal / vertical boundary filters below 32x32.
void predict(cu_coder *cc, uint8_t *dst, int32_t n, int32_t plane, int32_t mode)
{
    const intra_pred_table *t = &cc->ctx->intra_pred;
    const uint8_t *ref = intra_ref_array(&cc->area, plane);
    int32_t filter = 0;
    if (plane == 0) {
        if (intra_smoothing_flags[mode] & n) ref = cc->area.luma_smoothed;
        filter = n < 32 ? 1 : 0;
    }
    t->pred[mode][filter][size_index(n)](dst, CTU_WORK_STRIDE, ref);
}

int32_t best_luma_mode(cu_coder *cc, const uint8_t *src, int32_t n)
{
    alignas(32) uint8_t trial[16 * CTU_WORK_STRIDE];
    const metric_table *m = &cc->ctx->metric;
    int32_t metric = n == 16 ? 2 : 3;
    int32_t best = INTRA_MODE_DC;
    uint32_t best_cost = 0xFFFFFFFFu;
    for (int32_t mode : candidate_modes) {
        predict(cc, trial, n, 0, mode);
        uint32_t cost = m->satd[metric](src, CTU_SOURCE_STRIDE, trial, CTU_WORK_STRIDE);
        if (cost < best_cost) best_cost = cost, best = mode;
    }
    return best;
}

// Residual of the N x N block at `recon` (holding the prediction) against
// `src`: transform, quantise into `levels`, and, when a level is non-zero, add
// the dequantised inverse transform to the prediction. Returns 1 when coded.
int32_t code_residual(cu_coder *cc, uint8_t *recon, const uint8_t *src, int32_t log2n, int32_t qp,
                      int16_t *levels)
{
    const transform_table *t = &cc->ctx->transform;
    const quant_table *q = &cc->ctx->quant;
    alignas(32) int16_t coeff[32 * 32];
    switch (log2n) {
    case 2: t->ftrans_residual_4x4(coeff, src, recon, TRANSFORM_MODE_NONE); break;
    case 3: t->fdct_residual_8x8(coeff, src, recon); break;
    case 4: t->fdct_residual_16x16(coeff, src, recon); break;
    default: t->fdct_residual_32x32(coeff, src, recon); break;
    }
    int any = q->quant(&cc->quant, levels, coeff, qp, QUANT_ROUND_INTRA, log2n, quant_scales[qp % 6], 0);
    if (!any) return 0;
    q->dequant(levels, coeff, qp, log2n);
    switch (log2n) {
    case 2: t->itrans_add_4x4(recon, coeff, TRANSFORM_MODE_NONE); break;
    case 3: t->idct_add_8x8(recon, coeff); break;
    case 4: t->idct_add_16x16(recon, coeff); break;
    default: t->idct_add_32x32(recon, coeff); break;
    }
    return 1;
}

void mark_reconstructed(ctu_context *c, int32_t x, int32_t y, int32_t s)
{
    for (int32_t v = 0; v < s / 4; v++)
        std::memset(c->recon_avail + AVAIL_ORIGIN + x / 4 + AVAIL_STRIDE * (y / 4 + v), 1, (size_t)(s / 4));
}

void record_cu(encoder_instance *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, int32_t mode, int32_t qp)
{
    ctu_context *c = &ctx->ctu;
    int32_t s = 1 << log2_size, units = s / 8;
    int32_t first = map8_index(z);
    for (int32_t r = 0; r < units; r++)
        for (int32_t k = 0; k < units; k++) {
            int32_t m = first + r * CTU_MAP8_STRIDE + k;
            c->maps.cu_flags_map[m] = 0;
            c->maps.cu_depth_map[m] = (int8_t)(6 - log2_size);
            c->maps.cu_qp_map[m] = (int8_t)qp;
            c->maps.pred_mode_map[m] = 1;
            c->motion.merge_flag_map[m] = 0;
            c->motion.merge_idx_map[m] = 0;
            c->motion.ref_idx[0][m] = c->motion.ref_idx[1][m] = -2;
            c->motion.mv[0][m] = c->motion.mv[1][m] = 0;
        }
    for (int32_t r = 0; r < s / 4; r++)
        std::memset(c->intra_modes + (1 + y / 4 + r) * CTU_MAP4_STRIDE + 16 + x / 4, mode, (size_t)(s / 4));
    // Chroma mode index of each 8x8 unit: columns 0..7 of rows 1..8.
    for (int32_t r = 0; r < units; r++)
        std::memset(c->intra_modes + (1 + y / 8 + r) * CTU_MAP4_STRIDE + x / 8, CHROMA_DM, (size_t)units);
}

// One intra CU of size N with a single transform unit per plane.
void code_cu(cu_coder *cc, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    encoder_instance *ctx = cc->ctx;
    ctu_context *c = &ctx->ctu;
    int32_t n = 1 << log2_size, node = cu_node_index(log2_size, z);
    c->decision.cu_split[node] = 0;
    c->decision.tu_split[node] = 0;
    c->decision.part_mode[node] = 0;

    uint8_t *luma = c->recon_luma + y * CTU_WORK_STRIDE + x;
    const uint8_t *luma_src = c->source_luma + y * CTU_SOURCE_STRIDE + x;
    intra_gather_ref_samples(&cc->refs, luma, x, y, n, 0, 1);
    int32_t mode = best_luma_mode(cc, luma_src, n);
    predict(cc, luma, n, 0, mode);
    uint8_t cbf = (uint8_t)code_residual(cc, luma, luma_src, log2_size, cc->qp, c->tu_levels[0] + z * 16);

    // Chroma (4:2:0): the gathering reads the luma-unit availability, so the
    // luma block is not marked reconstructed until chroma has its references.
    for (int32_t p = 1; p < 3; p++) {
        uint8_t *block = c->recon_chroma + 64 * (p - 1) + (y / 2) * CTU_WORK_STRIDE + x / 2;
        const uint8_t *src = c->source_chroma + 32 * (p - 1) + (y / 2) * CTU_SOURCE_STRIDE + x / 2;
        intra_gather_ref_samples(&cc->refs, block, x, y, n / 2, p, 0);
        predict(cc, block, n / 2, p, mode);
        int32_t coded = code_residual(cc, block, src, log2_size - 1, cc->qp_chroma, c->tu_levels[p] + (z >> 2) * 16);
        cbf |= (uint8_t)(coded << p);
    }
    c->decision.cbf_flags[node] = cbf;
    mark_reconstructed(c, x, y, n);
    record_cu(ctx, z, x, y, log2_size, mode, cc->qp);
}

// Splits down to 16x16, and to 8x8 where a 16x16 would cross the picture edge.
void decide_node(cu_coder *cc, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    ctu_context *c = &cc->ctx->ctu;
    int32_t s = 1 << log2_size;
    int32_t node = cu_node_index(log2_size, z);
    bool crosses = x + s > c->ctu_w || y + s > c->ctu_h;
    if (log2_size > FIXED_CU_LOG2 || (crosses && log2_size > 3)) {
        c->decision.cu_split[node] = 1;
        c->decision.tu_split[node] = 1;
        c->decision.part_mode[node] = 0;
        c->decision.cbf_flags[node] = 0;
        int32_t h = s / 2, q = 1 << (2 * (log2_size - 3));
        decide_node(cc, z, x, y, log2_size - 1);
        if (x + h < c->ctu_w) decide_node(cc, z + q, x + h, y, log2_size - 1);
        if (y + h < c->ctu_h) decide_node(cc, z + 2 * q, x, y + h, log2_size - 1);
        if (x + h < c->ctu_w && y + h < c->ctu_h) decide_node(cc, z + 3 * q, x + h, y + h, log2_size - 1);
        return;
    }
    code_cu(cc, z, x, y, log2_size);
}

}  // namespace

void ctu_fixed_decision(encoder_instance *ctx)
{
    ctu_context *c = &ctx->ctu;
    rc_ctu_qp(&ctx->rcc);
    c->qp = ctx->rcc.ctu_qp;
    cu_coder cc;
    cc.ctx = ctx;
    cc.refs.table = &ctx->intra_pred;
    cc.refs.recon_avail_map = c->recon_avail;
    cc.refs.ref_area = &cc.area;
    cc.quant.scans = ctx->scans;
    cc.quant.sign_hiding = ctx->pps.sign_data_hiding;
    // Without QP deltas every CU is coded at the slice QP, whatever the CTU
    // asked for: that is the QP a decoder uses.
    cc.qp = ctx->pps.cu_qp_delta_enabled ? c->qp : ctx->sh.slice_qp;
    if (cc.qp < 0) cc.qp = 0;
    if (cc.qp > 51) cc.qp = 51;
    c->qp = cc.qp;
    cc.qp_chroma = deblock_chroma_qp_table[cc.qp];
    decide_node(&cc, 0, 0, 0, 6);
}
