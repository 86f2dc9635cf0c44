// Records of the CTU search: the decision record of one CU candidate
// (cu_node), the per-CTU search state of a row context, and where both live.
//
// Everything here is carved from the two search work blocks that the CTU
// thread lends the row context whose CTU it codes (ctu_context::search_work[0]
// and [1]), so the encoder, frame instance and row records carry no search state.
#pragma once
#include <cstdint>
#include <cstddef>

#include "analysis/motion/motion_search.h"
#include "bitstream/cabac.h"
#include "bitstream/syntax_writer.h"
#include "encoder/encoder_instance.h"
#include "kernels/intra/intra_ref.h"
#include "kernels/metrics/activity.h"

struct picture;

enum : uint32_t { COST_INFINITE = 0x1fffffffu };

enum { CU_NODE_COUNT = 341 };

// Motion of the single prediction unit of a 2Nx2N inter CU. Vectors pack x in
// the low and y in the high signed 16 bits, quarter samples; a negative
// reference index marks a list the unit does not use (-2 where a decision
// wrote it).
struct pu_motion {
    uint8_t merge_flag;
    uint8_t merge_idx;
    uint32_t mv[2];           // list 0, list 1
    int8_t ref_idx[2];
};

// Motion of the two prediction units of a 2NxN or Nx2N CU; unit 0 is the
// upper or the left one.
struct pu_pair_motion {
    uint8_t merge_flag[2];
    uint8_t merge_idx[2];
    uint32_t mv[2][2];        // [unit][list]
    int8_t ref_idx[2][2];
};

// What the rate-distortion inter decisions keep of their motion searches:
// the best result per list (in P pictures coded as B slices the best and the
// second-best list-0 result), with the AMVP predictors its vector was priced
// against.
struct inter_search_results {
    me_result me_best[2];
    uint32_t amvp[2][2];
    int32_t amvp_count[2];
};

// Decision record of one CU candidate (or of one 4x4 block of an NxN 8x8 CU,
// or of a transform node), in the order of its fields.
struct cu_node {
    uint8_t split;            // 1: four child CUs (at 8x8: the NxN partition)
    uint8_t tu_split;         // transform split at the node
    uint8_t residual_mode;    // 0..3, 3 = no residual
    uint8_t search_mode;      // 0 leaf only, 1 leaf and split, 2 split only
    uint8_t leaf_first;
    uint8_t node_cbf;         // coded-block flags of the leaf coding
    uint8_t intra_cbf;        // coded-block flags of the chosen intra coding
    uint8_t shortcut_taken;   // decided by a shortcut: the no-split tests are skipped
    uint32_t part_mode;
    uint32_t state_stale;     // live state is not that of the chosen leaf candidate
    int32_t intra_score;      // 128 x mean lookahead intra class of the area
    uint8_t tu_saved;
    uint8_t pad[3];
    uint32_t refined_cost;
    // Rough costs of the 35 luma modes in intra decisions; the motion search
    // results in the inter decisions.
    union {
        uint32_t mode_rough_cost[INTRA_MODE_COUNT];
        inter_search_results motion;
    };
    uint32_t chroma_rough_cost[5];   // the 20-byte candidate area
    uint32_t intra_rough_cost;
    uint32_t intra_cost;
    uint32_t tu_cost;
    // Working area of the inter decisions: search record 2p + l holds
    // prediction unit p and list l of a two-unit partition.
    me_result pu_search[4];
    uint32_t best_skip_cost;
    uint32_t best_merge_cost;        // merge with residual
    uint32_t motion_cost;            // rough cost of the best inter candidate
    uint32_t leaf_cost;
    uint32_t split_flag0_cost;
    uint32_t split_flag1_cost;
    uint32_t skip_flag;
    int32_t skip_merge_idx;
    pu_motion pu_2nx2n;
    pu_pair_motion pu_2nxn;
    pu_pair_motion pu_nx2n;
    int32_t intra_mode_hint;
    // The tail block: copied as one into children coded as transform nodes.
    int32_t qp;
    uint32_t lambda_satd;
    uint32_t lambda_sse;
    int32_t pred_mode;        // 1 intra, otherwise inter
    int32_t intra_mode;       // 0..34, -1 not decided
    int32_t intra_mode2;
    int32_t chroma_mode;      // 0..3 explicit, 4 derived from luma
    uint32_t extra;
};

enum { CU_NODE_TAIL_WORDS = 8 };

// One save slot of cu_state_save for CUs of depth d (size 64 >> d).
struct cu_state_slot {
    uint8_t *luma;            // size rows of 128 bytes
    uint8_t *chroma;          // size/2 rows of 128 bytes (Cb | Cr)
    int16_t *coeff[3];        // levels of Y (size^2), Cb and Cr (size^2 / 4)
    cabac_rate_state rate;
};

// Transform decisions of one CU subtree, per CU depth (0..4).
struct tu_decision_layer {
    uint8_t tu_split[CU_NODE_COUNT];
    uint8_t residual_mode[CU_NODE_COUNT];
    uint8_t cbf[CU_NODE_COUNT];
};

enum { COARSE_SCRATCH_STRIDE = 128, COARSE_SCRATCH_ROWS = 72 };

