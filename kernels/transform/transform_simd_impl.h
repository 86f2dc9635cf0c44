// Shared body of the vector transform sets, included only by transform_ssse3.cpp
// and transform_avx2.cpp; everything here has internal linkage, so each file
// gets its own copy built for its own instruction set. Compiled without AVX2 it
// works on 128-bit registers; with AVX2 the stages of 16 lines and more use
// 256-bit registers.
//
// Layout: a one-dimensional pass works "lines in lanes": its input holds, for
// each sample position j, the values of consecutive lines side by side
// (in[j*stride + line]), and its output holds, for each output k, the lines side
// by side again (out[k*stride + line]). Blocks are moved between the two passes
// with register transposes.
//
// Exactness: products of 16-bit inputs and 16-bit matrix entries are formed
// pairwise into 32-bit lanes by multiply-add and summed in 32 bits, then
// rounded, shifted and packed to 16 bits with signed saturation. Only the
// first forward pass adds inputs in 16-bit lanes (its even/odd folding of 8-bit
// residuals stays below 2048 in magnitude); second-pass forward inputs reach
// 32640 and inverse coefficients the whole 16-bit range, so there every
// combination is made of 32-bit sums. The saturation of the inverse first pass
// is the clip of clause 8.6.4.2; in every other pass the sums provably stay
// inside 16 bits (8-bit residuals forward; at most 1862 * 32768 before the
// inverse shift by 12), so the results equal the portable kernels' on every
// input.
#pragma once
#include <immintrin.h>

#include <cstdint>

#include "kernels/transform/transform.h"

