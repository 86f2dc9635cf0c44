// The constant-bitrate window model: a ring of planned and actual picture
// sizes, the running deviation from the per-picture budget and the bit share
// of each picture class, from which every picture gets a target and bounds.
#include <algorithm>
#include <cstring>

#include "encoder/config.h"
#include "encoder/memory.h"
#include "ratecontrol/rc_cbr.h"

namespace {

// The share of the bucket's planned fill that one picture may take: more for
// an anchor (an intra or P picture), which its B pictures refer to, so that
// bits spent on it buy quality for the pictures that follow; B pictures held
// near their references' QP spend little of their own room.
constexpr double BUCKET_SHARE = 0.4;
constexpr double ANCHOR_BUCKET_SHARE = 0.5;
// How much of the room the window leaves (or the excess it holds) an anchor
// takes beyond its class share: all of it would hand the whole error of the
// pictures in flight to one picture, which swings the anchors' sizes from one
// mini-GOP to the next.
constexpr double ANCHOR_ROOM_SHARE = 0.75;
// The least share of a B picture class when every picture counts in the
// shares (see true_shares). The B pictures of the first mini-GOPs, coded
// against the first intra picture, take a few kbit, and their shares came to
// 0.02-0.11 of the mean: the B pictures after them were planned at 600 bits
// while the bucket ran over (pan2 1280x720 at 4000 kbit/s: 10.6 % under the
// rate; 8.7 % at 0.15). At 0.7 the B pictures of the slow pan held its
// anchors' room and it lost 0.7 dB (640x360, 300 pictures, 1000 kbit/s).
constexpr double B_SHARE_FLOOR = 0.15;
// A long bucket whose anchors are leaned on spreads its deviation from the
// rate over this share of its window, where a short one takes a quarter of
// it per picture: a quarter, clamped at 0.8 of a target, swung each anchor
// between a fifth and 1.8 times its share from one mini-GOP to the next
// (consecutive P pictures 4-5 QP apart on the zoom at 1280x720).
constexpr double DEVIATION_SPREAD_WINDOWS = 0.5;
constexpr int32_t SHORT_SPREAD_PICTURES = 4;  // a quarter of the deviation per picture
// The share of the bucket fill that an intra picture the tree says
// later pictures lean on may take from a bucket longer than
// RC_BUCKET_LEND_PICTURES: every picture until the next keyframe predicts
// from it, and at the anchors' half of a one-second bucket its quality held
// the following mini-GOPs down (1280x720 at 4000 kbit/s: the zoom's intra
// picture took 1.34 Mbit at QP 23 where average bitrate spends 1.76 Mbit at
// QP 20, and its first pictures came 1.5-2.5 dB under; the cut 42.90 dB,
// 43.49 dB so). A short bucket keeps the anchors' share: it refills too
// little before the next anchor to lend more.
constexpr double LONG_BUCKET_INTRA_SHARE = 0.65;
// The share is of the fill the intra picture starts with, for the first
// picture, a keyframe at a cut and a periodic keyframe alike. Taken of the
// fill after the picture's own provisional plan (a mean anchor's), the room
// of the first picture came to 0.53 of the fill it found (the cut at 1280x720
// and 4000 kbit/s: 1.9 of 3.6 Mbit; planned at 1.25 Mbit, coded at QP 22,
// after which its P picture at 24 refreshed the nearly still scene at QP 15
// for 1.3 Mbit; 43.46 dB at the rate, 44.08 so), and a periodic keyframe
// needed a share of 0.9 of that fill, where this one of the fill it finds
// gives it as much (pan2 640x360 at 1000 kbit/s, 300 pictures: 402 kbit at
// QP 21.2, 412 kbit at QP 20.9 so). At 0.9 of the fill it starts with, the
// slow pan's keyframe at 125 kbit/s took 127 kbit of a 118 kbit fill.
// The first picture of a long bucket takes this share of the fill it
// starts with, where a later keyframe takes LONG_BUCKET_INTRA_SHARE: no
// picture has spent from the bucket yet, and at the later keyframes' share
// still photographs coded their first picture at half of what constant
// quality gives it (the slow pan 1280x720 at 4000 kbit/s: 1.25 Mbit for
// 2.2 Mbit). What it takes beyond that share is counted as a debt (see
// window_room). At 0.9 the bucket it left held back the first mini-GOP,
// whose next P picture, held at QP 30, was followed by one 8 QP under it
// (the zoom at 1500 kbit/s: 10.4 % over the rate) until that P picture
// taught its predictor at the QP its rows coded it at (see learning_qp);
// since then 0.9 against 0.8 took the cut 1280x720 at 4000 kbit/s from
// 44.39 to 44.69 dB and the slow pan from 46.09 to 46.62 dB.
constexpr double FIRST_INTRA_SHARE = 0.9;
// The least share of its plan the first intra picture of a long bucket
// takes for its size beyond a mean picture's to count as lent (see
// first_window_owed). Its plan is the model's prediction at the finest
// QP the fill allows; coded well under it (testsrc2 1280x720 at
// 500 kbit/s: 242 of 385 kbit; the mandelbrot zoom at 4000: 686 of
// 2307), the pictures after it ran over their plans as well (testsrc2's
// first P picture 3 times, the zoom's B pictures 3-4 times), and left
// unpaid, the stream ran 10.5 % over its rate where 7.2 % repaid, and the
// zoom's P pictures spent what its B pictures then lacked (0.17 dB).
constexpr double FIRST_INTRA_PLAN_KEPT = 0.8;
// A periodic keyframe, for which the pictures before it saved (see
// KEY_SAVE_WINDOWS), takes this share of the fill it finds, a keyframe at a
// cut LONG_BUCKET_INTRA_SHARE. At that share the slow pan's periodic
// keyframe (640x360 at 1000 kbit/s, 300 pictures) took 402 kbit of a
// 745 kbit fill where constant quality at the same rate gives it 852, and
// the pictures after it came 3-4 dB under; at 0.8 the slow pan gained
// 0.14-0.19 dB at 125, 375 and 1000 kbit/s, and 60 encodes of five clips
// with keyframes every 30 and 60 pictures 0.07 dB, none running the bucket
// dry. At a cut, where nothing was saved, the larger share took the cut
// 1280x720 at 4000 kbit/s from 9.0 to 11.6 % under its rate.
constexpr double PERIODIC_INTRA_SHARE = 0.8;
// Before a periodic keyframe, within this many windows of it (and not
// within the window after the previous one, which the keyframe's refill
// needs), pictures save for it so that the bucket is back at its starting
// fill when the keyframe comes, each by its share of what is missing, spread
// over the pictures left. A cap that let each picture spend all but what
// the pictures left could save at KEY_SAVE_RESERVE of their refill bit only
// in the last 20 of 60 pictures, where it held them at half their targets
// and the bucket stayed at half its fill (pan2 640x360, 300 pictures,
// 1000 kbit/s, one second's bucket: the keyframe found 420 kbit and took
// 358 kbit at QP 22.5, where average bitrate codes it at 18.3 in 517 kbit;
// 42.42 dB at the rate, 42.57 spread; at 375 kbit/s 38.41 dB, 38.77).
// Saving from the previous keyframe's window on, with keyframes every 60
// pictures, left the bucket running over (zoom at 375 kbit/s: 9.0 % under
// the rate) and once dry (pan2 at 1000 kbit/s).
constexpr int32_t KEY_SAVE_WINDOWS = 2;
constexpr double KEY_SAVE_RESERVE = 0.25;
// What a picture keeps of its target, whatever it saves for the keyframe:
// the saving is reckoned on the plans of the pictures in flight, which run
// large, and taken whole from one picture it left a P picture 60 bits and
// its mini-GOP at 31-36 dB, while the keyframe found the bucket full
// (testsrc2 640x360, 1000 kbit/s, one second's bucket).
constexpr double KEY_SAVE_KEEP = 0.5;
// A long bucket's picture keeps this share: with its floors no longer
// taking the saving back (see key_saving_floor), at half their targets the
// slow pan's keyframe took 585 kbit, at this share 631 (640x360, 300
// pictures, one second's bucket: 43.15 and 43.18 dB at 1000 kbit/s, 39.35
// and 39.49 at 375), testsrc2 at 375 kbit/s 0.04 dB lower.
constexpr double LONG_BUCKET_KEY_SAVE_KEEP = 0.3;
// The least a picture's upper bound allows, per CTU.
constexpr int64_t UPPER_BITS_PER_CTU = 16;

void set_ratios(rc_model *m)
{
    m->ratio[0] = 1.8;
    m->ratio[1] = 1.0;
    m->ratio[2] = 0.6;
}

bool counted(const rc_model *m, int32_t slot)
{
    return m->slot_class[slot] == 0 || m->in_share[slot];
}

// Whether every finished picture counts in its class share: in a long bucket
// whose latest anchor the tree says later pictures lean on. Elsewhere only
// anchors and B pictures coded at their references' QP count; under the tree
// a B picture almost never is, so every share came out 1.0 and every picture
// was planned at the mean size (zoom 1280x720 at 4000 kbit/s: B pictures
// planned at 130-140 kbit where average bitrate spends 20), and the rows
// took the B pictures 6-9 QP under their references to spend it. Where
// nothing leans on the anchors (temporal noise) the B pictures are as large
// as the anchors, and the mean-size plans are kept.
bool true_shares(const rc_model *m)
{
    return rc_model_long_bucket(m) && m->anchor_lean > 0.0;
}

// Each class's share is the mean size of its counted pictures over the mean of
// all counted pictures. The shares once floored the classes below the mean at
// the mean, which planned every B picture at about the mean size while a B
// picture held near its references' QP takes a fraction of it; the anchors
// then planned too little and the window's room went to B pictures coded
// below their references' QP.
void reestimate_ratios(rc_model *m)
{
    int32_t s = m->class_count[0] + m->class_count[1] + m->class_count[2];
    if (s <= 0) return;
    int64_t bits = m->class_bits[0] + m->class_bits[1] + m->class_bits[2];
    double avg = (double)bits / s;
    if (!(avg > 0.0)) return;
    for (int k = 0; k < 3; k++)
        m->ratio[k] = m->class_count[k] > 0 ? (double)m->class_bits[k] / m->class_count[k] / avg : 1.0;
    if (!true_shares(m)) return;
    for (int k = 1; k < 3; k++) m->ratio[k] = std::max(m->ratio[k], B_SHARE_FLOOR);
}

// A ring slot as a linear position at or before write_pos.
int32_t linear_slot(const rc_model *m, int32_t slot)
{
    return slot > m->write_pos ? slot - m->length : slot;
}

// Bits of the window's pictures before write_pos: finished ones with their
// actual size, the ones in flight with their plan.
int64_t window_bits(const rc_model *m, int32_t start)
{
    int32_t e = linear_slot(m, m->end_pos);
    int32_t s = linear_slot(m, start);
    int64_t sum = 0;
    int32_t from = s;
    if (e > m->write_pos - m->window + 1 && start != m->end_pos) {
        for (int32_t i = s; i < e; i++) sum += m->actual[(i + m->length) % m->length];
        from = e;
    }
    for (int32_t i = from; i < m->write_pos; i++) sum += m->planned[(i + m->length) % m->length];
    return sum;
}

// The bucket's fill when the picture in ring slot `until` starts, the
// pictures in flight before it draining it with `sizes` (a ring of the
// model's).
double bucket_fill_until(const rc_model *m, const int32_t *sizes, int32_t until)
{
    int32_t e = m->end_pos;
    if (e > until) e -= m->length;
    double fill = (double)m->bucket_fill;
    for (int32_t i = e; i < until; i++) {
        double bits = sizes[(i + m->length) % m->length];
        fill = std::min(std::max(fill - bits, 0.0) + m->max_frame_bits, (double)m->bucket_size);
    }
    return fill;
}

// The bucket's fill when the next picture starts, the pictures in flight
// draining it with `sizes` (a ring of the model's).
double bucket_fill_after(const rc_model *m, const int32_t *sizes)
{
    return bucket_fill_until(m, sizes, m->write_pos);
}

// The bucket's fill when the next picture starts: the pictures in flight
// drain it with what the bucket expects of them.
double planned_bucket_fill(const rc_model *m)
{
    return bucket_fill_after(m, m->expected);
}

// What the full bucket would lose unless the next picture drains it by as
// much: its fill after the plans of the pictures in flight and one picture's
// refill, over its size. With true shares a B picture that the bucket would
// run over for is planned at least at that: where the anchors sit at the
// finest QP, B pictures at their class's share left the bucket running over
// (cut 1280x720 at 4000 kbit/s: 16.7 % under the rate without this). The
// plans, not what the bucket expects of the pictures in flight, which runs
// larger: counted so, the cut ended 12.9 % under the rate, 10.0 % so.
double bucket_spill(const rc_model *m)
{
    return bucket_fill_after(m, m->planned) + (double)m->max_frame_bits - (double)m->bucket_size;
}

// What the bucket may lend the next picture's upper bound: its fill when the
// picture starts above the level it holds back, but while it holds one
// picture's refill, no less than that refill. A picture that takes its refill
// leaves the fill where it found it, so the held level is only kept from
// being regained, not run through; held to the fill above that level, a
// bucket drained under it lent nothing, and every picture until the refill
// climbed back was bounded at 16 bits per CTU. Grain at 320x180 and 250
// kbit/s (one second's bucket): its first intra picture, planned at 30 kbit,
// took 128 and left 106 kbit under a held 148; the P and B pictures after it
// were planned at a bit per CTU, and the next mini-GOPs, coded at QP 40-51,
// spent nothing of the refill until the bucket ran over (11.4 % under the
// rate; 1.1 % so). Over the tables with a one-second bucket the mean error
// went from 3.89 to 3.51 % at 320x180 and from 2.44 to 2.24 % at 1280x720
// (3.14 -> 3.30 % at 640x360, 1.82 -> 1.83 % over 300 pictures), and the
// pictures the held level no longer starves came out up to 2.3 dB higher
// (the cut at 320x180 and 250 kbit/s). Half a refill left grain 9.4 % under;
// two refills took testsrc2 with temporal noise 5.7 % over 500 and 4000
// kbit/s at 1280x720 (3.9 and 1.3 % so).
double bucket_lendable(const rc_model *m)
{
    double fill = planned_bucket_fill(m);
    return std::max(fill - (double)m->bucket_hold, std::min(fill, (double)m->max_frame_bits));
}

// The mean size of the finished B pictures in the ring, 0 when there is none.
double b_picture_mean(const rc_model *m)
{
    int64_t bits = 0;
    int32_t count = 0;
    for (int32_t i = 0; i < m->length; i++) {
        if (m->slot_class[i] != 1 && m->slot_class[i] != 2) continue;
        bits += m->actual[i];
        count++;
    }
    return count > 0 ? (double)bits / count : 0.0;
}

// What a long bucket would hold above its starting level by the next anchor
// unless the anchor planned now takes it: its fill when the anchor starts and
// the refill over `span` pictures, less the B pictures in between at the mean
// size of those finished. Bits held above that level are lost wherever the
// B pictures, kept near their references' QP, spend less than their share:
// the anchors' floor from the window of the last pictures, which holds more
// anchors at an anchor than on average, settled under the rate, and the
// bucket ran over in most mini-GOPs (zoom 640x360, 300 pictures, one
// second's bucket: 8.4 % under the rate at 375 kbit/s). Not over the first
// window, while the bucket is still near its starting level and the few B
// pictures finished are those coded against the first intra picture: taken
// there, 60 pictures of temporal noise at 1280x720 and 500 kbit/s ended
// 11.3 % over the rate (9.5 % so).
double anchor_spill(const rc_model *m, int32_t span)
{
    if (m->frames <= m->window) return 0.0;
    double b_mean = b_picture_mean(m);
    if (!(b_mean > 0.0)) return 0.0;
    double level = RC_BUCKET_START * (double)m->bucket_size;
    return planned_bucket_fill(m) + (double)span * m->max_frame_bits - level - (double)(span - 1) * b_mean;
}

// A short bucket's pictures before a periodic keyframe each spend all but
// what the pictures left could save at KEY_SAVE_RESERVE of their refill.
// The proportional saving of a long bucket ran an 8-picture one dry after
// a keyframe (testsrc2 640x360 at 125 kbit/s, keyframes every 30 pictures).
void short_bucket_key_save(rc_model *m, int32_t left, int32_t out[3])
{
    double wanted = RC_BUCKET_START * (double)m->bucket_size;
    double cap = planned_bucket_fill(m) + (double)left * m->max_frame_bits - wanted -
                 (double)(left - 1) * KEY_SAVE_RESERVE * m->max_frame_bits;
    double keep = std::max(KEY_SAVE_KEEP * out[0], (double)m->ctu_count);
    int32_t bits = (int32_t)std::min(std::max(cap, keep), (double)INT32_MAX);
    if (bits < out[0]) {
        out[0] = bits;
        rc_model_set_last(m, bits);
    }
    out[1] = (int32_t)std::max((int64_t)std::min(out[1], bits), UPPER_BITS_PER_CTU * m->ctu_count);
}

// The pictures left until the keyframe that `key_interval` forces when the
// picture of display number `frame_number` saves for it, else 0: within
// KEY_SAVE_WINDOWS of it, and in a long bucket not within the window after
// the keyframe before.
int32_t key_pictures_left(const rc_model *m, int32_t frame_number, int32_t key_interval)
{
    int32_t left = key_interval - (frame_number - m->key_frame_number);
    if (key_interval <= 0 || left <= 0 || left > KEY_SAVE_WINDOWS * m->window) return 0;
    if (rc_model_long_bucket(m) && left > key_interval - m->window) return 0;
    return left;
}

}  // namespace

