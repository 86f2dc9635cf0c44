// Portable edge kernels: the H.265 luma and chroma edge decisions and filters
// for 8-bit samples (no PCM or transquant-bypass exceptions in this encoder).
#include <cstdlib>

#include "encoder/int_math.h"
#include "filters/deblock/deblock.h"

bool deblock_luma_strong_decision(const uint8_t *q0, intptr_t step_across, int dpq2, int beta,
                                  int tc)
{
    const intptr_t s = step_across;
    int p3 = q0[-4 * s], p0 = q0[-s], q0v = q0[0], q3 = q0[3 * s];
    return dpq2 < (beta >> 2) && abs(p3 - p0) + abs(q0v - q3) < (beta >> 3) &&
           abs(p0 - q0v) < ((5 * tc + 1) >> 1);
}

static void luma_strong_line(uint8_t *q, intptr_t s, int tc)
{
    int p3 = q[-4 * s], p2 = q[-3 * s], p1 = q[-2 * s], p0 = q[-s];
    int q0 = q[0], q1 = q[s], q2 = q[2 * s], q3 = q[3 * s];
    int tc2 = 2 * tc;
    // Every result lies between two input samples, so 0..255 holds already.
    q[-3 * s] = (uint8_t)clamp_i32((2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3, p2 - tc2, p2 + tc2);
    q[-2 * s] = (uint8_t)clamp_i32((p2 + p1 + p0 + q0 + 2) >> 2, p1 - tc2, p1 + tc2);
    q[-s] = (uint8_t)clamp_i32((p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3, p0 - tc2, p0 + tc2);
    q[0] = (uint8_t)clamp_i32((p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3, q0 - tc2, q0 + tc2);
    q[s] = (uint8_t)clamp_i32((p0 + q0 + q1 + q2 + 2) >> 2, q1 - tc2, q1 + tc2);
    q[2 * s] = (uint8_t)clamp_i32((p0 + q0 + q1 + 3 * q2 + 2 * q3 + 4) >> 3, q2 - tc2, q2 + tc2);
}

static void luma_normal_line(uint8_t *q, intptr_t s, int tc, bool filter_p1, bool filter_q1)
{
    int p2 = q[-3 * s], p1 = q[-2 * s], p0 = q[-s];
    int q0 = q[0], q1 = q[s], q2 = q[2 * s];
    // >> on a negative int is an arithmetic shift with g++ (rounds to -infinity).
    int delta = (9 * (q0 - p0) - 3 * (q1 - p1) + 8) >> 4;
    if (abs(delta) >= 10 * tc) return;
    delta = clamp_i32(delta, -tc, tc);
    q[-s] = clip_pixel(p0 + delta);
    q[0] = clip_pixel(q0 - delta);
    int tc_half = tc >> 1;
    if (filter_p1) {
        int dp = clamp_i32(((((p2 + p0 + 1) >> 1) - p1 + delta) >> 1), -tc_half, tc_half);
        q[-2 * s] = clip_pixel(p1 + dp);
    }
    if (filter_q1) {
        int dq = clamp_i32(((((q2 + q0 + 1) >> 1) - q1 - delta) >> 1), -tc_half, tc_half);
        q[s] = clip_pixel(q1 + dq);
    }
}

void deblock_luma_filter4(uint8_t *q0, intptr_t step_across, intptr_t step_along, int beta,
                          int tc)
{
    // With tc 0 neither filter can change a sample; skip the decisions.
    if (tc == 0) return;
    const intptr_t s = step_across;
    uint8_t *l0 = q0;
    uint8_t *l3 = q0 + 3 * step_along;
    int dp0 = abs(l0[-3 * s] - 2 * l0[-2 * s] + l0[-s]);
    int dq0 = abs(l0[2 * s] - 2 * l0[s] + l0[0]);
    int dp3 = abs(l3[-3 * s] - 2 * l3[-2 * s] + l3[-s]);
    int dq3 = abs(l3[2 * s] - 2 * l3[s] + l3[0]);
    int d = dp0 + dq0 + dp3 + dq3;
    if (d >= beta) return;
    bool strong = deblock_luma_strong_decision(l0, s, 2 * (dp0 + dq0), beta, tc) &&
                  deblock_luma_strong_decision(l3, s, 2 * (dp3 + dq3), beta, tc);
    if (strong) {
        for (int k = 0; k < 4; k++) luma_strong_line(q0 + k * step_along, s, tc);
        return;
    }
    int side = (beta + (beta >> 1)) >> 3;
    bool filter_p1 = dp0 + dp3 < side;
    bool filter_q1 = dq0 + dq3 < side;
    for (int k = 0; k < 4; k++) luma_normal_line(q0 + k * step_along, s, tc, filter_p1, filter_q1);
}

void deblock_chroma_filter4(uint8_t *q0, intptr_t step_across, intptr_t step_along, int tc)
{
    const intptr_t s = step_across;
    for (int k = 0; k < 4; k++) {
        uint8_t *q = q0 + k * step_along;
        int p1 = q[-2 * s], p0 = q[-s], q0v = q[0], q1 = q[s];
        int delta = clamp_i32(((((q0v - p0) * 4) + p1 - q1 + 4) >> 3), -tc, tc);
        q[-s] = clip_pixel(p0 + delta);
        q[0] = clip_pixel(q0v - delta);
    }
}

void deblock_luma_ver_edge_c(uint8_t *q0, uint32_t stride, int32_t beta, const int32_t *tc)
{
    deblock_luma_filter4(q0, 1, stride, beta, tc[0]);
    deblock_luma_filter4(q0 + 4 * (intptr_t)stride, 1, stride, beta, tc[1]);
}

void deblock_luma_hor_edge_c(uint8_t *q0, uint32_t stride, int32_t beta, const int32_t *tc)
{
    deblock_luma_filter4(q0, stride, 1, beta, tc[0]);
    deblock_luma_filter4(q0 + 4, stride, 1, beta, tc[1]);
}

void deblock_chroma_ver_edge_c(uint8_t *cb, uint8_t *cr, uint32_t stride, const int32_t *tc)
{
    deblock_chroma_filter4(cb, 1, stride, tc[0]);
    deblock_chroma_filter4(cr, 1, stride, tc[1]);
}

void deblock_chroma_hor_edge_c(uint8_t *cb, uint8_t *cr, uint32_t stride, const int32_t *tc)
{
    deblock_chroma_filter4(cb, stride, 1, tc[0]);
    deblock_chroma_filter4(cr, stride, 1, tc[1]);
}
