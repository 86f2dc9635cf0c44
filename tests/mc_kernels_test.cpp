// Motion-compensation kernel checks. The harness walks the mc_table at every
// instruction-set level the processor has and compares every slot holding a
// vector kernel with the portable kernel of that slot at every phase and at
// block sizes from 1 to 64 samples, on random, 0/255 and flat samples and on
// patterns that drive the two-direction intermediates to their extremes, with
// random strides and negative vectors. Destinations sit inside a canvas that
// neither kernel may touch, and the region builders read sources of exactly
// the size they may read; a slot without a comparison fails. Direct tests
// cover the workers the AVX2 set borrows from the SSSE3 set and worked
// values. The timing test prints the time per call of every slot at typical
// sizes (kernel_check.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/mc/mc.h"
#include "kernels/mc/mc_ssse3.h"
#include "tests/support/kernel_check.h"
#include "tests/support/mc_test_util.h"

namespace {

const char *const slot_names[MC_TABLE_SLOTS] = {
    "interp_luma", "interp_luma_16bit", "interp_chroma", "interp_chroma_16bit", "bipred_avg_16bit",
    "filter_h_subpel_16bit", "build_subpel_planes", "mc_from_subpel_planes", "subpel_plane_ptr", "avg_pixels",
    "build_lowres_planes", "downscale_2x2_plane", "mc_luma_ref_or_interp", "mc_luma_ref_or_bilinear",
    "chroma_fullpel_ptr", "propagate_cost", "block_copy", "downscale_64x64", "downscale_border_64",
    "downscale_32x32", "downscale_border_32", "frame_cost_complexity",
};

std::string slot_name(int slot)
{
    return slot_names[slot];
}

// ---- samples ----

enum fill_kind {
    FILL_RANDOM,
    FILL_EXTREME,       // each sample 0 or 255
    FILL_ZERO,
    FILL_MAX,
    FILL_PEAK_2D,       // the luma half/half two-direction sum at its maximum (33150)
    FILL_TROUGH_2D,     // and at its minimum (-16830)
    FILL_CHROMA_PEAK,   // the chroma half/half sum at its maximum
    FILL_KINDS
};

// Whether the tap at window position k of the half-sample filter is positive.
bool luma_half_tap_positive(int k)
{
    return mc_luma_filter[2][k & 7] > 0;
}

bool chroma_half_tap_positive(int k)
{
    return mc_chroma_filter[4][k & 3] > 0;
}

// A sample is 255 where the horizontal tap sign equals the vertical one: the
// rows under positive vertical taps hold the largest horizontal sum (22440)
// and the others the smallest (-6120), which gives 33150 after the shift.
uint8_t sample_of(fill_kind kind, int x, int y, std::mt19937 &rng)
{
    switch (kind) {
    case FILL_RANDOM: return (uint8_t)rng();
    case FILL_EXTREME: return (rng() & 1) ? 255 : 0;
    case FILL_ZERO: return 0;
    case FILL_MAX: return 255;
    case FILL_PEAK_2D: return luma_half_tap_positive(x) == luma_half_tap_positive(y) ? 255 : 0;
    case FILL_TROUGH_2D: return luma_half_tap_positive(x) != luma_half_tap_positive(y) ? 255 : 0;
    default: return chroma_half_tap_positive(x) == chroma_half_tap_positive(y) ? 255 : 0;
    }
}

// An 8-bit plane of n x n samples inside a margin of m on every side, all
// filled (patterns counted from the origin), with a random row stride, and
// its three biased horizontal 16-bit planes once build_hplanes has run.
struct sample_plane {
    int n, m, stride;
    std::vector<uint8_t> buf;
    std::vector<int16_t> h16[3];
    const int16_t *hp[3] = {};

    sample_plane(fill_kind kind, std::mt19937 &rng, int n_ = 192, int m_ = 112) : n(n_), m(m_)
    {
        stride = n + 2 * m + (int)(rng() % 48);
        buf.resize((size_t)stride * (n + 2 * m));
        for (int y = 0; y < n + 2 * m; y++)
            for (int x = 0; x < stride; x++) buf[(size_t)y * stride + x] = sample_of(kind, x - m, y - m, rng);
    }
    uint8_t *origin() { return buf.data() + (ptrdiff_t)m * stride + m; }
    uint8_t *at(int x, int y) { return origin() + (ptrdiff_t)y * stride + x; }
    // Over everything inside the margins that the filters may read.
    void build_hplanes()
    {
        const int r = m - 8;
        ptrdiff_t origin_at = (ptrdiff_t)m * stride + m, off = -(ptrdiff_t)r * stride - r;
        for (int i = 0; i < 3; i++) {
            h16[i].assign(buf.size(), 0);
            hp[i] = h16[i].data() + origin_at;
        }
        filter_h_subpel_16bit_c(h16[0].data() + origin_at + off, h16[1].data() + origin_at + off,
                                h16[2].data() + origin_at + off, origin() + off, stride, n + 2 * r, n + 2 * r, 0);
    }
};

// A destination block inside a larger canvas with a random stride and random
// content, the same for both kernels: a write outside the block shows.
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
        uint32_t seed = rng();
        for (size_t i = 0; i < buf.size(); i++) buf[i] = (T)(seed + i * 2654435761u);
    }
    T *block() { return buf.data() + (ptrdiff_t)ROWS * stride + PAD; }
};

// Equal canvases, or a failure naming the first differing value and whether
// it lies inside the block.
template <typename T>
bool same_canvas(const canvas<T> &c, const canvas<T> &a, const std::string &what)
{
    if (c.buf == a.buf) return true;
    for (size_t i = 0; i < c.buf.size(); i++)
        if (c.buf[i] != a.buf[i]) {
            int y = (int)(i / c.stride) - canvas<T>::ROWS, x = (int)(i % c.stride) - canvas<T>::PAD;
            bool inside = x >= 0 && x < c.w && y >= 0 && y < c.h;
            ADD_FAILURE() << what << ": at (" << x << ", " << y << ") " << (inside ? "inside" : "OUTSIDE") << " the "
                          << c.w << "x" << c.h << " block, want " << (int)c.buf[i] << " got " << (int)a.buf[i];
            return false;
        }
    return false;
}

// Equal whole buffers of one stride (planes and region outputs).
template <typename T>
bool same_plane(const std::vector<T> &want, const std::vector<T> &got, int stride, const std::string &what)
{
    if (want == got) return true;
    for (size_t i = 0; i < want.size(); i++)
        if (want[i] != got[i]) {
            ADD_FAILURE() << what << ": first difference at row " << i / stride << " column " << i % stride
                          << ": want " << (int)want[i] << ", got " << (int)got[i];
            return false;
        }
    return false;
}

