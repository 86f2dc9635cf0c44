// Second pass: how a P picture's size depends on the QP of the anchor it
// predicts from. Coded finer than its reference, a P picture pays again for
// the detail the reference lost; coded no finer, it pays little beyond what
// is new in it. A first pass whose QP falls over a short stream codes most
// of its P pictures finer than their anchors, and their sizes, moved to the
// second pass's qscales alone, overstate what they take where the second
// pass keeps neighbouring anchors near one QP. A slow pan at 500 kbit/s (60
// pictures at 720p) whose first pass coded its last P picture 5.1 QPs finer
// than the one before had it planned at 221 kbit: one QP coarser than its
// reference in the second pass, it took 5, and the stream ended 8.5 % under
// its target.
//
// Each P picture's coded bits are scaled by how much coarser against its
// anchor the plan puts it than the first pass did: the slope less in log2
// per QP of the change, up to ANCHOR_STEP_MAX QPs, on the part of the
// picture that is not new. The slope is read from the first pass itself: a
// least-squares line through its P pictures' sizes, moved to one qscale,
// against their steps from their anchors. The line runs low (the content
// changes along the stream as well, and a short one has a few steps), and
// SLOPE_FIT_SCALE times it, within SLOPE_MIN..SLOPE_MAX, is taken. Pans and
// overlays at 720p read 0.16-0.30 and take the upper bound (their P
// pictures, coded in the second pass, moved 0.2-0.4 per QP); testsrc2 with
// temporal noise at 1920x1080, whose P pictures cost much the same from
// any reference, reads 0.08-0.12: at the upper bound it ended 11 % over
// 3375 and 9000 kbit/s, 4 and 5 % with its own slope. A still photograph
// with grain, whose first pass skipped its P pictures nearly whole at
// coarse QPs, may read a line falling the other way (-0.18 at 640x360 and
// 125 kbit/s): with no slope its P pictures, planned at their whole sizes,
// took a tenth of them, and the last one, coded 6 QPs under its reference
// to spend what was left, ended the stream 13 % over (4 % under at the
// lower bound). Put relatively finer, a picture keeps its estimate: the
// other corrections of the second pass bound it, and a slope there too
// made the plan code intra pictures finer and streams at 320x180 end 11-13
// % over. The new part, coded intra, costs the same from any reference; it
// is taken as NEW_SHARE_WEIGHT times the share of the picture's
// intra-coded units (intra units cost more than inter ones), but no larger
// than that of the stream's median P picture: a P picture coded far finer
// than its reference may code much of it intra to restore it (a cut at
// 1500 kbit/s, 60 pictures at 720p: 56 % of one P picture's units against
// 4 % for most), and that part is refresh too. Over the two-pass tables of
// both corpora (60 pictures at 1920x1080, 1280x720, 640x360 and 320x180,
// 300 at 640x360) the rows beyond 5 % of their targets went from 19 to
// 12 (three of them at qp_min), the mean error at 1280x720 from 2.89 to
// 2.31 % and at 640x360 from 2.34 to 1.91 %.
#include <algorithm>
#include <cmath>

#include "encoder/memory.h"
#include "ratecontrol/rc_twopass.h"

