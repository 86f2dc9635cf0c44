// Command-line parsing: the pre-scan for complexity and tunings (they choose
// the defaults every other option overwrites), the option loop, and the value
// parsers of size, compatibility, frame rate and aspect ratio.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "app/cli.h"

// Reads an optionally signed decimal integer after optional white space, as
// "%d" would, but clamps instead of overflowing. Returns 1 when a number was
// read; *end points after it.
static int read_int(const char *p, int *value, const char **end)
{
    char *e = NULL;
    errno = 0;
    long long v = std::strtoll(p, &e, 10);
    if (e == p)
        return 0;
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    *value = (int)v;
    *end = e;
    return 1;
}

int parse_int_prefix(const char *text)
{
    int v = 0;
    const char *end;
    return read_int(text, &v, &end) ? v : 0;
}

int is_whole_int(const char *text)
{
    int v;
    const char *end;
    if (!read_int(text, &v, &end))
        return 0;
    end += std::strspn(end, " \t");
    return *end == '\0';
}

// Reads "%d%c%d" and returns how many items were read (0 to 3).
static int read_int_char_int(const char *text, int *a, char *c, int *b)
{
    const char *p;
    if (!read_int(text, a, &p))
        return 0;
    if (*p == '\0')
        return 1;
    *c = *p++;
    return read_int(p, b, &p) ? 3 : 2;
}

// ---- pre-scan -----------------------------------------------------------

static const char *const tune_names[6] = {"monitor", "cartoon", "highmotion",
                                          "broadcast", "zerolatency", "lowdelay"};
static const unsigned tune_bits[6] = {TORVHEVCENC_TUNE_MONITOR,    TORVHEVCENC_TUNE_CARTOON,
                                      TORVHEVCENC_TUNE_HIGHMOTION, TORVHEVCENC_TUNE_BROADCAST,
                                      TORVHEVCENC_TUNE_ZEROLATENCY, TORVHEVCENC_TUNE_LOWDELAY};

// Values must not begin with '-', so that a missing value never swallows the
// next option and values are never negative; white space before the '-'
// (" -1", which the number readers skip) counts as nothing.
static int begins_with_dash(const char *text)
{
    while (std::isspace((unsigned char)*text))
        text++;
    return *text == '-';
}

static int has_value(int argc, char **argv, int i)
{
    return i + 1 < argc && !begins_with_dash(argv[i + 1]);
}

static int prescan_complexity(const char *value, int *complexity, FILE *err)
{
    int v;
    const char *end;
    if (value == NULL || begins_with_dash(value) || !read_int(value, &v, &end) || (unsigned)v > 7u) {
        fprintf(err, "complex is not specified! possible value is: 0 ~ 7\n");
        return 1;
    }
    *complexity = v;
    return 0;
}

static int single_bit_or_zero(unsigned bits)
{
    return (bits & (bits - 1)) == 0;
}

// Splits at commas; every piece, an empty one included, must name a tuning.
static int prescan_tune(const char *value, unsigned *tune, FILE *err)
{
    if (value == NULL || begins_with_dash(value)) {
        fprintf(err, "Tune name is not specified! possible tune is: ");
        for (const char *name : tune_names)
            fprintf(err, " %s ", name);
        fprintf(err, "\n");
        return 1;
    }
    const char *p = value;
    for (;;) {
        const char *comma = std::strchr(p, ',');
        size_t len = comma ? (size_t)(comma - p) : std::strlen(p);
        int found = -1;
        for (int k = 0; k < 6; k++)
            if (len == std::strlen(tune_names[k]) && strncasecmp(p, tune_names[k], len) == 0)
                found = k;
        if (found < 0) {
            fprintf(err, "invalid tuning.\n");
            return 1;
        }
        *tune |= tune_bits[found];
        if (!comma)
            break;
        p = comma + 1;
    }
    if (!single_bit_or_zero(*tune & TORVHEVCENC_TUNE_CONTENT_MASK) ||
        !single_bit_or_zero(*tune & TORVHEVCENC_TUNE_LATENCY_MASK)) {
        fprintf(err, "In the same types only one tuning can be used at a time.\n");
        return 1;
    }
    return 0;
}

static int is_complexity_option(const char *a)
{
    return std::strcmp(a, "-c") == 0 || std::strcmp(a, "--complex") == 0;
}

static int is_prescanned(const char *a)
{
    return is_complexity_option(a) || std::strcmp(a, "--tune") == 0;
}

