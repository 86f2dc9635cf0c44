// Pieces of the SAO parameter decision that need no bit estimation: the
// offsets of one SAO type from a CTB's statistics, the distortion change of a
// given parameter record, and the ring of replicated samples that the edge
// statistics read around a CTB.
#pragma once
#include <cstdint>

#include "filters/sao/sao.h"

// Chooses the offsets (and for the band type the band position, 0..28) of
// SAO type 0..4 from the statistics, trading distortion against lambda (8
// fractional bits) per offset; sets the record's type, band position and
// offsets and returns the distortion change of those offsets in squared
// sample differences (negative: the offsets help).
int32_t sao_offset_search(sao_param *record, const sao_stats *stats, int32_t type, int32_t lambda);

// Distortion change that the record's offsets cause on a CTB with these
// statistics of the record's type (0..4).
int32_t sao_distortion_delta(const sao_stats *stats, const sao_param *record);

// Prepares the deblocked copy of one CTB for the edge statistics. n is the CTB
// size (64 luma, 32 chroma), w and h its width and height inside the picture.
// Column w and row h (over columns -1..n) become copies of the last column and
// row inside the CTB: the CTBs there are not coded yet, or lie outside the
// picture. In the first CTU column column -1, in the first CTU row row -1
// become copies of column 0 and row 0, as nothing lies beyond the picture.
void sao_border_prepare(uint8_t *deblocked, int32_t stride, int32_t n, int32_t w, int32_t h, bool first_column,
                        bool first_row);
