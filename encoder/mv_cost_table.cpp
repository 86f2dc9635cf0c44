// Motion-vector cost tables: the price, in SATD units, of one vector component
// differing from its predictor by d quarter samples. Built per QP when an
// encoder opens, one table per hierarchy level in constant-QP mode.
#include <cmath>

#include "encoder/lambda_tables.h"
#include "encoder/memory.h"

// Vectors reach from -500 full samples to the vertical margin down and to the
// right reach across; the tables cover every difference of two such vectors
// with room to spare.
static int32_t mv_cost_reach(const internal_config *cfg)
{
    return (config_mv_reach_right(cfg) + 500) + 68;
}

// Cost of a difference of |d| >= 2: 2 lambda more each time |d| doubles
// (about two more bits of Exp-Golomb code).
static uint16_t mv_cost_band(int32_t d, int32_t base, int32_t two_l)
{
    int32_t cost = base;
    for (int32_t lo = 4; lo <= d; lo *= 2) cost += two_l;
    return (uint16_t)cost;
}

// Fills the table centred at 'centre' (entries -half .. half - 1): a cheap
// zero, a small step for one quarter sample, then the doubling bands.
static void mv_cost_fill(uint16_t *centre, int32_t half, uint16_t lambda, int level)
{
    float l = (float)lambda;
    int32_t c0 = (int32_t)(l * (level == 0 ? 0.653f : 0.5f) + 0.5f);
    int32_t c1 = (int32_t)(l * 0.347f + 0.5f);
    int32_t two_l = 2 * lambda;
    int32_t v = 5 * lambda - c1 - c0;
    centre[0] = (uint16_t)c0;
    centre[1] = centre[-1] = (uint16_t)(c1 - c0 + two_l);
    for (int32_t d = 2; d < half; d++) centre[d] = centre[-d] = mv_cost_band(d, v, two_l);
    centre[-half] = mv_cost_band(half, v, two_l);
}

int mv_cost_table_init(rd_tables *rd, const internal_config *cfg, int32_t qp)
{
    mv_cost_table *mc = &rd->mv_cost;
    if (qp < 0 || qp >= MV_COST_QPS) return -1;
    if (mc->slot[qp * MV_COST_LEVELS]) return 0;
    if (mc->reach == 0) mc->reach = mv_cost_reach(cfg);
    int32_t levels = cfg->hierarchy < 0 ? 0 : (cfg->hierarchy > 2 ? 2 : cfg->hierarchy);
    int32_t tables = cfg->rc_mode == RC_MODE_CQP ? levels + 2 : 1;
    int32_t half = 4 * (mc->reach + 2);
    uint16_t *block = (uint16_t *)aligned_malloc(tables * 2 * half * (int32_t)sizeof(uint16_t));
    if (!block) return -1;
    mc->block[qp] = block;
    for (int32_t t = 0; t < tables; t++) {
        uint16_t *centre = block + t * 2 * half + half;
        mv_cost_fill(centre, half, rd->lambda.satd[t + 1][qp], t);
        mc->slot[qp * MV_COST_LEVELS + t] = centre;
    }
    // Levels without a table of their own (bitrate modes) share table 0.
    for (int32_t t = tables; t <= levels + 1; t++)
        mc->slot[qp * MV_COST_LEVELS + t] = mc->slot[qp * MV_COST_LEVELS];
    return 0;
}

void mv_cost_tables_free(rd_tables *rd)
{
    mv_cost_table *mc = &rd->mv_cost;
    for (int32_t qp = 0; qp < MV_COST_QPS; qp++) {
        aligned_free(mc->block[qp]);
        mc->block[qp] = nullptr;
        for (int t = 0; t < MV_COST_LEVELS; t++) mc->slot[qp * MV_COST_LEVELS + t] = nullptr;
    }
}
