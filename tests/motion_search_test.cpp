// PU motion searches: planted integer and fractional displacements on smooth
// and noisy content, the search window, the range budget, and costs
// recomputed from the block metric and the vector-cost table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <cstdlib>
#include <random>
#include <vector>

#include "analysis/motion/amvp.h"
#include "analysis/motion/motion_search.h"
#include "encoder/cpu.h"
#include "encoder/encoder_instance.h"
#include "encoder/lambda_tables.h"
#include "encoder/picture.h"
#include "support/test_records.h"

namespace {

enum { MX = PICTURE_LUMA_MARGIN_X, MY = PICTURE_LUMA_MARGIN_Y };

// A reference luma plane of exactly the picture's padded size, so that any
// read beyond the margins is caught by the address sanitizer.
struct reference {
    int w, h, stride;
    std::vector<uint8_t> mem;
    uint8_t *at(int x, int y) { return mem.data() + (size_t)((y + MY) * stride + x + MX); }

    // Overlapping round blobs (radius about 6 to 12 samples): every block has
    // structure, and the cost falls steadily towards the planted vector over
    // a few samples, as a pattern search needs. Optional noise on top.
    reference(int w_, int h_, unsigned seed, int noise) : w(w_), h(h_), stride(w_ + 2 * MX)
    {
        mem.resize((size_t)(stride * (h + 2 * MY)));
        std::mt19937 rng(seed);
        std::vector<double> v((size_t)(w * h), 128.0);
        int blobs = w * h / 300;
        for (int k = 0; k < blobs; k++) {
            double bx = rng() % w, by = rng() % h, r = 6 + rng() % 7, a = (int)(rng() % 121) - 60;
            for (int y = std::max(0, (int)(by - 3 * r)); y < std::min(h, (int)(by + 3 * r)); y++)
                for (int x = std::max(0, (int)(bx - 3 * r)); x < std::min(w, (int)(bx + 3 * r)); x++)
                    v[(size_t)(y * w + x)] += a * std::exp(-((x - bx) * (x - bx) + (y - by) * (y - by)) / (2 * r * r));
        }
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                double s = v[(size_t)(y * w + x)] + (noise ? (int)(rng() % (2 * noise + 1)) - noise : 0);
                *at(x, y) = (uint8_t)std::lround(std::fmin(255, std::fmax(0, s)));
            }
        // Border extension.
        for (int y = 0; y < h; y++)
            for (int x = -MX; x < w + MX; x++) *at(x, y) = *at(x < 0 ? 0 : (x >= w ? w - 1 : x), y);
        for (int y = -MY; y < h + MY; y++)
            for (int x = -MX; x < w + MX; x++) *at(x, y) = *at(x, y < 0 ? 0 : (y >= h ? h - 1 : y));
    }
};

struct search_setup {
    metric_table metric;
    mc_table mc;
    std::vector<uint16_t> cost_mem;
    const uint16_t *slots[4 * 52];
    std::vector<uint8_t> scratch = std::vector<uint8_t>(64 * 64 + 64);
    std::vector<uint8_t> src = std::vector<uint8_t>(64 * 64);
    me_context me{};
    enum { HALF = 4096 };

    search_setup(reference *ref, int ctu_x, int ctu_y)
    {
        metric_table_init(cpu_detect(), &metric, 1);
        mc_table_init(cpu_detect(), &mc);
        // Cost of a component difference: grows with its length like a code length.
        cost_mem.resize(2 * HALF + 1);
        for (int d = -HALF; d <= HALF; d++) {
            int a = std::abs(d), bits = 1;
            while (a) {
                bits += 2;
                a >>= 1;
            }
            cost_mem[(size_t)(d + HALF)] = (uint16_t)bits;
        }
        for (auto &s : slots) s = cost_mem.data() + HALF;
        me.ref_stride = (uint32_t)ref->stride;
        me.search_method = 1;
        me.pic_width = (uint16_t)ref->w;
        me.pic_height = (uint16_t)ref->h;
        me.metric = &metric;
        me.mc = &mc;
        me.search_range = 16;
        me.list_count = 1;
        me.ref_count[0] = 1;
        me.ctu_x = ctu_x;
        me.ctu_y = ctu_y;
        me.ref_plane[0][0] = ref->at(ctu_x, ctu_y);
        me.src = src.data();
        me.speed_level = 4;
        me.subpel_level = 2;
        me.mv_limit_min_x = me.mv_limit_min_y = -500;
        me.mv_limit_max_x = me.mv_limit_max_y = 56;
        me.mv_cost_slots = slots;
        me.mv_cost_limit = HALF;
        me.scratch = scratch.data();
    }

