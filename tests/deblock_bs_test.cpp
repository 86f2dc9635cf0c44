// Boundary strengths and edge QPs of a CTU against a model of H.265 clause
// 8.7.2 (edges of transform and prediction blocks on the 8x8 grid, clause
// 8.7.2.4 for the strength), on random CU trees, and the listed cases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "filters/deblock/deblock.h"

namespace {

uint32_t pack_mv(int x, int y)
{
    return (uint32_t)(uint16_t)x | ((uint32_t)(uint16_t)y << 16);
}

int unit_of(int x, int y)  // per-8x8 map index of the CTU sample (x, y)
{
    return CTU_MAP8_ORIGIN + (y / 8) * CTU_MAP8_STRIDE + x / 8;
}

int zorder(int x, int y)  // z-order index of the 4x4 unit at CTU sample (x, y)
{
    int z = 0;
    for (int b = 0; b < 4; b++) z |= (((x >> (2 + b)) & 1) << (2 * b)) | (((y >> (2 + b)) & 1) << (2 * b + 1));
    return z;
}

// What the model knows of each 4x4 unit of the CTU and of its left and above
// neighbours (index -1).
struct cell {
    int cu = 0, tu = 0, pu = 0;
    bool inside = false, intra = false, coded = false;
    int ref[2] = {-1, -1};
    uint32_t mv[2] = {0, 0};
};

// One CTU with its committed decisions, built the way mode decision and the
// CU tree walk leave the maps, and the model's view of the same CTU.
struct ctu_scene {
    ctu_cu_maps maps;
    ctu_motion_grid motion;
    cu_decision_arrays dec;
    std::vector<int8_t> bs_map;
    std::vector<int8_t> qp_table;
    deblock_context ctx;
    cell cells[17][17];  // [gy + 1][gx + 1]
    int next_id = 1;

    cell &at(int gx, int gy) { return cells[gy + 1][gx + 1]; }

    // A CTU at (cx, cy) of a picture; the left and above neighbours, where they
    // exist, are inter 32x32 blocks predicted from list 0 index 0 with a zero
    // vector and no coefficients, QP 30.
    void begin(int pic_w, int pic_h, int cx, int cy, uint32_t slice_type, int picture_type)
    {
        memset(&maps, 0, sizeof(maps));
        memset(&motion, 0, sizeof(motion));
        memset(&dec, 0, sizeof(dec));
        memset(maps.pred_mode_map, 0xFF, sizeof(maps.pred_mode_map));
        memset(maps.cu_qp_map, 0xFF, sizeof(maps.cu_qp_map));
        memset(motion.ref_idx, 0xFE, sizeof(motion.ref_idx));
        memset(maps.tu_size_map, 16, sizeof(maps.tu_size_map));
        for (auto &row : cells)
            for (auto &c : row) c = cell();
        int cols = (pic_w + 63) / 64, rows = (pic_h + 63) / 64;
        bs_map.assign((size_t)cols * rows * DEBLOCK_BS_ENTRY, 0x55);
        qp_table.assign(deblock_qp_table_size(1, cols), 0x55);
        memset(&ctx, 0, sizeof(ctx));
        ctx.maps = &maps;
        ctx.motion = &motion;
        ctx.decisions = &dec;
        ctx.pic_width = pic_w;
        ctx.pic_height = pic_h;
        ctx.ctu_cols = cols;
        ctx.slice_type = slice_type;
        ctx.picture_type = picture_type;
        ctx.cu_qp_delta_enabled = 1;
        // Deeper than any complexity allows, so that every tree the cases and
        // the random CTUs build is one the syntax can code.
        ctx.max_tu_depth_inter = 4;
        ctx.max_tu_depth_intra = 4;
        ctx.ctu_x = cx;
        ctx.ctu_y = cy;
        ctx.ctu_addr = cy * cols + cx;
        ctx.deblock_bs_map = bs_map.data();
        ctx.deblock_qp_table = qp_table.data();
        for (int i = 0; i < 16; i++) {
            if (cx > 0) border_unit(-1, i, 0, 8, 0, 0, pack_mv(0, 0), 30, 100 + i / 8);
            if (cy > 0) border_unit(i, -1, 0, 8, 0, 0, pack_mv(0, 0), 30, 200 + i / 8);
        }
    }

    // One 4x4 cell of the left column (gx -1) or above row (gy -1) and its 8x8 unit.
    void border_unit(int gx, int gy, int mode, int run, uint8_t coded_bits, int ref0, uint32_t mv0,
                     int qp, int block_id)
    {
        int u = gx < 0 ? CTU_MAP8_ORIGIN - 1 + (gy / 2) * CTU_MAP8_STRIDE
                       : CTU_MAP8_ORIGIN - CTU_MAP8_STRIDE + gx / 2;
        maps.pred_mode_map[u] = (int8_t)mode;
        maps.tu_size_map[u] = (uint8_t)run;
        maps.cu_qp_map[u] = (int8_t)qp;
        maps.cu_flags_map[u] = coded_bits;
        motion.ref_idx[0][u] = (int8_t)(mode == 1 ? -2 : ref0);
        motion.ref_idx[1][u] = (int8_t)(mode == 1 ? -2 : -1);
        motion.mv[0][u] = mv0;
        cell &c = at(gx, gy);
        c.inside = true;
        c.cu = c.tu = c.pu = block_id;
        c.intra = mode == 1;
        // the quadrant next to the CTU: right ones (5, 7) on the left, bottom ones (6, 7) above
        int bit = gx < 0 ? 5 + 2 * (gy & 1) : 6 + (gx & 1);
        c.coded = (coded_bits >> bit) & 1;
        c.ref[0] = motion.ref_idx[0][u];
        c.ref[1] = motion.ref_idx[1][u];
        c.mv[0] = mv0;
    }

