// Rate control at a scene cut: what one-pass average bitrate learned of the
// scene before a keyframe that starts a new one says little of the new scene.
//
// On a 720p clip cut from a detailed photograph to a smoother one, the intra
// cost fell to 0.38 of what it was and the bits of the P pictures at a given
// QP fell by more. Carried over, the old scene's rate-equation sums held the
// cut keyframe and the P pictures after it several QPs too coarse, and the
// sizes seen of the old scene bounded how fast they could come down (the
// keyframe to what 16 pictures' worth of the old keyframe allowed): average
// bitrate ended 15.5 % under its target at 500 kbit/s, 12.2 % at 1500.
#include <algorithm>
#include <cmath>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/ratecontrol.h"

namespace {

// An intra picture after the first starts a new scene when the lookahead
// found it predicting from the picture before it at this share of its intra
// cost or more (a periodic keyframe has no such cost), and its intra cost
// differs from the picture's before it by this factor or more either way.
constexpr double CUT_INTER_SHARE = 0.6;
constexpr double CUT_COST_CHANGE = 1.5;
// How far the content's complexity is taken to have moved at most.
constexpr double CUT_RATIO_LIMIT = 16.0;

// The intra cost of the picture in hand over that of the picture started
// before it, at a scene cut; 0 otherwise.
double cut_cost_ratio(const ratecontrol *rc, double before)
{
    const picture *src = rc->pic.source;
    if (rc->pic.slice_class != slice_i || rc->pic.coding_number == 0 || !(before > 0.0)) return 0.0;
    double intra = src->frame_cost[0][0], inter = src->frame_cost[1][0];
    if (!(intra > 0.0) || inter < CUT_INTER_SHARE * intra) return 0.0;
    double ratio = intra / before;
    if (ratio > 1.0 / CUT_COST_CHANGE && ratio < CUT_COST_CHANGE) return 0.0;
    return std::min(std::max(ratio, 1.0 / CUT_RATIO_LIMIT), CUT_RATIO_LIMIT);
}

// The frame size models' anchors (the qscales their elasticity is measured
// about) move with the qscales, their predictions at any qscale staying as
// they were (the predictors follow the cost already). Left in the old
// scene, the anchor the rate equation's qscale leans on (see
// elastic_qscale) pulled the first P picture after a cut to a cheaper
// photograph back to the old scene's QP: 720p at 500 kbit/s, QP 38.2, 11
// above the cut's keyframe, for 1.5 kbit, and the clip ended 9.5 % under
// its target (32.4 and +6.9 % so; 1500 kbit/s -3.7 % and 41.50 dB, -1.9 %
// and 41.83 dB so).
void move_size_anchors(ratecontrol *first, double ratio)
{
    for (int32_t k = 0; k < RC_FRAME_KINDS; k++) {
        frame_size_model *m = &first->frame_model[k];
        if (!(m->anchor_qscale > 0.0f)) continue;
        float keep = (float)std::pow(ratio, 1.0 - (double)m->elasticity);
        first->frame_pred[k].coeff *= keep;
        first->frame_pred[k].offset *= keep;
        m->anchor_qscale = (float)(m->anchor_qscale * ratio);
    }
}

}  // namespace

void rc_scene_cut_start(ratecontrol *rc, const internal_config *cfg)
{
    ratecontrol *first = rc_first(rc);
    rc->scene_cut = 0;
    rc->scene_scale_at_start = first->scene_scale;
    if (!rc->pic.source) return;
    double before = first->scene_intra_cost;
    first->scene_intra_cost = rc->pic.source->frame_cost[0][0];
    // A buffer keeps its own guards (the peaks of each kind) across a cut;
    // a first pass keeps its pace (the second plans from its pictures).
    // Constant bitrate keeps what it has seen too: freed from the old
    // scene's keyframe, the cut keyframe took its whole target and the
    // window starved the anchors after it while the bucket ran over (4000
    // kbit/s with a one-second window: 21.8 % under from 20.6 %, with six
    // frame instances 24.2 % from 14.4 %).
    bool abr = rc->one_pass_estimate && cfg->rc_mode == RC_MODE_ABR;
    if (!abr || rc->vbv || cfg->pass1) return;
    double ratio = cut_cost_ratio(rc, before);
    if (!(ratio > 0.0)) return;
    // The rate equation has no cost in it (with the macroblock-tree its
    // complexity term is constant): its sums and the latest qscales move with
    // the content's cost, as if every picture's bits x qscale did.
    rc->scene_cut = 1;
    rc->complexity_sum *= ratio;
    // The next record took the sum over when this picture was handed its
    // record, and carries it on.
    ratecontrol *next = first + (rc->record_index + 1) % rc->record_count;
    if (next != rc) next->complexity_sum *= ratio;
    first->scene_scale *= ratio;
    rc->scene_scale_at_start = first->scene_scale;
    for (double &q : rc->last_qscale_for) q *= ratio;
    move_size_anchors(first, ratio);
    // The sizes seen of each kind bound how far later pictures fall below
    // them; of the old scene they hold the new one far off its share.
    for (rc_kind_seen &s : first->seen) s = {};
}

bool rc_in_rate_equation(const ratecontrol *rc)
{
    // The keyframe's size says what an intra picture of the new scene takes,
    // not what its P pictures will: counted as theirs, it held the first P
    // after the cut 11 QPs above the keyframe (1.5 kbit where the keyframe
    // took 203 kbit) and average bitrate at 500 kbit/s ended 16.5 % under.
    // It pays back what it took through the overflow instead.
    return !rc->scene_cut;
}
