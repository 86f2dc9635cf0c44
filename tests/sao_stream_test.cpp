// Streams with sample adaptive offset on, decoded by ffmpeg and dec265: both
// decoders must reproduce the encoder's reconstruction exactly (SAO applied
// one CTU behind the coding, cut CTUs at the right and bottom edges
// included), with and without wavefront rows, and the bytes must not depend
// on the number of CTU threads. SAO must also really change the pictures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "encoder/config.h"
#include "encoder/encoder_instance.h"
#include "encoder/torvhevcenc.h"
#include "tests/support/cli_capture.h"
#include "tests/support/decode_compare.h"
#include "tests/support/library_encode.h"
#include "tests/support/test_paths.h"
#include "tests/support/yuv_gen.h"

namespace {

struct clip {
    int width, height, pictures;
    std::string path;
    std::vector<uint8_t> samples;
};

clip make_clip(int width, int height, int pictures, int pattern)
{
    clip c{width, height, pictures, "", {}};
    yuv_gen_params g = {width, height, pattern, 5, 0};
    c.path = test_tmp_path("sao_clip_" + std::to_string(width) + "x" + std::to_string(height) + "_" +
                           std::to_string(pattern) + "_" + std::to_string(pictures) + ".yuv");
    c.samples = yuv_gen_sequence(&g, 0, pictures);
    write_file(c.path, std::string(c.samples.begin(), c.samples.end()));
    return c;
}

// Sum of squared luma differences between a reconstruction file and the clip.
double luma_sse(const clip &c, const std::string &recon)
{
    std::string r = read_file(recon);
    size_t picture = yuv_picture_bytes(c.width, c.height), luma = (size_t)c.width * c.height;
    if (r.size() != c.samples.size()) return -1.0;
    double sse = 0.0;
    for (int k = 0; k < c.pictures; k++)
        for (size_t i = 0; i < luma; i++) {
            double d = (double)(uint8_t)r[k * picture + i] - c.samples[k * picture + i];
            sse += d * d;
        }
    return sse;
}

struct lib_options {
    int qp = 27;
    int threads = 1;
    int wpp = 1;
    int sao = -1;          // -1: the preset's value
    int preset = 4;
    int idr_period = 1;    // 1: every picture IDR; 0: the preset's group of pictures
};

struct lib_encode {
    std::string stream, recon;
    int pictures = 0;
};

// Encodes the clip through the library at constant QP and writes the stream
// and the reconstruction in display order.
lib_encode encode_with_library(const clip &c, const lib_options &o, const std::string &tag)
{
    lib_encode out;
    out.stream = test_tmp_path("sao_lib_" + tag + ".hevc");
    out.recon = test_tmp_path("sao_lib_" + tag + "_recon.yuv");
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, o.preset, 0);
    p.width = c.width;
    p.height = c.height;
    p.working_threads = o.threads;
    if (o.idr_period == 1) {
        p.idr_period = 1;
        p.bframes = 0;
    }
    p.lookahead = 0;
    p.scenecut = 0;
    p.rc_mode = 0;
    p.qp = o.qp;
    p.loglevel = 0;
    internal_config cfg;
    if (config_copy_public_param(&p, &cfg) != 0) return out;
    cfg.wpp = o.wpp;
    if (o.sao >= 0) cfg.sao = o.sao;
    torvhevcenc_encoder *enc = encoder_open(&cfg);
    if (!enc) return out;
    // Pictures come back in coding order; the file is in display order.
    out.pictures = library_encode(enc, c.samples.data(), c.width, c.height, c.pictures, out.stream, out.recon,
                                  true)
                       .pictures;
    torvhevcenc_close(enc);
    return out;
}

// Wavefront on and off, 1 and 8 threads: every stream decodes to the
// reconstruction and the thread count changes no byte.
void check_wavefront_and_threads(const clip &c, const lib_options &base, const std::string &name)
{
    for (int wpp : {0, 1}) {
        std::string bytes[2], recon[2];
        for (int t = 0; t < 2; t++) {
            lib_options o = base;
            o.wpp = wpp;
            o.threads = t ? 8 : 1;
            SCOPED_TRACE(testing::Message() << name << " wpp " << wpp << " threads " << o.threads);
            lib_encode e = encode_with_library(c, o, name + "_wpp" + std::to_string(wpp) + "_t" + std::to_string(o.threads));
            ASSERT_EQ(e.pictures, c.pictures);
            // One decoder run per stream form is enough: the other thread
            // count must give the very same bytes.
            if (t == 0) {
                EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height));
            }
            bytes[t] = read_file(e.stream);
            recon[t] = read_file(e.recon);
        }
        EXPECT_TRUE(bytes[0] == bytes[1]) << name << " wpp " << wpp << ": stream differs between 1 and 8 threads";
        EXPECT_TRUE(recon[0] == recon[1]) << name << " wpp " << wpp << ": reconstruction differs";
    }
}

