// Per-CTU set-up of the search: QP and lambdas from rate control, the depth
// range of the quad-tree from the depths coded around the CTU, and the
// per-encoder switches the decisions read.
#include "analysis/mode_search.h"
#include "encoder/int_math.h"

namespace {

struct weight_tables {
    uint16_t w256[58];
    uint16_t w512[58];
    weight_tables()
    {
        for (int i = 0; i < 58; i++) {
            w256[i] = 256;
            w512[i] = 512;
        }
    }
};
const weight_tables chroma_weights;

}  // namespace

int32_t split_depth_from_neighbours(int32_t n, int32_t deep, int32_t m, int32_t speed_level)
{
    if (n == 0) return 0;
    if (n == 1) return m - 1;
    if (n == 2) return m;
    int32_t threshold = (n == 4 && speed_level < 4) ? 2 : n - 1;
    if (deep >= threshold && m < 2) return m + 1;
    if (deep < 2 && m > 1) return m - 1;
    return m;
}

namespace {

// QP and lambdas of the CTU from rate control.
void ctu_qp_setup(row_context *ctx, mode_search_state *st)
{
    rc_ctu_qp(&ctx->rcc);
    st->ctu_qp = ctx->rcc.ctu_qp;
    // Without QP deltas a decoder codes every CU at the slice QP, whatever
    // rate control asked for the CTU.
    if (!ctx->enc->pps.cu_qp_delta_enabled) st->ctu_qp = clamp_i32(ctx->fi->pic.sh.slice_qp, 0, QP_MAX);
    st->lambda_satd = ctx->rcc.lambda_satd;
    st->lambda_sse = ctx->rcc.lambda_sse;
    ctx->ctu.qp = st->ctu_qp;
}

// The per-encoder switches the decisions read.
void search_switches_setup(const internal_config *cfg, mode_search_state *st)
{
    st->pick_mode = cfg->latency_mode == LATENCY_ZERO ? 0 : (cfg->latency_mode == LATENCY_LOW_DELAY ? 1 : 9);
    st->intra_rd_check = cfg->intra_flag_a;
    st->intra_presearch = cfg->halfres_intra;
    st->coarse_search = cfg->coarse_me;
    st->split_limit_off = cfg->early_split_level;
    st->chroma_weight = config_doubles_chroma_weight(cfg) ? chroma_weights.w512 : chroma_weights.w256;
    st->quant_round[0] = QUANT_ROUND_INTER;
    st->quant_round[1] = QUANT_ROUND_INTRA;
}

// The depths coded around the CTU: how many neighbours were looked at, how
// many of them went deep, and the least minimum depth among them.
struct neighbour_depths {
    int32_t n, deep, m;
};

void depths_add(neighbour_depths *d, bool deep, int32_t min_depth)
{
    d->n++;
    d->deep += deep;
    if (min_depth < d->m) d->m = min_depth;
}

// Left and above CTUs of this picture, co-located CTUs of the first
// reference of each list.
void neighbour_depths_gather(row_context *ctx, int32_t speed_level, neighbour_depths *d)
{
    const ctu_context *c = &ctx->ctu;
    const ctu_picture_tables *t = &ctx->fi->tables;
    int32_t a = c->address;
    int32_t deep_limit = speed_level >= 4 ? 1 : 0;
    if (c->x > 0) depths_add(d, t->ctu_depth_max[a - 1] > deep_limit, t->ctu_depth_min[a - 1]);
    int32_t above = a - ctx->enc->ctu_cols;
    if (c->y > 0) depths_add(d, t->ctu_depth_max[above] > deep_limit, t->ctu_depth_min[above]);
    for (int32_t l = 0; l < 2 && ctx->fi->pic.sh.slice_type != slice_i; l++) {
        int32_t count = l == 0 ? ctx->fi->pic.ref_count_l0 : ctx->fi->pic.ref_count_l1;
        const picture *r = count > 0 ? (l == 0 ? ctx->fi->pic.list0[0] : ctx->fi->pic.list1[0]) : nullptr;
        if (!r || !r->ctu_max_depth) continue;
        depths_add(d, r->ctu_max_depth[a] > 1, r->ctu_min_depth[a]);
    }
}

// A CTU coded at a faster speed step searches fewer depths and modes.
void speed_step_limits(const ctu_context *c, mode_search_state *st)
{
    if (st->slice_class == slice_i) {
        st->min_split_depth = c->speed_step == 1 ? 2 : 3;
        st->max_split_depth = c->speed_step == 1 ? 4 : 3;
    } else {
        st->min_split_depth = st->min_split_depth + 1 < 2 ? st->min_split_depth + 1 : 2;
    }
    if (st->speed_level > 3) st->speed_level = 3;
    if (st->inter_search_level > 1) st->inter_search_level = 1;
}

// The depth range of the quad-tree from the depths coded around the CTU.
void depth_range_setup(row_context *ctx, mode_search_state *st)
{
    neighbour_depths d = {0, 0, 100};
    neighbour_depths_gather(ctx, st->speed_level, &d);
    int32_t r = split_depth_from_neighbours(d.n, d.deep, d.m, st->speed_level);
    st->min_split_depth = clamp_i32(r - 1, 0, 3);
    st->max_split_depth = 4;
    if (st->slice_class == slice_i) {
        st->min_split_depth = 1;
        st->max_split_depth = 4;
    }
    if (ctx->ctu.speed_step != 0) speed_step_limits(&ctx->ctu, st);
}

}  // namespace

