// The encoding run of the front end (files, encode and flush loops, progress
// lines, reconstruction order, summary, SIGINT, exit codes 5 to 8 and 130),
// driven in-process by a scripted encoder so that every path runs without the
// real encoder core.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli.h"
#include "support/cli_capture.h"
#include "support/test_paths.h"

namespace {

// ---- scripted encoder ------------------------------------------------------
// Each encode call returns the access unit of the pts named by the script
// (-1: nothing yet, -2: failure), in the order given, so a script can return
// pictures in coding order. The reconstruction is the submitted picture itself,
// handed out with a wider stride than the picture to prove the gaps are dropped.

struct fake_encoder {
    std::vector<int64_t> script;  // one entry per encode call, drains included
    size_t call = 0;
    int width = 16, height = 8;
    int recon_stride = 40;
    std::vector<std::vector<uint8_t>> recon;  // by pts, planes Y,U,V with recon_stride / 2
    std::vector<uint8_t> au;
    int64_t submitted = 0, returned = 0;
    int drain_calls = 0;
    int raise_sigint_at_call = -1;
    int au_bytes = 100;
    bool create_fails = false;
    std::string pass1_line_prefix;
    char *pass1_buffer = nullptr;
    int created = 0, closed = 0;
};

fake_encoder *fake;

torvhevcenc_encoder *fake_create(public_param *p)
{
    if (fake->create_fails)
        return nullptr;
    fake->pass1_buffer = p->pass1_stats_buffer;
    fake->created++;
    return reinterpret_cast<torvhevcenc_encoder *>(fake);
}

int fake_encode(torvhevcenc_encoder *, const uint32_t *strides, const uint8_t *const *planes, int64_t pts,
                frame_info *info, const uint8_t **au, int64_t *out_pts, uint32_t *out_strides,
                const uint8_t **out_planes, float *, float *)
{
    fake_encoder &f = *fake;
    if (strides && planes) {
        EXPECT_EQ(pts, f.submitted);
        int cw = f.width / 2, ch = f.height / 2, rs = f.recon_stride, cs = rs / 2;
        std::vector<uint8_t> pic((size_t)rs * f.height + 2 * (size_t)cs * ch, 0xEE);
        for (int y = 0; y < f.height; y++)
            std::memcpy(&pic[(size_t)y * rs], planes[0] + (size_t)y * strides[0], (size_t)f.width);
        for (int c = 1; c < 3; c++)
            for (int y = 0; y < ch; y++)
                std::memcpy(&pic[(size_t)rs * f.height + (size_t)(c - 1) * cs * ch + (size_t)y * cs],
                            planes[c] + (size_t)y * strides[c], (size_t)cw);
        f.recon.push_back(pic);
        f.submitted++;
    } else {
        f.drain_calls++;
    }
    int call = (int)f.call;
    if (call == f.raise_sigint_at_call)
        std::raise(SIGINT);
    int64_t entry = f.call < f.script.size() ? f.script[f.call] : -1;
    f.call++;
    if (entry == -2)
        return -1;
    if (entry < 0)
        return 0;
    f.au.assign((size_t)f.au_bytes, (uint8_t)('A' + entry));
    *au = f.au.data();
    *out_pts = entry;
    info->type = entry == 0 ? 1 : 4;
    const std::vector<uint8_t> &pic = f.recon[(size_t)entry];
    int rs = f.recon_stride, cs = rs / 2, ch = f.height / 2;
    out_planes[0] = pic.data();
    out_planes[1] = pic.data() + (size_t)rs * f.height;
    out_planes[2] = out_planes[1] + (size_t)cs * ch;
    out_strides[0] = (uint32_t)rs;
    out_strides[1] = out_strides[2] = (uint32_t)cs;
    if (f.pass1_buffer)
        std::snprintf(f.pass1_buffer, 1024, "%spicture %d\n", f.pass1_line_prefix.c_str(), (int)entry);
    f.returned++;
    return f.au_bytes;
}

int fake_pending(torvhevcenc_encoder *)
{
    return (int)(fake->submitted - fake->returned);
}

void fake_close(torvhevcenc_encoder *)
{
    fake->closed++;
}

const encoder_api fake_api = {fake_create, fake_encode, fake_pending, fake_close};

// ---- pictures from memory --------------------------------------------------

struct memory_source {
    int width = 16, height = 8, count = 0, next = 0;
    std::vector<std::vector<uint8_t>> pictures;
};

uint8_t sample(int pts, int plane, int x, int y)
{
    return (uint8_t)(pts * 31 + plane * 67 + x * 3 + y * 11);
}

void memory_source_fill(memory_source *m, int count)
{
    m->count = count;
    for (int p = 0; p < count; p++) {
        std::vector<uint8_t> pic;
        for (int y = 0; y < m->height; y++)
            for (int x = 0; x < m->width; x++)
                pic.push_back(sample(p, 0, x, y));
        for (int c = 1; c < 3; c++)
            for (int y = 0; y < m->height / 2; y++)
                for (int x = 0; x < m->width / 2; x++)
                    pic.push_back(sample(p, c, x, y));
        m->pictures.push_back(pic);
    }
}

int memory_next(void *ctx, const uint8_t *planes[3], uint32_t strides[3], int *)
{
    memory_source *m = (memory_source *)ctx;
    if (m->next >= m->count)
        return 0;
    const uint8_t *base = m->pictures[(size_t)m->next++].data();
    planes[0] = base;
    planes[1] = base + m->width * m->height;
    planes[2] = planes[1] + m->width * m->height / 4;
    strides[0] = (uint32_t)m->width;
    strides[1] = strides[2] = (uint32_t)m->width / 2;
    return 1;
}

// ---- a run -------------------------------------------------------------------

struct run_result {
    int exit_code;
    std::string out, err;
};

struct run_fixture : ::testing::Test {
    fake_encoder enc;
    memory_source src;
    cli_settings s;
    std::string answer;

