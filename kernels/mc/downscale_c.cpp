// Portable in-place halving of a 64x64 or 32x32 block and of the neighbour row
// and column that surround such a block.
#include "kernels/mc/mc.h"

namespace {

inline uint8_t avg(int a, int b)
{
    return (uint8_t)((a + b + 1) >> 1);
}

// Output rows and samples go top to bottom and left to right, each written
// below or left of the inputs still to be read, so the halving works in place.
void downscale_block(uint8_t *block, int n)
{
    for (int j = 0; j < n / 2; j++)
        for (int i = 0; i < n / 2; i++) {
            const uint8_t *s0 = block + 64 * (2 * j) + 2 * i;
            const uint8_t *s1 = s0 + 64;
            block[64 * j + i] = avg(avg(s0[0], s0[1]), avg(s1[0], s1[1]));
        }
}

// The row above (1.5 n samples) and the column left (n samples) of a block of
// stride 128; the halved column's second half repeats its last entry.
void downscale_border(uint8_t *block, int n)
{
    uint8_t *row = block - 128;
    for (int i = 0; i < 3 * n / 4; i++) row[i] = avg(row[2 * i], row[2 * i + 1]);
    uint8_t *col = block - 1;
    for (int j = 0; j < n / 2; j++) col[128 * j] = avg(col[128 * (2 * j)], col[128 * (2 * j + 1)]);
    for (int j = n / 2; j < n; j++) col[128 * j] = col[128 * (n / 2 - 1)];
}

}  // namespace

void downscale_64x64_c(uint8_t *block)
{
    downscale_block(block, 64);
}

void downscale_32x32_c(uint8_t *block)
{
    downscale_block(block, 32);
}

void downscale_border_64_c(uint8_t *block)
{
    downscale_border(block, 64);
}

void downscale_border_32_c(uint8_t *block)
{
    downscale_border(block, 32);
}
