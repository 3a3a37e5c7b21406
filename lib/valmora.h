/*
 * valmora.h - public interface of libvalmora, a library for GRIB records.
 *
 * Plain C interface; usable from C and C++. Every exported function and
 * global carries VALMORA_API. Types: lengths and capacities are size_t,
 * file positions and offsets int64_t, record positions and buffer sizes of
 * the locator and listings long, status results int.
 *
 * Threads. Safe to call from several threads at once, each on its own files
 * and buffers: gribLibraryVersion, gribVersion, the record file access
 * functions gribOpen .. gribWrite and gribFileError, correct_bdslen, the
 * locators grib1Sections, grib2Sections and grib_info_for_grads, gribGetZip,
 * recPack and recUnpack. One file ID or buffer must not be used by two
 * threads at once. Not safe while another thread calls any library
 * function: the settings and their setters (VALMORA_*, gribSet*, gribFixZSE,
 * grsdef, gribSetCalendar, grprsm), the listings, check and repair (each
 * prints its column header once per process), the section printers, the
 * encoder and the product interface (pb*, gribread).
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

/* gribVersion() :
   The GRIB edition of the record that starts at `buffer`, from its
   indicator section. `bufferSize` is the number of valid octets there.
   @return 1 or 2 from the edition octet (octet 8); 0 for an edition 0
           record, whose octets 5-7 hold 24 (the length of its product
           definition section) and whose octet 8 is neither 1 nor 2; -1 for
           a null buffer, fewer than 8 octets or no "GRIB" at the start; any
           other value of octet 8 as it stands.
   Reads at most 8 octets; never writes. Safe from several threads. */
VALMORA_API int gribVersion(const unsigned char *buffer, size_t bufferSize);

/* ---- Record file access (gribIO) ---------------------------------------- */
/* Whole GRIB records in files: find the next "GRIB" marker, work out the
   record's length from its headers, read it, write it. Octets between
   records are skipped by the search. Any input that reads in order will do,
   pipes and FIFOs included: the library keeps 16 KiB already read, enough
   to step back over a marker and a record's headers (a caller that must
   step back further on a pipe holds those octets itself).

   Telling the end of a file from a failure. gribGetSize returns 0 both at
   the end of the file and for a record it cannot size (an unsupported
   edition, a file that ends inside the headers), and also after a read
   error. Ask in this order:
     gribFileError(fileID) != 0   a read error, or a move the input could
                                  not do: stop (the value is the errno);
     gribRead(...) == -1          the end of the file: no more records;
     otherwise                    a record that cannot be sized: gribRead
                                  returned 1 with *bufferSize 0 and left
                                  the file after its marker, so the next
                                  search moves on to the record after it.
   A read error is never reported as the end of the file: the functions
   return their failure results instead, and go on doing so until the file
   is closed.

   Every function here is safe from several threads at once on different
   file IDs; one file ID is used by one thread at a time. None of them
   keeps a pointer to a caller's buffer. */

/* gribOpen() :
   Opens `filename` for whole-record access. `mode` "r" reads, "w" creates
   or truncates and writes; "a" appends, and a "+" adds the other direction.
   @return a file ID (>= 0) for the other functions, or -1 when the file
           cannot be opened (errno tells why) or the mode is not one of
           these. A directory opens, and its first read fails (EISDIR). */
VALMORA_API int gribOpen(const char *filename, const char *mode);

/* gribClose() :
   Writes what is still buffered and closes the file; the ID may then be
   handed out again by gribOpen.
   @return 0; -1 for an ID that is not open, or when a write, a read or the
           close failed at any time since the file was opened. */
VALMORA_API int gribClose(int fileID);

/* gribGetPos() :
   @return the current offset from the start of the file (octets read or
           written through the ID), or -1 for an ID that is not open. */
VALMORA_API int64_t gribGetPos(int fileID);

/* gribFileSeek() :
   Searches for the next "GRIB" marker from the current position, reading
   at most 16,777,216 octets. *offset receives the search count: the octets
   read before the marker's last octet (3 for a marker right at the
   position).
   @return 0 found (the file right after the marker), -1 end of file, 1 not
           found within the limit or a read error (gribFileError tells). */
VALMORA_API int gribFileSeek(int fileID, long *offset);

/* gribCheckSeek() :
   As gribFileSeek, then reads the 4 octets after the marker and sets
   *edition to the last of them (record octet 8), taken as a signed octet;
   the file is then 8 octets into the record. *edition is -1 unless the
   result is 0 and the 4 octets were there.
   @return 0 found, -1 end of file, 1 not found or a read error. */
VALMORA_API int gribCheckSeek(int fileID, long *offset, int *edition);

/* gribReadSize() :
   The length of the record whose marker was just read (the file right after
   it), worked out from its headers without reading its body, including the
   large-record form of edition 1. The file is put back where it was.
   @return the record length in octets, from its "G" to the end of "7777";
           0 for an unsupported edition (with a warning), a file that ends
           inside the headers, a read error or a move back that the input
           could not do (gribFileError tells the last two apart). */
VALMORA_API size_t gribReadSize(int fileID);

/* gribGetSize() :
   Searches for the next marker and sizes its record (gribReadSize), leaving
   the file at the marker's first octet, so that the next gribRead reads
   this same record.
   @return the record length; 0 at the end of the file, for a record that
           cannot be sized, when no marker was found within the limit (with
           the warning "GRIB record not found!") and on a read error. See
           above for telling them apart. */
VALMORA_API size_t gribGetSize(int fileID);

/* gribRead() :
   Searches for the next marker and reads the record into `buffer`.
   *bufferSize is the buffer's capacity on entry and the record length on
   return (0 when none was found or it could not be sized).
   @return 0 the whole record is in the buffer, the file after it;
          -1 end of file before a marker;
          -2 no marker within 16,777,216 octets (with a warning);
          -3 the record is longer than the buffer: its first capacity octets
             are there, the file after them;
           1 fewer octets could be read than the record (or the buffer)
             holds, the record could not be sized (nothing is read), or a
             read error (gribFileError tells).
   Never writes beyond the capacity given. */
VALMORA_API int gribRead(int fileID, void *buffer, size_t *bufferSize);

/* gribWrite() :
   Writes `size` octets from `buffer` (buffered; they reach the file by
   gribClose at the latest).
   @return `size` (capped at INT_MAX), or -1 when fewer octets could be
           written, after "gribWrite: " and the system's error text on
           standard error. The buffer is only read. */
VALMORA_API int gribWrite(int fileID, const void *buffer, size_t size);

/* gribFileError() :
   @return the system's error number (errno) of the first read error, or
           of a move the input could not do (ESPIPE on a pipe), since the
           file was opened; 0 when there was none (the end of the file is no
           error); EBADF for an ID that is not open. After such an error the
           record functions return their failure results, never those of
           the end of the file. */
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
