#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>
#include "bitstream/cabac.h"
#include "encoder/memory.h"
#include "std_cabac_decoder.h"

namespace {


TEST(CabacInit, EveryContextEqualsTheStandardFormulaForAllSliceTypesAndQps)
{
    cabac_encoder enc;
    for (int compat : {91, 100, 120}) {
        for (int slice_type = 0; slice_type <= 2; slice_type++) {
            int table = slice_type == 1 ? 4 : (compat < 100 ? (slice_type == 2 ? 0 : 1) : (slice_type == 2 ? 2 : 3));
            for (int qp = 0; qp <= 51; qp++) {
                cabac_init_contexts(&enc, slice_type, qp, compat);
                for (int slot = 0; slot < cabac_num_ctx; slot++) {
                    std_context c = std_init(cabac_init_values[table][slot], qp);
                    ASSERT_EQ(enc.rate.ctx[slot], context_byte_of(c))
                        << "compat " << compat << " type " << slice_type << " qp " << qp << " slot " << slot;
                }
            }
        }
    }
}

TEST(CabacInit, TablesHoldTheStandardInitValuesPerSliceType)
{
    const uint8_t *i_tab = cabac_init_values[2];
    const uint8_t *b_tab = cabac_init_values[3];
    const uint8_t *p_tab = cabac_init_values[4];
    // split_cu_flag, sig_coeff_flag 0 and 41, greater1 23, sao_type_idx
    EXPECT_EQ(i_tab[ctx_split_cu_flag + 2], 157);
    EXPECT_EQ(p_tab[ctx_split_cu_flag], 107);
    EXPECT_EQ(i_tab[ctx_sig_coeff_flag], 111);
    EXPECT_EQ(b_tab[ctx_sig_coeff_flag], 170);
    EXPECT_EQ(p_tab[ctx_sig_coeff_flag + 41], 140);
    EXPECT_EQ(i_tab[ctx_greater1_flag + 23], 197);
    EXPECT_EQ(i_tab[ctx_sao_type_idx], 200);
    EXPECT_EQ(p_tab[ctx_sao_type_idx], 185);
    EXPECT_EQ(b_tab[ctx_sao_type_idx], 160);
    EXPECT_EQ(p_tab[ctx_last_y_prefix + 17], 108);
    EXPECT_EQ(b_tab[ctx_inter_pred_idc + 3], 31);
    EXPECT_EQ(i_tab[ctx_cu_skip_flag], 154);   // not coded in I slices
    for (int t = 0; t < 5; t++) {
        EXPECT_EQ(cabac_init_values[t][16], 139);
        EXPECT_EQ(cabac_init_values[t][183], 139);
        EXPECT_EQ(cabac_init_values[t][184], 139);
        EXPECT_EQ(cabac_init_values[t][ctx_last_x_prefix + 18], 154);
    }
    // 9.1 exchanges the I and B values of split_transform_flag and sao_type_idx
    const uint8_t i91[] = {224, 167, 122, 160};
    const uint8_t b91[] = {153, 138, 138, 200};
    const int slots[] = {26, 27, 28, 182};
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(cabac_init_values[0][slots[k]], i91[k]);
        EXPECT_EQ(cabac_init_values[1][slots[k]], b91[k]);
    }
    for (int s = 0; s < cabac_num_ctx; s++) {
        if (s >= 26 && s <= 28)
            continue;
        if (s == 182)
            continue;
        EXPECT_EQ(cabac_init_values[0][s], i_tab[s]) << s;
        EXPECT_EQ(cabac_init_values[1][s], b_tab[s]) << s;
    }
}

TEST(CabacInit, EquiprobableAndNearValuesGiveTheDocumentedBytes)
{
    for (int qp = 0; qp <= 51; qp++)
        EXPECT_EQ(cabac_context_from_init(154, qp), 127);
    EXPECT_EQ(cabac_context_from_init(139, 26), 126);
    EXPECT_EQ(cabac_context_from_init(139, 32), 124);
}

