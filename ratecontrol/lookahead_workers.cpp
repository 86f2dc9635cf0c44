// What the lookahead's cost jobs work with: the kernel tables, the vector-cost
// table, one scratch record per job-pool thread and the two locks of the jobs.
#include <cstring>

#include "encoder/config.h"
#include "encoder/job_pool.h"
#include "encoder/lambda_tables.h"
#include "encoder/memory.h"
#include "kernels/intra/intra_pred.h"
#include "kernels/mc/mc.h"
#include "kernels/metrics/metric.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/lookahead_workers.h"
#include "ratecontrol/lowres_cost.h"

struct lookahead_kernels {
    metric_table metric;
    mc_table mc;
    intra_pred_table intra;
};

namespace {

int tables_open(lookahead *la)
{
    const lookahead_links *l = &la->links;
    const internal_config *cfg = l->cfg;
    la->metric = l->metric;
    la->mc = l->mc;
    la->intra = l->intra;
    la->mv_cost = l->mv_cost;
    if (!la->metric || !la->mc || !la->intra) {
        la->own_kernels = (lookahead_kernels *)aligned_malloc((int32_t)sizeof(lookahead_kernels));
        if (!la->own_kernels) return -1;
        metric_table_init(cfg->cpu_flags, &la->own_kernels->metric, cfg->metric_selector);
        mc_table_init(cfg->cpu_flags, &la->own_kernels->mc);
        intra_pred_table_init(cfg->cpu_flags, &la->own_kernels->intra);
        if (!la->metric) la->metric = &la->own_kernels->metric;
        if (!la->mc) la->mc = &la->own_kernels->mc;
        if (!la->intra) la->intra = &la->own_kernels->intra;
    }
    if (!la->mv_cost) {
        la->own_rd = (rd_tables *)aligned_malloc((int32_t)sizeof(rd_tables));
        if (!la->own_rd) return -1;
        std::memset(la->own_rd, 0, sizeof(rd_tables));
        lambda_tables_init(&la->own_rd->lambda, cfg);
        if (mv_cost_table_init(la->own_rd, cfg, 12) != 0) return -1;
        la->mv_cost = &la->own_rd->mv_cost;
    }
    return 0;
}

int scratch_open(lookahead *la)
{
    const internal_config *cfg = la->links.cfg;
    job_pool *pool = la->links.pool;
    la->jobs = pool && pool->thread_count > 0 ? pool->thread_count : 1;
    int64_t bytes = (int64_t)la->jobs * (int64_t)sizeof(lowres_cost_scratch);
    if (bytes > 0x7FFFFFFF - 64) return -1;
    la->scratch = (lowres_cost_scratch *)aligned_malloc((int32_t)bytes);
    if (!la->scratch) return -1;
    std::memset(la->scratch, 0, (size_t)bytes);
    lowres_grid g = lowres_grid_of(cfg);
    int64_t ctus = (int64_t)g.ctu_cols * g.ctu_rows;
    if (ctus < 1 || ctus * 8 > 0x7FFFFFFF - 64) return -1;
    for (int32_t j = 0; j < la->jobs; j++) {
        la->scratch[j].intra_ctu = (uint64_t *)aligned_malloc((int32_t)(ctus * 8));
        la->scratch[j].best_ctu = (uint64_t *)aligned_malloc((int32_t)(ctus * 8));
        if (!la->scratch[j].intra_ctu || !la->scratch[j].best_ctu) return -1;
    }
    int32_t cols = g.cols > 0 ? g.cols : 1;
    la->mbtree_row = (uint32_t *)aligned_malloc(4 * cols);
    la->unit_weights = (uint16_t *)aligned_malloc(2 * cols);
    if (!la->mbtree_row || !la->unit_weights) return -1;
    for (int32_t x = 0; x < cols; x++) la->unit_weights[x] = 256;
    return 0;
}

}  // namespace

int lookahead_workers_open(lookahead *la)
{
    if (tables_open(la) != 0 || scratch_open(la) != 0) return -1;
    if (mutex_init(&la->claim_lock) != 0) return -1;
    la->locks_made |= 1;
    if (mutex_init(&la->sum_lock) != 0) return -1;
    la->locks_made |= 2;
    return 0;
}

void lookahead_workers_close(lookahead *la)
{
    if (la->scratch) {
        for (int32_t j = 0; j < la->jobs; j++) {
            aligned_free(la->scratch[j].intra_ctu);
            aligned_free(la->scratch[j].best_ctu);
        }
        aligned_free(la->scratch);
        la->scratch = nullptr;
    }
    aligned_free(la->mbtree_row);
    aligned_free(la->unit_weights);
    la->mbtree_row = nullptr;
    la->unit_weights = nullptr;
    aligned_free(la->own_kernels);
    la->own_kernels = nullptr;
    if (la->own_rd) {
        mv_cost_tables_free(la->own_rd);
        aligned_free(la->own_rd);
        la->own_rd = nullptr;
    }
    if (la->locks_made & 1) mutex_destroy(&la->claim_lock);
    if (la->locks_made & 2) mutex_destroy(&la->sum_lock);
    la->locks_made = 0;
}

void lookahead_run_cost_jobs(lookahead *la, job_func function, uint64_t arg, int32_t helpers)
{
    job_pool *pool = la->links.pool;
    int32_t submitted = 0;
    // The calling thread runs a job too, and a job claims its work (block
    // rows, or whole cells) until none is left: once its own job returns, only
    // the jobs that a pool thread has started still hold some. The others are taken back instead of waited
    // for, so a busy pool (the CTU threads keep the cores) costs no latency.
    // Helpers the pool has no record for are simply not started.
    // They are queued at once: one by one, each wake-up of a worker could
    // take the caller's core before it has queued the next.
    int32_t wanted = helpers < la->jobs - 1 ? helpers : la->jobs - 1;
    if (pool && wanted > 0) submitted = job_try_submit_many(pool, function, arg, wanted);
    function(arg);
    if (submitted > 0) submitted -= job_withdraw(pool, arg);
    for (; submitted > 0; submitted--) job_wait(pool, arg);
}
