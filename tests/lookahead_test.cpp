// Lookahead: picture types, coding order, timestamps, POC and B-pyramid
// levels as an encode loop sees them, scene cuts and queue ownership.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "encoder/config.h"
#include "encoder/picture.h"
#include "encoder/picture_list.h"
#include "encoder/source_picture.h"
#include "kernels/mc/lowres_planes.h"
#include "ratecontrol/lookahead.h"

namespace {

// What the encoder learns of one picture it takes for coding.
struct coded_picture {
    int32_t frame_number;
    uint32_t type;
    int32_t layer;
    int32_t p_layer;
    int32_t poc;
    int64_t dts;
    int32_t nal_type;
};

enum { NAL_TRAIL_N = 0, NAL_TRAIL_R = 1, NAL_RASL_N = 8, NAL_RASL_R = 9, NAL_IDR_W_RADL = 19, NAL_CRA = 21 };

internal_config base_config()
{
    internal_config cfg;
    config_defaults(&cfg);
    cfg.width = 64;
    cfg.height = 64;
    cfg.idr_period = 250;
    cfg.min_idr = 24;
    cfg.open_gop = 0;
    cfg.scenecut = 0;
    cfg.bframes = 3;
    cfg.hierarchy = 1;
    cfg.lookahead = 3;
    cfg.mbtree = 0;
    cfg.rc_mode = RC_MODE_CQP;
    cfg.aq_mode = 0;
    cfg.complexity = 5;
    cfg.latency_mode = LATENCY_NONE;
    cfg.frame_instances = 5;
    return cfg;
}

// Texture of one scene: a hash of position and scene, so that two scenes do
// not predict each other and a static scene predicts itself perfectly.
uint8_t scene_sample(int32_t scene, int32_t x, int32_t y)
{
    uint32_t h = (uint32_t)x * 73856093u ^ (uint32_t)y * 19349663u ^ (uint32_t)(scene + 1) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return (uint8_t)(h & 0xFF);
}

// Drives the lookahead the way the encode calls do.
class encode_loop {
  public:
    explicit encode_loop(const internal_config &cfg) : cfg_(cfg)
    {
        delay_ = std::max(cfg_.bframes, cfg_.lookahead);
        picture_geometry g = {};
        g.width = cfg_.width;
        g.height = cfg_.height;
        g.ctu_cols = (g.width + 63) / 64;
        g.ctu_rows = (g.height + 63) / 64;
        g.bframes = cfg_.bframes;
        g.aq = 1;
        g.motion_l1 = cfg_.bframes > 0;
        int32_t capacity = delay_ + cfg_.frame_instances + 4;
        EXPECT_EQ(picture_pools_init(&pools_, &g, capacity, 4, nullptr), 0);
        coding_queue_ = picture_list_create(delay_ + cfg_.frame_instances + 3);
        lookahead_links links = {&cfg_, &pools_, coding_queue_, delay_, nullptr, nullptr, nullptr, nullptr, nullptr};
        EXPECT_EQ(lookahead_init(&la_, &links, delay_ + 3), 0);
    }
    ~encode_loop()
    {
        lookahead_delete(la_);
        picture_list_destroy(coding_queue_);
        picture_pools_destroy(&pools_);
    }

    // One encode call with a picture of the given scene (or, with scene -1, a
    // draining call). Returns true when a picture was taken for coding.
    bool call(int32_t scene)
    {
        if (scene >= 0) {
            put_picture(scene);
            if (received_ <= delay_) return false;
        }
        if (coding_queue_->count == 0) {
            EXPECT_EQ(lookahead_get_frames(la_), 0);
        }
        if (coding_queue_->count == 0 && lookahead_pending_count(la_) == 0) return false;
        if (coding_queue_->count == 0) return false;
        take_picture();
        return true;
    }

    void run(const std::vector<int32_t> &scenes)
    {
        for (int32_t s : scenes) call(s);
        drain();
    }
    void run_static(int32_t count)
    {
        run(std::vector<int32_t>((size_t)count, 0));
    }
    void drain()
    {
        for (int guard = 0; guard < 1000 && pending() > 0; guard++) call(-1);
    }
    int32_t pending()
    {
        return lookahead_pending_count(la_) + coding_queue_->count;
    }

    std::vector<coded_picture> coded;
    lookahead *la_ = nullptr;
    picture_list *coding_queue_ = nullptr;
    int32_t received_ = 0;
    int32_t delay_ = 0;

