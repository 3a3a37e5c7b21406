// Fields of a record: GRIB2 messages of several fields built here (the grid
// and bit map in force per field, capacities, damaged and cut messages), a
// GRIB1 record read through the same functions as through the GRIB1
// decoder, and many fields decoded at once from several threads.
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using testutil::Bytes;

void put(Bytes &b, uint64_t v, int octets)
{
    for (int i = octets - 1; i >= 0; --i) b.push_back((unsigned char)(v >> (8 * i)));
}

Bytes section(int number, const Bytes &body)
{
    Bytes s;
    put(s, body.size() + 5, 4);
    s.push_back((unsigned char)number);
    s.insert(s.end(), body.begin(), body.end());
    return s;
}

// A 4 x 3 latitude/longitude grid.
Bytes grid(uint32_t ni = 4, uint32_t nj = 3)
{
    Bytes b;
    b.push_back(0);
    put(b, ni * nj, 4);
    b.push_back(0);
    b.push_back(0);
    put(b, 0, 2); // template 3.0
    b.push_back(6);
    b.insert(b.end(), 15, 0xFF); // radius and axes missing
    put(b, ni, 4);
    put(b, nj, 4);
    put(b, 0, 4);
    put(b, 0xFFFFFFFF, 4);
    put(b, 60000000, 4); // first latitude 60
    put(b, 0, 4);
    b.push_back(0x30);
    put(b, 50000000, 4);
    put(b, 3000000, 4);
    put(b, 1000000, 4);
    put(b, 5000000, 4);
    b.push_back(0);
    return section(3, b);
}

// Product template 4.0: parameter (category, number), forecast hour, surface.
Bytes product(int category, int number, uint32_t hours)
{
    Bytes b;
    put(b, 0, 2);
    put(b, 0, 2);
    b.push_back((unsigned char)category);
    b.push_back((unsigned char)number);
    b.push_back(2);
    b.push_back(0);
    b.push_back(96);
    put(b, 0, 2);
    b.push_back(0);
    b.push_back(1);
    put(b, hours, 4);
    b.push_back(103);
    b.push_back(0);
    put(b, 2, 4);
    b.push_back(255);
    b.push_back(0xFF);
    put(b, 0xFFFFFFFF, 4);
    return section(4, b);
}

// Simple packing of the codes at `bits` bits: value = (R + u x 2^E) x 10^-D.
Bytes simple(size_t count, float ref, int e, int d, int bits)
{
    Bytes b;
    put(b, count, 4);
    put(b, 0, 2);
    uint32_t r;
    memcpy(&r, &ref, 4);
    put(b, r, 4);
    put(b, e < 0 ? 0x8000u | (unsigned)-e : (unsigned)e, 2);
    put(b, d < 0 ? 0x8000u | (unsigned)-d : (unsigned)d, 2);
    b.push_back((unsigned char)bits);
    b.push_back(0);
    return section(5, b);
}

Bytes data(const std::vector<uint32_t> &codes, int bits)
{
    Bytes b;
    uint64_t acc = 0;
    int held = 0;
    for (uint32_t c : codes) {
        acc = acc << bits | c;
        held += bits;
        while (held >= 8) {
            b.push_back((unsigned char)(acc >> (held - 8)));
            held -= 8;
        }
    }
    if (held) b.push_back((unsigned char)(acc << (8 - held)));
    return section(7, b);
}

Bytes bitmap(int indicator, const std::vector<bool> &present = {})
{
    Bytes b{(unsigned char)indicator};
    for (size_t i = 0; i < present.size(); i += 8) {
        unsigned char o = 0;
        for (size_t k = 0; k < 8 && i + k < present.size(); ++k)
            if (present[i + k]) o |= (unsigned char)(0x80 >> k);
        b.push_back(o);
    }
    return section(6, b);
}

