// SAO application against a whole-picture model written from H.265 clause
// 8.7.3 (SaoOffsetVal, bandTable, edgeIdx remapping, picture-edge rule).
//
// The picture simulation stores the deblocked copy 4 rows below and 32
// samples right of the final planes in one buffer, codes CTUs in wavefront
// orders (each job writes its deblocked CTB, rewrites the neighbour samples a
// deblocking of that CTU would touch, prepares the decision's ring and then
// applies the CTUs that became final), and compares the final planes with the
// model applied to an untouched copy of the deblocked picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/sao/sao_decide.h"
#include "filters/sao/sao.h"
#include "tests/support/sao_test_util.h"

namespace {

uint8_t clip8(int v) { return (uint8_t)std::min(255, std::max(0, v)); }
int sgn(int v) { return (v > 0) - (v < 0); }

// One plane of the deblocked picture, untouched by SAO.
struct model_plane {
    int w = 0, h = 0;
    std::vector<uint8_t> v;
    int at(int x, int y) const { return v[(size_t)y * w + x]; }
};

// H.265 clause 8.7.3.2 for one sample of an 8-bit plane. SaoTypeIdx 1 is our
// type 4 (band), SaoTypeIdx 2 our types 0..3 (SaoEoClass 0..3), 0 our type 5.
int model_sample(const model_plane &pl, int x, int y, const sao_param &p)
{
    int rec = pl.at(x, y);
    int sao_offset_val[5] = {0, p.offset[0], p.offset[1], p.offset[2], p.offset[3]};
    if (p.type == SAO_TYPE_OFF) return rec;
    if (p.type == SAO_TYPE_BAND) {
        int band_table[32] = {0};
        for (int k = 0; k < 4; k++) band_table[(k + p.band_position) & 31] = k + 1;
        return clip8(rec + sao_offset_val[band_table[rec >> 3]]);
    }
    static const int h_pos[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}};
    static const int v_pos[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};
    for (int k = 0; k < 2; k++) {
        int xn = x + h_pos[p.type][k], yn = y + v_pos[p.type][k];
        if (xn < 0 || yn < 0 || xn >= pl.w || yn >= pl.h) return rec;
    }
    int edge_idx = 2 + sgn(rec - pl.at(x + h_pos[p.type][0], y + v_pos[p.type][0])) +
                   sgn(rec - pl.at(x + h_pos[p.type][1], y + v_pos[p.type][1]));
    if (edge_idx <= 2) edge_idx = edge_idx == 2 ? 0 : edge_idx + 1;
    return clip8(rec + sao_offset_val[edge_idx]);
}

// Content with every edge category and clipping: ramps with small noise,
// plateaus, full-range noise and saturated patches, by 16x16 region.
model_plane make_model_plane(int w, int h, std::mt19937 &rng)
{
    model_plane pl;
    pl.w = w;
    pl.h = h;
    pl.v.resize((size_t)w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int kind = ((x / 16) * 7 + (y / 16) * 3) % 5, v;
            switch (kind) {
            case 0: v = x + 2 * y + (int)(rng() % 3) - 1; break;
            case 1: v = 60 + 40 * (int)(rng() % 3); break;
            case 2: v = (int)(rng() & 255); break;
            case 3: v = rng() % 4 ? 255 - (int)(rng() % 3) : (int)(rng() % 3); break;
            default: v = 128; break;
            }
            pl.v[(size_t)y * w + x] = clip8(v);
        }
    return pl;
}

// The picture as the encoder lays it out: one buffer per plane with margins of
// 96 columns and 88 rows (luma; half for chroma), stride 64 * columns + 192
// (half for chroma), the deblocked copy 4 rows and 32 samples further on when
// the plane's SAO is on.
struct sim_picture {
    int width = 0, height = 0;
    uint32_t cols = 0, rows = 0, flags = 0;
    std::vector<uint8_t> buf[3];
    std::vector<sao_param> params[3];
    std::vector<uint8_t> scratch;
    model_plane model[3];
    sao_ctu_context ctx;
    sao_table table;
    // When set, the SAO decision runs in each job on the in-place layout and
    // chooses the parameters (from a source near the deblocked picture).
    bool decide = false;
    std::vector<uint8_t> source[3];
    sao_diff_buffer diff;
    sao_decide_context dec;

