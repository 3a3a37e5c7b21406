// Grid numerics: spectral coefficient helpers and quasi-regular to regular
// interpolation. Each double/float pair is instantiated from one template.
#include "valmora.h"
#include "support.h"

#include <cmath>

namespace {

// ---- Spectral coefficient helpers ----------------------------------------
// (end of spectral coefficient helpers)

// ---- Quasi-regular to regular interpolation -------------------------------
// (end of quasi-regular interpolation)

} // namespace

extern "C" {

// ---- Spectral coefficient helpers: exported instances ---------------------
// (end of spectral exports)

// ---- Quasi-regular interpolation: exported instances ----------------------
// (end of interpolation exports)

} // extern "C"
