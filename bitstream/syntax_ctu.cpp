// CTU level of the syntax writer: the SAO syntax (written once over a bin
// sink, for the writer and for the rate estimate of the SAO decision), the
// coding quadtree and the z-order tables that place the CTU's units in the
// per-8x8 and per-4x4 maps.
#include "bitstream/syntax_sink.h"
#include "bitstream/syntax_writer.h"

enum { sao_offset_abs_max = 7 };   // cMax of sao_offset_abs for 8-bit samples

// 8x8 unit z (0..63) sits at row 1 + y, column 8 + x of the 8x8 maps; 4x4
// unit z at row 1 + y, column 16 + x of the 4x4 array, and the chroma index
// of 8x8 unit z at row 1 + y, column x.

const uint16_t zorder_to_map4[320] = {
    48, 49, 80, 81, 50, 51, 82, 83, 112, 113, 144, 145, 114, 115, 146, 147,
    52, 53, 84, 85, 54, 55, 86, 87, 116, 117, 148, 149, 118, 119, 150, 151,
    176, 177, 208, 209, 178, 179, 210, 211, 240, 241, 272, 273, 242, 243, 274, 275,
    180, 181, 212, 213, 182, 183, 214, 215, 244, 245, 276, 277, 246, 247, 278, 279,
    56, 57, 88, 89, 58, 59, 90, 91, 120, 121, 152, 153, 122, 123, 154, 155,
    60, 61, 92, 93, 62, 63, 94, 95, 124, 125, 156, 157, 126, 127, 158, 159,
    184, 185, 216, 217, 186, 187, 218, 219, 248, 249, 280, 281, 250, 251, 282, 283,
    188, 189, 220, 221, 190, 191, 222, 223, 252, 253, 284, 285, 254, 255, 286, 287,
    304, 305, 336, 337, 306, 307, 338, 339, 368, 369, 400, 401, 370, 371, 402, 403,
    308, 309, 340, 341, 310, 311, 342, 343, 372, 373, 404, 405, 374, 375, 406, 407,
    432, 433, 464, 465, 434, 435, 466, 467, 496, 497, 528, 529, 498, 499, 530, 531,
    436, 437, 468, 469, 438, 439, 470, 471, 500, 501, 532, 533, 502, 503, 534, 535,
    312, 313, 344, 345, 314, 315, 346, 347, 376, 377, 408, 409, 378, 379, 410, 411,
    316, 317, 348, 349, 318, 319, 350, 351, 380, 381, 412, 413, 382, 383, 414, 415,
    440, 441, 472, 473, 442, 443, 474, 475, 504, 505, 536, 537, 506, 507, 538, 539,
    444, 445, 476, 477, 446, 447, 478, 479, 508, 509, 540, 541, 510, 511, 542, 543,
    32, 33, 64, 65, 34, 35, 66, 67, 96, 97, 128, 129, 98, 99, 130, 131,
    36, 37, 68, 69, 38, 39, 70, 71, 100, 101, 132, 133, 102, 103, 134, 135,
    160, 161, 192, 193, 162, 163, 194, 195, 224, 225, 256, 257, 226, 227, 258, 259,
    164, 165, 196, 197, 166, 167, 198, 199, 228, 229, 260, 261, 230, 231, 262, 263,
};

void cabac_write_ctu(syntax_ctu_context *inst, cabac_encoder *coder)
{
    inst->stats_bit_mark = cabac_bits_written(coder);
    if (inst->sao_flags)
        cabac_write_sao(inst, coder);
    // The availability map is refilled in coding order so that AMVP inside
    // the writer sees exactly the neighbours a decoder sees.
    if (inst->inter.map_clear)
        inst->inter.map_clear(inst->inter.owner);
    cabac_write_coding_quadtree(inst, coder, 0, 0, 0, 6);
}

void cabac_write_sao_offset_abs(cabac_encoder *coder, int32_t value, int32_t cmax)
{
    sink_truncated_unary(syntax_bin_coder{coder}, value, cmax);
}

template <class Sink>
static void sao_params(Sink s, const sao_param *param, int plane)
{
    const int type = param->type;
    // Cr shares the type that Cb sends.
    if (plane < 2) {
        s.bin(ctx_sao_type_idx, type != SAO_TYPE_OFF);
        if (type != SAO_TYPE_OFF)
            s.bypass(1, type != SAO_TYPE_BAND);
    }
    if (type == SAO_TYPE_OFF)
        return;
    if (type != SAO_TYPE_BAND) {
        // Edge categories 3 and 4 carry negative offsets; only magnitudes are sent.
        sink_truncated_unary(s, param->offset[0], sao_offset_abs_max);
        sink_truncated_unary(s, param->offset[1], sao_offset_abs_max);
        sink_truncated_unary(s, -param->offset[2], sao_offset_abs_max);
        sink_truncated_unary(s, -param->offset[3], sao_offset_abs_max);
        if (plane < 2)
            s.bypass(2, (uint32_t)type);
        return;
    }
    for (int i = 0; i < 4; i++) {
        int v = param->offset[i];
        sink_truncated_unary(s, v < 0 ? -v : v, sao_offset_abs_max);
    }
    for (int i = 0; i < 4; i++)
        if (param->offset[i] != 0)
            s.bypass(1, param->offset[i] < 0);
    s.bypass(5, (uint32_t)param->band_position);
}

