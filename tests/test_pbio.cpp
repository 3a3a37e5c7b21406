// Product buffer interface. Its module state (trace level, buffer size, raw
// table) is read once per process, so every case runs in a forked child that
// starts with fresh state; the child's standard output and error are
// collected for the parent to check.
#include "valmora.h"
#include "support.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using testutil::Bytes;

using Child = testutil::ChildOutput; // status 3 when an assertion failed in the child

// Runs `body` in a child with the environment changes applied (a null value
// unsets the variable). Assertions in the body fail the child.
Child inChild(const std::vector<std::pair<const char *, const char *>> &env, const std::function<void()> &body)
{
    return testutil::runChild([&] {
        unsetenv("PBIO_DEBUG");
        unsetenv("PBIO_BUFSIZE");
        for (auto &kv : env)
            if (kv.second)
                setenv(kv.first, kv.second, 1);
            else
                unsetenv(kv.first);
        body();
        return ::testing::Test::HasFailure() ? 3 : 0;
    });
}

#define EXPECT_CHILD_OK(c) EXPECT_EQ((c).status, 0) << "child output:\n" << (c).out << (c).err

Bytes pattern(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = (unsigned char)(i * 7 + 3);
    return b;
}

// A GRIB edition 1 record of roughly `values` points (even length).
Bytes record(size_t values, unsigned seed)
{
    Bytes pds(28, 0);
    pds[3] = 1;
    pds[4] = 98;
    pds[5] = (unsigned char)seed;
    std::vector<uint32_t> v(values);
    for (size_t i = 0; i < values; ++i) v[i] = (uint32_t)((i * 31 + seed) & 0xFFFF);
    return testutil::grib1(pds, {}, {}, testutil::simpleBds(v, 16));
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

int openOrFail(const std::string &name, const char *mode)
{
    int unit = -7, st = -7;
    pbOpen(&unit, name.c_str(), mode, &st);
    EXPECT_EQ(st, 0) << name << " " << mode;
    EXPECT_GE(unit, 0);
    return unit;
}

// ---- Trace level from PBIO_DEBUG -------------------------------------------

// Every call of the interface once, and the exact trace it must write.
void everyCall(const std::string &name)
{
    int unit, st;
    pbOpen(&unit, name.c_str(), "w", &st);
    pbWrite(unit, "abcde", 5, &st);
    pbFlush(unit);
    pbTell(unit, &st);
    pbClose(unit, &st);
    pbOpen(&unit, name.c_str(), "r", &st);
    pbSeek(unit, 2, 0, &st);
    int64_t st64;
    pbSeek64(unit, 1, 1, &st64);
    char buf[8];
    pbRead(unit, buf, 2, &st);
    int size;
    pbSize(unit, &size);
    int recsize;
    pbGrib(unit, buf, 8, &recsize, &st);
    gribread(buf, 8, &recsize, &st, unit);
    pbClose(unit, &st);
}

std::string everyCallTrace(const std::string &name)
{
    std::string o = "PBIO_PBOPEN: file name = " + name + "\n";
    auto open = [&](char mode) {
        return o + "PBIO_PBOPEN: file open mode = " + mode + "\nPBIO_PBOPEN: file ID = 0\nPBIO_PBOPEN: file buffer size = 0\n";
    };
    return open('w') +
           "PBIO_WRITE: file ID = 0. Number of bytes to write = 5\n"
           "PBIO_WRITE: file ID = 0. PBIO_WRITE: number of bytes written = 5\n"
           "PBIO_FLUSH: file ID = 0\n"
           "PBIO_PBTELL: file ID = 0. Byte offset from start of file = 5\n"
           "PBIO_CLOSE: file ID = 0\n" +
           open('r') +
           "PBIO_PBSEEK: file ID = 0\nPBIO_PBSEEK: Offset = 2\nPBIO_PBSEEK: Type of offset = 0\n"
           "PBIO_PBSEEK: current position = 0\nPBIO_PBSEEK: fileSetPos return code = 0\n"
           "PBIO_PBSEEK: byte offset from start of file = 2\n"
           "PBIO_PBSEEK64: file ID = 0\nPBIO_PBSEEK64: Offset = 1\nPBIO_PBSEEK64: Type of offset = 1\n"
           "PBIO_PBSEEK64: current position = 2\nPBIO_PBSEEK64: fileSetPos return code = 0\n"
           "PBIO_PBSEEK64: byte offset from start of file = 3\n"
           "PBIO_READ: file ID = 0. Number of bytes to read = 2\n"
           "PBIO_READ: file ID = 0. Number of bytes read = 2\n"
           "PBIO_SIZE: file ID = 0. Current file position = 5\n"
           "PBIO_SIZE: file pointer set back to: 5\nPBIO_SIZE: Product size = 0\n"
           "PBIO_GRIBREAD: file ID = 0. Number of bytes read = 0\n"
           "PBIO_GRIBREAD: file ID = 0. Number of bytes read = 0\n"
           "PBIO_CLOSE: file ID = 0\n";
}

TEST(PbioDebug, LevelAndComplaints)
{
    testutil::TempDir dir;
    std::string name = dir.file("t.bin");
    const std::string on = "PBIO_PBOPEN: debug switched on\n", trace = everyCallTrace(name);
    auto complaint = [](const std::string &v) {
        return "Invalid number string in PBIO_DEBUG: " + v + "\nPBIO_DEBUG must comprise only digits [0-9].\n";
    };
    struct {
        const char *value;
        std::string out;
    } cases[] = {
        {nullptr, ""},
        {"0", ""},
        {"1", on + trace},
        {"2x", complaint("2x") + on + trace},             // level 2, one complaint
        {"0ab", complaint("0ab") + complaint("0ab")},      // one per character, level 0
    };
    for (auto &k : cases) {
        Child c = inChild({{"PBIO_DEBUG", k.value}}, [&] { everyCall(name); });
        EXPECT_CHILD_OK(c);
        EXPECT_EQ(c.out, k.out) << (k.value ? k.value : "unset");
    }
}

TEST(PbioDebug, LevelIsDecidedOnceAtTheFirstOpen)
{
    testutil::TempDir dir;
    std::string name = dir.file("t.bin");
    Child c = inChild({}, [&] {
        int unit = openOrFail(name, "w"), st;
        pbClose(unit, &st);
        setenv("PBIO_DEBUG", "5", 1);
        unit = openOrFail(name, "r");
        pbClose(unit, &st);
    });
    EXPECT_CHILD_OK(c);
    EXPECT_EQ(c.out, "");

    // A negative level complains at the first open only.
    c = inChild({{"PBIO_DEBUG", "-1"}}, [&] {
        int unit = openOrFail(name, "w"), st;
        pbClose(unit, &st);
        unit = openOrFail(name, "r");
        pbClose(unit, &st);
    });
    EXPECT_CHILD_OK(c);
    EXPECT_EQ(c.out, "Invalid number string in PBIO_DEBUG: -1\nPBIO_DEBUG must comprise only digits [0-9].\n");
}

// ---- Buffer size from PBIO_BUFSIZE -----------------------------------------

// How far the descriptors behind `name` have read ahead, in opening order.
std::vector<long> descriptorOffsets(const std::string &name)
{
    std::vector<int> fds;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return {};
    while (dirent *e = readdir(d)) {
        char link[4096];
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, (size_t)n) == name) fds.push_back(atoi(e->d_name));
    }
    closedir(d);
    std::sort(fds.begin(), fds.end());
    std::vector<long> offsets;
    for (int fd : fds) offsets.push_back((long)lseek(fd, 0, SEEK_CUR));
    return offsets;
}

