// The bit estimator against the standard: over random CTU syntax trees and
// single elements, the estimate must equal the table cost of exactly the
// bins the writer produced (recovered by decoding the writer's output with a
// standard-process parser that adds each decoded bin's table cost), and stay
// within the table's rounding of the coder's real bit count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "analysis/mode_decision.h"
#include "bitstream/cabac.h"
#include "bitstream/cabac_estimate.h"
#include "bitstream/syntax_writer.h"
#include "encoder/cpu.h"
#include "support/random_ctu.h"

// The parser's decoder, extended to add up the table cost of every bin it
// decodes: a context-coded bin costs cabac_bits_table[context byte ^ bin]
// with the context byte as it was before the bin, a bypass bin 256.
#define std_decoder std_decoder_base
#include "std_cabac_decoder.h"
#undef std_decoder
struct std_decoder : std_decoder_base {
    uint64_t cost = 0;
    uint64_t context_bins = 0;
    int decision(std_context *c)
    {
        const uint8_t before = context_byte_of(*c);
        const int bin = std_decoder_base::decision(c);
        cost += cabac_bits_table[before ^ bin];
        context_bins++;
        return bin;
    }
    int bypass()
    {
        cost += 256;
        return std_decoder_base::bypass();
    }
};
#include "syntax_reader.h"

namespace {

// Largest difference, in bits, between the real cost of one context-coded
// bin in the arithmetic coder (log2 of the range over the sub-range it keeps)
// and its table cost, over every state a context can reach (not the
// terminating state 63), bin and range.
double table_rounding_per_bin()
{
    double worst = 0;
    for (int s = 2; s < 128; s++) {
        const int state = s >> 1;
        for (int bin = 0; bin < 2; bin++) {
            const int mps = (s & 1) == bin;
            for (int range = 256; range < 511; range++) {
                int lps = cabac_lps_table[state][(range >> 6) - 4];
                double sub = mps ? range - lps : lps;
                double real = std::log2(range / sub);
                worst = std::max(worst, std::fabs(real - cabac_bits_table[s ^ bin] / 256.0));
            }
        }
    }
    return worst;
}

// A random picture configuration: sizes cut by the picture edge, random
// merge and reference counts, transform depths and SAO planes.
random_ctu_config random_config(std::mt19937 *rng, int slice_type, int sign_hiding)
{
    const int sizes[5] = {64, 40, 56, 120, 136};
    random_ctu_config c;
    c.width = sizes[(*rng)() % 5];
    c.height = sizes[(*rng)() % 5];
    c.slice_type = slice_type;
    c.sdh = sign_hiding;
    c.sao_flags = (int)((*rng)() % 4);
    c.max_merge = 1 + (int)((*rng)() % 5);
    c.num_ref[0] = 1 + (int)((*rng)() % 4);
    c.num_ref[1] = 1 + (int)((*rng)() % 4);
    c.tu_depth_intra = 1 + (int)((*rng)() % 3);
    c.tu_depth_inter = (int)((*rng)() % 4);
    return c;
}

struct estimate_fixture : ::testing::Test {
    scan_tables scans{};
    metric_table metrics{};
    std::vector<uint8_t> buf = std::vector<uint8_t>(1 << 20);

    void SetUp() override
    {
        ASSERT_EQ(scan_tables_init(&scans), 0);
        metric_table_init(cpu_detect(), &metrics, 5);
    }
    void TearDown() override { scan_tables_free(&scans); }

    // What mode decision adds up for a CTU: SAO, each split_cu_flag, each CU.
    void estimate_quadtree(syntax_ctu_context *in, cabac_encoder *rec, int z, int x, int y, int log2)
    {
        const int node = cu_node_index(log2, z);
        const int size = 1 << log2;
        const int room_x = in->pic_width - 64 * in->ctu_col;
        const int room_y = in->pic_height - 64 * in->ctu_row;
        int split;
        if (x + size <= room_x && y + size <= room_y && log2 > in->sps->log2_min_cb_size) {
            split = in->decision->cu_split[node] != 0;
            const int unit = zorder_to_map8[z >> 2];
            const int depth = 6 - log2;
            int ctx = (in->maps->cu_depth_map[unit - CTU_MAP8_STRIDE] > depth) + (in->maps->cu_depth_map[unit - 1] > depth);
            rate_est_bin(rec, ctx_split_cu_flag + ctx, split);
        } else {
            split = log2 > in->sps->log2_min_cb_size;
        }
        if (!split) {
            rate_est_coding_unit(in, rec, z, x, y, log2);
            return;
        }
        const int q = 1 << (2 * log2 - 6);
        const int half = size >> 1;
        estimate_quadtree(in, rec, z, x, y, log2 - 1);
        if (x + half < room_x)
            estimate_quadtree(in, rec, z + q, x + half, y, log2 - 1);
        if (y + half < room_y)
            estimate_quadtree(in, rec, z + 2 * q, x, y + half, log2 - 1);
        if (x + half < room_x && y + half < room_y)
            estimate_quadtree(in, rec, z + 3 * q, x + half, y + half, log2 - 1);
    }

