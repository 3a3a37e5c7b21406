// Octet layout of the indicator, product definition, grid description,
// bit-map and end sections, and the bounds of the caller's buffer.
#include "encode_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using namespace encodeutil;
using testutil::get3;

namespace {

// PDS octet k (1-based) of a record.
unsigned char pds(const Result &r, int k) { return r.rec[8 + k - 1]; }

Result plain(Fields<double> &f)
{
    f.isec1[4] = 0; // neither GDS nor BMS
    return encode(f);
}

} // namespace

TEST(EncodePds, LevelYearScaleAndHeader)
{
    Fields<double> f;
    Result r = plain(f);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(get3(r.rec, 8), 28u);
    EXPECT_EQ(pds(r, 4), 128);
    EXPECT_EQ(pds(r, 5), 98);
    EXPECT_EQ(pds(r, 6), 145);
    EXPECT_EQ(pds(r, 7), 255);
    EXPECT_EQ(pds(r, 8), 0);
    EXPECT_EQ(pds(r, 9), 130);
    EXPECT_EQ(pds(r, 10), 100);
    EXPECT_EQ(pds(r, 11), 0x01); // 500 hPa in two octets
    EXPECT_EQ(pds(r, 12), 0xF4);
    EXPECT_EQ(pds(r, 13), 24);
    EXPECT_EQ(pds(r, 17), 30);
    EXPECT_EQ(pds(r, 25), 21);
    // No GDS, no BMS: the BDS follows the PDS at record octet 37.
    EXPECT_EQ(layout(r.rec).bds, 36u);

    f = Fields<double>();
    f.isec1[6] = 112; // layer: two one-octet values
    f.isec1[7] = 10;
    f.isec1[8] = 20;
    f.isec1[9] = 5;
    f.isec1[20] = -20; // the sign moves into the year octet
    f.isec1[18] = 300;
    f.isec1[19] = 7;
    f.isec1[22] = -2;
    r = plain(f);
    EXPECT_EQ(pds(r, 11), 10);
    EXPECT_EQ(pds(r, 12), 20);
    EXPECT_EQ(pds(r, 13), 133);
    EXPECT_EQ(pds(r, 25), 20);
    EXPECT_EQ(pds(r, 22), 0x01);
    EXPECT_EQ(pds(r, 23), 0x2C);
    EXPECT_EQ(pds(r, 24), 7);
    EXPECT_EQ(pds(r, 27), 0x80);
    EXPECT_EQ(pds(r, 28), 0x02);

    f = Fields<double>();
    f.isec1[22] = 2;
    f.isec1[9] = 255; // missing year stays as is
    f.isec1[20] = -20;
    r = plain(f);
    EXPECT_EQ(pds(r, 27), 0x00);
    EXPECT_EQ(pds(r, 28), 0x02);
    EXPECT_EQ(pds(r, 13), 255);
}

TEST(EncodePds, TimeRangeIndicatorSelectsPeriods)
{
    struct Case {
        int tri, p1, p2;
    } cases[] = {{0, 6, 0}, {1, 0, 0}, {2, 6, 9}, {3, 6, 9}, {4, 6, 9}, {5, 6, 9},
                 {10, 6, 9}, {113, 6, 0}, {123, 0, 0}, {7, 0, 0}};
    for (const Case &c : cases) {
        Fields<double> f;
        f.isec1[15] = 6;
        f.isec1[16] = 9;
        f.isec1[17] = c.tri;
        Result r = plain(f);
        EXPECT_EQ(pds(r, 19), c.p1) << "indicator " << c.tri;
        EXPECT_EQ(pds(r, 20), c.p2) << "indicator " << c.tri;
        EXPECT_EQ(pds(r, 21), c.tri);
    }
}

