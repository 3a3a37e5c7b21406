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
 * recPack, recPackCopy, recUnpack, recUnpackCopy, recUnpackCopyRestored,
 * valmoraStatusText, recPackFile, the decoders grib_decode_* and
 * grib_field_decode_*, gribFieldCount and gribFieldLatLons. One file ID or
 * buffer must not be used by two threads at once. Not safe while another thread calls any library
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

/* correct_bdslen() : the large-record rule of edition 1 for a data-section
   length field. A record too long for the 24-bit length of octets 5-7 is
   padded to a multiple of 120 octets, octets 5-7 hold 0x800000 + the padded
   length / 120, and the BDS length field holds the padding + 4 (at most 123).
   bdslen  : the BDS length field f as stored (BDS octets 1-3), compared
             unsigned.
   recsize : the padded record length R = (octets 5-7 & 0x7FFFFF) x 120.
   offset  : octets to take off besides f; the octets before the BDS give
             the true BDS length.
   Returns recsize - offset - bdslen when bdslen <= 120 and recsize >=
   0x800000 (8,388,608), else bdslen unchanged.
   Pure arithmetic: safe from any thread. */
VALMORA_API int correct_bdslen(int bdslen, int64_t recsize, int offset);

/* grib1Sections() : frames a GRIB edition 0 or 1 record held in memory.
   gribbuffer  : the record, from its "GRIB".
   gribbufsize : the octets valid at gribbuffer; nothing beyond is read.
   *pdsp, *gdsp, *bmsp, *bdsp : receive the first octet of the product
             definition, grid description, bit-map and binary data sections,
             inside gribbuffer (*gdsp, *bmsp null when the record has none).
   *gribrecsize : the record length from "GRIB" to the end of "7777", the
             large-record rule applied.
   All five are cleared first, and set before the length is compared with
   the buffer: valid after 0, 1, and -2 for a missing "7777".
   Returns 0 : a complete record ending in "7777";
           1 : the record is longer than gribbufsize (outputs set);
          -1 : no "GRIB", edition 2 or above, or fewer than 8 octets;
          -2 : no "7777" after the data section, or a section header that
               would lie beyond the buffer or the record's stated length.
   Every failure prints one line on standard error. Never writes to
   gribbuffer. Safe from several threads at once. */
VALMORA_API int grib1Sections(unsigned char *gribbuffer, long gribbufsize,
                              unsigned char **pdsp, unsigned char **gdsp,
                              unsigned char **bmsp, unsigned char **bdsp,
                              long *gribrecsize);
/* grib2Sections() : frames a GRIB edition 2 record held in memory.
   gribbuffer  : the record, from its "GRIB".
   gribbufsize : the octets valid at gribbuffer, or 0 when not known; the
             walk never passes it, nor the total length of octets 9-16 (with
             0 the buffer must hold that total).
   *idsp .. *bdsp : receive sections 1 to 7 of the first field in order:
             identification, local use (null when absent), grid definition,
             product definition, data representation, bit map, data. All
             seven are cleared first. Further fields of the record are not
             framed; each gives a "Skipped unsupported multi GRIB section %d!"
             line.
   Returns 0 : a complete record ending in "7777";
          -1 : no "GRIB", edition other than 2, a section out of order, or
               a known size below 16;
          -2 : no "7777" where the section lengths lead, or a section that
               would lie outside the buffer.
   Messages go to standard error. Never writes to gribbuffer. Safe from
   several threads at once. */
VALMORA_API int grib2Sections(unsigned char *gribbuffer, long gribbufsize,
                              unsigned char **idsp, unsigned char **lusp,
                              unsigned char **gdsp, unsigned char **pdsp,
                              unsigned char **drsp, unsigned char **bmsp,
                              unsigned char **bdsp);
/* grib_info_for_grads() : where the packed data and the bit map of an
   edition 0 or 1 record lie in its file, and the numbers that scale them,
   for indexing tools (the GrADS display program). Octet 8 = 1 frames the
   record as edition 1, any other value as edition 0.
   recpos     : the file offset of the record's "GRIB".
   recsize    : the record's length as the caller knows it, which is also the
                number of octets valid at gribbuffer. A recsize of 8,388,608
                or more with a BDS length field of 120 or less is taken as the
                padded length of the large form.
   intnum     : 1 element: [0] bits per value (BDS octet 11).
   fltnum     : 3 elements: [0] 10^D, D the decimal scale factor (PDS octets
                27-28); [1] 2^E, E the binary scale factor (BDS octets 5-6);
                [2] the reference value (BDS octets 7-10, IBM single
                precision). A packed value X decodes as
                (fltnum[2] + X * fltnum[1]) / fltnum[0].
   bignum     : 2 elements: [0] recpos + BDS offset + 11, the file offset of
                BDS octet 12, where grid-point packed data start; [1] recpos
                + BMS offset + 6, the file offset of the bit map, or -999 when
                the record has no bit-map section.
   Returns 0 : outputs written (a missing "7777" is reported and tolerated);
           1 : the record is longer than recsize, a section header lies
               beyond it, or recsize is below 8;
          -1 : no "GRIB".
   On a non-zero result the three arrays are not touched. Messages go to
   standard error. Never writes to gribbuffer. Safe from several threads at
   once. */
VALMORA_API int grib_info_for_grads(int64_t recpos, long recsize,
                                    unsigned char *gribbuffer, int *intnum,
                                    float *fltnum, int64_t *bignum);

/* ---- Record listings, check and repair (gribPrint) ---------------------- */

/* The listings write one line per record on standard output, read from the
   record's octets; each listing prints its column header once per process,
   before its first record line.
   nrec       : the record number shown in the first column.
   offset     : (overview only) a number of the caller's, shown under "Off".
   recpos     : the record's position in its file, shown under "Position".
   recsize    : the record's length, which is also the number of octets valid
                at gribbuffer: a field beyond it reads as 0 and nothing past
                it is read.
   gribbuffer : the record, from its "GRIB"; never written to.
   A record that cannot be framed gets a "GRIB message error" line (the
   locator's message goes to standard error first); one longer than recsize
   gets its line with " <-- GRIB data corrupted!" at the end.
   Not safe from several threads at once: the header flags are process-wide. */
/* gribPrintALL() : overview line (section lengths, code, level, level and grid
   type, compression ratio, large-record flag) for editions 0, 1 and 2; any
   other edition gives a "GRIB version %d unsupported" line. */
VALMORA_API void gribPrintALL(int nrec, long offset, long recpos, long recsize, unsigned char *gribbuffer);
/* gribPrintPDS(), gribPrintGDS(), gribPrintBMS(), gribPrintBDS() : the fields
   of one section, for editions 0 and 1; other editions get the "GRIB version
   %d unsupported" line. */
VALMORA_API void gribPrintPDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer);
VALMORA_API void gribPrintGDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer);
VALMORA_API void gribPrintBMS(int nrec, long recpos, long recsize, unsigned char *gribbuffer);
VALMORA_API void gribPrintBDS(int nrec, long recpos, long recsize, unsigned char *gribbuffer);

/* gribCheck1() : reports an edition 0 or 1 record whose data have 24 bits per
   value and are not szip-compressed (a szip mark whose two lengths are equal
   does not count), with "GRIB record %5d : code = %4d   level = %7d" on
   standard output; a record that cannot be framed gives "%5d : GRIB message
   error", one longer than recsize "%5d : <-- GRIB data corrupted!"; any other
   record prints nothing. nrec is shown, recpos is not used, recsize is the
   number of octets valid at gribbuffer. Never writes to gribbuffer. Safe from
   several threads at once (each line is written with one call). It tests the
   bit width only, not whether the data really are in byte planes: healthy
   24-bit records are reported too. gribPlanes1 tells them apart. */
