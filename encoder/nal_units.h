// NAL units of a picture and their assembly into an Annex B access unit. While
// a picture is prepared and coded, every RBSP goes into the frame's bitstream
// buffer and is recorded in its NAL list without start code, header or
// emulation prevention; au_assemble adds those when the picture is collected.
#pragma once
#include <cstdint>
#include "bitstream/bit_writer.h"
#include "encoder/slice_header.h"

struct nal_entry {
    uint32_t type;             // nal_unit_type 0..63
    uint32_t long_start_code;  // 1: preceded by a zero_byte
    int32_t size;              // RBSP bytes; after nal_write the written bytes
    uint8_t *payload;          // RBSP start; after nal_write the NAL unit start
};

// The per-frame output state that the frame instance owns: NAL list,
// bitstream buffer (from aligned_malloc) and the writer running over it.
struct frame_bitstream {
    int32_t nal_count;
    int32_t nal_capacity;
    nal_entry *nals;
    int32_t size;              // bytes of the bitstream buffer
    uint8_t *buffer;
    bit_writer writer;
};

// The access-unit buffer, one per encoder, shared by its frame instances.
struct au_buffer {
    uint8_t *base;
    int32_t capacity;
};

enum {
    nal_trail_n = 0, nal_trail_r = 1, nal_rasl_n = 8, nal_rasl_r = 9,
    nal_idr_w_radl = 19, nal_cra = 21,
    nal_vps = 32, nal_sps = 33, nal_pps = 34, nal_prefix_sei = 39,
};

// Allocates the NAL list and the bitstream buffer; -1 (nothing held) on failure.
[[nodiscard]] int frame_bitstream_open(frame_bitstream *fb, int32_t nal_capacity, int32_t buffer_size);
void frame_bitstream_close(frame_bitstream *fb);
// Start of a picture: empty list, writer at the start of the buffer.
void frame_bitstream_reset(frame_bitstream *fb);
int au_buffer_open(au_buffer *au, int32_t capacity);
void au_buffer_close(au_buffer *au);

// Recording one RBSP: begin opens the next entry at the writer's byte
// position, the caller runs its writer, end closes the entry and grows the
// list when it is full. end returns 0, or -1 when growing failed.
void nal_record_begin(frame_bitstream *fb, uint32_t type);
[[nodiscard]] int nal_record_end(frame_bitstream *fb);
// Doubles the list when full; -1 on allocation failure, the old list kept.
[[nodiscard]] int nal_list_grow(frame_bitstream *fb);

// Appends the slice: header from the slice record, then the slice data (the
// row substreams concatenated). Grows the bitstream buffer when the data does
// not fit; -1 on allocation failure with the buffer and writer unchanged.
[[nodiscard]] int slice_nal_append(frame_bitstream *fb, uint32_t nal_unit_type, const slice_frame_state *fs,
                     const slice_header *sh, const uint8_t *slice_data, int32_t slice_data_size);

// Writes one NAL unit (start code, two-byte header, payload with emulation
// prevention) at dst and points the entry at the written bytes.
void nal_write(uint8_t *dst, nal_entry *entry);
// Builds the access unit of the list in the shared buffer, replacing the
// buffer when it is smaller than the worst case. Returns its size (0 for an
// empty list) or -1 when the buffer could not grow (the old one is kept).
[[nodiscard]] int32_t au_assemble(frame_bitstream *fb, au_buffer *au);
// Bytes the access unit of the list can take at most: 3/2 of each payload
// plus 6 bytes of start code and header per NAL unit.
int64_t au_worst_case_size(const frame_bitstream *fb);

// Counts the emulation prevention bytes nal_write inserts into a run of RBSP
// bytes scanned chunk by chunk (the row substreams of a slice, for the entry
// points). The state carries the zero run across chunks; start it at zero
// behind a byte that is not zero (the slice header ends with one).
struct ep_scan_state {
    int32_t zeros;
};
int32_t emulation_prevention_scan(ep_scan_state *st, const uint8_t *data, int32_t n);
