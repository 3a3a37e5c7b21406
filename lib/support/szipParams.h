// The szip parameters of the data-section coder, in one place: the coder,
// its restoration and the byte-plane detector must code data alike, or the
// detector's verdict and the stored streams would not match.
#ifndef VALMORA_SZIP_PARAMS_H
#define VALMORA_SZIP_PARAMS_H

// szlib.h declares C functions without a C++ guard.
extern "C" {
#include <szlib.h>
}

namespace g1 {

// Raw coding (no szip header of its own), nearest-neighbour preprocessing,
// most significant byte first: GRIB packs its values big-endian.
constexpr int kSzipOptions = SZ_RAW_OPTION_MASK | SZ_NN_OPTION_MASK | SZ_MSB_OPTION_MASK;
constexpr int kSzipPixelsPerBlock = 8;
constexpr int kSzipPixelsPerScanline = 1024;

// Parameters for packed values of nbits bits; 3-octet values are coded as
// three planes of 8-bit samples.
inline SZ_com_t szipParams(int nbits)
{
    return SZ_com_t{kSzipOptions, nbits == 24 ? 8 : nbits, kSzipPixelsPerBlock, kSzipPixelsPerScanline};
}

} // namespace g1

#endif // VALMORA_SZIP_PARAMS_H
