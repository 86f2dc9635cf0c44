// Rate-distortion-optimised quantisation: levels are chosen by distortion
// plus lambda-weighted estimated bits instead of a fixed rounding offset.
// rdoq_c uses two adaptive model states of its own and decides coefficient by
// coefficient and group by group; rdoq_alt_c prices the residual syntax of
// H.265 with the coder's real context states and searches the best last
// position. Both keep the sign-data-hiding parity rule when it is enabled.
#include <cstdint>
#include <cstring>

#include "kernels/quant/rdoq_alt_body.h"

// Whether a 4x4 group holds a magnitude above t (0 or more). Compares in the
// coefficients' own 16-bit type and one flag word per column, so that the
// walk over empty groups stays a few vector operations per group.
static inline uint32_t group_above(const int16_t *c, int size, int16_t t)
{
    const int16_t low = (int16_t)-t;
    int16_t column[4] = {0, 0, 0, 0};
    for (int r = 0; r < 4; r++)
        for (int k = 0; k < 4; k++) {
            const int16_t x = c[r * size + k];
            column[k] |= (int16_t)((x > t) | (x < low));
        }
    return (uint32_t)(column[0] | column[1] | column[2] | column[3]);
}

int quant_find_last_group(quant_context *ctx, int16_t *levels, const int16_t *coeff,
                          const uint16_t *scan, uint8_t *flags, int n, int16_t threshold)
{
    (void)ctx;
    const int size = 1 << n;
    const int groups = size * size / 16;
    // Groups from the last in scan order back to the first that holds a flag:
    // nothing before that group is read, and only that group's flags are.
    const int32_t t = threshold;
    int g = groups - 1;
    if (t >= 0)
        while (g >= 0 && !group_above(coeff + scan[16 * g], size, threshold))
            g--;
    if (g < 0)
        return -1;
    const int p = scan[16 * g];
    for (int r = 0; r < 4; r++)
        for (int c = 0; c < 4; c++) {
            const int32_t x = coeff[p + r * size + c];
            flags[p + r * size + c] = x > t || x < -t;
        }
    for (int e = g + 1; e < groups; e++)
        for (int r = 0; r < 4; r++)
            memset(&levels[scan[16 * e] + r * size], 0, 4 * sizeof(int16_t));
    return 16 * g;
}

uint32_t rdoq_rate_level(const cabac_encoder *cabac, int level, int count, int c1, int gt1_ctx,
                         int gt2_ctx, int k)
{
    return rate_level_bits(cabac, level, count, c1, gt1_ctx, gt2_ctx, k);
}

uint32_t rdoq_rate_last_pos(const cabac_encoder *cabac, int x, int y, int n, int chroma)
{
    return last_component_bits(cabac, 0, x, n, chroma) + last_component_bits(cabac, 1, y, n, chroma);
}

void rdoq_level_errors_c(const int16_t *coeff, uint16_t *ceil_levels, uint32_t *squares,
                         uint32_t *errors, int n, int width, int height, int qp, int quant_scale)
{
    const int size = 1 << n;
    const int qbits = 21 + qp / 6 - n;
    const int32_t scale = dequant_scale(qp);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const int i = y * size + x;
            const int32_t a = coeff[i] < 0 ? -coeff[i] : coeff[i];
            const int32_t level = (int32_t)(((int64_t)a * quant_scale + (1 << qbits) - 1) >> qbits);
            const int64_t e0 = rdoq_dequant(level, scale, n, 0) - a;
            const int64_t e1 = rdoq_dequant(level - 1, scale, n, 0) - a;
            ceil_levels[i] = (uint16_t)level;
            squares[i] = (uint32_t)(a * a);
            errors[2 * i] = (uint32_t)(e0 * e0 > UINT32_MAX ? UINT32_MAX : e0 * e0);
            errors[2 * i + 1] = (uint32_t)(e1 * e1 > UINT32_MAX ? UINT32_MAX : e1 * e1);
        }
    }
}

