// The SAO decision of a CTU over a bit estimator with flat contexts (every
// context-coded bin 1 bit, the bins of the H.265 SAO syntax): new parameters,
// merges, candidate sets by complexity, the speed rule, cut CTUs, disabled
// components, and the error reduction of decision plus application on a
// whole picture.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/sao/sao_decide.h"
#include "encoder/cpu.h"
#include "filters/sao/sao.h"

namespace {

struct flat_rate {
    uint32_t x = 0, y = 0;
};

int32_t flat_merge_flags(void *state, int32_t merge)
{
    const flat_rate *r = (const flat_rate *)state;
    int32_t bits = 0;
    if (r->x > 0) bits += 256;
    if (merge != SAO_MERGE_LEFT && r->y > 0) bits += 256;
    return bits;
}

int32_t magnitude_bins(int32_t o)
{
    int32_t m = std::abs(o);
    return m < 7 ? m + 1 : 7;
}

int32_t flat_offsets(void *state, const sao_param *const recs[3], int32_t first, int32_t last)
{
    (void)state;
    int32_t bits = 0;
    for (int c = first; c <= last; c++) {
        const sao_param *p = recs[c];
        if (c < 2) bits += 256;   // first sao_type_idx bin
        if (p->type == SAO_TYPE_OFF) continue;
        if (c < 2) bits += 256;   // second type bin, bypass
        for (int j = 0; j < 4; j++) bits += 256 * magnitude_bins(p->offset[j]);
        if (p->type == SAO_TYPE_BAND) {
            for (int j = 0; j < 4; j++) bits += p->offset[j] ? 256 : 0;
            bits += 1280;
        } else if (c < 2) {
            bits += 512;   // edge class
        }
    }
    return bits;
}

// A picture for the decision: source planes, the deblocked copy with margins
// for the ring (written CTU by CTU, as coding would), a clean copy of the
// deblocked picture, and the final planes for application.
struct dec_picture {
    int width = 0, height = 0;
    uint32_t cols = 0, rows = 0;
    std::vector<uint8_t> src[3], deb[3], clean[3], fin[3];
    int stride[3] = {0, 0, 0}, margin[3] = {0, 0, 0};
    std::vector<sao_param> params[3];
    sao_diff_buffer diff;
    std::vector<uint8_t> scratch;
    sao_table table;
    flat_rate rate;
    sao_decide_context ctx;

