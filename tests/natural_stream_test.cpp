// Streams of natural content through the command line: pans and a zoom over
// photographs, film grain and a moving overlay, at every complexity, at sizes
// with partial CTUs on both edges (one of them not a multiple of 8), coded
// with one thread (no wavefront rows) and with eight, with the default GOP
// and without B pictures. Each stream must decode in ffmpeg and dec265 to
// exactly the reconstruction.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/cli_capture.h"
#include "tests/support/decode_compare.h"
#include "tests/support/natural_clip.h"
#include "tests/support/test_paths.h"

namespace {

struct natural_case {
    const char *kind;
    int width, height;
};

const natural_case clips[] = {
    {"zoom", 328, 200},
    {"grain", 200, 136},
    {"overlay", 264, 152},
    {"pan6", 250, 130},
};
const int pictures = 12;

std::string clip_path(const natural_case &c)
{
    return test_tmp_path(std::string("natural_") + c.kind + "_" + std::to_string(c.width) + "x" +
                         std::to_string(c.height) + ".y4m");
}

// Codes the clip at constant QP and checks that both decoders give back the
// reconstruction.
void encode_and_match(const natural_case &c, int complexity, int threads, int bframes = -1)
{
    std::string tag = std::string(c.kind) + " " + std::to_string(c.width) + "x" + std::to_string(c.height) +
                      " complexity " + std::to_string(complexity) + " threads " + std::to_string(threads) +
                      (bframes >= 0 ? " --bframes " + std::to_string(bframes) : "");
    SCOPED_TRACE(tag);
    std::string base = test_tmp_path("natural_c" + std::to_string(complexity) + "_t" + std::to_string(threads));
    std::vector<std::string> args = {"-l", "0", "-y", "-c", std::to_string(complexity), "-t", std::to_string(threads),
                                     "--cqp", "-q", "30", "--recon", base + "_recon.yuv"};
    if (bframes >= 0) args.insert(args.end(), {"--bframes", std::to_string(bframes)});
    args.push_back(clip_path(c));
    args.push_back(base + ".hevc");
    program_result r = run_torvenc(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(decode_and_compare(base + ".hevc", base + "_recon.yuv", c.width, c.height));
    for (const char *suffix :
         {".hevc", "_recon.yuv", ".hevc.ffmpeg.yuv", ".hevc.dec265.yuv", ".hevc.ffmpeg.log", ".hevc.dec265.log"})
        std::remove((base + suffix).c_str());
}

TEST(NaturalStream, EveryComplexityDecodesExactlyWithOneAndEightThreads)
{
    for (const natural_case &c : clips) ASSERT_TRUE(natural_clip_write(c.kind, c.width, c.height, pictures, clip_path(c)));
    for (int complexity = 0; complexity <= 7; complexity++) {
        // The zoom at complexities 3 and 7 (complexity 7 with eight threads
        // and B pictures coded streams that did not decode as reconstructed).
        const natural_case &c = clips[(complexity + 1) % 4];
        // Without B pictures where the complexity is even and eight threads code.
        for (int threads : {1, 8}) encode_and_match(c, complexity, threads, threads == 8 && complexity % 2 == 0 ? 0 : -1);
    }
    for (const natural_case &c : clips) std::remove(clip_path(c).c_str());
}

// A pan of 16 samples a picture, whose P pictures (4 pictures apart) point 64
// samples right of their blocks into references that other threads may still
// be coding.
TEST(NaturalStream, FarRightVectorsDecodeExactlyWithEightThreads)
{
    const natural_case fast = {"pan16", 512, 216};
    ASSERT_TRUE(natural_clip_write(fast.kind, fast.width, fast.height, pictures, clip_path(fast)));
    for (int complexity : {4, 7}) encode_and_match(fast, complexity, 8, 3);
    std::remove(clip_path(fast).c_str());
}

}  // namespace
