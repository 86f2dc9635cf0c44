// What the speed level of a CTU search (0 fastest .. 7 most thorough) turns
// on, by name, so that every search that branches on it agrees.
#pragma once
#include <cstdint>

// Candidates are ranked by the cost metric rather than by SATD or SA8D.
static inline bool ranks_by_cost_metric(int32_t speed_level)
{
    return speed_level >= 3;
}

// The quadtree takes the fast levels' shortcuts: a CU whose unsplit cost is
// under the leaf threshold stays unsplit, similar neighbours bound the depth,
// and a texture test may stop a 16x16 split.
static inline bool takes_split_shortcuts(int32_t speed_level)
{
    return speed_level < 3;
}

// Sub-sample refinement runs two half-sample passes and the diagonal half
// positions, and tries eight quarter-sample neighbours instead of four.
static inline bool refines_subpel_twice(int32_t speed_level)
{
    return speed_level >= 4;
}

// A vector whose whole-sample cost is already twice the bound skips the
// sub-sample refinement.
static inline bool skips_hopeless_subpel(int32_t speed_level)
{
    return speed_level < 6;
}

// The alternative RDOQ is switched on after an intra decision; the picking
// modes of the latency tunings (0 and below) want it one level later.
static inline bool intra_wants_rdoq_alt(int32_t speed_level, int32_t pick_mode)
{
    return pick_mode <= 0 ? speed_level >= 4 : speed_level >= 3;
}

// The split-or-leaf choice codes its winner with the alternative RDOQ.
static inline bool chooses_with_rdoq_alt(int32_t speed_level)
{
    return speed_level >= 3;
}

// Intra is tried in inter CUs without the low-resolution screening that asks
// whether the lookahead found intra best there.
static inline bool tries_intra_unscreened(int32_t speed_level)
{
    return speed_level >= 4;
}
