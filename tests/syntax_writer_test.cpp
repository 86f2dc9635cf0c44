// Whole-CTU syntax: random but consistent decisions (quadtrees cut by the
// picture edge, intra and inter CUs, transform trees, coded-block flags,
// levels, QP groups, SAO) are written CTU by CTU into one slice and read back
// with a parser of the standard's slice-data syntax.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "analysis/mode_decision.h"
#include "bitstream/syntax_writer.h"
#include "encoder/cpu.h"
#include "syntax_reader.h"

namespace {

int fake_amvp(int z, int x, int y, int w, int h, int depth, int list, uint32_t out[2])
{
    int count = 1 + ((z + list + depth) & 1);
    for (int i = 0; i < count; i++) {
        int px = (x * 3 - list * 5 + z + i * 17 + w) % 97 - 48;
        int py = (y * 2 + 7 - i * 11 + h) % 61 - 30;
        out[i] = (uint32_t)(uint16_t)px | ((uint32_t)(uint16_t)py << 16);
    }
    return count;
}

struct mark_log {
    int cleared = 0;
    int64_t area = 0;
};

int32_t hook_amvp(void *, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h, int32_t depth,
                  int32_t list, uint32_t out[2])
{
    return fake_amvp(z, x, y, w, h, depth, list, out);
}
void hook_clear(void *owner) { ((mark_log *)owner)->cleared++; }
void hook_mark(void *owner, int32_t, int32_t, int32_t w, int32_t h) { ((mark_log *)owner)->area += w * h; }

struct pic_config {
    int width = 64, height = 64;
    int slice_type = 2;
    int slice_qp = 30;
    int sao_flags = 0;
    int qp_delta = 0, qp_depth = 0;
    int sdh = 0;
    int max_merge = 5;
    int num_ref[2] = {1, 1};
    int tu_depth_inter = 1, tu_depth_intra = 1;
    int wavefront = 0;   // one substream per CTU row, contexts taken after the second CTU above
    unsigned seed = 1;
};

// The CU maps plus the per-4x4 intra modes the writer reads beside them.
struct truth_maps : ctu_cu_maps {
    int8_t intra_mode[CTU_MAP4_SIZE];
};

struct ctu_truth {
    cu_decision_arrays dec;
    truth_maps maps;
    ctu_motion_grid motion;
    std::vector<int16_t> levels[3];
    int qg_qp[256];
    uint8_t gen_skip[CTU_MAP8_SIZE];   // the skip flags as decided, before writing
};

struct picture_harness {
    pic_config cfg;
    std::mt19937 rng;
    scan_tables scans{};
    metric_table metrics{};
    sps_params sps{};
    pps_params pps{};
    int ctus_x, ctus_y;
    std::vector<ctu_truth> ctus;
    std::vector<sao_param> sao[3];
    std::vector<int> sao_merge;
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> substreams;   // wavefront rows
    mark_log marks;
    int64_t area_expected = 0;

    int rnd(int n) { return (int)(rng() % (unsigned)n); }
    bool chance(int percent) { return rnd(100) < percent; }

    void init(const pic_config &c)
    {
        cfg = c;
        rng.seed(c.seed);
        ASSERT_EQ(scan_tables_init(&scans), 0);
        metric_table_init(cpu_detect(), &metrics, 5);
        sps.log2_min_cb_size = 3;
        sps.log2_ctb_size = 6;
        sps.log2_min_tb_size = 2;
        sps.log2_max_tb_size = 5;
        sps.max_tu_depth_inter = c.tu_depth_inter;
        sps.max_tu_depth_intra = c.tu_depth_intra;
        pps.cu_qp_delta_enabled = c.qp_delta;
        pps.diff_cu_qp_delta_depth = c.qp_delta ? c.qp_depth : -1;
        pps.sign_data_hiding = c.sdh;
        ctus_x = (c.width + 63) / 64;
        ctus_y = (c.height + 63) / 64;
        ctus.resize(ctus_x * ctus_y);
        for (int p = 0; p < 3; p++)
            sao[p].assign(ctus.size(), sao_param{SAO_TYPE_OFF, 0, {0, 0, 0, 0}});
        sao_merge.assign(ctus.size(), 0);
    }
    ~picture_harness() { scan_tables_free(&scans); }

