// Constant bitrate: a window model that plans every picture's bits, and the
// per-CTU statistics that compare the bits spent with the cost share so far.
#pragma once
#include <cstdint>

#include "ratecontrol/ratecontrol.h"

// Slots of each ring at most: the class counts are 8-bit.
constexpr int32_t RC_MODEL_MAX_LENGTH = 127;

struct rc_model {
    int32_t frame_bits;
    int32_t max_frame_bits;
    int32_t min_frame_bits;
    int32_t ctu_count;
    int32_t window;
    int32_t dev_near_low;
    int32_t dev_far_low;
    int32_t dev_near_high;
    int32_t dev_far_high;
    int32_t length;
    int32_t frames_in_flight;
    int32_t write_pos;
    int32_t gop_count;
    int32_t *planned;
    // What the bucket expects of each picture in flight: its plan, or more
    // where the frame predictor expects more at the QP it is coded with.
    int32_t *expected;
    int64_t deviation;
    // Pictures the stream has left to code, this one included, once its
    // input has ended (0 until then).
    int32_t pictures_left;
    int32_t frames;
    int32_t end_pos;
    int64_t class_bits[3];            // 64-bit: a window of large pictures passes 32 bits
    int8_t class_count[3];
    // Whether the finished picture in each slot counts in its class share.
    uint8_t *in_share;
    int32_t *actual;
    int8_t *slot_class;
    double ratio[3];
    // The leaky bucket the window stands for: window x max_frame_bits, filled
    // by max_frame_bits per picture, drained by each finished picture; it
    // starts RC_BUCKET_START full. Its memory keeps the sum of any run of
    // pictures to the rate, which a window of the last pictures alone does not.
    int64_t bucket_size;
    int64_t bucket_fill;
    // The fill a bucket of more than RC_BUCKET_LEND_PICTURES holds back
    // from the pictures' upper bounds (0 for shorter ones); an anchor that
    // later pictures lean on may take part of it.
    int64_t bucket_hold;
    // What an intra picture under the tree borrowed from the held fill, and
    // how much of it each finished picture gives back to the hold.
    int64_t bucket_lent;
    int64_t bucket_repay;
    // What the first intra picture of a long bucket took of the starting
    // fill beyond a keyframe's share, while the stream has not spent that
    // much less than its rate since: a debt the window's floor leaves out.
    int64_t intra_debt;
    // The first intra picture's plan, and what the bucket lent it when it
    // came within FIRST_INTRA_PLAN_KEPT of that plan: its size beyond a mean
    // picture's, less its debt. The anchors of the first window do not pay
    // this part of the running deviation back (see first_window_owed).
    int64_t intra_plan;
    int64_t intra_lent;
    // Pictures finished.
    int32_t frames_done;
    // Display number of the latest intra picture planned, and whether it
    // came a whole keyframe period after the one before (the bucket saved
    // for it) rather than at a cut.
    int32_t key_frame_number;
    int32_t key_periodic;
    // Whether the picture being planned saves for a periodic keyframe (see
    // rc_model_key_ahead).
    int32_t key_saving;
    // Picture order count of the latest P picture planned as an intra one
    // (a scene cut left as a P picture) since that intra picture; -1 none.
    int32_t cut_poc;
    // Picture order count and plan (the mean QP of its CTUs) of the latest
    // keyframe of a long bucket after the first picture; -1 none.
    int32_t key_poc;
    double key_plan;
    // The finest plan (mean QP of its CTUs) of an anchor since the latest
    // intra picture or cut; 0 before one (see few_rows_floor).
    double anchor_finest_qp;
    // The share of its target that the latest intra picture was planned at.
    double key_take;
    // Pictures planned (`frames`) when the latest anchor was planned.
    int32_t anchor_frames;
    // How strongly the tree said later pictures lean on the latest anchor.
    double anchor_lean;
    // Pictures of the mini-GOP that the next anchor planned opens (a P
    // picture's distance to its reference; 0 unknown), and of the one the
    // latest P picture opened (0 before one).
    int32_t next_span;
    int32_t p_span;
};

constexpr double RC_BUCKET_START = 0.9;
// The most refill a picture's upper bound may borrow from the bucket's
// starting fill, in pictures, whatever the bucket's length.
constexpr int32_t RC_BUCKET_LEND_PICTURES = 9;

// A bucket longer than RC_BUCKET_LEND_PICTURES absorbs a picture's miss over
// the pictures that follow and lends the intra pictures more of its fill.
inline bool rc_model_long_bucket(const rc_model *m)
{
    return m->window > RC_BUCKET_LEND_PICTURES;
}

// Whether the rate control codes constant bitrate over a long bucket.
inline bool rc_cbr_long_bucket(const ratecontrol *rc)
{
    return rc->cbr && rc->model && rc_model_long_bucket(rc->model);
}

