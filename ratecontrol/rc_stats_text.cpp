// The two-pass statistics text: the first pass prints a settings header and
// one line per finished picture; the second pass checks the header against
// its own settings and reads every line back into a pass2_entry.
//
// The reader treats the text as untrusted: every number is range-checked,
// every coding number and display number must be named exactly once, and a
// malformed line fails the reading with a message naming the line.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "encoder/config.h"
#include "encoder/memory.h"
#include "encoder/picture.h"
#include "ratecontrol/rc_twopass.h"

namespace {

// Room the caller's buffer must have for the header and one line.
constexpr int STATS_TEXT_MAX = 299;

const char *type_word(uint32_t type)
{
    switch (type) {
    case PIC_TYPE_IDR: return "idr";
    case PIC_TYPE_CRA: return "cra";
    case PIC_TYPE_P: return "p";
    case PIC_TYPE_BREF: return "bref";
    case PIC_TYPE_B: return "b";
    default: return "";
    }
}

// Slice class and picture type of a type word; false for an unknown word.
bool parse_type_word(const char *w, int32_t *slice_class, int32_t *type)
{
    static const struct { const char *word; int32_t cls, type; } words[] = {
        {"idr", slice_i, PIC_TYPE_IDR}, {"cra", slice_i, PIC_TYPE_CRA}, {"p", slice_p, PIC_TYPE_P},
        {"bref", slice_b, PIC_TYPE_BREF}, {"b", slice_b, PIC_TYPE_B},
    };
    for (const auto &e : words)
        if (std::strcmp(w, e.word) == 0) {
            *slice_class = e.cls;
            *type = e.type;
            return true;
        }
    return false;
}

// --- a small strict scanner over one zero-terminated line ---

struct scanner {
    const char *p;
    bool ok;
};

void skip_space(scanner *s)
{
    while (*s->p == ' ' || *s->p == '\t' || *s->p == '\r') s->p++;
}

// A literal; a space in it matches any run of white space, as in a scan format.
void expect(scanner *s, const char *lit)
{
    if (!s->ok) return;
    for (; *lit; lit++) {
        if (*lit == ' ') {
            skip_space(s);
            continue;
        }
        if (*s->p != *lit) {
            s->ok = false;
            return;
        }
        s->p++;
    }
}

int32_t scan_int(scanner *s, int64_t lo, int64_t hi)
{
    if (!s->ok) return 0;
    skip_space(s);
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(s->p, &end, 10);
    if (end == s->p || errno == ERANGE || v < lo || v > hi) {
        s->ok = false;
        return 0;
    }
    s->p = end;
    return (int32_t)v;
}

float scan_float(scanner *s, double lo, double hi)
{
    if (!s->ok) return 0.0f;
    skip_space(s);
    char *end = nullptr;
    double v = std::strtod(s->p, &end);
    if (end == s->p || !std::isfinite(v) || v < lo || v > hi) {
        s->ok = false;
        return 0.0f;
    }
    s->p = end;
    return (float)v;
}

// --- header ---

// Scans "key%d" inside the header; false when the key is absent or its
// number does not convert.
bool header_value(const char *header, const char *key, int32_t *value)
{
    const char *at = std::strstr(header, key);
    if (!at) return false;
    scanner s{at + std::strlen(key), true};
    int32_t v = scan_int(&s, INT32_MIN, INT32_MAX);
    if (!s.ok) return false;
    *value = v;
    return true;
}

int check_header(char *header, internal_config *cfg)
{
    scanner s{header, true};
    expect(&s, "width=");
    int32_t w = scan_int(&s, INT32_MIN, INT32_MAX);
    expect(&s, " height=");
    int32_t h = scan_int(&s, INT32_MIN, INT32_MAX);
    const char *fps = std::strstr(header, " fps=");
    if (!s.ok || !fps) {
        fprintf(stderr, "2pass log header is malformed\n");
        return -1;
    }
    scanner f{fps + 5, true};
    int32_t num = scan_int(&f, 0, INT32_MAX);
    expect(&f, "/");
    int32_t den = scan_int(&f, 0, INT32_MAX);
    if (!f.ok) {
        fprintf(stderr, "2pass log header is malformed\n");
        return -1;
    }
    if (w != cfg->width || h != cfg->height) {
        fprintf(stderr, "resolution does not match! Previous is %dx%d, now is %dx%d\n", w, h, cfg->width,
                cfg->height);
        return -1;
    }
    if (num != cfg->fps_num || den != cfg->fps_den) {
        fprintf(stderr, "fps does not match!\n");
        return -1;
    }
    const struct { const char *key; const char *name; int32_t now; } keys[] = {
        {"idr-period=", "idr-period", cfg->idr_period},
        {"opengop=", "opengop", cfg->open_gop},
        {"bframes=", "bframes", cfg->bframes},
        {"scenecut=", "scenecut", cfg->scenecut},
    };
    for (const auto &k : keys) {
        int32_t v;
        if (header_value(header, k.key, &v) && v != k.now) {
            fprintf(stderr, "%s does not match! Previous is %d, now is %d\n", k.name, v, k.now);
            return -1;
        }
    }
    int32_t depth;
    if (header_value(header, "lookahead=", &depth)) {
        // The lookahead depth shapes the first pass's decisions; a second pass
        // keeps it, within the range the configuration accepts.
        if (depth < 0 || depth > 250) {
            fprintf(stderr, "2pass log header has an invalid lookahead %d\n", depth);
            return -1;
        }
        cfg->lookahead = depth;
    }
    return 0;
}

// --- lines ---

struct line_fields {
    int32_t coding_number, display_number;
    float qp_plan, qp_coded;
    int32_t resid, pred, misc, intra, skip;
    char word[8];
    bool has_word;
};

// Parses one picture line. Counts must be non-negative, QPs within 0..51,
// areas within the picture, numbers within 0..count-1.
bool parse_line(const char *line, int32_t count, int32_t units, line_fields *f)
{
    if (std::strlen(line) > (size_t)RC_STATS_LINE_MAX) return false;
    scanner s{line, true};
    f->coding_number = scan_int(&s, 0, count - 1);
    expect(&s, " play:");
    f->display_number = scan_int(&s, 0, count - 1);
    expect(&s, " qp:");
    f->qp_plan = scan_float(&s, 0.0, QP_MAX);
    f->qp_coded = scan_float(&s, 0.0, QP_MAX);
    expect(&s, " bits:");
    f->resid = scan_int(&s, 0, INT32_MAX);
    f->pred = scan_int(&s, 0, INT32_MAX);
    f->misc = scan_int(&s, 0, INT32_MAX);
    expect(&s, " cu_count:");
    f->intra = scan_int(&s, 0, units);
    f->skip = scan_int(&s, 0, units);
    if (!s.ok || (int64_t)f->intra + f->skip > units) return false;
    skip_space(&s);
    f->has_word = false;
    if (*s.p == 0) return true;  // a line without its type word takes the previous line's
    expect(&s, "type:");
    if (!s.ok) return false;
    size_t n = 0;
    while (s.p[n] && s.p[n] != ' ' && s.p[n] != '\t' && s.p[n] != '\r') n++;
    if (n == 0 || n > 7) return false;
    std::memcpy(f->word, s.p, n);
    f->word[n] = 0;
    s.p += n;
    skip_space(&s);
    f->has_word = true;
    return *s.p == 0;
}

void entry_defaults(pass2_entry *e, const internal_config *cfg)
{
    std::memset(e, 0, sizeof(*e));
    int32_t blocks = (((cfg->width >> 1) + 7) >> 3) * (((cfg->height >> 1) + 7) >> 3);
    e->slice_class = slice_p;
    e->picture_type = PIC_TYPE_P;
    e->non_b = 1;
    e->qscale_first = e->qscale_new = 0.85 * std::pow(2.0, 4.0 / 3.0);
    e->misc_bits = blocks + 10;
}

int32_t count_lines(const char *body)
{
    int32_t n = 0;
    for (const char *p = body; *p; p++)
        if (*p == '\n') {
            if (n == INT32_MAX / 2) return -1;
            n++;
        }
    return n;
}

void release(ratecontrol *rc)
{
    aligned_free(rc->pass2_entries);
    aligned_free(rc->pass2_order);
    rc->pass2_entries = nullptr;
    rc->pass2_order = nullptr;
    rc->pass2_count = 0;
}

int read_lines(ratecontrol *rc, const internal_config *cfg, char *body, int32_t count)
{
    int32_t units = rc->frame_8x8_units;
    float duration = (float)cfg->fps_den / (float)cfg->fps_num;
    uint8_t *named = (uint8_t *)aligned_malloc(count * 2);
    if (!named) return -1;
    std::memset(named, 0, (size_t)count * 2);
    char word[8] = {0};
    char *line = body;
    int result = 0;
    for (int32_t i = 0; i < count && result == 0; i++) {
        char *lf = std::strchr(line, '\n');
        if (!lf) {
            result = -1;
            break;
        }
        *lf = 0;
        line_fields f;
        bool ok = parse_line(line, count, units, &f);
        if (ok && f.has_word) std::memcpy(word, f.word, sizeof(word));
        int32_t cls = 0, type = 0;
        ok = ok && word[0] && parse_type_word(word, &cls, &type);
        // Every coding number and display number must be named exactly once,
        // so that no entry is left unread and no display number unmapped.
        ok = ok && !named[f.coding_number] && !named[count + f.display_number];
        if (!ok) {
            fprintf(stderr, "2pass log line %d is malformed\n", i + 1);
            result = -1;
            break;
        }
        named[f.coding_number] = named[count + f.display_number] = 1;
        rc->pass2_order[f.display_number] = f.coding_number;
        pass2_entry *e = &rc->pass2_entries[f.coding_number];
        e->slice_class = cls;
        e->picture_type = type;
        e->non_b = cls != slice_b;
        e->qscale_first = e->qscale_new = 0.85 * std::pow(2.0, ((double)f.qp_plan - 12.0) / 6.0);
        e->qp_coded = f.qp_coded;
        e->resid_bits = f.resid;
        e->pred_bits = f.pred;
        e->misc_bits = f.misc;
        e->intra_units = f.intra;
        e->skip_units = f.skip;
        e->duration = duration;
        line = lf + 1;
    }
    aligned_free(named);
    return result;
}

}  // namespace

