#include <gtest/gtest.h>
#include <cstring>
#include <vector>
#include "bitstream/param_sets.h"
#include "bitstream/param_sets_fill.h"
#include "bitstream/rps.h"
#include "bitstream/sei.h"
#include "bitstream_reader.h"

namespace {

param_set_inputs inputs_1080p()
{
    param_set_inputs in;
    memset(&in, 0, sizeof(in));
    in.width = 1920;
    in.height = 1080;
    in.bframes = 7;
    in.hierarchy = 2;
    in.prefs = 4;
    in.brefs = 1;
    in.complexity = 5;
    in.sao = 3;
    in.tmvp = 1;
    in.sign_data_hiding = 1;
    in.wpp = 1;
    in.rc_mode = 0;
    in.qp = 32;
    in.fps_num = 25;
    in.fps_den = 1;
    return in;
}

struct param_records {
    vps_params vps;
    sps_params sps;
    pps_params pps;
    explicit param_records(const param_set_inputs &in)
    {
        vps_record_init(&vps, &in);
        sps_record_init(&sps, 0, &in, &vps);
        pps_record_init(&pps, 0, &in, &sps);
    }
};

struct rbsp_buffer {
    alignas(32) uint8_t buf[512];
    bit_writer bw;
    rbsp_buffer()
    {
        memset(buf, 0, sizeof(buf));
        bitwriter_set_buffer(&bw, buf, sizeof(buf));
    }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>((const uint8_t *)buf, (const uint8_t *)bw.cur); }
};

std::vector<uint8_t> vps_bytes(const param_records &p, int compat)
{
    rbsp_buffer b;
    write_vps(&b.bw, &p.vps, compat);
    return b.bytes();
}

std::vector<uint8_t> sps_bytes(const param_records &p, int compat)
{
    rbsp_buffer b;
    write_sps(&b.bw, &p.sps, compat);
    return b.bytes();
}

std::vector<uint8_t> pps_bytes(const param_records &p, int compat)
{
    rbsp_buffer b;
    write_pps(&b.bw, &p.pps, compat);
    return b.bytes();
}

// Golden RBSPs of a 1080p stream at complexity 5 (hierarchy 2, 4 P references,
// 7 B frames, SAO, TMVP, sign hiding, WPP, 25 fps), composed by hand from the
// H.265 syntax tables.
// 1080 is a multiple of the 8x8 minimum CU, so no row is added and no
// conformance window is sent.
const char *const golden_sps =
    "01 01 40 00 00 00 B0 00 00 00 00 00 78 A0 03 C0 80 10 E5 A0 82 09 92 "
    "44 42 A8 04 00 00 00 04 00 00 00 64 20";
const char *const golden_sps_91 =
    "01 01 40 00 00 00 00 00 78 A0 03 C0 80 10 E5 A0 82 09 92 44 42 A8 04 "
    "00 00 00 04 00 00 00 64 20";

TEST(ParamSets, Sps1080pMatchesGoldenBytesForEveryCompatibility)
{
    param_records p(inputs_1080p());
    EXPECT_EQ(sps_bytes(p, 120), test_hex(golden_sps));
    EXPECT_EQ(sps_bytes(p, 100), test_hex(golden_sps));
    EXPECT_EQ(sps_bytes(p, 91), test_hex(golden_sps_91));
}

// Reads profile_tier_level and the picture size fields of an SPS; returns
// the conformance window bottom offset (-1 without window).
int read_sps_size(const std::vector<uint8_t> &b, int compat, uint32_t *level, uint32_t *w,
                  uint32_t *h)
{
    test_bit_reader r(b.data(), b.size());
    EXPECT_EQ(r.u(4), 0u);
    EXPECT_EQ(r.u(3), 0u);
    EXPECT_EQ(r.u(1), 1u);
    EXPECT_EQ(r.u(8), 1u);            // profile space, tier, Main
    EXPECT_EQ(r.u(32), 0x40000000u);  // compatibility flag 1
    r.u(compat >= 100 ? 48 : 16);
    *level = r.u(8);
    EXPECT_EQ(r.ue(), 0u);            // sps id
    EXPECT_EQ(r.ue(), 1u);            // 4:2:0
    *w = r.ue();
    *h = r.ue();
    if (!r.u(1))
        return -1;
    EXPECT_EQ(r.ue(), 0u);
    EXPECT_EQ(r.ue(), 0u);
    EXPECT_EQ(r.ue(), 0u);
    return (int)r.ue();
}

