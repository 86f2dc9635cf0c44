// Option parsing of the front end: pre-scan, value parsers, the option loop and
// the frame-rate fractions, called directly through the app library.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/cli.h"
#include "support/cli_capture.h"

namespace {

struct parsed {
    int stopped;
    int exit_code;
    cli_settings s;
    std::string out, err;
};

parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "torvenc");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    captured_stream out, err;
    cli_io io = {nullptr, out.f, err.f};
    parsed p;
    p.exit_code = -100;
    p.stopped = parse_command_line((int)args.size(), argv.data(), &p.s, &io, &p.exit_code);
    p.out = out.text();
    p.err = err.text();
    // The names point into args, which dies here.
    p.s.input_name = p.s.input_name ? "set" : nullptr;
    p.s.output_name = p.s.output_name ? "set" : nullptr;
    p.s.recon_name = p.s.recon_name ? "set" : nullptr;
    p.s.stats_name = p.s.stats_name ? "set" : nullptr;
    return p;
}

void expect_refused(const std::vector<std::string> &args, const std::string &message)
{
    parsed p = parse(args);
    EXPECT_EQ(p.stopped, 1) << args[0];
    EXPECT_EQ(p.exit_code, 1) << args[0];
    EXPECT_EQ(p.err, message) << args[0];
}

std::string fraction(uint64_t r)
{
    return std::to_string(rational_num(r)) + "/" + std::to_string(rational_den(r));
}

}  // namespace

TEST(FrameRateFraction, DecimalRatesBecomeBroadcastFractions)
{
    EXPECT_EQ(fraction(double_to_rational(23.976)), "2997/125");
    EXPECT_EQ(fraction(double_to_rational(29.97)), "2997/100");
    EXPECT_EQ(fraction(double_to_rational(59.94)), "2997/50");
    EXPECT_EQ(fraction(double_to_rational(25.0)), "25/1");
    EXPECT_EQ(fraction(double_to_rational(0.5)), "1/2");
    EXPECT_EQ(fraction(double_to_rational(-12.5)), "-25/2");
}

TEST(FrameRateFraction, UnrepresentableRatesGiveZeroNotOverflow)
{
    EXPECT_EQ(fraction(double_to_rational(1e30)), "0/0");
    EXPECT_EQ(fraction(double_to_rational(NAN)), "0/0");
    EXPECT_EQ(fraction(double_to_rational(INFINITY)), "0/0");
    EXPECT_EQ(rational_num(double_to_rational(0.0)), 0);
}

TEST(FrameRateFraction, ReduceKeepsTermsWithinTheLimit)
{
    EXPECT_EQ(fraction(rational_reduce(48, 2, 1000)), "24/1");
    EXPECT_EQ(fraction(rational_reduce(-6, 4, 1000)), "-3/2");
    EXPECT_EQ(fraction(rational_reduce(6, -4, 1000)), "-3/2");
    EXPECT_EQ(fraction(rational_reduce(-6, -4, 1000)), "3/2");
    // pi to 3 digits of terms: the classic 355/113.
    EXPECT_EQ(fraction(rational_reduce(314159265, 100000000, 1000)), "355/113");
    // A value below 1 over a limit smaller than its denominator: the first
    // convergent is 0/1 and must not be divided by.
    EXPECT_EQ(fraction(rational_reduce(1, 3000000, 1001000)), "0/1");
    EXPECT_EQ(fraction(rational_reduce(INT32_MIN, 3, 2147483647)).substr(0, 1), "-");
}

TEST(FrameRateFraction, GcdIsEuclid)
{
    EXPECT_EQ(gcd(12, 18), 6);
    EXPECT_EQ(gcd(7, 0), 7);
    EXPECT_EQ(gcd(17, 5), 1);
}

