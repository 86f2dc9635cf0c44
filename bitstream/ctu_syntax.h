// CABAC syntax of one CTU, written into the live coder of the context that
// codes it, from the committed decisions of the CTU.
#pragma once

struct row_context;

void cabac_write_ctu(row_context *ctx);
