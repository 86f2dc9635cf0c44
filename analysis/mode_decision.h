// Mode decision entry points of the CTU job: each searches the current CTU of
// a context, commits the decided CU tree into the decision arrays and the
// CTU part of the maps, and leaves the reconstruction in the context's CTU
// buffer.
#pragma once
#include <cstdint>

struct row_context;

void ctu_search_rdo(row_context *ctx, int32_t speed_level);
void ctu_search_fast_intra(row_context *ctx);
void ctu_search_fast_inter(row_context *ctx);
// Fills a width x height block of a per-8x8 map (rows 16 elements apart).
void map_fill_block(uint8_t *first, uint32_t width, uint32_t height, uint32_t element_size, uint32_t value);
