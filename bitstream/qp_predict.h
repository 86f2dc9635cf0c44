// Predicted luma QP (qPY_PRED of H.265) of the quantisation group holding a CU.
#pragma once
#include <cstdint>

// qp_map: the per-8x8 QP map of the CTU, rows of 16 entries, the CTU at rows
// 1..8 and columns 8..15 (a negative entry is unavailable). qp_prev: QP of the
// CU coded last. z: z-index, in 4x4 units, of the CU inside the CTU.
int32_t cu_qp_predict(const int8_t *qp_map, int32_t qp_prev, int32_t diff_cu_qp_delta_depth,
                      int32_t z);
