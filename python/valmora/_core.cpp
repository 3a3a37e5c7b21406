// The compiled half of the Python module: the one file that talks to the C
// interface. It finds records, decodes headers into keys named as ecCodes
// names them, decodes values straight into NumPy arrays with the GIL
// released, and packs and restores records. Everything else (names, units,
// datasets) lives in the Python files, so a change of the C interface stays
// here.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "valmora.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// A read-only view of any object with the buffer protocol (bytes, mmap,
// memoryview, NumPy arrays of octets).
struct Octets {
    py::buffer_info info;
    const unsigned char *data = nullptr;
    size_t size = 0;

    explicit Octets(const py::buffer &b) : info(b.request())
    {
        data = static_cast<const unsigned char *>(info.ptr);
        size = static_cast<size_t>(info.size) * static_cast<size_t>(info.itemsize);
    }
};

py::object valmoraError()
{
    static py::object error = py::module_::import("valmora._errors").attr("ValmoraError");
    return error;
}

[[noreturn]] void fail(const std::string &what)
{
    PyErr_SetString(valmoraError().ptr(), what.c_str());
    throw py::error_already_set();
}

std::string at(size_t offset) { return "record at offset " + std::to_string(offset) + ": "; }

// The decoder's results in the library's words.
const char *decodeReason(int status) { return valmoraStatusText(VALMORA_STATUS_DECODE, status); }

void checkRange(const Octets &o, size_t offset, size_t length)
{
    if (offset > o.size || length > o.size - offset) fail(at(offset) + "lies beyond the end of the data");
}

// ---- Finding records ---------------------------------------------------------

// (offset, length, status) of every marker in order: status 0 a record,
// -2 a marker that starts no record, 1 a record cut short by the end.
std::vector<py::tuple> findRecords(const py::buffer &b)
{
    Octets o(b);
    std::vector<std::array<size_t, 3>> found;
    {
        py::gil_scoped_release nogil;
        size_t pos = 0;
        while (pos < o.size) {
            size_t off = 0, len = 0;
            const int r = gribFindRecord(o.data + pos, o.size - pos, &off, &len);
            if (r == -1) break;
            if (r == 0) {
                found.push_back({pos + off, len, 0});
                pos += off + len;
            } else if (r == 1) {
                found.push_back({pos + off, o.size - pos - off, 1});
                break;
            } else {
                found.push_back({pos + off, 0, 2});
                pos += off + 1; // search on after the marker
            }
        }
    }
    std::vector<py::tuple> out;
    out.reserve(found.size());
    for (auto &f : found) out.push_back(py::make_tuple(f[0], f[1], f[2] == 2 ? -2 : (int)f[2]));
    return out;
}

int edition(const py::buffer &b, size_t offset)
{
    Octets o(b);
    if (offset > o.size) return -1;
    return gribVersion(o.data + offset, o.size - offset);
}

// ---- Keys of an edition 0/1 record -----------------------------------------

// ecCodes' gridType by GRIB2 grid definition template.
const char *gridTypeName(int t, bool reduced)
{
    switch (t) {
    case 0: return reduced ? "reduced_ll" : "regular_ll";
    case 1: return reduced ? "reduced_rotated_ll" : "rotated_ll";
    case 2: return "stretched_ll";
    case 3: return "stretched_rotated_ll";
    case 40: return reduced ? "reduced_gg" : "regular_gg";
    case 41: return reduced ? "reduced_rotated_gg" : "rotated_gg";
    case 42: return "stretched_gg";
    case 43: return "stretched_rotated_gg";
    case 10: return "mercator";
    case 20: return "polar_stereographic";
    case 30: return "lambert";
    case 50: return "sh";
    case 51: return "rotated_sh";
    case 52: return "stretched_sh";
    case 53: return "stretched_rotated_sh";
    case 90: return "space_view";
    case 101: return "unstructured_grid";
    default: return "unknown";
    }
}