    // Marks a leaf CU in the tree: every ancestor split, the node a leaf.
    void cu(int x, int y, int log2, int mode, bool skip, int part, int qp)
    {
        int z = zorder(x, y);
        for (int k = 6; k > log2; k--) dec.cu_split[cu_tree_node(z & ~((1 << (2 * (k - 2))) - 1), k)] = 1;
        int node = cu_tree_node(z, log2);
        dec.cu_split[node] = 0;
        dec.part_mode[node] = (uint32_t)part;
        int size = 1 << log2, id = next_id++;
        for (int uy = y / 8; uy < (y + size) / 8; uy++)
            for (int ux = x / 8; ux < (x + size) / 8; ux++) {
                int u = CTU_MAP8_ORIGIN + uy * CTU_MAP8_STRIDE + ux;
                maps.pred_mode_map[u] = (int8_t)mode;
                maps.cu_qp_map[u] = (int8_t)qp;
                maps.cu_flags_map[u] = skip ? 1 : 0;
                if (mode == 1) motion.ref_idx[0][u] = motion.ref_idx[1][u] = -2;
            }
        for (int gy = y / 4; gy < (y + size) / 4; gy++)
            for (int gx = x / 4; gx < (x + size) / 4; gx++) {
                cell &c = at(gx, gy);
                c.inside = true;
                c.cu = id;
                c.tu = id;
                c.intra = mode == 1;
                c.coded = false;
                // prediction blocks: 2NxN, Nx2N, NxN split the CU in halves
                int hx = (gx * 4 - x) >= size / 2, hy = (gy * 4 - y) >= size / 2;
                int pu = part == 1 ? hy : part == 2 ? hx : part == 3 ? hx + 2 * hy : 0;
                if (mode == 1 && size == 8) pu = 0;  // intra NxN blocks are 4x4, off the grid
                c.pu = id * 4 + pu;
            }
    }

    // Motion of a prediction block (whole 8x8 units).
    void pu_motion(int x, int y, int w, int h, int ref0, uint32_t mv0, int ref1, uint32_t mv1)
    {
        for (int uy = y / 8; uy < (y + h) / 8; uy++)
            for (int ux = x / 8; ux < (x + w) / 8; ux++) {
                int u = CTU_MAP8_ORIGIN + uy * CTU_MAP8_STRIDE + ux;
                motion.ref_idx[0][u] = (int8_t)ref0;
                motion.ref_idx[1][u] = (int8_t)ref1;
                motion.mv[0][u] = mv0;
                motion.mv[1][u] = mv1;
            }
        for (int gy = y / 4; gy < (y + h) / 4; gy++)
            for (int gx = x / 4; gx < (x + w) / 4; gx++) {
                cell &c = at(gx, gy);
                c.ref[0] = ref0;
                c.ref[1] = ref1;
                c.mv[0] = mv0;
                c.mv[1] = mv1;
            }
    }

    // A transform block (leaf of the transform tree) and whether it has coded
    // luma coefficients; size 4 blocks are the four 4x4 blocks of an 8x8 node.
    // As the search leaves them, the transform nodes above it inside the CU
    // are split and carry the coded-block flags of their subtrees.
    void tu(int x, int y, int log2, bool coded)
    {
        int z = zorder(x, y);
        int size = 1 << log2, id = next_id++;
        for (int k = 6; k > log2; k--) {
            int n = cu_tree_node(z & ~((1 << (2 * (k - 2))) - 1), k);
            if (dec.cu_split[n] == 0) {
                dec.tu_split[n] = 1;
                if (coded) dec.cbf_flags[n] |= 1;
            }
        }
        dec.cbf_flags[cu_tree_node(z, log2)] = coded ? 1 : 0;
        for (int gy = y / 4; gy < (y + size) / 4; gy++)
            for (int gx = x / 4; gx < (x + size) / 4; gx++) {
                at(gx, gy).tu = id;
                at(gx, gy).coded = coded;
            }
    }

    // The transform-size runs the CU tree walk writes: TU size / 4, CU size / 8
    // for one TU over several PUs, 1 for 4x4 TUs, CU size / 4 for a skip.
    void set_run(int x, int y, int size, int run)
    {
        for (int uy = y / 8; uy < (y + size + 7) / 8; uy++)
            for (int ux = x / 8; ux < (x + size + 7) / 8; ux++)
                maps.tu_size_map[CTU_MAP8_ORIGIN + uy * CTU_MAP8_STRIDE + ux] = (uint8_t)run;
    }

