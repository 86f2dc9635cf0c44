// Speed of the intra predictors: time per call, by mode group and block size,
// for the portable kernels, the SSSE3 set and the AVX2 set (each level adds
// its set over the previous one, as the encoder installs them).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/intra/intra_pred.h"

namespace {

struct mode_group {
    const char *name;
    int modes[16];
    int count;
    int f;
};

const mode_group groups[] = {
    {"planar", {0}, 1, 0},
    {"dc", {1}, 1, 0},
    {"dc+filter", {1}, 1, 1},
    {"diagonals", {2, 18, 34}, 3, 0},
    {"pure dirs", {10, 26}, 2, 0},
    {"hor filt", {10}, 1, 1},
    {"ver filt", {26}, 1, 1},
    {"pos angle", {3, 4, 5, 6, 7, 8, 9, 27, 28, 29, 30, 31, 32, 33}, 14, 0},
    {"neg angle", {11, 12, 13, 14, 15, 16, 17, 19, 20, 21, 22, 23, 24, 25}, 14, 0},
};

struct level {
    const char *name;
    uint32_t flags;
};

const level levels[] = {{"c", 0}, {"ssse3", CPU_SSE41 | CPU_SSSE3}, {"avx2", CPU_SSE41 | CPU_SSSE3 | CPU_AVX2}};

double now_ns()
{
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs body in rounds of `calls` calls until 20 ms have passed; ns per call.
template <typename F>
double per_call(int calls, F body)
{
    body(); // warm caches and branch predictors
    double start = now_ns(), elapsed = 0;
    long rounds = 0;
    do {
        for (int r = 0; r < 64; r++) body();
        rounds += 64;
        elapsed = now_ns() - start;
    } while (elapsed < 20e6);
    return elapsed / ((double)rounds * calls);
}

double time_group(const intra_pred_table &t, const mode_group &g, int s, const uint8_t *ref, uint8_t *dst)
{
    return per_call(g.count, [&] {
        for (int i = 0; i < g.count; i++) t.pred[g.modes[i]][g.f][s](dst, 128, ref);
    });
}

double time_filter(const intra_pred_table &t, int s, const uint8_t *ref, uint8_t *out)
{
    return per_call(1, [&] { t.ref_filter[s](ref, out); });
}

// One line per angular mode: ns per call of the portable kernel and of the
// kernel the AVX2 set installs (both edge-filter slots hold the same one but
// for modes 10 and 26, timed unfiltered here).
void per_mode_table(const uint8_t *ref, uint8_t *dst)
{
    uint32_t flags = CPU_SSE41 | CPU_SSSE3 | CPU_AVX2;
    if (!cpu_use_avx2_set(flags)) return;
    intra_pred_table c, v;
    intra_pred_table_init(0, &c);
    intra_pred_table_init(flags, &v);
    printf("\nangular modes: ns per call, portable / avx2 set\n");
    printf("%-5s %15s %15s %15s %15s\n", "mode", "4x4", "8x8", "16x16", "32x32");
    for (int mode = 2; mode < INTRA_MODE_COUNT; mode++) {
        printf("%-5d", mode);
        for (int s = 0; s < 4; s++) {
            double tc = per_call(1, [&] { c.pred[mode][0][s](dst, 128, ref); });
            double tv = per_call(1, [&] { v.pred[mode][0][s](dst, 128, ref); });
            printf(" %7.1f/%-7.1f", tc, tv);
        }
        printf("\n");
    }
}

} // namespace

int main()
{
    std::vector<uint8_t> ref(129 + 64), out(129 + 64), dst(128 * 32);
    uint32_t seed = 1;
    for (uint8_t &b : ref) {
        seed = seed * 1103515245u + 12345u;
        b = (uint8_t)(seed >> 16);
    }
    printf("intra predictors: ns per call\n");
    printf("%-10s %-6s %8s %8s %8s %8s\n", "group", "level", "4x4", "8x8", "16x16", "32x32");
    for (const mode_group &g : groups) {
        for (const level &lv : levels) {
            if (lv.flags && !cpu_use_ssse3_set(lv.flags)) continue;
            if ((lv.flags & CPU_AVX2) && !cpu_use_avx2_set(lv.flags)) continue;
            intra_pred_table t;
            intra_pred_table_init(lv.flags, &t);
            printf("%-10s %-6s", g.name, lv.name);
            for (int s = 0; s < 4; s++) printf(" %8.1f", time_group(t, g, s, ref.data(), dst.data()));
            printf("\n");
        }
    }
    for (const level &lv : levels) {
        if (lv.flags && !cpu_use_ssse3_set(lv.flags)) continue;
        if ((lv.flags & CPU_AVX2) && !cpu_use_avx2_set(lv.flags)) continue;
        intra_pred_table t;
        intra_pred_table_init(lv.flags, &t);
        printf("%-10s %-6s", "smoothing", lv.name);
        for (int s = 0; s < 4; s++) printf(" %8.1f", time_filter(t, s, ref.data(), out.data()));
        printf("\n");
    }
    per_mode_table(ref.data(), dst.data());
    return 0;
}
