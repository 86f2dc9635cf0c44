// The quarter-sample phases of the references around one CTU, made as the
// CTU's searches read them.
//
// References keep planes of their half-sample phases only (picture.h). The
// searches of one CTU read the same quarter-sample samples many times over:
// the refinements of overlapping partitions and depths, the merge candidates
// and the final prediction meet the same blocks again, so interpolating every
// read costs several times what whole planes cost to build. The CTU thread
// therefore keeps, for every reference of the CTU, the twelve quarter-sample
// phases over a window around the CTU and fills them in tiles of 16x4 the first
// time a read covers them. A sample is the 8-tap interpolation of the
// reference's full samples, the same the planes held; reads outside the
// window (or of references past its entries) return null and the caller
// interpolates the block itself.
#pragma once
#include <cstdint>

#include "kernels/mc/mc.h"

enum {
    QUARTER_WINDOW_TILE_W = 16,
    QUARTER_WINDOW_TILE_H = 4,
    QUARTER_WINDOW_MARGIN_X = 64,   // samples on each side of the CTU, whole tiles
    QUARTER_WINDOW_MARGIN_Y = 56,
    QUARTER_WINDOW_SIDE_X = 64 + 2 * QUARTER_WINDOW_MARGIN_X,
    QUARTER_WINDOW_SIDE_Y = 64 + 2 * QUARTER_WINDOW_MARGIN_Y,
    QUARTER_WINDOW_TILES_X = QUARTER_WINDOW_SIDE_X / QUARTER_WINDOW_TILE_W,
    QUARTER_WINDOW_TILES_Y = QUARTER_WINDOW_SIDE_Y / QUARTER_WINDOW_TILE_H,
    QUARTER_WINDOW_PHASES = 12,   // the phases with a quarter-sample component
    QUARTER_WINDOW_LIST_REFS = 8, // entries of each list the window serves
    QUARTER_WINDOW_REFS = 2 * QUARTER_WINDOW_LIST_REFS,
    // The area around the picture that the phases cover, as the planes of a
    // reference did: 80 columns on each side, 76 rows above and 77 below.
    QUARTER_WINDOW_REACH_X = 80,
    QUARTER_WINDOW_REACH_ABOVE = 76,
    QUARTER_WINDOW_REACH_BELOW = 77,
};
static_assert(QUARTER_WINDOW_TILES_X <= 32, "a row of tiles is one 32-bit mask");
static_assert(QUARTER_WINDOW_MARGIN_X % QUARTER_WINDOW_TILE_W == 0 && QUARTER_WINDOW_MARGIN_Y % QUARTER_WINDOW_TILE_H == 0,
              "the CTU starts on a tile");

struct quarter_window {
    const mc_table *mc;
    int32_t stride;                              // luma stride of the references
    int32_t lo_x, lo_y, hi_x, hi_y;              // covered area relative to the CTU origin, hi exclusive
    int32_t refs;                                // distinct references of the CTU
    const uint8_t *ref[QUARTER_WINDOW_REFS];     // full samples at the CTU origin
    int8_t slot[2][QUARTER_WINDOW_LIST_REFS];    // reference of each list entry, -1 none
    // per reference and phase, one bit per tile made, a mask per tile row
    uint32_t made[QUARTER_WINDOW_REFS][QUARTER_WINDOW_PHASES][QUARTER_WINDOW_TILES_Y];
    uint8_t *samples;                            // the planes, SIDE_Y rows of SIDE_X each, reference-major
};

// A window with room for every reference; null when memory runs out.
quarter_window *quarter_window_create();
void quarter_window_free(quarter_window *w);

// Empties the window for the CTU at luma position (ctu_x, ctu_y) of a
// picture of width x height.
void quarter_window_begin(quarter_window *w, const mc_table *mc, int32_t stride, int32_t ctu_x, int32_t ctu_y,
                          int32_t width, int32_t height);
// Entry idx of a list reads the reference whose full samples at the CTU
// origin are at ref; entries of one picture share its phases.
void quarter_window_add(quarter_window *w, int32_t list, int32_t idx, const uint8_t *ref);

// Makes the missing tiles of tile rows r0..r1 in the columns of need, for
// quarter_window_block.
void quarter_window_make(quarter_window *w, int32_t s, int32_t k, int32_t fx, int32_t fy, uint32_t need, int32_t r0,
                         int32_t r1);

// Plane of a phase 4 * (vy & 3) + (vx & 3) in a reference's window, -1 for
// the full- and half-sample phases.
extern const int8_t quarter_window_plane[16];

