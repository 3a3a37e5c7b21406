// recpack / recunpack with several workers, and the carry-over rule: the
// same output for every worker count, every octet of the input carried over,
// each way of losing data that the program once had, damage in packed
// records, argument forms and the progress line.
#include "pack_util.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <valmora.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef VALMORA_HAVE_ECCODES_API
#include "recpack_util.h"
#endif

using namespace testutil;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VALMORA_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VALMORA_SANITIZED 1
#endif
#endif

namespace {

const std::string build = VALMORA_BUILD_DIR;

// A preloaded library comes before a sanitizer's runtime: tell it so.
const std::string preloadOk = "ASAN_OPTIONS=verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS} ";
// These tests are of the code-128 form, which --compat keeps as it was.
const std::string recpackBin = build + "/recpack";
const std::string recpack = recpackBin + " --compat";
const std::string recunpack = build + "/recunpack";

using Result = ProgramResult;

size_t count(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

// The program's own lines, which come in file order whatever the number of
// workers (the library's messages come as the workers meet them).
std::string ownLines(const std::string &err)
{
    std::string own;
    size_t at = 0;
    while (at < err.size()) {
        size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        std::string line = err.substr(at, end - at);
        if (line.rfind("recpack: ", 0) == 0 || line.rfind("recunpack: ", 0) == 0) own += line;
        at = end;
    }
    return own;
}

bool contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// An edition 1 record with a bit map: every third point missing.
Bytes bitmapRecord(size_t n, int bits)
{
    Bytes bms(6 + (n + 7) / 8, 0);
    std::vector<uint32_t> v;
    for (size_t i = 0; i < n; ++i)
        if (i % 3) {
            bms[6 + i / 8] |= (unsigned char)(0x80 >> (i % 8));
            v.push_back((uint32_t)(1000 + 900 * std::sin((double)i / 80.0)));
        }
    return grib1(pds28(11), {}, bms, simpleBds(v, bits));
}

// Edition 0: a 4-octet indicator, then the definition section whose length
// (24) stands where edition 1 keeps the record's.
Bytes edition0Record(size_t n)
{
    std::vector<uint32_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (uint32_t)(20000 + 10000 * std::cos((double)i / 90.0));
    Bytes pds(24, 0);
    pds[2] = 24;
    pds[3] = 3;
    Bytes bds = simpleBds(v, 16);
    put3(bds, 0, (uint32_t)bds.size());
    Bytes rec = {'G', 'R', 'I', 'B'};
    rec.insert(rec.end(), pds.begin(), pds.end());
    rec.insert(rec.end(), bds.begin(), bds.end());
    rec.insert(rec.end(), {'7', '7', '7', '7'});
    return rec;
}

Bytes edition2Record()
{
    return {'G', 'R', 'I', 'B', 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 21, 0, '7', '7', '7', '7'};
}

// A record in the large form: longer than 8,388,608 octets, its length in
// units of 120 in the indicator and the correction in the data section.
Bytes largeRecord()
{
    Bytes rec = fieldRecord(4194300, 16, 7);
    size_t T = rec.size();
    size_t R = (T + 119) / 120 * 120;
    put3(rec, 4, (uint32_t)(0x800000 + R / 120));
    put3(rec, 8 + 28, (uint32_t)(R - T + 4));
    return rec;
}

const std::string wmoHeading = "\x01\r\r\n123\r\r\nHTXA98 KWBC 091200\r\r\n";
const std::string wmoTrailer = "\r\r\n\x03";

void append(Bytes &to, const Bytes &b) { to.insert(to.end(), b.begin(), b.end()); }
void append(Bytes &to, const std::string &s) { to.insert(to.end(), s.begin(), s.end()); }

// Editions 0, 1 and 2, several widths, a bit map, a large-form record,
// damaged and cut records, junk and WMO headings between records.
Bytes mixedFile(bool large)
{
    Bytes f(12000, 'i'); // an index before the first record
    int k = 0;
    for (int bits : {8, 12, 16, 24, 32}) {
        append(f, wmoHeading);
        ++k;
        append(f, fieldRecord(3000 + 700 * (size_t)k, bits, (unsigned)k));
        append(f, wmoTrailer);
        append(f, bitmapRecord(5000, bits));
        f.insert(f.end(), 8, 0);
    }
    append(f, edition0Record(4000));
    append(f, edition2Record());
    Bytes damaged = fieldRecord(2500, 16, 9); // data-section length disagrees with its end
    put3(damaged, 8 + 28, get3(damaged, 8 + 28) - 2);
    append(f, damaged);
    Bytes cut = fieldRecord(6000, 16, 11);
    f.insert(f.end(), cut.begin(), cut.begin() + (long)cut.size() / 2);
    append(f, fieldRecord(4444, 16, 12));
    if (large) append(f, largeRecord());
#ifdef VALMORA_HAVE_ECCODES_API
    using recpackutil::FieldDesc;
    for (int bits : {8, 16, 24}) {
        const FieldDesc descs[] = {
            {"reduced_gg_pl_32_grib1", bits, nullptr, true, 0, 139, (unsigned)bits},
            {"sh_ml_grib1", bits, "spectral_simple", false, 0, 155, (unsigned)bits + 1},
            {"sh_ml_grib1", bits, nullptr, false, 63, 130, (unsigned)bits + 2},
        };
        for (const FieldDesc &d : descs) append(f, recpackutil::makeRecord(d));
    }
#endif
    append(f, std::string("7,571 trailing octets of something else"));
    return f;
}

// The file as a list of records and stretches, zero padding between records
// left out: what must survive any number of packing and unpacking runs.
std::vector<Bytes> carried(const Bytes &f)
{
    std::vector<Bytes> parts;
    Bytes stretch;
    auto endStretch = [&] {
        auto nz = std::find_if(stretch.begin(), stretch.end(), [](unsigned char c) { return c != 0; });
        if (nz != stretch.end()) parts.emplace_back(nz, stretch.end());
        stretch.clear();
    };
    size_t pos = 0;
    while (pos < f.size()) {
        size_t off, len;
        int s = gribFindRecord(f.data() + pos, f.size() - pos, &off, &len);
        if (s == -1) {
            stretch.insert(stretch.end(), f.begin() + (long)pos, f.end());
            break;
        }
        stretch.insert(stretch.end(), f.begin() + (long)pos, f.begin() + (long)(pos + off));
        pos += off;
        if (s != 0) {
            stretch.insert(stretch.end(), f.begin() + (long)pos, f.begin() + (long)pos + 4);
            pos += 4;
            continue;
        }
        endStretch();
        parts.emplace_back(f.begin() + (long)pos, f.begin() + (long)(pos + len));
        pos += len;
    }
    endStretch();
    return parts;
}

} // namespace

TEST(RecpackPar, SameOutputForEveryWorkerCount)
{
    TempDir tmp;
    Bytes in = mixedFile(true);
    writeFile(tmp.file("in"), in);
    Result one = runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z1"), tmp);
    ASSERT_EQ(one.status, 0) << one.err;
    // The index, the headings and trailers, the damaged and the cut record
    // and the trailing text each make one line.
    EXPECT_NE(one.err.find("recpack: 12031 octets at offset 0 hold no GRIB record"), std::string::npos)
        << one.err;
    EXPECT_EQ(count(one.err, "is damaged; copied as read"), 1u) << one.err;
    // Restoring, the damaged record may hold packed data that stays packed.
    Result back = runProgram(recunpack + " " + tmp.file("z1") + " " + tmp.file("u1"), tmp);
    ASSERT_EQ(back.status, 1) << back.err;
    EXPECT_EQ(count(back.err, "is damaged; copied as read"), 1u) << back.err;
    Bytes z1 = readFile(tmp.file("z1")), u1 = readFile(tmp.file("u1"));
    EXPECT_LT(z1.size(), in.size());
    for (int n : {2, 3, 8}) {
        std::string z = tmp.file("z" + std::to_string(n)), u = tmp.file("u" + std::to_string(n));
        Result r = runProgram(recpack + " -P " + std::to_string(n) + " " + tmp.file("in") + " " + z, tmp);
        EXPECT_EQ(r.status, 0) << n;
        EXPECT_EQ(ownLines(r.err), ownLines(one.err));
        EXPECT_TRUE(readFile(z) == z1) << "recpack -P " << n;
        r = runProgram(recunpack + " -P " + std::to_string(n) + " " + tmp.file("z1") + " " + u, tmp);
        EXPECT_EQ(r.status, 1) << n;
        EXPECT_EQ(ownLines(r.err), ownLines(back.err));
        EXPECT_TRUE(readFile(u) == u1) << "recunpack -P " << n;
    }
    // Carried over: every record and every stretch, in its place.
    std::vector<Bytes> want = carried(in), got = carried(u1);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) EXPECT_TRUE(got[k] == want[k]) << "part " << k;
    // And again: a second round neither loses nor adds an octet.
    runProgram(recpack + " -P 2 " + tmp.file("u1") + " " + tmp.file("z2b"), tmp);
    runProgram(recunpack + " -P 2 " + tmp.file("z2b") + " " + tmp.file("u2b"), tmp);
    EXPECT_TRUE(carried(readFile(tmp.file("u2b"))) == want);

