// Fills the quantisation table at open. Every kernel of this family is
// portable, so the processor flags do not change the table.
#include "kernels/quant/quant.h"

void quant_table_init(uint32_t flags, quant_table *table)
{
    (void)flags;
    table->quant = quant_c;
    table->quant_low = quant_low_c;
    table->dequant = dequant_c;
    table->dequant_low = dequant_low_c;
    table->quant_sig_map = quant_sig_map_c;
    // Filled when the rate-distortion-optimised quantisers are built.
    table->rdoq = nullptr;
    table->rdoq_level_errors = nullptr;
    table->rdoq_alt = nullptr;
}