double rc_model_intra_room(const rc_model *m)
{
    // A short bucket keeps its anchors' share of the fill after the picture.
    if (!rc_model_long_bucket(m)) return planned_bucket_fill(m) * ANCHOR_BUCKET_SHARE;
    double share = m->frames <= 1 ? FIRST_INTRA_SHARE : (m->key_periodic ? PERIODIC_INTRA_SHARE : LONG_BUCKET_INTRA_SHARE);
    return bucket_fill_until(m, m->expected, rc_model_last_slot(m)) * share;
}

double rc_model_picture_fill(const rc_model *m)
{
    return bucket_fill_until(m, m->planned, rc_model_last_slot(m));
}

void rc_model_intra_taken(rc_model *m, int32_t bits)
{
    if (m->frames <= 1 && rc_model_long_bucket(m)) {
        double keyframe_room = bucket_fill_until(m, m->expected, rc_model_last_slot(m)) * LONG_BUCKET_INTRA_SHARE;
        m->intra_debt = std::max((int64_t)((double)bits - keyframe_room), (int64_t)0);
        m->intra_plan = bits;
    }
    double over = (double)bits - bucket_lendable(m) * ANCHOR_BUCKET_SHARE;
    if (!(over > 0.0)) return;
    int64_t lent = std::min((int64_t)over, m->bucket_hold);
    m->bucket_hold -= lent;
    m->bucket_lent += lent;
    m->bucket_repay = std::max(m->bucket_lent / std::max(m->window, 1), (int64_t)1);
}

