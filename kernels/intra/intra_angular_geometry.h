// Compile-time geometry of the H.265 angular intra modes (8-bit samples), for
// the vector kernels that turn it into constant shuffles and weights.
//
// Notation: the main reference M of an NxN block, with M[0] the corner, holds
// the row above for a vertical mode (18..34) and the left column for a
// horizontal one (2..17); for a negative angle M[-k] (k >= 1) are samples of
// the other side projected along the inverse angle. Line t of the block (a row
// of a vertical mode, a column of a horizontal one) sits at (t + 1) * angle in
// 1/32 samples: integer part i (floor) and fraction f. Its sample j is
//   ((32 - f) * M[j + i + 1] + f * M[j + i + 2] + 16) >> 5.
#pragma once
#include <cstdint>

namespace intra_geom {

// intraPredAngle of H.265 Table 8-5.
constexpr int angle_of(int mode)
{
    constexpr int8_t angles[17] = {-32, -26, -21, -17, -13, -9, -5, -2, 0, 2, 5, 9, 13, 17, 21, 26, 32};
    return angles[(mode < 18 ? 10 - mode : mode - 26) + 8];
}

constexpr bool is_vertical(int mode) { return mode >= 18; }

// |invAngle| of H.265 Table 8-6 for a negative angle.
constexpr int inv_angle_of(int angle)
{
    switch (angle) {
    case -2: return 4096;
    case -5: return 1638;
    case -9: return 910;
    case -13: return 630;
    case -17: return 482;
    case -21: return 390;
    case -26: return 315;
    default: return 256;
    }
}

// Integer part (toward minus infinity) and fraction of line t's position.
constexpr int line_int(int t, int angle)
{
    int p = (t + 1) * angle;
    return p >= 0 ? p / 32 : -((-p + 31) / 32);
}

constexpr int line_frac(int t, int angle) { return (t + 1) * angle - 32 * line_int(t, angle); }

// Index in the intra_ref_samples array of M[k] for an NxN block.
constexpr int main_ref_index(int mode, int n, int k)
{
    int proj = k < 0 ? ((-k) * inv_angle_of(angle_of(mode)) + 128) >> 8 : 0;
    if (is_vertical(mode)) return k >= 0 ? k : 2 * n + proj;
    if (k == 0) return 0;
    return k > 0 ? 2 * n + k : proj;
}

// The two taps of block sample (x, y), as M indices, and its fraction. At
// fraction 0 both taps are the same sample: the weight pair (32, 0) then
// copies it, and no sample beyond the ones the mode uses is named.
struct tap {
    int a, b, f;
};

constexpr tap sample_tap(int mode, int x, int y)
{
    int angle = angle_of(mode);
    int line = is_vertical(mode) ? y : x;
    int pos = is_vertical(mode) ? x : y;
    int i = line_int(line, angle), f = line_frac(line, angle);
    int a = pos + i + 1;
    return tap{a, f ? a + 1 : a, f};
}

struct bytes16 {
    alignas(16) int8_t v[16];
};

struct bytes32 {
    alignas(32) int8_t v[32];
};

} // namespace intra_geom
