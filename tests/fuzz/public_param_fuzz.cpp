// libFuzzer target for the library interface: the first 160 bytes of an input
// are a parameter record, every field taken as it comes (sizes, modes, rates,
// the float crf with its NaNs and infinities, flags); torvhevcenc_create must
// refuse it or build an encoder that takes one to four small pictures, drains
// and closes without a fault. The bytes after the record choose the picture
// count and samples and carry the second-pass statistics text.
//
// Only what would make a single input take seconds is bounded: a picture side
// the encoder accepts is folded into 2..129, and positive thread counts into
// 1..4 CTU threads and 0..6 frame instances (the limits of huge counts are the
// validation's, tested on their own). Zero, negative and refused values pass
// through unchanged.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "encoder/torvhevcenc.h"

namespace {

const size_t record_bytes = sizeof(public_param);
const int32_t largest_side = 16888;  // larger sides are refused, so they stay
const int32_t folded_sides = 128;
const int picture_count_mask = 3;  // one to four pictures
const int max_drain_calls = 64;  // far more than any configuration holds

enum {
    flag_no_pass1_buffer = 0x10,  // hand a null first-pass buffer
    flag_no_pass2_text = 0x20,    // hand null second-pass statistics
};

int32_t fold_side(int32_t side)
{
    return side >= 2 && side <= largest_side ? 2 + side % folded_sides : side;
}

int32_t fold_count(int32_t count, int32_t low, int32_t high)
{
    return count > high ? low + count % (high - low + 1) : count;
}

// An encoder exists only when the record covered both sides.
void encode_some(torvhevcenc_encoder *enc, const public_param *p, int pictures, uint8_t seed)
{
    int32_t width = p->width, height = p->height;
    uint32_t cw = (uint32_t)width / 2, ch = (uint32_t)height / 2;
    std::vector<uint8_t> y((size_t)width * height), u((size_t)cw * ch + 1), v((size_t)cw * ch + 1);
    const uint8_t *planes[3] = {y.data(), u.data(), v.data()};
    const uint32_t strides[3] = {(uint32_t)width, cw, cw};
    for (int k = 0; k < pictures; k++) {
        for (size_t i = 0; i < y.size(); i++)
            y[i] = (uint8_t)(seed + i * 7 + (i / (size_t)width) * 3 + (size_t)k * 11);
        std::memset(u.data(), (uint8_t)(seed ^ 0x80), u.size());
        std::memset(v.data(), (uint8_t)(seed + 0x40), v.size());
        if (torvhevcenc_encode_frame(enc, strides, planes, k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr) < 0)
            return;
    }
    for (int calls = 0; torvhevcenc_pending_frames(enc) > 0 && calls < max_drain_calls; calls++)
        if (torvhevcenc_encode_frame(enc, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr) < 0)
            return;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < record_bytes + 1)
        return 0;
    public_param p;
    std::memcpy(&p, data, record_bytes);
    uint8_t flags = data[record_bytes];
    std::string pass2_text((const char *)data + record_bytes + 1, size - record_bytes - 1);
    char pass1_buffer[1024] = {0};

    p.width = fold_side(p.width);
    p.height = fold_side(p.height);
    p.working_threads = fold_count(p.working_threads, 1, 4);
    p.frame_threads = fold_count(p.frame_threads, 0, 6);
    p.loglevel &= ~1;  // the close report only prints
    p.pass1_stats_buffer = (flags & flag_no_pass1_buffer) ? nullptr : pass1_buffer;
    p.pass2_stats = (flags & flag_no_pass2_text) ? nullptr : &pass2_text[0];

    torvhevcenc_encoder *enc = torvhevcenc_create(&p);
    if (enc) {
        encode_some(enc, &p, 1 + (flags & picture_count_mask), data[size - 1]);
        torvhevcenc_close(enc);
    }
    return 0;
}