std::string describe(const char *what, int fill, int w, int h, int mvx = 0, int mvy = 0, bool with_hp = false)
{
    return std::string(what) + " fill " + std::to_string(fill) + " " + std::to_string(w) + "x" + std::to_string(h) +
           " mv (" + std::to_string(mvx) + ", " + std::to_string(mvy) + ")" + (with_hp ? " with planes" : "");
}

const int LUMA_W[] = {1, 2, 3, 4, 6, 8, 12, 16, 20, 24, 32, 40, 48, 64};
const int LUMA_H[] = {1, 2, 4, 8, 12, 16, 32, 64};
const int CHROMA_W[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32};
const int CHROMA_H[] = {1, 2, 4, 8, 16, 32, 40};   // 40: more than one row tile

// The portable and the level's table, reference planes of every fill kind
// with their horizontal planes, and the random source of the walk.
struct context {
    const mc_table *c = nullptr, *a = nullptr;
    std::mt19937 rng{2024};
    std::vector<sample_plane> planes;

    context()
    {
        for (int k = 0; k < FILL_KINDS; k++) {
            planes.emplace_back((fill_kind)k, rng);
            planes.back().build_hplanes();
        }
    }
    // A block origin inside the plane, with its horizontal planes.
    const uint8_t *block_ref(sample_plane &p, const int16_t *hp[3])
    {
        int x0 = (int)(rng() % (p.n - 64)), y0 = (int)(rng() % (p.n - 64));
        ptrdiff_t o = (ptrdiff_t)y0 * p.stride + x0;
        for (int i = 0; i < 3; i++) hp[i] = p.hp[i] + o;
        return p.origin() + o;
    }
    // A vector of the given phase whose integer part reaches 40 samples either way.
    int vec(int phase, int unit) { return unit * ((int)(rng() % 81) - 40) + phase; }
    // Random and 0/255 content at every size; the other fills at a few sizes.
    bool size_wanted(int fill, int w, int h) { return fill <= FILL_EXTREME || (w == h && w >= 4) || w == 12; }
};

// ---- predictions of one block ----

// Compares the returned pointer and stride of the "reference or prediction"
// kernels: the same reference position, or both predicting into dst.
template <typename T>
bool same_return(const T *rc, const T *ra, int sc, int sa, canvas<T> &dc, canvas<T> &da, const std::string &what)
{
    EXPECT_EQ(sc, sa) << what;
    if (rc != dc.block()) {
        EXPECT_EQ(rc, ra) << what;
        return rc == ra;
    }
    EXPECT_EQ(ra, da.block()) << what;
    return ra == da.block();
}

bool check_luma(context *ctx, int slot)
{
    for (int fill = 0; fill < FILL_KINDS; fill++)
        for (int w : LUMA_W)
            for (int h : LUMA_H) {
                if (!ctx->size_wanted(fill, w, h)) continue;
                for (int phase = 0; phase < 16; phase++)
                    for (int with_hp = 0; with_hp < 2; with_hp++) {
                        sample_plane &p = ctx->planes[fill];
                        const int16_t *hp[3];
                        const uint8_t *ref = ctx->block_ref(p, hp);
                        const int16_t *const *hps = with_hp ? hp : nullptr;
                        int mvx = ctx->vec(phase & 3, 4), mvy = ctx->vec(phase >> 2, 4);
                        std::string what = describe(slot_names[slot], fill, w, h, mvx, mvy, with_hp);
                        bool ok = true;
                        if (slot == 1) {
                            canvas<int16_t> dc, da;
                            dc.init(w, h, ctx->rng);
                            da = dc;
                            int sc = dc.stride, sa = da.stride;
                            const int16_t *rc = ctx->c->interp_luma_16bit(dc.block(), &sc, ref, hps, p.stride, mvx,
                                                                          mvy, w, h);
                            const int16_t *ra = ctx->a->interp_luma_16bit(da.block(), &sa, ref, hps, p.stride, mvx,
                                                                          mvy, w, h);
                            ok = same_return(rc, ra, sc, sa, dc, da, what) && same_canvas(dc, da, what);
                        } else {
                            canvas<uint8_t> dc, da;
                            dc.init(w, h, ctx->rng);
                            da = dc;
                            if (slot == 12) {
                                int sc = dc.stride, sa = da.stride;
                                const uint8_t *rc = ctx->c->mc_luma_ref_or_interp(dc.block(), &sc, ref, hps,
                                                                                  p.stride, mvx, mvy, w, h);
                                const uint8_t *ra = ctx->a->mc_luma_ref_or_interp(da.block(), &sa, ref, hps,
                                                                                  p.stride, mvx, mvy, w, h);
                                ok = same_return(rc, ra, sc, sa, dc, da, what);
                            } else {
                                ctx->c->interp_luma(dc.block(), dc.stride, ref, hps, p.stride, mvx, mvy, w, h);
                                ctx->a->interp_luma(da.block(), da.stride, ref, hps, p.stride, mvx, mvy, w, h);
                            }
                            ok = ok && same_canvas(dc, da, what);
                        }
                        if (!ok) return true;
                    }
            }
    return true;
}

bool check_ref_or_bilinear(context *ctx)
{
    for (int fill = 0; fill < FILL_KINDS; fill++)
        for (int w : LUMA_W)
            for (int h : LUMA_H) {
                if (!ctx->size_wanted(fill, w, h)) continue;
                for (int phase = 0; phase < 16; phase++) {
                    const int16_t *hp[3];
                    sample_plane &p = ctx->planes[fill];
                    const uint8_t *ref = ctx->block_ref(p, hp);
                    int mvx = ctx->vec(phase & 3, 4), mvy = ctx->vec(phase >> 2, 4);
                    canvas<uint8_t> dc, da;
                    dc.init(w, h, ctx->rng);
                    da = dc;
                    std::string what = describe("mc_luma_ref_or_bilinear", fill, w, h, mvx, mvy);
                    int sc = dc.stride, sa = da.stride;
                    const uint8_t *rc = ctx->c->mc_luma_ref_or_bilinear(dc.block(), &sc, ref, p.stride, mvx, mvy, w, h);
                    const uint8_t *ra = ctx->a->mc_luma_ref_or_bilinear(da.block(), &sa, ref, p.stride, mvx, mvy, w, h);
                    if (!same_return(rc, ra, sc, sa, dc, da, what) || !same_canvas(dc, da, what)) return true;
                }
            }
    return true;
}

