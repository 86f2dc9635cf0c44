#include "bitstream/sei.h"

enum { sei_pic_timing = 1, sei_active_parameter_sets = 129 };

void write_sei_active_parameter_sets(bit_writer *bw)
{
    bitwriter_put_bits(bw, 8, sei_active_parameter_sets);
    bitwriter_put_bits(bw, 8, 1);   // payload size
    bitwriter_put_bits(bw, 4, 0);   // active_video_parameter_set_id
    bitwriter_put_bits(bw, 1, 1);   // self_contained_cvs_flag
    bitwriter_put_bits(bw, 1, 1);   // no_parameter_set_update_flag
    bitwriter_put_ue(bw, 0);        // num_sps_ids_minus1
    bitwriter_put_ue(bw, 0);        // active_seq_parameter_set_id[0]
    bitwriter_rbsp_trailing(bw);
}

void write_sei_pic_timing(bit_writer *bw, int32_t field)
{
    bitwriter_put_bits(bw, 8, sei_pic_timing);
    bitwriter_put_bits(bw, 8, 1);
    // Layout for frame_field_info_present_flag = 1 without HRD parameters.
    bitwriter_put_bits(bw, 4, (uint32_t)field & 15);   // pic_struct
    bitwriter_put_bits(bw, 2, field == 0 ? 1u : 0u);   // source_scan_type
    bitwriter_put_bits(bw, 1, 0);                      // duplicate_flag
    // The payload fields take 7 bits; the standard completes the payload with
    // payload_bit_equal_to_one and zero bits, which fills this byte.
    bitwriter_put_bits(bw, 1, 1);
    bitwriter_rbsp_trailing(bw);
}
