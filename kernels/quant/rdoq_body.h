// Shared bodies of the rate-distortion quantisers, included only by
// rdoq_c.cpp and rdoq_avx2.cpp: everything here has internal linkage, so each
// file gets its own copy built for its own instruction set. Each body is one
// algorithm; the portable and AVX2 forms differ only in the kernels they are
// given for the search of the last significant group, the per-coefficient
// level errors and the zero run of a group, and those return exactly what the
// portable ones return, so both forms decide the same levels.
//
// rdoq uses two adaptive model states of its own and decides coefficient by
// coefficient and group by group; rdoq_alt prices the residual syntax of
// H.265 with the coder's real context states and searches the best last
// position. Both keep the sign-data-hiding parity rule when it is enabled.
#pragma once
#include <cstdint>
#include <cstring>

#include "bitstream/syntax_writer.h"   // sig_ctx_pattern_table, last_pos_group_table
#include "kernels/quant/quant.h"

namespace {

enum { RDOQ_MAX_COEFFS = 32 * 32 };

typedef void (*level_errors_kernel)(const int16_t *coeff, uint16_t *ceil_levels, uint32_t *squares,
                                    uint32_t *errors, int n, int width, int height, int qp, int quant_scale);
typedef int (*last_group_kernel)(quant_context *ctx, int16_t *levels, const int16_t *coeff,
                                 const uint16_t *scan, uint8_t *flags, int n, int16_t threshold);
typedef int (*any_level_kernel)(const int16_t *levels, int n);

const int64_t cost_infinite = INT64_MAX / 4;

// The flat dequantisation scale of a qp.
int32_t dequant_scale(int qp)
{
    return level_scales[qp % 6] << (qp / 6);
}

// Dequantised value of a level (flat scaling with the qp's scale), clipped as
// dequantisation does.
int32_t rdoq_dequant(int32_t level, int32_t scale, int n, int clip)
{
    int64_t v = ((int64_t)level * scale + (1 << (n - 2))) >> (n - 1);
    if (clip)
        v = v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
    return (int32_t)v;
}

inline uint32_t bin_bits(uint8_t state, int bin)
{
    return cabac_bits_table[state ^ (uint32_t)bin];
}

inline uint8_t bin_next(uint8_t state, int bin)
{
    return cabac_next_state_table[2 * (uint32_t)state + (uint32_t)bin];
}

inline uint32_t remaining_bits(uint32_t r, int k)
{
    if (r < (3u << k))
        return (r >> k) + 1 + (uint32_t)k;
    uint32_t v = ((r - (3u << k)) >> k) + 1;
    return 4 + (uint32_t)k + 2 * (uint32_t)(31 - __builtin_clz(v));
}

// Bits (1/256) of one non-zero level (see rdoq_rate_level in quant.h), inlined
// where the decision prices both candidate levels of every position.
inline uint32_t rate_level_bits(const cabac_encoder *cabac, int level, int count, int c1, int gt1_ctx,
                                int gt2_ctx, int k)
{
    uint32_t bits = 256;
    if (count >= 8)
        return bits + 256 * remaining_bits((uint32_t)(level - 1), k);
    const int g1 = level > 1;
    int g2 = 0;
    int escape = g1;
    bits += bin_bits(cabac->rate.ctx[gt1_ctx], g1);
    if (g1 && c1 != 0) {
        g2 = level > 2;
        bits += bin_bits(cabac->rate.ctx[gt2_ctx], g2);
        escape = g2;
    }
    if (escape)
        bits += 256 * remaining_bits((uint32_t)(level - 1 - g1 - g2), k);
    return bits;
}

// ===================== rdoq: own model states =====================

struct model_pair {
    uint8_t sig;
    uint8_t gt1;
};

struct rdoq_block {
    quant_context *ctx;
    int16_t *levels;
    const int16_t *coeff;
    const uint16_t *scan;
    int qp, n, qbits, quant_scale;
    int32_t dq_scale;    // dequantisation scale of the qp
    int32_t threshold;
    int64_t weight;      // distortion weight, 8 fractional bits
    uint32_t lambda;
};

struct rdoq_run {
    int started;
    int last1;           // one past the scan index where the run started
    int64_t z, t;        // block totals: zero distortion, chosen costs
    int64_t zg, tg;      // the same for the current group
    model_pair state, initial, group_start;
};

// Sign-hiding record of one group position.
struct hide_entry {
    int recorded;
    model_pair before;
    int dir;
    int64_t delta;
};

inline int64_t rdoq_dist(const rdoq_block *b, int64_t e)
{
    const int sh = 22 - 2 * b->n;
    return (e * e * b->weight + ((int64_t)1 << (sh - 1))) >> sh;
}

inline int64_t rdoq_rate_cost(const rdoq_block *b, uint32_t bits)
{
    return ((int64_t)bits * b->lambda + 32768) >> 16;
}

// Bits of a non-zero level under a state pair: significance 1, sign and the
// greater-1 flag with the rest as one bypass bin per unit.
uint32_t model_level_bits(model_pair st, int level)
{
    uint32_t bits = bin_bits(st.sig, 1) + 256;
    if (level == 1)
        return bits + bin_bits(st.gt1, 0);
    return bits + bin_bits(st.gt1, 1) + 256u * (uint32_t)(level - 1);
}

// Inlined into both prices of every position, so that the block's scales stay
// in registers.
inline __attribute__((always_inline)) int64_t level_cost(const rdoq_block *b, model_pair st,
                                                                 int32_t a, int level)
{
    return rdoq_dist(b, a - rdoq_dequant(level, b->dq_scale, b->n, 1)) +
           rdoq_rate_cost(b, model_level_bits(st, level));
}

model_pair model_advance(model_pair st, int magnitude)
{
    st.sig = bin_next(st.sig, magnitude >= 1);
    if (magnitude >= 1)
        st.gt1 = bin_next(st.gt1, magnitude >= 2);
    return st;
}

void run_reset(rdoq_run *run)
{
    run->started = 0;
    run->z = 0;
    run->t = 0;
    run->state = run->initial;
}

// Direction and cost delta of moving the chosen magnitude by one, kept for
// sign hiding.
void hide_direction(hide_entry *h, int L, int best, int64_t c0, int64_t cl, int64_t cl1)
{
    const int64_t cost_l = L == 0 ? c0 : cl;
    if (best == 0 && L >= 2) {
        h->dir = 0;
        h->delta = c0;
    } else if (best == 0 && L == 1) {
        h->dir = 1;
        h->delta = cl - c0;
    } else if (L == 1 && best == 2) {
        h->dir = -1;
        h->delta = cl - cl1;
    } else if (L == 1 && best == 1) {
        if (cl1 < c0) {
            h->dir = 1;
            h->delta = cl1 - cl;
        } else {
            h->dir = -1;
            h->delta = c0 - cl;
        }
    } else if (best == L + 1) {
        h->dir = -1;
        h->delta = cost_l - cl1;
    } else {
        h->dir = 1;
        h->delta = cl1 - cost_l;
    }
}

// Prices and decides one scan position s.
void rdoq_position(const rdoq_block *b, rdoq_run *run, int s, hide_entry *h)
{
    const int pos = b->scan[s];
    const int32_t x = b->coeff[pos];
    const int32_t a = x < 0 ? -x : x;
    h->recorded = 0;
    if (a < b->threshold) {
        b->levels[pos] = 0;
        if (!run->started)
            return;
        const int64_t d0 = rdoq_dist(b, a);
        const int64_t cost = d0 + rdoq_rate_cost(b, bin_bits(run->state.sig, 0));
        h->recorded = 1;
        h->before = run->state;
        h->dir = 0;
        h->delta = cost;
        run->zg += d0;
        run->z += d0;
        run->state.sig = bin_next(run->state.sig, 0);
        run->tg += cost;
        run->t += cost;
        return;
    }
    if (!run->started) {
        run->started = 1;
        run->last1 = s + 1;
    }
    const int L = (int)(((int64_t)a * b->quant_scale) >> b->qbits);
    const int64_t d0 = rdoq_dist(b, a);
    run->zg += d0;
    run->z += d0;
    const int64_t c0 = d0 + rdoq_rate_cost(b, bin_bits(run->state.sig, 0));
    const int64_t cl = L > 0 ? level_cost(b, run->state, a, L) : cost_infinite;
    const int64_t cl1 = level_cost(b, run->state, a, L + 1);
    int best = 0;
    int64_t cost = c0;
    if (L > 0 && cl < cost) {
        best = L;
        cost = cl;
    }
    if (cl1 < cost) {
        best = L + 1;
        cost = cl1;
    }
    h->recorded = 1;
    h->before = run->state;
    hide_direction(h, L, best, c0, cl, cl1);
    run->state = model_advance(run->state, best);
    run->tg += cost;
    run->t += cost;
    b->levels[pos] = (int16_t)(x < 0 ? -best : best);
}

void zero_scan_range(const rdoq_block *b, int from, int to_excl)
{
    for (int s = from; s < to_excl; s++)
        b->levels[b->scan[s]] = 0;
}

// Re-prices a zero-direction position as a level of 1.
int64_t hide_raise_delta(const rdoq_block *b, const hide_entry *h, int32_t a)
{
    return level_cost(b, h->before, a, 1) - h->delta;
}

// Sign hiding of a kept group: when the parity of its magnitudes does not
// carry the sign of its first level, moves the cheapest level by one.
void rdoq_hide_group(const rdoq_block *b, rdoq_run *run, int g, hide_entry *h)
{
    const int16_t *lv = b->levels;
    const uint16_t *sc = b->scan + 16 * g;
    int first = -1, last = -1, parity = 0;
    for (int k = 0; k < 16; k++) {
        int v = lv[sc[k]];
        if (!v)
            continue;
        if (first < 0)
            first = k;
        last = k;
        parity ^= v & 1;
    }
    if (first < 0 || last - first < 4)
        return;
    if (parity == (b->coeff[sc[first]] < 0 ? 1 : 0))
        return;
    int64_t best = INT64_MAX;
    int choice = last;
    for (int k = last; k > first; k--) {
        if (!h[k].recorded)
            continue;
        if (h[k].dir == 0) {
            const int32_t x = b->coeff[sc[k]];
            h[k].delta = hide_raise_delta(b, &h[k], x < 0 ? -x : x);
            h[k].dir = 1;
            if (h[k].delta < best) {
                best = h[k].delta;
                choice = k;
            }
        } else if (h[k].delta < best) {
            best = h[k].delta;
            choice = k;
        }
    }
    if (h[first].recorded && h[first].delta < best) {
        const int mag = lv[sc[first]] < 0 ? -lv[sc[first]] : lv[sc[first]];
        int allowed = 1;
        if (mag == 1 && h[first].dir < 0) {
            // Dropping the first level: the next one becomes first and must
            // keep the span and carry the same sign.
            int next = first + 1;
            while (next <= last && lv[sc[next]] == 0)
                next++;
            allowed = last - next >= 4 && (b->coeff[sc[next]] < 0) == (b->coeff[sc[first]] < 0);
        }
        if (allowed)
            choice = first;
    }
    const int pos = sc[choice];
    const int dir = h[choice].dir;
    b->levels[pos] = (int16_t)(b->levels[pos] + (b->coeff[pos] < 0 ? -dir : dir));
    run->t += h[choice].delta;
    model_pair st = h[choice].before;
    for (int k = choice; k >= 0; k--) {
        int v = lv[sc[k]];
        st = model_advance(st, v < 0 ? -v : v);
    }
    run->state = st;
}

// End of group g: drop it when coding it costs no less than zeros.
void rdoq_group_end(const rdoq_block *b, rdoq_run *run, int g, hide_entry *h)
{
    if (run->started && run->zg <= run->tg) {
        zero_scan_range(b, 16 * g, 16 * g + 16);
        if (16 * g + 16 < run->last1) {
            run->t -= run->tg - run->zg;
            run->state = run->group_start;
        } else {
            run_reset(run);
        }
    } else if (b->ctx->sign_hiding && run->started) {
        rdoq_hide_group(b, run, g, h);
    }
    run->zg = 0;
    run->tg = 0;
}

template <last_group_kernel find_last_group, any_level_kernel any_level_of>
int rdoq_body(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
           uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx)
{
    (void)round_offset;
    rdoq_block b;
    b.ctx = ctx;
    b.levels = levels;
    b.coeff = coeff;
    b.scan = scan_order(ctx->scans, n, scan_idx);
    b.qp = qp;
    b.n = n;
    b.qbits = 21 + qp / 6 - n;
    b.quant_scale = quant_scale;
    b.dq_scale = dequant_scale(qp);
    b.threshold = ((1 << b.qbits) - (1 << (b.qbits - 1)) - 1 + quant_scale) / quant_scale;
    b.lambda = lambda;
    const int chroma = plane != 0;
    b.weight = chroma && ctx->chroma_dist_weight ? ctx->chroma_dist_weight[qp] : 256;

    uint8_t flags[RDOQ_MAX_COEFFS];
    const int group_first = find_last_group(ctx, levels, coeff, b.scan, flags, n,
                                                  (int16_t)(b.threshold - 1));
    if (group_first < 0)
        return 0;
    int last = group_first + 15;
    while (!flags[b.scan[last]])
        last--;
    zero_scan_range(&b, last + 1, group_first + 16);

    rdoq_run run;
    memset(&run, 0, sizeof(run));
    run.initial.sig = ctx->cabac->rate.rdoq_sig_state[chroma];
    run.initial.gt1 = ctx->cabac->rate.rdoq_gt1_state[chroma];
    run.state = run.initial;
    for (int g = last >> 4; g >= 0; g--) {
        hide_entry h[16];
        run.group_start = run.state;
        const int top = g == (last >> 4) ? last : 16 * g + 15;
        for (int k = 15; k > top - 16 * g; k--)
            h[k].recorded = 0;
        for (int s = top; s >= 16 * g; s--) {
            rdoq_position(&b, &run, s, &h[s - 16 * g]);
            if (run.started && run.z <= run.t) {
                zero_scan_range(&b, s, run.last1);
                run_reset(&run);
                // Everything this group has counted belonged to the cleared
                // run and now costs only its distortion; charging its coded
                // cost would condemn the levels that follow in the group.
                run.tg = run.zg;
            }
        }
        rdoq_group_end(&b, &run, g, h);
    }
    ctx->cabac->rate.rdoq_sig_state[chroma] = run.state.sig;
    ctx->cabac->rate.rdoq_gt1_state[chroma] = run.state.gt1;
    return any_level_of(levels, n);
}

// ===================== rdoq_alt: real context states =====================

struct alt_block {
    quant_context *ctx;
    const cabac_encoder *cabac;
    int16_t *levels;
    const int16_t *coeff;
    const uint16_t *scan;
    int qp, n, chroma, scan_idx;
    int64_t lambda;      // chroma: divided by the distortion weight
    int h;               // rate scaling shift
    int64_t round;       // and its rounding
    uint16_t ceil_levels[RDOQ_MAX_COEFFS];
    uint32_t squares[RDOQ_MAX_COEFFS];
    uint32_t errors[2 * RDOQ_MAX_COEFFS];
    // Bits of the prefix of each last-position component by prefix value
    // (0 .. 2n-1), found once per block: the contexts do not change while
    // the block is decided.
    uint32_t last_prefix[2][10];
    int sig_base;        // the block's first significance context
    // Scaled bits of both significance bins, by context above sig_base;
    // only what alt_sig_costs_init fills is read.
    int64_t sig_cost[2][32];
    int sig_offset[2];   // alt_sig_offset of the groups other than the first, and of the first
    // Scaled bits of a level of 1 among a group's first eight levels (the
    // sign and a greater-1 flag of 0) by context set and greater-1 state,
    // found for a context set when a group first uses it.
    int64_t level1_cost[4][4];
    uint32_t level1_sets;   // the context sets found, one bit each
};

// The bits of rdoq_rate_last_pos for every prefix value of both
// components: the unary ones before the value, and its closing zero below
// the longest prefix.
void alt_last_prefix_init(alt_block *b)
{
    const int n = b->n, offset = b->chroma ? 15 : 3 * (n - 2) + ((n - 1) >> 2);
    const int shift = b->chroma ? n - 2 : (n + 1) >> 2;
    for (int component = 0; component < 2; component++) {
        const uint8_t *ctx = b->cabac->rate.ctx + (component ? ctx_last_y_prefix : ctx_last_x_prefix) + offset;
        uint32_t ones = 0;
        for (int group = 0; group < 2 * n - 1; group++) {
            b->last_prefix[component][group] = ones + bin_bits(ctx[group >> shift], 0);
            ones += bin_bits(ctx[group >> shift], 1);
        }
        b->last_prefix[component][2 * n - 1] = ones;
    }
}

// Bits of the last position (x, y): rdoq_rate_last_pos from the block's table.
inline uint32_t alt_last_pos_bits(const alt_block *b, int x, int y)
{
    return b->last_prefix[0][last_pos_group_table[x] & 15] + 256u * (last_pos_group_table[x] >> 4) +
           b->last_prefix[1][last_pos_group_table[y] & 15] + 256u * (last_pos_group_table[y] >> 4);
}

inline int64_t alt_scaled(const alt_block *b, uint32_t bits)
{
    return ((int64_t)bits * b->lambda + b->round) >> b->h;
}

inline int64_t alt_bin(const alt_block *b, int slot, int bin)
{
    return alt_scaled(b, bin_bits(b->cabac->rate.ctx[slot], bin));
}

// Offset of the significance contexts of a group beyond its pattern
// increment (H.265 sigCtx derivation).
int alt_sig_offset(const alt_block *b, int first_group)
{
    if (b->n == 2)
        return 0;
    if (b->chroma)
        return b->n == 3 ? 9 : 12;
    int offset = b->n == 3 ? (b->scan_idx == SCAN_DIAGONAL ? 9 : 15) : 21;
    return offset + (first_group ? 0 : 3);
}

// The scaled bits of both significance bins for the contexts the block
// selects, found once per block: a 4x4 block's nine; above 4x4 the first
// position's own and the pattern's three increments above the first group's
// offset and above the others'.
void alt_sig_costs_init(alt_block *b)
{
    const uint8_t *ctx = b->cabac->rate.ctx + b->sig_base;
    if (b->n == 2) {
        b->sig_offset[0] = b->sig_offset[1] = 0;
        for (int i = 0; i < 9; i++) {
            b->sig_cost[0][i] = alt_scaled(b, bin_bits(ctx[i], 0));
            b->sig_cost[1][i] = alt_scaled(b, bin_bits(ctx[i], 1));
        }
        return;
    }
    b->sig_offset[0] = alt_sig_offset(b, 0);
    b->sig_offset[1] = alt_sig_offset(b, 1);
    const int from[3] = {0, b->sig_offset[1], b->sig_offset[0]};
    for (int r = 0; r < 3; r++)
        for (int i = from[r]; i < from[r] + (r == 0 ? 1 : 3); i++) {
            b->sig_cost[0][i] = alt_scaled(b, bin_bits(ctx[i], 0));
            b->sig_cost[1][i] = alt_scaled(b, bin_bits(ctx[i], 1));
        }
}

// Scaled bits of a significance bin; off: the context above the block's
// first.
inline int64_t alt_sig_cost(const alt_block *b, int off, int bin)
{
    return b->sig_cost[bin][off];
}

// Running state of the whole-block decision.
struct alt_state {
    int64_t ut, ct;      // uncoded and coded totals of the groups done
    int64_t r_last;      // scaled rate of the chosen last position
    int last_scan;       // chosen last position, -1 none
    uint64_t coded_mask; // coded sub-blocks, by position in the grid
    int c1;              // greater-1 state at the end of the previous group
};

// Per-group results.
struct alt_group {
    int g, right, lower, ctx_set, ctx0;
    uint64_t pattern;    // significance context increments, scan position 15 lowest
    int gt1_ctx_base, gt2_ctx;
    // Scaled bits of a level of 1 among the group's first eight levels, by
    // greater-1 state: the sign and a greater-1 flag of 0.
    int64_t level1_cost[4];
    int c1, k, count;
    int64_t u, cg, s0;
    int64_t e_best, r_best;
    int best_pos, last_g, first_g;
    int64_t cost[16], delta[16];
    int16_t alt[16];
};

inline int gt1_ctx_of(const alt_group *gr)
{
    return gr->gt1_ctx_base + gr->c1;
}

// Records a zero coefficient at position kpos: it can only end at 0 (no
// alternative for sign hiding) and costs its significance-0 rate.
inline __attribute__((always_inline)) void alt_keep_zero(alt_block *b, alt_group *gr, int kpos, int pos,
                                                         int64_t sig0)
{
    b->levels[pos] = 0;
    gr->cost[kpos] = sig0;
    gr->delta[kpos] = cost_infinite;
    gr->alt[kpos] = 0;
    gr->s0 += sig0;
    gr->cg += sig0;
}

// Records a level kept at position kpos: the value of ending the block
// there (with the group's totals before the position) and the span of the
// group's levels.
inline __attribute__((always_inline)) void alt_keep_level(alt_block *b, alt_group *gr, int kpos, int pos,
                                                          int64_t sig1)
{
    int px = pos & ((1 << b->n) - 1), py = pos >> b->n;
    if (b->scan_idx == SCAN_VERTICAL) {
        const int t = px;
        px = py;
        py = t;
    }
    const int64_t r = alt_scaled(b, alt_last_pos_bits(b, px, py));
    const int64_t e = gr->u - gr->cg - sig1 + r;
    if (gr->best_pos < 0 || e < gr->e_best) {
        gr->e_best = e;
        gr->best_pos = kpos;
        gr->r_best = r;
    }
    if (gr->last_g < 0)
        gr->last_g = kpos;
    gr->first_g = kpos;
}

// Prices position kpos of the group with its significance context sig_slot
// (above the block's first). first: kpos is 0, the only position whose flag
// may be inferred, so that the other fifteen never test for it.
template <bool first>
inline __attribute__((always_inline)) void alt_price_position(alt_block *b, alt_group *gr, int kpos,
                                                              int sig_slot)
{
    const int s = 16 * gr->g + kpos;
    const int pos = b->scan[s];
    const int32_t x = b->coeff[pos];
    const int64_t sig0 = alt_sig_cost(b, sig_slot, 0);
    if (x == 0) {
        alt_keep_zero(b, gr, kpos, pos, sig0);
        return;
    }
    const int inferred = first && gr->g > 0 && gr->count == 0;
    const int64_t sig1 = inferred ? 0 : alt_sig_cost(b, sig_slot, 1);
    const int L = b->ceil_levels[pos];
    const int64_t zero_cost = (int64_t)b->squares[pos] + sig0;
    // The candidates are the ceiling level (at least 1: x is not zero) and
    // the one below it (level 1 alone when the ceiling is 1), priced in that
    // order; the odd one and the cheaper of level 0 and the even one are
    // kept for sign hiding.
    int level, other;
    int64_t cost, other_cost;
    if (L == 1) {
        const int64_t rate = gr->count < 8 ? gr->level1_cost[gr->c1]
                                           : alt_scaled(b, rate_level_bits(b->cabac, 1, gr->count, gr->c1,
                                                                           gt1_ctx_of(gr), gr->gt2_ctx, gr->k));
        const int64_t c = rate + b->errors[2 * pos] + sig1;
        if (c <= zero_cost) {
            level = 1;
            cost = c;
            other = 0;
            other_cost = zero_cost;
        } else {
            level = 0;
            cost = zero_cost;
            other = 1;
            other_cost = c;
        }
    } else {
        const int64_t below_rate = L == 2 && gr->count < 8
                                       ? gr->level1_cost[gr->c1]
                                       : alt_scaled(b, rate_level_bits(b->cabac, L - 1, gr->count, gr->c1,
                                                                       gt1_ctx_of(gr), gr->gt2_ctx, gr->k));
        const int64_t below = below_rate + b->errors[2 * pos + 1] + sig1;
        const int64_t ceil = alt_scaled(b, rate_level_bits(b->cabac, L, gr->count, gr->c1, gt1_ctx_of(gr),
                                                           gr->gt2_ctx, gr->k)) +
                             b->errors[2 * pos] + sig1;
        int64_t odd_cost, even_cost = zero_cost;
        int odd_level, even_level = 0;
        if (L & 1) {
            odd_level = L;
            odd_cost = ceil;
            if (below < even_cost) {
                even_cost = below;
                even_level = L - 1;
            }
        } else {
            odd_level = L - 1;
            odd_cost = below;
            if (ceil < even_cost) {
                even_cost = ceil;
                even_level = L;
            }
        }
        if (odd_cost <= even_cost) {
            level = odd_level;
            cost = odd_cost;
            other = even_level;
            other_cost = even_cost;
        } else {
            level = even_level;
            cost = even_cost;
            other = odd_level;
            other_cost = odd_cost;
        }
    }
    gr->alt[kpos] = (int16_t)(x < 0 ? -other : other);
    gr->delta[kpos] = other_cost - cost;
    b->levels[pos] = (int16_t)(x < 0 ? -level : level);
    gr->cost[kpos] = cost;
    if (level != 0) {
        alt_keep_level(b, gr, kpos, pos, sig1);
        if (gr->count < 8) {
            if (level > 1)
                gr->c1 = 0;
            else if (gr->c1 > 0 && gr->c1 < 3)
                gr->c1++;
        }
        if (level > (3 << gr->k) && gr->k < 4)
            gr->k++;
        gr->count++;
    }
    gr->u += b->squares[pos];
    gr->cg += cost;
}

// Until a group's first level is kept its state stays where it started (no
// level counted, greater-1 state 1, Rice parameter 0), so a level of 1 costs
// the same at every position. Most positions of a group end at 0 that way
// (a ceiling level of 1 whose level-1 cost loses to zero), and those are
// priced first by a short loop whose values stay in registers; it stops at
// the first position that keeps a level or has a ceiling level above 1,
// which the full pricing takes from there. Returns that position, 0 when the
// loop reached the group's first.
//
// The ceiling level is 0 exactly where the coefficient is (a magnitude of 1
// or more rounds up to at least one step), so it alone tells the three kinds
// of position apart.
//
// The positions it passes lie above every level the group keeps, where sign
// hiding never looks, so their costs, deltas and alternatives are not
// recorded; a zero coefficient has a square of 0, so both kinds add their
// square and their significance-0 rate.
int alt_price_zero_run(alt_block *b, alt_group *gr, int ctx0, uint64_t *pattern_io)
{
    const uint16_t *scan = b->scan + 16 * gr->g;
    const uint16_t *ceil_levels = b->ceil_levels;
    const uint32_t *squares = b->squares, *errors = b->errors;
    const int64_t *sig0_cost = b->sig_cost[0] + ctx0, *sig1_cost = b->sig_cost[1] + ctx0;
    int16_t *levels = b->levels;
    const int64_t level1 = gr->level1_cost[1];
    uint64_t pattern = *pattern_io;
    int64_t u = gr->u, cg = gr->cg, s0 = gr->s0;
    int k = 15;
    for (; k > 0; k--, pattern >>= 4) {
        const int slot = (int)(pattern & 15);
        const size_t pos = scan[k];
        const int64_t sig0 = sig0_cost[slot];
        const int64_t square = squares[pos];
        const int ceil = ceil_levels[pos];
        if (ceil == 0) {
            s0 += sig0;
        } else if (ceil != 1 || level1 + errors[2 * pos] + sig1_cost[slot] <= square + sig0) {
            break;
        }
        levels[pos] = 0;
        u += square;
        cg += square + sig0;
    }
    gr->u = u;
    gr->cg = cg;
    gr->s0 = s0;
    *pattern_io = pattern;
    return k;
}

// Once the group's state moves, positions whose coefficient is zero or whose
// ceiling level is 1 are still the most common; while fewer than eight
// levels are kept a level of 1 costs the group's entry for its greater-1
// state, so they are priced without the general candidate search (exactly as
// it would: the candidates are 0 and 1, and the Rice parameter never moves
// for a level of 1). sig1 is the significance-1 rate (0 where the flag is
// inferred).
inline __attribute__((always_inline)) void alt_price_small(alt_block *b, alt_group *gr, int kpos, size_t pos,
                                                           int ceil, int64_t sig0, int64_t sig1)
{
    if (ceil == 0) {
        alt_keep_zero(b, gr, kpos, pos, sig0);
        return;
    }
    const int64_t square = b->squares[pos];
    const int64_t zero_cost = square + sig0;
    const int64_t c = gr->level1_cost[gr->c1] + b->errors[2 * pos] + sig1;
    const int16_t sign = (int16_t)(b->coeff[pos] < 0 ? -1 : 1);
    if (c <= zero_cost) {
        b->levels[pos] = sign;
        gr->alt[kpos] = 0;
        gr->delta[kpos] = zero_cost - c;
        gr->cost[kpos] = c;
        alt_keep_level(b, gr, kpos, pos, sig1);
        if (gr->c1 > 0 && gr->c1 < 3)
            gr->c1++;
        gr->count++;
        gr->cg += c;
    } else {
        b->levels[pos] = 0;
        gr->alt[kpos] = sign;
        gr->delta[kpos] = c - zero_cost;
        gr->cost[kpos] = zero_cost;
        gr->cg += zero_cost;
    }
    gr->u += square;
}

// Whether a position of ceiling level ceil needs the general pricing.
inline bool alt_needs_general(const alt_group *gr, int ceil)
{
    return ceil > 1 || (ceil == 1 && gr->count >= 8);
}

// The loop of alt_price_small over positions k down to 1; stops at a
// position that needs the general pricing and returns it (0 when none did).
int alt_price_ones(alt_block *b, alt_group *gr, int ctx0, int k, uint64_t *pattern_io)
{
    const uint16_t *scan = b->scan + 16 * gr->g;
    const int64_t *sig0_cost = b->sig_cost[0] + ctx0, *sig1_cost = b->sig_cost[1] + ctx0;
    uint64_t pattern = *pattern_io;
    for (; k > 0; k--, pattern >>= 4) {
        const int slot = (int)(pattern & 15);
        const size_t pos = scan[k];
        const int ceil = b->ceil_levels[pos];
        if (alt_needs_general(gr, ceil))
            break;
        alt_price_small(b, gr, k, pos, ceil, sig0_cost[slot], sig1_cost[slot]);
    }
    *pattern_io = pattern;
    return k;
}

// The group's position 0 with its significance context sig_slot (above the
// block's first); its flag is inferred in a group other than the first while
// no level of the group is kept.
void alt_price_first(alt_block *b, alt_group *gr, int sig_slot)
{
    const size_t pos = b->scan[16 * gr->g];
    const int ceil = b->ceil_levels[pos];
    if (alt_needs_general(gr, ceil)) {
        alt_price_position<true>(b, gr, 0, sig_slot);
        return;
    }
    const int inferred = gr->g > 0 && gr->count == 0;
    alt_price_small(b, gr, 0, pos, ceil, alt_sig_cost(b, sig_slot, 0), inferred ? 0 : alt_sig_cost(b, sig_slot, 1));
}

// The run of alt_price_zero_run as a kernel: the portable form is that loop,
// the AVX2 form tests the whole group at once and returns what the loop does.
typedef int (*zero_run_kernel)(alt_block *b, alt_group *gr, int ctx0, uint64_t *pattern_io);

// The sixteen positions of a group, from its last down. The pattern holds
// their context increments, four bits each, the last position lowest; the
// block's first position has a context of its own.
template <zero_run_kernel zero_run>
void alt_price_group(alt_block *b, alt_group *gr)
{
    const int ctx0 = gr->ctx0 - b->sig_base;
    uint64_t pattern = gr->pattern;
    int k = zero_run(b, gr, ctx0, &pattern);
    while (k > 0) {
        k = alt_price_ones(b, gr, ctx0, k, &pattern);
        if (k == 0)
            break;
        alt_price_position<false>(b, gr, k, ctx0 + (int)(pattern & 15));
        k--;
        pattern >>= 4;
    }
    alt_price_first(b, gr, gr->g == 0 ? 0 : ctx0 + (int)(pattern & 15));
}

// Sign hiding of a group that keeps levels: credits the saved sign bit, or
// swaps the level with the cheapest alternative of the other parity.
int64_t alt_hide_group(alt_block *b, alt_group *gr)
{
    const uint16_t *sc = b->scan + 16 * gr->g;
    const int first = gr->first_g, last = gr->last_g;
    int sum = 0;
    for (int k = first; k <= last; k++)
        sum += b->levels[sc[k]] < 0 ? -b->levels[sc[k]] : b->levels[sc[k]];
    const int64_t credit = alt_scaled(b, 256);
    if ((sum & 1) == (b->levels[sc[first]] < 0 ? 1 : 0))
        return -credit;
    int64_t best = INT64_MAX;
    int choice = -1;
    int16_t choice_level = 0;
    for (int k = first + 1; k < last; k++)
        if (gr->delta[k] < best) {
            best = gr->delta[k];
            choice = k;
            choice_level = gr->alt[k];
        }
    if (gr->alt[last] != 0 && gr->delta[last] < best) {
        best = gr->delta[last];
        choice = last;
        choice_level = gr->alt[last];
    }
    const int32_t x = b->coeff[sc[first]];
    if (gr->alt[first] != 0) {
        if (gr->delta[first] < best) {
            best = gr->delta[first];
            choice = first;
            choice_level = gr->alt[first];
        }
    } else {
        // Lowering the first level to 0 would move the hidden sign; raise it
        // to 2 instead.
        const int c1 = gr->c1 >= 2 ? gr->c1 - 1 : gr->c1;
        const int sig_slot = b->n == 2 ? (b->chroma ? ctx_sig_coeff_flag + 27 : ctx_sig_coeff_flag)
                                       : gr->ctx0 + 2;
        const int32_t a = x < 0 ? -x : x;
        const int64_t e = rdoq_dequant(2, dequant_scale(b->qp), b->n, 0) - a;
        const int64_t d = alt_scaled(b, rate_level_bits(b->cabac, 2, gr->count - 1, c1,
                                                        gr->gt1_ctx_base + c1, gr->gt2_ctx, gr->k) +
                                            bin_bits(b->cabac->rate.ctx[sig_slot], 1)) -
                          gr->cost[first] + e * e;
        if (d < best) {
            best = d;
            choice = first;
            choice_level = (int16_t)(x < 0 ? -2 : 2);
        }
    }
    if (choice < 0)
        return 0;
    b->levels[sc[choice]] = choice_level;
    return best - credit;
}

// Clears the levels of group g, row by row: a group's first scan position
// is its top-left corner in every scan.
inline void alt_clear_group(alt_block *b, int g)
{
    int16_t *first = b->levels + b->scan[16 * g];
    const int size = 1 << b->n;
    for (int r = 0; r < 4; r++)
        memset(first + r * size, 0, 4 * sizeof(int16_t));
}

void alt_group_decide(alt_block *b, alt_state *st, alt_group *gr)
{
    const int w = 1 << (b->n - 2);
    const int csbf_slot =
        (b->chroma ? ctx_coded_sub_block_flag + 2 : ctx_coded_sub_block_flag) + (gr->right | gr->lower);
    int64_t v;
    int has_levels = gr->last_g >= 0;
    if (!has_levels) {
        v = gr->u;
        if (st->last_scan >= 0)
            v += alt_bin(b, csbf_slot, 0);
    } else if (st->last_scan < 0) {
        st->last_scan = 16 * gr->g + gr->best_pos;
        st->r_last = gr->r_best;
        gr->last_g = gr->best_pos;
        v = gr->cg + (gr->e_best - st->r_last);
    } else {
        const int64_t move = (gr->r_best - st->r_last) - st->ct + st->ut + gr->cg + (gr->e_best - gr->r_best);
        const int64_t keep = gr->cg + (gr->g != 0 ? alt_bin(b, csbf_slot, 1) : 0);
        const int64_t zero = gr->u + (gr->g != 0 ? alt_bin(b, csbf_slot, 0) : gr->s0);
        if (move < keep && move < zero) {
            st->last_scan = 16 * gr->g + gr->best_pos;
            st->r_last = gr->r_best;
            st->ct = st->ut;
            st->coded_mask = 0;
            gr->last_g = gr->best_pos;
            v = gr->cg + (gr->e_best - gr->r_best);
        } else if (keep >= zero) {
            alt_clear_group(b, gr->g);
            has_levels = 0;
            v = zero;
        } else {
            v = keep;
        }
    }
    if (has_levels && b->ctx->sign_hiding && gr->last_g - gr->first_g >= 4)
        v += alt_hide_group(b, gr);
    if (has_levels) {
        const int p0 = b->scan[16 * gr->g];
        const int xs = (p0 & ((1 << b->n) - 1)) >> 2, ys = (p0 >> b->n) >> 2;
        st->coded_mask |= 1ull << (ys * w + xs);
    }
    st->ut += gr->u;
    st->ct += v;
}

template <level_errors_kernel level_errors, last_group_kernel find_last_group, zero_run_kernel zero_run>
int rdoq_alt_body(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
               uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx)
{
    const int size = 1 << n;
    const int qbits = 21 + qp / 6 - n;
    const int chroma = plane != 0;
    const uint16_t *scan = scan_order(ctx->scans, n, scan_idx);
    const int threshold = ((1 << (qbits - 1)) - round_offset - 1 + quant_scale) / quant_scale - 1;
    // The decision reads no flags: the last group is priced whole.
    const int group_first = find_last_group(ctx, levels, coeff, scan, nullptr, n, (int16_t)threshold);
    if (group_first < 0)
        return 0;

    alt_block b;
    b.ctx = ctx;
    b.cabac = ctx->cabac;
    b.levels = levels;
    b.coeff = coeff;
    b.scan = scan;
    b.qp = qp;
    b.n = n;
    b.chroma = chroma;
    b.scan_idx = scan_idx;
    const int64_t weight = chroma && ctx->chroma_dist_weight ? ctx->chroma_dist_weight[qp] : 256;
    b.lambda = chroma ? ((int64_t)lambda << 9) / (weight > 0 ? weight : 1) : (int64_t)lambda;
    b.h = 2 * n + 2 + chroma;
    b.round = (int64_t)1 << (b.h - 1);
    alt_last_prefix_init(&b);
    b.level1_sets = 0;

    const int p0 = scan[group_first];
    const int x0 = p0 & (size - 1), y0 = p0 >> n;
    int width = size, height = size;
    if (scan_idx == SCAN_DIAGONAL)
        width = height = x0 + y0 + 4 < size ? x0 + y0 + 4 : size;
    else if (scan_idx == SCAN_HORIZONTAL)
        height = y0 + 4;
    else
        width = x0 + 4;
    level_errors(coeff, b.ceil_levels, b.squares, b.errors, n, width, height, qp, quant_scale);

    const int w = size >> 2;
    const int sig_base = chroma ? ctx_sig_coeff_flag + 27 : ctx_sig_coeff_flag;
    b.sig_base = sig_base;
    alt_sig_costs_init(&b);
    alt_state st;
    st.ut = st.ct = st.r_last = 0;
    st.last_scan = -1;
    st.coded_mask = 0;
    st.c1 = 1;
    int highest = -1;
    for (int g = group_first >> 4; g >= 0; g--) {
        alt_group gr;
        gr.g = g;
        const int pg = scan[16 * g];
        const int xs = (pg & (size - 1)) >> 2, ys = (pg >> n) >> 2;
        gr.right = xs < w - 1 && ((st.coded_mask >> (ys * w + xs + 1)) & 1);
        gr.lower = ys < w - 1 && ((st.coded_mask >> ((ys + 1) * w + xs)) & 1);
        gr.ctx0 = sig_base + b.sig_offset[g == 0];
        gr.pattern = sig_ctx_pattern_table[scan_idx][n == 2 ? 4 : gr.right + 2 * gr.lower];
        gr.ctx_set = (g > 0 && !chroma ? 2 : 0) + (st.c1 == 0 ? 1 : 0);
        gr.gt1_ctx_base = (chroma ? ctx_greater1_flag + 16 : ctx_greater1_flag) + 4 * gr.ctx_set;
        gr.gt2_ctx = (chroma ? ctx_greater2_flag + 4 : ctx_greater2_flag) + gr.ctx_set;
        if (!(b.level1_sets & (1u << gr.ctx_set))) {
            b.level1_sets |= 1u << gr.ctx_set;
            for (int c1 = 0; c1 < 4; c1++)
                b.level1_cost[gr.ctx_set][c1] =
                    alt_scaled(&b, 256 + bin_bits(b.cabac->rate.ctx[gr.gt1_ctx_base + c1], 0));
        }
        memcpy(gr.level1_cost, b.level1_cost[gr.ctx_set], sizeof gr.level1_cost);
        gr.c1 = 1;
        gr.k = 0;
        gr.count = 0;
        gr.u = gr.cg = gr.s0 = 0;
        gr.e_best = gr.r_best = 0;
        gr.best_pos = gr.last_g = gr.first_g = -1;
        alt_price_group<zero_run>(&b, &gr);
        // The group's highest level as priced, before the decision moves it.
        if (highest < 0 && gr.last_g >= 0)
            highest = 16 * g + gr.last_g;
        alt_group_decide(&b, &st, &gr);
        st.c1 = gr.c1;
    }
    int keep_last = st.last_scan >= 0 && st.ut > st.r_last + st.ct ? st.last_scan : -1;
    // Every level above the highest one priced is 0 already; a block left
    // without a last position is cleared whole where that takes fewer stores
    // than clearing position by position.
    if (keep_last < 0 && 16 * highest >= size * size) {
        memset(levels, 0, sizeof(int16_t) * (size_t)(size * size));
        return 0;
    }
    // Groups wholly above the last position are cleared row by row (the
    // positions above the highest are 0 already, so clearing them too
    // changes nothing); the last position's own group position by position.
    const int keep_group = keep_last >= 0 ? keep_last >> 4 : -1;
    for (int g = highest >> 4; g > keep_group; g--)
        alt_clear_group(&b, g);
    const int top = highest < 16 * keep_group + 15 ? highest : 16 * keep_group + 15;
    for (int s = top; s > keep_last; s--)
        levels[scan[s]] = 0;
    return keep_last >= 0;
}

}  // namespace
