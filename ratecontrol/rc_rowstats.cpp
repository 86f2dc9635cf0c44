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

// CTUs whose bits the wave sums of (x, y) hold: row y up to x and each row
// above one CTU further, up to the last column.
int32_t wave_ctus(const rc_rowstats *s, int32_t x, int32_t y)
{
    int32_t n = 0;
    for (int32_t j = 0; j <= y; j++) n += std::min(x + j, s->cols - 1) + 1;
    return n;
}

// The picture's size with each CTU not yet coded taking the mean bits of
// those coded. The lookahead cost misses where a picture's bits go when its
// references were coded far coarser than it is (the new scene after a cut,
// whose first P picture ran into its bound): the CTUs that it finds cheap
// take 500-1500 bits each at the B pictures' QP while the two CTUs holding
// 70 % of the cost take 150-400.
double counted_size(const rc_rowstats *s, double bits, int32_t coded)
{
    return bits + bits / coded * (double)(s->cols * s->rows - coded);
}

// The spending seen so far speaks for the rest of the picture in proportion
// to the share of the lookahead cost it covers, fully from this share on;
// before, the rest is expected at the target's rate. The first rows say
// little of the rest (sky above a busy street), and a ratio raised on them
// held its QP through the picture.
constexpr double TRUSTED_SHARE = 0.3;

// The target over the picture's projected size.
double observed_ratio(const rc_rowstats *s, double cost, double bits)
{
    double spent = bits / (double)s->target;
    // Nothing spent yet: the picture is as far under its target as it can be.
    if (!(spent > 0.0)) return s->ratio_high;
    double share = std::min(cost / (double)s->cost_total, 1.0);
    double trust = std::min(share / TRUSTED_SHARE, 1.0);
    double rate = trust > 0.0 ? trust * spent / share + (1.0 - trust) : 1.0;
    return 1.0 / (spent + (1.0 - share) * rate);
}