    void SetUp() override
    {
        fake = &enc;
        std::memset(&s, 0, sizeof(s));
        s.param.size = sizeof(public_param);
        torvhevcenc_default_param(&s.param, 4, 0);
        s.param.width = 16;
        s.param.height = 8;
        s.frame_limit = -1;
    }

    run_result run(int pictures)
    {
        memory_source_fill(&src, pictures);
        picture_source ps = {memory_next, &src};
        captured_stream in, out, err;
        std::fputs(answer.c_str(), in.f);
        std::rewind(in.f);
        cli_io io = {in.f, out.f, err.f};
        run_result r;
        r.exit_code = run_encoder(&s, &fake_api, &ps, &io);
        r.out = out.text();
        r.err = err.text();
        return r;
    }

    std::string expected_recon(const std::vector<int> &order)
    {
        std::string bytes;
        for (int p : order)
            bytes.append(src.pictures[(size_t)p].begin(), src.pictures[(size_t)p].end());
        return bytes;
    }
};

// Coding order of a mini-GOP: 0 first, then 3, then the B pictures 1 and 2.
const std::vector<int64_t> gop_script = {0, -1, -1, 3, 1, 2};

}  // namespace

using RunFixture = run_fixture;

TEST_F(RunFixture, ReconstructionFileIsInDisplayOrderWhenPicturesArriveInCodingOrder)
{
    enc.script = gop_script;
    std::string recon = test_tmp_path("order_recon.yuv"), output = test_tmp_path("order_out.hevc");
    s.recon_name = recon.c_str();
    s.output_name = output.c_str();
    s.param.loglevel = 0;
    run_result r = run(4);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(recon), expected_recon({0, 1, 2, 3}));
    // The stream holds the access units in coding order.
    std::string au;
    for (char c : std::string("ADBC"))
        au += std::string(100, c);
    EXPECT_EQ(read_file(output), au);
    EXPECT_EQ(r.out, "");  // loglevel 0 prints nothing
    EXPECT_EQ(enc.closed, 1);
}

TEST_F(RunFixture, HeldPicturesAreWrittenInListOrderAfterAStop)
{
    enc.script = {-1, -1, -1, 0, 3, 2};  // picture 1 never comes back: the stop comes first
    enc.raise_sigint_at_call = 5;
    std::string recon = test_tmp_path("gap_recon.yuv");
    s.recon_name = recon.c_str();
    s.param.loglevel = 0;
    run_result r = run(4);
    EXPECT_EQ(r.exit_code, 130);
    EXPECT_EQ(read_file(recon), expected_recon({0, 2, 3}));
}

