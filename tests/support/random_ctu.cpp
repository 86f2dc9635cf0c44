#include "support/random_ctu.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "analysis/mode_decision.h"
#include "encoder/cpu.h"

void random_level_block(std::mt19937 *rng, int16_t *blk, int log2)
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
                                                               : 100 + (int)((*rng)() % 9000);
            blk[y * n + x] = (int16_t)(((*rng)() & 1) ? -mag : mag);
        }
    if (std::all_of(blk, blk + n * n, [](int16_t v) { return v == 0; }))
        blk[((*rng)() % extent) * n + (*rng)() % extent] = (int16_t)(1 + (*rng)() % 40);
}

void apply_sign_hiding(int16_t *blk, int log2, const uint16_t *order)
{
    const int n = 1 << (2 * log2);
    for (int g = 0; g < n / 16; g++) {
        int first = -1, last = -1, sum = 0;
        for (int k = 0; k < 16; k++) {
            int v = blk[order[16 * g + k]];
            if (!v)
                continue;
            if (first < 0)
                first = k;
            last = k;
            sum += v < 0 ? -v : v;
        }
        if (first >= 0 && last - first >= 4) {
            int16_t &c = blk[order[16 * g + first]];
            int a = c < 0 ? -c : c;
            c = (int16_t)((sum & 1) ? -a : a);
        }
    }
}

int random_ctu_amvp(int z, int x, int y, int w, int h, int depth, int list, uint32_t out[2])
{
    int count = 1 + ((z + list + depth) & 1);
    for (int i = 0; i < count; i++) {
        int px = (x * 3 - list * 5 + z + i * 17 + w) % 97 - 48;
        int py = (y * 2 + 7 - i * 11 + h) % 61 - 30;
        out[i] = (uint32_t)(uint16_t)px | ((uint32_t)(uint16_t)py << 16);
    }
    return count;
}

int32_t random_ctu_amvp_hook(void *, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h,
                             int32_t depth, int32_t list, uint32_t out[2])
{
    return random_ctu_amvp(z, x, y, w, h, depth, list, out);
}

namespace {

// The decisions of one CTU, drawn from the picture's generator.
struct ctu_generator {
    random_picture *pic;
    random_ctu *t;
    int cx, cy;
    // the CU whose transform tree is being drawn
    int tt_intra = 0, tt_part = 0, tt_merged = 0, tt_cu_z = 0, tt_zero = 0;

    const random_ctu_config &cfg() const { return pic->cfg; }
    int rnd(int n) { return (int)(pic->rng() % (unsigned)n); }
    bool chance(int percent) { return rnd(100) < percent; }
    void fill8(void *map, int unit, int units, uint8_t v) { map_fill_block((uint8_t *)map + unit, units, units, 1, v); }
    void fill4_modes(int z, int log2, int8_t v)
    {
        for (int i = 0; i < 1 << (2 * (log2 - 2)); i++)
            t->maps.intra_mode[zorder_to_map4[z + i]] = v;
    }

    // Border column and row of the maps, as the CTU set-up fills them.
    void load_borders()
    {
        random_ctu_maps *m = &t->maps;
        std::memset(m, 0, sizeof(*m));
        std::memset(m->cu_depth_map, 0xff, sizeof(m->cu_depth_map));
        std::memset(m->cu_qp_map, 0xff, sizeof(m->cu_qp_map));
        std::memset(m->pred_mode_map, 0xff, sizeof(m->pred_mode_map));
        std::memset(m->intra_mode, 0xff, sizeof(m->intra_mode));
        if (cx > 0) {
            const random_ctu_maps &l = pic->at(cx - 1, cy).maps;
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
            const random_ctu_maps &a = pic->at(cx, cy - 1).maps;
            for (int c = 8; c < 16; c++) {
                m->cu_flags_map[c] = a.cu_flags_map[8 * CTU_MAP8_STRIDE + c];
                m->cu_depth_map[c] = a.cu_depth_map[8 * CTU_MAP8_STRIDE + c];
                m->cu_qp_map[c] = a.cu_qp_map[8 * CTU_MAP8_STRIDE + c];
                m->pred_mode_map[c] = a.pred_mode_map[8 * CTU_MAP8_STRIDE + c];
            }
        }
    }

    void quadtree(int z, int x, int y, int log2)
    {
        const int size = 1 << log2;
        const int room_x = cfg().width - 64 * cx, room_y = cfg().height - 64 * cy;
        const int node = cu_node_index(log2, z);
        int split;
        if (x + size > room_x || y + size > room_y)
            split = 1;
        else if (log2 == 3)
            split = 0;
        else
            split = chance(log2 == 6 ? 80 : log2 == 5 ? 60 : 45);
        t->dec.cu_split[node] = split;
        if (!split) {
            coding_unit(z, log2);
            pic->coded_area += size * size;
            return;
        }
        const int q = 1 << (2 * log2 - 6), h = size / 2;
        quadtree(z, x, y, log2 - 1);
        if (x + h < room_x)
            quadtree(z + q, x + h, y, log2 - 1);
        if (y + h < room_y)
            quadtree(z + 2 * q, x, y + h, log2 - 1);
        if (x + h < room_x && y + h < room_y)
            quadtree(z + 3 * q, x + h, y + h, log2 - 1);
    }