// The target over the picture's size projected from its coded part alone.
double projected_ratio(const rc_rowstats *s, double cost, double bits)
{
    double spent = bits / (double)s->target;
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

// How far under its lower bound a picture's projection may fall before its
// QP is lowered. The lower bound is mostly the target itself, and the
// projection from the first rows is rough; a picture ending a little under
// only leaves the next pictures room, which the picture plan hands out.
constexpr double UNDERSPEND_MARGIN = 1.3;

// The highest ratio under a long bucket (QP -10.8). B pictures planned far
// under their targets climbed to ratios of 3.5 to 6 through their last rows
// while the bucket ran over, and then overshot: on grain 1280x720 at 500
// kbit/s, one second's window, a B picture planned at 5.6 kbit with an upper
// bound of 82 kbit took 98 kbit and ran the bucket dry. A cap of 4 or more
// still let it run dry; one of 2 left the pan16 and the grain 12 to 18 %
// under their rates.
constexpr double LONG_BUCKET_RATIO_MAX = 3.5;

double clamp_around(double r, double ref)
{
    return std::min(std::max(r, RATIO_FALL * ref), RATIO_RISE * ref);
}

// The lowest ratio the upper bound asks for (QP +12). The frame size
// predictors learn a picture's size at its mean CTU QP, which CTUs far above
// the frame QP pull above the QP that spent the bits, and the next plans then
// come out too low (cut 640x360 at 375 kbit/s, 8-picture bucket: 1/8 left a
// picture that underflowed, 1/4 none).
constexpr double BOUND_RATIO_FLOOR = 0.25;

// The highest ratio of a short bucket's picture that has spent its target
// (QP -2 from its plan); see rc_rowstats_ctu_ratio.
constexpr double SPENT_RATIO_MAX = 1.26;

// The highest ratio of a short bucket's picture whose size counted from its
// CTUs' mean has reached its target (its plan's QP); see
// rc_rowstats_ctu_ratio.
constexpr double COUNTED_RATIO_MAX = 1.0;

// The share of its upper bound a picture spends before its projection past
// the bound is acted on. Many pictures are planned at their bound and end a
// little over it, which the bucket absorbs; holding every one of them to it
// took the rate under the target (zoom 320x180 at 100 kbit/s, 8-picture
// bucket: 89.0 kbit/s acting on the projection alone, 95.5 from this share).
constexpr double BOUND_SPENT_SHARE = 0.6;

// The fill the bucket holds, whose miss nothing absorbs, is acted on from
// BOUND_SPENT_SHARE of it, and from this share where the picture's size
// counted from its CTUs' mean passes it too. A picture of few CTUs spends
// much of its fill in one: the first intra picture of a 10-picture bucket
// (mandelbrot 320x180, 15 CTUs, at 60 kbit/s) had spent 45 % of its 21.6
// kbit fill when its centre CTU took another 40 %, and took 23.2 kbit acted
// on from 0.6 alone (21.0 so). The cost projection alone says too much this
// early: acted on from the first CTUs, it held a P picture of the zoom to
// 200 kbit of a 500 kbit fill (1280x720 at 1500 kbit/s, 10-picture bucket;
// 240 so, and the clip 0.31 dB lower); from this share, the cut's first
// intra picture, projected at 400 kbit from a quarter of its cost and
// counted at 298, to 237 kbit of a 338 kbit fill (640x360 at 375 kbit/s,
// one second's bucket; 283 so, and the clip 0.33 dB lower).
constexpr double FILL_SPENT_SHARE = 0.3;

// The ratio at which the rest of the picture keeps within `bound` (its
// upper bound, or the fill the bucket holds), or 0 while the projection
// does: the rest projected at the rate of the coded part, trusted as in
// observed_ratio, scaled from the ratio of the latest CTUs. (Projecting it
// at the rate of the CTU's row when that is higher held more pictures within
// their bounds but cost up to 2.6 dB on the cut.)
// Under a short bucket, once the CTUs left, at the mean bits of those coded,
// would take it past the bound, the rest goes to the lowest ratio at once
// (a long one absorbs the miss; see rc_rowstats_ctu_ratio): the rows below the
// CTU are coded alongside it, unseen here, and at the ratio the cost
// projection gave they still took the picture 1-3 kbit past bounds of 5-9
// kbit (cut 640x360 at 125 kbit/s, 8-picture bucket).
double bound_ratio(const rc_rowstats *s, double cost, double bits, double counted, double current, double bound)
{
    if (!s->long_bucket && counted > bound) return BOUND_RATIO_FLOOR;
    double share = std::min(cost / (double)s->cost_total, 1.0);
    double trust = std::min(share / TRUSTED_SHARE, 1.0);
    double rate = share > 0.0 ? trust * bits / share + (1.0 - trust) * s->target : (double)s->target;
    double rest = (1.0 - share) * rate;
    if (bits + rest <= bound) return 0.0;
    double left = std::max(bound - bits, 0.0);
    if (!(rest > 0.0)) return BOUND_RATIO_FLOOR;
    return std::max(current * left / rest, BOUND_RATIO_FLOOR);
}

// A CTU of a short bucket's picture coded finer than planned that takes more
// than CLIFF_SHARE of the picture's upper bound beyond its cost share of the
// target has found where the picture's content stops being skipped: the rest
// of the picture is coded no finer than planned (CLIFF_RATIO_MAX, its plan's
// QP). B pictures nearly free at their planned QP raised their ratios to
// 1.5-2.3 (QP -3.5 to -7) over CTUs that took a few bits each, and then
// their last 3-5 CTUs took 0.6-1.9 kbit each (cut and grain 640x360 at 125
// kbit/s, 8-picture bucket: bounds of 3.1-3.5 kbit passed by 1.6-3.8 kbit
// after a run of pictures over theirs, and the bucket ran dry). Those CTUs
// are decided while the wave sums hold under 60 % of the bound (so the
// counted bound does not yet act) and while the CTUs before them still run
// in the rows above, unseen; but the first CTU past the point took 13-25
// times its share of the target a diagonal or more earlier (284 bits for a
// share of 11, 663 for 52). Acting on any CTU, also at the plan's QP, left
// the bucket dry once over the 80 encodes of the constant-bitrate sample;
// at 1/10 of the bound three times, at 1/25 once.
constexpr double CLIFF_SHARE = 1.0 / 16.0;
constexpr double CLIFF_RATIO_MAX = 1.0;

bool past_cliff(const rc_rowstats *s, int32_t i, uint32_t cost, uint32_t bits)
{
    if (s->long_bucket || !(s->ctu_ratio[i] > 1.0)) return false;
    double due = (double)s->target * cost / s->cost_total;
    return (double)bits - due > CLIFF_SHARE * s->upper_bits;
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
    s->wave_cliff = (uint8_t *)aligned_malloc(n);
    s->row_cliff = (uint8_t *)aligned_malloc(n);
    if (!s->wave_cost || !s->row_cost || !s->wave_bits || !s->row_bits || !s->ctu_ratio || !s->wave_cliff ||
        !s->row_cliff) {
        rc_rowstats_delete(s);
        return nullptr;
    }
    std::memset(s->ctu_ratio, 0, (size_t)n * 8);
    std::memset(s->wave_cliff, 0, (size_t)n);
    std::memset(s->row_cliff, 0, (size_t)n);
    s->target = s->upper_bits = s->lower_bits = 1;
    s->ratio_high = s->ratio_low = 1.0;
    s->cost_total = 1;
    s->fill_bits = INT32_MAX;
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
    aligned_free(s->wave_cliff);
    aligned_free(s->row_cliff);
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
    uint8_t cliff = past_cliff(s, i, c, bits) ? 1 : 0;
    s->row_cliff[i] = x > 0 ? (uint8_t)(s->row_cliff[i - 1] | cliff) : cliff;
    if (y > 0) {
        int32_t p = previous_ctu(s, x, y);
        s->wave_cost[i] = s->wave_cost[p] + s->row_cost[i];
        s->wave_bits[i] = s->wave_bits[p] + s->row_bits[i];
        s->wave_cliff[i] = (uint8_t)(s->wave_cliff[p] | s->row_cliff[i]);
    } else {
        s->wave_cost[i] = s->row_cost[i];
        s->wave_bits[i] = s->row_bits[i];
        s->wave_cliff[i] = s->row_cliff[i];
    }
}

namespace {

// The spending up to the last CTUs the wavefront guarantees coded before a
// CTU: their lookahead cost and bits, whether a cliff was passed, how many
// CTUs they are, and the lowest and highest ratio of the neighbours.
struct wave_spending {
    int32_t n;
    double cost, bits;
    bool cliff;
    int32_t coded;
    double lowest, highest;
};

void wave_spending_of(const rc_rowstats *s, int32_t x, int32_t y, wave_spending *w)
{
    int32_t i = y * s->cols + x;
    // The last CTU the wavefront guarantees coded and the spending up to it.
    int32_t n = x > 0 ? i - 1 : previous_ctu(s, x, y);
    w->n = n;
    w->cost = s->wave_cost[n];
    w->bits = s->wave_bits[n];
    w->cliff = s->wave_cliff[n] != 0;
    w->coded = x > 0 ? x : wave_ctus(s, n % s->cols, n / s->cols);
    w->lowest = s->ctu_ratio[n];
    w->highest = w->lowest;
    if (x > 0 && y > 0) {
        int32_t p = previous_ctu(s, x, y);
        w->cost = (double)s->wave_cost[p] + s->row_cost[n];
        w->bits = (double)s->wave_bits[p] + s->row_bits[n];
        w->cliff = s->wave_cliff[p] || s->row_cliff[n];
        w->coded = wave_ctus(s, p % s->cols, p / s->cols) + x;
        w->lowest = std::min(w->lowest, s->ctu_ratio[p]);
        w->highest = std::max(w->highest, s->ctu_ratio[p]);
    }
}

// The CTU's ratio moves QP only as far as the picture's bounds need. Past
// the upper bound it falls towards the observed ratio and holds the lowest
// ratio of its neighbours, so that a QP raised to save the bucket stays
// raised while the projection stays past the bound; once it is back within,
// the ratio returns towards 1 even while the picture is over its target,
// since the bucket, long here, absorbs that much. Held down through the rest
// of the picture instead, a ratio lowered once by rows that ran ahead of
// their cost share stayed low to the last CTU: most P pictures of the zoom
// ended at ratios 0.45 to 0.65, QP +4 to +7 over their lower halves, for a
// size only a few percent over the plan (1280x720 at 1500 kbit/s, one
// second's window: 32.50 dB at 1561 kbit/s, 32.58 dB at 1526 so; the cut
// 36.26 dB at 1501, 36.69 dB at 1532 so). Under the target it lowers QP
// only once the projection falls well under the lower bound, and returns
// towards 1 (the picture's own QP) once it no longer does. The lower bound
// is mostly the target itself: a ratio that rose whenever a picture spent
// less than its share, and then held its neighbours' highest, took nearly
// every picture's QP down through its last CTUs, B pictures most, whose
// picture QP keeps them at or above their references' (zoom 640x360, 300
// pictures, 375 kbit/s, one second's window: 32.5 dB; 33.9 dB now at the
// same rate).
double goal_ratio(const rc_rowstats *s, const wave_spending *w)
{
    double goal = 1.0;
    if (w->cost < s->cost_floor) {
        // Too little coded yet to project the picture from.
    } else if (s->spend_target) {
        // Bits a picture leaves under its target overflow the bucket: the
        // ratio follows the projection out of the bounds and within them
        // holds its neighbours' furthest from 1, so that a QP moved to meet
        // the target stays moved.
        double r0 = projected_ratio(s, w->cost, w->bits);
        if (s->ratio_low < r0 && r0 < s->ratio_high) goal = r0 < 1.0 ? w->lowest : w->highest;
        else goal = r0 < 1.0 ? std::min(r0, w->lowest) : std::max(r0, w->highest);
    } else {
        double r0 = observed_ratio(s, w->cost, w->bits);
        double high = s->ratio_high * UNDERSPEND_MARGIN;
        if (r0 < s->ratio_low) goal = std::min(r0, w->lowest);
        else if (r0 > high) goal = r0 / high;
    }
    return goal;
}

// A picture projected past its upper bound drains the bucket: its ratio
// goes to what the bound needs at once. Falling at most a step per CTU
// from the neighbour's, whose wavefront rows start from the CTU above
// right, a row could reach only 0.9 to the power of its wavefront depth
// (cut 640x360 at 375 kbit/s, 8-picture bucket: a P picture with an
// upper bound of 18 kbit took 48 kbit, its rows ending at ratios 0.48,
// 0.39, 0.31 and so on).
//
// Only a short bucket, which runs dry within a few pictures, needs this:
// a long one holds back part of its fill from the bounds, and there the
// jump cost rate (zoom 640x360 at 375 kbit/s, one second's window: 10.1 %
// under the rate for 8.4 %) with no underflow to save.
//
// Whatever the bucket, a picture projected past the fill the bucket holds
// would run it dry, and is held within that fill. Held only by its ratio's
// fall towards its target over its projected size, the stream's first intra
// picture of a long bucket, which takes most of the starting fill, went on
// at the ratio that fall reached (0.62, QP +4) and took 215 kbit of a 180
// kbit fill (the mandelbrot zoom, 1280x720 at 500 kbit/s,
// 12-picture bucket); held so, it took 155 kbit.
double held_within(const rc_rowstats *s, const wave_spending *w, double counted, double r, double bound)
{
    double b = bound_ratio(s, w->cost, w->bits, counted, w->lowest, bound);
    return b > 0.0 && b < r ? b : r;
}

bool fill_at_stake(const rc_rowstats *s, const wave_spending *w, double counted)
{
    double fill = s->fill_bits;
    return w->bits >= BOUND_SPENT_SHARE * fill || (w->bits >= FILL_SPENT_SHARE * fill && counted > fill);
}

double bound_limited(const rc_rowstats *s, const wave_spending *w, double counted, double r)
{
    if (w->cost < s->cost_floor) return r;
    double upper = s->upper_bits;
    if (s->spend_target && w->bits >= BOUND_SPENT_SHARE * upper) r = held_within(s, w, counted, r, upper);
    return fill_at_stake(s, w, counted) ? held_within(s, w, counted, r, s->fill_bits) : r;
}

// The first CTUs of a picture are coded at its plan's QP: too little of it
// is coded to project the rest from. But a picture whose first CTUs have
// spent so much of the fill the bucket holds that the fill is at stake (see
// FILL_SPENT_SHARE) is held within it from its second CTU on. On a picture
// of few CTUs the first three and the first of the second row are a quarter
// of it: the first intra picture of testsrc2 at 320x180 and 31 kbit/s (15
// CTUs, 8-picture bucket) took 3.3 kbit of the 7.4 kbit the bucket held in
// its first CTU, 6.6 in its first three, and 9.4 in all at a mean QP 9 above
// its plan; held from its second CTU, it took 6.1 and the bucket no longer
// ran dry.
double first_ctus_ratio(const rc_rowstats *s, int32_t x, int32_t y)
{
    if (x == 0 && y == 0) return 1.0;
    wave_spending w;
    wave_spending_of(s, x, y, &w);
    double counted = counted_size(s, w.bits, w.coded);
    if (w.cost < s->cost_floor || !fill_at_stake(s, &w, counted)) return 1.0;
    return held_within(s, &w, counted, 1.0, s->fill_bits);
}

// A picture of a short bucket that has spent its target (or its bound,
// when that is lower) is coded at most SPENT_RATIO_MAX finer than
// planned: its ratio rose while the coded part, projected by its share
// of the lookahead cost, looked cheap, and the bits of the rest come at
// the lowered QP. The part coded first is often nearly free (grain and
// still areas skipped at the planned QP, the cost of a new scene's B
// picture held in two CTUs), so the ratio climbed to 1.4-1.9 (QP -3 to
// -5.5) and the last rows, past the QP where they stop being skipped,
// took 500-2000 bits a CTU after 85-98 % of the cost: a B picture
// planned at 10.2 kbit, its target 12.0 and its bound 19.0, took 20.6 at
// QP 31 under its plan's 36.5 (grain 640x360 at 375 kbit/s). Over 80
// encodes of five 300-picture 640x360 clips at 125 and 375 kbit/s,
// 8-picture bucket, the bucket ran dry 23 times in 11 of them, 10 times
// in 5 so (all at the cut's new scene). Held to ratio 1 (the plan's QP)
// it ran dry 13 times, and the zoom at 320x180, 100 kbit/s, fell from
// 95.5 to 94.4 kbit/s.
//
// Once the picture's size counted from its CTUs' mean reaches that
// target, it is coded no finer than planned: CTUs cheap by the lookahead
// cost and nearly free so far took 500-1500 bits each at the raised
// ratio. Over the same 80 encodes the bucket ran dry 3 times in 2 of them
// with this and the counted bound (7 times in 3 of the cut's 8 with this
// alone, 5 in 4 with the bound alone), and 86 of 9000 pictures passed
// their upper bounds where 147 did.
double spent_limited(const rc_rowstats *s, const wave_spending *w, double counted, double r)
{
    if (!s->long_bucket && s->spend_target) {
        double spent = (double)std::min(s->target, s->upper_bits);
        if (w->cost >= s->cost_floor && counted >= spent) r = std::min(r, COUNTED_RATIO_MAX);
        else if (w->bits >= spent) r = std::min(r, SPENT_RATIO_MAX);
        if (w->cliff) r = std::min(r, CLIFF_RATIO_MAX);
    }
    return r;
}

}  // namespace

// The CTU's ratio: the goal that the spending so far sets (see goal_ratio),
// a step from its neighbour's, limited by the picture's bounds.
double rc_rowstats_ctu_ratio(rc_rowstats *s, int32_t x, int32_t y)
{
    int32_t i = y * s->cols + x;
    if (x + 2 * y < 3) {
        s->ctu_ratio[i] = first_ctus_ratio(s, x, y);
        return s->ctu_ratio[i];
    }
    wave_spending w;
    wave_spending_of(s, x, y, &w);
    double r = clamp_around(goal_ratio(s, &w), s->ctu_ratio[w.n]);
    double counted = counted_size(s, w.bits, w.coded);
    r = bound_limited(s, &w, counted, r);
    r = spent_limited(s, &w, counted, r);
    if (s->long_bucket) r = std::min(r, LONG_BUCKET_RATIO_MAX);
    s->ctu_ratio[i] = r;
    return r;
}
