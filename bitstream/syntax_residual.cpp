// Transform tree, cu_qp_delta and residual_coding syntax (H.265 clauses
// 7.3.8.8 - 7.3.8.11 with the context selection of clause 9.3.4.2), written
// once over a bin sink: the cabac_write_ entry points code the bins, the
// rate_est_ entry points price them for mode decision.
#include "analysis/mode_decision.h"
#include "bitstream/qp_predict.h"
#include "bitstream/syntax_shared.h"
#include "bitstream/syntax_sink.h"

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

enum { sub_block_greater1_flags = 8 };   // levels of a sub-block that may send greater1

// ---- Residual coding ----

const int16_t *syntax_levels_at(const int16_t *plane_levels, int32_t z, int32_t plane)
{
    if (plane == 0)
        return plane_levels + z * 16;
    return plane_levels + (z >> 2) * 16;
}

const int16_t *syntax_block_levels(const syntax_ctu_context *inst, int32_t z, int32_t plane)
{
    return syntax_levels_at(inst->levels[plane], z, plane);
}

template <class Sink>
static void coeff_abs_level_remaining(Sink s, int k, uint32_t value)
{
    const rice_code code = coeff_remaining_code(k, value);
    s.bypass(code.prefix + 1, ((1u << code.prefix) - 1u) << 1);
    s.bypass(code.suffix_bins, code.suffix);
}

template <class Sink>
static void last_prefix(Sink s, int base, int group, int max_prefix, int shift)
{
    for (int b = 0; b < group; b++)
        s.bin(base + (b >> shift), 1);
    if (group < max_prefix)
        s.bin(base + (group >> shift), 0);
}

// Suffix of a last-position coordinate in the group's suffix bits.
static uint32_t last_suffix(int pos)
{
    const int group = last_pos_group_table[pos] & 15;
    if (group <= 3)
        return 0;
    return (uint32_t)(pos - ((2 + (group & 1)) << ((group >> 1) - 1)));
}

template <class Sink>
static void last_sig_coeff_pos(Sink s, int log2_size, int x, int y, int is_chroma)
{
    int offset, shift;
    if (is_chroma) {
        offset = 15;
        shift = log2_size - 2;
    } else {
        offset = 3 * (log2_size - 2) + ((log2_size - 1) >> 2);
        shift = (log2_size + 1) >> 2;
    }
    const int max_prefix = 2 * log2_size - 1;
    last_prefix(s, ctx_last_x_prefix + offset, last_pos_group_table[x] & 15, max_prefix, shift);
    last_prefix(s, ctx_last_y_prefix + offset, last_pos_group_table[y] & 15, max_prefix, shift);
    s.bypass(last_pos_group_table[x] >> 4, last_suffix(x));
    s.bypass(last_pos_group_table[y] >> 4, last_suffix(y));
}

// The level bins of a sub-block (greater1 flags, the greater2 flag, signs
// and remaining levels) are worked out in the same walk as its significance
// flags but follow them in the stream. An order-keeping sink (the coder)
// holds them back and sends them in the standard's order when the sub-block
// ends; a counting sink prices them at once, since its costs add up in any
// order and the level contexts are not the significance contexts.
template <class Sink, bool hold = Sink::keeps_bin_order>
struct sub_block_levels;

template <class Sink>
struct sub_block_levels<Sink, false> {
    Sink s;
    explicit sub_block_levels(Sink sink) : s(sink) {}
    void greater1(int slot, int bin) { s.bin(slot, bin); }
    void greater2(int slot, int bin) { s.bin(slot, bin); }
    void remaining(int k, uint32_t value) { coeff_abs_level_remaining(s, k, value); }
    void finish(int sign_count, uint32_t signs) { s.bypass(sign_count, signs); }
};

template <class Sink>
struct sub_block_levels<Sink, true> {
    Sink s;
    int flags = 0;
    uint8_t flag_slot[sub_block_greater1_flags], flag_bin[sub_block_greater1_flags];
    int gt2_slot = -1, gt2_bin = 0;   // sent after every greater1 flag
    int escapes = 0;
    uint8_t escape_k[16];
    uint32_t escape_value[16];

