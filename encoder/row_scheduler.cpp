#include "encoder/row_scheduler.h"

#include <cstring>

#include "encoder/memory.h"
#include "encoder/picture.h"

// ---- frame record pool -------------------------------------------------------

sched_frame_record *frame_rec_new(int32_t row_count)
{
    if (row_count < 1 || row_count > INT32_MAX / (int32_t)sizeof(row_record)) return nullptr;
    sched_frame_record *rec = (sched_frame_record *)aligned_malloc((int32_t)sizeof(sched_frame_record));
    if (!rec) return nullptr;
    std::memset(rec, 0, sizeof(*rec));
    rec->rows = (row_record *)aligned_malloc((int32_t)sizeof(row_record) * row_count);
    if (!rec->rows) goto fail_rows;
    std::memset(rec->rows, 0, sizeof(row_record) * row_count);
    for (int32_t i = 0; i < row_count; i++) {
        rec->rows[i].row_index = i;
        rec->rows[i].frame = rec;
    }
    if (mutex_init(&rec->lock)) goto fail_lock;
    if (cond_init(&rec->cond)) goto fail_cond;
    return rec;
fail_cond:
    mutex_destroy(&rec->lock);
fail_lock:
    aligned_free(rec->rows);
fail_rows:
    aligned_free(rec);
    return nullptr;
}

static void frame_rec_free(sched_frame_record *rec)
{
    if (!rec) return;
    cond_destroy(&rec->cond);
    mutex_destroy(&rec->lock);
    aligned_free(rec->rows);
    aligned_free(rec);
}

frame_record_pool *frame_rec_pool_create(int32_t row_count)
{
    if (row_count < 1) return nullptr;
    frame_record_pool *pool = (frame_record_pool *)aligned_malloc((int32_t)sizeof(frame_record_pool));
    if (!pool) return nullptr;
    pool->free_head = nullptr;
    pool->row_count = row_count;
    return pool;
}

void frame_rec_pool_destroy(frame_record_pool *pool)
{
    if (!pool) return;
    while (pool->free_head) {
        sched_frame_record *rec = pool->free_head;
        pool->free_head = rec->next_free;
        frame_rec_free(rec);
    }
    aligned_free(pool);
}

sched_frame_record *frame_rec_pool_get(frame_record_pool *pool)
{
    sched_frame_record *rec = pool->free_head;
    if (!rec) return frame_rec_new(pool->row_count);
    pool->free_head = rec->next_free;
    rec->next_free = nullptr;
    return rec;
}

void frame_rec_pool_put(frame_record_pool *pool, sched_frame_record *rec)
{
    rec->next_free = pool->free_head;
    pool->free_head = rec;
}

// ---- create and destroy --------------------------------------------------------

row_scheduler *row_sched_create(int32_t ctu_cols, int32_t ctu_rows, int32_t row_lag, int32_t col_lag,
                                int32_t slot_count, uint32_t pick_mode, uint32_t wpp)
{
    // A finished row's count must exceed every count plus lag that a rule asks for.
    if (ctu_cols < 1 || ctu_rows < 1 || row_lag < 0 || col_lag < 0 || slot_count < 1) return nullptr;
    if (ctu_cols + col_lag + 2 >= ROW_FINISHED || slot_count > (1 << 20)) return nullptr;
    row_scheduler *s = (row_scheduler *)aligned_malloc((int32_t)sizeof(row_scheduler));
    if (!s) return nullptr;
    std::memset(s, 0, sizeof(*s));
    s->ctu_cols = ctu_cols;
    s->ctu_rows = ctu_rows;
    s->row_lag = row_lag;
    s->col_lag = col_lag;
    s->slot_count = slot_count;
    s->pick_mode = pick_mode;
    s->wpp = wpp;
    s->slot_window = (sched_frame_record **)aligned_malloc((int32_t)sizeof(void *) * slot_count);
    s->number_map = (int32_t *)aligned_malloc((int32_t)sizeof(int32_t) * slot_count);
    s->record_pool = frame_rec_pool_create(ctu_rows);
    if (!s->slot_window || !s->number_map || !s->record_pool) goto fail;
    for (int32_t i = 0; i < slot_count; i++) {
        s->slot_window[i] = nullptr;
        s->number_map[i] = -1;
    }
    if (mutex_init(&s->lock)) goto fail;
    if (cond_init(&s->cond)) {
        mutex_destroy(&s->lock);
        goto fail;
    }
    if (cond_init(&s->work_cond)) {
        cond_destroy(&s->cond);
        mutex_destroy(&s->lock);
        goto fail;
    }
    return s;
fail:
    frame_rec_pool_destroy(s->record_pool);
    aligned_free(s->number_map);
    aligned_free(s->slot_window);
    aligned_free(s);
    return nullptr;
}