TEST(CabacTables, StateTransitionsAndCostsFollowTheStandardModel)
{
    // equiprobable state with MPS 0: LPS flips the MPS, MPS moves one state on
    EXPECT_EQ(cabac_next_state_table[126 * 2 + 1], 127);
    EXPECT_EQ(cabac_next_state_table[126 * 2 + 0], 124);
    for (int b = 0; b < 128; b++) {
        std_context c = {63 - (b >> 1), b & 1};
        for (int bin = 0; bin <= 1; bin++) {
            std_context n = c;
            if (bin == c.val_mps) {
                n.p_state = c.p_state < 62 ? c.p_state + 1 : c.p_state;
            } else {
                if (c.p_state == 0)
                    n.val_mps = 1 - c.val_mps;
                n.p_state = std_trans_idx_lps[c.p_state];
            }
            if (c.p_state == 63)
                continue;   // never reached by initialisation or transitions
            EXPECT_EQ(cabac_next_state_table[b * 2 + bin], context_byte_of(n)) << b << " " << bin;
        }
        for (int q = 0; q < 4; q++)
            EXPECT_EQ(cabac_lps_table[b >> 1][q], std_range_tab_lps[63 - (b >> 1)][q]);
    }
    double alpha = std::pow(0.01875 / 0.5, 1.0 / 63);
    for (int i = 0; i < 64; i++) {
        double p_lps = 0.5 * std::pow(alpha, 63 - i);
        int mps = (int)std::lround(-256 * std::log2(1 - p_lps));
        int lps = (int)std::lround(-256 * std::log2(p_lps));
        EXPECT_EQ(cabac_bits_table[2 * i], mps) << i;
        EXPECT_EQ(cabac_bits_table[2 * i + 1], i == 61 ? 295 : lps) << i;
    }
}

// One coded element of a random sequence.
struct op {
    int kind;   // 0 context bin, 1 bypass, 2 exp-golomb, 3 bypass bits, 4 terminate 0
    int slot;
    int k;
    uint32_t value;
};

std::vector<op> random_ops(std::mt19937 *rng, int count, int slice_type, int qp, int compat)
{
    cabac_encoder tmp;
    cabac_init_contexts(&tmp, slice_type, qp, compat);
    std::vector<op> ops;
    // each context has a bias of its own so that states travel far
    std::vector<double> bias(cabac_num_ctx);
    for (auto &b : bias)
        b = std::uniform_real_distribution<double>(0.0, 1.0)(*rng);
    for (int i = 0; i < count; i++) {
        op o = {};
        int r = (int)((*rng)() % 100);
        if (r < 70) {
            o.kind = 0;
            o.slot = (int)((*rng)() % cabac_num_ctx);
            o.value = std::uniform_real_distribution<double>(0.0, 1.0)(*rng) < bias[o.slot];
        } else if (r < 85) {
            o.kind = 1;
            o.value = (*rng)() & 1;
        } else if (r < 92) {
            o.kind = 2;
            o.k = (int)((*rng)() % 4);
            o.value = (*rng)() % (r & 1 ? 20u : 5000u);
        } else if (r < 97) {
            o.kind = 3;
            o.k = 1 + (int)((*rng)() % 8);
            o.value = (*rng)() & ((1u << o.k) - 1u);
        } else {
            o.kind = 4;
        }
        ops.push_back(o);
    }
    return ops;
}

void encode_ops(cabac_encoder *enc, const std::vector<op> &ops)
{
    for (const op &o : ops) {
        switch (o.kind) {
        case 0: cabac_encode_bin(enc, o.slot, (int)o.value); break;
        case 1: cabac_encode_bypass(enc, (int)o.value); break;
        case 2: cabac_encode_bypass_expgolomb(enc, o.k, o.value); break;
        case 3: cabac_encode_bypass_bits(enc, o.k, o.value); break;
        default: cabac_encode_terminate0(enc); break;
        }
    }
}

uint32_t decode_expgolomb(std_decoder *d, int k)
{
    uint32_t value = 0;
    while (d->bypass()) {
        value += 1u << k;
        k++;
    }
    uint32_t suffix = 0;
    for (int i = 0; i < k; i++)
        suffix = (suffix << 1) | (uint32_t)d->bypass();
    return value + suffix;
}

