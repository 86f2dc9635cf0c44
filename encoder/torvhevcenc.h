/* Public interface of the torvenc H.265 encoder library.
 *
 * Six calls: fill a parameter record with defaults, create an encoder from it,
 * encode one picture (or drain), ask how many pictures are still inside, close,
 * and read the version. Both records are size-versioned: their first word is the
 * size the caller allocated, and the library reads or writes a field only when
 * that size covers the whole field, so a caller built against a shorter record
 * gets defaults for everything past its end.
 *
 * Usable from C and C++.
 */
#ifndef TORVHEVCENC_H
#define TORVHEVCENC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define TORVHEVCENC_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define TORVHEVCENC_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Version word: major in bits 24-31, minor in bits 16-23, revision in bits 0-15. */
#define TORVHEVCENC_VERSION_MAJOR 2
#define TORVHEVCENC_VERSION_MINOR 8
#define TORVHEVCENC_VERSION_REVISION 6740

/* Tuning bits: one content tuning (bits 0-7) and one latency tuning (bits 16-23). */
#define TORVHEVCENC_TUNE_MONITOR 0x1u
#define TORVHEVCENC_TUNE_CARTOON 0x2u
#define TORVHEVCENC_TUNE_HIGHMOTION 0x4u
#define TORVHEVCENC_TUNE_BROADCAST 0x8u
#define TORVHEVCENC_TUNE_ZEROLATENCY 0x10000u
#define TORVHEVCENC_TUNE_LOWDELAY 0x20000u
#define TORVHEVCENC_TUNE_CONTENT_MASK 0xFFu
#define TORVHEVCENC_TUNE_LATENCY_MASK 0xFF0000u

/* Picture types, as returned in frame_info.type. */
#define TORVHEVCENC_TYPE_IDR 1
#define TORVHEVCENC_TYPE_CRA 2
#define TORVHEVCENC_TYPE_I 3
#define TORVHEVCENC_TYPE_P 4
#define TORVHEVCENC_TYPE_BREF 5
#define TORVHEVCENC_TYPE_B 6

/* The encoder parameter record, 160 bytes. */
typedef struct public_param {
    uint32_t size;            /* bytes the caller allocated; 160 for this layout */
    int32_t width;            /* luma width in samples, 2..16888 */
    int32_t height;           /* luma height in samples, 2..16888 */
    int32_t compat;           /* HM compatibility version x 10: 91, 100, 120 */
    int32_t complexity;       /* 0..7: selects the preset */
    int32_t frame_threads;    /* frame instances; 0 = automatic; written back by create */
    int32_t wpp;              /* informational; the encoder does not read it */
    int32_t idr_period;
    int32_t min_idr;          /* 0 = automatic */
    int32_t rc_mode;          /* 0 CQP, 1 ABR, 2 CBR, 3 CRF */
    int32_t qp;
    int32_t bitrate;          /* kbit/s */
    int32_t fps_num;
    int32_t fps_den;
    int32_t loglevel;         /* 0 quiet; 1 settings, progress and report */
    int32_t sei;
    int32_t working_threads;  /* CTU threads */
    uint32_t tune;            /* TORVHEVCENC_TUNE_* bits; applied by the preset */
    int32_t maxrate;          /* CBR limits in kbit/s */
    int32_t minrate;
    int32_t bufsize;          /* CBR window in pictures */
    int32_t bframes;
    int32_t hierarchy;        /* B-pyramid depth 0..2; negative = automatic */
    int32_t interlace;        /* 0 progressive, 1 top field first, 2 bottom field first */
    int32_t sar_num;
    int32_t sar_den;
    float crf;
    int32_t vbv_bufsize;      /* kbit; 0 = no VBV */
    int32_t vbv_maxrate;      /* kbit/s */
    int32_t pass2;
    int32_t pass1;
    int32_t reserved;
    char *pass2_stats;        /* whole first-pass text, NUL-terminated, caller-owned */
    char *pass1_stats_buffer; /* caller's 1,024-byte buffer for each picture's line */
    int32_t brefs;
    int32_t prefs;
    int32_t scenecut;         /* 0 = off */
    int32_t lookahead;
} public_param;

