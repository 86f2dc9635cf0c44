// The intra prediction kernel table: layout, completeness at every flag set,
// the boundary-filter pairs, and identical results whatever the flags.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/intra/intra_pred.h"

namespace {

intra_pred_table make_table(uint32_t flags)
{
    intra_pred_table t;
    memset(&t, 0, sizeof t);
    intra_pred_table_init(flags, &t);
    return t;
}

// DC, mode 10 and mode 26 below 32x32: the only entries whose f = 1 kernel
// differs from the f = 0 one.
bool has_boundary_filter(int mode, int s)
{
    return (mode == 1 || mode == 10 || mode == 26) && s < 3;
}

} // namespace

TEST(IntraTable, LayoutIs284EntriesInModeFilterSizeOrder)
{
    intra_pred_table t;
    EXPECT_EQ(sizeof t, 284 * sizeof(void *));
    const char *base = (const char *)&t;
    for (int s = 0; s < 4; s++)
        EXPECT_EQ((const char *)&t.ref_filter[s] - base, (ptrdiff_t)(s * sizeof(void *)));
    for (int mode = 0; mode < INTRA_MODE_COUNT; mode++)
        for (int f = 0; f < 2; f++)
            for (int s = 0; s < 4; s++)
                ASSERT_EQ((const char *)&t.pred[mode][f][s] - base,
                          (ptrdiff_t)((4 + 8 * mode + 4 * f + s) * sizeof(void *)));
}

TEST(IntraTable, NoEntryIsEmptyAtAnyFlagSet)
{
    for (uint32_t flags = 0; flags < 8; flags++) {
        intra_pred_table t = make_table(flags);
        for (int s = 0; s < 4; s++) EXPECT_NE(t.ref_filter[s], nullptr) << "flags " << flags;
        for (int mode = 0; mode < INTRA_MODE_COUNT; mode++)
            for (int f = 0; f < 2; f++)
                for (int s = 0; s < 4; s++)
                    ASSERT_NE(t.pred[mode][f][s], nullptr) << "flags " << flags << " mode " << mode;
    }
}

TEST(IntraTable, FilterPairsDifferOnlyForDcAndPureDirectionsBelow32x32)
{
    for (uint32_t flags = 0; flags < 8; flags++) {
        intra_pred_table t = make_table(flags);
        for (int mode = 0; mode < INTRA_MODE_COUNT; mode++)
            for (int s = 0; s < 4; s++) {
                if (has_boundary_filter(mode, s))
                    EXPECT_NE(t.pred[mode][0][s], t.pred[mode][1][s]) << "flags " << flags << " mode " << mode << " s " << s;
                else
                    EXPECT_EQ(t.pred[mode][0][s], t.pred[mode][1][s]) << "flags " << flags << " mode " << mode << " s " << s;
            }
    }
}

TEST(IntraTable, EveryFlagSetPredictsAndSmoothsIdentically)
{
    intra_pred_table portable = make_table(0);
    std::mt19937 rng(3);
    std::vector<uint8_t> mem(200);
    uint8_t *ref = mem.data() + 8;
    for (uint32_t flags : {2u, 4u, 6u, 7u}) {
        intra_pred_table t = make_table(flags);
        for (int s = 0; s < 4; s++) {
            int n = 4 << s;
            for (int round = 0; round < 3; round++) {
                for (int i = 0; i < 4 * n + 1; i++) ref[i] = (uint8_t)(round == 0 ? ((rng() & 1) * 255) : rng());
                std::vector<uint8_t> fa(4 * n + 1), fb(4 * n + 1);
                portable.ref_filter[s](ref, fa.data());
                t.ref_filter[s](ref, fb.data());
                ASSERT_EQ(fa, fb) << "flags " << flags << " N " << n;
                for (int mode = 0; mode < INTRA_MODE_COUNT; mode++)
                    for (int f = 0; f < 2; f++) {
                        std::vector<uint8_t> a(128 * 32, 1), b(128 * 32, 1);
                        portable.pred[mode][f][s](a.data(), 128, ref);
                        t.pred[mode][f][s](b.data(), 128, ref);
                        ASSERT_EQ(a, b) << "flags " << flags << " mode " << mode << " f " << f << " N " << n;
                    }
            }
        }
    }
}
