#pragma once
// A decoder's rebuild of the CTU a search has just coded, for the replay
// tests: every CU is rebuilt from the committed maps, the motion grid and the
// coded levels - intra CUs predicted from the rebuilt neighbours, inter CUs
// with the standard's interpolation and weighted prediction read from the
// reference pictures with clamped coordinates, each coded block's
// dequantised residual added - and compared with the search's reconstruction.
// Merged and skipped CUs must carry the motion their index names in the list
// a decoder builds at that point. The walk also counts the kinds of CU.
#include <cstring>
#include <string>
#include <vector>

#include "analysis/motion/amvp.h"
#include "analysis/mode_search.h"
#include "bitstream/syntax_shared.h"
#include "tests/support/mc_test_util.h"

const uint8_t chroma_candidates[4] = {0, 26, 10, 1};

// QpC of qPi for 4:2:0, written out from the standard's table.
inline int standard_chroma_qp(int qpi)
{
    static const int mid[14] = {29, 30, 31, 32, 33, 33, 34, 34, 35, 35, 36, 36, 37, 37};
    if (qpi < 30) return qpi;
    if (qpi <= 43) return mid[qpi - 30];
    return qpi - 6;
}

// A reference plane read as the standard reads it: coordinates outside the
// picture are clamped to its edge.
struct clamped_plane {
    const uint8_t *p;
    int stride, w, h;
    int at(int x, int y) const
    {
        x = x < 0 ? 0 : (x >= w ? w - 1 : x);
        y = y < 0 ? 0 : (y >= h ? h - 1 : y);
        return p[(int64_t)y * stride + x];
    }
};

struct cu_kinds {
    int sizes[4] = {};      // 64, 32, 16, 8
    int skip = 0, merge_residual = 0, searched = 0, bi = 0, intra = 0, far_ref = 0, rdoq_inter = 0;
    int p_slice = 0, b_slice = 0;
    int inter64 = 0;
    int two_unit[2] = {};   // 2NxN, Nx2N
};

struct cu_replay {
    row_context *ctx;
    std::vector<uint8_t> luma_buf, chroma_buf;
    uint8_t *luma, *chroma;
    uint8_t avail[CTU_AVAIL_SIZE];
    intra_ref_area area;
    cu_kinds *kinds;

    cu_replay(row_context *c, cu_kinds *k) : ctx(c), kinds(k)
    {
        // The work buffers with the CTU's borders as the search found them
        // (from one sample left of and above the CTU); the inside is rebuilt.
        const uint8_t *l = c->ctu.recon_luma, *ch = c->ctu.recon_chroma;
        luma_buf.assign(l - CTU_WORK_STRIDE - 1, l + 63 * CTU_WORK_STRIDE + 96);
        chroma_buf.assign(ch - CTU_WORK_STRIDE - 1, ch + 31 * CTU_WORK_STRIDE + 120);
        luma = luma_buf.data() + CTU_WORK_STRIDE + 1;
        chroma = chroma_buf.data() + CTU_WORK_STRIDE + 1;
        for (int y = 0; y < 64; y++) std::memset(luma + y * CTU_WORK_STRIDE, 0x55, 64);
        for (int y = 0; y < 32; y++) {
            std::memset(chroma + y * CTU_WORK_STRIDE, 0x55, 32);
            std::memset(chroma + 64 + y * CTU_WORK_STRIDE, 0x55, 32);
        }
        std::memcpy(avail, c->ctu.recon_avail, sizeof(avail));
        map_fill_rect(avail + 48, 16, 16, 0);
    }

    int qp_of(int z) const { return ctx->ctu.maps.cu_qp_map[map8_index(z)]; }
    bool inter(int z) const { return ctx->ctu.maps.pred_mode_map[map8_index(z)] == 0; }

    void add_residual(uint8_t *dst, const int16_t *levels, int log2, int q, int mode)
    {
        int16_t coeff[1024];
        const transform_table *t = &ctx->enc->transform;
        ctx->enc->quant.dequant(levels, coeff, q, log2);
        if (log2 == 2) t->itrans_add_4x4(dst, coeff, mode);
        else if (log2 == 3) t->idct_add_8x8(dst, coeff);
        else if (log2 == 4) t->idct_add_16x16(dst, coeff);
        else t->idct_add_32x32(dst, coeff);
    }

