// The encoder core end to end through the six interface calls: pictures in,
// access units out in coding order, draining, thread counts, failures.
#include <gtest/gtest.h>

#include "tests/support/watchdog.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "encoder/config.h"
#include "encoder/encoder_instance.h"
#include "encoder/torvhevcenc.h"
#include "tests/support/natural_clip.h"
#include "tests/support/test_paths.h"
#include "tests/support/yuv_gen.h"

namespace {

struct settings {
    int width = 200;
    int height = 136;
    int threads = 2;
    int frame_threads = 5;
    int bframes = 0;
    int lookahead = 0;
    int loglevel = 0;
    int complexity = 4;
    int wpp = -1;                     // -1: automatic (on with more than one thread)
    int idr_period = 250;
    int open_gop = -1;                // -1: the preset's
    unsigned tune = 0;
    int hierarchy = -1;
    int scenecut = 0;
    float crf = 0;                    // > 0: CRF instead of constant QP
    const std::vector<uint8_t> *source = nullptr;   // packed pictures instead of generated ones
    int rc_mode = 0;                  // with `bitrate` kbit/s unless 0 (constant QP or crf)
    int bitrate = 0;
    int maxrate = 0;                  // CBR: also the minimum rate
    int vbv = 0;                      // VBV rate (kbit/s) and buffer (kbit), 0 = none
};

public_param make_param(const settings &s)
{
    public_param p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    torvhevcenc_default_param(&p, s.complexity, s.tune);
    p.width = s.width;
    p.height = s.height;
    p.working_threads = s.threads;
    p.frame_threads = s.frame_threads;
    if (s.bframes >= 0) p.bframes = s.bframes;
    if (s.lookahead >= 0) p.lookahead = s.lookahead;
    p.scenecut = s.scenecut;
    p.rc_mode = s.crf > 0 ? 3 : 0;
    p.crf = s.crf;
    p.vbv_maxrate = s.vbv;
    p.vbv_bufsize = s.vbv;
    p.qp = 30;
    p.loglevel = s.loglevel;
    p.idr_period = s.idr_period;
    if (s.hierarchy >= 0) p.hierarchy = s.hierarchy;
    if (s.rc_mode) {
        p.rc_mode = s.rc_mode;
        p.bitrate = s.bitrate;
        p.maxrate = p.minrate = s.maxrate;
        p.vbv_bufsize = p.vbv_maxrate = s.vbv;
    }
    return p;
}

struct collected {
    std::vector<int> call;            // call index (1-based) that returned each unit
    std::vector<int64_t> pts;
    std::vector<int> type;
    std::vector<uint8_t> bytes;       // all access units back to back
    std::vector<float> psnr_y;
    std::vector<std::vector<int>> nals;   // NAL unit types of each unit
    std::vector<float> mean_qp;
};

// NAL unit types of an access unit, in order.
std::vector<int> nal_types(const uint8_t *au, size_t size)
{
    std::vector<int> types;
    for (size_t i = 0; i + 3 < size; i++)
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            types.push_back((au[i + 3] >> 1) & 63);
            i += 3;
        }
    return types;
}

struct encode_run {
    collected out;
    int32_t qp_i = -1, qp_p = -1, qp_b[3] = {-1, -1, -1};
    int failed_call = 0;              // first call that returned -1, 0 = none
    int pending_after = -1;
    int drain_empty = -1;
    int after_failure = 0;            // result of a drain call after a failed one
};