    void start_coder(cabac_encoder *enc, int slice_type, int qp)
    {
        *enc = cabac_encoder{};
        cabac_init_contexts(enc, slice_type, qp, 120);
        cabac_encoder_init(enc, buf.data(), buf.data() + buf.size());
    }

    // Decides CTU (cx, cy) of pic, writes it into wr and estimates a copy
    // of its decisions into est, which starts from wr's contexts before the
    // CTU.
    void write_and_estimate(random_picture *pic, int cx, int cy, cabac_encoder *wr, cabac_encoder *est,
                            int *qp_prev)
    {
        pic->generate(cx, cy);
        random_ctu copy = pic->at(cx, cy);   // the estimator works on its own maps
        syntax_ctu_context w = pic->view(&pic->at(cx, cy), cx, cy);
        syntax_ctu_context e = pic->view(&copy, cx, cy);
        w.inter.amvp_build_list = e.inter.amvp_build_list = random_ctu_amvp_hook;
        w.qp_prev = e.qp_prev = *qp_prev;
        const cabac_encoder start = *wr;
        *est = *wr;
        est->rate.est_bits = 0;
        cabac_write_ctu(&w, wr);
        *qp_prev = w.qp_prev;
        if (e.sao_flags)
            rate_est_sao_merge(&e, est);
        estimate_quadtree(&e, est, 0, 0, 0, 6);
        // Nothing of the arithmetic coder moves.
        EXPECT_EQ(est->low, start.low);
        EXPECT_EQ(est->range, start.range);
        EXPECT_EQ(est->bits_left, start.bits_left);
        EXPECT_EQ(est->buf_cur, start.buf_cur);
    }

    // Ends CTU (cx, cy): the slice's last is flushed.
    static void end_ctu(const random_picture &pic, int cx, int cy, cabac_encoder *wr)
    {
        if (cx + 1 == pic.ctus_x && cy + 1 == pic.ctus_y)
            cabac_flush(wr);
        else
            cabac_encode_terminate0(wr);
    }
};

void expect_same_contexts(const cabac_encoder &est, const cabac_encoder &wr, const char *what)
{
    for (int s = 0; s < cabac_num_ctx; s++) {
        if (s == ctx_cu_qp_delta_abs || s == ctx_cu_qp_delta_abs + 1)
            continue;
        ASSERT_EQ(est.rate.ctx[s], wr.rate.ctx[s]) << what << " context " << s;
    }
}

using EstimateFixture = estimate_fixture;

TEST_F(EstimateFixture, RandomPicturesCostExactlyTheWrittenBinsCtuByCtu)
{
    std::mt19937 rng(2024);
    const double per_bin = table_rounding_per_bin();
    double real_total = 0, est_total = 0;
    int ctus = 0;
    for (int slice_type = 0; slice_type < 3; slice_type++)
        for (int sdh = 0; sdh < 2; sdh++)
            for (int iter = 0; iter < 12; iter++) {
                const random_ctu_config cfg = random_config(&rng, slice_type, sdh);
                random_picture pic(cfg, rng());
                std::vector<uint32_t> est_bits;
                std::vector<int64_t> real_bits;
                cabac_encoder wr, est;
                start_coder(&wr, slice_type, cfg.slice_qp);
                int qp_prev = cfg.slice_qp;
                for (int cy = 0; cy < pic.ctus_y; cy++)
                    for (int cx = 0; cx < pic.ctus_x; cx++) {
                        const int64_t start = cabac_bits_written(&wr);
                        write_and_estimate(&pic, cx, cy, &wr, &est, &qp_prev);
                        real_bits.push_back(cabac_bits_written(&wr) - start);
                        est_bits.push_back(est.rate.est_bits);
                        end_ctu(pic, cx, cy, &wr);
                    }

                syntax_reader r;
                rd_params p;
                random_picture_reader_params(cfg, &p);
                r.start(p, buf.data(), (size_t)(wr.buf_cur - wr.buf_start));
                rd_ctu out;
                for (int cy = 0, i = 0; cy < pic.ctus_y; cy++)
                    for (int cx = 0; cx < pic.ctus_x; cx++, i++) {
                        const uint64_t cost = r.d.cost, bins = r.d.context_bins;
                        r.read_ctu(cx, cy, &out);
                        ASSERT_FALSE(r.d.overrun);
                        ASSERT_EQ(est_bits[i], r.d.cost - cost)
                            << "slice " << slice_type << " picture " << iter << " CTU " << cx << "," << cy;
                        // The coder's real count stays within the table's rounding.
                        const double bound = (double)(r.d.context_bins - bins) * per_bin + 2.0;
                        EXPECT_LE(std::fabs((double)real_bits[i] - est_bits[i] / 256.0), bound);
                        real_total += (double)real_bits[i];
                        est_total += est_bits[i] / 256.0;
                        ctus++;
                    }
                ASSERT_EQ(out.end_of_slice, 1);
            }
    // Over many CTUs the estimate is close to what the coder really spends.
    EXPECT_LT(std::fabs(real_total - est_total), 0.005 * real_total) << real_total << " " << est_total;
    EXPECT_GT(ctus, 150);
    printf("per-bin rounding %.4f bits, %d CTUs, real %.0f bits, estimated %.1f bits\n", per_bin, ctus,
           real_total, est_total);
}

}  // namespace

