// Streams of the whole encoder through the CTU syntax writer, read by ffmpeg
// and dec265: every slice must parse, every picture must come out, and the
// pictures must equal the reconstruction.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "encoder/config.h"
#include "encoder/encoder_instance.h"
#include "encoder/torvhevcenc.h"
#include "tests/support/decode_compare.h"
#include "tests/support/test_paths.h"
#include "tests/support/yuv_gen.h"

namespace {

struct stream_settings {
    int width, height;
    int threads;
    int wpp;
    int qp;
};

// Encodes `pictures` generated pictures; writes the stream and the
// reconstruction. Returns the number of access units.
int encode_to_files(const stream_settings &s, int pictures, const std::string &stream_path,
                    const std::string &recon_path)
{
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, 4, 0);
    p.width = s.width;
    p.height = s.height;
    p.working_threads = s.threads;
    p.frame_threads = 5;
    p.bframes = 0;
    p.lookahead = 0;
    p.scenecut = 0;
    p.rc_mode = 0;
    p.qp = s.qp;
    p.loglevel = 0;
    internal_config cfg;
    if (config_copy_public_param(&p, &cfg) != 0)
        return -2;
    cfg.wpp = s.wpp;
    torvhevcenc_encoder *enc = encoder_open(&cfg);
    if (!enc)
        return -3;
    FILE *fs = std::fopen(stream_path.c_str(), "wb");
    FILE *fr = std::fopen(recon_path.c_str(), "wb");
    yuv_gen_params g = {s.width, s.height, yuv_pattern_shapes, 7, 0};
    std::vector<uint8_t> pic(yuv_picture_bytes(s.width, s.height));
    int units = 0;
    for (int k = 0; k < pictures + 64; k++) {
        const uint8_t *au = nullptr;
        int64_t pts = -1;
        uint32_t out_strides[3] = {0, 0, 0};
        const uint8_t *out_planes[3] = {nullptr, nullptr, nullptr};
        frame_info info = {sizeof(frame_info), 0, 0, 0};
        int size;
        if (k < pictures) {
            yuv_gen_picture(&g, k, pic.data());
            const uint8_t *planes[3] = {pic.data(), pic.data() + s.width * s.height,
                                        pic.data() + s.width * s.height * 5 / 4};
            uint32_t strides[3] = {(uint32_t)s.width, (uint32_t)s.width / 2, (uint32_t)s.width / 2};
            size = torvhevcenc_encode_frame(enc, strides, planes, k, &info, &au, &pts, out_strides, out_planes,
                                            nullptr, nullptr);
        } else {
            if (torvhevcenc_pending_frames(enc) == 0)
                break;
            size = torvhevcenc_encode_frame(enc, nullptr, nullptr, 0, &info, &au, &pts, out_strides, out_planes,
                                            nullptr, nullptr);
        }
        if (size < 0) {
            units = -1;
            break;
        }
        if (size == 0)
            continue;
        units++;
        std::fwrite(au, 1, (size_t)size, fs);
        for (int pl = 0; pl < 3; pl++) {
            int w = pl ? s.width / 2 : s.width, h = pl ? s.height / 2 : s.height;
            for (int y = 0; y < h; y++)
                std::fwrite(out_planes[pl] + (size_t)y * out_strides[pl], 1, (size_t)w, fr);
        }
    }
    torvhevcenc_close(enc);
    std::fclose(fs);
    std::fclose(fr);
    return units;
}

TEST(SyntaxStream, DecodersReadEveryPictureOfTheEncodersStreams)
{
    const stream_settings cases[] = {
        {200, 120, 1, 0, 22},
        {200, 120, 4, 1, 32},
        {352, 288, 8, 1, 12},
        {136, 72, 2, 0, 51},
    };
    std::string ffmpeg = find_in_path("ffmpeg");
    std::string dec265 = find_dec265();
    ASSERT_FALSE(ffmpeg.empty());
    ASSERT_FALSE(dec265.empty());
    int n = 0;
    for (const stream_settings &s : cases) {
        SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << " threads " << s.threads << " wpp "
                                        << s.wpp);
        std::string base = test_tmp_path("syntax_stream_" + std::to_string(n++));
        std::string stream = base + ".hevc", recon = base + "_recon.yuv";
        const int pictures = 3;
        ASSERT_EQ(encode_to_files(s, pictures, stream, recon), pictures);
        const size_t picture_bytes = (size_t)s.width * s.height * 3 / 2;
        for (int which = 0; which < 2; which++) {
            std::string out = base + (which ? "_dec265.yuv" : "_ffmpeg.yuv");
            std::string log = base + (which ? "_dec265.log" : "_ffmpeg.log");
            std::remove(out.c_str());
            std::remove(log.c_str());
            std::vector<std::string> cmd = which ? dec265_decode_command(dec265, stream, out)
                                                 : ffmpeg_decode_command(ffmpeg, stream, out);
            ASSERT_EQ(run_program(cmd, log), 0) << (which ? "dec265" : "ffmpeg") << ", see " << log;
            FILE *f = std::fopen(out.c_str(), "rb");
            ASSERT_NE(f, nullptr);
            std::fseek(f, 0, SEEK_END);
            long size = std::ftell(f);
            std::fclose(f);
            EXPECT_EQ((size_t)size, picture_bytes * pictures) << (which ? "dec265" : "ffmpeg");
        }
        // Intra CUs with coded residuals in every picture, P pictures too.
        EXPECT_TRUE(decode_and_compare(stream, recon, s.width, s.height));
    }
}

}  // namespace
