// Intra reference gathering against the standard's availability and
// substitution process (clauses 6.4.1 and 8.4.4.2.2), on a picture coded CTU by
// CTU with random quad-trees, partial CTUs at the right and bottom included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/intra/intra_ref.h"

namespace {

const int stride = INTRA_BUFFER_STRIDE;

// ---- Model of the standard ----------------------------------------------------

struct picture_model {
    int w, h; // luma size, multiples of 8
    int ctu_cols, ctu_rows;
    std::vector<uint8_t> plane[3];
    int plane_w(int c) const { return c ? w / 2 : w; }
    int plane_h(int c) const { return c ? h / 2 : h; }
    uint8_t at(int c, int x, int y) const { return plane[c][(size_t)(y * plane_w(c) + x)]; }
};

int morton(int ux, int uy)
{
    int z = 0;
    for (int b = 0; b < 4; b++) z |= ((ux >> b) & 1) << (2 * b) | ((uy >> b) & 1) << (2 * b + 1);
    return z;
}

// Clause 6.4.1 with one slice and no tiles: a neighbour is available when it
// lies inside the picture and precedes the current block in coding order (an
// earlier CTB, or an earlier 4x4 unit in z-scan order inside the same CTB).
bool std_available(const picture_model &p, int cur_x, int cur_y, int nb_x, int nb_y)
{
    if (nb_x < 0 || nb_y < 0 || nb_x >= p.w || nb_y >= p.h) return false;
    int ctb_nb = (nb_y / 64) * p.ctu_cols + nb_x / 64;
    int ctb_cur = (cur_y / 64) * p.ctu_cols + cur_x / 64;
    if (ctb_nb != ctb_cur) return ctb_nb < ctb_cur;
    return morton((nb_x % 64) / 4, (nb_y % 64) / 4) <= morton((cur_x % 64) / 4, (cur_y % 64) / 4);
}

// Clause 8.4.4.2.2 at bit depth 8 over 4N+1 samples in the encoder's array
// order; `avail` and `value` give each sample's availability and content.
std::vector<uint8_t> std_substitute(int n, const std::vector<bool> &avail, const std::vector<uint8_t> &value)
{
    // p(-1, y) for y = 2N-1 .. -1, then p(x, -1) for x = 0 .. 2N-1: the
    // standard's search order, as indices of the array.
    std::vector<int> order;
    for (int y = 2 * n - 1; y >= 0; y--) order.push_back(2 * n + 1 + y);
    order.push_back(0);
    for (int x = 0; x < 2 * n; x++) order.push_back(1 + x);

    std::vector<uint8_t> out(value);
    bool any = std::find(avail.begin(), avail.end(), true) != avail.end();
    if (!any) return std::vector<uint8_t>((size_t)(4 * n + 1), 128);
    std::vector<bool> have(avail);
    if (!have[(size_t)order[0]]) {
        for (int idx : order)
            if (avail[(size_t)idx]) {
                out[(size_t)order[0]] = value[(size_t)idx];
                break;
            }
        have[(size_t)order[0]] = true;
    }
    for (size_t i = 1; i < order.size(); i++)
        if (!have[(size_t)order[i]]) out[(size_t)order[i]] = out[(size_t)order[i - 1]];
    return out;
}

// Sample position of array index i relative to the block (dx, dy).
void ref_position(int n, int i, int *dx, int *dy)
{
    if (i == 0) {
        *dx = -1;
        *dy = -1;
    } else if (i <= 2 * n) {
        *dx = i - 1;
        *dy = -1;
    } else {
        *dx = -1;
        *dy = i - 2 * n - 1;
    }
}

// The reference array the standard gives to a block of plane c at plane
// position (bx, by), coded at luma position (cur_x, cur_y).
std::vector<uint8_t> std_reference(const picture_model &p, int c, int bx, int by, int n, int cur_x, int cur_y)
{
    int len = 4 * n + 1;
    std::vector<bool> avail((size_t)len);
    std::vector<uint8_t> value((size_t)len, 0);
    int scale = c ? 2 : 1;
    for (int i = 0; i < len; i++) {
        int dx, dy;
        ref_position(n, i, &dx, &dy);
        int x = bx + dx, y = by + dy;
        avail[(size_t)i] = std_available(p, cur_x, cur_y, x * scale, y * scale);
        if (avail[(size_t)i]) value[(size_t)i] = p.at(c, x, y);
    }
    return std_substitute(n, avail, value);
}

std::vector<uint8_t> smooth_121(const std::vector<uint8_t> &r, int n)
{
    std::vector<uint8_t> q(r);
    int len = 4 * n + 1;
    auto nb = [&](int i, int dir) {
        if (i == 0) return dir < 0 ? r[1] : r[(size_t)(2 * n + 1)];
        if (i == 2 * n + 1 && dir < 0) return r[0];
        return r[(size_t)(i + dir)];
    };
    for (int i = 0; i < len; i++)
        if (i != 2 * n && i != 4 * n) q[(size_t)i] = (uint8_t)((nb(i, -1) + 2 * r[(size_t)i] + nb(i, 1) + 2) >> 2);
    return q;
}

// ---- The encoder side of the simulation ---------------------------------------

// What the encoder core does around the gatherer, built here from its
// description: the recon_avail_map with its borders, map marking, the working
// buffers and the saved bottom lines of each CTU row.
struct ctu_state {
    std::vector<uint8_t> map = std::vector<uint8_t>(800, 0);
    std::vector<uint8_t> luma_mem = std::vector<uint8_t>(stride * 104);
    std::vector<uint8_t> chroma_mem = std::vector<uint8_t>(stride * 56);
    uint8_t *luma() { return luma_mem.data() + stride * 2; }
    uint8_t *chroma(int c) { return chroma_mem.data() + stride * 2 + (c == 2 ? 64 : 0); }
    uint8_t *plane(int c) { return c ? chroma(c) : luma(); }
    std::vector<uint8_t> area_mem = std::vector<uint8_t>(sizeof(intra_ref_area) + 64);
    intra_ref_area *area() { return (intra_ref_area *)(area_mem.data() + 16); }
    intra_pred_table table;
    intra_ref_ctx ctx() { return intra_ref_ctx{&table, map.data(), area()}; }
};

void mark(std::vector<uint8_t> &map, int x, int y, int w, int h, uint8_t v)
{
    for (int j = 0; j < h / 4; j++)
        for (int i = 0; i < w / 4; i++) map[(size_t)(48 + (y / 4 + j) * 32 + x / 4 + i)] = v;
}

// The availability borders of a CTU start; returns the neighbour bits.
int begin_ctu_map(std::vector<uint8_t> &map, const picture_model &p, int cx, int cy)
{
    std::fill(map.begin(), map.end(), 0);
    int bits = 0;
    if (cx > 0) {
        bits |= CTU_NEIGHBOUR_LEFT;
        for (int r = 1; r <= std::min(16, (p.h - 64 * cy) >> 2); r++) map[(size_t)(r * 32 + 15)] = 1;
    }
    if (cy > 0) {
        bits |= CTU_NEIGHBOUR_ABOVE;
        for (int u = 0; u < std::min(16, (p.w - 64 * cx) >> 2); u++) map[(size_t)(16 + u)] = 1;
    }
    if (cx > 0 && cy > 0) {
        bits |= CTU_NEIGHBOUR_CORNER;
        map[15] = 1;
    }
    if (cy > 0 && cx + 1 < p.ctu_cols) {
        bits |= CTU_NEIGHBOUR_ABOVE_RIGHT;
        int m = cx + 2 == p.ctu_cols ? (p.w - 64 * cx - 64) >> 2 : 8;
        for (int u = 0; u < std::min(8, m); u++) map[(size_t)(32 + u)] = 1;
    }
    return bits;
}

struct simulation {
    picture_model pic;
    std::mt19937 rng;
    ctu_state st;
    std::vector<std::vector<uint8_t>> lines[3]; // per plane, one saved line per CTU row (+1 dummy)
    std::vector<uint8_t> source;                 // a 64x64 source CTU copy, stride 64
    int cx = 0, cy = 0;
    int blocks_checked = 0, fill_checked = 0;