void rc_model_keyframe(rc_model *m, int32_t frame_number, int32_t key_interval)
{
    m->key_periodic = key_interval > 0 && frame_number - m->key_frame_number == key_interval;
    m->key_frame_number = frame_number;
    m->cut_poc = -1;
}

void rc_model_key_ahead(rc_model *m, int32_t frame_number, int32_t key_interval)
{
    m->key_saving = rc_model_long_bucket(m) && key_pictures_left(m, frame_number, key_interval) > 0;
}

void rc_model_key_save(rc_model *m, int32_t frame_number, int32_t key_interval, int32_t out[3])
{
    int32_t left = key_pictures_left(m, frame_number, key_interval);
    if (left <= 0) return;
    if (!rc_model_long_bucket(m)) {
        short_bucket_key_save(m, left, out);
        return;
    }
    // What the bucket lacks of its starting fill, spread over the pictures
    // left, in the share of it that the latest intra picture spent of its
    // target: one held at the finest QP intra pictures were seen at leaves
    // the saving in the bucket, which then runs over (testsrc2 640x360 at
    // 1000 kbit/s, keyframes every 60 pictures: its keyframes planned at a
    // quarter of their targets, 45.32 dB at the rate, 44.91 saving whole).
    double wanted = RC_BUCKET_START * (double)m->bucket_size;
    double save = (wanted - planned_bucket_fill(m)) / left * m->key_take;
    if (!(save > 0.0)) return;
    // Each picture saves in proportion to its target, so that the classes
    // keep their shares, and its bounds move with it: a lower bound left
    // above the target had the rows lower the picture's QP to reach it (the
    // P picture before the keyframe of the slow pan, capped at 65 kbit with
    // its lower bound at 130, took 103 kbit at 1.1 QP under its plan).
    double scale = std::max(1.0 - save / std::max(m->frame_bits, 1), LONG_BUCKET_KEY_SAVE_KEEP);
    int32_t bits = (int32_t)std::min(std::max(out[0] * scale, (double)m->ctu_count), (double)INT32_MAX);
    if (bits < out[0]) {
        out[0] = bits;
        rc_model_set_last(m, bits);
    }
    out[1] = (int32_t)std::max(out[1] * scale, (double)(UPPER_BITS_PER_CTU * m->ctu_count));
    out[2] = std::min(out[2], out[0]);
}