TEST(SizeOption, NamedResolutionsFillTheMissingDimension)
{
    struct {
        const char *value;
        int w, h;
    } cases[] = {{"720p", 1280, 720}, {"1080P", 1920, 1080}, {"720", 720, 576},  {"1920", 1920, 1080},
                 {"352x288", 352, 288}, {"352X288", 352, 288}, {"352*288", 352, 288}, {"352:288", 352, 288},
                 {"352|288", 352, 288}, {"352/288", 352, 288}, {"352\\288", 352, 288}, {"352-288", 352, 288}};
    for (const auto &c : cases) {
        parsed p = parse({"-s", c.value});
        EXPECT_EQ(p.stopped, 0) << c.value << p.err;
        EXPECT_EQ(p.s.param.width, c.w) << c.value;
        EXPECT_EQ(p.s.param.height, c.h) << c.value;
        EXPECT_EQ(p.s.size_given, 1);
    }
}

TEST(SizeOption, LaterWidthKeepsEarlierHeight)
{
    parsed p = parse({"-s", "640x360", "--size", "1000"});
    EXPECT_EQ(p.s.param.width, 1000);
    EXPECT_EQ(p.s.param.height, 360);
}

TEST(SizeOption, BadValuesAreRefusedWithTheirText)
{
    expect_refused({"-s", "1280x"}, "invalid height ''!\n");
    expect_refused({"-s", "100"}, "unknown height!\n");
    expect_refused({"-s", "999p"}, "unknown height!\n");
    expect_refused({"-s", "abc"}, "invalid width 'abc'!\n");
    expect_refused({"-s", "x720"}, "invalid width ''!\n");
    expect_refused({"-s", "1280xhigh"}, "invalid height 'high'!\n");
    // A negative height after the separator is not a size.
    expect_refused({"-s", "1280x-720"}, "invalid height '-720'!\n");
}

TEST(CompatOption, AcceptsTheFourVersions)
{
    struct {
        const char *value;
        int compat;
    } cases[] = {{"9.1", 91}, {"10", 100}, {"11", 110}, {"12", 120}, {"12.0", 120}};
    for (const auto &c : cases) {
        parsed p = parse({"--compat", c.value});
        EXPECT_EQ(p.stopped, 0) << c.value;
        EXPECT_EQ(p.s.param.compat, c.compat) << c.value;
        EXPECT_EQ(p.s.compat_given, 1);
    }
}

TEST(CompatOption, RefusesOtherVersions)
{
    const std::string choices = "Possible values are:9.1 10 11 12\n";
    expect_refused({"--compat", "11.5"}, "Compatibility version number 11.5 is not supproted!\n" + choices);
    expect_refused({"--compat", "13"}, "Compatibility version number 13.0 is not supproted!\n" + choices);
    expect_refused({"--compat", "99"}, "Compatibility version number 99.0 is not supproted!\n" + choices);
    expect_refused({"--compat", "1e30"}, "Compatibility version number 1000000015047466219876688855040.0 is not supproted!\n" + choices);
    expect_refused({"--compat", "abc"}, "unknown version number: abc!\n");
    expect_refused({"--compat"}, "Compatibility version number is not specified!\n" + choices);
    expect_refused({"--compat", "-10"}, "Compatibility version number is not specified!\n" + choices);
}

TEST(FrameRateOption, FractionsDecimalsAndRefusals)
{
    struct {
        const char *value;
        int num, den;
    } cases[] = {{"24000/1001", 24000, 1001}, {"25:1", 25, 1},      {"48/2", 48, 2},  {"23.976", 2997, 125},
                 {"29.97", 2997, 100},        {"30", 30, 1},        {".5", 1, 2}};
    for (const auto &c : cases) {
        parsed p = parse({"-r", c.value});
        EXPECT_EQ(p.stopped, 0) << c.value << p.err;
        EXPECT_EQ(p.s.param.fps_num, c.num) << c.value;
        EXPECT_EQ(p.s.param.fps_den, c.den) << c.value;
        EXPECT_EQ(p.s.fps_given, 1);
    }
    for (const char *bad : {"25fps", "0", "30/", "25/0", "0/1", "fast", "25/-1", "1e30"})
        expect_refused({"--framerate", bad}, std::string("unknown frame rate: ") + bad + "!\n");
}

