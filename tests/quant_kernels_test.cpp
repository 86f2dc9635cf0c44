// Quantisation kernel checks. The harness walks the quant table at every
// instruction-set level the processor has and compares every slot holding a
// vector kernel with the portable kernel of that slot: quantisation and
// dequantisation of whole blocks and of corners, the per-coefficient level errors of every
// rectangle shape, and the rate-distortion quantiser with random context
// states, sign hiding on and off, every plane, scan and qp, on coefficient
// blocks that fall off like transforms, that reach the ends of the 16-bit
// range, and that hold a few isolated values. Outputs sit in buffers filled
// with a pattern, so a kernel writing outside what it owns fails too; a slot
// without a comparison fails. The timing test prints the time per call of
// every slot on a 16x16 block (kernel_check.h).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

const int16_t fill_pattern = 0x5a5a;

// Coefficients of an N x N block (n = log2 N) in one of five shapes.
void fill_coeffs(std::vector<int16_t> &c, int n, int kind, std::mt19937 &rng)
{
    const int size = 1 << n;
    for (int y = 0; y < size; y++)
        for (int x = 0; x < size; x++) {
            int16_t &v = c[y * size + x];
            switch (kind) {
            case 0: v = (int16_t)(((int)(rng() % 4001) - 2000) / (1 + x + y)); break;   // transform-like
            case 1: v = (int16_t)((int)(rng() % 65536) - 32768); break;                  // full range
            case 2: v = rng() & 1 ? -32768 : 32767; break;                               // the ends
            case 3: v = rng() % 9 == 0 ? (int16_t)((int)(rng() % 201) - 100) : 0; break;  // sparse
            default: v = (int16_t)((int)(rng() % 41) - 20); break;                        // near the threshold
            }
        }
}

// Both quantisers at every size, scan, qp and sign-hiding setting; quant_low
// with corners of 4 and 8. Scales and offsets (up to two steps) stay where
// |c| * scale + offset fits 31 bits.
void compare_quant(const quant_table &simd, const quant_table &ref, bool low, std::mt19937 &rng)
{
    scan_tables scans{};
    ASSERT_EQ(scan_tables_init(&scans), 0);
    for (int n = 2; n <= 5; n++)
        for (int trial = 0; trial < 60; trial++) {
            const int count = 1 << (2 * n), qp = (int)(rng() % 52), scan = n <= 3 ? (int)(rng() % 3) : 0;
            const int scale = rng() % 4 ? quant_scales[qp % 6] : 1 + (int)(rng() % 32767);
            const int usual = rng() & 1 ? QUANT_ROUND_INTRA : QUANT_ROUND_INTER;
            const uint16_t round = (uint16_t)(rng() % 3 == 0 ? (int)(rng() % 1024) : usual);
            const int k = 4 << (rng() % 2);
            if (low && k >= 1 << n) continue;
            quant_context ctx{&scans, (int32_t)(rng() & 1), nullptr, nullptr};
            std::vector<int16_t> coeff(count), a(count, fill_pattern), b(count, fill_pattern);
            fill_coeffs(coeff, n, trial % 5, rng);
            const int ra = low ? simd.quant_low(&ctx, a.data(), coeff.data(), qp, round, n, scale, scan, k)
                               : simd.quant(&ctx, a.data(), coeff.data(), qp, round, n, scale, scan);
            const int rb = low ? ref.quant_low(&ctx, b.data(), coeff.data(), qp, round, n, scale, scan, k)
                               : ref.quant(&ctx, b.data(), coeff.data(), qp, round, n, scale, scan);
            ASSERT_TRUE(ra == rb && a == b) << (low ? "quant_low" : "quant") << " n " << n << " qp " << qp
                                            << " scale " << scale << " round " << round << " hiding "
                                            << ctx.sign_hiding << " k " << k << " trial " << trial;
        }
    scan_tables_free(&scans);
}

void compare_dequant(dequant_fn simd, dequant_fn ref, std::mt19937 &rng)
{
    for (int n = 2; n <= 5; n++)
        for (int trial = 0; trial < 40; trial++) {
            const int count = 1 << (2 * n), qp = (int)(rng() % 52);
            std::vector<int16_t> levels(count), a(count, fill_pattern), b(count, fill_pattern);
            fill_coeffs(levels, n, trial % 5, rng);
            simd(levels.data(), a.data(), qp, n);
            ref(levels.data(), b.data(), qp, n);
            ASSERT_EQ(a, b) << "n " << n << " qp " << qp << " trial " << trial;
        }
}

void compare_dequant_low(dequant_low_fn simd, dequant_low_fn ref, std::mt19937 &rng)
{
    for (int n = 3; n <= 5; n++)
        for (int k = 4; k <= 8 && k < 1 << n; k += 4)
            for (int trial = 0; trial < 30; trial++) {
                const int count = 1 << (2 * n), qp = (int)(rng() % 52);
                std::vector<int16_t> levels(count), a(count, fill_pattern), b(count, fill_pattern);
                fill_coeffs(levels, n, trial % 5, rng);
                simd(levels.data(), a.data(), qp, n, k);
                ref(levels.data(), b.data(), qp, n, k);
                ASSERT_EQ(a, b) << "n " << n << " k " << k << " qp " << qp << " trial " << trial;
            }
}

// The quantisation scale of the qp, or now and then any scale below 2^16.
int random_scale(int qp, std::mt19937 &rng)
{
    return rng() % 4 ? quant_scales[qp % 6] : 1 + (int)(rng() % 65535);
}

