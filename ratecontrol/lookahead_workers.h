// Set-up of the lookahead's cost jobs and their run on the job pool.
#pragma once

#include "encoder/job_pool.h"

struct lookahead;

// Takes or builds the kernel and vector-cost tables, allocates one scratch
// record per pool thread and the macroblock-tree's row buffers, creates the
// two job locks. 0, or -1 (lookahead_workers_close frees what was made).
[[nodiscard]] int lookahead_workers_open(lookahead *la);
void lookahead_workers_close(lookahead *la);

// One job on the calling thread and up to `helpers` more on the pool (at most
// one per pool thread), all with this argument; jobs no pool thread has
// started when the caller's own job ends are taken back, the others waited
// for. Without a pool the calling thread runs the single job.
void lookahead_run_cost_jobs(lookahead *la, job_func function, uint64_t arg, int32_t helpers);