VALMORA_API void gribCheck1(int nrec, long recpos, long recsize, unsigned char *gribbuffer);
/* gribRepair1() : the check of gribCheck1, its line prefixed with "Repair ",
   then, for a reported record, the packed data are rewritten in place: their
   three byte planes of n octets each become n consecutive 3-octet values (the
   inverse of the plane split of the szip coder). Only the whole values of the
   packed data change; lengths, flags and every other octet stay. A record
   that is not reported is left as it is. The scratch block comes from the
   traced memory; if it cannot be had, a warning and the record unchanged.
   Safe from several threads at once on different buffers. Like the check it
   tests the bit width only: it scrambles a healthy 24-bit record, so call it
   only for records gribPlanes1 finds in planes (GRIB_PLANES_SPLIT). */
VALMORA_API void gribRepair1(int nrec, long recsize, unsigned char *gribbuffer);

/* ---- Byte-plane detection (gribPlanes) ---------------------------------- */

#define GRIB_PLANES_WHOLE       0 /* values stored whole: the record is sound */
#define GRIB_PLANES_SPLIT       1 /* data left in byte planes: repair it */
#define GRIB_PLANES_UNDECIDED   2 /* the statistics point neither way */
#define GRIB_PLANES_NOT_TESTED  3 /* not a record the test applies to */
#define GRIB_PLANES_DAMAGED   (-1) /* sections not located within recsize */
#define GRIB_PLANES_FAILED    (-2) /* no scratch memory, or the szip coder failed */

/* gribPlanes1() : tells whether the packed data of an uncompressed 24-bit
   grid-point record (edition 0 or 1, simple packing) were left in three byte
   planes, as the szip coder orders them, instead of as consecutive 3-octet
   values.
   The data are read both ways: octets 0, 3, 6, ... / 1, 4, 7, ... /
   2, 5, 8, ... for values stored whole, the first, second and last third for
   planes. Each of the six streams is szip-coded (8-bit samples and the
   coder's own parameters) and the totals T_whole and T_planes compared:
   T_planes < 0.95 x T_whole gives GRIB_PLANES_SPLIT, T_planes >= T_whole
   GRIB_PLANES_WHOLE, anything between GRIB_PLANES_UNDECIDED. The data extent
   is the one gribRepair1 joins, so a record found split is mended by it.
     gribbuffer  the record, from "GRIB" on
     recsize     octets readable at gribbuffer
     ratio       if not NULL, receives T_planes / T_whole when the record was
                 tested (results 0 to 2), else 0
   Result: one of the GRIB_PLANES_ codes. GRIB_PLANES_NOT_TESTED for edition
   2 records, other bit widths, spectral, second-order or szip-form data
   sections, records of fewer than 64 values and fields whose values are all
   equal. Prints nothing but the locator's diagnostics of a damaged record
   (standard error); never writes to the record. Safe from several threads
   at once. */
VALMORA_API int gribPlanes1(const unsigned char *gribbuffer, long recsize, double *ratio);

/* ---- szip coding of data sections (recPack) ----------------------------- */
/* The data section of a GRIB edition 1 record compressed with szip, in place,
   so that the record stays a well-formed edition 1 record (BDS flag 0x10,
   compression code 128 in BDS octet 14). BDS octets 12-13 carry a 16-bit
   check of the section before compression (the low 16 bits of its CRC-32C,
   0xFFFF for 0); records packed with 0 there restore without a check.
   These functions and gribPaddedLength are safe from several threads at
   once on different buffers. None of them frees, grows or keeps a caller's
   buffer, nor touches octets beyond the sizes given. */

/* ---- Compression codes -------------------------------------------------- */
/* The codes of BDS octet 14 in a data section flagged as compressed (BDS
   octet 4 has 0x10), as gribGetZip returns them. */
#define VALMORA_ZIP_SZIP 128 /* the szip form, which recPack writes and recUnpack restores */
/* The same layout with a coder this library does not have: the listings
   take its record length before compression (BDS octets 15-17) for their
   ratio, gribGetZip returns it with a length of 0, and recunpack reports
   such a record and leaves it out of its output. */
#define VALMORA_ZIP_RESERVED 130

/* The length a record of `length` octets is padded to when written to a file:
   rounded up to a multiple of 8 octets, or of 120 octets for records longer
   than 8,388,607 octets (the unit of the large form); a length that cannot
   be rounded up within size_t is returned as it is. */
VALMORA_API size_t gribPaddedLength(size_t length);

/* Compression code of the record at gribbuffer (recsize valid octets).
   Result: VALMORA_ZIP_SZIP for the szip form, with *urecsize the record's
   length before compression; a code of the packed form with a whole-record
   check (VALMORA_ZIP_CCSDS ...), with *urecsize the plain record's length
   (0 when its octets contradict each other); another code found in BDS
   octet 14 of a section flagged as compressed, with *urecsize 0; 0 for a plain edition 1 record or
   one whose flagged data section is too short for the 23 octets of the szip
   layout (*urecsize 0), and 0 with *urecsize untouched for an
   edition 2 record or one the locator cannot frame (its message on standard
   error, then "GRIB message error" or "GRIB data corrupted!" on standard
   output). Reads the record only. */
VALMORA_API int gribGetZip(long recsize, unsigned char *gribbuffer, size_t *urecsize);

/* Compresses the data section of the edition 1 record at the start of
   gribbuffer (gribbuffersize octets available) in place, when that gains
   more than 5 % and recUnpack gives the record back octet for octet: plain
   (not large) form, 8, 16, 24 or 32 bits per value, more than 2047 data
   bits, not already flagged. zipbuffer (zipbuffersize octets; the record's
   length is ample) receives the compressed data on the way; its contents are
   undefined afterwards. Result: the number of octets to write, never more
   than gribbuffersize:
   - compressed: the new record, padded with zero octets to a multiple of 8;
   - compression tried and not worth it: the record, padded alike;
   - left alone (other widths, too few bits, already flagged): its length;
     the first record of an unsupported non-zero width in the process gets
     "GRIB szip supports only 8, 16, 24 and 32 bit data!" on standard error;
   - a large-form record: its padded length, the record not compressed and
     followed by zero octets up to that length;
   - a record the locator cannot frame: the length the locator found (0 for
     no indicator or another edition), with the messages of gribGetZip.
   The zero padding is written only where the buffer has room for it. */
VALMORA_API int recPack(void *gribbuffer, size_t gribbuffersize, void *zipbuffer, size_t zipbuffersize);

/* recPack from a record that stays as it is (a file mapped read-only, say)
   into a buffer apart: the record at `record` (recordsize octets; never
   written) is compressed into gribbuffer (gribbuffersize octets; the
   record's length plus 120 is ample, no work buffer is needed). Result:
   that of recPack on a buffer of gribbuffersize octets holding the record
   and zero octets after it, and the first `result` octets of gribbuffer
   are what that buffer would hold; octets past them are undefined.
   Messages: those of recPack on the record alone. Result 0 with a warning,
   nothing written: the buffers overlap, or gribbuffer is shorter than the
   record. */
VALMORA_API int recPackCopy(const void *record, size_t recordsize, void *gribbuffer, size_t gribbuffersize);