TEST_F(RunFixture, ProgressLinesShowEachCallAndTheFlush)
{
    enc.script = {0, -1, -1, -1, 3, 1, 2};
    s.param.fps_num = 25;
    s.param.fps_den = 1;
    run_result r = run(4);  // calls: 0 -> AU 0, 1 to 3 -> nothing; flush: 3, 1, 2
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const char *progress =
        "create torvane hevc encoder ... done\n"
        "encode    0, got    0, IDR , size     100B, fps #, bitrate 20.0kbps\n"
        "encode    1\n"
        "encode    2\n"
        "encode    3\n"
        "flush      , got    3, P   , size     100B, fps #, bitrate 20.0kbps\n"
        "flush      , got    1, P   , size     100B, fps #, bitrate 20.0kbps\n"
        "flush      , got    2, P   , size     100B, fps #, bitrate 20.0kbps\n"
        "4 frame encoded\n\ttime\tfps\nCPU\t#ms\t#\nReal\t#s\t#.\n";
    EXPECT_TRUE(matches_with_numbers(r.out, progress)) << r.out;
}

TEST_F(RunFixture, AnnouncesEachFileAndTheEncoder)
{
    enc.script = {0};
    std::string output = test_tmp_path("announce.hevc"), recon = test_tmp_path("announce.yuv");
    s.output_name = output.c_str();
    s.recon_name = recon.c_str();
    run_result r = run(1);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.find("open output file ... done\nopen reconstruction file ... done\n"
                         "create torvane hevc encoder ... done\nencode    0, got    0, IDR "),
              0u)
        << r.out;
}

TEST_F(RunFixture, EmptyInputStillFlushesClosesAndPrintsZeroSummary)
{
    run_result r = run(0);
    ASSERT_EQ(r.exit_code, 0);
    // No frames: the fps figures are 0, never a division by zero.
    const char *summary = "create torvane hevc encoder ... done\n"
                          "0 frame encoded\n\ttime\tfps\nCPU\t#ms\t0.00\nReal\t#s\t0.00.\n";
    EXPECT_TRUE(matches_with_numbers(r.out, summary)) << r.out;
    EXPECT_EQ(enc.closed, 1);
}

TEST_F(RunFixture, ZeroFrameRateGivesZeroBitrateNotADivisionByZero)
{
    enc.script = {0};
    s.param.fps_num = 0;
    run_result r = run(1);
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(", bitrate 0.0kbps\n"), std::string::npos) << r.out;
}

TEST_F(RunFixture, NegativeEncodeResultExitsSeven)
{
    enc.script = {-1, -2};
    run_result r = run(4);
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_EQ(r.err, "torvhevcenc_encode_frame failed! ret=-1\n");
    EXPECT_EQ(enc.call, 2u);  // no call after the failure
    EXPECT_EQ(enc.closed, 1);
    EXPECT_EQ(r.out.find("frame encoded"), std::string::npos);
}

TEST_F(RunFixture, FailedDrainExitsSeven)
{
    enc.script = {-1, -2};
    run_result r = run(1);
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_EQ(enc.drain_calls, 1);
    EXPECT_EQ(r.err, "torvhevcenc_encode_frame failed! ret=-1\n");
}

TEST_F(RunFixture, CreateFailureExitsSix)
{
    enc.create_fails = true;
    std::string output = test_tmp_path("create_fail.hevc");
    s.output_name = output.c_str();
    run_result r = run(2);
    EXPECT_EQ(r.exit_code, 6);
    EXPECT_EQ(r.err, "call torvhevcenc_create failed!\n");
    EXPECT_EQ(enc.call, 0u);
}

TEST_F(RunFixture, OutputThatCannotBeOpenedExitsFive)
{
    std::string output = test_tmp_path("no_such_dir/out.hevc");
    s.output_name = output.c_str();
    run_result r = run(1);
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_EQ(r.err, "open output file: No such file or directory\n");
    EXPECT_EQ(enc.created, 0);
}

TEST_F(RunFixture, ShortOutputWriteExitsEight)
{
    enc.script = {0, 1};
    enc.au_bytes = 1 << 16;  // passes the stream buffer, so the write itself fails
    s.output_name = "/dev/full";
    run_result r = run(2);
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_EQ(r.err, "write output file: No space left on device\n");
}

TEST_F(RunFixture, OutputErrorFoundOnlyAtCloseStillExitsEight)
{
    enc.script = {0};
    s.output_name = "/dev/full";  // 100 bytes stay buffered until the close
    s.param.loglevel = 0;
    run_result r = run(1);
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_EQ(r.err, "write output file: No space left on device\n");
}

