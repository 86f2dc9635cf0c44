// Rate estimation of the CTU syntax for the search, on the rate part of the
// context's live coder (est_bits and the context states). With the CABAC bit
// estimator present the search prices exactly what the syntax writer sends;
// without it a bin-level model of the same intra syntax stands in, so that
// the search runs (and is tested) on its own.
#include "analysis/mode_search.h"

#if __has_include("bitstream/cabac_estimate.h")
#define TV_HAVE_RATE_ESTIMATOR 1
#include "bitstream/cabac_estimate.h"
#include "bitstream/syntax_writer.h"
#endif

void intra_mpm_modes(const encoder_instance *ctx, int32_t z, int32_t out[3])
{
    const int8_t *modes = ctx->ctu.intra_modes;
    int32_t m = map4_index(z);
    int32_t left = modes[m - 1], above = modes[m - CTU_MAP4_STRIDE];
    if (left < 0) left = 1;
    if (above < 0) above = 1;
    // The above CTU's modes are never used (its row 0 entries read -1).
    if (left == above) {
        if (left < 2) {
            out[0] = 0;
            out[1] = 1;
            out[2] = 26;
        } else {
            out[0] = left;
            out[1] = 2 + ((left + 29) % 32);
            out[2] = 2 + ((left - 2 + 1) % 32);
        }
        return;
    }
    out[0] = left;
    out[1] = above;
    if (left != 0 && above != 0) out[2] = 0;
    else if (left + above < 2) out[2] = 26;
    else out[2] = 1;
}

#ifdef TV_HAVE_RATE_ESTIMATOR

namespace {

syntax_ctu_context syntax_view(encoder_instance *ctx)
{
    ctu_context *c = &ctx->ctu;
    mode_search_state *st = search_state(ctx);
    syntax_ctu_context s{};
    s.decision = &c->decision;
    s.maps = &c->maps;
    s.motion = &c->motion;
    s.intra_modes = c->intra_modes;
    for (int p = 0; p < 3; p++) s.levels[p] = st->tu_levels[p];
    s.pic_width = ctx->width;
    s.pic_height = ctx->height;
    s.ctu_col = c->x;
    s.ctu_row = c->y;
    s.slice_type = ctx->sh.slice_type;
    s.max_num_merge_cand = ctx->sh.max_num_merge_cand;
    s.num_ref_idx_active[0] = ctx->sh.num_ref_idx_l0_active;
    s.num_ref_idx_active[1] = ctx->sh.num_ref_idx_l1_active;
    s.sps = &ctx->sps;
    s.pps = &ctx->pps;
    s.scans = ctx->scans;
    s.metrics = &ctx->metric;
    s.qp_prev = ctx->qp_prev;
    s.qg_units = c->qg_units;
    s.cur_cu_z = c->last_cu_z;
    return s;
}

}  // namespace

void rate_residual_block(encoder_instance *ctx, int32_t z, int32_t log2_size, int32_t scan, int32_t plane)
{
    syntax_ctu_context s = syntax_view(ctx);
    rate_est_residual_block(&s, &ctx->cabac, z, log2_size, scan, plane);
}

void rate_intra_luma_mode(encoder_instance *ctx, int32_t z, int32_t log2_size)
{
    syntax_ctu_context s = syntax_view(ctx);
    rate_est_intra_luma_mode(&s, &ctx->cabac, z, log2_size);
}

void rate_coding_unit(encoder_instance *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    syntax_ctu_context s = syntax_view(ctx);
    rate_est_coding_unit(&s, &ctx->cabac, z, x, y, log2_size);
}

#else

