// Numeric rules of the CTU search: node addressing, the chroma QP mapping,
// the depth range of the set-up, the no-split thresholds and keep-bias, the
// 16x16 split test, the intra candidate pre-selection, commits of decided
// nodes, and the save and restore of coded state.
#include <gtest/gtest.h>

#include <climits>

#include "bitstream/syntax_writer.h"
#include "tests/support/mode_search_fixture.h"

namespace {

TEST(SearchAddressing, NodeIndexFollowsTheLevelsOfTheTree)
{
    EXPECT_EQ(node_index(0, 6), 0);
    for (int k = 0; k < 4; k++) EXPECT_EQ(node_index(64 * k, 5), 1 + k);
    EXPECT_EQ(node_index(252, 3), 84);
    EXPECT_EQ(node_index(255, 2), 340);
    for (int log2 = 2; log2 <= 6; log2++)
        for (int z = 0; z < 256; z += 1 << (2 * (log2 - 2))) EXPECT_EQ(node_index(z, log2), cu_node_index(log2, z));
}

TEST(SearchAddressing, MapIndicesAgreeWithTheSyntaxWriter)
{
    EXPECT_EQ(map4_index(0), 48);
    EXPECT_EQ(map4_index(1), 49);
    EXPECT_EQ(map4_index(2), 80);
    EXPECT_EQ(map4_index(3), 81);
    for (int z = 0; z < 256; z++) EXPECT_EQ(map4_index(z), (int)zorder_to_map4[z]) << z;
    for (int z8 = 0; z8 < 64; z8++) EXPECT_EQ(chroma_map_index(z8), (int)zorder_to_map4[256 + z8]) << z8;
    for (int z8 = 0; z8 < 64; z8++) EXPECT_EQ(map8_index(4 * z8), (int)zorder_to_map8[z8]);
}

TEST(TransformUnitCoding, ChromaQpFollowsTheStandardTable)
{
    EXPECT_EQ(chroma_qp_of(29), 29);
    EXPECT_EQ(chroma_qp_of(30), 29);
    EXPECT_EQ(chroma_qp_of(39), 35);
    EXPECT_EQ(chroma_qp_of(41), 36);
    EXPECT_EQ(chroma_qp_of(43), 37);
    EXPECT_EQ(chroma_qp_of(44), 38);
    EXPECT_EQ(chroma_qp_of(51), 45);
    EXPECT_EQ(chroma_qp_of(57), 51);
    EXPECT_EQ(chroma_qp_of(-3), 0);
    EXPECT_EQ(chroma_qp_of(70), 51);
}

TEST(TransformUnitCoding, ScanFollowsModeOnlyForSmallBlocks)
{
    EXPECT_EQ(scan_idx_of(2, 26), 1);   // vertical prediction: horizontal scan
    EXPECT_EQ(scan_idx_of(3, 10), 2);   // horizontal prediction: vertical scan
    EXPECT_EQ(scan_idx_of(4, 10), 0);
    EXPECT_EQ(scan_idx_of(2, 35), 0);
    EXPECT_EQ(scan_idx_of(2, 5), 0);
    EXPECT_EQ(scan_idx_of(2, 31), 0);
    EXPECT_EQ(scan_idx_of(2, -1), 0);   // no intra mode
    EXPECT_EQ(scan_idx_of(6, 10), 0);
}

// The chroma of a 4x4 luma block is the 4x4 chroma block of its 8x8 area: the
// rough chroma cost at the fourth 4x4 block of an 8x8 CU is the CU's, both in
// the rate-distortion intra decision and in the half-resolution one.
TEST(IntraDecision, ChromaRoughCostOfA4x4BlockIsItsEightByEightArea)
{
    search_fixture f(4, 30);
    f.fill_source(3, 40);
    const ctu_context *c = &f.ctx->ctu;
    pair_metric_fn satd = f.ctx->enc->metric.satd[4];
    uint32_t cu = chroma_rough_cost(c, 8, 0, satd);
    uint32_t want = 0;
    for (int p = 0; p < 2; p++) want += satd(c->source_chroma + p * 32 + 4, 64, c->recon_chroma + p * 64 + 4, 128);
    EXPECT_EQ(cu, want);
    EXPECT_NE(cu, 0u);
    EXPECT_EQ(chroma_rough_cost(c, 12, 4, satd), cu);
}

TEST(SearchSetup, DepthRangeFromNeighbourDepths)
{
    // No neighbour: r = 0.
    EXPECT_EQ(split_depth_from_neighbours(0, 0, 100, 4), 0);
    // Left and co-located, both of minimum depth 2: r = 2, minimum split depth 1.
    EXPECT_EQ(split_depth_from_neighbours(2, 0, 2, 4), 2);
    // Four deep neighbours of minimum depth 1 at level 2: r = 2.
    EXPECT_EQ(split_depth_from_neighbours(4, 4, 1, 2), 2);
    // One neighbour of minimum depth 0: r = -1 (clamped to 0 by the caller).
    EXPECT_EQ(split_depth_from_neighbours(1, 0, 0, 4), -1);
    // Three neighbours, few deep, large minimum: one level up.
    EXPECT_EQ(split_depth_from_neighbours(3, 1, 3, 4), 2);
    // Four neighbours at level 4 need three deep ones.
    EXPECT_EQ(split_depth_from_neighbours(4, 2, 1, 4), 1);
}

TEST(SearchSetup, IntraSlicesSearchFrom32x32Down)
{
    search_fixture f(4, 30);
    mode_search_state_init(f.ctx);
    search_state(f.ctx)->speed_level = 4;
    ctu_search_setup(f.ctx);
    mode_search_state *st = search_state(f.ctx);
    EXPECT_EQ(st->min_split_depth, 1);
    EXPECT_EQ(st->max_split_depth, 4);
    EXPECT_EQ(st->ctu_qp, 30);
    EXPECT_EQ(f.ctx->ctu.qp, 30);
}

TEST(SearchThresholds, InterNoSplitThresholdAtQp32)
{
    // A 32x32 CU (depth 1) with a leaf cost of 10408 stays a leaf at QP 32;
    // 10409 goes on to the neighbour statistics.
    int32_t t = inter_qp_threshold(32, 1);
    EXPECT_EQ(t, 10409);
    EXPECT_TRUE(10408 < t);
    EXPECT_FALSE(10409 < t);
    EXPECT_EQ(inter_qp_threshold(0, 0), 2947);
    EXPECT_EQ(inter_qp_threshold(51, 2), 145341);
}

TEST(SearchThresholds, IntraKeepBiasIsComputedIn64Bits)
{
    // (80 - 51/6) x lambda x 100 passes 2^31 for this lambda.
    uint32_t lambda = 5000000;
    int64_t expect = ((int64_t)(80 - 8) * lambda * 100 + 32768) >> 14;
    EXPECT_GT((int64_t)(80 - 8) * lambda * 100, (int64_t)INT32_MAX);
    EXPECT_EQ(intra_keep_bias_of(51, lambda), expect);
    EXPECT_GT(intra_keep_bias_of(51, lambda), 0);
    EXPECT_EQ(intra_keep_bias_of(30, 1000), ((int64_t)75 * 1000 * 100 + 32768) >> 14);
}

class SplitTest : public ::testing::Test {
protected:
    search_fixture f{4, 40};
    void SetUp() override
    {
        mode_search_state_init(f.ctx);
        std::memset(f.source_luma.data(), 100, f.source_luma.size());
        f.ctx->ctu.maps.cu_qp_map[map8_index(0)] = 40;
    }
    int run(int speed)
    {
        search_state(f.ctx)->speed_level = speed;
        return cu_split_laplacian_test(f.ctx, 0, 0, 0, 4);
    }
};

TEST_F(SplitTest, FlatBlockStaysWhole)
{
    EXPECT_EQ(run(2), 0);
    EXPECT_EQ(run(4), 0);
}

TEST_F(SplitTest, ZeroQpSplitsOnAnyLaplacian)
{
    f.ctx->ctu.maps.cu_qp_map[map8_index(0)] = 0;
    f.source_luma[6 * 64 + 6] = 101;
    EXPECT_EQ(run(0), 1);
}

TEST_F(SplitTest, ManyModerateLaplaciansSplitOnlyFromLevel3)
{
    // 10 (i - 3)^2 on the even samples gives a Laplacian of 20 = t at QP 40.
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 16; x++) f.source_luma[y * 64 + x] = (uint8_t)(50 + 10 * (x / 2 - 3) * (x / 2 - 3));
    EXPECT_EQ(run(2), 0);
    EXPECT_EQ(run(3), 1);
}

