// Process-wide switches and their setters.
#include "valmora.h"
#include "support.h"

extern "C" {

int VALMORA_Debug = 0;
int VALMORA_Const = 0;
int VALMORA_Fix_ZSE = 0;

void gribSetDebug(int level)
{
    VALMORA_Debug = level;
    if (level) Message_("gribSetDebug", "debug level %d", level);
}

void gribFixZSE(int flag)
{
    VALMORA_Fix_ZSE = flag;
    if (VALMORA_Debug) Message_("gribFixZSE", "Fix ZeroShiftError set to %d", flag);
}

void gribSetConst(int flag)
{
    VALMORA_Const = flag;
    if (VALMORA_Debug) Message_("gribSetConst", "Const set to %d", flag);
}

// Accepted for source compatibility; these settings have no effect.
void gribSetRound(int /* round */) {}
void gribSetRefDP(double /* refval */) {}
void gribSetRefSP(float /* refval */) {}
void gribSetValueCheck(int /* vcheck */) {}

} // extern "C"