    size_t at(int p, int x, int y) const { return (size_t)(y + margin[p]) * stride[p] + x + margin[p]; }
    int plane_w(int p) const { return width >> (p ? 1 : 0); }
    int plane_h(int p) const { return height >> (p ? 1 : 0); }
};

typedef void (*content_fn)(int p, int x, int y, uint8_t *src, uint8_t *deb, std::mt19937 &rng);

void dec_init(dec_picture *d, int width, int height, uint32_t flags, content_fn content, uint32_t seed)
{
    std::mt19937 rng(seed);
    d->width = width;
    d->height = height;
    d->cols = (uint32_t)(width + 63) / 64;
    d->rows = (uint32_t)(height + 63) / 64;
    d->scratch.assign(SAO_SCRATCH_BYTES, 0);
    sao_table_init(CPU_SSE41 | CPU_SSSE3 | CPU_AVX2, &d->table);
    std::memset(&d->ctx, 0, sizeof d->ctx);
    for (int p = 0; p < 3; p++) {
        int n = p ? 32 : 64;
        d->margin[p] = 48 >> (p ? 1 : 0);
        d->stride[p] = n * (int)d->cols + 2 * d->margin[p];
        size_t size = (size_t)d->stride[p] * (n * d->rows + 2 * d->margin[p]);
        d->src[p].assign(size, 0);
        d->deb[p].assign(size, 0);
        d->clean[p].assign(size, 0);
        d->fin[p].assign(size, 0);
        for (int y = 0; y < d->plane_h(p); y++)
            for (int x = 0; x < d->plane_w(p); x++) content(p, x, y, &d->src[p][d->at(p, x, y)], &d->clean[p][d->at(p, x, y)], rng);
        bool on = (flags & (p ? SAO_FLAG_CHROMA : SAO_FLAG_LUMA)) != 0;
        d->params[p].assign(on ? d->cols * d->rows : 0, sao_param{SAO_TYPE_OFF, 0, {0, 0, 0, 0}});
        d->ctx.deblock_planes[p] = d->deb[p].data() + d->at(p, 0, 0);
        d->ctx.deblock_stride[p] = d->stride[p];
        d->ctx.source_planes[p] = d->src[p].data() + d->at(p, 0, 0);
        d->ctx.source_stride[p] = d->stride[p];
        d->ctx.sao_params[p] = on ? d->params[p].data() : nullptr;
    }
    d->ctx.table = &d->table;
    d->ctx.rate.state = &d->rate;
    d->ctx.rate.merge_flags = flat_merge_flags;
    d->ctx.rate.offsets = flat_offsets;
    d->ctx.sao_flags = flags;
    d->ctx.ctu_columns = d->cols;
    d->ctx.ctu_rows = d->rows;
    d->ctx.width = (uint32_t)width;
    d->ctx.height = (uint32_t)height;
    d->ctx.complexity = 5;
    d->ctx.pick_mode = 1;
    d->ctx.picture_type = 3;
    d->ctx.lambda_sse = 256 * 20;
    d->ctx.chroma_weight = 256;
    d->ctx.diff = &d->diff;
    d->ctx.scratch = d->scratch.data();
}

// Codes CTU (x, y): its deblocked samples arrive, then the decision runs.
int32_t dec_ctu(dec_picture *d, uint32_t x, uint32_t y)
{
    for (int p = 0; p < 3; p++) {
        int n = p ? 32 : 64;
        for (int r = 0; r < n && (int)y * n + r < d->plane_h(p); r++)
            for (int c = 0; c < n && (int)x * n + c < d->plane_w(p); c++) {
                size_t i = d->at(p, (int)x * n + c, (int)y * n + r);
                d->deb[p][i] = d->clean[p][i];
            }
    }
    d->ctx.ctu_x = d->rate.x = x;
    d->ctx.ctu_y = d->rate.y = y;
    d->ctx.sao_merge = -1;
    sao_decide_ctu(&d->ctx);
    return d->ctx.sao_merge;
}

void dec_all(dec_picture *d)
{
    for (uint32_t y = 0; y < d->rows; y++)
        for (uint32_t x = 0; x < d->cols; x++) dec_ctu(d, x, y);
}

// Applies the decided parameters from the clean deblocked copy and returns
// the squared error against the source, and the error without SAO.
void dec_apply(dec_picture *d, int p, uint64_t *with_sao, uint64_t *without)
{
    sao_ctu_context a;
    std::memset(&a, 0, sizeof a);
    a.sao_flags = d->ctx.sao_flags;
    a.ctu_columns = d->cols;
    a.ctu_rows = d->rows;
    a.width = (uint32_t)d->width;
    a.height = (uint32_t)d->height;
    for (int q = 0; q < 3; q++) {
        a.stride[q] = d->stride[q];
        a.planes[q] = d->fin[q].data() + d->at(q, 0, 0);
        a.deblock_planes[q] = d->clean[q].data() + d->at(q, 0, 0);
        a.sao_params[q] = d->ctx.sao_params[q];
    }
    a.scratch = d->scratch.data();
    for (uint32_t y = 0; y < d->rows; y++)
        for (uint32_t x = 0; x < d->cols; x++) sao_apply_ctb_plane_c(&a, x, y, p, 0);
    *with_sao = *without = 0;
    for (int y = 0; y < d->plane_h(p); y++)
        for (int x = 0; x < d->plane_w(p); x++) {
            size_t i = d->at(p, x, y);
            int e1 = d->fin[p][i] - d->src[p][i], e0 = d->clean[p][i] - d->src[p][i];
            *with_sao += (uint64_t)(e1 * e1);
            *without += (uint64_t)(e0 * e0);
        }
}

// Flat deblocked samples (100 luma, 60 chroma) under a source 4 higher.
void flat_biased(int p, int, int, uint8_t *src, uint8_t *deb, std::mt19937 &)
{
    *deb = p ? 60 : 100;
    *src = (uint8_t)(*deb + 4);
}

// A textured source and a deblocked picture with quantisation-like error:
// every sample pulled to the middle of its 8-value step, plus ringing.
void textured(int p, int x, int y, uint8_t *src, uint8_t *deb, std::mt19937 &rng)
{
    int v = 128 + (int)(60 * ((x / 7 + y / 5) % 3 - 1)) + (int)(rng() % 9) - 4 + (p ? 10 : 0);
    *src = (uint8_t)v;
    int d = (v & ~7) + 4 + (((x + y) & 3) == 0 ? 2 : 0);
    *deb = (uint8_t)(d > 255 ? 255 : d);
}

} // namespace

