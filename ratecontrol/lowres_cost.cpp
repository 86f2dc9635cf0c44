// Low-resolution frame costs of the lookahead.
//
// Provisional block estimate: until the half-resolution motion search and the
// intra mode trial are in place, a block's intra cost is its mean-removed SAD
// and its inter cost the SAD against the co-located block of the reference
// (or of the average of both references), all on 8x8 blocks of the
// half-resolution luma plane, in the same units and with the same +9 / +4
// offsets, sums, per-block arrays and caching as the full estimate.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/lookahead.h"

namespace {

struct cost_geometry {
    int32_t cols;          // 8x8 half-resolution blocks per row
    int32_t rows;
    int32_t block_stride;  // 4 x CTU columns
    int32_t ctu_cols;
    int32_t ctu_rows;
};

cost_geometry geometry_of(const internal_config *cfg)
{
    cost_geometry g;
    g.cols = (cfg->width + 15) / 16;
    g.rows = (cfg->height + 15) / 16;
    g.ctu_cols = (cfg->width + 63) / 64;
    g.ctu_rows = (cfg->height + 63) / 64;
    g.block_stride = 4 * g.ctu_cols;
    return g;
}

const uint8_t *lowres_block(const picture *pic, int32_t bx, int32_t by)
{
    return pic->lowres_plane + (int64_t)8 * by * pic->lowres_stride + 8 * bx;
}

uint32_t intra_estimate(const uint8_t *src, int32_t stride)
{
    int32_t sum = 0;
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) sum += src[y * stride + x];
    int32_t mean = (sum + 32) >> 6;
    uint32_t sad = 0;
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) sad += (uint32_t)std::abs(src[y * stride + x] - mean);
    return sad;
}

uint32_t sad_8x8(const uint8_t *a, int32_t a_stride, const uint8_t *b, int32_t b_stride)
{
    uint32_t sad = 0;
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) sad += (uint32_t)std::abs(a[y * a_stride + x] - b[y * b_stride + x]);
    return sad;
}

uint32_t sad_8x8_avg(const uint8_t *s, int32_t ss, const uint8_t *a, int32_t as, const uint8_t *b, int32_t bs)
{
    uint32_t sad = 0;
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++) {
            int32_t avg = (a[y * as + x] + b[y * bs + x] + 1) >> 1;
            sad += (uint32_t)std::abs(s[y * ss + x] - avg);
        }
    return sad;
}

// Sums of one cost computation.
struct cost_sums {
    uint32_t intra;
    uint32_t best;
    uint32_t intra_aq;
    uint32_t best_aq;
};

uint32_t weighted(const picture *pic, const internal_config *cfg, int32_t block, uint32_t cost)
{
    if (cfg->aq_mode == 0 || !pic->aq_weight) return cost;
    return (uint32_t)(((uint64_t)pic->aq_weight[block] * cost + 128) >> 8);
}

// Running sums per CTU row: each CTU's entry is its row's cost up to and including it.
void add_row_costs(int32_t *row_costs, int32_t *ctu_costs, const uint32_t *ctu_sum, const cost_geometry *g)
{
    for (int32_t r = 0; r < g->ctu_rows; r++) {
        int32_t running = 0;
        for (int32_t c = 0; c < g->ctu_cols; c++) {
            int32_t ctu = r * g->ctu_cols + c;
            running += (int32_t)ctu_sum[ctu];
            ctu_costs[ctu] += running;
        }
        row_costs[r] += running;
    }
}

}  // namespace

