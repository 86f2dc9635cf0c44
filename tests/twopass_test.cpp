// Two-pass statistics: the first pass's header and picture lines, reading
// them back field for field, refusing malformed text with a clear error (and
// surviving random mutations of it), the pass-2 plan and the pass-2 frame QP.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ratecontrol/rc_twopass.h"
#include "tests/support/rc_simulation.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const char *HEADER = "width=320 height=256 idr-period=1000 opengop=0 bframes=0 fps=25/1 lookahead=20 scenecut=0\n";

internal_config pass2_config(int32_t rc_mode = RC_MODE_ABR)
{
    internal_config cfg = sim_config(rc_mode);
    cfg.open_gop = 0;
    cfg.scenecut = 0;
    cfg.lookahead = 20;
    return cfg;
}

// Reads `text` into a fresh first record. Returns the creation result and
// leaves the record (or null) in *out.
struct pass2_reader {
    internal_config cfg;
    ratecontrol *rc = nullptr;
    std::vector<char> text;
    std::string err;
    explicit pass2_reader(const std::string &t, internal_config c = pass2_config()) : cfg(c)
    {
        text.assign(t.begin(), t.end());
        text.push_back(0);
        cfg.pass2 = 1;
        cfg.pass2_stats = text.data();
    }
    ~pass2_reader() { ratecontrol_delete(rc); }
    int read()
    {
        CaptureStderr();
        int r = ratecontrol_new(&rc, &cfg);
        err = GetCapturedStderr();
        return r;
    }
};

std::string line(int cn, int dn, const char *qp, const char *bits, const char *cu, const char *type)
{
    char b[300];
    snprintf(b, sizeof(b), "%d play:%d qp:%s bits: %s cu_count:%s type:%s\n", cn, dn, qp, bits, cu, type);
    return b;
}

std::string good_text()
{
    return std::string(HEADER) + line(0, 0, "27.00 27.00", "30000 2000 400", "1280 0", "idr") +
           line(1, 2, "30.00 30.25", "9000 3000 300", "40 600", "p") +
           line(2, 1, "31.50 31.50", "4000 1500 200", "10 900", "b");
}

// --- writing ---

TEST(TwoPassWrite, FirstPictureCarriesTheHeaderAndLaterOnesTheirLineAlone)
{
    internal_config cfg = pass2_config(RC_MODE_CQP);
    cfg.pass1 = 1;
    char buffer[1024];
    buffer[0] = 0;
    cfg.pass1_stats_buffer = buffer;
    cfg.qp = 30;
    rc_simulation sim(cfg);
    ASSERT_EQ(sim.open(), 0);
    sim_result r;
    ASSERT_TRUE(sim.code(20000, 1.0, &r));
    std::string first = buffer;
    ASSERT_EQ(first.rfind(HEADER, 0), 0u) << first;
    std::string rest = first.substr(std::strlen(HEADER));
    char expect[200];
    snprintf(expect, sizeof(expect), "0 play:0 qp:%.2f %.2f bits: %d %d %d cu_count:%d 0 type:idr\n",
             (double)r.qp_f, (double)r.qp_f, (int)(r.bits / 2), (int)(r.bits / 4),
             (int)(r.bits - r.bits / 2 - r.bits / 4), 40 * 32);
    EXPECT_EQ(rest, expect);
    ASSERT_TRUE(sim.code(20000, 1.0, &r));
    std::string second = buffer;
    EXPECT_EQ(second.rfind("1 play:1 qp:30.00 30.00 bits: ", 0), 0u) << second;
    EXPECT_NE(second.find(" type:p\n"), std::string::npos);
    EXPECT_EQ(second.find("width="), std::string::npos);
}

