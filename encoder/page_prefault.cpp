// Fresh buffers of a new picture, faulted in on the job pool's threads. The
// kernel hands out a zeroed page at the first write to it, and on the caller's
// thread that cost for a whole picture is as large as copying the picture:
// while the lookahead fills, nothing else runs, so the threads share it.
#include "encoder/page_prefault.h"

#include <unistd.h>

#include "encoder/job_pool.h"

namespace {

enum { PREFAULT_CHUNK_BYTES = 256 * 1024 };

// The buffer and offset of chunk c, counting the buffers' chunks in order.
bool chunk_place(const prefault_work *w, int32_t c, int32_t *buffer, int64_t *offset)
{
    for (int32_t b = 0; b < w->count; b++) {
        int32_t n = (int32_t)((w->sizes[b] + PREFAULT_CHUNK_BYTES - 1) / PREFAULT_CHUNK_BYTES);
        if (c < n) {
            *buffer = b;
            *offset = (int64_t)c * PREFAULT_CHUNK_BYTES;
            return true;
        }
        c -= n;
    }
    return false;
}

// Writes a zero into every page of the chunks it claims: the buffers are fresh
// and zeroed, so their content does not change.
uint64_t prefault_job(uint64_t arg)
{
    prefault_work *w = (prefault_work *)(uintptr_t)arg;
    for (;;) {
        int32_t c = __atomic_fetch_add(&w->next, 1, __ATOMIC_RELAXED);
        int32_t b;
        int64_t offset;
        if (c >= w->chunks || !chunk_place(w, c, &b, &offset)) return 0;
        int64_t end = offset + PREFAULT_CHUNK_BYTES < w->sizes[b] ? offset + PREFAULT_CHUNK_BYTES : w->sizes[b];
        for (int64_t o = offset; o < end; o += w->page) ((volatile uint8_t *)w->bases[b])[o] = 0;
    }
}

// Fills in w and submits the pool's share of it; false when there is no pool
// to share with.
bool prefault_submit(job_pool *pool, prefault_work *w, uint8_t *const *bases, const int64_t *sizes, int32_t count)
{
    w->submitted = 0;
    if (!pool || pool->thread_count < 2 || count > PREFAULT_MAX_BUFFERS) return false;
    w->count = count;
    w->chunks = 0;
    w->next = 0;
    w->page = sysconf(_SC_PAGESIZE);
    for (int32_t b = 0; b < count; b++) {
        w->bases[b] = bases[b];
        w->sizes[b] = sizes[b];
        w->chunks += (int32_t)((sizes[b] + PREFAULT_CHUNK_BYTES - 1) / PREFAULT_CHUNK_BYTES);
    }
    uint64_t arg = (uint64_t)(uintptr_t)w;
    int32_t jobs = pool->thread_count < w->chunks ? pool->thread_count : w->chunks;
    // Queued at once, each wake-up could otherwise take the caller's core
    // before the next job is queued. A job without a free record is left out:
    // the others claim its chunks, and the first writes fault in what none does.
    w->submitted = job_try_submit_many(pool, prefault_job, arg, jobs);
    return true;
}

}  // namespace

void buffers_prefault(job_pool *pool, uint8_t *const *bases, const int64_t *sizes, int32_t count)
{
    prefault_work w;
    if (!prefault_submit(pool, &w, bases, sizes, count)) return;
    prefault_job((uint64_t)(uintptr_t)&w);   // the caller's thread claims chunks too
    buffers_prefault_finish(pool, &w);
}

void buffers_prefault_start(job_pool *pool, prefault_work *w, uint8_t *const *bases, const int64_t *sizes,
                            int32_t count)
{
    (void)prefault_submit(pool, w, bases, sizes, count);
}

void buffers_prefault_finish(job_pool *pool, prefault_work *w)
{
    for (; w->submitted > 0; w->submitted--) job_wait(pool, (uint64_t)(uintptr_t)w);
}
