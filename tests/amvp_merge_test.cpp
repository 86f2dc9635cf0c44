// AMVP and merge candidate lists against a model written from the H.265
// derivations (clauses 8.5.3.2.2 to 8.5.3.2.9) on random neighbourhoods, and
// the scaling and predictor-choice rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "analysis/motion/amvp.h"
#include "analysis/rd/avail_map.h"
#include "encoder/encoder_instance.h"
#include "support/test_records.h"

namespace {

// ---- Scaling and predictor choice ---------------------------------------------------

uint32_t scaled(int x, int y, int tb, int td)
{
    int16_t v[2] = {(int16_t)x, (int16_t)y};
    uint32_t out = 0;
    mv_scale(&out, v, tb, td);
    return out;
}

// H.265's scaling written out (no shortcut for tb == td, no table).
uint32_t model_scale(uint32_t mv, int tb, int td)
{
    td = std::clamp(td, -128, 127);
    tb = std::clamp(tb, -128, 127);
    int tx = (16384 + std::abs(td) / 2) / td;
    int f = std::clamp((tb * tx + 32) >> 6, -4096, 4095);
    int r[2];
    int c[2] = {mv_x(mv), mv_y(mv)};
    for (int k = 0; k < 2; k++) {
        int p = f * c[k];
        int sign = p < 0 ? -1 : 1;
        r[k] = std::clamp(sign * ((std::abs(p) + 127) >> 8), -32768, 32767);
    }
    return mv_pack(r[0], r[1]);
}

TEST(MvScale, ReciprocalTableMatchesTheDivision)
{
    EXPECT_EQ(mv_scale_reciprocal[32], 0);
    const int expected[5] = {16384, 8192, 5461, 4096, 3277};
    for (int td = 1; td <= 5; td++) EXPECT_EQ(mv_scale_reciprocal[32 + td], expected[td - 1]);
    EXPECT_EQ(mv_scale_reciprocal[64], 512);
    EXPECT_EQ(mv_scale_reciprocal[0], -512);
    for (int td = -32; td <= 32; td++) {
        if (td) {
            EXPECT_EQ(mv_scale_reciprocal[td + 32], (16384 + std::abs(td) / 2) / td) << td;
        }
    }
}

TEST(MvScale, FactorIsClippedAndRoundingIsSymmetric)
{
    // tb 16, td 1: factor 4096 clipped to 4095.
    EXPECT_EQ(scaled(256, -256, 16, 1), mv_pack((256 * 4095 + 127) >> 8, -((256 * 4095 + 127) >> 8)));
    // tb 15, td 1: factor 3840 = 15 x 256.
    EXPECT_EQ(scaled(7, -7, 15, 1), mv_pack(105, -105));
    // p = -128 rounds to 0, p = -129 to -1 (factor 1: tb 1, td 256 clipped to 127 gives f = 2).
    EXPECT_EQ(scaled(-64, -65, 1, 128), mv_pack(0, -1));
    // Equal distances copy the vector, even outside the table's range.
    EXPECT_EQ(scaled(-32768, 32767, 300, 300), mv_pack(-32768, 32767));
    // Results clip to 16 bits.
    EXPECT_EQ(scaled(30000, -30000, 4, 1), mv_pack(32767, -32768));
}

TEST(MvScale, EqualsTheStandardFormulaOverDistancesAndVectors)
{
    std::mt19937 rng(11);
    for (int i = 0; i < 20000; i++) {
        int tb = (int)(rng() % 301) - 150, td = (int)(rng() % 301) - 150;
        // Equal distances copy (the only way the standard scales them: the
        // temporal candidate); covered above.
        if (td == 0 || tb == td) continue;
        uint32_t mv = mv_pack((int)(rng() % 65536) - 32768, (int)(rng() % 2001) - 1000);
        int16_t v[2] = {mv_x(mv), mv_y(mv)};
        uint32_t out = 0;
        mv_scale(&out, v, tb, td);
        ASSERT_EQ(out, model_scale(mv, tb, td)) << tb << " " << td;
    }
}

TEST(MvdBestPredictor, PrefersTheFirstOnTiesAndWrapsDifferences)
{
    uint32_t pred[2] = {mv_pack(4, 0), mv_pack(-4, 0)};
    int16_t d[2];
    uint32_t mv = 0;
    EXPECT_EQ(mvd_best_predictor(&mv, pred, 2, d), 0);
    EXPECT_EQ(d[0], -4);
    mv = mv_pack(-3, 1);
    EXPECT_EQ(mvd_best_predictor(&mv, pred, 2, d), 1);
    EXPECT_EQ(d[0], 1);
    EXPECT_EQ(d[1], 1);
    // Count 1: always predictor 0.
    EXPECT_EQ(mvd_best_predictor(&mv, pred, 1, d), 0);
    EXPECT_EQ(d[0], -7);
    uint32_t far[2] = {mv_pack(-32768, 0), 0};
    mv = mv_pack(32767, 0);
    mvd_best_predictor(&mv, far, 1, d);
    EXPECT_EQ(d[0], -1);
}

// ---- Random neighbourhoods ----------------------------------------------------------

struct instance_deleter {
    void operator()(row_context *p) const { std::free(p); }
};

struct motion {
    bool pred[2];
    int ref[2];
    uint32_t mv[2];
};

bool same_motion(const motion &a, const motion &b)
{
    for (int l = 0; l < 2; l++) {
        if (a.pred[l] != b.pred[l]) return false;
        if (a.pred[l] && (a.ref[l] != b.ref[l] || a.mv[l] != b.mv[l])) return false;
    }
    return true;
}

struct scenario {
    std::unique_ptr<row_context, instance_deleter> inst{
        test_row_context_new()};
    std::vector<std::unique_ptr<picture>> pics;
    std::vector<std::vector<int8_t>> ref_maps;
    std::vector<std::vector<uint32_t>> mv_maps;
    int cols = 0, rows = 0, cx = 0, cy = 0;
    bool is_b = false;
    int cu_x = 0, cu_y = 0, cu_size = 0, part = 0, part_idx = 0;
    int x = 0, y = 0, w = 0, h = 0;
    int cu_z8 = 0;

