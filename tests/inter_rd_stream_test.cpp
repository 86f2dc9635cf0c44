// P and B pictures of the rate-distortion decisions (complexity 0 to 4) and
// of the fast path (5 to 7) in every group shape the options give - P only
// with zero latency (at every complexity when the tuning is set through the
// library), low delay,
// B pyramids of hierarchy 0, 1 and 2, P pictures coded as B slices, open
// groups with a mid-stream CRA, closed groups, a scene cut, QP deltas of the
// constant-rate mode - at sizes with partial CTUs: ffmpeg and dec265 decode
// each stream to exactly the encoder's reconstruction, and the bytes are the
// same with 2 and 8 CTU threads. The same holds for the decision variants no
// option reaches: texture-weighted distortion, the coarse motion search, the
// fast intra check ranked on source neighbours, and the shortened searches of
// a raised effort step.
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
#include "tests/support/natural_clip.h"
#include "tests/support/test_paths.h"
#include "tests/support/yuv_gen.h"

namespace {

struct gop_case {
    const char *name;
    int complexity;
    int width, height, pictures, pattern, qp;
    uint32_t tune;
    int bframes, hierarchy;      // -1: the preset's
    int idr_period, open_gop;
    int rc_mode;                 // 0 CQP, 3 CRF
    int rd_extra_weight = 0;     // strength of the texture-weighted distortion
    int coarse_me = 0;           // motion of large CUs searched at half resolution
    uint32_t source_ref_mask = 0;  // slice types whose fast intra check ranks on source neighbours
    int speed_step = 0;          // effort step every CTU starts at (test hook)
    const char *natural = nullptr;  // natural clip kind instead of the pattern
};

struct encoded {
    std::string stream, recon;
    int pictures = 0;
    std::vector<uint8_t> bytes;
};

// The packed pictures of a natural clip (YUV4MPEG2 without frame parameters);
// the clip file is removed once read.
bool read_natural_clip(const char *kind, int width, int height, int pictures, const std::string &path,
                       std::vector<uint8_t> *samples)
{
    if (!natural_clip_write(kind, width, height, pictures, path)) return false;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    std::remove(path.c_str());
    const size_t picture = (size_t)width * height * 3 / 2, frame_line = 6;   // "FRAME\n"
    size_t pos = 0;
    while (pos < bytes.size() && bytes[pos] != '\n') pos++;
    pos++;
    for (int k = 0; k < pictures; k++, pos += frame_line + picture) {
        if (pos + frame_line + picture > bytes.size()) return false;
        samples->insert(samples->end(), bytes.begin() + (long)(pos + frame_line),
                        bytes.begin() + (long)(pos + frame_line + picture));
    }
    return true;
}

encoded encode(const gop_case &g, int threads)
{
    encoded out;
    std::string base = test_tmp_path(std::string("inter_rd_") + g.name + "_w" + std::to_string(g.rd_extra_weight) +
                                     "_m" + std::to_string(g.coarse_me) + "_s" + std::to_string(g.source_ref_mask) +
                                     "_e" + std::to_string(g.speed_step) + "_t" + std::to_string(threads));
    out.stream = base + ".hevc";
    out.recon = base + "_recon.yuv";
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, g.complexity, g.tune);
    p.tune = g.tune;
    p.width = g.width;
    p.height = g.height;
    p.working_threads = threads;
    p.idr_period = g.idr_period;
    p.rc_mode = g.rc_mode;
    p.qp = g.qp;
    p.crf = (float)g.qp;
    p.loglevel = 0;
    if (g.bframes >= 0) p.bframes = g.bframes;
    if (g.hierarchy >= 0) p.hierarchy = g.hierarchy;
    internal_config cfg;
    if (config_copy_public_param(&p, &cfg) != 0) return out;
    cfg.open_gop = g.open_gop;
    cfg.rd_extra_weight = g.rd_extra_weight;
    cfg.coarse_me = g.coarse_me;
    cfg.intra_source_ref_mask = g.source_ref_mask;
    std::vector<uint8_t> samples;
    if (g.natural) {
        if (!read_natural_clip(g.natural, g.width, g.height, g.pictures, base + "_clip.y4m", &samples)) return out;
    } else {
        yuv_gen_params y = {g.width, g.height, g.pattern, 3, g.pictures / 2};
        samples = yuv_gen_sequence(&y, 0, g.pictures);
    }
    encoder_fault_hooks hooks{};
    hooks.speed_step = g.speed_step;
    encoder_fault_hooks_set(&hooks);
    torvhevcenc_encoder *enc = encoder_open(&cfg);
    if (!enc) return out;
    library_encode_result r = library_encode(enc, samples.data(), g.width, g.height, g.pictures, out.stream,
                                             out.recon, true);
    torvhevcenc_close(enc);
    out.pictures = r.pictures;
    out.bytes = std::move(r.bytes);
    return out;
}

const uint32_t ZERO = TORVHEVCENC_TUNE_ZEROLATENCY, LOW = TORVHEVCENC_TUNE_LOWDELAY;
const int SHAPES = yuv_pattern_shapes, GRADIENT = yuv_pattern_gradient, NOISE = yuv_pattern_noise,
          CUT = yuv_pattern_scene_cut;

