// Printouts of real records: section arrays filled from records decoded by
// ecCodes, and the printed lines checked against ecCodes' own values (its
// full reference date, its list of points per parallel, its coordinates).
#include "printer_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>
#endif

using namespace printutil;

namespace {

#ifdef VALMORA_HAVE_ECCODES_API

const std::string kSamples = "/usr/share/eccodes/samples/";

struct Record {
    codes_handle *h = nullptr;
    explicit Record(const std::string &name)
    {
        FILE *fp = fopen((kSamples + name).c_str(), "rb");
        int err = 0;
        if (fp) {
            h = codes_handle_new_from_file(nullptr, fp, PRODUCT_GRIB, &err);
            fclose(fp);
        }
    }
    ~Record() { codes_handle_delete(h); }
    long get(const char *key) const
    {
        long v = 0;
        codes_get_long(h, key, &v);
        return v;
    }
    // GRIB1 writes a missing two-octet count as 65535.
    int get16(const char *key) const
    {
        long v = get(key);
        return v == GRIB_MISSING_LONG ? 65535 : (int)v;
    }
    double getDouble(const char *key) const
    {
        double v = 0;
        codes_get_double(h, key, &v);
        return v;
    }
    std::vector<long> longs(const char *key) const
    {
        size_t n = 0;
        codes_get_size(h, key, &n);
        std::vector<long> v(n);
        if (n) codes_get_long_array(h, key, v.data(), &n);
        return v;
    }
    std::vector<double> doubles(const char *key) const
    {
        size_t n = 0;
        codes_get_size(h, key, &n);
        std::vector<double> v(n);
        if (n) codes_get_double_array(h, key, v.data(), &n);
        return v;
    }
};

// The arrays of a decoded edition 1 record of centre 98 with local
// definition 1, in the element layout the printers read.
struct Arrays {
    int isec0[2] = {0, 1};
    std::vector<int> isec1 = std::vector<int>(1024, 0);
    std::vector<int> isec2;
    std::vector<double> fsec2;

