// Collecting the oldest picture in flight: wait for it, assemble its access
// unit, close it in rate control, measure its PSNR and mean QP, add it to the
// running totals and hand everything back. The totals are printed at close.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "encoder/encoder_instance.h"
#include "encoder/row_scheduler.h"

namespace {

// The picture will not be returned: its source goes back to the pool (pooled
// pictures stay allocated until close has joined the threads). A picture whose
// rows failed is done at once while a CTU of it may still be coded and read
// the frame instance's picture state, so then the state keeps the pointer and
// the NAL list is left alone: every later call is refused after a failed CTU,
// so none gets as far as reading them.
int32_t collect_fail(frame_instance *fi, bool rows_failed)
{
    if (fi->pic.source_picture) picture_release(fi->enc->pools, fi->pic.source_picture);
    if (!rows_failed) fi->pic.source_picture = nullptr;
    return -1;
}

void output_fill(const frame_instance *fi, frame_output *out)
{
    const encoder_instance *enc = fi->enc;
    const picture *rec = fi->pic.recon_picture;
    out->type = fi->pic.source_picture->picture_type;
    out->pts = rec->pts;
    out->dts = rec->coded_dts;
    for (int p = 0; p < 3; p++) {
        out->height[p] = p ? enc->height >> 1 : enc->height;
        out->width[p] = p ? enc->width >> 1 : enc->width;
        out->stride[p] = rec->strides[p];
        out->plane[p] = rec->planes[p];
    }
}

// Closes the picture in rate control with the CTU threads' sums; the other
// bits are everything of the access unit's payloads but residual and prediction.
int rate_control_end(frame_instance *fi, int32_t size, int64_t payload)
{
    const row_statistics *sums = &fi->stats.picture_sums;
    rc_frame_totals t;
    t.intra_area = sums->intra_area;
    t.skip_area = sums->skip_area;
    t.residual_bits = sums->bits[0];
    t.prediction_bits = sums->bits[1];
    int64_t other = 8 * payload - t.residual_bits - t.prediction_bits;
    t.other_bits = other > 0 ? (uint32_t)other : 0;
    t.cbr_log_lambda_sum = sums->log_lambda_sum;
    t.cbr_log_lambda_count = sums->log_lambda_count;
    return ratecontrol_end(fi->rc, &fi->enc->config, &t, (uint32_t)size * 8u);
}

// Waits until the picture is coded; false when its rows failed.
bool coded_wait(frame_instance *fi, frame_instance *cur)
{
    encoder_instance *enc = fi->enc;
    int w = row_sched_wait_frame(enc->scheduler, fi->pic.recon_picture->frame_number);
    fi->submitted = 0;
    if (w != 0) {
        __atomic_store_n(enc->job_failed, 1, __ATOMIC_RELEASE);
        return false;
    }
    // The picture is coded: its references are no longer read through this
    // frame instance (with one frame instance the list is the encoder's own).
    if (fi != cur) references_keep_predicted(fi);
    return true;
}

// The class the totals count the picture under: a P picture coded as a B
// slice counts as P.
int32_t totals_class(const frame_instance *fi)
{
    int32_t slice_class = fi->pic.sh.slice_type;
    if (fi->enc->config.p_as_b && fi->pic.recon_picture->picture_type == PIC_TYPE_P) slice_class = slice_p;
    return slice_class;
}

// RBSP bytes, before assembly rewrites the entries.
int64_t payload_bytes(const frame_instance *fi)
{
    int64_t payload = 0;
    for (int32_t k = 0; k < fi->bitstream.nal_count; k++) payload += fi->bitstream.nals[k].size;
    return payload;
}

void nals_hand_over(frame_instance *fi, nal_entry **out_nals, uint32_t *out_nal_count)
{
    if (out_nals && out_nal_count) {
        *out_nal_count = (uint32_t)fi->bitstream.nal_count;
        *out_nals = fi->bitstream.nals;
    }
    fi->bitstream.nal_count = 0;
}

// The picture's PSNR and mean QP, added to the running totals of its class.
void totals_add(frame_instance *fi, frame_output *out, int32_t size, int32_t slice_class)
{
    encoder_instance *enc = fi->enc;
    const statistics_block *st = &fi->stats;
    coding_totals *totals = &enc->totals;
    totals->class_bytes[slice_class] += size;
    totals->class_pictures[slice_class] += 1;
    const internal_config *cfg = &enc->config;
    int64_t s = (int64_t)(enc->width - cfg->pad_w) * (enc->height - cfg->pad_h);
    out->psnr_y = psnr_from_ssd(st->ssd[0], s);
    out->psnr_u = psnr_from_ssd(st->ssd[1], s / 4);
    out->psnr_v = psnr_from_ssd(st->ssd[2], s / 4);
    out->psnr_global = (6.0f * out->psnr_y + out->psnr_u + out->psnr_v) * 0.125f;
    totals->psnr_sum[slice_class][0] += out->psnr_y;
    totals->psnr_sum[slice_class][1] += out->psnr_u;
    totals->psnr_sum[slice_class][2] += out->psnr_v;
    uint64_t qp_sum = 0;
    for (int32_t a = 0; a < enc->ctu_count; a++) qp_sum += fi->pic.recon_picture->ctu_qps[a];
    out->mean_qp = (float)qp_sum / (float)enc->ctu_count;
}

}  // namespace

