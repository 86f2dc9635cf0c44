// SAO kernel checks: the table at every flag set, and one harness that walks
// the table at every instruction-set level the processor has and compares
// every slot holding a vector kernel with the portable kernel of that slot:
// random and extreme content (0/255 alternation, flat, steps), whole and cut
// CTBs of every size, odd strides and misaligned blocks, records and outputs
// surrounded by guards. A slot the harness cannot compare fails. The timing
// test prints the time per call of every slot (kernel_check.h).
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "encoder/cpu.h"
#include "filters/sao/sao.h"
#include "filters/sao/sao_avx2.h"
#include "tests/support/kernel_check.h"
#include "tests/support/sao_test_util.h"

namespace {

sao_table make_table(uint32_t flags, uint8_t fill)
{
    sao_table t;
    std::memset(&t, fill, sizeof t);
    sao_table_init(flags, &t);
    return t;
}

const void *slot(const sao_table &t, int i)
{
    const void *p;
    std::memcpy(&p, (const char *)&t + i * sizeof(void *), sizeof p);
    return p;
}

// Sample patterns: 0 noise, 1 0/255 by column, 2 0/255 by row, 3 0/255
// checkerboard, 4 flat, 5 steps of 8 samples, 6 few levels, 7 ramp with noise.
const int PATTERNS = 8;

uint8_t pattern_sample(int kind, int r, int c, std::mt19937 &rng)
{
    switch (kind) {
    case 0: return (uint8_t)rng();
    case 1: return c & 1 ? 255 : 0;
    case 2: return r & 1 ? 255 : 0;
    case 3: return (r + c) & 1 ? 255 : 0;
    case 4: return 200;
    case 5: return (uint8_t)(((c >> 3) * 37 + (r >> 3) * 91) & 255);
    case 6: return (uint8_t)(rng() % 3 * 127);
    default: return (uint8_t)(r + c + rng() % 3);
    }
}

// Differences: 0 random -255..255, 1 all +255, 2 all -255, 3 +-255 by column,
// 4 any 16-bit value.
const int DIFF_KINDS = 5;

int16_t diff_value(int kind, int i, std::mt19937 &rng)
{
    switch (kind) {
    case 0: return (int16_t)((int)(rng() % 511) - 255);
    case 1: return 255;
    case 2: return -255;
    case 3: return i & 1 ? 255 : -255;
    default: return (int16_t)rng();
    }
}

// ---- difference slots ----------------------------------------------------

// Two planes of n rows with `pad` bytes before the block (misaligned rows).
struct plane_pair {
    std::vector<uint8_t> deb, src;
    int stride = 0, pad = 0;
    const uint8_t *d() const { return deb.data() + pad; }
    const uint8_t *s() const { return src.data() + pad; }
};

plane_pair make_planes(int n, int kind, std::mt19937 &rng)
{
    plane_pair p;
    p.pad = (int)(rng() % 33);
    p.stride = n + (int)(rng() % 3 == 0 ? 0 : rng() % 45);
    size_t size = (size_t)p.pad + (size_t)p.stride * (n - 1) + n;
    p.deb.resize(size);
    p.src.resize(size);
    for (size_t i = 0; i < size; i++) {
        int r = (int)(i / (size_t)p.stride), c = (int)(i % (size_t)p.stride);
        p.deb[i] = pattern_sample(kind, r, c, rng);
        p.src[i] = kind == 4 ? 0 : pattern_sample(kind, r + 1, c, rng);
    }
    return p;
}

const int cut_widths[] = {-4, 0, 4, 8, 12, 15, 16, 17, 20, 24, 28, 31, 32, 36, 40, 44, 48, 52, 56, 60, 63, 64, 70};
const int cut_heights[] = {-2, 0, 1, 2, 3, 4, 5, 8, 12, 16, 20, 24, 28, 31, 32, 36, 40, 48, 56, 60, 64, 70};

int compare_diff(const sao_table &t, const sao_table &c, bool partial, std::mt19937 &rng)
{
    int cases = 0;
    for (int is_luma = 0; is_luma <= 1; is_luma++) {
        int n = is_luma ? 64 : 32;
        for (int kind = 0; kind < PATTERNS; kind++) {
            plane_pair p = make_planes(n, kind, rng);
            int lead = (int)(rng() % 3);   // misaligned outputs
            if (!partial) {
                std::vector<int16_t> a((size_t)n * n + 8, 0x1234), b = a;
                c.diff_ctb(a.data() + lead, p.d(), p.stride, p.s(), p.stride, is_luma);
                t.diff_ctb(b.data() + lead, p.d(), p.stride, p.s(), p.stride, is_luma);
                EXPECT_TRUE(a == b) << "diff_ctb n " << n << " pattern " << kind;
                cases++;
                continue;
            }
            for (int w : cut_widths)
                for (int h : cut_heights) {
                    std::vector<int16_t> a((size_t)n * n + 8, 0x1234), b = a;
                    c.diff_ctb_partial(a.data() + lead, p.d(), p.stride, p.s(), p.stride, is_luma, w, h);
                    t.diff_ctb_partial(b.data() + lead, p.d(), p.stride, p.s(), p.stride, is_luma, w, h);
                    EXPECT_TRUE(a == b) << "diff_ctb_partial n " << n << " pattern " << kind << " " << w << "x" << h;
                    cases++;
                }
        }
    }
    return cases;
}

// ---- statistics slots ----------------------------------------------------

void fill_ring_pattern(ringed_ctb &b, int kind, std::mt19937 &rng)
{
    for (int r = -1; r <= b.n; r++)
        for (int c = -1; c <= b.n; c++) b.at(r, c) = pattern_sample(kind, r + 1, c + 1, rng);
}

// Runs one statistics kernel into the middle of three guarded records and
// compares with the portable record; the guards must stay as they were.
template <typename Call>
void check_stats(Call run_simd, Call run_c, const char *what)
{
    sao_stats want[3], got[3];
    std::memset(want, 0x5a, sizeof want);
    std::memset(got, 0x5a, sizeof got);
    run_c(&want[1]);
    run_simd(&got[1]);
    EXPECT_TRUE(stats_equal(want[1], got[1])) << what;
    EXPECT_TRUE(stats_equal(want[0], got[0]) && stats_equal(want[2], got[2])) << what << ": wrote outside its record";
}

int compare_stats(const sao_table &t, const sao_table &c, int slot_index, std::mt19937 &rng)
{
    bool partial = slot_index >= 8;
    int type = slot_index - (partial ? 8 : 3);
    int cases = 0;
    std::vector<uint8_t> scratch_a(SAO_SCRATCH_BYTES), scratch_b(SAO_SCRATCH_BYTES);
    for (int is_luma = 0; is_luma <= 1; is_luma++) {
        int n = is_luma ? 64 : 32;
        std::vector<int16_t> diff((size_t)n * n);
        auto run_case = [&](int kind, int dkind, int w, int h, int32_t luma_flag) {
            ringed_ctb b = make_ringed_ctb(n, (int)(rng() % 41));   // exact-size buffer, odd strides
            fill_ring_pattern(b, kind, rng);
            for (int i = 0; i < n * n; i++) diff[i] = diff_value(dkind, i, rng);
            char what[128];
            snprintf(what, sizeof what, "slot %d type %d n %d pattern %d diffs %d size %dx%d stride %d", slot_index,
                     type, n, kind, dkind, w, h, b.stride);
            if (partial) {
                sao_stats_partial_fn fs = sao_stats_partial(&t, type), fc = sao_stats_partial(&c, type);
                check_stats<std::function<void(sao_stats *)>>(
                    [&](sao_stats *s) { fs(s, b.origin(), b.stride, luma_flag, diff.data(), w, h, scratch_a.data()); },
                    [&](sao_stats *s) { fc(s, b.origin(), b.stride, luma_flag, diff.data(), w, h, scratch_b.data()); },
                    what);
            } else {
                sao_stats_fn fs = sao_stats_full(&t, type), fc = sao_stats_full(&c, type);
                check_stats<std::function<void(sao_stats *)>>(
                    [&](sao_stats *s) { fs(s, b.origin(), b.stride, luma_flag, diff.data(), scratch_a.data()); },
                    [&](sao_stats *s) { fc(s, b.origin(), b.stride, luma_flag, diff.data(), scratch_b.data()); }, what);
            }
            cases++;
        };
        if (!partial) {
            for (int kind = 0; kind < PATTERNS; kind++)
                for (int dkind = 0; dkind < DIFF_KINDS; dkind++) run_case(kind, dkind, n, n, is_luma);
            // Any non-zero luma flag selects luma.
            if (is_luma) run_case(0, 0, n, n, 255);
            continue;
        }
        for (int w : cut_widths)
            for (int h : cut_heights) run_case((int)(rng() % PATTERNS), (int)(rng() % DIFF_KINDS), w, h, is_luma);
        for (int kind = 0; kind < PATTERNS; kind++) run_case(kind, 1 + kind % 2, n, n, is_luma);
    }
    return cases;
}

// ---- application slot ----------------------------------------------------

// A picture laid out as the encoder lays it out (margins of 96 columns and 88
// rows for luma, half for chroma), with an extra stride and a misaligned
// origin; the deblocked copy lies 4 rows and 32 samples further on in the same
// buffer, or in a buffer of its own.
struct apply_picture {
    std::vector<uint8_t> fin[3], deb[3], scratch;
    std::vector<sao_param> params[3];
    sao_ctu_context ctx;
};

struct apply_setup {
    int width, height;
    uint32_t sao_flags;
    bool in_place;
    int extra_stride, misalign, pattern;
    uint32_t shift;
    bool extreme_params;
};

sao_param random_apply_param(bool extreme, std::mt19937 &rng)
{
    if (!extreme) return random_sao_param((int)(rng() % 6), rng);
    sao_param p;
    static const int types[] = {-1, 0, 1, 2, 3, 4, 4, 5, 6, INT_MIN};
    static const int positions[] = {0, 28, 29, 30, 31, 32, 33, -1, 1000, INT_MIN};
    static const int big[] = {-128, 127, -255, 255, -256, 300, INT_MIN, INT_MAX, -129, 128};
    p.type = types[rng() % 10];
    p.band_position = positions[rng() % 10];
    for (int j = 0; j < 4; j++) p.offset[j] = rng() % 2 ? big[rng() % 10] : (int)(rng() % 31) - 15;
    return p;
}

void apply_init(apply_picture *pic, const apply_setup &s, std::mt19937 &rng)
{
    uint32_t cols = (uint32_t)(s.width + 63) / 64, rows = (uint32_t)(s.height + 63) / 64;
    std::memset(&pic->ctx, 0, sizeof pic->ctx);
    pic->ctx.sao_flags = s.sao_flags;
    pic->ctx.ctu_columns = cols;
    pic->ctx.ctu_rows = rows;
    pic->ctx.width = (uint32_t)s.width;
    pic->ctx.height = (uint32_t)s.height;
    pic->scratch.assign(SAO_SCRATCH_BYTES, 0);
    pic->ctx.scratch = pic->scratch.data();
    for (int p = 0; p < 3; p++) {
        int sh = p ? 1 : 0;
        int stride = ((int)(64 * cols + 192) >> sh) + s.extra_stride;
        int mrows = 88 >> sh, mcols = 96 >> sh;
        int plane_rows = (int)(64 * rows >> sh) + 2 * mrows;
        size_t size = (size_t)stride * plane_rows + (size_t)s.misalign;
        pic->fin[p].resize(size);
        for (size_t i = 0; i < size; i++) {
            int r = (int)(i / (size_t)stride), c = (int)(i % (size_t)stride);
            pic->fin[p][i] = pattern_sample(s.pattern, r, c, rng);
        }
        pic->ctx.stride[p] = stride;
        pic->ctx.planes[p] = pic->fin[p].data() + s.misalign + (size_t)mrows * stride + mcols;
        if (s.in_place) {
            pic->ctx.deblock_planes[p] = pic->ctx.planes[p] + 4 * stride + 32;
        } else {
            pic->deb[p] = pic->fin[p];
            for (auto &v : pic->deb[p]) v = (uint8_t)(v ^ (rng() % 4 == 0 ? 0x55 : 0));
            pic->ctx.deblock_planes[p] = pic->deb[p].data() + (pic->ctx.planes[p] - pic->fin[p].data());
        }
        pic->params[p].resize((size_t)cols * rows);
        for (auto &prm : pic->params[p]) prm = random_apply_param(s.extreme_params, rng);
        pic->ctx.sao_params[p] = pic->params[p].data();
    }
}

// Applies every CTU in the order the CTU jobs do (raster coding order).
void apply_run(const sao_table &t, apply_picture *pic, uint32_t shift)
{
    const sao_ctu_context &ctx = pic->ctx;
    for (uint32_t y = 0; y < ctx.ctu_rows; y++)
        for (uint32_t x = 0; x < ctx.ctu_columns; x++) {
            uint32_t list[4][2];
            int n = sao_final_ctus(x, y, ctx.ctu_columns, ctx.ctu_rows, list);
            for (int i = 0; i < n; i++) {
                if (shift == 0) {
                    sao_apply_ctu(&t, &ctx, list[i][0], list[i][1]);
                    continue;
                }
                if (ctx.sao_flags & SAO_FLAG_LUMA) t.apply_ctb_plane(&ctx, list[i][0], list[i][1], 0, shift);
                if (ctx.sao_flags & SAO_FLAG_CHROMA)
                    for (int p = 1; p <= 2; p++) t.apply_ctb_plane(&ctx, list[i][0], list[i][1], p, shift);
            }
        }
}

// Bytes of a plane buffer outside the CTU-aligned picture area: no form may
// write there.
bool margins_equal(const apply_picture &pic, const std::vector<uint8_t> &before, int p)
{
    int stride = pic.ctx.stride[p], n = p ? 32 : 64;
    ptrdiff_t origin = pic.ctx.planes[p] - pic.fin[p].data();
    int w = n * (int)pic.ctx.ctu_columns, h = n * (int)pic.ctx.ctu_rows;
    for (size_t i = 0; i < before.size(); i++) {
        ptrdiff_t rel = (ptrdiff_t)i - origin;
        ptrdiff_t r = rel >= 0 ? rel / stride : -1 - (-rel - 1) / stride;
        ptrdiff_t c = rel - r * stride;
        bool inside = r >= 0 && r < h && c >= 0 && c < w;
        if (!inside && pic.fin[p][i] != before[i]) return false;
    }
    return true;
}

const int apply_sizes[][2] = {{64, 64}, {72, 72}, {8, 8}, {200, 136}, {256, 192}, {136, 256},
                              {64, 8},  {8, 136}, {192, 192}, {128, 128}, {320, 72}};

int compare_apply(const sao_table &t, const sao_table &c, std::mt19937 &rng)
{
    int cases = 0;
    for (const auto &sz : apply_sizes)
        for (int variant = 0; variant < 6; variant++) {
            apply_setup s;
            s.width = sz[0];
            s.height = sz[1];
            s.sao_flags = 1 + (uint32_t)(rng() % 3);
            s.in_place = variant % 3 != 2;
            s.extra_stride = (int)(rng() % 3 == 0 ? 0 : rng() % 61);
            s.misalign = (int)(rng() % 32);
            s.pattern = variant < PATTERNS ? (variant * 3 + cases) % PATTERNS : 0;
            s.shift = variant == 5 ? (uint32_t)(rng() % 8) : 0;
            s.extreme_params = variant >= 3;
            std::mt19937 content(rng());
            apply_picture a, b;
            std::mt19937 ca = content, cb = content;
            apply_init(&a, s, ca);
            apply_init(&b, s, cb);
            std::vector<uint8_t> before[3];
            for (int p = 0; p < 3; p++) before[p] = a.fin[p];
            apply_run(c, &a, s.shift);
            apply_run(t, &b, s.shift);
            for (int p = 0; p < 3; p++) {
                EXPECT_TRUE(a.fin[p] == b.fin[p]) << sz[0] << "x" << sz[1] << " variant " << variant << " flags "
                                                  << s.sao_flags << " plane " << p;
                EXPECT_TRUE(a.deb[p] == b.deb[p]) << "deblocked copy of plane " << p << " was written";
                EXPECT_TRUE(margins_equal(b, before[p], p)) << "plane " << p << " written outside the picture area";
            }
            cases++;
        }
    return cases;
}

// Compares slot i of a vector table with the portable table; returns the
// number of cases compared, 0 for a slot the harness does not know.
int compare_slot(const sao_table &t, const sao_table &c, int i, std::mt19937 &rng)
{
    switch (i) {
    case 0: return compare_apply(t, c, rng);
    case 1: return compare_diff(t, c, false, rng);
    case 2: return compare_diff(t, c, true, rng);
    case 3: case 4: case 5: case 6: case 7:
    case 8: case 9: case 10: case 11: case 12: return compare_stats(t, c, i, rng);
    default: return 0;
    }
}

const char *const slot_names[SAO_TABLE_SLOTS] = {
    "apply_ctb_plane",      "diff_ctb",             "diff_ctb_partial",         "stats_eo_hor",
    "stats_eo_ver",         "stats_eo_diag135",     "stats_eo_diag45",          "stats_bo",
    "stats_eo_hor_partial", "stats_eo_ver_partial", "stats_eo_diag135_partial", "stats_eo_diag45_partial",
    "stats_bo_partial"};

bool check_slot(int slot, const sao_table &c, const sao_table &t, std::mt19937 &rng)
{
    return compare_slot(t, c, slot, rng) > 0;
}

std::string slot_name(int slot)
{
    return slot_names[slot];
}

} // namespace

