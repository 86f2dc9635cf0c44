// Boundary strengths and edge QPs of a CTU on the 8x8 luma grid, from its
// committed decisions. The H.265 rules (intra 2; transform edge with coded
// luma coefficients 1; motion difference 1; else 0) are kept as five values
// that also record which rule fired (see deblock.h). Every half starts at -1
// and keeps the first value written, so the picture-edge zeros, the intra CU
// edges and the block walk can run in a fixed order without further checks.
#include <cstdlib>
#include <cstring>

#include "encoder/picture_types.h"
#include "filters/deblock/deblock.h"

static inline int8_t *bs_entry(deblock_context *ctx)
{
    return ctx->deblock_bs_map + (intptr_t)ctx->ctu_addr * DEBLOCK_BS_ENTRY;
}

static inline void set_if_unset(int8_t *half, int8_t v)
{
    if (*half < 0) *half = v;
}

// Edge QPs: the rounded mean of the QPs on both sides of each unit's left and
// top edge. Without cu_qp_delta every CU of the slice has one QP, so the first
// CTU of a row fills the one block for the whole row.
static void deblock_edge_qps(deblock_context *ctx)
{
    const int8_t *qp = ctx->maps->cu_qp_map;
    if (!ctx->cu_qp_delta_enabled) {
        if (ctx->ctu_x == 0) memset(ctx->deblock_qp_table, qp[CTU_MAP8_ORIGIN], DEBLOCK_QP_BLOCK);
        return;
    }
    int8_t *block = ctx->deblock_qp_table + (intptr_t)ctx->ctu_x * DEBLOCK_QP_BLOCK;
    for (int r = 0; r < 8; r++) {
        for (int c = 0; c < 8; c++) {
            int u = CTU_MAP8_ORIGIN + r * CTU_MAP8_STRIDE + c;
            block[r * 8 + c] = (int8_t)((qp[u] + qp[u - 1] + 1) >> 1);
            block[64 + r * 8 + c] = (int8_t)((qp[u] + qp[u - CTU_MAP8_STRIDE] + 1) >> 1);
        }
    }
}

void deblock_prepare_ctu(deblock_context *ctx)
{
    deblock_edge_qps(ctx);
    int8_t *entry = bs_entry(ctx);
    memset(entry, 0xFF, DEBLOCK_BS_ENTRY);
    // The picture's left and top edges are never filtered.
    const int8_t *mode = ctx->maps->pred_mode_map;
    if (mode[CTU_MAP8_ORIGIN - 1] < 0) memset(entry, 0, 16);
    if (mode[CTU_MAP8_ORIGIN - CTU_MAP8_STRIDE] < 0) memset(entry + DEBLOCK_BS_HOR, 0, 16);
    deblock_bs_cu_tree(ctx, 0, 0, 0, 6);
}

void deblock_bs_cu_tree(deblock_context *ctx, int z, int x, int y, int log2_size)
{
    if (ctx->decisions->cu_split[cu_tree_node(z, log2_size)] == 0 || log2_size <= 3) {
        deblock_bs_cu(ctx, z, x, y, log2_size);
        return;
    }
    int half = 1 << (log2_size - 1);
    int q = 1 << (2 * (log2_size - 3));
    bool right = x + half < ctx->pic_width - 64 * ctx->ctu_x;
    bool below = y + half < ctx->pic_height - 64 * ctx->ctu_y;
    deblock_bs_cu_tree(ctx, z, x, y, log2_size - 1);
    if (right) deblock_bs_cu_tree(ctx, z + q, x + half, y, log2_size - 1);
    if (below) deblock_bs_cu_tree(ctx, z + 2 * q, x, y + half, log2_size - 1);
    if (right && below) deblock_bs_cu_tree(ctx, z + 3 * q, x + half, y + half, log2_size - 1);
}

// Sets flags bits 4..7 (coded luma residual in all four quadrants) over a
// square block of n x n units.
static void flags_set_coded(deblock_context *ctx, int unit, int n)
{
    for (int r = 0; r < n; r++)
        for (int c = 0; c < n; c++) ctx->maps->cu_flags_map[unit + r * CTU_MAP8_STRIDE + c] |= 0xF0;
}