TEST_F(SplitTest, OneStrongLaplacianSplitsAtAnyLevel)
{
    f.source_luma[8 * 64 + 8] = 100 - 16;   // Laplacian 64 > 3 t
    EXPECT_EQ(run(0), 1);
    f.source_luma[8 * 64 + 8] = 100 - 15;   // 60: not above 3 t, one centre only
    EXPECT_EQ(run(4), 0);
}

class Preselect : public ::testing::Test {
protected:
    search_fixture f{2, 30, 256, 256};
    uint8_t list[35];
    int32_t rep = 99;
    void SetUp() override
    {
        mode_search_state_init(f.ctx);
        search_state(f.ctx)->speed_level = 2;
    }
    void activity(int e, uint32_t v, uint32_t h, uint32_t d, uint32_t a)
    {
        ctu_activity_maps *m = &search_state(f.ctx)->activity;
        m->grad_diag[0] = 1;
        m->grad_ver[e] = v;
        m->grad_hor[e] = h;
        m->grad_diag[e] = d;
        m->grad_anti[e] = a;
    }
    int on_count() const
    {
        int n = 0;
        for (int m = 0; m < 35; m++) n += list[m];
        return n;
    }
};

TEST_F(Preselect, PictureCornerKeepsPlanarDcAndMode2)
{
    EXPECT_EQ(intra_mode_preselect(f.ctx, list, &rep, 3, 0, 0), 3);
    EXPECT_EQ(rep, 2);
    EXPECT_EQ(on_count(), 3);
    EXPECT_TRUE(list[0] && list[1] && list[2]);
}

