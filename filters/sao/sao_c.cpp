// Portable SAO application of one CTB of one plane, and the portable
// difference kernels.
//
// Application reads the deblocked copy and writes the final plane, which may
// share its buffer 4 rows up and 32 samples left: every row reads deblocked
// rows r - 1, r and r + 1 only, so the write of final row r (deblocked row
// r - 4) never lands on a sample this call still reads. Samples whose class
// neighbour lies outside the picture keep their deblocked value, as H.265
// requires for picture boundaries (the only boundaries: one slice, no tiles).
#include <cstddef>
#include <cstring>

#include "encoder/int_math.h"
#include "filters/sao/sao.h"

namespace {

enum {
    SIGN_ROW_A = 0,      // vertical class; 135-degree current row
    SIGN_ROW_B = 80,     // 135-degree next row
    SIGN_ROW_45 = 16,    // 45-degree row, column c at byte 16 + c (c from -1)
    WORK_TABLE = 160,    // sao_edge_table (5 bytes) or sao_band_lut (256 bytes)
};

inline int sign_of(int v) { return (v > 0) - (v < 0); }

// Where one CTB lies and which of its samples have both class neighbours in
// the picture: columns c0..e_col-1 and rows r0..f_row-1 get offsets; column
// e_col and row f_row (when below n) are the last inside the picture.
struct ctb_geometry {
    int n;
    ptrdiff_t stride;
    uint8_t *fin;
    const uint8_t *deb;
    int e_col, f_row, c0, r0;
    bool first_col;
    bool first_row;
};

ctb_geometry geometry_of(const sao_ctu_context *ctx, uint32_t x, uint32_t y, int plane)
{
    ctb_geometry g;
    int s = plane ? 1 : 0;
    g.n = 64 >> s;
    g.stride = ctx->stride[plane];
    ptrdiff_t offset = (g.stride * (ptrdiff_t)y + (ptrdiff_t)x) * g.n;
    g.fin = ctx->planes[plane] + offset;
    g.deb = ctx->deblock_planes[plane] + offset;
    bool last_col = x + 1 == ctx->ctu_columns;
    bool last_row = y + 1 == ctx->ctu_rows;
    int w = (int)ctx->width - 64 * (int)x;
    int h = (int)ctx->height - 64 * (int)y;
    g.e_col = ((w < 64 ? w : 64) - (last_col ? 1 : 0)) >> s;
    g.f_row = ((h < 64 ? h : 64) - (last_row ? 1 : 0)) >> s;
    g.first_col = x == 0;
    g.first_row = y == 0;
    g.c0 = g.first_col ? 1 : 0;
    g.r0 = g.first_row ? 1 : 0;
    return g;
}

inline const uint8_t *deb_row(const ctb_geometry &g, int r) { return g.deb + g.stride * r; }
inline uint8_t *fin_row(const ctb_geometry &g, int r) { return g.fin + g.stride * r; }

// Final and deblocked rows never overlap within one row (they lie 4 rows
// apart), but memmove keeps that from being an assumption.
inline void copy_row(const ctb_geometry &g, int r) { std::memmove(fin_row(g, r), deb_row(g, r), (size_t)g.n); }

inline uint8_t offset_sample(int p, int category, const int8_t *table)
{
    return clip_pixel(p + table[category]);
}

// Columns before c0 and at e_col keep their deblocked value.
inline void copy_row_edges(const ctb_geometry &g, int r)
{
    if (g.first_col) fin_row(g, r)[0] = deb_row(g, r)[0];
    if (g.e_col < g.n) fin_row(g, r)[g.e_col] = deb_row(g, r)[g.e_col];
}

void apply_eo_hor(const ctb_geometry &g, const int8_t *table)
{
    for (int r = 0; r < g.n; r++) {
        const uint8_t *d = deb_row(g, r);
        uint8_t *f = fin_row(g, r);
        if (g.first_col) f[0] = d[0];
        int left = sign_of(d[g.c0] - d[g.c0 - 1]);
        for (int c = g.c0; c < g.e_col; c++) {
            int right = sign_of(d[c] - d[c + 1]);
            f[c] = offset_sample(d[c], 2 + left + right, table);
            left = -right;
        }
        if (g.e_col < g.n) f[g.e_col] = d[g.e_col];
    }
}

void apply_eo_ver(const ctb_geometry &g, const int8_t *table, int8_t *up)
{
    if (g.first_row) copy_row(g, 0);
    const uint8_t *above = deb_row(g, g.r0 - 1), *first = deb_row(g, g.r0);
    for (int c = 0; c < g.n; c++) up[c] = (int8_t)sign_of(first[c] - above[c]);
    for (int r = g.r0; r < g.f_row; r++) {
        const uint8_t *d = deb_row(g, r), *below = deb_row(g, r + 1);
        uint8_t *f = fin_row(g, r);
        for (int c = 0; c < g.n; c++) {
            int down = sign_of(d[c] - below[c]);
            f[c] = offset_sample(d[c], 2 + up[c] + down, table);
            up[c] = (int8_t)-down;
        }
    }
    if (g.f_row < g.n) copy_row(g, g.f_row);
}

// Sign rows: cur[c] = sign(p(r, c) - p(r-1, c-1)); the next row's entries are
// the negated signs towards the lower-right neighbour, shifted by one column.
void apply_eo_135(const ctb_geometry &g, const int8_t *table, int8_t *cur, int8_t *next)
{
    if (g.first_row) copy_row(g, 0);
    const uint8_t *above = deb_row(g, g.r0 - 1), *first = deb_row(g, g.r0);
    for (int c = g.c0; c < g.e_col; c++) cur[c] = (int8_t)sign_of(first[c] - above[c - 1]);
    for (int r = g.r0; r < g.f_row; r++) {
        const uint8_t *d = deb_row(g, r), *below = deb_row(g, r + 1);
        uint8_t *f = fin_row(g, r);
        next[g.c0] = (int8_t)sign_of(below[g.c0] - d[g.c0 - 1]);
        copy_row_edges(g, r);
        for (int c = g.c0; c < g.e_col; c++) {
            int down = sign_of(d[c] - below[c + 1]);
            f[c] = offset_sample(d[c], 2 + cur[c] + down, table);
            next[c + 1] = (int8_t)-down;
        }
        int8_t *t = cur;
        cur = next;
        next = t;
    }
    if (g.f_row < g.n) copy_row(g, g.f_row);
}

// up[c] = sign(p(r, c) - p(r-1, c+1)); the sample below-left of (r, c) takes
// the negated sign towards (r, c) as its own upper-right sign.
void apply_eo_45(const ctb_geometry &g, const int8_t *table, int8_t *up)
{
    if (g.first_row) copy_row(g, 0);
    const uint8_t *above = deb_row(g, g.r0 - 1), *first = deb_row(g, g.r0);
    for (int c = g.c0; c < g.e_col; c++) up[c] = (int8_t)sign_of(first[c] - above[c + 1]);
    for (int r = g.r0; r < g.f_row; r++) {
        const uint8_t *d = deb_row(g, r), *below = deb_row(g, r + 1);
        uint8_t *f = fin_row(g, r);
        copy_row_edges(g, r);
        for (int c = g.c0; c < g.e_col; c++) {
            int down = sign_of(d[c] - below[c - 1]);
            up[c - 1] = (int8_t)-down;
            f[c] = offset_sample(d[c], 2 + up[c] + down, table);
        }
        if (g.c0 < g.e_col) up[g.e_col - 1] = (int8_t)sign_of(below[g.e_col - 1] - d[g.e_col]);
    }
    if (g.f_row < g.n) copy_row(g, g.f_row);
}

void apply_band(const ctb_geometry &g, const uint8_t *lut)
{
    for (int r = 0; r < g.n; r++) {
        const uint8_t *d = deb_row(g, r);
        uint8_t *f = fin_row(g, r);
        for (int c = 0; c < g.n; c++) f[c] = lut[d[c]];
    }
}

// Offsets are scaled by 2^shift; every caller passes 0. The product is formed
// in 64 bits so that no offset and shift can overflow.
inline int64_t scaled_offset(int32_t offset, uint32_t shift)
{
    return (int64_t)offset * ((int64_t)1 << (shift & 31));
}

// The start band is taken modulo 32: any stored band position stays within
// the 256 entries of the table.
void build_band_lut(const sao_param *p, uint32_t shift, uint8_t *lut)
{
    for (int v = 0; v < 256; v++) lut[v] = (uint8_t)v;
    for (int j = 0; j < 4; j++) {
        if (p->offset[j] == 0) continue;
        int start = (((p->band_position & 31) + j) & 31) * 8;
        int64_t add = scaled_offset(p->offset[j], shift);
        for (int k = 0; k < 8; k++) {
            int64_t v = lut[start + k] + add;
            lut[start + k] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    }
}

// Edge offsets use their low 8 bits, read as a signed byte after the shift.
inline int8_t edge_entry(int32_t offset, uint32_t shift)
{
    return (int8_t)(uint8_t)((uint32_t)(uint8_t)offset << (shift & 31));
}

void build_edge_table(const sao_param *p, uint32_t shift, int8_t *table)
{
    table[0] = edge_entry(p->offset[0], shift);
    table[1] = edge_entry(p->offset[1], shift);
    table[2] = 0;
    table[3] = edge_entry(p->offset[2], shift);
    table[4] = edge_entry(p->offset[3], shift);
}

} // namespace

void sao_apply_ctb_plane_c(const sao_ctu_context *ctx, uint32_t x, uint32_t y, int32_t plane, uint32_t shift)
{
    const sao_param *p = &ctx->sao_params[plane][(size_t)y * ctx->ctu_columns + x];
    ctb_geometry g = geometry_of(ctx, x, y, plane);
    uint8_t *scratch = ctx->scratch;
    int8_t *table = (int8_t *)(scratch + WORK_TABLE);
    if (p->type == SAO_TYPE_BAND)
        build_band_lut(p, shift, scratch + WORK_TABLE);
    else
        build_edge_table(p, shift, table);
    switch (p->type) {
    case SAO_TYPE_EO_HOR:
        apply_eo_hor(g, table);
        break;
    case SAO_TYPE_EO_VER:
        apply_eo_ver(g, table, (int8_t *)scratch + SIGN_ROW_A);
        break;
    case SAO_TYPE_EO_135:
        apply_eo_135(g, table, (int8_t *)scratch + SIGN_ROW_A, (int8_t *)scratch + SIGN_ROW_B);
        break;
    case SAO_TYPE_EO_45:
        apply_eo_45(g, table, (int8_t *)scratch + SIGN_ROW_45);
        break;
    case SAO_TYPE_BAND:
        apply_band(g, scratch + WORK_TABLE);
        break;
    case SAO_TYPE_OFF:
        for (int r = 0; r < g.n; r++) copy_row(g, r);
        break;
    default:
        // An unknown type leaves the final CTB untouched.
        break;
    }
}

void sao_diff_ctb_c(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride, const uint8_t *source,
                    int32_t source_stride, int32_t is_luma)
{
    int n = is_luma ? 64 : 32;
    sao_diff_ctb_partial_c(out, deblocked, deblocked_stride, source, source_stride, is_luma, n, n);
}

void sao_diff_ctb_partial_c(int16_t *out, const uint8_t *deblocked, int32_t deblocked_stride,
                            const uint8_t *source, int32_t source_stride, int32_t is_luma, int32_t width,
                            int32_t height)
{
    int n = is_luma ? 64 : 32;
    int w = sao_partial_columns(width, is_luma), h = sao_partial_rows(height, is_luma);
    for (int r = 0; r < h; r++) {
        const uint8_t *d = deblocked + (ptrdiff_t)deblocked_stride * r;
        const uint8_t *s = source + (ptrdiff_t)source_stride * r;
        for (int c = 0; c < w; c++) out[r * n + c] = (int16_t)(s[c] - d[c]);
    }
}
