// The SAO decision's bit pricing on the row's coder: each trial must cost what
// the estimator charges for the same syntax the writer sends, and must leave
// the coder (estimate and SAO contexts) exactly as it found it, so that trials
// stay independent and the syntax writer later codes from untouched contexts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "bitstream/cabac_estimate.h"
#include "encoder/encoder_instance.h"

namespace {

struct fixture {
    std::unique_ptr<row_context> inst{new row_context()};
    sao_rate_estimator rate{};

    fixture(int x, int y)
    {
        std::memset(inst.get(), 0, sizeof(row_context));
        cabac_init_contexts(&inst->cabac, 2, 32, 12);
        inst->cabac.rate.est_bits = 12345;
        inst->ctu.x = x;
        inst->ctu.y = y;
        ctu_sao_rate_estimator(inst.get(), &rate);
    }
};

// The estimator's own price of a whole SAO syntax on a copy of the coder.
int32_t reference_price(const cabac_encoder &coder, syntax_ctu_context *s)
{
    cabac_encoder copy = coder;
    uint32_t before = copy.rate.est_bits;
    rate_est_sao_merge(s, &copy);
    return (int32_t)(copy.rate.est_bits - before);
}

sao_param random_record(std::mt19937 *rng, int32_t type)
{
    sao_param p{};
    p.type = type;
    if (type == SAO_TYPE_BAND) {
        p.band_position = (int32_t)((*rng)() % 29);
        for (int k = 0; k < 4; k++) p.offset[k] = (int32_t)((*rng)() % 15) - 7;
    } else if (type != SAO_TYPE_OFF) {
        p.offset[0] = (int32_t)((*rng)() % 8);
        p.offset[1] = (int32_t)((*rng)() % 8);
        p.offset[2] = -(int32_t)((*rng)() % 8);
        p.offset[3] = -(int32_t)((*rng)() % 8);
    }
    return p;
}

TEST(CtuSaoRate, MergeFlagsCostTheWritersFlagsAndLeaveTheCoderUntouched)
{
    for (int pos = 0; pos < 4; pos++) {
        fixture f(pos & 1, pos >> 1);
        const cabac_encoder before = f.inst->cabac;
        for (int merge : {SAO_MERGE_LEFT, SAO_MERGE_UP}) {
            SCOPED_TRACE(testing::Message() << "position " << pos << " merge " << merge);
            syntax_ctu_context s{};
            s.ctu_col = f.inst->ctu.x;
            s.ctu_row = f.inst->ctu.y;
            s.sao_merge = merge;
            s.sao_flags = 3;
            // A merge that cannot be signalled falls back to new parameters
            // in the writer; only signallable merges are priced alone.
            if ((merge == SAO_MERGE_LEFT && s.ctu_col == 0) || (merge == SAO_MERGE_UP && s.ctu_row == 0)) continue;
            EXPECT_EQ(f.rate.merge_flags(f.rate.state, merge), reference_price(f.inst->cabac, &s));
            EXPECT_EQ(0, std::memcmp(&before, &f.inst->cabac, sizeof(before)));
        }
        // No merge: both flags as zeros where they are sent, nothing else.
        int32_t none = f.rate.merge_flags(f.rate.state, SAO_MERGE_NONE);
        int expected_flags = (f.inst->ctu.x > 0) + (f.inst->ctu.y > 0);
        EXPECT_EQ(none > 0, expected_flags > 0);
        EXPECT_EQ(0, std::memcmp(&before, &f.inst->cabac, sizeof(before)));
    }
}

TEST(CtuSaoRate, OffsetsCostTheEstimatorsPriceInOneTrialAndLeaveTheCoderUntouched)
{
    std::mt19937 rng(3);
    fixture f(1, 1);
    const cabac_encoder before = f.inst->cabac;
    for (int i = 0; i < 200; i++) {
        int32_t luma_type = (int32_t)(rng() % 6), chroma_type = (int32_t)(rng() % 6);
        sao_param y = random_record(&rng, luma_type);
        sao_param cb = random_record(&rng, chroma_type), cr = random_record(&rng, chroma_type);
        const sao_param *records[3] = {&y, &cb, &cr};
        for (auto range : {std::make_pair(0, 0), std::make_pair(1, 2), std::make_pair(0, 2)}) {
            cabac_encoder copy = f.inst->cabac;
            for (int p = range.first; p <= range.second; p++) rate_est_sao_offsets(&copy, records[p], p);
            int32_t expected = (int32_t)(copy.rate.est_bits - f.inst->cabac.rate.est_bits);
            EXPECT_EQ(f.rate.offsets(f.rate.state, records, range.first, range.second), expected);
            ASSERT_EQ(0, std::memcmp(&before, &f.inst->cabac, sizeof(before)));
        }
    }
}

}  // namespace