// The GRIB2 template of a GRIB1 data representation type (code table 6).
int grib1Template(int type)
{
    switch (type) {
    case 0: return 0;
    case 10: return 1;
    case 20: return 2;
    case 30: return 3;
    case 4: return 40;
    case 14: return 41;
    case 24: return 42;
    case 34: return 43;
    case 1: return 10;
    case 5: return 20;
    case 3: return 30;
    case 50: return 50;
    case 60: return 51;
    case 70: return 52;
    case 80: return 53;
    case 90: return 90;
    default: return -1;
    }
}

// Level types whose octets 11-12 hold two levels, top and bottom.
bool layer(int type)
{
    switch (type) {
    case 101: case 104: case 106: case 108: case 110: case 112: case 114:
    case 116: case 120: case 121: case 128: case 141:
        return true;
    default:
        return false;
    }
}

struct Sections {
    int isec0[VALMORA_ISEC0_SIZE] = {};
    int isec1[VALMORA_ISEC1_SIZE] = {};
    std::vector<int> isec2 = std::vector<int>(VALMORA_ISEC2_SIZE);
    std::vector<double> fsec2 = std::vector<double>(VALMORA_FSEC2_SIZE);
    int isec3[VALMORA_ISEC3_SIZE] = {};
    double fsec3[VALMORA_FSEC3_SIZE] = {};
    int isec4[VALMORA_ISEC4_SIZE] = {};
    size_t isec2Size = VALMORA_ISEC2_SIZE, fsec2Size = VALMORA_FSEC2_SIZE, points = 0;
    int zip = 0;
    size_t unpackedLength = 0;
};

double degrees(int milli) { return milli / 1000.0; }

