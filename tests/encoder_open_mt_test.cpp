// What opening an encoder builds: buffer sizes, geometry, the job pool only
// when something needs it, and the frame instances' and row contexts' own
// buffers.
#include <gtest/gtest.h>

#include <cstring>

#include "encoder/config.h"
#include "encoder/encoder_instance.h"
#include "encoder/torvhevcenc.h"

namespace {

encoder_instance *open_with(int width, int height, int scenecut, int frame_threads)
{
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, 4, 0);
    p.width = width;
    p.height = height;
    p.working_threads = 1;
    p.frame_threads = frame_threads;
    p.scenecut = scenecut;
    p.rc_mode = 0;
    p.loglevel = 0;
    internal_config cfg;
    if (config_copy_public_param(&p, &cfg) != 0) return nullptr;
    return encoder_open(&cfg);
}

TEST(EncoderOpen, BufferSizesFollowThePictureSize)
{
    encoder_instance *inst = open_with(1920, 1080, 0, 1);
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(inst->slice_data_size, 10368000);
    EXPECT_EQ(inst->substream_size, 614400);
    EXPECT_EQ(inst->au->capacity, 15552004);
    EXPECT_EQ(inst->ctu_cols, 30);
    EXPECT_EQ(inst->ctu_rows, 17);
    EXPECT_EQ(inst->pool, nullptr) << "constant QP without scene cuts needs no job pool";
    EXPECT_EQ(torvhevcenc_pending_frames(inst), 0);
    encoder_close_chain(inst);

    inst = open_with(352, 288, 40, 5);
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(inst->slice_data_size, 1000000);
    EXPECT_EQ(inst->substream_size, 200000);
    EXPECT_NE(inst->pool, nullptr) << "scene-cut detection uses the job pool";
    encoder_close_chain(inst);
}

TEST(EncoderOpen, RecordsOwnTheirBuffersAndBorrowTheRest)
{
    encoder_instance *inst = open_with(352, 288, 0, 6);
    ASSERT_NE(inst, nullptr);
    ASSERT_EQ(inst->frame_instance_count, 6);
    ASSERT_GT(inst->row_context_count, 0);
    const frame_instance *first = inst->frame_instances[0];
    for (int k = 0; k < inst->frame_instance_count; k++) {
        const frame_instance *fi = inst->frame_instances[k];
        EXPECT_EQ(fi->enc, inst);
        EXPECT_EQ(fi->rc, first->rc + k);
        ASSERT_NE(fi->row0, nullptr);
        EXPECT_EQ(fi->row0->enc, inst);
        EXPECT_EQ(std::memcmp(&fi->row0->config, &inst->config, sizeof(internal_config)), 0);
        if (k == 0) continue;
        EXPECT_NE(fi->bitstream.buffer, first->bitstream.buffer);
        EXPECT_NE(fi->reference_list, first->reference_list);
        EXPECT_NE(fi->pic.recon_picture, first->pic.recon_picture);
        EXPECT_NE(fi->tables.above_lines, first->tables.above_lines);
        EXPECT_NE(fi->row0->ctu.block, first->row0->ctu.block);
    }
    for (int k = 0; k < inst->row_context_count; k++) {
        const row_context *row = inst->row_contexts[k];
        EXPECT_EQ(row->enc, inst);
        EXPECT_EQ(row->assigned_frame, -1);
        EXPECT_NE(row->ctu.block, first->row0->ctu.block);
        EXPECT_EQ(std::memcmp(&row->config, &inst->config, sizeof(internal_config)), 0);
    }
    encoder_close_chain(inst);
}

}  // namespace
