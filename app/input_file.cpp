#include "app/input_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/y4m_header.h"

static const uint8_t *system_map_view(int fd, int64_t offset, size_t length)
{
    void *p = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, (off_t)offset);
    return p == MAP_FAILED ? nullptr : (const uint8_t *)p;
}

void input_window_init(input_window *win)
{
    std::memset(win, 0, sizeof(*win));
    win->fd = -1;
    win->window_size = input_window_default_size;
    win->window_align = input_window_default_align;
    win->release_step = input_release_step;
    win->map_view = system_map_view;
}

int input_check_size(int width, int height, int is_y4m)
{
    if (width > 0 && height > 0 && !(width & 1) && !(height & 1) && width <= 16384
        && height <= 16384)
        return 0;
    std::fprintf(stderr,
                 "Error: Unsupported picture size %dx%d: width and height must be even, from 2 "
                 "to 16384!\n",
                 width, height);
    return is_y4m ? y4m_error_unsupported : 1;
}

static void unmap_view(input_window *win)
{
    if (win->view)
        munmap((void *)win->view, win->view_length);
    win->view = nullptr;
    win->view_length = 0;
}

// Maps a view that holds the picture at win->position whole: it starts at
// the position rounded down to the alignment and is at least one window long
// (less at the end of the input).
static int map_for_position(input_window *win)
{
    unmap_view(win);
    int64_t offset = win->position - win->position % win->window_align;
    int64_t need = win->position - offset + win->picture_bytes;
    int64_t length = win->window_size > need ? win->window_size : need;
    if (length > win->end - offset)
        length = win->end - offset;
    const uint8_t *view = win->map_view(win->fd, offset, (size_t)length);
    if (!view) {
        std::fprintf(stderr, "File mapping fail, error code %d.\n", errno);
        return -1;
    }
    win->view = view;
    win->view_length = (size_t)length;
    win->window_offset = offset;
    return 0;
}

// The pages of the view before the next picture hold pictures that the
// encoder has already copied: give them back to the page cache, so that the
// resident input stays near a few pictures instead of a whole window. They go
// back in steps of release_step bytes, since every release interrupts
// the threads of the process to flush their address translations. The view
// starts on a page, so every range given back starts on one too.
static void release_read_pages(input_window *win)
{
    if (!win->view)
        return;
    int64_t page = sysconf(_SC_PAGESIZE);
    int64_t from = win->released > win->window_offset ? win->released - win->window_offset : 0;
    int64_t to = win->position - win->window_offset;
    to -= to % page;
    if (to > (int64_t)win->view_length)
        to = (int64_t)win->view_length - (int64_t)win->view_length % page;
    if (to - from < win->release_step)
        return;
    madvise((void *)(win->view + from), (size_t)(to - from), MADV_DONTNEED);
    win->released = win->window_offset + to;
}

int input_window_advance(input_window *win)
{
    if (win->view && win->position + win->picture_bytes
                         <= win->window_offset + (int64_t)win->view_length)
        return 0;
    return map_for_position(win);
}

// Every FRAME line must be exactly "FRAME\n": a line with parameters would
// shift every later picture. Checked before the first picture is handed out,
// so that a bad file is refused before anything is encoded.
static int check_frame_lines(const input_window *win, int first, int count)
{
    for (int i = first; i < count; i++) {
        uint8_t line[y4m_frame_line_length];
        int64_t at = win->header_length + (int64_t)i * win->picture_bytes;
        ssize_t n = pread(win->fd, line, sizeof(line), (off_t)at);
        char error[192];
        if (y4m_check_frame_line(line, n > 0 ? (size_t)n : 0, i, error, sizeof(error))) {
            std::fputs(error, stderr);
            return y4m_error_parameter;
        }
    }
    return 0;
}

// Picture count from the file size; refuses a partial picture that would be
// read (one beyond the frame limit is never read and does not matter).
static int count_pictures(input_window *win, int frame_limit, const char *name)
{
    int64_t avail = win->file_size - win->header_length;
    if (avail < 0)
        avail = 0;
    int64_t whole = avail / win->picture_bytes, rest = avail % win->picture_bytes;
    if (rest && (frame_limit <= 0 || whole < frame_limit)) {
        std::fprintf(stderr,
                     "Error: input file %s ends with a partial picture: %" PRId64
                     " bytes after %" PRId64 " whole pictures of %" PRId64
                     " bytes (is the picture size %dx%d right?)\n",
                     name, rest, whole, win->picture_bytes, win->width, win->height);
        return -1;
    }
    if (frame_limit > 0 && whole > frame_limit)
        whole = frame_limit;
    if (whole > 0x7fffffff)
        whole = 0x7fffffff;
    win->picture_count = (int)whole;
    return 0;
}

