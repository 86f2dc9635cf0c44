#pragma once
// A decoder's view of the deblocking of each CTU, for the replay tests: after
// the encoder has set a CTU's boundary strengths and edge QPs, the committed
// CU tree, the decided transform trees and the motion grid are read the way a
// decoder reads the syntax made from them (no transform tree in a skipped CU
// or an inter CU whose root coded-block flags are all clear, split flags sent
// only above the depth limits and inferred elsewhere, the luma flag inferred
// where it is not sent), written into picture-wide arrays of 4x4 units, and
// the boundary strength of every 4-sample segment on the 8x8 grid is derived
// from them as H.265 does it: 2 next to an intra block; 1 on a transform
// block edge with coded luma coefficients on either side; on any other
// transform or prediction edge 1 when the reference pictures or the number
// of vectors differ or a vector pair lies 4 quarter samples apart, else 0.
// The filtered edges take the rounded mean of the two sides' QpY, which the
// walk derives as a decoder does: the slice QP without cu_qp_delta; else the
// prediction of the quantisation group (left and above inside the CTU, the
// previous group's last QP, the slice QP at a slice or wavefront row start)
// for CUs before the group's first coded residual, and from that CU on the
// QP it codes (the committed one). Every difference from the encoder's
// boundary-strength map and QP table is reported with its picture, CTU and
// edge.
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "encoder/encoder_instance.h"

struct deblock_replay {
    // One 4x4 unit of a picture as a decoder has it after parsing.
    struct unit {
        int8_t mode = -1;        // -1 not coded yet, 0 inter, 1 intra
        int8_t coded = 0;        // its transform block has coded luma coefficients
        int8_t qp = 0;           // QpY of its CU
        int32_t cu = -1, pu = -1, tu = -1;   // block identities
        int32_t poc[2] = {0, 0};             // reference picture by list, when used
        int8_t used[2] = {0, 0};
        uint32_t mv[2] = {0, 0};
    };
    struct picture_state {
        int w4 = 0, h4 = 0;
        std::vector<unit> units;
        int32_t next_id = 0;
        std::vector<int> row_last_qp;   // QpY of the last CU decoded in each CTU row
    };

    std::mutex lock;
    std::map<int32_t, std::unique_ptr<picture_state>> pictures;   // by frame number
    std::vector<std::string> faults;
    int64_t ctus = 0, segments = 0, filtered = 0;
    int64_t by_strength[3] = {0, 0, 0};
    int64_t qp_groups = 0, predicted_cus = 0;   // quantisation groups; CUs that took the prediction

    void fault(const std::string &f)
    {
        if (faults.size() < 8) faults.push_back(f);
    }

    // ---- The CTU's blocks as a decoder parses them ----

    struct ctu_walk {
        deblock_replay *r;
        picture_state *ps;
        const row_context *ctx;
        int x0, y0;   // CTU origin in the picture
        // the quantisation group in hand
        int qg_pred = 0, qg_qp = 0;
        bool qg_coded = false;
        int last_qp = 0;   // QpY of the CU decoded last (qPY_PREV of the next group)
        bool cu_coded = false;   // the CU in hand codes residual somewhere

        unit &at(int x, int y) { return ps->units[(size_t)(y >> 2) * ps->w4 + (x >> 2)]; }

        template <class F>
        void each(int x, int y, int w, int h, F f)
        {
            for (int j = 0; j < h; j += 4)
                for (int i = 0; i < w; i += 4)
                    if (x0 + x + i < ctx->enc->width && y0 + y + j < ctx->enc->height) f(at(x0 + x + i, y0 + y + j));
        }

        static int z_of(int x, int y)
        {
            int z = 0;
            for (int b = 0; b < 4; b++) z |= (((x >> (2 + b)) & 1) << (2 * b)) | (((y >> (2 + b)) & 1) << (2 * b + 1));
            return z;
        }
        static int unit8(int x, int y) { return CTU_MAP8_ORIGIN + (y / 8) * CTU_MAP8_STRIDE + x / 8; }
        static int node(int x, int y, int log2) { return cu_tree_node(z_of(x, y), log2); }

