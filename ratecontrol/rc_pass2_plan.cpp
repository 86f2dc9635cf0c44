// Second-pass planning: before any picture is coded, a qscale is chosen for
// every first-pass picture so that the planned bits spend the stream's budget.
// Complexities are blurred over neighbours, compressed by qcompress, shaped by
// the I/P/B ratios, step-limited, smoothed and clipped; with a VBV buffer a
// second stage moves bits between stretches so the planned buffer neither
// runs dry nor overflows.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "encoder/config.h"
#include "encoder/memory.h"
#include "encoder/picture.h"
#include "ratecontrol/rc_twopass.h"

namespace {

// The VBV stage's searches repeat until nothing changes; these bounds only
// guarantee an end on numbers the searches were never meant to see.
constexpr int VBV_OUTER_LIMIT = 1000;
constexpr int VBV_INNER_LIMIT = 100000;

// Two arrays of n doubles, or neither (false) when either cannot be had.
bool alloc_double_pair(int64_t n, double **a, double **b)
{
    *a = rc_alloc_doubles(n);
    *b = rc_alloc_doubles(n);
    if (*a && *b) return true;
    aligned_free(*a);
    aligned_free(*b);
    return false;
}

double cplx_of(const pass2_entry *e)
{
    return rc_entry_bits(e, 1.0) - e->misc_bits;
}

double intra_share_sq(const ratecontrol *rc, const pass2_entry *e)
{
    double s = (double)((float)e->intra_units / (float)rc->frame_8x8_units);
    return s * s;
}

void blur_complexity(ratecontrol *rc)
{
    int32_t n = rc->pass2_count;
    pass2_entry *e = rc->pass2_entries;
    for (int32_t i = 0; i < n; i++) {
        double wsum = 0.0, csum = 0.0, w = 1.0;
        for (int32_t j = 1; j < 40 && j < n - i; j++) {
            const pass2_entry *f = &e[i + j];
            w *= 1.0 - intra_share_sq(rc, f);
            if (w < 0.0001) break;
            double g = w * std::exp(-(double)j * j / 200.0);
            wsum += g;
            csum += g * cplx_of(f);
        }
        w = 1.0;
        for (int32_t j = 0; j <= i && j <= 40; j++) {
            const pass2_entry *f = &e[i - j];
            double g = w * std::exp(-(double)j * j / 200.0);
            wsum += g;
            csum += g * cplx_of(f);
            w *= 1.0 - intra_share_sq(rc, f);
            if (w < 0.0001) break;
        }
        e[i].blurred_cplx = (float)(csum / wsum);
    }
}

// Mean of q over the entry and its neighbours of the same class.
double smoothed(const ratecontrol *rc, const double *q, int32_t i)
{
    const pass2_entry *e = rc->pass2_entries;
    double num = 0.0, den = 0.0;
    for (int32_t k = i - 1; k <= i + 1; k++) {
        if (k < 0 || k >= rc->pass2_count || e[k].slice_class != e[i].slice_class) continue;
        double w = std::exp(-4.0 * (double)(k - i) * (k - i));
        num += w * q[k];
        den += w;
    }
    return num / den;
}

double plan_pass(ratecontrol *rc, const internal_config *cfg, double rate, double *q, double *qs)
{
    int32_t n = rc->pass2_count;
    pass2_entry *e = rc->pass2_entries;
    rc->last_non_b_type = -1;
    rc->last_accum_p_norm = 1.0;
    rc->accum_p_norm = 0.0;
    for (int32_t i = 0; i < n; i++) {
        q[i] = rc_get_qscale(rc, cfg, &e[i], rate);
        rc->last_qscale_for[e[i].slice_class] = q[i];
    }
    for (int32_t i = n - 1; i >= 0; i--) q[i] = rc_diff_limited_qscale(rc, cfg, &e[i], q[i]);
    for (int32_t i = 0; i < n; i++) qs[i] = smoothed(rc, q, i);
    for (int32_t i = 0; i < n; i++) e[i].qscale_new = rc_vbv_clip_qscale(rc, cfg, e[i].slice_class, qs[i]);
    rc_anchor_steps_update(rc);
    double total = 0.0;
    for (int32_t i = 0; i < n; i++) total += rc_entry_bits(&e[i], e[i].qscale_new);
    return total;
}

struct vbv_sim {
    ratecontrol *rc;
    double *fill;  // fill[-1] is the fill before the first entry
};

bool vbv_find_interval(vbv_sim *v, int32_t *t0, int32_t *t1, bool over)
{
    const ratecontrol *rc = v->rc;
    double size = rc->vbv_size;
    double fill = v->fill[*t0 - 1];
    int32_t start = -1, end = -1;
    for (int32_t i = *t0; i < rc->pass2_count; i++) {
        const pass2_entry *e = &rc->pass2_entries[i];
        fill += (rc->vbv_frame_bits - rc_entry_bits(e, e->qscale_new)) * (over ? 1.0 : -1.0);
        fill = std::min(std::max(fill, 0.0), size);
        v->fill[i] = fill;
        if (fill < 0.1 * size || i == 0) {
            if (end >= 0) break;
            start = i;
        } else if (fill >= 0.9 * size && start >= 0) {
            end = i;
        }
    }
    *t0 = start;
    *t1 = end;
    return start >= 0 && end >= 0;
}

bool vbv_fix_interval(vbv_sim *v, int32_t t0, int32_t t1, double factor, double qmin, double qmax)
{
    bool changed = false;
    for (int32_t i = t0 > 0 ? t0 + 1 : t0; i <= t1; i++) {
        pass2_entry *e = &v->rc->pass2_entries[i];
        double q0 = std::min(std::max(e->qscale_new, qmin), qmax);
        double q1 = std::min(std::max(q0 * factor, qmin), qmax);
        e->qscale_new = q1;
        if (q1 != q0) changed = true;
    }
    return changed;
}

}  // namespace

