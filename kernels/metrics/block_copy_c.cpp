// Portable CTU-sized copies: the source CTU into the encoder's working copy
// when a CTU begins (prefetching the next source row, since the source picture
// is usually not in cache), and the reconstruction into the picture at its end.
#include <cstddef>
#include <cstring>

#include "kernels/metrics/metric.h"

static void copy_rows(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride, int n)
{
    for (int y = 0; y < n; y++)
        std::memcpy(dst + (ptrdiff_t)y * dst_stride, src + (ptrdiff_t)y * src_stride, (size_t)n);
}

// Prefetches use locality 1 (the T2 hint: second-level cache and beyond, so the
// first-level cache is not flushed). A prefetch never faults, so reaching one
// row past the block is harmless.
static void copy_rows_prefetch(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride, int n)
{
    __builtin_prefetch(dst, 0, 1);
    for (int y = 0; y < n; y++) {
        __builtin_prefetch(src + (ptrdiff_t)(y + 1) * src_stride, 0, 1);
        std::memcpy(dst + (ptrdiff_t)y * dst_stride, src + (ptrdiff_t)y * src_stride, (size_t)n);
    }
}

void copy_64x64_prefetch_c(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride)
{
    copy_rows_prefetch(dst, src, dst_stride, src_stride, 64);
}

void copy_32x32_prefetch_c(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride)
{
    copy_rows_prefetch(dst, src, dst_stride, src_stride, 32);
}

void copy_64x64_c(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride)
{
    copy_rows(dst, src, dst_stride, src_stride, 64);
}

void copy_32x32_c(uint8_t *dst, const uint8_t *src, int dst_stride, int src_stride)
{
    copy_rows(dst, src, dst_stride, src_stride, 32);
}
