// Adaptive quantisation: a QP offset per 16x16 block from the block's energy,
// so flat areas get a lower QP and busy areas a higher one, and the matching
// weight for the lookahead's block costs.
#include <cmath>

#include "encoder/config.h"
#include "encoder/fixed_point.h"
#include "encoder/picture.h"
#include "kernels/metrics/metric.h"
#include "ratecontrol/ratecontrol.h"

uint32_t aq_block_energy(const metric_table *mt, int32_t bx, int32_t by, const picture *pic)
{
    const uint8_t *y = pic->planes[0] + (int64_t)16 * by * pic->strides[0] + 16 * bx;
    const uint8_t *u = pic->planes[1] + (int64_t)8 * by * pic->strides[1] + 8 * bx;
    const uint8_t *v = pic->planes[2] + (int64_t)8 * by * pic->strides[2] + 8 * bx;
    uint64_t ly = mt->pixel_sum_ssq_16x16(y, pic->strides[0]);
    uint64_t lu = mt->pixel_sum_ssq_8x8(u, pic->strides[1]);
    uint64_t lv = mt->pixel_sum_ssq_8x8(v, pic->strides[2]);
    uint64_t sy = ly & 0xFFFFFFFFu, su = lu & 0xFFFFFFFFu, sv = lv & 0xFFFFFFFFu;
    // Each bracket is the sample count times the variance, never negative.
    uint64_t e = ((ly >> 32) - ((sy * sy) >> 8)) + ((lu >> 32) - ((su * su) >> 6)) + ((lv >> 32) - ((sv * sv) >> 6));
    return (uint32_t)e;
}

namespace {

struct aq_grid {
    int32_t cols;
    int32_t rows;
    int32_t stride;
    int32_t entries;   // CTU count x 16
};

aq_grid grid_of(const internal_config *cfg)
{
    int32_t ctu_cols = (cfg->width + 63) / 64, ctu_rows = (cfg->height + 63) / 64;
    return {(cfg->width + 15) / 16, (cfg->height + 15) / 16, 4 * ctu_cols, 16 * ctu_cols * ctu_rows};
}

void set_block(picture *pic, int32_t b, float offset)
{
    pic->aq_qp_offset[b] = offset;
    pic->aq_weight[b] = (uint16_t)exp2_fixed_from_float(offset);
}

// Mode 2: the offset follows the block's energy^(1/8) around a picture-wide centre.
void aq_auto_variance(const internal_config *cfg, const metric_table *mt, picture *pic, const aq_grid *g)
{
    float sum = 0.0f, sum_sq = 0.0f;
    for (int32_t by = 0; by < g->rows; by++)
        for (int32_t bx = 0; bx < g->cols; bx++) {
            uint32_t e = aq_block_energy(mt, bx, by, pic) + 1u;
            float a = powf((float)e, 0.125f);
            // Kept in the offset array until the second pass reads it.
            pic->aq_qp_offset[by * g->stride + bx] = a;
            sum += a;
            sum_sq += a * a;
        }
    float n = (float)g->entries;
    float mean = sum / n;
    float strength = cfg->aq_strength * mean;
    float centre = mean - (sum_sq / n - 14.0f) * 0.5f / mean;
    for (int32_t by = 0; by < g->rows; by++)
        for (int32_t bx = 0; bx < g->cols; bx++) {
            int32_t b = by * g->stride + bx;
            set_block(pic, b, (pic->aq_qp_offset[b] - centre) * strength);
        }
}

// Mode 1: the offset follows log2 of the block's energy.
void aq_log_energy(const internal_config *cfg, const metric_table *mt, picture *pic, const aq_grid *g)
{
    float strength = cfg->aq_strength * 1.0397f;
    for (int32_t by = 0; by < g->rows; by++)
        for (int32_t bx = 0; bx < g->cols; bx++) {
            uint32_t e = aq_block_energy(mt, bx, by, pic);
            // Energies beyond the i32 range saturate; log2_fast takes at least 1.
            int32_t v = e == 0 ? 1 : (e > 0x7FFFFFFFu ? 0x7FFFFFFF : (int32_t)e);
            set_block(pic, by * g->stride + bx, (log2_fast(v) - 14.427f) * strength);
        }
}

}  // namespace

void adaptive_quant_frame(const internal_config *cfg, const metric_table *mt, picture *pic)
{
    if (cfg->aq_mode == 0 || !pic->aq_qp_offset || !pic->aq_weight) return;
    aq_grid g = grid_of(cfg);
    // Strength 0 prepares flat arrays for the macroblock-tree (a NaN strength is not 0).
    if (cfg->aq_strength == 0.0f) {
        for (int32_t b = 0; b < g.entries; b++) {
            pic->aq_qp_offset[b] = 0.0f;
            pic->aq_weight[b] = 256;
            if (pic->mbtree_qp_offset) pic->mbtree_qp_offset[b] = 0.0f;
        }
        return;
    }
    if (cfg->aq_mode == 2)
        aq_auto_variance(cfg, mt, pic, &g);
    else
        aq_log_energy(cfg, mt, pic, &g);
}
