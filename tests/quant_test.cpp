// Quantisation with and without sign data hiding, and dequantisation against
// the scaling process of H.265 (clause 8.6.3, flat scaling lists, 8 bits).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/quant/quant.h"

namespace {

class quant_fixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(scan_tables_init(&scans), 0);
        plain = {&scans, 0, nullptr, nullptr};
        hiding = {&scans, 1, nullptr, nullptr};
    }
    void TearDown() override { scan_tables_free(&scans); }

    int run(quant_context *ctx, std::vector<int16_t> &levels, const std::vector<int16_t> &coeff,
            int qp, int n, int scan_idx = 0, uint16_t round = QUANT_ROUND_INTRA)
    {
        levels.assign(coeff.size(), 0x7777);
        return quant_c(ctx, levels.data(), coeff.data(), qp, round, n, quant_scales[qp % 6], scan_idx);
    }

    scan_tables scans{};
    quant_context plain{}, hiding{};
};

int16_t model_level(int32_t x, int qp, int n, uint16_t round)
{
    int qbits = 21 + qp / 6 - n;
    int64_t mag = ((int64_t)std::abs(x) * quant_scales[qp % 6] + ((int64_t)round << (qbits - 9))) >> qbits;
    return (int16_t)(x < 0 ? -mag : mag);
}

using QuantFixture = quant_fixture;

TEST_F(QuantFixture, WorkedExampleAtQp228x8)
{
    std::vector<int16_t> coeff(64, 0), levels;
    coeff[0] = 100, coeff[1] = 200, coeff[2] = 250, coeff[3] = -250;
    EXPECT_NE(run(&plain, levels, coeff, 22, 3), 0);
    EXPECT_EQ(levels[0], 1);
    EXPECT_EQ(levels[1], 1);
    EXPECT_EQ(levels[2], 2);
    EXPECT_EQ(levels[3], -2);
    for (int i = 4; i < 64; i++) EXPECT_EQ(levels[i], 0);

    std::vector<int16_t> zero(64, 0);
    EXPECT_EQ(run(&plain, levels, zero, 22, 3), 0);
    for (int16_t l : levels) EXPECT_EQ(l, 0);
    EXPECT_EQ(run(&hiding, levels, zero, 22, 3), 0);
    for (int16_t l : levels) EXPECT_EQ(l, 0);
}

TEST_F(QuantFixture, PlainLevelsRoundMagnitudesSymmetricallyAtEveryQpAndSize)
{
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> dist(-32768, 32767);
    for (int n = 2; n <= 5; n++) {
        int count = 1 << (2 * n);
        for (int qp = 0; qp <= 51; qp++) {
            for (uint16_t round : {(uint16_t)QUANT_ROUND_INTRA, (uint16_t)QUANT_ROUND_INTER}) {
                std::vector<int16_t> coeff(count), negated(count), levels, neg_levels;
                for (int i = 0; i < count; i++) coeff[i] = (int16_t)(i < 2 ? (i ? -32768 : 32767) : dist(rng) >> (i % 12));
                for (int i = 0; i < count; i++) negated[i] = (int16_t)(coeff[i] == -32768 ? 32767 : -coeff[i]);
                int any = run(&plain, levels, coeff, qp, n, 0, round);
                run(&plain, neg_levels, negated, qp, n, 0, round);
                bool nonzero = false;
                for (int i = 0; i < count; i++) {
                    ASSERT_EQ(levels[i], model_level(coeff[i], qp, n, round)) << qp << " " << n;
                    if (coeff[i] != -32768) {
                        ASSERT_EQ(neg_levels[i], -levels[i]);
                    }
                    nonzero |= levels[i] != 0;
                }
                ASSERT_EQ(any != 0, nonzero);
            }
        }
    }
}