/* In/out record of torvhevcenc_encode_frame, 16 bytes. */
typedef struct frame_info {
    uint32_t size;    /* 16 */
    int32_t type;     /* in: 0 = encoder decides; out: coded picture type */
    uint32_t user_hi; /* high half of an 8-byte per-picture value */
    uint32_t user_lo; /* low half */
} frame_info;

TORVHEVCENC_STATIC_ASSERT(sizeof(public_param) == 160, "public_param is 160 bytes");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, size) == 0, "size");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, width) == 4, "width");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, height) == 8, "height");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, compat) == 12, "compat");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, complexity) == 16, "complexity");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, frame_threads) == 20, "frame_threads");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, wpp) == 24, "wpp");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, idr_period) == 28, "idr_period");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, min_idr) == 32, "min_idr");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, rc_mode) == 36, "rc_mode");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, qp) == 40, "qp");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, bitrate) == 44, "bitrate");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, fps_num) == 48, "fps_num");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, fps_den) == 52, "fps_den");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, loglevel) == 56, "loglevel");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, sei) == 60, "sei");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, working_threads) == 64, "working_threads");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, tune) == 68, "tune");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, maxrate) == 72, "maxrate");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, minrate) == 76, "minrate");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, bufsize) == 80, "bufsize");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, bframes) == 84, "bframes");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, hierarchy) == 88, "hierarchy");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, interlace) == 92, "interlace");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, sar_num) == 96, "sar_num");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, sar_den) == 100, "sar_den");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, crf) == 104, "crf");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, vbv_bufsize) == 108, "vbv_bufsize");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, vbv_maxrate) == 112, "vbv_maxrate");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, pass2) == 116, "pass2");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, pass1) == 120, "pass1");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, reserved) == 124, "reserved");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, pass2_stats) == 128, "pass2_stats");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, pass1_stats_buffer) == 136, "pass1_stats_buffer");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, brefs) == 144, "brefs");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, prefs) == 148, "prefs");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, scenecut) == 152, "scenecut");
TORVHEVCENC_STATIC_ASSERT(offsetof(public_param, lookahead) == 156, "lookahead");

TORVHEVCENC_STATIC_ASSERT(sizeof(frame_info) == 16, "frame_info is 16 bytes");
TORVHEVCENC_STATIC_ASSERT(offsetof(frame_info, size) == 0, "size");
TORVHEVCENC_STATIC_ASSERT(offsetof(frame_info, type) == 4, "type");
TORVHEVCENC_STATIC_ASSERT(offsetof(frame_info, user_hi) == 8, "user_hi");
TORVHEVCENC_STATIC_ASSERT(offsetof(frame_info, user_lo) == 12, "user_lo");

/* The encoder handle; its contents are private to the library. */
typedef struct encoder_instance torvhevcenc_encoder;

/* Fills every field that param->size covers with the defaults of this
 * complexity (negative: 4) and tune (latency bits dropped above complexity 4).
 * Returns -1 for a null record, 0 for a record of size 0 (nothing written),
 * otherwise the size. */
int torvhevcenc_default_param(public_param *param, int complexity, unsigned tune);

/* Creates an encoder; null on a refused configuration or any failure. On success
 * the validated compat and frame-instance count are written back into the
 * record (where its size covers them). */
torvhevcenc_encoder *torvhevcenc_create(public_param *param);

/* Encodes one picture, or drains when strides or planes is null. Returns the
 * size of the access unit that became ready, 0 when none did, -1 on failure.
 * Every output pointer may be null; psnr receives global, Y, U, V. The access
 * unit and reconstruction stay owned by the encoder until the next call. */
int torvhevcenc_encode_frame(torvhevcenc_encoder *enc, const uint32_t *strides,
                             const uint8_t *const *planes, int64_t pts, frame_info *info,
                             const uint8_t **au, int64_t *out_pts, uint32_t *out_strides,
                             const uint8_t **out_planes, float *psnr, float *mean_qp);

/* Pictures still inside the encoder. */
int torvhevcenc_pending_frames(torvhevcenc_encoder *enc);

/* Prints the report, stops the encoder's threads and frees everything. The
 * handle is invalid afterwards: it must not be passed to any call again,
 * torvhevcenc_close included. */
void torvhevcenc_close(torvhevcenc_encoder *enc);

uint32_t torvhevcenc_version(void);

#ifdef __cplusplus
}
#endif

#endif
