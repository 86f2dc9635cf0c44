// The intra paths of the fast levels and of the half-resolution pre-search,
// CU by CU on a prepared row context: how many modes the pre-search returns
// and when it runs at all, the quad-tree's leaf/split rules at the picture
// edge and on ties, the texture weights' switch, and the reading of the
// signed intra-mode map.
#include <gtest/gtest.h>

#include <vector>

#include "kernels/mc/lowres_planes.h"
#include "tests/support/mode_search_fixture.h"

namespace {

// A fixture whose source picture has a half-resolution plane of the CTU.
struct halfres_fixture {
    search_fixture f;
    std::vector<uint8_t> half;
    uint8_t allowed[35];
    int32_t mpm[3] = {0, 1, 26};

    explicit halfres_fixture(int level) : f(level, 30)
    {
        f.fill_source(7, 40);
        half.assign(64 * 40, 0);
        uint8_t *planes[1] = {half.data()};
        downscale_2x2_plane_c(planes, 64, f.source_luma.data(), 64, 32, 32);
        f.source_pic.lowres_plane = half.data();
        f.source_pic.lowres_stride = 64;
        mode_search_state_init(f.ctx);
        search_state(f.ctx)->speed_level = level;
        for (int m = 0; m < 35; m++) allowed[m] = 1;
    }