    void mark(int x, int y, int n)
    {
        map_fill_rect(avail + 48 + x / 4 + 32 * (y / 4), n / 4 > 16 ? 16 : n / 4, n / 4, 1);
    }

    int luma_mode(int z) const { return (uint8_t)ctx->ctu.intra_modes[map4_index(z)]; }

    int chroma_mode(int z) const
    {
        int l = luma_mode(z & ~3);
        int code = (uint8_t)ctx->ctu.intra_modes[chroma_map_index(z >> 2)];
        if (code == 4) return l;
        return chroma_candidates[code] == l ? 34 : chroma_candidates[code];
    }

    void intra_luma(int z, int x, int y, int log2)
    {
        intra_ref_ctx rc = {&ctx->enc->intra_pred, avail, &area};
        int n = 1 << log2, m = luma_mode(z);
        uint8_t *dst = luma + y * CTU_WORK_STRIDE + x;
        intra_gather_ref_samples(&rc, dst, x, y, n, 0, 1);
        const uint8_t *ref = n >= 8 && (intra_smoothing_flags[m] & n) ? area.luma_smoothed : area.luma;
        ctx->enc->intra_pred.pred[m][n <= 16 ? 1 : 0][log2 - 2](dst, CTU_WORK_STRIDE, ref);
    }

    void intra_chroma(int z, int lx, int ly, int log2c)
    {
        intra_ref_ctx rc = {&ctx->enc->intra_pred, avail, &area};
        int m = chroma_mode(z);
        for (int p = 1; p <= 2; p++) {
            uint8_t *dst = chroma + (p - 1) * 64 + (ly / 2) * CTU_WORK_STRIDE + lx / 2;
            intra_gather_ref_samples(&rc, dst, lx, ly, 1 << log2c, p, 1);
            ctx->enc->intra_pred.pred[m][0][log2c - 2](dst, CTU_WORK_STRIDE, p == 1 ? area.cb : area.cr);
        }
    }

    // The transform tree of a CU, split as the syntax codes it (depth below
    // the CU, its limit, a split the syntax infers at the root): intra blocks
    // predicted as they come, every block's levels added on top.
    void transform_unit(int z, int x, int y, int log2, int depth, int max_depth, bool root_split)
    {
        const cu_decision_arrays *d = &ctx->ctu.decision;
        int n = node_index(z, log2);
        if (tu_node_splits(d->tu_split[n], log2, depth, max_depth, root_split)) {
            int h = (1 << log2) / 2, q = 1 << (2 * (log2 - 3));
            for (int k = 0; k < 4; k++)
                transform_unit(z + k * q, x + (k & 1) * h, y + (k >> 1) * h, log2 - 1, depth + 1, max_depth,
                               root_split);
            return;
        }
        bool intra = !inter(z);
        int qp = qp_of(z), cqp = standard_chroma_qp(qp);
        const int16_t *const *levels = ctx->ctu.tu_levels;
        if (intra) intra_luma(z, x, y, log2);
        if (d->cbf_flags[n] & 1)
            add_residual(luma + y * CTU_WORK_STRIDE + x, levels[0] + 16 * z, log2, qp, intra ? luma_mode(z) : 35);
        mark(x, y, 1 << log2);
        if (log2 == 2 && (z & 3) != 3) return;
        int cz = log2 == 2 ? z & ~3 : z, cx = log2 == 2 ? x & ~7 : x, cy = log2 == 2 ? y & ~7 : y;
        int log2c = log2 == 2 ? 2 : log2 - 1;
        if (intra) intra_chroma(cz, cx, cy, log2c);
        for (int p = 1; p <= 2; p++)
            if (d->cbf_flags[n] & (1 << p))
                add_residual(chroma + (p - 1) * 64 + (cy / 2) * CTU_WORK_STRIDE + cx / 2, levels[p] + 4 * cz, log2c,
                             cqp, 35);
    }

