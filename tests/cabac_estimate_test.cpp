// The bit estimator against the syntax writer: over random CTU syntax trees
// and single elements, the estimate must equal the table cost of exactly the
// bins the writer produced (recovered by decoding the writer's output with a
// standard-process parser that adds each decoded bin's table cost), leave the
// same context states, and stay within the table's rounding of the coder's
// real bit count.
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

// Deterministic AMVP predictors shared by writer and parser.
int test_amvp(int z, int x, int y, int w, int h, int depth, int list, uint32_t out[2])
{
    uint32_t seed = (uint32_t)(z * 131 + x * 7 + y * 3 + w * 17 + h * 5 + depth * 11 + list * 1009);
    auto comp = [](uint32_t v) { return (uint32_t)(uint16_t)(int16_t)((int)(v % 129) - 64); };
    out[0] = comp(seed) | (comp(seed * 7 + 1) << 16);
    out[1] = comp(seed * 13 + 5) | (comp(seed * 3 + 2) << 16);
    return (seed % 3) ? 2 : 1;
}

int32_t writer_amvp(void *, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h, int32_t depth,
                    int32_t list, uint32_t out[2])
{
    return test_amvp(z, x, y, w, h, depth, list, out);
}

// A random non-zero level block: dense, sparse, low-frequency corners, DC
// only, and now and then large levels for the escape codes.
void random_levels(std::mt19937 *rng, int16_t *blk, int log2)
{
    const int n = 1 << log2;
    std::memset(blk, 0, sizeof(int16_t) * n * n);
    const int kind = (int)((*rng)() % 6);
    if (kind == 5) {
        blk[0] = (int16_t)((int)((*rng)() % 40) - 20);
        if (!blk[0])
            blk[0] = 1;
        return;
    }
    const int extent = kind == 0 ? n : 1 + (int)((*rng)() % n);
    const int density = kind == 1 ? 90 : kind == 2 ? 40 : kind == 3 ? 6 : 25;
    for (int y = 0; y < extent; y++)
        for (int x = 0; x < extent; x++) {
            if ((int)((*rng)() % 100) >= density)
                continue;
            int r = (int)((*rng)() % 100);
            int mag = r < 55 ? 1 : r < 80 ? 2 : r < 92 ? 3 + (int)((*rng)() % 4)
                                                      : r < 99 ? 7 + (int)((*rng)() % 60)
                                                               : 100 + (int)((*rng)() % 3000);
            blk[y * n + x] = (int16_t)(((*rng)() & 1) ? -mag : mag);
        }
    if (std::all_of(blk, blk + n * n, [](int16_t v) { return v == 0; }))
        blk[((*rng)() % extent) * n + (*rng)() % extent] = 1;
}

// The CU maps plus the per-4x4 intra modes the writer and the estimator
// read beside them.
struct truth_maps : ctu_cu_maps {
    int8_t intra_mode[CTU_MAP4_SIZE];
};

struct ctu_case {
    sps_params sps{};
    pps_params pps{};
    cu_decision_arrays decision{};
    truth_maps maps{};
    ctu_motion_grid motion{};
    std::vector<int16_t> levels[3];
    sao_param sao[3]{};
    syntax_ctu_context inst{};
    int log2_min_cb = 3;
};

struct tree_builder {
    std::mt19937 *rng;
    ctu_case *c;
    int slice_type;

    int rnd(int n) { return (int)((*rng)() % (uint32_t)n); }

    void fill8(uint8_t *map, int z, int log2, uint8_t v)
    {
        int units = log2 > 3 ? 1 << (log2 - 3) : 1;
        map_fill_block(&map[zorder_to_map8[z >> 2]], units, units, 1, v);
    }
    void fill4_modes(int z, int log2, int8_t mode)
    {
        for (int k = 0; k < 1 << (2 * (log2 - 2)); k++)
            c->maps.intra_mode[zorder_to_map4[z + k]] = mode;
    }

