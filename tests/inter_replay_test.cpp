// The decisions of P and B pictures on the rate-distortion path (complexity 0
// to 4) and on the fast path (5 to 7), checked on real encodes against what a
// decoder would do with them: after each CTU's search the replay of
// cu_replay.h rebuilds every CU from the committed maps, the motion grid and
// the levels, and must equal the search's reconstruction exactly. The same
// walk counts the kinds of CU the decisions reach; counting wrappers of the
// phase-plane kernels and the decisions' search counter show which tools a
// level uses.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "encoder/cpu.h"
#include "encoder/torvhevcenc.h"
#include "tests/support/cu_replay.h"
#include "tests/support/library_encode.h"
#include "tests/support/test_paths.h"
#include "tests/support/yuv_gen.h"

namespace {

struct replay_log {
    std::mutex lock;
    int ctus = 0;
    std::vector<std::string> faults;
    cu_kinds kinds;
    uint64_t searches[2] = {0, 0};   // fast, full
};

// Reads of the references' phase planes, counted by wrappers that each
// context takes over after its first inter CTU.
std::atomic<uint64_t> plane_reads{0};
mc_table real_mc;

const uint8_t *counted_plane_ptr(uint8_t *const *planes, int32_t stride, int32_t mvx, int32_t mvy)
{
    plane_reads++;
    return real_mc.subpel_plane_ptr(planes, stride, mvx, mvy);
}

void counted_plane_copy(uint8_t *dst, int32_t dst_stride, uint8_t *const *planes, int32_t stride, int32_t mvx,
                        int32_t mvy, int32_t w, int32_t h)
{
    plane_reads++;
    real_mc.mc_from_subpel_planes(dst, dst_stride, planes, stride, mvx, mvy, w, h);
}

void on_ctu_searched(void *arg, row_context *ctx)
{
    if (ctx->fi->pic.slice_class == 2) return;
    ctx->enc->mc.subpel_plane_ptr = counted_plane_ptr;
    ctx->enc->mc.mc_from_subpel_planes = counted_plane_copy;
    replay_log *log = (replay_log *)arg;
    cu_kinds kinds;
    cu_replay r(ctx, &kinds);
    r.coding_tree(0, 0, 0, 6);
    std::string fault = r.compare();
    if (fault.empty() && !r.merge_fault.empty())
        fault = "picture " + std::to_string(ctx->fi->pic.recon_picture->frame_number) + " CTU (" + std::to_string(ctx->ctu.x) +
                ", " + std::to_string(ctx->ctu.y) + ") " + r.merge_fault;
    std::lock_guard<std::mutex> hold(log->lock);
    log->ctus++;
    if (!fault.empty() && log->faults.size() < 5) log->faults.push_back(fault);
    cu_kinds &k = log->kinds;
    for (int i = 0; i < 4; i++) k.sizes[i] += kinds.sizes[i];
    k.skip += kinds.skip;
    k.merge_residual += kinds.merge_residual;
    k.searched += kinds.searched;
    k.bi += kinds.bi;
    k.intra += kinds.intra;
    k.far_ref += kinds.far_ref;
    k.rdoq_inter += kinds.rdoq_inter;
    k.p_slice += kinds.p_slice;
    k.b_slice += kinds.b_slice;
    k.inter64 += kinds.inter64;
    k.two_unit[0] += kinds.two_unit[0];
    k.two_unit[1] += kinds.two_unit[1];
}

struct replay_run {
    int complexity, width, height, pictures, qp, pattern, bframes, threads;
    uint32_t tune;   // set after the defaults: a latency tuning applies at every complexity
};

// Encodes through the library with the replay on every CTU of P and B
// pictures.
void run_replay(const replay_run &s, replay_log *log)
{
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, s.complexity, 0);
    p.tune = s.tune;
    p.width = s.width;
    p.height = s.height;
    p.working_threads = s.threads;
    p.rc_mode = 0;
    p.qp = s.qp;
    p.loglevel = 0;
    if (s.bframes >= 0) p.bframes = s.bframes;
    internal_config cfg;
    ASSERT_EQ(config_copy_public_param(&p, &cfg), 0);
    mc_table_init(cpu_detect(), &real_mc);
    encoder_fault_hooks hooks{};
    hooks.ctu_searched = on_ctu_searched;
    hooks.ctu_searched_arg = log;
    hooks.motion_searches = log->searches;
    encoder_fault_hooks_set(&hooks);
    torvhevcenc_encoder *enc = encoder_open(&cfg);
    ASSERT_NE(enc, nullptr);
    yuv_gen_params g = {s.width, s.height, s.pattern, 11, 0};
    std::vector<uint8_t> samples = yuv_gen_sequence(&g, 0, s.pictures);
    std::string base = test_tmp_path("inter_replay_c" + std::to_string(s.complexity));
    library_encode_result r =
        library_encode(enc, samples.data(), s.width, s.height, s.pictures, base + ".hevc", base + "_recon.yuv", false);
    torvhevcenc_close(enc);
    EXPECT_EQ(r.pictures, s.pictures);
}

