// Records every motion search shares: the per-CTU search context, the
// prediction-unit descriptor a caller hands to a search and the result it gets
// back. Vectors are packed: horizontal component in the low 16 bits, vertical
// in the high 16 bits, both signed, in quarter samples of the searched plane.
#pragma once
#include <cstdint>

#include "analysis/motion/motion_search.h"

enum {
    ME_MV_UNSET = 0x7fff7fff,         // a vector that is not set
    ME_COST_INFINITE = 0x1fffffff,    // a candidate not searched or not allowed
};
