// Vector motion-compensation kernels against the portable ones. One harness
// walks every slot of the mc_table that the SSSE3 set fills and compares it
// with the portable kernel of that slot at every phase and block size the slot
// accepts, on random samples and on 0/255 patterns that drive the 16-bit
// intermediates to their extremes, with random strides and negative vectors.
// Destinations are prefilled with a guard and compared whole, so a write
// outside the block shows up as a difference; a slot without a comparison
// fails. Direct tests cover the workers the AVX2 set borrows and worked values.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/mc/mc.h"
#include "kernels/mc/mc_ssse3.h"
#include "tests/support/mc_test_util.h"

namespace {

bool have_ssse3_set()
{
    return cpu_use_ssse3_set(CPU_SSE41 | CPU_SSSE3);
}

mc_table portable_table()
{
    mc_table t;
    mc_table_init(0, &t);
    return t;
}

void *slot_ptr(const mc_table &t, int slot)
{
    void *p;
    std::memcpy(&p, (const char *)&t + slot * sizeof(void *), sizeof p);
    return p;
}

// The slots a set installer stores, found by running it on an empty table.
std::vector<int> slots_filled_by(void (*fill)(mc_table *))
{
    mc_table t;
    std::memset(&t, 0, sizeof t);
    fill(&t);
    std::vector<int> slots;
    for (int s = 0; s < MC_TABLE_SLOTS; s++)
        if (slot_ptr(t, s)) slots.push_back(s);
    return slots;
}

enum sample_kind {
    SAMPLES_RANDOM,
    SAMPLES_RANDOM_EXTREMES,   // each sample 0 or 255
    SAMPLES_LUMA_MAX,          // half/half luma 2-D sum at its maximum (33150)
    SAMPLES_LUMA_MIN,          // and at its minimum
    SAMPLES_CHROMA_MAX,        // the same for the chroma half/half phase
    SAMPLES_ALL_255,
    SAMPLES_ALL_0,
    SAMPLE_KINDS
};

// Whether the tap at window position k (0 .. 7 luma, 0 .. 3 chroma) of the
// half-sample filter is positive.
bool luma_half_tap_positive(int k)
{
    return mc_luma_filter[2][k & 7] > 0;
}

bool chroma_half_tap_positive(int k)
{
    return mc_chroma_filter[4][k & 3] > 0;
}

uint8_t sample_of(sample_kind kind, int x, int y, std::mt19937 &rng)
{
    switch (kind) {
    case SAMPLES_RANDOM: return (uint8_t)rng();
    case SAMPLES_RANDOM_EXTREMES: return (rng() & 1) ? 255 : 0;
    // A sample is 255 where the horizontal tap sign equals the vertical one: the
    // rows under positive vertical taps hold the largest horizontal sum (22440)
    // and the others the smallest (-6120), which gives 33150 after the shift.
    case SAMPLES_LUMA_MAX: return luma_half_tap_positive(x) == luma_half_tap_positive(y) ? 255 : 0;
    case SAMPLES_LUMA_MIN: return luma_half_tap_positive(x) != luma_half_tap_positive(y) ? 255 : 0;
    case SAMPLES_CHROMA_MAX: return chroma_half_tap_positive(x) == chroma_half_tap_positive(y) ? 255 : 0;
    case SAMPLES_ALL_255: return 255;
    default: return 0;
    }
}

// An 8-bit plane of N x N samples inside a margin of M on every side, all
// filled, with a random row stride.
struct sample_plane {
    int N, M;
    int stride;
    std::vector<uint8_t> buf;

