// The workers of recPackFile: records are compressed and restored from
// where they lie (the mapped input, or the buffer they were read into) into
// a buffer of their own: no copy of the record first, no scratch.
#include "packFile.h"
#include "recCode.h"
#include "grib1.h"
#include "szip.h"

#include <cstring>

namespace pack __attribute__((visibility("hidden"))) {
namespace {


// What the packer sees of an edition 1 record before it codes it: whether
// its width is one the coder takes (the writer names the first record of
// another width, after the coder's own warning) and whether it is packed
// already (the result).
bool survey(Run &r, Item &it)
{
    const g1::Located l = g1::locate1(it.data, (long)it.length);
    if (l.status != 0) return false;
    const unsigned char *bds = it.data + l.bds;
    const unsigned width = bds[10];
    const bool packed = bds[3] & g1::kBdsSzip;
    const bool codable = g1::szipWidth((int)width);
    std::lock_guard<std::mutex> g(r.timeLock);
    r.edition1++;
    if (packed)
        r.alreadyPacked++;
    else if (codable)
        r.codableWidth++;
    else
        it.otherWidth = width;
    return packed;
}

int codingOptions(const Run &r) { return r.opt.grib2 ? VALMORA_PACK_GRIB2 : 0; }

// A coded record in the large form: its packed form, and then the octets
// the item holds after the true record (its padding as read), which follow
// it on the way back as octets between records. Whether it was.
bool keepLargeTail(Item &it, const unsigned char *record, size_t room)
{
    const g1::Located l = g1::locate1(record, (long)it.length);
    if (l.status != 0 || l.length > it.length) return false;
    const size_t tail = it.length - l.length;
    if (it.outLength + tail > room) return false;
    memcpy(it.restored.data + it.outLength, record + l.length, tail);
    it.outLength += tail;
    return true;
}

void packRecord(Run &r, Item &it)
{
    // Code 128 takes no record in the large form.
    const int edition = it.damaged || (it.large && r.opt.compat) ? 0 : gribVersion(it.data, it.length);
    if (edition != 1 && !(edition == 2 && r.opt.grib2)) return;
    if (edition == 1 && survey(r, it))
        it.note += format("%s: GRIB record at offset %lld is packed already; copied as read (recunpack will "
                         "restore it)\n",
                         r.prog, (long long)it.offset);
    // The packed form takes every width: no record is of another.
    if (!r.opt.compat) it.otherWidth = 0;
    const size_t room = it.length + padRoom;
    it.restored = r.pool.take(room);
    // A mapped record is compressed and checked from a copy of its own: the
    // file may change under the map while the coder reads it twice.
    BufferPool::Buffer snapshot;
    const unsigned char *record = it.data;
    if (!it.allocated) {
        snapshot = r.pool.take(it.length);
        if (snapshot.data) {
            memcpy(snapshot.data, it.data, it.length);
            record = snapshot.data;
        }
    }
    if (!it.restored.data || (!it.allocated && !snapshot.data)) {
        it.note += format("%s: out of memory for %zu octets at offset %lld; copied as read\n", r.prog, room,
                         (long long)it.offset);
        r.pool.give(snapshot);
        return;
    }
    // The packed form with its whole-record check, or code 128 alone.
    int coded = 0;
    int length = r.opt.compat ? recPackCopy(record, it.length, it.restored.data, room)
                              : recPackRecord(record, it.length, it.restored.data, room, codingOptions(r), &coded);
    const bool claimed = length <= 0 || (size_t)length > room;
    if (!claimed) {
        it.out = it.restored.data;
        it.outLength = (size_t)length;
    }
    // A large-form record not coded keeps its own padding, and gets none.
    const bool asRead = it.large && !claimed && (coded != 1 || !keepLargeTail(it, record, room));
    r.pool.give(snapshot);
    if (claimed || asRead) {
        if (claimed)
            it.note += format("%s: GRIB record at offset %lld claims %d octets; copied as read\n", r.prog,
                             (long long)it.offset, length);
        r.pool.give(it.restored);
        it.restored = {};
        it.out = it.data;
        it.outLength = it.length;
        return;
    }
    // A compressed record is shorter than the record as read: it gained
    // more than 5 % of a data section of at least 256 octets, far more than
    // the 7 octets of padding it may get.
    it.coded = r.opt.compat ? (size_t)length < it.length : coded == 1;
}

// Restores a record of the packed form with a whole-record check, or a
// GRIB2 message with CCSDS fields: whether it was one.
bool unpackForm(Run &r, Item &it)
{
    const size_t plain = recPlainLength(it.data, it.length, codingOptions(r));
    if (plain == 0) return false;
    const size_t room = plain + unpackRoom + padRoom;
    it.restored = r.pool.take(room);
    if (!it.restored.data) {
        it.note = format("%s: out of memory for %zu octets at offset %lld\n", r.prog, room, (long long)it.offset);
    } else {
        int restored = 0;
        const int length = recUnpackRecord(it.data, it.length, it.restored.data, room, codingOptions(r), &restored);
        if (restored == 1 && length > 0 && (size_t)length <= room) {
            // Written as it was before packing, without padding.
            size_t off = 0, whole = 0;
            it.out = it.restored.data;
            it.outLength = gribFindRecord(it.out, (size_t)length, &off, &whole) == VALMORA_FIND_RECORD && off == 0
                               ? whole
                               : (size_t)length;
            it.coded = true;
            return true;
        }
        r.pool.give(it.restored);
        it.restored = {};
        // A GRIB2 message with no CCSDS field is written as read.
        if (restored == 0) return true;
    }
    it.leftPacked = true;
    it.note += format("%s: GRIB record at offset %lld left packed; copied as read\n", r.prog, (long long)it.offset);
    return true;
}

void unpackRecord(Run &r, Item &it)
{
    if (it.damaged || unpackForm(r, it)) return;
    // Only edition 1 has an szip form.
    if (gribVersion(it.data, it.length) != 1) return;
    size_t n = it.length;
    size_t unzipped = 0;
    int code = gribGetZip((long)n, it.data, &unzipped);
    if (code <= 0) {
        if (!it.large && clearedSzipFlag(it.data, n)) {
            it.leftPacked = true;
            it.note = format("%s: GRIB record at offset %lld holds packed data with its szip flag cleared; copied "
                             "as read\n",
                             r.prog, (long long)it.offset);
        }
        return;
    }
    if (code != VALMORA_ZIP_SZIP && code != VALMORA_ZIP_RESERVED) {
        it.note = format("Decompression for %d not implemented!\n", code);
    } else if (unzipped < n) {
        it.note = format("Decompressed size smaller than compressed size (in %zu; out %zu)!\n", n, unzipped);
    } else {
        size_t room = unzipped + unpackRoom + padRoom;
        it.restored = r.pool.take(room);
        if (!it.restored.data) {
            it.note = format("%s: out of memory for %zu octets at offset %lld\n", r.prog, room, (long long)it.offset);
            it.leftPacked = true;
            return;
        }
        unsigned char *dst = it.restored.data;
        int restored = 0;
        int length = recUnpackCopyRestored(it.data, n, dst, room, &restored);
        // A record recUnpack can't restore comes back as read, still in the
        // szip form.
        if (restored && length > 0 && (size_t)length <= room) {
            // Written as it was before packing, without padding: what
            // followed it in the packed file follows it here.
            size_t off = 0, whole = 0;
            it.out = dst;
            it.outLength = gribFindRecord(dst, (size_t)length, &off, &whole) == VALMORA_FIND_RECORD && off == 0
                               ? whole
                               : (size_t)length;
            it.coded = true;
            return;
        }
        r.pool.give(it.restored);
        it.restored = {};
    }
    it.leftPacked = true;
    it.note += format("%s: GRIB record at offset %lld left packed; copied as read\n", r.prog, (long long)it.offset);
}

} // namespace

void workerThread(Run &r)
{
    double cpu = 0;
    for (;;) {
        Item *it = nullptr;
        {
            std::unique_lock<std::mutex> g(r.pipe.m);
            r.pipe.work.wait(g, [&] { return !r.pipe.todo.empty() || r.pipe.readerDone || r.pipe.stop; });
            if (r.pipe.stop || r.pipe.todo.empty()) break;
            it = r.pipe.todo.front();
            r.pipe.todo.pop_front();
        }
        it->out = it->data;
        it->outLength = it->length;
        double c0 = threadCpu();
        // What the library says about the record is kept with it, so that
        // the writer puts it out in file order, after the progress line.
        {
            Hearing hearing(it->heard);
            if (r.compress)
                packRecord(r, *it);
            else
                unpackRecord(r, *it);
        }
        cpu += threadCpu() - c0;
        std::lock_guard<std::mutex> g(r.pipe.m);
        it->done = true;
        r.pipe.done.notify_all();
    }
    std::lock_guard<std::mutex> g(r.timeLock);
    if (r.compress) r.result.cpuCode += cpu;
}

} // namespace pack