/* Restores the szip-form record at zipbuffer (zipbuffersize octets, the
   record's length; never written) into gribbuffer (gribbuffersize octets),
   which must hold the same record on entry and have room for the restored
   one (gribGetZip's length before compression plus 100 is ample). The two
   buffers must not overlap: overlapping ones are refused with a warning,
   result 0, before anything is written. Result: the number of octets to
   write, never more than gribbuffersize:
   - restored: the record as it was before compression (the unused-bit count
     0, or 8 with one zero octet ending the section, as recPack accepts it),
     padded with zero octets to a multiple of 8 where there is room;
   - 0: the source or the destination cannot be framed (messages as for
     gribGetZip) or the destination does not hold the same record.
   Left packed: when the source has no szip data section, its szip octets
   are damaged (lengths beyond the section, data not whole samples), the
   restored record would not fit, szip fails or gives another length, the
   check differs, or the restored record's length differs from the one
   stored in BDS octets 15-17, a warning goes to standard error, the
   destination holds the source record exactly as read and the result is
   zipbuffersize. A caller tells this case from a restored record by asking
   gribGetZip about the destination: it still returns VALMORA_ZIP_SZIP. */
VALMORA_API int recUnpack(void *gribbuffer, size_t gribbuffersize, void *zipbuffer, size_t zipbuffersize);

/* recUnpack without the copy of the record into gribbuffer first: restores
   the szip-form record at `record` (recordsize octets; never written) into
   gribbuffer (gribbuffersize octets, whatever they hold on entry). Result,
   messages and what gribbuffer holds: those of recUnpack given a copy of the
   record in gribbuffer (a record left packed, or with no szip data section,
   is copied there as read); overlapping buffers are refused alike. */
VALMORA_API int recUnpackCopy(const void *record, size_t recordsize, void *gribbuffer, size_t gribbuffersize);

/* recUnpackCopy that also says whether it restored: *restored (when not
   NULL) is 1 when gribbuffer holds the restored record, 0 when it holds
   nothing or the record as read (left packed, no szip data section). The
   result, messages and buffers are those of recUnpackCopy, so a caller
   need not ask gribGetZip about its own output. Safe from several threads
   at once on different buffers. */
VALMORA_API int recUnpackCopyRestored(const void *record, size_t recordsize, void *gribbuffer,
                                      size_t gribbuffersize, int *restored);

/* ---- Packing one record, every form -------------------------------------- */

/* Compression codes of the packed form with a whole-record check (BDS
   octet 14, flag 0x10 in octet 4, 255 in octet 11; doc/format.md has its
   layout), by coder. */
#define VALMORA_ZIP_CCSDS 129        /* CCSDS (libaec) on the values at their own width */
#define VALMORA_ZIP_CCSDS_PLANES 131 /* CCSDS on the 8-bit planes of 24- and 32-bit values */
#define VALMORA_ZIP_ZSTD_PLANES 132  /* zstd on the byte planes of the values */
#define VALMORA_ZIP_ZSTD 133         /* zstd on the data octets as they stand (second-order packing, masks) */

/* Options of recPackRecord and recUnpackRecord (bits, or-ed together). */
#define VALMORA_PACK_COMPAT 1 /* GRIB1: the code-128 form only, exactly as recPackCopy writes it */
#define VALMORA_PACK_GRIB2 2  /* GRIB2: simple packing to CCSDS packing and back */

/* Packs the record at `record` (recordsize octets, from its "GRIB"; never
   written) into buffer (buffersize octets, at least recordsize; the
   record's length plus 120 is ample). GRIB1 records of 1 to 32 bits per
   value take the packed form with a whole-record check (BDS flag 0x10,
   codes 129, 131, 132 and 133 in BDS octet 14, the coder chosen per
   record), when that is at least 5 % smaller and restores octet for
   octet; with VALMORA_PACK_COMPAT, recPackCopy codes it instead (code
   128). With VALMORA_PACK_GRIB2, the fields of a GRIB2 record in simple
   packing become CCSDS packing (template 5.42) where that is at least 5 %
   smaller and restores exactly. Everything else is copied as read.
   Result: the octets to write (padded with zero octets as gribPaddedLength
   says, where there is room); 0 with a warning, nothing written, when a
   buffer is null, the buffers overlap or buffer is shorter than the record.
   *coded (may be null): 1 when the record was coded, else 0. Safe from
   several threads at once on different buffers. */
VALMORA_API int recPackRecord(const void *record, size_t recordsize, void *buffer, size_t buffersize, int options,
                              int *coded);

/* Restores a record of any packed form at `record` (recordsize octets;
   never written) into buffer (buffersize octets; gribGetZip gives the
   restored length of a GRIB1 record, plus 120 is ample): the packed GRIB1
   form and code 128 always; with VALMORA_PACK_GRIB2, every GRIB2 field in
   CCSDS packing, whoever wrote it, becomes simple packing with the same
   integers. Records of no packed form are copied as read. A record that
   cannot be restored (damaged, failing its check, no room) is copied as
   read with a warning. Result: the octets to write, padded as by
   recPackRecord; 0 with a warning, nothing written, for a null or
   overlapping buffer. *restored (may be null): 1 restored, 0 not packed,
   -1 left packed (damaged, or no room). Safe from several threads at once
   on different buffers. */
VALMORA_API int recUnpackRecord(const void *record, size_t recordsize, void *buffer, size_t buffersize, int options,
                                int *restored);

/* ---- Settings (gribSetup) ----------------------------------------------- */

/* Process-wide switches, plain variables that the library reads on every
   call that uses them. Change them (directly or through the setters) before
   other threads call the library, never while they do: the setters are not
   safe from several threads at once, and no read of the switches is
   synchronised. */
/* Debug level; any non-zero value shows trace messages on standard error
   (record scanner, reference-value conversion, setters). Starts at 0. */
VALMORA_API extern int VALMORA_Debug;
/* Non-zero lets the encoder code a field whose values are all equal with 0
   bits per value; 0 keeps the bits asked for. Starts at 0; grsdef() clears it
   when "GRIB_KORVID_MODE_ON" is 1. */
VALMORA_API extern int VALMORA_Const;
/* The "ZeroShiftError" switch: stored and reported, read by nothing. */
VALMORA_API extern int VALMORA_Fix_ZSE;

/* gribSetDebug() : VALMORA_Debug = level, unchecked; a non-zero level prints
   "debug level %d" on standard error. */
VALMORA_API void gribSetDebug(int level);
/* gribFixZSE() : VALMORA_Fix_ZSE = flag, unchecked; shown in debug mode. */
VALMORA_API void gribFixZSE(int flag);
/* gribSetConst() : VALMORA_Const = flag, unchecked; shown in debug mode. */
VALMORA_API void gribSetConst(int flag);
/* gribSetRound(), gribSetRefDP(), gribSetRefSP(), gribSetValueCheck() : kept
   so that existing callers build; they do nothing at all (no setting changes,
   nothing is printed) and are safe from any thread. */
VALMORA_API void gribSetRound(int round);
VALMORA_API void gribSetRefDP(double refval);
VALMORA_API void gribSetRefSP(float refval);
VALMORA_API void gribSetValueCheck(int vcheck);

/* ---- Environment defaults and printer stream (gribSettings) ------------- */

/* Calendar code: -1 not yet decided (grsdef() decides), 0 standard,
   1 (only by gribSetCalendar), 2 proleptic (the default), 3 360 days,
   4 365 days, 5 366 days, 6 none. */
VALMORA_API extern int VALMORA_grib_calendar;
/* The stream of the section printers; null until grsdef() has run. A caller
   may point it elsewhere after that. */
VALMORA_API extern FILE *grprsm;

/* gribSetCalendar() : VALMORA_grib_calendar = calendar, unchecked. Set before
   the first grsdef(), it wins over "GRIB_CALENDAR". Not safe from several
   threads at once. */
