// The settings table printed before encoding: the values of the parameter
// record as the options and the input left them, before the encoder validates.
#include "app/cli.h"

static const char *name_or_null(const char *name)
{
    return name ? name : "null";
}

static const char *rc_mode_name(int mode)
{
    static const char *const names[4] = {"CQP", "ABR", "CBR", "CRF"};
    return mode >= 0 && mode < 4 ? names[mode] : "?";
}

static const char *interlace_name(int interlace)
{
    switch (interlace) {
    case 0: return "(progressive)";
    case 1: return "(tff)";
    case 2: return "(bff)";
    default: return "";
    }
}

static void print_tunings(unsigned tune, FILE *out)
{
    static const char *const names[6] = {"monitor", "cartoon", "highmotion",
                                         "broadcast", "zerolatency", "lowdelay"};
    static const unsigned bits[6] = {TORVHEVCENC_TUNE_MONITOR,    TORVHEVCENC_TUNE_CARTOON,
                                     TORVHEVCENC_TUNE_HIGHMOTION, TORVHEVCENC_TUNE_BROADCAST,
                                     TORVHEVCENC_TUNE_ZEROLATENCY, TORVHEVCENC_TUNE_LOWDELAY};
    fprintf(out, "tune            :");
    int any = 0;
    for (int k = 0; k < 6; k++) {
        if (tune & bits[k]) {
            fprintf(out, " %s", names[k]);
            any = 1;
        }
    }
    fprintf(out, any ? "\n" : " none\n");
}

static void print_rate_control(const public_param *p, FILE *out)
{
    switch (p->rc_mode) {
    case rc_cqp:
        fprintf(out, "qp              : %d\n", p->qp);
        break;
    case rc_abr: {
        double rate = p->fps_den != 0 ? (double)p->fps_num / p->fps_den : 0.0;
        fprintf(out, "framerate       : %.3fps(%d/%d)\n", rate, p->fps_num, p->fps_den);
        fprintf(out, "bitrate         : %dkbps\n", p->bitrate);
        break;
    }
    case rc_cbr:
        fprintf(out, "bitrate         : %dkbps\n", p->bitrate);
        fprintf(out, "maxrate         : %dkbps\n", p->maxrate);
        fprintf(out, "minrate         : %dkbps\n", p->minrate);
        fprintf(out, "bufsize         : %d\n", p->bufsize);
        break;
    default:
        break;
    }
}

// The frame-rate row reads "%.3fps": the rate is followed by "ps", not "fps";
// scripts that parse this table depend on the text as it has always been.
void print_settings_table(const cli_settings *s, FILE *out)
{
    const public_param *p = &s->param;
    fprintf(out, "input           : %s\n", name_or_null(s->input_name));
    fprintf(out, "output          : %s\n", name_or_null(s->output_name));
    fprintf(out, "reconstruct     : %s\n", name_or_null(s->recon_name));
    fprintf(out, "frames          : %d\n", s->frame_limit);
    fprintf(out, "size            : {%dx%d}\n", p->width, p->height);
    fprintf(out, "compatibility   : %.1f\n", p->compat / 10.0);
    fprintf(out, "complex         : %d\n", p->complexity);
    print_tunings(p->tune, out);
    fprintf(out, "working_threads : %d\n", p->working_threads);
    fprintf(out, "threads         : %d\n", p->frame_threads);
    fprintf(out, "idr             : [%d,%d]\n", p->min_idr, p->idr_period);
    fprintf(out, "rcmode          : %s\n", rc_mode_name(p->rc_mode));
    print_rate_control(p, out);
    fprintf(out, "log             : %d\n", p->loglevel);
    fprintf(out, "sei             : %d\n", p->sei);
    fprintf(out, "bframe          : %d\n", p->bframes);
    fprintf(out, "hierach         : %d\n", p->hierarchy);
    fprintf(out, "interlace       : %d%s\n", p->interlace, interlace_name(p->interlace));
    fprintf(out, "sar             : %d/%d\n", p->sar_num, p->sar_den);
}