// Every fill at every size: random content, 0/255 content and the chroma
// half/half extremes reach every phase.
template <bool SIXTEEN>
bool check_chroma(context *ctx)
{
    typedef typename std::conditional<SIXTEEN, int16_t, uint8_t>::type T;
    for (int fill = 0; fill < FILL_KINDS; fill++)
        for (int w : CHROMA_W) {
            std::vector<int> heights(std::begin(CHROMA_H), std::end(CHROMA_H));
            if (std::find(heights.begin(), heights.end(), w) == heights.end()) heights.push_back(w);
            for (int h : heights)
                for (int phase = 0; phase < 64; phase++) {
                    const int16_t *hp[3];
                    sample_plane &p = ctx->planes[fill];
                    const uint8_t *r = ctx->block_ref(p, hp);
                    int mvx = ctx->vec(phase & 7, 8), mvy = ctx->vec(phase >> 3, 8);
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
                    if (!same_canvas(dc, da, describe(SIXTEEN ? "interp_chroma_16bit" : "interp_chroma", fill, w, h,
                                                      mvx, mvy)))
                        return true;
                }
        }
    return true;
}

bool check_mc_from_subpel_planes(context *ctx)
{
    sample_plane &p = ctx->planes[FILL_RANDOM];
    std::vector<std::vector<uint8_t>> planes(16, p.buf);
    uint8_t *ptr[16];
    for (int i = 0; i < 16; i++) {
        for (auto &v : planes[i]) v = (uint8_t)ctx->rng();
        ptr[i] = planes[i].data() + (ptrdiff_t)(p.m + 64) * p.stride + p.m + 64;
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
                if (!same_canvas(dc, da, describe("mc_from_subpel_planes", 0, w, h, mvx, mvy))) return true;
            }
    return true;
}

// ---- averages and copies ----

const int AVG_H[] = {1, 2, 3, 4, 5, 8, 12, 16, 32, 64};

// 16-bit inputs of the bi-prediction average: any int16, the range of real
// unbiased-looking intermediates, the int16 limits, part and all of the biased
// intermediate range (-16830 .. 33150 less the bias), and its two ends.
int16_t bipred_input(int kind, std::mt19937 &rng)
{
    const int lo = -16830 - MC_INTERMEDIATE_BIAS, hi = 33150 - MC_INTERMEDIATE_BIAS;
    switch (kind) {
    case 0: return (int16_t)rng();
    case 1: return (int16_t)((int)(rng() % 32800) - 16400);
    case 2: return (rng() & 1) ? 32767 : -32768;
    case 3: return (int16_t)((int)(rng() % 39981) + lo);
    case 4: return (int16_t)((int)(rng() % (hi - lo + 1)) + lo);
    default: return (int16_t)((rng() & 1) ? hi : lo);
    }
}

const int BIPRED_KINDS = 6;

bool check_bipred(context *ctx)
{
    for (int kind = 0; kind < BIPRED_KINDS; kind++)
        for (int w = 1; w <= 64; w++)
            for (int h : AVG_H) {
                canvas<int16_t> p0, p1;
                p0.init(w, h, ctx->rng);
                p1.init(w, h, ctx->rng);
                for (auto *p : {&p0, &p1})
                    for (auto &v : p->buf) v = bipred_input(kind, ctx->rng);
                canvas<uint8_t> dc, da;
                dc.init(w, h, ctx->rng);
                da = dc;
                ctx->c->bipred_avg_16bit(dc.block(), dc.stride, p0.block(), p0.stride, p1.block(), p1.stride, w, h);
                ctx->a->bipred_avg_16bit(da.block(), da.stride, p0.block(), p0.stride, p1.block(), p1.stride, w, h);
                if (!same_canvas(dc, da, describe("bipred_avg_16bit", kind, w, h))) return true;
            }
    return true;
}

bool check_avg_pixels(context *ctx)
{
    for (int w = 1; w <= 64; w++)
        for (int h : AVG_H) {
            canvas<uint8_t> a, b, dc, da;
            a.init(w, h, ctx->rng);
            b.init(w, h, ctx->rng);
            dc.init(w, h, ctx->rng);
            da = dc;
            ctx->c->avg_pixels(dc.block(), dc.stride, a.block(), a.stride, b.block(), b.stride, w, h);
            ctx->a->avg_pixels(da.block(), da.stride, a.block(), a.stride, b.block(), b.stride, w, h);
            if (!same_canvas(dc, da, describe("avg_pixels", 0, w, h))) return true;
        }
    return true;
}

bool check_block_copy(context *ctx)
{
    for (int w = 0; w <= 66; w++)
        for (int h : {1, 3, 8, 64}) {
            canvas<uint8_t> s, dc, da;
            s.init(w, h, ctx->rng);
            dc.init(w, h, ctx->rng);
            da = dc;
            ctx->c->block_copy(dc.block(), dc.stride, s.block(), s.stride, w, h);
            ctx->a->block_copy(da.block(), da.stride, s.block(), s.stride, w, h);
            if (!same_canvas(dc, da, describe("block_copy", 0, w, h))) return true;
        }
    return true;
}

// ---- planes of a region ----

// Region sizes of the plane builders: small, around the column groups, the
// widths of first, inner and last CTU regions, and regions of more than one
// row tile.
std::vector<std::pair<int, int>> region_sizes()
{
    std::vector<std::pair<int, int>> sizes;
    for (int w : {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 24, 31, 33})
        for (int h : {1, 2, 5}) sizes.push_back({w, h});
    for (auto wh : {std::make_pair(64, 64), {136, 133}, {33, 64}, {17, 133}, {136, 1}, {4, 64}, {37, 7}, {100, 40},
                    {5, 40}, {80, 70}, {9, 70}, {80, 6}})
        sizes.push_back(wh);
    return sizes;
}

const fill_kind region_fills[] = {FILL_RANDOM, FILL_EXTREME, FILL_PEAK_2D, FILL_TROUGH_2D, FILL_MAX};

// A source as tight as the region allows, and the three 16-bit and fifteen
// 8-bit planes of one reference in its geometry, guard-filled.
struct region_case {
    sample_plane src;
    std::vector<int16_t> h16[3];
    std::vector<uint8_t> p8[16];

    region_case(fill_kind kind, int w, int h, std::mt19937 &rng) : src(kind, rng, std::max(w, h) + 16, 32)
    {
        for (auto &v : h16) v.assign(src.buf.size(), 0x5a5a);
        for (int i = 1; i < 16; i++) p8[i].assign(src.buf.size(), 0xcd);
    }
    ptrdiff_t at() const { return (ptrdiff_t)src.m * src.stride + src.m; }
};

