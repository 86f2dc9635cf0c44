// AVX2 forms of the rate-distortion quantisers' per-coefficient work: the
// level errors (ceiling level, squared magnitude, squared errors of that level
// and of one less) eight coefficients at a time, the search for the last 4x4
// group above the threshold one group per compare, the final test for any
// level, the run of zero levels at the top of a group of the alternative
// quantiser a group at a time, and both quantisers built on them.
//
// Exactness: every quantity is an integer that fits its lanes. |c| <= 32768
// and a quantisation scale below 2^16 keep |c| * scale + 2^qbits - 1 below
// 2^32, so the ceiling level is an unsigned 32-bit product shifted logically;
// levels times the dequantisation scale of qp <= 51 stay far below 2^31 and
// shift arithmetically as the portable 64-bit form does. A squared error is
// formed from its magnitude: below 2^16 the 32-bit square is exact, from 2^16
// on the portable form saturates to UINT32_MAX and so does this one.
#include <immintrin.h>

#include "kernels/quant/rdoq_body.h"

namespace {

struct level_error_scales {
    __m256i quant_scale, ceil_round, dq_scale, dq_round, dq_round_below, square_limit;
    __m128i qbits, dq_shift;
};

// Squares of signed 32-bit lanes, UINT32_MAX where the magnitude is 2^16 or more.
inline __m256i saturated_square(__m256i e, const level_error_scales *s)
{
    const __m256i m = _mm256_abs_epi32(e);
    const __m256i big = _mm256_cmpgt_epi32(m, s->square_limit);
    return _mm256_or_si256(_mm256_mullo_epi32(m, m), big);
}

// Dequantised value of eight levels minus their magnitudes, from the
// levels' products with the scale and the rounding to add (the level below
// is the same product less one scale).
inline __m256i dequant_error(__m256i product, __m256i round, __m256i a, const level_error_scales *s)
{
    return _mm256_sub_epi32(_mm256_sra_epi32(_mm256_add_epi32(product, round), s->dq_shift), a);
}

// Eight coefficients from c; the outputs start at the same index and only
// the first `count` (8 or 4) of them are stored.
inline void level_errors_8(const int16_t *c, uint16_t *ceil_levels, uint32_t *squares, uint32_t *errors,
                           int count, const level_error_scales *s)
{
    const __m256i a = _mm256_abs_epi32(_mm256_cvtepi16_epi32(_mm_loadu_si128((const __m128i *)c)));
    const __m256i level =
        _mm256_srl_epi32(_mm256_add_epi32(_mm256_mullo_epi32(a, s->quant_scale), s->ceil_round), s->qbits);
    const __m256i product = _mm256_mullo_epi32(level, s->dq_scale);
    const __m256i e0 = saturated_square(dequant_error(product, s->dq_round, a, s), s);
    const __m256i e1 = saturated_square(dequant_error(product, s->dq_round_below, a, s), s);
    const __m128i packed =
        _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(level, level), 0x08));
    const __m256i square = _mm256_mullo_epi32(a, a);
    const __m256i lo = _mm256_unpacklo_epi32(e0, e1), hi = _mm256_unpackhi_epi32(e0, e1);
    _mm256_storeu_si256((__m256i *)errors, _mm256_permute2x128_si256(lo, hi, 0x20));
    if (count == 4) {
        _mm_storel_epi64((__m128i *)ceil_levels, packed);
        _mm_storeu_si128((__m128i *)squares, _mm256_castsi256_si128(square));
        return;
    }
    _mm_storeu_si128((__m128i *)ceil_levels, packed);
    _mm256_storeu_si256((__m256i *)squares, square);
    _mm256_storeu_si256((__m256i *)(errors + 8), _mm256_permute2x128_si256(lo, hi, 0x31));
}

// Groups above the last one from which clearing the whole block takes fewer
// stores than clearing them group by group.
enum { WHOLE_CLEAR_GROUPS = 4 };

// Whether a 4x4 group holds a coefficient above t or below -t (t >= 0).
inline bool group_above(const int16_t *c, int size, __m128i above, __m128i below)
{
    const __m128i r01 = _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i *)c),
                                           _mm_loadl_epi64((const __m128i *)(c + size)));
    const __m128i r23 = _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i *)(c + 2 * size)),
                                           _mm_loadl_epi64((const __m128i *)(c + 3 * size)));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpgt_epi16(r01, above), _mm_cmpgt_epi16(below, r01)),
                                     _mm_or_si128(_mm_cmpgt_epi16(r23, above), _mm_cmpgt_epi16(below, r23)));
    return !_mm_testz_si128(hit, hit);
}

