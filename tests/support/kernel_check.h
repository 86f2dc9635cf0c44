// Kernel checks shared by the family harnesses (tests/<family>_kernels_test.cpp).
//
// A harness walks its kernel table at every instruction-set level this
// processor runs (portable, SSSE3, AVX2, each level installed over the one
// before, as the encoder installs them) and compares every slot that holds a
// kernel other than the portable one with the portable kernel of that slot.
// A slot the harness has no comparison for fails, so a new vector kernel
// cannot enter a table unchecked.
//
// Every harness also has a timing test. It is skipped unless the environment
// says TV_BENCH=<milliseconds per figure>; then it prints the time per call of
// each of its cases at every level (a benchmark: it checks nothing), e.g.
//     TV_BENCH=20 build/tests/mc_kernels_test --gtest_filter='*Timing*'
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

enum kernel_level { KERNEL_PORTABLE, KERNEL_SSSE3, KERNEL_AVX2, KERNEL_LEVELS };

// The processor flags that ask a table initialiser for the kernels of a level.
uint32_t kernel_level_flags(int level);
const char *kernel_level_name(int level);
// Whether this processor runs every instruction set of the level's kernels.
bool kernel_level_present(int level);

// The kernel pointers of a table, in slot order.
template <class table>
std::vector<const void *> kernel_slots(const table &t)
{
    static_assert(sizeof(table) % sizeof(void *) == 0, "a kernel table holds pointers only");
    std::vector<const void *> slots(sizeof(table) / sizeof(void *));
    std::memcpy(slots.data(), &t, sizeof t);
    return slots;
}

// The kernel pointer in one slot of a table.
template <class table>
const void *kernel_slot(const table &t, int slot)
{
    const void *p;
    std::memcpy(&p, (const char *)&t + slot * sizeof(void *), sizeof p);
    return p;
}

template <class table>
using table_init_fn = void (*)(uint32_t flags, table *t);

// The table the initialiser fills for a level, from a zeroed record.
template <class table>
table kernel_table(table_init_fn<table> init, int level)
{
    table t;
    std::memset(&t, 0, sizeof t);
    init(kernel_level_flags(level), &t);
    return t;
}

// Per level, how many slots hold a kernel other than the portable one; -1 for
// a level this processor lacks.
typedef std::array<int, KERNEL_LEVELS> level_counts;

// Compares a slot of a level's table with the same slot of the portable
// table; false when the harness has no comparison for the slot.
template <class table>
using slot_check = bool (*)(int slot, const table &portable, const table &simd, std::mt19937 &rng);

typedef std::function<std::string(int slot)> slot_namer;

// The walk over slot pointers: check(slot, level) runs once for every
// distinct kernel a slot takes above the portable level.
level_counts walk_kernel_slot_pointers(const std::vector<std::vector<const void *>> &slots_by_level,
                                       const std::function<bool(int slot, int level)> &check,
                                       const slot_namer &name);

// The tables of every level the processor has, and their slots (none for a
// level it lacks).
template <class table>
void kernel_tables_by_level(table_init_fn<table> init, std::vector<table> *tables,
                            std::vector<std::vector<const void *>> *slots)
{
    tables->assign(KERNEL_LEVELS, table());
    slots->assign(KERNEL_LEVELS, {});
    for (int level = 0; level < KERNEL_LEVELS; level++) {
        if (!kernel_level_present(level)) continue;
        (*tables)[level] = kernel_table(init, level);
        (*slots)[level] = kernel_slots((*tables)[level]);
    }
}

// Walks the family's table at every level, the comparisons drawing on one
// random source seeded with `seed`.
template <class table>
level_counts walk_kernel_levels(table_init_fn<table> init, slot_check<table> check, const slot_namer &name,
                                uint32_t seed)
{
    std::vector<table> tables;
    std::vector<std::vector<const void *>> slots;
    kernel_tables_by_level(init, &tables, &slots);
    std::mt19937 rng(seed);
    return walk_kernel_slot_pointers(
        slots, [&](int slot, int level) { return check(slot, tables[KERNEL_PORTABLE], tables[level], rng); }, name);
}

// Expects the walk to have found these counts at the levels the processor has.
void expect_level_counts(const level_counts &walked, int ssse3, int avx2);

// ---- timing ----

// Milliseconds per figure asked for by TV_BENCH; 0 when timing is off.
int kernel_timing_ms();
#define KERNEL_TIMING_OFF "timing runs with TV_BENCH=<milliseconds per figure>"

// Where timed calls put results that nothing else reads, so that no call is
// optimised away.
extern volatile uint64_t kernel_sink;

// One timed call of the kernel in `slot`, named by what it computes and at
// which size.
template <class table>
struct timing_case {
    std::string name;
    int slot;
    std::function<void(const table &)> run;
};

// Prints one row per case: nanoseconds per call at every level, "=" where a
// level keeps the kernel of the level before it, "-" where the processor
// lacks the level. call(i, level) makes one call of case i at the level.
void print_kernel_timing(const char *family, const std::vector<std::vector<const void *>> &slots_by_level,
                         const std::vector<std::string> &names, const std::vector<int> &case_slots,
                         const std::function<void(int index, int level)> &call);

template <class table>
void time_kernel_cases(const char *family, table_init_fn<table> init, const std::vector<timing_case<table>> &cases)
{
    std::vector<table> tables;
    std::vector<std::vector<const void *>> slots;
    kernel_tables_by_level(init, &tables, &slots);
    std::vector<std::string> names;
    std::vector<int> case_slots;
    for (const auto &c : cases) {
        names.push_back(c.name);
        case_slots.push_back(c.slot);
    }
    print_kernel_timing(family, slots, names, case_slots,
                        [&](int index, int level) { cases[index].run(tables[level]); });
}
