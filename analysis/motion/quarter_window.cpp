// The quarter-sample window of a CTU: tiles made on first read.
#include "analysis/motion/quarter_window.h"

#include <cstring>

#include "encoder/int_math.h"
#include "encoder/memory.h"

namespace {

const int64_t PLANE_SIZE = (int64_t)QUARTER_WINDOW_SIDE_X * QUARTER_WINDOW_SIDE_Y;

// Interpolates tile columns t0..t1 of tile rows r0..r1 of one phase, within
// the covered area.
void make_tiles(const quarter_window *w, const uint8_t *ref, uint8_t *plane, int32_t fx, int32_t fy, int32_t t0,
                int32_t t1, int32_t r0, int32_t r1)
{
    int32_t x0 = max_i32(t0 * QUARTER_WINDOW_TILE_W - QUARTER_WINDOW_MARGIN_X, w->lo_x);
    int32_t x1 = min_i32((t1 + 1) * QUARTER_WINDOW_TILE_W - QUARTER_WINDOW_MARGIN_X, w->hi_x);
    int32_t y0 = max_i32(r0 * QUARTER_WINDOW_TILE_H - QUARTER_WINDOW_MARGIN_Y, w->lo_y);
    int32_t y1 = min_i32((r1 + 1) * QUARTER_WINDOW_TILE_H - QUARTER_WINDOW_MARGIN_Y, w->hi_y);
    if (x0 >= x1 || y0 >= y1) return;
    uint8_t *dst = plane + (int64_t)(y0 + QUARTER_WINDOW_MARGIN_Y) * QUARTER_WINDOW_SIDE_X + x0 + QUARTER_WINDOW_MARGIN_X;
    w->mc->interp_luma(dst, QUARTER_WINDOW_SIDE_X, ref, nullptr, w->stride, 4 * x0 + fx, 4 * y0 + fy, x1 - x0,
                       y1 - y0);
}

}  // namespace

const int8_t quarter_window_plane[16] = {-1, 0, -1, 1, 2, 3, 4, 5, -1, 6, -1, 7, 8, 9, 10, 11};

quarter_window *quarter_window_create()
{
    quarter_window *w = (quarter_window *)aligned_calloc((int32_t)sizeof(quarter_window));
    if (!w) return nullptr;
    // Only the planes of references a CTU has are ever written, so the pages
    // of the others stay untouched.
    w->samples = (uint8_t *)aligned_malloc((int32_t)(QUARTER_WINDOW_REFS * QUARTER_WINDOW_PHASES * PLANE_SIZE));
    if (!w->samples) {
        aligned_free(w);
        return nullptr;
    }
    return w;
}

void quarter_window_free(quarter_window *w)
{
    if (!w) return;
    aligned_free(w->samples);
    aligned_free(w);
}

void quarter_window_begin(quarter_window *w, const mc_table *mc, int32_t stride, int32_t ctu_x, int32_t ctu_y,
                          int32_t width, int32_t height)
{
    w->mc = mc;
    w->stride = stride;
    w->lo_x = -QUARTER_WINDOW_REACH_X - ctu_x;
    w->hi_x = width + QUARTER_WINDOW_REACH_X - ctu_x;
    w->lo_y = -QUARTER_WINDOW_REACH_ABOVE - ctu_y;
    w->hi_y = height + QUARTER_WINDOW_REACH_BELOW - ctu_y;
    w->refs = 0;
    std::memset(w->slot, -1, sizeof(w->slot));
}

void quarter_window_add(quarter_window *w, int32_t list, int32_t idx, const uint8_t *ref)
{
    if (idx < 0 || idx >= QUARTER_WINDOW_LIST_REFS) return;
    int32_t s = 0;
    while (s < w->refs && w->ref[s] != ref) s++;
    if (s == w->refs) {
        w->ref[s] = ref;
        std::memset(w->made[s], 0, sizeof(w->made[s]));
        w->refs++;
    }
    w->slot[list][idx] = (int8_t)s;
}

void quarter_window_make(quarter_window *w, int32_t s, int32_t k, int32_t fx, int32_t fy, uint32_t need, int32_t r0,
                         int32_t r1)
{
    uint8_t *plane = w->samples + (s * QUARTER_WINDOW_PHASES + k) * PLANE_SIZE;
    uint32_t *made = w->made[s][k];
    // Rows of tiles missing the same columns are made together, one call per
    // run of neighbouring missing columns.
    for (int32_t r = r0; r <= r1;) {
        uint32_t miss = need & ~made[r];
        int32_t rows = 1;
        while (r + rows <= r1 && (need & ~made[r + rows]) == miss) rows++;
        for (uint32_t left = miss; left;) {
            int32_t t0 = __builtin_ctz(left), t1 = t0;
            while (left >> (t1 + 1) & 1) t1++;
            make_tiles(w, w->ref[s], plane, fx, fy, t0, t1, r, r + rows - 1);
            left &= ~((2u << t1) - (1u << t0));
        }
        for (int32_t i = 0; i < rows; i++) made[r + i] |= miss;
        r += rows;
    }
}