TEST(SaoDecide, FirstCtuTakesNewBandOffsetsThatRestoreABiasedFlatBlock)
{
    dec_picture d;
    dec_init(&d, 64, 64, 3, flat_biased, 1);
    EXPECT_EQ(dec_ctu(&d, 0, 0), SAO_MERGE_NONE);
    for (int p = 0; p < 3; p++) {
        const sao_param &r = d.params[p][0];
        int band = (p ? 60 : 100) >> 3;
        ASSERT_EQ(r.type, SAO_TYPE_BAND) << "plane " << p;
        ASSERT_LE(r.band_position, 28);
        ASSERT_LE(r.band_position, band);
        ASSERT_GT(r.band_position + 4, band);
        for (int k = 0; k < 4; k++) EXPECT_EQ(r.offset[k], r.band_position + k == band ? 4 : 0);
        uint64_t with_sao, without;
        dec_apply(&d, p, &with_sao, &without);
        EXPECT_EQ(with_sao, 0u);
        EXPECT_EQ(without, (uint64_t)(16 * (p ? 1024 : 4096)));
    }
}

TEST(SaoDecide, ComplexityLimitsTheCandidateTypes)
{
    for (int mode = 0; mode < 3; mode++) {
        dec_picture d;
        dec_init(&d, 128, 128, 3, mode == 2 ? textured : flat_biased, 2);
        d.ctx.complexity = mode == 0 ? 1 : 3;
        d.ctx.pick_mode = 0;
        if (mode == 2) d.ctx.lambda_sse = 0;
        dec_all(&d);
        int allowed_max = mode == 0 ? 1 : 3;
        for (int p = 0; p < 3; p++)
            for (const sao_param &r : d.params[p]) {
                if (mode < 2) {
                    // Edge offsets cannot help a flat block and band offset is
                    // not tried: SAO stays off.
                    EXPECT_EQ(r.type, SAO_TYPE_OFF);
                } else {
                    EXPECT_TRUE(r.type == SAO_TYPE_OFF || r.type <= allowed_max) << r.type;
                }
            }
    }
}

TEST(SaoDecide, IdenticalLeftNeighbourIsMergedAndUpIsPreferredOnEqualCosts)
{
    dec_picture d;
    dec_init(&d, 128, 128, 3, flat_biased, 3);
    EXPECT_EQ(dec_ctu(&d, 0, 0), SAO_MERGE_NONE);
    EXPECT_EQ(dec_ctu(&d, 1, 0), SAO_MERGE_LEFT);
    EXPECT_EQ(dec_ctu(&d, 0, 1), SAO_MERGE_UP);
    // Left and up carry the same records and distortion; the merge-left
    // flag costs one bit less, so left wins; with both flags free, up wins.
    EXPECT_EQ(dec_ctu(&d, 1, 1), SAO_MERGE_LEFT);
    d.ctx.rate.merge_flags = [](void *, int32_t) -> int32_t { return 0; };
    EXPECT_EQ(dec_ctu(&d, 1, 1), SAO_MERGE_UP);
    for (int p = 0; p < 3; p++)
        for (const sao_param &r : d.params[p]) EXPECT_EQ(std::memcmp(&r, &d.params[p][0], sizeof r), 0);
}

