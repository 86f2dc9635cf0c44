// Reading input pictures through the moving mapped window, the guesses made
// before opening, and the refusal of bad input files.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/input_file.h"
#include "app/input_format.h"
#include "support/test_paths.h"
#include "support/yuv_gen.h"

namespace {

yuv_gen_params noise_params(int w, int h)
{
    yuv_gen_params p;
    p.width = w;
    p.height = h;
    p.pattern = yuv_pattern_noise;
    p.seed = 99;
    p.cut_picture = 0;
    return p;
}

input_format format_for(int w, int h, int is_y4m = 0, int header_length = 0)
{
    input_format f;
    input_format_defaults(&f);
    f.width = w;
    f.height = h;
    f.is_y4m = is_y4m;
    f.header_length = header_length;
    return f;
}

// Records every mapping so that tests can see the window move; can be told
// to fail from a given call on.
struct map_log {
    std::vector<int64_t> offsets;
    std::vector<size_t> lengths;
    int fail_from = -1;
};
map_log g_maps;

const uint8_t *logging_map(int fd, int64_t offset, size_t length)
{
    int call = (int)g_maps.offsets.size();
    g_maps.offsets.push_back(offset);
    g_maps.lengths.push_back(length);
    if (g_maps.fail_from >= 0 && call >= g_maps.fail_from) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, (off_t)offset);
    return p == MAP_FAILED ? nullptr : (const uint8_t *)p;
}

void init_logged_window(input_window *win, int64_t size, int64_t align, int fail_from = -1)
{
    input_window_init(win);
    win->window_size = size;
    win->window_align = align;
    win->map_view = logging_map;
    g_maps = map_log();
    g_maps.fail_from = fail_from;
}

// Reads every picture and checks it against the generator, plane by plane.
void expect_pictures_match(input_window *win, const yuv_gen_params *p, int count)
{
    int w = p->width, h = p->height;
    std::vector<uint8_t> expected(yuv_picture_bytes(w, h));
    const uint8_t *file_view_end = nullptr;
    for (int i = 0; i < count; i++) {
        ASSERT_TRUE(input_has_picture(win)) << "picture " << i;
        input_picture pic;
        ASSERT_EQ(input_next_picture(win, &pic), 0) << "picture " << i;
        yuv_gen_picture(p, i, expected.data());
        ASSERT_EQ(pic.strides[0], w);
        ASSERT_EQ(pic.strides[1], w / 2);
        ASSERT_EQ(pic.strides[2], w / 2);
        ASSERT_EQ(std::memcmp(pic.planes[0], expected.data(), (size_t)w * h), 0) << i;
        ASSERT_EQ(std::memcmp(pic.planes[1], expected.data() + w * h, (size_t)w * h / 4), 0) << i;
        ASSERT_EQ(std::memcmp(pic.planes[2], expected.data() + w * h * 5 / 4, (size_t)w * h / 4),
                  0)
            << i;
        // The whole picture lies inside the current view.
        file_view_end = win->view + win->view_length;
        ASSERT_LE(pic.planes[2] + w * h / 4, file_view_end) << i;
        ASSERT_EQ(win->window_offset % win->window_align, 0) << i;
    }
    EXPECT_FALSE(input_has_picture(win));
}

TEST(InputWindow, RawPicturesReadBackExactlyAcrossWindowMovesAndReleases)
{
    yuv_gen_params p = noise_params(176, 144);  // 38016 bytes: offsets never aligned
    std::string path = test_tmp_path("window_raw.yuv");
    ASSERT_TRUE(yuv_write_raw(path, &p, 40));
    input_window win;
    init_logged_window(&win, 128 * 1024, 64 * 1024);
    win.release_step = 4096;   // the pages of read pictures go back as soon as possible
    input_format f = format_for(176, 144);
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 0, 0), 0);
    EXPECT_EQ(win.picture_count, 40);
    EXPECT_EQ(win.picture_bytes, 38016);
    expect_pictures_match(&win, &p, 40);
    EXPECT_GT(win.released, 38 * 38016 - 64 * 1024);   // up to the last pictures' pages
    EXPECT_GT(g_maps.offsets.size(), 10u);  // the window did move, many times
    for (size_t i = 1; i < g_maps.offsets.size(); i++)
        EXPECT_GT(g_maps.offsets[i], g_maps.offsets[i - 1]);
    input_close(&win);
    input_close(&win);  // closing twice is harmless
}

