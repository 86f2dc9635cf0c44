// Rate-distortion-optimised quantisation: the documented edge cases, the
// rate helpers, decodability of what both kernels choose (levels in range,
// sign-hiding parity, read back by a standard-process parser), and that on
// random residuals neither kernel ends with a higher rate-distortion cost
// than plain rounding when both are priced by the CABAC bit estimator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bitstream/cabac.h"
#include "bitstream/cabac_estimate.h"
#include "bitstream/syntax_writer.h"
#include "encoder/cpu.h"
#include "kernels/quant/quant.h"
#include "syntax_reader.h"

namespace {

uint32_t lambda_for(int qp)
{
    return (uint32_t)(256.0 * 0.57 * std::pow(2.0, (qp - 12) / 3.0));
}

struct rdoq_fixture : ::testing::Test {
    scan_tables scans{};
    metric_table metrics{};
    cabac_encoder cabac{};
    quant_context qc{};
    uint16_t weights[58];

    void SetUp() override
    {
        ASSERT_EQ(scan_tables_init(&scans), 0);
        metric_table_init(cpu_detect(), &metrics, 5);
        for (auto &w : weights)
            w = 512;
        reset_coder(2, 32);
        qc.scans = &scans;
        qc.sign_hiding = 0;
        qc.cabac = &cabac;
        qc.chroma_dist_weight = weights;
    }
    void TearDown() override { scan_tables_free(&scans); }

    // Contexts of a slice start; the rdoq model bytes seeded as mode
    // decision seeds them.
    void reset_coder(int slice_type, int qp)
    {
        cabac_init_contexts(&cabac, slice_type, qp, 120);
        cabac.rate.est_bits = 0;
        rdoq_state_seed(&cabac);
        ASSERT_EQ(cabac.rate.rdoq_sig_state[1], cabac.rate.ctx[74]);
        ASSERT_EQ(cabac.rate.rdoq_gt1_state[1], cabac.rate.ctx[165]);
    }

    static int qbits(int qp, int n) { return 21 + qp / 6 - n; }

    // Transform-like coefficients: magnitudes fall with frequency, scaled to
    // the quantisation step so that levels around 0..several occur.
    void random_coeffs(std::mt19937 *rng, int16_t *coeff, int n, int qp, double strength)
    {
        const int size = 1 << n;
        const double step = (double)(1 << qbits(qp, n)) / quant_scales[qp % 6];
        std::exponential_distribution<double> expo(1.0);
        for (int y = 0; y < size; y++)
            for (int x = 0; x < size; x++) {
                double scale = strength * step / (1.0 + 0.6 * (x + y));
                double v = expo(*rng) * scale;
                if ((*rng)() % 4 == 0)
                    v = 0;
                v = v > 32767 ? 32767 : v;
                coeff[y * size + x] = (int16_t)(((*rng)() & 1) ? -v : v);
            }
    }

    // Coefficient-domain squared error of the dequantised levels.
    int64_t distortion(const int16_t *levels, const int16_t *coeff, int n, int qp)
    {
        const int size = 1 << n;
        int16_t rec[1024];
        dequant_c(levels, rec, qp, n);
        int64_t d = 0;
        for (int i = 0; i < size * size; i++) {
            int64_t e = (int64_t)rec[i] - coeff[i];
            d += e * e;
        }
        return d;
    }

    // The estimator's cost: squared error plus lambda-weighted estimated
    // bits, in the coefficient-domain units of rdoq_alt.
    int64_t rd_cost(const int16_t *levels, const int16_t *coeff, int n, int qp, int chroma, int scan,
                    uint32_t lambda)
    {
        cabac_encoder rec = cabac;
        rec.rate.est_bits = 0;
        rate_est_residual(&rec, levels, n, scan, chroma, qc.sign_hiding, &scans, &metrics);
        const int64_t lam = chroma ? ((int64_t)lambda << 9) / weights[qp] : lambda;
        const int h = 2 * n + 2 + chroma;
        return distortion(levels, coeff, n, qp) + (((int64_t)rec.rate.est_bits * lam + (1 << (h - 1))) >> h);
    }

