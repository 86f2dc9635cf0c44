// Reference lists and the decoded picture buffer of the per-picture driver.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "encoder/encoder_instance.h"
#include "encoder/picture_list.h"
#include "support/test_records.h"

namespace {

struct dpb_fixture {
    frame_instance *fi;
    picture_pools pools;
    std::vector<picture *> made;

    dpb_fixture()
    {
        fi = test_row_context_new()->fi;
        picture_geometry g = {64, 64, 1, 1, 3, 0, 1, 0, 0};
        EXPECT_EQ(picture_pools_init(&pools, &g, 8, 32, nullptr), 0);
        fi->enc->pools = &pools;
        fi->reference_list = picture_list_create(16);
        fi->enc->config.prefs = 4;
        fi->enc->config.brefs = 2;
        fi->enc->config.bframes = 3;
        fi->enc->config.latency_mode = LATENCY_NONE;
        fi->enc->p_ref_limit = 4;
        fi->enc->b_ref_limit = 2;
        fi->enc->sps.p_refs = 4;
        fi->pic.recon_picture = add(0, 0, PIC_TYPE_P, 0, false);
    }
    ~dpb_fixture()
    {
        while (fi->reference_list->count) picture_release(&pools, (picture *)picture_list_pop_last(fi->reference_list));
        picture_list_destroy(fi->reference_list);
        if (fi->pic.recon_picture) picture_release(&pools, fi->pic.recon_picture);
        picture_pools_destroy(&pools);
        std::free(fi->row0);
    }
    picture *add(int number, int poc, uint32_t type, int layer, bool to_list, int ra = 0)
    {
        picture *p = picture_get(&pools, PICTURE_POOL_RECON);
        p->frame_number = number;
        p->poc = poc;
        p->picture_type = type;
        p->layer = (uint8_t)layer;
        p->ra_period = ra;
        p->p_layer = 0;
        p->is_reference = 1;
        if (to_list) {
            EXPECT_EQ(picture_list_push_last(fi->reference_list, p), 0);
        }
        return p;
    }
    std::vector<int> pocs(int list)
    {
        std::vector<int> v;
        int n = list == 0 ? fi->pic.ref_count_l0 : fi->pic.ref_count_l1;
        for (int k = 0; k < n; k++) v.push_back((list == 0 ? fi->pic.list0 : fi->pic.list1)[k]->poc);
        return v;
    }
};

TEST(RefLists, NearestFirstInBothDirections)
{
    dpb_fixture f;
    f.add(0, 0, PIC_TYPE_IDR, 0, true);
    f.add(8, 8, PIC_TYPE_P, 0, true);
    f.add(4, 4, PIC_TYPE_BREF, 1, true);
    f.add(16, 16, PIC_TYPE_P, 0, true);
    f.fi->pic.nal_unit_type = nal_trail_r;
    f.fi->pic.sh.slice_type = slice_b;
    f.fi->pic.recon_picture->layer = 2;
    ref_lists_build(f.fi, 6, 0);
    EXPECT_EQ(f.pocs(0), (std::vector<int>{4, 0}));
    EXPECT_EQ(f.pocs(1), (std::vector<int>{8, 16}));
    EXPECT_EQ(f.fi->pic.recon_picture->ref_count[0], 2);
    EXPECT_EQ(f.fi->pic.recon_picture->ref_pocs[0][2], -1);
    EXPECT_EQ(f.fi->pic.recon_picture->ref_frame_numbers[1][0], 8);
}

TEST(RefLists, DeepPyramidBPicturesServeOnlyTheirNeighboursOfLevelThree)
{
    dpb_fixture f;
    f.add(0, 0, PIC_TYPE_IDR, 0, true);
    f.add(8, 8, PIC_TYPE_P, 0, true);
    f.add(2, 2, PIC_TYPE_BREF, 2, true);
    f.fi->pic.nal_unit_type = nal_trail_n;
    f.fi->pic.sh.slice_type = slice_b;
    f.fi->pic.recon_picture->layer = 3;
    ref_lists_build(f.fi, 3, 0);
    EXPECT_EQ(f.pocs(0), (std::vector<int>{2, 0})) << "level 2 at distance 1 of a level-3 picture";
    f.fi->pic.recon_picture->layer = 2;
    ref_lists_build(f.fi, 3, 0);
    EXPECT_EQ(f.pocs(0), (std::vector<int>{0}));
    f.fi->pic.recon_picture->layer = 3;
    ref_lists_build(f.fi, 5, 0);
    EXPECT_EQ(f.pocs(0), (std::vector<int>{0})) << "distance 3";
}

TEST(RefLists, OtherRandomAccessPeriodsAreSkippedExceptByACra)
{
    dpb_fixture f;
    f.add(0, 0, PIC_TYPE_P, 0, true, 0);
    f.add(8, 8, PIC_TYPE_CRA, 0, true, 1);
    f.fi->pic.nal_unit_type = nal_rasl_n;
    f.fi->pic.sh.slice_type = slice_b;
    ref_lists_build(f.fi, 6, 0);   // a leading picture of the CRA, in period 0
    EXPECT_EQ(f.pocs(0), (std::vector<int>{0}));
    EXPECT_EQ(f.pocs(1), (std::vector<int>{8}));
    f.fi->pic.nal_unit_type = nal_trail_r;
    ref_lists_build(f.fi, 12, 1);
    EXPECT_EQ(f.pocs(0), (std::vector<int>{8})) << "period 0 is behind the CRA";
    f.fi->pic.nal_unit_type = nal_cra;
    f.fi->pic.sh.slice_type = slice_i;
    ref_lists_build(f.fi, 16, 2);
    EXPECT_EQ(f.fi->pic.ref_count_l0, 0) << "an I slice uses none";
    EXPECT_EQ(f.fi->pic.rps.num_negative, 2) << "but a CRA keeps them in its set";
}

TEST(RefLists, PAsBRepeatsListZero)
{
    dpb_fixture f;
    f.add(0, 0, PIC_TYPE_IDR, 0, true);
    f.add(1, 1, PIC_TYPE_P, 0, true);
    f.fi->pic.nal_unit_type = nal_trail_r;
    f.fi->pic.sh.slice_type = slice_p;
    ref_lists_build(f.fi, 2, 0);
    ref_list1_from_list0(f.fi);
    EXPECT_EQ(f.pocs(1), f.pocs(0));
    EXPECT_EQ(f.fi->pic.recon_picture->ref_pocs[1][0], 1);
}

TEST(Dpb, ReferencePicturesEnterTheListUpToTheLimit)
{
    dpb_fixture f;
    for (int k = 0; k < 6; k++) {
        f.fi->pic.recon_picture->frame_number = k;
        f.fi->pic.recon_picture->is_reference = 1;
        f.fi->pic.recon_picture->picture_type = PIC_TYPE_P;
        ASSERT_EQ(dpb_update(f.fi), 0);
        EXPECT_EQ(f.fi->pic.recon_picture->is_reference, 0u) << "a fresh reconstruction is no reference yet";
    }
    // Outside zero latency the limit is prefs + hierarchy + 1.
    ASSERT_EQ(f.fi->reference_list->count, 5);
    EXPECT_EQ(((picture *)f.fi->reference_list->entries[0])->frame_number, 1);
    f.fi->pic.recon_picture->is_reference = 0;
    ASSERT_EQ(dpb_update(f.fi), 0);
    EXPECT_EQ(f.fi->reference_list->count, 5) << "a non-reference picture is only released";
}

TEST(Dpb, HandedOnListKeepsOnlyWhatItsPictureReadsWhileCoded)
{
    dpb_fixture f;
    picture *p0 = f.add(0, 0, PIC_TYPE_IDR, 0, true);
    picture *p8 = f.add(8, 8, PIC_TYPE_P, 0, true);
    picture *p4 = f.add(4, 4, PIC_TYPE_BREF, 1, true);
    picture *p16 = f.add(16, 16, PIC_TYPE_P, 0, true);
    p0->reference_count++;   // a newer list still holds 0
    f.fi->pic.ref_count_l0 = 1;
    f.fi->pic.list0[0] = p4;
    f.fi->pic.ref_count_l1 = 1;
    f.fi->pic.list1[0] = p8;
    f.fi->submitted = 1;
    references_keep_predicted(f.fi);
    ASSERT_EQ(f.fi->reference_list->count, 2);
    EXPECT_EQ(f.fi->reference_list->entries[0], p8);
    EXPECT_EQ(f.fi->reference_list->entries[1], p4);
    EXPECT_EQ(f.fi->reference_list->entries[2], nullptr);
    EXPECT_EQ(p0->reference_count, 1u);
    EXPECT_EQ(p16->reference_count, 0u) << "no list holds it: back in the pool";
    f.fi->submitted = 0;   // collected: nothing is read through this list any more
    references_keep_predicted(f.fi);
    EXPECT_EQ(f.fi->reference_list->count, 0);
    picture_release(&f.pools, p0);
}

TEST(Dpb, ZeroLatencyTrimsToThePReferenceLimit)
{
    dpb_fixture f;
    f.fi->enc->config.latency_mode = LATENCY_ZERO;
    for (int k = 0; k < 6; k++) {
        f.fi->pic.recon_picture->frame_number = k;
        f.fi->pic.recon_picture->is_reference = 1;
        f.fi->pic.recon_picture->picture_type = PIC_TYPE_P;
        f.fi->pic.recon_picture->p_layer = 0;
        ASSERT_EQ(dpb_update(f.fi), 0);
    }
    EXPECT_EQ(f.fi->reference_list->count, 4);
}

TEST(Dpb, LowLatencyKeepsTheListInNumberOrder)
{
    dpb_fixture f;
    f.fi->enc->config.latency_mode = LATENCY_LOW_DELAY;
    f.fi->enc->config.hierarchy = 0;
    for (int number : {0, 4, 2, 3}) {
        f.fi->pic.recon_picture->frame_number = number;
        f.fi->pic.recon_picture->is_reference = 1;
        ASSERT_EQ(dpb_update(f.fi), 0);
    }
    ASSERT_EQ(f.fi->reference_list->count, 4);
    int expect[4] = {0, 2, 3, 4};
    for (int k = 0; k < 4; k++) EXPECT_EQ(((picture *)f.fi->reference_list->entries[k])->frame_number, expect[k]);
}

TEST(Dpb, AReferenceWithoutRoomFailsTheCallAndTheNextCallRecovers)
{
    dpb_fixture f;
    for (int k = 0; k < 16; k++) f.add(k, k, PIC_TYPE_P, 0, true);
    f.fi->pic.recon_picture->is_reference = 1;
    EXPECT_EQ(dpb_update(f.fi), -1);
    EXPECT_EQ(f.fi->reference_list->count, 16);
    EXPECT_EQ(f.fi->pic.recon_picture, nullptr) << "the refused picture went back to its pool";
    ASSERT_EQ(dpb_update(f.fi), 0);
    EXPECT_NE(f.fi->pic.recon_picture, nullptr);
}

// The hand-over to the next frame instance: its list takes the previous one's
// references, the previous list keeps only what its picture still reads, and
// the picture state arrives whole, the reconstruction with it.
TEST(Handover, NextFrameInstanceTakesTheReferencesAndThePictureState)
{
    dpb_fixture f;
    frame_instance *prev = f.fi;
    picture *p0 = f.add(0, 0, PIC_TYPE_IDR, 0, true);
    picture *p8 = f.add(8, 8, PIC_TYPE_P, 0, true);
    prev->pic.ref_count_l0 = 1;
    prev->pic.list0[0] = p8;
    prev->pic.sh.slice_qp = 33;
    prev->pic.nal_unit_type = nal_trail_r;
    prev->submitted = 1;
    frame_instance cur{};
    cur.enc = prev->enc;
    cur.reference_list = picture_list_create(16);
    cur.pic.recon_picture = picture_get(&f.pools, PICTURE_POOL_RECON);
    ASSERT_EQ(frame_instance_handover(&cur, prev), 0);
    EXPECT_EQ(std::memcmp(&cur.pic, &prev->pic, sizeof(cur.pic)), 0);
    ASSERT_EQ(cur.reference_list->count, 2);
    EXPECT_EQ(cur.reference_list->entries[0], p0);
    EXPECT_EQ(cur.reference_list->entries[1], p8);
    ASSERT_EQ(prev->reference_list->count, 1);
    EXPECT_EQ(prev->reference_list->entries[0], p8);
    EXPECT_EQ(p0->reference_count, 1u);
    EXPECT_EQ(p8->reference_count, 2u);
    while (cur.reference_list->count) picture_release(&f.pools, (picture *)picture_list_pop_last(cur.reference_list));
    picture_list_destroy(cur.reference_list);
    picture_release(&f.pools, cur.pic.recon_picture);
}

// Row 0 of a picture is its frame instance's own context; rows 1 and onward
// take the shared contexts in turn from the picture's first one, wrapping
// round, and each is told its frame instance, row and picture.
TEST(Handover, RowsGoToRowZerosContextThenToTheSharedOnesInTurn)
{
    dpb_fixture f;
    std::vector<row_context> shared(3);
    row_context *contexts[3] = {&shared[0], &shared[1], &shared[2]};
    f.fi->enc->row_contexts = contexts;
    f.fi->enc->row_context_count = 3;
    f.fi->first_row_context = 2;
    EXPECT_EQ(row_context_of(f.fi, 0), f.fi->row0);
    EXPECT_EQ(row_context_of(f.fi, 1), &shared[2]);
    EXPECT_EQ(row_context_of(f.fi, 2), &shared[0]);
    f.fi->pic.recon_picture->frame_number = 7;
    row_context_assign(&shared[0], f.fi, 2);
    EXPECT_EQ(shared[0].fi, f.fi);
    EXPECT_EQ(shared[0].ctu_x, 0);
    EXPECT_EQ(shared[0].ctu_y, 2);
    EXPECT_EQ(shared[0].assigned_frame, 7);
}

}  // namespace
