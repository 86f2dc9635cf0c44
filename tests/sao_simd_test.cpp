// The SAO kernel table at every flag set, and the SSSE3 difference and band
// statistics forms against the portable forms on random and extreme inputs,
// every cut size, misaligned blocks and odd strides.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "filters/sao/sao.h"
#include "sao_test_util.h"

namespace {

bool have_ssse3_set() { return cpu_use_ssse3_set(CPU_SSE41 | CPU_SSSE3); }

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

// Planes with `pad` bytes before the block, so that rows start misaligned.
struct plane_pair {
    std::vector<uint8_t> deb, src;
    int stride = 0, pad = 0;
    const uint8_t *d() const { return deb.data() + pad; }
    const uint8_t *s() const { return src.data() + pad; }
};

plane_pair make_planes(int n, int kind, std::mt19937 &rng)
{
    plane_pair p;
    p.pad = (int)(rng() % 17);
    p.stride = n + (int)(rng() % 3 == 0 ? 0 : rng() % 45);
    size_t size = (size_t)p.pad + (size_t)p.stride * (n - 1) + n;
    p.deb.resize(size);
    p.src.resize(size);
    for (size_t i = 0; i < size; i++) {
        switch (kind) {
        case 0:
            p.deb[i] = (uint8_t)rng();
            p.src[i] = (uint8_t)rng();
            break;
        case 1:
            p.deb[i] = 0;
            p.src[i] = 255;
            break;
        case 2:
            p.deb[i] = 255;
            p.src[i] = 0;
            break;
        default:
            p.deb[i] = rng() & 1 ? 255 : 0;
            p.src[i] = rng() & 1 ? 255 : 0;
            break;
        }
    }
    return p;
}

const int luma_sizes[][2] = {{64, 64}, {8, 64}, {16, 64}, {24, 56}, {40, 64}, {56, 8}, {64, 24}, {64, 0}, {72, 80}};
const int chroma_sizes[][2] = {{32, 32}, {4, 32}, {12, 28}, {16, 4}, {20, 16}, {28, 12}, {32, 0}, {48, 40}};

} // namespace

TEST(sao_table, no_slot_is_empty_at_any_flag_set)
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

TEST(sao_table, ssse3_set_takes_the_difference_and_band_slots_only_when_the_processor_allows)
{
    sao_table c = make_table(0, 0);
    EXPECT_EQ(c.apply_ctb_plane, &sao_apply_ctb_plane_c);
    EXPECT_EQ(c.diff_ctb, &sao_diff_ctb_c);
    EXPECT_EQ(c.stats_bo, &sao_stats_bo_c);
    EXPECT_EQ(c.stats_eo_diag45_partial, &sao_stats_eo_diag45_partial_c);
    // SSSE3 alone (without SSE4.1) is not enough: the set holds SSE4.1 code.
    EXPECT_EQ(make_table(CPU_SSSE3, 0).diff_ctb, &sao_diff_ctb_c);
    for (uint32_t flags : {3u, 7u}) {
        sao_table t = make_table(flags, 0);
        bool simd = have_ssse3_set();
        EXPECT_EQ(t.diff_ctb, simd ? &sao_diff_ctb_ssse3 : &sao_diff_ctb_c);
        EXPECT_EQ(t.diff_ctb_partial, simd ? &sao_diff_ctb_partial_ssse3 : &sao_diff_ctb_partial_c);
        EXPECT_EQ(t.stats_bo, simd ? &sao_stats_bo_ssse3 : &sao_stats_bo_c);
        EXPECT_EQ(t.stats_bo_partial, simd ? &sao_stats_bo_partial_ssse3 : &sao_stats_bo_partial_c);
        EXPECT_EQ(t.apply_ctb_plane, &sao_apply_ctb_plane_c);
        EXPECT_EQ(t.stats_eo_hor, &sao_stats_eo_hor_c);
        EXPECT_EQ(t.stats_eo_ver_partial, &sao_stats_eo_ver_partial_c);
    }
    for (int type = 0; type < 5; type++) {
        EXPECT_EQ(slot(c, 3 + type), (const void *)sao_stats_full(&c, type));
        EXPECT_EQ(slot(c, 8 + type), (const void *)sao_stats_partial(&c, type));
    }
    EXPECT_EQ(sao_stats_full(&c, SAO_TYPE_OFF), nullptr);
    EXPECT_EQ(sao_stats_partial(&c, -1), nullptr);
}

