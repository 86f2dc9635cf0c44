#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>
#include "encoder/slice_header.h"
#include "bitstream_reader.h"

namespace {

struct slice_setup {
    vps_params vps;
    sps_params sps;
    pps_params pps;
    short_term_rps rps;
    slice_header sh;
    slice_frame_state fs;
    int32_t sizes[8];
    alignas(32) uint8_t buf[256];

    slice_setup()
    {
        memset(this, 0, sizeof(*this));
        sps.vps = &vps;
        sps.log2_max_poc_lsb = 5;
        pps.num_ref_idx_l0_default = 1;
        pps.num_ref_idx_l1_default = 1;
        pps.init_qp = 26;
        sh.sps = &sps;
        sh.pps = &pps;
        sh.first_slice_segment_in_pic_flag = 1;
        sh.max_num_merge_cand = 5;
        sh.slice_qp = 32;
        sh.slice_qp_delta = 6;
        fs.compat = 120;
        fs.ctu_rows = 1;
        fs.substream_sizes = sizes;
        fs.rps = &rps;
    }
    // The header as a bit string, without the alignment bits.
    std::string bits()
    {
        bit_writer bw;
        bitwriter_set_buffer(&bw, buf, sizeof(buf));
        slice_header_write(&fs, &bw, &sh);
        EXPECT_EQ(bw.free_bits % 8, 0);
        int64_t n = bitwriter_bit_pos(&bw);
        bitwriter_flush(&bw);
        std::string s;
        for (int64_t i = 0; i < n; i++)
            s += (char)('0' + ((buf[i / 8] >> (7 - i % 8)) & 1));
        // strip byte_alignment(): the last 1 bit and the zeros behind it
        size_t last_one = s.find_last_of('1');
        EXPECT_NE(last_one, std::string::npos);
        return s.substr(0, last_one);
    }
};

TEST(SliceHeader, IdrWithoutWavefrontOrSaoIsMinimal)
{
    slice_setup t;
    t.fs.nal_unit_type = 19;
    t.sh.slice_type = slice_i;
    t.sps.temporal_mvp_enabled = 1;   // IDR slices never carry the TMVP flag
    for (int compat : {91, 100, 120}) {
        t.fs.compat = compat;
        EXPECT_EQ(t.bits(), "1" "0" "1" "011" + test_se(6)) << compat;
    }
    // golden bytes of the whole header
    t.fs.compat = 120;
    bit_writer bw;
    bitwriter_set_buffer(&bw, t.buf, sizeof(t.buf));
    slice_header_write(&t.fs, &bw, &t.sh);
    bitwriter_flush(&bw);
    EXPECT_EQ(std::vector<uint8_t>(t.buf, bw.cur), test_hex("AC 64"));
}

TEST(SliceHeader, CraCarriesPocEmptySetAndTmvpFlagByLayout)
{
    slice_setup t;
    t.fs.nal_unit_type = 21;
    t.sh.slice_type = slice_i;
    t.sh.poc = 40;   // lsb 8
    t.sps.temporal_mvp_enabled = 1;
    t.sps.sao_enabled = 1;
    t.sh.sao_flags = 2;
    t.fs.compat = 120;
    EXPECT_EQ(t.bits(), "1" "0" "1" "011" "01000" "0" "11" "1" "01" + test_se(6));
    t.fs.compat = 91;   // I slice: the earlier layout sends no TMVP flag
    EXPECT_EQ(t.bits(), "1" "0" "1" "011" "01000" "0" "11" "01" + test_se(6));
}

TEST(SliceHeader, TrailingPWithDefaultListCount)
{
    slice_setup t;
    t.fs.nal_unit_type = 1;
    t.sh.slice_type = slice_p;
    t.sh.poc = 3;
    t.sh.num_ref_idx_l0_active = 1;
    t.sh.collocated_from_l0 = 1;
    t.sps.temporal_mvp_enabled = 1;
    t.rps.num_negative = 1;
    t.rps.delta_s0[0] = 1;
    t.rps.used_s0[0] = 1;
    // no no_output_of_prior_pics_flag; override 0; one entry: no collocated_ref_idx
    EXPECT_EQ(t.bits(), "1" "1" "010" "00011" "0" "010" "1" "1" "1" "1" "0" "1" + test_se(6));
    t.fs.compat = 91;   // flag after the reference set moves behind it, same bits here
    EXPECT_EQ(t.bits(), "1" "1" "010" "00011" "0" "010" "1" "1" "1" "1" "0" "1" + test_se(6));
    // more entries than the default: override with the count, collocated_ref_idx 0
    t.fs.compat = 120;
    t.sh.num_ref_idx_l0_active = 2;
    t.sh.max_num_merge_cand = 3;
    EXPECT_EQ(t.bits(), "1" "1" "010" "00011" "0" "010" "1" "1" "1" "1" "1" "010" "1" "011" + test_se(6));
}

TEST(SliceHeader, BWithDefaultCountsWritesOverrideZeroThenMvdL1Zero)
{
    slice_setup t;
    t.fs.nal_unit_type = 0;
    t.sh.slice_type = slice_b;
    t.sh.poc = 2;
    t.sh.num_ref_idx_l0_active = 1;
    t.sh.num_ref_idx_l1_active = 1;
    t.sh.collocated_from_l0 = 0;
    t.sps.temporal_mvp_enabled = 1;
    t.rps.num_negative = 1;
    t.rps.num_positive = 1;
    t.rps.delta_s0[0] = 2;
    t.rps.delta_s1[0] = 2;
    t.rps.used_s0[0] = 1;
    t.rps.used_s1[0] = 1;
    t.sh.slice_qp_delta = -3;
    EXPECT_EQ(t.bits(), "1" "1" "1" "00010" "0" "010" "010" "010" "1" "010" "1" "1"
                        "0" "0" "0" "1" + test_se(-3));
    // list 1 longer than its default: both counts are sent
    t.sh.num_ref_idx_l1_active = 2;
    t.sh.collocated_from_l0 = 0;
    EXPECT_EQ(t.bits(), "1" "1" "1" "00010" "0" "010" "010" "010" "1" "010" "1" "1"
                        "1" "1" "010" "0" "0" "1" "1" + test_se(-3));
}

TEST(SliceHeader, EntryPointsOfThreeRowsPerLayout)
{
    slice_setup t;
    t.fs.nal_unit_type = 19;
    t.sh.slice_type = slice_i;
    t.pps.entropy_coding_sync = 1;
    t.fs.ctu_rows = 3;
    t.sizes[0] = 300;
    t.sizes[1] = 256;
    t.sizes[2] = 90;
    const std::string head = "1" "0" "1" "011" + test_se(6);
    for (int compat : {100, 120}) {
        t.fs.compat = compat;
        EXPECT_EQ(t.bits(), head + test_ue(2) + test_ue(9) + test_u(10, 299) + test_u(10, 255));
    }
    t.fs.compat = 91;
    EXPECT_EQ(t.bits(), head + test_ue(2) + test_ue(9) + test_u(10, 300) + test_u(10, 256));
    // the last row's size does not take part in the width
    t.sizes[2] = 5000;
    t.fs.compat = 120;
    EXPECT_EQ(t.bits(), head + test_ue(2) + test_ue(9) + test_u(10, 299) + test_u(10, 255));
}

TEST(SliceHeader, EntryPointsOfOneRowAndOfOneByteSubstreams)
{
    slice_setup t;
    t.fs.nal_unit_type = 19;
    t.sh.slice_type = slice_i;
    t.pps.entropy_coding_sync = 1;
    const std::string head = "1" "0" "1" "011" + test_se(6);
    t.fs.ctu_rows = 1;
    t.sizes[0] = 1234;
    EXPECT_EQ(t.bits(), head + test_ue(0));
    t.fs.ctu_rows = 3;
    t.sizes[0] = 1;
    t.sizes[1] = 1;
    EXPECT_EQ(t.bits(), head + test_ue(2) + test_ue(0) + "0" "0");
    t.fs.compat = 91;
    EXPECT_EQ(t.bits(), head + test_ue(2) + test_ue(0) + "1" "1");
}

}  // namespace
