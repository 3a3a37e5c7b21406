// The packed GRIB1 form and the GRIB2 conversion on real fields, against
// what else one would use, all measured in one run on the same octets:
// recPackRecord (the packed form), recPackRecord with VALMORA_PACK_COMPAT
// (code 128), libaec alone (the integers at their own width, the best
// single block size), zstd -3 and -19 and xz -6 of the whole files, and
// for GRIB2 ecCodes' own conversion to CCSDS packing (packingType
// grid_ccsds, what grib_set -r -s packingType=grid_ccsds does).
//
//   bench_recform [directory=/usr/share/doc/python-grib-doc/examples]
//
// The GRIB1 collection: the real GRIB1 files of the directory, and the 16-
// bit real field of rotated_ll.grib1 repacked by ecCodes at 5, 8, 12, 20
// and 24 bits. The GRIB2 collection: its GRIB2 files repacked in simple
// packing. Speeds are of one thread, octets of input per second; each
// timing is the best of three.
#ifndef VALMORA_HAVE_ECCODES_API
#include <cstdio>
int main()
{
    puts("bench_recform: needs ecCodes' C API (libeccodes-dev)");
    return 0;
}
#else
#include "valmora.h"

#include <eccodes.h>
#include <libaec.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Simple packing with the values coded again, as grib_set -r does: setting
// the packing type alone may leave a data section that does not match the
// width (a converted complex-packed field).
void toSimple(codes_handle *h, long)
{
    size_t n = 0;
    codes_get_size(h, "values", &n);
    std::vector<double> v(n);
    codes_get_double_array(h, "values", v.data(), &n);
    codes_set_string(h, "packingType", "grid_simple", nullptr);
    codes_set_double_array(h, "values", v.data(), n);
}

// Whether ecCodes reads a message it made, values and all: an edit may
// leave one whose sections disagree with their lengths.
bool readable(const void *m, size_t len)
{
    codes_handle *h = codes_handle_new_from_message(nullptr, m, len);
    if (!h) return false;
    size_t n = 0;
    bool ok = codes_get_size(h, "values", &n) == 0;
    std::vector<double> v(n);
    ok = ok && codes_get_double_array(h, "values", v.data(), &n) == 0;
    codes_handle_delete(h);
    return ok;
}

// The messages of a file, as ecCodes reads them; `edit` may change each
// one (nullptr keeps it).
std::vector<Bytes> messages(const std::string &name, void (*edit)(codes_handle *, long), long arg)
{
    std::vector<Bytes> out;
    FILE *f = fopen(name.c_str(), "rb");
    if (!f) return out;
    int err = 0;
    while (codes_handle *h = codes_handle_new_from_file(nullptr, f, PRODUCT_GRIB, &err)) {
        if (edit) edit(h, arg);
        // A field ecCodes could not repack as asked is left out.
        char packing[64] = {0};
        size_t plen = sizeof packing;
        codes_get_string(h, "packingType", packing, &plen);
        if (edit == toSimple && strcmp(packing, "grid_simple") != 0) {
            codes_handle_delete(h);
            continue;
        }
        const void *m = nullptr;
        size_t len = 0;
        if (codes_get_message(h, &m, &len) == 0 && readable(m, len))
            out.emplace_back((const unsigned char *)m, (const unsigned char *)m + len);
        codes_handle_delete(h);
    }
    fclose(f);
    return out;
}

// Repacks the values at `bits` bits, as grib_set -r -s bitsPerValue=N does.
void setBits(codes_handle *h, long bits) { codes_set_long(h, "setBitsPerValue", bits); }

// A GRIB2 field as a simple-packed GRIB1 record at `bits` bits (what
// grib_set -r -s packingType=grid_simple,edition=1,bitsPerValue=N makes).
void toGrib1Bits(codes_handle *h, long bits)
{
    codes_set_string(h, "packingType", "grid_simple", nullptr);
    codes_set_long(h, "edition", 1);
    codes_set_long(h, "setBitsPerValue", bits);
}


size_t total(const std::vector<Bytes> &v)
{
    size_t n = 0;
    for (const Bytes &b : v) n += b.size();
    return n;
}