    // Transform tree: decides split and cbf bits where the writer sends
    // them and follows the decoder's inference elsewhere. Returns the cbf
    // union of the node.
    uint8_t transform_node(int z, int log2, int depth, int log2_cu, int intra, int part,
                           uint8_t parent_chroma, int root_inter_leaf_needs_luma)
    {
        const sps_params &sps = c->sps;
        const int node = cu_node_index(log2, z);
        const int intra_split = intra && part == part_NxN;
        const int max_depth = intra ? sps.max_tu_depth_intra + intra_split : sps.max_tu_depth_inter;
        int split;
        if (log2 <= sps.log2_max_tb_size && log2 > sps.log2_min_tb_size && depth < max_depth &&
            !(intra_split && depth == 0)) {
            split = rnd(3) == 0;
        } else {
            int inter_split = sps.max_tu_depth_inter == 0 && !intra && part != part_2Nx2N && depth == 0;
            split = log2 > sps.log2_max_tb_size || (intra_split && depth == 0) || inter_split;
        }
        c->decision.tu_split[node] = split;
        uint8_t chroma = parent_chroma;
        if (log2 > 2) {
            chroma = 0;
            if ((parent_chroma & cbf_cb_bit) && rnd(2))
                chroma |= cbf_cb_bit;
            if ((parent_chroma & cbf_cr_bit) && rnd(2))
                chroma |= cbf_cr_bit;
        }
        uint8_t cbf;
        if (split) {
            const int q = 1 << (2 * log2 - 6);
            cbf = log2 > 2 ? chroma : 0;
            uint8_t luma = 0;
            for (int k = 0; k < 4; k++)
                luma |= transform_node(z + k * q, log2 - 1, depth + 1, log2_cu, intra, part, chroma, 0);
            cbf |= luma & cbf_luma_bit;
            if (log2 == 3)
                cbf |= chroma;
        } else {
            int luma = rnd(3) != 0;
            if (!intra && depth == 0 && !chroma && root_inter_leaf_needs_luma)
                luma = 1;   // not sent: the decoder infers 1
            cbf = (uint8_t)((luma ? cbf_luma_bit : 0) | (log2 > 2 ? chroma : 0));
            if (luma)
                random_levels(rng, &c->levels[0][z * 16], log2);
            int chroma_log2 = log2 > 2 ? log2 - 1 : 2;
            int chroma_z = log2 > 2 ? z : z - 3;
            if (log2 > 2 || (z & 3) == 3) {
                if (chroma & cbf_cb_bit)
                    random_levels(rng, &c->levels[1][(chroma_z >> 2) * 16], chroma_log2);
                if (chroma & cbf_cr_bit)
                    random_levels(rng, &c->levels[2][(chroma_z >> 2) * 16], chroma_log2);
            }
        }
        c->decision.cbf_flags[node] = cbf;
        return cbf;
    }

    void coding_unit(int z, int log2)
    {
        const int node = cu_node_index(log2, z);
        const int unit = zorder_to_map8[z >> 2];
        fill8((uint8_t *)c->maps.cu_depth_map, z, log2, (uint8_t)(6 - log2));
        fill8((uint8_t *)c->maps.cu_qp_map, z, log2, 30);
        int mode = slice_type == 2 ? 1 : rnd(3);   // 0 inter, 1 intra, 2 skip
        if (mode == 2) {
            fill8(c->maps.cu_flags_map, z, log2, cu_flag_skip);
            fill8((uint8_t *)c->maps.pred_mode_map, z, log2, 0);
            fill8(c->motion.merge_flag_map, z, log2, 1);
            fill8(c->motion.merge_idx_map, z, log2, (uint8_t)rnd(c->inst.max_num_merge_cand));
            fill4_modes(z, log2, -1);
            c->decision.cbf_flags[node] = 0;
            return;
        }
        fill8(c->maps.cu_flags_map, z, log2, (uint8_t)(rnd(2) ? cu_flag_residual : 0));   // stale bit 1
        int part;
        if (mode == 1) {
            fill8((uint8_t *)c->maps.pred_mode_map, z, log2, 1);
            part = log2 == c->log2_min_cb && rnd(2) ? part_NxN : part_2Nx2N;
            if (part == part_NxN)
                for (int k = 0; k < 4; k++)
                    c->maps.intra_mode[zorder_to_map4[z + k]] = (int8_t)rnd(35);
            else
                fill4_modes(z, log2, (int8_t)rnd(35));
            c->maps.intra_mode[zorder_to_map4[256 + (z >> 2)]] = (int8_t)rnd(5);
            fill8(c->motion.merge_flag_map, z, log2, 0);
        } else {
            fill8((uint8_t *)c->maps.pred_mode_map, z, log2, 0);
            fill4_modes(z, log2, -1);
            part = rnd(3);
            int merge = rnd(3) == 0;
            fill8(c->motion.merge_flag_map, z, log2, (uint8_t)merge);
            fill8(c->motion.merge_idx_map, z, log2, (uint8_t)rnd(c->inst.max_num_merge_cand));
            int units = log2 > 3 ? 1 << (log2 - 3) : 1;
            for (int l = 0; l < 2; l++) {
                int ref = -1;
                if (l == 0 || slice_type == 0)
                    ref = rnd(c->inst.num_ref_idx_active[l]);
                if (slice_type == 0 && l == 1 && rnd(3) == 0)
                    ref = -1;
                uint32_t mv = (uint32_t)(uint16_t)(rnd(2) ? rnd(9) - 4 : rnd(2000) - 1000) |
                              ((uint32_t)(uint16_t)(rnd(2) ? rnd(9) - 4 : rnd(700) - 350) << 16);
                for (int r = 0; r < units; r++)
                    for (int q = 0; q < units; q++) {
                        c->motion.ref_idx[l][unit + r * CTU_MAP8_STRIDE + q] = (int8_t)ref;
                        c->motion.mv[l][unit + r * CTU_MAP8_STRIDE + q] = mv;
                    }
            }
            if (slice_type == 0 && c->motion.ref_idx[0][unit] < 0 && c->motion.ref_idx[1][unit] < 0)
                for (int r = 0; r < units; r++)
                    for (int q = 0; q < units; q++)
                        c->motion.ref_idx[0][unit + r * CTU_MAP8_STRIDE + q] = 0;
        }
        c->decision.part_mode[node] = (uint32_t)part;
        int intra = mode == 1;
        // No residual: rqt_root_cbf 0, or for a merged 2Nx2N CU the skipped
        // form the writer sends instead.
        if (!intra && rnd(4) == 0) {
            c->decision.cbf_flags[node] = 0;
            c->decision.tu_split[node] = 0;
            return;
        }
        transform_node(z, log2, 0, log2, intra, part, cbf_cb_bit | cbf_cr_bit, 1);
    }