namespace {

// ---- constant tables ----

// The 16-, 8- and 4-point DCTs are rows 0, 2, 4.. / 0, 4, 8.. / 0, 8, 16, 24
// of dct_matrix_32 (transform_matrix.h), first N entries.

constexpr int16_t simd_dst4[4][4] = {
    {29, 55, 74, 84},
    {74, 74, 0, -74},
    {84, -29, -74, 55},
    {55, -84, 74, -29},
};

// Entry [k][j] of the N-point matrix (row = frequency k, column = sample j);
// n = 0 selects the 4-point DST-VII.
constexpr int simd_matrix(int n, int k, int j)
{
    return n == 0 ? simd_dst4[k][j] : dct_matrix_32[k * (32 / n)][j];
}

constexpr int32_t simd_pair(int a, int b)
{
    return (int32_t)((uint32_t)(uint16_t)a | ((uint32_t)(uint16_t)b << 16));
}

// Matrix entries arranged for multiply-add against interleaved input pairs
// (sample 2p, sample 2p+1): forward[k][p] multiplies the samples of output k,
// inverse[x][p] the coefficients 2p, 2p+1 of output sample x (the transpose),
// odd[x][p] the odd coefficients 4p+1, 4p+3 of output sample x < N/2, and
// mirror[k][j] multiplies the mirrored samples j, N-1-j of output k.
struct pair_table {
    int32_t forward[32][16];
    int32_t mirror[32][16];
    int32_t inverse[32][16];
    int32_t odd[16][8];
};

constexpr pair_table make_pair_table(int n)
{
    pair_table t{};
    int size = n == 0 ? 4 : n;
    for (int k = 0; k < size; k++)
        for (int p = 0; p < size / 2; p++) {
            t.forward[k][p] = simd_pair(simd_matrix(n, k, 2 * p), simd_matrix(n, k, 2 * p + 1));
            t.inverse[k][p] = simd_pair(simd_matrix(n, 2 * p, k), simd_matrix(n, 2 * p + 1, k));
            t.mirror[k][p] = simd_pair(simd_matrix(n, k, p), simd_matrix(n, k, size - 1 - p));
        }
    for (int x = 0; x < size / 2; x++)
        for (int p = 0; p < size / 4; p++)
            t.odd[x][p] = simd_pair(simd_matrix(n, 4 * p + 1, x), simd_matrix(n, 4 * p + 3, x));
    return t;
}

constexpr pair_table pairs_dst4 = make_pair_table(0);
constexpr pair_table pairs_dct4 = make_pair_table(4);
constexpr pair_table pairs_dct8 = make_pair_table(8);
constexpr pair_table pairs_dct16 = make_pair_table(16);
constexpr pair_table pairs_dct32 = make_pair_table(32);

template <int N>
constexpr const pair_table &dct_pairs()
{
    if constexpr (N == 4) return pairs_dct4;
    else if constexpr (N == 8) return pairs_dct8;
    else if constexpr (N == 16) return pairs_dct16;
    else return pairs_dct32;
}

// ---- lane groups: how many lines one register holds ----

// Four lines in the low half of a 128-bit register.
struct lanes4 {
    typedef __m128i vec;
    enum { count = 4, has_high = 0 };
    static vec load(const int16_t *p) { return _mm_loadl_epi64((const __m128i *)p); }
    static void store(int16_t *p, vec v) { _mm_storel_epi64((__m128i *)p, v); }
    static vec splat(int32_t v) { return _mm_set1_epi32(v); }
    static vec zip_lo(vec a, vec b) { return _mm_unpacklo_epi16(a, b); }
    static vec zip_hi(vec a, vec b) { return _mm_unpackhi_epi16(a, b); }
    static vec madd(vec a, vec b) { return _mm_madd_epi16(a, b); }
    static vec add(vec a, vec b) { return _mm_add_epi32(a, b); }
    static vec sub(vec a, vec b) { return _mm_sub_epi32(a, b); }
    static vec mul(vec a, vec b) { return _mm_mullo_epi32(a, b); }
    // A splatted constant the compiler may not break a product by into shifts
    // and adds (more instructions than the one multiply).
    static vec opaque_splat(int32_t v)
    {
        vec c = _mm_set1_epi32(v);
        __asm__("" : "+x"(c));
        return c;
    }
    static vec add16(vec a, vec b) { return _mm_add_epi16(a, b); }
    static vec sub16(vec a, vec b) { return _mm_sub_epi16(a, b); }
    static vec zero() { return _mm_setzero_si128(); }
    template <int S>
    static vec round_shift(vec v)
    {
        return _mm_srai_epi32(_mm_add_epi32(v, _mm_set1_epi32(1 << (S - 1))), S);
    }
    static vec pack(vec a, vec b) { return _mm_packs_epi32(a, b); }
};

// Eight lines in a 128-bit register.
struct lanes8 : lanes4 {
    enum { count = 8, has_high = 1 };
    static vec load(const int16_t *p) { return _mm_loadu_si128((const __m128i *)p); }
    static void store(int16_t *p, vec v) { _mm_storeu_si128((__m128i *)p, v); }
};

#ifdef __AVX2__
// Sixteen lines in a 256-bit register. The interleaves and the pack work
// within each 128-bit half, so lines 0-7 stay in the low half and 8-15 in the
// high half and come out of the pack in order.
struct lanes16 {
    typedef __m256i vec;
    enum { count = 16, has_high = 1 };
    static vec load(const int16_t *p) { return _mm256_loadu_si256((const __m256i *)p); }
    static void store(int16_t *p, vec v) { _mm256_storeu_si256((__m256i *)p, v); }
    static vec splat(int32_t v) { return _mm256_set1_epi32(v); }
    static vec zip_lo(vec a, vec b) { return _mm256_unpacklo_epi16(a, b); }
    static vec zip_hi(vec a, vec b) { return _mm256_unpackhi_epi16(a, b); }
    static vec madd(vec a, vec b) { return _mm256_madd_epi16(a, b); }
    static vec add(vec a, vec b) { return _mm256_add_epi32(a, b); }
    static vec sub(vec a, vec b) { return _mm256_sub_epi32(a, b); }
    static vec mul(vec a, vec b) { return _mm256_mullo_epi32(a, b); }
    static vec opaque_splat(int32_t v)
    {
        vec c = _mm256_set1_epi32(v);
        __asm__("" : "+x"(c));
        return c;
    }
    static vec add16(vec a, vec b) { return _mm256_add_epi16(a, b); }
    static vec sub16(vec a, vec b) { return _mm256_sub_epi16(a, b); }
    static vec zero() { return _mm256_setzero_si256(); }
    template <int S>
    static vec round_shift(vec v)
    {
        return _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_set1_epi32(1 << (S - 1))), S);
    }
    static vec pack(vec a, vec b) { return _mm256_packs_epi32(a, b); }
};
typedef lanes16 lanes_wide;
#else
typedef lanes8 lanes_wide;
#endif

// The widest lane group that divides a line count of 4, 8, 16 or 32.
template <int L>
struct lanes_for {
    typedef lanes_wide type;
};
template <>
struct lanes_for<4> {
    typedef lanes4 type;
};
template <>
struct lanes_for<8> {
    typedef lanes8 type;
};

// ---- one-dimensional stage ----

// The multiply-add of P interleaved input pairs (zl, and zh for the high
// lanes) against one matrix row of pairs: one output's 32-bit sums.
template <class V, int P>
inline __attribute__((always_inline)) void madd_row(const typename V::vec *zl, const typename V::vec *zh,
                                                    const int32_t *row, typename V::vec *lo, typename V::vec *hi)
{
    typename V::vec c = V::splat(row[0]);
    *lo = V::madd(zl[0], c);
    *hi = *lo;
    if (V::has_high) *hi = V::madd(zh[0], c);
    #pragma GCC unroll 16
    for (int p = 1; p < P; p++) {
        c = V::splat(row[p]);
        *lo = V::add(*lo, V::madd(zl[p], c));
        if (V::has_high) *hi = V::add(*hi, V::madd(zh[p], c));
    }
}