        void prediction_unit(int x, int y, int w, int h)
        {
            const ctu_motion_grid *g = &ctx->ctu.motion;
            const picture *rec = ctx->fi->pic.recon_picture;
            int u = unit8(x, y);
            int32_t id = ps->next_id++;
            each(x, y, w, h, [&](unit &a) {
                a.pu = id;
                for (int l = 0; l < 2; l++) {
                    int ref = g->ref_idx[l][u];
                    a.used[l] = ref >= 0;
                    a.poc[l] = ref >= 0 ? rec->ref_pocs[l][ref] : 0;
                    a.mv[l] = ref >= 0 ? g->mv[l][u] : 0;
                }
            });
        }

        void transform_tree(int x, int y, int log2, int depth, bool intra, int part, int cb, int cr)
        {
            const cu_decision_arrays *d = &ctx->ctu.decision;
            const sps_params *sps = &ctx->enc->sps;
            int n = node(x, y, log2);
            bool intra_split = intra && part == 3;
            int max_depth = intra ? sps->max_tu_depth_intra + (intra_split ? 1 : 0) : sps->max_tu_depth_inter;
            bool sent = log2 <= sps->log2_max_tb_size && log2 > sps->log2_min_tb_size && depth < max_depth &&
                        !(intra_split && depth == 0);
            bool split = sent ? d->tu_split[n] != 0
                              : log2 > sps->log2_max_tb_size || (intra_split && depth == 0) ||
                                    (sps->max_tu_depth_inter == 0 && !intra && part != 0 && depth == 0);
            if (log2 > 2) {
                cb = (depth == 0 || cb) ? (d->cbf_flags[n] & 2) != 0 : 0;
                cr = (depth == 0 || cr) ? (d->cbf_flags[n] & 4) != 0 : 0;
            }
            if (split) {
                int h = 1 << (log2 - 1);
                for (int k = 0; k < 4; k++)
                    transform_tree(x + (k & 1) * h, y + (k >> 1) * h, log2 - 1, depth + 1, intra, part, cb, cr);
                return;
            }
            // Not sent at the root of an inter CU without chroma: inferred set.
            int luma = (intra || depth > 0 || cb || cr) ? d->cbf_flags[n] & 1 : 1;
            if (luma || cb || cr) cu_coded = true;
            int32_t id = ps->next_id++;
            each(x, y, 1 << log2, 1 << log2, [&](unit &a) {
                a.tu = id;
                a.coded = (int8_t)luma;
            });
        }

        void coding_unit(int x, int y, int log2)
        {
            const ctu_context *c = &ctx->ctu;
            int u = unit8(x, y), n = node(x, y, log2), size = 1 << log2;
            bool intra = c->maps.pred_mode_map[u] == 1;
            bool skip = !intra && (c->maps.cu_flags_map[u] & 1);
            int part = skip ? 0 : (int)c->decision.part_mode[n];
            int32_t cu_id = ps->next_id++;
            each(x, y, size, size, [&](unit &a) {
                a.mode = intra ? 1 : 0;
                a.cu = a.tu = cu_id;
                a.coded = 0;
                a.used[0] = a.used[1] = 0;
            });
            if (intra) {
                int32_t id = ps->next_id++;
                each(x, y, size, size, [&](unit &a) { a.pu = id; });
            } else {
                int h = size / 2;
                if (part == 0) prediction_unit(x, y, size, size);
                else if (part == 1) prediction_unit(x, y, size, h), prediction_unit(x, y + h, size, h);
                else if (part == 2) prediction_unit(x, y, h, size), prediction_unit(x + h, y, h, size);
                else
                    for (int k = 0; k < 4; k++) prediction_unit(x + (k & 1) * h, y + (k >> 1) * h, h, h);
            }
            bool merged_2nx2n = !intra && part == 0 && c->motion.merge_flag_map[u];
            bool tree = !skip && (intra || merged_2nx2n || c->decision.cbf_flags[n] != 0);
            cu_coded = false;
            if (tree) transform_tree(x, y, log2, 0, intra, part, 1, 1);
            // QpY: the group's first coded residual carries the committed QP
            // (its delta against the prediction); the CUs before it keep the
            // prediction, those after it the group's QP.
            int qp = ctx->fi->pic.sh.slice_qp;
            if (ctx->enc->pps.cu_qp_delta_enabled) {
                if (!qg_coded && cu_coded) {
                    qg_coded = true;
                    qg_qp = c->maps.cu_qp_map[u];
                }
                qp = qg_coded ? qg_qp : qg_pred;
                if (!qg_coded) r->predicted_cus++;
            }
            each(x, y, size, size, [&](unit &a) { a.qp = (int8_t)qp; });
            last_qp = qp;
        }

