// Whole-CTU syntax: random but consistent decisions (quadtrees cut by the
// picture edge, intra and inter CUs, transform trees, coded-block flags,
// levels, QP groups, SAO) are written CTU by CTU into one slice and read back
// with a parser of the standard's slice-data syntax.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "analysis/mode_decision.h"
#include "bitstream/syntax_writer.h"
#include "encoder/cpu.h"
#include "support/random_ctu.h"
#include "syntax_reader.h"

namespace {

struct mark_log {
    int cleared = 0;
    int64_t area = 0;
};

void hook_clear(void *owner) { ((mark_log *)owner)->cleared++; }
void hook_mark(void *owner, int32_t, int32_t, int32_t w, int32_t h) { ((mark_log *)owner)->area += w * h; }

struct pic_config : random_ctu_config {
    int wavefront = 0;   // one substream per CTU row, contexts taken after the second CTU above
    unsigned seed = 1;
};

struct picture_harness {
    pic_config cfg;
    std::unique_ptr<random_picture> pic;
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> substreams;   // wavefront rows
    mark_log marks;

    void init(const pic_config &c)
    {
        cfg = c;
        pic = std::make_unique<random_picture>(c, c.seed);
    }

    // ---- writing ----
    void write_all()
    {
        stream.assign(4 << 20, 0);
        cabac_encoder enc{};
        cabac_init_contexts(&enc, cfg.slice_type, cfg.slice_qp, 120);
        cabac_encoder_init(&enc, stream.data(), stream.data() + stream.size());
        int qp_prev = cfg.slice_qp;
        uint8_t synced[cabac_num_ctx];
        const int ctus_x = pic->ctus_x, ctus_y = pic->ctus_y;
        if (cfg.wavefront)
            substreams.assign(ctus_y, std::vector<uint8_t>(1 << 20, 0));
        for (int cy = 0; cy < ctus_y; cy++)
            for (int cx = 0; cx < ctus_x; cx++) {
                int addr = cy * ctus_x + cx;
                if (cfg.wavefront && cx == 0) {
                    if (cy > 0) {
                        cabac_init_contexts(&enc, cfg.slice_type, cfg.slice_qp, 120);
                        if (ctus_x > 1)
                            std::memcpy(enc.rate.ctx, synced, sizeof(synced));
                    }
                    std::vector<uint8_t> &row = substreams[cy];
                    cabac_encoder_init(&enc, row.data(), row.data() + row.size());
                    qp_prev = cfg.slice_qp;
                }
                pic->generate(cx, cy);
                syntax_ctu_context wctx = pic->view(&pic->at(cx, cy), cx, cy);
                wctx.inter = syntax_inter_services{&marks, random_ctu_amvp_hook, hook_clear, hook_mark};
                wctx.qp_prev = qp_prev;
                int64_t before = cabac_bits_written(&enc);
                cabac_write_ctu(&wctx, &enc);
                int64_t bits = cabac_bits_written(&enc) - before;
                EXPECT_LE((int64_t)(wctx.pred_bits + wctx.residual_bits), bits);
                qp_prev = wctx.qp_prev;
                if (cfg.wavefront && cx == 1)
                    std::memcpy(synced, enc.rate.ctx, sizeof(synced));
                if (addr + 1 == (int)pic->ctus.size()) {
                    cabac_flush(&enc);
                } else if (cfg.wavefront && cx + 1 == ctus_x) {
                    cabac_encode_terminate_flush(&enc, 120);
                } else {
                    cabac_encode_terminate0(&enc);
                }
                if (cfg.wavefront && cx + 1 == ctus_x)
                    substreams[cy].resize((size_t)(enc.buf_cur - enc.buf_start));
            }
        stream.resize((size_t)(enc.buf_cur - enc.buf_start));
    }

    // ---- expectations ----
    struct expected {
        std::vector<rd_cu> cus;
        std::vector<rd_pu> pus;
        std::vector<rd_tu> tus;
        std::vector<int> cu_residual;   // flags bit 1 after writing
        std::vector<int> cu_unit;
        std::vector<int> cu_coded;
        std::vector<int> cu_group_qp;
    };

