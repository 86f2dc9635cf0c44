// The committed decisions of the CTU in hand, as deblocking reads them: the
// per-8x8 maps with the left and above borders of the neighbouring CTUs, the
// per-8x8 motion, and the decided tree per node. Mode decision fills them and
// the CU tree walk completes them; deblocking only adds the coded-luma bits
// 4..7 of the flags map.
#pragma once
#include <cstdint>

// A per-8x8 map: 10 rows of 16 units. The CTU's unit (x, y) is at row y + 1,
// column x + 8; column 7 of rows 1..8 holds the left CTU's right column and
// row 0, columns 8..15 the above CTU's bottom row.
enum {
    CTU_MAP8_STRIDE = 16,
    CTU_MAP8_SIZE = 160,
    CTU_MAP8_ORIGIN = 24,  // unit (0, 0) of the CTU
};

struct ctu_cu_maps {
    // bit 0 skip, bit 1 coded residual, bits 4..7 coded luma residual in the
    // unit's top-left, top-right, bottom-left, bottom-right 4x4 quadrant
    uint8_t cu_flags_map[CTU_MAP8_SIZE];
    int8_t cu_depth_map[CTU_MAP8_SIZE];
    // run in 4-sample units over which neither the transform block nor the
    // prediction block of the unit changes (16 in borders without a CTU)
    uint8_t tu_size_map[CTU_MAP8_SIZE];
    int8_t cu_qp_map[CTU_MAP8_SIZE];
    // 1 intra, 0 inter, negative: no unit (outside the picture)
    int8_t pred_mode_map[CTU_MAP8_SIZE];
};

struct ctu_motion_grid {
    uint8_t merge_flag_map[CTU_MAP8_SIZE];
    uint8_t merge_idx_map[CTU_MAP8_SIZE];
    // -1: the list is not used; -2: intra unit or no unit
    int8_t ref_idx[2][CTU_MAP8_SIZE];
    // x in the low, y in the high signed 16 bits, quarter samples
    uint32_t mv[2][CTU_MAP8_SIZE];
};

// Tree nodes: {0, 1, 5, 21, 85}[6 - log2 size] + the z-order index at that size:
// one 64x64, four 32x32, sixteen 16x16, sixty-four 8x8 and 256 4x4 nodes.
enum { CU_TREE_NODES = 341 };

struct cu_decision_arrays {
    int32_t cu_split[CU_TREE_NODES];
    int32_t tu_split[CU_TREE_NODES];
    uint32_t part_mode[CU_TREE_NODES];  // 0 2Nx2N, 1 2NxN, 2 Nx2N, 3 NxN
    uint8_t residual_mode[CU_TREE_NODES];
    uint8_t cbf_flags[CU_TREE_NODES];  // bit 0 Y, bit 1 Cb, bit 2 Cr
};

// Entries 0..63: the per-8x8 map index of the CTU's 8x8 unit with each z-order
// index; 64..95: the same rule on 4x4 grids with origins 18 and 98.
extern const int32_t zorder_to_map8[96];

static inline int cu_tree_node(int z4, int log2_size)
{
    static const int base[5] = {0, 1, 5, 21, 85};
    return base[6 - log2_size] + (z4 >> (2 * (log2_size - 2)));
}

// Whether a transform node of log2 size 2..6 at `depth` below its CU splits as
// the syntax codes it. Only nodes from 8x8 to 32x32 above the CU's depth
// limit send their split flag; a node above 32x32 always splits, and so does
// the root when the syntax infers it (intra NxN; a two-unit inter CU without
// inter depth). Everywhere else the split is inferred clear, whatever the
// arrays hold there: below a leaf they keep other candidates' trees.
static inline bool tu_node_splits(int32_t split_flag, int log2_size, int depth, int max_depth, bool root_split)
{
    if (log2_size > 5) return true;
    if (depth == 0 && root_split) return true;
    return split_flag != 0 && log2_size > 2 && depth < max_depth;
}

// The depth limit of a CU's transform tree and the split the syntax infers at
// its root: an intra NxN CU splits its root, and its units may split once
// more; a two-unit inter CU splits its root when inter trees have no depth.
static inline int tu_cu_max_depth(bool intra, uint32_t part, int max_depth_intra, int max_depth_inter)
{
    return intra ? max_depth_intra + (part == 3 ? 1 : 0) : max_depth_inter;
}

static inline bool tu_cu_root_split(bool intra, uint32_t part, int max_depth_inter)
{
    return intra ? part == 3 : max_depth_inter == 0 && part != 0;
}
