// The intra RD search of one CTU, checked against what a decoder would do with
// its decisions: every leaf is replayed from the committed maps and the
// quantised levels (prediction from already decoded neighbours, dequantised
// residual through the full inverse transforms) and must rebuild the search's
// reconstruction exactly. Also: the rate-estimation state after the search,
// the consistency of the maps and the modes every CU ends up with.
#include <gtest/gtest.h>

#include "tests/support/cu_replay.h"
#include "tests/support/mode_search_fixture.h"

namespace {

// Depth and intra mode of every 4x4 unit inside the picture, checked against
// the decided tree.
void check_maps(search_fixture *f, int z, int x, int y, int log2)
{
    row_context *ctx = f->ctx;
    const cu_decision_arrays *d = &ctx->ctu.decision;
    int n = node_index(z, log2), h = (1 << log2) / 2;
    if (log2 > 3 && d->cu_split[n]) {
        int q = 1 << (2 * (log2 - 3));
        for (int k = 0; k < 4; k++) {
            int cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
            if (cx < ctx->enc->width && cy < ctx->enc->height) check_maps(f, z + k * q, cx, cy, log2 - 1);
        }
        return;
    }
    ASSERT_LE(x + (1 << log2), ctx->enc->width) << "leaf CU crosses the picture edge";
    int units = (1 << log2) / 8;
    for (int k = 0; k < units * units; k++) {
        int m = map8_index(z + 4 * k);
        EXPECT_EQ(ctx->ctu.maps.cu_depth_map[m], 6 - log2);
        EXPECT_EQ(ctx->ctu.maps.pred_mode_map[m], 1);
        EXPECT_EQ(ctx->ctu.maps.cu_qp_map[m], search_state(ctx)->ctu_qp);
        int cm = (uint8_t)ctx->ctu.intra_modes[chroma_map_index((z >> 2) + k)];
        EXPECT_LE(cm, 4);
    }
    for (int k = 0; k < (1 << (2 * (log2 - 2))); k++) {
        int mode = ctx->ctu.intra_modes[map4_index(z + k)];
        EXPECT_GE(mode, 0) << "a CU kept an unevaluated mode";
        EXPECT_LE(mode, 34);
    }
    if (log2 == 3 && d->part_mode[n] == 3) {
        EXPECT_EQ(d->tu_split[n], 1);
    }
}

struct search_case {
    int complexity, qp, width, height, noise;
};

class IntraSearch : public ::testing::TestWithParam<search_case> {};

TEST_P(IntraSearch, RateStateIsRestoredAndReplayRebuildsTheReconstruction)
{
    search_case p = GetParam();
    search_fixture f(p.complexity, p.qp, p.width, p.height);
    f.fill_source((uint32_t)p.qp, p.noise);
    std::vector<uint8_t> before = f.rate_state();
    ctu_search_rdo(f.ctx, p.complexity);
    EXPECT_EQ(before, f.rate_state()) << "the CTU search left the rate estimate moved";
    check_maps(&f, 0, 0, 0, 6);
    cu_kinds kinds;
    cu_replay r(f.ctx, &kinds);
    r.coding_tree(0, 0, 0, 6);
    EXPECT_EQ(r.compare(), "");
}

INSTANTIATE_TEST_SUITE_P(
    ComplexitiesQpsAndSizes, IntraSearch,
    ::testing::Values(search_case{0, 32, 64, 64, 40}, search_case{1, 22, 64, 64, 40}, search_case{2, 37, 64, 64, 8},
                      search_case{3, 27, 64, 64, 40}, search_case{4, 32, 64, 64, 40}, search_case{4, 12, 64, 64, 90},
                      search_case{4, 51, 64, 64, 0}, search_case{3, 32, 40, 24, 20}, search_case{0, 30, 56, 48, 20},
                      search_case{4, 45, 64, 64, 90}));

TEST(IntraSearch, NoisySourceBeatsFlatPredictionInCost)
{
    // The searched reconstruction is closer to a textured source than the
    // grey the CTU starts from.
    search_fixture f(4, 22);
    f.fill_source(5, 60);
    ctu_search_rdo(f.ctx, 4);
    uint64_t sse = 0, flat = 0;
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            int d = f.source_luma[y * 64 + x] - f.ctx->ctu.recon_luma[y * 128 + x];
            int e = f.source_luma[y * 64 + x] - 128;
            sse += (uint64_t)(d * d);
            flat += (uint64_t)(e * e);
        }
    EXPECT_LT(sse * 20, flat);
}

}  // namespace

