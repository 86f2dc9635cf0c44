// The row scheduler driven by fake CTU threads: every handed-out CTU is checked
// against the wavefront and reference rule on the workers' own record of the
// coded CTUs, while the main thread registers pictures, waits for the oldest and
// releases those no longer referenced, as the encoder's caller thread does.
#include <gtest/gtest.h>

#include "tests/support/watchdog.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "encoder/picture.h"
#include "encoder/row_scheduler.h"

namespace {

enum structure { P_ONE_REF, P_TWO_REFS, B_PAIRS };

struct scenario {
    const char *name;
    int cols, rows, lag;
    uint32_t wpp, pick_mode;
    int threads, frames, depth;
    structure refs;
    int fail_frame = -1;   // frame whose CTU (fail_row, 0) reports a failure
    int fail_row = 0;
    int col_lag = -1;      // -1: the row lag
};

int col_lag_of(const scenario *sc)
{
    return sc->col_lag < 0 ? sc->lag : sc->col_lag;
}

struct frame_plan {
    std::vector<int> order;                       // frame numbers in coding order
    std::vector<std::vector<int>> l0, l1;         // by frame number
    std::vector<int> last_user;                   // coding index of the last frame naming it
};

frame_plan make_plan(const scenario &sc)
{
    frame_plan p;
    int n = sc.frames;
    p.l0.resize(n);
    p.l1.resize(n);
    if (sc.refs == B_PAIRS) {
        // 0, 2, 1, 4, 3, ...: even anchors predict from the previous anchor,
        // odd pictures from the anchors on both sides.
        p.order.push_back(0);
        for (int a = 2; a < n; a += 2) {
            p.order.push_back(a);
            p.order.push_back(a - 1);
            p.l0[a] = {a - 2};
            p.l0[a - 1] = {a - 2};
            p.l1[a - 1] = {a};
        }
        if (n % 2 == 0) {   // a last odd picture without a later anchor
            p.order.push_back(n - 1);
            p.l0[n - 1] = {n - 2};
        }
    } else {
        for (int f = 0; f < n; f++) {
            p.order.push_back(f);
            if (f % 8 == 0) continue;   // an intra picture now and then
            p.l0[f] = {f - 1};
            if (sc.refs == P_TWO_REFS && f >= 2) p.l0[f].push_back(f - 2);
        }
    }
    p.last_user.assign(n, -1);
    for (int ci = 0; ci < (int)p.order.size(); ci++) {
        int f = p.order[ci];
        for (int r : p.l0[f]) p.last_user[r] = ci;
        for (int r : p.l1[f]) p.last_user[r] = ci;
    }
    return p;
}

struct shared_state {
    const scenario *sc;
    const frame_plan *plan;
    row_scheduler *sched;
    std::vector<std::atomic<int>> progress;       // CTUs coded per (frame, row)
    std::vector<std::atomic<int>> coding;         // 1 while a thread codes the row
    std::atomic<int> violations{0};
    std::atomic<int> jobs{0};

    shared_state(const scenario *s, const frame_plan *p, row_scheduler *rs)
        : sc(s), plan(p), sched(rs), progress((size_t)s->frames * s->rows), coding((size_t)s->frames * s->rows)
    {
    }
    std::atomic<int> &count(int frame, int row) { return progress[(size_t)frame * sc->rows + row]; }
    bool finished(int frame, int row) { return count(frame, row).load() >= sc->cols; }

    void violation(const char *what, int frame, int row, int k)
    {
        if (violations.fetch_add(1) < 5)
            std::fprintf(stderr, "%s: %s (frame %d row %d ctu %d)\n", sc->name, what, frame, row, k);
    }