namespace {

constexpr double SLOPE_FIT_SCALE = 1.5;
constexpr double SLOPE_MIN = 0.15;
constexpr double SLOPE_MAX = 0.3;
constexpr double ANCHOR_STEP_MAX = 8.0;
constexpr double NEW_SHARE_WEIGHT = 3.0;
// The qscale the first-pass sizes are moved to for the fit (QP 30).
constexpr double FIT_QP = 30.0;

double qp_of(double qscale)
{
    return rc_qscale_to_qp(qscale);
}

double intra_share(const ratecontrol *rc, const pass2_entry *e)
{
    return rc->frame_8x8_units > 0 ? (double)e->intra_units / rc->frame_8x8_units : 1.0;
}

// The median intra share of the P entries (1 when there are none), or -1
// when its block cannot be allocated.
double median_p_intra_share(const ratecontrol *rc)
{
    int64_t count = 0;
    for (int32_t i = 0; i < rc->pass2_count; i++) count += rc->pass2_entries[i].slice_class == slice_p;
    if (count == 0) return 1.0;
    double *shares = rc_alloc_doubles(count);
    if (!shares) return -1.0;
    int64_t k = 0;
    for (int32_t i = 0; i < rc->pass2_count; i++)
        if (rc->pass2_entries[i].slice_class == slice_p) shares[k++] = intra_share(rc, &rc->pass2_entries[i]);
    std::nth_element(shares, shares + count / 2, shares + count);
    double median = shares[count / 2];
    aligned_free(shares);
    return median;
}

// The slope of the line through the coded P entries' sizes at FIT_QP
// against their steps from their anchors, negated; 0 with fewer than three
// or no spread of steps.
double first_pass_slope(const ratecontrol *rc)
{
    const pass2_entry *e = rc->pass2_entries;
    double q = rc_qp_to_qscale(FIT_QP), n = 0.0, sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (int32_t i = 0; i < rc->pass2_count; i++) {
        if (e[i].slice_class != slice_p || e[i].anchor_before < 0) continue;
        double bits = rc_entry_bits(&e[i], q) - e[i].misc_bits;
        if (e[i].pred_bits + e[i].resid_bits <= 0 || !(bits > 0.0)) continue;
        double x = e[i].anchor_step_first, y = std::log2(bits);
        n += 1.0;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    double spread = n >= 3.0 ? sxx - sx * sx / n : 0.0;
    return spread > 0.0 ? -(sxy - sx * sy / n) / spread : 0.0;
}

void anchor_step_update(const ratecontrol *rc, pass2_entry *e)
{
    e->anchor_step_log2 = 0.0;
    if (e->slice_class != slice_p || e->anchor_before < 0) return;
    const pass2_entry *a = &rc->pass2_entries[e->anchor_before];
    if (!(e->qscale_new > 0.0) || !(a->qscale_new > 0.0)) return;
    double coarser = qp_of(e->qscale_new) - qp_of(a->qscale_new) - (double)e->anchor_step_first;
    if (!(coarser > 0.0)) return;
    double fall = std::exp2(-rc_first(rc)->pass2_anchor_slope * std::min(coarser, ANCHOR_STEP_MAX));
    double fresh = (double)e->new_share;
    e->anchor_step_log2 = std::log2(fresh + (1.0 - fresh) * fall);
}

}  // namespace

int rc_anchor_steps_prepare(ratecontrol *rc)
{
    double median = median_p_intra_share(rc);
    if (median < 0.0) return -1;
    pass2_entry *e = rc->pass2_entries;
    int32_t anchor = -1;
    for (int32_t i = 0; i < rc->pass2_count; i++) {
        e[i].anchor_before = anchor;
        e[i].anchor_step_log2 = 0.0;
        e[i].anchor_step_first = 0.0f;
        e[i].new_share = (float)std::min(1.0, NEW_SHARE_WEIGHT * std::min(intra_share(rc, &e[i]), median));
        if (anchor >= 0 && e[i].qscale_first > 0.0 && e[anchor].qscale_first > 0.0)
            e[i].anchor_step_first = (float)(qp_of(e[i].qscale_first) - qp_of(e[anchor].qscale_first));
        if (e[i].slice_class != slice_b) anchor = i;
    }
    double slope = SLOPE_FIT_SCALE * first_pass_slope(rc);
    rc_first(rc)->pass2_anchor_slope = std::min(std::max(slope, SLOPE_MIN), SLOPE_MAX);
    return 0;
}

void rc_anchor_steps_update(ratecontrol *rc)
{
    for (int32_t i = 0; i < rc->pass2_count; i++) anchor_step_update(rc, &rc->pass2_entries[i]);
}