TEST(InputWindow, Y4mPicturesReadBackExactlyAcrossWindowMoves)
{
    yuv_gen_params p = noise_params(66, 34);  // not a multiple of 8
    std::string path = test_tmp_path("window.y4m");
    ASSERT_TRUE(yuv_write_y4m(path, &p, 300, 30000, 1001));
    input_format f;
    input_format_defaults(&f);
    testing::internal::CaptureStdout();
    ASSERT_EQ(input_guess_format(&f, path.c_str(), nullptr), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(f.is_y4m);
    EXPECT_EQ(f.header_length, (int)y4m_header_line(66, 34, 30000, 1001).size());
    input_window win;
    init_logged_window(&win, 8192, 4096);
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 0, 0), 0);
    EXPECT_EQ(win.picture_count, 300);
    EXPECT_EQ(win.picture_bytes, 66 * 34 * 3 / 2 + 6);
    expect_pictures_match(&win, &p, 300);
    EXPECT_GT(g_maps.offsets.size(), 50u);
    input_close(&win);
}

TEST(InputWindow, PictureLargerThanTheWindowIsStillMappedWhole)
{
    yuv_gen_params p = noise_params(352, 288);  // 152064 bytes
    std::string path = test_tmp_path("big_picture.yuv");
    ASSERT_TRUE(yuv_write_raw(path, &p, 5));
    input_window win;
    init_logged_window(&win, 65536, 65536);
    input_format f = format_for(352, 288);
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 0, 0), 0);
    expect_pictures_match(&win, &p, 5);
    input_close(&win);
}

// With the real window (96 MiB, 1 MiB steps) and 1920x1080 pictures the
// window first moves before the 33rd picture, to its offset rounded down to
// a multiple of 1 MiB.
TEST(InputWindow, DefaultWindowMovesBeforeThe33rdFullHdPicture)
{
    yuv_gen_params p;
    p.width = 1920;
    p.height = 1080;
    p.pattern = yuv_pattern_gradient;
    p.seed = 1;
    p.cut_picture = 0;
    std::string path = test_tmp_path("full_hd.yuv");
    ASSERT_TRUE(yuv_write_raw(path, &p, 34));
    input_window win;
    init_logged_window(&win, input_window_default_size, input_window_default_align);
    input_format f = format_for(1920, 1080);
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 0, 0), 0);
    std::vector<uint8_t> expected(3110400);
    for (int i = 0; i < 34; i++) {
        input_picture pic;
        ASSERT_EQ(input_next_picture(&win, &pic), 0);
        if (i < 32) {
            ASSERT_EQ(win.window_offset, 0) << i;
        } else if (i == 32) {
            EXPECT_EQ(win.window_offset, (int64_t)32 * 3110400 / 0x100000 * 0x100000);
        }
        if (i >= 31) {
            yuv_gen_picture(&p, i, expected.data());
            ASSERT_EQ(std::memcmp(pic.planes[0], expected.data(), 1920 * 1080), 0) << i;
            ASSERT_EQ(std::memcmp(pic.planes[2], expected.data() + 1920 * 1080 * 5 / 4,
                                  1920 * 1080 / 4),
                      0)
                << i;
        }
    }
    EXPECT_EQ(g_maps.offsets.size(), 2u);
    EXPECT_EQ(g_maps.lengths[0], (size_t)input_window_default_size);
    input_close(&win);
    std::remove(path.c_str());
}

TEST(InputWindow, FrameLimitCapsThePicturesAndHidesAPartialTail)
{
    yuv_gen_params p = noise_params(32, 16);
    std::vector<uint8_t> data = yuv_gen_sequence(&p, 0, 6);
    data.resize(data.size() - 100);  // picture 5 is partial
    std::string path = test_tmp_path("limit.yuv");
    ASSERT_TRUE(write_file_bytes(path, data.data(), data.size()));
    input_window win;
    input_window_init(&win);
    input_format f = format_for(32, 16);
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 3, 0), 0);
    EXPECT_EQ(win.picture_count, 3);
    expect_pictures_match(&win, &p, 3);
    input_close(&win);
    // Up to the last whole picture the partial one is never reached either.
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 5, 0), 0);
    EXPECT_EQ(win.picture_count, 5);
    input_close(&win);
}