Bytes concat(const std::vector<Bytes> &v)
{
    Bytes all;
    for (const Bytes &b : v) all.insert(all.end(), b.begin(), b.end());
    return all;
}

// Best of three wall times of fn.
template <class F> double best(F fn)
{
    double t = 1e30;
    for (int i = 0; i < 3; ++i) {
        const auto t0 = Clock::now();
        fn();
        t = std::min(t, since(t0));
    }
    return t;
}

void line(const char *what, size_t in, size_t out, double seconds, size_t base, double baseSeconds)
{
    printf("  %-44s %6.3f %8.1f MB/s  size %5.2f x, speed %5.2f x of the first line\n", what,
           (double)out / (double)in, (double)in / seconds / 1e6, (double)out / (double)base,
           baseSeconds / seconds);
}

// Every record through recPackRecord with `options`: the packed octets.
size_t packAll(const std::vector<Bytes> &recs, int options, std::vector<Bytes> *keep)
{
    size_t n = 0;
    for (const Bytes &r : recs) {
        Bytes out(r.size() + 240);
        const int len = recPackRecord(r.data(), r.size(), out.data(), out.size(), options, nullptr);
        n += (size_t)len;
        if (keep) keep->emplace_back(out.begin(), out.begin() + len);
    }
    return n;
}

size_t unpackAll(const std::vector<Bytes> &packed, int options, size_t room)
{
    size_t n = 0;
    Bytes out(room);
    for (const Bytes &p : packed) n += (size_t)recUnpackRecord(p.data(), p.size(), out.data(), out.size(), options, nullptr);
    return n;
}

size_t zstdAll(const Bytes &all, int level)
{
    Bytes out(ZSTD_compressBound(all.size()));
    return ZSTD_compress(out.data(), out.size(), all.data(), all.size(), level);
}

size_t xzAll(const Bytes &all)
{
    const std::string in = "/tmp/bench_recform.in", out = "/tmp/bench_recform.xz";
    FILE *f = fopen(in.c_str(), "wb");
    fwrite(all.data(), 1, all.size(), f);
    fclose(f);
    if (system(("xz -6 -c " + in + " > " + out).c_str()) != 0) return 0;
    FILE *g = fopen(out.c_str(), "rb");
    fseek(g, 0, SEEK_END);
    const size_t n = (size_t)ftell(g);
    fclose(g);
    remove(in.c_str());
    remove(out.c_str());
    return n;
}

// libaec alone on each record's integers (read back through ecCodes'
// packed-value keys would re-encode; here the simple-packed data octets of
// the data section are coded as samples at their width), the best single
// block size for the whole collection.
// The packed form's header beyond the 11 octets of a plain data section:
// lengths, coder, the two checks and the tail, 41 octets a record.
constexpr size_t kFormOverhead = 41;

