// The kept transform blocks of the searches: a block is taken back only when
// every input of its quantisation compares equal (prediction, context states,
// the quantiser and its settings, position) and only within the search that
// kept it; what it gives back is what the first coding left.
#include <gtest/gtest.h>

#include <cstring>

#include "analysis/rd/residual_memo.h"
#include "encoder/row_context.h"

namespace {

int fake_rdoq(quant_context *, uint32_t, int16_t *, const int16_t *, int, uint16_t, int, int, int, int)
{
    return 0;
}

int other_rdoq(quant_context *, uint32_t, int16_t *, const int16_t *, int, uint16_t, int, int, int, int)
{
    return 1;
}

struct memo_fixture {
    uint8_t work[32 * CTU_WORK_STRIDE];
    int16_t levels[32 * 32];
    cabac_rate_state rate;
    residual_memo_query q;

    explicit memo_fixture(int log2 = 3)
    {
        for (int i = 0; i < (int)sizeof(work); i++) work[i] = (uint8_t)(i * 7 + 3);
        std::memset(levels, 0, sizeof(levels));
        std::memset(&rate, 0, sizeof(rate));
        for (int i = 0; i < cabac_num_ctx; i++) rate.ctx[i] = (uint8_t)(i & 127);
        rate.rdoq_sig_state[0] = 10;
        rate.rdoq_gt1_state[1] = 20;
        q = residual_memo_query{};
        q.quantiser = fake_rdoq;
        q.lambda = 5000;
        q.round = 171;
        q.plane = 0;
        q.log2 = (uint8_t)log2;
        q.qp = 32;
        q.scan = 0;
        q.rebuild = 1;
        q.x = 8;
        q.y = 16;
        q.pred = work;
        q.levels = levels;
        q.rate = &rate;
    }

    // A miss followed by the coding the memo then records: levels, model
    // bytes moved by the quantiser and the reconstruction over the prediction.
    void code_and_keep(int nz)
    {
        int32_t got = -1;
        ASSERT_EQ(residual_memo_fetch(&q, &got), 0);
        int n = 1 << q.log2;
        for (int i = 0; i < n * n; i++) levels[i] = nz ? (int16_t)(i % 5 - 2) : 0;
        rate.rdoq_sig_state[0] = 11;
        rate.rdoq_gt1_state[1] = 21;
        if (nz && q.rebuild)
            for (int r = 0; r < n; r++)
                for (int c = 0; c < n; c++) work[r * CTU_WORK_STRIDE + c] ^= 0x55;
        residual_memo_keep(&q, nz);
    }

    // Puts the prediction and the states back as they were before the coding
    // and clobbers the outputs.
    void back_to_inputs(bool recon_changed)
    {
        int n = 1 << q.log2;
        if (recon_changed)
            for (int r = 0; r < n; r++)
                for (int c = 0; c < n; c++) work[r * CTU_WORK_STRIDE + c] ^= 0x55;
        rate.rdoq_sig_state[0] = 10;
        rate.rdoq_gt1_state[1] = 20;
        for (int i = 0; i < n * n; i++) levels[i] = 999;
    }