    // A text file holds no record: it comes back as it was.
    Bytes text;
    for (int i = 0; i < 2000; ++i) append(text, "line " + std::to_string(i) + " of a file that is no GRIB\n");
    writeFile(tmp.file("text"), text);
    EXPECT_EQ(runProgram(recpack + " -P 3 " + tmp.file("text") + " " + tmp.file("tz"), tmp).status, 0);
    EXPECT_EQ(runProgram(recunpack + " " + tmp.file("tz") + " " + tmp.file("tu"), tmp).status, 0);
    EXPECT_TRUE(readFile(tmp.file("tu")) == text);
}

TEST(RecpackPar, LossesOfTheOldProgram)
{
    TempDir tmp;
    Bytes a = fieldRecord(5000, 16, 1), b = fieldRecord(6000, 16, 2), c = fieldRecord(7000, 16, 3);
    // A length field 1 to 3 octets too long, or of 1 to 3: the record frames
    // no record and is carried over as it stands; the next one is intact.
    for (long delta : {1L, 2L, 3L}) {
        for (bool tiny : {false, true}) {
            Bytes bad = a;
            put3(bad, 4, tiny ? (uint32_t)delta : (uint32_t)(a.size() + (size_t)delta));
            Bytes in = bad;
            append(in, b);
            append(in, c);
            writeFile(tmp.file("in"), in);
            Result r = runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z"), tmp);
            EXPECT_EQ(r.status, 0) << delta;
            EXPECT_EQ(count(r.err, "hold no GRIB record"), 1u) << r.err;
            runProgram(recunpack + " " + tmp.file("z") + " " + tmp.file("u"), tmp);
            std::vector<Bytes> got = carried(readFile(tmp.file("u")));
            ASSERT_EQ(got.size(), 3u) << delta << tiny;
            EXPECT_TRUE(got[0] == bad);
            EXPECT_TRUE(got[1] == b);
            EXPECT_TRUE(got[2] == c);
        }
    }

    // A marker lying across the end of a 16 MB stretch without markers.
    Bytes in(0x1000000 - 2, 'x');
    append(in, a);
    writeFile(tmp.file("in"), in);
    Result r = runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "recpack: 16777214 octets at offset 0 hold no GRIB record; copied as they stand\n");
    runProgram(recunpack + " " + tmp.file("z") + " " + tmp.file("u"), tmp);
    EXPECT_TRUE(carried(readFile(tmp.file("u"))) == carried(in));

    // A file of nothing but markers: one line, and (linear time) done at once.
    Bytes markers;
    for (int i = 0; i < 1000000; ++i) append(markers, std::string("GRIB"));
    writeFile(tmp.file("markers"), markers);
    r = runProgram(recpack + " -P 2 " + tmp.file("markers") + " " + tmp.file("z"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "recpack: 4000000 octets at offset 0 hold no GRIB record; copied as they stand\n");
    EXPECT_TRUE(readFile(tmp.file("z")) == markers);

    // More file arguments than the form uses: refused, nothing touched.
    writeFile(tmp.file("keep"), a);
    const std::string refused[] = {" a b c", " -P 2 a b c", " " + tmp.file("in") + " " + tmp.file("keep") + " x"};
    for (const std::string &args : refused) {
        r = runProgram(recpack + args, tmp);
        EXPECT_EQ(r.status, 255) << args;
        EXPECT_EQ(r.err, "usage : recpack [-P <nthread>] [--compat] [--grib2]  ifile  ofile\n");
    }
    EXPECT_TRUE(readFile(tmp.file("keep")) == a);

    // A directory as input: an error, and the output is not even created.
    r = runProgram(recunpack + " " + tmp.path + " " + tmp.file("dirout"), tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Open failed on " + tmp.path + "\n" + strerror(EISDIR) + "\n");
    EXPECT_NE(access(tmp.file("dirout").c_str(), F_OK), 0);
}

TEST(RecpackPar, PipesInOddChunks)
{
    TempDir tmp;
    Bytes in = mixedFile(false);
    writeFile(tmp.file("in"), in);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("want"), tmp).status, 0);
    Bytes want = readFile(tmp.file("want"));
    std::string fifo = tmp.file("fifo");
    for (size_t chunk : {1u, 3u, 6007u, 65537u}) {
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(fifo.c_str(), O_WRONLY);
            for (size_t at = 0; fd >= 0 && at < in.size(); at += chunk) {
                size_t n = std::min(chunk, in.size() - at);
                if (write(fd, in.data() + at, n) != (ssize_t)n) _exit(1);
            }
            _exit(0);
        }
        Result r = runProgram(recpack + " -P 3 " + fifo + " " + tmp.file("got"), tmp);
        int st = 0;
        waitpid(pid, &st, 0);
        unlink(fifo.c_str());
        EXPECT_EQ(r.status, 0) << chunk;
        EXPECT_TRUE(readFile(tmp.file("got")) == want) << "chunks of " << chunk;
    }
    // Standard input works the same way.
    Result r = runProgram("cat " + tmp.file("in") + " | " + recpack + " /dev/stdin " + tmp.file("got"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(readFile(tmp.file("got")) == want);
    // Restoring from a pipe (read) gives what restoring the file (mapped) does.
    Result u = runProgram(recunpack + " -P 2 " + tmp.file("want") + " " + tmp.file("back"), tmp);
    r = runProgram("cat " + tmp.file("want") + " | " + recunpack + " -P 2 /dev/stdin " + tmp.file("piped"), tmp);
    EXPECT_EQ(r.status, u.status);
    EXPECT_EQ(ownLines(r.err), ownLines(u.err));
    EXPECT_TRUE(readFile(tmp.file("piped")) == readFile(tmp.file("back")));
}

// Records longer than a read go to the workers in buffers of their own:
// one that turns out not to frame gives its octets back to the search, one
// cut by the end of the input is carried over, from a file and from a pipe.
TEST(RecpackPar, LongRecordsInBuffersOfTheirOwn)
{
    TempDir tmp;
    Bytes longA = fieldRecord(700000, 16, 21), longB = fieldRecord(900000, 16, 22), small = fieldRecord(3000, 16, 23);
    Bytes unframed = fieldRecord(650000, 16, 24);
    unframed[unframed.size() - 1] = '0'; // no end section where its length says
    Bytes in = longA;
    append(in, unframed);
    append(in, longB);
    append(in, small);
    append(in, longA);
    in.insert(in.end(), longB.begin(), longB.begin() + (long)longB.size() / 2);
    writeFile(tmp.file("in"), in);

    Result one = runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z1"), tmp);
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(count(one.err, "hold no GRIB record"), 2u) << one.err;
    Bytes z1 = readFile(tmp.file("z1"));
    Result r = runProgram(recpack + " -P 3 " + tmp.file("in") + " " + tmp.file("z3"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(readFile(tmp.file("z3")) == z1);

    std::string fifo = tmp.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(fifo.c_str(), O_WRONLY);
        for (size_t at = 0; fd >= 0 && at < in.size(); at += 65537) {
            size_t n = std::min<size_t>(65537, in.size() - at);
            if (write(fd, in.data() + at, n) != (ssize_t)n) _exit(1);
        }
        _exit(0);
    }
    r = runProgram(recpack + " -P 2 " + fifo + " " + tmp.file("zp"), tmp);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(readFile(tmp.file("zp")) == z1) << "from a pipe";

    ASSERT_EQ(runProgram(recunpack + " -P 2 " + tmp.file("z1") + " " + tmp.file("u"), tmp).status, 0);
    std::vector<Bytes> got = carried(readFile(tmp.file("u"))), want = carried(in);
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) EXPECT_TRUE(got[k] == want[k]) << "part " << k;
    EXPECT_TRUE(got[0] == longA);
    EXPECT_TRUE(got[2] == longB);
}

#ifdef VALMORA_PROGRAM_SHIM
TEST(RecpackPar, ReadErrorIsNoEndOfFile)
{
    TempDir tmp;
    Bytes in;
    for (int k = 0; k < 13; ++k) append(in, fieldRecord(20000, 16, (unsigned)k + 1));
    writeFile(tmp.file("in"), in);
    char real[PATH_MAX];
    ASSERT_NE(realpath(tmp.file("in").c_str(), real), nullptr);
    size_t after = in.size() / 2;
    // Read, or mapped and then cut short (the shim cuts it: written anew
    // each time).
    for (const char *mode : {"", "EIO_MAP=1 "})
        for (const std::string &prog : {recpack, recunpack}) {
            writeFile(tmp.file("in"), in);
            Result r = runProgram(preloadOk + mode + "EIO_FILE='" + std::string(real) + "' EIO_AFTER=" +
                                      std::to_string(after) + " LD_PRELOAD=" + VALMORA_PROGRAM_SHIM + " " + prog +
                                      " -P 2 " + tmp.file("in") + " " + tmp.file("out"),
                                  tmp);
            EXPECT_EQ(r.status, 1) << mode << prog;
            EXPECT_NE(r.err.find("read failed on " + tmp.file("in")), std::string::npos) << mode << r.err;
            EXPECT_NE(r.err.find(strerror(EIO)), std::string::npos) << r.err;
            EXPECT_NE(r.out.find("wall="), std::string::npos);
            // The records before the failure came through as they were.
            if (prog == recunpack) {
                std::vector<Bytes> got = carried(readFile(tmp.file("out"))), want = carried(in);
                ASSERT_GE(got.size(), 3u) << mode;
                for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(got[k] == want[k]) << mode << "record " << k;
            }
        }
}
#endif

TEST(RecpackPar, ArgumentForms)
{
    TempDir tmp;
    Bytes in;
    for (int k = 0; k < 6; ++k) append(in, fieldRecord(3000, 16, (unsigned)k + 1));
    writeFile(tmp.file("in"), in);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("want"), tmp).status, 0);
    Bytes want = readFile(tmp.file("want"));
    for (const char *n : {"0", "4", "1024"}) {
        Result r = runProgram(recpack + " -P " + n + " " + tmp.file("in") + " " + tmp.file("out"), tmp);
        EXPECT_EQ(r.status, 0) << n;
        EXPECT_TRUE(readFile(tmp.file("out")) == want) << n;
    }
    for (const char *bad : {"-P x", "-P -1", "-P 2000", "-P 1025", "-P ''", "-Q 4", "-P 4x"}) {
        Result r = runProgram(recunpack + " " + bad + " " + tmp.file("in") + " " + tmp.file("bad"), tmp);
        EXPECT_EQ(r.status, 255) << bad;
        EXPECT_EQ(r.err, "usage : recunpack [-P <nthread>] [--compat] [--grib2]  ifile  ofile\n") << bad;
        EXPECT_NE(access(tmp.file("bad").c_str(), F_OK), 0) << bad;
    }
    for (const std::string &prog : {recpackBin, recunpack}) {
        Result r = runProgram(prog + " --help", tmp);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind("usage : " + prog.substr(prog.rfind('/') + 1) + " [-P <nthread>] [--compat] [--grib2]  ifile  ofile\n", 0),
                  0u)
            << r.out;
        r = runProgram(prog + " --version", tmp);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(gribLibraryVersion()), std::string::npos) << r.out;
    }
}