    void quadtree(int z, int x, int y, int log2)
    {
        const int size = 1 << log2;
        const int node = cu_node_index(log2, z);
        const int inside = x + size <= c->inst.pic_width && y + size <= c->inst.pic_height;
        int split;
        if (inside && log2 > c->log2_min_cb)
            split = rnd(log2 == 6 ? 4 : 3) != 0;
        else
            split = log2 > c->log2_min_cb;
        c->decision.cu_split[node] = split;
        if (!split) {
            coding_unit(z, log2);
            return;
        }
        const int q = 1 << (2 * log2 - 6);
        const int half = size >> 1;
        quadtree(z, x, y, log2 - 1);
        if (x + half < c->inst.pic_width)
            quadtree(z + q, x + half, y, log2 - 1);
        if (y + half < c->inst.pic_height)
            quadtree(z + 2 * q, x, y + half, log2 - 1);
        if (x + half < c->inst.pic_width && y + half < c->inst.pic_height)
            quadtree(z + 3 * q, x + half, y + half, log2 - 1);
    }
};

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

    // A random CTU at the picture's top-left corner (neighbours unavailable).
    void make_ctu(std::mt19937 *rng, ctu_case *c, int slice_type, int sign_hiding)
    {
        for (auto &l : c->levels)
            l.assign(4096, 0);
        std::memset(&c->maps, 0, sizeof(c->maps));
        std::memset(c->maps.cu_depth_map, 0xff, sizeof(c->maps.cu_depth_map));
        std::memset(c->maps.pred_mode_map, 0xff, sizeof(c->maps.pred_mode_map));
        std::memset(c->maps.intra_mode, 0xff, sizeof(c->maps.intra_mode));
        std::memset(c->maps.cu_qp_map, 0xff, sizeof(c->maps.cu_qp_map));
        c->sps.log2_min_cb_size = 3;
        c->sps.log2_ctb_size = 6;
        c->sps.log2_min_tb_size = 2;
        c->sps.log2_max_tb_size = 5;
        c->sps.max_tu_depth_intra = 1 + (int)((*rng)() % 3);
        c->sps.max_tu_depth_inter = (int)((*rng)() % 4);
        c->pps.sign_data_hiding = sign_hiding;
        c->pps.diff_cu_qp_delta_depth = -1;
        syntax_ctu_context &in = c->inst;
        in = syntax_ctu_context{};
        in.decision = &c->decision;
        in.maps = &c->maps;
        in.intra_modes = c->maps.intra_mode;
        in.motion = &c->motion;
        for (int p = 0; p < 3; p++) {
            in.levels[p] = c->levels[p].data();
            in.sao[p] = &c->sao[p];
        }
        const int sizes[4] = {64, 64, 40, 56};
        in.pic_width = sizes[(*rng)() % 4];
        in.pic_height = sizes[(*rng)() % 4];
        in.slice_type = slice_type;
        in.sao_flags = (*rng)() % 4;
        in.max_num_merge_cand = 1 + (int)((*rng)() % 5);
        in.num_ref_idx_active[0] = 1 + (int)((*rng)() % 4);
        in.num_ref_idx_active[1] = 1 + (int)((*rng)() % 4);
        in.sps = &c->sps;
        in.pps = &c->pps;
        in.scans = &scans;
        in.metrics = &metrics;
        in.inter.amvp_build_list = writer_amvp;
        in.qp_prev = 30;
        in.qg_units = 256;
        for (int p = 0; p < 3; p++) {
            sao_param &s = c->sao[p];
            // Cr takes the type that Cb sends.
            s.type = p == 2 ? c->sao[1].type : (int)((*rng)() % 6);
            s.band_position = (int)((*rng)() % 32);
            for (int i = 0; i < 4; i++)
                s.offset[i] = s.type == SAO_TYPE_BAND ? (int)((*rng)() % 15) - 7 : (int)((*rng)() % 8);
            if (s.type < 4) {
                s.offset[2] = -s.offset[2];
                s.offset[3] = -s.offset[3];
            }
        }
        tree_builder tb{rng, c, slice_type};
        tb.quadtree(0, 0, 0, 6);
        // With sign hiding the writer leaves out the same sign bins whatever
        // the parity, so the levels need no adjusting for cost checks.
    }

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

    rd_params reader_params(const ctu_case &c)
    {
        rd_params p;
        p.pic_width = c.inst.pic_width;
        p.pic_height = c.inst.pic_height;
        p.slice_type = c.inst.slice_type;
        p.slice_qp = 30;
        p.sao_luma = c.inst.sao_flags & 1;
        p.sao_chroma = (c.inst.sao_flags >> 1) & 1;
        p.max_num_merge_cand = c.inst.max_num_merge_cand;
        p.num_ref_idx_active[0] = c.inst.num_ref_idx_active[0];
        p.num_ref_idx_active[1] = c.inst.num_ref_idx_active[1];
        p.max_tu_depth_inter = c.sps.max_tu_depth_inter;
        p.max_tu_depth_intra = c.sps.max_tu_depth_intra;
        p.sign_hiding = c.pps.sign_data_hiding;
        p.amvp = test_amvp;
        return p;
    }
};