    int32_t fetch()
    {
        int32_t nz = -1;
        return residual_memo_fetch(&q, &nz) ? nz : -1;
    }
};

TEST(ResidualMemo, GivesBackWhatTheFirstCodingLeft)
{
    residual_memo_new_search();
    memo_fixture f;
    f.code_and_keep(1);
    uint8_t recon[8 * 8];
    for (int r = 0; r < 8; r++) std::memcpy(recon + 8 * r, f.work + r * CTU_WORK_STRIDE, 8);
    f.back_to_inputs(true);
    ASSERT_EQ(f.fetch(), 1);
    for (int i = 0; i < 64; i++) EXPECT_EQ(f.levels[i], i % 5 - 2);
    EXPECT_EQ(f.rate.rdoq_sig_state[0], 11);
    EXPECT_EQ(f.rate.rdoq_gt1_state[1], 21);
    for (int r = 0; r < 8; r++) EXPECT_EQ(std::memcmp(recon + 8 * r, f.work + r * CTU_WORK_STRIDE, 8), 0);

    // A block that quantised to nothing comes back as zeros, the prediction
    // untouched.
    memo_fixture g(2);
    g.q.x = 40;
    g.code_and_keep(0);
    g.back_to_inputs(false);
    ASSERT_EQ(g.fetch(), 0);
    for (int i = 0; i < 16; i++) EXPECT_EQ(g.levels[i], 0);
}

TEST(ResidualMemo, AnyDifferentInputMisses)
{
    residual_memo_new_search();
    memo_fixture f;
    f.q.rebuild = 0;   // inter blocks: the levels only
    f.code_and_keep(1);
    f.back_to_inputs(false);
    auto misses = [&](auto change, auto undo) {
        change();
        int32_t nz = -1;
        bool hit = residual_memo_fetch(&f.q, &nz) != 0;
        // The miss took a place: record something there so that the next
        // look-up sees a complete memo.
        if (!hit) residual_memo_keep(&f.q, 0);
        undo();
        // The kept block is still found, and is now the most recently used.
        f.back_to_inputs(false);
        return !hit && f.fetch() == 1;
    };
    EXPECT_TRUE(misses([&] { f.work[3 * CTU_WORK_STRIDE + 5] ^= 1; }, [&] { f.work[3 * CTU_WORK_STRIDE + 5] ^= 1; }));
    EXPECT_TRUE(misses([&] { f.rate.ctx[100] ^= 2; }, [&] { f.rate.ctx[100] ^= 2; }));
    EXPECT_TRUE(misses([&] { f.rate.rdoq_gt1_state[0] = 7; }, [&] { f.rate.rdoq_gt1_state[0] = 0; }));
    EXPECT_TRUE(misses([&] { f.q.lambda++; }, [&] { f.q.lambda--; }));
    EXPECT_TRUE(misses([&] { f.q.qp++; }, [&] { f.q.qp--; }));
    EXPECT_TRUE(misses([&] { f.q.scan = 1; }, [&] { f.q.scan = 0; }));
    EXPECT_TRUE(misses([&] { f.q.low = 4; }, [&] { f.q.low = 0; }));
    EXPECT_TRUE(misses([&] { f.q.quantiser = other_rdoq; }, [&] { f.q.quantiser = fake_rdoq; }));
    EXPECT_TRUE(misses([&] { f.q.x += 8; }, [&] { f.q.x -= 8; }));
    EXPECT_TRUE(misses([&] { f.q.plane = 1; }, [&] { f.q.plane = 0; }));
    // Still there with the inputs as they were.
    f.back_to_inputs(false);
    EXPECT_EQ(f.fetch(), 1);
}

TEST(ResidualMemo, EachSearchStartsWithNone)
{
    residual_memo_new_search();
    memo_fixture f;
    f.code_and_keep(1);
    f.back_to_inputs(true);
    residual_memo_new_search();
    int32_t nz = -1;
    EXPECT_EQ(residual_memo_fetch(&f.q, &nz), 0);
    residual_memo_keep(&f.q, 0);
}

TEST(ResidualMemo, ManyPredictionsAtOnePositionKeepTheLatest)
{
    residual_memo_new_search();
    memo_fixture f;
    for (int k = 0; k < 20; k++) {
        f.work[0] = (uint8_t)k;
        f.code_and_keep(0);
    }
    EXPECT_EQ(f.fetch(), 0);   // prediction 19, kept last
    f.work[0] = 0;
    EXPECT_EQ(f.fetch(), -1);  // given up long ago
    residual_memo_keep(&f.q, 0);
    uint64_t lookups = 0, hits = 0;
    residual_memo_counts(&lookups, &hits);
    EXPECT_GT(lookups, hits);
    EXPECT_GE(hits, 1u);
}

}  // namespace