void lookahead_frame_cost(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b)
{
    const internal_config *cfg = la->links.cfg;
    picture *pic = frames[b];
    int32_t d0 = b - p0, d1 = p1 - b;
    if (d0 < 0 || d1 < 0 || d0 > PICTURE_MAX_DISTANCE || d1 > PICTURE_MAX_DISTANCE) return;
    if (pic->frame_cost[d0][d1] >= 0) return;
    cost_geometry g = geometry_of(cfg);
    bool intra_needed = pic->lowres_intra_done == 0;
    bool vbv = cfg->vbv_maxrate != 0;
    int32_t ctu_count = g.ctu_cols * g.ctu_rows;
    // Per-distance block arrays exist up to bframes + 1.
    bool store_cell = d0 <= cfg->bframes + 1 && d1 <= cfg->bframes + 1 && pic->lowres_costs[d0][d1];

    uint32_t *intra_ctu = la->cost_scratch;
    std::memset(intra_ctu, 0, sizeof(uint32_t) * 2 * (size_t)ctu_count);
    uint32_t *best_ctu = intra_ctu + ctu_count;
    cost_sums s = {};
    const picture *ref0 = frames[p0], *ref1 = frames[p1];
    int32_t stride = pic->lowres_stride;
    for (int32_t by = 0; by < g.rows; by++)
        for (int32_t bx = 0; bx < g.cols; bx++) {
            int32_t block = by * g.block_stride + bx;
            int32_t ctu = (by / 4) * g.ctu_cols + bx / 4;
            const uint8_t *src = lowres_block(pic, bx, by);
            uint32_t intra = intra_needed ? intra_estimate(src, stride) + 9 : pic->intra_costs[block];
            if (intra_needed) pic->intra_costs[block] = intra;
            uint32_t inter = 0x1FFFFFFF, kind = 0;
            if (p0 != p1) {
                uint32_t c0 = b > p0 ? sad_8x8(src, stride, lowres_block(ref0, bx, by), ref0->lowres_stride) : ~0u;
                uint32_t c1 = b < p1 ? sad_8x8(src, stride, lowres_block(ref1, bx, by), ref1->lowres_stride) : ~0u;
                inter = c0, kind = 1;
                if (c1 < inter) inter = c1, kind = 2;
                if (b > p0 && b < p1) {
                    uint32_t cb = sad_8x8_avg(src, stride, lowres_block(ref0, bx, by), ref0->lowres_stride,
                                              lowres_block(ref1, bx, by), ref1->lowres_stride);
                    if (cb < inter) inter = cb, kind = 3;
                }
                inter += 4;
            }
            s.intra += intra;
            s.intra_aq += weighted(pic, cfg, block, intra);
            intra_ctu[ctu] += intra;
            uint32_t best = intra >= inter ? inter : intra;
            if (intra < inter) kind = 0;
            if (p0 != p1) {
                best_ctu[ctu] += best;
                s.best += best;
                s.best_aq += weighted(pic, cfg, block, best);
            }
            if (store_cell) pic->lowres_costs[d0][d1][block] = std::min(best, 0x0FFFFFFFu) + (kind << 28);
        }

    if (intra_needed) {
        pic->frame_cost[0][0] = (int32_t)s.intra;
        pic->frame_cost_aq[0][0] = (int32_t)s.intra_aq;
        if (vbv) {
            std::memset(pic->row_costs[0][0], 0, sizeof(int32_t) * (size_t)g.ctu_rows);
            std::memset(pic->ctu_costs[0][0], 0, sizeof(int32_t) * (size_t)ctu_count);
            add_row_costs(pic->row_costs[0][0], pic->ctu_costs[0][0], intra_ctu, &g);
        }
    }
    if (p0 != p1) {
        pic->frame_cost[d0][d1] = (int32_t)s.best;
        pic->frame_cost_aq[d0][d1] = (int32_t)s.best_aq;
        if (vbv) {
            std::memset(pic->row_costs[d0][d1], 0, sizeof(int32_t) * (size_t)g.ctu_rows);
            std::memset(pic->ctu_costs[d0][d1], 0, sizeof(int32_t) * (size_t)ctu_count);
            add_row_costs(pic->row_costs[d0][d1], pic->ctu_costs[d0][d1], best_ctu, &g);
        }
    }
    if (b == p1) pic->lowres_intra_done = 1;
}

namespace {

bool is_keyframe_type(uint32_t t)
{
    return t == PIC_TYPE_IDR || t == PIC_TYPE_CRA || t == PIC_TYPE_I;
}

// The nearest pyramid references around b among the given positions.
void pyramid_refs(int32_t b, const int32_t *points, int32_t count, int32_t *p0, int32_t *p1)
{
    for (int32_t k = 0; k < count; k++) {
        if (points[k] < b && points[k] > *p0) *p0 = points[k];
        if (points[k] > b && points[k] < *p1) *p1 = points[k];
    }
}

void cost_b_run(lookahead *la, picture **frames, int32_t p0, int32_t p1)
{
    int32_t n = p1 - p0 - 1;
    int32_t h = la->links.cfg->hierarchy;
    if (h == 2 && n >= 4) {
        int32_t half = (p1 - p0) / 2, mid = p0 + half, quarter = p0 + half / 2;
        int32_t three_quarter = mid + (p1 - p0 - half) / 2;
        lookahead_frame_cost(la, frames, p0, p1, mid);
        lookahead_frame_cost(la, frames, p0, mid, quarter);
        lookahead_frame_cost(la, frames, mid, p1, three_quarter);
        const int32_t points[3] = {quarter, mid, three_quarter};
        for (int32_t b = p1 - 1; b > p0; b--) {
            if (b == quarter || b == mid || b == three_quarter) continue;
            int32_t q0 = p0, q1 = p1;
            pyramid_refs(b, points, 3, &q0, &q1);
            lookahead_frame_cost(la, frames, q0, q1, b);
        }
    } else if (h != 0 && n >= 2) {
        int32_t mid = p0 + (p1 - p0) / 2;
        lookahead_frame_cost(la, frames, p0, p1, mid);
        for (int32_t b = p1 - 1; b > p0; b--) {
            if (b == mid) continue;
            if (b > mid)
                lookahead_frame_cost(la, frames, mid, p1, b);
            else
                lookahead_frame_cost(la, frames, p0, mid, b);
        }
    } else {
        for (int32_t b = p1 - 1; b > p0; b--) lookahead_frame_cost(la, frames, p0, p1, b);
    }
}

}  // namespace

