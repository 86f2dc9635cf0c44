// Statistics of a coded CTU for rate control: with the first pass of two-pass
// coding the intra and skipped area in 8x8 units, in constant bitrate the
// logarithm of the CTU's lambda (unless the whole CTU is skipped).
#include <cmath>

#include "encoder/encoder_instance.h"

void ctu_collect_stats(encoder_instance *ctx)
{
    const ctu_context *c = &ctx->ctu;
    if (ctx->config.pass1) {
        int32_t w8 = (c->ctu_w + 7) / 8, h8 = (c->ctu_h + 7) / 8;
        for (int32_t r = 0; r < h8; r++)
            for (int32_t k = 0; k < w8; k++) {
                int32_t m = (1 + r) * CTU_MAP8_STRIDE + 8 + k;
                if (c->maps.cu_flags_map[m] & 1) ctx->row_stats.skip_area++;
                else if (c->maps.pred_mode_map[m] == 1) ctx->row_stats.intra_area++;
            }
    }
    if (ctx->config.rc_mode == RC_MODE_CBR && !c->skip_all) {
        ctx->row_stats.log_lambda_sum += std::log((double)ctx->rcc.lambda_sse / 256.0);
        ctx->row_stats.log_lambda_count++;
    }
}
