// Cost of one 8x8 block of a half-resolution picture: the cheaper of an intra
// estimate (a few intra modes on the block's own neighbours) and an inter
// estimate (a whole-sample search towards each reference, and their average),
// in SATD units with +9 on intra and +4 on inter.
#include <algorithm>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "kernels/intra/intra_pred.h"
#include "kernels/mc/mc.h"
#include "kernels/metrics/metric.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lowres_cost.h"

namespace {

enum { SIZE_8X8 = 3, INTRA_8X8 = 1, LOOKAHEAD_SEARCH_QP = 12 };

const uint32_t COST_MASK = 0x0FFFFFFF;

struct block_pos {
    int32_t bx, by;
    int32_t block;       // index into the per-block arrays
    int32_t ctu;
    int32_t d0, d1;
};

inline int32_t sign_of(int32_t v)
{
    return v < 0 ? -1 : 1;
}

void push_candidate(pu_desc *pu, uint32_t mv)
{
    if (pu->amvp_count < 2) pu->amvp[pu->amvp_count++] = mv;
}

// List-0 and list-1 candidates from the vector of the co-located block of the
// future reference towards the past one, scaled by the distances.
void scaled_candidates(int32_t v, int32_t d0, int32_t span, int32_t *c0, int32_t *c1)
{
    int32_t m = v, a = m < 0 ? -m : m;
    int32_t m0 = sign_of(m) * ((d0 * a + span / 2) / span);
    int32_t m1 = m0 - m;
    *c0 = (int16_t)((m0 + 2) & ~3);
    *c1 = (int16_t)((m1 + 2) & ~3);
}

inline uint32_t pack(int32_t x, int32_t y)
{
    return (uint32_t)(uint16_t)x | ((uint32_t)(uint16_t)y << 16);
}

void build_candidates(const lookahead *la, const frame_cost_job_args *a, const block_pos *p, pu_desc *pu)
{
    const internal_config *cfg = la->links.cfg;
    const lowres_cell_target *t = &a->target;
    bool bcost = a->b < a->p1;
    int32_t step_x = cfg->grid_cols > 0 ? cfg->grid_cols : 1;
    for (int32_t l = 0; l < 2; l++) {
        pu[l] = pu_desc();
        pu[l].width = pu[l].height = 8;
        pu[l].shape = SIZE_8X8;
        pu[l].list = l;
    }
    if (p->bx >= step_x) {
        push_candidate(&pu[0], t->mvs[0][p->block - step_x]);
        if (bcost) push_candidate(&pu[1], t->mvs[1][p->block - step_x]);
    }
    if (bcost) {
        const picture *future = a->frames[a->p1];
        int32_t span = a->p1 - a->p0;
        const uint32_t *mvs = span <= PICTURE_MAX_DISTANCE ? future->lowres_mvs[0][span - 1] : nullptr;
        // An array never searched holds no vectors of this pair.
        uint32_t v = mvs && (mvs[0] & 0xFFFF) != LOWRES_MV_NOT_SEARCHED ? mvs[p->block] : 0;
        if (v != 0) {
            int32_t x0, x1, y0, y1;
            scaled_candidates((int16_t)(v & 0xFFFF), p->d0, span, &x0, &x1);
            scaled_candidates((int16_t)(v >> 16), p->d0, span, &y0, &y1);
            uint32_t c[2] = {pack(x0, y0), pack(x1, y1)};
            for (int32_t l = 0; l < 2; l++)
                if (pu[l].amvp_count == 0 || c[l] != pu[l].amvp[1]) push_candidate(&pu[l], c[l]);
        }
    }
    for (int32_t l = 0; l < (bcost ? 2 : 1); l++)
        if (pu[l].amvp_count == 0 || (pu[l].amvp_count == 1 && pu[l].amvp[0] != 0)) push_candidate(&pu[l], 0);
}

// A block not searched keeps its first candidate as vector, which nothing
// has clamped; the averaged prediction reads it only inside the plane's
// margins. Searched vectors lie well inside and are unchanged.
uint32_t inside_margins(const picture *pic, const block_pos *p, uint32_t v)
{
    int32_t ax = 8 * p->bx, ay = 8 * p->by;
    int32_t x = std::min(std::max((int32_t)(int16_t)(v & 0xFFFF), -4 * (ax + 64)), 4 * (pic->lowres_width - ax + 56));
    int32_t y = std::min(std::max((int32_t)(int16_t)(v >> 16), -4 * (ay + 64)), 4 * (pic->lowres_height - ay + 56));
    return pack(x, y);
}

// Best list cost (list 0 on a tie) or the bi-prediction; kind 1, 2 or 3.
uint32_t inter_estimate(lookahead *la, lowres_cost_scratch *s, const frame_cost_job_args *a, const block_pos *p,
                        uint32_t *kind)
{
    const internal_config *cfg = la->links.cfg;
    picture *pic = a->frames[a->b];
    bool bcost = a->b < a->p1;
    pu_desc pu[2];
    build_candidates(la, a, p, pu);
    me_context *me = &s->me;
    int32_t stride = pic->lowres_stride;
    me->ctu_x = 8 * p->bx;
    me->ctu_y = 8 * p->by;
    // Limits in half-resolution samples: the vertical margin as it is, and the
    // coder's reach to the right, halved, when that is further.
    int32_t right = std::max(cfg->mv_margin_v, config_mv_reach_right(cfg) / 2);
    lowres_search_env env = {la->mv_cost, -500, -500, right, cfg->mv_margin_v};
    uint32_t mv[2] = {0, 0}, cost[2] = {ME_COST_INFINITE, ME_COST_INFINITE};
    for (int32_t l = 0; l < (bcost ? 2 : 1); l++) {
        const picture *ref = a->frames[l == 0 ? a->p0 : a->p1];
        const uint8_t *at = ref->lowres_plane + (int64_t)8 * p->by * stride + 8 * p->bx;
        me->ref_plane[l][0] = at;
        me->ref_phase[l][0][0] = at;
        uint32_t *mvs = a->target.mvs[l], *costs = a->target.mv_costs[l];
        if (a->search[l]) {
            me_result r;
            motion_search_lowres(&env, me, &r, &pu[l], LOOKAHEAD_SEARCH_QP);
            mvs[p->block] = r.mv;
            costs[p->block] = r.cost;
        }
        mv[l] = mvs[p->block];
        cost[l] = costs[p->block];
    }
    uint32_t best = cost[0];
    *kind = 1;
    if (bcost && cost[1] < best) {
        best = cost[1];
        *kind = 2;
    }
    if (bcost) {
        uint8_t *const *planes0 = (uint8_t *const *)me->ref_phase[0][0];
        uint8_t *const *planes1 = (uint8_t *const *)me->ref_phase[1][0];
        uint32_t v0 = inside_margins(pic, p, mv[0]), v1 = inside_margins(pic, p, mv[1]);
        const uint8_t *r0 = la->mc->subpel_plane_ptr(planes0, stride, (int16_t)(v0 & 0xFFFF), (int16_t)(v0 >> 16));
        const uint8_t *r1 = la->mc->subpel_plane_ptr(planes1, stride, (int16_t)(v1 & 0xFFFF), (int16_t)(v1 >> 16));
        la->mc->avg_pixels(s->pred, 128, r0, stride, r1, stride, 8, 8);
        uint32_t bi = la->metric->satd[SIZE_8X8](s->src, 64, s->pred, 128);
        if (bi < best) {
            best = bi;
            *kind = 3;
        }
    }
    return best + 4;
}

uint32_t intra_mode_satd(const lookahead *la, lowres_cost_scratch *s, int32_t mode, const uint8_t *ref)
{
    la->intra->pred[mode][0][INTRA_8X8](s->pred, 128, ref);
    return la->metric->satd[SIZE_8X8](s->src, 64, s->pred, 128);
}

// Smallest SATD of planar, DC, vertical, horizontal and, at the higher
// sub-sample levels, a spread of angular modes, on the block's neighbours in
// its own half-resolution plane (the margins stand in at the picture edges).
uint32_t intra_estimate(const lookahead *la, lowres_cost_scratch *s, const picture *pic, const uint8_t *blk)
{
    int32_t stride = pic->lowres_stride;
    s->ref[0] = blk[-stride - 1];
    for (int32_t i = 0; i < 16; i++) {
        s->ref[1 + i] = blk[-stride + i];
        s->ref[17 + i] = blk[(int64_t)i * stride - 1];
    }
    la->intra->ref_filter[INTRA_8X8](s->ref, s->ref_smoothed);
    uint32_t best = intra_mode_satd(la, s, INTRA_MODE_PLANAR, s->ref_smoothed);
    best = std::min(best, intra_mode_satd(la, s, INTRA_MODE_DC, s->ref));
    best = std::min(best, intra_mode_satd(la, s, INTRA_MODE_VER, s->ref));
    best = std::min(best, intra_mode_satd(la, s, INTRA_MODE_HOR, s->ref));
    int32_t level = la->links.cfg->subpel_level;
    if (level > 2) {
        int32_t step = level >= 5 ? 1 : 1 << (5 - level);
        for (int32_t mode = 2; mode <= 34; mode += step) {
            if (mode == INTRA_MODE_HOR || mode == INTRA_MODE_VER) continue;
            const uint8_t *ref = (intra_smoothing_flags[mode] & 8) ? s->ref_smoothed : s->ref;
            best = std::min(best, intra_mode_satd(la, s, mode, ref));
        }
    }
    return best + 9;
}

// 0: intra far above inter, 1: inter cheaper, 3: intra cheaper but close,
// 6: intra far below inter; mode decision sums it over a CU.
uint32_t intra_score(uint32_t intra, uint32_t inter)
{
    uint64_t i = intra, n = inter;
    if (i > 2 * n) return 0;
    if (n < i) return 1;
    if (2 * i < n) return 6;
    return 3;
}

uint32_t aq_weighted(const internal_config *cfg, const picture *pic, int32_t block, uint32_t cost)
{
    if (cfg->aq_mode == 0 || !pic->aq_weight) return cost;
    return (uint32_t)(((uint64_t)pic->aq_weight[block] * cost + 128) >> 8);
}

}  // namespace

