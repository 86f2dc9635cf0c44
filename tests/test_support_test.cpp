// Tests of the test-support library: the picture generators, the file
// writers and the decoder-match comparison.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/decode_compare.h"
#include "support/test_paths.h"
#include "support/yuv_gen.h"

namespace {

yuv_gen_params make_params(int w, int h, int pattern, uint32_t seed = 7, int cut = 0)
{
    yuv_gen_params p;
    p.width = w;
    p.height = h;
    p.pattern = pattern;
    p.seed = seed;
    p.cut_picture = cut;
    return p;
}

// Mean absolute luma difference between two packed pictures.
double luma_mad(const uint8_t *a, const uint8_t *b, int w, int h)
{
    long sum = 0;
    for (int i = 0; i < w * h; i++)
        sum += std::abs(a[i] - b[i]);
    return (double)sum / (w * h);
}

TEST(YuvGen, PictureBytesCoverOddAndUnalignedSizes)
{
    EXPECT_EQ(yuv_picture_bytes(176, 144), 38016u);
    EXPECT_EQ(yuv_picture_bytes(1920, 1080), 3110400u);
    EXPECT_EQ(yuv_picture_bytes(66, 34), 66u * 34 + 2 * 33 * 17);
    // Odd sizes round chroma up, as yuv420p does.
    EXPECT_EQ(yuv_picture_bytes(17, 9), 17u * 9 + 2 * 9 * 5);
    EXPECT_EQ(yuv_picture_bytes(0, 10), 0u);
}

TEST(YuvGen, EveryPatternIsDeterministicAndIndexAddressable)
{
    for (int pattern = 0; pattern < 4; pattern++) {
        yuv_gen_params p = make_params(70, 38, pattern, 11, 3);
        std::vector<uint8_t> all = yuv_gen_sequence(&p, 0, 6);
        EXPECT_EQ(all, yuv_gen_sequence(&p, 0, 6)) << "pattern " << pattern;
        // Picture k does not depend on the pictures generated before it.
        std::vector<uint8_t> tail = yuv_gen_sequence(&p, 4, 2);
        size_t bytes = yuv_picture_bytes(70, 38);
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), all.begin() + 4 * bytes))
            << "pattern " << pattern;
    }
}

TEST(YuvGen, MovingPatternsChangeFromPictureToPicture)
{
    for (int pattern : {yuv_pattern_gradient, yuv_pattern_noise, yuv_pattern_shapes}) {
        yuv_gen_params p = make_params(64, 48, pattern);
        std::vector<uint8_t> seq = yuv_gen_sequence(&p, 0, 2);
        size_t bytes = yuv_picture_bytes(64, 48);
        EXPECT_GT(luma_mad(seq.data(), seq.data() + bytes, 64, 48), 0.5) << "pattern " << pattern;
    }
}

TEST(YuvGen, NoiseDependsOnSeed)
{
    yuv_gen_params a = make_params(32, 32, yuv_pattern_noise, 1);
    yuv_gen_params b = make_params(32, 32, yuv_pattern_noise, 2);
    EXPECT_NE(yuv_gen_sequence(&a, 0, 1), yuv_gen_sequence(&b, 0, 1));
}

TEST(YuvGen, SceneCutChangesContentAbruptlyAtTheGivenPicture)
{
    const int w = 96, h = 64, cut = 5;
    yuv_gen_params p = make_params(w, h, yuv_pattern_scene_cut, 3, cut);
    std::vector<uint8_t> seq = yuv_gen_sequence(&p, 0, 8);
    size_t bytes = yuv_picture_bytes(w, h);
    auto pic = [&](int i) { return seq.data() + bytes * i; };
    double before = luma_mad(pic(cut - 2), pic(cut - 1), w, h);
    double at_cut = luma_mad(pic(cut - 1), pic(cut), w, h);
    double after = luma_mad(pic(cut), pic(cut + 1), w, h);
    EXPECT_GT(at_cut, 4 * before);
    EXPECT_GT(at_cut, 4 * after);
}