    sample_plane(sample_kind kind, std::mt19937 &rng, int n = 128, int m = 96) : N(n), M(m)
    {
        stride = N + 2 * M + (int)(rng() % 48);
        buf.resize((size_t)stride * (N + 2 * M));
        for (int y = 0; y < N + 2 * M; y++)
            for (int x = 0; x < stride; x++) buf[(size_t)y * stride + x] = sample_of(kind, x, y, rng);
    }
    uint8_t *at(int x, int y) { return buf.data() + (ptrdiff_t)(y + M) * stride + x + M; }
};

// A guard-filled destination of rows x stride elements, origin at row/column g.
template <typename T>
struct guarded {
    static constexpr int G = 24;
    int stride;
    std::vector<T> buf;

    guarded(int w, int h, std::mt19937 &rng, int min_stride = 0)
    {
        stride = (w > min_stride ? w : min_stride) + 2 * G + (int)(rng() % 40);
        buf.assign((size_t)stride * (h + 2 * G), (T)0x5a);
    }
    T *origin() { return buf.data() + (ptrdiff_t)G * stride + G; }
};

template <typename T>
::testing::AssertionResult same_buffers(const std::vector<T> &want, const std::vector<T> &got, int stride)
{
    if (want == got) return ::testing::AssertionSuccess();
    for (size_t i = 0; i < want.size(); i++)
        if (want[i] != got[i])
            return ::testing::AssertionFailure()
                   << "first difference at row " << i / stride << " column " << i % stride << ": portable "
                   << (int)want[i] << ", vector " << (int)got[i];
    return ::testing::AssertionSuccess();
}

struct case_ctx {
    const mc_table &ref;
    const mc_table &vec;
    std::mt19937 &rng;
};

// A random full-sample vector part that keeps every read inside the margins,
// negative about half the time, in units of `unit` fractional steps.
int random_vector(std::mt19937 &rng, int frac, int unit)
{
    int whole = (int)(rng() % 41) - 20;
    return whole * unit + frac;
}

const int pred_sizes[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64};

bool check_chroma(case_ctx &c, bool sixteen)
{
    bool ok = true;
    for (int kind = 0; kind < SAMPLE_KINDS; kind++) {
        sample_plane src((sample_kind)kind, c.rng);
        for (int w : pred_sizes) {
            if (w > 32) continue;
            for (int h : {1, 2, 4, 8, 32, w}) {
                for (int phase = 0; phase < 64; phase++) {
                    int mvx = random_vector(c.rng, phase & 7, 8), mvy = random_vector(c.rng, phase >> 3, 8);
                    const uint8_t *ref = src.at((int)(c.rng() % 64), (int)(c.rng() % 64));
                    if (sixteen) {
                        guarded<int16_t> a(w, h, c.rng), b = a;
                        c.ref.interp_chroma_16bit(a.origin(), a.stride, ref, src.stride, mvx, mvy, w, h);
                        c.vec.interp_chroma_16bit(b.origin(), b.stride, ref, src.stride, mvx, mvy, w, h);
                        ok = ok && same_buffers(a.buf, b.buf, a.stride);
                    } else {
                        guarded<uint8_t> a(w, h, c.rng), b = a;
                        c.ref.interp_chroma(a.origin(), a.stride, ref, src.stride, mvx, mvy, w, h);
                        c.vec.interp_chroma(b.origin(), b.stride, ref, src.stride, mvx, mvy, w, h);
                        ok = ok && same_buffers(a.buf, b.buf, a.stride);
                    }
                    if (!ok) {
                        ADD_FAILURE() << "chroma " << (sixteen ? 16 : 8) << "-bit kind " << kind << " " << w << "x"
                                      << h << " mv " << mvx << "," << mvy;
                        return false;
                    }
                }
            }
        }
    }
    return ok;
}

// 16-bit inputs of the bi-prediction average: real intermediates, the whole
// int16 range, the range where the output is neither 0 nor 255, and the limits.
int16_t bipred_input(int kind, std::mt19937 &rng)
{
    switch (kind) {
    case 0: return (int16_t)rng();
    case 1: return (int16_t)((int)(rng() % 32800) - 16400);
    case 2: return (rng() & 1) ? 32767 : -32768;
    case 3: return (int16_t)((int)(rng() % 39981) - 25022 + 0);   // every biased intermediate
    default: return (int16_t)((rng() & 1) ? 24958 : -25022);      // the biased half/half extremes
    }
}

bool check_bipred(case_ctx &c)
{
    for (int kind = 0; kind < 5; kind++)
        for (int w = 1; w <= 64; w++)
            for (int h : {1, 3, 4, 8, 64}) {
                guarded<int16_t> p0(w, h, c.rng, 64), p1(w, h, c.rng, 64);
                for (auto *p : {&p0, &p1})
                    for (auto &v : p->buf) v = bipred_input(kind, c.rng);
                guarded<uint8_t> a(w, h, c.rng), b = a;
                c.ref.bipred_avg_16bit(a.origin(), a.stride, p0.origin(), p0.stride, p1.origin(), p1.stride, w, h);
                c.vec.bipred_avg_16bit(b.origin(), b.stride, p0.origin(), p0.stride, p1.origin(), p1.stride, w, h);
                if (!same_buffers(a.buf, b.buf, a.stride)) {
                    ADD_FAILURE() << "bipred kind " << kind << " " << w << "x" << h << ": "
                                  << same_buffers(a.buf, b.buf, a.stride).message();
                    return false;
                }
            }
    return true;
}

bool check_avg_pixels(case_ctx &c)
{
    for (int w = 1; w <= 64; w++)
        for (int h : {1, 2, 5, 64}) {
            guarded<uint8_t> x(w, h, c.rng, 64), y(w, h, c.rng, 64);
            for (auto *p : {&x, &y})
                for (auto &v : p->buf) v = (uint8_t)c.rng();
            guarded<uint8_t> a(w, h, c.rng), b = a;
            c.ref.avg_pixels(a.origin(), a.stride, x.origin(), x.stride, y.origin(), y.stride, w, h);
            c.vec.avg_pixels(b.origin(), b.stride, x.origin(), x.stride, y.origin(), y.stride, w, h);
            if (!same_buffers(a.buf, b.buf, a.stride)) {
                ADD_FAILURE() << "avg_pixels " << w << "x" << h << ": "
                              << same_buffers(a.buf, b.buf, a.stride).message();
                return false;
            }
        }
    return true;
}

// Region sizes of the sub-sample plane build: small, around the column groups,
// and the widths of first, inner and last CTU regions.
std::vector<std::pair<int, int>> region_sizes()
{
    std::vector<std::pair<int, int>> sizes;
    for (int w : {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 24, 31, 33})
        for (int h : {1, 2, 5}) sizes.push_back({w, h});
    for (auto wh : {std::make_pair(64, 64), {136, 133}, {33, 64}, {17, 133}, {136, 1}, {4, 64}}) sizes.push_back(wh);
    return sizes;
}

// The three 16-bit planes and fifteen 8-bit planes of one reference, with its
// geometry, guard-filled.
struct subpel_buffers {
    std::vector<int16_t> h16[3];
    std::vector<uint8_t> p8[16];

