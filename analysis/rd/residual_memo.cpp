// Kept transform blocks of the calling thread: per plane and block size, a
// few places for every block position of the CTU, the least recently used
// one given up first.
#include "analysis/rd/residual_memo.h"

#include <cstring>

#include "encoder/memory.h"
#include "encoder/row_context.h"

namespace {

enum {
    MEMO_WAYS = 8,                             // places per block position
    MEMO_RATE_BYTES = cabac_num_ctx + 4,       // the context states and the rdoq model bytes
    MEMO_LOG2_MIN = 2,
    MEMO_CLASSES = 4,                          // log2 2..5 (chroma 2..4)
};

// What a place keeps besides its samples and levels.
struct memo_head {
    rdoq_fn quantiser;
    uint32_t lambda;
    uint16_t round;
    uint8_t qp, scan, transform, low, rebuild;
    uint8_t kept;         // outputs recorded
    uint8_t nz;
    uint8_t rate[MEMO_RATE_BYTES];    // states before the quantiser
    uint8_t model_after[4];
};

// The places of one block position: the search that kept them, and per
// place its prediction's fingerprint and its last use (0: free).
struct memo_slot {
    uint64_t search;
    uint64_t fingerprint[MEMO_WAYS];
    uint32_t stamp[MEMO_WAYS];
};

// The places of one plane and block size: per position a slot, per place a
// head, the prediction and reconstruction samples and the levels, n x n each.
struct memo_class {
    int32_t n, side;      // block size, blocks per row of the CTU's plane
    memo_slot *slots;
    memo_head *heads;
    uint8_t *pred, *recon;
    int16_t *levels;
};

struct residual_memo {
    uint64_t search;      // the search running on the thread
    uint32_t clock;
    uint64_t lookups, hits;
    memo_class cls[3][MEMO_CLASSES];
    uint8_t *block;
};

// The four bytes of the quantiser's own rate model.
void model_bytes(uint8_t out[4], const cabac_rate_state *r)
{
    out[0] = r->rdoq_sig_state[0];
    out[1] = r->rdoq_sig_state[1];
    out[2] = r->rdoq_gt1_state[0];
    out[3] = r->rdoq_gt1_state[1];
}

void model_restore(cabac_rate_state *r, const uint8_t kept[4])
{
    r->rdoq_sig_state[0] = kept[0];
    r->rdoq_sig_state[1] = kept[1];
    r->rdoq_gt1_state[0] = kept[2];
    r->rdoq_gt1_state[1] = kept[3];
}

void rate_bytes(uint8_t *out, const cabac_rate_state *r)
{
    std::memcpy(out, r->ctx, cabac_num_ctx);
    model_bytes(out + cabac_num_ctx, r);
}

bool rate_equal(const uint8_t *kept, const cabac_rate_state *r)
{
    return std::memcmp(kept, r->ctx, cabac_num_ctx) == 0 && kept[cabac_num_ctx] == r->rdoq_sig_state[0] &&
           kept[cabac_num_ctx + 1] == r->rdoq_sig_state[1] && kept[cabac_num_ctx + 2] == r->rdoq_gt1_state[0] &&
           kept[cabac_num_ctx + 3] == r->rdoq_gt1_state[1];
}

// Rows of n samples (4 to 32) at stride s against n x n packed ones, a
// packed copy and its way back, in whole words.
template <int N>
bool rows_equal(const uint8_t *packed, const uint8_t *p, int32_t s)
{
    for (int32_t r = 0; r < N; r++)
        if (std::memcmp(packed + r * N, p + r * s, N) != 0) return false;
    return true;
}

bool block_equal(const uint8_t *packed, const uint8_t *p, int32_t s, int32_t n)
{
    switch (n) {
    case 4: return rows_equal<4>(packed, p, s);
    case 8: return rows_equal<8>(packed, p, s);
    case 16: return rows_equal<16>(packed, p, s);
    default: return rows_equal<32>(packed, p, s);
    }
}

template <int N>
void rows_copy(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss)
{
    for (int32_t r = 0; r < N; r++) std::memcpy(dst + r * ds, src + r * ss, N);
}

void block_copy(uint8_t *dst, int32_t ds, const uint8_t *src, int32_t ss, int32_t n)
{
    switch (n) {
    case 4: rows_copy<4>(dst, ds, src, ss); break;
    case 8: rows_copy<8>(dst, ds, src, ss); break;
    case 16: rows_copy<16>(dst, ds, src, ss); break;
    default: rows_copy<32>(dst, ds, src, ss); break;
    }
}

// A cheap 64-bit summary of a prediction, so that most places are passed by
// on one comparison; a match is confirmed sample by sample.
template <int N>
uint64_t rows_fingerprint(const uint8_t *p, int32_t s)
{
    uint64_t a = 0, b = 0;
    for (int32_t r = 0; r < N; r++) {
        const uint8_t *row = p + r * s;
        if (N == 4) {
            uint32_t w;
            std::memcpy(&w, row, 4);
            a = (a << 7 | a >> 57) + w * 0x9e3779b97f4a7c15ull;
            continue;
        }
        for (int32_t c = 0; c < N; c += 16) {
            uint64_t w0, w1 = 0;
            std::memcpy(&w0, row + c, 8);
            if (N > 8) std::memcpy(&w1, row + c + 8, 8);
            a = (a << 7 | a >> 57) + w0 * 0x9e3779b97f4a7c15ull;
            b = (b << 11 | b >> 53) + w1 * 0xc2b2ae3d27d4eb4full;
        }
    }
    return a ^ (b * 0x165667b19e3779f9ull);
}

uint64_t fingerprint(const uint8_t *p, int32_t s, int32_t n)
{
    switch (n) {
    case 4: return rows_fingerprint<4>(p, s);
    case 8: return rows_fingerprint<8>(p, s);
    case 16: return rows_fingerprint<16>(p, s);
    default: return rows_fingerprint<32>(p, s);
    }
}

int64_t class_bytes(int32_t plane, int32_t log2)
{
    int32_t side = (plane ? 32 : 64) >> log2, n = 1 << log2;
    int64_t places = (int64_t)side * side * MEMO_WAYS;
    return (int64_t)side * side * (int64_t)sizeof(memo_slot) + places * ((int64_t)sizeof(memo_head) + 4 * (int64_t)n * n);
}

residual_memo *memo_create()
{
    int64_t total = 0;
    for (int32_t p = 0; p < 3; p++)
        for (int32_t c = 0; c < MEMO_CLASSES; c++)
            if (p == 0 || c < MEMO_CLASSES - 1) total += class_bytes(p, c + MEMO_LOG2_MIN) + 64;
    residual_memo *m = (residual_memo *)aligned_malloc((int32_t)sizeof(residual_memo));
    if (!m) return nullptr;
    std::memset(m, 0, sizeof(*m));
    m->block = (uint8_t *)aligned_malloc((int32_t)total);
    if (!m->block) {
        aligned_free(m);
        return nullptr;
    }
    uint8_t *a = m->block;
    for (int32_t p = 0; p < 3; p++) {
        for (int32_t c = 0; c < MEMO_CLASSES; c++) {
            if (p > 0 && c == MEMO_CLASSES - 1) continue;
            memo_class *k = &m->cls[p][c];
            int32_t log2 = c + MEMO_LOG2_MIN;
            k->n = 1 << log2;
            k->side = (p ? 32 : 64) >> log2;
            int64_t places = (int64_t)k->side * k->side * MEMO_WAYS, area = places * k->n * k->n;
            k->slots = (memo_slot *)a;
            std::memset(k->slots, 0, (size_t)(k->side * k->side) * sizeof(memo_slot));
            a += (int64_t)k->side * k->side * (int64_t)sizeof(memo_slot);
            k->heads = (memo_head *)a;
            std::memset(k->heads, 0, (size_t)places * sizeof(memo_head));
            a += places * (int64_t)sizeof(memo_head);
            k->levels = (int16_t *)a;
            a += 2 * area;
            k->pred = a;
            k->recon = a + area;
            a += 2 * area;
            a += 64 - ((uintptr_t)a & 63);
        }
    }
    return m;
}

// The calling thread's kept blocks, made at its first use and released when
// the thread ends.
struct memo_holder {
    residual_memo *memo = nullptr;
    bool failed = false;
    ~memo_holder()
    {
        if (!memo) return;
        aligned_free(memo->block);
        aligned_free(memo);
    }
};
thread_local memo_holder holder;

residual_memo *memo_make()
{
    if (!holder.failed) {
        holder.memo = memo_create();
        holder.failed = holder.memo == nullptr;
    }
    return holder.memo;
}

inline residual_memo *memo_of_thread()
{
    return holder.memo ? holder.memo : memo_make();
}

bool same_settings(const memo_head *h, const residual_memo_query *q)
{
    return h->lambda == q->lambda && h->quantiser == q->quantiser && h->round == q->round && h->qp == q->qp &&
           h->scan == q->scan && h->transform == q->transform && h->low == q->low && h->rebuild == q->rebuild;
}

void settings_record(memo_head *h, const residual_memo_query *q)
{
    h->quantiser = q->quantiser;
    h->lambda = q->lambda;
    h->round = q->round;
    h->qp = q->qp;
    h->scan = q->scan;
    h->transform = q->transform;
    h->low = q->low;
    h->rebuild = q->rebuild;
}

// The use stamps start again: every place in use becomes equally old.
void stamps_restart(residual_memo *m)
{
    for (int32_t p = 0; p < 3; p++)
        for (int32_t j = 0; j < MEMO_CLASSES; j++) {
            memo_class *e = &m->cls[p][j];
            for (int32_t i = 0; e->slots && i < e->side * e->side; i++)
                for (int32_t w = 0; w < MEMO_WAYS; w++)
                    if (e->slots[i].stamp[w]) e->slots[i].stamp[w] = 1;
        }
    m->clock = 2;
}

// The slot of a looked-up position, all of its places free when an earlier
// search kept them; the use clock moves on.
memo_slot *slot_look_up(residual_memo *m, memo_class *k, int32_t position)
{
    memo_slot *sl = &k->slots[position];
    m->lookups++;
    if (sl->search != m->search) {
        sl->search = m->search;
        std::memset(sl->stamp, 0, sizeof(sl->stamp));
    }
    if (++m->clock == 0) stamps_restart(m);
    return sl;
}

// The place that kept this very block (same prediction, settings and rate
// states), or -1.
int32_t kept_way(const memo_class *k, const memo_slot *sl, int32_t position, uint64_t print,
                 const residual_memo_query *q)
{
    int32_t area = k->n * k->n;
    for (int32_t w = 0; w < MEMO_WAYS; w++) {
        if (sl->fingerprint[w] != print || sl->stamp[w] == 0) continue;
        int64_t i = (int64_t)position * MEMO_WAYS + w;
        const memo_head *h = &k->heads[i];
        if (!h->kept || !same_settings(h, q) || !block_equal(k->pred + i * area, q->pred, CTU_WORK_STRIDE, k->n) ||
            !rate_equal(h->rate, q->rate))
            continue;
        return w;
    }
    return -1;
}

// A hit: the kept outputs stand for the coding, place w used now.
void kept_take(residual_memo *m, const memo_class *k, memo_slot *sl, int32_t position, int32_t w,
               residual_memo_query *q, int32_t *nz)
{
    int32_t n = k->n, area = n * n;
    int64_t i = (int64_t)position * MEMO_WAYS + w;
    const memo_head *h = &k->heads[i];
    sl->stamp[w] = m->clock;
    m->hits++;
    *nz = h->nz;
    if (h->nz) std::memcpy(q->levels, k->levels + i * area, (size_t)area * sizeof(int16_t));
    else std::memset(q->levels, 0, (size_t)area * sizeof(int16_t));
    model_restore(q->rate, h->model_after);
    if (h->rebuild && h->nz) block_copy(q->pred, CTU_WORK_STRIDE, k->recon + i * area, n, n);
}

// A miss takes a new place, the least recently used one: the inputs the
// coding is about to change are taken now.
void place_claim(residual_memo *m, memo_class *k, memo_slot *sl, int32_t position, uint64_t print,
                 residual_memo_query *q)
{
    int32_t n = k->n, area = n * n;
    int32_t victim = 0;
    for (int32_t w = 1; w < MEMO_WAYS; w++)
        if (sl->stamp[w] < sl->stamp[victim]) victim = w;
    int64_t i = (int64_t)position * MEMO_WAYS + victim;
    memo_head *h = &k->heads[i];
    sl->stamp[victim] = m->clock;
    sl->fingerprint[victim] = print;
    settings_record(h, q);
    h->kept = 0;
    rate_bytes(h->rate, q->rate);
    block_copy(k->pred + i * area, n, q->pred, CTU_WORK_STRIDE, n);
    q->entry = h;
}

}  // namespace