py::dict grib1Keys(const py::buffer &b, size_t offset, size_t length)
{
    Octets o(b);
    checkRange(o, offset, length);
    Sections s;
    int status;
    {
        py::gil_scoped_release nogil;
        status = grib_decode_double(o.data + offset, length, s.isec0, s.isec1, s.isec2.data(), &s.isec2Size,
                                    s.fsec2.data(), &s.fsec2Size, s.isec3, s.fsec3, s.isec4, nullptr, &s.points);
        if (status == VALMORA_DECODE_OK || status == VALMORA_DECODE_UNSUPPORTED ||
            status == VALMORA_DECODE_GRID_NOT_DECODED)
            s.zip = gribGetZip((long)length, const_cast<unsigned char *>(o.data + offset), &s.unpackedLength);
    }
    if (status != VALMORA_DECODE_OK && status != VALMORA_DECODE_GRID_NOT_DECODED &&
        status != VALMORA_DECODE_UNSUPPORTED)
        fail(at(offset) + decodeReason(status));

    const int *i1 = s.isec1, *i2 = s.isec2.data();
    py::dict k;
    k["editionNumber"] = s.isec0[1];
    k["totalLength"] = s.isec0[0];
    k["table2Version"] = i1[0];
    k["centre"] = i1[1];
    k["generatingProcessIdentifier"] = i1[2];
    k["gridDefinition"] = i1[3];
    k["indicatorOfParameter"] = i1[5];
    k["indicatorOfTypeOfLevel"] = i1[6];
    if (layer(i1[6])) {
        k["topLevel"] = i1[7];
        k["bottomLevel"] = i1[8];
        k["level"] = i1[7];
    } else {
        // ecCodes reads octets 11-12 as one number for every other type,
        // surface included; the arrays split them for most types.
        const unsigned char *pds = o.data + offset + 8;
        k["level"] = pds[10] << 8 | pds[11];
    }
    const int century = i1[20] < 0 ? -i1[20] : i1[20];
    const int year = (century - 1) * 100 + i1[9];
    k["yearOfCentury"] = i1[9];
    k["century"] = century;
    k["year"] = year;
    k["month"] = i1[10];
    k["day"] = i1[11];
    k["hour"] = i1[12];
    k["minute"] = i1[13];
    k["dataDate"] = year * 10000 + i1[10] * 100 + i1[11];
    k["dataTime"] = i1[12] * 100 + i1[13];
    k["unitOfTimeRange"] = i1[14];
    k["P1"] = i1[15];
    k["P2"] = i1[16];
    k["timeRangeIndicator"] = i1[17];
    k["numberIncludedInAverage"] = i1[18];
    k["numberMissingFromAveragesOrAccumulations"] = i1[19];
    k["subCentre"] = i1[21];
    k["decimalScaleFactor"] = i1[22];
    if (i1[1] == 98 && i1[23] == 1) {
        k["localDefinitionNumber"] = i1[36];
        k["marsClass"] = i1[37];
        k["marsType"] = i1[38];
        k["marsStream"] = i1[39];
        char expver[5] = {};
        std::memcpy(expver, &i1[40], 4);
        k["experimentVersionNumber"] = std::string(expver);
        k["perturbationNumber"] = i1[41];
        k["numberOfForecastsInEnsemble"] = i1[42];
    }

    const bool hasGrid = (i1[4] & 0x80) != 0;
    const int type = i2[0];
    const bool reduced = i2[16] == 1;
    k["gridDescriptionSectionPresent"] = hasGrid ? 1 : 0;
    k["bitmapPresent"] = (i1[4] & 0x40) ? 1 : 0;
    k["dataRepresentationType"] = type;
    k["gridType"] = hasGrid ? gridTypeName(grib1Template(type), reduced) : "unknown";
    const bool latlon = type == 0 || type == 10 || type == 20 || type == 30;
    const bool gaussian = type == 4 || type == 14 || type == 24 || type == 34;
    if (hasGrid && (latlon || gaussian)) {
        k["Ni"] = reduced ? py::object(py::none()) : py::object(py::int_(i2[1]));
        k["Nj"] = i2[2];
        k["latitudeOfFirstGridPointInDegrees"] = degrees(i2[3]);
        k["longitudeOfFirstGridPointInDegrees"] = degrees(i2[4]);
        k["resolutionAndComponentFlags"] = i2[5];
        k["latitudeOfLastGridPointInDegrees"] = degrees(i2[6]);
        k["longitudeOfLastGridPointInDegrees"] = degrees(i2[7]);
        if (i2[8] >= 0) k["iDirectionIncrementInDegrees"] = degrees(i2[8]);
        if (gaussian)
            k["N"] = i2[9];
        else if (i2[9] >= 0)
            k["jDirectionIncrementInDegrees"] = degrees(i2[9]);
        if (reduced) {
            std::vector<int> pl(i2 + 22, i2 + 22 + i2[2]);
            k["pl"] = pl;
        }
        if (type == 10 || type == 14 || type == 30 || type == 34) {
            k["latitudeOfSouthernPoleInDegrees"] = degrees(i2[12]);
            k["longitudeOfSouthernPoleInDegrees"] = degrees(i2[13]);
            k["angleOfRotationInDegrees"] = s.fsec2[0];
        }
    } else if (hasGrid && (type == 3 || type == 5)) {
        k["Nx"] = i2[1];
        k["Ny"] = i2[2];
        k["latitudeOfFirstGridPointInDegrees"] = degrees(i2[3]);
        k["longitudeOfFirstGridPointInDegrees"] = degrees(i2[4]);
        k["LoVInDegrees"] = degrees(i2[6]);
        k["DxInMetres"] = i2[8];
        k["DyInMetres"] = i2[9];
        k["projectionCentreFlag"] = i2[12];
        if (type == 3) {
            k["Latin1InDegrees"] = degrees(i2[13]);
            k["Latin2InDegrees"] = degrees(i2[14]);
        }
    } else if (hasGrid && (type == 50 || type == 60 || type == 70 || type == 80)) {
        k["J"] = i2[1];
        k["K"] = i2[2];
        k["M"] = i2[3];
    }
    if (hasGrid) {
        const int scan = i2[10];
        k["scanningMode"] = scan;
        k["iScansNegatively"] = (scan >> 7) & 1;
        k["jScansPositively"] = (scan >> 6) & 1;
        k["jPointsAreConsecutive"] = (scan >> 5) & 1;
        k["NV"] = i2[11];
        if (i2[11] > 0) {
            std::vector<double> pv(s.fsec2.begin() + 10, s.fsec2.begin() + 10 + i2[11]);
            k["pv"] = pv;
        }
    }

    const int *i4 = s.isec4;
    k["numberOfDataPoints"] = i4[0];
    k["numberOfPoints"] = i4[0];
    k["numberOfValues"] = (i1[4] & 0x40) ? i4[20] : i4[0];
    k["bitsPerValue"] = i4[1];
    const bool spectral = i4[2] == 128, complex = i4[3] == 64;
    k["packingType"] = spectral ? (complex ? "spectral_complex" : "spectral_simple")
                                : (complex ? "grid_second_order" : "grid_simple");
    // The packed forms recpack writes: keys of the record they restore to.
    const bool packed = s.zip == VALMORA_ZIP_SZIP || s.zip == VALMORA_ZIP_CCSDS || s.zip == VALMORA_ZIP_CCSDS_PLANES ||
                        s.zip == VALMORA_ZIP_ZSTD_PLANES || s.zip == VALMORA_ZIP_ZSTD;
    k["recpackPacked"] = packed ? 1 : 0;
    if (packed) {
        k["recpackCode"] = s.zip;
        k["recpackUnpackedLength"] = s.unpackedLength;
    }
    k["decodeStatus"] = status;
    return k;
}

