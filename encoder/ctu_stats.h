// Per-CTU statistics for rate control (intra / skip areas, CBR lambda term).
#pragma once
#include <cstdint>

struct row_context;

void ctu_collect_stats(row_context *ctx);
// Adds the intra and skip areas (8x8 units) of the CU subtree at z-order index
// z (4x4 units), offset (x, y) in the CTU and size 2^log2_size to the row counters.
void ctu_count_cu_areas(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
