/*
 * The szip form of a GRIB edition 1 data section, in one place: its layout,
 * the one test whether a section is in it, the coder and its parameters,
 * the restoration and the check. recPack decides when a record is worth
 * the form; the decoder, the listings and the byte-plane test read it
 * through here. Internal, not installed; C++ only.
 *
 * The form: BDS octet 4 has the flag 0x10, octet 14 the compression code,
 * and 12 octets inserted after octet 11 keep what is needed to undo it and
 * to see that it was undone right; the octets the plain form has between
 * octet 11 and its packed data follow them, then the szip-coded data.
 */
#ifndef VALMORA_SZIP_H
#define VALMORA_SZIP_H

#include "valmora.h" // the compression codes

#include <cstddef>
#include <cstdint>

// szlib.h declares C functions without a C++ guard.
extern "C" {
#include <szlib.h>
}

namespace g1 {

// ---- Layout ---------------------------------------------------------------------

// Octets of the BDS (offsets from 0 at its length field).
constexpr size_t kSzipCheckAt = 11;        // 12-13: the check, 0 for none
constexpr size_t kSzipCodeAt = 13;         // 14: compression code
constexpr size_t kSzipRecordLengthAt = 14; // 15-17: the record length before
constexpr size_t kSzipDataLengthAt = 17;   // 18-20: packed data octets before
constexpr size_t kSzipPackedLengthAt = 20; // 21-23: compressed octets
constexpr size_t kSzipHeader = 23;         // octets before the moved header octets
// J of complex packing: BDS octet 16 of the plain form, 28 of the szip form.
constexpr size_t kPlainJAt = 15;
constexpr size_t kSzipJAt = kSzipHeader + 4;

// BDS octets 12-23 of the szip form.
struct SzipHeader {
    uint32_t recordLength = 0;         // indicator octets 5-7 of the record before compression
    uint32_t dataLength = 0;           // packed data octets before compression
    uint32_t packedLength = 0;         // compressed data octets
    uint32_t check = 0;                // 16-bit check of the section before; 0: none
    unsigned code = VALMORA_ZIP_SZIP;  // compression code
};

// Reads octets 12-23 of a BDS that holds at least kSzipHeader octets.
SzipHeader szipHeaderRead(const unsigned char *bds);
void szipHeaderWrite(unsigned char *bds, const SzipHeader &h);

// The compression code of the data section at bds (bdslen octets from its
// length field): BDS octet 14 when the section is flagged as compressed and
// holds the whole szip header, else 0. Reads nothing past bds + bdslen.
unsigned szipCode(const unsigned char *bds, size_t bdslen);

// The one test of the form: the section holds the szip header and its code
// is VALMORA_ZIP_SZIP.
inline bool szipForm(const unsigned char *bds, size_t bdslen) { return szipCode(bds, bdslen) == VALMORA_ZIP_SZIP; }

// ---- Coder ----------------------------------------------------------------------

// The coder's parameters, shared by the coder, the restoration and the
// byte-plane test, which must code data alike: raw coding (no szip header
// of its own), nearest-neighbour preprocessing, most significant byte
// first, as GRIB packs its values.
// What recPack says, once per process, about the first record of a width
// szip does not code. The file pipeline puts the same line with the first
// such record in file order instead of whichever worker met one first.
constexpr const char *kSzipWidthWarning = "GRIB szip supports only 8, 16, 24 and 32 bit data!\n";

constexpr int kSzipOptions = SZ_RAW_OPTION_MASK | SZ_NN_OPTION_MASK | SZ_MSB_OPTION_MASK;
constexpr int kSzipPixelsPerBlock = 8;
constexpr int kSzipPixelsPerScanline = 1024;

// Parameters for packed values of nbits bits; 3-octet values are coded as
// three planes of 8-bit samples.
inline SZ_com_t szipParams(int nbits)
{
    return SZ_com_t{kSzipOptions, nbits == 24 ? 8 : nbits, kSzipPixelsPerBlock, kSzipPixelsPerScanline};
}

// The widths the form takes: 8, 16, 24 and 32 bits.
inline bool szipWidth(int nbits) { return nbits == 8 || nbits == 16 || nbits == 24 || nbits == 32; }

// Octets of one sample handed to szip: a 24-bit value is three 8-bit samples.
inline size_t szipSampleOctets(int nbits) { return nbits == 24 ? 3 : (size_t)nbits / 8; }

// Codes the n octets of nbits-bit samples at src into dst, of *dstLen
// octets; *dstLen becomes the coded length. Writes octet for octet what
// SZ_BufftoBuffCompress writes for szipParams(nbits), and returns what it
// returns: SZ_OK, SZ_OUTBUFF_FULL when dst is too small, SZ_MEM_ERROR or
// SZ_PARAM_ERROR. Reads only src, writes only dst. Safe on several threads.
int szipCompress(void *dst, size_t *dstLen, const void *src, size_t n, int nbits);

// The D packed data octets at data (whole values of nbits, a width the form
// takes) coded as the form stores them into work (*clen octets; becomes the
// coded length): 24-bit values as byte planes, through scratch. The
// results of szipCompress.
int szipCompressData(const unsigned char *data, size_t D, int nbits, void *work, size_t *clen);

} // namespace g1

