// Deblocking edge kernels against a model written from the H.265 edge
// filtering process (clauses 8.7.2.5.3 to 8.7.2.5.8), the kernels' worked
// cases, the per-CTU filtering order, and whole pictures filtered CTU by CTU
// against the standard's order (all vertical edges, then all horizontal).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "filters/deblock/deblock.h"

namespace {

// ---- Model of the H.265 edge filtering process (8-bit, no offsets) ---------------

// Table 8-12: beta' for Q 0..51 and tC' for Q 0..53.
const int kBetaPrime[52] = {0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  6,  7,
                            8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 20, 22, 24, 26, 28, 30, 32,
                            34, 36, 38, 40, 42, 44, 46, 48, 50, 52, 54, 56, 58, 60, 62, 64};
const int kTcPrime[54] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  0,  0,
                          1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2,  3,  3,  3,  3,  4,
                          4, 4, 5, 5, 6, 6, 7, 8, 9, 10, 11, 13, 14, 16, 18, 20, 22, 24};

int clip3(int lo, int hi, int v)
{
    return std::min(hi, std::max(lo, v));
}

// Table 8-10 for ChromaArrayType 1, by its rule.
int model_qpc(int qpi)
{
    static const int mid[14] = {29, 30, 31, 32, 33, 33, 34, 34, 35, 35, 36, 36, 37, 37};
    if (qpi < 30) return qpi;
    if (qpi > 43) return qpi - 6;
    return mid[qpi - 30];
}

// Samples of one line across an edge, addressed as p_i / q_i.
struct edge_line {
    uint8_t *q0;
    intptr_t step;
    int p(int i) const { return q0[-(i + 1) * step]; }
    int q(int i) const { return q0[i * step]; }
    void set_p(int i, int v) { q0[-(i + 1) * step] = (uint8_t)v; }
    void set_q(int i, int v) { q0[i * step] = (uint8_t)v; }
};

// 8.7.2.5.6: decision for one line.
int model_dsam(const edge_line &l, int dpq, int beta, int tc)
{
    return dpq < (beta >> 2) && std::abs(l.p(3) - l.p(0)) + std::abs(l.q(0) - l.q(3)) < (beta >> 3) &&
           std::abs(l.p(0) - l.q(0)) < ((5 * tc + 1) >> 1);
}

