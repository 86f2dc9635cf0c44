// Automatic configuration values and validation: refusals, clamps, warnings,
// row-context needs and padding.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "encoder/config.h"

namespace {

// A usable 1080p configuration with a fixed thread count, so results do not
// depend on the test machine.
internal_config base_config(int32_t complexity = 4, uint32_t tune = 0)
{
    internal_config cfg;
    config_preset(&cfg, complexity, tune);
    cfg.width = 1920;
    cfg.height = 1080;
    cfg.working_threads = 4;
    return cfg;
}

struct validated {
    int result;
    std::string out, err;
};

validated run_validate(internal_config *cfg)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = config_validate(cfg);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {r, out, err};
}

// The automatic wavefront setting is on with two or more working threads and
// off with one; an explicit choice stays.
TEST(ConfigAuto, ThreadCountsGiveFrameInstancesPoolAndWavefront)
{
    internal_config cfg = base_config();
    cfg.working_threads = 16;
    config_auto(&cfg);
    EXPECT_EQ(cfg.frame_instances, 12);
    EXPECT_EQ(cfg.wpp, 1);
    EXPECT_EQ(cfg.pool_threads, 16);
    cfg = base_config();
    cfg.working_threads = 1;
    config_auto(&cfg);
    EXPECT_EQ(cfg.frame_instances, 5);
    EXPECT_EQ(cfg.wpp, 0);
    cfg = base_config();
    cfg.working_threads = 1;
    cfg.wpp = 1;
    config_auto(&cfg);
    EXPECT_EQ(cfg.wpp, 1);   // an explicit choice stays
    cfg = base_config();
    cfg.working_threads = 3;
    config_auto(&cfg);
    EXPECT_EQ(cfg.frame_instances, 7);
}

TEST(ConfigAuto, MbtreeFollowsRateModeAndLengthensLookahead)
{
    internal_config cfg = base_config();
    cfg.rc_mode = RC_MODE_ABR;
    cfg.lookahead = 10;
    config_auto(&cfg);
    EXPECT_EQ(cfg.mbtree, 1);
    EXPECT_EQ(cfg.lookahead, 20);
    cfg = base_config();
    cfg.lookahead = 10;
    config_auto(&cfg);
    EXPECT_EQ(cfg.mbtree, 0);
    EXPECT_EQ(cfg.lookahead, 10);
}

TEST(ConfigAuto, HierarchyFromBframes)
{
    const int32_t bframes[] = {0, 1, 3, 4, 15};
    const int32_t depth[] = {0, 1, 1, 2, 2};
    for (int i = 0; i < 5; i++) {
        internal_config cfg = base_config();
        cfg.bframes = bframes[i];
        config_auto(&cfg);
        EXPECT_EQ(cfg.hierarchy, depth[i]) << "bframes " << bframes[i];
    }
}

TEST(ConfigAuto, BRatiosByPyramidDepth)
{
    const float want[3][3] = {{1.3f, 0, 0}, {1.12f, 1.2544f, 0}, {1.12f, 1.2544f, 1.404928f}};
    for (int h = 0; h < 3; h++) {
        internal_config cfg = base_config();
        cfg.hierarchy = h;
        config_auto(&cfg);
        EXPECT_FLOAT_EQ(cfg.ip_ratio, 1.414f);
        for (int i = 0; i < 3; i++) EXPECT_FLOAT_EQ(cfg.b_ratio[i], want[h][i]) << "h " << h << " entry " << i;
    }
}

TEST(ConfigAuto, BRatiosBuildOnTheCallersEntries)
{
    internal_config cfg = base_config();
    cfg.hierarchy = 2;
    cfg.b_ratio[0] = 1.5f;
    config_auto(&cfg);
    EXPECT_FLOAT_EQ(cfg.b_ratio[0], 1.5f);
    EXPECT_FLOAT_EQ(cfg.b_ratio[1], 1.68f);
    EXPECT_FLOAT_EQ(cfg.b_ratio[2], 1.8816f);
}

