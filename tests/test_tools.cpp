// The command lines of the installed tools and of the demo programs: help,
// version, bad arguments, missing and non-GRIB inputs, and files that are
// never overwritten unless asked. Then gribcheck -r on a file with octets
// between records and damaged records, which its copy carries as read.
#include "listings_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <valmora.h>

using namespace listings;
using testutil::Bytes;
using testutil::CommandResult;
using testutil::grib1;

namespace {

std::string tool(const std::string &name) { return std::string(VALMORA_BUILD_DIR) + "/" + name; }

bool built(const std::string &name)
{
    struct stat st;
    return stat(tool(name).c_str(), &st) == 0;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Runs a tool with standard error joined to standard output.
CommandResult run(const std::string &name, const std::string &args)
{
    return testutil::run(tool(name) + " " + args + " 2>&1");
}

Bytes cat(std::initializer_list<const Bytes *> parts)
{
    Bytes out;
    for (const Bytes *p : parts) out.insert(out.end(), p->begin(), p->end());
    return out;
}

// 300 smooth 24-bit values, stored whole or as three byte planes.
Bytes smooth24(bool planes)
{
    const size_t n = 300;
    Bytes data(11 + 3 * n, 0);
    data[10] = 24;
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = (uint32_t)(8000000.0 + 6000000.0 * std::sin((double)i / 40.0));
        for (size_t k = 0; k < 3; ++k)
            data[11 + (planes ? k * n + i : 3 * i + k)] = (unsigned char)(v >> (16 - 8 * k));
    }
    return grib1(pds(), {}, {}, data);
}

// 2000 values in planes whose low octets are noise: the planes code hardly
// better than whole values, and the detector cannot decide.
Bytes noisySplit24()
{
    const size_t n = 2000;
    Bytes data(11 + 3 * n, 0);
    data[10] = 24;
    uint32_t seed = 12345;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        double noise = (double)((seed >> 8) & 0xFFFF) / 65536.0 - 0.5;
        uint32_t v = (uint32_t)(8000000.0 + 6000000.0 * std::sin((double)i / 40.0) + 1e6 * noise);
        for (size_t k = 0; k < 3; ++k) data[11 + k * n + i] = (unsigned char)(v >> (16 - 8 * k));
    }
    return grib1(pds(), {}, {}, data);
}

const char *const kInstalled[] = {"gribls", "gribcheck", "gribcmp", "gribdump"};

TEST(Tools, HelpVersionAndBadArguments)
{
    for (const char *name : kInstalled) {
        if (!built(name)) GTEST_SKIP() << name << " is not built";
        const std::string usage = std::string("usage: ") + name;
        for (const char *help : {"-h", "--help"}) {
            CommandResult r = testutil::run(tool(name) + " " + help + " 2>/dev/null");
            EXPECT_EQ(r.status, 0) << name << " " << help;
            EXPECT_EQ(r.out.rfind(usage, 0), 0u) << name << " " << help << ": " << r.out;
        }
        CommandResult v = testutil::run(tool(name) + " --version 2>/dev/null");
        EXPECT_EQ(v.status, 0) << name;
        EXPECT_EQ(v.out, std::string(name) + " (libvalmora) " + gribLibraryVersion() + "\n");
        for (const char *bad : {"", "-x file.grb", "--frobnicate file.grb", "a.grb b.grb c.grb"}) {
            CommandResult r = testutil::run(tool(name) + " " + bad + " 2>&1 >/dev/null");
            EXPECT_EQ(r.status, 2) << name << " " << bad;
            EXPECT_TRUE(has(r.out, usage)) << name << " " << bad << ": " << r.out;
        }
    }
    // Option values missing, and options that make no sense alone.
    if (built("gribls")) {
        EXPECT_EQ(run("gribls", "-s").status, 2);
    }
    if (built("gribcheck")) {
        EXPECT_EQ(run("gribcheck", "-r").status, 2);
        EXPECT_TRUE(has(run("gribcheck", "-f " + tool("gribcheck")).out, "-f goes with -r"));
    }
}