    void exp_pu(random_ctu *t, int cx, int cy, int z, int x, int y, int w, int h, expected *e)
    {
        int unit = zorder_to_map8[z >> 2];
        rd_pu pu{};
        pu.x = 64 * cx + x;
        pu.y = 64 * cy + y;
        pu.w = w;
        pu.h = h;
        pu.ref[0] = pu.ref[1] = -1;
        pu.merge_flag = t->motion.merge_flag_map[unit];
        if (pu.merge_flag) {
            pu.merge_idx = cfg.max_merge > 1 ? t->motion.merge_idx_map[unit] : 0;
        } else {
            int r0 = t->motion.ref_idx[0][unit], r1 = t->motion.ref_idx[1][unit];
            pu.dir = (r0 >= 0 && r1 >= 0 && w + h != 12) ? 3 : (r0 >= 0 || cfg.slice_type != 0) ? 1 : 2;
            for (int l = 0; l < 2; l++)
                if (pu.dir & (1 << l)) {
                    pu.ref[l] = cfg.num_ref[l] > 1 ? t->motion.ref_idx[l][unit] : 0;
                    pu.mv[l] = t->motion.mv[l][unit];
                }
        }
        e->pus.push_back(pu);
    }

    void exp_tt(random_ctu *t, int cx, int cy, int z, int log2, int depth, int chroma_parent, expected *e)
    {
        int node = cu_node_index(log2, z);
        int cbf = t->dec.cbf_flags[node];
        int chroma = log2 > 2 ? cbf & 6 & chroma_parent : chroma_parent;
        int x = ((z & 1) | ((z >> 1) & 2) | ((z >> 2) & 4) | ((z >> 3) & 8)) * 4;
        int y = (((z >> 1) & 1) | ((z >> 2) & 2) | ((z >> 3) & 4) | ((z >> 4) & 8)) * 4;
        if (t->dec.tu_split[node]) {
            int q = 1 << (2 * log2 - 6);
            for (int k = 0; k < 4; k++)
                exp_tt(t, cx, cy, z + k * q, log2 - 1, depth + 1, chroma, e);
            return;
        }
        rd_tu tu{64 * cx + x, 64 * cy + y, log2, cbf & 1, (chroma & 2) != 0, (chroma & 4) != 0};
        e->tus.push_back(tu);
    }