// The bw x bh block of phase plane k (phase (fx, fy)) of reference slot s
// whose top-left sample lies at (bx, by) of the window, which it lies inside,
// made as far as needed.
static inline const uint8_t *quarter_window_take(quarter_window *w, int32_t s, int32_t k, int32_t fx, int32_t fy,
                                                 uint32_t bx, uint32_t by, int32_t bw, int32_t bh, int32_t *stride)
{
    const uint32_t *made = w->made[s][k];
    uint32_t c0 = bx / QUARTER_WINDOW_TILE_W, c1 = (bx + (uint32_t)bw - 1) / QUARTER_WINDOW_TILE_W;
    uint32_t r0 = by / QUARTER_WINDOW_TILE_H, r1 = (by + (uint32_t)bh - 1) / QUARTER_WINDOW_TILE_H;
    uint32_t need = (2u << c1) - (1u << c0), all = need;
    for (uint32_t r = r0; r <= r1; r++) all &= made[r];
    if (all != need) quarter_window_make(w, s, k, fx, fy, need, (int32_t)r0, (int32_t)r1);
    *stride = QUARTER_WINDOW_SIDE_X;
    return w->samples + (s * QUARTER_WINDOW_PHASES + k) * (int64_t)QUARTER_WINDOW_SIDE_X * QUARTER_WINDOW_SIDE_Y +
           (int64_t)by * QUARTER_WINDOW_SIDE_X + bx;
}

// The bw x bh block of phase (fx, fy) of reference slot s whose top-left
// sample lies at (bx, by) of the window, made as far as needed; null when
// the phase has no quarter-sample component or the block leaves the window.
static inline const uint8_t *quarter_window_at(quarter_window *w, int32_t s, int32_t fx, int32_t fy, int32_t bx,
                                               int32_t by, int32_t bw, int32_t bh, int32_t *stride)
{
    int32_t k = quarter_window_plane[4 * fy + fx];
    if (k < 0 || (uint32_t)bx > (uint32_t)(QUARTER_WINDOW_SIDE_X - bw) ||
        (uint32_t)by > (uint32_t)(QUARTER_WINDOW_SIDE_Y - bh))
        return nullptr;
    return quarter_window_take(w, s, k, fx, fy, (uint32_t)bx, (uint32_t)by, bw, bh, stride);
}

// One block size of one list entry as a search reads it at many vectors:
// the entry's reference and the block's window position at the zero vector
// are looked up once, so a read only adds the vector and checks the bounds.
struct quarter_window_view {
    quarter_window *w;   // null when the entry has no phases
    int32_t s;
    int32_t x, y;        // window position of the block at the zero vector
    uint32_t max_x, max_y;
    int32_t bw, bh;
};

// The view of the bw x bh block at (x, y) relative to the CTU origin read
// through entry idx of a list; w may be null.
static inline void quarter_window_view_init(quarter_window_view *v, quarter_window *w, int32_t list, int32_t idx,
                                            int32_t x, int32_t y, int32_t bw, int32_t bh)
{
    v->w = (w && idx >= 0 && idx < QUARTER_WINDOW_LIST_REFS && w->slot[list][idx] >= 0) ? w : nullptr;
    v->s = v->w ? w->slot[list][idx] : 0;
    v->x = x + QUARTER_WINDOW_MARGIN_X;
    v->y = y + QUARTER_WINDOW_MARGIN_Y;
    v->max_x = (uint32_t)(QUARTER_WINDOW_SIDE_X - bw);
    v->max_y = (uint32_t)(QUARTER_WINDOW_SIDE_Y - bh);
    v->bw = bw;
    v->bh = bh;
}

// The block of the view at quarter-sample vector (vx, vy), as
// quarter_window_block gives it.
static inline const uint8_t *quarter_window_view_at(const quarter_window_view *v, int32_t vx, int32_t vy,
                                                    int32_t *stride)
{
    int32_t fx = vx & 3, fy = vy & 3;
    int32_t k = quarter_window_plane[4 * fy + fx];
    uint32_t bx = (uint32_t)(v->x + (vx >> 2)), by = (uint32_t)(v->y + (vy >> 2));
    if (!v->w || k < 0 || bx > v->max_x || by > v->max_y) return nullptr;
    return quarter_window_take(v->w, v->s, k, fx, fy, bx, by, v->bw, v->bh, stride);
}

// The bw x bh block of entry idx of a list at quarter-sample position (X, Y)
// relative to the CTU origin, with *stride set: a pointer into the window,
// or null (*stride untouched) for a phase without a quarter-sample component,
// an entry without phases or a block not inside the window.
static inline const uint8_t *quarter_window_block(quarter_window *w, int32_t list, int32_t idx, int32_t X,
                                                  int32_t Y, int32_t bw, int32_t bh, int32_t *stride)
{
    if (idx < 0 || idx >= QUARTER_WINDOW_LIST_REFS || w->slot[list][idx] < 0) return nullptr;
    return quarter_window_at(w, w->slot[list][idx], X & 3, Y & 3, (X >> 2) + QUARTER_WINDOW_MARGIN_X,
                             (Y >> 2) + QUARTER_WINDOW_MARGIN_Y, bw, bh, stride);
}