    void motion(int unit, int units_w, int units_h, bool small)
    {
        ctu_motion_grid *g = &t->motion;
        const int merge = chance(30);
        const int idx = rnd(cfg().max_merge);
        int r[2] = {rnd(cfg().num_ref[0]), -1};
        if (cfg().slice_type == 0) {
            int dir = small ? 1 + rnd(2) : 1 + rnd(3);
            r[0] = dir & 1 ? rnd(cfg().num_ref[0]) : -1;
            r[1] = dir & 2 ? rnd(cfg().num_ref[1]) : -1;
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
                g->merge_flag_map[u] = (uint8_t)merge;
                g->merge_idx_map[u] = (int8_t)idx;
                for (int l = 0; l < 2; l++) {
                    g->ref_idx[l][u] = (int8_t)r[l];
                    g->mv[l][u] = mv[l];
                }
            }
    }

    void coding_unit(int z, int log2)
    {
        const int node = cu_node_index(log2, z);
        const int unit = zorder_to_map8[z >> 2];
        const int units = 1 << (log2 - 3);
        random_ctu_maps *m = &t->maps;
        const int intra = cfg().slice_type == 2 || chance(35);
        const int skip = !intra && chance(30);
        fill8(m->cu_depth_map, unit, units, (uint8_t)(6 - log2));
        fill8(m->pred_mode_map, unit, units, (uint8_t)intra);
        // A coded CU carries a stale residual flag: the writer sets it.
        fill8(m->cu_flags_map, unit, units, (uint8_t)(skip ? cu_flag_skip : chance(50) ? cu_flag_residual : 0));
        fill8(t->gen_skip, unit, units, (uint8_t)skip);
        const int qg = cfg().qp_delta ? z >> (2 * (4 - cfg().qp_depth)) : 0;
        fill8(m->cu_qp_map, unit, units, (uint8_t)(cfg().qp_delta ? t->qg_qp[qg] : cfg().slice_qp));
        t->dec.part_mode[node] = 0;
        t->dec.cbf_flags[node] = 0;
        if (!intra)
            fill4_modes(z, log2, -1);
        if (skip) {
            fill8(t->motion.merge_flag_map, unit, units, 1);
            fill8(t->motion.merge_idx_map, unit, units, (uint8_t)rnd(cfg().max_merge));
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
                fill4_modes(z, log2, (int8_t)mode);
            }
            const int chroma = rnd(5);
            for (int i = 0; i < units * units; i++)
                m->intra_mode[zorder_to_map4[256 + (z >> 2) + i]] = (int8_t)chroma;
            fill8(t->motion.merge_flag_map, unit, units, 0);
        } else {
            const int part = rnd(3);
            t->dec.part_mode[node] = (uint32_t)part;
            const int h = units / 2;
            const bool small = log2 == 3 && part != part_2Nx2N;
            if (part == part_2Nx2N || log2 == 3) {
                motion(unit, units, units, small);
            } else if (part == part_2NxN) {
                motion(unit, units, h, false);
                motion(unit + h * CTU_MAP8_STRIDE, units, h, false);
            } else {
                motion(unit, h, units, false);
                motion(unit + h, h, units, false);
            }
        }
        tt_intra = intra;
        tt_part = (int)t->dec.part_mode[node];
        tt_merged = !intra && t->motion.merge_flag_map[unit] && tt_part == part_2Nx2N;
        tt_cu_z = z;
        // now and then a merged 2Nx2N CU that codes no residual at all
        tt_zero = tt_merged && chance(30);
        t->dec.cbf_flags[node] = (uint8_t)transform_node(z, log2, 0, cbf_cb_bit | cbf_cr_bit);
    }

    int luma_mode_at(int z) const { return t->maps.intra_mode[zorder_to_map4[z]]; }
    int chroma_mode(int luma_mode) const
    {
        int idx = t->maps.intra_mode[zorder_to_map4[256 + (tt_cu_z >> 2)]];
        if (idx == 4)
            return luma_mode;
        int m = chroma_mode_table[idx];
        return m == luma_mode ? 34 : m;
    }

    void level_block(int plane, int z, int log2, int scan)
    {
        int16_t *dst = plane == 0 ? t->levels[0].data() + z * 16 : t->levels[plane].data() + (z >> 2) * 16;
        random_level_block(&pic->rng, dst, log2);
        if (cfg().sdh)
            apply_sign_hiding(dst, log2, scan_order(&pic->scans, log2, scan));
    }

