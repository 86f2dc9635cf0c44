#include "app/rational.h"

#include <cmath>
#include <cstdlib>

static int64_t gcd64(int64_t a, int64_t b)
{
    while (b) {
        int64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// Intermediate products are formed in 64 bits so that no term can overflow;
// every value that is kept fits in 32 bits because it is checked against the
// limit first.
uint64_t rational_reduce(int32_t num_in, int32_t den_in, int32_t limit)
{
    int negative = (num_in < 0) != (den_in < 0);
    int64_t num = std::llabs((int64_t)num_in), den = std::llabs((int64_t)den_in);
    if (den != 0) {
        int64_t g = gcd64(num, den);
        if (g >= 2) {
            num /= g;
            den /= g;
        }
        if (num <= limit && den <= limit)
            return rational_pack((int32_t)(negative ? -num : num), (int32_t)den);
    }
    int64_t a0n = 0, a0d = 1, a1n = 1, a1d = 0;
    while (den > 0) {
        int64_t x = num / den, next = num % den;
        int64_t a2n = x * a1n + a0n, a2d = x * a1d + a0d;
        if (a2n > limit || a2d > limit) {
            // Largest partial quotient that keeps both terms within the limit.
            // a1n is 0 after a first quotient of 0 (a value below 1): then
            // only the denominator bounds it.
            int64_t xn = a1n ? (limit - a0n) / a1n : INT64_MAX;
            int64_t xd = a1d ? (limit - a0d) / a1d : INT64_MAX;
            int64_t xp = xn < xd ? xn : xd;
            if ((__int128)den * (2 * (__int128)xp * a1d + a0d) > (__int128)num * a1d) {
                a1n = xp * a1n + a0n;
                a1d = xp * a1d + a0d;
            }
            break;
        }
        a0n = a1n;
        a0d = a1d;
        a1n = a2n;
        a1d = a2d;
        num = den;
        den = next;
    }
    return rational_pack((int32_t)(negative ? -a1n : a1n), (int32_t)a1d);
}

uint64_t double_to_rational(double x)
{
    // Values outside the 32-bit range (or not numbers) have no fraction here.
    if (!(std::fabs(x) < 2147483647.0))
        return 0;
    int e = (int)std::log2(std::fabs(x) + 1e-20);
    if (e < 0)
        e = 0;
    if (e > 29)
        e = 29;
    int32_t den = (int32_t)1 << (29 - e);
    double scaled = den * x + 0.5;
    if (!(std::fabs(scaled) < 2147483647.0))
        return 0;
    int32_t num = (int32_t)scaled;
    uint64_t r = rational_reduce(num, den, 1001000);
    if (rational_num(r) == 0 || rational_den(r) == 0)
        r = rational_reduce(num, den, 2147483647);
    return r;
}
