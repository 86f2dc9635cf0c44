// Fills the quantisation table at open: the portable kernels in every slot,
// then the AVX2 forms of quantisation, dequantisation and of the rate-distortion
// quantisers' per-coefficient work where the processor runs every instruction
// set they use.
#include "kernels/quant/quant.h"

#include "encoder/cpu.h"

void quant_table_init(uint32_t flags, quant_table *table)
{
    table->quant = quant_c;
    table->quant_low = quant_low_c;
    table->dequant = dequant_c;
    table->dequant_low = dequant_low_c;
    table->quant_sig_map = quant_sig_map_c;
    table->rdoq = rdoq_c;
    table->rdoq_level_errors = rdoq_level_errors_c;
    table->rdoq_alt = rdoq_alt_c;
    if (cpu_use_avx2_set(flags)) {
        table->quant = quant_avx2;
        table->quant_low = quant_low_avx2;
        table->dequant = dequant_avx2;
        table->dequant_low = dequant_low_avx2;
        table->rdoq = rdoq_avx2;
        table->rdoq_level_errors = rdoq_level_errors_avx2;
        table->rdoq_alt = rdoq_alt_avx2;
    }
}