TEST(sao_simd, ssse3_differences_equal_portable_at_every_size)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "no SSSE3 and SSE4.1";
    std::mt19937 rng(31);
    for (int is_luma = 0; is_luma <= 1; is_luma++) {
        int n = is_luma ? 64 : 32;
        for (int kind = 0; kind < 4; kind++) {
            plane_pair p = make_planes(n, kind, rng);
            std::vector<int16_t> a((size_t)n * n + 1, 0x1234), b = a;
            sao_diff_ctb_c(a.data(), p.d(), p.stride, p.s(), p.stride, is_luma);
            sao_diff_ctb_ssse3(b.data() + 1, p.d(), p.stride, p.s(), p.stride, is_luma);   // misaligned output
            EXPECT_TRUE(std::equal(a.begin(), a.end() - 1, b.begin() + 1)) << "n " << n << " kind " << kind;
            const auto &sizes = is_luma ? luma_sizes : chroma_sizes;
            int count = is_luma ? 9 : 8;
            for (int i = 0; i < count; i++) {
                int w = sizes[i][0], h = sizes[i][1];
                std::vector<int16_t> pc((size_t)n * n, 0x1234), ps = pc;
                sao_diff_ctb_partial_c(pc.data(), p.d(), p.stride, p.s(), p.stride, is_luma, w, h);
                sao_diff_ctb_partial_ssse3(ps.data(), p.d(), p.stride, p.s(), p.stride, is_luma, w, h);
                EXPECT_TRUE(pc == ps) << "n " << n << " kind " << kind << " width " << w << " height " << h;
            }
        }
    }
}

TEST(sao_simd, ssse3_band_statistics_equal_portable_at_every_size)
{
    if (!have_ssse3_set()) GTEST_SKIP() << "no SSSE3 and SSE4.1";
    std::mt19937 rng(32);
    std::vector<uint8_t> scratch(SAO_SCRATCH_BYTES);
    for (int is_luma = 0; is_luma <= 1; is_luma++) {
        int n = is_luma ? 64 : 32;
        for (int kind = 0; kind < 4; kind++) {
            plane_pair p = make_planes(n, kind, rng);
            std::vector<int16_t> diff((size_t)n * n);
            fill_diffs(diff.data(), n * n, kind % 3, rng);
            sao_stats a, b;
            std::memset(&b, 0x3c, sizeof b);
            sao_stats_bo_c(&a, p.d(), p.stride, is_luma, diff.data(), scratch.data());
            sao_stats_bo_ssse3(&b, p.d(), p.stride, is_luma, diff.data(), scratch.data());
            EXPECT_TRUE(stats_equal(a, b)) << "n " << n << " kind " << kind;
            const auto &sizes = is_luma ? luma_sizes : chroma_sizes;
            int count = is_luma ? 9 : 8;
            for (int i = 0; i < count; i++) {
                int w = sizes[i][0], h = sizes[i][1];
                std::memset(&b, 0x3c, sizeof b);
                sao_stats_bo_partial_c(&a, p.d(), p.stride, is_luma, diff.data(), w, h, scratch.data());
                sao_stats_bo_partial_ssse3(&b, p.d(), p.stride, is_luma, diff.data(), w, h, scratch.data());
                EXPECT_TRUE(stats_equal(a, b)) << "n " << n << " kind " << kind << " width " << w << " height " << h;
            }
        }
    }
}
