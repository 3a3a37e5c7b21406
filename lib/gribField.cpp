// Fields of a record, editions 1 and 2: the walk over a GRIB2 message's
// sections to field i, its keys from sections 0, 1, 4, 5 and 6, and its
// values through the packings; edition 0 and 1 records through the GRIB1
// decoder, its arrays mapped onto the same keys. No state is kept between
// calls.
#include "valmora.h"
#include "grib1.h"
#include "gribField2.h"
#include "gribGrid.h"
#include "support.h"

#include <climits>
#include <cstring>

namespace {

using g2::get2;
using g2::get4;
using g2::getSigned;

template <typename T> struct Names;
template <> struct Names<double> {
    static constexpr const char *decode = "grib_field_decode_double";
};
template <> struct Names<float> {
    static constexpr const char *decode = "grib_field_decode_float";
};

// Every member at its "not in the record" value.
gribField makeDefaults()
{
    gribField f;
    memset(&f, 0, sizeof f);
    int *ints[] = {&f.discipline, &f.centre, &f.subCentre, &f.masterTablesVersion, &f.localTablesVersion,
                   &f.significanceOfReferenceTime, &f.year, &f.month, &f.day, &f.hour, &f.minute, &f.second,
                   &f.productionStatusOfProcessedData, &f.typeOfProcessedData, &f.productDefinitionTemplateNumber,
                   &f.parameterCategory, &f.parameterNumber, &f.typeOfGeneratingProcess,
                   &f.generatingProcessIdentifier, &f.indicatorOfUnitOfTimeRange, &f.typeOfFirstFixedSurface,
                   &f.scaleFactorOfFirstFixedSurface, &f.typeOfSecondFixedSurface,
                   &f.scaleFactorOfSecondFixedSurface, &f.yearOfEndOfOverallTimeInterval,
                   &f.monthOfEndOfOverallTimeInterval, &f.dayOfEndOfOverallTimeInterval,
                   &f.hourOfEndOfOverallTimeInterval, &f.minuteOfEndOfOverallTimeInterval,
                   &f.secondOfEndOfOverallTimeInterval, &f.numberOfTimeRanges, &f.typeOfStatisticalProcessing,
                   &f.typeOfTimeIncrement, &f.indicatorOfUnitForTimeRange, &f.typeOfEnsembleForecast,
                   &f.perturbationNumber, &f.numberOfForecastsInEnsemble, &f.table2Version, &f.gridDefinition,
                   &f.indicatorOfParameter, &f.indicatorOfTypeOfLevel, &f.level, &f.topLevel, &f.bottomLevel,
                   &f.P1, &f.P2, &f.timeRangeIndicator, &f.numberIncludedInAverage,
                   &f.gridDefinitionTemplateNumber, &f.shapeOfTheEarth, &f.resolutionAndComponentFlags,
                   &f.scanningMode, &f.N, &f.plCount, &f.plOctets, &f.projectionCentreFlag, &f.J, &f.K, &f.M,
                   &f.numberOfGridUsed, &f.numberOfGridInReference, &f.bitMapIndicator,
                   &f.dataRepresentationTemplateNumber, &f.bitsPerValue, &f.binaryScaleFactor,
                   &f.decimalScaleFactor, &f.typeOfOriginalFieldValues, &f.dataFlag};
    for (int *p : ints) *p = VALMORA_FIELD_MISSING;
    int64_t *wide[] = {&f.forecastTime, &f.scaledValueOfFirstFixedSurface, &f.scaledValueOfSecondFixedSurface,
                       &f.lengthOfTimeRange, &f.Ni, &f.Nj, &f.plOffset};
    for (int64_t *p : wide) *p = VALMORA_FIELD_MISSING;
    double *reals[] = {&f.earthRadius, &f.earthMajorAxis, &f.earthMinorAxis, &f.latitudeOfFirstGridPoint,
                       &f.longitudeOfFirstGridPoint, &f.latitudeOfLastGridPoint, &f.longitudeOfLastGridPoint,
                       &f.iDirectionIncrement, &f.jDirectionIncrement, &f.LaD, &f.LoV, &f.Dx, &f.Dy, &f.Latin1,
                       &f.Latin2, &f.latitudeOfSouthernPole, &f.longitudeOfSouthernPole, &f.angleOfRotation,
                       &f.referenceValue};
    for (double *p : reals) *p = VALMORA_FIELD_NOT_GIVEN;
    for (int k = 0; k < VALMORA_FIELD_SECTIONS; ++k) f.sectionOffset[k] = -1;
    f.isReduced = 0;
    f.bitmapPresent = 0;
    return f;
}

const gribField kDefaults = makeDefaults();

// ---- The GRIB2 section walk -------------------------------------------------------

struct Walk {
    const unsigned char *sec[VALMORA_FIELD_SECTIONS] = {};
    size_t len[VALMORA_FIELD_SECTIONS] = {};
    const unsigned char *earlierMap = nullptr; // the last bit map given before this field's section 6
    size_t earlierMapLength = 0;
    size_t total = 0;
    int count = 0;
};

constexpr size_t kIndicator = 16; // GRIB2 section 0
constexpr size_t kEnd = 4;        // "7777"

// The sections of field `index` (-1: count only). Nothing outside the
// message's stated length, nor outside `avail`, is read.
int walk2(const unsigned char *rec, size_t avail, int index, Walk &w)
{
    if (avail < kIndicator) return VALMORA_DECODE_TRUNCATED;
    const uint64_t total = g2::get8(rec + 8);
    if (total > avail) return VALMORA_DECODE_TRUNCATED;
    if (total < kIndicator + kEnd) return VALMORA_DECODE_DAMAGED;
    w.total = (size_t)total;
    const size_t end = w.total - kEnd;
    if (memcmp(rec + end, "7777", 4) != 0) return VALMORA_DECODE_DAMAGED;

    const unsigned char *current[VALMORA_FIELD_SECTIONS] = {};
    size_t currentLen[VALMORA_FIELD_SECTIONS] = {};
    const unsigned char *map = nullptr;
    size_t mapLen = 0;
    size_t off = kIndicator;
    int prev = 0;
    while (off < end) {
        if (end - off < 5) return VALMORA_DECODE_DAMAGED;
        const size_t len = get4(rec + off);
        const int num = rec[off + 4];
        if (len < 5 || len > end - off) return VALMORA_DECODE_DAMAGED;
        // Section 1 once, then groups: [2] [3] 4 5 6 7, the next group
        // starting again at 2, 3 or 4.
        bool ok;
        switch (num) {
        case 1: ok = prev == 0; break;
        case 2: ok = prev == 1 || prev == 7; break;
        case 3: ok = prev == 1 || prev == 2 || prev == 7; break;
        case 4: ok = prev == 3 || prev == 7; break;
        default: ok = num >= 5 && num <= 7 && prev == num - 1; break;
        }
        if (!ok) return VALMORA_DECODE_DAMAGED;
        if (num == 2) current[2] = nullptr; // a new local use section replaces the last
        current[num] = rec + off;
        currentLen[num] = len;
        if (num == 6 && len >= 6 && rec[off + 5] == 0) {
            map = rec + off;
            mapLen = len;
        }
        if (num == 7) {
            if (w.count == index) {
                for (int k = 1; k <= 7; ++k) {
                    w.sec[k] = current[k];
                    w.len[k] = current[k] ? currentLen[k] : 0;
                }
                w.earlierMap = map;
                w.earlierMapLength = mapLen;
            }
            if (w.count == INT_MAX) return VALMORA_DECODE_DAMAGED;
            ++w.count;
        }
        prev = num;
        off += len;
    }
    if (prev != 7) return VALMORA_DECODE_DAMAGED;
    w.sec[0] = rec;
    w.len[0] = kIndicator;
    w.sec[8] = rec + end;
    w.len[8] = kEnd;
    return VALMORA_DECODE_OK;
}

// ---- GRIB2 keys --------------------------------------------------------------------

// A number of `octets` octets, or MISSING when all its bits are set. Code
// table entries stay as stored: their 255 is a code of the table.
int64_t orMissing(const unsigned char *p, unsigned octets)
{
    uint64_t v = 0;
    for (unsigned i = 0; i < octets; ++i) v = v << 8 | p[i];
    return v == (octets == 8 ? ~0ull : (1ull << (8 * octets)) - 1) ? VALMORA_FIELD_MISSING : (int64_t)v;
}
int missing2(const unsigned char *p) { return (int)orMissing(p, 2); }
int64_t signedOrMissing(const unsigned char *p, unsigned octets)
{
    return orMissing(p, octets) == VALMORA_FIELD_MISSING ? VALMORA_FIELD_MISSING : getSigned(p, octets);
}

void identification(const unsigned char *s1, size_t len, gribField &f)
{
    if (len < 21) return;
    f.centre = missing2(s1 + 5);
    f.subCentre = missing2(s1 + 7);
    f.masterTablesVersion = s1[9];
    f.localTablesVersion = s1[10];
    f.significanceOfReferenceTime = s1[11];
    f.year = (int)get2(s1 + 12);
    f.month = s1[14];
    f.day = s1[15];
    f.hour = s1[16];
    f.minute = s1[17];
    f.second = s1[18];
    f.productionStatusOfProcessedData = (int)s1[19];
    f.typeOfProcessedData = (int)s1[20];
}

// The parameter, process, forecast time and surfaces that the templates of
// the 4.0 family place alike; `shift` is 2 for the templates with a
// constituent type of two octets after the parameter (4.40 to 4.43), else 0.
bool horizontal(const unsigned char *s4, size_t len, size_t shift, gribField &f)
{
    if (len < 34 + shift) return false;
    const unsigned char *p = s4 + shift;
    f.parameterCategory = s4[9];
    f.parameterNumber = s4[10];
    f.typeOfGeneratingProcess = (int)p[11];
    f.generatingProcessIdentifier = (int)p[13];
    f.indicatorOfUnitOfTimeRange = (int)p[17];
    f.forecastTime = getSigned(p + 18, 4);
    f.typeOfFirstFixedSurface = (int)p[22];
    f.scaleFactorOfFirstFixedSurface = (int)signedOrMissing(p + 23, 1);
    f.scaledValueOfFirstFixedSurface = orMissing(p + 24, 4);
    f.typeOfSecondFixedSurface = (int)p[28];
    f.scaleFactorOfSecondFixedSurface = (int)signedOrMissing(p + 29, 1);
    f.scaledValueOfSecondFixedSurface = orMissing(p + 30, 4);
    return true;
}

// Octet (from 1) of the end of the overall time interval, 0 for templates
// without one.
size_t statisticsAt(int t)
{
    switch (t) {
    case 8: return 35;
    case 9: return 48;
    case 10: return 36;
    case 11: return 38;
    case 12: return 37;
    case 42: return 37;
    case 43: return 40;
    default: return 0;
    }
}

void product(const unsigned char *s4, size_t len, gribField &f)
{
    if (len < 9) return;
    const int t = (int)get2(s4 + 7);
    f.productDefinitionTemplateNumber = t;
    size_t shift;
    if (t >= 0 && t <= 15)
        shift = 0;
    else if (t >= 40 && t <= 43)
        shift = 2;
    else
        return;
    if (!horizontal(s4, len, shift, f)) return;
    const size_t ens = t == 1 || t == 11 ? 35 : t == 41 || t == 43 ? 37 : 0;
    if (ens && len >= ens + 2) {
        f.typeOfEnsembleForecast = (int)s4[ens - 1];
        f.perturbationNumber = (int)s4[ens];
        f.numberOfForecastsInEnsemble = (int)s4[ens + 1];
    }
    const size_t st = statisticsAt(t);
    if (st && len >= st + 18) {
        const unsigned char *p = s4 + st - 1;
        f.yearOfEndOfOverallTimeInterval = (int)get2(p);
        f.monthOfEndOfOverallTimeInterval = p[2];
        f.dayOfEndOfOverallTimeInterval = p[3];
        f.hourOfEndOfOverallTimeInterval = p[4];
        f.minuteOfEndOfOverallTimeInterval = p[5];
        f.secondOfEndOfOverallTimeInterval = p[6];
        f.numberOfTimeRanges = p[7];
        f.typeOfStatisticalProcessing = (int)p[12];
        f.typeOfTimeIncrement = (int)p[13];
        f.indicatorOfUnitForTimeRange = (int)p[14];
        f.lengthOfTimeRange = orMissing(p + 15, 4);
    }
}

// Reference value, scale factors and width: the octets every packing with
// them places alike.
bool packingHeader(const unsigned char *s5, size_t len, int tmpl, gribField &f)
{
    if (tmpl == 4 || len < 20) return false;
    f.referenceValue = g2::getFloat(s5 + 11);
    f.binaryScaleFactor = (int)getSigned(s5 + 15, 2);
    f.decimalScaleFactor = (int)getSigned(s5 + 17, 2);
    f.bitsPerValue = s5[19];
    if (len >= 21 && tmpl != 50 && tmpl != 51) f.typeOfOriginalFieldValues = (int)s5[20];
    return true;
}

// The keys of a GRIB2 field from its located sections.
void keys2(const unsigned char *rec, const Walk &w, int index, gribField &f)
{
    f = kDefaults;
    f.edition = 2;
    f.fieldIndex = index;
    f.recordLength = w.total;
    for (int k = 0; k < VALMORA_FIELD_SECTIONS; ++k) {
        f.sectionOffset[k] = w.sec[k] ? (int64_t)(w.sec[k] - rec) : -1;
        f.sectionLength[k] = w.len[k];
    }
    f.discipline = rec[6];
    if (w.sec[1]) identification(w.sec[1], w.len[1], f);
    // A grid the keys cannot be read from leaves its members as far as read;
    // the values need the number of points alone.
    if (w.sec[3]) gribGridKeys2(w.sec[3], w.len[3], &f);
    product(w.sec[4], w.len[4], f);
    const unsigned char *s5 = w.sec[5];
    if (w.len[5] >= 11) {
        f.numberOfValues = get4(s5 + 5);
        f.dataRepresentationTemplateNumber = (int)get2(s5 + 9);
        packingHeader(s5, w.len[5], f.dataRepresentationTemplateNumber, f);
    }
    if (w.len[6] >= 6) {
        f.bitMapIndicator = w.sec[6][5];
        f.bitmapPresent = f.bitMapIndicator != 255;
        if (f.bitmapPresent && f.numberOfDataPoints >= f.numberOfValues)
            f.numberOfMissing = f.numberOfDataPoints - f.numberOfValues;
    }
    f.numberOfPackedOctets = w.len[7] >= 5 ? w.len[7] - 5 : 0;
}

// ---- GRIB2 values -------------------------------------------------------------------

// Spreads the `coded` values at the front of out over the points the bit map
// marks present, from the last point back, so no scratch is needed.
template <typename T>
void spread(const unsigned char *map, size_t points, size_t coded, T missing, T *out)
{
    size_t k = coded;
    for (size_t i = points; i-- > 0;) {
        if (map[i >> 3] & (0x80u >> (i & 7)))
            out[i] = out[--k];
        else
            out[i] = missing;
    }
}

size_t presentPoints(const unsigned char *map, size_t points)
{
    size_t n = 0, i = 0;
    const size_t full = points / 8;
    for (; i + 8 <= full; i += 8) {
        uint64_t w;
        memcpy(&w, map + i, 8);
        n += (size_t)__builtin_popcountll(w);
    }
    for (; i < full; ++i) n += (size_t)__builtin_popcount(map[i]);
    if (points % 8) n += (size_t)__builtin_popcount(map[full] >> (8 - points % 8));
    return n;
}

template <typename T>
int values2(const Walk &w, gribField &f, T *values, size_t capacity, size_t *valuesSize, T missing,
            const char *&why)
{
    why = nullptr;
    const int tmpl = f.dataRepresentationTemplateNumber;
    const size_t need = g2::drsNeeds(tmpl);
    if (need == 0) {
        why = "packing template without a decoder";
        return VALMORA_DECODE_PACKING_UNSUPPORTED;
    }
    if (w.len[5] < need || w.len[7] < 5 || w.len[6] < 6) {
        why = "section 5, 6 or 7 shorter than its template";
        return VALMORA_DECODE_DAMAGED;
    }
    const bool spectral = tmpl == 50 || tmpl == 51;
    // The bit map in force: this field's, or one given earlier (254).
    const unsigned char *map = nullptr;
    size_t mapLength = 0;
    if (f.bitMapIndicator == 0) {
        map = w.sec[6];
        mapLength = w.len[6];
    } else if (f.bitMapIndicator == 254) {
        map = w.earlierMap;
        mapLength = w.earlierMapLength;
        if (!map) {
            why = "bit map indicator 254 with no bit map before it";
            return VALMORA_DECODE_DAMAGED;
        }
    } else if (f.bitMapIndicator != 255) {
        why = "predefined bit map";
        return VALMORA_DECODE_UNSUPPORTED;
    }
    if (map && spectral) {
        why = "bit map with spherical harmonics";
        return VALMORA_DECODE_UNSUPPORTED;
    }
    const size_t points = map ? f.numberOfDataPoints : f.numberOfValues;
    *valuesSize = points;
    if (map && (mapLength - 6) < (points + 7) / 8) {
        why = "bit map shorter than the grid";
        return VALMORA_DECODE_DAMAGED;
    }
    if (f.numberOfValues > points) { // a bit map with fewer points than values
        why = "more values than points";
        return VALMORA_DECODE_DAMAGED;
    }
    if (!values || capacity < points) return VALMORA_DECODE_NO_ROOM;
    if (map && presentPoints(map + 6, points) != f.numberOfValues) {
        why = "bit map that does not match the number of values";
        return VALMORA_DECODE_DAMAGED;
    }

    g2::Packing p;
    p.tmpl = tmpl;
    p.drs = w.sec[5];
    p.drsLength = w.len[5];
    p.data = w.sec[7] + 5;
    p.dataLength = w.len[7] - 5;
    p.values = f.numberOfValues;
    if (tmpl != 4) {
        p.ref = f.referenceValue;
        p.e = f.binaryScaleFactor;
        p.d = f.decimalScaleFactor;
        p.bits = f.bitsPerValue;
    }
    size_t missed = 0;
    const int status = g2::unpack(p, values, missing, &missed, why);
    if (status) return status;
    if (map) spread(map + 6, points, f.numberOfValues, missing, values);
    f.numberOfMissing += missed;
    return VALMORA_DECODE_OK;
}

// ---- GRIB1 ---------------------------------------------------------------------------

// The keys of an edition 0 or 1 record from the decoder's arrays and the octets.
void keys1(const unsigned char *rec, const int *isec0, const int *isec1, const int *isec3, const int *isec4,
           gribField &f)
{
    f = kDefaults;
    f.edition = 1;
    f.fieldIndex = 0;
    f.recordLength = (size_t)isec0[0];
    unsigned char *pds, *gds, *bms, *bds;
    long recLen;
    grib1Sections(const_cast<unsigned char *>(rec), (long)f.recordLength, &pds, &gds, &bms, &bds, &recLen);
    const unsigned char *sec[5] = {rec, pds, gds, bms, bds};
    for (int k = 0; k < 5; ++k) {
        f.sectionOffset[k] = sec[k] ? (int64_t)(sec[k] - rec) : -1;
        f.sectionLength[k] = !sec[k] ? 0 : k == 0 ? 8 : k == 4 ? (size_t)(recLen - (bds - rec) - 4) : g1::get3(sec[k]);
    }
    f.sectionOffset[5] = recLen - 4;
    f.sectionLength[5] = 4;

    f.table2Version = isec1[0];
    f.centre = isec1[1];
    f.generatingProcessIdentifier = isec1[2];
    f.gridDefinition = isec1[3];
    f.indicatorOfParameter = isec1[5];
    f.indicatorOfTypeOfLevel = isec1[6];
    f.level = (int)g1::get2(pds + 10);
    f.topLevel = pds[10];
    f.bottomLevel = pds[11];
    f.year = isec1[9] + (isec1[20] - 1) * 100;
    f.month = isec1[10];
    f.day = isec1[11];
    f.hour = isec1[12];
    f.minute = isec1[13];
    f.second = 0;
    f.indicatorOfUnitOfTimeRange = isec1[14];
    f.P1 = isec1[15];
    f.P2 = isec1[16];
    f.timeRangeIndicator = isec1[17];
    f.numberIncludedInAverage = isec1[18];
    f.subCentre = isec1[21];
    f.decimalScaleFactor = isec1[22];

    if (gds) gribGridKeys1(gds, f.sectionLength[2], &f);
    if (!gds || f.numberOfDataPoints == 0) f.numberOfDataPoints = (size_t)isec4[0];
    f.bitmapPresent = bms != nullptr;
    f.numberOfValues = f.bitmapPresent && isec3[0] == 0 ? (size_t)isec4[20] : (size_t)isec4[0];
    if (f.bitmapPresent && f.numberOfDataPoints >= f.numberOfValues)
        f.numberOfMissing = f.numberOfDataPoints - f.numberOfValues;
    f.bitsPerValue = isec4[1];
    f.dataFlag = bds[3] >> 4;
    f.binaryScaleFactor = g1::getSigned2(bds + 4);
    f.referenceValue = decfp2((int)bds[6], (int)g1::get3(bds + 7));
    const bool spectral = isec4[2] != 0, complex = isec4[3] != 0;
    f.dataRepresentationTemplateNumber = spectral ? (complex ? 51 : 50) : complex ? VALMORA_FIELD_MISSING : 0;
    f.numberOfPackedOctets = f.sectionLength[4] > g1::kBdsFixed ? f.sectionLength[4] - g1::kBdsFixed : 0;
}

template <typename T> struct Decode1;
template <> struct Decode1<double> {
    static int call(const unsigned char *r, size_t n, int *i0, int *i1, int *i3, double *f3, int *i4, double *v,
                    size_t *vs)
    {
        return grib_decode_double(r, n, i0, i1, nullptr, nullptr, nullptr, nullptr, i3, f3, i4, v, vs);
    }
};
template <> struct Decode1<float> {
    static int call(const unsigned char *r, size_t n, int *i0, int *i1, int *i3, float *f3, int *i4, float *v,
                    size_t *vs)
    {
        return grib_decode_float(r, n, i0, i1, nullptr, nullptr, nullptr, nullptr, i3, f3, i4, v, vs);
    }
};

template <typename T>
int field1(const unsigned char *record, size_t recordLength, gribField *field, T *values, size_t *valuesSize,
           T missing)
{
    int isec0[VALMORA_ISEC0_SIZE], isec1[VALMORA_ISEC1_SIZE], isec3[VALMORA_ISEC3_SIZE];
    int isec4[VALMORA_ISEC4_SIZE];
    T fsec3[VALMORA_FSEC3_SIZE] = {0, missing};
    size_t size = values ? *valuesSize : 0;
    const int status = Decode1<T>::call(record, recordLength, isec0, isec1, isec3, fsec3, isec4, values, &size);
    if (status == VALMORA_DECODE_NOT_GRIB1) return VALMORA_DECODE_NOT_GRIB;
    if (status == VALMORA_DECODE_TRUNCATED || status == VALMORA_DECODE_DAMAGED) return status;
    if (valuesSize) *valuesSize = size;
    if (field) keys1(record, isec0, isec1, isec3, isec4, *field);
    // The grid's own statuses concern the section arrays, not the values.
    return status == VALMORA_DECODE_GRID_NOT_DECODED ? VALMORA_DECODE_OK : status;
}

// ---- Both editions ---------------------------------------------------------------------

int editionOf(const unsigned char *record, size_t recordLength)
{
    if (!record || recordLength < 8 || memcmp(record, "GRIB", 4) != 0) return -1;
    const int e = record[7];
    if (e == 1 || e == 2) return e;
    // Edition 0: octets 5-7 hold the length of its 24-octet product definition.
    return g1::get3(record + 4) == 24 ? 0 : -1;
}

template <typename T>
int fieldDecode(const unsigned char *record, size_t recordLength, int index, gribField *field, T *values,
                size_t *valuesSize, T missing)
{
    const char *name = Names<T>::decode;
    if (values && !valuesSize) return VALMORA_DECODE_NO_ROOM;
    const int edition = editionOf(record, recordLength);
    if (edition < 0) return VALMORA_DECODE_NOT_GRIB;
    if (edition < 2) {
        if (index != 0) return VALMORA_DECODE_NO_FIELD;
        return field1(record, recordLength, field, values, valuesSize, missing);
    }
    Walk w;
    const int walked = walk2(record, recordLength, index, w);
    if (walked) return walked;
    if (index < 0 || index >= w.count) return VALMORA_DECODE_NO_FIELD;
    gribField local;
    gribField &f = field ? *field : local;
    keys2(record, w, index, f);
    if (!valuesSize) return VALMORA_DECODE_OK;
    const char *why;
    size_t size = 0;
    const int status = values2(w, f, values, values ? *valuesSize : 0, &size, missing, why);
    *valuesSize = size;
    // Without values the call asks for the keys and the size alone.
    if (!values) return VALMORA_DECODE_OK;
    if (status && status != VALMORA_DECODE_NO_ROOM)
        Warning_(name, "field %d: %s (packing template %d)", index, why, f.dataRepresentationTemplateNumber);
    return status;
}

} // namespace

