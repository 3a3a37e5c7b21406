// Realistic GRIB1 fields made by ecCodes from its samples, for the szip
// coder's tests, the bundled sample file and the benchmark.
#ifndef VALMORA_RECPACK_UTIL_H
#define VALMORA_RECPACK_UTIL_H

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <eccodes.h>

namespace recpackutil {

using Bytes = std::vector<unsigned char>;

struct FieldDesc {
    const char *sample;          // ecCodes sample name, without ".tmpl"
    int bits;                    // bits per value
    const char *packing;         // nullptr keeps the sample's packing
    bool bitmap = false;         // leave out a band of points as missing
    int truncation = 0;          // spectral: triangular truncation to set
    int parameter = 130;         // indicatorOfParameter
    unsigned seed = 1;           // varies the small-scale part of the field
};

// Deterministic small-scale variation in [-1, 1).
inline double noise(unsigned &state)
{
    state = state * 1664525u + 1013904223u;
    return (double)(state >> 8) / (double)(1u << 23) - 1.0;
}

// Smooth, temperature-like values at the grid points, with a little noise so
// the low bits are not all alike (real fields never are).
inline void gridValues(codes_handle *h, std::vector<double> &values, const FieldDesc &desc)
{
    size_t n = 0;
    codes_get_size(h, "values", &n);
    std::vector<double> lats(n), lons(n);
    values.assign(n, 0.0);
    codes_grib_get_data(h, lats.data(), lons.data(), values.data());
    unsigned state = desc.seed;
    const double rad = M_PI / 180.0;
    for (size_t i = 0; i < n; ++i) {
        double la = lats[i] * rad, lo = lons[i] * rad;
        double v = 288.0 - 45.0 * std::sin(la) * std::sin(la) + 6.0 * std::cos(2 * lo + desc.seed) * std::cos(la) +
                   2.5 * std::sin(5 * lo) * std::cos(3 * la) + 0.15 * noise(state);
        if (desc.bitmap && std::sin(3 * lo) * std::cos(2 * la) > 0.45) v = 9999.0;
        values[i] = v;
    }
}

// Spectral coefficients (pairs real, imaginary) whose size falls off with the
// total wavenumber and that change slowly along it, as in a smooth field.
inline void spectralValues(long T, std::vector<double> &values, unsigned seed)
{
    values.clear();
    unsigned state = seed;
    for (long m = 0; m <= T; ++m)
        for (long n = m; n <= T; ++n) {
            double amp = 5.0e3 / std::pow((double)n + 1.0, 2.2);
            values.push_back(amp * (std::cos(0.21 * n + 1.3 * m) + 0.02 * noise(state)));
            values.push_back(m == 0 ? 0.0 : amp * (0.8 * std::cos(0.21 * n + 1.3 * m + 0.1) + 0.02 * noise(state)));
        }
    values[0] = 2.8e5;
}

// One GRIB1 record of the field described; empty on an ecCodes failure.
inline Bytes makeRecord(const FieldDesc &desc)
{
    Bytes out;
    codes_handle *h = codes_grib_handle_new_from_samples(nullptr, desc.sample);
    if (!h) return out;
    codes_set_long(h, "indicatorOfParameter", desc.parameter);
    std::vector<double> values;
    bool spectral = std::string(desc.sample).rfind("sh_", 0) == 0;
    if (spectral) {
        long T = desc.truncation;
        if (T > 0) {
            codes_set_long(h, "pentagonalResolutionParameterJ", T);
            codes_set_long(h, "pentagonalResolutionParameterK", T);
            codes_set_long(h, "pentagonalResolutionParameterM", T);
        } else {
            codes_get_long(h, "pentagonalResolutionParameterJ", &T);
        }
        if (desc.packing) codes_set_string(h, "packingType", desc.packing, nullptr);
        spectralValues(T, values, desc.seed);
    } else {
        if (desc.packing) codes_set_string(h, "packingType", desc.packing, nullptr);
        gridValues(h, values, desc);
        if (desc.bitmap) {
            codes_set_double(h, "missingValue", 9999.0);
            codes_set_long(h, "bitmapPresent", 1);
        }
    }
    codes_set_long(h, "bitsPerValue", desc.bits);
    int err = codes_set_double_array(h, "values", values.data(), values.size());
    const void *msg = nullptr;
    size_t len = 0;
    if (err == 0 && codes_get_message(h, &msg, &len) == 0)
        out.assign((const unsigned char *)msg, (const unsigned char *)msg + len);
    codes_handle_delete(h);
    return out;
}

} // namespace recpackutil

#endif
