// Statistics of a coded CTU for rate control: with the first pass of two-pass
// coding the intra and skipped area in 8x8 units, in constant bitrate the
// logarithm of the CTU's lambda (unless the whole CTU is skipped).
#include <cmath>

#include "encoder/ctu_stats.h"
#include "encoder/encoder_instance.h"

// Adds the areas of the CU subtree rooted at the CU of size 2^log2_size at
// z-order index z (4x4 units) and offset (x, y) inside the CTU. A CU whose
// top-left lies outside the picture adds nothing; a leaf counts in full even
// where it reaches past the picture edge.
void ctu_count_cu_areas(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    const ctu_context *c = &ctx->ctu;
    if (x >= c->ctu_w || y >= c->ctu_h) return;
    int32_t node = cu_tree_node(z, log2_size);
    if (log2_size > 3 && c->decision.cu_split[node]) {
        int32_t q = 1 << (2 * (log2_size - 3));
        int32_t h = 1 << (log2_size - 1);
        ctu_count_cu_areas(ctx, z, x, y, log2_size - 1);
        ctu_count_cu_areas(ctx, z + q, x + h, y, log2_size - 1);
        ctu_count_cu_areas(ctx, z + 2 * q, x, y + h, log2_size - 1);
        ctu_count_cu_areas(ctx, z + 3 * q, x + h, y + h, log2_size - 1);
        return;
    }
    uint32_t area = 1u << (2 * (log2_size - 3));
    int32_t m = zorder_to_map8[(z >> 2) & 63];
    if (c->maps.pred_mode_map[m] == 1) ctx->row_stats.intra_area += area;
    if (c->maps.cu_flags_map[m] & 1) ctx->row_stats.skip_area += area;
}

void ctu_collect_stats(row_context *ctx)
{
    const ctu_context *c = &ctx->ctu;
    if (ctx->config.pass1) ctu_count_cu_areas(ctx, 0, 0, 0, 6);
    if (ctx->config.rc_mode == RC_MODE_CBR && !c->skip_all) {
        ctx->row_stats.log_lambda_sum += std::log((double)ctx->rcc.lambda_sse * 0.00390625);
        ctx->row_stats.log_lambda_count++;
    }
}
