// Transform tree, cu_qp_delta and residual_coding syntax (H.265 clauses
// 7.3.8.8 - 7.3.8.11 with the context selection of clause 9.3.4.2).
#include "analysis/mode_decision.h"
#include "bitstream/qp_predict.h"
#include "bitstream/syntax_shared.h"

const uint64_t sig_ctx_pattern_table[3][5] = {
    {0x2111110000000000ull, 0x2120120012001000ull, 0x2212102100100000ull, 0x2222222222222222ull,
     0x0216347645785888ull},
    {0x2110110010000000ull, 0x2222111100000000ull, 0x2100210021002100ull, 0x2222222222222222ull,
     0x0145234566887788ull},
    {0x2110110010000000ull, 0x2100210021002100ull, 0x2222111100000000ull, 0x2222222222222222ull,
     0x0267136744885588ull},
};

const uint8_t last_pos_group_table[32] = {
    0x00, 0x01, 0x02, 0x03, 0x14, 0x14, 0x15, 0x15, 0x26, 0x26, 0x26, 0x26, 0x27, 0x27, 0x27, 0x27,
    0x38, 0x38, 0x38, 0x38, 0x38, 0x38, 0x38, 0x38, 0x39, 0x39, 0x39, 0x39, 0x39, 0x39, 0x39, 0x39,
};

// ---- Transform tree ----

static void write_tu(syntax_ctu_context *inst, cabac_encoder *coder, const syntax_tt_cu *cu, int z,
                     int log2, int trafo_depth, int chroma_bits)
{
    const int node = cu_node_index(log2, z);
    const uint8_t cbf = inst->decision->cbf_flags[node];
    const int8_t *modes = inst->intra_modes;
    const int luma_mode = modes[zorder_to_map4[z]];
    const int cbf_luma = cbf & cbf_luma_bit;

    if (cu->intra || trafo_depth > 0 || chroma_bits)
        cabac_encode_bin(coder, ctx_cbf_luma + (trafo_depth == 0 ? 1 : 0), cbf_luma);
    // For 4x4 luma blocks the chroma of the 8x8 counts for each of the four;
    // the first block with anything coded carries the QP delta.
    if (inst->pps->cu_qp_delta_enabled && inst->qg_delta_pending && (cbf_luma || chroma_bits)) {
        cabac_write_cu_qp_delta(inst, coder, inst->cur_cu_z);
        inst->qg_delta_pending = 0;
        int units = cu->log2 > 3 ? 1 << (cu->log2 - 3) : 1;
        map_fill_block((uint8_t *)&inst->maps->cu_qp_map[cu->unit], units, units, 1,
                       (uint32_t)(uint8_t)inst->maps->cu_qp_map[cu->unit]);
    }
    if (cbf_luma) {
        int scan = cu->intra ? scan_idx_table[log2 - 2][luma_mode] : SCAN_DIAGONAL;
        cabac_write_residual(inst, coder, z, log2, scan, 0);
    }
    if (log2 == 2) {
        // Two 4x4 chroma blocks for the whole 8x8, after its fourth luma block.
        if ((z & 3) != 3)
            return;
        int scan = syntax_chroma_scan(inst, cu, z, log2);
        if (chroma_bits & cbf_cb_bit)
            cabac_write_residual(inst, coder, z - 3, 2, scan, 1);
        if (chroma_bits & cbf_cr_bit)
            cabac_write_residual(inst, coder, z - 3, 2, scan, 2);
        return;
    }
    int scan = syntax_chroma_scan(inst, cu, z, log2);
    if (chroma_bits & cbf_cb_bit)
        cabac_write_residual(inst, coder, z, log2 - 1, scan, 1);
    if (chroma_bits & cbf_cr_bit)
        cabac_write_residual(inst, coder, z, log2 - 1, scan, 2);
}