    // Motion compensation of one prediction unit into the rebuilt buffers.
    void predict_pu(int x, int y, int w, int h)
    {
        const ctu_motion_grid *g = &ctx->ctu.motion;
        int unit = map8_index(0) + (y / 8) * CTU_MAP8_STRIDE + x / 8;
        int px = 64 * ctx->ctu.x + x, py = 64 * ctx->ctu.y + y;
        const picture *refs[2] = {nullptr, nullptr};
        for (int l = 0; l < 2; l++)
            if (g->ref_idx[l][unit] >= 0) refs[l] = l == 0 ? ctx->fi->pic.list0[g->ref_idx[l][unit]] : ctx->fi->pic.list1[g->ref_idx[l][unit]];
        for (int plane = 0; plane < 3; plane++) {
            int sh = plane ? 1 : 0, bw = w >> sh, bh = h >> sh;
            for (int j = 0; j < bh; j++)
                for (int i = 0; i < bw; i++) {
                    int sum = 0, lists = 0;
                    for (int l = 0; l < 2; l++) {
                        if (!refs[l]) continue;
                        uint32_t mv = g->mv[l][unit];
                        int vx = (int16_t)(mv & 0xffff), vy = (int16_t)(mv >> 16);
                        clamped_plane r = {refs[l]->planes[plane], refs[l]->strides[plane], ctx->enc->width >> sh,
                                           ctx->enc->height >> sh};
                        int bx = (px >> sh) + i, by = (py >> sh) + j;
                        sum += plane ? mc_test::std_chroma_intermediate(r, bx + (vx >> 3), by + (vy >> 3), vx & 7, vy & 7)
                                     : mc_test::std_luma_intermediate(r, bx + (vx >> 2), by + (vy >> 2), vx & 3, vy & 3);
                        lists++;
                    }
                    uint8_t *dst = plane ? chroma + (plane - 1) * 64 + (y / 2 + j) * CTU_WORK_STRIDE + x / 2 + i
                                         : luma + (y + j) * CTU_WORK_STRIDE + x + i;
                    *dst = (uint8_t)(lists == 2 ? mc_test::std_bi(sum, 0) : mc_test::std_uni(sum));
                }
        }
    }

    void count(int z, int log2)
    {
        const ctu_context *c = &ctx->ctu;
        int m = map8_index(z);
        kinds->sizes[6 - log2]++;
        (ctx->fi->pic.sh.slice_type == slice_b ? kinds->b_slice : kinds->p_slice)++;
        if (!inter(z)) {
            kinds->intra++;
            return;
        }
        int r0 = c->motion.ref_idx[0][m], r1 = c->motion.ref_idx[1][m];
        uint32_t part = c->decision.part_mode[node_index(z, log2)];
        if (part == 1 || part == 2) kinds->two_unit[part - 1]++;
        if (log2 == 6) kinds->inter64++;
        if (c->maps.cu_flags_map[m] & 1) kinds->skip++;
        else if (c->motion.merge_flag_map[m]) kinds->merge_residual++;
        else kinds->searched++;
        if (r0 >= 0 && r1 >= 0) kinds->bi++;
        if (r0 > 0 || r1 > 0) kinds->far_ref++;
        if (c->rdoq && c->decision.cbf_flags[node_index(z, log2)]) kinds->rdoq_inter++;
    }

    // A merged prediction unit or a skipped CU must carry the motion of the
    // candidate its index names in the list a decoder builds at that point
    // (neighbours coded so far are those the replay has marked).
    std::string merge_check(int cu_z, const syntax_pu &pu, int log2)
    {
        ctu_context *c = &ctx->ctu;
        int z = pu.z, x = pu.x, y = pu.y, m = map8_index(z), n = 1 << log2;
        if (!(c->maps.cu_flags_map[map8_index(cu_z)] & 1) && !c->motion.merge_flag_map[m]) return "";
        std::vector<uint8_t> kept(c->recon_avail, c->recon_avail + CTU_AVAIL_SIZE);
        std::memcpy(c->recon_avail, avail, sizeof(avail));
        uint32_t mv[2][5] = {};
        int8_t ref[2][5] = {{-1, -1, -1, -1, -1}, {-1, -1, -1, -1, -1}};
        uint32_t mask = 0;
        int32_t temporal = -1, count;
        int w = pu.width, h = pu.height;
        if (ctx->fi->pic.sh.slice_type == slice_b) count = merge_build_list(ctx, z, x, y, w, h, 6 - log2, mv[0], mv[1], ref[0], ref[1], &mask);
        else count = merge_build_list_p(ctx, z, x, y, w, h, 6 - log2, mv[0], ref[0], &temporal);
        std::memcpy(c->recon_avail, kept.data(), sizeof(avail));
        int idx = c->motion.merge_idx_map[m];
        std::string where = "CU of size " + std::to_string(n) + ", unit (" + std::to_string(x) + ", " +
                            std::to_string(y) + ") " + std::to_string(w) + "x" + std::to_string(h);
        if (idx >= count) return where + ": merge index " + std::to_string(idx) + " of " + std::to_string(count);
        for (int l = 0; l < 2; l++) {
            if (ref[l][idx] != c->motion.ref_idx[l][m] && !(ref[l][idx] < 0 && c->motion.ref_idx[l][m] < 0))
                return where + ": merge reference differs in list " + std::to_string(l);
            if (ref[l][idx] >= 0 && mv[l][idx] != c->motion.mv[l][m])
                return where + ": merge vector differs in list " + std::to_string(l);
        }
        return "";
    }