TEST(PbioBufsize, SizeReachesEveryUnitOpenedAfterwards)
{
    testutil::TempDir dir;
    std::string name = dir.file("big.bin");
    testutil::writeFile(name, pattern(300000));
    auto readOneByteFromTwoUnits = [&](std::vector<long> want) {
        int a = openOrFail(name, "r"), b = openOrFail(name, "r"), st;
        char byte;
        pbRead(a, &byte, 1, &st);
        pbRead(b, &byte, 1, &st);
        EXPECT_EQ(descriptorOffsets(name), want);
        pbClose(a, &st);
        pbClose(b, &st);
    };
    Child c = inChild({{"PBIO_BUFSIZE", "4096"}, {"PBIO_DEBUG", "1"}}, [&] { readOneByteFromTwoUnits({4096, 4096}); });
    EXPECT_CHILD_OK(c);
    EXPECT_NE(c.out.find("PBIO_PBOPEN: file buffer size = 4096\n"), std::string::npos);

    // Unset, the file layer keeps its default, and the variable is read
    // again at the next open until a valid value turns up.
    c = inChild({}, [&] {
        int a = openOrFail(name, "r"), st;
        setenv("PBIO_BUFSIZE", "1000", 1);
        int b = openOrFail(name, "r");
        setenv("PBIO_BUFSIZE", "junk", 1); // no longer read
        int u = openOrFail(name, "r");
        char byte;
        for (int x : {a, b, u}) pbRead(x, &byte, 1, &st);
        std::vector<long> got = descriptorOffsets(name);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_GT(got[0], 1000);
        EXPECT_EQ(got[1], 1000);
        EXPECT_EQ(got[2], 1000);
    });
    EXPECT_CHILD_OK(c);
}

