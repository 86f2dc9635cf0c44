// Start-up of the program: options, banner, the input's size, frame rate and
// compatibility guesses, the settings table, the input, then the encoding run.
#include <unistd.h>

#include "app/cli.h"
#include "app/input_file.h"

// Cleared by an attached debugger to let a "--wait" run go on.
static volatile int wait_for_debugger = 0;

// A place to put a breakpoint after "--wait".
void noop_hook(void)
{
}

static void wait_debugger(const cli_io *io)
{
    wait_for_debugger = 1;
    fprintf(io->out, "pid = %u\nwait debuger ...\n", (unsigned)getpid());
    fflush(io->out);
    while (wait_for_debugger)
        sleep(1);
    noop_hook();
}

static void settings_to_format(const cli_settings *s, input_format *fmt)
{
    input_format_defaults(fmt);
    fmt->width = s->param.width;
    fmt->height = s->param.height;
    fmt->fps_num = s->param.fps_num;
    fmt->fps_den = s->param.fps_den;
    fmt->compat = s->param.compat;
    fmt->size_given = s->size_given;
    fmt->fps_given = s->fps_given;
    fmt->compat_given = s->compat_given;
}

static void format_to_settings(const input_format *fmt, cli_settings *s)
{
    s->param.width = fmt->width;
    s->param.height = fmt->height;
    s->param.fps_num = fmt->fps_num;
    s->param.fps_den = fmt->fps_den;
    s->param.compat = fmt->compat;
    s->size_given = fmt->size_given;
    s->fps_given = fmt->fps_given;
}

static int next_input_picture(void *ctx, const uint8_t *planes[3], uint32_t strides[3], int *exit_code)
{
    input_window *win = (input_window *)ctx;
    if (!input_has_picture(win))
        return 0;
    input_picture pic;
    int rc = input_next_picture(win, &pic);
    if (rc != 0) {
        *exit_code = rc;
        return -1;
    }
    for (int c = 0; c < 3; c++) {
        planes[c] = pic.planes[c];
        strides[c] = (uint32_t)pic.strides[c];
    }
    return 1;
}

int cli_main(int argc, char **argv, const encoder_api *api, const cli_io *io)
{
    cli_settings s;
    int exit_code = 0;
    if (parse_command_line(argc, argv, &s, io, &exit_code))
        return exit_code;
    if (s.param.loglevel > 0)
        print_banner(io->out);
    print_ignored_arguments(argc, argv, s.rest_first, io->out);
    if (s.wait_flag)
        wait_debugger(io);
    if (!s.input_name) {
        fprintf(io->err, "Error: no input file!\n");
        fprintf(io->err, "       Please use the '-h' or '--help' option to see help\n");
        return cli_exit_no_input;
    }

    input_format fmt;
    settings_to_format(&s, &fmt);
    fflush(io->out);
    int rc = input_guess_format(&fmt, s.input_name, s.output_name);
    fflush(stdout);
    if (rc != 0)
        return rc;
    format_to_settings(&fmt, &s);
    if (s.param.loglevel >= 1)
        print_settings_table(&s, io->out);
    fflush(io->out);

    input_window win;
    input_window_init(&win);
    rc = input_open(&win, &fmt, s.input_name, s.frame_limit, s.param.loglevel);
    fflush(stdout);
    if (rc != 0)
        return rc;
    picture_source src = {next_input_picture, &win};
    rc = run_encoder(&s, api, &src, io);
    input_close(&win);
    return rc;
}
