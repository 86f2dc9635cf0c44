#include <gtest/gtest.h>
#include <cstring>
#include <random>
#include <vector>
#include "bitstream/sei.h"
#include "encoder/nal_units.h"
#include "bitstream_reader.h"

namespace {

std::vector<uint8_t> write_nal(uint32_t type, bool long_start, const std::vector<uint8_t> &rbsp)
{
    std::vector<uint8_t> in = rbsp;
    std::vector<uint8_t> out(6 + rbsp.size() * 3 / 2 + 8, 0xEE);
    nal_entry e = {type, long_start ? 1u : 0u, (int32_t)in.size(), in.data()};
    nal_write(out.data(), &e);
    EXPECT_EQ(e.payload, out.data());
    out.resize((size_t)e.size);
    return out;
}

// Payload bytes of a NAL unit written with a 3-byte start code.
std::vector<uint8_t> escaped(const std::vector<uint8_t> &rbsp)
{
    std::vector<uint8_t> nal = write_nal(1, false, rbsp);
    return std::vector<uint8_t>(nal.begin() + 5, nal.end());
}

TEST(NalWrite, EmulationPreventionGoldenCases)
{
    EXPECT_EQ(escaped(test_hex("45 00 00 00 01")), test_hex("45 00 00 03 00 01"));
    EXPECT_EQ(escaped(test_hex("45 00 00 03")), test_hex("45 00 00 03 03"));
    EXPECT_EQ(escaped(test_hex("45 00 00 04")), test_hex("45 00 00 04"));
    EXPECT_EQ(escaped(test_hex("45 00 00 00 00 00")), test_hex("45 00 00 03 00 00 03 00"));
    EXPECT_EQ(escaped(test_hex("00 00 00 00 00")), test_hex("00 00 03 00 00 03 00"));
    // the first two bytes are copied, the third is checked
    EXPECT_EQ(escaped(test_hex("00 00 01")), test_hex("00 00 03 01"));
    EXPECT_EQ(escaped(test_hex("00 00 02 00 00 80")), test_hex("00 00 03 02 00 00 80"));
    EXPECT_EQ(escaped(test_hex("00")), test_hex("00"));
    EXPECT_EQ(escaped({}), std::vector<uint8_t>{});
}

TEST(NalWrite, StartCodeAndHeaderBytes)
{
    EXPECT_EQ(write_nal(32, true, test_hex("0C 01")), test_hex("00 00 00 01 40 01 0C 01"));
    EXPECT_EQ(write_nal(39, false, test_hex("01 01 11 80")), test_hex("00 00 01 4E 01 01 01 11 80"));
    EXPECT_EQ(write_nal(19, true, test_hex("AC 64")), test_hex("00 00 00 01 26 01 AC 64"));
}

TEST(NalWrite, EscapedPayloadUnescapesToTheRbsp)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 200; round++) {
        std::vector<uint8_t> rbsp(3 + rng() % 300);
        for (auto &b : rbsp)
            b = (rng() % 3) ? 0 : (uint8_t)(rng() % 5);
        // an RBSP opens with a header byte that is not zero (slice header,
        // parameter set), as the chunked count below assumes
        rbsp[0] = 0x80;
        rbsp[1] = 0x81;
        std::vector<uint8_t> out = escaped(rbsp);
        // no start code emulation in the output
        for (size_t i = 2; i < out.size(); i++)
            ASSERT_FALSE(out[i - 2] == 0 && out[i - 1] == 0 && out[i] <= 2) << round << " " << i;
        // removing each 03 that follows two zeros restores the RBSP
        std::vector<uint8_t> back;
        int zeros = 0;
        for (uint8_t b : out) {
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            back.push_back(b);
            zeros = b == 0 ? zeros + 1 : 0;
        }
        ASSERT_EQ(back, rbsp);
        // scanning in chunks (row substreams) counts exactly the inserted bytes
        ep_scan_state st = {0};
        int32_t count = 0;
        size_t pos = 2;
        while (pos < rbsp.size()) {
            size_t n = std::min(rbsp.size() - pos, (size_t)(1 + rng() % 7));
            count += emulation_prevention_scan(&st, rbsp.data() + pos, (int32_t)n);
            pos += n;
        }
        EXPECT_EQ(count, (int32_t)(out.size() - rbsp.size()));
    }
}

