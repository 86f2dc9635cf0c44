#pragma once
// Runs packed YUV 4:2:0 pictures through an opened encoder the way an
// application does: one picture per call, then drain calls while pictures are
// pending. Writes every access unit to a stream file and every returned
// reconstruction to a raw file, either as it comes back (coding order) or
// placed by its pts (display order, pts 0 .. count - 1).
#include <cstdint>
#include <string>
#include <vector>

#include "encoder/torvhevcenc.h"

struct library_encode_result {
    int pictures = 0;            // access units written; -1 when a call failed
    std::vector<uint8_t> bytes;  // the whole stream, as written to the file
};

// `samples` holds `count` packed pictures of width x height (even sizes).
// Submits picture k with pts k. In display order a pts outside 0 .. count - 1
// is a failure. The encoder stays open; the caller closes it.
library_encode_result library_encode(torvhevcenc_encoder *enc, const uint8_t *samples, int width, int height,
                                     int count, const std::string &stream_path, const std::string &recon_path,
                                     bool display_order);