bool check_filter_h(context *ctx)
{
    for (fill_kind kind : region_fills)
        for (auto wh : region_sizes())
            for (int half_only = 0; half_only < 2; half_only++) {
                int w = wh.first, h = wh.second;
                region_case a(kind, w, h, ctx->rng);
                region_case b = a;
                ptrdiff_t o = a.at();
                const uint8_t *src = a.src.buf.data() + o;
                ctx->c->filter_h_subpel_16bit(a.h16[0].data() + o, a.h16[1].data() + o, a.h16[2].data() + o, src,
                                              a.src.stride, w, h, half_only);
                ctx->a->filter_h_subpel_16bit(b.h16[0].data() + o, b.h16[1].data() + o, b.h16[2].data() + o, src,
                                              a.src.stride, w, h, half_only);
                for (int i = 0; i < 3; i++)
                    if (!same_plane(a.h16[i], b.h16[i], a.src.stride,
                                    describe("filter_h_subpel_16bit", kind, w, h) + " plane " + std::to_string(i) +
                                        " half_only " + std::to_string(half_only)))
                        return true;
            }
    return true;
}

// Every region with and without the horizontal planes, all planes or the
// half-sample ones only.
bool check_build_subpel(context *ctx)
{
    for (fill_kind kind : region_fills)
        for (auto wh : region_sizes())
            for (int variant = 0; variant < 4; variant++) {
                int w = wh.first, h = wh.second, half_only = variant & 1, with_hp = !(variant & 2);
                region_case a(kind, w, h, ctx->rng);
                ptrdiff_t o = a.at();
                uint8_t *src = a.src.buf.data() + o;
                filter_h_subpel_16bit_c(a.h16[0].data() + o, a.h16[1].data() + o, a.h16[2].data() + o, src,
                                        a.src.stride, w, h, half_only);
                region_case b = a;
                const int16_t *hp[3] = {a.h16[0].data() + o, a.h16[1].data() + o, a.h16[2].data() + o};
                uint8_t *pa[16], *pb[16];
                pa[0] = pb[0] = src;
                for (int i = 1; i < 16; i++) {
                    pa[i] = a.p8[i].data() + o;
                    pb[i] = b.p8[i].data() + o;
                }
                std::vector<uint8_t> before = a.src.buf;
                ctx->c->build_subpel_planes(pa, src, with_hp ? hp : nullptr, a.src.stride, w, h, half_only);
                ctx->a->build_subpel_planes(pb, src, with_hp ? hp : nullptr, a.src.stride, w, h, half_only);
                std::string what = describe("build_subpel_planes", kind, w, h, 0, 0, with_hp) + " half_only " +
                                   std::to_string(half_only);
                for (int i = 1; i < 16; i++)
                    if (!same_plane(a.p8[i], b.p8[i], a.src.stride, what + " plane " + std::to_string(i))) return true;
                EXPECT_EQ(a.src.buf, before) << what << ": plane 0 written";
                if (a.src.buf != before) return true;
            }
    return true;
}

// A source picture of exactly what the half-resolution builders may read
// (rows 0 .. 2h + 2, columns 0 .. 2w + 2), so an over-read leaves the buffer.
struct lowres_case {
    int src_stride, dst_stride;
    std::vector<uint8_t> src;
    std::vector<uint8_t> planes[16];

    lowres_case(int w, int h, std::mt19937 &rng, fill_kind kind)
    {
        src_stride = 2 * w + 3 + (int)(rng() % 20);
        src.resize((size_t)src_stride * (2 * h + 2) + 2 * w + 3);
        for (size_t i = 0; i < src.size(); i++)
            src[i] = sample_of(kind, (int)(i % src_stride), (int)(i / src_stride), rng);
        dst_stride = w + 1 + (int)(rng() % 20);
        for (auto &p : planes) p.assign((size_t)dst_stride * (h + 2), 0xcd);
    }
    void pointers(uint8_t **p)
    {
        for (int i = 0; i < 16; i++) p[i] = planes[i].data();
    }
};

bool check_lowres(context *ctx, bool all_planes)
{
    const char *what = all_planes ? "build_lowres_planes" : "downscale_2x2_plane";
    for (int kind = 0; kind <= FILL_TROUGH_2D; kind++)
        for (int w : {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 20, 31, 32, 33, 64, 65, 80})
            for (int h : {0, 1, 2, 3, 8, 9, 17, 40}) {
                lowres_case a(w, h, ctx->rng, (fill_kind)kind), b = a;
                uint8_t *pa[16], *pb[16];
                a.pointers(pa);
                b.pointers(pb);
                if (all_planes) {
                    ctx->c->build_lowres_planes(pa, a.dst_stride, a.src.data(), a.src_stride, w, h);
                    ctx->a->build_lowres_planes(pb, b.dst_stride, b.src.data(), b.src_stride, w, h);
                } else {
                    ctx->c->downscale_2x2_plane(pa, a.dst_stride, a.src.data(), a.src_stride, w, h);
                    ctx->a->downscale_2x2_plane(pb, b.dst_stride, b.src.data(), b.src_stride, w, h);
                }
                for (int i = 0; i < 16; i++)
                    if (!same_plane(a.planes[i], b.planes[i], a.dst_stride,
                                    describe(what, kind, w, h) + " plane " + std::to_string(i)))
                        return true;
            }
    return true;
}

bool check_downscale(context *ctx, int slot)
{
    typedef void (*fn)(uint8_t *);
    fn c = (fn)kernel_slot(*ctx->c, slot), a = (fn)kernel_slot(*ctx->a, slot);
    bool border = slot == 18 || slot == 20;
    for (int round = 0; round < 20; round++) {
        // Border kernels: a stride-128 buffer with the block at row 1, column 1.
        std::vector<uint8_t> want((size_t)128 * 66 + 64);
        for (auto &v : want) v = round == 0 ? (uint8_t)(ctx->rng() & 1 ? 255 : 0) : (uint8_t)ctx->rng();
        std::vector<uint8_t> got = want;
        size_t o = border ? 129 : 0;
        c(want.data() + o);
        a(got.data() + o);
        if (!same_plane(want, got, border ? 128 : 64, slot_names[slot])) return true;
    }
    return true;
}

// The comparison of one slot; false when the slot has none.
bool compare_on(context *ctx, int slot)
{
    switch (slot) {
    case 0:
    case 1:
    case 12: return check_luma(ctx, slot);
    case 2: return check_chroma<false>(ctx);
    case 3: return check_chroma<true>(ctx);
    case 4: return check_bipred(ctx);
    case 5: return check_filter_h(ctx);
    case 6: return check_build_subpel(ctx);
    case 7: return check_mc_from_subpel_planes(ctx);
    case 9: return check_avg_pixels(ctx);
    case 10: return check_lowres(ctx, true);
    case 11: return check_lowres(ctx, false);
    case 13: return check_ref_or_bilinear(ctx);
    case 16: return check_block_copy(ctx);
    case 17:
    case 18:
    case 19:
    case 20: return check_downscale(ctx, slot);
    default: return false;
    }
}