encode_run run_encode(const settings &s, int pictures, const encoder_fault_hooks *faults = nullptr)
{
    encode_run run;
    public_param p = make_param(s);
    internal_config cfg;
    if (config_copy_public_param(&p, &cfg) != 0) {
        ADD_FAILURE() << "configuration refused";
        return run;
    }
    if (s.wpp >= 0) cfg.wpp = s.wpp;
    if (s.open_gop >= 0) cfg.open_gop = s.open_gop;
    if (faults) encoder_fault_hooks_set(faults);
    torvhevcenc_encoder *enc = encoder_open(&cfg);
    if (!enc) {
        ADD_FAILURE() << "create failed";
        return run;
    }
    yuv_gen_params g = {s.width, s.height, yuv_pattern_shapes, 7, 0};
    std::vector<uint8_t> pic(yuv_picture_bytes(s.width, s.height));
    int call = 0;
    const ratecontrol *rc = enc->frame_instances[0]->rc;
    run.qp_i = rc->qp_i;
    run.qp_p = rc->qp_p;
    for (int k = 0; k < 3; k++) run.qp_b[k] = rc->qp_b[k];
    float mean_qp = 0;
    auto take = [&](int size, int64_t pts, frame_info *info, const uint8_t *au, const float *psnr) {
        if (size <= 0) return;
        run.out.call.push_back(call);
        run.out.pts.push_back(pts);
        run.out.type.push_back(info->type);
        run.out.bytes.insert(run.out.bytes.end(), au, au + size);
        run.out.psnr_y.push_back(psnr[1]);
        run.out.nals.push_back(nal_types(au, (size_t)size));
        run.out.mean_qp.push_back(mean_qp);
    };
    for (int k = 0; k < pictures + 64 && !run.failed_call; k++) {
        const uint8_t *au = nullptr;
        int64_t pts = -1;
        float psnr[4] = {0, 0, 0, 0};
        frame_info info = {sizeof(frame_info), 0, 0, 0};
        call++;
        int size;
        if (k < pictures) {
            size_t bytes = pic.size();
            if (s.source && (size_t)(k + 1) * bytes <= s.source->size())
                std::memcpy(pic.data(), s.source->data() + (size_t)k * bytes, bytes);
            else
                yuv_gen_picture(&g, k, pic.data());
            const uint8_t *planes[3] = {pic.data(), pic.data() + s.width * s.height,
                                        pic.data() + s.width * s.height * 5 / 4};
            uint32_t strides[3] = {(uint32_t)s.width, (uint32_t)s.width / 2, (uint32_t)s.width / 2};
            info.user_hi = (uint32_t)k;
            info.user_lo = 0x5000u + (uint32_t)k;
            size = torvhevcenc_encode_frame(enc, strides, planes, 1000 + k, &info, &au, &pts, nullptr, nullptr,
                                            psnr, &mean_qp);
        } else {
            if (torvhevcenc_pending_frames(enc) == 0) break;
            size = torvhevcenc_encode_frame(enc, nullptr, nullptr, 0, &info, &au, &pts, nullptr, nullptr, psnr,
                                            &mean_qp);
        }
        if (size < 0) run.failed_call = call;
        take(size, pts, &info, au, psnr);
    }
    if (run.failed_call)
        run.after_failure = torvhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr, nullptr, nullptr);
    if (!run.failed_call) {
        run.pending_after = torvhevcenc_pending_frames(enc);
        const uint8_t *au = nullptr;
        run.drain_empty = torvhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &au, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr);
    }
    torvhevcenc_close(enc);
    return run;
}

TEST(EncoderCore, EveryPictureComesBackInOrderAfterFrameInstanceDelay)
{
    watchdog dog(60);
    for (int n : {1, 5, 7}) {
        settings s;
        s.frame_threads = n;
        const int pictures = 12;
        encode_run run = run_encode(s, pictures);
        ASSERT_EQ(run.out.pts.size(), (size_t)pictures) << "frame instances " << n;
        for (int k = 0; k < pictures; k++) {
            EXPECT_EQ(run.out.pts[k], 1000 + k);
            // The unit of the picture submitted in call k + 1 arrives in call k + n.
            EXPECT_EQ(run.out.call[k], k + n) << "frame instances " << n;
        }
        EXPECT_TRUE(run.out.type[0] == TORVHEVCENC_TYPE_IDR || run.out.type[0] == TORVHEVCENC_TYPE_CRA);
        EXPECT_EQ(run.pending_after, 0);
        EXPECT_EQ(run.drain_empty, 0);
    }
}