// parent_chroma: the chroma bits the parent node sent (both at the root).
static void write_tt_node(syntax_ctu_context *inst, cabac_encoder *coder, const syntax_tt_cu *cu, int z,
                          int log2, int parent_chroma)
{
    const int node = cu_node_index(log2, z);
    const uint8_t cbf = inst->decision->cbf_flags[node];
    const int trafo_depth = cu->log2 - log2;

    int split;
    if (syntax_tu_split_sent(inst, cu, log2, trafo_depth)) {
        split = inst->decision->tu_split[node] != 0;
        cabac_encode_bin(coder, ctx_split_transform_flag + 5 - log2, split);
    } else {
        split = syntax_tu_split_inferred(inst, cu, log2, trafo_depth);
    }
    int chroma = parent_chroma;
    if (log2 > 2) {
        chroma = 0;
        if (parent_chroma & cbf_cb_bit) {
            cabac_encode_bin(coder, ctx_cbf_chroma + trafo_depth, (cbf & cbf_cb_bit) != 0);
            chroma |= cbf & cbf_cb_bit;
        }
        if (parent_chroma & cbf_cr_bit) {
            cabac_encode_bin(coder, ctx_cbf_chroma + trafo_depth, (cbf & cbf_cr_bit) != 0);
            chroma |= cbf & cbf_cr_bit;
        }
    }
    if (split) {
        const int q = 1 << (2 * log2 - 6);
        for (int k = 0; k < 4; k++)
            write_tt_node(inst, coder, cu, z + k * q, log2 - 1, chroma);
        return;
    }
    write_tu(inst, coder, cu, z, log2, trafo_depth, chroma);
}

void cabac_write_transform_tree(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                int32_t x, int32_t y, int32_t log2_size, int32_t log2_cu)
{
    (void)x;
    (void)y;
    const syntax_tt_cu cu = syntax_tt_cu_of(inst, z, log2_cu);
    const int node = cu_node_index(log2_size, z);
    const uint8_t cbf = inst->decision->cbf_flags[node];
    const int trafo_depth = log2_cu - log2_size;
    int parent_chroma = cbf_cb_bit | cbf_cr_bit;

    if (trafo_depth == 0) {
        const int merged_2Nx2N = !cu.intra && inst->motion->merge_flag_map[cu.unit] && cu.part == part_2Nx2N;
        if (!cu.intra && !merged_2Nx2N) {
            cabac_encode_bin(coder, ctx_rqt_root_cbf, cbf != 0);
            if (cbf == 0) {
                syntax_set_residual_flag(inst, cu.unit, log2_cu, 0);
                return;
            }
        }
        syntax_set_residual_flag(inst, cu.unit, log2_cu, cu.intra ? cbf != 0 : 1);
    } else {
        // Entered below the CU root: the parent's chroma bits gate this node.
        parent_chroma = inst->decision->cbf_flags[cu_node_index(log2_size + 1, z)] & (cbf_cb_bit | cbf_cr_bit);
    }
    write_tt_node(inst, coder, &cu, z, log2_size, parent_chroma);
}

// ---- QP delta ----

void cabac_write_cu_qp_delta(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z)
{
    const int unit = zorder_to_map8[z >> 2];
    const int qp = inst->maps->cu_qp_map[unit];
    const int pred = cu_qp_predict(inst->maps->cu_qp_map, inst->qp_prev, inst->pps->diff_cu_qp_delta_depth, z);
    // The decoder wraps QpY modulo 52, so every QP is reachable with -26..25.
    const int d = ((qp - pred + 78) % 52) - 26;
    const int a = d < 0 ? -d : d;
    const int prefix = a < 5 ? a : 5;
    cabac_encode_bin(coder, ctx_cu_qp_delta_abs, a > 0);
    if (a == 0)
        return;
    for (int i = 1; i < prefix; i++)
        cabac_encode_bin(coder, ctx_cu_qp_delta_abs + 1, 1);
    if (prefix < 5)
        cabac_encode_bin(coder, ctx_cu_qp_delta_abs + 1, 0);
    else
        cabac_encode_bypass_expgolomb(coder, 0, (uint32_t)(a - 5));
    cabac_encode_bypass(coder, d < 0);
}

// ---- Residual coding ----

const int16_t *syntax_block_levels(const syntax_ctu_context *inst, int32_t z, int32_t plane)
{
    if (plane == 0)
        return inst->levels[0] + z * 16;
    return inst->levels[plane] + (z >> 2) * 16;
}

void cabac_write_residual(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                          int32_t log2_size, int32_t scan, int32_t plane)
{
    cabac_write_residual_block(coder, syntax_block_levels(inst, z, plane), log2_size, scan, plane > 0,
                               inst->pps->sign_data_hiding, inst->scans, inst->metrics);
}