    uint32_t T(int dx, int dy) const { return slots[0][dx] + slots[0][dy]; }

    // The source CTU: the reference seen through vector v (quarter samples),
    // with optional noise.
    void plant(reference *ref, uint32_t v, int noise, unsigned seed)
    {
        interp_luma_c(src.data(), 64, ref->at(me.ctu_x, me.ctu_y), nullptr, ref->stride, mv_x(v), mv_y(v), 64, 64);
        std::mt19937 rng(seed);
        if (noise)
            for (auto &s : src) s = (uint8_t)std::fmin(255, std::fmax(0, s + (int)(rng() % (2 * noise + 1)) - noise));
    }

    // The prediction of v for a PU, as the test computes it.
    std::vector<uint8_t> predict(reference *ref, const pu_desc &pu, uint32_t v)
    {
        std::vector<uint8_t> p((size_t)(64 * 64));
        interp_luma_c(p.data(), 64, ref->at(me.ctu_x + pu.x, me.ctu_y + pu.y), nullptr, ref->stride, mv_x(v), mv_y(v),
                      pu.width, pu.height);
        return p;
    }
};

pu_desc square_pu(int x, int y, int size, uint32_t pred)
{
    pu_desc pu{};
    pu.x = (int16_t)x;
    pu.y = (int16_t)y;
    pu.width = pu.height = (int16_t)size;
    pu.shape = size == 64 ? 0 : size == 32 ? 1 : size == 16 ? 2 : 3;
    pu.amvp_count = 1;
    pu.amvp[0] = pred;
    return pu;
}

// ---- Window and start points ------------------------------------------------------------

TEST(MotionWindow, CornerPuReachesSixtyTwoSamplesIntoTheMargins)
{
    reference ref(128, 128, 1, 0);
    search_setup st(&ref, 0, 0);
    pu_desc pu = square_pu(0, 0, 16, 0);
    mv_window w;
    mv_window_compute(&st.me, &pu, &w);
    EXPECT_EQ(w.x_lo, -62);
    EXPECT_EQ(w.y_lo, -62);
    EXPECT_EQ(w.x_hi, 55);  // the configured reach of 56, minus one
    // Near the right edge the picture bounds: top-left at column width - 2.
    search_setup st2(&ref, 64, 64);
    pu_desc pr = square_pu(48, 48, 16, 0);
    mv_window_compute(&st2.me, &pr, &w);
    EXPECT_EQ(112 + w.x_hi, 128 - 2);
    EXPECT_EQ(112 + w.y_hi, 128 - 2);
}

TEST(MotionWindow, PackedTestEqualsTheRangeTest)
{
    reference ref(192, 128, 1, 0);
    search_setup st(&ref, 64, 64);
    pu_desc pu = square_pu(8, 16, 8, 0);
    mv_window w;
    mv_window_compute(&st.me, &pu, &w);
    for (int vy = 4 * w.y_lo - 3; vy <= 4 * w.y_hi + 3; vy++)
        for (int vx = 4 * w.x_lo - 3; vx <= 4 * w.x_hi + 3; vx++) {
            bool in = vx >= 4 * w.x_lo && vx <= 4 * w.x_hi && vy >= 4 * w.y_lo && vy <= 4 * w.y_hi;
            ASSERT_EQ(mv_in_window(&w, mv_pack(vx, vy)), in) << vx << " " << vy;
        }
}

TEST(MotionWindow, StartVectorsRoundToTheNearestFullSampleInsideTheWindow)
{
    reference ref(192, 128, 1, 0);
    search_setup st(&ref, 64, 0);
    pu_desc pu = square_pu(0, 0, 16, 0);
    mv_window w;
    mv_window_compute(&st.me, &pu, &w);
    EXPECT_EQ(mv_round_to_fullpel(&w, mv_pack(-6, 6)), mv_pack(-4, 8));
    EXPECT_EQ(mv_round_to_fullpel(&w, mv_pack(2, -2)), mv_pack(4, 0));
    EXPECT_EQ(mv_round_to_fullpel(&w, mv_pack(-4000, 4000)), mv_pack(4 * w.x_lo, 4 * w.y_hi));
}

// ---- Full search ------------------------------------------------------------------------

