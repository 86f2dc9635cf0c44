// The CTU job's substream buffer: before each CTU's syntax the buffer must have
// room for the largest CTU the syntax writer can produce.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "encoder/encoder_instance.h"
#include "encoder/memory.h"

namespace {

struct reserve_fixture {
    std::unique_ptr<encoder_instance> ctx{new encoder_instance()};
    explicit reserve_fixture(int32_t capacity, int32_t used)
    {
        std::memset(ctx.get(), 0, sizeof(encoder_instance));
        ctx->config.wpp = 1;
        ctx->owner = ctx.get();
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
        encoder_instance *c = f.ctx.get();
        EXPECT_GE(c->cabac.buf_end - c->cabac.buf_cur, largest_ctu);
        EXPECT_EQ(c->cabac.buf_cur - c->cabac.buf_start, used);
        EXPECT_EQ(c->cabac.buf_start, c->substream_buffer);
        EXPECT_EQ(c->cabac.buf_end - c->cabac.buf_start, c->substream_size);
        for (int32_t i = 0; i < used; i++)
            if (c->substream_buffer[i] != 0x5A) FAIL() << "byte " << i << " lost";
    }
}

}  // namespace