    void exp_cu(random_ctu *t, int cx, int cy, int z, int x, int y, int log2, expected *e)
    {
        int room_x = cfg.width - 64 * cx, room_y = cfg.height - 64 * cy;
        int node = cu_node_index(log2, z);
        int size = 1 << log2;
        if (t->dec.cu_split[node]) {
            int q = 1 << (2 * log2 - 6), h = size / 2;
            exp_cu(t, cx, cy, z, x, y, log2 - 1, e);
            if (x + h < room_x)
                exp_cu(t, cx, cy, z + q, x + h, y, log2 - 1, e);
            if (y + h < room_y)
                exp_cu(t, cx, cy, z + 2 * q, x, y + h, log2 - 1, e);
            if (x + h < room_x && y + h < room_y)
                exp_cu(t, cx, cy, z + 3 * q, x + h, y + h, log2 - 1, e);
            return;
        }
        int unit = zorder_to_map8[z >> 2];
        random_ctu_maps *m = &t->maps;
        rd_cu cu{};
        cu.x = 64 * cx + x;
        cu.y = 64 * cy + y;
        cu.log2 = log2;
        // A merged 2Nx2N CU without residual is sent skipped.
        const bool merged_empty = m->pred_mode_map[unit] != 1 && t->motion.merge_flag_map[unit] &&
                                  t->dec.part_mode[node] == part_2Nx2N && t->dec.cbf_flags[node] == 0;
        cu.skip = t->gen_skip[unit] || merged_empty;
        EXPECT_EQ(m->cu_flags_map[unit] & 1, cu.skip);
        cu.pred_mode = m->pred_mode_map[unit] == 1 ? 1 : 0;
        cu.part = cu.skip ? 0 : (int)t->dec.part_mode[node];
        cu.chroma_idx = -1;
        cu.qp = m->cu_qp_map[unit];
        int residual = 0;
        if (cu.skip) {
            cu.merge_idx = cfg.max_merge > 1 ? t->motion.merge_idx_map[unit] : 0;
            rd_pu pu{};
            pu.x = cu.x;
            pu.y = cu.y;
            pu.w = pu.h = size;
            pu.merge_flag = 1;
            pu.merge_idx = cu.merge_idx;
            e->pus.push_back(pu);
        } else if (cu.pred_mode == 1) {
            for (int k = 0; k < (cu.part == part_NxN ? 4 : 1); k++)
                cu.luma_mode[k] = m->intra_mode[zorder_to_map4[z + k]];
            cu.chroma_idx = m->intra_mode[zorder_to_map4[256 + (z >> 2)]];
            exp_tt(t, cx, cy, z, log2, 0, 6, e);
            residual = t->dec.cbf_flags[node] != 0;
        } else {
            int q = 1 << (2 * log2 - 6), h = size / 2;
            switch (cu.part) {
            case 0: exp_pu(t, cx, cy, z, x, y, size, size, e); break;
            case 1:
                exp_pu(t, cx, cy, z, x, y, size, h, e);
                exp_pu(t, cx, cy, z + 2 * q, x, y + h, size, h, e);
                break;
            case 2:
                exp_pu(t, cx, cy, z, x, y, h, size, e);
                exp_pu(t, cx, cy, z + q, x + h, y, h, size, e);
                break;
            }
            bool merged = t->motion.merge_flag_map[unit] && cu.part == 0;
            if (merged || t->dec.cbf_flags[node]) {
                exp_tt(t, cx, cy, z, log2, 0, 6, e);
                residual = 1;
            }
        }
        e->cus.push_back(cu);
        e->cu_coded.push_back(!cu.skip && t->dec.cbf_flags[node] != 0);
        e->cu_group_qp.push_back(t->qg_qp[cfg.qp_delta ? z >> (2 * (4 - cfg.qp_depth)) : 0]);
        e->cu_residual.push_back(residual);
        e->cu_unit.push_back(unit);
    }

