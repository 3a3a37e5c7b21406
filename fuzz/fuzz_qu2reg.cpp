// Reduced-grid interpolation with arbitrary shapes: impossible shapes must
// be refused, possible ones must stay inside the field, and linear results
// must lie within the values of their row.
#include "valmora.h"

#include "check.h"

#include <algorithm>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3) return 0;
    int nrows = 1 + data[0] % 16;
    int nlon = data[1] % 65;
    int periodic = data[2] & 1, nearest = data[2] >> 1 & 1;
    data += 3;
    size -= 3;
    if (size < (size_t)nrows) return 0;
    std::vector<int> rows;
    size_t total = 0;
    bool valid = nlon >= 1 && (periodic || nlon >= 2);
    for (int j = 0; j < nrows; ++j) {
        int L = (int8_t)data[j];
        rows.push_back(L);
        if (L < 1 || L > 2 * nlon) valid = false;
        if (L > 0) total += (size_t)L;
    }
    data += nrows;
    size -= (size_t)nrows;

    size_t cap = std::max(total, (size_t)nrows * (size_t)(nlon > 0 ? nlon : 0));
    std::vector<double> fd(cap);
    for (size_t i = 0; i < cap; ++i) fd[i] = i < size ? (double)(int8_t)data[i] : 0.5;
    std::vector<float> ff(fd.begin(), fd.end());
    const double ms = -128; // the most negative input octet doubles as missing
    int ret = 1;
    qu2reg3_double(fd.data(), rows.data(), nrows, nlon, ms, &ret, 0, periodic, nearest);
    FUZZ_CHECK(ret == (valid ? 0 : -1), "qu2reg3_double: kret %d for a %s shape (%d rows, %d longitudes)", ret,
               valid ? "valid" : "invalid", nrows, nlon);
    qu2reg3_float(ff.data(), rows.data(), nrows, nlon, (float)ms, &ret, 0, periodic, nearest);
    FUZZ_CHECK(ret == (valid ? 0 : -1), "qu2reg3_float: kret %d for a %s shape (%d rows, %d longitudes)", ret,
               valid ? "valid" : "invalid", nrows, nlon);
    if (!valid) return 0;
    // The weights sum to one up to rounding.
    const double lo = -128 - 1e-9, hi = 127 + 1e-9;
    for (size_t i = 0; i < (size_t)nrows * (size_t)nlon; ++i)
        FUZZ_CHECK(fd[i] >= lo && fd[i] <= hi && ff[i] >= lo && ff[i] <= hi,
                   "point %zu of %d x %d outside the input range: double %g, float %g", i, nrows, nlon, fd[i],
                   (double)ff[i]);
    return 0;
}