    int8_t ver(int c, int s, int h) const { return entry()[c * 16 + 2 * s + h]; }
    int8_t hor(int r, int s, int h) const { return entry()[128 + r * 16 + 2 * s + h]; }
    const int8_t *entry() const { return bs_map.data() + (size_t)ctx.ctu_addr * DEBLOCK_BS_ENTRY; }
    void prepare() { deblock_prepare_ctu(&ctx); }
};

// ---- The model -----------------------------------------------------------------

// Picture identity of a reference index: lists 0 and 1 of a true B picture
// hold different pictures; a P picture coded as a B slice repeats list 0.
int picture_of(const deblock_context &ctx, int list, int ref)
{
    if (list == 1 && !(ctx.slice_type == 0 && ctx.picture_type == 4)) return 1000 + ref;
    return ref;
}

bool far_apart(uint32_t a, uint32_t b)
{
    return std::abs((int16_t)(a & 0xFFFF) - (int16_t)(b & 0xFFFF)) >= 4 ||
           std::abs((int16_t)(a >> 16) - (int16_t)(b >> 16)) >= 4;
}

// Clause 8.7.2.4, motion part: pictures compared as pictures, regardless of list.
int model_motion_bs(const deblock_context &ctx, const cell &q, const cell &p)
{
    int lists = ctx.slice_type == 0 ? 2 : 1;
    std::vector<std::pair<int, uint32_t>> mq, mp;  // (picture, vector)
    for (int l = 0; l < lists; l++) {
        if (q.ref[l] >= 0) mq.push_back({picture_of(ctx, l, q.ref[l]), q.mv[l]});
        if (p.ref[l] >= 0) mp.push_back({picture_of(ctx, l, p.ref[l]), p.mv[l]});
    }
    if (mq.size() != mp.size()) return 1;
    if (mq.size() == 1) return mq[0].first != mp[0].first || far_apart(mq[0].second, mp[0].second);
    bool same_set = (mq[0].first == mp[0].first && mq[1].first == mp[1].first) ||
                    (mq[0].first == mp[1].first && mq[1].first == mp[0].first);
    if (!same_set) return 1;
    if (mq[0].first != mq[1].first) {
        // two different pictures: compare the vectors of the same picture
        if (mq[0].first == mp[0].first) return far_apart(mq[0].second, mp[0].second) || far_apart(mq[1].second, mp[1].second);
        return far_apart(mq[0].second, mp[1].second) || far_apart(mq[1].second, mp[0].second);
    }
    // both vectors of both sides refer to one picture: both pairings must differ
    bool straight = far_apart(mq[0].second, mp[0].second) || far_apart(mq[1].second, mp[1].second);
    bool crossed = far_apart(mq[0].second, mp[1].second) || far_apart(mq[1].second, mp[0].second);
    return straight && crossed;
}

// Expected strength value of the half whose q0 is the cell (gx, gy) with p0 in
// the cell (gx - dx, gy - dy): -1 no edge, 0 not filtered, 1 motion, 2 coded
// transform edge, 3 transform edge in an intra CU, 4 CU edge next to intra.
int model_half(ctu_scene &s, int gx, int gy, int dx, int dy)
{
    const cell &q = s.at(gx, gy);
    const cell &p = s.at(gx - dx, gy - dy);
    if (!q.inside) return -1;
    bool picture_edge = (dx && s.ctx.ctu_x == 0 && gx == 0) || (dy && s.ctx.ctu_y == 0 && gy == 0);
    if (picture_edge) return 0;
    bool cu_edge = q.cu != p.cu, tu_edge = cu_edge || q.tu != p.tu, pu_edge = cu_edge || q.pu != p.pu;
    if (!tu_edge && !pu_edge) return -1;
    if (q.intra || p.intra) return cu_edge ? 4 : 3;
    if (tu_edge && (q.coded || p.coded)) return 2;
    return model_motion_bs(s.ctx, q, p);
}

void expect_model(ctu_scene &s, const char *what)
{
    int mismatches = 0;
    for (int a = 0; a < 8; a++)
        for (int seg = 0; seg < 8; seg++)
            for (int h = 0; h < 2; h++) {
                int gv = 2 * seg + h;
                int want_v = model_half(s, 2 * a, gv, 1, 0);
                int want_h = model_half(s, gv, 2 * a, 0, 1);
                int got_v = s.ver(a, seg, h), got_h = s.hor(a, seg, h);
                // -1 and 0 both leave the edge alone; anything else must match exactly.
                bool ok_v = want_v > 0 ? got_v == want_v : got_v <= 0;
                bool ok_h = want_h > 0 ? got_h == want_h : got_h <= 0;
                if (!ok_v && mismatches++ < 5)
                    ADD_FAILURE() << what << ": vertical edge x " << 8 * a << " y " << 4 * gv << " got "
                                  << got_v << " want " << want_v;
                if (!ok_h && mismatches++ < 5)
                    ADD_FAILURE() << what << ": horizontal edge y " << 8 * a << " x " << 4 * gv << " got "
                                  << got_h << " want " << want_h;
            }
}

// ---- Random CTUs ---------------------------------------------------------------

struct random_ctu {
    ctu_scene &s;
    std::mt19937 &rng;
    int room_w, room_h;
    bool chance(int percent) { return (int)(rng() % 100) < percent; }
    int pick(int n) { return (int)(rng() % n); }