// At qp 22 and 4x4 the step is 256 coefficient units and the intra offset 85.5,
// so a coefficient x gives level floor((|x| + 85.5) / 256) with rounding error
// |x| - 256 * level. Positions below are diagonal scan positions.
class hiding_cases : public quant_fixture {
protected:
    std::vector<int16_t> at_scan(std::initializer_list<std::pair<int, int>> values)
    {
        const uint16_t *scan = scan_order(&scans, 2, SCAN_DIAGONAL);
        std::vector<int16_t> coeff(16, 0);
        for (auto v : values) coeff[scan[v.first]] = (int16_t)v.second;
        return coeff;
    }
    int level_at(const std::vector<int16_t> &levels, int scan_pos)
    {
        return levels[scan_order(&scans, 2, SCAN_DIAGONAL)[scan_pos]];
    }
    std::vector<int16_t> hidden(const std::vector<int16_t> &coeff)
    {
        std::vector<int16_t> levels;
        run(&hiding, levels, coeff, 22, 2);
        return levels;
    }
};

using HidingCases = hiding_cases;

TEST_F(HidingCases, TheLevelWithTheLargestRoundingErrorChanges)
{
    // Levels 1, 1 (rounded up, error -56), 0 (error +100), 1: an odd sum under
    // a positive first level, so the zero with the largest error grows.
    std::vector<int16_t> l = hidden(at_scan({{0, 256}, {2, 200}, {3, 100}, {5, 256}}));
    EXPECT_EQ(level_at(l, 0), 1);
    EXPECT_EQ(level_at(l, 2), 1);
    EXPECT_EQ(level_at(l, 3), 1);
    EXPECT_EQ(level_at(l, 5), 1);
    // A zero level grows with the sign of its coefficient.
    l = hidden(at_scan({{0, 256}, {2, 200}, {3, -100}, {5, 256}}));
    EXPECT_EQ(level_at(l, 3), -1);
    // A level rounded up shrinks.
    l = hidden(at_scan({{0, 256}, {3, 190}, {5, 768}}));
    EXPECT_EQ(level_at(l, 3), 0);
    EXPECT_EQ(level_at(l, 5), 3);
}

TEST_F(HidingCases, EqualErrorsFavourTheHigherScanPosition)
{
    std::vector<int16_t> l = hidden(at_scan({{0, 256}, {3, 100}, {4, 100}, {5, 512}}));
    EXPECT_EQ(level_at(l, 3), 0);
    EXPECT_EQ(level_at(l, 4), 1);
}

TEST_F(HidingCases, AFirstLevelOfOneRoundedUpIsNeverLowered)
{
    std::vector<int16_t> l = hidden(at_scan({{0, 180}, {3, 30}, {5, 512}}));
    EXPECT_EQ(level_at(l, 0), 1);
    EXPECT_EQ(level_at(l, 3), 1);
    // With no other candidate the last level takes the change.
    l = hidden(at_scan({{0, 180}, {5, 512}}));
    EXPECT_EQ(level_at(l, 0), 1);
    EXPECT_EQ(level_at(l, 5), 3);
}

TEST_F(HidingCases, GroupsThatHideNothingAreLeftAlone)
{
    // First and last three positions apart: no sign is hidden.
    std::vector<int16_t> c = at_scan({{0, 256}, {2, 100}, {3, 512}});
    std::vector<int16_t> plain_levels;
    run(&plain, plain_levels, c, 22, 2);
    EXPECT_EQ(hidden(c), plain_levels);
    // Parity already matching the sign: even sum, positive first; odd, negative.
    c = at_scan({{0, 256}, {2, 100}, {5, 256}});
    run(&plain, plain_levels, c, 22, 2);
    EXPECT_EQ(hidden(c), plain_levels);
    c = at_scan({{0, -256}, {2, 100}, {5, 512}});
    run(&plain, plain_levels, c, 22, 2);
    EXPECT_EQ(hidden(c), plain_levels);
}

