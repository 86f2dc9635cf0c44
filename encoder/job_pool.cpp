#include "encoder/job_pool.h"

#include <cstring>

#include "encoder/memory.h"

namespace {

enum { JOB_WITHDRAW_BATCH = 64, JOB_SUBMIT_BATCH = 64 };

// How long a worker that has finished a job watches the queue before it
// sleeps. The lookahead's cells come a fraction of a millisecond apart while a
// decision asks for them: a sleeping worker must be woken for each, and the
// woken worker often takes the core of the thread that queued the job.
enum { JOB_SPIN_NS = 100000, JOB_SPIN_CLOCK_EVERY = 64 };

// Returns once a job is queued, the pool stops or the spin time has passed.
void spin_for_job(const job_pool *pool)
{
    uint64_t start = time_monotonic_ns();
    for (int32_t i = 1;; i++) {
        if (__atomic_load_n(&pool->queued, __ATOMIC_ACQUIRE) > 0 || __atomic_load_n(&pool->stop, __ATOMIC_ACQUIRE))
            return;
        cpu_spin_pause();
        if (i % JOB_SPIN_CLOCK_EVERY == 0 && time_monotonic_ns() - start > JOB_SPIN_NS) return;
    }
}

// Queues jobs whose records are taken, waking one worker for each. The
// pending list holds as many entries as there are records, so it has room.
void pending_push(job_pool *pool, job **jobs, int32_t n)
{
    picture_list *pending = pool->pending_jobs;
    mutex_lock(&pending->lock);
    for (int32_t k = 0; k < n; k++) {
        (void)picture_list_push_last(pending, jobs[k]);
        cond_signal(&pending->not_empty);
    }
    __atomic_add_fetch(&pool->queued, n, __ATOMIC_RELEASE);
    mutex_unlock(&pending->lock);
}

}  // namespace

static uint64_t job_pool_worker(uint64_t arg)
{
    job_pool *pool = (job_pool *)arg;
    picture_list *pending = pool->pending_jobs;
    if (pool->startup) pool->startup(pool->startup_arg);
    for (;;) {
        spin_for_job(pool);
        mutex_lock(&pending->lock);
        while (!pool->stop && pending->count == 0) cond_wait(&pending->not_empty, &pending->lock);
        if (pool->stop) {
            mutex_unlock(&pending->lock);
            break;
        }
        job *j = (job *)picture_list_pop_first(pending);
        __atomic_sub_fetch(&pool->queued, 1, __ATOMIC_RELAXED);
        mutex_unlock(&pending->lock);
        j->result = j->function(j->argument);
        picture_list_push_last_wait(pool->finished_jobs, j);
    }
    return 0;
}

static void free_jobs_in(picture_list *list)
{
    if (!list) return;
    for (int32_t i = 0; i < list->count; i++) {
        aligned_free(list->entries[i]);
        list->entries[i] = nullptr;
    }
    list->count = 0;
    picture_list_destroy(list);
}

void job_pool_destroy(job_pool *pool)
{
    if (!pool) return;
    if (pool->pending_jobs) {
        mutex_lock(&pool->pending_jobs->lock);
        __atomic_store_n(&pool->stop, 1u, __ATOMIC_RELEASE);
        cond_broadcast(&pool->pending_jobs->not_empty);
        mutex_unlock(&pool->pending_jobs->lock);
    }
    if (pool->threads) {
        for (int32_t i = 0; i < pool->thread_count; i++)
            if (pool->threads[i]) thread_join(pool->threads[i], nullptr);
    }
    free_jobs_in(pool->free_jobs);
    free_jobs_in(pool->pending_jobs);
    free_jobs_in(pool->finished_jobs);
    aligned_free(pool->threads);
    aligned_free(pool);
}

