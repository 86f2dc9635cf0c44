// Stand-in for the CTU syntax writer until it exists: writes one bin per CTU
// from the root split decision, so that every substream carries bytes and the
// slice and entry-point plumbing is exercised. The slice data it produces is
// not yet a decodable coding_quadtree().
#include "bitstream/ctu_syntax.h"

#include "encoder/encoder_instance.h"

void cabac_write_ctu(encoder_instance *ctx)
{
    cabac_encode_bin(&ctx->cabac, ctx_split_cu_flag, ctx->ctu.decision.cu_split[0] ? 1 : 0);
    ctx->qp_prev = ctx->ctu.qp;
}
