// AVX2-flag edge kernels: one line per 16-bit lane of a 128-bit vector, eight
// lines at once (two luma halves, or Cb and Cr of a chroma segment). Every
// intermediate fits in 16 bits (the largest, 9 x 255 + 3 x 255 + 8, is 3068),
// so the samples equal the portable kernels' exactly.
#include <immintrin.h>

#include <cstring>

#include "filters/deblock/deblock.h"

static inline __m128i load8(const uint8_t *p)
{
    return _mm_loadl_epi64((const __m128i *)p);
}

static inline __m128i load4(const uint8_t *p)
{
    int32_t v;
    memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

static inline void store4(uint8_t *p, __m128i v)
{
    int32_t x = _mm_cvtsi128_si32(v);
    memcpy(p, &x, 4);
}

// Transposes eight 8-byte rows (low halves of r[0..7]) into four registers
// holding two 8-byte columns each: out[k] = column 2k | column 2k + 1 << 64.
static inline void transpose_8x8_u8(const __m128i r[8], __m128i out[4])
{
    __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]);
    __m128i a1 = _mm_unpacklo_epi8(r[2], r[3]);
    __m128i a2 = _mm_unpacklo_epi8(r[4], r[5]);
    __m128i a3 = _mm_unpacklo_epi8(r[6], r[7]);
    __m128i b0 = _mm_unpacklo_epi16(a0, a1);
    __m128i b1 = _mm_unpackhi_epi16(a0, a1);
    __m128i b2 = _mm_unpacklo_epi16(a2, a3);
    __m128i b3 = _mm_unpackhi_epi16(a2, a3);
    out[0] = _mm_unpacklo_epi32(b0, b2);
    out[1] = _mm_unpackhi_epi32(b0, b2);
    out[2] = _mm_unpacklo_epi32(b1, b3);
    out[3] = _mm_unpackhi_epi32(b1, b3);
}

// Lanes 0..3 take lane 0 and lanes 4..7 lane 4 (first decision line of each half).
static inline __m128i bcast_line0(__m128i v)
{
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0x00), 0x00);
}

// Lanes 0..3 take lane 3 and lanes 4..7 lane 7 (last decision line of each half).
static inline __m128i bcast_line3(__m128i v)
{
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xFF), 0xFF);
}

static inline __m128i clip_around(__m128i v, __m128i x, __m128i range)
{
    return _mm_min_epi16(_mm_max_epi16(v, _mm_sub_epi16(x, range)), _mm_add_epi16(x, range));
}

