// Shared helpers of the block metric tests: blocks with exact-size buffers (so
// AddressSanitizer sees any read past the block), random strides, and
// brute-force definitions built from explicit Hadamard matrices with 64-bit sums.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

struct test_block {
    std::vector<uint8_t> buf;
    uint8_t *origin = nullptr;
    int stride = 0;
    int w = 0, h = 0;
    test_block() = default;
    test_block(const test_block &o) : buf(o.buf), stride(o.stride), w(o.w), h(o.h) { fix_origin(); }
    test_block &operator=(const test_block &o)
    {
        buf = o.buf;
        stride = o.stride;
        w = o.w;
        h = o.h;
        fix_origin();
        return *this;
    }
    // Rows run backwards in memory for a negative stride: the origin is then the last row.
    void fix_origin()
    {
        if (buf.empty()) {
            origin = nullptr;
            return;
        }
        origin = stride >= 0 ? buf.data() : buf.data() + (size_t)(h - 1) * (size_t)(-stride);
    }
    uint8_t &at(int x, int y) { return origin[x + (ptrdiff_t)y * stride]; }
    uint8_t at(int x, int y) const { return origin[x + (ptrdiff_t)y * stride]; }
};

// A w x h block with the given stride (negative: rows run backwards in memory).
// The buffer ends right after the last sample of the block.
inline test_block make_block(int w, int h, int stride)
{
    test_block b;
    int mag = std::abs(stride);
    b.buf.assign((size_t)(h - 1) * mag + w, 0);
    b.stride = stride;
    b.w = w;
    b.h = h;
    b.fix_origin();
    return b;
}

// A random stride at least w: often tight, sometimes odd, sometimes negative.
inline int random_stride(std::mt19937 &rng, int w, bool allow_negative = true)
{
    int s = w + (int)(rng() % 3 == 0 ? 0 : rng() % 61);
    if (allow_negative && rng() % 4 == 0) s = -s;
    return s;
}

inline void fill_random(test_block &b, std::mt19937 &rng)
{
    for (auto &v : b.buf) v = (uint8_t)rng();
}

// Values drawn from {0, 255} and their neighbours: the extremes of every sum.
inline void fill_extreme(test_block &b, std::mt19937 &rng)
{
    static const uint8_t vals[] = {0, 255, 0, 255, 1, 254};
    for (auto &v : b.buf) v = vals[rng() % 6];
}

inline void fill_value(test_block &b, uint8_t v)
{
    for (auto &s : b.buf) s = v;
}

inline test_block random_block(std::mt19937 &rng, int w, int h)
{
    test_block b = make_block(w, h, random_stride(rng, w));
    fill_random(b, rng);
    return b;
}

// Sylvester construction: H1 = [1], H2n = [[Hn, Hn], [Hn, -Hn]].
inline std::vector<int> hadamard_matrix(int n)
{
    std::vector<int> h(1, 1);
    for (int m = 1; m < n; m *= 2) {
        std::vector<int> g((size_t)4 * m * m);
        for (int y = 0; y < m; y++)
            for (int x = 0; x < m; x++) {
                int v = h[(size_t)y * m + x];
                g[(size_t)y * 2 * m + x] = v;
                g[(size_t)y * 2 * m + x + m] = v;
                g[(size_t)(y + m) * 2 * m + x] = v;
                g[(size_t)(y + m) * 2 * m + x + m] = -v;
            }
        h.swap(g);
    }
    return h;
}

// Coefficients T = H * D * H of an n x n block of values (row-major).
inline std::vector<int64_t> hadamard_2d(const std::vector<int> &d, int n)
{
    std::vector<int> h = hadamard_matrix(n);
    std::vector<int64_t> t1((size_t)n * n, 0), t((size_t)n * n, 0);
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            for (int k = 0; k < n; k++) t1[(size_t)i * n + j] += (int64_t)h[(size_t)i * n + k] * d[(size_t)k * n + j];
    for (int i = 0; i < n; i++)
        for (int j = 0; j < n; j++)
            for (int k = 0; k < n; k++) t[(size_t)i * n + j] += t1[(size_t)i * n + k] * h[(size_t)k * n + j];
    return t;
}