// ---- Values of an edition 0/1 record ---------------------------------------

// Into `out` when given (a writable C-contiguous array of the record's
// number of points), so that a caller filling a larger array spares a copy.
// A writable C-contiguous array of n values for `out`, or a new one.
template <typename T> py::array_t<T> outputArray(const py::object &out, size_t n, size_t offset)
{
    if (out.is_none()) return py::array_t<T>(static_cast<py::ssize_t>(n));
    auto values = py::array_t<T>::ensure(out);
    if (!values || values.ptr() != out.ptr() || !values.writeable() || !(values.flags() & py::array::c_style) ||
        static_cast<size_t>(values.size()) != n)
        fail(at(offset) + "out must be a writable C-contiguous array of " + std::to_string(n) +
             " values of the type asked for");
    return values;
}

template <typename T>
py::array_t<T> fieldValues(const Octets &o, size_t offset, size_t length, int index, double missing,
                           const py::object &out);

template <typename T>
py::array_t<T> values(const py::buffer &b, size_t offset, size_t length, int index, double missing, py::object out)
{
    Octets o(b);
    checkRange(o, offset, length);
    if (gribVersion(o.data + offset, length) == 2) return fieldValues<T>(o, offset, length, index, missing, out);
    Sections s;
    int status;
    // The number of points first, from the headers alone (nothing is
    // decompressed), so the array is made once at its size.
    {
        py::gil_scoped_release nogil;
        status = grib_decode_double(o.data + offset, length, s.isec0, s.isec1, nullptr, nullptr, nullptr, nullptr,
                                    s.isec3, s.fsec3, s.isec4, nullptr, &s.points);
    }
    if (status != VALMORA_DECODE_OK && status != VALMORA_DECODE_GRID_NOT_DECODED)
        fail(at(offset) + decodeReason(status));
    py::array_t<T> result = outputArray<T>(out, s.points, offset);
    T *into = result.mutable_data();
    {
        py::gil_scoped_release nogil;
        int isec0[VALMORA_ISEC0_SIZE], isec1[VALMORA_ISEC1_SIZE], isec3[VALMORA_ISEC3_SIZE] = {};
        int isec4[VALMORA_ISEC4_SIZE];
        T fsec3[VALMORA_FSEC3_SIZE] = {0, static_cast<T>(missing)};
        size_t n = s.points;
        if constexpr (std::is_same_v<T, double>)
            status = grib_decode_double(o.data + offset, length, isec0, isec1, nullptr, nullptr, nullptr, nullptr,
                                        isec3, fsec3, isec4, into, &n);
        else
            status = grib_decode_float(o.data + offset, length, isec0, isec1, nullptr, nullptr, nullptr, nullptr,
                                       isec3, fsec3, isec4, into, &n);
    }
    if (status != VALMORA_DECODE_OK && status != VALMORA_DECODE_GRID_NOT_DECODED)
        fail(at(offset) + decodeReason(status));
    return result;
}

