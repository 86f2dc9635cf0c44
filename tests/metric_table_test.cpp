// The block metric table: layout, which slots are filled at every flag set,
// and that a kernel set is installed only where the processor has it.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "encoder/cpu.h"
#include "kernels/metrics/metric.h"

namespace {

std::vector<uintptr_t> slots_of(const metric_table &t)
{
    std::vector<uintptr_t> s(METRIC_TABLE_SLOTS);
    std::memcpy(s.data(), &t, sizeof t);
    return s;
}

std::set<int> null_slots()
{
    std::set<int> s = {14, 19, 24, 29, 34, 79, 84, 89, 94, 99, 100, 101, 104, 107};
    for (int i = 50; i < 60; i++) s.insert(i);
    for (int i = 65; i < 75; i++) s.insert(i);
    return s;
}

metric_table filled(uint32_t flags, unsigned char prefill)
{
    metric_table t;
    std::memset(&t, prefill, sizeof t);
    metric_table_init(flags, &t, 5);
    return t;
}

bool have_ssse3_set() { return cpu_use_ssse3_set(CPU_SSE41 | CPU_SSSE3); }

TEST(MetricTable, EveryKernelSlotIsFilledAndEveryReservedSlotNullAtEveryFlagSet)
{
    std::set<int> nulls = null_slots();
    for (uint32_t flags = 0; flags < 8; flags++) {
        for (unsigned char prefill : {0x00, 0xa5}) {
            std::vector<uintptr_t> s = slots_of(filled(flags, prefill));
            for (int i = 0; i < METRIC_TABLE_SLOTS; i++) {
                if (nulls.count(i))
                    EXPECT_EQ(s[i], 0u) << "slot " << i << " flags " << flags;
                else
                    EXPECT_NE(s[i], 0u) << "slot " << i << " flags " << flags;
            }
        }
    }
}

TEST(MetricTable, LayoutPlacesEachGroupAtItsSlot)
{
    metric_table t = filled(0, 0);
    std::vector<uintptr_t> s = slots_of(t);
    EXPECT_EQ(s[0], (uintptr_t)sad_sub_64x64_c);
    EXPECT_EQ(s[9], (uintptr_t)sad_4x4_c);
    EXPECT_EQ(s[13], (uintptr_t)sad_sub_8x4_c);
    EXPECT_EQ(s[18], (uintptr_t)sad_sub_4x8_c);
    EXPECT_EQ(s[20], (uintptr_t)sad_x4_sub_64x64_c);
    EXPECT_EQ(s[33], (uintptr_t)sad_x4_sub_4x8_c);
    EXPECT_EQ(s[39], (uintptr_t)sad_x3_sub_4x4_c);
    EXPECT_EQ(s[44], (uintptr_t)sad_x2_sub_4x4_c);
    EXPECT_EQ(s[49], (uintptr_t)sse_4x4_c);
    EXPECT_EQ(s[60], (uintptr_t)satd_64x64_c);
    EXPECT_EQ(s[64], (uintptr_t)satd_4x4_c);
    EXPECT_EQ(s[78], (uintptr_t)sa8d_8x8_c);
    EXPECT_EQ(s[83], (uintptr_t)satd_8x4_c);
    EXPECT_EQ(s[88], (uintptr_t)satd_4x8_c);
    EXPECT_EQ(s[90], (uintptr_t)sa8d_sub_64x64_c);
    EXPECT_EQ(s[93], (uintptr_t)sa8d_8x8_c);
    EXPECT_EQ(s[95], (uintptr_t)sa8d_64x64_c);
    EXPECT_EQ(s[98], (uintptr_t)sa8d_8x8_c);
    EXPECT_EQ(s[102], (uintptr_t)pixel_sum_ssq_16x16_c);
    EXPECT_EQ(s[103], (uintptr_t)pixel_sum_ssq_8x8_c);
    EXPECT_EQ(s[105], (uintptr_t)sse_wxh_c);
    EXPECT_EQ(s[106], (uintptr_t)hadamard_ac_8x4_c);
    EXPECT_EQ(s[108], (uintptr_t)count_nonzero_coeffs_c);
    EXPECT_EQ(s[109], (uintptr_t)scan_coeff_groups_c);
    EXPECT_EQ(s[110], (uintptr_t)ctu_activity_hv_c);
    EXPECT_EQ(s[111], (uintptr_t)ctu_activity_4dir_c);
    EXPECT_EQ(s[112], (uintptr_t)ctu_activity_hv3_c);
    EXPECT_EQ(s[113], (uintptr_t)ctu_activity_diag_c);
    EXPECT_EQ(s[114], (uintptr_t)copy_64x64_prefetch_c);
    EXPECT_EQ(s[117], (uintptr_t)copy_32x32_c);
}

TEST(MetricTable, CostMetricCopiesTheSa8dKernelsOfTheLevel)
{
    for (uint32_t flags = 0; flags < 8; flags++) {
        for (int32_t mode : {1, 5}) {
            metric_table t;
            std::memset(&t, 0, sizeof t);
            metric_table_init(flags, &t, mode);
            for (int i = 0; i < 4; i++) EXPECT_EQ(t.cost_metric[i], t.sa8d[i]) << flags;
            EXPECT_EQ(t.cost_metric[4], nullptr);
        }
    }
}

TEST(MetricTable, WithoutFlagsEverySlotHoldsItsPortableKernel)
{
    metric_table t = filled(0, 0);
    EXPECT_EQ(t.sse[0], sse_64x64_c);
    EXPECT_EQ(t.sa8d[0], sa8d_64x64_c);
    EXPECT_EQ(t.sa8d_sub[3], sa8d_8x8_c);
    EXPECT_EQ(t.cost_metric[0], sa8d_64x64_c);
    EXPECT_EQ(t.cost_metric[3], sa8d_8x8_c);
    EXPECT_EQ(t.sse_wxh, sse_wxh_c);
    EXPECT_EQ(t.ctu_activity_hv3, ctu_activity_hv3_c);
}

// The SSSE3 set holds SSE4.1 operations: the SSSE3 flag alone must not install it.
TEST(MetricTable, Ssse3SetNeedsSse41Too)
{
    std::vector<uintptr_t> portable = slots_of(filled(0, 0));
    EXPECT_EQ(slots_of(filled(CPU_SSSE3, 0)), portable);
    EXPECT_EQ(slots_of(filled(CPU_SSE41, 0)), portable);
    // The AVX2 flag alone installs nothing either.
    EXPECT_EQ(slots_of(filled(CPU_AVX2, 0)), portable);
}

const int ssse3_slots[] = {0,  1,  2,  3,  10, 11, 12, 13, 15, 16, 17, 18, 20, 21, 22, 23, 25, 26,
                           27, 28, 30, 31, 32, 33, 45, 46, 47, 48, 63, 64, 75, 76, 77, 78, 80, 81,
                           82, 83, 85, 86, 87, 88, 95, 96, 97, 98, 105, 106, 110, 111, 112, 113};

// Slots the AVX2 set fills with kernels of its own.
std::set<int> avx2_slots()
{
    std::set<int> s = {10, 11, 15, 20, 21, 25, 26, 30, 105, 108, 109, 114, 115, 116, 117};
    for (int first : {0, 5, 35, 40, 45, 60}) for (int i = 0; i < 5; i++) s.insert(first + i);
    for (int first : {75, 90, 95}) for (int i = 0; i < 4; i++) s.insert(first + i);
    for (int first : {80, 85}) for (int i = 0; i < 3; i++) s.insert(first + i);
    return s;
}

bool have_avx2_set() { return cpu_use_avx2_set(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2); }

TEST(MetricTable, Ssse3SetReplacesExactlyItsSlots)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3 or SSE4.1";
    std::vector<uintptr_t> portable = slots_of(filled(0, 0));
    std::set<int> expect(std::begin(ssse3_slots), std::end(ssse3_slots));
    for (uint32_t flags : {CPU_SSE41 | CPU_SSSE3}) {
        std::vector<uintptr_t> s = slots_of(filled(flags, 0));
        for (int i = 0; i < METRIC_TABLE_SLOTS; i++)
            EXPECT_EQ(s[i] != portable[i], expect.count(i) == 1) << "slot " << i << " flags " << flags;
    }
    metric_table t = filled(CPU_SSE41 | CPU_SSSE3, 0);
    EXPECT_EQ(t.sa8d[3], sa8d_8x8_ssse3);
    EXPECT_EQ(t.sa8d_sub[3], sa8d_8x8_c);   // same value, portable form kept
    EXPECT_EQ(t.sa8d_wide[3], satd_8x4_ssse3);
    EXPECT_EQ(t.sa8d_tall[3], satd_4x8_ssse3);
}