TEST(EncoderCore, LookaheadDelayHoldsBackTheFirstPicture)
{
    watchdog dog(60);
    settings s;
    s.lookahead = 3;
    s.frame_threads = 5;
    encode_run run = run_encode(s, 9);
    ASSERT_EQ(run.out.pts.size(), 9u);
    // Calls 1..3 only fill the delay; call 4 codes the first picture, which
    // comes back 4 calls later.
    EXPECT_EQ(run.out.call[0], 3 + 5);
    EXPECT_EQ(run.pending_after, 0);
}

TEST(EncoderCore, DrainWithNothingPendingReturnsZero)
{
    settings s;
    public_param p = make_param(s);
    torvhevcenc_encoder *enc = torvhevcenc_create(&p);
    ASSERT_NE(enc, nullptr);
    EXPECT_EQ(torvhevcenc_pending_frames(enc), 0);
    const uint8_t *au = reinterpret_cast<const uint8_t *>(1);
    EXPECT_EQ(torvhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, &au, nullptr, nullptr, nullptr, nullptr,
                                       nullptr),
              0);
    EXPECT_EQ(au, reinterpret_cast<const uint8_t *>(1)) << "no output written";
    torvhevcenc_close(enc);
}

TEST(EncoderCore, ThreadAndFrameInstanceMatrixNeverHangs)
{
    watchdog dog(240);
    for (int threads : {1, 2, 8})
        for (int n : {5, 8, 12}) {
            settings s;
            s.width = 196;     // padded to 200 x 136 inside
            s.height = 132;
            s.threads = threads;
            s.frame_threads = n;
            encode_run run = run_encode(s, 14);
            EXPECT_EQ(run.out.pts.size(), 14u) << threads << " threads, " << n << " frame instances";
            EXPECT_EQ(run.failed_call, 0);
            EXPECT_EQ(run.pending_after, 0);
        }
}

// With a lookahead window and more than one frame instance the first
// picture is coded while the window fills; one frame instance codes it after
// the fill. Both, and a stream that ends before the window is full, give the
// same bytes.
TEST(EncoderCore, ConstantQpBytesDoNotDependOnThreadsOrFrameInstances)
{
    watchdog dog(240);
    for (int window : {0, 8})
        for (int pictures : {10, 5})
            for (int wpp : {0, 1}) {
                settings one;
                one.threads = 1;
                one.frame_threads = 5;
                one.wpp = wpp;
                one.width = 264;
                one.height = 200;
                one.lookahead = window;
                one.bframes = window ? 3 : 0;
                one.scenecut = window ? 40 : 0;
                settings many = one;
                many.threads = 8;
                many.frame_threads = 12;
                settings single = many;
                single.frame_threads = 1;
                encode_run a = run_encode(one, pictures), b = run_encode(many, pictures);
                encode_run c = run_encode(single, pictures);
                std::string what = "window " + std::to_string(window) + ", pictures " + std::to_string(pictures) +
                                   ", wpp " + std::to_string(wpp);
                ASSERT_EQ(a.out.pts.size(), (size_t)pictures) << what;
                EXPECT_EQ(a.out.bytes, b.out.bytes) << what;
                EXPECT_EQ(b.out.bytes, c.out.bytes) << what;
                EXPECT_EQ(a.out.pts, b.out.pts) << what;
                EXPECT_EQ(b.out.pts, c.out.pts) << what;
                EXPECT_EQ(b.pending_after, 0) << what;
            }
    // Constant quality runs without the macroblock-tree only all-intra: its
    // first picture's QP comes from its own lookahead cost.
    settings intra;
    intra.threads = 8;
    intra.frame_threads = 12;
    intra.lookahead = 8;
    intra.crf = 27;
    intra.idr_period = 1;
    settings intra_single = intra;
    intra_single.frame_threads = 1;
    for (int pictures : {10, 5}) {
        encode_run a = run_encode(intra, pictures), b = run_encode(intra_single, pictures);
        ASSERT_EQ(a.out.pts.size(), (size_t)pictures);
        EXPECT_EQ(a.out.bytes, b.out.bytes) << "all-intra crf, pictures " << pictures;
    }
}

