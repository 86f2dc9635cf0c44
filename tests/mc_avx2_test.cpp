// The AVX2 motion-compensation set against the portable kernels: every slot the
// set fills is compared with the portable kernel of the same slot at every
// phase and at block sizes from 1 to 64 samples, on random, 0/255 and flat
// samples and on patterns that drive the two-direction intermediate to its
// extremes, with random strides, negative vectors and a canvas around every
// destination block that neither kernel may touch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/mc/mc.h"

namespace {

enum fill_kind { FILL_RANDOM, FILL_EXTREME, FILL_ZERO, FILL_MAX, FILL_PEAK_2D, FILL_TROUGH_2D, FILL_KINDS };

// Columns where the half-sample filter (-1 4 -11 40 40 -11 4 -1) has a positive tap.
const int HALF_POSITIVE[8] = {0, 1, 0, 1, 1, 0, 1, 0};

// A reference plane of W x H samples with margins of M on every side, a random
// stride, and its three biased horizontal 16-bit planes over everything inside
// the margins that the filters may read.
struct ref_plane {
    static constexpr int W = 192, H = 192, M = 112;
    int stride = 0;
    std::vector<uint8_t> data;
    std::vector<int16_t> h16[3];
    const int16_t *hp[3] = {};

    uint8_t *origin() { return data.data() + (ptrdiff_t)M * stride + M; }

    void init(fill_kind kind, std::mt19937 &rng)
    {
        stride = W + 2 * M + (int)(rng() % 48);
        data.assign((size_t)stride * (H + 2 * M), 0);
        for (int y = -M; y < H + M; y++)
            for (int x = -M; x < stride - M; x++) {
                uint32_t r = rng();
                int peak = HALF_POSITIVE[x & 7] == HALF_POSITIVE[y & 7];
                int v = kind == FILL_RANDOM ? (int)(r & 255) : kind == FILL_EXTREME ? ((r & 1) ? 255 : 0)
                        : kind == FILL_ZERO ? 0 : kind == FILL_MAX ? 255 : kind == FILL_PEAK_2D ? 255 * peak
                        : 255 * !peak;
                origin()[(ptrdiff_t)y * stride + x] = (uint8_t)v;
            }
        const int r = M - 8;
        ptrdiff_t off = -(ptrdiff_t)r * stride - r;
        for (int i = 0; i < 3; i++) {
            h16[i].assign(data.size(), 0);
            hp[i] = h16[i].data() + (ptrdiff_t)M * stride + M;
        }
        filter_h_subpel_16bit_c(const_cast<int16_t *>(hp[0]) + off, const_cast<int16_t *>(hp[1]) + off,
                                const_cast<int16_t *>(hp[2]) + off, origin() + off, stride, W + 2 * r, H + 2 * r,
                                0);
    }
};

// A destination block inside a larger canvas with a random stride. The canvas
// starts with a random pattern, the same for both kernels.
template <typename T>
struct canvas {
    static constexpr int PAD = 40, ROWS = 3;
    int w = 0, h = 0, stride = 0;
    std::vector<T> buf;