TEST(TwoPassWrite, LinesReadBackFieldForField)
{
    // First pass of 40 pictures in ABR, then every line parsed back.
    internal_config cfg = pass2_config(RC_MODE_ABR);
    cfg.pass1 = 1;
    char buffer[1024];
    cfg.pass1_stats_buffer = buffer;
    rc_simulation sim(cfg);
    ASSERT_EQ(sim.open(), 0);
    std::string text;
    std::vector<sim_result> results;
    for (int i = 0; i < 40; i++) {
        sim_result r;
        ASSERT_TRUE(sim.code(20000 + 500 * i, 1.0, &r));
        results.push_back(r);
        text += buffer;
    }
    pass2_reader rd(text);
    ASSERT_EQ(rd.read(), 0) << rd.err;
    ASSERT_EQ(rd.rc->pass2_count, 40);
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(rd.rc->pass2_order[i], i);
        const pass2_entry *e = &rd.rc->pass2_entries[i];
        const sim_result &r = results[i];
        EXPECT_EQ(e->slice_class, i == 0 ? 2 : 1);
        EXPECT_EQ(e->picture_type, i == 0 ? PIC_TYPE_IDR : PIC_TYPE_P);
        EXPECT_EQ(e->non_b, 1u);
        EXPECT_EQ(e->resid_bits, (int32_t)(r.bits / 2));
        EXPECT_EQ(e->pred_bits, (int32_t)(r.bits / 4));
        EXPECT_EQ(e->misc_bits, (int32_t)(r.bits - r.bits / 2 - r.bits / 4));
        EXPECT_EQ(e->intra_units, i == 0 ? 1280 : 0);
        EXPECT_EQ(e->skip_units, 0);
        EXPECT_NEAR(e->qp_coded, (float)r.qp, 0.005);  // the model codes every CTU at the CTU QP
        EXPECT_NEAR(e->qscale_first, rc_qp_to_qscale(r.qp_f), rc_qp_to_qscale(r.qp_f) * 0.001);
        EXPECT_FLOAT_EQ(e->duration, 0.04f);
    }
}

// --- reading ---

TEST(TwoPassRead, EntriesAreIndexedByCodingNumberWithADisplayTable)
{
    pass2_reader rd(good_text(), pass2_config(RC_MODE_CQP));
    ASSERT_EQ(rd.read(), 0) << rd.err;
    ratecontrol *rc = rd.rc;
    ASSERT_EQ(rc->pass2_count, 3);
    EXPECT_EQ(rc->pass2_order[0], 0);
    EXPECT_EQ(rc->pass2_order[1], 2);
    EXPECT_EQ(rc->pass2_order[2], 1);
    const pass2_entry *b = &rc->pass2_entries[2];
    EXPECT_EQ(b->slice_class, 0);
    EXPECT_EQ(b->picture_type, PIC_TYPE_B);
    EXPECT_EQ(b->non_b, 0u);
    EXPECT_EQ(b->resid_bits, 4000);
    EXPECT_EQ(b->pred_bits, 1500);
    EXPECT_EQ(b->misc_bits, 200);
    EXPECT_EQ(b->intra_units, 10);
    EXPECT_EQ(b->skip_units, 900);
    EXPECT_DOUBLE_EQ(b->qscale_first, 0.85 * std::pow(2.0, (31.5 - 12.0) / 6.0));
    EXPECT_FLOAT_EQ(rc->pass2_entries[1].qp_coded, 30.25f);
    // Constant QP reads but does not plan.
    EXPECT_DOUBLE_EQ(b->qscale_new, b->qscale_first);
}

TEST(TwoPassRead, LookaheadOfTheFirstPassIsTakenOver)
{
    internal_config cfg = pass2_config(RC_MODE_CQP);
    cfg.lookahead = 5;
    pass2_reader rd(good_text(), cfg);
    ASSERT_EQ(rd.read(), 0) << rd.err;
    EXPECT_EQ(rd.cfg.lookahead, 20);
}

TEST(TwoPassRead, HeaderMismatchesNameTheFilesValueFirst)
{
    struct mismatch {
        void (*change)(internal_config *);
        const char *message;
    } cases[] = {
        {[](internal_config *c) { c->width = 640; },
         "resolution does not match! Previous is 320x256, now is 640x256\n"},
        {[](internal_config *c) { c->fps_num = 50, c->fps_den = 2; }, "fps does not match!\n"},
        {[](internal_config *c) { c->idr_period = 32; }, "idr-period does not match! Previous is 1000, now is 32\n"},
        {[](internal_config *c) { c->open_gop = 1; }, "opengop does not match! Previous is 0, now is 1\n"},
        {[](internal_config *c) { c->bframes = 3; }, "bframes does not match! Previous is 0, now is 3\n"},
        {[](internal_config *c) { c->scenecut = 40; }, "scenecut does not match! Previous is 0, now is 40\n"},
    };
    for (const auto &m : cases) {
        internal_config cfg = pass2_config(RC_MODE_CQP);
        m.change(&cfg);
        pass2_reader rd(good_text(), cfg);
        EXPECT_EQ(rd.read(), -1);
        EXPECT_EQ(rd.err, m.message);
        EXPECT_EQ(rd.rc, nullptr);
    }
}

