// Pooled pictures: three padded 8-bit planes in one buffer plus everything the
// encoder derives from a picture (half-resolution planes and lookahead arrays of
// source pictures; sub-sample planes, motion field and per-CTU data of
// reconstructed pictures). Pictures are reference-counted and go back to their
// pool's free list when the last reference is dropped.
#pragma once
#include <cstdint>

struct picture_list;
struct row_scheduler;

enum {
    PICTURE_LUMA_MARGIN_X = 96,
    PICTURE_LUMA_MARGIN_Y = 88,
    PICTURE_CHROMA_MARGIN_X = 48,
    PICTURE_CHROMA_MARGIN_Y = 44,
    PICTURE_LOWRES_PAD_ROWS = 3, // luma rows below the picture that the half-resolution build reads
    PICTURE_GRID = 17,           // lookahead cells per reference distance (0..16)
    PICTURE_MAX_DISTANCE = 16,
    PICTURE_MAX_BFRAMES = 15,    // distances 0..bframes + 1 must fit the grid
    PICTURE_LOWRES_PLANES = 16,
    PICTURE_MAX_REFS = 8,
    PICTURE_POOL_SOURCE = 0,
    PICTURE_POOL_RECON = 1,
};

// What a picture's shape depends on. The encoder instance fills it once at open
// from its geometry and configuration.
struct picture_geometry {
    int32_t width;          // coded width and height in luma samples (multiples of 8)
    int32_t height;
    int32_t ctu_cols;       // (width + 63) / 64
    int32_t ctu_rows;       // (height + 63) / 64
    int32_t bframes;        // configured B-frames, 0..15
    int32_t aq;             // non-zero: adaptive quantisation arrays on source pictures
    int32_t motion_l1;      // non-zero: B-frames or P pictures coded as B (list-1 motion)
    int32_t subpel_planes;  // non-zero: reconstructed pictures carry sub-sample planes
    int32_t halfres_recon;  // non-zero: reconstructed pictures carry a half-resolution plane
};

// The sub-sample planes of one reconstructed picture: the three half-sample
// phases (horizontal, vertical, both) as 8-bit planes, each laid out like the
// luma plane. The twelve quarter-sample phases are not kept: every reference
// in the decoded picture buffer and in the lists of the pictures in flight
// keeps a set, fifteen planes a set held five times the memory of the
// pictures themselves, and the searches interpolate a phase that has no plane
// to the same samples. The 16-bit horizontal planes they are built from live
// only while a CTU thread builds them (ctu_thread_work).
enum {
    PICTURE_SUBPEL_SET_PLANES = 3,
    PICTURE_PHASE_HALF_X = 2,      // plane index 4 * (vy & 3) + (vx & 3)
    PICTURE_PHASE_HALF_Y = 8,
    PICTURE_PHASE_HALF_XY = 10,
};
struct picture_subpel_set {
    uint8_t *phases;
};

// The two pools of one encoder: 0 source pictures, 1 reconstructed pictures.
// The scheduler (may be null) gets back the record of a released reconstruction.
// Sub-sample planes belong to reference pictures only: a reconstruction
// gives its set back when it returns to the pool, and the next reference
// takes a spare set before a new one is made.
struct picture_pools {
    picture_geometry geometry;
    picture_list *free_list[2];
    row_scheduler *scheduler;
    picture_subpel_set *subpel_spares;
    int32_t subpel_spare_count, subpel_spare_capacity;
};

// One input picture as the encode call hands it over.
struct input_frame {
    uint32_t picture_type;  // requested type
    uint32_t input_word;
    int64_t pts;
    int32_t heights[3];
    int32_t widths[3];
    int32_t strides[3];
    const uint8_t *planes[3];
    uint64_t user_value;
};

struct picture {
    // identity and timing
    int32_t poc;
    uint32_t picture_type;      // 0 undecided, 1 IDR, 2 CRA, 3 I, 4 P, 5 reference B, 6 B
    int64_t pts;
    int64_t coded_dts;          // reconstructed pictures: dts of the source picture coded
    int64_t dts;                // source pictures: pts on input, coding order from the lookahead
    int32_t frame_number;       // display order from 0
    int32_t ra_period;
    uint32_t input_word;
    int32_t pool;
    uint32_t is_reference;
    uint32_t field_parity;      // 0 progressive, 1 / 2 the two fields
    uint8_t lookahead_state;
    uint8_t lookahead_mark;     // 0 from picture_get
    uint8_t layer;              // B-pyramid level
    uint8_t scenecut_candidate; // 1 from picture_get
    uint16_t p_layer;
    int16_t ref_distance_past;  // chosen low-resolution distances, -1 = none
    int16_t ref_distance_future;

    // plane geometry (luma, Cb, Cr)
    int32_t plane_count;
    int32_t strides[3];
    int32_t widths[3];
    int32_t heights[3];
    uint8_t *planes[3];
    uint8_t *deblock_planes[3];
    uint8_t *plane_buffer;
    uint8_t *array_block;       // the per-block and per-CTU arrays below, in one zeroed block

    // sub-sample luma planes of reference pictures: [0] the luma plane, the
    // half-sample phases in their set, null for the quarter-sample phases
    uint8_t *subpel_planes[16];
    uint8_t *subpel_buffer;

    // motion field and per-unit data of reconstructed pictures
    uint8_t *intra_mode_map;    // one byte per 4x4 unit
    uint32_t *mv_map[2];        // packed vector per 8x8 unit; list 1 only with B
    int8_t *ref_idx_map[2];     // reference index per 8x8 unit; list 1 only with B

