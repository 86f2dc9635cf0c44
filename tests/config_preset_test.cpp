// Configuration defaults and the whole preset matrix: every complexity level
// with every content and latency tuning, checked cell by cell.
#include <gtest/gtest.h>

#include <cstring>

#include "encoder/config.h"
#include "encoder/cpu.h"
#include "encoder/platform/platform.h"

namespace {

struct int_field {
    const char *name;
    int32_t internal_config::*member;
    int32_t value;
};

// The documented default of every integer field.
const int_field default_ints[] = {
    {"frame_instances", &internal_config::frame_instances, 0},
    {"row_contexts", &internal_config::row_contexts, 1},
    {"sei", &internal_config::sei, 1},
    {"compat", &internal_config::compat, 120},
    {"loglevel", &internal_config::loglevel, 1},
    {"interlace", &internal_config::interlace, 0},
    {"aspect_ratio_idc", &internal_config::aspect_ratio_idc, 0},
    {"sar_num", &internal_config::sar_num, 0},
    {"sar_den", &internal_config::sar_den, 0},
    {"idr_period", &internal_config::idr_period, 250},
    {"min_idr", &internal_config::min_idr, 24},
    {"open_gop", &internal_config::open_gop, 1},
    {"scenecut", &internal_config::scenecut, 0},
    {"bframes", &internal_config::bframes, 7},
    {"hierarchy", &internal_config::hierarchy, -1},
    {"p_as_b", &internal_config::p_as_b, 0},
    {"layer_count", &internal_config::layer_count, 1},
    {"prefs", &internal_config::prefs, 0},
    {"brefs", &internal_config::brefs, 0},
    {"speed_class", &internal_config::speed_class, 2},
    {"metric_selector", &internal_config::metric_selector, 5},
    {"rd_extra_weight", &internal_config::rd_extra_weight, 0},
    {"early_split_level", &internal_config::early_split_level, 0},
    {"me_extra", &internal_config::me_extra, 0},
    {"filter_variant", &internal_config::filter_variant, 2},
    {"me_subpel_planes", &internal_config::me_subpel_planes, 1},
    {"me_bilinear", &internal_config::me_bilinear, 0},
    {"tmvp", &internal_config::tmvp, 1},
    {"max_merge_cand", &internal_config::max_merge_cand, 5},
    {"rdoq", &internal_config::rdoq, 0},
    {"sao", &internal_config::sao, 0},
    {"cu_option", &internal_config::cu_option, 0},
    {"strong_intra_smoothing", &internal_config::strong_intra_smoothing, 0},
    {"cu_option_b", &internal_config::cu_option_b, 0},
    {"realtime_rate", &internal_config::realtime_rate, 0},
    {"realtime_scale", &internal_config::realtime_scale, 1},
    {"realtime_budget_us", &internal_config::realtime_budget_us, -1},
    {"fps_num", &internal_config::fps_num, 25},
    {"fps_den", &internal_config::fps_den, 1},
    {"ctu_option", &internal_config::ctu_option, 1},
    {"inter_flag_c", &internal_config::inter_flag_c, 1},
    {"intra_flag_a", &internal_config::intra_flag_a, 1},
    {"coarse_me", &internal_config::coarse_me, 0},
    {"halfres_intra", &internal_config::halfres_intra, 0},
    {"force_qp", &internal_config::force_qp, 0},
    {"pool_threads", &internal_config::pool_threads, 0},
    {"aq_mode", &internal_config::aq_mode, 0},
    {"subpel_level", &internal_config::subpel_level, 5},
    {"rc_mode", &internal_config::rc_mode, 0},
    {"grid_cols", &internal_config::grid_cols, 1},
    {"grid_rows", &internal_config::grid_rows, 1},
    {"pass2", &internal_config::pass2, 0},
    {"pass1", &internal_config::pass1, 0},
    {"mbtree", &internal_config::mbtree, -1},
    {"qp_max", &internal_config::qp_max, 51},
    {"qp_min", &internal_config::qp_min, 10},
    {"qp_step", &internal_config::qp_step, 4},
    {"lookahead", &internal_config::lookahead, 16},
    {"vbv_bufsize", &internal_config::vbv_bufsize, 0},
    {"vbv_maxrate", &internal_config::vbv_maxrate, 0},
    {"cbr_window", &internal_config::cbr_window, 8},
    {"cbr_maxrate", &internal_config::cbr_maxrate, 0},
    {"cbr_minrate", &internal_config::cbr_minrate, 0},
    {"bitstream_count", &internal_config::bitstream_count, 1},
    {"width", &internal_config::width, -1},
    {"height", &internal_config::height, -1},
    {"pad_w", &internal_config::pad_w, 0},
    {"pad_h", &internal_config::pad_h, 0},
    {"search_range", &internal_config::search_range, 0},
    {"mv_margin_v", &internal_config::mv_margin_v, 56},
    {"qp", &internal_config::qp, 32},
    {"bitrate", &internal_config::bitrate, 0},
    {"wpp", &internal_config::wpp, -1},
};

TEST(ConfigDefaults, EveryFieldHoldsItsDocumentedDefault)
{
    internal_config cfg;
    memset(&cfg, 0x5a, sizeof(cfg));
    config_defaults(&cfg);
    for (const int_field &f : default_ints) EXPECT_EQ(cfg.*f.member, f.value) << f.name;
    EXPECT_EQ(cfg.cpu_flags, cpu_detect());
    EXPECT_EQ(cfg.working_threads, cpu_count());
    const int32_t limits[7] = {0, 10000, 10000, 0, 10000, 10000, 10000};
    for (int t = 0; t < 7; t++) EXPECT_EQ(cfg.type_row_limit[t], limits[t]) << "type " << t;
    EXPECT_EQ(cfg.aq_strength, 1.0f);
    EXPECT_EQ(cfg.qcompress, 0.6f);
    EXPECT_EQ(cfg.ip_ratio, 0.0f);
    for (int i = 0; i < 3; i++) EXPECT_EQ(cfg.b_ratio[i], 0.0f);
    EXPECT_EQ(cfg.rate_factor, 1.0f);
    EXPECT_EQ(cfg.vbv_init, 0.9f);
    EXPECT_EQ(cfg.crf, 23.0f);
    EXPECT_EQ(cfg.pass1_stats_buffer, nullptr);
    EXPECT_EQ(cfg.pass2_stats, nullptr);
    for (int i = 0; i < 10; i++) EXPECT_EQ(cfg.reserved[i], 0);
    EXPECT_EQ(cfg.intra_source_ref_mask, 0u);
}

// The preset table as documented: one row per field, one column per level.
// DASH keeps the default.
const int32_t DASH = -12345;
struct preset_row {
    const char *name;
    int32_t internal_config::*member;
    int32_t level[8];
};
const preset_row preset_rows[] = {
    {"complexity", &internal_config::complexity, {0, 1, 2, 3, 4, 5, 6, 7}},
    {"scenecut", &internal_config::scenecut, {40, 40, 40, 40, 40, 40, 40, 40}},
    {"p_as_b", &internal_config::p_as_b, {0, 0, 0, 1, 1, 1, 1, 1}},
    {"prefs", &internal_config::prefs, {2, 2, 3, 4, 4, 4, 4, 4}},
    {"brefs", &internal_config::brefs, {1, 1, 1, 1, 1, 1, 3, 3}},
    {"me_extra", &internal_config::me_extra, {0, 0, 0, 1, 1, 1, 1, 1}},
    {"rdoq", &internal_config::rdoq, {0, 0, 0, 1, 1, 1, 1, 1}},
    {"sao", &internal_config::sao, {1, 1, 1, 3, 3, 3, 3, 3}},
    {"search_range", &internal_config::search_range, {16, 16, 16, 16, 24, 32, 48, 48}},
    {"lookahead", &internal_config::lookahead, {DASH, DASH, DASH, DASH, 40, 50, 60, 60}},
    {"metric_selector", &internal_config::metric_selector, {1, 1, 1, 1, 1, DASH, DASH, DASH}},
    {"subpel_level", &internal_config::subpel_level, {0, 0, 0, 0, 0, 3, DASH, DASH}},
    {"grid_cols", &internal_config::grid_cols, {4, 4, 4, 2, 2, DASH, DASH, DASH}},
    {"grid_rows", &internal_config::grid_rows, {4, 4, 4, 2, 2, DASH, DASH, DASH}},
    {"me_subpel_planes", &internal_config::me_subpel_planes, {0, 0, 0, 0, 0, DASH, DASH, 1}},
    {"me_bilinear", &internal_config::me_bilinear, {1, 1, 1, 1, 1, DASH, DASH, DASH}},
    {"halfres_intra", &internal_config::halfres_intra, {1, 1, 1, DASH, DASH, DASH, DASH, DASH}},
    {"intra_flag_a", &internal_config::intra_flag_a, {0, 0, 1, DASH, DASH, DASH, DASH, DASH}},
    // Set by every level.
    {"speed_class", &internal_config::speed_class, {2, 2, 2, 2, 2, 2, 2, 2}},
    {"cu_option", &internal_config::cu_option, {1, 1, 1, 1, 1, 1, 1, 1}},
    {"cu_option_b", &internal_config::cu_option_b, {0, 0, 0, 0, 0, 0, 0, 0}},
    {"rd_extra_weight", &internal_config::rd_extra_weight, {0, 0, 0, 0, 0, 0, 0, 0}},
    {"early_split_level", &internal_config::early_split_level, {0, 0, 0, 0, 0, 0, 0, 0}},
};

// What the documentation says a level, content tuning and latency tuning give,
// built on the (separately checked) defaults.
internal_config expected_preset(int level, uint32_t content, uint32_t latency)
{
    internal_config e;
    config_defaults(&e);
    for (const preset_row &r : preset_rows)
        if (r.level[level] != DASH) e.*r.member = r.level[level];
    if (content == 1) e.early_split_level = 5;
    if (content == 8) {
        e.open_gop = 1;
        e.scenecut = 0;
    }
    e.latency_mode = 9;
    if (latency == 0x10000 || latency == 0x20000) {
        e.latency_mode = latency == 0x10000 ? 0 : 1;
        e.bframes = latency == 0x10000 ? 0 : 1;
        if (latency == 0x10000) e.p_as_b = 0;
        e.me_subpel_planes = 0;
        e.halfres_intra = 1;
        e.metric_selector = 1;
        e.me_bilinear = 1;
    }
    return e;
}

void expect_same_config(const internal_config &got, const internal_config &want, const std::string &where)
{
    for (const preset_row &r : preset_rows) EXPECT_EQ(got.*r.member, want.*r.member) << where << " " << r.name;
    for (const int_field &f : default_ints) EXPECT_EQ(got.*f.member, want.*f.member) << where << " " << f.name;
    EXPECT_EQ(got.latency_mode, want.latency_mode) << where;
    EXPECT_EQ(memcmp(&got, &want, sizeof(got)), 0) << where << ": some other word differs";
}

TEST(ConfigPreset, MatrixOfLevelsAndTuningsMatchesTheTables)
{
    const uint32_t contents[] = {0, 1, 2, 4, 8};
    const uint32_t latencies[] = {0, 0x10000, 0x20000};
    for (int level = 0; level < 8; level++)
        for (uint32_t content : contents)
            for (uint32_t latency : latencies) {
                internal_config cfg;
                int result = config_preset(&cfg, level, content | latency);
                std::string where = "level " + std::to_string(level) + " tune " + std::to_string(content | latency);
                EXPECT_EQ(result, 0) << where;
                expect_same_config(cfg, expected_preset(level, content, latency), where);
            }
}

TEST(ConfigPreset, LevelOutsideRangeGetsLevelSixAndResultOne)
{
    for (int32_t level : {8, 100, 0xFFFF}) {
        internal_config cfg;
        EXPECT_EQ(config_preset(&cfg, level, 0), PRESET_UNKNOWN_LEVEL);
        expect_same_config(cfg, expected_preset(6, 0, 0), "level " + std::to_string(level));
    }
}

TEST(ConfigPreset, UnknownTuningsChangeNothingAndReport4096)
{
    internal_config cfg;
    // Two content bits at once, or an unnamed value, is no tuning.
    EXPECT_EQ(config_preset(&cfg, 3, 0x3), PRESET_UNKNOWN_TUNE);
    expect_same_config(cfg, expected_preset(3, 0, 0), "content 3");
    EXPECT_EQ(config_preset(&cfg, 3, 0x30000), PRESET_UNKNOWN_TUNE);
    internal_config want = expected_preset(3, 0, 0);
    expect_same_config(cfg, want, "latency 0x30000");
    EXPECT_EQ(config_preset(&cfg, 9, 0x40), PRESET_UNKNOWN_LEVEL | PRESET_UNKNOWN_TUNE);
}

TEST(ConfigPreset, FamilyOtherThanPlainOrCodedTouchesNothing)
{
    internal_config cfg;
    memset(&cfg, 0xab, sizeof(cfg));
    internal_config before = cfg;
    EXPECT_EQ(config_preset(&cfg, 0x20000, 0), -1);
    EXPECT_EQ(config_preset(&cfg, -1, 0), -1);
    EXPECT_EQ(memcmp(&cfg, &before, sizeof(cfg)), 0);
}

TEST(ConfigPreset, CodedLevelsApplyAPlainLevelOnLevelSixWithShortLookahead)
{
    struct {
        int32_t code;
        int level;
        int32_t lookahead;
    } cases[] = {
        {0x12000, 0, 16}, {0x14000, 1, 16}, {0x15000, 2, 16}, {0x16000, 3, 16},
        {0x18000, 4, 40}, {0x1A000, 5, 50}, {0x1C000, 6, 16},
    };
    for (auto &c : cases) {
        internal_config cfg;
        EXPECT_EQ(config_preset(&cfg, c.code, 0), 0);
        internal_config want = expected_preset(c.level, 0, 0);
        want.lookahead = c.lookahead;
        expect_same_config(cfg, want, "code " + std::to_string(c.code));
    }
    internal_config cfg;
    EXPECT_EQ(config_preset(&cfg, 0x1B000, 0), PRESET_UNKNOWN_LEVEL);
    internal_config want = expected_preset(6, 0, 0);
    want.lookahead = 16;
    expect_same_config(cfg, want, "unknown code");
}

TEST(ConfigPreset, CodedLevelLookaheadFollowsBframesOfALatencyTune)
{
    // The short lookahead is taken before the tunings: 2 x 7 + 2.
    internal_config cfg;
    EXPECT_EQ(config_preset(&cfg, 0x1C000, 0x20000), 0);
    EXPECT_EQ(cfg.lookahead, 16);
    EXPECT_EQ(cfg.bframes, 1);
    EXPECT_EQ(cfg.latency_mode, 1);
}

TEST(ConfigPreset, ComplexityTwoLowDelay)
{
    internal_config cfg;
    config_preset(&cfg, 2, 0x20000);
    EXPECT_EQ(cfg.bframes, 1);
    EXPECT_EQ(cfg.latency_mode, 1);
    EXPECT_EQ(cfg.halfres_intra, 1);
    EXPECT_EQ(cfg.prefs, 3);
}

}  // namespace
