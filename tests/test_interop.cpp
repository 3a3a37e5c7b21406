// Real files: every record of every sample file that ecCodes ships is found
// and sized exactly as ecCodes' own decoder reports it, alone and with the
// files concatenated and junk octets between them; the locators accept every
// sample record and give the same length.
#include "record_util.h"

#include "support.h"

#include <algorithm>
#include <dirent.h>
#include <random>
#include <sstream>
#include <sys/stat.h>

using namespace recutil;
using testutil::Bytes;
using testutil::TempDir;

namespace {

const char *sampleDirs[] = {"/usr/share/eccodes/samples", "/usr/share/eccodes/ifs_samples"};

void listFiles(const std::string &dir, std::vector<std::string> &out)
{
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        if (e->d_type == DT_DIR)
            listFiles(path, out);
        else
            out.push_back(path);
    }
    closedir(d);
}

std::vector<std::string> sampleFiles()
{
    std::vector<std::string> files;
    for (const char *d : sampleDirs) listFiles(d, files);
    std::sort(files.begin(), files.end());
    return files;
}

// Record lengths as ecCodes reports them. ecCodes also reads the pseudo-GRIB
// "BUDG" and "DIAG" records; only records with the "GRIB" marker count here.
std::vector<size_t> eccodesLengths(const std::string &path)
{
    testutil::CommandResult r = testutil::run("grib_get -p identifier,totalLength '" + path + "' 2>/dev/null");
    std::istringstream in(r.out);
    std::vector<size_t> lengths;
    std::string id, length;
    while (in >> id >> length)
        if (id == "GRIB") lengths.push_back(std::stoul(length));
    return lengths;
}

bool haveEccodes()
{
    struct stat st;
    return testutil::haveCommand("grib_get") && stat(sampleDirs[0], &st) == 0;
}

// The lengths found by the gribGetSize/gribRead loop, with the records.
std::vector<size_t> scan(const std::string &path, std::vector<Bytes> *records = nullptr)
{
    std::vector<size_t> found;
    int id = gribOpen(path.c_str(), "r");
    EXPECT_GE(id, 0) << path;
    if (id < 0) return found;
    size_t len;
    while ((len = gribGetSize(id)) > 0) {
        Bytes buf(len);
        size_t size = len;
        int rc = gribRead(id, buf.data(), &size);
        EXPECT_EQ(rc, 0) << path;
        EXPECT_EQ(size, len) << path;
        if (rc != 0) break;
        found.push_back(len);
        if (records) records->push_back(buf);
    }
    gribClose(id);
    return found;
}

} // namespace

#define REQUIRE_ECCODES()                                                                                     \
    if (!haveEccodes())                                                                                       \
    GTEST_SKIP() << "ecCodes tools and samples are not installed (packages libeccodes-tools, libeccodes-data)"

TEST(Interop, EverySampleRecordIsSizedAsEccodesSizesIt)
{
    REQUIRE_ECCODES();
    size_t records = 0, files = 0;
    for (const std::string &path : sampleFiles()) {
        std::vector<size_t> want = eccodesLengths(path);
        EXPECT_EQ(scan(path), want) << path;
        records += want.size();
        files += !want.empty();
    }
    EXPECT_GT(files, 100u) << "fewer GRIB samples than expected";
    EXPECT_GT(records, files - 1);
}

TEST(Interop, ConcatenatedWithJunkBetweenRecords)
{
    REQUIRE_ECCODES();
    // Junk that looks like the start of a marker, zeros, and random octets
    // (with every "GRIB" inside broken up); a partial marker right before a
    // record must not hide it.
    std::mt19937 rng(1);
    const std::vector<Bytes> fillers = {{'G'}, {'G', 'R'}, {'G', 'R', 'I'}, Bytes(1000, 0), {'7', '7', '7', '7'}};
    TempDir dir;
    Bytes all;
    for (const std::string &sample : sampleFiles()) {
        Bytes body = testutil::readFile(sample);
        if (body.size() < 4 || memcmp(body.data(), "GRIB", 4) != 0) continue;
        Bytes junk = fillers[rng() % fillers.size()];
        for (size_t n = rng() % 64; n > 0; --n) junk.push_back((unsigned char)("GRIB7x\0"[rng() % 7]));
        for (size_t i = 0; i + 3 < junk.size(); ++i)
            if (junk[i] == 'G' && junk[i + 1] == 'R' && junk[i + 2] == 'I' && junk[i + 3] == 'B') junk[i + 3] = 'x';
        all.insert(all.end(), junk.begin(), junk.end());
        all.insert(all.end(), body.begin(), body.end());
    }
    std::string path = dir.file("all.grb");
    testutil::writeFile(path, all);
    std::vector<size_t> want = eccodesLengths(path);
    EXPECT_GT(want.size(), 100u);
    EXPECT_EQ(scan(path), want);
}