TEST(SaoTable, NoSlotIsEmptyAtAnyFlagSet)
{
    for (uint32_t flags = 0; flags < 8; flags++)
        for (uint8_t fill : {0x00, 0xff}) {
            sao_table t = make_table(flags, fill);
            for (int i = 0; i < SAO_TABLE_SLOTS; i++) {
                const void *p = slot(t, i);
                EXPECT_NE(p, nullptr) << "flags " << flags << " slot " << i;
                EXPECT_NE((uintptr_t)p, ~(uintptr_t)0) << "flags " << flags << " slot " << i;
            }
        }
    EXPECT_EQ(sizeof(sao_table), SAO_TABLE_SLOTS * sizeof(void *));
    EXPECT_EQ(sizeof(sao_param), 24u);
}

TEST(SaoTable, EachSetTakesItsSlotsOnlyWhenTheProcessorHasEveryInstructionItUses)
{
    sao_table c = make_table(0, 0);
    const void *portable[SAO_TABLE_SLOTS] = {
        (const void *)sao_apply_ctb_plane_c,       (const void *)sao_diff_ctb_c,
        (const void *)sao_diff_ctb_partial_c,      (const void *)sao_stats_eo_hor_c,
        (const void *)sao_stats_eo_ver_c,          (const void *)sao_stats_eo_diag135_c,
        (const void *)sao_stats_eo_diag45_c,       (const void *)sao_stats_bo_c,
        (const void *)sao_stats_eo_hor_partial_c,  (const void *)sao_stats_eo_ver_partial_c,
        (const void *)sao_stats_eo_diag135_partial_c, (const void *)sao_stats_eo_diag45_partial_c,
        (const void *)sao_stats_bo_partial_c};
    const void *ssse3[SAO_TABLE_SLOTS] = {
        (const void *)sao_apply_ctb_plane_c,           (const void *)sao_diff_ctb_ssse3,
        (const void *)sao_diff_ctb_partial_ssse3,      (const void *)sao_stats_eo_hor_ssse3,
        (const void *)sao_stats_eo_ver_ssse3,          (const void *)sao_stats_eo_diag135_ssse3,
        (const void *)sao_stats_eo_diag45_ssse3,       (const void *)sao_stats_bo_ssse3,
        (const void *)sao_stats_eo_hor_partial_ssse3,  (const void *)sao_stats_eo_ver_partial_ssse3,
        (const void *)sao_stats_eo_diag135_partial_ssse3, (const void *)sao_stats_eo_diag45_partial_ssse3,
        (const void *)sao_stats_bo_partial_ssse3};
    const void *avx2[SAO_TABLE_SLOTS] = {
        (const void *)sao_apply_ctb_plane_avx2,       (const void *)sao_diff_ctb_avx2,
        (const void *)sao_diff_ctb_partial_avx2,      (const void *)sao_stats_eo_hor_avx2,
        (const void *)sao_stats_eo_ver_avx2,          (const void *)sao_stats_eo_diag135_avx2,
        (const void *)sao_stats_eo_diag45_avx2,       (const void *)sao_stats_bo_ssse3,
        (const void *)sao_stats_eo_hor_partial_avx2,  (const void *)sao_stats_eo_ver_partial_avx2,
        (const void *)sao_stats_eo_diag135_partial_avx2, (const void *)sao_stats_eo_diag45_partial_avx2,
        (const void *)sao_stats_bo_partial_ssse3};
    for (uint32_t flags = 0; flags < 8; flags++) {
        sao_table t = make_table(flags, 0);
        const void *const *want = cpu_use_avx2_set(flags) ? avx2 : cpu_use_ssse3_set(flags) ? ssse3 : portable;
        for (int i = 0; i < SAO_TABLE_SLOTS; i++) EXPECT_EQ(slot(t, i), want[i]) << "flags " << flags << " slot " << i;
    }
    // One flag of a set is not enough: SSSE3 without SSE4.1, AVX2 without the SSSE3 set.
    EXPECT_EQ(make_table(CPU_SSSE3, 0).diff_ctb, &sao_diff_ctb_c);
    EXPECT_EQ(make_table(CPU_AVX2, 0).apply_ctb_plane, &sao_apply_ctb_plane_c);
    EXPECT_EQ(make_table(CPU_AVX2 | CPU_SSSE3, 0).stats_eo_hor, &sao_stats_eo_hor_c);
    for (int type = 0; type < 5; type++) {
        EXPECT_EQ(slot(c, 3 + type), (const void *)sao_stats_full(&c, type));
        EXPECT_EQ(slot(c, 8 + type), (const void *)sao_stats_partial(&c, type));
    }
    EXPECT_EQ(sao_stats_full(&c, SAO_TYPE_OFF), nullptr);
    EXPECT_EQ(sao_stats_partial(&c, -1), nullptr);
}

