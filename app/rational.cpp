// Fractions for frame rates: Euclid's gcd, the continued-fraction best
// approximation within a limit, and the conversion of a decimal rate such as
// 23.976 into a fraction such as 2997/125.
#include <cmath>
#include <cstdlib>

#include "app/cli.h"

int32_t gcd(int32_t a, int32_t b)
{
    while (b != 0) {
        int32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

struct frac64 {
    int64_t num, den;
};

// Continued fraction of num/den, stopping at the last convergent within the
// limit; when the next convergent would pass it, the best semiconvergent is
// taken if it is closer. Intermediates are 64-bit: products of a convergent and
// a quotient can pass 32 bits before they are compared with the limit.
static frac64 best_convergent(int64_t num, int64_t den, int64_t limit)
{
    frac64 a0 = {0, 1}, a1 = {1, 0};
    while (den > 0) {
        int64_t x = num / den;
        int64_t next = num % den;
        frac64 a2 = {x * a1.num + a0.num, x * a1.den + a0.den};
        if (a2.num > limit || a2.den > limit) {
            // Largest multiple that keeps both parts within the limit. A zero
            // part of a1 puts no bound on it (and must not be divided by).
            if (a1.num != 0 && (limit - a0.num) / a1.num < x)
                x = (limit - a0.num) / a1.num;
            if (a1.den != 0 && (limit - a0.den) / a1.den < x)
                x = (limit - a0.den) / a1.den;
            if (den * (2 * x * a1.den + a0.den) > num * a1.den)
                a1 = {x * a1.num + a0.num, x * a1.den + a0.den};
            break;
        }
        a0 = a1;
        a1 = a2;
        num = den;
        den = next;
    }
    return a1;
}

uint64_t rational_reduce(int32_t num, int32_t den, int32_t limit)
{
    int negative = (num < 0) != (den < 0);
    int64_t n = std::llabs((int64_t)num), d = std::llabs((int64_t)den);
    if (d != 0) {
        int64_t a = n, b = d;
        while (b != 0) {
            int64_t t = a % b;
            a = b;
            b = t;
        }
        if (a >= 2) {
            n /= a;
            d /= a;
        }
    }
    frac64 r;
    if (n <= limit && d <= limit)
        r = {n, d};
    else
        r = best_convergent(n, d, limit);
    // Both parts are within the limit (an int32) here.
    int32_t rn = (int32_t)r.num, rd = (int32_t)r.den;
    return rational_pack(negative ? -rn : rn, rd);
}

uint64_t double_to_rational(double x)
{
    // Rates of 2^30 or more (and NaN or infinity) have no 32-bit fraction of
    // this form; they come back as 0/0, which every caller refuses.
    if (!std::isfinite(x) || std::fabs(x) >= 1073741824.0)
        return rational_pack(0, 0);
    int e = (int)std::log2(std::fabs(x) + 1e-20);
    if (e < 0)
        e = 0;
    int64_t den = (int64_t)1 << (29 - e);
    int64_t num = (int64_t)((double)den * x + 0.5);  // truncated, as the rate's integer part
    if (num > INT32_MAX || num < -INT32_MAX)
        return rational_pack(0, 0);
    uint64_t r = rational_reduce((int32_t)num, (int32_t)den, 1001000);
    if (rational_num(r) == 0 || rational_den(r) == 0)
        r = rational_reduce((int32_t)num, (int32_t)den, 2147483647);
    return r;
}