TEST(EncodePds, LocalExtensions)
{
    struct Case {
        int centre, def, flag, length;
    } cases[] = {{78, 1, 1, 28},  {98, 1, 0, 28},   {98, 2, 1, 28},   {98, 1, 1, 52},  {252, 1, 1, 46},
                 {78, 254, 1, 54}, {215, 254, 1, 54}, {250, 253, 1, 66}, {252, 254, 1, 28}, {7, 1, 1, 28}};
    for (const Case &c : cases) {
        Fields<double> f;
        f.isec1[1] = c.centre;
        f.isec1[23] = c.flag;
        f.isec1[36] = c.def;
        for (int i = 24; i < 36; ++i) f.isec1[i] = i;
        Result r = encode(f);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(get3(r.rec, 8), (unsigned)c.length) << c.centre << "/" << c.def;
        EXPECT_EQ(layout(r.rec).gds, 8u + c.length);
        if (c.length > 28) {
            EXPECT_EQ(pds(r, 29), 24);
            EXPECT_EQ(pds(r, 40), 35);
            EXPECT_EQ(pds(r, 41), c.def);
        }
    }

    Fields<double> f;
    f.isec1[23] = 1;
    f.isec1[36] = 1;
    f.isec1[37] = 1;   // class
    f.isec1[38] = 11;  // type
    f.isec1[39] = 1025; // stream
    memcpy(&f.isec1[40], "0001", 4);
    f.isec1[41] = 3;
    f.isec1[42] = 50;
    Result r = encode(f);
    EXPECT_EQ(layout(r.rec).gds, 60u); // GDS at record octet 61
    EXPECT_EQ(pds(r, 42), 1);
    EXPECT_EQ(pds(r, 43), 11);
    EXPECT_EQ(pds(r, 44), 0x04);
    EXPECT_EQ(pds(r, 45), 0x01);
    EXPECT_EQ(std::string(&r.rec[8 + 45], &r.rec[8 + 49]), "0001");
    EXPECT_EQ(pds(r, 50), 3);
    EXPECT_EQ(pds(r, 51), 50);
    EXPECT_EQ(pds(r, 52), 0);

    f = Fields<double>();
    f.isec1[1] = 252;
    f.isec1[23] = 1;
    f.isec1[36] = 1;
    f.isec1[37] = 2;
    f.isec1[38] = 300;
    f.isec1[39] = 51;
    r = encode(f);
    EXPECT_EQ(pds(r, 42), 2);
    EXPECT_EQ(pds(r, 43), 0x01);
    EXPECT_EQ(pds(r, 44), 0x2C);
    EXPECT_EQ(pds(r, 45), 0);
    EXPECT_EQ(pds(r, 46), 51);

    f = Fields<double>();
    f.isec1[1] = 78;
    f.isec1[23] = 1;
    f.isec1[36] = 253;
    for (int i = 37; i <= 47; ++i) f.isec1[i] = 100 + i;
    f.isec1[48] = 12345; // experiment, 15 bits
    f.isec1[49] = 1;     // run type in the top bit
    f.isec1[50] = 9;
    f.isec1[51] = 0x1234;
    f.isec1[52] = 2;
    f.isec1[53] = 40;
    f.isec1[54] = 0x0305;
    f.isec1[55] = 4;
    f.isec1[56] = 6;
    r = encode(f);
    EXPECT_EQ(pds(r, 42), 137);
    EXPECT_EQ(pds(r, 52), 147);
    EXPECT_EQ(get2(r.rec, 8 + 52), 0x8000u | 12345u);
    EXPECT_EQ(pds(r, 55), 9);
    EXPECT_EQ(get2(r.rec, 8 + 55), 0x1234u);
    EXPECT_EQ(get2(r.rec, 8 + 57), 2u);
    EXPECT_EQ(get2(r.rec, 8 + 59), 40u);
    EXPECT_EQ(get2(r.rec, 8 + 61), 0x0305u);
    EXPECT_EQ(pds(r, 64), 4);
    EXPECT_EQ(pds(r, 65), 6);
    EXPECT_EQ(pds(r, 66), 0);
}

