// The encoding run: output, reconstruction and statistics files, the encoder,
// the encode loop (one picture per call), the flush loop (drain), and the end of
// the run with its timing summary. SIGINT, SIGTERM and SIGHUP stop the loops
// but never the closing.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <unistd.h>

#include "app/cli.h"
#include "app/input_format.h"
#include "encoder/platform/platform.h"

volatile sig_atomic_t cli_stop_flag = 0;
volatile sig_atomic_t cli_signal_number = -1;

// SIGTERM and SIGHUP stop the run as SIGINT does: their default action would
// end the program with the output cut inside an access unit.
static const int stop_signals[3] = {SIGINT, SIGTERM, SIGHUP};

void on_sigint(int signal_number)
{
    cli_signal_number = signal_number;
    cli_stop_flag = 1;
}

const encoder_api library_encoder_api = {torvhevcenc_create, torvhevcenc_encode_frame,
                                         torvhevcenc_pending_frames, torvhevcenc_close};

const char *picture_type_name(int type)
{
    static const char *const names[7] = {"auto", "IDR ", "CDR ", "I   ", "P   ", "Bref", "B   "};
    return type >= 0 && type < 7 ? names[type] : "?   ";
}

char *load_text_file(const char *name)
{
    // Opened without waiting: a FIFO without a writer would block for ever.
    int64_t file_size;
    int fd = input_open_regular(name, &file_size);
    if (fd == input_not_regular)
        errno = EINVAL;
    FILE *f = fd >= 0 ? fdopen(fd, "rb") : NULL;
    if (!f) {
        if (fd >= 0)
            close(fd);
        return NULL;
    }
    size_t size = 0, capacity = 4096;
    char *text = (char *)std::malloc(capacity);
    while (text) {
        size_t got = fread(text + size, 1, capacity - size - 1, f);
        size += got;
        if (size + 1 < capacity)
            break;
        char *bigger = (char *)std::realloc(text, capacity * 2);
        if (!bigger) {
            std::free(text);
            text = NULL;
            break;
        }
        text = bigger;
        capacity *= 2;
    }
    int read_error = ferror(f);
    fclose(f);
    if (text && read_error) {
        std::free(text);
        return NULL;
    }
    if (text)
        text[size] = '\0';
    return text;
}

// CPU time of the whole process (all threads), in microseconds. On Linux
// clock() measures the same; the "CPU" row of the summary therefore shows the
// processor time every encoder thread spent, and its fps the pictures per
// processor-second, which tells how efficiently the threads work next to the
// "Real" row's wall-clock figures.
static int64_t process_cpu_us(void)
{
    timespec ts;
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts) != 0)
        return 0;
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

struct run_state {
    cli_settings *s;
    const encoder_api *api;
    const cli_io *io;
    FILE *output;
    FILE *recon;
    FILE *stats;
    run_files files;   // identities of the input and the opened files
    int output_created, recon_created, stats_created;  // made by this run
    int files_emptied;     // the files were emptied for writing once the encoder existed
    char *pass1_buffer;
    char *pass2_text;
    torvhevcenc_encoder *enc;
    recon_list held;
    int64_t submitted;     // also the pts of the next picture
    int64_t returned;      // access units
    uint64_t total_bytes;
    uint64_t start_us;
    int64_t start_cpu_us;
};

enum { pass1_buffer_size = 1024 };

static int verbose(const run_state *r)
{
    return r->s->param.loglevel > 0;
}

static void announce(const run_state *r, const char *what)
{
    if (verbose(r)) {
        fprintf(r->io->out, "%s", what);
        fflush(r->io->out);
    }
}

static void announce_done(const run_state *r)
{
    if (verbose(r))
        fprintf(r->io->out, "done\n");
}

static int system_error(const run_state *r, const char *prefix, int code)
{
    fprintf(r->io->err, "%s: %s\n", prefix, std::strerror(errno ? errno : EIO));
    return code;
}

static int answer_is_yes(const char *answer)
{
    while (*answer == ' ' || *answer == '\t')
        answer++;
    size_t len = std::strcspn(answer, " \t\r\n");
    return (len == 3 && strncasecmp(answer, "yes", 3) == 0) || (len == 1 && (*answer == 'y' || *answer == 'Y'));
}

