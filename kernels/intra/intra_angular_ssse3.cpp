// SSE2 to SSE4.1 angular predictors of 4x4 to 16x16 blocks: the pure copies
// (modes 2, 10, 18, 26), the boundary-filtered modes 10 and 26, and modes 19
// to 21 at 16x16. The AVX2 set installs them; each writes exactly the samples
// of intra_pred_angular_c for its mode, size and filter flag, and reads the
// reference array only.
#include <immintrin.h>

#include <cstring>
#include <utility>

#include "kernels/intra/intra_pred_kernels.h"

static __m128i load4(const uint8_t *p)
{
    int32_t v;
    memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

static void store4(uint8_t *p, __m128i v)
{
    int32_t x = _mm_cvtsi128_si32(v);
    memcpy(p, &x, 4);
}

static __m128i loadu(const uint8_t *p) { return _mm_loadu_si128((const __m128i *)p); }
static void storeu(uint8_t *p, __m128i v) { _mm_storeu_si128((__m128i *)p, v); }
static __m128i load8(const uint8_t *p) { return _mm_loadl_epi64((const __m128i *)p); }
static void store8(uint8_t *p, __m128i v) { _mm_storel_epi64((__m128i *)p, v); }

// ---- Mode 2: pred[y][x] = left[x + y + 1] ------------------------------------

void intra_pred_ang2_4x4_sse2(INTRA_KERNEL_ARGS)
{
    __m128i l = load8(ref + 9); // left[0..7]
    store4(dst, _mm_srli_si128(l, 1));
    store4(dst + dst_stride, _mm_srli_si128(l, 2));
    store4(dst + 2 * dst_stride, _mm_srli_si128(l, 3));
    store4(dst + 3 * dst_stride, _mm_srli_si128(l, 4));
}

// Row y is the 16 samples of left[0..31] that start at y + 1, taken by register
// alignment of left[0..15] and left[16..31].
#define ANG2_ROW(y) storeu(dst + (y) * dst_stride, _mm_alignr_epi8(hi, lo, (y) + 1));
void intra_pred_ang2_16x16_ssse3(INTRA_KERNEL_ARGS)
{
    __m128i lo = loadu(ref + 33);
    __m128i hi = loadu(ref + 49);
    ANG2_ROW(0) ANG2_ROW(1) ANG2_ROW(2) ANG2_ROW(3) ANG2_ROW(4) ANG2_ROW(5) ANG2_ROW(6)
    ANG2_ROW(7) ANG2_ROW(8) ANG2_ROW(9) ANG2_ROW(10) ANG2_ROW(11) ANG2_ROW(12) ANG2_ROW(13)
    ANG2_ROW(14) ANG2_ROW(15)
}
#undef ANG2_ROW

// ---- Mode 10: pred[y][x] = left[y] -------------------------------------------

static __m128i splat_lane(__m128i v, int i) { return _mm_shuffle_epi8(v, _mm_set1_epi8((char)i)); }

void intra_pred_ang10_4x4_ssse3(INTRA_KERNEL_ARGS)
{
    __m128i l = load4(ref + 9);
    for (int y = 0; y < 4; y++) store4(dst + y * dst_stride, splat_lane(l, y));
}

void intra_pred_ang10_8x8_ssse3(INTRA_KERNEL_ARGS)
{
    __m128i l = load8(ref + 17);
    for (int y = 0; y < 8; y++) store8(dst + y * dst_stride, splat_lane(l, y));
}

void intra_pred_ang10_16x16_ssse3(INTRA_KERNEL_ARGS)
{
    __m128i l = loadu(ref + 33);
    for (int y = 0; y < 16; y++) storeu(dst + y * dst_stride, splat_lane(l, y));
}

// clip(base + ((side[i] - corner) >> 1)) for eight samples, in signed 16-bit
// lanes packed with unsigned saturation.
static __m128i gradient_fix8(__m128i side8, int base, int corner)
{
    __m128i d = _mm_sub_epi16(_mm_cvtepu8_epi16(side8), _mm_set1_epi16((int16_t)corner));
    __m128i v = _mm_add_epi16(_mm_srai_epi16(d, 1), _mm_set1_epi16((int16_t)base));
    return _mm_packus_epi16(v, v);
}

// Filtered mode 10: the first row becomes clip(left[0] + ((above[x] - corner) >> 1)).
void intra_pred_ang10_filt_4x4_sse41(INTRA_KERNEL_ARGS)
{
    intra_pred_ang10_4x4_ssse3(dst, dst_stride, ref);
    store4(dst, gradient_fix8(load4(ref + 1), ref[9], ref[0]));
}

void intra_pred_ang10_filt_8x8_sse41(INTRA_KERNEL_ARGS)
{
    intra_pred_ang10_8x8_ssse3(dst, dst_stride, ref);
    store8(dst, gradient_fix8(load8(ref + 1), ref[17], ref[0]));
}

void intra_pred_ang10_filt_16x16_sse41(INTRA_KERNEL_ARGS)
{
    intra_pred_ang10_16x16_ssse3(dst, dst_stride, ref);
    __m128i lo = gradient_fix8(load8(ref + 1), ref[33], ref[0]);
    __m128i hi = gradient_fix8(load8(ref + 9), ref[33], ref[0]);
    storeu(dst, _mm_unpacklo_epi64(lo, hi));
}

// ---- Mode 26: pred[y][x] = above[x] ------------------------------------------

void intra_pred_ang26_4x4_sse2(INTRA_KERNEL_ARGS)
{
    __m128i a = load4(ref + 1);
    for (int y = 0; y < 4; y++) store4(dst + y * dst_stride, a);
}

void intra_pred_ang26_8x8_ssse3(INTRA_KERNEL_ARGS)
{
    __m128i a = load8(ref + 1);
    for (int y = 0; y < 8; y++) store8(dst + y * dst_stride, a);
}

void intra_pred_ang26_16x16_sse2(INTRA_KERNEL_ARGS)
{
    __m128i a = loadu(ref + 1);
    for (int y = 0; y < 16; y++) storeu(dst + y * dst_stride, a);
}

// Filtered mode 26: the first column becomes clip(above[0] + ((left[y] - corner) >> 1)),
// stored byte by byte into the rows.
void intra_pred_ang26_filt_4x4_sse41(INTRA_KERNEL_ARGS)
{
    intra_pred_ang26_4x4_sse2(dst, dst_stride, ref);
    __m128i c = gradient_fix8(load4(ref + 9), ref[1], ref[0]);
    dst[0] = (uint8_t)_mm_extract_epi8(c, 0);
    dst[dst_stride] = (uint8_t)_mm_extract_epi8(c, 1);
    dst[2 * dst_stride] = (uint8_t)_mm_extract_epi8(c, 2);
    dst[3 * dst_stride] = (uint8_t)_mm_extract_epi8(c, 3);
}

static void store_column(uint8_t *dst, int dst_stride, __m128i c, int n)
{
    uint8_t col[16];
    storeu(col, c);
    for (int y = 0; y < n; y++) dst[y * dst_stride] = col[y];
}

void intra_pred_ang26_filt_8x8_sse41(INTRA_KERNEL_ARGS)
{
    intra_pred_ang26_8x8_ssse3(dst, dst_stride, ref);
    store_column(dst, dst_stride, gradient_fix8(load8(ref + 17), ref[1], ref[0]), 8);
}

void intra_pred_ang26_filt_16x16_sse41(INTRA_KERNEL_ARGS)
{
    intra_pred_ang26_16x16_sse2(dst, dst_stride, ref);
    __m128i lo = gradient_fix8(load8(ref + 33), ref[1], ref[0]);
    __m128i hi = gradient_fix8(load8(ref + 41), ref[1], ref[0]);
    store_column(dst, dst_stride, _mm_unpacklo_epi64(lo, hi), 16);
}

// ---- Mode 18: the diagonal through the corner --------------------------------

// The line left[N-1], ..., left[0], corner, above[0..N-1]; row y is the window
// that starts y samples before the corner. At 4x4 one byte shuffle of
// ref[0..15] forms all four rows at once; the reference is only read.
void intra_pred_ang18_4x4_sse41(INTRA_KERNEL_ARGS)
{
    __m128i rows = _mm_shuffle_epi8(loadu(ref), _mm_setr_epi8(0, 1, 2, 3, 9, 0, 1, 2, 10, 9, 0, 1,
                                                              11, 10, 9, 0));
    int32_t r0 = _mm_cvtsi128_si32(rows), r1 = _mm_extract_epi32(rows, 1);
    int32_t r2 = _mm_extract_epi32(rows, 2), r3 = _mm_extract_epi32(rows, 3);
    memcpy(dst, &r0, 4);
    memcpy(dst + dst_stride, &r1, 4);
    memcpy(dst + 2 * dst_stride, &r2, 4);
    memcpy(dst + 3 * dst_stride, &r3, 4);
}

void intra_pred_ang18_16x16_ssse3(INTRA_KERNEL_ARGS)
{
    const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    __m128i rl = _mm_shuffle_epi8(loadu(ref + 33), reverse); // left[15..0]
    __m128i ca = loadu(ref);                                   // corner, above[0..14]
#define ANG18_ROW(y) storeu(dst + (y) * dst_stride, _mm_alignr_epi8(ca, rl, 16 - (y)));
    storeu(dst, ca);
    ANG18_ROW(1) ANG18_ROW(2) ANG18_ROW(3) ANG18_ROW(4) ANG18_ROW(5) ANG18_ROW(6) ANG18_ROW(7)
    ANG18_ROW(8) ANG18_ROW(9) ANG18_ROW(10) ANG18_ROW(11) ANG18_ROW(12) ANG18_ROW(13)
    ANG18_ROW(14) ANG18_ROW(15)
#undef ANG18_ROW
}

// ---- Modes 19, 20, 21 at 16x16 -----------------------------------------------

// ref_main[-k] = left[((k * inv + 128) >> 8) - 1] for k = 1..16 (lanes past the
// mode's extension are zero and never reach a result), lane j = ref_main[j - 16].
struct proj_mask16 {
    alignas(16) int8_t v[16];
};

static constexpr proj_mask16 make_proj_mask16(int angle, int inv)
{
    proj_mask16 m{};
    int count = -((16 * angle) >> 5);
    for (int j = 0; j < 16; j++) {
        int k = 16 - j;
        m.v[j] = k <= count ? (int8_t)(((k * inv + 128) >> 8) - 1) : (int8_t)-128;
    }
    return m;
}

// Integer part (toward minus infinity) and fraction of row y's position.
static constexpr int row_int(int y, int angle)
{
    int p = (y + 1) * angle;
    return p >= 0 ? p / 32 : -((-p + 31) / 32);
}

static constexpr int row_frac(int y, int angle) { return (y + 1) * angle - 32 * row_int(y, angle); }

// The 16 samples of the extended reference that start at ref_main[s - 16],
// from lo = ref_main[-16..-1], mid = ref_main[0..15], hi = ref_main[16..31].
template <int S>
static __m128i window16(__m128i lo, __m128i mid, __m128i hi)
{
    if constexpr (S < 16) return _mm_alignr_epi8(mid, lo, S);
    else if constexpr (S == 16) return mid;
    else return _mm_alignr_epi8(hi, mid, S - 16);
}

// Row y reads ref_main[i + 1 ..] and ref_main[i + 2 ..], i = ((y+1) angle) >> 5,
// taken by register alignment, and weighs the pairs by (32 - f, f).
template <int ANGLE, int Y>
static void neg16_row(uint8_t *dst, int dst_stride, __m128i lo, __m128i mid, __m128i hi)
{
    constexpr int i = row_int(Y, ANGLE);
    constexpr int f = row_frac(Y, ANGLE);
    __m128i a = window16<17 + i>(lo, mid, hi);
    __m128i b = window16<18 + i>(lo, mid, hi);
    const __m128i round = _mm_set1_epi16(1024);
    __m128i w = _mm_load_si128((const __m128i *)intra_ang_frac_weights[f]);
    __m128i l = _mm_mulhrs_epi16(_mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), w), round);
    __m128i h = _mm_mulhrs_epi16(_mm_maddubs_epi16(_mm_unpackhi_epi8(a, b), w), round);
    storeu(dst + Y * dst_stride, _mm_packus_epi16(l, h));
}