TEST(TwoPassRead, OptionalKeysMayBeMissing)
{
    std::string text = std::string("width=320 height=256 fps=25/1\n") + line(0, 0, "27.00 27.00", "1 1 1", "0 0", "idr");
    pass2_reader rd(text, pass2_config(RC_MODE_CQP));
    EXPECT_EQ(rd.read(), 0) << rd.err;
}

TEST(TwoPassRead, LastLineWithoutLineFeedIsIgnoredAndHeaderAloneFails)
{
    std::string text = good_text();
    text += "3 play:3 qp:30.00 30.00 bits: 1 1 1 cu_count:0 0 type:p";
    pass2_reader rd(text, pass2_config(RC_MODE_CQP));
    ASSERT_EQ(rd.read(), 0) << rd.err;
    EXPECT_EQ(rd.rc->pass2_count, 3);

    pass2_reader only(HEADER, pass2_config(RC_MODE_CQP));
    EXPECT_EQ(only.read(), -1);
    EXPECT_FALSE(only.err.empty());
}

TEST(TwoPassRead, LineWithoutTypeWordTakesThePreviousOne)
{
    std::string text = std::string(HEADER) + line(0, 0, "27.00 27.00", "1 1 1", "0 0", "p") +
                       "1 play:1 qp:30.00 30.00 bits: 1 1 1 cu_count:0 0\n";
    pass2_reader rd(text, pass2_config(RC_MODE_CQP));
    ASSERT_EQ(rd.read(), 0) << rd.err;
    EXPECT_EQ(rd.rc->pass2_entries[1].picture_type, PIC_TYPE_P);

    std::string first = std::string(HEADER) + "0 play:0 qp:30.00 30.00 bits: 1 1 1 cu_count:0 0\n";
    pass2_reader bad(first, pass2_config(RC_MODE_CQP));
    EXPECT_EQ(bad.read(), -1);
}

TEST(TwoPassRead, MalformedTextFailsWithAClearError)
{
    const std::string h = HEADER;
    auto ok = [](int cn, int dn) { return line(cn, dn, "30.00 30.00", "1 1 1", "0 0", "p"); };
    struct bad_case {
        const char *what;
        std::string text;
    } cases[] = {
        {"no header", ok(0, 0)},
        {"header without line feed", "width=320 height=256 fps=25/1"},
        {"header without fps", "width=320 height=256\n" + ok(0, 0)},
        {"empty text", ""},
        {"coding number too large", h + ok(0, 0) + ok(2, 1)},
        {"negative coding number", h + ok(-1, 0) + ok(1, 1)},
        {"display number too large", h + ok(0, 0) + ok(1, 5)},
        {"duplicate coding number leaves one unnamed", h + ok(0, 0) + ok(0, 1)},
        {"duplicate display number", h + ok(0, 0) + ok(1, 0)},
        {"qp above 51", h + line(0, 0, "52.00 30.00", "1 1 1", "0 0", "p")},
        {"negative qp", h + line(0, 0, "30.00 -1.00", "1 1 1", "0 0", "p")},
        {"qp not a number", h + line(0, 0, "nan 30.00", "1 1 1", "0 0", "p")},
        {"negative bits", h + line(0, 0, "30.00 30.00", "1 -1 1", "0 0", "p")},
        {"bits beyond 32 bits", h + line(0, 0, "30.00 30.00", "1 1 4294967296", "0 0", "p")},
        {"intra area beyond the picture", h + line(0, 0, "30.00 30.00", "1 1 1", "1281 0", "p")},
        {"areas together beyond the picture", h + line(0, 0, "30.00 30.00", "1 1 1", "1000 281", "p")},
        {"negative skip area", h + line(0, 0, "30.00 30.00", "1 1 1", "0 -3", "p")},
        {"type B", h + line(0, 0, "30.00 30.00", "1 1 1", "0 0", "B")},
        {"type i", h + line(0, 0, "30.00 30.00", "1 1 1", "0 0", "i")},
        {"type x", h + line(0, 0, "30.00 30.00", "1 1 1", "0 0", "x")},
        {"type word too long", h + line(0, 0, "30.00 30.00", "1 1 1", "0 0", "brefbref")},
        {"missing fields", h + "0 play:0 qp:30.00 30.00 bits: 1 1\n"},
        {"garbage after the type", h + line(0, 0, "30.00 30.00", "1 1 1", "0 0", "p junk")},
        {"blank line", h + ok(0, 0) + "\n" + ok(1, 1)},
        {"overlong line", h + "0 play:0 qp:30.00 30.00 bits: 1 1 1 cu_count:0 0" + std::string(300, ' ') + "type:p\n"},
    };
    for (const auto &c : cases) {
        pass2_reader rd(c.text, pass2_config(RC_MODE_ABR));
        EXPECT_EQ(rd.read(), -1) << c.what;
        EXPECT_FALSE(rd.err.empty()) << c.what;
        EXPECT_EQ(rd.rc, nullptr) << c.what;
    }
}