TEST(SaoStream, SmallAndCutPicturesDecodeExactlyWithAndWithoutWavefront)
{
    const int sizes[3][2] = {{64, 64}, {72, 72}, {200, 120}};
    for (const auto &s : sizes) {
        clip c = make_clip(s[0], s[1], 2, yuv_pattern_shapes);
        lib_options o;
        o.qp = 30;
        check_wavefront_and_threads(c, o, "intra_" + std::to_string(s[0]) + "x" + std::to_string(s[1]));
    }
}

// 720 rows leave a bottom CTU row of 16 luma rows; 20 full CTU columns.
TEST(SaoStream, Picture1280x720DecodesExactlyWithAndWithoutWavefront)
{
    clip c = make_clip(1280, 720, 2, yuv_pattern_shapes);
    lib_options o;
    o.qp = 32;
    check_wavefront_and_threads(c, o, "intra_1280x720");
}

// The presets of the lowest complexities code SAO for luma only: chroma is
// deblocked in place while luma keeps its displaced deblocked copy.
TEST(SaoStream, LumaOnlySaoDecodesExactly)
{
    clip c = make_clip(200, 120, 2, yuv_pattern_noise);
    lib_options o;
    o.preset = 1;
    o.qp = 27;
    lib_encode e = encode_with_library(c, o, "luma_only");
    ASSERT_EQ(e.pictures, c.pictures);
    EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height));
    lib_options chroma = o;
    chroma.sao = SAO_FLAG_CHROMA;
    e = encode_with_library(c, chroma, "chroma_only");
    ASSERT_EQ(e.pictures, c.pictures);
    EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height));
}

// The command line with every picture an IDR picture.
TEST(SaoStream, CommandLineIntraEncodeDecodesExactly)
{
    clip c = make_clip(200, 120, 3, yuv_pattern_gradient);
    std::string base = test_tmp_path("sao_cli_200x120");
    std::string stream = base + ".hevc", recon = base + "_recon.yuv";
    program_result r = run_torvenc({"-l", "0", "-y", "-s", "200x120", "--idr", "1", "--cqp", "-q", "35", "-t", "8",
                                    "--recon", recon, c.path, stream});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(decode_and_compare(stream, recon, c.width, c.height));
}

// The preset's own group of pictures: P and B pictures reference pictures
// that SAO has finished, B pictures code SAO off.
TEST(SaoStream, DefaultGroupOfPicturesDecodesExactly)
{
    clip c = make_clip(200, 136, 6, yuv_pattern_shapes);
    for (int threads : {1, 8}) {
        SCOPED_TRACE(testing::Message() << "threads " << threads);
        lib_options o;
        o.idr_period = 0;
        o.threads = threads;
        o.qp = 30;
        lib_encode e = encode_with_library(c, o, "gop_t" + std::to_string(threads));
        ASSERT_EQ(e.pictures, c.pictures);
        EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height));
    }
}

// SAO does something, and what it does brings the pictures closer to the
// source: its offsets are chosen where they lower the distortion.
TEST(SaoStream, SaoChangesThePicturesAndLowersTheDistortion)
{
    clip c = make_clip(256, 192, 2, yuv_pattern_shapes);
    lib_options on;
    on.qp = 37;
    lib_options off = on;
    off.sao = 0;
    lib_encode e_on = encode_with_library(c, on, "effect_on");
    lib_encode e_off = encode_with_library(c, off, "effect_off");
    ASSERT_EQ(e_on.pictures, c.pictures);
    ASSERT_EQ(e_off.pictures, c.pictures);
    EXPECT_FALSE(read_file(e_on.recon) == read_file(e_off.recon)) << "SAO left every sample as deblocked";
    double sse_on = luma_sse(c, e_on.recon), sse_off = luma_sse(c, e_off.recon);
    ASSERT_GT(sse_off, 0.0);
    EXPECT_LT(sse_on, sse_off);
    EXPECT_TRUE(decode_and_compare(e_off.stream, e_off.recon, c.width, c.height));
}

}  // namespace