TEST(InterReplay, EveryCuOfPAndBPicturesRebuildsTheReconstruction)
{
    for (int complexity = 0; complexity <= 7; complexity++) {
        SCOPED_TRACE(complexity);
        replay_log log;
        run_replay({complexity, 200, 136, 9, 30, yuv_pattern_shapes, -1, 2, 0}, &log);
        EXPECT_GT(log.ctus, 0);
        for (const std::string &f : log.faults) ADD_FAILURE() << f;
    }
    // The fast levels' P slices (zero latency) and P pictures coded as B slices.
    for (int complexity = 5; complexity <= 7; complexity++) {
        SCOPED_TRACE(complexity);
        for (uint32_t tune : {(uint32_t)TORVHEVCENC_TUNE_ZEROLATENCY, 0u}) {
            replay_log log;
            run_replay({complexity, 136, 88, 6, 32, yuv_pattern_noise, 0, 2, tune}, &log);
            EXPECT_GT(tune ? log.kinds.p_slice : log.kinds.b_slice, 0);
            for (const std::string &f : log.faults) ADD_FAILURE() << f;
        }
    }
}

// Real encodes at the fast levels reach the tools those levels use: 64x64
// inter CUs everywhere, the 2NxN and Nx2N partitions and the fast motion
// search where they are on, and the references' phase planes wherever the
// configuration builds them.
TEST(InterReplay, FastLevelsReachTheirTools)
{
    for (int complexity = 5; complexity <= 7; complexity++) {
        for (uint32_t tune : {0u, (uint32_t)TORVHEVCENC_TUNE_ZEROLATENCY}) {
            replay_log log;
            plane_reads = 0;
            run_replay({complexity, 256, 192, 9, 30, yuv_pattern_shapes, -1, 2, tune}, &log);
            for (const std::string &f : log.faults) ADD_FAILURE() << f;
            const cu_kinds &k = log.kinds;
            SCOPED_TRACE("complexity " + std::to_string(complexity) + (tune ? " zero latency" : ""));
            EXPECT_GT(k.inter64, 0);
            EXPECT_EQ(k.two_unit[0] > 0, complexity == 7) << "2NxN";
            EXPECT_EQ(k.two_unit[1] > 0, complexity == 7) << "Nx2N";
            EXPECT_EQ(log.searches[0] > 0, complexity >= 6) << "fast searches";
            EXPECT_EQ(log.searches[1] > 0, complexity == 5) << "full searches";
            EXPECT_EQ(plane_reads > 0, tune == 0) << "phase-plane reads";
            std::printf("complexity %d%s: 64x64 inter %d, 2NxN %d, Nx2N %d, fast searches %llu, full searches %llu, "
                        "phase-plane reads %llu\n",
                        complexity, tune ? " zero latency" : "", k.inter64, k.two_unit[0], k.two_unit[1],
                        (unsigned long long)log.searches[0], (unsigned long long)log.searches[1],
                        (unsigned long long)plane_reads.load());
        }
    }
}

// A real encode at complexity 4 reaches every kind of CU the decisions make.
TEST(InterReplay, ComplexityFourReachesEveryKindOfCu)
{
    replay_log log;
    run_replay({4, 256, 192, 17, 30, yuv_pattern_shapes, -1, 2, 0}, &log);
    for (const std::string &f : log.faults) ADD_FAILURE() << f;
    const cu_kinds &k = log.kinds;
    const char *size_names[4] = {"64x64", "32x32", "16x16", "8x8"};
    for (int i = 0; i < 4; i++) EXPECT_GT(k.sizes[i], 0) << size_names[i];
    EXPECT_GT(k.skip, 0);
    EXPECT_GT(k.merge_residual, 0);
    EXPECT_GT(k.searched, 0);
    EXPECT_GT(k.bi, 0);
    EXPECT_GT(k.intra, 0);
    EXPECT_GT(k.far_ref, 0) << "reference index above 0";
    EXPECT_GT(k.rdoq_inter, 0) << "inter residual quantised with RDOQ";
    std::printf("CU kinds at complexity 4: 64x64 %d, 32x32 %d, 16x16 %d, 8x8 %d; skip %d, merge with residual %d, "
                "searched %d, bi-predicted %d, intra %d, reference index above 0 %d, RDOQ inter residual %d\n",
                k.sizes[0], k.sizes[1], k.sizes[2], k.sizes[3], k.skip, k.merge_residual, k.searched, k.bi, k.intra,
                k.far_ref, k.rdoq_inter);
}

}  // namespace