int prescan_options(int argc, char **argv, int *complexity, unsigned *tune, FILE *err)
{
    *complexity = -1;
    *tune = 0;
    for (int i = 0; i < argc; i++) {
        const char *a = argv[i];
        if (!is_prescanned(a))
            continue;
        int is_complex = is_complexity_option(a);
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        int rc = is_complex ? prescan_complexity(value, complexity, err) : prescan_tune(value, tune, err);
        if (rc != 0)
            return rc;
        i++;
    }
    return 0;
}

// ---- value parsers ------------------------------------------------------

static const int named_sizes[9][2] = {{160, 120},  {176, 144},   {320, 240},
                                      {352, 288},  {640, 480},   {720, 576},
                                      {1280, 720}, {1920, 1080}, {3840, 2160}};

namespace {

// The first separator of a size, tried in this order, or none.
const char *size_separator(const char *value)
{
    static const char separators[] = "xX:-/\\|*";
    const char *cut = NULL;
    for (const char *sep = separators; *sep && !cut; sep++)
        cut = std::strchr(value, *sep);
    return cut;
}

// The number before the separator, and whether a 'p' after it makes it a
// height ("720p"). 0 or cli_exit_option.
int size_first_number(const char *value, size_t len, int *n, int *height_form, FILE *err)
{
    char *first = (char *)std::malloc(len + 1);
    if (!first)
        return cli_exit_option;
    std::memcpy(first, value, len);
    first[len] = '\0';
    const char *end;
    if (!read_int(first, n, &end) || *n < 0) {
        fprintf(err, "invalid width '%s'!\n", first);
        std::free(first);
        return cli_exit_option;
    }
    *height_form = *end == 'p' || *end == 'P';
    std::free(first);
    return 0;
}

// A size given by one side alone takes the other from the first named size
// with that side; false when none has it.
bool named_size_complete(int *width, int *height)
{
    for (const auto &named : named_sizes) {
        if (*width != 0 ? named[0] == *width : named[1] == *height) {
            *width = named[0];
            *height = named[1];
            return true;
        }
    }
    return false;
}

}  // namespace

int parse_size(cli_settings *s, const char *value, FILE *err)
{
    const char *cut = size_separator(value);
    int n, height_form;
    if (size_first_number(value, cut ? (size_t)(cut - value) : std::strlen(value), &n, &height_form, err) != 0)
        return cli_exit_option;
    int width = height_form ? 0 : n;
    int height = height_form ? n : s->size_h;
    const char *end;
    if (cut && (!read_int(cut + 1, &height, &end) || height < 0)) {
        fprintf(err, "invalid height '%s'!\n", cut + 1);
        return cli_exit_option;
    }
    if ((width != 0) != (height != 0) && !named_size_complete(&width, &height)) {
        fprintf(err, "unknown height!\n");
        return cli_exit_option;
    }
    s->size_w = width;
    s->size_h = height;
    s->param.width = width;
    s->param.height = height;
    s->size_given = 1;
    return 0;
}

static void print_compat_choices(FILE *err)
{
    fprintf(err, "Possible values are:9.1 10 11 12\n");
}

int parse_compat(cli_settings *s, const char *value, FILE *err)
{
    if (value == NULL || begins_with_dash(value)) {
        fprintf(err, "Compatibility version number is not specified!\n");
        print_compat_choices(err);
        return cli_exit_option;
    }
    char *end = NULL;
    float f = std::strtof(value, &end);
    if (end == value) {
        fprintf(err, "unknown version number: %s!\n", value);
        return cli_exit_option;
    }
    double scaled = ((double)f + 0.05) * 10;
    int v = -1;
    if (scaled >= 0 && scaled < 1000)
        v = (int)scaled;
    if (v != 91 && v != 100 && v != 110 && v != 120) {
        // Out-of-range values are printed from the double, never cast to int.
        double shown = (scaled >= 0 && scaled < 1000) ? v / 10.0 : (double)f;
        fprintf(err, "Compatibility version number %.1f is not supproted!\n", shown);
        print_compat_choices(err);
        return cli_exit_option;
    }
    s->param.compat = v;
    s->compat_given = 1;
    return 0;
}

int parse_framerate(cli_settings *s, const char *value, FILE *err)
{
    int a = 0, b = 0;
    char c = 0;
    int num = 0, den = 0;
    int items = read_int_char_int(value, &a, &c, &b);
    int decimal = items < 2;
    if (items >= 2) {
        if (c == '/' || c == ':') {
            num = a;
            den = items == 3 ? b : 0;
        } else if (c == '.') {
            decimal = 1;
        } else {
            fprintf(err, "unknown frame rate: %s!\n", value);
            return cli_exit_option;
        }
    }
    if (decimal) {
        char *end = NULL;
        double x = std::strtod(value, &end);
        if (end != value) {
            uint64_t r = double_to_rational(x);
            num = rational_num(r);
            den = rational_den(r);
        }
    }
    // Zero and (through "a/-b") negative parts would reach the rate control as
    // a division by zero or a negative rate.
    if (num <= 0 || den <= 0) {
        fprintf(err, "unknown frame rate: %s!\n", value);
        return cli_exit_option;
    }
    s->param.fps_num = num;
    s->param.fps_den = den;
    s->fps_given = 1;
    return 0;
}