namespace {

struct element_fixture : estimate_fixture {
    cabac_encoder wr{};
    cabac_encoder est{};
    syntax_reader r;

    void begin(int slice_type = 2, int qp = 30)
    {
        start_coder(&wr, slice_type, qp);
        est = wr;
        est.rate.est_bits = 0;
    }
    // Flushes the writer and starts the parser on its output.
    void read_back(int slice_type = 2, int qp = 30, int sign_hiding = 0)
    {
        cabac_flush(&wr);
        rd_params p;
        p.slice_type = slice_type;
        p.slice_qp = qp;
        p.sign_hiding = sign_hiding;
        r.start(p, buf.data(), (size_t)(wr.buf_cur - wr.buf_start));
        r.d.cost = 0;
        r.d.context_bins = 0;
    }
};

using ElementFixture = element_fixture;

TEST_F(ElementFixture, ResidualBlocksOfEverySizeScanAndPlaneCostTheWrittenBins)
{
    std::mt19937 rng(77);
    int16_t blk[1024];
    for (int iter = 0; iter < 400; iter++) {
        const int log2 = 2 + iter % 4;
        const int chroma = (iter / 4) % 2;
        if (chroma && log2 == 5)
            continue;
        const int scan = log2 <= 3 ? (iter / 8) % 3 : 0;
        const int sdh = (iter / 24) % 2;
        random_level_block(&rng, blk, log2);
        begin();
        cabac_write_residual_block(&wr, blk, log2, scan, chroma, sdh, &scans, &metrics);
        rate_est_residual(&est, blk, log2, scan, chroma, sdh, &scans, &metrics);
        read_back(2, 30, sdh);
        int16_t out[1024];
        std::memset(out, 0, sizeof(out));
        r.decode_residual_block(log2, chroma, scan, out);
        ASSERT_EQ(est.rate.est_bits, r.d.cost) << "log2 " << log2 << " scan " << scan << " chroma " << chroma
                                          << " sdh " << sdh << " iter " << iter;
    }
}

TEST_F(ElementFixture, MotionVectorDifferencesCostTheWrittenBins)
{
    std::mt19937 rng(5);
    std::vector<std::array<int16_t, 2>> mvds;
    for (int v : {0, 1, -1, 2, -2, 3, 255, 256, -257, 300, 4095, -32768, 32767})
        mvds.push_back({(int16_t)v, (int16_t)(v / 3)});
    for (int i = 0; i < 300; i++)
        mvds.push_back({(int16_t)((int)(rng() % 2001) - 1000), (int16_t)((int)(rng() % 65536) - 32768)});
    begin(1);
    for (auto &m : mvds) {
        cabac_write_mvd(&wr, m.data());
        rate_est_mvd(&est, m.data());
    }
    read_back(1);
    for (auto &m : mvds) {
        int got[2];
        r.read_mvd(got);
        ASSERT_EQ(got[0], m[0]);
        ASSERT_EQ(got[1], m[1]);
    }
    EXPECT_EQ(est.rate.est_bits, r.d.cost);
}

}  // namespace