void lookahead_window_costs(lookahead *la, picture **frames, int32_t last, int32_t first)
{
    if (is_keyframe_type(frames[first]->picture_type)) lookahead_frame_cost(la, frames, first, first, first);
    while (last > first && frames[last]->picture_type == PIC_TYPE_B) last--;
    if (last <= first) return;
    int32_t p1 = last;
    for (;;) {
        int32_t p0 = p1 - 1;
        while (p0 > 0 && frames[p0]->picture_type == PIC_TYPE_B) p0--;
        if (p0 < 0 || frames[p0]->picture_type == PIC_TYPE_B) return;
        if (frames[p1]->picture_type == PIC_TYPE_P)
            lookahead_frame_cost(la, frames, p0, p1, p1);
        else
            lookahead_frame_cost(la, frames, p1, p1, p1);
        cost_b_run(la, frames, p0, p1);
        p1 = p0;
        if (p0 <= first) return;
    }
}

// Provisional macroblock-tree: costs the window as the tree will need it and
// leaves every CTU's offset at 0, which is what the tree gives when nothing
// propagates. The propagation itself replaces this body.
void mbtree_analyse(lookahead *la, picture **frames, int32_t last, int32_t first)
{
    lookahead_window_costs(la, frames, last, first);
    const internal_config *cfg = la->links.cfg;
    int32_t blocks = 16 * ((cfg->width + 63) / 64) * ((cfg->height + 63) / 64);
    // Pictures before first are being coded and are not touched.
    for (int32_t i = first; i <= last; i++)
        if (frames[i]->mbtree_qp_offset)
            std::memset(frames[i]->mbtree_qp_offset, 0, sizeof(float) * (size_t)blocks);
}

int32_t lookahead_rc_cost(const internal_config *cfg, picture *source, picture *recon, const picture *ref0,
                          const picture *ref1)
{
    uint32_t type = source->picture_type;
    int32_t d0 = 0, d1 = 0;
    if (!is_keyframe_type(type) && ref0) d0 = source->poc - ref0->poc;
    if ((type == PIC_TYPE_BREF || type == PIC_TYPE_B) && ref1) d1 = ref1->poc - source->poc;
    d0 = std::min(std::max(d0, 0), (int32_t)PICTURE_MAX_DISTANCE);
    d1 = std::min(std::max(d1, 0), (int32_t)PICTURE_MAX_DISTANCE);
    int32_t cost = (cfg->mbtree != 0 || cfg->aq_mode == 0) ? source->frame_cost[d0][d1] : source->frame_cost_aq[d0][d1];
    source->row_costs_rc = source->row_costs[d0][d1];
    source->ctu_costs_rc = source->ctu_costs[d0][d1];
    source->frame_cost_rc = cost;
    if (recon) {
        int32_t ctu_rows = (cfg->height + 63) / 64, ctu_cols = (cfg->width + 63) / 64;
        recon->row_costs_rc = recon->row_costs[d0][d1];
        recon->ctu_costs_rc = recon->ctu_costs[d0][d1];
        recon->frame_cost_rc = cost;
        if (recon->row_costs_rc && source->row_costs_rc) {
            std::memcpy(recon->row_costs_rc, source->row_costs_rc, sizeof(int32_t) * (size_t)ctu_rows);
            std::memcpy(recon->ctu_costs_rc, source->ctu_costs_rc, sizeof(int32_t) * (size_t)ctu_rows * ctu_cols);
        }
    }
    return cost;
}