    int32_t run(int32_t log2, uint32_t out[3])
    {
        return intra_halfres_presearch(f.ctx, search_state(f.ctx)->coarse, 0, 0, log2, allowed, out, mpm, 40);
    }
};

TEST(HalfresPresearch, EightByEightCusNeverPresearch)
{
    halfres_fixture h(2);
    uint32_t out[3] = {99, 99, 99};
    EXPECT_EQ(h.run(3, out), 0);
    EXPECT_EQ(out[0], 99u);
}

TEST(HalfresPresearch, WithoutAHalfResolutionPlaneNothingIsDone)
{
    halfres_fixture h(2);
    h.f.source_pic.lowres_plane = nullptr;
    uint32_t out[3];
    EXPECT_EQ(h.run(4, out), 0);
}

TEST(HalfresPresearch, NarrowSearchReturnsTwoAndWideSearchThreeModes)
{
    for (int level : {0, 1, 2, 4}) {
        halfres_fixture h(level);
        for (int log2 = 4; log2 <= 6; log2++) {
            uint32_t out[3] = {99, 99, 99};
            int32_t n = h.run(log2, out);
            EXPECT_EQ(n, level < 2 ? 2 : 3) << "level " << level << " log2 " << log2;
            for (int i = 0; i < n; i++) EXPECT_LT(out[i], 35u);
            EXPECT_NE(out[0], out[1]);
        }
    }
}

TEST(HalfresPresearch, NoAllowedGridModeLeavesTwoModes)
{
    halfres_fixture h(3);
    for (int m = 2; m < 35; m++) h.allowed[m] = 0;
    uint32_t out[3] = {99, 99, 99};
    EXPECT_EQ(h.run(5, out), 2);
    EXPECT_TRUE((out[0] == 0 && out[1] == 1) || (out[0] == 1 && out[1] == 0));
}

TEST(HalfresPresearch, OnlyAllowedModesAreReturned)
{
    halfres_fixture h(2);
    for (int m = 2; m < 35; m++) h.allowed[m] = m >= 18 && m <= 26;
    uint32_t out[3];
    int32_t n = h.run(4, out);
    for (int i = 0; i < n; i++) EXPECT_TRUE(out[i] < 2 || (out[i] >= 18 && out[i] <= 26)) << out[i];
}

// The decision leaves a coded 2Nx2N intra CU whatever path the rough search took.
TEST(HalfresPresearch, DecisionLeavesACodedIntraCu)
{
    for (int level : {0, 2}) {
        halfres_fixture h(level);
        search_fixture &f = h.f;
        ctu_search_setup(f.ctx);
        cu_node *tree = search_state(f.ctx)->tree;
        for (int log2 = 3; log2 <= 5; log2++) {
            cu_node *node = &tree[node_index(0, log2)];
            cu_node_init(f.ctx, node);
            rate_snapshot(f.ctx, 6 - log2);
            cu_decide_intra_presearch(f.ctx, tree, search_state(f.ctx)->coarse, 0, 0, 0, log2);
            EXPECT_GE(node->intra_mode, 0);
            EXPECT_LE(node->intra_mode, 34);
            EXPECT_EQ(node->pred_mode, 1);
            EXPECT_LT(node->intra_cost, COST_INFINITE);
            EXPECT_EQ(f.ctx->ctu.intra_modes[map4_index(0)], node->intra_mode);
        }
    }
}

struct fast_tree_fixture {
    search_fixture f;
    fast_tree_fixture(int w, int h) : f(6, 30, w, h)
    {
        f.fill_source(3, 50);
    }
};

TEST(FastIntraQuadTree, SixtyFourSquareCuIsNeverALeaf)
{
    fast_tree_fixture t(64, 64);
    ctu_search_fast_intra(t.f.ctx);
    const cu_node *tree = search_state(t.f.ctx)->tree;
    EXPECT_EQ(tree[0].split, 1);
    EXPECT_EQ(t.f.ctx->ctu.decision.cu_split[0], 1);
    EXPECT_EQ(tree[0].intra_cost == COST_INFINITE, false);
}

TEST(FastIntraQuadTree, CusCrossingThePictureEdgeSplitAndOutsideChildrenAreNotSearched)
{
    fast_tree_fixture t(40, 24);
    ctu_search_fast_intra(t.f.ctx);
    const cu_node *tree = search_state(t.f.ctx)->tree;
    // 32x32 at (0,0) crosses the bottom edge: split.
    EXPECT_EQ(tree[node_index(0, 5)].split, 1);
    // The 16x16 at (16, 16) crosses the bottom edge (rows 16..31 of 24): split.
    EXPECT_EQ(tree[node_index(48, 4)].split, 1);
    // Every unit inside the picture got a depth; none outside.
    const int8_t *dm = t.f.ctx->ctu.maps.cu_depth_map;
    for (int y = 0; y < 64; y += 8)
        for (int x = 0; x < 64; x += 8) {
            int z = 0;
            for (int b = 0; b < 3; b++) z |= (((x >> (3 + b)) & 1) << (2 * b + 2)) | (((y >> (3 + b)) & 1) << (2 * b + 3));
            int8_t d = dm[map8_index(z)];
            if (x < 40 && y < 24) EXPECT_GE(d, 1) << x << "," << y;
            else EXPECT_EQ(d, -1) << x << "," << y;
        }
    // A child below the picture was never initialised (the tree starts zeroed).
    EXPECT_EQ(tree[node_index(128, 5)].intra_cost, 0u);
}

TEST(FastIntraQuadTree, EqualLeafAndSplitCostsKeepTheLeaf)
{
    for (int delta : {0, 1}) {
        fast_tree_fixture t(64, 64);
        search_fixture &f = t.f;
        mode_search_state_init(f.ctx);
        ctu_search_setup(f.ctx);
        cu_node *tree = search_state(f.ctx)->tree;
        cu_node *node = &tree[node_index(0, 5)];
        cu_node_init(f.ctx, node);
        node->pred_mode = 1;
        node->intra_mode = 1;
        node->chroma_mode = 4;
        node->intra_cost = 1000;
        node->split_flag0_cost = 10;
        node->split_flag1_cost = 20;
        for (int k = 0; k < 4; k++) {
            cu_node *c = &tree[node_index(16 * k, 4)];
            cu_node_init(f.ctx, c);
            c->pred_mode = 1;
            c->intra_mode = 1;
            c->chroma_mode = 4;
            c->intra_cost = k == 0 ? 240 - delta : 250;
        }
        rate_snapshot(f.ctx, 1);
        cu_state_save(f.ctx, tree, 0, 0, 0, 5);
        cu_choose_fast_intra(f.ctx, tree, 0, 0, 0, 5, (1 << 2) | 3);
        EXPECT_EQ(node->split, delta) << "children " << 990 - delta << " against leaf 1010";
        EXPECT_EQ(node->intra_cost, 1010u - delta);
    }
}

TEST(TextureWeights, StrengthZeroLeavesTheGridAlone)
{
    search_fixture f(6, 30);
    f.fill_source(1, 0);
    mode_search_state_init(f.ctx);
    mode_search_state *st = search_state(f.ctx);
    for (int i = 0; i < 256; i++) st->dist_weight_map[i] = 77;
    ctu_texture_weights(f.ctx);
    for (int i = 0; i < 256; i++) ASSERT_EQ(st->dist_weight_map[i], 77);
    st->rd_extra_weight = 16;
    std::fill(f.source_luma.begin(), f.source_luma.end(), 90);
    ctu_texture_weights(f.ctx);
    for (int i = 0; i < 256; i++) ASSERT_EQ(st->dist_weight_map[i], 1024) << "flat 4x4 unit " << i;
}

// With a strength the luma distortion adds a quarter of the weighted 4x4
// SSEs of the block's own units: flat units raise it, textured units lower it
// to no less than half the plain SSE.
TEST(TextureWeights, WeightedDistortionReadsTheBlocksOwnUnits)
{
    search_fixture f(6, 30);
    mode_search_state_init(f.ctx);
    mode_search_state *st = search_state(f.ctx);
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) f.ctx->ctu.recon_luma[y * CTU_WORK_STRIDE + x] = 3;
    const uint32_t plain = 16 * 16 * 9;
    EXPECT_EQ(rd_luma_distortion(f.ctx, 4, 16, 16), plain);
    st->rd_extra_weight = 128;
    for (int i = 0; i < 256; i++) st->dist_weight_map[i] = ((i >> 4) / 4 == 1 && (i & 15) / 4 == 1) ? 1024 : 0;
    EXPECT_EQ(rd_luma_distortion(f.ctx, 4, 16, 16), plain + plain / 2);
    EXPECT_EQ(rd_luma_distortion(f.ctx, 4, 0, 0), plain);
    for (int i = 0; i < 256; i++) st->dist_weight_map[i] = -1024;
    EXPECT_EQ(rd_luma_distortion(f.ctx, 4, 16, 16), plain / 2);
    EXPECT_EQ(rd_luma_distortion(f.ctx, 6, 0, 0), 16 * plain / 2);
}

