// The CTU job's substream buffer: before each CTU's syntax the buffer must have
// room for the largest CTU the syntax writer can produce.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "encoder/config.h"
#include "encoder/encoder_instance.h"
#include "encoder/torvhevcenc.h"
#include "encoder/memory.h"
#include "support/test_records.h"

namespace {

struct records_deleter {
    void operator()(row_context *p) const { std::free(p); }
};

struct reserve_fixture {
    std::unique_ptr<row_context, records_deleter> ctx{test_row_context_new()};
    explicit reserve_fixture(int32_t capacity, int32_t used)
    {
        ctx->config.wpp = 1;
        ctx->substream_size = capacity;
        ctx->substream_buffer = (uint8_t *)aligned_malloc(capacity);
        cabac_encoder_init(&ctx->cabac, ctx->substream_buffer, ctx->substream_buffer + capacity);
        std::memset(ctx->substream_buffer, 0x5A, (size_t)used);
        ctx->cabac.buf_cur += used;
    }
    ~reserve_fixture() { aligned_free(ctx->substream_buffer); }
};

TEST(SubstreamReserve, GrowsUntilTheLargestCtuFitsAndKeepsTheBytesWritten)
{
    // A 64x64 CTU at the lowest QP on noise can take well over 30 KB.
    const int32_t largest_ctu = 6144 * 6 + 2048;
    for (int32_t used : {0, 1000, 190000, 199000, 199999}) {
        SCOPED_TRACE(used);
        reserve_fixture f(200000, used);
        ASSERT_EQ(substream_reserve(f.ctx.get()), 0);
        row_context *c = f.ctx.get();
        EXPECT_GE(c->cabac.buf_end - c->cabac.buf_cur, largest_ctu);
        EXPECT_EQ(c->cabac.buf_cur - c->cabac.buf_start, used);
        EXPECT_EQ(c->cabac.buf_start, c->substream_buffer);
        EXPECT_EQ(c->cabac.buf_end - c->cabac.buf_start, c->substream_size);
        for (int32_t i = 0; i < used; i++)
            if (c->substream_buffer[i] != 0x5A) FAIL() << "byte " << i << " lost";
    }
}

// Frame instances and row contexts read the parameter sets, the geometry and
// the configuration through the encoder they borrow; every frame instance
// owns the context of its row 0.
TEST(Records, EveryRecordBorrowsItsEncoder)
{
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, 4, 0);
    p.width = 192;
    p.height = 192;
    p.working_threads = 4;
    p.loglevel = 0;
    internal_config cfg;
    ASSERT_EQ(config_copy_public_param(&p, &cfg), 0);
    encoder_instance *enc = encoder_open(&cfg);
    ASSERT_NE(enc, nullptr);
    ASSERT_GT(enc->row_context_count, 0);
    for (int32_t k = 0; k < enc->frame_instance_count; k++) {
        const frame_instance *fi = enc->frame_instances[k];
        SCOPED_TRACE(k);
        EXPECT_EQ(fi->enc, enc);
        ASSERT_NE(fi->row0, nullptr);
        EXPECT_EQ(fi->row0->enc, enc);
    }
    for (int32_t k = 0; k < enc->row_context_count; k++) EXPECT_EQ(enc->row_contexts[k]->enc, enc);
    torvhevcenc_close(enc);
}

}  // namespace
