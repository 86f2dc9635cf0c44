// Derivations shared by the CABAC syntax writer and its rate estimator.
// Both walk the same syntax and must agree exactly, so each decision they
// both take is made in one place; inline so neither pays a call.
#pragma once
#include <cstdint>

#include "analysis/mode_decision.h"
#include "bitstream/syntax_writer.h"

// Sets or clears the residual flag over a CU, keeping its other flags.
static inline void syntax_set_residual_flag(syntax_ctu_context *inst, int unit, int log2_size,
                                            int present)
{
    int units = log2_size > 3 ? 1 << (log2_size - 3) : 1;
    uint8_t f = (uint8_t)((inst->maps->cu_flags_map[unit] & ~cu_flag_residual) |
                          (present ? cu_flag_residual : 0));
    map_fill_block(&inst->maps->cu_flags_map[unit], units, units, 1, f);
}

static inline void syntax_mark_available(syntax_ctu_context *inst, int x, int y, int w, int h)
{
    if (inst->inter.map_mark_available)
        inst->inter.map_mark_available(inst->inter.owner, x, y, w, h);
}

// AMVP predictor choice: predictor 0 unless predictor 1 gives a strictly
// smaller |dx| + |dy|. Fills the difference to send and returns the flag.
static inline int syntax_choose_mv_predictor(uint32_t mv, const uint32_t *predictors, int count,
                                             int16_t mvd[2])
{
    const int mx = (int16_t)(mv & 0xffff), my = (int16_t)(mv >> 16);
    int flag = 0;
    int dx = mx - (int16_t)(predictors[0] & 0xffff);
    int dy = my - (int16_t)(predictors[0] >> 16);
    if (count >= 2) {
        int ex = mx - (int16_t)(predictors[1] & 0xffff);
        int ey = my - (int16_t)(predictors[1] >> 16);
        int cost0 = (dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy);
        int cost1 = (ex < 0 ? -ex : ex) + (ey < 0 ? -ey : ey);
        if (cost1 < cost0) {
            flag = 1;
            dx = ex;
            dy = ey;
        }
    }
    mvd[0] = (int16_t)dx;
    mvd[1] = (int16_t)dy;
    return flag;
}

// Intra chroma prediction mode of the CU whose first 4x4 unit is cu_z, given
// the luma mode it derives from (34 replaces a table mode equal to luma).
static inline int syntax_chroma_intra_mode(const syntax_ctu_context *inst, int cu_z, int luma_mode)
{
    int idx = inst->intra_modes[zorder_to_map4[256 + (cu_z >> 2)]];
    if (idx == chroma_mode_from_luma)
        return luma_mode;
    int mode = chroma_mode_table[idx & 3];
    return mode == luma_mode ? INTRA_MODE_LAST : mode;
}

// Offset of the sig_coeff_flag contexts of a sub-block beyond the pattern
// increment (clause 9.3.4.2.5).
static inline int syntax_sig_ctx_offset(int log2, int scan, int is_chroma, int first_sub_block)
{
    if (log2 == 2)
        return 0;
    if (is_chroma)
        return log2 == 3 ? 9 : 12;
    int offset = log2 == 3 ? (scan == SCAN_DIAGONAL ? 9 : 15) : 21;
    return offset + (first_sub_block ? 0 : 3);
}

// A merged 2Nx2N CU without residual cannot be sent as such: rqt_root_cbf is
// implied and an unsplit root then implies cbf_luma. It is the same CU as a
// skipped one with that merge index, so it is sent skipped; this marks it so
// in the flags map. Returns whether the CU is sent skipped.
static inline int syntax_cu_sent_skipped(syntax_ctu_context *inst, int node, int unit, int log2_size)
{
    ctu_cu_maps *maps = inst->maps;
    int skip = maps->cu_flags_map[unit] & cu_flag_skip;
    if (!skip && inst->slice_type != slice_i && maps->pred_mode_map[unit] != 1 && inst->motion->merge_flag_map[unit] &&
        inst->decision->part_mode[node] == part_2Nx2N && inst->decision->cbf_flags[node] == 0) {
        skip = 1;
        int units = (1 << log2_size) >> 3;
        map_fill_block(&maps->cu_flags_map[unit], units, units, 1,
                       (uint32_t)(uint8_t)(maps->cu_flags_map[unit] | cu_flag_skip));
    }
    return skip;
}

