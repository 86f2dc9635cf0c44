// SSSE3-flag set of the motion-compensation table. No vector form exists yet:
// every slot keeps its portable kernel, which gives the same values.
#include "kernels/mc/mc.h"

void mc_table_fill_ssse3(mc_table *table)
{
    (void)table;
}
