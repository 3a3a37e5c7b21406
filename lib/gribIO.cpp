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

    unsigned char indicator[4] = {0};
    if (filePtrRead(fp, indicator, 4) != 4) bad = true;
    const unsigned L = g1::get3(indicator);
    // The edition test of a whole indicator, "GRIB" being known.
    const unsigned char whole[8] = {'G', 'R', 'I', 'B', indicator[0], indicator[1], indicator[2], indicator[3]};
    const int edition = g1::edition(whole);
    if (VALMORA_Debug) Message_("gribReadSize", "gribversion = %d", edition);

    size_t length = 0;
    if (bad) {
        // End of file inside the indicator: no length, and no message.
    } else if (edition == 2) {
        unsigned char b[8] = {0};
        if (filePtrRead(fp, b, 8) != 8) bad = true;
        length = (size_t)g1::get8(b);
    } else if (edition == 1 && !(L & g1::kLargeFlag)) {
        length = L;
    } else if (edition == 1 || edition == 0) {
        // The section walk, forward only over the stream: the file stands
        // at octet 9 of the record (from 1 at "GRIB").
        int64_t pos = 8;
        auto read = [&](size_t at, unsigned n, uint32_t &v) {
            unsigned char o[4];
            if ((int64_t)at < pos || fileSetPos(fileID, (int64_t)at - pos, 1) != 0 || filePtrRead(fp, o, n) != n)
                return false;
            pos = (int64_t)at + n;
            v = g1::getN(o, n);
            return true;
        };
        g1::Frame f;
        size_t need;
        const int walk = g1::walkSections(edition, L, read, f, &need);
        if (VALMORA_Debug) {
            Message_("gribReadSize", "pdssize     = %u", f.P);
            Message_("gribReadSize", "flag        = %d", (int)f.flag);
            if (f.gds) Message_("gribReadSize", "gdssize     = %u", f.G);
            if (f.bms) Message_("gribReadSize", "bmssize     = %u", f.B);
        }
        if (walk != g1::kFrameDone) {
            bad = true;
        } else {
            if (VALMORA_Debug) Message_("gribReadSize", "bdssize     = %u", f.f);
            if (edition == 1 && f.f <= g1::kLargeCorrectionMax && VALMORA_Debug) {
                // Shown as correct_bdslen gives it against the offset less 4.
                g1::BdsLength bds = g1::bdsLength(f.f, g1::paddedFromIndicator(L), (int64_t)f.bds);
                Message_("gribReadSize", "bdssize     = %u", bds.large ? (unsigned)bds.length + 4 : f.f);
            }
            length = f.length;
        }
    } else {
        Warning_("gribReadSize", "GRIB version %d unsupported!", edition);
    }

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
    const uint32_t L = g1::get3(p + 4);
    const int edition = g1::edition(p);
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
    g1::Frame f;
    const int walk = g1::frameSections(p, avail, f, length);
    if (walk == g1::kFrameNone) return -2;
    if (walk == g1::kFrameMore) return 1;
    *length = f.length;
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