Bytes message(const std::vector<Bytes> &sections)
{
    Bytes body;
    Bytes id;
    put(id, 98, 2);
    put(id, 0, 2);
    id.push_back(28);
    id.push_back(0);
    id.push_back(1);
    put(id, 2024, 2);
    for (int v : {5, 17, 12, 0, 0, 0, 1}) id.push_back((unsigned char)v);
    body = section(1, id);
    for (const Bytes &s : sections) body.insert(body.end(), s.begin(), s.end());
    Bytes m = {'G', 'R', 'I', 'B', 0, 0, 0, 2};
    put(m, 16 + body.size() + 4, 8);
    m.insert(m.end(), body.begin(), body.end());
    for (int i = 0; i < 4; ++i) m.push_back('7');
    return m;
}

// Three fields on one grid: the second with its own bit map, the third
// with the bit map given before it (254).
Bytes threeFields()
{
    const std::vector<bool> map = {true, false, true, true, true, true, false, true, true, true, true, false};
    return message({grid(), product(0, 0, 6), simple(12, 100.0f, 0, 0, 8), bitmap(255),
                    data({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 8), product(0, 1, 12), simple(9, 0.5f, -1, 1, 5),
                    bitmap(0, map), data({1, 2, 3, 4, 5, 6, 7, 8, 31}, 5), product(2, 2, 18),
                    simple(9, 0.0f, 0, 0, 0), bitmap(254), data({}, 0)});
}

} // namespace

TEST(Field, FieldsOfAMessageWithTheirBitMapsAndSections)
{
    const Bytes m = threeFields();
    int count = -1;
    ASSERT_EQ(gribFieldCount(m.data(), m.size(), &count), VALMORA_DECODE_OK);
    EXPECT_EQ(count, 3);

    gribField f;
    std::vector<double> v(12);
    size_t n = v.size();
    ASSERT_EQ(grib_field_decode_double(m.data(), m.size(), 0, &f, v.data(), &n, -1), VALMORA_DECODE_OK);
    EXPECT_EQ(n, 12u);
    EXPECT_EQ(v[11], 111.0);
    EXPECT_EQ(f.edition, 2);
    EXPECT_EQ(f.centre, 98);
    EXPECT_EQ(f.year, 2024);
    EXPECT_EQ(f.day, 17);
    EXPECT_EQ(f.forecastTime, 6);
    EXPECT_EQ(f.typeOfFirstFixedSurface, 103);
    EXPECT_EQ(f.scaledValueOfSecondFixedSurface, VALMORA_FIELD_MISSING);
    EXPECT_EQ(f.Ni, 4);
    EXPECT_EQ(f.bitmapPresent, 0);
    EXPECT_EQ(f.recordLength, m.size());
    for (int k = 0; k < VALMORA_FIELD_SECTIONS; ++k)
        if (k != 2) {
            ASSERT_GE(f.sectionOffset[k], 0) << k;
            EXPECT_EQ(m[(size_t)f.sectionOffset[k] + (k == 8 || k == 0 ? 0 : 4)], k == 8 ? '7' : k == 0 ? 'G' : k) << k;
        }
    EXPECT_EQ(f.sectionOffset[2], -1);

    // Field 1: 5-bit codes, (0.5 + u / 2) / 10, three points missing.
    ASSERT_EQ(grib_field_decode_double(m.data(), m.size(), 1, &f, v.data(), &n, -1), VALMORA_DECODE_OK);
    EXPECT_EQ(f.numberOfMissing, 3u);
    const double want[12] = {0.1, -1, 0.15, 0.2, 0.25, 0.3, -1, 0.35, 0.4, 0.45, 1.6, -1};
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(v[(size_t)i], want[i], 1e-12) << i;

    // Field 2: the bit map before it applies; 0 bits give R everywhere.
    ASSERT_EQ(grib_field_decode_double(m.data(), m.size(), 2, &f, v.data(), &n, -1), VALMORA_DECODE_OK);
    EXPECT_EQ(f.bitMapIndicator, 254);
    EXPECT_EQ(f.parameterCategory, 2);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(v[(size_t)i], want[i] < 0 ? -1 : 0.0) << i;

    EXPECT_EQ(grib_field_decode_double(m.data(), m.size(), 3, &f, v.data(), &n, -1), VALMORA_DECODE_NO_FIELD);
    EXPECT_EQ(grib_field_decode_double(m.data(), m.size(), -1, &f, v.data(), &n, -1), VALMORA_DECODE_NO_FIELD);
}

