#include "encoder/cpu.h"

#include <cpuid.h>

static uint64_t read_xcr0(void)
{
    uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return ((uint64_t)hi << 32) | lo;
}

uint32_t cpu_detect(void)
{
    unsigned a, b, c, d;
    unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf == 0) return 0;
    __cpuid(1, a, b, c, d);
    uint32_t flags = 0;
    if (c & (1u << 9)) flags |= CPU_SSSE3;
    if (c & (1u << 19)) flags |= CPU_SSE41;
    if (!((c & (1u << 27)) && (c & (1u << 28)))) return flags;
    uint64_t xcr0 = read_xcr0();
    if ((xcr0 & 6) == 6 && max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        if (b & (1u << 5)) flags |= CPU_AVX2;
    }
    return flags;
}

uint32_t cpu_detect_extra(void)
{
    unsigned a, b, c, d;
    unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf == 0) return 0;
    uint32_t extra = 0;
    __cpuid(1, a, b, c, d);
    if (c & (1u << 23)) extra |= CPU_EXTRA_POPCNT;
    if (max_leaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        if (b & (1u << 8)) extra |= CPU_EXTRA_BMI2;
    }
    return extra;
}

bool cpu_use_ssse3_set(uint32_t flags)
{
    uint32_t have = cpu_detect();
    return (flags & CPU_SSSE3) && (flags & CPU_SSE41) && (have & CPU_SSSE3) && (have & CPU_SSE41);
}

bool cpu_use_avx2_set(uint32_t flags)
{
    uint32_t extra = cpu_detect_extra();
    return cpu_use_ssse3_set(flags) && (flags & CPU_AVX2) && (cpu_detect() & CPU_AVX2) &&
           (extra & CPU_EXTRA_BMI2) && (extra & CPU_EXTRA_POPCNT);
}