    // Draws split and coded-block flags where the writer sends them and
    // follows the decoder's inference elsewhere; returns the node's byte.
    int transform_node(int z, int log2, int depth, int parent_chroma)
    {
        const int node = cu_node_index(log2, z);
        const int intra_split = tt_intra && tt_part == part_NxN;
        const int max_depth = tt_intra ? cfg().tu_depth_intra + intra_split : cfg().tu_depth_inter;
        int split;
        if (log2 <= 5 && log2 > 2 && depth < max_depth && !(intra_split && depth == 0))
            split = chance(log2 == 5 ? 60 : 40);
        else
            split = log2 > 5 || (intra_split && depth == 0) ||
                    (cfg().tu_depth_inter == 0 && !tt_intra && tt_part != part_2Nx2N && depth == 0);
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
                luma |= transform_node(z + k * q, log2 - 1, depth + 1, chroma) & cbf_luma_bit;
            if (log2 == 3) {
                // the fourth 4x4 node carries the 8x8's chroma flags
                t->dec.cbf_flags[cu_node_index(2, z + 3)] |= (uint8_t)chroma;
                int cm = tt_intra ? chroma_mode(luma_mode_at(z)) : 35;
                int scan = tt_intra ? scan_idx_table[0][cm] : 0;
                if (chroma & cbf_cb_bit)
                    level_block(1, z, 2, scan);
                if (chroma & cbf_cr_bit)
                    level_block(2, z, 2, scan);
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
        const int lm = tt_intra ? luma_mode_at(z) : 35;
        if (luma)
            level_block(0, z, log2, tt_intra ? scan_idx_table[log2 - 2][lm] : 0);
        if (log2 > 2) {
            int scan = tt_intra && log2 == 3 ? scan_idx_table[0][chroma_mode(lm)] : 0;
            if (chroma & cbf_cb_bit)
                level_block(1, z, log2 - 1, scan);
            if (chroma & cbf_cr_bit)
                level_block(2, z, log2 - 1, scan);
        }
        const int byte = (luma ? cbf_luma_bit : 0) | chroma;
        t->dec.cbf_flags[node] = (uint8_t)(t->dec.cbf_flags[node] | byte);
        return byte;
    }

    void sao()
    {
        const int addr = cy * pic->ctus_x + cx;
        int merge = 0;
        const int r = rnd(4);
        if (r == 1 && cx > 0)
            merge = 1;
        if (r == 2 && cy > 0)
            merge = 2;
        pic->sao_merge[addr] = merge;
        for (int p = 0; p < 3; p++) {
            const bool on = p == 0 ? (cfg().sao_flags & 1) : (cfg().sao_flags & 2);
            sao_param s{SAO_TYPE_OFF, 0, {0, 0, 0, 0}};
            if (on && merge) {
                s = pic->sao[p][merge == 1 ? addr - 1 : addr - pic->ctus_x];
            } else if (on) {
                s.type = p == 2 ? pic->sao[1][addr].type : rnd(6);
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
            pic->sao[p][addr] = s;
        }
    }
};

}  // namespace

random_picture::random_picture(const random_ctu_config &c, unsigned seed) : cfg(c), rng(seed)
{
    EXPECT_EQ(scan_tables_init(&scans), 0);
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
    ctus.resize((size_t)(ctus_x * ctus_y));
    for (int p = 0; p < 3; p++)
        sao[p].assign(ctus.size(), sao_param{SAO_TYPE_OFF, 0, {0, 0, 0, 0}});
    sao_merge.assign(ctus.size(), 0);
}

random_picture::~random_picture() { scan_tables_free(&scans); }

void random_picture::generate(int cx, int cy)
{
    random_ctu *t = &at(cx, cy);
    std::memset(&t->dec, 0, sizeof(t->dec));
    std::memset(t->gen_skip, 0, sizeof(t->gen_skip));
    std::memset(&t->motion, 0xff, sizeof(t->motion));
    for (int p = 0; p < 3; p++)
        t->levels[p].assign(p ? 1024 : 4096, 0);
    for (int &qp : t->qg_qp)
        qp = (int)(rng() % 52);
    ctu_generator g{this, t, cx, cy};
    g.load_borders();
    g.quadtree(0, 0, 0, 6);
    g.sao();
}

syntax_ctu_context random_picture::view(random_ctu *t, int cx, int cy)
{
    syntax_ctu_context s{};
    s.decision = &t->dec;
    s.maps = &t->maps;
    s.intra_modes = t->maps.intra_mode;
    s.motion = &t->motion;
    for (int p = 0; p < 3; p++) {
        s.levels[p] = t->levels[p].data();
        s.sao[p] = sao[p].data();
    }
    s.sao_merge = sao_merge[cy * ctus_x + cx];
    s.pic_width = cfg.width;
    s.pic_height = cfg.height;
    s.ctu_col = cx;
    s.ctu_row = cy;
    s.ctu_addr = cy * ctus_x + cx;
    s.slice_type = cfg.slice_type;
    s.sao_flags = (uint32_t)cfg.sao_flags;
    s.max_num_merge_cand = cfg.max_merge;
    s.num_ref_idx_active[0] = cfg.num_ref[0];
    s.num_ref_idx_active[1] = cfg.num_ref[1];
    s.sps = &sps;
    s.pps = &pps;
    s.scans = &scans;
    s.metrics = &metrics;
    s.qg_units = 1 << (2 * (4 - (cfg.qp_delta ? cfg.qp_depth : 0)));
    return s;
}