TEST(YuvGen, RawAndY4mFilesHaveTheExpectedLayout)
{
    yuv_gen_params p = make_params(18, 10, yuv_pattern_shapes);
    std::vector<uint8_t> pictures = yuv_gen_sequence(&p, 0, 3);
    size_t bytes = yuv_picture_bytes(18, 10);

    std::string raw = test_tmp_path("layout.yuv");
    ASSERT_TRUE(yuv_write_raw(raw, &p, 3));
    std::vector<uint8_t> file;
    ASSERT_TRUE(read_file_bytes(raw, &file));
    EXPECT_EQ(file, pictures);

    std::string header = y4m_header_line(18, 10, 30000, 1001);
    EXPECT_EQ(header, "YUV4MPEG2 W18 H10 F30000:1001 Ip A1:1 C420\n");
    std::string y4m = test_tmp_path("layout.y4m");
    ASSERT_TRUE(yuv_write_y4m(y4m, &p, 3, 30000, 1001));
    ASSERT_TRUE(read_file_bytes(y4m, &file));
    ASSERT_EQ(file.size(), header.size() + 3 * (6 + bytes));
    EXPECT_EQ(std::string(file.begin(), file.begin() + header.size()), header);
    for (int i = 0; i < 3; i++) {
        const uint8_t *frame = file.data() + header.size() + i * (6 + bytes);
        EXPECT_EQ(std::memcmp(frame, "FRAME\n", 6), 0) << "picture " << i;
        EXPECT_EQ(std::memcmp(frame + 6, pictures.data() + i * bytes, bytes), 0) << "picture " << i;
    }

    std::string custom = test_tmp_path("custom.y4m");
    ASSERT_TRUE(yuv_write_y4m_custom(custom, "YUV4MPEG2 W18 H10 It\n", "FRAME Ib\n", &p, 2));
    ASSERT_TRUE(read_file_bytes(custom, &file));
    EXPECT_EQ(file.size(), 21 + 2 * (9 + bytes));
}

// ---- comparison of raw files ----

struct compare_fixture : ::testing::Test {
    static constexpr int w = 18, h = 10;  // chroma 9x5: odd chroma width
    yuv_gen_params p = make_params(w, h, yuv_pattern_noise, 5);
    std::vector<uint8_t> a = yuv_gen_sequence(&p, 0, 4);
    size_t bytes = yuv_picture_bytes(w, h);
};

using CompareFixture = compare_fixture;

TEST_F(CompareFixture, IdenticalBuffersAndFilesCompareEqual)
{
    std::vector<uint8_t> b = a;
    yuv_compare_result r = compare_yuv_buffers(a.data(), a.size(), b.data(), b.size(), w, h);
    EXPECT_EQ(r.kind, yuv_compare_equal) << r.message;
    std::string fa = test_tmp_path("eq_a.yuv"), fb = test_tmp_path("eq_b.yuv");
    ASSERT_TRUE(write_file_bytes(fa, a.data(), a.size()));
    ASSERT_TRUE(write_file_bytes(fb, b.data(), b.size()));
    r = compare_yuv_files(fa, fb, w, h);
    EXPECT_EQ(r.kind, yuv_compare_equal) << r.message;
    EXPECT_EQ(r.expected_bytes, a.size());
}

TEST_F(CompareFixture, ReportsPicturePlanePositionAndValuesOfFirstDifference)
{
    struct spot { int picture, plane, x, y; };
    const spot spots[] = {{0, 0, 0, 0}, {2, 0, 17, 9}, {1, 1, 4, 3}, {3, 2, 8, 4}, {2, 2, 0, 0}};
    std::string fa = test_tmp_path("diff_a.yuv"), fb = test_tmp_path("diff_b.yuv");
    ASSERT_TRUE(write_file_bytes(fa, a.data(), a.size()));
    for (const spot &s : spots) {
        std::vector<uint8_t> b = a;
        size_t off = s.picture * bytes;
        if (s.plane == 0)
            off += s.y * w + s.x;
        else
            off += w * h + (s.plane - 1) * 9 * 5 + s.y * 9 + s.x;
        b[off] = (uint8_t)(a[off] ^ 0x41);
        // A later difference must not hide the first one.
        if (off + 1 < b.size())
            b.back() ^= 1;
        for (int from_files = 0; from_files < 2; from_files++) {
            yuv_compare_result r;
            if (from_files) {
                ASSERT_TRUE(write_file_bytes(fb, b.data(), b.size()));
                r = compare_yuv_files(fa, fb, w, h);
            } else {
                r = compare_yuv_buffers(a.data(), a.size(), b.data(), b.size(), w, h);
            }
            SCOPED_TRACE(r.message);
            EXPECT_EQ(r.kind, yuv_compare_differ);
            EXPECT_EQ(r.picture, s.picture);
            EXPECT_EQ(r.plane, s.plane);
            EXPECT_EQ(r.x, s.x);
            EXPECT_EQ(r.y, s.y);
            EXPECT_EQ(r.expected_value, a[off]);
            EXPECT_EQ(r.actual_value, a[off] ^ 0x41);
            EXPECT_NE(r.message.find(std::string("plane ") + "YUV"[s.plane]), std::string::npos);
        }
    }
}