    uint32_t random_mv()
    {
        static const int xs[] = {0, 3, 4, -4, 8}, ys[] = {0, -3, -4, 4};
        return pack_mv(xs[pick(5)], ys[pick(4)]);
    }
    void random_motion(int x, int y, int w, int h)
    {
        int r0 = pick(2), r1 = -1;
        if (s.ctx.slice_type == 0) {
            int kind = pick(3);  // list 0, list 1, both
            r1 = kind == 0 ? -1 : pick(2);
            if (kind == 1) r0 = -1;
        }
        s.pu_motion(x, y, w, h, r0, random_mv(), r1, r1 >= 0 ? random_mv() : 0);
    }

    void tu_tree(int x, int y, int log2, bool intra, bool force_split)
    {
        int size = 1 << log2;
        if (force_split || (log2 > 2 && chance(35))) {
            if (log2 == 3) {
                for (int k = 0; k < 4; k++) s.tu(x + (k & 1) * 4, y + (k >> 1) * 4, 2, chance(50));
                s.set_run(x, y, 8, 1);
                return;
            }
            int half = size / 2;
            for (int k = 0; k < 4; k++) tu_tree(x + (k & 1) * half, y + (k >> 1) * half, log2 - 1, intra, false);
            return;
        }
        s.tu(x, y, log2, chance(50));
        s.set_run(x, y, size, size / 4);
        stale_below(x, y, log2);
    }

    // What the search leaves below a leaf of the coded trees: the transform
    // nodes of other candidates, never read.
    void stale_below(int x, int y, int log2)
    {
        int z = zorder(x, y);
        for (int k = log2 - 1; k >= 2; k--) {
            int count = 1 << (2 * (log2 - k)), step = 1 << (2 * (k - 2));
            for (int i = 0; i < count; i++) {
                int n = cu_tree_node(z + i * step, k);
                s.dec.tu_split[n] = pick(2);
                s.dec.cbf_flags[n] = (uint8_t)pick(8);
            }
        }
    }

    void leaf(int x, int y, int log2)
    {
        int size = 1 << log2, qp = 20 + pick(20);
        if (chance(35)) {
            bool nxn = log2 == 3 && chance(50);
            s.cu(x, y, log2, 1, false, nxn ? 3 : 0, qp);
            tu_tree(x, y, log2, true, nxn || log2 == 6);
            // a 64x64 node is split whatever its flag holds
            if (log2 == 6 && chance(50)) s.dec.tu_split[0] = 0;
            return;
        }
        if (chance(30)) {  // skip: one prediction block, no transform tree
            s.cu(x, y, log2, 0, true, 0, qp);
            random_motion(x, y, size, size);
            s.set_run(x, y, size, size / 4);
            s.dec.tu_split[cu_tree_node(zorder(x, y), log2)] = pick(2);
            stale_below(x, y, log2);
            return;
        }
        int part = log2 >= 4 ? pick(4) : 0;
        s.cu(x, y, log2, 0, false, part, qp);
        int half = size / 2;
        if (part == 0) random_motion(x, y, size, size);
        if (part == 1) { random_motion(x, y, size, half); random_motion(x, y + half, size, half); }
        if (part == 2) { random_motion(x, y, half, size); random_motion(x + half, y, half, size); }
        if (part == 3)
            for (int k = 0; k < 4; k++) random_motion(x + (k & 1) * half, y + (k >> 1) * half, half, half);
        if (part != 0 && log2 <= 5 && chance(50)) {
            // one transform block over the prediction blocks
            s.tu(x, y, log2, chance(50));
            s.set_run(x, y, size, size / 8);
            return;
        }
        tu_tree(x, y, log2, false, log2 == 6 || part != 0);
        if (log2 == 6 && chance(50)) s.dec.tu_split[0] = 0;
        int root = cu_tree_node(zorder(x, y), log2);
        if (s.dec.cbf_flags[root] == 0) {
            // No coefficient at all: the CU codes no transform tree, and the
            // split flags and the nodes below its root are left over.
            s.dec.tu_split[root] = pick(2);
            stale_below(x, y, log2);
        }
    }

    void cu_tree(int x, int y, int log2)
    {
        int size = 1 << log2;
        bool crosses = x + size > room_w || y + size > room_h;
        if (log2 > 3 && (crosses || chance(55))) {
            int half = size / 2;
            bool right = x + half < room_w, below = y + half < room_h;
            cu_tree(x, y, log2 - 1);
            if (right) cu_tree(x + half, y, log2 - 1);
            if (below) cu_tree(x, y + half, log2 - 1);
            if (right && below) cu_tree(x + half, y + half, log2 - 1);
            return;
        }
        leaf(x, y, log2);
    }