// Decodes the ops back; returns the index of the first mismatch or -1.
int decode_ops(std_decoder *d, std::vector<std_context> *ctx, const std::vector<op> &ops)
{
    for (size_t i = 0; i < ops.size(); i++) {
        const op &o = ops[i];
        uint32_t got;
        switch (o.kind) {
        case 0: got = (uint32_t)d->decision(&(*ctx)[o.slot]); break;
        case 1: got = (uint32_t)d->bypass(); break;
        case 2: got = decode_expgolomb(d, o.k); break;
        case 3:
            got = 0;
            for (int b = 0; b < o.k; b++)
                got = (got << 1) | (uint32_t)d->bypass();
            break;
        default: got = (uint32_t)d->terminate(); break;
        }
        uint32_t expect = o.kind == 4 ? 0 : o.value;
        if (got != expect)
            return (int)i;
    }
    return -1;
}

std::vector<std_context> std_contexts(int slice_type, int qp, int compat)
{
    int table = slice_type == 1 ? 4 : (compat < 100 ? (slice_type == 2 ? 0 : 1) : (slice_type == 2 ? 2 : 3));
    std::vector<std_context> ctx;
    for (int s = 0; s < cabac_num_ctx; s++)
        ctx.push_back(std_init(cabac_init_values[table][s], qp));
    return ctx;
}

// After the terminating bin 1 the last bit the decoder read is the stop bit
// and only zero bits follow up to the end of the substream.
void expect_stop_bit_then_alignment(const std_decoder &d)
{
    ASSERT_FALSE(d.overrun);
    size_t last = d.pos - 1;
    EXPECT_EQ((d.data[last / 8] >> (7 - last % 8)) & 1, 1);
    EXPECT_EQ((d.pos + 7) / 8, d.size);
    for (size_t p = d.pos; p < d.size * 8; p++)
        EXPECT_EQ((d.data[p / 8] >> (7 - p % 8)) & 1, 0);
}

TEST(CabacCoder, LongRandomSlicesDecodeBackExactly)
{
    std::mt19937 rng(1234);
    std::vector<uint8_t> buf(1 << 20);
    for (int round = 0; round < 24; round++) {
        int slice_type = round % 3;
        int qp = (int)(rng() % 52);
        int compat = round % 2 ? 120 : 91;
        std::vector<op> ops = random_ops(&rng, 40000, slice_type, qp, compat);
        cabac_encoder enc;
        cabac_init_contexts(&enc, slice_type, qp, compat);
        cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
        encode_ops(&enc, ops);
        cabac_flush(&enc);
        ASSERT_EQ(enc.overflow, 0);
        size_t size = (size_t)(enc.buf_cur - enc.buf_start);
        std_decoder d;
        d.init(buf.data(), size);
        std::vector<std_context> ctx = std_contexts(slice_type, qp, compat);
        ASSERT_EQ(decode_ops(&d, &ctx, ops), -1) << "round " << round;
        EXPECT_EQ(d.terminate(), 1);   // end_of_slice_segment_flag
        expect_stop_bit_then_alignment(d);
        for (int s = 0; s < cabac_num_ctx; s++)
            ASSERT_EQ(enc.rate.ctx[s], context_byte_of(ctx[s])) << s;
    }
}

TEST(CabacCoder, SkewedContextsProduceCarriesAndStillDecode)
{
    // Long runs of one bin value in a strongly skewed context keep low near the
    // top of the interval, which produces 0xFF runs and carries.
    std::mt19937 rng(99);
    std::vector<uint8_t> buf(1 << 18);
    std::vector<op> ops;
    for (int i = 0; i < 60000; i++) {
        op o = {};
        o.kind = 0;
        o.slot = i % 3;
        o.value = (rng() % 1000) < 3 ? 0u : 1u;
        if (i % 97 == 0) {
            o.kind = 1;
            o.value = 1;
        }
        ops.push_back(o);
    }
    cabac_encoder enc;
    cabac_init_contexts(&enc, 2, 30, 120);
    cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    encode_ops(&enc, ops);
    cabac_flush(&enc);
    size_t size = (size_t)(enc.buf_cur - enc.buf_start);
    std_decoder d;
    d.init(buf.data(), size);
    std::vector<std_context> ctx = std_contexts(2, 30, 120);
    ASSERT_EQ(decode_ops(&d, &ctx, ops), -1);
    EXPECT_EQ(d.terminate(), 1);
    expect_stop_bit_then_alignment(d);
}

