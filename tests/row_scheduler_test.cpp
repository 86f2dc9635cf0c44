// Single-threaded checks of the row scheduler: the readiness rule step by step,
// the pick order, the windows and every limit failing cleanly.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <pthread.h>
#include <vector>

#include "encoder/picture.h"
#include "encoder/row_scheduler.h"

namespace {

struct sched_deleter {
    void operator()(row_scheduler *s) const { row_sched_destroy(s); }
};
using sched_ptr = std::unique_ptr<row_scheduler, sched_deleter>;

// Pictures carry only what the scheduler reads: number and reference lists.
struct frame_set {
    std::vector<std::unique_ptr<picture>> pics;
    picture *make(int32_t number, std::vector<int32_t> l0 = {}, std::vector<int32_t> l1 = {})
    {
        pics.emplace_back(new picture());
        picture *p = pics.back().get();
        p->frame_number = number;
        p->ref_count[0] = (int32_t)l0.size();
        p->ref_count[1] = (int32_t)l1.size();
        for (size_t i = 0; i < l0.size() && i < 8; i++) p->ref_frame_numbers[0][i] = l0[i];
        for (size_t i = 0; i < l1.size() && i < 8; i++) p->ref_frame_numbers[1][i] = l1[i];
        return p;
    }
};

int register_all(row_scheduler *s, picture *pic)
{
    for (int32_t r = 0; r < s->ctu_rows; r++) {
        int err = row_sched_add_row(s, r, pic, nullptr);
        if (err) return err;
    }
    return 0;
}

bool lock_is_free(row_scheduler *s)
{
    if (pthread_mutex_trylock(&s->lock.m) != 0) return false;
    pthread_mutex_unlock(&s->lock.m);
    return true;
}

bool is_ready(row_scheduler *s, int32_t frame_number, int32_t row)
{
    for (row_record *r = s->ready_head; r; r = r->next_ready)
        if (r->pic->frame_number == frame_number && r->row_index == row) return true;
    return false;
}

int ready_count(row_scheduler *s)
{
    int n = 0;
    for (row_record *r = s->ready_head; r; r = r->next_ready) n++;
    return n;
}

// The order rule, checked on the scheduler's own counts when a row is handed out.
void expect_rule_holds(row_scheduler *s, row_record *row)
{
    sched_frame_record *f = row->frame;
    int32_t k = row->ctus_done, r = row->row_index;
    ASSERT_LT(k, s->ctu_cols);
    if (r > 0) {
        int32_t above = f->rows[r - 1].ctus_done;
        if (s->wpp)
            EXPECT_GT(above, k + 1);
        else
            EXPECT_GE(above, s->ctu_cols);
    }
    int32_t rr = r + s->row_lag < s->ctu_rows - 1 ? r + s->row_lag : s->ctu_rows - 1;
    for (int l = 0; l < 2; l++)
        for (int32_t i = 0; i < f->ref_count[l]; i++) EXPECT_GT(f->refs[l][i]->rows[rr].ctus_done, k + 1 + s->col_lag);
}

// Codes one CTU of the row the scheduler hands out next (one must be ready).
row_record *code_one(row_scheduler *s)
{
    if (!s->ready_head) return nullptr;
    row_record *row = row_sched_next_job(s);
    expect_rule_holds(s, row);
    row_sched_ctu_done(s, row);
    return row;
}

void code_until_idle(row_scheduler *s)
{
    while (code_one(s)) {
    }
}

// Codes CTUs only of the given frame and row while it is ready.
void code_row(row_scheduler *s, int32_t frame_number, int32_t row, int count)
{
    for (int i = 0; i < count; i++) {
        ASSERT_TRUE(is_ready(s, frame_number, row)) << "frame " << frame_number << " row " << row << " ctu " << i;
        // Move the wanted row to the head so that it is the one taken.
        row_record **link = &s->ready_head;
        while (!((*link)->pic->frame_number == frame_number && (*link)->row_index == row)) link = &(*link)->next_ready;
        row_record *rec = *link;
        *link = rec->next_ready;
        rec->next_ready = s->ready_head;
        s->ready_head = rec;
        uint32_t mode = s->pick_mode;
        s->pick_mode = 1;
        row_record *got = row_sched_next_job(s);
        s->pick_mode = mode;
        ASSERT_EQ(got, rec);
        expect_rule_holds(s, got);
        row_sched_ctu_done(s, got);
    }
}

// Looks at the done flag without waiting, so that a scheduler fault fails the
// test instead of blocking it; a done frame then also passes the real wait.
bool frame_done(row_scheduler *s, int32_t frame_number)
{
    int64_t i = (int64_t)frame_number - s->number_base;
    if (i < 0 || i >= s->slot_count || s->number_map[i] < 0) return false;
    sched_frame_record *f = s->slot_window[s->number_map[i] - s->slot_base];
    if (!f || !f->done || f->failed) return false;
    return row_sched_wait_frame(s, frame_number) == 0;
}

}  // namespace

