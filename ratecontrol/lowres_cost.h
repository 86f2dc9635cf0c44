// Internals of the lookahead's low-resolution costs, shared by the frame cost,
// its block estimate and the macroblock-tree.
#pragma once
#include <cstdint>

#include "analysis/motion/lowres_search.h"
#include "encoder/platform/platform.h"

struct internal_config;
struct lookahead;
struct picture;

// x of block 0 of a vector array that is not searched yet.
const uint32_t LOWRES_MV_NOT_SEARCHED = 0x7FFF;

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

// Where the computation of one cell reads and writes its per-block arrays
// and sums: the picture's own (lowres_cell_target_of), or the copies that the
// lookahead's speculation fills for a cell the next decision may ask for
// (lookahead_ahead.cpp). Null arrays belong to distances the cell lacks.
struct lowres_cell_target {
    uint32_t *mvs[2];                 // vectors towards the list-0 / list-1 reference
    uint32_t *mv_costs[2];
    uint32_t *costs;                  // lowres_costs[d0][d1]
    uint32_t *intra_score;            // lowres_intra_score[d0]
    uint32_t *intra_costs;            // read when intra_done, else written
    int32_t intra_done;
    int32_t *cost, *cost_aq;          // the cell's sums
    int32_t *intra_cost, *intra_cost_aq;   // the picture's intra sums, added when !intra_done
    int32_t *row_costs, *ctu_costs;   // with VBV: the cell's per-row and per-CTU costs
    int32_t *intra_row_costs, *intra_ctu_costs;
};

// The picture's own arrays and sums of the cell (d0, d1).
lowres_cell_target lowres_cell_target_of(picture *pic, int32_t d0, int32_t d1);

// The argument of every job of one lookahead_frame_cost call; lives on the
// caller's stack while the jobs run.
struct frame_cost_job_args {
    lookahead *la;
    picture **frames;
    int32_t p0, p1, b;
    int32_t search[2];                // list 0 / list 1 vectors are searched (else reused)
    lowres_cell_target target;
    int32_t job_counter;              // under the claim lock
    int32_t first_scratch;            // scratch record of the first job: cells computed side by side take one each
    int32_t next_row;                 // claimed atomically
};

// Every array the cell (d0, d1) of pic reads or writes exists (distances up
// to bframes + 1).
bool lowres_cell_arrays_exist(const picture *pic, int32_t d0, int32_t d1);

// Block grid of the lookahead: one 8x8 half-resolution block per 16x16 area.
struct lowres_grid {
    int32_t cols, rows;               // blocks inside the picture
    int32_t stride;                   // 4 x CTU columns
    int32_t ctu_cols, ctu_rows;
    int32_t step_x, step_y;           // block subsampling (1, 2 or 4)
};

lowres_grid lowres_grid_of(const internal_config *cfg);

// Costs the block (bx, by) of frames[b] for the cell (b - p0, p1 - b) and adds
// it into the scratch sums; stores its per-block results into the target.
void lookahead_block_cost(lookahead *la, lowres_cost_scratch *s, const frame_cost_job_args *args, int32_t bx,
                          int32_t by);

// Job function of the job pool: claims block rows until none is left, then
// adds its sums into the target's. Returns 0.
uint64_t lookahead_cost_job(uint64_t args);
// Computes a cell into the target, on the calling thread and up to `helpers`
// pool threads. search[l] says whether the list-l vectors are searched or
// read; with VBV the target's row and CTU costs (and the intra ones when
// !intra_done) must be zero and its sums 0.
void lowres_cell_compute(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b, const int32_t search[2],
                         const lowres_cell_target *target, int32_t helpers);
// The same on the calling thread alone, with scratch record `scratch`: for
// cells computed side by side, each by one thread.
void lowres_cell_compute_alone(lookahead *la, picture **frames, int32_t p0, int32_t p1, int32_t b,
                               const int32_t search[2], const lowres_cell_target *target, int32_t scratch);
