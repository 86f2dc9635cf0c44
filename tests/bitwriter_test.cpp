#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include <vector>
#include "bitstream/bit_writer.h"
#include "bitstream_reader.h"

namespace {

struct writer_fixture {
    alignas(32) uint8_t buf[256];
    bit_writer bw;
    writer_fixture()
    {
        memset(buf, 0xAA, sizeof(buf));
        bitwriter_set_buffer(&bw, buf, sizeof(buf));
    }
    std::vector<uint8_t> flushed()
    {
        bitwriter_flush(&bw);
        return std::vector<uint8_t>(buf, bw.cur);
    }
};

TEST(BitWriter, ExpGolombCodesMatchTheStandardTable)
{
    const struct { uint32_t v; const char *bits; } cases[] = {
        {0, "1"}, {1, "010"}, {2, "011"}, {3, "00100"}, {6, "00111"}, {7, "0001000"},
        {254, "000000011111111"}, {255, "00000000100000000"},
    };
    for (const auto &c : cases) {
        writer_fixture f;
        bitwriter_put_ue(&f.bw, c.v);
        EXPECT_EQ(bitwriter_bit_pos(&f.bw), (int64_t)strlen(c.bits)) << c.v;
        // pad with a stop bit so the expected bytes are explicit
        bitwriter_put_bits(&f.bw, 1, 1);
        bitwriter_put_bits(&f.bw, f.bw.free_bits % 8, 0);
        std::vector<uint8_t> got = f.flushed();
        std::string expect_bits = c.bits;
        EXPECT_EQ(got, test_bytes_of_bits(test_trailing(expect_bits))) << c.v;
    }
}

TEST(BitWriter, SignedExpGolombOrdersPositiveBeforeNegative)
{
    writer_fixture f;
    const int32_t values[] = {0, 1, -1, 2, -2, 26, -26, 100000, -100000};
    for (int32_t v : values)
        bitwriter_put_se(&f.bw, v);
    std::vector<uint8_t> out = f.flushed();
    test_bit_reader r(out.data(), out.size());
    for (int32_t v : values)
        EXPECT_EQ(r.se(), v);
    writer_fixture g;
    bitwriter_put_se(&g.bw, -1);   // code number 2 = 011
    EXPECT_EQ(g.bw.cache & 7u, 3u);
}

TEST(BitWriter, WordBoundariesStoreBigEndianWithoutMixingValues)
{
    writer_fixture f;
    bitwriter_put_bits(&f.bw, 0, 0);
    EXPECT_EQ(f.bw.free_bits, 32);
    EXPECT_EQ(f.bw.cur, f.buf);
    // exactly the free bits: stored, nothing pending
    bitwriter_put_bits(&f.bw, 32, 0x12345678u);
    EXPECT_EQ(f.bw.free_bits, 32);
    EXPECT_EQ(f.bw.cur, f.buf + 4);
    // next 32 bits stored unchanged, not combined with the previous word
    bitwriter_put_bits(&f.bw, 32, 0x9ABCDEF0u);
    // 27 bits, then a 32-bit value with 5 bits free
    bitwriter_put_bits(&f.bw, 27, 0x5555555u);
    EXPECT_EQ(f.bw.free_bits, 5);
    bitwriter_put_bits(&f.bw, 32, 0xF0F0F0F0u);
    EXPECT_EQ(f.bw.free_bits, 5);   // 27 bits of the value pending
    std::vector<uint8_t> out = f.flushed();
    test_bit_reader r(out.data(), out.size());
    EXPECT_EQ(r.u(32), 0x12345678u);
    EXPECT_EQ(r.u(32), 0x9ABCDEF0u);
    EXPECT_EQ(r.u(27), 0x5555555u);
    EXPECT_EQ(r.u(32), 0xF0F0F0F0u);
    EXPECT_EQ(r.u(5), 31u);   // flush pads with one bits
}

TEST(BitWriter, FlushPadsWithOnesAndStoresOnlyWholeBytes)
{
    writer_fixture f;
    bitwriter_put_bits(&f.bw, 5, 0);   // 3 bits free in the byte
    std::vector<uint8_t> out = f.flushed();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], 0x07);
    EXPECT_EQ(f.buf[1], 0xAA);         // nothing past the last byte written
    writer_fixture g;
    bitwriter_put_bits(&g.bw, 16, 0x1234);   // byte aligned: no padding bit
    out = g.flushed();
    EXPECT_EQ(out, (std::vector<uint8_t>{0x12, 0x34}));
}

TEST(BitWriter, RbspTrailingBitsEndTheByteAndMoveTheCursor)
{
    writer_fixture f;
    bitwriter_put_bits(&f.bw, 8, 0x81);
    bitwriter_put_bits(&f.bw, 8, 0x01);
    bitwriter_put_bits(&f.bw, 8, 0x0F);
    bitwriter_rbsp_trailing(&f.bw);
    EXPECT_EQ(f.bw.cur, f.buf + 4);
    EXPECT_EQ(f.bw.free_bits, 32);
    EXPECT_EQ(std::vector<uint8_t>(f.buf, f.buf + 4), (std::vector<uint8_t>{0x81, 0x01, 0x0F, 0x80}));
    // five bits then trailing bits: one byte
    writer_fixture g;
    bitwriter_put_bits(&g.bw, 5, 0x1F);
    bitwriter_rbsp_trailing(&g.bw);
    EXPECT_EQ(g.bw.cur, g.buf + 1);
    EXPECT_EQ(g.buf[0], 0xFC);
}

TEST(BitWriter, RealignContinuesDirectlyBehindTheLastByte)
{
    for (int bytes = 1; bytes <= 7; bytes++) {
        writer_fixture f;
        for (int i = 0; i < bytes; i++)
            bitwriter_put_bits(&f.bw, 8, 0x10 + (uint32_t)i);
        bitwriter_flush(&f.bw);
        EXPECT_EQ(bitwriter_byte_pos(&f.bw), bytes);
        bitwriter_realign(&f.bw);
        EXPECT_EQ(bitwriter_byte_pos(&f.bw), bytes);
        EXPECT_EQ((f.bw.cur - f.bw.start) % 4, 0);
        bitwriter_put_bits(&f.bw, 16, 0xBEEF);
        bitwriter_flush(&f.bw);
        ASSERT_EQ(f.bw.cur, f.buf + bytes + 2);
        for (int i = 0; i < bytes; i++)
            EXPECT_EQ(f.buf[i], 0x10 + i);
        EXPECT_EQ(f.buf[bytes], 0xBE);
        EXPECT_EQ(f.buf[bytes + 1], 0xEF);
    }
}

TEST(BitWriter, UnalignedBufferKeepsTheBytesBeforeIt)
{
    alignas(32) uint8_t buf[64];
    memset(buf, 0, sizeof(buf));
    buf[0] = 0x11;
    buf[1] = 0x22;
    bit_writer bw;
    bitwriter_set_buffer(&bw, buf + 2, 60);
    EXPECT_EQ(bw.start, buf);
    EXPECT_EQ(bitwriter_byte_pos(&bw), 2);
    bitwriter_put_bits(&bw, 32, 0xCAFEF00Du);
    bitwriter_flush(&bw);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 6),
              (std::vector<uint8_t>{0x11, 0x22, 0xCA, 0xFE, 0xF0, 0x0D}));
}

}  // namespace
