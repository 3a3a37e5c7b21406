/*
 * valmora.h - public interface of libvalmora, a library for GRIB records.
 *
 * Plain C interface; usable from C and C++. Every exported function and
 * global carries VALMORA_API. Types: lengths and capacities are size_t,
 * file positions and offsets int64_t, record positions and buffer sizes of
 * the locator and listings long, status results int.
 */
#ifndef VALMORA_H
#define VALMORA_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#define VALMORA_API
#else
#define VALMORA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Library version ---------------------------------------------------- */

/* The version of this header; the build takes its project version from here. */
#define VALMORA_VERSION_MAJOR 0
#define VALMORA_VERSION_MINOR 2
#define VALMORA_VERSION_PATCH 0
#define VALMORA_VERSION_STRING "0.2.0"

/* The version of the library actually loaded, as "MAJOR.MINOR.PATCH" (a
   static string; the caller must not free it). Safe from any thread. */
VALMORA_API const char *gribLibraryVersion(void);

/* ---- Edition query ------------------------------------------------------ */

/* Edition of the record at buffer: 0, 1 or 2; -1 for anything else. */
VALMORA_API int gribVersion(const unsigned char *buffer, size_t bufferSize);

/* ---- Record file access (gribIO) ---------------------------------------- */

VALMORA_API int gribOpen(const char *filename, const char *mode);
VALMORA_API int gribClose(int fileID);
VALMORA_API int64_t gribGetPos(int fileID);
/* 0 found (file right after the marker), -1 end of file, 1 not found. */
VALMORA_API int gribFileSeek(int fileID, long *offset);
VALMORA_API int gribCheckSeek(int fileID, long *offset, int *edition);
VALMORA_API size_t gribReadSize(int fileID);
VALMORA_API size_t gribGetSize(int fileID);
/* 0 read, -1 end of file, -2 no marker, -3 buffer too small, 1 short read. */
VALMORA_API int gribRead(int fileID, void *buffer, size_t *bufferSize);
VALMORA_API int gribWrite(int fileID, const void *buffer, size_t size);
/* The system's error number (errno) after a read error or a move that could
   not be done on the file, 0 otherwise; the record functions then return
   their failure results, never those of end of file. */
VALMORA_API int gribFileError(int fileID);

/* ---- Record structure (gribPrint) --------------------------------------- */

/* Large-record rule: the true BDS length from its field and the padded
   record length. */
VALMORA_API int correct_bdslen(int bdslen, int64_t recsize, int offset);

/* 0 complete, 1 longer than the buffer, -1 no indicator or edition > 1,
   -2 no end section (or a damaged section header). */
VALMORA_API int grib1Sections(unsigned char *gribbuffer, long gribbufsize,
                              unsigned char **pdsp, unsigned char **gdsp,
                              unsigned char **bmsp, unsigned char **bdsp,
                              long *gribrecsize);
VALMORA_API int grib2Sections(unsigned char *gribbuffer, long gribbufsize,
                              unsigned char **idsp, unsigned char **lusp,
                              unsigned char **gdsp, unsigned char **pdsp,
                              unsigned char **drsp, unsigned char **bmsp,
                              unsigned char **bdsp);
VALMORA_API int grib_info_for_grads(int64_t recpos, long recsize,
                                    unsigned char *gribbuffer, int *intnum,
                                    float *fltnum, int64_t *bignum);

/* ---- Record listings, check and repair (gribPrint) ---------------------- */

/* One line per record on standard output; each listing prints its column
   header once per process, before its first record line. The overview
   takes editions 0, 1 and 2, the section listings editions 0 and 1. */
VALMORA_API void gribPrintALL(int nrec, long offset, long recpos, long recsize, unsigned char *gribbuffer);
VALMORA_API void gribPrintPDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer);
VALMORA_API void gribPrintGDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer);
VALMORA_API void gribPrintBMS(int nrec, long recpos, long recsize, unsigned char *gribbuffer);
VALMORA_API void gribPrintBDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer);