TEST_F(RunFixture, ReconstructionWriteErrorIsAnErrorExit)
{
    enc.script = {0, 1};
    s.param.width = enc.width = src.width = 128;
    s.param.height = enc.height = src.height = 64;
    enc.recon_stride = 160;
    s.recon_name = "/dev/full";
    s.overwrite = 1;
    s.param.loglevel = 0;
    run_result r = run(2);
    EXPECT_EQ(r.exit_code, 8);
    EXPECT_NE(r.err.find("[frame 0] write reconstruct file error: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/12288 bytes writed\n"), std::string::npos) << r.err;
}

TEST_F(RunFixture, ExistingReconstructionInQuietModeExitsFive)
{
    std::string recon = test_tmp_path("exists_quiet.yuv");
    write_file(recon, "old");
    s.recon_name = recon.c_str();
    s.param.loglevel = 0;
    run_result r = run(1);
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_EQ(r.err, "reconstruction file '" + recon + "' exist!\n");
    EXPECT_EQ(read_file(recon), "old");
}

TEST_F(RunFixture, ExistingReconstructionIsReplacedAfterYes)
{
    std::string recon = test_tmp_path("exists_yes.yuv");
    write_file(recon, "old");
    s.recon_name = recon.c_str();
    enc.script = {0};
    answer = "Yes\n";
    run_result r = run(1);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("open reconstruction file ... \nreconstruction file '" + recon +
                         "' exist, overwrite it (Yes/No):done\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(read_file(recon), expected_recon({0}));
}

TEST_F(RunFixture, ExistingReconstructionIsKeptAfterNo)
{
    std::string recon = test_tmp_path("exists_no.yuv");
    write_file(recon, "old");
    s.recon_name = recon.c_str();
    answer = "No\n";
    run_result r = run(1);
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_EQ(read_file(recon), "old");
}

TEST_F(RunFixture, ExistingReconstructionIsReplacedWithYesOption)
{
    std::string recon = test_tmp_path("exists_opt.yuv");
    write_file(recon, "old");
    s.recon_name = recon.c_str();
    s.overwrite = 1;
    s.param.loglevel = 0;
    enc.script = {0};
    run_result r = run(1);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(recon), expected_recon({0}));
}

TEST_F(RunFixture, FirstPassWritesOneStatisticsLinePerAccessUnit)
{
    std::string stats = test_tmp_path("pass1.log");
    s.pass = 1;
    s.stats_name = stats.c_str();
    s.param.loglevel = 0;
    enc.script = gop_script;
    run_result r = run(4);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(stats), "picture 0\npicture 3\npicture 1\npicture 2\n");
    EXPECT_EQ(s.param.pass1, 1);
}

TEST_F(RunFixture, UnterminatedStatisticsLineIsBoundedByItsBuffer)
{
    std::string stats = test_tmp_path("pass1_long.log");
    s.pass = 1;
    s.stats_name = stats.c_str();
    s.param.loglevel = 0;
    enc.script = {0};
    enc.pass1_line_prefix = std::string(2000, 'x');  // snprintf fills and terminates 1,024 bytes
    run_result r = run(1);
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(stats).size(), 1023u);
}

TEST_F(RunFixture, SecondPassNeedsItsStatisticsFile)
{
    std::string missing = test_tmp_path("missing_stats.log");
    s.pass = 2;
    s.stats_name = missing.c_str();
    run_result r = run(1);
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_EQ(r.err, "open stats file: No such file or directory\n");

    std::string stats = test_tmp_path("pass2.log");
    write_file(stats, "header\nline\n");
    s.stats_name = stats.c_str();
    s.param.loglevel = 0;
    enc = fake_encoder();
    enc.script = {0};
    src = memory_source();
    r = run(1);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(s.param.pass2, 1);
}

TEST_F(RunFixture, SigintStopsTheLoopsAndExits130WithCompleteAccessUnits)
{
    enc.script = {0, 1, 2, 3, 4, 5};
    enc.raise_sigint_at_call = 2;
    std::string output = test_tmp_path("sigint.hevc"), recon = test_tmp_path("sigint.yuv");
    s.output_name = output.c_str();
    s.recon_name = recon.c_str();
    run_result r = run(6);
    EXPECT_EQ(r.exit_code, 130);
    EXPECT_EQ(enc.call, 3u);       // the call during which SIGINT came was the last
    EXPECT_EQ(enc.drain_calls, 0);  // no flush after a stop
    EXPECT_EQ(enc.closed, 1);
    EXPECT_EQ(read_file(output), std::string(100, 'A') + std::string(100, 'B') + std::string(100, 'C'));
    EXPECT_EQ(read_file(recon), expected_recon({0, 1, 2}));
    EXPECT_NE(r.out.find("3 frame encoded\n"), std::string::npos) << r.out;
    // The handlers of the three stop signals are removed again after the run.
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now;
        sigaction(signal_number, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << signal_number;
    }
}

