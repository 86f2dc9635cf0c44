// Rate control: record creation, constant-QP frame QPs per type and layer,
// VBV set-up and planning, the frame-end update and the hand-over of state
// between frame instances.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "ratecontrol/lookahead.h"
#include "ratecontrol/ratecontrol.h"

namespace {

// 320x256: 5 x 4 = 20 CTUs.
internal_config rc_config(int32_t rc_mode = RC_MODE_CQP)
{
    internal_config cfg;
    config_defaults(&cfg);
    cfg.width = 320;
    cfg.height = 256;
    cfg.rc_mode = rc_mode;
    cfg.qp = 30;
    cfg.bframes = 7;
    cfg.hierarchy = 2;
    cfg.frame_instances = 3;
    config_auto(&cfg);
    return cfg;
}

// Zeroed picture records stand in for pooled pictures: rate control reads only
// their type, layer, numbers and the arrays it checks for.
struct test_pictures {
    std::unique_ptr<picture> source{new picture()};
    std::unique_ptr<picture> recon{new picture()};
    rc_picture info() const
    {
        rc_picture p = {};
        p.source = source.get();
        p.recon = recon.get();
        p.slice_class = 0;
        return p;
    }
};

struct rc_holder {
    ratecontrol *rc = nullptr;
    ~rc_holder() { ratecontrol_delete(rc); }
};

void set_type(test_pictures *t, uint32_t type, int32_t layer, rc_picture *info)
{
    t->source->picture_type = type;
    t->source->layer = (uint8_t)layer;
    t->recon->picture_type = type;
    t->recon->layer = (uint8_t)layer;
    info->slice_class = type <= PIC_TYPE_I ? 2 : (type == PIC_TYPE_P ? 1 : 0);
}

int32_t start_qp(ratecontrol *rc, const internal_config *cfg, test_pictures *t, uint32_t type, int32_t layer)
{
    rc_picture info = t->info();
    set_type(t, type, layer, &info);
    EXPECT_EQ(ratecontrol_start(rc, cfg, &info), 0);
    return ratecontrol_frame_qp(rc, cfg);
}

TEST(RateControlConstantQp, FrameQpFollowsTypeAndLayer)
{
    internal_config cfg = rc_config();
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    ratecontrol *rc = h.rc;
    // ip_ratio 1.414 and B ratios 1.12, 1.12^2, 1.12^3 of a two-level pyramid.
    EXPECT_EQ(rc->qp_i, 27);
    EXPECT_EQ(rc->qp_p, 30);
    EXPECT_EQ(rc->qp_b[0], 31);
    EXPECT_EQ(rc->qp_b[1], 32);
    EXPECT_EQ(rc->qp_b[2], 33);
    test_pictures t;
    EXPECT_EQ(start_qp(rc, &cfg, &t, PIC_TYPE_IDR, 0), 27);
    EXPECT_EQ(start_qp(rc, &cfg, &t, PIC_TYPE_CRA, 0), 27);
    EXPECT_EQ(start_qp(rc, &cfg, &t, PIC_TYPE_P, 0), 30);
    EXPECT_EQ(start_qp(rc, &cfg, &t, PIC_TYPE_BREF, 1), 31);
    EXPECT_EQ(start_qp(rc, &cfg, &t, PIC_TYPE_BREF, 2), 32);
    EXPECT_EQ(start_qp(rc, &cfg, &t, PIC_TYPE_B, 3), 33);
    EXPECT_EQ(rc->frame_qp, 33);
    EXPECT_FLOAT_EQ(rc->frame_qp_f, 33.0f);
    EXPECT_FLOAT_EQ(t.recon->qp_plan_avg, 33.0f);
    EXPECT_FLOAT_EQ(t.recon->qp_coded_avg, 33.0f);
}

TEST(RateControlConstantQp, TypeConstantsClampToTheQpRange)
{
    internal_config cfg = rc_config();
    cfg.qp = 51;
    cfg.ip_ratio = 0.5f;
    cfg.b_ratio[0] = 1.0e6f;
    rc_holder a;
    ASSERT_EQ(ratecontrol_new(&a.rc, &cfg), 0);
    EXPECT_EQ(a.rc->qp_i, 51);
    EXPECT_EQ(a.rc->qp_b[0], 51);

    cfg = rc_config();
    cfg.qp = 0;
    cfg.ip_ratio = 4.0f;
    cfg.b_ratio[0] = 0.25f;
    rc_holder b;
    ASSERT_EQ(ratecontrol_new(&b.rc, &cfg), 0);
    EXPECT_EQ(b.rc->qp_i, 0);
    EXPECT_EQ(b.rc->qp_b[0], 0);
}

TEST(RateControlConstantQp, RatioWithoutLogarithmGivesNoOffset)
{
    // A ratio of 0 or below has no logarithm; it must not turn into an
    // infinite offset and an undefined QP conversion.
    internal_config cfg = rc_config();
    cfg.ip_ratio = -1.0f;
    cfg.b_ratio[1] = 0.0f;
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    EXPECT_EQ(h.rc->qp_i, 30);
    EXPECT_EQ(h.rc->qp_b[1], 30);
    EXPECT_EQ(h.rc->ip_offset, 0.0);
}

TEST(RateControlConstantQp, ForcedQpAndLimitsApplyToEveryType)
{
    internal_config cfg = rc_config();
    cfg.qp = 40;
    cfg.force_qp = 1;
    cfg.qp_max = 35;
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    test_pictures t;
    EXPECT_EQ(start_qp(h.rc, &cfg, &t, PIC_TYPE_IDR, 0), 35);
    EXPECT_EQ(start_qp(h.rc, &cfg, &t, PIC_TYPE_B, 3), 35);

    cfg = rc_config();
    cfg.qp = 5;
    cfg.qp_min = 10;
    rc_holder low;
    ASSERT_EQ(ratecontrol_new(&low.rc, &cfg), 0);
    EXPECT_EQ(start_qp(low.rc, &cfg, &t, PIC_TYPE_P, 0), 10);
    EXPECT_FLOAT_EQ(low.rc->frame_qp_f, 10.0f);
}

TEST(RateControlConstantQp, PerTypeModeUnderMacroblockTreeTakesConstants)
{
    internal_config cfg = rc_config(RC_MODE_LQP);
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    EXPECT_EQ(h.rc->lqp, 1u);
    EXPECT_EQ(h.rc->one_pass_estimate, 1u);
    test_pictures t;
    EXPECT_EQ(start_qp(h.rc, &cfg, &t, PIC_TYPE_IDR, 0), h.rc->qp_i);
    EXPECT_EQ(start_qp(h.rc, &cfg, &t, PIC_TYPE_BREF, 1), h.rc->qp_b[0]);
}

TEST(RateControlConstantQp, SliceQpRoundsHalfUpWithinLimits)
{
    internal_config cfg = rc_config();
    ratecontrol rc = {};
    rc.frame_qp_f = 25.5f;
    EXPECT_EQ(ratecontrol_frame_qp(&rc, &cfg), 26);
    rc.frame_qp_f = 25.49f;
    EXPECT_EQ(ratecontrol_frame_qp(&rc, &cfg), 25);
    rc.frame_qp_f = 3.0f;
    EXPECT_EQ(ratecontrol_frame_qp(&rc, &cfg), cfg.qp_min);
    cfg.qp_max = 40;
    rc.frame_qp_f = 45.0f;
    EXPECT_EQ(ratecontrol_frame_qp(&rc, &cfg), 40);
}

TEST(RateControlCreate, MissingFrameRateFailsWithNothingAllocated)
{
    internal_config cfg = rc_config();
    cfg.fps_num = 0;
    ratecontrol *rc = reinterpret_cast<ratecontrol *>(0x1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ratecontrol_new(&rc, &cfg), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ratecontrol : fps is not set\n");
    EXPECT_EQ(rc, nullptr);
}

TEST(RateControlCreate, RecordsAreCopiesOfTheFirst)
{
    internal_config cfg = rc_config(RC_MODE_CBR);
    cfg.frame_instances = 4;
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    EXPECT_EQ(h.rc->record_count, 4);
    EXPECT_EQ(h.rc->ctu_count, 20);
    EXPECT_EQ(h.rc->cbr_cost_limit, 1700 * 20);
    for (int32_t i = 1; i < 4; i++) {
        EXPECT_EQ(h.rc[i].record_index, i);
        EXPECT_EQ(h.rc[i].qp_i, h.rc->qp_i);
        // Shared arrays belong to the first record.
        EXPECT_EQ(h.rc[i].cbr_coeff, h.rc->cbr_coeff);
    }
}

TEST(RateControlVbv, BufferSmallerThanOnePictureIsRaised)
{
    internal_config cfg = rc_config();
    cfg.vbv_maxrate = 8000;
    cfg.vbv_bufsize = 100;
    rc_holder h;
    testing::internal::CaptureStderr();
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "VBV buffer size cannot be smaller than one frame, using 320 kbit\n");
    EXPECT_EQ(cfg.vbv_bufsize, 320);
    EXPECT_EQ(h.rc->vbv_frame_bits, 320000);
    EXPECT_EQ(h.rc->vbv_size, 320000);
    // A buffer no larger than one refill starts full.
    EXPECT_FLOAT_EQ(cfg.vbv_init, 1.0f);
    EXPECT_EQ(h.rc->vbv_fill, 320000);
    EXPECT_EQ(h.rc->vbv_small, 1u);
    for (int32_t i = 0; i < h.rc->record_count; i++) EXPECT_NE(h.rc[i].vbv_rows, nullptr);
}

TEST(RateControlVbv, InitialFillAsFractionOrKbit)
{
    internal_config cfg = rc_config();
    cfg.vbv_maxrate = 1000;
    cfg.vbv_bufsize = 1000;
    cfg.vbv_init = 0.9f;
    rc_holder a;
    ASSERT_EQ(ratecontrol_new(&a.rc, &cfg), 0);
    EXPECT_EQ(a.rc->vbv_fill, 900000);
    EXPECT_EQ(a.rc->vbv_small, 0u);

    cfg = rc_config();
    cfg.vbv_maxrate = 1000;
    cfg.vbv_bufsize = 1000;
    cfg.vbv_init = 500.0f;
    rc_holder b;
    ASSERT_EQ(ratecontrol_new(&b.rc, &cfg), 0);
    EXPECT_EQ(b.rc->vbv_fill, 500000);
    EXPECT_FLOAT_EQ(cfg.vbv_init, 0.5f);
}

TEST(RateControlVbv, ConstantQpWithoutCostKeepsTheQpWithinItsRange)
{
    internal_config cfg = rc_config();
    cfg.vbv_maxrate = 1000;
    cfg.vbv_bufsize = 1000;
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    test_pictures t;
    // Nothing costed: frame_satd 0, only the qscale range of the class applies.
    EXPECT_EQ(start_qp(h.rc, &cfg, &t, PIC_TYPE_P, 0), 30);
    EXPECT_EQ(h.rc->frame_satd, 0);
    EXPECT_EQ(h.rc->size_planned, 1u);
    EXPECT_FLOAT_EQ(h.rc->qp_novbv, 30.0f);
}

TEST(RateControlVbv, ExpensivePictureInSmallBufferGetsAHigherQp)
{
    internal_config cfg = rc_config();
    cfg.vbv_maxrate = 100;
    cfg.vbv_bufsize = 4;  // one picture's refill: a small buffer
    cfg.qp = 20;
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    test_pictures t;
    t.source->frame_cost[0][0] = 50000000;
    int32_t qp = start_qp(h.rc, &cfg, &t, PIC_TYPE_IDR, 0);
    EXPECT_EQ(h.rc->frame_satd, 50000000);
    EXPECT_GT(qp, h.rc->qp_i);
    EXPECT_LE(qp, cfg.qp_max);
    // A buffer this small plans one refill for an intra picture.
    EXPECT_EQ(h.rc->frame_size_planned, h.rc->vbv_frame_bits);
}

TEST(RateControlVbv, PlannedFillCountsEarlierPicturesInFlight)
{
    internal_config cfg = rc_config();
    cfg.vbv_maxrate = 1000;
    cfg.vbv_bufsize = 1000;
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    ratecontrol *rc = h.rc;
    test_pictures earlier, later, current;
    rc[0].vbv_fill = 500000;
    for (double &scale : rc[0].plan_scale) scale = 1.0;
    // An anchor coded before the current picture but displayed after it.
    earlier.source->frame_number = 9;
    later.source->frame_number = 3;
    rc[1].pic = earlier.info();
    rc[1].pic.coding_number = 4;
    rc[1].in_flight = 1;
    rc[1].size_planned = 1;
    rc[1].frame_size_planned = 100000;
    rc[0].pic = later.info();
    rc[0].pic.coding_number = 6;
    rc[0].in_flight = 1;
    rc[0].size_planned = 1;
    rc[0].frame_size_planned = 300000;
    rc[2].pic = current.info();
    rc[2].pic.coding_number = 5;
    rc_vbv_plan_fill(&rc[2]);
    // Only the picture coded before 5 counts: 500000 - 100000 + 40000.
    EXPECT_EQ(rc[2].vbv_fill_planned, 440000);
    // Its plan counts as the plans of finished pictures of its kind turned out.
    rc[0].plan_scale[rc_frame_pred_index(&rc[1].pic)] = 1.5;
    rc_vbv_plan_fill(&rc[2]);
    EXPECT_EQ(rc[2].vbv_fill_planned, 390000);
}

TEST(RateControlFrameEnd, SumsBecomeAveragesAndPredictorLearns)
{
    internal_config cfg = rc_config();
    cfg.vbv_maxrate = 1000;
    cfg.vbv_bufsize = 1000;
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    ratecontrol *rc = h.rc;
    test_pictures t;
    start_qp(rc, &cfg, &t, PIC_TYPE_P, 0);
    rc->qp_plan_sum = 600.0f;
    rc->qp_coded_sum = 620.0f;
    rc->frame_satd = 5000;
    // The first P picture replaces the start value: bits x qscale / cost.
    float coeff = (float)(rc_qp_to_qscale(30.0) * 4000.0 / 5000.0);
    int32_t fill = rc->vbv_fill;
    EXPECT_EQ(ratecontrol_end(rc, &cfg, nullptr, 4000), 0);
    EXPECT_FLOAT_EQ(rc->qp_plan_sum, 30.0f);
    EXPECT_FLOAT_EQ(t.recon->qp_plan_avg, 30.0f);
    EXPECT_FLOAT_EQ(t.recon->qp_coded_avg, 31.0f);
    EXPECT_FLOAT_EQ(rc->frame_pred[1].coeff, coeff);
    EXPECT_FLOAT_EQ(rc->frame_pred[1].count, 1.0f);
    EXPECT_FLOAT_EQ(rc->frame_pred[1].offset, 0.0f);
    // What later decisions see of P pictures: the size, qscale and cost.
    EXPECT_DOUBLE_EQ(rc->seen[1].bits, 4000.0);
    EXPECT_DOUBLE_EQ(rc->seen[1].finest_qscale, rc_qp_to_qscale(30.0));
    EXPECT_EQ(rc->vbv_fill, std::min(fill - 4000 + rc->vbv_frame_bits, rc->vbv_size));
    EXPECT_EQ(rc->size_planned, 0u);
    EXPECT_EQ(rc->in_flight, 0u);
}

TEST(RateControlFrameEnd, BufferDrainsAndRefillsWithinItsSize)
{
    ratecontrol rc = {};
    rc.record_count = 1;
    rc.ctu_count = 20;
    rc.vbv_fill = 1000;
    rc.vbv_frame_bits = 3000;
    rc.vbv_size = 10000;
    rc.frame_satd = 5;  // below the CTU count: the predictor stays
    size_predictor before = {0.75f, 1.0f, 0.5f, 0.0f};
    for (int i = 0; i < 4; i++) rc.frame_pred[i] = before;
    rc.pic.slice_class = 1;
    rc_vbv_frame_end(&rc, 5000);
    EXPECT_EQ(rc.vbv_fill, 3000);
    EXPECT_EQ(std::memcmp(&rc.frame_pred[1], &before, sizeof(before)), 0);
    rc.vbv_fill = 9000;
    rc_vbv_frame_end(&rc, 100);
    EXPECT_EQ(rc.vbv_fill, 10000);
}

TEST(RateControlFrameEnd, PredictorIgnoresTinyCostsAndKeepsOffsetNonNegative)
{
    size_predictor p = {0.75f, 1.0f, 0.5f, 0.0f};
    size_predictor same = p;
    rc_update_predictor(&p, 2.0f, 9.0f, 1000.0f, 1.0f);
    EXPECT_EQ(std::memcmp(&p, &same, sizeof(p)), 0);
    rc_update_predictor(&p, 2.0f, 1000.0f, 1000.0f, 0.0f);
    EXPECT_EQ(std::memcmp(&p, &same, sizeof(p)), 0);
    // n = 2 x 1000 / 1000 = 2 clips to 1.5; the offset (2000 - 1500) stays.
    rc_update_predictor(&p, 2.0f, 1000.0f, 1000.0f, 1.0f);
    EXPECT_FLOAT_EQ(p.count, 1.5f);
    EXPECT_FLOAT_EQ(p.coeff, 0.375f + 1.5f);
    EXPECT_FLOAT_EQ(p.offset, 500.0f);
    // n below half the old coefficient: clipped up, offset negative, unclipped n taken.
    size_predictor q = {1.0f, 1.0f, 0.5f, 0.0f};
    rc_update_predictor(&q, 1.0f, 1000.0f, 100.0f, 1.0f);
    EXPECT_FLOAT_EQ(q.coeff, 0.5f + 0.1f);
    EXPECT_FLOAT_EQ(q.offset, 0.0f);
}

TEST(RateControlFrameEnd, AverageBitrateSumsSkipPicturesWithoutRateEquation)
{
    internal_config cfg = rc_config(RC_MODE_ABR);
    cfg.bitrate = 1000;
    rc_holder h;
    ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
    test_pictures t;
    start_qp(h.rc, &cfg, &t, PIC_TYPE_P, 0);
    double before = h.rc->complexity_sum;
    double window = h.rc->wanted_bits_window;
    h.rc->last_rate_eq = 0.0;
    ratecontrol_end(h.rc, &cfg, nullptr, 8000);
    // Both sums only decay (a twentieth per picture); the window adds the picture's share.
    double decay = h.rc->decay;
    EXPECT_LT(decay, 1.0);
    EXPECT_TRUE(std::isfinite(h.rc->complexity_sum));
    EXPECT_DOUBLE_EQ(h.rc->complexity_sum, before * decay);
    EXPECT_DOUBLE_EQ(h.rc->wanted_bits_window, (window + 1000000.0 / 25.0) * decay);
}

// Pictures whose sizes fall as q^-3 (noise that goes to skip) teach the P
// predictor an elasticity near 3, after which it predicts a size at a QP it
// has not seen, and finds the qscale for a size, within a few percent; plain
// content (sizes as 1 / q) keeps the plain slope.
TEST(RateControlFrameSize, PredictorLearnsHowSteeplySizesFall)
{
    for (double slope : {3.0, 1.0}) {
        internal_config cfg = rc_config();
        rc_holder h;
        ASSERT_EQ(ratecontrol_new(&h.rc, &cfg), 0);
        ratecontrol *rc = h.rc;
        test_pictures t;
        set_type(&t, PIC_TYPE_P, 0, &rc->pic);
        rc->pic.source = t.source.get();
        rc->frame_satd = 20000;
        auto truth = [&](double q) { return 2.0e6 * std::pow(q, -slope); };
        // QPs 30 and 36 in turn, as anchors step while the rate settles.
        for (int i = 0; i < 8; i++) {
            double q = rc_qp_to_qscale(i % 2 ? 36.0 : 30.0);
            rc_frame_model_learn(rc, 1, q, 20000.0, truth(q));
        }
        EXPECT_NEAR(rc->frame_model[1].elasticity, slope, 0.1 * slope) << slope;
        double q = rc_qp_to_qscale(26.0);
        EXPECT_NEAR(rc_predict_frame_bits(rc, q) / truth(q), 1.0, 0.05) << slope;
        EXPECT_NEAR(rc_qscale_for_bits(rc, truth(q)) / q, 1.0, 0.02) << slope;
    }
}

TEST(RateControlHandOver, StateFollowsTheCodingOrder)
{
    ratecontrol recs[3] = {};
    recs[0].accum_p_qp = 11.0;
    recs[0].last_non_b_type = 2;
    recs[0].complexity_sum = 5.0;
    recs[1].accum_p_qp = 22.0;
    recs[1].complexity_sum = 6.0;
    recs[1].wanted_bits_window = 7.0;
    recs[2].complexity_sum = 8.0;
    // New picture on 1 after 0; 2 holds the oldest picture in flight.
    ratecontrol_thread_sync(&recs[1], &recs[0], &recs[2]);
    EXPECT_EQ(recs[1].accum_p_qp, 11.0);
    EXPECT_EQ(recs[1].last_non_b_type, 2);
    EXPECT_EQ(recs[1].complexity_sum, 6.0);  // not part of the per-picture state
    EXPECT_EQ(recs[2].complexity_sum, 6.0);
    EXPECT_EQ(recs[2].wanted_bits_window, 7.0);
    EXPECT_EQ(recs[2].accum_p_qp, 0.0);
    // The same record on every side changes nothing.
    ratecontrol copy = recs[1];
    ratecontrol_thread_sync(&recs[1], &recs[1], &recs[1]);
    EXPECT_EQ(std::memcmp(&copy, &recs[1], sizeof(copy)), 0);
}

TEST(RateControlHandOver, ClosingBringsTheLastStateBackToTheFirstRecord)
{
    ratecontrol recs[2] = {};
    recs[1].accum_p_qp = 9.0;
    recs[1].decay = 0.5;
    recs[1].complexity_sum = 3.0;
    ratecontrol_thread_sync(&recs[0], &recs[1], &recs[0]);
    ratecontrol_thread_sync(&recs[1], &recs[1], &recs[0]);
    EXPECT_EQ(recs[0].accum_p_qp, 9.0);
    EXPECT_EQ(recs[0].decay, 0.5);
    EXPECT_EQ(recs[0].complexity_sum, 3.0);
}

TEST(RateControlHandOver, RotationMatchesASingleRecord)
{
    // The decayed QP sum must come out the same whether pictures run on one
    // record or rotate over three with the hand-over between them.
    internal_config one_cfg = rc_config();
    one_cfg.frame_instances = 1;
    internal_config three_cfg = rc_config();
    rc_holder one, three;
    ASSERT_EQ(ratecontrol_new(&one.rc, &one_cfg), 0);
    ASSERT_EQ(ratecontrol_new(&three.rc, &three_cfg), 0);
    const uint32_t types[8] = {PIC_TYPE_IDR, PIC_TYPE_P, PIC_TYPE_BREF, PIC_TYPE_B, PIC_TYPE_B,
                               PIC_TYPE_P, PIC_TYPE_BREF, PIC_TYPE_B};
    const int32_t layers[8] = {0, 0, 1, 3, 3, 0, 1, 3};
    test_pictures t;
    int32_t previous = 0;
    for (int32_t k = 0; k < 8; k++) {
        start_qp(one.rc, &one_cfg, &t, types[k], layers[k]);
        int32_t n = k % 3;
        if (k > 0) ratecontrol_thread_sync(&three.rc[n], &three.rc[previous], &three.rc[(n + 1) % 3]);
        start_qp(&three.rc[n], &three_cfg, &t, types[k], layers[k]);
        previous = n;
    }
    EXPECT_DOUBLE_EQ(three.rc[previous].accum_p_qp, one.rc->accum_p_qp);
    EXPECT_DOUBLE_EQ(three.rc[previous].accum_p_norm, one.rc->accum_p_norm);
    EXPECT_EQ(three.rc[previous].last_non_b_type, one.rc->last_non_b_type);
}

TEST(LookaheadRateCost, CellFollowsTheChosenOrTheNearestReferences)
{
    internal_config cfg = rc_config();
    test_pictures t, r0, r1;
    t.source->poc = 10;
    r0.source->poc = 8;
    r1.source->poc = 12;
    t.source->frame_cost[0][0] = 900;
    t.source->frame_cost[2][0] = 400;
    t.source->frame_cost[2][2] = 300;
    t.source->frame_cost_aq[2][0] = 350;
    t.source->picture_type = PIC_TYPE_IDR;
    EXPECT_EQ(lookahead_rc_cost(&cfg, t.source.get(), t.recon.get(), r0.source.get(), r1.source.get()), 900);
    t.source->picture_type = PIC_TYPE_P;
    EXPECT_EQ(lookahead_rc_cost(&cfg, t.source.get(), t.recon.get(), r0.source.get(), nullptr), 400);
    EXPECT_EQ(t.recon->frame_cost_rc, 400);
    t.source->picture_type = PIC_TYPE_B;
    EXPECT_EQ(lookahead_rc_cost(&cfg, t.source.get(), t.recon.get(), r0.source.get(), r1.source.get()), 300);
    // AQ without the macroblock-tree reads the weighted grid.
    cfg.aq_mode = 1;
    cfg.mbtree = 0;
    t.source->picture_type = PIC_TYPE_P;
    EXPECT_EQ(lookahead_rc_cost(&cfg, t.source.get(), nullptr, r0.source.get(), nullptr), 350);
    // The distances the reference lists chose come first while their cell is
    // computed; a B picture may so read its P cell.
    cfg.aq_mode = 0;
    t.source->picture_type = PIC_TYPE_B;
    t.source->frame_cost[1][0] = 500;
    t.source->ref_distance_past = 1;
    t.source->ref_distance_future = 0;
    EXPECT_EQ(lookahead_rc_cost(&cfg, t.source.get(), nullptr, r0.source.get(), r1.source.get()), 500);
    t.source->frame_cost[1][0] = -1;
    EXPECT_EQ(lookahead_rc_cost(&cfg, t.source.get(), nullptr, r0.source.get(), r1.source.get()), 300);
}

}  // namespace
