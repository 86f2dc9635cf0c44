// The six interface calls of the library.
#include "encoder/torvhevcenc.h"

#include <cstring>

#include "encoder/config.h"

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
    if (complexity < 0) complexity = 4;
    // Latency tunings exist only for the faster levels.
    if (complexity > 4) tune &= ~TORVHEVCENC_TUNE_LATENCY_MASK;
    memset(param, 0, size);
    param->size = size;
    internal_config cfg;
    if (config_preset(&cfg, complexity, tune) < 0) config_defaults(&cfg);
    config_to_public_param(&cfg, param);
    if (size >= offsetof(public_param, complexity) + 4) param->complexity = complexity;
    if (size >= offsetof(public_param, tune) + 4) param->tune = tune;
    return (int)size;
}

// Opening an encoder instance comes with the encoder core; until then no
// encoder can be created, and the calls that need one fail.
torvhevcenc_encoder *torvhevcenc_create(public_param *param)
{
    (void)param;
    return nullptr;
}

int torvhevcenc_encode_frame(torvhevcenc_encoder *enc, const uint32_t *strides, const uint8_t *const *planes,
                             int64_t pts, frame_info *info, const uint8_t **au, int64_t *out_pts,
                             uint32_t *out_strides, const uint8_t **out_planes, float *psnr, float *mean_qp)
{
    (void)enc, (void)strides, (void)planes, (void)pts, (void)info, (void)au, (void)out_pts;
    (void)out_strides, (void)out_planes, (void)psnr, (void)mean_qp;
    return -1;
}

int torvhevcenc_pending_frames(torvhevcenc_encoder *enc)
{
    (void)enc;
    return -1;
}

void torvhevcenc_close(torvhevcenc_encoder *enc)
{
    (void)enc;
}
