// Most-significant-bit-first writer for the fixed-length and Exp-Golomb coded
// structures of the stream (parameter sets, SEI, slice headers). Bits collect
// in a 32-bit cache that is stored big-endian whenever a word is complete.
#pragma once
#include <cstdint>

struct bit_writer {
    uint8_t *start;     // 4-byte aligned origin of byte positions
    uint8_t *cur;       // where the next complete word goes
    uint8_t *end;       // one past the buffer (kept for the owner, never tested)
    uint32_t cache;     // pending bits in the low (32 - free_bits) bits
    int32_t free_bits;  // 1..32; 32 = nothing pending
};

// Positions the writer on a buffer; bytes already in the partial first word
// (when buffer is not 4-byte aligned) are kept as pending bits.
void bitwriter_set_buffer(bit_writer *bw, uint8_t *buffer, int32_t size);
// Appends the n low bits of value (n 0..32); value must be clear above them.
void bitwriter_put_bits(bit_writer *bw, int n, uint32_t value);
// ue(v); v + 1 must fit in 31 bits.
void bitwriter_put_ue(bit_writer *bw, uint32_t v);
// se(v) as ue(2v - 1) for v > 0 and ue(-2v) otherwise.
void bitwriter_put_se(bit_writer *bw, int32_t v);
// Pads with one bits to a byte boundary and stores the pending bytes; cur then
// stands just behind the last written byte.
void bitwriter_flush(bit_writer *bw);
// rbsp_trailing_bits(): a one bit, zero bits to the byte boundary, store.
void bitwriter_rbsp_trailing(bit_writer *bw);
// Moves cur back onto its word boundary and reloads the bytes already written
// in that word, so that writing continues directly behind the last byte.
void bitwriter_realign(bit_writer *bw);
// Bit and byte position since start (byte position exact on byte boundaries).
int64_t bitwriter_bit_pos(const bit_writer *bw);
int32_t bitwriter_byte_pos(const bit_writer *bw);
