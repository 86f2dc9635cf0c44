// Connects the CABAC syntax writer and its rate estimator to the motion
// estimation's AMVP derivation and availability map.
#pragma once

struct row_context;
struct syntax_inter_services;

// Fills the writer's hooks with owner = ctx.
void me_syntax_services_fill(syntax_inter_services *services, row_context *ctx);
