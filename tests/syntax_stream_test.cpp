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
#include "tests/support/library_encode.h"
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
    yuv_gen_params g = {s.width, s.height, yuv_pattern_shapes, 7, 0};
    std::vector<uint8_t> samples = yuv_gen_sequence(&g, 0, pictures);
    int units = library_encode(enc, samples.data(), s.width, s.height, pictures, stream_path, recon_path, false)
                    .pictures;
    torvhevcenc_close(enc);
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