// ---- Fields of an edition 2 message ---------------------------------------------

std::string fieldAt(size_t offset, int index)
{
    return "field " + std::to_string(index) + " of the message at offset " + std::to_string(offset) + ": ";
}

int fieldCount(const py::buffer &b, size_t offset, size_t length)
{
    Octets o(b);
    checkRange(o, offset, length);
    int count = 0;
    const int status = gribFieldCount(o.data + offset, length, &count);
    if (status != VALMORA_DECODE_OK) fail(at(offset) + decodeReason(status));
    return count;
}

const char *packingName(int t)
{
    switch (t) {
    case 0: return "grid_simple";
    case 2: return "grid_complex";
    case 3: return "grid_complex_spatial_differencing";
    case 4: return "grid_ieee";
    case 40: return "grid_jpeg";
    case 41: return "grid_png";
    case 42: return "grid_ccsds";
    case 50: return "spectral_simple";
    case 51: return "spectral_complex";
    default: return "unknown";
    }
}

// Members the record does not give are left out of the keys.
void put(py::dict &k, const char *key, int64_t v)
{
    if (v != VALMORA_FIELD_MISSING) k[key] = v;
}
void putReal(py::dict &k, const char *key, double v)
{
    if (v != VALMORA_FIELD_NOT_GIVEN) k[key] = v;
}