void row_sched_destroy(row_scheduler *s)
{
    if (!s) return;
    mutex_destroy(&s->lock);
    cond_destroy(&s->cond);
    cond_destroy(&s->work_cond);
    // Records still registered are owned by the scheduler too.
    for (int32_t i = 0; i < s->slot_count; i++)
        if (s->slot_window[i]) frame_rec_free(s->slot_window[i]);
    aligned_free(s->slot_window);
    aligned_free(s->number_map);
    frame_rec_pool_destroy(s->record_pool);
    aligned_free(s);
}

// ---- helpers (scheduler lock held) -------------------------------------------------

static sched_frame_record *lookup_frame(row_scheduler *s, int32_t frame_number)
{
    int64_t i = (int64_t)frame_number - s->number_base;
    if (i < 0 || i >= s->slot_count || s->number_map[i] < 0) return nullptr;
    int64_t w = (int64_t)s->number_map[i] - s->slot_base;
    if (w < 0 || w >= s->slot_count) return nullptr;
    return s->slot_window[w];
}

static void unlink_ready_rows(row_scheduler *s, sched_frame_record *f)
{
    row_record **link = &s->ready_head;
    while (*link) {
        row_record *row = *link;
        if (row->frame == f) {
            *link = row->next_ready;
            row->next_ready = nullptr;
            row->ready = 0;
        } else {
            link = &row->next_ready;
        }
    }
}

static void remove_dependent(sched_frame_record *ref, sched_frame_record *dep)
{
    int32_t n = 0;
    for (int32_t i = 0; i < ref->dependent_count; i++)
        if (ref->dependents[i] != dep) ref->dependents[n++] = ref->dependents[i];
    ref->dependent_count = n;
}

static void detach_from_references(sched_frame_record *f)
{
    for (int l = 0; l < 2; l++)
        for (int32_t i = 0; i < f->ref_count[l]; i++) remove_dependent(f->refs[l][i], f);
}

// A dependent that has finished or failed can never become ready again, so
// it is dropped when the list has no room left.
static void compact_dependents(row_scheduler *s, sched_frame_record *ref)
{
    int32_t n = 0;
    for (int32_t i = 0; i < ref->dependent_count; i++) {
        sched_frame_record *d = ref->dependents[i];
        if (d->registered && !d->failed && d->rows_finished < s->ctu_rows) ref->dependents[n++] = d;
    }
    ref->dependent_count = n;
}

static bool seen_before(sched_frame_record *const refs[2][SCHED_MAX_REFS], const int32_t counts[2], int l, int i)
{
    for (int ll = 0; ll <= l; ll++)
        for (int32_t j = 0; j < (ll < l ? counts[ll] : i); j++)
            if (refs[ll][j] == refs[l][i]) return true;
    return false;
}

static void set_done(sched_frame_record *f, uint32_t failed)
{
    mutex_lock(&f->lock);
    f->done = 1;
    if (failed) f->failed = 1;
    cond_broadcast(&f->cond);
    mutex_unlock(&f->lock);
}

static void fail_frame(row_scheduler *s, sched_frame_record *f)
{
    if (f->failed) return;
    set_done(f, 1);
    unlink_ready_rows(s, f);
    for (int32_t i = 0; i < f->dependent_count; i++) fail_frame(s, f->dependents[i]);
}

