// Lagrange multipliers per QP and picture kind, the chroma distortion weight
// and the quantisation rounding offsets.
#include "encoder/lambda_tables.h"

#include <cmath>
#include <cstring>

static const double CUBE_ROOT_2 = 1.2599210498948732;
static const double SIXTH_ROOT_2 = 1.122462048309373;

// x is never negative here.
static uint32_t round_half_up(double x)
{
    return (uint32_t)(x + 0.5);
}

// Rows of I and P pictures: lambda = 256 f 2^((QP - 12) / 3), grown QP by QP.
static void cqp_row_geometric(lambda_tables *lt, int row, double f)
{
    double a = 16.0 * f, b = 0.25 * std::sqrt(f);
    for (int qp = 0; qp < LAMBDA_QPS; qp++) {
        lt->sse[row][qp] = round_half_up(a);
        lt->satd[row][qp] = (uint16_t)round_half_up(b);
        a *= CUBE_ROOT_2;
        b *= SIXTH_ROOT_2;
    }
}

// Rows of B pictures: a base lambda whose multiplier steps from 2 to 4 with
// the QP, weighted per hierarchy level.
static void cqp_rows_b(lambda_tables *lt, const double f[3])
{
    double g = 16.0;
    for (int qp = 0; qp < LAMBDA_QPS; qp++) {
        int m = (qp - 12) / 6;
        m = m < 2 ? 2 : (m > 4 ? 4 : m);
        double a = m * g, b = std::sqrt(a / 256.0);
        for (int k = 0; k < 3; k++) {
            lt->sse[2 + k][qp] = round_half_up(f[k] * a);
            lt->satd[2 + k][qp] = (uint16_t)round_half_up(std::sqrt(f[k]) * b);
        }
        g *= CUBE_ROOT_2;
    }
}

static void lambda_cqp(lambda_tables *lt, const internal_config *cfg)
{
    double bshare = 0.05 * cfg->bframes;
    bshare = bshare < 0.0 ? 0.0 : (bshare > 0.5 ? 0.5 : bshare);
    double f[3] = {0.3536, 0.5, 0.68};
    if (cfg->hierarchy == 0) f[0] = f[1] = 0.68;
    if (cfg->hierarchy == 1) f[1] = 0.68;
    cqp_row_geometric(lt, 0, (1.0 - bshare) * 0.57);
    cqp_row_geometric(lt, 1, 0.442);
    cqp_rows_b(lt, f);
}

// Bitrate modes: one row for every picture kind; rate control moves the QP.
// The SSE lambda starts at 256 x 0.038 at QP 0 and grows by 2^0.3376 per QP,
// a little faster than the constant-QP rows' 2^(1/3): a fixed tuning.
static void lambda_rate_modes(lambda_tables *lt)
{
    double a = 9.728, b = 0.25;
    for (int qp = 0; qp < LAMBDA_QPS; qp++) {
        lt->sse[0][qp] = round_half_up(a);
        lt->satd[0][qp] = (uint16_t)round_half_up(b);
        a *= 1.2636444922077779;
        b *= SIXTH_ROOT_2;
    }
    for (int row = 1; row < LAMBDA_ROWS; row++) {
        memcpy(lt->sse[row], lt->sse[0], sizeof(lt->sse[0]));
        memcpy(lt->satd[row], lt->satd[0], sizeof(lt->satd[0]));
    }
}

void lambda_tables_init(lambda_tables *lt, const internal_config *cfg)
{
    if (cfg->rc_mode == RC_MODE_CQP)
        lambda_cqp(lt, cfg);
    else
        lambda_rate_modes(lt);
}

static const uint16_t chroma_weight_1x[CHROMA_WEIGHT_QPS] = {
    256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256,
    256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256,
    256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256, 256,
};

static const uint16_t chroma_weight_2x[CHROMA_WEIGHT_QPS] = {
    512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512,
    512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512,
    512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512, 512,
};

// The faster levels weigh chroma like luma; from level 3 chroma counts double.
void chroma_dist_weight_select(rd_tables *rd, const internal_config *cfg)
{
    rd->chroma_dist_weight = config_doubles_chroma_weight(cfg) ? chroma_weight_2x : chroma_weight_1x;
}

int quant_rounding_init(rd_tables *rd, const rd_tables *previous_layer)
{
    if (previous_layer) {
        rd->quant_round_intra = previous_layer->quant_round_intra;
        rd->quant_round_inter = previous_layer->quant_round_inter;
    } else {
        rd->quant_round_intra = QUANT_ROUND_INTRA;
        rd->quant_round_inter = QUANT_ROUND_INTER;
    }
    return 0;
}

int rd_tables_init(rd_tables *rd, const internal_config *cfg, const rd_tables *previous_layer)
{
    if (quant_rounding_init(rd, previous_layer) != 0) return -1;
    lambda_tables_init(&rd->lambda, cfg);
    bool qp12_outside = 12 < cfg->qp_min || 12 > cfg->qp_max;
    if (qp12_outside && mv_cost_table_init(rd, cfg, 12) != 0) goto fail;
    for (int32_t qp = cfg->qp_min; qp <= cfg->qp_max; qp++)
        if (mv_cost_table_init(rd, cfg, qp) != 0) goto fail;
    chroma_dist_weight_select(rd, cfg);
    return 0;
fail:
    mv_cost_tables_free(rd);
    return -1;
}
