// The inter CU decision on one CTU of a P picture against one hand-made
// reference: a still scene must come out as merged CUs without residual
// (sent as skip), a panned scene must get the pan as its motion, and the
// reconstruction must follow the chosen prediction closely.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/amvp.h"
#include "analysis/ctu_inter_decision.h"
#include "bitstream/syntax_writer.h"
#include "kernels/mc/mc.h"
#include "tests/support/mode_search_fixture.h"

namespace {

enum { MARGIN = 96, REF_W = 64 + 2 * MARGIN, REF_H = 64 + 2 * MARGIN };

// Textured, non-repeating reference content defined everywhere around the CTU.
uint8_t texture(int x, int y)
{
    uint32_t h = (uint32_t)(x + 1000) * 73856093u ^ (uint32_t)(y + 1000) * 19349663u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    int smooth = 60 + ((x + 1000) * 3 + (y + 1000) * 2) % 120;
    return (uint8_t)(smooth + (int)(h >> 27));
}

struct inter_fixture {
    search_fixture f;
    std::vector<uint8_t> planes[3];
    std::vector<uint8_t> scratch;
    picture ref{}, cur{};

    inter_fixture(int qp, int pan_x, int pan_y) : f(4, qp)
    {
        encoder_instance *ctx = f.ctx;
        mc_table_init(cpu_detect(), &ctx->mc);
        ctx->slice_class = 1;
        ctx->sh.slice_type = slice_p;
        ctx->sh.max_num_merge_cand = 5;
        ctx->sh.num_ref_idx_l0_active = 1;
        ctx->sps.temporal_mvp_enabled = 0;
        ctx->rcc.slice_class = 1;
        f.source_pic.picture_type = PIC_TYPE_P;
        int stride[3] = {REF_W, REF_W / 2, REF_W / 2};
        for (int p = 0; p < 3; p++) {
            int w = p ? REF_W / 2 : REF_W, h = p ? REF_H / 2 : REF_H, m = p ? MARGIN / 2 : MARGIN;
            planes[p].resize((size_t)w * h);
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++)
                    planes[p][(size_t)y * w + x] = p ? (uint8_t)(100 + p * 20 + ((x - m) + (y - m)) % 9)
                                                     : texture(x - m, y - m);
            ref.strides[p] = cur.strides[p] = stride[p];
            ref.planes[p] = planes[p].data() + (size_t)m * w + m;
            ctx->ctu.ref_planes[0][0][p] = ref.planes[p];
        }
        ref.poc = 0;
        cur.poc = 1;
        ctx->list0[0] = &ref;
        ctx->ref_count_l0 = 1;
        ctx->recon_picture = &cur;
        for (int k = 0; k < 2; k++) {
            ctx->mv_min_full[k] = -64;
            ctx->mv_max_full[k] = 64;
        }
        ctx->ctu.search_range = 16;
        scratch.assign(1 << 17, 0);
        ctx->ctu.scratch = scratch.data();
        std::memset(ctx->ctu.motion.ref_idx, 0xfe, sizeof(ctx->ctu.motion.ref_idx));
        // Source: the reference moved by the pan (source(x, y) = ref(x + pan_x, y + pan_y)).
        for (int y = 0; y < 64; y++)
            for (int x = 0; x < 64; x++) f.source_luma[y * 64 + x] = texture(x + pan_x, y + pan_y);
        for (int p = 1; p < 3; p++)
            for (int y = 0; y < 32; y++)
                for (int x = 0; x < 32; x++)
                    f.source_chroma[y * 64 + 32 * (p - 1) + x] =
                        ref.planes[p][(y + pan_y / 2) * stride[p] + x + pan_x / 2];
    }

    int inter_units() const
    {
        int n = 0;
        for (int z8 = 0; z8 < 64; z8++) n += f.ctx->ctu.maps.pred_mode_map[map8_index(z8 * 4)] == 0;
        return n;
    }
};

TEST(InterDecision, StillSceneIsCodedAsSkippedMergeCus)
{
    inter_fixture t(30, 0, 0);
    ctu_inter_decision(t.f.ctx);
    const ctu_context *c = &t.f.ctx->ctu;
    int skipped = 0;
    for (int z8 = 0; z8 < 64; z8++) {
        int m = map8_index(z8 * 4);
        EXPECT_EQ(c->maps.pred_mode_map[m], 0);
        if (c->motion.merge_flag_map[m] && (c->maps.cu_flags_map[m] & cu_flag_skip)) skipped++;
        EXPECT_EQ(c->motion.mv[0][m], 0u);
    }
    EXPECT_GE(skipped, 60);
    // The reconstruction is the reference itself.
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) ASSERT_EQ(c->recon_luma[y * 128 + x], texture(x, y)) << x << "," << y;
}

TEST(InterDecision, PannedSceneGetsThePanAsMotion)
{
    const int pans[][2] = {{3, -2}, {-5, 4}, {8, 0}, {0, 6}};
    for (const auto &pan : pans) {
        inter_fixture t(30, pan[0], pan[1]);
        ctu_inter_decision(t.f.ctx);
        const ctu_context *c = &t.f.ctx->ctu;
        uint32_t expected = mv_pack(4 * pan[0], 4 * pan[1]);
        int matching = 0;
        for (int z8 = 0; z8 < 64; z8++) {
            int m = map8_index(z8 * 4);
            if (c->maps.pred_mode_map[m] == 0 && c->motion.ref_idx[0][m] == 0 && c->motion.mv[0][m] == expected)
                matching++;
        }
        EXPECT_EQ(t.inter_units(), 64) << pan[0] << "," << pan[1];
        EXPECT_EQ(matching, 64) << pan[0] << "," << pan[1];
        // Later CUs take the pan from their neighbours by merging.
        int merged = 0;
        for (int z8 = 0; z8 < 64; z8++) merged += c->motion.merge_flag_map[map8_index(z8 * 4)];
        EXPECT_GE(merged, 8);
    }
}

TEST(InterDecision, UnpredictableContentFallsBackToIntraOrCodesResidual)
{
    // The source is unrelated to the reference: whatever is chosen must
    // carry the difference in its residual, so the reconstruction stays
    // close to the source.
    inter_fixture t(22, 0, 0);
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) t.f.source_luma[y * 64 + x] = (uint8_t)(40 + ((x / 8 + y / 8) % 2) * 150);
    ctu_inter_decision(t.f.ctx);
    const ctu_context *c = &t.f.ctx->ctu;
    long sse = 0;
    for (int y = 0; y < 64; y++)
        for (int x = 0; x < 64; x++) {
            int d = c->recon_luma[y * 128 + x] - t.f.source_luma[y * 64 + x];
            sse += d * d;
        }
    EXPECT_LT(sse / 4096, 40);
}

}  // namespace
