// Octets of every section as the encoder writes them: one row per case,
// the expected values worked out from the GRIB edition 1 layout.
#include "encode_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace encodeutil;

namespace {

enum Sec { REC, PDS, GDS, BMS, BDS };

struct Octet {
    Sec sec;
    int octet;   // from 1 within the section
    int width;   // octets, big-endian
    long value;
};

struct Case {
    const char *what;
    std::function<void(Fields<double> &)> setup;
    std::vector<Octet> octets;
};

void noGds(Fields<double> &f) { f.isec1[4] = 0; }

void spectral(Fields<double> &f, int t, bool complex, int js)
{
    f.isec2[0] = 50;
    f.isec2[1] = f.isec2[2] = f.isec2[3] = t;
    f.isec2[4] = 1;
    f.isec2[5] = complex ? 2 : 1;
    std::vector<double> v((size_t)(t + 1) * (t + 2));
    for (size_t i = 0; i < v.size(); ++i) v[i] = std::sin(0.37 * (double)i) / (double)(1 + i / 2);
    f.values(v);
    f.isec4[1] = 16;
    f.isec4[3] = complex ? 64 : 0;
    f.isec4[17] = js;
}

void extension(Fields<double> &f, int centre, int def)
{
    f.isec1[1] = centre;
    f.isec1[23] = 1;
    f.isec1[36] = def;
    for (int i = 24; i < 36; ++i) f.isec1[i] = i;
    for (int i = 37; i <= 56; ++i) f.isec1[i] = 100 + i;
}

void bitmap(Fields<double> &f, int n)
{
    f.isec1[4] = 192;
    f.fsec3[1] = -999;
    f.values(std::vector<double>((size_t)n, 4.0));
}

const int kRows[4] = {4, 8, 8, 4};

void quasiRegular(Fields<double> &f)
{
    f.isec2[0] = 4;
    f.isec2[2] = 4;
    f.isec2[16] = 1;
    for (int j = 0; j < 4; ++j) f.isec2[22 + j] = kRows[j];
    f.values(std::vector<double>(24, 1.5));
}

const Case kCases[] = {
    {"PDS defaults", noGds,
     {{PDS, 1, 3, 28}, {PDS, 4, 1, 128}, {PDS, 5, 1, 98}, {PDS, 6, 1, 145}, {PDS, 7, 1, 255}, {PDS, 8, 1, 0},
      {PDS, 9, 1, 130}, {PDS, 10, 1, 100}, {PDS, 11, 2, 0x01F4}, {PDS, 13, 1, 24}, {PDS, 14, 1, 5},
      {PDS, 17, 1, 30}, {PDS, 18, 1, 1}, {PDS, 25, 1, 21}, {REC, 37, 3, 16}}},
    {"layer with two one-octet values", [](Fields<double> &f) { f.isec1[6] = 112, f.isec1[7] = 10, f.isec1[8] = 20; },
     {{PDS, 11, 1, 10}, {PDS, 12, 1, 20}}},
    {"year 5, century -20", [](Fields<double> &f) { f.isec1[9] = 5, f.isec1[20] = -20; },
     {{PDS, 13, 1, 133}, {PDS, 25, 1, 20}}},
    {"missing year", [](Fields<double> &f) { f.isec1[9] = 255, f.isec1[20] = -20; }, {{PDS, 13, 1, 255}}},
    {"averages and decimal scale -2",
     [](Fields<double> &f) { f.isec1[18] = 300, f.isec1[19] = 7, f.isec1[22] = -2; },
     {{PDS, 22, 2, 300}, {PDS, 24, 1, 7}, {PDS, 27, 2, 0x8002}}},
    {"decimal scale +2", [](Fields<double> &f) { f.isec1[22] = 2; }, {{PDS, 27, 2, 0x0002}}},
    {"time range 0", [](Fields<double> &f) { f.isec1[15] = 6, f.isec1[16] = 9, f.isec1[17] = 0; },
     {{PDS, 19, 1, 6}, {PDS, 20, 1, 0}, {PDS, 21, 1, 0}}},
    {"time range 1", [](Fields<double> &f) { f.isec1[15] = 6, f.isec1[16] = 9, f.isec1[17] = 1; },
     {{PDS, 19, 1, 0}, {PDS, 20, 1, 0}, {PDS, 21, 1, 1}}},
    {"time range 4", [](Fields<double> &f) { f.isec1[15] = 6, f.isec1[16] = 9, f.isec1[17] = 4; },
     {{PDS, 19, 1, 6}, {PDS, 20, 1, 9}}},
    {"time range 10", [](Fields<double> &f) { f.isec1[15] = 6, f.isec1[16] = 9, f.isec1[17] = 10; },
     {{PDS, 19, 1, 6}, {PDS, 20, 1, 9}}},
    {"time range 113", [](Fields<double> &f) { f.isec1[15] = 6, f.isec1[16] = 9, f.isec1[17] = 113; },
     {{PDS, 19, 1, 6}, {PDS, 20, 1, 0}}},
    {"centre 78, definition 1: no extension", [](Fields<double> &f) { extension(f, 78, 1); }, {{PDS, 1, 3, 28}}},
    {"extension flag off", [](Fields<double> &f) { extension(f, 98, 1), f.isec1[23] = 0; }, {{PDS, 1, 3, 28}}},
    {"centre 7: no extension", [](Fields<double> &f) { extension(f, 7, 1); }, {{PDS, 1, 3, 28}}},
    {"centre 98, definition 1",
     [](Fields<double> &f) {
         extension(f, 98, 1);
         f.isec1[39] = 1025;
         memcpy(&f.isec1[40], "0001", 4);
     },
     {{PDS, 1, 3, 52}, {PDS, 29, 1, 24}, {PDS, 40, 1, 35}, {PDS, 41, 1, 1}, {PDS, 42, 1, 137}, {PDS, 43, 1, 138},
      {PDS, 44, 2, 1025}, {PDS, 46, 4, 0x30303031}, {PDS, 50, 1, 141}, {PDS, 51, 1, 142}, {PDS, 52, 1, 0},
      {REC, 61, 3, 32}}},
    {"centre 252, definition 1", [](Fields<double> &f) { extension(f, 252, 1); },
     {{PDS, 1, 3, 46}, {PDS, 41, 1, 1}, {PDS, 42, 1, 137}, {PDS, 43, 2, 138}, {PDS, 45, 2, 139}, {REC, 55, 3, 32}}},
    {"centre 78, definition 254",
     [](Fields<double> &f) { extension(f, 78, 254), f.isec1[48] = 12345, f.isec1[49] = 1; },
     {{PDS, 1, 3, 54}, {PDS, 41, 1, 254}, {PDS, 42, 1, 137}, {PDS, 52, 1, 147}, {PDS, 53, 2, 0x8000 | 12345}}},
    {"centre 250, definition 253",
     [](Fields<double> &f) { extension(f, 250, 253), f.isec1[48] = 7, f.isec1[49] = 0, f.isec1[51] = 0x1234; },
     {{PDS, 1, 3, 66}, {PDS, 53, 2, 7}, {PDS, 55, 1, 150}, {PDS, 56, 2, 0x1234}, {PDS, 58, 2, 152},
      {PDS, 60, 2, 153}, {PDS, 62, 2, 154}, {PDS, 64, 1, 155}, {PDS, 65, 1, 156}, {PDS, 66, 1, 0}}},
    {"lat/lon grid",
     [](Fields<double> &f) { f.isec2[3] = -90000, f.isec2[4] = -180000, f.isec2[10] = 64; },
     {{GDS, 1, 3, 32}, {GDS, 4, 1, 0}, {GDS, 5, 1, 255}, {GDS, 6, 1, 0}, {GDS, 7, 2, 2}, {GDS, 9, 2, 2},
      {GDS, 11, 3, 0x815F90}, {GDS, 14, 3, 0x800000 + 180000}, {GDS, 17, 1, 128}, {GDS, 18, 3, 9000},
      {GDS, 21, 3, 1000}, {GDS, 24, 2, 1000}, {GDS, 26, 2, 1000}, {GDS, 28, 1, 64}, {GDS, 29, 4, 0}}},
    {"lat/lon without increments", [](Fields<double> &f) { f.isec2[5] = 0; },
     {{GDS, 24, 2, 65535}, {GDS, 26, 2, 65535}}},
    {"Gaussian without increments", [](Fields<double> &f) { f.isec2[0] = 4, f.isec2[5] = 0, f.isec2[9] = 48; },
     {{GDS, 24, 2, 65535}, {GDS, 26, 2, 48}}},
    {"quasi-regular Gaussian", quasiRegular,
     {{GDS, 1, 3, 40}, {GDS, 5, 1, 33}, {GDS, 7, 2, 65535}, {GDS, 33, 2, 4}, {GDS, 35, 2, 8}, {GDS, 39, 2, 4}}},
    {"quasi-regular Gaussian with two coordinates",
     [](Fields<double> &f) { quasiRegular(f), f.isec2[11] = 2, f.fsec2[10] = 1.0, f.fsec2[11] = -0.1; },
     {{GDS, 1, 3, 48}, {GDS, 4, 1, 2}, {GDS, 5, 1, 33}, {GDS, 33, 4, 0x41100000}, {GDS, 37, 1, 192},
      {GDS, 38, 3, 1677722}, {GDS, 41, 2, 4}, {GDS, 47, 2, 4}}},
    {"vertical coordinates alone", [](Fields<double> &f) { f.isec2[11] = 1, f.fsec2[10] = 3.0; },
     {{GDS, 1, 3, 36}, {GDS, 5, 1, 33}, {GDS, 33, 4, 0x41300000}}},
    {"negative counts describe nothing", [](Fields<double> &f) { quasiRegular(f), f.isec2[11] = -1, f.isec2[2] = -4; },
     {{GDS, 1, 3, 32}, {GDS, 4, 1, 0}, {GDS, 5, 1, 33}, {BDS, 11, 1, 8}}},
    {"rotated grid",
     [](Fields<double> &f) { f.isec2[0] = 10, f.isec2[12] = -40000, f.isec2[13] = 10000, f.fsec2[0] = 1.0; },
     {{GDS, 1, 3, 42}, {GDS, 5, 1, 255}, {GDS, 6, 1, 10}, {GDS, 33, 3, 0x800000 + 40000}, {GDS, 36, 3, 10000},
      {GDS, 39, 4, 0x41100000}, {GDS, 43, 3, 16}}},
    {"Lambert",
     [](Fields<double> &f) {
         const int l[21] = {3, 93, 65, 12190, -133459, 8, -95000, 0, 81271, 81271, 64,
                            0, 128, 25000, 25000, 0, 0, 0, 0, -90000, 0};
         std::copy(l, l + 21, f.isec2.begin());
     },
     {{GDS, 1, 3, 42}, {GDS, 7, 2, 93}, {GDS, 9, 2, 65}, {GDS, 11, 3, 12190}, {GDS, 14, 3, 0x800000 + 133459},
      {GDS, 17, 1, 8}, {GDS, 18, 3, 0x800000 + 95000}, {GDS, 21, 3, 81271}, {GDS, 24, 3, 81271},
      {GDS, 27, 1, 128}, {GDS, 28, 1, 64}, {GDS, 29, 3, 25000}, {GDS, 32, 3, 25000},
      {GDS, 35, 3, 0x800000 + 90000}, {GDS, 38, 3, 0}, {GDS, 41, 2, 0}}},
    {"spherical harmonics", [](Fields<double> &f) { spectral(f, 1, false, 0), f.isec2[4] = 2; },
     {{GDS, 1, 3, 32}, {GDS, 6, 1, 50}, {GDS, 7, 2, 1}, {GDS, 9, 2, 1}, {GDS, 11, 2, 1}, {GDS, 13, 1, 2},
      {GDS, 14, 1, 1}, {GDS, 15, 3, 0}, {GDS, 30, 3, 0}}},
    {"triangular grid",
     [](Fields<double> &f) {
         const int t[10] = {192, 1, 1, 10, 24, 0, 90000, 0, -36000, 1};
         std::copy(t, t + 10, f.isec2.begin());
     },
     {{GDS, 1, 3, 32}, {GDS, 11, 3, 10}, {GDS, 14, 3, 24}, {GDS, 18, 3, 90000}, {GDS, 24, 3, 0x800000 + 36000},
      {GDS, 27, 1, 1}, {GDS, 28, 3, 0}}},
    {"unsupported grid type keeps its length",
     [](Fields<double> &f) { f.isec2[0] = 5, f.isec2[11] = 1, f.fsec2[10] = 1.0; },
     {{GDS, 1, 3, 36}, {GDS, 5, 1, 33}, {GDS, 6, 1, 5}, {GDS, 7, 3, 0}, {GDS, 29, 4, 0}, {GDS, 33, 4, 0x41100000},
      {BDS, 11, 1, 8}}},
    {"bit map of 10 points", [](Fields<double> &f) { bitmap(f, 10); },
     {{BMS, 1, 3, 8}, {BMS, 4, 1, 6}, {BMS, 5, 2, 0}, {BMS, 7, 2, 0xFFC0}}},
    {"bit map of 16 points", [](Fields<double> &f) { bitmap(f, 16); }, {{BMS, 1, 3, 8}, {BMS, 4, 1, 0}}},
    {"bit map of 17 points", [](Fields<double> &f) { bitmap(f, 17); },
     {{BMS, 1, 3, 9}, {BMS, 4, 1, 7}, {BMS, 9, 1, 0x80}}},
    {"bit map of no points", [](Fields<double> &f) { bitmap(f, 0); }, {{BMS, 1, 3, 6}, {BMS, 4, 1, 0}}},
    {"bit map with missing points",
     [](Fields<double> &f) {
         bitmap(f, 0);
         f.fsec3[1] = 9999;
         f.values({1, 9999, 3, NAN, 9999, 7, 8, 9, 10});
     },
     {{BMS, 7, 1, 0xA7}, {BMS, 8, 1, 0x80}, {BDS, 1, 3, 18}}},
    {"0..3 at 2 bits", [](Fields<double> &f) { f.isec4[1] = 2; },
     {{BDS, 1, 3, 12}, {BDS, 4, 1, 0}, {BDS, 5, 2, 0}, {BDS, 7, 4, 0}, {BDS, 11, 1, 2}, {BDS, 12, 1, 0x1B}}},
    {"0..3 at 8 bits", [](Fields<double> &f) { f.isec4[1] = 8; },
     {{BDS, 1, 3, 16}, {BDS, 4, 1, 8}, {BDS, 5, 2, 0x8006}, {BDS, 12, 4, 0x004080C0}, {BDS, 16, 1, 0}}},
    {"tiny minimum", [](Fields<double> &f) { f.values({-1e-40, 0.001}), f.isec4[1] = 16; },
     {{BDS, 5, 2, 0x8019}}},
    {"minimum below the IBM range", [](Fields<double> &f) { f.values({1e-90, 1}); },
     {{BDS, 5, 2, 0x8007}, {BDS, 7, 4, 0}, {BDS, 13, 1, 128}}},
    {"three values at 12 bits", [](Fields<double> &f) { f.values({0, 4095, 0x5A5}), f.isec4[1] = 12; },
     {{BDS, 1, 3, 16}, {BDS, 4, 1, 4}, {BDS, 5, 2, 0}, {BDS, 12, 3, 0x000FFF}, {BDS, 15, 2, 0x5A50}}},
    {"largest value rounds to 2^B", [](Fields<double> &f) { f.values({0, 255.7}); },
     {{BDS, 5, 2, 0}, {BDS, 12, 1, 0}, {BDS, 13, 1, 255}}},
    {"reference value below the minimum", [](Fields<double> &f) { f.values({0.1, 0.2}); },
     {{BDS, 7, 4, 0x40199999}}}, // 0.09999996; the nearest, 0x4019999A, lies above 0.1
    {"spectral simple",
     [](Fields<double> &f) { spectral(f, 2, false, 0), f.isec4[1] = 8, f.values({1000, 0, 1, 2, 3, -1, 0, 0, 0, 0, 0, 0}); },
     {{BDS, 1, 3, 26}, {BDS, 4, 1, 128}, {BDS, 7, 4, 0xC1100000}, {BDS, 12, 4, 0x433E8000}}},
    {"complex, subset 20 of T21", [](Fields<double> &f) { spectral(f, 21, true, 20); },
     {{BDS, 1, 3, 1866 + 88}, {BDS, 4, 1, 192}, {BDS, 12, 2, 68 + 1866}, {BDS, 14, 2, 0}, {BDS, 16, 1, 20},
      {BDS, 17, 1, 20}, {BDS, 18, 1, 20}}},
    {"complex, first packed octet beyond 65535", [](Fields<double> &f) { spectral(f, 127, true, 127); },
     {{BDS, 12, 2, 0}, {BDS, 1, 3, 18 + 4 * 16512}}},
    {"complex, negative power", [](Fields<double> &f) { spectral(f, 3, true, 1), f.isec4[16] = -500; },
     {{BDS, 14, 2, 0x8000 + 500}}},
    {"no GDS, spectral from isec4",
     [](Fields<double> &f) { noGds(f), f.withGds = false, f.isec4[2] = 128, f.values({7, 1, 2, 3}); },
     {{BDS, 4, 1, 128}, {BDS, 12, 4, 0x41700000}, {BDS, 7, 4, 0x41100000}}},
    {"no GDS, complex from isec4",
     [](Fields<double> &f) { noGds(f), f.withGds = false, f.isec4[2] = 128, f.isec4[3] = 64, f.values({7, 1, 2, 3}); },
     {{BDS, 4, 1, 192}, {BDS, 16, 3, 0}, {BDS, 19, 4, 0x41700000}, {BDS, 23, 4, 0x41100000}, {BDS, 7, 4, 0x41200000}}},
    {"end section and padding", [](Fields<double> &f) { bitmap(f, 17), f.isec1[4] = 64, f.fsec4[0] = 1; },
     {{REC, 1, 4, 0x47524942}, {REC, 5, 3, 77}, {REC, 8, 1, 1}, {REC, 74, 4, 0x37373737}, {REC, 78, 3, 0}}},
};

} // namespace