    simulation(int w, int h, unsigned seed, bool extreme) : rng(seed)
    {
        pic.w = w;
        pic.h = h;
        pic.ctu_cols = (w + 63) / 64;
        pic.ctu_rows = (h + 63) / 64;
        for (int c = 0; c < 3; c++) {
            pic.plane[c].resize((size_t)(pic.plane_w(c) * pic.plane_h(c)));
            for (auto &v : pic.plane[c]) v = sample(extreme);
            int width = pic.ctu_cols * (c ? 32 : 64);
            lines[c].assign((size_t)pic.ctu_rows + 1, std::vector<uint8_t>((size_t)width + 64));
            for (auto &l : lines[c])
                for (auto &v : l) v = (uint8_t)rng();
        }
        // Whatever the buffers hold before coding must never reach a reference.
        for (auto &v : st.luma_mem) v = (uint8_t)rng();
        for (auto &v : st.chroma_mem) v = (uint8_t)rng();
        for (auto &v : st.area_mem) v = (uint8_t)rng();
        source.resize(64 * 64 + 64 * 2);
        for (auto &v : source) v = (uint8_t)rng();
        intra_pred_table_init(7, &st.table);
    }

    uint8_t sample(bool extreme) { return extreme ? ((rng() & 1) ? 255 : 0) : (uint8_t)rng(); }

