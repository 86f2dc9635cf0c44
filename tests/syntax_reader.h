// Test-only parser of H.265 slice data (clause 7.3.8 with the binarisations
// and context selection of clause 9.3), written from the standard's decoding
// process and independent of the encoder's writer. It reads the CTUs that the
// writer produced back into plain records, with the decoder's own neighbour
// arrays for the whole picture, so that tests can compare them with what was
// written. Main profile, 8-bit 4:2:0, 64x64 CTBs, no AMP, PCM, tiles,
// transform skip or transquant bypass.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "bitstream/cabac.h"
#include "bitstream/syntax_writer.h"
#include "std_cabac_decoder.h"

struct rd_params {
    int pic_width = 64, pic_height = 64;
    int slice_type = 2;           // 0 B, 1 P, 2 I
    int slice_qp = 26;
    int compat = 120;
    int sao_luma = 0, sao_chroma = 0;
    int max_num_merge_cand = 5;
    int num_ref_idx_active[2] = {1, 1};
    int log2_min_cb = 3, log2_min_tb = 2, log2_max_tb = 5;
    int max_tu_depth_inter = 1, max_tu_depth_intra = 1;
    int cu_qp_delta_enabled = 0, diff_cu_qp_delta_depth = 0;
    int sign_hiding = 0;
    // AMVP predictors the decoder would derive; the tests share the
    // function with the writer.
    int (*amvp)(int z, int x, int y, int w, int h, int depth, int list, uint32_t out[2]) = nullptr;
};

struct rd_cu {
    int x, y, log2;   // picture position
    int skip, pred_mode, part;
    int luma_mode[4];
    int chroma_idx;
    int qp;
    int merge_idx;    // skipped CUs
};

struct rd_pu {
    int x, y, w, h;
    int merge_flag, merge_idx;
    int dir;          // bit 0 list 0, bit 1 list 1
    int ref[2];
    uint32_t mv[2];
};

struct rd_tu {
    int x, y, log2;   // luma TB in the picture
    int cbf_luma, cbf_cb, cbf_cr;   // the chroma flags that apply to the TB
};

struct rd_ctu {
    std::vector<rd_cu> cus;
    std::vector<rd_pu> pus;
    std::vector<rd_tu> tus;
    int16_t levels[3][4096];
    sao_param sao[3];
    int end_of_slice;
};

// Up-right diagonal, horizontal and vertical scans of a blk x blk array
// (clauses 6.5.3 - 6.5.5): pos[i] = {x, y}.
inline void rd_scan_order(int blk, int scan_idx, int pos[][2])
{
    if (scan_idx == 0) {
        int i = 0, x = 0, y = 0;
        bool stop = false;
        while (!stop) {
            while (y >= 0) {
                if (x < blk && y < blk) {
                    pos[i][0] = x;
                    pos[i][1] = y;
                    i++;
                }
                y--;
                x++;
            }
            y = x;
            x = 0;
            if (i >= blk * blk)
                stop = true;
        }
    } else {
        for (int i = 0; i < blk * blk; i++) {
            int a = i % blk, b = i / blk;
            pos[i][0] = scan_idx == 1 ? a : b;
            pos[i][1] = scan_idx == 1 ? b : a;
        }
    }
}

struct syntax_reader {
    rd_params p;
    std_decoder d;
    std_context ctx[cabac_num_ctx];
    int w4, h4;   // picture size in 4x4 units
    std::vector<int> ct_depth, skip, pred_mode, intra_mode, qp_y;   // per 4x4 unit
    std::vector<sao_param> sao_pic[3];
    int ctbs_per_row;

    // per-CTU state
    rd_ctu *out;
    int ctb_x, ctb_y;
    int is_cu_qp_delta_coded, cu_qp_delta_val;
    int qg_x, qg_y, qp_prev_cu, qg_prev_qp;
    int cur_cu_qp_fixed;

