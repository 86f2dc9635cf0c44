// A short list of intra modes kept in order of cost, for the presearch passes.
#pragma once
#include <cstdint>

struct ranked {
    uint32_t cost;
    int32_t mode;
};

// Inserts behind every entry of equal or lower cost among `places`; what
// falls off (or does not get in) lands in the overflow entry list[places].
inline void ranked_insert(ranked *list, int32_t places, int32_t mode, uint32_t cost)
{
    int32_t p = 0;
    while (p < places && list[p].cost <= cost) p++;
    if (p == places) {
        list[places] = {cost, mode};
        return;
    }
    for (int32_t q = places; q > p; q--) list[q] = list[q - 1];
    list[p] = {cost, mode};
}