    bool sao_on(int p) const { return (flags & (p ? SAO_FLAG_CHROMA : SAO_FLAG_LUMA)) != 0; }
    uint8_t &deb(int p, int x, int y) { return ctx.deblock_planes[p][(ptrdiff_t)y * ctx.stride[p] + x]; }
    uint8_t &fin(int p, int x, int y) { return ctx.planes[p][(ptrdiff_t)y * ctx.stride[p] + x]; }
};

void sim_init(sim_picture *s, int width, int height, uint32_t flags, uint32_t cpu_level, std::mt19937 &rng)
{
    s->width = width;
    s->height = height;
    s->flags = flags;
    s->cols = (uint32_t)(width + 63) / 64;
    s->rows = (uint32_t)(height + 63) / 64;
    s->scratch.assign(SAO_SCRATCH_BYTES, 0);
    std::memset(&s->ctx, 0, sizeof s->ctx);
    s->ctx.sao_flags = flags;
    s->ctx.ctu_columns = s->cols;
    s->ctx.ctu_rows = s->rows;
    s->ctx.width = (uint32_t)width;
    s->ctx.height = (uint32_t)height;
    s->ctx.scratch = s->scratch.data();
    sao_table_init(cpu_level, &s->table);
    for (int p = 0; p < 3; p++) {
        int sh = p ? 1 : 0;
        int stride = (int)(64 * s->cols + 192) >> sh;
        int mrows = 88 >> sh, mcols = 96 >> sh;
        int rows = (int)(64 * s->rows >> sh) + 2 * mrows;
        s->buf[p].resize((size_t)stride * rows);
        for (auto &b : s->buf[p]) b = (uint8_t)rng();
        s->ctx.stride[p] = stride;
        s->ctx.planes[p] = s->buf[p].data() + (size_t)mrows * stride + mcols;
        s->ctx.deblock_planes[p] = s->ctx.planes[p] + (s->sao_on(p) ? 4 * stride + 32 : 0);
        s->model[p] = make_model_plane(width >> sh, height >> sh, rng);
        s->params[p].resize((size_t)s->cols * s->rows);
        s->ctx.sao_params[p] = s->params[p].data();
    }
}

// A fixed type for every CTB, or -1 for random types per CTB and plane.
void sim_params(sim_picture *s, int type, std::mt19937 &rng)
{
    for (int p = 0; p < 3; p++)
        for (auto &prm : s->params[p]) prm = random_sao_param(type >= 0 ? type : (int)(rng() % 6), rng);
}

struct ctb_box {
    int n, x0, y0, w, h;
};

ctb_box box_of(const sim_picture *s, int p, uint32_t x, uint32_t y)
{
    ctb_box b;
    b.n = p ? 32 : 64;
    b.x0 = b.n * (int)x;
    b.y0 = b.n * (int)y;
    b.w = std::min(b.n, s->model[p].w - b.x0);
    b.h = std::min(b.n, s->model[p].h - b.y0);
    return b;
}

void write_model(sim_picture *s, int p, int x, int y)
{
    if (x >= 0 && y >= 0 && x < s->model[p].w && y < s->model[p].h) s->deb(p, x, y) = (uint8_t)s->model[p].at(x, y);
}

// Coding and deblocking CTU (x, y): its own samples, then the left and upper
// neighbour samples its edge filtering may change (luma 3 rows above and 8
// columns left, which covers a horizontal-edge pass lagging 8 columns behind;
// chroma 1 row and 4 columns).
void sim_code(sim_picture *s, int p, uint32_t x, uint32_t y)
{
    ctb_box b = box_of(s, p, x, y);
    int up = p ? 1 : 3, left = p ? 4 : 8;
    for (int r = -up; r < b.h; r++)
        for (int c = -left; c < b.w; c++) write_model(s, p, b.x0 + c, b.y0 + r);
}

