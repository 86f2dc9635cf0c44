// Per-CTU statistics for rate control (intra / skip areas, CBR lambda term).
#pragma once
#include <cstdint>

struct encoder_instance;

void ctu_collect_stats(encoder_instance *ctx);
// Adds the intra and skip areas (8x8 units) of the CU subtree at z-order index
// z (4x4 units), offset (x, y) in the CTU and size 2^log2_size to the row counters.
void ctu_count_cu_areas(encoder_instance *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size);