    uint8_t *saved_line(int c, int row) { return lines[c][(size_t)row + 1].data() + 32; }

    void begin_ctu()
    {
        int bits = begin_ctu_map(st.map, pic, cx, cy);
        for (int c = 0; c < 3; c++) {
            int s = c ? 32 : 64;
            load_ctu_neighbour_border(st.plane(c), nullptr, saved_line(c, cy - 1) + s * cx, 0, c == 0, bits);
        }
    }

    void end_ctu()
    {
        for (int c = 0; c < 3; c++) {
            int s = c ? 32 : 64;
            memcpy(saved_line(c, cy) + s * cx, st.plane(c) + (s - 1) * stride, (size_t)s);
        }
    }

    // The block's final reconstruction: the picture's samples, written into the
    // working buffer as transform-unit coding would leave them.
    void reconstruct(int c, int x, int y, int n)
    {
        int px = cx * (c ? 32 : 64) + x, py = cy * (c ? 32 : 64) + y;
        for (int j = 0; j < n; j++)
            for (int i = 0; i < n; i++) st.plane(c)[(y + j) * stride + x + i] = pic.at(c, px + i, py + j);
    }

    void check_gather(int c, int x, int y, int n, int cur_x, int cur_y)
    {
        // x, y: luma position in the CTU of the block (chroma: of its area).
        int bx = c ? x / 2 : x, by = c ? y / 2 : y;
        intra_ref_ctx ctx = st.ctx();
        std::vector<uint8_t> smoothed_before(st.area()->luma_smoothed, st.area()->luma_smoothed + 144);
        intra_gather_ref_samples(&ctx, st.plane(c) + by * stride + bx, x, y, n, c, 1);
        int ctu_x = cx * (c ? 32 : 64), ctu_y = cy * (c ? 32 : 64);
        std::vector<uint8_t> want =
            std_reference(pic, c, ctu_x + bx, ctu_y + by, n, 64 * cx + cur_x, 64 * cy + cur_y);
        const uint8_t *got = intra_ref_array(st.area(), c);
        for (int i = 0; i < 4 * n + 1; i++)
            ASSERT_EQ(got[i], want[(size_t)i]) << "plane " << c << " CTU (" << cx << "," << cy << ") block (" << x
                                               << "," << y << ") N " << n << " index " << i;
        if (c == 0 && n >= 8) {
            std::vector<uint8_t> sm = smooth_121(want, n);
            ASSERT_TRUE(std::equal(sm.begin(), sm.end(), st.area()->luma_smoothed)) << "smoothed copy, N " << n;
        } else {
            ASSERT_TRUE(std::equal(smoothed_before.begin(), smoothed_before.end(), st.area()->luma_smoothed))
                << "a smoothed copy was made for N 4 or chroma";
        }
        blocks_checked++;
    }

