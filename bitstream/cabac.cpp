#include "bitstream/cabac.h"
#include "bitstream/syntax_values.h"
#include <cstring>
#include "encoder/memory.h"

static int table_for(int slice_type, int compat)
{
    if (slice_type == slice_p)
        return 4;
    int i_slice = slice_type == slice_i;
    if (compat < 100)
        return i_slice ? 0 : 1;
    return i_slice ? 2 : 3;
}

uint8_t cabac_context_from_init(int init_value, int qp)
{
    int slope = init_value >> 4;
    int offset = init_value & 15;
    // Arithmetic shift: rounds towards minus infinity as the standard requires.
    int s = ((((slope - 9) * 5) * qp) >> 4) + (offset * 8 - 16);
    if (s < 1)
        s = 1;
    if (s > 126)
        s = 126;
    int lo = s < 127 - s ? s : 127 - s;
    return (uint8_t)((s >> 6) | (lo << 1));
}

void cabac_init_contexts(cabac_encoder *c, int slice_type, int slice_qp, int compat)
{
    const uint8_t *init = cabac_init_values[table_for(slice_type, compat)];
    int qp = slice_qp < 0 ? 0 : (slice_qp > QP_MAX ? QP_MAX : slice_qp);
    for (int i = 0; i < cabac_num_ctx; i++)
        c->rate.ctx[i] = cabac_context_from_init(init[i], qp);
}

void cabac_encoder_init(cabac_encoder *c, uint8_t *buffer, uint8_t *buffer_end)
{
    c->low = 0;
    c->range = 510;
    c->bits_left = -9;
    c->outstanding_ff = 0;
    c->buf_start = buffer;
    c->buf_cur = buffer;
    c->buf_end = buffer_end;
    c->overflow = 0;
}

void cabac_put_byte(cabac_encoder *c)
{
    if (c->bits_left < 0)
        return;
    int shift = c->bits_left + 10;
    uint32_t lead = c->low >> shift;
    c->low &= (1u << shift) - 1u;
    c->bits_left -= 8;
    if ((lead & 0xFF) == 0xFF) {
        c->outstanding_ff++;
        return;
    }
    // Bounds check: without room for the held-back bytes and this one the
    // coder marks itself failed and keeps counting the bytes as held back, so
    // the bit count stays exact and nothing is written past the buffer.
    if (c->overflow || c->buf_end - c->buf_cur < (int64_t)c->outstanding_ff + 1) {
        c->overflow = 1;
        c->outstanding_ff++;
        return;
    }
    uint32_t carry = lead >> 8;
    if (c->buf_cur > c->buf_start)
        c->buf_cur[-1] = (uint8_t)(c->buf_cur[-1] + carry);
    for (; c->outstanding_ff > 0; c->outstanding_ff--)
        *c->buf_cur++ = (uint8_t)(0xFF + carry);
    *c->buf_cur++ = (uint8_t)lead;
}

static int highest_bit(uint32_t v)
{
    return 31 - __builtin_clz(v);
}

void cabac_encode_bin(cabac_encoder *c, int slot, int bin)
{
    uint32_t b = c->rate.ctx[slot];
    uint32_t lps = cabac_lps_table[b >> 1][(c->range >> 6) - 4];
    c->range -= lps;
    if ((uint32_t)bin != (b & 1)) {
        c->low += c->range;
        c->range = lps;
    }
    c->rate.ctx[slot] = cabac_next_state_table[b * 2 + (uint32_t)bin];
    if (c->range < 256) {
        int n = 8 - highest_bit(c->range);
        c->range <<= n;
        c->low <<= n;
        c->bits_left += n;
        cabac_put_byte(c);
    }
}

void cabac_encode_bypass(cabac_encoder *c, int bin)
{
    c->low = 2 * c->low + (bin ? c->range : 0);
    c->bits_left += 1;
    cabac_put_byte(c);
}

static void encode_bypass_chunk(cabac_encoder *c, int w, uint32_t p)
{
    c->low = (c->low << w) + p * c->range;
    c->bits_left += w;
    cabac_put_byte(c);
}

void cabac_encode_bypass_bits(cabac_encoder *c, int n, uint32_t value)
{
    encode_bypass_chunk(c, n, value & ((1u << n) - 1u));
}

void cabac_encode_bypass_expgolomb(cabac_encoder *c, int k, uint32_t value)
{
    int m = k;
    while (m < 31 && value >= (1u << m)) {
        value -= 1u << m;
        m++;
    }
    int len = 2 * m - k + 1;
    uint64_t str = ((((uint64_t)1 << (m - k)) - 1) << (m + 1)) + value;
    int w = ((len - 1) % 8) + 1;
    for (int left = len; left > 0; left -= w, w = 8)
        encode_bypass_chunk(c, w, (uint32_t)(str >> (left - w)) & ((1u << w) - 1u));
}

void cabac_encode_terminate0(cabac_encoder *c)
{
    c->range -= 2;
    if (c->range < 256) {
        c->range <<= 1;
        c->low <<= 1;
        c->bits_left += 1;
        cabac_put_byte(c);
    }
}

// Emits the byte-aligned rest of low and the held-back bytes.
static void finish_bytes(cabac_encoder *c)
{
    int n = -c->bits_left;
    c->bits_left = 0;
    c->low <<= n;
    cabac_put_byte(c);
    if (c->overflow || c->buf_end - c->buf_cur < c->outstanding_ff) {
        c->overflow = 1;
        return;
    }
    for (; c->outstanding_ff > 0; c->outstanding_ff--)
        *c->buf_cur++ = 0xFF;
}

void cabac_flush(cabac_encoder *c)
{
    // Terminating bin 1, its 7-bit renormalisation and the two final bits of
    // the flush, the last of which is the rbsp stop bit.
    c->low = ((c->low + c->range - 2) << 9) | 0x200;
    c->bits_left += 9;
    cabac_put_byte(c);
    cabac_put_byte(c);
    finish_bytes(c);
}

void cabac_encode_terminate_flush(cabac_encoder *c, int compat)
{
    if (compat >= 120) {
        cabac_encode_terminate0(c);
        cabac_flush(c);
        return;
    }
    // Earlier layouts end the substream without a terminating bin or stop bit.
    if (c->range < 256) {
        int n = 8 - highest_bit(c->range);
        c->range <<= n;
        c->low <<= n;
        c->bits_left += n;
        cabac_put_byte(c);
    }
    c->low <<= 10;
    c->bits_left += 10;
    cabac_put_byte(c);
    cabac_put_byte(c);
    finish_bytes(c);
}

int64_t cabac_bits_written(const cabac_encoder *c)
{
    return 8 * ((int64_t)(c->buf_cur - c->buf_start) + c->outstanding_ff) + c->bits_left;
}

int cabac_ensure_room(cabac_encoder *c, int32_t need, uint8_t **buffer, int32_t *capacity)
{
    if (c->buf_end - c->buf_cur >= need)
        return 0;
    int64_t used = c->buf_cur - *buffer;
    int64_t grown = 2 * (int64_t)*capacity;
    if (grown < used + need)
        grown = used + need;
    if (grown > 0x7FFFFFFF - 64)
        return -1;
    uint8_t *fresh = (uint8_t *)aligned_malloc((int32_t)grown);
    if (!fresh)
        return -1;
    memcpy(fresh, *buffer, (size_t)used);
    c->buf_start = fresh + (c->buf_start - *buffer);
    c->buf_cur = fresh + used;
    c->buf_end = fresh + grown;
    aligned_free(*buffer);
    *buffer = fresh;
    *capacity = (int32_t)grown;
    return 0;
}
