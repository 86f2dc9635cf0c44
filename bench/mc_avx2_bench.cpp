// Time per call of the motion-compensation slots that the AVX2 set fills,
// portable against AVX2, at a few block sizes and phases: a benchmark, not a
// test. Prints one line per case with the nanoseconds per call of each form.
#include <cstdio>
#include <cstring>
#include <random>

#include "encoder/cpu.h"
#include "encoder/memory.h"
#include "encoder/platform/platform.h"
#include "kernels/mc/mc.h"

enum { STRIDE = 384, ROWS = 256, MARGIN = 96, CALLS_TARGET_US = 20000 };

struct bench_data {
    uint8_t *plane, *dst, *sub[16];
    int16_t *h16[3], *p0, *p1, *d16;
    const int16_t *hp[3];
};

static uint8_t *at(uint8_t *base)
{
    return base + MARGIN * STRIDE + MARGIN;
}

static void bench_data_init(bench_data *d)
{
    std::mt19937 rng(11);
    d->plane = (uint8_t *)aligned_malloc(STRIDE * ROWS);
    d->dst = (uint8_t *)aligned_malloc(STRIDE * ROWS);
    for (int i = 0; i < STRIDE * ROWS; i++) d->plane[i] = (uint8_t)rng();
    for (int i = 0; i < 16; i++) d->sub[i] = (uint8_t *)aligned_malloc(STRIDE * ROWS);
    for (int i = 0; i < 3; i++) {
        d->h16[i] = (int16_t *)aligned_malloc(STRIDE * ROWS * 2);
        std::memset(d->h16[i], 0, STRIDE * ROWS * 2);
    }
    filter_h_subpel_16bit_c(d->h16[0] + 8 * STRIDE + 8, d->h16[1] + 8 * STRIDE + 8, d->h16[2] + 8 * STRIDE + 8,
                            d->plane + 8 * STRIDE + 8, STRIDE, STRIDE - 16, ROWS - 24, 0);
    for (int i = 0; i < 3; i++) d->hp[i] = d->h16[i] + MARGIN * STRIDE + MARGIN;
    d->p0 = (int16_t *)aligned_malloc(64 * 64 * 2);
    d->p1 = (int16_t *)aligned_malloc(64 * 64 * 2);
    d->d16 = (int16_t *)aligned_malloc(64 * 64 * 2);
    for (int i = 0; i < 64 * 64; i++) {
        d->p0[i] = (int16_t)(rng() % 16320 - MC_INTERMEDIATE_BIAS);
        d->p1[i] = (int16_t)(rng() % 16320 - MC_INTERMEDIATE_BIAS);
    }
}

static void bench_data_free(bench_data *d)
{
    aligned_free(d->plane);
    aligned_free(d->dst);
    for (int i = 0; i < 16; i++) aligned_free(d->sub[i]);
    for (int i = 0; i < 3; i++) aligned_free(d->h16[i]);
    aligned_free(d->p0);
    aligned_free(d->p1);
    aligned_free(d->d16);
}

struct bench_case {
    const char *name;
    int slot, w, h, mvx, mvy, planes;   // planes: pass the horizontal 16-bit planes
};

static const bench_case CASES[] = {
    {"interp_luma 8x8 (2,2)", 0, 8, 8, 2, 2, 0},
    {"interp_luma 16x16 (1,0)", 0, 16, 16, 1, 0, 0},
    {"interp_luma 32x32 (0,3)", 0, 32, 32, 0, 3, 0},
    {"interp_luma 64x64 (2,2)", 0, 64, 64, 2, 2, 0},
    {"interp_luma 64x64 (2,2) planes", 0, 64, 64, 2, 2, 1},
    {"interp_luma_16bit 16x16 (3,1)", 1, 16, 16, 3, 1, 0},
    {"interp_luma_16bit 64x64 (2,2)", 1, 64, 64, 2, 2, 0},
    {"interp_luma_16bit 32x16 (0,0)", 1, 32, 16, 0, 0, 0},
    {"interp_chroma 8x8 (3,5)", 2, 8, 8, 3, 5, 0},
    {"interp_chroma 32x32 (0,4)", 2, 32, 32, 0, 4, 0},
    {"interp_chroma_16bit 16x16 (3,5)", 3, 16, 16, 3, 5, 0},
    {"bipred_avg_16bit 64x64", 4, 64, 64, 0, 0, 0},
    {"bipred_avg_16bit 8x8", 4, 8, 8, 0, 0, 0},
    {"filter_h_subpel_16bit 64x64", 5, 64, 64, 0, 0, 0},
    {"build_subpel_planes 64x64", 6, 64, 64, 0, 0, 1},
    {"mc_from_subpel_planes 16x16", 7, 16, 16, 5, 6, 0},
    {"avg_pixels 64x64", 9, 64, 64, 0, 0, 0},
    {"downscale_2x2_plane 128x64", 11, 128, 64, 0, 0, 0},
    {"mc_luma_ref_or_interp 16x16 (1,3)", 12, 16, 16, 1, 3, 0},
    {"mc_luma_ref_or_bilinear 16x16 (1,3)", 13, 16, 16, 1, 3, 0},
    {"mc_luma_ref_or_bilinear 64x64 (2,2)", 13, 64, 64, 2, 2, 0},
    {"block_copy 64x64", 16, 64, 64, 0, 0, 0},
};

