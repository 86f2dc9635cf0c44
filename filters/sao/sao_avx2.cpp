// AVX2 forms of SAO application and of the difference kernels.
//
// Application: an edge-offset CTB whose every sample has both class
// neighbours inside the picture goes whole to a block kernel; band offsets
// and plain copies always do. Every other edge-offset CTB takes the portable
// per-sample path, so the final samples equal the portable form's for every
// CTB, plane and parameter record (the same N x N bytes are written).
//
// The block kernels write rows top to bottom and load every source row a
// destination row needs before storing that row. With the deblocked copy 4
// rows below and 32 samples right of the final plane in one buffer, the store
// of final row r lands on deblocked row r - 4, which no later row reads.
//
// Offsets are added as an unsigned saturating add of their positive part and
// a saturating subtract of their magnitude when negative: exactly the clip to
// 0..255 of the portable form, for any offset.
#include <immintrin.h>

#include <cstddef>
#include <cstring>

#include "filters/sao/sao.h"
#include "filters/sao/sao_avx2.h"

namespace {

// Offsets of one CTB as unsigned add and subtract parts, one byte each,
// repeated over a whole vector; at most one of the pair is non-zero.
struct offset_parts {
    __m256i add[4], sub[4];
};

offset_parts edge_parts(const int8_t *table)
{
    static const int entry[4] = {0, 1, 3, 4};
    offset_parts o;
    for (int k = 0; k < 4; k++) {
        int t = table[entry[k]];
        o.add[k] = _mm256_set1_epi8((char)(uint8_t)(t > 0 ? t : 0));
        o.sub[k] = _mm256_set1_epi8((char)(uint8_t)(t < 0 ? -t : 0));
    }
    return o;
}

inline __m256i add_masked(__m256i p, __m256i m, const offset_parts &o, int k)
{
    p = _mm256_adds_epu8(p, _mm256_and_si256(m, o.add[k]));
    return _mm256_subs_epu8(p, _mm256_and_si256(m, o.sub[k]));
}

inline __m256i sign_bytes(__m256i p, __m256i n)
{
    return _mm256_sub_epi8(_mm256_cmpgt_epi8(n, p), _mm256_cmpgt_epi8(p, n));
}

// 32 samples of one row with their neighbours at source offsets off_a, off_b.
inline void eo_step(uint8_t *dst, const uint8_t *src, ptrdiff_t off_a, ptrdiff_t off_b, const offset_parts &o)
{
    const __m256i bias = _mm256_set1_epi8((char)0x80);
    __m256i p = _mm256_loadu_si256((const __m256i *)src);
    __m256i a = _mm256_xor_si256(_mm256_loadu_si256((const __m256i *)(src + off_a)), bias);
    __m256i b = _mm256_xor_si256(_mm256_loadu_si256((const __m256i *)(src + off_b)), bias);
    __m256i pb = _mm256_xor_si256(p, bias);
    __m256i e = _mm256_add_epi8(sign_bytes(pb, a), sign_bytes(pb, b));
    static const char keys[4] = {-2, -1, 1, 2};
    for (int k = 0; k < 4; k++) p = add_masked(p, _mm256_cmpeq_epi8(e, _mm256_set1_epi8(keys[k])), o, k);
    _mm256_storeu_si256((__m256i *)dst, p);
}

void eo_block(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride, int n, int ar, int ac,
              int br, int bc)
{
    offset_parts o = edge_parts(table);
    ptrdiff_t s = (ptrdiff_t)stride, off_a = ar * s + ac, off_b = br * s + bc;
    for (int r = 0; r < n; r++) {
        for (int c = 0; c < n; c += 32) eo_step(dst + c, src + c, off_a, off_b, o);
        dst += s;
        src += s;
    }
}

void bo_block(uint8_t *dst, const uint8_t *src, const uint8_t *parts, uint32_t band_position, uint32_t stride,
              int n)
{
    offset_parts o;
    __m256i band[4];
    for (int k = 0; k < 4; k++) {
        o.add[k] = _mm256_set1_epi8((char)parts[k]);
        o.sub[k] = _mm256_set1_epi8((char)parts[4 + k]);
        band[k] = _mm256_set1_epi8((char)((band_position + (uint32_t)k) & 31));
    }
    const __m256i band_mask = _mm256_set1_epi8((char)0xf8);
    ptrdiff_t s = (ptrdiff_t)stride;
    for (int r = 0; r < n; r++) {
        for (int c = 0; c < n; c += 32) {
            __m256i p = _mm256_loadu_si256((const __m256i *)(src + c));
            // Clearing the low three bits first keeps each byte's band to itself in the 16-bit shift.
            __m256i q = _mm256_srli_epi16(_mm256_and_si256(p, band_mask), 3);
            for (int k = 0; k < 4; k++) p = add_masked(p, _mm256_cmpeq_epi8(q, band[k]), o, k);
            _mm256_storeu_si256((__m256i *)(dst + c), p);
        }
        dst += s;
        src += s;
    }
}

void copy_block(uint8_t *dst, const uint8_t *src, uint32_t stride, int n)
{
    ptrdiff_t s = (ptrdiff_t)stride;
    for (int r = 0; r < n; r++) {
        for (int c = 0; c < n; c += 32)
            _mm256_storeu_si256((__m256i *)(dst + c), _mm256_loadu_si256((const __m256i *)(src + c)));
        dst += s;
        src += s;
    }
}

// Whether every sample of the CTB has both class neighbours inside the
// picture, so that the portable form offsets all N x N samples and copies
// none: columns 0..N-1 need a column left (x > 0) and right (the limit of
// the columns with a right neighbour reaches N); rows likewise.
bool block_takes_all(const sao_ctu_context *ctx, uint32_t x, uint32_t y, int plane, int type)
{
    int s = plane ? 1 : 0, n = 64 >> s;
    int w = (int)ctx->width - 64 * (int)x, h = (int)ctx->height - 64 * (int)y;
    int e_col = ((w < 64 ? w : 64) - (x + 1 == ctx->ctu_columns ? 1 : 0)) >> s;
    int f_row = ((h < 64 ? h : 64) - (y + 1 == ctx->ctu_rows ? 1 : 0)) >> s;
    bool cols = x > 0 && e_col == n, rows = y > 0 && f_row == n;
    if (type == SAO_TYPE_EO_HOR) return cols;
    if (type == SAO_TYPE_EO_VER) return rows;
    return cols && rows;
}

inline int8_t edge_entry(int32_t offset, uint32_t shift)
{
    return (int8_t)(uint8_t)((uint32_t)(uint8_t)offset << (shift & 31));
}

// Band offsets scaled by 2^shift as in the portable form, then cut to
// -255..255, beyond which the clip to 0..255 gives the same samples.
void band_parts(const sao_param *p, uint32_t shift, uint8_t parts[8])
{
    for (int k = 0; k < 4; k++) {
        int64_t v = (int64_t)p->offset[k] * ((int64_t)1 << (shift & 31));
        parts[k] = (uint8_t)(v > 255 ? 255 : v > 0 ? v : 0);
        parts[4 + k] = (uint8_t)(v < -255 ? 255 : v < 0 ? -v : 0);
    }
}

} // namespace