// Over random blocks of every size and scan: wherever the decoder will infer a
// sign (first and last non-zero of a group at least four apart), the parity of
// the group's magnitudes gives the first level's sign; each group differs from
// plain rounding in at most one level, by one.
TEST_F(QuantFixture, HiddenSignsAreAlwaysRecoverable)
{
    std::mt19937 rng(22);
    int adjusted_groups = 0;
    for (int n = 2; n <= 5; n++) {
        int size = 1 << n, count = size * size;
        for (int scan_idx = 0; scan_idx < 3; scan_idx++) {
            const uint16_t *scan = scan_order(&scans, n, scan_idx);
            for (int qp : {4, 22, 37}) {
                for (int round = 0; round < 8; round++) {
                    std::uniform_int_distribution<int> dist(-(64 << (round % 4 + qp / 6)), 64 << (round % 4 + qp / 6));
                    std::vector<int16_t> coeff(count), levels, ref;
                    for (auto &c : coeff) c = (int16_t)(rng() % 3 ? dist(rng) : 0);
                    int any = run(&hiding, levels, coeff, qp, n, scan_idx);
                    run(&plain, ref, coeff, qp, n, scan_idx);
                    bool nonzero = false;
                    for (int g = 0; g < count / 16; g++) {
                        int first = -1, last = -1, sum = 0, changed = 0;
                        for (int k = 0; k < 16; k++) {
                            int p = scan[16 * g + k];
                            int l = levels[p];
                            ASSERT_LE(std::abs(l - ref[p]), 1);
                            changed += l != ref[p];
                            if (l) {
                                if (first < 0) first = k;
                                last = k;
                                sum += std::abs(l);
                                nonzero = true;
                                ASSERT_TRUE(coeff[p] == 0 || (l < 0) == (coeff[p] < 0));
                            }
                        }
                        ASSERT_LE(changed, 1);
                        adjusted_groups += changed;
                        if (first >= 0 && last - first >= 4) {
                            int first_negative = levels[scan[16 * g + first]] < 0;
                            ASSERT_EQ(sum & 1, first_negative) << "n " << n << " group " << g;
                        }
                    }
                    ASSERT_EQ(any != 0, nonzero);
                }
            }
        }
    }
    EXPECT_GT(adjusted_groups, 100);
}

TEST_F(QuantFixture, LowQuantiserKeepsOnlyTheCorner)
{
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> dist(-3000, 3000);
    const int cases[3][2] = {{3, 4}, {4, 8}, {5, 8}};
    for (auto &cs : cases) {
        int n = cs[0], k = cs[1], size = 1 << n;
        for (quant_context *ctx : {&plain, &hiding}) {
            for (int scan_idx = 0; scan_idx < 3; scan_idx++) {
                std::vector<int16_t> coeff(size * size), corner(size * size, 0);
                for (auto &c : coeff) c = (int16_t)dist(rng);
                for (int y = 0; y < k; y++)
                    for (int x = 0; x < k; x++) corner[y * size + x] = coeff[y * size + x];
                std::vector<int16_t> low(size * size, 0x5555), full;
                int any = quant_low_c(ctx, low.data(), coeff.data(), 30, QUANT_ROUND_INTER, n,
                                      quant_scales[0], scan_idx, k);
                int full_any = run(ctx, full, corner, 30, n, scan_idx, QUANT_ROUND_INTER);
                EXPECT_EQ(low, full) << "n " << n << " hiding " << ctx->sign_hiding;
                EXPECT_EQ(any != 0, full_any != 0);
            }
        }
    }
}

