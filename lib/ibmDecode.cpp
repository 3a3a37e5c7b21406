// IBM System/360 single precision to double.
#include "valmora.h"

#include <cmath>

extern "C" double decfp2(int kexp, int kmant)
{
    if (kexp == 0 || kexp == 128 || kexp == 255) return 0.0;
    double sign = kexp <= 127 ? 1.0 : -1.0;
    int e = kexp >= 128 ? kexp - 128 : kexp;
    // Evaluated in this order so that results match the encoder bit for bit.
    return kmant * ((sign * ldexp(1.0, 4 * (e - 64))) * 5.960464477539063e-08);
}
