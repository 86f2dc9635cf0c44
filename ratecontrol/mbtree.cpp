// Macroblock-tree: walks the lookahead window backwards and lets every block
// pass the part of its cost that inter prediction saves (plus what it has
// inherited itself) to the blocks it predicts from. Areas that much of the
// future is built on get a lower QP; areas nothing refers back to keep theirs.
#include <cstring>

#include "encoder/config.h"
#include "encoder/fixed_point.h"
#include "encoder/picture.h"
#include "kernels/mc/mc.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lowres_cost.h"

namespace {

const uint32_t PROPAGATE_MAX = 0xFFFFFF;

bool is_keyframe_type(uint32_t t)
{
    return t == PIC_TYPE_IDR || t == PIC_TYPE_CRA || t == PIC_TYPE_I;
}

void zero_propagate(const lookahead *la, picture *pic)
{
    lowres_grid g = lowres_grid_of(la->links.cfg);
    if (pic->propagate_costs)
        std::memset(pic->propagate_costs, 0, sizeof(uint32_t) * (size_t)g.stride * 4 * g.ctu_rows);
}

void add_amount(uint32_t *entry, uint64_t amount)
{
    uint64_t v = (uint64_t)*entry + amount;
    *entry = v > PROPAGATE_MAX ? PROPAGATE_MAX : (uint32_t)v;
}

// Splits an amount over the up to four blocks a vector points between, in
// bilinear shares of 1/1024 (64-bit: the shares of a saturated amount pass
// 32 bits). Targets snap to the costed grid; parts outside the picture are lost.
void spread(const lowres_grid *g, uint32_t *dst, int32_t x, int32_t y, uint32_t mv, uint64_t amount)
{
    if (mv == 0) {
        add_amount(&dst[(int64_t)y * g->stride + x], amount);
        return;
    }
    int32_t vx = (int16_t)(mv & 0xFFFF), vy = (int16_t)(mv >> 16);
    int32_t tx = x + (vx >> 5), ty = y + (vy >> 5);
    uint64_t fx = (uint64_t)(vx & 31), fy = (uint64_t)(vy & 31);
    const uint64_t share[4] = {
        ((32 - fx) * (32 - fy) * amount + 512) >> 10,
        (fx * (32 - fy) * amount + 512) >> 10,
        ((32 - fx) * fy * amount + 512) >> 10,
        (fx * fy * amount + 512) >> 10,
    };
    for (int32_t k = 0; k < 4; k++) {
        int32_t cx = tx + (k & 1), cy = ty + (k >> 1);
        if (cx < 0 || cx >= g->cols || cy < 0 || cy >= g->rows) continue;
        cx -= cx % g->step_x;
        cy -= cy % g->step_y;
        add_amount(&dst[(int64_t)cy * g->stride + cx], share[k]);
    }
}

// The largest of the points below b and the smallest above it.
void nearest_refs(int32_t b, const int32_t *points, int32_t count, int32_t *p0, int32_t *p1)
{
    for (int32_t k = 0; k < count; k++) {
        if (points[k] < b && points[k] > *p0) *p0 = points[k];
        if (points[k] > b && points[k] < *p1) *p1 = points[k];
    }
}

void cost_and_propagate(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b)
{
    lookahead_frame_cost(la, frames, p0, p1, b);
    mbtree_propagate(la, frames, p0, p1, b, 0);
}

// The B pictures between two anchors, pyramid references last so that they
// have received everything before they pass it on.
void propagate_b_run(lookahead *la, picture **frames, int32_t p0, int32_t p1)
{
    int32_t n = p1 - p0 - 1;
    int32_t h = la->links.cfg->hierarchy;
    if (h == 2 && n >= 4) {
        int32_t half = (p1 - p0) / 2, mid = p0 + half, quarter = p0 + half / 2;
        int32_t three_quarter = mid + (p1 - p0 - half) / 2;
        lookahead_frame_cost(la, frames, p0, p1, mid);
        zero_propagate(la, frames[mid]);
        lookahead_frame_cost(la, frames, p0, mid, quarter);
        zero_propagate(la, frames[quarter]);
        lookahead_frame_cost(la, frames, mid, p1, three_quarter);
        zero_propagate(la, frames[three_quarter]);
        const int32_t points[3] = {quarter, mid, three_quarter};
        for (int32_t b = p1 - 1; b > p0; b--) {
            if (b == quarter || b == mid || b == three_quarter) continue;
            int32_t q0 = p0, q1 = p1;
            nearest_refs(b, points, 3, &q0, &q1);
            cost_and_propagate(la, frames, q0, q1, b);
        }
        mbtree_propagate(la, frames, mid, p1, three_quarter, 1);
        mbtree_propagate(la, frames, p0, mid, quarter, 1);
        mbtree_propagate(la, frames, p0, p1, mid, 1);
    } else if (h != 0 && n >= 2) {
        int32_t mid = p0 + (p1 - p0) / 2;
        lookahead_frame_cost(la, frames, p0, p1, mid);
        zero_propagate(la, frames[mid]);
        for (int32_t b = p1 - 1; b > p0; b--) {
            if (b == mid) continue;
            if (b > mid)
                cost_and_propagate(la, frames, mid, p1, b);
            else
                cost_and_propagate(la, frames, p0, mid, b);
        }
        mbtree_propagate(la, frames, p0, p1, mid, 1);
    } else {
        for (int32_t b = p1 - 1; b > p0; b--) cost_and_propagate(la, frames, p0, p1, b);
    }
}

// Offsets of the pictures coded next: the first anchor after `first` and the
// reference B pictures the decision will mark in front of it.
void finish_offsets(lookahead *la, picture **frames, int32_t last, int32_t first)
{
    int32_t k = first;
    while (k <= last && frames[k]->picture_type == PIC_TYPE_B) k++;
    if (k > last) return;
    mbtree_qp_offsets(la, frames[k]);
    int32_t m = k - 1, h = la->links.cfg->hierarchy;
    if (h == 2 && m > 3) {
        int32_t mid = (m + 1) / 2;
        mbtree_qp_offsets(la, frames[mid]);
        mbtree_qp_offsets(la, frames[mid / 2]);
        mbtree_qp_offsets(la, frames[mid + (m - mid + 1) / 2]);
    } else if (h != 0 && m > 1) {
        mbtree_qp_offsets(la, frames[(m + 1) / 2]);
    }
}

}  // namespace