TEST_F(Preselect, LeftAndTopEdgesDropTheRepeatingModes)
{
    EXPECT_EQ(intra_mode_preselect(f.ctx, list, &rep, 3, 0, 8), 28);
    EXPECT_EQ(rep, 2);
    for (int m = 3; m <= 9; m++) EXPECT_FALSE(list[m]);
    EXPECT_EQ(intra_mode_preselect(f.ctx, list, &rep, 3, 8, 0), 28);
    EXPECT_EQ(rep, 27);
    for (int m = 28; m <= 34; m++) EXPECT_FALSE(list[m]);
}

TEST_F(Preselect, FromLevel3EveryModeAndNoRepresentative)
{
    f.ctx->ctu.x = 1;
    f.ctx->ctu.y = 1;
    search_state(f.ctx)->speed_level = 3;
    EXPECT_EQ(intra_mode_preselect(f.ctx, list, &rep, 3, 8, 8), 35);
    EXPECT_EQ(rep, 99);
}

TEST_F(Preselect, FlatBlockTakesPlanarAndDcOnly)
{
    f.ctx->ctu.x = 1;
    f.ctx->ctu.y = 1;
    int e = activity_entry(8, 8, 8);
    activity(e, 100, 100, 100, 147);   // 447
    EXPECT_EQ(intra_mode_preselect(f.ctx, list, &rep, 3, 8, 8), 2);
    EXPECT_EQ(rep, -1);
    activity(e, 100, 100, 100, 148);   // 448: a directional window
    EXPECT_EQ(intra_mode_preselect(f.ctx, list, &rep, 3, 8, 8), 9);
}

TEST_F(Preselect, EqualActivitiesChooseTheVerticalWindow)
{
    f.ctx->ctu.x = 1;
    f.ctx->ctu.y = 1;
    int e = activity_entry(16, 16, 0);
    activity(e, 500, 500, 500, 500);
    EXPECT_EQ(intra_mode_preselect(f.ctx, list, &rep, 4, 16, 0), 9);
    for (int m = 22; m <= 30; m++) EXPECT_TRUE(list[m]);
    activity(e, 900, 900, 900, 500);
    EXPECT_EQ(intra_mode_preselect(f.ctx, list, &rep, 4, 16, 0), 10);
    EXPECT_TRUE(list[2] && list[6] && list[30] && list[34]);
}

class Commit : public ::testing::Test {
protected:
    search_fixture f{4, 30};
    cu_node *tree = nullptr;
    void SetUp() override
    {
        mode_search_state_init(f.ctx);
        search_state(f.ctx)->ctu_qp = 30;
        tree = search_state(f.ctx)->tree;
        for (int n = 0; n < CU_NODE_COUNT; n++) {
            cu_node_init(f.ctx, &tree[n]);
            tree[n].split = 0;
            tree[n].part_mode = 0;
            tree[n].pred_mode = 1;
            tree[n].intra_mode = 10;
            tree[n].chroma_mode = 4;
        }
    }
};

TEST_F(Commit, NxNEightByEightIsOneCuWithFourModes)
{
    tree[0].split = tree[1].split = tree[5].split = 1;
    tree[21].split = 1;
    for (int k = 0; k < 4; k++) tree[85 + k].intra_mode = 2 + k;
    tree[88].chroma_mode = 1;
    cu_tree_commit(f.ctx, tree, 0, 0, 0, 3);
    const cu_decision_arrays *d = &f.ctx->ctu.decision;
    EXPECT_EQ(d->cu_split[21], 0);
    EXPECT_EQ(d->tu_split[21], 1);
    EXPECT_EQ(d->part_mode[21], 3u);
    EXPECT_EQ(tree[21].part_mode, 3u);
    for (int k = 0; k < 4; k++) EXPECT_EQ(f.ctx->ctu.intra_modes[map4_index(k)], 2 + k);
    EXPECT_EQ(f.ctx->ctu.intra_modes[chroma_map_index(0)], 1);
}