TEST(EncodeLayout, OctetsOfEverySection)
{
    for (const Case &c : kCases) {
        Fields<double> f;
        c.setup(f);
        testing::internal::CaptureStderr(); // the unsupported type is reported
        const Result r = encode(f);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(r.status, 0) << c.what;
        const Layout l = layout(r.rec);
        for (const Octet &o : c.octets) {
            const size_t base[] = {0, l.pds, l.gds, l.bms, l.bds};
            const size_t at = base[o.sec] + (size_t)o.octet - 1;
            ASSERT_LE(at + (size_t)o.width, r.rec.size()) << c.what;
            long v = 0;
            for (int i = 0; i < o.width; ++i) v = v << 8 | r.rec[at + (size_t)i];
            EXPECT_EQ(v, o.value) << c.what << ": section " << o.sec << " octet " << o.octet;
        }
    }
}

// Both entry points write the same record for values that floats hold exactly.
TEST(EncodeLayout, FloatTwinWritesTheSameOctets)
{
    for (const Case &c : kCases) {
        Fields<double> d;
        c.setup(d);
        Fields<float> f;
        f.isec0 = d.isec0, f.isec1 = d.isec1, f.isec2 = d.isec2, f.isec4 = d.isec4, f.withGds = d.withGds;
        f.fsec2.assign(d.fsec2.begin(), d.fsec2.end());
        f.fsec3.assign(d.fsec3.begin(), d.fsec3.end());
        f.fsec4.assign(d.fsec4.begin(), d.fsec4.end());
        bool exact = true;
        for (size_t i = 0; i < d.fsec4.size(); ++i) exact &= (double)f.fsec4[i] == d.fsec4[i] || d.fsec4[i] != d.fsec4[i];
        for (size_t i = 0; i < d.fsec2.size(); ++i) exact &= (double)f.fsec2[i] == d.fsec2[i];
        if (!exact || d.isec1[22] != 0) continue;
        testing::internal::CaptureStderr();
        const Result rd = encode(d), rf = encode(f);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(rd.rec, rf.rec) << c.what;
    }
}
