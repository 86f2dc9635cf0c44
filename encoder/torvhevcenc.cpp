// The six interface calls of the library.
#include "encoder/torvhevcenc.h"

#include <cstring>

#include "encoder/config.h"
#include "encoder/encoder_instance.h"

uint32_t torvhevcenc_version(void)
{
    return ((uint32_t)TORVHEVCENC_VERSION_MAJOR << 24) | ((uint32_t)TORVHEVCENC_VERSION_MINOR << 16) |
           (uint32_t)TORVHEVCENC_VERSION_REVISION;
}

int torvhevcenc_default_param(public_param *param, int complexity, unsigned tune)
{
    if (!param) return -1;
    uint32_t size = param->size;
    if (size == 0) return 0;
    if (complexity < 0) complexity = COMPLEXITY_DEFAULT;
    // Latency tunings exist only for the faster levels.
    if (complexity_is_thorough(complexity)) tune &= ~TORVHEVCENC_TUNE_LATENCY_MASK;
    memset(param, 0, size);
    param->size = size;
    internal_config cfg;
    if (config_preset(&cfg, complexity, tune) < 0) config_defaults(&cfg);
    config_to_public_param(&cfg, param);
    if (size >= offsetof(public_param, complexity) + 4) param->complexity = complexity;
    if (size >= offsetof(public_param, tune) + 4) param->tune = tune;
    return (int)size;
}

torvhevcenc_encoder *torvhevcenc_create(public_param *param)
{
    internal_config cfg;
    if (config_copy_public_param(param, &cfg) != 0) return nullptr;
    // The open validates the configuration once and hands the validated
    // values back in cfg.
    encoder_instance *enc = encoder_open(&cfg);
    if (!enc) return nullptr;
    if (param) config_write_back(param, &cfg);
    return enc;
}

int torvhevcenc_encode_frame(torvhevcenc_encoder *enc, const uint32_t *strides, const uint8_t *const *planes,
                             int64_t pts, frame_info *info, const uint8_t **au, int64_t *out_pts,
                             uint32_t *out_strides, const uint8_t **out_planes, float *psnr, float *mean_qp)
{
    if (!enc) return -1;
    input_frame input;
    input_frame *in = nullptr;
    if (!strides || !planes) {
        if (encoder_pending_count(enc) == 0) return 0;
    } else {
        // The saved copy: the working one may be restored by a CTU thread.
        const internal_config *cfg = &enc->config;
        std::memset(&input, 0, sizeof(input));
        uint32_t size = info ? info->size : 0;
        if (size >= 8) input.picture_type = (uint32_t)info->type;
        uint64_t hi = size >= 12 ? info->user_hi : 0, lo = size >= 16 ? info->user_lo : 0;
        input.user_value = (hi << 32) | lo;
        input.pts = pts;
        int32_t w = cfg->width - cfg->pad_w, h = cfg->height - cfg->pad_h;
        for (int p = 0; p < 3; p++) {
            input.widths[p] = p ? w / 2 : w;
            input.heights[p] = p ? h / 2 : h;
            input.strides[p] = (int32_t)strides[p];
            input.planes[p] = planes[p];
        }
        in = &input;
    }
    frame_output out;
    std::memset(&out, 0, sizeof(out));
    int32_t size = encoder_encode_frame(enc, nullptr, nullptr, in, &out);
    if (size < 0) return -1;
    if (size == 0) return 0;
    if (au) *au = enc->au->base;
    if (out_pts) *out_pts = out.pts;
    for (int p = 0; p < 3; p++) {
        if (out_strides) out_strides[p] = (uint32_t)out.stride[p];
        if (out_planes) out_planes[p] = out.plane[p];
    }
    if (info && info->size >= 8) info->type = (int32_t)out.type;
    if (psnr) {
        psnr[0] = out.psnr_global;
        psnr[1] = out.psnr_y;
        psnr[2] = out.psnr_u;
        psnr[3] = out.psnr_v;
    }
    if (mean_qp) *mean_qp = out.mean_qp;
    return size;
}

int torvhevcenc_pending_frames(torvhevcenc_encoder *enc)
{
    if (!enc) return -1;
    return (int)encoder_pending_count(enc);
}

void torvhevcenc_close(torvhevcenc_encoder *enc)
{
    encoder_close_chain(enc);
}