    explicit sub_block_levels(Sink sink) : s(sink) {}
    void greater1(int slot, int bin)
    {
        flag_slot[flags] = (uint8_t)slot;
        flag_bin[flags++] = (uint8_t)bin;
    }
    void greater2(int slot, int bin)
    {
        gt2_slot = slot;
        gt2_bin = bin;
    }
    void remaining(int k, uint32_t value)
    {
        escape_k[escapes] = (uint8_t)k;
        escape_value[escapes++] = value;
    }
    void finish(int sign_count, uint32_t signs)
    {
        for (int i = 0; i < flags; i++)
            s.bin(flag_slot[i], flag_bin[i]);
        if (gt2_slot >= 0)
            s.bin(gt2_slot, gt2_bin);
        s.bypass(sign_count, signs);
        for (int i = 0; i < escapes; i++)
            coeff_abs_level_remaining(s, escape_k[i], escape_value[i]);
    }
};

// One non-zero level of a sub-block, the n-th in coding order: its greater1
// flag (the first eight levels), the greater2 flag (the first level flagged
// above 1) and the remaining level where the flags leave it open. c1 is the
// greater1 context state: 1 at the start of a sub-block, one more after each
// level of 1 up to 3, and 0 for good once a level above 1 was flagged; k is
// the Rice parameter of the remaining levels. Inlined into the walk, so that
// the states stay in registers.
template <class Held>
static inline __attribute__((always_inline)) void level_bins(Held *held, int level, int n, int gt1_base,
                                                             int gt2_slot, int *c1, int *k)
{
    int base = 1;     // what the flags sent tell of the level
    int escape = 1;   // the last flag sent was 1, or none was sent
    if (n < sub_block_greater1_flags) {
        const int g1 = level > 1;
        held->greater1(gt1_base + *c1, g1);
        if (g1) {
            base = 2;
            if (*c1 != 0) {
                held->greater2(gt2_slot, level > 2);
                base = 3;
                escape = level > 2;
            }
            *c1 = 0;
        } else {
            escape = 0;
            if (*c1 > 0 && *c1 < 3)
                (*c1)++;
        }
    }
    if (escape) {
        held->remaining(*k, (uint32_t)(level - base));
        if (level > (3 << *k) && *k < 4)
            (*k)++;
    }
}