double *rc_alloc_doubles(int64_t n)
{
    if (n <= 0 || n * 8 > 0x7FFFFFFF) return nullptr;
    return (double *)aligned_malloc((int32_t)(n * 8));
}

double rc_get_qscale(ratecontrol *rc, const internal_config *cfg, const pass2_entry *e, double rate)
{
    double base;
    if (cfg->mbtree) {
        double d = (double)cfg->fps_den / (double)cfg->fps_num;
        base = 0.04 / std::min(1.0, d);
    } else {
        base = e->blurred_cplx;
    }
    double x = std::pow(base, (double)(1.0f - cfg->qcompress));
    // A rate that is not positive (nothing wanted yet, or no complexity seen)
    // has no qscale either; the class keeps its last one.
    if (!std::isfinite(x) || (int64_t)e->pred_bits + e->resid_bits == 0 || !(rate > 0.0) || !std::isfinite(rate))
        return rc->last_qscale_for[e->slice_class];
    rc->last_rate_eq = x;
    double q = x / rate;
    rc->last_qscale = q;
    return q;
}

double rc_diff_limited_qscale(ratecontrol *rc, const internal_config *cfg, const pass2_entry *e, double q)
{
    int32_t cls = e->slice_class;
    const float *ratios = &cfg->ip_ratio;  // ip_ratio, then b_ratio[0..2]
    double ipr = std::fabs((double)cfg->ip_ratio);
    if (cls == slice_i) {
        double n = rc->accum_p_norm;
        if (n > 0.0) {
            double pq = rc_qp_to_qscale(rc->accum_p_qp / n);
            if (cfg->ip_ratio < 0.0f) q = q / ipr;
            else if (n >= 1.0) q = pq / ipr;
            else q = (1.0 - n) * q + n * pq / ipr;
        }
    } else if (cls == slice_b) {
        // The pyramid layer the entry's type stands for, whose ratio the B
        // picture will be coded with: reference B pictures the deepest
        // reference layer, the others the layer below the pyramid (the
        // picture being reconstructed while the plan is made has none).
        int32_t h = std::min(std::max(cfg->hierarchy, 0), 2);
        int32_t layer = e->picture_type == PIC_TYPE_BREF ? std::max(h, 1) : h + 1;
        double f = ratios[std::min(std::max(layer, 0), 3)];
        if (f > 0.0) q = rc->last_non_b_type < 0 ? rc->last_qscale : rc->last_qscale_for[rc->last_non_b_type];
        q *= std::fabs(f);
    } else if (rc->last_non_b_type == slice_p && e->resid_bits == 0) {
        q = rc->last_qscale_for[1];
    }
    if (rc->last_non_b_type == cls && (cls != slice_i || rc->last_accum_p_norm < 1.0)) {
        double l = rc->last_qscale_for[cls];
        if (q > l * rc->qscale_step) q = l * rc->qscale_step;
        else q = std::max(q, l / rc->qscale_step);
    }
    rc->last_qscale_for[cls] = q;
    if (cls != slice_b) rc->last_non_b_type = cls;
    if (cls == slice_i) {
        rc->last_accum_p_norm = rc->accum_p_norm;
        rc->accum_p_norm = 0.0;
        rc->accum_p_qp = 0.0;
    } else if (cls == slice_p) {
        int32_t k = e->intra_units / rc->frame_8x8_units;
        float m = 1.0f - (float)(k * k);
        rc->accum_p_qp = m * (rc_qscale_to_qp(q) + rc->accum_p_qp);
        rc->accum_p_norm = m * (1.0 + rc->accum_p_norm);
    }
    return q;
}