    // ---- borders, as the CTU set-up fills them ----
    void load_borders(int cx, int cy, truth_maps *m)
    {
        std::memset(m, 0, sizeof(*m));
        std::memset(m->cu_depth_map, 0xff, sizeof(m->cu_depth_map));
        std::memset(m->cu_qp_map, 0xff, sizeof(m->cu_qp_map));
        std::memset(m->pred_mode_map, 0xff, sizeof(m->pred_mode_map));
        std::memset(m->intra_mode, 0xff, sizeof(m->intra_mode));
        if (cx > 0) {
            const truth_maps &l = ctus[cy * ctus_x + cx - 1].maps;
            for (int r = 1; r <= 8; r++) {
                int d = r * CTU_MAP8_STRIDE + 7, s = r * CTU_MAP8_STRIDE + 15;
                m->cu_flags_map[d] = l.cu_flags_map[s];
                m->cu_depth_map[d] = l.cu_depth_map[s];
                m->cu_qp_map[d] = l.cu_qp_map[s];
                m->pred_mode_map[d] = l.pred_mode_map[s];
            }
            for (int r = 1; r <= 16; r++)
                m->intra_mode[r * CTU_MAP4_STRIDE + 15] = l.intra_mode[r * CTU_MAP4_STRIDE + 31];
        }
        if (cy > 0) {
            const truth_maps &a = ctus[(cy - 1) * ctus_x + cx].maps;
            for (int c = 8; c < 16; c++) {
                m->cu_flags_map[c] = a.cu_flags_map[8 * CTU_MAP8_STRIDE + c];
                m->cu_depth_map[c] = a.cu_depth_map[8 * CTU_MAP8_STRIDE + c];
                m->cu_qp_map[c] = a.cu_qp_map[8 * CTU_MAP8_STRIDE + c];
                m->pred_mode_map[c] = a.pred_mode_map[8 * CTU_MAP8_STRIDE + c];
            }
        }
    }

    // ---- random decisions ----
    void fill8(void *map, int unit, int units, uint8_t v)
    {
        map_fill_block((uint8_t *)map + unit, units, units, 1, v);
    }
    void fill4_modes(truth_maps *m, int z, int log2, int8_t v)
    {
        int n = 1 << (2 * (log2 - 2));
        for (int i = 0; i < n; i++)
            m->intra_mode[zorder_to_map4[z + i]] = v;
    }

    void gen_quadtree(int cx, int cy, ctu_truth *t, int z, int x, int y, int log2)
    {
        int size = 1 << log2;
        int room_x = cfg.width - 64 * cx, room_y = cfg.height - 64 * cy;
        int node = cu_node_index(log2, z);
        int split;
        if (x + size > room_x || y + size > room_y)
            split = 1;
        else if (log2 == 3)
            split = 0;
        else
            split = chance(log2 == 6 ? 80 : log2 == 5 ? 60 : 45);
        t->dec.cu_split[node] = split;
        if (!split) {
            gen_cu(t, z, x, y, log2);
            area_expected += size * size;
            return;
        }
        int q = 1 << (2 * log2 - 6), h = size / 2;
        gen_quadtree(cx, cy, t, z, x, y, log2 - 1);
        if (x + h < room_x)
            gen_quadtree(cx, cy, t, z + q, x + h, y, log2 - 1);
        if (y + h < room_y)
            gen_quadtree(cx, cy, t, z + 2 * q, x, y + h, log2 - 1);
        if (x + h < room_x && y + h < room_y)
            gen_quadtree(cx, cy, t, z + 3 * q, x + h, y + h, log2 - 1);
    }

    void gen_motion(ctu_truth *t, int unit, int units_w, int units_h, bool small)
    {
        ctu_motion_grid *g = &t->motion;
        int merge = chance(30);
        int idx = rnd(cfg.max_merge);
        int r[2] = {rnd(cfg.num_ref[0]), -1};
        if (cfg.slice_type == 0) {
            int dir = small ? 1 + rnd(2) : 1 + rnd(3);
            r[0] = dir & 1 ? rnd(cfg.num_ref[0]) : -1;
            r[1] = dir & 2 ? rnd(cfg.num_ref[1]) : -1;
        }
        uint32_t mv[2];
        for (int l = 0; l < 2; l++) {
            int range = chance(10) ? 4000 : 300;
            int mx = rnd(2 * range + 1) - range, my = rnd(2 * range + 1) - range;
            mv[l] = (uint32_t)(uint16_t)mx | ((uint32_t)(uint16_t)my << 16);
        }
        for (int j = 0; j < units_h; j++)
            for (int i = 0; i < units_w; i++) {
                int u = unit + j * CTU_MAP8_STRIDE + i;
                t->motion.merge_flag_map[u] = (uint8_t)merge;
                t->motion.merge_idx_map[u] = (int8_t)idx;
                for (int l = 0; l < 2; l++) {
                    g->ref_idx[l][u] = (int8_t)r[l];
                    g->mv[l][u] = mv[l];
                }
            }
    }

