// Carving of the search records out of the context's two search work blocks:
// the CU tree, the coefficient and level buffers and the per-depth save slots
// from the first, the per-CTU search state from the second.
#include "analysis/rd/search_records.h"

#include <cstring>

static_assert(sizeof(mode_search_state) <= SEARCH_WORK_BYTES_B, "search state fits its block");

namespace {

enum {
    TREE_BYTES = CU_NODE_COUNT * (int)sizeof(cu_node),
    PLANE_COEFFS = 4096 + 2 * 1024,
};

// A save slot of depth d (CU size s = 64 >> d): s luma rows and s / 2 chroma
// rows of the work planes, then the 16-bit levels of Y, Cb and Cr.
constexpr int32_t slot_bytes(int32_t d)
{
    return (64 >> d) * CTU_WORK_STRIDE + (32 >> d) * CTU_WORK_STRIDE + 2 * ((64 >> d) * (64 >> d) * 3 / 2);
}
static_assert(TREE_BYTES + 4 * PLANE_COEFFS + slot_bytes(0) + slot_bytes(1) + slot_bytes(2) + slot_bytes(3) +
                      3 * 16 + (int)sizeof(coarse_search_context) + (int)sizeof(me_context) +
                      (int)sizeof(prediction_save_area) <= SEARCH_WORK_BYTES_A,
              "search records fit the first search work block");

}  // namespace

void mode_search_state_init(row_context *ctx)
{
    mode_search_state *st = search_state(ctx);
    uint8_t *a = ctx->ctu.search_work[0];
    for (int32_t p = 0; p < 3; p++) st->tu_levels[p] = ctx->ctu.tu_levels[p];
    if (st->tree == (cu_node *)a) return;
    std::memset(st, 0, sizeof(*st));
    for (int32_t p = 0; p < 3; p++) st->tu_levels[p] = ctx->ctu.tu_levels[p];
    st->tree = (cu_node *)a;
    a += TREE_BYTES;
    int16_t *coeffs = (int16_t *)a;
    st->tu_coeffs[0] = coeffs;
    st->tu_coeffs[1] = coeffs + 4096;
    st->tu_coeffs[2] = coeffs + 5120;
    a += 2 * PLANE_COEFFS;
    for (int32_t d = 0; d < 4; d++) {
        int32_t s = 64 >> d;
        cu_state_slot *slot = &st->slots[d];
        slot->luma = a;
        slot->chroma = a + s * CTU_WORK_STRIDE;
        int16_t *c = (int16_t *)(slot->chroma + (s / 2) * CTU_WORK_STRIDE);
        slot->coeff[0] = c;
        slot->coeff[1] = c + s * s;
        slot->coeff[2] = c + s * s + s * s / 4;
        a += slot_bytes(d);
    }
    // The records behind hold pointers: align each.
    uint8_t *base = ctx->ctu.search_work[0];
    auto aligned = [base](uint8_t *p) { return base + (((size_t)(p - base) + 15) & ~(size_t)15); };
    a = aligned(a);
    st->coarse = (coarse_search_context *)a;
    a = aligned(a + sizeof(coarse_search_context));
    st->me = (me_context *)a;
    a = aligned(a + sizeof(me_context));
    st->pred_save = (prediction_save_area *)a;
}
