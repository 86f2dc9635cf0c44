// Banner, version and build lines, and the usage text of "--help". The usage
// lines are the program's documented interface and are kept exactly as users
// have always seen them, spelling and trailing spaces included.
#include "app/cli.h"

const char cli_banner[] = "torvenc: norquill torvane HEVC encoder app.";

#define TV_STR2(x) #x
#define TV_STR(x) TV_STR2(x)

#if defined(__clang__)
#define TV_COMPILER "clang " __clang_version__
#elif defined(__GNUC__)
#define TV_COMPILER "gcc " TV_STR(__GNUC__) "." TV_STR(__GNUC_MINOR__) "." TV_STR(__GNUC_PATCHLEVEL__)
#else
#define TV_COMPILER "unknown compiler"
#endif

#if defined(__x86_64__)
#define TV_PLATFORM "linux x86-64"
#else
#define TV_PLATFORM "linux"
#endif

const char *build_info_string(void)
{
    return "Build: " TV_COMPILER ", " TV_PLATFORM ", " __DATE__;
}

void version_line(char *buf, size_t size)
{
    uint32_t v = torvhevcenc_version();
    snprintf(buf, size, "Ver: %d.%d (r%d)", (int)(v >> 24), (int)((v >> 16) & 0xff), (int)(v & 0xffff));
}

void print_banner(FILE *out)
{
    char version[64];
    version_line(version, sizeof(version));
    fprintf(out, "%s\n%s\n%s\n", cli_banner, version, build_info_string());
}

static const char *const usage_lines[] = {
    "usage: torvenc [options] <input_filename> [<output_filename>]",
    "options:",
    "  -h|--help              display this help page",
    "     --wait              wait debuger",
    "  -s|--size <W>x<H>      video resolution, the width and height must be a multiple of 8,",
    "                         default is 1920x1080",
    "  -n|--frames <Int>      number of frames to encode, default is all",
    "     --compat <Ver>      version of HM software for compatibility, can be 9.1 or 10 or 12,",
    "                         default is 12",
    "  -c|--complex <Int>     encoding complexity [0~7], default is 4",
    "     --tune <String,...> tune the settings for a particular type of source or situation at",
    "                         most one mode can be chosen from each line listed below",
    "                         (default is none):",
    "                           monitor, cartoon, highmotion, broadcast",
    "                           zerolatency, lowdelay",
    "  -t|--working-threads <Int>",
    "                         the actual number of worker threads,",
    "     --threads <Int>     thread count for frame encoding",
    "     --idr <Int>         IDR period, defalut is 250",
    "     --min-idr <Int>     mininum IDR period, auto adjusted",
    "     --cqp               const quantization parameter mode",
    "     --abr               variable bitrate mode (default)",
    "  -q|--qp <Int>          quantization parameter, available for CQP mode, from 0 to 51, ",
    "                         default is 32",
    "  -b|--bitrate <Int>     bit rate (kbps), available for ABR mode, default is 1200",
    "     --maxrate <Int>     maximum bitrate tolerance (kbps), used to setting up a CBR mode",
    "     --minrate <Int>     minimum bitrate tolerance (kbps), used to setting up a CBR mode",
    "     --bufsize <Int>     ratecontrol buffer size (in frames)",
    "     --crf <Float>       constant rate factor, available for CRF mode, from 0 to 51, ",
    "                         default is 23",
    "     --vbv-bufsize <Int> VBV buffer size (kbits), used for VBV ratecontrol algorithm",
    "     --vbv-maxrate <Int> VBV max bitrate (kbps), used for VBV ratecontrol altorithm",
    "     --pass <Int>        two pass rate control. 1 means first pass, creates stats file;",
    "                         2 means second pass, works with ABR",
    "     --stats-file <String>",
    "                         filename of stats file in two pass rate control, default is",
    "                         two-pass.log",
    "  -r|--framerate <Float> source frame rate, can be float(23.976) or fractional",
    "                         (24000/1001), default is 25",
    "     --recon <String>    filename of output reconstructed picture",
    "  -l|--loglevel <Int>    log level, 0 means no log output, 1 means log PSNR ",
    "                         at the end of encoding, default is 1",
    "     --disable-sei       if not present, a SEI NAL will be inserted in key frame to",
    "                         identify the compatibility with HM software",
    "     --bframes <Int>     number of B frames in a mini-gop",
    "     --hierach <Int>     level of hierach-B",
    "     --interlace <Int>   interlaced encoding",
    "                           0: progressive;",
    "                           1 or tff: top-field first;",
    "                           2 or bff: bottom-field first",
    "     --sar <Fraction>    sample aspect ratio. e.g.: 1/1 or 12:11 or 40:33, default is 0/0",
    "  -y|--yes               if preset, output files will be overwritten",
    "     --brefs <Int>       number of the reference B frames",
    "     --prefs <Int>       number of the reference P frames",
    "     --scenecut <Int>    scenecut threshold",
    "     --lookahead <Int>   number of lookahead frames",
};

void print_usage(FILE *out)
{
    for (const char *line : usage_lines)
        fprintf(out, "%s\n", line);
    fprintf(out, "\n\n");
}
