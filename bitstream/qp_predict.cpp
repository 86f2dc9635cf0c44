#include "bitstream/qp_predict.h"

enum { map_stride = 16, map_ctu_col = 8, map_ctu_row = 1 };

// Map index of the 8x8 unit with z-index z8 (0..63) inside the CTU.
static int map_unit_of_z8(int z8)
{
    int x = (z8 & 1) | ((z8 >> 1) & 2) | ((z8 >> 2) & 4);
    int y = ((z8 >> 1) & 1) | ((z8 >> 2) & 2) | ((z8 >> 3) & 4);
    return (map_ctu_row + y) * map_stride + map_ctu_col + x;
}

int32_t cu_qp_predict(const int8_t *qp_map, int32_t qp_prev, int32_t diff_cu_qp_delta_depth,
                      int32_t z)
{
    int group_bits = 2 * (4 - diff_cu_qp_delta_depth);
    int g = z & ~((1 << group_bits) - 1);
    int u = map_unit_of_z8(g >> 2);
    // Every CU of the group before the first coded delta carries the group's
    // prediction in the map, so a later CU of the group reads it back.
    if (z != g)
        return qp_map[u];
    int col = u % map_stride;
    int row = u / map_stride;
    int left = qp_prev;
    int above = qp_prev;
    // Neighbours in another CTU do not count: the standard falls back to the
    // previous QP there.
    if (col > map_ctu_col && qp_map[u - 1] >= 0)
        left = qp_map[u - 1];
    if (row > map_ctu_row && qp_map[u - map_stride] >= 0)
        above = qp_map[u - map_stride];
    return (left + above + 1) >> 1;
}
