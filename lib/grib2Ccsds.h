// GRIB2 fields between simple packing (data representation template 5.0)
// and CCSDS packing (template 5.42), with the same integers. Internal.
#ifndef VALMORA_GRIB2CCSDS_H
#define VALMORA_GRIB2CCSDS_H

#include <cstddef>

// Both write the converted message of the GRIB2 message at src (srcsize
// octets; never written) into dst (dstsize octets, at least the message's
// length; they must not overlap), or the message as read when no field is
// converted or the message cannot be walked. Result: the octets written
// (the message, not padded); *converted (may be null) 1 when a field was
// converted, else 0. Safe from several threads at once.

// Every field in template 5.0 of 1 to 32 bits whose section 7 holds
// exactly its packed bits, zero-padded, becomes template 5.42 when that is
// at least 5 % smaller (sections 5 and 7 together) and restores exactly.
size_t grib2ToCcsds(const unsigned char *src, size_t srcsize, unsigned char *dst, size_t dstsize, int *converted);

// Every field in template 5.42 (unsigned, 0 to 32 bits) becomes template
// 5.0 with the same integers. dst needs room for the simple-packed
// message: grib2SimpleLength tells its length. A field whose coded data
// do not decode leaves the whole message as read, *converted -1.
size_t grib2FromCcsds(const unsigned char *src, size_t srcsize, unsigned char *dst, size_t dstsize, int *converted);

// The length of the message at src once every convertible 5.42 field is
// in template 5.0, or 0 when the message cannot be walked.
size_t grib2SimpleLength(const unsigned char *src, size_t srcsize);

#endif // VALMORA_GRIB2CCSDS_H