// The planes are built once and kept for every slot and level; the context
// draws on its own random source.
bool compare_slot(int slot, const mc_table &portable, const mc_table &simd, std::mt19937 &)
{
    static context ctx;
    ctx.c = &portable;
    ctx.a = &simd;
    return compare_on(&ctx, slot);
}

TEST(McKernels, EverySlotAtEveryLevelEqualsItsPortableKernel)
{
    // The SSSE3 set fills 12 slots; the AVX2 set 13, of which 7 replace SSSE3
    // kernels, so the AVX2 level holds 18 vector kernels.
    expect_level_counts(walk_kernel_levels(mc_table_init, compare_slot, slot_name, 1), 12, 18);
}

TEST(McKernels, EachSetFillsItsSlotsAndNoOther)
{
    mc_table portable = kernel_table(mc_table_init, KERNEL_PORTABLE);
    const int ssse3[] = {2, 3, 4, 5, 6, 9, 10, 11, 17, 18, 19, 20};
    const int avx2[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 12, 13, 16};
    // An installer is compiled for its instruction sets: run only where they are.
    struct {
        int level;
        void (*fill)(mc_table *);
        const int *slots, *end;
    } sets[] = {{KERNEL_SSSE3, mc_table_fill_ssse3, std::begin(ssse3), std::end(ssse3)},
                {KERNEL_AVX2, mc_table_fill_avx2, std::begin(avx2), std::end(avx2)}};
    for (auto &set : sets) {
        if (!kernel_level_present(set.level)) continue;
        mc_table t = portable;
        set.fill(&t);
        for (int i = 0; i < MC_TABLE_SLOTS; i++)
            EXPECT_EQ(kernel_slot(t, i) != kernel_slot(portable, i), std::find(set.slots, set.end, i) != set.end)
                << "slot " << i << " (" << slot_names[i] << ")";
    }
}

TEST(McKernels, TheTableInstallsTheSsse3SetOnlyWithBothFlags)
{
    mc_table t;
    mc_table_init(CPU_SSSE3, &t);
    EXPECT_EQ((void *)t.interp_chroma, (void *)interp_chroma_c);
    mc_table_init(CPU_SSE41 | CPU_SSSE3, &t);
    if (kernel_level_present(KERNEL_SSSE3)) {
        EXPECT_EQ((void *)t.interp_chroma, (void *)interp_chroma_ssse3);
        EXPECT_EQ((void *)t.build_lowres_planes, (void *)build_lowres_planes_ssse3);
        EXPECT_EQ((void *)t.interp_luma, (void *)interp_luma_c);
    }
}

// ---- the SSSE3 workers ----

#define REQUIRE_SSSE3() \
    if (!kernel_level_present(KERNEL_SSSE3)) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1"

// Reference planes of the standard-model tests: random, and the 0/255
// patterns that put the half/half intermediate at its maximum and minimum.
struct worker_refs {
    mc_test::ref_plane planes[3];
    worker_refs()
    {
        planes[0].fill(mc_test::FILL_RANDOM, 11);
        for (int k = 1; k < 3; k++) {
            mc_test::ref_plane &p = planes[k];
            for (int y = 0; y < p.H + 2 * p.M; y++)
                for (int x = 0; x < p.S; x++) {
                    bool same = luma_half_tap_positive(x) == luma_half_tap_positive(y);
                    p.data[(size_t)y * p.S + x] = same == (k == 1) ? 255 : 0;
                }
            p.build_hplanes();
        }
    }
};

const int worker_widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 12, 15, 16, 17, 24, 32, 48, 64};

// A random vector part in quarter samples that keeps every read inside the
// margins of a worker reference.
int worker_vector(std::mt19937 &rng, int frac)
{
    return 4 * ((int)(rng() % 41) - 20) + frac;
}

TEST(McKernels, LumaWorkersToSixteenBitsEqualThePortableIntermediateAtEveryWidth)
{
    REQUIRE_SSSE3();
    typedef void (*v_fn)(int16_t *, int32_t, const uint8_t *, int32_t, int32_t, int32_t, int32_t, int32_t);
    typedef void (*hv_fn)(int16_t *, int32_t, const int16_t *, int32_t, int32_t, int32_t, int32_t, int32_t);
    const v_fn v_workers[] = {interp_luma_16bit_v_w8_ssse3, interp_luma_16bit_v_w16_ssse3};
    const hv_fn hv_workers[] = {interp_luma_16bit_hplane_v_w4_ssse3, interp_luma_16bit_hplane_v_w8_ssse3};
    std::mt19937 rng(5);
    static worker_refs refs;
    for (auto &ref : refs.planes)
        for (int w : worker_widths)
            for (int h : {1, 4, 9, 64})
                for (int phase = 1; phase < 16; phase++) {
                    int px = phase & 3, py = phase >> 2;
                    if (!py) continue;
                    int mvx = worker_vector(rng, px), mvy = worker_vector(rng, py);
                    uint8_t *blk = ref.block(8, 8);
                    canvas<int16_t> want, got;
                    want.init(w, h, rng);
                    got = want;
                    int32_t ws = want.stride;
                    interp_luma_16bit_c(want.block(), &ws, blk, ref.hplanes_at(8, 8).p, ref.S, mvx, mvy, w, h);
                    ptrdiff_t off = (ptrdiff_t)(mvy >> 2) * ref.S + (mvx >> 2);
                    for (int k = 0; k < 2; k++) {
                        canvas<int16_t> out = got;
                        if (px)
                            hv_workers[k](out.block(), out.stride, ref.hplanes_at(8, 8).p[px - 1] + off, ref.S, px,
                                          py, w, h);
                        else
                            v_workers[k](out.block(), out.stride, blk + off, ref.S, 0, py, w, h);
                        ASSERT_TRUE(same_canvas(want, out, describe("worker", k, w, h, mvx, mvy)));
                    }
                }
}

TEST(McKernels, HalfHalfLumaMaximumIsKeptExactlyInSixteenBits)
{
    REQUIRE_SSSE3();
    static worker_refs refs;
    mc_test::ref_plane &ref = refs.planes[1];
    // Find a column and row where the 8x8 window is centred on the maximum.
    int16_t out[8 * 8];
    for (int k = 0; k < 2; k++) {
        auto worker = k ? interp_luma_16bit_hplane_v_w8_ssse3 : interp_luma_16bit_hplane_v_w4_ssse3;
        int best = -100000, worst = 100000;
        for (int y = 0; y < 8; y++) {
            worker(out, 8, ref.hplanes_at(0, y).p[1], ref.S, 2, 2, 8, 1);
            for (int x = 0; x < 8; x++) best = out[x] > best ? out[x] : best;
        }
        mc_test::ref_plane &low = refs.planes[2];
        for (int y = 0; y < 8; y++) {
            worker(out, 8, low.hplanes_at(0, y).p[1], low.S, 2, 2, 8, 1);
            for (int x = 0; x < 8; x++) worst = out[x] < worst ? out[x] : worst;
        }
        EXPECT_EQ(best, 33150 - MC_INTERMEDIATE_BIAS);
        EXPECT_EQ(worst, -16830 - MC_INTERMEDIATE_BIAS);
    }
}

