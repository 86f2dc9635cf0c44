#pragma once
// The input pictures, read in place through a read-only memory mapping that
// moves forward in aligned steps: the front end never copies a picture, the
// encoder copies it into its own buffers.
#include <cstddef>
#include <cstdint>

#include "app/input_format.h"

// Default view size and alignment of its file offset.
enum : int64_t {
    input_window_default_size = 0x6000000,   // 96 MiB
    input_window_default_align = 0x100000,   // 1 MiB
    input_release_step = 0x1000000,          // 16 MiB of read pictures given back at a time
};

// Maps `length` bytes of the file at `offset` read-only; NULL on failure
// (errno says why). Replaceable so that tests can make a mapping fail.
typedef const uint8_t *(*input_map_fn)(int fd, int64_t offset, size_t length);

struct input_window {
    int fd;                   // the opened input, -1 when closed
    const uint8_t *view;      // start of the mapped window, NULL when none
    size_t view_length;
    int64_t window_size;      // bytes mapped at a time (a picture always fits)
    int64_t window_align;     // view offsets are multiples of this (of the page size)
    int64_t window_offset;    // file offset of the view
    int64_t position;         // file offset of the next picture (of its FRAME line)
    int64_t released;         // file offset below which the view's pages were given back
    int64_t release_step;     // read bytes given back at a time (a multiple of the page size)
    int64_t end;              // header length + picture count x picture bytes
    int64_t picture_bytes;    // width x height x 3 / 2, plus 6 for YUV4MPEG2
    int64_t file_size;
    int picture_count;        // pictures that will be read (frame limit applied)
    int pictures_read;
    int width, height;
    int is_y4m;
    int header_length;
    input_map_fn map_view;
};

struct input_picture {
    const uint8_t *planes[3];  // Y, U, V inside the mapped view
    int strides[3];            // width, width / 2, width / 2
};

// Prepares a closed window with the default sizes and the system mapping.
void input_window_init(input_window *win);

// 0 when width x height is a picture size the input can be read with
// (positive, even, at most 16384 each); otherwise prints the reason and
// returns the exit code (10 for YUV4MPEG2 input, 1 otherwise: the size came
// from the options, the file name or the defaults).
int input_check_size(int width, int height, int is_y4m);

// Opens the input described by fmt, counts its pictures (a frame limit above
// 0 caps them) and maps the first view. Prints "open input file ... " and
// "done" when loglevel is above 0. Returns 0, or the exit code after printing
// the error: -1 when the file cannot be opened, is empty, holds no picture
// after its YUV4MPEG2 header, ends with a partial picture or cannot be mapped; 9 for a bad FRAME line; 1 or 10 for an
// unusable size (see input_check_size). Nothing is left open on failure.
[[nodiscard]] int input_open(input_window *win, const input_format *fmt, const char *name, int frame_limit,
               int loglevel);

// 1 while pictures remain.
int input_has_picture(const input_window *win);

// Moves the view forward when the next picture would pass its end. Returns
// 0, or -1 after printing the mapping failure.
[[nodiscard]] int input_window_advance(input_window *win);

// The next picture's planes. Returns 0, or the exit code after printing the
// error: -1 for a failed re-map or a file that shrank while being read, 9 for
// a bad FRAME line.
[[nodiscard]] int input_next_picture(input_window *win, input_picture *pic);

// Unmaps the view and closes the file; safe to call twice.
void input_close(input_window *win);