// ---- Check ----------------------------------------------------------------------

// The check of a data section of n octets (from its length field to its
// last octet): the low 16 bits c of its CRC-32C, or 0xFFFF when c is 0, as 0
// stands for "no check".
uint32_t szipSectionCheck(const unsigned char *section, size_t n);

// ---- Restoration ----------------------------------------------------------------

// Results of the restoration besides 0.
enum {
    SZIP_NOT_PACKED = 1,     // the section is not in the szip form
    SZIP_DAMAGED = 2,        // its szip octets contradict each other or its length
    SZIP_DECODE_FAILED = 3,  // szip failed or gave another length than stored
    SZIP_CHECK_MISMATCH = 4, // restored, but the check disagrees
    SZIP_NO_ROOM = 5,        // the restored section does not fit into capacity
    SZIP_NO_MEMORY = 6       // scratch for 24-bit planes could not be had
};

// A section in the szip form as its octets describe it, and what its
// restoration found (for the messages of the callers).
struct SzipRestored {
    g1::SzipHeader h;      // BDS octets 12-23
    size_t X = 0;          // octets between BDS octet 11 and the packed data
    int nbits = 0;         // bits per value
    bool pad = false;      // the restored section ends with a zero octet
    size_t length = 0;     // the restored section's length
    int sz = SZ_OK;        // the szip library's result
    size_t decoded = 0;    // packed data octets szip gave back
    uint32_t computed = 0; // the check of the restored section
};

// Reads the szip octets of the section at bds (bdslen octets) and sizes its
// restored form into r; writes nothing else. 0, SZIP_NOT_PACKED or
// SZIP_DAMAGED.
int szipSizeRestored(const unsigned char *bds, size_t bdslen, SzipRestored &r);

// Restores the section sized by szipSizeRestored into out (capacity
// octets): 0 or any result but SZIP_NOT_PACKED and SZIP_DAMAGED.
int szipRestore(const unsigned char *bds, unsigned char *out, size_t capacity, SzipRestored &r);

// Restores the plain data section of the szip-form section at bds (bdslen
// octets from its length field) into out: the whole section as it stood
// before compression, from its length field to its last octet. Verifies the
// szip octets against bdslen, the length szip gives back and, when the
// section carries one (octets 12-13 not 0), the check. *restoredLength (may
// be NULL) receives the restored section's length: on 0, on
// SZIP_CHECK_MISMATCH (out then holds the disagreeing section), and on
// SZIP_NO_ROOM (the capacity it needs); the length it would have on
// SZIP_DECODE_FAILED and SZIP_NO_MEMORY; 0 on SZIP_NOT_PACKED and
// SZIP_DAMAGED. Reads nothing outside bds[0, bdslen), writes nothing outside
// out[0, capacity) (on failure out may hold part of a section; nothing on
// SZIP_NOT_PACKED, SZIP_DAMAGED and SZIP_NO_ROOM), and prints nothing; bds
// and out must not overlap. Safe from several threads on different buffers.
int szipRestoreSection(const unsigned char *bds, size_t bdslen, unsigned char *out, size_t capacity,
                       size_t *restoredLength);

#endif // VALMORA_SZIP_H
