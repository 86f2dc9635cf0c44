// Motion-compensated prediction of an inter CU into the CTU work planes, from
// the motion committed into the CTU's motion grid: one list, or both lists
// averaged through 16-bit intermediates (or, on request, through 8-bit luma
// predictions). Every vector is first clamped so that its block starts at
// most 71 samples before the picture and 7 samples past it; the reference
// margins hold replicated edges, so the clamped block reads the same samples
// a decoder reads for the vector as sent.
#include "analysis/mode_search.h"

#include <cstring>

#include "analysis/motion/amvp.h"
#include "analysis/motion/quarter_window.h"
#include "bitstream/syntax_shared.h"
#include "encoder/int_math.h"

namespace {

// Where a prediction unit reads: reference index, clamped vector and its
// quarter-sample position relative to the CTU origin.
struct pu_source {
    int32_t ref;
    int32_t X, Y;
};

pu_source pu_source_of(row_context *ctx, int32_t list, int32_t x, int32_t y)
{
    const ctu_motion_grid *g = &ctx->ctu.motion;
    int32_t unit = motion_grid_index(x, y);
    int16_t mv[2] = {mv_x(g->mv[list][unit]), mv_y(g->mv[list][unit])};
    mv_clamp(ctx, mv, x, y);
    pu_source s;
    s.ref = g->ref_idx[list][unit];
    s.X = mv[0] + 4 * x;
    s.Y = mv[1] + 4 * y;
    return s;
}

const uint8_t *ref_plane(row_context *ctx, int32_t list, int32_t ref, int32_t plane)
{
    return ctx->ctu.ref_planes[list][ref][plane];
}

// The sixteen phase planes of a reference at the CTU origin, or null when the
// references carry none.
uint8_t *const *phase_planes(row_context *ctx, int32_t list, int32_t ref)
{
    mode_search_state *st = search_state(ctx);
    if (!st->subpel_planes || !st->me->use_subpel_planes) return nullptr;
    return const_cast<uint8_t *const *>(st->me->ref_phase[list][ref]);
}

// The block of a quarter-sample phase in the CTU's window (references with
// sub-sample planes keep the half-sample phases only), or null.
const uint8_t *quarter_block(row_context *ctx, int32_t list, int32_t ref, int32_t X, int32_t Y, int32_t w, int32_t h,
                             int32_t *stride)
{
    quarter_window *q = search_state(ctx)->me->quarter;
    return q ? quarter_window_block(q, list, ref, X, Y, w, h, stride) : nullptr;
}

const uint8_t *luma_8bit(row_context *ctx, int32_t list, const pu_source *s, uint8_t *dst, int32_t w,
                         int32_t h, int32_t *stride)
{
    return mc_luma_8bit(ctx, list, s->ref, s->X, s->Y, w, h, dst, stride, 0);
}

void chroma_bi_16bit(row_context *ctx, const pu_source *s0, const pu_source *s1, int32_t x, int32_t y,
                     int32_t w, int32_t h)
{
    const mc_table *mc = &ctx->enc->mc;
    int16_t *a = (int16_t *)ctx->ctu.scratch, *b = a + 64 * 64;
    for (int32_t p = 1; p <= 2; p++) {
        const int32_t cs = ctx->fi->pic.recon_picture->strides[p];
        mc->interp_chroma_16bit(a, 64, ref_plane(ctx, 0, s0->ref, p), cs, s0->X, s0->Y, w / 2, h / 2);
        mc->interp_chroma_16bit(b, 64, ref_plane(ctx, 1, s1->ref, p), cs, s1->X, s1->Y, w / 2, h / 2);
        mc->bipred_avg_16bit(chroma_work(ctx, p, x, y), CTU_WORK_STRIDE, a, 64, b, 64, w / 2, h / 2);
    }
}

}  // namespace