    std::string merge_fault;

    void coding_unit(int z, int x, int y, int log2)
    {
        count(z, log2);
        if (inter(z)) {
            int n = 1 << log2;
            syntax_pu pu[4];
            int k = syntax_pu_layout(ctx->ctu.decision.part_mode[node_index(z, log2)], z, x, y, log2, pu);
            for (int i = 0; i < k; i++) {
                if (merge_fault.empty()) merge_fault = merge_check(z, pu[i], log2);
                predict_pu(pu[i].x, pu[i].y, pu[i].width, pu[i].height);
            }
            // No transform tree in a skipped CU, nor where the root flags are
            // clear (rqt_root_cbf 0) unless a merged 2Nx2N CU implies it.
            const ctu_context *c = &ctx->ctu;
            int node = node_index(z, log2), m = map8_index(z);
            uint32_t part = c->decision.part_mode[node];
            bool merged_2nx2n = part == 0 && c->motion.merge_flag_map[m];
            bool tree = !(c->maps.cu_flags_map[m] & 1) && (merged_2nx2n || c->decision.cbf_flags[node] != 0);
            int max_depth = ctx->enc->sps.max_tu_depth_inter;
            if (tree) transform_unit(z, x, y, log2, 0, max_depth, max_depth == 0 && part != 0);
            mark(x, y, n);
            return;
        }
        uint32_t part = ctx->ctu.decision.part_mode[node_index(z, log2)];
        transform_unit(z, x, y, log2, 0, ctx->enc->sps.max_tu_depth_intra + (part == 3 ? 1 : 0), part == 3);
    }

    void coding_tree(int z, int x, int y, int log2)
    {
        int n = node_index(z, log2), h = (1 << log2) / 2;
        if (log2 > 3 && ctx->ctu.decision.cu_split[n]) {
            int q = 1 << (2 * (log2 - 3));
            for (int k = 0; k < 4; k++) {
                int cx = x + (k & 1) * h, cy = y + (k >> 1) * h;
                if (64 * ctx->ctu.x + cx < ctx->enc->width && 64 * ctx->ctu.y + cy < ctx->enc->height)
                    coding_tree(z + k * q, cx, cy, log2 - 1);
            }
            return;
        }
        coding_unit(z, x, y, log2);
    }

    // First differing sample of the CTU's picture area, or an empty string.
    std::string compare() const
    {
        const ctu_context *c = &ctx->ctu;
        for (int plane = 0; plane < 3; plane++) {
            int sh = plane ? 1 : 0, w = c->ctu_w >> sh, h = c->ctu_h >> sh;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    const uint8_t *a = plane ? c->recon_chroma + (plane - 1) * 64 : c->recon_luma;
                    const uint8_t *b = plane ? chroma + (plane - 1) * 64 : luma;
                    if (a[y * CTU_WORK_STRIDE + x] != b[y * CTU_WORK_STRIDE + x])
                        return "picture " + std::to_string(ctx->fi->pic.recon_picture->frame_number) + " CTU (" +
                               std::to_string(c->x) + ", " + std::to_string(c->y) + ") plane " +
                               std::to_string(plane) + " at (" + std::to_string(x) + ", " + std::to_string(y) +
                               "): search " + std::to_string(a[y * CTU_WORK_STRIDE + x]) + ", replay " +
                               std::to_string(b[y * CTU_WORK_STRIDE + x]);
                }
        }
        return "";
    }
};

