// Reference planes with margins for the motion-compensation tests, and a model
// of the H.265 fractional sample interpolation (clause 8.5.3.3.3) and default
// weighted sample prediction (clause 8.5.3.3.4.2) at bit depth 8, written from
// the standard's equations in its own terms.
#pragma once
#include <cstdint>
#include <random>
#include <vector>

#include "kernels/mc/mc.h"

namespace mc_test {

// Filter coefficients fL[xFracL][i] and fC[xFracC][i] of the standard.
const int std_fl[4][8] = {{0, 0, 0, 64, 0, 0, 0, 0},
                          {-1, 4, -10, 58, 17, -5, 1, 0},
                          {-1, 4, -11, 40, 40, -11, 4, -1},
                          {0, 1, -5, 17, 58, -10, 4, -1}};
const int std_fc[8][4] = {{0, 64, 0, 0},    {-2, 58, 10, -2}, {-4, 54, 16, -2}, {-6, 46, 28, -4},
                          {-4, 36, 36, -4}, {-4, 28, 46, -6}, {-2, 16, 54, -4}, {-2, 10, 58, -2}};

enum fill_kind { FILL_RANDOM, FILL_EXTREME, FILL_ZERO, FILL_MAX };

// A W x H plane with margins of M samples on every side (all filled, as border
// extension leaves them) and its three biased horizontal 16-bit planes.
struct ref_plane {
    static constexpr int W = 160, H = 160, M = 80, S = W + 2 * M;
    std::vector<uint8_t> data = std::vector<uint8_t>(S * (H + 2 * M));
    std::vector<int16_t> h16[3];
    const int16_t *hplanes[3] = {};

    uint8_t *origin() { return data.data() + M * S + M; }
    // Block position (x, y) in the luma plane and in the three horizontal planes,
    // which the kernels address with the same offsets.
    uint8_t *block(int x, int y) { return origin() + y * S + x; }
    struct hp_set {
        const int16_t *p[3];
    };
    hp_set hplanes_at(int x, int y) const
    {
        return {{hplanes[0] + y * S + x, hplanes[1] + y * S + x, hplanes[2] + y * S + x}};
    }
    int at(int x, int y) const { return data[(y + M) * S + x + M]; }

    void fill(fill_kind kind, uint32_t seed)
    {
        std::mt19937 rng(seed);
        for (auto &v : data) {
            uint32_t r = rng();
            v = kind == FILL_RANDOM ? (uint8_t)r : kind == FILL_EXTREME ? (uint8_t)((r & 1) ? 255 : 0)
                : kind == FILL_ZERO ? 0 : 255;
        }
        build_hplanes();
    }

    // The horizontal planes over everything the filter can read inside the margins.
    void build_hplanes()
    {
        const int r = M - 8;
        for (int i = 0; i < 3; i++) {
            h16[i].assign(data.size(), 0);
            hplanes[i] = h16[i].data() + M * S + M;
        }
        int off = -r * S - r;
        filter_h_subpel_16bit_c(h16[0].data() + M * S + M + off, h16[1].data() + M * S + M + off,
                                h16[2].data() + M * S + M + off, origin() + off, S, W + 2 * r, H + 2 * r, 0);
    }
};

// predSampleLX of the luma process before weighting: 14-bit intermediate,
// unbounded (the two-direction half/half value reaches 33150). Any plane
// type with at(x, y) serves.
template <class plane>
int std_luma_intermediate(const plane &p, int x_int, int y_int, int x_frac, int y_frac)
{
    if (!x_frac && !y_frac) return p.at(x_int, y_int) << 6;
    if (!y_frac) {
        int s = 0;
        for (int i = 0; i < 8; i++) s += std_fl[x_frac][i] * p.at(x_int + i - 3, y_int);
        return s;   // >> shift1, which is 0 at bit depth 8
    }
    if (!x_frac) {
        int s = 0;
        for (int i = 0; i < 8; i++) s += std_fl[y_frac][i] * p.at(x_int, y_int + i - 3);
        return s;
    }
    int s = 0;
    for (int n = 0; n < 8; n++) {
        int temp = 0;
        for (int i = 0; i < 8; i++) temp += std_fl[x_frac][i] * p.at(x_int + i - 3, y_int + n - 3);
        s += std_fl[y_frac][n] * temp;
    }
    return s >> 6;   // shift2
}

template <class plane>
int std_chroma_intermediate(const plane &p, int x_int, int y_int, int x_frac, int y_frac)
{
    if (!x_frac && !y_frac) return p.at(x_int, y_int) << 6;
    if (!y_frac) {
        int s = 0;
        for (int i = 0; i < 4; i++) s += std_fc[x_frac][i] * p.at(x_int + i - 1, y_int);
        return s;
    }
    if (!x_frac) {
        int s = 0;
        for (int i = 0; i < 4; i++) s += std_fc[y_frac][i] * p.at(x_int, y_int + i - 1);
        return s;
    }
    int s = 0;
    for (int n = 0; n < 4; n++) {
        int temp = 0;
        for (int i = 0; i < 4; i++) temp += std_fc[x_frac][i] * p.at(x_int + i - 1, y_int + n - 1);
        s += std_fc[y_frac][n] * temp;
    }
    return s >> 6;
}

inline int clip3(int lo, int hi, int v)
{
    return v < lo ? lo : v > hi ? hi : v;
}

// Default weighted sample prediction: one list (shift 6) and two lists (shift 7).
inline int std_uni(int pred)
{
    return clip3(0, 255, (pred + 32) >> 6);
}

inline int std_bi(int a, int b)
{
    return clip3(0, 255, (a + b + 64) >> 7);
}

}  // namespace mc_test
