// Quantisation kernel checks. The quantisers have portable kernels only, so
// the walk over the instruction-set levels finds no vector kernel; one added
// to the table fails here until the harness compares it. The timing test
// prints the time per call of every slot on a 16x16 block (kernel_check.h).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "bitstream/cabac.h"
#include "encoder/lambda_tables.h"
#include "kernels/quant/quant.h"
#include "tests/support/kernel_check.h"

namespace {

const char *const slot_names[] = {"quant", "quant_low", "dequant", "dequant_low", "quant_sig_map",
                                  "rdoq", "rdoq_level_errors", "rdoq_alt"};
static_assert(sizeof(quant_table) == sizeof slot_names, "one name per slot");

std::string slot_name(int slot)
{
    return slot_names[slot];
}

// No slot has a comparison yet: there is no vector kernel to compare.
bool compare_slot(int, const quant_table &, const quant_table &, std::mt19937 &)
{
    return false;
}

TEST(QuantKernels, NoLevelHoldsAKernelWithoutAComparison)
{
    expect_level_counts(walk_kernel_levels(quant_table_init, compare_slot, slot_name, 1), 0, 0);
}

// A 16x16 block of transform-sized coefficients at QP 32, with the coder
// contexts and model bytes of a slice start for the rate-distortion forms.
struct timing_block {
    static constexpr int N_LOG2 = 4, N = 1 << N_LOG2, QP = 32;
    scan_tables scans{};
    cabac_encoder cabac{};
    uint16_t weights[CHROMA_WEIGHT_QPS];
    quant_context ctx{};
    std::vector<int16_t> coeff = std::vector<int16_t>(N * N), levels = std::vector<int16_t>(N * N);
    std::vector<uint16_t> ceil_levels = std::vector<uint16_t>(N * N);
    std::vector<uint32_t> squares = std::vector<uint32_t>(N * N), errors = std::vector<uint32_t>(2 * N * N);
    uint8_t flags[N * N];
    uint32_t lambda = (uint32_t)(256.0 * 0.57 * std::pow(2.0, (QP - 12) / 3.0));

    timing_block()
    {
        if (scan_tables_init(&scans) != 0) ADD_FAILURE() << "scan tables";
        cabac_init_contexts(&cabac, 2, QP, 120);
        rdoq_state_seed(&cabac);
        for (uint16_t &w : weights) w = 256;
        ctx = {&scans, 1, &cabac, weights};
        std::mt19937 rng(3);
        // Large low frequencies falling off towards the high ones.
        for (int y = 0; y < N; y++)
            for (int x = 0; x < N; x++) coeff[y * N + x] = (int16_t)((int)(rng() % 2001) - 1000) / (1 + x + y);
    }
    ~timing_block() { scan_tables_free(&scans); }
    int scale() const { return quant_scales[QP % 6]; }
};

TEST(QuantKernels, Timing)
{
    if (!kernel_timing_ms()) GTEST_SKIP() << KERNEL_TIMING_OFF;
    timing_block b;
    const int n = timing_block::N_LOG2, qp = timing_block::QP;
    const uint16_t round = QUANT_ROUND_INTRA;
    std::vector<timing_case<quant_table>> cases = {
        {"quant 16x16", 0,
         [&](const quant_table &t) {
             kernel_sink += t.quant(&b.ctx, b.levels.data(), b.coeff.data(), qp, round, n, b.scale(), 0);
         }},
        {"quant_low 16x16 (8x8 kept)", 1,
         [&](const quant_table &t) {
             kernel_sink += t.quant_low(&b.ctx, b.levels.data(), b.coeff.data(), qp, round, n, b.scale(), 0, 8);
         }},
        {"dequant 16x16", 2, [&](const quant_table &t) { t.dequant(b.levels.data(), b.coeff.data(), qp, n); }},
        {"dequant_low 16x16 (8x8 kept)", 3,
         [&](const quant_table &t) { t.dequant_low(b.levels.data(), b.coeff.data(), qp, n, 8); }},
        {"quant_sig_map 256", 4,
         [&](const quant_table &t) { kernel_sink += t.quant_sig_map(b.flags, b.coeff.data(), 256, 20); }},
        {"rdoq 16x16 luma", 5,
         [&](const quant_table &t) {
             kernel_sink += t.rdoq(&b.ctx, b.lambda, b.levels.data(), b.coeff.data(), qp, round, n, b.scale(), 0, 0);
         }},
        {"rdoq_level_errors 16x16", 6,
         [&](const quant_table &t) {
             t.rdoq_level_errors(b.coeff.data(), b.ceil_levels.data(), b.squares.data(), b.errors.data(),
                                 n, timing_block::N, timing_block::N, qp, b.scale());
         }},
        {"rdoq_alt 16x16 luma", 7,
         [&](const quant_table &t) {
             kernel_sink +=
                 t.rdoq_alt(&b.ctx, b.lambda, b.levels.data(), b.coeff.data(), qp, round, n, b.scale(), 0, 0);
         }},
    };
    time_kernel_cases("quant", quant_table_init, cases);
}

}  // namespace