int32_t rc_cbr_class(uint32_t picture_type)
{
    if (picture_type == PIC_TYPE_BREF) return 1;
    if (picture_type == PIC_TYPE_B) return 2;
    return 0;
}

rc_model *rc_model_new(int32_t frame_bits, int32_t max_frame_bits, int32_t min_frame_bits, int32_t window,
                       int32_t span, int32_t frames_in_flight, int32_t ctu_count)
{
    rc_model *m = (rc_model *)aligned_malloc((int32_t)sizeof(rc_model));
    if (!m) return nullptr;
    std::memset(m, 0, sizeof(*m));
    // The class counts are 8-bit: the ring stays within 127 slots, and the
    // window within the ring.
    int32_t length = std::max(std::max(window, 8), span);
    m->length = std::min(length, RC_MODEL_MAX_LENGTH);
    m->window = std::min(std::max(window, 1), m->length);
    m->frame_bits = frame_bits;
    m->max_frame_bits = max_frame_bits;
    m->min_frame_bits = min_frame_bits;
    m->ctu_count = ctu_count;
    m->frames_in_flight = frames_in_flight;
    int64_t far_low = ((int64_t)min_frame_bits - frame_bits) * m->window / 2;
    int64_t far_high = ((int64_t)max_frame_bits - frame_bits) * m->window / 2;
    m->dev_far_low = (int32_t)std::max<int64_t>(far_low, INT32_MIN);
    m->dev_far_high = (int32_t)std::min<int64_t>(far_high, INT32_MAX);
    m->dev_near_low = m->dev_far_low / 4;
    m->dev_near_high = m->dev_far_high / 4;
    m->planned = (int32_t *)aligned_malloc(m->length * 4);
    m->expected = (int32_t *)aligned_malloc(m->length * 4);
    m->actual = (int32_t *)aligned_malloc(m->length * 4);
    m->in_share = (uint8_t *)aligned_malloc(m->length);
    m->slot_class = (int8_t *)aligned_malloc(m->length);
    if (!m->planned || !m->expected || !m->actual || !m->in_share || !m->slot_class) {
        rc_model_delete(m);
        return nullptr;
    }
    std::memset(m->planned, 0, (size_t)m->length * 4);
    std::memset(m->expected, 0, (size_t)m->length * 4);
    std::memset(m->actual, 0, (size_t)m->length * 4);
    std::memset(m->in_share, 0, (size_t)m->length);
    std::memset(m->slot_class, 3, (size_t)m->length);
    m->gop_count = -2;
    m->cut_poc = -1;
    m->key_poc = -1;
    m->anchor_finest_qp = 0.0;
    m->key_take = 1.0;
    m->bucket_size = (int64_t)std::max(max_frame_bits, 0) * m->window;
    m->bucket_fill = (int64_t)((double)m->bucket_size * RC_BUCKET_START);
    // A bucket lends its pictures what a short one would and holds the rest
    // of its starting fill back: lending all of it let the pictures, which
    // spend up to their upper bound wherever their QP comes out low, drain
    // a one-second bucket into the average (grain 1280x720 at 500 kbit/s:
    // 40 % over the rate in 60 pictures, the bucket run dry seven times; 3 %
    // over with an 8-picture bucket).
    int64_t held = std::max(m->window - RC_BUCKET_LEND_PICTURES, 0);
    m->bucket_hold = (int64_t)((double)held * RC_BUCKET_START * std::max(max_frame_bits, 0));
    set_ratios(m);
    return m;
}