TEST(SarOption, FractionWithSlashOrColon)
{
    parsed p = parse({"--sar", "12:11"});
    EXPECT_EQ(p.s.param.sar_num, 12);
    EXPECT_EQ(p.s.param.sar_den, 11);
    p = parse({"--sar", "40/33"});
    EXPECT_EQ(p.s.param.sar_num, 40);
    EXPECT_EQ(p.s.param.sar_den, 33);
    expect_refused({"--sar", "1x1"}, "invalid argument '1x1'!\n");
    expect_refused({"--sar", "16"}, "invalid argument '16'!\n");
    expect_refused({"--sar", "1/-1"}, "invalid argument '1/-1'!\n");
    expect_refused({"--sar", "70000:1"}, "sar numerator and denominator can not exceed 65535!\n");
}

TEST(Prescan, TuningsOneOfEachGroup)
{
    parsed p = parse({"--tune", "MONITOR,lowdelay"});
    EXPECT_EQ(p.stopped, 0) << p.err;
    EXPECT_EQ(p.s.param.tune, 0x20001u);
    p = parse({"--tune", "cartoon", "--tune", "zerolatency"});
    EXPECT_EQ(p.s.param.tune, 0x10002u);
    expect_refused({"--tune", "monitor,broadcast"}, "In the same types only one tuning can be used at a time.\n");
    expect_refused({"--tune", "zerolatency", "--tune", "lowdelay"},
                   "In the same types only one tuning can be used at a time.\n");
    expect_refused({"--tune", "monitor,"}, "invalid tuning.\n");
    expect_refused({"--tune", ",monitor"}, "invalid tuning.\n");
    expect_refused({"--tune", "film"}, "invalid tuning.\n");
    const std::string list = "Tune name is not specified! possible tune is:  monitor  cartoon  highmotion  broadcast "
                             " zerolatency  lowdelay \n";
    expect_refused({"--tune"}, list);
    expect_refused({"--tune", "-x"}, list);
}

TEST(Prescan, ComplexityChoosesThePreset)
{
    parsed p = parse({"-c", "6", "--tune", "zerolatency"});
    EXPECT_EQ(p.stopped, 0);
    EXPECT_EQ(p.s.param.complexity, 6);
    EXPECT_EQ(p.s.param.tune, 0u);  // latency tunings are dropped above 4
    p = parse({"in.yuv"});
    EXPECT_EQ(p.s.param.complexity, 4);
    const std::string msg = "complex is not specified! possible value is: 0 ~ 7\n";
    expect_refused({"-c", "8"}, msg);
    expect_refused({"-c", "-1"}, msg);
    expect_refused({"--complex", "fast"}, msg);
    expect_refused({"-c"}, msg);
    // The pre-scan reads every argument, also those after the input name.
    expect_refused({"in.yuv", "out.hevc", "-c", "9"}, msg);
}

TEST(OptionLoop, RateControlOptionsActInOrder)
{
    EXPECT_EQ(parse({"in.yuv"}).s.param.rc_mode, 0);
    EXPECT_EQ(parse({"in.yuv"}).s.param.bitrate, 0);
    parsed p = parse({"--crf", "20", "-b", "900"});
    EXPECT_EQ(p.s.param.rc_mode, 1);
    EXPECT_EQ(p.s.param.bitrate, 900);
    EXPECT_FLOAT_EQ(p.s.param.crf, 20.0f);
    EXPECT_EQ(parse({"-b", "900", "--cbr"}).s.param.rc_mode, 2);
    EXPECT_EQ(parse({"--maxrate", "2000", "-b", "900"}).s.param.rc_mode, 2);
    EXPECT_EQ(parse({"-b", "900", "--qp", "30"}).s.param.rc_mode, 0);
    EXPECT_EQ(parse({"--cqp", "--crf", "28.5"}).s.param.rc_mode, 3);
    EXPECT_EQ(parse({"--abr"}).s.param.rc_mode, 1);
    EXPECT_EQ(parse({"--bufsize", "12"}).s.param.rc_mode, 2);
    EXPECT_EQ(parse({"--minrate", "12"}).s.param.minrate, 12);
}

