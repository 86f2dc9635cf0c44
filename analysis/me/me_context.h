// Records every motion search shares: the per-CTU search context, the
// prediction-unit descriptor a caller hands to a search and the result it gets
// back. Vectors are packed: horizontal component in the low 16 bits, vertical
// in the high 16 bits, both signed, in quarter samples of the searched plane.
#pragma once
#include <cstdint>

struct metric_table;
struct mc_table;

enum {
    ME_MAX_REFS = 17,                 // reference slots per list
    ME_MV_UNSET = 0x7fff7fff,         // a vector that is not set
    ME_COST_INFINITE = 0x1fffffff,    // a candidate not searched or not allowed
};

struct me_context {
    uint32_t ref_stride;              // row stride of every reference plane
    int32_t search_method;            // 0 hexagon, 1 diamond with escalation, 2 iterated small diamond
    uint16_t pic_width, pic_height;   // size of the searched picture
    const metric_table *metric;
    const mc_table *mc;
    int32_t search_range;             // iteration budget of the searches
    int32_t list_count;
    int32_t ref_count[2];
    int32_t ctu_x, ctu_y;             // top-left sample of the current CTU (or block)
    const uint8_t *ref_plane[2][ME_MAX_REFS];
    const int16_t *ref_hplanes[2][ME_MAX_REFS][3];
    const uint8_t *ref_phase[2][ME_MAX_REFS][16];
    const uint8_t *src;               // source block copy, stride 64
};

struct pu_desc {
    int16_t x, y;                     // position inside the CTU
    int16_t width, height;
    int32_t shape;                    // size index of the longer side: 0 for 64 .. 4 for 4
    int32_t list;
    int32_t amvp_count;
    int8_t ref_idx;
    int8_t cand_count;
    uint32_t amvp[2];
    uint32_t cand[2];
};

struct me_result {
    uint32_t cost;
    uint32_t cost2;
    uint32_t mv;
    int8_t ref_idx;
};
