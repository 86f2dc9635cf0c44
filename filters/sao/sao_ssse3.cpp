// SSSE3 forms of the SAO difference kernels and band statistics. Results equal
// the portable forms exactly: differences of zero-extended samples always fit
// 16 bits, and the band counting stays scalar (only the band indices are
// formed in vectors), so there are no lane sums to saturate.
//
// Loads and stores are unaligned: on aligned data they cost the same, and a
// caller's misaligned block then costs speed, never a fault.
#include <immintrin.h>

#include <cstddef>
#include <cstring>

#include "filters/sao/sao.h"

namespace {

// Differences of 16 samples: two stores of 8 entries.
inline void diff_16(int16_t *out, const uint8_t *deb, const uint8_t *src)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i d = _mm_loadu_si128((const __m128i *)deb);
    __m128i s = _mm_loadu_si128((const __m128i *)src);
    __m128i lo = _mm_sub_epi16(_mm_unpacklo_epi8(s, zero), _mm_unpacklo_epi8(d, zero));
    __m128i hi = _mm_sub_epi16(_mm_unpackhi_epi8(s, zero), _mm_unpackhi_epi8(d, zero));
    _mm_storeu_si128((__m128i *)out, lo);
    _mm_storeu_si128((__m128i *)(out + 8), hi);
}

void diff_block(int16_t *out, int out_stride, const uint8_t *deb, ptrdiff_t deb_stride, const uint8_t *src,
                ptrdiff_t src_stride, int groups, int rows)
{
    for (int r = 0; r < rows; r++) {
        for (int g = 0; g < groups; g++) diff_16(out + 16 * g, deb + 16 * g, src + 16 * g);
        out += out_stride;
        deb += deb_stride;
        src += src_stride;
    }
}

// Four partial histograms, sample i of a group of 16 counted in copy i & 3:
// neighbouring samples mostly share a band, and one histogram would make each
// count wait for the store of the one before.
struct bo_partial {
    uint32_t count[4][32];
    int32_t sum[4][32];
};

// Bands of 16 samples (value >> 3), then scalar counting in column order.
inline void bo_16(bo_partial *p, const uint8_t *deb, const int16_t *diff)
{
    alignas(16) int16_t band[16];
    const __m128i zero = _mm_setzero_si128();
    __m128i v = _mm_loadu_si128((const __m128i *)deb);
    _mm_store_si128((__m128i *)band, _mm_srai_epi16(_mm_unpacklo_epi8(v, zero), 3));
    _mm_store_si128((__m128i *)(band + 8), _mm_srai_epi16(_mm_unpackhi_epi8(v, zero), 3));
    for (int i = 0; i < 16; i += 4)
        for (int j = 0; j < 4; j++) {
            p->count[j][band[i + j]]++;
            p->sum[j][band[i + j]] += diff[i + j];
        }
}

void bo_block(sao_stats *s, const uint8_t *deb, ptrdiff_t stride, const int16_t *diff, int diff_stride,
              int groups, int rows)
{
    bo_partial p;
    std::memset(&p, 0, sizeof p);
    for (int r = 0; r < rows; r++) {
        for (int g = 0; g < groups; g++) bo_16(&p, deb + 16 * g, diff + 16 * g);
        deb += stride;
        diff += diff_stride;
    }
    for (int b = 0; b < 32; b++) {
        s->count[b] = (uint16_t)(s->count[b] + p.count[0][b] + p.count[1][b] + p.count[2][b] + p.count[3][b]);
        s->sum[b] += p.sum[0][b] + p.sum[1][b] + p.sum[2][b] + p.sum[3][b];
    }
}

inline int ctb_size(int32_t is_luma) { return is_luma ? 64 : 32; }

} // namespace

void sao_diff_ctb_ssse3(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                        const uint8_t *source, int32_t source_stride, int32_t is_luma)
{
    int n = ctb_size(is_luma);
    diff_block(out, n, deblocked, deblocked_stride, source, source_stride, n / 16, n);
}

void sao_diff_ctb_partial_ssse3(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                                const uint8_t *source, int32_t source_stride, int32_t is_luma,
                                int32_t width, int32_t height)
{
    int w = sao_partial_columns(width, is_luma), h = sao_partial_rows(height, is_luma);
    if (w == 0 || h == 0) return;
    diff_block(out, ctb_size(is_luma), deblocked, deblocked_stride, source, source_stride, w / 16, h);
}

void sao_stats_bo_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                        const int16_t *diff, uint8_t *scratch)
{
    (void)scratch;
    int n = ctb_size(is_luma);
    std::memset(stats, 0, sizeof *stats);
    bo_block(stats, deblocked, stride, diff, n, n / 16, n);
}

void sao_stats_bo_partial_ssse3(sao_stats *stats, const uint8_t *deblocked, int32_t stride, int32_t is_luma,
                                const int16_t *diff, int32_t width, int32_t height, uint8_t *scratch)
{
    (void)scratch;
    std::memset(stats, 0, sizeof *stats);
    int w = sao_partial_columns(width, is_luma), h = sao_partial_rows(height, is_luma);
    if (w == 0 || h == 0) return;
    bo_block(stats, deblocked, stride, diff, ctb_size(is_luma), w / 16, h);
}
