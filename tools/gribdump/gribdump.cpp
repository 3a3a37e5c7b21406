// gribdump: the labelled printout of sections 0 to 4 of every GRIB edition
// 0 or 1 record of a file, or of one record, plain or szip-packed alike, and
// the keys of every field of a GRIB2 message.
//
// Each record is decoded with grib_decode_double and printed by the section
// printers on the printer stream (standard output unless GRPRS_STREAM says
// otherwise). A record that cannot be decoded is reported on standard error
// with its offset and the dump goes on with the next one.
#include <valmora.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *kUsage = "usage: gribdump [-h | --help] [--version] file [record]\n"
                     "  Prints sections 0 to 4 of every GRIB edition 0 or 1 record of file, or of\n"
                     "  record number `record` (from 1), szip-packed records included; of a\n"
                     "  GRIB2 message the keys of each field.\n"
                     "  Exit status: 0 every record printed, 1 an input that cannot be read or\n"
                     "  a record that could not be printed in full, 2 bad arguments.\n";

int usage(FILE *to, int status)
{
    fputs(kUsage, to);
    return status;
}

// A record number from 1; 0 when the text is not one.
long recordNumber(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long n = strtol(text, &end, 10);
    if (errno || !*text || *end || n < 1) return 0;
    return n;
}

std::string reason(int status)
{
    std::string text = valmoraStatusText(VALMORA_STATUS_DECODE, status);
    if (status == VALMORA_DECODE_UNSUPPORTED || status == VALMORA_DECODE_SZIP_FAILED ||
        status == VALMORA_DECODE_CHECK_MISMATCH)
        text += ", values not printed";
    return text;
}

// The arrays of one record, grown as the records ask.
struct Arrays {
    std::vector<int> isec0 = std::vector<int>(VALMORA_ISEC0_SIZE), isec1 = std::vector<int>(VALMORA_ISEC1_SIZE);
    std::vector<int> isec2 = std::vector<int>(VALMORA_ISEC2_SIZE), isec3 = std::vector<int>(VALMORA_ISEC3_SIZE);
    std::vector<int> isec4 = std::vector<int>(VALMORA_ISEC4_SIZE);
    std::vector<double> fsec2 = std::vector<double>(VALMORA_FSEC2_SIZE), fsec3 = std::vector<double>(2);
    std::vector<double> fsec4;

    int decode(const unsigned char *rec, size_t len, bool values)
    {
        size_t n2 = isec2.size(), nf2 = fsec2.size(), n4 = fsec4.size();
        return grib_decode_double(rec, len, isec0.data(), isec1.data(), isec2.data(), &n2, fsec2.data(), &nf2,
                                  isec3.data(), fsec3.data(), isec4.data(), values ? fsec4.data() : nullptr, &n4);
    }
};