void rc_model_delete(rc_model *m)
{
    if (!m) return;
    aligned_free(m->planned);
    aligned_free(m->expected);
    aligned_free(m->actual);
    aligned_free(m->in_share);
    aligned_free(m->slot_class);
    aligned_free(m);
}

void rc_model_reset(rc_model *m)
{
    m->gop_count = -2;
    set_ratios(m);
}

namespace {

// A picture's target and bounds while the window model sets them: its
// class, the window it is measured in, the window's bounds, its class share
// of the rate, its share of the bucket, and whether the bucket loses rate
// when it runs over.
struct frame_bounds {
    int32_t cls;
    int32_t start;
    int32_t w;
    int64_t hi, lo;
    int64_t t;
    int64_t upper;
    bool spills;
};

// The picture enters the model: its counts, the window it is measured in
// (shorter over the first pictures), the anchor's lean and, once per round
// of pictures in flight, the class shares.
void window_advance(rc_model *m, frame_bounds *b, double lean)
{
    if (m->frames < INT32_MAX) m->frames++;
    m->gop_count++;
    b->start = (m->write_pos + 1 + m->length - m->window) % m->length;
    b->w = m->window;
    if (m->frames <= m->window) {
        int32_t mm = std::max(m->window, 11) - 1;
        b->w = std::max(6 + (mm - 5) * (m->frames - 1) / mm, m->frames);
    }
    if (b->cls == 0) m->anchor_lean = lean;
    if (b->cls == 0 && m->gop_count >= m->frames_in_flight) {
        m->gop_count = 0;
        reestimate_ratios(m);
    }
}

// The bucket's fill when an anchor starts. Over a long bucket's first
// window the pictures in flight count at their plans rather than at what
// the bucket expects of them: the B pictures of the first mini-GOP keep
// the predictions of kinds not seen yet, several times their plans, and
// with the first intra picture still in flight at most of the starting
// fill (see FIRST_INTRA_SHARE) the next P picture was bounded by the
// little they left. Counted at those predictions, the zoom's second P
// picture (1280x720 at 1500 kbit/s, one second's bucket) was bounded at
// 25 kbit by a fill of 50 kbit and coded at QP 34.6 (30.4 dB; the clip
// 33.80 dB, 34.26 so), pan16's at 500 kbit/s at 14 kbit and QP 45
// (33.5 dB; the clip 40.17 dB, 40.89 so).
double anchor_bucket_fill(const rc_model *m)
{
    if (rc_model_long_bucket(m) && m->frames <= m->window) return bucket_fill_after(m, m->planned);
    return planned_bucket_fill(m);
}

// The picture's share of what the bucket is expected to lend.
int64_t bucket_upper(const rc_model *m, const frame_bounds *b, double lean)
{
    // An anchor that the tree says later pictures lean on (`lean`, 0 to 1)
    // may also take that share of the fill the bucket holds back: the bits it
    // takes buy quality for the pictures that follow. Held to the lendable
    // fill alone, the P pictures sat at their upper bounds while the bucket
    // ran over and the B pictures spent the room the anchors left at their
    // references' QP (1280x720, one second's bucket: pan16 at 4000 kbit/s
    // 45.92 dB at 3527 kbit/s, 46.86 dB at 3753 so; the cut 42.51 dB at 3522,
    // 42.90 at 3601; the zoom at 1500 32.58 dB at 1526, 33.45 at 1459). Lent
    // whatever the tree says, the anchors of temporal noise, which nothing
    // leans on, took the rate 10 % over (4404 kbit/s at 4000).
    double room = bucket_lendable(m);
    if (b->cls == 0) room = std::max(anchor_bucket_fill(m) - (1.0 - lean) * (double)m->bucket_hold, room);
    int64_t upper = (int64_t)(room * (b->cls == 0 ? ANCHOR_BUCKET_SHARE : BUCKET_SHARE));
    // With true shares a B picture's bound is at least its class share of the
    // rate, or its share of the planned fill where that is less. Bounded by
    // the fill above the held level alone, the B pictures had nothing left
    // wherever the anchors, which the tree lets take the held fill, drained
    // the bucket under that level: bounded at 16 bits per CTU, they coded at
    // QP 35-47 while the P pictures sat at the finest QP (pan2 640x360, 300
    // pictures, 1000 kbit/s: the B pictures 1.4 QP and the reference ones
    // 2.0 QP coarser than average bitrate's, the P pictures 2.2 QP finer).
    // Not over the first window, while the bucket is near its starting
    // level: there the B pictures' bits came from the anchors (pan16 1280x720
    // at 4000 kbit/s, 60 pictures: 46.16 dB at 3622 kbit/s, 47.28 at 3840 so).
    // Nor below a mean picture's size: the class share is the mean of the B
    // pictures finished, which this bound itself held small, so it closed on
    // itself while the anchors took the fill the B pictures left (pan2
    // 640x360, 300 pictures, 1000 kbit/s: reference B pictures bounded at
    // 11.5 kbit were coded at QP 28-30 between P pictures at QP 16-20, where
    // average bitrate codes them at 24-25 in 40-55 kbit).
    if (b->cls != 0 && true_shares(m) && m->frames > m->window) {
        double least = std::max((double)b->t, (double)m->frame_bits);
        upper = std::max(upper, (int64_t)std::min(least, planned_bucket_fill(m) * BUCKET_SHARE));
    }
    return upper;
}

// What the window's floor counts as still in the window though it has left:
// the first intra picture's debt (see window_room) and, from the second
// window on, whatever the pictures that have left it spent beyond the rate.
// Once the pictures that ran over had left the window, the floor asked the
// anchors for the rate of a window that held only the pictures after them,
// and the excess was never paid back: the mandelbrot zoom (320x180 at 250
// kbit/s, one second's bucket) took its P pictures at the floor, 69 kbit
// for a mean picture of 8, and ended 11.4 % over its rate (0.9 % so;
// 1280x720 at 4000 kbit/s 13.0 %, -1.3 % so). Over the constant-bitrate
// tables the mean error fell from 6.5 to 4.5 % at 320x180, 4.8 to 2.6 % at
// 1280x720 and 2.1 to 1.6 % over 300 pictures at 640x360. Counted as the
// whole running deviation, which the finished pictures still in the window
// offset, the floor gave back half of that (4.9 and 4.1 %); bounded by what
// the bucket lacks of its starting level, nearly all. Over the first window
// the debt alone: the pictures after the first intra one are planned from
// its lent fill (see first_window_owed), and with the deviation counted
// there too, grain at 320x180 and 250 kbit/s ended 12.6 % under its rate
// (9.7 % so). A short bucket keeps its floor: it holds nothing back for a
// miss, and with the excess counted its anchors fell under the floor and
// its rate with them (testsrc2 320x180 at 250 kbit/s, an 8-picture bucket:
// 6.2 % over, 8.9 % under so, 2.4 dB lower).
int64_t window_debt(const rc_model *m, int32_t start)
{
    if (!rc_model_long_bucket(m) || m->frames <= m->window) return m->intra_debt;
    // The running deviation less what the finished pictures still in the
    // window (from `start`) add to it.
    int32_t e = linear_slot(m, m->end_pos);
    int64_t excess = -m->deviation;
    for (int32_t i = linear_slot(m, start); i < e; i++) excess -= (int64_t)m->actual[(i + m->length) % m->length] - m->frame_bits;
    return std::max(m->intra_debt, excess);
}

// The window's bounds for the picture: an anchor's the room the window
// leaves, a B picture's its class share of what the window may hold.
void window_room(const rc_model *m, frame_bounds *b)
{
    if (m->frames > 1) {
        int64_t sum = window_bits(m, b->start);
        double expected = (double)sum + (double)b->t;
        // The floor counts the first intra picture's debt as still in the
        // window: once that picture left it, the floor asked the anchors for
        // the bits the pictures after it had saved, and the excess was never
        // paid back (the zoom 1280x720 at 1500 kbit/s, its first picture at
        // 0.9 of the starting fill: 80-300 kbit over the rate to the end,
        // 12 % over). The running deviation pays it back instead.
        int64_t debt = window_debt(m, b->start);
        if (b->cls == 0) {
            b->hi = b->t + (int64_t)((double)(b->hi - sum - b->t) * ANCHOR_ROOM_SHARE);
            b->lo = b->t + (int64_t)((double)(b->lo - sum - debt - b->t) * ANCHOR_ROOM_SHARE);
        } else if (expected > 0.0) {
            b->hi = (int64_t)((double)b->hi * (double)b->t / expected);
            b->lo = (int64_t)((double)b->lo * (double)b->t / (expected + (double)debt));
        }
    }
    // An anchor is bounded by what the bucket holds, not by the window's
    // room: with B pictures at a fraction of the mean size, the window of
    // the last pictures leaves an anchor less than the bucket refills
    // until the next one, and the bits the full bucket cannot hold are
    // lost (zoom 640x360, 1000 kbit/s: 11 % under the rate).
    if (b->cls == 0) b->hi = std::max(b->hi, b->upper);
}

// An anchor opens a mini-GOP and, where the bucket would spill, spends at
// least what it would lose.
void anchor_spill_floor(rc_model *m, frame_bounds *b)
{
    // Only a bucket that refills at the target rate loses rate when it runs
    // over; one that refills at a higher maximum runs over anyway.
    b->spills = rc_model_long_bucket(m) && m->max_frame_bits <= m->frame_bits;
    if (b->cls == 0) {
        // The mini-GOP a P picture opens is as long as its distance to its
        // reference; an intra picture's is taken to be as long as the last.
        int32_t span = m->next_span > 0 ? m->next_span : std::max(m->frames - m->anchor_frames, 1);
        m->anchor_frames = m->frames;
        if (b->spills) b->lo = std::max(b->lo, (int64_t)anchor_spill(m, span));
    }
}

// While the pictures save for a periodic keyframe, the window's floor (the
// minimum rate over the window) asks no picture for more than its class
// share: the window runs under the rate by what they save, and the floor
// took it back from the next anchors. On the slow pan (640x360, 300
// pictures, 1000 kbit/s, one second's bucket) the P pictures of the two
// seconds before the keyframe were planned at their floors, which the
// saving then only halved (57-85 kbit for a mean picture of 33), and the
// keyframe found 704 kbit of a 1000 kbit bucket and took 427; with this
// and the predictor's plan of later intra pictures (see
// intra_predicted_qp) 585, and the clip came from 42.93 to 43.15 dB. The
// spill floor, which keeps the bucket from running over, still applies.
void key_saving_floor(const rc_model *m, frame_bounds *b)
{
    if (m->key_saving) b->lo = std::min(b->lo, b->t);
}

// The share of its class's target that a P picture of a long bucket takes
// when it opens a shorter mini-GOP than the latest P picture did: the ratio
// of their lengths, since the class share and floors are measured on
// mini-GOPs as long as the latest. A longer one keeps the class share: the
// share learned on a short mini-GOP is no measure of a full one's. The last
// mini-GOP of a
// stream is cut short by its end; planned as if it opened a full one, its P
// picture took its share of eight pictures for three, and its B pictures,
// held near their references' QP, followed it (testsrc2 1280x720 at
// 500 kbit/s, one second's bucket: the last three pictures took 157 kbit of
// the 50 kbit they refill, and the clip ended 9.6 % over the rate; 5.0 %
// so). A short bucket's anchors keep their class share: it holds nothing
// back for a miss.
double anchor_span_share(const rc_model *m, const frame_bounds *b)
{
    if (b->cls != 0 || !rc_model_long_bucket(m) || m->next_span <= 0 || m->next_span >= m->p_span) return 1.0;
    return (double)m->next_span / m->p_span;
}

// What the pictures in flight add to the running deviation at `sizes` (a
// ring of the model's).
int64_t in_flight_deviation(const rc_model *m, const int32_t *sizes)
{
    int64_t d = 0;
    for (int32_t i = linear_slot(m, m->end_pos); i < m->write_pos; i++) d += (int64_t)m->frame_bits - sizes[(i + m->length) % m->length];
    return d;
}

// How far the stream is behind its rate, the pictures in flight counted at
// their plans.
int64_t rate_behind(const rc_model *m)
{
    return m->deviation + in_flight_deviation(m, m->planned);
}

// A P picture's class target `t` in the share of its mini-GOP, but not
// below it by more than the stream is behind its rate: a stream under its
// rate has bits to spend at its end. Shrunk whole, the last P picture of
// grain (1280x720 at 500 kbit/s, one second's bucket) took the clip from
// 7.1 % to 13.6 % under the rate (8.0 % so). The pictures in flight count:
// with the finished ones alone, grain's last P picture (320x180 at 250
// kbit/s, 90 pictures) was planned at 2.5 refills for a stream 24 kbit
// behind while a keyframe in flight had put it 3 kbit ahead.
int64_t anchor_span_target(const rc_model *m, int64_t t, double share)
{
    if (share >= 1.0) return t;
    int64_t shared = (int64_t)((double)t * share);
    return shared + std::min(t - shared, std::max(rate_behind(m), (int64_t)0));
}

// The part of a P picture's lower bound above its target, in the share of
// its mini-GOP when that is shorter than the last (see anchor_span_share):
// the window's floor is counted for a full mini-GOP as well. Held there,
// the zoom's last P picture, opening three pictures, was planned at 46
// kbit for 41 (30 so), and the clip ended 5.7 % over the rate (1280x720,
// 500 kbit/s, one second's bucket; 5.4 % so).
void anchor_span_scale(frame_bounds *b, double share)
{
    if (share >= 1.0 || b->lo <= b->t) return;
    b->lo = b->t + (int64_t)((double)(b->lo - b->t) * share);
}

// The running deviation an anchor pays back. Over a long bucket's first
// window an anchor leaves out what the bucket lent the first intra picture:
// the starting fill is there to carry it, and repaid at once from the P
// pictures of the first second it starved them while the bucket ran full
// later and every picture sat near the finest QP (1280x720, one second's
// bucket: pan16 at 500 kbit/s 40.85 dB, 41.21 so; the zoom at 500 29.69,
// 29.87). From the next window on, the whole deviation is paid back.
int64_t first_window_owed(const rc_model *m, const frame_bounds *b)
{
    if (b->cls != 0 || !rc_model_long_bucket(m) || m->frames > m->window || m->deviation >= 0) return m->deviation;
    return std::min(m->deviation + m->intra_lent, (int64_t)0);
}

// The running deviation paid back: past a long bucket's first window, the
// pictures in flight count in it as the bucket expects them to turn out.
// Counted only once finished, the B pictures of a mini-GOP that each took
// two to five times their plans were paid back by the mini-GOPs after the
// next, and the stream's last pictures paid back nothing (testsrc2 1280x720
// at 500 kbit/s, one second's bucket: 11.2 % over the rate; with the end
// below, 7.5 %). A short bucket pays back a quarter per picture and keeps
// to the finished ones: counted so there, rows of the constant-bitrate
// table with the default window at 320x180 moved either way by up to 5
// points (mean error 8.64 -> 8.93 %).
int64_t owed_deviation(const rc_model *m, const frame_bounds *b)
{
    int64_t owed = first_window_owed(m, b);
    if (rc_model_long_bucket(m) && m->frames > m->window) owed += in_flight_deviation(m, m->expected);
    return owed;
}

// The pictures the deviation is spread over (see DEVIATION_SPREAD_WINDOWS);
// in a long bucket that is over its rate, no more than the stream has left,
// since what its last pictures leave unpaid stays in the rate. One behind
// its rate keeps its spread: the pictures in flight count at what is
// expected of them, and the last P picture of grain (320x180, 250 kbit/s,
// 90 pictures), given the whole of what they seemed to leave, took 2.4
// refills and the stream ended 2.1 % over (0.3 % so). Over the
// constant-bitrate tables with a one-second bucket, with the in-flight
// count above, the mean error went from 4.64 to 4.43 % at 320x180, from
// 2.74 to 2.39 % at 1280x720 (the cut at 4000 kbit/s -11.5 -> -10.0 %), and
// from 1.70 to 1.55 % over 300 pictures at 640x360; no bucket ran dry.
//
// Near the end an anchor pays back its class's share of that excess (anchors
// take several pictures' shares of it): the B pictures after one follow its
// QP, and paying the per-picture share, the last P picture moved its whole
// mini-GOP by a fraction of what was owed. 60 pictures at 640x360, one
// second's bucket: the overlay at 125 kbit/s +11.7 -> +0.1 %, the grainy
// still at 1000 +8.9 -> +2.1 %; mean error 4.59 -> 3.29 % there, 4.99 ->
// 4.49 % at 320x180, 2.34 -> 2.21 % at 1280x720, 1.81 -> 1.68 % over 300
// pictures at 640x360; no bucket ran dry.
int64_t spread_deviation(const rc_model *m, const frame_bounds *b, int64_t owed)
{
    int32_t over = true_shares(m) ? std::max((int32_t)(m->window * DEVIATION_SPREAD_WINDOWS), 1) : SHORT_SPREAD_PICTURES;
    bool ending = rc_model_long_bucket(m) && owed < 0 && m->pictures_left > 0 && m->pictures_left < over;
    if (ending && b->cls == 0) return std::max(owed, (int64_t)((double)owed * m->ratio[0] / m->pictures_left));
    if (ending) return owed / m->pictures_left;
    return true_shares(m) ? owed / over : owed >> 2;
}

// The class share moved by part of the running deviation, by more the
// further it has gone, within the bounds.
int64_t deviation_target(const rc_model *m, const frame_bounds *b)
{
    int64_t t = b->t;
    double a;
    if (m->dev_near_low < m->deviation && m->deviation < m->dev_near_high) a = 0.2 * t;
    else if (m->dev_far_low < m->deviation && m->deviation < m->dev_far_high) a = 0.5 * t;
    else a = 0.8 * t;
    int64_t allow = (int64_t)a;
    int64_t spread = spread_deviation(m, b, owed_deviation(m, b));
    int64_t target = t + std::min(std::max(spread, -allow), allow);
    target = std::max(target, b->lo);
    target = std::min(target, std::min(b->hi, b->upper));
    if (b->cls != 0 && b->spills && true_shares(m))
        target = std::max(target, std::min((int64_t)bucket_spill(m), b->upper));
    target = std::max(target, (int64_t)m->ctu_count);
    return std::min(target, (int64_t)INT32_MAX);
}

// The target enters the ring as the picture's plan; the bounds go out.
void target_write(rc_model *m, const frame_bounds *b, int64_t target, int32_t out[3])
{
    m->planned[m->write_pos] = (int32_t)target;
    m->expected[m->write_pos] = (int32_t)target;
    m->write_pos = (m->write_pos + 1) % m->length;
    out[0] = (int32_t)target;
    out[1] = (int32_t)std::min(std::max(b->upper, UPPER_BITS_PER_CTU * m->ctu_count), (int64_t)INT32_MAX);
    out[2] = (int32_t)std::min(std::max(b->lo, (int64_t)(m->ctu_count >> 2)), (int64_t)INT32_MAX);
}

}  // namespace