// Difference block a - b of the n x n area at (x0, y0), rows stepped by row_step.
inline std::vector<int> diff_area(const test_block &a, const test_block &b, int x0, int y0, int n, int m,
                                  int row_step = 1)
{
    std::vector<int> d((size_t)n * m);
    for (int y = 0; y < m; y++)
        for (int x = 0; x < n; x++)
            d[(size_t)y * n + x] = a.at(x0 + x, y0 + y * row_step) - b.at(x0 + x, y0 + y * row_step);
    return d;
}

inline int64_t abs_sum(const std::vector<int64_t> &v)
{
    int64_t s = 0;
    for (int64_t c : v) s += c < 0 ? -c : c;
    return s;
}

// Sum of the absolute n x n Hadamard coefficients of the block at (x0, y0).
inline int64_t ref_hadamard_sum(const test_block &a, const test_block &b, int x0, int y0, int n, int row_step = 1)
{
    return abs_sum(hadamard_2d(diff_area(a, b, x0, y0, n, n, row_step), n));
}

inline uint64_t ref_sad(const test_block &a, const test_block &b, int w, int h, int row_step = 1)
{
    uint64_t s = 0;
    for (int y = 0; y < h; y += row_step)
        for (int x = 0; x < w; x++) s += (uint64_t)std::abs(a.at(x, y) - b.at(x, y));
    return s;
}

inline uint64_t ref_sse(const test_block &a, const test_block &b, int w, int h)
{
    uint64_t s = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int64_t d = a.at(x, y) - b.at(x, y);
            s += (uint64_t)(d * d);
        }
    return s;
}

// SATD: half of the summed 4x4 Hadamard magnitudes of every 4x4 block.
inline uint64_t ref_satd(const test_block &a, const test_block &b, int w, int h)
{
    int64_t s = 0;
    for (int y = 0; y < h; y += 4)
        for (int x = 0; x < w; x += 4) s += ref_hadamard_sum(a, b, x, y, 4);
    return (uint64_t)(s / 2);
}

// SA8D with its rounding groups: 8x8 alone; 16x8 one group; 8x16 two groups;
// 16x16 and larger one group per 16x16 tile. row_step 2 measures rows 0, 2, ...
// of a block h rows tall (h / 2 rows are used).
inline uint64_t ref_sa8d(const test_block &a, const test_block &b, int w, int h, int row_step = 1)
{
    int used_h = h / row_step;
    auto r8 = [&](int x, int y) { return ref_hadamard_sum(a, b, x, y * row_step, 8, row_step); };
    if (w == 8 && used_h == 8) return (uint64_t)((r8(0, 0) + 2) >> 2);
    if (w == 16 && used_h == 8) return (uint64_t)((r8(0, 0) + r8(8, 0) + 2) >> 2);
    if (w == 8 && used_h == 16) return (uint64_t)(((r8(0, 0) + 2) >> 2) + ((r8(0, 8) + 2) >> 2));
    uint64_t s = 0;
    int tile_h = used_h >= 16 ? 16 : 8;
    for (int y = 0; y < used_h; y += tile_h)
        for (int x = 0; x < w; x += 16) {
            int64_t r = 0;
            for (int yy = 0; yy < tile_h; yy += 8)
                for (int xx = 0; xx < 16; xx += 8) r += r8(x + xx, y + yy);
            s += (uint64_t)((r + 2) >> 2);
        }
    return s;
}

enum metric_kind { K_SAD, K_SAD_SUB, K_SSE, K_SATD, K_SA8D, K_SA8D_SUB };

inline uint64_t ref_metric(metric_kind k, const test_block &a, const test_block &b, int w, int h)
{
    switch (k) {
    case K_SAD: return ref_sad(a, b, w, h);
    case K_SAD_SUB: return 2 * ref_sad(a, b, w, h, 2);
    case K_SSE: return ref_sse(a, b, w, h);
    case K_SATD: return ref_satd(a, b, w, h);
    case K_SA8D: return ref_sa8d(a, b, w, h);
    case K_SA8D_SUB: return 2 * ref_sa8d(a, b, w, h, 2);
    }
    return 0;
}