TEST(SaoKernels, EverySlotAtEveryLevelEqualsItsPortableKernel)
{
    // The SSSE3 set holds every slot but the application; the AVX2 set adds
    // the application and keeps the SSSE3 band statistics.
    expect_level_counts(walk_kernel_levels(sao_table_init, check_slot, slot_name, 100), SAO_TABLE_SLOTS - 1,
                        SAO_TABLE_SLOTS);
}

// The worst case for statistics accumulators: a 64x64 luma CTB whose samples
// alternate 0/255 along the class direction (every sample a local minimum or
// maximum) or are flat (all category 2), every difference at +-255. Sums
// reach 2048 * 255 or 4096 * 255 and must come out exact at every level.
TEST(SaoKernels, EdgeStatisticsOfExtreme64x64LumaCtbsAreExactAtEveryLevel)
{
    std::vector<uint8_t> scratch(SAO_SCRATCH_BYTES);
    std::vector<int16_t> diff(64 * 64);
    for (int level = 0; level < KERNEL_LEVELS; level++) {
        sao_table t = make_table(kernel_level_flags(level), 0);
        for (int type = 0; type < 4; type++)
            for (int sign : {1, -1})
                for (int kind : {1, 2, 4}) {   // 0/255 by column, by row, flat
                    // Columns alternate for the classes that look sideways, rows for vertical.
                    int pattern = kind == 4 ? 4 : type == SAO_TYPE_EO_VER ? 2 : type == SAO_TYPE_EO_HOR ? 1 : kind;
                    ringed_ctb b = make_ringed_ctb(64, 7);
                    std::mt19937 rng(1);
                    fill_ring_pattern(b, pattern, rng);
                    for (auto &d : diff) d = (int16_t)(255 * sign);
                    sao_stats s;
                    std::memset(&s, 0x77, sizeof s);
                    sao_stats_full(&t, type)(&s, b.origin(), b.stride, 1, diff.data(), scratch.data());
                    sao_stats want = model_stats(type, b, diff.data(), 64, 64, 64);
                    EXPECT_TRUE(stats_equal(s, want))
                        << "level " << level << " type " << type << " pattern " << pattern;
                    if (pattern == 4) {
                        EXPECT_EQ(s.count[2], 4096);
                        EXPECT_EQ(s.sum[2], 4096 * 255 * sign);
                    } else {
                        EXPECT_EQ(s.count[0], 2048);
                        EXPECT_EQ(s.count[4], 2048);
                        EXPECT_EQ(s.sum[0], 2048 * 255 * sign);
                        EXPECT_EQ(s.sum[4], 2048 * 255 * sign);
                    }
                }
    }
}

