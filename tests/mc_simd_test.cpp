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
    static constexpr int N = 128, M = 96;
    int stride;
    std::vector<uint8_t> buf;

    sample_plane(sample_kind kind, std::mt19937 &rng)
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
                ADD_FAILURE() << "avg_pixels " << w << "x" << h << ": " << same_buffers(a.buf, b.buf, a.stride).message();
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
                    sample_plane src((sample_kind)kind, c.rng);
                    subpel_buffers a(src), b(src);
                    ptrdiff_t o = src.at(-40, -40) - src.buf.data();
                    c.ref.filter_h_subpel_16bit(a.h16[0].data() + o, a.h16[1].data() + o, a.h16[2].data() + o,
                                                src.buf.data() + o, src.stride, w, h, half_only);
                    c.vec.filter_h_subpel_16bit(b.h16[0].data() + o, b.h16[1].data() + o, b.h16[2].data() + o,
                                                src.buf.data() + o, src.stride, w, h, half_only);
                    for (int i = 0; i < 3; i++)
                        if (!same_buffers(a.h16[i], b.h16[i], src.stride)) {
                            ADD_FAILURE() << "filter_h plane " << i << " " << w << "x" << h << " half_only "
                                          << half_only << ": " << same_buffers(a.h16[i], b.h16[i], src.stride).message();
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
                    sample_plane src((sample_kind)kind, c.rng);
                    subpel_buffers in(src);
                    ptrdiff_t o = src.at(-40, -40) - src.buf.data();
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
                                      << "x" << h << ": " << same_buffers(a.planes[i], b.planes[i], a.dst_stride).message();
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

}  // namespace