// Scene cuts are decided from lookahead costs that a job pool of two threads
// or more works out ahead, between the decisions: the pictures' types and
// bytes are those of the single-threaded lookahead.
TEST(EncoderCore, SceneCutDecisionsDoNotDependOnThreads)
{
    watchdog dog(300);
    const int pictures = 24;
    std::vector<uint8_t> clip = natural_clip_samples("cut", 256, 144, pictures, test_tmp_path("core_mt_cut.y4m"));
    ASSERT_FALSE(clip.empty());
    for (int vbv : {0, 600}) {
        settings one;
        one.width = 256;
        one.height = 144;
        one.threads = 1;
        one.wpp = 0;
        one.bframes = 3;
        one.lookahead = 8;
        one.scenecut = 40;
        one.open_gop = vbv ? 1 : 0;
        one.crf = vbv ? 28.0f : 0.0f;
        one.vbv = vbv;
        one.source = &clip;
        settings many = one;
        many.threads = 8;
        encode_run a = run_encode(one, pictures), b = run_encode(many, pictures);
        ASSERT_EQ(a.out.pts.size(), (size_t)pictures) << "vbv " << vbv;
        int keyframes = 0;
        for (int t : a.out.type) keyframes += t == TORVHEVCENC_TYPE_IDR || t == TORVHEVCENC_TYPE_CRA;
        EXPECT_GE(keyframes, 2) << "the cut starts a new scene, vbv " << vbv;
        EXPECT_EQ(a.out.type, b.out.type) << "vbv " << vbv;
        EXPECT_EQ(a.out.bytes, b.out.bytes) << "vbv " << vbv;
    }
}

// In the bitrate modes an anchor picture waits for the anchors in flight to
// finish before it takes its QP, and with constant bitrate or VBV every
// picture waits for those further back than its buffer lets go unseen; what
// rate control learns then depends on the pictures waited for, never on when
// they finish, so the bytes are the same on every run and for every thread
// count at one frame-instance count. CRF under VBV plans on the same buffer.
TEST(EncoderCore, AverageBitrateBytesDoNotDependOnTimingOrThreads)
{
    watchdog dog(240);
    struct mode {
        const char *name;
        int rc_mode, maxrate, vbv;
        float crf;
    };
    for (const mode &m : {mode{"ABR", 1, 0, 0, 0.0f}, mode{"CBR", 2, 300, 0, 0.0f}, mode{"ABR+VBV", 1, 0, 375, 0.0f},
                          mode{"CRF+VBV", 0, 0, 375, 28.0f}}) {
        SCOPED_TRACE(m.name);
        settings s;
        s.width = 264;
        s.height = 200;
        s.bframes = 3;
        s.lookahead = 8;
        s.frame_threads = 8;
        s.rc_mode = m.rc_mode;
        s.bitrate = 300;
        s.maxrate = m.maxrate;
        s.vbv = m.vbv;
        s.crf = m.crf;
        s.threads = 2;
        encode_run a = run_encode(s, 24);
        s.threads = 8;
        encode_run b = run_encode(s, 24), c = run_encode(s, 24);
        ASSERT_EQ(a.out.pts.size(), 24u);
        EXPECT_EQ(a.out.bytes, b.out.bytes);
        EXPECT_EQ(b.out.bytes, c.out.bytes);
    }
}

TEST(EncoderCore, ReconstructionPsnrIsMeasuredAtEveryLogLevel)
{
    settings s;
    for (int level : {1, 0}) {
        s.loglevel = level;
        encode_run run = run_encode(s, 3);
        ASSERT_EQ(run.out.psnr_y.size(), 3u);
        for (float v : run.out.psnr_y) {
            EXPECT_GT(v, 5.0f) << "loglevel " << level;
            EXPECT_LT(v, 100.0f) << "loglevel " << level;
        }
    }
}