int parse_sar(cli_settings *s, const char *value, FILE *err)
{
    int a = 0, b = 0;
    char c = 0;
    if (read_int_char_int(value, &a, &c, &b) != 3 || (c != '/' && c != ':') || a < 0 || b < 0) {
        fprintf(err, "invalid argument '%s'!\n", value);
        return cli_exit_option;
    }
    if (a > 65535 || b > 65535) {
        fprintf(err, "sar numerator and denominator can not exceed 65535!\n");
        return cli_exit_option;
    }
    s->param.sar_num = a;
    s->param.sar_den = b;
    return 0;
}

// ---- option loop ----------------------------------------------------------

enum option_kind {
    opt_flag,       // no value
    opt_value,      // a value that must not begin with '-'
    opt_raw_value,  // the handler checks the value itself (may be NULL)
    opt_int,        // a value that must be a whole integer, for the handler
    opt_int_field   // a whole integer into a public_param field
};

// Handlers return 0 to go on, or 1 to end the program with *exit_code.
typedef int (*option_handler)(cli_settings *s, const char *value, const cli_io *io, int *exit_code);

struct option_entry {
    const char *short_name;  // NULL: long form only
    const char *long_name;
    option_kind kind;
    option_handler handler;
    int32_t public_param::*field;
    int rc;
};

static void apply_rc_action(public_param *p, int action)
{
    if (action == rc_bitrate)
        p->rc_mode = p->rc_mode == rc_cbr ? rc_cbr : rc_abr;
    else if (action != rc_keep)
        p->rc_mode = action;
}

static int stop_with(int code, int *exit_code)
{
    *exit_code = code;
    return 1;
}

// Text where a number belongs would otherwise be read as 0 ("-q abc" would
// encode at QP 0) or as its numeric prefix.
static int refuse_number(const char *option, const char *value, const cli_io *io, int *exit_code)
{
    fprintf(io->err, "Error: invalid number '%s' for option '%s'!\n", value, option);
    return stop_with(cli_exit_option, exit_code);
}

static int on_help(cli_settings *, const char *, const cli_io *io, int *exit_code)
{
    print_banner(io->out);
    print_usage(io->out);
    return stop_with(cli_exit_ok, exit_code);
}

static int on_wait(cli_settings *s, const char *, const cli_io *, int *)
{
    s->wait_flag = 1;
    return 0;
}

static int on_size(cli_settings *s, const char *v, const cli_io *io, int *exit_code)
{
    int rc = parse_size(s, v, io->err);
    return rc ? stop_with(rc, exit_code) : 0;
}

static int on_compat(cli_settings *s, const char *v, const cli_io *io, int *exit_code)
{
    int rc = parse_compat(s, v, io->err);
    return rc ? stop_with(rc, exit_code) : 0;
}

static int on_framerate(cli_settings *s, const char *v, const cli_io *io, int *exit_code)
{
    int rc = parse_framerate(s, v, io->err);
    return rc ? stop_with(rc, exit_code) : 0;
}

static int on_sar(cli_settings *s, const char *v, const cli_io *io, int *exit_code)
{
    int rc = parse_sar(s, v, io->err);
    return rc ? stop_with(rc, exit_code) : 0;
}

static int on_frames(cli_settings *s, const char *v, const cli_io *, int *)
{
    s->frame_limit = parse_int_prefix(v);
    return 0;
}

static int on_prescanned(cli_settings *, const char *, const cli_io *, int *)
{
    return 0;  // complexity and tunings were taken by the pre-scan
}

static int on_crf(cli_settings *s, const char *v, const cli_io *io, int *exit_code)
{
    char *end = NULL;
    double crf = std::strtod(v, &end);
    if (end == v || end[std::strspn(end, " \t")] != '\0')
        return refuse_number("--crf", v, io, exit_code);
    // "nan", "inf" and values past the float range would reach the rate
    // control's arithmetic as NaN or infinity.
    if (!std::isfinite(crf) || std::fabs(crf) > 1e6) {
        fprintf(io->err, "invalid argument '%s'!\n", v);
        return stop_with(cli_exit_option, exit_code);
    }
    s->param.crf = (float)crf;
    s->param.rc_mode = rc_crf;
    return 0;
}