size_t aecAll(const std::vector<Bytes> &recs, int blockSize, bool asForm = false)
{
    size_t n = 0;
    for (const Bytes &r : recs) {
        unsigned char *pds, *gds, *bms, *bds;
        long len = 0;
        if (r[7] != 1 || grib1Sections(const_cast<unsigned char *>(r.data()), (long)r.size(), &pds, &gds, &bms, &bds,
                                       &len) != 0 || (bds[3] & 0x50) || bds[10] == 0) {
            n += asForm ? gribPaddedLength(r.size()) : r.size();
            continue;
        }
        const unsigned bits = bds[10];
        const size_t X = (bds[3] & 0x80) ? ((bds[3] & 0x40) ? 7 + 4 * (size_t)(bds[15] + 1) * (bds[15] + 2) : 4) : 0;
        const unsigned char *data = bds + 11 + X;
        const size_t D = (size_t)len - (size_t)(bds - r.data()) - 4 - 11 - X, k = D * 8 / bits;
        const size_t s = (bits + 7) / 8;
        Bytes samples(k * s), out(k * s * 2 + 1024);
        uint64_t acc = 0;
        unsigned have = 0;
        const unsigned char *p = data;
        for (size_t i = 0; i < k; ++i) {
            while (have < bits) acc = acc << 8 | *p++, have += 8;
            const uint32_t v = (uint32_t)(acc >> (have - bits)) & (uint32_t)((1ull << bits) - 1);
            have -= bits;
            for (size_t b = 0; b < s; ++b) samples[i * s + b] = (unsigned char)(v >> (8 * (s - 1 - b)));
        }
        aec_stream a{};
        a.bits_per_sample = bits;
        a.block_size = (unsigned)blockSize;
        a.rsi = 128;
        a.flags = AEC_DATA_MSB | AEC_DATA_PREPROCESS | (s == 3 ? AEC_DATA_3BYTE : 0);
        a.next_in = samples.data();
        a.avail_in = samples.size();
        a.next_out = out.data();
        a.avail_out = out.size();
        const size_t coded = aec_buffer_encode(&a) == AEC_OK ? a.total_out : D;
        const size_t plain = (size_t)(bds - r.data()) + 11 + X + 4 + coded;
        // In the packed form the record carries its header and is padded as
        // recpack pads every record it writes.
        // recpack copies a record that coding does not make smaller.
        n += asForm ? std::min(gribPaddedLength(plain + kFormOverhead), gribPaddedLength(r.size())) : plain;
    }
    return n;
}

// ecCodes' conversion of every message to CCSDS packing: the new octets.
// With asRecpack, each message as recpack would keep it: converted only
// when 5 % smaller, and padded to gribPaddedLength as recpack writes every
// record.
size_t eccodesCcsds(const std::vector<Bytes> &msgs, bool asRecpack = false)
{
    size_t n = 0;
    for (const Bytes &m : msgs) {
        codes_handle *h = codes_handle_new_from_message_copy(nullptr, m.data(), m.size());
        codes_set_string(h, "packingType", "grid_ccsds", nullptr);
        const void *out = nullptr;
        size_t len = 0;
        codes_get_message(h, &out, &len);
        if (asRecpack) len = gribPaddedLength((double)len <= 0.95 * (double)m.size() ? len : m.size());
        n += len;
        codes_handle_delete(h);
    }
    return n;
}

// The two programs on the same file, as a user runs them: grib_set's
// conversion to CCSDS packing and recpack --grib2 with one worker; the
// best of three wall times of each.
void programs(const Bytes &file)
{
    const std::string in = "/tmp/bench_recform.grib2", out = "/tmp/bench_recform.out";
    FILE *f = fopen(in.c_str(), "wb");
    if (!f) return;
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
    const std::string recpack = std::string(VALMORA_BUILD_DIR) + "/recpack";
    bool ok = true;
    // recpack refuses to overwrite a file: the output goes before each run.
    const double tSet = best([&] {
        remove(out.c_str());
        ok = ok && system(("grib_set -r -s packingType=grid_ccsds " + in + " " + out).c_str()) == 0;
    });
    const double tOurs = best([&] {
        remove(out.c_str());
        ok = ok && system((recpack + " -P 1 --grib2 " + in + " " + out + " >/dev/null 2>&1").c_str()) == 0;
    });
    remove(in.c_str());
    remove(out.c_str());
    if (!ok) printf("  the programs on the file: grib_set or recpack failed\n");
    if (ok)
        printf("  the programs on the file: grib_set -r -s packingType=grid_ccsds %.3f s, recpack -P 1 --grib2 %.3f s: "
               "%.2f x\n",
               tSet, tOurs, tSet / tOurs);
}