TEST(ParamSets, Sps1080pIsCodedAt1080WithLevel4ForEveryCompatibility)
{
    param_records p(inputs_1080p());
    EXPECT_EQ(p.vps.level_idc, 120);
    for (int compat : {91, 100, 120}) {
        uint32_t level, w, h;
        EXPECT_EQ(read_sps_size(sps_bytes(p, compat), compat, &level, &w, &h), -1);
        EXPECT_EQ(level, 120u);
        EXPECT_EQ(w, 1920u);
        EXPECT_EQ(h, 1080u);
    }
}

TEST(ParamSets, PaddedHeightIsCodedRoundedUpWithAConformanceWindow)
{
    param_set_inputs in = inputs_1080p();
    in.height = 1076;   // coded 1080, four rows cropped = 2 chroma rows
    param_records p(in);
    EXPECT_EQ(p.sps.coded_height, 1080);
    EXPECT_EQ(p.sps.pad_bottom, 4);
    for (int compat : {91, 100, 120}) {
        uint32_t level, w, h;
        EXPECT_EQ(read_sps_size(sps_bytes(p, compat), compat, &level, &w, &h), 2);
        EXPECT_EQ(level, 120u);
        EXPECT_EQ(h, 1080u);
    }
}

TEST(ParamSets, LevelFollowsLumaPictureSize)
{
    const struct { int w, h, level; } cases[] = {
        {176, 144, 30}, {352, 288, 60}, {1920, 1080, 120}, {3840, 2160, 150},
        {1280, 720, 93}, {8192, 4352, 180}, {8192, 8192, 255},
    };
    for (const auto &c : cases) {
        param_set_inputs in = inputs_1080p();
        in.width = c.w;
        in.height = c.h;
        param_records p(in);
        std::vector<uint8_t> b = vps_bytes(p, 120);
        // general_level_idc is the last PTL byte: VPS bits 32 + 88 .. 32 + 95
        test_bit_reader r(b.data(), b.size());
        r.u(32 + 88);
        EXPECT_EQ((int)r.u(8), c.level) << c.w << "x" << c.h;
    }
    EXPECT_EQ(level_for_luma_size(36864), 30);
    EXPECT_EQ(level_for_luma_size(36865), 60);
    EXPECT_EQ(level_for_luma_size(35651585), -1);
}

TEST(ParamSets, VpsAndPpsMatchGoldenBytesPerLayout)
{
    param_records p(inputs_1080p());
    EXPECT_EQ(vps_bytes(p, 120), test_hex("0C 01 FF FF 01 40 00 00 00 B0 00 00 00 00 00 78 08 20 90 24"));
    EXPECT_EQ(vps_bytes(p, 100), vps_bytes(p, 120));
    EXPECT_EQ(vps_bytes(p, 91), test_hex("0E 00 FF FF 01 40 00 00 00 00 00 78 02 08 26 02"));
    EXPECT_EQ(pps_bytes(p, 120), test_hex("C1 63 06 08 48"));
    EXPECT_EQ(pps_bytes(p, 100), pps_bytes(p, 120));
    EXPECT_EQ(pps_bytes(p, 91), test_hex("D6 30 60 42 08"));
}

TEST(ParamSets, PpsFieldsFollowRateControlAndSwitches)
{
    param_set_inputs in = inputs_1080p();
    in.rc_mode = 1;          // ABR with the macroblock-tree
    in.mbtree = 1;
    in.brefs = 3;
    in.wpp = 0;
    in.sign_data_hiding = 0;
    param_records p(in);
    EXPECT_EQ(p.pps.init_qp, 26);
    EXPECT_EQ(p.pps.cu_qp_delta_enabled, 1);
    EXPECT_EQ(p.pps.diff_cu_qp_delta_depth, 0);
    std::vector<uint8_t> b = pps_bytes(p, 120);
    test_bit_reader r(b.data(), b.size());
    EXPECT_EQ(r.ue(), 0u);
    EXPECT_EQ(r.ue(), 0u);
    EXPECT_EQ(r.u(5), 0u);   // dependent slices, output flag, extra bits
    EXPECT_EQ(r.u(1), 0u);   // sign hiding
    EXPECT_EQ(r.u(1), 0u);   // cabac_init_present
    EXPECT_EQ(r.ue(), 2u);   // three l0 references
    EXPECT_EQ(r.ue(), 0u);
    EXPECT_EQ(r.se(), 0);    // init_qp 26
    EXPECT_EQ(r.u(2), 0u);
    EXPECT_EQ(r.u(1), 1u);   // cu_qp_delta_enabled
    EXPECT_EQ(r.ue(), 0u);   // depth
    EXPECT_EQ(r.se(), 0);
    EXPECT_EQ(r.se(), 0);
    EXPECT_EQ(r.u(3), 0u);
    EXPECT_EQ(r.u(3), 0u);   // bypass, tiles, wavefront off
    EXPECT_EQ(r.u(4), 0u);
    EXPECT_EQ(r.ue(), 0u);
    EXPECT_EQ(r.u(2), 0u);
    EXPECT_EQ(r.u(1), 1u);   // stop bit
    EXPECT_LT(r.bits_left(), 8u);
    EXPECT_EQ(r.u((int)r.bits_left()), 0u);
}