static volatile uintptr_t sink;

static void call_case(const mc_table *t, const bench_case &c, bench_data *d)
{
    uint8_t *ref = at(d->plane);
    const int16_t *const *hp = c.planes ? d->hp : nullptr;
    int32_t stride = 64;
    switch (c.slot) {
    case 0: t->interp_luma(d->dst, 64, ref, hp, STRIDE, c.mvx, c.mvy, c.w, c.h); break;
    case 1: sink += (uintptr_t)t->interp_luma_16bit(d->d16, &stride, ref, hp, STRIDE, c.mvx, c.mvy, c.w, c.h); break;
    case 2: t->interp_chroma(d->dst, 64, ref, STRIDE, c.mvx, c.mvy, c.w, c.h); break;
    case 3: t->interp_chroma_16bit(d->d16, 64, ref, STRIDE, c.mvx, c.mvy, c.w, c.h); break;
    case 4: t->bipred_avg_16bit(d->dst, 64, d->p0, 64, d->p1, 64, c.w, c.h); break;
    case 5: t->filter_h_subpel_16bit(d->h16[0] + MARGIN * STRIDE + MARGIN, d->h16[1] + MARGIN * STRIDE + MARGIN,
                                     d->h16[2] + MARGIN * STRIDE + MARGIN, ref, STRIDE, c.w, c.h, 0);
        break;
    case 6: {
        uint8_t *p[16];
        for (int i = 0; i < 16; i++) p[i] = at(d->sub[i]);
        t->build_subpel_planes(p, ref, hp, STRIDE, c.w, c.h, 0);
        break;
    }
    case 7: {
        uint8_t *p[16];
        for (int i = 0; i < 16; i++) p[i] = at(d->sub[i]);
        t->mc_from_subpel_planes(d->dst, 64, p, STRIDE, c.mvx, c.mvy, c.w, c.h);
        break;
    }
    case 9: t->avg_pixels(d->dst, 64, ref, STRIDE, ref + 7, STRIDE, c.w, c.h); break;
    case 11: {
        uint8_t *p[16] = {d->dst};
        t->downscale_2x2_plane(p, STRIDE, ref, STRIDE, c.w, c.h);
        break;
    }
    case 12: sink += (uintptr_t)t->mc_luma_ref_or_interp(d->dst, &stride, ref, hp, STRIDE, c.mvx, c.mvy, c.w, c.h);
        break;
    case 13: sink += (uintptr_t)t->mc_luma_ref_or_bilinear(d->dst, &stride, ref, STRIDE, c.mvx, c.mvy, c.w, c.h);
        break;
    case 16: t->block_copy(d->dst, 64, ref + 3, STRIDE, c.w, c.h); break;
    }
}

// Nanoseconds per call: calls doubled until a run lasts the target time.
static double time_case(const mc_table *t, const bench_case &c, bench_data *d)
{
    for (long n = 16;; n *= 2) {
        int64_t t0 = time_now_us();
        for (long i = 0; i < n; i++) call_case(t, c, d);
        int64_t us = time_now_us() - t0;
        if (us >= CALLS_TARGET_US || n >= (1L << 26)) return 1000.0 * (double)us / (double)n;
    }
}

int main()
{
    mc_table portable, avx2;
    mc_table_init(0, &portable);
    mc_table_init(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2, &avx2);
    bool have_avx2 = cpu_use_avx2_set(cpu_detect());
    bench_data d;
    bench_data_init(&d);
    time_case(&portable, CASES[0], &d);   // warm-up: caches and clock
    std::printf("%-38s %10s %10s %8s   (ns per call)\n", "case", "portable", "avx2", "speedup");
    for (const bench_case &c : CASES) {
        double tp = time_case(&portable, c, &d);
        if (!have_avx2) {
            std::printf("%-38s %10.1f %10s\n", c.name, tp, "-");
            continue;
        }
        double ta = time_case(&avx2, c, &d);
        std::printf("%-38s %10.1f %10.1f %7.1fx\n", c.name, tp, ta, tp / ta);
    }
    bench_data_free(&d);
    return 0;
}