TEST(OptionLoop, IntegerOptionsReachTheirFields)
{
    parsed p = parse({"--threads", "3", "-w", "5", "-t", "7", "--idr", "100", "--min-idr", "10", "-q", "27",
                      "--vbv-bufsize", "800", "--vbv-maxrate", "900", "-l", "0", "--bframes", "3", "--hierach", "2",
                      "--brefs", "2", "--prefs", "3", "--scenecut", "0", "--lookahead", "20", "-n", "12",
                      "--disable-sei", "-y", "--recon", "r.yuv", "--stats-file", "s.log", "--pass", "1", "--crf", "20",
                      "in.yuv"});
    ASSERT_EQ(p.stopped, 0) << p.err;
    const public_param &q = p.s.param;
    EXPECT_EQ(q.frame_threads, 3);
    EXPECT_EQ(q.wpp, 5);
    EXPECT_EQ(q.working_threads, 7);
    EXPECT_EQ(q.idr_period, 100);
    EXPECT_EQ(q.min_idr, 10);
    EXPECT_EQ(q.qp, 27);
    EXPECT_EQ(q.vbv_bufsize, 800);
    EXPECT_EQ(q.vbv_maxrate, 900);
    EXPECT_EQ(q.loglevel, 0);
    EXPECT_EQ(q.bframes, 3);
    EXPECT_EQ(q.hierarchy, 2);
    EXPECT_EQ(q.brefs, 2);
    EXPECT_EQ(q.prefs, 3);
    EXPECT_EQ(q.scenecut, 0);
    EXPECT_EQ(q.lookahead, 20);
    EXPECT_EQ(q.sei, 0);
    EXPECT_EQ(q.size, 160u);
    EXPECT_EQ(p.s.frame_limit, 12);
    EXPECT_EQ(p.s.overwrite, 1);
    EXPECT_EQ(p.s.pass, 1);
    EXPECT_NE(p.s.recon_name, nullptr);
    EXPECT_NE(p.s.stats_name, nullptr);
    EXPECT_NE(p.s.input_name, nullptr);
    EXPECT_EQ(p.s.output_name, nullptr);
}

TEST(OptionLoop, NumbersMustBeWholeAndHugeOnesClamp)
{
    // Every kind of numeric value: fields, frame limit, pass, interlace, crf.
    const char *options[] = {"--idr", "-n", "--pass", "--interlace", "--crf"};
    for (const char *option : options)
        for (const char *text : {"often", "12abc", ""})
            expect_refused({option, text, "in.yuv"},
                           std::string("Error: invalid number '") + text + "' for option '" + option + "'!\n");
    EXPECT_EQ(parse({"--idr", " 12 "}).s.param.idr_period, 12);
    EXPECT_EQ(parse({"--idr", "99999999999999999999"}).s.param.idr_period, 2147483647);
}

TEST(OptionLoop, CrfMustBeAFiniteNumber)
{
    EXPECT_FLOAT_EQ(parse({"--crf", "18.5"}).s.param.crf, 18.5f);
    expect_refused({"--crf", "nan"}, "invalid argument 'nan'!\n");
    expect_refused({"--crf", "inf"}, "invalid argument 'inf'!\n");
    expect_refused({"--crf", "1e40"}, "invalid argument '1e40'!\n");
}