    void init(int bw, int bh, std::mt19937 &rng)
    {
        w = bw;
        h = bh;
        stride = w + 2 * PAD + (int)(rng() % 24);
        buf.resize((size_t)stride * (h + 2 * ROWS));
        for (auto &v : buf) v = (T)rng();
    }
    T *block() { return buf.data() + (ptrdiff_t)ROWS * stride + PAD; }
};

// Equal buffers, or a failure naming the first differing value and whether it
// lies inside the block.
template <typename T>
bool same_canvas(const canvas<T> &c, const canvas<T> &a, const std::string &what)
{
    if (c.buf == a.buf) return true;
    for (size_t i = 0; i < c.buf.size(); i++)
        if (c.buf[i] != a.buf[i]) {
            int y = (int)(i / c.stride) - canvas<T>::ROWS, x = (int)(i % c.stride) - canvas<T>::PAD;
            bool inside = x >= 0 && x < c.w && y >= 0 && y < c.h;
            ADD_FAILURE() << what << ": at (" << x << ", " << y << ") " << (inside ? "inside" : "OUTSIDE")
                          << " the " << c.w << "x" << c.h << " block, portable " << (int)c.buf[i] << " avx2 "
                          << (int)a.buf[i];
            return false;
        }
    return false;
}

std::string describe(const char *slot, int fill, int w, int h, int mvx, int mvy, bool with_hp = false)
{
    return std::string(slot) + " fill " + std::to_string(fill) + " " + std::to_string(w) + "x" +
           std::to_string(h) + " mv (" + std::to_string(mvx) + ", " + std::to_string(mvy) + ")" +
           (with_hp ? " with planes" : "");
}

const int LUMA_W[] = {1, 2, 3, 4, 6, 8, 12, 16, 20, 24, 32, 40, 48, 64};
const int LUMA_H[] = {1, 2, 4, 8, 12, 16, 32, 64};
const int CHROMA_W[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32};
const int CHROMA_H[] = {1, 2, 4, 8, 16, 32, 40};   // 40: more than one row tile

struct context {
    const mc_table *c, *a;
    std::mt19937 rng{2024};
    ref_plane planes[FILL_KINDS];

