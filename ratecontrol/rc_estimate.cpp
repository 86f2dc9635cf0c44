// The qscale of a picture under the average-bitrate paths: one-pass ABR and
// CRF from the rate equation on the lookahead cost with overflow control, the
// second pass from its plan corrected by the bits actually spent, and B
// pictures from the QPs of their two nearest references.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "encoder/picture_types.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/rc_twopass.h"

namespace {

// Until the first picture has been collected, a picture of a kind not seen yet
// is planned as if it were coded as intra pictures are at their most expensive
// (START_COEFF x lookahead cost / qscale; once the first intra picture's size
// is known, as it was coded), and within this many times the per-picture rate
// (I, P, B).
// Its true size is unknown by a factor of 100 either way (noise and film grain
// against clean pans of the same lookahead cost); a start that assumed the
// cheap end would spend the second's budget several times over before the
// first picture finishes.
constexpr double START_COEFF = 2.0;
constexpr double START_SHARE_I = 16.0;
// An intra picture that the tree says later pictures lean on (a pan, a zoom,
// a cut between photographs) is bounded by up to this much more of the rate
// (share x (1 + gain x lean)): everything after it predicts from it. Held at
// the costliest content's share, the first picture of a slow pan at
// 1280x720 and 1500 kbit/s was coded at QP 32.8 where the rate equation put
// it at 27.4; with this, the pan's 60 pictures at 500-4000 kbit/s gained
// 0.5-1.1 dB and the cut's 0.5-1.0 dB. Noise and grain, which nothing after
// them predicts, keep the bound (without it, temporal noise at 1500 kbit/s
// ended 105 % over its target); and with no bound on the intra picture at
// all, the zoom's at 500 kbit/s took half of a 60-picture stream's bits. The
// first pass keeps the bound: the second pass plans the whole stream from
// its statistics, and planned from a finer first picture, the pan at 500
// kbit/s ended 5.6 % under its target (4.1 % so).
constexpr double START_LEAN_GAIN = 0.5;
// The rate equation's first qscale follows from a starting complexity that
// grows with the square root of the lookahead's block count, where a
// picture's bits at one qscale grow with about the 0.75th power of its area
// (smaller pictures of one scene carry more detail per sample). Below
// 1280x720 the first picture of one pass is therefore coded as if its
// equation had been scaled from 1280x720 by that power: at 320x180 it
// started 12 QPs coarser than at 1280x720 for the same bits per sample, and
// everything after it predicted from a picture several QPs too coarse. 60
// pictures at 320x180 gained 0.64 dB on average over both corpora's
// average-bitrate tables with and without a buffer (mean error 6.97 ->
// 5.57 %; a still photograph with grain at 31 kbit/s +2.0 dB, a slow pan
// +0.8-1.7, a cut at 250 kbit/s +1.9; temporal noise at 94 kbit/s -0.4),
// 640x360 0.10 dB over 150 pictures and 0.07 over 300. Larger pictures
// keep the equation's start: at
// 1920x1080, starts 3 QPs finer or coarser moved natural and synthetic
// clips in opposite directions. Scaling the starting complexity itself,
// which the P pictures after it follow too, also gained 0.67 dB but put
// temporal noise at 94 kbit/s 12 % over its target (6.6 % so). The first
// pass starts so too: from the equation's start its first pictures were
// coded so coarse (QP 43-51) that the second pass, planning them 14-18 QPs
// finer, took 3 to 4 times the size its estimate gave them (the cut at
// 640x360 and 125 kbit/s over 60 pictures: 40.6 % over its target, 25.9 %
// so; the pan of 6 samples a picture at 320x180 and 31 kbit/s 11.0 %, -3.9
// % so). Over both corpora's two-pass tables the mean error fell from 1.94
// to 1.81 % at 320x180 (PSNR-Y 0.11 dB higher), from 3.14 to 2.61 % at
// 640x360 over 60 pictures and from 0.54 to 0.46 % over 300.
constexpr double START_AREA_EXPONENT = 0.75;
constexpr double START_ANCHOR_BLOCKS = 80.0 * 45.0;
constexpr double START_SHARE_P = 5.0;
constexpr double START_SHARE_B = 2.0;
// The second pass corrects the error its pictures have left over what its plan
// still has to code, but over no less than this many seconds of the rate (the
// last pictures are not asked to make up for the whole stream). Over two
// seconds, as before, a short stream kept most of its error to its end (pans
// 17-31 % below their targets); a picture that the correction would make
// costlier than a mini-GOP's worth is held back by its size instead (see
// second_pass_qscale).
constexpr double PASS2_MIN_BUFFER_SECONDS = 0.1;
// How steeply the second pass assumes at least that a picture's size climbs
// as its qscale falls below that of the latest picture of its kind (size ~
// qscale^-3). Its plan may ask for a fall of many QPs from a first-pass
// picture coded nearly all skipped, where one pass moves by a few; with the
// square of one pass, such pictures came out at up to 24 times their plan
// (zoom at 500 kbit/s 14 % over its target, mandelbrot at 1500 19 %).
constexpr double PASS2_DESCENT_ELASTICITY = 3.0;
// How far the correction of the error left may lower the second pass's plan
// qscale: by three QPs in general, by a quarter on the last anchor picture of
// the stream, after which only its B pictures are left to spend what the
// stream still owes. With a quarter there, short streams that fell behind
// ended short (a still scene with grain 21 % below its target at 1500
// kbit/s, a cut 7.5 %); the fall stays bounded by the picture's size as
// below. Elsewhere the plan knows the whole stream and the correction only
// its past: allowed six QPs, the bits a slow pan at 500 kbit/s (60 pictures
// at 720p) had left went to one P picture, coded 6 QPs below its plan and
// taking 0.32 of the stream's bits from a reference 6 QPs coarser, and the
// rest of the stream was starved (37.97 dB; 38.77 with three QPs).
constexpr double PASS2_MAX_RISE = 1.41421356;
constexpr double PASS2_LAST_ANCHOR_MAX_RISE = 4.0;
// How far the correction may raise it: by four times. An intra picture that
// took most of a short stream's budget (a still photograph with grain at 500
// kbit/s, 60 pictures at 720p: 0.86 of 1.0 Mbit, planned at 0.42) left the
// anchors after it to spend almost nothing; held to twice their plan
// qscales, whose sizes the steeper estimate now gets right, they ended the
// stream 7.6 % over its target (-1.9 % so; three times left the same rows
// of the 2pass tables beyond 5 %, five times one more).
constexpr double PASS2_MAX_FALL = 4.0;
// An intra picture that the plan expects to take more than this share of
// the stream's bits is coded at most this many QPs finer than in the first
// pass. So far from it the estimate's size is unknown by a factor of two
// or three: a still photograph with grain at 500 kbit/s (60 pictures at
// 720p), its intra picture planned 15 QPs finer than the first pass's at
// 0.47 of the stream, took 1.07 of it (18 % over its target; 2.3 % so),
// where clean photographs planned 9-10 QPs finer took what was planned.
// Where the picture's share is smaller the stream after it absorbs the
// error: a cut at 125 kbit/s (300 pictures at 640x360) whose first-pass
// start coded its intra picture at QP 43 needed it 17 QPs finer (0.5 dB
// lost when held to 12).
constexpr double PASS2_INTRA_SHARE_GUARDED = 0.35;
constexpr double PASS2_INTRA_MAX_DESCENT_QP = 12.0;
// An intra picture of the second pass after its first is coded no finer
// than where the latest intra picture of the pass, its size moved by their
// lookahead costs and climbing at least as PASS2_DESCENT_ELASTICITY
// assumes, would take this many times what the plan expects of it. The plan
// moves each first-pass size by the same slope, and on grain two intra
// pictures coded a few QPs apart in the first pass part by far more: the
// lookahead's cut on heavy grain (1920x1080, 60 pictures) came 4.5 QPs
// coarser than the first intra picture there, at a sixth of its size; the
// plan put both at one QP, expected 2.2 Mbit of the first and 0.62 of the
// cut, and the cut took 1.73 Mbit (3375 kbit/s: 14.9 % over the target,
// 1.0 % so; 9000 kbit/s 8.3 % over, 0.4 % under). Bounded at the plan's
// size itself, periodic keyframes whose plans were right came coarser
// (the overlay at 640x360 and 375 kbit/s with a keyframe every 48 pictures:
// 1.2 % -> 4.8 % under); at twice, the cut took 1.19 Mbit (+6.7 %).
constexpr double PASS2_INTRA_SEEN_SHARE = 1.5;
// A P picture of the second pass is coded no more than this many QPs finer
// than the finest anchor since the latest intra picture. Nothing it predicts
// from was coded finer: below, it pays again for the detail its references
// lost, where the size bound assumes it climbs from the latest P picture as
// the cube of the qscale. The cut (1920x1080, 1125 kbit/s, 60 pictures) fell
// 355 kbit behind its plan and its last P picture, 5.8 QPs under the
// latest, took 576 kbit where the bound put it at 355 (9.9 % over the
// target; 1.3 % under so). Four QPs held it at 20.7 and the stream ended
// 11 % under.
constexpr double PASS2_REFRESH_FALL_QP = 6.0;
// The plan's last anchor may grow to what the stream has left but to no
// less than this share of a mini-GOP's worth of bits. With a whole
// mini-GOP's worth as the least, a stream near its plan let the last anchor
// take several times its room: the pan of 6 samples a picture at 640x360
// and 375 kbit/s, with 37 kbit left, coded its last P picture 5 QPs under
// the latest at 128 kbit and ended 11.9 % over its target (2.2 % so). Over
// the two-pass tables at 320x180 to 1920x1080 the rows beyond 5 % went from
// 22 to 19 (the cut at 720p and 1500 kbit/s +6.7 -> 0.0 %, the fast pan at
// 500 kbit/s +6.5 -> -1.2 %, the fade at 640x360 and 125 kbit/s +5.2 ->
// +1.1 %; the slow pan at 720p and 500 kbit/s -1.7 -> -5.7 %, the overlay
// -4.0 -> -5.9 %). With the room alone as the bound, the same rows moved
// and streams ended up to 3 points further under.
constexpr double LAST_ANCHOR_MIN_GOP_SHARE = 0.5;

// The rate equation assumes a picture's size halves as its qscale doubles.
// Where its kind's predictor has learned a steeper fall (elasticity e), the
// equation's own share (qscale x bits) shrinks as the qscale rises, and its
// next qscale swings back past where it started: P pictures of slow pans
// alternated by 4-7 QPs, the falls cost up to 3.7 times their plans, and 300
// pictures ran 2-13 % over their target. The qscale it asks for is therefore
// moved from the predictor's anchor by only the e-th root of its ratio, so
// that the size moves as the equation meant. While the stream is below its
// budget over its first seconds, the estimate is still falling from a start
// several QPs too coarse and falls at full speed: the learned slope comes in
// from ELASTIC_START_SECONDS on, fully this many seconds later (applied at
// once, 60-picture pans ended 2-5 points further below their targets).
constexpr double ELASTIC_START_SECONDS = 2.0;
constexpr double ELASTIC_RAMP_SECONDS = 2.0;
// A B picture under average bitrate takes no more than a mean picture's
// bits and a quarter while the stream is over its budget. Its QP follows its
// references', and on grain and noise, where a few QPs part skipping the
// grain from coding it, the B pictures that followed an anchor across that
// edge came in at 30 to 100 times their plans (a still photograph with grain
// at 4000 kbit/s, 60 pictures at 720p, 22 % over its target; mandelbrot at
// 1500 kbit/s 13 %). The bound is where the latest B picture of its kind
// would grow to that size, sizes climbing at least with the square of the
// falling qscale, or where its predictor expects it (the latest may have been
// skipped almost whole). Three quarters of a mean picture held a clean
// synthetic clip 13 % below its target, one mean picture raised a
// 300-picture pan from 2.6 % to 5.5 % over its target (its first B pictures
// after each P take more), one and a half let mandelbrot through again. A
// stream below its budget leaves its B pictures free: near QP 12, where a
// cheap photograph needs its B pictures to reach the target, the bound held
// 300 pictures of the cut at 1000 kbit/s 7.7 % short.
constexpr double B_SHARE_PICTURES = 1.25;
constexpr double B_DESCENT_ELASTICITY = 2.0;
// In the second pass a B picture may also take what the plan gave it (this
// many times its planned bits): the plan has already shared the whole
// stream's budget out, and where a scene is complex it puts B pictures far
// above a mean picture. Held to the mean-picture bound alone, the first scene
// of a cut at 1000 kbit/s (300 pictures at 640x360) coded B pictures planned
// at 50-180 kbit 2-5 QPs coarser than planned, fell 0.7 Mbit behind its
// plan, and the correction spent that on the easy second scene (41.61 dB
// there against 42.05 with a constant rate factor, 48.41 against 47.45).
// With its plan's size, the first scene's B pictures took 4.55 Mbit instead
// of 4.13 and the stream 43.85 dB instead of 43.80. The grain the bound was
// made for stays bounded: those B pictures were planned at 1-2 kbit. Twice
// the plan left the cut at 43.84 dB.
constexpr double B_PLAN_SHARE = 1.0;

// An intra picture that takes its QP from the recent P pictures (a key frame
// in the middle of a stream) falls from the QP at which the latest intra
// picture was coded by at most what brings it to this many pictures' worth
// of the rate. A key frame after a slow pan, three QPs below its P pictures,
// took 1.2 seconds' worth and left a 300-picture stream 9 % over its target.
constexpr double KEYFRAME_SHARE = 16.0;
// A key frame near the stream's end is coded where it takes what the stream
// has left, with its size taken to fall only as fast as its qscale rises:
// there is no rate ahead to pay its overrun back, and its QP follows the P
// pictures, three QPs finer. A periodic key frame 8 or 12 pictures before
// the end (640x360, 60 pictures, 375 and 1000 kbit/s, `--idr 52` or 48) left
// two pans and the overlay 14-27 % over their targets in average bitrate
// (0.6-9.6 % under so) and 9-21 % over under a buffer (6.7 % under to 2.3 %
// over so; a pan that ended 0.7 % under now ends 6.3 % under); the
// lookahead's cut on heavy grain (1920x1080 at 3375 kbit/s, picture 56 of
// 60) took 2.7 Mbit and left the stream 37.6 % over (1.0 % under so).
// Sizes taken to fall faster (an exponent of 1.5 or 2) left those streams
// up to 5 and 10 % over. Where what is left would let it go finer than the
// latest intra picture, the descent's steeper climb bounds it: under a
// buffer that cut, planned so by the plain slope, took 1.9 Mbit where 1.1
// were left (15.4 % over the target; 9.8 % so).
constexpr double KEYFRAME_END_ELASTICITY = 1.0;

// Once the stream has settled (past its first seconds, whose QPs fall from a
// start several steps too coarse), average bitrate without a buffer bounds
// the fall of an anchor also from the largest recent picture of its kind
// (rc_peak_floor), as a buffer does, not only from the latest: a P picture of
// a fast pan that found an exact match in an older reference, which the
// lookahead's cost does not see, coded to 6 kbit of a 100 kbit mini-GOP,
// and the next P, its fall bounded from that picture alone, took 393 kbit
// (300 pictures at 640x360, 375 and 1000 kbit/s: 5.1 % over their targets,
// 2.3 and 0.9 % so). From the first picture on, the peaks of the coarse start
// held 60-picture streams 11-18 % under their targets; under a buffer it
// held a slow pan 6 % under at 125 kbit/s, where the buffer bounds the fall
// already.
constexpr double PEAK_START_SECONDS = 2.0;
constexpr double PEAK_DESCENT_ELASTICITY = 2.0;

// The bits of a mini-GOP at the target rate: the most a picture's fall in
// QP may be expected to cost, in one pass and in the second.
double mini_gop_bits(const ratecontrol *rc, const internal_config *cfg)
{
    return (cfg->bframes + 1) * rc->bitrate / rc->fps;
}

char class_letter(int32_t cls)
{
    return cls == slice_i ? 'i' : (cls == slice_p ? 'p' : 'b');
}

double abs_ip_ratio(const internal_config *cfg)
{
    double r = std::fabs((double)cfg->ip_ratio);
    return r > 0.0 ? r : 1.0;
}

double pb_offset_of(const ratecontrol *rc, int32_t layer)
{
    return rc->pb_offset[std::min(std::max(layer - 1, 0), 2)];
}

int32_t lookahead_cost_of(ratecontrol *rc, const internal_config *cfg)
{
    const rc_picture *p = &rc->pic;
    return lookahead_rc_cost(cfg, p->source, p->recon, p->ref0, p->ref1);
}

double qp_of_floor(const ratecontrol *rc)
{
    double floor = rc_seen_qscale_floor(rc);
    return floor > 0.0 ? rc_qscale_to_qp(floor) : -HUGE_VAL;
}

// The QP below which a picture of a kind not yet seen is not coded before the
// first picture has been collected (-inf once it has, or without a cost).
double start_qp(const ratecontrol *rc, double share)
{
    const ratecontrol *first = rc_first(rc);
    if (first->collected > 0 || rc->frame_satd <= 0 || first->seen[rc_frame_pred_index(&rc->pic)].qscale > 0.0)
        return -HUGE_VAL;
    // Once the first intra picture's size is known, its own bits x qscale /
    // cost stands in for the estimate: noise and grain show there already.
    const rc_kind_seen *intra = &first->seen[slice_i];
    double k = START_COEFF;
    if (intra->bits > 0.0 && intra->cost > 0.0) k = intra->bits * intra->qscale / intra->cost;
    return rc_qscale_to_qp(k * rc->frame_satd / (share * rc->bitrate / rc->fps));
}

// The factor on the first picture's qscale (see START_AREA_EXPONENT).
double start_area_scale(const ratecontrol *rc, int32_t cls)
{
    if (cls != slice_i || rc->pic.coding_number != 0) return 1.0;
    double blocks = (double)rc->cost_cols * (double)rc->cost_rows;
    return std::min(std::pow(blocks / START_ANCHOR_BLOCKS, START_AREA_EXPONENT - 0.5), 1.0);
}

// What the pictures in flight that were started before this one are expected
// to add: bits, and their shares of the rate equation's complexity sum.
struct in_flight_sums {
    double bits = 0.0;
    int32_t count = 0;
    int32_t in_equation = 0;  // of count, the pictures that join the rate equation
    double complexity = 0.0;
};

in_flight_sums pictures_in_flight(const ratecontrol *rc, const internal_config *cfg)
{
    const ratecontrol *first = rc_first(rc);
    in_flight_sums sums;
    for (int32_t i = 0; i < rc->record_count; i++) {
        const ratecontrol *other = first + i;
        if (other == rc || !other->in_flight || !other->size_planned) continue;
        if (other->pic.coding_number >= rc->pic.coding_number) continue;
        // A picture whose size is known counts with it; one whose kind has
        // not been seen yet with the mean rate (the predictor's start values
        // know nothing of the content); the others as predicted.
        bool known = other->size_known || first->frame_model[rc_frame_pred_index(&other->pic)].anchor_qscale > 0.0f;
        double bits = known ? rc_in_flight_bits(other) : rc->bitrate / rc->fps;
        sums.bits += bits;
        sums.count++;
        if (!rc_in_rate_equation(other)) continue;
        sums.in_equation++;
        double qp = other->size_known ? other->qp_plan_sum / (float)std::max(other->ctu_count, 1) : other->frame_qp_f;
        double share = 0.0;
        if (rc_abr_share(other, cfg, bits, rc_qp_to_qscale(qp), &share)) sums.complexity += share;
    }
    return sums;
}

// The seconds of the rate that the stream has coded once the pictures in
// flight have finished.
double coded_seconds(const ratecontrol *rc, const in_flight_sums *flight)
{
    return (std::max(rc->pic.coding_number - rc->record_count + 1, 0) + flight->count) / rc->fps;
}

// The second pass's bound on a B picture while no B picture of its kind has
// been coded in it (those of the first mini-GOP are all planned before any
// has finished): the size its first-pass line records at its first-pass
// qscale stands in for the latest B picture of its kind. Where the first pass
// coded them almost skipped, far coarser, the plan put them at 1-13 kbit and
// the first mini-GOP of temporal noise at 720p, 1500 kbit/s, took 0.15-0.52
// Mbit per B picture: 3.2 Mbit over 50 pictures whose budget was 2.5, 34 %
// over its target (15 % with this bound; 60 pictures 10.9 % under, 5.8 %).
double first_pass_budget_qscale(const ratecontrol *rc, double budget)
{
    const pass2_entry *e = rc->pass2_current;
    double bits = (double)e->pred_bits + e->resid_bits + e->misc_bits;
    if (!(bits > 0.0) || !(budget > 0.0)) return 0.0;
    return rc_qscale_for_budget(rc, e->qscale_first, bits, budget, B_DESCENT_ELASTICITY);
}

// The finest qscale of a B picture under average bitrate (see
// B_SHARE_PICTURES); 0 before any B picture of its kind has been seen (in the
// second pass, see first_pass_budget_qscale).
double b_size_floor(const ratecontrol *rc)
{
    double budget = B_SHARE_PICTURES * rc->bitrate / rc->fps;
    const pass2_entry *e = rc->two_pass ? rc->pass2_current : nullptr;
    if (e) budget = std::max(budget, B_PLAN_SHARE * rc_entry_bits(e, e->qscale_new));
    double floor = rc_seen_budget_qscale(rc, budget, B_DESCENT_ELASTICITY);
    if (!(floor > 0.0) && rc->two_pass && rc->pass2_current) floor = first_pass_budget_qscale(rc, budget);
    if (rc_kind_learned(rc) && rc->frame_satd > 0) floor = std::max(floor, rc_qscale_for_bits(rc, budget));
    return floor;
}

double b_qp(ratecontrol *rc, const internal_config *cfg)
{
    const rc_picture *pic = &rc->pic;
    const picture *r0 = pic->ref0, *r1 = pic->ref1;
    if (!r0 && !r1) return rc_qscale_to_qp(rc->last_qscale);
    if (!r0) r0 = r1;
    if (!r1) r1 = r0;
    double q0 = r0->qp_plan_avg, q1 = r1->qp_plan_avg;
    if (r0->picture_type == PIC_TYPE_BREF) q0 -= pb_offset_of(rc, r0->layer);
    if (r1->picture_type == PIC_TYPE_BREF) q1 -= pb_offset_of(rc, r1->layer);
    bool i0 = picture_type_is_intra(r0->picture_type), i1 = picture_type_is_intra(r1->picture_type);
    int32_t poc = pic->source->poc;
    double d0 = std::abs(poc - r0->poc), d1 = std::abs(poc - r1->poc);
    double q;
    if (i0 && i1) q = (q0 + q1) * 0.5 + rc->ip_offset;
    else if (i0) q = q1;
    else if (i1) q = q0;
    else q = d0 + d1 > 0.0 ? (d0 * q1 + d1 * q0) / (d0 + d1) : (q0 + q1) * 0.5;
    int32_t layer = pic->recon ? pic->recon->layer : pic->source->layer;
    q += pb_offset_of(rc, layer);
    rc->frame_satd = lookahead_cost_of(rc, cfg);
    if (rc->one_pass_estimate && cfg->rc_mode != RC_MODE_CRF) q = std::max(q, start_qp(rc, START_SHARE_B));
    // Average bitrate keeps B pictures within two QP steps of the finest
    // qscale their kind has been seen at, as it does its anchors (CRF follows
    // its factor).
    if (rc->one_pass_estimate && cfg->rc_mode != RC_MODE_CRF) q = std::max(q, qp_of_floor(rc));
    // The first pass keeps its pace (the second plans from its pictures).
    // The second pass bounds its B pictures whether or not the stream is
    // over its budget: their plans come from first-pass pictures coded at
    // other QPs, and on grain the B pictures after an anchor coded finer than
    // in the first pass came in at 50 to 900 kbit where planned at 1-2 kbit,
    // while the stream was still below its budget (a still photograph with
    // grain at 4000 kbit/s, 60 pictures at 720p: 11.4 % over its target,
    // 1.1 % with the bound).
    bool second = rc->two_pass && rc->pass2_current;
    if ((rc->one_pass_estimate && cfg->rc_mode != RC_MODE_CRF && !cfg->pass1) || second) {
        double floor = second || rc_over_budget(rc, cfg) ? b_size_floor(rc) : 0.0;
        if (floor > 0.0) q = std::max(q, rc_qscale_to_qp(floor));
    }
    rc->qp_novbv = (float)q;
    if (rc->vbv) {
        // B pictures keep to the buffer as every other picture does.
        double s = std::min(rc_vbv_fit_fill(rc, (float)rc_qp_to_qscale(q)), rc->qscale_max[0]);
        q = std::max(q, rc_qscale_to_qp(s));
    }
    rc->frame_size_planned = (int32_t)rc_predict_frame_bits(rc, (float)rc_qp_to_qscale(q));
    rc->size_planned = 1;
    return q;
}

// The bits the second pass's pictures in flight add to those collected: the
// size of each that has finished, the plan's bits at its QP for the others.
double pass2_in_flight_bits(const ratecontrol *rc)
{
    const ratecontrol *first = rc_first(rc);
    double bits = 0.0;
    for (int32_t i = 0; i < rc->record_count; i++) {
        const ratecontrol *other = first + i;
        if (other == rc || !other->in_flight || other->pic.coding_number >= rc->pic.coding_number) continue;
        if (other->size_known) bits += other->known_bits;
        else if (other->pass2_current)
            bits += rc_entry_bits(other->pass2_current, rc_qp_to_qscale(other->pass2_current->pass2_qp));
        else bits += rc->bitrate / rc->fps;
    }
    return bits;
}

// The finest qscale an intra picture of the second pass may take (0 when
// free; see PASS2_INTRA_SHARE_GUARDED).
double intra_descent_floor(const ratecontrol *rc, const pass2_entry *e)
{
    if (e->slice_class != slice_i || !(e->qscale_first > 0.0) || rc->pass2_count <= 0) return 0.0;
    const pass2_entry *last = &rc->pass2_entries[rc->pass2_count - 1];
    double total = (double)last->expected_bits + rc_entry_bits(last, last->qscale_new);
    if (!(rc_entry_bits(e, e->qscale_new) > PASS2_INTRA_SHARE_GUARDED * total)) return 0.0;
    return e->qscale_first / std::pow(2.0, PASS2_INTRA_MAX_DESCENT_QP / 6.0);
}

// The finest qscale of an intra picture of the second pass that the latest
// intra picture coded in it allows (0 for the first; see
// PASS2_INTRA_SEEN_SHARE). The picture's cost must be taken.
double intra_seen_floor(const ratecontrol *rc, const pass2_entry *e, double q)
{
    if (e->slice_class != slice_i) return 0.0;
    return rc_seen_budget_qscale(rc, PASS2_INTRA_SEEN_SHARE * rc_entry_bits(e, q), PASS2_DESCENT_ELASTICITY);
}

// The finest qscale a P picture may be coded at (see PASS2_REFRESH_FALL_QP);
// 0 (free) for the other kinds and before the first intra picture.
double refresh_floor(const ratecontrol *rc, int32_t cls)
{
    double finest = rc_first(rc)->pass2_anchor_finest_qscale;
    if (cls != slice_p || !(finest > 0.0)) return 0.0;
    return finest / std::pow(2.0, PASS2_REFRESH_FALL_QP / 6.0);
}

// Keeps the finest anchor since the latest intra picture, once the qscale
// of the picture is known.
void anchor_finest_keep(ratecontrol *rc, int32_t cls, double q)
{
    ratecontrol *first = rc_first(rc);
    double *finest = &first->pass2_anchor_finest_qscale;
    if (cls == slice_i) *finest = q;
    else if (cls == slice_p && *finest > 0.0) *finest = std::min(*finest, q);
}

// Whether the plan has no anchor (I or P picture) after the entry of this
// coding number.
bool last_anchor_of_plan(const ratecontrol *rc, int32_t coding_number)
{
    for (int32_t i = coding_number + 1; i < rc->pass2_count; i++)
        if (rc->pass2_entries[i].slice_class != slice_b) return false;
    return coding_number < rc->pass2_count;
}

// What the last anchor of the plan may spend: what the stream has left after
// the bits spent and in flight (`spent`), less the plan's bits of the B
// pictures that follow it; 0 for every other picture. Only those B pictures
// are left to make up for a size bound that holds the last anchor to a
// mini-GOP's worth: a still photograph with grain at 1500 kbit/s (60
// pictures at 720p) ended 18.5 % below its target so, 9.7 % with this room.
double last_anchor_room(const ratecontrol *rc, const pass2_entry *e, double spent)
{
    int32_t n = rc->pass2_count;
    if (n <= rc->pic.coding_number || !last_anchor_of_plan(rc, rc->pic.coding_number)) return 0.0;
    const pass2_entry *last = &rc->pass2_entries[n - 1];
    double total = (double)last->expected_bits + rc_entry_bits(last, last->qscale_new);
    double after = total - (double)e->expected_bits - rc_entry_bits(e, e->qscale_new);
    return total - spent - std::max(after, 0.0);
}

// The bits a picture's fall is bounded by (see second_pass_qscale): a
// mini-GOP's worth, and for the plan's last anchor the room the stream has
// left, but no less than LAST_ANCHOR_MIN_GOP_SHARE of a mini-GOP's worth.
double size_bound_bits(const ratecontrol *rc, const internal_config *cfg, const pass2_entry *e, double spent)
{
    double gop = mini_gop_bits(rc, cfg);
    if (!last_anchor_of_plan(rc, rc->pic.coding_number)) return gop;
    return std::max(last_anchor_room(rc, e, spent), LAST_ANCHOR_MIN_GOP_SHARE * gop);
}

// The finest qscale of an anchor that the first pass coded without texture
// (every CTU skipped or nearly so): its plan qscale, except for the plan's
// last anchor (0: free). Such an entry says what the picture costs at the
// first pass's QP, not how it grows finer: its estimate is the same few
// hundred bits at any qscale. A correction that took it finer than its plan
// crossed the edge where the grain is coded, and one P picture of a still
// photograph with grain (320x180 at 31 kbit/s, 60 pictures) took 9.3 kbit
// planned at 0.1; the steepness learned from it then held the P pictures
// after it near their first-pass QPs while the stream fell behind (6.8 %
// below its target, 3.0 % over so; at 94 kbit/s 6.0 % over, 0.8 % under
// so). The last anchor stays free: only it is left to spend what the stream
// still owes (held too, the same still with one working thread ended 27 %
// under its target at 31 kbit/s, 16 % free).
double skipped_entry_floor(const ratecontrol *rc, const pass2_entry *e)
{
    if (e->pred_bits + e->resid_bits > 0 || last_anchor_of_plan(rc, rc->pic.coding_number)) return 0.0;
    return e->qscale_new;
}

// Under a buffer, a picture of a kind the second pass has not coded yet is
// planned no finer than where its first-pass size, climbing as
// PASS2_DESCENT_ELASTICITY assumes, would take what the buffer holds for
// it. Its plan moves the first-pass size by the estimate's slope, and the
// first intra picture, planned 8-9 QPs finer than the first pass coded it,
// took 1.3 to 2.4 times its plan: with 1.25 times the average rate as the
// buffer's rate and size, it ran the buffer dry on its own on the pan of 6
// samples a picture, the zoom and the overlay at 720p (500 kbit/s; by up
// to 91 kbit) and on the cut, the grain and the grainy still at 640x360
// (125 kbit/s). So bounded, none of them ran it dry; the cut at 640x360
// went from 4.6 % over its target to 4.3 % under, and two streams that had
// not run dry came in lower: the pan at 320x180 and 31 kbit/s 0.3 -> 7.4 %
// under, the cut at 720p and 1500 kbit/s 1.1 -> 9.9 % under.
double unseen_kind_vbv_floor(const ratecontrol *rc, const pass2_entry *e, double avail)
{
    double bits = (double)e->pred_bits + e->resid_bits + e->misc_bits;
    if (!rc->kind_unlearned || !(bits > 0.0) || !(e->qscale_first > 0.0) || !(avail > 0.0)) return 0.0;
    return rc_qscale_for_budget(rc, e->qscale_first, bits, avail, PASS2_DESCENT_ELASTICITY);
}

double second_pass_qscale(ratecontrol *rc, const internal_config *cfg, const pass2_entry *e, int32_t cls)
{
    const rc_picture *pic = &rc->pic;
    const ratecontrol *first = rc_first(rc);
    int32_t n = rc->record_count;
    double abr_buffer = 2.0 * rc->rate_tolerance * rc->bitrate;
    double lmin = rc->qscale_min[cls], lmax = rc->qscale_max[cls];
    double predicted = first->total_bits + pass2_in_flight_bits(rc);
    if (rc->pass2_count > pic->coding_number) {
        double last = (double)rc->pass2_entries[rc->pass2_count - 1].expected_bits;
        double pos = last > 0.0 ? (double)e->expected_bits / last : 0.0;
        abr_buffer *= 0.5 * std::max(std::sqrt(std::max(1.0 - pos, 0.0) * rc->pass2_count), 0.5);
        // The error left is spent over what the plan still has to code, at
        // least two seconds of it, so that a short stream ends on target.
        double left = last - (double)e->expected_bits;
        abr_buffer = std::min(abr_buffer, std::max(left, PASS2_MIN_BUFFER_SECONDS * rc->bitrate));
    }
    // The plan still expects the P pictures ahead at sizes their learned
    // steepness no longer gives them (see rc_pass2_plan_overcount): what it
    // overcounts is left for the pictures before them to spend.
    double ahead = rc_pass2_plan_overcount(rc, pic->coding_number);
    double r = abr_buffer > 0.0 ? (abr_buffer - (predicted - (double)e->expected_bits - ahead)) / abr_buffer : 1.0;
    double max_rise = last_anchor_of_plan(rc, pic->coding_number) ? PASS2_LAST_ANCHOR_MAX_RISE : PASS2_MAX_RISE;
    r = std::min(std::max(r, 1.0 / PASS2_MAX_FALL), max_rise);
    double q = e->qscale_new / r;
    // Sizes have moved from the first pass's more steeply than the plan
    // assumes (grain skipped at one QP and coded a few steps finer): the
    // ratio of what finished pictures took to what the estimate, with that
    // steepness, expected of them corrects the plan, and the picture then
    // moves from its first-pass qscale only so far that its size moves as
    // the corrected plan meant. With the plain estimate, the first intra and
    // P pictures of a still photograph with grain (1500 kbit/s, 60 pictures
    // at 720p) took twice and 100 times their plans, the ratio held the
    // middle of the stream 2-6 QPs coarse, and it ended 9.7 % below its
    // target (-3.9 % so).
    double steepness = rc_pass2_steepness(rc, cls);
    double bias = rc_pass2_model_bias(rc);
    if (pic->coding_number - n + 1 >= rc->fps && bias > 0.0) {
        double w = std::min(std::max((double)pic->coding_number / rc->pass2_count * 100.0, 0.0), 1.0);
        q *= std::pow(bias, w);
    }
    q = rc_pass2_steep_qscale(e, q, steepness);
    q = std::max(q, skipped_entry_floor(rc, e));
    // The plan's sizes come from the first pass, whose pictures were coded
    // at other QPs and from other references; below a size cliff (grain,
    // noise) the corrections would push a picture far past what the stream
    // has left. As in one pass, the fall is bounded by what the latest
    // picture of its kind would grow to, at most a mini-GOP's worth of bits
    // (the last anchor: its room), with sizes assumed to climb more steeply.
    // The picture's cost is taken first (for every picture, so that its
    // frame predictor learns from it).
    rc->frame_satd = lookahead_cost_of(rc, cfg);
    double cap = size_bound_bits(rc, cfg, e, predicted);
    q = std::max(q, intra_descent_floor(rc, e));
    q = std::max(q, intra_seen_floor(rc, e, q));
    double sized = rc_size_descent_floor_at(rc, cap, PASS2_DESCENT_ELASTICITY);
    if (sized > 0.0) q = std::max(q, sized);
    q = std::max(q, refresh_floor(rc, cls));
    rc->qp_novbv = (float)rc_qscale_to_qp((double)(float)q);
    if (rc->vbv) {
        // The loop below grows q by 5 % steps; it needs a positive start.
        if (!(q > 0.0)) q = lmin;
        double avail = (double)rc->vbv_fill_planned + rc->vbv_frame_bits;
        q = std::max(q, unseen_kind_vbv_floor(rc, e, avail));
        double ev = avail - rc_entry_bits(e, q);
        double f = e->expected_vbv / rc->vbv_size;
        double qmax = std::max((2.0 - f) * q, e->qscale_new);
        if (f < 0.05) qmax = lmax;
        qmax = std::min(qmax, lmax);
        double limit = e->expected_vbv / (1.0 + f);
        while ((ev < limit && q < qmax) || (ev < 0.0 && q < lmax)) {
            q *= 1.05;
            ev = avail - rc_entry_bits(e, q);
        }
    }
    q = std::min(std::max(q, lmin), lmax);
    anchor_finest_keep(rc, cls, q);
    return q;
}

// How much of its kind's learned elasticity the rate equation's qscale for
// the picture follows (see ELASTIC_START_SECONDS).
double elastic_weight(const ratecontrol *rc, double overflow)
{
    if (overflow >= 1.0) return 1.0;
    double t = rc->pic.coding_number / rc->fps;
    return std::min(std::max((t - ELASTIC_START_SECONDS) / ELASTIC_RAMP_SECONDS, 0.0), 1.0);
}

double elastic_qscale(const ratecontrol *rc, double q, double weight)
{
    const frame_size_model *m = &rc_first(rc)->frame_model[rc_frame_pred_index(&rc->pic)];
    double a = m->anchor_qscale;
    if (!(a > 0.0) || !(q > 0.0)) return q;
    double e = 1.0 + weight * (std::max((double)m->elasticity, 1.0) - 1.0);
    return a * std::pow(q / a, 1.0 / e);
}

// The picture's entry for the rate equation: its lookahead cost, and the
// short-term complexity that it joins.
void short_term_entry(ratecontrol *rc, const internal_config *cfg, int32_t cls, pass2_entry *e)
{
    rc->frame_satd = lookahead_cost_of(rc, cfg);
    rc->short_term_cplx_sum *= 0.5;
    rc->short_term_cplx_count *= 0.5;
    double d = std::min(std::max(1.0 / cfg->fps_num, 0.01), 1.0);
    rc->short_term_cplx_sum += rc->frame_satd / (d / 0.04);
    rc->short_term_cplx_count += 1.0;
    e->slice_class = cls;
    e->qscale_first = 1.0;
    e->resid_bits = rc->frame_satd;
    e->blurred_cplx = (float)(rc->short_term_cplx_sum / rc->short_term_cplx_count);
}

// A stream that has spent more than its rate gives corrects the excess over
// this share of the buffer that absorbs a shortfall. After a start below
// the budget, pictures of grain and noise coded finer grow far beyond the
// rate equation's inverse of the qscale, and so do P pictures of pans that
// refer to finely coded pictures; over the full buffer (all the bits wanted
// so far) the overflow pulled a stream 20-30 % over back by about one and a
// half QPs. 60 pictures at 720p: a still photograph with grain at 4000
// kbit/s ended 8.7 % over (13-18 % with one to four working threads), a
// slow pan at 500 kbit/s with one working thread 36 %; with half the
// buffer 5.1 % (7-11 %) and -8.5 %. A shortfall keeps the full buffer:
// halved there too, QPs plunged past the size at which noise stops being
// skipped (testsrc2 with temporal noise at 500 kbit/s, 44 % over). The
// first pass keeps its pace (the second plans from it), and a VBV buffer
// its own bounds (with half the buffer, the same noise at 4000 kbit/s under
// a buffer ran 14 % over instead of 3 %).
constexpr double ABR_OVERRUN_BUFFER_SHARE = 0.5;
// Once the input has ended, the stream's length is known, and an error left
// to a buffer that reaches past the last picture is never made up: the
// buffer is then no larger than the seconds left to code, but never below
// this many seconds of the rate, so that a stream this short keeps its own
// (tighter, the last anchors of 60-picture streams at 720p were pushed past
// their size cliffs: a cut at 500 kbit/s went from +6.9 to +11.5 % with 1.5
// seconds, grain at 1500 kbit/s from -2.1 to +17.1 % with one). 300 pictures
// at 640x360: mean error 1.81 -> 1.49 % (one working thread 2.33 -> 1.44,
// under a buffer 2.24 -> 1.45), a still photograph with grain at 125 kbit/s
// -7.0 -> -5.4 %, at 1000 under a buffer +6.9 -> +2.1 %.
constexpr double ABR_END_BUFFER_SECONDS = 2.0;

// How far the bits spent, with those in flight, run over the bits wanted by
// now, as a factor on the qscale (1 while nothing can be measured).
double abr_overflow(const ratecontrol *rc, const internal_config *cfg, const in_flight_sums *flight)
{
    double overflow = 1.0;
    if (rc->frame_satd != 0) {
        double spent = rc_first(rc)->total_bits + flight->bits;
        double t = coded_seconds(rc, flight);
        double wanted = t * rc->bitrate;
        double abr_buffer = 2.0 * rc->rate_tolerance * rc->bitrate;
        if (wanted > 0.0 && abr_buffer > 0.0) {
            // The buffer that absorbs the error grows with the time coded;
            // over the first seconds it is no larger than the bits wanted
            // so far (at least a second's worth), so that a short stream
            // corrects its error within its own length.
            double buffer = abr_buffer * std::max(1.0, std::sqrt(t));
            buffer = std::max(std::min(buffer, wanted), rc->bitrate);
            if (rc->pic.stream_pictures > 0 && !cfg->pass1) {
                double left = rc->pic.stream_pictures / rc->fps - t;
                buffer = std::min(buffer, std::max(left, ABR_END_BUFFER_SECONDS) * rc->bitrate);
            }
            if (spent > wanted && !cfg->pass1 && !rc->vbv) buffer *= ABR_OVERRUN_BUFFER_SHARE;
            overflow = 1.0 + (spent - wanted) / buffer;
            overflow = std::min(std::max(overflow, 0.5), 2.0);
        }
    }
    return overflow;
}

// Average bitrate's qscale from the rate equation, leant on the learned
// elasticity and scaled by the overflow, which it also returns.
double abr_qscale(ratecontrol *rc, const internal_config *cfg, const pass2_entry *e, double *overflow)
{
    // The pictures in flight join the sums with their sizes (known or
    // expected), so that a round of frame instances coded since the last
    // finished picture is not left out of the rate equation and the
    // overflow.
    in_flight_sums flight = pictures_in_flight(rc, cfg);
    double complexity = rc->complexity_sum + flight.complexity;
    double wanted_window = rc->wanted_bits_window + flight.in_equation * rc->bitrate / rc->fps;
    double rate = complexity > 0.0 ? wanted_window / complexity : 0.0;
    double q = rc_get_qscale(rc, cfg, e, rate);
    *overflow = abr_overflow(rc, cfg, &flight);
    // A first pass keeps the plain slope: the second pass plans from its
    // statistics, and planned from pictures coded with the learned one,
    // it missed by up to 50 % (noise at 720p, 1500 kbit/s, 6.6 % before).
    if (!cfg->pass1) q = elastic_qscale(rc, q, elastic_weight(rc, *overflow));
    q *= *overflow;
    return q;
}

// What the stream has left to spend once its input has ended: the bits the
// whole stream is given, less those spent and in flight and the B pictures
// after this one at the size of the latest. False while the input goes on,
// and in a first pass, which keeps its own pace.
bool stream_bits_left(const ratecontrol *rc, const internal_config *cfg, double *left)
{
    const rc_picture *pic = &rc->pic;
    if (cfg->pass1 || pic->stream_pictures <= 0) return false;
    const ratecontrol *first = rc_first(rc);
    in_flight_sums flight = pictures_in_flight(rc, cfg);
    double spent = first->total_bits + flight.bits;
    int32_t after = pic->stream_pictures - pic->coding_number - 1;
    double reserve = after * first->seen[slice_b].bits;
    *left = pic->stream_pictures / rc->fps * rc->bitrate - spent - reserve;
    return true;
}

// The fall of an average-bitrate keyframe bounded by its share of the
// rate, 0 where nothing bounds it; near the stream's end, the qscale at
// which it takes what the stream has left (see KEYFRAME_END_ELASTICITY).
double keyframe_sized_floor(const ratecontrol *rc, const internal_config *cfg)
{
    double budget = KEYFRAME_SHARE * rc->bitrate / rc->fps;
    double left = 0.0;
    if (stream_bits_left(rc, cfg, &left) && left < budget) {
        left = std::max(left, rc->bitrate / rc->fps);
        // Finer than the latest intra picture, sizes climb at least as the
        // descent assumes.
        double q = std::max(rc_seen_budget_qscale(rc, left, KEYFRAME_END_ELASTICITY), rc_size_descent_floor(rc, left));
        if (q > 0.0) return q;
    }
    double sized = rc_size_descent_floor(rc, budget);
    // After a scene cut no intra picture of the scene has been
    // seen: the intra predictor, which follows the intra cost
    // across scenes, bounds it instead (a cut keyframe planned at
    // 1.9 Mbit, unbounded, took 1.25 Mbit at 1500 kbit/s).
    if (!(sized > 0.0) && rc_first(rc)->frame_model[slice_i].anchor_qscale > 0.0f && rc->frame_satd > 0)
        sized = rc_qscale_for_bits(rc, budget);
    return sized;
}

// An intra picture's qscale fixed by the ratio to the P pictures before it
// (CRF with the tree: to the rate equation's); false when not fixed so.
bool fixed_intra_qscale(const ratecontrol *rc, const internal_config *cfg, bool crf, double *q)
{
    if (crf && cfg->mbtree) {
        *q /= abs_ip_ratio(cfg);
        return true;
    }
    if (!(cfg->idr_period > 1 && rc->last_non_b_type != slice_i && rc->accum_p_norm > 0.0)) return false;
    *q = rc_qp_to_qscale(rc->accum_p_qp / rc->accum_p_norm) / abs_ip_ratio(cfg);
    // Average bitrate takes the latest P picture's qscale instead of
    // the running mean of all P QPs: over a short stream that mean
    // still holds the start-up, several QPs coarser than where the
    // estimate has fallen to since (a cut 25 pictures into a 720p
    // clip at 500 kbit/s took QP 42.2 from it while its P pictures
    // were at 38.7, and the new scene started that coarse: 28.7 %
    // below the target, 15.5 % so).
    if (!crf && !cfg->pass1) *q = rc->last_qscale_for[slice_p] / abs_ip_ratio(cfg);
    if (!crf && !cfg->pass1) {
        double sized = keyframe_sized_floor(rc, cfg);
        if (sized > 0.0) *q = std::max(*q, sized);
    }
    return true;
}

// What the picture the stream ends on may take once the input has ended
// (0 for any other picture): the bits the whole stream is given, less those
// spent and in flight and the B pictures still to come at the size of the
// latest one. Nothing after it can make up its error: the last P picture of
// temporal noise (320x180, 250 kbit/s, 60 pictures), planned at 77 kbit
// where 40 were left, took 89 and ended the stream 12.3 % over its target
// (3.9 % with this bound). Where its kind's plans have turned out smaller
// than planned, the room grows by as much: without, a slow pan's last P
// picture (320x180, 100 kbit/s), expected by the size bound at 17 kbit,
// took 6.6 and the stream ended 5.3 % under (+0.4 % so). Over both
// corpora's average-bitrate tables the mean error fell at 320x180 (5.90 ->
// 5.77 %), 640x360 over 300 pictures (1.49 -> 1.36 %) and 1280x720 (3.93 ->
// 3.59 %, the grainy still at 1500 kbit/s +7.4 -> -2.9 %), within 0.004 dB.
double stream_end_room(const ratecontrol *rc, const internal_config *cfg)
{
    const rc_picture *pic = &rc->pic;
    double left = 0.0;
    if (!rc_last_of_stream(pic) || !stream_bits_left(rc, cfg, &left)) return 0.0;
    const ratecontrol *first = rc_first(rc);
    double turned_out = std::min(first->plan_scale[rc_frame_pred_index(pic)], 1.0);
    return std::max(left / turned_out, rc->bitrate / rc->fps);
}

// A picture not fixed by another kind's: average bitrate keeps it within
// steps of the latest picture of its kind; CRF's first picture starts from
// the CRF's QP.
double stepped_qscale(const ratecontrol *rc, const internal_config *cfg, int32_t cls, bool crf, double overflow,
                      double q)
{
    const rc_picture *pic = &rc->pic;
    if (pic->coding_number > 0 && !crf) {
        double lmin = rc->last_qscale_for[cls] / rc->qscale_step;
        double lmax = rc->last_qscale_for[cls] * rc->qscale_step;
        if (overflow > 1.1 && pic->coding_number > 3) lmax *= rc->qscale_step;
        else if (overflow < 0.9) lmin /= rc->qscale_step;
        // Once a picture of its kind has been seen, the fall is bounded by
        // size rather than by QP steps: the steps hold pictures that cost
        // little far above their share for many mini-GOPs. A stream below
        // its budget lets the fall take more, up to twice a mini-GOP's
        // bits as the overflow factor falls to its least: held to one
        // mini-GOP while its P pictures came in at a third to a half of
        // their plans, a cut at 500 kbit/s under a buffer ended 52 %
        // short, and 300 pictures of a slow pan 7 % (46 % and 5 % so).
        // The first pass keeps its pace.
        double behind = cfg->pass1 ? 1.0 : std::min(overflow, 1.0);
        double budget = mini_gop_bits(rc, cfg) / behind;
        double room = stream_end_room(rc, cfg);
        if (room > 0.0) budget = std::min(budget, room);
        double sized = rc_size_descent_floor(rc, budget);
        bool settled = pic->coding_number >= PEAK_START_SECONDS * rc->fps;
        if (settled && !cfg->pass1 && !rc->vbv) sized = std::max(sized, rc_peak_floor(rc, budget, PEAK_DESCENT_ELASTICITY));
        if (sized > 0.0) lmin = sized;
        // The stream's last P picture falls at most one QP step below its
        // reference: nothing after it can make up an overshoot, and coded far
        // finer than its reference it codes again all that its reference left
        // out, which the sizes of P pictures near their references' QPs do not
        // foresee. The cut at 1280x720 and 1500 kbit/s, behind its rate at the
        // end, planned its last P picture 5 QPs under a reference that had
        // taken 7.5 kbit: it took 607 kbit and the stream ended 10.7 % over
        // (-5.2 % so); grain at 500 kbit/s the same (+36 %, +0.6 % so).
        if (room > 0.0 && cls == slice_p && pic->ref0)
            lmin = std::max(lmin, rc_reference_step_qscale(rc));
        if (q < lmin) q = lmin;
        else if (q > lmax) q = lmax;
        // The stream's last anchor spends what the stream has left, down to
        // the bounds above: the rate equation plans it for a stream that
        // goes on, and whatever it leaves is lost. The cut at 320x180 under
        // a buffer at 250 kbit/s ended 9.7 % under its target (-1.3 % so),
        // at 31 kbit/s 9.0 % (-4.2 %); over both corpora's average-bitrate
        // rows, with and without a buffer, the mean error fell at 320x180
        // (5.72 -> 5.24 %), at 640x360 over 300 pictures (1.42 -> 1.40 %)
        // and at 1280x720 (5.86 -> 5.76 %), no row further from its target
        // by more than 0.3 points.
        if (room > 0.0) {
            double spend = rc_qscale_for_bits(rc, room);
            if (spend > 0.0) q = std::min(q, std::max(spend, lmin));
        }
    } else if (pic->coding_number == 0 && crf && rc->qcompress != 1.0) {
        q = rc_qp_to_qscale(cfg->crf) / abs_ip_ratio(cfg);
    }
    return q;
}

double one_pass_qscale(ratecontrol *rc, const internal_config *cfg, int32_t cls)
{
    bool crf = cfg->rc_mode == RC_MODE_CRF;
    double overflow = 1.0;
    pass2_entry e = {};
    short_term_entry(rc, cfg, cls, &e);
    double q = crf ? rc_get_qscale(rc, cfg, &e, rc->crf_factor) : abr_qscale(rc, cfg, &e, &overflow);
    bool fixed_intra = cls == slice_i && fixed_intra_qscale(rc, cfg, crf, &q);
    if (!fixed_intra) q = stepped_qscale(rc, cfg, cls, crf, overflow, q);
    if (!crf) {
        q *= start_area_scale(rc, cls);
        double lean = cls == slice_i && !cfg->pass1 ? rc_tree_lean(rc, cfg, rc->pic.source) : 0.0;
        double start = start_qp(rc, cls == slice_i ? START_SHARE_I * (1.0 + START_LEAN_GAIN * lean) : START_SHARE_P);
        if (start > -HUGE_VAL) q = std::max(q, rc_qp_to_qscale(start));
    }
    if (!crf) q = std::max(q, rc_seen_qscale_floor(rc));
    rc->qp_novbv = (float)rc_qscale_to_qp((double)(float)q);
    return rc_vbv_clip_qscale(rc, cfg, cls, q);
}

// Zero latency codes its lowest P layer finer by taking 1.0 off the qscale
// itself: about one QP near QP 35 and two near 26, but five near 20, where
// the rate is high. Average bitrate takes off at most what it takes near 26:
// further down the lowest layer ran the streams over their targets, the
// overflow pulling each next picture back only for the tuning to lower it
// again (1280x720, 60 pictures: pan16 at 1500 kbit/s under a buffer +23.8 %,
// the cut at 1500 without one +21.0 %; +5.8 and +12.0 % so). Over both
// corpora's zero-latency rows the mean error fell from 7.2 to 5.6 % at
// 1280x720 (under a buffer 6.5 to 4.5 %) and from 2.2 to 1.9 % over 300
// pictures at 640x360 (3.9 to 3.1 %), and stayed at 4.8-4.9 % (3.6 %) at
// 320x180; PSNR-Y 0.01-0.06 dB lower with the bits.
constexpr double LOWEST_LAYER_MAX_FALL = 2.0;

double lowest_layer_qscale(const internal_config *cfg, bool second, double q)
{
    double lowered = q - 1.0;
    if (second || cfg->rc_mode != RC_MODE_ABR) return lowered;
    return std::max(lowered, q / std::pow(2.0, LOWEST_LAYER_MAX_FALL / 6.0));
}

}  // namespace