static int on_pass(cli_settings *s, const char *v, const cli_io *io, int *exit_code)
{
    int pass = parse_int_prefix(v);
    if (pass > 2 || pass < 0) {
        fprintf(io->err, "invalid pass '%d', possible value is 1 or 2\n", pass);
        return stop_with(cli_exit_option, exit_code);
    }
    s->pass = pass;
    return 0;
}

static int on_stats_file(cli_settings *s, const char *v, const cli_io *, int *)
{
    s->stats_name = v;
    return 0;
}

static int on_recon(cli_settings *s, const char *v, const cli_io *, int *)
{
    s->recon_name = v;
    return 0;
}

static int on_disable_sei(cli_settings *s, const char *, const cli_io *, int *)
{
    s->param.sei = 0;
    return 0;
}

static int on_interlace(cli_settings *s, const char *v, const cli_io *io, int *exit_code)
{
    if (strcasecmp(v, "tff") == 0)
        s->param.interlace = 1;
    else if (strcasecmp(v, "bff") == 0)
        s->param.interlace = 2;
    else if (is_whole_int(v))
        s->param.interlace = parse_int_prefix(v);
    else
        return refuse_number("--interlace", v, io, exit_code);
    return 0;
}

static int on_yes(cli_settings *s, const char *, const cli_io *, int *)
{
    s->overwrite = 1;
    return 0;
}

static int on_rc_only(cli_settings *, const char *, const cli_io *, int *)
{
    return 0;  // the entry's rc action does the work
}

#define PP(f) &public_param::f
static const option_entry option_table[] = {
    {"-h", "--help", opt_flag, on_help, nullptr, rc_keep},
    {nullptr, "--wait", opt_flag, on_wait, nullptr, rc_keep},
    {"-s", "--size", opt_value, on_size, nullptr, rc_keep},
    {"-n", "--frames", opt_int, on_frames, nullptr, rc_keep},
    {nullptr, "--compat", opt_raw_value, on_compat, nullptr, rc_keep},
    {"-c", "--complex", opt_value, on_prescanned, nullptr, rc_keep},
    {nullptr, "--tune", opt_value, on_prescanned, nullptr, rc_keep},
    {nullptr, "--threads", opt_int_field, nullptr, PP(frame_threads), rc_keep},
    {"-w", "--wpp", opt_int_field, nullptr, PP(wpp), rc_keep},
    {"-t", "--working-threads", opt_int_field, nullptr, PP(working_threads), rc_keep},
    {nullptr, "--idr", opt_int_field, nullptr, PP(idr_period), rc_keep},
    {nullptr, "--min-idr", opt_int_field, nullptr, PP(min_idr), rc_keep},
    {nullptr, "--cqp", opt_flag, on_rc_only, nullptr, rc_cqp},
    {nullptr, "--abr", opt_flag, on_rc_only, nullptr, rc_abr},
    {nullptr, "--cbr", opt_flag, on_rc_only, nullptr, rc_cbr},
    {"-q", "--qp", opt_int_field, nullptr, PP(qp), rc_cqp},
    {"-b", "--bitrate", opt_int_field, nullptr, PP(bitrate), rc_bitrate},
    {nullptr, "--maxrate", opt_int_field, nullptr, PP(maxrate), rc_cbr},
    {nullptr, "--minrate", opt_int_field, nullptr, PP(minrate), rc_cbr},
    {nullptr, "--bufsize", opt_int_field, nullptr, PP(bufsize), rc_cbr},
    {nullptr, "--crf", opt_value, on_crf, nullptr, rc_keep},
    {nullptr, "--vbv-bufsize", opt_int_field, nullptr, PP(vbv_bufsize), rc_keep},
    {nullptr, "--vbv-maxrate", opt_int_field, nullptr, PP(vbv_maxrate), rc_keep},
    {nullptr, "--pass", opt_int, on_pass, nullptr, rc_keep},
    {nullptr, "--stats-file", opt_value, on_stats_file, nullptr, rc_keep},
    {"-r", "--framerate", opt_value, on_framerate, nullptr, rc_keep},
    {nullptr, "--recon", opt_value, on_recon, nullptr, rc_keep},
    {"-l", "--loglevel", opt_int_field, nullptr, PP(loglevel), rc_keep},
    {nullptr, "--disable-sei", opt_flag, on_disable_sei, nullptr, rc_keep},
    {nullptr, "--bframes", opt_int_field, nullptr, PP(bframes), rc_keep},
    {nullptr, "--hierach", opt_int_field, nullptr, PP(hierarchy), rc_keep},
    {nullptr, "--interlace", opt_value, on_interlace, nullptr, rc_keep},
    {nullptr, "--sar", opt_value, on_sar, nullptr, rc_keep},
    {"-y", "--yes", opt_flag, on_yes, nullptr, rc_keep},
    {nullptr, "--brefs", opt_int_field, nullptr, PP(brefs), rc_keep},
    {nullptr, "--prefs", opt_int_field, nullptr, PP(prefs), rc_keep},
    {nullptr, "--scenecut", opt_int_field, nullptr, PP(scenecut), rc_keep},
    {nullptr, "--lookahead", opt_int_field, nullptr, PP(lookahead), rc_keep},
};
#undef PP

