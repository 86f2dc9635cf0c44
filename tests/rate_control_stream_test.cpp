// Rate control on real encodes: ffmpeg's synthetic testsrc2 and mandelbrot
// clips and a testsrc2 clip under heavy temporal noise (320x180, 100
// pictures, default B-frames) in every bitrate mode. Each stream must decode
// to the encoder's reconstruction; average bitrate and constant bitrate must
// come within 10 % of their target, the second pass within 6 %; and a leaky
// bucket replayed from the coded access-unit sizes (start 0.9 full, maxrate /
// frame rate back per picture, in coding order) must never run dry for a VBV
// buffer or the constant-bitrate window (its default, and a 10-picture
// bucket for the mandelbrot at a low rate).
//
// The bitrate modes depend on the number of pictures in flight (frame
// instances), so every encode sets it: six, and twelve (the count on eight or
// more processors), all with two working threads.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/cli_capture.h"
#include "tests/support/decode_compare.h"
#include "tests/support/leaky_bucket.h"
#include "tests/support/test_paths.h"

namespace {

const int kWidth = 320, kHeight = 180, kPictures = 100, kFps = 25;
const double kSeconds = (double)kPictures / kFps;

// The clip of one of ffmpeg's synthetic sources, made once per run; "noisy"
// is testsrc2 under temporal noise of strength 24, whose sizes climb far more
// steeply than plain content's as the QP falls.
std::string clip_of(const std::string &source, int width = kWidth, int height = kHeight, int pictures = kPictures)
{
    std::string dims = std::to_string(width) + "x" + std::to_string(height);
    std::string path = test_tmp_path("rc_" + source + (width == kWidth ? "" : "_" + dims) + ".y4m");
    std::string size = "=size=" + dims + ":rate=" + std::to_string(kFps);
    std::string filter = source == "noisy" ? "testsrc2" + size + ",noise=alls=24:allf=t" : source + size;
    int status = run_program({"ffmpeg", "-nostdin", "-y", "-f", "lavfi", "-i", filter, "-frames:v",
                              std::to_string(pictures), "-pix_fmt", "yuv420p", path},
                             path + ".log");
    EXPECT_EQ(status, 0) << "ffmpeg could not make " << path;
    return path;
}

struct encoded {
    std::string stream, recon;
    std::vector<uint32_t> au_bytes;   // access units in coding order
    double kbps = 0.0;
};

// Frame instances (pictures in flight) of an encode.
const int kInstanceCounts[] = {6, 12};

encoded encode(const std::string &clip, const std::string &tag, const std::vector<std::string> &options,
               int instances = 6)
{
    encoded e;
    e.stream = test_tmp_path("rc_" + tag + ".hevc");
    e.recon = test_tmp_path("rc_" + tag + "_recon.yuv");
    std::vector<std::string> args = {"-l", "0", "-y", "-t", "2", "--threads", std::to_string(instances),
                                     "--recon", e.recon};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(clip);
    args.push_back(e.stream);
    program_result r = run_torvenc(args);
    EXPECT_EQ(r.exit_code, 0) << tag << ": " << r.err;
    std::string bytes = read_file(e.stream);
    e.au_bytes = access_units(bytes);
    e.kbps = (double)bytes.size() * 8.0 / kSeconds / 1000.0;
    return e;
}

// The noisy clip gets an intra picture near its end (its lookahead sees no
// cheaper prediction), a CRA with RASL pictures after repeated parameter sets,
// which libde265 decodes wrongly: dec265 decodes it without them.
void expect_decodes(const encoded &e, const std::string &tag, bool mid_stream_cra = false)
{
    EXPECT_EQ((int)e.au_bytes.size(), kPictures) << tag;
    EXPECT_TRUE(decode_and_compare(e.stream, e.recon, kWidth, kHeight, mid_stream_cra)) << tag;
}

const char *kSources[] = {"testsrc2", "mandelbrot"};

TEST(RateControlStream, AverageAndConstantBitrateKeepTheirTargets)
{
    for (const char *source : kSources)
        for (int instances : kInstanceCounts) {
            std::string clip = clip_of(source);
            std::string name = std::string(source) + "_" + std::to_string(instances);
            encoded abr = encode(clip, name + "_abr", {"--abr", "-b", "400"}, instances);
            expect_decodes(abr, name + " ABR");
            EXPECT_NEAR(abr.kbps, 400.0, 40.0) << name << " ABR";
            // Constant bitrate: its window (8 pictures at maxrate) is the bucket.
            encoded cbr = encode(clip, name + "_cbr", {"-b", "400", "--maxrate", "400", "--minrate", "400"}, instances);
            expect_decodes(cbr, name + " CBR");
            EXPECT_NEAR(cbr.kbps, 400.0, 40.0) << name << " CBR";
            EXPECT_EQ(bucket_underflows(cbr.au_bytes, 400.0, 8 * 400.0 / kFps, kFps), 0) << name << " CBR";
            std::printf("%s: ABR %.1f kbit/s, CBR %.1f kbit/s (target 400)\n", name.c_str(), abr.kbps, cbr.kbps);
        }
    // A bucket of 10 pictures, long enough that the first intra picture
    // takes most of its starting fill: the mandelbrot's, which takes more
    // bits per lookahead cost than its plan reckons, once took 28.5 kbit of
    // the 21.6 kbit fill at 60 kbit/s (21.0 held within it).
    encoded low = encode(clip_of("mandelbrot"), "mandelbrot_cbr_60",
                         {"-b", "60", "--maxrate", "60", "--minrate", "60", "--bufsize", "10"});
    expect_decodes(low, "mandelbrot CBR, 10-picture bucket");
    EXPECT_EQ(bucket_underflows(low.au_bytes, 60.0, 10 * 60.0 / kFps, kFps), 0) << "mandelbrot CBR, 10-picture bucket";
    // Zero latency, P pictures only, under a one-second bucket: the
    // mandelbrot's first P picture costs the lookahead almost nothing, and
    // planned at its intra picture's QP it took twice what the bucket held.
    encoded zero = encode(clip_of("mandelbrot"), "mandelbrot_cbr_zerolatency",
                          {"--tune", "zerolatency", "-b", "32", "--maxrate", "32", "--minrate", "32", "--bufsize",
                           std::to_string(kFps)});
    expect_decodes(zero, "mandelbrot CBR, zero latency");
    EXPECT_EQ(bucket_underflows(zero.au_bytes, 32.0, 32.0, kFps), 0) << "mandelbrot CBR, zero latency";
    // The default bucket at a rate where testsrc2's first intra picture
    // takes most of the starting fill in its first few CTUs (15 in all),
    // which ran it dry while they kept the plan's QP.
    for (int instances : kInstanceCounts) {
        std::string name = "testsrc2_cbr_32_" + std::to_string(instances);
        encoded tight = encode(clip_of("testsrc2"), name, {"-b", "32", "--maxrate", "32", "--minrate", "32"}, instances);
        expect_decodes(tight, name);
        EXPECT_EQ(bucket_underflows(tight.au_bytes, 32.0, 8 * 32.0 / kFps, kFps), 0) << name;
    }
    // testsrc2 at 1280x720 under a one-second bucket with twelve pictures in
    // flight, whose B pictures take two to five times their plans: the
    // anchors pay back what the pictures in flight are expected to overrun,
    // and the last ones what the stream is over. Measured +7.7 % (+12.6 %
    // while only finished pictures counted).
    const int hd_pictures = 60;
    encoded hd = encode(clip_of("testsrc2", 1280, 720, hd_pictures), "testsrc2_720_cbr",
                        {"-b", "500", "--maxrate", "500", "--minrate", "500", "--bufsize", std::to_string(kFps)}, 12);
    ASSERT_EQ((int)hd.au_bytes.size(), hd_pictures);
    EXPECT_TRUE(decode_and_compare(hd.stream, hd.recon, 1280, 720)) << "testsrc2 1280x720 CBR";
    double hd_kbps = hd.kbps * kPictures / hd_pictures;
    EXPECT_NEAR(hd_kbps, 500.0, 45.0) << "testsrc2 1280x720 CBR, one-second bucket";
    EXPECT_EQ(bucket_underflows(hd.au_bytes, 500.0, 500.0, kFps), 0) << "testsrc2 1280x720 CBR, one-second bucket";
    std::printf("testsrc2 1280x720: CBR %.1f kbit/s with a one-second bucket (target 500)\n", hd_kbps);
}

TEST(RateControlStream, SecondPassKeepsItsTargetClosely)
{
    for (const char *source : kSources) {
        std::string clip = clip_of(source), name = source;
        std::string stats = test_tmp_path(std::string("rc_") + source + "_pass.log");
        encoded first = encode(clip, name + "_pass1", {"--pass", "1", "--stats-file", stats, "-b", "400"});
        ASSERT_EQ((int)first.au_bytes.size(), kPictures) << name;
        encoded second = encode(clip, name + "_pass2", {"--pass", "2", "--stats-file", stats, "-b", "400"});
        expect_decodes(second, name + " pass 2");
        // testsrc2 lands at +5.5 %: its first pass starts high on a kind
        // of picture not yet seen, and the second pass plans from that.
        EXPECT_NEAR(second.kbps, 400.0, 24.0) << name << " pass 2";
        std::printf("%s: second pass %.1f kbit/s (target 400)\n", source, second.kbps);
    }
    // Temporal noise at 640x360, 30 pictures at 375 kbit/s: the B pictures of
    // the first mini-GOP are all planned before any B picture has been coded,
    // from a first pass that coded them almost skipped, far coarser. They are
    // held to what B pictures of their kind may take, with their first-pass
    // sizes standing in for one already seen. Measured: 144 kbit, 1.2 times
    // a mini-GOP's worth of the rate (788 kbit, 6.6 times, while nothing held
    // them, and the stream ran 178 % over its target, 44 % so).
    const int pictures = 30, mini_gop = 8;
    std::string clip = clip_of("noisy", 640, 360, pictures);
    std::string stats = test_tmp_path("rc_noisy_360_pass.log");
    const std::vector<std::string> rate = {"--stats-file", stats, "-b", "375"};
    std::vector<std::string> one = {"--pass", "1"}, two = {"--pass", "2"};
    one.insert(one.end(), rate.begin(), rate.end());
    two.insert(two.end(), rate.begin(), rate.end());
    encode(clip, "noisy_360_pass1", one, 12);
    encoded second = encode(clip, "noisy_360_pass2", two, 12);
    ASSERT_EQ((int)second.au_bytes.size(), pictures);
    EXPECT_TRUE(decode_and_compare(second.stream, second.recon, 640, 360, true)) << "noisy 640x360 pass 2";
    double b_bits = 0.0;
    for (int i = 2; i <= mini_gop; i++) b_bits += 8.0 * second.au_bytes[i];
    std::printf("noisy 640x360: first mini-GOP's B pictures %.0f bits\n", b_bits);
    EXPECT_LT(b_bits, 2.0 * mini_gop * 375000.0 / kFps) << "noisy 640x360 pass 2";
}

// The buffer binds: CRF 20 and 600 kbit/s both want more than its 300 kbit/s.
TEST(RateControlStream, VbvBufferHoldsForEveryPictureType)
{
    for (const char *source : kSources) {
        std::string clip = clip_of(source), name = source;
        const std::vector<std::string> vbv = {"--vbv-maxrate", "300", "--vbv-bufsize", "300"};
        std::vector<std::string> crf = {"--crf", "20"}, abr = {"--abr", "-b", "600"};
        crf.insert(crf.end(), vbv.begin(), vbv.end());
        abr.insert(abr.end(), vbv.begin(), vbv.end());
        encoded c = encode(clip, name + "_crf_vbv", crf);
        encoded a = encode(clip, name + "_abr_vbv", abr);
        expect_decodes(c, name + " CRF+VBV");
        expect_decodes(a, name + " ABR+VBV");
        EXPECT_EQ(bucket_underflows(c.au_bytes, 300.0, 300.0, kFps), 0) << name << " CRF+VBV";
        EXPECT_EQ(bucket_underflows(a.au_bytes, 300.0, 300.0, kFps), 0) << name << " ABR+VBV";
        std::printf("%s: CRF+VBV %.1f kbit/s, ABR+VBV %.1f kbit/s (maxrate 300)\n", source, c.kbps, a.kbps);
    }
    // A buffer barely larger than the first intra picture, which is planned
    // before any picture has taught the predictors and takes twice its plan.
    encoded low = encode(clip_of("testsrc2"), "testsrc2_crf_vbv31", {"--crf", "20", "--vbv-maxrate", "31", "--vbv-bufsize", "31"});
    expect_decodes(low, "testsrc2 CRF+VBV 31");
    EXPECT_EQ(bucket_underflows(low.au_bytes, 31.0, 31.0, kFps), 0) << "testsrc2 CRF+VBV, 31 kbit buffer";
}

// Noise that goes to skip at coarse QPs: sizes climb several times faster
// than plain content's as the QP falls, and twelve pictures are planned before
// the first is back. The buffer still never runs dry, and average bitrate
// still comes within 12 % of its target.
TEST(RateControlStream, NoisyContentKeepsItsBufferAndRate)
{
    std::string clip = clip_of("noisy");
    const std::vector<std::string> vbv = {"--vbv-maxrate", "300", "--vbv-bufsize", "300"};
    std::vector<std::string> crf = {"--crf", "20"}, abr = {"--abr", "-b", "600"};
    crf.insert(crf.end(), vbv.begin(), vbv.end());
    abr.insert(abr.end(), vbv.begin(), vbv.end());
    encoded c = encode(clip, "noisy_crf_vbv", crf, 12);
    encoded a = encode(clip, "noisy_abr_vbv", abr, 12);
    encoded plain = encode(clip, "noisy_abr", {"--abr", "-b", "400"}, 12);
    expect_decodes(c, "noisy CRF+VBV", true);
    expect_decodes(a, "noisy ABR+VBV", true);
    expect_decodes(plain, "noisy ABR", true);
    EXPECT_EQ(bucket_underflows(c.au_bytes, 300.0, 300.0, kFps), 0) << "noisy CRF+VBV";
    EXPECT_EQ(bucket_underflows(a.au_bytes, 300.0, 300.0, kFps), 0) << "noisy ABR+VBV";
    // Measured: +2.5 % (x265 3.5: +0.4 %). The bound is wide because the
    // first round of pictures is planned before any is collected, on noise
    // several times as costly as the start estimate of a kind not yet seen
    // (+10.5 % once).
    EXPECT_NEAR(plain.kbps, 400.0, 48.0) << "noisy ABR";
    std::printf("noisy: CRF+VBV %.1f, ABR+VBV %.1f kbit/s (maxrate 300), ABR %.1f kbit/s (target 400)\n", c.kbps,
                a.kbps, plain.kbps);
}

}  // namespace