    explicit subpel_buffers(const sample_plane &src)
    {
        for (auto &v : h16) v.assign(src.buf.size(), 0x5a5a);
        for (int i = 1; i < 16; i++) p8[i].assign(src.buf.size(), 0xcd);
    }
};

bool check_filter_h(case_ctx &c)
{
    for (int kind : {SAMPLES_RANDOM, SAMPLES_LUMA_MAX, SAMPLES_LUMA_MIN, SAMPLES_ALL_255})
        for (auto wh : region_sizes())
                for (int half_only = 0; half_only < 2; half_only++) {
                    int w = wh.first, h = wh.second;
                    sample_plane src((sample_kind)kind, c.rng, (w > h ? w : h) + 16, 32);
                    subpel_buffers a(src), b(src);
                    ptrdiff_t o = src.at(0, 0) - src.buf.data();
                    c.ref.filter_h_subpel_16bit(a.h16[0].data() + o, a.h16[1].data() + o, a.h16[2].data() + o,
                                                src.buf.data() + o, src.stride, w, h, half_only);
                    c.vec.filter_h_subpel_16bit(b.h16[0].data() + o, b.h16[1].data() + o, b.h16[2].data() + o,
                                                src.buf.data() + o, src.stride, w, h, half_only);
                    for (int i = 0; i < 3; i++)
                        if (!same_buffers(a.h16[i], b.h16[i], src.stride)) {
                            ADD_FAILURE() << "filter_h plane " << i << " " << w << "x" << h << " half_only "
                                          << half_only << ": "
                                          << same_buffers(a.h16[i], b.h16[i], src.stride).message();
                            return false;
                        }
                }
    return true;
}

bool check_build_subpel(case_ctx &c)
{
    for (int kind : {SAMPLES_RANDOM, SAMPLES_RANDOM_EXTREMES, SAMPLES_LUMA_MAX, SAMPLES_LUMA_MIN})
        for (auto wh : region_sizes())
                for (int variant = 0; variant < 3; variant++) {
                    int w = wh.first, h = wh.second;
                    // 0: all planes, 1: half only, 2: all planes without 16-bit planes.
                    int half_only = variant == 1;
                    sample_plane src((sample_kind)kind, c.rng, (w > h ? w : h) + 16, 32);
                    subpel_buffers in(src);
                    ptrdiff_t o = src.at(0, 0) - src.buf.data();
                    filter_h_subpel_16bit_c(in.h16[0].data() + o, in.h16[1].data() + o, in.h16[2].data() + o,
                                            src.buf.data() + o, src.stride, w, h, half_only);
                    const int16_t *hp[3] = {in.h16[0].data() + o, in.h16[1].data() + o, in.h16[2].data() + o};
                    subpel_buffers a(src), b(src);
                    uint8_t *pa[16], *pb[16];
                    pa[0] = pb[0] = src.buf.data() + o;
                    for (int i = 1; i < 16; i++) {
                        pa[i] = a.p8[i].data() + o;
                        pb[i] = b.p8[i].data() + o;
                    }
                    std::vector<uint8_t> before = src.buf;
                    const int16_t *const *hps = variant == 2 ? nullptr : hp;
                    c.ref.build_subpel_planes(pa, src.buf.data() + o, hps, src.stride, w, h, half_only);
                    c.vec.build_subpel_planes(pb, src.buf.data() + o, hps, src.stride, w, h, half_only);
                    for (int i = 1; i < 16; i++)
                        if (!same_buffers(a.p8[i], b.p8[i], src.stride)) {
                            ADD_FAILURE() << "subpel plane " << i << " kind " << kind << " " << w << "x" << h
                                          << " variant " << variant << ": "
                                          << same_buffers(a.p8[i], b.p8[i], src.stride).message();
                            return false;
                        }
                    if (src.buf != before) {
                        ADD_FAILURE() << "subpel build wrote plane 0";
                        return false;
                    }
                }
    return true;
}

// A source picture of exactly what the half-resolution builders may read
// (rows 0 .. 2h + 2, columns 0 .. 2w + 2), so an over-read leaves the buffer.
struct lowres_case {
    int src_stride, dst_stride;
    std::vector<uint8_t> src;
    std::vector<uint8_t> planes[16];