// out[k*N + i] = sat16((sum over j < IN of m[k][j] * in[j*N + i] + round) >> S)
// for k < OUT and lines i < LINES; the row stride of both blocks is N except
// that the output may have its own stride.
template <int N, int IN, int OUT, int LINES, int S>
inline void stage(int16_t *out, int out_stride, const int16_t *in, const int32_t (*m)[16])
{
    typedef typename lanes_for<LINES>::type V;
    typedef typename V::vec vec;
    for (int i = 0; i < LINES; i += V::count) {
        vec lo[IN / 2], hi[IN / 2];
        for (int p = 0; p < IN / 2; p++) {
            vec a = V::load(in + 2 * p * N + i);
            vec b = V::load(in + (2 * p + 1) * N + i);
            lo[p] = V::zip_lo(a, b);
            if (V::has_high) hi[p] = V::zip_hi(a, b);
        }
        for (int k = 0; k < OUT; k++) {
            vec sum_lo, sum_hi;
            madd_row<V, IN / 2>(lo, hi, m[k], &sum_lo, &sum_hi);
            sum_lo = V::template round_shift<S>(sum_lo);
            sum_hi = V::template round_shift<S>(sum_hi);
            V::store(out + k * out_stride + i, V::pack(sum_lo, sum_hi));
        }
    }
}

// ---- folded DCT stages ----

// Forward DCT of the first pass, whose inputs are 8-bit residuals: the inputs
// are folded in 16-bit lanes, E[j] = x[j] + x[N-1-j] and O[j] = x[j] - x[N-1-j]
// (at most 510, 1020, 2040 after three levels). Odd outputs come from O with
// the odd matrix rows; the even outputs are the N/2-point DCT of E, folded in
// turn. Computes outputs k < OUT of the lines in x into out[k*out_stride].
template <class V, int N, int OUT, int S>
inline void forward_fold(int16_t *out, int out_stride, const typename V::vec *x)
{
    typedef typename V::vec vec;
    if constexpr (N == 4) {
        vec zl0 = V::zip_lo(x[0], x[1]), zl1 = V::zip_lo(x[2], x[3]);
        vec zh0 = V::zip_hi(x[0], x[1]), zh1 = V::zip_hi(x[2], x[3]);
        #pragma GCC unroll 4
        for (int k = 0; k < OUT; k++) {
            vec c0 = V::splat(pairs_dct4.forward[k][0]), c1 = V::splat(pairs_dct4.forward[k][1]);
            vec lo = V::add(V::madd(zl0, c0), V::madd(zl1, c1));
            vec hi = lo;
            if (V::has_high) hi = V::add(V::madd(zh0, c0), V::madd(zh1, c1));
            V::store(out + k * out_stride, V::pack(V::template round_shift<S>(lo), V::template round_shift<S>(hi)));
        }
    } else {
        constexpr int H = N / 2;
        vec e[H], o[H];
        #pragma GCC unroll 16
        for (int j = 0; j < H; j++) {
            e[j] = V::add16(x[j], x[N - 1 - j]);
            o[j] = V::sub16(x[j], x[N - 1 - j]);
        }
        forward_fold<V, H, (OUT + 1) / 2, S>(out, 2 * out_stride, e);
        vec zl[H / 2], zh[H / 2];
        #pragma GCC unroll 8
        for (int p = 0; p < H / 2; p++) {
            zl[p] = V::zip_lo(o[2 * p], o[2 * p + 1]);
            if (V::has_high) zh[p] = V::zip_hi(o[2 * p], o[2 * p + 1]);
        }
        const pair_table &m = dct_pairs<N>();
        for (int k = 1; k < OUT; k += 2) {
            vec lo, hi;
            madd_row<V, H / 2>(zl, zh, m.forward[k], &lo, &hi);
            V::store(out + k * out_stride, V::pack(V::template round_shift<S>(lo), V::template round_shift<S>(hi)));
        }
    }
}

// First forward pass over LINES lines: in[j*N + line], outputs k < OUT to
// out[k*N + line].
template <int N, int OUT, int LINES, int S>
inline void forward_first(int16_t *out, const int16_t *in)
{
    typedef typename lanes_for<LINES>::type V;
    for (int i = 0; i < LINES; i += V::count) {
        typename V::vec x[N];
        #pragma GCC unroll 32
        for (int j = 0; j < N; j++) x[j] = V::load(in + j * N + i);
        forward_fold<V, N, OUT, S>(out + i, N, x);
    }
}