double rc_entry_bits(const pass2_entry *e, double q)
{
    double qq = q > 0.1 ? q : 0.1;
    double first = e->qscale_first > 1.0 ? e->qscale_first : 1.0;
    double coded = std::sqrt(first / (qq > 1.0 ? qq : 1.0)) * e->pred_bits +
                   std::pow(e->qscale_first / qq, 1.1) * (e->resid_bits + 0.1);
    return (e->anchor_step_log2 != 0.0 ? coded * std::exp2(e->anchor_step_log2) : coded) + e->misc_bits;
}

int rc_pass1_header(ratecontrol *rc, const internal_config *cfg)
{
    char *h = (char *)aligned_malloc(RC_STATS_HEADER_SIZE);
    if (!h) return -1;
    snprintf(h, RC_STATS_HEADER_SIZE,
             "width=%d height=%d idr-period=%d opengop=%d bframes=%d fps=%u/%u lookahead=%d scenecut=%d\n",
             cfg->width, cfg->height, cfg->idr_period, cfg->open_gop, cfg->bframes, (unsigned)cfg->fps_num,
             (unsigned)cfg->fps_den, cfg->lookahead, cfg->scenecut);
    aligned_free(rc->stats_header);
    rc->stats_header = h;
    return 0;
}

void rc_pass1_write_line(ratecontrol *rc, const rc_frame_totals *totals, char *buffer)
{
    if (!buffer) return;
    int n = 0;
    ratecontrol *first = rc_first(rc);
    if (rc->pic.coding_number == 0 && first->stats_header) {
        n = snprintf(buffer, STATS_TEXT_MAX, "%s", first->stats_header);
        aligned_free(first->stats_header);
        // Every copy shares the block; none may keep a pointer to it.
        for (int32_t i = 0; i < first->record_count; i++) first[i].stats_header = nullptr;
        if (n < 0) n = 0;
        if (n >= STATS_TEXT_MAX) n = STATS_TEXT_MAX - 1;
    }
    const picture *src = rc->pic.source;
    rc_frame_totals zero = {};
    if (!totals) totals = &zero;
    snprintf(buffer + n, (size_t)(STATS_TEXT_MAX - n),
             "%d play:%d qp:%.2f %.2f bits: %d %d %d cu_count:%d %d type:%s\n", rc->pic.coding_number,
             src ? src->frame_number : 0, (double)rc->qp_plan_sum, (double)rc->qp_coded_sum,
             (int32_t)totals->residual_bits, (int32_t)totals->prediction_bits, (int32_t)totals->other_bits,
             (int32_t)totals->intra_area, (int32_t)totals->skip_area, type_word(src ? src->picture_type : 0));
}