/* Records with 24-bit data that are not szip-compressed: reported by the
   check; reported and joined back from byte planes in place by the repair. */
VALMORA_API void gribCheck1(int nrec, long recpos, long recsize, unsigned char *gribbuffer);
VALMORA_API void gribRepair1(int nrec, long recsize, unsigned char *gribbuffer);
/* (end of record listings) */

/* ---- szip coding of data sections (recPack) ----------------------------- */

/* The length a record of `length` octets is padded to when written to a file:
   rounded up to a multiple of 8 octets, or of 120 octets for records longer
   than 8,388,607 octets (the unit of the large form); a length that cannot
   be rounded up within size_t is returned as it is. Safe from any thread. */
VALMORA_API size_t gribPaddedLength(size_t length);

/* Compression code of the edition 1 record (128 = szip, 0 = plain); for 128
   *urecsize receives the record length before compression. */
VALMORA_API int gribGetZip(long recsize, unsigned char *gribbuffer, size_t *urecsize);
/* Compresses the data section of the record in place; returns the number of
   octets to write. The work buffer receives the compressed data first. */
VALMORA_API int recPack(void *gribbuffer, size_t gribbuffersize, void *zipbuffer, size_t zipbuffersize);
/* Restores the record copied to zipbuffer into gribbuffer (which holds the
   same copy on entry); returns the number of octets to write. Never writes
   beyond gribbuffersize nor reads beyond zipbuffersize. */
VALMORA_API int recUnpack(void *gribbuffer, size_t gribbuffersize, void *zipbuffer, size_t zipbuffersize);
/* (end of szip coding) */

/* ---- Settings (gribSetup) ----------------------------------------------- */

VALMORA_API extern int VALMORA_Debug;
VALMORA_API extern int VALMORA_Const;
VALMORA_API extern int VALMORA_Fix_ZSE;

VALMORA_API void gribSetDebug(int level);
VALMORA_API void gribFixZSE(int flag);
VALMORA_API void gribSetConst(int flag);
VALMORA_API void gribSetRound(int round);
VALMORA_API void gribSetRefDP(double refval);
VALMORA_API void gribSetRefSP(float refval);
VALMORA_API void gribSetValueCheck(int vcheck);

/* ---- Environment defaults and printer stream (gribSettings) ------------- */

VALMORA_API extern int VALMORA_grib_calendar;
VALMORA_API extern FILE *grprsm;

VALMORA_API void gribSetCalendar(int calendar);
VALMORA_API void grsdef(void);

/* ---- IBM single precision (ibmConvert, ibmDecode, refValue) ------------- */

VALMORA_API void confp3(double pval, int *kexp, int *kmant, int kbits, int kround);
VALMORA_API double decfp2(int kexp, int kmant);
VALMORA_API void ref2ibm(double *pref, int kbits);

/* ---- Binary digit printer (binPrint) ------------------------------------ */

/* The low knbit (1 to 14) bits of kdec as decimal digits in *kbin, bit 0 the
   units digit; *kret 0, or 1 for a length out of range (*kbin untouched).
   At most the low 10 bits are shown, all that an int can hold. */
VALMORA_API void prtbin(int kdec, int knbit, int *kbin, int *kret);
/* (end of binary digit printer) */

/* ---- GRIB1 encoder (gribEncode) ----------------------------------------- */
/* Build a GRIB edition 1 record in kgrib (kleng 4-octet words) from the
   section arrays. fsec4 is rewritten in place. *kstatus: 0, 707 (minimum
   value or binary scale failure), 807 (complex packing mismatch). The
   ninth and thirteenth parameters are not read. */
VALMORA_API void grib_encode_double(int *isec0, int *isec1, int *isec2, double *fsec2, int *isec3,
                                    double *fsec3, int *isec4, double *fsec4, int klenp, int *kgrib,
                                    int kleng, int *kused, int efunc, int *kstatus);
