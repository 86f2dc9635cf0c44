// Bin sinks of the CTU syntax. Each syntax element is binarised once, in a
// template over a sink, and the sink decides what becomes of its bins:
// syntax_bin_coder codes them into the arithmetic coder (the CTU's final
// write), syntax_bin_counter adds their table cost to est_bits and moves the
// context bytes (the rate estimate of mode decision). Both are inlined into
// the element templates, so neither pays a call per bin, and an estimate can
// never drift from what the writer sends.
#pragma once
#include <cstdint>

#include "bitstream/cabac.h"
#include "bitstream/cabac_estimate.h"

enum { bypass_chunk_bins = 8 };   // the coder takes bypass bins up to eight at a time

struct syntax_bin_coder {
    cabac_encoder *coder;
    // Only the final write keeps the quantisation-group state and sends
    // cu_qp_delta inside the transform tree; mode decision prices the delta
    // once per group itself.
    static constexpr bool final_write = true;
    // The stream depends on the order of the bins.
    static constexpr bool keeps_bin_order = true;

    void bin(int slot, int value) { cabac_encode_bin(coder, slot, value); }
    // count (0..32) bypass bins: the low count bits of value, most significant first.
    void bypass(int count, uint32_t value)
    {
        while (count > bypass_chunk_bins) {
            count -= bypass_chunk_bins;
            cabac_encode_bypass_bits(coder, bypass_chunk_bins, value >> count);
        }
        if (count > 0)
            cabac_encode_bypass_bits(coder, count, value);
    }
    void bypass_expgolomb(int k, uint32_t value) { cabac_encode_bypass_expgolomb(coder, k, value); }
};

struct syntax_bin_counter {
    cabac_encoder *coder;
    static constexpr bool final_write = false;
    // Costs add up in any order: bins of different contexts may be priced
    // out of the stream's order.
    static constexpr bool keeps_bin_order = false;

    void bin(int slot, int value) { rate_est_bin(coder, slot, value); }
    void bypass(int count, uint32_t) { rate_est_bypass(coder, count); }
    void bypass_expgolomb(int k, uint32_t value) { rate_est_bypass(coder, expgolomb_bins(k, value)); }
};

// Truncated unary bypass code: value ones, then a zero unless value is the
// largest (cmax).
template <class Sink>
static inline void sink_truncated_unary(Sink s, int value, int cmax)
{
    if (value < cmax)
        s.bypass(value + 1, ((1u << value) - 1u) << 1);
    else
        s.bypass(value, (1u << value) - 1u);
}
