// What the file pipeline asks of the per-record coder beyond the public
// functions. Internal.
#ifndef VALMORA_RECCODE_H
#define VALMORA_RECCODE_H

#include <cstddef>

// The length of the record at rec (size octets) once recUnpackRecord with
// `options` restores it: GRIB1 in the packed form with a whole-record
// check, GRIB2 with VALMORA_PACK_GRIB2; 0 for any other record (code 128
// included: gribGetZip tells its length); the record's own length when its
// marks say packed form but contradict each other (the restore reports
// it). Reads the record only; safe from several threads at once.
size_t recPlainLength(const unsigned char *rec, size_t size, int options);

// For readers: the plain record of a GRIB1 record in the packed form with
// a whole-record check, restored into scratch taken with memAlloc
// (*plain, the caller's to release with memRelease; *plainLen its
// length). 0 with *plain null: the record is not in that form. Else the
// restore's FORM_* status (recform.h), nothing allocated. Prints nothing.
int recFormPlain(const unsigned char *rec, size_t size, unsigned char **plain, size_t *plainLen);

#endif // VALMORA_RECCODE_H