    void start(const rd_params &params, const uint8_t *data, size_t size)
    {
        p = params;
        d.init(data, size);
        int table = p.slice_type == 2 ? 2 : p.slice_type == 1 ? 4 : 3;
        if (p.compat == 91 && p.slice_type != 1)
            table = p.slice_type == 2 ? 0 : 1;
        for (int s = 0; s < cabac_num_ctx; s++)
            ctx[s] = std_init(cabac_init_values[table][s], p.slice_qp);
        w4 = (p.pic_width + 63) / 64 * 16;
        h4 = (p.pic_height + 63) / 64 * 16;
        ct_depth.assign(w4 * h4, 0);
        skip.assign(w4 * h4, 0);
        pred_mode.assign(w4 * h4, -1);
        intra_mode.assign(w4 * h4, 1);
        qp_y.assign(w4 * h4, p.slice_qp);
        ctbs_per_row = w4 / 16;
        for (int c = 0; c < 3; c++)
            sao_pic[c].assign(ctbs_per_row * (h4 / 16), sao_param{});
        qp_prev_cu = p.slice_qp;
    }

    int bin(int slot) { return d.decision(&ctx[slot]); }
    int byp() { return d.bypass(); }
    uint32_t byp_bits(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; i++)
            v = (v << 1) | (uint32_t)byp();
        return v;
    }
    uint32_t eg_k(int k)
    {
        uint32_t abs_v = 0;
        while (byp()) {
            abs_v += 1u << k;
            k++;
        }
        if (k)
            abs_v += byp_bits(k);
        return abs_v;
    }
    int in_pic(int x, int y) const { return x >= 0 && y >= 0 && x < p.pic_width && y < p.pic_height; }
    int at(int x, int y) const { return (y >> 2) * w4 + (x >> 2); }
    void fill(std::vector<int> &a, int x, int y, int w, int h, int v)
    {
        for (int j = 0; j < h; j += 4)
            for (int i = 0; i < w; i += 4)
                a[at(x + i, y + j)] = v;
    }

    // ---- SAO (7.3.8.3) ----
    void read_sao_params(int c, sao_param *sp)
    {
        if (c < 2) {
            int type_idx = 0;
            if (bin(ctx_sao_type_idx))
                type_idx = byp() ? 2 : 1;
            sp->type = type_idx == 0 ? SAO_TYPE_OFF : type_idx == 1 ? SAO_TYPE_BAND : 0;
        } else {
            sp->type = sao_pic[1][ctb_y * ctbs_per_row + ctb_x].type;
        }
        if (sp->type == SAO_TYPE_OFF)
            return;
        int abs_v[4];
        for (int i = 0; i < 4; i++) {
            int v = 0;
            while (v < 7 && byp())
                v++;
            abs_v[i] = v;
        }
        if (sp->type == SAO_TYPE_BAND) {
            for (int i = 0; i < 4; i++)
                sp->offset[i] = abs_v[i] && byp() ? -abs_v[i] : abs_v[i];
            sp->band_position = (int)byp_bits(5);
        } else {
            sp->offset[0] = abs_v[0];
            sp->offset[1] = abs_v[1];
            sp->offset[2] = -abs_v[2];
            sp->offset[3] = -abs_v[3];
            if (c == 0)
                sp->type = (int)byp_bits(2);
            else if (c == 1)
                sp->type = (int)byp_bits(2);
            else
                sp->type = sao_pic[1][ctb_y * ctbs_per_row + ctb_x].type;
        }
    }

    void read_sao()
    {
        int addr = ctb_y * ctbs_per_row + ctb_x;
        int merge_left = 0, merge_up = 0;
        if (ctb_x > 0)
            merge_left = bin(ctx_sao_merge_flag);
        if (ctb_y > 0 && !merge_left)
            merge_up = bin(ctx_sao_merge_flag);
        for (int c = 0; c < 3; c++) {
            sao_param sp{};
            sp.type = SAO_TYPE_OFF;
            bool on = c == 0 ? p.sao_luma : p.sao_chroma;
            if (on) {
                if (merge_left)
                    sp = sao_pic[c][addr - 1];
                else if (merge_up)
                    sp = sao_pic[c][addr - ctbs_per_row];
                else
                    read_sao_params(c, &sp);
            }
            sao_pic[c][addr] = sp;
            out->sao[c] = sp;
        }
    }

    // ---- Coding quadtree (7.3.8.4) ----
    void coding_quadtree(int x0, int y0, int log2, int ct_d)
    {
        int size = 1 << log2;
        int split;
        if (x0 + size <= p.pic_width && y0 + size <= p.pic_height && log2 > p.log2_min_cb) {
            int cond_l = in_pic(x0 - 1, y0) && ct_depth[at(x0 - 1, y0)] > ct_d;
            int cond_a = in_pic(x0, y0 - 1) && ct_depth[at(x0, y0 - 1)] > ct_d;
            split = bin(ctx_split_cu_flag + cond_l + cond_a);
        } else {
            split = log2 > p.log2_min_cb;
        }
        int log2_min_qg = 6 - p.diff_cu_qp_delta_depth;
        if (p.cu_qp_delta_enabled && log2 >= log2_min_qg) {
            is_cu_qp_delta_coded = 0;
            cu_qp_delta_val = 0;
            qg_x = x0;
            qg_y = y0;
            qg_prev_qp = qp_prev_cu;
        }
        if (split) {
            int x1 = x0 + size / 2, y1 = y0 + size / 2;
            coding_quadtree(x0, y0, log2 - 1, ct_d + 1);
            if (x1 < p.pic_width)
                coding_quadtree(x1, y0, log2 - 1, ct_d + 1);
            if (y1 < p.pic_height)
                coding_quadtree(x0, y1, log2 - 1, ct_d + 1);
            if (x1 < p.pic_width && y1 < p.pic_height)
                coding_quadtree(x1, y1, log2 - 1, ct_d + 1);
        } else {
            coding_unit(x0, y0, log2, ct_d);
        }
    }

    // qPY_PRED of clause 8.6.1 for the current quantisation group.
    int qp_pred()
    {
        int prev = qg_prev_qp;
        int ctb_xs = ctb_x * 64, ctb_ys = ctb_y * 64;
        int a = prev, b = prev;
        if (qg_x - 1 >= ctb_xs)
            a = qp_y[at(qg_x - 1, qg_y)];
        if (qg_y - 1 >= ctb_ys)
            b = qp_y[at(qg_x, qg_y - 1)];
        return (a + b + 1) >> 1;
    }

    // ---- Coding unit (7.3.8.5) ----
    void coding_unit(int x0, int y0, int log2, int ct_d)
    {
        int size = 1 << log2;
        rd_cu cu{};
        cu.x = x0;
        cu.y = y0;
        cu.log2 = log2;
        cu.pred_mode = 1;
        cu.chroma_idx = -1;
        if (!p.cu_qp_delta_enabled) {
            qg_x = x0;
            qg_y = y0;
        }
        if (p.slice_type != 2) {
            int cond_l = in_pic(x0 - 1, y0) && skip[at(x0 - 1, y0)];
            int cond_a = in_pic(x0, y0 - 1) && skip[at(x0, y0 - 1)];
            cu.skip = bin(ctx_cu_skip_flag + cond_l + cond_a);
        }
        fill(ct_depth, x0, y0, size, size, ct_d);
        fill(skip, x0, y0, size, size, cu.skip);
        if (cu.skip) {
            cu.pred_mode = 0;
            fill(pred_mode, x0, y0, size, size, 0);
            rd_pu pu{};
            pu.x = x0;
            pu.y = y0;
            pu.w = pu.h = size;
            pu.merge_flag = 1;
            pu.merge_idx = read_merge_idx();
            cu.merge_idx = pu.merge_idx;
            out->pus.push_back(pu);
        } else {
            if (p.slice_type != 2)
                cu.pred_mode = bin(ctx_pred_mode_flag);
            fill(pred_mode, x0, y0, size, size, cu.pred_mode);
            cu.part = 0;
            if (cu.pred_mode != 1 || log2 == p.log2_min_cb)
                cu.part = read_part_mode(cu.pred_mode == 1, log2);
            if (cu.pred_mode == 1) {
                read_intra_modes(&cu, x0, y0, size);
            } else {
                int h = size / 2;
                switch (cu.part) {
                case 0: prediction_unit(x0, y0, size, size, ct_d); break;
                case 1:
                    prediction_unit(x0, y0, size, h, ct_d);
                    prediction_unit(x0, y0 + h, size, h, ct_d);
                    break;
                case 2:
                    prediction_unit(x0, y0, h, size, ct_d);
                    prediction_unit(x0 + h, y0, h, size, ct_d);
                    break;
                }
            }
            int rqt_root_cbf = 1;
            int merged_2Nx2N = cu.pred_mode != 1 && cu.part == 0 && out->pus.back().merge_flag;
            if (cu.pred_mode != 1 && !merged_2Nx2N)
                rqt_root_cbf = bin(ctx_rqt_root_cbf);
            if (rqt_root_cbf) {
                int max_depth = cu.pred_mode == 1 ? p.max_tu_depth_intra + (cu.part == 3)
                                                  : p.max_tu_depth_inter;
                tt_cu = &cu;
                tt_max_depth = max_depth;
                transform_tree(x0, y0, x0, y0, log2, 0, 0, 1, 1);
            }
        }
        if (!p.cu_qp_delta_enabled) {
            cu.qp = p.slice_qp;
        } else {
            cu.qp = (qp_pred() + cu_qp_delta_val + 52) % 52;
        }
        fill(qp_y, x0, y0, size, size, cu.qp);
        qp_prev_cu = cu.qp;
        out->cus.push_back(cu);
    }

    int read_merge_idx()
    {
        if (p.max_num_merge_cand <= 1)
            return 0;
        int idx = 0;
        if (bin(ctx_merge_idx)) {
            idx = 1;
            while (idx < p.max_num_merge_cand - 1 && byp())
                idx++;
        }
        return idx;
    }

    int read_part_mode(int intra, int log2)
    {
        if (intra)
            return bin(ctx_part_mode) ? 0 : 3;
        if (bin(ctx_part_mode))
            return 0;
        if (log2 == 3)
            return bin(ctx_part_mode + 1) ? 1 : 2;
        // larger CUs without AMP: "01" 2NxN, "00" Nx2N
        return bin(ctx_part_mode + 1) ? 1 : 2;
    }

    // ---- Intra modes (7.3.8.5, 8.4.2, 8.4.3) ----
    void read_intra_modes(rd_cu *cu, int x0, int y0, int size)
    {
        int n = cu->part == 3 ? 4 : 1;
        int pb = cu->part == 3 ? size / 2 : size;
        int flag[4];
        for (int k = 0; k < n; k++)
            flag[k] = bin(ctx_prev_intra_luma_pred_flag);
        for (int k = 0; k < n; k++) {
            int xp = x0 + (k & 1) * pb, yp = y0 + (k >> 1) * pb;
            int cand[3];
            mpm(xp, yp, cand);
            int mode;
            if (flag[k]) {
                int idx = byp() ? (byp() ? 2 : 1) : 0;
                mode = cand[idx];
            } else {
                int rem = (int)byp_bits(5);
                int s[3] = {cand[0], cand[1], cand[2]};
                for (int i = 0; i < 3; i++)
                    for (int j = i + 1; j < 3; j++)
                        if (s[i] > s[j]) {
                            int t = s[i];
                            s[i] = s[j];
                            s[j] = t;
                        }
                mode = rem;
                for (int i = 0; i < 3; i++)
                    if (mode >= s[i])
                        mode++;
            }
            cu->luma_mode[k] = mode;
            fill(intra_mode, xp, yp, pb, pb, mode);
        }
        if (bin(ctx_intra_chroma_pred_mode))
            cu->chroma_idx = (int)byp_bits(2);
        else
            cu->chroma_idx = 4;
    }

    void mpm(int xp, int yp, int cand[3])
    {
        auto neighbour = [&](int x, int y, bool above) {
            if (!in_pic(x, y))
                return 1;
            if (above && y < ((yp >> 6) << 6))
                return 1;
            if (pred_mode[at(x, y)] != 1)
                return 1;
            return intra_mode[at(x, y)];
        };
        int a = neighbour(xp - 1, yp, false);
        int b = neighbour(xp, yp - 1, true);
        if (a == b) {
            if (a < 2) {
                cand[0] = 0;
                cand[1] = 1;
                cand[2] = 26;
            } else {
                cand[0] = a;
                cand[1] = 2 + ((a + 29) % 32);
                cand[2] = 2 + ((a - 2 + 1) % 32);
            }
        } else {
            cand[0] = a;
            cand[1] = b;
            if (a != 0 && b != 0)
                cand[2] = 0;
            else if (a != 1 && b != 1)
                cand[2] = 1;
            else
                cand[2] = 26;
        }
    }

    // ---- Prediction unit (7.3.8.6, 7.3.8.9) ----
    void prediction_unit(int x0, int y0, int w, int h, int ct_d)
    {
        rd_pu pu{};
        pu.x = x0;
        pu.y = y0;
        pu.w = w;
        pu.h = h;
        pu.ref[0] = pu.ref[1] = -1;
        pu.merge_flag = bin(ctx_merge_flag);
        if (pu.merge_flag) {
            pu.merge_idx = read_merge_idx();
            out->pus.push_back(pu);
            return;
        }
        int dir = 1;
        if (p.slice_type == 0) {
            if (w + h != 12 && bin(ctx_inter_pred_idc + ct_d))
                dir = 3;
            else
                dir = bin(ctx_inter_pred_idc + 4) ? 2 : 1;
        }
        pu.dir = dir;
        for (int l = 0; l < 2; l++) {
            if (!(dir & (1 << l)))
                continue;
            pu.ref[l] = read_ref_idx(p.num_ref_idx_active[l]);
            int mvd[2];
            read_mvd(mvd);
            int flag = bin(ctx_mvp_flag);
            uint32_t pred[2] = {0, 0};
            int z = zorder_of(x0 & 63, y0 & 63);
            if (p.amvp)
                p.amvp(z, x0 & 63, y0 & 63, w, h, ct_d, l, pred);
            int px = (int16_t)(pred[flag] & 0xffff), py = (int16_t)(pred[flag] >> 16);
            pu.mv[l] = (uint32_t)(uint16_t)(px + mvd[0]) | ((uint32_t)(uint16_t)(py + mvd[1]) << 16);
        }
        out->pus.push_back(pu);
    }

    static int zorder_of(int x, int y)
    {
        int z = 0;
        for (int b = 0; b < 4; b++)
            z |= (((x >> (2 + b)) & 1) << (2 * b)) | (((y >> (2 + b)) & 1) << (2 * b + 1));
        return z;
    }

    int read_ref_idx(int n)
    {
        if (n <= 1)
            return 0;
        int cmax = n - 1, r = 0;
        while (r < cmax) {
            int b = r < 2 ? bin(ctx_ref_idx + r) : byp();
            if (!b)
                break;
            r++;
        }
        return r;
    }

    void read_mvd(int mvd[2])
    {
        int g0[2], g1[2] = {0, 0};
        g0[0] = bin(ctx_abs_mvd_greater0_flag);
        g0[1] = bin(ctx_abs_mvd_greater0_flag);
        for (int c = 0; c < 2; c++)
            if (g0[c])
                g1[c] = bin(ctx_abs_mvd_greater1_flag);
        for (int c = 0; c < 2; c++) {
            int a = 0;
            if (g0[c]) {
                a = 1;
                if (g1[c])
                    a = 2 + (int)eg_k(1);
                if (byp())
                    a = -a;
            }
            mvd[c] = a;
        }
    }

    // ---- Transform tree and unit (7.3.8.8, 7.3.8.10) ----
    rd_cu *tt_cu;
    int tt_max_depth;

    void transform_tree(int x0, int y0, int xb, int yb, int log2, int depth, int blk, int parent_cb,
                        int parent_cr)
    {
        int intra = tt_cu->pred_mode == 1;
        int intra_split = intra && tt_cu->part == 3;
        int split;
        if (log2 <= p.log2_max_tb && log2 > p.log2_min_tb && depth < tt_max_depth &&
            !(intra_split && depth == 0)) {
            split = bin(ctx_split_transform_flag + 5 - log2);
        } else {
            int inter_split = p.max_tu_depth_inter == 0 && !intra && tt_cu->part != 0 && depth == 0;
            split = log2 > p.log2_max_tb || (intra_split && depth == 0) || inter_split;
        }
        int cb = 0, cr = 0;
        if (log2 > 2) {
            if (depth == 0 || parent_cb)
                cb = bin(ctx_cbf_chroma + depth);
            if (depth == 0 || parent_cr)
                cr = bin(ctx_cbf_chroma + depth);
        } else {
            cb = parent_cb;
            cr = parent_cr;
        }
        if (split) {
            int h = 1 << (log2 - 1);
            transform_tree(x0, y0, x0, y0, log2 - 1, depth + 1, 0, cb, cr);
            transform_tree(x0 + h, y0, x0, y0, log2 - 1, depth + 1, 1, cb, cr);
            transform_tree(x0, y0 + h, x0, y0, log2 - 1, depth + 1, 2, cb, cr);
            transform_tree(x0 + h, y0 + h, x0, y0, log2 - 1, depth + 1, 3, cb, cr);
            return;
        }
        int cbf_luma = 1;
        if (intra || depth != 0 || cb || cr)
            cbf_luma = bin(ctx_cbf_luma + (depth == 0 ? 1 : 0));
        rd_tu tu{x0, y0, log2, cbf_luma, cb, cr};
        out->tus.push_back(tu);
        transform_unit(x0, y0, xb, yb, log2, blk, cbf_luma, cb, cr);
    }

    int chroma_scan(int luma_mode)
    {
        int idx = tt_cu->chroma_idx;
        int mode = luma_mode;
        if (idx < 4) {
            static const int table[4] = {0, 26, 10, 1};
            mode = table[idx] == luma_mode ? 34 : table[idx];
        }
        return scan_for_mode(mode);
    }

    static int scan_for_mode(int mode)
    {
        if (mode >= 6 && mode <= 14)
            return 2;
        if (mode >= 22 && mode <= 30)
            return 1;
        return 0;
    }

    void transform_unit(int x0, int y0, int xb, int yb, int log2, int blk, int cbf_luma, int cb, int cr)
    {
        if (!(cbf_luma || cb || cr))
            return;
        if (p.cu_qp_delta_enabled && !is_cu_qp_delta_coded) {
            int a = 0;
            if (bin(ctx_cu_qp_delta_abs)) {
                a = 1;
                while (a < 5 && bin(ctx_cu_qp_delta_abs + 1))
                    a++;
                if (a == 5)
                    a += (int)eg_k(0);
            }
            is_cu_qp_delta_coded = 1;
            cu_qp_delta_val = a && byp() ? -a : a;
        }
        int intra = tt_cu->pred_mode == 1;
        int luma_mode = intra_mode[at(x0, y0)];
        int cu_luma_mode = intra_mode[at(tt_cu->x, tt_cu->y)];
        if (cbf_luma) {
            int scan = intra && log2 <= 3 ? scan_for_mode(luma_mode) : 0;
            residual(x0, y0, log2, 0, scan);
        }
        if (log2 > 2) {
            int scan = intra && log2 == 3 ? chroma_scan(cu_luma_mode) : 0;
            if (cb)
                residual(x0, y0, log2 - 1, 1, scan);
            if (cr)
                residual(x0, y0, log2 - 1, 2, scan);
        } else if (blk == 3) {
            int scan = intra ? chroma_scan(cu_luma_mode) : 0;
            if (cb)
                residual(xb, yb, 2, 1, scan);
            if (cr)
                residual(xb, yb, 2, 2, scan);
        }
    }

    // ---- Residual coding (7.3.8.11, 9.3.4.2.4 - 9.3.4.2.7, 9.3.3.11) ----
    int read_last_prefix(int base, int log2, int c)
    {
        int offset, shift;
        if (c == 0) {
            offset = 3 * (log2 - 2) + ((log2 - 1) >> 2);
            shift = (log2 + 1) >> 2;
        } else {
            offset = 15;
            shift = log2 - 2;
        }
        int v = 0;
        while (v < 2 * log2 - 1 && bin(base + offset + (v >> shift)))
            v++;
        return v;
    }

    int last_from(int prefix)
    {
        if (prefix <= 3)
            return prefix;
        int len = (prefix >> 1) - 1;
        return (1 << len) * (2 + (prefix & 1)) + (int)byp_bits(len);
    }

    int read_remaining(int k)
    {
        int prefix = 0;
        while (byp())
            prefix++;
        if (prefix <= 3)
            return (prefix << k) + (int)byp_bits(k);
        return (((1 << (prefix - 3)) + 3 - 1) << k) + (int)byp_bits(prefix - 3 + k);
    }

    // Decodes one block into the CTU's z-placed level buffer of plane c.
    void residual(int x0, int y0, int log2, int c, int scan_idx)
    {
        int n = 1 << log2;
        int16_t blk[1024];
        std::memset(blk, 0, sizeof(blk));
        decode_residual_block(log2, c, scan_idx, blk);
        int lx = x0 & 63, ly = y0 & 63;
        int z = zorder_of(lx, ly);
        int16_t *dst = c == 0 ? out->levels[0] + z * 16 : out->levels[c] + (z >> 2) * 16;
        std::memcpy(dst, blk, sizeof(int16_t) * n * n);
    }

    void decode_residual_block(int log2, int c, int scan_idx, int16_t *coeff)
    {
        const int n = 1 << log2;
        int lx_pre = read_last_prefix(ctx_last_x_prefix, log2, c);
        int ly_pre = read_last_prefix(ctx_last_y_prefix, log2, c);
        int last_x = last_from(lx_pre);
        int last_y = last_from(ly_pre);
        if (scan_idx == 2) {
            int t = last_x;
            last_x = last_y;
            last_y = t;
        }
        const int sb_w = n >> 2;
        int sub[64][2], pos[16][2];
        rd_scan_order(sb_w, scan_idx, sub);
        rd_scan_order(4, scan_idx, pos);
        int last_sb = 0, last_pos = 0;
        for (int i = 0; i < sb_w * sb_w * 16; i++) {
            int sb = i >> 4, k = i & 15;
            if (sub[sb][0] * 4 + pos[k][0] == last_x && sub[sb][1] * 4 + pos[k][1] == last_y) {
                last_sb = sb;
                last_pos = k;
                break;
            }
        }

        int csbf[8][8];
        std::memset(csbf, 0, sizeof(csbf));
        bool greater1_seen_block = false;   // an earlier sub-block coded greater1 flags
        int prev_greater1_ctx = 1;          // greater1Ctx after the last such flag
        for (int i = last_sb; i >= 0; i--) {
            int xs = sub[i][0], ys = sub[i][1];
            int infer_dc = 0;
            if (i < last_sb && i > 0) {
                int cs = 0;
                if (xs < sb_w - 1)
                    cs += csbf[xs + 1][ys];
                if (ys < sb_w - 1)
                    cs += csbf[xs][ys + 1];
                cs = cs > 1 ? 1 : cs;
                csbf[xs][ys] = bin(ctx_coded_sub_block_flag + (c ? 2 : 0) + cs);
                infer_dc = 1;
            } else {
                csbf[xs][ys] = 1;
            }
            int sig[16] = {0};
            for (int k = (i == last_sb ? last_pos - 1 : 15); k >= 0; k--) {
                int xc = xs * 4 + pos[k][0], yc = ys * 4 + pos[k][1];
                if (csbf[xs][ys] && (k > 0 || !infer_dc)) {
                    sig[k] = bin(sig_ctx(log2, c, scan_idx, xc, yc, xs, ys, csbf, sb_w));
                    if (sig[k])
                        infer_dc = 0;
                } else if (k == 0 && infer_dc && csbf[xs][ys]) {
                    sig[k] = 1;
                }
            }
            if (i == last_sb)
                sig[last_pos] = 1;
            // greater1 / greater2 flags
            int gt1[16] = {0}, gt2[16] = {0};
            int first_sig = 16, last_sig = -1, num_gt1 = 0, last_gt1_pos = -1;
            int ctx_set = 0, greater1_ctx = 1, last_flag = 0;
            bool first_in_sb = true;
            for (int k = 15; k >= 0; k--) {
                if (!sig[k])
                    continue;
                if (num_gt1 < 8) {
                    if (first_in_sb) {
                        ctx_set = (i == 0 || c > 0) ? 0 : 2;
                        int last_ctx = 1;
                        if (greater1_seen_block) {
                            last_ctx = prev_greater1_ctx;
                        }
                        if (last_ctx == 0)
                            ctx_set++;
                        greater1_ctx = 1;
                        first_in_sb = false;
                    } else if (greater1_ctx > 0) {
                        greater1_ctx = last_flag ? 0 : greater1_ctx + 1;
                    }
                    int inc = ctx_set * 4 + (greater1_ctx < 3 ? greater1_ctx : 3) + (c ? 16 : 0);
                    gt1[k] = bin(ctx_greater1_flag + inc);
                    last_flag = gt1[k];
                    num_gt1++;
                    if (gt1[k] && last_gt1_pos == -1)
                        last_gt1_pos = k;
                }
                if (last_sig == -1)
                    last_sig = k;
                first_sig = k;
            }
            if (!first_in_sb) {
                // greater1Ctx as the next sub-block sees it: updated by the last flag
                int g = greater1_ctx;
                if (g > 0)
                    g = last_flag ? 0 : g + 1;
                prev_greater1_ctx = g;
                greater1_seen_block = true;
            }
            int sign_hidden = p.sign_hiding && last_sig - first_sig > 3;
            if (last_gt1_pos != -1)
                gt2[last_gt1_pos] = bin(ctx_greater2_flag + ctx_set + (c ? 4 : 0));
            int sign[16] = {0};
            for (int k = 15; k >= 0; k--)
                if (sig[k] && (!sign_hidden || k != first_sig))
                    sign[k] = byp();
            int num_sig = 0, sum_abs = 0, last_abs = 0, last_rice = 0;
            bool first_rem = true;
            for (int k = 15; k >= 0; k--) {
                if (!sig[k])
                    continue;
                int base = 1 + gt1[k] + gt2[k];
                int abs_v = base;
                int want = num_sig < 8 ? (k == last_gt1_pos ? 3 : 2) : 1;
                if (base == want) {
                    int rice = 0;
                    if (!first_rem) {
                        rice = last_rice + (last_abs > 3 * (1 << last_rice) ? 1 : 0);
                        rice = rice > 4 ? 4 : rice;
                    }
                    abs_v = base + read_remaining(rice);
                    first_rem = false;
                    last_abs = abs_v;
                    last_rice = rice;
                }
                int v = sign[k] ? -abs_v : abs_v;
                sum_abs += abs_v;
                if (sign_hidden && k == first_sig && (sum_abs & 1))
                    v = -v;
                int xc = xs * 4 + pos[k][0], yc = ys * 4 + pos[k][1];
                coeff[yc * n + xc] = (int16_t)v;
                num_sig++;
            }
        }
    }

    int sig_ctx(int log2, int c, int scan_idx, int xc, int yc, int xs, int ys, int csbf[8][8], int sb_w)
    {
        static const int ctx_idx_map[16] = {0, 1, 4, 5, 2, 3, 4, 5, 6, 6, 8, 8, 7, 7, 8, 8};
        int s;
        if (log2 == 2) {
            s = ctx_idx_map[(yc << 2) + xc];
        } else if (xc + yc == 0) {
            s = 0;
        } else {
            int prev = 0;
            if (xs < sb_w - 1)
                prev += csbf[xs + 1][ys];
            if (ys < sb_w - 1)
                prev += csbf[xs][ys + 1] << 1;
            int xp = xc & 3, yp = yc & 3;
            if (prev == 0)
                s = xp + yp == 0 ? 2 : xp + yp < 3 ? 1 : 0;
            else if (prev == 1)
                s = yp == 0 ? 2 : yp == 1 ? 1 : 0;
            else if (prev == 2)
                s = xp == 0 ? 2 : xp == 1 ? 1 : 0;
            else
                s = 2;
            if (c == 0) {
                if (xs > 0 || ys > 0)
                    s += 3;
                if (log2 == 3)
                    s += scan_idx == 0 ? 9 : 15;
                else
                    s += 21;
            } else {
                s += log2 == 3 ? 9 : 12;
            }
        }
        return ctx_sig_coeff_flag + (c == 0 ? s : 27 + s);
    }

    // ---- CTU ----
    void read_ctu(int cx, int cy, rd_ctu *dst)
    {
        out = dst;
        out->cus.clear();
        out->pus.clear();
        out->tus.clear();
        std::memset(out->levels, 0, sizeof(out->levels));
        ctb_x = cx;
        ctb_y = cy;
        for (int c = 0; c < 3; c++)
            out->sao[c] = sao_param{SAO_TYPE_OFF, 0, {0, 0, 0, 0}};
        if (p.sao_luma || p.sao_chroma)
            read_sao();
        coding_quadtree(cx * 64, cy * 64, 6, 0);
        out->end_of_slice = d.terminate();
    }
};
