// Writes VPS, SPS, PPS and an IDR slice with wavefront substreams and lets
// ffmpeg's trace_headers bitstream filter read them back. The slice data are
// real CABAC substreams (a few bins each) so that the entry points point at
// byte-aligned, terminated substreams; they are not decodable pictures, so
// only the header trace is checked.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>
#include "bitstream/cabac.h"
#include "bitstream/param_sets_fill.h"
#include "encoder/nal_units.h"
#include "support/test_paths.h"

namespace {

struct header_stream {
    vps_params vps;
    sps_params sps;
    pps_params pps;
    short_term_rps rps;
    slice_header sh;
    std::vector<int32_t> sizes;
    std::vector<uint8_t> slice_data;
    std::vector<uint8_t> au;
};

param_set_inputs stream_inputs()
{
    param_set_inputs in;
    memset(&in, 0, sizeof(in));
    in.width = 1916;   // coded 1920 x 1080 with a 4 x 4 conformance window
    in.height = 1076;
    in.bframes = 7;
    in.hierarchy = 2;
    in.prefs = 4;
    in.brefs = 1;
    in.complexity = 5;
    in.sao = 3;
    in.tmvp = 1;
    in.sign_data_hiding = 1;
    in.wpp = 1;
    in.qp = 30;
    in.fps_num = 30000;
    in.fps_den = 1001;
    return in;
}

// One substream per CTU row, each ended as the CTU job ends it.
void build_substreams(header_stream *s, int rows, int compat)
{
    std::vector<uint8_t> buf(1 << 16);
    uint8_t *cur = buf.data();
    cabac_encoder enc;
    ep_scan_state scan = {0};
    for (int r = 0; r < rows; r++) {
        cabac_init_contexts(&enc, slice_i, s->sh.slice_qp, compat);
        cabac_encoder_init(&enc, cur, buf.data() + buf.size());
        for (int i = 0; i < 40 * (r + 1); i++) {
            cabac_encode_bin(&enc, ctx_split_cu_flag + (i % 3), (i * 7 + r) % 5 == 0);
            cabac_encode_bypass(&enc, 0);   // zero-rich data to provoke escapes
        }
        if (r < rows - 1)
            cabac_encode_terminate_flush(&enc, compat);
        else
            cabac_flush(&enc);
        int32_t n = (int32_t)(enc.buf_cur - cur);
        if (compat >= 120)
            n += emulation_prevention_scan(&scan, cur, (int32_t)(enc.buf_cur - cur));
        s->sizes.push_back(n);
        cur = enc.buf_cur;
    }
    s->slice_data.assign(buf.data(), cur);
}

void build_stream(header_stream *s, int compat)
{
    param_set_inputs in = stream_inputs();
    vps_record_init(&s->vps, &in);
    sps_record_init(&s->sps, 0, &in, &s->vps);
    pps_record_init(&s->pps, 0, &in, &s->sps);
    memset(&s->rps, 0, sizeof(s->rps));
    memset(&s->sh, 0, sizeof(s->sh));
    s->sh.sps = &s->sps;
    s->sh.pps = &s->pps;
    s->sh.slice_type = slice_i;
    s->sh.sao_flags = 3;
    s->sh.max_num_merge_cand = 5;
    s->sh.first_slice_segment_in_pic_flag = 1;
    s->sh.slice_qp = 33;
    s->sh.slice_qp_delta = 33 - s->pps.init_qp;
    int rows = (s->sps.coded_height + 63) / 64;
    build_substreams(s, rows, compat);

    frame_bitstream fb;
    au_buffer au;
    ASSERT_EQ(frame_bitstream_open(&fb, 6, 1000000), 0);
    ASSERT_EQ(au_buffer_open(&au, 1000), 0);
    nal_record_begin(&fb, nal_vps);
    write_vps(&fb.writer, &s->vps, compat);
    ASSERT_EQ(nal_record_end(&fb), 0);
    nal_record_begin(&fb, nal_sps);
    write_sps(&fb.writer, &s->sps, compat);
    ASSERT_EQ(nal_record_end(&fb), 0);
    nal_record_begin(&fb, nal_pps);
    write_pps(&fb.writer, &s->pps, compat);
    ASSERT_EQ(nal_record_end(&fb), 0);
    slice_frame_state fs = {nal_idr_w_radl, compat, rows, s->sizes.data(), &s->rps};
    ASSERT_EQ(slice_nal_append(&fb, nal_idr_w_radl, &fs, &s->sh, s->slice_data.data(),
                               (int32_t)s->slice_data.size()), 0);
    int32_t n = au_assemble(&fb, &au);
    ASSERT_GT(n, 0);
    s->au.assign(au.base, au.base + n);
    frame_bitstream_close(&fb);
    au_buffer_close(&au);
}

// Runs the trace and returns "name = value" pairs in order of appearance.
std::vector<std::pair<std::string, long long>> trace(const std::string &path, std::string *errors)
{
    std::string cmd = "ffmpeg -hide_banner -nostdin -loglevel info -i " + path +
                      " -c copy -bsf:v trace_headers -f null - 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::vector<std::pair<std::string, long long>> out;
    if (!p)
        return out;
    char line[1024];
    while (fgets(line, sizeof(line), p)) {
        std::string l = line;
        if (l.find("rror") != std::string::npos || l.find("nvalid") != std::string::npos)
            *errors += l;
        if (l.find("[trace_headers") == std::string::npos)
            continue;
        size_t eq = l.rfind(" = ");
        if (eq == std::string::npos)
            continue;
        // "[trace_headers @ 0x..] <pos>  <name>  <bits> = <value>"
        std::string left = l.substr(0, eq);
        size_t end_bits = left.find_last_not_of(' ');
        size_t start_bits = left.find_last_of(' ', end_bits);
        std::string before = left.substr(0, start_bits);
        size_t end_name = before.find_last_not_of(' ');
        size_t start_name = before.find_last_of(' ', end_name);
        std::string name = before.substr(start_name + 1, end_name - start_name);
        out.push_back({name, atoll(l.c_str() + eq + 3)});
    }
    pclose(p);
    return out;
}

long long value_of(const std::vector<std::pair<std::string, long long>> &t, const std::string &name,
                   int occurrence = 0)
{
    for (const auto &kv : t)
        if (kv.first == name && occurrence-- == 0)
            return kv.second;
    return -1;
}

TEST(HeaderTrace, FfmpegReadsParameterSetsAndSliceHeaderAsWritten)
{
    if (system("ffmpeg -version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg not available";
    header_stream s;
    build_stream(&s, 120);
    std::string path = test_tmp_path("headers_120.hevc");
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(s.au.data(), 1, s.au.size(), f);
    fclose(f);
    std::string errors;
    auto t = trace(path, &errors);
    EXPECT_EQ(errors, "");
    ASSERT_FALSE(t.empty()) << "no trace output";
    EXPECT_EQ(value_of(t, "pic_width_in_luma_samples"), 1920);
    EXPECT_EQ(value_of(t, "pic_height_in_luma_samples"), 1080);
    EXPECT_EQ(value_of(t, "conformance_window_flag"), 1);
    EXPECT_EQ(value_of(t, "conf_win_right_offset"), 2);
    EXPECT_EQ(value_of(t, "conf_win_bottom_offset"), 2);
    EXPECT_EQ(value_of(t, "general_level_idc"), 120);
    EXPECT_EQ(value_of(t, "general_level_idc", 1), 120);   // VPS and SPS
    EXPECT_EQ(value_of(t, "vui_num_units_in_tick"), 1001);
    EXPECT_EQ(value_of(t, "vui_time_scale"), 30000);
    EXPECT_EQ(value_of(t, "entropy_coding_sync_enabled_flag"), 1);
    EXPECT_EQ(value_of(t, "sample_adaptive_offset_enabled_flag"), 1);
    EXPECT_EQ(value_of(t, "slice_type"), 2);
    EXPECT_EQ(value_of(t, "slice_qp_delta"), 33 - 30);
    int rows = 17;
    EXPECT_EQ(value_of(t, "num_entry_point_offsets"), rows - 1);
    for (int r = 0; r < rows - 1; r++)
        EXPECT_EQ(value_of(t, "entry_point_offset_minus1[" + std::to_string(r) + "]"),
                  s.sizes[r] - 1) << r;
}

}  // namespace
