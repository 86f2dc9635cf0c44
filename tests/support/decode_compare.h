#pragma once
// Decoder-match oracle: a stream is right when independent decoders turn it
// into exactly the pictures the encoder reconstructed.
//
// decode_and_compare() runs both ffmpeg and dec265 (libde265's example
// decoder) on an Annex B H.265 stream, and compares each decoder's raw YUV
// 4:2:0 output byte for byte with the encoder's reconstruction file (display
// order). A decoder missing from PATH is a failure, never a silent skip.
//
// The comparison itself (compare_yuv_files / compare_yuv_buffers) needs no
// decoder and reports the first difference by picture, plane and position.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum yuv_compare_kind {
    yuv_compare_equal = 0,     // same length, same bytes
    yuv_compare_differ = 1,    // a sample differs (see picture, plane, x, y, values)
    yuv_compare_length = 2,    // equal over the common part, lengths differ
    yuv_compare_io_error = 3,  // a file could not be read, or the size is unusable
};

struct yuv_compare_result {
    int kind;                  // a yuv_compare_kind
    int64_t picture;           // first differing picture (yuv_compare_differ)
    int plane;                 // 0 Y, 1 U, 2 V
    int x, y;                  // position within the plane
    int expected_value;        // reconstruction's sample
    int actual_value;          // decoder's sample
    uint64_t expected_bytes;   // lengths of both inputs
    uint64_t actual_bytes;
    std::string message;       // one line describing the outcome
};

// Compares two raw YUV 4:2:0 byte sequences of pictures of width x height
// ("expected" is the reconstruction, "actual" the decoder's output). Sizes
// must be positive; chroma planes are ((w + 1) / 2) x ((h + 1) / 2).
yuv_compare_result compare_yuv_buffers(const uint8_t *expected, size_t expected_size,
                                       const uint8_t *actual, size_t actual_size, int width,
                                       int height);
// The same over two files, read picture by picture.
yuv_compare_result compare_yuv_files(const std::string &expected_path,
                                     const std::string &actual_path, int width, int height);

// Full path of an executable found in PATH, or "" when there is none.
std::string find_in_path(const std::string &name);
// The libde265 example decoder: "dec265", or "libde265-dec265" as Debian names it.
std::string find_dec265();

// Runs argv[0] (searched in PATH when it has no '/') with stdin from /dev/null
// and stdout and stderr appended to `log_path` (or discarded when empty).
// Returns the exit status, 128 + signal when killed, or -1 when it could not
// be started.
int run_program(const std::vector<std::string> &argv, const std::string &log_path);

// Command lines that decode `stream` into raw yuv420p `out_yuv`.
std::vector<std::string> ffmpeg_decode_command(const std::string &ffmpeg,
                                               const std::string &stream,
                                               const std::string &out_yuv);
std::vector<std::string> dec265_decode_command(const std::string &dec265,
                                               const std::string &stream,
                                               const std::string &out_yuv);

// Decodes `stream` with both decoders and compares each output with
// `recon` (raw YUV 4:2:0 in display order, width x height). The failure
// message names the decoder and the first difference. libde265 1.0.11
// decodes the RASL pictures after a mid-stream CRA wrongly when the parameter
// sets are repeated before that CRA (a fault of the decoder, seen with other
// encoders' streams too): with strip_for_dec265 it decodes the stream without
// the parameter sets that follow the first slice, while ffmpeg decodes it as
// written.
::testing::AssertionResult decode_and_compare(const std::string &stream, const std::string &recon,
                                              int width, int height, bool strip_for_dec265 = false);