  private:
    void put_picture(int32_t scene)
    {
        uint32_t forced_type = (uint32_t)(received_ % 7);
        picture *pic = picture_get(&pools_, PICTURE_POOL_SOURCE);
        ASSERT_NE(pic, nullptr);
        for (int32_t y = 0; y < cfg_.height; y++)
            for (int32_t x = 0; x < cfg_.width; x++)
                pic->planes[0][(int64_t)y * pic->strides[0] + x] = scene_sample(scene, x, y);
        // A type left from the pool or asked for by the caller has no effect.
        pic->picture_type = forced_type;
        pic->frame_number = received_++;
        pic->pts = 1000 + pic->frame_number;
        lowres_build_params params = {cfg_.width, cfg_.height, 0, cfg_.bframes, build_lowres_planes_c,
                                      downscale_2x2_plane_c, nullptr};
        picture_lowres_build(&params, pic, 1);
        for (int32_t i = 0; i < 16 * g_blocks(); i++)
            if (pic->mbtree_qp_offset) pic->mbtree_qp_offset[i] = 1.0f;
        EXPECT_EQ(lookahead_put_frame(la_, pic), 0);
    }
    int32_t g_blocks()
    {
        return ((cfg_.width + 63) / 64) * ((cfg_.height + 63) / 64);
    }

    // The NAL unit type and POC rules of the encode call.
    void take_picture()
    {
        picture *pic = (picture *)picture_list_pop_first(coding_queue_);
        coded_picture c;
        c.frame_number = pic->frame_number;
        c.type = pic->picture_type;
        c.layer = pic->layer;
        c.p_layer = pic->p_layer;
        c.dts = pic->dts;
        c.poc = cfg_.open_gop ? pic->frame_number : pic->frame_number - std::max(la_->last_keyframe, 0);
        if (c.type == PIC_TYPE_IDR || c.type == PIC_TYPE_CRA) irap_count_ = pic->ra_period;
        bool reference = c.type != PIC_TYPE_B && cfg_.idr_period > 1;
        if (c.type == PIC_TYPE_IDR)
            c.nal_type = NAL_IDR_W_RADL;
        else if (c.type == PIC_TYPE_CRA)
            c.nal_type = NAL_CRA;
        else if (pic->ra_period < irap_count_)
            c.nal_type = reference ? NAL_RASL_R : NAL_RASL_N;
        else
            c.nal_type = reference ? NAL_TRAIL_R : NAL_TRAIL_N;
        coded.push_back(c);
        picture_release(&pools_, pic);
    }

