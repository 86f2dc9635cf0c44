#include "encoder/source_picture.h"

#include <cstring>

#include "encoder/picture.h"

namespace {

enum { LOWRES_STRIP_ROWS = 16 };   // rows of one strip of the phase builder

// The half-resolution builders read up to three samples past the coded luma.
void pad_luma_for_lowres(picture *pic, int32_t w, int32_t h)
{
    uint8_t *luma = pic->planes[0];
    int32_t stride = pic->strides[0];
    for (int32_t y = 0; y < h; y++) {
        uint8_t *row = luma + (int64_t)y * stride;
        std::memset(row + w, row[w - 1], 3);
    }
    const uint8_t *last = luma + (int64_t)(h - 1) * stride;
    for (int32_t y = h; y < h + PICTURE_LOWRES_PAD_ROWS; y++) std::memcpy(luma + (int64_t)y * stride, last, (size_t)w + 16);
}

void reset_lookahead_results(picture *pic, int32_t bframes)
{
    for (int i = 0; i < PICTURE_GRID; i++)
        for (int j = 0; j < PICTURE_GRID; j++) {
            pic->frame_cost[i][j] = -1;
            pic->row_costs[i][j][0] = -1;
        }
    int lists = bframes > 0 ? 2 : 1;
    for (int l = 0; l < lists; l++)
        for (int d = 0; d <= bframes && d < PICTURE_MAX_DISTANCE; d++) {
            uint32_t *mv = pic->lowres_mvs[l][d];
            if (mv) mv[0] = (mv[0] & 0xFFFF0000u) | 0x7FFFu;   // x of block 0: not searched yet
        }
}

// The phase builder over strips of rows: plane 0 goes into the picture, the 15
// phase planes into the scratch, which every strip overwrites. Plane 0 is the
// builder's rounded plane (the 2x2 downscale truncates), so the strips give the
// very samples one call over the whole plane gives.
void build_rounded_plane(const lowres_build_params *params, picture *pic)
{
    int32_t stride = pic->lowres_stride, src_stride = pic->strides[0];
    uint8_t *planes[PICTURE_LOWRES_PLANES];
    for (int i = 1; i < PICTURE_LOWRES_PLANES; i++)
        planes[i] = params->phase_scratch + (int64_t)(i - 1) * (LOWRES_STRIP_ROWS + 1) * stride;
    for (int32_t y = 0; y < pic->lowres_height; y += LOWRES_STRIP_ROWS) {
        int32_t rows = pic->lowres_height - y < LOWRES_STRIP_ROWS ? pic->lowres_height - y : LOWRES_STRIP_ROWS;
        planes[0] = pic->lowres_plane + (int64_t)y * stride;
        params->build_lowres_planes(planes, stride, pic->planes[0] + (int64_t)2 * y * src_stride, src_stride,
                                    pic->lowres_width, rows);
    }
}

}  // namespace

void plane_border_extend(uint8_t *plane, int32_t width, int32_t height, int32_t stride)
{
    const int32_t mx = PICTURE_LUMA_MARGIN_X, my = PICTURE_LUMA_MARGIN_Y;
    for (int32_t y = 0; y < height; y++) {
        uint8_t *row = plane + (int64_t)y * stride;
        std::memset(row - mx, row[0], mx);
        std::memset(row + width, row[width - 1], mx);
    }
    size_t span = (size_t)width + 2 * mx;
    for (int32_t i = 1; i <= my; i++) {
        std::memcpy(plane - (int64_t)i * stride - mx, plane - (int64_t)(i - 1) * stride - mx, span);
        uint8_t *below = plane + (int64_t)(height - 1 + i) * stride - mx;
        std::memcpy(below, below - stride, span);
    }
}

int64_t lowres_phase_scratch_bytes(int32_t lowres_stride)
{
    return (int64_t)(PICTURE_LOWRES_PLANES - 1) * (LOWRES_STRIP_ROWS + 1) * lowres_stride;
}

void picture_lowres_copy(picture *dst, const picture *src)
{
    if (!dst->lowres_buffer || !src->lowres_buffer) return;
    // Both planes have the shape the pictures' common geometry gives them.
    size_t bytes = (size_t)(src->lowres_height + 2 * (int64_t)PICTURE_LUMA_MARGIN_Y) * (size_t)src->lowres_stride;
    std::memcpy(dst->lowres_buffer, src->lowres_buffer, bytes);
}

void picture_lowres_build(const lowres_build_params *params, picture *pic, int32_t is_new)
{
    pad_luma_for_lowres(pic, params->width, params->height);
    if (params->subpel_level >= 3 && is_new && params->phase_scratch)
        build_rounded_plane(params, pic);
    else
        params->downscale_2x2_plane(pic->lowres_planes, pic->lowres_stride, pic->planes[0], pic->strides[0],
                                    pic->lowres_width, pic->lowres_height);
    plane_border_extend(pic->lowres_plane, pic->lowres_width, pic->lowres_height, pic->lowres_stride);
    if (is_new) reset_lookahead_results(pic, params->bframes);
}
