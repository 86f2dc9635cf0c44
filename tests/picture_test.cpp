#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "encoder/picture.h"
#include "encoder/picture_list.h"
#include "encoder/row_scheduler.h"

namespace {

picture_geometry make_geometry(int32_t w, int32_t h, int32_t bframes = 0, int32_t aq = 0, int32_t l1 = 0,
                               int32_t subpel = 0, int32_t halfres_recon = 0)
{
    picture_geometry g = {};
    g.halfres_recon = halfres_recon;
    g.width = w;
    g.height = h;
    g.ctu_cols = (w + 63) / 64;
    g.ctu_rows = (h + 63) / 64;
    g.bframes = bframes;
    g.aq = aq;
    g.motion_l1 = l1;
    g.subpel_planes = subpel;
    return g;
}

// One array of a picture: where it starts and how many bytes it holds.
struct array_span {
    void *start;
    size_t bytes;
};

// The small arrays share one block: each, written whole with its own byte,
// must still hold only that byte after all the others are written.
void expect_arrays_disjoint(const std::vector<array_span> &spans)
{
    for (size_t i = 0; i < spans.size(); i++) {
        ASSERT_NE(spans[i].start, nullptr) << i;
        std::memset(spans[i].start, (int)(i + 1), spans[i].bytes);
    }
    for (size_t i = 0; i < spans.size(); i++) {
        const uint8_t *b = (const uint8_t *)spans[i].start;
        size_t wrong = 0;
        for (size_t k = 0; k < spans[i].bytes; k++) wrong += b[k] != (uint8_t)(i + 1);
        EXPECT_EQ(wrong, 0u) << "array " << i;
    }
}

int clampi(int v, int lo, int hi)
{
    return v < lo ? lo : v > hi ? hi : v;
}

uint8_t pattern(int x, int y, int plane)
{
    return (uint8_t)(x * 7 + y * 13 + plane * 50 + ((x * y) >> 3));
}

// Plane p's coded size and margins.
struct plane_shape {
    int w, h, mx, my;
};

plane_shape shape_of(const picture_geometry &g, int p)
{
    if (p == 0) return {g.width, g.height, PICTURE_LUMA_MARGIN_X, PICTURE_LUMA_MARGIN_Y};
    return {g.width / 2, g.height / 2, PICTURE_CHROMA_MARGIN_X, PICTURE_CHROMA_MARGIN_Y};
}

}  // namespace

TEST(PictureAlloc, PlanesAreAlignedAndSizedByWholeCtus)
{
    picture_geometry g = make_geometry(200, 136, 0, 0, 0, 0, 1);
    picture *pic = picture_alloc(&g, PICTURE_POOL_RECON);
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(pic->plane_count, 3);
    EXPECT_EQ(pic->strides[0], 64 * 4 + 192);
    EXPECT_EQ(pic->strides[1], (64 * 4 + 192) / 2);
    EXPECT_EQ(pic->widths[0], 256);
    EXPECT_EQ(pic->heights[0], 192);
    EXPECT_EQ(pic->widths[1], 128);
    EXPECT_EQ(pic->heights[2], 96);
    for (int p = 0; p < 3; p++) {
        EXPECT_EQ((uintptr_t)pic->planes[p] % 32, 0u) << p;
        EXPECT_EQ(pic->strides[p] % 32, 0) << p;
    }
    EXPECT_EQ(pic->planes[0], pic->plane_buffer + 88 * pic->strides[0] + 96);
    // The chroma planes do not overlap the luma plane or each other.
    EXPECT_GE(pic->planes[1] - 44 * pic->strides[1] - 48,
              pic->planes[0] + (int64_t)(pic->heights[0] + 88) * pic->strides[0] - 96);
    EXPECT_GE(pic->planes[2] - 44 * pic->strides[2] - 48,
              pic->planes[1] + (int64_t)(pic->heights[1] + 44) * pic->strides[1] - 48);
    EXPECT_EQ(pic->poc, -1);
    EXPECT_EQ(pic->frame_number, -1);
    EXPECT_EQ(pic->pts, -1);
    EXPECT_EQ(pic->coded_dts, -1);
    EXPECT_EQ(pic->encode_mark, 0xFFFFFFFFu);
    picture_free(pic);
    pic = picture_alloc(&g, PICTURE_POOL_SOURCE);   // the half-resolution plane
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(pic->lowres_width, 100);
    EXPECT_EQ(pic->lowres_height, 68);
    EXPECT_EQ(pic->lowres_stride, 16 * (7 + 12));
    EXPECT_EQ(pic->lowres_stride, picture_lowres_stride(&g));
    picture_free(pic);
}