void lookahead_block_cost(lookahead *la, lowres_cost_scratch *s, const frame_cost_job_args *a, int32_t bx,
                          int32_t by)
{
    const internal_config *cfg = la->links.cfg;
    lowres_grid g = lowres_grid_of(cfg);
    picture *pic = a->frames[a->b];
    block_pos p;
    p.bx = bx;
    p.by = by;
    p.block = by * g.stride + bx;
    p.ctu = (by / 4) * g.ctu_cols + bx / 4;
    p.d0 = a->b - a->p0;
    p.d1 = a->p1 - a->b;
    const uint8_t *blk = pic->lowres_plane + (int64_t)8 * by * pic->lowres_stride + 8 * bx;
    la->mc->block_copy(s->src, 64, blk, pic->lowres_stride, 8, 8);

    const lowres_cell_target *t = &a->target;
    uint32_t inter = ME_COST_INFINITE, kind = 0;
    if (a->p0 != a->p1) inter = inter_estimate(la, s, a, &p, &kind);
    uint32_t intra;
    if (t->intra_done) {
        intra = t->intra_costs[p.block];
    } else {
        intra = intra_estimate(la, s, pic, blk);
        t->intra_costs[p.block] = intra;
    }
    t->intra_score[p.block] = intra_score(intra, inter);

    s->intra_sum += intra;
    s->intra_sum_aq += aq_weighted(cfg, pic, p.block, intra);
    s->intra_ctu[p.ctu] += intra;
    uint32_t best = inter;
    if (intra < inter) {
        best = intra;
        kind = 0;
    }
    if (a->p0 != a->p1) {
        s->best_ctu[p.ctu] += best;
        s->best_sum += best;
        s->best_sum_aq += aq_weighted(cfg, pic, p.block, best);
    }
    t->costs[p.block] = std::min(best, COST_MASK) + (kind << 28);
}