    // Border blocks of 8, 16 or 32 samples along the left column or above row.
    void border(bool left)
    {
        int pos = 0;
        while (pos < 64) {
            int len = 8 << pick(3);
            while (pos % len) len /= 2;
            int mode = chance(25) ? 1 : 0, ref0 = pick(2), qp = 20 + pick(20);
            uint32_t mv = random_mv();
            bool small_tus = len == 8 && mode == 0 && chance(30);
            uint8_t bits = small_tus ? (uint8_t)((rng() & 0xF) << 4) : (chance(40) ? 0xF0 : 0);
            int id = 500 + pos;
            for (int g = pos / 4; g < (pos + len) / 4; g++) {
                if (left)
                    s.border_unit(-1, g, mode, small_tus ? 1 : len / 4, bits, ref0, mv, qp, id);
                else
                    s.border_unit(g, -1, mode, small_tus ? 1 : len / 4, bits, ref0, mv, qp, id);
            }
            pos += len;
        }
    }
};

TEST(DeblockBs, RandomCtusMatchTheStandardDerivation)
{
    std::mt19937 rng(2024);
    struct slice {
        uint32_t type;
        int picture;
    } slices[] = {{1, 4}, {0, 5}, {0, 4}, {2, 3}};
    for (int iter = 0; iter < 4000; iter++) {
        ctu_scene s;
        // pictures of 2x2 CTUs, the second column and row cut to 8..64 samples
        int pic_w = 64 + 8 * (1 + (int)(rng() % 8)), pic_h = 64 + 8 * (1 + (int)(rng() % 8));
        int cx = rng() % 2, cy = rng() % 2;
        const slice &sl = slices[iter % 4];
        s.begin(pic_w, pic_h, cx, cy, sl.type, sl.picture);
        random_ctu r{s, rng, std::min(64, pic_w - 64 * cx), std::min(64, pic_h - 64 * cy)};
        if (cx > 0) r.border(true);
        if (cy > 0) r.border(false);
        r.cu_tree(0, 0, 6);
        s.prepare();
        expect_model(s, ("iteration " + std::to_string(iter)).c_str());
        if (HasFailure()) return;
    }
}

// ---- Listed cases ---------------------------------------------------------------

TEST(DeblockBs, PictureEdgesAreZeroAndUnitsOutsideThePictureNoEdge)
{
    ctu_scene s;
    // The bottom-right CTU of a 72x72 picture holds one 8x8 intra CU.
    s.begin(72, 72, 1, 1, 2, 3);
    s.cu(0, 0, 3, 1, false, 0, 30);
    s.tu(0, 0, 3, true);
    s.set_run(0, 0, 8, 2);
    s.prepare();
    EXPECT_EQ(s.ver(0, 0, 0), 4);  // left neighbour present: CU edge next to intra
    EXPECT_EQ(s.hor(0, 0, 1), 4);
    EXPECT_EQ(s.ver(0, 1, 0), -1) << "halves below the picture keep -1";
    EXPECT_EQ(s.hor(0, 3, 0), -1);

    // The first CTU of a picture: all 16 halves of its left and top edges are 0,
    // also where they lie outside a 40x24 picture.
    s.begin(40, 24, 0, 0, 2, 3);
    s.cu(0, 0, 3, 1, false, 0, 30);
    s.tu(0, 0, 3, true);
    s.set_run(0, 0, 8, 2);
    s.prepare();
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(s.entry()[i], 0);
        EXPECT_EQ(s.entry()[128 + i], 0);
    }
}

TEST(DeblockBs, IntraCuEdgesAreFourAndItsTransformEdgesThree)
{
    ctu_scene s;
    s.begin(256, 256, 1, 1, 1, 4);
    s.cu(0, 0, 5, 0, false, 0, 30);  // inter 32x32, left
    s.pu_motion(0, 0, 32, 32, 0, pack_mv(0, 0), -1, 0);
    s.tu(0, 0, 5, false);
    s.set_run(0, 0, 32, 8);
    s.cu(32, 0, 5, 1, false, 0, 30);  // intra 32x32 with 16x16 transforms
    for (int k = 0; k < 4; k++) {
        s.tu(32 + (k & 1) * 16, (k >> 1) * 16, 4, false);
        s.set_run(32 + (k & 1) * 16, (k >> 1) * 16, 16, 4);
    }
    s.cu(0, 32, 5, 1, false, 0, 30);  // intra below the inter CU
    s.tu(0, 32, 5, false);
    s.set_run(0, 32, 32, 8);
    s.cu(32, 32, 5, 0, true, 0, 30);
    s.pu_motion(32, 32, 32, 32, 0, pack_mv(0, 0), -1, 0);
    s.set_run(32, 32, 32, 8);
    s.prepare();
    for (int seg = 0; seg < 4; seg++) {
        EXPECT_EQ(s.ver(4, seg, 0), 4) << "inter | intra";
        EXPECT_EQ(s.ver(6, seg, 1), 3) << "transform edge inside the intra CU";
        EXPECT_EQ(s.hor(4, seg, 0), 4) << "intra below inter";
        EXPECT_EQ(s.hor(4, 4 + seg, 0), 4) << "skip below intra";
        EXPECT_EQ(s.ver(0, seg, 0), 0) << "inter | inter, same motion";
    }
    EXPECT_EQ(s.hor(2, 4, 0), 3);
    EXPECT_EQ(s.ver(2, 0, 0), -1) << "no block edge inside the left CU";
}

