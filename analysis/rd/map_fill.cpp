// Block fills of the CTU maps: the per-8x8 maps (rows of 16 elements) and the
// per-4x4 maps (rows of 32 bytes). Values are replicated per element.
#include "analysis/mode_search.h"

#include <cstring>

namespace {

// Rows of W one-byte elements of one value, one store per row.
template <uint32_t W>
void fill_rows_u8(uint8_t *first, uint32_t height, uint8_t value)
{
    const uint64_t v = 0x0101010101010101ull * value;
    for (uint32_t r = 0; r < height; r++) std::memcpy(first + (size_t)r * CTU_MAP8_STRIDE, &v, W);
}

}  // namespace

// Square CUs fill one-byte maps 1, 2, 4 or 8 elements wide, several times per
// CU that the search commits or tries, so those widths take whole-row stores.
void map_fill_block(uint8_t *first, uint32_t width, uint32_t height, uint32_t element_size, uint32_t value)
{
    if (element_size == 1) {
        switch (width) {
        case 1: fill_rows_u8<1>(first, height, (uint8_t)value); return;
        case 2: fill_rows_u8<2>(first, height, (uint8_t)value); return;
        case 4: fill_rows_u8<4>(first, height, (uint8_t)value); return;
        case 8: fill_rows_u8<8>(first, height, (uint8_t)value); return;
        default: break;
        }
    }
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