struct planted_case {
    int method, size, dx, dy;  // dx, dy in quarter samples
};

TEST(MotionSearchFull, FindsPlantedIntegerDisplacementsWithEveryMethod)
{
    reference ref(320, 256, 7, 0);
    const planted_case cases[] = {{0, 16, 20, -12}, {1, 16, 20, -12}, {2, 16, 20, -12}, {0, 32, -28, 8},
                                  {1, 32, -28, 8},  {2, 64, 12, 16},  {1, 64, -36, -24}, {1, 8, 8, 4}};
    for (const planted_case &c : cases) {
        search_setup st(&ref, 128, 64);
        st.me.search_method = c.method;
        st.me.subpel_level = 0;
        st.plant(&ref, mv_pack(c.dx, c.dy), 0, 1);
        pu_desc pu = square_pu(0, 0, c.size, 0);
        me_result out{};
        motion_search_full(nullptr, &st.me, &out, &pu, 30, cost_infinite, 0, 1);
        EXPECT_EQ(out.mv, mv_pack(c.dx, c.dy)) << c.method << " " << c.size;
        // No refinement: the metric plus twice the vector cost.
        auto pred = st.predict(&ref, pu, out.mv);
        uint32_t metric = (c.size == 64 ? st.metric.sad[0] : st.metric.satd[pu.shape])(st.src.data(), 64, pred.data(), 64);
        EXPECT_EQ(out.cost, metric + 2 * st.T(c.dx, c.dy)) << c.method << " " << c.size;
        EXPECT_EQ(out.cost2, (uint32_t)cost_infinite);
    }
}

TEST(MotionSearchFull, RefinesToPlantedQuarterSampleDisplacements)
{
    reference ref(320, 256, 8, 0);
    std::mt19937 rng(3);
    int exact = 0, near = 0;
    for (int i = 0; i < 24; i++) {
        int dx = (int)(rng() % 41) - 20, dy = (int)(rng() % 41) - 20;
        search_setup st(&ref, 64, 64);
        st.me.search_method = (int)(rng() % 3);
        st.me.speed_level = 4;
        int size = 16 << (i % 3);
        st.plant(&ref, mv_pack(dx, dy), 0, 1);
        uint32_t pred_mv = mv_pack(dx & ~3, dy & ~3);
        pu_desc pu = square_pu(0, 0, size, pred_mv);
        me_result out{};
        motion_search_full(nullptr, &st.me, &out, &pu, 30, cost_infinite, 0, 1);
        exact += out.mv == mv_pack(dx, dy);
        near += std::abs(mv_x(out.mv) - dx) <= 1 && std::abs(mv_y(out.mv) - dy) <= 1;
        auto pred = st.predict(&ref, pu, out.mv);
        uint32_t metric = (size == 64 ? st.metric.sad[0] : st.metric.satd[pu.shape])(st.src.data(), 64, pred.data(), 64);
        uint32_t t = st.T(mv_x(out.mv) - mv_x(pred_mv), mv_y(out.mv) - mv_y(pred_mv));
        // A refined vector carries its vector cost once; the integer start twice.
        EXPECT_TRUE(out.cost == metric + t || ((mv_x(out.mv) | mv_y(out.mv)) % 4 == 0 && out.cost == metric + 2 * t))
            << i;
    }
    // A pattern search follows the cost downhill from the nearest full
    // sample; on this content it lands on the planted vector most of the time.
    EXPECT_GE(exact, 18);
    EXPECT_GE(near, 20);
}