    void verify()
    {
        syntax_reader r;
        rd_params p;
        random_picture_reader_params(cfg, &p);
        if (cfg.wavefront)
            r.start(p, substreams[0].data(), substreams[0].size());
        else
            r.start(p, stream.data(), stream.size());
        static rd_ctu got;
        std_context synced[cabac_num_ctx];
        const int ctus_x = pic->ctus_x, ctus_y = pic->ctus_y;
        for (int cy = 0; cy < ctus_y; cy++)
            for (int cx = 0; cx < ctus_x; cx++) {
                int addr = cy * ctus_x + cx;
                random_ctu *t = &pic->at(cx, cy);
                if (cfg.wavefront && cx == 0 && cy > 0) {
                    // a new substream: the decoder restarts at its entry point
                    std_context keep[cabac_num_ctx];
                    std::memcpy(keep, synced, sizeof(keep));
                    std::vector<int> ct = r.ct_depth, sk = r.skip, pm = r.pred_mode, im = r.intra_mode,
                                     qy = r.qp_y;
                    std::vector<sao_param> sp[3] = {r.sao_pic[0], r.sao_pic[1], r.sao_pic[2]};
                    r.start(p, substreams[cy].data(), substreams[cy].size());
                    r.ct_depth = ct;
                    r.skip = sk;
                    r.pred_mode = pm;
                    r.intra_mode = im;
                    r.qp_y = qy;
                    for (int c = 0; c < 3; c++)
                        r.sao_pic[c] = sp[c];
                    if (ctus_x > 1)
                        std::memcpy(r.ctx, keep, sizeof(keep));
                }
                r.read_ctu(cx, cy, &got);
                if (cfg.wavefront && cx == 1)
                    std::memcpy(synced, r.ctx, sizeof(synced));
                if (cfg.wavefront && cx + 1 == ctus_x && cy + 1 < ctus_y) {
                    ASSERT_EQ(got.end_of_slice, 0);
                    ASSERT_EQ(r.d.terminate(), 1);   // end_of_subset_one_bit
                    // byte_alignment(): the stop bit was the last bit read, zeros follow
                    ASSERT_FALSE(r.d.overrun);
                    EXPECT_EQ((r.d.pos + 7) / 8, r.d.size);
                    EXPECT_EQ((r.d.data[(r.d.pos - 1) / 8] >> (7 - (r.d.pos - 1) % 8)) & 1, 1);
                    for (size_t b = r.d.pos; b < r.d.size * 8; b++)
                        ASSERT_EQ((r.d.data[b / 8] >> (7 - b % 8)) & 1, 0);
                }
                SCOPED_TRACE(testing::Message() << "CTU " << cx << "," << cy);
                expected e;
                exp_cu(t, cx, cy, 0, 0, 0, 6, &e);
                ASSERT_EQ(got.cus.size(), e.cus.size());
                for (size_t i = 0; i < e.cus.size(); i++) {
                    const rd_cu &a = got.cus[i], &b = e.cus[i];
                    SCOPED_TRACE(testing::Message() << "CU " << i << " at " << b.x << "," << b.y << " size "
                                                    << (1 << b.log2));
                    ASSERT_EQ(a.x, b.x);
                    ASSERT_EQ(a.y, b.y);
                    ASSERT_EQ(a.log2, b.log2);
                    ASSERT_EQ(a.skip, b.skip);
                    ASSERT_EQ(a.pred_mode, b.pred_mode);
                    if (!b.skip) {
                        ASSERT_EQ(a.part, b.part);
                    }
                    if (b.pred_mode == 1) {
                        for (int k = 0; k < (b.part == part_NxN ? 4 : 1); k++)
                            ASSERT_EQ(a.luma_mode[k], b.luma_mode[k]) << k;
                        ASSERT_EQ(a.chroma_idx, b.chroma_idx);
                    }
                    ASSERT_EQ(a.qp, b.qp);
                    // A CU with coded residual carries its group's QP, whichever CU sent the delta.
                    if (cfg.qp_delta && e.cu_coded[i]) {
                        ASSERT_EQ(a.qp, e.cu_group_qp[i]);
                    }
                    ASSERT_EQ((t->maps.cu_flags_map[e.cu_unit[i]] >> 1) & 1, e.cu_residual[i]);
                }
                ASSERT_EQ(got.pus.size(), e.pus.size());
                for (size_t i = 0; i < e.pus.size(); i++) {
                    const rd_pu &a = got.pus[i], &b = e.pus[i];
                    SCOPED_TRACE(testing::Message() << "PU " << i << " at " << b.x << "," << b.y);
                    ASSERT_EQ(a.x, b.x);
                    ASSERT_EQ(a.y, b.y);
                    ASSERT_EQ(a.w, b.w);
                    ASSERT_EQ(a.h, b.h);
                    ASSERT_EQ(a.merge_flag, b.merge_flag);
                    if (b.merge_flag) {
                        ASSERT_EQ(a.merge_idx, b.merge_idx);
                        continue;
                    }
                    ASSERT_EQ(a.dir, b.dir);
                    for (int l = 0; l < 2; l++)
                        if (b.dir & (1 << l)) {
                            ASSERT_EQ(a.ref[l], b.ref[l]) << l;
                            ASSERT_EQ(a.mv[l], b.mv[l]) << l;
                        }
                }
                ASSERT_EQ(got.tus.size(), e.tus.size());
                for (size_t i = 0; i < e.tus.size(); i++) {
                    const rd_tu &a = got.tus[i], &b = e.tus[i];
                    SCOPED_TRACE(testing::Message() << "TU " << i << " at " << b.x << "," << b.y);
                    ASSERT_EQ(a.x, b.x);
                    ASSERT_EQ(a.y, b.y);
                    ASSERT_EQ(a.log2, b.log2);
                    ASSERT_EQ(a.cbf_luma, b.cbf_luma);
                    ASSERT_EQ(a.cbf_cb, b.cbf_cb);
                    ASSERT_EQ(a.cbf_cr, b.cbf_cr);
                }
                for (int pl = 0; pl < 3; pl++)
                    ASSERT_EQ(0, std::memcmp(got.levels[pl], t->levels[pl].data(),
                                             t->levels[pl].size() * sizeof(int16_t)))
                        << "plane " << pl;
                for (int pl = 0; pl < 3; pl++) {
                    const sao_param &a = got.sao[pl], &b = pic->sao[pl][addr];
                    ASSERT_EQ(a.type, b.type) << pl;
                    if (b.type != SAO_TYPE_OFF) {
                        for (int i = 0; i < 4; i++)
                            ASSERT_EQ(a.offset[i], b.offset[i]) << pl << " " << i;
                    }
                    if (b.type == SAO_TYPE_BAND) {
                        ASSERT_EQ(a.band_position, b.band_position);
                    }
                }
                ASSERT_EQ(got.end_of_slice, addr + 1 == (int)pic->ctus.size());
            }
        EXPECT_FALSE(r.d.overrun);
        EXPECT_EQ(marks.cleared, (int)pic->ctus.size());
        EXPECT_EQ(marks.area, pic->coded_area);
    }
};

void run_picture(const pic_config &c)
{
    picture_harness h;
    h.init(c);
    h.write_all();
    h.verify();
}

struct shape {
    int w, h;
};
const shape shapes[] = {{64, 64}, {200, 120}, {136, 72}, {8, 8}, {72, 200}};

TEST(SyntaxWriterRoundTrip, IntraPicturesOfManyShapesReadBack)
{
    unsigned seed = 1;
    for (const shape &s : shapes)
        for (int rep = 0; rep < 6; rep++) {
            pic_config c;
            c.width = s.w;
            c.height = s.h;
            c.slice_qp = 12 + 10 * (rep % 4);
            c.seed = seed++;
            c.tu_depth_intra = 1 + rep % 3;
            SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " seed " << c.seed);
            run_picture(c);
            if (HasFatalFailure())
                return;
        }
}