    context(const mc_table *portable, const mc_table *avx2) : c(portable), a(avx2)
    {
        for (int k = 0; k < FILL_KINDS; k++) planes[k].init((fill_kind)k, rng);
    }
    // A block origin inside the plane and a vector of the given phases whose
    // integer part reaches 40 samples either way.
    uint8_t *block_ref(ref_plane &p, int *x0, int *y0)
    {
        *x0 = (int)(rng() % (ref_plane::W - 64));
        *y0 = (int)(rng() % (ref_plane::H - 64));
        return p.origin();
    }
    int vec(int phase, int unit) { return unit * ((int)(rng() % 81) - 40) + phase; }
    // Random and 0/255 content at every size; the other fills at a few sizes.
    bool size_wanted(int fill, int w, int h) { return fill <= FILL_EXTREME || (w == h && w >= 4) || w == 12; }
};

typedef void (*slot_check)(context *ctx);

void check_interp_luma(context *ctx, bool ref_or_interp)
{
    for (int fill = 0; fill < FILL_KINDS; fill++)
        for (int w : LUMA_W)
            for (int h : LUMA_H) {
                if (!ctx->size_wanted(fill, w, h)) continue;
                for (int phase = 0; phase < 16; phase++)
                    for (int with_hp = 0; with_hp < 2; with_hp++) {
                        ref_plane &p = ctx->planes[fill];
                        int x0, y0;
                        uint8_t *org = ctx->block_ref(p, &x0, &y0);
                        ptrdiff_t o = (ptrdiff_t)y0 * p.stride + x0;
                        const int16_t *hp[3] = {p.hp[0] + o, p.hp[1] + o, p.hp[2] + o};
                        int mvx = ctx->vec(phase & 3, 4), mvy = ctx->vec(phase >> 2, 4);
                        canvas<uint8_t> dc, da;
                        dc.init(w, h, ctx->rng);
                        da = dc;
                        std::string what = describe(ref_or_interp ? "mc_luma_ref_or_interp" : "interp_luma", fill,
                                                    w, h, mvx, mvy, with_hp);
                        if (ref_or_interp) {
                            int sc = dc.stride, sa = da.stride;
                            const uint8_t *rc = ctx->c->mc_luma_ref_or_interp(dc.block(), &sc, org + o,
                                                                              with_hp ? hp : nullptr, p.stride,
                                                                              mvx, mvy, w, h);
                            const uint8_t *ra = ctx->a->mc_luma_ref_or_interp(da.block(), &sa, org + o,
                                                                              with_hp ? hp : nullptr, p.stride,
                                                                              mvx, mvy, w, h);
                            EXPECT_EQ(sc, sa) << what;
                            if (rc != dc.block()) {
                                EXPECT_EQ(rc, ra) << what;
                                if (rc != ra) return;
                            } else {
                                EXPECT_EQ(ra, da.block()) << what;
                            }
                        } else {
                            ctx->c->interp_luma(dc.block(), dc.stride, org + o, with_hp ? hp : nullptr, p.stride,
                                                mvx, mvy, w, h);
                            ctx->a->interp_luma(da.block(), da.stride, org + o, with_hp ? hp : nullptr, p.stride,
                                                mvx, mvy, w, h);
                        }
                        if (!same_canvas(dc, da, what)) return;
                    }
            }
}

void check_slot_interp_luma(context *ctx)
{
    check_interp_luma(ctx, false);
}

void check_slot_ref_or_interp(context *ctx)
{
    check_interp_luma(ctx, true);
}

void check_slot_interp_luma_16bit(context *ctx)
{
    for (int fill = 0; fill < FILL_KINDS; fill++)
        for (int w : LUMA_W)
            for (int h : LUMA_H) {
                if (!ctx->size_wanted(fill, w, h)) continue;
                for (int phase = 0; phase < 16; phase++)
                    for (int with_hp = 0; with_hp < 2; with_hp++) {
                        ref_plane &p = ctx->planes[fill];
                        int x0, y0;
                        uint8_t *org = ctx->block_ref(p, &x0, &y0);
                        ptrdiff_t o = (ptrdiff_t)y0 * p.stride + x0;
                        const int16_t *hp[3] = {p.hp[0] + o, p.hp[1] + o, p.hp[2] + o};
                        int mvx = ctx->vec(phase & 3, 4), mvy = ctx->vec(phase >> 2, 4);
                        canvas<int16_t> dc, da;
                        dc.init(w, h, ctx->rng);
                        da = dc;
                        std::string what = describe("interp_luma_16bit", fill, w, h, mvx, mvy, with_hp);
                        int sc = dc.stride, sa = da.stride;
                        const int16_t *rc = ctx->c->interp_luma_16bit(dc.block(), &sc, org + o,
                                                                      with_hp ? hp : nullptr, p.stride, mvx, mvy,
                                                                      w, h);
                        const int16_t *ra = ctx->a->interp_luma_16bit(da.block(), &sa, org + o,
                                                                      with_hp ? hp : nullptr, p.stride, mvx, mvy,
                                                                      w, h);
                        EXPECT_EQ(sc, sa) << what;
                        if (rc != dc.block()) {
                            EXPECT_EQ(rc, ra) << what;
                            if (rc != ra) return;
                        } else {
                            EXPECT_EQ(ra, da.block()) << what;
                        }
                        if (!same_canvas(dc, da, what)) return;
                    }
            }
}

template <bool SIXTEEN>
void check_chroma(context *ctx)
{
    for (int fill = 0; fill < FILL_KINDS; fill++)
        for (int w : CHROMA_W)
            for (int h : CHROMA_H) {
                if (!ctx->size_wanted(fill, w, h)) continue;
                for (int phase = 0; phase < 64; phase++) {
                    ref_plane &p = ctx->planes[fill];
                    int x0, y0;
                    uint8_t *org = ctx->block_ref(p, &x0, &y0);
                    const uint8_t *r = org + (ptrdiff_t)y0 * p.stride + x0;
                    int mvx = ctx->vec(phase & 7, 8), mvy = ctx->vec(phase >> 3, 8);
                    typedef typename std::conditional<SIXTEEN, int16_t, uint8_t>::type T;
                    canvas<T> dc, da;
                    dc.init(w, h, ctx->rng);
                    da = dc;
                    if (SIXTEEN) {
                        ctx->c->interp_chroma_16bit((int16_t *)dc.block(), dc.stride, r, p.stride, mvx, mvy, w, h);
                        ctx->a->interp_chroma_16bit((int16_t *)da.block(), da.stride, r, p.stride, mvx, mvy, w, h);
                    } else {
                        ctx->c->interp_chroma((uint8_t *)dc.block(), dc.stride, r, p.stride, mvx, mvy, w, h);
                        ctx->a->interp_chroma((uint8_t *)da.block(), da.stride, r, p.stride, mvx, mvy, w, h);
                    }
                    if (!same_canvas(dc, da, describe(SIXTEEN ? "interp_chroma_16bit" : "interp_chroma", fill, w,
                                                      h, mvx, mvy)))
                        return;
                }
            }
}

void check_slot_interp_chroma(context *ctx)
{
    check_chroma<false>(ctx);
}

void check_slot_interp_chroma_16bit(context *ctx)
{
    check_chroma<true>(ctx);
}

// Random values over the whole int16 range, real biased intermediates, and the
// extremes that saturate a 16-bit sum.
void fill_intermediate(canvas<int16_t> *c, int kind, std::mt19937 &rng)
{
    for (auto &v : c->buf) {
        uint32_t r = rng();
        v = kind == 0 ? (int16_t)r
            : kind == 1 ? (int16_t)((int)(r % (33150 + 16830 + 1)) - 16830 - MC_INTERMEDIATE_BIAS)
            : kind == 2 ? (int16_t)((r & 1) ? 32767 : -32768)
                        : (int16_t)((r & 1) ? 33150 - MC_INTERMEDIATE_BIAS : -16830 - MC_INTERMEDIATE_BIAS);
    }
}

void check_slot_bipred_avg(context *ctx)
{
    for (int kind = 0; kind < 4; kind++)
        for (int w : LUMA_W)
            for (int h : LUMA_H) {
                canvas<int16_t> p0, p1;
                p0.init(w, h, ctx->rng);
                p1.init(w, h, ctx->rng);
                fill_intermediate(&p0, kind, ctx->rng);
                fill_intermediate(&p1, kind, ctx->rng);
                canvas<uint8_t> dc, da;
                dc.init(w, h, ctx->rng);
                da = dc;
                ctx->c->bipred_avg_16bit(dc.block(), dc.stride, p0.block(), p0.stride, p1.block(), p1.stride, w, h);
                ctx->a->bipred_avg_16bit(da.block(), da.stride, p0.block(), p0.stride, p1.block(), p1.stride, w, h);
                if (!same_canvas(dc, da, describe("bipred_avg_16bit", kind, w, h, 0, 0))) return;
            }
}

void check_slot_avg_pixels(context *ctx)
{
    for (int w : LUMA_W)
        for (int h : LUMA_H) {
            canvas<uint8_t> a, b, dc, da;
            a.init(w, h, ctx->rng);
            b.init(w, h, ctx->rng);
            dc.init(w, h, ctx->rng);
            da = dc;
            ctx->c->avg_pixels(dc.block(), dc.stride, a.block(), a.stride, b.block(), b.stride, w, h);
            ctx->a->avg_pixels(da.block(), da.stride, a.block(), a.stride, b.block(), b.stride, w, h);
            if (!same_canvas(dc, da, describe("avg_pixels", 0, w, h, 0, 0))) return;
        }
}

void check_slot_block_copy(context *ctx)
{
    for (int w = 0; w <= 66; w++)
        for (int h : {1, 3, 8, 64}) {
            canvas<uint8_t> s, dc, da;
            s.init(w, h, ctx->rng);
            dc.init(w, h, ctx->rng);
            da = dc;
            ctx->c->block_copy(dc.block(), dc.stride, s.block(), s.stride, w, h);
            ctx->a->block_copy(da.block(), da.stride, s.block(), s.stride, w, h);
            if (!same_canvas(dc, da, describe("block_copy", 0, w, h, 0, 0))) return;
        }
}

// Plane-sized buffers with the plane's stride, for the kernels that write regions.
struct region_out {
    std::vector<std::vector<int16_t>> p16;
    std::vector<std::vector<uint8_t>> p8;
};

void check_slot_filter_h_subpel(context *ctx)
{
    for (int fill : {FILL_RANDOM, FILL_EXTREME, FILL_PEAK_2D})
        for (int half_only = 0; half_only < 2; half_only++)
            for (int w : {1, 5, 37, 100})
                for (int h : {1, 7, 40}) {
                    ref_plane &p = ctx->planes[fill];
                    int x0 = (int)(ctx->rng() % 40), y0 = (int)(ctx->rng() % 40);
                    ptrdiff_t o = (ptrdiff_t)(y0 + ref_plane::M) * p.stride + x0 + ref_plane::M;
                    std::vector<int16_t> init(p.data.size());
                    for (auto &v : init) v = (int16_t)ctx->rng();
                    std::vector<int16_t> c[3] = {init, init, init}, a[3] = {init, init, init};
                    const uint8_t *src = p.data.data() + o;
                    ctx->c->filter_h_subpel_16bit(c[0].data() + o, c[1].data() + o, c[2].data() + o, src, p.stride,
                                                  w, h, half_only);
                    ctx->a->filter_h_subpel_16bit(a[0].data() + o, a[1].data() + o, a[2].data() + o, src, p.stride,
                                                  w, h, half_only);
                    for (int i = 0; i < 3; i++)
                        if (c[i] != a[i]) {
                            ADD_FAILURE() << "filter_h_subpel_16bit plane " << i << " "
                                          << describe("", fill, w, h, 0, 0) << " half_only " << half_only;
                            return;
                        }
                }
}

void check_slot_build_subpel_planes(context *ctx)
{
    for (int fill : {FILL_RANDOM, FILL_EXTREME, FILL_PEAK_2D})
        for (int half_only = 0; half_only < 2; half_only++)
            for (int with_hp = 0; with_hp < 2; with_hp++)
                for (int w : {1, 9, 33, 80})
                    for (int h : {1, 6, 70}) {   // 70 rows: more than one row tile
                        ref_plane &p = ctx->planes[fill];
                        int x0 = (int)(ctx->rng() % 40), y0 = (int)(ctx->rng() % 40);
                        ptrdiff_t o = (ptrdiff_t)(y0 + ref_plane::M) * p.stride + x0 + ref_plane::M;
                        ptrdiff_t po = (ptrdiff_t)y0 * p.stride + x0;
                        const int16_t *hp[3] = {p.hp[0] + po, p.hp[1] + po, p.hp[2] + po};
                        std::vector<uint8_t> init(p.data.size());
                        for (auto &v : init) v = (uint8_t)ctx->rng();
                        std::vector<std::vector<uint8_t>> c(16, init), a(16, init);
                        uint8_t *pc[16], *pa[16];
                        for (int i = 0; i < 16; i++) {
                            pc[i] = c[i].data() + o;
                            pa[i] = a[i].data() + o;
                        }
                        const uint8_t *src = p.data.data() + o;
                        ctx->c->build_subpel_planes(pc, src, with_hp ? hp : nullptr, p.stride, w, h, half_only);
                        ctx->a->build_subpel_planes(pa, src, with_hp ? hp : nullptr, p.stride, w, h, half_only);
                        for (int i = 0; i < 16; i++)
                            if (c[i] != a[i]) {
                                ADD_FAILURE() << "build_subpel_planes plane " << i << " "
                                              << describe("", fill, w, h, 0, 0, with_hp) << " half_only "
                                              << half_only;
                                return;
                            }
                    }
}

void check_slot_mc_from_subpel_planes(context *ctx)
{
    ref_plane &p = ctx->planes[FILL_RANDOM];
    std::vector<std::vector<uint8_t>> planes(16, p.data);
    uint8_t *ptr[16];
    for (int i = 0; i < 16; i++) {
        for (auto &v : planes[i]) v = (uint8_t)ctx->rng();
        ptr[i] = planes[i].data() + (ptrdiff_t)(ref_plane::M + 64) * p.stride + ref_plane::M + 64;
    }
    for (int w : LUMA_W)
        for (int h : LUMA_H)
            for (int phase = 0; phase < 16; phase++) {
                int mvx = ctx->vec(phase & 3, 4), mvy = ctx->vec(phase >> 2, 4);
                canvas<uint8_t> dc, da;
                dc.init(w, h, ctx->rng);
                da = dc;
                ctx->c->mc_from_subpel_planes(dc.block(), dc.stride, ptr, p.stride, mvx, mvy, w, h);
                ctx->a->mc_from_subpel_planes(da.block(), da.stride, ptr, p.stride, mvx, mvy, w, h);
                if (!same_canvas(dc, da, describe("mc_from_subpel_planes", 0, w, h, mvx, mvy))) return;
            }
}

void check_slot_downscale_2x2_plane(context *ctx)
{
    for (int fill = 0; fill < FILL_KINDS; fill++)
        for (int w : {1, 3, 8, 15, 16, 17, 33, 80})
            for (int h : {1, 2, 9, 40}) {
                ref_plane &p = ctx->planes[fill];
                canvas<uint8_t> dc, da;
                dc.init(w, h, ctx->rng);
                da = dc;
                uint8_t *pc[16] = {dc.block()}, *pa[16] = {da.block()};
                const uint8_t *src = p.origin() + (ptrdiff_t)(ctx->rng() % 40) * p.stride + ctx->rng() % 40;
                ctx->c->downscale_2x2_plane(pc, dc.stride, src, p.stride, w, h);
                ctx->a->downscale_2x2_plane(pa, da.stride, src, p.stride, w, h);
                if (!same_canvas(dc, da, describe("downscale_2x2_plane", fill, w, h, 0, 0))) return;
            }
}

void check_slot_ref_or_bilinear(context *ctx)
{
    for (int fill = 0; fill < FILL_KINDS; fill++)
        for (int w : LUMA_W)
            for (int h : LUMA_H) {
                if (!ctx->size_wanted(fill, w, h)) continue;
                for (int phase = 0; phase < 16; phase++) {
                    ref_plane &p = ctx->planes[fill];
                    int x0, y0;
                    uint8_t *org = ctx->block_ref(p, &x0, &y0);
                    const uint8_t *r = org + (ptrdiff_t)y0 * p.stride + x0;
                    int mvx = ctx->vec(phase & 3, 4), mvy = ctx->vec(phase >> 2, 4);
                    canvas<uint8_t> dc, da;
                    dc.init(w, h, ctx->rng);
                    da = dc;
                    std::string what = describe("mc_luma_ref_or_bilinear", fill, w, h, mvx, mvy);
                    int sc = dc.stride, sa = da.stride;
                    const uint8_t *rc = ctx->c->mc_luma_ref_or_bilinear(dc.block(), &sc, r, p.stride, mvx, mvy, w, h);
                    const uint8_t *ra = ctx->a->mc_luma_ref_or_bilinear(da.block(), &sa, r, p.stride, mvx, mvy, w, h);
                    EXPECT_EQ(sc, sa) << what;
                    if (rc != dc.block()) {
                        EXPECT_EQ(rc, ra) << what;
                        if (rc != ra) return;
                    } else {
                        EXPECT_EQ(ra, da.block()) << what;
                    }
                    if (!same_canvas(dc, da, what)) return;
                }
            }
}

// The comparison of every slot that a vector set may fill; null where the slot
// has no vector form in this set.
const slot_check SLOT_CHECKS[MC_TABLE_SLOTS] = {
    check_slot_interp_luma,         check_slot_interp_luma_16bit,  check_slot_interp_chroma,
    check_slot_interp_chroma_16bit, check_slot_bipred_avg,         check_slot_filter_h_subpel,
    check_slot_build_subpel_planes, check_slot_mc_from_subpel_planes, nullptr,
    check_slot_avg_pixels,          nullptr,                       check_slot_downscale_2x2_plane,
    check_slot_ref_or_interp,       check_slot_ref_or_bilinear,    nullptr,
    nullptr,                        check_slot_block_copy,         nullptr,
    nullptr,                        nullptr,                       nullptr,
    nullptr,
};

const char *const SLOT_NAMES[MC_TABLE_SLOTS] = {
    "interp_luma", "interp_luma_16bit", "interp_chroma", "interp_chroma_16bit", "bipred_avg_16bit",
    "filter_h_subpel_16bit", "build_subpel_planes", "mc_from_subpel_planes", "subpel_plane_ptr", "avg_pixels",
    "build_lowres_planes", "downscale_2x2_plane", "mc_luma_ref_or_interp", "mc_luma_ref_or_bilinear",
    "chroma_fullpel_ptr", "propagate_cost", "block_copy", "downscale_64x64", "downscale_border_64",
    "downscale_32x32", "downscale_border_32", "frame_cost_complexity",
};

const void *slot(const mc_table &t, int i)
{
    const void *p;
    std::memcpy(&p, (const char *)&t + i * sizeof(void *), sizeof p);
    return p;
}

bool avx2_available()
{
    return cpu_use_avx2_set(cpu_detect());
}

class mc_avx2 : public ::testing::TestWithParam<int> {
protected:
    static mc_table portable, avx2;
    static context *ctx;
    static void SetUpTestSuite()
    {
        mc_table_init(0, &portable);
        // The AVX2 set alone over the portable kernels, so every slot it does
        // not fill compares equal to the portable table.
        mc_table_init(0, &avx2);
        if (avx2_available()) mc_table_fill_avx2(&avx2);
        ctx = new context(&portable, &avx2);
    }
    static void TearDownTestSuite()
    {
        delete ctx;
        ctx = nullptr;
    }
};

mc_table mc_avx2::portable, mc_avx2::avx2;
context *mc_avx2::ctx;

TEST_P(mc_avx2, every_filled_slot_equals_its_portable_kernel_and_writes_only_its_block)
{
    if (!avx2_available()) GTEST_SKIP() << "processor without the AVX2 set's instructions";
    int i = GetParam();
    if (slot(avx2, i) == slot(portable, i)) return;
    ASSERT_NE(SLOT_CHECKS[i], nullptr) << "slot " << i << " (" << SLOT_NAMES[i] << ") is filled but never compared";
    SLOT_CHECKS[i](ctx);
}

INSTANTIATE_TEST_SUITE_P(slots, mc_avx2, ::testing::Range(0, (int)MC_TABLE_SLOTS),
                         [](const ::testing::TestParamInfo<int> &info) { return std::string(SLOT_NAMES[info.param]); });

TEST(mc_avx2_set, fills_the_thirteen_slots_of_the_set_and_no_other)
{
    if (!avx2_available()) GTEST_SKIP() << "processor without the AVX2 set's instructions";
    mc_table portable, avx2;
    mc_table_init(0, &portable);
    mc_table_init(0, &avx2);
    mc_table_fill_avx2(&avx2);
    const int filled[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 12, 13, 16};
    for (int i = 0; i < MC_TABLE_SLOTS; i++) {
        bool expected = std::find(std::begin(filled), std::end(filled), i) != std::end(filled);
        EXPECT_EQ(slot(avx2, i) != slot(portable, i), expected) << "slot " << i << " (" << SLOT_NAMES[i] << ")";
    }
}

// The half/half luma intermediate of the peak pattern is 33150, past the int16
// range: stored biased, exactly, in both forms, and averaged to 255.
TEST(mc_avx2_set, half_half_peak_intermediate_is_stored_exactly)
{
    if (!avx2_available()) GTEST_SKIP() << "processor without the AVX2 set's instructions";
    std::mt19937 rng(5);
    ref_plane p;
    p.init(FILL_PEAK_2D, rng);
    mc_table avx2;
    mc_table_init(0, &avx2);
    mc_table_fill_avx2(&avx2);
    for (int with_hp = 0; with_hp < 2; with_hp++) {
        int16_t out[16 * 16];
        int stride = 16;
        const int16_t *hp[3] = {p.hp[0], p.hp[1], p.hp[2]};
        // Outputs at columns and rows 3 mod 8 see the peak window.
        const int16_t *r = avx2.interp_luma_16bit(out, &stride, p.origin(), with_hp ? hp : nullptr, p.stride, 2, 2,
                                                  16, 16);
        ASSERT_EQ(r, out);
        EXPECT_EQ(out[3 * 16 + 3] + MC_INTERMEDIATE_BIAS, 33150);
        EXPECT_EQ(out[11 * 16 + 11] + MC_INTERMEDIATE_BIAS, 33150);
        uint8_t avg[16 * 16];
        avx2.bipred_avg_16bit(avg, 16, out, 16, out, 16, 16, 16);
        EXPECT_EQ(avg[3 * 16 + 3], 255);
    }
    ref_plane q;
    q.init(FILL_TROUGH_2D, rng);
    int16_t out[16 * 16];
    int stride = 16;
    avx2.interp_luma_16bit(out, &stride, q.origin(), nullptr, q.stride, 2, 2, 16, 16);
    EXPECT_EQ(out[3 * 16 + 3] + MC_INTERMEDIATE_BIAS, -16830);
}

}  // namespace