    void gen_cu(ctu_truth *t, int z, int x, int y, int log2)
    {
        (void)x;
        (void)y;
        const int node = cu_node_index(log2, z);
        const int unit = zorder_to_map8[z >> 2];
        const int units = 1 << (log2 - 3);
        truth_maps *m = &t->maps;
        const int intra = cfg.slice_type == 2 || chance(35);
        const int skip = !intra && chance(30);
        fill8(m->cu_depth_map, unit, units, (uint8_t)(6 - log2));
        fill8(m->pred_mode_map, unit, units, (uint8_t)intra);
        fill8(m->cu_flags_map, unit, units, (uint8_t)skip);
        fill8(t->gen_skip, unit, units, (uint8_t)skip);
        int qg = cfg.qp_delta ? z >> (2 * (4 - cfg.qp_depth)) : 0;
        fill8(m->cu_qp_map, unit, units, (uint8_t)(cfg.qp_delta ? t->qg_qp[qg] : cfg.slice_qp));
        t->dec.part_mode[node] = 0;
        t->dec.cbf_flags[node] = 0;
        if (!intra)
            fill4_modes(m, z, log2, -1);
        if (skip) {
            fill8(t->motion.merge_flag_map, unit, units, 1);
            fill8(t->motion.merge_idx_map, unit, units, (uint8_t)rnd(cfg.max_merge));
            return;
        }
        if (intra) {
            int part = log2 == 3 && chance(40) ? part_NxN : part_2Nx2N;
            t->dec.part_mode[node] = (uint32_t)part;
            if (part == part_NxN) {
                for (int k = 0; k < 4; k++)
                    m->intra_mode[zorder_to_map4[z + k]] = (int8_t)rnd(35);
            } else {
                // Favour modes that hit the neighbours' MPMs now and then.
                int mode = chance(30) ? (chance(50) ? 0 : 1) : rnd(35);
                fill4_modes(m, z, log2, (int8_t)mode);
            }
            int chroma = rnd(5);
            for (int i = 0; i < units * units; i++)
                m->intra_mode[zorder_to_map4[256 + (z >> 2) + i]] = (int8_t)chroma;
            fill8(t->motion.merge_flag_map, unit, units, 0);
        } else {
            int part = rnd(3);
            t->dec.part_mode[node] = (uint32_t)part;
            int h = units / 2;
            bool small = log2 == 3 && part != part_2Nx2N;
            if (part == part_2Nx2N || log2 == 3) {
                gen_motion(t, unit, units, units, small);
            } else if (part == part_2NxN) {
                gen_motion(t, unit, units, h, false);
                gen_motion(t, unit + h * CTU_MAP8_STRIDE, units, h, false);
            } else {
                gen_motion(t, unit, h, units, false);
                gen_motion(t, unit + h, h, units, false);
            }
        }
        tt_intra = intra;
        tt_part = (int)t->dec.part_mode[node];
        tt_merged = !intra && t->motion.merge_flag_map[unit] && tt_part == part_2Nx2N;
        tt_cu_z = z;
        tt_log2_cu = log2;
        // now and then a merged 2Nx2N CU that codes no residual at all
        tt_zero = tt_merged && chance(30);
        t->dec.cbf_flags[node] = gen_tt(t, z, log2, 0, cbf_cb_bit | cbf_cr_bit);
    }

    int tt_intra, tt_part, tt_merged, tt_cu_z, tt_log2_cu, tt_zero = 0;

    int luma_mode_at(ctu_truth *t, int z) { return t->maps.intra_mode[zorder_to_map4[z]]; }
    int chroma_mode(ctu_truth *t, int luma_mode)
    {
        int idx = t->maps.intra_mode[zorder_to_map4[256 + (tt_cu_z >> 2)]];
        if (idx == 4)
            return luma_mode;
        int m = chroma_mode_table[idx];
        return m == luma_mode ? 34 : m;
    }