TEST(PictureAlloc, ArraysFollowThePoolAndTheConfiguration)
{
    picture_geometry g = make_geometry(128, 64, 0, 0, 0, 0);
    picture *src = picture_alloc(&g, PICTURE_POOL_SOURCE);
    ASSERT_NE(src, nullptr);
    EXPECT_NE(src->lowres_planes[0], nullptr);
    EXPECT_EQ(src->lowres_planes[15], nullptr);   // the phase planes are not kept
    EXPECT_NE(src->lowres_mvs[0][0], nullptr);
    EXPECT_EQ(src->lowres_mvs[0][1], nullptr);
    EXPECT_EQ(src->lowres_mvs[1][0], nullptr);   // no B-frames: no list 1
    EXPECT_EQ(src->aq_weight, nullptr);
    EXPECT_EQ(src->mv_map[0], nullptr);          // reconstruction-only arrays
    EXPECT_EQ(src->intra_costs, src->lowres_costs[0][0]);
    int blocks = 16 * 2;
    for (int i = 0; i < blocks + 3; i++) EXPECT_EQ(src->intra_costs[i], 0xFFFFFFFFu);
    EXPECT_NE(src->lowres_costs[1][1], nullptr);
    EXPECT_EQ(src->lowres_costs[2][0], nullptr);
    EXPECT_NE(src->row_costs[16][16], nullptr);
    picture_free(src);

    g = make_geometry(128, 64, 3, 1, 1, 1);
    src = picture_alloc(&g, PICTURE_POOL_SOURCE);
    ASSERT_NE(src, nullptr);
    EXPECT_NE(src->aq_weight, nullptr);
    EXPECT_NE(src->mbtree_qp_offset, nullptr);
    EXPECT_NE(src->lowres_mvs[1][3], nullptr);
    EXPECT_EQ(src->lowres_mvs[1][4], nullptr);
    EXPECT_NE(src->lowres_intra_score[4], nullptr);
    EXPECT_EQ(src->lowres_intra_score[5], nullptr);
    for (int i = 0; i < blocks; i++) EXPECT_EQ(src->lowres_mvs[1][3][i], 0u);
    std::vector<array_span> spans = {{src->propagate_costs, blocks * 4u}, {src->aq_weight, blocks * 2u},
                                     {src->aq_qp_offset, blocks * 4u}, {src->mbtree_qp_offset, blocks * 4u}};
    for (int l = 0; l < 2; l++)
        for (int d = 0; d <= 3; d++) {
            spans.push_back({src->lowres_mvs[l][d], blocks * 4u});
            spans.push_back({src->lowres_mv_costs[l][d], blocks * 4u});
        }
    expect_arrays_disjoint(spans);
    picture_free(src);

    picture *rec = picture_alloc(&g, PICTURE_POOL_RECON);
    ASSERT_NE(rec, nullptr);
    EXPECT_NE(rec->mv_map[1], nullptr);
    EXPECT_NE(rec->ref_idx_map[1], nullptr);
    EXPECT_EQ(rec->subpel_planes[15], nullptr);   // only references carry sub-sample planes
    EXPECT_EQ(rec->lowres_planes[1], nullptr);   // no phase planes in either pool
    EXPECT_EQ(rec->lowres_plane, nullptr);       // and a reconstruction a plane only when asked
    EXPECT_NE(rec->vbv_row_qp, nullptr);
    EXPECT_EQ(rec->ref_frame_numbers[1][7], -1);
    size_t ctus = 2, rows = 1;
    expect_arrays_disjoint({{rec->intra_mode_map, 256 * ctus}, {rec->mv_map[0], 64 * ctus * 4},
                            {rec->mv_map[1], 64 * ctus * 4}, {rec->ref_idx_map[0], 64 * ctus},
                            {rec->ref_idx_map[1], 64 * ctus}, {rec->ctu_recon_distortion, ctus * 4},
                            {rec->ctu_max_depth, ctus}, {rec->ctu_min_depth, ctus}, {rec->ctu_cost, ctus * 4},
                            {rec->ctu_qps, ctus}, {rec->vbv_row_bits, rows * 4}, {rec->vbv_row_qscale, rows * 4},
                            {rec->vbv_row_qp, rows * 4}, {rec->vbv_ctu_bits, ctus * 4},
                            {rec->vbv_ctu_cost, ctus * 4}});
    picture_free(rec);
}

