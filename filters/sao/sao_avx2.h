// The fixed-size AVX2 block kernels of SAO application. Each covers a whole
// 64x64 (luma) or 32x32 (chroma) CTB: destination first, deblocked source
// second, one row stride shared by both; no alignment is needed. They write
// exactly the N x N destination block, rows top to bottom, loading the source
// rows a row needs before storing it, so the source may lie 4 rows below and
// 32 samples right of the destination in one buffer (not in place).
//
// Edge kernels read the five signed bytes of an edge table (entry 2 unused)
// and the source ring the class needs; every sample gets clip(p + entry).
// Band kernels read eight unsigned bytes: the add parts of the four bands
// from band_position (taken modulo 32), then their subtract parts; a sample
// of band k becomes clip(p + add[k] - sub[k]). Call them only where the AVX2
// set is installed.
#pragma once
#include <cstdint>

void sao_apply_eo_hor_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride);
void sao_apply_eo_ver_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride);
void sao_apply_eo_diag135_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride);
void sao_apply_eo_diag45_64x64_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride);
void sao_apply_eo_hor_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride);
void sao_apply_eo_ver_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride);
void sao_apply_eo_diag135_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride);
void sao_apply_eo_diag45_32x32_avx2(uint8_t *dst, const uint8_t *src, const int8_t *table, uint32_t stride);
void sao_apply_bo_64x64_avx2(uint8_t *dst, const uint8_t *src, const uint8_t *parts, uint32_t band_position,
                             uint32_t stride);
void sao_apply_bo_32x32_avx2(uint8_t *dst, const uint8_t *src, const uint8_t *parts, uint32_t band_position,
                             uint32_t stride);
void sao_apply_copy_64x64_avx2(uint8_t *dst, const uint8_t *src, uint32_t stride);
void sao_apply_copy_32x32_avx2(uint8_t *dst, const uint8_t *src, uint32_t stride);