    void gen_block(ctu_truth *t, int plane, int z, int log2, int scan)
    {
        int n = 1 << log2;
        int16_t *dst = plane == 0 ? t->levels[0].data() + z * 16 : t->levels[plane].data() + (z >> 2) * 16;
        std::memset(dst, 0, sizeof(int16_t) * n * n);
        int extent = chance(50) ? n : 1 + rnd(n);
        int density = 5 + rnd(60);
        for (int yy = 0; yy < extent; yy++)
            for (int xx = 0; xx < extent; xx++)
                if (chance(density)) {
                    int r = rnd(100);
                    int a = r < 60 ? 1 : r < 80 ? 2 : r < 93 ? 3 + rnd(10) : 20 + rnd(3000);
                    dst[yy * n + xx] = (int16_t)(chance(50) ? -a : a);
                }
        bool any = false;
        for (int i = 0; i < n * n; i++)
            any |= dst[i] != 0;
        if (!any)
            dst[rnd(n * n)] = (int16_t)(1 + rnd(5));
        if (cfg.sdh) {
            const uint16_t *order = scan_order(&scans, log2, scan);
            for (int g = 0; g < n * n / 16; g++) {
                int first = -1, last = -1, sum = 0;
                for (int k = 0; k < 16; k++) {
                    int v = dst[order[16 * g + k]];
                    if (!v)
                        continue;
                    if (first < 0)
                        first = k;
                    last = k;
                    sum += v < 0 ? -v : v;
                }
                if (first >= 0 && last - first >= 4) {
                    int16_t &c = dst[order[16 * g + first]];
                    int a = c < 0 ? -c : c;
                    c = (int16_t)((sum & 1) ? -a : a);
                }
            }
        }
    }

    // Returns the node's coded-block byte.
    int gen_tt(ctu_truth *t, int z, int log2, int depth, int parent_chroma)
    {
        const int node = cu_node_index(log2, z);
        const int intra_split = tt_intra && tt_part == part_NxN;
        const int max_depth = tt_intra ? cfg.tu_depth_intra + intra_split : cfg.tu_depth_inter;
        int split;
        if (log2 <= 5 && log2 > 2 && depth < max_depth && !(intra_split && depth == 0))
            split = chance(log2 == 5 ? 60 : 40);
        else
            split = log2 > 5 || (intra_split && depth == 0) ||
                    (cfg.tu_depth_inter == 0 && !tt_intra && tt_part != part_2Nx2N && depth == 0);
        t->dec.tu_split[node] = split;
        int chroma = 0;
        if (tt_zero)
            parent_chroma = 0;
        if (log2 > 2) {
            if ((parent_chroma & cbf_cb_bit) && chance(55))
                chroma |= cbf_cb_bit;
            if ((parent_chroma & cbf_cr_bit) && chance(55))
                chroma |= cbf_cr_bit;
        }
        if (split) {
            int q = 1 << (2 * log2 - 6), luma = 0;
            for (int k = 0; k < 4; k++)
                luma |= gen_tt(t, z + k * q, log2 - 1, depth + 1, chroma) & cbf_luma_bit;
            if (log2 == 3) {
                // the fourth 4x4 node carries the 8x8's chroma flags
                t->dec.cbf_flags[cu_node_index(2, z + 3)] |= (uint8_t)chroma;
                int cm = tt_intra ? chroma_mode(t, luma_mode_at(t, z)) : 35;
                int scan = tt_intra ? scan_idx_table[0][cm] : 0;
                if (chroma & cbf_cb_bit)
                    gen_block(t, 1, z, 2, scan);
                if (chroma & cbf_cr_bit)
                    gen_block(t, 2, z, 2, scan);
            }
            t->dec.cbf_flags[node] = (uint8_t)(luma | chroma);
            return luma | chroma;
        }
        int luma = chance(60);
        if (log2 == 2)
            chroma = 0;
        // An inter root TU without chroma has cbf_luma inferred as 1.
        if (!tt_intra && depth == 0 && !chroma && (tt_merged || log2 > 2))
            luma = chance(80) || tt_merged;
        if (!tt_intra && depth == 0 && !chroma && luma == 0 && tt_merged)
            luma = 1;
        if (tt_zero)
            luma = 0;
        int lm = tt_intra ? luma_mode_at(t, z) : 35;
        if (luma)
            gen_block(t, 0, z, log2, tt_intra ? scan_idx_table[log2 - 2][lm] : 0);
        if (log2 > 2) {
            int scan = tt_intra && log2 == 3 ? scan_idx_table[0][chroma_mode(t, lm)] : 0;
            if (chroma & cbf_cb_bit)
                gen_block(t, 1, z, log2 - 1, scan);
            if (chroma & cbf_cr_bit)
                gen_block(t, 2, z, log2 - 1, scan);
        }
        int byte = (luma ? cbf_luma_bit : 0) | chroma;
        t->dec.cbf_flags[node] = (uint8_t)(t->dec.cbf_flags[node] | byte);
        return byte;
    }