void rc_model_frame_target(rc_model *m, int32_t cls, double lean, int32_t out[3])
{
    frame_bounds b = {};
    b.cls = std::min(std::max(cls, 0), 2);
    window_advance(m, &b, lean);
    // The target of an anchor (an intra or P picture, whose QP the B
    // pictures follow) keeps to the room the window leaves; that of a B
    // picture to its class share of what the window may hold, as if every
    // picture in it moved with its QP: giving one B picture all of the
    // window's excess or room would swing the QPs from one mini-GOP to the
    // next. The picture's upper bound is its share of what the bucket is
    // expected to lend when it starts, a margin for a plan that falls short.
    b.hi = (int64_t)m->max_frame_bits * b.w;
    b.lo = (int64_t)m->min_frame_bits * b.w;
    b.t = (int64_t)((double)m->frame_bits * m->ratio[b.cls]);
    double share = anchor_span_share(m, &b);
    b.t = anchor_span_target(m, b.t, share);
    b.upper = bucket_upper(m, &b, lean);
    window_room(m, &b);
    key_saving_floor(m, &b);
    anchor_span_scale(&b, share);
    anchor_spill_floor(m, &b);
    if (m->next_span > 0) m->p_span = m->next_span;
    m->next_span = 0;
    target_write(m, &b, deviation_target(m, &b), out);
}