TEST(InputWindow, OpenAnnouncesItselfAtLogLevelOne)
{
    yuv_gen_params p = noise_params(16, 16);
    std::string path = test_tmp_path("announce.yuv");
    ASSERT_TRUE(yuv_write_raw(path, &p, 1));
    input_window win;
    input_window_init(&win);
    input_format f = format_for(16, 16);
    testing::internal::CaptureStdout();
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 0, 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open input file ... done\n");
    input_close(&win);
}

// ---- refused inputs: a clear message and the exit code, nothing left open ----

struct refused_case {
    int code;
    std::string message;
};

refused_case open_and_capture(input_window *win, const input_format *f, const std::string &path,
                              int frame_limit = 0)
{
    testing::internal::CaptureStderr();
    int code = input_open(win, f, path.c_str(), frame_limit, 0);
    refused_case r{code, testing::internal::GetCapturedStderr()};
    if (code != 0) {
        EXPECT_EQ(win->fd, -1);
        EXPECT_EQ(win->view, nullptr);
    }
    return r;
}

TEST(InputRefused, ZeroOddAndOversizedPictureSizes)
{
    std::string path = test_tmp_path("sizes.yuv");
    ASSERT_TRUE(write_file_bytes(path, "0123456789abcdef", 16));
    const int sizes[][2] = {{0, 0}, {0, 16}, {16, 0}, {17, 16}, {16, 9}, {-16, 16}, {32768, 2}};
    for (const auto &s : sizes) {
        for (int y4m = 0; y4m < 2; y4m++) {
            input_window win;
            input_window_init(&win);
            input_format f = format_for(s[0], s[1], y4m, 0);
            refused_case r = open_and_capture(&win, &f, path);
            EXPECT_EQ(r.code, y4m ? 10 : 1) << s[0] << "x" << s[1];
            EXPECT_NE(r.message.find("Unsupported picture size"), std::string::npos) << r.message;
        }
    }
}

TEST(InputRefused, MissingEmptyAndPartialFiles)
{
    input_window win;
    input_window_init(&win);
    input_format f = format_for(16, 16);
    std::string missing = test_tmp_path("missing.yuv");
    refused_case r = open_and_capture(&win, &f, missing);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.message, "Can't open input file: " + missing + ".\n");

    std::string empty = test_tmp_path("empty.yuv");
    ASSERT_TRUE(write_file_bytes(empty, nullptr, 0));
    r = open_and_capture(&win, &f, empty);
    EXPECT_EQ(r.code, -1);
    EXPECT_NE(r.message.find("is empty"), std::string::npos) << r.message;

    yuv_gen_params p = noise_params(16, 16);
    std::vector<uint8_t> data = yuv_gen_sequence(&p, 0, 3);
    data.resize(data.size() - 1);
    std::string partial = test_tmp_path("partial.yuv");
    ASSERT_TRUE(write_file_bytes(partial, data.data(), data.size()));
    r = open_and_capture(&win, &f, partial);
    EXPECT_EQ(r.code, -1);
    EXPECT_NE(r.message.find("ends with a partial picture: 383 bytes after 2 whole pictures"),
              std::string::npos)
        << r.message;

    // Shorter than one picture: a truncated first picture, not an empty input.
    std::string tiny = test_tmp_path("tiny.yuv");
    ASSERT_TRUE(write_file_bytes(tiny, data.data(), 100));
    r = open_and_capture(&win, &f, tiny);
    EXPECT_EQ(r.code, -1);
    EXPECT_NE(r.message.find("partial picture"), std::string::npos) << r.message;
}

// Refused like an empty raw file, not run as an encode of nothing.
TEST(InputRefused, Y4mWithOnlyAHeaderHasNoPictures)
{
    std::string path = test_tmp_path("header_only.y4m");
    std::string header = y4m_header_line(16, 16, 25, 1);
    ASSERT_TRUE(write_file_bytes(path, header.data(), header.size()));
    input_window win;
    input_window_init(&win);
    input_format f = format_for(16, 16, 1, (int)header.size());
    refused_case r = open_and_capture(&win, &f, path);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.message, "Error: input file " + path + " holds no picture after its YUV4MPEG2 header.\n");
}

