// Short-term reference picture set of the current picture. The SPS declares no
// sets, so every non-IDR slice header carries its own st_ref_pic_set().
#pragma once
#include <cstdint>
#include "bitstream/bit_writer.h"

struct short_term_rps {
    int32_t num_negative;   // pictures before the current one, set by the picture driver
    int32_t num_positive;   // pictures after it
    uint32_t delta_s0[8];   // POC(current) - POC(reference), strictly increasing
    uint8_t used_s0[8];
    uint32_t delta_s1[8];   // POC(reference) - POC(current), strictly increasing
    uint8_t used_s1[8];
};

// Fills distances and used flags. kept0 and kept1 hold the POCs of every
// picture the decoder must keep, before and after the current one, nearest
// first (num_negative and num_positive entries, already set). A kept picture
// is used when its POC is one of the used_count POCs of the active reference
// lists; the others stay in the set unused, so that the decoder keeps them
// for later pictures.
void build_short_term_rps(short_term_rps *rps, int32_t current_poc, const int32_t *kept0,
                          const int32_t *kept1, const int32_t *used_pocs, int32_t used_count);
// st_ref_pic_set(0) of the slice header (no inter-set prediction).
void write_short_term_rps(bit_writer *bw, const short_term_rps *rps);
