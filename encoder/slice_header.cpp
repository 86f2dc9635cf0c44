#include "encoder/slice_header.h"

enum { nal_idr_w_radl = 19 };

static void put_flag(bit_writer *bw, int32_t flag)
{
    bitwriter_put_bits(bw, 1, flag ? 1u : 0u);
}

static void write_ref_idx_override(bit_writer *bw, const slice_header *sh)
{
    const pps_params *pps = sh->pps;
    int b = sh->slice_type == slice_b;
    int differs = sh->num_ref_idx_l0_active != pps->num_ref_idx_l0_default ||
                  (b && sh->num_ref_idx_l1_active != pps->num_ref_idx_l1_default);
    put_flag(bw, differs);   // num_ref_idx_active_override_flag
    if (differs) {
        bitwriter_put_ue(bw, (uint32_t)(sh->num_ref_idx_l0_active - 1));
        if (b)
            bitwriter_put_ue(bw, (uint32_t)(sh->num_ref_idx_l1_active - 1));
    }
    if (b)
        put_flag(bw, 0);     // mvd_l1_zero_flag
}

static void write_collocated(bit_writer *bw, const slice_header *sh)
{
    if (sh->slice_type == slice_b)
        put_flag(bw, sh->collocated_from_l0);
    // A P slice always takes list 0 (the decoder infers collocated_from_l0 = 1).
    int from_l0 = sh->collocated_from_l0 || sh->slice_type == slice_p;
    int count = from_l0 ? sh->num_ref_idx_l0_active : sh->num_ref_idx_l1_active;
    if (count > 1)
        bitwriter_put_ue(bw, 0);   // collocated_ref_idx
}

static int significant_bits(uint32_t v)
{
    int n = 0;
    while (v >> n)
        n++;
    return n;
}

static void write_entry_points(bit_writer *bw, const slice_frame_state *fs)
{
    int rows = fs->ctu_rows;
    bitwriter_put_ue(bw, (uint32_t)(rows - 1));   // num_entry_point_offsets
    if (rows <= 1)
        return;
    uint32_t largest = 0;
    for (int r = 0; r < rows - 1; r++)
        if ((uint32_t)fs->substream_sizes[r] > largest)
            largest = (uint32_t)fs->substream_sizes[r];
    // One bit more than largest - 1 needs, so that compatibility 91, which
    // sends the sizes themselves, fits in the same width.
    int len_minus1 = largest > 1 ? significant_bits(largest - 1) : 0;
    bitwriter_put_ue(bw, (uint32_t)len_minus1);   // offset_len_minus1
    uint32_t minus = fs->compat >= 100 ? 1u : 0u;
    for (int r = 0; r < rows - 1; r++)
        bitwriter_put_bits(bw, len_minus1 + 1, (uint32_t)fs->substream_sizes[r] - minus);
}

void slice_header_write(const slice_frame_state *fs, bit_writer *bw, const slice_header *sh)
{
    const sps_params *sps = sh->sps;
    const pps_params *pps = sh->pps;
    int type = fs->nal_unit_type;
    int intra = sh->slice_type == slice_i;
    put_flag(bw, sh->first_slice_segment_in_pic_flag);
    if (type >= 16 && type <= 21)
        put_flag(bw, 0);   // no_output_of_prior_pics_flag
    bitwriter_put_ue(bw, (uint32_t)pps->pps_id);
    bitwriter_put_ue(bw, (uint32_t)sh->slice_type);
    if (type != nal_idr_w_radl) {
        uint32_t mask = (1u << sps->log2_max_poc_lsb) - 1u;
        bitwriter_put_bits(bw, sps->log2_max_poc_lsb, (uint32_t)sh->poc & mask);
        put_flag(bw, 0);   // short_term_ref_pic_set_sps_flag
        write_short_term_rps(bw, fs->rps);
        if (fs->compat >= 100 && sps->temporal_mvp_enabled)
            put_flag(bw, 1);   // slice_temporal_mvp_enabled_flag
    }
    if (fs->compat < 100 && sps->temporal_mvp_enabled && !intra)
        put_flag(bw, 1);       // the earlier layout's position of the same flag
    if (sps->sao_enabled) {
        put_flag(bw, sh->sao_flags & 1);
        put_flag(bw, sh->sao_flags & 2);
    }
    if (!intra)
        write_ref_idx_override(bw, sh);
    if (pps->cabac_init_present && !intra)
        put_flag(bw, 0);       // cabac_init_flag
    if (sps->temporal_mvp_enabled && !intra)
        write_collocated(bw, sh);
    if (!intra)
        bitwriter_put_ue(bw, (uint32_t)(5 - sh->max_num_merge_cand));
    bitwriter_put_se(bw, sh->slice_qp_delta);
    if (pps->entropy_coding_sync)
        write_entry_points(bw, fs);
    // byte_alignment(): a one bit, then zero bits to the byte boundary
    put_flag(bw, 1);
    bitwriter_put_bits(bw, bw->free_bits % 8, 0);
}