TEST(OptionLoop, InterlaceByNameOrNumber)
{
    EXPECT_EQ(parse({"--interlace", "TFF"}).s.param.interlace, 1);
    EXPECT_EQ(parse({"--interlace", "bff"}).s.param.interlace, 2);
    EXPECT_EQ(parse({"--interlace", "0"}).s.param.interlace, 0);
    EXPECT_EQ(parse({"--interlace", "5"}).s.param.interlace, 5);  // validation refuses it later
}

TEST(OptionLoop, PassZeroToTwoOnly)
{
    EXPECT_EQ(parse({"--pass", "0"}).stopped, 0);
    EXPECT_EQ(parse({"--pass", "2"}).s.pass, 2);
    expect_refused({"--pass", "3"}, "invalid pass '3', possible value is 1 or 2\n");
    // Constant QP writes no statistics: a first pass needs a bitrate mode or CRF.
    const char *cqp_first_pass =
        "Error: the first pass (--pass 1) needs a bitrate mode or --crf; constant QP writes no statistics!\n";
    expect_refused({"--pass", "1", "in.yuv"}, cqp_first_pass);
    expect_refused({"--abr", "--pass", "1", "-q", "30", "in.yuv"}, cqp_first_pass);
    for (const char *mode : {"--abr", "--cbr", "--crf"}) {
        std::vector<std::string> args = {mode, "--pass", "1", "in.yuv"};
        if (std::string(mode) == "--crf")
            args.insert(args.begin() + 1, "25");
        EXPECT_EQ(parse(args).stopped, 0) << mode;
    }
}

TEST(OptionLoop, BitrateModesWithoutRateUseTheDocumentedDefault)
{
    EXPECT_EQ(parse({"--abr", "in.yuv"}).s.param.bitrate, cli_default_bitrate);
    EXPECT_EQ(parse({"--cbr", "in.yuv"}).s.param.bitrate, cli_default_bitrate);
    EXPECT_EQ(parse({"--maxrate", "3000", "in.yuv"}).s.param.bitrate, cli_default_bitrate);
    EXPECT_EQ(parse({"--cbr", "-b", "700", "in.yuv"}).s.param.bitrate, 700);
    EXPECT_EQ(parse({"--crf", "20", "in.yuv"}).s.param.bitrate, 0);
}

TEST(OptionLoop, ValuesMustNotBeginWithDash)
{
    expect_refused({"--min-idr", "-5"}, "no option argument!\n");
    expect_refused({"-s"}, "no option argument!\n");
    expect_refused({"-r", "-25"}, "no option argument!\n");
    expect_refused({"--recon", "--yes"}, "no option argument!\n");
}

TEST(OptionLoop, UnknownOptionsAreNamed)
{
    expect_refused({"--cbr", "--fast", "in.yuv"}, "error: unknown parameter '--fast'!\n");
    expect_refused({"-"}, "error: unknown parameter '-'!\n");
    expect_refused({"-size", "720p"}, "error: unknown parameter '-size'!\n");
}

TEST(OptionLoop, ArgumentsAfterTheInputAreNotOptions)
{
    parsed p = parse({"-q", "30", "in.yuv", "out.hevc", "--bogus", "more"});
    EXPECT_EQ(p.stopped, 0) << p.err;
    EXPECT_NE(p.s.input_name, nullptr);
    EXPECT_NE(p.s.output_name, nullptr);
    EXPECT_EQ(p.s.param.qp, 30);
    EXPECT_EQ(p.s.rest_first, 5);
}

TEST(OptionLoop, HelpStopsWithCodeZero)
{
    parsed p = parse({"-q", "30", "-h", "--bogus"});
    EXPECT_EQ(p.stopped, 1);
    EXPECT_EQ(p.exit_code, 0);
    EXPECT_EQ(p.out.find("torvenc: norquill torvane HEVC encoder app.\nVer: 2.8 (r6740)\n"), 0u);
    EXPECT_EQ(p.err, "");
}