TEST(Field, CapacityIsStatedAndNeverPassed)
{
    const Bytes m = threeFields();
    std::vector<float> v(13, 7.0f);
    size_t n = 11;
    EXPECT_EQ(grib_field_decode_float(m.data(), m.size(), 1, nullptr, v.data(), &n, 0), VALMORA_DECODE_NO_ROOM);
    EXPECT_EQ(n, 12u);
    for (float x : v) EXPECT_EQ(x, 7.0f);
    // Keys and the size alone.
    n = 0;
    gribField f;
    EXPECT_EQ(grib_field_decode_float(m.data(), m.size(), 1, &f, nullptr, &n, 0), VALMORA_DECODE_OK);
    EXPECT_EQ(n, 12u);
    EXPECT_EQ(f.numberOfValues, 9u);
    EXPECT_EQ(grib_field_decode_float(m.data(), m.size(), 1, &f, nullptr, nullptr, 0), VALMORA_DECODE_OK);
}

TEST(Field, CutDamagedAndForeignMessagesAreRefused)
{
    const Bytes m = threeFields();
    int count = 0;
    gribField f;
    // Every cut is truncated; nothing past the cut is read (ASan watches).
    for (size_t cut = 0; cut < m.size(); ++cut) {
        Bytes part(m.begin(), m.begin() + (long)cut);
        part.shrink_to_fit();
        const int st = gribFieldCount(part.data(), part.size(), &count);
        EXPECT_TRUE(st == VALMORA_DECODE_TRUNCATED || st == VALMORA_DECODE_NOT_GRIB) << cut;
        EXPECT_EQ(count, 0);
        EXPECT_NE(grib_field_decode_double(part.data(), part.size(), 0, &f, nullptr, nullptr, 0), VALMORA_DECODE_OK);
    }
    // A section length that runs past the end, and a section out of order.
    Bytes bad = m;
    bad[16 + 21 + 3] = 0xF0; // section 3's length
    EXPECT_EQ(gribFieldCount(bad.data(), bad.size(), &count), VALMORA_DECODE_DAMAGED);
    bad = m;
    bad[16 + 21 + 4] = 5;
    EXPECT_EQ(gribFieldCount(bad.data(), bad.size(), &count), VALMORA_DECODE_DAMAGED);
    // 254 with no bit map before it.
    const Bytes lone = message({grid(), product(0, 0, 0), simple(9, 0, 0, 0, 8), bitmap(254), data({}, 8)});
    std::vector<double> v(12);
    size_t n = v.size();
    EXPECT_EQ(grib_field_decode_double(lone.data(), lone.size(), 0, &f, v.data(), &n, 0), VALMORA_DECODE_DAMAGED);
    // Codes that the data section does not hold.
    const Bytes shortData =
        message({grid(), product(0, 0, 0), simple(12, 0, 0, 0, 16), bitmap(255), data({1, 2, 3}, 16)});
    n = v.size();
    EXPECT_EQ(grib_field_decode_double(shortData.data(), shortData.size(), 0, &f, v.data(), &n, 0),
              VALMORA_DECODE_DAMAGED);
    // An unknown packing: keys, then its own status.
    Bytes other = simple(12, 0, 0, 0, 8);
    other[10] = 61;
    const Bytes odd = message({grid(), product(0, 0, 0), other, bitmap(255), data({}, 8)});
    n = v.size();
    EXPECT_EQ(grib_field_decode_double(odd.data(), odd.size(), 0, &f, v.data(), &n, 0),
              VALMORA_DECODE_PACKING_UNSUPPORTED);
    EXPECT_EQ(f.dataRepresentationTemplateNumber, 61);
    const unsigned char text[] = "GRIX and more octets";
    EXPECT_EQ(gribFieldCount(text, sizeof text, &count), VALMORA_DECODE_NOT_GRIB);
}

