// AVX2 angular predictors of 8x8 blocks: modes 2 to 9, 11 to 25 and 27 to 33.
// Each writes exactly the samples of intra_pred_angular_c for its mode at
// N = 8 (the boundary filter concerns modes 10 and 26 only).
//
// Every sample of an 8x8 block reads its two taps from at most 16 consecutive
// entries of the main reference (projected samples included), so one 16-byte
// source vector serves the whole block. For the positive angles and for the
// modes that project nothing it is one load of the reference array; otherwise
// it is assembled by two constant byte shuffles of ref[0..15] and ref[17..32].
// Broadcast to both halves, it feeds four constant shuffles that place the
// taps of two output rows side by side (the even row in the low half, the odd
// row in the high half, in the block's own row order, so horizontal modes need
// no transposition), a multiply-add with per-sample weight pairs (32 - f, f)
// and a rounding high multiply by 1024, which is exactly (sum + 16) >> 5. At
// fraction 0 the weights (32, 0) copy the sample. Nothing outside ref[0..32]
// is read.
#include <immintrin.h>

#include "kernels/intra/intra_angular_geometry.h"
#include "kernels/intra/intra_pred_kernels.h"

namespace {

using namespace intra_geom;

const int block = 8;
const int last_ref = 4 * block; // 32
const int high_load = 17;       // second load of the assembled source: ref[17..32]

struct tap_range {
    int lo, hi;
};

// Range of M indices that the block reads.
constexpr tap_range main_range(int mode)
{
    tap_range r{1000, -1000};
    for (int y = 0; y < block; y++)
        for (int x = 0; x < block; x++) {
            tap t = sample_tap(mode, x, y);
            r.lo = t.a < r.lo ? t.a : r.lo;
            r.hi = t.b > r.hi ? t.b : r.hi;
        }
    return r;
}

// Range of reference indices that the block reads.
constexpr tap_range ref_range(int mode)
{
    tap_range m = main_range(mode), r{1000, -1000};
    for (int k = m.lo; k <= m.hi; k++) {
        int i = main_ref_index(mode, block, k);
        r.lo = i < r.lo ? i : r.lo;
        r.hi = i > r.hi ? i : r.hi;
    }
    return r;
}

// A single load serves when every reference index read lies in one 16-byte
// window inside the array.
constexpr bool direct_load(int mode) { return ref_range(mode).hi - ref_range(mode).lo <= 15; }

constexpr int direct_base(int mode)
{
    int b = ref_range(mode).lo;
    return b + 15 > last_ref ? last_ref - 15 : b;
}

// Position of M[k] in the source vector.
constexpr int source_pos(int mode, int k)
{
    if (direct_load(mode)) return main_ref_index(mode, block, k) - direct_base(mode);
    return k - main_range(mode).lo;
}

// Assembly of the source vector from ref[0..15] (from_high 0) or ref[17..32]
// (from_high 1): lane l = M[lo + l]; lanes the other load serves are zero.
constexpr bytes16 assembly_shuffle(int mode, int from_high)
{
    bytes16 s{};
    tap_range m = main_range(mode);
    for (int l = 0; l < 16; l++) {
        int k = m.lo + l;
        int i = k <= m.hi ? main_ref_index(mode, block, k) : -1;
        bool high = i >= high_load;
        s.v[l] = (i >= 0 && high == (from_high != 0)) ? (int8_t)(high ? i - high_load : i) : (int8_t)-128;
    }
    return s;
}

// Taps (weights 0) or weight pairs (weights 1) of rows 2p (low half) and 2p + 1.
constexpr bytes32 row_pair_consts(int mode, int p, int weights)
{
    bytes32 c{};
    for (int half = 0; half < 2; half++)
        for (int x = 0; x < block; x++) {
            tap t = sample_tap(mode, x, 2 * p + half);
            int at = 16 * half + 2 * x;
            c.v[at] = (int8_t)(weights ? 32 - t.f : source_pos(mode, t.a));
            c.v[at + 1] = (int8_t)(weights ? t.f : source_pos(mode, t.b));
        }
    return c;
}

constexpr bool taps_fit(int mode)
{
    tap_range m = main_range(mode), r = ref_range(mode);
    if (m.hi - m.lo > 15 || r.lo < 0 || r.hi > last_ref) return false;
    // The assembled source cannot take ref[16], which neither load holds.
    if (!direct_load(mode))
        for (int k = m.lo; k <= m.hi; k++)
            if (main_ref_index(mode, block, k) == high_load - 1) return false;
    return true;
}

template <int MODE>
struct consts8 {
    static_assert(taps_fit(MODE), "8x8 taps do not fit one source vector");
    static constexpr bool direct = direct_load(MODE);
    static constexpr int base = direct_base(MODE);
    static constexpr bytes16 assemble_lo = assembly_shuffle(MODE, 0);
    static constexpr bytes16 assemble_hi = assembly_shuffle(MODE, 1);
    static constexpr bytes32 shuffle[4] = {row_pair_consts(MODE, 0, 0), row_pair_consts(MODE, 1, 0),
                                           row_pair_consts(MODE, 2, 0), row_pair_consts(MODE, 3, 0)};
    static constexpr bytes32 weights[4] = {row_pair_consts(MODE, 0, 1), row_pair_consts(MODE, 1, 1),
                                           row_pair_consts(MODE, 2, 1), row_pair_consts(MODE, 3, 1)};
};

inline __m128i load16(const void *p) { return _mm_loadu_si128((const __m128i *)p); }
inline __m256i load_const(const bytes32 &b) { return _mm256_load_si256((const __m256i *)b.v); }

template <int MODE>
__m128i source_vector(const uint8_t *ref)
{
    typedef consts8<MODE> k;
    if constexpr (k::direct) {
        return load16(ref + k::base);
    } else {
        __m128i lo = _mm_shuffle_epi8(load16(ref), _mm_load_si128((const __m128i *)k::assemble_lo.v));
        __m128i hi = _mm_shuffle_epi8(load16(ref + high_load), _mm_load_si128((const __m128i *)k::assemble_hi.v));
        return _mm_or_si128(lo, hi);
    }
}

template <int MODE>
__m256i row_pair(__m256i src, int p)
{
    typedef consts8<MODE> k;
    __m256i pairs = _mm256_shuffle_epi8(src, load_const(k::shuffle[p]));
    __m256i v = _mm256_maddubs_epi16(pairs, load_const(k::weights[p]));
    return _mm256_mulhrs_epi16(v, _mm256_set1_epi16(1024));
}

inline void store8_lo(uint8_t *p, __m128i v) { _mm_storel_epi64((__m128i *)p, v); }
inline void store8_hi(uint8_t *p, __m128i v) { _mm_storel_epi64((__m128i *)p, _mm_unpackhi_epi64(v, v)); }

// Packed rows 4q, 4q + 2 (low half) and 4q + 1, 4q + 3 (high half).
inline void store_four_rows(uint8_t *dst, int dst_stride, __m256i packed)
{
    __m128i even = _mm256_castsi256_si128(packed), odd = _mm256_extracti128_si256(packed, 1);
    store8_lo(dst, even);
    store8_lo(dst + dst_stride, odd);
    store8_hi(dst + 2 * dst_stride, even);
    store8_hi(dst + 3 * dst_stride, odd);
}

template <int MODE>
void predict8(uint8_t *dst, int dst_stride, const uint8_t *ref)
{
    __m256i src = _mm256_broadcastsi128_si256(source_vector<MODE>(ref));
    __m256i r01 = row_pair<MODE>(src, 0), r23 = row_pair<MODE>(src, 1);
    __m256i r45 = row_pair<MODE>(src, 2), r67 = row_pair<MODE>(src, 3);
    store_four_rows(dst, dst_stride, _mm256_packus_epi16(r01, r23));
    store_four_rows(dst + 4 * dst_stride, dst_stride, _mm256_packus_epi16(r45, r67));
    _mm256_zeroupper();
}

} // namespace

#define INTRA_DEFINE_ANGULAR8(m) \
    void intra_pred_ang##m##_8x8_avx2(INTRA_KERNEL_ARGS) { predict8<m>(dst, dst_stride, ref); }
INTRA_ANGULAR_SLOPED_MODES(INTRA_DEFINE_ANGULAR8)
INTRA_DEFINE_ANGULAR8(2)
INTRA_DEFINE_ANGULAR8(18)
// Mode 34, ref[x + y + 2]: not installed in the table, which keeps the
// portable kernel there.
INTRA_DEFINE_ANGULAR8(34)
#undef INTRA_DEFINE_ANGULAR8
