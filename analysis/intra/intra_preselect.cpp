// Intra candidate pre-selection: which of the 35 luma modes a block tries.
// At the left and top picture edges the modes whose references would all be
// substituted from one side repeat another mode; below speed level 3 the
// block's directional activity narrows the modes to a window around the
// direction in which it is smoothest.
#include "analysis/mode_search.h"

#include <cstring>

static int32_t keep_range(uint8_t list[INTRA_MODE_COUNT], int32_t first, int32_t last)
{
    for (int32_t m = first; m <= last; m++) list[m] = 1;
    return last - first + 1;
}

int32_t intra_mode_preselect(row_context *ctx, uint8_t list[INTRA_MODE_COUNT], int32_t *representative,
                             int32_t log2_size, int32_t x, int32_t y)
{
    mode_search_state *st = search_state(ctx);
    const ctu_context *c = &ctx->ctu;
    std::memset(list, 1, INTRA_MODE_COUNT);
    if (c->x == 0 && x == 0) {
        if (c->y == 0 && y == 0) {
            std::memset(list + 3, 0, 32);
            *representative = 2;
            return 3;
        }
        std::memset(list + 3, 0, 7);
        *representative = 2;
        return 28;
    }
    if (c->y == 0 && y == 0) {
        std::memset(list + 28, 0, 7);
        *representative = 27;
        return 28;
    }
    if (st->speed_level >= 3) return INTRA_MODE_COUNT;
    ctu_activity_maps *a = &st->activity;
    if (a->grad_diag[0] == 0xffffffffu) ctx->enc->metric.ctu_activity_diag(c->source_luma, a);
    int32_t n = 1 << log2_size;
    int32_t e = activity_entry(n, x, y);
    int64_t v = a->grad_ver[e], h = a->grad_hor[e], d = a->grad_diag[e], an = a->grad_anti[e];
    std::memset(list, 0, INTRA_MODE_COUNT);
    *representative = -1;
    if (v + h + d + an < (int64_t)7 << (2 * log2_size)) {
        list[0] = list[1] = 1;
        return 2;
    }
    // Smallest of V, H, A, D in that order; the earlier wins a tie.
    int32_t pick = 0;
    int64_t best = v;
    if (h < best) { best = h; pick = 1; }
    if (an < best) { best = an; pick = 2; }
    if (d < best) { best = d; pick = 3; }
    switch (pick) {
    case 0: return keep_range(list, 22, 30);
    case 1: return keep_range(list, 6, 14);
    case 2: return keep_range(list, 2, 6) + keep_range(list, 30, INTRA_MODE_LAST);
    default: return keep_range(list, 14, 22);
    }
}