// s[0..7] = p3 p2 p1 p0 q0 q1 q2 q3, one line per lane, filtered in place.
// Returns false when no lane can change (nothing to store).
static bool luma_filter8(__m128i s[8], int32_t beta, const int32_t *tc)
{
    const __m128i p3 = s[0], p2 = s[1], p1 = s[2], p0 = s[3];
    const __m128i q0 = s[4], q1 = s[5], q2 = s[6], q3 = s[7];

    __m128i dp = _mm_abs_epi16(_mm_add_epi16(_mm_sub_epi16(p2, _mm_slli_epi16(p1, 1)), p0));
    __m128i dq = _mm_abs_epi16(_mm_add_epi16(_mm_sub_epi16(q2, _mm_slli_epi16(q1, 1)), q0));
    __m128i dpq = _mm_add_epi16(dp, dq);
    __m128i dpq0 = bcast_line0(dpq), dpq3 = bcast_line3(dpq);
    __m128i d = _mm_add_epi16(dpq0, dpq3);
    __m128i vbeta = _mm_set1_epi16((int16_t)beta);
    __m128i on = _mm_cmpgt_epi16(vbeta, d);
    if (_mm_movemask_epi8(on) == 0) return false;

    int16_t t0 = (int16_t)tc[0], t1 = (int16_t)tc[1];
    __m128i vtc = _mm_set_epi16(t1, t1, t1, t1, t0, t0, t0, t0);

    // Strong-filter test on every line, then both decision lines of a half.
    __m128i beta2 = _mm_set1_epi16((int16_t)(beta >> 2));
    __m128i beta3 = _mm_set1_epi16((int16_t)(beta >> 3));
    __m128i tc5 = _mm_srai_epi16(_mm_add_epi16(_mm_mullo_epi16(vtc, _mm_set1_epi16(5)),
                                               _mm_set1_epi16(1)), 1);
    __m128i t_a = _mm_cmpgt_epi16(beta2, _mm_slli_epi16(dpq, 1));
    __m128i t_b = _mm_cmpgt_epi16(beta3, _mm_add_epi16(_mm_abs_epi16(_mm_sub_epi16(p3, p0)),
                                                       _mm_abs_epi16(_mm_sub_epi16(q0, q3))));
    __m128i t_c = _mm_cmpgt_epi16(tc5, _mm_abs_epi16(_mm_sub_epi16(p0, q0)));
    __m128i line_strong = _mm_and_si128(_mm_and_si128(t_a, t_b), t_c);
    __m128i strong = _mm_and_si128(on, _mm_and_si128(bcast_line0(line_strong),
                                                     bcast_line3(line_strong)));

    __m128i out[8];
    for (int i = 0; i < 8; i++) out[i] = s[i];

    if (_mm_movemask_epi8(strong) != 0) {
        __m128i tc2 = _mm_slli_epi16(vtc, 1);
        __m128i four = _mm_set1_epi16(4), two = _mm_set1_epi16(2);
        __m128i p0q0 = _mm_add_epi16(p0, q0);
        // p0' = (p2 + 2 p1 + 2 p0 + 2 q0 + q1 + 4) >> 3
        __m128i np0 = _mm_add_epi16(_mm_add_epi16(p2, q1),
                                    _mm_slli_epi16(_mm_add_epi16(p1, p0q0), 1));
        np0 = _mm_srai_epi16(_mm_add_epi16(np0, four), 3);
        // p1' = (p2 + p1 + p0 + q0 + 2) >> 2
        __m128i np1 = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, p1),
                                                   _mm_add_epi16(p0q0, two)), 2);
        // p2' = (2 p3 + 3 p2 + p1 + p0 + q0 + 4) >> 3
        __m128i np2 = _mm_add_epi16(_mm_slli_epi16(p3, 1), _mm_mullo_epi16(p2, _mm_set1_epi16(3)));
        np2 = _mm_add_epi16(np2, _mm_add_epi16(p1, p0q0));
        np2 = _mm_srai_epi16(_mm_add_epi16(np2, four), 3);
        // q0' = (p1 + 2 p0 + 2 q0 + 2 q1 + q2 + 4) >> 3
        __m128i nq0 = _mm_add_epi16(_mm_add_epi16(p1, q2),
                                    _mm_slli_epi16(_mm_add_epi16(q1, p0q0), 1));
        nq0 = _mm_srai_epi16(_mm_add_epi16(nq0, four), 3);
        // q1' = (p0 + q0 + q1 + q2 + 2) >> 2
        __m128i nq1 = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(q2, q1),
                                                   _mm_add_epi16(p0q0, two)), 2);
        // q2' = (p0 + q0 + q1 + 3 q2 + 2 q3 + 4) >> 3
        __m128i nq2 = _mm_add_epi16(_mm_slli_epi16(q3, 1), _mm_mullo_epi16(q2, _mm_set1_epi16(3)));
        nq2 = _mm_add_epi16(nq2, _mm_add_epi16(q1, p0q0));
        nq2 = _mm_srai_epi16(_mm_add_epi16(nq2, four), 3);

        out[1] = _mm_blendv_epi8(out[1], clip_around(np2, p2, tc2), strong);
        out[2] = _mm_blendv_epi8(out[2], clip_around(np1, p1, tc2), strong);
        out[3] = _mm_blendv_epi8(out[3], clip_around(np0, p0, tc2), strong);
        out[4] = _mm_blendv_epi8(out[4], clip_around(nq0, q0, tc2), strong);
        out[5] = _mm_blendv_epi8(out[5], clip_around(nq1, q1, tc2), strong);
        out[6] = _mm_blendv_epi8(out[6], clip_around(nq2, q2, tc2), strong);
    }

    // Normal filter where the half is on, not strong, and |delta| < 10 tc.
    __m128i delta = _mm_sub_epi16(_mm_mullo_epi16(_mm_sub_epi16(q0, p0), _mm_set1_epi16(9)),
                                  _mm_mullo_epi16(_mm_sub_epi16(q1, p1), _mm_set1_epi16(3)));
    delta = _mm_srai_epi16(_mm_add_epi16(delta, _mm_set1_epi16(8)), 4);
    __m128i tc10 = _mm_mullo_epi16(vtc, _mm_set1_epi16(10));
    __m128i normal = _mm_andnot_si128(strong, _mm_and_si128(on, _mm_cmpgt_epi16(tc10, _mm_abs_epi16(delta))));
    if (_mm_movemask_epi8(normal) != 0) {
        __m128i ntc = _mm_sub_epi16(_mm_setzero_si128(), vtc);
        delta = _mm_min_epi16(_mm_max_epi16(delta, ntc), vtc);
        // Out-of-range results are clipped to 0..255 by the saturating pack
        // of the store.
        out[3] = _mm_blendv_epi8(out[3], _mm_add_epi16(p0, delta), normal);
        out[4] = _mm_blendv_epi8(out[4], _mm_sub_epi16(q0, delta), normal);

        __m128i side = _mm_set1_epi16((int16_t)((beta + (beta >> 1)) >> 3));
        __m128i dp_half = _mm_add_epi16(bcast_line0(dp), bcast_line3(dp));
        __m128i dq_half = _mm_add_epi16(bcast_line0(dq), bcast_line3(dq));
        __m128i mask_p = _mm_and_si128(normal, _mm_cmpgt_epi16(side, dp_half));
        __m128i mask_q = _mm_and_si128(normal, _mm_cmpgt_epi16(side, dq_half));
        __m128i tch = _mm_srai_epi16(vtc, 1);
        __m128i ntch = _mm_sub_epi16(_mm_setzero_si128(), tch);
        if (_mm_movemask_epi8(mask_p) != 0) {
            __m128i v = _mm_add_epi16(_mm_sub_epi16(_mm_avg_epu16(p2, p0), p1), delta);
            v = _mm_min_epi16(_mm_max_epi16(_mm_srai_epi16(v, 1), ntch), tch);
            out[2] = _mm_blendv_epi8(out[2], _mm_add_epi16(p1, v), mask_p);
        }
        if (_mm_movemask_epi8(mask_q) != 0) {
            __m128i v = _mm_sub_epi16(_mm_sub_epi16(_mm_avg_epu16(q2, q0), q1), delta);
            v = _mm_min_epi16(_mm_max_epi16(_mm_srai_epi16(v, 1), ntch), tch);
            out[5] = _mm_blendv_epi8(out[5], _mm_add_epi16(q1, v), mask_q);
        }
    }
    for (int i = 0; i < 8; i++) s[i] = out[i];
    return true;
}

