// Lagrange multipliers, motion-vector cost tables, chroma distortion weight
// and quantisation rounding offsets of one encoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "encoder/config.h"
#include "encoder/lambda_tables.h"

namespace {

internal_config validated_config(int32_t rc_mode = RC_MODE_CQP, int32_t bframes = 7, int32_t hierarchy = -1)
{
    internal_config cfg;
    config_preset(&cfg, 4, 0);
    cfg.width = 1920;
    cfg.height = 1080;
    cfg.working_threads = 4;
    cfg.rc_mode = rc_mode;
    cfg.bframes = bframes;
    cfg.hierarchy = hierarchy;
    EXPECT_EQ(config_validate(&cfg), 0);
    return cfg;
}

struct rd_owner {
    rd_tables rd;
    rd_owner() { memset(&rd, 0, sizeof(rd)); }
    ~rd_owner() { mv_cost_tables_free(&rd); }
};

lambda_tables lambdas_for(const internal_config &cfg)
{
    lambda_tables lt;
    lambda_tables_init(&lt, &cfg);
    return lt;
}

TEST(LambdaTables, ConstantQpReferenceBRowValues)
{
    lambda_tables lt = lambdas_for(validated_config());  // hierarchy 2: row 3 factor 0.5
    EXPECT_EQ(lt.sse[3][12], 256u);
    EXPECT_EQ(lt.satd[3][12], 1u);
    EXPECT_EQ(lt.sse[3][51], 4194304u);
    EXPECT_EQ(lt.satd[3][51], 128u);
}

TEST(LambdaTables, ConstantQpIAndPRowsDoubleEveryThreeQp)
{
    lambda_tables lt = lambdas_for(validated_config());
    // Row 0: f = (1 - 0.35) x 0.57 with 7 B pictures; row 1: f = 0.442.
    EXPECT_EQ(lt.sse[0][12], 95u);    // 94.848
    EXPECT_EQ(lt.sse[1][12], 113u);   // 113.152
    EXPECT_EQ(lt.sse[1][24], 1810u);  // 1810.432
    EXPECT_EQ(lt.satd[1][12], 1u);
    EXPECT_EQ(lt.satd[1][24], 3u);    // sqrt(7.072) = 2.66
    for (int row = 0; row < 2; row++) {
        double f = row == 0 ? 0.65 * 0.57 : 0.442;
        for (int qp = 0; qp < 64; qp++) {
            double lambda = f * std::pow(2.0, (qp - 12) / 3.0);
            EXPECT_NEAR(lt.sse[row][qp], 256.0 * lambda, 0.5 + 1e-6 * 256.0 * lambda) << row << " " << qp;
            EXPECT_NEAR(lt.satd[row][qp], std::sqrt(lambda), 0.5 + 1e-9) << row << " " << qp;
        }
    }
}

TEST(LambdaTables, IRowFactorFollowsBframes)
{
    const int32_t bframes[] = {0, 4, 10, 15};
    const uint32_t qp12[] = {146, 117, 73, 73};  // 256 x 0.57 x (1 - min(0.05 b, 0.5))
    for (int i = 0; i < 4; i++) {
        lambda_tables lt = lambdas_for(validated_config(RC_MODE_CQP, bframes[i]));
        EXPECT_EQ(lt.sse[0][12], qp12[i]) << "bframes " << bframes[i];
    }
}

TEST(LambdaTables, BRowsByHierarchy)
{
    // At QP 12 the B base is 2 x 256: factors 0.3536, 0.5, 0.68 give 181, 256, 348.
    struct {
        int32_t bframes, hierarchy;
        uint32_t row2, row3, row4;
    } cases[] = {{7, 2, 181, 256, 348}, {3, 1, 181, 348, 348}, {3, 0, 348, 348, 348}};
    for (auto &c : cases) {
        lambda_tables lt = lambdas_for(validated_config(RC_MODE_CQP, c.bframes, c.hierarchy));
        EXPECT_EQ(lt.sse[2][12], c.row2) << c.hierarchy;
        EXPECT_EQ(lt.sse[3][12], c.row3) << c.hierarchy;
        EXPECT_EQ(lt.sse[4][12], c.row4) << c.hierarchy;
    }
    lambda_tables lt = lambdas_for(validated_config(RC_MODE_CQP, 3, 0));
    EXPECT_EQ(memcmp(lt.sse[2], lt.sse[4], sizeof(lt.sse[2])), 0);
    EXPECT_EQ(memcmp(lt.satd[3], lt.satd[4], sizeof(lt.satd[3])), 0);
}

TEST(LambdaTables, BMultiplierStepsFromTwoToFour)
{
    lambda_tables lt = lambdas_for(validated_config());
    // Row 3 (factor 0.5) is m x 8 x 2^(qp/3): m 2 below QP 30, 3 for 30..35, 4 from 36.
    for (int qp = 0; qp < 64; qp++) {
        int m = qp < 30 ? 2 : (qp < 36 ? 3 : 4);
        double want = 0.5 * m * 16.0 * std::pow(2.0, qp / 3.0);
        EXPECT_NEAR(lt.sse[3][qp], want, 0.5 + 1e-6 * want) << qp;
    }
}

TEST(LambdaTables, BitrateModesShareOneRow)
{
    for (int32_t mode : {RC_MODE_ABR, RC_MODE_CBR, RC_MODE_CRF}) {
        lambda_tables lt = lambdas_for(validated_config(mode));
        EXPECT_EQ(lt.sse[0][12], 161u);
        EXPECT_EQ(lt.satd[0][12], 1u);
        EXPECT_EQ(lt.sse[0][32], 17379u);
        EXPECT_EQ(lt.satd[0][32], 10u);
        for (int row = 1; row < LAMBDA_ROWS; row++) {
            EXPECT_EQ(memcmp(lt.sse[row], lt.sse[0], sizeof(lt.sse[0])), 0) << row;
            EXPECT_EQ(memcmp(lt.satd[row], lt.satd[0], sizeof(lt.satd[0])), 0) << row;
        }
    }
}

// Motion-vector costs.

void expect_cost_bands(const uint16_t *t, int32_t reach, int32_t c0, int32_t c1, int32_t v, int32_t two_l)
{
    EXPECT_EQ(t[0], c0);
    EXPECT_EQ(t[1], c1);
    EXPECT_EQ(t[-1], c1);
    int32_t cost = v;
    for (int32_t lo = 2; lo <= 4 * reach; lo *= 2, cost += two_l)
        for (int32_t d = lo; d < 2 * lo && d <= 4 * reach; d++) {
            ASSERT_EQ(t[d], cost) << "d " << d;
            ASSERT_EQ(t[-d], cost) << "d " << -d;
        }
}

TEST(MvCostTable, ExampleWithLambdaSeven)
{
    internal_config cfg = validated_config();  // constant QP, hierarchy 2
    rd_owner o;
    for (int row = 0; row < LAMBDA_ROWS; row++) o.rd.lambda.satd[row][30] = 7;
    ASSERT_EQ(mv_cost_table_init(&o.rd, &cfg, 30), 0);
    const uint16_t *t0 = o.rd.mv_cost.slot[30 * 4];
    ASSERT_NE(t0, nullptr);
    EXPECT_EQ(t0[0], 5);
    EXPECT_EQ(t0[1], 11);
    EXPECT_EQ(t0[-3], 28);
    EXPECT_EQ(t0[7], 42);
    EXPECT_EQ(t0[-8], 56);
    EXPECT_EQ(t0[15], 56);
    EXPECT_EQ(o.rd.mv_cost.reach, 816);   // vectors from -500 to 248 samples across, plus 68
    expect_cost_bands(t0, 816, 5, 11, 28, 14);
    // Higher levels weigh the zero difference at half lambda: c0 4, c1 2.
    for (int level = 1; level < 4; level++) {
        const uint16_t *t = o.rd.mv_cost.slot[30 * 4 + level];
        ASSERT_NE(t, nullptr) << level;
        EXPECT_NE(t, t0);
        expect_cost_bands(t, 816, 4, 12, 29, 14);
    }
}

TEST(MvCostTable, LevelsUseTheirOwnLambdaRows)
{
    internal_config cfg = validated_config();
    rd_owner o;
    lambda_tables_init(&o.rd.lambda, &cfg);
    ASSERT_EQ(mv_cost_table_init(&o.rd, &cfg, 40), 0);
    for (int level = 0; level < 4; level++) {
        int32_t l = o.rd.lambda.satd[level + 1][40];
        int32_t c0 = (int32_t)((float)l * (level == 0 ? 0.653f : 0.5f) + 0.5f);
        int32_t c1 = (int32_t)((float)l * 0.347f + 0.5f);
        const uint16_t *t = o.rd.mv_cost.slot[40 * 4 + level];
        EXPECT_EQ(t[0], c0) << level;
        EXPECT_EQ(t[-1], c1 - c0 + 2 * l) << level;
        EXPECT_EQ(t[2], 5 * l - c1 - c0) << level;
        EXPECT_EQ(t[4 * 624], 5 * l - c1 - c0 + 2 * l * 10) << level;  // 2496 lies in [2048, 4096)
    }
}

TEST(MvCostTable, ShallowPyramidBuildsFewerTables)
{
    internal_config cfg = validated_config(RC_MODE_CQP, 3, 0);
    rd_owner o;
    lambda_tables_init(&o.rd.lambda, &cfg);
    ASSERT_EQ(mv_cost_table_init(&o.rd, &cfg, 20), 0);
    EXPECT_NE(o.rd.mv_cost.slot[80], nullptr);
    EXPECT_NE(o.rd.mv_cost.slot[81], nullptr);
    EXPECT_NE(o.rd.mv_cost.slot[81], o.rd.mv_cost.slot[80]);
    EXPECT_EQ(o.rd.mv_cost.slot[82], nullptr);
    EXPECT_EQ(o.rd.mv_cost.slot[83], nullptr);
}

TEST(MvCostTable, BitrateModesShareOneTablePerQp)
{
    internal_config cfg = validated_config(RC_MODE_ABR);  // hierarchy 2
    rd_owner o;
    lambda_tables_init(&o.rd.lambda, &cfg);
    ASSERT_EQ(mv_cost_table_init(&o.rd, &cfg, 26), 0);
    const uint16_t *t0 = o.rd.mv_cost.slot[26 * 4];
    ASSERT_NE(t0, nullptr);
    for (int level = 1; level < 4; level++) EXPECT_EQ(o.rd.mv_cost.slot[26 * 4 + level], t0) << level;
}

TEST(MvCostTable, SecondBuildOfAQpKeepsTheFirst)
{
    internal_config cfg = validated_config();
    rd_owner o;
    lambda_tables_init(&o.rd.lambda, &cfg);
    ASSERT_EQ(mv_cost_table_init(&o.rd, &cfg, 33), 0);
    const uint16_t *first = o.rd.mv_cost.slot[33 * 4];
    ASSERT_EQ(mv_cost_table_init(&o.rd, &cfg, 33), 0);
    EXPECT_EQ(o.rd.mv_cost.slot[33 * 4], first);
    EXPECT_EQ(mv_cost_table_init(&o.rd, &cfg, 52), -1);
    EXPECT_EQ(mv_cost_table_init(&o.rd, &cfg, -1), -1);
}

TEST(MvCostTable, ReachCoversAWidenedVerticalMargin)
{
    internal_config cfg = validated_config();
    cfg.mv_margin_v = 120;
    rd_owner o;
    lambda_tables_init(&o.rd.lambda, &cfg);
    ASSERT_EQ(mv_cost_table_init(&o.rd, &cfg, 30), 0);
    // Quarter-sample vectors span -2000 .. 4 x 120 + 3 down and further across.
    EXPECT_GE(4 * o.rd.mv_cost.reach, 2000 + 4 * 120 + 3);
    EXPECT_GE(4 * o.rd.mv_cost.reach, 2000 + 4 * config_mv_reach_right(&cfg) + 3);
}

// The whole set an opening encoder builds.

TEST(RdTables, QpRangeDecidesWhichMvTablesExist)
{
    internal_config cfg = validated_config();
    cfg.qp_min = 20;
    cfg.qp_max = 40;
    rd_owner o;
    ASSERT_EQ(rd_tables_init(&o.rd, &cfg, nullptr), 0);
    for (int qp = 0; qp < MV_COST_QPS; qp++) {
        bool built = qp == 12 || (qp >= 20 && qp <= 40);
        EXPECT_EQ(o.rd.mv_cost.slot[qp * 4] != nullptr, built) << qp;
    }
    internal_config dflt = validated_config();  // 10..51
    rd_owner d;
    ASSERT_EQ(rd_tables_init(&d.rd, &dflt, nullptr), 0);
    for (int qp = 0; qp < MV_COST_QPS; qp++) EXPECT_EQ(d.rd.mv_cost.slot[qp * 4] != nullptr, qp >= 10) << qp;
}

TEST(RdTables, FreeClearsEverySlot)
{
    internal_config cfg = validated_config();
    rd_owner o;
    ASSERT_EQ(rd_tables_init(&o.rd, &cfg, nullptr), 0);
    mv_cost_tables_free(&o.rd);
    for (int i = 0; i < MV_COST_QPS * MV_COST_LEVELS; i++) ASSERT_EQ(o.rd.mv_cost.slot[i], nullptr) << i;
    mv_cost_tables_free(&o.rd);  // twice is harmless
}

TEST(RdTables, ChromaWeightDoublesFromLevelThree)
{
    for (int32_t level = 0; level < 8; level++) {
        internal_config cfg = validated_config();
        cfg.complexity = level;
        rd_tables rd;
        memset(&rd, 0, sizeof(rd));
        chroma_dist_weight_select(&rd, &cfg);
        ASSERT_NE(rd.chroma_dist_weight, nullptr);
        for (int qp = 0; qp < CHROMA_WEIGHT_QPS; qp++)
            ASSERT_EQ(rd.chroma_dist_weight[qp], level < 3 ? 256 : 512) << level << " " << qp;
    }
}

TEST(RdTables, RoundingOffsetsDefaultOrFollowThePreviousLayer)
{
    rd_tables first, second;
    memset(&first, 0, sizeof(first));
    memset(&second, 0, sizeof(second));
    EXPECT_EQ(quant_rounding_init(&first, nullptr), 0);
    EXPECT_EQ(first.quant_round_intra, 171);
    EXPECT_EQ(first.quant_round_inter, 85);
    first.quant_round_intra = 100;
    first.quant_round_inter = 50;
    EXPECT_EQ(quant_rounding_init(&second, &first), 0);
    EXPECT_EQ(second.quant_round_intra, 100);
    EXPECT_EQ(second.quant_round_inter, 50);
}

TEST(RdTables, TwoEncodersKeepTheirOwnTables)
{
    internal_config cqp = validated_config(RC_MODE_CQP);
    cqp.complexity = 1;
    internal_config abr = validated_config(RC_MODE_ABR);
    rd_owner a, b;
    ASSERT_EQ(rd_tables_init(&a.rd, &cqp, nullptr), 0);
    lambda_tables a_lambda = a.rd.lambda;
    uint16_t a_cost = a.rd.mv_cost.slot[30 * 4][40];
    ASSERT_EQ(rd_tables_init(&b.rd, &abr, nullptr), 0);
    EXPECT_EQ(memcmp(&a.rd.lambda, &a_lambda, sizeof(a_lambda)), 0);
    EXPECT_EQ(a.rd.mv_cost.slot[30 * 4][40], a_cost);
    EXPECT_EQ(a.rd.chroma_dist_weight[30], 256);
    EXPECT_EQ(b.rd.chroma_dist_weight[30], 512);
    EXPECT_NE(a.rd.lambda.sse[0][30], b.rd.lambda.sse[0][30]);
    EXPECT_NE(a.rd.mv_cost.block[30], b.rd.mv_cost.block[30]);
}

}  // namespace
