// The wavefront row scheduler: hands out CTU rows of several pictures at once
// to the CTU threads. A row may code its CTU k when the row above has coded
// more than k + 1 CTUs (wavefront) or has finished (otherwise), and when row
// r + row lag (at most the last row) of every reference picture has coded more
// than k + 1 + column lag CTUs or has finished.
//
// One scheduler lock guards all scheduling state; a frame record's own lock
// guards only its done flag. Lock order: scheduler lock, then a frame lock.
#pragma once
#include <cstdint>

#include "encoder/platform/platform.h"

struct picture;
struct row_context;
struct sched_frame_record;

enum {
    ROW_FINISHED = 10000,       // count of a finished row: passes every comparison
    SCHED_MAX_REFS = 4,         // per reference list
    SCHED_MAX_DEPENDENTS = 32,
};

// Error results; every failing call leaves the scheduler as it was and holds no lock.
enum {
    ROW_SCHED_ERR_ARG = -1,     // bad argument or call out of protocol order
    ROW_SCHED_ERR_WINDOW = -2,  // frame number or slot outside the fixed windows
    ROW_SCHED_ERR_REFS = -3,    // too many references or dependents, or an unregistered reference
    ROW_SCHED_ERR_MEMORY = -4,
    ROW_SCHED_ERR_ENDED = -5,   // registration after the end of input
    ROW_SCHED_ERR_BUSY = -6,    // release of a frame still being coded or referenced
    ROW_SCHED_ERR_FAILED = -7,  // the frame (or one of its references) failed
};

struct row_record {
    int32_t ctus_done;          // ROW_FINISHED once the row is complete
    int32_t row_index;
    picture *pic;
    row_context *context;
    uint32_t ready;             // 1 from queuing until the taken CTU is reported
    row_record *next_ready;
    sched_frame_record *frame;  // owning frame record
};

struct sched_frame_record {
    picture *pic;
    row_record *rows;
    uint32_t done;              // guarded by the record's own lock
    int32_t ref_count[2];
    sched_frame_record *refs[2][SCHED_MAX_REFS];
    int32_t dependent_count;
    sched_frame_record *dependents[SCHED_MAX_DEPENDENTS];
    tv_mutex lock;
    tv_cond cond;
    sched_frame_record *next_free;
    // Scheduler-lock state beyond the rule itself:
    uint32_t registered;        // 0 while the record sits in the pool
    uint32_t failed;            // guarded by the record's lock as well
    int32_t rows_finished;
    int32_t rows_taken;         // rows handed to a thread and not yet reported
};

struct frame_record_pool {
    sched_frame_record *free_head;
    int32_t row_count;
};

struct row_scheduler {
    sched_frame_record **slot_window;
    int32_t *number_map;        // slot number per frame number; -1 unregistered, -2 released
    frame_record_pool *record_pool;
    row_record *ready_head;
    int32_t jobs_in_flight;
    int32_t slot_base;
    int32_t next_slot;
    int32_t number_base;
    int32_t number_end;
    int32_t ctu_cols;
    int32_t ctu_rows;
    int32_t row_lag;
    int32_t col_lag;
    int32_t slot_count;
    uint32_t end_of_input;
    uint32_t pick_mode;         // 0: lowest frame number first; else most recently readied
    uint32_t wpp;
    tv_mutex lock;
    tv_cond cond;               // the caller's thread: jobs of a failed frame ended
    tv_cond work_cond;          // CTU threads: a row was queued, or the input ended
    sched_frame_record *registering;   // frame whose rows are being added (lock held)
    int32_t next_row;                  // row expected next during a registration
    int32_t saved_map_entry;           // what an undone registration restores
    int32_t saved_number_end;
};

// Null on bad sizes or when an allocation or lock fails (nothing left made).
[[nodiscard]] row_scheduler *row_sched_create(int32_t ctu_cols, int32_t ctu_rows, int32_t row_lag, int32_t col_lag,
                                              int32_t slot_count, uint32_t pick_mode, uint32_t wpp);
void row_sched_destroy(row_scheduler *sched);

// Registers rows 0, 1, ..., rows - 1 of a picture in that order; row 0 takes the
// scheduler lock and the last row releases it, so the rows appear together.
// A null picture marks the end of input. 0 or a ROW_SCHED_ERR_ value; on an
// error the picture's registration is undone and the lock is released.
[[nodiscard]] int row_sched_add_row(row_scheduler *sched, int32_t row, picture *pic, row_context *context);
// Blocks until a row is ready; null once the input has ended and nothing is
// ready or in flight.
row_record *row_sched_next_job(row_scheduler *sched);
// One more CTU of the row is coded: re-tests the rows that may now be ready.
void row_sched_ctu_done(row_scheduler *sched, row_record *row);
// The same, and hands the reporting thread its next job without waiting: the
// same row when its next CTU is ready at once (so that the row's working
// memory stays in this core's caches), else a queued row; null when none is
// ready, and the thread then waits in row_sched_next_job.
row_record *row_sched_ctu_done_next(row_scheduler *sched, row_record *row);
// The row's CTU failed: its frame and every frame predicting from it are marked
// failed and done, their waiters woken; none of their rows is handed out again.
void row_sched_ctu_failed(row_scheduler *sched, row_record *row);
// Blocks until the frame's last row has finished. 0, ROW_SCHED_ERR_FAILED, or
// ROW_SCHED_ERR_ARG for a frame that is not registered.
int row_sched_wait_frame(row_scheduler *sched, int32_t frame_number);
// Gives the frame's record back and moves the windows forward. Unknown or
// already released frames are ignored (0); ROW_SCHED_ERR_BUSY while a row of
// the frame is being coded or an unfinished frame still predicts from it.
int row_sched_release_frame(row_scheduler *sched, int32_t frame_number);
// Readiness rule for row r of a frame with k CTUs done; queues the row and
// returns 1 when ready. Scheduler lock held.
int row_sched_test_ready(row_scheduler *sched, sched_frame_record *frame, int32_t row, int32_t k);

frame_record_pool *frame_rec_pool_create(int32_t row_count);
void frame_rec_pool_destroy(frame_record_pool *pool);
sched_frame_record *frame_rec_pool_get(frame_record_pool *pool);
sched_frame_record *frame_rec_new(int32_t row_count);
void frame_rec_pool_put(frame_record_pool *pool, sched_frame_record *rec);
