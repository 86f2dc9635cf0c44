#include "encoder/nal_units.h"
#include <cstring>
#include "encoder/memory.h"

int frame_bitstream_open(frame_bitstream *fb, int32_t nal_capacity, int32_t buffer_size)
{
    memset(fb, 0, sizeof(*fb));
    fb->nals = (nal_entry *)aligned_malloc(nal_capacity * (int32_t)sizeof(nal_entry));
    fb->buffer = (uint8_t *)aligned_malloc(buffer_size);
    if (!fb->nals || !fb->buffer) {
        frame_bitstream_close(fb);
        return -1;
    }
    fb->nal_capacity = nal_capacity;
    fb->size = buffer_size;
    frame_bitstream_reset(fb);
    return 0;
}

void frame_bitstream_close(frame_bitstream *fb)
{
    aligned_free(fb->nals);
    aligned_free(fb->buffer);
    memset(fb, 0, sizeof(*fb));
}

void frame_bitstream_reset(frame_bitstream *fb)
{
    fb->nal_count = 0;
    bitwriter_set_buffer(&fb->writer, fb->buffer, fb->size);
}

int au_buffer_open(au_buffer *au, int32_t capacity)
{
    au->base = (uint8_t *)aligned_malloc(capacity);
    au->capacity = au->base ? capacity : 0;
    return au->base ? 0 : -1;
}

void au_buffer_close(au_buffer *au)
{
    aligned_free(au->base);
    au->base = nullptr;
    au->capacity = 0;
}

void nal_record_begin(frame_bitstream *fb, uint32_t type)
{
    nal_entry *e = &fb->nals[fb->nal_count];
    e->type = type;
    e->long_start_code = 1;   // decided again at assembly
    e->size = 0;
    e->payload = fb->buffer + bitwriter_byte_pos(&fb->writer);
}

int nal_record_end(frame_bitstream *fb)
{
    nal_entry *e = &fb->nals[fb->nal_count];
    e->size = bitwriter_byte_pos(&fb->writer) - (int32_t)(e->payload - fb->buffer);
    fb->nal_count++;
    return nal_list_grow(fb);
}

int nal_list_grow(frame_bitstream *fb)
{
    if (fb->nal_count < fb->nal_capacity)
        return 0;
    int64_t cap = 2 * (int64_t)fb->nal_capacity;
    if (cap * (int64_t)sizeof(nal_entry) > 0x7FFFFFFF - 64)
        return -1;
    nal_entry *grown = (nal_entry *)aligned_malloc((int32_t)(cap * (int64_t)sizeof(nal_entry)));
    if (!grown)
        return -1;
    memcpy(grown, fb->nals, (size_t)fb->nal_count * sizeof(nal_entry));
    aligned_free(fb->nals);
    fb->nals = grown;
    fb->nal_capacity = (int32_t)cap;
    return 0;
}

// Moves everything written so far into a buffer large enough for the slice
// data, rebasing the writer and the recorded entries.
static int grow_bitstream(frame_bitstream *fb, int32_t slice_data_size)
{
    int64_t size = (int64_t)slice_data_size + 100000;
    int64_t used = fb->writer.cur - fb->buffer;
    if (size < used + slice_data_size + 4)
        size = used + slice_data_size + 4;
    if (size > 0x7FFFFFFF - 64)
        return -1;
    uint8_t *fresh = (uint8_t *)aligned_malloc((int32_t)size);
    if (!fresh)
        return -1;
    memcpy(fresh, fb->buffer, (size_t)used);
    for (int i = 0; i <= fb->nal_count && i < fb->nal_capacity; i++)
        if (fb->nals[i].payload >= fb->buffer && fb->nals[i].payload <= fb->buffer + fb->size)
            fb->nals[i].payload = fresh + (fb->nals[i].payload - fb->buffer);
    fb->writer.start = fresh + (fb->writer.start - fb->buffer);
    fb->writer.cur = fresh + used;
    fb->writer.end = fresh + size;
    aligned_free(fb->buffer);
    fb->buffer = fresh;
    fb->size = (int32_t)size;
    return 0;
}