    // The source-neighbour variant equals gathering from a buffer in which the
    // block's neighbours inside the CTU are source samples (the corner keeps
    // its reconstruction), and leaves the working buffer untouched.
    void check_fill_border(int x, int y, int n)
    {
        std::vector<uint8_t> before(st.luma_mem);
        intra_ref_ctx ctx = st.ctx();
        const uint8_t *src = source.data() + y * 64 + x;
        intra_fill_border_samples(&ctx, src, 64, st.luma() + y * stride + x, stride, x, y, n, 0);
        ASSERT_EQ(before, st.luma_mem) << "the working buffer was modified";
        std::vector<uint8_t> got(st.area()->luma, st.area()->luma + 4 * n + 1);

        // Where the variant leaves the loaded border as it is, the map agrees
        // with it only for complete CTUs away from the picture's top and left.
        bool full_ctu = 64 * (cx + 1) <= pic.w && 64 * (cy + 1) <= pic.h;
        bool above_right_inside = y > 0 || x + 2 * n <= 64 || (cx + 1 < pic.ctu_cols && 64 * cx + x + 2 * n <= pic.w);
        if (!((x > 0 || cx > 0) && (y > 0 || cy > 0) && full_ctu && above_right_inside)) return;
        std::vector<uint8_t> save(st.luma_mem);
        uint8_t *b = st.luma() + y * stride + x;
        for (int j = 0; j < 2 * n && x > 0; j++)
            if (y + j < 64) b[j * stride - 1] = src[j * 64 - 1];
        for (int i = 0; i < 2 * n && y > 0; i++)
            if (x + i < 64) b[-stride + i] = src[-64 + i];
        intra_gather_ref_samples(&ctx, b, x, y, n, 0, 0);
        std::vector<uint8_t> want(st.area()->luma, st.area()->luma + 4 * n + 1);
        st.luma_mem = save;
        ASSERT_EQ(got, want) << "CTU (" << cx << "," << cy << ") block (" << x << "," << y << ") N " << n;
        fill_checked++;
    }

    void code_leaf(int x, int y, int t)
    {
        check_gather(0, x, y, t, x, y);
        if (::testing::Test::HasFatalFailure()) return;
        if (t >= 8 && t <= 32) check_fill_border(x, y, t);
        if (::testing::Test::HasFatalFailure()) return;
        reconstruct(0, x, y, t);
        mark(st.map, x, y, t, t, 1);
        if (t >= 8) {
            for (int c = 1; c < 3 && !::testing::Test::HasFatalFailure(); c++) {
                check_gather(c, x, y, t / 2, x, y);
                reconstruct(c, x / 2, y / 2, t / 2);
            }
        } else if ((x & 7) == 4 && (y & 7) == 4) {
            // 4x4 chroma blocks follow the fourth luma block of their 8x8 area
            // and are coded at the area's position.
            int ax = x & ~7, ay = y & ~7;
            for (int c = 1; c < 3 && !::testing::Test::HasFatalFailure(); c++) {
                check_gather(c, ax, ay, 4, ax, ay);
                reconstruct(c, ax / 2, ay / 2, 4);
            }
        }
    }

    void code_tree(int x, int y, int size)
    {
        int px = 64 * cx + x, py = 64 * cy + y;
        if (px >= pic.w || py >= pic.h) return; // wholly outside the picture
        bool inside = px + size <= pic.w && py + size <= pic.h;
        bool split = size == 64 || !inside || (size > 4 && rng() % 3 == 0);
        if (!split) {
            code_leaf(x, y, size);
            return;
        }
        int h = size / 2;
        for (int k = 0; k < 4 && !::testing::Test::HasFatalFailure(); k++)
            code_tree(x + (k & 1) * h, y + (k >> 1) * h, h);
    }