VALMORA_API void grib_encode_float(int *isec0, int *isec1, int *isec2, float *fsec2, int *isec3,
                                   float *fsec3, int *isec4, float *fsec4, int klenp, int *kgrib,
                                   int kleng, int *kused, int efunc, int *kstatus);
VALMORA_API void encode_dummy(void);
/* (end of GRIB1 encoder) */

/* ---- GRIB1 decoder (gribDecode) ----------------------------------------- */
/* The inverse of the encoder: a GRIB edition 0 or 1 record, plain or in the
   szip form that recPack writes, to the section arrays and values, with the
   element layout the encoder reads and the section printers print.

   Arrays of fixed length, which the caller must always provide in full:
   isec0 VALMORA_ISEC0_SIZE, isec1 VALMORA_ISEC1_SIZE, isec3 VALMORA_ISEC3_SIZE,
   fsec3 VALMORA_FSEC3_SIZE, isec4 VALMORA_ISEC4_SIZE elements.
   Arrays whose length depends on the record, each with its capacity given
   in elements through the size argument that follows it:
   - isec2: 22, plus one element per row of a quasi-regular grid (at most
     VALMORA_ISEC2_SIZE for any record);
   - fsec2: 10, plus one element per vertical coordinate (at most
     VALMORA_FSEC2_SIZE);
   - fsec4: one element per point (isec4 element 0); no fixed bound, so ask
     with fsec4 null first, or grow on VALMORA_DECODE_NO_ROOM.
   On return each size argument holds the elements the record needs, also
   when the status is VALMORA_DECODE_NO_ROOM, so the caller can grow the
   array and call again. Nothing is ever written beyond a stated capacity. */
#define VALMORA_ISEC0_SIZE 2
#define VALMORA_ISEC1_SIZE 57
#define VALMORA_ISEC2_SIZE 65557 /* 22 + 65535 rows: fits every record */
#define VALMORA_FSEC2_SIZE 265   /* 10 + 255 vertical coordinates: fits every record */
#define VALMORA_ISEC3_SIZE 2
#define VALMORA_FSEC3_SIZE 2
#define VALMORA_ISEC4_SIZE 21

/* Results of grib_decode_double and grib_decode_float. The first three are
   the section locator's (grib1Sections). */
#define VALMORA_DECODE_OK 0
#define VALMORA_DECODE_NOT_GRIB1 (-1)   /* no "GRIB" marker, or edition 2 or later */
#define VALMORA_DECODE_DAMAGED (-2)     /* no end section, or sections that contradict their lengths */
#define VALMORA_DECODE_TRUNCATED 1      /* the record is longer than recordLength */
#define VALMORA_DECODE_UNSUPPORTED 2    /* predefined bit map, second-order packing, matrix values, ... (named on standard error); headers filled, no values */
#define VALMORA_DECODE_NO_ROOM 3        /* a capacity is too small; the size arguments give what is needed */
#define VALMORA_DECODE_SZIP_FAILED 4    /* the szip data could not be decompressed */
#define VALMORA_DECODE_CHECK_MISMATCH 5 /* the szip data decompress to a section that fails its stored check; no values */
#define VALMORA_DECODE_GRID_NOT_DECODED 6 /* values decoded, but the grid type has no layout: isec2 holds the type alone */