// 32-bit sums of the inverse N-point DCT of coefficient rows j < IN (rows
// at in + j*row_stride; the rest taken as zero), before rounding: lo/hi[x]
// for output sample x. The even rows give the N/2-point inverse E, the odd
// rows O, and samples x and N-1-x are E + O and E - O. All sums stay 32-bit.
template <class V, int N, int IN>
inline void inverse_sums(typename V::vec *lo, typename V::vec *hi, const int16_t *in, int row_stride)
{
    typedef typename V::vec vec;
    if constexpr (N == 4) {
        vec r[4];
        #pragma GCC unroll 4
        for (int j = 0; j < 4; j++) r[j] = j < IN ? V::load(in + j * row_stride) : V::zero();
        vec zl0 = V::zip_lo(r[0], r[1]), zl1 = V::zip_lo(r[2], r[3]);
        vec zh0 = V::zip_hi(r[0], r[1]), zh1 = V::zip_hi(r[2], r[3]);
        #pragma GCC unroll 4
        for (int x = 0; x < 4; x++) {
            vec c0 = V::splat(pairs_dct4.inverse[x][0]);
            lo[x] = V::madd(zl0, c0);
            if (V::has_high) hi[x] = V::madd(zh0, c0);
            if (IN > 2) {
                vec c1 = V::splat(pairs_dct4.inverse[x][1]);
                lo[x] = V::add(lo[x], V::madd(zl1, c1));
                if (V::has_high) hi[x] = V::add(hi[x], V::madd(zh1, c1));
            }
        }
    } else {
        constexpr int H = N / 2;
        constexpr int ODD = IN / 2;          // odd rows 1, 3, .. below IN
        constexpr int P = (ODD + 1) / 2;     // pairs of them
        static_assert(P >= 1, "at least one odd coefficient row");
        vec elo[H], ehi[H];
        inverse_sums<V, H, (IN + 1) / 2>(elo, ehi, in, 2 * row_stride);
        vec zl[P], zh[P];
        #pragma GCC unroll 8
        for (int p = 0; p < P; p++) {
            vec a = V::load(in + (4 * p + 1) * row_stride);
            vec b = 2 * p + 1 < ODD ? V::load(in + (4 * p + 3) * row_stride) : V::zero();
            zl[p] = V::zip_lo(a, b);
            if (V::has_high) zh[p] = V::zip_hi(a, b);
        }
        const pair_table &m = dct_pairs<N>();
        for (int x = 0; x < H; x++) {
            vec ol, oh;
            madd_row<V, P>(zl, zh, m.odd[x], &ol, &oh);
            lo[x] = V::add(elo[x], ol);
            lo[N - 1 - x] = V::sub(elo[x], ol);
            if (V::has_high) {
                hi[x] = V::add(ehi[x], oh);
                hi[N - 1 - x] = V::sub(ehi[x], oh);
            }
        }
    }
}

// Inverse DCT pass over LINES lines from coefficient rows j < IN
// (in[j*N + line]): sample x to out[x*out_stride + line], rounded, shifted by
// S and saturated to 16 bits.
template <int N, int IN, int LINES, int S>
inline void inverse_pass(int16_t *out, int out_stride, const int16_t *in)
{
    typedef typename lanes_for<LINES>::type V;
    for (int i = 0; i < LINES; i += V::count) {
        typename V::vec lo[N], hi[N];
        inverse_sums<V, N, IN>(lo, hi, in + i, N);
        for (int x = 0; x < N; x++) {
            typename V::vec h = V::has_high ? hi[x] : lo[x];
            V::store(out + x * out_stride + i,
                     V::pack(V::template round_shift<S>(lo[x]), V::template round_shift<S>(h)));
        }
    }
}

// ---- transposes ----

inline void transpose_4x4(int16_t *dst, int ds, const int16_t *src, int ss)
{
    __m128i r0 = _mm_loadl_epi64((const __m128i *)(src + 0 * ss));
    __m128i r1 = _mm_loadl_epi64((const __m128i *)(src + 1 * ss));
    __m128i r2 = _mm_loadl_epi64((const __m128i *)(src + 2 * ss));
    __m128i r3 = _mm_loadl_epi64((const __m128i *)(src + 3 * ss));
    __m128i a = _mm_unpacklo_epi16(r0, r1), b = _mm_unpacklo_epi16(r2, r3);
    __m128i c01 = _mm_unpacklo_epi32(a, b), c23 = _mm_unpackhi_epi32(a, b);
    _mm_storel_epi64((__m128i *)(dst + 0 * ds), c01);
    _mm_storel_epi64((__m128i *)(dst + 1 * ds), _mm_srli_si128(c01, 8));
    _mm_storel_epi64((__m128i *)(dst + 2 * ds), c23);
    _mm_storel_epi64((__m128i *)(dst + 3 * ds), _mm_srli_si128(c23, 8));
}