int slice_nal_append(frame_bitstream *fb, uint32_t nal_unit_type, const slice_frame_state *fs,
                     const slice_header *sh, const uint8_t *slice_data, int32_t slice_data_size)
{
    bit_writer *bw = &fb->writer;
    bit_writer saved = *bw;
    bitwriter_realign(bw);
    nal_record_begin(fb, nal_unit_type);
    slice_header_write(fs, bw, sh);
    bitwriter_flush(bw);
    if (fb->buffer + fb->size - bw->cur < (int64_t)slice_data_size + 4 &&
        grow_bitstream(fb, slice_data_size) < 0) {
        *bw = saved;   // the header bytes beyond the old cursor are ignored
        return -1;
    }
    memcpy(bw->cur, slice_data, (size_t)slice_data_size);
    bw->cur += slice_data_size;
    return nal_record_end(fb);
}

void nal_write(uint8_t *dst, nal_entry *entry)
{
    uint8_t *out = dst;
    if (entry->long_start_code)
        *out++ = 0x00;
    *out++ = 0x00;
    *out++ = 0x00;
    *out++ = 0x01;
    *out++ = (uint8_t)(entry->type << 1);   // forbidden_zero_bit 0, nuh_layer_id 0
    *out++ = 1;                             // nuh_temporal_id_plus1
    const uint8_t *in = entry->payload;
    int32_t n = entry->size;
    // The header's second byte is never zero, so the first two payload bytes
    // cannot need an escape.
    int32_t i = 0;
    for (; i < n && i < 2; i++)
        *out++ = in[i];
    for (; i < n; i++) {
        uint8_t b = in[i];
        if (b <= 3 && out[-1] == 0 && out[-2] == 0)
            *out++ = 0x03;
        *out++ = b;
    }
    entry->payload = dst;
    entry->size = (int32_t)(out - dst);
}

int64_t au_worst_case_size(const frame_bitstream *fb)
{
    int64_t total = 0;
    for (int i = 0; i < fb->nal_count; i++)
        total += fb->nals[i].size;
    return total * 3 / 2 + 6 * (int64_t)fb->nal_count;
}

static int is_parameter_set(uint32_t type)
{
    return type == nal_vps || type == nal_sps || type == nal_pps;
}

int32_t au_assemble(frame_bitstream *fb, au_buffer *au)
{
    if (fb->nal_count == 0)
        return 0;
    int64_t payload = 0;
    for (int i = 0; i < fb->nal_count; i++)
        payload += fb->nals[i].size;
    // Worst case per NAL unit: 6 bytes of start code and header plus 3/2 of
    // the payload (an almost all-zero payload gets an escape every 2 bytes).
    int64_t need = au_worst_case_size(fb);
    if (au->capacity < need) {
        int64_t size = 2 * (payload + 3 * (int64_t)fb->nal_count);
        if (size > 0x7FFFFFFF - 64)
            return -1;
        uint8_t *fresh = (uint8_t *)aligned_malloc((int32_t)size);
        if (!fresh)
            return -1;
        aligned_free(au->base);
        au->base = fresh;
        au->capacity = (int32_t)size;
    }
    uint8_t *dst = au->base;
    for (int i = 0; i < fb->nal_count; i++) {
        nal_entry *e = &fb->nals[i];
        e->long_start_code = (i == 0 || is_parameter_set(e->type)) ? 1 : 0;
        nal_write(dst, e);
        dst += e->size;
    }
    return (int32_t)(dst - au->base);
}

int32_t emulation_prevention_scan(ep_scan_state *st, const uint8_t *data, int32_t n)
{
    int32_t count = 0;
    int32_t zeros = st->zeros;
    for (int32_t i = 0; i < n; i++) {
        uint8_t b = data[i];
        if (zeros >= 2 && b <= 3) {
            count++;
            zeros = 0;
        }
        zeros = b == 0 ? zeros + 1 : 0;
    }
    st->zeros = zeros;
    return count;
}