    // The order rule, on the counts the workers themselves recorded.
    void check_rule(int f, int r, int k)
    {
        if (k >= sc->cols) violation("CTU past the end of the row", f, r, k);
        if (r > 0) {
            int above = count(f, r - 1).load();
            bool ok = sc->wpp ? (above > k + 1 || above >= sc->cols) : above >= sc->cols;
            if (!ok) violation("row above not far enough", f, r, k);
        }
        int rr = r + sc->lag < sc->rows - 1 ? r + sc->lag : sc->rows - 1;
        for (const std::vector<int> *list : {&plan->l0[f], &plan->l1[f]})
            for (int ref : *list) {
                int c = count(ref, rr).load();
                if (!(c > k + 1 + col_lag_of(sc) || c >= sc->cols)) violation("reference rows not far enough", f, r, k);
            }
    }
};

void worker_main(shared_state *st, unsigned seed)
{
    for (;;) {
        row_record *row = row_sched_next_job(st->sched);
        if (!row) return;
        int f = row->pic->frame_number, r = row->row_index;
        size_t slot = (size_t)f * st->sc->rows + r;
        if (st->coding[slot].exchange(1)) st->violation("row handed to two threads", f, r, -1);
        int k = st->count(f, r).load();
        st->check_rule(f, r, k);
        seed = seed * 1103515245u + 12345u;
        for (unsigned i = 0; i < ((seed >> 16) & 3); i++) std::this_thread::yield();
        st->jobs.fetch_add(1);
        bool fail = f == st->sc->fail_frame && r == st->sc->fail_row && k == 0;
        if (!fail) st->count(f, r).store(k + 1);
        st->coding[slot].store(0);
        if (fail)
            row_sched_ctu_failed(st->sched, row);
        else
            row_sched_ctu_done(st->sched, row);
    }
}

void run_scenario(const scenario &sc)
{
    watchdog guard(sc.name, 120);
    frame_plan plan = make_plan(sc);
    int slot_count = sc.depth + 6;
    row_scheduler *sched = row_sched_create(sc.cols, sc.rows, sc.lag, col_lag_of(&sc), slot_count, sc.pick_mode, sc.wpp);
    ASSERT_NE(sched, nullptr);
    shared_state st(&sc, &plan, sched);

    std::vector<std::unique_ptr<picture>> pics;
    for (int f = 0; f < sc.frames; f++) {
        pics.emplace_back(new picture());
        picture *p = pics.back().get();
        p->frame_number = f;
        p->ref_count[0] = (int)plan.l0[f].size();
        p->ref_count[1] = (int)plan.l1[f].size();
        for (size_t i = 0; i < plan.l0[f].size(); i++) p->ref_frame_numbers[0][i] = plan.l0[f][i];
        for (size_t i = 0; i < plan.l1[f].size(); i++) p->ref_frame_numbers[1][i] = plan.l1[f][i];
    }

    std::vector<std::thread> workers;
    for (int t = 0; t < sc.threads; t++) workers.emplace_back(worker_main, &st, 77u + t);

    int n = (int)plan.order.size();
    std::vector<int> wait_result(n, 1), released(n, 0);
    int waited_upto = -1;   // coding index; waits go in coding order
    bool failed_seen = false;
    auto release_unused = [&] {
        for (int ci = 0; ci <= waited_upto; ci++) {
            int f = plan.order[ci];
            if (released[ci] || wait_result[ci] != 0 || plan.last_user[f] > waited_upto) continue;
            EXPECT_EQ(row_sched_release_frame(sched, f), 0) << sc.name << " frame " << f;
            released[ci] = 1;
        }
    };
    auto wait_oldest = [&](std::deque<int> *in_flight) {
        int ci = in_flight->front();
        in_flight->pop_front();
        wait_result[ci] = row_sched_wait_frame(sched, plan.order[ci]);
        if (wait_result[ci] != 0) failed_seen = true;
        waited_upto = ci;
        release_unused();
    };

    std::deque<int> in_flight;
    for (int ci = 0; ci < n && !failed_seen; ci++) {
        if ((int)in_flight.size() == sc.depth) wait_oldest(&in_flight);
        if (failed_seen) break;   // the encoder stops at a failed picture
        picture *p = pics[plan.order[ci]].get();
        int err = 0;
        for (int r = 0; r < sc.rows && !err; r++) err = row_sched_add_row(sched, r, p, nullptr);
        EXPECT_EQ(err, 0) << sc.name << " registering frame " << p->frame_number;
        if (err) break;
        in_flight.push_back(ci);
    }
    while (!in_flight.empty()) wait_oldest(&in_flight);
    EXPECT_EQ(row_sched_add_row(sched, 0, nullptr, nullptr), 0);
    for (auto &w : workers) w.join();

    EXPECT_EQ(st.violations.load(), 0) << sc.name;
    if (sc.fail_frame < 0) {
        EXPECT_EQ(st.jobs.load(), n * sc.rows * sc.cols) << sc.name;
        for (int f = 0; f < sc.frames; f++)
            for (int r = 0; r < sc.rows; r++) EXPECT_TRUE(st.finished(f, r)) << sc.name << " " << f << "/" << r;
        for (int ci = 0; ci < n; ci++) EXPECT_EQ(wait_result[ci], 0) << sc.name << " frame " << plan.order[ci];
    } else {
        EXPECT_TRUE(failed_seen) << sc.name;
        // Every frame that predicts, directly or not, from the failed one fails; the others finish.
        for (int ci = 0; ci < n; ci++) {
            int f = plan.order[ci];
            if (wait_result[ci] == 1) continue;   // never registered
            int expected = f >= sc.fail_frame && (f - sc.fail_frame) < 8 - sc.fail_frame % 8 ? ROW_SCHED_ERR_FAILED : 0;
            EXPECT_EQ(wait_result[ci], expected) << sc.name << " frame " << f;
        }
    }
    // With every thread gone, the rest can go; the windows end past the last frame.
    for (int ci = 0; ci < n; ci++) {
        if (released[ci] || wait_result[ci] == 1) continue;
        EXPECT_EQ(row_sched_release_frame(sched, plan.order[ci]), 0);
    }
    if (sc.fail_frame < 0) {
        EXPECT_EQ(sched->slot_base, n) << sc.name;
        EXPECT_EQ(sched->number_base, sc.frames) << sc.name;
    }
    EXPECT_EQ(sched->jobs_in_flight, 0);
    EXPECT_EQ(sched->ready_head, nullptr);
    row_sched_destroy(sched);
}

}  // namespace

