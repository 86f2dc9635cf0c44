#pragma once
// Deterministic 8-bit YUV 4:2:0 test pictures and the files that carry them.
//
// Every picture is a pure function of (parameters, picture index): a test can
// regenerate picture k on its own to check what a reader or a decoder handed
// back, and two runs always produce the same bytes. Pictures are packed: the Y
// plane (width x height), then U and V, each ((width + 1) / 2) x
// ((height + 1) / 2) bytes. For even sizes that is the usual width x height x
// 3 / 2; odd sizes exist only so that tests can write files that the input
// parsers must refuse.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum yuv_pattern {
    yuv_pattern_gradient = 0,   // smooth luma and chroma ramps moving right and down
    yuv_pattern_noise = 1,      // independent seeded noise in every sample of every picture
    yuv_pattern_shapes = 2,     // moving rectangle and disc over a textured, still background
    yuv_pattern_scene_cut = 3,  // moving gradient, then from `cut_picture` on a different scene
};

struct yuv_gen_params {
    int width;
    int height;
    int pattern;      // a yuv_pattern value
    uint32_t seed;    // varies noise, shape colours and speeds
    int cut_picture;  // scene cut: index of the first picture of the second scene
};

// Chroma plane width and height for a luma size (rounded up for odd sizes).
int yuv_chroma_width(int width);
int yuv_chroma_height(int height);
// Bytes of one packed picture.
size_t yuv_picture_bytes(int width, int height);

// Fills `out` (yuv_picture_bytes bytes) with picture `index` of the sequence.
void yuv_gen_picture(const yuv_gen_params *params, int index, uint8_t *out);
// Pictures first .. first + count - 1, packed one after another.
std::vector<uint8_t> yuv_gen_sequence(const yuv_gen_params *params, int first, int count);

// "YUV4MPEG2 W%d H%d F%d:%d Ip A1:1 C420\n"
std::string y4m_header_line(int width, int height, int fps_num, int fps_den);

// Raw file: the pictures back to back. Returns false when the file cannot be
// written completely.
bool yuv_write_raw(const std::string &path, const yuv_gen_params *params, int count);
// YUV4MPEG2 file with the standard header and "FRAME\n" before each picture.
bool yuv_write_y4m(const std::string &path, const yuv_gen_params *params, int count,
                   int fps_num, int fps_den);
// YUV4MPEG2 file with any header line and frame line (both written as given,
// newline included), for tests of malformed headers and FRAME lines. The
// pictures are those of yuv_gen_sequence for the params' size.
bool yuv_write_y4m_custom(const std::string &path, const std::string &header,
                          const std::string &frame_line, const yuv_gen_params *params,
                          int count);

// Writes the bytes to a file, replacing it; false on any failure.
bool write_file_bytes(const std::string &path, const void *data, size_t size);
// Reads a whole file; false when it cannot be opened or read.
bool read_file_bytes(const std::string &path, std::vector<uint8_t> *out);
