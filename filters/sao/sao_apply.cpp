// SAO application of whole CTUs and the order in which the CTU job applies
// them. A CTB is applied only when its right, lower and lower-right
// neighbours have been coded and deblocked: its ring in the deblocked copy is
// then final, and the final samples it writes over the shared buffer are no
// longer read by anyone.
#include "filters/sao/sao.h"

void sao_apply_ctu(const sao_table *table, const sao_ctu_context *ctx, uint32_t x, uint32_t y)
{
    if (ctx->sao_flags & SAO_FLAG_LUMA) table->apply_ctb_plane(ctx, x, y, 0, 0);
    if (ctx->sao_flags & SAO_FLAG_CHROMA) {
        table->apply_ctb_plane(ctx, x, y, 1, 0);
        table->apply_ctb_plane(ctx, x, y, 2, 0);
    }
}

static int push(uint32_t out[4][2], int n, uint32_t x, uint32_t y)
{
    out[n][0] = x;
    out[n][1] = y;
    return n + 1;
}

int sao_final_ctus(uint32_t x, uint32_t y, uint32_t ctu_columns, uint32_t ctu_rows, uint32_t out[4][2])
{
    bool last_col = x + 1 == ctu_columns, last_row = y + 1 == ctu_rows;
    int n = 0;
    if (x >= 1 && y >= 1) n = push(out, n, x - 1, y - 1);
    if (last_col && y >= 1) n = push(out, n, x, y - 1);
    if (last_row) {
        if (x >= 1) n = push(out, n, x - 1, y);
        if (last_col) n = push(out, n, x, y);
    }
    return n;
}