TEST(TwoPassRead, RandomMutationsNeverCrashOrLeaveUnreadEntries)
{
    // A bounded fuzz loop: mutate a valid text (byte flips, digits, line
    // feeds, truncation, duplicated spans) and read it. Every accepted text
    // must name every coding and display number with in-range fields.
    std::string base = good_text();
    for (int i = 3; i < 12; i++) base += line(i, i, "30.00 30.00", "100 50 25", "3 4", i % 2 ? "bref" : "p");
    std::mt19937 rng(7);
    const char alphabet[] = "0123456789 -.:\nabpridcexyt=/";
    int accepted = 0;
    for (int iter = 0; iter < 3000; iter++) {
        std::string t = base;
        int edits = 1 + (int)(rng() % 4);
        for (int e = 0; e < edits && !t.empty(); e++) {
            size_t at = rng() % t.size();
            switch (rng() % 5) {
            case 0: t[at] = alphabet[rng() % (sizeof(alphabet) - 1)]; break;
            case 1: t.erase(at, 1 + rng() % 8); break;
            case 2: t.insert(at, 1, alphabet[rng() % (sizeof(alphabet) - 1)]); break;
            case 3: t.resize(at); break;
            default: t.insert(at, t.substr(rng() % t.size(), rng() % 40)); break;
            }
        }
        pass2_reader rd(t, pass2_config(RC_MODE_ABR));
        if (rd.read() != 0) {
            ASSERT_EQ(rd.rc, nullptr);
            continue;
        }
        accepted++;
        ratecontrol *rc = rd.rc;
        ASSERT_GT(rc->pass2_count, 0);
        std::vector<int> seen(rc->pass2_count, 0);
        for (int32_t d = 0; d < rc->pass2_count; d++) {
            int32_t c = rc->pass2_order[d];
            ASSERT_GE(c, 0);
            ASSERT_LT(c, rc->pass2_count);
            seen[c]++;
        }
        for (int32_t c = 0; c < rc->pass2_count; c++) {
            ASSERT_EQ(seen[c], 1);
            const pass2_entry *e = &rc->pass2_entries[c];
            ASSERT_GE(e->slice_class, 0);
            ASSERT_LE(e->slice_class, 2);
            ASSERT_TRUE(std::isfinite(e->qscale_new) && e->qscale_new > 0.0);
            ASSERT_GE(e->resid_bits, 0);
            ASSERT_GE(e->pred_bits, 0);
            ASSERT_GE(e->intra_units, 0);
        }
    }
    EXPECT_GT(accepted, 0);
}

// --- planning ---

std::string plan_text(int n, const char *bits = "20000 5000 500")
{
    std::string t = HEADER;
    for (int i = 0; i < n; i++)
        t += line(i, i, "30.00 30.00", i == 0 ? "80000 10000 800" : bits, i == 0 ? "1280 0" : "20 100",
                  i == 0 ? "idr" : "p");
    return t;
}

double planned_bits(const ratecontrol *rc)
{
    double s = 0.0;
    for (int32_t i = 0; i < rc->pass2_count; i++)
        s += rc_entry_bits(&rc->pass2_entries[i], rc->pass2_entries[i].qscale_new);
    return s;
}

