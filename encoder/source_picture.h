// Preparing a source picture for the lookahead: padded luma, half-resolution
// planes with replicated borders, and reset lookahead results.
#pragma once
#include <cstdint>

#include "kernels/mc/lowres_planes.h"

struct picture;

// What the preparation reads of the encoder: coded size, configuration and
// the two half-resolution kernels of the motion-compensation table.
struct lowres_build_params {
    int32_t width;          // coded size in luma samples
    int32_t height;
    int32_t subpel_level;   // 3 or more: new pictures take the phase builder's plane
    int32_t bframes;
    lowres_plane_func build_lowres_planes;
    lowres_plane_func downscale_2x2_plane;
    uint8_t *phase_scratch; // lowres_phase_scratch_bytes; null: always the 2x2 downscale
};

// The half-resolution plane of a source picture with replicated borders; for a
// new picture also reset lookahead results. At subpel_level 3 and above a new
// picture's plane is plane 0 of the phase builder (rounded), else the 2x2
// downscale (truncated).
void picture_lowres_build(const lowres_build_params *params, picture *pic, int32_t is_new);
// Bytes of the scratch in which the phase builder leaves the phase planes of
// one strip.
int64_t lowres_phase_scratch_bytes(int32_t lowres_stride);
// Copies the half-resolution plane of a source picture, margins included,
// into a reconstructed picture that carries one, so that the reference keeps
// it after the source picture has gone back to its pool.
void picture_lowres_copy(picture *dst, const picture *src);
// Replicates the edge samples into 96 columns left and right and 88 rows above
// and below the plane (corners included).
void plane_border_extend(uint8_t *plane, int32_t width, int32_t height, int32_t stride);
