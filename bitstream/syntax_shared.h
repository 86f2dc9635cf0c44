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
    if (idx == 4)
        return luma_mode;
    int mode = chroma_mode_table[idx & 3];
    return mode == luma_mode ? 34 : mode;
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
