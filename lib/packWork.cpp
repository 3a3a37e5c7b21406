// The workers of recPackFile: records are compressed and restored from
// where they lie (the mapped input, or the buffer they were read into) into
// a buffer of their own: no copy of the record first, no scratch.
#include "packFile.h"
#include "recCode.h"

namespace pack __attribute__((visibility("hidden"))) {
namespace {

// Compression codes of BDS octet 14 that a restore undoes: the szip form,
// and 130, which readers of the form have always taken as the same.
constexpr int szipCode = 128;
constexpr int szipCodeAlias = 130;

int codingOptions(const Run &r) { return r.opt.grib2 ? VALMORA_PACK_GRIB2 : 0; }

void packRecord(Run &r, Item &it)
{
    const int edition = it.damaged ? 0 : gribVersion(it.data, it.length);
    if (edition != 1 && !(edition == 2 && r.opt.grib2)) return;
    const size_t room = it.length + padRoom;
    it.restored = r.pool.take(room);
    if (!it.restored.data) {
        it.note = format("%s: out of memory for %zu octets\n", r.prog, room);
        return;
    }
    // The packed form with its whole-record check, or code 128 alone.
    int coded = 0;
    int length = r.opt.compat ? recPackCopy(it.data, it.length, it.restored.data, room)
                              : recPackRecord(it.data, it.length, it.restored.data, room, codingOptions(r), &coded);
    if (length <= 0 || (size_t)length > room) {
        it.note = format("%s: GRIB record at offset %lld claims %d octets; copied as read\n", r.prog,
                         (long long)it.offset, length);
        r.pool.give(it.restored);
        it.restored = {};
        return;
    }
    // A large-form record's padded length may lie beyond the record as
    // read: recPackCopy writes the zeros up to it.
    it.out = it.restored.data;
    it.outLength = (size_t)length;
    size_t unzipped = 0;
    it.coded = r.opt.compat ? gribGetZip(length, it.restored.data, &unzipped) == szipCode : coded == 1;
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
        it.note = format("%s: out of memory for %zu octets\n", r.prog, room);
    } else {
        int restored = 0;
        const int length = recUnpackRecord(it.data, it.length, it.restored.data, room, codingOptions(r), &restored);
        if (restored >= 0 && length > 0 && (size_t)length <= room) {
            // A GRIB2 message with no CCSDS field is written as read.
            it.out = it.restored.data;
            it.outLength = (size_t)length;
            it.coded = restored == 1;
            return true;
        }
        r.pool.give(it.restored);
        it.restored = {};
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
    if (code <= 0) return;
    if (code != szipCode && code != szipCodeAlias) {
        it.note = format("Decompression for %d not implemented!\n", code);
    } else if (unzipped < n) {
        it.note = format("Decompressed size smaller than compressed size (in %zu; out %zu)!\n", n, unzipped);
    } else {
        size_t room = unzipped + unpackRoom + padRoom;
        it.restored = r.pool.take(room);
        if (!it.restored.data) {
            it.note = format("%s: out of memory for %zu octets\n", r.prog, room);
            it.leftPacked = true;
            return;
        }
        unsigned char *dst = it.restored.data;
        int restored = 0;
        int length = recUnpackCopyRestored(it.data, n, dst, room, &restored);
        // A record recUnpack can't restore comes back as read, still in the
        // szip form.
        if (restored && length > 0 && (size_t)length <= room) {
            it.out = dst;
            it.outLength = (size_t)length;
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
        if (r.compress)
            packRecord(r, *it);
        else
            unpackRecord(r, *it);
        cpu += threadCpu() - c0;
        std::lock_guard<std::mutex> g(r.pipe.m);
        it->done = true;
        r.pipe.done.notify_all();
    }
    std::lock_guard<std::mutex> g(r.timeLock);
    if (r.compress) r.result.cpuCode += cpu;
}

} // namespace pack
