// Fills the deblocking kernel table once at open, and holds the constant
// tables of H.265 that the filtering order reads.
#include "encoder/cpu.h"
#include "filters/deblock/deblock.h"

// beta' by Q = 0..51 (zero below 16).
const uint8_t deblock_beta_table[QP_MAX + 1] = {
    0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  0,  6,  7,
    8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 20, 22, 24, 26, 28, 30, 32,
    34, 36, 38, 40, 42, 44, 46, 48, 50, 52, 54, 56, 58, 60, 62, 64,
};

// tC' by Q = 0..53 (zero below 18).
const uint8_t deblock_tc_table[54] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0,  0,  0,  1,  1,  1,  1,  1,  1,  1,  1,  1,
    2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 5, 5, 6, 6, 7, 8, 9, 10, 11, 13, 14, 16, 18, 20, 22, 24,
};

// QpC by qPi for 4:2:0: qPi below 30, a table for 30..43, qPi - 6 above.
const uint8_t deblock_chroma_qp_table[58] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
    20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 29, 30, 31, 32, 33, 33, 34, 34, 35, 35,
    36, 36, 37, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51,
};

void deblock_table_init(uint32_t cpu_flags, deblock_table *table)
{
    table->luma_ver_edge = deblock_luma_ver_edge_c;
    table->luma_hor_edge = deblock_luma_hor_edge_c;
    table->chroma_ver_edge = deblock_chroma_ver_edge_c;
    table->chroma_hor_edge = deblock_chroma_hor_edge_c;
    // The AVX2-flag kernels use SSSE3 and SSE4.1 instructions (VEX-encoded);
    // install them only where the processor has all of them.
    if (cpu_use_avx2_set(cpu_flags & 0xFF)) {
        table->luma_ver_edge = deblock_luma_ver_edge_avx2;
        table->luma_hor_edge = deblock_luma_hor_edge_avx2;
        table->chroma_ver_edge = deblock_chroma_ver_edge_avx2;
        table->chroma_hor_edge = deblock_chroma_hor_edge_avx2;
    }
}
