// Fixed-point helpers of adaptive quantisation: both are a table lookup with
// shifts and at most one multiply-add, cheap enough to run for every block.
#pragma once
#include <cstdint>

// 256 x 2^(-x / 6) in 8.8 fixed point, within 0..65535.
int32_t exp2_fixed_from_float(float x);
// log2(v) for v >= 1, linear between 128 points per octave.
float log2_fast(int32_t v);
