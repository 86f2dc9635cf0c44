// Block fills of the CTU maps: the per-8x8 maps (rows of 16 elements) and the
// per-4x4 maps (rows of 32 bytes). Values are replicated per element.
#include "analysis/mode_search.h"

#include <cstring>

void map_fill_block(uint8_t *first, uint32_t width, uint32_t height, uint32_t element_size, uint32_t value)
{
    for (uint32_t r = 0; r < height; r++) {
        uint8_t *row = first + (size_t)r * CTU_MAP8_STRIDE * element_size;
        for (uint32_t k = 0; k < width; k++) {
            if (element_size == 1) row[k] = (uint8_t)value;
            else if (element_size == 2) std::memcpy(row + 2 * k, &value, 2);
            else std::memcpy(row + 4 * k, &value, 4);
        }
    }
}

void map_fill_rect(uint8_t *first, int32_t width, int32_t height, uint8_t value)
{
    for (int32_t r = 0; r < height; r++) std::memset(first + r * CTU_MAP4_STRIDE, value, (size_t)width);
}

void map_mark_available(encoder_instance *ctx, int32_t x, int32_t y, int32_t w, int32_t h)
{
    map_fill_rect(ctx->ctu.recon_avail + 48 + x / 4 + 32 * (y / 4), w / 4, h / 4, 1);
}

void map_mark_unavailable(encoder_instance *ctx, int32_t x, int32_t y, int32_t w, int32_t h)
{
    map_fill_rect(ctx->ctu.recon_avail + 48 + x / 4 + 32 * (y / 4), w / 4, h / 4, 0);
}
