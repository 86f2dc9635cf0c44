// The public interface records: version, default parameters, and the create
// path's configuration (preset, copy of covered fields, validation, write-back).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "encoder/config.h"
#include "encoder/platform/platform.h"
#include "encoder/torvhevcenc.h"

namespace {

public_param filled_record(uint32_t size, unsigned char pattern)
{
    public_param p;
    memset(&p, pattern, sizeof(p));
    p.size = size;
    return p;
}

TEST(TorvhevcencVersion, PacksMajorMinorRevision)
{
    EXPECT_EQ(torvhevcenc_version(), 0x02081A54u);  // 2.8, revision 6740
}

// The header's layout checks run in C as well as in C++.
TEST(TorvhevcencHeader, CompilesAsC11)
{
    if (std::system("cc --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no C compiler";
    std::string cmd = std::string("printf '#include \"encoder/torvhevcenc.h\"\\nint f(void);\\n' | cc -std=c11 "
                                  "-Wall -Werror -fsyntax-only -x c -I") +
                      TV_SOURCE_DIR + " -";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

TEST(TorvhevcencDefaultParam, NullRecordAndSizeZero)
{
    EXPECT_EQ(torvhevcenc_default_param(nullptr, 4, 0), -1);
    public_param p = filled_record(0, 0x77);
    public_param before = p;
    EXPECT_EQ(torvhevcenc_default_param(&p, 4, 0), 0);
    EXPECT_EQ(memcmp(&p, &before, sizeof(p)), 0);
}

TEST(TorvhevcencDefaultParam, FullRecordHoldsTheDocumentedDefaults)
{
    public_param p = filled_record(160, 0x77);
    EXPECT_EQ(torvhevcenc_default_param(&p, 4, 0), 160);
    EXPECT_EQ(p.size, 160u);
    EXPECT_EQ(p.width, 1920);
    EXPECT_EQ(p.height, 1080);
    EXPECT_EQ(p.compat, 120);
    EXPECT_EQ(p.complexity, 4);
    EXPECT_EQ(p.frame_threads, 0);
    EXPECT_EQ(p.wpp, 10000);
    EXPECT_EQ(p.idr_period, 250);
    EXPECT_EQ(p.min_idr, 24);
    EXPECT_EQ(p.rc_mode, 0);
    EXPECT_EQ(p.qp, 32);
    EXPECT_EQ(p.bitrate, 0);
    EXPECT_EQ(p.fps_num, 25);
    EXPECT_EQ(p.fps_den, 1);
    EXPECT_EQ(p.loglevel, 1);
    EXPECT_EQ(p.sei, 1);
    EXPECT_EQ(p.working_threads, cpu_count());
    EXPECT_EQ(p.tune, 0u);
    EXPECT_EQ(p.maxrate, 0);
    EXPECT_EQ(p.minrate, 0);
    EXPECT_EQ(p.bufsize, 8);
    EXPECT_EQ(p.bframes, 7);
    EXPECT_EQ(p.hierarchy, -1);
    EXPECT_EQ(p.interlace, 0);
    EXPECT_EQ(p.sar_num, 0);
    EXPECT_EQ(p.sar_den, 0);
    EXPECT_EQ(p.crf, 23.0f);
    EXPECT_EQ(p.vbv_bufsize, 0);
    EXPECT_EQ(p.vbv_maxrate, 0);
    EXPECT_EQ(p.pass2, 0);
    EXPECT_EQ(p.pass1, 0);
    EXPECT_EQ(p.reserved, 0);
    EXPECT_EQ(p.pass2_stats, nullptr);
    EXPECT_EQ(p.pass1_stats_buffer, nullptr);
    EXPECT_EQ(p.brefs, 1);
    EXPECT_EQ(p.prefs, 4);
    EXPECT_EQ(p.scenecut, 40);
    EXPECT_EQ(p.lookahead, 40);
}

TEST(TorvhevcencDefaultParam, NegativeComplexityMeansFour)
{
    public_param p = filled_record(160, 0);
    public_param four = filled_record(160, 0);
    EXPECT_EQ(torvhevcenc_default_param(&p, -1, 0), 160);
    torvhevcenc_default_param(&four, 4, 0);
    EXPECT_EQ(p.complexity, 4);
    EXPECT_EQ(memcmp(&p, &four, sizeof(p)), 0);
}

TEST(TorvhevcencDefaultParam, LatencyTunesAreDroppedAboveLevelFour)
{
    public_param p = filled_record(160, 0);
    torvhevcenc_default_param(&p, 6, TORVHEVCENC_TUNE_ZEROLATENCY);
    EXPECT_EQ(p.tune, 0u);
    EXPECT_EQ(p.bframes, 7);
    torvhevcenc_default_param(&p, 6, TORVHEVCENC_TUNE_ZEROLATENCY | TORVHEVCENC_TUNE_MONITOR);
    EXPECT_EQ(p.tune, TORVHEVCENC_TUNE_MONITOR);
    torvhevcenc_default_param(&p, 4, TORVHEVCENC_TUNE_ZEROLATENCY);
    EXPECT_EQ(p.tune, TORVHEVCENC_TUNE_ZEROLATENCY);
    EXPECT_EQ(p.bframes, 0);
    torvhevcenc_default_param(&p, 2, TORVHEVCENC_TUNE_LOWDELAY);
    EXPECT_EQ(p.bframes, 1);
    EXPECT_EQ(p.prefs, 3);
}

TEST(TorvhevcencDefaultParam, WritesOnlyWhatTheSizeCovers)
{
    public_param p = filled_record(20, 0x77);
    EXPECT_EQ(torvhevcenc_default_param(&p, 4, 0), 20);
    EXPECT_EQ(p.width, 1920);
    EXPECT_EQ(p.height, 1080);
    EXPECT_EQ(p.compat, 120);
    EXPECT_EQ(p.complexity, 4);
    const unsigned char *bytes = (const unsigned char *)&p;
    for (size_t i = 20; i < sizeof(p); i++) ASSERT_EQ(bytes[i], 0x77) << "byte " << i;
    // The covered bytes are zeroed first; nothing past the size is touched.
    p = filled_record(132, 0x77);
    torvhevcenc_default_param(&p, 4, 0);
    EXPECT_EQ(p.pass1, 0);
    for (size_t i = 124; i < 132; i++) ASSERT_EQ(bytes[i], 0) << "byte " << i;
    for (size_t i = 132; i < sizeof(p); i++) ASSERT_EQ(bytes[i], 0x77) << "byte " << i;
}

// The create path, up to opening the encoder: the steps torvhevcenc_create
// takes (the open validates the copied configuration once).
int create_path(public_param *p, internal_config *cfg)
{
    if (config_copy_public_param(p, cfg) != 0 || config_validate(cfg) != 0) return -1;
    config_write_back(p, cfg);
    return 0;
}

TEST(CreatePath, CopiesCoveredFieldsAndWritesBack)
{
    public_param p = filled_record(160, 0);
    torvhevcenc_default_param(&p, 4, 0);
    p.width = 1366;
    p.height = 768;
    p.compat = 110;
    p.frame_threads = 0;
    p.working_threads = 2;
    p.qp = 27;
    p.maxrate = 11;
    p.minrate = 12;
    p.bufsize = 13;
    p.crf = 30.5f;
    char stats[8] = "x";
    char line[1024];
    p.pass2_stats = stats;
    p.pass1_stats_buffer = line;
    p.rc_mode = RC_MODE_ABR;
    p.pass1 = 1;
    internal_config cfg;
    public_param before = p;
    ASSERT_EQ(create_path(&p, &cfg), 0);
    EXPECT_EQ(cfg.width, 1368);
    EXPECT_EQ(cfg.pad_w, 2);
    EXPECT_EQ(cfg.qp, 27);
    EXPECT_EQ(cfg.cbr_maxrate, 11);
    EXPECT_EQ(cfg.cbr_minrate, 12);
    EXPECT_EQ(cfg.cbr_window, 13);
    EXPECT_EQ(cfg.crf, 30.5f);
    EXPECT_EQ(cfg.pass2_stats, stats);
    EXPECT_EQ(cfg.pass1_stats_buffer, line);
    EXPECT_EQ(cfg.pass1, 1);
    EXPECT_EQ(cfg.working_threads, 2);
    // compat 110 comes back as 91, frame threads 0 as the automatic count.
    EXPECT_EQ(p.compat, 91);
    EXPECT_EQ(p.frame_threads, 6);
    // Nothing else of the record changes.
    before.compat = 91;
    before.frame_threads = 6;
    EXPECT_EQ(memcmp(&p, &before, sizeof(p)), 0);
}

TEST(CreatePath, ComplexityAndTuneChooseThePreset)
{
    public_param p = filled_record(160, 0);
    torvhevcenc_default_param(&p, 4, 0);
    p.complexity = 2;
    p.tune = TORVHEVCENC_TUNE_LOWDELAY;
    internal_config cfg;
    ASSERT_EQ(config_copy_public_param(&p, &cfg), 0);
    // The record's own preset fields come over the preset.
    EXPECT_EQ(cfg.complexity, 2);
    EXPECT_EQ(cfg.latency_mode, 1);
    EXPECT_EQ(cfg.halfres_intra, 1);
    EXPECT_EQ(cfg.bframes, 7);  // from the record, filled for level 4
    ASSERT_EQ(config_validate(&cfg), 0);
    EXPECT_EQ(cfg.bframes, 3);  // low delay allows 1..3
}

TEST(CreatePath, ShortRecordGetsDefaultsPastItsEnd)
{
    public_param p = filled_record(20, 0x77);
    p.width = 640;
    p.height = 480;
    p.compat = 110;
    p.complexity = 1;
    internal_config cfg;
    ASSERT_EQ(create_path(&p, &cfg), 0);
    EXPECT_EQ(cfg.complexity, 1);
    EXPECT_EQ(cfg.working_threads, cpu_count());
    EXPECT_EQ(cfg.latency_mode, 9);  // no tuning
    EXPECT_EQ(cfg.qp, 32);
    EXPECT_EQ(cfg.idr_period, 250);
    EXPECT_EQ(cfg.prefs, 2);
    EXPECT_EQ(p.compat, 91);
    // frame_threads lies past a 20-byte record: left alone.
    EXPECT_EQ(p.frame_threads, 0x77777777);
}

TEST(CreatePath, RecordOf64BytesGetsDefaultThreadsAndNoTune)
{
    public_param p = filled_record(64, 0x77);
    torvhevcenc_default_param(&p, 5, 0);
    p.tune = TORVHEVCENC_TUNE_MONITOR;  // past the record's end: not read
    internal_config cfg;
    ASSERT_EQ(create_path(&p, &cfg), 0);
    EXPECT_EQ(cfg.working_threads, cpu_count() < 1 ? 1 : cpu_count());
    EXPECT_EQ(cfg.early_split_level, 0);
    EXPECT_EQ(cfg.complexity, 5);
    EXPECT_EQ(p.compat, 120);
    EXPECT_EQ(p.frame_threads, cfg.frame_instances);
    EXPECT_GE(p.frame_threads, 5);
}

TEST(CreatePath, SampleAspectRatioNeedsBothTerms)
{
    public_param p = filled_record(160, 0);
    torvhevcenc_default_param(&p, 4, 0);
    p.sar_num = 16;
    p.sar_den = 0;
    internal_config cfg;
    ASSERT_EQ(config_copy_public_param(&p, &cfg), 0);
    EXPECT_EQ(cfg.aspect_ratio_idc, 0);
    p.sar_den = 11;
    ASSERT_EQ(config_copy_public_param(&p, &cfg), 0);
    EXPECT_EQ(cfg.aspect_ratio_idc, 255);
}

TEST(CreatePath, RefusedConfigurationLeavesTheRecordAlone)
{
    public_param p = filled_record(160, 0);
    torvhevcenc_default_param(&p, 4, 0);
    p.interlace = 5;
    p.compat = 110;
    public_param before = p;
    internal_config cfg;
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_path(&p, &cfg), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(memcmp(&p, &before, sizeof(p)), 0);
}

TEST(CreatePath, ComplexityWithoutAPresetFamilyIsRefused)
{
    public_param p = filled_record(160, 0);
    torvhevcenc_default_param(&p, 4, 0);
    p.complexity = 0x30000;
    internal_config cfg;
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_path(&p, &cfg), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Error: ", 0), 0u);
    p.complexity = -1;  // as for default_param: level 4
    ASSERT_EQ(create_path(&p, &cfg), 0);
    EXPECT_EQ(cfg.complexity, 4);
}

TEST(CreatePath, NullRecordCountsAsSizeZero)
{
    internal_config cfg;
    ASSERT_EQ(config_copy_public_param(nullptr, &cfg), 0);
    EXPECT_EQ(cfg.complexity, 4);
    EXPECT_EQ(cfg.width, -1);
    EXPECT_EQ(create_path(nullptr, &cfg), -1);  // no picture size
}

// Until the encoder core is in place the calls that need an encoder fail.
TEST(TorvhevcencInterface, CallsWithoutAnEncoderFailCleanly)
{
    public_param p = filled_record(160, 0);
    torvhevcenc_default_param(&p, 4, 0);
    EXPECT_EQ(torvhevcenc_create(nullptr), nullptr);
    EXPECT_LT(torvhevcenc_pending_frames(nullptr), 0);
    EXPECT_LT(torvhevcenc_encode_frame(nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr),
              0);
    torvhevcenc_close(nullptr);
}

// 4:2:0 chroma needs at least one sample per direction: a side of 1 is
// refused at creation instead of failing every later encode call.
TEST(TorvhevcencInterface, SidesBelowTwoAreRefusedAtCreate)
{
    const int32_t sizes[][2] = {{1, 64}, {64, 1}, {1, 1}, {0, 64}, {2, 2}};
    for (const auto &size : sizes) {
        public_param p = filled_record(160, 0);
        torvhevcenc_default_param(&p, 4, 0);
        p.width = size[0];
        p.height = size[1];
        p.loglevel = 0;
        p.working_threads = 2;
        testing::internal::CaptureStderr();
        torvhevcenc_encoder *enc = torvhevcenc_create(&p);
        std::string err = testing::internal::GetCapturedStderr();
        if (size[0] < 2 || size[1] < 2) {
            EXPECT_EQ(enc, nullptr) << size[0] << "x" << size[1];
            EXPECT_EQ(err.rfind("Error: unsupported picture size", 0), 0u) << err;
            continue;
        }
        ASSERT_NE(enc, nullptr);
        const uint8_t samples[6] = {16, 32, 48, 64, 128, 128};
        const uint8_t *planes[3] = {samples, samples + 4, samples + 5};
        const uint32_t strides[3] = {2, 1, 1};
        int n = torvhevcenc_encode_frame(enc, strides, planes, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr);
        ASSERT_GE(n, 0);
        int got = n > 0;
        while (torvhevcenc_pending_frames(enc) > 0) {
            int drained = torvhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr, nullptr);
            ASSERT_GE(drained, 0);
            got += drained > 0;
        }
        EXPECT_EQ(got, 1);
        torvhevcenc_close(enc);
    }
}

}  // namespace
