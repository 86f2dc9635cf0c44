// The SAO parameter decision of one CTU (see sao_decide.h). Costs are
// distortion changes in squared sample differences plus rate terms
// ((bits x lambda + 32768) >> 16, bits in 1/256 bit); chroma distortion is
// weighted by the chroma weight. Sums are kept in 64 bits.
#include <cstddef>
#include <cstring>

#include "analysis/sao/sao_decide.h"
#include "encoder/picture_types.h"

namespace {

const int64_t cost_infinite = 0x1fffffff;

struct ctb_shape {
    int32_t w, h;   // luma extent inside the picture
    bool partial;
};

ctb_shape shape_of(const sao_decide_context *c)
{
    ctb_shape s;
    int32_t w = (int32_t)c->width - 64 * (int32_t)c->ctu_x, h = (int32_t)c->height - 64 * (int32_t)c->ctu_y;
    s.w = w < 64 ? w : 64;
    s.h = h < 64 ? h : 64;
    s.partial = s.w < 64 || s.h < 64;
    return s;
}

inline bool luma_on(const sao_decide_context *c) { return (c->sao_flags & SAO_FLAG_LUMA) != 0; }
inline bool chroma_on(const sao_decide_context *c) { return (c->sao_flags & SAO_FLAG_CHROMA) != 0; }
inline bool plane_on(const sao_decide_context *c, int p) { return p ? chroma_on(c) : luma_on(c); }

inline uint32_t ctu_index(const sao_decide_context *c) { return c->ctu_y * c->ctu_columns + c->ctu_x; }

inline ptrdiff_t ctb_offset(int32_t stride, const sao_decide_context *c, int p)
{
    int n = p ? 32 : 64;
    return ((ptrdiff_t)stride * c->ctu_y + c->ctu_x) * n;
}

inline uint8_t *deb_of(const sao_decide_context *c, int p)
{
    return c->deblock_planes[p] + ctb_offset(c->deblock_stride[p], c, p);
}

inline int16_t *diff_of(const sao_decide_context *c, int p)
{
    return p == 0 ? c->diff->luma : p == 1 ? c->diff->cb : c->diff->cr;
}

int64_t rate_term(const sao_decide_context *c, int32_t bits)
{
    return ((int64_t)bits * c->lambda_sse + 32768) >> 16;
}

// Arithmetic shift: rounds toward minus infinity for negative changes.
int64_t chroma_weighted(const sao_decide_context *c, int64_t d) { return (d * c->chroma_weight + 128) >> 8; }

void prepare_planes(sao_decide_context *c, const ctb_shape &s)
{
    for (int p = 0; p < 3; p++) {
        if (!plane_on(c, p)) continue;
        int sh = p ? 1 : 0;
        sao_border_prepare(deb_of(c, p), c->deblock_stride[p], 64 >> sh, s.w >> sh, s.h >> sh, c->ctu_x == 0,
                           c->ctu_y == 0);
    }
    for (int p = 0; p < 3; p++) {
        if (!plane_on(c, p)) continue;
        int sh = p ? 1 : 0;
        const uint8_t *src = c->source_planes[p] + ctb_offset(c->source_stride[p], c, p);
        if (s.partial)
            c->table->diff_ctb_partial(diff_of(c, p), deb_of(c, p), c->deblock_stride[p], src, c->source_stride[p],
                                       p == 0, s.w >> sh, s.h >> sh);
        else
            c->table->diff_ctb(diff_of(c, p), deb_of(c, p), c->deblock_stride[p], src, c->source_stride[p], p == 0);
    }
}

void gather(const sao_decide_context *c, const ctb_shape &s, int p, int32_t type, sao_stats *st)
{
    int sh = p ? 1 : 0;
    if (s.partial)
        sao_stats_partial(c->table, type)(st, deb_of(c, p), c->deblock_stride[p], p == 0, diff_of(c, p), s.w >> sh,
                                          s.h >> sh, c->scratch);
    else
        sao_stats_full(c->table, type)(st, deb_of(c, p), c->deblock_stride[p], p == 0, diff_of(c, p), c->scratch);
}

inline bool valid_type(int32_t t) { return t >= 0 && t <= SAO_TYPE_BAND; }

// Cost of merging with the neighbour's records at `n_index`: their distortion
// change on this CTU plus the merge flags. Marks the types it evaluated.
int64_t merge_cost(const sao_decide_context *c, const ctb_shape &s, uint32_t n_index, int32_t merge,
                   bool offered_luma[5], bool offered_chroma[5])
{
    sao_stats st;
    int64_t cost = 0;
    if (luma_on(c)) {
        const sao_param *l = &c->sao_params[0][n_index];
        if (valid_type(l->type)) {
            gather(c, s, 0, l->type, &st);
            cost += sao_distortion_delta(&st, l);
            offered_luma[l->type] = true;
        }
    }
    if (chroma_on(c)) {
        const sao_param *cb = &c->sao_params[1][n_index], *cr = &c->sao_params[2][n_index];
        if (valid_type(cb->type) && valid_type(cr->type)) {
            gather(c, s, 1, cb->type, &st);
            int64_t d = chroma_weighted(c, sao_distortion_delta(&st, cb));
            gather(c, s, 2, cr->type, &st);
            d += chroma_weighted(c, sao_distortion_delta(&st, cr));
            cost += d;
            offered_chroma[cb->type] = true;
        }
    }
    return cost + rate_term(c, c->rate.merge_flags(c->rate.state, merge));
}

sao_param off_record()
{
    sao_param p;
    std::memset(&p, 0, sizeof p);
    p.type = SAO_TYPE_OFF;
    return p;
}

int32_t offsets_bits(const sao_decide_context *c, const sao_param *y, const sao_param *cb, const sao_param *cr,
                     int first, int last)
{
    const sao_param *recs[3] = {y, cb, cr};
    return c->rate.offsets(c->rate.state, recs, first, last);
}

int candidate_count(const sao_decide_context *c)
{
    int n = c->complexity >= 3 ? 5 : 2;
    if (c->complexity == 3 && c->pick_mode == 0) n -= 1;
    return n;
}

// Best new luma parameters (off when nothing beats it); returns their cost.
int64_t best_luma(const sao_decide_context *c, const ctb_shape &s, const bool offered[5], sao_param *best)
{
    sao_param off = off_record();
    int64_t off_cost = rate_term(c, offsets_bits(c, &off, nullptr, nullptr, 0, 0));
    int64_t best_cost = cost_infinite;
    sao_stats st;
    for (int t = 0; t < candidate_count(c); t++) {
        if (offered[t]) continue;
        gather(c, s, 0, t, &st);
        sao_param rec;
        int64_t cost = sao_offset_search(&rec, &st, t, c->lambda_sse);
        if (!(rec.offset[0] | rec.offset[1] | rec.offset[2] | rec.offset[3])) continue;
        cost += rate_term(c, offsets_bits(c, &rec, nullptr, nullptr, 0, 0));
        if (cost < best_cost) {
            best_cost = cost;
            *best = rec;
        }
    }
    if (off_cost < best_cost) {
        *best = off;
        best_cost = off_cost;
    }
    return best_cost;
}

// Best new Cb and Cr parameters, one type for both.
int64_t best_chroma(const sao_decide_context *c, const ctb_shape &s, const bool offered[5], sao_param *cb,
                    sao_param *cr)
{
    sao_param off = off_record();
    int64_t off_cost = rate_term(c, offsets_bits(c, nullptr, &off, &off, 1, 2));
    int64_t best_cost = cost_infinite;
    sao_stats st;
    for (int t = 0; t < candidate_count(c); t++) {
        if (offered[t]) continue;
        sao_param b, r;
        gather(c, s, 1, t, &st);
        int64_t cost = chroma_weighted(c, sao_offset_search(&b, &st, t, c->lambda_sse));
        gather(c, s, 2, t, &st);
        cost += chroma_weighted(c, sao_offset_search(&r, &st, t, c->lambda_sse));
        cost += rate_term(c, offsets_bits(c, nullptr, &b, &r, 1, 2));
        if (cost < best_cost) {
            best_cost = cost;
            *cb = b;
            *cr = r;
        }
    }
    if (off_cost < best_cost) {
        *cb = off;
        *cr = off;
        best_cost = off_cost;
    }
    return best_cost;
}

void copy_records(sao_decide_context *c, uint32_t from, uint32_t to)
{
    for (int p = 0; p < 3; p++)
        if (plane_on(c, p)) c->sao_params[p][to] = c->sao_params[p][from];
}

bool neighbour_off(const sao_decide_context *c, uint32_t n_index)
{
    if (luma_on(c) && c->sao_params[0][n_index].type != SAO_TYPE_OFF) return false;
    if (chroma_on(c) && c->sao_params[1][n_index].type != SAO_TYPE_OFF) return false;
    return true;
}

// Late CTU threads skip the statistics: SAO off, merged with an off neighbour
// where one exists. Only the types are written.
void decide_fast(sao_decide_context *c)
{
    uint32_t idx = ctu_index(c);
    if (c->ctu_x > 0 && neighbour_off(c, idx - 1))
        c->sao_merge = SAO_MERGE_LEFT;
    else if (c->ctu_y > 0 && neighbour_off(c, idx - c->ctu_columns))
        c->sao_merge = SAO_MERGE_UP;
    else
        c->sao_merge = SAO_MERGE_NONE;
    for (int p = 0; p < 3; p++)
        if (plane_on(c, p)) c->sao_params[p][idx].type = SAO_TYPE_OFF;
}

} // namespace