/* Decodes the record at `record` (recordLength octets available; nothing
   past them, nor past the record's own length, is read).
   - isec0: [0] the record's length, [1] its edition.
   - isec1: elements 0 to 23 and the local extensions that the encoder writes
     (element 23 is 1 when one was decoded); any other local extension is
     skipped and element 23 is 0. Edition 0 records leave the elements of
     octets they lack 0.
   - isec2/fsec2: the grid description for types 0, 3, 4, 5, 10, 14, 20, 24,
     30, 34, 50, 60, 70, 80, 90 and 192; element 16 is 1 for a quasi-regular
     grid, whose row counts follow from element 22. Increments that the
     record marks not given read -1. A record without a grid description
     leaves the fixed parts zero. Type 5 keeps its flag octet in element 17.
   - isec3: [0] the number of a predefined bit map (0 for none); [1] is not
     changed. fsec3: [1] is read, the value given to points missing from the
     bit map; [0] is not changed.
   - isec4: [0] points, [1] bits per value, [2] 128 spherical harmonics,
     [3] 64 complex packing, [4] 32 integer data, [15] to [19] the complex
     packing octets, [20] the points present when there is a bit map. An szip
     record reads as the record before compression.
   - fsec4: the values in the record's order, or null to decode the headers
     alone (fast: nothing is decompressed or unpacked; fsec4Size, when given,
     still receives the number of points).
   isec2 and fsec2 both null (their sizes may be null too) skip the grid
   description; a null fixed array gives VALMORA_DECODE_NO_ROOM.
   Result: VALMORA_DECODE_OK or one of the codes above. fsec4 is written only
   with the results OK and GRID_NOT_DECODED; after NOT_GRIB1, DAMAGED or
   TRUNCATED the other arrays may hold part of the record. The record is only
   read. Safe from several threads at once: no process-wide state is read or
   written, and scratch memory is taken and released inside the call. */
VALMORA_API int grib_decode_double(const unsigned char *record, size_t recordLength, int *isec0, int *isec1,
                                   int *isec2, size_t *isec2Size, double *fsec2, size_t *fsec2Size, int *isec3,
                                   double *fsec3, int *isec4, double *fsec4, size_t *fsec4Size);
/* The same with single-precision real arrays (values computed in double,
   then rounded once). */
VALMORA_API int grib_decode_float(const unsigned char *record, size_t recordLength, int *isec0, int *isec1,
                                  int *isec2, size_t *isec2Size, float *fsec2, size_t *fsec2Size, int *isec3,
                                  float *fsec3, int *isec4, float *fsec4, size_t *fsec4Size);

/* ---- Spectral coefficient helpers (grib_int) ---------------------------- */
/* Coefficients in (real, imaginary) pairs, m outer, n inner. pcScale is
   the power times 1000; inv non-zero divides instead of multiplying. */
VALMORA_API void scale_complex_double(double *fpdata, int pcStart, int pcScale, int trunc, int inv);
VALMORA_API void scale_complex_float(float *fpdata, int pcStart, int pcScale, int trunc, int inv);
/* Subset of truncation pcStart first, then the rest; scatter undoes it. */
VALMORA_API void gather_complex_double(double *fpdata, size_t pcStart, size_t trunc, size_t nsp);
VALMORA_API void gather_complex_float(float *fpdata, size_t pcStart, size_t trunc, size_t nsp);
VALMORA_API void scatter_complex_double(double *fpdata, int pcStart, int trunc, int nsp);
VALMORA_API void scatter_complex_float(float *fpdata, int pcStart, int trunc, int nsp);
/* Power P of the fall-off (n(n+1))^-P of the largest magnitude per n >= S. */
VALMORA_API double calculate_pfactor_double(const double *spectralField, long fieldTruncation,
                                            long subsetTruncation);
VALMORA_API double calculate_pfactor_float(const float *spectralField, long fieldTruncation,
                                           long subsetTruncation);
/* (end of spectral coefficient helpers) */

/* ---- Quasi-regular to regular interpolation (grib_int) ------------------ */

/* Reduced (quasi-regular) field to a regular one, row by row, in place:
   `pfield` holds the rows of lengths kpoint[0 .. klat-1] back to back on
   entry and klat x klon values on return, so it needs room for the larger
   of the two. Values equal to msval are missing. *kret is 0, or -1 when a
   row length lies outside 1 .. 2 x klon (or klon < 2 for non-periodic rows);
   the field is then left as it was. The result is always 0. Work arrays
   are taken and released inside the call; if one cannot be had the process
   ends with "No Memory!". */
/* Periodic linear interpolation; ztemp has room for klat x klon values. */
VALMORA_API int qu2reg2(double *pfield, int *kpoint, int klat, int klon, double *ztemp,
                        double msval, int *kret);
