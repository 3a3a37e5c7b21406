// Whole-record access to GRIB files: find the next "GRIB" marker, size the
// record from its section lengths without reading its body, read it, write it.
#include "valmora.h"
#include "grib1.h"
#include "support.h"

#include <climits>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint32_t gribMarker = 0x47524942; // "GRIB"
constexpr long searchLimit = 0x1000000;     // octets read per search at most

constexpr int readError = 2; // the search met a read error, not the end

// Marker search; 0 found, -1 end of file, 1 not found, readError. The debug
// line names "gribFileSeek" for every caller.
int seekMarker(int fileID, long *count)
{
    int status = filePtrSearch(filePtr(fileID), gribMarker, searchLimit, count);
    if (status == -1 && fileError(fileID)) return readError;
    if (status >= 0 && VALMORA_Debug) Message_("gribFileSeek", "record offset = %ld", *count);
    return status;
}

// Reads a 24-bit big-endian number; *bad is set when the stream ran dry.
unsigned read3(void *fp, bool *bad)
{
    unsigned char octets[3];
    for (unsigned char &o : octets) {
        int c = filePtrGetc(fp);
        if (c < 0) *bad = true;
        o = (unsigned char)c;
    }
    return g1::get3(octets);
}

// Length of an optional section after the current position: reads its
// 3-octet length and moves over the rest of it.
unsigned skipSection(int fileID, void *fp, const char *label, bool *bad)
{
    unsigned len = read3(fp, bad);
    if (VALMORA_Debug) Message_("gribReadSize", "%s = %u", label, len);
    if (len < 3 || fileSetPos(fileID, (int64_t)len - 3, 1) != 0) *bad = true;
    return len;
}

// The record length from its header fields: the one sizing rule of the
// stream (gribReadSize) and of memory (gribFindRecord). Edition 0 adds its
// sections up; edition 1 states it in the indicator, or in the large form
// through the data section's correction. 32-bit arithmetic, as the fields.
uint32_t lengthFromSections(int edition, uint32_t L, uint32_t P, uint32_t G, uint32_t B, uint32_t f)
{
    if (edition == 0) return L + G + B + f + 8;
    if (!(L & g1::kLargeFlag) || f > g1::kLargeCorrectionMax) return L;
    uint32_t offset = 8 + P + G + B;
    // A 23-bit count too small for the large form leaves f as a plain BDS
    // length, as the section locator reads it.
    return (uint32_t)(offset + g1::bdsLength(f, g1::paddedFromIndicator(L), offset).length + 4);
}

} // namespace