namespace {

TEST_F(ElementFixture, ReferenceAndMergeIndicesCostTheWrittenBins)
{
    begin(0);
    std::vector<std::pair<int, int>> refs, merges;
    for (int num = 1; num <= 5; num++)
        for (int idx = 0; idx < num; idx++)
            refs.push_back({idx, num});
    for (int max = 1; max <= 5; max++)
        for (int i = 0; i < max; i++)
            merges.push_back({i, max});
    for (auto &p : refs) {
        cabac_write_ref_idx(&wr, p.first, p.second);
        rate_est_ref_idx(&est, p.first, p.second);
    }
    for (auto &p : merges) {
        cabac_write_merge_idx(&wr, p.first, p.second);
        rate_est_merge_idx(&est, p.first, p.second);
    }
    read_back(0);
    for (auto &p : refs)
        ASSERT_EQ(r.read_ref_idx(p.second), p.first);
    for (auto &p : merges) {
        r.p.max_num_merge_cand = p.second;
        ASSERT_EQ(r.read_merge_idx(), p.first);
    }
    EXPECT_EQ(est.rate.est_bits, r.d.cost);
}

TEST_F(ElementFixture, SaoParametersOfEveryTypeCostTheWrittenBins)
{
    std::mt19937 rng(9);
    std::vector<std::pair<sao_param, int>> list;
    for (int i = 0; i < 200; i++) {
        sao_param s{};
        s.type = (int)(rng() % 6);
        s.band_position = (int)(rng() % 32);
        for (int k = 0; k < 4; k++)
            s.offset[k] = s.type == SAO_TYPE_BAND ? (int)(rng() % 15) - 7 : (int)(rng() % 8);
        if (s.type < 4) {
            s.offset[2] = -s.offset[2];
            s.offset[3] = -s.offset[3];
        }
        list.push_back({s, i % 2});   // luma or Cb: both send the type
    }
    begin();
    for (auto &p : list) {
        cabac_write_sao_params(&wr, &p.first, p.second);
        rate_est_sao_offsets(&est, &p.first, p.second);
    }
    read_back();
    for (auto &p : list) {
        sao_param got{};
        r.read_sao_params(p.second, &got);
        ASSERT_EQ(got.type, p.first.type);
    }
    EXPECT_EQ(est.rate.est_bits, r.d.cost);
}

TEST_F(ElementFixture, LastPositionsAndQpDeltasCostTheWrittenBins)
{
    begin();
    for (int log2 = 2; log2 <= 5; log2++)
        for (int chroma = 0; chroma < 2; chroma++)
            for (int y = 0; y < 1 << log2; y++)
                for (int x = 0; x < 1 << log2; x++) {
                    cabac_write_last_sig_coeff_pos(&wr, log2, x, y, chroma);
                    rate_est_last_pos(&est, log2, x, y, chroma);
                }
    ctu_cu_maps maps;
    std::memset(&maps, 0xff, sizeof(maps));
    pps_params pps{};
    pps.cu_qp_delta_enabled = 1;
    syntax_ctu_context ctx{};
    ctx.maps = &maps;
    ctx.pps = &pps;
    std::vector<std::pair<int, int>> qps;
    for (int prev = 0; prev <= 51; prev += 5)
        for (int qp = 0; qp <= 51; qp++)
            qps.push_back({prev, qp});
    for (auto &q : qps) {
        ctx.qp_prev = q.first;
        maps.cu_qp_map[zorder_to_map8[0]] = (int8_t)q.second;
        cabac_write_cu_qp_delta(&ctx, &wr, 0);
        rate_est_cu_qp_delta(&ctx, &est, 0);
    }
    read_back();
    for (int log2 = 2; log2 <= 5; log2++)
        for (int chroma = 0; chroma < 2; chroma++)
            for (int y = 0; y < 1 << log2; y++)
                for (int x = 0; x < 1 << log2; x++) {
                    int px = r.read_last_prefix(ctx_last_x_prefix, log2, chroma);
                    int py = r.read_last_prefix(ctx_last_y_prefix, log2, chroma);
                    ASSERT_EQ(r.last_from(px), x);
                    ASSERT_EQ(r.last_from(py), y);
                }
    for (size_t i = 0; i < qps.size(); i++) {
        if (r.bin(ctx_cu_qp_delta_abs)) {
            int a = 1;
            while (a < 5 && r.bin(ctx_cu_qp_delta_abs + 1))
                a++;
            if (a == 5)
                r.eg_k(0);
            r.byp();
        }
    }
    EXPECT_EQ(est.rate.est_bits, r.d.cost);
}

TEST(BitEstimate, LargeMotionVectorDifferencesPriceTheExpGolombLengthInClosedForm)
{
    cabac_encoder a{}, b{};
    cabac_init_contexts(&a, 1, 30, 120);
    b = a;
    const int16_t big[2] = {300, 0};
    const int16_t two[2] = {2, 0};
    rate_est_mvd(&a, big);
    rate_est_mvd(&b, two);
    // Same flags (greater0 1 and 0, greater1 1); 300 sends sixteen
    // Exp-Golomb bins and the sign where 2 sends two and the sign.
    EXPECT_EQ(a.rate.est_bits - b.rate.est_bits, (uint32_t)(16 + 1 - 3) * 256);
    EXPECT_EQ(mvd_eg1_length_table[0], 1);
    EXPECT_EQ(mvd_eg1_length_table[1], 1);
    EXPECT_EQ(mvd_eg1_length_table[255], 15);
    for (int v = 1; v < 256; v++)
        EXPECT_EQ(mvd_eg1_length_table[v], 2 * (31 - __builtin_clz((unsigned)v)) + 1) << v;
}

TEST(BitEstimate, RemainingLevelLengthsFollowTheRiceAndEscapeCodes)
{
    EXPECT_EQ(rate_remaining_bins(0, 0), 1);
    EXPECT_EQ(rate_remaining_bins(3, 0), 4);    // three ones, a zero, no suffix
    EXPECT_EQ(rate_remaining_bins(14, 1), 9);
    EXPECT_EQ(rate_remaining_bins(2, 0), 3);
    EXPECT_EQ(rate_remaining_bins(5, 1), 4);
    EXPECT_EQ(rate_remaining_bins(47, 4), 7);   // prefix 2, zero, four bits
}

TEST_F(EstimateFixture, IntraSliceCuPricesNoSkipFlagAndNoPartModeAbove8x8)
{
    std::mt19937 rng(3);
    for (int iter = 0; iter < 30; iter++) {
        random_picture pic(random_config(&rng, 2, 0), rng());
        pic.generate(0, 0);
        syntax_ctu_context e = pic.view(&pic.at(0, 0), 0, 0);
        cabac_encoder est;
        start_coder(&est, 2, 30);
        const cabac_encoder before = est;
        estimate_quadtree(&e, &est, 0, 0, 0, 6);
        for (int s = ctx_cu_skip_flag; s < ctx_cu_skip_flag + 3; s++)
            EXPECT_EQ(est.rate.ctx[s], before.rate.ctx[s]);
        EXPECT_EQ(est.rate.ctx[ctx_pred_mode_flag], before.rate.ctx[ctx_pred_mode_flag]);
        // part_mode moves only when an 8x8 CU was coded.
        const cu_decision_arrays &d = pic.at(0, 0).dec;
        bool any8 = false;
        for (int z = 0; z < 256; z += 16)
            any8 |= d.cu_split[0] && d.cu_split[cu_node_index(5, z)] && d.cu_split[cu_node_index(4, z)];
        if (!any8) {
            EXPECT_EQ(est.rate.ctx[ctx_part_mode], before.rate.ctx[ctx_part_mode]);
        }
    }
}

// With QP deltas on, the writer sends cu_qp_delta and the CU estimate does
// not (mode decision adds it once per quantisation group): every other
// context still ends as the writer leaves it.
TEST_F(EstimateFixture, QpDeltasMoveOnlyTheirOwnContexts)
{
    std::mt19937 rng(31);
    int differing = 0;
    for (int iter = 0; iter < 30; iter++) {
        random_ctu_config cfg = random_config(&rng, iter % 3, 0);
        cfg.qp_delta = 1;
        cfg.qp_depth = (int)(rng() % 4);
        random_picture pic(cfg, rng());
        cabac_encoder wr, est;
        start_coder(&wr, cfg.slice_type, cfg.slice_qp);
        int qp_prev = cfg.slice_qp;
        for (int cy = 0; cy < pic.ctus_y; cy++)
            for (int cx = 0; cx < pic.ctus_x; cx++) {
                write_and_estimate(&pic, cx, cy, &wr, &est, &qp_prev);
                expect_same_contexts(est, wr, "qp delta");
                differing += est.rate.ctx[ctx_cu_qp_delta_abs] != wr.rate.ctx[ctx_cu_qp_delta_abs];
                end_ctu(pic, cx, cy, &wr);
            }
    }
    // The writer did send deltas: their contexts moved in the writer only.
    EXPECT_GT(differing, 10);
}

// The parts that mode decision prices separately add up to the whole-CU estimate.
TEST_F(EstimateFixture, CuEstimateEqualsItsPartsPricedSeparately)
{
    std::mt19937 rng(41);
    for (int iter = 0; iter < 60; iter++) {
        const int slice_type = iter % 3;
        random_picture pic(random_config(&rng, slice_type, iter & 1), rng());
        pic.generate(0, 0);
        random_ctu copy = pic.at(0, 0);
        syntax_ctu_context c = pic.view(&pic.at(0, 0), 0, 0);
        syntax_ctu_context e = pic.view(&copy, 0, 0);
        c.inter.amvp_build_list = e.inter.amvp_build_list = random_ctu_amvp_hook;
        cabac_encoder whole, parts;
        start_coder(&whole, slice_type, 30);
        parts = whole;
        // Leaf CUs in coding order, from the decided tree.
        std::vector<std::array<int, 4>> leaves;
        std::function<void(int, int, int, int)> walk = [&](int z, int x, int y, int log2) {
            if (x >= c.pic_width || y >= c.pic_height)
                return;
            if (log2 > 3 && c.decision->cu_split[cu_node_index(log2, z)]) {
                const int q = 1 << (2 * log2 - 6), h = 1 << (log2 - 1);
                walk(z, x, y, log2 - 1);
                walk(z + q, x + h, y, log2 - 1);
                walk(z + 2 * q, x, y + h, log2 - 1);
                walk(z + 3 * q, x + h, y + h, log2 - 1);
                return;
            }
            leaves.push_back({z, x, y, log2});
        };
        walk(0, 0, 0, 6);
        for (auto &l : leaves) {
            rate_est_coding_unit(&c, &whole, l[0], l[1], l[2], l[3]);
            const int unit = zorder_to_map8[l[0] >> 2];
            rate_est_coding_unit_no_tree(&e, &parts, l[0], l[1], l[2], l[3]);
            const bool skipped = copy.maps.cu_flags_map[unit] & cu_flag_skip;
            if (!skipped)
                rate_est_transform_tree(&e, &parts, l[0], l[1], l[2], l[3], l[3]);
        }
        EXPECT_EQ(whole.rate.est_bits, parts.rate.est_bits);
        EXPECT_EQ(std::memcmp(whole.rate.ctx, parts.rate.ctx, sizeof(whole.rate.ctx)), 0);
    }
}

}  // namespace

