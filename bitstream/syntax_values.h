// Values the slice and coding-unit syntax give meaning to, shared by the
// writer, the searches, the filters and rate control.
#pragma once
#include <cstdint>

// slice_type of the slice header; the same numbers name a picture's slice
// class in the searches and in rate control.
constexpr int32_t slice_b = 0, slice_p = 1, slice_i = 2;

// The intra_chroma_pred_mode index that takes the luma mode; 0..3 are the
// explicit candidates.
constexpr int32_t chroma_mode_from_luma = 4;

// The largest QP of 8-bit video; per-QP tables hold QP_MAX + 1 entries.
constexpr int32_t QP_MAX = 51;