namespace {

// What every stage of a block's coding reads. The stages are inlined into
// the block's walk, as level_bins is, so that the record's fields stay in
// registers.
struct residual_walk {
    const int16_t *levels;
    const uint16_t *order;                 // scan order of the block
    const uint16_t *signs, *sig;           // per sub-block: signs and significance in coding order
    int log2_size, n_side, w, scan, is_chroma, sign_hiding;
    int last, last_sb;                     // last significant position, its sub-block
    int gt1_block, gt2_block, sig_base, csbf_base;
    uint64_t mask;                         // coded sub-blocks by raster position in the w x w grid
};

// The contexts of one sub-block and its walk order.
struct sub_block_walk {
    const uint16_t *sb_order;
    uint64_t pattern;      // context increments of the 16 positions, four bits each
    int ctx0, gt1_base, gt2_slot, top;
};

// Only the first level: no significance flag, the first sub-block's contexts.
template <class Sink>
inline __attribute__((always_inline)) void first_level_only(Sink s, const residual_walk *r)
{
    sub_block_levels<Sink> held(s);
    int c1 = 1, k = 0;
    last_sig_coeff_pos(s, r->log2_size, 0, 0, r->is_chroma);
    level_bins(&held, r->levels[0] < 0 ? -r->levels[0] : r->levels[0], 0, r->gt1_block, r->gt2_block, &c1, &k);
    held.finish(1, r->signs[0]);
}

template <class Sink>
inline __attribute__((always_inline)) void last_position(Sink s, const residual_walk *r)
{
    const int last_x = r->order[r->last] & (r->n_side - 1);
    const int last_y = r->order[r->last] >> r->log2_size;
    if (r->scan == SCAN_VERTICAL)
        last_sig_coeff_pos(s, r->log2_size, last_y, last_x, r->is_chroma);
    else
        last_sig_coeff_pos(s, r->log2_size, last_x, last_y, r->is_chroma);
}

inline __attribute__((always_inline)) uint64_t coded_sub_blocks(const residual_walk *r,
                                                                const uint8_t *count)
{
    uint64_t mask = 0;
    for (int i = 0; i <= r->last_sb; i++) {
        if (count[i] == 0)
            continue;
        int p = r->order[16 * i];
        mask |= 1ull << (((p >> r->log2_size) >> 2) * r->w + ((p & (r->n_side - 1)) >> 2));
    }
    return mask;
}

// The significance flags of sub-block i from position pos down, each
// significant position followed by its level's bins; n levels came before.
// Returns the levels of the sub-block.
template <class Sink>
inline __attribute__((always_inline)) int significance_walk(Sink s, sub_block_levels<Sink> *held,
                                                            const residual_walk *r, int i,
                                                            const sub_block_walk *b, int pos, int n,
                                                            int *c1, int *k)
{
    // The pattern's context increments from pos down, four bits each (none
    // left when the last position was the sub-block's first), and the
    // significance of the positions from pos down, one bit each: the summary
    // holds position p at bit top - p. Only a significant position reads its
    // level.
    uint64_t increments = pos >= 0 ? b->pattern >> (4 * (15 - pos)) : 0;
    uint32_t flags = pos >= 0 ? (uint32_t)r->sig[i] >> (b->top - pos) : 0;
    for (; pos > 0; pos--, increments >>= 4, flags >>= 1) {
        const int significant = (int)(flags & 1);
        s.bin(b->ctx0 + (int)(increments & 15), significant);
        if (!significant)
            continue;
        const int v = r->levels[b->sb_order[pos]];
        level_bins(held, v < 0 ? -v : v, n, b->gt1_base, b->gt2_slot, c1, k);
        n++;
    }
    if (pos == 0) {
        // No flag at position 0 of an inner coded sub-block with nothing
        // above it (inferred non-zero); the block's DC position has
        // context 0 of its set.
        const int v = r->levels[b->sb_order[0]];
        if (i == 0 || i == r->last_sb || n > 0)
            s.bin(i == 0 ? r->sig_base : b->ctx0 + (int)(increments & 15), (int)(flags & 1));
        if (v != 0) {
            level_bins(held, v < 0 ? -v : v, n, b->gt1_base, b->gt2_slot, c1, k);
            n++;
        }
    }
    return n;
}

// A coded sub-block: its significance and levels, then its signs. c1 comes
// in from the sub-block before, choosing the context set, and goes out to
// the next.
template <class Sink>
inline __attribute__((always_inline)) void sub_block_code(Sink s, const residual_walk *r, int i,
                                                          int right, int below, int *c1)
{
    sub_block_walk b;
    b.pattern = sig_ctx_pattern_table[r->scan][r->log2_size == 2 ? 4 : right + 2 * below];
    b.ctx0 = r->sig_base + syntax_sig_ctx_offset(r->log2_size, r->scan, r->is_chroma, i == 0);
    const int ctx_set = (i > 0 && !r->is_chroma ? 2 : 0) + (*c1 == 0 ? 1 : 0);
    b.gt1_base = r->gt1_block + 4 * ctx_set;
    b.gt2_slot = r->gt2_block + ctx_set;
    b.sb_order = r->order + 16 * i;
    b.top = i == r->last_sb ? (r->last & 15) : 15;
    sub_block_levels<Sink> held(s);
    *c1 = 1;
    int k = 0;
    int n = 0;   // levels so far
    int pos = b.top;
    if (i == r->last_sb) {
        // No flag at the last position: non-zero by definition.
        const int v = r->levels[b.sb_order[pos]];
        level_bins(&held, v < 0 ? -v : v, n, b.gt1_base, b.gt2_slot, c1, &k);
        n++;
        pos--;
    }
    n = significance_walk(s, &held, r, i, &b, pos, n, c1, &k);
    if (n == 0)
        return;   // the first sub-block may hold nothing
    // The decoder infers the lowest-frequency sign from the parity of the
    // level sum when the levels span four positions or more; the quantiser
    // has made it agree.
    const int hidden = r->sign_hiding && (31 - __builtin_clz(r->sig[i])) - __builtin_ctz(r->sig[i]) >= 4;
    held.finish(n - hidden, (uint32_t)r->signs[i] >> hidden);
}

}  // namespace