    // Every group whose first and last non-zero levels lie four or more
    // positions apart carries the first level's sign in its parity.
    void expect_parity_rule(const int16_t *levels, int n, int scan, const char *what)
    {
        const uint16_t *order = scan_order(&scans, n, scan);
        for (int g = 0; g < (1 << (2 * n)) / 16; g++) {
            int first = -1, last = -1, sum = 0;
            for (int k = 0; k < 16; k++) {
                int v = levels[order[16 * g + k]];
                if (!v)
                    continue;
                if (first < 0)
                    first = k;
                last = k;
                sum += std::abs(v);
            }
            if (first >= 0 && last - first >= 4) {
                ASSERT_EQ(sum & 1, levels[order[16 * g + first]] < 0 ? 1 : 0) << what << " group " << g;
            }
        }
    }
};

using RdoqFixture = rdoq_fixture;

TEST_F(RdoqFixture, BlocksBelowTheThresholdReturnZeroAndLeaveTheLevelsAlone)
{
    for (int n = 2; n <= 5; n++) {
        const int size = 1 << n;
        std::vector<int16_t> coeff(size * size), levels(size * size, 0x7777);
        // Half a step, less one: below what rounds to a level in either kernel.
        const int qp = 30;
        const int t = ((1 << (qbits(qp, n) - 1)) - QUANT_ROUND_INTRA) / quant_scales[qp % 6] - 1;
        for (int i = 0; i < size * size; i++)
            coeff[i] = (int16_t)((i & 1) ? -t : t);
        for (int plane = 0; plane < 2; plane++) {
            EXPECT_EQ(rdoq_c(&qc, lambda_for(qp), levels.data(), coeff.data(), qp, QUANT_ROUND_INTRA, n,
                             quant_scales[qp % 6], plane, 0), 0);
            EXPECT_EQ(rdoq_alt_c(&qc, lambda_for(qp), levels.data(), coeff.data(), qp, QUANT_ROUND_INTRA,
                                 n, quant_scales[qp % 6], plane, 0), 0);
            for (int16_t v : levels)
                ASSERT_EQ(v, 0x7777);
        }
    }
}

TEST_F(RdoqFixture, ZeroLambdaPicksTheLevelOfLeastDistortionTiesToTheLower)
{
    std::mt19937 rng(1);
    for (int iter = 0; iter < 200; iter++) {
        const int n = 2 + iter % 4;
        const int size = 1 << n;
        const int qp = 10 + (int)(rng() % 40);
        const int plane = (iter / 4) % 2;
        const int qs = quant_scales[qp % 6];
        const int qb = qbits(qp, n);
        std::vector<int16_t> coeff(size * size), levels(size * size);
        random_coeffs(&rng, coeff.data(), n, qp, 2.0);
        rdoq_c(&qc, 0, levels.data(), coeff.data(), qp, QUANT_ROUND_INTRA, n, qs, plane, 0);
        const int t = ((1 << qb) - (1 << (qb - 1)) - 1 + qs) / qs;
        const int64_t w = plane ? weights[qp] : 256;
        auto dist = [&](int64_t e) {
            const int sh = 22 - 2 * n;
            return (e * e * w + ((int64_t)1 << (sh - 1))) >> sh;
        };
        for (int i = 0; i < size * size; i++) {
            const int a = std::abs(coeff[i]);
            const int got = std::abs(levels[i]);
            if (a < t) {
                ASSERT_EQ(got, 0);
                continue;
            }
            const int L = (int)(((int64_t)a * qs) >> qb);
            int best = 0;
            int64_t best_d = dist(a);
            for (int cand : {L, L + 1}) {
                if (cand == 0)
                    continue;
                int64_t dq = ((int64_t)cand * (level_scales[qp % 6] << (qp / 6)) + (1 << (n - 2))) >> (n - 1);
                dq = dq > 32767 ? 32767 : dq;
                int64_t d = dist(a - dq);
                if (d < best_d) {
                    best_d = d;
                    best = cand;
                }
            }
            ASSERT_EQ(got, best) << "coefficient " << coeff[i] << " qp " << qp << " n " << n;
            if (got) {
                ASSERT_EQ(levels[i] < 0, coeff[i] < 0);
            }
        }
    }
}

TEST_F(RdoqFixture, CostlyTrailingRunIsClearedAndTheModelStatesReset)
{
    const int n = 3, qp = 32, size = 8;
    const int qs = quant_scales[qp % 6];
    const int qb = qbits(qp, n);
    const int t = ((1 << qb) - (1 << (qb - 1)) - 1 + qs) / qs;
    std::vector<int16_t> coeff(size * size, 0), levels(size * size, 5);
    coeff[7 * size + 7] = (int16_t)t;   // one level just over half a step, far out
    const uint8_t sig = cabac.rate.rdoq_sig_state[0], gt1 = cabac.rate.rdoq_gt1_state[0];
    EXPECT_EQ(rdoq_c(&qc, lambda_for(qp) * 4, levels.data(), coeff.data(), qp, QUANT_ROUND_INTRA, n, qs,
                     0, 0), 0);
    for (int16_t v : levels)
        ASSERT_EQ(v, 0);
    EXPECT_EQ(cabac.rate.rdoq_sig_state[0], sig);
    EXPECT_EQ(cabac.rate.rdoq_gt1_state[0], gt1);
}

TEST_F(RdoqFixture, ClearedRunDoesNotCondemnTheLevelsThatFollowInItsGroup)
{
    // Horizontal 8x8: the -200 opens a run that the many small coefficients
    // of the first group make too costly, so it is cleared; the two strong
    // low-frequency coefficients that follow in the same group must still be
    // coded.
    const int16_t coeff[64] = {
        134, 135, 0,   53,  -200, 59,  66,  19,  60, -17, 65,  -3,  -84, 0,   0,   0,
        -94, 0,   0,   19,  0,    0,   -37, 0,   27, -44, 18,  -57, 17,  11,  0,   1,
        0,   0,   -33, -51, 0,    -7,  -23, -8,  -60, -22, 40, 0,   -20, 21,  -1,  -4,
        40,  0,   -7,  -22, 0,    -18, 0,   0,   13,  -23, -2, -13, 65,  -50, 0,   0,
    };
    int16_t levels[64];
    const int qp = 23;
    reset_coder(2, qp);
    EXPECT_NE(rdoq_c(&qc, 1853, levels, coeff, qp, QUANT_ROUND_INTRA, 3, quant_scales[qp % 6], 0,
                     SCAN_HORIZONTAL), 0);
    EXPECT_EQ(levels[0], 1);
    EXPECT_EQ(levels[1], 1);
}

TEST_F(RdoqFixture, ModelStatesAreWrittenBackSoRepeatedCallsCanDiffer)
{
    std::mt19937 rng(4);
    int changed_states = 0, changed_levels = 0;
    for (int iter = 0; iter < 200; iter++) {
        reset_coder(2, 32);
        const int n = 2 + iter % 3, size = 1 << n, qp = 32;
        std::vector<int16_t> coeff(size * size), a(size * size), b(size * size);
        random_coeffs(&rng, coeff.data(), n, qp, 1.2);
        const uint8_t before = cabac.rate.rdoq_sig_state[0];
        rdoq_c(&qc, lambda_for(qp), a.data(), coeff.data(), qp, QUANT_ROUND_INTRA, n, quant_scales[qp % 6], 0, 0);
        changed_states += cabac.rate.rdoq_sig_state[0] != before;
        rdoq_c(&qc, lambda_for(qp), b.data(), coeff.data(), qp, QUANT_ROUND_INTRA, n, quant_scales[qp % 6], 0, 0);
        changed_levels += a != b;
        // The real contexts are never touched.
        cabac_encoder fresh;
        cabac_init_contexts(&fresh, 2, 32, 120);
        ASSERT_EQ(std::memcmp(fresh.rate.ctx, cabac.rate.ctx, sizeof(fresh.rate.ctx)), 0);
    }
    EXPECT_GT(changed_states, 100);
    EXPECT_GT(changed_levels, 0);
}

TEST_F(RdoqFixture, RateHelpersPriceTheDocumentedBins)
{
    const int g1 = ctx_greater1_flag + 1, g2 = ctx_greater2_flag;
    EXPECT_EQ(rdoq_rate_level(&cabac, 1, 0, 1, g1, g2, 0), 256u + cabac_bits_table[cabac.rate.ctx[g1]]);
    EXPECT_EQ(rdoq_rate_level(&cabac, 2, 0, 1, g1, g2, 0),
              256u + cabac_bits_table[cabac.rate.ctx[g1] ^ 1] + cabac_bits_table[cabac.rate.ctx[g2]]);
    EXPECT_EQ(rdoq_rate_level(&cabac, 2, 8, 1, g1, g2, 0), 256u + 2 * 256);
    // Level 2 after a greater-2 flag was spent: the remaining value 0 costs one bin.
    EXPECT_EQ(rdoq_rate_level(&cabac, 2, 0, 0, g1, g2, 0), 256u + cabac_bits_table[cabac.rate.ctx[g1] ^ 1] + 256);
    EXPECT_EQ(rdoq_rate_last_pos(&cabac, 0, 0, 2, 0), (uint32_t)cabac_bits_table[cabac.rate.ctx[ctx_last_x_prefix]] +
                                                       cabac_bits_table[cabac.rate.ctx[ctx_last_y_prefix]]);
    // 32x32 luma, x = 31: nine 1-bins on contexts offset 10 + (i >> 1), no
    // terminating bin, three suffix bits; y = 0: one 0-bin.
    uint32_t expect = 3 * 256 + cabac_bits_table[cabac.rate.ctx[ctx_last_y_prefix + 10]];
    for (int i = 0; i < 9; i++)
        expect += cabac_bits_table[cabac.rate.ctx[ctx_last_x_prefix + 10 + (i >> 1)] ^ 1];
    EXPECT_EQ(rdoq_rate_last_pos(&cabac, 31, 0, 5, 0), expect);
    // Chroma 8x8, (5, 2): x prefix 4 ones and a zero on contexts 15 + (i >> 1),
    // one suffix bit; y prefix 2 ones and a zero.
    expect = 256;
    for (int i = 0; i < 4; i++)
        expect += cabac_bits_table[cabac.rate.ctx[ctx_last_x_prefix + 15 + (i >> 1)] ^ 1];
    expect += cabac_bits_table[cabac.rate.ctx[ctx_last_x_prefix + 15 + 2]];
    for (int i = 0; i < 2; i++)
        expect += cabac_bits_table[cabac.rate.ctx[ctx_last_y_prefix + 15 + (i >> 1)] ^ 1];
    expect += cabac_bits_table[cabac.rate.ctx[ctx_last_y_prefix + 15 + 1]];
    EXPECT_EQ(rdoq_rate_last_pos(&cabac, 5, 2, 3, 1), expect);
}

TEST_F(RdoqFixture, VerticalScanPricesTheLastPositionWithCoordinatesExchanged)
{
    // With equal x and y prefix contexts, a transposed 8x8 block in the
    // vertical scan is coded exactly like the block in the horizontal scan.
    std::memcpy(&cabac.rate.ctx[ctx_last_y_prefix], &cabac.rate.ctx[ctx_last_x_prefix], 30);
    std::mt19937 rng(8);
    for (int iter = 0; iter < 200; iter++) {
        const int n = 3, size = 8, qp = 22 + (int)(rng() % 20);
        int16_t coeff[64], trans[64], a[64], b[64];
        random_coeffs(&rng, coeff, n, qp, 1.5);
        if (iter % 2) {
            std::memset(coeff, 0, sizeof(coeff));
            coeff[(rng() % 8) * 8 + rng() % 8] = (int16_t)(4000 + rng() % 2000);
            coeff[rng() % 64] = (int16_t)(900 + rng() % 500);
        }
        for (int y = 0; y < size; y++)
            for (int x = 0; x < size; x++)
                trans[x * size + y] = coeff[y * size + x];
        int ra = rdoq_alt_c(&qc, lambda_for(qp), a, coeff, qp, QUANT_ROUND_INTRA, n, quant_scales[qp % 6], 0,
                            SCAN_HORIZONTAL);
        int rb = rdoq_alt_c(&qc, lambda_for(qp), b, trans, qp, QUANT_ROUND_INTRA, n, quant_scales[qp % 6], 0,
                            SCAN_VERTICAL);
        ASSERT_EQ(ra != 0, rb != 0);
        if (!ra)
            continue;
        for (int y = 0; y < size; y++)
            for (int x = 0; x < size; x++)
                ASSERT_EQ(a[y * size + x], b[x * size + y]) << "iter " << iter;
    }
}

// Every call of both kernels on random residuals, with and without sign
// hiding: levels in range and near the exact quotient, the parity rule, a
// standard parser reads back exactly what was chosen; and the cost that the
// bit estimator gives is compared with that of plain rounding.
TEST_F(RdoqFixture, RandomResidualsAreDecodableAndCheaperThanPlainRounding)
{
    std::mt19937 rng(12345);
    std::vector<uint8_t> buf(1 << 16);
    int64_t sum_plain = 0, sum_rdoq[2] = {0, 0};
    int worse[2] = {0, 0}, calls = 0;
    double worst_no_hiding[2] = {0, 0};
    for (int iter = 0; iter < 1200; iter++) {
        const int n = 2 + (int)(rng() % 4);
        const int chroma = n < 5 ? (int)(rng() % 2) : 0;
        const int scan = n <= 3 ? (int)(rng() % 3) : 0;
        const int qp = 12 + (int)(rng() % 38);
        const int sdh = (int)(rng() % 2);
        const int slice_type = (int)(rng() % 3);
        const uint16_t round = slice_type == 2 ? QUANT_ROUND_INTRA : QUANT_ROUND_INTER;
        const int size = 1 << n;
        const uint32_t lambda = lambda_for(qp) >> (rng() % 3);
        reset_coder(slice_type, qp);
        qc.sign_hiding = sdh;
        std::vector<int16_t> coeff(size * size), plain(size * size);
        random_coeffs(&rng, coeff.data(), n, qp, 0.3 + (rng() % 100) / 25.0);
        quant_c(&qc, plain.data(), coeff.data(), qp, round, n, quant_scales[qp % 6], scan);
        const int64_t j_plain = rd_cost(plain.data(), coeff.data(), n, qp, chroma, scan, lambda);
        sum_plain += j_plain;
        for (int kernel = 0; kernel < 2; kernel++) {
            std::vector<int16_t> levels(size * size, 0);
            const cabac_encoder saved = cabac;
            const int nz = (kernel ? rdoq_alt_c : rdoq_c)(&qc, lambda, levels.data(), coeff.data(), qp, round, n,
                                                         quant_scales[qp % 6], chroma, scan);
            cabac = saved;   // the model bytes are not part of the comparison
            calls++;
            if (!nz)
                std::fill(levels.begin(), levels.end(), 0);
            bool any = false;
            for (int i = 0; i < size * size; i++) {
                const int64_t exact = ((int64_t)std::abs(coeff[i]) * quant_scales[qp % 6]) >> qbits(qp, n);
                ASSERT_LE(std::abs(levels[i]), exact + 2) << "kernel " << kernel;
                ASSERT_TRUE(levels[i] == 0 || (levels[i] < 0) == (coeff[i] < 0)) << "kernel " << kernel;
                any |= levels[i] != 0;
            }
            ASSERT_EQ(nz != 0, any) << "kernel " << kernel;
            if (sdh)
                expect_parity_rule(levels.data(), n, scan, kernel ? "rdoq_alt" : "rdoq");
            const int64_t j = rd_cost(levels.data(), coeff.data(), n, qp, chroma, scan, lambda);
            sum_rdoq[kernel] += j;
            worse[kernel] += j > j_plain;
            if (!sdh && j > j_plain)
                worst_no_hiding[kernel] = std::max(worst_no_hiding[kernel], (double)(j - j_plain) / (double)j_plain);
            if (!any)
                continue;
            cabac_encoder enc = cabac;
            cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
            cabac_write_residual_block(&enc, levels.data(), n, scan, chroma, sdh, &scans, &metrics);
            cabac_flush(&enc);
            syntax_reader r;
            rd_params p;
            p.slice_type = slice_type;
            p.slice_qp = qp;
            p.sign_hiding = sdh;
            r.start(p, buf.data(), (size_t)(enc.buf_cur - enc.buf_start));
            int16_t out[1024];
            std::memset(out, 0, sizeof(out));
            r.decode_residual_block(n, chroma, scan, out);
            for (int i = 0; i < size * size; i++)
                ASSERT_EQ(out[i], levels[i]) << "kernel " << kernel << " position " << i;
        }
    }
    printf("cost against plain rounding: rdoq %.3f, rdoq_alt %.3f; blocks costlier: %d and %d of %d; "
           "worst without sign hiding %.2f%% and %.2f%%\n",
           (double)sum_rdoq[0] / sum_plain, (double)sum_rdoq[1] / sum_plain, worse[0], worse[1], calls / 2,
           100 * worst_no_hiding[0], 100 * worst_no_hiding[1]);
    // The kernels price with models (static contexts, per-group greater-1
    // states, the group-local sign-hiding repair), not with the adaptive
    // estimate itself, so a block can come out a little costlier than plain
    // rounding; over many blocks they must be clearly cheaper, rarely
    // costlier, and rdoq_alt without sign hiding only marginally so.
    EXPECT_LT((double)sum_rdoq[0], 0.93 * (double)sum_plain);
    EXPECT_LT((double)sum_rdoq[1], 0.93 * (double)sum_plain);
    EXPECT_LT(worse[0], calls / 2 / 10);
    EXPECT_LT(worse[1], calls / 2 / 10);
    EXPECT_LT(worst_no_hiding[1], 0.01);
}

}  // namespace