TEST(DeblockBs, CodedTransformEdgesAreTwoAndPredictionEdgesNever)
{
    ctu_scene s;
    s.begin(256, 256, 1, 1, 1, 4);
    // 16x16 inter 2NxN, one transform block with coefficients, neighbours
    // without coefficients; the lower PU uses another reference.
    s.cu(16, 16, 4, 0, false, 1, 30);
    s.pu_motion(16, 16, 16, 8, 0, pack_mv(0, 0), -1, 0);
    s.pu_motion(16, 24, 16, 8, 1, pack_mv(0, 0), -1, 0);
    s.tu(16, 16, 4, true);
    s.set_run(16, 16, 16, 2);
    // the rest of the 32x32 quadrant: inter 16x16 CUs without coefficients
    s.cu(0, 0, 4, 0, false, 0, 30);
    s.cu(16, 0, 4, 0, false, 0, 30);
    s.cu(0, 16, 4, 0, false, 0, 30);
    for (auto xy : {std::pair<int, int>{0, 0}, {16, 0}, {0, 16}}) {
        s.pu_motion(xy.first, xy.second, 16, 16, 0, pack_mv(0, 0), -1, 0);
        s.tu(xy.first, xy.second, 4, false);
        s.set_run(xy.first, xy.second, 16, 4);
    }
    s.prepare();
    EXPECT_EQ(s.ver(2, 2, 0), 2);
    EXPECT_EQ(s.ver(2, 3, 1), 2);
    EXPECT_EQ(s.hor(2, 2, 0), 2);
    EXPECT_EQ(s.hor(2, 3, 1), 2);
    EXPECT_EQ(s.hor(3, 2, 0), 1) << "prediction edge, references differ";
    EXPECT_EQ(s.hor(3, 3, 1), 1);
    EXPECT_EQ(s.ver(2, 0, 0), 0) << "inter | inter without coefficients";
}

TEST(DeblockBs, Four4x4TransformsGiveStrengthPerHalf)
{
    ctu_scene s;
    s.begin(256, 256, 1, 1, 1, 4);
    for (auto xy : {std::pair<int, int>{0, 0}, {8, 0}, {0, 8}}) {
        s.cu(xy.first, xy.second, 3, 0, false, 0, 30);
        s.pu_motion(xy.first, xy.second, 8, 8, 0, pack_mv(0, 0), -1, 0);
        s.tu(xy.first, xy.second, 3, false);
        s.set_run(xy.first, xy.second, 8, 2);
    }
    s.cu(8, 8, 3, 0, false, 0, 30);
    s.pu_motion(8, 8, 8, 8, 0, pack_mv(0, 0), -1, 0);
    s.tu(8, 8, 2, false);
    s.tu(12, 8, 2, false);
    s.tu(8, 12, 2, true);  // bottom-left only
    s.tu(12, 12, 2, false);
    s.set_run(8, 8, 8, 1);
    s.prepare();
    EXPECT_EQ(s.ver(1, 1, 1), 2) << "lower half of the left edge";
    EXPECT_EQ(s.ver(1, 1, 0), 0) << "upper half: motion rule, same motion";
    EXPECT_EQ(s.hor(1, 1, 0), 0);
    EXPECT_EQ(s.hor(1, 1, 1), 0);
    EXPECT_EQ(s.maps.cu_flags_map[unit_of(8, 8)] & 0xF0, 0x40);
}

TEST(DeblockBs, A64x64CuWithCoefficientsInOneTransformBlock)
{
    ctu_scene s;
    s.begin(256, 256, 1, 1, 1, 4);
    s.cu(0, 0, 6, 0, false, 0, 30);
    s.pu_motion(0, 0, 64, 64, 0, pack_mv(0, 0), -1, 0);
    s.tu(0, 0, 5, true);
    s.tu(32, 0, 5, false);
    s.tu(0, 32, 5, false);
    s.tu(32, 32, 5, false);
    s.dec.tu_split[0] = 0;  // the 64x64 node counts as split whatever it holds
    s.set_run(0, 0, 64, 8);
    s.prepare();
    for (int seg = 0; seg < 8; seg++) {
        int want = seg < 4 ? 2 : 0;
        EXPECT_EQ(s.ver(0, seg, 0), want);
        EXPECT_EQ(s.ver(4, seg, 1), want) << "x = 32";
        EXPECT_EQ(s.hor(4, seg, 0), want) << "y = 32";
        EXPECT_EQ(s.ver(2, seg, 0), -1);
    }
}

TEST(DeblockBs, ASkipped64x64CuHasOnlyItsOuterEdges)
{
    ctu_scene s;
    s.begin(256, 256, 1, 1, 1, 4);
    s.cu(0, 0, 6, 0, true, 0, 30);
    s.pu_motion(0, 0, 64, 64, 0, pack_mv(8, 0), -1, 0);
    s.set_run(0, 0, 64, 16);
    s.prepare();
    for (int seg = 0; seg < 8; seg++) {
        EXPECT_EQ(s.ver(0, seg, 0), 1) << "vector differs by 2 samples from the left";
        EXPECT_EQ(s.hor(0, seg, 1), 1);
        for (int a = 1; a < 8; a++) {
            EXPECT_LE(s.ver(a, seg, 0), 0);
            EXPECT_LE(s.hor(a, seg, 1), 0);
        }
    }
}

