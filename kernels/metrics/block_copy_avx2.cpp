// AVX2 forms of the CTU-sized copies: a small batch (one row of 64 bytes or
// two of 32) is loaded into registers and then stored, in 32-byte moves.
// Larger batches measured slower: the loads of a batch wait behind the stores
// of the one before.
// Loads and stores are unaligned, so no pointer or stride needs any alignment.
#include <immintrin.h>

#include <cstddef>

#include "kernels/metrics/metric.h"

#define TV_INLINE static inline __attribute__((always_inline))

enum { BATCH_REGS = 2 };

// n x n bytes, n = 32 or 64, in batches of two registers.
TV_INLINE void copy_batched(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride, int n)
{
    int per_row = n / 32;
    int rows = BATCH_REGS / per_row;
    for (int y0 = 0; y0 < n; y0 += rows) {
        __m256i r[BATCH_REGS];
        for (int i = 0; i < BATCH_REGS; i++) {
            const uint8_t *s = src + (ptrdiff_t)(y0 + i / per_row) * src_stride + 32 * (i % per_row);
            r[i] = _mm256_loadu_si256((const __m256i *)s);
        }
        for (int i = 0; i < BATCH_REGS; i++) {
            uint8_t *d = dst + (ptrdiff_t)(y0 + i / per_row) * dst_stride + 32 * (i % per_row);
            _mm256_storeu_si256((__m256i *)d, r[i]);
        }
    }
}

void copy_64x64_prefetch_avx2(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride)
{
    copy_batched(dst, src, dst_stride, src_stride, 64);
}

void copy_32x32_prefetch_avx2(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride)
{
    copy_batched(dst, src, dst_stride, src_stride, 32);
}

void copy_64x64_avx2(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride)
{
    copy_batched(dst, src, dst_stride, src_stride, 64);
}

void copy_32x32_avx2(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride)
{
    copy_batched(dst, src, dst_stride, src_stride, 32);
}
