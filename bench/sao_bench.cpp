// Time per call of every SAO table slot at the portable, SSSE3 and AVX2
// levels, for a luma CTB (64x64; cut slots 40x56) and a chroma CTB (32x32;
// cut slots 20x28). A benchmark, not a test: it prints, it checks nothing.
//
// usage: sao_bench [calls per measurement, default 20000]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "encoder/cpu.h"
#include "filters/sao/sao.h"

namespace {

const char *const slot_names[SAO_TABLE_SLOTS] = {
    "apply_ctb_plane", "diff_ctb",        "diff_ctb_partial",         "stats_eo_hor",
    "stats_eo_ver",    "stats_eo_diag135", "stats_eo_diag45",         "stats_bo",
    "stats_eo_hor_partial", "stats_eo_ver_partial", "stats_eo_diag135_partial",
    "stats_eo_diag45_partial", "stats_bo_partial"};

// A 3x3-CTU picture with the deblocked copy 4 rows and 32 samples after the
// final plane; the middle CTU is applied, so edge types take the block path.
struct bench_picture {
    std::vector<uint8_t> buf[3], src[3], scratch;
    std::vector<sao_param> params[3];
    sao_ctu_context ctx;
    sao_diff_buffer diff;
};

void bench_init(bench_picture *b, std::mt19937 &rng)
{
    std::memset(&b->ctx, 0, sizeof b->ctx);
    b->ctx.sao_flags = SAO_FLAG_LUMA | SAO_FLAG_CHROMA;
    b->ctx.ctu_columns = b->ctx.ctu_rows = 3;
    b->ctx.width = b->ctx.height = 192;
    b->scratch.assign(SAO_SCRATCH_BYTES, 0);
    b->ctx.scratch = b->scratch.data();
    for (int p = 0; p < 3; p++) {
        int sh = p ? 1 : 0, stride = (64 * 3 + 192) >> sh, rows = (64 * 3 + 176) >> sh;
        b->buf[p].resize((size_t)stride * rows);
        b->src[p].resize(b->buf[p].size());
        for (size_t i = 0; i < b->buf[p].size(); i++) {
            b->buf[p][i] = (uint8_t)(128 + (int)(rng() % 9) - 4 + (int)(i % 7));
            b->src[p][i] = (uint8_t)(b->buf[p][i] + rng() % 5 - 2);
        }
        b->ctx.stride[p] = stride;
        b->ctx.planes[p] = b->buf[p].data() + (size_t)(88 >> sh) * stride + (96 >> sh);
        b->ctx.deblock_planes[p] = b->ctx.planes[p] + 4 * stride + 32;
        b->params[p].assign(9, sao_param{0, 3, {2, 1, -1, -2}});
        b->ctx.sao_params[p] = b->params[p].data();
    }
}

// Nanoseconds per call of slot i for one plane (0 luma, 1 chroma); for the
// apply slot, of SAO type `type`.
double time_slot(const sao_table &t, bench_picture *b, int i, int plane, int type, int calls)
{
    int is_luma = plane == 0, n = is_luma ? 64 : 32;
    int cw = is_luma ? 40 : 20, ch = is_luma ? 56 : 28;
    int stride = b->ctx.stride[plane];
    size_t ctb = (size_t)stride * n + n;   // CTU (1, 1)
    const uint8_t *deb = b->ctx.deblock_planes[plane] + ctb;
    const uint8_t *src = b->src[plane].data() + (b->ctx.planes[plane] - b->buf[plane].data()) + ctb;
    int16_t *diff = is_luma ? b->diff.luma : b->diff.cb;
    for (int k = 0; k < 9; k++) b->params[plane].at(k).type = type;
    sao_stats s;
    auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < calls; c++) {
        switch (i) {
        case 0: t.apply_ctb_plane(&b->ctx, 1, 1, plane, 0); break;
        case 1: t.diff_ctb(diff, deb, stride, src, stride, is_luma); break;
        case 2: t.diff_ctb_partial(diff, deb, stride, src, stride, is_luma, cw, ch); break;
        default:
            if (i < 8)
                sao_stats_full(&t, i - 3)(&s, deb, stride, is_luma, diff, b->scratch.data());
            else
                sao_stats_partial(&t, i - 8)(&s, deb, stride, is_luma, diff, cw, ch, b->scratch.data());
            break;
        }
    }
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    return ns / calls;
}

} // namespace

int main(int argc, char **argv)
{
    int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (calls < 1) calls = 1;
    std::mt19937 rng(1);
    bench_picture b;
    bench_init(&b, rng);
    const uint32_t levels[3] = {0, CPU_SSE41 | CPU_SSSE3, CPU_SSE41 | CPU_SSSE3 | CPU_AVX2};
    const char *level_names[3] = {"portable", "ssse3", "avx2"};
    bool available[3] = {true, cpu_use_ssse3_set(levels[1]), cpu_use_avx2_set(levels[2])};
    std::printf("ns per call, %d calls each; luma 64x64 (cut 40x56), chroma 32x32 (cut 20x28)\n", calls);
    std::printf("%-26s %-6s", "slot", "plane");
    for (int l = 0; l < 3; l++) std::printf(" %10s", level_names[l]);
    std::printf("\n");
    for (int i = 0; i < SAO_TABLE_SLOTS; i++) {
        int types = i == 0 ? 6 : 1;
        for (int type = 0; type < types; type++)
            for (int plane = 0; plane <= 1; plane++) {
                char name[40];
                if (i == 0)
                    std::snprintf(name, sizeof name, "%s type %d", slot_names[i], type);
                else
                    std::snprintf(name, sizeof name, "%s", slot_names[i]);
                std::printf("%-26s %-6s", name, plane ? "chroma" : "luma");
                for (int l = 0; l < 3; l++) {
                    if (!available[l]) {
                        std::printf(" %10s", "-");
                        continue;
                    }
                    sao_table t;
                    sao_table_init(levels[l], &t);
                    // Best of three runs, to keep other load out of the figure.
                    double best = time_slot(t, &b, i, plane, type, calls);
                    for (int run = 0; run < 2; run++) {
                        double ns = time_slot(t, &b, i, plane, type, calls);
                        if (ns < best) best = ns;
                    }
                    std::printf(" %10.1f", best);
                }
                std::printf("\n");
            }
    }
    return 0;
}