TEST(PicturePool, SubSamplePlanesFollowTheReferences)
{
    picture_geometry g = make_geometry(128, 64, 3, 1, 1, 1);
    picture_pools pools;
    ASSERT_EQ(picture_pools_init(&pools, &g, 2, 2, nullptr), 0);
    picture *a = picture_get(&pools, PICTURE_POOL_RECON);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(picture_subpel_attach(&pools, a), 0);
    EXPECT_EQ(a->subpel_planes[0], a->planes[0]);
    // Only the half-sample phases have planes; they share the luma layout and
    // do not overlap.
    for (int k = 1; k < 16; k++)
        EXPECT_EQ(a->subpel_planes[k] != nullptr, k == 2 || k == 8 || k == 10) << "phase " << k;
    int64_t size = (int64_t)(64 + 176) * a->strides[0];
    EXPECT_EQ(a->subpel_planes[8] - a->subpel_planes[2], size);
    EXPECT_EQ(a->subpel_planes[10] - a->subpel_planes[8], size);
    uint8_t *set = a->subpel_buffer;
    EXPECT_EQ(picture_subpel_attach(&pools, a), 0);   // a second attach keeps the set
    EXPECT_EQ(a->subpel_buffer, set);
    // Back in the pool the picture gives its set to the next reference.
    picture_release(&pools, a);
    EXPECT_EQ(a->subpel_planes[2], nullptr);
    EXPECT_EQ(pools.subpel_spare_count, 1);
    picture *b = picture_get(&pools, PICTURE_POOL_RECON);
    picture *c = picture_get(&pools, PICTURE_POOL_RECON);
    ASSERT_TRUE(b && c);
    ASSERT_EQ(picture_subpel_attach(&pools, c), 0);
    EXPECT_EQ(c->subpel_buffer, set);
    EXPECT_EQ(b->subpel_buffer, nullptr);
    picture_release(&pools, b);
    picture_release(&pools, c);
    picture_pools_destroy(&pools);

    // Without the switch nothing is attached.
    g.subpel_planes = 0;
    ASSERT_EQ(picture_pools_init(&pools, &g, 2, 2, nullptr), 0);
    picture *d = picture_get(&pools, PICTURE_POOL_RECON);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(picture_subpel_attach(&pools, d), 0);
    EXPECT_EQ(d->subpel_planes[2], nullptr);
    picture_release(&pools, d);
    picture_pools_destroy(&pools);
}

TEST(PictureAlloc, RefusesGeometryItCannotHold)
{
    picture_geometry g = make_geometry(100, 64);   // width not a multiple of 8
    EXPECT_EQ(picture_alloc(&g, 0), nullptr);
    g = make_geometry(128, 64, 16);                // distances beyond the 17-cell grid
    EXPECT_EQ(picture_alloc(&g, 0), nullptr);
    g = make_geometry(128, 64);
    g.ctu_cols = 5;                                // inconsistent CTU count
    EXPECT_EQ(picture_alloc(&g, 1), nullptr);
    g = make_geometry(128, 64);
    EXPECT_EQ(picture_alloc(&g, 2), nullptr);
    // A picture whose buffers pass what one allocation can hold fails cleanly.
    g = make_geometry(8192 * 8, 8192 * 8, 0, 0, 0, 1);
    EXPECT_EQ(picture_alloc(&g, 1), nullptr);
    picture_free(nullptr);
}