TEST(MotionSearchFull, PhasePlanesGiveTheSameResultAsInterpolation)
{
    reference ref(192, 192, 9, 2);
    // Phase planes over the whole padded picture, built by 8-tap interpolation.
    std::vector<std::vector<uint8_t>> planes(16, std::vector<uint8_t>(ref.mem.size()));
    search_setup st(&ref, 64, 64);
    for (int p = 1; p < 16; p++)
        interp_luma_c(planes[(size_t)p].data() + (size_t)(8 * ref.stride + 8), ref.stride,
                      ref.mem.data() + (size_t)(8 * ref.stride + 8), nullptr, ref.stride, p & 3, p >> 2,
                      ref.stride - 16, (int)(ref.mem.size() / (size_t)ref.stride) - 16);
    for (int p = 0; p < 16; p++) {
        size_t origin = (size_t)((64 + MY) * ref.stride + 64 + MX);
        st.me.ref_phase[0][0][p] = p ? planes[(size_t)p].data() + origin : ref.at(64, 64);
    }
    std::mt19937 rng(4);
    for (int i = 0; i < 8; i++) {
        st.plant(&ref, mv_pack((int)(rng() % 33) - 16, (int)(rng() % 33) - 16), 2, (unsigned)i);
        pu_desc pu = square_pu(16 * (i % 4), 16 * (i / 4), 16, mv_pack(4, -4));
        me_result a{}, b{};
        st.me.use_subpel_planes = 0;
        motion_search_full(nullptr, &st.me, &a, &pu, 30, cost_infinite, 0, 1);
        st.me.use_subpel_planes = 1;
        motion_search_full(nullptr, &st.me, &b, &pu, 30, cost_infinite, 0, 1);
        EXPECT_EQ(a.mv, b.mv) << i;
        EXPECT_EQ(a.cost, b.cost) << i;
    }
}

TEST(MotionSearchFull, KeepsEveryVectorInsideTheWindowAndTheRange)
{
    // Content that pulls the search far away: the best match lies beyond
    // the vector limits and the picture edges.
    reference ref(192, 192, 10, 3);
    std::mt19937 rng(12);
    for (int i = 0; i < 40; i++) {
        int cx = 64 * (int)(rng() % 3), cy = 64 * (int)(rng() % 3);
        search_setup st(&ref, cx, cy);
        st.me.search_method = (int)(rng() % 3);
        st.me.mv_limit_max_x = 4 + (int)(rng() % 20);
        st.me.mv_limit_max_y = 4 + (int)(rng() % 20);
        st.me.mv_limit_min_x = -(4 + (int)(rng() % 20));
        st.me.mv_limit_min_y = -(4 + (int)(rng() % 20));
        st.me.speed_level = (int)(rng() % 6);
        st.plant(&ref, mv_pack((int)(rng() % 401) - 200, (int)(rng() % 401) - 200), 4, (unsigned)i);
        int size = 8 << (rng() % 4);
        pu_desc pu = square_pu(size * (int)(rng() % (64 / size)), size * (int)(rng() % (64 / size)), size,
                               mv_pack((int)(rng() % 2001) - 1000, (int)(rng() % 2001) - 1000));
        me_result out{};
        motion_search_full(nullptr, &st.me, &out, &pu, 30, cost_infinite, 0, (int)(rng() % 2));
        mv_window w;
        mv_window_compute(&st.me, &pu, &w);
        ASSERT_TRUE(mv_in_window(&w, out.mv) || out.mv == 0) << i;
    }
}

TEST(MotionSearchFull, IteratedDiamondSpendsTheRangeAsSteps)
{
    reference ref(320, 256, 11, 0);
    search_setup st(&ref, 128, 64);
    st.me.search_method = 2;
    st.me.search_range = 3;
    st.me.subpel_level = 0;
    st.plant(&ref, mv_pack(4 * 12, 0), 0, 1);
    pu_desc pu = square_pu(0, 0, 32, 0);
    me_result out{};
    motion_search_full(nullptr, &st.me, &out, &pu, 30, cost_infinite, 0, 1);
    EXPECT_LE(std::abs(mv_x(out.mv)) + std::abs(mv_y(out.mv)), 4 * 3);
    EXPECT_GT(mv_x(out.mv), 0);
}

TEST(MotionSearchFull, ExtraCandidateEqualToAPredictorIsDropped)
{
    reference ref(192, 192, 12, 0);
    search_setup st(&ref, 64, 64);
    st.plant(&ref, mv_pack(8, 8), 0, 1);
    pu_desc pu = square_pu(0, 0, 16, mv_pack(8, 8));
    pu.cand_count = 1;
    pu.cand[0] = mv_pack(8, 8);
    me_result out{};
    motion_search_full(nullptr, &st.me, &out, &pu, 30, cost_infinite, 0, 1);
    EXPECT_EQ(pu.cand_count, 0);
    EXPECT_EQ(out.mv, mv_pack(8, 8));
    EXPECT_EQ(out.ref_idx, 0);
}

// ---- Fast search ------------------------------------------------------------------------

