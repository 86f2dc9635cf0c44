// AVX2-flag set of the motion-compensation table. No vector form exists yet:
// every slot keeps its portable kernel, which gives the same values.
#include "kernels/mc/mc.h"

void mc_table_fill_avx2(mc_table *table)
{
    (void)table;
}