// The cost helpers of mode decision against the syntax path: on a CTU that
// the intra search has decided, the region cost and the intra mode cost must
// price exactly the bins that the writer sends for what they coded.
#include "tests/support/cu_replay.h"
#include "tests/support/mode_search_fixture.h"

namespace {

struct rd_helper_fixture {
    search_fixture f;
    std::vector<uint8_t> buf = std::vector<uint8_t>(1 << 20);
    cabac_encoder wr{};
    syntax_reader r;
    rd_ctu out;

    // A searched I CTU; with QP deltas one quantisation group per CTU, its
    // delta taken against a previous QP below the CTU's.
    rd_helper_fixture(int qp_delta, int width, int height) : f(4, 30, width, height)
    {
        row_context *ctx = f.ctx;
        ctx->enc->sps.max_tu_depth_intra = 2;
        ctx->enc->pps.cu_qp_delta_enabled = qp_delta;
        ctx->enc->pps.diff_cu_qp_delta_depth = qp_delta ? 0 : -1;
        f.fill_source(9, 40);
        ctu_search_rdo(ctx, 4);
        ctx->qp_prev = 27;
        cabac_init_contexts(&ctx->cabac, 2, 30, 120);
        ctx->fi->pic.recon_picture = &f.source_pic;   // named by the replay's messages
        // Coded again from scratch, as a search's split branch codes a region.
        map_mark_unavailable(ctx, 0, 0, 64, 64);
    }