bool rc_over_budget(const ratecontrol *rc, const internal_config *cfg)
{
    in_flight_sums flight = pictures_in_flight(rc, cfg);
    return rc_first(rc)->total_bits + flight.bits > coded_seconds(rc, &flight) * rc->bitrate;
}

float rc_estimate_qscale(ratecontrol *rc, const internal_config *cfg)
{
    const rc_picture *pic = &rc->pic;
    int32_t cls = std::min(std::max(pic->slice_class, 0), 2);
    pass2_entry e = {};
    bool second = rc->two_pass && rc->pass2_current;
    if (second) {
        e = *rc->pass2_current;
        if (e.slice_class != cls)
            fprintf(stderr, "frame %d: Frame type of 2nd pass stats is %c. Use %c instead!\n",
                    pic->source->frame_number, class_letter(e.slice_class), class_letter(cls));
    }
    if (cls == slice_b) return (float)rc_qp_to_qscale(b_qp(rc, cfg));
    double q = second ? second_pass_qscale(rc, cfg, &e, cls) : one_pass_qscale(rc, cfg, cls);
    // Latency tunings start low and keep anchors low, in qscale.
    double ipr = abs_ip_ratio(cfg);
    if (cfg->latency_mode == LATENCY_ZERO || cfg->latency_mode == LATENCY_LOW_DELAY) {
        if (pic->coding_number == 0) q /= ipr;
        if (cls == slice_i) q -= 0.5 * rc->ip_offset;
        else if (cfg->latency_mode == LATENCY_ZERO && pic->source->p_layer == 0) q = lowest_layer_qscale(cfg, second, q);
        // Lowered after the buffer fitted it, the first intra picture (CRF
        // 23, grain at 640x360) came to the finest QP and took 997 kbit of
        // a 1000 kbit buffer that held 900: the lowered qscale keeps within
        // the share of the planned fill that one picture may take. (Fitted
        // again by every rule of the buffer, the cut under zero latency with
        // one working thread ran a 150 kbit buffer dry once in 120 pictures.)
        if (!second && rc->vbv) q = rc_vbv_fit_fill(rc, std::max(q, rc->qscale_min[cls]));
    }
    rc->last_qscale = q;
    rc->last_qscale_for[cls] = q;
    if (!rc->two_pass && pic->source->frame_number == 0) rc->last_qscale_for[1] = ipr * q;
    if (rc->vbv && rc->vbv_small)
        rc->frame_size_planned = rc->vbv_frame_bits;
    else
        rc->frame_size_planned = q > 0.0 ? (int32_t)rc_predict_frame_bits(rc, q) : 0;
    rc->size_planned = 1;
    return (float)q;
}
