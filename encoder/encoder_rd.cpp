#include "encoder/encoder_rd.h"

#include <cstring>

#include "encoder/lambda_tables.h"
#include "encoder/memory.h"

rd_tables *encoder_rd_open(const internal_config *cfg, const rd_tables *previous_layer)
{
    rd_tables *rd = (rd_tables *)aligned_malloc((int32_t)sizeof(rd_tables));
    if (!rd) return nullptr;
    std::memset(rd, 0, sizeof(*rd));
    if (rd_tables_init(rd, cfg, previous_layer) != 0) {
        encoder_rd_close(rd);
        return nullptr;
    }
    return rd;
}

void encoder_rd_close(rd_tables *rd)
{
    if (!rd) return;
    mv_cost_tables_free(rd);
    aligned_free(rd);
}

const lambda_tables *encoder_rd_lambdas(const rd_tables *rd)
{
    return &rd->lambda;
}
