// AVX2 angular predictors of 4x4 blocks, modes 3 to 9, 11 to 17, 19 to 25 and
// 27 to 33. Each writes exactly the samples of intra_pred_angular_c for its
// mode at N = 4 (the boundary filter concerns modes 10 and 26 only).
//
// The whole block is one 256-bit vector: 16 reference bytes are loaded once
// and broadcast to both halves, a constant byte shuffle places the two taps of
// every sample side by side (rows 0 and 1 in the low half, rows 2 and 3 in the
// high half; projected samples of negative angles are picked straight from
// the loaded bytes), and a multiply-add with constant weight pairs (32 - f, f)
// followed by a rounding high multiply by 1024 gives (sum + 16) >> 5. The
// shuffle is built for the block's own row order, so horizontal modes need no
// transposition.
#include <immintrin.h>

#include <cstring>

#include "kernels/intra/intra_angular_geometry.h"
#include "kernels/intra/intra_pred_kernels.h"

namespace {

using namespace intra_geom;

const int block = 4;

// The lowest reference index the mode reads is 0 or 1, the highest at most
// 16, and all lie within 16 bytes: the load starts at 1 when index 16 is read.
constexpr int load_base(int mode)
{
    int hi = 0;
    for (int y = 0; y < block; y++)
        for (int x = 0; x < block; x++) {
            tap t = sample_tap(mode, x, y);
            int b = main_ref_index(mode, block, t.b), a = main_ref_index(mode, block, t.a);
            hi = b > hi ? b : hi;
            hi = a > hi ? a : hi;
        }
    return hi >= 16 ? 1 : 0;
}

// Sample (x, y) is 16-bit lane 4 * (y & 1) + x of half y >> 1.
constexpr int lane_of(int x, int y) { return 16 * (y >> 1) + 2 * (4 * (y & 1) + x); }

constexpr bytes32 tap_shuffle(int mode)
{
    bytes32 m{};
    int base = load_base(mode);
    for (int y = 0; y < block; y++)
        for (int x = 0; x < block; x++) {
            tap t = sample_tap(mode, x, y);
            m.v[lane_of(x, y)] = (int8_t)(main_ref_index(mode, block, t.a) - base);
            m.v[lane_of(x, y) + 1] = (int8_t)(main_ref_index(mode, block, t.b) - base);
        }
    return m;
}

constexpr bytes32 tap_weights(int mode)
{
    bytes32 m{};
    for (int y = 0; y < block; y++)
        for (int x = 0; x < block; x++) {
            tap t = sample_tap(mode, x, y);
            m.v[lane_of(x, y)] = (int8_t)(32 - t.f);
            m.v[lane_of(x, y) + 1] = (int8_t)t.f;
        }
    return m;
}

// Every tap must lie among the 16 loaded bytes.
constexpr bool taps_in_window(int mode)
{
    bytes32 s = tap_shuffle(mode);
    for (int i = 0; i < 32; i++)
        if (s.v[i] < 0 || s.v[i] > 15) return false;
    return true;
}

template <int MODE>
struct consts4 {
    static_assert(taps_in_window(MODE), "4x4 taps outside the loaded window");
    static constexpr int base = load_base(MODE);
    static constexpr bytes32 shuffle = tap_shuffle(MODE);
    static constexpr bytes32 weights = tap_weights(MODE);
};

inline void store4(uint8_t *p, int32_t v) { memcpy(p, &v, 4); }

template <int MODE>
void predict4(uint8_t *dst, int dst_stride, const uint8_t *ref)
{
    typedef consts4<MODE> k;
    __m256i r = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *)(ref + k::base)));
    __m256i pairs = _mm256_shuffle_epi8(r, _mm256_load_si256((const __m256i *)k::shuffle.v));
    __m256i v = _mm256_maddubs_epi16(pairs, _mm256_load_si256((const __m256i *)k::weights.v));
    v = _mm256_mulhrs_epi16(v, _mm256_set1_epi16(1024));
    v = _mm256_packus_epi16(v, v);
    __m128i rows01 = _mm256_castsi256_si128(v), rows23 = _mm256_extracti128_si256(v, 1);
    store4(dst, _mm_cvtsi128_si32(rows01));
    store4(dst + dst_stride, _mm_extract_epi32(rows01, 1));
    store4(dst + 2 * dst_stride, _mm_cvtsi128_si32(rows23));
    store4(dst + 3 * dst_stride, _mm_extract_epi32(rows23, 1));
    _mm256_zeroupper();
}

} // namespace

#define INTRA_DEFINE_ANGULAR4(m) \
    void intra_pred_ang##m##_4x4_avx2(INTRA_KERNEL_ARGS) { predict4<m>(dst, dst_stride, ref); }
INTRA_ANGULAR_SLOPED_MODES(INTRA_DEFINE_ANGULAR4)
// Mode 34 (a copy of ref[2..8] along the diagonals): the table keeps the
// portable kernel in its slots, this one is for callers that want it.
INTRA_DEFINE_ANGULAR4(34)
#undef INTRA_DEFINE_ANGULAR4