    void run()
    {
        for (cy = 0; cy < pic.ctu_rows; cy++)
            for (cx = 0; cx < pic.ctu_cols; cx++) {
                begin_ctu();
                code_tree(0, 0, 64);
                if (::testing::Test::HasFatalFailure()) return;
                end_ctu();
            }
    }
};

} // namespace

TEST(IntraRef, GatheringEqualsTheStandardOnACtuByCtuPicture)
{
    // Partial CTUs at the right and bottom (8, 24, 40 and 56 samples), a single
    // partial CTU, and whole CTUs; the last seed of each uses only 0 and 255.
    const int sizes[][2] = {{200, 136}, {136, 72}, {120, 184}, {64, 64}, {56, 40}, {256, 128}, {8, 8}, {328, 200}};
    int blocks = 0, fills = 0;
    for (auto &s : sizes)
        for (unsigned seed = 1; seed <= 4; seed++) {
            simulation sim(s[0], s[1], seed * 977 + (unsigned)s[0], seed == 4);
            sim.run();
            ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "picture " << s[0] << "x" << s[1] << " seed " << seed;
            blocks += sim.blocks_checked;
            fills += sim.fill_checked;
        }
    // Guards the simulation itself against losing its coverage.
    EXPECT_GT(blocks, 5000);
    EXPECT_GT(fills, 300);
}

namespace {

struct gather_fixture {
    ctu_state st;
    gather_fixture()
    {
        intra_pred_table_init(0, &st.table);
        for (size_t i = 0; i < st.luma_mem.size(); i++) st.luma_mem[i] = (uint8_t)(i * 37 + 11);
    }
};

} // namespace

TEST(IntraRef, CornerIsAlwaysWrittenEvenWhenOnlyItsUnitIsMissing)
{
    // Corner unit missing, both sides present: the standard's scan gives the
    // corner the first left sample. The array's old corner must not survive.
    gather_fixture f;
    intra_ref_ctx ctx = f.st.ctx();
    const int x = 16, y = 16, n = 8;
    mark(f.st.map, x - 4, y, 4, 2 * n, 1); // left and below-left
    mark(f.st.map, x, y - 4, 2 * n, 4, 1); // above and above-right
    uint8_t *b = f.st.luma() + y * stride + x;
    for (int stale : {0, 77, 255}) {
        memset(f.st.area()->luma, stale, 144);
        intra_gather_ref_samples(&ctx, b, x, y, n, 0, 0);
        EXPECT_EQ(f.st.area()->luma[0], b[-1]) << "stale " << stale;
        EXPECT_EQ(f.st.area()->luma[1], b[-stride]);
    }
    // With a missing first left unit, the corner takes the first available left
    // sample further down, as the standard's upward scan does.
    mark(f.st.map, x - 4, y, 4, 4, 0);
    memset(f.st.area()->luma, 77, 144);
    intra_gather_ref_samples(&ctx, b, x, y, n, 0, 0);
    EXPECT_EQ(f.st.area()->luma[0], b[4 * stride - 1]);
}

TEST(IntraRef, CornerEqualsTheStandardForAnyAvailability)
{
    std::mt19937 rng(17);
    gather_fixture f;
    intra_ref_ctx ctx = f.st.ctx();
    for (int round = 0; round < 2000; round++) {
        int n = 4 << (rng() % 4);
        int x = 4 * (int)(rng() % (16 - n / 4 + 1)), y = 4 * (int)(rng() % (16 - n / 4 + 1));
        std::fill(f.st.map.begin(), f.st.map.end(), 0);
        // Any pattern of the units that the block looks at.
        for (int k = -1; k < n / 2; k++) {
            f.st.map[(size_t)(48 + (y / 4 - 1) * 32 + x / 4 + k)] = (uint8_t)(rng() & 1);
            f.st.map[(size_t)(48 + (y / 4 + k) * 32 + x / 4 - 1)] = (uint8_t)(rng() & 1);
        }
        uint8_t *b = f.st.luma() + y * stride + x;
        memset(f.st.area()->luma, (int)(rng() & 255), 144);
        intra_gather_ref_samples(&ctx, b, x, y, n, 0, 0);

        std::vector<bool> avail((size_t)(4 * n + 1));
        std::vector<uint8_t> value((size_t)(4 * n + 1));
        for (int i = 0; i < 4 * n + 1; i++) {
            int dx, dy;
            ref_position(n, i, &dx, &dy);
            avail[(size_t)i] = f.st.map[(size_t)(48 + ((y + dy) >> 2) * 32 + ((x + dx) >> 2))] != 0;
            value[(size_t)i] = b[dy * stride + dx];
        }
        std::vector<uint8_t> want = std_substitute(n, avail, value);
        ASSERT_EQ(f.st.area()->luma[0], want[0]) << "round " << round;
    }
}