void sao_apply_eo_hor_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride)
{
    eo_block(dst, src, table, stride, 64, 0, -1, 0, 1);
}

void sao_apply_eo_ver_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride)
{
    eo_block(dst, src, table, stride, 64, -1, 0, 1, 0);
}

void sao_apply_eo_diag135_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride)
{
    eo_block(dst, src, table, stride, 64, -1, -1, 1, 1);
}

void sao_apply_eo_diag45_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride)
{
    eo_block(dst, src, table, stride, 64, -1, 1, 1, -1);
}

void sao_apply_eo_hor_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride)
{
    eo_block(dst, src, table, stride, 32, 0, -1, 0, 1);
}

void sao_apply_eo_ver_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride)
{
    eo_block(dst, src, table, stride, 32, -1, 0, 1, 0);
}

void sao_apply_eo_diag135_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride)
{
    eo_block(dst, src, table, stride, 32, -1, -1, 1, 1);
}

void sao_apply_eo_diag45_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride)
{
    eo_block(dst, src, table, stride, 32, -1, 1, 1, -1);
}

void sao_apply_bo_64x64_avx2(uint8_t *dst, const uint8_t *src, const uint8_t *parts, uint32_t band_position,
                             uint32_t stride)
{
    bo_block(dst, src, parts, band_position, stride, 64);
}