// Record of the coarse motion search of one row context: the half-resolution
// source block of the CTU, the best coarse result and the search unit, the
// motion-search context of the half-resolution planes, the pictures in use.
// I slices use only its scratch area, where the half-resolution intra
// pre-search predicts.
struct coarse_search_context {
    uint8_t source_block[32 * 64];   // 32x32, stride 64
    me_result best;
    pu_desc pu;
    me_context me;
    const picture *reference;
    const picture *source;
    uint8_t scratch[COARSE_SCRATCH_ROWS * COARSE_SCRATCH_STRIDE];
};

// Predictions of an inter CU kept while its transform tree is searched: the
// coding of a transform node overwrites its part of the prediction with the
// reconstruction. Luma rows of 64; chroma rows of 64 with Cb in columns 0..31
// and Cr in 32..63.
struct prediction_save_area {
    uint8_t luma[64 * 64];
    uint8_t chroma[32 * 64];
    int32_t x, y;             // the CU's position in the CTU
};

// Per-CTU state of the search of one row context.
struct mode_search_state {
    // per-CTU values
    int32_t ctu_qp;
    uint32_t lambda_satd;
    uint32_t lambda_sse;
    int32_t speed_level;
    int32_t min_split_depth;
    int32_t max_split_depth;
    int32_t use_rdoq_alt;
    int32_t luma_full_transform;
    int32_t chroma_full_transform;
    int32_t intra_ref_refresh;
    int32_t pick_mode;        // 0 zero-latency, 1 low-delay, 9 otherwise
    int32_t intra_rd_check;   // NxN partitions of 8x8 CUs are tried
    int32_t intra_presearch;
    int32_t coarse_search;    // P and B CUs of 16x16 and larger search at half resolution
    int32_t split_limit_off;
    int32_t slice_class;      // 0 B, 1 P, 2 I
    int32_t rd_extra_weight;         // 0..128, strength of the texture weights; 0 leaves them unused
    int64_t intra_keep_bias;  // added to the intra no-split thresholds
    // inter decisions of P and B slices
    int32_t inter_search_level;      // 1 at complexity 0..3, 2 above
    int32_t subpel_planes;           // references carry sub-sample planes
    int32_t fast_merge_mc;           // bilinear previews of merge candidates
    int32_t inter_intra;             // intra candidates in P-slice CUs
    int32_t gpb;                     // a P picture coded with B slices
    int32_t intra_rd_flag;           // the last intra trial was priced by full cost
    int32_t merge_residual_tried;
    uint32_t cu_last_distortion;     // of the last rd_cu_cost
    int32_t bipred_8bit_flag;        // bi-prediction rounds each list to 8 bits
    uint32_t neighbour_cost_sum[4];  // per depth, from the similar neighbour CTUs
    uint8_t neighbour_cost_count[4];
    const uint16_t *chroma_weight;   // per-QP chroma distortion weight, 8 fractional bits
    uint16_t quant_round[2];  // P/B, I
    // records
    cu_node *tree;
    int16_t *tu_coeffs[3];    // luma 4096, Cb 1024, Cr 1024, z-placed
    int16_t *tu_levels[3];    // the CTU context's levels, which the syntax writer reads
    cu_state_slot slots[4];
    coarse_search_context *coarse;
    me_context *me;
    prediction_save_area *pred_save;
    tu_decision_layer layers[5];
    cabac_rate_state depth_save_slot[5];
    cabac_rate_state search_cabac_save;
    // Transform-tree search, per transform depth: before the node was priced
    // (A) and after its leaf was priced (B).
    cabac_rate_state tu_save_a[5];
    cabac_rate_state tu_save_b[5];
    intra_ref_area ref_area;
    int32_t dist_weight_map[256];    // per 4x4 unit of the CTU, raster order
    ctu_activity_maps activity;
};

// The state of a context; valid once mode_search_state_init has run on it.
static inline mode_search_state *search_state(row_context *ctx)
{
    return (mode_search_state *)ctx->ctu.search_work[1];
}

// Carves the records out of the context's search work blocks (idempotent).
void mode_search_state_init(row_context *ctx);

// Node index of the block of log2 size L (2..6) whose first 4x4 unit is z.
static inline int32_t node_index(int32_t z, int32_t log2_size)
{
    static const int32_t base[5] = {0, 1, 5, 21, 85};
    return base[6 - log2_size] + (z >> (2 * (log2_size - 2)));
}

// Index of 4x4 unit z in the per-4x4 maps (rows of 32, CTU at rows 1..16,
// columns 16..31), and of the chroma mode entry of 8x8 unit z8 (rows 1..8,
// columns 0..7): the writer's tables, read in place.
static inline int32_t map4_index(int32_t z)
{
    return zorder_to_map4[z & 255];
}
// A luma mode read from the signed intra-mode map: only 0..34 index the
// predictor tables; an unset entry (negative) or any stray value predicts DC.
static inline int32_t intra_mode_entry(int8_t v)
{
    return v >= 0 && v <= INTRA_MODE_LAST ? v : 1;
}
// A chroma mode code read from the map: 0..3 explicit, anything else derived.
static inline int32_t chroma_code_entry(int8_t v)
{
    return v >= 0 && v < chroma_mode_from_luma ? v : chroma_mode_from_luma;
}
static inline int32_t chroma_map_index(int32_t z8)
{
    return zorder_to_map4[256 + (z8 & 63)];
}