TEST_F(RunFixture, StopRequestedDuringTheFlushEndsIt)
{
    enc.script = {-1, -1, -1, 0, 1, 2};
    enc.raise_sigint_at_call = 4;
    s.param.loglevel = 0;
    run_result r = run(3);
    EXPECT_EQ(r.exit_code, 130);
    EXPECT_EQ(enc.drain_calls, 2);
}

TEST(PictureTypeName, KnownAndUnknownTypes)
{
    EXPECT_STREQ(picture_type_name(0), "auto");
    EXPECT_STREQ(picture_type_name(2), "CDR ");
    EXPECT_STREQ(picture_type_name(5), "Bref");
    EXPECT_STREQ(picture_type_name(6), "B   ");
    EXPECT_STREQ(picture_type_name(7), "?   ");
    EXPECT_STREQ(picture_type_name(-1), "?   ");
}

TEST(LoadTextFile, WholeFileWithTerminator)
{
    std::string path = test_tmp_path("text.txt");
    std::string big(10000, 'q');
    write_file(path, big);
    char *text = load_text_file(path.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), big);
    std::free(text);
    EXPECT_EQ(load_text_file(test_tmp_path("absent.txt").c_str()), nullptr);
}

TEST(ReconList, HeldPicturesLeaveInPtsOrderOnlyWhenTheirTurnComes)
{
    // 4x2 pictures whose every byte is the pts, stored with a stride of 8.
    std::vector<uint8_t> pics[6];
    for (int p = 0; p < 6; p++)
        pics[p].assign(8 * 2 + 2 * 4 * 1, (uint8_t)p);
    auto planes_of = [&](int p, const uint8_t *planes[3]) {
        planes[0] = pics[p].data();
        planes[1] = pics[p].data() + 16;
        planes[2] = pics[p].data() + 20;
    };
    const uint32_t strides[3] = {8, 4, 4};
    captured_stream err, file;
    recon_list list;
    recon_list_init(&list, err.f);
    const uint8_t *planes[3];
    for (int p : {3, 5, 1, 4}) {
        planes_of(p, planes);
        ASSERT_EQ(recon_write_frame(&list, file.f, p, planes, strides, 4, 2), 0);
        ASSERT_EQ(recon_keep_sorted(&list, p, planes, strides, 4, 2), 0);
    }
    EXPECT_EQ(recon_write_pending(&list, file.f, 1), 0);  // 1 is not next: 0 is
    planes_of(0, planes);
    EXPECT_EQ(recon_write_frame(&list, file.f, 0, planes, strides, 4, 2), 12);
    EXPECT_EQ(recon_write_pending(&list, file.f, 1), 12);  // 1
    EXPECT_EQ(recon_write_pending(&list, file.f, 1), 0);   // 2 missing, 3 waits
    EXPECT_EQ(recon_write_pending(&list, file.f, 0), 12);  // draining ignores the gap: 3
    EXPECT_EQ(recon_write_pending(&list, file.f, 0), 12);  // 4
    EXPECT_EQ(recon_write_pending(&list, file.f, 0), 12);  // 5
    EXPECT_EQ(recon_write_pending(&list, file.f, 0), 0);
    std::string expect;
    for (int p : {0, 1, 3, 4, 5})
        expect += std::string(12, (char)p);
    EXPECT_EQ(file.text(), expect);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(list.failed, 0);
    recon_list_free(&list);
}

TEST(ReconList, FreeReleasesHeldPictures)
{
    recon_list list;
    recon_list_init(&list, stderr);
    std::vector<uint8_t> pic(12, 7);
    const uint8_t *planes[3] = {pic.data(), pic.data() + 8, pic.data() + 10};
    const uint32_t strides[3] = {4, 2, 2};
    for (int p = 9; p > 2; p--)
        ASSERT_EQ(recon_keep_sorted(&list, p, planes, strides, 4, 2), 0);
    int64_t prev = -1;
    for (recon_node *n = list.head; n; n = n->next) {
        EXPECT_GT(n->pts, prev);
        prev = n->pts;
    }
    recon_list_free(&list);  // leak check under ASan
    EXPECT_EQ(list.head, nullptr);
}
