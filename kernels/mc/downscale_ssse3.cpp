// 128-bit in-place halving of a 64x64 or 32x32 block (stride 64) and of the
// neighbour row of such a block (stride 128). Each group of 32 inputs is read
// in full before its 16 outputs are stored, and outputs land only on samples
// already read, so the in-place result equals the portable sequential one.
#include "kernels/mc/mc_ssse3.h"
#include "kernels/mc/ssse3_util.h"

using namespace mc_ssse3;

namespace {

// avg of horizontal neighbours of 32 bytes, as 16 values in 16-bit lanes (two halves).
inline void hpairs(const uint8_t *p, __m128i *lo, __m128i *hi)
{
    const __m128i mask = splat16(0x00ff);
    __m128i a = load16(p), b = load16(p + 16);
    *lo = _mm_avg_epu16(_mm_and_si128(a, mask), _mm_srli_epi16(a, 8));
    *hi = _mm_avg_epu16(_mm_and_si128(b, mask), _mm_srli_epi16(b, 8));
}

void downscale_block(uint8_t *block, int n)
{
    for (int j = 0; j < n / 2; j++)
        for (int i = 0; i < n / 2; i += 16) {
            __m128i a0, a1, b0, b1;
            hpairs(block + 64 * (2 * j) + 2 * i, &a0, &a1);
            hpairs(block + 64 * (2 * j + 1) + 2 * i, &b0, &b1);
            store16(block + 64 * j + i, _mm_packus_epi16(_mm_avg_epu16(a0, b0), _mm_avg_epu16(a1, b1)));
        }
}

inline uint8_t avg(int a, int b)
{
    return (uint8_t)((a + b + 1) >> 1);
}

// Row above (1.5 n samples to 0.75 n) in groups of 16 outputs; the column to
// the left sample by sample (its samples are a row stride apart).
void downscale_border(uint8_t *block, int n)
{
    uint8_t *row = block - 128;
    for (int i = 0; i < 3 * n / 4; i += 16) {
        __m128i lo, hi;
        hpairs(row + 2 * i, &lo, &hi);
        int left = 3 * n / 4 - i;
        store_bytes(row + i, _mm_packus_epi16(lo, hi), left < 16 ? left : 16);
    }
    uint8_t *col = block - 1;
    for (int j = 0; j < n / 2; j++) col[128 * j] = avg(col[128 * (2 * j)], col[128 * (2 * j + 1)]);
    for (int j = n / 2; j < n; j++) col[128 * j] = col[128 * (n / 2 - 1)];
}

}  // namespace

void downscale_64x64_ssse3(uint8_t *block)
{
    downscale_block(block, 64);
}

void downscale_32x32_ssse3(uint8_t *block)
{
    downscale_block(block, 32);
}

void downscale_border_64_ssse3(uint8_t *block)
{
    downscale_border(block, 64);
}

void downscale_border_32_ssse3(uint8_t *block)
{
    downscale_border(block, 32);
}
