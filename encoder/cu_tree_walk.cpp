// After the search: one walk of the decided CU tree completes the per-8x8
// maps that deblocking, the statistics and the syntax writer read (residual
// flags, QPs of groups without coded residual, edge spacing, smallest block,
// skip state, CU depth range). After the loop filters of a CTU, the CTUs one
// row and one column behind are final: SAO is applied to them and their
// borders are extended for later pictures.
#include "bitstream/qp_predict.h"
#include "encoder/encoder_instance.h"
#include "encoder/int_math.h"

namespace {

void fill_units(uint8_t *map, int32_t first, int32_t units, uint8_t value)
{
    for (int32_t r = 0; r < units; r++)
        for (int32_t k = 0; k < units; k++) map[first + r * CTU_MAP8_STRIDE + k] = value;
}

// Sets (or clears) bit 1 over a CU, starting from the first unit's flags.
void residual_flag_fill(ctu_context *c, int32_t first, int32_t units, bool residual)
{
    uint8_t v = (uint8_t)((c->maps.cu_flags_map[first] & ~2u) | (residual ? 2u : 0u));
    fill_units(c->maps.cu_flags_map, first, units, v);
}

// One band of the sub-sample build: its rows, and the rows of horizontal sums
// above and below them that the vertical filter reads. The spare elements
// after each plane take vector reads that pass the end of its last row.
enum { SUBPEL_BAND_ROWS = 64, SUBPEL_BAND_ABOVE = 3, SUBPEL_BAND_BELOW = 4, SUBPEL_BAND_SPARE = 32 };

int64_t subpel_band_plane_elements(int32_t stride)
{
    return (int64_t)(SUBPEL_BAND_ABOVE + SUBPEL_BAND_ROWS + SUBPEL_BAND_BELOW) * stride + SUBPEL_BAND_SPARE;
}

// Whether transform node t (of CU size k) splits as the syntax codes it: the
// flags below the depth limit are not sent and may hold other candidates'
// trees.
bool tu_record_splits(const row_context *ctx, int32_t node, int32_t cu_node, int32_t t, int32_t k, bool intra)
{
    const ctu_context *c = &ctx->ctu;
    uint32_t part = c->decision.part_mode[cu_node];
    const sps_params *sps = &ctx->enc->sps;
    int32_t max_depth = tu_cu_max_depth(intra, part, sps->max_tu_depth_intra, sps->max_tu_depth_inter);
    bool root_split = tu_cu_root_split(intra, part, sps->max_tu_depth_inter);
    return tu_node_splits(c->decision.tu_split[node], t, k - t, max_depth, root_split);
}

// The quantisation group's first coded residual: the CUs before it carry its
// QP.
void group_qp_at_first_coded(row_context *ctx, int32_t z, int32_t t, int32_t node, int32_t cu_first,
                             int32_t cu_units)
{
    ctu_context *c = &ctx->ctu;
    uint32_t coded = c->decision.cbf_flags[node];
    if (t == 2 && z % 4 == 0) coded |= c->decision.cbf_flags[cu_node_index(2, z + 3)] & 6u;
    if (ctx->enc->pps.cu_qp_delta_enabled && c->qg_delta_pending && coded) {
        c->qg_delta_pending = 0;
        int8_t qp = c->maps.cu_qp_map[map8_index(c->last_cu_z)];
        fill_units((uint8_t *)c->maps.cu_qp_map, cu_first, cu_units, (uint8_t)qp);
    }
}

// The transform size of a leaf for the deblocking walk, and the smallest
// block of the CTU.
void tu_size_record(ctu_context *c, int32_t z, int32_t s, bool root, int32_t cu_node)
{
    if (s == 4) {
        c->maps.tu_size_map[map8_index(z)] = 1;
    } else {
        // A prediction edge inside an unsplit CU-sized transform halves the spacing.
        bool halved = root && c->decision.part_mode[cu_node] != 0;
        fill_units(c->maps.tu_size_map, map8_index(z), s / 8, (uint8_t)(halved ? s / 8 : s / 4));
    }
    c->min_block = min_i32(c->min_block, s);
}

}  // namespace

