// Portable quantisation: uniform rounding with an offset, optionally followed
// by sign data hiding (one magnitude per 4x4 group nudged by one so that the
// group's parity carries the sign of its first level), and dequantisation.
#include "kernels/quant/quant.h"

#include <cstring>

const int32_t quant_scales[6] = {26214, 23302, 20560, 18396, 16384, 14564};
const int32_t level_scales[6] = {40, 45, 51, 57, 64, 72};

struct quant_params {
    int qbits;
    int32_t offset;
    int32_t scale;
};

static quant_params quant_setup(int qp, uint16_t round_offset, int n, int quant_scale)
{
    quant_params p;
    p.qbits = 21 + qp / 6 - n;
    p.offset = (int32_t)round_offset << (p.qbits - 9);
    p.scale = quant_scale;
    return p;
}

// |x| * scale + offset stays below 2^31 for every int16 x, scale and qp.
static inline int32_t quant_magnitude(int32_t a, const quant_params *p)
{
    return (a * p->scale + p->offset) >> p->qbits;
}

static int quant_plain(int16_t *levels, const int16_t *coeff, int n, int k,
                       const quant_params *p)
{
    int size = 1 << n;
    int32_t any = 0;
    for (int y = 0; y < k; y++) {
        for (int x = 0; x < k; x++) {
            int32_t c = coeff[y * size + x];
            int32_t lev = quant_magnitude(c < 0 ? -c : c, p);
            levels[y * size + x] = (int16_t)(c < 0 ? -lev : lev);
            any |= lev;
        }
    }
    return any;
}

// Quantises the sixteen positions of group g and, when the group hides a
// sign, adjusts one level. Returns the OR of the magnitudes before adjustment.
static int32_t quant_group_hidden(int16_t *levels, const int16_t *coeff, const uint16_t *scan,
                                  int g, const quant_params *p)
{
    int32_t scaled[16], lev[16];
    uint8_t neg[16];
    int32_t parity = 0, any = 0;
    int first = -1, last = -1;
    for (int k = 15; k >= 0; k--) {
        int pos = scan[16 * g + k];
        int32_t c = coeff[pos];
        neg[k] = c < 0;
        scaled[k] = (c < 0 ? -c : c) * p->scale;
        lev[k] = (scaled[k] + p->offset) >> p->qbits;
        levels[pos] = (int16_t)(neg[k] ? -lev[k] : lev[k]);
        parity ^= lev[k];
        any |= lev[k];
        if (lev[k]) {
            if (last < 0) last = k;
            first = k;
        }
    }
    if (last < 0 || last - first < 4 || (parity & 1) == neg[first]) return any;

    // Change the level whose rounding was furthest off; ties keep the higher
    // scan position. A first level of 1 rounded up is never lowered to 0, so the
    // group keeps its first level.
    int choice = last;
    int64_t best = 0;
    for (int k = last; k >= first; k--) {
        int64_t err = (int64_t)scaled[k] - ((int64_t)lev[k] << p->qbits);
        if (k == first && err < 0 && lev[k] == 1) continue;
        int64_t mag = err < 0 ? -err : err;
        if (mag > best) {
            best = mag;
            choice = k;
        }
    }
    int64_t err = (int64_t)scaled[choice] - ((int64_t)lev[choice] << p->qbits);
    int pos = scan[16 * g + choice];
    int32_t step = (neg[choice] != 0) == (err < 0) ? 1 : -1;
    levels[pos] = (int16_t)(levels[pos] + step);
    return any;
}

// Sign hiding over the groups, last to first; with k < N only the groups that
// lie in the top-left k x k corner.
static int quant_hidden(quant_context *ctx, int16_t *levels, const int16_t *coeff, int n,
                        int k, int scan_idx, const quant_params *p)
{
    int size = 1 << n;
    const uint16_t *scan = scan_order(ctx->scans, n, scan_idx);
    int32_t any = 0;
    for (int g = size * size / 16 - 1; g >= 0; g--) {
        int top_left = scan[16 * g];
        if (top_left / size >= k || top_left % size >= k) continue;
        any |= quant_group_hidden(levels, coeff, scan, g, p);
    }
    return any;
}

int quant_c(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp,
            uint16_t round_offset, int n, int quant_scale, int scan_idx)
{
    quant_params p = quant_setup(qp, round_offset, n, quant_scale);
    if (ctx->sign_hiding) return quant_hidden(ctx, levels, coeff, n, 1 << n, scan_idx, &p);
    return quant_plain(levels, coeff, n, 1 << n, &p);
}

int quant_low_c(quant_context *ctx, int16_t *levels, const int16_t *coeff, int qp,
                uint16_t round_offset, int n, int quant_scale, int scan_idx, int k)
{
    memset(levels, 0, sizeof(int16_t) << (2 * n));
    quant_params p = quant_setup(qp, round_offset, n, quant_scale);
    if (ctx->sign_hiding) return quant_hidden(ctx, levels, coeff, n, k, scan_idx, &p);
    return quant_plain(levels, coeff, n, k, &p);
}

static void dequant_corner(const int16_t *levels, int16_t *coeff, int qp, int n, int k)
{
    int size = 1 << n;
    int32_t scale = level_scales[qp % 6] << (qp / 6);
    int32_t round = 1 << (n - 2);
    int shift = n - 1;
    for (int y = 0; y < k; y++) {
        for (int x = 0; x < k; x++) {
            int32_t v = (levels[y * size + x] * scale + round) >> shift;
            coeff[y * size + x] = (int16_t)(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
        }
    }
}

void dequant_c(const int16_t *levels, int16_t *coeff, int qp, int n)
{
    dequant_corner(levels, coeff, qp, n, 1 << n);
}

void dequant_low_c(const int16_t *levels, int16_t *coeff, int qp, int n, int k)
{
    dequant_corner(levels, coeff, qp, n, k);
}

int quant_sig_map_c(uint8_t *flags, const int16_t *coeff, int count, int16_t threshold)
{
    int any = 0;
    int32_t t = threshold;
    for (int i = 0; i < count; i++) {
        int32_t c = coeff[i];
        flags[i] = (uint8_t)(c > t || c < -t);
        any |= flags[i];
    }
    return any;
}