    explicit Arrays(const Record &r)
    {
        isec0[0] = (int)r.get("totalLength");
        const char *pds[23] = {"table2Version", "centre", "generatingProcessIdentifier",
                               "gridDefinition", "section1Flags", "indicatorOfParameter",
                               "indicatorOfTypeOfLevel", "level", nullptr, "yearOfCentury",
                               "month", "day", "hour", "minute", "unitOfTimeRange", "P1", "P2",
                               "timeRangeIndicator", "numberIncludedInAverage",
                               "numberMissingFromAveragesOrAccumulations",
                               "centuryOfReferenceTimeOfData", "subCentre", "decimalScaleFactor"};
        for (int i = 0; i < 23; ++i)
            if (pds[i]) isec1[i] = (int)r.get(pds[i]);
        isec1[23] = 1;
        isec1[36] = (int)r.get("localDefinitionNumber");
        isec1[37] = (int)r.get("marsClass");
        isec1[38] = (int)r.get("marsType");
        isec1[39] = (int)r.get("marsStream");
        char version[16] = {0};
        size_t len = sizeof version;
        codes_get_string(r.h, "experimentVersionNumber", version, &len);
        memcpy(&isec1[40], version, 4);
        isec1[41] = (int)r.get("perturbationNumber");
        isec1[42] = (int)r.get("numberOfForecastsInEnsemble");

        std::vector<long> pl = r.longs("pl");
        isec2.assign(22 + pl.size() + 1, 0);
        const char *gds[16] = {"dataRepresentationType", nullptr, "Nj", "latitudeOfFirstGridPoint",
                               "longitudeOfFirstGridPoint", "resolutionAndComponentFlags",
                               "latitudeOfLastGridPoint", "longitudeOfLastGridPoint", nullptr,
                               nullptr, "scanningMode", "numberOfVerticalCoordinateValues",
                               "latitudeOfSouthernPole", "longitudeOfSouthernPole", nullptr,
                               nullptr};
        for (int i = 0; i < 16; ++i)
            if (gds[i]) isec2[i] = (int)r.get(gds[i]);
        isec2[1] = r.get16("Ni");
        isec2[8] = r.get16("iDirectionIncrement");
        int type = isec2[0];
        isec2[9] = (type == 4 || type == 14) ? (int)r.get("N") : r.get16("jDirectionIncrement");
        isec2[16] = pl.empty() ? 0 : 1;
        for (size_t j = 0; j < pl.size(); ++j) isec2[22 + j] = (int)pl[j];

        std::vector<double> pv = r.doubles("pv");
        fsec2.assign(10 + pv.size(), 0.0);
        if (type == 10 || type == 14) fsec2[0] = r.getDouble("angleOfRotationInDegrees");
        for (size_t k = 0; k < pv.size(); ++k) fsec2[10 + k] = pv[k];
    }
};

bool haveSample(const std::string &name)
{
    FILE *fp = fopen((kSamples + name).c_str(), "rb");
    if (fp) fclose(fp);
    return fp != nullptr;
}

TEST(PrintOracle, ProductDefinitionOfARegularGrid)
{
    if (!haveSample("GRIB1.tmpl")) GTEST_SKIP() << "ecCodes samples not installed";
    Record r("GRIB1.tmpl");
    ASSERT_NE(r.h, nullptr);
    Arrays a(r);
    std::string t = capture([&] { gribPrintSec1(a.isec0, a.isec1.data()); });
    long date = r.get("dataDate");
    EXPECT_TRUE(contains(t, fmt(" Year of reference time of data.      %9ld  (%4ld)\n",
                                r.get("yearOfCentury"), date / 10000)));
    EXPECT_TRUE(contains(t, v38("Month of reference time of data.", date / 100 % 100)));
    EXPECT_TRUE(contains(t, v38("Day of reference time of data.", date % 100)));
    EXPECT_TRUE(contains(t, v38("Value 1 of level (Code Table 3).", r.get("level"))));
    EXPECT_TRUE(contains(t, " Flag (Code Table 1)                   " +
                                bits8((unsigned)r.get("section1Flags")) + "\n"));
    EXPECT_TRUE(contains(t, v38("Originating centre identifier.", 98)));
    // Its local definition 1 ends the printout.
    std::string tail = v38("TALVO local usage identifier.", 1) +
                       " (Vusk labelling or ensemble forecast)\n" +
                       v38("Class.", r.get("marsClass")) + v38("Type.", r.get("marsType")) +
                       v38("Stream.", r.get("marsStream"));
    EXPECT_TRUE(contains(t, tail));
    EXPECT_TRUE(contains(t, v38("Forecast number.", r.get("perturbationNumber"))));

    std::string g = capture([&] { gribPrintSec2DP(a.isec0, a.isec2.data(), a.fsec2.data()); });
    EXPECT_TRUE(contains(g, v46("Number of points along a parallel.", r.get("Ni"))));
    EXPECT_TRUE(contains(g, v46("Number of points along a meridian.", r.get("Nj"))));
    EXPECT_TRUE(contains(g, v46("i direction (East-West) increment.", r.get("iDirectionIncrement"))));
    EXPECT_TRUE(contains(g, v46("Latitude of last grid point.", r.get("latitudeOfLastGridPoint"))));
}

// Runs of equal counts, worked out from ecCodes' list of points.
std::vector<std::pair<long, std::pair<int, int>>> runsOf(const std::vector<long> &pl)
{
    std::vector<std::pair<long, std::pair<int, int>>> runs;
    for (size_t j = 0; j < pl.size(); ++j) {
        if (!runs.empty() && runs.back().first == pl[j])
            runs.back().second.second = (int)j + 1;
        else
            runs.push_back({pl[j], {(int)j + 1, (int)j + 1}});
    }
    return runs;
}

TEST(PrintOracle, RotatedReducedGaussianGridWithVerticalCoordinates)
{
    const std::string sample = "reduced_rotated_gg_ml_grib1.tmpl";
    if (!haveSample(sample)) GTEST_SKIP() << "ecCodes samples not installed";
    Record r(sample);
    ASSERT_NE(r.h, nullptr);
    Arrays a(r);
    ASSERT_EQ(a.isec2[0], 14);
    std::string t = capture([&] { gribPrintSec2DP(a.isec0, a.isec2.data(), a.fsec2.data()); });

    std::string summary = "  Number of points along a parallel varies.\n"
                          "  Number of points.   Parallel. (North to South)\n";
    for (const auto &run : runsOf(r.longs("pl"))) {
        std::string text = rjust(std::to_string(run.second.first), 4);
        if (run.second.second > run.second.first)
            text += "to " + rjust(std::to_string(run.second.second), 5);
        text.append(12 - text.size(), ' ');
        summary += " " + rjust(std::to_string(run.first), 5) + std::string(16, ' ') + text + "\n";
    }
    summary += v46("Number of points along a meridian.", r.get("Nj"));
    EXPECT_TRUE(contains(t, summary));
    EXPECT_TRUE(contains(t, v46("Number of parallels between pole and equator.", r.get("N"))));

    std::vector<double> pv = r.doubles("pv");
    ASSERT_EQ((long)pv.size(), r.get("numberOfVerticalCoordinateValues"));
    std::string vertical = " \n Vertical Coordinate Parameters.\n -------------------------------\n";
    for (double v : pv) vertical += fmt("    %20.12f\n", v);
    vertical += " \n" + v46("Latitude of southern pole of rotation.", r.get("latitudeOfSouthernPole")) +
                v46("Longitude of southern pole of rotation.", r.get("longitudeOfSouthernPole")) +
                fmt(" Angle of rotation.                     %20.10f\n",
                    r.getDouble("angleOfRotationInDegrees"));
    ASSERT_GE(t.size(), vertical.size());
    EXPECT_EQ(t.substr(t.size() - vertical.size()), vertical);

    std::string p = capture([&] { gribPrintSec1(a.isec0, a.isec1.data()); });
    EXPECT_TRUE(contains(p, fmt(" Year of reference time of data.      %9ld  (%4ld)\n",
                                r.get("yearOfCentury"), r.get("dataDate") / 10000)));
    EXPECT_TRUE(contains(p, " Version number or Experiment identifier.  0001\n"));
}

#else

TEST(PrintOracle, NeedsEcCodes) { GTEST_SKIP() << "ecCodes' C API not found at build time"; }

#endif

} // namespace
