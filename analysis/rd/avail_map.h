// Availability of reconstructed 4x4 luma blocks around and inside the CTU
// being coded: 25 rows of 32 bytes (CTU_AVAIL_SIZE), 1 = reconstructed. The
// CTU's top-left 4x4 block is byte 48 (row 1, column 16); row 0 holds the
// above-left corner (column 15), the above CTU's bottom row (16..31) and the
// above-right CTU's first 8 blocks (32..39); column 15 of rows 1..16 the left
// CTU's right column. Rows 17..24 and the bytes right of the CTU are never
// set, so blocks below or to the right always read as not available.
#pragma once
#include <cstdint>

struct row_context;

enum { AVAIL_MAP_STRIDE = 32, AVAIL_MAP_ORIGIN = 48 };

// The entry of the luma position (x, y) relative to the CTU's top-left
// sample, x and y from -1 to 95.
static inline int avail_map_index(int x, int y)
{
    return AVAIL_MAP_ORIGIN + (y >> 2) * AVAIL_MAP_STRIDE + (x >> 2);
}

// Writes value over 'rows' rows of 'width' bytes, rows 32 bytes apart. Widths
// other than 1, 2, 4, 8 and 16, and rows <= 0, write nothing.
void map_fill_rect(uint8_t *p, int width, int rows, uint8_t value);

// x, y, w, h in luma samples relative to the CTU, multiples of 4; w one of 4,
// 8, 16, 32, 64 (any other width marks nothing).
void map_mark_available(row_context *ctx, int x, int y, int w, int h);
void map_mark_unavailable(row_context *ctx, int x, int y, int w, int h);
// Clears the CTU's own 16x16 entries and keeps the border strips.
void map_clear(row_context *ctx);

// The border strips of a CTU start: clears all 800 bytes, then marks the
// left column, above row, corner and above-right run that lie inside the
// picture (width x height luma samples, ctu_cols CTUs per row) for the CTU
// at column cx, row cy. Returns the CTU_NEIGHBOUR_* bits of the neighbouring
// CTUs that exist.
uint32_t avail_map_begin_ctu(uint8_t *map, int cx, int cy, int width, int height, int ctu_cols);
