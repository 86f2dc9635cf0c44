// Transform blocks quantised by the searches, kept for the next time the same
// block is coded from the same prediction. Trials of different candidates
// often do exactly that: two intra modes that predict the same samples, a
// merge candidate and a partition whose units move alike, a decided CU coded
// again to leave its state live. The rate-distortion quantisers' levels are a
// function of the source block, the prediction, the quantiser and its
// settings and the context states they price with, so a block whose inputs
// all compare equal to a kept one takes the kept levels (and, where it is
// rebuilt at once, the kept reconstruction) instead of being transformed,
// quantised and rebuilt again.
//
// The kept blocks belong to the calling thread, nothing is shared between
// threads, and each CTU search starts with none: a block is only taken from
// the search that kept it, over the same source.
#pragma once
#include <cstdint>

#include "bitstream/cabac.h"
#include "kernels/quant/quant.h"

// One transform block about to be quantised.
struct residual_memo_query {
    // what decides the levels
    rdoq_fn quantiser;
    uint32_t lambda;
    uint16_t round;
    uint8_t plane, log2, qp, scan, transform;   // transform: the 4x4 DST selection, 0 above 4x4
    uint8_t low;                                 // k of the low-frequency forms, 0 for the full ones
    uint8_t rebuild;                             // the reconstruction is made at once (intra)
    int32_t x, y;                                // the block's position in its plane of the CTU
    uint8_t *pred;                               // stride CTU_WORK_STRIDE: the prediction, then the reconstruction
    int16_t *levels;                             // n x n
    cabac_rate_state *rate;                      // the live coder's states
    void *entry;                                 // set by residual_memo_fetch
};

// A kept block with these inputs: its levels go to q->levels, the quantiser's
// model bytes to q->rate and, with rebuild, its reconstruction over q->pred;
// returns 1 and the non-zero flag in *nz. Otherwise returns 0 and takes a
// place for the block, whose outputs residual_memo_keep records once the
// caller has coded it.
// A CTU search starts on the calling thread: the blocks kept so far are given up.
void residual_memo_new_search();
int32_t residual_memo_fetch(residual_memo_query *q, int32_t *nz);
void residual_memo_keep(const residual_memo_query *q, int32_t nz);
// Counts of the calling thread's fetches since it started: lookups and hits.
void residual_memo_counts(uint64_t *lookups, uint64_t *hits);