// Position, size and first 4x4 unit of each prediction unit of an inter CU.
struct syntax_pu {
    int z, x, y, width, height;
};

// Fills the PUs of partition part of the CU at (z, x, y); returns their number.
static inline int syntax_pu_layout(uint32_t part, int z, int x, int y, int log2_size, syntax_pu pu[4])
{
    const int s = 1 << log2_size, h = s >> 1;
    const int q = 1 << (2 * log2_size - 6);
    switch (part) {
    case part_2Nx2N:
        pu[0] = {z, x, y, s, s};
        return 1;
    case part_2NxN:
        pu[0] = {z, x, y, s, h};
        pu[1] = {z + 2 * q, x, y + h, s, h};
        return 2;
    case part_Nx2N:
        pu[0] = {z, x, y, h, s};
        pu[1] = {z + q, x + h, y, h, s};
        return 2;
    case part_NxN:
        pu[0] = {z, x, y, h, h};
        pu[1] = {z + q, x + h, y, h, h};
        pu[2] = {z + 2 * q, x, y + h, h, h};
        pu[3] = {z + 3 * q, x + h, y + h, h, h};
        return 4;
    default:
        return 0;
    }
}

// The CU a transform tree belongs to.
struct syntax_tt_cu {
    int z;          // the CU's first 4x4 unit
    int log2;
    int unit;       // the CU's first 8x8 unit
    int intra;
    int part;
    int intra_split;
};

// The CU of size log2_cu that contains the 4x4 unit z.
static inline syntax_tt_cu syntax_tt_cu_of(const syntax_ctu_context *inst, int z, int log2_cu)
{
    syntax_tt_cu cu;
    cu.log2 = log2_cu;
    cu.z = z & ~((1 << (2 * (log2_cu - 2))) - 1);
    cu.unit = zorder_to_map8[cu.z >> 2];
    cu.intra = inst->maps->pred_mode_map[cu.unit] == 1;
    cu.part = (int)inst->decision->part_mode[cu_node_index(log2_cu, cu.z)];
    cu.intra_split = cu.intra && cu.part == part_NxN;
    return cu;
}

// Whether split_transform_flag is sent for a node of size log2 at trafo_depth.
static inline int syntax_tu_split_sent(const syntax_ctu_context *inst, const syntax_tt_cu *cu, int log2,
                                       int trafo_depth)
{
    const sps_params *sps = inst->sps;
    const int max_depth = cu->intra ? sps->max_tu_depth_intra + cu->intra_split : sps->max_tu_depth_inter;
    return log2 <= sps->log2_max_tb_size && log2 > sps->log2_min_tb_size && trafo_depth < max_depth &&
           !(cu->intra_split && trafo_depth == 0);
}

// The split a decoder infers where the flag is not sent.
static inline int syntax_tu_split_inferred(const syntax_ctu_context *inst, const syntax_tt_cu *cu, int log2,
                                           int trafo_depth)
{
    const sps_params *sps = inst->sps;
    int inter_split = sps->max_tu_depth_inter == 0 && !cu->intra && cu->part != part_2Nx2N && trafo_depth == 0;
    return log2 > sps->log2_max_tb_size || (cu->intra_split && trafo_depth == 0) || inter_split;
}

// Scan of the chroma blocks of the transform unit of size log2 at z: mode
// dependent only for 4x4 chroma blocks of intra CUs. For 4x4 luma units the
// chroma blocks follow the fourth one (z) and take the first one's mode.
static inline int syntax_chroma_scan(const syntax_ctu_context *inst, const syntax_tt_cu *cu, int z, int log2)
{
    if (!cu->intra || log2 > 3)
        return SCAN_DIAGONAL;
    const int luma_z = log2 == 2 ? z - 3 : z;
    return scan_idx_of(2, syntax_chroma_intra_mode(inst, cu->z, inst->intra_modes[zorder_to_map4[luma_z]]));
}