// A reconstruction file that existed before this run is replaced only with
// "-y" or a "Yes" answer.
static int may_overwrite_recon(run_state *r)
{
    const char *name = r->s->recon_name;
    if (r->s->overwrite || r->recon_created)
        return 1;
    if (!verbose(r)) {
        fprintf(r->io->err, "reconstruction file '%s' exist!\n", name);
        return 0;
    }
    fprintf(r->io->out, "\nreconstruction file '%s' exist, overwrite it (Yes/No):", name);
    fflush(r->io->out);
    char answer[64];
    if (r->io->in && fgets(answer, sizeof(answer), r->io->in) && answer_is_yes(answer))
        return 1;
    fprintf(r->io->err, "reconstruction file '%s' exist!\n", name);
    return 0;
}

// Statistics are read and written as files; a FIFO (the default name
// included) would block the run before it starts.
static int refuse_irregular_stats(const run_state *r, const char *name)
{
    fprintf(r->io->err, "Error: statistics file %s is not a regular file.\n", name);
    return cli_exit_file_open;
}

// Opens a file to write in one role and checks it against the files before it.
static int open_written_file(run_state *r, int role, const char *name, int regular_only, FILE **file,
                             int *created, const char *prefix)
{
    errno = 0;
    int rc = open_for_writing(name, regular_only, file, created);
    if (rc == open_not_regular)
        return refuse_irregular_stats(r, name);
    if (rc != open_ok)
        return system_error(r, prefix, cli_exit_file_open);
    return run_files_admit(&r->files, role, name, fileno(*file), r->io);
}

// The second pass's statistics must be a regular file other than the files
// this run writes (the output is not emptied yet, but would be).
static int check_stats_to_read(run_state *r, const char *name)
{
    int64_t size;
    errno = 0;
    int fd = input_open_regular(name, &size);
    if (fd == input_not_regular)
        return refuse_irregular_stats(r, name);
    if (fd < 0)
        return system_error(r, "open stats file", cli_exit_file_open);
    int rc = run_files_admit(&r->files, role_stats, name, fd, r->io);
    close(fd);
    return rc;
}

static int open_stats(run_state *r)
{
    cli_settings *s = r->s;
    const char *name = stats_file_name(s);
    errno = 0;
    if (s->pass == 1) {
        s->param.pass1 = 1;
        r->pass1_buffer = (char *)std::calloc(1, pass1_buffer_size);
        s->param.pass1_stats_buffer = r->pass1_buffer;
        if (!r->pass1_buffer)
            return system_error(r, "open stats file", cli_exit_file_open);
        return open_written_file(r, role_stats, name, 1, &r->stats, &r->stats_created, "open stats file");
    }
    if (s->pass == 2) {
        s->param.pass2 = 1;
        int rc = check_stats_to_read(r, name);
        if (rc)
            return rc;
        errno = 0;
        r->pass2_text = load_text_file(name);
        s->param.pass2_stats = r->pass2_text;
        if (!r->pass2_text)
            return system_error(r, "open stats file", cli_exit_file_open);
    }
    return 0;
}

// Empties the files that already existed, now that the encoder exists.
static int empty_files(run_state *r)
{
    errno = 0;
    if (empty_regular_file(r->output) != 0)
        return system_error(r, "open output file", cli_exit_file_open);
    if (empty_regular_file(r->recon) != 0)
        return system_error(r, "open reconstruction file", cli_exit_file_open);
    if (empty_regular_file(r->stats) != 0)
        return system_error(r, "open stats file", cli_exit_file_open);
    r->files_emptied = 1;
    return 0;
}

// A run that ends before the encoder exists takes back the files it created.
static void remove_created_files(const run_state *r)
{
    if (r->files_emptied)
        return;
    if (r->output_created)
        run_files_remove(&r->files, role_output);
    if (r->recon_created)
        run_files_remove(&r->files, role_recon);
    if (r->stats_created)
        run_files_remove(&r->files, role_stats);
}

// Files are opened without being truncated; empty_files does that once the
// encoder has been created. An output or reconstruction FIFO waits here for
// its reader, as any program writing to one does.
static int open_files(run_state *r)
{
    const cli_settings *s = r->s;
    int rc;
    run_files_init(&r->files, s->input_name);
    if (s->output_name) {
        announce(r, "open output file ... ");
        rc = open_written_file(r, role_output, s->output_name, 0, &r->output, &r->output_created,
                               "open output file");
        if (rc)
            return rc;
        announce_done(r);
    }
    if (s->recon_name) {
        announce(r, "open reconstruction file ... ");
        rc = open_written_file(r, role_recon, s->recon_name, 0, &r->recon, &r->recon_created,
                               "open reconstruction file");
        if (rc)
            return rc;
        if (!may_overwrite_recon(r))
            return cli_exit_file_open;
        announce_done(r);
    }
    rc = open_stats(r);
    if (rc)
        return rc;
    announce(r, "create torvane hevc encoder ... ");
    r->enc = r->api->create(&r->s->param);
    if (!r->enc) {
        fprintf(r->io->err, "call torvhevcenc_create failed!\n");
        return cli_exit_create;
    }
    announce_done(r);
    return empty_files(r);
}

