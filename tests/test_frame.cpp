// The one section walk of editions 0 and 1 against its users at every
// marker of the fuzz corpora (real records, cut and mutated ones): the
// locator finds the same sections, the in-memory search and the scanner
// reading the file as a stream give the same lengths.
#include "record_util.h"

#include "grib1.h"

#include <dirent.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using testutil::Bytes;

namespace {

std::vector<std::string> corpusFiles()
{
    std::vector<std::string> files;
    const std::string root = std::string(VALMORA_SOURCE_DIR) + "/fuzz/corpus";
    DIR *top = opendir(root.c_str());
    if (!top) return files;
    while (dirent *d = readdir(top)) {
        if (d->d_name[0] == '.') continue;
        const std::string dir = root + "/" + d->d_name;
        if (DIR *in = opendir(dir.c_str())) {
            while (dirent *e = readdir(in))
                if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
            closedir(in);
        }
    }
    closedir(top);
    return files;
}

// What the sizing rule gives for the record at p: the stated length of a
// plain edition 1 record, else the walk's, 0 when the walk fails.
size_t sizedLength(const unsigned char *p, const g1::Frame &f, int walk)
{
    const uint32_t L = g1::get3(p + 4);
    if (g1::edition(p) == 1 && !(L & g1::kLargeFlag)) return L;
    return walk == g1::kFrameDone ? f.length : 0;
}

TEST(Frame, AgreesWithTheLocatorTheSearchAndTheScannerOnTheCorpora)
{
    size_t markers = 0, walked = 0, scanned = 0;
    for (const std::string &name : corpusFiles()) {
        SCOPED_TRACE(name);
        Bytes b = testutil::readFile(name);
        std::map<size_t, size_t> expected; // by marker offset, for the scanner
        for (size_t pos = 0; pos + 8 <= b.size(); ++pos) {
            if (memcmp(b.data() + pos, "GRIB", 4) != 0) continue;
            unsigned char *p = b.data() + pos;
            const size_t held = b.size() - pos;
            const int edition = g1::edition(p);
            ASSERT_EQ(edition, gribVersion(p, held));
            ++markers;
            if (edition > 1) continue;
            g1::Frame f;
            size_t need = 0;
            const int walk = g1::frameSections(p, held, f, &need);
            walked += walk == g1::kFrameDone;
            if (walk == g1::kFrameMore) {
                EXPECT_GT(need, held) << pos;
            }

            // The locator: where it sets the sections, they are the walk's.
            unsigned char *pds, *gds, *bms, *bds;
            long length;
            recutil::stderrOf([&] { grib1Sections(p, (long)held, &pds, &gds, &bms, &bds, &length); });
            if (bds) {
                EXPECT_EQ(walk, g1::kFrameDone) << pos;
                EXPECT_EQ((size_t)(pds - p), f.pds) << pos;
                EXPECT_EQ(gds ? (size_t)(gds - p) : 0, f.gds) << pos;
                EXPECT_EQ(bms ? (size_t)(bms - p) : 0, f.bms) << pos;
                EXPECT_EQ((size_t)(bds - p), f.bds) << pos;
            }

            // The in-memory search sizes by the same rule.
            size_t offset, found;
            const int rc = gribFindRecord(p, held, &offset, &found);
            const size_t sized = sizedLength(p, f, walk);
            EXPECT_EQ(offset, 0u) << pos;
            if (walk == g1::kFrameNone && sized == 0) {
                EXPECT_EQ(rc, -2) << pos;
            }
            if ((rc == 0 || rc == 1) && sized) {
                EXPECT_EQ(found, sized) << pos;
            }
            expected[pos] = sized;
        }

        // The scanner, reading the file forward as a stream.
        const int fid = gribOpen(name.c_str(), "r");
        ASSERT_GE(fid, 0);
        long count;
        while (gribFileSeek(fid, &count) == 0) {
            const size_t pos = (size_t)gribGetPos(fid) - 4;
            size_t n = 0;
            recutil::stderrOf([&] { n = gribReadSize(fid); });
            const auto e = expected.find(pos);
            if (e == expected.end()) continue;
            // A record whose headers reach past the file is sized by neither.
            if (e->second && e->second <= b.size() - pos) {
                EXPECT_EQ(n, e->second) << pos;
            }
            ++scanned;
        }
        gribClose(fid);
    }
    // The corpora hold real records: the test must have walked them.
    EXPECT_GT(markers, 40u);
    EXPECT_GT(walked, 30u);
    EXPECT_GT(scanned, 30u);
}

} // namespace