namespace {

// The records of a new frame's references, per list.
struct frame_refs {
    sched_frame_record *refs[2][SCHED_MAX_REFS];
    int32_t counts[2];
    bool failed;      // one of them failed
};

// Finds the record of every reference; ROW_SCHED_ERR_REFS when a count is out
// of range or a reference is not registered.
int refs_resolve(row_scheduler *s, const picture *pic, frame_refs *r)
{
    for (int l = 0; l < 2; l++) {
        r->counts[l] = pic->ref_count[l];
        if (r->counts[l] < 0 || r->counts[l] > SCHED_MAX_REFS) return ROW_SCHED_ERR_REFS;
        for (int32_t k = 0; k < r->counts[l]; k++) {
            r->refs[l][k] = lookup_frame(s, pic->ref_frame_numbers[l][k]);
            if (!r->refs[l][k]) return ROW_SCHED_ERR_REFS;
            if (r->refs[l][k]->failed) r->failed = true;
        }
    }
    return 0;
}

// Every reference must have room for one more dependent.
int dependents_room(row_scheduler *s, const frame_refs *r)
{
    for (int l = 0; l < 2; l++)
        for (int32_t k = 0; k < r->counts[l]; k++) {
            sched_frame_record *ref = r->refs[l][k];
            if (ref->dependent_count >= SCHED_MAX_DEPENDENTS) compact_dependents(s, ref);
            if (ref->dependent_count >= SCHED_MAX_DEPENDENTS) return ROW_SCHED_ERR_REFS;
        }
    return 0;
}

// Enters the frame into the number and slot windows, keeping what a failed
// registration must restore.
void windows_enter(row_scheduler *s, const picture *pic, int64_t i, sched_frame_record *f)
{
    int32_t slot = s->next_slot++;
    s->saved_map_entry = s->number_map[i];
    s->saved_number_end = s->number_end;
    s->number_map[i] = slot;
    s->slot_window[slot - s->slot_base] = f;
    if (s->number_end <= pic->frame_number) s->number_end = pic->frame_number + 1;
}

void frame_record_start(row_scheduler *s, sched_frame_record *f, picture *pic)
{
    mutex_lock(&f->lock);
    f->done = 0;
    f->failed = 0;
    mutex_unlock(&f->lock);
    f->pic = pic;
    f->registered = 1;
    f->rows_finished = 0;
    f->rows_taken = 0;
    f->dependent_count = 0;
    for (int32_t r = 0; r < s->ctu_rows; r++) {
        f->rows[r].ctus_done = 0;
        f->rows[r].ready = 0;
        f->rows[r].next_ready = nullptr;
        f->rows[r].pic = pic;
        f->rows[r].context = nullptr;
    }
}

void references_link(sched_frame_record *f, frame_refs *r)
{
    for (int l = 0; l < 2; l++) {
        f->ref_count[l] = r->counts[l];
        for (int32_t k = 0; k < r->counts[l]; k++) {
            sched_frame_record *ref = r->refs[l][k];
            f->refs[l][k] = ref;
            // A picture named in both lists is one dependency: one entry.
            if (!seen_before(r->refs, r->counts, l, k)) ref->dependents[ref->dependent_count++] = f;
        }
    }
}

}  // namespace

// Checks every limit before anything changes, then takes a record and enters
// the frame into both windows and into its references' dependents.
static int start_frame(row_scheduler *s, picture *pic, sched_frame_record **out)
{
    if (s->end_of_input) return ROW_SCHED_ERR_ENDED;
    int64_t i = (int64_t)pic->frame_number - s->number_base;
    if (i < 0 || i >= s->slot_count) return ROW_SCHED_ERR_WINDOW;
    if (s->number_map[i] >= 0) return ROW_SCHED_ERR_ARG;   // already registered
    if (s->next_slot - s->slot_base >= s->slot_count) return ROW_SCHED_ERR_WINDOW;
    frame_refs r = {};
    int err = refs_resolve(s, pic, &r);
    if (!err) err = dependents_room(s, &r);
    if (err) return err;
    sched_frame_record *f = frame_rec_pool_get(s->record_pool);
    if (!f) return ROW_SCHED_ERR_MEMORY;
    windows_enter(s, pic, i, f);
    frame_record_start(s, f, pic);
    references_link(f, &r);
    if (r.failed) fail_frame(s, f);
    *out = f;
    return 0;
}

