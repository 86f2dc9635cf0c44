// Internals of the lookahead's low-resolution costs, shared by the frame cost,
// its block estimate and the macroblock-tree.
#pragma once
#include <cstdint>

#include "analysis/motion/lowres_search.h"
#include "encoder/platform/platform.h"

struct internal_config;
struct lookahead;
struct picture;

// One per job-pool thread: a cost job works only in its own record.
struct lowres_cost_scratch {
    // 64-bit sums: a huge picture's block costs can pass 32 bits; the cells
    // take them saturated.
    uint64_t intra_sum, best_sum, intra_sum_aq, best_sum_aq;
    uint64_t *intra_ctu;              // per CTU
    uint64_t *best_ctu;
    alignas(32) uint8_t pred[8 * 128];  // bi-prediction, stride 128
    alignas(32) uint8_t src[8 * 64];    // source block copy, stride 64
    uint8_t ref[33];                  // intra reference samples of an 8x8 block
    uint8_t ref_smoothed[33];
    me_context me;
};

// The argument of every job of one lookahead_frame_cost call; lives on the
// caller's stack while the jobs run.
struct frame_cost_job_args {
    lookahead *la;
    picture **frames;
    int32_t p0, p1, b;
    int32_t search[2];                // list 0 / list 1 vectors are searched (else reused)
    int32_t job_counter;              // under the claim lock
    int32_t next_row;                 // under the claim lock
};

// Block grid of the lookahead: one 8x8 half-resolution block per 16x16 area.
struct lowres_grid {
    int32_t cols, rows;               // blocks inside the picture
    int32_t stride;                   // 4 x CTU columns
    int32_t ctu_cols, ctu_rows;
    int32_t step_x, step_y;           // block subsampling (1, 2 or 4)
};

lowres_grid lowres_grid_of(const internal_config *cfg);

// Costs the block (bx, by) of frames[b] for the cell (b - p0, p1 - b) and adds
// it into the scratch sums; stores its per-block results into frames[b].
void lookahead_block_cost(lookahead *la, lowres_cost_scratch *s, const frame_cost_job_args *args, int32_t bx,
                          int32_t by);

// Job function of the job pool: claims block rows until none is left, then
// adds its sums into the picture's cells. Returns 0.
uint64_t lookahead_cost_job(uint64_t args);
