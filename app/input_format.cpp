#include "app/input_format.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/rational.h"
#include "app/y4m_header.h"

void input_format_defaults(input_format *fmt)
{
    std::memset(fmt, 0, sizeof(*fmt));
    fmt->width = 1920;
    fmt->height = 1080;
    fmt->fps_num = 25;
    fmt->fps_den = 1;
    fmt->compat = 120;
}

int input_is_y4m_name(const char *name)
{
    size_t n = std::strlen(name);
    return n >= 3 && (name[n - 3] == 'y' || name[n - 3] == 'Y') && name[n - 2] == '4'
        && (name[n - 1] == 'm' || name[n - 1] == 'M');
}

const char *path_base_name(const char *name)
{
    const char *slash = std::strrchr(name, '/');
    if (!slash)
        slash = std::strrchr(name, '\\');
    return slash ? slash + 1 : name;
}

// Reads "<digits><one char><digits>" at p into two positive ints.
static int read_size_pair(const char *p, int *width, int *height)
{
    char *end;
    long w = std::strtol(p, &end, 10);
    if (end == p || !*end)
        return 0;
    const char *q = end + 1;
    if (!std::isdigit((unsigned char)*q))
        return 0;
    long h = std::strtol(q, &end, 10);
    // Out-of-range values are kept (clamped), so that opening the input
    // refuses them instead of a default size being used silently.
    *width = (int)(w > 2147483647L ? 2147483647L : w);
    *height = (int)(h > 2147483647L ? 2147483647L : h);
    return 1;
}

static int size_with_separator(const char *base, char sep, int *width, int *height)
{
    const char *p = base;
    while ((p = std::strchr(p, sep)) != nullptr) {
        const char *first = p;
        while (first > base && std::isdigit((unsigned char)first[-1]))
            first--;
        const char *after = p + 1;
        while (std::isdigit((unsigned char)*after))
            after++;
        if (first < p && after > p + 1 && read_size_pair(first, width, height))
            return 1;
        p = after;
    }
    return 0;
}

int size_from_file_name(const char *name, int *width, int *height)
{
    const char *base = path_base_name(name);
    return size_with_separator(base, 'x', width, height)
        || size_with_separator(base, 'X', width, height);
}

int fps_from_file_name(const char *name, int *num, int *den)
{
    const char *base = path_base_name(name);
    for (const char *p = std::strstr(base, "fps"); p; p = std::strstr(p + 1, "fps")) {
        const char *first = p;
        while (first > base && (std::isdigit((unsigned char)first[-1]) || first[-1] == '.'))
            first--;
        if (first == p)
            continue;
        std::string run(first, (size_t)(p - first));
        char *end;
        double rate = std::strtod(run.c_str(), &end);
        if (end == run.c_str())
            continue;
        uint64_t r = double_to_rational(rate);
        if (rational_num(r) <= 0 || rational_den(r) <= 0)
            continue;
        *num = rational_num(r);
        *den = rational_den(r);
        return 1;
    }
    return 0;
}

int compat_from_output_name(const char *name)
{
    if (!name)
        return 0;
    size_t n = std::strlen(name);
    if (n < 5)
        return 0;
    const char *t = name + n - 5;
    if (t[0] != '.' || std::tolower((unsigned char)t[1]) != 'h'
        || std::tolower((unsigned char)t[2]) != 'm' || !std::isdigit((unsigned char)t[3])
        || !std::isdigit((unsigned char)t[4]))
        return 0;
    int v = (t[3] - '0') * 10 + (t[4] - '0');
    if (v >= 60)
        return v;
    return 10 * v;
}

int input_open_regular(const char *name, int64_t *size)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return input_not_opened;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return input_not_regular;
    }
    *size = st.st_size;
    return fd;
}

// Reads up to `size` bytes from the start of a regular file.
static size_t read_head(int fd, uint8_t *head, size_t size)
{
    size_t n = 0;
    while (n < size) {
        ssize_t got = pread(fd, head + n, size - n, (off_t)n);
        if (got <= 0)
            break;
        n += (size_t)got;
    }
    return n;
}

// Reads the start of a .y4m input and applies its header. Returns 0 or the
// exit code of a refused header.
static int apply_y4m_header(input_format *fmt, const char *input_name)
{
    int64_t file_size;
    int fd = input_open_regular(input_name, &file_size);
    if (fd < 0)
        return 0;  // read as raw; opening the input reports the failure
    std::vector<uint8_t> head(y4m_max_header_length);
    size_t n = read_head(fd, head.data(), head.size());
    close(fd);
    if (!y4m_has_signature(head.data(), n)) {
        std::printf("Warning: input file extension is y4m, but the file content is not y4m! "
                    "Input file will be handled as YUV.\n");
        return 0;
    }
    y4m_header h;
    int code = y4m_parse_header(head.data(), n, &h);
    if (h.aspect_tag)
        std::printf("Warning: aspect ratio parameter is unsupported and ignored.\n");
    if (code) {
        std::fflush(stdout);
        std::fputs(h.error, stderr);
        return code;
    }
    fmt->is_y4m = 1;
    fmt->header_length = h.header_length;
    if (h.width > 0) {
        if (h.width != fmt->width)
            std::printf("Warning: the width is changed from %d to %d according to y4m file.\n",
                        fmt->width, h.width);
        fmt->width = h.width;
        fmt->size_given = 1;
    }
    if (h.height > 0) {
        if (h.height != fmt->height)
            std::printf("Warning: the height is changed from %d to %d according to y4m file.\n",
                        fmt->height, h.height);
        fmt->height = h.height;
        fmt->size_given = 1;
    }
    if (h.fps_num > 0) {
        // Compare the fractions, not their terms: 50/2 is the same rate as 25/1.
        if ((int64_t)h.fps_num * fmt->fps_den != (int64_t)fmt->fps_num * h.fps_den)
            std::printf("Warning: the frame rate is changed from %d:%d to %d:%d according to "
                        "y4m file.\n",
                        fmt->fps_num, fmt->fps_den, h.fps_num, h.fps_den);
        fmt->fps_num = h.fps_num;
        fmt->fps_den = h.fps_den;
        fmt->fps_given = 1;
    }
    return 0;
}

int input_guess_format(input_format *fmt, const char *input_name, const char *output_name)
{
    fmt->is_y4m = 0;
    fmt->header_length = 0;
    if (input_is_y4m_name(input_name)) {
        int code = apply_y4m_header(fmt, input_name);
        if (code)
            return code;
    }
    if (!fmt->size_given) {
        if (size_from_file_name(input_name, &fmt->width, &fmt->height))
            fmt->size_given = 1;
        else
            std::printf("Warning: video resolution is not specified! %dx%d will be used.\n",
                        fmt->width, fmt->height);
    }
    if (!fmt->fps_given) {
        if (fps_from_file_name(input_name, &fmt->fps_num, &fmt->fps_den))
            fmt->fps_given = 1;
        else
            std::printf("Warning: frame rate is not specified! %.3ffps will be used.\n",
                        fmt->fps_den ? (double)fmt->fps_num / fmt->fps_den : 0.0);
    }
    if (!fmt->compat_given) {
        int v = compat_from_output_name(output_name);
        if (v > 0)
            fmt->compat = v;
        else
            std::printf("Warning: compatibility is not specified! HM%.1f will be used.\n",
                        fmt->compat / 10.0);
    }
    return 0;
}