TEST_F(Commit, LeafUnderAnUnsplitParentLeavesThe8x8MapsAlone)
{
    tree[1].split = 0;
    f.ctx->ctu.maps.cu_qp_map[map8_index(0)] = 7;
    cu_tree_commit(f.ctx, tree, 0, 0, 0, 4);
    EXPECT_EQ(f.ctx->ctu.decision.part_mode[5], 0u);
    EXPECT_EQ(f.ctx->ctu.maps.cu_qp_map[map8_index(0)], 7);
    EXPECT_EQ(f.ctx->ctu.intra_modes[map4_index(15)], 10);
    tree[1].split = 1;
    cu_tree_commit(f.ctx, tree, 0, 0, 0, 4);
    EXPECT_EQ(f.ctx->ctu.maps.cu_qp_map[map8_index(0)], 30);
    EXPECT_EQ(f.ctx->ctu.maps.pred_mode_map[map8_index(0)], 1);
    EXPECT_EQ(f.ctx->ctu.motion.ref_idx[0][map8_index(0)], -2);
}

TEST_F(Commit, CornerCtuCommitsOnlyUnitsInsideThePicture)
{
    search_fixture g(4, 30, 8, 8);
    mode_search_state_init(g.ctx);
    cu_node *t = search_state(g.ctx)->tree;
    for (int n = 0; n < CU_NODE_COUNT; n++) {
        cu_node_init(g.ctx, &t[n]);
        t[n].split = n < 21 ? 1 : 0;
        t[n].pred_mode = 1;
        t[n].intra_mode = 26;
        t[n].chroma_mode = 4;
    }
    g.ctx->ctu.intra_modes[map4_index(4)] = 7;
    cu_tree_commit(g.ctx, t, 0, 0, 0, 6);
    EXPECT_EQ(g.ctx->ctu.intra_modes[map4_index(0)], 26);
    EXPECT_EQ(g.ctx->ctu.intra_modes[map4_index(4)], 7) << "a unit outside the picture was written";
}

TEST_F(Commit, TransformLayersRestoreChildrenWithTheParentsTail)
{
    tree[0].tu_split = 1;
    tree[0].qp = 33;
    tree[0].lambda_sse = 777;
    for (int k = 0; k < 4; k++) f.ctx->ctu.decision.cbf_flags[1 + k] = (uint8_t)k;
    tu_layer_save(f.ctx, tree, 0, 6, 0);
    for (int k = 0; k < 4; k++) {
        tree[1 + k].qp = 5;
        tree[1 + k].tu_split = 1;
        f.ctx->ctu.decision.cbf_flags[1 + k] = 7;
    }
    tu_layer_restore(f.ctx, tree, 0, 6, 0);
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(tree[1 + k].qp, 33);
        EXPECT_EQ(tree[1 + k].lambda_sse, 777u);
        EXPECT_EQ(tree[1 + k].tu_split, 0);
        EXPECT_EQ(f.ctx->ctu.decision.cbf_flags[1 + k], k);
    }
}

TEST_F(Commit, NestedStateSavesRestoreIndependently)
{
    ctu_context *c = &f.ctx->ctu;
    std::memset(c->recon_luma, 11, 32 * 128);
    f.ctx->cabac.rate.est_bits = 1000;
    cu_state_save(f.ctx, tree, 0, 0, 0, 5);
    std::memset(c->recon_luma, 22, 16 * 128);
    f.ctx->cabac.rate.est_bits = 2000;
    cu_state_save(f.ctx, tree, 0, 0, 0, 4);
    std::memset(c->recon_luma, 33, 16 * 128);
    f.ctx->cabac.rate.est_bits = 3000;
    cu_state_restore(f.ctx, tree, 0, 0, 0, 4);
    EXPECT_EQ(c->recon_luma[5], 22);
    EXPECT_EQ(f.ctx->cabac.rate.est_bits, 2000u);
    cu_state_restore(f.ctx, tree, 0, 0, 0, 5);
    EXPECT_EQ(c->recon_luma[5], 11);
    EXPECT_EQ(c->recon_luma[31 * 128 + 3], 11);
    EXPECT_EQ(f.ctx->cabac.rate.est_bits, 1000u);
}

TEST_F(Commit, NodeInitClearsModesAndCandidateAreas)
{
    cu_node *n = &tree[7];
    n->intra_mode = 12;
    n->mode_rough_cost[3] = 5;
    n->chroma_rough_cost[1] = 5;
    cu_node_init(f.ctx, n);
    EXPECT_EQ(n->intra_mode, -1);
    EXPECT_EQ(n->mode_rough_cost[3], 0xffffffffu);
    EXPECT_EQ(n->chroma_rough_cost[1], 0xffffffffu);
    EXPECT_EQ(n->intra_cost, COST_INFINITE);
    EXPECT_EQ(n->qp, 30);
}

}  // namespace
