// Defaults from the environment, read once per process on first use: the
// calendar, the constant-field override and the printer stream.
#include "valmora.h"
#include "support.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {

int VALMORA_grib_calendar = -1;
FILE *grprsm = nullptr;

void gribSetCalendar(int calendar) { VALMORA_grib_calendar = calendar; }

} // extern "C"

namespace {

// A value selects the first keyword it begins with.
int calendarFromEnv()
{
    static const struct {
        const char *keyword;
        int code;
    } table[] = {{"standard", 0}, {"proleptic", 2}, {"360days", 3},
                 {"365days", 4},  {"366days", 5},   {"none", 6}};
    const char *value = getenv("GRIB_CALENDAR");
    if (!value) return 2;
    for (const auto &entry : table)
        if (strncmp(value, entry.keyword, strlen(entry.keyword)) == 0) return entry.code;
    return 2;
}

FILE *printerStream()
{
    const char *value = getenv("GRPRS_STREAM");
    if (!value || !*value) return stdout;
    if (isdigit((unsigned char)value[0])) {
        int unit = atoi(value);
        if (unit < 1 || unit > 99) {
            Warning_("grsdef", "Invalid number for GRPRS_STREAM: %d", unit);
            return stdout;
        }
        if (unit == 6) return stdout;
        if (unit == 2) return stderr;
        char name[] = "unit.00";
        snprintf(name + 5, 3, "%2.2d", unit);
        FILE *fp = fopen(name, "w");
        if (!fp) SysError_("grsdef", "GRPRS_STREAM = %d", unit);
        return fp;
    }
    FILE *fp = fopen(value, "w");
    if (!fp) SysError_("grsdef", "GRPRS_STREAM = %s", value);
    return fp;
}

} // namespace

extern "C" void grsdef(void)
{
    static char lfirst = 0;
    if (lfirst) return;

    if (VALMORA_grib_calendar == -1) VALMORA_grib_calendar = calendarFromEnv();

    const char *korvid = getenv("GRIB_KORVID_MODE_ON");
    if (korvid && atoi(korvid) == 1) VALMORA_Const = 0;

    grprsm = stdout;
    grprsm = printerStream();

    lfirst = 1;
}