TEST(McKernels, LumaWorkersToEightBitsEqualThePortablePredictionAtEveryWidth)
{
    REQUIRE_SSSE3();
    typedef void (*v_fn)(uint8_t *, int32_t, const uint8_t *, int32_t, int32_t, int32_t, int32_t, int32_t);
    typedef void (*hv_fn)(uint8_t *, int32_t, const int16_t *, int32_t, int32_t, int32_t, int32_t, int32_t);
    typedef void (*h_fn)(uint8_t *, int32_t, const int16_t *, int32_t, int32_t, int32_t);
    const v_fn v_workers[] = {interp_luma_v_w8_ssse3, interp_luma_v_w16_ssse3};
    const hv_fn hv_workers[] = {interp_luma_hplane_v_w4_ssse3, interp_luma_hplane_v_w8_ssse3};
    const h_fn h_workers[] = {hplane_to_pixels_w8_ssse3, hplane_to_pixels_w16_ssse3};
    std::mt19937 rng(6);
    static worker_refs refs;
    for (auto &ref : refs.planes)
        for (int w : worker_widths)
            for (int h : {1, 3, 8, 64})
                for (int phase = 1; phase < 16; phase++) {
                    int px = phase & 3, py = phase >> 2;
                    int mvx = worker_vector(rng, px), mvy = worker_vector(rng, py);
                    uint8_t *blk = ref.block(8, 8);
                    auto hp = ref.hplanes_at(8, 8);
                    canvas<uint8_t> want, got;
                    want.init(w, h, rng);
                    got = want;
                    interp_luma_c(want.block(), want.stride, blk, nullptr, ref.S, mvx, mvy, w, h);
                    ptrdiff_t off = (ptrdiff_t)(mvy >> 2) * ref.S + (mvx >> 2);
                    for (int k = 0; k < 2; k++) {
                        canvas<uint8_t> out = got;
                        if (px && py)
                            hv_workers[k](out.block(), out.stride, hp.p[px - 1] + off, ref.S, px, py, w, h);
                        else if (px)
                            h_workers[k](out.block(), out.stride, hp.p[px - 1] + off, ref.S, w, h);
                        else
                            v_workers[k](out.block(), out.stride, blk + off, ref.S, 0, py, w, h);
                        ASSERT_TRUE(same_canvas(want, out, describe("worker", k, w, h, mvx, mvy)));
                    }
                }
}

TEST(McKernels, ThreeVerticalPhasePlanesEqualThePortablePlanesOfTheirColumn)
{
    REQUIRE_SSSE3();
    static worker_refs refs;
    std::mt19937 rng(7);
    for (auto &ref : refs.planes)
        for (int w : {1, 5, 8, 13, 16, 40})
            for (int h : {1, 4, 7, 33})
                for (int px = 0; px < 4; px++) {
                    const int16_t *hp[3] = {ref.hplanes_at(0, 0).p[0], ref.hplanes_at(0, 0).p[1],
                                            ref.hplanes_at(0, 0).p[2]};
                    canvas<uint8_t> blank;
                    blank.init(w, h, rng);
                    std::vector<canvas<uint8_t>> outs(3, blank);
                    uint8_t *out[3] = {outs[0].block(), outs[1].block(), outs[2].block()};
                    subpel_vert3_planes_sse41(out, blank.stride, ref.origin(), hp, ref.S, px, 0, w, h);
                    for (int py = 1; py < 4; py++) {
                        canvas<uint8_t> want = blank;
                        interp_luma_c(want.block(), want.stride, ref.origin(), hp, ref.S, px, py, w, h);
                        ASSERT_TRUE(same_canvas(want, outs[py - 1], describe("vertical phase plane", py, w, h, px)));
                    }
                }
}

TEST(McKernels, EveryAverageWorkerIsExactAtEveryWidth)
{
    REQUIRE_SSSE3();
    std::mt19937 rng(8);
    for (auto worker : {bipred_avg_16bit_w4_ssse3, bipred_avg_16bit_w8_ssse3, bipred_avg_16bit_w16_ssse3})
        for (int w = 1; w <= 40; w++) {
            canvas<int16_t> p0, p1;
            p0.init(w, 4, rng);
            p1.init(w, 4, rng);
            for (auto *p : {&p0, &p1})
                for (auto &v : p->buf) v = bipred_input((int)(rng() % BIPRED_KINDS), rng);
            canvas<uint8_t> want, got;
            want.init(w, 4, rng);
            got = want;
            bipred_avg_16bit_c(want.block(), want.stride, p0.block(), p0.stride, p1.block(), p1.stride, w, 4);
            worker(got.block(), got.stride, p0.block(), p0.stride, p1.block(), p1.stride, w, 4);
            ASSERT_TRUE(same_canvas(want, got, describe("bipred worker", 0, w, 4)));
        }
    for (auto worker : {avg_pixels_w8_ssse3, avg_pixels_w16_ssse3})
        for (int w = 1; w <= 40; w++) {
            canvas<uint8_t> a, b, want, got;
            a.init(w, 3, rng);
            b.init(w, 3, rng);
            want.init(w, 3, rng);
            got = want;
            avg_pixels_c(want.block(), want.stride, a.block(), a.stride, b.block(), b.stride, w, 3);
            worker(got.block(), got.stride, a.block(), a.stride, b.block(), b.stride, w, 3);
            ASSERT_TRUE(same_canvas(want, got, describe("avg_pixels worker", 0, w, 3)));
        }
}

TEST(McKernels, BiPredictionAverageSaturatesOnlyWhereTheResultIsClippedAnyway)
{
    REQUIRE_SSSE3();
    // Biased inputs: the exact sum leaves the int16 range in both directions.
    const int16_t cases[][3] = {
        {32767, 32767, 255}, {-32768, -32768, 0}, {24958, 24958, 255}, {-25022, -25022, 0},
        // (a + b + 16448) >> 7 at the edges of the unclipped range.
        {-8192, -8192, 0}, {-8161, -8161, 0}, {-8160, -8160, 1}, {8095, 8096, 254}, {8096, 8096, 255},
        {8000, 8000, 253},
    };
    for (auto &cs : cases) {
        int16_t p0[16], p1[16];
        for (int i = 0; i < 16; i++) {
            p0[i] = cs[0];
            p1[i] = cs[1];
        }
        for (int w : {4, 8, 16}) {
            uint8_t out[16] = {};
            bipred_avg_16bit_ssse3(out, 16, p0, 16, p1, 16, w, 1);
            uint8_t want[16] = {};
            bipred_avg_16bit_c(want, 16, p0, 16, p1, 16, w, 1);
            EXPECT_EQ(out[w - 1], cs[2]) << cs[0] << " + " << cs[1];
            EXPECT_EQ(want[w - 1], cs[2]) << cs[0] << " + " << cs[1];
        }
    }
}

