// Real encodes of natural content checked against a decoder's view of each
// CTU: at every complexity, with and without wavefront rows, every CTU's
// boundary strengths and edge QPs must equal what a decoder derives from the
// committed CU tree, transform trees and motion (tests/support/deblock_replay.h),
// every CU of P and B pictures must rebuild the search's reconstruction from
// the same decisions (tests/support/cu_replay.h), and the streams must decode
// to exactly the reconstruction.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "encoder/torvhevcenc.h"
#include "tests/support/cu_replay.h"
#include "tests/support/decode_compare.h"
#include "tests/support/deblock_replay.h"
#include "tests/support/library_encode.h"
#include "tests/support/natural_clip.h"
#include "tests/support/test_paths.h"
#include "tests/support/yuv_gen.h"

namespace {

struct replay_checks {
    deblock_replay deblock;
    std::mutex lock;
    int cu_ctus = 0;
    std::vector<std::string> cu_faults;
};

void on_deblock_ready(void *arg, row_context *ctx, const deblock_context *db)
{
    ((replay_checks *)arg)->deblock.check_ctu(ctx, db);
}

void on_ctu_searched(void *arg, row_context *ctx)
{
    if (ctx->fi->pic.slice_class == 2) return;
    replay_checks *checks = (replay_checks *)arg;
    cu_kinds kinds;
    cu_replay r(ctx, &kinds);
    r.coding_tree(0, 0, 0, 6);
    std::string fault = r.compare();
    if (fault.empty() && !r.merge_fault.empty()) fault = r.merge_fault;
    std::lock_guard<std::mutex> hold(checks->lock);
    checks->cu_ctus++;
    if (!fault.empty() && checks->cu_faults.size() < 5) checks->cu_faults.push_back(fault);
}

struct replay_case {
    int complexity, threads, bframes, qp;
    float crf;   // above 0: constant rate factor (QP per quantisation group) instead of the QP
};

// Encodes through the library with the check on every CTU; the stream must
// decode to the reconstruction.
void encode_checked(const replay_case &s, const std::vector<uint8_t> &samples, int width, int height, int pictures,
                    const std::string &tag, replay_checks *checks)
{
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, s.complexity, 0);
    p.width = width;
    p.height = height;
    p.working_threads = s.threads;
    p.rc_mode = s.crf > 0 ? 3 : 0;
    p.qp = s.qp;
    if (s.crf > 0) p.crf = s.crf;
    p.loglevel = 0;
    if (s.bframes >= 0) p.bframes = s.bframes;
    internal_config cfg;
    ASSERT_EQ(config_copy_public_param(&p, &cfg), 0);
    encoder_fault_hooks hooks{};
    hooks.ctu_deblock_ready = on_deblock_ready;
    hooks.ctu_deblock_ready_arg = checks;
    hooks.ctu_searched = on_ctu_searched;
    hooks.ctu_searched_arg = checks;
    encoder_fault_hooks_set(&hooks);
    torvhevcenc_encoder *enc = encoder_open(&cfg);
    ASSERT_NE(enc, nullptr);
    std::string base = test_tmp_path("deblock_replay_" + tag);
    library_encode_result r =
        library_encode(enc, samples.data(), width, height, pictures, base + ".hevc", base + "_recon.yuv", true);
    torvhevcenc_close(enc);
    EXPECT_EQ(r.pictures, pictures);
    EXPECT_TRUE(decode_and_compare(base + ".hevc", base + "_recon.yuv", width, height));
    for (const char *suffix : {".hevc", "_recon.yuv", ".hevc.ffmpeg.yuv", ".hevc.dec265.yuv", ".hevc.ffmpeg.log",
                               ".hevc.dec265.log"})
        std::remove((base + suffix).c_str());
}

void expect_clean(const replay_checks &checks)
{
    EXPECT_GT(checks.deblock.ctus, 0);
    EXPECT_GT(checks.cu_ctus, 0);
    for (const std::string &f : checks.deblock.faults) ADD_FAILURE() << f;
    for (const std::string &f : checks.cu_faults) ADD_FAILURE() << f;
}

// A slow zoom into a photograph at a size with partial CTUs on both edges, at
// every complexity; wavefront rows (two threads) and one thread alternate.
TEST(DeblockReplay, NaturalZoomAtEveryComplexity)
{
    const int width = 328, height = 200, pictures = 12;
    std::vector<uint8_t> samples =
        natural_clip_samples("zoom", width, height, pictures, test_tmp_path("deblock_replay_zoom.y4m"));
    ASSERT_FALSE(samples.empty());
    for (int complexity = 0; complexity <= 7; complexity++) {
        SCOPED_TRACE("complexity " + std::to_string(complexity));
        replay_checks checks;
        replay_case s{complexity, complexity % 2 ? 2 : 1, -1, 30, 0.0f};
        encode_checked(s, samples, width, height, pictures, "zoom_c" + std::to_string(complexity), &checks);
        expect_clean(checks);
        const deblock_replay &check = checks.deblock;
        EXPECT_GT(check.by_strength[1], 0);
        std::printf("complexity %d: %lld CTUs, %lld segments, strengths 0/1/2: %lld/%lld/%lld\n", complexity,
                    (long long)check.ctus, (long long)check.segments, (long long)check.by_strength[0],
                    (long long)check.by_strength[1], (long long)check.by_strength[2]);
    }
}

// The same in constant rate factor, where each quantisation group codes its
// QP: the edge QPs follow the decoder's QP derivation, with wavefront rows
// (two threads) and without (one).
TEST(DeblockReplay, NaturalGrainInConstantRateFactor)
{
    const int width = 264, height = 152, pictures = 8;
    std::vector<uint8_t> samples =
        natural_clip_samples("grain", width, height, pictures, test_tmp_path("deblock_replay_grain.y4m"));
    ASSERT_FALSE(samples.empty());
    for (int complexity : {1, 4, 6, 7}) {
        SCOPED_TRACE("complexity " + std::to_string(complexity));
        replay_checks checks;
        replay_case s{complexity, complexity % 2 ? 1 : 2, -1, 30, 24.0f};
        encode_checked(s, samples, width, height, pictures, "grain_c" + std::to_string(complexity), &checks);
        expect_clean(checks);
        EXPECT_GT(checks.deblock.filtered, 0);
        EXPECT_GT(checks.deblock.qp_groups, 0) << "the rate factor codes QPs per group";
        EXPECT_GT(checks.deblock.predicted_cus, 0);
    }
}

}  // namespace

