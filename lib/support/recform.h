/*
 * The packed form of a GRIB edition 1 record with a whole-record check:
 * its octets, the coders it names, and its restoration. Flag 0x10 and a
 * compression code of its own in BDS octet 14 mark it; octet 11 holds 255,
 * a width no reader unpacks, so software that knows only the plain record
 * refuses the values instead of returning wrong ones. Internal, not
 * installed; C++ only. Every function is safe from several threads at once
 * on different buffers.
 */
#ifndef VALMORA_RECFORM_H
#define VALMORA_RECFORM_H

#include "valmora.h" // the compression codes

#include <cstddef>
#include <cstdint>

namespace g1 {

// Compression codes (BDS octet 14). None has 0x08 set: ecCodes takes that
// bit for matrix values and stops on the record.
constexpr unsigned kFormCcsds = VALMORA_ZIP_CCSDS;
constexpr unsigned kFormCcsdsPlanes = VALMORA_ZIP_CCSDS_PLANES;
constexpr unsigned kFormZstdPlanes = VALMORA_ZIP_ZSTD_PLANES;
constexpr unsigned kFormZstd = VALMORA_ZIP_ZSTD;

// BDS octet 11 of the packed form.
constexpr unsigned kFormMarkWidth = 255;

// Offsets from 0 at the BDS of the packed form.
constexpr size_t kFormBitsAt = 11;       // 12: bits per value of the plain section
constexpr size_t kFormFlagAt = 12;       // 13: octet 4 of the plain section
constexpr size_t kFormCodeAt = 13;       // 14: compression code
constexpr size_t kFormAecFlagsAt = 14;   // 15: CCSDS flags (libaec's bits)
constexpr size_t kFormBlockAt = 15;      // 16: CCSDS block size
constexpr size_t kFormRsiAt = 16;        // 17-18: CCSDS reference sample interval
constexpr size_t kFormIndicatorAt = 18;  // 19-21: indicator octets 5-7 of the plain record
constexpr size_t kFormBdsFieldAt = 21;   // 22-24: BDS octets 1-3 of the plain record
constexpr size_t kFormRecordAt = 24;     // 25-28: plain record length
constexpr size_t kFormDataAt = 28;       // 29-32: data octets of the plain section after its header
constexpr size_t kFormCodedAt = 32;      // 33-36: coded octets
constexpr size_t kFormCrcAt = 36;        // 37-40: CRC-32C of the whole plain record
constexpr size_t kFormCodedCrcAt = 40;   // 41-44: CRC-32C of the coded octets
constexpr size_t kFormTailLengthAt = 44; // 45: tail octets kept as they stand
constexpr size_t kFormTailAt = 45;       // 46-52: the tail, zero-filled
constexpr size_t kFormTailMax = 7;
constexpr size_t kFormHeader = 52; // octets before the moved header octets

struct FormHeader {
    unsigned bits = 0, plainFlag = 0, code = 0;
    unsigned aecFlags = 0, blockSize = 0, rsi = 0;
    uint32_t indicator = 0, bdsField = 0; // as they stood in the plain record
    uint32_t recordLength = 0, dataLength = 0, codedLength = 0, crc = 0;
    uint32_t codedCrc = 0; // a flip in bits the decoder skips is found too
    unsigned tailLength = 0;
    unsigned char tail[kFormTailMax] = {};
};

bool formCode(unsigned code);
// Reads octets 12-52 of a BDS that holds at least kFormHeader octets.
FormHeader formHeaderRead(const unsigned char *bds);
void formHeaderWrite(unsigned char *bds, const FormHeader &h);

// Octet 4 of the packed form for a plain section's octet 4: its flags, the
// further-flags bit set, the unused count 0; grid-point second-order
// packing loses 0x40, which ecCodes would read as its own layout.
unsigned formFlag(unsigned plainFlag);

// The number of whole values the coders take from D data octets of
// `bits`-bit values, and the octets from the first one not filled by them
// (the tail, kept as it stands).
inline size_t formValues(size_t D, unsigned bits) { return bits ? D * 8 / bits : 0; }
inline size_t formTail(size_t D, unsigned bits) { return D - formValues(D, bits) * bits / 8; }
// Octets per value sample given to the coders: 1 to 4.
inline size_t formSampleOctets(unsigned bits) { return (bits + 7) / 8; }

// The k values of `bits` bits (1 to 32) packed MSB first at `in` as
// big-endian samples of formSampleOctets(bits) octets, and back. pack
// writes ceil(k*bits/8) octets, the bits after the last value zero.
void bitsToSamples(unsigned char *out, const unsigned char *in, size_t k, unsigned bits);
void samplesToBits(unsigned char *out, const unsigned char *in, size_t k, unsigned bits);
// The same for native unsigned integers, and those as samples.
void bitsToValues(uint32_t *out, const unsigned char *in, size_t k, unsigned bits);
void valuesToBits(unsigned char *out, const uint32_t *in, size_t k, unsigned bits);
void valuesToSamples(unsigned char *out, const uint32_t *in, size_t k, unsigned bits);
// The n-octet samples as n planes (all first octets, then all second ...).
void samplePlanesSplit(unsigned char *out, const unsigned char *in, size_t k, size_t n);
void samplePlanesJoin(unsigned char *out, const unsigned char *in, size_t k, size_t n);

// The length of a packed BDS of `body` octets (kFormHeader, the header
// octets and the coded ones) at bdsOffset in its record: even, and, where
// the record needs the large form, long enough that its padding to 120
// octets stays below 117 octets (which the large rule could not state).
size_t formBdsLength(size_t bdsOffset, size_t body);

// Indicator octets 5-7 and BDS octets 1-3 of a packed record of `total`
// octets whose BDS is bdslen octets long: the plain lengths, or the large
// form's when the record needs it.
struct FormLengths {
    uint32_t indicator, bdsField;
};
FormLengths formLengths(size_t total, size_t bdslen);

// The reference sample interval written for `samples` samples coded in
// blocks of blockSize: rsi, or the whole field's block count when that is
// fewer (the coder then never reaches an interval's end, and an interval
// that could be stated two ways would let a damaged one pass).
int formRsi(int rsi, size_t samples, int blockSize);

// The CCSDS flags the packed form codes values with.
int formAecFlags(unsigned bits);

// Results of formRestore besides 0.
enum {
    FORM_NOT_PACKED = 1,     // the record is not in the packed form
    FORM_DAMAGED = 2,        // its octets contradict each other or its lengths
    FORM_DECODE_FAILED = 3,  // the coder failed or gave another length
    FORM_CHECK_MISMATCH = 4, // rebuilt, but the whole-record check disagrees
    FORM_NO_ROOM = 5,        // the plain record does not fit into capacity
    FORM_NO_MEMORY = 6       // no scratch
};

// The packed form's BDS at `bds`, bdslen octets (the true length, the
// large rule applied), with its flag and marks: FORM_NOT_PACKED when it is
// not marked as this form, FORM_DAMAGED when the marks are there but
// contradict each other (0x10 cleared with the other marks in place
// included), else 0.
int formSection(const unsigned char *bds, size_t bdslen);

// Rebuilds the plain record from the packed record at rec (recLength
// octets from "GRIB" to the end of "7777"; its BDS at bdsOffset) into out
// (capacity octets): every octet as it stood. *restoredLength (may be
// null) gets the plain record's length, also on FORM_NO_ROOM and on
// FORM_CHECK_MISMATCH (out then holds the record that disagrees). Reads
// nothing outside rec, writes nothing outside out, prints nothing; the
// two must not overlap.
int formRestore(const unsigned char *rec, size_t recLength, size_t bdsOffset, unsigned char *out, size_t capacity,
                size_t *restoredLength);

} // namespace g1

#endif // VALMORA_RECFORM_H
