// Helpers of the listing, check and repair tests: running a call in a child
// process with its output captured (the listings' header flags are
// process-wide, so every case starts from a fresh process), and builders for
// the sections those tests need.
#ifndef VALMORA_LISTINGS_UTIL_H
#define VALMORA_LISTINGS_UTIL_H

#include "testutil.h"

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>

namespace listings {

using testutil::Bytes;

using Output = testutil::ChildOutput;
using testutil::format;

// Runs fn in a forked child. The parent never calls a listing itself, so each
// child starts with every header flag clear.
inline Output inChild(const std::function<void()> &fn)
{
    return testutil::runChild([&] {
        fn();
        return 0;
    });
}

// Octet n (from 1) of a section.
inline void set(Bytes &sec, size_t n, unsigned v) { sec[n - 1] = (unsigned char)v; }
inline void set2(Bytes &sec, size_t n, unsigned v)
{
    sec[n - 1] = (unsigned char)(v >> 8);
    sec[n] = (unsigned char)v;
}
inline void set3(Bytes &sec, size_t n, unsigned v) { testutil::put3(sec, n - 1, v); }
inline void set4(Bytes &sec, size_t n, uint32_t v)
{
    set2(sec, n, v >> 16);
    set2(sec, n + 2, v & 0xFFFF);
}
// Sign and magnitude over `octets` octets.
inline void setSigned(Bytes &sec, size_t n, int v, int octets)
{
    unsigned mag = (unsigned)(v < 0 ? -v : v);
    unsigned top = 1u << (8 * octets - 1);
    unsigned w = mag | (v < 0 ? top : 0);
    for (int i = octets - 1; i >= 0; --i, w >>= 8) sec[n - 1 + (size_t)i] = (unsigned char)w;
}

// A 28-octet edition 1 PDS: table 128, centre 98, parameter `code`, level
// type and the two level octets.
inline Bytes pds(int code = 130, int ltype = 100, int l1 = 1, int l2 = 244)
{
    Bytes p(28, 0);
    set(p, 4, 128);
    set(p, 5, 98);
    set(p, 6, 127);
    set(p, 7, 255);
    set(p, 9, (unsigned)code);
    set(p, 10, (unsigned)ltype);
    set(p, 11, (unsigned)l1);
    set(p, 12, (unsigned)l2);
    set(p, 13, 24);
    set(p, 14, 5);
    set(p, 15, 17);
    set(p, 16, 12);
    set(p, 17, 30);
    set(p, 18, 1);
    set(p, 25, 21);
    return p;
}

// A 32-octet latitude/longitude GDS.
inline Bytes latlonGds(int nx, int ny)
{
    Bytes g(32, 0);
    set(g, 5, 255);
    set(g, 6, 0);
    set2(g, 7, (unsigned)nx);
    set2(g, 9, (unsigned)ny);
    setSigned(g, 11, 90000, 3);
    setSigned(g, 14, 0, 3);
    setSigned(g, 18, -90000, 3);
    setSigned(g, 21, 359000, 3);
    set2(g, 24, 1000);
    set2(g, 26, 1000);
    return g;
}

// A BDS of `octets` data octets after an 11-octet header, with the bits per
// value and unused-bit count given.
inline Bytes rawBds(const Bytes &data, int bits, int unused = 0)
{
    Bytes b(11, 0);
    b.insert(b.end(), data.begin(), data.end());
    set(b, 4, (unsigned)unused);
    set(b, 11, (unsigned)bits);
    return b;
}

// GRIB2 sections: a section of `len` octets with its number.
inline Bytes section2(unsigned number, size_t len)
{
    Bytes s(len, 0);
    set4(s, 1, (uint32_t)len);
    set(s, 5, number);
    return s;
}

// An edition 2 record: identification, optional local use, a lat/lon grid
// (template `gtype`), product template 4.0 with the parameter, surface type
// and scaled value given, simple packing, no bitmap, and `ndata` data octets.
struct Grib2Spec {
    int discipline = 0, category = 2, number = 3;
    int surface = 100;
    int32_t scaled = 50000;
    int gtype = 0;
    size_t lus = 0; // local use section length, 0 for none
    size_t ndata = 8;
};

inline Bytes grib2(const Grib2Spec &s)
{
    Bytes rec = {'G', 'R', 'I', 'B', 0, 0, (unsigned char)s.discipline, 2};
    rec.resize(16, 0);
    Bytes ids = section2(1, 21);
    Bytes gds = section2(3, 72);
    set2(gds, 13, (unsigned)s.gtype);
    Bytes pdsec = section2(4, 34);
    set(pdsec, 10, (unsigned)s.category);
    set(pdsec, 11, (unsigned)s.number);
    set(pdsec, 23, (unsigned)s.surface);
    set4(pdsec, 25, (uint32_t)s.scaled);
    Bytes drs = section2(5, 21);
    Bytes bms = section2(6, 6);
    set(bms, 6, 255);
    Bytes bds = section2(7, 5 + s.ndata);
    std::vector<Bytes> secs = {ids};
    if (s.lus) secs.push_back(section2(2, s.lus));
    for (const Bytes &x : {gds, pdsec, drs, bms, bds}) secs.push_back(x);
    for (const Bytes &x : secs) rec.insert(rec.end(), x.begin(), x.end());
    rec.insert(rec.end(), {'7', '7', '7', '7'});
    uint64_t total = rec.size();
    for (int i = 0; i < 8; ++i) rec[8 + (size_t)i] = (unsigned char)(total >> (56 - 8 * i));
    return rec;
}

// Offset of the BDS of an edition 1 record built by testutil::grib1.
inline size_t bdsOffset(const Bytes &rec)
{
    size_t off = 8 + testutil::get3(rec, 8);
    unsigned flag = rec[8 + 7];
    if (flag & 0x80) off += testutil::get3(rec, off);
    if (flag & 0x40) off += testutil::get3(rec, off);
    return off;
}

} // namespace listings

