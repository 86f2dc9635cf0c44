// The CTU context: per-picture tables that carry neighbour data from CTU to
// CTU, the per-context work buffers, and the set-up of each CTU before its
// search (ctu_begin) and the storing of its results afterwards (ctu_end).
// Neighbour data is read only from CTUs that the wavefront order has finished.
#include <cstring>

#include "analysis/rd/avail_map.h"
#include "encoder/encoder_instance.h"
#include "encoder/memory.h"
#include "kernels/intra/intra_ref.h"

namespace {

enum {
    EDGE_RECORD_BYTES = 16,
    SOURCE_LUMA_BYTES = 64 * 64,
    SOURCE_CHROMA_BYTES = 64 * 32,
    RECON_LUMA_ROWS = 65,           // one border row above the CTU
    RECON_CHROMA_ROWS = 33,
    RECON_LUMA_ORIGIN = CTU_WORK_STRIDE + 32,
    RECON_CHROMA_ORIGIN = CTU_WORK_STRIDE + 8,   // Cb; Cr 64 samples to the right
    SIMILAR_SAD_LIMIT = 122880,
    TU_LEVEL_BYTES = 2 * (64 * 64 + 2 * 32 * 32),
};

template <typename T>
bool alloc_zeroed(T **out, int64_t bytes)
{
    if (bytes <= 0 || bytes > 0x7FFFFFFF - 64) return false;
    *out = (T *)aligned_calloc((int32_t)bytes);
    return *out != nullptr;
}

int64_t cu_area_bytes(int32_t s)
{
    return (int64_t)CTU_WORK_STRIDE * (s + s / 2) + 2 * ((int64_t)s * s + (int64_t)s * s / 2);
}

int64_t work_block_bytes()
{
    int64_t n = SOURCE_LUMA_BYTES + SOURCE_CHROMA_BYTES + (int64_t)CTU_WORK_STRIDE * (RECON_LUMA_ROWS + RECON_CHROMA_ROWS);
    for (int d = 0; d < 4; d++) n += cu_area_bytes(64 >> d);
    return n + TU_LEVEL_BYTES;
}

bool qp_varies(const internal_config *cfg)
{
    return cfg->rc_mode == RC_MODE_CBR || cfg->mbtree > 0 || cfg->vbv_bufsize != 0;
}

uint8_t *map_of(ctu_context *c, int m)
{
    switch (m) {
    case MAP_FLAGS: return c->maps.cu_flags_map;
    case MAP_DEPTH: return (uint8_t *)c->maps.cu_depth_map;
    case MAP_TU_SIZE: return c->maps.tu_size_map;
    case MAP_QP: return (uint8_t *)c->maps.cu_qp_map;
    default: return (uint8_t *)c->maps.pred_mode_map;
    }
}

// Border value of a map where the neighbouring CTU does not exist.
uint8_t missing_value(int m)
{
    return m == MAP_FLAGS ? 0 : (m == MAP_TU_SIZE ? 16 : 0xFF);
}

void load_map_borders(row_context *ctx, int32_t x, int32_t y, int32_t a)
{
    ctu_context *c = &ctx->ctu;
    for (int m = 0; m < ENCODER_MAP_COUNT; m++) {
        uint8_t *map = map_of(c, m);
        if (x > 0) {
            const uint8_t *rec = ctx->fi->tables.edge[m] + (int64_t)(a - 1) * EDGE_RECORD_BYTES;
            for (int i = 0; i < 7; i++) map[(1 + i) * CTU_MAP8_STRIDE + 7] = rec[8 + i];
            map[8 * CTU_MAP8_STRIDE + 7] = rec[7];
        } else {
            for (int i = 0; i < 8; i++) map[(1 + i) * CTU_MAP8_STRIDE + 7] = missing_value(m);
        }
        if (y > 0) {
            const uint8_t *rec = ctx->fi->tables.edge[m] + (int64_t)(a - ctx->enc->ctu_cols) * EDGE_RECORD_BYTES;
            std::memcpy(map + 8, rec, 8);
        } else {
            std::memset(map + 8, missing_value(m), 8);
        }
    }
}

void source_copy(row_context *ctx, int32_t x, int32_t y)
{
    ctu_context *c = &ctx->ctu;
    const picture *src = ctx->fi->pic.source_picture;
    const uint8_t *luma = src->planes[0] + (int64_t)64 * y * src->strides[0] + 64 * x;
    ctx->enc->metric.copy_64x64_prefetch(c->source_luma, luma, CTU_SOURCE_STRIDE, src->strides[0]);
    for (int p = 1; p < 3; p++) {
        const uint8_t *chroma = src->planes[p] + (int64_t)32 * y * src->strides[p] + 32 * x;
        ctx->enc->metric.copy_32x32_prefetch(c->source_chroma + 32 * (p - 1), chroma, CTU_SOURCE_STRIDE, src->strides[p]);
    }
}

void similar_neighbours(row_context *ctx, int32_t x, int32_t y)
{
    ctu_context *c = &ctx->ctu;
    c->left_similar = c->above_similar = 0;
    if (c->ctu_w != 64 || c->ctu_h != 64) return;
    const picture *src = ctx->fi->pic.source_picture;
    int32_t stride = src->strides[0];
    const uint8_t *luma = src->planes[0] + (int64_t)64 * y * stride + 64 * x;
    pair_metric_fn sad = ctx->enc->metric.sad_sub[0];
    if (x > 0) c->left_similar = sad(c->source_luma, CTU_SOURCE_STRIDE, luma - 64, stride) < SIMILAR_SAD_LIMIT;
    if (y > 0) c->above_similar = sad(c->source_luma, CTU_SOURCE_STRIDE, luma - (int64_t)64 * stride, stride) < SIMILAR_SAD_LIMIT;
}

void depth_cost_seed(row_context *ctx, int32_t a)
{
    ctu_context *c = &ctx->ctu;
    std::memset(c->depth_cost_sum, 0, sizeof(c->depth_cost_sum));
    std::memset(c->depth_cost_count, 0, sizeof(c->depth_cost_count));
    uint32_t count[4] = {0, 0, 0, 0};
    const ctu_picture_tables *t = &ctx->fi->tables;
    auto add = [&](int32_t n) {
        for (int d = 0; d < 4; d++) {
            count[d] += t->depth_cost_counts[4 * n + d];
            c->depth_cost_sum[d] += t->depth_cost_sums[4 * n + d];
        }
    };
    if (c->left_similar) add(a - 1);
    if (c->above_similar) add(a - ctx->enc->ctu_cols);
    for (int d = 0; d < 4; d++)
        if (count[d]) {
            c->depth_cost_sum[d] = 2u * c->depth_cost_sum[d] / count[d];
            c->depth_cost_count[d] = 2;
        }
}

}  // namespace