void expect_same_contexts(const cabac_encoder &est, const cabac_encoder &wr, const char *what)
{
    for (int s = 0; s < cabac_num_ctx; s++) {
        if (s == ctx_cu_qp_delta_abs || s == ctx_cu_qp_delta_abs + 1)
            continue;
        ASSERT_EQ(est.ctx[s], wr.ctx[s]) << what << " context " << s;
    }
}

TEST_F(estimate_fixture, RandomCtuTreesCostExactlyTheWritersBinsAndLeaveItsContexts)
{
    std::mt19937 rng(2024);
    const double per_bin = table_rounding_per_bin();
    double real_total = 0, est_total = 0;
    int trees = 0;
    for (int slice_type = 0; slice_type < 3; slice_type++)
        for (int sdh = 0; sdh < 2; sdh++)
            for (int iter = 0; iter < 40; iter++) {
                ctu_case c;
                make_ctu(&rng, &c, slice_type, sdh);
                ctu_case e = c;   // the estimator works on its own maps
                e.inst.decision = &e.decision;
                e.inst.maps = &e.maps;
                e.inst.intra_modes = e.maps.intra_mode;
                e.inst.motion = &e.motion;
                for (int p = 0; p < 3; p++) {
                    e.inst.levels[p] = e.levels[p].data();
                    e.inst.sao[p] = &e.sao[p];
                }

                cabac_encoder wr;
                start_coder(&wr, slice_type, 30);
                cabac_encoder est = wr;
                est.est_bits = 12345;   // estimates add to what is there
                const cabac_encoder before = est;

                const int64_t real_start = cabac_bits_written(&wr);
                cabac_write_ctu(&c.inst, &wr);
                const int64_t real_bits = cabac_bits_written(&wr) - real_start;
                if (e.inst.sao_flags)
                    rate_est_sao_merge(&e.inst, &est);
                estimate_quadtree(&e.inst, &est, 0, 0, 0, 6);
                const uint32_t est_bits = est.est_bits - before.est_bits;

                expect_same_contexts(est, wr, "ctu");
                // Nothing of the arithmetic coder moves.
                EXPECT_EQ(est.low, before.low);
                EXPECT_EQ(est.range, before.range);
                EXPECT_EQ(est.bits_left, before.bits_left);
                EXPECT_EQ(est.buf_cur, before.buf_cur);
                // The residual flags of the CU map agree with the writer's.
                for (int i = 0; i < CTU_MAP8_SIZE; i++)
                    ASSERT_EQ(e.maps.cu_flags_map[i], c.maps.cu_flags_map[i]) << "unit " << i;

                cabac_flush(&wr);
                syntax_reader r;
                r.start(reader_params(c), buf.data(), (size_t)(wr.buf_cur - wr.buf_start));
                rd_ctu out;
                        r.read_ctu(0, 0, &out);
                ASSERT_FALSE(r.d.overrun);
                ASSERT_EQ(out.end_of_slice, 1);
                ASSERT_EQ(est_bits, r.d.cost) << "slice " << slice_type << " tree " << iter;

                // The coder's real count stays within the table's rounding.
                const double bound = (double)r.d.context_bins * per_bin + 2.0;
                EXPECT_LE(std::fabs((double)real_bits - est_bits / 256.0), bound);
                real_total += (double)real_bits;
                est_total += est_bits / 256.0;
                trees++;
            }
    // Over many trees the estimate is close to what the coder really spends.
    EXPECT_LT(std::fabs(real_total - est_total), 0.005 * real_total) << real_total << " " << est_total;
    EXPECT_EQ(trees, 240);
    printf("per-bin rounding %.4f bits, real %.0f bits, estimated %.1f bits\n", per_bin, real_total, est_total);
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
        est.est_bits = 0;
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

TEST_F(element_fixture, ResidualBlocksOfEverySizeScanAndPlaneCostTheWrittenBins)
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
        random_levels(&rng, blk, log2);
        begin();
        cabac_write_residual_block(&wr, blk, log2, scan, chroma, sdh, &scans, &metrics);
        rate_est_residual(&est, blk, log2, scan, chroma, sdh, &scans, &metrics);
        expect_same_contexts(est, wr, "residual");
        read_back(2, 30, sdh);
        int16_t out[1024];
        std::memset(out, 0, sizeof(out));
        r.decode_residual_block(log2, chroma, scan, out);
        ASSERT_EQ(est.est_bits, r.d.cost) << "log2 " << log2 << " scan " << scan << " chroma " << chroma
                                          << " sdh " << sdh << " iter " << iter;
    }
}