namespace {

void bin(cabac_encoder *c, int32_t slot, int32_t b)
{
    uint32_t s = c->ctx[slot];
    c->est_bits += cabac_bits_table[s ^ (uint32_t)b];
    c->ctx[slot] = cabac_next_state_table[2 * s + (uint32_t)b];
}

const int16_t *block_levels(encoder_instance *ctx, int32_t z, int32_t plane)
{
    mode_search_state *st = search_state(ctx);
    return plane == 0 ? st->tu_levels[0] + 16 * z : st->tu_levels[plane] + 4 * z;
}

void transform_node_rate(encoder_instance *ctx, int32_t z, int32_t log2_size, int32_t depth, uint8_t parent_chroma)
{
    cabac_encoder *c = &ctx->cabac;
    const cu_decision_arrays *d = &ctx->ctu.decision;
    int32_t n = node_index(z, log2_size);
    int32_t split = d->tu_split[n] == 1 && log2_size > 2;
    if (log2_size <= 5 && log2_size > 2 && !(depth == 0 && d->part_mode[n] == 3))
        bin(c, ctx_split_transform_flag + 5 - log2_size, split);
    uint8_t cbf = d->cbf_flags[n];
    uint8_t chroma = 0;
    if (log2_size > 2) {
        for (int32_t p = 1; p <= 2; p++)
            if (depth == 0 || (parent_chroma & (1 << p))) {
                bin(c, ctx_cbf_chroma + depth, (cbf >> p) & 1);
                chroma |= (uint8_t)(cbf & (1 << p));
            }
    } else {
        chroma = parent_chroma;
    }
    if (split) {
        int32_t q = 1 << (2 * (log2_size - 3));
        for (int32_t k = 0; k < 4; k++) transform_node_rate(ctx, z + k * q, log2_size - 1, depth + 1, chroma);
        return;
    }
    bin(c, ctx_cbf_luma + (depth == 0 ? 1 : 0), cbf & 1);
    int32_t mode = (uint8_t)ctx->ctu.intra_modes[map4_index(z)];
    if (cbf & 1) rate_residual_block(ctx, z, log2_size, scan_idx_of(log2_size, mode), 0);
    if (log2_size > 2 || (z & 3) == 3) {
        int32_t cl = log2_size > 2 ? log2_size - 1 : 2;
        int32_t zc = log2_size > 2 ? z : z & ~3;
        uint8_t cc = log2_size > 2 ? cbf : d->cbf_flags[node_index(z, 2)];
        for (int32_t p = 1; p <= 2; p++)
            if (cc & (1 << p)) rate_residual_block(ctx, zc, cl, 0, p);
    }
}

}  // namespace

void rate_residual_block(encoder_instance *ctx, int32_t z, int32_t log2_size, int32_t scan, int32_t plane)
{
    (void)scan;
    const int16_t *levels = block_levels(ctx, z, plane);
    int32_t count = 1 << (2 * log2_size), last = -1;
    uint32_t bits = 0;
    for (int32_t i = 0; i < count; i++) {
        int32_t v = levels[i] < 0 ? -levels[i] : levels[i];
        if (!v) continue;
        last = i;
        int32_t lb = 0;
        while ((v >> lb) > 1) lb++;
        bits += 256u * (uint32_t)(2 + 2 * lb);
    }
    if (last < 0) return;
    bits += 256u * (uint32_t)(2 * log2_size) + 64u * (uint32_t)last;
    ctx->cabac.est_bits += bits;
}

void rate_intra_luma_mode(encoder_instance *ctx, int32_t z, int32_t log2_size)
{
    (void)log2_size;
    int32_t mpm[3];
    intra_mpm_modes(ctx, z, mpm);
    int32_t mode = (uint8_t)ctx->ctu.intra_modes[map4_index(z)];
    int32_t idx = mode == mpm[0] ? 0 : (mode == mpm[1] ? 1 : (mode == mpm[2] ? 2 : -1));
    bin(&ctx->cabac, ctx_prev_intra_luma_pred_flag, idx >= 0);
    ctx->cabac.est_bits += idx < 0 ? 5 * 256u : (idx == 0 ? 256u : 512u);
}

void rate_coding_unit(encoder_instance *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    (void)x;
    (void)y;
    cabac_encoder *c = &ctx->cabac;
    int32_t n = node_index(z, log2_size);
    uint32_t part = ctx->ctu.decision.part_mode[n];
    if (log2_size == 3) bin(c, ctx_part_mode, part == 0);
    if (part == 3) {
        for (int32_t k = 0; k < 4; k++) rate_intra_luma_mode(ctx, z + k, 2);
    } else {
        rate_intra_luma_mode(ctx, z, log2_size);
    }
    int32_t code = (uint8_t)ctx->ctu.intra_modes[chroma_map_index(z >> 2)];
    bin(c, ctx_intra_chroma_pred_mode, code != 4);
    if (code != 4) c->est_bits += 512;
    transform_node_rate(ctx, z, log2_size, 0, 6);
}

#endif