    void gen_sao(int cx, int cy)
    {
        int addr = cy * ctus_x + cx;
        int merge = 0;
        int r = rnd(4);
        if (r == 1 && cx > 0)
            merge = 1;
        if (r == 2 && cy > 0)
            merge = 2;
        sao_merge[addr] = merge;
        for (int p = 0; p < 3; p++) {
            bool on = p == 0 ? (cfg.sao_flags & 1) : (cfg.sao_flags & 2);
            sao_param s{SAO_TYPE_OFF, 0, {0, 0, 0, 0}};
            if (on && merge)
                s = sao[p][merge == 1 ? addr - 1 : addr - ctus_x];
            else if (on) {
                s.type = p == 2 ? sao[1][addr].type : rnd(6);
                if (s.type == SAO_TYPE_BAND) {
                    s.band_position = rnd(32);
                    for (int i = 0; i < 4; i++)
                        s.offset[i] = rnd(15) - 7;
                } else if (s.type != SAO_TYPE_OFF) {
                    s.offset[0] = rnd(8);
                    s.offset[1] = rnd(8);
                    s.offset[2] = -rnd(8);
                    s.offset[3] = -rnd(8);
                }
            }
            sao[p][addr] = s;
        }
    }

    // ---- writing ----
    syntax_ctu_context wctx{};