TEST_F(element_fixture, MotionVectorDifferencesCostTheWrittenBins)
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
    expect_same_contexts(est, wr, "mvd");
    read_back(1);
    for (auto &m : mvds) {
        int got[2];
        r.read_mvd(got);
        ASSERT_EQ(got[0], m[0]);
        ASSERT_EQ(got[1], m[1]);
    }
    EXPECT_EQ(est.est_bits, r.d.cost);
}

}  // namespace

namespace {

TEST_F(element_fixture, ReferenceAndMergeIndicesCostTheWrittenBins)
{
    begin(0);
    std::vector<std::pair<int, int>> refs, merges;
    for (int num = 1; num <= 5; num++)
        for (int r = 0; r < num; r++)
            refs.push_back({r, num});
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
    expect_same_contexts(est, wr, "indices");
    read_back(0);
    for (auto &p : refs)
        ASSERT_EQ(r.read_ref_idx(p.second), p.first);
    for (auto &p : merges) {
        r.p.max_num_merge_cand = p.second;
        ASSERT_EQ(r.read_merge_idx(), p.first);
    }
    EXPECT_EQ(est.est_bits, r.d.cost);
}

TEST_F(element_fixture, SaoParametersOfEveryTypeCostTheWrittenBins)
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
    expect_same_contexts(est, wr, "sao");
    read_back();
    for (auto &p : list) {
        sao_param got{};
        r.read_sao_params(p.second, &got);
        ASSERT_EQ(got.type, p.first.type);
    }
    EXPECT_EQ(est.est_bits, r.d.cost);
}