float psnr_from_ssd(uint64_t ssd, int64_t samples)
{
    if (samples <= 0) return 100.0f;
    double x = (double)ssd / (double)(samples * 65025);
    return x < 1e-10 ? 100.0f : (float)(-10.0 * std::log10(x));
}

int32_t encoder_collect_output(frame_instance *fi, frame_instance *cur, nal_entry **out_nals,
                               uint32_t *out_nal_count, frame_output *out)
{
    encoder_instance *enc = fi->enc;
    if (fi->submitted && !coded_wait(fi, cur)) return collect_fail(fi, true);
    if (fi->bitstream.nal_count == 0) {
        if (out) out->type = 0;
        return 0;
    }
    int32_t slice_class = totals_class(fi);
    int64_t payload = payload_bytes(fi);
    int32_t size = au_assemble(&fi->bitstream, enc->au);
    if (size < 0) {
        fi->bitstream.nal_count = 0;
        return collect_fail(fi, false);
    }
    frame_output local;
    if (!out) out = &local;
    output_fill(fi, out);
    // Rate control reads the source picture's type and lookahead costs: the
    // picture goes back only after it (once released it may be freed).
    int32_t rc_result = rate_control_end(fi, size, payload);
    picture_release(enc->pools, fi->pic.source_picture);
    fi->pic.source_picture = nullptr;
    if (rc_result < 0) {
        fi->bitstream.nal_count = 0;
        return -1;
    }
    nals_hand_over(fi, out_nals, out_nal_count);
    totals_add(fi, out, size, slice_class);
    return size;
}

void picture_ssd_compute(frame_instance *fi)
{
    encoder_instance *enc = fi->enc;
    const internal_config *cfg = &enc->config;
    int32_t w = enc->width - cfg->pad_w, h = enc->height - cfg->pad_h;
    const picture *rec = fi->pic.recon_picture, *src = fi->pic.source_picture;
    for (int p = 0; p < 3; p++) {
        int32_t pw = p ? w >> 1 : w, ph = p ? h >> 1 : h;
        fi->stats.ssd[p] = enc->metric.sse_wxh(rec->planes[p], rec->strides[p], src->planes[p], src->strides[p], pw, ph);
    }
}

void encoder_report_print(const encoder_instance *inst)
{
    const coding_totals *st = &inst->totals;
    const internal_config *cfg = &inst->config;
    double t = cfg->fps_num > 0 ? (double)cfg->fps_den / cfg->fps_num * 1000.0 : 0.0;
    int32_t n = st->class_pictures[0] + st->class_pictures[1] + st->class_pictures[2];
    std::fprintf(stderr, "frame count : %d  B %d P %d I %d\n", n, st->class_pictures[0], st->class_pictures[1],
                 st->class_pictures[2]);
    std::fprintf(stderr, "PSNR      Y        U        V   Global        size    kbps\n");
    static const char *names[3] = {"B", "P", "I"};
    double sum[3] = {0, 0, 0};
    int64_t bytes = 0;
    for (int c = 0; c < 3; c++) {
        double k = st->class_pictures[c] > 0 ? st->class_pictures[c] : 1;
        const double *ps = st->psnr_sum[c];
        double kbps = t > 0 ? (double)st->class_bytes[c] * 8.0 / t / k : 0.0;
        std::fprintf(stderr, "%s:  %.4lf  %.4lf  %.4lf  %.4lf  %10" PRId64 "  %.2lf\n", names[c], ps[0] / k, ps[1] / k,
                     ps[2] / k, (6 * ps[0] + ps[1] + ps[2]) * 0.125 / k, st->class_bytes[c], kbps);
        for (int p = 0; p < 3; p++) sum[p] += ps[p];
        bytes += st->class_bytes[c];
    }
    double nn = n > 0 ? n : 1;
    std::fprintf(stderr, "average:  %.4lf  %.4lf  %.4lf    Global:  %.4lf\n", sum[0] / nn, sum[1] / nn, sum[2] / nn,
                 (6 * sum[0] + sum[1] + sum[2]) * 0.125 / nn);
    double kbps = t > 0 ? (double)bytes * 8.0 / t / nn : 0.0;
    std::fprintf(stderr, "\n%.2lf kbps   %" PRId64 " bytes\n", kbps, bytes);
}
