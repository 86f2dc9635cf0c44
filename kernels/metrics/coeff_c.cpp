// Portable coefficient kernels: the non-zero count of a quantised block and the
// per-4x4-group summary (significance, signs, counts) along the coefficient
// scan, which residual coding and its rate estimate both need.
#include <cstring>

#include "kernels/metrics/metric.h"

uint32_t count_nonzero_coeffs_c(const int16_t *coeff, int log2n)
{
    if (log2n < 0 || log2n > 15) return 0;
    uint32_t n = 1u << (2 * log2n);
    uint32_t count = 0;
    for (uint32_t i = 0; i < n; i++) count += coeff[i] != 0;
    return count;
}

enum { COEFF_GROUPS_MAX = 64 };

// Walks the scan until num_nonzero levels are seen. The walk is also bounded by
// the block (stride x stride positions, stride = N): a count larger than the
// block holds must not send the walk past the scan table.
int scan_coeff_groups_c(const uint16_t *scan, const int16_t *coeff, uint16_t *sign, uint16_t *sig,
                        uint8_t *count, int num_nonzero, const uint16_t *group_scan, int stride)
{
    (void)group_scan;
    std::memset(sign, 0, COEFF_GROUPS_MAX * sizeof(*sign));
    std::memset(sig, 0, COEFF_GROUPS_MAX * sizeof(*sig));
    std::memset(count, 0, COEFF_GROUPS_MAX * sizeof(*count));
    int positions = stride * stride;
    if (stride < 4 || stride > 32) positions = 32 * 32;
    int remaining = num_nonzero;
    int last = 0;
    int i = 0;
    do {
        int g = i >> 4;
        int v = coeff[scan[i]];
        int nz = v != 0;
        if (v < 0) sign[g] = (uint16_t)(sign[g] + (1u << count[g]));
        sig[g] = (uint16_t)((sig[g] << 1) | nz);
        count[g] = (uint8_t)(count[g] + nz);
        remaining -= nz;
        last = i;
        i++;
    } while (remaining > 0 && i < positions);
    return last;
}