void rc_model_anchor_span(rc_model *m, int32_t span)
{
    m->next_span = std::max(span, 0);
}

void rc_model_pictures_left(rc_model *m, int32_t left)
{
    m->pictures_left = std::max(left, 0);
}

void rc_model_set_last(rc_model *m, int32_t bits)
{
    int32_t slot = (m->write_pos - 1 + m->length) % m->length;
    m->planned[slot] = bits;
    m->expected[slot] = bits;
}

int32_t rc_model_last_slot(const rc_model *m)
{
    return (m->write_pos - 1 + m->length) % m->length;
}

void rc_model_size_known(rc_model *m, int32_t slot, int32_t bits)
{
    if (slot < 0 || slot >= m->length) return;
    m->planned[slot] = bits;
    m->expected[slot] = bits;
}

void rc_model_expect_last(rc_model *m, int32_t bits)
{
    int32_t slot = (m->write_pos - 1 + m->length) % m->length;
    m->expected[slot] = std::max(m->planned[slot], bits);
}

namespace {

// What the bucket lent the first intra picture of a long bucket, once it is
// coded: nothing where it came well under its plan (see
// FIRST_INTRA_PLAN_KEPT).
void first_intra_lent(rc_model *m, int32_t bits)
{
    if (!rc_model_long_bucket(m) || (double)bits < FIRST_INTRA_PLAN_KEPT * (double)m->intra_plan) return;
    m->intra_lent = std::max((int64_t)bits - m->frame_bits - m->intra_debt, (int64_t)0);
}

}  // namespace

