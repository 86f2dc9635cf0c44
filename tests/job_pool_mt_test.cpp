#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "encoder/job_pool.h"

static std::atomic<int> startups;

static void count_startup(uint64_t)
{
    startups++;
}

static uint64_t square(uint64_t x)
{
    return x * x;
}

static std::atomic<int> gate_open;

static uint64_t gated(uint64_t x)
{
    while (!gate_open.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return x + 100;
}

TEST(JobPool, NegativeCountFailsAndZeroCountHasNoWorkers)
{
    job_pool *pool = (job_pool *)1;
    EXPECT_EQ(job_pool_create(&pool, -1, nullptr, 0), -1);
    EXPECT_EQ(pool, nullptr);
    ASSERT_EQ(job_pool_create(&pool, 0, nullptr, 0), 0);
    ASSERT_NE(pool, nullptr);
    // A submission could never run: it is refused instead of waiting for ever.
    EXPECT_EQ(job_submit(pool, square, 3), -1);
    job_pool_destroy(pool);
    job_pool_destroy(nullptr);
}

TEST(JobPool, EveryWorkerRunsTheStartupCallbackOnce)
{
    startups = 0;
    job_pool *pool = nullptr;
    ASSERT_EQ(job_pool_create(&pool, 5, count_startup, 0), 0);
    for (int i = 0; i < 5; i++) EXPECT_EQ(job_submit(pool, square, (uint64_t)i), 0);
    for (int i = 0; i < 5; i++) EXPECT_EQ(job_wait(pool, (uint64_t)i), (uint64_t)(i * i));
    job_pool_destroy(pool);
    EXPECT_EQ(startups.load(), 5);
}

TEST(JobPool, WaitBlocksUntilTheJobHasFinished)
{
    gate_open = 0;
    job_pool *pool = nullptr;
    ASSERT_EQ(job_pool_create(&pool, 2, nullptr, 0), 0);
    EXPECT_EQ(job_submit(pool, gated, 1), 0);
    EXPECT_EQ(job_submit(pool, gated, 2), 0);
    std::atomic<int> collected{0};
    std::thread waiter([&] {
        EXPECT_EQ(job_wait(pool, 2), 102u);
        collected = 1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(collected.load(), 0);
    gate_open = 1;
    waiter.join();
    EXPECT_EQ(job_wait(pool, 1), 101u);
    job_pool_destroy(pool);
}

TEST(JobPool, JobsSharingAnArgumentAreCollectedOnePerWait)
{
    job_pool *pool = nullptr;
    ASSERT_EQ(job_pool_create(&pool, 3, nullptr, 0), 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(job_submit(pool, square, 7), 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(job_wait(pool, 7), 49u);
    EXPECT_EQ(pool->free_jobs->count, 3);
    EXPECT_EQ(pool->finished_jobs->count, 0);
    job_pool_destroy(pool);
}

TEST(JobPool, SubmitterWithEveryJobOutstandingWaitsForACollection)
{
    gate_open = 0;
    job_pool *pool = nullptr;
    ASSERT_EQ(job_pool_create(&pool, 1, nullptr, 0), 0);
    EXPECT_EQ(job_submit(pool, gated, 1), 0);
    std::atomic<int> submitted{0};
    std::thread submitter([&] {
        EXPECT_EQ(job_submit(pool, square, 5), 0);
        submitted = 1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(submitted.load(), 0);
    gate_open = 1;
    EXPECT_EQ(job_wait(pool, 1), 101u);
    submitter.join();
    EXPECT_EQ(job_wait(pool, 5), 25u);
    job_pool_destroy(pool);
}

TEST(JobPool, DestroyingAnIdlePoolJoinsEveryWorker)
{
    job_pool *pool = nullptr;
    ASSERT_EQ(job_pool_create(&pool, 16, nullptr, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    job_pool_destroy(pool);
}

#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
// The sanitizer runtimes cap the number of live threads below this pool's size.
TEST(JobPool, HugeThreadCountIsCappedAt8191)
{
    job_pool *pool = nullptr;
    ASSERT_EQ(job_pool_create(&pool, 10000, nullptr, 0), 0);
    EXPECT_EQ(pool->thread_count, 8191);
    EXPECT_EQ(pool->free_jobs->count, 8191);
    job_pool_destroy(pool);
}
#endif

static uint64_t add_share(uint64_t arg)
{
    std::atomic<uint64_t> *total = (std::atomic<uint64_t> *)arg;
    return ++*total;
}

// Batches as the lookahead submits them: one job per worker, then one wait per job.
TEST(JobPool, StressLosesNoJobAtAnyWorkerCount)
{
    const int total_jobs = 100000;
    for (int workers : {1, 2, 8, 64}) {
        job_pool *pool = nullptr;
        ASSERT_EQ(job_pool_create(&pool, workers, nullptr, 0), 0);
        std::atomic<uint64_t> counter{0};
        uint64_t arg = (uint64_t)&counter;
        uint64_t result_sum = 0;
        int done = 0;
        while (done < total_jobs) {
            int batch = std::min(workers, total_jobs - done);
            for (int i = 0; i < batch; i++) ASSERT_EQ(job_submit(pool, add_share, arg), 0);
            for (int i = 0; i < batch; i++) result_sum += job_wait(pool, arg);
            done += batch;
        }
        EXPECT_EQ(counter.load(), (uint64_t)total_jobs) << workers << " workers";
        EXPECT_EQ(result_sum, (uint64_t)total_jobs * (total_jobs + 1) / 2) << workers << " workers";
        EXPECT_EQ(pool->free_jobs->count, pool->thread_count);
        job_pool_destroy(pool);
    }
}

// The lookahead's helpers: submissions that do not wait for a free record,
// and jobs taken back before any worker starts them. Every job either runs
// and is waited for or is taken back unrun; no record is lost.
TEST(JobPool, TrySubmitAndWithdrawAccountForEveryJob)
{
    gate_open = 0;
    job_pool *pool = nullptr;
    ASSERT_EQ(job_pool_create(&pool, 1, nullptr, 0), 0);
    ASSERT_EQ(job_try_submit(pool, gated, 1), 0);
    EXPECT_EQ(job_try_submit(pool, square, 5), -1);   // the one record is in use
    EXPECT_EQ(job_try_submit_many(pool, square, 5, 3), 0);
    gate_open = 1;
    EXPECT_EQ(job_wait(pool, 1), 101u);
    job_pool_destroy(pool);

    for (int workers : {1, 3, 8}) {
        ASSERT_EQ(job_pool_create(&pool, workers, nullptr, 0), 0);
        std::atomic<uint64_t> counter{0};
        uint64_t arg = (uint64_t)&counter;
        int ran = 0, withdrawn = 0;
        for (int round = 0; round < 2000; round++) {
            // One at a time, or all at once (asking for more than there are records).
            int submitted = 0;
            if (round % 2) EXPECT_EQ(submitted = job_try_submit_many(pool, add_share, arg, workers + 2), workers);
            else
                for (int i = 0; i < workers; i++) submitted += job_try_submit(pool, add_share, arg) == 0;
            int back = job_withdraw(pool, arg);
            withdrawn += back;
            for (int i = back; i < submitted; i++) job_wait(pool, arg);
            ran += submitted - back;
        }
        EXPECT_EQ(counter.load(), (uint64_t)ran) << workers << " workers";
        EXPECT_EQ(job_withdraw(pool, arg), 0);
        EXPECT_EQ(pool->free_jobs->count, pool->thread_count) << workers << " workers";
        EXPECT_GT(ran + withdrawn, 0);
        job_pool_destroy(pool);
    }
}
