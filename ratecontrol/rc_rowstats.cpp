// Constant-bitrate CTU statistics: while a picture is coded, the share of its
// lookahead cost covered so far is compared with the share of its bit target
// spent so far, in wavefront order, and each CTU gets a smoothed ratio that
// moves its QP (above 1: bits to spare, below 1: overspent).
//
// Entries are written in CTU coding order before they are read; a CTU reads
// only its left, above-right and above neighbours, which the wavefront rule
// has finished.
#include <algorithm>
#include <cstring>

#include "encoder/memory.h"
#include "ratecontrol/rc_cbr.h"

namespace {

// The CTU coded before (x, y) in wavefront order: above-right, or above in the
// last column.
int32_t previous_ctu(const rc_rowstats *s, int32_t x, int32_t y)
{
    return x + 1 < s->cols ? (y - 1) * s->cols + x + 1 : (y - 1) * s->cols + x;
}

double observed_ratio(const rc_rowstats *s, double cost, double bits)
{
    double spent = bits / (double)s->target;
    // Nothing spent yet: the picture is as far under its target as it can be.
    if (!(spent > 0.0)) return s->ratio_high;
    return (cost / (double)s->cost_total) / spent;
}

// How far a CTU's ratio may move from its neighbour's: it falls faster than
// it rises. A picture past its share drains the bucket, one under it only
// lets the bucket overflow; and where sizes climb steeply as the QP falls
// (noise), a ratio that has climbed through the cheap first CTUs came back at
// the rate it rose and took the picture to twice its target (testsrc2 with
// temporal noise, 1280x720, 500 kbit/s: 28 pictures of 60 underflowed an
// 8-picture bucket).
constexpr double RATIO_RISE = 1.05;
constexpr double RATIO_FALL = 0.9;

double clamp_around(double r, double ref)
{
    return std::min(std::max(r, RATIO_FALL * ref), RATIO_RISE * ref);
}

}  // namespace

rc_rowstats *rc_rowstats_new(int32_t cols, int32_t rows)
{
    if (cols < 1 || rows < 1 || (int64_t)cols * rows > 0x7FFFFFF / 8) return nullptr;
    rc_rowstats *s = (rc_rowstats *)aligned_malloc((int32_t)sizeof(rc_rowstats));
    if (!s) return nullptr;
    std::memset(s, 0, sizeof(*s));
    int32_t n = cols * rows;
    s->cols = cols;
    s->rows = rows;
    s->wave_cost = (uint32_t *)aligned_malloc(n * 4);
    s->row_cost = (uint32_t *)aligned_malloc(n * 4);
    s->wave_bits = (uint32_t *)aligned_malloc(n * 4);
    s->row_bits = (uint32_t *)aligned_malloc(n * 4);
    s->ctu_ratio = (double *)aligned_malloc(n * 8);
    if (!s->wave_cost || !s->row_cost || !s->wave_bits || !s->row_bits || !s->ctu_ratio) {
        rc_rowstats_delete(s);
        return nullptr;
    }
    std::memset(s->ctu_ratio, 0, (size_t)n * 8);
    s->target = s->upper_bits = s->lower_bits = 1;
    s->ratio_high = s->ratio_low = 1.0;
    s->cost_total = 1;
    return s;
}

void rc_rowstats_delete(rc_rowstats *s)
{
    if (!s) return;
    aligned_free(s->wave_cost);
    aligned_free(s->row_cost);
    aligned_free(s->wave_bits);
    aligned_free(s->row_bits);
    aligned_free(s->ctu_ratio);
    aligned_free(s);
}

void rc_rowstats_frame_start(rc_rowstats *s, const int32_t bits[3], const uint32_t *ctu_cost, int32_t cost_total)
{
    // Targets are at least a bit per CTU; the guards keep the ratios finite
    // for callers that pass less.
    s->target = std::max(bits[0], 1);
    s->upper_bits = std::max(bits[1], 1);
    s->lower_bits = std::max(bits[2], 1);
    s->ratio_high = 0.95 * s->target / s->lower_bits;
    s->ratio_low = 1.05 * s->target / s->upper_bits;
    s->ctu_cost = ctu_cost;
    s->cost_total = std::max(cost_total, 1);
    s->cost_floor = s->cost_total / 90;
}

void rc_rowstats_ctu_add(rc_rowstats *s, int32_t x, int32_t y, uint32_t bits)
{
    int32_t i = y * s->cols + x;
    uint32_t c = s->ctu_cost ? s->ctu_cost[i] : 0;
    s->row_cost[i] = x > 0 ? s->row_cost[i - 1] + c : c;
    s->row_bits[i] = x > 0 ? s->row_bits[i - 1] + bits : bits;
    if (y > 0) {
        int32_t p = previous_ctu(s, x, y);
        s->wave_cost[i] = s->wave_cost[p] + s->row_cost[i];
        s->wave_bits[i] = s->wave_bits[p] + s->row_bits[i];
    } else {
        s->wave_cost[i] = s->row_cost[i];
        s->wave_bits[i] = s->row_bits[i];
    }
}

double rc_rowstats_ctu_ratio(rc_rowstats *s, int32_t x, int32_t y)
{
    int32_t i = y * s->cols + x;
    double r;
    if (x + 2 * y < 3) {
        r = 1.0;
    } else if (x > 0 && y > 0) {
        int32_t p = previous_ctu(s, x, y), k = i - 1;
        double cost = (double)s->wave_cost[p] + s->row_cost[k];
        double bits = (double)s->wave_bits[p] + s->row_bits[k];
        double r0 = observed_ratio(s, cost, bits);
        double rp = s->ctu_ratio[p], rk = s->ctu_ratio[k];
        if (cost < s->cost_floor) r = 1.0;
        else if (s->ratio_low < r0 && r0 < s->ratio_high) r = r0 < 1.0 ? std::min(rp, rk) : std::max(rp, rk);
        else r = r0 < 1.0 ? std::min(std::min(r0, rk), rp) : std::max(std::max(r0, rk), rp);
        r = clamp_around(r, rk);
    } else {
        int32_t n = y == 0 ? i - 1 : previous_ctu(s, x, y);
        double cost = s->wave_cost[n], bits = s->wave_bits[n];
        double r0 = observed_ratio(s, cost, bits);
        double rn = s->ctu_ratio[n];
        if (cost < s->cost_floor) r = 1.0;
        else if (s->ratio_low < r0 && r0 < s->ratio_high) r = rn;
        else r = r0 < 1.0 ? std::min(r0, rn) : std::max(r0, rn);
        r = clamp_around(r, rn);
    }
    s->ctu_ratio[i] = r;
    return r;
}