void cu_tree_walk(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t n)
{
    ctu_context *c = &ctx->ctu;
    if (!c->decision.cu_split[cu_node_index(n, z)] || n <= 3) {
        cu_leaf_record(ctx, z, x, y, n);
        return;
    }
    int32_t h = 1 << (n - 1), q = 1 << (2 * (n - 3));
    bool right = x + h < ctx->enc->width - 64 * c->x;
    bool below = y + h < ctx->enc->height - 64 * c->y;
    cu_tree_walk(ctx, z, x, y, n - 1);
    if (right) cu_tree_walk(ctx, z + q, x + h, y, n - 1);
    if (below) cu_tree_walk(ctx, z + 2 * q, x, y + h, n - 1);
    if (right && below) cu_tree_walk(ctx, z + 3 * q, x + h, y + h, n - 1);
}

void cu_leaf_record(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t n)
{
    ctu_context *c = &ctx->ctu;
    int32_t s = 1 << n, d = 6 - n, first = map8_index(z), units = s >= 8 ? s / 8 : 1;
    int32_t node = cu_node_index(n, z);
    bool skip = c->maps.cu_flags_map[first] & 1;
    c->skip_all = c->skip_all && skip;
    uint8_t *dmax = &ctx->fi->tables.ctu_depth_max[c->address], *dmin = &ctx->fi->tables.ctu_depth_min[c->address];
    if (d > *dmax) *dmax = (uint8_t)d;
    if (d < *dmin) *dmin = (uint8_t)d;
    bool qp_delta = ctx->enc->pps.cu_qp_delta_enabled != 0;
    if (qp_delta && z % c->qg_units == 0) c->qg_delta_pending = 1;
    c->last_cu_z = z;
    if (qp_delta && c->decision.cbf_flags[node] == 0 && c->qg_delta_pending) {
        int32_t qp = cu_qp_predict(c->maps.cu_qp_map, ctx->qp_prev, ctx->enc->pps.diff_cu_qp_delta_depth, z);
        fill_units((uint8_t *)c->maps.cu_qp_map, first, units, (uint8_t)qp);
    }
    if (skip) {
        residual_flag_fill(c, first, units, false);
        fill_units(c->maps.tu_size_map, first, units, (uint8_t)(s / 4));
        c->min_block = min_i32(c->min_block, s);
        return;
    }
    if (c->decision.part_mode[node] != 0) c->min_block = min_i32(c->min_block, s / 2);
    tu_tree_record(ctx, z, x, y, n, n);
}

void tu_tree_record(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t t, int32_t k)
{
    ctu_context *c = &ctx->ctu;
    int32_t s = 1 << t, node = cu_node_index(t, z);
    int32_t cu_z = z & ~((1 << (2 * (k - 2))) - 1);
    int32_t cu_node = cu_node_index(k, cu_z), cu_first = map8_index(cu_z);
    int32_t cu_units = k >= 3 ? 1 << (k - 3) : 1;
    bool intra = c->maps.pred_mode_map[cu_first] == 1;
    bool root = t == k;
    bool residual = true;
    if (root && !intra) {
        bool merged_2nx2n = c->motion.merge_flag_map[cu_first] && c->decision.part_mode[cu_node] == 0;
        residual = merged_2nx2n || c->decision.cbf_flags[node] != 0;
    }
    if (!residual) {
        residual_flag_fill(c, cu_first, cu_units, false);
        tu_size_record(c, z, s, root, cu_node);
        return;
    }
    bool split = tu_record_splits(ctx, node, cu_node, t, k, intra);
    // Bit 1 tells whether the CU codes residual. A merged 2Nx2N inter CU has
    // its root flag implied, yet with every coded-block flag 0 it codes none:
    // the root's coded-block byte decides for every CU.
    if (root) residual_flag_fill(c, cu_first, cu_units, c->decision.cbf_flags[node] != 0);
    if (!split) {
        group_qp_at_first_coded(ctx, z, t, node, cu_first, cu_units);
        tu_size_record(c, z, s, root, cu_node);
        return;
    }
    int32_t h = s / 2, q = 1 << (2 * (t - 3));
    tu_tree_record(ctx, z, x, y, t - 1, k);
    tu_tree_record(ctx, z + q, x + h, y, t - 1, k);
    tu_tree_record(ctx, z + 2 * q, x, y + h, t - 1, k);
    tu_tree_record(ctx, z + 3 * q, x + h, y + h, t - 1, k);
}

