// The program used carelessly or with hostile intent: rates past every range,
// a FIFO as input or statistics file, one file named twice (through links
// too) or named as the console, settings refused after an existing output was
// named, a first pass that would write nothing, text where a number belongs,
// negative values behind white space, bitrate modes without a rate, arguments
// after the input or output name, inputs without pictures, and closed or
// broken standard streams. Each runs the built binary; in the sanitizer build
// undefined behaviour ends that binary with an error, which the exit codes
// below catch.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/cli_capture.h"
#include "support/decode_compare.h"
#include "support/natural_clip.h"
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

// A short natural clip (YUV4MPEG2) for the runs whose stream must come out whole.
const int natural_width = 160, natural_height = 96;
std::string make_natural_clip(const std::string &kind)
{
    std::string path = test_tmp_path(kind + ".y4m");
    EXPECT_TRUE(natural_clip_write(kind, natural_width, natural_height, clip_pictures, path));
    return path;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// A torvenc child whose standard output is out_fd, or whose standard input,
// output and error are all closed when out_fd is -1; its standard error goes
// to a scratch file otherwise.
struct child_run {
    pid_t pid;
    FILE *err;
};

child_run start_torvenc(const std::vector<std::string> &args, int out_fd)
{
    child_run c = {0, std::tmpfile()};
    std::vector<std::string> copies(args);
    copies.insert(copies.begin(), TV_TORVENC_EXE);
    std::vector<char *> argv;
    for (std::string &a : copies)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        if (out_fd < 0) {
            close(0);
            close(1);
            close(2);
        } else {
            dup2(out_fd, 1);
            dup2(fileno(c.err), 2);
        }
        execv(argv[0], argv.data());
        _exit(121);
    }
    return c;
}

bool running(pid_t pid)
{
    siginfo_t info = {};
    return waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

program_result finish_torvenc(child_run c)
{
    int status = 0;
    waitpid(c.pid, &status, 0);
    program_result r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::rewind(c.err);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), c.err)) > 0)
        r.err.append(buf, n);
    std::fclose(c.err);
    return r;
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
    // A dangling symlink leads to a file that does not exist yet.
    std::string dangling = test_tmp_path("same_dangling.hevc");
    ASSERT_EQ(symlink(output.c_str(), dangling.c_str()), 0);
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
        {{"-y", "--recon", output, clip, dangling}, same("output", dangling, "reconstruction", output)},
        {{"--abr", "--pass", "1", "--stats-file", output, clip, dangling}, same("output", dangling, "statistics", output)},
        {{"--abr", "--pass", "1", "--stats-file", dangling, "-y", "--recon", output, clip},
         same("reconstruction", output, "statistics", dangling)},
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

TEST(Misuse, AFileThatIsTheConsoleIsRefused)
{
    std::string clip = make_clip("console");
    // The console text would land inside the stream.
    program_result r = run_torvenc({"-l", "0", "--compat", "12", clip, "/dev/stdout"});
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_EQ(r.err, "Error: the output file '/dev/stdout' and the standard output are the same file!\n");
    EXPECT_EQ(r.out, "");
    r = run_torvenc({"-l", "0", "--compat", "12", "-y", "--recon", "/dev/stdout", clip});
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_EQ(r.err, "Error: the reconstruction file '/dev/stdout' and the standard output are the same file!\n");
    r = run_torvenc({"-l", "0", "--compat", "12", clip, "/dev/stderr"});
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_EQ(r.err, "Error: the output file '/dev/stderr' and the standard error are the same file!\n");
    // A device such as /dev/null may take the console and the stream at once.
    int null_fd = open("/dev/null", O_WRONLY);
    ASSERT_GE(null_fd, 0);
    r = finish_torvenc(start_torvenc({"--compat", "12", "-t", "2", clip, "/dev/null"}, null_fd));
    close(null_fd);
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(Misuse, FifoStatisticsFilesAreRefusedWithoutWaiting)
{
    watchdog guard("a FIFO statistics file", 60);
    std::string clip = make_clip("stats_fifo"), folder = test_tmp_path("stats_fifo");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string fifo = folder + "/two-pass.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::vector<std::string>> cases = {
        {"--pass", "1"},
        {"--pass", "2"},
        {"--pass", "1", "--stats-file", fifo},
        {"--pass", "2", "--stats-file", fifo},
    };
    for (std::vector<std::string> args : cases) {
        std::string name = args.size() > 2 ? fifo : "two-pass.log";
        args.insert(args.end(), {"-l", "0", "--compat", "12", "--abr", clip, "out.hevc"});
        program_result r = run_torvenc(args, folder);
        EXPECT_EQ(r.exit_code, 5) << args[1];
        EXPECT_EQ(r.err, "Error: statistics file " + name + " is not a regular file.\n");
        EXPECT_FALSE(exists(folder + "/out.hevc"));
    }
}

TEST(Misuse, NegativeValuesBehindWhiteSpaceAreRefused)
{
    std::string clip = make_clip("blank");
    const std::vector<std::vector<std::string>> cases = {
        {"-b", " -1"}, {"--crf", " -1e6"}, {"--idr", " -1"}, {"-n", " -5"}, {"--maxrate", " -5"}, {"-q", "\t-3"},
    };
    for (std::vector<std::string> args : cases) {
        args.insert(args.end(), {"-l", "0", "--compat", "12", clip});
        program_result r = run_torvenc(args);
        EXPECT_EQ(r.exit_code, 1) << args[0];
        EXPECT_EQ(r.err, "no option argument!\n") << args[0];
    }
}