TEST(EncodeGds, LatLonAndGaussianIncrements)
{
    Fields<double> f;
    f.isec2[3] = -90000;
    f.isec2[4] = -180000;
    f.isec2[10] = 64;
    Result r = encode(f);
    size_t g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 32u);
    EXPECT_EQ(r.rec[g + 3], 0);
    EXPECT_EQ(r.rec[g + 4], 255);
    EXPECT_EQ(r.rec[g + 5], 0);
    EXPECT_EQ(get2(r.rec, g + 6), 2u);
    EXPECT_EQ(r.rec[g + 10], 0x81); // -90000, sign and magnitude
    EXPECT_EQ(r.rec[g + 11], 0x5F);
    EXPECT_EQ(r.rec[g + 12], 0x90);
    EXPECT_EQ(get3(r.rec, g + 13), 0x800000u + 180000u);
    EXPECT_EQ(get2(r.rec, g + 23), 1000u);
    EXPECT_EQ(get2(r.rec, g + 25), 1000u);
    EXPECT_EQ(r.rec[g + 27], 64);

    f = Fields<double>();
    f.isec2[5] = 0; // increments not given
    r = encode(f);
    g = layout(r.rec).gds;
    EXPECT_EQ(get2(r.rec, g + 23), 65535u);
    EXPECT_EQ(get2(r.rec, g + 25), 65535u);

    f = Fields<double>();
    f.isec2[0] = 4;
    f.isec2[5] = 0;
    f.isec2[9] = 48; // parallels pole to equator, always written
    r = encode(f);
    g = layout(r.rec).gds;
    EXPECT_EQ(get2(r.rec, g + 23), 65535u);
    EXPECT_EQ(get2(r.rec, g + 25), 48u);
}

TEST(EncodeGds, QuasiRegularAndVerticalCoordinates)
{
    Fields<double> f;
    f.isec2[0] = 4;
    f.isec2[1] = 0;
    f.isec2[2] = 4;
    f.isec2[16] = 1;
    const int rows[4] = {4, 8, 8, 4};
    for (int j = 0; j < 4; ++j) f.isec2[22 + j] = rows[j];
    f.fsec4.assign(24, 1.5);
    f.fsec4[3] = 2.5;
    f.isec4[0] = 24;
    Result r = encode(f);
    size_t g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 40u);
    EXPECT_EQ(r.rec[g + 4], 33);
    EXPECT_EQ(get2(r.rec, g + 6), 65535u);
    for (int j = 0; j < 4; ++j) EXPECT_EQ(get2(r.rec, g + 32 + 2 * j), (unsigned)rows[j]);

    f.fsec4.assign(24, 1.5);
    f.isec2[11] = 2;
    f.fsec2[10] = 1.0;
    f.fsec2[11] = -0.1;
    r = encode(f);
    g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 48u);
    EXPECT_EQ(r.rec[g + 3], 2);
    EXPECT_EQ(r.rec[g + 4], 33);
    EXPECT_EQ(r.rec[g + 32], 65); // 1.0 as IBM: 0x41 0x10 0x00 0x00
    EXPECT_EQ(get3(r.rec, g + 33), 1048576u);
    EXPECT_EQ(r.rec[g + 36], 192); // -0.1 rounded to nearest
    EXPECT_EQ(get3(r.rec, g + 37), 1677722u);
    for (int j = 0; j < 4; ++j) EXPECT_EQ(get2(r.rec, g + 40 + 2 * j), (unsigned)rows[j]);

    // Vertical coordinates alone point octet 5 at them too.
    f = Fields<double>();
    f.isec2[11] = 1;
    f.fsec2[10] = 3.0;
    r = encode(f);
    g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 36u);
    EXPECT_EQ(r.rec[g + 4], 33);
}

