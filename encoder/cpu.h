// Processor feature flags, detected once. The kernel tables test 2 (SSSE3 set)
// and 4 (AVX2 set); the SSSE3 set also holds SSE4.1 code and the AVX2 set holds
// BMI2/POPCNT/SSE4.1 code, so installing a set needs more than its one flag.
#pragma once
#include <cstdint>

enum {
    CPU_SSE41 = 1,
    CPU_SSSE3 = 2,
    CPU_AVX2 = 4,
};

// Features beyond the three flags, reported apart so the flag word keeps its values.
enum {
    CPU_EXTRA_BMI2 = 1,
    CPU_EXTRA_POPCNT = 2,
};

uint32_t cpu_detect(void);
uint32_t cpu_detect_extra(void);

// Whether a kernel table may install its SSSE3-flag or AVX2-flag kernels for the
// given configured flags: the flags must ask for the set and the processor must
// really have every instruction set the kernels use.
bool cpu_use_ssse3_set(uint32_t flags);
bool cpu_use_avx2_set(uint32_t flags);
