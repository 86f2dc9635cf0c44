// Transforms against a model of the H.265 inverse transform (clause 8.6.4.2),
// written here from the standard's equations with wide arithmetic; forward
// transforms against a plain matrix product with the encoder's stage shifts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/quant/quant.h"
#include "kernels/transform/transform.h"

namespace {

// transMatrix of H.265 clause 8.6.4.2, kept apart from the encoder's own copy.
static const int kTransMatrix[32][32] = {
    {64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64},
    {90, 90, 88, 85, 82, 78, 73, 67, 61, 54, 46, 38, 31, 22, 13, 4, -4, -13, -22, -31, -38, -46, -54, -61, -67, -73, -78, -82, -85, -88, -90, -90},
    {90, 87, 80, 70, 57, 43, 25, 9, -9, -25, -43, -57, -70, -80, -87, -90, -90, -87, -80, -70, -57, -43, -25, -9, 9, 25, 43, 57, 70, 80, 87, 90},
    {90, 82, 67, 46, 22, -4, -31, -54, -73, -85, -90, -88, -78, -61, -38, -13, 13, 38, 61, 78, 88, 90, 85, 73, 54, 31, 4, -22, -46, -67, -82, -90},
    {89, 75, 50, 18, -18, -50, -75, -89, -89, -75, -50, -18, 18, 50, 75, 89, 89, 75, 50, 18, -18, -50, -75, -89, -89, -75, -50, -18, 18, 50, 75, 89},
    {88, 67, 31, -13, -54, -82, -90, -78, -46, -4, 38, 73, 90, 85, 61, 22, -22, -61, -85, -90, -73, -38, 4, 46, 78, 90, 82, 54, 13, -31, -67, -88},
    {87, 57, 9, -43, -80, -90, -70, -25, 25, 70, 90, 80, 43, -9, -57, -87, -87, -57, -9, 43, 80, 90, 70, 25, -25, -70, -90, -80, -43, 9, 57, 87},
    {85, 46, -13, -67, -90, -73, -22, 38, 82, 88, 54, -4, -61, -90, -78, -31, 31, 78, 90, 61, 4, -54, -88, -82, -38, 22, 73, 90, 67, 13, -46, -85},
    {83, 36, -36, -83, -83, -36, 36, 83, 83, 36, -36, -83, -83, -36, 36, 83, 83, 36, -36, -83, -83, -36, 36, 83, 83, 36, -36, -83, -83, -36, 36, 83},
    {82, 22, -54, -90, -61, 13, 78, 85, 31, -46, -90, -67, 4, 73, 88, 38, -38, -88, -73, -4, 67, 90, 46, -31, -85, -78, -13, 61, 90, 54, -22, -82},
    {80, 9, -70, -87, -25, 57, 90, 43, -43, -90, -57, 25, 87, 70, -9, -80, -80, -9, 70, 87, 25, -57, -90, -43, 43, 90, 57, -25, -87, -70, 9, 80},
    {78, -4, -82, -73, 13, 85, 67, -22, -88, -61, 31, 90, 54, -38, -90, -46, 46, 90, 38, -54, -90, -31, 61, 88, 22, -67, -85, -13, 73, 82, 4, -78},
    {75, -18, -89, -50, 50, 89, 18, -75, -75, 18, 89, 50, -50, -89, -18, 75, 75, -18, -89, -50, 50, 89, 18, -75, -75, 18, 89, 50, -50, -89, -18, 75},
    {73, -31, -90, -22, 78, 67, -38, -90, -13, 82, 61, -46, -88, -4, 85, 54, -54, -85, 4, 88, 46, -61, -82, 13, 90, 38, -67, -78, 22, 90, 31, -73},
    {70, -43, -87, 9, 90, 25, -80, -57, 57, 80, -25, -90, -9, 87, 43, -70, -70, 43, 87, -9, -90, -25, 80, 57, -57, -80, 25, 90, 9, -87, -43, 70},
    {67, -54, -78, 38, 85, -22, -90, 4, 90, 13, -88, -31, 82, 46, -73, -61, 61, 73, -46, -82, 31, 88, -13, -90, -4, 90, 22, -85, -38, 78, 54, -67},
    {64, -64, -64, 64, 64, -64, -64, 64, 64, -64, -64, 64, 64, -64, -64, 64, 64, -64, -64, 64, 64, -64, -64, 64, 64, -64, -64, 64, 64, -64, -64, 64},
    {61, -73, -46, 82, 31, -88, -13, 90, -4, -90, 22, 85, -38, -78, 54, 67, -67, -54, 78, 38, -85, -22, 90, 4, -90, 13, 88, -31, -82, 46, 73, -61},
    {57, -80, -25, 90, -9, -87, 43, 70, -70, -43, 87, 9, -90, 25, 80, -57, -57, 80, 25, -90, 9, 87, -43, -70, 70, 43, -87, -9, 90, -25, -80, 57},
    {54, -85, -4, 88, -46, -61, 82, 13, -90, 38, 67, -78, -22, 90, -31, -73, 73, 31, -90, 22, 78, -67, -38, 90, -13, -82, 61, 46, -88, 4, 85, -54},
    {50, -89, 18, 75, -75, -18, 89, -50, -50, 89, -18, -75, 75, 18, -89, 50, 50, -89, 18, 75, -75, -18, 89, -50, -50, 89, -18, -75, 75, 18, -89, 50},
    {46, -90, 38, 54, -90, 31, 61, -88, 22, 67, -85, 13, 73, -82, 4, 78, -78, -4, 82, -73, -13, 85, -67, -22, 88, -61, -31, 90, -54, -38, 90, -46},
    {43, -90, 57, 25, -87, 70, 9, -80, 80, -9, -70, 87, -25, -57, 90, -43, -43, 90, -57, -25, 87, -70, -9, 80, -80, 9, 70, -87, 25, 57, -90, 43},
    {38, -88, 73, -4, -67, 90, -46, -31, 85, -78, 13, 61, -90, 54, 22, -82, 82, -22, -54, 90, -61, -13, 78, -85, 31, 46, -90, 67, 4, -73, 88, -38},
    {36, -83, 83, -36, -36, 83, -83, 36, 36, -83, 83, -36, -36, 83, -83, 36, 36, -83, 83, -36, -36, 83, -83, 36, 36, -83, 83, -36, -36, 83, -83, 36},
    {31, -78, 90, -61, 4, 54, -88, 82, -38, -22, 73, -90, 67, -13, -46, 85, -85, 46, 13, -67, 90, -73, 22, 38, -82, 88, -54, -4, 61, -90, 78, -31},
    {25, -70, 90, -80, 43, 9, -57, 87, -87, 57, -9, -43, 80, -90, 70, -25, -25, 70, -90, 80, -43, -9, 57, -87, 87, -57, 9, 43, -80, 90, -70, 25},
    {22, -61, 85, -90, 73, -38, -4, 46, -78, 90, -82, 54, -13, -31, 67, -88, 88, -67, 31, 13, -54, 82, -90, 78, -46, 4, 38, -73, 90, -85, 61, -22},
    {18, -50, 75, -89, 89, -75, 50, -18, -18, 50, -75, 89, -89, 75, -50, 18, 18, -50, 75, -89, 89, -75, 50, -18, -18, 50, -75, 89, -89, 75, -50, 18},
    {13, -38, 61, -78, 88, -90, 85, -73, 54, -31, 4, 22, -46, 67, -82, 90, -90, 82, -67, 46, -22, -4, 31, -54, 73, -85, 90, -88, 78, -61, 38, -13},
    {9, -25, 43, -57, 70, -80, 87, -90, 90, -87, 80, -70, 57, -43, 25, -9, -9, 25, -43, 57, -70, 80, -87, 90, -90, 87, -80, 70, -57, 43, -25, 9},
    {4, -13, 22, -31, 38, -46, 54, -61, 67, -73, 78, -82, 85, -88, 90, -90, 90, -90, 88, -85, 82, -78, 73, -67, 61, -54, 46, -38, 31, -22, 13, -4},
};

static const int kDst4[4][4] = {
    {29, 55, 74, 84},
    {74, 74, 0, -74},
    {84, -29, -74, 55},
    {55, -84, 74, -29},
};

constexpr int kSrcStride = 64;
constexpr int kPredStride = 128;

// Basis function k at sample position n of the N-point transform.
int basis(int size, bool dst, int k, int n)
{
    return dst ? kDst4[k][n] : kTransMatrix[k * (32 / size)][n];
}

int64_t clip3(int64_t lo, int64_t hi, int64_t v)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

// Clause 8.6.4.2: columns first, (e + 64) >> 7 clipped to 16 bits, then rows,
// (r + 2048) >> 12, then Clip1(pred + res). Returns how many intermediate
// values the clip changed, so tests can prove they reached it.
int model_inverse(int size, bool dst_v, bool dst_h, const int16_t *d, uint8_t *pred_recon)
{
    int64_t g[32][32];
    int clipped = 0;
    for (int h = 0; h < size; h++) {
        for (int y = 0; y < size; y++) {
            int64_t e = 0;
            for (int v = 0; v < size; v++) e += (int64_t)basis(size, dst_v, v, y) * d[v * size + h];
            int64_t s = (e + 64) >> 7;
            g[y][h] = clip3(-32768, 32767, s);
            clipped += g[y][h] != s;
        }
    }
    for (int y = 0; y < size; y++) {
        for (int x = 0; x < size; x++) {
            int64_t r = 0;
            for (int h = 0; h < size; h++) r += (int64_t)basis(size, dst_h, h, x) * g[y][h];
            int64_t res = (r + 2048) >> 12;
            uint8_t *p = pred_recon + y * kPredStride + x;
            *p = (uint8_t)clip3(0, 255, *p + res);
        }
    }
    return clipped;
}

// Residual, rows with shift log2(N) - 1 into 16 bits, columns with log2(N) + 6.
void model_forward(int size, bool dst_v, bool dst_h, const uint8_t *src, const uint8_t *pred,
                   int16_t *coeff)
{
    int log2n = 0;
    while ((1 << log2n) < size) log2n++;
    int s1 = log2n - 1, s2 = log2n + 6;
    int64_t t[32][32];  // t[y][k]: row y, horizontal frequency k
    for (int y = 0; y < size; y++) {
        for (int k = 0; k < size; k++) {
            int64_t sum = 0;
            for (int x = 0; x < size; x++)
                sum += (int64_t)basis(size, dst_h, k, x) *
                       (src[y * kSrcStride + x] - pred[y * kPredStride + x]);
            t[y][k] = (sum + (1 << (s1 - 1))) >> s1;
            ASSERT_EQ(t[y][k], (int16_t)t[y][k]);
        }
    }
    for (int v = 0; v < size; v++) {
        for (int h = 0; h < size; h++) {
            int64_t sum = 0;
            for (int y = 0; y < size; y++) sum += (int64_t)basis(size, dst_v, v, y) * t[y][h];
            int64_t c = (sum + (1 << (s2 - 1))) >> s2;
            ASSERT_EQ(c, (int16_t)c);
            coeff[v * size + h] = (int16_t)c;
        }
    }
}

struct dct_kernels {
    int size;
    int keep;  // side of the low-frequency corner
    fdct_fn fwd;
    fdct_low_fn fwd_low;
    idct_fn inv;
    idct_low_fn inv_low;
};

std::vector<dct_kernels> dct_sizes(const transform_table *t)
{
    return {
        {8, 4, t->fdct_residual_8x8, t->fdct_residual_low4_8x8, t->idct_add_8x8,
         t->idct_add_low4_8x8},
        {16, 8, t->fdct_residual_16x16, t->fdct_residual_low8_16x16, t->idct_add_16x16,
         t->idct_add_low8_16x16},
        {32, 8, t->fdct_residual_32x32, t->fdct_residual_low8_32x32, t->idct_add_32x32,
         t->idct_add_low8_32x32},
    };
}

transform_table portable_table()
{
    transform_table t;
    transform_table_init(0, &t);
    return t;
}

struct blocks {
    std::vector<uint8_t> src = std::vector<uint8_t>(kSrcStride * 32);
    std::vector<uint8_t> pred = std::vector<uint8_t>(kPredStride * 32);
    std::vector<int16_t> coeff = std::vector<int16_t>(32 * 32);
};

void fill_random(std::mt19937 &rng, std::vector<uint8_t> &v, int lo, int hi)
{
    std::uniform_int_distribution<int> dist(lo, hi);
    for (auto &x : v) x = (uint8_t)dist(rng);
}

void fill_coeff(std::mt19937 &rng, std::vector<int16_t> &v, int lo, int hi)
{
    std::uniform_int_distribution<int> dist(lo, hi);
    for (auto &x : v) x = (int16_t)dist(rng);
}

// Runs an inverse kernel and the model on copies of one prediction.
template <typename Run>
void expect_inverse_matches(int size, bool dst_v, bool dst_h, const std::vector<int16_t> &model_coeff,
                            const std::vector<uint8_t> &pred, Run run, int *clipped = nullptr)
{
    std::vector<uint8_t> want = pred, got = pred;
    int c = model_inverse(size, dst_v, dst_h, model_coeff.data(), want.data());
    if (clipped) *clipped += c;
    run(got.data());
    for (int y = 0; y < size; y++)
        for (int x = 0; x < size; x++)
            ASSERT_EQ(got[y * kPredStride + x], want[y * kPredStride + x])
                << "size " << size << " at " << x << "," << y;
    // Nothing right of or below the block changes.
    for (size_t i = 0; i < pred.size(); i++) {
        bool outside = (int)(i % kPredStride) >= size || (int)(i / kPredStride) >= size;
        if (outside) {
            ASSERT_EQ(got[i], pred[i]);
        }
    }
}

TEST(TransformMatrices, EqualTheStandardAndItsSubsets)
{
    for (int k = 0; k < 32; k++)
        for (int n = 0; n < 32; n++) {
            // The copy here is checked against the cosines it approximates.
            double c = k ? 64 * std::sqrt(2.0) * std::cos((2 * n + 1) * k * M_PI / 64) : 64;
            ASSERT_LE(std::fabs(kTransMatrix[k][n] - c), 2.5) << k << "," << n;
            ASSERT_EQ(dct_matrix_32[k][n], kTransMatrix[k][n]);
            if (k < 16 && n < 16) {
                ASSERT_EQ(dct_matrix_16[k][n], kTransMatrix[2 * k][n]);
            }
            if (k < 8 && n < 8) {
                ASSERT_EQ(dct_matrix_8[k][n], kTransMatrix[4 * k][n]);
            }
        }
}

TEST(Transform4x4, DstForIntraModesDctForMode35)
{
    for (int mode = 0; mode < 35; mode++) {
        EXPECT_EQ(dst4_select_h[mode], 1);
        EXPECT_EQ(dst4_select_v[mode], 1);
    }
    EXPECT_EQ(dst4_select_h[TRANSFORM_MODE_NONE], 0);
    EXPECT_EQ(dst4_select_v[TRANSFORM_MODE_NONE], 0);
}

TEST(InverseTransform, EqualsStandardOnRandomCoefficients)
{
    std::mt19937 rng(11);
    transform_table t = portable_table();
    blocks b;
    const int ranges[3][2] = {{-32768, 32767}, {-300, 300}, {-8, 8}};
    for (int round = 0; round < 6; round++) {
        fill_random(rng, b.pred, 0, 255);
        fill_coeff(rng, b.coeff, ranges[round % 3][0], ranges[round % 3][1]);
        for (int mode : {0, 1, 10, 26, 34, 35}) {
            bool dst = mode != TRANSFORM_MODE_NONE;
            expect_inverse_matches(4, dst, dst, b.coeff, b.pred, [&](uint8_t *p) {
                t.itrans_add_4x4(p, b.coeff.data(), mode);
            });
        }
        for (const dct_kernels &k : dct_sizes(&t))
            expect_inverse_matches(k.size, false, false, b.coeff, b.pred,
                                   [&](uint8_t *p) { k.inv(p, b.coeff.data()); });
    }
}

// Coefficients whose signs follow one basis function drive the first stage far
// past 16 bits; the standard clips there, and so must we.
TEST(InverseTransform, EqualsStandardOnExtremeCoefficientsWithIntermediateClip)
{
    transform_table t = portable_table();
    std::vector<uint8_t> pred(kPredStride * 32);
    for (int fill : {0, 255, 128}) {
        std::fill(pred.begin(), pred.end(), (uint8_t)fill);
        for (int size : {4, 8, 16, 32}) {
            for (int pattern = 0; pattern < 5; pattern++) {
                for (bool dst : {false, true}) {
                    if (dst && size != 4) continue;
                    std::vector<int16_t> c(size * size);
                    for (int v = 0; v < size; v++)
                        for (int h = 0; h < size; h++) {
                            int sv = basis(size, dst, v, pattern % size) < 0 ? -1 : 1;
                            int sh = basis(size, dst, h, (pattern * 3) % size) < 0 ? -1 : 1;
                            int s = pattern == 3 ? 1 : (pattern == 4 ? -1 : sv * sh);
                            c[v * size + h] = (int16_t)(s > 0 ? 32767 : -32768);
                        }
                    int clipped = 0;
                    int mode = dst ? 0 : TRANSFORM_MODE_NONE;
                    expect_inverse_matches(size, dst, dst, c, pred, [&](uint8_t *p) {
                        if (size == 4) t.itrans_add_4x4(p, c.data(), mode);
                        for (const dct_kernels &k : dct_sizes(&t))
                            if (k.size == size) k.inv(p, c.data());
                    }, &clipped);
                    EXPECT_GT(clipped, 0) << "pattern did not reach the clip, size " << size;
                }
            }
        }
    }
}

TEST(InverseTransform, LowKernelsEqualFullInverseOfCornerAndIgnoreTheRest)
{
    std::mt19937 rng(12);
    transform_table t = portable_table();
    blocks b;
    for (int round = 0; round < 4; round++) {
        fill_random(rng, b.pred, 0, 255);
        for (const dct_kernels &k : dct_sizes(&t)) {
            std::vector<int16_t> noisy(k.size * k.size), corner(k.size * k.size, 0);
            fill_coeff(rng, noisy, round < 2 ? -32768 : -500, round < 2 ? 32767 : 500);
            for (int v = 0; v < k.keep; v++)
                for (int h = 0; h < k.keep; h++) corner[v * k.size + h] = noisy[v * k.size + h];
            expect_inverse_matches(k.size, false, false, corner, b.pred, [&](uint8_t *p) {
                k.inv_low(p, noisy.data(), k.keep);
            });
        }
    }
}

TEST(ForwardTransform, EqualsMatrixProductWithStageRounding)
{
    std::mt19937 rng(13);
    transform_table t = portable_table();
    blocks b;
    for (int round = 0; round < 6; round++) {
        // Full-range residuals, then extremes: +255 and -255 everywhere.
        fill_random(rng, b.src, 0, 255);
        fill_random(rng, b.pred, 0, 255);
        if (round >= 4) {
            std::fill(b.src.begin(), b.src.end(), round == 4 ? 255 : 0);
            std::fill(b.pred.begin(), b.pred.end(), round == 4 ? 0 : 255);
        }
        std::vector<int16_t> want(32 * 32), got(32 * 32);
        for (int mode : {0, 18, 35}) {
            bool dst = mode != TRANSFORM_MODE_NONE;
            model_forward(4, dst, dst, b.src.data(), b.pred.data(), want.data());
            t.ftrans_residual_4x4(got.data(), b.src.data(), b.pred.data(), mode);
            for (int i = 0; i < 16; i++) ASSERT_EQ(got[i], want[i]) << "mode " << mode;
        }
        for (const dct_kernels &k : dct_sizes(&t)) {
            model_forward(k.size, false, false, b.src.data(), b.pred.data(), want.data());
            k.fwd(got.data(), b.src.data(), b.pred.data());
            for (int i = 0; i < k.size * k.size; i++) ASSERT_EQ(got[i], want[i]) << k.size;
        }
    }
}

TEST(ForwardTransform, LowKernelsWriteOnlyTheCornerAndMatchFull)
{
    std::mt19937 rng(14);
    transform_table t = portable_table();
    blocks b;
    fill_random(rng, b.src, 0, 255);
    fill_random(rng, b.pred, 0, 255);
    for (const dct_kernels &k : dct_sizes(&t)) {
        std::vector<int16_t> full(k.size * k.size), low(k.size * k.size, 0x5a5a);
        k.fwd(full.data(), b.src.data(), b.pred.data());
        k.fwd_low(low.data(), b.src.data(), b.pred.data(), k.keep);
        for (int v = 0; v < k.size; v++)
            for (int h = 0; h < k.size; h++) {
                int i = v * k.size + h;
                if (v < k.keep && h < k.keep) {
                    ASSERT_EQ(low[i], full[i]);
                } else {
                    ASSERT_EQ(low[i], 0x5a5a) << "written outside the corner";
                }
            }
    }
}

// Forward, quantise at qp 0..4, dequantise, inverse on noise residuals: the
// reconstruction stays within 3 of the source (the 32x32 stage roundings alone
// cost up to 2-3) and within 0.75 on average. A wrong shift or basis is far off.
TEST(TransformRoundTrip, NearLosslessAtSmallQp)
{
    std::mt19937 rng(15);
    transform_table t = portable_table();
    quant_context qc = {nullptr, 0, nullptr, nullptr};
    blocks b;
    for (int qp = 0; qp <= 4; qp++) {
        fill_random(rng, b.src, 0, 255);
        fill_random(rng, b.pred, 0, 255);
        for (int log2n = 2; log2n <= 5; log2n++) {
            int size = 1 << log2n;
            std::vector<int16_t> coeff(size * size), levels(size * size);
            std::vector<uint8_t> recon = b.pred;
            if (size == 4) t.ftrans_residual_4x4(coeff.data(), b.src.data(), b.pred.data(), 1);
            for (const dct_kernels &k : dct_sizes(&t))
                if (k.size == size) k.fwd(coeff.data(), b.src.data(), b.pred.data());
            quant_c(&qc, levels.data(), coeff.data(), qp, QUANT_ROUND_INTRA, log2n,
                    quant_scales[qp % 6], 0);
            dequant_c(levels.data(), coeff.data(), qp, log2n);
            if (size == 4) t.itrans_add_4x4(recon.data(), coeff.data(), 1);
            for (const dct_kernels &k : dct_sizes(&t))
                if (k.size == size) k.inv(recon.data(), coeff.data());
            int max_err = 0;
            double sum_err = 0;
            for (int y = 0; y < size; y++)
                for (int x = 0; x < size; x++) {
                    int e = std::abs(recon[y * kPredStride + x] - b.src[y * kSrcStride + x]);
                    max_err = std::max(max_err, e);
                    sum_err += e;
                }
            EXPECT_LE(max_err, 3) << "size " << size << " qp " << qp;
            EXPECT_LT(sum_err / (size * size), 0.75) << "size " << size << " qp " << qp;
        }
    }
}

TEST(TransformEdges, FlatResidualGivesDcOnlyWithDctButNotWithDst)
{
    transform_table t = portable_table();
    blocks b;
    std::fill(b.src.begin(), b.src.end(), 120);
    std::fill(b.pred.begin(), b.pred.end(), 100);
    std::vector<int16_t> coeff(32 * 32);
    t.ftrans_residual_4x4(coeff.data(), b.src.data(), b.pred.data(), TRANSFORM_MODE_NONE);
    EXPECT_NE(coeff[0], 0);
    for (int i = 1; i < 16; i++) EXPECT_EQ(coeff[i], 0);
    t.ftrans_residual_4x4(coeff.data(), b.src.data(), b.pred.data(), 0);
    int ac = 0;
    for (int i = 1; i < 16; i++) ac += coeff[i] != 0;
    EXPECT_GT(ac, 0);
    for (const dct_kernels &k : dct_sizes(&t)) {
        k.fwd(coeff.data(), b.src.data(), b.pred.data());
        EXPECT_NE(coeff[0], 0);
        for (int i = 1; i < k.size * k.size; i++) ASSERT_EQ(coeff[i], 0);
    }
}

TEST(CoeffCostEstimate, CountsGroupsPlusMagnitudesOfBusyGroups)
{
    transform_table t = portable_table();
    std::vector<int16_t> c(32 * 32, 0);
    EXPECT_EQ(t.coeff_cost_estimate(c.data(), 3), 4u);
    c[9] = -3;
    EXPECT_EQ(t.coeff_cost_estimate(c.data(), 3), 23u);
    c[9] = 0;
    c[0] = 2;
    c[31 * 32 + 31] = -5;
    EXPECT_EQ(t.coeff_cost_estimate(c.data(), 5), 64u + 18 + 21);
    EXPECT_EQ(t.coeff_cost_estimate(c.data(), 2), 1u + 18);
}

// Every flag set fills every slot, and whatever a slot holds computes exactly
// what the portable kernel computes.
TEST(TransformTable, FullAndEqualToPortableAtEveryFlagSet)
{
    std::mt19937 rng(16);
    transform_table ref = portable_table();
    blocks b;
    fill_random(rng, b.src, 0, 255);
    fill_random(rng, b.pred, 0, 255);
    fill_coeff(rng, b.coeff, -4000, 4000);
    for (uint32_t flags = 0; flags < 8; flags++) {
        transform_table t;
        memset(&t, 0, sizeof(t));
        transform_table_init(flags, &t);
        void *slots[TRANSFORM_TABLE_SLOTS];
        static_assert(sizeof(t) == sizeof(slots), "fifteen pointer slots");
        memcpy(slots, &t, sizeof(t));
        for (int i = 0; i < TRANSFORM_TABLE_SLOTS; i++) ASSERT_NE(slots[i], nullptr) << flags << ":" << i;

        std::vector<int16_t> want(32 * 32), got(32 * 32);
        for (int mode : {5, 35}) {
            ref.ftrans_residual_4x4(want.data(), b.src.data(), b.pred.data(), mode);
            t.ftrans_residual_4x4(got.data(), b.src.data(), b.pred.data(), mode);
            ASSERT_EQ(got, want);
            std::vector<uint8_t> w = b.pred, g = b.pred;
            ref.itrans_add_4x4(w.data(), b.coeff.data(), mode);
            t.itrans_add_4x4(g.data(), b.coeff.data(), mode);
            ASSERT_EQ(g, w);
        }
        std::vector<dct_kernels> rs = dct_sizes(&ref), ts = dct_sizes(&t);
        for (size_t s = 0; s < rs.size(); s++) {
            rs[s].fwd(want.data(), b.src.data(), b.pred.data());
            ts[s].fwd(got.data(), b.src.data(), b.pred.data());
            ASSERT_EQ(got, want);
            rs[s].fwd_low(want.data(), b.src.data(), b.pred.data(), rs[s].keep);
            ts[s].fwd_low(got.data(), b.src.data(), b.pred.data(), ts[s].keep);
            ASSERT_EQ(got, want);
            std::vector<uint8_t> w = b.pred, g = b.pred;
            rs[s].inv(w.data(), b.coeff.data());
            ts[s].inv(g.data(), b.coeff.data());
            ASSERT_EQ(g, w);
            rs[s].inv_low(w.data(), b.coeff.data(), rs[s].keep);
            ts[s].inv_low(g.data(), b.coeff.data(), ts[s].keep);
            ASSERT_EQ(g, w);
        }
        ASSERT_EQ(t.coeff_cost_estimate(b.coeff.data(), 5), ref.coeff_cost_estimate(b.coeff.data(), 5));
    }
}

}  // namespace
