// The program used carelessly or with hostile intent: rates past every range,
// a FIFO as input, one file named twice, settings refused after an existing
// output was named, a first pass that would write nothing, text where a number
// belongs, bitrate modes without a rate, and arguments after the output name.
// Each runs the built binary; in the sanitizer build undefined behaviour ends
// that binary with an error, which the exit codes below catch.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/cli_capture.h"
#include "support/test_paths.h"
#include "support/watchdog.h"
#include "support/yuv_gen.h"

namespace {

const int clip_pictures = 6;

// A small textured clip whose name tells its size and rate.
std::string make_clip(const std::string &tag)
{
    std::string path = test_tmp_path(tag + "_64x64_25fps.yuv");
    yuv_gen_params gen = {64, 64, yuv_pattern_shapes, 7, 0};
    EXPECT_TRUE(yuv_write_raw(path, &gen, clip_pictures));
    return path;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The luma PSNR of the close report's "average:" line, or -1.
double average_luma_psnr(const program_result &r)
{
    for (const std::string *text : {&r.out, &r.err}) {
        size_t at = text->find("average:");
        if (at != std::string::npos)
            return std::atof(text->c_str() + at + 8);
    }
    return -1;
}

}  // namespace

TEST(Misuse, RatesBeyondEveryRangeStillEncodeAtFullQuality)
{
    std::string clip = make_clip("rates"), output = test_tmp_path("rates.hevc");
    // Each gives a per-picture budget past 2^31 bits: it must saturate, not
    // wrap into a budget of nothing (which coded everything at QP 51).
    const std::vector<std::vector<std::string>> cases = {
        {"--cbr", "-b", "2147483647"},
        {"--maxrate", "2147483648"},
        {"--cbr", "-b", "3000", "-r", "1/1000"},
        {"--abr", "-b", "3000", "--vbv-bufsize", "1000", "--vbv-maxrate", "3000", "-r", "1/1000"},
    };
    for (std::vector<std::string> args : cases) {
        std::string shown = args[0] + " " + args[1];
        args.insert(args.end(), {"--compat", "12", "-t", "2", clip, output});
        program_result r = run_torvenc(args);
        ASSERT_EQ(r.exit_code, 0) << shown << "\n" << r.err;
        EXPECT_GT(average_luma_psnr(r), 40.0) << shown << "\n" << r.out << r.err;
    }
}

TEST(Misuse, FifoInputIsRefusedWithoutWaitingForAWriter)
{
    watchdog guard("a FIFO input", 60);
    for (const char *name : {"pipe_64x64.yuv", "pipe.y4m"}) {
        std::string fifo = test_tmp_path(name);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        program_result r = run_torvenc({"-l", "0", "--compat", "12", "-s", "64x64", fifo});
        EXPECT_EQ(r.exit_code, 255) << name;
        EXPECT_EQ(r.err, "Error: input file " + fifo + " is not a regular file that can be mapped.\n") << name;
    }
}

TEST(Misuse, NoFileIsWrittenOverAnotherItUses)
{
    std::string clip = make_clip("same"), original = read_file(clip);
    std::string output = test_tmp_path("same_out.hevc"), link = test_tmp_path("same_link.yuv");
    ASSERT_EQ(::link(clip.c_str(), link.c_str()), 0);
    auto same = [](const char *role_a, const std::string &a, const char *role_b, const std::string &b) {
        return std::string("Error: the ") + role_a + " file '" + a + "' and the " + role_b + " file '" + b +
               "' are the same file!\n";
    };
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{clip, clip}, same("input", clip, "output", clip)},
        {{clip, link}, same("input", clip, "output", link)},  // a hard link is the same file
        {{"-y", "--recon", clip, clip, output}, same("input", clip, "reconstruction", clip)},
        {{"-y", "--recon", output, clip, output}, same("output", output, "reconstruction", output)},
        {{"--abr", "--pass", "1", "--stats-file", output, clip, output}, same("output", output, "statistics", output)},
    };
    for (auto &c : cases) {
        std::vector<std::string> args = {"-l", "0", "--compat", "12"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        program_result r = run_torvenc(args);
        EXPECT_EQ(r.exit_code, 5) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(read_file(clip), original) << c.err;
        EXPECT_FALSE(exists(output)) << c.err;
    }
}

