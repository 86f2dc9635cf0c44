// The lookahead cost of the picture a frame instance starts: the cell of the
// distances its reference lists chose (or of its nearest references), handed
// over with its row and CTU costs to the reconstructed picture that the CTU
// threads and row-level VBV read.
#include <algorithm>
#include <cstring>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/lookahead.h"

namespace {

bool is_keyframe_type(uint32_t t)
{
    return t == PIC_TYPE_IDR || t == PIC_TYPE_CRA || t == PIC_TYPE_I;
}

}  // namespace

void lookahead_rc_distances(const picture *source, const picture *ref0, const picture *ref1, int32_t *d0,
                            int32_t *d1)
{
    uint32_t type = source->picture_type;
    *d0 = *d1 = 0;
    if (is_keyframe_type(type)) return;
    if (source->ref_distance_past > 0) {
        *d0 = std::min((int32_t)source->ref_distance_past, (int32_t)PICTURE_MAX_DISTANCE);
        *d1 = std::min(std::max((int32_t)source->ref_distance_future, 0), (int32_t)PICTURE_MAX_DISTANCE);
        if (source->frame_cost[*d0][*d1] >= 0) return;
    }
    *d0 = ref0 ? std::min(std::max(source->poc - ref0->poc, 0), (int32_t)PICTURE_MAX_DISTANCE) : 0;
    *d1 = 0;
    if ((type == PIC_TYPE_BREF || type == PIC_TYPE_B) && ref1)
        *d1 = std::min(std::max(ref1->poc - source->poc, 0), (int32_t)PICTURE_MAX_DISTANCE);
    // A cell the lookahead never computed would hand -1 to the size
    // predictors: the intra cell stands in (an upper bound of any inter cell).
    if (source->frame_cost[*d0][*d1] < 0) *d0 = *d1 = 0;
}

int32_t lookahead_rc_cost(const internal_config *cfg, picture *source, picture *recon, const picture *ref0,
                          const picture *ref1)
{
    int32_t d0, d1;
    lookahead_rc_distances(source, ref0, ref1, &d0, &d1);
    int32_t plain = source->frame_cost[d0][d1];
    // Nothing computed at all reads as 0.
    int32_t cost = (cfg->mbtree != 0 || cfg->aq_mode == 0) ? plain : source->frame_cost_aq[d0][d1];
    if (plain < 0 || cost < 0) cost = 0;
    source->row_costs_rc = source->row_costs[d0][d1];
    source->ctu_costs_rc = source->ctu_costs[d0][d1];
    source->frame_cost_rc = cost;
    if (recon) {
        int32_t ctu_rows = (cfg->height + 63) / 64, ctu_cols = (cfg->width + 63) / 64;
        recon->row_costs_rc = recon->row_costs[d0][d1];
        recon->ctu_costs_rc = recon->ctu_costs[d0][d1];
        recon->frame_cost_rc = cost;
        if (recon->row_costs_rc && source->row_costs_rc) {
            std::memcpy(recon->row_costs_rc, source->row_costs_rc, sizeof(int32_t) * (size_t)ctu_rows);
            std::memcpy(recon->ctu_costs_rc, source->ctu_costs_rc, sizeof(int32_t) * (size_t)ctu_rows * ctu_cols);
        }
    }
    return cost;
}