py::dict fieldKeys(const py::buffer &b, size_t offset, size_t length, int index)
{
    Octets o(b);
    checkRange(o, offset, length);
    gribField f{};
    int status;
    {
        py::gil_scoped_release nogil;
        status = grib_field_decode_double(o.data + offset, length, index, &f, nullptr, nullptr, 0.0);
    }
    if (status != VALMORA_DECODE_OK && status != VALMORA_DECODE_PACKING_UNSUPPORTED &&
        status != VALMORA_DECODE_UNSUPPORTED)
        fail(fieldAt(offset, index) + decodeReason(status));
    py::dict k;
    k["editionNumber"] = 2;
    k["totalLength"] = f.recordLength;
    put(k, "discipline", f.discipline);
    put(k, "centre", f.centre);
    put(k, "subCentre", f.subCentre);
    put(k, "masterTablesVersion", f.masterTablesVersion);
    put(k, "localTablesVersion", f.localTablesVersion);
    put(k, "significanceOfReferenceTime", f.significanceOfReferenceTime);
    k["year"] = f.year;
    k["month"] = f.month;
    k["day"] = f.day;
    k["hour"] = f.hour;
    k["minute"] = f.minute;
    k["second"] = f.second;
    k["dataDate"] = f.year * 10000 + f.month * 100 + f.day;
    k["dataTime"] = f.hour * 100 + f.minute;
    put(k, "productionStatusOfProcessedData", f.productionStatusOfProcessedData);
    put(k, "typeOfProcessedData", f.typeOfProcessedData);
    put(k, "productDefinitionTemplateNumber", f.productDefinitionTemplateNumber);
    put(k, "parameterCategory", f.parameterCategory);
    put(k, "parameterNumber", f.parameterNumber);
    put(k, "typeOfGeneratingProcess", f.typeOfGeneratingProcess);
    put(k, "generatingProcessIdentifier", f.generatingProcessIdentifier);
    put(k, "indicatorOfUnitOfTimeRange", f.indicatorOfUnitOfTimeRange);
    k["forecastTime"] = f.forecastTime;
    put(k, "typeOfFirstFixedSurface", f.typeOfFirstFixedSurface);
    put(k, "scaleFactorOfFirstFixedSurface", f.scaleFactorOfFirstFixedSurface);
    put(k, "scaledValueOfFirstFixedSurface", f.scaledValueOfFirstFixedSurface);
    put(k, "typeOfSecondFixedSurface", f.typeOfSecondFixedSurface);
    put(k, "scaleFactorOfSecondFixedSurface", f.scaleFactorOfSecondFixedSurface);
    put(k, "scaledValueOfSecondFixedSurface", f.scaledValueOfSecondFixedSurface);
    put(k, "typeOfStatisticalProcessing", f.typeOfStatisticalProcessing);
    put(k, "indicatorOfUnitForTimeRange", f.indicatorOfUnitForTimeRange);
    if (f.typeOfStatisticalProcessing != VALMORA_FIELD_MISSING) k["lengthOfTimeRange"] = f.lengthOfTimeRange;
    put(k, "typeOfEnsembleForecast", f.typeOfEnsembleForecast);
    put(k, "perturbationNumber", f.perturbationNumber);
    put(k, "numberOfForecastsInEnsemble", f.numberOfForecastsInEnsemble);

    const bool reduced = f.isReduced == 1;
    put(k, "gridDefinitionTemplateNumber", f.gridDefinitionTemplateNumber);
    k["gridType"] = gridTypeName(f.gridDefinitionTemplateNumber, reduced);
    k["numberOfDataPoints"] = f.numberOfDataPoints;
    k["numberOfPoints"] = f.numberOfDataPoints;
    put(k, "shapeOfTheEarth", f.shapeOfTheEarth);
    if (!reduced) put(k, "Ni", f.Ni);
    put(k, "Nj", f.Nj);
    putReal(k, "latitudeOfFirstGridPointInDegrees", f.latitudeOfFirstGridPoint);
    putReal(k, "longitudeOfFirstGridPointInDegrees", f.longitudeOfFirstGridPoint);
    putReal(k, "latitudeOfLastGridPointInDegrees", f.latitudeOfLastGridPoint);
    putReal(k, "longitudeOfLastGridPointInDegrees", f.longitudeOfLastGridPoint);
    putReal(k, "iDirectionIncrementInDegrees", f.iDirectionIncrement);
    putReal(k, "jDirectionIncrementInDegrees", f.jDirectionIncrement);
    put(k, "N", f.N);
    if (reduced && f.plOffset >= 0 && f.plOctets > 0 &&
        static_cast<size_t>(f.plOffset) + static_cast<size_t>(f.plCount) * f.plOctets <= length) {
        std::vector<int64_t> pl(static_cast<size_t>(f.plCount));
        const unsigned char *p = o.data + offset + f.plOffset;
        for (auto &n : pl) {
            n = 0;
            for (int i = 0; i < f.plOctets; ++i) n = n << 8 | *p++;
        }
        k["pl"] = pl;
    }
    putReal(k, "LaDInDegrees", f.LaD);
    putReal(k, "LoVInDegrees", f.LoV);
    putReal(k, "DxInMetres", f.Dx);
    putReal(k, "DyInMetres", f.Dy);
    putReal(k, "Latin1InDegrees", f.Latin1);
    putReal(k, "Latin2InDegrees", f.Latin2);
    putReal(k, "latitudeOfSouthernPoleInDegrees", f.latitudeOfSouthernPole);
    putReal(k, "longitudeOfSouthernPoleInDegrees", f.longitudeOfSouthernPole);
    putReal(k, "angleOfRotationInDegrees", f.angleOfRotation);
    if (f.gridDefinitionTemplateNumber == 10 || f.gridDefinitionTemplateNumber == 20 ||
        f.gridDefinitionTemplateNumber == 30) {
        put(k, "Nx", f.Ni);
        put(k, "Ny", f.Nj);
    }
    if (f.scanningMode != VALMORA_FIELD_MISSING) {
        k["scanningMode"] = f.scanningMode;
        k["iScansNegatively"] = (f.scanningMode >> 7) & 1;
        k["jScansPositively"] = (f.scanningMode >> 6) & 1;
        k["jPointsAreConsecutive"] = (f.scanningMode >> 5) & 1;
    }
    k["numberOfValues"] = f.numberOfValues;
    k["bitmapPresent"] = f.bitmapPresent;
    put(k, "dataRepresentationTemplateNumber", f.dataRepresentationTemplateNumber);
    k["packingType"] = packingName(f.dataRepresentationTemplateNumber);
    k["bitsPerValue"] = f.bitsPerValue;
    k["binaryScaleFactor"] = f.binaryScaleFactor;
    k["decimalScaleFactor"] = f.decimalScaleFactor;
    k["referenceValue"] = f.referenceValue;
    k["NV"] = 0;
    k["recpackPacked"] = 0;
    k["decodeStatus"] = status;
    return k;
}