int32_t ctu_tables_alloc(row_context *row)
{
    const encoder_instance *enc = row->enc;
    ctu_context *c = &row->ctu;
    if (!alloc_zeroed(&c->deblock_qp_table, deblock_qp_table_size(qp_varies(&enc->config), enc->ctu_cols))) return -1;
    if (!alloc_zeroed(&c->block, work_block_bytes())) return -1;
    if (!alloc_zeroed(&row->sao_diff, (int64_t)sizeof(sao_diff_buffer))) return -1;
    ctu_work_pointers_init(row);
    return 0;
}

void ctu_tables_free(row_context *row)
{
    ctu_context *c = &row->ctu;
    aligned_free(c->deblock_qp_table);
    aligned_free(c->block);
    c->deblock_qp_table = c->block = nullptr;
    aligned_free(row->sao_diff);
    row->sao_diff = nullptr;
}

int32_t picture_tables_alloc(frame_instance *fi)
{
    const internal_config *cfg = &fi->enc->config;
    int64_t n = fi->enc->ctu_count;
    ctu_picture_tables *t = &fi->tables;
    for (int m = 0; m < ENCODER_MAP_COUNT; m++)
        if (!alloc_zeroed(&t->edge[m], n * EDGE_RECORD_BYTES)) return -1;
    if (!alloc_zeroed(&t->deblock_bs_map, n * 256)) return -1;
    if (!alloc_zeroed(&t->depth_cost_counts, n * 4)) return -1;
    if (!alloc_zeroed(&t->depth_cost_sums, n * 16)) return -1;
    if (!alloc_zeroed(&t->above_lines, n * 128)) return -1;
    for (int p = 0; p < 3; p++)
        if (!alloc_zeroed(&t->sao_params[p], n * (int64_t)sizeof(sao_param))) return -1;
    if (cfg->rc_mode == RC_MODE_CBR && !alloc_zeroed(&t->cbr_ctu_bits, n * 4)) return -1;
    return 0;
}

void picture_tables_free(frame_instance *fi)
{
    ctu_picture_tables *t = &fi->tables;
    for (int m = 0; m < ENCODER_MAP_COUNT; m++) aligned_free(t->edge[m]);
    aligned_free(t->deblock_bs_map);
    aligned_free(t->depth_cost_counts);
    aligned_free(t->depth_cost_sums);
    aligned_free(t->above_lines);
    for (int p = 0; p < 3; p++) aligned_free(t->sao_params[p]);
    aligned_free(t->cbr_ctu_bits);
    std::memset(t, 0, sizeof(*t));
}

