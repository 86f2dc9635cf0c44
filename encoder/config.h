// The encoder's working configuration. Built in a fixed order: defaults, the
// complexity preset, the content tuning, the latency tuning, the caller's
// public_param fields, then the automatic values and validation. Once the
// encoder is open the record is only read.
#pragma once
#include <cstddef>
#include <cstdint>
#include "bitstream/syntax_values.h"
#include "encoder/picture_types.h"
#include "encoder/torvhevcenc.h"

enum {
    RC_MODE_CQP = 0,
    RC_MODE_ABR = 1,
    RC_MODE_CBR = 2,
    RC_MODE_CRF = 3,
    RC_MODE_LQP = 4,
};

enum {
    LATENCY_ZERO = 0,
    LATENCY_LOW_DELAY = 1,
    LATENCY_NONE = 9,
};

// Limits that keep the thread pools and the scheduler's fixed windows sound.
enum {
    CONFIG_MAX_WORKING_THREADS = 8191,  // the job pool's own cap
    CONFIG_MAX_FRAME_INSTANCES = 64,
    CONFIG_INSTANCE_SLOTS = 8192,       // frame instances + row contexts must fit
    CONFIG_MIN_DIMENSION = 2,           // 4:2:0 chroma needs a sample in each direction
    CONFIG_MAX_DIMENSION = 16888,       // largest H.265 level 6.2 picture side
    CONFIG_MAX_LUMA_SAMPLES = 35651584, // level 6.2 MaxLumaPs
};

// config_preset result bits (no caller acts on them).
enum {
    PRESET_UNKNOWN_LEVEL = 1,
    PRESET_UNKNOWN_TUNE = 4096,
};

struct internal_config {
    uint32_t cpu_flags;
    int32_t working_threads;
    int32_t frame_instances;
    int32_t row_contexts;
    int32_t type_row_limit[PIC_TYPE_COUNT];
    int32_t sei;
    int32_t compat;
    int32_t loglevel;
    int32_t interlace;
    int32_t aspect_ratio_idc;
    int32_t sar_num;
    int32_t sar_den;
    int32_t idr_period;
    int32_t min_idr;
    int32_t open_gop;
    int32_t scenecut;
    int32_t bframes;
    int32_t hierarchy;
    int32_t p_as_b;
    int32_t layer_count;
    int32_t prefs;
    int32_t brefs;
    int32_t complexity;
    int32_t speed_class;
    int32_t metric_selector;
    int32_t rd_extra_weight;
    int32_t early_split_level;
    int32_t me_extra;
    int32_t filter_variant;
    int32_t me_subpel_planes;
    int32_t me_bilinear;
    int32_t tmvp;
    int32_t max_merge_cand;
    int32_t rdoq;
    int32_t sao;
    int32_t cu_option;
    int32_t strong_intra_smoothing;
    int32_t cu_option_b;
    int32_t realtime_rate;
    int32_t realtime_scale;
    int32_t realtime_budget_us;
    int32_t fps_num;
    int32_t fps_den;
    int32_t ctu_option;
    int32_t inter_flag_c;
    int32_t intra_flag_a;
    int32_t coarse_me;
    int32_t halfres_intra;
    int32_t force_qp;
    int32_t pool_threads;
    int32_t aq_mode;
    float aq_strength;
    int32_t subpel_level;
    int32_t rc_mode;
    int32_t grid_cols;
    int32_t grid_rows;
    int32_t pass2;
    char *pass2_stats;
    int32_t pass1;
    char *pass1_stats_buffer;
    // Words no stage of the configuration sets; rate control and other stages
    // may keep state of their own here without changing the record's size.
    int32_t reserved[10];
    // Bit b set (slice type b: B 0, P 1, I 2): the intra check of the fast
    // inter decisions ranks its luma modes on neighbours inside the CTU taken
    // from the source rather than the reconstruction. 0 by default; no preset
    // or option sets it.
    uint32_t intra_source_ref_mask;
    int32_t mbtree;
    int32_t qp_max;
    int32_t qp_min;
    int32_t qp_step;
    int32_t lookahead;
    float qcompress;
    float ip_ratio;
    float b_ratio[3];  // directly after ip_ratio: rate control reads them as one array
    float rate_factor;
    int32_t vbv_bufsize;
    int32_t vbv_maxrate;
    float vbv_init;
    int32_t cbr_window;
    int32_t cbr_maxrate;
    int32_t cbr_minrate;
    // Picture layer (one layer is coded).
    int32_t bitstream_count;
    int32_t width;
    int32_t height;
    int32_t pad_w;
    int32_t pad_h;
    int32_t search_range;
    int32_t mv_margin_v;
    int32_t qp;
    int32_t bitrate;
    float crf;
    int32_t latency_mode;
    int32_t wpp;
};