TEST(ParamSets, ZeroReferenceBCountStillWritesAValidDefault)
{
    param_set_inputs in = inputs_1080p();
    in.brefs = 0;
    param_records p(in);
    EXPECT_EQ(p.pps.num_ref_idx_l0_default, 1);
    std::vector<uint8_t> b = pps_bytes(p, 120);
    test_bit_reader r(b.data(), b.size());
    r.ue();
    r.ue();
    r.u(7);
    EXPECT_EQ(r.ue(), 0u);
}

// Reads the SPS up to the VUI flag and returns the reader positioned behind it.
bool skip_to_vui(test_bit_reader *r)
{
    r->u(8 + 96);
    r->ue();
    r->ue();
    r->ue();
    r->ue();
    if (r->u(1))
        for (int i = 0; i < 4; i++)
            r->ue();
    for (int i = 0; i < 3; i++)
        r->ue();
    r->u(1);
    for (int i = 0; i < 3 + 6; i++)
        r->ue();
    r->u(4);
    r->ue();
    r->u(3);
    return r->u(1) != 0;
}

TEST(ParamSets, VuiCarriesTimingAspectRatioAndFieldCoding)
{
    param_set_inputs in = inputs_1080p();
    in.width = 1280;
    in.height = 720;
    in.aspect_ratio_idc = 255;
    in.sar_num = 16;
    in.sar_den = 11;
    in.interlace = 1;
    in.fps_num = 30000;
    in.fps_den = 1001;
    param_records p(in);
    std::vector<uint8_t> b = sps_bytes(p, 120);
    test_bit_reader r(b.data(), b.size());
    ASSERT_TRUE(skip_to_vui(&r));
    EXPECT_EQ(r.u(1), 1u);
    EXPECT_EQ(r.u(8), 255u);
    EXPECT_EQ(r.u(16), 16u);
    EXPECT_EQ(r.u(16), 11u);
    EXPECT_EQ(r.u(4), 0u);
    EXPECT_EQ(r.u(1), 1u);   // field_seq_flag
    EXPECT_EQ(r.u(1), 1u);   // frame_field_info_present_flag
    EXPECT_EQ(r.u(1), 0u);
    EXPECT_EQ(r.u(1), 1u);   // timing
    EXPECT_EQ(r.u(32), 1001u);
    EXPECT_EQ(r.u(32), 30000u);
    EXPECT_EQ(r.u(3), 0u);   // poc proportional, hrd, bitstream restriction
    EXPECT_EQ(r.u(1), 0u);   // sps_extension_flag
    EXPECT_EQ(r.u(1), 1u);

    // interlaced profile_tier_level flags
    test_bit_reader v(b.data(), b.size());
    v.u(8 + 8 + 32);
    EXPECT_EQ(v.u(4), 0x6u);   // progressive 0, interlaced 1, non-packed 1, frame-only 0
}

TEST(ParamSets, ProgressiveWithoutRateOrAspectHasNoVuiAndAlignedSizeNoWindow)
{
    param_set_inputs in = inputs_1080p();
    in.width = 352;
    in.height = 288;
    in.fps_num = 0;
    in.fps_den = 0;
    param_records p(in);
    std::vector<uint8_t> b = sps_bytes(p, 120);
    test_bit_reader r(b.data(), b.size());
    r.u(8 + 96);
    r.ue();
    r.ue();
    EXPECT_EQ(r.ue(), 352u);
    EXPECT_EQ(r.ue(), 288u);
    EXPECT_EQ(r.u(1), 0u);   // no conformance window
    test_bit_reader s(b.data(), b.size());
    EXPECT_FALSE(skip_to_vui(&s));
    EXPECT_EQ(s.u(1), 0u);
    EXPECT_EQ(s.u(1), 1u);
    EXPECT_LT(s.bits_left(), 8u);
}