// Any non-zero level in the block: the result both kernels return.
static int any_level(const int16_t *levels, int n)
{
    int any = 0;
    for (int i = 0; i < 1 << (2 * n); i++)
        any |= levels[i];
    return any != 0;
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

static inline int64_t rdoq_dist(const rdoq_block *b, int64_t e)
{
    const int sh = 22 - 2 * b->n;
    return (e * e * b->weight + ((int64_t)1 << (sh - 1))) >> sh;
}

static inline int64_t rdoq_rate_cost(const rdoq_block *b, uint32_t bits)
{
    return ((int64_t)bits * b->lambda + 32768) >> 16;
}

// Bits of a non-zero level under a state pair: significance 1, sign and the
// greater-1 flag with the rest as one bypass bin per unit.
static uint32_t model_level_bits(model_pair st, int level)
{
    uint32_t bits = bin_bits(st.sig, 1) + 256;
    if (level == 1)
        return bits + bin_bits(st.gt1, 0);
    return bits + bin_bits(st.gt1, 1) + 256u * (uint32_t)(level - 1);
}

// Inlined into both prices of every position, so that the block's scales stay
// in registers.
static inline __attribute__((always_inline)) int64_t level_cost(const rdoq_block *b, model_pair st,
                                                                 int32_t a, int level)
{
    return rdoq_dist(b, a - rdoq_dequant(level, b->dq_scale, b->n, 1)) +
           rdoq_rate_cost(b, model_level_bits(st, level));
}

static model_pair model_advance(model_pair st, int magnitude)
{
    st.sig = bin_next(st.sig, magnitude >= 1);
    if (magnitude >= 1)
        st.gt1 = bin_next(st.gt1, magnitude >= 2);
    return st;
}

static void run_reset(rdoq_run *run)
{
    run->started = 0;
    run->z = 0;
    run->t = 0;
    run->state = run->initial;
}

// Direction and cost delta of moving the chosen magnitude by one, kept for
// sign hiding.
static void hide_direction(hide_entry *h, int L, int best, int64_t c0, int64_t cl, int64_t cl1)
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
static void rdoq_position(const rdoq_block *b, rdoq_run *run, int s, hide_entry *h)
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

static void zero_scan_range(const rdoq_block *b, int from, int to_excl)
{
    for (int s = from; s < to_excl; s++)
        b->levels[b->scan[s]] = 0;
}

// Re-prices a zero-direction position as a level of 1.
static int64_t hide_raise_delta(const rdoq_block *b, const hide_entry *h, int32_t a)
{
    return level_cost(b, h->before, a, 1) - h->delta;
}

// Sign hiding of a kept group: when the parity of its magnitudes does not
// carry the sign of its first level, moves the cheapest level by one.
static void rdoq_hide_group(const rdoq_block *b, rdoq_run *run, int g, hide_entry *h)
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
static void rdoq_group_end(const rdoq_block *b, rdoq_run *run, int g, hide_entry *h)
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

int rdoq_c(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
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
    const int group_first = quant_find_last_group(ctx, levels, coeff, b.scan, flags, n,
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
    return any_level(levels, n);
}

int rdoq_alt_c(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
               uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx)
{
    return rdoq_alt_body<rdoq_level_errors_c, quant_find_last_group>(ctx, lambda, levels, coeff, qp, round_offset, n,
                                                                   quant_scale, plane, scan_idx);
}

void rdoq_state_seed(cabac_encoder *cabac)
{
    cabac->rate.rdoq_sig_state[0] = cabac->rate.ctx[ctx_sig_coeff_flag];
    cabac->rate.rdoq_sig_state[1] = cabac->rate.ctx[ctx_sig_coeff_flag + 27];
    cabac->rate.rdoq_gt1_state[0] = cabac->rate.ctx[ctx_greater1_flag];
    cabac->rate.rdoq_gt1_state[1] = cabac->rate.ctx[ctx_greater1_flag + 16];
}
