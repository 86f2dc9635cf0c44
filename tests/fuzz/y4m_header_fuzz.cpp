// libFuzzer target for the YUV4MPEG2 reader: the header parser and the FRAME
// line check over arbitrary bytes, and the size and rate guesses from a name.
#include <cstdint>
#include <cstring>
#include <string>

#include "app/input_format.h"
#include "app/y4m_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    y4m_header h;
    (void)y4m_parse_header(data, size, &h);   // a refused header still fills what it read
    if (h.header_length > 0 && (size_t)h.header_length <= size) {
        char error[192];
        y4m_check_frame_line(data + h.header_length, size - (size_t)h.header_length, 0, error, sizeof(error));
    }
    // The same bytes as a file name (up to the first NUL).
    std::string name((const char *)data, strnlen((const char *)data, size));
    int w, hgt, num, den;
    size_from_file_name(name.c_str(), &w, &hgt);
    fps_from_file_name(name.c_str(), &num, &den);
    compat_from_output_name(name.c_str());
    return 0;
}