VALMORA_API void gribSetCalendar(int calendar);
/* grsdef() : applies the environment once per process; later calls return at
   once. The section printers and the encoder entry points call it first.
   - calendar, if still -1: "GRIB_CALENDAR" beginning with "standard" 0,
     "proleptic" 2, "360days" 3, "365days" 4, "366days" 5, "none" 6; unset or
     anything else 2;
   - "GRIB_KORVID_MODE_ON" equal to 1 clears VALMORA_Const;
   - grprsm from "GRPRS_STREAM": unset, empty or 6 standard output; 2 standard
     error; another number from 1 to 99 the file "unit.NN" (NN the number in
     two digits) in the current directory; a number outside 1 .. 99 a warning
     and standard output; a value that does not begin with a digit the file of
     that name. Files are opened with mode "w" and stay open to the end.
   A file that cannot be opened ends the process with a message on standard
   error. Not safe against two first calls at once: call it (or a printer, or
   the encoder) once before other threads use the printers or the encoder. */
VALMORA_API void grsdef(void);

/* ---- IBM single precision (ibmConvert, ibmDecode, refValue) ------------- */

/* IBM System/360 single precision, as GRIB edition 1 stores reals: one
   exponent octet (the sign as its value 128, a base-16 exponent e excess 64
   in its low 7 bits) and a 24-bit mantissa m, worth
   (-1)^sign x m x 2^-24 x 16^(e - 64). Numbers are passed as the two ints. */
/* confp3() : codes pval.
   *kexp  : receives the exponent octet, 0 .. 255.
   *kmant : receives the mantissa, 0 .. 2^24 - 1.
   kbits  : 32 (the IBM width) from every caller; it only chooses the tiny
            epsilon (1e-8 for 32, else 1e-12) that lifts exact powers of 16
            over the truncation of the exponent estimate.
   kround : 1 rounds the mantissa to nearest, halves away from zero; 0 rounds
            towards minus infinity, so the coded value is never above pval;
            any other value is reported on standard error and taken as 1.
   0.0 and -0.0 give 0, 0. A magnitude of 16^63 or more (or one that rounds up
   to it) is an exponent overflow: messages on standard error and 0, 0.
   Magnitudes below 16^-65 come out unnormalised (exponent 0), and so does a
   value just under a power of 16 rounded towards minus infinity. Not-a-number
   and infinities are not coded meaningfully. Safe from several threads at
   once. */
VALMORA_API void confp3(double pval, int *kexp, int *kmant, int kbits, int kround);
/* decfp2() : the value of an exponent octet and a mantissa; the exponent
   octets 0, 128 and 255 give 0.0 whatever the mantissa. Evaluated so that it
   matches the encoder bit for bit. Pure: safe from any thread. */
VALMORA_API double decfp2(int kexp, int kmant);
/* ref2ibm() : makes *pref a reference value that IBM single precision holds
   exactly and that is not above the value passed in, so that no value packed
   from it becomes negative: the nearest IBM number when that is not above
   *pref, else the IBM number rounded towards minus infinity. *pref stays as
   it was when it is 0, when confp3() overflows, or when neither rounding
   comes out at or below it (reported in debug mode). kbits is passed on to
   confp3() (32). Safe from several threads at once. */
VALMORA_API void ref2ibm(double *pref, int kbits);

/* ---- Binary digit printer (binPrint) ------------------------------------ */

/* prtbin() : the low knbit (1 to 14) bits of kdec as the decimal digits of
   *kbin, bit 0 the units digit, so that "%8.8d" prints a flag octet as eight
   0s and 1s (5 with 8 bits gives 101). At most the low 10 bits are shown, all
   that an int can hold; a negative kdec gives digits of its sign (-1 gives
   -1). *kret receives 0, or 1 for a length out of range, which also prints
   " prtbin : Error in binary number length - %3d bits." on standard output
   and leaves *kbin untouched. Safe from several threads at once. */
VALMORA_API void prtbin(int kdec, int knbit, int *kbin, int *kret);

/* ---- GRIB1 encoder (gribEncode) ----------------------------------------- */

/* Status codes of the encoder besides 0. */
#define VALMORA_ENCODE_RANGE 707    /* minimum value or binary scale factor out of range */
#define VALMORA_ENCODE_NO_ROOM 710  /* kgrib too small for the record */
#define VALMORA_ENCODE_MISMATCH 807 /* complex packing requested against the grid */

/* Builds a GRIB edition 1 record from the section arrays: isec1 (product
   definition; its element 4 says whether a grid description and a bit map
   follow), isec2 and fsec2 (grid description; isec2 may be NULL, the data
   are then taken as grid-point or spectral from isec4 element 2), fsec3
   (element 1 the missing value of the bit map), isec4 (data description)
   and fsec4 (the values). The record goes to kgrib, a buffer of kleng
   4-octet words (kleng <= 0 holds nothing); nothing is written beyond it.
   On success *kstatus is 0, isec0 element 0 the record's length in octets
   (padded with zeros to a multiple of 8, or of 120 in the large form),
   isec0 element 1 the edition (1) and *kused the 4-octet words used.
   On failure *kstatus is VALMORA_ENCODE_RANGE or VALMORA_ENCODE_MISMATCH,
   with isec0 and *kused left as they were, or, when kgrib cannot hold the
   whole record, VALMORA_ENCODE_NO_ROOM (reported as "kgrib buffer too
   small!"; the sections that fit whole are written, the rest of kgrib is
   untouched) with isec0 elements 0 and 1 and *kused set as on success:
   *kused is then the room the record needs, in 4-octet words.
   fsec4 is rewritten (decimal scaling, bit-map compaction, the spectral
   reordering of complex packing) and isec4 element 2 set from the grid
   when isec2 is given; the other arrays are only read. isec3, klenp and
   efunc are not read. A record beyond 1,006,632,840 octets (the large
   form's limit) ends the process. Not safe from several threads at once:
   it reads the process-wide settings and keeps one-shot message flags. */
VALMORA_API void grib_encode_double(int *isec0, int *isec1, int *isec2, double *fsec2, int *isec3,
                                    double *fsec3, int *isec4, double *fsec4, int klenp, int *kgrib,
                                    int kleng, int *kused, int efunc, int *kstatus);
/* The same with single-precision values (scaled and packed in float). */
VALMORA_API void grib_encode_float(int *isec0, int *isec1, int *isec2, float *fsec2, int *isec3,
                                   float *fsec3, int *isec4, float *fsec4, int klenp, int *kgrib,
                                   int kleng, int *kused, int efunc, int *kstatus);
/* Does nothing; kept for programs that link it. */
VALMORA_API void encode_dummy(void);

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
#define VALMORA_DECODE_GRID_NOT_DECODED 6 /* values decoded, but the grid type (Mercator, for one) has no layout: isec2 holds the type alone */