    // reference tables of reconstructed pictures
    int32_t ref_count[2];
    int32_t ref_pocs[2][PICTURE_MAX_REFS];
    int32_t ref_frame_numbers[2][PICTURE_MAX_REFS];

    // per-CTU data of reconstructed pictures
    uint32_t *ctu_recon_distortion;
    uint8_t *ctu_max_depth;     // deepest and shallowest CU depth coded in each CTU
    uint8_t *ctu_min_depth;
    uint32_t *ctu_cost;
    uint8_t *ctu_qps;

    // half-resolution plane of source pictures (reconstructed pictures hold a
    // copy of their source's plane when the geometry asks for it); its 15
    // quarter-sample phases are not kept (no reader), so lowres_planes[1..15]
    // stay null
    int32_t lowres_stride;
    int32_t lowres_width;
    int32_t lowres_height;
    uint8_t *lowres_plane;
    uint8_t *lowres_planes[PICTURE_LOWRES_PLANES];
    uint8_t *lowres_buffer;

    uint32_t lowres_intra_done;

    // lookahead per-block arrays of source pictures (blocks = 16 per CTU)
    uint32_t *intra_costs;      // = lowres_costs[0][0]
    uint32_t *propagate_costs;
    uint16_t *aq_weight;
    float *aq_qp_offset;
    float *mbtree_qp_offset;
    uint32_t mbtree_offsets_apply;

    int32_t frame_cost[PICTURE_GRID][PICTURE_GRID];
    int32_t frame_cost_aq[PICTURE_GRID][PICTURE_GRID];
    int32_t *row_costs[PICTURE_GRID][PICTURE_GRID];  // CTU rows entries each
    int32_t *ctu_costs[PICTURE_GRID][PICTURE_GRID];  // CTU count entries each
    int32_t *row_costs_block;
    int32_t *ctu_costs_block;
    int32_t frame_cost_rc;
    int32_t *row_costs_rc;
    int32_t *ctu_costs_rc;

    // rate-control arrays of reconstructed pictures
    int32_t *vbv_row_bits;
    float *vbv_row_qscale;
    float *vbv_row_qp;
    int32_t *vbv_ctu_bits;
    int32_t *vbv_ctu_cost;
    // The row QP every row starts from and the picture's place in coding
    // order, both fixed when rate control starts the picture, before its rows
    // are scheduled: what a picture predicting from this one reads while the
    // rows' own QPs may still change.
    float vbv_start_qp;
    float vbv_start_qscale;
    int32_t rc_coding_number;
    float qp_plan_avg;
    float qp_coded_avg;

    // low-resolution motion of source pictures: distance d at index d - 1
    uint32_t *lowres_mvs[2][PICTURE_MAX_DISTANCE];
    uint32_t *lowres_mv_costs[2][PICTURE_MAX_DISTANCE];

    // per-block costs by reference distances (source pictures)
    uint32_t *lowres_costs[PICTURE_GRID][PICTURE_GRID];
    uint32_t *lowres_intra_score[PICTURE_GRID];
    uint32_t *lowres_costs_block;

    uint64_t user_value;
    uint32_t encode_mark;       // -1 when made and at the start of each encode call
    uint32_t reference_count;
};

// Creates both free lists (capacities per pool). 0, or -1 with nothing left made.
[[nodiscard]] int picture_pools_init(picture_pools *pools, const picture_geometry *geometry,
                       int32_t source_capacity, int32_t recon_capacity, row_scheduler *scheduler);
// Frees both lists and every picture on them.
void picture_pools_destroy(picture_pools *pools);

// A new picture of the pool, or null (everything made is freed) on failure or
// on a geometry the buffers cannot hold.
[[nodiscard]] picture *picture_alloc(const picture_geometry *geometry, int32_t pool);
// A picture with reference count 1: the most recently released one of the
// pool, or a new one. Null on failure.
[[nodiscard]] picture *picture_get(picture_pools *pools, int32_t pool);
// Drops one reference; at 0 the picture returns to its pool (a reconstruction
// first gives back its scheduler record). A picture already at 0 is left alone.
void picture_release(picture_pools *pools, picture *pic);
// Releases every buffer of a picture and the record itself; null is ignored.
void picture_free(picture *pic);
// Gives a reconstructed picture that is to serve as a reference its
// sub-sample planes (when the geometry asks for them): a spare set, else a
// new one. 0, or -1 when no set could be made.
[[nodiscard]] int picture_subpel_attach(picture_pools *pools, picture *pic);

// What loading an input into a source picture writes: the rows of each plane
// (luma with the rows padded below it for the half-resolution build) and the
// whole half-resolution plane. Returns their count.
int32_t picture_input_spans(const picture_geometry *geometry, const picture *pic, uint8_t *bases[4],
                            int64_t sizes[4]);
// Stride of the luma plane: 64 per CTU column plus the two 96-column margins.
int32_t picture_luma_stride(const picture_geometry *geometry);
// Stride of the half-resolution plane: its width rounded up to 16 plus the
// two 96-column margins.
int32_t picture_lowres_stride(const picture_geometry *geometry);

// Copies the input into a source picture and pads it to the coded size.
// 0, or -1 when a plane is empty or larger than the coded size.
[[nodiscard]] int picture_load_input(const picture_geometry *geometry, picture *pic, const input_frame *input);
// Repeats the last source column and row of every plane up to the coded size.
void picture_pad_input(const picture_geometry *geometry, picture *pic, const input_frame *input);
// Fills the margins next to CTU (ctu_x, ctu_y) of a reconstructed picture once
// its samples are final (shifted up and left by 3 luma samples).
void picture_ctu_border_extend(const picture_geometry *geometry, picture *pic, int32_t ctu_y, int32_t ctu_x);
