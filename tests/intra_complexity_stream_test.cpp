// I-only streams of the searched intra decisions at every complexity (the
// rate-distortion path at 0..4, with the half-resolution pre-search at 0..2
// and with the latency tunings; the fast intra path at 5..7) and with every
// tuning, at sizes that are not multiples of 64: ffmpeg and dec265 decode
// them to the encoder's reconstruction, and the bytes do not depend on the
// number of CTU threads. Adaptive quantisation varies the CTU QPs through
// coded QP deltas and the streams still decode exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "encoder/config.h"
#include "encoder/encoder_instance.h"
#include "encoder/torvhevcenc.h"
#include "tests/support/decode_compare.h"
#include "tests/support/library_encode.h"
#include "tests/support/test_paths.h"
#include "tests/support/yuv_gen.h"

namespace {

struct run_settings {
    int complexity;
    uint32_t tune;
    int width, height, qp, threads, pattern;
    int rc_mode = 0, bitrate = 0, lookahead = 0, idr_period = 1;
    float crf = 0.0f;
    float aq_strength = -1.0f;   // negative: the preset's AQ settings
    int aq_mode = 1;
};

struct run_output {
    std::string stream, recon;
    int pictures = 0;
    std::vector<uint8_t> bytes;
};

run_output encode(const run_settings &s, int pictures, const std::string &tag)
{
    run_output out;
    out.stream = test_tmp_path("intra_cx_" + tag + ".hevc");
    out.recon = test_tmp_path("intra_cx_" + tag + "_recon.yuv");
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, s.complexity, s.tune);
    p.width = s.width;
    p.height = s.height;
    p.working_threads = s.threads;
    p.idr_period = s.idr_period;
    p.bframes = 0;
    p.lookahead = s.lookahead;
    p.crf = s.crf;
    p.scenecut = 0;
    p.rc_mode = s.rc_mode;
    p.bitrate = s.bitrate;
    p.qp = s.qp;
    p.loglevel = 0;
    internal_config cfg;
    if (config_copy_public_param(&p, &cfg) != 0) return out;
    if (s.aq_strength >= 0.0f) {
        cfg.aq_mode = s.aq_mode;
        cfg.aq_strength = s.aq_strength;
    }
    cfg.wpp = 1;
    torvhevcenc_encoder *enc = encoder_open(&cfg);
    if (!enc) return out;
    yuv_gen_params g = {s.width, s.height, s.pattern, 5, 0};
    std::vector<uint8_t> samples = yuv_gen_sequence(&g, 0, pictures);
    library_encode_result r =
        library_encode(enc, samples.data(), s.width, s.height, pictures, out.stream, out.recon, false);
    torvhevcenc_close(enc);
    out.pictures = r.pictures;
    out.bytes = std::move(r.bytes);
    return out;
}

void check(run_settings s, const std::string &tag)
{
    SCOPED_TRACE(testing::Message() << "complexity " << s.complexity << " tune " << std::hex << s.tune << std::dec
                                    << " " << s.width << "x" << s.height << " QP " << s.qp);
    const int pictures = s.idr_period > 1 ? 3 : 2;
    s.threads = 1;
    run_output one = encode(s, pictures, tag + "_t1");
    s.threads = 8;
    run_output eight = encode(s, pictures, tag + "_t8");
    ASSERT_EQ(one.pictures, pictures);
    ASSERT_EQ(eight.pictures, pictures);
    EXPECT_TRUE(one.bytes == eight.bytes) << "stream differs between 1 and 8 threads";
    EXPECT_TRUE(decode_and_compare(one.stream, one.recon, s.width, s.height));
}

TEST(IntraComplexityStream, EveryRdComplexityDecodesToTheReconstruction)
{
    const int qps[5] = {22, 37, 30, 12, 45};
    for (int c = 0; c <= 4; c++) {
        check({c, 0, 200, 120, qps[c], 1, yuv_pattern_shapes}, "c" + std::to_string(c) + "_a");
        check({c, 0, 136, 72, qps[4 - c], 1, yuv_pattern_noise}, "c" + std::to_string(c) + "_b");
    }
}

TEST(IntraComplexityStream, LatencyTuningsDecodeToTheReconstruction)
{
    for (int c : {1, 3, 4}) {
        check({c, TORVHEVCENC_TUNE_ZEROLATENCY, 136, 104, 27, 1, yuv_pattern_shapes},
              "zl" + std::to_string(c));
        check({c, TORVHEVCENC_TUNE_LOWDELAY, 136, 104, 33, 1, yuv_pattern_gradient}, "ld" + std::to_string(c));
    }
}

TEST(IntraComplexityStream, FastIntraLevelsDecodeToTheReconstruction)
{
    const int qps[3] = {32, 18, 41};
    for (int c = 5; c <= 7; c++) {
        check({c, 0, 136, 72, qps[c - 5], 1, yuv_pattern_shapes}, "f" + std::to_string(c));
        check({c, 0, 200, 120, qps[7 - c], 1, yuv_pattern_noise}, "fn" + std::to_string(c));
    }
}

TEST(IntraComplexityStream, EveryLevelWithEveryTuningDecodesToTheReconstruction)
{
    const uint32_t tunes[6] = {TORVHEVCENC_TUNE_MONITOR,    TORVHEVCENC_TUNE_CARTOON,
                               TORVHEVCENC_TUNE_HIGHMOTION, TORVHEVCENC_TUNE_BROADCAST,
                               TORVHEVCENC_TUNE_ZEROLATENCY, TORVHEVCENC_TUNE_LOWDELAY};
    for (int c = 0; c <= 7; c++)
        for (int t = 0; t < 6; t++)
            check({c, tunes[t], 120, 88, 24 + 3 * t, 1, t & 1 ? yuv_pattern_gradient : yuv_pattern_shapes},
                  "t" + std::to_string(c) + "_" + std::to_string(t));
}

// Constant rate factor with the macroblock-tree codes CU QP deltas; with
// adaptive quantisation on (both modes) the intra pictures still decode
// exactly and do not depend on the thread count.
TEST(IntraComplexityStream, QpDeltaStreamsWithAdaptiveQuantisationDecode)
{
    for (int c : {1, 4, 6}) {
        run_settings s = {c, 0, 200, 136, 30, 1, yuv_pattern_shapes};
        s.aq_mode = c == 4 ? 2 : 1;
        s.rc_mode = 3;
        s.crf = 28.0f;
        s.lookahead = 4;
        s.idr_period = 3;
        s.aq_strength = 2.0f;
        check(s, "aq" + std::to_string(c));
    }
}

}  // namespace