TEST_F(element_fixture, LastPositionsAndQpDeltasCostTheWrittenBins)
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
    // The QP-delta contexts move too: the estimate of the element alone
    // follows the writer.
    for (int s = 0; s < cabac_num_ctx; s++)
        ASSERT_EQ(est.ctx[s], wr.ctx[s]) << s;
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
    EXPECT_EQ(est.est_bits, r.d.cost);
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
    EXPECT_EQ(a.est_bits - b.est_bits, (uint32_t)(16 + 1 - 3) * 256);
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

TEST_F(estimate_fixture, IntraSliceCuPricesNoSkipFlagAndNoPartModeAbove8x8)
{
    std::mt19937 rng(3);
    for (int iter = 0; iter < 30; iter++) {
        ctu_case c;
        make_ctu(&rng, &c, 2, 0);
        cabac_encoder est;
        start_coder(&est, 2, 30);
        const cabac_encoder before = est;
        estimate_quadtree(&c.inst, &est, 0, 0, 0, 6);
        for (int s = ctx_cu_skip_flag; s < ctx_cu_skip_flag + 3; s++)
            EXPECT_EQ(est.ctx[s], before.ctx[s]);
        EXPECT_EQ(est.ctx[ctx_pred_mode_flag], before.ctx[ctx_pred_mode_flag]);
        // part_mode moves only when an 8x8 CU was coded.
        bool any8 = false;
        for (int z = 0; z < 256; z += 16)
            any8 |= c.decision.cu_split[0] && c.decision.cu_split[cu_node_index(5, z)] &&
                    c.decision.cu_split[cu_node_index(4, z)];
        if (!any8) {
            EXPECT_EQ(est.ctx[ctx_part_mode], before.ctx[ctx_part_mode]);
        }
    }
}

TEST_F(estimate_fixture, CtusWithNeighboursKeepTheWritersContextsAndItsBitCount)
{
    std::mt19937 rng(11);
    const double per_bin = table_rounding_per_bin();
    for (int iter = 0; iter < 60; iter++) {
        const int slice_type = iter % 3;
        ctu_case c;
        make_ctu(&rng, &c, slice_type, iter & 1);
        // Neighbour CTUs: left column and above row of every map.
        for (int r = 0; r < 10; r++) {
            int left = r * CTU_MAP8_STRIDE + 7;
            c.maps.cu_depth_map[left] = (int8_t)(rng() % 4);
            c.maps.cu_flags_map[left] = (uint8_t)(rng() % 4);
            c.maps.pred_mode_map[left] = (int8_t)(rng() % 2);
        }
        for (int col = 8; col < 16; col++) {
            c.maps.cu_depth_map[col] = (int8_t)(rng() % 4);
            c.maps.cu_flags_map[col] = (uint8_t)(rng() % 4);
        }
        for (int r = 1; r < 17; r++)
            c.maps.intra_mode[r * CTU_MAP4_STRIDE + 15] = (int8_t)((int)(rng() % 36) - 1);
        c.inst.ctu_col = 1;
        c.inst.ctu_row = 1;
        c.inst.pic_width = c.inst.pic_width + 64;
        c.inst.pic_height = c.inst.pic_height + 64;
        ctu_case e = c;
        e.inst.decision = &e.decision;
        e.inst.maps = &e.maps;
        e.inst.intra_modes = e.maps.intra_mode;
        e.inst.motion = &e.motion;
        for (int p = 0; p < 3; p++) {
            e.inst.levels[p] = e.levels[p].data();
            e.inst.sao[p] = &e.sao[p];
        }
        e.inst.sao_merge = c.inst.sao_merge = (int)(rng() % 3);
        cabac_encoder wr;
        start_coder(&wr, slice_type, 30);
        cabac_encoder est = wr;
        const int64_t start = cabac_bits_written(&wr);
        cabac_write_ctu(&c.inst, &wr);
        const int64_t real = cabac_bits_written(&wr) - start;
        if (e.inst.sao_flags)
            rate_est_sao_merge(&e.inst, &est);
        estimate_quadtree(&e.inst, &est, 0, 0, 0, 6);
        expect_same_contexts(est, wr, "neighbours");
        // Every context-coded bin costs at least 7/256 bit in the table, so
        // est_bits / 7 bounds their number and with it the rounding.
        const double diff = std::fabs((double)real - est.est_bits / 256.0);
        EXPECT_LE(diff, 2.0 + per_bin * est.est_bits / 7.0);
        EXPECT_LT(diff, 0.03 * real + 16);
    }
}

}  // namespace