TEST(SyntaxWriterRoundTrip, QpDeltaGroupsOfEveryDepthGiveTheDecoderTheWrittenQps)
{
    unsigned seed = 100;
    for (int depth = 0; depth <= 3; depth++)
        for (int slice_type : {2, 1, 0})
            for (int rep = 0; rep < 3; rep++) {
                pic_config c;
                c.width = 200;
                c.height = 120;
                c.slice_type = slice_type;
                c.qp_delta = 1;
                c.qp_depth = depth;
                c.seed = seed++;
                c.slice_qp = 5 + 17 * rep;
                SCOPED_TRACE(testing::Message() << "depth " << depth << " slice " << slice_type << " seed "
                                                << c.seed);
                run_picture(c);
                if (HasFatalFailure())
                    return;
            }
}

TEST(SyntaxWriterRoundTrip, SignHidingAndSaoOfEveryPlaneMaskReadBack)
{
    unsigned seed = 300;
    for (int sao = 0; sao < 4; sao++)
        for (int sdh = 0; sdh < 2; sdh++) {
            pic_config c;
            c.width = 200;
            c.height = 136;
            c.sao_flags = sao;
            c.sdh = sdh;
            c.seed = seed++;
            c.slice_type = sao & 1 ? 2 : 1;
            SCOPED_TRACE(testing::Message() << "sao " << sao << " sdh " << sdh << " seed " << c.seed);
            run_picture(c);
            if (HasFatalFailure())
                return;
        }
}

