// The setters and their messages, and the environment rules of grsdef. As
// grsdef does its work once per process, every environment case runs in a
// child process of its own.
#include "record_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

using recutil::contains;
using recutil::stderrOf;
using testutil::TempDir;

// ---- Setters -----------------------------------------------------------------------

TEST(Setters, DebugLevelAndItsMessage)
{
    std::string err = stderrOf([] { gribSetDebug(0); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(VALMORA_Debug, 0);
    err = stderrOf([] { gribSetDebug(3); });
    EXPECT_TRUE(contains(err, "gribSetDebug")) << err;
    EXPECT_TRUE(contains(err, "debug level 3")) << err;
    EXPECT_EQ(VALMORA_Debug, 3);
    gribSetDebug(0);
}

TEST(Setters, SwitchesAreStoredUncheckedAndReportedUnderDebug)
{
    std::string err = stderrOf([] {
        gribSetConst(1);
        gribFixZSE(-5);
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(VALMORA_Const, 1);
    EXPECT_EQ(VALMORA_Fix_ZSE, -5);

    VALMORA_Debug = 1;
    err = stderrOf([] {
        gribSetConst(7);
        gribFixZSE(2);
    });
    VALMORA_Debug = 0;
    EXPECT_TRUE(contains(err, "gribSetConst")) << err;
    EXPECT_TRUE(contains(err, "Const set to 7")) << err;
    EXPECT_TRUE(contains(err, "gribFixZSE")) << err;
    EXPECT_TRUE(contains(err, "Fix ZeroShiftError set to 2")) << err;
    EXPECT_EQ(VALMORA_Const, 7);
    EXPECT_EQ(VALMORA_Fix_ZSE, 2);
    gribSetConst(0);
    gribFixZSE(0);
}

TEST(Setters, TheFourThatDoNothing)
{
    VALMORA_Debug = 1;
    const int debug = VALMORA_Debug, cnst = VALMORA_Const, zse = VALMORA_Fix_ZSE, cal = VALMORA_grib_calendar;
    std::string err = stderrOf([] {
        gribSetRound(1);
        gribSetRefDP(2.5);
        gribSetRefSP(1.5f);
        gribSetValueCheck(9);
    });
    VALMORA_Debug = 0;
    EXPECT_EQ(err, "");
    EXPECT_EQ(debug, 1);
    EXPECT_EQ(VALMORA_Const, cnst);
    EXPECT_EQ(VALMORA_Fix_ZSE, zse);
    EXPECT_EQ(VALMORA_grib_calendar, cal);
}

// ---- grsdef in child processes -------------------------------------------------------

namespace {

struct Child {
    int status = -1; // exit status of the child
    std::string out, err, result;
};

// Runs `body` in a child process with the three variables of grsdef set as
// given (nullptr: unset) and the working directory `cwd`; the child's
// standard output and error and the text `body` returns are collected.
Child inChild(const char *calendar, const char *korvid, const char *stream, const std::string &cwd,
              const std::function<std::string()> &body)
{
    TempDir io;
    const std::string out = io.file("out"), err = io.file("err"), res = io.file("res");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        auto set = [](const char *name, const char *value) {
            if (value)
                setenv(name, value, 1);
            else
                unsetenv(name);
        };
        set("GRIB_CALENDAR", calendar);
        set("GRIB_KORVID_MODE_ON", korvid);
        set("GRPRS_STREAM", stream);
        if (chdir(cwd.c_str()) != 0) _exit(90);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(91);
        std::string text = body();
        fflush(nullptr);
        FILE *f = fopen(res.c_str(), "w");
        if (!f) _exit(92);
        fputs(text.c_str(), f);
        fclose(f);
        _exit(0);
    }
    Child c;
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st)) c.status = WEXITSTATUS(st);
    auto slurp = [](const std::string &name) {
        testutil::Bytes b = testutil::readFile(name);
        return std::string(b.begin(), b.end());
    };
    c.out = slurp(out);
    c.err = slurp(err);
    c.result = slurp(res);
    return c;
}

std::string calendarAfterGrsdef()
{
    grsdef();
    return std::to_string(VALMORA_grib_calendar);
}

// Which stream grsdef chose, and a line written to it.
std::string streamAfterGrsdef()
{
    grsdef();
    fputs("printed\n", grprsm);
    fflush(grprsm);
    return grprsm == stdout ? "stdout" : grprsm == stderr ? "stderr" : "file";
}

} // namespace

TEST(Grsdef, CalendarKeywordsArePrefixesAndCaseMatters)
{
    TempDir dir;
    struct Case {
        const char *value;
        int code;
    };
    for (Case c : {Case{nullptr, 2}, Case{"", 2}, Case{"julian", 2}, Case{"standard", 0},
                   Case{"proleptic_gregorian", 2}, Case{"360days", 3}, Case{"360daysX", 3}, Case{"365days", 4},
                   Case{"366days", 5}, Case{"none", 6}, Case{"nonesuch", 6}, Case{"Standard", 2},
                   Case{"365", 2}}) {
        Child ch = inChild(c.value, nullptr, nullptr, dir.path, calendarAfterGrsdef);
        ASSERT_EQ(ch.status, 0);
        EXPECT_EQ(ch.result, std::to_string(c.code)) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(ch.err, "");
    }
}

TEST(Grsdef, CalendarSetBeforehandIsKept)
{
    TempDir dir;
    Child ch = inChild("none", nullptr, nullptr, dir.path, [] {
        gribSetCalendar(3);
        return calendarAfterGrsdef();
    });
    EXPECT_EQ(ch.result, "3");
    ch = inChild("none", nullptr, nullptr, dir.path, [] {
        gribSetCalendar(1); // only the setter can choose 1
        return calendarAfterGrsdef();
    });
    EXPECT_EQ(ch.result, "1");
}

TEST(Grsdef, KorvidModeClearsTheConstantSwitchOnlyForOne)
{
    TempDir dir;
    auto constAfter = [] {
        gribSetConst(5);
        grsdef();
        return std::to_string(VALMORA_Const);
    };
    struct Case {
        const char *value;
        const char *result;
    };
    for (Case c : {Case{"1", "0"}, Case{" 1", "0"}, Case{"+1", "0"}, Case{"1x", "0"}, Case{"01", "0"},
                   Case{"2", "5"}, Case{"yes", "5"}, Case{"", "5"}, Case{nullptr, "5"}, Case{"11", "5"}}) {
        Child ch = inChild(nullptr, c.value, nullptr, dir.path, constAfter);
        EXPECT_EQ(ch.result, c.result) << (c.value ? c.value : "(unset)");
    }
    // A switch set after the first call is not overridden later.
    Child ch = inChild(nullptr, "1", nullptr, dir.path, [] {
        grsdef();
        gribSetConst(4);
        grsdef();
        return std::to_string(VALMORA_Const);
    });
    EXPECT_EQ(ch.result, "4");
}

TEST(Grsdef, PrinterStreamChoices)
{
    TempDir dir;
    Child ch = inChild(nullptr, nullptr, nullptr, dir.path, streamAfterGrsdef);
    EXPECT_EQ(ch.result, "stdout");
    EXPECT_EQ(ch.out, "printed\n");
    ch = inChild(nullptr, nullptr, "", dir.path, streamAfterGrsdef);
    EXPECT_EQ(ch.result, "stdout");
    ch = inChild(nullptr, nullptr, "6", dir.path, streamAfterGrsdef);
    EXPECT_EQ(ch.result, "stdout");
    ch = inChild(nullptr, nullptr, "2", dir.path, streamAfterGrsdef);
    EXPECT_EQ(ch.result, "stderr");
    EXPECT_EQ(ch.err, "printed\n");
    for (const char *bad : {"0", "100", "007000"}) {
        ch = inChild(nullptr, nullptr, bad, dir.path, streamAfterGrsdef);
        EXPECT_EQ(ch.result, "stdout") << bad;
        EXPECT_TRUE(contains(ch.err, "grsdef")) << ch.err;
        EXPECT_TRUE(contains(ch.err, std::string("Invalid number for GRPRS_STREAM: ") + std::to_string(atoi(bad))))
            << ch.err;
    }
}

TEST(Grsdef, PrinterStreamUnitFilesAndNamedFiles)
{
    struct Case {
        const char *value;
        const char *file;
    };
    for (Case c : {Case{"07", "unit.07"}, Case{"7", "unit.07"}, Case{"7x", "unit.07"}, Case{"42", "unit.42"},
                   Case{"99", "unit.99"}, Case{"report.txt", "report.txt"}, Case{"+3", "+3"}}) {
        TempDir dir;
        Child ch = inChild(nullptr, nullptr, c.value, dir.path, streamAfterGrsdef);
        EXPECT_EQ(ch.result, "file") << c.value;
        testutil::Bytes b = testutil::readFile(dir.file(c.file));
        EXPECT_EQ(std::string(b.begin(), b.end()), "printed\n") << c.value;
    }
}

TEST(Grsdef, UnopenableStreamFileIsFatal)
{
    TempDir dir;
    Child ch = inChild(nullptr, nullptr, "no/such/dir/out.txt", dir.path, streamAfterGrsdef);
    EXPECT_NE(ch.status, 0);
    EXPECT_TRUE(contains(ch.err, "GRPRS_STREAM = no/such/dir/out.txt")) << ch.err;
    EXPECT_EQ(ch.result, "");
}

TEST(Grsdef, UnopenableUnitFileIsFatal)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("unit.12").c_str(), 0755), 0); // a directory cannot be opened for writing
    Child ch = inChild(nullptr, nullptr, "12", dir.path, streamAfterGrsdef);
    EXPECT_NE(ch.status, 0);
    EXPECT_TRUE(contains(ch.err, "GRPRS_STREAM = 12")) << ch.err;
}

TEST(Grsdef, WorksOncePerProcess)
{
    TempDir dir;
    Child ch = inChild("360days", nullptr, nullptr, dir.path, [] {
        grsdef();
        setenv("GRIB_CALENDAR", "standard", 1);
        setenv("GRPRS_STREAM", "2", 1);
        setenv("GRIB_KORVID_MODE_ON", "1", 1);
        gribSetConst(1);
        grsdef();
        return std::to_string(VALMORA_grib_calendar) + " " + std::to_string(VALMORA_Const) + " " +
               (grprsm == stdout ? "stdout" : "other");
    });
    EXPECT_EQ(ch.result, "3 1 stdout");
    EXPECT_EQ(VALMORA_grib_calendar, -1); // this process never ran grsdef
    EXPECT_EQ(grprsm, nullptr);
}