    syntax_ctu_context writer_view()
    {
        row_context *ctx = f.ctx;
        ctu_context *c = &ctx->ctu;
        syntax_ctu_context s{};
        s.decision = &c->decision;
        s.maps = &c->maps;
        s.motion = &c->motion;
        s.intra_modes = c->intra_modes;
        for (int p = 0; p < 3; p++) s.levels[p] = c->tu_levels[p];
        s.pic_width = ctx->enc->width;
        s.pic_height = ctx->enc->height;
        s.slice_type = 2;
        s.sps = &ctx->enc->sps;
        s.pps = &ctx->enc->pps;
        s.scans = ctx->enc->scans;
        s.metrics = &ctx->enc->metric;
        s.qp_prev = ctx->qp_prev;
        s.qg_units = c->qg_units;
        return s;
    }

    // Writes the CTU as decided from the contexts a slice starts with and
    // parses it back, adding up the table cost of every bin.
    void write_and_parse()
    {
        row_context *ctx = f.ctx;
        cabac_init_contexts(&wr, 2, 30, 120);
        cabac_encoder_init(&wr, buf.data(), buf.data() + buf.size());
        syntax_ctu_context w = writer_view();
        cabac_write_coding_quadtree(&w, &wr, 0, 0, 0, 6);
        cabac_flush(&wr);
        rd_params p;
        p.pic_width = ctx->enc->width;
        p.pic_height = ctx->enc->height;
        p.slice_qp = 27;   // the QP before the CTU
        p.max_tu_depth_intra = ctx->enc->sps.max_tu_depth_intra;
        p.cu_qp_delta_enabled = ctx->enc->pps.cu_qp_delta_enabled;
        p.diff_cu_qp_delta_depth = 0;
        r.start(p, buf.data(), (size_t)(wr.buf_cur - wr.buf_start));
        // The contexts start from the slice QP of the CTU's own coding.
        for (int s = 0; s < cabac_num_ctx; s++) r.ctx[s] = std_init(cabac_init_values[2][s], 30);
        r.read_ctu(0, 0, &out);
    }
};

// Sum of squared differences of a plane block between the source copy
// (stride 64) and the work buffer (stride 128).
uint64_t block_sse(const uint8_t *src, const uint8_t *work, int w, int h)
{
    uint64_t s = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int d = src[y * 64 + x] - work[y * 128 + x];
            s += (uint64_t)(d * d);
        }
    return s;
}

