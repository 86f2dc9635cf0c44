// Rate control: one record per frame instance, created once from the
// configuration, handed over from picture to picture on the caller's thread,
// read and written per CTU by the CTU threads of its own picture only.
#pragma once
#include <cstdint>
#include "bitstream/syntax_values.h"

struct internal_config;
struct lambda_tables;
struct metric_table;
struct picture;
struct rc_model;
struct rc_rowstats;
struct pass2_entry;

// Predicts bits = (coeff x cost + offset) / (qscale x count), updated with decay.
struct size_predictor {
    float coeff;
    float count;
    float decay;
    float offset;
};

// What rate control has seen of one kind of picture (frame predictor index):
// the latest picture of the kind whose size is known and the finest qscale
// any picture of the kind was coded at (0: none yet); with a buffer, the peak:
// the recent picture of the kind with the largest bits x qscale^3 / cost
// (fading by a factor with every picture seen after it) and its qscale.
struct rc_kind_seen {
    double bits;
    double qscale;
    double cost;
    double finest_qscale;
    double peak;
    double peak_qscale;
};

// The kinds of picture whose sizes are learned apart (rc_frame_pred_index):
// B, P, I and referenced B pictures.
constexpr int32_t RC_FRAME_KINDS = 4;

// Where a frame size predictor holds its sizes (0: not taught yet, the plain
// prediction applies) and how steeply they fall as the qscale rises: bits at q
// are the predictor's bits x (anchor_qscale / q)^(elasticity - 1).
struct frame_size_model {
    float anchor_qscale;
    float elasticity;
};

// The picture a frame instance codes, as rate control sees it. Filled by the
// encode call before ratecontrol_start; kept in the record until the frame end.
struct rc_picture {
    picture *source;
    picture *recon;
    const picture *ref0;     // first reference of list 0, or null
    const picture *ref1;     // first reference of list 1, or null
    int32_t slice_class;     // 2 I, 1 P, 0 B
    int32_t coding_number;
    int32_t irap_count;      // ra_period of the latest IDR / CRA taken for coding
    int32_t stream_pictures; // pictures in the whole input once it has ended, else 0
};

// What the CTU threads hand over when a picture is collected (the frame
// instance's picture totals).
struct rc_frame_totals {
    uint32_t intra_area;
    uint32_t skip_area;
    uint32_t prediction_bits;
    uint32_t residual_bits;
    uint32_t other_bits;
    double cbr_log_lambda_sum;
    uint32_t cbr_log_lambda_count;
};

struct ratecontrol {
    // QPs come from the one-pass estimate (average bitrate, CRF, constant QP
    // per type) rather than a second pass or the constant-bitrate model.
    uint32_t one_pass_estimate;
    uint32_t cbr;
    uint32_t two_pass;
    uint32_t lqp;
    uint32_t vbv;
    double fps;
    double bitrate;
    double rate_tolerance;
    double qcompress;
    int32_t frame_8x8_units;
    int32_t qp_p;
    int32_t qp_i;
    int32_t qp_b[3];
    pass2_entry *pass2_current;
    int32_t frame_qp;
    float frame_qp_f;
    float qp_plan_sum;
    float qp_coded_sum;
    int32_t frame_satd;
    // An intra picture of a kind not yet seen, where a buffer is at stake:
    // the detail its half-resolution plane leaves out (0 otherwise).
    double intra_detail;
    double last_rate_eq;
    double complexity_sum;
    double wanted_bits_window;
    double decay;
    double short_term_cplx_sum;
    double short_term_cplx_count;
    double crf_factor;
    double ip_offset;
    double pb_offset[3];
    double *cbr_coeff;
    double *cbr_exp;
    rc_model *model;
    rc_rowstats *rowstats;
    int32_t cbr_bits[3];
    uint32_t cbr_exact;
    int32_t cbr_slot;            // the model's ring slot of the picture's plan
    int32_t cbr_cost_limit;
    int32_t cbr_frame_cost;
    uint32_t size_planned;
    int32_t vbv_size;
    int32_t vbv_frame_bits;
    int32_t vbv_fill;
    int32_t vbv_fill_planned;
    int32_t frame_size_planned;
    uint32_t vbv_small;
    float qp_novbv;
    size_predictor row_pred[3][2];
    size_predictor *row_pred_current;
    // The row predictors as the latest finished picture of each class left
    // them (first record): a picture starts from them and hands them back, so
    // that every frame instance learns from all pictures.
    size_predictor row_pred_shared[3][2];
    size_predictor *vbv_rows;
    size_predictor frame_pred[RC_FRAME_KINDS];     // used in the first record only (rc_frame_predictors)
    frame_size_model frame_model[RC_FRAME_KINDS];  // beside frame_pred, first record only
    int32_t pass2_count;
    pass2_entry *pass2_entries;
    int32_t *pass2_order;
    char *stats_header;
    double last_qscale;
    double last_qscale_for[5];
    int32_t last_non_b_type;
    double accum_p_qp;
    double accum_p_norm;
    double last_accum_p_norm;
    double qscale_min[5];
    double qscale_max[5];
    double qscale_step;