TEST(ConfigAuto, OutOfRangeHierarchyStaysInsideTheRatioArray)
{
    internal_config cfg = base_config();
    cfg.hierarchy = 7;
    config_auto(&cfg);
    EXPECT_FLOAT_EQ(cfg.b_ratio[2], 1.404928f);
    EXPECT_EQ(cfg.reserved[9], 0);  // nothing written past the array
    EXPECT_EQ(cfg.rate_factor, 1.0f);
}

// Values no later step knows are refused with a message; the last known one passes.
TEST(ConfigValidate, UnknownInterlaceTypeOrRateControlModeIsRefused)
{
    struct field {
        int32_t internal_config::*member;
        const char *message;
        int32_t last_known;
    };
    const field fields[] = {{&internal_config::interlace, "Unknown interlace type ", 2},
                            {&internal_config::rc_mode, "Unknown rate control mode ", RC_MODE_LQP}};
    for (const field &f : fields) {
        for (int32_t v : {f.last_known + 1, -1}) {
            internal_config cfg = base_config();
            cfg.*f.member = v;
            validated r = run_validate(&cfg);
            EXPECT_EQ(r.result, -1);
            EXPECT_EQ(r.err, f.message + std::to_string(v) + "\n");
        }
        internal_config cfg = base_config();
        cfg.*f.member = f.last_known;
        EXPECT_EQ(run_validate(&cfg).result, 0);
    }
}

// Pictures one or two CTUs wide are coded with row contexts like any other.
TEST(ConfigValidate, NarrowPicturesAreAccepted)
{
    for (int32_t w : {8, 64, 128}) {
        internal_config cfg = base_config();
        cfg.width = w;
        validated r = run_validate(&cfg);
        EXPECT_EQ(r.result, 0) << w;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(cfg.width, w);
    }
    internal_config cfg = base_config();
    cfg.width = 129;
    cfg.height = 64;
    EXPECT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.width, 136);
    EXPECT_EQ(cfg.pad_w, 7);
}

TEST(ConfigValidate, MotionMarginGrowsAtEverySizeAndLevel)
{
    internal_config cfg = base_config(6);
    cfg.width = 1280;
    cfg.height = 720;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.mv_margin_v, 120);
    cfg = base_config(4);
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.mv_margin_v, 120);
}

TEST(ConfigValidate, UnknownCompatBecomes91)
{
    const int32_t in[] = {110, 0, 91, 100, 120, 130};
    const int32_t out[] = {91, 91, 91, 100, 120, 91};
    for (int i = 0; i < 6; i++) {
        internal_config cfg = base_config();
        cfg.compat = in[i];
        ASSERT_EQ(run_validate(&cfg).result, 0);
        EXPECT_EQ(cfg.compat, out[i]) << in[i];
    }
}

TEST(ConfigValidate, LatencyModesLimitBframesBelowLevelFive)
{
    internal_config cfg = base_config(2, 0x10000);
    cfg.bframes = 5;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.bframes, 0);
    cfg = base_config(2, 0x20000);
    cfg.bframes = 9;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.bframes, 3);
    cfg = base_config(2, 0x20000);
    cfg.bframes = 0;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.bframes, 1);
    // Above level 4 the latency mode is dropped whatever set it.
    cfg = base_config(6);
    cfg.latency_mode = 0;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.latency_mode, 9);
    EXPECT_EQ(cfg.bframes, 7);
}