TEST(SaoDecide, SpeedRuleSwitchesOffAndMergesWithOffNeighbours)
{
    dec_picture d;
    dec_init(&d, 128, 128, 3, flat_biased, 4);
    for (int p = 0; p < 3; p++)
        for (sao_param &r : d.params[p]) r = sao_param{SAO_TYPE_BAND, 9, {1, 2, 3, 4}};
    d.ctx.speed_step = 3;
    EXPECT_EQ(dec_ctu(&d, 0, 0), SAO_MERGE_NONE);
    EXPECT_EQ(dec_ctu(&d, 1, 0), SAO_MERGE_LEFT);
    EXPECT_EQ(dec_ctu(&d, 0, 1), SAO_MERGE_UP);
    EXPECT_EQ(dec_ctu(&d, 1, 1), SAO_MERGE_LEFT);
    for (int p = 0; p < 3; p++)
        for (const sao_param &r : d.params[p]) {
            EXPECT_EQ(r.type, SAO_TYPE_OFF);
            EXPECT_EQ(r.band_position, 9);   // only the type is written
            EXPECT_EQ(r.offset[3], 4);
        }
    // Speed step 2 skips B pictures only.
    d.ctx.speed_step = 2;
    d.ctx.picture_type = 3;
    EXPECT_EQ(dec_ctu(&d, 0, 0), SAO_MERGE_NONE);
    EXPECT_EQ(d.params[0][0].type, SAO_TYPE_BAND);
    d.ctx.picture_type = 6;
    dec_ctu(&d, 0, 0);
    EXPECT_EQ(d.params[0][0].type, SAO_TYPE_OFF);
}

TEST(SaoDecide, CutCtusCountWhole16ColumnGroupsAndDisabledPlanesStayUntouched)
{
    // 72x72, biased only right of and below the first CTU. The right column
    // keeps 8 luma and 4 chroma columns, too narrow to count: SAO stays off
    // there. The bottom row keeps 8 luma and 4 chroma rows of full width:
    // counted, so band offsets restore them.
    content_fn outer_biased = [](int p, int x, int y, uint8_t *src, uint8_t *deb, std::mt19937 &) {
        int n = p ? 32 : 64;
        *deb = p ? 60 : 100;
        *src = (uint8_t)(*deb + (x >= n || y >= n ? 4 : 0));
    };
    dec_picture d;
    dec_init(&d, 72, 72, 1, outer_biased, 5);
    dec_all(&d);
    EXPECT_EQ(d.params[0][0].type, SAO_TYPE_OFF);
    EXPECT_EQ(d.params[0][1].type, SAO_TYPE_OFF);
    EXPECT_EQ(d.params[0][2].type, SAO_TYPE_BAND);
    EXPECT_TRUE(d.params[1].empty() && d.params[2].empty());
    dec_picture c;
    dec_init(&c, 72, 72, 2, outer_biased, 5);
    dec_all(&c);
    EXPECT_TRUE(c.params[0].empty());
    for (int p = 1; p < 3; p++) {
        EXPECT_EQ(c.params[p][0].type, SAO_TYPE_OFF);
        EXPECT_EQ(c.params[p][1].type, SAO_TYPE_OFF);
        EXPECT_EQ(c.params[p][2].type, SAO_TYPE_BAND);
    }
}

TEST(SaoDecide, DecisionAndApplicationReduceTheErrorOfATexturedPicture)
{
    for (int complexity : {1, 5}) {
        dec_picture d;
        dec_init(&d, 200, 120, 3, textured, 6);
        d.ctx.complexity = complexity;
        dec_all(&d);
        for (int p = 0; p < 3; p++) {
            uint64_t with_sao, without;
            dec_apply(&d, p, &with_sao, &without);
            EXPECT_LT(with_sao * 10, without * 9) << "complexity " << complexity << " plane " << p << ": "
                                                  << with_sao << " vs " << without;
        }
    }
}