// The keys of each field of a GRIB2 message, one per line; false when a
// field could not be read.
bool dump2(long number, long long offset, const unsigned char *rec, size_t len)
{
    FILE *out = grprsm ? grprsm : stdout;
    int count = 0;
    int status = gribFieldCount(rec, len, &count);
    if (status != VALMORA_DECODE_OK) {
        fprintf(stderr, "gribdump: record %ld at offset %lld: %s\n", number, offset, reason(status).c_str());
        return false;
    }
    bool sound = true;
    for (int i = 0; i < count; ++i) {
        gribField f;
        status = grib_field_decode_double(rec, len, i, &f, nullptr, nullptr, 0);
        if (status != VALMORA_DECODE_OK) {
            fprintf(stderr, "gribdump: record %ld at offset %lld, field %d: %s\n", number, offset, i + 1,
                    reason(status).c_str());
            sound = false;
            continue;
        }
        fprintf(out, "\n Record %ld at offset %lld, field %d of %d\n", number, offset, i + 1, count);
        const std::pair<const char *, long long> ints[] = {
            {"discipline", f.discipline},
            {"centre", f.centre},
            {"subCentre", f.subCentre},
            {"masterTablesVersion", f.masterTablesVersion},
            {"localTablesVersion", f.localTablesVersion},
            {"significanceOfReferenceTime", f.significanceOfReferenceTime},
            {"year", f.year},
            {"month", f.month},
            {"day", f.day},
            {"hour", f.hour},
            {"minute", f.minute},
            {"second", f.second},
            {"productionStatusOfProcessedData", f.productionStatusOfProcessedData},
            {"typeOfProcessedData", f.typeOfProcessedData},
            {"productDefinitionTemplateNumber", f.productDefinitionTemplateNumber},
            {"parameterCategory", f.parameterCategory},
            {"parameterNumber", f.parameterNumber},
            {"typeOfGeneratingProcess", f.typeOfGeneratingProcess},
            {"generatingProcessIdentifier", f.generatingProcessIdentifier},
            {"indicatorOfUnitOfTimeRange", f.indicatorOfUnitOfTimeRange},
            {"forecastTime", f.forecastTime},
            {"typeOfFirstFixedSurface", f.typeOfFirstFixedSurface},
            {"scaleFactorOfFirstFixedSurface", f.scaleFactorOfFirstFixedSurface},
            {"scaledValueOfFirstFixedSurface", f.scaledValueOfFirstFixedSurface},
            {"typeOfSecondFixedSurface", f.typeOfSecondFixedSurface},
            {"scaleFactorOfSecondFixedSurface", f.scaleFactorOfSecondFixedSurface},
            {"scaledValueOfSecondFixedSurface", f.scaledValueOfSecondFixedSurface},
            {"typeOfStatisticalProcessing", f.typeOfStatisticalProcessing},
            {"lengthOfTimeRange", f.lengthOfTimeRange},
            {"typeOfEnsembleForecast", f.typeOfEnsembleForecast},
            {"perturbationNumber", f.perturbationNumber},
            {"gridDefinitionTemplateNumber", f.gridDefinitionTemplateNumber},
            {"numberOfDataPoints", (long long)f.numberOfDataPoints},
            {"Ni", f.Ni},
            {"Nj", f.Nj},
            {"scanningMode", f.scanningMode},
            {"N", f.N},
            {"isReduced", f.isReduced},
            {"shapeOfTheEarth", f.shapeOfTheEarth},
            {"numberOfValues", (long long)f.numberOfValues},
            {"bitMapIndicator", f.bitMapIndicator},
            {"numberOfMissing", (long long)f.numberOfMissing},
            {"dataRepresentationTemplateNumber", f.dataRepresentationTemplateNumber},
            {"bitsPerValue", f.bitsPerValue},
            {"binaryScaleFactor", f.binaryScaleFactor},
            {"decimalScaleFactor", f.decimalScaleFactor},
        };
        for (const auto &[key, value] : ints)
            if (value != VALMORA_FIELD_MISSING) fprintf(out, "  %-34s %lld\n", key, value);
        const std::pair<const char *, double> reals[] = {
            {"latitudeOfFirstGridPoint", f.latitudeOfFirstGridPoint},
            {"longitudeOfFirstGridPoint", f.longitudeOfFirstGridPoint},
            {"latitudeOfLastGridPoint", f.latitudeOfLastGridPoint},
            {"longitudeOfLastGridPoint", f.longitudeOfLastGridPoint},
            {"iDirectionIncrement", f.iDirectionIncrement},
            {"jDirectionIncrement", f.jDirectionIncrement},
            {"referenceValue", f.referenceValue},
        };
        for (const auto &[key, value] : reals)
            if (value != VALMORA_FIELD_NOT_GIVEN) fprintf(out, "  %-34s %.10g\n", key, value);
        for (int k = 0; k < VALMORA_FIELD_SECTIONS; ++k)
            if (f.sectionOffset[k] >= 0)
                fprintf(out, "  section %d                          offset %lld, %zu octets\n", k,
                        (long long)f.sectionOffset[k], f.sectionLength[k]);
    }
    fflush(out);
    return sound;
}