TEST(ConfigValidate, CbrRatesEncloseTheBitrate)
{
    internal_config cfg = base_config(0);
    cfg.rc_mode = RC_MODE_CBR;
    cfg.bitrate = 3000;
    cfg.cbr_maxrate = 1000;
    cfg.cbr_minrate = 5000;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.cbr_maxrate, 3000);
    EXPECT_EQ(cfg.cbr_minrate, 3000);
    EXPECT_EQ(cfg.subpel_level, 5);
    EXPECT_EQ(cfg.mbtree, 0);
    EXPECT_EQ(cfg.aq_mode, 1);
    EXPECT_EQ(cfg.grid_cols, 1);
    EXPECT_EQ(cfg.grid_rows, 1);
    // A window longer than the default keeps the tree that the automatic
    // setting turned on; the default window of 8 pictures turns it off.
    for (int32_t window : {8, CBR_TREE_MIN_WINDOW, CBR_TREE_MIN_WINDOW + 1, 30}) {
        cfg = base_config(0);
        cfg.rc_mode = RC_MODE_CBR;
        cfg.bitrate = 3000;
        cfg.cbr_window = window;
        config_auto(&cfg);
        ASSERT_EQ(run_validate(&cfg).result, 0);
        EXPECT_EQ(cfg.mbtree, window > CBR_TREE_MIN_WINDOW ? 1 : 0) << window;
        EXPECT_EQ(cfg.aq_mode, 1) << window;
    }
}

TEST(ConfigValidate, ReferenceCountsAreClamped)
{
    internal_config cfg = base_config();
    cfg.prefs = 0;
    cfg.brefs = 9;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.prefs, 1);
    EXPECT_EQ(cfg.brefs, 1);
    cfg = base_config();
    cfg.prefs = 9;
    cfg.brefs = 9;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.prefs, 4);
    EXPECT_EQ(cfg.brefs, 4);
}

TEST(ConfigValidate, BframesFitTheIdrPeriodAndHierarchyFitsBframes)
{
    internal_config cfg = base_config();
    cfg.bframes = 16;
    cfg.idr_period = 8;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.bframes, 7);
    cfg = base_config();
    cfg.bframes = 3;
    cfg.hierarchy = 2;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.hierarchy, 1);
    cfg = base_config();
    cfg.bframes = -2;
    cfg.hierarchy = -1;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.bframes, 0);
    EXPECT_EQ(cfg.hierarchy, 0);
}

TEST(ConfigValidate, IdrPeriodZeroMeansAllIntra)
{
    internal_config cfg = base_config();
    cfg.idr_period = 0;
    cfg.rc_mode = RC_MODE_ABR;
    cfg.min_idr = 5;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.idr_period, 1);
    EXPECT_EQ(cfg.open_gop, 0);
    EXPECT_EQ(cfg.mbtree, 0);
    EXPECT_EQ(cfg.bframes, 0);
    EXPECT_EQ(cfg.min_idr, 5);
    EXPECT_EQ(cfg.lookahead, 1);
}

TEST(ConfigValidate, AutomaticMinIdrIsAQuarterPeriod)
{
    internal_config cfg = base_config();
    cfg.min_idr = 0;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.min_idr, 62);
    cfg = base_config();
    cfg.min_idr = -3;
    cfg.idr_period = 3;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.min_idr, 1);
}

TEST(ConfigValidate, RateModesSetTheirTools)
{
    internal_config cfg = base_config();
    cfg.pass1 = cfg.pass2 = 1;
    cfg.aq_mode = 2;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.pass1, 0);
    EXPECT_EQ(cfg.pass2, 0);
    EXPECT_EQ(cfg.mbtree, 0);
    EXPECT_EQ(cfg.aq_mode, 0);
    cfg = base_config();
    cfg.rc_mode = RC_MODE_LQP;
    cfg.mbtree = 0;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.mbtree, 1);
    EXPECT_EQ(cfg.aq_mode, 1);  // turned back on for the macroblock-tree
    EXPECT_EQ(cfg.aq_strength, 0.0f);
    cfg = base_config();
    cfg.rc_mode = RC_MODE_CRF;
    cfg.pass1 = cfg.pass2 = 1;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.pass1, 1);
    EXPECT_EQ(cfg.pass2, 0);
}

TEST(ConfigValidate, ZeroAqStrengthWithMbtreeKeepsFlatAq)
{
    internal_config cfg = base_config();
    cfg.rc_mode = RC_MODE_ABR;
    cfg.aq_mode = 2;
    cfg.aq_strength = 0.0f;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.mbtree, 1);
    EXPECT_EQ(cfg.aq_mode, 1);
    EXPECT_EQ(cfg.aq_strength, 0.0f);
}

