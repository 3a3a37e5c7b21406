// The listings against ecCodes: for every GRIB record of the ecCodes samples
// and of files that the ecCodes tools make, the overview and the BDS listing
// show what ecCodes decodes from the same record.
#include "listings_util.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <set>
#include <valmora.h>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

using namespace listings;
using testutil::Bytes;

namespace {

#ifdef VALMORA_HAVE_ECCODES_API

const char *kSamples = "/usr/share/eccodes/samples";
const char *kIfsSamples = "/usr/share/eccodes/ifs_samples";

long key(codes_handle *h, const char *name, long fallback = 0)
{
    long v = fallback;
    if (!codes_is_defined(h, name) || codes_get_long(h, name, &v) != 0) return fallback;
    return v;
}

// GRIB1 level types whose octets 11 and 12 are the two bounds of a layer.
bool layerType(long t)
{
    static const std::set<long> layers = {101, 104, 106, 108, 110, 112, 114, 116, 120, 121, 128, 141};
    return layers.count(t) != 0;
}

// The Level column from the decoded level: 16 bits for 99 and 109, hPa in
// Pa for 100, else the first level octet (the top of a layer, or the high
// octet of a 16-bit level).
long level1From(codes_handle *h)
{
    long t = key(h, "indicatorOfTypeOfLevel");
    if (t == 99 || t == 109) return key(h, "level");
    if (t == 100) return key(h, "level") * 100;
    if (layerType(t)) return key(h, "topLevel");
    return key(h, "level") >> 8;
}

std::string expectedGrib1(codes_handle *h, int nrec, long size)
{
    bool gds = codes_is_defined(h, "section2Length") && key(h, "gridDescriptionSectionPresent", 1);
    bool bms = codes_is_defined(h, "section3Length") && key(h, "bitmapPresent", 1);
    std::string all = format("%5d :%4ld %8ld %6ld :%2d%4d%5d %6d %6d : %3d %6d : %5d %5d %6.4g  %c\n", nrec, 0L, 0L,
                             size, (int)key(h, "editionNumber"), (int)key(h, "section1Length"),
                             gds ? (int)key(h, "section2Length") : 0, bms ? (int)key(h, "section3Length") : 0,
                             (int)key(h, "section4Length"), (int)key(h, "indicatorOfParameter"), (int)level1From(h),
                             (int)key(h, "indicatorOfTypeOfLevel"), gds ? (int)key(h, "dataRepresentationType") : -1,
                             1.0, 'F');
    double ref = 0;
    codes_get_double(h, "referenceValue", &ref);
    long E = key(h, "binaryScaleFactor"), D = key(h, "decimalScaleFactor");
    double scale = ldexp(1.0, (int)E), dec = D ? pow(10.0, (double)-D) : 1.0;
    std::string bds = format("%5d :%4d%7d %7d %4d %8.5g %11.5g%4d %6.4g\n", nrec, (int)key(h, "indicatorOfParameter"),
                             (int)level1From(h), (int)key(h, "section4Length"), (int)key(h, "dataFlag"), scale * dec,
                             ref * dec, (int)key(h, "bitsPerValue"), 1.0);
    return all + "|" + bds;
}

std::string expectedGrib2(codes_handle *h, int nrec, long size)
{
    long len[7];
    for (int i = 0; i < 7; ++i) {
        std::string k = "section" + std::to_string(i + 1) + "Length";
        len[i] = key(h, k.c_str());
    }
    char param[16];
    snprintf(param, sizeof param, "%ld.%ld.%ld", key(h, "parameterNumber"), key(h, "parameterCategory"),
             key(h, "discipline"));
    int err = 0;
    long level = codes_is_missing(h, "scaledValueOfFirstFixedSurface", &err) ? -1
                                                                              : key(h, "scaledValueOfFirstFixedSurface");
    long surface = codes_is_missing(h, "typeOfFirstFixedSurface", &err) ? 255 : key(h, "typeOfFirstFixedSurface");
    std::string line =
        format("%5d :%4ld %8ld %6ld :%2d %3ld %3ld %3ld %3ld %4ld %6ld %6ld : %-9s %7d : %5d %5d %6.4g\n", nrec, 0L,
               0L, size, (int)key(h, "editionNumber"), len[0], len[1], len[2], len[3], len[4], len[5], len[6], param,
               (int)level, (int)surface, (int)key(h, "gridDefinitionTemplateNumber"), 1.0);
    // CCSDS packing gets a line of its own: the coder's parameters and sizes.
    if (key(h, "dataRepresentationTemplateNumber") == 42)
        line += format("        packing: GRIB2 template 5.42 CCSDS, block %ld, interval %ld, data %ld of %ld octets\n",
                       key(h, "ccsdsBlockSize"), key(h, "ccsdsRsi"), len[6] - 5,
                       (key(h, "numberOfValues") * key(h, "bitsPerValue") + 7) / 8);
    return line;
}

struct Compared {
    int grib1 = 0, grib2 = 0;
};

// Lists every record of a file with our listings and compares each line
// with the one made from ecCodes' keys.
void compareFile(const std::string &name, Compared &n)
{
    FILE *f = fopen(name.c_str(), "rb");
    ASSERT_NE(f, nullptr) << name;
    std::vector<Bytes> recs;
    std::vector<std::string> want;
    int err = 0;
    codes_handle *h;
    while ((h = codes_handle_new_from_file(nullptr, f, PRODUCT_GRIB, &err)) != nullptr) {
        const void *msg;
        size_t len;
        codes_get_message(h, &msg, &len);
        if (len < 4 || memcmp(msg, "GRIB", 4) != 0) { // the pseudo-GRIB samples (BUDG, DIAG)
            codes_handle_delete(h);
            continue;
        }
        recs.emplace_back((const unsigned char *)msg, (const unsigned char *)msg + len);
        int nrec = (int)recs.size();
        long edition = key(h, "editionNumber");
        want.push_back(edition == 1 ? expectedGrib1(h, nrec, (long)len) : expectedGrib2(h, nrec, (long)len));
        (edition == 1 ? n.grib1 : n.grib2)++;
        codes_handle_delete(h);
    }
    fclose(f);
    for (size_t i = 0; i < recs.size(); ++i) {
        Bytes &r = recs[i];
        Output o = inChild([&] {
            gribPrintALL((int)i + 1, 0, 0, (long)r.size(), r.data());
            if (gribVersion(r.data(), r.size()) == 1) {
                fputc('|', stdout);
                gribPrintBDS((int)i + 1, 0, (long)r.size(), r.data());
            }
        });
        // Drop the header lines: each child prints them afresh.
        std::string got;
        for (size_t at = 0; at < o.out.size();) {
            size_t end = o.out.find('\n', at);
            if (end == std::string::npos) end = o.out.size() - 1;
            std::string line = o.out.substr(at, end - at + 1);
            size_t bar = line.find('|');
            std::string body = bar == std::string::npos ? line : line.substr(bar + 1);
            if (body.rfind("  Rec :", 0) != 0) got += line;
            else if (bar != std::string::npos) got += "|";
            at = end + 1;
        }
        EXPECT_EQ(got, want[i]) << name << " record " << i + 1;
    }
}

std::vector<std::string> filesIn(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".tmpl") == 0) out.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(EccodesInterop, EverySampleRecord)
{
    std::vector<std::string> files = filesIn(kSamples);
    if (files.empty()) GTEST_SKIP() << "no ecCodes samples in " << kSamples;
    for (const char *sub : {"grib1", "grib1_mlgrib2", "grib1_mlgrib2_ccsds", "grib1_mlgrib2_ieee64"})
        for (const std::string &f : filesIn(std::string(kIfsSamples) + "/" + sub)) files.push_back(f);
    Compared n;
    for (const std::string &f : files) compareFile(f, n);
    EXPECT_GT(n.grib1, 20);
    EXPECT_GT(n.grib2, 20);
}

