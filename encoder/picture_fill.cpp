// Filling picture contents: input copy with padding to the coded size, and the
// per-CTU border extension of reconstructed pictures.
#include <cstring>

#include "encoder/picture.h"

namespace {

int32_t coded_plane_width(const picture_geometry *g, int plane)
{
    return plane ? g->width / 2 : g->width;
}

int32_t coded_plane_height(const picture_geometry *g, int plane)
{
    return plane ? g->height / 2 : g->height;
}

bool input_fits(const picture_geometry *g, const input_frame *in)
{
    for (int p = 0; p < 3; p++) {
        if (!in->planes[p] || in->widths[p] < 1 || in->heights[p] < 1) return false;
        if (in->strides[p] < in->widths[p]) return false;
        if (in->widths[p] > coded_plane_width(g, p) || in->heights[p] > coded_plane_height(g, p)) return false;
    }
    return true;
}

void copy_plane(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride, int32_t w, int32_t h)
{
    for (int32_t y = 0; y < h; y++) {
        const uint8_t *s = src + (int64_t)y * src_stride;
        uint8_t *d = dst + (int64_t)y * dst_stride;
        if (y + 1 < h) {
            __builtin_prefetch(s + src_stride);
            __builtin_prefetch(d + dst_stride, 1);
        }
        std::memcpy(d, s, (size_t)w);
    }
}

// Rows first..last of one plane: side margins by replication of the edge samples.
void extend_sides(uint8_t *origin, int32_t stride, int32_t first, int32_t last, int32_t width, int32_t margin,
                  bool left, bool right)
{
    for (int32_t y = first; y <= last; y++) {
        uint8_t *row = origin + (int64_t)y * stride;
        if (left) std::memset(row - margin, row[0], (size_t)margin);
        if (right) std::memset(row + width, row[width - 1], (size_t)margin);
    }
}

// Copies row `from` into `count` rows starting at `to` (step +1 or -1), columns c0..c1.
void replicate_row(uint8_t *origin, int32_t stride, int32_t from, int32_t to, int32_t step, int32_t count,
                   int32_t c0, int32_t c1)
{
    const uint8_t *src = origin + (int64_t)from * stride + c0;
    for (int32_t i = 0; i < count; i++)
        std::memcpy(origin + (int64_t)(to + i * step) * stride + c0, src, (size_t)(c1 - c0 + 1));
}

}  // namespace

int picture_load_input(const picture_geometry *geometry, picture *pic, const input_frame *input)
{
    if (!geometry || !pic || !input || !input_fits(geometry, input)) return -1;
    pic->picture_type = input->picture_type;
    pic->input_word = input->input_word;
    pic->pts = input->pts;
    pic->dts = input->pts;
    pic->user_value = input->user_value;
    for (int p = 0; p < 3; p++)
        copy_plane(pic->planes[p], pic->strides[p], input->planes[p], input->strides[p], input->widths[p],
                   input->heights[p]);
    picture_pad_input(geometry, pic, input);
    return 0;
}

void picture_pad_input(const picture_geometry *geometry, picture *pic, const input_frame *input)
{
    for (int p = 0; p < 3; p++) {
        int32_t w = input->widths[p], h = input->heights[p];
        int32_t cw = coded_plane_width(geometry, p), ch = coded_plane_height(geometry, p);
        uint8_t *origin = pic->planes[p];
        int32_t stride = pic->strides[p];
        if (cw > w)
            for (int32_t y = 0; y < h; y++) {
                uint8_t *row = origin + (int64_t)y * stride;
                std::memset(row + w, row[w - 1], (size_t)(cw - w));
            }
        if (ch > h) replicate_row(origin, stride, h - 1, h, 1, ch - h, 0, cw - 1);
    }
}

// Deblocking and SAO of the next CTU may still change the last 3 luma columns
// of this CTU and the last 3 luma rows of this CTU row, so each call covers a
// region shifted up and left by 3 luma samples (chroma: halved, rounded down).
void picture_ctu_border_extend(const picture_geometry *geometry, picture *pic, int32_t ctu_y, int32_t ctu_x)
{
    const picture_geometry *g = geometry;
    if (ctu_x < 0 || ctu_y < 0 || ctu_x >= g->ctu_cols || ctu_y >= g->ctu_rows) return;
    bool first_x = ctu_x == 0, last_x = ctu_x == g->ctu_cols - 1;
    bool first_y = ctu_y == 0, last_y = ctu_y == g->ctu_rows - 1;
    int32_t w = g->width, h = g->height;

    int32_t row0 = 64 * ctu_y - 3 < 0 ? 0 : 64 * ctu_y - 3;
    int32_t row1 = last_y ? h - 1 : 64 * ctu_y + 60;
    int32_t c0 = first_x ? -PICTURE_LUMA_MARGIN_X : 64 * ctu_x - 3;
    int32_t c1 = last_x ? 64 * g->ctu_cols + PICTURE_LUMA_MARGIN_X - 1 : 64 * ctu_x + 60;
    uint8_t *luma = pic->planes[0];
    int32_t ls = pic->strides[0];
    extend_sides(luma, ls, row0, row1, w, PICTURE_LUMA_MARGIN_X, first_x, last_x);
    if (first_y) replicate_row(luma, ls, 0, -1, -1, PICTURE_LUMA_MARGIN_Y, c0, c1);
    if (last_y) replicate_row(luma, ls, h - 1, h, 1, PICTURE_LUMA_MARGIN_Y, c0, c1);

    int32_t crow0 = row0 >> 1;
    int32_t crow1 = last_y ? h / 2 - 1 : 32 * ctu_y + 29;
    int32_t cc0 = first_x ? -PICTURE_CHROMA_MARGIN_X : (64 * ctu_x - 3) >> 1;
    int32_t cc1 = last_x ? 32 * g->ctu_cols + PICTURE_CHROMA_MARGIN_X - 1 : ((64 * ctu_x - 3) >> 1) + 31;
    for (int p = 1; p < 3; p++) {
        uint8_t *origin = pic->planes[p];
        int32_t cs = pic->strides[p];
        extend_sides(origin, cs, crow0, crow1, w / 2, PICTURE_CHROMA_MARGIN_X, first_x, last_x);
        if (first_y) replicate_row(origin, cs, 0, -1, -1, PICTURE_CHROMA_MARGIN_Y, cc0, cc1);
        if (last_y) replicate_row(origin, cs, h / 2 - 1, h / 2, 1, PICTURE_CHROMA_MARGIN_Y, cc0, cc1);
    }
}
