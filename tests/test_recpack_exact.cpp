// recunpack(recpack(x)) == x octet for octet, whatever lies between the
// records; damage that hides a packed record, and an input written during
// the run, end with status 1; what the program says, and where.
#include "pack_util.h"

#include <gtest/gtest.h>

#include <valmora.h>

#include <atomic>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace testutil;

namespace {

// These tests are of the code-128 form, which --compat keeps as it was.
const std::string recpack = std::string(VALMORA_BUILD_DIR) + "/recpack --compat";
const std::string recunpack = std::string(VALMORA_BUILD_DIR) + "/recunpack";

void add(Bytes &to, const Bytes &b) { to.insert(to.end(), b.begin(), b.end()); }

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A record of 1,001 octets with 12-bit data: copied by recpack, and padded.
Bytes oddRecord()
{
    Bytes bds = simpleBds(std::vector<uint32_t>(630, 123), 12);
    bds.resize(1001 - 8 - 28 - 4, 0);
    return grib1(pds28(), {}, {}, bds);
}

// The inputs the rule must hold for: a binary header whose first word is a
// record count, zero and other gaps, unpadded and padded records, a record
// in the szip-free large form's neighbourhood of lengths aside, damaged and
// cut records, and trailing octets.
std::vector<std::pair<std::string, Bytes>> inputs()
{
    std::vector<std::pair<std::string, Bytes>> all;
    Bytes a = fieldRecord(5000, 16, 1), b = fieldRecord(6001, 24, 2), c = fieldRecord(3333, 8, 3), odd = oddRecord();
    Bytes header(12000, 0);
    header[3] = 0x16;
    for (size_t i = 4; i < header.size(); i += 7) header[i] = (unsigned char)i;
    Bytes x = header;
    for (const Bytes *r : {&a, &b, &c, &odd}) {
        add(x, *r);
        x.insert(x.end(), 84, 0);
    }
    all.emplace_back("header and zero gaps", x);

    x.clear();
    for (const Bytes *r : {&odd, &a, &odd, &b}) add(x, *r);
    add(x, Bytes{'N', 'N', 'N', 0, 0, 0});
    add(x, c);
    x.insert(x.end(), 3, 0); // trailing zeros: no padding of any record
    all.emplace_back("unpadded records, a gap, trailing zeros", x);

    x.clear();
    Bytes damaged = fieldRecord(2500, 16, 9); // data-section length disagrees with its end
    put3(damaged, 8 + 28, get3(damaged, 8 + 28) - 2);
    add(x, Bytes(5, 0));
    add(x, a);
    x.insert(x.end(), 8 - a.size() % 8, 0); // padded as a writer pads
    add(x, damaged);
    add(x, b);
    add(x, Bytes{'t', 'r', 'a', 'i', 'l'});
    add(x, Bytes(c.begin(), c.begin() + (long)c.size() / 2)); // cut at the end
    all.emplace_back("damaged, padded and cut records, trailing octets", x);
    return all;
}

TEST(RecpackExact, TheFileComesBackOctetForOctet)
{
    TempDir tmp;
    for (const auto &[what, x] : inputs()) {
        writeFile(tmp.file("x"), x);
        for (int n : {1, 2, 8}) {
            const std::string P = " -P " + std::to_string(n) + " ";
            ProgramResult p = runProgram(recpack + P + tmp.file("x") + " " + tmp.file("z"), tmp);
            ASSERT_EQ(p.status, 0) << what << p.err;
            ProgramResult u = runProgram(recunpack + P + tmp.file("z") + " " + tmp.file("u"), tmp);
            EXPECT_EQ(u.status, 0) << what << u.err;
            EXPECT_TRUE(readFile(tmp.file("u")) == x) << what << ", -P " << n;
            EXPECT_LT(readFile(tmp.file("z")).size(), x.size()) << what;
        }
        // Standard input and output, as the archive recipe uses them.
        CommandResult r = run("cat " + tmp.file("x") + " | " + recpack + " -P 2 - - 2>/dev/null | " + recunpack +
                              " - - 2>/dev/null | cmp - " + tmp.file("x"));
        EXPECT_EQ(r.status, 0) << what << r.out;
    }
}

// Files packed before the rule (gaps dropped, every record padded) restore,
// their records unpadded; a packed record met by recpack is said to be one.
TEST(RecpackExact, OlderPackedFilesRestore)
{
    TempDir tmp;
    Bytes a = fieldRecord(5000, 16, 1), b = fieldRecord(6001, 24, 2);
    Bytes pa(a.size() + 256), pb(b.size() + 256);
    pa.resize((size_t)recPackCopy(a.data(), a.size(), pa.data(), pa.size()));
    pb.resize((size_t)recPackCopy(b.data(), b.size(), pb.data(), pb.size()));
    ASSERT_EQ(pa.size() % 8, 0u);
    Bytes old = pa, wmo = {'W', 'M', 'O', 1, 2, 3};
    add(old, wmo);
    add(old, pb);
    writeFile(tmp.file("old"), old);
    ProgramResult u = runProgram(recunpack + " " + tmp.file("old") + " " + tmp.file("u"), tmp);
    EXPECT_EQ(u.status, 0) << u.err;
    Bytes want = a;
    add(want, wmo);
    add(want, b);
    EXPECT_TRUE(readFile(tmp.file("u")) == want);

    ProgramResult p = runProgram(recpack + " " + tmp.file("old") + " " + tmp.file("z"), tmp);
    EXPECT_EQ(p.status, 0);
    EXPECT_TRUE(has(p.err, "recpack: GRIB record at offset 0 is packed already; copied as read (recunpack will "
                           "restore it)\n"))
        << p.err;
}

// Another process writes the input while it is read (the file the same
// before and after): status 1 with a line that says so, or an output that
// restores to the file exactly.
TEST(RecpackExact, InputWrittenDuringTheRun)
{
    TempDir tmp;
    Bytes x;
    for (unsigned k = 0; k < 40; ++k) add(x, fieldRecord(100000, 16, k + 1));
    writeFile(tmp.file("x"), x);
    for (int trial = 0; trial < 3; ++trial) {
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            int fd = open(tmp.file("x").c_str(), O_WRONLY);
            size_t at = 0;
            while (!stop) {
                at = (at + 65537) % x.size();
                if (pwrite(fd, &x[at], 1, (off_t)at) != 1) break;
            }
            close(fd);
        });
        ProgramResult p = runProgram(recpack + " -P 2 " + tmp.file("x") + " " + tmp.file("z"), tmp);
        stop = true;
        writer.join();
        if (p.status == 1) {
            EXPECT_TRUE(has(p.err, "recpack: " + tmp.file("x") + " changed while it was read\n")) << p.err;
            continue;
        }
        EXPECT_EQ(p.status, 0) << p.err;
        ASSERT_EQ(runProgram(recunpack + " " + tmp.file("z") + " " + tmp.file("u"), tmp).status, 0);
        EXPECT_TRUE(readFile(tmp.file("u")) == x);
    }
}

