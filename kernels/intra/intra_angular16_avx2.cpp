// AVX2 angular predictors of 16x16 blocks: modes 3 to 9, 11 to 17, 22 to 25
// and 27 to 33. Each writes exactly the samples of intra_pred_angular_c for its
// mode at N = 16 (the boundary filter concerns modes 10 and 26 only).
//
// The main reference is held in registers, never in memory: lo = M[-16..-1]
// (the projected samples of a negative angle, gathered from the other side by
// one constant byte shuffle), mid = M[0..15] and hi = M[16..31]. A window of
// 16 consecutive entries starting anywhere in M[-16..31] is one byte-align of
// two of them, with the offset a compile-time constant of the mode.
//
// Vertical modes: row y reads the windows at M[i + 1] and M[i + 2]; two rows
// share one 256-bit vector (row y low, row y + 1 high), their interleaved taps
// are weighed by entries f_y and f_y+1 of intra_ang_frac_weights, rounded by a
// high multiply by 1024 ((sum + 16) >> 5 exactly) and packed.
//
// Horizontal modes are computed in the block's own row order, with no
// transposition: column x has a fixed (i, f), so for columns 0..7 (low half)
// and 8..15 (high half) a window that moves one entry per row and a constant
// shuffle pick each column's taps, and constant vectors hold each column's
// weights. Two rows are packed and their halves put in order by a quadword
// permute.
//
// Every load lies inside ref[0..64]; at fraction 0 the weights (32, 0) copy.
#include <immintrin.h>

#include <utility>

#include "kernels/intra/intra_angular_geometry.h"
#include "kernels/intra/intra_pred_kernels.h"

namespace {

using namespace intra_geom;

const int block = 16;

constexpr int lowest_tap(int mode)
{
    int lo = 1000;
    for (int y = 0; y < block; y++)
        for (int x = 0; x < block; x++) {
            int a = sample_tap(mode, x, y).a;
            lo = a < lo ? a : lo;
        }
    return lo;
}

constexpr int highest_tap(int mode)
{
    int hi = -1000;
    for (int y = 0; y < block; y++)
        for (int x = 0; x < block; x++) {
            int b = sample_tap(mode, x, y).b;
            hi = b > hi ? b : hi;
        }
    return hi;
}

// Lane j = M[j - 16] from a 16-byte load of the other side that starts at its
// first sample (ref[33] for vertical modes, ref[1] for horizontal ones).
// Entries the mode never reads are zero.
constexpr bytes16 projection_shuffle(int mode)
{
    bytes16 s{};
    int side_first = is_vertical(mode) ? 2 * block + 1 : 1;
    for (int j = 0; j < 16; j++) {
        int k = j - 16;
        s.v[j] = k >= lowest_tap(mode) ? (int8_t)(main_ref_index(mode, block, k) - side_first) : (int8_t)-128;
    }
    return s;
}

constexpr bool projection_fits(int mode)
{
    if (lowest_tap(mode) < -16 || highest_tap(mode) > 31) return false;
    bytes16 s = projection_shuffle(mode);
    for (int j = 0; j < 16; j++)
        if (s.v[j] > 15) return false;
    return true;
}

// Main-reference registers of a mode.
struct main_regs {
    __m128i lo, mid, hi;
};

inline __m128i load16(const uint8_t *p) { return _mm_loadu_si128((const __m128i *)p); }

template <int MODE>
main_regs load_main(const uint8_t *ref)
{
    static_assert(projection_fits(MODE), "16x16 taps outside M[-16..31]");
    static constexpr bytes16 proj = projection_shuffle(MODE);
    main_regs m;
    if constexpr (lowest_tap(MODE) < 0) {
        const uint8_t *side = is_vertical(MODE) ? ref + 2 * block + 1 : ref + 1;
        m.lo = _mm_shuffle_epi8(load16(side), _mm_load_si128((const __m128i *)proj.v));
    } else {
        m.lo = _mm_setzero_si128();
    }
    if constexpr (is_vertical(MODE)) {
        m.mid = load16(ref);
        m.hi = load16(ref + 16);
    } else {
        // ref[32] is the last above-right sample; the corner takes its place
        // when the mode reads M[0].
        m.mid = load16(ref + 2 * block);
        if constexpr (lowest_tap(MODE) <= 0) m.mid = _mm_insert_epi8(m.mid, ref[0], 0);
        m.hi = load16(ref + 2 * block + 16);
    }
    return m;
}

// The 16 entries M[S .. S + 15]; entries past M[31] are don't-care.
template <int S>
__m128i window(const main_regs &m)
{
    static_assert(S >= -16 && S <= 31, "window outside the main reference");
    if constexpr (S < 0) return _mm_alignr_epi8(m.mid, m.lo, 16 + S);
    else if constexpr (S == 0) return m.mid;
    else if constexpr (S < 16) return _mm_alignr_epi8(m.hi, m.mid, S);
    else if constexpr (S == 16) return m.hi;
    else return _mm_srli_si128(m.hi, S - 16);
}

inline __m256i join(__m128i lo, __m128i hi) { return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1); }

inline __m256i round_shift5(__m256i v) { return _mm256_mulhrs_epi16(v, _mm256_set1_epi16(1024)); }

inline void store_two_rows(uint8_t *dst, int dst_stride, __m256i rows)
{
    _mm_storeu_si128((__m128i *)dst, _mm256_castsi256_si128(rows));
    _mm_storeu_si128((__m128i *)(dst + dst_stride), _mm256_extracti128_si256(rows, 1));
}