const uint8_t *mc_luma_8bit(row_context *ctx, int32_t list, int32_t ref, int32_t X, int32_t Y, int32_t w,
                            int32_t h, uint8_t *dst, int32_t *stride, int32_t bilinear)
{
    const int32_t ls = ctx->fi->pic.recon_picture->strides[0];
    uint8_t *const *planes = phase_planes(ctx, list, ref);
    if (planes && planes[4 * (Y & 3) + (X & 3)]) {
        *stride = ls;
        return ctx->enc->mc.subpel_plane_ptr(planes, ls, X, Y);
    }
    if (planes) {
        const uint8_t *q = quarter_block(ctx, list, ref, X, Y, w, h, stride);
        if (q) return q;
    }
    *stride = 64;
    const uint8_t *plane = ref_plane(ctx, list, ref, 0);
    if (bilinear) return ctx->enc->mc.mc_luma_ref_or_bilinear(dst, stride, plane, ls, X, Y, w, h);
    return ctx->enc->mc.mc_luma_ref_or_interp(dst, stride, plane, nullptr, ls, X, Y, w, h);
}

void mc_luma_into(row_context *ctx, int32_t list, int32_t ref, int32_t X, int32_t Y, int32_t w, int32_t h,
                  uint8_t *dst, int32_t dst_stride)
{
    const int32_t ls = ctx->fi->pic.recon_picture->strides[0];
    uint8_t *const *planes = phase_planes(ctx, list, ref);
    if (planes && planes[4 * (Y & 3) + (X & 3)]) {
        ctx->enc->mc.mc_from_subpel_planes(dst, dst_stride, planes, ls, X, Y, w, h);
        return;
    }
    int32_t qs = 0;
    const uint8_t *q = planes ? quarter_block(ctx, list, ref, X, Y, w, h, &qs) : nullptr;
    if (!q) {
        ctx->enc->mc.interp_luma(dst, dst_stride, ref_plane(ctx, list, ref, 0), nullptr, ls, X, Y, w, h);
        return;
    }
    if (w == 64 || w == 32 || w == 16 || w == 8 || w == 4) {
        ctx->enc->mc.block_copy(dst, dst_stride, q, qs, w, h);
        return;
    }
    for (int32_t y = 0; y < h; y++) std::memcpy(dst + (int64_t)y * dst_stride, q + (int64_t)y * qs, (size_t)w);
}

uint8_t *chroma_work(row_context *ctx, int32_t plane, int32_t x, int32_t y)
{
    return ctx->ctu.recon_chroma + 64 * (plane - 1) + (y / 2) * CTU_WORK_STRIDE + x / 2;
}

void mv_clamp(row_context *ctx, int16_t mv[2], int32_t x, int32_t y)
{
    const ctu_context *c = &ctx->ctu;
    mv[0] = (int16_t)clamp_i32(mv[0], 4 * (c->mv_min_x - x), 4 * (c->mv_max_x - x));
    mv[1] = (int16_t)clamp_i32(mv[1], 4 * (c->mv_min_y - y), 4 * (c->mv_max_y - y));
}

// One list (list 0 or 1) of the unit at (x, y).
static void mc_pu_single(row_context *ctx, int32_t list, int32_t x, int32_t y, int32_t w, int32_t h)
{
    const mc_table *mc = &ctx->enc->mc;
    pu_source s = pu_source_of(ctx, list, x, y);
    mc_luma_into(ctx, list, s.ref, s.X, s.Y, w, h, ctx->ctu.recon_luma + y * CTU_WORK_STRIDE + x, CTU_WORK_STRIDE);
    for (int32_t p = 1; p <= 2; p++)
        mc->interp_chroma(chroma_work(ctx, p, x, y), CTU_WORK_STRIDE, ref_plane(ctx, list, s.ref, p),
                          ctx->fi->pic.recon_picture->strides[p], s.X, s.Y, w / 2, h / 2);
}

void mc_pu_l0(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h)
{
    mc_pu_single(ctx, 0, x, y, w, h);
}

void mc_pu_l1(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h)
{
    mc_pu_single(ctx, 1, x, y, w, h);
}