TEST(RdHelpers, RegionCostIsTheReconstructionsDistortionPlusTheWrittenBins)
{
    for (int qp_delta = 0; qp_delta < 2; qp_delta++) {
        SCOPED_TRACE(qp_delta ? "QP deltas" : "no QP deltas");
        rd_helper_fixture t(qp_delta, 64, 64);
        row_context *ctx = t.f.ctx;
        const uint32_t before = ctx->cabac.rate.est_bits;
        // With a lambda of one in 16 fractional bits every rate term is the bit count itself.
        const uint32_t cost = rd_quadtree_cost(ctx, 1u << 16, 0, 0, 0, 6);
        const uint32_t priced = ctx->cabac.rate.est_bits - before;
        cu_kinds kinds;
        cu_replay replay(ctx, &kinds);
        replay.coding_tree(0, 0, 0, 6);
        EXPECT_EQ(replay.compare(), "") << "the region was not left coded as decided";
        t.write_and_parse();
        ASSERT_FALSE(t.r.d.overrun);
        EXPECT_EQ(t.out.end_of_slice, 1);
        EXPECT_EQ(priced, t.r.d.cost) << "the region cost priced other bins than the writer sent";
        // Complexity 4 weighs chroma twice, exactly.
        const ctu_context *c = &ctx->ctu;
        uint64_t distortion = block_sse(c->source_luma, c->recon_luma, 64, 64) +
                              2 * (block_sse(c->source_chroma, c->recon_chroma, 32, 32) +
                                   block_sse(c->source_chroma + 32, c->recon_chroma + 64, 32, 32));
        EXPECT_EQ((uint64_t)cost, distortion + priced);
        // The group's delta was sent: the CUs from its first residual on
        // decode at the CTU's QP, not at the previous one.
        if (qp_delta) {
            const int ctu_qp = search_state(ctx)->ctu_qp;
            int at_ctu_qp = 0;
            for (const rd_cu &cu : t.out.cus) at_ctu_qp += cu.qp == ctu_qp;
            EXPECT_NE(ctu_qp, 27);
            EXPECT_GT(at_ctu_qp, 0);
        }
    }
}