TEST(IntraRef, BorderLoadTakesWhatExistsAnd128Elsewhere)
{
    for (int is_luma = 0; is_luma < 2; is_luma++) {
        int s = is_luma ? 64 : 32;
        std::vector<uint8_t> mem(stride * 104);
        uint8_t *dst = mem.data() + stride * 2;
        std::vector<uint8_t> line(256);
        for (size_t i = 0; i < line.size(); i++) line[i] = (uint8_t)(i * 5 + 1);
        const uint8_t *src = line.data() + 64;
        for (int bits = 0; bits < 16; bits++) {
            for (size_t i = 0; i < mem.size(); i++) mem[i] = (uint8_t)(i * 13 + 3);
            std::vector<uint8_t> last_col((size_t)s);
            for (int j = 0; j < s; j++) last_col[(size_t)j] = dst[j * stride + s - 1];
            load_ctu_neighbour_border(dst, nullptr, src, 0, is_luma, bits);
            EXPECT_EQ(dst[-stride - 1], (bits & 8) ? src[-1] : 128);
            for (int i = 0; i < s; i++) ASSERT_EQ(dst[-stride + i], (bits & 2) ? src[i] : 128);
            for (int i = s; i < s + s / 2; i++) ASSERT_EQ(dst[-stride + i], (bits & 4) ? src[i] : 128);
            for (int j = 0; j < s; j++) ASSERT_EQ(dst[j * stride - 1], (bits & 1) ? last_col[(size_t)j] : 128);
            // The CTU's own samples are not touched.
            for (int j = 0; j < s; j++)
                for (int i = 0; i < s; i++)
                    ASSERT_EQ(dst[j * stride + i], (uint8_t)((dst - mem.data() + j * stride + i) * 13 + 3));
        }
    }
}

TEST(IntraRef, SourceVariantKeeps128LeftOfThePictureAndNeverWritesTheBuffer)
{
    // First CTU column, second CTU row: the left column keeps the 128 of the CTU
    // start while the corner takes the first above sample.
    gather_fixture f;
    picture_model p;
    p.w = 128;
    p.h = 128;
    p.ctu_cols = p.ctu_rows = 2;
    int bits = begin_ctu_map(f.st.map, p, 0, 1);
    std::vector<uint8_t> line(256);
    for (size_t i = 0; i < line.size(); i++) line[i] = (uint8_t)(200 - i / 2);
    load_ctu_neighbour_border(f.st.luma(), nullptr, line.data() + 64, 0, 1, bits);
    std::vector<uint8_t> source(64 * 64, 9);
    intra_ref_ctx ctx = f.st.ctx();
    std::vector<uint8_t> before(f.st.luma_mem);
    intra_fill_border_samples(&ctx, source.data(), 64, f.st.luma(), stride, 0, 0, 16, 0);
    EXPECT_EQ(before, f.st.luma_mem);
    const uint8_t *ref = f.st.area()->luma;
    EXPECT_EQ(ref[0], line[64]);
    for (int i = 0; i < 32; i++) EXPECT_EQ(ref[1 + i], line[(size_t)(64 + i)]);
    for (int j = 0; j < 32; j++) EXPECT_EQ(ref[33 + j], 128);
}
