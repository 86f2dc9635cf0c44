// AVX2 predictors of 32x32 blocks whose samples are plain copies of the
// reference: the diagonals 2 and 34 (angle 32) and pure vertical 26 (angle 0,
// never boundary-filtered at this size). Each writes exactly the samples of
// intra_pred_angular_c for its mode at N = 32 and reads only ref[0..128].
#include <immintrin.h>

#include "kernels/intra/intra_pred_kernels.h"

namespace {

inline __m256i load32(const uint8_t *p) { return _mm256_loadu_si256((const __m256i *)p); }
inline void store32(uint8_t *p, __m256i v) { _mm256_storeu_si256((__m256i *)p, v); }

// Row y is the 32 samples from line[y]. Rows 0..16 come from two loads by a
// byte-align within each 128-bit half (row k of the pair (line[0..31],
// line[16..47]) is line[k..k+31]); rows 17..31 are loaded directly, which keeps
// the last load ending at line[62].
#define DIAG_ALIGNED_ROW(k) store32(dst + (k) * dst_stride, _mm256_alignr_epi8(v1, v0, k));
void diagonal_rows(uint8_t *dst, int dst_stride, const uint8_t *line)
{
    __m256i v0 = load32(line), v1 = load32(line + 16);
    store32(dst, v0);
    DIAG_ALIGNED_ROW(1) DIAG_ALIGNED_ROW(2) DIAG_ALIGNED_ROW(3) DIAG_ALIGNED_ROW(4) DIAG_ALIGNED_ROW(5)
    DIAG_ALIGNED_ROW(6) DIAG_ALIGNED_ROW(7) DIAG_ALIGNED_ROW(8) DIAG_ALIGNED_ROW(9) DIAG_ALIGNED_ROW(10)
    DIAG_ALIGNED_ROW(11) DIAG_ALIGNED_ROW(12) DIAG_ALIGNED_ROW(13) DIAG_ALIGNED_ROW(14) DIAG_ALIGNED_ROW(15)
    store32(dst + 16 * dst_stride, v1);
    for (int y = 17; y < 32; y++) store32(dst + y * dst_stride, load32(line + y));
    _mm256_zeroupper();
}
#undef DIAG_ALIGNED_ROW

} // namespace

// Mode 34: pred[y][x] = ref[x + y + 2], up to the last above-right sample ref[64].
void intra_pred_ang34_32x32_avx2(INTRA_KERNEL_ARGS) { diagonal_rows(dst, dst_stride, ref + 2); }

// Mode 2: pred[y][x] = ref[x + y + 66], symmetric in x and y, so the left
// column gives the rows directly; up to the last below-left sample ref[128].
void intra_pred_ang2_32x32_avx2(INTRA_KERNEL_ARGS) { diagonal_rows(dst, dst_stride, ref + 66); }

// Mode 26: every row is the row above, ref[1..32].
void intra_pred_ang26_32x32_avx2(INTRA_KERNEL_ARGS)
{
    __m256i above = load32(ref + 1);
    for (int y = 0; y < 32; y++) store32(dst + y * dst_stride, above);
    _mm256_zeroupper();
}
