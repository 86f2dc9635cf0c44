#include "tests/support/library_encode.h"

#include <cstdio>
#include <cstring>

#include "tests/support/yuv_gen.h"

namespace {

// Copies the three planes of a returned reconstruction into one packed picture.
void pack_recon(const uint32_t *strides, const uint8_t *const *planes, int width, int height, uint8_t *dst)
{
    for (int pl = 0; pl < 3; pl++) {
        int w = pl ? width / 2 : width, h = pl ? height / 2 : height;
        for (int y = 0; y < h; y++, dst += w) std::memcpy(dst, planes[pl] + (size_t)y * strides[pl], (size_t)w);
    }
}

// One call: picture k while k < count, a drain call after that. Returns the
// call's result, or 0 with `done` set when nothing is pending any more.
int encode_call(torvhevcenc_encoder *enc, const uint8_t *samples, int width, int height, int count, int k,
                const uint8_t **au, int64_t *pts, uint32_t *out_strides, const uint8_t **out_planes, bool *done)
{
    frame_info info = {sizeof(frame_info), 0, 0, 0};
    if (k < count) {
        const uint8_t *pic = samples + (size_t)k * yuv_picture_bytes(width, height);
        const uint8_t *planes[3] = {pic, pic + width * height, pic + width * height * 5 / 4};
        uint32_t strides[3] = {(uint32_t)width, (uint32_t)width / 2, (uint32_t)width / 2};
        return torvhevcenc_encode_frame(enc, strides, planes, k, &info, au, pts, out_strides, out_planes, nullptr,
                                        nullptr);
    }
    if (torvhevcenc_pending_frames(enc) == 0) {
        *done = true;
        return 0;
    }
    return torvhevcenc_encode_frame(enc, nullptr, nullptr, 0, &info, au, pts, out_strides, out_planes, nullptr,
                                    nullptr);
}

}  // namespace

library_encode_result library_encode(torvhevcenc_encoder *enc, const uint8_t *samples, int width, int height,
                                     int count, const std::string &stream_path, const std::string &recon_path,
                                     bool display_order)
{
    library_encode_result out;
    const size_t picture = yuv_picture_bytes(width, height);
    // Coding order appends each picture; display order fills the slot of its pts.
    std::vector<uint8_t> recon(display_order ? picture * (size_t)count : 0);
    std::vector<uint8_t> one(picture);
    bool done = false;
    for (int k = 0; k < count + 64 && !done; k++) {
        const uint8_t *au = nullptr;
        int64_t pts = -1;
        uint32_t out_strides[3] = {0, 0, 0};
        const uint8_t *out_planes[3] = {nullptr, nullptr, nullptr};
        int size = encode_call(enc, samples, width, height, count, k, &au, &pts, out_strides, out_planes, &done);
        if (size < 0) {
            out.pictures = -1;
            break;
        }
        if (size == 0) continue;
        out.pictures++;
        out.bytes.insert(out.bytes.end(), au, au + size);
        if (!display_order) {
            pack_recon(out_strides, out_planes, width, height, one.data());
            recon.insert(recon.end(), one.begin(), one.end());
            continue;
        }
        if (pts < 0 || pts >= count) {
            out.pictures = -1;
            break;
        }
        pack_recon(out_strides, out_planes, width, height, recon.data() + (size_t)pts * picture);
    }
    bool written = write_file_bytes(stream_path, out.bytes.data(), out.bytes.size()) &&
                   write_file_bytes(recon_path, recon.data(), recon.size());
    if (!written) out.pictures = -1;
    return out;
}
