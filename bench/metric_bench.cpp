// Time per call of every block metric slot at each kernel level (portable,
// SSSE3, AVX2): a benchmark, not a test. Prints one line per slot with the
// nanoseconds per call of each level, "-" where the slot is null and "=" where
// the level keeps the kernel of the level before it.
#include <cstdio>
#include <cstring>
#include <random>

#include "encoder/cpu.h"
#include "encoder/memory.h"
#include "encoder/platform/platform.h"
#include "kernels/metrics/metric.h"

enum { PLANE_STRIDE = 256, PLANE_ROWS = 160, CALLS_TARGET_US = 20000 };

struct bench_data {
    uint8_t *src;      // 64x64 source CTU copy, stride 64, 32-byte aligned
    uint8_t *plane;    // a reference picture area
    uint8_t *dst;
    int16_t *coeff;
    uint16_t scan[1024];
    uint16_t group_scan[16];
    uint16_t sign[64], sig[64];
    uint8_t count[64];
    ctu_activity_maps maps;
    uint32_t out[4];
};

static void bench_data_init(bench_data *d)
{
    std::mt19937 rng(7);
    d->src = (uint8_t *)aligned_malloc(64 * 64);
    d->plane = (uint8_t *)aligned_malloc(PLANE_STRIDE * PLANE_ROWS);
    d->dst = (uint8_t *)aligned_malloc(PLANE_STRIDE * PLANE_ROWS);
    d->coeff = (int16_t *)aligned_malloc(1024 * 2);
    for (int i = 0; i < 64 * 64; i++) d->src[i] = (uint8_t)rng();
    for (int i = 0; i < PLANE_STRIDE * PLANE_ROWS; i++) d->plane[i] = (uint8_t)rng();
    for (int i = 0; i < 1024; i++) d->coeff[i] = rng() % 6 == 0 ? (int16_t)((int)(rng() % 9) - 4) : 0;
    // Groups of 4x4 in raster order, positions in raster order inside a group.
    for (int g = 0; g < 64; g++)
        for (int i = 0; i < 16; i++) d->scan[16 * g + i] = (uint16_t)((4 * (g / 8) + i / 4) * 32 + 4 * (g % 8) + i % 4);
    for (int i = 0; i < 16; i++) d->group_scan[i] = (uint16_t)i;
}

static void bench_data_free(bench_data *d)
{
    aligned_free(d->src);
    aligned_free(d->plane);
    aligned_free(d->dst);
    aligned_free(d->coeff);
}

static volatile uint64_t sink;

// One call of the kernel in the slot; the candidates sit at odd offsets of the plane.
static void call_slot(int slot, const void *fn, bench_data *d)
{
    const uint8_t *c = d->plane + 3 * PLANE_STRIDE + 5;
    if (slot < 100 && (slot < 20 || slot >= 45)) {
        sink += ((pair_metric_fn)fn)(d->src, 64, c, PLANE_STRIDE);
    } else if (slot < 35) {
        ((sad_x4_fn)fn)(d->src, c, c + 1, c + 2, c + 3, PLANE_STRIDE, d->out);
    } else if (slot < 40) {
        ((sad_x3_fn)fn)(d->src, c, c + 1, c + 2, PLANE_STRIDE, d->out);
    } else if (slot < 45) {
        ((sad_x2_fn)fn)(d->src, c, c + 1, PLANE_STRIDE, d->out);
    } else if (slot == 102 || slot == 103) {
        sink += ((pixel_sum_ssq_fn)fn)(c, PLANE_STRIDE);
    } else if (slot == 105) {   // a 240x128 area
        sink += ((sse_wxh_fn)fn)(d->plane, PLANE_STRIDE, d->dst, PLANE_STRIDE, 240, 128);
    } else if (slot == 106) {
        sink += ((hadamard_ac_fn)fn)(d->src, 64);
    } else if (slot == 108) {
        sink += ((count_nonzero_fn)fn)(d->coeff, 5);
    } else if (slot == 109) {
        sink += (uint64_t)((scan_coeff_groups_fn)fn)(d->scan, d->coeff, d->sign, d->sig, d->count, 150,
                                                     d->group_scan, 32);
    } else if (slot >= 110 && slot <= 113) {
        ((ctu_activity_fn)fn)(d->src, &d->maps);
    } else if (slot >= 114) {
        ((block_copy_fn)fn)(d->dst, d->plane, PLANE_STRIDE, PLANE_STRIDE);
    }
    sink += d->out[0];
}

// Nanoseconds per call: calls doubled until a run lasts the target time.
static double time_slot(int slot, const void *fn, bench_data *d)
{
    for (long n = 64;; n *= 2) {
        int64_t t0 = time_now_us();
        for (long i = 0; i < n; i++) call_slot(slot, fn, d);
        int64_t t = time_now_us() - t0;
        if (t >= CALLS_TARGET_US || n >= (1L << 26)) return 1000.0 * (double)t / (double)n;
    }
}

int main()
{
    static const uint32_t level_flags[3] = {0, CPU_SSE41 | CPU_SSSE3, CPU_SSE41 | CPU_SSSE3 | CPU_AVX2};
    static const char *const level_names[3] = {"portable", "ssse3", "avx2"};
    metric_table tables[3];
    uintptr_t slots[3][METRIC_TABLE_SLOTS];
    for (int l = 0; l < 3; l++) {
        std::memset(&tables[l], 0, sizeof tables[l]);
        metric_table_init(level_flags[l], &tables[l], 5);
        std::memcpy(slots[l], &tables[l], sizeof tables[l]);
    }
    bench_data d;
    bench_data_init(&d);
    time_slot(5, (const void *)slots[0][5], &d);   // warm-up: caches and clock
    std::printf("slot  %10s %10s %10s   (ns per call)\n", level_names[0], level_names[1], level_names[2]);
    for (int slot = 0; slot < METRIC_TABLE_SLOTS; slot++) {
        if (!slots[0][slot]) continue;
        std::printf("%4d ", slot);
        for (int l = 0; l < 3; l++) {
            if (!slots[l][slot])
                std::printf(" %10s", "-");
            else if (l > 0 && slots[l][slot] == slots[l - 1][slot])
                std::printf(" %10s", "=");
            else
                std::printf(" %10.1f", time_slot(slot, (const void *)slots[l][slot], &d));
        }
        std::printf("\n");
    }
    bench_data_free(&d);
    return 0;
}
