#include "encoder/picture.h"

#include <cstring>

#include "encoder/memory.h"
#include "encoder/picture_list.h"
#include "encoder/row_scheduler.h"

namespace {

// Every buffer goes through here so that sizes beyond what the allocators can
// take fail like a heap failure instead of wrapping. Zeroed arrays come from
// aligned_calloc: pages that the configured path never writes stay untouched.
template <typename T>
bool alloc_block(T **out, int64_t count, bool zeroed)
{
    int64_t bytes = count * (int64_t)sizeof(T);
    *out = nullptr;
    if (count < 0 || bytes > INT32_MAX) return false;
    *out = (T *)(zeroed ? aligned_calloc((int32_t)bytes) : aligned_malloc((int32_t)bytes));
    return *out != nullptr;
}

template <typename T>
bool alloc_array(T **out, int64_t count)
{
    return alloc_block(out, count, false);
}

template <typename T>
bool alloc_zeroed(T **out, int64_t count)
{
    return alloc_block(out, count, true);
}

// The small arrays of a picture share one zeroed block. Taken one by one,
// each is cleared by the heap, which on the caller's thread faults in fresh
// pages for every input while the lookahead fills (about 190 pages per 1080p
// picture); one block that large comes as fresh zero pages instead, faulted
// in by whichever thread first writes each page. A first pass (base null)
// only adds up the bytes.
enum { ARRAY_ALIGN = 64 };

struct array_carver {
    uint8_t *base;
    int64_t bytes;
};

template <typename T>
void carve(array_carver *c, T **out, int64_t count)
{
    *out = c->base ? (T *)(c->base + c->bytes) : nullptr;
    c->bytes += (count * (int64_t)sizeof(T) + ARRAY_ALIGN - 1) & ~(int64_t)(ARRAY_ALIGN - 1);
}

// Runs place twice: to size the block, then to point the arrays into it.
template <typename F>
bool alloc_arrays(const picture_geometry *g, picture *pic, F place)
{
    array_carver sizing = {nullptr, 0};
    place(g, pic, &sizing);
    if (!alloc_zeroed(&pic->array_block, sizing.bytes)) return false;
    array_carver c = {pic->array_block, 0};
    place(g, pic, &c);
    return true;
}

int64_t round_up32(int64_t v)
{
    return (v + 31) & ~(int64_t)31;
}

bool geometry_valid(const picture_geometry *g)
{
    if (g->width < 8 || g->height < 8 || (g->width & 7) || (g->height & 7)) return false;
    if (g->ctu_cols != (g->width + 63) / 64 || g->ctu_rows != (g->height + 63) / 64) return false;
    return g->bframes >= 0 && g->bframes <= PICTURE_MAX_BFRAMES;
}

int64_t luma_stride(const picture_geometry *g)
{
    return 64 * (int64_t)g->ctu_cols + 2 * PICTURE_LUMA_MARGIN_X;
}

int64_t luma_plane_size(const picture_geometry *g)
{
    return (64 * (int64_t)g->ctu_rows + 2 * PICTURE_LUMA_MARGIN_Y) * luma_stride(g);
}

int64_t plane_buffer_size(const picture_geometry *g)
{
    int64_t chroma_size = (32 * (int64_t)g->ctu_rows + 2 * PICTURE_CHROMA_MARGIN_Y) * (luma_stride(g) / 2);
    return luma_plane_size(g) + 64 + 2 * chroma_size;
}

int64_t lowres_buffer_size(const picture_geometry *g)
{
    return (g->height / 2 + 2 * (int64_t)PICTURE_LUMA_MARGIN_Y) * picture_lowres_stride(g);
}

// The three planes in one buffer, all origins 32-byte aligned.
bool alloc_planes(const picture_geometry *g, picture *pic)
{
    int64_t ls = luma_stride(g);
    int64_t cs = ls / 2;
    int64_t luma_size = luma_plane_size(g);
    int64_t chroma_size = (32 * (int64_t)g->ctu_rows + 2 * PICTURE_CHROMA_MARGIN_Y) * cs;
    if (!alloc_zeroed(&pic->plane_buffer, plane_buffer_size(g))) return false;
    int64_t cb = round_up32(luma_size + PICTURE_CHROMA_MARGIN_Y * cs + PICTURE_CHROMA_MARGIN_X);
    int64_t cr = cb + round_up32(chroma_size);
    pic->plane_count = 3;
    pic->strides[0] = (int32_t)ls;
    pic->strides[1] = pic->strides[2] = (int32_t)cs;
    pic->widths[0] = 64 * g->ctu_cols;
    pic->widths[1] = pic->widths[2] = 32 * g->ctu_cols;
    pic->heights[0] = 64 * g->ctu_rows;
    pic->heights[1] = pic->heights[2] = 32 * g->ctu_rows;
    pic->planes[0] = pic->plane_buffer + PICTURE_LUMA_MARGIN_Y * ls + PICTURE_LUMA_MARGIN_X;
    pic->planes[1] = pic->plane_buffer + cb;
    pic->planes[2] = pic->plane_buffer + cr;
    return true;
}

// The half-resolution plane of a source picture, or of the copy that a
// reconstruction carries for the coarse search. Its 15 phase planes are not
// kept: nothing reads them (the lookahead searches whole half-resolution
// samples), so they are built in a scratch strip by strip (source_picture.cpp).
bool alloc_lowres(const picture_geometry *g, picture *pic)
{
    int64_t stride = picture_lowres_stride(g);
    int64_t origin = PICTURE_LUMA_MARGIN_Y * stride + PICTURE_LUMA_MARGIN_X;
    pic->lowres_stride = (int32_t)stride;
    pic->lowres_width = g->width / 2;
    pic->lowres_height = g->height / 2;
    if (!alloc_zeroed(&pic->lowres_buffer, lowres_buffer_size(g))) return false;
    pic->lowres_plane = pic->lowres_buffer + origin;
    pic->lowres_planes[0] = pic->lowres_plane;
    return true;
}

bool alloc_cost_tables(const picture_geometry *g, picture *pic)
{
    int64_t rows = g->ctu_rows, ctus = (int64_t)g->ctu_rows * g->ctu_cols;
    if (!alloc_array(&pic->row_costs_block, PICTURE_GRID * PICTURE_GRID * rows)) return false;
    if (!alloc_array(&pic->ctu_costs_block, PICTURE_GRID * PICTURE_GRID * ctus)) return false;
    for (int i = 0; i < PICTURE_GRID; i++)
        for (int j = 0; j < PICTURE_GRID; j++) {
            pic->row_costs[i][j] = pic->row_costs_block + (i * PICTURE_GRID + j) * rows;
            pic->ctu_costs[i][j] = pic->ctu_costs_block + (i * PICTURE_GRID + j) * ctus;
        }
    return true;
}

void place_source_arrays(const picture_geometry *g, picture *pic, array_carver *c)
{
    int64_t blocks = 16 * (int64_t)g->ctu_rows * g->ctu_cols;
    carve(c, &pic->propagate_costs, blocks);
    if (g->aq) {
        carve(c, &pic->aq_weight, blocks);
        carve(c, &pic->aq_qp_offset, blocks);
        carve(c, &pic->mbtree_qp_offset, blocks);
    }
    int lists = g->bframes > 0 ? 2 : 1;
    for (int l = 0; l < lists; l++)
        for (int d = 0; d <= g->bframes; d++) {
            carve(c, &pic->lowres_mvs[l][d], blocks);
            carve(c, &pic->lowres_mv_costs[l][d], blocks);
        }
}

bool alloc_source_arrays(const picture_geometry *g, picture *pic)
{
    int64_t blocks = 16 * (int64_t)g->ctu_rows * g->ctu_cols;
    int32_t dists = g->bframes + 2;
    if (!alloc_lowres(g, pic)) return false;
    if (!alloc_arrays(g, pic, place_source_arrays)) return false;
    // (F + 2)^2 cost arrays and F + 2 intra score arrays, all of blocks + 3 entries.
    int64_t per = blocks + 3;
    if (!alloc_zeroed(&pic->lowres_costs_block, ((int64_t)dists * dists + dists) * per)) return false;
    for (int i = 0; i < dists; i++) {
        for (int j = 0; j < dists; j++)
            pic->lowres_costs[i][j] = pic->lowres_costs_block + (i * dists + j) * per;
        pic->lowres_intra_score[i] = pic->lowres_costs_block + ((int64_t)dists * dists + i) * per;
    }
    pic->intra_costs = pic->lowres_costs[0][0];
    std::memset(pic->intra_costs, 0xFF, (size_t)per * 4);
    return true;
}

void place_recon_arrays(const picture_geometry *g, picture *pic, array_carver *c)
{
    int64_t ctus = (int64_t)g->ctu_rows * g->ctu_cols;
    int64_t rows = g->ctu_rows;
    carve(c, &pic->intra_mode_map, 256 * ctus);
    carve(c, &pic->mv_map[0], 64 * ctus);
    carve(c, &pic->ref_idx_map[0], 64 * ctus);
    carve(c, &pic->ctu_recon_distortion, ctus);
    carve(c, &pic->ctu_max_depth, ctus);
    carve(c, &pic->ctu_min_depth, ctus);
    carve(c, &pic->ctu_cost, ctus);
    carve(c, &pic->ctu_qps, ctus);
    if (g->motion_l1) {
        carve(c, &pic->mv_map[1], 64 * ctus);
        carve(c, &pic->ref_idx_map[1], 64 * ctus);
    }
    carve(c, &pic->vbv_row_bits, rows);
    carve(c, &pic->vbv_row_qscale, rows);
    carve(c, &pic->vbv_row_qp, rows);
    carve(c, &pic->vbv_ctu_bits, ctus);
    carve(c, &pic->vbv_ctu_cost, ctus);
}

bool alloc_recon_arrays(const picture_geometry *g, picture *pic)
{
    if (!alloc_arrays(g, pic, place_recon_arrays)) return false;
    return !g->halfres_recon || alloc_lowres(g, pic);
}

// Points the picture's sub-sample plane origins into a set, or clears them.
void subpel_set_place(const picture_geometry *g, picture *pic, const picture_subpel_set *set)
{
    pic->subpel_buffer = set ? set->phases : nullptr;
    int64_t size = luma_plane_size(g);
    int64_t origin = PICTURE_LUMA_MARGIN_Y * luma_stride(g) + PICTURE_LUMA_MARGIN_X;
    static const int kept[PICTURE_SUBPEL_SET_PLANES] = {PICTURE_PHASE_HALF_X, PICTURE_PHASE_HALF_Y,
                                                        PICTURE_PHASE_HALF_XY};
    for (int i = 0; i < 16; i++) pic->subpel_planes[i] = nullptr;
    if (!set) return;
    pic->subpel_planes[0] = pic->planes[0];
    for (int k = 0; k < PICTURE_SUBPEL_SET_PLANES; k++) pic->subpel_planes[kept[k]] = set->phases + k * size + origin;
}

void subpel_set_free(picture_subpel_set *set)
{
    aligned_free(set->phases);
}

// A reconstruction back in its pool keeps no sub-sample planes.
void subpel_detach(picture_pools *pools, picture *pic)
{
    if (!pic->subpel_buffer) return;
    picture_subpel_set set = {pic->subpel_buffer};
    subpel_set_place(&pools->geometry, pic, nullptr);
    if (pools->subpel_spare_count < pools->subpel_spare_capacity)
        pools->subpel_spares[pools->subpel_spare_count++] = set;
    else
        subpel_set_free(&set);
}

}  // namespace