namespace {

// The search of a CTU must not depend on what the context searched before:
// CTU threads code different CTUs in different orders.
TEST(IntraSearch, DecisionsDoNotDependOnTheContextsEarlierCtus)
{
    for (int complexity : {0, 2, 3, 4}) {
        search_fixture fresh(complexity, 30), used(complexity, 30);
        used.fill_source(11, 90);
        ctu_search_rdo(used.ctx, complexity);
        // A new CTU in the used context: its set-up resets what the CTU job resets.
        ctu_context *c = &used.ctx->ctu;
        std::memset(c->maps.cu_flags_map, 0, sizeof(c->maps.cu_flags_map));
        std::memset(c->recon_avail, 0, sizeof(c->recon_avail));
        std::memset(c->intra_modes, 0xff, CTU_MAP4_STRIDE);
        for (int i = 1; i <= 16; i++) c->intra_modes[i * CTU_MAP4_STRIDE + 15] = -1;
        cabac_init_contexts(&used.ctx->cabac, 2, 30, 120);
        fresh.fill_source(3, 40);
        used.fill_source(3, 40);
        ctu_search_rdo(fresh.ctx, complexity);
        ctu_search_rdo(used.ctx, complexity);
        SCOPED_TRACE(complexity);
        for (int y = 0; y < 64; y++)
            ASSERT_EQ(0, std::memcmp(fresh.ctx->ctu.recon_luma + y * 128, used.ctx->ctu.recon_luma + y * 128, 64))
                << "row " << y;
        const cu_decision_arrays *a = &fresh.ctx->ctu.decision, *b = &used.ctx->ctu.decision;
        EXPECT_EQ(0, std::memcmp(a->cu_split, b->cu_split, 85 * 4));
    }
}

}  // namespace

namespace {

// The CU decision of the fast intra path on a CTU of 16x16 and 8x8 CUs,
// driven CU by CU as its quad-tree would: the replay must rebuild the
// reconstruction from the decisions, transform splits included.
TEST(FastIntraDecision, CusWithTransformTreesReplayToTheReconstruction)
{
    int split_units = 0;
    for (int qp : {22, 34}) {
        search_fixture f(6, qp);
        f.fill_source(9, 70);
        row_context *ctx = f.ctx;
        ctx->enc->sps.max_tu_depth_intra = 3;
        mode_search_state_init(ctx);
        mode_search_state *st = search_state(ctx);
        ctu_search_setup(ctx);
        st->speed_level = 6;
        st->intra_ref_refresh = 1;
        st->luma_full_transform = st->chroma_full_transform = 1;
        cu_node *tree = st->tree;
        for (int n = 0; n < 21; n++) {
            cu_node_init(ctx, &tree[n]);
            tree[n].split = 1;
            tree[n].pred_mode = 1;
        }
        ctx->ctu.decision.cu_split[0] = 1;
        for (int k = 0; k < 4; k++) ctx->ctu.decision.cu_split[1 + k] = 1;
        for (int z16 = 0; z16 < 16; z16++) {
            int z = z16 * 16;
            int x = 16 * ((z16 & 1) | ((z16 >> 1) & 2)), y = 16 * (((z16 >> 1) & 1) | ((z16 >> 2) & 2));
            if (z16 % 3 == 1) {
                // Four 8x8 CUs.
                tree[node_index(z, 4)].split = 1;
                ctx->ctu.decision.cu_split[node_index(z, 4)] = 1;
                for (int k = 0; k < 4; k++) {
                    cu_node *n8 = &tree[node_index(z + 4 * k, 3)];
                    cu_node_init(ctx, n8);
                    rate_snapshot(ctx, 3);
                    intra_cu_decide(ctx, tree, z + 4 * k, x + 8 * (k & 1), y + 8 * (k >> 1), 3);
                }
                continue;
            }
            cu_node *n16 = &tree[node_index(z, 4)];
            cu_node_init(ctx, n16);
            n16->split = 0;
            rate_snapshot(ctx, 2);
            intra_cu_decide(ctx, tree, z, x, y, 4);
            EXPECT_GE(n16->intra_mode, 0);
            EXPECT_LE(n16->intra_mode, 34);
            EXPECT_LE(n16->chroma_mode, 4);
        }
        check_maps(&f, 0, 0, 0, 6);
        for (int n = 5; n < 85; n++) split_units += ctx->ctu.decision.tu_split[n] == 1 && !ctx->ctu.decision.cu_split[n];
        cu_kinds kinds;
        cu_replay r(ctx, &kinds);
        r.coding_tree(0, 0, 0, 6);
        EXPECT_EQ(r.compare(), "") << "QP " << qp;
    }
    EXPECT_GT(split_units, 0) << "no transform split was chosen: the tree search went untested";
}

}  // namespace