TEST(PbioBufsize, InvalidValuesEndTheProcess)
{
    testutil::TempDir dir;
    std::string name = dir.file("t.bin");
    testutil::writeFile(name, pattern(10));
    struct {
        const char *value;
        std::string lines;
    } cases[] = {
        {"0", "Invalid buffer size in PBIO_BUFSIZE: 0\nBuffer size defined by PBIO_BUFSIZE must be positive.\n"},
        {"", "Invalid buffer size in PBIO_BUFSIZE: \nBuffer size defined by PBIO_BUFSIZE must be positive.\n"},
        {"64k", "Invalid number string in PBIO_BUFSIZE: 64k\nPBIO_BUFSIZE must comprise only digits [0-9].\n"},
        {"-4096", "Invalid number string in PBIO_BUFSIZE: -4096\nPBIO_BUFSIZE must comprise only digits [0-9].\n"},
    };
    for (auto &k : cases) {
        Child c = inChild({{"PBIO_BUFSIZE", k.value}}, [&] {
            int unit, st;
            pbOpen(&unit, name.c_str(), "r", &st);
            ADD_FAILURE() << "pbOpen returned";
        });
        EXPECT_EQ(c.status, 1) << k.value << c.out;
        EXPECT_EQ(c.out, k.lines);
    }
}

// ---- Open modes ---------------------------------------------------------------

TEST(PbioOpen, ModesAndFailures)
{
    testutil::TempDir dir;
    Child c = inChild({}, [&] {
        int unit = 5, st = 5;
        pbOpen(&unit, dir.file("x").c_str(), "x", &st);
        EXPECT_EQ(st, -3);
        EXPECT_EQ(unit, 0);
        EXPECT_NE(access(dir.file("x").c_str(), F_OK), 0) << "no file for a refused mode";
        pbOpen(&unit, dir.file("x").c_str(), "", &st);
        EXPECT_EQ(st, -3);

        pbOpen(&unit, dir.file("absent").c_str(), "rb", &st);
        EXPECT_EQ(st, -1);
        EXPECT_EQ(unit, -1);

        // Upper case and 'c' are accepted: C creates, A appends, R reads.
        int u = openOrFail(dir.file("c"), "C");
        pbWrite(u, "12", 2, &st);
        pbClose(u, &st);
        u = openOrFail(dir.file("c"), "A");
        pbWrite(u, "34", 2, &st);
        pbClose(u, &st);
        u = openOrFail(dir.file("c"), "R");
        char buf[4];
        pbRead(u, buf, 4, &st);
        EXPECT_EQ(st, 4);
        EXPECT_EQ(std::string(buf, 4), "1234");
        pbClose(u, &st);
        u = openOrFail(dir.file("c"), "w"); // truncates
        pbClose(u, &st);
        EXPECT_EQ(testutil::readFile(dir.file("c")).size(), 0u);
    });
    EXPECT_CHILD_OK(c);
}

// ---- Positioning ------------------------------------------------------------------

TEST(PbioSeek, FromTheEndInBothWidths)
{
    testutil::TempDir dir;
    std::string name = dir.file("t.bin");
    Bytes data = pattern(1000);
    testutil::writeFile(name, data);
    Child c = inChild({}, [&] {
        int u = openOrFail(name, "r"), st;
        unsigned char b;
        pbSeek(u, 100, 2, &st); // positive offsets count backwards too
        EXPECT_EQ(st, 900);
        pbRead(u, &b, 1, &st);
        EXPECT_EQ(b, data[900]);
        pbSeek(u, -100, 2, &st);
        EXPECT_EQ(st, 900);
        pbSeek(u, 10, 1, &st);
        EXPECT_EQ(st, 910);

        int64_t s64;
        pbSeek64(u, 100, 2, &s64); // passed on as it is: beyond the end
        EXPECT_EQ(s64, 1100);
        pbRead(u, &b, 1, &st);
        EXPECT_EQ(st, -1);
        pbSeek64(u, -100, 2, &s64);
        EXPECT_EQ(s64, 900);
        pbSeek64(u, 5, 0, &s64);
        EXPECT_EQ(s64, 5);
        pbTell(u, &st);
        EXPECT_EQ(st, 5);
        pbClose(u, &st);
    });
    EXPECT_CHILD_OK(c);
}