TEST(PicturePool, GetAndReleaseCountReferencesAndReuseTheLastReleased)
{
    picture_geometry g = make_geometry(64, 64);
    picture_pools pools;
    ASSERT_EQ(picture_pools_init(&pools, &g, 2, 2, nullptr), 0);

    picture *a = picture_get(&pools, PICTURE_POOL_SOURCE);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->reference_count, 1u);
    EXPECT_EQ(a->pool, 0);
    EXPECT_EQ(a->scenecut_candidate, 1);
    picture *b = picture_get(&pools, PICTURE_POOL_SOURCE);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);

    a->reference_count = 2;
    picture_release(&pools, a);
    EXPECT_EQ(a->reference_count, 1u);
    EXPECT_EQ(pools.free_list[0]->count, 0);
    picture_release(&pools, a);
    EXPECT_EQ(pools.free_list[0]->count, 1);
    picture_release(&pools, a);                    // already free: nothing happens
    EXPECT_EQ(pools.free_list[0]->count, 1);
    picture_release(&pools, b);
    EXPECT_EQ(pools.free_list[0]->count, 2);

    // The pool hands back the most recently released picture with fresh fields.
    b->lowres_intra_done = 1;
    b->lookahead_mark = 9;
    b->scenecut_candidate = 0;
    b->ref_distance_past = 3;
    picture *c = picture_get(&pools, PICTURE_POOL_SOURCE);
    EXPECT_EQ(c, b);
    EXPECT_EQ(c->reference_count, 1u);
    EXPECT_EQ(c->lowres_intra_done, 0u);
    EXPECT_EQ(c->lookahead_mark, 0);
    EXPECT_EQ(c->scenecut_candidate, 1);
    EXPECT_EQ(c->ref_distance_past, -1);
    EXPECT_EQ(c->ref_distance_future, -1);
    picture_release(&pools, c);

    // A full free list frees the picture instead of overflowing (ASan checks the leak).
    picture *d = picture_get(&pools, PICTURE_POOL_RECON);
    picture *e = picture_get(&pools, PICTURE_POOL_RECON);
    picture *f = picture_get(&pools, PICTURE_POOL_RECON);
    ASSERT_TRUE(d && e && f);
    EXPECT_EQ(f->pool, 1);
    picture_release(&pools, d);
    picture_release(&pools, e);
    picture_release(&pools, f);
    EXPECT_EQ(pools.free_list[1]->count, 2);
    EXPECT_EQ(picture_get(&pools, 2), nullptr);
    picture_pools_destroy(&pools);
}

TEST(PicturePool, AFreeListTooLargeForOneAllocationIsRefused)
{
    EXPECT_EQ(picture_list_create(INT32_MAX), nullptr);
    EXPECT_EQ(picture_list_create(INT32_MAX / 8), nullptr);
    picture_geometry g = make_geometry(64, 64);
    picture_pools pools;
    EXPECT_EQ(picture_pools_init(&pools, &g, INT32_MAX, 4, nullptr), -1);
    EXPECT_EQ(pools.free_list[0], nullptr);
    EXPECT_EQ(pools.free_list[1], nullptr);
}

TEST(PicturePool, ReleasingAReconstructionGivesBackItsSchedulerRecord)
{
    picture_geometry g = make_geometry(64, 64);
    row_scheduler *sched = row_sched_create(1, 1, 2, 2, 4, 1, 1);
    ASSERT_NE(sched, nullptr);
    picture_pools pools;
    ASSERT_EQ(picture_pools_init(&pools, &g, 2, 2, sched), 0);
    picture *rec = picture_get(&pools, PICTURE_POOL_RECON);
    ASSERT_NE(rec, nullptr);
    rec->frame_number = 0;
    rec->ref_count[0] = rec->ref_count[1] = 0;
    ASSERT_EQ(row_sched_add_row(sched, 0, rec, nullptr), 0);
    row_record *row = row_sched_next_job(sched);
    ASSERT_NE(row, nullptr);
    row_sched_ctu_done(sched, row);
    EXPECT_EQ(row_sched_wait_frame(sched, 0), 0);

    rec->reference_count = 2;
    picture_release(&pools, rec);
    EXPECT_EQ(sched->number_map[0], 0);            // still registered
    picture_release(&pools, rec);
    EXPECT_EQ(sched->number_base, 1);              // released: the windows moved on
    EXPECT_EQ(sched->slot_base, 1);
    EXPECT_EQ(row_sched_wait_frame(sched, 0), ROW_SCHED_ERR_ARG);
    picture_pools_destroy(&pools);
    row_sched_destroy(sched);
}