TEST(RecpackPar, ProgressOnlyOnATerminal)
{
    if (!haveCommand("script")) GTEST_SKIP() << "script (bsdutils) not installed";
    TempDir tmp;
    Bytes in;
    for (int k = 0; k < 20; ++k) append(in, fieldRecord(30000, 16, (unsigned)k + 1));
    writeFile(tmp.file("in"), in);
    Result r = runProgram(recpack + " -P 2 " + tmp.file("in") + " " + tmp.file("out"), tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Under a pseudo-terminal: the line is shown, then erased before the
    // timing lines.
    r = runProgram("script -qc '" + recpack + " -P 2 " + tmp.file("in") + " " + tmp.file("out2") + "' /dev/null",
                   tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(" records, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("% done"), std::string::npos) << r.out;
    size_t erased = r.out.rfind("\r\033[K");
    ASSERT_NE(erased, std::string::npos);
    EXPECT_LT(erased, r.out.find("tall="));
    EXPECT_TRUE(readFile(tmp.file("out2")) == readFile(tmp.file("out")));
}

#ifdef VALMORA_PROGRAM_SHIM
TEST(RecpackPar, MemoryStaysBounded)
{
#ifdef VALMORA_SANITIZED
    GTEST_SKIP() << "a sanitizer's shadow memory is no measure of the program's";
#endif
    TempDir tmp;
    Bytes in;
    const size_t values = 1000000; // 2 MB restored records
    for (int k = 0; k < 16; ++k) append(in, fieldRecord(values, 16, (unsigned)k + 1));
    writeFile(tmp.file("in"), in);
    const long largest = (long)(values * 2 / 1024);
    auto peak = [&](const std::string &cmd) {
        std::string env = preloadOk + "PEAK_FILE=" + tmp.file("peak") + " LD_PRELOAD=" + VALMORA_PROGRAM_SHIM + " ";
        EXPECT_EQ(runProgram(env + cmd, tmp).status, 0) << cmd;
        Bytes kb = readFile(tmp.file("peak"));
        return atol(std::string(kb.begin(), kb.end()).c_str());
    };
    for (int n : {1, 2, 4}) {
        std::string P = " -P " + std::to_string(n) + " ";
        long bound = (4 * n + 4) * largest + 16 * 1024;
        EXPECT_LT(peak(recpack + P + tmp.file("in") + " " + tmp.file("z")), bound) << "recpack -P " << n;
        EXPECT_LT(peak(recunpack + P + tmp.file("z") + " " + tmp.file("u")), bound) << "recunpack -P " << n;
    }
}
#endif

// Damage in packed records: a flipped bit in the compressed data or in BDS
// octets 1 to 23 (the szip-form flag aside) is reported, the record is left
// packed and the status is 1; nothing is ever altered silently.
TEST(RecpackPar, FlipsInPackedRecords)
{
    TempDir tmp;
    std::vector<Bytes> originals;
    Bytes in;
    for (int k = 0; k < 3; ++k) {
        originals.push_back(fieldRecord(4000 + 1000 * (size_t)k, k == 1 ? 24 : 16, (unsigned)k + 1));
        append(in, originals.back());
    }
    writeFile(tmp.file("in"), in);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("in") + " " + tmp.file("z"), tmp).status, 0);
    Bytes packed = readFile(tmp.file("z"));
    std::vector<size_t> starts; // packed records and where their data sections start
    for (size_t i = 0; i + 4 <= packed.size(); ++i)
        if (memcmp(&packed[i], "GRIB", 4) == 0) starts.push_back(i);
    ASSERT_EQ(starts.size(), 3u);
    const size_t bds = 8 + 28;
    if (packed[starts[0] + bds + 11] == 0 && packed[starts[0] + bds + 12] == 0)
        GTEST_SKIP() << "this library writes no check into packed records";

    uint32_t s = 2024;
    size_t reported = 0;
    for (int trial = 0; trial < 300; ++trial) {
        s = s * 1103515245u + 12345u;
        size_t k = (s >> 8) % 3;
        size_t rec = starts[k];
        size_t reclen = get3(packed, rec + 4);
        size_t bdslen = reclen - bds - 4;
        s = s * 1103515245u + 12345u;
        size_t at = rec + bds + (s >> 8) % bdslen;
        int bit = (int)(s % 8);
        if (at == rec + bds + 3 && bit == 4) continue; // the szip-form flag itself
        Bytes bad = packed;
        bad[at] ^= (unsigned char)(1u << bit);
        writeFile(tmp.file("bad"), bad);
        Result r = runProgram(recunpack + " -P 2 " + tmp.file("bad") + " " + tmp.file("u"), tmp);
        Bytes u = readFile(tmp.file("u"));
        Bytes flipped(bad.begin() + (long)rec, bad.begin() + (long)(rec + reclen));
        bool restored = contains(u, originals[k]);
        bool keptPacked = contains(u, flipped);
        EXPECT_TRUE(restored || keptPacked) << "octet " << at - rec - bds + 1 << " bit " << bit << ": altered";
        if (!restored) {
            ++reported;
            EXPECT_EQ(r.status, 1) << "octet " << at - rec - bds + 1 << " bit " << bit;
            EXPECT_NE(r.err.find("offset " + std::to_string(rec)), std::string::npos) << r.err;
        }
        for (size_t j = 0; j < 3; ++j)
            if (j != k) {
                EXPECT_TRUE(contains(u, originals[j]));
            }
    }
    EXPECT_GT(reported, 250u);
}

// Run in a ThreadSanitizer build: four workers packing and restoring at once.
TEST(RecpackThreads, FourWorkersPackAndRestore)
{
    TempDir tmp;
    Bytes in;
    for (int k = 0; k < 40; ++k) {
        append(in, fieldRecord(2000 + 37 * (size_t)k, 16, (unsigned)k + 1));
        if (k % 7 == 0) append(in, wmoHeading);
    }
    writeFile(tmp.file("in"), in);
    Result one = runProgram(recpack + " -P 1 " + tmp.file("in") + " " + tmp.file("z1"), tmp);
    ASSERT_EQ(one.status, 0) << one.err;
    Result four = runProgram(recpack + " -P 4 " + tmp.file("in") + " " + tmp.file("z4"), tmp);
    EXPECT_EQ(four.status, 0) << four.err;
    EXPECT_EQ(ownLines(four.err), ownLines(one.err));
    EXPECT_TRUE(readFile(tmp.file("z4")) == readFile(tmp.file("z1")));
    Result back = runProgram(recunpack + " -P 4 " + tmp.file("z4") + " " + tmp.file("u4"), tmp);
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(carried(readFile(tmp.file("u4"))) == carried(in));
}

// The in-memory framing agrees with the stream sizing of the same octets,
// and says what it needs when the octets end early.
TEST(FindRecord, FramesAsTheStreamSizes)
{
    TempDir tmp;
    const Bytes recs[] = {fieldRecord(3000, 16, 1), bitmapRecord(4000, 24), edition0Record(2000),
                          edition2Record(), largeRecord()};
    for (const Bytes &rec : recs) {
        Bytes f(37, 'x');
        append(f, rec);
        writeFile(tmp.file("one"), f);
        int id = gribOpen(tmp.file("one").c_str(), "r");
        ASSERT_GE(id, 0);
        size_t streamed = gribGetSize(id);
        gribClose(id);
        size_t off = 0, len = 0;
        EXPECT_EQ(gribFindRecord(f.data(), f.size(), &off, &len), 0);
        EXPECT_EQ(off, 37u);
        EXPECT_EQ(len, rec.size());
        EXPECT_EQ(len, streamed);
        // Every shorter prefix asks for more, never for less than it holds.
        for (size_t cut : {size_t(37 + 4), size_t(37 + 8), size_t(37 + 15), size_t(37 + 40), 37 + rec.size() / 2, f.size() - 1}) {
            if (cut >= f.size()) continue;
            int s = gribFindRecord(f.data(), cut, &off, &len);
            EXPECT_EQ(s, 1) << cut;
            EXPECT_GT(off + len, cut) << cut;
        }
    }
    size_t off = 0, len = 0;
    const unsigned char none[] = "no marker here, GRI";
    EXPECT_EQ(gribFindRecord(none, sizeof none - 1, &off, &len), -1);
    EXPECT_EQ(off, sizeof none - 1 - 3); // "GRI" may begin a marker
    EXPECT_EQ(gribFindRecord(none, 2, &off, &len), -1);
    EXPECT_EQ(off, 0u);
    // Lengths of 1 to 3, an unsupported edition, no end section where the
    // lengths say: no record.
    Bytes rec = fieldRecord(1000, 16, 3);
    for (uint32_t L : {1u, 2u, 3u, (uint32_t)rec.size() + 1}) {
        Bytes bad = rec;
        put3(bad, 4, L);
        bad.resize(rec.size() + 8, 0);
        EXPECT_EQ(gribFindRecord(bad.data(), bad.size(), &off, &len), -2) << L;
        EXPECT_EQ(off, 0u);
    }
    Bytes e3 = rec;
    e3[7] = 3;
    EXPECT_EQ(gribFindRecord(e3.data(), e3.size(), &off, &len), -2);
}