// Prints one record; false when it could not be printed in full.
bool dump(long number, long long offset, const unsigned char *rec, size_t len, Arrays &a)
{
    if (len >= 8 && gribVersion(rec, len) == 2) return dump2(number, offset, rec, len);
    int status = a.decode(rec, len, false);
    const bool headers = status == VALMORA_DECODE_OK || status == VALMORA_DECODE_GRID_NOT_DECODED;
    if (headers) {
        a.fsec4.assign((size_t)(a.isec4[0] > 0 ? a.isec4[0] : 0), 0.0);
        status = a.decode(rec, len, true);
    }
    const bool full = status == VALMORA_DECODE_OK || status == VALMORA_DECODE_GRID_NOT_DECODED;
    // Damaged records leave the arrays as they were: nothing of them is printed.
    if (status < 0 || status == VALMORA_DECODE_TRUNCATED || status == VALMORA_DECODE_NO_ROOM) {
        fprintf(stderr, "gribdump: record %ld at offset %lld: %s\n", number, offset, reason(status).c_str());
        return false;
    }
    fprintf(grprsm ? grprsm : stdout, "\n Record %ld at offset %lld\n", number, offset);
    gribPrintSec0(a.isec0.data());
    gribPrintSec1(a.isec0.data(), a.isec1.data());
    if (a.isec1[4] & 128) gribPrintSec2DP(a.isec0.data(), a.isec2.data(), a.fsec2.data());
    if (a.isec1[4] & 64) gribPrintSec3DP(a.isec0.data(), a.isec3.data(), a.fsec3.data());
    if (full) gribPrintSec4DP(a.isec0.data(), a.isec4.data(), a.fsec4.data());
    fflush(grprsm);
    if (!full) {
        fprintf(stderr, "gribdump: record %ld at offset %lld: %s\n", number, offset, reason(status).c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (!strcmp(argv[1], "-h") || !strcmp(argv[1], "--help"))) return usage(stdout, 0);
    if (argc == 2 && !strcmp(argv[1], "--version")) {
        printf("gribdump (libvalmora) %s\n", gribLibraryVersion());
        return 0;
    }
    if (argc < 2 || argc > 3 || argv[1][0] == '-') return usage(stderr, 2);
    const long only = argc == 3 ? recordNumber(argv[2]) : 0;
    if (argc == 3 && only == 0) {
        fprintf(stderr, "gribdump: record number must be a whole number from 1: %s\n", argv[2]);
        return usage(stderr, 2);
    }
    const char *file = argv[1];
    FILE *probe = fopen(file, "rb");
    if (!probe) {
        fprintf(stderr, "gribdump: cannot open %s: %s\n", file, strerror(errno));
        return 1;
    }
    fclose(probe);
    const int id = gribOpen(file, "r");
    if (id < 0) {
        fprintf(stderr, "gribdump: cannot open %s\n", file);
        return 1;
    }
    grsdef();

    Arrays arrays;
    std::vector<unsigned char> buffer;
    long number = 0;
    bool allPrinted = true;
    for (;;) {
        const size_t size = gribGetSize(id);
        const long long offset = (long long)gribGetPos(id);
        if (size == 0) {
            // The end of the file, a read error, or a marker whose record
            // cannot be sized: the read tells them apart and steps past it.
            unsigned char none[1];
            size_t zero = 0;
            const int rc = gribFileError(id) ? 0 : gribRead(id, none, &zero);
            if (gribFileError(id)) {
                fprintf(stderr, "gribdump: read error in %s at offset %lld: %s\n", file, offset,
                        strerror(gribFileError(id)));
                allPrinted = false;
                break;
            }
            if (rc == -1) break;
            if (rc == -2) continue; // 16 MB without a marker: search on
            ++number;
            fprintf(stderr, "gribdump: record %ld at offset %lld cannot be sized\n", number, offset);
            allPrinted = false;
            if (only && number == only) break;
            continue;
        }
        buffer.resize(size);
        size_t got = size;
        const int rc = gribRead(id, buffer.data(), &got);
        if (rc != 0) {
            fprintf(stderr, "gribdump: record %ld at offset %lld cannot be read (%s)\n", number + 1, offset,
                    gribFileError(id) ? strerror(gribFileError(id)) : "the file ends inside it");
            allPrinted = false;
            break;
        }
        ++number;
        if (only && number != only) continue;
        if (!dump(number, offset, buffer.data(), got, arrays)) allPrinted = false;
        if (only) break;
    }
    gribClose(id);
    if (number == 0) {
        fprintf(stderr, "gribdump: no GRIB record in %s\n", file);
        return 1;
    }
    if (only && number < only) {
        fprintf(stderr, "gribdump: %s holds %ld records, not %ld\n", file, number, only);
        return 1;
    }
    return allPrinted ? 0 : 1;
}
