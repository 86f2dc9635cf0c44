#pragma once
// What the front end knows about its input before opening it: picture size,
// frame rate and compatibility, from the options, a YUV4MPEG2 header, the
// file names, or the defaults (with a warning each).
//
// The fields map one to one onto the encoder's parameter record: width,
// height, fps_num, fps_den and compat are copied into the `public_param`
// fields of the same names once the guesses are done.
#include <cstdint>

struct input_format {
    int width;          // luma samples
    int height;
    int fps_num;        // frame rate numerator / denominator
    int fps_den;
    int compat;         // HM compatibility version x 10 (91, 100, 110, 120)
    int size_given;     // set by "-s"; the y4m header sets it too
    int fps_given;      // set by "-r"; the y4m header sets it too
    int compat_given;   // set by "--compat"
    int is_y4m;         // the input is read as YUV4MPEG2
    int header_length;  // bytes before the first FRAME line (0 for raw input)
};

// The encoder's defaults: 1920x1080, 25/1, compatibility 120, nothing given.
void input_format_defaults(input_format *fmt);

// 1 when the name ends in y4m (any case): such inputs are read as YUV4MPEG2.
int input_is_y4m_name(const char *name);
// The part of a path after its last '/' (else after its last '\\').
const char *path_base_name(const char *name);
// "<W>x<H>" in a file's base name (e.g. foreman_352x288.yuv). Returns 1 and
// the size when found.
int size_from_file_name(const char *name, int *width, int *height);
// "<rate>fps" in a file's base name (e.g. clip_29.97fps.yuv). Returns 1 and
// the rate as a fraction when found.
int fps_from_file_name(const char *name, int *num, int *den);
// Compatibility from an output name ending ".hm" and two digits (any case):
// .hm12 -> 120, .hm91 -> 91. Returns 0 when the name does not say.
int compat_from_output_name(const char *name);

// Works out what the input does not say: reads the YUV4MPEG2 header of a
// .y4m input, then guesses size and frame rate from the input name and the
// compatibility from the output name (output_name may be NULL). Prints the
// warnings on stdout and errors on stderr. Returns 0, or the program's exit
// code for a refused header (9 or 10).
int input_guess_format(input_format *fmt, const char *input_name, const char *output_name);

// Opens the input for reading without waiting: a FIFO without a writer would
// otherwise block the open for ever. Returns the descriptor of a regular file
// and its size, input_not_opened when it cannot be opened, or
// input_not_regular (nothing left open) for a FIFO, a device or a folder.
enum { input_not_opened = -1, input_not_regular = -2 };
int input_open_regular(const char *name, int64_t *size);