    lowres_case(int w, int h, std::mt19937 &rng, int kind)
    {
        src_stride = 2 * w + 3 + (int)(rng() % 20);
        src.resize((size_t)src_stride * (2 * h + 2) + 2 * w + 3);
        for (size_t i = 0; i < src.size(); i++) src[i] = kind ? ((rng() & 1) ? 255 : 0) : (uint8_t)rng();
        dst_stride = w + 1 + (int)(rng() % 20);
        for (auto &p : planes) p.assign((size_t)dst_stride * (h + 2), 0xcd);
    }
    void pointers(uint8_t **p)
    {
        for (int i = 0; i < 16; i++) p[i] = planes[i].data();
    }
};

bool check_lowres(case_ctx &c, bool all_planes)
{
    for (int kind = 0; kind < 2; kind++)
        for (int w : {0, 1, 2, 3, 7, 8, 9, 15, 16, 17, 20, 31, 32, 33, 64, 65})
            for (int h : {0, 1, 2, 3, 8, 17}) {
                lowres_case a(w, h, c.rng, kind), b = a;
                uint8_t *pa[16], *pb[16];
                a.pointers(pa);
                b.pointers(pb);
                if (all_planes) {
                    c.ref.build_lowres_planes(pa, a.dst_stride, a.src.data(), a.src_stride, w, h);
                    c.vec.build_lowres_planes(pb, b.dst_stride, b.src.data(), b.src_stride, w, h);
                } else {
                    c.ref.downscale_2x2_plane(pa, a.dst_stride, a.src.data(), a.src_stride, w, h);
                    c.vec.downscale_2x2_plane(pb, b.dst_stride, b.src.data(), b.src_stride, w, h);
                }
                for (int i = 0; i < 16; i++)
                    if (!same_buffers(a.planes[i], b.planes[i], a.dst_stride)) {
                        ADD_FAILURE() << (all_planes ? "lowres" : "downscale_2x2") << " plane " << i << " " << w
                                      << "x" << h << ": "
                                      << same_buffers(a.planes[i], b.planes[i], a.dst_stride).message();
                        return false;
                    }
            }
    return true;
}

bool check_downscale(case_ctx &c, int slot)
{
    typedef void (*fn)(uint8_t *);
    fn ref = (fn)slot_ptr(c.ref, slot), vec = (fn)slot_ptr(c.vec, slot);
    bool border = slot == 18 || slot == 20;
    for (int round = 0; round < 20; round++) {
        // Border kernels: a stride-128 buffer with the block at row 1, column 1.
        std::vector<uint8_t> a((size_t)128 * 66 + 64);
        for (auto &v : a) v = round == 0 ? (uint8_t)(c.rng() & 1 ? 255 : 0) : (uint8_t)c.rng();
        std::vector<uint8_t> b = a;
        size_t o = border ? 129 : 0;
        ref(a.data() + o);
        vec(b.data() + o);
        if (!same_buffers(a, b, border ? 128 : 64)) {
            ADD_FAILURE() << "downscale slot " << slot << ": " << same_buffers(a, b, border ? 128 : 64).message();
            return false;
        }
    }
    return true;
}

// The comparison of one slot; false when the slot has none.
bool compare_slot(case_ctx &c, int slot, bool *ok)
{
    switch (slot) {
    case 2: *ok = check_chroma(c, false); return true;
    case 3: *ok = check_chroma(c, true); return true;
    case 4: *ok = check_bipred(c); return true;
    case 5: *ok = check_filter_h(c); return true;
    case 6: *ok = check_build_subpel(c); return true;
    case 9: *ok = check_avg_pixels(c); return true;
    case 10: *ok = check_lowres(c, true); return true;
    case 11: *ok = check_lowres(c, false); return true;
    case 17:
    case 18:
    case 19:
    case 20: *ok = check_downscale(c, slot); return true;
    default: return false;
    }
}

TEST(mc_simd, every_ssse3_slot_equals_its_portable_kernel)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
    std::vector<int> slots = slots_filled_by(mc_table_fill_ssse3);
    EXPECT_EQ(slots.size(), 12u);
    mc_table ref = portable_table(), vec = portable_table();
    mc_table_fill_ssse3(&vec);
    std::mt19937 rng(20261207);
    case_ctx c{ref, vec, rng};
    for (int slot : slots) {
        SCOPED_TRACE(slot);
        bool ok = false;
        bool compared = compare_slot(c, slot, &ok);
        EXPECT_TRUE(compared) << "slot " << slot << " has no comparison";
        EXPECT_TRUE(ok) << "slot " << slot << " differs from the portable kernel";
    }
}