// The SAO decision's ring around the CTB in the deblocked copy.
void sim_ring(sim_picture *s, int p, uint32_t x, uint32_t y)
{
    ctb_box b = box_of(s, p, x, y);
    sao_border_prepare(&s->deb(p, b.x0, b.y0), s->ctx.stride[p], b.n, b.w, b.h, x == 0, y == 0);
}

int32_t fixed_merge_bits(void *, int32_t merge) { return 256 + 256 * (merge != SAO_MERGE_LEFT); }

int32_t fixed_offset_bits(void *, const sao_param *const recs[3], int32_t first, int32_t last)
{
    int32_t bits = 0;
    for (int c = first; c <= last; c++) {
        bits += 512;
        for (int j = 0; j < 4; j++) bits += 256 * std::abs(recs[c]->offset[j]);
    }
    return bits;
}

// Sources differ from the deblocked picture by a bias of 2 and noise of +-3.
void sim_enable_decision(sim_picture *s, std::mt19937 &rng)
{
    s->decide = true;
    sao_decide_context &d = s->dec;
    std::memset(&d, 0, sizeof d);
    d.table = &s->table;
    d.rate.merge_flags = fixed_merge_bits;
    d.rate.offsets = fixed_offset_bits;
    d.sao_flags = s->flags;
    d.ctu_columns = s->cols;
    d.ctu_rows = s->rows;
    d.width = (uint32_t)s->width;
    d.height = (uint32_t)s->height;
    d.complexity = 5;
    d.pick_mode = 1;
    d.picture_type = 3;
    d.lambda_sse = 256 * 4;
    d.chroma_weight = 256;
    d.diff = &s->diff;
    d.scratch = s->scratch.data();
    for (int p = 0; p < 3; p++) {
        const model_plane &m = s->model[p];
        s->source[p].assign((size_t)s->ctx.stride[p] * (64 * s->rows >> (p ? 1 : 0)), 0);
        for (int y = 0; y < m.h; y++)
            for (int x = 0; x < m.w; x++)
                s->source[p][(size_t)y * s->ctx.stride[p] + x] = clip8(m.at(x, y) + 2 + (int)(rng() % 7) - 3);
        d.deblock_planes[p] = s->ctx.deblock_planes[p];
        d.deblock_stride[p] = s->ctx.stride[p];
        d.source_planes[p] = s->source[p].data();
        d.source_stride[p] = s->ctx.stride[p];
        d.sao_params[p] = s->sao_on(p) ? s->params[p].data() : nullptr;
    }
}

void sim_job(sim_picture *s, uint32_t x, uint32_t y)
{
    for (int p = 0; p < 3; p++)
        if (s->sao_on(p)) sim_code(s, p, x, y);
    if (s->decide) {
        s->dec.ctu_x = x;
        s->dec.ctu_y = y;
        sao_decide_ctu(&s->dec);
    } else {
        for (int p = 0; p < 3; p++)
            if (s->sao_on(p)) sim_ring(s, p, x, y);
    }
    uint32_t list[4][2];
    int n = sao_final_ctus(x, y, s->cols, s->rows, list);
    for (int i = 0; i < n; i++) sao_apply_ctu(&s->table, &s->ctx, list[i][0], list[i][1]);
}

// A CTU order the wavefront rule allows: row y may code CTU x once row y - 1
// has coded CTU x + 1 (or its last). seed 0 gives raster order.
std::vector<std::pair<uint32_t, uint32_t>> wavefront_order(uint32_t cols, uint32_t rows, uint32_t seed)
{
    std::vector<std::pair<uint32_t, uint32_t>> order;
    std::vector<uint32_t> next(rows, 0);
    std::mt19937 rng(seed);
    while (order.size() < (size_t)cols * rows) {
        std::vector<uint32_t> ready;
        for (uint32_t y = 0; y < rows; y++) {
            if (next[y] >= cols) continue;
            if (y == 0 || next[y - 1] >= std::min(next[y] + 2, cols)) ready.push_back(y);
            if (seed == 0 && !ready.empty()) break;
        }
        uint32_t y = seed == 0 ? ready[0] : ready[rng() % ready.size()];
        order.push_back({next[y]++, y});
    }
    return order;
}

