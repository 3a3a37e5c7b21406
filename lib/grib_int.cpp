// Grid numerics: spectral coefficient helpers and quasi-regular to regular
// interpolation. Each double/float pair is instantiated from one template.
#include "valmora.h"
#include "support.h"

#include <cmath>

namespace {

// ---- Spectral coefficient helpers ----------------------------------------
// (end of spectral coefficient helpers)

// ---- Quasi-regular to regular interpolation -------------------------------
// Rows are interpolated one at a time into `result`; `row` holds the input
// row and `ext` the same row with one guard point after it, 1-based, so
// that the right-hand neighbour of the last point needs no special case.
struct QuRowScratch {
    size_t rowLength; // capacity of the input row: 2 x N
    size_t extLength; // capacity of the extended row: 3 x (2 x N + 3)
};

inline QuRowScratch quScratch(int nlon)
{
    size_t n = (size_t)nlon;
    return {2 * n, 3 * (2 * n + 3)};
}

// Rows the arithmetic below cannot serve: lengths outside 1 .. 2N overrun
// the row arrays, and N below 2 in non-periodic mode divides by zero.
// Checked before anything is allocated or written.
bool quShapeValid(const int *rows, int nrows, int nlon, bool periodic)
{
    if (nrows < 0 || nlon < 1 || (!periodic && nlon < 2)) return false;
    for (int j = 0; j < nrows; ++j)
        if (rows[j] < 1 || (long long)rows[j] > 2LL * nlon) return false;
    return true;
}

// One row of length L to N points. The position is computed as
// i * (1/D) * S in exactly this order, so results are reproducible to the
// last bit; weights are doubles whatever the field's type.
template <typename T>
void quRow(const T *in, int L, int N, T msval, bool periodic, bool nearest, T *row, T *ext, T *out)
{
    for (int i = 0; i < L; ++i) row[i] = in[i];
    for (int i = 0; i < L; ++i) ext[i + 1] = row[i];
    ext[L + 1] = periodic ? row[0] : row[L - 1];
    const double rdiv = 1.0 / (double)(periodic ? N : N - 1);
    const double span = (double)(periodic ? L : L - 1);

    for (int i = 0; i < N; ++i) {
        double p = (double)i * rdiv * span;
        int k = (int)p;
        double f = p - k;
        T a = ext[k + 1], b = ext[k + 2];
        if (nearest)
            out[i] = f < 0.5 ? a : b;
        else if (a == msval)
            out[i] = b;
        else if (b == msval)
            out[i] = a;
        else
            out[i] = (T)((1.0 - f) * (double)a + f * (double)b);
    }
}

// The whole field: rows of length N are copied, the others interpolated;
// the regular field then replaces the input in place.
template <typename T>
void quField(T *field, const int *rows, int nrows, int nlon, T msval, bool periodic, bool nearest,
             T *result, T *row, T *ext)
{
    size_t rpos = 0, wpos = 0;
    for (int j = 0; j < nrows; ++j) {
        int L = rows[j];
        if (L == nlon) {
            for (int i = 0; i < nlon; ++i) result[wpos + i] = field[rpos + i];
            rpos += (size_t)nlon;
        } else {
            quRow(field + rpos, L, nlon, msval, periodic, nearest, row, ext, result + wpos);
            rpos += (size_t)L;
        }
        wpos += (size_t)nlon;
    }
    for (size_t i = 0; i < wpos; ++i) field[i] = result[i];
}

template <typename T>
T *quAlloc(size_t count, const char *caller, int line)
{
    T *p = (T *)memMalloc(count * sizeof(T), "grib_int.cpp", caller, line);
    if (!p) SysError_(caller, "No Memory!");
    return p;
}

// The general version: allocates its own work arrays.
template <typename T>
int qu2reg3(T *field, int *rows, int nrows, int nlon, T msval, int *kret, int periodicFlag,
            int nearestFlag, const char *caller)
{
    bool periodic = periodicFlag != 0;
    if (!quShapeValid(rows, nrows, nlon, periodic)) {
        *kret = -1;
        return 0;
    }
    *kret = 0;
    QuRowScratch s = quScratch(nlon);
    T *result = quAlloc<T>((size_t)nrows * (size_t)nlon, caller, __LINE__);
    T *row = quAlloc<T>(s.rowLength, caller, __LINE__);
    T *ext = quAlloc<T>(s.extLength, caller, __LINE__);
    quField(field, rows, nrows, nlon, msval, periodic, nearestFlag != 0, result, row, ext);
    memFree(ext, "grib_int.cpp", caller, __LINE__);
    memFree(row, "grib_int.cpp", caller, __LINE__);
    memFree(result, "grib_int.cpp", caller, __LINE__);
    return 0;
}

// (end of quasi-regular interpolation)

} // namespace

extern "C" {

// ---- Spectral coefficient helpers: exported instances ---------------------
// (end of spectral exports)

// ---- Quasi-regular interpolation: exported instances ----------------------
int qu2reg2(double *pfield, int *kpoint, int klat, int klon, double *ztemp, double msval, int *kret)
{
    if (!quShapeValid(kpoint, klat, klon, true)) {
        *kret = -1;
        return 0;
    }
    *kret = 0;
    QuRowScratch s = quScratch(klon);
    double *row = quAlloc<double>(s.rowLength, "qu2reg2", __LINE__);
    double *ext = quAlloc<double>(s.extLength, "qu2reg2", __LINE__);
    quField(pfield, kpoint, klat, klon, msval, true, false, ztemp, row, ext);
    memFree(ext, "grib_int.cpp", "qu2reg2", __LINE__);
    memFree(row, "grib_int.cpp", "qu2reg2", __LINE__);
    return 0;
}

int qu2reg3_double(double *pfield, int *kpoint, int klat, int klon, double msval, int *kret,
                   int omisng, int operio, int oveggy)
{
    return qu2reg3(pfield, kpoint, klat, klon, msval, kret, operio, oveggy, "qu2reg3_double");
}

int qu2reg3_float(float *pfield, int *kpoint, int klat, int klon, float msval, int *kret,
                  int omisng, int operio, int oveggy)
{
    return qu2reg3(pfield, kpoint, klat, klon, msval, kret, operio, oveggy, "qu2reg3_float");
}

// (end of interpolation exports)

} // extern "C"