    // Where the record lies among its frame instance's siblings, and the
    // picture it carries.
    int32_t record_index;
    int32_t record_count;
    uint32_t in_flight;          // a picture was started and not yet ended
    uint32_t size_known;         // it has finished coding and its size is known
    double known_bits;           // that size, before access-unit assembly
    rc_picture pic;
    // Geometry of the coded picture.
    int32_t width;
    int32_t height;
    int32_t ctu_cols;
    int32_t ctu_rows;
    int32_t ctu_count;
    int32_t cost_cols;           // 8x8 half-resolution blocks per row
    int32_t cost_rows;
    // Constant bitrate: the picture's lookahead cost per CTU (own per record).
    uint32_t *cbr_ctu_cost;
    // Bits of every finished picture (kept in the first record, caller's thread).
    double total_bits;
    // Second pass (first record): the sums of rc_pass2_steepness's fit for P,
    // I and B pictures, and the bits of the finished B pictures with what the
    // estimate expected of them.
    double pass2_steep_num[3];
    double pass2_steep_den[3];
    double pass2_b_coded;
    double pass2_b_expected;
    // Second pass (first record): the finest qscale of the latest intra
    // picture and the P pictures coded since (0 before the first).
    double pass2_anchor_finest_qscale;
    // Second pass (first record): how much smaller in log2 a P picture's
    // size is per QP its step from its anchor grows (see
    // rc_anchor_steps_prepare).
    double pass2_anchor_slope;
    // How the planned sizes of finished pictures turned out, actual / planned,
    // by frame predictor (first record): pictures in flight count with their
    // plan times their predictor's scale.
    double plan_scale[RC_FRAME_KINDS];
    // How the plans of pictures that the buffer coded finer to take part of
    // its refill turned out, actual / planned (first record; one-pass average
    // bitrate under zero latency, see rc_vbv_clip_qscale), and whether the
    // record's picture is one (own per record).
    double finer_scale;
    uint32_t finer_planned;
    // What finished pictures have shown, by frame predictor index (first
    // record), and how many pictures have been collected.
    rc_kind_seen seen[RC_FRAME_KINDS];
    int32_t collected;
    // The intra cost of the latest picture started (first record), against
    // which a keyframe tells a new scene.
    double scene_intra_cost;
    // The product of how far the content's cost moved at every scene cut so
    // far (first record), and its value when the record's picture started:
    // a picture of an earlier scene joins the rate equation's sums moved by
    // the cuts since.
    double scene_scale;
    double scene_scale_at_start;
    // The record's picture is a keyframe that starts a new scene.
    uint32_t scene_cut;
    // What the latest two P pictures that the lookahead costs about as coded
    // intra took, the latest first, each as a share of what the intra
    // predictor expects of it at its qscale (first record); 0 where there is
    // none, and both 0 again after a P picture costed lower.
    double intra_like_shares[2];
    // No finished picture of the record's kind had taught its predictor when
    // the picture started (read by its rows, which other frame instances'
    // frame ends would otherwise race).
    uint32_t kind_unlearned;
};