template <class Sink>
static void residual_block(Sink s, const int16_t *levels, int log2_size, int scan, int is_chroma,
                           int sign_hiding, const scan_tables *scans, const metric_table *metrics)
{
    residual_walk r;
    r.levels = levels;
    r.log2_size = log2_size;
    r.n_side = 1 << log2_size;
    r.w = r.n_side >> 2;   // sub-blocks per row
    r.scan = scan;
    r.is_chroma = is_chroma;
    r.sign_hiding = sign_hiding;
    r.order = scan_order(scans, log2_size, scan);
    r.gt1_block = is_chroma ? ctx_greater1_flag + 16 : ctx_greater1_flag;
    r.gt2_block = is_chroma ? ctx_greater2_flag + 4 : ctx_greater2_flag;
    r.sig_base = is_chroma ? ctx_sig_coeff_flag + 27 : ctx_sig_coeff_flag;
    r.csbf_base = is_chroma ? ctx_coded_sub_block_flag + 2 : ctx_coded_sub_block_flag;
    uint16_t signs[64], sig[64];
    uint8_t count[64];
    r.signs = signs;
    r.sig = sig;
    const int n_nz = (int)metrics->count_nonzero_coeffs(levels, log2_size);
    if (n_nz == 0)
        return;
    r.last = metrics->scan_coeff_groups(r.order, levels, signs, sig, count, n_nz, scan_order(scans, 2, scan),
                                       r.n_side);
    if (r.last == 0) {
        first_level_only(s, &r);
        return;
    }
    last_position(s, &r);
    r.last_sb = r.last >> 4;
    r.mask = coded_sub_blocks(&r, count);
    int c1 = 1;   // carried from sub-block to sub-block into the context set
    for (int i = r.last_sb; i >= 0; i--) {
        const int p0 = r.order[16 * i];
        const int xs = (p0 & (r.n_side - 1)) >> 2;
        const int ys = (p0 >> log2_size) >> 2;
        const int right = xs < r.w - 1 && ((r.mask >> (ys * r.w + xs + 1)) & 1);
        const int below = ys < r.w - 1 && ((r.mask >> ((ys + 1) * r.w + xs)) & 1);
        if (i < r.last_sb && i > 0) {
            const int coded = (int)((r.mask >> (ys * r.w + xs)) & 1);
            s.bin(r.csbf_base + (right | below), coded);
            if (!coded)
                continue;
        }
        sub_block_code(s, &r, i, right, below, &c1);
    }
}

void cabac_write_residual_block(cabac_encoder *coder, const int16_t *levels, int32_t log2_size,
                                int32_t scan, int32_t is_chroma, int32_t sign_hiding,
                                const scan_tables *scans, const metric_table *metrics)
{
    residual_block(syntax_bin_coder{coder}, levels, log2_size, scan, is_chroma, sign_hiding, scans, metrics);
}

void rate_est_residual(cabac_encoder *rec, const int16_t *levels, int32_t log2_size, int32_t scan,
                       int32_t is_chroma, int32_t sign_hiding, const scan_tables *scans,
                       const metric_table *metrics)
{
    residual_block(syntax_bin_counter{rec}, levels, log2_size, scan, is_chroma, sign_hiding, scans, metrics);
}