const gop_case cases[] = {
    {"zerolatency_c0", 0, 200, 120, 8, SHAPES, 30, ZERO, -1, -1, 250, 1, 0},
    {"zerolatency_c3", 3, 136, 72, 8, NOISE, 34, ZERO, -1, -1, 250, 1, 0},
    {"lowdelay_c1", 1, 352, 288, 6, SHAPES, 32, LOW, -1, -1, 250, 1, 0},
    {"lowdelay_c4", 4, 200, 120, 8, GRADIENT, 27, LOW, -1, -1, 250, 1, 0},
    {"pyramid0_c2", 2, 200, 120, 9, SHAPES, 30, 0, 3, 0, 250, 1, 0},
    {"pyramid1_c4", 4, 136, 72, 9, SHAPES, 26, 0, 3, 1, 250, 1, 0},
    {"pyramid2_c0", 0, 352, 288, 9, GRADIENT, 36, 0, 7, 2, 250, 1, 0},
    {"pyramid2_c3", 3, 200, 120, 10, SHAPES, 30, 0, 7, 2, 250, 1, 0},
    {"open_gop_c4", 4, 200, 120, 13, SHAPES, 30, 0, 3, -1, 8, 1, 0},
    {"open_gop_c1", 1, 136, 72, 13, GRADIENT, 28, 0, 3, -1, 8, 1, 0},
    {"closed_gop_c3", 3, 136, 72, 12, SHAPES, 32, 0, 3, -1, 8, 0, 0},
    {"scene_cut_c2", 2, 200, 120, 10, CUT, 30, 0, -1, -1, 250, 1, 0},
    {"scene_cut_c4", 4, 136, 72, 10, CUT, 24, 0, -1, -1, 250, 1, 0},
    {"crf_c4", 4, 200, 120, 9, SHAPES, 28, 0, -1, -1, 250, 1, 3},
    {"crf_c0", 0, 136, 72, 9, NOISE, 30, 0, -1, -1, 250, 1, 3},
    {"hd_c4", 4, 1280, 720, 5, SHAPES, 30, 0, 3, -1, 250, 1, 0},
    {"zerolatency_c5", 5, 200, 120, 8, SHAPES, 30, ZERO, -1, -1, 250, 1, 0},
    {"zerolatency_c7", 7, 136, 72, 8, NOISE, 34, ZERO, -1, -1, 250, 1, 0},
    {"lowdelay_c6", 6, 200, 120, 8, GRADIENT, 27, LOW, -1, -1, 250, 1, 0},
    {"p_as_b_c7", 7, 200, 120, 8, SHAPES, 30, 0, 0, -1, 250, 1, 0},
    {"pyramid0_c5", 5, 200, 120, 9, SHAPES, 30, 0, 3, 0, 250, 1, 0},
    {"pyramid1_c6", 6, 136, 72, 9, SHAPES, 26, 0, 3, 1, 250, 1, 0},
    {"pyramid2_c7", 7, 200, 120, 10, SHAPES, 30, 0, 7, 2, 250, 1, 0},
    {"open_gop_c6", 6, 200, 120, 13, SHAPES, 30, 0, 3, -1, 8, 1, 0},
    {"closed_gop_c7", 7, 136, 72, 12, SHAPES, 32, 0, 3, -1, 8, 0, 0},
    {"scene_cut_c5", 5, 136, 72, 10, CUT, 24, 0, -1, -1, 250, 1, 0},
    {"crf_c7", 7, 200, 120, 9, NOISE, 28, 0, -1, -1, 250, 1, 3},
    {"hd_c7", 7, 1280, 720, 3, SHAPES, 30, 0, 3, -1, 250, 1, 0},
};

class InterRdStream : public ::testing::TestWithParam<gop_case> {};

TEST_P(InterRdStream, DecodesToTheReconstructionWithBytesIndependentOfThreads)
{
    const gop_case &g = GetParam();
    encoded two = encode(g, 2);
    ASSERT_EQ(two.pictures, g.pictures);
    // A mid-stream CRA repeats the parameter sets before it (see decode_compare.h).
    EXPECT_TRUE(decode_and_compare(two.stream, two.recon, g.width, g.height, g.idr_period < g.pictures && g.open_gop));
    encoded eight = encode(g, 8);
    EXPECT_TRUE(two.bytes == eight.bytes) << "stream differs between 2 and 8 threads";
}

// A decision variant that no option reaches, set in g and clear in the plain
// case: it changes the stream, which still decodes exactly and does not
// depend on the thread count.
void expect_variant_acts(const gop_case &g, const gop_case &plain_case)
{
    SCOPED_TRACE(g.name);
    encoded plain = encode(plain_case, 2), two = encode(g, 2), eight = encode(g, 8);
    ASSERT_EQ(two.pictures, g.pictures);
    EXPECT_FALSE(two.bytes == plain.bytes) << "the variant changed nothing";
    EXPECT_TRUE(decode_and_compare(two.stream, two.recon, g.width, g.height));
    EXPECT_TRUE(two.bytes == eight.bytes) << "stream differs between 2 and 8 threads";
}