// Undoes a registration that did not reach its last row (lock held, released by the caller).
static void abort_registration(row_scheduler *s)
{
    sched_frame_record *f = s->registering;
    s->registering = nullptr;
    unlink_ready_rows(s, f);
    detach_from_references(f);
    s->number_map[f->pic->frame_number - s->number_base] = s->saved_map_entry;
    s->number_end = s->saved_number_end;
    s->slot_window[s->next_slot - 1 - s->slot_base] = nullptr;
    s->next_slot--;
    f->registered = 0;
    frame_rec_pool_put(s->record_pool, f);
}

// ---- readiness -------------------------------------------------------------------

// The rule itself, for a row that is neither queued nor being coded.
static bool row_may_code(const row_scheduler *s, const sched_frame_record *f, int32_t r, int32_t k)
{
    const row_record *row = &f->rows[r];
    if (row->ready || !f->registered || f->failed || row->ctus_done >= s->ctu_cols) return false;
    if (r > 0) {
        int32_t above = f->rows[r - 1].ctus_done;
        if (s->wpp ? above <= k + 1 : above < s->ctu_cols) return false;
    }
    int32_t rr = r + s->row_lag < s->ctu_rows - 1 ? r + s->row_lag : s->ctu_rows - 1;
    for (int l = 0; l < 2; l++)
        for (int32_t i = 0; i < f->ref_count[l]; i++)
            if (f->refs[l][i]->rows[rr].ctus_done <= k + 1 + s->col_lag) return false;
    return true;
}

int row_sched_test_ready(row_scheduler *s, sched_frame_record *f, int32_t r, int32_t k)
{
    if (!row_may_code(s, f, r, k)) return 0;
    row_record *row = &f->rows[r];
    row->ready = 1;
    row->next_ready = s->ready_head;
    s->ready_head = row;
    return 1;
}

// ---- registration ------------------------------------------------------------------

static int mark_end_of_input(row_scheduler *s)
{
    if (s->registering) return ROW_SCHED_ERR_ARG;   // the caller holds the lock mid-registration
    mutex_lock(&s->lock);
    if (!s->end_of_input) {
        s->end_of_input = 1;
        cond_broadcast(&s->work_cond);
    }
    mutex_unlock(&s->lock);
    return 0;
}

int row_sched_add_row(row_scheduler *s, int32_t r, picture *pic, row_context *context)
{
    if (!s) return ROW_SCHED_ERR_ARG;
    if (!pic) return mark_end_of_input(s);
    if (r == 0) {
        if (s->registering) {   // an earlier registration never reached its last row
            abort_registration(s);
            mutex_unlock(&s->lock);
        }
        mutex_lock(&s->lock);
        sched_frame_record *f = nullptr;
        int err = start_frame(s, pic, &f);
        if (err) {
            mutex_unlock(&s->lock);
            return err;
        }
        s->registering = f;
    } else if (!s->registering) {
        return ROW_SCHED_ERR_ARG;
    } else if (r != s->next_row || pic != s->registering->pic) {
        abort_registration(s);
        mutex_unlock(&s->lock);
        return ROW_SCHED_ERR_ARG;
    }
    sched_frame_record *f = s->registering;
    f->rows[r].pic = pic;
    f->rows[r].context = context;
    if (row_sched_test_ready(s, f, r, 0)) cond_signal(&s->work_cond);
    s->next_row = r + 1;
    if (r == s->ctu_rows - 1) {
        s->registering = nullptr;
        mutex_unlock(&s->lock);
    }
    return 0;
}

// ---- CTU threads ---------------------------------------------------------------------

static row_record *take_ready_row(row_scheduler *s)
{
    row_record **best = nullptr;
    if (s->pick_mode) {
        if (s->ready_head) best = &s->ready_head;
    } else {
        for (row_record **link = &s->ready_head; *link; link = &(*link)->next_ready)
            if (!best || (*link)->pic->frame_number < (*best)->pic->frame_number) best = link;
    }
    if (!best) return nullptr;
    row_record *row = *best;
    *best = row->next_ready;
    row->next_ready = nullptr;
    return row;
}