TEST(MotionSearchFast, FindsPlantedDisplacementsForSquareAndRectangularPus)
{
    reference ref(320, 256, 13, 0);
    std::mt19937 rng(5);
    const int shapes[][3] = {{16, 16, 2}, {32, 32, 1}, {16, 8, 2}, {8, 16, 2}, {32, 16, 1}, {64, 64, 0}};
    int exact = 0, near = 0;
    for (int i = 0; i < 24; i++) {
        const int *sh = shapes[i % 6];
        int dx = (int)(rng() % 49) - 24, dy = (int)(rng() % 49) - 24;
        search_setup st(&ref, 128, 64);
        st.me.search_method = (int)(rng() % 3);
        st.me.speed_level = 6;
        st.plant(&ref, mv_pack(dx, dy), 0, 1);
        pu_desc pu{};
        pu.width = (int16_t)sh[0];
        pu.height = (int16_t)sh[1];
        pu.shape = sh[2];
        pu.amvp_count = 2;
        pu.amvp[0] = mv_pack(dx & ~3, (dy & ~3) + 4);
        pu.amvp[1] = 0;
        me_result out{};
        out.mv = 0x12345678;
        motion_search_fast(nullptr, &st.me, &out, &pu, 30, cost_infinite, 0, 1);
        exact += out.mv == mv_pack(dx, dy);
        near += std::abs(mv_x(out.mv) - dx) <= 2 && std::abs(mv_y(out.mv) - dy) <= 2;
        auto pred = st.predict(&ref, pu, out.mv);
        pair_metric_fn m = pu.width == pu.height ? st.metric.cost_metric[pu.shape]
                           : (pu.width > pu.height ? st.metric.sa8d_wide[pu.shape] : st.metric.sa8d_tall[pu.shape]);
        uint32_t metric = m(st.src.data(), 64, pred.data(), 64);
        int16_t d[2];
        mvd_best_predictor(&out.mv, pu.amvp, 2, d);
        EXPECT_EQ(out.cost, metric + st.T(d[0], d[1])) << i;
    }
    EXPECT_GE(exact, 17);
    EXPECT_GE(near, 22);
}

TEST(MotionSearchFast, PuPastThePictureEdgeIsNotSearched)
{
    reference ref(120, 120, 14, 0);
    search_setup st(&ref, 64, 64);
    pu_desc pu = square_pu(48, 0, 16, 0);  // ends at column 128 > 120
    me_result out{};
    out.mv = 0x12345678;
    out.ref_idx = 5;
    motion_search_fast(nullptr, &st.me, &out, &pu, 30, cost_infinite, 0, 1);
    EXPECT_EQ(out.cost, (uint32_t)cost_infinite);
    EXPECT_EQ(out.cost2, (uint32_t)cost_infinite);
    EXPECT_EQ(out.mv, 0x12345678u);
    EXPECT_EQ(out.ref_idx, 5);
}

TEST(MotionSearchFast, KeepsEveryVectorInsideTheWindow)
{
    reference ref(200, 184, 15, 3);
    std::mt19937 rng(16);
    for (int i = 0; i < 60; i++) {
        int cx = 64 * (int)(rng() % 3), cy = 64 * (int)(rng() % 2);
        search_setup st(&ref, cx, cy);
        st.me.search_method = (int)(rng() % 3);
        st.me.search_range = 8 + (int)(rng() % 41);
        st.me.mv_limit_max_x = 2 + (int)(rng() % 30);
        st.me.mv_limit_max_y = 2 + (int)(rng() % 30);
        st.me.speed_level = 5 + (int)(rng() % 3);
        st.plant(&ref, mv_pack((int)(rng() % 401) - 200, (int)(rng() % 401) - 200), 4, (unsigned)i);
        int size = 8 << (rng() % 4);
        pu_desc pu = square_pu(size * (int)(rng() % (64 / size)), size * (int)(rng() % (64 / size)), size,
                               mv_pack((int)(rng() % 2001) - 1000, (int)(rng() % 2001) - 1000));
        if (rng() % 2) {
            pu.height = (int16_t)(size / 2);
            if (size == 8) pu.shape = 3;
        }
        me_result out{};
        motion_search_fast(nullptr, &st.me, &out, &pu, 30, rng() % 2 ? (uint32_t)cost_infinite : 3000u, 0,
                           (int)(rng() % 2));
        if (out.cost == (uint32_t)cost_infinite) continue;
        mv_window w;
        mv_window_compute(&st.me, &pu, &w);
        ASSERT_TRUE(mv_in_window(&w, out.mv)) << i;
    }
}

// ---- Context set-up ---------------------------------------------------------------------