int32_t picture_input_spans(const picture_geometry *geometry, const picture *pic, uint8_t *bases[4],
                            int64_t sizes[4])
{
    // The margins above and below stay untouched: faulting them in would keep
    // pages resident that nothing writes or needs (a read of them sees zeros
    // either way).
    int32_t n = 0;
    for (int p = 0; p < 3; p++) {
        int32_t margin = p ? PICTURE_CHROMA_MARGIN_X : PICTURE_LUMA_MARGIN_X;
        int32_t rows = p ? geometry->height / 2 : geometry->height + PICTURE_LOWRES_PAD_ROWS;
        bases[n] = pic->planes[p] - margin;
        sizes[n++] = (int64_t)rows * pic->strides[p];
    }
    if (pic->lowres_buffer) {
        bases[n] = pic->lowres_buffer;
        sizes[n++] = lowres_buffer_size(geometry);
    }
    return n;
}

int32_t picture_luma_stride(const picture_geometry *geometry)
{
    return (int32_t)luma_stride(geometry);
}

int32_t picture_lowres_stride(const picture_geometry *geometry)
{
    return 16 * ((geometry->width / 2 + 15) / 16 + 12);
}

int picture_subpel_attach(picture_pools *pools, picture *pic)
{
    const picture_geometry *g = &pools->geometry;
    if (!g->subpel_planes || pic->subpel_buffer) return 0;
    picture_subpel_set set;
    if (pools->subpel_spare_count > 0) {
        set = pools->subpel_spares[--pools->subpel_spare_count];
    } else {
        // Zeroed once: the builds leave the outermost margin columns and rows alone.
        if (!alloc_zeroed(&set.phases, PICTURE_SUBPEL_SET_PLANES * luma_plane_size(g))) return -1;
    }
    subpel_set_place(g, pic, &set);
    return 0;
}