// A queued row to the calling thread (scheduler lock held).
static row_record *take_job(row_scheduler *s)
{
    row_record *row = take_ready_row(s);
    if (row) {
        s->jobs_in_flight++;
        row->frame->rows_taken++;
    }
    return row;
}

row_record *row_sched_next_job(row_scheduler *s)
{
    mutex_lock(&s->lock);
    for (;;) {
        row_record *row = take_job(s);
        if (row) {
            mutex_unlock(&s->lock);
            return row;
        }
        if (s->jobs_in_flight == 0 && s->end_of_input) break;
        cond_wait(&s->work_cond, &s->lock);
    }
    mutex_unlock(&s->lock);
    return nullptr;
}

// The rows that may have become ready through progress of row r of frame f;
// returns how many were queued. Row r itself is left to the caller.
static int32_t retest_after_ctu(row_scheduler *s, sched_frame_record *f, int32_t r, int32_t n, bool finished)
{
    int32_t queued = 0;
    // Dependents' row d is the one whose reference row is r; for the last row
    // that is the lowest of the capped rows, which may lie above r - lag.
    int32_t d = r - s->row_lag;
    if (r == s->ctu_rows - 1 && d < 0) d = 0;
    if (d >= 0)
        for (int32_t i = f->dependent_count - 1; i >= 0; i--) {
            sched_frame_record *dep = f->dependents[i];
            queued += row_sched_test_ready(s, dep, d, dep->rows[d].ctus_done);
        }
    if (r + 1 < s->ctu_rows) {
        int32_t c = f->rows[r + 1].ctus_done;
        if ((s->wpp && c == n - 2) || finished) queued += row_sched_test_ready(s, f, r + 1, c);
    }
    return queued;
}

// Reports the CTU and, when `next` is given, stores the reporting thread's
// next job there (or null). Every row queued here wakes one waiting thread,
// less the one the reporting thread takes itself.
static void ctu_report(row_scheduler *s, row_record *row, row_record **next)
{
    mutex_lock(&s->lock);
    sched_frame_record *f = row->frame;
    row->ready = 0;
    s->jobs_in_flight--;
    f->rows_taken--;
    int32_t n = ++row->ctus_done;
    int32_t queued = 0;
    row_record *job = nullptr;
    if (!f->failed) {
        // A finished row is marked before the re-tests: the rows waiting for
        // it to finish are tested now and never again.
        bool finished = n >= s->ctu_cols;
        if (finished) {
            row->ctus_done = ROW_FINISHED;
            f->rows_finished++;
        }
        queued = retest_after_ctu(s, f, row->row_index, n, finished);
        if (finished && f->rows_finished == s->ctu_rows) set_done(f, 0);
        // The row goes on on this thread; the lowest-frame-first order of the
        // latency tunings queues it like any other.
        if (!finished && next && s->pick_mode && row_may_code(s, f, row->row_index, n)) {
            row->ready = 1;
            s->jobs_in_flight++;
            f->rows_taken++;
            job = row;
        } else if (!finished) {
            queued += row_sched_test_ready(s, f, row->row_index, n);
        }
    }
    if (next && !job && (job = take_job(s)) != nullptr && queued > 0) queued--;
    for (int32_t i = 0; i < queued; i++) cond_signal(&s->work_cond);
    if (s->jobs_in_flight == 0 && s->end_of_input) cond_broadcast(&s->work_cond);
    // The last job of a failed frame wakes the caller waiting to collect it.
    if (f->failed && f->rows_taken == 0) cond_broadcast(&s->cond);
    mutex_unlock(&s->lock);
    if (next) *next = job;
}

void row_sched_ctu_done(row_scheduler *s, row_record *row)
{
    ctu_report(s, row, nullptr);
}

row_record *row_sched_ctu_done_next(row_scheduler *s, row_record *row)
{
    row_record *next = nullptr;
    ctu_report(s, row, &next);
    return next;
}

