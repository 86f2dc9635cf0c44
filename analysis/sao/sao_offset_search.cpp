// Offsets of one SAO type from a CTB's statistics. For a class of n samples
// whose differences source minus deblocked sum to s, an offset o changes the
// squared error by n o^2 - 2 o s = (o n - 2 s) o. The chosen offset is s / n
// rounded, pulled towards 0 by lambda / (512 n) to pay for its bits, and held
// to the range the syntax can code (0..7 or -7..0).
#include <cstdlib>

#include "analysis/sao/sao_decide.h"

namespace {

int32_t distortion_change(int32_t o, int32_t n, int32_t s) { return (o * n - 2 * s) * o; }

// Quotients truncate toward zero, as the integer division of the rule.
int32_t positive_offset(int32_t n, int32_t s, int32_t lambda)
{
    int64_t o = (((int64_t)n + 2 * (int64_t)s) * 256 - lambda) / (512 * (int64_t)n);
    return (int32_t)(o < 0 ? 0 : o > 7 ? 7 : o);
}

int32_t negative_offset(int32_t n, int32_t s, int32_t lambda)
{
    int64_t o = ((2 * (int64_t)s - n) * 256 + lambda) / (512 * (int64_t)n);
    return (int32_t)(o < -7 ? -7 : o > 0 ? 0 : o);
}

// Counts are read as signed 16-bit values; a CTB has at most 4096 samples.
inline int32_t count_of(const sao_stats *st, int k) { return (int16_t)st->count[k]; }

const int edge_category[4] = {0, 1, 3, 4};

int32_t edge_search(sao_param *record, const sao_stats *st, int32_t lambda)
{
    int32_t total = 0;
    record->band_position = 0;
    for (int j = 0; j < 4; j++) {
        int k = edge_category[j];
        int32_t n = count_of(st, k), s = st->sum[k], o = 0;
        if (n > 0) o = j < 2 ? positive_offset(n, s, lambda) : negative_offset(n, s, lambda);
        record->offset[j] = o;
        total += n > 0 ? distortion_change(o, n, s) : 0;
    }
    return total;
}

// Every band gets its own offset and cost J = 256 x distortion change plus the
// offset's rate estimate ((|o| + 1) x lambda, or lambda for a zero offset of a
// non-empty band); the four consecutive bands of least total J win, the lowest
// start on ties. J passes 32 bits (256 x 14 million), so it is kept in 64.
int32_t band_search(sao_param *record, const sao_stats *st, int32_t lambda)
{
    int32_t offset[32], dist[32];
    int64_t cost[32];
    for (int b = 0; b < 32; b++) {
        int32_t n = count_of(st, b), s = st->sum[b];
        offset[b] = 0;
        dist[b] = 0;
        cost[b] = 0;
        if (n <= 0) continue;
        offset[b] = s > 0 ? positive_offset(n, s, lambda) : negative_offset(n, s, lambda);
        dist[b] = distortion_change(offset[b], n, s);
        cost[b] = 256 * (int64_t)dist[b] + (int64_t)(std::abs(offset[b]) + 1) * lambda;
    }
    int64_t window = cost[0] + cost[1] + cost[2] + cost[3], best = window;
    int best_start = 0;
    for (int start = 1; start <= 28; start++) {
        window += cost[start + 3] - cost[start - 1];
        if (window < best) {
            best = window;
            best_start = start;
        }
    }
    record->band_position = best_start;
    int32_t total = 0;
    for (int k = 0; k < 4; k++) {
        record->offset[k] = offset[best_start + k];
        total += dist[best_start + k];
    }
    return total;
}

} // namespace

int32_t sao_offset_search(sao_param *record, const sao_stats *stats, int32_t type, int32_t lambda)
{
    record->type = type;
    return type == SAO_TYPE_BAND ? band_search(record, stats, lambda) : edge_search(record, stats, lambda);
}

// Band positions are taken modulo 32 like the application does, so a record
// from anywhere stays within the 32 bands.
int32_t sao_distortion_delta(const sao_stats *stats, const sao_param *record)
{
    int32_t total = 0;
    for (int j = 0; j < 4; j++) {
        int k = record->type == SAO_TYPE_BAND ? (record->band_position + j) & 31 : edge_category[j];
        int32_t n = count_of(stats, k);
        if (n > 0) total += distortion_change(record->offset[j], n, stats->sum[k]);
    }
    return total;
}