void sao_apply_bo_32x32_avx2(uint8_t *dst, const uint8_t *src, const uint8_t *parts, uint32_t band_position,
                             uint32_t stride)
{
    bo_block(dst, src, parts, band_position, stride, 32);
}

void sao_apply_copy_64x64_avx2(uint8_t *dst, const uint8_t *src, uint32_t stride)
{
    copy_block(dst, src, stride, 64);
}

void sao_apply_copy_32x32_avx2(uint8_t *dst, const uint8_t *src, uint32_t stride)
{
    copy_block(dst, src, stride, 32);
}

void sao_apply_ctb_plane_avx2(const sao_ctu_context *ctx, uint32_t x, uint32_t y, int32_t plane, uint32_t shift)
{
    const sao_param *p = &ctx->sao_params[plane][(size_t)y * ctx->ctu_columns + x];
    int32_t type = p->type;
    if (type < SAO_TYPE_EO_HOR || type > SAO_TYPE_OFF) return;
    if (type <= SAO_TYPE_EO_45 && !block_takes_all(ctx, x, y, plane, type)) {
        sao_apply_ctb_plane_c(ctx, x, y, plane, shift);
        return;
    }
    int n = plane ? 32 : 64;
    ptrdiff_t stride = ctx->stride[plane];
    ptrdiff_t offset = (stride * (ptrdiff_t)y + (ptrdiff_t)x) * n;
    uint8_t *dst = ctx->planes[plane] + offset;
    const uint8_t *src = ctx->deblock_planes[plane] + offset;
    uint32_t ustride = (uint32_t)stride;
    // The block kernels of the plane's CTB size: 64x64 luma, 32x32 chroma.
    typedef void (*eo_kernel)(uint8_t *, const uint8_t *, const int8_t *, uint32_t);
    static const eo_kernel eo_kernels[2][4] = {
        {sao_apply_eo_hor_64x64_avx2, sao_apply_eo_ver_64x64_avx2, sao_apply_eo_diag135_64x64_avx2,
         sao_apply_eo_diag45_64x64_avx2},
        {sao_apply_eo_hor_32x32_avx2, sao_apply_eo_ver_32x32_avx2, sao_apply_eo_diag135_32x32_avx2,
         sao_apply_eo_diag45_32x32_avx2}};
    int chroma = plane ? 1 : 0;
    if (type == SAO_TYPE_OFF) {
        (chroma ? sao_apply_copy_32x32_avx2 : sao_apply_copy_64x64_avx2)(dst, src, ustride);
    } else if (type == SAO_TYPE_BAND) {
        uint8_t parts[8];
        band_parts(p, shift, parts);
        (chroma ? sao_apply_bo_32x32_avx2 : sao_apply_bo_64x64_avx2)(dst, src, parts,
                                                                     (uint32_t)p->band_position & 31, ustride);
    } else {
        // The offsets of a CTB live in the instance's scratch buffer, as in the portable form.
        int8_t *table = (int8_t *)ctx->scratch + 160;
        table[0] = edge_entry(p->offset[0], shift);
        table[1] = edge_entry(p->offset[1], shift);
        table[2] = 0;
        table[3] = edge_entry(p->offset[2], shift);
        table[4] = edge_entry(p->offset[3], shift);
        eo_kernels[chroma][type](dst, src, table, ustride);
    }
}

void sao_diff_ctb_partial_avx2(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                               const uint8_t *source, int32_t source_stride, int32_t is_luma, int32_t width,
                               int32_t height)
{
    int n = is_luma ? 64 : 32;
    int w = sao_partial_columns(width, is_luma), h = sao_partial_rows(height, is_luma);
    for (int r = 0; r < h; r++) {
        const uint8_t *d = deblocked + (ptrdiff_t)deblocked_stride * r;
        const uint8_t *s = source + (ptrdiff_t)source_stride * r;
        int16_t *o = out + (ptrdiff_t)n * r;
        for (int c = 0; c < w; c += 16) {
            __m256i dv = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(d + c)));
            __m256i sv = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)(s + c)));
            _mm256_storeu_si256((__m256i *)(o + c), _mm256_sub_epi16(sv, dv));
        }
    }
}

void sao_diff_ctb_avx2(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride, const uint8_t *source,
                       int32_t source_stride, int32_t is_luma)
{
    int n = is_luma ? 64 : 32;
    sao_diff_ctb_partial_avx2(out, deblocked, deblocked_stride, source, source_stride, is_luma, n, n);
}