// Flips that hide a packed record from the szip test of recunpack: in the
// indicator's length, in the end section, in the szip flag and in the
// compressed data. Each gives status 1 and a line naming the record's
// offset, never values altered with status 0. A flip of the marker leaves
// nothing to recognise: carried as it stands.
TEST(RecpackExact, FlipsThatHidePackedRecords)
{
    TempDir tmp;
    Bytes a = fieldRecord(5000, 16, 1), b = fieldRecord(6000, 16, 2);
    Bytes x = a;
    add(x, b);
    writeFile(tmp.file("x"), x);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("x") + " " + tmp.file("z"), tmp).status, 0);
    const Bytes z = readFile(tmp.file("z"));
    size_t second = 0, n, off;
    ASSERT_EQ(gribFindRecord(z.data(), z.size(), &off, &n), 0);
    second = gribPaddedLength(n);
    const size_t bds = second + 8 + 28;
    ASSERT_EQ(z[bds + 3] & 0x10, 0x10);
    const std::string offset = "offset " + std::to_string(second);
    struct Flip {
        const char *what;
        size_t at;
        unsigned char mask;
    } flips[] = {
        {"length octet 5", second + 4, 0x01},     {"length octet 7", second + 6, 0x10},
        {"end section", second + n - 2, 0x02},     {"szip flag cleared", bds + 3, 0x10},
        {"compressed data", bds + 40, 0x04},
    };
    for (const Flip &f : flips) {
        Bytes bad = z;
        bad[f.at] ^= f.mask;
        writeFile(tmp.file("bad"), bad);
        ProgramResult u = runProgram(recunpack + " " + tmp.file("bad") + " " + tmp.file("u"), tmp);
        EXPECT_EQ(u.status, 1) << f.what << "\n" << u.err;
        EXPECT_TRUE(has(u.err, offset)) << f.what << "\n" << u.err;
        Bytes out = readFile(tmp.file("u"));
        EXPECT_TRUE(std::search(out.begin(), out.end(), a.begin(), a.end()) != out.end()) << f.what;
    }
    Bytes bad = z;
    bad[second] ^= 0x01; // "GRIB" no more
    writeFile(tmp.file("bad"), bad);
    ProgramResult u = runProgram(recunpack + " " + tmp.file("bad") + " " + tmp.file("u"), tmp);
    EXPECT_EQ(u.status, 0) << u.err;
    Bytes out = readFile(tmp.file("u"));
    EXPECT_TRUE(std::equal(bad.begin() + (long)second, bad.end(), out.end() - (long)(bad.size() - second)));
}

