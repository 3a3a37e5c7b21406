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

/* Finds the first record in the `size` octets at `buffer` and frames it by
   the rule of gribReadSize (editions 0, 1 and 2; the large form of edition 1):
   the record starts with "GRIB" and its end section "7777" lies where its
   lengths say.
     *offset  where the marker starts; with -1, the octets before *offset hold
              no marker and none can start there once more octets follow.
     *length  the record length (0), or how many octets from *offset the
              caller must hold to go on (1).
   Result: 0 a whole record at *offset, of *length octets; 1 a marker whose
   record needs more octets than the buffer holds (at the end of the input it
   is no record); -1 no marker; -2 the marker at *offset starts no record
   (unsupported edition, impossible lengths, no end section where the lengths
   say): search on after it. Never writes to the buffer, never prints, keeps
   no state; safe from several threads at once. */
VALMORA_API int gribFindRecord(const void *buffer, size_t size, size_t *offset, size_t *length);

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