double rc_count_expected_bits(ratecontrol *rc)
{
    rc_anchor_steps_update(rc);
    double total = 0.0;
    for (int32_t i = 0; i < rc->pass2_count; i++) {
        pass2_entry *e = &rc->pass2_entries[i];
        e->expected_bits = total < 9.0e18 ? (int64_t)total : INT64_MAX;
        total += rc_entry_bits(e, e->qscale_new);
    }
    return total;
}

int rc_vbv_plan(ratecontrol *rc, const internal_config *cfg, double budget)
{
    int32_t n = rc->pass2_count;
    double qmin = rc_qp_to_qscale(cfg->qp_min), qmax = rc_qp_to_qscale(cfg->qp_max);
    double *block = rc_alloc_doubles((int64_t)n + 1);
    if (!block) return -1;
    vbv_sim v{rc, block + 1};
    double size = rc->vbv_size, init = cfg->vbv_init;
    double expected = 0.0, previous;
    bool under_ok = true;
    int outer = 0;
    do {
        previous = expected;
        if (expected != 0.0) {
            double a = std::max(std::min(expected / budget, 0.999), 0.9);
            v.fill[-1] = (double)((float)size * (float)init);
            int32_t t0 = 0, t1 = 0;
            for (int k = 0; k < VBV_INNER_LIMIT && vbv_find_interval(&v, &t0, &t1, true); k++) {
                bool changed = vbv_fix_interval(&v, t0, t1, a, qmin, qmax);
                t0 = t1;
                if (!changed) break;
            }
        }
        v.fill[-1] = (1.0 - init) * size;
        int32_t t0 = 0, t1 = 0;
        under_ok = true;
        for (int k = 0; k < VBV_INNER_LIMIT && vbv_find_interval(&v, &t0, &t1, false); k++) {
            under_ok = vbv_fix_interval(&v, t0, t1, 1.001, qmin, qmax);
            if (!under_ok) break;
        }
        expected = rc_count_expected_bits(rc);
    } while (++outer < VBV_OUTER_LIMIT && expected < 0.995 * budget &&
             (int64_t)(expected + 0.5) > (int64_t)(previous + 0.5));
    if (!under_ok) fprintf(stderr, "vbv-maxrate issue, qpmax or vbv-maxrate too low\n");
    for (int32_t i = 0; i < n; i++) rc->pass2_entries[i].expected_vbv = size - v.fill[i];
    aligned_free(block);
    return 0;
}

int rc_pass2_plan(ratecontrol *rc, const internal_config *cfg)
{
    int32_t n = rc->pass2_count;
    pass2_entry *e = rc->pass2_entries;
    double duration = 0.0;
    int64_t misc = 0;
    for (int32_t i = 0; i < n; i++) {
        duration += (double)e[i].duration;
        misc += e[i].misc_bits;
    }
    double b = (double)cfg->bitrate * 1000.0 * duration + 0.5;
    uint64_t budget = b > 0.0 ? (b < 1.8e19 ? (uint64_t)b : UINT64_MAX) : 0;
    if (budget < (uint64_t)misc) {
        fprintf(stderr, "target bitrate is too low\n");
        return -1;
    }
    if (rc_anchor_steps_prepare(rc) != 0) return -1;
    blur_complexity(rc);
    double *q, *qs;
    if (!alloc_double_pair(n, &q, &qs)) return -1;
    double total = 1.0;
    for (int32_t i = 0; i < n; i++) {
        double s = rc_get_qscale(rc, cfg, &e[i], 1.0);
        rc->last_qscale_for[e[i].slice_class] = s;
        total += rc_entry_bits(&e[i], s);
    }
    double scale = (double)budget / total;
    double rate = 0.0;
    for (double step = 10000.0 * scale; step > 0.0000001 * scale; step *= 0.5) {
        rate += step;
        if (plan_pass(rc, cfg, rate, q, qs) > (double)budget) rate -= step;
    }
    aligned_free(q);
    aligned_free(qs);
    if (rc->vbv && rc_vbv_plan(rc, cfg, (double)budget) != 0) return -1;
    rc_count_expected_bits(rc);
    return 0;
}
