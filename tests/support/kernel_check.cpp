// The level walk and the timing of the kernel checks (kernel_check.h).
#include "tests/support/kernel_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <utility>

#include "encoder/cpu.h"

volatile uint64_t kernel_sink;

namespace {

const uint32_t level_flags[KERNEL_LEVELS] = {0, CPU_SSE41 | CPU_SSSE3, CPU_SSE41 | CPU_SSSE3 | CPU_AVX2};
const char *const level_names[KERNEL_LEVELS] = {"portable", "ssse3", "avx2"};

}  // namespace

uint32_t kernel_level_flags(int level)
{
    return level_flags[level];
}

const char *kernel_level_name(int level)
{
    return level_names[level];
}

bool kernel_level_present(int level)
{
    switch (level) {
    case KERNEL_PORTABLE: return true;
    case KERNEL_SSSE3: return cpu_use_ssse3_set(level_flags[level]);
    default: return cpu_use_avx2_set(level_flags[level]);
    }
}

level_counts walk_kernel_slot_pointers(const std::vector<std::vector<const void *>> &slots_by_level,
                                       const std::function<bool(int slot, int level)> &check,
                                       const slot_namer &name)
{
    level_counts counts;
    counts.fill(-1);
    counts[KERNEL_PORTABLE] = 0;
    const std::vector<const void *> &portable = slots_by_level[KERNEL_PORTABLE];
    // A kernel that a later level keeps in its slot is compared once.
    std::set<std::pair<size_t, const void *>> compared;
    for (int level = KERNEL_SSSE3; level < KERNEL_LEVELS; level++) {
        const std::vector<const void *> &slots = slots_by_level[level];
        if (slots.empty()) continue;
        counts[level] = 0;
        for (size_t slot = 0; slot < slots.size(); slot++) {
            if (slots[slot] == portable[slot]) continue;
            counts[level]++;
            if (!compared.insert({slot, slots[slot]}).second) continue;
            std::string what = std::string(kernel_level_name(level)) + " slot " + std::to_string(slot) + " (" +
                               name((int)slot) + ")";
            SCOPED_TRACE(what);
            if (!check((int)slot, level)) ADD_FAILURE() << what << " holds a kernel but has no comparison";
            if (::testing::Test::HasFatalFailure()) return counts;
        }
    }
    return counts;
}

void expect_level_counts(const level_counts &walked, int ssse3, int avx2)
{
    if (walked[KERNEL_SSSE3] >= 0) {
        EXPECT_EQ(walked[KERNEL_SSSE3], ssse3) << "slots of the ssse3 level";
    }
    if (walked[KERNEL_AVX2] >= 0) {
        EXPECT_EQ(walked[KERNEL_AVX2], avx2) << "slots of the avx2 level";
    }
}

int kernel_timing_ms()
{
    const char *text = std::getenv("TV_BENCH");
    if (!text) return 0;
    int ms = std::atoi(text);
    return ms > 0 ? ms : 0;
}

namespace {

typedef std::chrono::steady_clock timing_clock;

double ns_since(timing_clock::time_point start)
{
    return std::chrono::duration<double, std::nano>(timing_clock::now() - start).count();
}

// Nanoseconds per call: the best of runs that share `ms` milliseconds, each
// run long enough for the clock (on a busy machine the fastest run is the one
// other work disturbed least).
double best_ns_per_call(const std::function<void()> &call, int ms)
{
    const double run_ns = ms * 1e6 / 16;
    call();   // caches and branch predictors
    long calls = 1;
    double ns = 0;
    for (;;) {
        timing_clock::time_point start = timing_clock::now();
        for (long i = 0; i < calls; i++) call();
        ns = ns_since(start);
        if (ns >= run_ns || calls >= (1L << 26)) break;
        calls *= 2;
    }
    double best = ns / (double)calls;
    timing_clock::time_point end = timing_clock::now() + std::chrono::milliseconds(ms);
    while (timing_clock::now() < end) {
        timing_clock::time_point start = timing_clock::now();
        for (long i = 0; i < calls; i++) call();
        best = std::min(best, ns_since(start) / (double)calls);
    }
    return best;
}

}  // namespace

void print_kernel_timing(const char *family, const std::vector<std::vector<const void *>> &slots_by_level,
                         const std::vector<std::string> &names, const std::vector<int> &case_slots,
                         const std::function<void(int index, int level)> &call)
{
    int ms = kernel_timing_ms();
    size_t width = 24;
    for (const std::string &n : names) width = std::max(width, n.size());
    std::printf("%s kernels: ns per call, best of runs over %d ms per figure (\"=\" keeps the kernel of the "
                "level before, \"-\" level absent)\n",
                family, ms);
    std::printf("%-*s", (int)width, "case");
    for (int level = 0; level < KERNEL_LEVELS; level++) std::printf(" %10s", kernel_level_name(level));
    std::printf("\n");
    for (size_t i = 0; i < names.size(); i++) {
        std::printf("%-*s", (int)width, names[i].c_str());
        int before = -1;
        for (int level = 0; level < KERNEL_LEVELS; level++) {
            const std::vector<const void *> &slots = slots_by_level[level];
            if (slots.empty()) {
                std::printf(" %10s", "-");
                continue;
            }
            int slot = case_slots[i];
            if (before >= 0 && slots[slot] == slots_by_level[before][slot])
                std::printf(" %10s", "=");
            else
                std::printf(" %10.1f", best_ns_per_call([&] { call((int)i, level); }, ms));
            before = level;
            std::fflush(stdout);
        }
        std::printf("\n");
    }
}