TEST(SyntaxWriterRoundTrip, InterPicturesWithMergeSkipReferencesAndMotionReadBack)
{
    unsigned seed = 500;
    for (int slice_type : {1, 0})
        for (int rep = 0; rep < 8; rep++) {
            pic_config c;
            c.width = rep & 1 ? 200 : 128;
            c.height = rep & 2 ? 120 : 64;
            c.slice_type = slice_type;
            c.max_merge = 1 + rep % 5;
            c.num_ref[0] = 1 + rep % 4;
            c.num_ref[1] = slice_type == 0 ? 1 + (rep / 2) % 3 : 1;
            c.tu_depth_inter = rep % 3;   // 0 exercises the inferred inter split
            c.sdh = rep & 1;
            c.sao_flags = rep & 3;
            c.seed = seed++;
            SCOPED_TRACE(testing::Message() << "slice " << slice_type << " rep " << rep);
            run_picture(c);
            if (HasFatalFailure())
                return;
        }
}

TEST(SyntaxWriterRoundTrip, WavefrontRowsEndWithEndOfSubsetBitsAndReadBackFromEntryPoints)
{
    unsigned seed = 700;
    const shape wave_shapes[] = {{200, 136}, {64, 200}, {136, 72}};
    for (const shape &sh : wave_shapes)
        for (int slice_type : {2, 1}) {
            pic_config c;
            c.width = sh.w;
            c.height = sh.h;
            c.slice_type = slice_type;
            c.wavefront = 1;
            c.qp_delta = 1;
            c.sao_flags = 3;
            c.seed = seed++;
            SCOPED_TRACE(testing::Message() << sh.w << "x" << sh.h << " slice " << slice_type);
            run_picture(c);
            if (HasFatalFailure())
                return;
        }
}

// ---- specific syntax ----

struct bin_fixture : ::testing::Test {
    std::vector<uint8_t> buf = std::vector<uint8_t>(4096);
    cabac_encoder enc{};
    syntax_reader r;
    void begin(int slice_type = 0)
    {
        cabac_init_contexts(&enc, slice_type, 30, 120);
        cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    }
    void read(int slice_type = 0)
    {
        cabac_flush(&enc);
        rd_params p;
        p.slice_type = slice_type;
        p.slice_qp = 30;
        r.start(p, buf.data(), (size_t)(enc.buf_cur - enc.buf_start));
    }
};

using BinFixture = bin_fixture;

TEST_F(BinFixture, MergeIndexIsTruncatedAtTheCandidateCount)
{
    begin();
    cabac_write_merge_idx(&enc, 4, 5);
    cabac_write_merge_idx(&enc, 1, 5);
    cabac_write_merge_idx(&enc, 3, 1);   // nothing with one candidate
    cabac_write_merge_idx(&enc, 0, 2);
    read();
    EXPECT_EQ(r.bin(ctx_merge_idx), 1);
    EXPECT_EQ(r.byp_bits(3), 7u);   // three ones, no terminating zero
    EXPECT_EQ(r.bin(ctx_merge_idx), 1);
    EXPECT_EQ(r.byp(), 0);
    EXPECT_EQ(r.bin(ctx_merge_idx), 0);
    EXPECT_EQ(r.d.terminate(), 1);
}

TEST_F(BinFixture, ReferenceIndexBinsFollowTheActiveCount)
{
    begin();
    cabac_write_ref_idx(&enc, 1, 2);
    cabac_write_ref_idx(&enc, 1, 3);
    cabac_write_ref_idx(&enc, 0, 1);
    for (int n = 2; n <= 5; n++)
        for (int v = 0; v < n; v++)
            cabac_write_ref_idx(&enc, v, n);
    read();
    EXPECT_EQ(r.bin(ctx_ref_idx), 1);   // "1"
    EXPECT_EQ(r.bin(ctx_ref_idx), 1);   // "10"
    EXPECT_EQ(r.bin(ctx_ref_idx + 1), 0);
    for (int n = 2; n <= 5; n++)
        for (int v = 0; v < n; v++)
            EXPECT_EQ(r.read_ref_idx(n), v) << n;
}