TEST(ParamSets, RecordFillFollowsComplexityAndStructure)
{
    param_set_inputs in = inputs_1080p();
    in.complexity = 7;
    in.hierarchy = 1;
    in.bframes = 3;
    in.prefs = 2;
    param_records p(in);
    EXPECT_EQ(p.sps.max_tu_depth_inter, 2);
    EXPECT_EQ(p.sps.max_tu_depth_intra, 3);
    EXPECT_EQ(p.vps.max_dec_pic_buffering_minus1, 4);
    EXPECT_EQ(p.vps.max_num_reorder_pics, 2);
    EXPECT_EQ(p.vps.max_latency_increase_plus1, 4);
    in.complexity = 3;
    param_records q(in);
    EXPECT_EQ(q.sps.max_tu_depth_inter, 0);
    EXPECT_EQ(q.sps.max_tu_depth_intra, 0);
}

// The POC LSBs cover the distance from the last reference picture of one
// mini-GOP to the anchor of the next: 5 bits up to the default groups, more
// for the longest pyramids.
TEST(ParamSets, PocLsbLengthCoversEveryGroup)
{
    param_set_inputs in = inputs_1080p();
    const int cases[][3] = {{0, 0, 5}, {3, 1, 5}, {7, 2, 5}, {7, 1, 5}, {10, 1, 6}, {15, 2, 6}, {15, 1, 6}, {15, 0, 6}};
    for (const auto &c : cases) {
        in.bframes = c[0];
        in.hierarchy = c[1];
        param_records p(in);
        EXPECT_EQ(p.sps.log2_max_poc_lsb, c[2]) << c[0] << " B-frames, hierarchy " << c[1];
    }
}

TEST(Sei, InterlacePayloadsAreExactBytes)
{
    rbsp_buffer b;
    write_sei_active_parameter_sets(&b.bw);
    EXPECT_EQ(b.bytes(), test_hex("81 01 0F 80"));
    // SEI writers continue at an unaligned cursor without a gap
    write_sei_pic_timing(&b.bw, 1);
    write_sei_pic_timing(&b.bw, 2);
    write_sei_pic_timing(&b.bw, 0);
    EXPECT_EQ(b.bytes(), test_hex("81 01 0F 80 01 01 11 80 01 01 21 80 01 01 05 80"));
}

std::string rps_bits(const short_term_rps &rps)
{
    rbsp_buffer b;
    write_short_term_rps(&b.bw, &rps);
    int64_t n = bitwriter_bit_pos(&b.bw);
    bitwriter_flush(&b.bw);
    std::string s;
    for (int64_t i = 0; i < n; i++)
        s += (char)('0' + ((b.buf[i / 8] >> (7 - i % 8)) & 1));
    return s;
}

TEST(Rps, PreviousPictureOnly)
{
    short_term_rps rps;
    memset(&rps, 0, sizeof(rps));
    rps.num_negative = 1;
    const int32_t l0[] = {9};
    build_short_term_rps(&rps, 10, l0, nullptr, l0, 1);
    EXPECT_EQ(rps_bits(rps), "010" "1" "1" "1");
}

TEST(Rps, BPictureBetweenTwoReferences)
{
    short_term_rps rps;
    memset(&rps, 0, sizeof(rps));
    rps.num_negative = 1;
    rps.num_positive = 1;
    const int32_t l0[] = {2};
    const int32_t l1[] = {6};
    const int32_t used[] = {2, 6};
    build_short_term_rps(&rps, 4, l0, l1, used, 2);
    EXPECT_EQ(rps_bits(rps), "010" "010" "010" "1" "010" "1");
}

TEST(Rps, KeptButUnusedPicturesAndGrowingDistances)
{
    short_term_rps rps;
    memset(&rps, 0, sizeof(rps));
    rps.num_negative = 3;
    const int32_t l0[] = {15, 14, 12};
    const int32_t used[] = {14, 15};
    build_short_term_rps(&rps, 16, l0, nullptr, used, 2);
    EXPECT_EQ(rps.delta_s0[2], 4u);
    EXPECT_EQ(rps.used_s0[2], 0);
    // deltas 1, 2, 4 are written as 0, 0, 1
    EXPECT_EQ(rps_bits(rps), test_ue(3) + test_ue(0) + "1" + "1" + "1" + "1" + "010" + "0");
}

TEST(Rps, EmptySetOfACraPicture)
{
    short_term_rps rps;
    memset(&rps, 0, sizeof(rps));
    EXPECT_EQ(rps_bits(rps), "11");
}

}  // namespace
