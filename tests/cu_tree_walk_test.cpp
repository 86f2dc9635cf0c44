// The CU-tree walk that completes the per-8x8 maps after the search.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "encoder/encoder_instance.h"
#include "support/test_records.h"

namespace {

struct walk_fixture {
    row_context *inst;
    uint8_t depth_min[4], depth_max[4];

    walk_fixture(int width, int height)
    {
        inst = test_row_context_new();
        inst->enc->width = width;
        inst->enc->height = height;
        inst->enc->ctu_cols = (width + 63) / 64;
        inst->enc->ctu_rows = (height + 63) / 64;
        inst->enc->sps.log2_max_tb_size = 5;
        inst->fi->tables.ctu_depth_min = depth_min;
        inst->fi->tables.ctu_depth_max = depth_max;
        depth_min[0] = 100;
        depth_max[0] = 0;
        ctu_context *c = &inst->ctu;
        c->skip_all = 1;
        c->min_block = 64;
        c->qg_delta_pending = 1;
        c->qg_units = 256;
        std::memset(c->maps.tu_size_map, 0xEE, sizeof(c->maps.tu_size_map));
    }
    ~walk_fixture() { std::free(inst); }

    ctu_context *ctu() { return &inst->ctu; }
    // Marks a CU leaf of log2 size n at z with the given prediction mode.
    void leaf(int z, int n, int intra, int part_mode, uint8_t cbf)
    {
        ctu_context *c = ctu();
        int node = cu_node_index(n, z);
        c->decision.cu_split[node] = 0;
        c->decision.part_mode[node] = (uint32_t)part_mode;
        c->decision.cbf_flags[node] = cbf;
        int units = n >= 3 ? 1 << (n - 3) : 1, first = map8_index(z);
        for (int r = 0; r < units; r++)
            for (int k = 0; k < units; k++) {
                c->maps.pred_mode_map[first + r * CTU_MAP8_STRIDE + k] = (int8_t)intra;
                c->maps.cu_depth_map[first + r * CTU_MAP8_STRIDE + k] = (int8_t)(6 - n);
            }
    }
    uint8_t tu(int z) { return ctu()->maps.tu_size_map[map8_index(z)]; }
    uint8_t flags(int z) { return ctu()->maps.cu_flags_map[map8_index(z)]; }
};

TEST(CuTreeWalk, ChildrenOutsideThePictureAreNotVisited)
{
    walk_fixture f(40, 24);   // one CTU, cut to 40 x 24
    ctu_context *c = f.ctu();
    c->decision.cu_split[0] = 1;
    c->decision.cu_split[cu_node_index(5, 0)] = 1;
    for (int z = 0; z < 64; z += 16) f.leaf(z, 4, 1, 0, 0);  // 16x16 CUs of the top-left 32x32
    f.leaf(64, 5, 1, 0, 0);                                  // top-right 32x32 starts at x 32 < 40
    cu_tree_walk(f.inst, 0, 0, 0, 6);
    EXPECT_EQ(f.tu(0), 4);
    EXPECT_EQ(f.tu(64), 8);
    EXPECT_EQ(f.tu(128), 0xEE) << "bottom-left 32x32 starts below the picture";
    EXPECT_EQ(f.tu(192), 0xEE);
    EXPECT_EQ(f.tu(32), 4) << "the 16x16 at y 16 still starts inside";
    EXPECT_EQ(f.depth_min[0], 1);
    EXPECT_EQ(f.depth_max[0], 2);
    EXPECT_EQ(c->min_block, 16);
}

TEST(CuTreeWalk, MergedInterCuWithoutResidualHasNoResidualFlag)
{
    walk_fixture f(64, 64);
    ctu_context *c = f.ctu();
    f.leaf(0, 6, 0, 0, 0);
    std::memset(c->motion.merge_flag_map, 1, sizeof(c->motion.merge_flag_map));
    std::memset(c->maps.cu_flags_map, 2, sizeof(c->maps.cu_flags_map));
    c->decision.tu_split[0] = 1;   // 64x64 transform trees always split to 32x32
    cu_tree_walk(f.inst, 0, 0, 0, 6);
    EXPECT_EQ(f.flags(0) & 2, 0);
    EXPECT_EQ(f.flags(255) & 2, 0);
    EXPECT_EQ(f.tu(0), 8) << "32x32 transforms: 8 units of 4 samples";
    EXPECT_EQ(c->skip_all, 0u);
}

TEST(CuTreeWalk, IntraNxNEightByEightWritesFourByFourSpacing)
{
    walk_fixture f(64, 64);
    ctu_context *c = f.ctu();
    c->decision.cu_split[0] = 1;
    c->decision.cu_split[cu_node_index(5, 0)] = 1;
    c->decision.cu_split[cu_node_index(4, 0)] = 1;
    f.leaf(0, 3, 1, 3, 1);
    c->decision.tu_split[cu_node_index(3, 0)] = 1;
    cu_tree_walk(f.inst, 0, 0, 0, 3);
    EXPECT_EQ(f.flags(0) & 2, 2) << "the root coded-block byte is non-zero";
    EXPECT_EQ(f.tu(0), 1);
    EXPECT_EQ(c->min_block, 4);
}

TEST(CuTreeWalk, SkippedCuClearsResidualAndKeepsTheSkipState)
{
    walk_fixture f(64, 64);
    ctu_context *c = f.ctu();
    f.leaf(0, 6, 0, 0, 0);
    std::memset(c->maps.cu_flags_map, 3, sizeof(c->maps.cu_flags_map));
    cu_tree_walk(f.inst, 0, 0, 0, 6);
    EXPECT_EQ(f.flags(0), 1);
    EXPECT_EQ(f.flags(255), 1);
    EXPECT_EQ(f.tu(0), 16);
    EXPECT_EQ(c->skip_all, 1u);
    EXPECT_EQ(c->min_block, 64);
}

TEST(CuTreeWalk, PredictionEdgeHalvesTheSpacingOfAnUnsplitTransform)
{
    walk_fixture f(64, 64);
    ctu_context *c = f.ctu();
    c->decision.cu_split[0] = 1;
    f.leaf(0, 5, 0, 1, 1);   // 32x32 inter 2NxN with residual, transform not split
    for (int z = 64; z < 256; z += 64) f.leaf(z, 5, 1, 0, 0);
    cu_tree_walk(f.inst, 0, 0, 0, 6);
    EXPECT_EQ(f.tu(0), 4);
    EXPECT_EQ(f.flags(0) & 2, 2);
    EXPECT_EQ(c->min_block, 16);
}

TEST(CuTreeWalk, CusWithoutResidualBeforeTheFirstCodedOneTakeThePredictedQp)
{
    walk_fixture f(64, 64);
    ctu_context *c = f.ctu();
    f.inst->enc->pps.cu_qp_delta_enabled = 1;
    f.inst->enc->pps.diff_cu_qp_delta_depth = 0;
    f.inst->qp_prev = 30;
    std::memset(c->maps.cu_qp_map, -1, sizeof(c->maps.cu_qp_map));  // no neighbours
    c->decision.cu_split[0] = 1;
    f.leaf(0, 5, 1, 0, 0);
    f.leaf(64, 5, 1, 0, 1);
    f.leaf(128, 5, 1, 0, 0);
    f.leaf(192, 5, 1, 0, 0);
    for (int z = 0; z < 256; z++) c->maps.cu_qp_map[map8_index(z)] = 37;
    cu_tree_walk(f.inst, 0, 0, 0, 6);
    EXPECT_EQ(c->maps.cu_qp_map[map8_index(0)], 30) << "predicted: the previous QP";
    EXPECT_EQ(c->maps.cu_qp_map[map8_index(64)], 37);
    EXPECT_EQ(c->maps.cu_qp_map[map8_index(128)], 37) << "after the group's coded residual";
    EXPECT_EQ(c->qg_delta_pending, 0u);
}

}  // namespace