TEST(TwoPassPlan, PlanSpendsTheBudget)
{
    for (int32_t kbps : {200, 800, 3000}) {
        internal_config cfg = pass2_config(RC_MODE_ABR);
        cfg.bitrate = kbps;
        pass2_reader rd(plan_text(100), cfg);
        ASSERT_EQ(rd.read(), 0) << rd.err;
        double budget = kbps * 1000.0 * 100 * 0.04;
        EXPECT_NEAR(planned_bits(rd.rc) / budget, 1.0, 0.02) << kbps;
        // Expected bits are the running sum before each entry.
        EXPECT_EQ(rd.rc->pass2_entries[0].expected_bits, 0);
        EXPECT_GT(rd.rc->pass2_entries[99].expected_bits, rd.rc->pass2_entries[50].expected_bits);
    }
}

TEST(TwoPassPlan, BudgetBelowTheOtherBitsFailsAndEqualIsAccepted)
{
    // 10 pictures of 0.04 s at 1 kbit/s: 400 bits; other bits 10 x 40 = 400.
    internal_config cfg = pass2_config(RC_MODE_ABR);
    cfg.bitrate = 1;
    std::string t = HEADER;
    for (int i = 0; i < 10; i++) t += line(i, i, "30.00 30.00", "100 100 40", "0 0", i ? "p" : "idr");
    pass2_reader fits(t, cfg);
    EXPECT_EQ(fits.read(), 0) << fits.err;
    std::string t2 = HEADER;
    for (int i = 0; i < 10; i++) t2 += line(i, i, "30.00 30.00", "100 100 41", "0 0", i ? "p" : "idr");
    pass2_reader over(t2, cfg);
    EXPECT_EQ(over.read(), -1);
    EXPECT_EQ(over.err, "target bitrate is too low\n");
}

TEST(TwoPassPlan, SingleQpRangeAndSingleEntry)
{
    internal_config cfg = pass2_config(RC_MODE_ABR);
    cfg.qp_min = cfg.qp_max = 33;
    pass2_reader rd(plan_text(20), cfg);
    ASSERT_EQ(rd.read(), 0) << rd.err;
    for (int32_t i = 0; i < 20; i++)
        EXPECT_DOUBLE_EQ(rd.rc->pass2_entries[i].qscale_new, rc_qp_to_qscale(33.0));

    pass2_reader one(plan_text(1), pass2_config(RC_MODE_ABR));
    ASSERT_EQ(one.read(), 0) << one.err;
    EXPECT_TRUE(std::isfinite(one.rc->pass2_entries[0].qscale_new));
    EXPECT_GT(one.rc->pass2_entries[0].blurred_cplx, 0.0f);
}

TEST(TwoPassPlan, VbvPlanKeepsTheFillWithinTheBuffer)
{
    internal_config cfg = pass2_config(RC_MODE_ABR);
    cfg.bitrate = 800;
    cfg.vbv_maxrate = 800;
    cfg.vbv_bufsize = 400;
    // Alternating easy and very hard stretches.
    std::string t = HEADER;
    for (int i = 0; i < 60; i++)
        t += line(i, i, "30.00 30.00", (i / 10) % 2 ? "200000 40000 500" : "5000 1000 500", i ? "20 100" : "1280 0",
                  i ? "p" : "idr");
    pass2_reader rd(t, cfg);
    ASSERT_EQ(rd.read(), 0) << rd.err;
    for (int32_t i = 0; i < 60; i++) {
        EXPECT_GE(rd.rc->pass2_entries[i].expected_vbv, 0.0);
        EXPECT_LE(rd.rc->pass2_entries[i].expected_vbv, 400000.0);
    }
}

TEST(TwoPassPlan, PictureCodedFinerThanItsAnchorIsPlannedFromItsStep)
{
    // The first pass coded picture 2 ten QPs finer than its anchor; the plan
    // keeps the two near one QP, so all but its new part shrinks by the
    // step's change (held to eight QPs), at the slope the first pass's P
    // pictures show (here past its bound, 0.3 per QP). The new part is
    // three times the intra share of the median P picture, not its own: it
    // coded half its units intra to restore its reference's detail. Picture
    // 3, coded no finer in the first pass than in the plan, keeps its size.
    std::string t = std::string(HEADER) + line(0, 0, "30.00 30.00", "80000 10000 800", "1280 0", "idr") +
                    line(1, 1, "40.00 40.00", "1000 500 300", "32 1200", "p") +
                    line(2, 2, "30.00 30.00", "150000 50000 300", "640 100", "p") +
                    line(3, 3, "31.00 31.00", "15000 5000 300", "32 100", "p");
    pass2_reader rd(t, pass2_config(RC_MODE_ABR));
    ASSERT_EQ(rd.read(), 0) << rd.err;
    const pass2_entry *e = rd.rc->pass2_entries;
    ASSERT_NEAR(rc_qscale_to_qp(e[2].qscale_new), rc_qscale_to_qp(e[1].qscale_new), 1.0);
    double fresh = 3.0 * 32 / 1280;
    EXPECT_NEAR(std::exp2(e[2].anchor_step_log2), fresh + (1.0 - fresh) * std::exp2(-0.3 * 8.0), 1e-6);
    EXPECT_EQ(e[3].anchor_step_log2, 0.0);
    EXPECT_EQ(e[1].anchor_before, 0);
    EXPECT_EQ(e[3].anchor_before, 2);
}

