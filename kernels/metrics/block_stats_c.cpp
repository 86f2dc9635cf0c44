// Portable block statistics: Hadamard AC energy of an 8x4 block (two 4x4
// halves) and the sum / sum of squares of a block for adaptive quantisation.
#include <cstddef>
#include <cstdlib>

#include "kernels/metrics/metric.h"

// AC energy of one 4x4: sum of the 15 absolute non-DC Hadamard coefficients.
static uint32_t hadamard4_ac(const uint8_t *p, int stride)
{
    int t[4][4];
    for (int x = 0; x < 4; x++) {
        int r0 = p[x], r1 = p[x + (ptrdiff_t)stride], r2 = p[x + 2 * (ptrdiff_t)stride];
        int r3 = p[x + 3 * (ptrdiff_t)stride];
        t[0][x] = r0 + r1 + r2 + r3;
        t[1][x] = (r0 - r1) + (r2 - r3);
        t[2][x] = (r0 + r1) - (r2 + r3);
        t[3][x] = (r0 - r1) - (r2 - r3);
    }
    uint32_t sum = 0;
    for (int y = 0; y < 4; y++) {
        int s0 = t[y][0] + t[y][1] + t[y][2] + t[y][3];
        int s1 = (t[y][0] - t[y][1]) + (t[y][2] - t[y][3]);
        int s2 = (t[y][0] + t[y][1]) - (t[y][2] + t[y][3]);
        int s3 = (t[y][0] - t[y][1]) - (t[y][2] - t[y][3]);
        sum += (uint32_t)(std::abs(s0) + std::abs(s1) + std::abs(s2) + std::abs(s3));
    }
    return sum - (uint32_t)t[0][0] - (uint32_t)t[0][1] - (uint32_t)t[0][2] - (uint32_t)t[0][3];
}

// Each half's AC is below 16384, so AC >> 1 fits its 16 bits.
uint32_t hadamard_ac_8x4_c(const uint8_t *p, int stride)
{
    uint32_t left = hadamard4_ac(p, stride);
    uint32_t right = hadamard4_ac(p + 4, stride);
    return ((right >> 1) << 16) | (left >> 1);
}

static uint64_t pixel_sum_ssq(const uint8_t *p, int stride, int n)
{
    uint32_t sum = 0, ssq = 0;   // 16x16: ssq at most 16,646,400
    for (int y = 0; y < n; y++) {
        const uint8_t *row = p + (ptrdiff_t)y * stride;
        for (int x = 0; x < n; x++) {
            sum += row[x];
            ssq += (uint32_t)row[x] * row[x];
        }
    }
    return ((uint64_t)ssq << 32) | sum;
}

uint64_t pixel_sum_ssq_16x16_c(const uint8_t *p, int stride) { return pixel_sum_ssq(p, stride, 16); }
uint64_t pixel_sum_ssq_8x8_c(const uint8_t *p, int stride) { return pixel_sum_ssq(p, stride, 8); }