// ---- input loading ------------------------------------------------------------

namespace {

struct test_input {
    std::vector<uint8_t> data[3];
    input_frame frame;
};

void make_input(test_input *in, int w, int h, int extra_stride)
{
    std::memset(&in->frame, 0, sizeof(in->frame));
    for (int p = 0; p < 3; p++) {
        int pw = p ? (w + 1) / 2 : w, ph = p ? (h + 1) / 2 : h;
        int stride = pw + extra_stride;
        in->data[p].assign((size_t)stride * ph, 0);
        for (int y = 0; y < ph; y++)
            for (int x = 0; x < pw; x++) in->data[p][(size_t)y * stride + x] = pattern(x, y, p);
        in->frame.widths[p] = pw;
        in->frame.heights[p] = ph;
        in->frame.strides[p] = stride;
        in->frame.planes[p] = in->data[p].data();
    }
    in->frame.picture_type = 4;
    in->frame.input_word = 77;
    in->frame.pts = 1234;
    in->frame.user_value = 0x1122334455667788ull;
}

void expect_loaded(const picture_geometry &g, const picture *pic, const test_input &in)
{
    for (int p = 0; p < 3; p++) {
        int w = in.frame.widths[p], h = in.frame.heights[p];
        plane_shape s = shape_of(g, p);
        int bad = 0;
        for (int y = 0; y < s.h; y++)
            for (int x = 0; x < s.w; x++) {
                uint8_t want = pattern(clampi(x, 0, w - 1), clampi(y, 0, h - 1), p);
                if (pic->planes[p][(int64_t)y * pic->strides[p] + x] != want && bad++ < 5)
                    ADD_FAILURE() << "plane " << p << " at " << x << "," << y;
            }
        EXPECT_EQ(bad, 0) << "plane " << p;
    }
}

}  // namespace

TEST(PictureLoadInput, CopiesAndPadsToTheCodedSize)
{
    // 1922 x 100 is coded as 1928 x 104: six padding columns and four rows.
    struct {
        int w, h, coded_w, coded_h;
    } cases[] = {{1922, 100, 1928, 104}, {64, 64, 64, 64}, {50, 30, 56, 32}, {8, 8, 8, 8}, {130, 66, 136, 72}};
    for (auto &c : cases) {
        picture_geometry g = make_geometry(c.coded_w, c.coded_h);
        picture *pic = picture_alloc(&g, PICTURE_POOL_SOURCE);
        ASSERT_NE(pic, nullptr);
        test_input in;
        make_input(&in, c.w, c.h, 5);
        ASSERT_EQ(picture_load_input(&g, pic, &in.frame), 0);
        expect_loaded(g, pic, in);
        EXPECT_EQ(pic->picture_type, 4u);
        EXPECT_EQ(pic->input_word, 77u);
        EXPECT_EQ(pic->pts, 1234);
        EXPECT_EQ(pic->dts, 1234);
        EXPECT_EQ(pic->user_value, 0x1122334455667788ull);
        picture_free(pic);
    }
}

TEST(PictureLoadInput, RefusesPlanesThatDoNotFit)
{
    picture_geometry g = make_geometry(64, 64);
    picture *pic = picture_alloc(&g, PICTURE_POOL_SOURCE);
    ASSERT_NE(pic, nullptr);
    test_input in;
    make_input(&in, 72, 64, 0);                    // wider than the coded picture
    EXPECT_EQ(picture_load_input(&g, pic, &in.frame), -1);
    make_input(&in, 64, 64, 0);
    in.frame.heights[1] = 33;                      // chroma taller than half the coded height
    EXPECT_EQ(picture_load_input(&g, pic, &in.frame), -1);
    make_input(&in, 64, 64, 0);
    in.frame.strides[2] = 10;                      // stride shorter than a row
    EXPECT_EQ(picture_load_input(&g, pic, &in.frame), -1);
    make_input(&in, 64, 64, 0);
    in.frame.planes[0] = nullptr;
    EXPECT_EQ(picture_load_input(&g, pic, &in.frame), -1);
    make_input(&in, 64, 64, 0);
    in.frame.widths[0] = 0;
    EXPECT_EQ(picture_load_input(&g, pic, &in.frame), -1);
    picture_free(pic);
}

