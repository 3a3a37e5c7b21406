// Binary digit printer: the low bits of an integer as the decimal digits of
// another, so that a flag octet prints as 0s and 1s with "%8.8d".
#include "valmora.h"
#include "support.h"

#include <cstdio>

extern "C" void prtbin(int kdec, int knbit, int *kbin, int *kret)
{
    if (knbit < 1 || knbit > 14) {
        *kret = 1;
        Print_(stdout, " prtbin : Error in binary number length - %3d bits.\n", knbit);
        return;
    }
    *kret = 0;
    // Ten decimal digits are all an int holds; bits from 10 up are dropped
    // rather than overflowing (no caller shows more than 8).
    int nshown = knbit < 10 ? knbit : 10;
    int sum = 0;
    int scale = 1;
    for (int i = 0; i < nshown; ++i) {
        // Truncating division keeps the sign: -1 shows as -1, not as ones.
        sum += ((kdec / (1 << i)) % 2) * scale;
        if (i + 1 < nshown) scale *= 10;
    }
    *kbin = sum;
}