int32_t thread_scratch_alloc(ctu_thread_work *work)
{
    if (!alloc_zeroed(&work->search_work[0], SEARCH_WORK_BYTES_A)) return -1;
    if (!alloc_zeroed(&work->search_work[1], SEARCH_WORK_BYTES_B)) return -1;
    if (!alloc_zeroed(&work->scratch, CTU_SCRATCH_BYTES)) return -1;
    return 0;
}

void thread_scratch_free(ctu_thread_work *work)
{
    aligned_free(work->search_work[0]);
    aligned_free(work->search_work[1]);
    aligned_free(work->scratch);
    work->search_work[0] = work->search_work[1] = work->scratch = nullptr;
}

// Once per picture on the caller's thread, before the rows are registered.
// A plane without SAO is deblocked in place in the final plane. A plane with
// SAO keeps its deblocked copy in the same buffer 4 rows below and 32 samples
// right of the final samples (inside the margins), which SAO application
// overwrites one CTU behind the coding once the copy is no longer read.
void frame_recon_pointers_load(frame_instance *fi)
{
    picture *rec = fi->pic.recon_picture;
    uint32_t sao = fi->pic.sh.sao_flags;
    for (int p = 0; p < 3; p++) {
        fi->recon_planes[p] = rec->planes[p];
        fi->recon_strides[p] = rec->strides[p];
        bool on = (sao & (p ? SAO_FLAG_CHROMA : SAO_FLAG_LUMA)) != 0;
        rec->deblock_planes[p] = on ? rec->planes[p] + (int64_t)4 * rec->strides[p] + 32 : rec->planes[p];
    }
    // Row 0 starts the picture without the residual modes of the last one.
    std::memset(fi->row0->ctu.decision.residual_mode, 0, sizeof(fi->row0->ctu.decision.residual_mode));
    // The CU depth range of each CTU stays with the picture: later pictures
    // read it at their co-located CTUs.
    fi->tables.ctu_depth_min = rec->ctu_min_depth;
    fi->tables.ctu_depth_max = rec->ctu_max_depth;
}

void ctu_work_pointers_init(row_context *ctx)
{
    ctu_context *c = &ctx->ctu;
    uint8_t *b = c->block;
    c->source_luma = b;
    c->source_chroma = b + SOURCE_LUMA_BYTES;
    uint8_t *recon = b + SOURCE_LUMA_BYTES + SOURCE_CHROMA_BYTES;
    c->recon_luma = recon + RECON_LUMA_ORIGIN;
    c->recon_chroma = recon + (int64_t)CTU_WORK_STRIDE * RECON_LUMA_ROWS + RECON_CHROMA_ORIGIN;
    uint8_t *area = recon + (int64_t)CTU_WORK_STRIDE * (RECON_LUMA_ROWS + RECON_CHROMA_ROWS);
    for (int d = 0; d < 4; d++) {
        int32_t s = 64 >> d;
        c->cu_samples[d] = area;
        int16_t *coeff = (int16_t *)(area + (int64_t)CTU_WORK_STRIDE * (s + s / 2));
        c->cu_coeffs[d][0] = coeff;
        c->cu_coeffs[d][1] = coeff + s * s;
        c->cu_coeffs[d][2] = coeff + s * s + s * s / 4;
        area += cu_area_bytes(s);
    }
    int16_t *levels = (int16_t *)area;
    c->tu_levels[0] = levels;
    c->tu_levels[1] = levels + 64 * 64;
    c->tu_levels[2] = levels + 64 * 64 + 32 * 32;
}

