// Builds the scan orders at open. Every order walks 4x4 groups and, inside a
// group, its sixteen positions, both in the same kind of order, as H.265
// residual coding (clause 7.3.8.11) does.
#include "kernels/quant/scan_tables.h"

#include <cstring>

#include "encoder/memory.h"

#define SCAN_ROW(a, b) \
    0, 0, 0, 0, 0, 0, a, a, a, a, a, a, a, a, a, 0, 0, 0, 0, 0, 0, 0, \
    b, b, b, b, b, b, b, b, b, 0, 0, 0, 0, 0

// Intra blocks of 4x4 and 8x8 scan vertically for the near-horizontal modes
// 6..14 and horizontally for the near-vertical modes 22..30 (clause 7.4.9.11).
const int32_t scan_idx_table[4][36] = {
    {SCAN_ROW(2, 1)},
    {SCAN_ROW(2, 1)},
    {SCAN_ROW(0, 0)},
    {SCAN_ROW(0, 0)},
};

#undef SCAN_ROW

// Visits the cells of a cols x rows grid in up-right diagonal order: each
// anti-diagonal from its bottom-left cell towards the top-right.
template <typename Visit>
static void diagonal_walk(int cols, int rows, Visit visit)
{
    for (int d = 0; d < cols + rows - 1; d++) {
        int row = d < rows ? d : rows - 1;
        int col = d - row;
        for (; row >= 0 && col < cols; row--, col++) visit(col, row);
    }
}

void scan_build_diagonal(uint16_t *array, int w, int h)
{
    if (w * h < 16) return;
    int i = 0;
    diagonal_walk(w / 4, h / 4, [&](int gx, int gy) {
        diagonal_walk(4, 4, [&](int x, int y) {
            array[i++] = (uint16_t)((gy * 4 + y) * w + gx * 4 + x);
        });
    });
}

static void scan_build_horizontal(uint16_t *array, int w, int h)
{
    int i = 0;
    for (int gy = 0; gy < h; gy += 4)
        for (int gx = 0; gx < w; gx += 4)
            for (int y = 0; y < 4; y++)
                for (int x = 0; x < 4; x++) array[i++] = (uint16_t)((gy + y) * w + gx + x);
}

void scan_build_vertical(uint16_t *array, int w, int h)
{
    int i = 0;
    for (int gx = 0; gx < w; gx += 4)
        for (int gy = 0; gy < h; gy += 4)
            for (int x = 0; x < 4; x++)
                for (int y = 0; y < 4; y++) array[i++] = (uint16_t)((gy + y) * w + gx + x);
}

int scan_tables_init_with(scan_tables *tables, void *(*alloc)(int32_t size))
{
    memset(tables->orders, 0, sizeof(tables->orders));
    for (int log2n = 2; log2n <= 5; log2n++) {
        int n = 1 << log2n;
        uint16_t **entry = &tables->orders[(log2n - 2) * 15];
        for (int s = 0; s < 3; s++) {
            entry[s] = (uint16_t *)alloc((int32_t)(2 * n * n));
            if (!entry[s]) {
                scan_tables_free(tables);
                return -1;
            }
        }
        scan_build_diagonal(entry[SCAN_DIAGONAL], n, n);
        scan_build_horizontal(entry[SCAN_HORIZONTAL], n, n);
        scan_build_vertical(entry[SCAN_VERTICAL], n, n);
    }
    return 0;
}

int scan_tables_init(scan_tables *tables)
{
    return scan_tables_init_with(tables, aligned_malloc);
}

void scan_tables_free(scan_tables *tables)
{
    for (int i = 0; i < SCAN_TABLE_POINTERS; i++) {
        aligned_free(tables->orders[i]);
        tables->orders[i] = nullptr;
    }
}