/* operio: rows wrap round the globe; oveggy: nearest neighbour instead of
   linear (missing values are then not examined). omisng is accepted and
   not used. */
VALMORA_API int qu2reg3_double(double *pfield, int *kpoint, int klat, int klon, double msval,
                               int *kret, int omisng, int operio, int oveggy);
VALMORA_API int qu2reg3_float(float *pfield, int *kpoint, int klat, int klon, float msval,
                              int *kret, int omisng, int operio, int oveggy);
/* (end of quasi-regular interpolation) */

/* ---- Section printer (korvidPrint) -------------------------------------- */

/* Labelled printouts of the section arrays, one value per line, on grprsm.
   They check nothing and change nothing; the arrays must be as long as
   their counts lead. */
VALMORA_API void gribPrintSec0(const int *isec0);
VALMORA_API void gribPrintSec1(const int *isec0, const int *isec1);
VALMORA_API void gribPrintSec2DP(const int *isec0, const int *isec2, const double *fsec2);
VALMORA_API void gribPrintSec2SP(const int *isec0, const int *isec2, const float *fsec2);
VALMORA_API void gribPrintSec3DP(const int *isec0, const int *isec3, const double *fsec3);
VALMORA_API void gribPrintSec3SP(const int *isec0, const int *isec3, const float *fsec3);
VALMORA_API void gribPrintSec4DP(const int *isec0, const int *isec4, const double *fsec4);
VALMORA_API void gribPrintSec4SP(const int *isec0, const int *isec4, const float *fsec4);
/* The coordinate coefficients of matrix data (isec4 element 59 onwards). */
VALMORA_API void gribPrintSec4Wave(const int *isec4);
/* (end of section printer) */

/* ---- Product buffer interface (pbio) ------------------------------------ */

/* Unit-based product I/O over the library's file layer. Results come back
   through the pointers. "PBIO_DEBUG" (trace level, read at the first pbOpen)
   and "PBIO_BUFSIZE" (file buffer size in bytes) tune it. Units open raw;
   pbSetRaw(unit, 0) frames later pbWrite blocks with 4-byte big-endian
   lengths before and after, a zero word at the start of the file and another
   at pbClose. A unit that pbOpen never returned is refused with -1. */
/* *iret 0 opened, -1 open failed, -3 mode not r, w, a or c (either case). */
VALMORA_API void pbOpen(int *unit, const char *name, const char *mode, int *iret);
/* whence 0 start, 1 current, 2 end (the offset counts backwards from the
   end, whatever its sign); *iret the new offset, -1 at end of file, -2. */
VALMORA_API void pbSeek(int unit, int offset, int whence, int *iret);
/* As pbSeek with 64-bit offsets passed on unchanged (whence 2 included). */
VALMORA_API void pbSeek64(int unit, int64_t offset, int whence, int64_t *iret);
VALMORA_API void pbTell(int unit, int *iret);
/* *iret the count read, -1 end of file, -2 read error. */
VALMORA_API void pbRead(int unit, void *buffer, int nbytes, int *iret);
/* *iret the count written or -1. */
VALMORA_API void pbWrite(int unit, const void *buffer, int nbytes, int *iret);
VALMORA_API void pbClose(int unit, int *iret);
VALMORA_API int pbFlush(int unit);
VALMORA_API void pbSetRaw(int unit, int raw);
/* Next GRIB record; *iret is the record scanner's gribRead code. */
VALMORA_API void gribread(void *buffer, int bufsize, int *recsize, int *iret, int unit);
/* Next GRIB record; *iret 0, -1 end of file, -2 record cut short,
   -3 buffer too small (*recsize the full length, the buffer its start). */
VALMORA_API void pbGrib(int unit, void *buffer, int bufsize, int *recsize, int *iret);
/* Length of the next GRIB record (0 for none); the position is kept. */
VALMORA_API void pbSize(int unit, int *size);
/* (end of product buffer interface) */

#ifdef __cplusplus
}
#endif

#endif /* VALMORA_H */
