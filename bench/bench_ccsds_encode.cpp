// The project's CCSDS coder against libaec's, in one run on the same
// samples: real fields (rotated_ll.grib1, a 16-bit ECMWF field, and the
// 12-bit land-cover fractions of cl00010000_ecoclimap_rot.grib1) repacked
// by ecCodes at 4, 8, 12, 16 and 24 bits, coded as template 5.42 codes
// them (MSB, preprocessed, 3-octet samples over 16 bits, interval 128) at
// block sizes 8 and 32. Speeds are of one thread, octets of packed input
// (n bits a value) per second, each the best of five; sizes and speeds are
// also given as ratios against libaec.
//
//   bench_ccsds_encode [directory=/usr/share/doc/python-grib-doc/examples]
#ifndef VALMORA_HAVE_ECCODES_API
#include <cstdio>
int main()
{
    puts("bench_ccsds_encode: needs ecCodes' C API (libeccodes-dev)");
    return 0;
}
#else
#include "valmora.h"

#include "../lib/support/ccsds.h"

#include <eccodes.h>
#include <libaec.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr int kFlags = AEC_DATA_MSB | AEC_DATA_PREPROCESS | AEC_DATA_3BYTE;
constexpr int kRsi = 128;   // ecCodes' interval
constexpr int kRepeats = 5; // timings per measure; the best counts

// The samples of every field of a file repacked at `bits` bits (simple
// packing), read from the data sections ecCodes writes.
Bytes fieldSamples(const std::string &file, long bits, size_t *count)
{
    Bytes out;
    FILE *f = fopen(file.c_str(), "rb");
    if (!f) return out;
    const size_t size = ccsdsSampleSize((int)bits, kFlags);
    int err = 0;
    while (codes_handle *h = codes_handle_new_from_file(nullptr, f, PRODUCT_GRIB, &err)) {
        codes_set_long(h, "setBitsPerValue", bits);
        const void *m = nullptr;
        size_t len = 0;
        codes_get_message(h, &m, &len);
        Bytes r((const unsigned char *)m, (const unsigned char *)m + len);
        codes_handle_delete(h);
        unsigned char *pds, *gds, *bms, *bds;
        long total = 0;
        if (grib1Sections(r.data(), (long)r.size(), &pds, &gds, &bms, &bds, &total) != 0 || (bds[3] & 0xF0) ||
            bds[10] != bits)
            continue;
        const size_t data = (size_t)(bds - r.data()) + 11, k = ((size_t)total - 4 - data) * 8 / (size_t)bits;
        uint64_t acc = 0;
        unsigned have = 0;
        const unsigned char *p = r.data() + data;
        for (size_t i = 0; i < k; ++i) {
            while (have < (unsigned)bits) acc = acc << 8 | *p++, have += 8;
            have -= (unsigned)bits;
            const uint32_t v = (uint32_t)(acc >> have) & (uint32_t)((1ull << bits) - 1);
            for (size_t b = 0; b < size; ++b) out.push_back((unsigned char)(v >> (8 * (size - 1 - b))));
        }
        *count += k;
    }
    fclose(f);
    return out;
}

template <class F> double best(F fn)
{
    double t = 1e30;
    for (int i = 0; i < kRepeats; ++i) {
        const auto t0 = Clock::now();
        fn();
        t = std::min(t, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return t;
}

size_t aecEncode(Bytes &out, const Bytes &in, int bits, int block)
{
    aec_stream s{};
    s.bits_per_sample = (unsigned)bits;
    s.block_size = (unsigned)block;
    s.rsi = kRsi;
    s.flags = kFlags;
    s.next_in = in.data();
    s.avail_in = in.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    return aec_buffer_encode(&s) == AEC_OK ? s.total_out : 0;
}

size_t ownEncode(Bytes &out, const Bytes &in, int bits, int block)
{
    size_t len = out.size();
    return ccsdsEncodeOwn(out.data(), &len, in.data(), in.size(), bits, kFlags, block, kRsi) == kCcsdsOk ? len : 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string dir = argc > 1 ? argv[1] : "/usr/share/doc/python-grib-doc/examples";
    printf("%-5s %-6s %-5s %12s %12s %9s %9s %8s %8s\n", "bits", "field", "block", "libaec MB/s", "own MB/s",
           "aec size", "own size", "speed x", "size x");
    for (const char *file : {"rotated_ll.grib1", "cl00010000_ecoclimap_rot.grib1"})
        for (long bits : {4, 8, 12, 16, 24}) {
            size_t count = 0;
            const Bytes in = fieldSamples(dir + "/" + file, bits, &count);
            if (in.empty()) {
                printf("bench_ccsds_encode: %s/%s is missing (Debian's python-grib-doc)\n", dir.c_str(), file);
                return 0;
            }
            const double packed = (double)count * (double)bits / 8;
            for (int block : {8, 32}) {
                Bytes out(in.size() * 2 + 4096);
                size_t aec = 0, own = 0;
                const double tAec = best([&] { aec = aecEncode(out, in, (int)bits, block); });
                const double tOwn = best([&] { own = ownEncode(out, in, (int)bits, block); });
                printf("%-5ld %-6.6s %-5d %12.1f %12.1f %9zu %9zu %8.2f %8.4f\n", bits, file, block,
                       packed / tAec / 1e6, packed / tOwn / 1e6, aec, own, tAec / tOwn, (double)own / (double)aec);
            }
        }
    return 0;
}
#endif
