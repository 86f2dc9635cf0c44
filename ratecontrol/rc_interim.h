// INTERIM: minimal lookahead and rate control behind their final names, so
// that the encoder core runs end to end until the real subsystem is merged.
// This header and rc_interim.cpp are deleted when it lands.
#pragma once
#include <cstdint>

struct encoder_instance;
struct picture;
struct picture_list;

struct lookahead {
    picture_list *input_queue;
    picture_list *output_queue;
    int32_t last_keyframe;
    int32_t ra_period;
    picture *held;
    int32_t depth;
};

struct ratecontrol {
    int32_t qp;
};

int lookahead_init(encoder_instance *inst, uint32_t depth);
void lookahead_delete(encoder_instance *inst);
void lookahead_put_frame(encoder_instance *inst, picture *pic);
void lookahead_get_frames(encoder_instance *inst);
int lookahead_is_empty(encoder_instance *inst);
void adaptive_quant_frame(encoder_instance *inst, picture *pic);
int ratecontrol_new(encoder_instance *inst);
void ratecontrol_delete(encoder_instance *inst);
void ratecontrol_thread_sync(encoder_instance *dst, encoder_instance *src, encoder_instance *next);
int ratecontrol_start(encoder_instance *inst, int32_t a, int32_t b);
int32_t ratecontrol_frame_qp(encoder_instance *inst);
int ratecontrol_end(encoder_instance *fi, uint32_t bits);
void rc_row_update(encoder_instance *ctx);
void rc_row_vbv_adjust(encoder_instance *ctx, int32_t bits);
void rc_accumulate_ctu_qp(encoder_instance *ctx);
void ctu_collect_stats(encoder_instance *ctx);