void mc_pu_bi(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h)
{
    const mc_table *mc = &ctx->enc->mc;
    pu_source s0 = pu_source_of(ctx, 0, x, y), s1 = pu_source_of(ctx, 1, x, y);
    const int32_t ls = ctx->fi->pic.recon_picture->strides[0];
    uint8_t *dst = ctx->ctu.recon_luma + y * CTU_WORK_STRIDE + x;
    if (((s0.X | s0.Y | s1.X | s1.Y) & 3) != 0) {
        int16_t *a = (int16_t *)ctx->ctu.scratch, *b = a + 64 * 64;
        int32_t sa = 64, sb = 64;
        const int16_t *p0 = mc->interp_luma_16bit(a, &sa, ref_plane(ctx, 0, s0.ref, 0), nullptr, ls, s0.X, s0.Y, w, h);
        const int16_t *p1 = mc->interp_luma_16bit(b, &sb, ref_plane(ctx, 1, s1.ref, 0), nullptr, ls, s1.X, s1.Y, w, h);
        mc->bipred_avg_16bit(dst, CTU_WORK_STRIDE, p0, sa, p1, sb, w, h);
    } else {
        int32_t sa, sb;
        const uint8_t *p0 = luma_8bit(ctx, 0, &s0, nullptr, w, h, &sa);
        const uint8_t *p1 = luma_8bit(ctx, 1, &s1, nullptr, w, h, &sb);
        mc->avg_pixels(dst, CTU_WORK_STRIDE, p0, sa, p1, sb, w, h);
    }
    if (((s0.X | s0.Y | s1.X | s1.Y) & 7) != 0) {
        chroma_bi_16bit(ctx, &s0, &s1, x, y, w, h);
        return;
    }
    for (int32_t p = 1; p <= 2; p++) {
        const int32_t cs = ctx->fi->pic.recon_picture->strides[p];
        const uint8_t *c0 = mc->chroma_fullpel_ptr(ref_plane(ctx, 0, s0.ref, p), cs, s0.X, s0.Y);
        const uint8_t *c1 = mc->chroma_fullpel_ptr(ref_plane(ctx, 1, s1.ref, p), cs, s1.X, s1.Y);
        mc->avg_pixels(chroma_work(ctx, p, x, y), CTU_WORK_STRIDE, c0, cs, c1, cs, w / 2, h / 2);
    }
}

void mc_pu_bi_8bit(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h)
{
    pu_source s0 = pu_source_of(ctx, 0, x, y), s1 = pu_source_of(ctx, 1, x, y);
    uint8_t *a = ctx->ctu.scratch, *b = a + 64 * 64;
    int32_t sa, sb;
    const uint8_t *p0 = luma_8bit(ctx, 0, &s0, a, w, h, &sa);
    const uint8_t *p1 = luma_8bit(ctx, 1, &s1, b, w, h, &sb);
    ctx->enc->mc.avg_pixels(ctx->ctu.recon_luma + y * CTU_WORK_STRIDE + x, CTU_WORK_STRIDE, p0, sa, p1, sb, w, h);
    chroma_bi_16bit(ctx, &s0, &s1, x, y, w, h);
}

void inter_predict_pu(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h)
{
    const ctu_motion_grid *g = &ctx->ctu.motion;
    int32_t unit = motion_grid_index(x, y);
    int32_t r0 = g->ref_idx[0][unit], r1 = g->ref_idx[1][unit];
    if (r0 < 0 && r1 >= 0) mc_pu_l1(ctx, x, y, w, h);
    else if (r0 >= 0 && r1 >= 0 && !search_state(ctx)->bipred_8bit_flag) mc_pu_bi(ctx, x, y, w, h);
    else if (r0 >= 0 && r1 >= 0) mc_pu_bi_8bit(ctx, x, y, w, h);
    else mc_pu_l0(ctx, x, y, w, h);
}

void inter_predict_cu(row_context *ctx, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t part_mode)
{
    (void)h;
    // The partitions of a square CU as the syntax lays them out; any other
    // part mode predicts nothing.
    syntax_pu pu[4];
    int32_t count = syntax_pu_layout(part_mode, 0, x, y, 31 - __builtin_clz((uint32_t)w), pu);
    for (int32_t i = 0; i < count; i++) inter_predict_pu(ctx, pu[i].x, pu[i].y, pu[i].width, pu[i].height);
}
