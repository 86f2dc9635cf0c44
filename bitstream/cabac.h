// Binary arithmetic coder of H.265 slice data (clause 9.3) with the context
// states of the encoder's syntax. The record is plain data: searches copy it by
// value to price bins and restore it afterwards.
#pragma once
#include <cstdint>

enum { cabac_num_ctx = 186 };

// Slot of the first context of each syntax element inside cabac_encoder::ctx.
// Within an element the slots follow the standard's ctxInc order.
enum cabac_ctx_index {
    ctx_split_cu_flag = 0,            // 3
    ctx_cu_skip_flag = 3,             // 3
    ctx_merge_flag = 6,
    ctx_merge_idx = 7,
    ctx_part_mode = 8,                // 4
    ctx_cu_transquant_bypass_flag = 12,
    ctx_pred_mode_flag = 13,
    ctx_prev_intra_luma_pred_flag = 14,
    ctx_intra_chroma_pred_mode = 15,
    ctx_inter_pred_idc = 17,          // 5
    ctx_abs_mvd_greater0_flag = 22,
    ctx_abs_mvd_greater1_flag = 23,
    ctx_ref_idx = 24,                 // 2
    ctx_split_transform_flag = 26,    // 3
    ctx_cbf_luma = 29,                // 2
    ctx_cbf_chroma = 34,              // 5 (4 used)
    ctx_rqt_root_cbf = 39,
    ctx_cu_qp_delta_abs = 40,         // 2
    ctx_coded_sub_block_flag = 43,    // 2 luma, then 2 chroma
    ctx_sig_coeff_flag = 47,          // 27 luma, then 15 chroma
    ctx_last_x_prefix = 89,           // 18 used of 30
    ctx_last_y_prefix = 119,          // 18 used of 30
    ctx_greater1_flag = 149,          // 16 luma, then 8 chroma
    ctx_greater2_flag = 173,          // 4 luma, then 2 chroma
    ctx_mvp_flag = 179,
    ctx_sao_merge_flag = 181,
    ctx_sao_type_idx = 182,
    ctx_transform_skip_flag = 183,    // 2
};

// What pricing reads and moves: the bit estimate and the context states. The
// searches save it before they try a candidate and put it back by assignment;
// pricing never touches the arithmetic coder in front of it.
struct cabac_rate_state {
    uint32_t est_bits;            // bit estimate in 1/256 bit
    uint8_t ctx[cabac_num_ctx];   // (state_index << 1) | mps, state_index = 63 - pStateIdx
    uint8_t rdoq_sig_state[2];    // model states of rate-distortion optimised quantisation
    uint8_t rdoq_gt1_state[2];
};

struct cabac_encoder {
    uint32_t low;           // bits above bits_left + 10 form the next byte (bit 8 = carry)
    uint32_t range;         // 256..510 between bins
    int32_t bits_left;      // from -9 at reset; a byte is due when it reaches 0
    int32_t outstanding_ff; // 0xFF bytes held back for a possible carry
    uint8_t *buf_start;
    uint8_t *buf_cur;
    uint8_t *buf_end;       // writes never pass it
    int32_t overflow;       // 1 once a byte found no room: the output is incomplete
    cabac_rate_state rate;
};

extern const uint8_t cabac_lps_table[64][4];
extern const uint8_t cabac_next_state_table[256];
extern const uint16_t cabac_bits_table[128];
// 9.1 I, 9.1 B, I (10/12), B (10/12), P (all); 186 values in 192 bytes each.
extern const uint8_t cabac_init_values[5][192];

// slice_type: 2 I, 1 P, 0 B; compat 91, 100 or 120.
void cabac_init_contexts(cabac_encoder *c, int slice_type, int slice_qp, int compat);
// Context byte of one init value at a QP (clause 9.3.2.2).
uint8_t cabac_context_from_init(int init_value, int qp);
void cabac_encoder_init(cabac_encoder *c, uint8_t *buffer, uint8_t *buffer_end);

void cabac_encode_bin(cabac_encoder *c, int slot, int bin);
void cabac_encode_bypass(cabac_encoder *c, int bin);
// value as a k-th order Exp-Golomb bypass string; its length must not pass 32 bits.
void cabac_encode_bypass_expgolomb(cabac_encoder *c, int k, uint32_t value);
// n (1..8) bypass bins holding the low n bits of value, most significant first.
void cabac_encode_bypass_bits(cabac_encoder *c, int n, uint32_t value);
void cabac_encode_terminate0(cabac_encoder *c);
// End of a wavefront substream that is not the slice's last.
void cabac_encode_terminate_flush(cabac_encoder *c, int compat);
// End of the slice: end_of_slice_segment_flag 1, trailing bits, held-back bytes.
void cabac_flush(cabac_encoder *c);
void cabac_put_byte(cabac_encoder *c);

// Bits produced so far (written, held back and pending).
int64_t cabac_bits_written(const cabac_encoder *c);
// Makes sure at least `need` bytes are free behind buf_cur, replacing the
// caller's buffer (*buffer, *capacity, from aligned_malloc) by a larger one when
// not. Returns 0, or -1 when the allocation fails; then the coder and the old
// buffer stay as they were.
[[nodiscard]] int cabac_ensure_room(cabac_encoder *c, int32_t need, uint8_t **buffer, int32_t *capacity);