template <class Sink>
static void residual(Sink s, const syntax_ctu_context *inst, int z, int log2_size, int scan, int plane)
{
    residual_block(s, syntax_block_levels(inst, z, plane), log2_size, scan, plane > 0,
                   inst->pps->sign_data_hiding, inst->scans, inst->metrics);
}

void cabac_write_residual(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                          int32_t log2_size, int32_t scan, int32_t plane)
{
    residual(syntax_bin_coder{coder}, inst, z, log2_size, scan, plane);
}

void rate_est_residual_block(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z,
                             int32_t log2_size, int32_t scan, int32_t plane)
{
    residual(syntax_bin_counter{rec}, inst, z, log2_size, scan, plane);
}

void cabac_write_last_sig_coeff_pos(cabac_encoder *coder, int32_t log2_size, int32_t x, int32_t y,
                                    int32_t is_chroma)
{
    last_sig_coeff_pos(syntax_bin_coder{coder}, log2_size, x, y, is_chroma);
}

void rate_est_last_pos(cabac_encoder *rec, int32_t log2_size, int32_t x, int32_t y,
                       int32_t is_chroma)
{
    last_sig_coeff_pos(syntax_bin_counter{rec}, log2_size, x, y, is_chroma);
}

void cabac_write_coeff_abs_level_remaining(cabac_encoder *coder, int32_t k, uint32_t value)
{
    coeff_abs_level_remaining(syntax_bin_coder{coder}, k, value);
}

// ---- QP delta ----

template <class Sink>
static void cu_qp_delta(Sink s, const syntax_ctu_context *inst, int z)
{
    const int unit = zorder_to_map8[z >> 2];
    const int qp = inst->maps->cu_qp_map[unit];
    const int pred = cu_qp_predict(inst->maps->cu_qp_map, inst->qp_prev, inst->pps->diff_cu_qp_delta_depth, z);
    // The decoder wraps QpY modulo 52, so every QP is reachable with -26..25.
    const int d = ((qp - pred + 78) % 52) - 26;
    const int a = d < 0 ? -d : d;
    const int prefix = a < 5 ? a : 5;
    s.bin(ctx_cu_qp_delta_abs, a > 0);
    if (a == 0)
        return;
    for (int i = 1; i < prefix; i++)
        s.bin(ctx_cu_qp_delta_abs + 1, 1);
    if (prefix < 5)
        s.bin(ctx_cu_qp_delta_abs + 1, 0);
    else
        s.bypass_expgolomb(0, (uint32_t)(a - 5));
    s.bypass(1, d < 0);
}

void cabac_write_cu_qp_delta(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z)
{
    cu_qp_delta(syntax_bin_coder{coder}, inst, z);
}

void rate_est_cu_qp_delta(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z)
{
    cu_qp_delta(syntax_bin_counter{rec}, inst, z);
}

// ---- Transform tree ----

template <class Sink>
static void transform_unit(Sink s, syntax_ctu_context *inst, const syntax_tt_cu *cu, int z, int log2,
                           int trafo_depth, int chroma_bits)
{
    const int node = cu_node_index(log2, z);
    const uint8_t cbf = inst->decision->cbf_flags[node];
    const int luma_mode = inst->intra_modes[zorder_to_map4[z]];
    const int cbf_luma = cbf & cbf_luma_bit;

    if (cu->intra || trafo_depth > 0 || chroma_bits)
        s.bin(ctx_cbf_luma + (trafo_depth == 0 ? 1 : 0), cbf_luma);
    // For 4x4 luma blocks the chroma of the 8x8 counts for each of the four;
    // the first block with anything coded carries the QP delta.
    if constexpr (Sink::final_write) {
        if (inst->pps->cu_qp_delta_enabled && inst->qg_delta_pending && (cbf_luma || chroma_bits)) {
            cu_qp_delta(s, inst, inst->cur_cu_z);
            inst->qg_delta_pending = 0;
            int units = cu->log2 > 3 ? 1 << (cu->log2 - 3) : 1;
            map_fill_block((uint8_t *)&inst->maps->cu_qp_map[cu->unit], units, units, 1,
                           (uint32_t)(uint8_t)inst->maps->cu_qp_map[cu->unit]);
        }
    }
    if (cbf_luma) {
        int scan = cu->intra ? scan_idx_of(log2, luma_mode) : SCAN_DIAGONAL;
        residual(s, inst, z, log2, scan, 0);
    }
    // Chroma blocks are half the luma size; for 4x4 luma blocks two 4x4
    // chroma blocks cover the whole 8x8, after its fourth luma block.
    if (log2 == 2 && (z & 3) != 3)
        return;
    const int chroma_z = log2 == 2 ? z - 3 : z;
    const int chroma_log2 = log2 == 2 ? 2 : log2 - 1;
    const int scan = syntax_chroma_scan(inst, cu, z, log2);
    if (chroma_bits & cbf_cb_bit)
        residual(s, inst, chroma_z, chroma_log2, scan, 1);
    if (chroma_bits & cbf_cr_bit)
        residual(s, inst, chroma_z, chroma_log2, scan, 2);
}