    void write_all()
    {
        stream.assign(4 << 20, 0);
        cabac_encoder enc{};
        cabac_init_contexts(&enc, cfg.slice_type, cfg.slice_qp, 120);
        cabac_encoder_init(&enc, stream.data(), stream.data() + stream.size());
        wctx.qp_prev = cfg.slice_qp;
        uint8_t synced[cabac_num_ctx];
        if (cfg.wavefront)
            substreams.assign(ctus_y, std::vector<uint8_t>(1 << 20, 0));
        for (int cy = 0; cy < ctus_y; cy++)
            for (int cx = 0; cx < ctus_x; cx++) {
                int addr = cy * ctus_x + cx;
                if (cfg.wavefront && cx == 0) {
                    if (cy > 0) {
                        cabac_init_contexts(&enc, cfg.slice_type, cfg.slice_qp, 120);
                        if (ctus_x > 1)
                            std::memcpy(enc.ctx, synced, sizeof(synced));
                    }
                    std::vector<uint8_t> &row = substreams[cy];
                    cabac_encoder_init(&enc, row.data(), row.data() + row.size());
                    wctx.qp_prev = cfg.slice_qp;
                }
                ctu_truth *t = &ctus[addr];
                std::memset(&t->dec, 0, sizeof(t->dec));
                std::memset(t->gen_skip, 0, sizeof(t->gen_skip));
                std::memset(&t->motion, 0xff, sizeof(t->motion));
                load_borders(cx, cy, &t->maps);
                for (int p = 0; p < 3; p++)
                    t->levels[p].assign(p ? 1024 : 4096, 0);
                for (int i = 0; i < 256; i++)
                    t->qg_qp[i] = rnd(52);
                gen_quadtree(cx, cy, t, 0, 0, 0, 6);
                gen_sao(cx, cy);

                wctx.decision = &t->dec;
                wctx.maps = &t->maps;
                wctx.intra_modes = t->maps.intra_mode;
                wctx.motion = &t->motion;
                for (int p = 0; p < 3; p++) {
                    wctx.levels[p] = t->levels[p].data();
                    wctx.sao[p] = sao[p].data();
                }
                wctx.sao_merge = sao_merge[addr];
                wctx.pic_width = cfg.width;
                wctx.pic_height = cfg.height;
                wctx.ctu_col = cx;
                wctx.ctu_row = cy;
                wctx.ctu_addr = addr;
                wctx.slice_type = cfg.slice_type;
                wctx.sao_flags = (uint32_t)cfg.sao_flags;
                wctx.max_num_merge_cand = cfg.max_merge;
                wctx.num_ref_idx_active[0] = cfg.num_ref[0];
                wctx.num_ref_idx_active[1] = cfg.num_ref[1];
                wctx.sps = &sps;
                wctx.pps = &pps;
                wctx.scans = &scans;
                wctx.metrics = &metrics;
                wctx.inter = syntax_inter_services{&marks, hook_amvp, hook_clear, hook_mark};
                wctx.qg_units = 1 << (2 * (4 - (cfg.qp_delta ? cfg.qp_depth : 0)));
                wctx.qg_delta_pending = 0;
                int64_t before = cabac_bits_written(&enc);
                wctx.pred_bits = wctx.residual_bits = 0;
                cabac_write_ctu(&wctx, &enc);
                int64_t bits = cabac_bits_written(&enc) - before;
                EXPECT_LE((int64_t)(wctx.pred_bits + wctx.residual_bits), bits);
                if (cfg.wavefront && cx == 1)
                    std::memcpy(synced, enc.ctx, sizeof(synced));
                if (addr + 1 == (int)ctus.size()) {
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

    void exp_pu(ctu_truth *t, int cx, int cy, int z, int x, int y, int w, int h, expected *e)
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

    void exp_tt(ctu_truth *t, int cx, int cy, int z, int log2, int depth, int chroma_parent, expected *e)
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

    void exp_cu(ctu_truth *t, int cx, int cy, int z, int x, int y, int log2, expected *e)
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
        truth_maps *m = &t->maps;
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
        p.pic_width = cfg.width;
        p.pic_height = cfg.height;
        p.slice_type = cfg.slice_type;
        p.slice_qp = cfg.slice_qp;
        p.sao_luma = cfg.sao_flags & 1;
        p.sao_chroma = (cfg.sao_flags >> 1) & 1;
        p.max_num_merge_cand = cfg.max_merge;
        p.num_ref_idx_active[0] = cfg.num_ref[0];
        p.num_ref_idx_active[1] = cfg.num_ref[1];
        p.max_tu_depth_inter = cfg.tu_depth_inter;
        p.max_tu_depth_intra = cfg.tu_depth_intra;
        p.cu_qp_delta_enabled = cfg.qp_delta;
        p.diff_cu_qp_delta_depth = cfg.qp_delta ? cfg.qp_depth : 0;
        p.sign_hiding = cfg.sdh;
        p.amvp = fake_amvp;
        if (cfg.wavefront)
            r.start(p, substreams[0].data(), substreams[0].size());
        else
            r.start(p, stream.data(), stream.size());
        static rd_ctu got;
        std_context synced[cabac_num_ctx];
        for (int cy = 0; cy < ctus_y; cy++)
            for (int cx = 0; cx < ctus_x; cx++) {
                int addr = cy * ctus_x + cx;
                ctu_truth *t = &ctus[addr];
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
                    const sao_param &a = got.sao[pl], &b = sao[pl][addr];
                    ASSERT_EQ(a.type, b.type) << pl;
                    if (b.type != SAO_TYPE_OFF) {
                        for (int i = 0; i < 4; i++)
                            ASSERT_EQ(a.offset[i], b.offset[i]) << pl << " " << i;
                    }
                    if (b.type == SAO_TYPE_BAND) {
                        ASSERT_EQ(a.band_position, b.band_position);
                    }
                }
                ASSERT_EQ(got.end_of_slice, addr + 1 == (int)ctus.size());
            }
        EXPECT_FALSE(r.d.overrun);
        EXPECT_EQ(marks.cleared, (int)ctus.size());
        EXPECT_EQ(marks.area, area_expected);
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

TEST_F(bin_fixture, MergeIndexIsTruncatedAtTheCandidateCount)
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

TEST_F(bin_fixture, ReferenceIndexBinsFollowTheActiveCount)
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

TEST_F(bin_fixture, MotionVectorDifferencesReadBack)
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

TEST_F(bin_fixture, SaoOffsetsAndClassesFollowThePlane)
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
    h.sao[0][0] = luma;
    std::vector<uint8_t> buf(1024);
    cabac_encoder enc{};
    cabac_init_contexts(&enc, 2, 30, 120);
    cabac_encoder_init(&enc, buf.data(), buf.data() + buf.size());
    syntax_ctu_context ctx{};
    for (int p = 0; p < 3; p++)
        ctx.sao[p] = h.sao[p].data();
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
    truth_maps maps;
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