TEST(Misuse, AnOptionAfterTheInputNameIsNotTakenAsTheOutputName)
{
    std::string clip = make_clip("late"), folder = test_tmp_path("late");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    program_result r = run_torvenc({"-l", "0", "--compat", "12", clip, "-q", "20"}, folder);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Error: the output file name '-q' begins with '-': options go before the input file name!\n");
    EXPECT_FALSE(exists(folder + "/-q"));
    // Such a file can still be named with its folder.
    r = run_torvenc({"-l", "0", "--compat", "12", "-t", "2", clip, "./-q"}, folder);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(exists(folder + "/-q"));
}

TEST(Misuse, Yuv4mpegInputWithoutAPictureOrWithADosLineEndIsRefusedBeforeWriting)
{
    std::string output = test_tmp_path("y4m_keep.hevc");
    write_file(output, "an earlier stream");
    struct {
        const char *name, *header;
        int code;
        std::string err;
    } cases[] = {
        {"header_only.y4m", "YUV4MPEG2 W64 H64 F25:1 Ip C420jpeg\n", 255,
         " holds no picture after its YUV4MPEG2 header.\n"},
        {"dos.y4m", "YUV4MPEG2 W64 H64 F25:1 Ip C420jpeg\r\nFRAME\r\n", 9,
         "Error: y4m header line ends in a carriage return (CR LF); it must end in a line feed alone!\n"},
    };
    for (auto &c : cases) {
        std::string input = test_tmp_path(c.name);
        write_file(input, c.header);
        program_result r = run_torvenc({"-l", "0", "--compat", "12", input, output});
        EXPECT_EQ(r.exit_code, c.code) << c.name;
        std::string err = c.code == 255 ? "Error: input file " + input + c.err : c.err;
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(read_file(output), "an earlier stream") << c.name;
    }
}

// Descriptors 0 to 2 closed: the input and the files must not take their
// numbers, or the console text lands in the stream and the reconstruction.
TEST(Misuse, ClosedStandardDescriptorsAreNotTakenByTheFiles)
{
    std::string clip = make_natural_clip("pan6");
    std::string output = test_tmp_path("closed.hevc"), recon = test_tmp_path("closed.yuv");
    std::string expected = test_tmp_path("closed_expected.hevc");
    ASSERT_EQ(run_torvenc({"-l", "0", "--compat", "12", "-t", "2", clip, expected}).exit_code, 0);
    program_result r = finish_torvenc(start_torvenc({"--compat", "12", "-t", "2", "--recon", recon, clip, output}, -1));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(output), read_file(expected));
    EXPECT_TRUE(decode_and_compare(output, recon, natural_width, natural_height));
}

// "torvenc ... | head": the console's reader goes away, the stream is still
// written whole. A broken pipe as the output is a write error.
TEST(Misuse, AClosedConsolePipeCostsNoStreamAndABrokenOutputPipeExitsEight)
{
    watchdog guard("a broken pipe", 60);
    std::string clip = make_natural_clip("grain");
    std::string output = test_tmp_path("pipe.hevc"), recon = test_tmp_path("pipe.yuv");
    std::string expected = test_tmp_path("pipe_expected.hevc");
    ASSERT_EQ(run_torvenc({"-l", "0", "--compat", "12", "-t", "2", clip, expected}).exit_code, 0);
    int console[2];
    ASSERT_EQ(pipe2(console, O_CLOEXEC), 0);
    close(console[0]);
    program_result r =
        finish_torvenc(start_torvenc({"--compat", "12", "-t", "2", "--recon", recon, clip, output}, console[1]));
    close(console[1]);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(output), read_file(expected));
    EXPECT_TRUE(decode_and_compare(output, recon, natural_width, natural_height));

    // The output is a FIFO whose reader leaves once the pipe is full (one
    // page; the stream of noise is several times that).
    std::string noise = test_tmp_path("pipe_64x64_25fps.yuv");
    yuv_gen_params gen = {64, 64, yuv_pattern_noise, 7, 0};
    ASSERT_TRUE(yuv_write_raw(noise, &gen, clip_pictures));
    expected = test_tmp_path("pipe_noise.hevc");
    ASSERT_EQ(run_torvenc({"-l", "0", "--compat", "12", "-t", "2", noise, expected}).exit_code, 0);
    std::string fifo = test_tmp_path("pipe_out.hevc");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Close-on-exec: a reader left open in the child would keep the pipe whole.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    int capacity = fcntl(reader, F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    ASSERT_LT(capacity, (int)read_file(expected).size() / 2);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    child_run c = start_torvenc({"-l", "0", "--compat", "12", "-t", "2", noise, fifo}, null_fd);
    int queued = 0;
    while (ioctl(reader, FIONREAD, &queued) == 0 && queued < capacity && running(c.pid))
        usleep(1000);
    close(reader);
    r = finish_torvenc(c);
    close(null_fd);
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_EQ(r.err, "write output file: Broken pipe\n");
}
