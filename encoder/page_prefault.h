// Faulting in the pages of fresh, zeroed buffers on the job pool's threads.
#pragma once
#include <cstdint>

struct job_pool;

// Writes a zero into every page of the count buffers (each bases[i], sizes[i]
// bytes, zeroed and used by no other thread), spread over the pool's threads
// and the caller's; returns once all are resident. Nothing happens without a
// pool of two threads or more: the caller's own writes fault the pages in.
void buffers_prefault(job_pool *pool, uint8_t *const *bases, const int64_t *sizes, int32_t count);