TEST(InputRefused, Y4mFrameLinesWithParametersOrMissing)
{
    yuv_gen_params p = noise_params(16, 16);
    std::string header = y4m_header_line(16, 16, 25, 1);
    input_format f = format_for(16, 16, 1, (int)header.size());
    input_window win;
    input_window_init(&win);

    // Every FRAME line carries a parameter: the first one is refused.
    std::string path = test_tmp_path("frame_params.y4m");
    ASSERT_TRUE(yuv_write_y4m_custom(path, header, "FRAME Ib\n", &p, 3));
    refused_case r = open_and_capture(&win, &f, path);
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.message.find("Unsupported parameters in the FRAME line of picture 0"),
              std::string::npos)
        << r.message;

    // Only a later FRAME line is bad, and its picture has the usual size so
    // that the file length still divides: refused before any picture is read.
    ASSERT_TRUE(yuv_write_y4m(path, &p, 4, 25, 1));
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(read_file_bytes(path, &bytes));
    size_t third = header.size() + 2 * (6 + yuv_picture_bytes(16, 16));
    std::memcpy(&bytes[third], "FRAMEX", 6);
    ASSERT_TRUE(write_file_bytes(path, bytes.data(), bytes.size()));
    r = open_and_capture(&win, &f, path);
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.message.find("picture 2 of the y4m file does not begin with a FRAME line"),
              std::string::npos)
        << r.message;

    // With a frame limit the bad line beyond it is never read.
    r = open_and_capture(&win, &f, path, 2);
    EXPECT_EQ(r.code, 0) << r.message;
    input_close(&win);
}

TEST(InputRefused, FailedFirstMappingAndFailedWindowMove)
{
    yuv_gen_params p = noise_params(64, 64);  // 6144 bytes
    std::string path = test_tmp_path("remap.yuv");
    ASSERT_TRUE(yuv_write_raw(path, &p, 8));
    input_format f = format_for(64, 64);

    input_window win;
    init_logged_window(&win, 8192, 4096, 0);
    refused_case r = open_and_capture(&win, &f, path);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.message, "File mapping fail, error code " + std::to_string(ENOMEM) + ".\n");

    init_logged_window(&win, 8192, 4096, 1);
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 0, 0), 0);
    input_picture pic;
    ASSERT_EQ(input_next_picture(&win, &pic), 0);
    testing::internal::CaptureStderr();
    int code = input_next_picture(&win, &pic);
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, -1);
    EXPECT_EQ(message, "File mapping fail, error code " + std::to_string(ENOMEM) + ".\n");
    EXPECT_EQ(win.view, nullptr);
    input_close(&win);
}