// Runs the picture; returns the number of mismatching samples (and reports the
// first ones). Planes with SAO off must come out byte for byte untouched.
int sim_run_and_check(sim_picture *s, uint32_t order_seed, const char *what)
{
    std::vector<uint8_t> before[3];
    for (int p = 0; p < 3; p++) {
        if (s->sao_on(p)) continue;
        for (int y = 0; y < s->model[p].h; y++)
            for (int x = 0; x < s->model[p].w; x++) write_model(s, p, x, y);
        before[p] = s->buf[p];
    }
    for (auto &xy : wavefront_order(s->cols, s->rows, order_seed)) sim_job(s, xy.first, xy.second);
    int bad = 0;
    for (int p = 0; p < 3; p++) {
        if (!s->sao_on(p)) {
            EXPECT_TRUE(s->buf[p] == before[p]) << what << " plane " << p << " with SAO off was touched";
            continue;
        }
        const model_plane &m = s->model[p];
        int n = p ? 32 : 64;
        for (int y = 0; y < m.h; y++)
            for (int x = 0; x < m.w; x++) {
                const sao_param &prm = s->params[p][(size_t)(y / n) * s->cols + x / n];
                int want = model_sample(m, x, y, prm), got = s->fin(p, x, y);
                if (want != got && bad++ < 5)
                    ADD_FAILURE() << what << " plane " << p << " (" << x << ", " << y << ") type " << prm.type
                                  << ": got " << got << ", model " << want;
            }
    }
    return bad;
}

struct pic_size {
    int w, h;
};

const pic_size sizes[] = {{64, 64}, {72, 72}, {200, 120}, {8, 8}, {136, 200}, {64, 8}, {8, 136}, {264, 200}};

// Kernel table levels: portable, SSSE3 set, AVX2 set. Every level must give
// the same pictures; a level the processor lacks falls back by itself.
const uint32_t cpu_levels[] = {0, 3, 7};

} // namespace

TEST(SaoApply, InPlaceOneCtuBehindEqualsModelForEveryTypePlaneAndPosition)
{
    std::mt19937 rng(11);
    for (uint32_t level : cpu_levels)
        for (const pic_size &sz : sizes)
            for (uint32_t flags = 1; flags <= 3; flags++)
                for (int type = -1; type <= 5; type++)
                    for (uint32_t order = 0; order < 3; order++) {
                        sim_picture s;
                        sim_init(&s, sz.w, sz.h, flags, level, rng);
                        sim_params(&s, type, rng);
                        char what[112];
                        snprintf(what, sizeof what, "level %u %dx%d flags %u type %d order %u", level, sz.w, sz.h,
                                 flags, type, order);
                        ASSERT_EQ(sim_run_and_check(&s, order, what), 0) << what;
                    }
}