// A CTU cut by the picture's edge: the quarters that start outside are not
// coded, and the split flags that the stream leaves to inference are priced
// all the same, on top of the written bins.
TEST(RdHelpers, RegionCostAtThePictureEdgeCodesOnlyTheQuartersInside)
{
    rd_helper_fixture t(0, 40, 24);
    row_context *ctx = t.f.ctx;
    const uint32_t before = ctx->cabac.rate.est_bits;
    const uint32_t cost = rd_quadtree_cost(ctx, 1u << 16, 0, 0, 0, 6);
    const uint32_t priced = ctx->cabac.rate.est_bits - before;
    cu_kinds kinds;
    cu_replay replay(ctx, &kinds);
    replay.coding_tree(0, 0, 0, 6);
    EXPECT_EQ(replay.compare(), "");
    const ctu_context *c = &ctx->ctu;
    uint64_t distortion = block_sse(c->source_luma, c->recon_luma, 40, 24) +
                          2 * (block_sse(c->source_chroma, c->recon_chroma, 20, 12) +
                               block_sse(c->source_chroma + 32, c->recon_chroma + 64, 20, 12));
    EXPECT_EQ((uint64_t)cost, distortion + priced);
    t.write_and_parse();
    EXPECT_GT(priced, t.r.d.cost);
    printf("edge CTU: priced %u, written bins %llu (1/256 bit)\n", priced, (unsigned long long)t.r.d.cost);
}

// Every luma mode at every prediction unit of the decided CTU: the mode cost
// is the table cost of the bins the writer sends for it, and those bins
// decode to the mode under the standard's most probable modes.
TEST(RdHelpers, IntraModeCostPricesTheWrittenModeBins)
{
    rd_helper_fixture t(0, 64, 64);
    row_context *ctx = t.f.ctx;
    ASSERT_NE(rd_quadtree_cost(ctx, 1u << 16, 0, 0, 0, 6), 0u);
    t.write_and_parse();
    ASSERT_FALSE(t.out.cus.empty());
    struct unit {
        int x, y, z;
    };
    std::vector<unit> units;
    for (const rd_cu &cu : t.out.cus) {
        int pus = cu.part == 3 ? 4 : 1, pb = cu.part == 3 ? (1 << cu.log2) / 2 : 1 << cu.log2;
        for (int k = 0; k < pus; k++) {
            int x = cu.x + (k & 1) * pb, y = cu.y + (k >> 1) * pb;
            units.push_back({x, y, syntax_reader::zorder_of(x, y)});
        }
    }
    cabac_init_contexts(&ctx->cabac, 2, 30, 120);
    cabac_init_contexts(&t.wr, 2, 30, 120);
    cabac_encoder_init(&t.wr, t.buf.data(), t.buf.data() + t.buf.size());
    syntax_ctu_context w = t.writer_view();
    std::vector<uint32_t> priced;
    for (const unit &u : units) {
        int8_t *entry = &ctx->ctu.intra_modes[map4_index(u.z)];
        const int8_t kept = *entry;
        for (int m = 0; m <= 34; m++) {
            // The rate term scales with lambda (here three bits per bit).
            const cabac_rate_state start = ctx->cabac.rate;
            const uint32_t tripled = rd_intra_mode_cost(ctx, 3u << 16, u.z, m);
            ctx->cabac.rate = start;
            const uint32_t bits = rd_intra_mode_cost(ctx, 1u << 16, u.z, m);
            ASSERT_EQ(*entry, m);
            ASSERT_EQ(tripled, 3 * bits);
            priced.push_back(bits);
            cabac_write_intra_luma_modes(&w, &t.wr, u.z, 2, 0);
        }
        *entry = kept;
    }
    cabac_flush(&t.wr);
    // The parser keeps the decoded CTU's modes as the neighbours of each unit.
    t.r.d.init(t.buf.data(), (size_t)(t.wr.buf_cur - t.wr.buf_start));
    for (int s = 0; s < cabac_num_ctx; s++) t.r.ctx[s] = std_init(cabac_init_values[2][s], 30);
    size_t i = 0;
    for (const unit &u : units) {
        int cand[3];
        t.r.mpm(u.x, u.y, cand);
        int sorted[3] = {cand[0], cand[1], cand[2]};
        std::sort(sorted, sorted + 3);
        for (int m = 0; m <= 34; m++, i++) {
            const uint64_t cost = t.r.d.cost;
            int mode;
            if (t.r.bin(ctx_prev_intra_luma_pred_flag)) {
                mode = cand[t.r.byp() ? (t.r.byp() ? 2 : 1) : 0];
            } else {
                mode = (int)t.r.byp_bits(5);
                for (int k = 0; k < 3; k++) mode += mode >= sorted[k];
            }
            ASSERT_EQ(mode, m) << "unit (" << u.x << ", " << u.y << ")";
            ASSERT_EQ(priced[i], t.r.d.cost - cost) << "unit (" << u.x << ", " << u.y << ") mode " << m;
        }
    }
    EXPECT_FALSE(t.r.d.overrun);
}

}  // namespace
