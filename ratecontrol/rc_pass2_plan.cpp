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

double *alloc_doubles(int64_t n)
{
    if (n <= 0 || n * 8 > 0x7FFFFFFF) return nullptr;
    return (double *)aligned_malloc((int32_t)(n * 8));
}

// Two arrays of n doubles, or neither (false) when either cannot be had.
bool alloc_double_pair(int64_t n, double **a, double **b)
{
    *a = alloc_doubles(n);
    *b = alloc_doubles(n);
    if (*a && *b) return true;
    aligned_free(*a);
    aligned_free(*b);
    return false;
}

// A P picture that the first pass coded finer than the anchor before it
// (its rate control falling over a short stream) may have spent most of its
// bits restoring the detail its coarse reference had lost, which the second
// pass, whose plan keeps neighbouring anchors near one QP, does not pay
// again. Planned from the whole size, a slow pan at 500 kbit/s (60 pictures
// at 720p) coded at QP 28.8 after 33.6 was planned at 301 kbit and took 73,
// a cut at 1500 kbit/s at QP 19.9 after 35.1 was planned at 375 and took 34:
// the plan kept the intra pictures 3-4 QPs coarse and the bits left over
// piled onto the last P pictures. On grain and noise the finer picture pays
// for what is new in it whatever its reference, and so does the second
// pass. What tells them apart are the P pictures that the first pass coded
// no finer than their anchors (settled), at QPs near the finer picture's:
// their sizes, moved to its QP as the estimate moves them, are what it
// costs from a reference as good as itself. Its bits are counted no larger
// than the largest of them, and no smaller than its qscale ratio to the
// anchor before it (REFRESH_EXPONENT) allows. The settled pictures may lie
// up to REFRESH_FINER_WINDOW QPs finer but only REFRESH_COARSER_WINDOW
// coarser: noise skipped at a coarser QP, moved finer by the estimate, is
// far below what coding it takes (temporal noise at 1500 kbit/s, 60 pictures
// at 720p, compared across 6 QPs ended 5.9 % over its target).
constexpr double REFRESH_FINER_WINDOW = 6.0;
constexpr double REFRESH_COARSER_WINDOW = 3.0;
constexpr double REFRESH_EXPONENT = 1.0;
// A settled P picture outside the windows stands for its scene only when it
// skipped at least this share of its units: a still scene, which coding from
// a good reference leaves nearly free at any QP. With grain or noise the
// skipped share is smaller (temporal noise at 1500 kbit/s, 60 pictures at
// 720p, 0.75 at QP 40) and the settled picture, moved finer, is far below
// what the finer picture pays (the stream ended 6 % over its target).
constexpr double REFRESH_STILL_SKIP_SHARE = 0.8;
// The settled P pictures looked at lie within this many entries on either
// side (the search runs for every finer P picture; see PLAN_WINDOW).
constexpr int32_t REFRESH_SEARCH = 512;

// Whether entry k is a P picture that the first pass coded no finer than
// the anchor before it.
bool is_settled_p(const pass2_entry *e, const double *previous, int32_t k)
{
    return e[k].slice_class == slice_p && previous[k] > 0.0 && e[k].qscale_first >= previous[k];
}

// Where no settled P picture lies within the QP windows of entry i: the
// size of the settled P picture of its scene (between the intra pictures
// around it, within REFRESH_SEARCH entries) nearest to it in QP, moved to
// its qscale, a settled picture finer by more than REFRESH_FINER_WINDOW
// moved only that far; 0 when the scene has none or the nearest is not
// still (REFRESH_STILL_SKIP_SHARE). A cut at 1500 kbit/s (60 pictures at
// 720p) whose first pass coded a P picture 13 QPs finer than its anchor, at
// 33 between P pictures at 41 and 46, planned it at 225 kbit where it took
// 62, and a P picture 8 QPs finer at 227 where its plan's QP took 129 at
// most: the bits left over went to the last P picture (337 kbit, 3.4 % over
// the target; 1.4 % under with these sizes, 0.39 dB higher).
double settled_bits_of_scene(const ratecontrol *rc, const double *previous, int32_t i)
{
    const pass2_entry *e = rc->pass2_entries;
    double q = e[i].qscale_first, qp = rc_qscale_to_qp(q), best = -1.0, bits = 0.0;
    int32_t first = i, last = i;
    int32_t low = std::max(i - REFRESH_SEARCH, 0), high = std::min(rc->pass2_count - 1, i + REFRESH_SEARCH);
    while (first > low && e[first].slice_class != slice_i) first--;
    while (last < high && e[last + 1].slice_class != slice_i) last++;
    for (int32_t k = first; k <= last; k++) {
        if (!is_settled_p(e, previous, k)) continue;
        double d = rc_qscale_to_qp(e[k].qscale_first) - qp;
        if (best >= 0.0 && std::fabs(d) >= best) continue;
        best = std::fabs(d);
        bits = 0.0;
        if ((double)e[k].skip_units < REFRESH_STILL_SKIP_SHARE * rc->frame_8x8_units) continue;
        double to = d < -REFRESH_FINER_WINDOW ? rc_qp_to_qscale(qp + d + REFRESH_FINER_WINDOW) : q;
        bits = rc_entry_bits(&e[k], to) - e[k].misc_bits;
    }
    return bits;
}