// 8.7.2.5.7: filtering of one line with dE, dEp, dEq.
void model_filter_line(edge_line l, int dE, int dEp, int dEq, int tc)
{
    int p0 = l.p(0), p1 = l.p(1), p2 = l.p(2), p3 = l.p(3);
    int q0 = l.q(0), q1 = l.q(1), q2 = l.q(2), q3 = l.q(3);
    if (dE == 2) {
        l.set_p(0, clip3(p0 - 2 * tc, p0 + 2 * tc, (p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3));
        l.set_p(1, clip3(p1 - 2 * tc, p1 + 2 * tc, (p2 + p1 + p0 + q0 + 2) >> 2));
        l.set_p(2, clip3(p2 - 2 * tc, p2 + 2 * tc, (2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3));
        l.set_q(0, clip3(q0 - 2 * tc, q0 + 2 * tc, (p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3));
        l.set_q(1, clip3(q1 - 2 * tc, q1 + 2 * tc, (p0 + q0 + q1 + q2 + 2) >> 2));
        l.set_q(2, clip3(q2 - 2 * tc, q2 + 2 * tc, (p0 + q0 + q1 + 3 * q2 + 2 * q3 + 4) >> 3));
        return;
    }
    int delta = (9 * (q0 - p0) - 3 * (q1 - p1) + 8) >> 4;
    if (std::abs(delta) >= tc * 10) return;
    delta = clip3(-tc, tc, delta);
    l.set_p(0, clip3(0, 255, p0 + delta));
    l.set_q(0, clip3(0, 255, q0 - delta));
    if (dEp == 1) {
        int dp = clip3(-(tc >> 1), tc >> 1, (((p2 + p0 + 1) >> 1) - p1 + delta) >> 1);
        l.set_p(1, clip3(0, 255, p1 + dp));
    }
    if (dEq == 1) {
        int dq = clip3(-(tc >> 1), tc >> 1, (((q2 + q0 + 1) >> 1) - q1 - delta) >> 1);
        l.set_q(1, clip3(0, 255, q1 + dq));
    }
}

// 8.7.2.5.3 and 8.7.2.5.7 on one 4-line luma edge segment with given beta, tc.
void model_luma_segment(uint8_t *q0, intptr_t across, intptr_t along, int beta, int tc)
{
    edge_line l0{q0, across}, l3{q0 + 3 * along, across};
    int dp0 = std::abs(l0.p(2) - 2 * l0.p(1) + l0.p(0));
    int dp3 = std::abs(l3.p(2) - 2 * l3.p(1) + l3.p(0));
    int dq0 = std::abs(l0.q(2) - 2 * l0.q(1) + l0.q(0));
    int dq3 = std::abs(l3.q(2) - 2 * l3.q(1) + l3.q(0));
    int dpq0 = dp0 + dq0, dpq3 = dp3 + dq3, dp = dp0 + dp3, dq = dq0 + dq3, d = dpq0 + dpq3;
    int dE = 0, dEp = 0, dEq = 0;
    if (d < beta) {
        int dSam0 = model_dsam(l0, 2 * dpq0, beta, tc);
        int dSam3 = model_dsam(l3, 2 * dpq3, beta, tc);
        dE = (dSam0 == 1 && dSam3 == 1) ? 2 : 1;
        if (dp < ((beta + (beta >> 1)) >> 3)) dEp = 1;
        if (dq < ((beta + (beta >> 1)) >> 3)) dEq = 1;
    }
    if (dE == 0) return;
    for (int k = 0; k < 4; k++) model_filter_line(edge_line{q0 + k * along, across}, dE, dEp, dEq, tc);
}

// The same segment from its strength (1 or 2) and the QPs on both sides.
void model_luma_segment_bs(uint8_t *q0, intptr_t across, intptr_t along, int bs, int qp_p, int qp_q)
{
    int qpl = (qp_q + qp_p + 1) >> 1;
    int beta = kBetaPrime[clip3(0, 51, qpl)];
    int tc = kTcPrime[clip3(0, 53, qpl + 2 * (bs - 1))];
    model_luma_segment(q0, across, along, beta, tc);
}

// 8.7.2.5.5 and 8.7.2.5.8: 4 lines of one chroma plane at an edge of strength 2.
void model_chroma_segment_tc(uint8_t *q0, intptr_t across, intptr_t along, int tc)
{
    for (int k = 0; k < 4; k++) {
        edge_line l{q0 + k * along, across};
        int delta = clip3(-tc, tc, ((((l.q(0) - l.p(0)) * 4) + l.p(1) - l.q(1) + 4) >> 3));
        int p0 = l.p(0), q0v = l.q(0);
        l.set_p(0, clip3(0, 255, p0 + delta));
        l.set_q(0, clip3(0, 255, q0v - delta));
    }
}

void model_chroma_segment_bs2(uint8_t *q0, intptr_t across, intptr_t along, int qp_p, int qp_q)
{
    int qpc = model_qpc(((qp_q + qp_p + 1) >> 1));
    int tc = kTcPrime[clip3(0, 53, qpc + 2)];
    model_chroma_segment_tc(q0, across, along, tc);
}

// ---- Kernels ---------------------------------------------------------------------

std::vector<deblock_table> kernel_tables()
{
    std::vector<deblock_table> tables(1);
    deblock_table_init(0, &tables[0]);
    if (cpu_use_avx2_set(cpu_detect())) {
        tables.emplace_back();
        deblock_table_init(cpu_detect(), &tables.back());
    }
    return tables;
}

// One luma line p3..q3 repeated over all 8 lines of a vertical edge.
struct luma_window {
    uint8_t buf[16 * 16];
    static constexpr int stride = 16;
    uint8_t *q0() { return buf + 4 * stride + 8; }
    void fill(const int line[8])
    {
        memset(buf, 128, sizeof(buf));
        for (int r = 0; r < 8; r++)
            for (int i = 0; i < 8; i++) buf[(4 + r) * stride + 4 + i] = (uint8_t)line[i];
    }
    std::vector<int> row(int r) const
    {
        return std::vector<int>(buf + (4 + r) * stride + 4, buf + (4 + r) * stride + 12);
    }
};

TEST(DeblockPortable, StepEdgeWorkedCases)
{
    const int step[8] = {10, 10, 10, 10, 20, 20, 20, 20};
    struct {
        int beta, tc;
        std::vector<int> expect;
    } cases[] = {
        {64, 24, {10, 11, 13, 14, 16, 18, 19, 20}},  // strong
        {8, 4, {10, 10, 12, 14, 16, 18, 20, 20}},    // |p0 - q0| = 10 not below 10: normal
        {8, 1, {10, 10, 10, 11, 19, 20, 20, 20}},    // normal, tc >> 1 = 0 keeps p1, q1
    };
    for (const deblock_table &t : kernel_tables()) {
        for (const auto &c : cases) {
            luma_window w;
            w.fill(step);
            int32_t tc[2] = {c.tc, c.tc};
            t.luma_ver_edge(w.q0(), w.stride, c.beta, tc);
            for (int r = 0; r < 8; r++) EXPECT_EQ(w.row(r), c.expect) << "beta " << c.beta << " tc " << c.tc;
        }
    }
}

TEST(DeblockPortable, ChromaWorkedCases)
{
    for (const deblock_table &t : kernel_tables()) {
        for (int tc : {3, 24}) {
            int32_t tcs[2] = {tc, 0};
            // vertical edge between columns 3 and 4
            uint8_t v_cb[8 * 8], v_cr[8 * 8];
            for (int r = 0; r < 8; r++) {
                const uint8_t line[8] = {0, 0, 10, 10, 20, 20, 0, 0};
                memcpy(v_cb + r * 8, line, 8);
                memcpy(v_cr + r * 8, line, 8);
            }
            t.chroma_ver_edge(v_cb + 4, v_cr + 4, 8, tcs);
            int p0 = tc == 3 ? 13 : 14, q0 = tc == 3 ? 17 : 16;
            for (int r = 0; r < 4; r++) {
                EXPECT_EQ(v_cb[r * 8 + 2], 10);
                EXPECT_EQ(v_cb[r * 8 + 3], p0);
                EXPECT_EQ(v_cb[r * 8 + 4], q0);
                EXPECT_EQ(v_cb[r * 8 + 5], 20);
                EXPECT_EQ(v_cr[r * 8 + 3], 10) << "Cr has tc 0";
                EXPECT_EQ(v_cr[r * 8 + 4], 20);
            }
            // lines 4..7 are not part of the segment
            EXPECT_EQ(v_cb[4 * 8 + 3], 10);
        }
    }
}

TEST(DeblockPortable, DecisionThresholdsAreStrict)
{
    // d = dp0 + dq0 + dp3 + dq3: a half with d equal to beta stays, d = beta - 1
    // is filtered.
    for (const deblock_table &t : kernel_tables()) {
        const int line[8] = {10, 10, 11, 10, 30, 30, 30, 30};  // dp = 2 per line, dq = 0: d = 4
        for (int beta : {4, 5}) {
            luma_window w;
            w.fill(line);
            int32_t tc[2] = {4, 4};
            t.luma_ver_edge(w.q0(), w.stride, beta, tc);
            bool changed = w.row(0) != std::vector<int>(line, line + 8);
            EXPECT_EQ(changed, beta == 5) << "d = 4, beta " << beta;
        }
        // One decision line passes the strong test, the other fails: normal filter on all lines.
        luma_window w;
        w.fill(line);
        const int flat[8] = {20, 20, 20, 20, 24, 24, 24, 24};
        for (int r = 0; r < 3; r++)
            for (int i = 0; i < 8; i++) w.buf[(4 + r) * w.stride + 4 + i] = (uint8_t)flat[i];
        const int wobble[8] = {20, 20, 20, 20, 24, 24, 24, 44};  // |q0 - q3| too large
        for (int i = 0; i < 8; i++) w.buf[(4 + 3) * w.stride + 4 + i] = (uint8_t)wobble[i];
        int32_t tc[2] = {6, 0};
        t.luma_ver_edge(w.q0(), w.stride, 64, tc);
        EXPECT_EQ(w.row(0)[1], 20) << "p2 moves only under the strong filter";
        EXPECT_NE(w.row(0)[3], 20) << "the normal filter moved p0";
        // tc[1] = 0: lines 4..7 keep their values
        EXPECT_EQ(w.row(4), std::vector<int>(line, line + 8));
    }
}

TEST(DeblockPortable, DeltaAtTenTcLeavesTheLine)
{
    for (const deblock_table &t : kernel_tables()) {
        // Lines 0 and 3 (the decision lines): delta = (9 x 10 - 3 x 10 + 8) >> 4 = 4.
        // Lines 1 and 2: delta = (9 x 19 - 3 x 4 + 8) >> 4 = 10 = 10 x tc: unchanged.
        // dq is 0 on every line, so the half is filtered with the normal filter.
        luma_window w;
        const int small[8] = {50, 50, 50, 50, 60, 60, 60, 60};
        const int big[8] = {50, 50, 50, 50, 69, 54, 39, 69};
        w.fill(small);
        for (int r = 1; r < 3; r++)
            for (int i = 0; i < 8; i++) w.buf[(4 + r) * w.stride + 4 + i] = (uint8_t)big[i];
        int32_t tc[2] = {1, 1};
        t.luma_ver_edge(w.q0(), w.stride, 20, tc);
        EXPECT_EQ(w.row(1), std::vector<int>(big, big + 8));
        EXPECT_EQ(w.row(0)[3], 51);
        EXPECT_EQ(w.row(0)[4], 59);
    }
}

// Random edges of every kind through the slot kernels and through the model.
TEST(DeblockPortable, LumaAndChromaKernelsEqualTheStandardModel)
{
    std::mt19937 rng(77);
    auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (const deblock_table &t : kernel_tables()) {
        for (int iter = 0; iter < 20000; iter++) {
            bool vertical = iter & 1;
            int stride = 16;
            std::vector<uint8_t> a(16 * 16), b;
            int base = rnd(0, 255), spread = rnd(0, 3) == 0 ? 255 : rnd(0, 12), jump = rnd(-60, 60);
            for (int r = 0; r < 16; r++)
                for (int c = 0; c < 16; c++) {
                    int across = vertical ? c : r;
                    a[r * 16 + c] = (uint8_t)clip3(0, 255, base + (across >= 8 ? jump : 0) + rnd(-spread, spread));
                }
            b = a;
            uint8_t *qa = a.data() + (vertical ? 4 * stride + 8 : 8 * stride + 4);
            uint8_t *qb = b.data() + (qa - a.data());
            intptr_t across = vertical ? 1 : stride, along = vertical ? stride : 1;
            if (iter % 3 == 0) {
                // Cb is filtered (strength 2), Cr gets tc 0.
                int qp_p = rnd(0, 51), qp_q = rnd(0, 51);
                model_chroma_segment_bs2(qa, across, along, qp_p, qp_q);
                int qpc = deblock_chroma_qp_table[(qp_p + qp_q + 1) >> 1];
                int32_t tc[2] = {deblock_tc_table[qpc + 2], 0};
                if (vertical)
                    t.chroma_ver_edge(qb, qb + 4 * stride, stride, tc);
                else
                    t.chroma_hor_edge(qb, qb + 4, stride, tc);
            } else {
                int qp_p = rnd(0, 51), qp_q = rnd(0, 51);
                int bs[2] = {rnd(0, 2), rnd(0, 2)};
                int qp = (qp_p + qp_q + 1) >> 1;
                int32_t tc[2];
                for (int h = 0; h < 2; h++) {
                    if (bs[h]) model_luma_segment_bs(qa + 4 * along * h, across, along, bs[h], qp_p, qp_q);
                    tc[h] = bs[h] == 0 ? 0 : deblock_tc_table[qp + 2 * (bs[h] - 1)];
                }
                if (vertical)
                    t.luma_ver_edge(qb, stride, deblock_beta_table[qp], tc);
                else
                    t.luma_hor_edge(qb, stride, deblock_beta_table[qp], tc);
            }
            ASSERT_EQ(a, b) << "iteration " << iter;
        }
    }
}

TEST(DeblockPortable, ChromaQpTableFollowsTheStandardRule)
{
    for (int qpi = 0; qpi <= 57; qpi++) EXPECT_EQ(deblock_chroma_qp_table[qpi], model_qpc(qpi)) << qpi;
    for (int q = 0; q <= 51; q++) EXPECT_EQ(deblock_beta_table[q], kBetaPrime[q]);
    for (int q = 0; q <= 53; q++) EXPECT_EQ(deblock_tc_table[q], kTcPrime[q]);
}

// ---- Per-CTU filtering order --------------------------------------------------------

// A picture with padded planes, its strengths and QP blocks, and a context.
struct picture_fixture {
    int width, height, cols, rows;
    int margin = 16;
    std::vector<uint8_t> planes[3];
    uint32_t strides[3];
    std::vector<int8_t> bs_map;
    std::vector<std::vector<int8_t>> qp_tables;  // one per CTU row (row contexts)
    deblock_table table;
    deblock_context ctx;

    picture_fixture(int w, int h, const deblock_table &t) : width(w), height(h), table(t)
    {
        cols = (w + 63) / 64;
        rows = (h + 63) / 64;
        strides[0] = cols * 64 + 2 * margin;
        strides[1] = strides[2] = cols * 32 + 2 * margin;
        planes[0].assign((size_t)strides[0] * (rows * 64 + 2 * margin), 0);
        planes[1].assign((size_t)strides[1] * (rows * 32 + 2 * margin), 0);
        planes[2] = planes[1];
        bs_map.assign((size_t)cols * rows * DEBLOCK_BS_ENTRY, -1);
        qp_tables.assign(rows, std::vector<int8_t>(deblock_qp_table_size(1, cols), 30));
        memset(&ctx, 0, sizeof(ctx));
        ctx.pic_width = w;
        ctx.pic_height = h;
        ctx.ctu_cols = cols;
        ctx.cu_qp_delta_enabled = 1;
        ctx.ctu_min_block_size = 8;
        ctx.deblock_bs_map = bs_map.data();
        for (int p = 0; p < 3; p++) {
            ctx.deblock_planes[p] = origin(p);
            ctx.strides[p] = strides[p];
        }
        ctx.table = &table;
    }
    uint8_t *origin(int p) { return planes[p].data() + (size_t)margin * strides[p] + margin; }
    int8_t *entry(int cx, int cy) { return bs_map.data() + (size_t)(cy * cols + cx) * DEBLOCK_BS_ENTRY; }
    int8_t *qp_block(int cx, int cy) { return qp_tables[cy].data() + cx * DEBLOCK_QP_BLOCK; }
    void run(int cx, int cy)
    {
        ctx.deblock_qp_table = qp_tables[cy].data();
        ctx.ctu_x = cx;
        ctx.ctu_y = cy;
        ctx.ctu_addr = cy * cols + cx;
        deblock_ctu(&ctx, cx, cy);
    }
};

// A kernel table that records its calls instead of filtering.
struct kernel_call {
    int slot;
    int x, y;  // luma sample (slots 0, 1) or Cb sample (slots 2, 3) of q0
    int beta;
    int tc0, tc1;
    bool operator==(const kernel_call &o) const
    {
        return slot == o.slot && x == o.x && y == o.y && beta == o.beta && tc0 == o.tc0 && tc1 == o.tc1;
    }
};

std::vector<kernel_call> g_calls;
uint8_t *g_origin[2];
uint32_t g_stride[2];

void record(int slot, int plane, uint8_t *q0, int beta, const int32_t *tc)
{
    ptrdiff_t off = q0 - g_origin[plane];
    ptrdiff_t s = g_stride[plane];
    // floor division: offsets left of or above the origin stay exact
    ptrdiff_t y = off >= 0 ? off / s : -((-off + s - 1) / s);
    g_calls.push_back({slot, (int)(off - y * s), (int)y, beta, tc[0], tc[1]});
}
void rec_luma_ver(uint8_t *q0, uint32_t, int32_t beta, const int32_t *tc) { record(0, 0, q0, beta, tc); }
void rec_luma_hor(uint8_t *q0, uint32_t, int32_t beta, const int32_t *tc) { record(1, 0, q0, beta, tc); }
void rec_chroma_ver(uint8_t *cb, uint8_t *, uint32_t, const int32_t *tc) { record(2, 1, cb, -1, tc); }
void rec_chroma_hor(uint8_t *cb, uint8_t *, uint32_t, const int32_t *tc) { record(3, 1, cb, -1, tc); }

class deblock_order : public ::testing::Test {
protected:
    deblock_table recorder{rec_luma_ver, rec_luma_hor, rec_chroma_ver, rec_chroma_hor};
    picture_fixture pic{128, 64, recorder};  // two CTUs in one row

    void SetUp() override
    {
        g_calls.clear();
        g_origin[0] = pic.origin(0);
        g_origin[1] = pic.origin(1);
        g_stride[0] = pic.strides[0];
        g_stride[1] = pic.strides[1];
    }
    // Vertical (c, s, half) and horizontal (r, s, half) strengths of a CTU.
    static void set_ver(int8_t *e, int c, int s, int h, int v) { e[c * 16 + 2 * s + h] = (int8_t)v; }
    static void set_hor(int8_t *e, int r, int s, int h, int v) { e[128 + r * 16 + 2 * s + h] = (int8_t)v; }
    std::vector<kernel_call> job(int cx)
    {
        g_calls.clear();
        pic.run(cx, 0);
        return g_calls;
    }
};

bool has_call(const std::vector<kernel_call> &calls, int slot, int x, int y)
{
    for (const auto &c : calls)
        if (c.slot == slot && c.x == x && c.y == y) return true;
    return false;
}

using DeblockOrder = deblock_order;

TEST_F(DeblockOrder, LastColumnsOfHorizontalEdgesWaitForTheNextCtu)
{
    // CTU 0, edge row 2: segment 7 with only its first half, edge row 4 with
    // only its second half; strength 2 at QP 30 (beta' 22, tC' 2).
    int8_t *e0 = pic.entry(0, 0);
    set_hor(e0, 2, 7, 0, 2);
    set_hor(e0, 4, 7, 1, 2);
    auto first = job(0);
    EXPECT_TRUE(std::find(first.begin(), first.end(), kernel_call{1, 56, 16, 22, 2, 0}) != first.end());
    EXPECT_FALSE(has_call(first, 1, 56, 32)) << "s0 = 0 at edge row 4: nothing now";
    EXPECT_FALSE(has_call(first, 1, 60, 32));
    auto second = job(1);
    EXPECT_FALSE(has_call(second, 1, 60, 16)) << "columns 60..63 of edge row 2 hold 0";
    EXPECT_TRUE(std::find(second.begin(), second.end(), kernel_call{1, 60, 32, 22, 2, 0}) != second.end());
    // The deferred call comes after the CTU's own vertical edges.
    for (const auto &c : first) EXPECT_GE(c.x, 0) << "the first CTU of a row makes no deferred call";
}

TEST_F(DeblockOrder, RowEndCtuFiltersAllColumnsItself)
{
    int8_t *e1 = pic.entry(1, 0);
    set_hor(e1, 2, 7, 0, 4);
    set_hor(e1, 2, 7, 1, 4);
    job(0);
    auto last = job(1);
    // QP 30 and strength 4: beta' 22, tC' at Q 32 = 3; chroma QpC 29, tC' at 31 = 3.
    EXPECT_TRUE(std::find(last.begin(), last.end(), kernel_call{1, 64 + 56, 16, 22, 3, 3}) != last.end());
    EXPECT_TRUE(std::find(last.begin(), last.end(), kernel_call{3, 32 + 28, 8, -1, 3, 3}) != last.end());
    for (const auto &c : last) EXPECT_FALSE(c.slot == 1 && c.x == 64 + 60) << "no deferred call after a row end";
}

TEST_F(DeblockOrder, EdgeQpBelow16IsNotFiltered)
{
    int8_t *e0 = pic.entry(0, 0);
    set_ver(e0, 2, 0, 0, 4);
    set_ver(e0, 2, 0, 1, 4);
    pic.qp_block(0, 0)[0 * 8 + 2] = 15;
    EXPECT_TRUE(job(0).empty());
    pic.qp_block(0, 0)[0 * 8 + 2] = 16;
    auto calls = job(0);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (kernel_call{0, 16, 0, 6, 1, 1}));   // beta' 6, tC' at Q 18 = 1
    EXPECT_EQ(calls[1], (kernel_call{2, 8, 0, -1, 1, 1}));   // QpC 16: tC' 1
}

TEST_F(DeblockOrder, ChromaOnlyAtStrengthTwoAndOnTheChromaGrid)
{
    int8_t *e0 = pic.entry(0, 0);
    set_ver(e0, 2, 1, 0, 2);  // transform edge with coefficients: luma only
    set_ver(e0, 4, 2, 0, 1);  // motion: luma only
    set_ver(e0, 3, 3, 0, 4);  // odd edge column (x = 24): luma only
    set_hor(e0, 2, 1, 0, 3);  // horizontal, even edge row: luma and chroma
    set_hor(e0, 1, 1, 0, 4);  // odd edge row (y = 8): luma only
    auto calls = job(0);
    int chroma = 0;
    for (const auto &c : calls) chroma += c.slot >= 2;
    EXPECT_EQ(chroma, 1);
    EXPECT_TRUE(has_call(calls, 3, 4, 8));
    // tc of a strength-1 half uses Q = qp, a strength-3 or 4 half Q = qp + 2.
    EXPECT_TRUE(std::find(calls.begin(), calls.end(), kernel_call{0, 32, 16, 22, 2, 0}) != calls.end());
    EXPECT_TRUE(std::find(calls.begin(), calls.end(), kernel_call{0, 24, 24, 22, 3, 0}) != calls.end());
}

TEST_F(DeblockOrder, VerticalEdgesFollowTheSmallestBlockStep)
{
    int8_t *e0 = pic.entry(0, 0);
    set_ver(e0, 0, 0, 0, 4);
    set_ver(e0, 4, 0, 0, 4);
    set_ver(e0, 2, 0, 0, 4);
    pic.ctx.ctu_min_block_size = 32;
    auto calls = job(0);
    EXPECT_TRUE(has_call(calls, 0, 0, 0));
    EXPECT_TRUE(has_call(calls, 0, 32, 0));
    EXPECT_FALSE(has_call(calls, 0, 16, 0)) << "no block edge lies between steps of 32";
    pic.ctx.ctu_min_block_size = 64;
    calls = job(0);
    EXPECT_TRUE(has_call(calls, 0, 0, 0));
    EXPECT_FALSE(has_call(calls, 0, 32, 0));
}

// ---- Whole pictures: CTU by CTU equals the standard's picture order ---------------

struct model_picture {
    int width, height;
    std::vector<int> unit_qp;  // per 8x8 unit, stride cols8
    int cols8;
    int qp(int ux, int uy) const { return unit_qp[uy * cols8 + ux]; }
};

// Random strengths, as boundary derivation could leave them: -1 beyond the
// picture, 0 on the picture's left and top edges.
void random_strengths(picture_fixture &pic, std::mt19937 &rng)
{
    static const int8_t values[] = {-1, -1, 0, 0, 1, 2, 3, 4, 4};
    for (int cy = 0; cy < pic.rows; cy++)
        for (int cx = 0; cx < pic.cols; cx++) {
            int8_t *e = pic.entry(cx, cy);
            for (int a = 0; a < 8; a++)
                for (int s = 0; s < 8; s++)
                    for (int h = 0; h < 2; h++) {
                        // vertical: edge x = 8a, line y = 8s + 4h; horizontal: edge y = 8a, x = 8s + 4h
                        int ex = 64 * cx + 8 * a, ey = 64 * cy + 8 * s + 4 * h;
                        int8_t v = values[rng() % 9];
                        e[a * 16 + 2 * s + h] = ex >= pic.width || ey >= pic.height ? -1 : ex == 0 ? 0 : v;
                        int hx = 64 * cx + 8 * s + 4 * h, hy = 64 * cy + 8 * a;
                        v = values[rng() % 9];
                        e[128 + a * 16 + 2 * s + h] = hx >= pic.width || hy >= pic.height ? -1 : hy == 0 ? 0 : v;
                    }
        }
}

void model_filter_picture(picture_fixture &pic, const model_picture &m)
{
    uint8_t *y = pic.origin(0), *cb = pic.origin(1), *cr = pic.origin(2);
    intptr_t ys = pic.strides[0], cs = pic.strides[1];
    for (int dir = 0; dir < 2; dir++) {  // 0: vertical edges of the picture, 1: horizontal
        for (int cy = 0; cy < pic.rows; cy++)
            for (int cx = 0; cx < pic.cols; cx++) {
                const int8_t *e = pic.entry(cx, cy) + 128 * dir;
                for (int a = 0; a < 8; a++)
                    for (int s = 0; s < 8; s++)
                        for (int h = 0; h < 2; h++) {
                            int v = e[a * 16 + 2 * s + h];
                            if (v <= 0) continue;
                            int ex = 64 * cx + (dir ? 8 * s + 4 * h : 8 * a);
                            int ey = 64 * cy + (dir ? 8 * a : 8 * s + 4 * h);
                            int qq = m.qp(ex / 8, ey / 8);
                            int qp = dir ? m.qp(ex / 8, ey / 8 - 1) : m.qp(ex / 8 - 1, ey / 8);
                            intptr_t across = dir ? ys : 1, along = dir ? 1 : ys;
                            model_luma_segment_bs(y + ey * ys + ex, across, along, v >= 3 ? 2 : 1, qp, qq);
                            // chroma: 8x8 chroma grid, first luma half of each 8-line segment
                            if (v >= 3 && h == 0 && (a & 1) == 0) {
                                intptr_t c_across = dir ? cs : 1, c_along = dir ? 1 : cs;
                                model_chroma_segment_bs2(cb + ey / 2 * cs + ex / 2, c_across, c_along, qp, qq);
                                model_chroma_segment_bs2(cr + ey / 2 * cs + ex / 2, c_across, c_along, qp, qq);
                            }
                        }
            }
    }
}

void random_samples(picture_fixture &pic, std::mt19937 &rng)
{
    // Blocks of 4x4 with random levels and a little noise: many edges are
    // smooth enough to be filtered, a few are flat at 0 or 255.
    for (int p = 0; p < 3; p++) {
        std::vector<int> level((pic.planes[p].size() / 16) + pic.strides[p]);
        for (auto &l : level) {
            int k = rng() % 8;
            l = k == 0 ? 0 : k == 1 ? 255 : (int)(rng() % 256);
        }
        int base = rng() % 256;
        for (size_t i = 0; i < pic.planes[p].size(); i++) {
            size_t r = i / pic.strides[p], c = i % pic.strides[p];
            int lv = level[(r / 8) * (pic.strides[p] / 8 + 1) + c / 8];
            int v = (base * 3 + lv) / 4 + (int)(rng() % 5) - 2;
            pic.planes[p][i] = (uint8_t)clip3(0, 255, v);
        }
    }
}

void fill_qp_block(picture_fixture &pic, const model_picture &m, int cx, int cy)
{
    int8_t *b = pic.qp_block(cx, cy);
    for (int r = 0; r < 8; r++)
        for (int c = 0; c < 8; c++) {
            int ux = 8 * cx + c, uy = 8 * cy + r;
            if (ux >= m.cols8 || uy * m.cols8 >= (int)m.unit_qp.size()) continue;
            int q = m.qp(ux, uy);
            b[r * 8 + c] = (int8_t)((q + (ux > 0 ? m.qp(ux - 1, uy) : -1) + 1) >> 1);
            b[64 + r * 8 + c] = (int8_t)((q + (uy > 0 ? m.qp(ux, uy - 1) : -1) + 1) >> 1);
        }
}

void check_whole_picture(int width, int height, bool wavefront, uint32_t seed)
{
    for (const deblock_table &t : kernel_tables()) {
        std::mt19937 rng(seed);
        picture_fixture pic(width, height, t);
        random_strengths(pic, rng);
        random_samples(pic, rng);
        model_picture m{width, height, {}, pic.cols * 8};
        m.unit_qp.resize((size_t)pic.cols * 8 * pic.rows * 8);
        for (auto &q : m.unit_qp) q = 12 + (int)(rng() % 40);

        picture_fixture expect = pic;
        model_filter_picture(expect, m);

        if (!wavefront) {
            for (int cy = 0; cy < pic.rows; cy++)
                for (int cx = 0; cx < pic.cols; cx++) {
                    fill_qp_block(pic, m, cx, cy);
                    pic.run(cx, cy);
                }
        } else {
            // CTU (x, y) at step x + 2y: after (x + 1, y - 1), as the row
            // scheduler allows; lower rows first within a step.
            for (int step = 0; step <= pic.cols - 1 + 2 * (pic.rows - 1); step++)
                for (int cy = pic.rows - 1; cy >= 0; cy--) {
                    int cx = step - 2 * cy;
                    if (cx < 0 || cx >= pic.cols) continue;
                    fill_qp_block(pic, m, cx, cy);
                    pic.run(cx, cy);
                }
        }
        for (int p = 0; p < 3; p++) {
            size_t diffs = 0, first = 0;
            for (size_t i = 0; i < pic.planes[p].size(); i++)
                if (pic.planes[p][i] != expect.planes[p][i] && diffs++ == 0) first = i;
            EXPECT_EQ(diffs, 0u) << "plane " << p << " first at row " << first / pic.strides[p] - pic.margin
                                 << " column " << first % pic.strides[p] - pic.margin;
        }
        // The filter really worked on this picture.
        EXPECT_NE(pic.planes[0], picture_fixture(width, height, t).planes[0]);
    }
}

TEST(DeblockPicture, CtuOrderEqualsTheStandardPictureOrder)
{
    check_whole_picture(200, 136, false, 1);
    check_whole_picture(64, 64, false, 2);
    check_whole_picture(64, 192, false, 3);  // one CTU wide: row-end filtering only
}

TEST(DeblockPicture, WavefrontOrderEqualsTheStandardPictureOrder)
{
    check_whole_picture(352, 288, true, 4);
    check_whole_picture(200, 120, true, 5);
}

}  // namespace