static double seconds_since(uint64_t start_us)
{
    return (double)(time_now_us() - start_us) / 1e6;
}

static void print_rates(const run_state *r)
{
    const public_param *p = &r->s->param;
    double real = seconds_since(r->start_us);
    double fps = real > 0 ? (double)r->returned / real : 0.0;
    int64_t duration_ms = p->fps_num > 0 ? r->returned * (int64_t)p->fps_den * 1000 / p->fps_num : 0;
    double kbps = duration_ms > 0 ? (double)r->total_bytes * 8 / (double)duration_ms : 0.0;
    fprintf(r->io->out, ", fps %.2f, bitrate %.1fkbps\n", fps, kbps);
}

// Writes the reconstruction of one returned access unit, or keeps it until the
// pictures before it in display order have been written.
static int write_reconstruction(run_state *r, int64_t pts, const uint8_t *const planes[3],
                                const uint32_t strides[3])
{
    int width = r->s->param.width, height = r->s->param.height;
    int64_t w = recon_write_frame(&r->held, r->recon, pts, planes, strides, width, height);
    if (w == 0) {
        if (recon_keep_sorted(&r->held, pts, planes, strides, width, height)) {
            // Dropping it would leave a gap in the file that nobody notices.
            fprintf(r->io->err, "[frame %" PRId64 "] reconstruct picture cannot be kept: out of memory\n", pts);
            return cli_exit_write;
        }
        return 0;
    }
    while (recon_write_pending(&r->held, r->recon, 1) != 0) {
    }
    return r->held.failed ? cli_exit_write : 0;
}

// What the encode and the flush loops do with each access unit of n bytes:
// report it, write it with its statistics line and its reconstruction, count it.
static int handle_access_unit(run_state *r, int n, const uint8_t *au, int64_t out_pts, const frame_info *info,
                              const uint32_t out_strides[3], const uint8_t *const out_planes[3])
{
    if (verbose(r)) {
        fprintf(r->io->out, ", got %4" PRId64 ", %s, size %7dB", out_pts, picture_type_name(info->type), n);
        fflush(r->io->out);
    }
    errno = 0;
    if (r->output && fwrite(au, 1, (size_t)n, r->output) != (size_t)n)
        return system_error(r, "write output file", cli_exit_write);
    if (r->stats && r->pass1_buffer) {
        size_t len = strnlen(r->pass1_buffer, pass1_buffer_size);
        errno = 0;
        if (fwrite(r->pass1_buffer, 1, len, r->stats) != len)
            return system_error(r, "write stats file", cli_exit_write);
        r->pass1_buffer[0] = '\0';
    }
    if (r->recon) {
        int rc = write_reconstruction(r, out_pts, out_planes, out_strides);
        if (rc)
            return rc;
    }
    r->returned++;
    r->total_bytes += (uint64_t)n;
    if (verbose(r))
        print_rates(r);
    return 0;
}

static frame_info fresh_frame_info(void)
{
    frame_info info;
    info.size = sizeof(frame_info);
    info.type = 0;
    info.user_hi = 0;
    info.user_lo = 0;
    return info;
}

// One encoder call with its outputs; planes NULL drains.
static int encode_call(run_state *r, const uint32_t *strides, const uint8_t *const *planes, int64_t pts,
                       int flushing)
{
    frame_info info = fresh_frame_info();
    const uint8_t *au = NULL;
    int64_t out_pts = 0;
    uint32_t out_strides[3] = {0, 0, 0};
    const uint8_t *out_planes[3] = {NULL, NULL, NULL};
    float psnr[4];
    float mean_qp;
    int n = r->api->encode_frame(r->enc, strides, planes, pts, &info, &au, &out_pts, out_strides, out_planes,
                                 psnr, &mean_qp);
    if (n < 0) {
        fprintf(r->io->err, "torvhevcenc_encode_frame failed! ret=%d\n", n);
        return cli_exit_encode;
    }
    if (n == 0) {
        if (verbose(r) && !flushing)
            fprintf(r->io->out, "\n");
        return 0;
    }
    if (verbose(r) && flushing)
        fprintf(r->io->out, "flush      ");
    return handle_access_unit(r, n, au, out_pts, &info, out_strides, out_planes);
}