TEST(PbioSeek, FailuresAndTheSeekThatDoesNotMove)
{
    testutil::TempDir dir;
    std::string name = dir.file("t.bin");
    testutil::writeFile(name, pattern(100));
    Child c = inChild({}, [&] {
        int u = openOrFail(name, "r"), st;
        pbSeek(u, -5, 0, &st);
        EXPECT_EQ(st, -2);
        int64_t s64;
        pbSeek64(u, -5, 0, &s64);
        EXPECT_EQ(s64, -2);

        // At end of file a failed seek says -1 and clears the state, so the
        // same failure then says -2.
        char buf[200];
        int recsize;
        gribread(buf, 200, &recsize, &st, u);
        EXPECT_EQ(st, -1);
        pbSeek(u, -5, 0, &st);
        EXPECT_EQ(st, -1);
        pbSeek(u, -5, 0, &st);
        EXPECT_EQ(st, -2);
        pbClose(u, &st);

        // A pipe cannot be positioned: only the seek to where the file
        // already is succeeds, because it makes no positioning call.
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        int p = openOrFail("/proc/self/fd/" + std::to_string(fds[0]), "r");
        pbSeek(p, 0, 0, &st);
        EXPECT_EQ(st, 0);
        pbSeek(p, 0, 1, &st);
        EXPECT_EQ(st, -2);
        pbClose(p, &st);
    });
    EXPECT_CHILD_OK(c);
    EXPECT_NE(c.err.find("pbseek:"), std::string::npos) << c.err;
    EXPECT_NE(c.err.find("pbseek64:"), std::string::npos) << c.err;
}

TEST(PbioSeek, PositionsBeyondTwoGigabytes)
{
    testutil::TempDir dir;
    std::string name = dir.file("sparse.bin");
    const int64_t big = (int64_t)1 << 32;
    {
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        if (ftruncate(fd, (off_t)(big + 4096)) != 0) {
            close(fd);
            GTEST_SKIP() << "no sparse files here";
        }
        ASSERT_EQ(pwrite(fd, "Q", 1, (off_t)(big + 16)), 1);
        close(fd);
    }
    Child c = inChild({}, [&] {
        int u = openOrFail(name, "r"), st;
        int64_t s64;
        pbSeek64(u, big + 16, 0, &s64);
        EXPECT_EQ(s64, big + 16);
        char q = 0;
        pbRead(u, &q, 1, &st);
        EXPECT_EQ(q, 'Q');
        // The 32-bit calls cannot express the position: an error, not a
        // wrapped number.
        pbTell(u, &st);
        EXPECT_EQ(st, -2);
        pbSeek(u, 0, 1, &st);
        EXPECT_EQ(st, -2);
        // Offset 17 with whence 0 is a real move although the position
        // agrees with it in its low 32 bits.
        pbSeek64(u, big + 17, 0, &s64);
        pbSeek(u, 17, 0, &st);
        EXPECT_EQ(st, 17);
        pbSeek64(u, 0, 1, &s64);
        EXPECT_EQ(s64, 17);
        pbClose(u, &st);
    });
    EXPECT_CHILD_OK(c);
}

// ---- Reading and writing ------------------------------------------------------------