TEST(EccodesInterop, FilesMadeByTheTools)
{
    if (!testutil::haveCommand("grib_set") || !testutil::haveCommand("grib_copy"))
        GTEST_SKIP() << "the ecCodes tools grib_set and grib_copy are not installed";
    testutil::TempDir dir;
    struct Make {
        const char *name, *from, *set;
    } makes[] = {
        {"l105.grb", "GRIB1.tmpl", "indicatorOfTypeOfLevel=105,level=2"},
        {"l850.grb", "GRIB1.tmpl", "indicatorOfTypeOfLevel=100,level=850"},
        {"l109.grb", "GRIB1.tmpl", "indicatorOfTypeOfLevel=109,level=60"},
        {"l112.grb", "GRIB1.tmpl", "indicatorOfTypeOfLevel=112,topLevel=3,bottomLevel=7"},
        {"l99.grb", "GRIB1.tmpl", "indicatorOfTypeOfLevel=99,level=1013,indicatorOfParameter=54"},
        {"bits24.grb", "gg_sfc_grib1.tmpl", "decimalScaleFactor=2,bitsPerValue=24"},
        {"bmap.grb", "GRIB1.tmpl", "bitmapPresent=1"},
        {"polar.grb", "polar_stereographic_pl_grib1.tmpl", "bitsPerValue=12"},
        {"g2.grb", "GRIB2.tmpl",
         "discipline=0,parameterCategory=2,parameterNumber=3,typeOfFirstFixedSurface=103,"
         "scaleFactorOfFirstFixedSurface=0,scaledValueOfFirstFixedSurface=10"},
        {"g2bits.grb", "gg_sfc_grib2.tmpl", "bitsPerValue=20"},
        {"g2disc.grb", "GRIB2.tmpl", "discipline=10,parameterCategory=0,parameterNumber=3"},
    };
    std::string all = dir.file("all.grb"), cat = "grib_copy";
    for (const Make &m : makes) {
        std::string cmd = std::string("grib_set -s ") + m.set + " " + kSamples + "/" + m.from + " " +
                          dir.file(m.name) + " 2>&1";
        testutil::CommandResult r = testutil::run(cmd);
        ASSERT_EQ(r.status, 0) << cmd << "\n" << r.out;
        cat += " " + dir.file(m.name);
    }
    ASSERT_EQ(testutil::run(cat + " " + all + " 2>&1").status, 0);
    Compared n;
    compareFile(all, n);
    EXPECT_EQ(n.grib1 + n.grib2, (int)(sizeof makes / sizeof makes[0]));
}

#else

TEST(EccodesInterop, EverySampleRecord) { GTEST_SKIP() << "ecCodes' C API is not installed"; }

#endif

} // namespace