void sao_decide_ctu(sao_decide_context *c)
{
    if (!(c->sao_flags & (SAO_FLAG_LUMA | SAO_FLAG_CHROMA))) return;
    if (c->speed_step >= 3 || (c->speed_step == 2 && picture_type_is_b(c->picture_type))) {
        decide_fast(c);
        return;
    }
    ctb_shape s = shape_of(c);
    prepare_planes(c, s);
    uint32_t idx = ctu_index(c);
    bool offered_luma[5] = {false}, offered_chroma[5] = {false};
    int64_t cost_left = cost_infinite, cost_up = cost_infinite;
    if (c->ctu_x > 0) cost_left = merge_cost(c, s, idx - 1, SAO_MERGE_LEFT, offered_luma, offered_chroma);
    if (c->ctu_y > 0)
        cost_up = merge_cost(c, s, idx - c->ctu_columns, SAO_MERGE_UP, offered_luma, offered_chroma);
    int64_t cost_flags = rate_term(c, c->rate.merge_flags(c->rate.state, SAO_MERGE_NONE));
    sao_param y = off_record(), cb = off_record(), cr = off_record();
    int64_t cost_y = luma_on(c) ? best_luma(c, s, offered_luma, &y) : 0;
    int64_t cost_c = chroma_on(c) ? best_chroma(c, s, offered_chroma, &cb, &cr) : 0;
    int64_t cost_merge = cost_left < cost_up ? cost_left : cost_up;
    // Without any neighbour the new parameters are taken whatever they cost.
    bool no_neighbour = c->ctu_x == 0 && c->ctu_y == 0;
    if (no_neighbour || cost_flags + cost_c + cost_y < cost_merge) {
        c->sao_merge = SAO_MERGE_NONE;
        if (luma_on(c)) c->sao_params[0][idx] = y;
        if (chroma_on(c)) {
            c->sao_params[1][idx] = cb;
            c->sao_params[2][idx] = cr;
        }
    } else if (cost_left < cost_up) {
        c->sao_merge = SAO_MERGE_LEFT;
        copy_records(c, idx - 1, idx);
    } else {
        c->sao_merge = SAO_MERGE_UP;
        copy_records(c, idx - c->ctu_columns, idx);
    }
}