TEST(EncoderCore, FailedOpenAfterThreadsStartedFreesEverything)
{
    watchdog dog(60);
    settings s;
    for (open_stage stage : {OPEN_RECORD, OPEN_GEOMETRY, OPEN_PICTURE_POOLS, OPEN_JOB_POOL, OPEN_ROW_SCHEDULER,
                             OPEN_CTU_THREADS, OPEN_RECORDS, OPEN_LOOKAHEAD, OPEN_FRAME_INSTANCES, OPEN_ROW_CONTEXTS,
                             OPEN_RATE_CONTROL, OPEN_CONFIG_SHARED}) {
        public_param p = make_param(s);
        p.scenecut = 40;   // with a job pool
        encoder_fault_hooks hooks = {};
        hooks.fail_open_at_step = stage;
        encoder_fault_hooks_set(&hooks);
        EXPECT_EQ(torvhevcenc_create(&p), nullptr) << "stage " << stage;
    }
    // The hook is spent: the next encoder opens normally.
    public_param p = make_param(s);
    torvhevcenc_encoder *enc = torvhevcenc_create(&p);
    EXPECT_NE(enc, nullptr);
    torvhevcenc_close(enc);
}

TEST(EncoderCore, FailedCtuJobEndsTheCallWithErrorNotAHang)
{
    watchdog dog(120);
    for (int threads : {1, 4})
        for (int at : {1, 7, 40}) {
            settings s;
            s.threads = threads;
            encoder_fault_hooks hooks = {};
            hooks.fail_ctu_job_at = at;
            encode_run run = run_encode(s, 12, &hooks);
            EXPECT_NE(run.failed_call, 0) << threads << " threads, job " << at;
            EXPECT_EQ(run.after_failure, -1) << "the encoder stays failed";
            // No unit of a picture coded at or after the failure is returned.
            EXPECT_LT(run.out.pts.size(), 12u);
        }
}

TEST(EncoderCore, PsnrFromSsdFollowsTheDefinition)
{
    EXPECT_EQ(psnr_from_ssd(0, 1920 * 1080), 100.0f);
    EXPECT_NEAR(psnr_from_ssd(2073600, 1920 * 1080), 48.1308f, 1e-4f);
    // A sum past 32 bits: every sample of a large picture off by 255.
    uint64_t big = (uint64_t)65025 * 8192 * 4320;
    EXPECT_NEAR(psnr_from_ssd(big, (int64_t)8192 * 4320), 0.0f, 1e-6f);
}

}  // namespace

namespace {

TEST(EncoderCore, BPicturesComeBackInCodingOrderWithTheirOwnPts)
{
    watchdog dog(120);
    for (int threads : {1, 4}) {
        settings s;
        s.threads = threads;
        s.bframes = 3;
        s.lookahead = 6;
        s.frame_threads = 6;
        encode_run run = run_encode(s, 20);
        ASSERT_EQ(run.out.pts.size(), 20u);
        std::vector<int64_t> sorted = run.out.pts;
        std::sort(sorted.begin(), sorted.end());
        for (int k = 0; k < 20; k++) EXPECT_EQ(sorted[k], 1000 + k);
        EXPECT_NE(sorted, run.out.pts) << "B pictures are coded after their anchor";
        EXPECT_EQ(run.pending_after, 0);
        bool any_b = false;
        for (int t : run.out.type) any_b |= t == TORVHEVCENC_TYPE_B || t == TORVHEVCENC_TYPE_BREF;
        EXPECT_TRUE(any_b);
    }
}

}  // namespace