inline void transpose_8x8(int16_t *dst, int ds, const int16_t *src, int ss)
{
    __m128i r[8], b[8], c[8];
    #pragma GCC unroll 8
    for (int i = 0; i < 8; i++) r[i] = _mm_loadu_si128((const __m128i *)(src + i * ss));
    #pragma GCC unroll 4
    for (int i = 0; i < 4; i++) {
        b[2 * i] = _mm_unpacklo_epi16(r[2 * i], r[2 * i + 1]);
        b[2 * i + 1] = _mm_unpackhi_epi16(r[2 * i], r[2 * i + 1]);
    }
    // c[0..3] hold columns {0,1}, {2,3}, {4,5}, {6,7} of rows 0-3, c[4..7] of rows 4-7.
    #pragma GCC unroll 2
    for (int h = 0; h < 2; h++) {
        c[4 * h + 0] = _mm_unpacklo_epi32(b[4 * h + 0], b[4 * h + 2]);
        c[4 * h + 1] = _mm_unpackhi_epi32(b[4 * h + 0], b[4 * h + 2]);
        c[4 * h + 2] = _mm_unpacklo_epi32(b[4 * h + 1], b[4 * h + 3]);
        c[4 * h + 3] = _mm_unpackhi_epi32(b[4 * h + 1], b[4 * h + 3]);
    }
    #pragma GCC unroll 4
    for (int i = 0; i < 4; i++) {
        _mm_storeu_si128((__m128i *)(dst + (2 * i) * ds), _mm_unpacklo_epi64(c[i], c[4 + i]));
        _mm_storeu_si128((__m128i *)(dst + (2 * i + 1) * ds), _mm_unpackhi_epi64(c[i], c[4 + i]));
    }
}

// dst[c*ds + r] = src[r*ss + c] for r < R, c < C.
template <int R, int C>
inline void transpose(int16_t *dst, int ds, const int16_t *src, int ss)
{
    if (R % 8 == 0 && C % 8 == 0) {
        for (int r = 0; r < R; r += 8)
            for (int c = 0; c < C; c += 8) transpose_8x8(dst + c * ds + r, ds, src + r * ss + c, ss);
    } else {
        for (int r = 0; r < R; r += 4)
            for (int c = 0; c < C; c += 4) transpose_4x4(dst + c * ds + r, ds, src + r * ss + c, ss);
    }
}

#ifdef __AVX2__
// Second forward pass over eight lines with 256-bit registers: both halves hold
// the same interleaved input pairs, and the matrix entries of output k fill the
// low half and those of output k+1 the high half, so one multiply-add serves
// two outputs. dual[k/2][p] holds those eight 32-bit entries.
template <int N>
struct dual_table {
    int32_t v[N / 2][N / 2][8];
};

template <int N>
constexpr dual_table<N> make_dual_table()
{
    dual_table<N> d{};
    const pair_table &t = dct_pairs<N>();
    for (int k = 0; k < N / 2; k++)
        for (int p = 0; p < N / 2; p++)
            for (int l = 0; l < 4; l++) {
                d.v[k][p][l] = t.forward[2 * k][p];
                d.v[k][p][4 + l] = t.forward[2 * k + 1][p];
            }
    return d;
}

template <int N>
constexpr dual_table<N> dual_pairs = make_dual_table<N>();

template <int N, int OUT, int S>
inline void stage_8_lines_dual(int16_t *out, int out_stride, const int16_t *in)
{
    static_assert(OUT % 2 == 0, "outputs go in pairs");
    __m256i lo[N / 2], hi[N / 2];
    for (int p = 0; p < N / 2; p++) {
        __m128i a = _mm_loadu_si128((const __m128i *)(in + 2 * p * N));
        __m128i b = _mm_loadu_si128((const __m128i *)(in + (2 * p + 1) * N));
        lo[p] = _mm256_broadcastsi128_si256(_mm_unpacklo_epi16(a, b));
        hi[p] = _mm256_broadcastsi128_si256(_mm_unpackhi_epi16(a, b));
    }
    for (int k = 0; k < OUT; k += 2) {
        const int32_t(*d)[8] = dual_pairs<N>.v[k / 2];
        __m256i c = _mm256_loadu_si256((const __m256i *)d[0]);
        __m256i sum_lo = _mm256_madd_epi16(lo[0], c), sum_hi = _mm256_madd_epi16(hi[0], c);
        #pragma GCC unroll 16
        for (int p = 1; p < N / 2; p++) {
            c = _mm256_loadu_si256((const __m256i *)d[p]);
            sum_lo = _mm256_add_epi32(sum_lo, _mm256_madd_epi16(lo[p], c));
            sum_hi = _mm256_add_epi32(sum_hi, _mm256_madd_epi16(hi[p], c));
        }
        __m256i r = _mm256_packs_epi32(lanes16::round_shift<S>(sum_lo), lanes16::round_shift<S>(sum_hi));
        _mm_storeu_si128((__m128i *)(out + k * out_stride), _mm256_castsi256_si128(r));
        _mm_storeu_si128((__m128i *)(out + (k + 1) * out_stride), _mm256_extracti128_si256(r, 1));
    }
}
#endif

