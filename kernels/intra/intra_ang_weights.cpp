// Weight pairs of the angular predictors' fractional positions, shared by the
// vector kernels of every size.
#include "kernels/intra/intra_pred_kernels.h"

#define INTRA_PAIR(f) (uint8_t)(32 - (f)), (uint8_t)(f)
#define INTRA_PAIRS4(f) INTRA_PAIR(f), INTRA_PAIR(f), INTRA_PAIR(f), INTRA_PAIR(f)
#define INTRA_ROW(f) {INTRA_PAIRS4(f), INTRA_PAIRS4(f), INTRA_PAIRS4(f), INTRA_PAIRS4(f)}

alignas(32) const uint8_t intra_ang_frac_weights[32][32] = {
    INTRA_ROW(0),  INTRA_ROW(1),  INTRA_ROW(2),  INTRA_ROW(3),  INTRA_ROW(4),  INTRA_ROW(5),
    INTRA_ROW(6),  INTRA_ROW(7),  INTRA_ROW(8),  INTRA_ROW(9),  INTRA_ROW(10), INTRA_ROW(11),
    INTRA_ROW(12), INTRA_ROW(13), INTRA_ROW(14), INTRA_ROW(15), INTRA_ROW(16), INTRA_ROW(17),
    INTRA_ROW(18), INTRA_ROW(19), INTRA_ROW(20), INTRA_ROW(21), INTRA_ROW(22), INTRA_ROW(23),
    INTRA_ROW(24), INTRA_ROW(25), INTRA_ROW(26), INTRA_ROW(27), INTRA_ROW(28), INTRA_ROW(29),
    INTRA_ROW(30), INTRA_ROW(31),
};