TEST(NalWrite, SubstreamEscapeCountsFollowTheWriterAcrossRowBoundaries)
{
    // A row ending in 00 00 followed by a row starting 00 00 01: the escape
    // before the second row's first byte belongs to the second row, and the
    // zero run restarts behind it.
    const std::vector<uint8_t> a = test_hex("17 00 00 00");
    const std::vector<uint8_t> b = test_hex("00 00 01");
    ep_scan_state st = {0};
    EXPECT_EQ(emulation_prevention_scan(&st, a.data(), (int32_t)a.size()), 1);
    EXPECT_EQ(emulation_prevention_scan(&st, b.data(), (int32_t)b.size()), 1);
    std::vector<uint8_t> all = test_hex("80 17 00 00 00 00 00 01");
    EXPECT_EQ(escaped(all).size() - all.size(), 2u);
}

struct stream_fixture {
    frame_bitstream fb;
    au_buffer au;
    stream_fixture(int nal_capacity, int32_t size, int32_t au_capacity)
    {
        EXPECT_EQ(frame_bitstream_open(&fb, nal_capacity, size), 0);
        EXPECT_EQ(au_buffer_open(&au, au_capacity), 0);
    }
    ~stream_fixture()
    {
        frame_bitstream_close(&fb);
        au_buffer_close(&au);
    }
    void record_bytes(uint32_t type, const std::vector<uint8_t> &bytes)
    {
        bitwriter_realign(&fb.writer);
        nal_record_begin(&fb, type);
        for (uint8_t b : bytes)
            bitwriter_put_bits(&fb.writer, 8, b);
        bitwriter_flush(&fb.writer);
        ASSERT_EQ(nal_record_end(&fb), 0);
    }
    std::vector<uint8_t> assemble()
    {
        int32_t n = au_assemble(&fb, &au);
        EXPECT_GE(n, 0);
        return std::vector<uint8_t>(au.base, au.base + (n > 0 ? n : 0));
    }
};

std::vector<int> start_code_lengths(const std::vector<uint8_t> &au)
{
    std::vector<int> lengths;
    for (size_t i = 0; i + 2 < au.size(); i++) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            lengths.push_back(i > 0 && au[i - 1] == 0 ? 4 : 3);
            i += 2;
        }
    }
    return lengths;
}

TEST(AccessUnit, StartCodeLengthsByPositionAndType)
{
    stream_fixture t(8, 4096, 64);
    t.record_bytes(nal_vps, test_hex("0C 01 FF"));
    t.record_bytes(nal_sps, test_hex("01 01 40"));
    t.record_bytes(nal_pps, test_hex("C1 63"));
    t.record_bytes(nal_prefix_sei, test_hex("81 01 0F 80"));
    t.record_bytes(nal_prefix_sei, test_hex("01 01 11 80"));
    t.record_bytes(nal_cra, test_hex("AC 64"));
    EXPECT_EQ(start_code_lengths(t.assemble()), (std::vector<int>{4, 4, 4, 3, 3, 3}));
    for (int i = 0; i < t.fb.nal_count; i++)
        EXPECT_EQ(t.fb.nals[i].long_start_code, i < 3 ? 1u : 0u);

    frame_bitstream_reset(&t.fb);
    t.record_bytes(nal_prefix_sei, test_hex("01 01 21 80"));
    t.record_bytes(nal_trail_r, test_hex("AC 64"));
    std::vector<uint8_t> au = t.assemble();
    EXPECT_EQ(start_code_lengths(au), (std::vector<int>{4, 3}));
    EXPECT_EQ(au, test_hex("00 00 00 01 4E 01 01 01 21 80 00 00 01 02 01 AC 64"));
    EXPECT_EQ(t.fb.nals[1].payload, t.au.base + 10);
    EXPECT_EQ(t.fb.nals[1].size, 7);

    frame_bitstream_reset(&t.fb);
    EXPECT_EQ(au_assemble(&t.fb, &t.au), 0);
}

TEST(AccessUnit, BufferGrowsToTheWorstCaseOfAllZeroPayloads)
{
    // Four parameter-set units of 25 zero bytes: 100 payload bytes, each unit
    // written as 4 + 2 + 25 + 12 bytes = 172 in all, more than 3p/2 + 4n = 166.
    stream_fixture t(8, 4096, 166);
    std::vector<uint8_t> zeros(25, 0);
    for (int i = 0; i < 4; i++)
        t.record_bytes(nal_pps, zeros);
    EXPECT_EQ(au_worst_case_size(&t.fb), 174);
    std::vector<uint8_t> au = t.assemble();
    EXPECT_EQ(au.size(), 172u);
    EXPECT_GE(t.au.capacity, 174);
    EXPECT_EQ(t.au.capacity, 2 * (100 + 3 * 4));
}