TEST(PbioReadWrite, CountsShortReadsAndBadCounts)
{
    testutil::TempDir dir;
    std::string name = dir.file("t.bin");
    Bytes data = pattern(50);
    testutil::writeFile(name, data);
    Child c = inChild({}, [&] {
        int u = openOrFail(name, "r"), st;
        Bytes buf(64, 0xEE);
        pbRead(u, buf.data(), 20, &st);
        EXPECT_EQ(st, 20);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + 20, buf.begin()));
        pbTell(u, &st);
        EXPECT_EQ(st, 20);
        pbRead(u, buf.data(), 40, &st); // 30 left
        EXPECT_EQ(st, -1);
        pbSeek(u, 45, 0, &st);
        EXPECT_EQ(st, 45);
        pbRead(u, buf.data(), 5, &st);
        EXPECT_EQ(st, 5);
        // A negative count is refused instead of becoming a huge size.
        Bytes guard(64, 0xEE);
        pbRead(u, guard.data(), -1, &st);
        EXPECT_EQ(st, -2);
        EXPECT_EQ(guard, Bytes(64, 0xEE));
        pbClose(u, &st);

        pbTell(999, &st);
        EXPECT_EQ(st, -2);
        u = openOrFail(dir.file("w.bin"), "w");
        pbWrite(u, "abc", -3, &st);
        EXPECT_EQ(st, -1);
        pbClose(u, &st);
        EXPECT_EQ(testutil::readFile(dir.file("w.bin")).size(), 0u);
    });
    EXPECT_CHILD_OK(c);
    EXPECT_NE(c.err.find("pbread:"), std::string::npos);
    EXPECT_NE(c.err.find("pbtell:"), std::string::npos);
}

Bytes word(uint32_t v) { return {(unsigned char)(v >> 24), (unsigned char)(v >> 16), (unsigned char)(v >> 8), (unsigned char)v}; }

TEST(PbioReadWrite, FramedFileOctetForOctet)
{
    testutil::TempDir dir;
    std::string framed = dir.file("framed.bin"), raw = dir.file("raw.bin"), app = dir.file("append.bin");
    testutil::writeFile(app, {'x', 'y'});
    Child c = inChild({}, [&] {
        int u = openOrFail(framed, "w"), st;
        pbSetRaw(u, 0);
        pbWrite(u, "ABC", 3, &st);
        EXPECT_EQ(st, 3);
        pbWrite(u, "DEFGH", 5, &st);
        EXPECT_EQ(st, 5);
        pbClose(u, &st);
        EXPECT_EQ(st, 0);

        // The raw flag survives the close, and a new open sets it to raw.
        int r = openOrFail(raw, "w");
        EXPECT_EQ(r, u) << "the file layer hands out the freed unit again";
        pbWrite(r, "ABC", 3, &st);
        pbSetRaw(r, 0);
        pbSetRaw(r, 7); // any non-zero flag is raw
        pbWrite(r, "DE", 2, &st);
        pbClose(r, &st);

        // Framing in the middle of a file adds no leading zero word.
        int a = openOrFail(app, "a");
        pbSetRaw(a, 0);
        pbWrite(a, "Z", 1, &st);
        pbClose(a, &st);
    });
    EXPECT_CHILD_OK(c);
    Bytes want = concat({word(0), word(3), {'A', 'B', 'C'}, word(3), word(5), {'D', 'E', 'F', 'G', 'H'}, word(5), word(0)});
    EXPECT_EQ(testutil::readFile(framed), want);
    EXPECT_EQ(testutil::readFile(raw), (Bytes{'A', 'B', 'C', 'D', 'E'}));
    EXPECT_EQ(testutil::readFile(app), concat({{'x', 'y'}, word(1), {'Z'}, word(1), word(0)}));
}

TEST(PbioReadWrite, LostOutputIsReported)
{
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
    Child c = inChild({}, [&] {
        int u = openOrFail("/dev/full", "w"), st;
        pbWrite(u, "0123456789", 10, &st);
        EXPECT_EQ(st, 10); // buffered
        EXPECT_NE(pbFlush(u), 0);
        pbClose(u, &st);
        EXPECT_EQ(st, -1);

        u = openOrFail("/dev/full", "w");
        pbWrite(u, "0123456789", 10, &st);
        pbClose(u, &st); // the close writes the buffer and must say it failed
        EXPECT_EQ(st, -1);
    });
    EXPECT_CHILD_OK(c);
    EXPECT_NE(c.err.find("pbclose:"), std::string::npos) << c.err;
}

