// Coefficient scan orders of H.265 (clauses 6.5.3 - 6.5.5 applied per 4x4
// sub-block as residual coding does): for each square size 4..32 and each scan
// kind the raster positions (y*N + x) in coding order.
#pragma once
#include <cstdint>

enum {
    SCAN_DIAGONAL = 0,
    SCAN_HORIZONTAL = 1,
    SCAN_VERTICAL = 2,
    SCAN_TABLE_POINTERS = 48,
};

// 16 entries [log2(W) - 2][log2(H) - 2] of three orders {diagonal, horizontal,
// vertical}; only the four square entries are built. The order of an NxN block
// with kind s is orders[(log2(N) - 2) * 15 + s]. Positions 16g..16g+15 of every
// order are one 4x4 group, and position 16g is that group's top-left sample.
// Owned by the encoder instance; built once at open, read-only afterwards.
struct scan_tables {
    uint16_t *orders[SCAN_TABLE_POINTERS];
};

// Scan kind by [log2(N) - 2][prediction mode 0..35] (35: inter or no intra mode).
extern const int32_t scan_idx_table[4][36];

// The scan kind of an NxN block coded with intra mode `mode`, for the search
// and the syntax writer alike: the table's entry, and the diagonal scan for any
// size or mode outside it (an inter block, or no intra mode).
inline int32_t scan_idx_of(int32_t log2_size, int32_t mode)
{
    if (log2_size < 2 || log2_size > 5 || mode < 0 || mode > 35) return 0;
    return scan_idx_table[log2_size - 2][mode];
}

// Builds the four square sizes into a zeroed or freed record. Returns 0, or -1
// after an allocation failure, with nothing left allocated and all pointers null.
[[nodiscard]] int scan_tables_init(scan_tables *tables);
// The same with a chosen allocator (arrays are released with aligned_free).
[[nodiscard]] int scan_tables_init_with(scan_tables *tables, void *(*alloc)(int32_t size));
// Releases every array; null pointers are ignored, and the record is cleared.
void scan_tables_free(scan_tables *tables);

static inline const uint16_t *scan_order(const scan_tables *tables, int log2_size, int scan_idx)
{
    return tables->orders[(log2_size - 2) * 15 + scan_idx];
}

void scan_build_diagonal(uint16_t *array, int w, int h);
void scan_build_vertical(uint16_t *array, int w, int h);