// With the data on standard output, the output holds the data alone, and
// every line the program says goes to standard error.
TEST(RecpackExact, StandardOutputHoldsOnlyData)
{
    TempDir tmp;
    Bytes damaged = fieldRecord(2500, 16, 9);
    put3(damaged, 8 + 28, 4000); // the sections do not frame
    Bytes x = fieldRecord(5000, 16, 1);
    add(x, damaged);
    add(x, fieldRecord(3000, 24, 2));
    writeFile(tmp.file("x"), x);
    ProgramResult file = runProgram(recpack + " " + tmp.file("x") + " " + tmp.file("z"), tmp);
    EXPECT_TRUE(has(file.out, "GRIB ")) << file.out; // the locator's line, on standard output
    for (const std::string &to : {std::string("-"), std::string("/dev/stdout")}) {
        ProgramResult p = runProgram(recpack + " " + tmp.file("x") + " " + to + " > " + tmp.file("s"), tmp);
        EXPECT_EQ(p.status, 0) << p.err;
        EXPECT_TRUE(readFile(tmp.file("s")) == readFile(tmp.file("z"))) << to;
        EXPECT_TRUE(has(p.err, "tall=")) << p.err;
        EXPECT_TRUE(has(p.err, "GRIB ")) << p.err;
    }
}

TEST(RecpackExact, SummaryAndProgressLine)
{
    TempDir tmp;
    Bytes x;
    for (unsigned k = 0; k < 12; ++k) add(x, fieldRecord(30000, 16, k + 1));
    add(x, oddRecord());
    add(x, Bytes{'e', 'n', 'd'});
    writeFile(tmp.file("x"), x);
    ProgramResult p = runProgram(recpack + " -v " + tmp.file("x") + " " + tmp.file("z"), tmp);
    EXPECT_EQ(p.status, 0);
    EXPECT_TRUE(has(p.err, "recpack: 13 records: 12 compressed, 1 copied; 3 octets carried between records; " +
                               std::to_string(x.size()) + " octets in, " +
                               std::to_string(readFile(tmp.file("z")).size()) + " out, ratio 0."))
        << p.err;
    // Nothing compressed: the summary says why.
    writeFile(tmp.file("odd"), oddRecord());
    p = runProgram(recpack + " -v " + tmp.file("odd") + " " + tmp.file("oz"), tmp);
    EXPECT_TRUE(has(p.err, "; nothing compressed: no GRIB1 record of a codable width\n")) << p.err;
    // The coder's warning about the width is followed by the offset it is about.
    EXPECT_TRUE(has(p.err, "recpack: GRIB record at offset 0 holds 12-bit data, which szip does not code; copied "
                           "as read\n"))
        << p.err;
    p = runProgram(recunpack + " -v " + tmp.file("odd") + " " + tmp.file("ou"), tmp);
    EXPECT_TRUE(has(p.err, "recunpack: 1 records: 0 restored, 1 copied, 0 left packed;")) << p.err;
    EXPECT_TRUE(has(p.err, "; nothing restored: no packed GRIB record\n")) << p.err;

    // Under a pseudo-terminal: the summary without -v, on a line of its own
    // after the progress line was erased; no message glued to that line.
    if (!haveCommand("script")) GTEST_SKIP() << "script (bsdutils) not installed";
    CommandResult t = run("script -qc '" + recpack + " " + tmp.file("x") + " " + tmp.file("t") + "' /dev/null");
    EXPECT_EQ(t.status, 0);
    size_t summary = t.out.find("recpack: 13 records:");
    ASSERT_NE(summary, std::string::npos) << t.out;
    EXPECT_TRUE(t.out[summary - 1] == '\n' || t.out.compare(summary - 4, 4, "\r\033[K") == 0) << t.out;
    size_t stretch = t.out.find("recpack: 3 octets at offset");
    ASSERT_NE(stretch, std::string::npos) << t.out;
    EXPECT_TRUE(t.out[stretch - 1] == '\n' || t.out.compare(stretch - 4, 4, "\r\033[K") == 0) << t.out;
    EXPECT_LT(t.out.rfind("\r\033[K"), t.out.find("tall="));
}

