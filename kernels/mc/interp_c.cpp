// Portable luma (8-tap, quarter-sample) and chroma (4-tap, eighth-sample)
// interpolation: the H.265 fractional sample interpolation process at 8 bits
// (clause 8.5.3.3.3), finished as a uni-directional prediction (8-bit) or kept
// as the biased 14-bit intermediate that bi-prediction averages (16-bit).
#include <cstddef>

#include "encoder/int_math.h"
#include "kernels/mc/mc.h"

const int16_t mc_luma_filter[4][8] = {
    {0, 0, 0, 64, 0, 0, 0, 0},
    {-1, 4, -10, 58, 17, -5, 1, 0},
    {-1, 4, -11, 40, 40, -11, 4, -1},
    {0, 1, -5, 17, 58, -10, 4, -1},
};

const int16_t mc_chroma_filter[8][4] = {
    {0, 64, 0, 0},   {-2, 58, 10, -2}, {-4, 54, 16, -2}, {-6, 46, 28, -4},
    {-4, 36, 36, -4}, {-4, 28, 46, -6}, {-2, 16, 54, -4}, {-2, 10, 58, -2},
};

namespace {

// Two-direction work is done in tiles so the intermediate stays on the stack
// at any block size (the sub-sample plane builder asks for whole CTU regions).
const int LUMA_TILE = 64;
const int CHROMA_TILE = 32;

inline int32_t luma_taps(const int16_t *c, const uint8_t *p, ptrdiff_t step)
{
    int32_t s = 0;
    for (int i = 0; i < 8; i++) s += c[i] * p[(i - 3) * step];
    return s;
}

inline int32_t chroma_taps(const int16_t *c, const uint8_t *p, ptrdiff_t step)
{
    return c[0] * p[-step] + c[1] * p[0] + c[2] * p[step] + c[3] * p[2 * step];
}

inline ptrdiff_t at(int32_t x, int32_t y, int32_t stride)
{
    return (ptrdiff_t)y * stride + x;
}

// Raw vertical sums over the horizontal sums of one luma tile (at most 64x64),
// into sum (stride 64). The horizontal sums come from the 8-bit samples, or
// from the biased horizontal plane hp of the same phase when there is one.
void luma_2d_tile(int32_t *sum, const uint8_t *p, const int16_t *hp, int32_t stride, int fx, int fy, int w, int h)
{
    int16_t t[(LUMA_TILE + 7) * LUMA_TILE];
    const int16_t *c_h = mc_luma_filter[fx];
    const int16_t *c_v = mc_luma_filter[fy];
    for (int r = 0; r < h + 7; r++) {
        ptrdiff_t row = at(0, r - 3, stride);
        int16_t *tr = t + r * LUMA_TILE;
        if (hp)
            for (int x = 0; x < w; x++) tr[x] = (int16_t)(hp[row + x] + MC_INTERMEDIATE_BIAS);
        else
            for (int x = 0; x < w; x++) tr[x] = (int16_t)luma_taps(c_h, p + row + x, 1);
    }
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int32_t s = 0;
            for (int i = 0; i < 8; i++) s += c_v[i] * t[(y + i) * LUMA_TILE + x];
            sum[y * LUMA_TILE + x] = s;
        }
}

void chroma_2d_tile(int32_t *sum, const uint8_t *p, int32_t stride, int fx, int fy, int w, int h)
{
    int16_t t[(CHROMA_TILE + 3) * CHROMA_TILE];
    const int16_t *c_h = mc_chroma_filter[fx];
    const int16_t *c_v = mc_chroma_filter[fy];
    for (int r = 0; r < h + 3; r++) {
        const uint8_t *row = p + at(0, r - 1, stride);
        for (int x = 0; x < w; x++) t[r * CHROMA_TILE + x] = (int16_t)chroma_taps(c_h, row + x, 1);
    }
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const int16_t *c = t + y * CHROMA_TILE + x;
            sum[y * CHROMA_TILE + x] = c_v[0] * c[0] + c_v[1] * c[CHROMA_TILE] + c_v[2] * c[2 * CHROMA_TILE] +
                                       c_v[3] * c[3 * CHROMA_TILE];
        }
}

