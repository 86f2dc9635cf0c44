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

// map_fill_rect and the availability marks live with the availability map
// (analysis/avail_map.cpp).
