// Edge filtering of one CTU inside the wavefront. H.265 filters all vertical
// edges of a picture, then all horizontal ones; CTU by CTU the same samples
// result because
//  - a CTU's vertical edges are filtered before its horizontal edges;
//  - the last 4 luma and 4 chroma columns of a CTU's horizontal edges, which
//    the right neighbour's left edge still reads and changes, are filtered in
//    the right neighbour's job after its vertical edges;
//  - the row scheduler starts CTU (x, y) only after CTU (x + 1, y - 1) is done.
#include "encoder/int_math.h"
#include "filters/deblock/deblock.h"

static inline int luma_beta(int qp)
{
    return deblock_beta_table[clamp_i32(qp, 0, QP_MAX)];
}

// tc of one luma half: H.265 strength 2 (values 3, 4) takes Q = qp + 2.
static inline int32_t luma_tc(int strength, int qp)
{
    if (strength <= 0) return 0;
    return deblock_tc_table[clamp_i32(strength >= 3 ? qp + 2 : qp, 0, 53)];
}

// tc of a chroma segment with luma strength s0 and edge QP qp, or 0 when the
// segment is not filtered (only H.265 strength 2 filters chroma).
static inline int32_t chroma_tc(int s0, int qp)
{
    if (s0 < 3) return 0;
    int qpc = deblock_chroma_qp_table[clamp_i32(qp, 0, 57)];
    if (qpc < 16) return 0;
    return deblock_tc_table[clamp_i32(qpc + 2, 0, 53)];
}

// Skipping QP below 16 changes nothing: beta' is 0 there and tC' is 0 below 18.
static inline bool luma_segment_on(int s0, int s1, int qp)
{
    return (s0 > 0 || s1 > 0) && qp >= 16;
}

static void luma_hor_segment(const deblock_context *ctx, uint8_t *q0, uint32_t stride, int s0,
                             int s1, int qp)
{
    if (!luma_segment_on(s0, s1, qp)) return;
    int32_t tc[2] = {luma_tc(s0, qp), luma_tc(s1, qp)};
    ctx->table->luma_hor_edge(q0, stride, luma_beta(qp), tc);
}

static void chroma_hor_segment(const deblock_context *ctx, uint8_t *cb, uint8_t *cr,
                             uint32_t stride, int s0, int qp)
{
    int32_t t = chroma_tc(s0, qp);
    if (t == 0) return;
    int32_t tc[2] = {t, t};
    ctx->table->chroma_hor_edge(cb, cr, stride, tc);
}

void deblock_ver_edges_ctu(const deblock_context *ctx, int step, const uint32_t strides[3],
                           uint8_t *const planes[3], const int8_t *entry, const int8_t *qp_block)
{
    const intptr_t ys = strides[0], cs = strides[1];
    for (int c = 0; 8 * c < 64; c += step) {
        for (int s = 0; s < 8; s++) {
            int s0 = entry[c * 16 + 2 * s], s1 = entry[c * 16 + 2 * s + 1];
            int qp = qp_block[s * 8 + c];
            if (!luma_segment_on(s0, s1, qp)) continue;
            int32_t tc[2] = {luma_tc(s0, qp), luma_tc(s1, qp)};
            ctx->table->luma_ver_edge(planes[0] + 8 * s * ys + 8 * c, strides[0], luma_beta(qp),
                                      tc);
        }
        // Chroma edges lie on the 8x8 chroma grid: every second luma edge.
        if (c & 1) continue;
        for (int s = 0; s < 8; s++) {
            int32_t t = chroma_tc(entry[c * 16 + 2 * s], qp_block[s * 8 + c]);
            if (t == 0) continue;
            int32_t tc[2] = {t, t};
            ctx->table->chroma_ver_edge(planes[1] + 4 * s * cs + 4 * c,
                                        planes[2] + 4 * s * cs + 4 * c, strides[1], tc);
        }
    }
}