int rc_pass2_read(ratecontrol *rc, internal_config *cfg, char *text)
{
    if (!text || std::strncmp(text, "width=", 6) != 0) {
        fprintf(stderr, "2pass log has no header\n");
        return -1;
    }
    char *lf = std::strchr(text, '\n');
    if (!lf) {
        fprintf(stderr, "2pass log has no header\n");
        return -1;
    }
    *lf = 0;
    if (lf - text > RC_STATS_HEADER_SIZE || check_header(text, cfg) != 0) {
        if (lf - text > RC_STATS_HEADER_SIZE) fprintf(stderr, "2pass log header is malformed\n");
        return -1;
    }
    // Counting starts at the second character after the header's line feed: a
    // line feed right behind it is not a picture line.
    char *body = lf + 1;
    int32_t count = *body ? count_lines(body + 1) : 0;
    if (count <= 0) {
        fprintf(stderr, "2pass log has no picture lines\n");
        return -1;
    }
    if ((int64_t)count * (int64_t)sizeof(pass2_entry) > 0x7FFFFFFF) {
        fprintf(stderr, "Entries for 2 pass cannot be allocated\n");
        return -1;
    }
    rc->pass2_entries = (pass2_entry *)aligned_malloc(count * (int32_t)sizeof(pass2_entry));
    if (!rc->pass2_entries) {
        fprintf(stderr, "Entries for 2 pass cannot be allocated\n");
        return -1;
    }
    rc->pass2_order = (int32_t *)aligned_malloc(count * 4);
    if (!rc->pass2_order) {
        fprintf(stderr, "Encode order for 2 pass cannot be allocated\n");
        release(rc);
        return -1;
    }
    for (int32_t i = 0; i < count; i++) {
        entry_defaults(&rc->pass2_entries[i], cfg);
        rc->pass2_order[i] = -1;
    }
    rc->pass2_count = count;
    if (read_lines(rc, cfg, body, count) != 0) {
        release(rc);
        return -1;
    }
    return 0;
}
