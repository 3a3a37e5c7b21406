// szip coding of packed GRIB values with the parameters of szipParams.h.
#ifndef VALMORA_SZIP_H
#define VALMORA_SZIP_H

#include "szipParams.h"

#include <cstddef>

namespace g1 {

// Codes the n octets of nbits-bit samples at src into dst, of *dstLen
// octets; *dstLen becomes the coded length. Writes octet for octet what
// SZ_BufftoBuffCompress writes for szipParams(nbits), and returns what it
// returns: SZ_OK, SZ_OUTBUFF_FULL when dst is too small, SZ_MEM_ERROR or
// SZ_PARAM_ERROR. Reads only src, writes only dst. Safe on several threads.
int szipCompress(void *dst, size_t *dstLen, const void *src, size_t n, int nbits);

} // namespace g1

#endif // VALMORA_SZIP_H
