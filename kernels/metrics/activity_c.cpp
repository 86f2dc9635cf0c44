// Portable CTU directional activity. Per 8x8 block only rows 0..6 contribute
// (row 6 pairs with row 7 of the same block, so nothing reaches into the block
// below); all 8 columns do, the right neighbour of column 7 being column 0 of
// the next block, clamped to column 63 at the CTU's right edge.
#include <cstdlib>

#include "kernels/metrics/activity.h"

void activity_levels_sum(uint32_t *arr)
{
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++) {
            const uint32_t *q = arr + ACTIVITY_BASE_8 + 16 * y + 2 * x;
            arr[ACTIVITY_BASE_16 + 4 * y + x] = q[0] + q[1] + q[8] + q[9];
        }
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 2; x++) {
            const uint32_t *q = arr + ACTIVITY_BASE_16 + 8 * y + 2 * x;
            arr[ACTIVITY_BASE_32 + 2 * y + x] = q[0] + q[1] + q[4] + q[5];
        }
    arr[ACTIVITY_BASE_64] = arr[1] + arr[2] + arr[3] + arr[4];
}

void activity_levels_sum_arrays(ctu_activity_maps *maps, int32_t arrays)
{
    if (arrays & ARR_HV) activity_levels_sum(maps->grad_hv);
    if (arrays & ARR_VER) activity_levels_sum(maps->grad_ver);
    if (arrays & ARR_HOR) activity_levels_sum(maps->grad_hor);
    if (arrays & ARR_DIAG) activity_levels_sum(maps->grad_diag);
    if (arrays & ARR_ANTI) activity_levels_sum(maps->grad_anti);
}

static void activity_c(const uint8_t *src, ctu_activity_maps *maps, int arrays)
{
    for (int by = 0; by < 8; by++)
        for (int bx = 0; bx < 8; bx++) {
            uint32_t ver = 0, hor = 0, diag = 0, anti = 0;
            for (int y = 8 * by; y < 8 * by + 7; y++) {
                const uint8_t *row = src + 64 * y;
                const uint8_t *below = row + 64;
                for (int x = 8 * bx; x < 8 * bx + 8; x++) {
                    int xr = x < 63 ? x + 1 : 63;
                    ver += (uint32_t)std::abs(row[x] - below[x]);
                    hor += (uint32_t)std::abs(row[x] - row[xr]);
                    diag += (uint32_t)std::abs(row[x] - below[xr]);
                    anti += (uint32_t)std::abs(below[x] - row[xr]);
                }
            }
            int e = ACTIVITY_BASE_8 + 8 * by + bx;
            if (arrays & ARR_HV) maps->grad_hv[e] = ver + hor;
            if (arrays & ARR_VER) maps->grad_ver[e] = ver;
            if (arrays & ARR_HOR) maps->grad_hor[e] = hor;
            if (arrays & ARR_DIAG) maps->grad_diag[e] = diag;
            if (arrays & ARR_ANTI) maps->grad_anti[e] = anti;
        }
    activity_levels_sum_arrays(maps, arrays);
}

void ctu_activity_hv_c(const uint8_t *src, ctu_activity_maps *maps) { activity_c(src, maps, ARR_HV); }

void ctu_activity_hv3_c(const uint8_t *src, ctu_activity_maps *maps)
{
    activity_c(src, maps, ARR_HV | ARR_VER | ARR_HOR);
}

void ctu_activity_4dir_c(const uint8_t *src, ctu_activity_maps *maps)
{
    activity_c(src, maps, ARR_VER | ARR_HOR | ARR_DIAG | ARR_ANTI);
}

void ctu_activity_diag_c(const uint8_t *src, ctu_activity_maps *maps)
{
    activity_c(src, maps, ARR_DIAG | ARR_ANTI);
}