template <typename T>
py::array_t<T> fieldValues(const Octets &o, size_t offset, size_t length, int index, double missing,
                           const py::object &out)
{
    size_t n = 0;
    int status;
    {
        py::gil_scoped_release nogil;
        status = grib_field_decode_double(o.data + offset, length, index, nullptr, nullptr, &n, missing);
    }
    if (status != VALMORA_DECODE_OK && status != VALMORA_DECODE_NO_ROOM)
        fail(fieldAt(offset, index) + decodeReason(status));
    py::array_t<T> result = outputArray<T>(out, n, offset);
    T *into = result.mutable_data();
    {
        py::gil_scoped_release nogil;
        if constexpr (std::is_same_v<T, double>)
            status = grib_field_decode_double(o.data + offset, length, index, nullptr, into, &n, missing);
        else
            status = grib_field_decode_float(o.data + offset, length, index, nullptr, into, &n,
                                             static_cast<float>(missing));
    }
    if (status != VALMORA_DECODE_OK) fail(fieldAt(offset, index) + decodeReason(status));
    return result;
}

// ---- Coordinates -------------------------------------------------------------

const char *fieldReason(int status)
{
    return status == VALMORA_DECODE_GRID_UNSUPPORTED ? "no coordinates for this grid" : decodeReason(status);
}

// Latitudes and longitudes of every point of field `index`, in the order
// of its values.
py::tuple latLons(const py::buffer &b, size_t offset, size_t length, int index)
{
    Octets o(b);
    checkRange(o, offset, length);
    size_t n = 0;
    int status = gribFieldLatLons(o.data + offset, length, index, nullptr, nullptr, &n);
    if (status != VALMORA_DECODE_OK && status != VALMORA_DECODE_NO_ROOM) fail(at(offset) + fieldReason(status));
    py::array_t<double> lats(static_cast<py::ssize_t>(n)), lons(static_cast<py::ssize_t>(n));
    double *la = lats.mutable_data(), *lo = lons.mutable_data();
    {
        py::gil_scoped_release nogil;
        status = gribFieldLatLons(o.data + offset, length, index, la, lo, &n);
    }
    if (status != VALMORA_DECODE_OK) fail(at(offset) + fieldReason(status));
    return py::make_tuple(lats, lons);
}

// ---- Packing records ---------------------------------------------------------

// Room past a record that the packed forms may pad into.
constexpr size_t kPadRoom = 128;

int packOptions(bool compat, bool grib2) { return (compat ? VALMORA_PACK_COMPAT : 0) | (grib2 ? VALMORA_PACK_GRIB2 : 0); }

py::bytes packRecord(const py::buffer &b, bool compat, bool grib2)
{
    Octets o(b);
    if (o.size == 0) fail("pack_record: no octets");
    std::string out(o.size + kPadRoom, '\0');
    int n, coded = 0;
    {
        py::gil_scoped_release nogil;
        n = recPackRecord(o.data, o.size, &out[0], out.size(), packOptions(compat, grib2), &coded);
    }
    if (n <= 0) fail("pack_record: the record could not be packed");
    out.resize(static_cast<size_t>(n));
    return py::bytes(out);
}