TEST(IntraModeMap, OnlyModesZeroToThirtyFourIndexThePredictors)
{
    EXPECT_EQ(intra_mode_entry(0), 0);
    EXPECT_EQ(intra_mode_entry(34), 34);
    EXPECT_EQ(intra_mode_entry(-1), 1);
    EXPECT_EQ(intra_mode_entry(35), 1);
    EXPECT_EQ(intra_mode_entry(-128), 1);
    EXPECT_EQ(chroma_code_entry(3), 3);
    EXPECT_EQ(chroma_code_entry(4), 4);
    EXPECT_EQ(chroma_code_entry(-1), 4);
    EXPECT_EQ(chroma_code_entry(100), 4);
}

// A block whose map entry was never set (-1) is predicted as DC, not from a
// table entry past the 35 modes.
TEST(IntraModeMap, UnsetEntryPredictsLikeDc)
{
    std::vector<uint8_t> results[2];
    for (int pass = 0; pass < 2; pass++) {
        search_fixture f(4, 30);
        f.fill_source(2, 20);
        mode_search_state_init(f.ctx);
        ctu_search_setup(f.ctx);
        ctu_context *c = &f.ctx->ctu;
        std::memset(c->maps.pred_mode_map, 1, sizeof(c->maps.pred_mode_map));
        std::memset(c->intra_modes, pass == 0 ? 0xff : 1, sizeof(c->intra_modes));
        search_state(f.ctx)->intra_ref_refresh = 1;
        tu_encode(f.ctx, 0, 0, 0, 4, 30, 1, 0, TU_LUMA | TU_CHROMA);
        for (int y = 0; y < 16; y++) results[pass].insert(results[pass].end(), c->recon_luma + y * 128, c->recon_luma + y * 128 + 16);
    }
    EXPECT_TRUE(results[0] == results[1]);
}

}  // namespace