// A GRIB1 record gives through the field functions what the GRIB1 decoder gives.
TEST(Field, Grib1RecordsThroughTheSameFunctions)
{
    const Bytes file = testutil::readFile(std::string(VALMORA_TEST_DATA) + "/sample.grb");
    ASSERT_FALSE(file.empty());
    size_t offset = 0, length = 0;
    ASSERT_EQ(gribFindRecord(file.data(), file.size(), &offset, &length), 0);
    const Bytes rec(file.begin() + (long)offset, file.begin() + (long)(offset + length));
    int count = 0;
    ASSERT_EQ(gribFieldCount(rec.data(), rec.size(), &count), VALMORA_DECODE_OK);
    EXPECT_EQ(count, 1);

    int isec0[VALMORA_ISEC0_SIZE], isec1[VALMORA_ISEC1_SIZE], isec3[VALMORA_ISEC3_SIZE], isec4[VALMORA_ISEC4_SIZE];
    double fsec3[VALMORA_FSEC3_SIZE] = {0, -5};
    size_t n4 = 0;
    ASSERT_EQ(grib_decode_double(rec.data(), rec.size(), isec0, isec1, nullptr, nullptr, nullptr, nullptr, isec3,
                                 fsec3, isec4, nullptr, &n4),
              0);
    std::vector<double> want(n4), got(n4);
    ASSERT_EQ(grib_decode_double(rec.data(), rec.size(), isec0, isec1, nullptr, nullptr, nullptr, nullptr, isec3,
                                 fsec3, isec4, want.data(), &n4),
              0);
    gribField f;
    size_t n = got.size();
    ASSERT_EQ(grib_field_decode_double(rec.data(), rec.size(), 0, &f, got.data(), &n, -5), VALMORA_DECODE_OK);
    EXPECT_EQ(got, want);
    EXPECT_EQ(f.edition, 1);
    EXPECT_EQ(f.indicatorOfParameter, isec1[5]);
    EXPECT_EQ(f.centre, isec1[1]);
    EXPECT_EQ(f.bitsPerValue, isec4[1]);
    EXPECT_EQ(f.decimalScaleFactor, isec1[22]);
    EXPECT_EQ(f.recordLength, (size_t)isec0[0]);
    EXPECT_EQ(f.numberOfDataPoints, n4);
    EXPECT_EQ(memcmp(rec.data() + f.sectionOffset[4] + f.sectionLength[4], "7777", 4), 0);
    EXPECT_EQ(grib_field_decode_double(rec.data(), rec.size(), 1, &f, got.data(), &n, 0), VALMORA_DECODE_NO_FIELD);
}

TEST(FieldThreads, ManyFieldsAtOnce)
{
    const Bytes m = threeFields();
    std::vector<std::vector<double>> want(3, std::vector<double>(12));
    for (int i = 0; i < 3; ++i) {
        size_t n = 12;
        ASSERT_EQ(grib_field_decode_double(m.data(), m.size(), i, nullptr, want[(size_t)i].data(), &n, -1), 0);
    }
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<double> v(12);
            for (int k = 0; k < 500; ++k) {
                const int i = (k + t) % 3;
                size_t n = v.size();
                gribField f;
                if (grib_field_decode_double(m.data(), m.size(), i, &f, v.data(), &n, -1) != 0 ||
                    v != want[(size_t)i] || f.fieldIndex != i)
                    ++failures[(size_t)t];
            }
        });
    for (auto &th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[(size_t)t], 0) << t;
}
