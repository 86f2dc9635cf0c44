// Rate-distortion-optimised quantisation: levels are chosen by distortion
// plus lambda-weighted estimated bits instead of a fixed rounding offset.
// The portable forms of both quantisers (their bodies are in rdoq_body.h,
// shared with the AVX2 forms), their portable helper kernels, and the rate
// functions the searches use on their own.
#include <cstdint>
#include <cstring>

#include "kernels/quant/rdoq_body.h"

// Whether a 4x4 group holds a magnitude above t (0 or more). Compares in the
// coefficients' own 16-bit type and one flag word per column, so that the
// walk over empty groups stays a few vector operations per group.
static inline uint32_t group_above(const int16_t *c, int size, int16_t t)
{
    const int16_t low = (int16_t)-t;
    int16_t column[4] = {0, 0, 0, 0};
    for (int r = 0; r < 4; r++)
        for (int k = 0; k < 4; k++) {
            const int16_t x = c[r * size + k];
            column[k] |= (int16_t)((x > t) | (x < low));
        }
    return (uint32_t)(column[0] | column[1] | column[2] | column[3]);
}

int quant_find_last_group(quant_context *ctx, int16_t *levels, const int16_t *coeff,
                          const uint16_t *scan, uint8_t *flags, int n, int16_t threshold)
{
    (void)ctx;
    const int size = 1 << n;
    const int groups = size * size / 16;
    // Groups from the last in scan order back to the first that holds a flag:
    // nothing before that group is read, and only that group's flags are.
    const int32_t t = threshold;
    int g = groups - 1;
    if (t >= 0)
        while (g >= 0 && !group_above(coeff + scan[16 * g], size, threshold))
            g--;
    if (g < 0)
        return -1;
    const int p = scan[16 * g];
    for (int r = 0; flags && r < 4; r++)
        for (int c = 0; c < 4; c++) {
            const int32_t x = coeff[p + r * size + c];
            flags[p + r * size + c] = x > t || x < -t;
        }
    for (int e = g + 1; e < groups; e++)
        for (int r = 0; r < 4; r++)
            memset(&levels[scan[16 * e] + r * size], 0, 4 * sizeof(int16_t));
    return 16 * g;
}

uint32_t rdoq_rate_level(const cabac_encoder *cabac, int level, int count, int c1, int gt1_ctx,
                         int gt2_ctx, int k)
{
    return rate_level_bits(cabac, level, count, c1, gt1_ctx, gt2_ctx, k);
}

static uint32_t last_prefix_bits(const cabac_encoder *cabac, int base, int p, int n, int shift)
{
    const int group = last_pos_group_table[p] & 15;
    uint32_t bits = 0;
    for (int i = 0; i < group; i++)
        bits += bin_bits(cabac->rate.ctx[base + (i >> shift)], 1);
    if (group < 2 * n - 1)
        bits += bin_bits(cabac->rate.ctx[base + (group >> shift)], 0);
    return bits + 256u * (last_pos_group_table[p] >> 4);
}

// Bits of one component (x: 0, y: 1) of the last position.
static uint32_t last_component_bits(const cabac_encoder *cabac, int component, int p, int n, int chroma)
{
    int offset = chroma ? 15 : 3 * (n - 2) + ((n - 1) >> 2);
    int shift = chroma ? n - 2 : (n + 1) >> 2;
    return last_prefix_bits(cabac, (component ? ctx_last_y_prefix : ctx_last_x_prefix) + offset, p, n, shift);
}

uint32_t rdoq_rate_last_pos(const cabac_encoder *cabac, int x, int y, int n, int chroma)
{
    return last_component_bits(cabac, 0, x, n, chroma) + last_component_bits(cabac, 1, y, n, chroma);
}

void rdoq_level_errors_c(const int16_t *coeff, uint16_t *ceil_levels, uint32_t *squares,
                         uint32_t *errors, int n, int width, int height, int qp, int quant_scale)
{
    const int size = 1 << n;
    const int qbits = 21 + qp / 6 - n;
    const int32_t scale = dequant_scale(qp);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const int i = y * size + x;
            const int32_t a = coeff[i] < 0 ? -coeff[i] : coeff[i];
            const int32_t level = (int32_t)(((int64_t)a * quant_scale + (1 << qbits) - 1) >> qbits);
            const int64_t e0 = rdoq_dequant(level, scale, n, 0) - a;
            const int64_t e1 = rdoq_dequant(level - 1, scale, n, 0) - a;
            ceil_levels[i] = (uint16_t)level;
            squares[i] = (uint32_t)(a * a);
            errors[2 * i] = (uint32_t)(e0 * e0 > UINT32_MAX ? UINT32_MAX : e0 * e0);
            errors[2 * i + 1] = (uint32_t)(e1 * e1 > UINT32_MAX ? UINT32_MAX : e1 * e1);
        }
    }
}

// Any non-zero level in the block: what rdoq returns.
static int any_level(const int16_t *levels, int n)
{
    int any = 0;
    for (int i = 0; i < 1 << (2 * n); i++)
        any |= levels[i];
    return any != 0;
}

int rdoq_c(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
           uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx)
{
    return rdoq_body<quant_find_last_group, any_level>(ctx, lambda, levels, coeff, qp, round_offset, n,
                                                       quant_scale, plane, scan_idx);
}

int rdoq_alt_c(quant_context *ctx, uint32_t lambda, int16_t *levels, const int16_t *coeff, int qp,
               uint16_t round_offset, int n, int quant_scale, int plane, int scan_idx)
{
    return rdoq_alt_body<rdoq_level_errors_c, quant_find_last_group, alt_price_zero_run>(
        ctx, lambda, levels, coeff, qp, round_offset, n, quant_scale, plane, scan_idx);
}

void rdoq_state_seed(cabac_encoder *cabac)
{
    cabac->rate.rdoq_sig_state[0] = cabac->rate.ctx[ctx_sig_coeff_flag];
    cabac->rate.rdoq_sig_state[1] = cabac->rate.ctx[ctx_sig_coeff_flag + 27];
    cabac->rate.rdoq_gt1_state[0] = cabac->rate.ctx[ctx_greater1_flag];
    cabac->rate.rdoq_gt1_state[1] = cabac->rate.ctx[ctx_greater1_flag + 16];
}