void ctu_loop_filter_finish(row_context *ctx)
{
    ctu_context *c = &ctx->ctu;
    int32_t x = c->x, y = c->y, w = ctx->enc->ctu_cols, h = ctx->enc->ctu_rows;
    uint32_t done[4][2];
    int32_t count = 0;
    if (ctx->fi->pic.sh.sao_flags != 0) {
        // SAO first, then the borders of the same CTUs in the same order, so
        // that the margins copy final samples and nothing is extended twice.
        count = sao_final_ctus((uint32_t)x, (uint32_t)y, (uint32_t)w, (uint32_t)h, done);
        for (int32_t i = 0; i < count; i++) ctu_sao_apply(ctx, (int32_t)done[i][0], (int32_t)done[i][1]);
    } else {
        if (x >= 1) done[count][0] = (uint32_t)(x - 1), done[count][1] = (uint32_t)y, count++;
        if (x == w - 1) done[count][0] = (uint32_t)x, done[count][1] = (uint32_t)y, count++;
    }
    picture *rec = ctx->fi->pic.recon_picture;
    if (!rec->is_reference) return;
    for (int32_t i = 0; i < count; i++) {
        int32_t q = (int32_t)done[i][0], r = (int32_t)done[i][1];
        picture_ctu_border_extend(&ctx->enc->pic_geometry, rec, r, q);
        if (ctx->config.me_subpel_planes) ctu_subpel_planes_build(ctx, rec, r, q);
    }
}

// Sub-sample planes of a reference picture over the area that CTU (column q,
// row r) finalises: from 8 samples left of and above the CTU to 8 samples short
// of its right and bottom edges, reaching into the margins at the picture's
// edges, so that neighbouring areas tile the padded plane without overlap.
// The 16-bit horizontal planes that the phases come from are filtered a band
// of rows at a time into the CTU thread's band (3 rows above and 4 below each
// band feed the vertical filter); every phase sample is the same
// interpolation whichever band computes it. Only the half-sample phases have
// planes (picture.h), whatever the filter variant.
void ctu_subpel_planes_build(row_context *ctx, picture *pic, int32_t r, int32_t q)
{
    int32_t variant = ctx->config.filter_variant;
    if (!variant || !pic->subpel_buffer) return;
    int32_t x0 = q == 0 ? -80 : 64 * q - 8;
    int32_t x1 = q == ctx->enc->ctu_cols - 1 ? ctx->enc->width + 80 : 64 * q + 56;
    int32_t y0 = r == 0 ? -76 : 64 * r - 8;
    int32_t y1 = r == ctx->enc->ctu_rows - 1 ? ctx->enc->height + 77 : 64 * r + 56;
    int32_t stride = pic->strides[0], half_only = 1;
    int16_t *band = ctx->ctu.hplane_band;
    int32_t step = band ? SUBPEL_BAND_ROWS : y1 - y0;
    for (int32_t y = y0; y < y1; y += step) {
        int32_t rows = min_i32(step, y1 - y);
        int64_t origin = (int64_t)y * stride + x0;
        uint8_t *planes[MC_PHASE_PLANES];
        for (int k = 0; k < MC_PHASE_PLANES; k++)
            planes[k] = pic->subpel_planes[k] ? pic->subpel_planes[k] + origin : nullptr;
        const uint8_t *luma = pic->planes[0] + origin;
        int16_t *h[3] = {nullptr, nullptr, nullptr};
        if (band) {
            for (int k = 0; k < 3; k++)
                h[k] = band + k * subpel_band_plane_elements(stride) + SUBPEL_BAND_ABOVE * (int64_t)stride;
            ctx->enc->mc.filter_h_subpel_16bit(h[0], h[1], h[2], luma, stride, x1 - x0, rows, half_only);
        }
        ctx->enc->mc.build_subpel_planes(planes, luma, band ? h : nullptr, stride, x1 - x0, rows, half_only);
    }
}

int64_t subpel_band_bytes(int32_t luma_stride)
{
    return 3 * subpel_band_plane_elements(luma_stride) * (int64_t)sizeof(int16_t);
}
