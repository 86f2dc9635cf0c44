// slice_segment_header() of the one slice of a picture. It is written after
// all CTUs are coded because with wavefront coding it carries the byte sizes
// of the row substreams as entry points.
#pragma once
#include <cstdint>
#include "bitstream/bit_writer.h"
#include "bitstream/param_sets.h"
#include "bitstream/rps.h"
#include "bitstream/syntax_values.h"

struct slice_header {
    const sps_params *sps;
    const pps_params *pps;
    int32_t slice_type;             // 0 B, 1 P, 2 I
    uint32_t sao_flags;             // bit 0 luma, bit 1 chroma
    int32_t irap_count;             // IDR and CRA pictures so far (not written)
    int32_t poc;
    int32_t num_ref_idx_l0_active;
    int32_t num_ref_idx_l1_active;
    int32_t max_num_merge_cand;     // 1..5
    int32_t cabac_init_flag;        // 0; for the context initialisation only
    int32_t first_slice_segment_in_pic_flag;
    int32_t slice_qp;
    int32_t slice_qp_delta;         // slice_qp - init_qp of the PPS
    int32_t collocated_from_l0;
};

// What the header reads of the frame instance besides the slice record.
struct slice_frame_state {
    int32_t nal_unit_type;
    int32_t compat;                 // 91, 100 or 120
    int32_t ctu_rows;
    const int32_t *substream_sizes; // bytes per CTU row (compat 120: with emulation prevention)
    const short_term_rps *rps;
};

// Writes the header ending with byte_alignment(); the last bits stay pending
// in the writer (bitwriter_flush stores them).
void slice_header_write(const slice_frame_state *fs, bit_writer *bw, const slice_header *sh);
