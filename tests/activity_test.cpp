// CTU directional activity: every kernel (portable and SSSE3) against a direct
// per-sample definition, the ramps and edges whose sums are known, and the rule
// that a kernel writes exactly the 85 entries of the arrays it fills.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/metrics/activity.h"

namespace {

enum { A_HV, A_VER, A_HOR, A_DIAG, A_ANTI };

typedef std::vector<uint8_t> ctu;   // 64 x 64, stride 64

uint32_t *array_of(ctu_activity_maps *m, int k)
{
    uint32_t *a[] = {m->grad_hv, m->grad_ver, m->grad_hor, m->grad_diag, m->grad_anti};
    return a[k];
}

// Direct definition: per-sample terms added into the 8x8, 16x16, 32x32 and 64x64
// blocks that contain the sample, skipping row 7 of every 8x8 block.
void ref_activity(const ctu &p, uint32_t out[5][85])
{
    std::memset(out, 0, sizeof(uint32_t) * 5 * 85);
    auto s = [&](int x, int y) { return (int)p[y * 64 + x]; };
    for (int y = 0; y < 64; y++) {
        if (y % 8 == 7) continue;
        for (int x = 0; x < 64; x++) {
            int xr = x == 63 ? 63 : x + 1;
            uint32_t ver = (uint32_t)std::abs(s(x, y) - s(x, y + 1));
            uint32_t hor = (uint32_t)std::abs(s(x, y) - s(xr, y));
            uint32_t t[5] = {ver + hor, ver, hor, (uint32_t)std::abs(s(x, y) - s(xr, y + 1)),
                             (uint32_t)std::abs(s(x, y + 1) - s(xr, y))};
            for (int size : {64, 32, 16, 8}) {
                int e = activity_entry(size, x, y);
                for (int k = 0; k < 5; k++) out[k][e] += t[k];
            }
        }
    }
}

struct kernel_case {
    const char *name;
    ctu_activity_fn fn;
    int arrays;   // bit k: array k written
    bool simd;
};

const kernel_case kernels[] = {
    {"hv_c", ctu_activity_hv_c, 1 << A_HV, false},
    {"hv3_c", ctu_activity_hv3_c, (1 << A_HV) | (1 << A_VER) | (1 << A_HOR), false},
    {"4dir_c", ctu_activity_4dir_c, (1 << A_VER) | (1 << A_HOR) | (1 << A_DIAG) | (1 << A_ANTI), false},
    {"diag_c", ctu_activity_diag_c, (1 << A_DIAG) | (1 << A_ANTI), false},
    {"hv_ssse3", ctu_activity_hv_ssse3, 1 << A_HV, true},
    {"hv3_ssse3", ctu_activity_hv3_ssse3, (1 << A_HV) | (1 << A_VER) | (1 << A_HOR), true},
    {"4dir_ssse3", ctu_activity_4dir_ssse3, (1 << A_VER) | (1 << A_HOR) | (1 << A_DIAG) | (1 << A_ANTI), true},
    {"diag_ssse3", ctu_activity_diag_ssse3, (1 << A_DIAG) | (1 << A_ANTI), true},
};

bool can_run(const kernel_case &k) { return !k.simd || cpu_use_ssse3_set(CPU_SSE41 | CPU_SSSE3); }

// Runs a kernel on maps prefilled with a sentinel and checks every entry:
// written arrays equal the definition, everything else keeps the sentinel.
void check_kernel(const kernel_case &k, const ctu &p, const char *what)
{
    uint32_t ref[5][85];
    ref_activity(p, ref);
    ctu_activity_maps m;
    std::memset(&m, 0xcd, sizeof m);
    k.fn(p.data(), &m);
    for (int a = 0; a < 5; a++) {
        const uint32_t *arr = array_of(&m, a);
        for (int e = 0; e < ACTIVITY_ENTRIES; e++) {
            if ((k.arrays >> a & 1) && e < 85)
                ASSERT_EQ(arr[e], ref[a][e]) << k.name << " " << what << " array " << a << " entry " << e;
            else
                ASSERT_EQ(arr[e], 0xcdcdcdcdu) << k.name << " " << what << " touched array " << a << " entry " << e;
        }
    }
}

TEST(CtuActivity, EveryKernelMatchesTheDefinitionAndWritesOnlyItsArrays)
{
    std::mt19937 rng(41);
    for (int trial = 0; trial < 6; trial++) {
        ctu p(64 * 64);
        for (auto &v : p) v = trial < 3 ? (uint8_t)rng() : (rng() & 1 ? 255 : 0);
        for (const kernel_case &k : kernels)
            if (can_run(k)) check_kernel(k, p, "random");
    }
}

TEST(CtuActivity, RampsGiveTheKnownBlockSums)
{
    const int d = 3;
    ctu vramp(64 * 64), hramp(64 * 64), flat(64 * 64, 77);
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            vramp[y * 64 + x] = (uint8_t)(y * d);
            hramp[y * 64 + x] = (uint8_t)(x * d);
        }
    // Expected 8x8 entry per array (hv, ver, hor, diag, anti), by block column.
    auto vr = [&](int, int a) { return a == A_HOR ? 0u : 56u * d; };
    auto hr = [&](int bx, int a) { return a == A_VER ? 0u : (bx == 7 ? 49u : 56u) * d; };   // column 63 adds nothing
    for (const kernel_case &k : kernels) {
        if (!can_run(k)) continue;
        ctu_activity_maps m;
        for (int ramp = 0; ramp < 2; ramp++) {
            k.fn(ramp ? hramp.data() : vramp.data(), &m);
            for (int a = 0; a < 5; a++) {
                if (!(k.arrays >> a & 1)) continue;
                for (int e = ACTIVITY_BASE_8; e < 85; e++) {
                    int bx = (e - ACTIVITY_BASE_8) % 8;
                    EXPECT_EQ(array_of(&m, a)[e], ramp ? hr(bx, a) : vr(bx, a)) << k.name << " array " << a;
                }
            }
        }
        k.fn(flat.data(), &m);
        for (int a = 0; a < 5; a++) {
            if (!(k.arrays >> a & 1)) continue;
            for (int e = 0; e < 85; e++) EXPECT_EQ(array_of(&m, a)[e], 0u) << k.name;
        }
    }
}