namespace {

int slice_nal(const std::vector<int> &types)
{
    return types.empty() ? -1 : types.back();
}

TEST(EncoderCore, NalUnitTypesFollowPictureTypesInClosedAndOpenGops)
{
    watchdog dog(120);
    for (int open : {0, 1}) {
        settings s;
        s.bframes = 3;
        s.lookahead = 4;
        s.idr_period = 10;
        s.open_gop = open;
        encode_run run = run_encode(s, 26);
        ASSERT_EQ(run.out.pts.size(), 26u);
        int64_t last_irap_pts = -1;
        int iraps = 0;
        for (size_t k = 0; k < run.out.pts.size(); k++) {
            const std::vector<int> &t = run.out.nals[k];
            int type = run.out.type[k], nal = slice_nal(t);
            bool irap = type == TORVHEVCENC_TYPE_IDR || type == TORVHEVCENC_TYPE_CRA;
            if (irap) {
                ASSERT_GE(t.size(), 4u);
                EXPECT_EQ(t[0], 32);
                EXPECT_EQ(t[1], 33);
                EXPECT_EQ(t[2], 34);
                EXPECT_EQ(nal, type == TORVHEVCENC_TYPE_IDR ? 19 : 21);
                if (!open) {
                    EXPECT_EQ(type, TORVHEVCENC_TYPE_IDR) << "closed GOPs start with IDR pictures";
                }
                last_irap_pts = run.out.pts[k];
                iraps++;
                continue;
            }
            ASSERT_EQ(t.size(), 1u);
            bool leading = run.out.pts[k] < last_irap_pts && iraps > 1;
            bool reference = type != TORVHEVCENC_TYPE_B;
            int expect = (leading ? 8 : 0) + (reference ? 1 : 0);
            EXPECT_EQ(nal, expect) << "unit " << k << " type " << type << (open ? " open" : " closed");
            if (!open) {
                EXPECT_LT(nal, 8) << "no skipped leading pictures in closed GOPs";
            }
        }
        EXPECT_GE(iraps, 2);
    }
}

}  // namespace

namespace {

TEST(EncoderCore, ConstantQpPicturesUseTheQpOfTheirType)
{
    settings s;
    s.bframes = 3;
    s.lookahead = 4;
    encode_run run = run_encode(s, 12);
    ASSERT_EQ(run.out.pts.size(), 12u);
    for (size_t k = 0; k < run.out.type.size(); k++) {
        int type = run.out.type[k];
        float q = run.out.mean_qp[k];
        if (type == TORVHEVCENC_TYPE_IDR || type == TORVHEVCENC_TYPE_CRA) EXPECT_EQ(q, (float)run.qp_i);
        else if (type == TORVHEVCENC_TYPE_P) EXPECT_EQ(q, (float)run.qp_p);
        else EXPECT_TRUE(q == run.qp_b[0] || q == run.qp_b[1] || q == run.qp_b[2]) << q;
    }
    EXPECT_NE(run.qp_i, run.qp_b[0]) << "the type offsets apply";
}

}  // namespace

namespace {

TEST(EncoderCore, PerPictureValueTravelsWithItsOwnPicture)
{
    watchdog dog(60);
    std::vector<uint64_t> seen(16, ~0ull);
    encoder_fault_hooks hooks = {};
    hooks.seen_values = seen.data();
    hooks.seen_count = (int32_t)seen.size();
    settings s;
    s.bframes = 3;
    s.lookahead = 5;
    s.threads = 4;
    encode_run run = run_encode(s, 16, &hooks);
    ASSERT_EQ(run.out.pts.size(), 16u);
    // Pictures are coded several calls after they were submitted, and not in
    // submission order: each still sees the value handed in with it.
    for (int k = 0; k < 16; k++) EXPECT_EQ(seen[k], ((uint64_t)k << 32) | (0x5000u + k)) << "picture " << k;
}

}  // namespace

namespace {

TEST(EncoderCore, PyramidsAndLatencyTuningsRunToTheEnd)
{
    watchdog dog(240);
    for (int h : {0, 1, 2}) {
        settings s;
        s.bframes = 7;
        s.lookahead = 10;
        s.hierarchy = h;
        s.threads = 3;
        s.idr_period = 24;
        encode_run run = run_encode(s, 40);
        EXPECT_EQ(run.out.pts.size(), 40u) << "hierarchy " << h;
        EXPECT_EQ(run.pending_after, 0);
    }
    for (unsigned tune : {TORVHEVCENC_TUNE_ZEROLATENCY, TORVHEVCENC_TUNE_LOWDELAY}) {
        settings s;
        s.tune = tune;
        s.bframes = -1;
        s.lookahead = -1;
        s.threads = 3;
        encode_run run = run_encode(s, 30);
        EXPECT_EQ(run.out.pts.size(), 30u) << "tune " << tune;
        EXPECT_EQ(run.failed_call, 0);
    }
}

}  // namespace