static int open_file(input_window *win, const char *name)
{
    int64_t size = 0;
    int fd = input_open_regular(name, &size);
    if (fd == input_not_opened) {
        std::fprintf(stderr, "Can't open input file: %s.\n", name);
        return -1;
    }
    if (fd == input_not_regular) {
        std::fprintf(stderr, "Error: input file %s is not a regular file that can be mapped.\n",
                     name);
        return -1;
    }
    win->fd = fd;
    if (size == 0) {
        std::fprintf(stderr, "Error: input file %s is empty.\n", name);
        return -1;
    }
    win->file_size = size;
    return 0;
}

static int open_steps(input_window *win, const input_format *fmt, const char *name,
                      int frame_limit)
{
    int code = input_check_size(fmt->width, fmt->height, fmt->is_y4m);
    if (code)
        return code;
    if (win->window_align <= 0 || win->window_align % sysconf(_SC_PAGESIZE) != 0) {
        std::fprintf(stderr, "Error: input window alignment %" PRId64
                     " is not a multiple of the page size.\n", win->window_align);
        return -1;
    }
    win->width = fmt->width;
    win->height = fmt->height;
    win->is_y4m = fmt->is_y4m;
    win->header_length = fmt->is_y4m ? fmt->header_length : 0;
    win->picture_bytes = (int64_t)fmt->width * fmt->height * 3 / 2
                       + (fmt->is_y4m ? y4m_frame_line_length : 0);
    if ((code = open_file(win, name)) != 0)
        return code;
    // The first FRAME line is checked before the length: a file whose FRAME
    // lines carry parameters is refused for that, not as a partial picture.
    if (win->is_y4m && win->file_size > win->header_length
        && (code = check_frame_lines(win, 0, 1)) != 0)
        return code;
    if ((code = count_pictures(win, frame_limit, name)) != 0)
        return code;
    // Only a YUV4MPEG2 header can leave no picture (an empty file is refused
    // above, a raw file shorter than a picture as a partial one): the run would
    // empty an existing output and end without a word.
    if (win->picture_count == 0) {
        std::fprintf(stderr, "Error: input file %s holds no picture after its YUV4MPEG2 header.\n", name);
        return -1;
    }
    if (win->is_y4m && (code = check_frame_lines(win, 1, win->picture_count)) != 0)
        return code;
    win->end = win->header_length + (int64_t)win->picture_count * win->picture_bytes;
    win->position = win->header_length;
    win->window_offset = 0;
    win->pictures_read = 0;
    return map_for_position(win);
}

int input_open(input_window *win, const input_format *fmt, const char *name, int frame_limit,
               int loglevel)
{
    if (loglevel > 0) {
        std::printf("open input file ... ");
        std::fflush(stdout);
    }
    int code = open_steps(win, fmt, name, frame_limit);
    if (code) {
        input_close(win);
        return code;
    }
    if (loglevel > 0)
        std::printf("done\n");
    return 0;
}

int input_has_picture(const input_window *win)
{
    return win->fd >= 0 && win->position < win->end;
}

int input_next_picture(input_window *win, input_picture *pic)
{
    if (!input_has_picture(win)) {
        std::fprintf(stderr, "Error: no input picture left to read.\n");
        return -1;
    }
    // A file that shrank under the mapping would fault on access.
    struct stat st;
    if (fstat(win->fd, &st) != 0 || st.st_size < win->end) {
        std::fprintf(stderr, "Error: input file was truncated while being read (%" PRId64
                     " bytes needed).\n", win->end);
        return -1;
    }
    release_read_pages(win);
    if (input_window_advance(win))
        return -1;
    const uint8_t *p = win->view + (win->position - win->window_offset);
    if (win->is_y4m) {
        char error[192];
        if (y4m_check_frame_line(p, y4m_frame_line_length, win->pictures_read, error,
                                 sizeof(error))) {
            std::fputs(error, stderr);
            return y4m_error_parameter;
        }
        p += y4m_frame_line_length;
    }
    size_t luma = (size_t)win->width * win->height;
    pic->planes[0] = p;
    pic->planes[1] = p + luma;
    pic->planes[2] = p + luma + luma / 4;
    pic->strides[0] = win->width;
    pic->strides[1] = win->width / 2;
    pic->strides[2] = win->width / 2;
    win->position += win->picture_bytes;
    win->pictures_read++;
    return 0;
}

void input_close(input_window *win)
{
    unmap_view(win);
    if (win->fd >= 0)
        close(win->fd);
    win->fd = -1;
    win->position = win->end = 0;
}