TEST(InputRefused, FileShrinkingWhileReadIsAnErrorNotACrash)
{
    yuv_gen_params p = noise_params(64, 64);
    std::string path = test_tmp_path("shrink.yuv");
    ASSERT_TRUE(yuv_write_raw(path, &p, 4));
    input_window win;
    input_window_init(&win);
    input_format f = format_for(64, 64);
    ASSERT_EQ(input_open(&win, &f, path.c_str(), 0, 0), 0);
    input_picture pic;
    ASSERT_EQ(input_next_picture(&win, &pic), 0);
    ASSERT_EQ(truncate(path.c_str(), 6144), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(input_next_picture(&win, &pic), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("truncated while being read"),
              std::string::npos);
    input_close(&win);
}

// ---- guesses before opening ----

struct guess_result {
    int code;
    input_format fmt;
    std::string out, err;
};

guess_result guess(const std::string &input, const char *output, const input_format *start = nullptr)
{
    guess_result g;
    if (start)
        g.fmt = *start;
    else
        input_format_defaults(&g.fmt);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    g.code = input_guess_format(&g.fmt, input.c_str(), output);
    g.err = testing::internal::GetCapturedStderr();
    g.out = testing::internal::GetCapturedStdout();
    return g;
}

std::string write_y4m_header_file(const std::string &name, const std::string &header)
{
    std::string path = test_tmp_path(name);
    std::string text = header + "FRAME\n" + std::string(16 * 16 * 3 / 2, 'a');
    EXPECT_TRUE(write_file_bytes(path, text.data(), text.size()));
    return path;
}

TEST(InputGuess, Y4mHeaderOverridesWithWarnings)
{
    std::string path = write_y4m_header_file(
        "clip.Y4M", "YUV4MPEG2 W352 H288 F30000:1001 Ip A1:1 C420jpeg\n");
    guess_result g = guess(path, "out.hm12");
    ASSERT_EQ(g.code, 0) << g.err;
    EXPECT_EQ(g.fmt.width, 352);
    EXPECT_EQ(g.fmt.height, 288);
    EXPECT_EQ(g.fmt.fps_num, 30000);
    EXPECT_EQ(g.fmt.fps_den, 1001);
    EXPECT_EQ(g.fmt.header_length, 49);
    EXPECT_EQ(g.fmt.is_y4m, 1);
    EXPECT_EQ(g.fmt.compat, 120);
    EXPECT_EQ(g.out,
              "Warning: aspect ratio parameter is unsupported and ignored.\n"
              "Warning: the width is changed from 1920 to 352 according to y4m file.\n"
              "Warning: the height is changed from 1080 to 288 according to y4m file.\n"
              "Warning: the frame rate is changed from 25:1 to 30000:1001 according to y4m "
              "file.\n");
}

TEST(InputGuess, Y4mHeaderMatchingTheDefaultsPrintsNothing)
{
    std::string path = write_y4m_header_file("hd.y4m", "YUV4MPEG2 W1920 H1080 F25:1\n");
    guess_result g = guess(path, "out.hm10");
    ASSERT_EQ(g.code, 0);
    EXPECT_EQ(g.fmt.width, 1920);
    EXPECT_EQ(g.fmt.fps_num, 25);
    EXPECT_EQ(g.fmt.compat, 100);
    EXPECT_EQ(g.out, "");
}

TEST(InputGuess, RefusedY4mHeadersGiveTheirExitCodes)
{
    struct {
        const char *header;
        int code;
        const char *message;
    } cases[] = {
        {"YUV4MPEG2 W16 H16 It\n", 10, "Error: Unsupported interlacing!\n"},
        {"YUV4MPEG2 W16 H16 C444\n", 10, "Error: Unsupported color space!\n"},
        {"YUV4MPEG2 W16 H16 C420p10\n", 10, "Error: Unsupported color space!\n"},
        {"YUV4MPEG2 W16 H16 Q1\n", 9, "Error: Unsupported parameter in y4m file : Q!\n"},
    };
    for (const auto &c : cases) {
        std::string path = write_y4m_header_file("refused.y4m", c.header);
        guess_result g = guess(path, "out.hm12");
        EXPECT_EQ(g.code, c.code) << c.header;
        EXPECT_EQ(g.err, c.message) << c.header;
    }
}

TEST(InputGuess, Y4mNameWithRawContentIsReadAsRaw)
{
    std::string path = test_tmp_path("fake_176x144.y4m");
    ASSERT_TRUE(write_file_bytes(path, "not a y4m file at all", 21));
    guess_result g = guess(path, "o.hm12");
    ASSERT_EQ(g.code, 0);
    EXPECT_EQ(g.fmt.is_y4m, 0);
    EXPECT_EQ(g.fmt.width, 176);
    EXPECT_EQ(g.out, "Warning: input file extension is y4m, but the file content is not y4m! "
                     "Input file will be handled as YUV.\n"
                     "Warning: frame rate is not specified! 25.000fps will be used.\n");
}

TEST(InputGuess, RawNamesGiveSizeAndRateOrDefaultsWithWarnings)
{
    guess_result g = guess("/videos/foreman_352x288_30fps.yuv", "out.hm12");
    ASSERT_EQ(g.code, 0);
    EXPECT_EQ(g.fmt.width, 352);
    EXPECT_EQ(g.fmt.height, 288);
    EXPECT_EQ(g.fmt.fps_num, 30);
    EXPECT_EQ(g.fmt.fps_den, 1);
    EXPECT_EQ(g.out, "");

    g = guess("news_cif.yuv", "out.bin");
    ASSERT_EQ(g.code, 0);
    EXPECT_EQ(g.fmt.width, 1920);
    EXPECT_EQ(g.fmt.height, 1080);
    EXPECT_EQ(g.out, "Warning: video resolution is not specified! 1920x1080 will be used.\n"
                     "Warning: frame rate is not specified! 25.000fps will be used.\n"
                     "Warning: compatibility is not specified! HM12.0 will be used.\n");
}

TEST(InputGuess, OptionsStopTheGuesses)
{
    input_format start;
    input_format_defaults(&start);
    start.width = 640;
    start.height = 360;
    start.size_given = 1;
    start.fps_num = 50;
    start.fps_given = 1;
    start.compat = 91;
    start.compat_given = 1;
    guess_result g = guess("foreman_352x288_30fps.yuv", "out.hm10", &start);
    ASSERT_EQ(g.code, 0);
    EXPECT_EQ(g.fmt.width, 640);
    EXPECT_EQ(g.fmt.fps_num, 50);
    EXPECT_EQ(g.fmt.compat, 91);
    EXPECT_EQ(g.out, "");
}

}  // namespace
