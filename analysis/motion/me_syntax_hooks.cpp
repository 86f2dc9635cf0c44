// Adapters from the syntax writer's owner-pointer hooks to the motion
// estimation routines of the instance that owns the CTU.
#include "analysis/motion/me_syntax_hooks.h"

#include "analysis/motion/amvp.h"
#include "analysis/rd/avail_map.h"
#include "bitstream/syntax_writer.h"
#include "encoder/encoder_instance.h"

static int32_t hook_amvp_build_list(void *owner, int32_t z, int32_t x, int32_t y, int32_t width, int32_t height,
                                    int32_t depth, int32_t list, uint32_t out[2])
{
    return amvp_build_list((row_context *)owner, z, x, y, width, height, depth, list, out);
}

static void hook_map_clear(void *owner) { map_clear((row_context *)owner); }

static void hook_map_mark_available(void *owner, int32_t x, int32_t y, int32_t width, int32_t height)
{
    map_mark_available((row_context *)owner, x, y, width, height);
}

void me_syntax_services_fill(syntax_inter_services *services, row_context *ctx)
{
    services->owner = ctx;
    services->amvp_build_list = hook_amvp_build_list;
    services->map_clear = hook_map_clear;
    services->map_mark_available = hook_map_mark_available;
}