TEST(EncodeGds, RotatedLambertSpectralTriangular)
{
    Fields<double> f;
    f.isec2[0] = 10;
    f.isec2[12] = -40000;
    f.isec2[13] = 10000;
    f.fsec2[0] = 1.0;
    Result r = encode(f);
    size_t g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 42u);
    EXPECT_EQ(r.rec[g + 4], 255);
    EXPECT_EQ(get3(r.rec, g + 32), 0x800000u + 40000u);
    EXPECT_EQ(get3(r.rec, g + 35), 10000u);
    EXPECT_EQ(r.rec[g + 38], 65);
    EXPECT_EQ(layout(r.rec).bds, g + 42);

    f = Fields<double>();
    int lambert[21] = {3, 93, 65, 12190, -133459, 8, -95000, 0, 81271, 81271, 64, 0, 0, 25000, 25000, 0, 0, 0, 0, -90000, 0};
    for (int i = 0; i < 21; ++i) f.isec2[i] = lambert[i];
    f.isec2[12] = 128;
    r = encode(f);
    g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 42u);
    EXPECT_EQ(get2(r.rec, g + 6), 93u);
    EXPECT_EQ(get2(r.rec, g + 8), 65u);
    EXPECT_EQ(get3(r.rec, g + 17), 0x800000u + 95000u);
    EXPECT_EQ(get3(r.rec, g + 20), 81271u);
    EXPECT_EQ(get3(r.rec, g + 23), 81271u);
    EXPECT_EQ(r.rec[g + 26], 128);
    EXPECT_EQ(r.rec[g + 27], 64);
    EXPECT_EQ(get3(r.rec, g + 28), 25000u);
    EXPECT_EQ(get3(r.rec, g + 31), 25000u);
    EXPECT_EQ(get3(r.rec, g + 34), 0x800000u + 90000u);
    EXPECT_EQ(get2(r.rec, g + 40), 0u);

    f = Fields<double>();
    f.isec2[0] = 50;
    f.isec2[1] = f.isec2[2] = f.isec2[3] = 1;
    f.isec2[4] = 1;
    f.isec2[5] = 1;
    f.fsec4 = {1, 2, 3, 4, 5, 6};
    f.isec4[0] = 6;
    r = encode(f);
    g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 32u);
    EXPECT_EQ(r.rec[g + 5], 50);
    EXPECT_EQ(get2(r.rec, g + 10), 1u);
    EXPECT_EQ(r.rec[g + 12], 1);
    EXPECT_EQ(r.rec[g + 13], 1);
    EXPECT_EQ(f.isec4[2], 128);

    f = Fields<double>();
    int tri[10] = {192, 1, 1, 10, 24, 0, 90000, 0, -36000, 0};
    for (int i = 0; i < 10; ++i) f.isec2[i] = tri[i];
    r = encode(f);
    g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 32u);
    EXPECT_EQ(get3(r.rec, g + 10), 10u);
    EXPECT_EQ(get3(r.rec, g + 13), 24u);
    EXPECT_EQ(get3(r.rec, g + 17), 90000u);
    EXPECT_EQ(get3(r.rec, g + 23), 0x800000u + 36000u);
    EXPECT_EQ(f.isec4[2], 0);
}

TEST(EncodeGds, UnsupportedTypeKeepsSectionFraming)
{
    Fields<double> f;
    f.isec2[0] = 5;
    f.isec2[11] = 1;
    f.fsec2[10] = 1.0;
    testing::internal::CaptureStderr();
    Result r = encode(f);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Unsupported grid type 5"), std::string::npos);
    EXPECT_EQ(r.status, 0);
    const size_t g = layout(r.rec).gds;
    EXPECT_EQ(get3(r.rec, g), 36u);
    for (size_t i = 6; i < 32; ++i) EXPECT_EQ(r.rec[g + i], 0) << i;
    EXPECT_EQ(r.rec[g + 32], 65); // the coordinate where octet 5 says
    // The next section is where the GDS length says.
    EXPECT_EQ(r.rec[g + 36 + 10], 8); // BDS bits per value
}