// Even outputs of the second forward pass: the M-point DCT of 32-bit sums
// e[j] (lo/hi halves as the lane group holds them), folded like the first
// pass but with 32-bit sums and products: output k goes to out[k*out_stride],
// rounded, shifted by S and saturated.
template <class V, int M, int S>
inline void forward_even_32(int16_t *out, int out_stride, const typename V::vec *elo, const typename V::vec *ehi)
{
    typedef typename V::vec vec;
    if constexpr (M == 1) {
        vec c = V::opaque_splat(simd_matrix(1, 0, 0));
        vec lo = V::mul(elo[0], c), hi = lo;
        if (V::has_high) hi = V::mul(ehi[0], c);
        V::store(out, V::pack(V::template round_shift<S>(lo), V::template round_shift<S>(hi)));
    } else {
        constexpr int H = M / 2;
        vec slo[H], shi[H], dlo[H], dhi[H];
        #pragma GCC unroll 8
        for (int j = 0; j < H; j++) {
            slo[j] = V::add(elo[j], elo[M - 1 - j]);
            dlo[j] = V::sub(elo[j], elo[M - 1 - j]);
            if (V::has_high) {
                shi[j] = V::add(ehi[j], ehi[M - 1 - j]);
                dhi[j] = V::sub(ehi[j], ehi[M - 1 - j]);
            }
        }
        forward_even_32<V, H, S>(out, 2 * out_stride, slo, shi);
        #pragma GCC unroll 8
        for (int k = 1; k < M; k += 2) {
            vec c = V::opaque_splat(simd_matrix(M, k, 0));
            vec lo = V::mul(dlo[0], c), hi = lo;
            if (V::has_high) hi = V::mul(dhi[0], c);
            #pragma GCC unroll 8
            for (int j = 1; j < H; j++) {
                c = V::opaque_splat(simd_matrix(M, k, j));
                lo = V::add(lo, V::mul(dlo[j], c));
                if (V::has_high) hi = V::add(hi, V::mul(dhi[j], c));
            }
            V::store(out + k * out_stride, V::pack(V::template round_shift<S>(lo), V::template round_shift<S>(hi)));
        }
    }
}

// Full second forward pass of an N x N block (N = 16, 32), whose inputs reach
// 32640 in magnitude so that folded sums need 32 bits. The mirrored inputs
// (x[j], x[N-1-j]) are interleaved once: a multiply-add of each pair against
// (m[k][j], m[k][N-1-j]) gives the odd outputs, and against (1, 1) the sums
// E[j] = x[j] + x[N-1-j] in 32-bit lanes, whose N/2-point DCT (folded further
// with 32-bit products) gives the even outputs. Every output is the same
// 32-bit sum as the plain multiply-add stage forms.
template <int N, int S>
inline void forward_second_folded(int16_t *coeff, const int16_t *a)
{
    typedef typename lanes_for<N>::type V;
    typedef typename V::vec vec;
    constexpr int H = N / 2;
    for (int i = 0; i < N; i += V::count) {
        vec zl[H], zh[H], elo[H], ehi[H];
        const vec ones = V::splat(simd_pair(1, 1));
        #pragma GCC unroll 16
        for (int j = 0; j < H; j++) {
            vec x0 = V::load(a + j * N + i), x1 = V::load(a + (N - 1 - j) * N + i);
            zl[j] = V::zip_lo(x0, x1);
            elo[j] = V::madd(zl[j], ones);
            if (V::has_high) {
                zh[j] = V::zip_hi(x0, x1);
                ehi[j] = V::madd(zh[j], ones);
            }
        }
        forward_even_32<V, H, S>(coeff + i, 2 * N, elo, ehi);
        const pair_table &m = dct_pairs<N>();
        for (int k = 1; k < N; k += 2) {
            vec lo, hi;
            madd_row<V, H>(zl, zh, m.mirror[k], &lo, &hi);
            V::store(coeff + k * N + i, V::pack(V::template round_shift<S>(lo), V::template round_shift<S>(hi)));
        }
    }
}

// Second forward pass: columns h < K of a[y][h] (row stride N), outputs v < K
// into coeff[v*N + h].
template <int N, int K, int S>
inline void forward_second(int16_t *coeff, const int16_t *a)
{
#ifdef __AVX2__
    if constexpr (K == 8) {
        stage_8_lines_dual<N, K, S>(coeff, N, a);
        return;
    }
#endif
    if constexpr (K == N && N >= 16) forward_second_folded<N, S>(coeff, a);
    else stage<N, N, K, K, S>(coeff, N, a, dct_pairs<N>().forward);
}

// ---- two-dimensional DCTs, 8x8 to 32x32 ----