// ---- CTU border extension ---------------------------------------------------------

namespace {

void fill_with_margin_junk(const picture_geometry &g, picture *pic)
{
    for (int p = 0; p < 3; p++) {
        plane_shape s = shape_of(g, p);
        int full_w = p ? 32 * g.ctu_cols : 64 * g.ctu_cols;
        int full_h = p ? 32 * g.ctu_rows : 64 * g.ctu_rows;
        for (int y = -s.my; y < full_h + s.my; y++)
            for (int x = -s.mx; x < full_w + s.mx; x++) {
                bool inside = x >= 0 && y >= 0 && x < s.w && y < s.h;
                pic->planes[p][(int64_t)y * pic->strides[p] + x] = inside ? pattern(x, y, p) : 0xEE;
            }
    }
}

// Every margin sample equals the nearest picture sample: left, right, top,
// bottom and the four corners, over the coded size.
int count_margin_errors(const picture_geometry &g, const picture *pic)
{
    int bad = 0;
    for (int p = 0; p < 3; p++) {
        plane_shape s = shape_of(g, p);
        for (int y = -s.my; y < s.h + s.my; y++)
            for (int x = -s.mx; x < s.w + s.mx; x++) {
                uint8_t want = pattern(clampi(x, 0, s.w - 1), clampi(y, 0, s.h - 1), p);
                if (pic->planes[p][(int64_t)y * pic->strides[p] + x] != want && bad++ < 5)
                    ADD_FAILURE() << g.width << "x" << g.height << " plane " << p << " at " << x << "," << y;
            }
    }
    return bad;
}

}  // namespace

TEST(PictureCtuBorderExtend, FillsEveryMarginForAnyPictureSize)
{
    // Whole CTUs, partial CTUs, one CTU row, one CTU column, a single 8x8 picture.
    int sizes[][2] = {{64, 64}, {72, 40}, {200, 136}, {8, 8}, {200, 40}, {56, 200}, {1928, 72}, {128, 128}};
    for (auto &sz : sizes) {
        picture_geometry g = make_geometry(sz[0], sz[1]);
        picture *pic = picture_alloc(&g, PICTURE_POOL_RECON);
        ASSERT_NE(pic, nullptr);
        fill_with_margin_junk(g, pic);
        for (int y = 0; y < g.ctu_rows; y++)
            for (int x = 0; x < g.ctu_cols; x++) picture_ctu_border_extend(&g, pic, y, x);
        EXPECT_EQ(count_margin_errors(g, pic), 0) << sz[0] << "x" << sz[1];
        picture_free(pic);
    }
}

TEST(PictureCtuBorderExtend, LeavesTheLastThreeRowsAndColumnsToTheNextCtu)
{
    // Samples that deblocking of the next CTU may still change are not yet copied.
    picture_geometry g = make_geometry(192, 192);
    picture *pic = picture_alloc(&g, PICTURE_POOL_RECON);
    ASSERT_NE(pic, nullptr);
    fill_with_margin_junk(g, pic);
    picture_ctu_border_extend(&g, pic, 0, 0);
    uint8_t *luma = pic->planes[0];
    int ls = pic->strides[0];
    EXPECT_EQ(luma[60 * ls - 1], pattern(0, 60, 0));
    EXPECT_EQ(luma[61 * ls - 1], 0xEE);           // row 61 belongs to the next CTU row
    EXPECT_EQ(luma[-ls + 60], pattern(60, 0, 0));
    EXPECT_EQ(luma[-ls + 61], 0xEE);              // column 61 belongs to the next CTU
    EXPECT_EQ(luma[-88 * ls - 96], pattern(0, 0, 0));
    picture_free(pic);
}