picture *picture_alloc(const picture_geometry *geometry, int32_t pool)
{
    if (!geometry || !geometry_valid(geometry)) return nullptr;
    if (pool != PICTURE_POOL_SOURCE && pool != PICTURE_POOL_RECON) return nullptr;
    picture *pic = (picture *)aligned_malloc((int32_t)sizeof(picture));
    if (!pic) return nullptr;
    std::memset(pic, 0, sizeof(*pic));
    pic->pool = pool;
    pic->pts = -1;
    pic->coded_dts = -1;
    pic->poc = -1;
    pic->frame_number = -1;
    pic->encode_mark = 0xFFFFFFFFu;
    pic->ref_distance_past = pic->ref_distance_future = -1;
    for (int l = 0; l < 2; l++)
        for (int i = 0; i < PICTURE_MAX_REFS; i++) pic->ref_pocs[l][i] = pic->ref_frame_numbers[l][i] = -1;
    bool ok = alloc_planes(geometry, pic) && alloc_cost_tables(geometry, pic);
    if (ok) ok = pool == PICTURE_POOL_SOURCE ? alloc_source_arrays(geometry, pic) : alloc_recon_arrays(geometry, pic);
    if (!ok) {
        picture_free(pic);
        return nullptr;
    }
    return pic;
}