TEST(ConfigValidate, VbvRateWithoutBufferIsDroppedWithAMessage)
{
    internal_config cfg = base_config();
    cfg.rc_mode = RC_MODE_ABR;
    cfg.vbv_maxrate = 5000;
    validated r = run_validate(&cfg);
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "VBV buffer size invalid, ignore all VBV settings\n");
    EXPECT_EQ(cfg.vbv_bufsize, 0);
    EXPECT_EQ(cfg.vbv_maxrate, 0);
}

TEST(ConfigValidate, VbvWithCbrOrLqpIsDroppedWithAMessage)
{
    for (int32_t mode : {RC_MODE_CBR, RC_MODE_LQP}) {
        internal_config cfg = base_config();
        cfg.rc_mode = mode;
        cfg.vbv_bufsize = 2000;
        cfg.vbv_maxrate = 3000;
        validated r = run_validate(&cfg);
        ASSERT_EQ(r.result, 0);
        EXPECT_EQ(r.err, "VBV is not compatiable with CBR or LQP, ignore all VBV settings\n");
        EXPECT_EQ(cfg.vbv_bufsize, 0);
        EXPECT_EQ(cfg.vbv_maxrate, 0);
    }
}

TEST(ConfigValidate, MbtreeGridFollowsPictureSize)
{
    struct {
        int32_t w, h, cols, rows;
    } cases[] = {{1920, 1080, 4, 4}, {352, 288, 2, 1}, {640, 320, 4, 2}, {200, 100, 1, 1}};
    for (auto &c : cases) {
        internal_config cfg = base_config(0);
        cfg.width = c.w;
        cfg.height = c.h;
        cfg.grid_cols = cfg.grid_rows = 9;
        ASSERT_EQ(run_validate(&cfg).result, 0);
        EXPECT_EQ(cfg.grid_cols, c.cols) << c.w;
        EXPECT_EQ(cfg.grid_rows, c.rows) << c.h;
    }
}

TEST(ConfigValidate, LookaheadIsBoundedBy250AndTheIdrPeriod)
{
    internal_config cfg = base_config();
    cfg.lookahead = 300;
    cfg.idr_period = 250;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.lookahead, 250);
    cfg = base_config();
    cfg.lookahead = 300;
    cfg.idr_period = 1000;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.lookahead, 250);
    cfg = base_config(2, 0x20000);
    cfg.lookahead = 300;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.bframes, 1);
    EXPECT_EQ(cfg.lookahead, 4);
}

TEST(ConfigValidate, ComplexitySpeedClassAndExtraWeight)
{
    for (int32_t level = 0; level < 8; level++) {
        internal_config cfg = base_config(level);
        ASSERT_EQ(run_validate(&cfg).result, 0);
        EXPECT_EQ(cfg.speed_class, level <= 3 ? 1 : 2) << level;
    }
    internal_config cfg = base_config();
    cfg.complexity = 12;
    cfg.rd_extra_weight = 500;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.complexity, 7);
    EXPECT_EQ(cfg.rd_extra_weight, 128);
}

TEST(ConfigValidate, PaddingToAMultipleOfEight)
{
    internal_config cfg = base_config();
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.width, 1920);
    EXPECT_EQ(cfg.height, 1080);
    EXPECT_EQ(cfg.pad_w, 0);
    EXPECT_EQ(cfg.pad_h, 0);
    cfg = base_config();
    cfg.width = 1366;
    cfg.height = 768;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.pad_w, 2);
    EXPECT_EQ(cfg.width, 1368);
    EXPECT_EQ(cfg.pad_h, 0);
    cfg = base_config();
    cfg.height = 1081;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.pad_h, 7);
    EXPECT_EQ(cfg.height, 1088);
}

TEST(ConfigValidate, RowLimitsClampToThePictureRows)
{
    internal_config cfg = base_config();
    cfg.height = 100;  // two CTU rows
    cfg.type_row_limit[PIC_TYPE_I] = -4;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    const int32_t want[7] = {0, 1, 1, 0, 1, 1, 1};
    for (int t = 0; t < 7; t++) EXPECT_EQ(cfg.type_row_limit[t], want[t]) << t;
}

