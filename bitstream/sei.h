// SEI messages of interlaced coding, each alone in a prefix SEI NAL unit: the
// active parameter sets before every IRAP picture and the picture timing
// message (field parity) before every picture. Both write at the writer's
// position without realigning and end with the RBSP trailing bits.
#pragma once
#include <cstdint>
#include "bitstream/bit_writer.h"

void write_sei_active_parameter_sets(bit_writer *bw);
// field: 1 top field, 2 bottom field, 0 frame.
void write_sei_pic_timing(bit_writer *bw, int32_t field);