// Under a pseudo-terminal, a warning the library gives while a worker
// restores a record is never glued to the progress line, and is followed at
// once by the line naming the record, for one worker and several.
TEST(RecpackExact, LibraryWarningsUnderATerminal)
{
    if (!haveCommand("script")) GTEST_SKIP() << "script (bsdutils) not installed";
    TempDir tmp;
    Bytes x;
    for (unsigned k = 0; k < 12; ++k) add(x, fieldRecord(30000, 16, k + 1));
    writeFile(tmp.file("x"), x);
    ASSERT_EQ(runProgram(recpack + " " + tmp.file("x") + " " + tmp.file("z"), tmp).status, 0);
    Bytes z = readFile(tmp.file("z"));
    size_t at = 0, off = 0, n = 0;
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(gribFindRecord(z.data() + at, z.size() - at, &off, &n), 0);
        at += off + gribPaddedLength(n);
    }
    z[at + 8 + 28 + 40] ^= 0x04; // compressed data of the sixth record
    writeFile(tmp.file("bad"), z);
    const std::string named = "recunpack: GRIB record at offset " + std::to_string(at) + " left packed";
    for (const char *workers : {"1", "4"}) {
        CommandResult t = run("script -qec '" + recunpack + " -P " + workers + " " + tmp.file("bad") + " " +
                              tmp.file("u") + "' /dev/null");
        EXPECT_EQ(t.status, 1) << t.out;
        const size_t warning = t.out.find("Warning (recUnpack");
        ASSERT_NE(warning, std::string::npos) << t.out;
        EXPECT_TRUE(warning == 0 || t.out[warning - 1] == '\n' || t.out.compare(warning - 4, 4, "\r\033[K") == 0)
            << t.out;
        const size_t next = t.out.find('\n', warning);
        ASSERT_NE(next, std::string::npos);
        EXPECT_EQ(t.out.compare(next + 1, named.size(), named), 0) << t.out;
    }
}

#ifdef VALMORA_PROGRAM_SHIM
// Peak resident memory of the program (kB), measured by the preloaded
// shim; `feed` is a command whose output the program reads.
long peakOf(const std::string &feed, const std::string &cmd, const TempDir &tmp, int *status = nullptr)
{
    std::string env = "ASAN_OPTIONS=verify_asan_link_order=0 PEAK_FILE=" + tmp.file("peak") +
                       " LD_PRELOAD=" + VALMORA_PROGRAM_SHIM + " ";
    ProgramResult r = runProgram(feed + env + cmd, tmp);
    if (status) *status = r.status;
    Bytes kb = readFile(tmp.file("peak"));
    return atol(std::string(kb.begin(), kb.end()).c_str());
}

// The README's bounds: a stretch of any length in a mapped file, and false
// length claims on a pipe, cost at most 48 MB of resident memory.
TEST(RecpackExact, MemoryOfLongStretchesAndFalseClaims)
{
#ifdef VALMORA_SANITIZED
    GTEST_SKIP() << "a sanitizer's shadow memory is no measure of the program's";
#endif
    TempDir tmp;
    const long boundKb = 48 * 1024;
    // 200 MB without a record, mapped.
    {
        int fd = open(tmp.file("stretch").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        Bytes block(1 << 20, 'x');
        for (int k = 0; k < 200; ++k) ASSERT_EQ(write(fd, block.data(), block.size()), (ssize_t)block.size());
        close(fd);
    }
    int status = -1;
    EXPECT_LT(peakOf("", recpack + " " + tmp.file("stretch") + " /dev/null", tmp, &status), boundKb);
    EXPECT_EQ(status, 0);

    // A header that claims 1,000,000,000 octets, then 60 MB, from a pipe.
    Bytes claim = {'G', 'R', 'I', 'B', 0, 0, 0, 2, 0, 0, 0, 0, 0x3B, 0x9A, 0xCA, 0x00};
    writeFile(tmp.file("claim"), claim);
    const std::string feed = "(cat " + tmp.file("claim") + "; head -c 60000000 /dev/zero) | ";
    EXPECT_LT(peakOf(feed, recpack + " - /dev/null", tmp, &status), boundKb);
    EXPECT_EQ(status, 0);
    // A claim within the cap is held until its end may have arrived; -L
    // lowers the cap below it.
    claim[12] = 0x0B; // 184,207,872 octets
    writeFile(tmp.file("claim"), claim);
    EXPECT_GT(peakOf(feed, recpack + " - /dev/null", tmp), boundKb);
    EXPECT_LT(peakOf(feed, recpack + " -L 16 - /dev/null", tmp), boundKb);
}
#endif

} // namespace