// Bypass bins of the low n bits of value, most significant first, any n.
static void bypass_bits_long(cabac_encoder *coder, int n, uint32_t value)
{
    while (n > 8) {
        n -= 8;
        cabac_encode_bypass_bits(coder, 8, value >> n);
    }
    if (n > 0)
        cabac_encode_bypass_bits(coder, n, value);
}

static void bypass_ones(cabac_encoder *coder, int n)
{
    while (n >= 8) {
        cabac_encode_bypass_bits(coder, 8, 0xff);
        n -= 8;
    }
    if (n > 0)
        cabac_encode_bypass_bits(coder, n, 0xff);
}

void cabac_write_coeff_abs_level_remaining(cabac_encoder *coder, int32_t k, uint32_t value)
{
    if (value < (3u << k)) {
        bypass_ones(coder, (int)(value >> k));
        cabac_encode_bypass(coder, 0);
        bypass_bits_long(coder, k, value);
        return;
    }
    uint32_t u = value - (3u << k);
    int m = 0;
    while (((u >> k) + 1) >= (2u << m))
        m++;
    bypass_ones(coder, 3 + m);
    cabac_encode_bypass(coder, 0);
    bypass_bits_long(coder, m + k, u - (((1u << m) - 1) << k));
}

static void write_last_prefix(cabac_encoder *coder, int base, int group, int max_prefix, int shift)
{
    for (int b = 0; b < group; b++)
        cabac_encode_bin(coder, base + (b >> shift), 1);
    if (group < max_prefix)
        cabac_encode_bin(coder, base + (group >> shift), 0);
}

void cabac_write_last_sig_coeff_pos(cabac_encoder *coder, int32_t log2_size, int32_t x, int32_t y,
                                    int32_t is_chroma)
{
    int offset, shift;
    if (is_chroma) {
        offset = 15;
        shift = log2_size - 2;
    } else {
        offset = 3 * (log2_size - 2) + ((log2_size - 1) >> 2);
        shift = (log2_size + 1) >> 2;
    }
    const int gx = last_pos_group_table[x] & 15;
    const int gy = last_pos_group_table[y] & 15;
    const int max_prefix = 2 * log2_size - 1;
    write_last_prefix(coder, ctx_last_x_prefix + offset, gx, max_prefix, shift);
    write_last_prefix(coder, ctx_last_y_prefix + offset, gy, max_prefix, shift);
    if (gx > 3) {
        int len = (gx >> 1) - 1;
        cabac_encode_bypass_bits(coder, len, (uint32_t)(x - ((2 + (gx & 1)) << len)));
    }
    if (gy > 3) {
        int len = (gy >> 1) - 1;
        cabac_encode_bypass_bits(coder, len, (uint32_t)(y - ((2 + (gy & 1)) << len)));
    }
}

struct coded_levels {
    int n;
    int value[16];   // signed, highest scan position first
    int pos[16];     // position inside the sub-block
};

static void write_sub_block_levels(cabac_encoder *coder, const coded_levels *list, int sub_block,
                                   int is_chroma, int sign_hiding, int *c1)
{
    const int n = list->n;
    const int ctx_set = (sub_block > 0 && !is_chroma ? 2 : 0) + (*c1 == 0 ? 1 : 0);
    const int gt1_base = (is_chroma ? ctx_greater1_flag + 16 : ctx_greater1_flag) + 4 * ctx_set;
    const int gt2_base = is_chroma ? ctx_greater2_flag + 4 : ctx_greater2_flag;
    int abs_level[16];
    for (int j = 0; j < n; j++)
        abs_level[j] = list->value[j] < 0 ? -list->value[j] : list->value[j];

    *c1 = 1;
    int first_gt1 = -1;
    for (int j = 0; j < n && j < 8; j++) {
        int g = abs_level[j] > 1;
        cabac_encode_bin(coder, gt1_base + *c1, g);
        if (g) {
            *c1 = 0;
            if (first_gt1 < 0)
                first_gt1 = j;
        } else if (*c1 > 0 && *c1 < 3) {
            (*c1)++;
        }
    }
    if (first_gt1 >= 0)
        cabac_encode_bin(coder, gt2_base + ctx_set, abs_level[first_gt1] > 2);

    // The decoder infers the lowest-frequency sign from the parity of the
    // level sum; the quantiser has made it agree.
    const int hidden = sign_hiding && list->pos[0] - list->pos[n - 1] >= 4;
    for (int j = 0; j < n - hidden; j++)
        cabac_encode_bypass(coder, list->value[j] < 0);

    int k = 0;
    for (int j = 0; j < n; j++) {
        int base = j < 8 ? (j == first_gt1 ? 3 : 2) : 1;
        if (abs_level[j] < base)
            continue;
        cabac_write_coeff_abs_level_remaining(coder, k, (uint32_t)(abs_level[j] - base));
        if (abs_level[j] > (3 << k) && k < 4)
            k++;
    }
}