template <int ANGLE, int... Y>
static void neg16_rows(uint8_t *dst, int dst_stride, __m128i lo, __m128i mid, __m128i hi,
                       std::integer_sequence<int, Y...>)
{
    (neg16_row<ANGLE, Y>(dst, dst_stride, lo, mid, hi), ...);
}

// Vertical 16x16 modes with a negative angle: the main reference is extended
// below the corner by one constant byte shuffle of left[0..15].
template <int ANGLE, int INV>
static void predict_neg16(uint8_t *dst, int dst_stride, const uint8_t *ref)
{
    static constexpr proj_mask16 mask = make_proj_mask16(ANGLE, INV);
    __m128i lo = _mm_shuffle_epi8(loadu(ref + 33), _mm_load_si128((const __m128i *)mask.v));
    __m128i mid = loadu(ref);     // ref_main[0..15]
    __m128i hi = loadu(ref + 16); // ref_main[16..31]
    neg16_rows<ANGLE>(dst, dst_stride, lo, mid, hi, std::make_integer_sequence<int, 16>());
}

void intra_pred_ang19_16x16_sse41(INTRA_KERNEL_ARGS) { predict_neg16<-26, 315>(dst, dst_stride, ref); }
void intra_pred_ang20_16x16_sse41(INTRA_KERNEL_ARGS) { predict_neg16<-21, 390>(dst, dst_stride, ref); }
void intra_pred_ang21_16x16_sse41(INTRA_KERNEL_ARGS) { predict_neg16<-17, 482>(dst, dst_stride, ref); }
