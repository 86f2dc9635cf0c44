#include "bitstream/bit_writer.h"

static void store_be32(uint8_t *p, uint32_t w)
{
    p[0] = (uint8_t)(w >> 24);
    p[1] = (uint8_t)(w >> 16);
    p[2] = (uint8_t)(w >> 8);
    p[3] = (uint8_t)w;
}

// Shifts that may reach 32 are split so that no shift is undefined.
static uint32_t shl(uint32_t v, int n)
{
    return n >= 32 ? 0u : v << n;
}

static uint32_t shr(uint32_t v, int n)
{
    return n >= 32 ? 0u : v >> n;
}

// Loads the k (1..3) bytes at cur as pending bits. Only those k bytes are read,
// so nothing past the bytes already written is touched.
static void load_partial_word(bit_writer *bw, int k)
{
    uint32_t v = 0;
    for (int i = 0; i < k; i++)
        v = (v << 8) | bw->cur[i];
    bw->cache = v;
    bw->free_bits = 32 - 8 * k;
}

void bitwriter_set_buffer(bit_writer *bw, uint8_t *buffer, int32_t size)
{
    int k = (int)((uintptr_t)buffer & 3);
    bw->start = buffer - k;
    bw->cur = bw->start;
    bw->end = buffer + size;
    bw->cache = 0;
    bw->free_bits = 32;
    if (k)
        load_partial_word(bw, k);
}

void bitwriter_put_bits(bit_writer *bw, int n, uint32_t value)
{
    if (n < bw->free_bits) {
        bw->cache = shl(bw->cache, n) | value;
        bw->free_bits -= n;
        return;
    }
    int over = n - bw->free_bits;
    store_be32(bw->cur, shl(bw->cache, bw->free_bits) | shr(value, over));
    bw->cur += 4;
    bw->cache = value;
    bw->free_bits = 32 - over;
}

void bitwriter_put_ue(bit_writer *bw, uint32_t v)
{
    uint32_t m = v + 1;
    int len = 0;
    while ((m >> len) > 1)
        len++;
    bitwriter_put_bits(bw, len, 0);
    bitwriter_put_bits(bw, len + 1, m);
}

void bitwriter_put_se(bit_writer *bw, int32_t v)
{
    uint32_t code = v > 0 ? 2u * (uint32_t)v - 1u : 2u * (uint32_t)(-(int64_t)v);
    bitwriter_put_ue(bw, code);
}

// Stores the pending whole bytes (free_bits is a multiple of 8) and resets the cache.
static void store_pending(bit_writer *bw)
{
    int pending = 4 - bw->free_bits / 8;
    uint32_t w = shl(bw->cache, bw->free_bits);
    // Only the pending bytes are written: the word store of the original design
    // could touch up to 3 bytes past the buffer's last meaningful byte.
    for (int i = 0; i < pending; i++)
        bw->cur[i] = (uint8_t)(w >> (24 - 8 * i));
    bw->cur += pending;
    bw->free_bits = 32;
}

void bitwriter_flush(bit_writer *bw)
{
    int p = bw->free_bits % 8;
    bitwriter_put_bits(bw, p, (1u << p) - 1u);
    store_pending(bw);
}

void bitwriter_rbsp_trailing(bit_writer *bw)
{
    bitwriter_put_bits(bw, 1, 1);
    bitwriter_put_bits(bw, bw->free_bits % 8, 0);
    store_pending(bw);
}

void bitwriter_realign(bit_writer *bw)
{
    int k = (int)((bw->cur - bw->start) & 3);
    if (k == 0 || bw->free_bits != 32)
        return;
    bw->cur -= k;
    load_partial_word(bw, k);
}

int64_t bitwriter_bit_pos(const bit_writer *bw)
{
    return (int64_t)(bw->cur - bw->start) * 8 + 32 - bw->free_bits;
}

int32_t bitwriter_byte_pos(const bit_writer *bw)
{
    return (int32_t)(bitwriter_bit_pos(bw) / 8);
}