TEST(SaoApply, DecisionAndApplicationInPlaceEqualModelWithTheDecidedParameters)
{
    for (const pic_size &sz : sizes)
        for (uint32_t flags = 1; flags <= 3; flags++) {
            std::vector<sao_param> decided[3];
            for (uint32_t level : cpu_levels) {
                // The same content at every level, so the decisions can be compared.
                std::mt19937 rng(13 + (uint32_t)sz.w * 7 + (uint32_t)sz.h + flags);
                sim_picture s;
                sim_init(&s, sz.w, sz.h, flags, level, rng);
                sim_enable_decision(&s, rng);
                char what[112];
                snprintf(what, sizeof what, "level %u %dx%d flags %u with decision", level, sz.w, sz.h, flags);
                ASSERT_EQ(sim_run_and_check(&s, flags, what), 0) << what;
                int used[6] = {0};
                for (int p = 0; p < 3; p++)
                    for (const sao_param &prm : s.params[p])
                        if (s.sao_on(p)) used[prm.type]++;
                // Pictures 8 wide leave every CTB too narrow to count: SAO stays off.
                if (sz.w >= 16) {
                    EXPECT_GT(used[0] + used[1] + used[2] + used[3] + used[4], 0) << what;
                }
                // Statistics equal at every level, so every decision is the same.
                for (int p = 0; p < 3; p++) {
                    if (level == 0) {
                        decided[p] = s.params[p];
                        continue;
                    }
                    EXPECT_EQ(std::memcmp(decided[p].data(), s.params[p].data(),
                                          decided[p].size() * sizeof(sao_param)),
                              0)
                        << what << " plane " << p << " decided differently from the portable level";
                }
            }
        }
}

TEST(SaoApply, FinalCtuListCoversEveryCtuOnceAfterItsNeighbours)
{
    for (uint32_t cols = 1; cols <= 5; cols++)
        for (uint32_t rows = 1; rows <= 4; rows++) {
            std::vector<int> applied(cols * rows, 0);
            // Raster coding: CTU (x, y) is coded at step y * cols + x.
            for (uint32_t y = 0; y < rows; y++)
                for (uint32_t x = 0; x < cols; x++) {
                    uint32_t list[4][2];
                    int n = sao_final_ctus(x, y, cols, rows, list);
                    for (int i = 0; i < n; i++) {
                        uint32_t ax = list[i][0], ay = list[i][1];
                        applied[ay * cols + ax]++;
                        // Right, below and below-right neighbours are coded by now.
                        for (uint32_t ny = ay; ny <= std::min(ay + 1, rows - 1); ny++)
                            for (uint32_t nx = ax; nx <= std::min(ax + 1, cols - 1); nx++)
                                EXPECT_LE(ny * cols + nx, y * cols + x);
                        if (i > 0) {
                            EXPECT_LT(list[i - 1][1] * cols + list[i - 1][0], ay * cols + ax);
                        }
                    }
                }
            for (int a : applied) EXPECT_EQ(a, 1) << cols << "x" << rows;
        }
}

namespace {

// One 64x64 CTU picture with a separate deblocked copy holding `value_of(r, c)`.
struct one_ctu {
    std::vector<uint8_t> fin_buf, deb_buf, scratch;
    sao_param params[3];
    sao_ctu_context ctx;
    sao_table table;
    int stride = 256;
};

void one_ctu_init(one_ctu *o, int width, int height, uint32_t cpu_level)
{
    o->fin_buf.assign((size_t)o->stride * 132, 0xA5);
    o->deb_buf.assign((size_t)o->stride * 132, 0);
    o->scratch.assign(SAO_SCRATCH_BYTES, 0);
    std::memset(&o->ctx, 0, sizeof o->ctx);
    std::memset(o->params, 0, sizeof o->params);
    o->ctx.sao_flags = 3;
    o->ctx.ctu_columns = (uint32_t)(width + 63) / 64;
    o->ctx.ctu_rows = (uint32_t)(height + 63) / 64;
    o->ctx.width = (uint32_t)width;
    o->ctx.height = (uint32_t)height;
    for (int p = 0; p < 3; p++) {
        o->ctx.stride[p] = o->stride;
        o->ctx.planes[p] = o->fin_buf.data() + 2 * o->stride + 2;
        o->ctx.deblock_planes[p] = o->deb_buf.data() + 2 * o->stride + 2;
        o->ctx.sao_params[p] = &o->params[p];
    }
    o->ctx.scratch = o->scratch.data();
    sao_table_init(cpu_level, &o->table);
}

uint8_t &deb_at(one_ctu *o, int r, int c) { return o->ctx.deblock_planes[0][r * o->stride + c]; }
uint8_t fin_at(one_ctu *o, int r, int c) { return o->ctx.planes[0][r * o->stride + c]; }

} // namespace