namespace {

// A CU edge of n units against the neighbours at p, p + step, ...: strength 4
// where either side is intra. An edge on the picture's border has no
// neighbour and was already set to 0.
void intra_cu_edge(int8_t *entry, int base, const int8_t *mode, int p, int step, bool intra, int n)
{
    if (mode[p] < 0) return;
    for (int i = 0; i < n; i++) {
        if (intra || mode[p + i * step] == 1) {
            set_if_unset(&entry[base + 2 * i], 4);
            set_if_unset(&entry[base + 2 * i + 1], 4);
        }
    }
}

// The prediction blocks of an inter CU (part 0: one block over the CU), each
// with the edges it owns: the CU's edges for the first, the inner ones after.
void bs_prediction_blocks(deblock_context *ctx, int z, int x, int y, int log2_size, uint32_t part)
{
    int size = 1 << log2_size;
    int half = size / 2;
    int q = 1 << (2 * (log2_size - 3));
    if (part == 0) {
        deblock_bs_block(ctx, z, x, y, size, size, 3);
    } else if (part == 1) {
        deblock_bs_block(ctx, z, x, y, size, half, 3);
        deblock_bs_block(ctx, z + 2 * q, x, y + half, size, half, 1);
    } else if (part == 2) {
        deblock_bs_block(ctx, z, x, y, half, size, 3);
        deblock_bs_block(ctx, z + q, x + half, y, half, size, 2);
    } else {
        deblock_bs_block(ctx, z, x, y, half, half, 3);
        deblock_bs_block(ctx, z + q, x + half, y, half, half, 2);
        deblock_bs_block(ctx, z + 2 * q, x, y + half, half, half, 1);
        deblock_bs_block(ctx, z + 3 * q, x + half, y + half, half, half, 0);
    }
}

// An inter CU: by its transform tree where one is coded that splits its
// prediction blocks apart, else by prediction block.
void inter_cu_bs(deblock_context *ctx, int z, int x, int y, int log2_size)
{
    const cu_decision_arrays *dec = ctx->decisions;
    int node = cu_tree_node(z, log2_size);
    int u = zorder_to_map8[z >> 2];
    bool skip = (ctx->maps->cu_flags_map[u] & 1) != 0;
    uint32_t part = skip ? 0 : dec->part_mode[node];
    bool two_units = part >= 1 && part <= 3 && log2_size >= 4;
    bool root_split = tu_cu_root_split(false, part, ctx->max_tu_depth_inter);
    // The syntax codes no transform tree in a skipped CU, nor in an inter CU
    // whose root coded-block flags are all clear (except a merged 2Nx2N one,
    // whose root flag is implied): such a CU has no coefficients, whatever
    // the arrays below its root hold from other candidates of the search.
    bool merged_2nx2n = part == 0 && ctx->motion->merge_flag_map[u];
    bool tree = !skip && (merged_2nx2n || dec->cbf_flags[node] != 0);
    bool one_block = two_units && !tu_node_splits(dec->tu_split[node], log2_size, 0, ctx->max_tu_depth_inter,
                                                  root_split);
    if (tree && !one_block) {
        deblock_bs_tu_tree(ctx, z, x, y, log2_size, 0, ctx->max_tu_depth_inter, root_split);
        return;
    }
    // One transform block over the prediction blocks, or none: the edges
    // between the prediction blocks are prediction edges only.
    if (tree && (dec->cbf_flags[node] & 1)) flags_set_coded(ctx, u, (1 << log2_size) / 8);
    bs_prediction_blocks(ctx, z, x, y, log2_size, two_units ? part : 0);
}

}  // namespace