static_assert(sizeof(internal_config) == 440, "internal_config is 440 bytes");
static_assert(offsetof(internal_config, cpu_flags) == 0, "cpu_flags is the first word");
static_assert(offsetof(internal_config, b_ratio) == offsetof(internal_config, ip_ratio) + 4,
              "b_ratio follows ip_ratio");

// Zeroes the record and stores the defaults (processor flags and count detected).
void config_defaults(internal_config *cfg);

// Defaults, complexity preset, content tuning (tune bits 0-7), latency tuning
// (bits 16-23). The upper 16 bits of complexity choose the family: 0 plain
// levels, 1 coded levels; anything else returns -1 and leaves cfg untouched.
// Otherwise returns 0, or PRESET_UNKNOWN_LEVEL / PRESET_UNKNOWN_TUNE bits.
int config_preset(internal_config *cfg, int32_t complexity, uint32_t tune);

// Fills the automatic values; the first step of config_validate.
void config_auto(internal_config *cfg);

// Fills automatic values, refuses unusable configurations (-1) and clamps
// everything else into range (0). Runs once per configuration: it widens the
// motion margin and pads the picture size, so a second run would not be a no-op.
// Warnings ("Warning: ...") go to stdout, refusals and VBV notes to stderr.
[[nodiscard]] int config_validate(internal_config *cfg);

// Rows by which a picture's CTU rows trail the rows of its references in the
// wavefront schedule: the vertical motion reach below the CTU, and one row
// more with SAO, whose offsets wait for the deblocked row below.
inline int32_t config_reference_row_lag(const internal_config *cfg)
{
    return ((cfg->mv_margin_v + 71) >> 6) + (cfg->sao != 0 ? 1 : 0);
}

// What validation adds to the configured vertical margin (56 by default).
constexpr int32_t MV_MARGIN_V_EXTRA = 64;

// How far right a vector may point, in full samples: 31 samples a picture
// over the eight pictures between a P picture and its reference, and never
// less than the vertical margin.
constexpr int32_t MV_REACH_RIGHT = 248;

inline int32_t config_mv_reach_right(const internal_config *cfg)
{
    return cfg->mv_margin_v > MV_REACH_RIGHT ? cfg->mv_margin_v : MV_REACH_RIGHT;
}

// CTUs by which a row trails the reference row that it waits for: the reach of
// a vector to the right of the CTU, and one more with SAO, as for the rows.
inline int32_t config_reference_col_lag(const internal_config *cfg)
{
    return ((config_mv_reach_right(cfg) + 71) >> 6) + (cfg->sao != 0 ? 1 : 0);
}

// Complexity levels: 0 fastest .. 7 most thorough. From level 5 on the encoder
// codes deeper transform trees, uses the alternative RDOQ and offers no
// latency tunings.
constexpr int32_t COMPLEXITY_DEFAULT = 4;
constexpr int32_t COMPLEXITY_MAX = 7;
constexpr int32_t COMPLEXITY_THOROUGH = 5;
// Constant bitrate codes with the macroblock-tree only with a window of more
// pictures than this (a bucket that can lend an anchor its mini-GOP's bits).
constexpr int32_t CBR_TREE_MIN_WINDOW = 9;
static inline bool complexity_is_thorough(int32_t complexity)
{
    return complexity >= COMPLEXITY_THOROUGH;
}

// From complexity 3 on, chroma distortion weighs twice as much in the mode
// decisions as at the fast settings.
static inline bool config_doubles_chroma_weight(const internal_config *cfg)
{
    return cfg->complexity >= 3;
}

// The create path up to opening the encoder: preset from the record's
// complexity and tune, copy of every field its size covers, aspect-ratio
// indicator. -1 when the complexity names no preset family.
[[nodiscard]] int config_copy_public_param(const public_param *param, internal_config *cfg);

// After a successful open: writes the validated compat and frame-instance count
// back into the record where its size covers them.
void config_write_back(public_param *param, const internal_config *cfg);

// Fills the fields of param that its size covers from cfg, the way
// torvhevcenc_default_param reports defaults.
void config_to_public_param(const internal_config *cfg, public_param *param);