TEST(McKernels, HorizontalPlaneWorkersFillSevenRowsForAnEmptyRegionButTheSlotWritesNothing)
{
    REQUIRE_SSSE3();
    static worker_refs refs;
    mc_test::ref_plane &ref = refs.planes[0];
    const int S = ref.S;
    for (auto worker : {filter_h_subpel_16bit_w8_ssse3, filter_h_subpel_16bit_w16_ssse3}) {
        std::vector<int16_t> got(S * 16, 0x5a5a), want(S * 16, 0x5a5a), q(S * 16, 0x5a5a), t(S * 16, 0x5a5a);
        worker(got.data() + 4 * S, ref.block(0, 0), S, 20, 0, 1);
        filter_h_subpel_16bit_c(q.data() + 4 * S, want.data() + 4 * S, t.data() + 4 * S, ref.block(0, 0), S, 20, 1,
                                1);
        // Rows -3 .. 3 match the portable rows of a one-row region; row 4 is untouched.
        for (int y = 1; y < 8; y++)
            for (int x = 0; x < 20; x++) ASSERT_EQ(got[y * S + x], want[y * S + x]) << x << "," << y;
        for (int x = 0; x < S; x++) ASSERT_EQ(got[8 * S + x], 0x5a5a);
        std::vector<int16_t> slot(S * 16, 0x5a5a);
        filter_h_subpel_16bit_ssse3(slot.data() + 4 * S, slot.data() + 4 * S, slot.data() + 4 * S, ref.block(0, 0),
                                    S, 20, 0, 0);
        for (int16_t v : slot) ASSERT_EQ(v, 0x5a5a);
    }
}

TEST(McKernels, HalfResolutionBuildersKeepTheirDifferentRoundings)
{
    REQUIRE_SSSE3();
    // Source 2x2 (plus the padding the builders may read, rows and columns
    // up to 2h + 2 and 2w + 2): 0, 0 / 1, 0.
    uint8_t src[5 * 8] = {};
    for (int y = 1; y < 5; y++) src[8 * y] = 1;
    uint8_t planes_mem[16][2 * 8];
    uint8_t *planes[16];
    for (int i = 0; i < 16; i++) planes[i] = planes_mem[i];
    build_lowres_planes_ssse3(planes, 8, src, 8, 1, 1);
    EXPECT_EQ(planes[0][0], 1);
    downscale_2x2_plane_ssse3(planes, 8, src, 8, 1, 1);
    EXPECT_EQ(planes[0][0], 0);
    alignas(16) uint8_t block[64 * 64] = {};
    block[64] = 1;
    downscale_64x64_ssse3(block);
    EXPECT_EQ(block[0], 1);
}

TEST(McKernels, BorderHalvingRepeatsTheLastHalvedColumnEntry)
{
    REQUIRE_SSSE3();
    std::vector<uint8_t> buf(128 * 66);
    std::mt19937 rng(9);
    for (auto &v : buf) v = (uint8_t)rng();
    uint8_t *block = buf.data() + 129;
    downscale_border_32_ssse3(block);
    for (int j = 16; j < 32; j++) EXPECT_EQ(block[128 * j - 1], block[128 * 15 - 1]) << j;
}

// The half/half luma intermediate of the peak pattern is 33150, past the int16
// range: stored biased, exactly, and averaged to 255 at the AVX2 level.
TEST(McKernels, HalfHalfPeakIntermediateIsStoredExactly)
{
    if (!kernel_level_present(KERNEL_AVX2)) GTEST_SKIP() << "processor without the AVX2 set's instructions";
    std::mt19937 rng(5);
    mc_table avx2 = kernel_table(mc_table_init, KERNEL_AVX2);
    for (fill_kind kind : {FILL_PEAK_2D, FILL_TROUGH_2D}) {
        sample_plane p(kind, rng);
        p.build_hplanes();
        for (int with_hp = 0; with_hp < 2; with_hp++) {
            int16_t out[16 * 16];
            int stride = 16;
            // Outputs at columns and rows 3 mod 8 see the peak window.
            const int16_t *r = avx2.interp_luma_16bit(out, &stride, p.origin(), with_hp ? p.hp : nullptr, p.stride,
                                                      2, 2, 16, 16);
            ASSERT_EQ(r, out);
            int want = kind == FILL_PEAK_2D ? 33150 : -16830;
            EXPECT_EQ(out[3 * 16 + 3] + MC_INTERMEDIATE_BIAS, want);
            EXPECT_EQ(out[11 * 16 + 11] + MC_INTERMEDIATE_BIAS, want);
            uint8_t avg[16 * 16];
            avx2.bipred_avg_16bit(avg, 16, out, 16, out, 16, 16, 16);
            EXPECT_EQ(avg[3 * 16 + 3], kind == FILL_PEAK_2D ? 255 : 0);
        }
    }
}

// ---- timing ----

// A reference with margins, its horizontal and sixteen phase planes, 16-bit
// predictions in the biased range, lookahead grids and scratch buffers.
struct timing_data {
    sample_plane ref;
    std::vector<uint8_t> sub[16];
    uint8_t *planes[16];
    std::vector<uint8_t> dst = std::vector<uint8_t>(128 * 128), block = std::vector<uint8_t>(128 * 130);
    std::vector<int16_t> d16 = std::vector<int16_t>(128 * 128), p0 = d16, p1 = d16;
    std::vector<uint32_t> grid_a = std::vector<uint32_t>(128 * 72), grid_b = grid_a, grid_c = grid_a,
                          grid_out = grid_a;
    std::vector<uint16_t> weight = std::vector<uint16_t>(128, 256);

    explicit timing_data(std::mt19937 &rng) : ref(FILL_RANDOM, rng, 256, 128)
    {
        ref.build_hplanes();
        for (int i = 0; i < 16; i++) {
            sub[i] = ref.buf;
            planes[i] = sub[i].data() + (ptrdiff_t)ref.m * ref.stride + ref.m;
        }
        for (size_t i = 0; i < p0.size(); i++) {
            p0[i] = (int16_t)(rng() % 16320 - MC_INTERMEDIATE_BIAS);
            p1[i] = (int16_t)(rng() % 16320 - MC_INTERMEDIATE_BIAS);
        }
        for (size_t i = 0; i < grid_a.size(); i++) {
            grid_a[i] = (uint32_t)(i * 7 % 500);
            grid_b[i] = (uint32_t)(i * 11 % 900) + 900;
            grid_c[i] = (uint32_t)(i * 13 % 900);
        }
    }
};