TEST(Interop, LocatorsAcceptEverySampleRecord)
{
    REQUIRE_ECCODES();
    for (const std::string &path : sampleFiles()) {
        std::vector<Bytes> recs;
        scan(path, &recs);
        for (Bytes &b : recs) {
            int edition = gribVersion(b.data(), b.size());
            std::string err;
            if (edition == 1) {
                unsigned char *pds, *gds, *bms, *bds;
                long len = 0;
                int rc = 0;
                err = stderrOf([&] { rc = grib1Sections(b.data(), (long)b.size(), &pds, &gds, &bms, &bds, &len); });
                EXPECT_EQ(rc, 0) << path << ": " << err;
                EXPECT_EQ(len, (long)b.size()) << path;
                EXPECT_EQ(pds, b.data() + 8);
                int ints[1];
                float flts[3];
                int64_t big[2];
                EXPECT_EQ(grib_info_for_grads(0, (long)b.size(), b.data(), ints, flts, big), 0) << path;
                EXPECT_EQ(ints[0], bds[10]);
            } else {
                ASSERT_EQ(edition, 2) << path;
                unsigned char *p[7];
                int rc = 0;
                err = stderrOf([&] { rc = grib2Sections(b.data(), 0, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]); });
                EXPECT_EQ(rc, 0) << path << ": " << err;
                EXPECT_EQ(p[0], b.data() + 16);
                for (int i = 2; i < 7; ++i) EXPECT_NE(p[i], nullptr) << path << " section " << i + 1;
            }
        }
    }
}

#ifdef VALMORA_HAVE_ECCODES_API
#include <eccodes.h>

TEST(Interop, LargeRecordWrittenByEccodes)
{
    // A GRIB1 field too big for a 24-bit length: ecCodes writes it in the
    // large form; scanner and locator must recover its exact length.
    REQUIRE_ECCODES();
    codes_handle *h = codes_grib_handle_new_from_samples(nullptr, "regular_ll_sfc_grib1");
    ASSERT_NE(h, nullptr);
    const long ni = 3000, nj = 2000; // 6,000,000 values at 24 bits: 18 MB
    ASSERT_EQ(codes_set_long(h, "Ni", ni), 0);
    ASSERT_EQ(codes_set_long(h, "Nj", nj), 0);
    ASSERT_EQ(codes_set_long(h, "bitsPerValue", 24), 0);
    std::vector<double> values((size_t)(ni * nj));
    for (size_t i = 0; i < values.size(); ++i) values[i] = (double)(i % 9973) * 0.5;
    ASSERT_EQ(codes_set_double_array(h, "values", values.data(), values.size()), 0);
    const void *msg = nullptr;
    size_t msglen = 0;
    ASSERT_EQ(codes_get_message(h, &msg, &msglen), 0);
    long total = 0;
    ASSERT_EQ(codes_get_long(h, "totalLength", &total), 0);
    Bytes rec((const unsigned char *)msg, (const unsigned char *)msg + msglen);
    codes_handle_delete(h);
    ASSERT_GT(total, 0xFFFFFF);
    ASSERT_TRUE(rec[4] & 0x80) << "not written in the large form";

    TempDir dir;
    std::string path = dir.file("large.grb");
    testutil::writeFile(path, concat({Bytes(17, 'G'), rec, rec}));
    std::vector<size_t> found = scan(path);
    EXPECT_EQ(found, (std::vector<size_t>{(size_t)total, (size_t)total}));

    unsigned char *pds, *gds, *bms, *bds;
    long len = 0;
    EXPECT_EQ(grib1Sections(rec.data(), (long)rec.size(), &pds, &gds, &bms, &bds, &len), 0);
    EXPECT_EQ(len, total);
}
#endif