void cabac_write_residual_block(cabac_encoder *coder, const int16_t *levels, int32_t log2_size,
                                int32_t scan, int32_t is_chroma, int32_t sign_hiding,
                                const scan_tables *scans, const metric_table *metrics)
{
    const int n_side = 1 << log2_size;
    const int w = n_side >> 2;   // sub-blocks per row
    const uint16_t *order = scan_order(scans, log2_size, scan);
    uint16_t signs[64], sig[64];
    uint8_t count[64];
    const int n_nz = (int)metrics->count_nonzero_coeffs(levels, log2_size);
    const int last = metrics->scan_coeff_groups(order, levels, signs, sig, count, n_nz,
                                                scan_order(scans, 2, scan), n_side);

    int last_x = order[last] & (n_side - 1);
    int last_y = order[last] >> log2_size;
    if (scan == SCAN_VERTICAL)
        cabac_write_last_sig_coeff_pos(coder, log2_size, last_y, last_x, is_chroma);
    else
        cabac_write_last_sig_coeff_pos(coder, log2_size, last_x, last_y, is_chroma);

    const int last_sb = last >> 4;
    uint64_t mask = 0;   // coded sub-blocks by raster position in the w x w grid
    for (int i = 0; i <= last_sb; i++) {
        if (count[i] == 0)
            continue;
        int p = order[16 * i];
        mask |= 1ull << (((p >> log2_size) >> 2) * w + ((p & (n_side - 1)) >> 2));
    }
    const int sig_base = is_chroma ? ctx_sig_coeff_flag + 27 : ctx_sig_coeff_flag;
    const int csbf_base = is_chroma ? ctx_coded_sub_block_flag + 2 : ctx_coded_sub_block_flag;
    int c1 = 1;
    for (int i = last_sb; i >= 0; i--) {
        const int p0 = order[16 * i];
        const int xs = (p0 & (n_side - 1)) >> 2;
        const int ys = (p0 >> log2_size) >> 2;
        const int right = xs < w - 1 && ((mask >> (ys * w + xs + 1)) & 1);
        const int below = ys < w - 1 && ((mask >> ((ys + 1) * w + xs)) & 1);
        const int coded = (int)((mask >> (ys * w + xs)) & 1);
        if (i < last_sb && i > 0) {
            cabac_encode_bin(coder, csbf_base + (right | below), coded);
            if (!coded)
                continue;
        }
        const uint64_t pattern = sig_ctx_pattern_table[scan][log2_size == 2 ? 4 : right + 2 * below];
        const int ctx0 = sig_base + syntax_sig_ctx_offset(log2_size, scan, is_chroma, i == 0);
        const uint16_t *sb_order = order + 16 * i;
        coded_levels list;
        list.n = 0;
        int top = 15;
        if (i == last_sb) {
            top = (last & 15) - 1;
            list.value[0] = levels[order[last]];
            list.pos[0] = last & 15;
            list.n = 1;
        }
        for (int n = top; n >= 1; n--) {
            int v = levels[sb_order[n]];
            cabac_encode_bin(coder, ctx0 + (int)((pattern >> (4 * (15 - n))) & 15), v != 0);
            if (v) {
                list.value[list.n] = v;
                list.pos[list.n++] = n;
            }
        }
        if (top >= 0) {
            int v = levels[sb_order[0]];
            if (i == 0 || i == last_sb || list.n > 0) {
                // The block's DC position has context 0 of its set.
                int ctx = i == 0 ? sig_base : ctx0 + (int)(pattern >> 60);
                cabac_encode_bin(coder, ctx, v != 0);
            }
            if (v) {
                list.value[list.n] = v;
                list.pos[list.n++] = 0;
            }
        }
        if (list.n > 0)
            write_sub_block_levels(coder, &list, i, is_chroma, sign_hiding, &c1);
    }
}