TEST_F(BinFixture, MotionVectorDifferencesReadBack)
{
    begin();
    const int16_t cases[][2] = {{0, -1}, {0, 0}, {1, 1}, {-2, 2}, {300, -4000}, {-32768, 32767}, {3, 0}};
    for (auto &c : cases)
        cabac_write_mvd(&enc, c);
    read();
    // (0, -1): greater0 flags 0 and 1, greater1 for y 0, sign 1
    EXPECT_EQ(r.bin(ctx_abs_mvd_greater0_flag), 0);
    EXPECT_EQ(r.bin(ctx_abs_mvd_greater0_flag), 1);
    EXPECT_EQ(r.bin(ctx_abs_mvd_greater1_flag), 0);
    EXPECT_EQ(r.byp(), 1);
    for (size_t i = 1; i < sizeof(cases) / sizeof(cases[0]); i++) {
        int mvd[2];
        r.read_mvd(mvd);
        EXPECT_EQ(mvd[0], cases[i][0]);
        EXPECT_EQ(mvd[1], cases[i][1]);
    }
}

TEST_F(BinFixture, SaoOffsetsAndClassesFollowThePlane)
{
    begin(2);
    sao_param edge{2, 0, {3, 7, -1, 0}};
    cabac_write_sao_params(&enc, &edge, 0);
    cabac_write_sao_params(&enc, &edge, 2);   // Cr: offsets only, no type, no class
    sao_param band{4, 29, {-7, 0, 5, 1}};
    cabac_write_sao_params(&enc, &band, 1);
    read(2);
    EXPECT_EQ(r.bin(ctx_sao_type_idx), 1);
    EXPECT_EQ(r.byp(), 1);                  // edge
    EXPECT_EQ(r.byp_bits(4), 0xEu);         // 3: "1110"
    EXPECT_EQ(r.byp_bits(7), 0x7Fu);        // 7: seven ones, no zero
    EXPECT_EQ(r.byp_bits(3), 0x4u);         // 1: "10", then 0: "0"
    EXPECT_EQ(r.byp_bits(2), 2u);           // class
    EXPECT_EQ(r.byp_bits(4), 0xEu);         // Cr: 3
    EXPECT_EQ(r.byp_bits(7), 0x7Fu);
    EXPECT_EQ(r.byp_bits(3), 0x4u);
    EXPECT_EQ(r.bin(ctx_sao_type_idx), 1);  // Cb band
    EXPECT_EQ(r.byp(), 0);
    EXPECT_EQ(r.byp_bits(7), 0x7Fu);        // |-7|
    EXPECT_EQ(r.byp(), 0);                  // 0
    EXPECT_EQ(r.byp_bits(6), 0x3Eu);        // 5
    EXPECT_EQ(r.byp_bits(2), 2u);           // 1
    EXPECT_EQ(r.byp_bits(3), 0x4u);         // signs of -7, 5, 1
    EXPECT_EQ(r.byp_bits(5), 29u);
}

TEST(SyntaxWriterCtu, FirstCtuSendsNoSaoMergeFlagsAndAnUnsignallableMergeFallsBack)
{
    // A CTU in row 0 and column 0 whose decision claims an up merge: no merge
    // flag can be sent, so its own records are.
    pic_config c;
    picture_harness h;
    h.init(c);
    sao_param luma{SAO_TYPE_BAND, 3, {1, -2, 0, 4}};
    h.pic->sao[0][0] = luma;
    std::vector<uint8_t> buf(1024);
    cabac_encoder enc{};
    cabac_init_contexts(&enc, 2, 30, 120);
    cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    syntax_ctu_context ctx{};
    for (int p = 0; p < 3; p++)
        ctx.sao[p] = h.pic->sao[p].data();
    ctx.sao_flags = 1;
    ctx.sao_merge = 2;
    cabac_write_sao(&ctx, &enc);
    cabac_flush(&enc);
    syntax_reader r;
    rd_params p;
    p.slice_qp = 30;
    p.sao_luma = 1;
    r.start(p, buf.data(), (size_t)(enc.buf_cur - enc.buf_start));
    rd_ctu got;
    r.out = &got;
    r.ctb_x = r.ctb_y = 0;
    r.read_sao();
    EXPECT_EQ(got.sao[0].type, SAO_TYPE_BAND);
    EXPECT_EQ(got.sao[0].band_position, 3);
    EXPECT_EQ(got.sao[0].offset[3], 4);
    EXPECT_EQ(r.d.terminate(), 1);
}