py::bytes unpackRecord(const py::buffer &b, bool grib2)
{
    Octets o(b);
    if (o.size == 0) fail("unpack_record: no octets");
    size_t room = o.size;
    if (o.size >= 8 && gribVersion(o.data, o.size) == 1) {
        size_t unpacked = 0;
        if (gribGetZip((long)o.size, const_cast<unsigned char *>(o.data), &unpacked) != 0 && unpacked > room)
            room = unpacked;
    } else if (grib2) {
        room = 4 * o.size + (1u << 20); // CCSDS back to simple packing grows; the library says when short
    }
    for (;;) {
        std::string out(room + kPadRoom, '\0');
        int n, restored = 0;
        {
            py::gil_scoped_release nogil;
            n = recUnpackRecord(o.data, o.size, &out[0], out.size(), grib2 ? VALMORA_PACK_GRIB2 : 0, &restored);
        }
        if (n <= 0) fail("unpack_record: the record could not be restored");
        if (restored < 0) {
            if (grib2 && room < (size_t)64 * o.size + (64u << 20)) {
                room *= 4; // perhaps only short of room: once more with more
                continue;
            }
            fail("unpack_record: the packed data are damaged; the record was left packed");
        }
        out.resize(static_cast<size_t>(n));
        return py::bytes(out);
    }
}

// ---- Packing whole files ----------------------------------------------------

// The run's own lines, gathered from the writing thread.
struct Lines {
    std::mutex lock;
    std::string text;
    static void add(void *context, const char *line)
    {
        auto *self = static_cast<Lines *>(context);
        std::lock_guard<std::mutex> hold(self->lock);
        self->text += line;
    }
};

py::dict packFile(int ifd, int ofd, bool unpack, int workers, bool compat, bool grib2, const std::string &input,
                  const std::string &output)
{
    Lines lines;
    recPackOptions options{};
    options.unpack = unpack ? 1 : 0;
    options.workers = workers;
    options.program = unpack ? "valmora.unpack" : "valmora.pack";
    options.inputName = input.c_str();
    options.outputName = output.c_str();
    options.compat = compat ? 1 : 0;
    options.grib2 = grib2 ? 1 : 0;
    options.message = &Lines::add;
    options.context = &lines;
    recPackResult r{};
    int status;
    {
        py::gil_scoped_release nogil;
        status = recPackFile(ifd, ofd, &options, &r);
    }
    py::dict d;
    d["status"] = status;
    d["records_coded"] = r.recordsCoded;
    d["records_copied"] = r.recordsCopied;
    d["records_left_packed"] = r.recordsLeftPacked;
    d["octets_in"] = r.octetsIn;
    d["octets_out"] = r.octetsOut;
    d["seconds"] = r.wallAll;
    d["messages"] = lines.text;
    return d;
}

} // namespace

PYBIND11_MODULE(_core, m)
{
    m.doc() = "The C interface of libvalmora, as the valmora package uses it.";
    m.def("library_version", &gribLibraryVersion);
    m.def("find_records", &findRecords, py::arg("data"),
          "(offset, length, status) of every GRIB marker in data: status 0 a record, "
          "-2 a marker that starts no record, 1 a record cut short by the end.");
    m.def("edition", &edition, py::arg("data"), py::arg("offset"));
    m.def("grib1_keys", &grib1Keys, py::arg("data"), py::arg("offset"), py::arg("length"));
    m.def("field_count", &fieldCount, py::arg("data"), py::arg("offset"), py::arg("length"));
    m.def("field_keys", &fieldKeys, py::arg("data"), py::arg("offset"), py::arg("length"), py::arg("index"));
    m.def("values_double", &values<double>, py::arg("data"), py::arg("offset"), py::arg("length"),
          py::arg("index"), py::arg("missing"), py::arg("out") = py::none());
    m.def("values_float", &values<float>, py::arg("data"), py::arg("offset"), py::arg("length"),
          py::arg("index"), py::arg("missing"), py::arg("out") = py::none());
    m.def("latlons", &latLons, py::arg("data"), py::arg("offset"), py::arg("length"), py::arg("index") = 0);
    m.def("pack_file", &packFile, py::arg("ifd"), py::arg("ofd"), py::arg("unpack"), py::arg("workers"),
          py::arg("compat"), py::arg("grib2"), py::arg("input"), py::arg("output"));
    m.def("pack_record", &packRecord, py::arg("record"), py::arg("compat") = false, py::arg("grib2") = false);
    m.def("unpack_record", &unpackRecord, py::arg("record"), py::arg("grib2") = false);
}