// Rows of a picture coded as wavefront substreams: each ends with the
// substream termination of its compatibility version, the last with the slice end.
void check_substreams(int compat)
{
    std::mt19937 rng(7 + compat);
    std::vector<uint8_t> buf(1 << 20);
    const int rows = 6;
    std::vector<std::vector<op>> row_ops;
    std::vector<size_t> starts, sizes;
    cabac_encoder enc;
    uint8_t *cur = buf.data();
    for (int r = 0; r < rows; r++) {
        row_ops.push_back(random_ops(&rng, 3000 + (int)(rng() % 3000), 0, 37, compat));
        cabac_init_contexts(&enc, 0, 37, compat);
        cabac_encoder_init(&enc, cur, buf.data() + buf.size());
        encode_ops(&enc, row_ops[r]);
        if (r < rows - 1)
            cabac_encode_terminate_flush(&enc, compat);
        else
            cabac_flush(&enc);
        starts.push_back((size_t)(cur - buf.data()));
        sizes.push_back((size_t)(enc.buf_cur - cur));
        cur = enc.buf_cur;
    }
    for (int r = 0; r < rows; r++) {
        std_decoder d;
        d.init(buf.data() + starts[r], sizes[r]);
        std::vector<std_context> ctx = std_contexts(0, 37, compat);
        ASSERT_EQ(decode_ops(&d, &ctx, row_ops[r]), -1) << "compat " << compat << " row " << r;
        ASSERT_FALSE(d.overrun);
        if (compat >= 120 || r == rows - 1) {
            if (r < rows - 1) {
                EXPECT_EQ(d.terminate(), 0);   // end_of_slice_segment_flag
            }
            EXPECT_EQ(d.terminate(), 1);       // end_of_subset_one_bit / end of slice
            expect_stop_bit_then_alignment(d);
        }
    }
}

TEST(CabacCoder, WavefrontSubstreamsDecodeIndependentlyInEveryLayout)
{
    check_substreams(120);
    check_substreams(100);
    check_substreams(91);
}

TEST(CabacCoder, ExpGolombBypassStringsHaveTheStandardBins)
{
    std::vector<uint8_t> buf(64);
    const struct { int k; uint32_t value; std::vector<int> bins; } cases[] = {
        {1, 0, {0, 0}},
        {1, 2, {1, 0, 0, 0}},
        {0, 0, {0}},
        {0, 5, {1, 1, 0, 1, 0}},
    };
    for (const auto &c : cases) {
        cabac_encoder enc;
        cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
        cabac_encode_bypass_expgolomb(&enc, c.k, c.value);
        cabac_flush(&enc);
        std_decoder d;
        d.init(buf.data(), (size_t)(enc.buf_cur - buf.data()));
        for (int b : c.bins)
            EXPECT_EQ(d.bypass(), b);
        EXPECT_EQ(d.terminate(), 1);
    }
}

TEST(CabacCoder, FirstByteAppearsOnlyAfterNineBits)
{
    std::vector<uint8_t> buf(16);
    cabac_encoder enc;
    cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    for (int i = 0; i < 8; i++)
        cabac_encode_bypass(&enc, 0);
    EXPECT_EQ(enc.buf_cur, buf.data());
    EXPECT_EQ(cabac_bits_written(&enc), -1);
    cabac_encode_bypass(&enc, 0);
    EXPECT_EQ(cabac_bits_written(&enc), 0);
    EXPECT_EQ(enc.buf_cur, buf.data() + 1);
}