// Forward NxN keeping the top-left KxK coefficients: rows with shift S1 (the
// folded pass), then columns with shift S2 (32-bit sums of pairs). `in` has
// row stride in_stride; only coeff[v*N + h] with v, h < K is written.
template <int N, int K, int S1, int S2>
inline void forward_2d(int16_t *coeff, const int16_t *in, int in_stride)
{
    alignas(32) int16_t a[N * N], b[N * N];
    transpose<N, N>(a, N, in, in_stride);                   // a[x][y]
    forward_first<N, K, N, S1>(b, a);                       // b[h][y], h < K
    transpose<K, N>(a, N, b, N);                            // a[y][h]
    forward_second<N, K, S2>(coeff, a);                     // coeff[v][h]
}

// Inverse NxN from the top-left KxK coefficients (the others are not read):
// columns with shift 7 (saturated: the clip between the stages), then rows with
// shift 12. `out` gets the residual with row stride out_stride.
template <int N, int K>
inline void inverse_2d(int16_t *out, int out_stride, const int16_t *coeff)
{
    alignas(32) int16_t a[N * N], b[N * N];
    inverse_pass<N, K, K, 7>(a, N, coeff);                  // a[y][h], h < K
    transpose<N, K>(b, N, a, N);                            // b[h][y]
    inverse_pass<N, K, N, 12>(a, N, b);                     // a[x][y]
    transpose<N, N>(out, out_stride, a, N);                 // out[y][x]
}

// ---- 4x4 blocks in two registers ----
//
// A 4x4 block of 16-bit values is held as rows [0|1] in one register and rows
// [2|3] in the other; the same multiply-add stage as above runs on it with the
// four lines of each row side by side.

inline void transpose_4x4_regs(__m128i *a, __m128i *b)
{
    __m128i t0 = _mm_unpacklo_epi16(*a, *b), t1 = _mm_unpackhi_epi16(*a, *b);
    *a = _mm_unpacklo_epi16(t0, t1);
    *b = _mm_unpackhi_epi16(t0, t1);
}

// Inputs x0..x3 of four lines as [x0|x1], [x2|x3]; outputs k of the four lines
// as [out0|out1], [out2|out3], rounded, shifted by S and saturated.
template <int S>
inline void stage_4x4_regs(__m128i *a, __m128i *b, const int32_t (*m)[16])
{
    __m128i z01 = _mm_unpacklo_epi16(*a, _mm_srli_si128(*a, 8));
    __m128i z23 = _mm_unpacklo_epi16(*b, _mm_srli_si128(*b, 8));
    __m128i o[4];
    #pragma GCC unroll 4
    for (int k = 0; k < 4; k++) {
        __m128i sum = _mm_add_epi32(_mm_madd_epi16(z01, _mm_set1_epi32(m[k][0])),
                                    _mm_madd_epi16(z23, _mm_set1_epi32(m[k][1])));
        o[k] = lanes4::round_shift<S>(sum);
    }
    *a = _mm_packs_epi32(o[0], o[1]);
    *b = _mm_packs_epi32(o[2], o[3]);
}

// Forward 4x4 of the residual rows in a, b (shifts 1 and 8) into coeff.
inline void forward_4x4_regs(int16_t *coeff, __m128i a, __m128i b, const pair_table &rows,
                             const pair_table &cols)
{
    transpose_4x4_regs(&a, &b);
    stage_4x4_regs<1>(&a, &b, rows.forward);
    transpose_4x4_regs(&a, &b);
    stage_4x4_regs<8>(&a, &b, cols.forward);
    _mm_storeu_si128((__m128i *)coeff, a);
    _mm_storeu_si128((__m128i *)(coeff + 8), b);
}

// Inverse 4x4 of coeff (shifts 7 and 12); the residual rows come back in a, b.
inline void inverse_4x4_regs(const int16_t *coeff, __m128i *a, __m128i *b, const pair_table &cols,
                             const pair_table &rows)
{
    *a = _mm_loadu_si128((const __m128i *)coeff);
    *b = _mm_loadu_si128((const __m128i *)(coeff + 8));
    stage_4x4_regs<7>(a, b, cols.inverse);
    transpose_4x4_regs(a, b);
    stage_4x4_regs<12>(a, b, rows.inverse);
    transpose_4x4_regs(a, b);
}

inline __m128i load_rows_4x16(const int16_t *p, int stride)
{
    return _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i *)p),
                              _mm_loadl_epi64((const __m128i *)(p + stride)));
}

inline void store_rows_4x16(int16_t *p, int stride, __m128i v)
{
    _mm_storel_epi64((__m128i *)p, v);
    _mm_storel_epi64((__m128i *)(p + stride), _mm_srli_si128(v, 8));
}

// ---- residual and reconstruction ----

