// The torvenc front end: command-line options, console texts, the encode and
// flush loops and the reconstruction file. main.cpp only forwards to cli_main;
// everything else lives in the app library so that tests can call it.
#pragma once
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "app/rational.h"
#include "encoder/torvhevcenc.h"

// Exit codes of the program.
enum {
    cli_exit_ok = 0,
    cli_exit_option = 1,       // any option error
    cli_exit_no_input = 2,     // no input name
    cli_exit_file_open = 5,    // output, reconstruction or statistics file cannot be opened
    cli_exit_create = 6,       // torvhevcenc_create failed
    cli_exit_encode = 7,       // torvhevcenc_encode_frame returned a negative value
    cli_exit_write = 8,        // writing the output, reconstruction or statistics file failed
    cli_exit_y4m_tag = 9,      // unknown YUV4MPEG2 header tag
    cli_exit_y4m_format = 10,  // YUV4MPEG2 interlacing or colour space not supported
    cli_exit_input = -1,       // the input cannot be opened or mapped
    cli_exit_signal_base = 128 // plus the signal number
};

// Where the front end reads and prints; the program uses stdin, stdout, stderr.
struct cli_io {
    FILE *in;
    FILE *out;
    FILE *err;
};

// Everything the command line decides: the encoder's record and the front end's
// own settings.
struct cli_settings {
    public_param param;
    const char *input_name;   // NULL: none given
    const char *output_name;  // NULL: no output file
    int frame_limit;          // 0 or less: all pictures
    const char *recon_name;
    const char *stats_name;   // NULL: "two-pass.log"
    int pass;                 // 0, 1 or 2
    int overwrite;            // overwrite an existing reconstruction file without asking
    int size_given;           // these three stop the guesses from the input and output names
    int fps_given;
    int compat_given;
    int wait_flag;
    int size_w, size_h;       // "-s" state: a later "-s 1280" keeps the earlier height
    int rest_first;           // index of the first argument after the output name
};

// The bitrate of "--abr" and "--cbr" without "-b", as the usage text says (kbit/s).
enum { cli_default_bitrate = 1200 };

// Rate-control modes of the parameter record, and what a rate option does to
// the mode: keep it, or a bitrate that keeps CBR and otherwise selects ABR.
enum rc_action { rc_keep = -1, rc_cqp = 0, rc_abr = 1, rc_cbr = 2, rc_crf = 3, rc_bitrate = 4 };

// ---- fractions (app/rational.h has the packing and the rate conversion) ----
// Greatest common divisor by Euclid's remainder loop (b = 0 gives a).
int32_t gcd(int32_t a, int32_t b);

// ---- usage.cpp ----------------------------------------------------------
extern const char cli_banner[];
const char *build_info_string(void);
void version_line(char *buf, size_t size);  // "Ver: 2.8 (r6740)"
void print_usage(FILE *out);                 // the usage lines and two empty lines
void print_banner(FILE *out);                // banner, version line, build line

// ---- options.cpp --------------------------------------------------------
int prescan_options(int argc, char **argv, int *complexity, unsigned *tune, FILE *err);
// Reads an integer prefix the way atoi does (no number gives 0) but clamps to
// the int range instead of overflowing.
int parse_int_prefix(const char *text);
// 1 when the whole text (white space aside) is one decimal integer.
int is_whole_int(const char *text);
// The value parsers of "-s", "--compat", "-r" and "--sar". Each returns 0, or the
// exit code after printing its message on err.
int parse_size(cli_settings *s, const char *value, FILE *err);
int parse_compat(cli_settings *s, const char *value, FILE *err);
int parse_framerate(cli_settings *s, const char *value, FILE *err);
int parse_sar(cli_settings *s, const char *value, FILE *err);
// Full start-up: pre-scan, defaults, option loop, names. Returns 1 when the
// program must end now with *exit_code (help, errors), 0 to go on.
int parse_command_line(int argc, char **argv, cli_settings *s, const cli_io *io, int *exit_code);
// Prints one "Warning: " line naming the arguments from argv[first] on that
// nothing reads (the pre-scan's complexity and tunings are read anywhere).
void print_ignored_arguments(int argc, char **argv, int first, FILE *out);

// ---- settings_table.cpp -------------------------------------------------
void print_settings_table(const cli_settings *s, FILE *out);