// One timed block: the slot, its size and vector, and whether the luma
// kernels get the horizontal planes.
struct timed_block {
    int slot, w, h, mvx, mvy;
    bool planes;
};

const timed_block timed_blocks[] = {
    {0, 8, 8, 2, 2, false},    {0, 16, 16, 5, 9, false},  {0, 32, 32, 0, 3, false},  {0, 64, 64, 2, 2, false},
    {0, 64, 64, 2, 2, true},   {1, 16, 16, 6, 10, false}, {1, 16, 16, 3, 1, false},  {1, 64, 64, 2, 2, false},
    {1, 32, 16, 0, 0, false},  {2, 8, 8, 11, 13, false},  {2, 32, 32, 0, 4, false},  {3, 8, 8, 11, 13, false},
    {3, 16, 16, 3, 5, false},  {4, 8, 8, 0, 0, false},    {4, 16, 16, 0, 0, false},  {4, 64, 64, 0, 0, false},
    {5, 64, 64, 0, 0, false},  {6, 64, 64, 0, 0, true},   {7, 16, 16, 5, 9, false},  {8, 0, 0, 5, 9, false},
    {9, 16, 16, 0, 0, false},  {9, 64, 64, 0, 0, false},  {10, 64, 32, 0, 0, false}, {11, 64, 32, 0, 0, false},
    {11, 128, 64, 0, 0, false}, {12, 16, 16, 5, 10, false}, {12, 16, 16, 1, 3, false}, {13, 16, 16, 1, 3, false},
    {13, 64, 64, 2, 2, false}, {14, 0, 0, 16, 8, false},  {15, 120, 0, 0, 0, false}, {16, 16, 16, 0, 0, false},
    {16, 64, 64, 0, 0, false}, {17, 0, 0, 0, 0, false},   {18, 0, 0, 0, 0, false},   {19, 0, 0, 0, 0, false},
    {20, 0, 0, 0, 0, false},   {21, 120, 68, 0, 0, false},
};

std::string timed_name(const timed_block &b)
{
    std::string name = slot_names[b.slot];
    if (b.w) name += " " + std::to_string(b.w);   // a count of entries where there is no height
    if (b.h) name += "x" + std::to_string(b.h);
    if (b.mvx || b.mvy) name += " (" + std::to_string(b.mvx) + "," + std::to_string(b.mvy) + ")";
    return name + (b.planes ? " planes" : "");
}

void call_timed(const mc_table &t, const timed_block &b, timing_data *d)
{
    const int S = d->ref.stride;
    uint8_t *ref = d->ref.origin();
    const int16_t *const *hp = b.planes ? d->ref.hp : nullptr;
    int32_t stride = 64;
    switch (b.slot) {
    case 0: t.interp_luma(d->dst.data(), 64, ref, hp, S, b.mvx, b.mvy, b.w, b.h); break;
    case 1: kernel_sink += (uintptr_t)t.interp_luma_16bit(d->d16.data(), &stride, ref, hp, S, b.mvx, b.mvy, b.w, b.h); break;
    case 2: t.interp_chroma(d->dst.data(), 64, ref, S, b.mvx, b.mvy, b.w, b.h); break;
    case 3: t.interp_chroma_16bit(d->d16.data(), 64, ref, S, b.mvx, b.mvy, b.w, b.h); break;
    case 4: t.bipred_avg_16bit(d->dst.data(), 64, d->p0.data(), 64, d->p1.data(), 64, b.w, b.h); break;
    case 5:
        t.filter_h_subpel_16bit((int16_t *)d->ref.hp[0], (int16_t *)d->ref.hp[1], (int16_t *)d->ref.hp[2], ref, S,
                                b.w, b.h, 0);
        break;
    case 6: t.build_subpel_planes(d->planes, ref, hp, S, b.w, b.h, 0); break;
    case 7: t.mc_from_subpel_planes(d->dst.data(), 64, d->planes, S, b.mvx, b.mvy, b.w, b.h); break;
    case 8: kernel_sink += (uintptr_t)t.subpel_plane_ptr(d->planes, S, b.mvx, b.mvy); break;
    case 9: t.avg_pixels(d->dst.data(), 64, ref, S, ref + 7, S, b.w, b.h); break;
    case 10: t.build_lowres_planes(d->planes, S, ref, S, b.w, b.h); break;
    case 11: t.downscale_2x2_plane(d->planes, S, ref, S, b.w, b.h); break;
    case 12:
        kernel_sink += (uintptr_t)t.mc_luma_ref_or_interp(d->dst.data(), &stride, ref, hp, S, b.mvx, b.mvy, b.w, b.h);
        break;
    case 13:
        kernel_sink += (uintptr_t)t.mc_luma_ref_or_bilinear(d->dst.data(), &stride, ref, S, b.mvx, b.mvy, b.w, b.h);
        break;
    case 14: kernel_sink += (uintptr_t)t.chroma_fullpel_ptr(ref, S, b.mvx, b.mvy); break;
    case 15:
        t.propagate_cost(d->grid_out.data(), d->grid_a.data(), d->grid_b.data(), d->grid_c.data(), d->weight.data(),
                         b.w);
        break;
    case 16: t.block_copy(d->dst.data(), 64, ref + 3, S, b.w, b.h); break;
    // The block downscales are refreshed from the reference, so every call
    // halves real samples.
    case 17:
        std::memcpy(d->block.data(), ref, 64 * 64);
        t.downscale_64x64(d->block.data());
        break;
    case 18: t.downscale_border_64(d->block.data() + 129); break;
    case 19:
        std::memcpy(d->block.data(), ref, 64 * 32);
        t.downscale_32x32(d->block.data());
        break;
    case 20: t.downscale_border_32(d->block.data() + 129); break;
    default: kernel_sink += t.frame_cost_complexity(d->grid_out.data(), d->grid_a.data(), b.w, b.h, 128, 4); break;
    }
}

TEST(McKernels, Timing)
{
    if (!kernel_timing_ms()) GTEST_SKIP() << KERNEL_TIMING_OFF;
    std::mt19937 rng(11);
    static timing_data d(rng);
    std::vector<timing_case<mc_table>> cases;
    for (const timed_block &b : timed_blocks)
        cases.push_back({timed_name(b), b.slot, [&b](const mc_table &t) { call_timed(t, b, &d); }});
    time_kernel_cases("mc", mc_table_init, cases);
}

}  // namespace