inline __m128i load_u8x4(const uint8_t *p)
{
    int32_t v;
    __builtin_memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

inline void store_u8x4(uint8_t *p, __m128i v)
{
    int32_t x = _mm_cvtsi128_si32(v);
    __builtin_memcpy(p, &x, 4);
}

// r[y*N + x] = src[y*64 + x] - pred[y*128 + x] in 16-bit lanes (-255..255),
// N = 8, 16 or 32.
template <int N>
inline void residual(int16_t *r, const uint8_t *src, const uint8_t *pred)
{
    const __m128i zero = _mm_setzero_si128();
    for (int y = 0; y < N; y++) {
        const uint8_t *s = src + y * TRANSFORM_SRC_STRIDE;
        const uint8_t *p = pred + y * TRANSFORM_PRED_STRIDE;
#ifdef __AVX2__
        if (N >= 16) {
            for (int x = 0; x < N; x += 16) {
                __m256i a = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(s + x)));
                __m256i b = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(p + x)));
                _mm256_storeu_si256((__m256i *)(r + y * N + x), _mm256_sub_epi16(a, b));
            }
            continue;
        }
#endif
        for (int x = 0; x < N; x += 8) {
            __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(s + x)), zero);
            __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(p + x)), zero);
            _mm_storeu_si128((__m128i *)(r + y * N + x), _mm_sub_epi16(a, b));
        }
    }
}

// recon[y*128 + x] = clip(recon[y*128 + x] + res[y*N + x], 0, 255), N = 8, 16
// or 32. The 16-bit addition cannot wrap: inverse residuals stay within
// +-14896 (at most 1862 * 32768 before the shift by 12).
template <int N>
inline void add_residual(uint8_t *recon, const int16_t *res)
{
    const __m128i zero = _mm_setzero_si128();
    for (int y = 0; y < N; y++) {
        uint8_t *p = recon + y * TRANSFORM_PRED_STRIDE;
        const int16_t *r = res + y * N;
        if (N == 8) {
            __m128i s = _mm_add_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)p), zero),
                                      _mm_loadu_si128((const __m128i *)r));
            _mm_storel_epi64((__m128i *)p, _mm_packus_epi16(s, s));
            continue;
        }
#ifdef __AVX2__
        for (int x = 0; x < N; x += 16) {
            __m256i v = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(p + x)));
            __m256i sum = _mm256_add_epi16(v, _mm256_loadu_si256((const __m256i *)(r + x)));
            __m128i out = _mm_packus_epi16(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
            _mm_storeu_si128((__m128i *)(p + x), out);
        }
        continue;
#endif
        for (int x = 0; x < N; x += 16) {
            __m128i v = _mm_loadu_si128((const __m128i *)(p + x));
            __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(v, zero), _mm_loadu_si128((const __m128i *)(r + x)));
            __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(v, zero), _mm_loadu_si128((const __m128i *)(r + x + 8)));
            _mm_storeu_si128((__m128i *)(p + x), _mm_packus_epi16(lo, hi));
        }
    }
}

// Residual rows [0|1] and [2|3] of a 4x4 block.
inline void residual_4x4_regs(const uint8_t *src, const uint8_t *pred, __m128i *a, __m128i *b)
{
    const __m128i zero = _mm_setzero_si128();
    const int ss = TRANSFORM_SRC_STRIDE, ps = TRANSFORM_PRED_STRIDE;
    for (int h = 0; h < 2; h++) {
        const uint8_t *s = src + 2 * h * ss, *p = pred + 2 * h * ps;
        __m128i sv = _mm_unpacklo_epi32(load_u8x4(s), load_u8x4(s + ss));
        __m128i pv = _mm_unpacklo_epi32(load_u8x4(p), load_u8x4(p + ps));
        __m128i d = _mm_sub_epi16(_mm_unpacklo_epi8(sv, zero), _mm_unpacklo_epi8(pv, zero));
        if (h == 0) *a = d;
        else *b = d;
    }
}

// Adds the residual rows [0|1], [2|3] to the 4x4 prediction and clips to 8 bits.
inline void add_residual_4x4_regs(uint8_t *recon, __m128i a, __m128i b)
{
    const __m128i zero = _mm_setzero_si128();
    const int ps = TRANSFORM_PRED_STRIDE;
    for (int h = 0; h < 2; h++) {
        uint8_t *p = recon + 2 * h * ps;
        __m128i pv = _mm_unpacklo_epi8(_mm_unpacklo_epi32(load_u8x4(p), load_u8x4(p + ps)), zero);
        __m128i v = _mm_packus_epi16(_mm_add_epi16(pv, h == 0 ? a : b), zero);
        store_u8x4(p, v);
        store_u8x4(p + ps, _mm_srli_si128(v, 4));
    }
}

// ---- slot kernel bodies ----

template <int N, int K, int S1, int S2>
inline void forward_slot(int16_t *coeff, const uint8_t *src, const uint8_t *pred)
{
    alignas(32) int16_t r[N * N];
    residual<N>(r, src, pred);
    forward_2d<N, K, S1, S2>(coeff, r, N);
}

template <int N, int K>
inline void inverse_slot(uint8_t *recon, const int16_t *coeff)
{
    alignas(32) int16_t r[N * N];
    inverse_2d<N, K>(r, N, coeff);
    add_residual<N>(recon, r);
}

}  // namespace
