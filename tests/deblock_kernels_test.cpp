// Deblocking kernel checks. The harness walks the edge kernel table at every
// instruction-set level the processor has: each vector kernel gives exactly
// the portable kernel's samples (and touches nothing else) for every beta
// 0..64 and tc 0..24, on edges that reach every decision branch: unchanged,
// strong, normal with and without the p1/q1 steps, lines skipped by the
// 10 x tc test, and 0/255 extremes. The timing test prints the time per call
// of every slot (kernel_check.h).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encoder/cpu.h"
#include "filters/deblock/deblock.h"
#include "tests/support/kernel_check.h"

namespace {

constexpr int kSize = 24;        // window buffer: 24 x 24 samples
constexpr int kStride = kSize;
constexpr int kEdge = 12;        // the edge lies before row/column 12

// q0 of the first line: lines run along rows 8..15 (vertical edge at column 12)
// or along columns 8..15 (horizontal edge at row 12).
int q0_offset(bool vertical)
{
    return vertical ? (kEdge - 4) * kStride + kEdge : kEdge * kStride + kEdge - 4;
}

bool avx2_usable()
{
    return cpu_use_avx2_set(cpu_detect());
}

// Fills one line of 8 samples across the edge (p3..q3) by a pattern.
void fill_line(std::mt19937 &rng, int pattern, uint8_t line[8])
{
    auto r = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    switch (pattern) {
    case 0:  // noise: mostly left unchanged
        for (int i = 0; i < 8; i++) line[i] = (uint8_t)r(0, 255);
        break;
    case 1: {  // flat sides with a step and a little noise: strong or normal
        int a = r(0, 255), b = std::min(255, std::max(0, a + r(-40, 40))), n = r(0, 2);
        for (int i = 0; i < 8; i++) line[i] = (uint8_t)std::min(255, std::max(0, (i < 4 ? a : b) + r(-n, n)));
        break;
    }
    case 2: {  // ramps with an offset
        int a = r(0, 255), slope = r(-3, 3), jump = r(-20, 20);
        for (int i = 0; i < 8; i++)
            line[i] = (uint8_t)std::min(255, std::max(0, a + slope * i + (i >= 4 ? jump : 0)));
        break;
    }
    case 3: {  // extremes: 0 and 255 on either side
        int lo = r(0, 3), hi = r(252, 255);
        bool swap = r(0, 1);
        for (int i = 0; i < 8; i++) line[i] = (uint8_t)(((i < 4) != swap) ? lo : hi);
        break;
    }
    default: {  // nearly flat: small steps trigger the normal filter's p1/q1 steps
        int a = r(0, 255);
        for (int i = 0; i < 8; i++) line[i] = (uint8_t)std::min(255, std::max(0, a + r(-3, 3) + (i >= 4 ? r(-12, 12) : 0)));
        break;
    }
    }
}

// A window whose 8 lines across the edge follow one pattern per half (or per
// line for the chroma segments), in a buffer of otherwise random samples.
void make_window(std::mt19937 &rng, bool vertical, std::vector<uint8_t> &buf)
{
    buf.resize(kSize * kSize);
    for (auto &v : buf) v = (uint8_t)(rng() & 0xFF);
    int pattern[2] = {(int)(rng() % 5), (int)(rng() % 5)};
    uint8_t first[8];
    fill_line(rng, pattern[0], first);
    for (int line = 0; line < 8; line++) {
        uint8_t l[8];
        // Lines of a half often repeat a pattern exactly (clean flat edges).
        if (line < 4 && (rng() & 1))
            memcpy(l, first, 8);
        else
            fill_line(rng, pattern[line / 4], l);
        for (int i = 0; i < 8; i++) {
            int across = kEdge - 4 + i, along = kEdge - 4 + line;
            if (vertical)
                buf[along * kStride + across] = l[i];
            else
                buf[across * kStride + along] = l[i];
        }
    }
}

struct branch_counts {
    int unchanged = 0, strong = 0, normal = 0, side = 0;
};

// Classifies what the portable filter did to one luma half from the samples:
// p2 moves only under the strong filter, p1 under strong or the side steps.
void classify(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after,
              bool vertical, int first_line, branch_counts *c)
{
    bool any = false, p2 = false, p1 = false;
    for (int line = first_line; line < first_line + 4; line++) {
        for (int i = 0; i < 8; i++) {
            int across = kEdge - 4 + i, along = kEdge - 4 + line;
            int idx = vertical ? along * kStride + across : across * kStride + along;
            if (before[idx] != after[idx]) {
                any = true;
                if (i == 1 || i == 6) p2 = true;
                if (i == 2 || i == 5) p1 = true;
            }
        }
    }
    if (!any) c->unchanged++;
    else if (p2) c->strong++;
    else {
        c->normal++;
        if (p1) c->side++;
    }
}

void run_luma(bool vertical, deblock_luma_edge_fn c_fn, deblock_luma_edge_fn simd_fn)
{
    std::mt19937 rng(vertical ? 11 : 12);
    branch_counts counts;
    std::vector<uint8_t> base, a, b;
    for (int beta = 0; beta <= 64; beta++) {
        for (int tc = 0; tc <= 24; tc++) {
            for (int rep = 0; rep < 12; rep++) {
                make_window(rng, vertical, base);
                int32_t tcs[2] = {tc, (int32_t)(rng() % 25)};
                if (rep % 4 == 0) std::swap(tcs[0], tcs[1]);
                if (rep == 5) tcs[1] = 0;
                a = base;
                b = base;
                int off = q0_offset(vertical);
                c_fn(a.data() + off, kStride, beta, tcs);
                simd_fn(b.data() + off, kStride, beta, tcs);
                ASSERT_EQ(a, b) << "beta " << beta << " tc " << tcs[0] << "," << tcs[1];
                classify(base, a, vertical, 0, &counts);
                classify(base, a, vertical, 4, &counts);
            }
        }
    }
    // The inputs really reached every branch.
    EXPECT_GT(counts.unchanged, 1000);
    EXPECT_GT(counts.strong, 1000);
    EXPECT_GT(counts.normal, 1000);
    EXPECT_GT(counts.side, 500);
}

// Chroma: 4 lines of Cb and 4 of Cr, each plane its own buffer.
void run_chroma(bool vertical, deblock_chroma_edge_fn c_fn, deblock_chroma_edge_fn simd_fn)
{
    std::mt19937 rng(vertical ? 21 : 22);
    std::vector<uint8_t> cb, cr, a_cb, a_cr, b_cb, b_cr;
    int changed = 0, clipped = 0;
    for (int tc0 = 0; tc0 <= 24; tc0++) {
        for (int rep = 0; rep < 200; rep++) {
            make_window(rng, vertical, cb);
            make_window(rng, vertical, cr);
            int32_t tcs[2] = {tc0, (int32_t)(rng() % 25)};
            a_cb = cb, a_cr = cr, b_cb = cb, b_cr = cr;
            int off = q0_offset(vertical);
            c_fn(a_cb.data() + off, a_cr.data() + off, kStride, tcs);
            simd_fn(b_cb.data() + off, b_cr.data() + off, kStride, tcs);
            ASSERT_EQ(a_cb, b_cb) << "tc " << tcs[0];
            ASSERT_EQ(a_cr, b_cr) << "tc " << tcs[1];
            changed += a_cb != cb;
            for (size_t i = 0; i < cb.size(); i++)
                clipped += a_cb[i] != cb[i] && (a_cb[i] == 0 || a_cb[i] == 255);
        }
    }
    EXPECT_GT(changed, 1000);
    EXPECT_GT(clipped, 10);
}

const char *const slot_names[] = {"luma_ver_edge", "luma_hor_edge", "chroma_ver_edge", "chroma_hor_edge"};
static_assert(sizeof(deblock_table) == sizeof slot_names, "one name per slot");

// Each comparison seeds its own windows.
bool compare_slot(int slot, const deblock_table &c, const deblock_table &simd, std::mt19937 &)
{
    switch (slot) {
    case 0: run_luma(true, c.luma_ver_edge, simd.luma_ver_edge); return true;
    case 1: run_luma(false, c.luma_hor_edge, simd.luma_hor_edge); return true;
    case 2: run_chroma(true, c.chroma_ver_edge, simd.chroma_ver_edge); return true;
    case 3: run_chroma(false, c.chroma_hor_edge, simd.chroma_hor_edge); return true;
    default: return false;
    }
}

std::string slot_name(int slot)
{
    return slot_names[slot];
}

TEST(DeblockKernels, EverySlotAtEveryLevelEqualsItsPortableKernel)
{
    // The family has no SSSE3 set; the AVX2 set holds all four edges.
    expect_level_counts(walk_kernel_levels(deblock_table_init, compare_slot, slot_name, 1), 0, 4);
}

// Both tc 0: the AVX2 luma kernels return before touching memory, so even a
// window of unreadable samples would be safe; here: nothing changes.
TEST(DeblockKernels, ZeroTcPairLeavesTheWindowUnchanged)
{
    if (!avx2_usable()) GTEST_SKIP() << "processor without the AVX2-flag instruction sets";
    std::mt19937 rng(5);
    std::vector<uint8_t> base, a;
    int32_t tcs[2] = {0, 0};
    for (int rep = 0; rep < 500; rep++) {
        make_window(rng, rep & 1, base);
        a = base;
        if (rep & 1)
            deblock_luma_ver_edge_avx2(a.data() + q0_offset(true), kStride, 64, tcs);
        else
            deblock_luma_hor_edge_avx2(a.data() + q0_offset(false), kStride, 64, tcs);
        ASSERT_EQ(a, base);
    }
}

TEST(DeblockKernels, TableInstallsAvx2KernelsOnlyWithTheAvx2Set)
{
    deblock_table t;
    deblock_table_init(0, &t);
    EXPECT_EQ(t.luma_ver_edge, deblock_luma_ver_edge_c);
    EXPECT_EQ(t.chroma_hor_edge, deblock_chroma_hor_edge_c);
    // The SSSE3 flag alone installs nothing: this family has no SSSE3 set.
    deblock_table_init(CPU_SSSE3 | CPU_SSE41, &t);
    EXPECT_EQ(t.luma_hor_edge, deblock_luma_hor_edge_c);
    deblock_table_init(cpu_detect(), &t);
    if (avx2_usable()) {
        EXPECT_EQ(t.luma_ver_edge, deblock_luma_ver_edge_avx2);
        EXPECT_EQ(t.luma_hor_edge, deblock_luma_hor_edge_avx2);
        EXPECT_EQ(t.chroma_ver_edge, deblock_chroma_ver_edge_avx2);
        EXPECT_EQ(t.chroma_hor_edge, deblock_chroma_hor_edge_avx2);
    } else {
        EXPECT_EQ(t.luma_ver_edge, deblock_luma_ver_edge_c);
    }
}

// Windows of every kind, with random beta and tc, taken in turn. Each call
// first restores the 8x8 samples around the edge, so every call filters the
// edge as it was made (the restore is part of every figure).
struct timing_windows {
    static constexpr int COUNT = 64;
    std::vector<uint8_t> made[2][COUNT], work[2][COUNT];
    int32_t tcs[COUNT][2], betas[COUNT];
    int next = 0;