TEST(ConfigValidate, NoRowContextsClearsEveryLimit)
{
    internal_config cfg = base_config();
    cfg.row_contexts = 0;
    ASSERT_EQ(run_validate(&cfg).result, 0);
    EXPECT_EQ(cfg.row_contexts, 0);
    for (int t = 0; t < 7; t++) EXPECT_EQ(cfg.type_row_limit[t], 0) << t;
}

TEST(ConfigValidate, RowContextNeedOverTheMiniGopPattern)
{
    // Limits: IDR 5, P 4, reference B 3, B 2 (max(IDR, P) = 5).
    struct {
        int32_t n, b, h, idr, need;
    } cases[] = {
        {8, 7, 2, 250, 26},  // q 1, r 1: 5 + 21
        {12, 7, 2, 250, 39}, // r 5: 5 + 3*3 + 0 + 4 + 21
        {10, 7, 2, 250, 33}, // r 3: 5 + 1*3 + 4 + 21
        {6, 3, 1, 250, 23},  // r 3: 5 + 0 + 3 + 4 + 11
        {5, 3, 1, 250, 20},  // r 2: 5 + 4 + 11
        {5, 2, 0, 250, 19},  // r 0: 5 - 2 + 2*8
        {6, 2, 0, 250, 21},  // r 1: 5 + 2*8
        {6, 3, 0, 250, 21},  // r 3: 5 + 1*2 + 4 + 10
        {7, 0, 0, 250, 35},  // no B pictures: 5 x 7
        {7, 5, 1, 2, 35},    // period 2: 5 x 7
        {9, 7, 2, 1, 45},    // all intra: 5 x 9
    };
    for (auto &c : cases) {
        internal_config cfg = base_config();
        cfg.frame_instances = c.n;
        cfg.bframes = c.b;
        cfg.hierarchy = c.h;
        cfg.idr_period = c.idr;
        cfg.type_row_limit[PIC_TYPE_IDR] = 5;
        cfg.type_row_limit[PIC_TYPE_P] = 4;
        cfg.type_row_limit[PIC_TYPE_BREF] = 3;
        cfg.type_row_limit[PIC_TYPE_B] = 2;
        ASSERT_EQ(run_validate(&cfg).result, 0);
        EXPECT_EQ(cfg.row_contexts, c.need) << "n " << c.n << " b " << c.b << " h " << c.h << " idr " << c.idr;
    }
}

TEST(ConfigValidate, RowContextsAt1080pDefaults)
{
    internal_config cfg = base_config();  // 4 threads: 8 frame instances, b 7, h 2
    ASSERT_EQ(run_validate(&cfg).result, 0);
    // Limits 16 (17 rows): G = 3*16 + 4*16 + 16 = 128; q 1, r 1: 16 + 128.
    EXPECT_EQ(cfg.frame_instances, 8);
    EXPECT_EQ(cfg.row_contexts, 144);
}

// Faults mended beyond the documented checks.

TEST(ConfigValidate, ZeroWorkingThreadsBecomeOneWithAWarning)
{
    for (int32_t w : {0, -3}) {
        internal_config cfg = base_config();
        cfg.working_threads = w;
        validated r = run_validate(&cfg);
        ASSERT_EQ(r.result, 0);
        EXPECT_EQ(cfg.working_threads, 1);
        EXPECT_EQ(cfg.pool_threads, 1);
        EXPECT_EQ(cfg.frame_instances, 5);
        EXPECT_EQ(cfg.wpp, 0);   // one thread: no wavefront
        EXPECT_EQ(r.out.rfind("Warning: ", 0), 0u) << r.out;
    }
    internal_config cfg = base_config();
    cfg.working_threads = 100000;
    validated r = run_validate(&cfg);
    EXPECT_EQ(cfg.working_threads, CONFIG_MAX_WORKING_THREADS);
    EXPECT_EQ(r.out.rfind("Warning: ", 0), 0u);
}