// The AVX2 band and edge block kernels on the in-place layout (source 4 rows
// below and 32 samples right of the destination) equal separate buffers.
TEST(SaoKernels, Avx2BlockKernelsInPlaceEqualSeparateBuffers)
{
    if (!kernel_level_present(KERNEL_AVX2)) GTEST_SKIP() << "no AVX2 set";
    typedef void (*eo_fn)(uint8_t *, const uint8_t *, const int8_t *, uint32_t);
    const eo_fn eo[2][4] = {{sao_apply_eo_hor_32x32_avx2, sao_apply_eo_ver_32x32_avx2, sao_apply_eo_diag135_32x32_avx2,
                             sao_apply_eo_diag45_32x32_avx2},
                            {sao_apply_eo_hor_64x64_avx2, sao_apply_eo_ver_64x64_avx2, sao_apply_eo_diag135_64x64_avx2,
                             sao_apply_eo_diag45_64x64_avx2}};
    std::mt19937 rng(5);
    const uint32_t stride = 200;
    for (int big = 0; big <= 1; big++) {
        int n = big ? 64 : 32;
        for (int k = 0; k < 6; k++) {
            std::vector<uint8_t> shared(stride * 80), sep_src, sep_dst(stride * 80, 0);
            for (auto &v : shared) v = (uint8_t)rng();
            sep_src = shared;
            uint8_t *dst = shared.data() + 2 * stride + 8;
            const uint8_t *src = dst + 4 * stride + 32;
            const uint8_t *src2 = sep_src.data() + (src - shared.data());
            uint8_t *dst2 = sep_dst.data() + (dst - shared.data());
            int8_t table[5] = {7, 3, 99, -2, -128};
            uint8_t parts[8] = {7, 0, 255, 0, 0, 3, 0, 128};
            if (k < 4) {
                eo[big][k](dst2, src2, table, stride);
                eo[big][k](dst, src, table, stride);
            } else if (k == 4) {
                (big ? sao_apply_bo_64x64_avx2 : sao_apply_bo_32x32_avx2)(dst2, src2, parts, 30, stride);
                (big ? sao_apply_bo_64x64_avx2 : sao_apply_bo_32x32_avx2)(dst, src, parts, 30, stride);
            } else {
                (big ? sao_apply_copy_64x64_avx2 : sao_apply_copy_32x32_avx2)(dst2, src2, stride);
                (big ? sao_apply_copy_64x64_avx2 : sao_apply_copy_32x32_avx2)(dst, src, stride);
            }
            for (int r = 0; r < n; r++)
                ASSERT_EQ(std::memcmp(dst + r * stride, dst2 + r * stride, (size_t)n), 0)
                    << "n " << n << " kernel " << k << " row " << r;
        }
    }
}