/* Decodes the record at `record` (recordLength octets available; nothing
   past them, nor past the record's own length, is read).
   - isec0: [0] the record's length from "GRIB" to "7777", [1] its edition.
   - isec1: elements 0 to 23 and the local extensions that the encoder writes
     (element 23 is 1 when one was decoded); any other local extension is
     skipped and element 23 is 0. Edition 0 records leave the elements of
     octets they lack 0.
   - isec2/fsec2: the grid description for types 0, 3, 4, 5, 10, 14, 20, 24,
     30, 34, 50, 60, 70, 80, 90 and 192; element 16 is 1 for a quasi-regular
     grid (element 1 then holds 65535), whose row counts follow from
     element 22. Increments that the record marks not given read -1. A record without a grid description
     leaves the fixed parts zero. Type 5 keeps its flag octet in element 17.
   - isec3: [0] the number of a predefined bit map (0 for none); [1] is not
     changed. fsec3: [1] is read, the value given to points missing from the
     bit map; [0] is not changed.
   - isec4: [0] points, [1] bits per value, [2] 128 spherical harmonics,
     [3] 64 complex packing, [4] 32 integer data, [15] to [19] the complex
     packing octets, [20] the points present when there is a bit map. An szip
     record reads as the record before compression.
   - fsec4: the values in the record's order, each (u x 2^E + R) x 10^-D
     for its packed code u (spherical harmonics of complex packing back in
     the encoder's input order and scale), or null to decode the headers
     alone (fast: nothing is decompressed or unpacked; fsec4Size, when given,
     still receives the number of points).
   isec2 and fsec2 both null (their sizes may be null too) skip the grid
   description; a null fixed array gives VALMORA_DECODE_NO_ROOM.
   E and R are not among the arrays: read them from the data section's
   octets 5-10 where needed (they are the same in the szip form).
   Result: VALMORA_DECODE_OK or one of the codes above, the failures also
   reported on standard error; never the end of the process. fsec4 is written only
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

/* ---- Fields of a record, editions 1 and 2 (gribField) ------------------- */
/* One key struct and one set of functions for the fields of both editions,
   read from the record's octets. A GRIB edition 2 message holds one field
   per group of sections 4 to 7 (product definition, data representation,
   bit map, data), each with the latest local use (2) and grid definition (3)
   sections before it; an edition 0 or 1 record is one field. Fields are
   numbered from 0 in the order of the message.

   Members a record does not give keep these values: VALMORA_FIELD_MISSING for
   integers (also GRIB2 numbers whose bits are all ones, "missing"; code
   table entries keep their code, 255 among them),
   VALMORA_FIELD_NOT_GIVEN for reals (increments the scanning flags mark not
   given, an earth radius or axes the shape does not carry, a projection
   parameter of another grid). `edition` tells which of the members apply:
   those marked (1) are read from edition 0 and 1 records only, (2) from
   edition 2 only, the others from both. Angles are in degrees, lengths in
   metres. */
#define VALMORA_FIELD_MISSING (-1)
#define VALMORA_FIELD_NOT_GIVEN (-1.0e100)

/* Where the sections of a field lie: index k is GRIB2 section k (0 the
   indicator, 1 identification, 2 local use, 3 grid, 4 product, 5 data
   representation, 6 bit map, 7 data, 8 the end section "7777"); for an
   edition 0 or 1 record 0 the indicator, 1 the PDS, 2 the GDS, 3 the BMS,
   4 the BDS, 5 "7777". */
#define VALMORA_FIELD_SECTIONS 9

typedef struct gribField {
  /* The message */
  int edition;            /* 1 (edition 0 records too) or 2 */
  int fieldIndex;         /* this field's number in the message, from 0 */
  size_t recordLength;    /* the message's length from "GRIB" to "7777" */
  int64_t sectionOffset[VALMORA_FIELD_SECTIONS]; /* first octet of each section from "GRIB" (0 for the indicator); -1 when absent */
  size_t sectionLength[VALMORA_FIELD_SECTIONS];  /* its length in octets; 0 when absent */

  /* Identification (GRIB2 sections 0 and 1; GRIB1 PDS) */
  int discipline;               /* (2) section 0 octet 7 */
  int centre;                   /* originating centre */
  int subCentre;                /* originating sub-centre */
  int masterTablesVersion;      /* (2) */
  int localTablesVersion;       /* (2) */
  int significanceOfReferenceTime; /* (2) */
  int year, month, day, hour, minute, second; /* reference time, full year (GRIB1: century applied; second 0) */
  int productionStatusOfProcessedData; /* (2) */
  int typeOfProcessedData;      /* (2) */

  /* Product (GRIB2 section 4; GRIB1 PDS) */
  int productDefinitionTemplateNumber; /* (2) */
  int parameterCategory;        /* (2) */
  int parameterNumber;          /* (2) */
  int typeOfGeneratingProcess;  /* (2) */
  int generatingProcessIdentifier; /* GRIB2 4.x, GRIB1 PDS octet 6 */
  int indicatorOfUnitOfTimeRange;  /* GRIB2 4.x; GRIB1 PDS octet 18 */
  int64_t forecastTime;         /* (2) in indicatorOfUnitOfTimeRange units; may be negative */
  int typeOfFirstFixedSurface;  /* (2) */
  int scaleFactorOfFirstFixedSurface; /* (2) signed */
  int64_t scaledValueOfFirstFixedSurface; /* (2) */
  int typeOfSecondFixedSurface; /* (2) */
  int scaleFactorOfSecondFixedSurface; /* (2) */
  int64_t scaledValueOfSecondFixedSurface; /* (2) */
  /* statistically processed products (4.8, 4.11, 4.9, 4.10, 4.12, 4.15 ..) */
  int yearOfEndOfOverallTimeInterval, monthOfEndOfOverallTimeInterval, dayOfEndOfOverallTimeInterval;
  int hourOfEndOfOverallTimeInterval, minuteOfEndOfOverallTimeInterval, secondOfEndOfOverallTimeInterval;
  int numberOfTimeRanges;       /* (2) the first time range's items follow */
  int typeOfStatisticalProcessing; /* (2) */
  int typeOfTimeIncrement;      /* (2) */
  int indicatorOfUnitForTimeRange; /* (2) */
  int64_t lengthOfTimeRange;    /* (2) */
  /* ensembles (4.1, 4.11) */
  int typeOfEnsembleForecast;   /* (2) */
  int perturbationNumber;       /* (2) */
  int numberOfForecastsInEnsemble; /* (2) */
  /* edition 0 and 1 product definition */
  int table2Version;            /* (1) PDS octet 4 */
  int gridDefinition;           /* (1) PDS octet 7, the centre's grid number */
  int indicatorOfParameter;     /* (1) PDS octet 9 */
  int indicatorOfTypeOfLevel;   /* (1) PDS octet 10 */
  int level;                    /* (1) PDS octets 11-12 as one number */
  int topLevel, bottomLevel;    /* (1) PDS octets 11 and 12 */
  int P1, P2;                   /* (1) PDS octets 19 and 20 */
  int timeRangeIndicator;       /* (1) PDS octet 21 */
  int numberIncludedInAverage;  /* (1) PDS octets 22-23 */

  /* Grid (GRIB2 section 3; GRIB1 GDS) */
  int gridDefinitionTemplateNumber; /* GRIB2 3.x; GRIB1 the data representation type (GDS octet 6); MISSING without a grid */
  size_t numberOfDataPoints;    /* points of the grid (GRIB2 section 3 octets 7-10; GRIB1 from the grid) */
  int shapeOfTheEarth;          /* GRIB2 code table 3.2; GRIB1 0 (sphere of 6367470 m) or 2 (IAU 1965 spheroid) from the resolution flags */
  double earthRadius;           /* where the shape gives it (metres) */
  double earthMajorAxis, earthMinorAxis; /* where the shape gives them (metres) */
  int64_t Ni, Nj;               /* points along a parallel and a meridian; Ni MISSING on a reduced grid */
  double latitudeOfFirstGridPoint, longitudeOfFirstGridPoint;
  double latitudeOfLastGridPoint, longitudeOfLastGridPoint;
  double iDirectionIncrement, jDirectionIncrement; /* degrees; NOT_GIVEN when the flags say so */
  int resolutionAndComponentFlags;
  int scanningMode;             /* the flag octet as stored */
  int N;                        /* Gaussian: parallels between a pole and the equator */
  int isReduced;                /* 1: rows of varying length, their counts in the record */
  int64_t plOffset;             /* octet of the first row count from "GRIB"; -1 for none */
  int plCount;                  /* number of row counts */
  int plOctets;                 /* octets per row count (GRIB1: 2) */
  /* projections: polar stereographic, Lambert conformal, Mercator */
  double LaD;                   /* latitude where Dx and Dy hold; Mercator's standard parallel */
  double LoV;                   /* orientation of the grid */
  double Dx, Dy;                /* grid lengths in metres */
  double Latin1, Latin2;        /* Lambert: the secant cone's latitudes */
  int projectionCentreFlag;
  /* rotated grids (and Lambert's southern pole of the projection) */
  double latitudeOfSouthernPole, longitudeOfSouthernPole;
  double angleOfRotation;
  /* spherical harmonics (GRIB2 3.50; GRIB1 type 50) */
  int J, K, M;                  /* pentagonal resolution parameters */
  /* unstructured grid (3.101) */
  int numberOfGridUsed;
  int numberOfGridInReference;
  unsigned char uuidOfHGrid[16];

  /* Data (GRIB2 sections 5 and 6; GRIB1 BMS and BDS) */
  size_t numberOfValues;        /* values coded in the data section */
  int bitmapPresent;            /* 1: a bit map applies (GRIB2 indicator 0 or 254; GRIB1 a BMS) */
  int bitMapIndicator;          /* (2) section 6 octet 6 (0, 1-253 predefined, 254 earlier, 255 none) */
  size_t numberOfMissing;       /* points the bit map leaves out; with values decoded, also those complex
                                   packing marks missing */
  int dataRepresentationTemplateNumber; /* GRIB2 5.x; GRIB1 0 simple grid, 50 spherical harmonics simple,
                                           51 spherical harmonics complex, MISSING for other packings */
  int bitsPerValue;
  double referenceValue;        /* R of (R + u x 2^E) x 10^-D */
  int binaryScaleFactor;        /* E */
  int decimalScaleFactor;       /* D */
  int typeOfOriginalFieldValues; /* (2) 0 floating point, 1 integer */
  int dataFlag;                 /* (1) BDS octet 4, high 4 bits */
  size_t numberOfPackedOctets;  /* octets of packed data (GRIB2 section 7 less its 5-octet header) */
} gribField;