// The texture-weighted luma distortion: a strength changes the decisions of
// the rate-distortion path (P and B pictures) and of the fast intra path (the
// weights are made for every CTU searched).
TEST(InterRdStreamTexture, WeightedDistortionChangesDecisionsAndDecodes)
{
    const gop_case weighted[] = {
        {"texture_c2", 2, 200, 120, 6, SHAPES, 30, 0, 3, 0, 250, 1, 0, 96},
        {"texture_c6", 6, 136, 72, 4, NOISE, 30, 0, 0, -1, 2, 1, 0, 128},
    };
    for (const gop_case &g : weighted) {
        gop_case plain_case = g;
        plain_case.rd_extra_weight = 0;
        expect_variant_acts(g, plain_case);
    }
}

// The coarse motion search: P pictures, true B pictures and P pictures coded
// as B slices (complexity 4 without B-frames), with and without sub-sample
// planes, on shapes and on noise.
TEST(InterRdStreamCoarse, HalfResolutionSearchChangesDecisionsAndDecodes)
{
    const gop_case coarse[] = {
        {"coarse_c1", 1, 200, 120, 7, SHAPES, 30, 0, 3, 0, 250, 1, 0, 0, 1},
        {"coarse_noise_c2", 2, 136, 72, 4, NOISE, 30, 0, 1, 0, 250, 1, 0, 0, 1},
        {"coarse_c4", 4, 136, 72, 6, SHAPES, 28, 0, 0, -1, 250, 1, 0, 0, 1},
        {"coarse_zerolatency_c4", 4, 200, 120, 6, SHAPES, 32, ZERO, -1, -1, 250, 1, 0, 0, 1},
    };
    for (const gop_case &g : coarse) {
        gop_case plain_case = g;
        plain_case.coarse_me = 0;
        expect_variant_acts(g, plain_case);
    }
}

// The intra check of the fast inter decisions ranking its luma modes on
// neighbours taken from the source inside the CTU: B slices of a pyramid, the
// P slices of zero latency, P pictures coded as B slices, and a natural pan.
TEST(InterRdStreamSourceNeighbours, SourceRankedIntraCheckChangesDecisionsAndDecodes)
{
    const gop_case ranked[] = {
        {"source_b_c5", 5, 200, 120, 9, SHAPES, 30, 0, 3, 1, 250, 1, 0, 0, 0, 1},
        {"source_p_c6", 6, 136, 72, 6, NOISE, 32, ZERO, -1, -1, 250, 1, 0, 0, 0, 2},
        {"source_gpb_c7", 7, 136, 72, 6, NOISE, 30, 0, 0, -1, 250, 1, 0, 0, 0, 7},
        {"source_pan_c6", 6, 320, 184, 6, SHAPES, 30, 0, 3, 1, 250, 1, 0, 0, 0, 7, 0, "pan6"},
    };
    for (const gop_case &g : ranked) {
        gop_case plain_case = g;
        plain_case.source_ref_mask = 0;
        expect_variant_acts(g, plain_case);
    }
}

// Every CTU started at effort steps 1 to 3: the shortened quad-trees, intra
// lists, reference counts and early skips of the rate-distortion path (step 3
// also moves the fast levels onto it) and of the fast path at steps 1 and 2,
// with the coarse motion search at step 2, on synthetic and natural content.
TEST(InterRdStreamEffortStep, RaisedStepsShortenTheSearchesAndDecode)
{
    const gop_case stepped[] = {
        {"step1_c2", 2, 200, 120, 9, SHAPES, 30, 0, 3, 1, 250, 1, 0, 0, 0, 0, 1},
        {"step2_c4", 4, 136, 72, 9, NOISE, 28, 0, 3, 1, 250, 1, 0, 0, 0, 0, 2},
        {"step3_c1", 1, 136, 72, 8, SHAPES, 30, 0, 3, 0, 250, 1, 0, 0, 0, 0, 3},
        {"step2_coarse_c3", 3, 200, 120, 7, SHAPES, 30, 0, 3, 0, 250, 1, 0, 0, 1, 0, 2},
        {"step1_c6", 6, 200, 120, 9, SHAPES, 30, 0, 3, 1, 250, 1, 0, 0, 0, 0, 1},
        {"step2_zerolatency_c5", 5, 136, 72, 6, NOISE, 32, ZERO, -1, -1, 250, 1, 0, 0, 0, 0, 2},
        {"step3_c7", 7, 136, 72, 8, SHAPES, 30, 0, 3, 1, 250, 1, 0, 0, 0, 0, 3},
        {"step2_pan_c4", 4, 320, 184, 6, SHAPES, 30, 0, 3, 1, 250, 1, 0, 0, 0, 0, 2, "pan6"},
    };
    for (const gop_case &g : stepped) {
        gop_case plain_case = g;
        plain_case.speed_step = 0;
        expect_variant_acts(g, plain_case);
    }
}

INSTANTIATE_TEST_SUITE_P(Groups, InterRdStream, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<gop_case> &c) { return std::string(c.param.name); });

}  // namespace
