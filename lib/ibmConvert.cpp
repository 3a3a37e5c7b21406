// Double to IBM System/360 single precision: exponent octet and 24-bit
// mantissa, rounded to nearest (type 1) or towards minus infinity (type 0).
#include "valmora.h"
#include "support.h"

#include <climits>
#include <cmath>

namespace {

// Mantissas this large are only shown in the overflow report; the bound
// keeps lround within its range.
constexpr double mantissaCeiling = 9.0e15;

long roundMantissa(double m, int type, bool negative)
{
    if (!(m < mantissaCeiling)) return (long)mantissaCeiling;
    if (type == 1) return lround(m);
    // Towards minus infinity: truncate a positive magnitude; for a negative
    // value the magnitude moves up to the next whole number.
    return negative ? lround(m + 0.5) : (long)m;
}

} // namespace

extern "C" void confp3(double pval, int *kexp, int *kmant, int kbits, int kround)
{
    int type = kround;
    if ((unsigned)type > 1) {
        Error_("confp3", "Invalid conversion type = %d", kround);
        type = 1;
    }
    if (pval == 0.0) {
        *kexp = 0;
        *kmant = 0;
        return;
    }

    const bool negative = pval < 0.0;
    const int sign = negative ? 128 : 0;
    const double a = fabs(pval);
    const double eps = kbits == 32 ? 1.0e-8 : 1.0e-12;

    double estimate = log(a) / 2.772588722239781 + 65.0 + eps;
    int e = estimate < 0.0 ? 0 : estimate > 127.0 || estimate != estimate ? 127 : (int)estimate;

    long m = roundMantissa(ldexp(a, 280 - 4 * e), type, negative);
    while (m >= 16777216) {
        if (e == 127) {
            Message_("confp3", "Exponent overflow");
            Message_("confp3", "Original number = %30.20f", pval);
            Message_("confp3", "Sign = %3d, Exponent = %3d, Mantissa = %12d", sign, 128,
                     m > INT_MAX ? INT_MAX : (int)m);
            Error_("confp3", "Exponent overflow");
            Message_("confp3", "Value arbitrarily set to zero.");
            *kexp = 0;
            *kmant = 0;
            return;
        }
        ++e;
        m = roundMantissa(ldexp(a, 280 - 4 * e), type, negative);
    }
    *kexp = e + sign;
    *kmant = (int)m;
}