struct instance_deleter {
    void operator()(row_context *p) const { std::free(p); }
};

TEST(MeContext, FillsFromTheInstanceAndTouchesOnlyTheSliceLists)
{
    std::unique_ptr<row_context, instance_deleter> inst(test_row_context_new());
    std::unique_ptr<rd_tables> rd(new rd_tables{});
    rd->mv_cost.reach = 624;
    std::vector<uint8_t> plane(4096), sub(4096);
    picture rec{}, r0{}, r1{};
    rec.strides[0] = 512;
    for (picture *p : {&r0, &r1}) {
        p->strides[0] = 512;
        p->planes[0] = plane.data();
        for (int i = 1; i < 16; i++) p->subpel_planes[i] = sub.data();
    }
    row_context *e = inst.get();
    e->fi->pic.recon_picture = &rec;
    e->enc->rd = rd.get();
    e->enc->width = 1920;
    e->enc->height = 1080;
    e->ctu.x = 2;
    e->ctu.y = 3;
    e->ctu.search_range = 24;
    e->ctu.speed_level = 5;
    e->ctu.source_luma = sub.data() + 7;
    e->config.me_extra = 1;
    e->enc->mv_min_full[0] = e->enc->mv_min_full[1] = -500;
    e->enc->mv_max_full[0] = e->enc->mv_max_full[1] = 56;
    e->fi->pic.sh.slice_type = slice_p;
    e->fi->pic.ref_count_l0 = 1;
    e->fi->pic.list0[0] = &r0;
    e->fi->pic.ref_count_l1 = 1;
    e->fi->pic.list1[0] = &r1;
    e->ctu.ref_planes[0][0][0] = plane.data() + 100;
    e->ctu.ref_planes[1][0][0] = plane.data() + 200;
    me_context me;
    std::memset(&me, 0xab, sizeof(me));
    const uint8_t *marker = me.ref_plane[1][0];
    const uint8_t *phase_marker = me.ref_phase[0][0][3];
    me_context_init(e, &me);
    me_context_set_refs(e, &me);
    EXPECT_EQ(me.ref_stride, 512u);
    EXPECT_EQ(me.search_method, 1);
    EXPECT_EQ(me.pic_width, 1920);
    EXPECT_EQ(me.search_range, 24);
    EXPECT_EQ(me.list_count, 1);
    EXPECT_EQ(me.ctu_x, 128);
    EXPECT_EQ(me.ctu_y, 192);
    EXPECT_EQ(me.ref_plane[0][0], plane.data() + 100);
    EXPECT_EQ(me.ref_plane[1][0], marker);          // P slice: list 1 untouched
    EXPECT_EQ(me.ref_phase[0][0][3], phase_marker); // no sub-sample planes configured
    EXPECT_EQ(me.src, sub.data() + 7);
    EXPECT_EQ(me.mv_cost_limit, 4 * (624 + 2) - 1);
    // B slice with sub-sample planes: both lists, phase planes at the CTU.
    e->fi->pic.sh.slice_type = slice_b;
    e->config.me_subpel_planes = 1;
    me_context_init(e, &me);
    me_context_set_refs(e, &me);
    EXPECT_EQ(me.list_count, 2);
    EXPECT_EQ(me.ref_plane[1][0], plane.data() + 200);
    EXPECT_EQ(me.ref_phase[1][0][3], sub.data() + 192 * 512 + 128);
    EXPECT_EQ(me.ref_phase[1][0][0], plane.data() + 192 * 512 + 128);
}

TEST(MotionSearchFast, WithoutSubsampleRefinementTheCostCountsTheVectorTwice)
{
    reference ref(256, 192, 17, 1);
    search_setup st(&ref, 64, 64);
    st.me.subpel_level = 0;
    st.me.speed_level = 6;
    st.plant(&ref, mv_pack(12, -8), 0, 1);
    pu_desc pu = square_pu(16, 16, 16, mv_pack(4, 4));
    me_result out{};
    motion_search_fast(nullptr, &st.me, &out, &pu, 30, cost_infinite, 0, 1);
    EXPECT_EQ(out.mv, mv_pack(12, -8));
    auto pred = st.predict(&ref, pu, out.mv);
    uint32_t metric = st.metric.cost_metric[2](st.src.data() + 16 * 64 + 16, 64, pred.data(), 64);
    EXPECT_EQ(out.cost, metric + 2 * st.T(12 - 4, -8 - 4));
}

}  // namespace