TEST(EncodeBms, MapLengthsAndCompaction)
{
    struct Case {
        int n, mapOctets, unused;
    } cases[] = {{10, 2, 6}, {16, 2, 0}, {0, 0, 0}, {1, 1, 7}, {17, 3, 7}};
    for (const Case &c : cases) {
        Fields<double> f;
        f.isec1[4] = 192;
        f.fsec3[1] = -999;
        f.fsec4.assign((size_t)c.n + 1, 4.0);
        f.isec4[0] = c.n;
        Result r = encode(f);
        ASSERT_EQ(r.status, 0);
        const size_t b = layout(r.rec).bms;
        EXPECT_EQ(get3(r.rec, b), 6u + c.mapOctets) << c.n;
        EXPECT_EQ(r.rec[b + 3], c.unused) << c.n;
        EXPECT_EQ(get2(r.rec, b + 4), 0u);
        for (int i = 0; i < c.mapOctets; ++i) {
            const int bitsHere = c.n - 8 * i >= 8 ? 8 : c.n - 8 * i;
            EXPECT_EQ(r.rec[b + 6 + i], (0xFF00 >> bitsHere) & 0xFF) << c.n;
        }
    }

    Fields<double> f;
    f.isec1[4] = 192;
    f.fsec3[1] = 9999;
    f.fsec4 = {1, 9999, 3, NAN, 9999, 7, 8, 9, 10};
    f.isec4[0] = 9;
    Result r = encode(f);
    const Layout l = layout(r.rec);
    EXPECT_EQ(r.rec[l.bms + 6], 0xA7); // 1 0 1 0 0 1 1 1
    EXPECT_EQ(r.rec[l.bms + 7], 0x80);
    EXPECT_EQ(f.fsec4[0], 1);
    EXPECT_EQ(f.fsec4[1], 3);
    EXPECT_EQ(f.fsec4[2], 7);
    EXPECT_EQ(f.fsec4[5], 10);
    // Six values packed at 8 bits.
    EXPECT_EQ(get3(r.rec, l.bds), 18u);
}

TEST(EncodeBms, NotANumberMissingValueReportedOnce)
{
    for (int call = 0; call < 2; ++call) {
        Fields<float> f;
        f.isec1[4] = 192;
        f.fsec3[1] = NAN;
        f.fsec4 = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        f.isec4[0] = 9;
        testing::internal::CaptureStderr();
        Result r = encode(f);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("Missing value = NaN is unsupported!") != std::string::npos, call == 0) << err;
        if (call == 0) {
            EXPECT_NE(err.find("encodeBMS_float"), std::string::npos);
        }
        const Layout l = layout(r.rec);
        EXPECT_EQ(r.rec[l.bms + 6], 0);
        EXPECT_EQ(r.rec[l.bms + 7], 0);
        EXPECT_EQ(get3(r.rec, l.bds), 12u); // no packed values
    }
}

TEST(EncodeEnd, PaddingAndLengths)
{
    // 17 points, all present: 36 + 9 (BMS) + 28 (BDS) + 4 = 77 octets.
    Fields<double> f;
    f.isec1[4] = 64;
    f.fsec3[1] = -1;
    f.fsec4.assign(17, 2.0);
    f.fsec4[0] = 1.0;
    f.isec4[0] = 17;
    Result r = encode(f);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(get3(r.rec, 4), 77u);
    EXPECT_EQ(f.isec0[0], 80);
    EXPECT_EQ(f.isec0[1], 1);
    EXPECT_EQ(r.used, 20);
    EXPECT_EQ(std::string(&r.rec[73], &r.rec[77]), "7777");
    EXPECT_EQ(std::string(&r.rec[0], &r.rec[4]), "GRIB");
    EXPECT_EQ(r.rec[7], 1);
    for (int i = 77; i < 80; ++i) EXPECT_EQ(r.rec[i], 0);

    // 36 + 12 + 4 = 52 gives 56: padding to eight octets.
    f = Fields<double>();
    f.isec1[4] = 0;
    f.fsec4 = {1};
    f.isec4[0] = 1;
    r = encode(f);
    EXPECT_EQ(get3(r.rec, 4), 52u);
    EXPECT_EQ(f.isec0[0], 56);
    EXPECT_EQ(r.used, 14);
}

