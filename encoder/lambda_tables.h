// Rate-distortion weights of one encoder: per-QP Lagrange multipliers, the
// motion-vector cost tables, the chroma distortion weight and the quantisation
// rounding offsets. Each encoder owns its own rd_tables, so encoders with
// different settings can run side by side in one process.
#pragma once
#include <cstdint>

#include "encoder/config.h"
#include "kernels/quant/quant.h"   // QUANT_ROUND_INTRA, QUANT_ROUND_INTER

enum {
    LAMBDA_ROWS = 5,       // 0 I slices, 1 P pictures, 2..4 B pictures by hierarchy level
    LAMBDA_QPS = 64,
    MV_COST_QPS = QP_MAX + 1,
    MV_COST_LEVELS = 4,    // tables per QP, one per hierarchy level
    CHROMA_WEIGHT_QPS = 58,
};

struct lambda_tables {
    uint32_t sse[LAMBDA_ROWS][LAMBDA_QPS];   // lambda x 256, for SSE costs
    uint16_t satd[LAMBDA_ROWS][LAMBDA_QPS];  // sqrt(lambda), rounded, for SATD costs
};

struct mv_cost_table {
    // Indexed by 4 x QP + hierarchy level. Each points at the entry of a zero
    // difference; entry d (quarter samples, either sign) prices a vector
    // component difference of d, for |d| up to 4 x reach.
    const uint16_t *slot[MV_COST_QPS * MV_COST_LEVELS];
    uint16_t *block[MV_COST_QPS];  // one allocation per QP holding its tables
    int32_t reach;                 // R: full-sample extent of the vector range + 68
};

struct rd_tables {
    lambda_tables lambda;
    mv_cost_table mv_cost;
    const uint16_t *chroma_dist_weight;  // CHROMA_WEIGHT_QPS entries, 8 fractional bits
    uint16_t quant_round_intra;
    uint16_t quant_round_inter;
};

// Rounding offsets: the defaults, or those of a previous layer's encoder.
[[nodiscard]] int quant_rounding_init(rd_tables *rd, const rd_tables *previous_layer);

// From the rate-control mode, bframes and hierarchy of a validated configuration.
void lambda_tables_init(lambda_tables *lt, const internal_config *cfg);

// Builds the tables of one QP unless they exist; needs the lambda tables.
// 0, or -1 when the allocation fails or the QP is outside 0..51.
[[nodiscard]] int mv_cost_table_init(rd_tables *rd, const internal_config *cfg, int32_t qp);
// Frees every QP's block; safe on a zeroed or partly built record.
void mv_cost_tables_free(rd_tables *rd);

void chroma_dist_weight_select(rd_tables *rd, const internal_config *cfg);

// Everything above in the order an opening encoder needs: rounding, lambdas,
// motion-vector costs for QP 12 and the configured QP range, chroma weight.
// -1 (with nothing left allocated) when a table cannot be allocated.
[[nodiscard]] int rd_tables_init(rd_tables *rd, const internal_config *cfg, const rd_tables *previous_layer);
