// Intra reference sample gathering (H.265 clause 8.4.4.2.2 at 8 bits).
#include "kernels/intra/intra_ref.h"

#include <cstring>

enum {
    AVAIL_ORIGIN = 48, // map byte of the CTU's first 4x4 unit
    AVAIL_STRIDE = 32,
};

// The value of every reference sample when no neighbour is available:
// 1 << (bit depth - 1).
static const uint8_t no_neighbour = 128;

uint8_t *intra_ref_array(intra_ref_area *area, int plane)
{
    if (plane == 1) return area->cb;
    if (plane == 2) return area->cr;
    return area->luma;
}

static int size_index(int n)
{
    return n == 4 ? 0 : n == 8 ? 1 : n == 16 ? 2 : 3;
}

// Availability of the units around one block: corner, and M = N/2 units of four
// samples along each side. A chroma unit of four samples spans two luma units
// and follows the first of them.
struct block_avail {
    int corner;
    int above[16];
    int left[16];
    int units;
};

static void read_avail(const uint8_t *map, int x, int y, int n, int plane, block_avail *a)
{
    const uint8_t *at = map + AVAIL_ORIGIN + (x >> 2) + AVAIL_STRIDE * (y >> 2);
    int step = plane ? 2 : 1;
    a->units = n / 2;
    a->corner = at[-AVAIL_STRIDE - 1] != 0;
    for (int k = 0; k < a->units; k++) {
        a->above[k] = at[-AVAIL_STRIDE + step * k] != 0;
        a->left[k] = at[AVAIL_STRIDE * step * k - 1] != 0;
    }
}

static int first_available(const int *units, int count)
{
    int k = 0;
    while (k < count && !units[k]) k++;
    return k;
}

// Where the samples of the two sides are read from: a row above and a column on
// the left, each with its own base and step.
struct side_source {
    const uint8_t *above; // sample (i, -1) at above[i]
    const uint8_t *left;  // sample (-1, j) at left[j * left_stride]
    int left_stride;
    const uint8_t *corner;
};

// The corner of H.265's substitution: the sample itself when available;
// otherwise the substitution scan (up the left column, then along the row
// above) gives it the first available left sample below it, else the first
// available above sample, else 128. It is always written, so no value of an
// earlier block can survive in it.
static uint8_t corner_sample(const side_source *s, const block_avail *a)
{
    if (a->corner) return *s->corner;
    int kl = first_available(a->left, a->units);
    if (kl < a->units) return s->left[4 * kl * s->left_stride];
    int ka = first_available(a->above, a->units);
    if (ka < a->units) return s->above[4 * ka];
    return no_neighbour;
}

// A missing unit repeats the sample before it in the array: the corner for the
// first unit of either side.
static void fill_above(uint8_t *ref, const side_source *s, const block_avail *a)
{
    for (int k = 0; k < a->units; k++) {
        uint8_t *out = ref + 1 + 4 * k;
        if (a->above[k])
            memcpy(out, s->above + 4 * k, 4);
        else
            memset(out, out[-1], 4);
    }
}

static void fill_left(uint8_t *ref, int n, const side_source *s, const block_avail *a)
{
    uint8_t *left = ref + 2 * n + 1;
    for (int k = 0; k < a->units; k++) {
        uint8_t *out = left + 4 * k;
        if (a->left[k]) {
            const uint8_t *in = s->left + 4 * k * s->left_stride;
            for (int r = 0; r < 4; r++) out[r] = in[r * s->left_stride];
        } else {
            memset(out, k == 0 ? ref[0] : out[-1], 4);
        }
    }
}

void intra_gather_ref_samples(const intra_ref_ctx *ctx, const uint8_t *block, int x, int y, int n,
                              int plane, int smooth)
{
    block_avail a;
    read_avail(ctx->recon_avail_map, x, y, n, plane, &a);
    side_source s;
    s.above = block - INTRA_BUFFER_STRIDE;
    s.left = block - 1;
    s.left_stride = INTRA_BUFFER_STRIDE;
    s.corner = block - INTRA_BUFFER_STRIDE - 1;

    uint8_t *ref = intra_ref_array(ctx->ref_area, plane);
    ref[0] = corner_sample(&s, &a);
    fill_above(ref, &s, &a);
    fill_left(ref, n, &s, &a);

    if (plane == 0 && smooth && n >= 8)
        ctx->table->ref_filter[size_index(n)](ref, ctx->ref_area->luma_smoothed);
}

void intra_fill_border_samples(const intra_ref_ctx *ctx, const uint8_t *src, int src_stride,
                               const uint8_t *dst, int dst_stride, int x, int y, int n, int plane)
{
    block_avail a;
    read_avail(ctx->recon_avail_map, x, y, n, plane, &a);
    // Neighbours inside the CTU come from the source; the left column at x = 0
    // and the row above at y = 0 lie outside it and come from the border that
    // the CTU start loaded.
    side_source s;
    s.above = y > 0 ? src - src_stride : dst - dst_stride;
    s.left = x > 0 ? src - 1 : dst - 1;
    s.left_stride = x > 0 ? src_stride : dst_stride;
    s.corner = dst - dst_stride - 1;

    uint8_t *ref = intra_ref_array(ctx->ref_area, plane);
    ref[0] = corner_sample(&s, &a);

    if (y > 0) {
        fill_above(ref, &s, &a);
    } else {
        memcpy(ref + 1, s.above, (size_t)(2 * n));
    }

    if (x > 0) {
        fill_left(ref, n, &s, &a);
    } else {
        // The left CTU's column as loaded (or 128 at the picture's left edge);
        // rows at or below the CTU's bottom edge are never available and repeat
        // the row above them.
        int ctu_rows = plane ? 32 : 64;
        int block_row = plane ? y / 2 : y;
        uint8_t *left = ref + 2 * n + 1;
        for (int j = 0; j < 2 * n; j++)
            left[j] = block_row + j < ctu_rows ? s.left[j * s.left_stride] : left[j - 1];
    }
}

void load_ctu_neighbour_border(uint8_t *dst, const uint8_t *picture_position, const uint8_t *src,
                               int picture_stride, int is_luma, int bits)
{
    (void)picture_position;
    (void)picture_stride;
    const int stride = INTRA_BUFFER_STRIDE;
    int size = is_luma ? 64 : 32;
    uint8_t *above = dst - stride;

    if (bits & CTU_NEIGHBOUR_ABOVE)
        memcpy(above, src, (size_t)size);
    else
        memset(above, no_neighbour, (size_t)size);

    if (bits & CTU_NEIGHBOUR_ABOVE_RIGHT)
        memcpy(above + size, src + size, (size_t)(size / 2));
    else
        memset(above + size, no_neighbour, (size_t)(size / 2));

    above[-1] = (bits & CTU_NEIGHBOUR_CORNER) ? src[-1] : no_neighbour;

    // The left column is the previous CTU's last column, which the buffer still
    // holds until this CTU overwrites it.
    for (int j = 0; j < size; j++)
        dst[j * stride - 1] = (bits & CTU_NEIGHBOUR_LEFT) ? dst[j * stride + size - 1] : no_neighbour;
}
