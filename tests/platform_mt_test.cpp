#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "encoder/cpu.h"
#include "encoder/memory.h"
#include "encoder/platform/platform.h"

TEST(Platform, NullLockAndConditionAreRefused)
{
    EXPECT_EQ(mutex_init(nullptr), 22);
    EXPECT_EQ(cond_init(nullptr), 22);
    EXPECT_EQ(mutex_destroy(nullptr), 22);
}

static uint64_t return_argument_plus_one(uint64_t arg)
{
    return arg + 1;
}

TEST(Platform, JoinOfAMissingThreadReturnsEsrch)
{
    EXPECT_EQ(thread_join(nullptr, nullptr), 3);
    thread_handle never_started = {};
    EXPECT_EQ(thread_join(&never_started, nullptr), 3);
}

TEST(Platform, ThreadThatAlreadyEndedIsJoinedWithItsResult)
{
    thread_handle *t = nullptr;
    ASSERT_EQ(thread_create(&t, nullptr, return_argument_plus_one, 41), 0);
    ASSERT_NE(t, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t result = 0;
    EXPECT_EQ(thread_join(t, &result), 0);
    EXPECT_EQ(result, 42u);
}

static std::atomic<int> release_gate;

static uint64_t wait_for_gate(uint64_t)
{
    while (!release_gate.load()) std::this_thread::yield();
    return 7;
}

TEST(Platform, TwoConcurrentJoinsOfOneThreadLetExactlyOneProceed)
{
    release_gate = 0;
    thread_handle *t = nullptr;
    ASSERT_EQ(thread_create(&t, nullptr, wait_for_gate, 0), 0);
    // Claim the thread as a first join would, then check a second join backs off.
    uint32_t expected = 0;
    ASSERT_TRUE(__atomic_compare_exchange_n(&t->state, &expected, 2u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
    EXPECT_EQ(thread_join(t, nullptr), 22);
    __atomic_store_n(&t->state, 0u, __ATOMIC_RELEASE);
    std::atomic<int> results[2] = {{-1}, {-1}};
    std::thread a([&] { results[0] = thread_join(t, nullptr); });
    release_gate = 1;
    a.join();
    EXPECT_EQ(results[0].load(), 0);
}

TEST(Platform, ConditionWakesEveryWaiter)
{
    tv_mutex lock;
    tv_cond cond;
    ASSERT_EQ(mutex_init(&lock), 0);
    ASSERT_EQ(cond_init(&cond), 0);
    int ready = 0, woken = 0;
    std::thread waiters[4];
    for (auto &w : waiters)
        w = std::thread([&] {
            mutex_lock(&lock);
            while (!ready) cond_wait(&cond, &lock);
            woken++;
            mutex_unlock(&lock);
        });
    mutex_lock(&lock);
    ready = 1;
    cond_broadcast(&cond);
    mutex_unlock(&lock);
    for (auto &w : waiters) w.join();
    EXPECT_EQ(woken, 4);
    mutex_destroy(&lock);
    cond_destroy(&cond);
}

TEST(Platform, ClockAdvancesInWholeMilliseconds)
{
    uint64_t a = time_now_us();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    uint64_t b = time_now_us();
    EXPECT_EQ(a % 1000, 0u);
    EXPECT_EQ(b % 1000, 0u);
    EXPECT_GE(b - a, 4000u);
}

TEST(Platform, ProcessorCountIsPositive)
{
    EXPECT_GE(cpu_count(), 1);
}

TEST(Platform, AlignedBlocksAre32ByteAlignedAndNullIsIgnored)
{
    for (int size : {0, 1, 31, 32, 33, 4096, 100000}) {
        void *p = aligned_malloc(size);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % 32, 0u);
        aligned_free(p);
    }
    EXPECT_EQ(aligned_malloc(-1), nullptr);
    aligned_free(nullptr);
    // Zeroed blocks on either side of the size from which they are mappings of
    // their own: aligned, zero to the last byte, writable, and given back.
    for (int size : {1, 65535, 65536, 300001}) {
        uint8_t *p = (uint8_t *)aligned_calloc(size);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % 32, 0u);
        size_t nonzero = 0;
        for (int i = 0; i < size; i++) nonzero += p[i] != 0;
        EXPECT_EQ(nonzero, 0u) << size;
        p[0] = p[size - 1] = 0xFF;
        aligned_free(p);
    }
    EXPECT_EQ(aligned_calloc(-1), nullptr);
}

TEST(Platform, SimdSetsAreInstalledOnlyWithEveryInstructionTheyUse)
{
    uint32_t flags = cpu_detect();
    EXPECT_EQ(flags & ~7u, 0u);
    EXPECT_FALSE(cpu_use_ssse3_set(0));
    EXPECT_FALSE(cpu_use_avx2_set(0));
    // The SSSE3 flag alone does not install SSE4.1 code.
    EXPECT_FALSE(cpu_use_ssse3_set(CPU_SSSE3));
    EXPECT_FALSE(cpu_use_avx2_set(CPU_AVX2));
    if ((flags & 3) == 3) {
        EXPECT_TRUE(cpu_use_ssse3_set(flags));
    }
    if (cpu_use_avx2_set(flags)) {
        EXPECT_TRUE(cpu_use_ssse3_set(flags));
        EXPECT_EQ(cpu_detect_extra() & 3u, 3u);
    }
    // Flags the processor lacks are never honoured.
    if (!(flags & CPU_AVX2)) {
        EXPECT_FALSE(cpu_use_avx2_set(7));
    }
}