TEST(AccessUnit, NalListDoublesWhenFull)
{
    stream_fixture t(2, 4096, 64);
    t.record_bytes(nal_vps, test_hex("01"));
    EXPECT_EQ(t.fb.nal_capacity, 2);
    t.record_bytes(nal_sps, test_hex("02"));
    EXPECT_EQ(t.fb.nal_capacity, 4);
    t.record_bytes(nal_pps, test_hex("03"));
    t.record_bytes(nal_prefix_sei, test_hex("04"));
    EXPECT_EQ(t.fb.nal_capacity, 8);
    EXPECT_EQ(t.fb.nal_count, 4);
    EXPECT_EQ(t.assemble(), test_hex("00 00 00 01 40 01 01 00 00 00 01 42 01 02 "
                                     "00 00 00 01 44 01 03 00 00 01 4E 01 04"));
}

TEST(AccessUnit, SliceAppendGrowsTheBitstreamBufferAndKeepsEarlierUnits)
{
    stream_fixture t(6, 64, 16);
    t.record_bytes(nal_pps, test_hex("C1 63 06 08 48"));
    uint8_t *old_buffer = t.fb.buffer;
    vps_params vps = {};
    sps_params sps = {};
    pps_params pps = {};
    sps.vps = &vps;
    sps.log2_max_poc_lsb = 5;
    pps.init_qp = 26;
    slice_header sh = {};
    sh.sps = &sps;
    sh.pps = &pps;
    sh.slice_type = slice_i;
    sh.first_slice_segment_in_pic_flag = 1;
    sh.slice_qp_delta = 6;
    short_term_rps rps = {};
    slice_frame_state fs = {nal_idr_w_radl, 120, 1, nullptr, &rps};
    std::vector<uint8_t> data(5000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 7 + 1);
    ASSERT_EQ(slice_nal_append(&t.fb, nal_idr_w_radl, &fs, &sh, data.data(), (int32_t)data.size()), 0);
    EXPECT_NE(t.fb.buffer, old_buffer);
    EXPECT_GE(t.fb.size, 5000 + 100000);
    ASSERT_EQ(t.fb.nal_count, 2);
    EXPECT_EQ(t.fb.nals[0].payload, t.fb.buffer);
    EXPECT_EQ(t.fb.nals[1].size, 2 + 5000);
    EXPECT_EQ(memcmp(t.fb.nals[1].payload + 2, data.data(), data.size()), 0);
    std::vector<uint8_t> au = t.assemble();
    std::vector<uint8_t> head = test_hex("00 00 00 01 44 01 C1 63 06 08 48 00 00 01 26 01 AC 64");
    ASSERT_GE(au.size(), head.size() + data.size());
    EXPECT_EQ(std::vector<uint8_t>(au.begin(), au.begin() + (long)head.size()), head);
    EXPECT_EQ(memcmp(au.data() + head.size(), data.data(), data.size()), 0);
}

TEST(AccessUnit, SliceAppendWithoutGrowthReusesTheBuffer)
{
    stream_fixture t(6, 4096, 16);
    bitwriter_realign(&t.fb.writer);
    nal_record_begin(&t.fb, nal_prefix_sei);
    write_sei_pic_timing(&t.fb.writer, 1);
    ASSERT_EQ(nal_record_end(&t.fb), 0);
    vps_params vps = {};
    sps_params sps = {};
    pps_params pps = {};
    sps.vps = &vps;
    sps.log2_max_poc_lsb = 5;
    slice_header sh = {};
    sh.sps = &sps;
    sh.pps = &pps;
    sh.slice_type = slice_i;
    sh.first_slice_segment_in_pic_flag = 1;
    short_term_rps rps = {};
    slice_frame_state fs = {nal_idr_w_radl, 120, 1, nullptr, &rps};
    const uint8_t data[3] = {0x00, 0x00, 0x01};
    uint8_t *buffer = t.fb.buffer;
    ASSERT_EQ(slice_nal_append(&t.fb, nal_idr_w_radl, &fs, &sh, data, 3), 0);
    EXPECT_EQ(t.fb.buffer, buffer);
    EXPECT_EQ(t.fb.nals[1].payload, buffer + 4);
    // header AC 64 is followed by 00 00 01, which gets an escape
    EXPECT_EQ(t.assemble(), test_hex("00 00 00 01 4E 01 01 01 11 80 00 00 01 26 01 AF 00 00 03 01"));
}

}  // namespace