// Runs a two-direction tile worker over the whole block; store(x, y, tile sums,
// tile width, tile height) writes the tile's part of the destination.
template <typename Tile, typename Store>
void for_each_tile(int32_t w, int32_t h, int tile, Tile run, Store store)
{
    int32_t sum[LUMA_TILE * LUMA_TILE];
    for (int32_t y0 = 0; y0 < h; y0 += tile)
        for (int32_t x0 = 0; x0 < w; x0 += tile) {
            int tw = w - x0 < tile ? (int)(w - x0) : tile;
            int th = h - y0 < tile ? (int)(h - y0) : tile;
            run(sum, x0, y0, tw, th);
            store(sum, x0, y0, tw, th);
        }
}

}  // namespace

void interp_luma_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, const int16_t *const *hplanes,
                   int32_t ref_stride, int32_t mvx, int32_t mvy, int32_t w, int32_t h)
{
    int fx = mvx & 3, fy = mvy & 3;
    ptrdiff_t origin = at(mvx >> 2, mvy >> 2, ref_stride);
    const uint8_t *p = ref + origin;
    const int16_t *hp = (hplanes && fx) ? hplanes[fx - 1] + origin : nullptr;
    if (w < 1 || h < 1) return;
    if (!fx && !fy) {
        block_copy_c(dst, dst_stride, p, ref_stride, w, h);
    } else if (!fy) {
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++) {
                ptrdiff_t o = at(x, y, ref_stride);
                int32_t s = hp ? hp[o] + MC_INTERMEDIATE_BIAS : luma_taps(mc_luma_filter[fx], p + o, 1);
                dst[at(x, y, dst_stride)] = clip_pixel((s + 32) >> 6);
            }
    } else if (!fx) {
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++)
                dst[at(x, y, dst_stride)] =
                    clip_pixel((luma_taps(mc_luma_filter[fy], p + at(x, y, ref_stride), ref_stride) + 32) >> 6);
    } else {
        for_each_tile(
            w, h, LUMA_TILE,
            [&](int32_t *sum, int32_t x0, int32_t y0, int tw, int th) {
                ptrdiff_t o = at(x0, y0, ref_stride);
                luma_2d_tile(sum, p + o, hp ? hp + o : nullptr, ref_stride, fx, fy, tw, th);
            },
            [&](const int32_t *sum, int32_t x0, int32_t y0, int tw, int th) {
                for (int y = 0; y < th; y++)
                    for (int x = 0; x < tw; x++)
                        dst[at(x0 + x, y0 + y, dst_stride)] = clip_pixel((sum[y * LUMA_TILE + x] + 2048) >> 12);
            });
    }
}