// Per-CTU rate-control state of a row context. The encoder fills the inputs
// when a row or CTU starts; rc_ctu_qp and the row steps write the rest.
struct rc_ctu_context {
    ratecontrol *rc;                 // the picture's record
    const internal_config *cfg;
    const lambda_tables *lambdas;
    picture *source;
    picture *recon;
    int32_t slice_class;
    int32_t ctu_x;
    int32_t ctu_y;
    int32_t ctu_index;
    int32_t block_stride;            // 4 x CTU columns
    // The CTU's per-8x8 QP map: rows of 16 units, the CTU's 8 x 8 units at
    // rows 1..8 and columns 8..15. Null: the coded QP is taken as ctu_qp.
    const int8_t *qp_map;
    // written per CTU
    int32_t ctu_qp;
    uint32_t lambda_satd;
    uint32_t lambda_sse;
    double cbr_ctu_ratio;            // 1.0 unless the constant-bitrate rows say otherwise
    float qp_plan_row_sum;
    float qp_coded_row_sum;
};

// The first record of the block a record belongs to (it keeps what all share).
inline ratecontrol *rc_first(ratecontrol *rc)
{
    return rc - rc->record_index;
}
inline const ratecontrol *rc_first(const ratecontrol *rc)
{
    return rc - rc->record_index;
}

// QP and qscale: qscale = 0.85 x 2^((qp - 12) / 6).
double rc_qp_to_qscale(double qp);
double rc_qscale_to_qp(double qscale);

// Creates one record per frame instance (cfg->frame_instances) in one block;
// *out points at the first, record i at (*out)[i]. May rewrite vbv_bufsize,
// vbv_init and lookahead of cfg. 0, or -1 with nothing left allocated.
[[nodiscard]] int ratecontrol_new(ratecontrol **out, internal_config *cfg);
// Frees every record and what they own; null is ignored.
void ratecontrol_delete(ratecontrol *first);
// The slice QP: frame_qp_f rounded, within qp_min..qp_max.
int32_t ratecontrol_frame_qp(const ratecontrol *rc, const internal_config *cfg);
// Carries state along the coding order: into n from p (per-picture state),
// and from n into x (the sums the next frame end updates).
void ratecontrol_thread_sync(ratecontrol *n, const ratecontrol *p, ratecontrol *x);

// Starts a picture: decides its QP. 0, or -1 when the second pass has no line
// for the picture.
[[nodiscard]] int ratecontrol_start(ratecontrol *rc, const internal_config *cfg, const rc_picture *pic);
void rc_vbv_plan_fill(ratecontrol *rc);
double rc_vbv_clip_qscale(ratecontrol *rc, const internal_config *cfg, int32_t slice_class, double q);
// The qscale, raised where needed so that the picture's predicted size takes
// at most its share of the planned buffer fill; every picture type keeps to it.
double rc_vbv_fit_fill(const ratecontrol *rc, double q);

// Whether the sizes of anchor pictures (IDR, CRA, I, P) that have finished
// coding but not yet been collected help the decisions of later pictures:
// in the bitrate modes and under VBV.
bool ratecontrol_wants_early_sizes(const ratecontrol *rc, const internal_config *cfg);
// How many pictures before it in coding order may still be in flight, their
// sizes unknown, when the picture of this coding number (an anchor: IDR, CRA,
// I or P) takes its QP (INT32_MAX: any number).
int32_t ratecontrol_blind_span(const ratecontrol *rc, const internal_config *cfg, int32_t coding_number,
                               bool anchor);
// The picture ratecontrol_start began has finished coding and takes `bits`
// (before access-unit assembly): its kind's predictor learns from it now,
// and later decisions count it at that size until its frame end.
void ratecontrol_size_known(ratecontrol *rc, double bits);

