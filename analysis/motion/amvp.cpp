// AMVP candidate list of H.265 (spatial A and B candidates, the temporal
// candidate from the collocated picture, zero padding), the distance scaling
// of vectors and the choice of the predictor that codes a vector cheapest.
#include "analysis/motion/amvp.h"

#include "analysis/rd/avail_map.h"
#include "encoder/encoder_instance.h"
#include "encoder/int_math.h"

const int32_t mv_scale_reciprocal[65] = {
-512, -529, -546, -565, -585, -607, -630, -655, -683, -712, -745, -780, -819,
-862, -910, -964, -1024, -1092, -1170, -1260, -1365, -1489, -1638, -1820, -2048, -2341,
-2731, -3277, -4096, -5461, -8192, -16384, 0, 16384, 8192, 5461, 4096, 3277, 2731,
2341, 2048, 1820, 1638, 1489, 1365, 1260, 1170, 1092, 1024, 964, 910, 862,
819, 780, 745, 712, 683, 655, 630, 607, 585, 565, 546, 529, 512
,
};

void mv_scale(uint32_t *out, const int16_t mv_in[2], int tb, int td)
{
    if (tb == td) {
        *out = mv_pack(mv_in[0], mv_in[1]);
        return;
    }
    // The decoder clips both distances to -128..127; the table covers the
    // usual -32..32 and the rest is computed the same way.
    td = clamp_i32(td, -128, 127);
    tb = clamp_i32(tb, -128, 127);
    int tx = (td >= -32 && td <= 32) ? mv_scale_reciprocal[td + 32]
                                      : (16384 + ((td < 0 ? -td : td) >> 1)) / td;
    int f = clamp_i32((tx * tb + 32) >> 6, -4096, 4095);
    int r[2];
    for (int c = 0; c < 2; c++) {
        int p = mv_in[c] * f;
        r[c] = clamp_i32((p + 127 + (p < 0 ? 1 : 0)) >> 8, -32768, 32767);
    }
    *out = mv_pack(r[0], r[1]);
}

// Picture at index idx of a reference list of the current slice, or null.
static const picture *ref_picture(const frame_instance *fi, int list, int idx)
{
    // A P slice has no list 1, whatever the instance's count says.
    if (list == 1 && fi->pic.sh.slice_type != slice_b) return nullptr;
    int n = list == 0 ? fi->pic.ref_count_l0 : fi->pic.ref_count_l1;
    if (idx < 0 || idx >= n || idx >= ENCODER_MAX_REFS) return nullptr;
    return list == 0 ? fi->pic.list0[idx] : fi->pic.list1[idx];
}

static int32_t current_poc(const row_context *ctx) { return ctx->fi->pic.recon_picture->poc; }

static void scale_packed(uint32_t *out, uint32_t mv, int tb, int td)
{
    int16_t v[2] = {mv_x(mv), mv_y(mv)};
    mv_scale(out, v, tb, td);
}

int amvp_spatial_unscaled(row_context *ctx, int list, uint32_t *out, int *count, int cur, int nb)
{
    const ctu_motion_grid *g = &ctx->ctu.motion;
    const picture *target = ref_picture(ctx->fi, list, g->ref_idx[list][cur]);
    if (!target) return 0;
    for (int k = 0; k < 2; k++) {
        int l = k == 0 ? list : 1 - list;
        const picture *p = ref_picture(ctx->fi, l, g->ref_idx[l][nb]);
        if (p && p->poc == target->poc) {
            out[(*count)++] = g->mv[l][nb];
            return 1;
        }
    }
    return 0;
}

int amvp_spatial_scaled(row_context *ctx, int list, uint32_t *out, int *count, int cur, int nb)
{
    const ctu_motion_grid *g = &ctx->ctu.motion;
    const picture *target = ref_picture(ctx->fi, list, g->ref_idx[list][cur]);
    if (!target) return 0;
    for (int k = 0; k < 2; k++) {
        int l = k == 0 ? list : 1 - list;
        const picture *p = ref_picture(ctx->fi, l, g->ref_idx[l][nb]);
        if (p) {
            int32_t poc = current_poc(ctx);
            scale_packed(&out[*count], g->mv[l][nb], poc - target->poc, poc - p->poc);
            (*count)++;
            return 1;
        }
    }
    return 0;
}

// True when no reference of the slice follows the current picture in output
// order (H.265's NoBackwardPredFlag).
static bool no_backward_prediction(const row_context *ctx)
{
    int32_t poc = current_poc(ctx);
    for (int l = 0; l < 2; l++)
        for (int k = 0;; k++) {
            const picture *p = ref_picture(ctx->fi, l, k);
            if (!p) break;
            if (p->poc > poc) return false;
        }
    return true;
}

static const picture *collocated_picture(const frame_instance *fi)
{
    if (fi->pic.sh.slice_type == slice_b && !fi->pic.sh.collocated_from_l0 && fi->pic.ref_count_l1 > 0)
        return ref_picture(fi, 1, 0);
    return ref_picture(fi, 0, 0);
}

