#include "bitstream/rps.h"

static uint8_t is_used(int32_t poc, const int32_t *used_pocs, int32_t used_count)
{
    for (int32_t k = 0; k < used_count; k++)
        if (used_pocs[k] == poc) return 1;
    return 0;
}

void build_short_term_rps(short_term_rps *rps, int32_t current_poc, const int32_t *kept0,
                          const int32_t *kept1, const int32_t *used_pocs, int32_t used_count)
{
    for (int i = 0; i < rps->num_negative && i < 8; i++) {
        rps->used_s0[i] = is_used(kept0[i], used_pocs, used_count);
        rps->delta_s0[i] = (uint32_t)(current_poc - kept0[i]);
    }
    for (int i = 0; i < rps->num_positive && i < 8; i++) {
        rps->used_s1[i] = is_used(kept1[i], used_pocs, used_count);
        rps->delta_s1[i] = (uint32_t)(kept1[i] - current_poc);
    }
}

static void write_direction(bit_writer *bw, int32_t count, const uint32_t *delta,
                            const uint8_t *used)
{
    uint32_t prev = 0;
    for (int i = 0; i < count; i++) {
        bitwriter_put_ue(bw, delta[i] - prev - 1);   // delta_poc_sX_minus1
        bitwriter_put_bits(bw, 1, used[i] ? 1u : 0u);
        prev = delta[i];
    }
}

void write_short_term_rps(bit_writer *bw, const short_term_rps *rps)
{
    bitwriter_put_ue(bw, (uint32_t)rps->num_negative);
    bitwriter_put_ue(bw, (uint32_t)rps->num_positive);
    write_direction(bw, rps->num_negative, rps->delta_s0, rps->used_s0);
    write_direction(bw, rps->num_positive, rps->delta_s1, rps->used_s1);
}