void deblock_bs_cu(deblock_context *ctx, int z, int x, int y, int log2_size)
{
    const int8_t *mode = ctx->maps->pred_mode_map;
    int8_t *entry = bs_entry(ctx);
    int n = (1 << log2_size) / 8;
    int u = zorder_to_map8[z >> 2];
    bool intra = mode[u] == 1;
    intra_cu_edge(entry, (x / 8) * 16 + (y / 8) * 2, mode, u - 1, CTU_MAP8_STRIDE, intra, n);
    intra_cu_edge(entry, DEBLOCK_BS_HOR + (y / 8) * 16 + (x / 8) * 2, mode, u - CTU_MAP8_STRIDE, 1, intra, n);
    if (!intra) {
        inter_cu_bs(ctx, z, x, y, log2_size);
        return;
    }
    uint32_t part = ctx->decisions->part_mode[cu_tree_node(z, log2_size)];
    deblock_bs_tu_tree(ctx, z, x, y, log2_size, 0,
                       tu_cu_max_depth(true, part, ctx->max_tu_depth_intra, ctx->max_tu_depth_inter),
                       tu_cu_root_split(true, part, ctx->max_tu_depth_inter));
}

void deblock_bs_tu_tree(deblock_context *ctx, int z, int x, int y, int log2_size, int depth, int max_depth,
                        bool root_split)
{
    const cu_decision_arrays *dec = ctx->decisions;
    int node = cu_tree_node(z, log2_size);
    int size = 1 << log2_size;
    int u = zorder_to_map8[z >> 2];
    bool split = tu_node_splits(dec->tu_split[node], log2_size, depth, max_depth, root_split);
    if (split && log2_size == 3) {
        // Four 4x4 transform blocks: their inner edges are off the 8x8 grid.
        uint8_t bits = 0;
        for (int k = 0; k < 4; k++)
            if (dec->cbf_flags[85 + z + k] & 1) bits |= (uint8_t)(0x10 << k);
        ctx->maps->cu_flags_map[u] |= bits;
        deblock_bs_block(ctx, z, x, y, 8, 8, 3);
        return;
    }
    if (split) {
        int half = size / 2;
        int q = 1 << (2 * (log2_size - 3));
        deblock_bs_tu_tree(ctx, z, x, y, log2_size - 1, depth + 1, max_depth, root_split);
        deblock_bs_tu_tree(ctx, z + q, x + half, y, log2_size - 1, depth + 1, max_depth, root_split);
        deblock_bs_tu_tree(ctx, z + 2 * q, x, y + half, log2_size - 1, depth + 1, max_depth, root_split);
        deblock_bs_tu_tree(ctx, z + 3 * q, x + half, y + half, log2_size - 1, depth + 1, max_depth, root_split);
        return;
    }
    if (dec->cbf_flags[node] & 1) flags_set_coded(ctx, u, size / 8);
    deblock_bs_block(ctx, z, x, y, size, size, 3);
}

static inline bool mv_far(uint32_t a, uint32_t b)
{
    int ax = (int16_t)(a & 0xFFFF), ay = (int16_t)(a >> 16);
    int bx = (int16_t)(b & 0xFFFF), by = (int16_t)(b >> 16);
    return abs(ax - bx) >= 4 || abs(ay - by) >= 4;
}

// Motion rule between the units q and p of the per-8x8 maps: 1 when the
// prediction differs enough to filter, else 0.
static int8_t bs_motion(const deblock_context *ctx, int q, int p)
{
    const ctu_motion_grid *g = ctx->motion;
    // Every negative index means the list is not used (candidate lists write
    // -1, the decisions -2): they compare equal.
    auto used = [](int8_t r) { return r < 0 ? -1 : (int)r; };
    int a0 = used(g->ref_idx[0][q]), a1 = used(g->ref_idx[1][q]);
    int b0 = used(g->ref_idx[0][p]), b1 = used(g->ref_idx[1][p]);
    uint32_t A0 = g->mv[0][q], A1 = g->mv[1][q];
    uint32_t B0 = g->mv[0][p], B1 = g->mv[1][p];
    bool b_slice = ctx->slice_type == slice_b;
    if (b_slice && ctx->picture_type == PIC_TYPE_P) {
        // A P picture coded as a B slice: list 1 repeats list 0, so an index
        // names the same picture in both lists and the H.265 comparison of
        // pictures may pair the lists either way.
        bool straight = a0 == b0 && a1 == b1;
        bool crossed = a0 == b1 && a1 == b0;
        if (!straight && !crossed) return 1;
        if (a0 == a1) {
            if (!mv_far(A0, B0) && !mv_far(A1, B1)) return 0;
            return (mv_far(A0, B1) || mv_far(A1, B0)) ? 1 : 0;
        }
        if (straight) return ((a0 >= 0 && mv_far(A0, B0)) || (a1 >= 0 && mv_far(A1, B1))) ? 1 : 0;
        return ((a0 >= 0 && mv_far(A0, B1)) || (a1 >= 0 && mv_far(A1, B0))) ? 1 : 0;
    }
    // Lists 0 and 1 hold pictures before and after the current one, so
    // comparing indices list by list compares pictures.
    if (a0 != b0) return 1;
    if (a0 >= 0 && mv_far(A0, B0)) return 1;
    if (b_slice) {
        if (a1 != b1) return 1;
        if (a1 >= 0 && mv_far(A1, B1)) return 1;
    }
    return 0;
}

