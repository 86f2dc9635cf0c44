// Motion search of one prediction unit in one reference picture: the per-CTU
// search context, the PU descriptor handed to a search, the result record,
// the search window and the cost a search minimises (block metric plus the
// vector cost of the mv_cost table, which already carries the rate weight).
#pragma once
#include <cstdint>

#include "kernels/mc/mc.h"
#include "kernels/metrics/metric.h"

struct row_context;
struct quarter_window;

enum : uint32_t {
    cost_infinite = 0x1fffffff,
    mv_unset = 0x7fff7fff,
};

enum { ME_MAX_REFS = 17 };

struct me_context {
    uint32_t ref_stride;           // luma stride of every reference
    int32_t search_method;         // 0 hexagon, 1 diamond with escalation, 2 iterated small diamond
    uint16_t pic_width, pic_height;
    const metric_table *metric;
    const mc_table *mc;
    int32_t search_range;          // spent as an iteration budget
    int32_t list_count;            // 2 in B slices, else 1
    int32_t ref_count[2];
    int32_t ctu_x, ctu_y;          // luma position of the CTU's top-left sample
    const uint8_t *ref_plane[2][ME_MAX_REFS];         // full-sample luma at the CTU origin
    const uint8_t *ref_phase[2][ME_MAX_REFS][16];     // phase planes (with sub-sample planes)
    const uint8_t *src;            // source CTU, stride 64
    // Per-CTU settings the searches read, copied from the encoder instance.
    int32_t speed_level;           // 0..7
    int32_t subpel_level;          // 0 none, 1 half, 2 half and quarter samples
    int32_t use_subpel_planes;     // fractional blocks come from ref_phase
    quarter_window *quarter;       // with sub-sample planes: the CTU thread's quarter-sample phases, or null
    int32_t subpel_bilinear;       // without phase planes: bilinear instead of 8-tap
    int32_t coarse_refine_level;   // read by the fast search when its flag is set
    int32_t mv_limit_min_x, mv_limit_min_y, mv_limit_max_x, mv_limit_max_y;  // full samples
    const uint16_t *const *mv_cost_slots;  // indexed 4 * qp + layer, each at the zero difference
    int32_t cost_layer;
    int32_t mv_cost_limit;         // largest |difference| the tables hold (quarter samples)
    uint8_t *scratch;              // interpolated predictions, stride 64, 64x64
    const uint32_t *activity;      // CTU activity (64x64, 32x32, 16x16, 8x8 levels), or null
};

struct pu_desc {
    int16_t x, y;                  // inside the CTU, luma samples
    int16_t width, height;
    int32_t shape;                 // 0 for a longer side of 64, 1 for 32, 2 for 16, 3 for 8, 4 for 4
    int32_t list;
    int32_t amvp_count;            // 1 or 2
    int8_t ref_idx;
    int8_t cand_count;             // extra start candidates, 0..2
    uint32_t amvp[2];
    uint32_t cand[2];
};

struct me_result {
    uint32_t cost;
    uint32_t cost2;
    uint32_t mv;
    int8_t ref_idx;
};

// The full-sample window of a PU and its packed form.
struct mv_window {
    int32_t x_lo, x_hi, y_lo, y_hi;  // full samples
    uint32_t win_lo, win_hi;
};

void mv_window_compute(const me_context *me, const pu_desc *pu, mv_window *w);

// One add, one subtract, one or and one test per vector.
static inline bool mv_in_window(const mv_window *w, uint32_t mv)
{
    int32_t vx = (int16_t)(mv & 0xffff), vy = (int16_t)(mv >> 16);
    uint32_t t = ((uint32_t)vx << 16) | ((uint32_t)vy & 0x7fff);
    return (((t + w->win_lo) | (w->win_hi - t)) & 0x80004000u) == 0;
}

// Clamped into the window, then rounded to the nearest full sample (halves
// up), in quarter samples.
uint32_t mv_round_to_fullpel(const mv_window *w, uint32_t mv);

// Per CTU of a P or B slice: settings from the instance, then the reference
// pointers at the CTU position.
void me_context_init(row_context *ctx, me_context *me);
void me_context_set_refs(row_context *ctx, me_context *me);

// The vector-cost table of a QP for the context's layer (at the zero entry).
const uint16_t *me_cost_table(const me_context *me, int32_t qp);

// Price of one vector component difference; differences beyond the table
// (a far predictor from a scaled temporal vector) take its last entry.
static inline uint32_t me_component_cost(const uint16_t *table, int32_t limit, int32_t d)
{
    if (d > limit) d = limit;
    if (d < -limit) d = -limit;
    return table[d];
}

void motion_search_fast(row_context *ctx, const me_context *me, me_result *out, const pu_desc *pu,
                        int32_t qp, uint32_t bound, int32_t flag, int32_t likely_ref);
void motion_search_full(row_context *ctx, const me_context *me, me_result *out, pu_desc *pu, int32_t qp,
                        uint32_t bound, int32_t flag, int32_t likely_ref);