        // qPY_PRED of the group starting at (x, y) of the CTU.
        void group_start(int x, int y)
        {
            int prev = last_qp;
            int a = x > 0 ? at(x0 + x - 1, y0 + y).qp : prev;
            int b = y > 0 ? at(x0 + x, y0 + y - 1).qp : prev;
            qg_pred = (a + b + 1) >> 1;
            qg_coded = false;
            r->qp_groups++;
        }

        void coding_tree(int x, int y, int log2)
        {
            const pps_params *pps = &ctx->enc->pps;
            if (pps->cu_qp_delta_enabled && log2 >= 6 - pps->diff_cu_qp_delta_depth) group_start(x, y);
            if (log2 > 3 && ctx->ctu.decision.cu_split[node(x, y, log2)]) {
                int h = 1 << (log2 - 1);
                for (int k = 0; k < 4; k++) {
                    int cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
                    if (x0 + cx < ctx->enc->width && y0 + cy < ctx->enc->height) coding_tree(cx, cy, log2 - 1);
                }
                return;
            }
            coding_unit(x, y, log2);
        }
    };

    // ---- Boundary strength of one segment ----

    static bool far(uint32_t a, uint32_t b)
    {
        int ax = (int16_t)(a & 0xFFFF), ay = (int16_t)(a >> 16);
        int bx = (int16_t)(b & 0xFFFF), by = (int16_t)(b >> 16);
        return std::abs(ax - bx) >= 4 || std::abs(ay - by) >= 4;
    }

    // The motion rule, comparing pictures and not list indices.
    static int motion_strength(const unit &p, const unit &q)
    {
        int np = p.used[0] + p.used[1], nq = q.used[0] + q.used[1];
        if (np != nq) return 1;
        if (np == 1) {
            int lp = p.used[0] ? 0 : 1, lq = q.used[0] ? 0 : 1;
            if (p.poc[lp] != q.poc[lq]) return 1;
            return far(p.mv[lp], q.mv[lq]) ? 1 : 0;
        }
        bool straight = p.poc[0] == q.poc[0] && p.poc[1] == q.poc[1];
        bool crossed = p.poc[0] == q.poc[1] && p.poc[1] == q.poc[0];
        if (!straight && !crossed) return 1;
        if (p.poc[0] != p.poc[1]) {
            if (straight) return (far(p.mv[0], q.mv[0]) || far(p.mv[1], q.mv[1])) ? 1 : 0;
            return (far(p.mv[0], q.mv[1]) || far(p.mv[1], q.mv[0])) ? 1 : 0;
        }
        bool a = far(p.mv[0], q.mv[0]) || far(p.mv[1], q.mv[1]);
        bool b = far(p.mv[0], q.mv[1]) || far(p.mv[1], q.mv[0]);
        return (a && b) ? 1 : 0;
    }

    static int strength(const unit &p, const unit &q)
    {
        bool transform_edge = p.tu != q.tu;
        bool prediction_edge = p.pu != q.pu;
        if (!transform_edge && !prediction_edge) return 0;
        if (p.mode == 1 || q.mode == 1) return 2;
        if (transform_edge && (p.coded || q.coded)) return 1;
        return motion_strength(p, q);
    }

    // ---- The check ----

