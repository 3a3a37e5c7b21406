// The record functions, the locators and the szip coder on several threads
// at once, each on its own files and buffers. Run under ThreadSanitizer by
// the CI, which then also checks the shared state: the table of open files,
// the traced-memory count and the coder's once-only message.
#include "support.h"
#include "testutil.h"
#include "valmora.h"

#include <gtest/gtest.h>

#include <sstream>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

using namespace testutil;

namespace {

constexpr int threadCount = 4;

// A record of smooth values that the szip coder compresses well, except for
// widths it does not support, which it leaves alone.
Bytes smoothRecord(size_t n, int bits, double phase)
{
    std::vector<uint32_t> v(n);
    double top = std::ldexp(1.0, bits) - 1;
    for (size_t i = 0; i < n; ++i) v[i] = (uint32_t)((0.5 + 0.45 * std::sin(phase + (double)i / 300.0)) * top);
    Bytes pds(28, 0);
    pds[3] = 3;
    pds[8] = (unsigned char)(100 + bits);
    return grib1(pds, {}, {}, simpleBds(v, bits));
}

size_t bdsOffset(const Bytes &rec)
{
    size_t at = 8 + get3(rec, 8);
    if (rec[15] & 0x80) at += get3(rec, at);
    if (rec[15] & 0x40) at += get3(rec, at);
    return at;
}

// Equal records apart from the unused-bit count of the data section.
bool sameRecord(const Bytes &a, const unsigned char *b)
{
    size_t flag = bdsOffset(a) + 3;
    for (size_t i = 0; i < a.size(); ++i)
        if (i == flag ? (a[i] & 0xF0) != (b[i] & 0xF0) : a[i] != b[i]) return false;
    return true;
}

// One thread's whole job: write its records, read them back with the
// scanner, compress each into a second file, read that and restore every
// record. Returns what went wrong, empty for nothing.
std::string roundTrip(const TempDir &dir, int t)
{
    std::vector<Bytes> recs;
    for (int bits : {8, 16, 24, 32, 12})
        recs.push_back(smoothRecord(3000 + 500 * (size_t)t, bits, t + bits / 10.0));
    std::string in = dir.file("in" + std::to_string(t)), out = dir.file("out" + std::to_string(t));

    int id = gribOpen(in.c_str(), "w");
    if (id < 0) return "open for writing";
    for (const Bytes &r : recs) {
        Bytes junk((size_t)t + 3, 'G');
        if (gribWrite(id, junk.data(), junk.size()) != (int)junk.size()) return "junk write";
        if (gribWrite(id, r.data(), r.size()) != (int)r.size()) return "record write";
    }
    if (gribClose(id) != 0) return "close after writing";

    int from = gribOpen(in.c_str(), "r"), to = gribOpen(out.c_str(), "w");
    if (from < 0 || to < 0) return "open for packing";
    size_t i = 0, len;
    while ((len = gribGetSize(from)) > 0) {
        if (i >= recs.size() || len != recs[i].size()) return "size " + std::to_string(i);
        Bytes buf(len + 1000), work(len + 1000);
        size_t size = buf.size();
        if (gribRead(from, buf.data(), &size) != 0 || size != len) return "read " + std::to_string(i);
        if (gribVersion(buf.data(), size) != 1) return "edition";
        unsigned char *pds, *gds, *bms, *bds;
        long recsize;
        if (grib1Sections(buf.data(), (long)size, &pds, &gds, &bms, &bds, &recsize) != 0 || (size_t)recsize != len)
            return "locator";
        int n = recPack(buf.data(), buf.size(), work.data(), work.size());
        if (n <= 0) return "pack " + std::to_string(i);
        if (gribWrite(to, buf.data(), (size_t)n) != n) return "packed write";
        ++i;
    }
    if (i != recs.size() || gribFileError(from) != 0) return "records read " + std::to_string(i);
    gribClose(from);
    if (gribClose(to) != 0) return "close after packing";

    from = gribOpen(out.c_str(), "r");
    for (i = 0; (len = gribGetSize(from)) > 0; ++i) {
        if (i >= recs.size()) return "too many packed records";
        Bytes src(len);
        size_t size = len;
        if (gribRead(from, src.data(), &size) != 0) return "packed read";
        size_t unzipped = 0;
        int zip = gribGetZip((long)len, src.data(), &unzipped);
        if (zip == 128) {
            Bytes dst = src;
            dst.resize(std::max(unzipped + 100, len));
            int r = recUnpack(dst.data(), dst.size(), src.data(), src.size());
            if (r < (int)recs[i].size() || !sameRecord(recs[i], dst.data())) return "unpack " + std::to_string(i);
        } else if (len < recs[i].size() || !sameRecord(recs[i], src.data())) {
            return "left alone " + std::to_string(i);
        }
    }
    gribClose(from);
    return i == recs.size() ? "" : "packed records " + std::to_string(i);
}

} // namespace