void mbtree_propagate(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b, int32_t referenced)
{
    lowres_grid g = lowres_grid_of(la->links.cfg);
    picture *pic = frames[b];
    int32_t d0 = b - p0, d1 = p1 - b;
    if (d0 < 0 || d1 < 0 || d0 > PICTURE_MAX_DISTANCE || d1 > PICTURE_MAX_DISTANCE) return;
    const uint32_t *inter = pic->lowres_costs[d0][d1];
    if (!inter || !pic->propagate_costs || g.cols < 1) return;
    // A picture nothing refers to inherits nothing: its zeroed first row
    // serves as the incoming amount of every row.
    if (!referenced) std::memset(pic->propagate_costs, 0, sizeof(uint32_t) * (size_t)g.cols);
    const uint32_t *mvs[2] = {d0 > 0 ? pic->lowres_mvs[0][d0 - 1] : nullptr,
                              d1 > 0 ? pic->lowres_mvs[1][d1 - 1] : nullptr};
    picture *refs[2] = {frames[p0], frames[p1]};
    for (int32_t y = 0; y < g.rows; y += g.step_y) {
        int64_t row = (int64_t)y * g.stride;
        const uint32_t *in = referenced ? pic->propagate_costs + row : pic->propagate_costs;
        const uint16_t *w = pic->aq_weight ? pic->aq_weight + row : la->unit_weights;
        la->mc->propagate_cost(la->mbtree_row, in, pic->intra_costs + row, inter + row, w, g.cols);
        for (int32_t x = 0; x < g.cols; x += g.step_x) {
            uint32_t a = la->mbtree_row[x];
            if (a == 0) continue;
            uint32_t kind = inter[row + x] >> 28;
            for (int32_t l = 0; l < 2; l++) {
                if (!(kind & (1u << l)) || !mvs[l] || !refs[l]->propagate_costs) continue;
                uint64_t amount = kind == 3 ? ((uint64_t)a + 1) >> 1 : a;
                spread(&g, refs[l]->propagate_costs, x, y, mvs[l][row + x], amount);
            }
        }
    }
}

void mbtree_qp_offsets(lookahead *la, picture *pic)
{
    if (!pic->mbtree_qp_offset) return;
    const internal_config *cfg = la->links.cfg;
    lowres_grid g = lowres_grid_of(cfg);
    float strength = -5.0f * (1.0f - cfg->qcompress);
    for (int32_t cy = 0; cy < g.ctu_rows; cy++)
        for (int32_t cx = 0; cx < g.ctu_cols; cx++) {
            uint64_t intra = 0, prop = 0;
            for (int32_t j = 0; j < 4; j += g.step_y)
                for (int32_t i = 0; i < 4; i += g.step_x) {
                    int32_t bx = 4 * cx + i, by = 4 * cy + j;
                    if (bx >= g.cols || by >= g.rows) continue;
                    intra += pic->intra_costs[(int64_t)by * g.stride + bx];
                    prop += pic->propagate_costs[(int64_t)by * g.stride + bx];
                }
            if (intra == 0) continue;
            // log2_fast takes an i32; sums that large give offsets near 0 anyway.
            uint64_t total = intra + prop;
            int32_t li = intra > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)intra;
            int32_t lt = total > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)total;
            pic->mbtree_qp_offset[(int64_t)4 * cy * g.stride + 4 * cx] = strength * (log2_fast(lt) - log2_fast(li));
        }
}

void mbtree_analyse(lookahead *la, picture **frames, int32_t last, int32_t first)
{
    if (is_keyframe_type(frames[first]->picture_type)) lookahead_frame_cost(la, frames, first, first, first);
    while (last > 0 && frames[last]->picture_type == PIC_TYPE_B) last--;
    if (last < first) return;
    zero_propagate(la, frames[last]);
    int32_t p1 = last;
    while (p1 > first) {
        int32_t p0 = p1 - 1;
        while (p0 > 0 && frames[p0]->picture_type == PIC_TYPE_B) p0--;
        if (frames[p0]->picture_type == PIC_TYPE_B) break;
        if (frames[p1]->picture_type == PIC_TYPE_P)
            lookahead_frame_cost(la, frames, p0, p1, p1);
        else
            lookahead_frame_cost(la, frames, p1, p1, p1);
        zero_propagate(la, frames[p0]);
        propagate_b_run(la, frames, p0, p1);
        if (frames[p1]->picture_type == PIC_TYPE_P && p0 >= first) mbtree_propagate(la, frames, p0, p1, p1, 1);
        p1 = p0;
    }
    finish_offsets(la, frames, last, first);
}
