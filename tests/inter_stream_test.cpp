// P and B pictures with the inter decision, decoded by ffmpeg and dec265:
// default group structures (IDR, P and a B pyramid) over moving, noisy and
// cut content at several complexities must decode to exactly the encoder's
// reconstruction, must not depend on the number of CTU threads, and must
// cost clearly less than intra-only coding of the same moving content.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/cli_capture.h"
#include "tests/support/decode_compare.h"
#include "tests/support/test_paths.h"
#include "tests/support/yuv_gen.h"

namespace {

struct clip {
    int width, height, pictures;
    std::string path;
};

clip make_clip(int width, int height, int pictures, int pattern, int cut = 0)
{
    clip c{width, height, pictures, ""};
    yuv_gen_params g = {width, height, pattern, 7, cut};
    c.path = test_tmp_path("inter_clip_" + std::to_string(width) + "x" + std::to_string(height) + "_" +
                           std::to_string(pattern) + ".yuv");
    std::vector<uint8_t> samples = yuv_gen_sequence(&g, 0, pictures);
    write_file(c.path, std::string(samples.begin(), samples.end()));
    return c;
}

struct encoded {
    std::string stream, recon, bytes;
};

encoded encode(const clip &c, const std::string &tag, const std::vector<std::string> &extra)
{
    encoded e;
    std::string base = test_tmp_path("inter_" + tag);
    e.stream = base + ".hevc";
    e.recon = base + "_recon.yuv";
    std::vector<std::string> args = {"-l", "0", "-y", "-s", std::to_string(c.width) + "x" + std::to_string(c.height),
                                     "--cqp", "--recon", e.recon};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(c.path);
    args.push_back(e.stream);
    program_result r = run_torvenc(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    e.bytes = read_file(e.stream);
    return e;
}

TEST(InterStream, DefaultGroupsDecodeExactlyAtEveryComplexity)
{
    const int patterns[] = {yuv_pattern_gradient, yuv_pattern_shapes, yuv_pattern_noise, yuv_pattern_scene_cut};
    for (int pattern : patterns) {
        clip c = make_clip(200, 136, 9, pattern, 5);
        for (int complexity : {0, 4, 6, 7}) {
            std::string tag = "p" + std::to_string(pattern) + "_c" + std::to_string(complexity);
            encoded e = encode(c, tag, {"-c", std::to_string(complexity), "-q", "30"});
            ASSERT_FALSE(e.bytes.empty()) << tag;
            EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height)) << tag;
        }
    }
}

TEST(InterStream, POnlyAndDeeperPyramidsDecodeExactly)
{
    clip c = make_clip(136, 88, 10, yuv_pattern_shapes);
    const std::vector<std::vector<std::string>> setups = {
        {"--bframes", "0", "-q", "26"}, {"--bframes", "3", "-q", "34"}, {"--bframes", "7", "-q", "38", "-c", "6"}};
    int k = 0;
    for (const auto &s : setups) {
        encoded e = encode(c, "setup" + std::to_string(k++), s);
        EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height)) << k;
    }
}

// Two or more threads code rows in wavefront order and give the same bytes
// for any thread and frame-instance count; one thread codes whole rows in
// turn, a stream of its own that must decode as exactly.
// Groups of up to 15 B-frames in every pyramid: the POC LSBs, the reference
// sets and the decoded-picture-buffer sizes must cover them (two full groups
// and a short last one).
TEST(InterStream, LongBGroupsDecodeExactly)
{
    clip c = make_clip(136, 88, 40, yuv_pattern_shapes);
    const std::vector<std::vector<std::string>> setups = {{"--bframes", "15", "--hierach", "2"},
                                                          {"--bframes", "10", "--hierach", "1"},
                                                          {"--bframes", "12", "--hierach", "2", "--prefs", "1"}};
    int k = 0;
    for (const auto &s : setups) {
        std::vector<std::string> args = s;
        args.insert(args.end(), {"-q", "30", "--scenecut", "0"});
        encoded e = encode(c, "long" + std::to_string(k++), args);
        EXPECT_TRUE(decode_and_compare(e.stream, e.recon, c.width, c.height)) << k;
    }
}

TEST(InterStream, BytesDoNotDependOnTheThreadCount)
{
    clip c = make_clip(264, 200, 7, yuv_pattern_shapes);
    for (int complexity : {4, 6}) {
        std::string cx = std::to_string(complexity);
        encoded two = encode(c, "t2_c" + cx, {"-c", cx, "-t", "2"});
        encoded eight = encode(c, "t8_c" + cx, {"-c", cx, "-t", "8"});
        ASSERT_FALSE(two.bytes.empty());
        EXPECT_TRUE(two.bytes == eight.bytes) << complexity;
        EXPECT_TRUE(read_file(two.recon) == read_file(eight.recon)) << complexity;
        // Pictures coded in parallel read their references only where finished.
        encoded frames = encode(c, "f4_c" + cx, {"-c", cx, "--threads", "4", "-t", "8"});
        EXPECT_TRUE(two.bytes == frames.bytes) << complexity;
        EXPECT_TRUE(decode_and_compare(frames.stream, frames.recon, c.width, c.height)) << complexity;
        encoded one = encode(c, "t1_c" + cx, {"-c", cx, "-t", "1"});
        EXPECT_FALSE(one.bytes == two.bytes) << "one thread codes without wavefront";
        EXPECT_TRUE(decode_and_compare(one.stream, one.recon, c.width, c.height)) << complexity;
    }
}

TEST(InterStream, MovingContentCostsClearlyLessThanIntraCoding)
{
    for (int pattern : {yuv_pattern_gradient, yuv_pattern_shapes}) {
        clip c = make_clip(192, 128, 9, pattern);
        encoded inter = encode(c, "rate_inter_" + std::to_string(pattern), {"-q", "30"});
        encoded intra = encode(c, "rate_intra_" + std::to_string(pattern), {"-q", "30", "--idr", "1"});
        ASSERT_FALSE(intra.bytes.empty());
        EXPECT_LT(inter.bytes.size() * 2, intra.bytes.size())
            << "pattern " << pattern << ": inter " << inter.bytes.size() << " intra " << intra.bytes.size();
        std::printf("pattern %d: inter %zu bytes, intra-only %zu bytes\n", pattern, inter.bytes.size(),
                    intra.bytes.size());
    }
}

TEST(InterStream, StillSceneCostsLittleAfterItsFirstPicture)
{
    // Every picture the same: the P and B pictures are skipped CUs throughout.
    std::vector<uint8_t> one;
    yuv_gen_params g = {160, 96, yuv_pattern_shapes, 3, 0};
    one = yuv_gen_sequence(&g, 0, 1);
    clip c{160, 96, 9, test_tmp_path("inter_still.yuv")};
    std::string data;
    for (int k = 0; k < 9; k++) data.append(one.begin(), one.end());
    write_file(c.path, data);
    encoded first = encode(c, "still_one", {"-q", "30", "-n", "1"});
    encoded all = encode(c, "still_all", {"-q", "30"});
    EXPECT_TRUE(decode_and_compare(all.stream, all.recon, c.width, c.height));
    // Eight more pictures of 15 CUs each, each CU a skip of well under a byte.
    EXPECT_LT(all.bytes.size(), first.bytes.size() + 8 * 40) << all.bytes.size() << " vs " << first.bytes.size();
}

}  // namespace
