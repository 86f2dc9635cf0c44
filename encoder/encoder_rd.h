// The encoder's own rate-distortion tables (lambdas, motion-vector costs,
// chroma weights, rounding), reached through this small interface so that
// the record's users need not see the table definitions.
#pragma once
#include <cstdint>

#include "encoder/config.h"

struct rd_tables;
struct lambda_tables;

// Builds the tables of a validated configuration; null on failure (nothing left).
[[nodiscard]] rd_tables *encoder_rd_open(const internal_config *cfg, const rd_tables *previous_layer);
void encoder_rd_close(rd_tables *rd);
const lambda_tables *encoder_rd_lambdas(const rd_tables *rd);