namespace {

// A 3x3-CTU picture laid out as the encoder lays it out; the middle CTU is
// timed, so every class reads real neighbours. The cut slots take 40x56 luma
// and 20x28 chroma samples.
std::vector<timing_case<sao_table>> timing_cases(apply_picture *pic, sao_diff_buffer *diff, uint8_t *scratch)
{
    std::vector<timing_case<sao_table>> cases;
    for (int plane = 0; plane < 2; plane++) {
        int luma = plane == 0, n = luma ? 64 : 32, cw = luma ? 40 : 20, ch = luma ? 56 : 28;
        int stride = pic->ctx.stride[plane];
        ptrdiff_t ctb = (ptrdiff_t)stride * n + n;
        const uint8_t *deb = pic->ctx.deblock_planes[plane] + ctb, *src = pic->ctx.planes[plane] + ctb;
        int16_t *d = luma ? diff->luma : diff->cb;
        std::string size = luma ? " luma" : " chroma";
        for (int type = 0; type < 6; type++)
            cases.push_back({"apply_ctb_plane type " + std::to_string(type) + size, 0, [=](const sao_table &t) {
                                 for (sao_param &p : pic->params[plane]) p.type = type;
                                 t.apply_ctb_plane(&pic->ctx, 1, 1, plane, 0);
                             }});
        cases.push_back({slot_names[1] + size, 1,
                         [=](const sao_table &t) { t.diff_ctb(d, deb, stride, src, stride, luma); }});
        cases.push_back({slot_names[2] + size, 2,
                         [=](const sao_table &t) { t.diff_ctb_partial(d, deb, stride, src, stride, luma, cw, ch); }});
        for (int slot = 3; slot < SAO_TABLE_SLOTS; slot++)
            cases.push_back({slot_names[slot] + size, slot, [=](const sao_table &t) {
                                 sao_stats s;
                                 if (slot < 8)
                                     sao_stats_full(&t, slot - 3)(&s, deb, stride, luma, d, scratch);
                                 else
                                     sao_stats_partial(&t, slot - 8)(&s, deb, stride, luma, d, cw, ch, scratch);
                                 kernel_sink += s.count[2];
                             }});
    }
    return cases;
}

}  // namespace

TEST(SaoKernels, Timing)
{
    if (!kernel_timing_ms()) GTEST_SKIP() << KERNEL_TIMING_OFF;
    std::mt19937 rng(1);
    static apply_picture pic;
    apply_setup setup = {192, 192, SAO_FLAG_LUMA | SAO_FLAG_CHROMA, true, 0, 0, 7, 0, false};
    apply_init(&pic, setup, rng);
    static sao_diff_buffer diff;
    static std::vector<uint8_t> scratch(SAO_SCRATCH_BYTES);
    time_kernel_cases("sao", sao_table_init, timing_cases(&pic, &diff, scratch.data()));
}