void row_sched_ctu_failed(row_scheduler *s, row_record *row)
{
    mutex_lock(&s->lock);
    row->ready = 0;
    s->jobs_in_flight--;
    row->frame->rows_taken--;
    fail_frame(s, row->frame);
    cond_broadcast(&s->cond);
    cond_broadcast(&s->work_cond);
    mutex_unlock(&s->lock);
}

// ---- caller's thread: wait and release -------------------------------------------------

int row_sched_wait_frame(row_scheduler *s, int32_t frame_number)
{
    if (!s || s->registering) return ROW_SCHED_ERR_ARG;
    mutex_lock(&s->lock);
    sched_frame_record *f = lookup_frame(s, frame_number);
    mutex_unlock(&s->lock);
    if (!f) return ROW_SCHED_ERR_ARG;
    // Only this thread releases records, so f stays this frame's record.
    mutex_lock(&f->lock);
    while (!f->done) cond_wait(&f->cond, &f->lock);
    uint32_t failed = f->failed;
    mutex_unlock(&f->lock);
    if (!failed) return 0;
    // A failed frame is done at once, while jobs of its other rows may still
    // run on its contexts and read its source: the caller touches neither
    // until they have ended.
    mutex_lock(&s->lock);
    while (f->rows_taken > 0) cond_wait(&s->cond, &s->lock);
    mutex_unlock(&s->lock);
    return ROW_SCHED_ERR_FAILED;
}

static void advance_slot_window(row_scheduler *s, int32_t w, int32_t slot)
{
    if (w > 0) {
        s->slot_window[w] = nullptr;
        if (slot == s->next_slot - 1) s->next_slot--;
        return;
    }
    int32_t in_use = s->next_slot - s->slot_base;
    int32_t j = 1;
    while (j < in_use && !s->slot_window[j]) j++;
    std::memmove(s->slot_window, s->slot_window + j, sizeof(void *) * (s->slot_count - j));
    for (int32_t k = s->slot_count - j; k < s->slot_count; k++) s->slot_window[k] = nullptr;
    s->slot_base += j;
}

static void advance_number_map(row_scheduler *s, int32_t i)
{
    if (i > 0) {
        s->number_map[i] = -2;
        return;
    }
    int32_t span = s->number_end - s->number_base;
    int32_t j = 1;
    while (j < span && s->number_map[j] == -2) j++;
    std::memmove(s->number_map, s->number_map + j, sizeof(int32_t) * (s->slot_count - j));
    for (int32_t k = s->slot_count - j; k < s->slot_count; k++) s->number_map[k] = -1;
    s->number_base += j;
}

// A frame cannot go while one of its rows is being coded or while a frame
// that predicts from it may still be handed out.
static bool frame_busy(row_scheduler *s, sched_frame_record *f)
{
    if (f->rows_taken > 0) return true;
    for (int32_t i = 0; i < f->dependent_count; i++) {
        sched_frame_record *d = f->dependents[i];
        if (d->registered && !d->failed && d->rows_finished < s->ctu_rows) return true;
    }
    return false;
}

int row_sched_release_frame(row_scheduler *s, int32_t frame_number)
{
    if (!s || s->registering) return ROW_SCHED_ERR_ARG;
    mutex_lock(&s->lock);
    int64_t i = (int64_t)frame_number - s->number_base;
    if (i < 0 || i >= s->slot_count || s->number_map[i] < 0) {
        mutex_unlock(&s->lock);
        return 0;
    }
    int32_t slot = s->number_map[i];
    int32_t w = slot - s->slot_base;
    sched_frame_record *f = w >= 0 && w < s->slot_count ? s->slot_window[w] : nullptr;
    if (f && frame_busy(s, f)) {
        mutex_unlock(&s->lock);
        return ROW_SCHED_ERR_BUSY;
    }
    if (f) {
        unlink_ready_rows(s, f);
        detach_from_references(f);
        f->registered = 0;
        f->dependent_count = 0;
        frame_rec_pool_put(s->record_pool, f);
    }
    if (w >= 0 && w < s->slot_count) advance_slot_window(s, w, slot);
    advance_number_map(s, (int32_t)i);
    mutex_unlock(&s->lock);
    return 0;
}
