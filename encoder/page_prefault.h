// Faulting in the pages of fresh, zeroed buffers on the job pool's threads.
#pragma once
#include <cstdint>

struct job_pool;

enum { PREFAULT_MAX_BUFFERS = 4 };

// One faulting-in in flight: the buffers and the pool's claim on their chunks.
struct prefault_work {
    uint8_t *bases[PREFAULT_MAX_BUFFERS];
    int64_t sizes[PREFAULT_MAX_BUFFERS];
    int32_t count;
    int32_t chunks;           // in all buffers
    int32_t next;             // the next chunk to claim
    int32_t submitted;        // jobs to collect
    int64_t page;
};

// Writes a zero into every page of the count buffers (each bases[i], sizes[i]
// bytes, zeroed and used by no other thread), spread over the pool's threads
// and the caller's; returns once all are resident. Nothing happens without a
// pool of two threads or more: the caller's own writes fault the pages in.
void buffers_prefault(job_pool *pool, uint8_t *const *bases, const int64_t *sizes, int32_t count);
// The same on the pool's threads alone, without waiting: the caller goes on
// with other work and touches none of the buffers, nor w, until
// buffers_prefault_finish. With no pool threads to run it nothing starts.
void buffers_prefault_start(job_pool *pool, prefault_work *w, uint8_t *const *bases, const int64_t *sizes,
                            int32_t count);
// Waits until the faulting-in that w describes is done; at once when none is
// in flight.
void buffers_prefault_finish(job_pool *pool, prefault_work *w);