/* Further results of the functions below (the VALMORA_DECODE_ family). */
#define VALMORA_DECODE_PACKING_UNSUPPORTED 7 /* a packing without a decoder here (named on standard error); keys filled, no values */
#define VALMORA_DECODE_NO_FIELD 8        /* the field index is outside 0 .. count - 1 */
#define VALMORA_DECODE_CODER_FAILED 9    /* the JPEG2000, PNG or CCSDS stream cannot be decoded, or gives another number of values */
#define VALMORA_DECODE_GRID_UNSUPPORTED 10 /* no coordinates for this grid, or no grid */
#define VALMORA_DECODE_NOT_GRIB 11       /* no "GRIB" marker, an edition other than 0, 1 or 2, or fewer octets than an indicator */
#define VALMORA_DECODE_NO_MEMORY 12      /* scratch memory could not be had; no values or coordinates (keys filled) */

/* gribFieldCount() :
   The number of fields of the record at `record` (recordLength octets
   available): 1 for edition 0 and 1, the number of data sections (7) of an
   edition 2 message.
   Result: VALMORA_DECODE_OK with *count set; VALMORA_DECODE_NOT_GRIB,
   VALMORA_DECODE_TRUNCATED (the message is longer than recordLength) or
   VALMORA_DECODE_DAMAGED (sections out of order or beyond the message, no
   "7777" where they lead) with *count 0. Reads nothing outside the message,
   prints nothing, writes only *count. Safe from several threads at once. */
VALMORA_API int gribFieldCount(const unsigned char *record, size_t recordLength, int *count);

/* grib_field_decode_double(), grib_field_decode_float() :
   The keys and values of field `index` (from 0) of the record at `record`
   (recordLength octets available; nothing outside them nor outside the
   message is read).
   field      : receives the keys (all members written), or null.
   values     : receives the values in the record's order, one per point of
                the grid (points missing from the bit map get missingValue),
                or one per coded value for spherical harmonics; null decodes
                the keys alone (fast: nothing is unpacked or decompressed).
   valuesSize : on entry the capacity of values in elements (not read when
                values is null); on return the number the field needs, also
                with VALMORA_DECODE_NO_ROOM (0 when the packing or the bit map
                cannot be read). May be null when values is: the keys alone.
   With values null the result concerns the keys alone (OK once they are
   read); the packing's own statuses come with values.
   missingValue : the value given to points missing from the bit map.
   Packings: GRIB2 templates 5.0 (simple), 5.2 and 5.3 (complex, spatial
   differencing of order 1 and 2), 5.4 (IEEE 32 and 64 bits), 5.40
   (JPEG2000), 5.41 (PNG), 5.42 (CCSDS), 5.50 and 5.51 (spherical harmonics
   simple and complex); GRIB1 what grib_decode_double reads (the szip form
   included), whose codes it returns.
   Result: VALMORA_DECODE_OK; NOT_GRIB, TRUNCATED, DAMAGED, NO_FIELD (nothing
   decoded); NO_ROOM (keys filled, *valuesSize the need, nothing written to
   values); PACKING_UNSUPPORTED and UNSUPPORTED (a predefined bit map; keys
   filled, no values); CODER_FAILED (keys filled, values undefined). The
   failures with values asked for are also reported on standard error;
   nothing ends the process. The record is only read; nothing is written to
   values beyond the capacity. Safe from several threads at once: no
   process-wide state, scratch taken and released inside the call. The float
   twin computes each value in double and rounds it once. */
VALMORA_API int grib_field_decode_double(const unsigned char *record, size_t recordLength, int index,
                                         gribField *field, double *values, size_t *valuesSize,
                                         double missingValue);
VALMORA_API int grib_field_decode_float(const unsigned char *record, size_t recordLength, int index,
                                        gribField *field, float *values, size_t *valuesSize,
                                        float missingValue);

/* gribFieldLatLons() :
   The latitude and longitude (degrees; longitudes as the grid gives them,
   rotated grids as geographic coordinates) of every point of field `index`,
   in the order of its values. lats and lons each have room for *size
   elements on entry; *size receives the number of points, also with
   VALMORA_DECODE_NO_ROOM (nothing written then).
   Grids: regular, reduced and rotated latitude/longitude, regular, reduced
   and rotated Gaussian, polar stereographic, Lambert conformal, Mercator.
   Either array may be null (not computed); both null give the number of
   points alone.
   Rows follow the scanning mode: i and j directions, j consecutive, and
   alternate rows in the record's order (coordinates of the values as
   stored). Gaussian latitudes are computed in double precision; a regular
   grid's longitudes run evenly from its first to its last point (as the
   record gives them, so -180 .. 180 or 0 .. 360), its latitudes by the
   stored increment with the last row as stored; projected grids give
   longitudes in 0 .. 360, rotated grids in -180 .. 180.
   Result: VALMORA_DECODE_OK; NOT_GRIB, TRUNCATED, DAMAGED, NO_FIELD,
   NO_ROOM, NO_MEMORY; GRID_UNSUPPORTED for any other grid (stretched,
   space view, unstructured, ...), a Gaussian
   grid with N above 16384, a projection on an earth the record gives no
   size for, and a record without a grid. Nothing is printed; nothing is
   written beyond *size elements of each array. The record is only read.
   Safe from several threads at once. */
VALMORA_API int gribFieldLatLons(const unsigned char *record, size_t recordLength, int index, double *lats,
                                 double *lons, size_t *size);

/* ---- Spectral coefficient helpers (grib_int) ---------------------------- */
/* A spectral field of triangular truncation T holds (T + 1)(T + 2)/2
   coefficients as (real, imaginary) pairs, zonal wavenumber m outer, total
   wavenumber n (m .. T) inner: (T + 1)(T + 2) values. The subset of
   truncation J is the pairs with n <= J. Each function works in place on the
   caller's array, takes its scratch from the traced memory and releases it
   (a request that fails ends the process with "No Memory!"), and is safe
   from several threads at once on different arrays. The float twins compute
   in double and round each value once. */