#endif

extern "C" {
#include <szlib.h>
}

namespace listings {

// The szip form of a grid-point record, made by hand from the layout of a
// compressed data section: the 11 header octets kept, flag bit 16, octets
// 12-13 zero, code 128 at 14, the former record length at 15-17, the packed
// and the compressed data lengths at 18-20 and 21-23, the compressed data
// from 24 and a zero octet when the length would be odd. `code` replaces
// the compression code when given.
struct SzipRecord {
    Bytes rec;
    unsigned before = 0;  // record length before compression
    unsigned packed = 0;  // packed data octets
    unsigned zipped = 0;  // compressed data octets
};

inline SzipRecord szipForm(const Bytes &plain, int code = 128)
{
    SzipRecord r;
    size_t off = bdsOffset(plain);
    const unsigned char *bds = plain.data() + off;
    unsigned L = testutil::get3(plain, off), U = bds[3] & 15, bits = bds[10];
    size_t nbits = (L - 11) * 8 - U;
    nbits -= nbits % bits;
    r.packed = (unsigned)(nbits / 8);
    r.before = testutil::get3(plain, 4);

    SZ_com_t p;
    p.options_mask = 176;
    p.bits_per_pixel = (int)bits;
    p.pixels_per_block = 8;
    p.pixels_per_scanline = 1024;
    Bytes zipped(r.packed + 1024);
    size_t zlen = zipped.size();
    if (SZ_BufftoBuffCompress(zipped.data(), &zlen, bds + 11, r.packed, &p) != 0) return r;
    r.zipped = (unsigned)zlen;

    Bytes nbds(bds, bds + 11);
    nbds.resize(23, 0);
    nbds[3] = (unsigned char)((bds[3] & 0xE0) | 0x10);
    nbds[13] = (unsigned char)code;
    testutil::put3(nbds, 14, r.before);
    testutil::put3(nbds, 17, r.packed);
    testutil::put3(nbds, 20, r.zipped);
    nbds.insert(nbds.end(), zipped.begin(), zipped.begin() + (long)zlen);
    if (nbds.size() % 2) {
        nbds[3] |= 8;
        nbds.push_back(0);
    }
    testutil::put3(nbds, 0, (unsigned)nbds.size());

    r.rec.assign(plain.begin(), plain.begin() + (long)off);
    r.rec.insert(r.rec.end(), nbds.begin(), nbds.end());
    r.rec.insert(r.rec.end(), {'7', '7', '7', '7'});
    testutil::put3(r.rec, 4, (unsigned)r.rec.size());
    return r;
}

// 10,000 16-bit values that compress well.
inline Bytes smooth16()
{
    std::vector<uint32_t> v(10000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (uint32_t)(1000 + i % 500);
    return testutil::simpleBds(v, 16);
}

} // namespace listings
