// Inter CU decision of P and B pictures: merge, motion-searched and intra
// candidates per CU of a fixed grid, the winner predicted, residual-coded
// and committed into the CTU maps and the motion grid.
#pragma once

struct encoder_instance;

void ctu_inter_decision(encoder_instance *ctx);
