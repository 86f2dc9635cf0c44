// Shared helpers of the SAO tests: a deblocked CTB with its one-sample ring in
// an exact-size buffer (so AddressSanitizer sees any read beyond the ring), a
// matching source block and difference block, and brute-force statistics
// written per sample from the edge-category and band definitions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "filters/sao/sao.h"

// An n x n CTB at (1, 1) of an (n + 2)-row buffer whose rows are `stride`
// bytes apart; the last row is cut right after the ring's last sample.
struct ringed_ctb {
    int n = 0;
    int stride = 0;
    std::vector<uint8_t> buf;
    uint8_t *origin() { return buf.data() + stride + 1; }
    uint8_t &at(int r, int c) { return buf[(size_t)((r + 1) * stride + c + 1)]; }
};

inline ringed_ctb make_ringed_ctb(int n, int extra_stride)
{
    ringed_ctb b;
    b.n = n;
    b.stride = n + 2 + extra_stride;
    b.buf.assign((size_t)(n + 1) * b.stride + n + 2, 0);
    return b;
}

// Content kinds: 0 full-range noise, 1 smooth ramp with small noise (many
// equal neighbours), 2 extremes 0/255, 3 flat, 4 few levels (plateaus).
inline void fill_ringed(ringed_ctb &b, int kind, std::mt19937 &rng)
{
    for (int r = -1; r <= b.n; r++)
        for (int c = -1; c <= b.n; c++) {
            int v;
            switch (kind) {
            case 0: v = (int)(rng() & 255); break;
            case 1: v = 100 + r + c / 2 + (int)(rng() % 3) - 1; break;
            case 2: v = rng() & 1 ? 255 : 0; break;
            case 3: v = 77; break;
            default: v = (int)(rng() % 3) * 100; break;
            }
            b.at(r, c) = (uint8_t)v;
        }
}

// Differences -255..255: random, or all at one extreme.
inline void fill_diffs(int16_t *d, int count, int kind, std::mt19937 &rng)
{
    for (int i = 0; i < count; i++)
        d[i] = kind == 1 ? 255 : kind == 2 ? -255 : (int16_t)((int)(rng() % 511) - 255);
}

inline int test_sign(int v) { return (v > 0) - (v < 0); }

// Class neighbour offsets (row, column) of a and b for edge type t.
inline void class_offsets(int t, int *ar, int *ac, int *br, int *bc)
{
    static const int off[4][4] = {{0, -1, 0, 1}, {-1, 0, 1, 0}, {-1, -1, 1, 1}, {-1, 1, 1, -1}};
    *ar = off[t][0];
    *ac = off[t][1];
    *br = off[t][2];
    *bc = off[t][3];
}

// Statistics of type t over columns 0..w-1 and rows 0..h-1, every sign taken
// afresh from the block and its ring.
inline sao_stats model_stats(int t, ringed_ctb &b, const int16_t *diff, int diff_stride, int w, int h)
{
    sao_stats s;
    std::memset(&s, 0, sizeof s);
    for (int r = 0; r < h; r++)
        for (int c = 0; c < w; c++) {
            int p = b.at(r, c), k;
            if (t == SAO_TYPE_BAND) {
                k = p >> 3;
            } else {
                int ar, ac, br, bc;
                class_offsets(t, &ar, &ac, &br, &bc);
                k = 2 + test_sign(p - b.at(r + ar, c + ac)) + test_sign(p - b.at(r + br, c + bc));
            }
            s.count[k]++;
            s.sum[k] += diff[r * diff_stride + c];
        }
    return s;
}

// Parameters of a type as the decision gives them: a band position and band
// offsets of -7..7, or edge offsets of the signs the classes allow.
inline sao_param random_sao_param(int type, std::mt19937 &rng)
{
    sao_param p;
    p.type = type;
    p.band_position = (int)(rng() % 32);
    if (type == SAO_TYPE_BAND) {
        for (int j = 0; j < 4; j++) p.offset[j] = (int)(rng() % 15) - 7;
    } else {
        p.offset[0] = (int)(rng() % 8);
        p.offset[1] = (int)(rng() % 8);
        p.offset[2] = -(int)(rng() % 8);
        p.offset[3] = -(int)(rng() % 8);
    }
    return p;
}

inline bool stats_equal(const sao_stats &a, const sao_stats &b) { return std::memcmp(&a, &b, sizeof a) == 0; }
