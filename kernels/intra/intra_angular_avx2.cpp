// AVX2 angular predictors of 32x32 blocks, modes 3 to 25 and 27 to 33. Each
// writes exactly the samples of intra_pred_angular_c for its mode at N = 32
// (no boundary filter at this size) and reads the reference array only.
//
// Line j of a block (a row of a vertical mode, a column of a horizontal one)
// sits at position p = (j + 1) * angle along the main reference, with integer
// part i = p >> 5 and fraction f = p & 31; its sample k is
//   ((32 - f) * ref_main[k + i + 1] + f * ref_main[k + i + 2] + 16) >> 5.
// Pairs of neighbouring samples are interleaved into bytes and weighed in one
// unsigned-by-signed multiply-add (at most 8160, so 16 bits suffice); a
// rounding high multiply by 1024 is exactly (v + 16) >> 5.
//
// Vertical modes write row by row with one weight pair per row. Horizontal
// modes also write row by row, without a transposition: column x has a fixed
// (i, f), so a constant byte shuffle per group of 8 columns picks each column's
// pair from a 16-sample window of the main reference that moves one sample per
// row, and a constant vector holds each column's weights.
#include <immintrin.h>

#include "kernels/intra/intra_angular_geometry.h"
#include "kernels/intra/intra_pred_kernels.h"

namespace {

using namespace intra_geom;

// Byte shuffle that gathers the projected samples ref_main[-k] =
// side[((k * inv + 128) >> 8) - 1], k = 1..-angle, into lane j = ref_main[j - 32]
// from one 16-sample half of the other side (both register lanes hold that
// half). Lanes that the half does not serve are zero.
constexpr bytes32 projection_shuffle(int angle, int half)
{
    bytes32 m{};
    int inv = inv_angle_of(angle);
    for (int j = 0; j < 32; j++) {
        int k = 32 - j;
        int idx = k <= -angle ? ((k * inv + 128) >> 8) - 1 : -1;
        bool mine = idx >= 0 && (idx >> 4) == half;
        m.v[j] = mine ? (int8_t)(idx & 15) : (int8_t)-128;
    }
    return m;
}

// First main-reference index, minus one, of the window of the 8 columns of
// group g: the smallest integer part among them.
constexpr int group_base(int g, int angle)
{
    int a = line_int(8 * g, angle), b = line_int(8 * g + 7, angle);
    return a < b ? a : b;
}

// Pair shuffle (weights = 0) or weight pairs (weights = 1) of the column
// groups g0 (low register lane) and g1 (high register lane).
constexpr bytes32 column_consts(int angle, int g0, int g1, int weights)
{
    bytes32 m{};
    for (int lane = 0; lane < 2; lane++) {
        int g = lane ? g1 : g0;
        for (int c = 0; c < 8; c++) {
            int x = 8 * g + c;
            int o = line_int(x, angle) - group_base(g, angle);
            int f = line_frac(x, angle);
            m.v[16 * lane + 2 * c] = (int8_t)(weights ? 32 - f : o);
            m.v[16 * lane + 2 * c + 1] = (int8_t)(weights ? f : o + 1);
        }
    }
    return m;
}

template <int MODE>
struct mode_consts {
    static constexpr int angle = angle_of(MODE);
    static constexpr bytes32 proj_lo = projection_shuffle(angle, 0);
    static constexpr bytes32 proj_hi = projection_shuffle(angle, 1);
    // Register A holds column groups 0 and 2, register B groups 1 and 3, so that
    // one pack of A and B puts the 32 columns in order.
    static constexpr bytes32 shuf_a = column_consts(angle, 0, 2, 0);
    static constexpr bytes32 shuf_b = column_consts(angle, 1, 3, 0);
    static constexpr bytes32 weight_a = column_consts(angle, 0, 2, 1);
    static constexpr bytes32 weight_b = column_consts(angle, 1, 3, 1);
};

inline __m256i load32(const uint8_t *p) { return _mm256_loadu_si256((const __m256i *)p); }
inline __m256i load_const(const bytes32 &b) { return _mm256_load_si256((const __m256i *)b.v); }
inline void store32(uint8_t *p, __m256i v) { _mm256_storeu_si256((__m256i *)p, v); }

inline __m256i load_two(const uint8_t *lo, const uint8_t *hi)
{
    __m256i v = _mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)lo));
    return _mm256_inserti128_si256(v, _mm_loadu_si128((const __m128i *)hi), 1);
}