// Clause 8.6.3 with m = 16 and bdShift = 8 + log2(N) - 5, in wide arithmetic.
int16_t model_dequant(int level, int qp, int n)
{
    int bd_shift = n + 3;
    int64_t v = (int64_t)level * 16 * level_scales[qp % 6] * (1 << (qp / 6)) + ((int64_t)1 << (bd_shift - 1));
    v >>= bd_shift;
    return (int16_t)(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

TEST(Dequant, EqualsTheStandardScalingWithSaturation)
{
    std::mt19937 rng(24);
    std::uniform_int_distribution<int> dist(-32768, 32767);
    int saturated = 0;
    for (int n = 2; n <= 5; n++) {
        int count = 1 << (2 * n);
        for (int qp = 0; qp <= 51; qp++) {
            std::vector<int16_t> levels(count), coeff(count);
            for (int i = 0; i < count; i++) levels[i] = (int16_t)(i < 2 ? (i ? -32768 : 32767) : dist(rng) >> (i % 16));
            dequant_c(levels.data(), coeff.data(), qp, n);
            for (int i = 0; i < count; i++) {
                ASSERT_EQ(coeff[i], model_dequant(levels[i], qp, n)) << qp << " " << n << " " << levels[i];
                saturated += coeff[i] == 32767 || coeff[i] == -32768;
            }
        }
    }
    EXPECT_GT(saturated, 0);
    std::vector<int16_t> l4(16, 0), c4(16), l32(1024, 0), c32(1024);
    l4[0] = 1, l4[1] = -1;
    dequant_c(l4.data(), c4.data(), 0, 2);
    EXPECT_EQ(c4[0], 20);   // (40 + 1) >> 1
    EXPECT_EQ(c4[1], -20);  // (-40 + 1) >> 1
    l32[0] = 1, l32[1] = -1;
    dequant_c(l32.data(), c32.data(), 0, 5);
    EXPECT_EQ(c32[0], 3);   // (40 + 8) >> 4
    EXPECT_EQ(c32[1], -2);  // (-40 + 8) >> 4
}

TEST(Dequant, LowFormWritesOnlyTheCorner)
{
    std::vector<int16_t> levels(32 * 32, 3), coeff(32 * 32, 0x4444), full(32 * 32);
    dequant_low_c(levels.data(), coeff.data(), 30, 5, 8);
    dequant_c(levels.data(), full.data(), 30, 5);
    for (int y = 0; y < 32; y++)
        for (int x = 0; x < 32; x++) {
            if (y < 8 && x < 8) {
                ASSERT_EQ(coeff[y * 32 + x], full[y * 32 + x]);
            } else {
                ASSERT_EQ(coeff[y * 32 + x], 0x4444);
            }
        }
}

TEST(QuantSigMap, FlagsMagnitudesAboveTheThreshold)
{
    const int16_t coeff[8] = {0, 5, -5, 6, -6, 32767, -32768, 4};
    uint8_t flags[8];
    EXPECT_EQ(quant_sig_map_c(flags, coeff, 8, 5), 1);
    const uint8_t want[8] = {0, 0, 0, 1, 1, 1, 1, 0};
    for (int i = 0; i < 8; i++) EXPECT_EQ(flags[i], want[i]) << i;
    EXPECT_EQ(quant_sig_map_c(flags, coeff, 3, 5), 0);
    EXPECT_EQ(quant_sig_map_c(flags, coeff, 0, 0), 0);
    EXPECT_EQ(quant_sig_map_c(flags, coeff, -4, 0), 0);
}

// Every flag set fills every slot: the portable kernels, and the AVX2 forms of
// quantisation, dequantisation and the rate-distortion quantisers exactly where the flags
// ask for the AVX2 set and the processor has every instruction set it uses.
TEST(QuantTable, HoldsThePortableOrTheAllowedAvx2KernelAtEveryFlagSet)
{
    for (uint32_t flags = 0; flags < 8; flags++) {
        quant_table t;
        memset(&t, 0x5a, sizeof(t));
        quant_table_init(flags, &t);
        const bool avx2 = cpu_use_avx2_set(flags);
        EXPECT_EQ(t.quant, avx2 ? quant_avx2 : quant_c);
        EXPECT_EQ(t.quant_low, avx2 ? quant_low_avx2 : quant_low_c);
        EXPECT_EQ(t.dequant, avx2 ? dequant_avx2 : dequant_c);
        EXPECT_EQ(t.dequant_low, avx2 ? dequant_low_avx2 : dequant_low_c);
        EXPECT_EQ(t.quant_sig_map, quant_sig_map_c);
        EXPECT_EQ(t.rdoq, avx2 ? rdoq_avx2 : rdoq_c);
        EXPECT_EQ(t.rdoq_level_errors, avx2 ? rdoq_level_errors_avx2 : rdoq_level_errors_c);
        EXPECT_EQ(t.rdoq_alt, avx2 ? rdoq_alt_avx2 : rdoq_alt_c);
    }
}

}  // namespace