// ECMWF's 25 real fields of ecmwf_tigge.grb as GRIB1, repacked at each
// width: the speed of the packed form against code 128 (which codes 8, 16,
// 24 and 32 bits only), and the restore.
void byWidth(const std::string &dir)
{
    printf("GRIB1 by width: the 25 real ECMWF fields of ecmwf_tigge.grb, repacked at N bits\n");
    printf("  %4s %8s %14s %8s %14s %10s %16s\n", "bits", "MB", "--compat", "", "packed form", "vs compat",
           "recunpack");
    for (long bits : {1, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 24, 28, 32}) {
        const std::vector<Bytes> recs = messages(dir + "/ecmwf_tigge.grb", toGrib1Bits, bits);
        if (recs.empty()) continue;
        const size_t in = total(recs);
        size_t largest = 0;
        for (const Bytes &b : recs) largest = std::max(largest, b.size());
        size_t compat = 0, form = 0, back = 0;
        std::vector<Bytes> packed;
        const double tCompat = best([&] { compat = packAll(recs, VALMORA_PACK_COMPAT, nullptr); });
        const double tForm = best([&] { form = packAll(recs, 0, nullptr); });
        packAll(recs, 0, &packed);
        const double tBack = best([&] { back = unpackAll(packed, 0, largest + 240); });
        printf("  %4ld %8.1f %5.3f %6.0f MB/s %5.3f %6.0f MB/s %8.2f x %10.0f MB/s\n", bits, (double)in / 1e6,
               (double)compat / (double)in, (double)in / tCompat / 1e6, (double)form / (double)in,
               (double)in / tForm / 1e6, tCompat / tForm, (double)back / tBack / 1e6);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const std::string dir = argc > 1 ? argv[1] : "/usr/share/doc/python-grib-doc/examples";
    // The GRIB1 collection file by file: each real file, and each repack.
    std::vector<std::pair<std::string, std::vector<Bytes>>> files;
    for (const char *f : {"CMC_reg_WIND_ISBL_300_ps60km_2010052400_P012.grib", "cl00010000_ecoclimap_rot.grib1",
                          "rotated_ll.grib1", "spherical_pressure_level.grib1", "regular_latlon_surface.grib1"})
        files.emplace_back(f, messages(dir + "/" + f, nullptr, 0));
    for (long bits : {5, 8, 12, 20, 24})
        files.emplace_back("rotated_ll.grib1 at " + std::to_string(bits) + " bits",
                           messages(dir + "/rotated_ll.grib1", setBits, bits));
    std::vector<Bytes> g1;
    for (const auto &f : files)
        for (const Bytes &b : f.second) g1.push_back(b);
    std::vector<std::pair<std::string, std::vector<Bytes>>> files2;
    std::vector<Bytes> g2;
    for (const char *f : {"gfs.t12z.pgrbf120.2p5deg.grib2", "safrica.grib2", "reduced_latlon_surface.grib2",
                          "regular_latlon_surface.grib2"}) {
        files2.emplace_back(f, std::vector<Bytes>{});
        for (Bytes &b : messages(dir + "/" + f, toSimple, 0))
            if (b.size() > 16 && b[7] == 2) files2.back().second.push_back(std::move(b));
        for (const Bytes &b : files2.back().second) g2.push_back(b);
    }
    if (g1.empty() || g2.empty()) {
        printf("bench_recform: the real GRIB files of %s are missing (Debian's python-grib-doc)\n", dir.c_str());
        return 0;
    }

    const size_t in1 = total(g1), in2 = total(g2);
    const Bytes all1 = concat(g1), all2 = concat(g2);
    size_t largest = 0;
    for (const Bytes &b : g1) largest = std::max(largest, b.size());
    for (const Bytes &b : g2) largest = std::max(largest, 2 * b.size());

    printf("GRIB1: %zu real records, %.1f MB (ratio of the input, speed of one thread)\n", g1.size(), in1 / 1e6);
    size_t compat = 0, form = 0, z3 = 0, z19 = 0, xz = 0, aec = SIZE_MAX, back = 0;
    std::vector<Bytes> packed;
    const double tCompat = best([&] { compat = packAll(g1, VALMORA_PACK_COMPAT, nullptr); });
    const double tForm = best([&] { form = packAll(g1, 0, nullptr); });
    packAll(g1, 0, &packed);
    const double tBack = best([&] { back = unpackAll(packed, 0, largest + 240); });
    int aecBlock = 0;
    for (int b : {8, 16, 32, 64}) {
        const size_t n = aecAll(g1, b);
        if (n < aec) aec = n, aecBlock = b;
    }
    const double tAec = best([&] { aecAll(g1, aecBlock); });
    const double tZ3 = best([&] { z3 = zstdAll(all1, 3); });
    const double tZ19 = since(Clock::now()) + [&] {
        const auto t0 = Clock::now();
        z19 = zstdAll(all1, 19);
        return since(t0);
    }();
    const auto tx0 = Clock::now();
    xz = xzAll(all1);
    const double tXz = since(tx0);
    line("recpack --compat (code 128)", in1, compat, tCompat, compat, tCompat);
    line("recpack (packed form, coder per record)", in1, form, tForm, compat, tCompat);
    char aecName[64];
    snprintf(aecName, sizeof aecName, "libaec alone, block size %d", aecBlock);
    line(aecName, in1, aec, tAec, compat, tCompat);
    line("zstd -3 of the whole file", in1, z3, tZ3, compat, tCompat);
    line("zstd -19 of the whole file", in1, z19, tZ19, compat, tCompat);
    line("xz -6 of the whole file (the program)", in1, xz, tXz, compat, tCompat);
    printf("  recunpack of the packed form: %.1f MB/s of restored output (%zu octets)\n", (double)back / tBack / 1e6,
           back);
    // No file larger than CCSDS with the best single block size for it.
    printf("  file by file: packed form; CCSDS with the file's best single block size in the packed form, and\n"
           "  as bare streams in plain records (no header, no padding)\n");
    for (const auto &f : files) {
        if (f.second.empty()) continue;
        const size_t in = total(f.second), ours = packAll(f.second, 0, nullptr);
        size_t form1 = SIZE_MAX, bare = SIZE_MAX;
        for (int b : {8, 16, 32, 64}) {
            form1 = std::min(form1, aecAll(f.second, b, true));
            bare = std::min(bare, aecAll(f.second, b));
        }
        printf("    %-40s %6.3f %6.3f %6.3f  %s (%zd octets)\n", f.first.c_str(), (double)ours / (double)in,
               (double)form1 / (double)in, (double)bare / (double)in, ours <= form1 ? "not larger" : "LARGER",
               (ssize_t)ours - (ssize_t)form1);
    }

    byWidth(dir);

    printf("GRIB2: %zu real fields in simple packing, %.1f MB\n", g2.size(), in2 / 1e6);
    size_t ours = 0, ec = 0, z3b = 0, back2 = 0;
    std::vector<Bytes> conv;
    const double tEc = best([&] { ec = eccodesCcsds(g2); });
    const double tOurs = best([&] { ours = packAll(g2, VALMORA_PACK_GRIB2, nullptr); });
    packAll(g2, VALMORA_PACK_GRIB2, &conv);
    const double tBack2 = best([&] { back2 = unpackAll(conv, VALMORA_PACK_GRIB2, largest + 240); });
    const double tZ3b = best([&] { z3b = zstdAll(all2, 3); });
    line("ecCodes packingType=grid_ccsds", in2, ec, tEc, ec, tEc);
    line("recpack --grib2 (template 5.42)", in2, ours, tOurs, ec, tEc);
    line("zstd -3 of the whole file", in2, z3b, tZ3b, ec, tEc);
    printf("  recunpack --grib2: %.1f MB/s of restored output (%zu octets)\n", (double)back2 / tBack2 / 1e6, back2);
    programs(all2);
    printf("  file by file: recpack --grib2; ecCodes' conversion kept as recpack keeps a field (5 %% smaller,\n"
           "  padded as recpack pads); ecCodes' conversion as it stands\n");
    for (const auto &f : files2) {
        if (f.second.empty()) continue;
        const size_t in = total(f.second), mine = packAll(f.second, VALMORA_PACK_GRIB2, nullptr),
                     kept = eccodesCcsds(f.second, true), theirs = eccodesCcsds(f.second);
        printf("    %-40s %6.3f %6.3f %6.3f  %s (%zd octets)\n", f.first.c_str(), (double)mine / (double)in,
               (double)kept / (double)in, (double)theirs / (double)in, mine <= kept ? "not larger" : "LARGER",
               (ssize_t)mine - (ssize_t)kept);
    }
    return 0;
}
#endif