// (pairs . weights + 16) >> 5 on 16 pairs per register.
inline __m256i weigh(__m256i pairs, __m256i weights)
{
    return _mm256_mulhrs_epi16(_mm256_maddubs_epi16(pairs, weights), _mm256_set1_epi16(1024));
}

// Main reference of the mode in a work area: buf[32 + k] = ref_main[k] for
// k = -32..64 as far as the mode reads it; bytes past the samples are zero so
// that every window load reads defined data.
const int main_origin = 32;
const int main_buf_size = 160;

template <int MODE>
void build_main(uint8_t *buf, const uint8_t *ref)
{
    typedef mode_consts<MODE> k;
    const uint8_t *main_side = MODE < 18 ? ref + 65 : ref + 1;
    const uint8_t *other_side = MODE < 18 ? ref + 1 : ref + 65;
    __m256i zero = _mm256_setzero_si256();
    store32(buf + 97, zero);
    store32(buf + 128, zero);
    if (k::angle < 0) {
        __m256i o0 = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *)other_side));
        __m256i o1 = _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i *)(other_side + 16)));
        __m256i ext = _mm256_or_si256(_mm256_shuffle_epi8(o0, load_const(k::proj_lo)),
                                      _mm256_shuffle_epi8(o1, load_const(k::proj_hi)));
        store32(buf, ext);
        store32(buf + 65, zero);
    } else {
        store32(buf, zero);
        store32(buf + 65, load32(main_side + 32));
    }
    buf[main_origin] = ref[0];
    store32(buf + 33, load32(main_side));
}

// Rows of a vertical mode from a main reference m (m[k] = ref_main[k]).
template <int ANGLE>
void vertical_rows(uint8_t *dst, int dst_stride, const uint8_t *m)
{
    for (int y = 0; y < 32; y++) {
        int p = (y + 1) * ANGLE;
        int i = p >> 5;
        int f = p & 31;
        __m256i a = load32(m + i + 1);
        __m256i b = load32(m + i + 2);
        __m256i w = _mm256_load_si256((const __m256i *)intra_ang_frac_weights[f]);
        __m256i lo = weigh(_mm256_unpacklo_epi8(a, b), w);
        __m256i hi = weigh(_mm256_unpackhi_epi8(a, b), w);
        // The in-lane unpacks and the in-lane pack cancel: columns come out in order.
        store32(dst + y * dst_stride, _mm256_packus_epi16(lo, hi));
    }
}

// Rows of a horizontal mode from the main reference m (m[k] = ref_main[k]).
template <int MODE>
void horizontal_rows(uint8_t *dst, int dst_stride, const uint8_t *m)
{
    typedef mode_consts<MODE> k;
    const int a = k::angle;
    const __m256i shuf_a = load_const(k::shuf_a), shuf_b = load_const(k::shuf_b);
    const __m256i weight_a = load_const(k::weight_a), weight_b = load_const(k::weight_b);
    const uint8_t *w0 = m + group_base(0, a) + 1, *w1 = m + group_base(1, a) + 1;
    const uint8_t *w2 = m + group_base(2, a) + 1, *w3 = m + group_base(3, a) + 1;
    for (int y = 0; y < 32; y++) {
        __m256i pa = _mm256_shuffle_epi8(load_two(w0 + y, w2 + y), shuf_a);
        __m256i pb = _mm256_shuffle_epi8(load_two(w1 + y, w3 + y), shuf_b);
        __m256i va = weigh(pa, weight_a);
        __m256i vb = weigh(pb, weight_b);
        store32(dst + y * dst_stride, _mm256_packus_epi16(va, vb));
    }
}