TEST(mc_simd, the_table_installs_the_ssse3_set_only_with_both_flags)
{
    mc_table t;
    mc_table_init(CPU_SSSE3, &t);
    EXPECT_EQ((void *)t.interp_chroma, (void *)interp_chroma_c);
    mc_table_init(CPU_SSE41 | CPU_SSSE3, &t);
    if (have_ssse3_set()) {
        EXPECT_EQ((void *)t.interp_chroma, (void *)interp_chroma_ssse3);
        EXPECT_EQ((void *)t.build_lowres_planes, (void *)build_lowres_planes_ssse3);
        EXPECT_EQ((void *)t.interp_luma, (void *)interp_luma_c);
    }
}

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

TEST(mc_simd, luma_workers_to_sixteen_bits_equal_the_portable_intermediate_at_every_width)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
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
                    int mvx = random_vector(rng, px, 4), mvy = random_vector(rng, py, 4);
                    uint8_t *blk = ref.block(8, 8);
                    guarded<int16_t> want(w, h, rng);
                    int32_t ws = want.stride;
                    interp_luma_16bit_c(want.origin(), &ws, blk, ref.hplanes_at(8, 8).p, ref.S, mvx, mvy, w, h);
                    ptrdiff_t off = (ptrdiff_t)(mvy >> 2) * ref.S + (mvx >> 2);
                    for (int k = 0; k < 2; k++) {
                        guarded<int16_t> got = want;
                        std::fill(got.buf.begin(), got.buf.end(), (int16_t)0x5a);
                        if (px)
                            hv_workers[k](got.origin(), got.stride, ref.hplanes_at(8, 8).p[px - 1] + off, ref.S, px,
                                          py, w, h);
                        else
                            v_workers[k](got.origin(), got.stride, blk + off, ref.S, 0, py, w, h);
                        ASSERT_TRUE(same_buffers(want.buf, got.buf, want.stride))
                            << "worker " << k << " " << w << "x" << h << " mv " << mvx << "," << mvy;
                    }
                }
}