void ctu_begin(row_context *ctx, int32_t x, int32_t y, int32_t a)
{
    ctu_context *c = &ctx->ctu;
    const internal_config *cfg = &ctx->config;
    c->x = x;
    c->y = y;
    c->address = a;
    ctx->fi->tables.ctu_depth_max[a] = 0;
    ctx->fi->tables.ctu_depth_min[a] = 100;
    // The effort step is raised only by a test hook; from step 3 on the CTU
    // takes the rate-distortion path at level 4.
    c->speed_step = ctx->enc->faults.speed_step;
    c->speed_level = c->speed_step >= 3 ? 4 : cfg->complexity;
    c->speed_class = cfg->speed_class;
    c->filter_variant = cfg->filter_variant;
    c->rdoq = cfg->rdoq;
    c->search_range = cfg->search_range;
    c->rdoq_alt_on = cfg->rdoq && complexity_is_thorough(cfg->complexity);
    c->skip_all = 1;
    c->qg_delta_pending = 1;
    c->last_cu_z = 0;
    c->search_state[0] = 1;
    c->search_state[1] = 0;
    int32_t qd = ctx->enc->pps.cu_qp_delta_enabled ? ctx->enc->pps.diff_cu_qp_delta_depth : 0;
    c->qg_units = 1 << (2 * (4 - qd));
    uint32_t type = ctx->fi->pic.source_picture->picture_type;
    bool b_picture = type == PIC_TYPE_BREF || type == PIC_TYPE_B;
    c->intra_enabled = (!complexity_is_thorough(c->speed_level) && b_picture) ? cfg->ctu_option : 1;
    c->min_block = 64;
    c->mv_min_x = -(64 * x + 71);
    c->mv_max_x = ctx->enc->width - 64 * x + 7;
    c->mv_min_y = -(64 * y + 71);
    c->mv_max_y = ctx->enc->height - 64 * y + 7;
    std::memset(c->maps.cu_flags_map, 0, sizeof(c->maps.cu_flags_map));
    load_map_borders(ctx, x, y, a);
    c->avail = avail_map_begin_ctu(c->recon_avail, x, y, ctx->enc->width, ctx->enc->height, ctx->enc->ctu_cols);
    if (c->intra_enabled) {
        const uint8_t *lines = ctx->fi->tables.above_lines;
        int64_t n = ctx->enc->ctu_count, above = y > 0 ? a - ctx->enc->ctu_cols : 0;
        load_ctu_neighbour_border(c->recon_luma, nullptr, lines + above * 64, 0, 1, (int)c->avail);
        load_ctu_neighbour_border(c->recon_chroma, nullptr, lines + n * 64 + above * 32, 0, 0, (int)c->avail);
        load_ctu_neighbour_border(c->recon_chroma + 64, nullptr, lines + n * 96 + above * 32, 0, 0, (int)c->avail);
    }
    source_copy(ctx, x, y);
    if (ctx->fi->pic.sh.slice_type != slice_i) ctu_set_ref_pointers(ctx, 0);
    ctu_load_neighbours(ctx, ctx->fi->pic.sh.slice_type, c->avail);
    c->ctu_w = ctx->enc->width - 64 * x < 64 ? ctx->enc->width - 64 * x : 64;
    c->ctu_h = ctx->enc->height - 64 * y < 64 ? ctx->enc->height - 64 * y : 64;
    similar_neighbours(ctx, x, y);
    depth_cost_seed(ctx, a);
}

void ctu_load_neighbours(row_context *ctx, int32_t slice_type, uint32_t avail)
{
    ctu_context *c = &ctx->ctu;
    const picture *rec = ctx->fi->pic.recon_picture;
    int32_t x = c->x, y = c->y, cols = ctx->enc->ctu_cols;
    // Intra modes per 4x4 unit; the row above is never used for the most
    // probable modes, so it stays unavailable.
    int64_t s4 = (int64_t)cols * 16;
    int8_t *modes = c->intra_modes;
    std::memset(modes, -1, CTU_MAP4_STRIDE);
    const int8_t *pm = (const int8_t *)rec->intra_mode_map;
    modes[15] = (avail & CTU_NEIGHBOUR_CORNER) ? pm[(16 * y - 1) * s4 + 16 * x - 1] : -1;
    for (int i = 0; i < 16; i++)
        modes[(1 + i) * CTU_MAP4_STRIDE + 15] = (avail & CTU_NEIGHBOUR_LEFT) ? pm[(16 * y + i) * s4 + 16 * x - 1] : -1;
    // Motion per 8x8 unit; the above-right unit sits behind the above row.
    int64_t s8 = (int64_t)cols * 8;
    for (int l = 0; l < 2; l++) {
        int8_t *ri = c->motion.ref_idx[l];
        uint32_t *mv = c->motion.mv[l];
        bool used = (l == 0 && slice_type != slice_i) || (l == 1 && slice_type == slice_b);
        const int8_t *pr = rec->ref_idx_map[l];
        const uint32_t *pv = rec->mv_map[l];
        if (!pr || !pv) used = false;
        auto take = [&](int32_t m, bool ok, int64_t pos) {
            if (used && ok) {
                ri[m] = pr[pos];
                mv[m] = pv[pos];
            } else {
                ri[m] = -2;
            }
        };
        take(7, avail & CTU_NEIGHBOUR_CORNER, (8 * y - 1) * s8 + 8 * x - 1);
        for (int i = 0; i < 8; i++) take(8 + i, avail & CTU_NEIGHBOUR_ABOVE, (8 * y - 1) * s8 + 8 * x + i);
        take(CTU_MAP8_STRIDE, avail & CTU_NEIGHBOUR_ABOVE_RIGHT, (8 * y - 1) * s8 + 8 * x + 8);
        for (int i = 0; i < 8; i++)
            take((1 + i) * CTU_MAP8_STRIDE + 7, avail & CTU_NEIGHBOUR_LEFT, (8 * y + i) * s8 + 8 * x - 1);
    }
}