    internal_config cfg_;
    picture_pools pools_ = {};
    int32_t irap_count_ = -1;
};

std::vector<int32_t> coding_order(const std::vector<coded_picture> &coded)
{
    std::vector<int32_t> order;
    for (const coded_picture &c : coded) order.push_back(c.frame_number);
    return order;
}

const coded_picture &find(const std::vector<coded_picture> &coded, int32_t frame_number)
{
    for (const coded_picture &c : coded)
        if (c.frame_number == frame_number) return c;
    static coded_picture none = {-1, 0, -1, -1, -1, -1, -1};
    ADD_FAILURE() << "picture " << frame_number << " was never coded";
    return none;
}

// Each mini-GOP covers consecutive display numbers, so coding position k
// carries the k-th timestamp.
void expect_dts_in_coding_order(const std::vector<coded_picture> &coded)
{
    for (size_t k = 0; k < coded.size(); k++) EXPECT_EQ(coded[k].dts, 1000 + (int64_t)k) << "coding position " << k;
}

TEST(LookaheadGop, ClosedGopIdrTenWithThreeBFrames)
{
    internal_config cfg = base_config();
    cfg.idr_period = 10;
    encode_loop loop(cfg);
    loop.run_static(21);
    const std::vector<int32_t> expected = {0, 4, 2, 1, 3, 8, 6, 5, 7, 9, 10, 14, 12, 11, 13, 18, 16, 15, 17, 20, 19};
    EXPECT_EQ(coding_order(loop.coded), expected);
    const auto &c = loop.coded;
    EXPECT_EQ(find(c, 0).type, (uint32_t)PIC_TYPE_IDR);
    EXPECT_EQ(find(c, 4).type, (uint32_t)PIC_TYPE_P);
    EXPECT_EQ(find(c, 2).type, (uint32_t)PIC_TYPE_BREF);
    EXPECT_EQ(find(c, 2).layer, 1);
    EXPECT_EQ(find(c, 1).type, (uint32_t)PIC_TYPE_B);
    EXPECT_EQ(find(c, 1).layer, 2);
    // g = 9 is a P whatever the run length; g = 10 an IDR alone.
    EXPECT_EQ(find(c, 9).type, (uint32_t)PIC_TYPE_P);
    EXPECT_EQ(find(c, 10).type, (uint32_t)PIC_TYPE_IDR);
    EXPECT_EQ(find(c, 10).nal_type, NAL_IDR_W_RADL);
    // The end of the stream: the last window's last picture closes the run as a P,
    // and no periodic keyframe is placed on it.
    EXPECT_EQ(find(c, 20).type, (uint32_t)PIC_TYPE_P);
    EXPECT_EQ(find(c, 19).type, (uint32_t)PIC_TYPE_B);
    // POC restarts at every IDR in a closed GOP.
    EXPECT_EQ(find(c, 7).poc, 7);
    EXPECT_EQ(find(c, 10).poc, 0);
    EXPECT_EQ(find(c, 14).poc, 4);
    EXPECT_EQ(find(c, 20).poc, 10);
    EXPECT_EQ(find(c, 1).nal_type, NAL_TRAIL_N);
    EXPECT_EQ(find(c, 2).nal_type, NAL_TRAIL_R);
    expect_dts_in_coding_order(c);
}

TEST(LookaheadGop, ClosedGopEndOfStreamShortRunEndsInP)
{
    internal_config cfg = base_config();
    cfg.idr_period = 10;
    encode_loop loop(cfg);
    loop.run_static(21);
    // Display 19 and 20 remain at the end: 20 closes the run, 19 is a B.
    EXPECT_EQ(find(loop.coded, 20).type, (uint32_t)PIC_TYPE_P);
    EXPECT_EQ(find(loop.coded, 20).layer, 0);
    EXPECT_EQ(find(loop.coded, 18).type, (uint32_t)PIC_TYPE_P);
}

TEST(LookaheadGop, OpenGopCraClosesRunAndLeadingPicturesAreRasl)
{
    internal_config cfg = base_config();
    cfg.idr_period = 10;
    cfg.open_gop = 1;
    encode_loop loop(cfg);
    loop.run_static(21);
    const std::vector<int32_t> expected = {0, 4, 2, 1, 3, 8, 6, 5, 7, 10, 9, 14, 12, 11, 13, 18, 16, 15, 17, 20, 19};
    EXPECT_EQ(coding_order(loop.coded), expected);
    const auto &c = loop.coded;
    EXPECT_EQ(find(c, 0).type, (uint32_t)PIC_TYPE_CRA);
    EXPECT_EQ(find(c, 0).nal_type, NAL_CRA);
    EXPECT_EQ(find(c, 10).type, (uint32_t)PIC_TYPE_CRA);
    EXPECT_EQ(find(c, 9).type, (uint32_t)PIC_TYPE_B);
    EXPECT_EQ(find(c, 9).nal_type, NAL_RASL_N);
    EXPECT_EQ(find(c, 8).nal_type, NAL_TRAIL_R);
    // No IDR anywhere; POC is the display number.
    for (const coded_picture &p : c) {
        EXPECT_NE(p.type, (uint32_t)PIC_TYPE_IDR);
        EXPECT_EQ(p.poc, p.frame_number);
    }
    expect_dts_in_coding_order(c);
}

// Full runs of seven B pictures under each hierarchy.
struct pyramid_case {
    int32_t hierarchy;
    std::vector<int32_t> order;           // second mini-GOP, display numbers 1..8
    std::vector<int32_t> reference_b;     // display numbers of reference B pictures
    std::vector<int32_t> layers;          // layer of display numbers 1..7
};

class LookaheadPyramid : public ::testing::TestWithParam<pyramid_case> {};

TEST_P(LookaheadPyramid, FullRunOfSevenFollowsPyramidOrder)
{
    const pyramid_case &pc = GetParam();
    internal_config cfg = base_config();
    cfg.bframes = 7;
    cfg.hierarchy = pc.hierarchy;
    cfg.lookahead = 7;
    encode_loop loop(cfg);
    loop.run_static(17);
    std::vector<int32_t> order = coding_order(loop.coded);
    ASSERT_GE(order.size(), 9u);
    EXPECT_EQ(std::vector<int32_t>(order.begin() + 1, order.begin() + 9), pc.order);
    for (int32_t fn = 1; fn <= 7; fn++) {
        const coded_picture &c = find(loop.coded, fn);
        bool ref = std::find(pc.reference_b.begin(), pc.reference_b.end(), fn) != pc.reference_b.end();
        EXPECT_EQ(c.type, (uint32_t)(ref ? PIC_TYPE_BREF : PIC_TYPE_B)) << "display " << fn;
        EXPECT_EQ(c.layer, pc.layers[(size_t)fn - 1]) << "display " << fn;
    }
    EXPECT_EQ(find(loop.coded, 8).type, (uint32_t)PIC_TYPE_P);
    EXPECT_EQ(find(loop.coded, 8).layer, 0);
    expect_dts_in_coding_order(loop.coded);
}

INSTANTIATE_TEST_SUITE_P(
    Hierarchies, LookaheadPyramid,
    ::testing::Values(pyramid_case{0, {8, 1, 2, 3, 4, 5, 6, 7}, {}, {1, 1, 1, 1, 1, 1, 1}},
                      pyramid_case{1, {8, 4, 1, 2, 3, 5, 6, 7}, {4}, {2, 2, 2, 1, 2, 2, 2}},
                      pyramid_case{2, {8, 4, 2, 1, 3, 6, 5, 7}, {4, 2, 6}, {3, 2, 3, 1, 3, 2, 3}}));

// Shorter runs under hierarchy 2: run of nb B pictures then the anchor.
struct short_run_case {
    int32_t bframes;
    std::vector<int32_t> order;        // display positions 0..nb (run 0..nb-1, anchor nb)
    std::vector<int32_t> reference_b;  // run positions
};

class LookaheadShortRuns : public ::testing::TestWithParam<short_run_case> {};

TEST_P(LookaheadShortRuns, HierarchyTwoOrderAndReferences)
{
    const short_run_case &sc = GetParam();
    internal_config cfg = base_config();
    cfg.bframes = sc.bframes;
    cfg.hierarchy = 2;
    cfg.lookahead = sc.bframes;
    encode_loop loop(cfg);
    loop.run_static(2 * (sc.bframes + 1) + 1);
    std::vector<int32_t> order = coding_order(loop.coded);
    int32_t nb = sc.bframes;
    ASSERT_GE(order.size(), (size_t)nb + 2);
    // The second mini-GOP starts at display number 1: position p is display p + 1.
    for (int32_t k = 0; k <= nb; k++) EXPECT_EQ(order[(size_t)k + 1], sc.order[(size_t)k] + 1) << "coding position " << k;
    for (int32_t p = 0; p < nb; p++) {
        bool ref = std::find(sc.reference_b.begin(), sc.reference_b.end(), p) != sc.reference_b.end();
        EXPECT_EQ(find(loop.coded, p + 1).type, (uint32_t)(ref ? PIC_TYPE_BREF : PIC_TYPE_B)) << "run position " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, LookaheadShortRuns,
                         ::testing::Values(short_run_case{4, {4, 1, 0, 2, 3}, {1, 0, 2}},
                                           short_run_case{5, {5, 2, 0, 1, 3, 4}, {2, 0, 3}},
                                           short_run_case{6, {6, 2, 0, 1, 4, 3, 5}, {2, 0, 4}},
                                           short_run_case{8, {8, 3, 1, 0, 2, 5, 4, 6, 7}, {3, 1, 5}}));

TEST(LookaheadGop, HierarchyTwoRunsCutShortKeepOnlyTheMiddleReference)
{
    // Closed GOP with idr 12: display 9, 10 form a run of two before the forced P 11.
    internal_config cfg = base_config();
    cfg.bframes = 7;
    cfg.hierarchy = 2;
    cfg.lookahead = 7;
    cfg.idr_period = 12;
    encode_loop loop(cfg);
    loop.run_static(30);
    std::vector<int32_t> order = coding_order(loop.coded);
    const std::vector<int32_t> start = {0, 8, 4, 2, 1, 3, 6, 5, 7, 11, 9, 10, 12};
    ASSERT_GE(order.size(), start.size());
    EXPECT_EQ(std::vector<int32_t>(order.begin(), order.begin() + (long)start.size()), start);
    EXPECT_EQ(find(loop.coded, 9).type, (uint32_t)PIC_TYPE_BREF);
    EXPECT_EQ(find(loop.coded, 9).layer, 1);
    EXPECT_EQ(find(loop.coded, 10).type, (uint32_t)PIC_TYPE_B);
    EXPECT_EQ(find(loop.coded, 10).layer, 3);
    EXPECT_EQ(find(loop.coded, 12).type, (uint32_t)PIC_TYPE_IDR);
}

TEST(LookaheadGop, SingleBPictureRunIsNonReferenceUnderAnyHierarchy)
{
    for (int32_t h = 0; h <= 1; h++) {
        internal_config cfg = base_config();
        cfg.bframes = 1;
        cfg.hierarchy = h;
        cfg.lookahead = 1;
        encode_loop loop(cfg);
        loop.run_static(7);
        const std::vector<int32_t> expected = {0, 2, 1, 4, 3, 6, 5};
        EXPECT_EQ(coding_order(loop.coded), expected) << "hierarchy " << h;
        for (int32_t fn : {1, 3, 5}) EXPECT_EQ(find(loop.coded, fn).type, (uint32_t)PIC_TYPE_B);
    }
}

TEST(LookaheadGop, ZeroLatencyPLayersCycleAfterEachKeyframe)
{
    internal_config cfg = base_config();
    cfg.bframes = 0;
    cfg.hierarchy = 0;
    cfg.latency_mode = LATENCY_ZERO;
    cfg.lookahead = 2;
    cfg.idr_period = 12;
    encode_loop loop(cfg);
    loop.run_static(24);
    std::vector<int32_t> order = coding_order(loop.coded);
    for (size_t k = 0; k < order.size(); k++) EXPECT_EQ(order[k], (int32_t)k);
    const int32_t cycle[8] = {2, 1, 2, 0, 2, 1, 2, 0};
    for (int32_t key : {0, 12}) {
        EXPECT_EQ(find(loop.coded, key).type, (uint32_t)PIC_TYPE_IDR);
        for (int32_t k = 1; k <= 8; k++) {
            EXPECT_EQ(find(loop.coded, key + k).type, (uint32_t)PIC_TYPE_P);
            EXPECT_EQ(find(loop.coded, key + k).p_layer, cycle[k - 1]) << "keyframe " << key << " + " << k;
        }
    }
}

TEST(LookaheadGop, LowDelayKeepsTheOrdinaryRules)
{
    internal_config cfg = base_config();
    cfg.latency_mode = LATENCY_LOW_DELAY;
    cfg.bframes = 2;
    cfg.hierarchy = 1;
    cfg.lookahead = 2 * 2 + 2;
    encode_loop loop(cfg);
    loop.run_static(13);
    const std::vector<int32_t> expected = {0, 3, 1, 2, 6, 4, 5, 9, 7, 8, 12, 10, 11};
    EXPECT_EQ(coding_order(loop.coded), expected);
    EXPECT_EQ(find(loop.coded, 1).type, (uint32_t)PIC_TYPE_BREF);
    EXPECT_EQ(find(loop.coded, 1).layer, 1);
    EXPECT_EQ(find(loop.coded, 2).type, (uint32_t)PIC_TYPE_B);
    EXPECT_EQ(find(loop.coded, 2).layer, 2);
    for (int32_t fn : {3, 6, 9, 12}) EXPECT_EQ(find(loop.coded, fn).p_layer, 0);
    expect_dts_in_coding_order(loop.coded);
}

TEST(LookaheadGop, ZeroDelayDecidesEachPictureInItsOwnCall)
{
    internal_config cfg = base_config();
    cfg.bframes = 0;
    cfg.hierarchy = 0;
    cfg.lookahead = 0;
    encode_loop loop(cfg);
    for (int32_t k = 0; k < 6; k++) {
        EXPECT_TRUE(loop.call(0)) << "call " << k;
        ASSERT_EQ(loop.coded.size(), (size_t)k + 1);
        EXPECT_EQ(loop.coded.back().frame_number, k);
        EXPECT_EQ(loop.coded.back().type, (uint32_t)(k == 0 ? PIC_TYPE_IDR : PIC_TYPE_P));
    }
    EXPECT_EQ(loop.pending(), 0);
}

TEST(LookaheadGop, IdrPeriodOneMakesEveryPictureAnIdr)
{
    internal_config cfg = base_config();
    cfg.idr_period = 1;
    cfg.bframes = 0;
    cfg.hierarchy = 0;
    cfg.lookahead = 1;
    encode_loop loop(cfg);
    loop.run_static(6);
    ASSERT_EQ(loop.coded.size(), 6u);
    for (const coded_picture &c : loop.coded) {
        EXPECT_EQ(c.type, (uint32_t)PIC_TYPE_IDR);
        EXPECT_EQ(c.poc, 0);
    }
}

TEST(LookaheadQueues, EmptyStreamIsEmptyAtFirstDrain)
{
    encode_loop loop(base_config());
    EXPECT_FALSE(loop.call(-1));
    EXPECT_EQ(lookahead_pending_count(loop.la_), 0);
    EXPECT_TRUE(loop.coded.empty());
}

TEST(LookaheadQueues, SinglePictureIsDecidedAtFirstDrainAsKeyframe)
{
    encode_loop loop(base_config());
    EXPECT_FALSE(loop.call(0));
    EXPECT_EQ(loop.pending(), 1);
    EXPECT_TRUE(loop.call(-1));
    ASSERT_EQ(loop.coded.size(), 1u);
    EXPECT_EQ(loop.coded[0].type, (uint32_t)PIC_TYPE_IDR);
    EXPECT_EQ(loop.coded[0].dts, 1000);
    EXPECT_EQ(loop.pending(), 0);
    EXPECT_EQ(lookahead_pending_count(loop.la_), 0);
}

TEST(LookaheadQueues, FirstDecisionInCallBringingPictureDelayPlusOne)
{
    internal_config cfg = base_config();
    encode_loop loop(cfg);
    for (int32_t k = 0; k < loop.delay_; k++) EXPECT_FALSE(loop.call(0));
    EXPECT_TRUE(loop.call(0));
    ASSERT_EQ(loop.coded.size(), 1u);
    EXPECT_EQ(loop.coded[0].frame_number, 0);
    // Only the keyframe was decided; the held anchor is that picture.
    EXPECT_EQ(loop.la_->held_anchor->frame_number, 0);
    EXPECT_EQ(loop.la_->output_queue->count, 0);
    for (int32_t i = 0; i < loop.la_->input_queue->count; i++)
        EXPECT_EQ(((picture *)loop.la_->input_queue->entries[i])->picture_type, 0u);
    loop.drain();
    EXPECT_EQ(loop.coded.size(), (size_t)loop.delay_ + 1);
}

TEST(LookaheadQueues, AfterEachDecisionHeldAnchorLeadsCodingQueue)
{
    encode_loop loop(base_config());
    int32_t decisions = 0;
    for (int32_t k = 0; k < 40; k++) {
        loop.call(0);
        if (loop.coding_queue_->count != 0) continue;
        // Decide here, before the next call takes the anchor; the loop's
        // destructor frees what stays queued.
        EXPECT_EQ(lookahead_get_frames(loop.la_), 0);
        ASSERT_GT(loop.coding_queue_->count, 0);
        EXPECT_EQ(loop.la_->held_anchor, loop.coding_queue_->entries[0]);
        EXPECT_EQ(loop.la_->held_anchor->reference_count, 2u);
        EXPECT_EQ(loop.la_->output_queue->count, 0);
        for (int32_t i = 0; i < loop.la_->input_queue->count; i++)
            EXPECT_EQ(((picture *)loop.la_->input_queue->entries[i])->picture_type, 0u);
        decisions++;
    }
    EXPECT_GT(decisions, 5);
}

TEST(LookaheadQueues, DeletingWithUndecidedPicturesFreesThem)
{
    // Run under the address sanitizer: nothing may leak.
    internal_config cfg = base_config();
    encode_loop loop(cfg);
    for (int32_t k = 0; k < 7; k++) loop.call(0);
    EXPECT_GT(loop.la_->input_queue->count, 0);
}

TEST(LookaheadQueues, MacroblockTreeProvisionalTypesDoNotChangeDecisions)
{
    internal_config plain = base_config();
    plain.idr_period = 10;
    internal_config tree = plain;
    tree.mbtree = 1;
    tree.aq_mode = 1;
    tree.aq_strength = 0.0f;
    encode_loop a(plain), b(tree);
    a.run_static(23);
    b.run_static(23);
    ASSERT_EQ(a.coded.size(), b.coded.size());
    for (size_t k = 0; k < a.coded.size(); k++) {
        EXPECT_EQ(a.coded[k].frame_number, b.coded[k].frame_number);
        EXPECT_EQ(a.coded[k].type, b.coded[k].type);
        EXPECT_EQ(a.coded[k].layer, b.coded[k].layer);
    }
}

// Scene cuts: scenes are switched by the scene number of each picture.
std::vector<int32_t> scenes_with_cut(int32_t count, int32_t cut)
{
    std::vector<int32_t> s((size_t)count, 0);
    for (int32_t i = cut; i < count; i++) s[(size_t)i] = 1;
    return s;
}

internal_config scenecut_config(int32_t complexity, int32_t open_gop)
{
    internal_config cfg = base_config();
    cfg.scenecut = 40;
    cfg.complexity = complexity;
    cfg.open_gop = open_gop;
    return cfg;
}

TEST(LookaheadSceneCut, ClosedGopCutMakesPictureBeforeItPAndCutAnIdrAlone)
{
    for (int32_t complexity : {0, 5}) {
        encode_loop loop(scenecut_config(complexity, 0));
        loop.run(scenes_with_cut(24, 14));
        const std::vector<int32_t> expected = {0, 4, 2, 1, 3, 8, 6, 5, 7, 12, 10, 9, 11, 13, 14, 18, 16, 15, 17, 22, 20, 19, 21, 23};
        EXPECT_EQ(coding_order(loop.coded), expected) << "complexity " << complexity;
        EXPECT_EQ(find(loop.coded, 13).type, (uint32_t)PIC_TYPE_P);
        EXPECT_EQ(find(loop.coded, 14).type, (uint32_t)PIC_TYPE_IDR);
        EXPECT_EQ(find(loop.coded, 14).poc, 0);
        int32_t keyframes = 0;
        for (const coded_picture &c : loop.coded) keyframes += c.type == PIC_TYPE_IDR;
        EXPECT_EQ(keyframes, 2);
    }
}

TEST(LookaheadSceneCut, OpenGopCutBecomesCraClosingTheRun)
{
    encode_loop loop(scenecut_config(5, 1));
    loop.run(scenes_with_cut(24, 14));
    EXPECT_EQ(find(loop.coded, 14).type, (uint32_t)PIC_TYPE_CRA);
    EXPECT_EQ(find(loop.coded, 13).type, (uint32_t)PIC_TYPE_B);
    EXPECT_EQ(find(loop.coded, 13).nal_type, NAL_RASL_N);
    std::vector<int32_t> order = coding_order(loop.coded);
    auto cra = std::find(order.begin(), order.end(), 14);
    ASSERT_NE(cra, order.end());
    EXPECT_EQ(*(cra + 1), 13);
}

TEST(LookaheadSceneCut, ShortFlashIsNotACut)
{
    encode_loop loop(scenecut_config(5, 0));
    std::vector<int32_t> scenes(24, 0);
    scenes[14] = 7;  // one picture of another scene, then the first scene again
    loop.run(scenes);
    for (const coded_picture &c : loop.coded)
        EXPECT_TRUE(c.frame_number == 0 || c.type != PIC_TYPE_IDR) << "display " << c.frame_number;
    EXPECT_EQ(loop.coded.size(), 24u);
}

TEST(LookaheadSceneCut, ScenecutZeroPlacesKeyframesOnlyAtThePeriod)
{
    internal_config cfg = scenecut_config(5, 0);
    cfg.scenecut = 0;
    encode_loop loop(cfg);
    loop.run(scenes_with_cut(24, 14));
    for (const coded_picture &c : loop.coded)
        EXPECT_TRUE(c.frame_number == 0 || c.type != PIC_TYPE_IDR) << "display " << c.frame_number;
    EXPECT_EQ(loop.coded.size(), 24u);
}

TEST(LookaheadSceneCut, WithoutBFramesCutIsTestedAtPositionOne)
{
    internal_config cfg = scenecut_config(5, 0);
    cfg.bframes = 0;
    cfg.hierarchy = 0;
    encode_loop loop(cfg);
    loop.run(scenes_with_cut(12, 6));
    for (const coded_picture &c : loop.coded)
        EXPECT_EQ(c.type, (uint32_t)(c.frame_number == 0 || c.frame_number == 6 ? PIC_TYPE_IDR : PIC_TYPE_P))
            << "display " << c.frame_number;
}

}  // namespace