TEST_F(CompareFixture, DifferentLengthsAreReportedWithPictureCounts)
{
    std::vector<uint8_t> shorter(a.begin(), a.begin() + 3 * bytes);
    yuv_compare_result r =
        compare_yuv_buffers(a.data(), a.size(), shorter.data(), shorter.size(), w, h);
    EXPECT_EQ(r.kind, yuv_compare_length) << r.message;
    EXPECT_NE(r.message.find("4 pictures"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("3 pictures"), std::string::npos) << r.message;

    // A partial trailing picture, from files, the longer one being "actual".
    std::vector<uint8_t> longer = a;
    longer.resize(a.size() + 7, 0);
    std::string fa = test_tmp_path("len_a.yuv"), fb = test_tmp_path("len_b.yuv");
    ASSERT_TRUE(write_file_bytes(fa, a.data(), a.size()));
    ASSERT_TRUE(write_file_bytes(fb, longer.data(), longer.size()));
    r = compare_yuv_files(fa, fb, w, h);
    EXPECT_EQ(r.kind, yuv_compare_length) << r.message;
    EXPECT_EQ(r.actual_bytes, a.size() + 7);
    EXPECT_NE(r.message.find("4 pictures + 7 bytes"), std::string::npos) << r.message;

    // An empty decoder output against a non-empty reconstruction.
    ASSERT_TRUE(write_file_bytes(fb, nullptr, 0));
    r = compare_yuv_files(fa, fb, w, h);
    EXPECT_EQ(r.kind, yuv_compare_length) << r.message;
}

TEST_F(CompareFixture, MissingFileOrUnusableSizeIsAnError)
{
    std::string fa = test_tmp_path("io_a.yuv");
    ASSERT_TRUE(write_file_bytes(fa, a.data(), a.size()));
    yuv_compare_result r = compare_yuv_files(fa, test_tmp_path("does_not_exist.yuv"), w, h);
    EXPECT_EQ(r.kind, yuv_compare_io_error);
    EXPECT_NE(r.message.find("does_not_exist"), std::string::npos);
    r = compare_yuv_files(fa, fa, 0, h);
    EXPECT_EQ(r.kind, yuv_compare_io_error);
}

// ---- decoders ----

TEST(Decoders, RunProgramReportsExitStatus)
{
    EXPECT_EQ(run_program({"sh", "-c", "exit 3"}, ""), 3);
    EXPECT_EQ(run_program({"sh", "-c", "exit 0"}, ""), 0);
    EXPECT_EQ(run_program({"/nonexistent/program"}, ""), -1);
    std::string log = test_tmp_path("run.log");
    std::remove(log.c_str());
    EXPECT_EQ(run_program({"sh", "-c", "echo out; echo err >&2"}, log), 0);
    std::vector<uint8_t> text;
    ASSERT_TRUE(read_file_bytes(log, &text));
    EXPECT_EQ(std::string(text.begin(), text.end()), "out\nerr\n");
}

TEST(Decoders, FfmpegReadsGeneratedY4mToTheSameRawBytes)
{
    std::string ffmpeg = find_in_path("ffmpeg");
    ASSERT_FALSE(ffmpeg.empty()) << "ffmpeg not found in PATH";
    // 66x34: neither a multiple of 8 nor of 64.
    yuv_gen_params p = make_params(66, 34, yuv_pattern_shapes);
    std::string y4m = test_tmp_path("ff.y4m"), out = test_tmp_path("ff_out.yuv");
    std::string raw = test_tmp_path("ff_ref.yuv");
    ASSERT_TRUE(yuv_write_y4m(y4m, &p, 5, 25, 1));
    ASSERT_TRUE(yuv_write_raw(raw, &p, 5));
    std::string log = test_tmp_path("ff.log");
    int status = run_program({ffmpeg, "-nostdin", "-v", "error", "-y", "-f", "yuv4mpegpipe", "-i",
                              y4m, "-f", "rawvideo", "-pix_fmt", "yuv420p", out},
                             log);
    ASSERT_EQ(status, 0);
    yuv_compare_result r = compare_yuv_files(raw, out, 66, 34);
    EXPECT_EQ(r.kind, yuv_compare_equal) << r.message;
}

TEST(Decoders, Dec265CommandUsesOptionsItsHelpTextOffers)
{
    std::string dec265 = find_dec265();
    ASSERT_FALSE(dec265.empty()) << "dec265 not found in PATH";
    std::string log = test_tmp_path("dec265_help.log");
    std::remove(log.c_str());
    run_program({dec265, "-h"}, log);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(read_file_bytes(log, &bytes));
    std::string help(bytes.begin(), bytes.end());
    std::vector<std::string> cmd = dec265_decode_command(dec265, "in.hevc", "out.yuv");
    ASSERT_EQ(cmd.size(), 5u);
    EXPECT_EQ(cmd[1], "-q");
    EXPECT_NE(help.find("-q, --quiet"), std::string::npos) << help;
    EXPECT_EQ(cmd[2], "-o");
    EXPECT_EQ(cmd[3], "out.yuv");
    EXPECT_NE(help.find("-o, --output"), std::string::npos) << help;
    EXPECT_EQ(cmd[4], "in.hevc");
}

TEST(Decoders, GarbageStreamFailsWithTheDecoderNamed)
{
    std::string stream = test_tmp_path("garbage.hevc"), recon = test_tmp_path("garbage.yuv");
    std::vector<uint8_t> junk(1000, 0x5a);
    ASSERT_TRUE(write_file_bytes(stream, junk.data(), junk.size()));
    yuv_gen_params p = make_params(16, 16, yuv_pattern_gradient);
    ASSERT_TRUE(yuv_write_raw(recon, &p, 1));
    ::testing::AssertionResult r = decode_and_compare(stream, recon, 16, 16);
    EXPECT_FALSE(r);
    EXPECT_NE(std::string(r.message()).find("ffmpeg"), std::string::npos) << r.message();
    EXPECT_NE(std::string(r.message()).find("dec265"), std::string::npos) << r.message();
    EXPECT_FALSE(decode_and_compare(test_tmp_path("no_stream.hevc"), recon, 16, 16));
}

TEST(Decoders, MissingDecodersAreFailuresNotSkips)
{
    std::string stream = test_tmp_path("nodec.hevc"), recon = test_tmp_path("nodec.yuv");
    ASSERT_TRUE(write_file_bytes(stream, "x", 1));
    ASSERT_TRUE(write_file_bytes(recon, "x", 1));
    const char *old = std::getenv("PATH");
    std::string saved = old ? old : "";
    setenv("PATH", "/nonexistent-dir", 1);
    ::testing::AssertionResult r = decode_and_compare(stream, recon, 16, 16);
    setenv("PATH", saved.c_str(), 1);
    EXPECT_FALSE(r);
    std::string msg = r.message();
    EXPECT_NE(msg.find("ffmpeg not found"), std::string::npos) << msg;
    EXPECT_NE(msg.find("dec265 not found"), std::string::npos) << msg;
}

// ---- scratch folders ----

std::string folder_of(const std::string &path)
{
    return path.substr(0, path.rfind('/'));
}

// Run by the next test in a child process: scratch files, one in a folder of
// their own, and the scratch folder on standard output.
TEST(TestPaths, DISABLED_ScratchFilesOfAChildRun)
{
    std::string file = test_tmp_path("a.txt"), sub = test_tmp_path("sub");
    ASSERT_TRUE(write_file_bytes(file, "a", 1));
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    ASSERT_TRUE(write_file_bytes(sub + "/b.txt", "b", 1));
    std::printf("scratch folder: %s\n", folder_of(file).c_str());
}

// Every test has a folder of its own, even when a process ID comes back, and
// nothing of it is left when the test ends.
TEST(TestPaths, EachTestHasItsOwnFolderRemovedWhenItEnds)
{
    std::string mine = folder_of(test_tmp_path("x"));
    EXPECT_EQ(folder_of(test_tmp_path("y")), mine);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string seen[2];
    for (std::string &folder : seen) {
        std::string log = test_tmp_path("child.log");
        std::remove(log.c_str());
        ASSERT_EQ(run_program({self, "--gtest_also_run_disabled_tests",
                               "--gtest_filter=TestPaths.DISABLED_ScratchFilesOfAChildRun"},
                              log),
                  0);
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(read_file_bytes(log, &bytes));
        std::string text(bytes.begin(), bytes.end());
        size_t at = text.find("scratch folder: ");
        ASSERT_NE(at, std::string::npos) << text;
        folder = text.substr(at + 16, text.find('\n', at) - at - 16);
        struct stat st;
        EXPECT_NE(stat(folder.c_str(), &st), 0) << folder << " is left behind";
        EXPECT_NE(folder, mine);
    }
    EXPECT_NE(seen[0], seen[1]);
}

}  // namespace