TEST(CtuActivity, EdgesOnBlockBoundaries)
{
    // Horizontal edge between rows 7 and 8: row 7 of a block contributes nothing.
    ctu hedge(64 * 64), vedge(64 * 64, 10), col63(64 * 64, 10);
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            hedge[y * 64 + x] = (uint8_t)((y / 8) * 20);   // steps between rows 7|8, 15|16, ...
            if (x >= 8) vedge[y * 64 + x] = 90;
            if (x == 63) col63[y * 64 + x] = (uint8_t)(y & 1 ? 200 : 0);
        }
    for (const kernel_case &k : kernels) {
        if (!can_run(k)) continue;
        ctu_activity_maps m;
        k.fn(hedge.data(), &m);
        for (int a = 0; a < 5; a++) {
            if (!(k.arrays >> a & 1)) continue;
            for (int e = 0; e < 85; e++) EXPECT_EQ(array_of(&m, a)[e], 0u) << k.name << " array " << a;
        }
        k.fn(vedge.data(), &m);
        for (int by = 0; by < 8; by++) {
            int left = ACTIVITY_BASE_8 + 8 * by;
            if (k.arrays >> A_HOR & 1) {
                EXPECT_EQ(m.grad_hor[left], 7u * 80) << k.name;
                EXPECT_EQ(m.grad_hor[left + 1], 0u) << k.name;
            }
            if (k.arrays >> A_HV & 1) {
                EXPECT_EQ(m.grad_hv[left], 7u * 80) << k.name;
            }
        }
        check_kernel(k, col63, "column 63");
        k.fn(col63.data(), &m);
        if (k.arrays >> A_DIAG & 1) {
            // Top-right block, rows 0..6: column 63 adds |p(63,y) - p(63,y+1)| = 200
            // per row to both diagonals (1400); column 62 meets column 63 at the
            // next row (diagonal: 4 x 190 + 3 x 10) or the same row (anti-diagonal:
            // 3 x 190 + 4 x 10).
            EXPECT_EQ(m.grad_diag[ACTIVITY_BASE_8 + 7], 1400u + 790u) << k.name;
            EXPECT_EQ(m.grad_anti[ACTIVITY_BASE_8 + 7], 1400u + 610u) << k.name;
        }
    }
}

}   // namespace
