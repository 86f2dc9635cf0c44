// Writers of the reconstruction-availability map.
#include "analysis/rd/avail_map.h"

#include <cstring>

#include "encoder/encoder_instance.h"
#include "encoder/int_math.h"
#include "kernels/intra/intra_ref.h"

static_assert(CTU_AVAIL_SIZE == 25 * AVAIL_MAP_STRIDE, "availability map is 25 rows of 32");

// Whole-row stores of the value replicated into every byte; the map is
// touched for every PU and transform block.
void map_fill_rect(uint8_t *p, int width, int rows, uint8_t value)
{
    if (rows <= 0) return;
    uint64_t v8 = 0x0101010101010101ull * value;
    switch (width) {
    case 1:
        for (int r = 0; r < rows; r++) p[r * AVAIL_MAP_STRIDE] = value;
        break;
    case 2: {
        uint16_t v = (uint16_t)v8;
        for (int r = 0; r < rows; r++) std::memcpy(p + r * AVAIL_MAP_STRIDE, &v, 2);
        break;
    }
    case 4: {
        uint32_t v = (uint32_t)v8;
        for (int r = 0; r < rows; r++) std::memcpy(p + r * AVAIL_MAP_STRIDE, &v, 4);
        break;
    }
    case 8:
        for (int r = 0; r < rows; r++) std::memcpy(p + r * AVAIL_MAP_STRIDE, &v8, 8);
        break;
    case 16:
        for (int r = 0; r < rows; r++) {
            std::memcpy(p + r * AVAIL_MAP_STRIDE, &v8, 8);
            std::memcpy(p + r * AVAIL_MAP_STRIDE + 8, &v8, 8);
        }
        break;
    default:
        break;
    }
}

static void map_mark(row_context *ctx, int x, int y, int w, int h, uint8_t value)
{
    if (w != 4 && w != 8 && w != 16 && w != 32 && w != 64) return;
    // Keep every write inside the CTU's own 16x16 entries.
    if (x < 0 || y < 0 || x + w > 64 || y + h > 64) return;
    map_fill_rect(ctx->ctu.recon_avail + avail_map_index(x, y), w >> 2, h >> 2, value);
}

void map_mark_available(row_context *ctx, int x, int y, int w, int h)
{
    map_mark(ctx, x, y, w, h, 1);
}

void map_mark_unavailable(row_context *ctx, int x, int y, int w, int h)
{
    map_mark(ctx, x, y, w, h, 0);
}

void map_clear(row_context *ctx)
{
    map_fill_rect(ctx->ctu.recon_avail + AVAIL_MAP_ORIGIN, 16, 16, 0);
}

uint32_t avail_map_begin_ctu(uint8_t *map, int cx, int cy, int width, int height, int ctu_cols)
{
    std::memset(map, 0, CTU_AVAIL_SIZE);
    uint32_t bits = 0;
    if (cx > 0) {
        map_fill_rect(map + AVAIL_MAP_STRIDE + 15, 1, min_i32(16, (height - 64 * cy) >> 2), 1);
        bits |= CTU_NEIGHBOUR_LEFT;
    }
    if (cy > 0) {
        int n = min_i32(16, (width - 64 * cx) >> 2);
        for (int i = 0; i < n; i++) map[16 + i] = 1;
        bits |= CTU_NEIGHBOUR_ABOVE;
    }
    if (cx > 0 && cy > 0) {
        map[15] = 1;
        bits |= CTU_NEIGHBOUR_CORNER;
    }
    if (cy > 0 && cx + 1 < ctu_cols) {
        int m = cx + 2 == ctu_cols ? (width - 64 * cx - 64) >> 2 : 8;
        int n = min_i32(8, m);
        for (int i = 0; i < n; i++) map[32 + i] = 1;
        bits |= CTU_NEIGHBOUR_ABOVE_RIGHT;
    }
    return bits;
}
