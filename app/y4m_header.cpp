#include "app/y4m_header.h"

#include <cstdio>
#include <cstring>

int y4m_has_signature(const uint8_t *data, size_t size)
{
    return size >= 10 && std::memcmp(data, "YUV4MPEG2 ", 10) == 0;
}

// A strictly decimal, positive-or-zero number filling [p, end), at most
// 2^31 - 1. Returns -1 when the text is not such a number.
static int64_t parse_decimal(const uint8_t *p, const uint8_t *end)
{
    if (p >= end)
        return -1;
    int64_t v = 0;
    for (; p < end; p++) {
        if (*p < '0' || *p > '9')
            return -1;
        v = v * 10 + (*p - '0');
        if (v > 2147483647)
            return -1;
    }
    return v;
}

// Largest width or height accepted; beyond it the picture size no longer
// fits the 32-bit byte counts of a picture.
static const int64_t max_dimension = 16384;

static int set_error(y4m_header *out, int code, const char *text)
{
    std::snprintf(out->error, sizeof(out->error), "%s", text);
    return code;
}

static int parse_dimension(const uint8_t *tag, const uint8_t *end, int *value, y4m_header *out)
{
    int64_t v = parse_decimal(tag + 1, end);
    if (v <= 0 || v > max_dimension || (v & 1)) {
        std::snprintf(out->error, sizeof(out->error),
                      "Error: Unsupported picture size in y4m file: %.*s (width and height "
                      "must be even, from 2 to %d)!\n",
                      (int)(end - tag > 32 ? 32 : end - tag), (const char *)tag,
                      (int)max_dimension);
        return y4m_error_unsupported;
    }
    *value = (int)v;
    return 0;
}

static int parse_rate(const uint8_t *tag, const uint8_t *end, y4m_header *out)
{
    const uint8_t *colon = (const uint8_t *)std::memchr(tag, ':', (size_t)(end - tag));
    int64_t num = colon ? parse_decimal(tag + 1, colon) : -1;
    int64_t den = colon ? parse_decimal(colon + 1, end) : -1;
    // "F0:0" means an unknown rate; anything else needs two positive terms.
    if (num == 0 && den == 0)
        return 0;
    if (num <= 0 || den <= 0) {
        std::snprintf(out->error, sizeof(out->error),
                      "Error: Invalid frame rate in y4m file: %.*s!\n",
                      (int)(end - tag > 32 ? 32 : end - tag), (const char *)tag);
        return y4m_error_parameter;
    }
    out->fps_num = (int)num;
    out->fps_den = (int)den;
    return 0;
}

// 4:2:0 colour spaces differ only in chroma siting, which does not change
// the layout; every other value (4:2:2, 4:4:4, more than 8 bits) would be
// read with the wrong layout.
static int colour_space_ok(const uint8_t *tag, const uint8_t *end)
{
    static const char *const accepted[] = {"C420", "C420jpeg", "C420paldv", "C420mpeg2"};
    size_t n = (size_t)(end - tag);
    for (const char *a : accepted)
        if (n == std::strlen(a) && std::memcmp(tag, a, n) == 0)
            return 1;
    return 0;
}

static int parse_tag(const uint8_t *tag, const uint8_t *end, y4m_header *out)
{
    switch (tag[0]) {
    case 'W':
        return parse_dimension(tag, end, &out->width, out);
    case 'H':
        return parse_dimension(tag, end, &out->height, out);
    case 'F':
        return parse_rate(tag, end, out);
    case 'I':
        if (end - tag < 2 || tag[1] != 'p')
            return set_error(out, y4m_error_unsupported, "Error: Unsupported interlacing!\n");
        return 0;
    case 'A':
        out->aspect_tag = 1;
        return 0;
    case 'C':
        if (!colour_space_ok(tag, end))
            return set_error(out, y4m_error_unsupported, "Error: Unsupported color space!\n");
        return 0;
    case 'X':
        return 0;
    default: {
        char c = (tag[0] >= 0x21 && tag[0] < 0x7f) ? (char)tag[0] : '?';
        std::snprintf(out->error, sizeof(out->error),
                      "Error: Unsupported parameter in y4m file : %c!\n", c);
        return y4m_error_parameter;
    }
    }
}

int y4m_parse_header(const uint8_t *data, size_t size, y4m_header *out)
{
    std::memset(out, 0, sizeof(*out));
    if (!y4m_has_signature(data, size))
        return set_error(out, y4m_error_parameter,
                         "Error: y4m file does not begin with \"YUV4MPEG2 \"!\n");
    size_t scan = size < (size_t)y4m_max_header_length ? size : (size_t)y4m_max_header_length;
    const uint8_t *line_end = (const uint8_t *)std::memchr(data, '\n', scan);
    if (!line_end) {
        if (size >= (size_t)y4m_max_header_length) {
            std::snprintf(out->error, sizeof(out->error),
                          "Error: y4m header is longer than %d bytes!\n", y4m_max_header_length);
            return y4m_error_parameter;
        }
        return set_error(out, y4m_error_parameter,
                         "Error: y4m header is not ended by a line feed!\n");
    }
    out->header_length = (int)(line_end - data) + 1;
    // A DOS line end would fail on the last tag, whose message would print
    // the carriage return raw.
    if (line_end[-1] == '\r')
        return set_error(out, y4m_error_parameter,
                         "Error: y4m header line ends in a carriage return (CR LF); it must end in a line "
                         "feed alone!\n");
    const uint8_t *p = data + 9;  // after "YUV4MPEG2"
    while (p < line_end) {
        if (*p == ' ') {
            p++;
            continue;
        }
        const uint8_t *tag_end = p;
        while (tag_end < line_end && *tag_end != ' ')
            tag_end++;
        int code = parse_tag(p, tag_end, out);
        if (code)
            return code;
        p = tag_end;
    }
    return 0;
}

int y4m_check_frame_line(const uint8_t *data, size_t size, int index, char *error,
                         size_t error_size)
{
    if (size >= 6 && std::memcmp(data, "FRAME\n", 6) == 0)
        return 0;
    if (size >= 6 && std::memcmp(data, "FRAME", 5) == 0 && (data[5] == ' ' || data[5] == '\t'))
        std::snprintf(error, error_size,
                      "Error: Unsupported parameters in the FRAME line of picture %d of the y4m "
                      "file!\n",
                      index);
    else
        std::snprintf(error, error_size,
                      "Error: picture %d of the y4m file does not begin with a FRAME line (is "
                      "the picture size right?)!\n",
                      index);
    return y4m_error_parameter;
}