static const option_entry *find_option(const char *arg)
{
    for (const option_entry &e : option_table) {
        if (std::strcmp(arg, e.long_name) == 0)
            return &e;
        if (e.short_name && std::strcmp(arg, e.short_name) == 0)
            return &e;
    }
    return NULL;
}

// Handles the option at argv[*i]; moves *i past its value. Returns 1 to stop.
static int apply_option(int argc, char **argv, int *i, cli_settings *s, const cli_io *io, int *exit_code)
{
    const char *arg = argv[*i];
    const option_entry *e = find_option(arg);
    if (!e) {
        fprintf(io->err, "error: unknown parameter '%s'!\n", arg);
        return stop_with(cli_exit_option, exit_code);
    }
    const char *value = NULL;
    if (e->kind == opt_raw_value) {
        if (has_value(argc, argv, *i))
            value = argv[++*i];
    } else if (e->kind != opt_flag) {
        if (!has_value(argc, argv, *i)) {
            fprintf(io->err, "no option argument!\n");
            return stop_with(cli_exit_option, exit_code);
        }
        value = argv[++*i];
    }
    if ((e->kind == opt_int || e->kind == opt_int_field) && !is_whole_int(value))
        return refuse_number(arg, value, io, exit_code);
    if (e->kind == opt_int_field)
        s->param.*(e->field) = parse_int_prefix(value);
    else if (e->handler(s, value, io, exit_code))
        return 1;
    apply_rc_action(&s->param, e->rc);
    return 0;
}

// The bitrate modes without "-b" run at the rate the usage text promises, not
// at 0; a first pass in constant-QP mode would write no statistics at all.
static int check_mode_settings(cli_settings *s, const cli_io *io, int *exit_code)
{
    public_param *p = &s->param;
    if ((p->rc_mode == rc_abr || p->rc_mode == rc_cbr) && p->bitrate == 0)
        p->bitrate = cli_default_bitrate;
    if (s->pass == 1 && p->rc_mode == rc_cqp) {
        fprintf(io->err, "Error: the first pass (--pass 1) needs a bitrate mode or --crf; "
                         "constant QP writes no statistics!\n");
        return stop_with(cli_exit_option, exit_code);
    }
    return 0;
}

static void settings_init(cli_settings *s)
{
    std::memset(s, 0, sizeof(*s));
    s->frame_limit = -1;
}

int parse_command_line(int argc, char **argv, cli_settings *s, const cli_io *io, int *exit_code)
{
    int complexity;
    unsigned tune;
    settings_init(s);
    if (prescan_options(argc, argv, &complexity, &tune, io->err) != 0)
        return stop_with(cli_exit_option, exit_code);
    s->param.size = sizeof(public_param);
    torvhevcenc_default_param(&s->param, complexity, tune);

    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++)
        if (apply_option(argc, argv, &i, s, io, exit_code))
            return 1;
    if (i < argc)
        s->input_name = argv[i++];
    if (i < argc)
        s->output_name = argv[i++];
    s->rest_first = i;
    // "torvenc in.yuv -q 20" would write a stream named "-q" (a name such as
    // "./-q" still reaches such a file).
    if (s->output_name && s->output_name[0] == '-') {
        fprintf(io->err, "Error: the output file name '%s' begins with '-': options go before the input file name!\n",
                s->output_name);
        return stop_with(cli_exit_option, exit_code);
    }
    return check_mode_settings(s, io, exit_code);
}

void print_ignored_arguments(int argc, char **argv, int first, FILE *out)
{
    int printed = 0;
    for (int i = first; i < argc; i++) {
        // The pre-scan took complexity and tunings wherever they stand.
        if (is_prescanned(argv[i])) {
            i++;
            continue;
        }
        fprintf(out, "%s %s", printed ? "" : "Warning: arguments after the output file name are ignored:", argv[i]);
        printed = 1;
    }
    if (printed)
        fprintf(out, "\n");
}
