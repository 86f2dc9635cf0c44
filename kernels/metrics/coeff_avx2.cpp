// AVX2 forms of the coefficient kernels (with BMI2 and POPCNT): the non-zero
// count by compare-and-count over whole vectors, and the per-group scan summary
// one 4x4 group per pass, without a branch per coefficient.
#include <immintrin.h>

#include "kernels/metrics/metric.h"

// Number of zero levels among 16 * pieces levels: pairs of 16-level vectors
// are packed to bytes with saturation (a non-zero level stays non-zero), and
// the zero bytes counted from the comparison mask.
static uint32_t count_zero_levels(const int16_t *coeff, int pieces)
{
    __m256i z = _mm256_setzero_si256();
    uint32_t zeros = 0;
    for (int i = 0; i < pieces; i += 2) {
        __m256i v0 = _mm256_loadu_si256((const __m256i *)(coeff + 16 * i));
        __m256i v1 = _mm256_loadu_si256((const __m256i *)(coeff + 16 * i + 16));
        __m256i bytes = _mm256_packs_epi16(v0, v1);
        zeros += (uint32_t)_mm_popcnt_u32((uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, z)));
    }
    return zeros;
}

static uint32_t count_nonzero_coeffs_4x4_avx2(const int16_t *coeff)
{
    __m256i v = _mm256_loadu_si256((const __m256i *)coeff);
    uint32_t zero_bytes = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi16(v, _mm256_setzero_si256()));
    return 16 - ((uint32_t)_mm_popcnt_u32(zero_bytes) >> 1);
}

static uint32_t count_nonzero_coeffs_8x8_avx2(const int16_t *coeff) { return 64 - count_zero_levels(coeff, 4); }
static uint32_t count_nonzero_coeffs_16x16_avx2(const int16_t *coeff) { return 256 - count_zero_levels(coeff, 16); }
static uint32_t count_nonzero_coeffs_32x32_avx2(const int16_t *coeff) { return 1024 - count_zero_levels(coeff, 64); }

// Callers pass log2n 2..5; any other size takes the portable count so that the
// two forms agree everywhere.
uint32_t count_nonzero_coeffs_avx2(const int16_t *coeff, int log2n)
{
    switch (log2n) {
    case 2: return count_nonzero_coeffs_4x4_avx2(coeff);
    case 3: return count_nonzero_coeffs_8x8_avx2(coeff);
    case 4: return count_nonzero_coeffs_16x16_avx2(coeff);
    case 5: return count_nonzero_coeffs_32x32_avx2(coeff);
    default: return count_nonzero_coeffs_c(coeff, log2n);
    }
}

enum { COEFF_GROUPS_MAX = 64 };

// The 16 levels of the 4x4 group whose top-left raster position is pos, as
// signed bytes in raster order inside the group (saturation keeps non-zero
// levels non-zero and keeps their signs).
static inline __m128i load_group(const int16_t *coeff, int pos, int stride)
{
    const int16_t *p = coeff + pos;
    __m128i r01 = _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i *)p),
                                     _mm_loadl_epi64((const __m128i *)(p + stride)));
    __m128i r23 = _mm_unpacklo_epi64(_mm_loadl_epi64((const __m128i *)(p + 2 * stride)),
                                     _mm_loadl_epi64((const __m128i *)(p + 3 * stride)));
    return _mm_packs_epi16(r01, r23);
}

// Walks the groups in scan order until num_nonzero levels are seen. Each group
// is read by its top-left position and reordered by the 4x4 scan of the same
// kind: bit i of the forward masks is scan position i of the group; the
// significance mask takes position i to bit 15 - i. The walk stops inside the
// last group at its num_nonzero-th level, as the portable walk does, and is
// bounded by the block. The arrays are cleared first, as in the portable form.
int scan_coeff_groups_avx(const uint16_t *scan, const int16_t *coeff, uint16_t *sign, uint16_t *sig,
                          uint8_t *count, int num_nonzero, const uint16_t *group_scan, int stride)
{
    if (!group_scan || num_nonzero < 1 || (stride != 4 && stride != 8 && stride != 16 && stride != 32))
        return scan_coeff_groups_c(scan, coeff, sign, sig, count, num_nonzero, group_scan, stride);
    // Cleared with vector stores: the compiler's string stores for these
    // small fixed sizes start slowly.
    static_assert(COEFF_GROUPS_MAX == 64, "four vectors of masks and two of counts");
    const __m256i zero = _mm256_setzero_si256();
    __m256i *sign_v = (__m256i *)sign, *sig_v = (__m256i *)sig, *count_v = (__m256i *)count;
    _mm256_storeu_si256(sign_v, zero);
    _mm256_storeu_si256(sign_v + 1, zero);
    _mm256_storeu_si256(sign_v + 2, zero);
    _mm256_storeu_si256(sign_v + 3, zero);
    _mm256_storeu_si256(sig_v, zero);
    _mm256_storeu_si256(sig_v + 1, zero);
    _mm256_storeu_si256(sig_v + 2, zero);
    _mm256_storeu_si256(sig_v + 3, zero);
    _mm256_storeu_si256(count_v, zero);
    _mm256_storeu_si256(count_v + 1, zero);
    // Byte shuffles: scan position i of a group reads raster index
    // group_scan[i] (0 .. 15, packed to bytes); the reversed one puts scan
    // position 15 - i into byte i.
    const __m256i order = _mm256_loadu_si256((const __m256i *)group_scan);
    __m128i fwd = _mm_packus_epi16(_mm256_castsi256_si128(order), _mm256_extracti128_si256(order, 1));
    __m128i rev = _mm_shuffle_epi8(fwd, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
    __m128i z = _mm_setzero_si128();
    int groups = stride * stride / 16;
    uint32_t remaining = (uint32_t)num_nonzero;
    for (int g = 0; g < groups; g++) {
        __m128i levels = load_group(coeff, scan[16 * g], stride);
        __m128i in_scan = _mm_shuffle_epi8(levels, fwd);
        uint32_t nz = ~(uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(in_scan, z)) & 0xffff;
        uint32_t neg = (uint32_t)_mm_movemask_epi8(in_scan);
        uint32_t nz_rev = ~(uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_shuffle_epi8(levels, rev), z)) & 0xffff;
        uint32_t n = (uint32_t)_mm_popcnt_u32(nz);
        if (n >= remaining) {
            // The remaining-th non-zero level of the group ends the walk at position p.
            uint32_t p = (uint32_t)__builtin_ctz(_pdep_u32(1u << (remaining - 1), nz));
            uint32_t keep = (2u << p) - 1;
            sign[g] = (uint16_t)_pext_u32(neg, nz & keep);
            sig[g] = (uint16_t)(nz_rev >> (15 - p));
            count[g] = (uint8_t)remaining;
            return 16 * g + (int)p;
        }
        sign[g] = (uint16_t)_pext_u32(neg, nz);
        sig[g] = (uint16_t)nz_rev;
        count[g] = (uint8_t)n;
        remaining -= n;
    }
    // More levels asked for than the block holds: the walk ran to its end.
    return groups * 16 - 1;
}
