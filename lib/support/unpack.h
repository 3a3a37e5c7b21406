/*
 * Unpacking of GRIB's packed values, for every decoder of the library:
 * n codes of `bits` bits, each made (u x 2^E + R) x 10^-D in that order, as
 * GRIB readers compute it. Plain loops serve every width; codes of 8, 12,
 * 16 and 24 bits also have vector loops (see cpu.h). No function here
 * allocates, prints or keeps state, and each reads only the `octets` it is
 * given (codes beyond them read as zero bits): safe from several threads.
 * Internal, not installed; C++ only.
 */
#ifndef VALMORA_UNPACK_H
#define VALMORA_UNPACK_H

#include <cstddef>
#include <cstdint>

// The packed codes of one field and how they become values.
struct PackedRun {
    const unsigned char *data; // first packed octet
    size_t octets;             // packed octets that may be read
    double ref, step, dec;     // R, 2^E and 10^-D
};

// 10^-D as a product of tens, as GRIB readers form it.
double decimalFactor(int d);

// The run of `octets` packed octets at data with reference R, binary scale
// factor E and decimal scale factor D.
PackedRun packedRun(const unsigned char *data, size_t octets, double R, int E, int D);

// Values of codes first .. first + n - 1 (bits from 1 to 32) into out, by
// the fastest loop this processor has.
template <typename T> void unpackValues(const PackedRun &r, int bits, size_t first, size_t n, T *out);

// The same by the plain loops alone, for a few codes at a time.
template <typename T> void unpackValuesPlain(const PackedRun &r, int bits, size_t first, size_t n, T *out);

// n values whose codes start `bitOffset` bits into the run, on any bit.
template <typename T> void unpackValuesAt(const PackedRun &r, int bits, uint64_t bitOffset, size_t n, T *out);

// The raw codes: n codes of `bits` bits (0 to 32; 0 gives zeros) starting
// `bitOffset` bits into the `octets` octets at data.
void unpackCodes(const unsigned char *data, size_t octets, uint64_t bitOffset, int bits, size_t n, uint32_t *out);

// Values spread over the `points` points of a bit map (most significant bit
// first): a present point takes the next of the `coded` codes (bits 0: R x
// 10^-D), an absent one `missing`.
template <typename T>
void unpackWithMap(const PackedRun &r, int bits, size_t coded, const unsigned char *map, size_t points, T missing,
                   T *out);

#endif /* VALMORA_UNPACK_H */
