// Portable [1 2 1] smoothing of an intra reference array (H.265 filtering
// process of neighbouring samples, without strong smoothing).
#include "kernels/intra/intra_pred_kernels.h"

static uint8_t smooth3(int a, int b, int c)
{
    return (uint8_t)((a + 2 * b + c + 2) >> 2);
}

// The array is one line that runs from the far end of the left column up to
// the corner and out along the row above; its two ends are kept as they are.
static void ref_filter(const uint8_t *p, uint8_t *q, int n)
{
    int last_above = 2 * n;
    int first_left = 2 * n + 1;
    int last_left = 4 * n;
    q[0] = smooth3(p[1], p[0], p[first_left]);
    for (int i = 1; i < last_above; i++) q[i] = smooth3(p[i - 1], p[i], p[i + 1]);
    q[last_above] = p[last_above];
    q[first_left] = smooth3(p[0], p[first_left], p[first_left + 1]);
    for (int i = first_left + 1; i < last_left; i++) q[i] = smooth3(p[i - 1], p[i], p[i + 1]);
    q[last_left] = p[last_left];
}

void intra_ref_filter_4x4_c(const uint8_t *in, uint8_t *out) { ref_filter(in, out, 4); }
void intra_ref_filter_8x8_c(const uint8_t *in, uint8_t *out) { ref_filter(in, out, 8); }
void intra_ref_filter_16x16_c(const uint8_t *in, uint8_t *out) { ref_filter(in, out, 16); }
void intra_ref_filter_32x32_c(const uint8_t *in, uint8_t *out) { ref_filter(in, out, 32); }