// An inter CU whose root coded-block flags are clear codes no transform tree
// (and a skipped one never does): what the nodes below its root still hold
// from other candidates (here coded 32x32 and 8x8 blocks, split flags) must
// neither make edges inside it nor mark it coded for its neighbours.
TEST(DeblockBs, CusWithoutResidualIgnoreTheNodesBelowTheirRoot)
{
    for (bool skip : {false, true}) {
        SCOPED_TRACE(skip ? "skipped" : "root flags clear");
        ctu_scene s;
        s.begin(256, 256, 1, 1, 1, 4);
        s.cu(0, 0, 6, 0, skip, 0, 30);
        s.pu_motion(0, 0, 64, 64, 0, pack_mv(0, 0), -1, 0);
        s.set_run(0, 0, 64, 16);
        s.dec.tu_split[0] = 1;
        for (int n = 1; n <= 4; n++) s.dec.cbf_flags[n] = 7, s.dec.tu_split[n] = 1;
        for (int n = 5; n < 85; n++) s.dec.cbf_flags[n] = 1;
        s.prepare();
        for (int seg = 0; seg < 8; seg++)
            for (int a = 0; a < 8; a++) {
                EXPECT_LE(s.ver(a, seg, 0), 0) << "x " << 8 * a;
                EXPECT_LE(s.hor(a, seg, 1), 0) << "y " << 8 * a;
            }
        for (int u = 0; u < 64; u++)
            EXPECT_EQ(s.maps.cu_flags_map[unit_of(8 * (u % 8), 8 * (u / 8))] & 0xF0, 0);
    }
    // A two-unit CU without residual: only the edge between its prediction
    // blocks, by motion.
    ctu_scene s;
    s.begin(256, 256, 1, 1, 1, 4);
    s.cu(0, 0, 6, 0, false, 2, 30);
    s.pu_motion(0, 0, 32, 64, 0, pack_mv(0, 0), -1, 0);
    s.pu_motion(32, 0, 32, 64, 0, pack_mv(0, 0), -1, 0);
    s.set_run(0, 0, 64, 8);
    for (int n = 1; n <= 4; n++) s.dec.cbf_flags[n] = 1;
    s.prepare();
    for (int seg = 0; seg < 8; seg++) {
        EXPECT_LE(s.ver(4, seg, 0), 0) << "same motion on both sides";
        EXPECT_LE(s.hor(4, seg, 0), 0) << "no transform edge at y = 32";
    }
}

// A split flag is read only where the syntax sends it: at a transform node of
// 8x8 to 32x32 above the depth limit of its CU. Below the limit the node is
// one transform block whatever its flag and its subtree hold.
TEST(DeblockBs, SplitFlagsBelowTheDepthLimitAreNotRead)
{
    for (int max_depth : {1, 2}) {
        SCOPED_TRACE("inter depth limit " + std::to_string(max_depth));
        ctu_scene s;
        s.begin(256, 256, 1, 1, 1, 4);
        s.ctx.max_tu_depth_inter = max_depth;
        // A 64x64 CU: its 32x32 nodes are at depth 1, its 16x16 ones at 2.
        s.cu(0, 0, 6, 0, false, 0, 30);
        s.pu_motion(0, 0, 64, 64, 0, pack_mv(0, 0), -1, 0);
        s.set_run(0, 0, 64, 4);
        s.dec.cbf_flags[0] = 1;
        for (int n = 1; n <= 4; n++) s.dec.tu_split[n] = 1, s.dec.cbf_flags[n] = 1;
        for (int n = 5; n < 21; n++) s.dec.tu_split[n] = 1, s.dec.cbf_flags[n] = 1;
        for (int n = 21; n < 85; n++) s.dec.cbf_flags[n] = (n % 2) ? 1 : 0;
        s.prepare();
        // Depth limit 1: 32x32 blocks, all coded. Depth limit 2: 16x16 blocks.
        int block = max_depth == 1 ? 32 : 16;
        for (int seg = 0; seg < 8; seg++)
            for (int a = 1; a < 8; a++) {
                bool edge = (8 * a) % block == 0;
                EXPECT_EQ(s.ver(a, seg, 0), edge ? 2 : -1) << "x " << 8 * a;
                EXPECT_EQ(s.hor(a, seg, 1), edge ? 2 : -1) << "y " << 8 * a;
            }
    }
}

// Two 32x32 inter CUs side by side: the strength of the edge at x = 32.
int8_t motion_edge(uint32_t slice_type, int picture_type, int a0, uint32_t A0, int a1, uint32_t A1,
                   int b0, uint32_t B0, int b1, uint32_t B1)
{
    ctu_scene s;
    s.begin(256, 256, 1, 1, slice_type, picture_type);
    s.cu(0, 0, 5, 0, false, 0, 30);
    s.pu_motion(0, 0, 32, 32, b0, B0, b1, B1);
    s.cu(32, 0, 5, 0, false, 0, 30);
    s.pu_motion(32, 0, 32, 32, a0, A0, a1, A1);
    for (int x : {0, 32}) {
        s.tu(x, 0, 5, false);
        s.set_run(x, 0, 32, 8);
    }
    s.cu(0, 32, 5, 1, false, 0, 30);
    s.cu(32, 32, 5, 1, false, 0, 30);
    s.prepare();
    return s.ver(4, 0, 0);
}