void rc_model_frame_end(rc_model *m, int32_t bits, int32_t cls, uint32_t exact)
{
    cls = std::min(std::max(cls, 0), 2);
    int32_t e = m->end_pos;
    if (m->slot_class[e] != 3 && counted(m, e)) {
        m->class_bits[m->slot_class[e]] -= m->actual[e];
        m->class_count[m->slot_class[e]]--;
    }
    m->deviation += (int64_t)m->frame_bits - bits;
    int64_t fill = std::max(m->bucket_fill - (int64_t)bits, (int64_t)0) + m->max_frame_bits;
    // What the full bucket cannot hold is lost: the fill held back from the
    // pictures' upper bounds gives way by as much, since pictures that leave
    // the bucket running over are not draining it (pan2 1280x720 at
    // 4000 kbit/s, one second's bucket: 25 % under the rate while the held
    // fill kept its P pictures small and its B pictures spent little).
    int64_t lost = std::max(fill - m->bucket_size, (int64_t)0);
    m->bucket_hold = std::max(m->bucket_hold - lost, (int64_t)0);
    int64_t repaid = std::min(m->bucket_lent, m->bucket_repay);
    m->bucket_lent -= repaid;
    m->bucket_hold += repaid;
    m->bucket_fill = std::min(fill, m->bucket_size);
    m->slot_class[e] = (int8_t)cls;
    m->actual[e] = bits;
    m->in_share[e] = exact || true_shares(m) ? 1 : 0;
    if (counted(m, e)) {
        m->class_bits[cls] += bits;
        m->class_count[cls]++;
    }
    m->end_pos = (e + 1) % m->length;
    if (m->frames_done++ == 0) first_intra_lent(m, bits);
    // Paid back as far as the stream has come back to its rate.
    m->intra_debt = std::min(m->intra_debt, std::max(-m->deviation, (int64_t)0));
}
