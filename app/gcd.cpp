// Euclid's greatest common divisor, for fractions such as aspect ratios and
// frame rates.
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