    timing_windows()
    {
        std::mt19937 rng(3);
        for (int i = 0; i < COUNT; i++) {
            for (int v = 0; v < 2; v++) {
                make_window(rng, v == 0, made[v][i]);
                work[v][i] = made[v][i];
            }
            betas[i] = (int32_t)(rng() % 65);
            tcs[i][0] = (int32_t)(rng() % 25);
            tcs[i][1] = (int32_t)(rng() % 25);
        }
    }
    int advance() { return next = (next + 1) % COUNT; }
    // Window i of a kind, restored, at its q0.
    uint8_t *q0(bool vertical, int i)
    {
        int v = vertical ? 0 : 1;
        for (int r = kEdge - 4; r < kEdge + 4; r++)
            std::memcpy(&work[v][i][r * kStride + kEdge - 4], &made[v][i][r * kStride + kEdge - 4], 8);
        return work[v][i].data() + q0_offset(vertical);
    }
};

TEST(DeblockKernels, Timing)
{
    if (!kernel_timing_ms()) GTEST_SKIP() << KERNEL_TIMING_OFF;
    static timing_windows w;
    const int other = timing_windows::COUNT / 2;   // the Cr window of a chroma call
    std::vector<timing_case<deblock_table>> cases = {
        {slot_names[0], 0,
         [](const deblock_table &t) {
             int i = w.advance();
             t.luma_ver_edge(w.q0(true, i), kStride, w.betas[i], w.tcs[i]);
         }},
        {slot_names[1], 1,
         [](const deblock_table &t) {
             int i = w.advance();
             t.luma_hor_edge(w.q0(false, i), kStride, w.betas[i], w.tcs[i]);
         }},
        {slot_names[2], 2,
         [](const deblock_table &t) {
             int i = w.advance();
             t.chroma_ver_edge(w.q0(true, i), w.q0(true, (i + other) % timing_windows::COUNT), kStride, w.tcs[i]);
         }},
        {slot_names[3], 3,
         [](const deblock_table &t) {
             int i = w.advance();
             t.chroma_hor_edge(w.q0(false, i), w.q0(false, (i + other) % timing_windows::COUNT), kStride, w.tcs[i]);
         }},
    };
    time_kernel_cases("deblock", deblock_table_init, cases);
}

}  // namespace