TEST(EncodeEnd, BufferOneWordShort)
{
    Fields<double> ample;
    const Result full = encode(ample);
    const int len = ample.isec0[0];
    ASSERT_EQ(len % 4, 0);

    // Heap buffer of exactly kleng words: a sanitizer build traps any
    // write beyond it, and every octet written must be the record's own.
    for (int kleng : {len / 4 - 1, 1, 0, -3}) {
        Fields<double> f;
        testing::internal::CaptureStderr();
        const Result r = encode(f, kleng);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("kgrib buffer too small! kleng = " + std::to_string(kleng) +
                           "  gribLen = " + std::to_string(len)),
                  std::string::npos)
            << kleng << ": " << err;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(f.isec0[0], len);
        EXPECT_EQ(r.used, len / 4);
        for (size_t i = 0; kleng > 0 && i < r.rec.size(); ++i)
            EXPECT_TRUE(r.rec[i] == full.rec[i] || r.rec[i] == 0x5a) << i;
    }
    if (len / 4 - 1 > 2) {
        Fields<double> f;
        const Result r = encode(f, len / 4 - 1);
        EXPECT_EQ(std::string(&r.rec[0], &r.rec[4]), "GRIB");
        EXPECT_EQ(get3(r.rec, 4), get3(full.rec, 4)); // the header is complete
    }
}

TEST(EncodeEnd, PlainAndLargeFormBoundary)
{
    // pos 16777211 before "7777": a BMS of 4105256 points, 4066000 present,
    // packed at 32 bits (BDS 16264012 octets).
    {
        Fields<float> f;
        f.isec1[4] = 64;
        f.fsec3[1] = -1;
        f.fsec4.assign(4105256, -1);
        for (int i = 0; i < 4066000; ++i) f.fsec4[(size_t)i] = (float)(i % 1000);
        f.isec4[0] = 4105256;
        f.isec4[1] = 32;
        const Result r = encode(f, 16777216 / 4 + 8);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(get3(r.rec, 4), 16777215u);
        EXPECT_EQ(f.isec0[0], 16777216);
        EXPECT_EQ(std::string(&r.rec[16777211], &r.rec[16777215]), "7777");
        EXPECT_EQ(get3(r.rec, layout(r.rec).bds), 16264012u);
    }
    // pos 16777212: 4194291 values at 32 bits give the large form.
    {
        Fields<float> f;
        f.isec1[4] = 0;
        f.fsec4.assign(4194291, 0);
        for (size_t i = 0; i < f.fsec4.size(); ++i) f.fsec4[i] = (float)(i % 4096);
        f.isec4[0] = 4194291;
        f.isec4[1] = 32;
        const Result r = encode(f, 16777320 / 4);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(f.isec0[0], 16777320);
        EXPECT_EQ(r.used, 16777320 / 4);
        EXPECT_EQ(r.rec[4], 0x82);
        EXPECT_EQ(r.rec[5], 0x22);
        EXPECT_EQ(r.rec[6], 0x23);
        EXPECT_EQ(get3(r.rec, 36), 108u); // padding 104 + 4
        EXPECT_EQ(std::string(&r.rec[16777212], &r.rec[16777216]), "7777");
        for (size_t i = 16777216; i < 16777320; ++i) ASSERT_EQ(r.rec[i], 0) << i;
        EXPECT_EQ(correct_bdslen(108, 16777320, 36), 16777176);
    }
}