void ctu_set_ref_pointers(row_context *ctx, int32_t plane)
{
    (void)plane;
    ctu_context *c = &ctx->ctu;
    for (int l = 0; l < 2; l++) {
        int32_t count = l == 0 ? ctx->fi->pic.ref_count_l0 : ctx->fi->pic.ref_count_l1;
        picture *const *list = l == 0 ? ctx->fi->pic.list0 : ctx->fi->pic.list1;
        for (int32_t k = 0; k < count && k < ENCODER_MAX_REFS; k++) {
            const picture *r = list[k];
            for (int p = 0; p < 3; p++) {
                int32_t size = p ? 32 : 64;
                c->ref_planes[l][k][p] = r->planes[p] + (int64_t)size * c->y * r->strides[p] + size * c->x;
            }
        }
    }
}

void ctu_end(row_context *ctx)
{
    ctu_context *c = &ctx->ctu;
    int32_t a = c->address, x = c->x, y = c->y;
    for (int m = 0; m < ENCODER_MAP_COUNT; m++) {
        const uint8_t *map = map_of(c, m);
        uint8_t *rec = ctx->fi->tables.edge[m] + (int64_t)a * EDGE_RECORD_BYTES;
        std::memcpy(rec, map + 8 * CTU_MAP8_STRIDE + 8, 8);
        for (int i = 0; i < 7; i++) rec[8 + i] = map[(1 + i) * CTU_MAP8_STRIDE + 15];
        rec[15] = 0;
    }
    for (int d = 0; d < 4; d++) {
        ctx->fi->tables.depth_cost_counts[4 * a + d] = c->depth_cost_count[d];
        ctx->fi->tables.depth_cost_sums[4 * a + d] = c->depth_cost_sum[d];
    }
    picture *rec = ctx->fi->pic.recon_picture;
    uint8_t *dl = rec->deblock_planes[0] + (int64_t)64 * y * rec->strides[0] + 64 * x;
    ctx->enc->metric.copy_64x64(dl, c->recon_luma, rec->strides[0], CTU_WORK_STRIDE);
    for (int p = 1; p < 3; p++) {
        uint8_t *dc = rec->deblock_planes[p] + (int64_t)32 * y * rec->strides[p] + 32 * x;
        ctx->enc->metric.copy_32x32(dc, c->recon_chroma + 64 * (p - 1), rec->strides[p], CTU_WORK_STRIDE);
    }
    int64_t n = ctx->enc->ctu_count;
    uint8_t *lines = ctx->fi->tables.above_lines;
    std::memcpy(lines + (int64_t)a * 64, c->recon_luma + 63 * CTU_WORK_STRIDE, 64);
    std::memcpy(lines + n * 64 + (int64_t)a * 32, c->recon_chroma + 31 * CTU_WORK_STRIDE, 32);
    std::memcpy(lines + n * 96 + (int64_t)a * 32, c->recon_chroma + 64 + 31 * CTU_WORK_STRIDE, 32);
    ctu_store_mode_map(ctx, 2);
}

void ctu_store_mode_map(row_context *ctx, int32_t list_count)
{
    ctu_context *c = &ctx->ctu;
    picture *rec = ctx->fi->pic.recon_picture;
    int32_t x = c->x, y = c->y, cols = ctx->enc->ctu_cols;
    int64_t s4 = (int64_t)cols * 16, s8 = (int64_t)cols * 8;
    for (int r = 0; r < 16; r++)
        std::memcpy(rec->intra_mode_map + (16 * y + r) * s4 + 16 * x, c->intra_modes + (1 + r) * CTU_MAP4_STRIDE + 16,
                    16);
    for (int l = 0; l < list_count && l < 2; l++) {
        if (!rec->ref_idx_map[l] || !rec->mv_map[l]) continue;
        for (int r = 0; r < 8; r++) {
            int64_t pos = (8 * y + r) * s8 + 8 * x;
            std::memcpy(rec->ref_idx_map[l] + pos, c->motion.ref_idx[l] + (1 + r) * CTU_MAP8_STRIDE + 8, 8);
            std::memcpy(rec->mv_map[l] + pos, c->motion.mv[l] + (1 + r) * CTU_MAP8_STRIDE + 8, 32);
        }
    }
}