static int encode_loop(run_state *r, picture_source *src)
{
    if (cli_stop_flag)
        return 0;
    for (;;) {
        const uint8_t *planes[3];
        uint32_t strides[3];
        int exit_code = 0;
        int got = src->next(src->ctx, planes, strides, &exit_code);
        if (got < 0)
            return exit_code;
        if (got == 0)
            return 0;
        if (verbose(r)) {
            fprintf(r->io->out, "encode %4d", (int)r->submitted);
            fflush(r->io->out);
        }
        int rc = encode_call(r, strides, planes, r->submitted, 0);
        r->submitted++;
        if (rc)
            return rc;
        if (cli_stop_flag)
            return 0;
    }
}

static int flush_loop(run_state *r)
{
    while (!cli_stop_flag && r->api->pending_frames(r->enc) != 0) {
        int rc = encode_call(r, NULL, NULL, 0, 1);
        if (rc)
            return rc;
    }
    return 0;
}

// Closes a written file; a failed final flush is a write error too.
static int close_written(run_state *r, FILE **file, const char *prefix, int rc)
{
    if (!*file)
        return rc;
    errno = 0;
    int failed = fflush(*file) != 0 || ferror(*file);
    if (fclose(*file) != 0)
        failed = 1;
    *file = NULL;
    if (failed && rc == 0)
        return system_error(r, prefix, cli_exit_write);
    return rc;
}

static void print_summary(const run_state *r, uint64_t end_us, int64_t end_cpu_us)
{
    int64_t cpu_ms = (end_cpu_us - r->start_cpu_us) / 1000;
    double real = (double)(end_us - r->start_us) / 1e6;
    double cpu_fps = cpu_ms > 0 ? (double)r->returned * 1000 / (double)cpu_ms : 0.0;
    double real_fps = real > 0 ? (double)r->returned / real : 0.0;
    fprintf(r->io->out, "%d frame encoded\n\ttime\tfps\nCPU\t%" PRId64 "ms\t%.2f\nReal\t%.3fs\t%.2f.\n",
            (int)r->returned, cpu_ms, cpu_fps, real, real_fps);
}

// Close, drain the held reconstructions, close the files. Returns rc, or the
// write error found while closing when rc was 0.
static int finish_run(run_state *r, int rc)
{
    if (r->enc)
        r->api->close(r->enc);
    r->enc = NULL;
    if (r->recon) {
        while (recon_write_pending(&r->held, r->recon, 0) != 0) {
        }
        if (r->held.failed && rc == 0)
            rc = cli_exit_write;
    }
    recon_list_free(&r->held);
    rc = close_written(r, &r->recon, "write reconstruction file", rc);
    rc = close_written(r, &r->output, "write output file", rc);
    rc = close_written(r, &r->stats, "write stats file", rc);
    remove_created_files(r);
    std::free(r->pass2_text);
    std::free(r->pass1_buffer);
    r->s->param.pass2_stats = NULL;
    r->s->param.pass1_stats_buffer = NULL;
    return rc;
}

int run_encoder(cli_settings *s, const encoder_api *api, picture_source *src, const cli_io *io)
{
    run_state r;
    std::memset(&r, 0, sizeof(r));
    r.s = s;
    r.api = api;
    r.io = io;
    recon_list_init(&r.held, io->err);
    cli_stop_flag = 0;
    cli_signal_number = -1;

    int rc = open_files(&r);
    if (rc)
        return finish_run(&r, rc);

    struct sigaction action, previous[3];
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = on_sigint;
    // Restarted system calls: a SIGINT must stop the loops between pictures,
    // not turn a write to a pipe into a short write (exit 8).
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int k = 0; k < 3; k++)
        sigaction(stop_signals[k], &action, &previous[k]);
    r.start_us = time_now_us();
    r.start_cpu_us = process_cpu_us();

    rc = encode_loop(&r, src);
    if (rc == 0)
        rc = flush_loop(&r);

    uint64_t end_us = time_now_us();
    int64_t end_cpu_us = process_cpu_us();
    int loop_failed = rc != 0;
    rc = finish_run(&r, rc);
    // The handler stays until the encoder is closed: a SIGINT during the close
    // must not kill the program before its files are complete.
    for (int k = 0; k < 3; k++)
        sigaction(stop_signals[k], &previous[k], NULL);
    // A write error found only while closing still ends with its code, but the
    // run itself was complete, so its summary is printed.
    if (!loop_failed && s->param.loglevel >= 1)
        print_summary(&r, end_us, end_cpu_us);
    if (rc != 0)
        return rc;
    return cli_signal_number < 0 ? cli_exit_ok : cli_exit_signal_base + cli_signal_number;
}
