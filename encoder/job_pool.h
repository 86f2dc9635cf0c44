// A fixed set of worker threads running jobs in submission order. The submitter
// collects a job's result by naming its argument.
#pragma once
#include <cstdint>
#include "encoder/picture_list.h"
#include "encoder/platform/platform.h"

enum { JOB_POOL_MAX_THREADS = 8191 };

typedef uint64_t (*job_func)(uint64_t arg);
typedef void (*job_startup_func)(uint64_t arg);

struct job {
    job_func function;
    uint64_t argument;
    uint64_t result;
};

struct job_pool {
    uint32_t stop;
    int32_t thread_count;
    thread_handle **threads;
    job_startup_func startup;
    uint64_t startup_arg;
    picture_list *free_jobs;
    picture_list *pending_jobs;
    picture_list *finished_jobs;
    int32_t queued;      // entries of pending_jobs, changed under its lock; read without by spinning workers
};

// 0 with the pool stored through out; -1 (null stored) on failure.
[[nodiscard]] int job_pool_create(job_pool **out, int32_t thread_count, job_startup_func startup, uint64_t startup_arg);
// Waits while every job record is in use. Returns -1 for a pool without
// workers, where the job could never run.
[[nodiscard]] int job_submit(job_pool *pool, job_func function, uint64_t argument);
// The same without waiting: -1 when every job record is in use (or the pool
// has no workers), and the job does not run.
[[nodiscard]] int job_try_submit(job_pool *pool, job_func function, uint64_t argument);
// Up to `count` such jobs at once, without waiting: as many as there are free
// records. They are queued together and wake one worker each, so the workers
// do not contend with the submitter for the queue once per job. Returns how
// many were submitted (0 for a pool without workers).
int32_t job_try_submit_many(job_pool *pool, job_func function, uint64_t argument, int32_t count);
// Collects the earliest finished job with this argument and returns its result.
uint64_t job_wait(job_pool *pool, uint64_t argument);
// Takes back the jobs with this argument that no thread has started yet and
// returns how many: they will not run, and only the others are waited for.
int32_t job_withdraw(job_pool *pool, uint64_t argument);
void job_pool_destroy(job_pool *pool);