// First in this program: the message is printed once per process, and a
// forked child inherits the flag.
TEST(RecordThreads, TheOnceOnlyMessageIsPrintedOnceWhenThreadsRaceForIt)
{
    ChildOutput c = runChild([] {
        Bytes rec = smoothRecord(2000, 12, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t)
            threads.emplace_back([&rec] {
                for (int i = 0; i < 20; ++i) {
                    Bytes buf = rec, work(rec.size() + 1000);
                    buf.resize(rec.size() + 1000);
                    recPack(buf.data(), buf.size(), work.data(), work.size());
                }
            });
        for (auto &th : threads) th.join();
        return 0;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.err, "GRIB szip supports only 8, 16, 24 and 32 bit data!\n");
}

TEST(RecordThreads, FilesRecordsAndTheSzipCoderOnSeveralThreads)
{
    TempDir dir;
    const long blocks = memBlocksInUse();
    std::vector<std::string> errors(threadCount);
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < 3 && errors[t].empty(); ++round) errors[t] = roundTrip(dir, t);
            });
        for (auto &th : threads) th.join();
    }
    for (int t = 0; t < threadCount; ++t) EXPECT_EQ(errors[t], "") << "thread " << t;
    EXPECT_EQ(memBlocksInUse(), blocks) << "every block taken was released";
}

// Opening more files than the table's first chunk holds, while other
// threads read through IDs they already have.
TEST(RecordThreads, TheTableOfOpenFilesGrowsWhileOthersReadTheirs)
{
    TempDir dir;
    Bytes rec = smoothRecord(1000, 16, 1);
    std::string path = dir.file("r.grb");
    writeFile(path, rec);
    std::atomic<bool> stop{false};
    std::vector<std::string> errors(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            int id = gribOpen(path.c_str(), "r");
            Bytes buf(rec.size());
            while (!stop && errors[t].empty()) {
                size_t size = buf.size();
                if (fileSetPos(id, 0, 0) != 0 || gribRead(id, buf.data(), &size) != 0 || buf != rec)
                    errors[t] = "read through a held ID";
            }
            gribClose(id);
        });
    for (int t = 2; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<int> ids;
            for (int i = 0; i < 300; ++i) {
                int id = gribOpen(path.c_str(), "r");
                if (id < 0) {
                    errors[t] = "open " + std::to_string(i);
                    break;
                }
                if (gribGetSize(id) != rec.size()) errors[t] = "size through a new ID";
                ids.push_back(id);
            }
            for (int id : ids) gribClose(id);
        });
    threads[2].join();
    threads[3].join();
    stop = true;
    threads[0].join();
    threads[1].join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(errors[t], "") << "thread " << t;
}

// Each report is written with one call: lines of threads that report at
// once come out whole, on standard error and on standard output alike.
TEST(ReportThreads, LinesOfSeveralThreadsNeverMix)
{
    ChildOutput c = runChild([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t)
            threads.emplace_back([t] {
                std::string body(200 + 50 * (size_t)t, (char)('a' + t));
                for (int i = 0; i < 200; ++i) {
                    Warning_("reporter", "%d %s %d", t, body.c_str(), i);
                    Print_(stdout, "%d %s %d\n", t, body.c_str(), i);
                }
            });
        for (auto &th : threads) th.join();
        return 0;
    });
    ASSERT_EQ(c.status, 0);
    for (const std::string *text : {&c.err, &c.out}) {
        std::istringstream lines(*text);
        std::string line;
        int count = 0;
        while (std::getline(lines, line)) {
            ++count;
            size_t at = line.find(": ");
            std::string rest = text == &c.err && at != std::string::npos ? line.substr(at + 2) : line;
            ASSERT_GE(rest.size(), 2u) << line;
            int t = rest[0] - '0';
            ASSERT_TRUE(t >= 0 && t < threadCount) << line;
            std::string body(200 + 50 * (size_t)t, (char)('a' + t));
            ASSERT_EQ(rest.compare(2, body.size() + 1, body + " "), 0) << line;
        }
        EXPECT_EQ(count, threadCount * 200);
    }
}
