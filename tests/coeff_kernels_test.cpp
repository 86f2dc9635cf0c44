// Coefficient counting and the per-group scan summary against a direct
// definition, on the three H.265 scans at every block size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/metrics/metric.h"

namespace {

enum { SCAN_DIAG = 0, SCAN_HOR = 1, SCAN_VER = 2 };

// Positions (x, y) of an n x n grid in the order of the scan kind (H.265
// clauses 6.5.3 to 6.5.5).
std::vector<std::pair<int, int>> grid_order(int n, int kind)
{
    std::vector<std::pair<int, int>> o;
    if (kind == SCAN_DIAG) {
        int x = 0, y = 0;
        while ((int)o.size() < n * n) {
            while (y >= 0) {
                if (x < n && y < n) o.push_back({x, y});
                y--;
                x++;
            }
            y = x;
            x = 0;
        }
    } else {
        for (int a = 0; a < n; a++)
            for (int b = 0; b < n; b++) o.push_back(kind == SCAN_HOR ? std::make_pair(b, a) : std::make_pair(a, b));
    }
    return o;
}

// Full scan of an N x N block: 4x4 groups in the scan order of the group grid,
// positions in each group in the 4x4 order; entries are raster positions y*N + x.
std::vector<uint16_t> block_scan(int n, int kind)
{
    std::vector<uint16_t> s;
    auto groups = grid_order(n / 4, kind);
    auto inner = grid_order(4, kind);
    for (auto g : groups)
        for (auto p : inner) s.push_back((uint16_t)((4 * g.second + p.second) * n + 4 * g.first + p.first));
    return s;
}

struct summary {
    int last = 0;
    std::vector<uint16_t> sign, sig;
    std::vector<uint8_t> count;
};

// Direct definition: groups 0 .. last; sig bit (15 - i) for position i, the last
// group's mask shifted so that its last non-zero level sits in bit 0.
summary ref_summary(const std::vector<uint16_t> &scan, const std::vector<int16_t> &coeff)
{
    summary r;
    int n2 = (int)scan.size();
    for (int i = 0; i < n2; i++)
        if (coeff[scan[i]]) r.last = i;
    int groups = (r.last >> 4) + 1;
    r.sign.assign(groups, 0);
    r.sig.assign(groups, 0);
    r.count.assign(groups, 0);
    for (int g = 0; g < groups; g++) {
        for (int i = 0; i < 16; i++) {
            int v = coeff[scan[16 * g + i]];
            if (!v) continue;
            if (v < 0) r.sign[g] |= (uint16_t)(1u << r.count[g]);
            r.count[g]++;
            r.sig[g] |= (uint16_t)(1u << (15 - i));
        }
    }
    r.sig[groups - 1] >>= 15 - (r.last & 15);
    return r;
}

struct scan_out {
    uint16_t sign[64], sig[64];
    uint8_t count[64];
    int last;
};

scan_out run_scan(const std::vector<uint16_t> &scan, const std::vector<int16_t> &coeff, int n, int kind)
{
    std::vector<uint16_t> group_scan = block_scan(4, kind);
    scan_out o;
    std::memset(&o, 0x77, sizeof o);
    int log2n = n == 4 ? 2 : n == 8 ? 3 : n == 16 ? 4 : 5;
    uint32_t nz = count_nonzero_coeffs_c(coeff.data(), log2n);
    o.last = scan_coeff_groups_c(scan.data(), coeff.data(), o.sign, o.sig, o.count, (int)nz, group_scan.data(), n);
    return o;
}

void expect_matches(const scan_out &o, const summary &r, const char *what)
{
    ASSERT_EQ(o.last, r.last) << what;
    int groups = (int)r.count.size();
    for (int g = 0; g < 64; g++) {
        if (g < groups) {
            ASSERT_EQ(o.count[g], r.count[g]) << what << " group " << g;
            ASSERT_EQ(o.sig[g], r.sig[g]) << what << " group " << g;
            ASSERT_EQ(o.sign[g], r.sign[g]) << what << " group " << g;
        } else {
            ASSERT_EQ(o.count[g], 0) << what << " cleared group " << g;
            ASSERT_EQ(o.sig[g], 0) << what << " cleared group " << g;
            ASSERT_EQ(o.sign[g], 0) << what << " cleared group " << g;
        }
    }
}

TEST(CoeffKernels, ScanTablesOfTheTestFollowTheStandard4x4Orders)
{
    const uint16_t diag[16] = {0, 4, 1, 8, 5, 2, 12, 9, 6, 3, 13, 10, 7, 14, 11, 15};
    EXPECT_EQ(block_scan(4, SCAN_DIAG), std::vector<uint16_t>(diag, diag + 16));
    EXPECT_EQ(block_scan(4, SCAN_VER)[1], 4);
    EXPECT_EQ(block_scan(4, SCAN_HOR)[1], 1);
}

// Levels +2, -1, +1 at diagonal scan positions 0, 3, 5 of a 4x4 block.
TEST(CoeffKernels, WorkedExampleOfOneGroup)
{
    std::vector<uint16_t> scan = block_scan(4, SCAN_DIAG);
    std::vector<int16_t> coeff(16, 0);
    coeff[scan[0]] = 2;
    coeff[scan[3]] = -1;
    coeff[scan[5]] = 1;
    EXPECT_EQ(count_nonzero_coeffs_c(coeff.data(), 2), 3u);
    scan_out o = run_scan(scan, coeff, 4, SCAN_DIAG);
    EXPECT_EQ(o.last, 5);
    EXPECT_EQ(o.count[0], 3);
    EXPECT_EQ(o.sig[0], 0x25);
    EXPECT_EQ(o.sign[0], 2);
}

// The same group followed by a coded group: its mask is then the unshifted 0x9400.
TEST(CoeffKernels, GroupBeforeTheLastKeepsItsFullMask)
{
    std::vector<uint16_t> scan = block_scan(8, SCAN_DIAG);
    std::vector<int16_t> coeff(64, 0);
    coeff[scan[0]] = 2;
    coeff[scan[3]] = -1;
    coeff[scan[5]] = 1;
    coeff[scan[16 + 2]] = -7;
    scan_out o = run_scan(scan, coeff, 8, SCAN_DIAG);
    EXPECT_EQ(o.sig[0], 0x9400);
    EXPECT_EQ(o.sign[0], 2);
    EXPECT_EQ(o.count[0], 3);
    EXPECT_EQ(o.last, 18);
    EXPECT_EQ(o.sig[1], 1);
    EXPECT_EQ(o.sign[1], 1);
}

TEST(CoeffKernels, DcOnlyAndLastPositionBlocks)
{
    for (int n : {4, 8, 16, 32}) {
        std::vector<uint16_t> scan = block_scan(n, SCAN_DIAG);
        std::vector<int16_t> coeff((size_t)n * n, 0);
        coeff[0] = -3;
        scan_out o = run_scan(scan, coeff, n, SCAN_DIAG);
        EXPECT_EQ(o.last, 0);
        EXPECT_EQ(o.count[0], 1);
        EXPECT_EQ(o.sig[0], 1);
        EXPECT_EQ(o.sign[0], 1);
        coeff[0] = 0;
        coeff[scan[n * n - 1]] = 5;
        coeff[scan[n * n - 16]] = 1;
        o = run_scan(scan, coeff, n, SCAN_DIAG);
        EXPECT_EQ(o.last, n * n - 1);
        int g = (n * n - 1) >> 4;
        EXPECT_EQ(o.sig[g], 0x8001);   // no shift: the last position is already bit 0
        EXPECT_EQ(o.count[g], 2);
        for (int k = 0; k < g; k++) EXPECT_EQ(o.count[k], 0) << "empty group " << k;
    }
}

TEST(CoeffKernels, RandomBlocksMatchTheDefinitionForEverySizeAndScan)
{
    std::mt19937 rng(31);
    const int16_t big[] = {127, 128, -128, -129, 255, -32768, 32767, 1, -1};
    for (int n : {4, 8, 16, 32}) {
        int log2n = n == 4 ? 2 : n == 8 ? 3 : n == 16 ? 4 : 5;
        for (int kind : {SCAN_DIAG, SCAN_HOR, SCAN_VER}) {
            std::vector<uint16_t> scan = block_scan(n, kind);
            for (int trial = 0; trial < 60; trial++) {
                std::vector<int16_t> coeff((size_t)n * n, 0);
                int density = 1 + (int)(rng() % 12);
                // Keep the levels in a prefix of the scan sometimes, so the
                // last group falls anywhere in the block.
                int reach = 1 + (int)(rng() % (n * n));
                for (int i = 0; i < reach; i++)
                    if ((int)(rng() % 16) < density)
                        coeff[scan[i]] = rng() % 4 ? (int16_t)((int)(rng() % 21) - 10) : big[rng() % 9];
                coeff[scan[rng() % reach]] = (int16_t)(rng() % 2 ? 3 : -3);   // at least one level
                uint32_t want = (uint32_t)std::count_if(coeff.begin(), coeff.end(), [](int16_t v) { return v != 0; });
                ASSERT_EQ(count_nonzero_coeffs_c(coeff.data(), log2n), want);
                expect_matches(run_scan(scan, coeff, n, kind), ref_summary(scan, coeff), "random");
            }
        }
    }
}

TEST(CoeffKernels, CountOfAnEmptyBlockIsZero)
{
    std::vector<int16_t> coeff(1024, 0);
    for (int log2n = 2; log2n <= 5; log2n++) EXPECT_EQ(count_nonzero_coeffs_c(coeff.data(), log2n), 0u);
}

// A count larger than the block holds must not walk past the block's scan.
TEST(CoeffKernels, OverstatedCountStaysInsideTheBlock)
{
    std::vector<uint16_t> scan = block_scan(4, SCAN_DIAG);
    std::vector<uint16_t> group_scan = block_scan(4, SCAN_DIAG);
    std::vector<int16_t> coeff(16, 0);
    coeff[scan[2]] = 4;
    uint16_t sign[64], sig[64];
    uint8_t count[64];
    int last = scan_coeff_groups_c(scan.data(), coeff.data(), sign, sig, count, 5, group_scan.data(), 4);
    EXPECT_EQ(last, 15);
    EXPECT_EQ(count[0], 1);
}

}   // namespace