TEST(DeblockBs, MotionVectorsOneSampleApartFilter)
{
    uint32_t zero = pack_mv(0, 0);
    EXPECT_EQ(motion_edge(1, 4, 0, pack_mv(3, 0), -1, 0, 0, zero, -1, 0), 0);
    EXPECT_EQ(motion_edge(1, 4, 0, pack_mv(4, 0), -1, 0, 0, zero, -1, 0), 1);
    EXPECT_EQ(motion_edge(1, 4, 0, pack_mv(0, -4), -1, 0, 0, zero, -1, 0), 1);
    EXPECT_EQ(motion_edge(1, 4, 1, zero, -1, 0, 0, zero, -1, 0), 1) << "other reference";
    EXPECT_EQ(motion_edge(1, 4, 0, pack_mv(-32768, 0), -1, 0, 0, pack_mv(32767, 0), -1, 0), 1)
        << "extreme components differ without overflow";
}

TEST(DeblockBs, BSliceOfAPPicturePairsTheListsEitherWay)
{
    uint32_t zero = pack_mv(0, 0), near = pack_mv(3, -3), far = pack_mv(4, 0);
    // Q list 0 index 0 only, P list 1 index 0 only: the same picture.
    EXPECT_EQ(motion_edge(0, 4, 0, near, -1, 0, -1, 0, 0, zero), 0);
    EXPECT_EQ(motion_edge(0, 5, 0, near, -1, 0, -1, 0, 0, zero), 1) << "a true B picture: other pictures";
    // Both sides predict twice from index 0: close when either pairing is close.
    EXPECT_EQ(motion_edge(0, 4, 0, zero, 0, far, 0, zero, 0, far), 0);   // straight
    EXPECT_EQ(motion_edge(0, 4, 0, zero, 0, far, 0, far, 0, zero), 0);   // crossed
    EXPECT_EQ(motion_edge(0, 4, 0, zero, 0, far, 0, far, 0, far), 1);    // neither
    // Two different pictures, crossed between the lists.
    EXPECT_EQ(motion_edge(0, 4, 0, zero, 1, far, 1, far, 0, zero), 0);
    EXPECT_EQ(motion_edge(0, 4, 0, zero, 1, far, 1, zero, 0, zero), 1);
}

TEST(DeblockBs, EdgeQpsAverageBothSides)
{
    ctu_scene s;
    s.begin(256, 256, 1, 1, 1, 4);
    s.cu(0, 0, 6, 1, false, 0, 40);
    s.maps.cu_qp_map[unit_of(8, 8)] = 21;
    for (int i = 0; i < 16; i++) {
        s.border_unit(-1, i, 0, 8, 0, 0, 0, 30, 1);
        s.border_unit(i, -1, 0, 8, 0, 0, 0, 25, 2);
    }
    s.prepare();
    const int8_t *b = s.qp_table.data() + DEBLOCK_QP_BLOCK;  // block of CTU column 1
    EXPECT_EQ(b[0], 35);            // (40 + 30 + 1) >> 1
    EXPECT_EQ(b[64], 33);           // (40 + 25 + 1) >> 1
    EXPECT_EQ(b[1 * 8 + 1], 31);       // unit (1, 1) holds 21, its left neighbour 40
    EXPECT_EQ(b[64 + 1 * 8 + 1], 31);  // and its above neighbour 40
    EXPECT_EQ(b[1 * 8 + 2], 31);       // the unit right of it: 40 | 21
}

TEST(DeblockBs, WithoutCuQpDeltaTheRowUsesItsFirstQp)
{
    ctu_scene s;
    s.begin(256, 256, 0, 1, 1, 4);
    s.ctx.cu_qp_delta_enabled = 0;
    s.cu(0, 0, 6, 1, false, 0, 27);
    s.prepare();
    for (int i = 0; i < DEBLOCK_QP_BLOCK; i++) ASSERT_EQ(s.qp_table[i], 27);
    s.begin(256, 256, 1, 1, 1, 4);
    s.ctx.cu_qp_delta_enabled = 0;
    s.cu(0, 0, 6, 1, false, 0, 33);
    s.qp_table.assign(DEBLOCK_QP_BLOCK, 27);
    s.prepare();
    for (int i = 0; i < DEBLOCK_QP_BLOCK; i++) ASSERT_EQ(s.qp_table[i], 27) << "later CTUs keep the block";
}

TEST(DeblockBs, DamagedRunsNeitherSpillNorStall)
{
    ctu_scene s;
    s.begin(256, 256, 1, 1, 1, 4);
    // runs of 0 and of 16 inside 16x16 transform blocks
    for (int k = 0; k < 4; k++) {
        int x = (k & 1) * 32, y = (k >> 1) * 32;
        s.cu(x, y, 5, 0, false, 0, 30);
        s.pu_motion(x, y, 32, 32, k & 1, pack_mv(0, 0), -1, 0);
        for (int j = 0; j < 4; j++) s.tu(x + (j & 1) * 16, y + (j >> 1) * 16, 4, j == 3);
    }
    s.set_run(0, 0, 32, 0);
    s.set_run(32, 0, 32, 16);
    s.prepare();  // returns
    for (int seg = 0; seg < 8; seg++) EXPECT_NE(s.ver(2, seg, 0), -1) << "x = 16 is a transform edge";
    EXPECT_EQ(s.hor(1, 4, 0), -1) << "nothing written off the block edges";
}

}  // namespace
