// Fixed decision kept for P and B pictures until their inter decisions exist:
// every CTU is coded as intra DC CUs of the largest size that lies inside the
// picture, without residual, so the reconstruction is the prediction (the
// mean of the neighbouring samples around the CTU buffer).
#include "analysis/mode_search.h"

#include <cstring>

namespace {

int32_t border_mean(const uint8_t *origin, int32_t n)
{
    uint32_t sum = 0;
    for (int32_t i = 0; i < n; i++) sum += origin[i - CTU_WORK_STRIDE];
    for (int32_t i = 0; i < n; i++) sum += origin[i * CTU_WORK_STRIDE - 1];
    return (int32_t)((sum + (uint32_t)n) / (2u * (uint32_t)n));
}

void fill_block(uint8_t *origin, int32_t n, int32_t value)
{
    for (int32_t r = 0; r < n; r++) std::memset(origin + r * CTU_WORK_STRIDE, value, (size_t)n);
}

// Decides one node: split while the CU crosses the picture edge.
void decide_node(encoder_instance *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    ctu_context *c = &ctx->ctu;
    int32_t s = 1 << log2_size;
    int32_t node = cu_node_index(log2_size, z);
    bool crosses = x + s > c->ctu_w || y + s > c->ctu_h;
    c->decision.part_mode[node] = 0;
    c->decision.cbf_flags[node] = 0;
    if (crosses && log2_size > 3) {
        c->decision.cu_split[node] = 1;
        c->decision.tu_split[node] = 1;
        int32_t h = s / 2, q = 1 << (2 * (log2_size - 3));
        decide_node(ctx, z, x, y, log2_size - 1);
        if (x + h < c->ctu_w) decide_node(ctx, z + q, x + h, y, log2_size - 1);
        if (y + h < c->ctu_h) decide_node(ctx, z + 2 * q, x, y + h, log2_size - 1);
        if (x + h < c->ctu_w && y + h < c->ctu_h) decide_node(ctx, z + 3 * q, x + h, y + h, log2_size - 1);
        return;
    }
    c->decision.cu_split[node] = 0;
    // A 64x64 CU has 32x32 transforms at most: its root transform splits.
    c->decision.tu_split[node] = log2_size > 5 ? 1 : 0;
    if (log2_size > 5)
        for (int32_t k = 0; k < 4; k++) {
            int32_t child = cu_node_index(5, z + 64 * k);
            c->decision.tu_split[child] = 0;
            c->decision.cbf_flags[child] = 0;
        }
    int32_t units = s / 8;
    int32_t first = map8_index(z);
    for (int32_t r = 0; r < units; r++)
        for (int32_t k = 0; k < units; k++) {
            int32_t m = first + r * CTU_MAP8_STRIDE + k;
            c->maps.cu_flags_map[m] = 0;
            c->maps.cu_depth_map[m] = (int8_t)(6 - log2_size);
            c->maps.cu_qp_map[m] = (int8_t)c->qp;
            c->maps.pred_mode_map[m] = 1;
            c->motion.merge_flag_map[m] = 0;
            c->motion.ref_idx[0][m] = c->motion.ref_idx[1][m] = -1;
            c->motion.mv[0][m] = c->motion.mv[1][m] = 0;
        }
    for (int32_t r = 0; r < s / 4; r++)
        for (int32_t k = 0; k < s / 4; k++)
            c->intra_modes[(1 + y / 4 + r) * CTU_MAP4_STRIDE + 16 + x / 4 + k] = 1;
    // Chroma follows the luma mode (index 4): the entries must not keep what
    // a searched CTU of the same context left there.
    for (int32_t r = 0; r < s / 8; r++)
        for (int32_t k = 0; k < s / 8; k++) c->intra_modes[(1 + y / 8 + r) * CTU_MAP4_STRIDE + x / 8 + k] = 4;
}

}  // namespace

void ctu_fixed_decision(encoder_instance *ctx)
{
    ctu_context *c = &ctx->ctu;
    rc_ctu_qp(&ctx->rcc);
    c->qp = ctx->rcc.ctu_qp;
    decide_node(ctx, 0, 0, 0, 6);
    fill_block(c->recon_luma, CTU_SIZE, border_mean(c->recon_luma, CTU_SIZE));
    fill_block(c->recon_chroma, CTU_SIZE / 2, border_mean(c->recon_chroma, CTU_SIZE / 2));
    uint8_t *cr = c->recon_chroma + 64;
    fill_block(cr, CTU_SIZE / 2, border_mean(cr, CTU_SIZE / 2));
}