TEST(RowScheduler, CreateRefusesBadSizes)
{
    EXPECT_EQ(row_sched_create(0, 1, 1, 1, 4, 1, 1), nullptr);
    EXPECT_EQ(row_sched_create(1, 0, 1, 1, 4, 1, 1), nullptr);
    EXPECT_EQ(row_sched_create(1, 1, -1, 1, 4, 1, 1), nullptr);
    EXPECT_EQ(row_sched_create(1, 1, 1, -1, 4, 1, 1), nullptr);
    EXPECT_EQ(row_sched_create(1, 1, 1, 1, 0, 1, 1), nullptr);
    EXPECT_EQ(row_sched_create(9990, 1, 8, 8, 4, 1, 1), nullptr);   // counts would reach the finished mark
    row_sched_destroy(nullptr);
}

TEST(RowScheduler, WavefrontRowWaitsForTheCtuAboveRight)
{
    sched_ptr s(row_sched_create(4, 2, 1, 1, 4, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    EXPECT_TRUE(is_ready(s.get(), 0, 0));
    EXPECT_FALSE(is_ready(s.get(), 0, 1));
    code_row(s.get(), 0, 0, 1);
    EXPECT_FALSE(is_ready(s.get(), 0, 1));   // row above has coded 1 CTU: not enough
    code_row(s.get(), 0, 0, 1);
    EXPECT_TRUE(is_ready(s.get(), 0, 1));    // its second CTU queues the row below
    code_row(s.get(), 0, 1, 1);
    EXPECT_FALSE(is_ready(s.get(), 0, 1));
    code_row(s.get(), 0, 0, 2);              // row 0 finishes
    code_row(s.get(), 0, 1, 3);              // the last CTU needed the finished row above
    EXPECT_TRUE(frame_done(s.get(), 0));
    EXPECT_EQ(ready_count(s.get()), 0);
}

TEST(RowScheduler, WithoutWavefrontARowWaitsForTheWholeRowAbove)
{
    sched_ptr s(row_sched_create(3, 3, 1, 1, 4, 1, 0));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    code_row(s.get(), 0, 0, 2);
    EXPECT_FALSE(is_ready(s.get(), 0, 1));
    code_row(s.get(), 0, 0, 1);
    EXPECT_TRUE(is_ready(s.get(), 0, 1));
    code_row(s.get(), 0, 1, 3);
    code_row(s.get(), 0, 2, 3);
    EXPECT_TRUE(frame_done(s.get(), 0));
}

TEST(RowScheduler, ReferenceRowsMustLeadByTheLag)
{
    // Lag 1, 3 rows: CTU k of row 0 needs row 1 of the reference at k + 3 CTUs;
    // rows 1 and 2 both look at the reference's last row.
    sched_ptr s(row_sched_create(4, 3, 1, 1, 4, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(1, {0})), 0);
    EXPECT_FALSE(is_ready(s.get(), 1, 0));
    code_row(s.get(), 0, 0, 4);
    code_row(s.get(), 0, 1, 2);
    EXPECT_FALSE(is_ready(s.get(), 1, 0));
    code_row(s.get(), 0, 1, 1);              // reference row 1 at 3 CTUs
    EXPECT_TRUE(is_ready(s.get(), 1, 0));
    code_row(s.get(), 1, 0, 1);
    EXPECT_FALSE(is_ready(s.get(), 1, 0));   // CTU 1 needs 4, that is the finished row
    code_row(s.get(), 0, 1, 1);
    EXPECT_TRUE(is_ready(s.get(), 1, 0));
    code_row(s.get(), 1, 0, 1);
    EXPECT_TRUE(is_ready(s.get(), 1, 0));    // its reference row has finished
    EXPECT_FALSE(is_ready(s.get(), 1, 1));   // row 1 reads the reference's last row: not begun
    code_row(s.get(), 0, 2, 3);
    EXPECT_TRUE(is_ready(s.get(), 1, 1));    // reference row 2 at 3 CTUs
    code_until_idle(s.get());
    EXPECT_TRUE(frame_done(s.get(), 0));
    EXPECT_TRUE(frame_done(s.get(), 1));
}

TEST(RowScheduler, ColumnLagSetsHowFarTheReferenceRowLeads)
{
    // Row lag 1, column lag 3: CTU 0 of row 0 needs reference row 1 at 5 CTUs.
    sched_ptr s(row_sched_create(7, 2, 1, 3, 4, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(1, {0})), 0);
    code_row(s.get(), 0, 0, 7);
    code_row(s.get(), 0, 1, 4);
    EXPECT_FALSE(is_ready(s.get(), 1, 0));
    code_row(s.get(), 0, 1, 1);
    EXPECT_TRUE(is_ready(s.get(), 1, 0));
    code_until_idle(s.get());
    EXPECT_TRUE(frame_done(s.get(), 1));
}

TEST(RowScheduler, LagBeyondTheLastRowStillWakesTheDependent)
{
    // Two rows with lag 2: every row reads the reference's last row, which
    // lies less than a lag below row 0; its progress must still re-test row 0.
    for (int lag = 2; lag <= 3; lag++) {
        sched_ptr s(row_sched_create(2, 2, lag, lag, 4, 1, 1));
        frame_set fs;
        ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
        ASSERT_EQ(register_all(s.get(), fs.make(1, {0})), 0);
        code_row(s.get(), 0, 0, 2);
        code_row(s.get(), 0, 1, 1);
        EXPECT_FALSE(is_ready(s.get(), 1, 0));
        code_row(s.get(), 0, 1, 1);
        EXPECT_TRUE(is_ready(s.get(), 1, 0)) << "lag " << lag;
        code_until_idle(s.get());
        EXPECT_TRUE(frame_done(s.get(), 1)) << "lag " << lag;
    }
}

TEST(RowScheduler, SingleRowPicturesAndIntraPicturesFinish)
{
    sched_ptr s(row_sched_create(3, 1, 1, 1, 8, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    EXPECT_TRUE(lock_is_free(s.get()));      // one call took and released the lock
    ASSERT_EQ(register_all(s.get(), fs.make(1, {0})), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(2, {1}, {0})), 0);
    code_until_idle(s.get());
    for (int f = 0; f < 3; f++) EXPECT_TRUE(frame_done(s.get(), f));
}

TEST(RowScheduler, RegistrationHoldsTheLockUntilTheLastRow)
{
    sched_ptr s(row_sched_create(2, 3, 1, 1, 4, 1, 1));
    frame_set fs;
    picture *p = fs.make(0);
    ASSERT_EQ(row_sched_add_row(s.get(), 0, p, nullptr), 0);
    EXPECT_FALSE(lock_is_free(s.get()));
    ASSERT_EQ(row_sched_add_row(s.get(), 1, p, nullptr), 0);
    EXPECT_FALSE(lock_is_free(s.get()));
    ASSERT_EQ(row_sched_add_row(s.get(), 2, p, nullptr), 0);
    EXPECT_TRUE(lock_is_free(s.get()));
}

TEST(RowScheduler, PickModeZeroTakesTheLowestFrameMostRecentFirst)
{
    sched_ptr s(row_sched_create(3, 2, 1, 1, 8, 0, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(7)), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(5)), 0);
    code_row(s.get(), 5, 0, 2);              // ready now: frame 5 rows 0 and 1, frame 7 row 0
    ASSERT_EQ(ready_count(s.get()), 3);
    ASSERT_EQ(s->ready_head->pic->frame_number, 5);
    row_record *first = s->ready_head;
    row_record *got = row_sched_next_job(s.get());
    EXPECT_EQ(got, first);
    EXPECT_EQ(got->pic->frame_number, 5);
    row_sched_ctu_done(s.get(), got);
    code_until_idle(s.get());
    EXPECT_TRUE(frame_done(s.get(), 7));
}

TEST(RowScheduler, PickModeOneTakesTheMostRecentlyReadiedRow)
{
    sched_ptr s(row_sched_create(3, 2, 1, 1, 8, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(5)), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(7)), 0);
    row_record *got = row_sched_next_job(s.get());
    EXPECT_EQ(got->pic->frame_number, 7);
    row_sched_ctu_done(s.get(), got);
    code_until_idle(s.get());
}

// The thread that reports a CTU goes on with its own row while the row's next
// CTU is ready, and takes a queued row once its row has finished.
TEST(RowScheduler, ReportingThreadKeepsItsRowThenTakesAQueuedOne)
{
    sched_ptr s(row_sched_create(3, 2, 1, 1, 8, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    row_record *row0 = row_sched_next_job(s.get());
    ASSERT_EQ(row0->row_index, 0);
    EXPECT_EQ(row_sched_ctu_done_next(s.get(), row0), row0);
    EXPECT_FALSE(is_ready(s.get(), 0, 1));
    EXPECT_EQ(row_sched_ctu_done_next(s.get(), row0), row0);
    EXPECT_TRUE(is_ready(s.get(), 0, 1));    // queued for another thread
    row_record *got = row_sched_ctu_done_next(s.get(), row0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->row_index, 1);            // row 0 finished: the queued row
    EXPECT_EQ(ready_count(s.get()), 0);
    for (int i = 0; i < 2; i++) {
        expect_rule_holds(s.get(), got);
        EXPECT_EQ(row_sched_ctu_done_next(s.get(), got), got);
    }
    EXPECT_EQ(row_sched_ctu_done_next(s.get(), got), nullptr);
    EXPECT_TRUE(frame_done(s.get(), 0));
    EXPECT_TRUE(lock_is_free(s.get()));
}

TEST(RowScheduler, EndOfInputDrainsEveryRowThenReturnsNull)
{
    sched_ptr s(row_sched_create(3, 3, 2, 2, 8, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(1, {0})), 0);
    ASSERT_EQ(row_sched_add_row(s.get(), 0, nullptr, nullptr), 0);
    int jobs = 0;
    while (row_record *row = row_sched_next_job(s.get())) {
        expect_rule_holds(s.get(), row);
        row_sched_ctu_done(s.get(), row);
        jobs++;
    }
    EXPECT_EQ(jobs, 2 * 3 * 3);
    EXPECT_TRUE(frame_done(s.get(), 0));
    EXPECT_TRUE(frame_done(s.get(), 1));
    EXPECT_EQ(row_sched_next_job(s.get()), nullptr);
    EXPECT_EQ(register_all(s.get(), fs.make(2)), ROW_SCHED_ERR_ENDED);
    EXPECT_TRUE(lock_is_free(s.get()));
}

TEST(RowScheduler, ReleasingTheOldestFrameMovesBothWindowsPastEmptyEntries)
{
    sched_ptr s(row_sched_create(1, 1, 1, 1, 6, 1, 1));
    frame_set fs;
    for (int f = 0; f < 4; f++) ASSERT_EQ(register_all(s.get(), fs.make(f)), 0);
    code_until_idle(s.get());
    EXPECT_EQ(row_sched_release_frame(s.get(), 1), 0);
    EXPECT_EQ(row_sched_release_frame(s.get(), 2), 0);
    EXPECT_EQ(s->slot_base, 0);
    EXPECT_EQ(s->number_map[1], -2);
    EXPECT_EQ(row_sched_release_frame(s.get(), 0), 0);
    EXPECT_EQ(s->slot_base, 3);
    EXPECT_EQ(s->number_base, 3);
    EXPECT_EQ(s->number_map[0], 3);          // frame 3 keeps its slot
    EXPECT_EQ(s->number_map[1], -1);
    EXPECT_TRUE(frame_done(s.get(), 3));
    // Below the base, or released twice: nothing changes.
    EXPECT_EQ(row_sched_release_frame(s.get(), 1), 0);
    EXPECT_EQ(row_sched_release_frame(s.get(), -5), 0);
    EXPECT_EQ(s->slot_base, 3);
    EXPECT_EQ(s->number_base, 3);
    EXPECT_EQ(row_sched_release_frame(s.get(), 3), 0);
    EXPECT_EQ(row_sched_release_frame(s.get(), 3), 0);
    EXPECT_EQ(s->slot_base, 4);
    EXPECT_EQ(s->next_slot, 4);
    EXPECT_EQ(s->number_base, 4);
}

TEST(RowScheduler, ReleasingTheNewestSlotGivesItsNumberOutAgain)
{
    sched_ptr s(row_sched_create(1, 1, 1, 1, 6, 1, 1));
    frame_set fs;
    for (int f = 0; f < 3; f++) ASSERT_EQ(register_all(s.get(), fs.make(f)), 0);
    code_until_idle(s.get());
    EXPECT_EQ(row_sched_release_frame(s.get(), 2), 0);
    EXPECT_EQ(s->next_slot, 2);
    ASSERT_EQ(register_all(s.get(), fs.make(2)), 0);   // a released number may come back
    EXPECT_EQ(s->number_map[2], 2);
    code_until_idle(s.get());
    EXPECT_TRUE(frame_done(s.get(), 2));
}

TEST(RowScheduler, FullWindowsRefuseAFrameAndLeaveTheLockFree)
{
    sched_ptr s(row_sched_create(1, 2, 1, 1, 3, 1, 1));
    frame_set fs;
    for (int f = 0; f < 3; f++) ASSERT_EQ(register_all(s.get(), fs.make(f)), 0);
    EXPECT_EQ(register_all(s.get(), fs.make(3)), ROW_SCHED_ERR_WINDOW);   // number window
    EXPECT_TRUE(lock_is_free(s.get()));
    code_until_idle(s.get());
    EXPECT_EQ(row_sched_release_frame(s.get(), 1), 0);
    // Frame 1's number is free again, but slots are given out in order only.
    EXPECT_EQ(register_all(s.get(), fs.make(1)), ROW_SCHED_ERR_WINDOW);
    EXPECT_TRUE(lock_is_free(s.get()));
    EXPECT_EQ(register_all(s.get(), fs.make(-1)), ROW_SCHED_ERR_WINDOW); // below the base
    EXPECT_EQ(row_sched_release_frame(s.get(), 0), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(3)), 0);
    code_until_idle(s.get());
    EXPECT_TRUE(frame_done(s.get(), 3));
    EXPECT_EQ(ready_count(s.get()), 0);
}

TEST(RowScheduler, ReferenceLimitsAreErrorsNotOverflows)
{
    sched_ptr s(row_sched_create(1, 1, 1, 1, 16, 1, 1));
    frame_set fs;
    for (int f = 0; f < 5; f++) ASSERT_EQ(register_all(s.get(), fs.make(f)), 0);
    EXPECT_EQ(register_all(s.get(), fs.make(5, {0, 1, 2, 3, 4})), ROW_SCHED_ERR_REFS);
    EXPECT_EQ(register_all(s.get(), fs.make(5, {0}, {1, 2, 3, 4, 0})), ROW_SCHED_ERR_REFS);
    EXPECT_EQ(register_all(s.get(), fs.make(5, {9})), ROW_SCHED_ERR_REFS);   // not registered
    EXPECT_TRUE(lock_is_free(s.get()));
    EXPECT_EQ(s->next_slot, 5);
    EXPECT_EQ(s->number_map[5], -1);
    ASSERT_EQ(register_all(s.get(), fs.make(5, {0, 1, 2, 3}, {4, 0})), 0);
    EXPECT_EQ(s->slot_window[0]->dependent_count, 1);   // one entry for a picture in both lists
    EXPECT_EQ(register_all(s.get(), fs.make(5)), ROW_SCHED_ERR_ARG);         // already registered
    code_until_idle(s.get());
    EXPECT_TRUE(frame_done(s.get(), 5));
}

TEST(RowScheduler, DependentsBeyondTheFixedListDropFinishedOnesOrFail)
{
    sched_ptr s(row_sched_create(1, 1, 1, 1, 64, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    row_record *held = row_sched_next_job(s.get());   // frame 0 stays unfinished
    for (int f = 1; f <= SCHED_MAX_DEPENDENTS; f++) ASSERT_EQ(register_all(s.get(), fs.make(f, {0})), 0);
    EXPECT_EQ(register_all(s.get(), fs.make(33, {0})), ROW_SCHED_ERR_REFS);
    EXPECT_TRUE(lock_is_free(s.get()));
    row_sched_ctu_done(s.get(), held);
    code_until_idle(s.get());
    ASSERT_EQ(register_all(s.get(), fs.make(33, {0})), 0);   // finished dependents make room
    EXPECT_EQ(s->slot_window[0]->dependent_count, 1);
    code_until_idle(s.get());
    EXPECT_TRUE(frame_done(s.get(), 33));
}

TEST(RowScheduler, RowsOutOfOrderUndoTheRegistration)
{
    sched_ptr s(row_sched_create(2, 3, 1, 1, 4, 1, 1));
    frame_set fs;
    picture *p = fs.make(0);
    picture *q = fs.make(1);
    EXPECT_EQ(row_sched_add_row(s.get(), 1, p, nullptr), ROW_SCHED_ERR_ARG);   // no row 0 first
    ASSERT_EQ(row_sched_add_row(s.get(), 0, p, nullptr), 0);
    EXPECT_EQ(row_sched_add_row(s.get(), 2, p, nullptr), ROW_SCHED_ERR_ARG);
    EXPECT_TRUE(lock_is_free(s.get()));
    EXPECT_EQ(ready_count(s.get()), 0);
    EXPECT_EQ(s->next_slot, 0);
    EXPECT_EQ(row_sched_wait_frame(s.get(), 0), ROW_SCHED_ERR_ARG);
    ASSERT_EQ(row_sched_add_row(s.get(), 0, p, nullptr), 0);
    EXPECT_EQ(row_sched_add_row(s.get(), 1, q, nullptr), ROW_SCHED_ERR_ARG);   // another picture
    EXPECT_TRUE(lock_is_free(s.get()));
    // An unfinished registration is undone by the next row 0.
    ASSERT_EQ(row_sched_add_row(s.get(), 0, p, nullptr), 0);
    ASSERT_EQ(register_all(s.get(), p), 0);
    EXPECT_TRUE(lock_is_free(s.get()));
    code_until_idle(s.get());
    EXPECT_TRUE(frame_done(s.get(), 0));
}

TEST(RowScheduler, AnUndoneRegistrationOfAReleasedNumberKeepsItReleased)
{
    sched_ptr s(row_sched_create(1, 2, 1, 1, 4, 1, 1));
    frame_set fs;
    for (int f = 0; f < 3; f++) ASSERT_EQ(register_all(s.get(), fs.make(f)), 0);
    code_until_idle(s.get());
    ASSERT_EQ(row_sched_release_frame(s.get(), 1), 0);
    picture *again = fs.make(1);
    ASSERT_EQ(row_sched_add_row(s.get(), 0, again, nullptr), 0);
    EXPECT_EQ(row_sched_add_row(s.get(), 0, nullptr, nullptr), ROW_SCHED_ERR_ARG);   // mid-registration
    EXPECT_EQ(row_sched_add_row(s.get(), 3, again, nullptr), ROW_SCHED_ERR_ARG);
    ASSERT_TRUE(lock_is_free(s.get()));
    EXPECT_EQ(s->number_map[1], -2);
    EXPECT_EQ(s->number_end, 3);
    // Releasing frame 0 still skips the released number 1.
    ASSERT_EQ(row_sched_release_frame(s.get(), 0), 0);
    EXPECT_EQ(s->number_base, 2);
}

TEST(RowScheduler, BusyFramesAreNotReleased)
{
    sched_ptr s(row_sched_create(2, 1, 1, 1, 4, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(1, {0})), 0);
    row_record *row = row_sched_next_job(s.get());
    ASSERT_EQ(row->pic->frame_number, 0);
    EXPECT_EQ(row_sched_release_frame(s.get(), 0), ROW_SCHED_ERR_BUSY);   // being coded
    row_sched_ctu_done(s.get(), row);
    code_row(s.get(), 0, 0, 1);
    EXPECT_EQ(row_sched_release_frame(s.get(), 0), ROW_SCHED_ERR_BUSY);   // frame 1 still needs it
    code_until_idle(s.get());
    EXPECT_EQ(row_sched_release_frame(s.get(), 0), 0);
    EXPECT_EQ(row_sched_release_frame(s.get(), 1), 0);
    EXPECT_EQ(s->slot_base, 2);
}

TEST(RowScheduler, AFailedCtuFailsItsFrameAndEveryFramePredictingFromIt)
{
    sched_ptr s(row_sched_create(2, 2, 1, 1, 8, 1, 1));
    frame_set fs;
    ASSERT_EQ(register_all(s.get(), fs.make(0)), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(1, {0})), 0);
    ASSERT_EQ(register_all(s.get(), fs.make(2)), 0);
    row_record *row = nullptr;
    while (!row || row->pic->frame_number != 0) {
        if (row) row_sched_ctu_done(s.get(), row);
        row = row_sched_next_job(s.get());
    }
    row_sched_ctu_failed(s.get(), row);
    EXPECT_EQ(row_sched_wait_frame(s.get(), 0), ROW_SCHED_ERR_FAILED);
    EXPECT_EQ(row_sched_wait_frame(s.get(), 1), ROW_SCHED_ERR_FAILED);
    ASSERT_EQ(register_all(s.get(), fs.make(3, {1})), 0);    // predicts from a failed frame
    EXPECT_EQ(row_sched_wait_frame(s.get(), 3), ROW_SCHED_ERR_FAILED);
    ASSERT_EQ(row_sched_add_row(s.get(), 0, nullptr, nullptr), 0);
    while (row_record *r = row_sched_next_job(s.get())) {
        EXPECT_EQ(r->pic->frame_number, 2);                  // failed frames are never handed out
        row_sched_ctu_done(s.get(), r);
    }
    EXPECT_TRUE(frame_done(s.get(), 2));
    for (int f = 3; f >= 0; f--) EXPECT_EQ(row_sched_release_frame(s.get(), f), 0);
}