TEST(RowSchedulerMt, WavefrontWithLag2AndSeveralPicturesInFlight)
{
    run_scenario({"wpp lag 2", 6, 5, 2, 1, 1, 4, 40, 4, P_ONE_REF});
    run_scenario({"wpp lag 2 columns 5", 9, 5, 2, 1, 1, 4, 40, 4, P_ONE_REF, -1, 0, 5});
}

TEST(RowSchedulerMt, WholeRowsWithLag2)
{
    run_scenario({"rows lag 2", 6, 5, 2, 0, 1, 4, 40, 4, P_ONE_REF});
}

TEST(RowSchedulerMt, WavefrontWithLag3AndTwoReferencesLowestFrameFirst)
{
    run_scenario({"wpp lag 3 two refs", 5, 6, 3, 1, 0, 4, 40, 5, P_TWO_REFS});
}

TEST(RowSchedulerMt, WholeRowsWithLag3AndTwoReferences)
{
    run_scenario({"rows lag 3 two refs", 5, 6, 3, 0, 0, 3, 40, 5, P_TWO_REFS});
}

TEST(RowSchedulerMt, BPairsPredictingFromBothSides)
{
    run_scenario({"b pairs lag 2", 7, 5, 2, 1, 0, 4, 41, 6, B_PAIRS});
    run_scenario({"b pairs lag 3 rows", 7, 5, 3, 0, 1, 4, 41, 6, B_PAIRS});
}

TEST(RowSchedulerMt, LagReachingPastTheLastRow)
{
    // Pictures of one, two and three CTU rows: the reference row is capped.
    run_scenario({"one row lag 2", 4, 1, 2, 1, 1, 4, 30, 4, P_TWO_REFS});
    run_scenario({"two rows lag 3", 3, 2, 3, 1, 0, 4, 30, 4, P_ONE_REF});
    run_scenario({"three rows lag 3 no wpp", 1, 3, 3, 0, 1, 4, 30, 4, B_PAIRS});
}

TEST(RowSchedulerMt, OneThreadAndManyThreads)
{
    run_scenario({"one thread", 4, 4, 2, 1, 1, 1, 20, 3, P_TWO_REFS});
    run_scenario({"twelve threads", 4, 4, 2, 1, 0, 12, 30, 8, P_ONE_REF});
}

TEST(RowSchedulerMt, AFailedCtuEndsItsChainWithoutHanging)
{
    scenario sc{"failure", 5, 4, 2, 1, 1, 4, 40, 4, P_ONE_REF};
    sc.fail_frame = 5;
    sc.fail_row = 1;
    run_scenario(sc);
}