/* scale_complex_double(), scale_complex_float() : multiplies (inv 0) or
   divides (inv non-zero) both parts of every coefficient with n >= pcStart by
   (n(n+1))^(pcScale / 1000); fpdata holds the (T + 1)(T + 2) values of
   truncation trunc. pcScale 0 or trunc < 0 change nothing; a pcScale outside
   -10000 .. 10000 prints " <name>: Invalid power given" on standard error and
   changes nothing. */
VALMORA_API void scale_complex_double(double *fpdata, int pcStart, int pcScale, int trunc, int inv);
VALMORA_API void scale_complex_float(float *fpdata, int pcStart, int pcScale, int trunc, int inv);
/* gather_complex_double(), gather_complex_float() : reorders the pairs so that
   the subset of truncation pcStart comes first and the others follow, each
   group in its former order. trunc is the field's truncation and nsp the
   number of values in fpdata; only those nsp values are read or written, so a
   short count moves what it holds and values past the truncation's pairs
   stay where they are. */
VALMORA_API void gather_complex_double(double *fpdata, size_t pcStart, size_t trunc, size_t nsp);
VALMORA_API void gather_complex_float(float *fpdata, size_t pcStart, size_t trunc, size_t nsp);
/* scatter_complex_double(), scatter_complex_float() : the inverse of gather:
   subset first on entry, m-outer order on return. Negative pcStart and trunc
   count as 0; nsp <= 0 changes nothing; only nsp values are touched. */
VALMORA_API void scatter_complex_double(double *fpdata, int pcStart, int trunc, int nsp);
VALMORA_API void scatter_complex_float(float *fpdata, int pcStart, int trunc, int nsp);
/* calculate_pfactor_double(), calculate_pfactor_float() : the power P with
   which the largest coefficient magnitude per total wavenumber n falls off
   like (n(n+1))^-P above the subset, from a weighted least-squares fit of
   ln(max |c|) against ln(n(n+1)) for n from subsetTruncation + 1 to
   fieldTruncation + 1 (magnitudes at or below 1e-15 count as 1e-15 with a tiny
   weight). 1000 x P is a pcScale for scale_complex. Reads the
   (T + 1)(T + 2) values of truncation fieldTruncation and writes nothing.
   Returns P within -9999.9 .. 9999.9; not-a-number when subsetTruncation
   exceeds fieldTruncation (a negative subset counts as 0). */
VALMORA_API double calculate_pfactor_double(const double *spectralField, long fieldTruncation,
                                            long subsetTruncation);
VALMORA_API double calculate_pfactor_float(const float *spectralField, long fieldTruncation,
                                           long subsetTruncation);

/* ---- Quasi-regular to regular interpolation (grib_int) ------------------ */

/* Reduced (quasi-regular) field to a regular one, row by row, in place:
   `pfield` holds the rows of lengths kpoint[0 .. klat-1] back to back on
   entry and klat x klon values on return, so it needs room for the larger
   of the two. Values equal to msval are missing. *kret is 0, or -1 when a
   row length lies outside 1 .. 2 x klon (or klon < 2 for non-periodic rows);
   the field is then left as it was. The result is always 0. Work arrays
   are taken and released inside the call; if one cannot be had the process
   ends with "No Memory!". kpoint is only read. Safe from several threads at
   once on different fields. */
/* qu2reg2() : periodic linear interpolation; ztemp, a work array of the
   caller's, has room for klat x klon values and is overwritten. */
VALMORA_API int qu2reg2(double *pfield, int *kpoint, int klat, int klon, double *ztemp,
                        double msval, int *kret);
/* qu2reg3_double(), qu2reg3_float() : operio non-zero: rows wrap round the
   globe; oveggy non-zero: nearest neighbour instead of linear (missing values
   are then not examined). omisng is accepted and not used. */
VALMORA_API int qu2reg3_double(double *pfield, int *kpoint, int klat, int klon, double msval,
                               int *kret, int omisng, int operio, int oveggy);
VALMORA_API int qu2reg3_float(float *pfield, int *kpoint, int klat, int klon, float msval,
                              int *kret, int omisng, int operio, int oveggy);

/* ---- Section printer (korvidPrint) -------------------------------------- */

/* Labelled printouts of the section arrays of a decoded edition 1 record,
   one value per line, on grprsm; each calls grsdef() first. They check
   nothing and change nothing; the arrays must be as long as their own counts
   lead (the lists of a local definition in isec1, 22 + the row count of a
   quasi-regular grid in isec2, 10 + the vertical coordinate count isec2[11]
   in fsec2, the coefficients of matrix data in isec4). The DP and SP twins
   differ in the type of the real array only. Not safe from several threads
   at once (grsdef(), the shared stream). */
/* gribPrintSec0() : isec0[0] the record length, isec0[1] the edition. */
VALMORA_API void gribPrintSec0(const int *isec0);
/* gribPrintSec1() : the product definition, with the local definitions the
   printer knows; isec0[1] is the edition. */
VALMORA_API void gribPrintSec1(const int *isec0, const int *isec1);
/* gribPrintSec2DP(), gribPrintSec2SP() : the grid description by its type,
   the vertical coordinates and, for a quasi-regular grid, the row lengths. */
VALMORA_API void gribPrintSec2DP(const int *isec0, const int *isec2, const double *fsec2);
VALMORA_API void gribPrintSec2SP(const int *isec0, const int *isec2, const float *fsec2);
/* gribPrintSec3DP(), gribPrintSec3SP() : the bit map (isec3[0..1]) and the
   missing values (fsec3[0..1]); isec0 is not read. */
VALMORA_API void gribPrintSec3DP(const int *isec0, const int *isec3, const double *fsec3);
VALMORA_API void gribPrintSec3SP(const int *isec0, const int *isec3, const float *fsec3);
/* gribPrintSec4DP(), gribPrintSec4SP() : the data description and the first
   values of fsec4, at most 20 and no more than |isec4[0]|; isec0 is not read. */
VALMORA_API void gribPrintSec4DP(const int *isec0, const int *isec4, const double *fsec4);
VALMORA_API void gribPrintSec4SP(const int *isec0, const int *isec4, const float *fsec4);
/* gribPrintSec4Wave() : the coordinate coefficients of matrix data (isec4
   element 59 onwards, isec4[52] and isec4[54] of them). */
VALMORA_API void gribPrintSec4Wave(const int *isec4);

/* ---- Product buffer interface (pbio) ------------------------------------ */

/* Unit-based product I/O over the library's file layer. Results come back
   through the pointers. "PBIO_DEBUG" (trace level on standard output, read at
   the first pbOpen) and "PBIO_BUFSIZE" (file buffer size in bytes; a value
   that is not a positive number of digits ends the process) tune it. Units
   open raw; pbSetRaw(unit, 0) frames later pbWrite blocks with 4-byte
   big-endian lengths before and after, a zero word at the start of the file
   and another at pbClose. A unit that pbOpen never returned is refused with
   -1. Buffers are only read (writes) or filled up to the count given (reads).
   Not safe from several threads at once: the module state (trace level,
   buffer size, raw-mode table) is process-wide. */
/* *iret 0 opened, -1 open failed, -3 mode not r, w, a or c (either case). */
VALMORA_API void pbOpen(int *unit, const char *name, const char *mode, int *iret);
/* whence 0 start, 1 current, 2 end (the offset counts backwards from the
   end, whatever its sign); *iret the new offset, -1 at end of file, -2. */
VALMORA_API void pbSeek(int unit, int offset, int whence, int *iret);
/* As pbSeek with 64-bit offsets passed on unchanged (whence 2 included). */
VALMORA_API void pbSeek64(int unit, int64_t offset, int whence, int64_t *iret);
/* *iret the offset from the start, or -2 (also beyond the range of an int). */
VALMORA_API void pbTell(int unit, int *iret);
/* Exactly nbytes into buffer: *iret nbytes, -1 end of file first, -2 read
   error (or a negative count). */