TEST(SaoApply, BandOffsetsWrapFromBand31ToBand0AndClip)
{
    for (uint32_t level : cpu_levels) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        one_ctu o;
        one_ctu_init(&o, 64, 64, level);
        for (int r = 0; r < 64; r++)
            for (int c = 0; c < 64; c++) deb_at(&o, r, c) = (uint8_t)(r * 64 + c);
        o.params[0] = {SAO_TYPE_BAND, 30, {1, -2, 3, 0}};
        o.table.apply_ctb_plane(&o.ctx, 0, 0, 0, 0);
        for (int r = 0; r < 64; r++)
            for (int c = 0; c < 64; c++) {
                int v = (r * 64 + c) & 255, want = v;
                if (v >= 240 && v <= 247) want = v + 1;
                if (v >= 248) want = v - 2;
                if (v <= 7) want = v + 3;
                ASSERT_EQ(fin_at(&o, r, c), want) << "value " << v;
            }
        o.params[0] = {SAO_TYPE_BAND, 31, {7, -7, 0, 0}};
        for (int c = 0; c < 64; c++) deb_at(&o, 0, c) = c < 32 ? 255 : 3;
        o.table.apply_ctb_plane(&o.ctx, 0, 0, 0, 0);
        for (int c = 0; c < 64; c++) EXPECT_EQ(fin_at(&o, 0, c), c < 32 ? 255 : 0);
    }
}

// A band position beyond 31 is taken modulo 32 instead of reaching past the
// 256-entry look-up table.
TEST(SaoApply, BandPositionBeyond31IsTakenModulo32)
{
    for (uint32_t level : cpu_levels) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        one_ctu a, b;
        one_ctu_init(&a, 64, 64, level);
        one_ctu_init(&b, 64, 64, level);
        for (int r = 0; r < 64; r++)
            for (int c = 0; c < 64; c++) deb_at(&a, r, c) = deb_at(&b, r, c) = (uint8_t)(r * 64 + c);
        a.params[0] = {SAO_TYPE_BAND, 33, {2, 3, -4, 5}};
        b.params[0] = {SAO_TYPE_BAND, 1, {2, 3, -4, 5}};
        a.table.apply_ctb_plane(&a.ctx, 0, 0, 0, 0);
        b.table.apply_ctb_plane(&b.ctx, 0, 0, 0, 0);
        EXPECT_TRUE(a.fin_buf == b.fin_buf);
        a.params[0].band_position = -1;
        b.params[0].band_position = 31;
        a.table.apply_ctb_plane(&a.ctx, 0, 0, 0, 0);
        b.table.apply_ctb_plane(&b.ctx, 0, 0, 0, 0);
        EXPECT_TRUE(a.fin_buf == b.fin_buf);
    }
}

TEST(SaoApply, UnknownTypeWritesNothingAndOffCopiesTheWholeSquare)
{
    for (uint32_t level : cpu_levels) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        one_ctu o;
        one_ctu_init(&o, 72, 72, level);   // CTU (0, 0) of a 2x2 picture: no cut, no last column
        for (int r = 0; r < 64; r++)
            for (int c = 0; c < 64; c++) deb_at(&o, r, c) = (uint8_t)(r + c);
        std::vector<uint8_t> before = o.fin_buf;
        for (int type : {6, -1, 1000}) {
            o.params[0] = {type, 0, {1, 1, -1, -1}};
            o.table.apply_ctb_plane(&o.ctx, 0, 0, 0, 0);
            EXPECT_TRUE(o.fin_buf == before) << "type " << type;
        }
        o.params[0] = {SAO_TYPE_OFF, 0, {7, 7, -7, -7}};
        o.table.apply_ctb_plane(&o.ctx, 0, 0, 0, 0);
        for (int r = 0; r < 64; r++)
            for (int c = 0; c < 64; c++) ASSERT_EQ(fin_at(&o, r, c), r + c);
    }
}