void deblock_luma_ver_edge_avx2(uint8_t *q0, uint32_t stride, int32_t beta, const int32_t *tc)
{
    int64_t pair;
    memcpy(&pair, tc, 8);
    if (pair == 0) return;
    uint8_t *base = q0 - 4;
    __m128i rows[8], cols[4], s[8];
    for (int k = 0; k < 8; k++) rows[k] = load8(base + k * (intptr_t)stride);
    transpose_8x8_u8(rows, cols);
    const __m128i zero = _mm_setzero_si128();
    for (int k = 0; k < 4; k++) {
        s[2 * k] = _mm_unpacklo_epi8(cols[k], zero);
        s[2 * k + 1] = _mm_unpackhi_epi8(cols[k], zero);
    }
    if (!luma_filter8(s, beta, tc)) return;
    // Columns back to bytes (saturating: the 0..255 clip), then to rows.
    __m128i packed[4];
    for (int k = 0; k < 4; k++) packed[k] = _mm_packus_epi16(s[2 * k], s[2 * k + 1]);
    for (int k = 0; k < 4; k++) {
        rows[2 * k] = packed[k];
        rows[2 * k + 1] = _mm_srli_si128(packed[k], 8);
    }
    transpose_8x8_u8(rows, cols);
    for (int k = 0; k < 4; k++) {
        _mm_storel_epi64((__m128i *)(base + (2 * k) * (intptr_t)stride), cols[k]);
        _mm_storel_epi64((__m128i *)(base + (2 * k + 1) * (intptr_t)stride),
                         _mm_srli_si128(cols[k], 8));
    }
}

void deblock_luma_hor_edge_avx2(uint8_t *q0, uint32_t stride, int32_t beta, const int32_t *tc)
{
    int64_t pair;
    memcpy(&pair, tc, 8);
    if (pair == 0) return;
    uint8_t *base = q0 - 4 * (intptr_t)stride;
    const __m128i zero = _mm_setzero_si128();
    __m128i s[8];
    for (int k = 0; k < 8; k++)
        s[k] = _mm_unpacklo_epi8(load8(base + k * (intptr_t)stride), zero);
    if (!luma_filter8(s, beta, tc)) return;
    for (int k = 0; k < 8; k++)
        _mm_storel_epi64((__m128i *)(base + k * (intptr_t)stride), _mm_packus_epi16(s[k], s[k]));
}

