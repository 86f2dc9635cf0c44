// Speed of the motion-compensation table: time per call of every slot at a
// typical size, for the portable kernels, the SSSE3 set and the AVX2 set (each
// level adds its set over the previous one, as the encoder installs them).
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "encoder/cpu.h"
#include "kernels/mc/mc.h"

namespace {

struct level {
    const char *name;
    uint32_t flags;
};

const level levels[] = {{"c", 0}, {"ssse3", CPU_SSE41 | CPU_SSSE3}, {"avx2", CPU_SSE41 | CPU_SSSE3 | CPU_AVX2}};

double now_ns()
{
    return (double)std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs body in rounds until 20 ms have passed; ns per call.
double per_call(const std::function<void()> &body)
{
    body();
    double start = now_ns(), elapsed = 0;
    long calls = 0;
    do {
        for (int r = 0; r < 16; r++) body();
        calls += 16;
        elapsed = now_ns() - start;
    } while (elapsed < 20e6);
    return elapsed / (double)calls;
}

// A reference picture with margins, its three horizontal 16-bit planes and
// sixteen phase planes, and scratch buffers for every slot.
struct bench_data {
    static constexpr int W = 256, H = 256, M = 128, S = W + 2 * M;
    std::vector<uint8_t> pic = std::vector<uint8_t>(S * (H + 2 * M));
    std::vector<int16_t> h16[3];
    std::vector<uint8_t> p8[16];
    uint8_t *planes[16];
    const int16_t *hplanes[3];
    std::vector<uint8_t> dst8 = std::vector<uint8_t>(128 * 128);
    std::vector<int16_t> dst16 = std::vector<int16_t>(128 * 128), a16 = std::vector<int16_t>(128 * 128),
                         b16 = std::vector<int16_t>(128 * 128);
    std::vector<uint8_t> block = std::vector<uint8_t>(128 * 130);
    std::vector<uint32_t> grid_a = std::vector<uint32_t>(128 * 72), grid_b = grid_a, grid_c = grid_a,
                          grid_out = grid_a;
    std::vector<uint16_t> weight = std::vector<uint16_t>(128, 256);

    bench_data()
    {
        uint32_t seed = 1;
        for (uint8_t &b : pic) {
            seed = seed * 1103515245u + 12345u;
            b = (uint8_t)(seed >> 16);
        }
        for (int i = 0; i < 3; i++) {
            h16[i].assign(pic.size(), 0);
            hplanes[i] = h16[i].data() + M * S + M;
        }
        for (int i = 0; i < 16; i++) {
            p8[i].assign(pic.size(), 0);
            planes[i] = (i ? p8[i].data() : pic.data()) + M * S + M;
        }
        ptrdiff_t o = -100 * S - 100;
        filter_h_subpel_16bit_c((int16_t *)hplanes[0] + o, (int16_t *)hplanes[1] + o, (int16_t *)hplanes[2] + o,
                                origin() + o, S, W + 200, H + 200, 0);
        for (size_t i = 0; i < a16.size(); i++) {
            a16[i] = (int16_t)(i * 37 % 20000 - 10000);
            b16[i] = (int16_t)(i * 53 % 20000 - 10000);
        }
        for (size_t i = 0; i < grid_a.size(); i++) {
            grid_a[i] = (uint32_t)(i * 7 % 500);
            grid_b[i] = (uint32_t)(i * 11 % 900) + 900;
            grid_c[i] = (uint32_t)(i * 13 % 900);
        }
    }
    uint8_t *origin() { return pic.data() + M * S + M; }
};

struct slot_case {
    const char *name;
    const char *size;
    std::function<void(const mc_table &, bench_data &)> run;
};

std::vector<slot_case> cases()
{
    const int S = bench_data::S;
    return {
        {"interp_luma", "16x16 (1,1)",
         [S](const mc_table &t, bench_data &d) {
             t.interp_luma(d.dst8.data(), 64, d.origin(), nullptr, S, 5, 9, 16, 16);
         }},
        {"interp_luma_16bit", "16x16 (2,2)",
         [S](const mc_table &t, bench_data &d) {
             int32_t ds = 64;
             t.interp_luma_16bit(d.dst16.data(), &ds, d.origin(), nullptr, S, 6, 10, 16, 16);
         }},
        {"interp_chroma", "8x8 (3,5)",
         [S](const mc_table &t, bench_data &d) {
             t.interp_chroma(d.dst8.data(), 64, d.origin(), S, 11, 13, 8, 8);
         }},
        {"interp_chroma_16bit", "8x8 (3,5)",
         [S](const mc_table &t, bench_data &d) {
             t.interp_chroma_16bit(d.dst16.data(), 64, d.origin(), S, 11, 13, 8, 8);
         }},
        {"bipred_avg_16bit", "16x16",
         [](const mc_table &t, bench_data &d) {
             t.bipred_avg_16bit(d.dst8.data(), 64, d.a16.data(), 64, d.b16.data(), 64, 16, 16);
         }},
        {"filter_h_subpel_16bit", "64x64 region",
         [S](const mc_table &t, bench_data &d) {
             t.filter_h_subpel_16bit((int16_t *)d.hplanes[0], (int16_t *)d.hplanes[1], (int16_t *)d.hplanes[2],
                                     d.origin(), S, 64, 64, 0);
         }},
        {"build_subpel_planes", "64x64 region",
         [S](const mc_table &t, bench_data &d) {
             t.build_subpel_planes(d.planes, d.origin(), d.hplanes, S, 64, 64, 0);
         }},
        {"mc_from_subpel_planes", "16x16",
         [S](const mc_table &t, bench_data &d) {
             t.mc_from_subpel_planes(d.dst8.data(), 64, d.planes, S, 5, 9, 16, 16);
         }},
        {"subpel_plane_ptr", "-",
         [S](const mc_table &t, bench_data &d) {
             const uint8_t *volatile p = t.subpel_plane_ptr(d.planes, S, 5, 9);
             (void)p;
         }},
        {"avg_pixels", "16x16",
         [](const mc_table &t, bench_data &d) {
             t.avg_pixels(d.dst8.data(), 64, d.dst8.data() + 2048, 64, d.dst8.data() + 4096, 64, 16, 16);
         }},
        {"build_lowres_planes", "64x32 half-res",
         [S](const mc_table &t, bench_data &d) {
             uint8_t *out[16];
             for (int i = 0; i < 16; i++) out[i] = d.p8[i].data() + bench_data::M * S + bench_data::M;
             t.build_lowres_planes(out, S, d.origin(), S, 64, 32);
         }},
        {"downscale_2x2_plane", "64x32 half-res",
         [S](const mc_table &t, bench_data &d) {
             uint8_t *out[16] = {d.p8[1].data() + bench_data::M * S + bench_data::M};
             t.downscale_2x2_plane(out, S, d.origin(), S, 64, 32);
         }},
        {"mc_luma_ref_or_interp", "16x16 (1,2)",
         [S](const mc_table &t, bench_data &d) {
             int32_t ds = 64;
             t.mc_luma_ref_or_interp(d.dst8.data(), &ds, d.origin(), nullptr, S, 5, 10, 16, 16);
         }},
        {"mc_luma_ref_or_bilinear", "16x16 (1,2)",
         [S](const mc_table &t, bench_data &d) {
             int32_t ds = 64;
             t.mc_luma_ref_or_bilinear(d.dst8.data(), &ds, d.origin(), S, 5, 10, 16, 16);
         }},
        {"chroma_fullpel_ptr", "-",
         [S](const mc_table &t, bench_data &d) {
             const uint8_t *volatile p = t.chroma_fullpel_ptr(d.origin(), S, 16, 8);
             (void)p;
         }},
        {"propagate_cost", "120 blocks",
         [](const mc_table &t, bench_data &d) {
             t.propagate_cost(d.grid_out.data(), d.grid_a.data(), d.grid_b.data(), d.grid_c.data(), d.weight.data(),
                              120);
         }},
        {"block_copy", "16x16",
         [S](const mc_table &t, bench_data &d) { t.block_copy(d.dst8.data(), 64, d.origin(), S, 16, 16); }},
        {"downscale_64x64", "-",
         [](const mc_table &t, bench_data &d) {
             // The block is refreshed from the picture so every call halves real samples.
             std::memcpy(d.block.data(), d.pic.data(), 64 * 64);
             t.downscale_64x64(d.block.data());
         }},
        {"downscale_border_64", "-",
         [](const mc_table &t, bench_data &d) { t.downscale_border_64(d.block.data() + 129); }},
        {"downscale_32x32", "-",
         [](const mc_table &t, bench_data &d) {
             std::memcpy(d.block.data(), d.pic.data(), 64 * 32);
             t.downscale_32x32(d.block.data());
         }},
        {"downscale_border_32", "-",
         [](const mc_table &t, bench_data &d) { t.downscale_border_32(d.block.data() + 129); }},
        {"frame_cost_complexity", "120x68 grid",
         [](const mc_table &t, bench_data &d) {
             volatile uint32_t r = t.frame_cost_complexity(d.grid_out.data(), d.grid_a.data(), 120, 68, 128, 4);
             (void)r;
         }},
    };
}

bool level_available(const level &lv)
{
    if (lv.flags && !cpu_use_ssse3_set(lv.flags)) return false;
    if ((lv.flags & CPU_AVX2) && !cpu_use_avx2_set(lv.flags)) return false;
    return true;
}

}  // namespace

int main()
{
    bench_data data;
    std::vector<slot_case> all = cases();
    printf("motion-compensation table: ns per call\n");
    printf("%-4s %-24s %-16s", "slot", "kernel", "size");
    for (const level &lv : levels) printf(" %9s", lv.name);
    printf("\n");
    for (size_t s = 0; s < all.size(); s++) {
        printf("%-4zu %-24s %-16s", s, all[s].name, all[s].size);
        for (const level &lv : levels) {
            if (!level_available(lv)) {
                printf(" %9s", "n/a");
                continue;
            }
            mc_table t;
            mc_table_init(lv.flags, &t);
            printf(" %9.1f", per_call([&] { all[s].run(t, data); }));
        }
        printf("\n");
    }
    return 0;
}