TEST(SyntaxWriterCtu, MostProbableModesFollowTheStandardCases)
{
    random_ctu_maps maps;
    std::memset(&maps, 0xff, sizeof(maps));
    syntax_ctu_context ctx{};
    ctx.maps = &maps;
    ctx.intra_modes = maps.intra_mode;
    int out[3];
    // top-left 4x4 of the CTU: both neighbours unavailable -> DC, DC
    intra_mpm_list(&ctx, 0, out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[2], 26);
    // unit 1's left is unit 0
    maps.intra_mode[zorder_to_map4[0]] = 2;
    intra_mpm_list(&ctx, 1, out);   // left 2, above DC (row above the CTU)
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[2], 0);
    // unit 3: left unit 2, above unit 1
    maps.intra_mode[zorder_to_map4[1]] = 34;
    maps.intra_mode[zorder_to_map4[2]] = 34;
    intra_mpm_list(&ctx, 3, out);
    EXPECT_EQ(out[0], 34);
    EXPECT_EQ(out[1], 2 + ((34 + 29) % 32));
    EXPECT_EQ(out[2], 2 + ((34 - 1) % 32));
    maps.intra_mode[zorder_to_map4[2]] = 0;   // left planar, above 34
    intra_mpm_list(&ctx, 3, out);
    EXPECT_EQ(out[2], 1);
    maps.intra_mode[zorder_to_map4[1]] = 1;   // left planar, above DC
    intra_mpm_list(&ctx, 3, out);
    EXPECT_EQ(out[2], 26);
}

}  // namespace

namespace {

int32_t tie_amvp(void *, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, uint32_t out[2])
{
    out[0] = 0;          // (0, 0)
    out[1] = 4;          // (4, 0)
    return 2;
}

TEST(SyntaxWriterCtu, EquallyDistantPredictorsKeepTheFirst)
{
    // mv (2, 0) is 2 away from both predictors: the first one is kept, and
    // (3, 0) chooses the second.
    static ctu_cu_maps maps;
    static ctu_motion_grid motion;
    std::memset(&maps, 0, sizeof(maps));
    std::memset(&motion, 0xff, sizeof(motion));
    std::memset(motion.merge_flag_map, 0, sizeof(motion.merge_flag_map));
    syntax_ctu_context ctx{};
    ctx.maps = &maps;
    ctx.motion = &motion;
    ctx.slice_type = 1;
    ctx.num_ref_idx_active[0] = 1;
    ctx.inter = syntax_inter_services{nullptr, tie_amvp, nullptr, nullptr};
    const int unit = zorder_to_map8[0];
    motion.ref_idx[0][unit] = 0;
    std::vector<uint8_t> buf(256);
    cabac_encoder enc{};
    cabac_init_contexts(&enc, 1, 30, 120);
    cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    motion.mv[0][unit] = 2;
    cabac_write_prediction_unit(&ctx, &enc, 0, 0, 0, 16, 16, 2);
    motion.mv[0][unit] = 3;
    cabac_write_prediction_unit(&ctx, &enc, 0, 0, 0, 16, 16, 2);
    cabac_flush(&enc);
    syntax_reader r;
    rd_params p;
    p.slice_type = 1;
    p.slice_qp = 30;
    r.start(p, buf.data(), (size_t)(enc.buf_cur - enc.buf_start));
    int mvd[2];
    EXPECT_EQ(r.bin(ctx_merge_flag), 0);
    r.read_mvd(mvd);
    EXPECT_EQ(mvd[0], 2);
    EXPECT_EQ(mvd[1], 0);
    EXPECT_EQ(r.bin(ctx_mvp_flag), 0);
    EXPECT_EQ(r.bin(ctx_merge_flag), 0);
    r.read_mvd(mvd);
    EXPECT_EQ(mvd[0], -1);
    EXPECT_EQ(r.bin(ctx_mvp_flag), 1);
}

}  // namespace