namespace g2 {

int fieldSection(const unsigned char *record, size_t recordLength, int index, int section,
                 const unsigned char **at, size_t *length)
{
    *at = nullptr;
    *length = 0;
    Walk w;
    const int walked = walk2(record, recordLength, index, w);
    if (walked) return walked;
    if (index < 0 || index >= w.count) return VALMORA_DECODE_NO_FIELD;
    *at = w.sec[section];
    *length = w.len[section];
    return VALMORA_DECODE_OK;
}

} // namespace g2

extern "C" {

int gribFieldCount(const unsigned char *record, size_t recordLength, int *count)
{
    if (count) *count = 0;
    if (!count) return VALMORA_DECODE_NO_ROOM;
    const int edition = editionOf(record, recordLength);
    if (edition < 0) return VALMORA_DECODE_NOT_GRIB;
    if (edition < 2) {
        // The decoder's own framing, so that the count and the decode of
        // field 0 never disagree about a record.
        const g1::Located l = g1::locate1(record, recordLength > (size_t)LONG_MAX ? LONG_MAX : (long)recordLength);
        if (l.status == 1) return VALMORA_DECODE_TRUNCATED;
        if (l.status == -1) return VALMORA_DECODE_NOT_GRIB;
        if (l.status != 0) return VALMORA_DECODE_DAMAGED;
        *count = 1;
        return VALMORA_DECODE_OK;
    }
    Walk w;
    const int status = walk2(record, recordLength, -1, w);
    if (status == VALMORA_DECODE_OK) *count = w.count;
    return status;
}

int grib_field_decode_double(const unsigned char *record, size_t recordLength, int index, gribField *field,
                             double *values, size_t *valuesSize, double missingValue)
{
    return fieldDecode(record, recordLength, index, field, values, valuesSize, missingValue);
}

int grib_field_decode_float(const unsigned char *record, size_t recordLength, int index, gribField *field,
                            float *values, size_t *valuesSize, float missingValue)
{
    return fieldDecode(record, recordLength, index, field, values, valuesSize, missingValue);
}

} // extern "C"