TEST(mc_simd, half_half_luma_maximum_is_kept_exactly_in_sixteen_bits)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
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

TEST(mc_simd, luma_workers_to_eight_bits_equal_the_portable_prediction_at_every_width)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
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
                    int mvx = random_vector(rng, px, 4), mvy = random_vector(rng, py, 4);
                    uint8_t *blk = ref.block(8, 8);
                    auto hp = ref.hplanes_at(8, 8);
                    guarded<uint8_t> want(w, h, rng);
                    interp_luma_c(want.origin(), want.stride, blk, nullptr, ref.S, mvx, mvy, w, h);
                    ptrdiff_t off = (ptrdiff_t)(mvy >> 2) * ref.S + (mvx >> 2);
                    for (int k = 0; k < 2; k++) {
                        guarded<uint8_t> got = want;
                        std::fill(got.buf.begin(), got.buf.end(), (uint8_t)0x5a);
                        if (px && py)
                            hv_workers[k](got.origin(), got.stride, hp.p[px - 1] + off, ref.S, px, py, w, h);
                        else if (px)
                            h_workers[k](got.origin(), got.stride, hp.p[px - 1] + off, ref.S, w, h);
                        else
                            v_workers[k](got.origin(), got.stride, blk + off, ref.S, 0, py, w, h);
                        ASSERT_TRUE(same_buffers(want.buf, got.buf, want.stride))
                            << "worker " << k << " " << w << "x" << h << " mv " << mvx << "," << mvy;
                    }
                }
}

