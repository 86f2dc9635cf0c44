// Filling the parameter-set records when an encoder opens. The values come
// from the validated configuration; `param_set_inputs` names exactly the
// configuration values the records depend on, so that the fill rules can be
// exercised on their own. The encoder instance copies them from its
// configuration (`param_set_inputs_from_config`) before calling the fills.
#pragma once
#include <cstdint>
#include "bitstream/param_sets.h"

struct param_set_inputs {
    // The caller's picture size: the configuration's width - pad_w and
    // height - pad_h (validation has already grown width and height to
    // multiples of 8); the fills derive the coded size and padding again.
    int32_t width;
    int32_t height;
    int32_t interlace;          // 0 progressive, 1 top first, 2 bottom first
    int32_t bframes;
    int32_t hierarchy;          // B-pyramid levels, already resolved (>= 0)
    int32_t prefs;
    int32_t brefs;
    int32_t complexity;         // level 0..7
    int32_t sao;                // plane mask; non-zero turns SAO on
    int32_t strong_intra_smoothing;
    int32_t tmvp;
    int32_t sign_data_hiding;
    int32_t wpp;                // resolved wavefront switch
    int32_t rc_mode;            // 0 CQP, 1 ABR, 2 CBR, 3 CRF, 4 LQP
    int32_t qp;                 // the layer's constant QP
    int32_t mbtree;             // resolved macroblock-tree switch
    int32_t vbv_bufsize;
    int32_t aspect_ratio_idc;
    int32_t sar_num;
    int32_t sar_den;
    int32_t fps_num;
    int32_t fps_den;
};

void vps_record_init(vps_params *vps, const param_set_inputs *in);
void sps_record_init(sps_params *sps, int layer, const param_set_inputs *in, const vps_params *vps);
void pps_record_init(pps_params *pps, int layer, const param_set_inputs *in, const sps_params *sps);