// ---- Vertical modes ------------------------------------------------------------

template <int MODE, int Y>
void vertical_row_pair(uint8_t *dst, int dst_stride, const main_regs &m)
{
    constexpr int angle = angle_of(MODE);
    constexpr int i0 = line_int(Y, angle), f0 = line_frac(Y, angle);
    constexpr int i1 = line_int(Y + 1, angle), f1 = line_frac(Y + 1, angle);
    __m256i a = join(window<i0 + 1>(m), window<i1 + 1>(m));
    __m256i b = join(window<i0 + 2>(m), window<i1 + 2>(m));
    __m256i w = join(_mm_load_si128((const __m128i *)intra_ang_frac_weights[f0]),
                     _mm_load_si128((const __m128i *)intra_ang_frac_weights[f1]));
    __m256i lo = round_shift5(_mm256_maddubs_epi16(_mm256_unpacklo_epi8(a, b), w));
    __m256i hi = round_shift5(_mm256_maddubs_epi16(_mm256_unpackhi_epi8(a, b), w));
    store_two_rows(dst + Y * dst_stride, dst_stride, _mm256_packus_epi16(lo, hi));
}

template <int MODE, int... P>
void vertical_rows(uint8_t *dst, int dst_stride, const main_regs &m, std::integer_sequence<int, P...>)
{
    (vertical_row_pair<MODE, 2 * P>(dst, dst_stride, m), ...);
}

// ---- Horizontal modes ----------------------------------------------------------

// Smallest integer part among the 8 columns of group g.
constexpr int group_base(int mode, int g)
{
    int b = 1000;
    for (int c = 0; c < 8; c++) {
        int i = line_int(8 * g + c, angle_of(mode));
        b = i < b ? i : b;
    }
    return b;
}

// Taps (weights 0) or weight pairs (weights 1) of columns 0..7 (low half) and
// 8..15 (high half), relative to the group's window at M[base + 1 + y].
constexpr bytes32 column_consts(int mode, int weights)
{
    bytes32 c{};
    for (int x = 0; x < block; x++) {
        tap t = sample_tap(mode, x, 0);
        int start = group_base(mode, x / 8) + 1;
        int at = 16 * (x / 8) + 2 * (x % 8);
        c.v[at] = (int8_t)(weights ? 32 - t.f : t.a - start);
        c.v[at + 1] = (int8_t)(weights ? t.f : t.b - start);
    }
    return c;
}

constexpr bool columns_fit(int mode)
{
    bytes32 c = column_consts(mode, 0);
    for (int i = 0; i < 32; i++)
        if (c.v[i] < 0 || c.v[i] > 15) return false;
    return true;
}

template <int MODE>
struct column_tables {
    static_assert(columns_fit(MODE), "column taps outside their window");
    static constexpr bytes32 shuffle = column_consts(MODE, 0);
    static constexpr bytes32 weights = column_consts(MODE, 1);
    static constexpr int base0 = group_base(MODE, 0) + 1;
    static constexpr int base1 = group_base(MODE, 1) + 1;
};

template <int MODE, int Y>
__m256i horizontal_row(const main_regs &m, __m256i shuffle, __m256i weights)
{
    typedef column_tables<MODE> k;
    __m256i win = join(window<k::base0 + Y>(m), window<k::base1 + Y>(m));
    return round_shift5(_mm256_maddubs_epi16(_mm256_shuffle_epi8(win, shuffle), weights));
}

template <int MODE, int Y>
void horizontal_row_pair(uint8_t *dst, int dst_stride, const main_regs &m, __m256i shuffle, __m256i weights)
{
    __m256i r0 = horizontal_row<MODE, Y>(m, shuffle, weights);
    __m256i r1 = horizontal_row<MODE, Y + 1>(m, shuffle, weights);
    // Halves after the pack: (row Y cols 0..7, row Y+1 cols 0..7), (row Y cols
    // 8..15, row Y+1 cols 8..15); the permute puts each row together.
    __m256i rows = _mm256_permute4x64_epi64(_mm256_packus_epi16(r0, r1), 0xD8);
    store_two_rows(dst + Y * dst_stride, dst_stride, rows);
}

template <int MODE, int... P>
void horizontal_rows(uint8_t *dst, int dst_stride, const main_regs &m, std::integer_sequence<int, P...>)
{
    typedef column_tables<MODE> k;
    __m256i shuffle = _mm256_load_si256((const __m256i *)k::shuffle.v);
    __m256i weights = _mm256_load_si256((const __m256i *)k::weights.v);
    (horizontal_row_pair<MODE, 2 * P>(dst, dst_stride, m, shuffle, weights), ...);
}

template <int MODE>
void predict16(uint8_t *dst, int dst_stride, const uint8_t *ref)
{
    main_regs m = load_main<MODE>(ref);
    if constexpr (is_vertical(MODE))
        vertical_rows<MODE>(dst, dst_stride, m, std::make_integer_sequence<int, block / 2>());
    else
        horizontal_rows<MODE>(dst, dst_stride, m, std::make_integer_sequence<int, block / 2>());
    _mm256_zeroupper();
}

} // namespace

#define INTRA_DEFINE_ANGULAR16(m) \
    void intra_pred_ang##m##_16x16_avx2(INTRA_KERNEL_ARGS) { predict16<m>(dst, dst_stride, ref); }
INTRA_ANGULAR16_AVX2_MODES(INTRA_DEFINE_ANGULAR16)
#undef INTRA_DEFINE_ANGULAR16