namespace {

// Also while the lookahead fills (two inputs), when the pool's threads are
// still faulting in the picture taken for an input that never comes.
TEST(EncoderCore, CloseWithPicturesStillInFlightFreesThem)
{
    watchdog dog(60);
    for (int threads : {1, 8})
        for (int inputs : {9, 2}) {
            settings s;
            s.threads = threads;
            s.frame_threads = 8;
            s.bframes = 3;
            s.lookahead = 4;
            s.scenecut = 40;
            public_param p = make_param(s);
            torvhevcenc_encoder *enc = torvhevcenc_create(&p);
            ASSERT_NE(enc, nullptr);
            yuv_gen_params g = {s.width, s.height, yuv_pattern_noise, 3, 0};
            std::vector<uint8_t> pic(yuv_picture_bytes(s.width, s.height));
            for (int k = 0; k < inputs; k++) {
                yuv_gen_picture(&g, k, pic.data());
                const uint8_t *planes[3] = {pic.data(), pic.data() + s.width * s.height,
                                            pic.data() + s.width * s.height * 5 / 4};
                uint32_t strides[3] = {(uint32_t)s.width, (uint32_t)s.width / 2, (uint32_t)s.width / 2};
                EXPECT_GE(torvhevcenc_encode_frame(enc, strides, planes, k, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr),
                          0);
            }
            EXPECT_GT(torvhevcenc_pending_frames(enc), 0);
            torvhevcenc_close(enc);
        }
}

}  // namespace

namespace {

TEST(EncoderCore, LongRunKeepsTheSchedulerWindowsMoving)
{
    watchdog dog(240);
    settings s;
    s.width = 136;
    s.height = 128;
    s.bframes = 7;
    s.lookahead = 12;
    s.threads = 4;
    s.frame_threads = 12;
    s.idr_period = 50;
    s.open_gop = 1;
    encode_run run = run_encode(s, 300);
    EXPECT_EQ(run.out.pts.size(), 300u);
    EXPECT_EQ(run.failed_call, 0);
    EXPECT_EQ(run.pending_after, 0);
}

// Pictures coded beside their references: under VBV a row's QP re-decision
// looks at the references' row QPs, which their own threads may still change.
// What it reads is fixed by the schedule, not by timing: the same bytes on
// every run and for 2 and 8 threads, at each count of frame instances.
TEST(EncoderCore, BufferedRowQpsDoNotDependOnTimingOrThreads)
{
    watchdog dog(600);
    const int pictures = 12;
    std::vector<uint8_t> clip = natural_clip_samples("cut", 320, 384, pictures, test_tmp_path("core_mt_vbv.y4m"));
    ASSERT_FALSE(clip.empty());
    for (int n : {3, 6}) {
        settings two;
        two.width = 320;      // 5 x 6 CTUs: rows below the lag behind a reference
        two.height = 384;
        two.complexity = 3;
        two.threads = 2;
        two.frame_threads = n;
        two.bframes = 3;
        two.lookahead = 8;
        two.crf = 24.0f;
        two.vbv = 500;
        two.source = &clip;
        settings eight = two;
        eight.threads = 8;
        encode_run a = run_encode(two, pictures), b = run_encode(eight, pictures), c = run_encode(eight, pictures);
        ASSERT_EQ(a.out.pts.size(), (size_t)pictures) << n << " frame instances";
        EXPECT_EQ(a.out.bytes, b.out.bytes) << n << " frame instances";
        EXPECT_EQ(b.out.bytes, c.out.bytes) << n << " frame instances";
    }
}

}  // namespace
