// The lookahead: holds source pictures back until enough of the future is
// known, decides their types (keyframes, P, B pyramid, scene cuts) and hands
// them to the encoder one mini-GOP at a time in coding order.
//
// Everything here runs on the caller's thread of the encode calls, but for
// the speculation of the next decision's costs (lookahead_ahead.h), which
// works on its own thread between decisions; the only queue locks taken are
// the two queues' own, where the emptiness test reads both.
#pragma once
#include <cstdint>

#include "encoder/platform/platform.h"

struct internal_config;
struct picture;
struct picture_list;
struct picture_pools;
struct job_pool;
struct metric_table;
struct mc_table;
struct intra_pred_table;
struct mv_cost_table;
struct rd_tables;
struct lowres_cost_scratch;
struct lookahead_kernels;
struct lookahead_ahead;

// What the lookahead reaches of its encoder; filled by the encoder before
// lookahead_init and copied into the record.
struct lookahead_links {
    const internal_config *cfg;   // validated configuration of the encoder
    picture_pools *pools;         // for releasing the held anchor
    picture_list *coding_queue;   // the encoder's queue of decided pictures
    int32_t lookahead_delay;      // max(bframes, lookahead)
    // The cost jobs' pool and kernels. Any of them may be null: without a
    // pool the costs run on the caller's thread; missing kernel tables are
    // built by the lookahead itself from the configuration's processor flags,
    // and a missing vector-cost table from the configuration's lambdas.
    job_pool *pool;
    const metric_table *metric;
    const mc_table *mc;
    const intra_pred_table *intra;
    const mv_cost_table *mv_cost;
};

struct lookahead {
    picture_list *input_queue;    // undecided pictures, consecutive display numbers
    picture_list *output_queue;   // the mini-GOP just decided, coding order
    picture *held_anchor;         // first picture of the latest mini-GOP, one extra reference
    int32_t filling;              // the first picture is coded while its window still fills
    int32_t last_keyframe;        // display number of the latest IDR / CRA decided
    int32_t last_base_p;          // latest P of P layer 0 under zero latency
    int32_t ra_count;             // random-access period, +1 at every keyframe
    int32_t depth;
    lookahead_links links;

    // cost machinery (lowres_cost.cpp, mbtree.cpp)
    const metric_table *metric;
    const mc_table *mc;
    const intra_pred_table *intra;
    const mv_cost_table *mv_cost;
    lookahead_kernels *own_kernels;   // tables the links did not give
    rd_tables *own_rd;
    int32_t jobs;                     // cost jobs per computation: the pool's threads, at least 1
    lowres_cost_scratch *scratch;     // one per job
    tv_mutex claim_lock;              // job index (block rows are claimed atomically)
    tv_mutex sum_lock;                // additions into a picture's cells
    int32_t locks_made;
    uint32_t *mbtree_row;             // propagate amounts of one block row
    uint16_t *unit_weights;           // 256 per block column, for pictures without AQ weights
    lookahead_ahead *ahead;           // the next decision's costs worked out ahead; null without
                                      // a job pool of two threads or more
};

// Creates the record with queues of capacity depth + 1 (input) and depth
// (output). 0 with the record stored through out, or -1 with nothing left
// allocated and null stored.
[[nodiscard]] int lookahead_init(lookahead **out, const lookahead_links *links, int32_t depth);
// Frees both queues (with any pictures still in them) and releases the held
// anchor; null is ignored.
void lookahead_delete(lookahead *la);

// Appends a new undecided source picture (it carries the caller's reference).
// -1 when the input queue is full; the picture stays the caller's.
[[nodiscard]] int lookahead_put_frame(lookahead *la, picture *pic);
// When pictures wait: decides the next mini-GOP and appends it, in coding
// order, to the coding queue; its first picture becomes the held anchor.
// -1 when a queue has no room for a picture of it.
[[nodiscard]] int lookahead_get_frames(lookahead *la);
// Pictures waiting in both queues, read under their locks (input first).
int32_t lookahead_pending_count(lookahead *la);
// At the end of an encode call, once its picture is set up: the lookahead's
// thread starts on the costs the next decision will ask for, from the window
// as it stands (inputs_ended: no input follows, so the next decision sees
// exactly this window). Nothing happens without the speculation.
void lookahead_ahead_request(lookahead *la, int32_t inputs_ended);

// The decision window: the input queue's entries, held anchor at position 0.
// Types the window's pictures (see slicetype.cpp). -1, with nothing typed, when
// the input queue has no room for the held anchor.
[[nodiscard]] int lookahead_slicetype_decide(lookahead *la);
// 1 when frames[p1] starts a new scene after frames[p0]; may clear the
// scene-cut marks of positions p0 .. p0 + bframes + 1.
int32_t lookahead_scenecut(lookahead *la, int32_t p0, int32_t p1, int32_t n);
// 1 when the P cost of frames[p1] from frames[p0] reaches the biased intra cost.
int32_t lookahead_scenecut_test(lookahead *la, int32_t p0, int32_t p1);

// Moves the decided mini-GOP from the input queue into the output queue in
// coding order and stamps the coding timestamps (gop_order.cpp). -1 when the
// output queue has no room; the pictures it could not take are released.
[[nodiscard]] int lookahead_reorder_minigop(lookahead *la);

// Low-resolution costs (lowres_cost.cpp). On return the cell
// frame_cost[b - p0][p1 - b] of frames[b] is computed (and the intra cell when
// b == p1); computed cells are reused.
void lookahead_frame_cost(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b);
// The cell [d0][d1] of the lookahead costs that rate control reads for a
// picture: the distances the reference lists chose, else those of the nearest
// references; the intra cell for keyframes and for a cell never computed.
void lookahead_rc_distances(const picture *source, const picture *ref0, const picture *ref1, int32_t *d0,
                            int32_t *d1);
// The lookahead cost of the picture a frame instance starts, for that cell;
// hands the cell's row and CTU costs to the reconstructed picture (which may
// be null).
int32_t lookahead_rc_cost(const internal_config *cfg, picture *source, picture *recon, const picture *ref0,
                          const picture *ref1);
// Costs every picture of the window the way it will be coded.
void lookahead_window_costs(lookahead *la, picture **frames, int32_t last, int32_t first);
// The macroblock-tree over the window (mbtree.cpp): propagates each picture's
// inherited cost into its references, last picture first, and writes the
// mbtree_qp_offset of the pictures coded next.
void mbtree_analyse(lookahead *la, picture **frames, int32_t last, int32_t first);
// Adds the cost that picture b passes on through its cell (b - p0, p1 - b)
// into the propagate costs of frames[p0] and frames[p1]; a picture that is not
// referenced (referenced 0) passes on only its own share.
void mbtree_propagate(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b, int32_t referenced);
// Per CTU: -5 (1 - qcompress) log2((intra + propagate) / intra), stored at the
// CTU's top-left block of mbtree_qp_offset.
void mbtree_qp_offsets(lookahead *la, picture *pic);
