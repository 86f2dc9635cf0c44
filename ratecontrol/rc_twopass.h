// Two-pass rate control: the statistics text the first pass writes, the
// entries the second pass reads back, the plan made from them before coding
// and the per-picture qscale estimate of the bitrate modes.
#pragma once
#include <cstdint>

#include "ratecontrol/ratecontrol.h"

// One picture line of the first-pass statistics, indexed by first-pass coding
// number.
struct pass2_entry {
    int32_t slice_class;     // 0 B, 1 P, 2 I
    int32_t picture_type;    // 1 IDR, 2 CRA, 4 P, 5 reference B, 6 B
    uint32_t non_b;
    double qscale_first;     // first pass's planned qscale
    double qscale_new;       // planned (then used) qscale of the second pass
    int32_t pred_bits;
    int32_t resid_bits;
    int32_t misc_bits;
    float qp_coded;
    int64_t expected_bits;   // planned bits of every entry before this one
    int32_t pass2_qp;
    int32_t intra_units;
    int32_t skip_units;
    float blurred_cplx;
    float duration;
    double expected_vbv;
    // Second pass, once the picture has finished (0 before): its size, what
    // rc_entry_bits expected of it at its QP, and the log of its first-pass
    // qscale over that QP's.
    double coded_bits;
    double coded_estimate;
    double qscale_log_ratio;
    // The anchor (I or P picture) before the entry in coding order (-1 for
    // none), the entry's first-pass QP less that anchor's, the share of its
    // bits taken as new (coded the same from any reference) and the log2 of
    // the factor its coded bits take at the step the plan gives it from that
    // anchor (see rc_anchor_steps_update).
    int32_t anchor_before;
    float anchor_step_first;
    float new_share;
    double anchor_step_log2;
};

// Longest header text with its terminating zero, and the size of its block.
constexpr int RC_STATS_HEADER_SIZE = 256;
// Longest picture line accepted when reading (a written line is at most 128).
constexpr int RC_STATS_LINE_MAX = 255;

// bits(e, q): the entry's size predicted at qscale q.
double rc_entry_bits(const pass2_entry *e, double q);

// First pass: builds stats_header from the configuration. 0, or -1 when the
// block cannot be allocated.
[[nodiscard]] int rc_pass1_header(ratecontrol *rc, const internal_config *cfg);
// First pass: prints the statistics text of the picture being ended (the header
// before the line of coding number 0) at the start of buffer.
void rc_pass1_write_line(ratecontrol *rc, const rc_frame_totals *totals, char *buffer);
// Second pass: parses the text (its line feeds are overwritten) into
// pass2_entries / pass2_order / pass2_count of rc. May change cfg->lookahead.
// 0, or -1 with a message and nothing allocated left in rc.
[[nodiscard]] int rc_pass2_read(ratecontrol *rc, internal_config *cfg, char *text);

// A block of n doubles (free with aligned_free), or null when n is not
// positive, too large or cannot be allocated.
[[nodiscard]] double *rc_alloc_doubles(int64_t n);

// The anchors before every entry, the first pass's steps from them and the
// entries' new shares (the factors reset), once the entries are read. 0, or
// -1 when a block cannot be allocated.
[[nodiscard]] int rc_anchor_steps_prepare(ratecontrol *rc);
// Every P entry's factor of its coded bits from the step between its
// qscale_new and its anchor's, against the first pass's step (the plan's
// qscales, whenever they change).
void rc_anchor_steps_update(ratecontrol *rc);

// Pass-2 planning over all entries, at creation.
[[nodiscard]] int rc_pass2_plan(ratecontrol *rc, const internal_config *cfg);
double rc_get_qscale(ratecontrol *rc, const internal_config *cfg, const pass2_entry *e, double rate);
double rc_diff_limited_qscale(ratecontrol *rc, const internal_config *cfg, const pass2_entry *e, double q);
double rc_count_expected_bits(ratecontrol *rc);
[[nodiscard]] int rc_vbv_plan(ratecontrol *rc, const internal_config *cfg, double budget);

// Second pass: the picture of rc->pass2_current has taken `bits`; what it
// teaches rc_pass2_steepness and rc_pass2_model_bias (once per picture).
void rc_pass2_finished(ratecontrol *rc, double bits);
// How much more steeply than rc_entry_bits assumes the finished pictures of
// the class have moved in size from their first-pass sizes as their qscale
// moved: an exponent added to the estimate's (0 until learned).
double rc_pass2_steepness(const ratecontrol *rc, int32_t slice_class);
// The bits of the finished pictures over what the estimate, steeper by its
// class's steepness for anchors, expects of them at the QPs they were coded
// at (0 before any has finished).
double rc_pass2_model_bias(const ratecontrol *rc);
// How many more bits the plan expects of the P pictures after the picture
// of this coding number, at their planned qscales, than the estimate steeper
// by the learned P steepness does (negative where it expects fewer; 0 until
// learned), and of the B pictures planned coarser than in the first pass
// than the estimate steeper by the learned B steepness does.
double rc_pass2_plan_overcount(const ratecontrol *rc, int32_t coding_number);
// The qscale at which an anchor picture takes what rc_entry_bits expects of
// it at q, its size moving from the first pass's steeper by `steepness`:
// the move from its first-pass qscale shrinks by the ratio of the exponents.
double rc_pass2_steep_qscale(const pass2_entry *e, double q, double steepness);

// The qscale of the picture in rc->pic under one-pass ABR, CRF and pass 2.
float rc_estimate_qscale(ratecontrol *rc, const internal_config *cfg);