int find_last_group_avx2(quant_context *ctx, int16_t *levels, const int16_t *coeff, const uint16_t *scan,
                         uint8_t *flags, int n, int16_t threshold)
{
    (void)ctx;
    const int size = 1 << n;
    const int groups = size * size / 16;
    const int32_t t = threshold;
    int g = groups - 1;
    if (t >= 0) {
        const __m128i above = _mm_set1_epi16(threshold), below = _mm_set1_epi16((int16_t)-t);
        while (g >= 0 && !group_above(coeff + scan[16 * g], size, above, below))
            g--;
    }
    if (g < 0)
        return -1;
    const int p = scan[16 * g];
    for (int r = 0; flags && r < 4; r++)
        for (int c = 0; c < 4; c++) {
            const int32_t x = coeff[p + r * size + c];
            flags[p + r * size + c] = x > t || x < -t;
        }
    // Both quantisers write every position of the groups up to g, so where
    // many groups lie above g the whole block is cleared at once.
    if (groups - 1 - g >= WHOLE_CLEAR_GROUPS) {
        memset(levels, 0, sizeof(int16_t) * (size_t)(size * size));
        return 16 * g;
    }
    for (int e = g + 1; e < groups; e++)
        for (int r = 0; r < 4; r++)
            memset(&levels[scan[16 * e] + r * size], 0, 4 * sizeof(int16_t));
    return 16 * g;
}

// Scan index inside a 4x4 group of each of its positions in raster order
// (4 * row + column), by scan kind: the order scan_tables walks within every
// group (up-right diagonals, rows, columns).
alignas(32) const int64_t group_scan_index[3][16] = {
    {0, 2, 5, 9, 1, 4, 8, 12, 3, 7, 11, 14, 6, 10, 13, 15},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15},
};

// Per scan kind and significance pattern above 4x4 (right + 2 * lower), for
// each position of a group in raster order, the 32-bit lane indices that
// pick its context increment's 64-bit cost out of a vector of the three
// costs: 2 * increment and 2 * increment + 1. Built once from the pattern
// table the residual syntax uses.
struct cost_picks {
    alignas(32) int32_t index[3][4][32];
};

cost_picks cost_picks_make()
{
    cost_picks t;
    for (int scan = 0; scan < 3; scan++)
        for (int type = 0; type < 4; type++)
            for (int j = 0; j < 16; j++) {
                const int k = (int)group_scan_index[scan][j];
                const int slot = (int)((sig_ctx_pattern_table[scan][type] >> (4 * (15 - k))) & 15);
                t.index[scan][type][2 * j] = 2 * slot;
                t.index[scan][type][2 * j + 1] = 2 * slot + 1;
            }
    return t;
}

const int32_t *cost_picks_of(int scan, int type)
{
    static const cost_picks picks = cost_picks_make();
    return picks.index[scan][type];
}

// Sums of the four 64-bit lanes.
inline int64_t hsum64(__m256i v)
{
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_cvtsi128_si64(_mm_add_epi64(s, _mm_unpackhi_epi64(s, s)));
}

// alt_price_zero_run on the whole group at once, one row of four positions
// per vector of 64-bit lanes. A position stops the run where the loop would
// break (a ceiling level above 1, or 1 with a level-1 cost no more than its
// zero cost); the run ends at the highest scan index that stops, and the
// positions above it are the ones the loop passes, so their sums are the
// loop's. Above 4x4 the context increments are 0 to 2, so the three
// significance costs of each bin fit one vector and are picked per lane;
// 4x4 blocks (increments up to 8) keep the loop. Every position of the group
// is cleared here: the pricing that takes over writes each one the run does
// not pass.
int alt_zero_run_avx2(alt_block *b, alt_group *gr, int ctx0, uint64_t *pattern_io)
{
    if (b->n == 2)
        return alt_price_zero_run(b, gr, ctx0, pattern_io);
    const int size = 1 << b->n;
    const int p0 = b->scan[16 * gr->g];
    const int64_t *index = group_scan_index[b->scan_idx];
    const __m256i three = _mm256_set_epi64x(0, -1, -1, -1);
    const __m256i sig0_costs = _mm256_maskload_epi64((const long long *)(b->sig_cost[0] + ctx0), three);
    const __m256i sig1_costs = _mm256_maskload_epi64((const long long *)(b->sig_cost[1] + ctx0), three);
    const int32_t *picks = cost_picks_of(b->scan_idx, gr->right + 2 * gr->lower);
    const __m256i level1 = _mm256_set1_epi64x(gr->level1_cost[1]);
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFFll), zero = _mm256_setzero_si256();
    __m256i k[4], sig0[4], square[4], ceil_zero[4];
    __m256i stop_at = zero;   // per lane the scan index where it stops, else 0
    #pragma GCC unroll 4
    for (int r = 0; r < 4; r++) {
        const int row = p0 + r * size;
        k[r] = _mm256_load_si256((const __m256i *)(index + 4 * r));
        const __m256i pick = _mm256_load_si256((const __m256i *)(picks + 8 * r));
        sig0[r] = _mm256_permutevar8x32_epi32(sig0_costs, pick);
        const __m256i sig1 = _mm256_permutevar8x32_epi32(sig1_costs, pick);
        const __m256i ceil = _mm256_cvtepu16_epi64(_mm_loadl_epi64((const __m128i *)(b->ceil_levels + row)));
        square[r] = _mm256_cvtepu32_epi64(_mm_loadu_si128((const __m128i *)(b->squares + row)));
        const __m256i error = _mm256_and_si256(_mm256_loadu_si256((const __m256i *)(b->errors + 2 * row)), low32);
        const __m256i level_cost = _mm256_add_epi64(_mm256_add_epi64(level1, error), sig1);
        const __m256i zero_cost = _mm256_add_epi64(square[r], sig0[r]);
        const __m256i level_loses = _mm256_cmpgt_epi64(level_cost, zero_cost);
        const __m256i stop = _mm256_or_si256(_mm256_cmpgt_epi64(ceil, one),
                                             _mm256_andnot_si256(level_loses, _mm256_cmpeq_epi64(ceil, one)));
        ceil_zero[r] = _mm256_cmpeq_epi64(ceil, zero);
        // Indices stay below 16: the 32-bit maximum of the low halves is the
        // 64-bit one. Position 0 adds 0 whether it stops or not.
        stop_at = _mm256_max_epi32(stop_at, _mm256_and_si256(stop, k[r]));
        _mm_storel_epi64((__m128i *)(b->levels + row), _mm_setzero_si128());
    }
    __m128i m = _mm_max_epi32(_mm256_castsi256_si128(stop_at), _mm256_extracti128_si256(stop_at, 1));
    m = _mm_max_epi32(m, _mm_unpackhi_epi64(m, m));
    const int end = _mm_cvtsi128_si32(m);
    const __m256i end_at = _mm256_set1_epi64x(end);
    __m256i u = zero, cg = zero, s0 = zero;
    #pragma GCC unroll 4
    for (int r = 0; r < 4; r++) {
        const __m256i passed = _mm256_cmpgt_epi64(k[r], end_at);
        u = _mm256_add_epi64(u, _mm256_and_si256(passed, square[r]));
        cg = _mm256_add_epi64(cg, _mm256_and_si256(passed, _mm256_add_epi64(square[r], sig0[r])));
        s0 = _mm256_add_epi64(s0, _mm256_and_si256(_mm256_and_si256(passed, ceil_zero[r]), sig0[r]));
    }
    gr->u += hsum64(u);
    gr->cg += hsum64(cg);
    gr->s0 += hsum64(s0);
    *pattern_io >>= 4 * (15 - end);
    return end;
}