VALMORA_API void pbRead(int unit, void *buffer, int nbytes, int *iret);
/* *iret the count written or -1. */
VALMORA_API void pbWrite(int unit, const void *buffer, int nbytes, int *iret);
/* *iret 0, or -1 for a unit that is not open or output that could not be
   written when the file was closed. */
VALMORA_API void pbClose(int unit, int *iret);
/* Writes the unit's buffered output: 0, or -1 (unknown unit, write error). */
VALMORA_API int pbFlush(int unit);
/* raw non-zero: blocks written as they are; 0: framed (above). */
VALMORA_API void pbSetRaw(int unit, int raw);
/* Next GRIB record into buffer (bufsize octets); *recsize its length; *iret
   the record scanner's gribRead code unchanged. */
VALMORA_API void gribread(void *buffer, int bufsize, int *recsize, int *iret, int unit);
/* Next GRIB record; *iret 0, -1 end of file, -2 record cut short,
   -3 buffer too small (*recsize the full length, the buffer its start). */
VALMORA_API void pbGrib(int unit, void *buffer, int bufsize, int *recsize, int *iret);
/* Length of the next GRIB record (0 for none, or beyond the range of an
   int); the position is kept. */
VALMORA_API void pbSize(int unit, int *size);

/* ---- Status texts (gribStatus) ------------------------------------------ */
/* Results of gribFindRecord. */
#define VALMORA_FIND_RECORD 0       /* a whole record at *offset, of *length octets */
#define VALMORA_FIND_MORE 1         /* a marker whose record needs *length octets from *offset */
#define VALMORA_FIND_NONE (-1)      /* no marker; none can start before *offset */
#define VALMORA_FIND_NOT_RECORD (-2) /* the marker at *offset starts no record: search on after it */

/* The families of status values that valmoraStatusText names: the
   decoder's VALMORA_DECODE_*, gribPlanes1's GRIB_PLANES_*, gribFindRecord's
   VALMORA_FIND_* and the encoder's *kstatus (0 or VALMORA_ENCODE_*). */
#define VALMORA_STATUS_DECODE 1
#define VALMORA_STATUS_PLANES 2
#define VALMORA_STATUS_FIND 3
#define VALMORA_STATUS_ENCODE 4

/* valmoraStatusText() :
   A short English text for `status` of `family` (lower case, no final
   period), for messages such as "record 3: %s". A value the family does
   not have gives "unknown status", an unknown family "unknown status
   family". Never NULL; the text is static and must not be freed. Safe from
   several threads at once. */
VALMORA_API const char *valmoraStatusText(int family, int status);

/* ---- Packing whole files (recPackFile) ---------------------------------- */

/* What recPackFile found and did; the counts grow as the run goes. */
typedef struct recPackResult {
    uint64_t recordsCoded;      /* compressed (packing) or restored (restoring) */
    uint64_t recordsCopied;     /* written as read */
    uint64_t recordsLeftPacked; /* restoring: packed records that stay packed */
    uint64_t octetsIn;          /* of the input, records and stretches */
    uint64_t octetsOut;         /* written, padding included */
    uint64_t octetsCarried;     /* of the stretches between records, carried as they stand */
    uint64_t recordsEdition1;   /* edition 1 records met */
    uint64_t recordsCodable;    /* packing: edition 1 records of 8, 16, 24 or 32 bits, not yet packed */
    uint64_t recordsPacked;     /* packing: records met already packed (restoring gives them back unpacked) */
    int status;                 /* the program's exit status: 0 or 1 (-1: refused) */
    /* Seconds: processor time of the process (cpuAll), of the reader, the
       workers (compressing only) and the writer with their sum; wall-clock
       time of the run and of the same phases (wallCode: the writer's wait
       for compressed records). */
    double cpuAll, cpuSum, cpuRead, cpuCode, cpuWrite;
    double wallAll, wallSum, wallRead, wallCode, wallWrite;
} recPackResult;

/* How recPackFile runs. Zero-filled (memset, or = {0}) is a valid choice:
   packing with one worker, messages on standard error. */
typedef struct recPackOptions {
    int unpack;              /* 0 pack (recpack), 1 restore (recunpack) */
    int workers;             /* records worked on at once, 1 to 1024; 0: one per available processor */
    int verbose;             /* reserved for the caller's summary; not read */
    const char *program;     /* names the run's messages ("recpack" or "recunpack" when NULL) */
    const char *inputName;   /* the input and output in messages ("input", "output" when NULL) */
    const char *outputName;
    int compat;              /* packing: 1 codes GRIB1 in the code-128 form only, as recPackCopy;
                                0 in the packed form with a whole-record check (recPackRecord) */
    int grib2;               /* 1: GRIB2 simple packing to CCSDS packing (packing) and every
                                CCSDS field to simple packing (restoring); 0: GRIB2 copied as read */
    /* The longest record held in memory from an input that is not a regular
       file, in octets: a marker whose lengths claim more frames no record
       (its octets are carried as they stand). 0: 256 MiB. */
    size_t pipeLimit;
    /* Called from the writing thread after each record or stretch piece
       with the counts so far, and with NULL just before the run writes a
       line of its own, so that a progress line can be erased first. NULL:
       not called. */
    void (*progress)(void *context, const recPackResult *sofar);
    /* Each of the run's own lines (whole lines, one or more), in file
       order. NULL: standard error. */
    void (*message)(void *context, const char *text);
    void *context;           /* handed to progress and message */
} recPackOptions;

/* recPackFile() :
   Copies every GRIB record read from ifd to ofd, compressing (unpack 0)
   the data sections of edition 1 records as recPackRecord does (as
   recPackCopy with compat 1), or restoring (unpack 1) every packed form
   as recUnpackRecord does, GRIB2 as options->grib2 says. Packing writes
   each record followed by zero octets to gribPaddedLength (none for a
   record of the large form copied as read, which is framed with its own
   padding; a coded one is followed by its packed record's padding and then
   its own as read) and then every octet that followed it, as it stood;
   restoring leaves exactly that padding out and writes records unpadded,
   so that restoring what packing wrote gives the input back octet for
   octet. A regular input file is mapped, and each record compressed from
   a copy of its own; any other input (a pipe, a terminal) is read in
   order, holding at most options->pipeLimit octets for one record. Several workers give the same output as one. The descriptors
   are neither closed nor moved back.
   Messages: the run's own lines name options->program and the offset they
   are about, through options->message; what the library says while a
   record is framed or worked on goes the same way with that record's
   lines, in file order, followed by a line naming its offset; the
   locator's texts fixed for damaged records ("GRIB message error", "GRIB
   data corrupted!") go to standard output, or to standard error when ofd
   is standard output.
   Result: 0 when every octet was carried over (and, restoring, every
   packed record restored); 1 when something was not (a read or write
   failed, a page of the mapped input could not be read, a packed record
   stayed packed or was found hidden by damage, a regular input changed
   size or modification time during the run); -1 for bad arguments (negative descriptors, workers out
   of range, unpack, compat or grib2 not 0 or 1), with nothing read.
   *result (when not NULL) receives the counts, the status and the times.
   Signals: the first mapped input sets a SIGBUS handler for the process,
   kept from then on; a page of a mapped input that can't be read (a file
   cut short while the run goes on) reads as zeros and makes the result 1.
   A bus error elsewhere goes to the handler the process had before, or
   ends the process as without it. A program that sets its own SIGBUS
   handler afterwards takes this one's place.
   Safe from several threads at once, each run on its own descriptors. */
VALMORA_API int recPackFile(int ifd, int ofd, const recPackOptions *options, recPackResult *result);

#ifdef __cplusplus
}
#endif

#endif /* VALMORA_H */