// ---- recon_list.cpp -----------------------------------------------------
// Reconstructed pictures come back in coding order; this list holds the ones
// that arrive early so that the file receives them in display (pts) order.
struct recon_node {
    int64_t pts;
    uint64_t size;
    uint8_t *data;  // Y rows, then U rows, then V rows, without stride gaps
    recon_node *next;
};
struct recon_list {
    int64_t next_pts;  // pts of the next picture to write
    recon_node *head;  // held pictures, ascending pts
    FILE *err;         // where write errors are reported
    int failed;        // set by any short write
};
void recon_list_init(recon_list *list, FILE *err);
void recon_list_free(recon_list *list);
int64_t recon_write_frame(recon_list *list, FILE *file, int64_t pts, const uint8_t *const planes[3],
                          const uint32_t strides[3], int width, int height);
int64_t recon_write_pending(recon_list *list, FILE *file, int only_next);
int recon_keep_sorted(recon_list *list, int64_t pts, const uint8_t *const planes[3],
                      const uint32_t strides[3], int width, int height);
int recon_node_new(recon_node **link, uint64_t size);

// ---- output_files.cpp ---------------------------------------------------
// The statistics file's name ("two-pass.log" unless one was given).
const char *stats_file_name(const cli_settings *s);

// The files of a run by device and inode, in the order they are opened, so
// that one file reached under a second name (a hard link, a symlink, a
// dangling symlink whose target the open created, /dev/stdout) is recognised.
enum file_role { role_input, role_output, role_recon, role_stats, role_count };
struct run_files {
    const char *names[role_count];
    int known[role_count];  // 0: not compared (not opened, or a character device)
    dev_t dev[role_count];
    ino_t ino[role_count];
};
// Takes the input, already opened and checked as a regular file, as the first
// file of the run.
void run_files_init(run_files *files, const char *input_name);
// Refuses, with a message and exit code 5, the file just opened on fd in this
// role when it is the input, a file opened before it, or the file of the
// console's standard output or error (which would receive the console text).
// Character devices such as /dev/null may take several streams at once.
int run_files_admit(run_files *files, int role, const char *name, int fd, const cli_io *io);
// Removes the file this run created in the role (the target of a symlink, not
// the link), unless another file has taken its place.
void run_files_remove(const run_files *files, int role);

enum { open_ok = 0, open_failed = -1, open_not_regular = -2 };
// Opens a file for binary writing without truncating it; *created tells
// whether this call made it. With regular_only, a FIFO is not waited for and
// anything but a regular file gives open_not_regular. open_failed leaves the
// reason in errno.
[[nodiscard]] int open_for_writing(const char *name, int regular_only, FILE **file, int *created);
// Truncates a regular file to 0 bytes (other kinds, and NULL, are left alone).
// 0, or -1 with errno.
int empty_regular_file(FILE *f);

// ---- encode_loop.cpp ----------------------------------------------------
// The four encoder calls the loops make, as a table so that tests can drive the
// loops with a scripted encoder.
struct encoder_api {
    torvhevcenc_encoder *(*create)(public_param *param);
    int (*encode_frame)(torvhevcenc_encoder *enc, const uint32_t *strides,
                        const uint8_t *const *planes, int64_t pts, frame_info *info,
                        const uint8_t **au, int64_t *out_pts, uint32_t *out_strides,
                        const uint8_t **out_planes, float *psnr, float *mean_qp);
    int (*pending_frames)(torvhevcenc_encoder *enc);
    void (*close)(torvhevcenc_encoder *enc);
};
extern const encoder_api library_encoder_api;

// Source of pictures for the encode loop: next() gives the three planes and
// strides of the next picture and returns 1, or returns 0 at the end and -1 when
// the input failed (message already printed, exit code in *exit_code).
struct picture_source {
    int (*next)(void *ctx, const uint8_t *planes[3], uint32_t strides[3], int *exit_code);
    void *ctx;
};

const char *picture_type_name(int type);
// The whole regular file as text ended by a NUL; NULL when it cannot be
// opened or read, or (errno EINVAL) is not a regular file, which is not waited for.
[[nodiscard]] char *load_text_file(const char *name);
void on_sigint(int signal_number);
// Stop flag and signal number that on_sigint writes (reset by run_encoder).
extern volatile sig_atomic_t cli_stop_flag;
extern volatile sig_atomic_t cli_signal_number;

// Opens the output, reconstruction and statistics files, creates the encoder,
// runs the encode and flush loops, closes everything and prints the summary.
// Returns the exit code.
[[nodiscard]] int run_encoder(cli_settings *s, const encoder_api *api, picture_source *src, const cli_io *io);

// ---- process_setup.cpp ----------------------------------------------------
// Makes the process safe to run from any shell before a file is opened: a
// closed standard descriptor is opened on /dev/null, and SIGPIPE is ignored.
// Returns 0, or the exit code after printing why it could not.
int prepare_process(void);

// ---- cli_main.cpp -------------------------------------------------------
int cli_main(int argc, char **argv, const encoder_api *api, const cli_io *io);
