// Intra-only streams with coded residuals, decoded by ffmpeg and dec265: both
// decoders must turn every picture into exactly the encoder's reconstruction
// (deblocking included), ffmpeg's header tracer must read every slice, and the
// bytes must not depend on the number of CTU threads.
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
    yuv_gen_params g = {width, height, pattern, 11, 0};
    c.path = test_tmp_path("intra_clip_" + std::to_string(width) + "x" + std::to_string(height) + "_" +
                           std::to_string(pattern) + ".yuv");
    c.samples = yuv_gen_sequence(&g, 0, pictures);
    write_file(c.path, std::string(c.samples.begin(), c.samples.end()));
    return c;
}

// Luma PSNR of the reconstruction against the source clip.
double luma_psnr(const clip &c, const std::string &recon)
{
    std::string r = read_file(recon);
    size_t picture = yuv_picture_bytes(c.width, c.height), luma = (size_t)c.width * c.height;
    if (r.size() != c.samples.size()) return 0.0;
    double sse = 0.0;
    for (int k = 0; k < c.pictures; k++)
        for (size_t i = 0; i < luma; i++) {
            double d = (double)(uint8_t)r[k * picture + i] - c.samples[k * picture + i];
            sse += d * d;
        }
    if (sse == 0.0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * (double)luma * c.pictures / sse);
}

struct encoded {
    std::string stream, recon;
    std::string bytes;
};

// Encodes the clip with the CLI, every picture an IDR picture, constant QP.
encoded cli_encode(const clip &c, int qp, int threads, const std::string &tag)
{
    encoded e;
    std::string base = test_tmp_path("intra_" + tag + "_q" + std::to_string(qp) + "_t" + std::to_string(threads));
    e.stream = base + ".hevc";
    e.recon = base + "_recon.yuv";
    std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
    program_result r = run_torvenc({"-l", "0", "-y", "-s", size, "--idr", "1", "--cqp", "-q", std::to_string(qp),
                                    "-t", std::to_string(threads), "--recon", e.recon, c.path, e.stream});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    e.bytes = read_file(e.stream);
    return e;
}

// ffmpeg's trace_headers filter over the stream: exit 0, one slice header per
// picture, and no line reporting an error.
::testing::AssertionResult headers_trace_clean(const std::string &stream, int pictures)
{
    std::string ffmpeg = find_in_path("ffmpeg");
    if (ffmpeg.empty()) return ::testing::AssertionFailure() << "ffmpeg not found";
    std::string log = stream + ".trace.log";
    std::remove(log.c_str());
    int status = run_program({ffmpeg, "-nostdin", "-loglevel", "info", "-i", stream, "-c", "copy", "-bsf:v",
                              "trace_headers", "-f", "null", "-"},
                             log);
    std::string text = read_file(log);
    if (status != 0) return ::testing::AssertionFailure() << "ffmpeg exit " << status << ", see " << log;
    int slices = 0;
    size_t at = 0;
    while ((at = text.find("Slice Segment Header", at)) != std::string::npos) slices++, at++;
    if (slices != pictures)
        return ::testing::AssertionFailure() << slices << " slice headers for " << pictures << " pictures, see " << log;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        for (const char *bad : {"rror", "nvalid", "ailed", "corrupt"})
            if (line.find(bad) != std::string::npos)
                return ::testing::AssertionFailure() << "trace line: " << line;
        start = end + 1;
    }
    return ::testing::AssertionSuccess();
}

// Every QP of the milestone on one clip size: 2 and 8 threads give the same
// bytes and reconstruction, and both decoders reproduce the reconstruction.
void check_size_over_qps(int width, int height, int pictures, const std::vector<int> &qps)
{
    clip c = make_clip(width, height, pictures, yuv_pattern_shapes);
    long previous_size = -1;
    double previous_psnr = 1000.0;
    for (int qp : qps) {
        SCOPED_TRACE(testing::Message() << width << "x" << height << " QP " << qp);
        std::string tag = std::to_string(width) + "x" + std::to_string(height);
        encoded two = cli_encode(c, qp, 2, tag);
        encoded eight = cli_encode(c, qp, 8, tag);
        ASSERT_FALSE(two.bytes.empty());
        EXPECT_TRUE(two.bytes == eight.bytes) << "stream differs between 2 and 8 threads";
        EXPECT_TRUE(read_file(two.recon) == read_file(eight.recon));
        EXPECT_TRUE(decode_and_compare(two.stream, two.recon, width, height));
        EXPECT_TRUE(headers_trace_clean(two.stream, pictures));
        // Real residuals: a lower QP costs more bytes and comes closer to the source.
        double psnr = luma_psnr(c, two.recon);
        if (previous_size >= 0) {
            EXPECT_GT(previous_size, (long)two.bytes.size());
            EXPECT_GT(previous_psnr, psnr);
        }
        previous_size = (long)two.bytes.size();
        previous_psnr = psnr;
        if (qp == 12) {
            EXPECT_GT(psnr, 40.0);
        }
    }
}

const std::vector<int> milestone_qps = {12, 22, 32, 42, 51};

TEST(IntraStream, Picture64x64AtEveryQpDecodesToTheReconstruction)
{
    check_size_over_qps(64, 64, 2, milestone_qps);
}