TEST(TwoPassPlan, EntryBitsAtTheFirstQscale)
{
    pass2_entry e = {};
    e.qscale_first = rc_qp_to_qscale(30.0);
    e.pred_bits = 1000;
    e.resid_bits = 5000;
    e.misc_bits = 300;
    EXPECT_NEAR(rc_entry_bits(&e, e.qscale_first), 6300.1, 1e-6);
    // Coarser qscale: fewer bits; a qscale of 0 counts as 0.1.
    EXPECT_LT(rc_entry_bits(&e, 2.0 * e.qscale_first), 6300.0);
    EXPECT_DOUBLE_EQ(rc_entry_bits(&e, 0.0), rc_entry_bits(&e, 0.1));
}

// --- second pass coding ---

TEST(TwoPassCode, FollowsThePlanAndStopsWhenTheLogEnds)
{
    internal_config cfg = pass2_config(RC_MODE_ABR);
    cfg.bitrate = 800;
    std::string text = plan_text(30);
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back(0);
    cfg.pass2 = 1;
    cfg.pass2_stats = buf.data();
    rc_simulation sim(cfg);
    ASSERT_EQ(sim.open(), 0);
    ASSERT_TRUE(sim.rc->two_pass);
    std::vector<double> planned;
    for (int32_t i = 0; i < 30; i++) planned.push_back(sim.rc->pass2_entries[i].qscale_new);
    for (int32_t i = 0; i < 30; i++) {
        sim_result r;
        ASSERT_TRUE(sim.code(20000, 1.0, &r));
        EXPECT_EQ(sim.rc->pass2_entries[i].pass2_qp, r.qp);
        // The ABR buffer correction lowers the plan's qscale by at most half
        // and raises it by at most four times; from one second on the ratio
        // of spent to expected bits joins in.
        double used = sim.rc->pass2_entries[i].qscale_new;
        EXPECT_GE(used, std::max(planned[i] / 2.0 * 0.999, sim.rc->qscale_min[1])) << i;
        if (i < 25) {
            EXPECT_LE(used, planned[i] * 4.0 * 1.001) << i;
        }
    }
    // Every finished picture's size is kept with its entry.
    for (int32_t i = 0; i < 30; i++) EXPECT_GT(sim.rc->pass2_entries[i].coded_bits, 0.0) << i;
    sim_result r;
    CaptureStderr();
    EXPECT_FALSE(sim.code(20000, 1.0, &r));
    EXPECT_EQ(GetCapturedStderr(), "Incomplete 2pass log\n");
}

TEST(TwoPassCode, TypeMismatchIsReportedAndCodingGoesOn)
{
    internal_config cfg = pass2_config(RC_MODE_ABR);
    std::string text = plan_text(5);
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back(0);
    cfg.pass2 = 1;
    cfg.pass2_stats = buf.data();
    rc_simulation sim(cfg);
    ASSERT_EQ(sim.open(), 0);
    sim_result r;
    ASSERT_TRUE(sim.code(20000, 1.0, &r));
    CaptureStderr();
    ASSERT_TRUE(sim.code(20000, 1.0, &r, PIC_TYPE_IDR));
    EXPECT_EQ(GetCapturedStderr(), "frame 1: Frame type of 2nd pass stats is p. Use i instead!\n");
}

TEST(TwoPassCode, CrfWithStatisticsFailsCreation)
{
    pass2_reader rd(plan_text(5), pass2_config(RC_MODE_CRF));
    EXPECT_EQ(rd.read(), -1);
    EXPECT_EQ(rd.rc, nullptr);
}

}  // namespace
