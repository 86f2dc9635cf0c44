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
    table->rdoq = rdoq_c;
    table->rdoq_level_errors = rdoq_level_errors_c;
    table->rdoq_alt = rdoq_alt_c;
}