    row_context *e() { return inst.get(); }
    int32_t poc_of(int l, int idx) { return (l == 0 ? e()->fi->pic.list0 : e()->fi->pic.list1)[idx]->poc; }
    int count(int l) { return l == 0 ? e()->fi->pic.ref_count_l0 : e()->fi->pic.ref_count_l1; }
};

uint32_t small_mv(std::mt19937 &rng)
{
    static const uint32_t pool[4] = {0, mv_pack(4, 0), mv_pack(-8, 12), mv_pack(1, -3)};
    if (rng() % 2) return pool[rng() % 4];
    return mv_pack((int)(rng() % 161) - 80, (int)(rng() % 161) - 80);
}

int z8_of(int ux, int uy)
{
    int z = 0;
    for (int b = 0; b < 3; b++) z |= ((ux >> b) & 1) << (2 * b) | ((uy >> b) & 1) << (2 * b + 1);
    return z;
}

picture *new_ref(scenario &s, std::mt19937 &rng, int32_t poc)
{
    s.pics.push_back(std::make_unique<picture>());
    picture *p = s.pics.back().get();
    p->poc = poc;
    if (rng() % 8 == 0) return p;  // no motion field
    size_t n = (size_t)(8 * s.cols) * (size_t)(8 * s.rows);
    for (int l = 0; l < 2; l++) {
        p->ref_count[l] = 1 + (int)(rng() % 3);
        for (int k = 0; k < p->ref_count[l]; k++) {
            int32_t d = 1 + (int32_t)(rng() % (rng() % 4 ? 6 : 60));
            p->ref_pocs[l][k] = poc + (rng() % 2 ? d : -d);
        }
        s.ref_maps.emplace_back(n);
        s.mv_maps.emplace_back(n);
        for (size_t i = 0; i < n; i++) {
            int r = (int)(rng() % (p->ref_count[l] + 2)) - 2;
            s.ref_maps.back()[i] = (int8_t)r;
            s.mv_maps.back()[i] = small_mv(rng);
        }
        p->ref_idx_map[l] = s.ref_maps.back().data();
        p->mv_map[l] = s.mv_maps.back().data();
    }
    return p;
}

void build_scenario(scenario &s, std::mt19937 &rng, bool force_b)
{
    row_context *e = s.e();
    s.cols = 3 + (int)(rng() % 2);
    s.rows = 3;
    e->enc->width = 64 * s.cols - 8 * (int)(rng() % 6);
    e->enc->height = 64 * s.rows - 8 * (int)(rng() % 6);
    e->enc->ctu_cols = s.cols;
    s.cx = (int)(rng() % s.cols);
    s.cy = (int)(rng() % s.rows);
    e->ctu.x = s.cx;
    e->ctu.y = s.cy;
    s.is_b = force_b || rng() % 2;
    e->fi->pic.sh.slice_type = s.is_b ? slice_b : slice_p;
    e->fi->pic.sh.collocated_from_l0 = s.is_b ? (int)(rng() % 2) : 1;
    e->fi->pic.sh.max_num_merge_cand = 1 + (int)(rng() % 5);
    e->enc->sps.temporal_mvp_enabled = rng() % 5 != 0;
    s.pics.push_back(std::make_unique<picture>());
    e->fi->pic.recon_picture = s.pics.back().get();
    e->fi->pic.recon_picture->poc = 40;
    int32_t used[80] = {};
    auto fresh_poc = [&](int lo, int hi) {
        for (;;) {
            int p = lo + (int)(rng() % (hi - lo + 1));
            if (!used[p]) {
                used[p] = 1;
                return p;
            }
        }
    };
    e->fi->pic.ref_count_l0 = 1 + (int)(rng() % 4);
    for (int k = 0; k < e->fi->pic.ref_count_l0; k++) e->fi->pic.list0[k] = new_ref(s, rng, fresh_poc(20, 39));
    if (s.is_b) {
        bool low_delay = rng() % 4 == 0;
        e->fi->pic.ref_count_l1 = 1 + (int)(rng() % 3);
        for (int k = 0; k < e->fi->pic.ref_count_l1; k++)
            e->fi->pic.list1[k] = (low_delay && k < e->fi->pic.ref_count_l0) ? e->fi->pic.list0[k] : new_ref(s, rng, fresh_poc(41, 70));
    }
    // Motion and modes of every grid unit.
    ctu_motion_grid *g = &e->ctu.motion;
    for (int u = 0; u < CTU_MAP8_SIZE; u++) {
        bool intra = rng() % 4 == 0;
        e->ctu.maps.pred_mode_map[u] = intra ? 1 : 0;
        for (int l = 0; l < 2; l++) {
            g->ref_idx[l][u] = -2;
            g->mv[l][u] = small_mv(rng);
        }
        if (intra) continue;
        int which = s.is_b ? (int)(rng() % 3) : 0;  // 0 list 0, 1 list 1, 2 both
        if (which != 1) g->ref_idx[0][u] = (int8_t)(rng() % e->fi->pic.ref_count_l0);
        else g->ref_idx[0][u] = -1;
        if (which >= 1) g->ref_idx[1][u] = (int8_t)(rng() % e->fi->pic.ref_count_l1);
        else g->ref_idx[1][u] = -1;
    }
    // A CU inside the picture and one of its PUs.
    int x0 = 64 * s.cx, y0 = 64 * s.cy;
    for (;;) {
        s.cu_size = 64 >> (rng() % 4);
        s.cu_x = s.cu_size * (int)(rng() % (64 / s.cu_size));
        s.cu_y = s.cu_size * (int)(rng() % (64 / s.cu_size));
        if (x0 + s.cu_x + s.cu_size <= e->enc->width && y0 + s.cu_y + s.cu_size <= e->enc->height) break;
    }
    s.part = s.cu_size == 8 ? 0 : (int)(rng() % 3);
    s.part_idx = s.part ? (int)(rng() % 2) : 0;
    s.x = s.cu_x;
    s.y = s.cu_y;
    s.w = s.h = s.cu_size;
    if (s.part == 1) {
        s.h /= 2;
        s.y += s.part_idx * s.h;
    } else if (s.part == 2) {
        s.w /= 2;
        s.x += s.part_idx * s.w;
    }
    s.cu_z8 = z8_of(s.cu_x >> 3, s.cu_y >> 3);
    // Availability as coding order leaves it.
    avail_map_begin_ctu(e->ctu.recon_avail, s.cx, s.cy, e->enc->width, e->enc->height, s.cols);
    for (int uy = 0; uy < 8; uy++)
        for (int ux = 0; ux < 8; ux++)
            if (z8_of(ux, uy) < s.cu_z8 && x0 + 8 * ux < e->enc->width && y0 + 8 * uy < e->enc->height)
                map_mark_available(e, 8 * ux, 8 * uy, 8, 8);
    if (s.part_idx == 1) map_mark_available(e, s.cu_x, s.cu_y, s.part == 2 ? s.w : s.cu_size, s.part == 1 ? s.h : s.cu_size);
}

// ---- The model: what a decoder derives ------------------------------------------------

// Prediction-block availability (6.4.1 and 6.4.2) of a position relative to
// the CTU.
bool model_available(scenario &s, int px, int py)
{
    row_context *e = s.e();
    int ax = 64 * s.cx + px, ay = 64 * s.cy + py;
    if (ax < 0 || ay < 0 || ax >= e->enc->width || ay >= e->enc->height) return false;
    bool avail;
    if (py >= 64) avail = false;
    else if (py < 0) avail = true;                 // the CTU row above is coded
    else if (px < 0) avail = true;                 // the left CTU
    else if (px >= 64) avail = false;              // the CTU to the right is not
    else {
        avail = z8_of(px >> 3, py >> 3) < s.cu_z8;
        if (s.part_idx == 1) {
            int fw = s.part == 2 ? s.w : s.cu_size, fh = s.part == 1 ? s.h : s.cu_size;
            if (px >= s.cu_x && px < s.cu_x + fw && py >= s.cu_y && py < s.cu_y + fh) avail = true;
        }
    }
    return avail && e->ctu.maps.pred_mode_map[motion_grid_index(px, py)] != 1;
}

motion model_motion(scenario &s, int px, int py)
{
    const ctu_motion_grid *g = &s.e()->ctu.motion;
    int u = motion_grid_index(px, py);
    motion m;
    for (int l = 0; l < 2; l++) {
        m.ref[l] = g->ref_idx[l][u];
        m.pred[l] = m.ref[l] >= 0 && (l == 0 || s.is_b);
        m.mv[l] = g->mv[l][u];
    }
    return m;
}

bool no_backward(scenario &s)
{
    for (int l = 0; l < 2; l++)
        for (int k = 0; k < s.count(l); k++)
            if (s.poc_of(l, k) > s.e()->fi->pic.recon_picture->poc) return false;
    return true;
}

// 8.5.3.2.8 and 8.5.3.2.9.
bool model_temporal(scenario &s, int list, int ref_idx, uint32_t *out)
{
    row_context *e = s.e();
    if (!e->enc->sps.temporal_mvp_enabled) return false;
    const picture *col = (s.is_b && !e->fi->pic.sh.collocated_from_l0) ? e->fi->pic.list1[0] : e->fi->pic.list0[0];
    int xPb = 64 * s.cx + s.x, yPb = 64 * s.cy + s.y;
    auto col_at = [&](int xc, int yc) -> bool {
        xc = (xc >> 4) << 4;
        yc = (yc >> 4) << 4;
        if (!col->ref_idx_map[0]) return false;
        size_t idx = (size_t)(yc >> 3) * (size_t)(8 * s.cols) + (size_t)(xc >> 3);
        bool p0 = col->ref_idx_map[0][idx] >= 0, p1 = col->ref_idx_map[1][idx] >= 0;
        if (!p0 && !p1) return false;
        int lc = !p0 ? 1 : (!p1 ? 0 : (no_backward(s) ? list : e->fi->pic.sh.collocated_from_l0));
        uint32_t mv = col->mv_map[lc][idx];
        int col_poc_diff = col->poc - col->ref_pocs[lc][col->ref_idx_map[lc][idx]];
        int cur_poc_diff = e->fi->pic.recon_picture->poc - s.poc_of(list, ref_idx);
        *out = col_poc_diff == cur_poc_diff ? mv : model_scale(mv, cur_poc_diff, col_poc_diff);
        return true;
    };
    int xbr = xPb + s.w, ybr = yPb + s.h;
    if ((yPb >> 6) == (ybr >> 6) && ybr < e->enc->height && xbr < e->enc->width && col_at(xbr, ybr)) return true;
    return col_at(xPb + s.w / 2, yPb + s.h / 2);
}

// 8.5.3.2.6 and 8.5.3.2.7; returns the two-entry list.
std::vector<uint32_t> model_amvp(scenario &s, int X, int t)
{
    int Y = 1 - X;
    int32_t cur = s.e()->fi->pic.recon_picture->poc, target = s.poc_of(X, t);
    int x = s.x, y = s.y, w = s.w, h = s.h;
    const int ax[2] = {x - 1, x - 1}, ay[2] = {y + h, y + h - 1};
    const int bx[3] = {x + w, x + w - 1, x - 1}, by[3] = {y - 1, y - 1, y - 1};
    bool avA[2], avB[3];
    motion mA[2], mB[3];
    for (int k = 0; k < 2; k++) {
        avA[k] = model_available(s, ax[k], ay[k]);
        mA[k] = model_motion(s, ax[k], ay[k]);
    }
    for (int k = 0; k < 3; k++) {
        avB[k] = model_available(s, bx[k], by[k]);
        mB[k] = model_motion(s, bx[k], by[k]);
    }
    auto unscaled = [&](const motion &m, uint32_t *out) {
        if (m.pred[X] && s.poc_of(X, m.ref[X]) == target) {
            *out = m.mv[X];
            return true;
        }
        if (m.pred[Y] && s.poc_of(Y, m.ref[Y]) == target) {
            *out = m.mv[Y];
            return true;
        }
        return false;
    };
    auto scaled_of = [&](const motion &m, uint32_t *out) {
        int l = m.pred[X] ? X : (m.pred[Y] ? Y : -1);
        if (l < 0) return false;
        *out = model_scale(m.mv[l], cur - target, cur - s.poc_of(l, m.ref[l]));
        return true;
    };
    bool is_scaled = avA[0] || avA[1];
    bool fa = false, fb = false;
    uint32_t A = 0, B = 0;
    for (int k = 0; k < 2 && !fa; k++)
        if (avA[k]) fa = unscaled(mA[k], &A);
    for (int k = 0; k < 2 && !fa; k++)
        if (avA[k]) fa = scaled_of(mA[k], &A);
    for (int k = 0; k < 3 && !fb; k++)
        if (avB[k]) fb = unscaled(mB[k], &B);
    if (!is_scaled && fb) {
        fa = true;
        A = B;
    }
    if (!is_scaled) {
        fb = false;
        for (int k = 0; k < 3 && !fb; k++)
            if (avB[k]) fb = scaled_of(mB[k], &B);
    }
    std::vector<uint32_t> list;
    if (fa) list.push_back(A);
    if (fb && !(fa && A == B)) list.push_back(B);
    uint32_t col;
    if (!(fa && fb && A != B) && model_temporal(s, X, t, &col)) list.push_back(col);
    list.resize(std::max<size_t>(list.size(), 2), 0);
    list.resize(2);
    return list;
}

struct model_merge_entry {
    motion m;
    bool temporal;
};

// 8.5.3.2.2 to 8.5.3.2.5, the list up to the slice maximum.
std::vector<model_merge_entry> model_merge(scenario &s)
{
    row_context *e = s.e();
    int x = s.x, y = s.y, w = s.w, h = s.h;
    int max = e->fi->pic.sh.max_num_merge_cand;
    // A1 B1 B0 A0 B2
    const int px[5] = {x - 1, x + w - 1, x + w, x - 1, x - 1};
    const int py[5] = {y + h - 1, y - 1, y - 1, y + h, y - 1};
    bool av[5];
    motion m[5];
    for (int k = 0; k < 5; k++) {
        av[k] = model_available(s, px[k], py[k]);
        m[k] = model_motion(s, px[k], py[k]);
    }
    if (s.part == 2 && s.part_idx == 1) av[0] = false;
    if (s.part == 1 && s.part_idx == 1) av[1] = false;
    bool f[5];
    f[0] = av[0];
    f[1] = av[1] && !(av[0] && same_motion(m[0], m[1]));
    f[2] = av[2] && !(av[1] && same_motion(m[1], m[2]));
    f[3] = av[3] && !(av[0] && same_motion(m[0], m[3]));
    f[4] = av[4] && !(av[0] && same_motion(m[0], m[4])) && !(av[1] && same_motion(m[1], m[4])) &&
           !(f[0] + f[1] + f[2] + f[3] == 4);
    std::vector<model_merge_entry> list;
    for (int k = 0; k < 5; k++)
        if (f[k]) list.push_back({m[k], false});
    motion col = {{false, false}, {-1, -1}, {0, 0}};
    for (int l = 0; l < (s.is_b ? 2 : 1); l++)
        if (model_temporal(s, l, 0, &col.mv[l])) {
            col.pred[l] = true;
            col.ref[l] = 0;
        }
    if (col.pred[0] || col.pred[1]) list.push_back({col, true});
    static const int l0i[12] = {0, 1, 0, 2, 1, 2, 0, 3, 1, 3, 2, 3};
    static const int l1i[12] = {1, 0, 2, 0, 2, 1, 3, 0, 3, 1, 3, 2};
    int orig = (int)list.size();
    if (s.is_b && orig > 1 && orig < max) {
        for (int c = 0; c < orig * (orig - 1) && (int)list.size() < max; c++) {
            const model_merge_entry &a = list[(size_t)l0i[c]], &b = list[(size_t)l1i[c]];
            if (a.m.pred[0] && b.m.pred[1] &&
                (s.poc_of(0, a.m.ref[0]) != s.poc_of(1, b.m.ref[1]) || a.m.mv[0] != b.m.mv[1])) {
                motion c2 = {{true, true}, {a.m.ref[0], b.m.ref[1]}, {a.m.mv[0], b.m.mv[1]}};
                list.push_back({c2, a.temporal || b.temporal});
            }
        }
    }
    int num_ref = s.is_b ? std::min(s.count(0), s.count(1)) : s.count(0);
    for (int zero = 0; (int)list.size() < max; zero++) {
        int r = zero < num_ref ? zero : 0;
        motion z = {{true, s.is_b}, {r, s.is_b ? r : -1}, {0, 0}};
        list.push_back({z, false});
    }
    list.resize((size_t)max);
    return list;
}

TEST(AmvpList, EqualsTheStandardDerivationOnRandomNeighbourhoods)
{
    std::mt19937 rng(2024);
    int twos = 0, temporal_seen = 0;
    for (int iter = 0; iter < 6000; iter++) {
        scenario s;
        build_scenario(s, rng, false);
        int X = s.is_b ? (int)(rng() % 2) : 0;
        int t = (int)(rng() % s.count(X));
        int cur = motion_grid_index(s.x, s.y);
        s.e()->ctu.motion.ref_idx[X][cur] = (int8_t)t;
        uint32_t out[2] = {0xdead, 0xbeef};
        int n = amvp_build_list(s.e(), 0, s.x, s.y, s.w, s.h, 0, X, out);
        std::vector<uint32_t> ref = model_amvp(s, X, t);
        ASSERT_TRUE(n == 1 || n == 2);
        if (n == 1) {
            ASSERT_EQ(out[0], 0u) << iter;
            ASSERT_EQ(ref[0], 0u) << iter;
            ASSERT_EQ(ref[1], 0u) << iter;
        } else {
            ASSERT_EQ(out[0], ref[0]) << iter;
            ASSERT_EQ(out[1], ref[1]) << iter;
            twos++;
        }
        uint32_t col;
        temporal_seen += model_temporal(s, X, t, &col);
    }
    EXPECT_GT(twos, 1000);
    EXPECT_GT(temporal_seen, 1000);
}

TEST(MergeList, EqualsTheStandardDerivationOnRandomNeighbourhoods)
{
    std::mt19937 rng(77);
    int combined = 0;
    for (int iter = 0; iter < 6000; iter++) {
        scenario s;
        build_scenario(s, rng, iter % 2 == 0);
        uint32_t mv0[5], mv1[5], mask = 0xffffffff;
        int8_t r0[5], r1[5];
        int n = merge_build_list(s.e(), 0, s.x, s.y, s.w, s.h, 0, mv0, mv1, r0, r1, &mask);
        std::vector<model_merge_entry> ref = model_merge(s);
        ASSERT_GE(n, 1) << iter;
        ASSERT_LE(n, s.e()->fi->pic.sh.max_num_merge_cand) << iter;
        for (int i = 0; i < n; i++) {
            const motion &m = ref[(size_t)i].m;
            ASSERT_EQ(r0[i] >= 0, m.pred[0]) << iter << " entry " << i;
            ASSERT_EQ(r1[i] >= 0, m.pred[1]) << iter << " entry " << i;
            if (m.pred[0]) {
                ASSERT_EQ(r0[i], m.ref[0]) << iter;
                ASSERT_EQ(mv0[i], m.mv[0]) << iter << " entry " << i;
            }
            if (m.pred[1]) {
                ASSERT_EQ(r1[i], m.ref[1]) << iter;
                ASSERT_EQ(mv1[i], m.mv[1]) << iter << " entry " << i;
            }
            ASSERT_EQ((mask >> i) & 1, ref[(size_t)i].temporal ? 1u : 0u) << iter << " entry " << i;
            combined += s.is_b && m.pred[0] && m.pred[1] && i > 0;
        }
        if (!s.is_b) {
            uint32_t mvp[5];
            int8_t rp[5];
            int32_t tidx = 7;
            int np = merge_build_list_p(s.e(), 0, s.x, s.y, s.w, s.h, 0, mvp, rp, &tidx);
            ASSERT_EQ(np, n) << iter;
            for (int i = 0; i < n; i++) {
                ASSERT_EQ(rp[i], r0[i]) << iter;
                ASSERT_EQ(mvp[i], mv0[i]) << iter;
            }
            int expect_t = -1;
            for (int i = 0; i < 5; i++) {
                if (mask & (1u << i)) expect_t = i;
            }
            if (expect_t >= 0) {
                ASSERT_EQ(tidx, expect_t) << iter;
            }
        }
    }
    EXPECT_GT(combined, 200);
}

TEST(AmvpList, NoNeighboursAndNoTemporalGiveOneZeroVector)
{
    scenario s;
    std::mt19937 rng(5);
    build_scenario(s, rng, false);
    row_context *e = s.e();
    std::fill(e->ctu.recon_avail, e->ctu.recon_avail + CTU_AVAIL_SIZE, 0);
    e->enc->sps.temporal_mvp_enabled = 0;
    uint32_t out[2] = {1, 1};
    e->ctu.motion.ref_idx[0][motion_grid_index(s.x, s.y)] = 0;
    EXPECT_EQ(amvp_build_list(e, 0, s.x, s.y, s.w, s.h, 0, 0, out), 1);
    EXPECT_EQ(out[0], 0u);
}

TEST(MergeList, SliceMaximumOfOneKeepsTheFirstCandidate)
{
    std::mt19937 rng(9);
    for (int i = 0; i < 200; i++) {
        scenario s;
        build_scenario(s, rng, true);
        s.e()->fi->pic.sh.max_num_merge_cand = 1;
        uint32_t mv0[5], mv1[5], mask;
        int8_t r0[5], r1[5];
        EXPECT_EQ(merge_build_list(s.e(), 0, s.x, s.y, s.w, s.h, 0, mv0, mv1, r0, r1, &mask), 1);
    }
}

TEST(AmvpList, PSliceIgnoresListOneDataOfNeighbours)
{
    std::mt19937 rng(21);
    for (int i = 0; i < 300; i++) {
        scenario s;
        build_scenario(s, rng, false);
        if (s.is_b) continue;
        row_context *e = s.e();
        // Stale list-1 data: a count and neighbours that name it.
        e->fi->pic.ref_count_l1 = 1;
        e->fi->pic.list1[0] = e->fi->pic.list0[0];
        for (int u = 0; u < CTU_MAP8_SIZE; u++)
            if (e->ctu.maps.pred_mode_map[u] != 1) {
                e->ctu.motion.ref_idx[1][u] = 0;
                e->ctu.motion.mv[1][u] = mv_pack(400, 400);
            }
        int cur = motion_grid_index(s.x, s.y);
        e->ctu.motion.ref_idx[0][cur] = 0;
        uint32_t out[2];
        int n = amvp_build_list(e, 0, s.x, s.y, s.w, s.h, 0, 0, out);
        e->fi->pic.ref_count_l1 = 0;
        std::vector<uint32_t> ref = model_amvp(s, 0, 0);
        ASSERT_EQ(out[0], ref[0]) << i;
        if (n == 2) {
            ASSERT_EQ(out[1], ref[1]) << i;
        }
    }
}

}  // namespace