// Ends the picture ratecontrol_start began, with the access unit's size in
// bits; totals may be null. Always 0.
int ratecontrol_end(ratecontrol *rc, const internal_config *cfg, const rc_frame_totals *totals, uint32_t bits);
void rc_vbv_frame_end(ratecontrol *rc, uint32_t bits);
// The share of the rate equation's complexity sum of the picture a record
// carries, taking `bits` at `qscale`. False when the picture has no share.
bool rc_abr_share(const ratecontrol *rc, const internal_config *cfg, double bits, double qscale, double *share);
void rc_update_predictor(size_predictor *p, float q, float cost, float bits, float divisor);
// The plan scale before any picture has finished: the start values of the
// predictors may fall short of the content, and the first pictures are all
// planned before any of them teaches anything.
constexpr double RC_PLAN_SCALE_START = 1.5;
// Moves a plan scale halfway (in the log domain) towards actual / planned
// bits of a finished picture, within a factor of four either way.
void rc_plan_scale_learn(double *scale, double actual, double planned);
// Frame size predictor of the picture a record carries: 0 B, 1 P, 2 I, 3 reference B.
int32_t rc_frame_pred_index(const rc_picture *pic);
// Whether the picture is the last of the input (known once the input has ended).
bool rc_last_of_stream(const rc_picture *pic);
// Whether a finished picture of the record's kind has taught its predictor.
bool rc_kind_learned(const ratecontrol *rc);
// Bits a size predictor expects of a cost at a qscale (at most 2e9).
float rc_predict_size(const size_predictor *p, float cost, float qscale);
// The frame size predictors, which the first record keeps for all: every
// finished picture teaches them, whichever frame instance coded it.
size_predictor *rc_frame_predictors(ratecontrol *rc);
// Elasticities at their start, anchors unset.
void rc_frame_models_init(ratecontrol *rc);
// Bits frame predictor `index` expects of a cost at a qscale.
float rc_frame_model_bits(const ratecontrol *rc, int32_t index, double cost, double qscale);
// A finished picture teaches frame predictor `index` (and its elasticity):
// `bits` at `qscale` for lookahead cost `cost`.
void rc_frame_model_learn(ratecontrol *rc, int32_t index, double qscale, double cost, double bits);
// How steeply the sizes of the picture's kind fall as the qscale rises.
double rc_frame_elasticity(const ratecontrol *rc);
// The factor by which the picture's qscale moves to divide its expected size
// by size_ratio: size_ratio^(1 / elasticity).
double rc_qscale_factor(const ratecontrol *rc, double size_ratio);
// The finest qscale at which the picture's predictor is trusted: two QP steps
// below its anchor, less where sizes climb steeply (0 while it has not
// learned).
double rc_known_qscale_floor(const ratecontrol *rc);
// The finest qscale a picture may take as its qscale falls: where the latest
// picture of its kind whose size is known would grow past `budget` bits, were
// sizes to climb at least as the square of the falling qscale (as film grain
// and noise make them do). A picture that took little may so come down fast,
// one that took much only slowly, instead of by fixed QP steps that hold
// pictures far below their share for many mini-GOPs. 0 while no picture of
// its kind has been seen.
double rc_size_descent_floor(const ratecontrol *rc, double budget);
// The same with sizes assumed to climb at least as qscale^-min_elasticity.
double rc_size_descent_floor_at(const ratecontrol *rc, double budget, double min_elasticity);
// rc_size_descent_floor, but a picture whose lookahead cost is far under the
// latest picture's is reckoned from a share of its size, and its size
// climbs at least as the cube (see REFRESH_COST_SHARE).
double rc_refresh_descent_floor(const ratecontrol *rc, double budget);
// The qscale at which the latest picture of its kind, scaled to this
// picture's lookahead cost, would take `budget` bits (finer or coarser than
// where it was coded), sizes taken to change at least as
// qscale^-min_elasticity; 0 while no picture of its kind has been seen.
double rc_seen_budget_qscale(const ratecontrol *rc, double budget, double min_elasticity);
// Where the picture would take `budget`, grown from the largest recent picture
// of its kind (its size per cost, weighed with the cube of its qscale, fading
// as more are seen), sizes climbing at least with min_elasticity. Grain that
// codes to almost nothing at one QP takes ten times more a few QPs finer, and
// so does a picture after one that found an exact match the lookahead cost
// does not see: from the latest picture alone, a grain P took 201 kbit of a
// 156 kbit buffer, and a keyframe 226 kbit of a 375 kbit buffer.
double rc_peak_floor(const ratecontrol *rc, double budget, double min_elasticity);
// The qscale one QP step finer than the planned mean QP of the picture's
// list-0 reference, the finest a P picture that must keep near its
// reference is coded at (the picture must have a reference).
double rc_reference_step_qscale(const ratecontrol *rc);
// The record's picture costs the lookahead about what it would cost coded
// intra (a cut that started no keyframe, or motion the lookahead misses).
bool rc_costs_like_intra(const ratecontrol *rc);
// The qscale at which a picture that takes `bits` at `qscale` would take
// `budget`, its size taken to change at least as qscale^-min_elasticity.
double rc_qscale_for_budget(const ratecontrol *rc, double qscale, double bits, double budget, double min_elasticity);
// The finest qscale average bitrate gives the picture: two QP steps below the
// finest at which a picture of its kind has been seen (0 while none has).
double rc_seen_qscale_floor(const ratecontrol *rc);
// Bits the picture's frame predictor expects of its lookahead cost at a qscale.
float rc_predict_frame_bits(const ratecontrol *rc, double qscale);
// Whether the stream, its pictures in flight at their expected sizes, has
// spent more than its rate gives the time it has coded.
bool rc_over_budget(const ratecontrol *rc, const internal_config *cfg);
// The detail of a picture's luma that its half-resolution plane leaves out:
// the summed distance of each sample from the mean of its 2x2 group.
double rc_intra_detail(const picture *source);
// Sets the record's intra detail for the picture in hand (see intra_detail).
void rc_intra_detail_start(ratecontrol *rc);
// The qscale at which the picture's frame predictor expects it to take `bits`.
double rc_qscale_for_bits(const ratecontrol *rc, double bits);
// What a picture in flight (a record with a planned size) is expected to
// take: its plan as the plans of finished pictures of its kind turned out,
// or what the predictors, which have learned since, now expect of it at its
// QP, whichever is more.
double rc_in_flight_bits(const ratecontrol *other);

