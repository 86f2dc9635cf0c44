// The frame instance: one picture in flight with its picture state (handed
// on whole to the next frame instance in the rotation), reference list, NAL
// list and substreams, picture-wide tables, rate-control record and
// statistics, and the context of its row 0. It borrows the encoder
// (encoder/encoder_instance.h).
#pragma once
#include <cstdint>

#include "bitstream/rps.h"
#include "encoder/nal_units.h"
#include "encoder/picture.h"
#include "encoder/row_context.h"
#include "encoder/slice_header.h"

struct picture_list;

// Per-picture counters and plane distortions of a frame instance.
struct statistics_block {
    row_statistics picture_sums;      // sums of the rows of the current picture
    uint64_t ssd[3];                  // Y, U, V of the last finished picture
};

// Buffers of one frame instance's picture shared by its row contexts.
struct ctu_picture_tables {
    uint8_t *edge[ENCODER_MAP_COUNT];         // 16 bytes per CTU each
    uint8_t *deblock_bs_map;                  // 256 bytes per CTU
    uint8_t *depth_cost_counts;               // 4 per CTU
    uint32_t *depth_cost_sums;                // 4 per CTU
    uint8_t *above_lines;                     // N x 64 luma, N x 32 Cb, N x 32 Cr
    uint32_t *cbr_ctu_bits;                   // constant bitrate only
    uint8_t *ctu_depth_min;                   // per CTU, narrowed by the tree walk: the
    uint8_t *ctu_depth_max;                   // reconstructed picture's arrays
    // SAO parameters of the picture: luma, Cb, Cr, one record per CTU in
    // raster order. The decision writes them, merges read the left and upper
    // records, the syntax writer codes them and the application reads them
    // one CTU behind.
    sao_param *sao_params[3];
};

// The state of the picture a frame instance codes that the next frame
// instance in the rotation starts from: the last picture's slice record,
// reference set and lists, and its source and reconstruction (the
// reconstruction goes into the next picture's reference list). Set up on the
// caller's thread before the rows are registered; the rows only read it.
struct picture_state {
    uint32_t nal_unit_type;
    int32_t slice_class;                      // 2 I, 1 P, 0 B
    slice_header sh;
    short_term_rps rps;
    picture *source_picture;
    picture *recon_picture;
    int32_t ref_count_l0;
    picture *list0[ENCODER_MAX_REFS];
    int32_t ref_count_l1;
    picture *list1[ENCODER_MAX_REFS];
    int16_t active_refs[2];
    int32_t rps_pocs[2][PICTURE_MAX_REFS];    // every kept picture, nearest first
    int32_t rps_pocs_count[2];
};

// One picture in flight.
struct frame_instance {
    encoder_instance *enc;                    // borrowed
    row_context *row0;                        // own: the context coding CTU row 0
    picture_state pic;                        // handed on to the next frame instance
    picture_list *reference_list;             // own; references handed on by the previous frame instance
    int32_t submitted;                        // the picture's rows are registered and not yet collected
    int32_t first_row_context;                // row rotation position of row 1

    // output
    frame_bitstream bitstream;                // NAL list, bitstream buffer and writer
    uint8_t *substream_buffer;                // the single substream without wavefront rows, and row 0's
    int32_t substream_size;                   // with them
    int32_t *substream_sizes;                 // one per CTU row; element -1 = bytes copied so far
    int32_t *substream_sizes_block;
    uint8_t *slice_data;
    ep_scan_state ep_state;                   // emulation-prevention count across row substreams

    // picture buffers shared by the rows
    ctu_picture_tables tables;
    uint8_t *recon_planes[3];
    int32_t recon_strides[3];

    ratecontrol *rc;                          // own record of the rate control
    statistics_block stats;
};

// ---- per-picture driver ------------------------------------------------------------

// Both return 0, or -1 when a reference finds no room in the reference list.
[[nodiscard]] int32_t frame_instance_handover(frame_instance *cur, frame_instance *prev);
// Once a frame instance's reference list has been handed on, only its own
// picture reads it, through list 0 and list 1, and only while it is being
// coded: every other entry is released, so that a reference leaves with its
// sub-sample planes as soon as the newer lists drop it too.
void references_keep_predicted(frame_instance *fi);
[[nodiscard]] int32_t dpb_update(frame_instance *fi);
void ref_lists_build(frame_instance *fi, int32_t poc, int32_t ra_period);
void ref_list1_from_list0(frame_instance *fi);
void slice_header_fill(frame_instance *fi, int32_t qp);
// Gives row y of fi's current picture to a row context.
void row_context_assign(row_context *row, frame_instance *fi, int32_t y);
// The context that codes row y of fi's current picture.
row_context *row_context_of(const frame_instance *fi, int32_t y);

[[nodiscard]] int32_t picture_tables_alloc(frame_instance *fi);
void picture_tables_free(frame_instance *fi);
void frame_recon_pointers_load(frame_instance *fi);

// What one collected picture hands back.
struct frame_output {
    uint32_t type;
    int64_t pts;
    int64_t dts;
    int32_t height[3];
    int32_t width[3];
    int32_t stride[3];
    uint8_t *plane[3];
    float psnr_y, psnr_u, psnr_v;
    float psnr_global;
    float mean_qp;
};

// ---- output collection -------------------------------------------------------------

[[nodiscard]] int32_t encoder_collect_output(frame_instance *fi, frame_instance *cur, nal_entry **out_nals,
                               uint32_t *out_nal_count, frame_output *out);
void picture_ssd_compute(frame_instance *fi);
// PSNR of one plane from its SSD and visible sample count.
float psnr_from_ssd(uint64_t ssd, int64_t samples);

