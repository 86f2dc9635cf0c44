// The ring of replicated samples around a CTB in the deblocked copy, read by
// the edge statistics: a sign towards a copied neighbour is 0, so samples at
// the picture edge and next to CTBs not yet coded are classified by their
// inner neighbours alone. The copies land on samples that the neighbouring
// CTUs overwrite when they are coded, or outside the picture.
#include <cstddef>
#include <cstring>

#include "analysis/sao/sao_decide.h"

void sao_border_prepare(uint8_t *deblocked, int32_t stride, int32_t n, int32_t w, int32_t h, bool first_column,
                        bool first_row)
{
    ptrdiff_t st = stride;
    if (first_column)
        for (int r = 0; r < n; r++) deblocked[st * r - 1] = deblocked[st * r];
    for (int r = 0; r < n; r++) deblocked[st * r + w] = deblocked[st * r + w - 1];
    std::memcpy(deblocked + st * h - 1, deblocked + st * (h - 1) - 1, (size_t)n + 2);
    if (first_row) std::memcpy(deblocked - st - 1, deblocked - 1, (size_t)n + 2);
}