TEST(PbioReadWrite, UnitsNotFromPbOpenAreRefused)
{
    testutil::TempDir dir;
    std::string name = dir.file("g.bin");
    Child c = inChild({}, [&] {
        int st = 7;
        pbClose(-1, &st);
        EXPECT_EQ(st, -1);
        // Before any pbOpen there is no table at all.
        pbWrite(3, "a", 1, &st);
        EXPECT_EQ(st, -1);
        pbSetRaw(3, 0);

        int g = gribOpen(name.c_str(), "w"); // the record layer's own unit
        ASSERT_GE(g, 0);
        int u = openOrFail(dir.file("p.bin"), "w");
        EXPECT_NE(u, g);
        pbWrite(g, "abc", 3, &st);
        EXPECT_EQ(st, -1);
        pbSetRaw(g, 0);
        pbClose(g, &st);
        EXPECT_EQ(st, -1);
        EXPECT_EQ(gribWrite(g, "xyz", 3), 3) << "the file stays open for its owner";
        EXPECT_EQ(gribClose(g), 0);
        for (int bad : {u + 1, 100000, -5}) {
            pbWrite(bad, "a", 1, &st);
            EXPECT_EQ(st, -1) << bad;
            pbSetRaw(bad, 0);
            pbClose(bad, &st);
            EXPECT_EQ(st, -1) << bad;
        }
        pbClose(u, &st);
        EXPECT_EQ(st, 0);
    });
    EXPECT_CHILD_OK(c);
    EXPECT_EQ(testutil::readFile(name), (Bytes{'x', 'y', 'z'}));
}

TEST(PbioReadWrite, RawTableGrowsWithTheUnits)
{
    testutil::TempDir dir;
    Child c = inChild({}, [&] {
        std::vector<int> units;
        int st;
        for (int i = 0; i < 40; ++i) units.push_back(openOrFail(dir.file("f" + std::to_string(i)), "w"));
        for (size_t i = 0; i < units.size(); ++i) {
            pbSetRaw(units[i], (int)(i % 2));
            pbWrite(units[i], "Q", 1, &st);
            EXPECT_EQ(st, 1);
            pbClose(units[i], &st);
            EXPECT_EQ(st, 0);
        }
    });
    EXPECT_CHILD_OK(c);
    for (int i = 0; i < 40; ++i) {
        Bytes want = i % 2 ? Bytes{'Q'} : concat({word(0), word(1), {'Q'}, word(1), word(0)});
        EXPECT_EQ(testutil::readFile(dir.file("f" + std::to_string(i))), want) << i;
    }
}

// ---- Records -------------------------------------------------------------------------

TEST(PbioRecords, SizeLeavesThePositionAndGribReadsEachRecord)
{
    testutil::TempDir dir;
    std::string name = dir.file("recs.grb");
    Bytes r1 = record(40, 1), r2 = record(500, 2);
    Bytes junk(50, 0x11);
    testutil::writeFile(name, concat({junk, r1, {0, 0, 0}, r2}));
    Child c = inChild({}, [&] {
        int u = openOrFail(name, "r"), st, size = -1, recsize = -1;
        pbSize(u, &size);
        EXPECT_EQ(size, (int)r1.size());
        pbTell(u, &st);
        EXPECT_EQ(st, 0);

        Bytes buf(2000, 0);
        pbGrib(u, buf.data(), (int)buf.size(), &recsize, &st);
        EXPECT_EQ(st, 0);
        EXPECT_EQ(recsize, (int)r1.size());
        EXPECT_TRUE(std::equal(r1.begin(), r1.end(), buf.begin()));
        pbTell(u, &st);
        EXPECT_EQ(st, (int)(junk.size() + r1.size()));

        pbSize(u, &size);
        EXPECT_EQ(size, (int)r2.size());
        // A buffer too small: -3, the full length, the record's beginning.
        std::fill(buf.begin(), buf.end(), 0);
        pbGrib(u, buf.data(), 100, &recsize, &st);
        EXPECT_EQ(st, -3);
        EXPECT_EQ(recsize, (int)r2.size());
        EXPECT_TRUE(std::equal(r2.begin(), r2.begin() + 100, buf.begin()));
        EXPECT_EQ(buf[100], 0) << "nothing written past the given size";

        pbSize(u, &size);
        EXPECT_EQ(size, 0);
        pbGrib(u, buf.data(), (int)buf.size(), &recsize, &st);
        EXPECT_EQ(st, -1);
        EXPECT_EQ(recsize, 0);
        pbClose(u, &st);
    });
    EXPECT_CHILD_OK(c);
    EXPECT_EQ(c.out, "") << "no record-not-found line for a plain end of file";
}