TEST(mc_simd, three_vertical_phase_planes_equal_the_portable_planes_of_their_column)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
    static worker_refs refs;
    std::mt19937 rng(7);
    for (auto &ref : refs.planes)
        for (int w : {1, 5, 8, 13, 16, 40})
            for (int h : {1, 4, 7, 33})
                for (int px = 0; px < 4; px++) {
                    const int16_t *hp[3] = {ref.hplanes_at(0, 0).p[0], ref.hplanes_at(0, 0).p[1],
                                            ref.hplanes_at(0, 0).p[2]};
                    for (int py = 1; py < 4; py++) {
                        guarded<uint8_t> want(w, h, rng, 64);
                        guarded<uint8_t> got = want;
                        interp_luma_c(want.origin(), want.stride, ref.origin(), hp, ref.S, px, py, w, h);
                        std::vector<guarded<uint8_t>> outs(3, got);
                        uint8_t *out[3] = {outs[0].origin(), outs[1].origin(), outs[2].origin()};
                        subpel_vert3_planes_sse41(out, got.stride, ref.origin(), hp, ref.S, px, 0, w, h);
                        ASSERT_TRUE(same_buffers(want.buf, outs[py - 1].buf, want.stride))
                            << w << "x" << h << " px " << px << " py " << py;
                    }
                }
}

TEST(mc_simd, every_average_worker_is_exact_at_every_width)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
    std::mt19937 rng(8);
    for (auto worker : {bipred_avg_16bit_w4_ssse3, bipred_avg_16bit_w8_ssse3, bipred_avg_16bit_w16_ssse3})
        for (int w = 1; w <= 40; w++) {
            guarded<int16_t> p0(w, 4, rng, 64), p1(w, 4, rng, 64);
            for (auto *p : {&p0, &p1})
                for (auto &v : p->buf) v = bipred_input((int)(rng() % 5), rng);
            guarded<uint8_t> want(w, 4, rng), got = want;
            bipred_avg_16bit_c(want.origin(), want.stride, p0.origin(), p0.stride, p1.origin(), p1.stride, w, 4);
            worker(got.origin(), got.stride, p0.origin(), p0.stride, p1.origin(), p1.stride, w, 4);
            ASSERT_TRUE(same_buffers(want.buf, got.buf, want.stride)) << "width " << w;
        }
    for (auto worker : {avg_pixels_w8_ssse3, avg_pixels_w16_ssse3})
        for (int w = 1; w <= 40; w++) {
            guarded<uint8_t> a(w, 3, rng, 64), b(w, 3, rng, 64);
            for (auto *p : {&a, &b})
                for (auto &v : p->buf) v = (uint8_t)rng();
            guarded<uint8_t> want(w, 3, rng), got = want;
            avg_pixels_c(want.origin(), want.stride, a.origin(), a.stride, b.origin(), b.stride, w, 3);
            worker(got.origin(), got.stride, a.origin(), a.stride, b.origin(), b.stride, w, 3);
            ASSERT_TRUE(same_buffers(want.buf, got.buf, want.stride)) << "width " << w;
        }
}

TEST(mc_simd, bi_prediction_average_saturates_only_where_the_result_is_clipped_anyway)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
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

TEST(mc_simd, horizontal_plane_workers_fill_seven_rows_for_an_empty_region_but_the_slot_writes_nothing)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
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

TEST(mc_simd, half_resolution_builders_keep_their_different_roundings)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
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

TEST(mc_simd, border_halving_repeats_the_last_halved_column_entry)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "processor lacks SSSE3/SSE4.1";
    std::vector<uint8_t> buf(128 * 66);
    std::mt19937 rng(9);
    for (auto &v : buf) v = (uint8_t)rng();
    uint8_t *block = buf.data() + 129;
    downscale_border_32_ssse3(block);
    for (int j = 16; j < 32; j++) EXPECT_EQ(block[128 * j - 1], block[128 * 15 - 1]) << j;
}

}  // namespace