TEST(IntraStream, Picture200x120AtEveryQpDecodesToTheReconstruction)
{
    check_size_over_qps(200, 120, 2, milestone_qps);
}

TEST(IntraStream, Picture352x288AtEveryQpDecodesToTheReconstruction)
{
    check_size_over_qps(352, 288, 2, milestone_qps);
}

TEST(IntraStream, Picture1280x720DecodesToTheReconstruction)
{
    check_size_over_qps(1280, 720, 2, {27});
}

// Pictures one and two CTUs wide hand the wavefront contexts over at the row
// end or start each row afresh; 8x8 CUs line the cut right and bottom edges.
TEST(IntraStream, NarrowAndCutPicturesDecodeToTheReconstruction)
{
    for (auto size : {std::make_pair(64, 192), std::make_pair(128, 136), std::make_pair(72, 200)}) {
        SCOPED_TRACE(testing::Message() << size.first << "x" << size.second);
        clip c = make_clip(size.first, size.second, 2, yuv_pattern_noise);
        std::string tag = std::to_string(size.first) + "x" + std::to_string(size.second);
        encoded two = cli_encode(c, 30, 2, tag);
        encoded eight = cli_encode(c, 30, 8, tag);
        EXPECT_TRUE(two.bytes == eight.bytes);
        EXPECT_TRUE(decode_and_compare(two.stream, two.recon, size.first, size.second));
        EXPECT_TRUE(headers_trace_clean(two.stream, 2));
    }
}

// ---- wavefront off, through the library ------------------------------------------
// The command line leaves the wavefront choice to the encoder (off with one
// working thread, else on); here both forms run with any thread count.

struct lib_encode {
    std::string stream, recon;
    int pictures;
};

lib_encode encode_with_library(const clip &c, int qp, int threads, int wpp, const std::string &tag,
                               int64_t cpu_flags = -1)
{
    lib_encode out{test_tmp_path("intra_lib_" + tag + ".hevc"), test_tmp_path("intra_lib_" + tag + "_recon.yuv"), 0};
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, 4, 0);
    p.width = c.width;
    p.height = c.height;
    p.working_threads = threads;
    p.idr_period = 1;
    p.bframes = 0;
    p.lookahead = 0;
    p.scenecut = 0;
    p.rc_mode = 0;
    p.qp = qp;
    p.loglevel = 0;
    internal_config cfg;
    if (config_copy_public_param(&p, &cfg) != 0) return out;
    cfg.wpp = wpp;
    if (cpu_flags >= 0) cfg.cpu_flags = (uint32_t)cpu_flags;
    torvhevcenc_encoder *enc = encoder_open(&cfg);
    if (!enc) return out;
    out.pictures = library_encode(enc, c.samples.data(), c.width, c.height, c.pictures, out.stream, out.recon,
                                  false)
                       .pictures;
    torvhevcenc_close(enc);
    return out;
}

TEST(IntraStream, WavefrontOffAndOnDecodeToTheReconstructionWithAnyThreadCount)
{
    clip c = make_clip(200, 136, 2, yuv_pattern_shapes);
    for (int wpp : {0, 1}) {
        std::string bytes[2];
        for (int t = 0; t < 2; t++) {
            int threads = t ? 8 : 1;
            SCOPED_TRACE(testing::Message() << "wpp " << wpp << " threads " << threads);
            std::string tag = "wpp" + std::to_string(wpp) + "_t" + std::to_string(threads);
            lib_encode e = encode_with_library(c, 22, threads, wpp, tag);
            ASSERT_EQ(e.pictures, c.pictures);
            EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height));
            EXPECT_TRUE(headers_trace_clean(e.stream, c.pictures));
            bytes[t] = read_file(e.stream);
        }
        EXPECT_TRUE(bytes[0] == bytes[1]) << "wpp " << wpp << ": stream differs between 1 and 8 threads";
    }
}

}  // namespace

namespace {

// Noise at the lowest QP writes several kilobytes per CTU, more than the room
// kept free before each CTU; the single substream of a picture without
// wavefront rows must grow rather than lose the picture.
TEST(IntraStream, CtusLargerThanTheReserveStillFitTheSubstream)
{
    clip c = make_clip(640, 384, 1, yuv_pattern_noise);
    for (int wpp : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "wpp " << wpp);
        lib_encode e = encode_with_library(c, 0, 4, wpp, "noise_q0_wpp" + std::to_string(wpp));
        ASSERT_EQ(e.pictures, 1);
        EXPECT_GT(read_file(e.stream).size(), (size_t)60 * 3500);
        EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height));
    }
}

// The vector kernels equal the portable ones, so the processor flags never
// change the stream or the reconstruction.
TEST(IntraStream, PortableKernelsGiveTheSameStream)
{
    clip c = make_clip(200, 120, 1, yuv_pattern_shapes);
    lib_encode simd = encode_with_library(c, 22, 2, 1, "flags_detected");
    lib_encode portable = encode_with_library(c, 22, 2, 1, "flags_none", 0);
    ASSERT_EQ(simd.pictures, 1);
    ASSERT_EQ(portable.pictures, 1);
    EXPECT_TRUE(read_file(simd.stream) == read_file(portable.stream));
    EXPECT_TRUE(read_file(simd.recon) == read_file(portable.recon));
}

}  // namespace