// Before a picture takes its QP: at a keyframe that starts a new scene, one-pass
// average bitrate (without a VBV buffer) moves its rate-equation sums and
// latest qscales by how far the intra cost moved, and forgets the sizes seen
// of the old scene.
void rc_scene_cut_start(ratecontrol *rc, const internal_config *cfg);
// Whether the picture a record carries joins the rate equation's sums: a
// keyframe that starts a new scene does not.
bool rc_in_rate_equation(const ratecontrol *rc);

// Adaptive quantisation of a new source picture (before the lookahead sees it).
void adaptive_quant_frame(const internal_config *cfg, const metric_table *mt, picture *pic);
uint32_t aq_block_energy(const metric_table *mt, int32_t bx, int32_t by, const picture *pic);

// Per CTU, before the search: the CTU's QP and lambdas.
void rc_ctu_qp(rc_ctu_context *ctx);
// Constant bitrate: the macroblock-tree offset of the CTU in hand (0 where
// the offsets do not apply), which its QP adds to the frame QP.
float rc_cbr_tree_offset(const rc_ctu_context *ctx);
// The mean macroblock-tree offset over the CTUs of a picture (0 where the
// offsets do not apply): its CTUs' QPs lie that far from the frame QP.
double rc_tree_offset(const ratecontrol *rc, const internal_config *cfg, const picture *src);
// How strongly the tree says later pictures lean on the picture, 0 to 1.
double rc_tree_lean(const ratecontrol *rc, const internal_config *cfg, const picture *src);
// Per CTU, after ctu_begin: row-level rate control.
void rc_row_update(rc_ctu_context *ctx);
// Per CTU, after its syntax, with the CTU's bits: QP sums and row control.
void rc_row_vbv_adjust(rc_ctu_context *ctx, uint32_t bits);
// At a row end: the row's QP sums into the picture's record.
void rc_accumulate_ctu_qp(rc_ctu_context *ctx);
