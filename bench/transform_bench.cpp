// Time per call of every transform table slot at each kernel level (portable,
// SSSE3 set, AVX2 set). A level the processor cannot run prints "-".
//
// Usage: transform_bench [milliseconds per measurement, default 40]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "encoder/cpu.h"
#include "encoder/platform/platform.h"
#include "kernels/transform/transform.h"

namespace {

struct bench_buffers {
    alignas(32) uint8_t src[32 * TRANSFORM_SRC_STRIDE];
    alignas(32) uint8_t pred[32 * TRANSFORM_PRED_STRIDE];
    alignas(32) int16_t coeff[32 * 32];
};

const char *const slot_names[TRANSFORM_TABLE_SLOTS] = {
    "ftrans_residual_4x4", "itrans_add_4x4",      "fdct_residual_8x8",        "fdct_residual_low4_8x8",
    "idct_add_8x8",        "idct_add_low4_8x8",   "fdct_residual_16x16",      "fdct_residual_low8_16x16",
    "idct_add_16x16",      "idct_add_low8_16x16", "fdct_residual_32x32",      "fdct_residual_low8_32x32",
    "idct_add_32x32",      "idct_add_low8_32x32", "coeff_cost_estimate(32)",
};

// Calls slot `slot` of t `count` times on b; the inverse kernels add into the
// prediction, which stays in range because the coefficients are small.
void run_slot(const transform_table &t, int slot, bench_buffers *b, int count)
{
    for (int i = 0; i < count; i++) {
        switch (slot) {
        case 0: t.ftrans_residual_4x4(b->coeff, b->src, b->pred, i & 1 ? 5 : 35); break;
        case 1: t.itrans_add_4x4(b->pred, b->coeff, i & 1 ? 5 : 35); break;
        case 2: t.fdct_residual_8x8(b->coeff, b->src, b->pred); break;
        case 3: t.fdct_residual_low4_8x8(b->coeff, b->src, b->pred, 4); break;
        case 4: t.idct_add_8x8(b->pred, b->coeff); break;
        case 5: t.idct_add_low4_8x8(b->pred, b->coeff, 4); break;
        case 6: t.fdct_residual_16x16(b->coeff, b->src, b->pred); break;
        case 7: t.fdct_residual_low8_16x16(b->coeff, b->src, b->pred, 8); break;
        case 8: t.idct_add_16x16(b->pred, b->coeff); break;
        case 9: t.idct_add_low8_16x16(b->pred, b->coeff, 8); break;
        case 10: t.fdct_residual_32x32(b->coeff, b->src, b->pred); break;
        case 11: t.fdct_residual_low8_32x32(b->coeff, b->src, b->pred, 8); break;
        case 12: t.idct_add_32x32(b->pred, b->coeff); break;
        case 13: t.idct_add_low8_32x32(b->pred, b->coeff, 8); break;
        default: b->coeff[i & 1023] ^= (int16_t)t.coeff_cost_estimate(b->coeff, 5) & 1; break;
        }
    }
}

void fill(bench_buffers *b)
{
    std::mt19937 rng(1);
    for (uint8_t &v : b->src) v = (uint8_t)rng();
    for (uint8_t &v : b->pred) v = (uint8_t)rng();
    for (int16_t &v : b->coeff) v = (int16_t)((int)(rng() % 7) - 3);
}

// Nanoseconds per call of one run of batches lasting about `us` microseconds.
double time_run(const transform_table &t, int slot, bench_buffers *b, uint64_t us)
{
    uint64_t start = time_now_us(), now = start;
    long calls = 0;
    const int batch = 8;
    while (now - start < us) {
        run_slot(t, slot, b, batch);
        calls += batch;
        now = time_now_us();
    }
    return (double)(now - start) * 1000.0 / (double)calls;
}

// The best of runs of two milliseconds sharing `ms` milliseconds: on a busy
// machine the fastest run is the one least disturbed by other work.
double time_slot(const transform_table &t, int slot, bench_buffers *b, int ms)
{
    run_slot(t, slot, b, 64);  // warm caches and branch predictors
    double best = 0;
    for (int r = 0; r < ms / 2 || r < 3; r++) {
        double ns = time_run(t, slot, b, 2000);
        if (r == 0 || ns < best) best = ns;
    }
    return best;
}

}  // namespace

int main(int argc, char **argv)
{
    int ms = argc > 1 ? atoi(argv[1]) : 40;
    if (ms <= 0) ms = 40;

    const uint32_t level_flags[3] = {0, CPU_SSE41 | CPU_SSSE3, CPU_SSE41 | CPU_SSSE3 | CPU_AVX2};
    const bool level_ok[3] = {true, cpu_use_ssse3_set(level_flags[1]), cpu_use_avx2_set(level_flags[2])};
    transform_table tables[3];
    for (int l = 0; l < 3; l++) transform_table_init(level_flags[l], &tables[l]);

    static bench_buffers b;
    printf("%-26s %12s %12s %12s   (ns per call)\n", "slot", "portable", "ssse3", "avx2");
    for (int slot = 0; slot < TRANSFORM_TABLE_SLOTS; slot++) {
        printf("%2d %-23s", slot, slot_names[slot]);
        for (int l = 0; l < 3; l++) {
            if (!level_ok[l]) {
                printf(" %12s", "-");
                continue;
            }
            fill(&b);
            printf(" %12.1f", time_slot(tables[l], slot, &b, ms));
        }
        printf("\n");
    }
    return 0;
}