template <int MODE>
void predict32(uint8_t *dst, int dst_stride, const uint8_t *ref)
{
    constexpr int angle = angle_of(MODE);
    static_assert(angle != 0 && angle != 32 && angle != -32, "copies have their own kernels");
    if constexpr (MODE >= 18 && angle > 0) {
        // The reference array is the main reference itself: ref[k] = ref_main[k].
        vertical_rows<angle>(dst, dst_stride, ref);
    } else {
        alignas(32) uint8_t buf[main_buf_size];
        build_main<MODE>(buf, ref);
        if constexpr (MODE >= 18)
            vertical_rows<angle>(dst, dst_stride, buf + main_origin);
        else
            horizontal_rows<MODE>(dst, dst_stride, buf + main_origin);
    }
    _mm256_zeroupper();
}

} // namespace

// Mode 10: row y is left[y] repeated.
void intra_pred_ang10_32x32_avx2(INTRA_KERNEL_ARGS)
{
    for (int y = 0; y < 32; y++) store32(dst + y * dst_stride, _mm256_set1_epi8((char)ref[65 + y]));
    _mm256_zeroupper();
}

// Mode 18: row y is the 32 samples starting y before the corner in the line
// left[31], ..., left[0], corner, above[0..31].
void intra_pred_ang18_32x32_avx2(INTRA_KERNEL_ARGS)
{
    alignas(32) uint8_t line[64];
    const __m256i reverse = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14,
                                             13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    __m256i left = _mm256_shuffle_epi8(load32(ref + 65), reverse);
    store32(line, _mm256_permute4x64_epi64(left, 0x4E));
    store32(line + 32, load32(ref)); // corner, above[0..30]
    for (int y = 0; y < 32; y++) store32(dst + y * dst_stride, load32(line + 32 - y));
    _mm256_zeroupper();
}

#define INTRA_DEFINE_ANGULAR32(m) \
    void intra_pred_ang##m##_32x32_avx2(INTRA_KERNEL_ARGS) { predict32<m>(dst, dst_stride, ref); }
INTRA_DEFINE_ANGULAR32(3)
INTRA_DEFINE_ANGULAR32(4)
INTRA_DEFINE_ANGULAR32(5)
INTRA_DEFINE_ANGULAR32(6)
INTRA_DEFINE_ANGULAR32(7)
INTRA_DEFINE_ANGULAR32(8)
INTRA_DEFINE_ANGULAR32(9)
INTRA_DEFINE_ANGULAR32(11)
INTRA_DEFINE_ANGULAR32(12)
INTRA_DEFINE_ANGULAR32(13)
INTRA_DEFINE_ANGULAR32(14)
INTRA_DEFINE_ANGULAR32(15)
INTRA_DEFINE_ANGULAR32(16)
INTRA_DEFINE_ANGULAR32(17)
INTRA_DEFINE_ANGULAR32(19)
INTRA_DEFINE_ANGULAR32(20)
INTRA_DEFINE_ANGULAR32(21)
INTRA_DEFINE_ANGULAR32(22)
INTRA_DEFINE_ANGULAR32(23)
INTRA_DEFINE_ANGULAR32(24)
INTRA_DEFINE_ANGULAR32(25)
INTRA_DEFINE_ANGULAR32(27)
INTRA_DEFINE_ANGULAR32(28)
INTRA_DEFINE_ANGULAR32(29)
INTRA_DEFINE_ANGULAR32(30)
INTRA_DEFINE_ANGULAR32(31)
INTRA_DEFINE_ANGULAR32(32)
INTRA_DEFINE_ANGULAR32(33)
#undef INTRA_DEFINE_ANGULAR32