// A run of halves along one edge that shares one decision: the smaller of the
// two sides' runs, kept within the block's edge and at least one half (so that
// a damaged map can neither spill into other edges nor stall the walk).
static inline int edge_run(const deblock_context *ctx, int q, int p, int left)
{
    int rq = (int8_t)ctx->maps->tu_size_map[q], rp = (int8_t)ctx->maps->tu_size_map[p];
    int run = rq < rp ? rq : rp;
    if (run < 1) run = 1;
    return run < left ? run : left;
}

// Which quadrant bits of the flags hold the coded residual next to an edge:
// the block's side (q) and the other side (p), for the first half; the second
// half's bits lie bit_step higher.
struct edge_bits {
    int q_bit;
    int p_bit;
    int bit_step;
};

// Vertical edge: the block's left quadrants (4 top, 6 bottom) against the left
// unit's right quadrants (5, 7). Horizontal edge: the block's top quadrants
// (4 left, 5 right) against the above unit's bottom quadrants (6, 7).
static const edge_bits ver_edge_bits = {4, 5, 2};
static const edge_bits hor_edge_bits = {4, 6, 1};

// One edge of a block: count halves from entry[base]. Half i lies against unit
// q = u + (i >> 1) x along on the block's side and q - across on the other.
static void bs_block_edge(deblock_context *ctx, int8_t *entry, int base, int u, int along,
                          int across, int count, bool transform_edge, edge_bits bits)
{
    const uint8_t *flags = ctx->maps->cu_flags_map;
    int i = 0;
    while (i < count) {
        int q = u + (i >> 1) * along;
        int p = q - across;
        int run = edge_run(ctx, q, p, count - i);
        if (entry[base + i] >= 0) {
            i += run;
            continue;
        }
        int shift = (i & 1) * bits.bit_step;
        bool coded = ((flags[q] >> (bits.q_bit + shift)) & 1) || ((flags[p] >> (bits.p_bit + shift)) & 1);
        int8_t v = (transform_edge && coded) ? 2 : bs_motion(ctx, q, p);
        for (int k = 0; k < run; k++) set_if_unset(&entry[base + i + k], v);
        i += run;
    }
}

// Transform edges inside an intra CU: every segment not yet decided gets 3.
static void bs_intra_edge(int8_t *entry, int base, int segments)
{
    for (int s = 0; s < segments; s++) {
        if (entry[base + 2 * s] < 0) {
            set_if_unset(&entry[base + 2 * s], 3);
            set_if_unset(&entry[base + 2 * s + 1], 3);
        }
    }
}

void deblock_bs_block(deblock_context *ctx, int z, int x, int y, int w, int h, int edge_flags)
{
    int8_t *entry = bs_entry(ctx);
    int u = zorder_to_map8[z >> 2];
    int left = (x / 8) * 16 + (y / 8) * 2;
    int top = DEBLOCK_BS_HOR + (y / 8) * 16 + (x / 8) * 2;
    if (ctx->maps->pred_mode_map[u] == 1) {
        bs_intra_edge(entry, left, (h + 7) / 8);
        bs_intra_edge(entry, top, (w + 7) / 8);
        return;
    }
    bs_block_edge(ctx, entry, left, u, CTU_MAP8_STRIDE, 1, h / 4, (edge_flags & 1) != 0,
                  ver_edge_bits);
    bs_block_edge(ctx, entry, top, u, 1, CTU_MAP8_STRIDE, w / 4, (edge_flags & 2) != 0,
                  hor_edge_bits);
}
