// Reference values in IBM form never above the true minimum, so that no
// packed value becomes negative.
#include "valmora.h"
#include "support.h"

extern "C" void ref2ibm(double *pref, int kbits)
{
    const double z = *pref;
    int kexp, kmant;

    confp3(z, &kexp, &kmant, kbits, 1);
    if (kexp == 0 && kmant == 0) return;
    *pref = decfp2(kexp, kmant);
    if (!(*pref > z)) return;

    confp3(z, &kexp, &kmant, kbits, 0);
    *pref = decfp2(kexp, kmant);
    if (!(*pref > z)) return;

    if (VALMORA_Debug) {
        Message_("ref2ibm", "Reference value error.");
        Message_("ref2ibm", "Notify Quillet Section.");
        Message_("ref2ibm", "ZTEMP = %.17g", z);
        Message_("ref2ibm", "PREF = %.17g", *pref);
    }
    *pref = z;
}
