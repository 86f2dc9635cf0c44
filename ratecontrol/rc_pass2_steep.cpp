// Second pass: how steeply sizes really move with the qscale. The plan
// scales each first-pass picture's bits by about the inverse of the qscale
// ratio between the passes, but the first pass moves its QP over a short
// stream by up to 30 steps, and where grain or noise is skipped at one QP
// and coded a few steps finer the sizes move many times further: a still
// photograph with grain at 1500 kbit/s (60 pictures at 720p) had its first
// P picture planned at 3.6 kbit and coded at 421, and a P picture that the
// plan expected at 166 kbit took 1. Each finished anchor picture of the
// second pass tells how far its size moved beyond the estimate against the
// log of its qscale ratio; a least-squares fit through the origin gives the
// exponent added to the estimate's.
#include <algorithm>
#include <cmath>

#include "ratecontrol/rc_twopass.h"

namespace {

// The estimate's own exponent on the qscale ratio (its residual bits).
constexpr double ENTRY_EXPONENT = 1.1;
// The fit counts once the finished anchors have moved this far in qscale
// between the passes (sum of squared log ratios: one picture 1.3 QPs away),
// and its exponent is held within this bound.
constexpr double STEEP_MIN_SPREAD = 0.05;
constexpr double STEEP_MAX = 4.0;

bool finished(const pass2_entry *e)
{
    return e->coded_bits > 0.0 && e->qscale_first > 0.0;
}

double coded_qscale(const pass2_entry *e)
{
    return rc_qp_to_qscale(e->pass2_qp);
}

}  // namespace

double rc_pass2_steepness(const ratecontrol *rc, int32_t slice_class)
{
    double num = 0.0, den = 0.0;
    for (int32_t i = 0; i < rc->pass2_count; i++) {
        const pass2_entry *e = &rc->pass2_entries[i];
        if (!finished(e) || e->slice_class != slice_class) continue;
        double est = rc_entry_bits(e, coded_qscale(e));
        if (!(est > 0.0)) continue;
        double l = std::log(e->qscale_first / coded_qscale(e));
        num += std::log(e->coded_bits / est) * l;
        den += l * l;
    }
    if (!(den >= STEEP_MIN_SPREAD)) return 0.0;
    return std::min(std::max(num / den, 0.0), STEEP_MAX);
}

double rc_pass2_steep_bits(const pass2_entry *e, double q, double steepness)
{
    double bits = rc_entry_bits(e, q);
    if (!(steepness > 0.0) || !(e->qscale_first > 0.0) || !(q > 0.0)) return bits;
    return bits * std::pow(e->qscale_first / q, steepness);
}

double rc_pass2_model_bias(const ratecontrol *rc)
{
    double steepness[3] = {0.0, rc_pass2_steepness(rc, slice_p), rc_pass2_steepness(rc, slice_i)};
    double coded = 0.0, expected = 0.0;
    for (int32_t i = 0; i < rc->pass2_count; i++) {
        const pass2_entry *e = &rc->pass2_entries[i];
        if (!finished(e)) continue;
        coded += e->coded_bits;
        // B pictures take their references' QPs, not the steeper estimate.
        expected += rc_pass2_steep_bits(e, coded_qscale(e), steepness[std::min(std::max(e->slice_class, 0), 2)]);
    }
    return expected > 0.0 ? coded / expected : 0.0;
}

double rc_pass2_steep_qscale(const pass2_entry *e, double q, double steepness)
{
    if (!(steepness > 0.0) || !(e->qscale_first > 0.0) || !(q > 0.0)) return q;
    return e->qscale_first * std::pow(q / e->qscale_first, ENTRY_EXPONENT / (ENTRY_EXPONENT + steepness));
}
