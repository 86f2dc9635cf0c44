// CABAC syntax of one CTU, written into the live coder of the context that
// codes it, from the committed decisions of the CTU.
#pragma once

struct encoder_instance;

void cabac_write_ctu(encoder_instance *ctx);