int32_t residual_memo_fetch(residual_memo_query *q, int32_t *nz)
{
    q->entry = nullptr;
    int32_t c = q->log2 - MEMO_LOG2_MIN;
    if (c < 0 || c >= MEMO_CLASSES || (q->plane > 0 && c == MEMO_CLASSES - 1)) return 0;
    residual_memo *m = memo_of_thread();
    if (!m) return 0;
    memo_class *k = &m->cls[q->plane][c];
    int32_t position = (q->y >> q->log2) * k->side + (q->x >> q->log2);
    memo_slot *sl = slot_look_up(m, k, position);
    uint64_t print = fingerprint(q->pred, CTU_WORK_STRIDE, k->n);
    int32_t w = kept_way(k, sl, position, print, q);
    if (w >= 0) {
        kept_take(m, k, sl, position, w, q, nz);
        return 1;
    }
    place_claim(m, k, sl, position, print, q);
    return 0;
}

void residual_memo_keep(const residual_memo_query *q, int32_t nz)
{
    if (!q->entry) return;
    residual_memo *m = holder.memo;
    memo_class *k = &m->cls[q->plane][q->log2 - MEMO_LOG2_MIN];
    memo_head *h = (memo_head *)q->entry;
    int64_t i = h - k->heads;
    int32_t n = k->n, area = n * n;
    h->nz = (uint8_t)(nz != 0);
    model_bytes(h->model_after, q->rate);
    if (nz) std::memcpy(k->levels + i * area, q->levels, (size_t)area * sizeof(int16_t));
    if (q->rebuild && nz) block_copy(k->recon + i * area, n, q->pred, CTU_WORK_STRIDE, n);
    h->kept = 1;
}

void residual_memo_new_search()
{
    residual_memo *m = memo_of_thread();
    if (m) m->search++;
}

void residual_memo_counts(uint64_t *lookups, uint64_t *hits)
{
    residual_memo *m = holder.memo;
    *lookups = m ? m->lookups : 0;
    *hits = m ? m->hits : 0;
}