const int16_t *interp_luma_16bit_c(int16_t *dst, int32_t *dst_stride, const uint8_t *ref,
                                   const int16_t *const *hplanes, int32_t ref_stride, int32_t mvx, int32_t mvy,
                                   int32_t w, int32_t h)
{
    int fx = mvx & 3, fy = mvy & 3;
    ptrdiff_t origin = at(mvx >> 2, mvy >> 2, ref_stride);
    const uint8_t *p = ref + origin;
    const int16_t *hp = (hplanes && fx) ? hplanes[fx - 1] + origin : nullptr;
    // The horizontal plane already is this prediction, biased like every other.
    if (hp && !fy) {
        *dst_stride = ref_stride;
        return hp;
    }
    int32_t ds = *dst_stride;
    if (w < 1 || h < 1) return dst;
    if (!fy) {
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++)
                dst[at(x, y, ds)] =
                    (int16_t)(luma_taps(mc_luma_filter[fx], p + at(x, y, ref_stride), 1) - MC_INTERMEDIATE_BIAS);
    } else if (!fx) {
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++)
                dst[at(x, y, ds)] = (int16_t)(luma_taps(mc_luma_filter[fy], p + at(x, y, ref_stride), ref_stride) -
                                              MC_INTERMEDIATE_BIAS);
    } else {
        for_each_tile(
            w, h, LUMA_TILE,
            [&](int32_t *sum, int32_t x0, int32_t y0, int tw, int th) {
                ptrdiff_t o = at(x0, y0, ref_stride);
                luma_2d_tile(sum, p + o, hp ? hp + o : nullptr, ref_stride, fx, fy, tw, th);
            },
            [&](const int32_t *sum, int32_t x0, int32_t y0, int tw, int th) {
                for (int y = 0; y < th; y++)
                    for (int x = 0; x < tw; x++)
                        dst[at(x0 + x, y0 + y, ds)] =
                            (int16_t)((sum[y * LUMA_TILE + x] >> 6) - MC_INTERMEDIATE_BIAS);
            });
    }
    return dst;
}

void interp_chroma_c(uint8_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                     int32_t mvy, int32_t w, int32_t h)
{
    int fx = mvx & 7, fy = mvy & 7;
    const uint8_t *p = ref + at(mvx >> 3, mvy >> 3, ref_stride);
    if (w < 1 || h < 1) return;
    if (!fy || !fx) {
        // One direction; a full-sample vector goes through the identity row.
        const int16_t *c = fy ? mc_chroma_filter[fy] : mc_chroma_filter[fx];
        ptrdiff_t step = fy ? ref_stride : 1;
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++)
                dst[at(x, y, dst_stride)] = clip_pixel((chroma_taps(c, p + at(x, y, ref_stride), step) + 32) >> 6);
        return;
    }
    for_each_tile(
        w, h, CHROMA_TILE,
        [&](int32_t *sum, int32_t x0, int32_t y0, int tw, int th) {
            chroma_2d_tile(sum, p + at(x0, y0, ref_stride), ref_stride, fx, fy, tw, th);
        },
        [&](const int32_t *sum, int32_t x0, int32_t y0, int tw, int th) {
            for (int y = 0; y < th; y++)
                for (int x = 0; x < tw; x++)
                    dst[at(x0 + x, y0 + y, dst_stride)] = clip_pixel((sum[y * CHROMA_TILE + x] + 2048) >> 12);
        });
}

void interp_chroma_16bit_c(int16_t *dst, int32_t dst_stride, const uint8_t *ref, int32_t ref_stride, int32_t mvx,
                           int32_t mvy, int32_t w, int32_t h)
{
    int fx = mvx & 7, fy = mvy & 7;
    const uint8_t *p = ref + at(mvx >> 3, mvy >> 3, ref_stride);
    if (w < 1 || h < 1) return;
    if (!fy || !fx) {
        const int16_t *c = fy ? mc_chroma_filter[fy] : mc_chroma_filter[fx];
        ptrdiff_t step = fy ? ref_stride : 1;
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++)
                dst[at(x, y, dst_stride)] =
                    (int16_t)(chroma_taps(c, p + at(x, y, ref_stride), step) - MC_INTERMEDIATE_BIAS);
        return;
    }
    for_each_tile(
        w, h, CHROMA_TILE,
        [&](int32_t *sum, int32_t x0, int32_t y0, int tw, int th) {
            chroma_2d_tile(sum, p + at(x0, y0, ref_stride), ref_stride, fx, fy, tw, th);
        },
        [&](const int32_t *sum, int32_t x0, int32_t y0, int tw, int th) {
            for (int y = 0; y < th; y++)
                for (int x = 0; x < tw; x++)
                    dst[at(x0 + x, y0 + y, dst_stride)] =
                        (int16_t)((sum[y * CHROMA_TILE + x] >> 6) - MC_INTERMEDIATE_BIAS);
        });
}