extern "C" {

int gribOpen(const char *filename, const char *mode) { return fileOpen(filename, mode); }

int gribClose(int fileID) { return fileClose(fileID); }

int64_t gribGetPos(int fileID) { return fileGetPos(fileID); }

int gribFileError(int fileID) { return fileError(fileID); }

// A read error ends a search as "not found": it is not the end of the file.
int gribFileSeek(int fileID, long *offset)
{
    int status = seekMarker(fileID, offset);
    return status == readError ? 1 : status;
}

int gribCheckSeek(int fileID, long *offset, int *edition)
{
    *edition = -1;
    int status = seekMarker(fileID, offset);
    if (status != 0) return status == readError ? 1 : status;
    unsigned char octets[4];
    if (fileRead(fileID, octets, 4) == 4) *edition = (signed char)octets[3];
    return fileError(fileID) ? 1 : 0;
}

size_t gribReadSize(int fileID)
{
    void *fp = filePtr(fileID);
    int64_t start = fileGetPos(fileID);
    bool bad = false;

    unsigned L = read3(fp, &bad);
    int e = filePtrGetc(fp);
    if (e < 0) bad = true;
    int edition = e & 0xFF;
    if (L == 24 && edition != 1 && edition != 2) edition = 0;
    if (VALMORA_Debug) Message_("gribReadSize", "gribversion = %d", edition);

    size_t length = 0;
    if (bad) {
        // End of file inside the indicator: no length, and no message.
    } else if (edition == 2) {
        unsigned char b[8] = {0};
        if (filePtrRead(fp, b, 8) != 8) bad = true;
        length = (size_t)g1::get8(b);
    } else if (edition == 1 || edition == 0) {
        unsigned P, flag;
        if (edition == 1) {
            if (!(L & g1::kLargeFlag)) {
                length = L;
                goto done;
            }
            P = read3(fp, &bad);
        } else {
            P = L; // the indicator of edition 0 ends at the marker
        }
        if (VALMORA_Debug) Message_("gribReadSize", "pdssize     = %u", P);
        if (P < 8 || fileSetPos(fileID, edition == 1 ? 4 : 3, 1) != 0) {
            bad = true;
            goto done;
        }
        flag = (unsigned)filePtrGetc(fp);
        if ((int)flag < 0) bad = true;
        if (VALMORA_Debug) Message_("gribReadSize", "flag        = %d", (int)flag);
        if (fileSetPos(fileID, (int64_t)P - 8, 1) != 0) bad = true;
        unsigned G = 0, B = 0;
        if (!bad && (flag & g1::kPdsGds)) G = skipSection(fileID, fp, "gdssize    ", &bad);
        if (!bad && (flag & g1::kPdsBms)) B = skipSection(fileID, fp, "bmssize    ", &bad);
        unsigned f = bad ? 0 : read3(fp, &bad);
        if (VALMORA_Debug) Message_("gribReadSize", "bdssize     = %u", f);
        if (edition == 1 && f <= g1::kLargeCorrectionMax && VALMORA_Debug) {
            // Shown as correct_bdslen gives it against the offset less 4.
            g1::BdsLength bds = g1::bdsLength(f, g1::paddedFromIndicator(L), 8 + P + G + B);
            Message_("gribReadSize", "bdssize     = %u", bds.large ? (unsigned)bds.length + 4 : f);
        }
        length = lengthFromSections(edition, L, P, G, B, f);
    } else {
        Warning_("gribReadSize", "GRIB version %d unsupported!", edition);
    }

done:
    if (bad || filePtrEOF(fp) || filePtrError(fp)) length = 0;
    if (VALMORA_Debug) Message_("gribReadSize", "gribsize = %zu", length);
    // A move back that cannot be done (an input that cannot seek, after a
    // walk over more than it keeps) leaves the file's error set.
    if (fileSetPos(fileID, start, 0) != 0) length = 0;
    return length;
}

size_t gribGetSize(int fileID)
{
    long count;
    int status = seekMarker(fileID, &count);
    if (status == -1 || status == readError) return 0;
    if (status == 1) {
        Warning_("gribGetSize", "GRIB record not found!");
        return 0;
    }
    size_t length = gribReadSize(fileID);
    if (VALMORA_Debug) Message_("gribGetSize", "recsize = %zu", length);
    if (fileSetPos(fileID, -4, 1) != 0 || fileError(fileID)) return 0;
    return length;
}

int gribRead(int fileID, void *buffer, size_t *bufferSize)
{
    long count;
    int status = seekMarker(fileID, &count);
    if (status == -1) {
        *bufferSize = 0;
        return -1;
    }
    if (status == readError) {
        *bufferSize = 0;
        return 1;
    }
    if (status == 1) {
        Warning_("gribRead", "GRIB record not found!");
        *bufferSize = 0;
        return -2;
    }
    size_t length = gribReadSize(fileID);
    size_t capacity = *bufferSize;
    *bufferSize = length;
    // Nothing to read for an unsized record or a buffer too small to hold
    // the marker: report a short read.
    if (length < 4 || capacity < 4) return 1;

    unsigned char *p = (unsigned char *)buffer;
    p[0] = 'G', p[1] = 'R', p[2] = 'I', p[3] = 'B';
    size_t n = length < capacity ? length : capacity;
    if (fileRead(fileID, p + 4, n - 4) != n - 4) return 1;
    return length > capacity ? -3 : 0;
}

int gribWrite(int fileID, const void *buffer, size_t size)
{
    // Compared at full width: truncated to 32 bits, a failed write of
    // 2^32 octets would pass for a complete one.
    size_t written = fileWrite(fileID, buffer, size);
    if (written != size) {
        Perror_("gribWrite");
        return -1;
    }
    return written > (size_t)INT_MAX ? INT_MAX : (int)written;
}

} // extern "C"