// p1 p0 q0 q1 of Cb (lanes 0..3) and Cr (lanes 4..7): returns the new p0 and q0
// (not yet clipped to 0..255; the saturating pack of the store does that).
static inline void chroma_filter8(__m128i p1, __m128i *p0, __m128i *q0, __m128i q1,
                                  const int32_t *tc)
{
    int16_t t0 = (int16_t)tc[0], t1 = (int16_t)tc[1];
    __m128i vtc = _mm_set_epi16(t1, t1, t1, t1, t0, t0, t0, t0);
    __m128i ntc = _mm_sub_epi16(_mm_setzero_si128(), vtc);
    __m128i delta = _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(*q0, *p0), 2),
                                  _mm_sub_epi16(p1, q1));
    delta = _mm_srai_epi16(_mm_add_epi16(delta, _mm_set1_epi16(4)), 3);
    delta = _mm_min_epi16(_mm_max_epi16(delta, ntc), vtc);
    *p0 = _mm_add_epi16(*p0, delta);
    *q0 = _mm_sub_epi16(*q0, delta);
}

void deblock_chroma_ver_edge_avx2(uint8_t *cb, uint8_t *cr, uint32_t stride, const int32_t *tc)
{
    const intptr_t st = stride;
    // Rows p1 p0 q0 q1 of 4 Cb then 4 Cr lines, transposed to one column per register.
    __m128i r[8];
    for (int k = 0; k < 4; k++) {
        r[k] = load4(cb - 2 + k * st);
        r[4 + k] = load4(cr - 2 + k * st);
    }
    __m128i a0 = _mm_unpacklo_epi8(r[0], r[1]);
    __m128i a1 = _mm_unpacklo_epi8(r[2], r[3]);
    __m128i a2 = _mm_unpacklo_epi8(r[4], r[5]);
    __m128i a3 = _mm_unpacklo_epi8(r[6], r[7]);
    __m128i b0 = _mm_unpacklo_epi16(a0, a1);
    __m128i b1 = _mm_unpacklo_epi16(a2, a3);
    __m128i c01 = _mm_unpacklo_epi32(b0, b1);  // column p1 | column p0
    __m128i c23 = _mm_unpackhi_epi32(b0, b1);  // column q0 | column q1
    const __m128i zero = _mm_setzero_si128();
    __m128i p1 = _mm_unpacklo_epi8(c01, zero), p0 = _mm_unpackhi_epi8(c01, zero);
    __m128i q0 = _mm_unpacklo_epi8(c23, zero), q1 = _mm_unpackhi_epi8(c23, zero);
    chroma_filter8(p1, &p0, &q0, q1, tc);
    // Back to rows of 4 bytes: p1 p0 q0 q1.
    __m128i pp = _mm_packus_epi16(p1, p0);
    __m128i qq = _mm_packus_epi16(q0, q1);
    __m128i pr = _mm_unpacklo_epi8(pp, _mm_srli_si128(pp, 8));  // p1 p0 per line
    __m128i qr = _mm_unpacklo_epi8(qq, _mm_srli_si128(qq, 8));  // q0 q1 per line
    __m128i lo = _mm_unpacklo_epi16(pr, qr);                    // lines 0..3 (Cb)
    __m128i hi = _mm_unpackhi_epi16(pr, qr);                    // lines 4..7 (Cr)
    for (int k = 0; k < 4; k++) {
        store4(cb - 2 + k * st, lo);
        store4(cr - 2 + k * st, hi);
        lo = _mm_srli_si128(lo, 4);
        hi = _mm_srli_si128(hi, 4);
    }
}

void deblock_chroma_hor_edge_avx2(uint8_t *cb, uint8_t *cr, uint32_t stride, const int32_t *tc)
{
    const intptr_t st = stride;
    const __m128i zero = _mm_setzero_si128();
    __m128i v[4];  // rows p1 p0 q0 q1: Cb columns 0..3 then Cr columns 0..3
    for (int k = 0; k < 4; k++) {
        __m128i b = load4(cb + (k - 2) * st);
        __m128i r = load4(cr + (k - 2) * st);
        v[k] = _mm_unpacklo_epi8(_mm_unpacklo_epi32(b, r), zero);
    }
    chroma_filter8(v[0], &v[1], &v[2], v[3], tc);
    __m128i p0 = _mm_packus_epi16(v[1], v[1]);
    __m128i q0 = _mm_packus_epi16(v[2], v[2]);
    store4(cb - st, p0);
    store4(cr - st, _mm_srli_si128(p0, 4));
    store4(cb, q0);
    store4(cr, _mm_srli_si128(q0, 4));
}