namespace {

// With QP deltas on, the writer sends cu_qp_delta and the CU estimate does
// not (mode decision adds it once per quantisation group): every other
// context and the residual flags still end as the writer leaves them.
TEST_F(estimate_fixture, QpDeltasMoveOnlyTheirOwnContexts)
{
    std::mt19937 rng(31);
    int differing = 0;
    for (int iter = 0; iter < 60; iter++) {
        const int slice_type = iter % 3;
        ctu_case c;
        make_ctu(&rng, &c, slice_type, 0);
        c.pps.cu_qp_delta_enabled = 1;
        c.pps.diff_cu_qp_delta_depth = (int)(rng() % 4);
        c.inst.qg_units = 1 << (2 * (4 - c.pps.diff_cu_qp_delta_depth));
        for (int z = 0; z < 256; z += 4)
            c.maps.cu_qp_map[zorder_to_map8[z >> 2]] = (int8_t)(20 + rng() % 20);
        ctu_case e = c;
        e.inst.decision = &e.decision;
        e.inst.maps = &e.maps;
        e.inst.intra_modes = e.maps.intra_mode;
        e.inst.motion = &e.motion;
        for (int p = 0; p < 3; p++) {
            e.inst.levels[p] = e.levels[p].data();
            e.inst.sao[p] = &e.sao[p];
        }
        cabac_encoder wr;
        start_coder(&wr, slice_type, 30);
        cabac_encoder est = wr;
        cabac_write_ctu(&c.inst, &wr);
        if (e.inst.sao_flags)
            rate_est_sao_merge(&e.inst, &est);
        estimate_quadtree(&e.inst, &est, 0, 0, 0, 6);
        expect_same_contexts(est, wr, "qp delta");
        differing += est.ctx[ctx_cu_qp_delta_abs] != wr.ctx[ctx_cu_qp_delta_abs];
        for (int i = 0; i < CTU_MAP8_SIZE; i++)
            ASSERT_EQ(e.maps.cu_flags_map[i], c.maps.cu_flags_map[i]) << "unit " << i;
    }
    // The writer did send deltas: their contexts moved in the writer only.
    EXPECT_GT(differing, 10);
}

// The parts that mode decision prices separately add up to the whole-CU estimate.
TEST_F(estimate_fixture, CuEstimateEqualsItsPartsPricedSeparately)
{
    std::mt19937 rng(41);
    for (int iter = 0; iter < 60; iter++) {
        const int slice_type = iter % 3;
        ctu_case c;
        make_ctu(&rng, &c, slice_type, iter & 1);
        ctu_case e = c;
        e.inst.decision = &e.decision;
        e.inst.maps = &e.maps;
        e.inst.intra_modes = e.maps.intra_mode;
        e.inst.motion = &e.motion;
        for (int p = 0; p < 3; p++) {
            e.inst.levels[p] = e.levels[p].data();
            e.inst.sao[p] = &e.sao[p];
        }
        cabac_encoder whole, parts;
        start_coder(&whole, slice_type, 30);
        parts = whole;
        // Leaf CUs in coding order, from the decided tree.
        std::vector<std::array<int, 4>> leaves;
        std::function<void(int, int, int, int)> walk = [&](int z, int x, int y, int log2) {
            if (x >= c.inst.pic_width || y >= c.inst.pic_height)
                return;
            if (log2 > 3 && c.decision.cu_split[cu_node_index(log2, z)]) {
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
            rate_est_coding_unit(&c.inst, &whole, l[0], l[1], l[2], l[3]);
            const int unit = zorder_to_map8[l[0] >> 2];
            rate_est_coding_unit_no_tree(&e.inst, &parts, l[0], l[1], l[2], l[3]);
            const bool skipped = e.maps.cu_flags_map[unit] & cu_flag_skip;
            if (!skipped)
                rate_est_transform_tree(&e.inst, &parts, l[0], l[1], l[2], l[3], l[3]);
        }
        EXPECT_EQ(whole.est_bits, parts.est_bits);
        EXPECT_EQ(std::memcmp(whole.ctx, parts.ctx, sizeof(whole.ctx)), 0);
    }
}

}  // namespace
