// Residual coding, last position, remaining-level binarisation and QP delta
// of the syntax writer, read back with the standard's parsing process.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "bitstream/syntax_writer.h"
#include "encoder/cpu.h"
#include "support/random_ctu.h"
#include "syntax_reader.h"

namespace {

struct residual_fixture : ::testing::Test {
    scan_tables scans{};
    metric_table metrics{};
    std::vector<uint8_t> buf = std::vector<uint8_t>(1 << 20);
    cabac_encoder enc{};

    void SetUp() override
    {
        ASSERT_EQ(scan_tables_init(&scans), 0);
        metric_table_init(cpu_detect(), &metrics, 5);
    }
    void TearDown() override { scan_tables_free(&scans); }

    void begin(int slice_type = 2, int qp = 32)
    {
        cabac_init_contexts(&enc, slice_type, qp, 120);
        cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    }
    size_t finish()
    {
        cabac_flush(&enc);
        return (size_t)(enc.buf_cur - enc.buf_start);
    }
    void reader_for(syntax_reader *r, size_t size, int slice_type = 2, int qp = 32, int sdh = 0)
    {
        rd_params p;
        p.slice_type = slice_type;
        p.slice_qp = qp;
        p.sign_hiding = sdh;
        r->start(p, buf.data(), size);
    }
};

using ResidualFixture = residual_fixture;

TEST_F(ResidualFixture, RandomBlocksOfEverySizeScanAndPlaneReadBackExactly)
{
    std::mt19937 rng(1234);
    for (int sdh = 0; sdh < 2; sdh++)
        for (int log2 = 2; log2 <= 5; log2++)
            for (int scan = 0; scan < 3; scan++)
                for (int chroma = 0; chroma < 2; chroma++) {
                    if (scan != 0 && log2 > 3)
                        continue;   // mode-dependent scans exist for 4x4 and 8x8 only
                    if (chroma && log2 == 5)
                        continue;
                    const int n = 1 << log2;
                    std::vector<std::vector<int16_t>> blocks;
                    begin();
                    for (int t = 0; t < 40; t++) {
                        std::vector<int16_t> blk(n * n);
                        random_level_block(&rng, blk.data(), log2);
                        if (sdh)
                            apply_sign_hiding(blk.data(), log2, scan_order(&scans, log2, scan));
                        cabac_write_residual_block(&enc, blk.data(), log2, scan, chroma, sdh, &scans, &metrics);
                        blocks.push_back(blk);
                    }
                    size_t size = finish();
                    syntax_reader r;
                    reader_for(&r, size, 2, 32, sdh);
                    for (size_t t = 0; t < blocks.size(); t++) {
                        int16_t got[1024] = {0};
                        r.decode_residual_block(log2, chroma, scan, got);
                        ASSERT_EQ(0, std::memcmp(got, blocks[t].data(), sizeof(int16_t) * n * n))
                            << "log2 " << log2 << " scan " << scan << " chroma " << chroma << " sdh " << sdh
                            << " block " << t;
                    }
                    EXPECT_EQ(r.d.terminate(), 1);
                    EXPECT_FALSE(r.d.overrun);
                }
}

TEST_F(ResidualFixture, SingleLevelAtEveryPositionReadsBack)
{
    for (int log2 = 2; log2 <= 5; log2++)
        for (int scan = 0; scan < (log2 <= 3 ? 3 : 1); scan++) {
            const int n = 1 << log2;
            begin();
            for (int p = 0; p < n * n; p++) {
                std::vector<int16_t> blk(n * n, 0);
                blk[p] = (int16_t)((p & 1) ? -(p % 7 + 1) : p % 5 + 1);
                cabac_write_residual_block(&enc, blk.data(), log2, scan, 0, 1, &scans, &metrics);
            }
            size_t size = finish();
            syntax_reader r;
            reader_for(&r, size, 2, 32, 1);
            for (int p = 0; p < n * n; p++) {
                int16_t got[1024] = {0};
                r.decode_residual_block(log2, 0, scan, got);
                int16_t want = (int16_t)((p & 1) ? -(p % 7 + 1) : p % 5 + 1);
                ASSERT_EQ(got[p], want) << log2 << " " << scan << " " << p;
            }
        }
}

// Reads bins with the standard decoder and the reader's own contexts.
struct bin_check {
    syntax_reader r;
    int bin(int slot) { return r.bin(slot); }
    int byp() { return r.byp(); }
};

TEST_F(ResidualFixture, DcOnlyBlockOfMinusFiveHasTheExpectedBins)
{
    begin();
    int16_t blk[16] = {-5};
    cabac_write_residual_block(&enc, blk, 2, 0, 0, 0, &scans, &metrics);
    size_t size = finish();
    bin_check b;
    reader_for(&b.r, size);
    EXPECT_EQ(b.bin(89), 0);    // last x prefix
    EXPECT_EQ(b.bin(119), 0);   // last y prefix
    EXPECT_EQ(b.bin(150), 1);   // greater1, ctxSet 0, greater1Ctx 1
    EXPECT_EQ(b.bin(173), 1);   // greater2
    EXPECT_EQ(b.byp(), 1);      // sign
    EXPECT_EQ(b.byp(), 1);      // remaining 2 with k 0: "110"
    EXPECT_EQ(b.byp(), 1);
    EXPECT_EQ(b.byp(), 0);
    EXPECT_EQ(b.r.d.terminate(), 1);
}

TEST_F(ResidualFixture, LastColumnOf32x32SendsFullPrefixWithoutTerminatingZero)
{
    begin();
    std::vector<int16_t> blk(1024, 0);
    blk[31] = 1;   // x 31, y 0
    cabac_write_residual_block(&enc, blk.data(), 5, 0, 0, 0, &scans, &metrics);
    size_t size = finish();
    bin_check b;
    reader_for(&b.r, size);
    const int offset = 3 * 3 + 1, shift = 1;
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(b.bin(89 + offset + (i >> shift)), 1) << i;
    EXPECT_EQ(b.bin(119 + offset), 0);   // y prefix: a single zero
    EXPECT_EQ(b.r.byp_bits(3), 7u);      // x suffix: 31 - 24
}

TEST_F(ResidualFixture, VerticalScanSwapsTheLastPositionCoordinates)
{
    // Level at column 0, row 5 of an 8x8 in vertical scan: the x syntax
    // element carries the row.
    begin();
    std::vector<int16_t> blk(64, 0);
    blk[5 * 8 + 0] = 1;
    cabac_write_residual_block(&enc, blk.data(), 3, 2, 0, 0, &scans, &metrics);
    size_t size = finish();
    bin_check b;
    reader_for(&b.r, size);
    const int offset = 3, shift = 1;
    int gx = 0;
    while (gx < 5 && b.bin(89 + offset + (gx >> shift)))
        gx++;
    EXPECT_EQ(gx, 4);   // 5 is in group 4 (4..5)
    EXPECT_EQ(b.bin(119 + offset), 0);
    EXPECT_EQ(b.r.byp_bits(1), 1u);
}

TEST_F(ResidualFixture, NineLevelsOfOneSendEightGreater1FlagsAndOneRemainingZero)
{
    begin();
    int16_t blk[16] = {0};
    const uint16_t *order = scan_order(&scans, 2, 0);
    for (int k = 0; k < 9; k++)
        blk[order[k]] = 1;
    cabac_write_residual_block(&enc, blk, 2, 0, 0, 0, &scans, &metrics);
    size_t size = finish();
    syntax_reader r;
    reader_for(&r, size);
    int16_t got[16] = {0};
    r.decode_residual_block(2, 0, 0, got);
    EXPECT_EQ(0, std::memcmp(got, blk, sizeof(blk)));
    // The same stream by hand: the ninth level's remaining value is one bypass zero.
    bin_check b;
    reader_for(&b.r, size);
    int lx = 0, ly = 0;
    while (lx < 3 && b.bin(89 + (lx >> 0)))
        lx++;
    while (ly < 3 && b.bin(119 + (ly >> 0)))
        ly++;
    // position 8 of the diagonal scan is (2, 1)
    EXPECT_EQ(lx, 2);
    EXPECT_EQ(ly, 1);
}

TEST_F(ResidualFixture, SignHidingOmitsOneSignWhenTheSpanReachesFour)
{
    // Levels at scan positions 1..6 (span 5): five signs are sent, and the
    // parity rule restores the sixth.
    const uint16_t *order = scan_order(&scans, 2, 0);
    int16_t blk[16] = {0};
    const int vals[6] = {-1, 2, -1, 1, -3, 1};
    for (int k = 0; k < 6; k++)
        blk[order[1 + k]] = (int16_t)vals[k];
    apply_sign_hiding(blk, 2, order);
    int64_t with_bits, without_bits;
    begin();
    cabac_write_residual_block(&enc, blk, 2, 0, 0, 1, &scans, &metrics);
    with_bits = cabac_bits_written(&enc);
    size_t size = finish();
    syntax_reader r;
    reader_for(&r, size, 2, 32, 1);
    int16_t got[16] = {0};
    r.decode_residual_block(2, 0, 0, got);
    EXPECT_EQ(0, std::memcmp(got, blk, sizeof(blk)));
    begin();
    cabac_write_residual_block(&enc, blk, 2, 0, 0, 0, &scans, &metrics);
    without_bits = cabac_bits_written(&enc);
    EXPECT_EQ(without_bits - with_bits, 1);   // one bypass sign fewer
}

TEST_F(ResidualFixture, RemainingLevelBinarisationReadsBackForEveryRiceParameter)
{
    begin();
    for (int k = 0; k <= 4; k++)
        for (uint32_t v = 0; v < 3000; v += 1 + v / 16)
            cabac_write_coeff_abs_level_remaining(&enc, k, v);
    cabac_write_coeff_abs_level_remaining(&enc, 0, 32768);
    size_t size = finish();
    syntax_reader r;
    reader_for(&r, size);
    for (int k = 0; k <= 4; k++)
        for (uint32_t v = 0; v < 3000; v += 1 + v / 16)
            ASSERT_EQ((uint32_t)r.read_remaining(k), v) << k;
    EXPECT_EQ(r.read_remaining(0), 32768);
}

TEST_F(ResidualFixture, LastPositionOfEveryCoordinatePairReadsBack)
{
    for (int chroma = 0; chroma < 2; chroma++)
        for (int log2 = 2; log2 <= 5 - chroma; log2++) {
            int n = 1 << log2;
            begin();
            for (int y = 0; y < n; y++)
                for (int x = 0; x < n; x++)
                    cabac_write_last_sig_coeff_pos(&enc, log2, x, y, chroma);
            size_t size = finish();
            syntax_reader r;
            reader_for(&r, size);
            for (int y = 0; y < n; y++)
                for (int x = 0; x < n; x++) {
                    int px = r.read_last_prefix(ctx_last_x_prefix, log2, chroma);
                    int py = r.read_last_prefix(ctx_last_y_prefix, log2, chroma);
                    int gx = r.last_from(px);
                    int gy = r.last_from(py);
                    ASSERT_EQ(gx, x);
                    ASSERT_EQ(gy, y);
                }
        }
}

TEST(SyntaxTables, SignificancePatternsFollowTheStandardDerivation)
{
    scan_tables scans{};
    ASSERT_EQ(scan_tables_init(&scans), 0);
    static const int ctx_idx_map[15] = {0, 1, 4, 5, 2, 3, 4, 5, 6, 6, 8, 8, 7, 7, 8};
    for (int scan = 0; scan < 3; scan++) {
        const uint16_t *order = scan_order(&scans, 2, scan);   // the 4x4 in-block scan
        for (int pattern = 0; pattern < 5; pattern++)
            for (int k = 0; k < 15; k++) {
                int x = order[k] & 3, y = order[k] >> 2;
                int want;
                switch (pattern) {
                case 0: want = x + y == 0 ? 2 : x + y < 3 ? 1 : 0; break;
                case 1: want = y == 0 ? 2 : y == 1 ? 1 : 0; break;
                case 2: want = x == 0 ? 2 : x == 1 ? 1 : 0; break;
                case 3: want = 2; break;
                default: want = ctx_idx_map[y * 4 + x]; break;
                }
                int got = (int)((sig_ctx_pattern_table[scan][pattern] >> (4 * (15 - k))) & 15);
                ASSERT_EQ(got, want) << scan << " " << pattern << " " << k;
            }
    }
    scan_tables_free(&scans);
    for (int c = 0; c < 32; c++) {
        int g = last_pos_group_table[c] & 15, len = last_pos_group_table[c] >> 4;
        int lo = g <= 3 ? g : (2 + (g & 1)) << ((g >> 1) - 1);
        EXPECT_GE(c, lo);
        EXPECT_LT(c - lo, g <= 3 ? 1 : 1 << len);
    }
}

// ---- cu_qp_delta ----

TEST(CuQpDelta, EveryDifferenceReadsBackWithTheDecoderWrap)
{
    std::vector<uint8_t> buf(1 << 16);
    cabac_encoder enc{};
    cabac_init_contexts(&enc, 2, 30, 120);
    cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    ctu_cu_maps maps;
    std::memset(&maps, 0xff, sizeof(maps));
    pps_params pps{};
    pps.cu_qp_delta_enabled = 1;
    pps.diff_cu_qp_delta_depth = 0;
    syntax_ctu_context ctx{};
    ctx.maps = &maps;
    ctx.pps = &pps;
    std::vector<std::pair<int, int>> cases;
    for (int prev = 0; prev <= 51; prev += 3)
        for (int qp = 0; qp <= 51; qp++)
            cases.push_back({prev, qp});
    for (auto &c : cases) {
        ctx.qp_prev = c.first;
        maps.cu_qp_map[zorder_to_map8[0]] = (int8_t)c.second;
        cabac_write_cu_qp_delta(&ctx, &enc, 0);
    }
    cabac_flush(&enc);
    syntax_reader r;
    rd_params p;
    p.slice_qp = 30;
    r.start(p, buf.data(), (size_t)(enc.buf_cur - enc.buf_start));
    for (auto &c : cases) {
        int a = 0;
        if (r.bin(ctx_cu_qp_delta_abs)) {
            a = 1;
            while (a < 5 && r.bin(ctx_cu_qp_delta_abs + 1))
                a++;
            if (a == 5)
                a += (int)r.eg_k(0);
        }
        int d = a && r.byp() ? -a : a;
        ASSERT_GE(d, -26);
        ASSERT_LE(d, 25);
        ASSERT_EQ((c.first + d + 52) % 52, c.second) << c.first << " " << c.second;
    }
}

TEST(CuQpDelta, MinusThirtyWrapsToTwentyTwo)
{
    std::vector<uint8_t> buf(256);
    cabac_encoder enc{};
    cabac_init_contexts(&enc, 2, 40, 120);
    cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    ctu_cu_maps maps;
    std::memset(&maps, 0xff, sizeof(maps));
    pps_params pps{};
    pps.cu_qp_delta_enabled = 1;
    syntax_ctu_context ctx{};
    ctx.maps = &maps;
    ctx.pps = &pps;
    ctx.qp_prev = 40;
    maps.cu_qp_map[zorder_to_map8[0]] = 10;
    cabac_write_cu_qp_delta(&ctx, &enc, 0);
    cabac_flush(&enc);
    syntax_reader r;
    rd_params p;
    p.slice_qp = 40;
    r.start(p, buf.data(), (size_t)(enc.buf_cur - enc.buf_start));
    EXPECT_EQ(r.bin(40), 1);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(r.bin(41), 1);
    EXPECT_EQ(r.eg_k(0), 17u);
    EXPECT_EQ(r.byp(), 0);
}

}  // namespace
