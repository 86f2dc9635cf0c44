// Inter CU decision of P and B pictures on a fixed CU grid: every CTU is split
// into 16x16 CUs (8x8 where a 16x16 would cross the picture edge), each a
// single 2Nx2N prediction unit with one transform unit per plane. Each CU
// weighs, by SATD of the prediction plus lambda-weighted estimated bits:
//   - every merge candidate whose vectors stay inside the search window,
//   - the best AMVP-coded vector per list and reference (motion search),
//   - in B slices the bi-prediction of the best list-0 and list-1 vectors,
//   - the cheapest of four intra modes.
// The winner is predicted with the exact H.265 interpolation into the CTU
// work planes and its residual coded, so the reconstruction equals what a
// decoder builds. A merged CU left without coefficients is sent as skip by
// the syntax writer.
#include "analysis/ctu_inter_decision.h"

#include <cstring>

#include "analysis/amvp.h"
#include "analysis/mode_search.h"
#include "analysis/motion_search.h"
#include "bitstream/syntax_writer.h"
#include "encoder/encoder_instance.h"
#include "kernels/intra/intra_ref.h"

namespace {

enum {
    INTER_CU_LOG2 = 4,      // CUs of the fixed grid
    INTER_CU_MAX_LOG2 = 5,  // tried whole against its four grid CUs
    AVAIL_ORIGIN = 48,
    AVAIL_STRIDE = 32,
    CHROMA_DM = 4,
    MAX_SEARCH_REFS = 2,   // references searched per list
    INTRA_EXTRA_BITS = 6,  // pred_mode flag, part mode and mode bins
};

const int32_t intra_candidates[4] = {INTRA_MODE_PLANAR, INTRA_MODE_DC, INTRA_MODE_HOR, INTRA_MODE_VER};

struct cu_coder {
    encoder_instance *ctx;
    me_context me;
    intra_ref_ctx refs;
    intra_ref_area area;
    quant_context quant;
    int32_t qp, qp_chroma;
    uint32_t lambda;            // sqrt(lambda): weight of one bit against SATD
    int32_t ref_limit[2];       // usable reference indices per list
};

int32_t size_index(int32_t n)
{
    return n == 64 ? 0 : n == 32 ? 1 : n == 16 ? 2 : n == 8 ? 3 : 4;
}

int32_t abs_i(int32_t v) { return v < 0 ? -v : v; }

// Bits of one motion-vector difference component: greater-0 and greater-1
// flags, order-1 Exp-Golomb remainder and sign.
uint32_t mvd_component_bits(int32_t d)
{
    uint32_t a = (uint32_t)abs_i(d);
    if (a == 0) return 1;
    if (a == 1) return 3;
    uint32_t v = a - 2 + 2, bits = 0;   // EG1 codes v - 2 with k = 1
    while (v >> (bits + 1)) bits++;
    return 2 + 1 + 2 * bits;
}

struct motion {
    uint32_t mv[2];
    int8_t ref[2];    // -1 list unused
};

// Whether every used list of m can be predicted from the reference margins
// and reaches only rows that the wavefront allows.
bool motion_usable(cu_coder *cc, const motion *m, int32_t x, int32_t y, int32_t n)
{
    pu_desc pu{};
    pu.x = (int16_t)x, pu.y = (int16_t)y, pu.width = pu.height = (int16_t)n;
    mv_window w;
    mv_window_compute(&cc->me, &pu, &w);
    for (int l = 0; l < 2; l++) {
        if (m->ref[l] < 0) continue;
        if (m->ref[l] >= cc->ref_limit[l]) return false;
        if (!mv_in_window(&w, m->mv[l])) return false;
        // The window is in full samples: keep the fraction's filter taps
        // inside it as well.
        int32_t fx = (mv_x(m->mv[l]) + 3) >> 2, fy = (mv_y(m->mv[l]) + 3) >> 2;
        if (fx > w.x_hi || fy > w.y_hi || (mv_x(m->mv[l]) >> 2) < w.x_lo || (mv_y(m->mv[l]) >> 2) < w.y_lo)
            return false;
    }
    return m->ref[0] >= 0 || m->ref[1] >= 0;
}

// Luma (and with chroma set, Cb and Cr) prediction of motion m for the CU at
// (x, y) of size n; luma into dst (stride dst_stride), chroma into cdst[2].
void predict_motion(cu_coder *cc, const motion *m, int32_t x, int32_t y, int32_t n, uint8_t *dst,
                    int32_t dst_stride, uint8_t *const *cdst, int32_t cstride)
{
    encoder_instance *ctx = cc->ctx;
    const mc_table *mc = &ctx->mc;
    const int32_t ls = ctx->recon_picture->strides[0], cs = ctx->recon_picture->strides[1];
    auto &planes = ctx->ctu.ref_planes;
    bool bi = m->ref[0] >= 0 && m->ref[1] >= 0;
    if (!bi) {
        int l = m->ref[0] >= 0 ? 0 : 1, r = m->ref[l];
        int32_t vx = mv_x(m->mv[l]), vy = mv_y(m->mv[l]);
        mc->interp_luma(dst, dst_stride, planes[l][r][0] + y * ls + x, nullptr, ls, vx, vy, n, n);
        if (!cdst) return;
        for (int p = 1; p < 3; p++)
            mc->interp_chroma(cdst[p - 1], cstride, planes[l][r][p] + (y / 2) * cs + x / 2, cs, vx, vy, n / 2, n / 2);
        return;
    }
    alignas(32) int16_t a[64 * 64], b[64 * 64];
    const int16_t *pa, *pb;
    int32_t sa = n, sb = n;
    pa = mc->interp_luma_16bit(a, &sa, planes[0][m->ref[0]][0] + y * ls + x, nullptr, ls, mv_x(m->mv[0]),
                               mv_y(m->mv[0]), n, n);
    pb = mc->interp_luma_16bit(b, &sb, planes[1][m->ref[1]][0] + y * ls + x, nullptr, ls, mv_x(m->mv[1]),
                               mv_y(m->mv[1]), n, n);
    mc->bipred_avg_16bit(dst, dst_stride, pa, sa, pb, sb, n, n);
    if (!cdst) return;
    for (int p = 1; p < 3; p++) {
        int32_t h = n / 2;
        mc->interp_chroma_16bit(a, h, planes[0][m->ref[0]][p] + (y / 2) * cs + x / 2, cs, mv_x(m->mv[0]),
                                mv_y(m->mv[0]), h, h);
        mc->interp_chroma_16bit(b, h, planes[1][m->ref[1]][p] + (y / 2) * cs + x / 2, cs, mv_x(m->mv[1]),
                                mv_y(m->mv[1]), h, h);
        mc->bipred_avg_16bit(cdst[p - 1], cstride, a, h, b, h, h, h);
    }
}

uint32_t motion_satd(cu_coder *cc, const motion *m, int32_t x, int32_t y, int32_t n)
{
    alignas(32) uint8_t pred[64 * 64];
    predict_motion(cc, m, x, y, n, pred, 64, nullptr, 0);
    const uint8_t *src = cc->ctx->ctu.source_luma + y * CTU_SOURCE_STRIDE + x;
    return cc->ctx->metric.satd[size_index(n)](src, CTU_SOURCE_STRIDE, pred, 64);
}

struct choice {
    int32_t kind;       // 0 merge, 1 coded motion, 2 intra
    motion m;
    int32_t merge_idx;
    int32_t intra_mode;
    uint32_t cost;
};

void consider(choice *best, const choice *c)
{
    if (c->cost < best->cost) *best = *c;
}

void try_merge(cu_coder *cc, int32_t z, int32_t x, int32_t y, int32_t n, choice *best)
{
    uint32_t mv0[5], mv1[5], tmask = 0;
    int8_t r0[5], r1[5];
    int32_t count = merge_build_list(cc->ctx, z, x, y, n, n, 6 - (31 - __builtin_clz((uint32_t)n)), mv0, mv1, r0,
                                     r1, &tmask);
    for (int32_t i = 0; i < count; i++) {
        choice c{};
        c.kind = 0;
        c.merge_idx = i;
        c.m.ref[0] = r0[i] >= 0 ? r0[i] : -1;
        c.m.ref[1] = r1[i] >= 0 ? r1[i] : -1;
        c.m.mv[0] = c.m.ref[0] >= 0 ? mv0[i] : 0;
        c.m.mv[1] = c.m.ref[1] >= 0 ? mv1[i] : 0;
        if (!motion_usable(cc, &c.m, x, y, n)) continue;
        c.cost = motion_satd(cc, &c.m, x, y, n) + cc->lambda * (uint32_t)(2 + i);
        consider(best, &c);
    }
}

// Searches list l, reference r; returns the vector and its signalling bits.
uint32_t search_list(cu_coder *cc, int32_t z, int32_t x, int32_t y, int32_t n, int32_t l, int32_t r, uint32_t *bits)
{
    encoder_instance *ctx = cc->ctx;
    int32_t unit = map8_index(z);
    ctx->ctu.motion.ref_idx[l][unit] = (int8_t)r;
    pu_desc pu{};
    pu.x = (int16_t)x, pu.y = (int16_t)y, pu.width = pu.height = (int16_t)n;
    pu.shape = size_index(n);
    pu.list = l;
    pu.ref_idx = (int8_t)r;
    pu.amvp_count = amvp_build_list(ctx, z, x, y, n, n, pu.shape, l, pu.amvp);
    me_result res{};
    motion_search_full(ctx, &cc->me, &res, &pu, cc->qp, cost_infinite, 0, r == 0);
    if (res.cost >= cost_infinite) return mv_unset;
    int16_t mvd[2];
    mvd_best_predictor(&res.mv, pu.amvp, pu.amvp_count, mvd);
    *bits = mvd_component_bits(mvd[0]) + mvd_component_bits(mvd[1]) + 1 + (uint32_t)r;
    return res.mv;
}

void try_coded_motion(cu_coder *cc, int32_t z, int32_t x, int32_t y, int32_t n, choice *best)
{
    int32_t unit = map8_index(z);
    int8_t saved[2] = {cc->ctx->ctu.motion.ref_idx[0][unit], cc->ctx->ctu.motion.ref_idx[1][unit]};
    int32_t lists = cc->ctx->sh.slice_type == slice_b ? 2 : 1;
    choice list_best[2];
    uint32_t list_bits[2] = {0, 0};
    for (int32_t l = 0; l < lists; l++) {
        list_best[l].cost = COST_INFINITE;
        for (int32_t r = 0; r < cc->ref_limit[l] && r < MAX_SEARCH_REFS; r++) {
            uint32_t bits = 0;
            uint32_t mv = search_list(cc, z, x, y, n, l, r, &bits);
            if (mv == mv_unset) continue;
            choice c{};
            c.kind = 1;
            c.m.ref[l] = (int8_t)r;
            c.m.ref[1 - l] = -1;
            c.m.mv[l] = mv;
            if (!motion_usable(cc, &c.m, x, y, n)) continue;
            c.cost = motion_satd(cc, &c.m, x, y, n) + cc->lambda * (bits + 2);
            if (c.cost < list_best[l].cost) list_best[l] = c, list_bits[l] = bits;
        }
        if (list_best[l].cost < COST_INFINITE) consider(best, &list_best[l]);
    }
    if (lists == 2 && list_best[0].cost < COST_INFINITE && list_best[1].cost < COST_INFINITE && n > 8) {
        choice c{};
        c.kind = 1;
        c.m.ref[0] = list_best[0].m.ref[0], c.m.mv[0] = list_best[0].m.mv[0];
        c.m.ref[1] = list_best[1].m.ref[1], c.m.mv[1] = list_best[1].m.mv[1];
        c.cost = motion_satd(cc, &c.m, x, y, n) + cc->lambda * (list_bits[0] + list_bits[1] + 2);
        consider(best, &c);
    }
    cc->ctx->ctu.motion.ref_idx[0][unit] = saved[0];
    cc->ctx->ctu.motion.ref_idx[1][unit] = saved[1];
}

// Intra prediction of an N x N block of a plane from the references just gathered.
void predict_intra(cu_coder *cc, uint8_t *dst, int32_t n, int32_t plane, int32_t mode)
{
    const intra_pred_table *t = &cc->ctx->intra_pred;
    const uint8_t *ref = intra_ref_array(&cc->area, plane);
    int32_t filter = 0;
    if (plane == 0) {
        if (intra_smoothing_flags[mode] & n) ref = cc->area.luma_smoothed;
        filter = n < 32 ? 1 : 0;
    }
    int32_t index = n == 4 ? 0 : n == 8 ? 1 : n == 16 ? 2 : 3;
    t->pred[mode][filter][index](dst, CTU_WORK_STRIDE, ref);
}

void try_intra(cu_coder *cc, int32_t x, int32_t y, int32_t n, choice *best)
{
    ctu_context *c = &cc->ctx->ctu;
    alignas(32) uint8_t trial[32 * CTU_WORK_STRIDE];
    uint8_t *luma = c->recon_luma + y * CTU_WORK_STRIDE + x;
    const uint8_t *src = c->source_luma + y * CTU_SOURCE_STRIDE + x;
    intra_gather_ref_samples(&cc->refs, luma, x, y, n, 0, 1);
    for (int32_t mode : intra_candidates) {
        predict_intra(cc, trial, n, 0, mode);
        choice ch{};
        ch.kind = 2;
        ch.intra_mode = mode;
        ch.cost = cc->ctx->metric.satd[size_index(n)](src, CTU_SOURCE_STRIDE, trial, CTU_WORK_STRIDE) +
                  cc->lambda * INTRA_EXTRA_BITS;
        consider(best, &ch);
    }
}

// Transform, quantisation and reconstruction of one block; 1 when coded.
int32_t code_residual(cu_coder *cc, uint8_t *recon, const uint8_t *src, int32_t log2n, int32_t qp,
                      int16_t *levels, int32_t round)
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
    int any = q->quant(&cc->quant, levels, coeff, qp, round, log2n, quant_scales[qp % 6], 0);
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

// The CU flags are final here, not only once the syntax writer has run: the
// CTU's right column and bottom row are saved for its neighbours before the
// CTU is written, and the skip flag's context reads them.
uint8_t cu_flags_of(const choice *ch, uint8_t cbf)
{
    if (ch->kind == 2) return cbf ? cu_flag_residual : 0;
    if (ch->kind == 0 && cbf == 0) return cu_flag_skip;
    if (ch->kind == 1 && cbf == 0) return 0;
    return cu_flag_residual;
}

void record_cu(encoder_instance *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size, const choice *ch,
               int32_t qp, uint8_t cbf)
{
    ctu_context *c = &ctx->ctu;
    int32_t s = 1 << log2_size, units = s / 8, first = map8_index(z);
    bool intra = ch->kind == 2;
    for (int32_t r = 0; r < units; r++)
        for (int32_t k = 0; k < units; k++) {
            int32_t m = first + r * CTU_MAP8_STRIDE + k;
            c->maps.cu_flags_map[m] = cu_flags_of(ch, cbf);
            c->maps.cu_depth_map[m] = (int8_t)(6 - log2_size);
            c->maps.cu_qp_map[m] = (int8_t)qp;
            c->maps.pred_mode_map[m] = intra ? 1 : 0;
            c->motion.merge_flag_map[m] = ch->kind == 0 ? 1 : 0;
            c->motion.merge_idx_map[m] = (uint8_t)(ch->kind == 0 ? ch->merge_idx : 0);
            for (int l = 0; l < 2; l++) {
                c->motion.ref_idx[l][m] = intra ? -2 : ch->m.ref[l];
                c->motion.mv[l][m] = intra || ch->m.ref[l] < 0 ? 0 : ch->m.mv[l];
            }
        }
    // Inter CUs read as DC to the most-probable-mode derivation of later CUs.
    int32_t mode = intra ? ch->intra_mode : INTRA_MODE_DC;
    for (int32_t r = 0; r < s / 4; r++)
        std::memset(c->intra_modes + (1 + y / 4 + r) * CTU_MAP4_STRIDE + 16 + x / 4, mode, (size_t)(s / 4));
    for (int32_t r = 0; r < units; r++)
        std::memset(c->intra_modes + (1 + y / 8 + r) * CTU_MAP4_STRIDE + x / 8, CHROMA_DM, (size_t)units);
}

void mark_reconstructed(ctu_context *c, int32_t x, int32_t y, int32_t s)
{
    for (int32_t v = 0; v < s / 4; v++)
        std::memset(c->recon_avail + AVAIL_ORIGIN + x / 4 + AVAIL_STRIDE * (y / 4 + v), 1, (size_t)(s / 4));
}

// The cheapest candidate of the CU by rough cost; intra is always priced.
choice choose_cu(cu_coder *cc, int32_t z, int32_t x, int32_t y, int32_t n)
{
    choice best{};
    best.cost = COST_INFINITE;
    try_merge(cc, z, x, y, n, &best);
    try_coded_motion(cc, z, x, y, n, &best);
    try_intra(cc, x, y, n, &best);
    return best;
}

void code_cu(cu_coder *cc, int32_t z, int32_t x, int32_t y, int32_t log2_size, const choice *chosen)
{
    encoder_instance *ctx = cc->ctx;
    ctu_context *c = &ctx->ctu;
    int32_t n = 1 << log2_size, node = cu_node_index(log2_size, z);
    c->decision.cu_split[node] = 0;
    c->decision.tu_split[node] = 0;
    c->decision.part_mode[node] = 0;
    choice best = *chosen;

    uint8_t *luma = c->recon_luma + y * CTU_WORK_STRIDE + x;
    const uint8_t *luma_src = c->source_luma + y * CTU_SOURCE_STRIDE + x;
    uint8_t cbf = 0;
    if (best.kind == 2) {
        intra_gather_ref_samples(&cc->refs, luma, x, y, n, 0, 1);
        predict_intra(cc, luma, n, 0, best.intra_mode);
        cbf = (uint8_t)code_residual(cc, luma, luma_src, log2_size, cc->qp, c->tu_levels[0] + z * 16,
                                     QUANT_ROUND_INTRA);
        // Chroma references read the luma-unit availability: mark luma after.
        for (int32_t p = 1; p < 3; p++) {
            uint8_t *block = c->recon_chroma + 64 * (p - 1) + (y / 2) * CTU_WORK_STRIDE + x / 2;
            const uint8_t *src = c->source_chroma + 32 * (p - 1) + (y / 2) * CTU_SOURCE_STRIDE + x / 2;
            intra_gather_ref_samples(&cc->refs, block, x, y, n / 2, p, 0);
            predict_intra(cc, block, n / 2, p, best.intra_mode);
            cbf |= (uint8_t)(code_residual(cc, block, src, log2_size - 1, cc->qp_chroma,
                                           c->tu_levels[p] + (z >> 2) * 16, QUANT_ROUND_INTRA) << p);
        }
    } else {
        uint8_t *cdst[2] = {c->recon_chroma + (y / 2) * CTU_WORK_STRIDE + x / 2,
                            c->recon_chroma + 64 + (y / 2) * CTU_WORK_STRIDE + x / 2};
        predict_motion(cc, &best.m, x, y, n, luma, CTU_WORK_STRIDE, cdst, CTU_WORK_STRIDE);
        cbf = (uint8_t)code_residual(cc, luma, luma_src, log2_size, cc->qp, c->tu_levels[0] + z * 16,
                                     QUANT_ROUND_INTER);
        for (int32_t p = 1; p < 3; p++) {
            const uint8_t *src = c->source_chroma + 32 * (p - 1) + (y / 2) * CTU_SOURCE_STRIDE + x / 2;
            cbf |= (uint8_t)(code_residual(cc, cdst[p - 1], src, log2_size - 1, cc->qp_chroma,
                                           c->tu_levels[p] + (z >> 2) * 16, QUANT_ROUND_INTER) << p);
        }
    }
    c->decision.cbf_flags[node] = cbf;
    mark_reconstructed(c, x, y, n);
    record_cu(ctx, z, x, y, log2_size, &best, cc->qp, cbf);
}

// What a trial of the four children changes and the final coding must not see.
struct trial_state {
    ctu_cu_maps maps;
    ctu_motion_grid motion;
    uint8_t recon_avail[CTU_AVAIL_SIZE];
};

void trial_save(const ctu_context *c, trial_state *t)
{
    t->maps = c->maps;
    t->motion = c->motion;
    std::memcpy(t->recon_avail, c->recon_avail, sizeof(t->recon_avail));
}

void trial_restore(ctu_context *c, const trial_state *t)
{
    c->maps = t->maps;
    c->motion = t->motion;
    std::memcpy(c->recon_avail, t->recon_avail, sizeof(t->recon_avail));
}

// Rough cost of coding a 32x32 area as four 16x16 CUs: each child is chosen
// with its predecessors' motion in the maps (merge lists and predictors see
// them), without coding anything; every map is put back afterwards.
uint32_t split_cost(cu_coder *cc, int32_t z, int32_t x, int32_t y)
{
    ctu_context *c = &cc->ctx->ctu;
    trial_state *saved = new trial_state;
    trial_save(c, saved);
    uint32_t total = cc->lambda * 2;   // split flags
    for (int32_t i = 0; i < 4; i++) {
        int32_t cz = z + 16 * i, cx = x + 16 * (i & 1), cy = y + 16 * (i >> 1);
        choice ch = choose_cu(cc, cz, cx, cy, 16);
        total += ch.cost;
        record_cu(cc->ctx, cz, cx, cy, 4, &ch, cc->qp, 1);
        mark_reconstructed(c, cx, cy, 16);
    }
    trial_restore(c, saved);
    delete saved;
    return total;
}

void decide_node(cu_coder *cc, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    ctu_context *c = &cc->ctx->ctu;
    int32_t s = 1 << log2_size, node = cu_node_index(log2_size, z);
    bool crosses = x + s > c->ctu_w || y + s > c->ctu_h;
    if (log2_size == INTER_CU_MAX_LOG2 && !crosses) {
        choice whole = choose_cu(cc, z, x, y, s);
        if (whole.cost < COST_INFINITE && whole.cost <= split_cost(cc, z, x, y)) {
            code_cu(cc, z, x, y, log2_size, &whole);
            return;
        }
    }
    if (log2_size > INTER_CU_LOG2 || (crosses && log2_size > 3)) {
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
    choice best = choose_cu(cc, z, x, y, s);
    code_cu(cc, z, x, y, log2_size, &best);
}

int32_t min_i(int32_t a, int32_t b) { return a < b ? a : b; }

}  // namespace

void ctu_inter_decision(encoder_instance *ctx)
{
    ctu_context *c = &ctx->ctu;
    rc_ctu_qp(&ctx->rcc);
    c->qp = ctx->rcc.ctu_qp;
    cu_coder *cc = new cu_coder();
    cc->ctx = ctx;
    cc->refs.table = &ctx->intra_pred;
    cc->refs.recon_avail_map = c->recon_avail;
    cc->refs.ref_area = &cc->area;
    cc->quant.scans = ctx->scans;
    cc->quant.sign_hiding = ctx->pps.sign_data_hiding;
    int32_t qp = ctx->pps.cu_qp_delta_enabled ? c->qp : ctx->sh.slice_qp;
    qp = qp < 0 ? 0 : qp > 51 ? 51 : qp;
    c->qp = cc->qp = qp;
    cc->qp_chroma = deblock_chroma_qp_table[qp];
    cc->lambda = ctx->rcc.lambda_satd ? ctx->rcc.lambda_satd : 1;
    cc->ref_limit[0] = min_i(min_i(ctx->ref_count_l0, ctx->sh.num_ref_idx_l0_active), ENCODER_MAX_REFS);
    cc->ref_limit[1] = ctx->sh.slice_type == slice_b
                           ? min_i(min_i(ctx->ref_count_l1, ctx->sh.num_ref_idx_l1_active), ENCODER_MAX_REFS)
                           : 0;
    me_context_init(ctx, &cc->me);
    // Searches interpolate: the sub-sample planes of references are not relied on.
    cc->me.use_subpel_planes = 0;
    me_context_set_refs(ctx, &cc->me);
    decide_node(cc, 0, 0, 0, 6);
    delete cc;
}