// The largest first-pass size, moved to the qscale of entry i, of the
// settled P pictures within the QP windows of it; without one, see
// settled_bits_of_scene.
// previous[k] is the first-pass qscale of the anchor before entry k (0 for
// none).
double settled_bits_near(const ratecontrol *rc, const double *previous, int32_t i)
{
    const pass2_entry *e = rc->pass2_entries;
    double q = e[i].qscale_first, qp = rc_qscale_to_qp(q), bits = 0.0;
    int32_t end = std::min(rc->pass2_count, i + REFRESH_SEARCH + 1);
    for (int32_t k = std::max(i - REFRESH_SEARCH, 0); k < end; k++) {
        if (!is_settled_p(e, previous, k)) continue;
        double d = rc_qscale_to_qp(e[k].qscale_first) - qp;
        if (d > REFRESH_COARSER_WINDOW || d < -REFRESH_FINER_WINDOW) continue;
        bits = std::max(bits, rc_entry_bits(&e[k], q) - e[k].misc_bits);
    }
    return bits > 0.0 ? bits : settled_bits_of_scene(rc, previous, i);
}

// The plan's last anchor keeps its whole first-pass size: the correction of
// the second pass moves it furthest from its plan (see
// PASS2_LAST_ANCHOR_MAX_RISE), so it is the one anchor the second pass does
// not keep near its reference's QP, and it pays for the detail again. A slow
// pan at 1500 kbit/s (60 pictures at 720p) estimated its last P picture from
// 0.42 of its first-pass size, coded it 4.6 QPs finer than its reference, where
// it took 932 kbit for an estimate of 376, and ended 18.0 % over its target
// (9.6 % so; no other row of the two-pass tables moved). Its size swings
// either way as its QP moves by a few steps: at 1920x1080 the same pan ended
// 20 and 23 % over 1125 and 3375 kbit/s, and 15 and 10 % under so.
int discount_refresh(ratecontrol *rc)
{
    pass2_entry *e = rc->pass2_entries;
    int32_t n = rc->pass2_count;
    double *previous, *scale;
    if (!alloc_double_pair(n, &previous, &scale)) return -1;
    double anchor = 0.0;
    int32_t last_anchor = -1;
    for (int32_t i = 0; i < n; i++) {
        previous[i] = anchor;
        if (e[i].slice_class == slice_b) continue;
        anchor = e[i].qscale_first;
        last_anchor = i;
    }
    // Every entry is compared with the first-pass sizes; the discounts are
    // applied once all are known.
    for (int32_t i = 0; i < n; i++) {
        scale[i] = 1.0;
        double q = e[i].qscale_first;
        if (e[i].slice_class != slice_p || i == last_anchor || !(previous[i] > 0.0) || !(q > 0.0) || q >= previous[i])
            continue;
        double own = (double)e[i].pred_bits + e[i].resid_bits;
        double settled = settled_bits_near(rc, previous, i);
        if (settled > 0.0 && own > settled)
            scale[i] = std::max(settled / own, std::pow(q / previous[i], REFRESH_EXPONENT));
    }
    for (int32_t i = 0; i < n; i++) {
        if (scale[i] >= 1.0) continue;
        e[i].pred_bits = (int32_t)(e[i].pred_bits * scale[i]);
        e[i].resid_bits = (int32_t)(e[i].resid_bits * scale[i]);
    }
    aligned_free(previous);
    aligned_free(scale);
    return 0;
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
    double total = 0.0;
    for (int32_t i = 0; i < n; i++) {
        e[i].qscale_new = rc_vbv_clip_qscale(rc, cfg, e[i].slice_class, qs[i]);
        total += rc_entry_bits(&e[i], e[i].qscale_new);
    }
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
    double *block = alloc_doubles((int64_t)n + 1);
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
    if (discount_refresh(rc) != 0) return -1;
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
