// What opening an encoder builds: buffer sizes, geometry, the job pool only
// when something needs it, and the copies' own buffers.
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

TEST(EncoderOpen, CopiesOwnTheirBuffersAndShareTheRest)
{
    encoder_instance *inst = open_with(352, 288, 0, 6);
    ASSERT_NE(inst, nullptr);
    ASSERT_EQ(inst->frame_instance_count, 6);
    ASSERT_GT(inst->row_context_count, 0);
    for (int k = 1; k < inst->frame_instance_count; k++) {
        encoder_instance *fi = inst->slot_array[k];
        EXPECT_EQ(fi->owner, fi);
        EXPECT_NE(fi->bitstream.buffer, inst->bitstream.buffer);
        EXPECT_NE(fi->reference_list, inst->reference_list);
        EXPECT_NE(fi->recon_picture, inst->recon_picture);
        EXPECT_NE(fi->tables.above_lines, inst->tables.above_lines);
        EXPECT_EQ(fi->scheduler, inst->scheduler);
        EXPECT_EQ(fi->coding_queue, inst->coding_queue);
        EXPECT_EQ(fi->la, inst->la);
        EXPECT_EQ(fi->rc, inst->rc + k);
        EXPECT_EQ(std::memcmp(&fi->saved_config, &inst->saved_config, sizeof(internal_config)), 0);
    }
    for (int k = 0; k < inst->row_context_count; k++) {
        encoder_instance *rc = inst->row_context_array[k];
        EXPECT_EQ(rc->is_row_context, 1);
        EXPECT_EQ(rc->bitstream.buffer, nullptr);
        EXPECT_EQ(rc->substream_sizes, nullptr);
        EXPECT_NE(rc->ctu.scratch, inst->ctu.scratch);
    }
    encoder_close_chain(inst);
}

}  // namespace