void ctu_search_setup(row_context *ctx)
{
    mode_search_state *st = search_state(ctx);
    ctu_qp_setup(ctx, st);
    st->slice_class = ctx->fi->pic.sh.slice_type;
    search_switches_setup(&ctx->config, st);
    depth_range_setup(ctx, st);
}

int64_t intra_keep_bias_of(int32_t ctu_qp, uint32_t lambda_sse)
{
    // 64 bits: lambda x 100 x 80 passes 32 bits from moderate QPs on.
    return ((int64_t)(80 - ctu_qp / 6) * (int64_t)lambda_sse * 100 + 32768) >> 14;
}

int32_t cu_split_laplacian_test(row_context *ctx, int32_t z, int32_t x, int32_t y, int32_t log2_size)
{
    int32_t size = 1 << log2_size;
    if (size <= 4) return 0;
    int32_t t = ctx->ctu.maps.cu_qp_map[map8_index(z)] >> 1;
    if (t > 25) t = 25;
    const uint8_t *s = ctx->ctu.source_luma;
    int32_t count = 0;
    for (int32_t cy = 2; cy <= size - 4; cy += 2)
        for (int32_t cx = 2; cx <= size - 4; cx += 2) {
            const uint8_t *p = s + (y + cy) * CTU_SOURCE_STRIDE + x + cx;
            int32_t l = p[-2 * CTU_SOURCE_STRIDE] + p[2 * CTU_SOURCE_STRIDE] + p[-2] + p[2] - 4 * p[0];
            if ((l < 0 ? -l : l) > 3 * t) return 1;
            if (l >= t) count++;
        }
    return search_state(ctx)->speed_level > 2 && count >= 9 ? 1 : 0;
}

namespace {

// Leaf costs below which the quad-tree of P and B pictures keeps a CU of depth
// 0..2 whole at speed levels 0 and 1, per QP 0..51. Fixed tuning like the
// skip tables of the inter decision: each column follows A + B * 1.18^QP
// (B about 50, 50 and 31 from 64x64 to 16x16) within rounding.
const int32_t inter_qp_thresholds[QP_MAX + 1][3] = {
    {2947, 466, 28},      {2956, 475, 33},      {2967, 485, 40},      {2979, 498, 48},
    {2994, 513, 57},      {3011, 530, 68},      {3032, 551, 81},      {3057, 575, 96},
    {3085, 604, 114},     {3119, 638, 135},     {3159, 678, 160},     {3207, 725, 190},
    {3262, 780, 225},     {3328, 846, 266},     {3406, 924, 315},     {3498, 1015, 372},
    {3606, 1123, 439},    {3734, 1250, 519},    {3884, 1400, 613},    {4062, 1578, 724},
    {4272, 1787, 855},    {4519, 2034, 1010},   {4811, 2325, 1193},   {5156, 2669, 1408},
    {5563, 3074, 1662},   {6042, 3553, 1962},   {6609, 4118, 2316},   {7277, 4784, 2733},
    {8065, 5570, 3226},   {8996, 6498, 3807},   {10093, 7593, 4493},  {11389, 8885, 5302},
    {12918, 10409, 6257}, {14721, 12208, 7384}, {16850, 14331, 8714}, {19361, 16836, 10283},
    {22325, 19791, 12135}, {25822, 23279, 14320}, {29949, 27395, 16898}, {34818, 32251, 19940},
    {40564, 37981, 23530}, {47344, 44743, 27767}, {55344, 52722, 32765}, {64785, 62137, 38664},
    {75925, 73247, 45624}, {89070, 86356, 53837}, {104581, 101826, 63528}, {122884, 120079, 74964},
    {144482, 141619, 88458}, {169967, 167035, 104381}, {200040, 197027, 123170}, {235526, 232417, 145341},
};

}  // namespace

int32_t inter_qp_threshold(int32_t qp, int32_t depth)
{
    return inter_qp_thresholds[clamp_i32(qp, 0, QP_MAX)][clamp_i32(depth, 0, 2)];
}