TEST(CabacCoder, CarryTurnsHeldBackFfBytesIntoZeros)
{
    uint8_t buf[8] = {0x12, 0, 0, 0, 0, 0, 0, 0};
    cabac_encoder enc;
    cabac_encoder_init(&enc, buf, buf + sizeof(buf));
    enc.buf_cur = buf + 1;
    enc.outstanding_ff = 2;
    enc.bits_left = 0;
    enc.low = 0x105u << 10;   // lead 0x105: carry and byte 0x05
    cabac_put_byte(&enc);
    EXPECT_EQ(enc.buf_cur, buf + 4);
    EXPECT_EQ(buf[0], 0x13);
    EXPECT_EQ(buf[1], 0x00);
    EXPECT_EQ(buf[2], 0x00);
    EXPECT_EQ(buf[3], 0x05);
    EXPECT_EQ(enc.outstanding_ff, 0);
}

TEST(CabacCoder, FullBufferFailsWithoutWritingPastItsEnd)
{
    std::vector<uint8_t> big(4096);
    std::vector<uint8_t> small(64 + 16, 0xEE);
    std::mt19937 rng(5);
    std::vector<op> ops = random_ops(&rng, 3000, 2, 30, 120);
    cabac_encoder a, b;
    cabac_init_contexts(&a, 2, 30, 120);
    cabac_init_contexts(&b, 2, 30, 120);
    cabac_encoder_init(&a, big.data(), big.data() + big.size());
    cabac_encoder_init(&b, small.data(), small.data() + 64);
    for (const op &o : ops) {
        encode_ops(&a, {o});
        encode_ops(&b, {o});
        ASSERT_EQ(cabac_bits_written(&a), cabac_bits_written(&b));
    }
    cabac_flush(&a);
    cabac_flush(&b);
    EXPECT_EQ(a.overflow, 0);
    EXPECT_EQ(b.overflow, 1);
    EXPECT_LE(b.buf_cur, small.data() + 64);
    for (size_t i = 64; i < small.size(); i++)
        EXPECT_EQ(small[i], 0xEE);
    EXPECT_EQ(memcmp(big.data(), small.data(), (size_t)(b.buf_cur - small.data())), 0);
}

TEST(CabacCoder, EnsureRoomGrowsTheBufferAndCodingContinues)
{
    int32_t capacity = 32;
    uint8_t *buffer = (uint8_t *)aligned_malloc(capacity);
    ASSERT_NE(buffer, nullptr);
    std::mt19937 rng(11);
    std::vector<op> ops = random_ops(&rng, 20000, 1, 22, 120);
    cabac_encoder enc;
    cabac_init_contexts(&enc, 1, 22, 120);
    cabac_encoder_init(&enc, buffer, buffer + capacity);
    for (size_t i = 0; i < ops.size(); i += 100) {
        ASSERT_EQ(cabac_ensure_room(&enc, 200, &buffer, &capacity), 0);
        EXPECT_GE(enc.buf_end - enc.buf_cur, 200);
        std::vector<op> part(ops.begin() + (long)i, ops.begin() + (long)std::min(ops.size(), i + 100));
        encode_ops(&enc, part);
    }
    ASSERT_EQ(cabac_ensure_room(&enc, 16, &buffer, &capacity), 0);
    cabac_flush(&enc);
    EXPECT_EQ(enc.overflow, 0);
    EXPECT_EQ(enc.buf_start, buffer);
    EXPECT_GT(capacity, 32);
    std_decoder d;
    d.init(buffer, (size_t)(enc.buf_cur - buffer));
    std::vector<std_context> ctx = std_contexts(1, 22, 120);
    EXPECT_EQ(decode_ops(&d, &ctx, ops), -1);
    EXPECT_EQ(d.terminate(), 1);
    aligned_free(buffer);
}

TEST(CabacCoder, ImpossibleGrowthKeepsTheOldBuffer)
{
    int32_t capacity = 32;
    uint8_t *buffer = (uint8_t *)aligned_malloc(capacity);
    cabac_encoder enc;
    cabac_encoder_init(&enc, buffer, buffer + capacity);
    cabac_encoder before = enc;
    EXPECT_EQ(cabac_ensure_room(&enc, 0x7FFFFFF0, &buffer, &capacity), -1);
    EXPECT_EQ(capacity, 32);
    EXPECT_EQ(enc.buf_start, before.buf_start);
    EXPECT_EQ(enc.buf_end, before.buf_end);
    aligned_free(buffer);
}

}  // namespace