void picture_free(picture *pic)
{
    if (!pic) return;
    aligned_free(pic->plane_buffer);
    aligned_free(pic->row_costs_block);
    aligned_free(pic->ctu_costs_block);
    aligned_free(pic->subpel_buffer);
    aligned_free(pic->array_block);
    aligned_free(pic->lowres_buffer);
    aligned_free(pic->lowres_costs_block);
    aligned_free(pic);
}

int picture_pools_init(picture_pools *pools, const picture_geometry *geometry,
                       int32_t source_capacity, int32_t recon_capacity, row_scheduler *scheduler)
{
    std::memset(pools, 0, sizeof(*pools));
    if (!geometry || !geometry_valid(geometry)) return -1;
    pools->geometry = *geometry;
    pools->scheduler = scheduler;
    pools->free_list[0] = picture_list_create(source_capacity);
    pools->free_list[1] = picture_list_create(recon_capacity);
    pools->subpel_spare_capacity = geometry->subpel_planes ? recon_capacity : 0;
    bool spares_ok = true;
    if (pools->subpel_spare_capacity > 0) spares_ok = alloc_array(&pools->subpel_spares, recon_capacity);
    if (!pools->free_list[0] || !pools->free_list[1] || !spares_ok) {
        picture_pools_destroy(pools);
        return -1;
    }
    return 0;
}

void picture_pools_destroy(picture_pools *pools)
{
    if (!pools) return;
    picture_list_destroy(pools->free_list[0]);
    picture_list_destroy(pools->free_list[1]);
    pools->free_list[0] = pools->free_list[1] = nullptr;
    for (int32_t i = 0; i < pools->subpel_spare_count; i++) subpel_set_free(&pools->subpel_spares[i]);
    aligned_free(pools->subpel_spares);
    pools->subpel_spares = nullptr;
    pools->subpel_spare_count = pools->subpel_spare_capacity = 0;
}

// Only the caller's thread uses the pools, so the free lists are used unlocked.
picture *picture_get(picture_pools *pools, int32_t pool)
{
    if (pool != PICTURE_POOL_SOURCE && pool != PICTURE_POOL_RECON) return nullptr;
    picture *pic = (picture *)picture_list_pop_last(pools->free_list[pool]);
    if (!pic) pic = picture_alloc(&pools->geometry, pool);
    if (!pic) return nullptr;
    pic->reference_count = 1;
    pic->lowres_intra_done = 0;
    pic->lookahead_mark = 0;
    pic->scenecut_candidate = 1;
    pic->ref_distance_past = pic->ref_distance_future = -1;
    return pic;
}

void picture_release(picture_pools *pools, picture *pic)
{
    if (!pic || pic->reference_count == 0) return;
    if (--pic->reference_count > 0) return;
    if (pic->pool == PICTURE_POOL_RECON && pools->scheduler)
        row_sched_release_frame(pools->scheduler, pic->frame_number);
    if (pic->pool == PICTURE_POOL_RECON) subpel_detach(pools, pic);
    if (picture_list_push_last(pools->free_list[pic->pool], pic) != 0) picture_free(pic);
}