// Horizontal edges of a CTU. Unless the CTU ends its row, luma columns 60..63
// and chroma columns 28..31 are left to the next CTU's job.
static void hor_edges(const deblock_context *ctx, const uint32_t strides[3],
                      uint8_t *const planes[3], const int8_t *entry, const int8_t *qp_hor,
                      bool row_end)
{
    const intptr_t ys = strides[0], cs = strides[1];
    for (int r = 0; r < 8; r++) {
        const int8_t *e = entry + DEBLOCK_BS_HOR + 16 * r;
        const int8_t *qp = qp_hor + 8 * r;
        uint8_t *y = planes[0] + 8 * r * ys;
        for (int s = 0; s < 7; s++) luma_hor_segment(ctx, y + 8 * s, strides[0], e[2 * s], e[2 * s + 1], qp[s]);
        // Columns 60..63 wait unless this is the row's last CTU.
        luma_hor_segment(ctx, y + 56, strides[0], e[14], row_end ? e[15] : 0, qp[7]);
        if (r & 1) continue;
        int segments = row_end ? 8 : 7;
        for (int s = 0; s < segments; s++)
            chroma_hor_segment(ctx, planes[1] + 4 * r * cs + 4 * s, planes[2] + 4 * r * cs + 4 * s,
                             strides[1], e[2 * s], qp[s]);
    }
}

void deblock_hor_edges_ctu(const deblock_context *ctx, int step, const uint32_t strides[3],
                           uint8_t *const planes[3], const int8_t *entry, const int8_t *qp_hor)
{
    (void)step;
    hor_edges(ctx, strides, planes, entry, qp_hor, false);
}

void deblock_hor_edges_ctu_row_end(const deblock_context *ctx, int step,
                                   const uint32_t strides[3], uint8_t *const planes[3],
                                   const int8_t *entry, const int8_t *qp_hor)
{
    (void)step;
    hor_edges(ctx, strides, planes, entry, qp_hor, true);
}

void deblock_hor_edges_left_ctu(const deblock_context *ctx, int step, const uint32_t strides[3],
                                uint8_t *const left_planes[3], const int8_t *left_entry,
                                const int8_t *left_qp_hor)
{
    (void)step;
    const intptr_t ys = strides[0], cs = strides[1];
    for (int r = 0; r < 8; r++) {
        const int8_t *e = left_entry + DEBLOCK_BS_HOR + 16 * r;
        int qp = left_qp_hor[8 * r + 7];
        // Columns 60..63 of the left CTU; this CTU's columns 0..3 get tc 0.
        int s1 = e[15];
        if (s1 > 0 && qp >= 16) {
            int32_t tc[2] = {luma_tc(s1, qp), 0};
            ctx->table->luma_hor_edge(left_planes[0] + 8 * r * ys + 60, strides[0], luma_beta(qp),
                                      tc);
        }
        if (r & 1) continue;
        chroma_hor_segment(ctx, left_planes[1] + 4 * r * cs + 28, left_planes[2] + 4 * r * cs + 28,
                         strides[1], e[14], qp);
    }
}

void deblock_ctu(deblock_context *ctx, int ctu_x, int ctu_y)
{
    const int8_t *entry =
        ctx->deblock_bs_map + ((intptr_t)ctu_y * ctx->ctu_cols + ctu_x) * DEBLOCK_BS_ENTRY;
    int step = ctx->ctu_min_block_size / 8;
    if (step < 1) step = 1;
    const uint32_t *st = ctx->strides;
    uint8_t *planes[3] = {
        ctx->deblock_planes[0] + (intptr_t)64 * ctu_y * st[0] + 64 * ctu_x,
        ctx->deblock_planes[1] + (intptr_t)32 * ctu_y * st[1] + 32 * ctu_x,
        ctx->deblock_planes[2] + (intptr_t)32 * ctu_y * st[1] + 32 * ctu_x,
    };
    int qp_index = ctx->cu_qp_delta_enabled ? ctu_x : 0;
    const int8_t *qp_block = ctx->deblock_qp_table + (intptr_t)qp_index * DEBLOCK_QP_BLOCK;

    deblock_ver_edges_ctu(ctx, step, st, planes, entry, qp_block);
    if (ctu_x > 0) {
        uint8_t *left[3] = {planes[0] - 64, planes[1] - 32, planes[2] - 32};
        int left_qp = ctx->cu_qp_delta_enabled ? ctu_x - 1 : 0;
        deblock_hor_edges_left_ctu(ctx, step, st, left, entry - DEBLOCK_BS_ENTRY,
                                   ctx->deblock_qp_table + (intptr_t)left_qp * DEBLOCK_QP_BLOCK +
                                       64);
    }
    if (ctu_x < ctx->ctu_cols - 1)
        deblock_hor_edges_ctu(ctx, step, st, planes, entry, qp_block + 64);
    else
        deblock_hor_edges_ctu_row_end(ctx, step, st, planes, entry, qp_block + 64);
}