TEST(PbioRecords, CutRecordsAndBadBufferSizes)
{
    testutil::TempDir dir;
    std::string name = dir.file("cut.grb");
    Bytes r = record(300, 3);
    Bytes cut(r.begin(), r.begin() + 200);
    testutil::writeFile(name, cut);
    Child c = inChild({}, [&] {
        int u = openOrFail(name, "r"), st, recsize;
        Bytes buf(1000, 0);
        // The record scanner's own code: a short read.
        gribread(buf.data(), 1000, &recsize, &st, u);
        EXPECT_EQ(st, 1);
        EXPECT_EQ(recsize, (int)r.size());
        // pbGrib does not pass a cut record off as a success.
        pbSeek(u, 0, 0, &st);
        pbGrib(u, buf.data(), 1000, &recsize, &st);
        EXPECT_EQ(st, -2);
        // A negative size is a buffer with no room, not a huge one.
        pbSeek(u, 0, 0, &st);
        Bytes guard(16, 0xEE);
        pbGrib(u, guard.data(), -1, &recsize, &st);
        EXPECT_EQ(st, -3);
        EXPECT_EQ(recsize, (int)r.size());
        EXPECT_EQ(guard, Bytes(16, 0xEE));
        pbSeek(u, 0, 0, &st);
        gribread(guard.data(), -8, &recsize, &st, u);
        EXPECT_EQ(guard, Bytes(16, 0xEE));
        pbClose(u, &st);
    });
    EXPECT_CHILD_OK(c);
}

TEST(PbioRecords, NoRecordWithinTheSearchLimit)
{
    testutil::TempDir dir;
    std::string name = dir.file("junk.bin");
    testutil::writeFile(name, concat({Bytes(0x1000000 + 10, 0), record(10, 4)}));
    Child c = inChild({}, [&] {
        int u = openOrFail(name, "r"), st, size = -1;
        pbSize(u, &size);
        EXPECT_EQ(size, 0);
        pbTell(u, &st);
        EXPECT_EQ(st, 0);
        pbClose(u, &st);
    });
    EXPECT_CHILD_OK(c);
    EXPECT_EQ(c.out, "GRIB record not found\n");
}

TEST(PbioRecords, EveryRecordOfRealFiles)
{
    // The bundled sample and records written by ecCodes, back to back with
    // padding between them; each must come back octet for octet.
    std::vector<Bytes> recs;
    Bytes sample = testutil::readFile(std::string(VALMORA_TEST_DATA) + "/sample.grb");
    ASSERT_FALSE(sample.empty());
    const char *samples[] = {"regular_ll_sfc_grib1.tmpl", "GRIB2.tmpl", "reduced_gg_pl_32_grib1.tmpl",
                             "regular_gg_ml_grib1.tmpl", "sh_ml_grib2.tmpl"};
    for (const char *s : samples) {
        Bytes b = testutil::readFile(std::string("/usr/share/eccodes/samples/") + s);
        if (!b.empty()) recs.push_back(b);
    }
    if (recs.empty()) GTEST_SKIP() << "ecCodes samples are not installed";
    testutil::TempDir dir;
    std::string name = dir.file("multi.grb");
    Bytes file = sample;
    for (const Bytes &b : recs) {
        file.insert(file.end(), b.begin(), b.end());
        file.insert(file.end(), 13, 0);
    }
    testutil::writeFile(name, file);

    size_t sampleCount = 0;
    if (testutil::haveCommand("grib_count")) {
        auto r = testutil::run("grib_count '" + std::string(VALMORA_TEST_DATA) + "/sample.grb'");
        sampleCount = (size_t)atol(r.out.c_str());
    }
    Child c = inChild({}, [&] {
        int u = openOrFail(name, "r"), st, recsize, size;
        Bytes buf(1 << 20);
        std::vector<Bytes> got;
        for (;;) {
            pbSize(u, &size);
            pbGrib(u, buf.data(), (int)buf.size(), &recsize, &st);
            if (st == -1) break;
            ASSERT_EQ(st, 0);
            EXPECT_EQ(size, recsize);
            got.emplace_back(buf.begin(), buf.begin() + recsize);
        }
        ASSERT_GE(got.size(), recs.size());
        size_t first = got.size() - recs.size();
        if (sampleCount) {
            EXPECT_EQ(first, sampleCount);
        }
        Bytes joined;
        for (size_t i = 0; i < first; ++i) joined.insert(joined.end(), got[i].begin(), got[i].end());
        EXPECT_EQ(joined.size(), sample.size()) << "the sample is its records and nothing else";
        for (size_t i = 0; i < recs.size(); ++i) EXPECT_EQ(got[first + i], recs[i]) << i;
        pbClose(u, &st);
    });
    EXPECT_CHILD_OK(c);
}

} // namespace
