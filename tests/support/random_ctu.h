#pragma once
// Random but consistent CTU syntax for the syntax writer, bit estimator and
// residual coding tests: quadtrees cut by the picture edge, intra, inter and
// skipped CUs with motion, transform trees whose coded-block flags follow
// the decoder's inferences, level blocks, QP groups and SAO records.
//
// CTUs are generated in coding order; each takes the border column and row
// of its CU maps from its left and above neighbours, as the CTU set-up does,
// so a CTU generated after its neighbours were written sees what the writer
// left in them.
#include <cstdint>
#include <random>
#include <vector>

#include "bitstream/syntax_writer.h"

// A random level block of 1 << log2 squared levels in raster order with at
// least one non-zero level: dense, sparse, low-frequency corners, DC only,
// and now and then large levels for the escape codes.
void random_level_block(std::mt19937 *rng, int16_t *blk, int log2);
// Makes the sign of each sub-block's lowest-frequency level agree with the
// parity rule wherever sign hiding leaves that sign out. order: the block's scan.
void apply_sign_hiding(int16_t *blk, int log2, const uint16_t *order);

// Deterministic AMVP predictors of a PU, shared by the writer and the parser.
int random_ctu_amvp(int z, int x, int y, int w, int h, int depth, int list, uint32_t out[2]);
// The same as the writer's hook.
int32_t random_ctu_amvp_hook(void *owner, int32_t z, int32_t x, int32_t y, int32_t w, int32_t h,
                             int32_t depth, int32_t list, uint32_t out[2]);

struct random_ctu_config {
    int width = 64, height = 64;
    int slice_type = 2;   // 0 B, 1 P, 2 I
    int slice_qp = 30;
    int sao_flags = 0;    // bit 0 luma, bit 1 chroma
    int qp_delta = 0, qp_depth = 0;
    int sdh = 0;
    int max_merge = 5;
    int num_ref[2] = {1, 1};
    int tu_depth_inter = 1, tu_depth_intra = 1;
};

// The CU maps plus the per-4x4 intra modes the writer reads beside them.
struct random_ctu_maps : ctu_cu_maps {
    int8_t intra_mode[CTU_MAP4_SIZE];
};

struct random_ctu {
    cu_decision_arrays dec;
    random_ctu_maps maps;
    ctu_motion_grid motion;
    std::vector<int16_t> levels[3];    // luma 64x64, Cb and Cr 32x32, z-placed
    int qg_qp[256];                    // QP of each quantisation group
    uint8_t gen_skip[CTU_MAP8_SIZE];   // skip flags as decided, before writing
};

// A picture of random CTUs with the parameter sets and SAO records the
// writer reads.
struct random_picture {
    random_ctu_config cfg;
    std::mt19937 rng;
    scan_tables scans{};
    metric_table metrics{};
    sps_params sps{};
    pps_params pps{};
    int ctus_x = 0, ctus_y = 0;
    std::vector<random_ctu> ctus;
    std::vector<sao_param> sao[3];
    std::vector<int> sao_merge;
    int64_t coded_area = 0;   // luma samples of the CUs generated so far

    random_picture(const random_ctu_config &c, unsigned seed);
    ~random_picture();
    random_picture(const random_picture &) = delete;
    random_picture &operator=(const random_picture &) = delete;

    random_ctu &at(int cx, int cy) { return ctus[cy * ctus_x + cx]; }
    // Decides CTU (cx, cy): borders from the neighbours, the coding tree,
    // levels, QP groups and SAO.
    void generate(int cx, int cy);
    // The writer's view of CTU (cx, cy) decided in ctu (the picture's own
    // record or a copy of it), without inter services and carried state.
    syntax_ctu_context view(random_ctu *ctu, int cx, int cy);
};

// Fills a parser parameter record (rd_params of the syntax reader) from the
// configuration.
template <class params>
void random_picture_reader_params(const random_ctu_config &c, params *p)
{
    p->pic_width = c.width;
    p->pic_height = c.height;
    p->slice_type = c.slice_type;
    p->slice_qp = c.slice_qp;
    p->sao_luma = c.sao_flags & 1;
    p->sao_chroma = (c.sao_flags >> 1) & 1;
    p->max_num_merge_cand = c.max_merge;
    p->num_ref_idx_active[0] = c.num_ref[0];
    p->num_ref_idx_active[1] = c.num_ref[1];
    p->max_tu_depth_inter = c.tu_depth_inter;
    p->max_tu_depth_intra = c.tu_depth_intra;
    p->cu_qp_delta_enabled = c.qp_delta;
    p->diff_cu_qp_delta_depth = c.qp_delta ? c.qp_depth : 0;
    p->sign_hiding = c.sdh;
    p->amvp = random_ctu_amvp;
}