TEST(ConfigValidate, FrameThreadsAreBounded)
{
    internal_config cfg = base_config();
    cfg.frame_instances = 1000;
    validated r = run_validate(&cfg);
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(cfg.frame_instances, CONFIG_MAX_FRAME_INSTANCES);
    EXPECT_EQ(r.out.rfind("Warning: ", 0), 0u);
    EXPECT_LE(cfg.frame_instances + cfg.row_contexts, CONFIG_INSTANCE_SLOTS);
    cfg = base_config();
    cfg.frame_instances = -2;  // treated as automatic
    r = run_validate(&cfg);
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(cfg.frame_instances, 8);
    EXPECT_EQ(r.out.rfind("Warning: ", 0), 0u);
    cfg = base_config();
    cfg.frame_instances = 1;
    r = run_validate(&cfg);
    EXPECT_EQ(cfg.frame_instances, 1);
    EXPECT_EQ(r.out, "");
}

TEST(ConfigValidate, InstancesBeyondTheSlotArrayAreRefused)
{
    internal_config cfg = base_config();
    cfg.width = 2000;
    cfg.height = 16000;  // 250 CTU rows
    cfg.frame_instances = 64;
    validated r = run_validate(&cfg);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err.rfind("Error: ", 0), 0u);
}

TEST(ConfigValidate, QpOutsideItsRangesIsLimitedWithAWarning)
{
    internal_config cfg = base_config();
    cfg.qp = 60;
    validated r = run_validate(&cfg);
    ASSERT_EQ(r.result, 0);
    EXPECT_EQ(cfg.qp, 51);
    EXPECT_EQ(r.out, "Warning: qp 60 out of range 0..51, using 51\n");
    cfg = base_config();
    cfg.qp = -5;
    r = run_validate(&cfg);
    EXPECT_EQ(cfg.qp, 0);
    cfg = base_config();
    cfg.qp_min = -3;
    cfg.qp_max = 70;
    r = run_validate(&cfg);
    EXPECT_EQ(cfg.qp_min, 0);
    EXPECT_EQ(cfg.qp_max, 51);
    EXPECT_EQ(r.out, "");
    cfg = base_config();
    cfg.qp_min = 40;
    cfg.qp_max = 30;
    run_validate(&cfg);
    EXPECT_LE(cfg.qp_min, cfg.qp_max);
    // A constant QP below qp_min is coded at qp_min, and said so.
    cfg = base_config();
    cfg.rc_mode = RC_MODE_CQP;
    cfg.qp = 5;
    r = run_validate(&cfg);
    EXPECT_EQ(r.out, "Warning: qp 5 outside qp_min..qp_max 10..51, limited to that range\n");
    cfg = base_config();
    cfg.rc_mode = RC_MODE_CQP;
    cfg.qp = 30;
    cfg.qp_max = 25;
    r = run_validate(&cfg);
    EXPECT_EQ(r.out, "Warning: qp 30 outside qp_min..qp_max 10..25, limited to that range\n");
}

TEST(ConfigValidate, UnusableSizesAndFrameRatesAreRefused)
{
    struct {
        int32_t w, h, num, den;
    } cases[] = {{1920, 0, 25, 1},     {1920, -8, 25, 1},      {20000, 64, 25, 1},
                 {16888, 16888, 25, 1}, {1920, 1080, 0, 1}, {1920, 1080, 25, 0}};
    for (auto &c : cases) {
        internal_config cfg = base_config();
        cfg.width = c.w;
        cfg.height = c.h;
        cfg.fps_num = c.num;
        cfg.fps_den = c.den;
        validated r = run_validate(&cfg);
        EXPECT_EQ(r.result, -1) << c.w << "x" << c.h << " " << c.num << "/" << c.den;
        EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    }
    internal_config cfg = base_config(0);
    cfg.width = 8192;
    cfg.height = 4320;
    EXPECT_EQ(run_validate(&cfg).result, 0);
}

TEST(ConfigValidate, AUsableConfigurationPrintsNothing)
{
    internal_config cfg = base_config();
    validated r = run_validate(&cfg);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

}  // namespace