// parent_chroma: the chroma bits the parent node sent (both at the root).
template <class Sink>
static void transform_node(Sink s, syntax_ctu_context *inst, const syntax_tt_cu *cu, int z, int log2,
                           int parent_chroma)
{
    const int node = cu_node_index(log2, z);
    const uint8_t cbf = inst->decision->cbf_flags[node];
    const int trafo_depth = cu->log2 - log2;

    int split;
    if (syntax_tu_split_sent(inst, cu, log2, trafo_depth)) {
        split = inst->decision->tu_split[node] != 0;
        s.bin(ctx_split_transform_flag + 5 - log2, split);
    } else {
        split = syntax_tu_split_inferred(inst, cu, log2, trafo_depth);
    }
    int chroma = parent_chroma;
    if (log2 > 2) {
        chroma = 0;
        if (parent_chroma & cbf_cb_bit) {
            s.bin(ctx_cbf_chroma + trafo_depth, (cbf & cbf_cb_bit) != 0);
            chroma |= cbf & cbf_cb_bit;
        }
        if (parent_chroma & cbf_cr_bit) {
            s.bin(ctx_cbf_chroma + trafo_depth, (cbf & cbf_cr_bit) != 0);
            chroma |= cbf & cbf_cr_bit;
        }
    }
    if (split) {
        const int q = 1 << (2 * log2 - 6);
        for (int k = 0; k < 4; k++)
            transform_node(s, inst, cu, z + k * q, log2 - 1, chroma);
        return;
    }
    transform_unit(s, inst, cu, z, log2, trafo_depth, chroma);
}

template <class Sink>
static void transform_tree(Sink s, syntax_ctu_context *inst, int z, int log2_size, int log2_cu)
{
    const syntax_tt_cu cu = syntax_tt_cu_of(inst, z, log2_cu);
    const uint8_t cbf = inst->decision->cbf_flags[cu_node_index(log2_size, z)];
    int parent_chroma = cbf_cb_bit | cbf_cr_bit;

    if (log2_size == log2_cu) {
        const int merged_2Nx2N = !cu.intra && inst->motion->merge_flag_map[cu.unit] && cu.part == part_2Nx2N;
        if (!cu.intra && !merged_2Nx2N) {
            s.bin(ctx_rqt_root_cbf, cbf != 0);
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
    transform_node(s, inst, &cu, z, log2_size, parent_chroma);
}

void cabac_write_transform_tree(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                int32_t x, int32_t y, int32_t log2_size, int32_t log2_cu)
{
    (void)x;
    (void)y;
    transform_tree(syntax_bin_coder{coder}, inst, z, log2_size, log2_cu);
}

void rate_est_transform_tree(syntax_ctu_context *inst, cabac_encoder *rec, int32_t z, int32_t x,
                             int32_t y, int32_t log2_size, int32_t log2_cu)
{
    (void)x;
    (void)y;
    transform_tree(syntax_bin_counter{rec}, inst, z, log2_size, log2_cu);
}