// Whether any of the N x N levels is non-zero, sixteen at a time.
int any_level_avx2(const int16_t *levels, int n)
{
    __m256i any = _mm256_setzero_si256();
    for (int i = 0; i < 1 << (2 * n); i += 16)
        any = _mm256_or_si256(any, _mm256_loadu_si256((const __m256i *)(levels + i)));
    return !_mm256_testz_si256(any, any);
}

}  // namespace

void rdoq_level_errors_avx2(const int16_t *coeff, uint16_t *ceil_levels, uint32_t *squares, uint32_t *errors,
                            int n, int width, int height, int qp, int quant_scale)
{
    const int size = 1 << n;
    const int qbits = 21 + qp / 6 - n;
    level_error_scales s;
    s.quant_scale = _mm256_set1_epi32(quant_scale);
    s.ceil_round = _mm256_set1_epi32((int32_t)((1u << qbits) - 1));
    s.dq_scale = _mm256_set1_epi32(dequant_scale(qp));
    s.dq_round = _mm256_set1_epi32(1 << (n - 2));
    s.dq_round_below = _mm256_set1_epi32((1 << (n - 2)) - dequant_scale(qp));
    s.square_limit = _mm256_set1_epi32(0xFFFF);
    s.qbits = _mm_cvtsi32_si128(qbits);
    s.dq_shift = _mm_cvtsi32_si128(n - 1);
    // Widths are multiples of 4. A rectangle as wide as the block is one run
    // of width * height coefficients (a multiple of 16); otherwise each row
    // ends, when its width is an odd multiple of 4, with four coefficients
    // read as eight (the row goes on: the rectangle is narrower than the
    // block) of which four are stored.
    if (width == size) {
        for (int i = 0; i < width * height; i += 8)
            level_errors_8(coeff + i, ceil_levels + i, squares + i, errors + 2 * i, 8, &s);
        return;
    }
    for (int y = 0; y < height; y++)
        for (int i = y * size; i < y * size + width; i += 8) {
            const int count = y * size + width - i >= 8 ? 8 : 4;
            level_errors_8(coeff + i, ceil_levels + i, squares + i, errors + 2 * i, count, &s);
        }
}

int rdoq_avx2(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
              uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx)
{
    return rdoq_body<find_last_group_avx2, any_level_avx2>(ctx, lambda, levels, coeff, qp, round_offset, n,
                                                           quant_scale, plane, scan_idx);
}

int rdoq_alt_avx2(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
                  uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx)
{
    return rdoq_alt_body<rdoq_level_errors_avx2, find_last_group_avx2, alt_zero_run_avx2>(
        ctx, lambda, levels, coeff, qp, round_offset, n, quant_scale, plane, scan_idx);
}
