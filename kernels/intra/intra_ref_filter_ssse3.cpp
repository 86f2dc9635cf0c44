// SSE4.1 [1 2 1] smoothing of intra reference arrays of 8x8 to 32x32 blocks,
// installed by the SSSE3-flag set (which the table installs only where SSE4.1
// is present too). Output equals intra_ref_filter_<N>x<N>_c byte for byte.
//
// The inner samples q[i] = (p[i-1] + 2 p[i] + p[i+1] + 2) >> 2 for i = 1..4N-1
// are formed 16 at a time in 16-bit lanes from three overlapping loads of
// zero-extended bytes (left neighbours, centres, right neighbours); the last
// group is placed to end at q[4N-1], overlapping the previous one, so that no
// load reads past p[4N] and no store writes past q[4N-1]. The four positions
// whose neighbours differ (the corner, the far end of the row above, the first
// left sample, the far end of the left column) are written last.
#include <immintrin.h>

#include "kernels/intra/intra_pred_kernels.h"

namespace {

inline __m128i widen8(const uint8_t *p) { return _mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *)p)); }

// (l + 2 c + r + 2) >> 2 for the 8 samples from p; at most 1022, no overflow.
inline __m128i smooth8(const uint8_t *p)
{
    __m128i sum = _mm_add_epi16(_mm_add_epi16(widen8(p - 1), widen8(p + 1)), _mm_slli_epi16(widen8(p), 1));
    return _mm_srli_epi16(_mm_add_epi16(sum, _mm_set1_epi16(2)), 2);
}

inline void smooth16(const uint8_t *in, uint8_t *out, int at)
{
    _mm_storeu_si128((__m128i *)(out + at), _mm_packus_epi16(smooth8(in + at), smooth8(in + at + 8)));
}

template <int N>
void ref_filter(const uint8_t *in, uint8_t *out)
{
    const int last_above = 2 * N, first_left = 2 * N + 1, last_left = 4 * N;
    uint8_t keep_above = in[last_above], keep_left = in[last_left];
    for (int at = 1; at + 16 <= last_left; at += 16) smooth16(in, out, at);
    smooth16(in, out, last_left - 16);
    out[0] = (uint8_t)((in[1] + 2 * in[0] + in[first_left] + 2) >> 2);
    out[first_left] = (uint8_t)((in[0] + 2 * in[first_left] + in[first_left + 1] + 2) >> 2);
    out[last_above] = keep_above;
    out[last_left] = keep_left;
}

} // namespace

void intra_ref_filter_8x8_sse41(const uint8_t *in, uint8_t *out) { ref_filter<8>(in, out); }
void intra_ref_filter_16x16_sse41(const uint8_t *in, uint8_t *out) { ref_filter<16>(in, out); }
void intra_ref_filter_32x32_sse41(const uint8_t *in, uint8_t *out) { ref_filter<32>(in, out); }
