// CTU set-up: borders of the maps from the neighbouring CTUs, availability,
// clipped CTU sizes, and the edge records that carry a CTU's maps onwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "encoder/encoder_instance.h"
#include "kernels/intra/intra_ref.h"
#include "support/test_records.h"

namespace {

struct ctu_fixture {
    row_context *inst;
    picture *src, *rec;

    ctu_fixture(int width, int height)
    {
        inst = test_row_context_new();
        inst->enc->width = width;
        inst->enc->height = height;
        inst->enc->ctu_cols = (width + 63) / 64;
        inst->enc->ctu_rows = (height + 63) / 64;
        inst->enc->ctu_count = inst->enc->ctu_cols * inst->enc->ctu_rows;
        inst->config.complexity = 4;
        inst->config.ctu_option = 1;
        inst->fi->pic.sh.slice_type = slice_i;
        metric_table_init(0, &inst->enc->metric, 0);
        picture_geometry g = {width, height, inst->enc->ctu_cols, inst->enc->ctu_rows, 0, 0, 0, 0, 0};
        src = picture_alloc(&g, PICTURE_POOL_SOURCE);
        rec = picture_alloc(&g, PICTURE_POOL_RECON);
        src->picture_type = PIC_TYPE_IDR;
        inst->fi->pic.source_picture = src;
        inst->fi->pic.recon_picture = rec;
        EXPECT_EQ(ctu_tables_alloc(inst), 0);
        EXPECT_EQ(picture_tables_alloc(inst->fi), 0);
        frame_recon_pointers_load(inst->fi);
    }
    ~ctu_fixture()
    {
        ctu_tables_free(inst);
        picture_tables_free(inst->fi);
        picture_free(src);
        picture_free(rec);
        std::free(inst);
    }
    ctu_context *c() { return &inst->ctu; }
    void begin(int x, int y) { ctu_begin(inst, x, y, y * inst->enc->ctu_cols + x); }
};

TEST(CtuBegin, TopLeftCtuHasOnlyMissingNeighbours)
{
    ctu_fixture f(136, 72);
    f.begin(0, 0);
    ctu_context *c = f.c();
    EXPECT_EQ(c->avail, 0u);
    for (int i = 0; i < 8; i++) {
        int left = (1 + i) * CTU_MAP8_STRIDE + 7, above = 8 + i;
        for (int m : {left, above}) {
            EXPECT_EQ(c->maps.cu_depth_map[m], -1);
            EXPECT_EQ(c->maps.cu_qp_map[m], -1);
            EXPECT_EQ(c->maps.pred_mode_map[m], -1);
            EXPECT_EQ(c->maps.tu_size_map[m], 16);
            EXPECT_EQ(c->maps.cu_flags_map[m], 0);
            EXPECT_EQ(c->motion.ref_idx[0][m], -2);
            EXPECT_EQ(c->motion.ref_idx[1][m], -2);
        }
    }
    for (int i = 0; i < CTU_MAP4_SIZE; i++) EXPECT_EQ(c->recon_avail[i], 0);
    EXPECT_EQ(c->intra_modes[15], -1);
    EXPECT_EQ(c->intra_modes[CTU_MAP4_STRIDE + 15], -1);
    EXPECT_EQ(c->ctu_w, 64);
    EXPECT_EQ(c->ctu_h, 64);
    EXPECT_EQ(c->min_block, 64);
    EXPECT_EQ(c->skip_all, 1u);
    EXPECT_EQ(f.inst->fi->tables.ctu_depth_min[0], 100);
}

TEST(CtuBegin, EdgeCtusAreClippedAndSeeFewerUnits)
{
    ctu_fixture f(136, 72);   // 3 x 2 CTUs; the last column is 8 wide, the last row 8 high
    f.begin(2, 1);
    ctu_context *c = f.c();
    EXPECT_EQ(c->ctu_w, 8);
    EXPECT_EQ(c->ctu_h, 8);
    EXPECT_EQ(c->avail, (uint32_t)(CTU_NEIGHBOUR_LEFT | CTU_NEIGHBOUR_ABOVE | CTU_NEIGHBOUR_CORNER));
    EXPECT_EQ(c->recon_avail[16], 1);
    EXPECT_EQ(c->recon_avail[17], 1);
    EXPECT_EQ(c->recon_avail[18], 0) << "two 4x4 units of the CTU above lie in the picture";
    EXPECT_EQ(c->recon_avail[2 * CTU_MAP4_STRIDE + 15], 1);
    EXPECT_EQ(c->recon_avail[3 * CTU_MAP4_STRIDE + 15], 0) << "two left units lie in the picture";
    EXPECT_EQ(c->left_similar, 0);

    f.begin(1, 1);   // above-right CTU exists but is only 8 wide
    EXPECT_NE(c->avail & CTU_NEIGHBOUR_ABOVE_RIGHT, 0u);
    EXPECT_EQ(c->recon_avail[CTU_MAP4_STRIDE + 0], 1);
    EXPECT_EQ(c->recon_avail[CTU_MAP4_STRIDE + 1], 1);
    EXPECT_EQ(c->recon_avail[CTU_MAP4_STRIDE + 2], 0);
}

TEST(CtuBegin, NeighbourEdgesComeFromTheEdgeRecordsOfCodedCtus)
{
    ctu_fixture f(192, 128);
    ctu_context *c = f.c();
    f.begin(0, 0);
    for (int r = 0; r < 8; r++)
        for (int k = 0; k < 8; k++) {
            int m = (1 + r) * CTU_MAP8_STRIDE + 8 + k;
            c->maps.cu_depth_map[m] = (int8_t)(r * 8 + k);
            c->maps.cu_qp_map[m] = (int8_t)(20 + r);
            c->maps.tu_size_map[m] = (uint8_t)(1 + k);
            c->maps.pred_mode_map[m] = (int8_t)(k & 1);
            c->maps.cu_flags_map[m] = (uint8_t)(r & 3);
        }
    ctu_end(f.inst);
    f.begin(1, 0);
    for (int r = 0; r < 8; r++) {
        int m = (1 + r) * CTU_MAP8_STRIDE + 7;
        EXPECT_EQ(c->maps.cu_depth_map[m], r * 8 + 7) << "row " << r;
        EXPECT_EQ(c->maps.cu_qp_map[m], 20 + r);
        EXPECT_EQ(c->maps.tu_size_map[m], 8);
        EXPECT_EQ(c->maps.pred_mode_map[m], 1);
    }
    EXPECT_EQ(c->maps.cu_flags_map[1 * CTU_MAP8_STRIDE + 7], 0) << "the flags map is cleared at CTU start";
    f.begin(0, 1);
    for (int k = 0; k < 8; k++) {
        EXPECT_EQ(c->maps.cu_depth_map[8 + k], 56 + k);
        EXPECT_EQ(c->maps.cu_qp_map[8 + k], 27);
    }
}

}  // namespace
