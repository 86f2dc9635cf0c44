// Scan orders against the derivation of H.265: the up-right diagonal,
// horizontal and vertical scans of clauses 6.5.3 - 6.5.5, applied to 4x4
// sub-blocks and to the positions inside each as residual coding (7.3.8.11) does.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "encoder/memory.h"
#include "kernels/quant/scan_tables.h"

namespace {

struct pos {
    int x, y;
};

// Clause 6.5.3.
std::vector<pos> upright_diagonal(int blk)
{
    std::vector<pos> out;
    int x = 0, y = 0;
    bool stop = false;
    while (!stop) {
        while (y >= 0) {
            if (x < blk && y < blk) out.push_back({x, y});
            y--;
            x++;
        }
        y = x;
        x = 0;
        if ((int)out.size() >= blk * blk) stop = true;
    }
    return out;
}

// Clauses 6.5.4 and 6.5.5.
std::vector<pos> horizontal(int blk)
{
    std::vector<pos> out;
    for (int y = 0; y < blk; y++)
        for (int x = 0; x < blk; x++) out.push_back({x, y});
    return out;
}

std::vector<pos> vertical(int blk)
{
    std::vector<pos> out;
    for (int x = 0; x < blk; x++)
        for (int y = 0; y < blk; y++) out.push_back({x, y});
    return out;
}

std::vector<pos> scan_of(int kind, int blk)
{
    return kind == 0 ? upright_diagonal(blk) : (kind == 1 ? horizontal(blk) : vertical(blk));
}

// Scan position n of an NxN block: sub-block n >> 4 by the sub-block scan,
// position n & 15 inside it by the 4x4 scan, both of the same kind.
std::vector<uint16_t> standard_order(int kind, int size)
{
    std::vector<pos> sub = scan_of(kind, size / 4), in = scan_of(kind, 4);
    std::vector<uint16_t> out;
    for (int n = 0; n < size * size; n++) {
        int x = sub[n >> 4].x * 4 + in[n & 15].x;
        int y = sub[n >> 4].y * 4 + in[n & 15].y;
        out.push_back((uint16_t)(y * size + x));
    }
    return out;
}

std::vector<uint16_t> built(const scan_tables *t, int log2n, int kind)
{
    const uint16_t *p = scan_order(t, log2n, kind);
    return std::vector<uint16_t>(p, p + (1 << (2 * log2n)));
}

class scan_fixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(scan_tables_init(&tables), 0); }
    void TearDown() override { scan_tables_free(&tables); }
    scan_tables tables{};
};

using ScanFixture = scan_fixture;

TEST_F(ScanFixture, EveryOrderEqualsTheStandardDerivation)
{
    for (int log2n = 2; log2n <= 5; log2n++)
        for (int kind = 0; kind < 3; kind++)
            EXPECT_EQ(built(&tables, log2n, kind), standard_order(kind, 1 << log2n))
                << "size " << (1 << log2n) << " kind " << kind;
}

TEST_F(ScanFixture, KnownOrdersOfSmallBlocks)
{
    EXPECT_EQ(built(&tables, 2, SCAN_DIAGONAL),
              (std::vector<uint16_t>{0, 4, 1, 8, 5, 2, 12, 9, 6, 3, 13, 10, 7, 14, 11, 15}));
    EXPECT_EQ(built(&tables, 2, SCAN_VERTICAL),
              (std::vector<uint16_t>{0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15}));
    std::vector<uint16_t> h4 = built(&tables, 2, SCAN_HORIZONTAL);
    for (int i = 0; i < 16; i++) EXPECT_EQ(h4[i], i);

    std::vector<uint16_t> h8 = built(&tables, 3, SCAN_HORIZONTAL);
    EXPECT_EQ(std::vector<uint16_t>(h8.begin(), h8.begin() + 9),
              (std::vector<uint16_t>{0, 1, 2, 3, 8, 9, 10, 11, 16}));
    EXPECT_EQ(h8[16], 4);  // top-right group second
    EXPECT_EQ(built(&tables, 3, SCAN_VERTICAL)[16], 32);  // bottom-left group second
    std::vector<uint16_t> d8 = built(&tables, 3, SCAN_DIAGONAL);
    EXPECT_EQ(d8[16], 32);
    EXPECT_EQ(d8[32], 4);
    EXPECT_EQ(d8[48], 36);
}

TEST_F(ScanFixture, OrdersArePermutationsMadeOfWholeGroups)
{
    for (int log2n = 2; log2n <= 5; log2n++) {
        int n = 1 << log2n;
        for (int kind = 0; kind < 3; kind++) {
            std::vector<uint16_t> order = built(&tables, log2n, kind);
            std::vector<uint16_t> sorted = order;
            std::sort(sorted.begin(), sorted.end());
            for (int i = 0; i < n * n; i++) ASSERT_EQ(sorted[i], i);
            for (int g = 0; g < n * n / 16; g++) {
                int top_left = order[16 * g];
                ASSERT_EQ(top_left % 4, 0);
                ASSERT_EQ((top_left / n) % 4, 0);
                for (int k = 0; k < 16; k++) {
                    int p = order[16 * g + k];
                    ASSERT_TRUE(p % n >= top_left % n && p % n < top_left % n + 4);
                    ASSERT_TRUE(p / n >= top_left / n && p / n < top_left / n + 4);
                }
            }
        }
    }
}

TEST_F(ScanFixture, OnlySquareEntriesAreBuiltAndArraysAreAligned)
{
    for (int w = 0; w < 4; w++)
        for (int h = 0; h < 4; h++)
            for (int s = 0; s < 3; s++) {
                const uint16_t *p = tables.orders[(w * 4 + h) * 3 + s];
                if (w == h) {
                    EXPECT_NE(p, nullptr);
                    EXPECT_EQ((uintptr_t)p % 32, 0u);
                } else {
                    EXPECT_EQ(p, nullptr);
                }
            }
}

// Clause 7.4.9.11: intra 4x4 and 8x8 blocks scan vertically for modes 6..14
// and horizontally for 22..30; everything else diagonally.
TEST(ScanIdxTable, FollowsTheIntraModeRule)
{
    for (int log2n = 2; log2n <= 5; log2n++)
        for (int mode = 0; mode <= 35; mode++) {
            int want = 0;
            if (log2n <= 3 && mode >= 6 && mode <= 14) want = 2;
            if (log2n <= 3 && mode >= 22 && mode <= 30) want = 1;
            EXPECT_EQ(scan_idx_table[log2n - 2][mode], want) << log2n << " " << mode;
        }
}

int allocations_left;

void *failing_alloc(int32_t size)
{
    if (allocations_left-- <= 0) return nullptr;
    return aligned_malloc(size);
}

// A failure at any of the twelve allocations leaves nothing allocated (the
// leak checker of the sanitizer build sees the rest) and every pointer null.
TEST(ScanTables, AllocationFailureReleasesEverything)
{
    for (int fail_at = 0; fail_at < 12; fail_at++) {
        scan_tables t;
        for (auto &p : t.orders) p = (uint16_t *)&t;  // stale values must not survive
        allocations_left = fail_at;
        EXPECT_EQ(scan_tables_init_with(&t, failing_alloc), -1);
        for (uint16_t *p : t.orders) ASSERT_EQ(p, nullptr);
        scan_tables_free(&t);  // a second release finds nothing
    }
    scan_tables t;
    allocations_left = 12;
    EXPECT_EQ(scan_tables_init_with(&t, failing_alloc), 0);
    scan_tables_free(&t);
    for (uint16_t *p : t.orders) EXPECT_EQ(p, nullptr);
}

}  // namespace