// Motion of the collocated picture at the 16x16-grid unit holding picture
// position (px, py): the vector and the POC of the picture it refers to.
static int collocated_motion(const row_context *ctx, const picture *col, int px, int py, int list,
                             uint32_t *mv, int32_t *ref_poc)
{
    if (!col->ref_idx_map[0] || !col->mv_map[0]) return 0;
    int64_t ux = (px >> 3) & ~1, uy = (py >> 3) & ~1;
    int64_t idx = uy * 8 * ctx->enc->ctu_cols + ux;
    int ri[2];
    for (int l = 0; l < 2; l++) {
        ri[l] = col->ref_idx_map[l] && col->mv_map[l] ? col->ref_idx_map[l][idx] : -1;
        // An index the picture never used names no picture: treat as no motion.
        if (ri[l] >= col->ref_count[l] || ri[l] >= PICTURE_MAX_REFS) ri[l] = -1;
    }
    int use;
    if (ri[0] < 0 && ri[1] < 0) return 0;
    if (ri[0] < 0) use = 1;
    else if (ri[1] < 0) use = 0;
    else use = no_backward_prediction(ctx) ? list : (ctx->fi->pic.sh.collocated_from_l0 ? 1 : 0);
    *mv = col->mv_map[use][idx];
    *ref_poc = col->ref_pocs[use][ri[use]];
    return 1;
}

int amvp_temporal(row_context *ctx, int x, int y, int w, int h, int list, int32_t target_poc, uint32_t *out)
{
    const picture *col = collocated_picture(ctx->fi);
    if (!col) return 0;
    int x0 = ctx->ctu.x * 64, y0 = ctx->ctu.y * 64;
    uint32_t mv = 0;
    int32_t ref_poc = 0;
    int found = 0;
    int bx = x0 + x + w, by = y0 + y + h;
    // The bottom-right unit only inside the picture and the current CTU row.
    if (bx < ctx->enc->width && by < ctx->enc->height && y + h < 64)
        found = collocated_motion(ctx, col, bx, by, list, &mv, &ref_poc);
    if (!found) found = collocated_motion(ctx, col, x0 + x + w / 2, y0 + y + h / 2, list, &mv, &ref_poc);
    if (!found) return 0;
    scale_packed(out, mv, current_poc(ctx) - target_poc, col->poc - ref_poc);
    return 1;
}

struct amvp_neighbours {
    int avail[5];  // A0 A1 B0 B1 B2
    int unit[5];
};

static void amvp_neighbours_find(const row_context *ctx, int x, int y, int w, int h, amvp_neighbours *n)
{
    const uint8_t *map = ctx->ctu.recon_avail;
    n->avail[0] = map[avail_map_index(x - 1, y + h)];
    n->unit[0] = motion_grid_index(x - 1, y + h);
    n->avail[1] = map[avail_map_index(x - 1, y)];
    n->unit[1] = motion_grid_index(x - 1, y + h - 1);
    n->avail[2] = map[avail_map_index(x + w, y - 1)];
    n->unit[2] = motion_grid_index(x + w, y - 1);
    n->avail[3] = map[avail_map_index(x, y - 1)];
    n->unit[3] = motion_grid_index(x + w - 1, y - 1);
    n->avail[4] = map[avail_map_index(x - 1, y - 1)];
    n->unit[4] = motion_grid_index(x - 1, y - 1);
}

static int amvp_spatial(row_context *ctx, int list, int cur, const amvp_neighbours *n, uint32_t *out)
{
    int count = 0;
    const int8_t *mode = ctx->ctu.maps.pred_mode_map;
    // Left: A0, A1 unscaled, then A0, A1 scaled.
    if (!(n->avail[0] && amvp_spatial_unscaled(ctx, list, out, &count, cur, n->unit[0])) &&
        !(n->avail[1] && amvp_spatial_unscaled(ctx, list, out, &count, cur, n->unit[1])) &&
        !(n->avail[0] && amvp_spatial_scaled(ctx, list, out, &count, cur, n->unit[0])))
        if (n->avail[1]) amvp_spatial_scaled(ctx, list, out, &count, cur, n->unit[1]);
    // Above: B0, B1, B2 unscaled.
    for (int k = 2; k < 5; k++)
        if (n->avail[k] && amvp_spatial_unscaled(ctx, list, out, &count, cur, n->unit[k])) break;
    // Without an inter A neighbour the above side also gets a scaled try.
    bool a_inter = (n->avail[0] && mode[n->unit[0]] != 1) || (n->avail[1] && mode[n->unit[1]] != 1);
    if (count < 2 && !a_inter)
        for (int k = 2; k < 5; k++)
            if (n->avail[k] && amvp_spatial_scaled(ctx, list, out, &count, cur, n->unit[k])) break;
    if (count == 2 && out[0] == out[1]) count = 1;
    return count;
}

int amvp_build_list(row_context *ctx, int zidx, int x, int y, int w, int h, int depth, int list,
                    uint32_t out[2])
{
    (void)zidx;
    (void)depth;
    int cur = motion_grid_index(x, y);
    const picture *target = ref_picture(ctx->fi, list, ctx->ctu.motion.ref_idx[list][cur]);
    uint32_t cand[3] = {0, 0, 0};
    int count = 0;
    if (target) {
        amvp_neighbours n;
        amvp_neighbours_find(ctx, x, y, w, h, &n);
        count = amvp_spatial(ctx, list, cur, &n, cand);
        if (count < 2 && ctx->enc->sps.temporal_mvp_enabled &&
            amvp_temporal(ctx, x, y, w, h, list, target->poc, &cand[count]))
            count++;
    }
    out[0] = cand[0];
    out[1] = cand[1];
    if (count == 0) {
        out[0] = 0;
        return 1;
    }
    if (count == 1) {
        if (out[0] == 0) return 1;
        out[1] = 0;
    }
    return 2;
}