int job_pool_create(job_pool **out, int32_t thread_count, job_startup_func startup, uint64_t startup_arg)
{
    *out = nullptr;
    if (thread_count < 0) return -1;
    job_pool *pool = (job_pool *)aligned_malloc((int32_t)sizeof(job_pool));
    if (!pool) return -1;
    std::memset(pool, 0, sizeof(*pool));
    pool->thread_count = thread_count > JOB_POOL_MAX_THREADS ? JOB_POOL_MAX_THREADS : thread_count;
    pool->startup = startup;
    pool->startup_arg = startup_arg;
    int32_t n = pool->thread_count;
    pool->threads = (thread_handle **)aligned_malloc((int32_t)sizeof(thread_handle *) * (n + 1));
    pool->free_jobs = picture_list_create(n);
    pool->pending_jobs = picture_list_create(n);
    pool->finished_jobs = picture_list_create(n);
    if (!pool->threads || !pool->free_jobs || !pool->pending_jobs || !pool->finished_jobs) goto fail;
    std::memset(pool->threads, 0, sizeof(thread_handle *) * (n + 1));
    for (int32_t i = 0; i < n; i++) {
        job *j = (job *)aligned_malloc((int32_t)sizeof(job));
        if (!j) goto fail;
        std::memset(j, 0, sizeof(*j));
        if (picture_list_push_last(pool->free_jobs, j) != 0) {
            aligned_free(j);
            goto fail;
        }
    }
    for (int32_t i = 0; i < n; i++)
        if (thread_create(&pool->threads[i], nullptr, job_pool_worker, (uint64_t)pool) != 0) goto fail;
    *out = pool;
    return 0;
fail:
    job_pool_destroy(pool);
    return -1;
}

int job_submit(job_pool *pool, job_func function, uint64_t argument)
{
    if (!pool || pool->thread_count == 0) return -1;
    job *j = (job *)picture_list_pop_last_wait(pool->free_jobs);
    j->function = function;
    j->argument = argument;
    pending_push(pool, &j, 1);
    return 0;
}

int job_try_submit(job_pool *pool, job_func function, uint64_t argument)
{
    return job_try_submit_many(pool, function, argument, 1) == 1 ? 0 : -1;
}

// Takes up to `count` free records into out; returns how many.
static int32_t free_jobs_take(job_pool *pool, job **out, int32_t count)
{
    picture_list *free_jobs = pool->free_jobs;
    int32_t n = 0;
    mutex_lock(&free_jobs->lock);
    while (n < count && free_jobs->count > 0) out[n++] = (job *)picture_list_pop_last(free_jobs);
    if (n > 0) cond_broadcast(&free_jobs->not_full);
    mutex_unlock(&free_jobs->lock);
    return n;
}

int32_t job_try_submit_many(job_pool *pool, job_func function, uint64_t argument, int32_t count)
{
    if (!pool || pool->thread_count == 0) return 0;
    int32_t submitted = 0;
    while (submitted < count) {
        job *batch[JOB_SUBMIT_BATCH];
        int32_t wanted = count - submitted < JOB_SUBMIT_BATCH ? count - submitted : JOB_SUBMIT_BATCH;
        int32_t n = free_jobs_take(pool, batch, wanted);
        for (int32_t k = 0; k < n; k++) {
            batch[k]->function = function;
            batch[k]->argument = argument;
        }
        // The free list's lock is released first: no thread holds both at once.
        pending_push(pool, batch, n);
        submitted += n;
        if (n < wanted) break;
    }
    return submitted;
}

uint64_t job_wait(job_pool *pool, uint64_t argument)
{
    picture_list *finished = pool->finished_jobs;
    job *found = nullptr;
    mutex_lock(&finished->lock);
    for (;;) {
        for (int32_t i = 0; i < finished->count; i++) {
            if (((job *)finished->entries[i])->argument == argument) {
                found = (job *)picture_list_remove_at(finished, i);
                break;
            }
        }
        if (found) break;
        cond_wait(&finished->not_empty, &finished->lock);
    }
    cond_broadcast(&finished->not_full);
    mutex_unlock(&finished->lock);
    uint64_t result = found->result;
    picture_list_push_last_wait(pool->free_jobs, found);
    return result;
}

int32_t job_withdraw(job_pool *pool, uint64_t argument)
{
    picture_list *pending = pool->pending_jobs;
    int32_t taken = 0;
    for (;;) {
        job *back[JOB_WITHDRAW_BATCH];
        int32_t n = 0;
        mutex_lock(&pending->lock);
        for (int32_t i = pending->count - 1; i >= 0 && n < JOB_WITHDRAW_BATCH; i--)
            if (((job *)pending->entries[i])->argument == argument) back[n++] = (job *)picture_list_remove_at(pending, i);
        __atomic_sub_fetch(&pool->queued, n, __ATOMIC_RELAXED);
        if (n > 0) cond_broadcast(&pending->not_full);
        mutex_unlock(&pending->lock);
        // Back to the free list once the pending list is unlocked: no thread
        // holds both list locks at once.
        for (int32_t k = 0; k < n; k++) picture_list_push_last_wait(pool->free_jobs, back[k]);
        taken += n;
        if (n < JOB_WITHDRAW_BATCH) return taken;
    }
}