    void check_ctu(const row_context *ctx, const deblock_context *db)
    {
        std::lock_guard<std::mutex> hold(lock);
        int32_t number = ctx->fi->pic.recon_picture->frame_number;
        std::unique_ptr<picture_state> &slot = pictures[number];
        int x0 = 64 * ctx->ctu.x, y0 = 64 * ctx->ctu.y;
        if (!slot || (ctx->ctu.x == 0 && ctx->ctu.y == 0)) {
            slot.reset(new picture_state);
            slot->w4 = ctx->enc->ctu_cols * 16;
            slot->h4 = ctx->enc->ctu_rows * 16;
            slot->units.assign((size_t)slot->w4 * slot->h4, unit{});
        }
        picture_state *ps = slot.get();
        ctu_walk walk{this, ps, ctx, x0, y0};
        // qPY_PREV at the CTU's start: the slice QP at the slice start and,
        // with wavefront rows, at each row start; else the last CU before.
        int cx = ctx->ctu.x, cy = ctx->ctu.y;
        if (ps->row_last_qp.empty()) ps->row_last_qp.assign(ctx->enc->ctu_rows, 0);
        if (cx == 0 && (cy == 0 || ctx->enc->pps.entropy_coding_sync)) walk.last_qp = ctx->fi->pic.sh.slice_qp;
        else walk.last_qp = ps->row_last_qp[cx == 0 ? cy - 1 : cy];
        walk.coding_tree(0, 0, 6);
        ps->row_last_qp[cy] = walk.last_qp;
        ctus++;

        const int8_t *entry = db->deblock_bs_map + (intptr_t)db->ctu_addr * DEBLOCK_BS_ENTRY;
        const int8_t *qp_block =
            db->deblock_qp_table + (intptr_t)(db->cu_qp_delta_enabled ? db->ctu_x : 0) * DEBLOCK_QP_BLOCK;
        std::string where = "picture " + std::to_string(number) + " CTU (" + std::to_string(ctx->ctu.x) + ", " +
                            std::to_string(ctx->ctu.y) + ")";
        for (int dir = 0; dir < 2; dir++) {
            for (int line = 0; line < 8; line++) {
                for (int k = 0; k < 16; k++) {
                    // dir 0: vertical edge x = 8 line, rows 4k..; dir 1: horizontal edge y = 8 line.
                    int x = x0 + (dir == 0 ? 8 * line : 4 * k), y = y0 + (dir == 0 ? 4 * k : 8 * line);
                    if (x >= ctx->enc->width || y >= ctx->enc->height || (dir == 0 ? x : y) == 0) continue;
                    const unit &q = walk.at(x, y);
                    const unit &p = dir == 0 ? walk.at(x - 4, y) : walk.at(x, y - 4);
                    if (p.mode < 0 || q.mode < 0) {
                        fault(where + ": a neighbour was not coded before the CTU");
                        continue;
                    }
                    int want = strength(p, q);
                    int v = entry[(dir ? DEBLOCK_BS_HOR : 0) + line * 16 + k];
                    int got = v <= 0 ? 0 : v >= 3 ? 2 : 1;
                    segments++;
                    by_strength[want]++;
                    std::string edge = where + (dir == 0 ? " vertical" : " horizontal") + " edge at (" +
                                       std::to_string(x) + ", " + std::to_string(y) + ")";
                    if (want != got) {
                        fault(edge + ": boundary strength " + std::to_string(got) + " (encoder value " +
                              std::to_string(v) + "), a decoder derives " + std::to_string(want) + describe(p, q));
                        continue;
                    }
                    if (want == 0) continue;
                    filtered++;
                    int qp = (p.qp + q.qp + 1) >> 1;
                    int enc_qp = dir == 0 ? qp_block[(k >> 1) * 8 + line] : qp_block[64 + line * 8 + (k >> 1)];
                    if (qp != enc_qp)
                        fault(edge + ": QP " + std::to_string(enc_qp) + ", a decoder takes " + std::to_string(qp));
                }
            }
        }
        // A picture's state is dropped once its last CTU is checked.
        if (ctx->ctu.x == ctx->enc->ctu_cols - 1 && ctx->ctu.y == ctx->enc->ctu_rows - 1) pictures.erase(number);
    }

    static std::string describe(const unit &p, const unit &q)
    {
        auto one = [](const unit &a) {
            std::string s = a.mode == 1 ? "intra" : "inter";
            s += a.coded ? " coded" : " uncoded";
            for (int l = 0; l < 2; l++)
                if (a.used[l])
                    s += " L" + std::to_string(l) + " poc " + std::to_string(a.poc[l]) + " (" +
                         std::to_string((int16_t)(a.mv[l] & 0xFFFF)) + "," + std::to_string((int16_t)(a.mv[l] >> 16)) +
                         ")";
            return s;
        };
        return " (p: " + one(p) + "; q: " + one(q) + (p.tu != q.tu ? "; transform edge" : "") +
               (p.pu != q.pu ? "; prediction edge" : "") + ")";
    }
};