void cabac_write_sao_params(cabac_encoder *coder, const sao_param *param, int32_t plane)
{
    sao_params(syntax_bin_coder{coder}, param, plane);
}

void rate_est_sao_offsets(cabac_encoder *rec, const sao_param *param, int32_t plane)
{
    sao_params(syntax_bin_counter{rec}, param, plane);
}

// merge: 0 none, 1 left, 2 up.
template <class Sink>
static void sao_merge_flags(Sink s, int ctu_col, int ctu_row, int merge)
{
    if (ctu_col > 0)
        s.bin(ctx_sao_merge_flag, merge == 1);
    if (merge != 1 && ctu_row > 0)
        s.bin(ctx_sao_merge_flag, merge == 2);
}

void rate_est_sao_merge_flags(cabac_encoder *rec, int32_t ctu_col, int32_t ctu_row, int32_t merge)
{
    sao_merge_flags(syntax_bin_counter{rec}, ctu_col, ctu_row, merge);
}

template <class Sink>
static void sao(Sink s, const syntax_ctu_context *inst)
{
    int merge = inst->sao_merge;
    // A merge with a neighbour outside the picture cannot be signalled; the
    // CTU's own records (which a merge copies) are sent instead.
    if ((merge == 1 && inst->ctu_col == 0) || (merge == 2 && inst->ctu_row == 0))
        merge = 0;
    sao_merge_flags(s, inst->ctu_col, inst->ctu_row, merge);
    if (merge != 0)
        return;
    if (inst->sao_flags & 1)
        sao_params(s, &inst->sao[0][inst->ctu_addr], 0);
    if (inst->sao_flags & 2) {
        sao_params(s, &inst->sao[1][inst->ctu_addr], 1);
        sao_params(s, &inst->sao[2][inst->ctu_addr], 2);
    }
}

void cabac_write_sao(syntax_ctu_context *inst, cabac_encoder *coder)
{
    sao(syntax_bin_coder{coder}, inst);
}

void rate_est_sao_merge(syntax_ctu_context *inst, cabac_encoder *rec)
{
    sao(syntax_bin_counter{rec}, inst);
}

int32_t cabac_write_coding_quadtree(syntax_ctu_context *inst, cabac_encoder *coder, int32_t z,
                                    int32_t x, int32_t y, int32_t log2_size)
{
    const int node = cu_node_index(log2_size, z);
    const int unit = zorder_to_map8[z >> 2];
    const int depth = 6 - log2_size;
    const int size = 1 << log2_size;
    const int room_x = inst->pic_width - 64 * inst->ctu_col;
    const int room_y = inst->pic_height - 64 * inst->ctu_row;
    int split;
    if (x + size <= room_x && y + size <= room_y && log2_size > inst->sps->log2_min_cb_size) {
        split = inst->decision->cu_split[node] != 0;
        const int8_t *depth_map = inst->maps->cu_depth_map;
        int ctx = (depth_map[unit - CTU_MAP8_STRIDE] > depth) + (depth_map[unit - 1] > depth);
        cabac_encode_bin(coder, ctx_split_cu_flag + ctx, split);
    } else {
        // Not sent: follow what a decoder infers, so that the stream's
        // structure never departs from the decoder's.
        split = log2_size > inst->sps->log2_min_cb_size;
    }
    if (!split) {
        cabac_write_coding_unit(inst, coder, z, x, y, log2_size);
        inst->qp_prev = inst->maps->cu_qp_map[unit];
        return 1;
    }
    const int q = 1 << (2 * log2_size - 6);
    const int half = size >> 1;
    cabac_write_coding_quadtree(inst, coder, z, x, y, log2_size - 1);
    if (x + half < room_x)
        cabac_write_coding_quadtree(inst, coder, z + q, x + half, y, log2_size - 1);
    if (y + half < room_y)
        cabac_write_coding_quadtree(inst, coder, z + 2 * q, x, y + half, log2_size - 1);
    if (x + half < room_x && y + half < room_y)
        cabac_write_coding_quadtree(inst, coder, z + 3 * q, x + half, y + half, log2_size - 1);
    return 1;
}