void compare_level_errors(rdoq_level_errors_fn simd, rdoq_level_errors_fn ref, std::mt19937 &rng)
{
    for (int n = 2; n <= 5; n++) {
        const int size = 1 << n, count = size * size;
        for (int trial = 0; trial < 60; trial++) {
            const int width = 4 * (1 + (int)(rng() % (size / 4))), height = 4 * (1 + (int)(rng() % (size / 4)));
            const int qp = (int)(rng() % 52), scale = random_scale(qp, rng);
            std::vector<int16_t> coeff(count);
            fill_coeffs(coeff, n, trial % 5, rng);
            std::vector<uint16_t> la(count, 0xa5a5), lb(count, 0xa5a5);
            std::vector<uint32_t> sa(count, 0xa5a5a5a5), sb(count, 0xa5a5a5a5);
            std::vector<uint32_t> ea(2 * count, 0xa5a5a5a5), eb(2 * count, 0xa5a5a5a5);
            simd(coeff.data(), la.data(), sa.data(), ea.data(), n, width, height, qp, scale);
            ref(coeff.data(), lb.data(), sb.data(), eb.data(), n, width, height, qp, scale);
            ASSERT_TRUE(la == lb && sa == sb && ea == eb)
                << "n " << n << " " << width << "x" << height << " qp " << qp << " scale " << scale << " trial "
                << trial;
        }
    }
}

// A coder with every context in a random state and random rdoq model bytes.
void random_coder(cabac_encoder *cabac, std::mt19937 &rng)
{
    std::memset(cabac, 0, sizeof *cabac);
    for (uint8_t &s : cabac->rate.ctx) s = (uint8_t)(rng() % 126);
    for (int p = 0; p < 2; p++) {
        cabac->rate.rdoq_sig_state[p] = (uint8_t)(rng() % 126);
        cabac->rate.rdoq_gt1_state[p] = (uint8_t)(rng() % 126);
    }
}

void compare_rdoq(rdoq_fn simd, rdoq_fn ref, std::mt19937 &rng)
{
    scan_tables scans{};
    ASSERT_EQ(scan_tables_init(&scans), 0);
    uint16_t weights[CHROMA_WEIGHT_QPS];
    for (int n = 2; n <= 5; n++) {
        const int count = 1 << (2 * n);
        for (int trial = 0; trial < 150; trial++) {
            const int qp = (int)(rng() % 52), plane = (int)(rng() % 3), scan = n <= 3 ? (int)(rng() % 3) : 0;
            const int hiding = (int)(rng() & 1), kind = trial % 5;
            const uint16_t round = rng() & 1 ? QUANT_ROUND_INTRA : QUANT_ROUND_INTER;
            // The SSE lambda of the qp, scaled by 0.5 to 2.5.
            const double spread = 0.5 + rng() % 100 / 50.0;
            const uint32_t lambda = (uint32_t)(256.0 * 0.57 * std::pow(2.0, (qp - 12) / 3.0) * spread);
            for (uint16_t &w : weights) w = (uint16_t)(128 + rng() % 384);
            std::vector<int16_t> coeff(count), la(count, fill_pattern), lb(count, fill_pattern);
            fill_coeffs(coeff, n, kind, rng);
            cabac_encoder ca, cb;
            random_coder(&ca, rng);
            cb = ca;
            quant_context qa{&scans, hiding, &ca, weights}, qb{&scans, hiding, &cb, weights};
            const int ra = simd(&qa, lambda, la.data(), coeff.data(), qp, round, n, quant_scales[qp % 6], plane, scan);
            const int rb = ref(&qb, lambda, lb.data(), coeff.data(), qp, round, n, quant_scales[qp % 6], plane, scan);
            ASSERT_TRUE(ra == rb && la == lb && std::memcmp(&ca.rate, &cb.rate, sizeof ca.rate) == 0)
                << "n " << n << " qp " << qp << " plane " << plane << " scan " << scan << " hiding " << hiding
                << " kind " << kind << " trial " << trial << " result " << ra << " / " << rb;
        }
    }
    scan_tables_free(&scans);
}

bool compare_slot(int slot, const quant_table &portable, const quant_table &simd, std::mt19937 &rng)
{
    switch (slot) {
    case 0: compare_quant(simd, portable, false, rng); return true;
    case 1: compare_quant(simd, portable, true, rng); return true;
    case 2: compare_dequant(simd.dequant, portable.dequant, rng); return true;
    case 3: compare_dequant_low(simd.dequant_low, portable.dequant_low, rng); return true;
    case 5: compare_rdoq(simd.rdoq, portable.rdoq, rng); return true;
    case 6: compare_level_errors(simd.rdoq_level_errors, portable.rdoq_level_errors, rng); return true;
    case 7: compare_rdoq(simd.rdoq_alt, portable.rdoq_alt, rng); return true;
    default: return false;
    }
}

TEST(QuantKernels, EveryVectorKernelEqualsThePortableOne)
{
    expect_level_counts(walk_kernel_levels(quant_table_init, compare_slot, slot_name, 1), 0, 7);
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
        {"quant 16x16 no sign hiding", 0,
         [&](const quant_table &t) {
             quant_context plain = b.ctx;
             plain.sign_hiding = 0;
             kernel_sink += t.quant(&plain, b.levels.data(), b.coeff.data(), qp, round, n, b.scale(), 0);
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
