#include "encoder/source_picture.h"

#include <cstring>

#include "encoder/picture.h"

namespace {

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
    for (int32_t y = h; y < h + 3; y++) std::memcpy(luma + (int64_t)y * stride, last, (size_t)w + 16);
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

void lowres_planes_border_extend(picture *pic)
{
    for (int i = 0; i < PICTURE_LOWRES_PLANES; i++)
        if (pic->lowres_planes[i])
            plane_border_extend(pic->lowres_planes[i], pic->lowres_width, pic->lowres_height, pic->lowres_stride);
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
    bool phases = params->subpel_level >= 3 && is_new && pic->lowres_planes[15];
    lowres_plane_func build = phases ? params->build_lowres_planes : params->downscale_2x2_plane;
    build(pic->lowres_planes, pic->lowres_stride, pic->planes[0], pic->strides[0], pic->lowres_width,
          pic->lowres_height);
    if (phases)
        lowres_planes_border_extend(pic);
    else
        plane_border_extend(pic->lowres_plane, pic->lowres_width, pic->lowres_height, pic->lowres_stride);
    if (is_new) reset_lookahead_results(pic, params->bframes);
}
