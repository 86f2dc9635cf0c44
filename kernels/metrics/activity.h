// Directional activity of the 64x64 source CTU: absolute neighbour differences
// of the luma samples summed per 8x8 block and added up to 16x16, 32x32 and the
// whole CTU. Mode decision reads the entry of a CU by its size and position.
#pragma once
#include <cstdint>

enum {
    ACTIVITY_ENTRIES = 88,   // 85 used: 1 + 4 + 16 + 64, then 3 spare
    ACTIVITY_BASE_64 = 0,
    ACTIVITY_BASE_32 = 1,
    ACTIVITY_BASE_16 = 5,
    ACTIVITY_BASE_8 = 21,
};

// Five arrays in this order; within a level the entries are in raster order.
struct ctu_activity_maps {
    uint32_t grad_hv[ACTIVITY_ENTRIES];    // |p(x,y)-p(x+1,y)| + |p(x,y)-p(x,y+1)|
    uint32_t grad_ver[ACTIVITY_ENTRIES];   // |p(x,y)-p(x,y+1)|
    uint32_t grad_hor[ACTIVITY_ENTRIES];   // |p(x,y)-p(x+1,y)|
    uint32_t grad_diag[ACTIVITY_ENTRIES];  // |p(x,y)-p(x+1,y+1)|
    uint32_t grad_anti[ACTIVITY_ENTRIES];  // |p(x,y+1)-p(x+1,y)|
};

// Entry of the block of size 64, 32, 16 or 8 at luma position (x, y) in the CTU.
static inline int activity_entry(int size, int x, int y)
{
    int base = size == 64 ? ACTIVITY_BASE_64 : size == 32 ? ACTIVITY_BASE_32
             : size == 16 ? ACTIVITY_BASE_16 : ACTIVITY_BASE_8;
    return base + (y / size) * (64 / size) + x / size;
}

// The kernels read the 64x64 luma source CTU copy (row stride 64).
typedef void (*ctu_activity_fn)(const uint8_t *src, ctu_activity_maps *maps);

void ctu_activity_hv_c(const uint8_t *src, ctu_activity_maps *maps);
void ctu_activity_hv3_c(const uint8_t *src, ctu_activity_maps *maps);
void ctu_activity_4dir_c(const uint8_t *src, ctu_activity_maps *maps);
void ctu_activity_diag_c(const uint8_t *src, ctu_activity_maps *maps);

void ctu_activity_hv_ssse3(const uint8_t *src, ctu_activity_maps *maps);
void ctu_activity_hv3_ssse3(const uint8_t *src, ctu_activity_maps *maps);
void ctu_activity_4dir_ssse3(const uint8_t *src, ctu_activity_maps *maps);
void ctu_activity_diag_ssse3(const uint8_t *src, ctu_activity_maps *maps);

// Fills the 16x16, 32x32 and 64x64 entries of one array from its 8x8 entries.
void activity_levels_sum(uint32_t *arr);

// Arrays a kernel fills (a bit set), and the level sums of those arrays.
enum {
    ARR_HV = 1,
    ARR_VER = 2,
    ARR_HOR = 4,
    ARR_DIAG = 8,
    ARR_ANTI = 16,
};
void activity_levels_sum_arrays(ctu_activity_maps *maps, int32_t arrays);