struct rc_rowstats {
    int32_t cols;
    int32_t rows;
    int32_t target;
    int32_t upper_bits;
    int32_t lower_bits;
    double ratio_high;
    double ratio_low;
    // The picture spends up to its target, whatever its lower bound: the
    // bucket ran over with the latest picture, or is short.
    int32_t spend_target;
    // The bucket is longer than RC_BUCKET_LEND_PICTURES: it absorbs a
    // picture's miss, and the ratio's rise is capped.
    int32_t long_bucket;
    // The fill the bucket holds when the picture is removed: more than that
    // runs it dry, whatever the bucket's length.
    int32_t fill_bits;
    const uint32_t *ctu_cost;
    int32_t cost_total;
    int32_t cost_floor;
    uint32_t *wave_cost;
    uint32_t *row_cost;
    uint32_t *wave_bits;
    uint32_t *row_bits;
    // Whether a CTU of the wave sums (row prefix) took far more than its
    // cost share while coded finer than planned; see past_cliff.
    uint8_t *wave_cliff;
    uint8_t *row_cliff;
    double *ctu_ratio;
};

// CBR class of a picture type: 0 IDR, CRA, I, P; 1 reference B; 2 B.
int32_t rc_cbr_class(uint32_t picture_type);

[[nodiscard]] rc_model *rc_model_new(int32_t frame_bits, int32_t max_frame_bits, int32_t min_frame_bits, int32_t window,
                       int32_t span, int32_t frames_in_flight, int32_t ctu_count);
void rc_model_delete(rc_model *m);
void rc_model_reset(rc_model *m);
// The target and bounds `out` of the next picture of class `cls`; `lean`
// (0 to 1) is how strongly the tree says later pictures lean on it.
void rc_model_frame_target(rc_model *m, int32_t cls, double lean, int32_t out[3]);
// The next picture planned is a P picture that opens a mini-GOP of `span`
// pictures (its distance to its reference); 0 for any other.
void rc_model_anchor_span(rc_model *m, int32_t span);
void rc_model_pictures_left(rc_model *m, int32_t left);
void rc_model_set_last(rc_model *m, int32_t bits);
// What the bucket expects of the picture planned last, at least its plan.
void rc_model_expect_last(rc_model *m, int32_t bits);
// The ring slot of the picture planned last.
int32_t rc_model_last_slot(const rc_model *m);
// A picture in flight in `slot` has finished coding with `bits`: the window
// and the bucket count it at that size from now on.
void rc_model_size_known(rc_model *m, int32_t slot, int32_t bits);
void rc_model_frame_end(rc_model *m, int32_t bits, int32_t cls, uint32_t exact);
// An intra picture of display number `frame_number` is planned; keyframes
// come every `key_interval` pictures (0: none but the first).
void rc_model_keyframe(rc_model *m, int32_t frame_number, int32_t key_interval);
// The share of the bucket fill an intra picture may take: of the fill it
// starts with in a long bucket, of the fill after it in a short one.
double rc_model_intra_room(const rc_model *m);
// The bucket's fill when the picture just planned is removed, the pictures
// in flight before it draining it at their plans (what the bucket expects
// of them runs several times larger over the first window, and would hold
// the pictures there far under what the bucket holds).
double rc_model_picture_fill(const rc_model *m);
// An intra picture of `bits` is planned: what it takes beyond its share of
// the lendable fill comes out of the held fill, which the next window's
// pictures give back.
void rc_model_intra_taken(rc_model *m, int32_t bits);
// The picture of display number `frame_number` is planned next; keyframes
// come every `key_interval` pictures (0: none that it saves for).
void rc_model_key_ahead(rc_model *m, int32_t frame_number, int32_t key_interval);
// Caps the target and upper bound `out` of the picture of display number
// `frame_number` just planned so that the bucket is full again for the
// keyframe that `key_interval` forces; nothing when that keyframe is not near.
void rc_model_key_save(rc_model *m, int32_t frame_number, int32_t key_interval, int32_t out[3]);

[[nodiscard]] rc_rowstats *rc_rowstats_new(int32_t cols, int32_t rows);
void rc_rowstats_delete(rc_rowstats *s);
void rc_rowstats_frame_start(rc_rowstats *s, const int32_t bits[3], const uint32_t *ctu_cost, int32_t cost_total);
double rc_rowstats_ctu_ratio(rc_rowstats *s, int32_t x, int32_t y);
void rc_rowstats_ctu_add(rc_rowstats *s, int32_t x, int32_t y, uint32_t bits);

// The frame QP of a CBR picture (rc->pic), and the model slot reset at an
// intra picture.
double rc_cbr_frame_qp(ratecontrol *rc, const internal_config *cfg);
void rc_cbr_gop_reset(ratecontrol *rc, const internal_config *cfg);
// Frame end of a CBR picture: the model and the lambda coefficient.
void rc_cbr_frame_end(ratecontrol *rc, const internal_config *cfg, const rc_frame_totals *totals, uint32_t bits);