// With every flag the AVX2 set replaces exactly its slots over the SSSE3 table;
// the rest keep the SSSE3 kernel, and only 102 and 103 stay portable.
TEST(MetricTable, Avx2SetReplacesExactlyItsSlotsOverTheSsse3Set)
{
    if (!have_avx2_set()) GTEST_SKIP() << "processor lacks AVX2, BMI2 or POPCNT";
    std::vector<uintptr_t> portable = slots_of(filled(0, 0));
    std::vector<uintptr_t> ssse3 = slots_of(filled(CPU_SSE41 | CPU_SSSE3, 0));
    std::vector<uintptr_t> all = slots_of(filled(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2, 0x5a));
    std::set<int> avx2 = avx2_slots(), nulls = null_slots();
    for (int i = 0; i < METRIC_TABLE_SLOTS; i++) {
        if (nulls.count(i)) continue;
        EXPECT_EQ(all[i] != ssse3[i], avx2.count(i) == 1) << "slot " << i;
        EXPECT_EQ(all[i] == portable[i], i == 102 || i == 103) << "slot " << i;
    }
    metric_table t = filled(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2, 0);
    EXPECT_EQ(t.sa8d[3], sa8d_8x8_avx2);
    EXPECT_EQ(t.sa8d_sub[3], sa8d_8x8_avx2);
    EXPECT_EQ(t.cost_metric[2], sa8d_16x16_avx2);
    EXPECT_EQ(t.sa8d_wide[3], satd_8x4_ssse3);
    EXPECT_EQ(t.sad_sub_wide[2], sad_sub_16x8_ssse3);
    EXPECT_EQ(t.sad_x4_sub[2], sad_x4_sub_16x16_ssse3);
    EXPECT_EQ(t.hadamard_ac_8x4, hadamard_ac_8x4_ssse3);
    EXPECT_EQ(t.ctu_activity_hv, ctu_activity_hv_ssse3);
    EXPECT_EQ(t.pixel_sum_ssq_16x16, pixel_sum_ssq_16x16_c);
}

// Without the SSSE3 set the AVX2 set still goes in only where the processor
// has every instruction set it uses; its missing slots keep portable kernels.
TEST(MetricTable, Avx2FlagWithoutSse41InstallsNothing)
{
    std::vector<uintptr_t> portable = slots_of(filled(0, 0));
    EXPECT_EQ(slots_of(filled(CPU_SSSE3 | CPU_AVX2, 0)), portable);
    EXPECT_EQ(slots_of(filled(CPU_SSE41 | CPU_AVX2, 0)), portable);
}

}   // namespace