TEST(Tools, MissingUnreadableAndNonGribInputs)
{
    testutil::TempDir dir;
    std::string text = dir.file("text.txt"), missing = dir.file("missing.grb"), good = dir.file("good.grb");
    testutil::writeFile(text, Bytes(200, 'a'));
    testutil::writeFile(good, smooth24(false));
    struct Case {
        std::string name, args;
        int status;
        const char *message;
    } cases[] = {
        {"gribls", missing, 1, "cannot open"},
        {"gribls", dir.path, 1, "is not a regular file"},
        {"gribls", text, 1, "no GRIB record found"},
        {"gribcheck", missing, 2, "cannot open"},
        {"gribcheck", text, 2, "no GRIB record found"},
        {"gribcheck", dir.path, 2, "is not a regular file"},
        {"gribcmp", missing + " " + good, 2, "cannot open"},
        {"gribcmp", good + " " + missing, 2, "cannot open"},
        {"gribcmp", text + " " + text, 2, "no GRIB record found"},
        {"gribcmp", good + " " + text, 2, "no GRIB record found"},
    };
    for (const Case &c : cases) {
        if (!built(c.name)) continue;
        CommandResult r = run(c.name, c.args);
        EXPECT_EQ(r.status, c.status) << c.name << " " << c.args << "\n" << r.out;
        EXPECT_TRUE(has(r.out, c.message)) << c.name << " " << c.args << "\n" << r.out;
        EXPECT_FALSE(has(r.out, "IDENTICAL")) << c.name << " " << c.args;
    }
    // The repaired copy of a file without records is not left behind, nor
    // does it replace a file, even with -f.
    if (built("gribcheck")) {
        EXPECT_EQ(run("gribcheck", "-r " + dir.file("copy.grb") + " " + text).status, 2);
        struct stat st;
        EXPECT_NE(stat(dir.file("copy.grb").c_str(), &st), 0);
        EXPECT_EQ(run("gribcheck", "-f -r " + good + " " + text).status, 2);
        EXPECT_EQ(testutil::readFile(good), smooth24(false));
        EXPECT_EQ(testutil::run("ls -A " + dir.path).out, "good.grb\ntext.txt\n") << "no temporary file is left";
    }
    if (getuid() != 0 && built("gribls")) { // root reads any file
        chmod(good.c_str(), 0);
        CommandResult r = run("gribls", good);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.out, "cannot open")) << r.out;
    }
}

TEST(Tools, NothingIsOverwrittenUnlessAsked)
{
    testutil::TempDir dir;
    std::string in = dir.file("in.grb"), out = dir.file("out.grb");
    testutil::writeFile(in, smooth24(true));
    const Bytes precious = {'k', 'e', 'e', 'p'};
    if (built("gribcheck")) {
        testutil::writeFile(out, precious);
        CommandResult r = run("gribcheck", "-r " + out + " " + in);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(has(r.out, "exists; give -f")) << r.out;
        EXPECT_EQ(testutil::readFile(out), precious);
        EXPECT_EQ(run("gribcheck", "-f -r " + out + " " + in).status, 1);
        EXPECT_EQ(testutil::readFile(out), smooth24(false));
        EXPECT_EQ(testutil::run("ls -A " + dir.path).out, "in.grb\nout.grb\n") << "no temporary file is left";
        // Not even with -f may the copy replace its input, by any name.
        EXPECT_EQ(run("gribcheck", "-f -r " + dir.path + "/./in.grb " + in).status, 2);
        EXPECT_EQ(testutil::readFile(in), smooth24(true));
    }
    if (built("encode_temperature")) {
        testutil::writeFile(out, precious);
        CommandResult r = run("encode_temperature", out);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.out, "exists; give -f")) << r.out;
        EXPECT_EQ(testutil::readFile(out), precious);
        EXPECT_EQ(run("encode_temperature", "-f " + out).status, 0);
        EXPECT_NE(testutil::readFile(out), precious);
        // Options are never taken for file names.
        CommandResult h = testutil::run("cd " + dir.path + " && " + tool("encode_temperature") + " --help");
        EXPECT_EQ(h.status, 0);
        EXPECT_TRUE(has(h.out, "usage: encode_temperature")) << h.out;
        EXPECT_EQ(run("encode_temperature", "--bogus").status, 2);
        struct stat st;
        EXPECT_NE(stat(dir.file("--help").c_str(), &st), 0);
    }
}

TEST(Tools, DemoProgramsTakeNoUnexpectedArguments)
{
    if (built("printsections")) {
        CommandResult r = run("printsections", "some.grb");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out.rfind("usage: printsections", 0), 0u) << r.out;
        EXPECT_EQ(run("printsections", "--help").status, 0);
    }
    if (built("gribwalk")) {
        CommandResult r = run("gribwalk", "--help");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("usage: gribwalk", 0), 0u) << r.out;
        EXPECT_EQ(run("gribwalk", "").status, 2);
        testutil::TempDir dir;
        testutil::writeFile(dir.file("text"), Bytes(100, 'x'));
        r = run("gribwalk", dir.file("text"));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.out, "no GRIB record found")) << r.out;
        r = run("gribwalk", dir.file("missing"));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.out, "cannot open")) << r.out;
    }
}

