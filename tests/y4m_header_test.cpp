// YUV4MPEG2 header and FRAME-line parsing, file-name guesses and the
// rate-to-fraction conversion: the pure parts of reading the input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/input_format.h"
#include "app/rational.h"
#include "app/y4m_header.h"

namespace {

int parse(const std::string &text, y4m_header *h)
{
    return y4m_parse_header((const uint8_t *)text.data(), text.size(), h);
}

TEST(Y4mHeader, ReadsSizeRateAndHeaderLength)
{
    y4m_header h;
    std::string text = "YUV4MPEG2 W352 H288 F30000:1001 Ip A1:1 C420jpeg\nFRAME\n";
    ASSERT_EQ(parse(text, &h), 0) << h.error;
    EXPECT_EQ(h.width, 352);
    EXPECT_EQ(h.height, 288);
    EXPECT_EQ(h.fps_num, 30000);
    EXPECT_EQ(h.fps_den, 1001);
    EXPECT_EQ(h.aspect_tag, 1);
    EXPECT_EQ(h.header_length, 49);
    EXPECT_STREQ(h.error, "");
}

TEST(Y4mHeader, AcceptsMissingTagsExtraSpacesXTagsAndUnknownRate)
{
    y4m_header h;
    ASSERT_EQ(parse("YUV4MPEG2  W64  XYSCSS=420JPEG XCOLORRANGE=LIMITED H32 F0:0\n", &h), 0)
        << h.error;
    EXPECT_EQ(h.width, 64);
    EXPECT_EQ(h.height, 32);
    EXPECT_EQ(h.fps_num, 0);
    EXPECT_EQ(h.fps_den, 0);
    EXPECT_EQ(h.aspect_tag, 0);
    ASSERT_EQ(parse("YUV4MPEG2 \n", &h), 0);
    EXPECT_EQ(h.width, 0);
    EXPECT_EQ(h.header_length, 11);
    // A header longer than 128 bytes (long X tags) is still fine.
    std::string long_header = "YUV4MPEG2 W16 H16 X" + std::string(300, 'a') + " C420\n";
    ASSERT_EQ(parse(long_header, &h), 0) << h.error;
    EXPECT_EQ(h.header_length, (int)long_header.size());
}

TEST(Y4mHeader, InterlacingAndColourSpacesOtherThan8Bit420AreUnsupported)
{
    y4m_header h;
    for (const char *tag : {"It", "Ib", "Im", "I?", "I"}) {
        EXPECT_EQ(parse(std::string("YUV4MPEG2 W16 H16 ") + tag + "\n", &h), 10) << tag;
        EXPECT_STREQ(h.error, "Error: Unsupported interlacing!\n");
    }
    for (const char *tag : {"C422", "C444", "Cmono", "C420p10", "C420jpegX", "C42"}) {
        EXPECT_EQ(parse(std::string("YUV4MPEG2 W16 H16 ") + tag + "\n", &h), 10) << tag;
        EXPECT_STREQ(h.error, "Error: Unsupported color space!\n");
    }
    for (const char *tag : {"C420", "C420jpeg", "C420paldv", "C420mpeg2"})
        EXPECT_EQ(parse(std::string("YUV4MPEG2 W16 H16 ") + tag + "\n", &h), 0) << tag;
}

TEST(Y4mHeader, UnknownTagIsRefusedWithItsLetter)
{
    y4m_header h;
    EXPECT_EQ(parse("YUV4MPEG2 W16 H16 Zfoo\n", &h), 9);
    EXPECT_STREQ(h.error, "Error: Unsupported parameter in y4m file : Z!\n");
    EXPECT_EQ(parse(std::string("YUV4MPEG2 W16 \x01x\n"), &h), 9);
    EXPECT_STREQ(h.error, "Error: Unsupported parameter in y4m file : ?!\n");
}

TEST(Y4mHeader, ZeroOddNegativeOrGarbageSizesAreRefused)
{
    y4m_header h;
    for (const char *tag : {"W0", "W351", "H17", "W-16", "Wabc", "W", "W99999999999", "H32768",
                            "W16x"}) {
        EXPECT_EQ(parse(std::string("YUV4MPEG2 ") + tag + " H16\n", &h), 10) << tag;
        EXPECT_NE(std::strstr(h.error, "Unsupported picture size"), nullptr) << h.error;
    }
    EXPECT_EQ(parse("YUV4MPEG2 W16384 H2\n", &h), 0);
}

TEST(Y4mHeader, MalformedFrameRatesAreRefused)
{
    y4m_header h;
    for (const char *tag : {"F25", "F25:0", "F0:1", "F:1", "F25:", "Fa:b", "F-25:1",
                            "F3000000000:1"}) {
        EXPECT_EQ(parse(std::string("YUV4MPEG2 W16 H16 ") + tag + "\n", &h), 9) << tag;
        EXPECT_NE(std::strstr(h.error, "Invalid frame rate"), nullptr) << h.error;
    }
}

TEST(Y4mHeader, MissingOrOverlongHeaderLineIsRefused)
{
    y4m_header h;
    EXPECT_EQ(parse("YUV4MPEG2 W16 H16", &h), 9);
    EXPECT_NE(std::strstr(h.error, "line feed"), nullptr);
    std::string overlong = "YUV4MPEG2 W16 H16 X" + std::string(1100, 'a') + "\n";
    EXPECT_EQ(parse(overlong, &h), 9);
    EXPECT_STREQ(h.error, "Error: y4m header is longer than 1024 bytes!\n");
    EXPECT_EQ(parse("YUV4MPEG W16 H16\n", &h), 9);
    EXPECT_EQ(y4m_parse_header(nullptr, 0, &h), 9);
}

TEST(Y4mHeader, FrameLineMustBeExactlyFrameAndLineFeed)
{
    char error[192];
    auto check = [&](const std::string &s, int index) {
        return y4m_check_frame_line((const uint8_t *)s.data(), s.size(), index, error,
                                    sizeof(error));
    };
    EXPECT_EQ(check("FRAME\nabc", 0), 0);
    EXPECT_EQ(check("FRAME Ip\n", 3), 9);
    EXPECT_STREQ(error, "Error: Unsupported parameters in the FRAME line of picture 3 of the y4m "
                        "file!\n");
    EXPECT_EQ(check("FRAMEX", 4), 9);
    EXPECT_NE(std::strstr(error, "picture 4 of the y4m file does not begin with a FRAME line"),
              nullptr);
    EXPECT_EQ(check("FRAME", 0), 9);
    EXPECT_EQ(check("", 0), 9);
}

// Mutations of a valid header must never crash or read outside the buffer
// (the sanitizer build checks the latter); results stay within the codes.
TEST(Y4mHeader, MutatedHeadersNeverCrash)
{
    const std::string base = "YUV4MPEG2 W352 H288 F30000:1001 Ip A1:1 C420jpeg XA=B\nFRAME\n";
    std::mt19937 rng(1234);
    for (int iter = 0; iter < 20000; iter++) {
        std::string s = base;
        int edits = 1 + (int)(rng() % 6);
        for (int e = 0; e < edits; e++) {
            size_t at = rng() % s.size();
            switch (rng() % 3) {
            case 0: s[at] = (char)(rng() & 0xff); break;
            case 1: s.erase(at, 1 + rng() % 4); break;
            default: s.insert(at, 1, " WHFICAX:0123456789\n"[rng() % 20]); break;
            }
            if (s.empty())
                s = "Y";
        }
        size_t len = rng() % (s.size() + 1);
        std::vector<uint8_t> bytes(s.begin(), s.begin() + len);  // exact-size heap buffer
        y4m_header h;
        int code = y4m_parse_header(bytes.data(), bytes.size(), &h);
        ASSERT_TRUE(code == 0 || code == 9 || code == 10);
        if (code == 0) {
            ASSERT_GT(h.header_length, 0);
            ASSERT_LE((size_t)h.header_length, bytes.size());
            ASSERT_TRUE(h.width == 0 || (h.width > 0 && h.width % 2 == 0));
            ASSERT_TRUE(h.fps_num == 0 || h.fps_den > 0);
        } else {
            ASSERT_GT(std::strlen(h.error), 0u);
        }
    }
}

// ---- file-name guesses ----

TEST(InputNames, Y4mIsRecognisedByTheLastThreeCharacters)
{
    EXPECT_TRUE(input_is_y4m_name("clip.y4m"));
    EXPECT_TRUE(input_is_y4m_name("clip.Y4M"));
    EXPECT_TRUE(input_is_y4m_name("y4m"));
    EXPECT_FALSE(input_is_y4m_name("clip.y4m.yuv"));
    EXPECT_FALSE(input_is_y4m_name("4m"));
}

TEST(InputNames, SizeIsTakenFromTheBaseNameOnly)
{
    int w = 0, h = 0;
    EXPECT_TRUE(size_from_file_name("foreman_352x288_30fps.yuv", &w, &h));
    EXPECT_EQ(w, 352);
    EXPECT_EQ(h, 288);
    // The 'x' of "box" has no digits around it; the search goes on.
    EXPECT_TRUE(size_from_file_name("box_640x480.yuv", &w, &h));
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    // Upper-case X is tried when no lower-case one gives a size.
    EXPECT_TRUE(size_from_file_name("dir/CLIP_1280X720.YUV", &w, &h));
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
    EXPECT_TRUE(size_from_file_name("C:\\videos\\a_176x144.yuv", &w, &h));
    EXPECT_EQ(w, 176);
    EXPECT_FALSE(size_from_file_name("news_cif.yuv", &w, &h));
    EXPECT_FALSE(size_from_file_name("clips_640x480/news.yuv", &w, &h));
    EXPECT_FALSE(size_from_file_name("a_x288.yuv", &w, &h));
    EXPECT_FALSE(size_from_file_name("a_352x.yuv", &w, &h));
    // A zero size is reported as found so that opening refuses it, instead
    // of the default size being used silently.
    EXPECT_TRUE(size_from_file_name("a_0x0.yuv", &w, &h));
    EXPECT_EQ(w, 0);
}

TEST(InputNames, FrameRateIsTakenFromDigitsBeforeFps)
{
    int num = 0, den = 0;
    EXPECT_TRUE(fps_from_file_name("foreman_352x288_30fps.yuv", &num, &den));
    EXPECT_EQ(num, 30);
    EXPECT_EQ(den, 1);
    EXPECT_TRUE(fps_from_file_name("a_29.97fps.yuv", &num, &den));
    EXPECT_EQ(num, 2997);
    EXPECT_EQ(den, 100);
    EXPECT_TRUE(fps_from_file_name("fps_a_50fps.yuv", &num, &den));
    EXPECT_EQ(num, 50);
    EXPECT_FALSE(fps_from_file_name("a_.fps.yuv", &num, &den));
    EXPECT_FALSE(fps_from_file_name("25fps/clip.yuv", &num, &den));
    EXPECT_FALSE(fps_from_file_name("a_0fps.yuv", &num, &den));
}

TEST(InputNames, CompatibilityFromOutputName)
{
    EXPECT_EQ(compat_from_output_name("out.HM10"), 100);
    EXPECT_EQ(compat_from_output_name("out.hm12"), 120);
    EXPECT_EQ(compat_from_output_name("out.hm91"), 91);
    EXPECT_EQ(compat_from_output_name("out.hm00"), 0);
    EXPECT_EQ(compat_from_output_name("out.bin"), 0);
    EXPECT_EQ(compat_from_output_name("hm12"), 0);
    EXPECT_EQ(compat_from_output_name(nullptr), 0);
}

// ---- rates as fractions ----

TEST(Rational, DecimalRatesBecomeSmallFractions)
{
    uint64_t r = double_to_rational(23.976);
    EXPECT_EQ(rational_num(r), 2997);
    EXPECT_EQ(rational_den(r), 125);
    r = double_to_rational(29.97);
    EXPECT_EQ(rational_num(r), 2997);
    EXPECT_EQ(rational_den(r), 100);
    r = double_to_rational(25.0);
    EXPECT_EQ(rational_num(r), 25);
    EXPECT_EQ(rational_den(r), 1);
    EXPECT_EQ(double_to_rational(1e12), 0u);
}

TEST(Rational, ReduceKeepsSignAndLimit)
{
    uint64_t r = rational_reduce(-50, 2, 1000);
    EXPECT_EQ(rational_num(r), -25);
    EXPECT_EQ(rational_den(r), 1);
    r = rational_reduce(24000, 1001, 1001000);
    EXPECT_EQ(rational_num(r), 24000);
    EXPECT_EQ(rational_den(r), 1001);
    // 355/113 is the best approximation of pi with terms up to 1000.
    r = rational_reduce(314159265, 100000000, 1000);
    EXPECT_EQ(rational_num(r), 355);
    EXPECT_EQ(rational_den(r), 113);
    // A value below 1 whose denominator passes the limit: the continued
    // fraction starts with a quotient of 0 (no division by zero).
    r = rational_reduce(1, 3000000, 1001000);
    EXPECT_EQ(rational_num(r), 0);
    EXPECT_EQ(rational_den(r), 1);
    r = rational_reduce(2, 3000001, 1001000);
    EXPECT_EQ(rational_num(r), 1);
    EXPECT_EQ(rational_den(r), 1001000);
}

}  // namespace