// Record framing in memory, by the same sizing rule as gribReadSize: the
// caller holds the octets (a pipe can't be moved back on) and looks for the
// next record without any stream state.
namespace {

constexpr size_t markerLength = 4;
constexpr size_t endLength = 4;       // "7777"
constexpr size_t grib2Indicator = 16; // octets holding the 64-bit length

// Sizes the record whose marker starts at p with `avail` octets held.
// 0 sized (*length), 1 more octets needed (*length: octets to hold), -2 the
// headers size no record.
int sizeInMemory(const unsigned char *p, size_t avail, size_t *length)
{
    if (avail < 8) {
        *length = 8;
        return 1;
    }
    uint32_t L = g1::get3(p + 4);
    int edition = p[7];
    if (L == 24 && edition != 1 && edition != 2) edition = 0;
    if (edition == 2) {
        if (avail < grib2Indicator) {
            *length = grib2Indicator;
            return 1;
        }
        uint64_t total = g1::get8(p + 8);
        if (total > (uint64_t)SIZE_MAX) return -2;
        *length = (size_t)total;
        return 0;
    }
    if (edition != 1 && edition != 0) return -2;
    if (edition == 1 && !(L & g1::kLargeFlag)) {
        *length = L;
        return 0;
    }
    // The section walk: the indicator is 8 octets in edition 1 and 4 in
    // edition 0, whose octets 5-7 already are the definition section's length.
    size_t pds = edition == 1 ? 8 : 4;
    if (avail < pds + 8) {
        *length = pds + 8;
        return 1;
    }
    uint32_t P = g1::get3(p + pds);
    if (P < 8) return -2;
    unsigned flag = p[pds + 7];
    size_t at = pds + P;
    uint32_t G = 0, B = 0;
    for (unsigned bit : {g1::kPdsGds, g1::kPdsBms}) {
        if (!(flag & bit)) continue;
        if (avail < at + 3) {
            *length = at + 3;
            return 1;
        }
        uint32_t len = g1::get3(p + at);
        if (len < 3) return -2;
        (bit == g1::kPdsGds ? G : B) = len;
        at += len;
    }
    if (avail < at + 3) {
        *length = at + 3;
        return 1;
    }
    *length = lengthFromSections(edition, L, P, G, B, g1::get3(p + at));
    return 0;
}

} // namespace

extern "C" {

int gribFindRecord(const void *buffer, size_t size, size_t *offset, size_t *length)
{
    const unsigned char *b = (const unsigned char *)buffer;
    *length = 0;
    const void *hit = size >= markerLength ? memmem(b, size, "GRIB", markerLength) : nullptr;
    if (!hit) {
        // The last three octets may begin a marker that more octets complete.
        *offset = size < markerLength ? 0 : size - (markerLength - 1);
        return -1;
    }
    size_t at = (size_t)((const unsigned char *)hit - b);
    *offset = at;
    const unsigned char *p = b + at;
    size_t avail = size - at;
    size_t need;
    int status = sizeInMemory(p, avail, &need);
    if (status < 0) return -2;
    if (status == 0 && need < markerLength + endLength) return -2;
    *length = need;
    if (status == 1 || need > avail) return 1;
    return memcmp(p + need - endLength, "7777", endLength) == 0 ? 0 : -2;
}

} // extern "C"