TEST(Tools, RepairedCopyCarriesEveryOtherOctet)
{
    if (!built("gribcheck")) GTEST_SKIP() << "gribcheck is not built";
    testutil::TempDir dir;
    Bytes split = smooth24(true), whole = smooth24(false);
    Bytes lead = {'h', 'e', 'a', 'd', 'e', 'r', 0, 0};
    Bytes gap = {0, 0, 0, 0, 0, 0, 0, 0, 'G', 'R'};
    // A marker whose record cannot be sized, and one whose end section is gone.
    Bytes unsized = {'G', 'R', 'I', 'B', 0, 0, 0, 9, 1, 2, 3};
    Bytes noEnd = whole;
    noEnd[noEnd.size() - 1] = 'x';
    Bytes truncated(split.begin(), split.begin() + (long)split.size() / 2);
    std::string in = dir.file("in.grb"), out = dir.file("out.grb");
    testutil::writeFile(in, cat({&lead, &split, &gap, &unsized, &noEnd, &split, &gap, &truncated}));

    CommandResult r = testutil::run(tool("gribcheck") + " -r " + out + " " + in + " 2>" + dir.file("err"));
    Bytes err = testutil::readFile(dir.file("err"));
    std::string errText(err.begin(), err.end());
    EXPECT_EQ(r.status, 2) << "damaged records are trouble";
    EXPECT_EQ(r.out, "Repair GRIB record     1 : code =  130   level =   50000\n"
                     "Repair GRIB record     3 : code =  130   level =   50000\n");
    EXPECT_TRUE(has(errText, "cannot be sized")) << errText;
    EXPECT_TRUE(has(errText, "record 2 at octet")) << errText;
    EXPECT_TRUE(has(errText, "is truncated")) << errText;
    EXPECT_EQ(testutil::readFile(out), cat({&lead, &whole, &gap, &unsized, &noEnd, &whole, &gap, &truncated}));
}

TEST(Tools, TheBundledSampleIsCopiedUnchanged)
{
    // Its first record holds healthy 24-bit data, which must not be "repaired".
    if (!built("gribcheck")) GTEST_SKIP() << "gribcheck is not built";
    testutil::TempDir dir;
    const std::string sample = std::string(VALMORA_TEST_DATA) + "/sample.grb", out = dir.file("fixed.grb");
    CommandResult r = run("gribcheck", "-r " + out + " " + sample);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(testutil::readFile(out) == testutil::readFile(sample));
}

TEST(Tools, UndecidedRecordsAreShownAndLeftAlone)
{
    if (!built("gribcheck")) GTEST_SKIP() << "gribcheck is not built";
    testutil::TempDir dir;
    Bytes noisy = noisySplit24(), split = smooth24(true), whole = smooth24(false);
    double ratio = 0;
    ASSERT_EQ(gribPlanes1(noisy.data(), (long)noisy.size(), &ratio), GRIB_PLANES_UNDECIDED) << ratio;
    std::string in = dir.file("in.grb"), out = dir.file("out.grb");
    testutil::writeFile(in, noisy);
    CommandResult r = run("gribcheck", in);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, testutil::format("undecided: record 1 at octet 0: T_planes/T_whole = %.3f\n", ratio));
    testutil::writeFile(in, cat({&split, &noisy}));
    r = run("gribcheck", "-r " + out + " " + in);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Repair GRIB record     1 : code =  130   level =   50000\n" +
                         testutil::format("undecided: record 2 at octet %zu: T_planes/T_whole = %.3f\n",
                                          split.size(), ratio));
    EXPECT_EQ(testutil::readFile(out), cat({&whole, &noisy}));
}

TEST(Tools, GribcmpSaysWhatDiffers)
{
    if (!built("gribcmp")) GTEST_SKIP() << "gribcmp is not built";
    testutil::TempDir dir;
    Bytes a = smooth24(false), b = smooth24(true);
    std::string one = dir.file("one.grb"), two = dir.file("two.grb"), both = dir.file("both.grb");
    testutil::writeFile(one, a);
    testutil::writeFile(two, b);
    testutil::writeFile(both, cat({&a, &a}));
    CommandResult r = run("gribcmp", one + " " + one);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "IDENTICAL: 1 records, every data section the same\n");
    r = run("gribcmp", one + " " + two);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "DIFFERENT: record 1:")) << r.out;
    r = run("gribcmp", one + " " + both);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "has more records")) << r.out;
}

} // namespace

namespace {

// Records lie wherever the file puts them: 17 MiB of octets without a
// marker before the eighth record hide it from no tool.
TEST(Tools, RecordsPastALongStretchAreFound)
{
    if (!built("gribcmp") || !built("gribls") || !built("gribcheck")) GTEST_SKIP() << "tools are not built";
    testutil::TempDir dir;
    Bytes a = smooth24(false), b = smooth24(true), gap(17u << 20, 'x');
    Bytes seven;
    for (int k = 0; k < 7; ++k) seven.insert(seven.end(), a.begin(), a.end());
    std::string one = dir.file("one.grb"), two = dir.file("two.grb"), short7 = dir.file("seven.grb");
    testutil::writeFile(one, cat({&seven, &gap, &a}));
    testutil::writeFile(two, cat({&seven, &gap, &b}));
    testutil::writeFile(short7, cat({&seven, &gap}));

    CommandResult r = run("gribcmp", one + " " + one);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "IDENTICAL: 8 records, every data section the same\n");
    r = run("gribcmp", one + " " + two);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "DIFFERENT: record 8:")) << r.out;
    r = run("gribcmp", one + " " + short7);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "has more records")) << r.out;

    r = run("gribls", two);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "\n    8 :")) << r.out;
    r = run("gribcheck", two);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "GRIB record     8")) << r.out;
}

} // namespace
