#pragma once
// YUV4MPEG2 header and FRAME-line parsing, as pure functions over bytes so
// that they can be fed arbitrary input (fuzzing) without files or output.
#include <cstddef>
#include <cstdint>

// Longest header line accepted, line feed included.
enum { y4m_max_header_length = 1024 };

// Exit codes of the program for refused YUV4MPEG2 input.
enum {
    y4m_error_parameter = 9,     // unknown tag, malformed value, header or FRAME line
    y4m_error_unsupported = 10,  // interlacing, colour space or picture size we cannot code
};

struct y4m_header {
    int width;          // W tag; 0 when absent
    int height;         // H tag; 0 when absent
    int fps_num;        // F tag; both 0 when absent or "F0:0" (unknown rate)
    int fps_den;
    int aspect_tag;     // 1 when an A tag was seen (it is ignored)
    int header_length;  // bytes up to and including the header's line feed
    char error[192];    // what went wrong, one line ending in '\n' ("" on success)
};

// 1 when the bytes begin with "YUV4MPEG2 ".
int y4m_has_signature(const uint8_t *data, size_t size);

// Parses the header line at the start of data[0..size). Returns 0, or
// y4m_error_parameter / y4m_error_unsupported with out->error filled.
// Fields seen before an error stay filled.
[[nodiscard]] int y4m_parse_header(const uint8_t *data, size_t size, y4m_header *out);

// Checks the FRAME line of picture `index` at data[0..size): it must be
// exactly "FRAME\n" (6 bytes), since pictures are located at fixed offsets.
// Returns 0, or y4m_error_parameter with `error` filled.
int y4m_check_frame_line(const uint8_t *data, size_t size, int index, char *error,
                         size_t error_size);

// Bytes of one YUV4MPEG2 FRAME line as this reader expects it.
enum { y4m_frame_line_length = 6 };