TEST(Misuse, AnExistingOutputIsEmptiedOnlyOnceTheEncoderExists)
{
    std::string clip = make_clip("keep"), output = test_tmp_path("keep.hevc");
    write_file(output, "an earlier stream");
    program_result r = run_torvenc({"-l", "0", "--compat", "12", "--interlace", "5", clip, output});
    EXPECT_EQ(r.exit_code, 6);
    EXPECT_EQ(read_file(output), "an earlier stream");
    // A refused run takes back the files it created.
    std::string fresh = test_tmp_path("keep_fresh.hevc"), recon = test_tmp_path("keep_fresh.yuv");
    r = run_torvenc({"-l", "0", "--compat", "12", "--interlace", "5", "--recon", recon, clip, fresh});
    EXPECT_EQ(r.exit_code, 6);
    EXPECT_FALSE(exists(fresh));
    EXPECT_FALSE(exists(recon));
    // A run that goes ahead replaces all of a longer earlier file.
    ASSERT_EQ(run_torvenc({"-l", "0", "--compat", "12", "-t", "2", clip, fresh}).exit_code, 0);
    write_file(output, std::string(1 << 20, 'x'));
    ASSERT_EQ(run_torvenc({"-l", "0", "--compat", "12", "-t", "2", clip, output}).exit_code, 0);
    EXPECT_EQ(read_file(output), read_file(fresh));
}

TEST(Misuse, FirstPassInConstantQpModeIsRefusedBeforeWriting)
{
    std::string clip = make_clip("pass"), folder = test_tmp_path("pass_folder");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    program_result r = run_torvenc({"-l", "0", "--pass", "1", clip}, folder);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: the first pass (--pass 1) needs a bitrate mode or --crf; "
                     "constant QP writes no statistics!\n");
    EXPECT_FALSE(exists(folder + "/two-pass.log"));
}

TEST(Misuse, TextWhereANumberBelongsIsRefused)
{
    std::string clip = make_clip("text");
    program_result r = run_torvenc({"-l", "0", "-q", "abc", clip});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: invalid number 'abc' for option '-q'!\n");
    r = run_torvenc({"-l", "0", "--idr", "abc", clip});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: invalid number 'abc' for option '--idr'!\n");
}

TEST(Misuse, BitrateModesWithoutARateRunAtTheDocumentedDefault)
{
    std::string clip = make_clip("rate"), output = test_tmp_path("rate.hevc");
    for (const char *mode : {"--abr", "--cbr"}) {
        program_result r = run_torvenc({mode, "--compat", "12", "-t", "2", clip, output});
        ASSERT_EQ(r.exit_code, 0) << mode << "\n" << r.err;
        EXPECT_NE(r.out.find("bitrate         : 1200kbps\n"), std::string::npos) << r.out;
        // At a rate of 0 the clip came out below 400 bytes at 19 dB; at the
        // default rate it reaches the lowest QP and stays well above that.
        EXPECT_GT(read_file(output).size(), 3000u) << mode;
    }
}

TEST(Misuse, ArgumentsAfterTheOutputNameAreNamedInAWarning)
{
    std::string clip = make_clip("rest"), output = test_tmp_path("rest.hevc");
    program_result r = run_torvenc({"-l", "0", "--compat", "12", "-t", "2", clip, output, "-q", "20", "-c", "3", "x"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Warning: arguments after the output file name are ignored: -q 20 x\n");
    // The complexity is read wherever it stands, so it is not named.
    r = run_torvenc({"-l", "0", "--compat", "12", "-t", "2", clip, output, "-c", "3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
}
