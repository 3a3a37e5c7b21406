// Grid numerics: spectral coefficient helpers and quasi-regular to regular
// interpolation. Each double/float pair is instantiated from one template.
#include "valmora.h"
#include "support.h"

#include <cmath>

namespace {

// ---- Spectral coefficient helpers ----------------------------------------
// Pair index of coefficient (m, n) in the m-outer, n-inner order of
// truncation t.
inline long pairIndex(long m, long n, long t) { return m * (t + 1) - m * (m - 1) / 2 + (n - m); }

// Work arrays cannot be done without: a request that fails ends the
// process, as for every scratch request of this module.
template <typename P> P *checked(P *p, const char *caller)
{
    if (!p) SysError_(caller, "No Memory!");
    return p;
}

template <typename T>
void scaleComplex(T *fpdata, int pcStart, int pcScale, int trunc, int inv, const char *name)
{
    if (pcScale < -10000 || pcScale > 10000) {
        Print_(stderr, " %s: Invalid power given %6d\n", name, pcScale);
        return;
    }
    if (pcScale == 0 || trunc < 0) return;

    double *scale = checked((double *)memAlloc((size_t)(trunc + 1) * sizeof(double)), name);
    scale[0] = 1.0;
    const double power = pcScale / 1000.0;
    for (long n = 1; n <= trunc; ++n) {
        const long nn = n * (n + 1);
        scale[n] = pcScale == 1000 ? (double)nn : pow((double)nn, power);
    }
    if (inv)
        for (long n = 1; n <= trunc; ++n) scale[n] = 1.0 / scale[n];

    // Widened to double so that the float twin rounds once per value.
    long index = 0;
    for (long m = 0; m <= trunc; ++m)
        for (long n = m; n <= trunc; ++n, index += 2)
            if (n >= pcStart) {
                fpdata[index] = (T)((double)fpdata[index] * scale[n]);
                fpdata[index + 1] = (T)((double)fpdata[index + 1] * scale[n]);
            }

    memRelease(scale);
}

// Subset (n <= J) first, the rest after, each in its former order. Every
// read and write stays within the nsp values given: a count that is short
// of the truncation moves what it holds and no more.
template <typename T>
void gatherComplex(T *fpdata, size_t pcStart, size_t trunc, size_t nsp, const char *name)
{
    if (nsp == 0) return;
    T *buf = checked((T *)memAlloc(nsp * sizeof(T)), name);
    size_t out = 0;
    for (int pass = 0; pass < 2; ++pass) {
        size_t index = 0;
        for (size_t m = 0; m <= trunc && index + 1 < nsp; ++m)
            for (size_t n = m; n <= trunc && index + 1 < nsp; ++n, index += 2)
                if ((n <= pcStart) == (pass == 0)) {
                    buf[out] = fpdata[index];
                    buf[out + 1] = fpdata[index + 1];
                    out += 2;
                }
    }
    // Values past the truncation's pairs were not moved and stay as they are.
    for (size_t i = 0; i < out; ++i) fpdata[i] = buf[i];
    memRelease(buf);
}

template <typename T>
void scatterComplex(T *fpdata, int pcStart, int trunc, int nsp, const char *name)
{
    if (nsp <= 0) return;
    const long js = pcStart < 0 ? 0 : pcStart;
    const long t = trunc < 0 ? 0 : trunc;
    const long count = nsp;
    T *buf = checked((T *)memAlloc((size_t)count * sizeof(T)), name);
    for (long i = 0; i < count; ++i) buf[i] = fpdata[i];

    long in = 0;
    auto place = [&](long m, long n) {
        const long to = 2 * pairIndex(m, n, t);
        if (in + 1 < count && to + 1 < count) {
            buf[to] = fpdata[in];
            buf[to + 1] = fpdata[in + 1];
        }
        in += 2;
    };
    if (js <= t)
        for (long m = 0; m <= js; ++m)
            for (long n = m; n <= js; ++n) place(m, n);
    for (long m = 0; m <= t; ++m)
        for (long n = m > js + 1 ? m : js + 1; n <= t; ++n) place(m, n);

    for (long i = 0; i < count; ++i) fpdata[i] = buf[i];
    memRelease(buf);
}

// Least-squares fit of ln(max |coefficient| at n) against ln(n(n+1)).
// Norms at or below 1e-15 are floored there with a weight of 1e-13, as the
// extra point at T + 1 is: an all-zero wavenumber would otherwise put the
// logarithm of zero into the fit and make P not a number.
template <typename T>
double calculatePfactor(const T *spectralField, long fieldTruncation, long subsetTruncation, const char *name)
{
    const long t = fieldTruncation;
    const long s = subsetTruncation < 0 ? 0 : subsetTruncation; // no wavenumbers below 0
    if (s > t) return NAN;

    double *weights = checked((double *)memAlloc((size_t)(t + 2) * sizeof(double)), name);
    double *norms = checked((double *)memAlloc((size_t)(t + 2) * sizeof(double)), name);
    for (long n = 0; n <= t + 1; ++n) {
        norms[n] = 0.0;
        weights[n] = 0.0;
    }
    for (long n = s + 1; n <= t + 1; ++n) weights[n] = (double)(t - s + 1) / (double)(n - s);

    long index = 0;
    for (long m = 0; m <= t; ++m)
        for (long n = m; n <= t; ++n, index += 2)
            if (n >= s) {
                const double re = fabs((double)spectralField[index]);
                const double im = fabs((double)spectralField[index + 1]);
                if (re > norms[n]) norms[n] = re;
                if (im > norms[n]) norms[n] = im;
            }

    for (long n = s + 1; n <= t + 1; ++n)
        if (!(norms[n] > 1.0e-15)) {
            norms[n] = 1.0e-15;
            weights[n] = 1.0e-13;
        }

    double wsum = 0.0, xsum = 0.0, ysum = 0.0;
    for (long n = s + 1; n <= t + 1; ++n) {
        const double x = log((double)(n * (n + 1)));
        const double y = log(norms[n]);
        wsum += weights[n];
        xsum += weights[n] * x;
        ysum += weights[n] * y;
    }
    const double xbar = xsum / wsum, ybar = ysum / wsum;
    double num = 0.0, den = 0.0;
    for (long n = s + 1; n <= t + 1; ++n) {
        const double dx = log((double)(n * (n + 1))) - xbar;
        const double dy = log(norms[n]) - ybar;
        num += weights[n] * dx * dy;
        den += weights[n] * dx * dx;
    }
    memRelease(weights);
    memRelease(norms);

    double p = -num / den;
    if (p < -9999.9) p = -9999.9;
    if (p > 9999.9) p = 9999.9;
    return p;
}
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
    T *result = checked((T *)memAlloc((size_t)nrows * (size_t)nlon * sizeof(T)), caller);
    T *row = checked((T *)memAlloc(s.rowLength * sizeof(T)), caller);
    T *ext = checked((T *)memAlloc(s.extLength * sizeof(T)), caller);
    quField(field, rows, nrows, nlon, msval, periodic, nearestFlag != 0, result, row, ext);
    memRelease(ext);
    memRelease(row);
    memRelease(result);
    return 0;
}

// (end of quasi-regular interpolation)

} // namespace

extern "C" {

// ---- Spectral coefficient helpers: exported instances ---------------------
void scale_complex_double(double *fpdata, int pcStart, int pcScale, int trunc, int inv)
{
    scaleComplex(fpdata, pcStart, pcScale, trunc, inv, "scale_complex_double");
}
void scale_complex_float(float *fpdata, int pcStart, int pcScale, int trunc, int inv)
{
    scaleComplex(fpdata, pcStart, pcScale, trunc, inv, "scale_complex_float");
}
void gather_complex_double(double *fpdata, size_t pcStart, size_t trunc, size_t nsp)
{
    gatherComplex(fpdata, pcStart, trunc, nsp, "gather_complex_double");
}
void gather_complex_float(float *fpdata, size_t pcStart, size_t trunc, size_t nsp)
{
    gatherComplex(fpdata, pcStart, trunc, nsp, "gather_complex_float");
}
void scatter_complex_double(double *fpdata, int pcStart, int trunc, int nsp)
{
    scatterComplex(fpdata, pcStart, trunc, nsp, "scatter_complex_double");
}
void scatter_complex_float(float *fpdata, int pcStart, int trunc, int nsp)
{
    scatterComplex(fpdata, pcStart, trunc, nsp, "scatter_complex_float");
}
double calculate_pfactor_double(const double *spectralField, long fieldTruncation, long subsetTruncation)
{
    return calculatePfactor(spectralField, fieldTruncation, subsetTruncation, "calculate_pfactor_double");
}
double calculate_pfactor_float(const float *spectralField, long fieldTruncation, long subsetTruncation)
{
    return calculatePfactor(spectralField, fieldTruncation, subsetTruncation, "calculate_pfactor_float");
}
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
    double *row = checked((double *)memAlloc(s.rowLength * sizeof(double)), "qu2reg2");
    double *ext = checked((double *)memAlloc(s.extLength * sizeof(double)), "qu2reg2");
    quField(pfield, kpoint, klat, klon, msval, true, false, ztemp, row, ext);
    memRelease(ext);
    memRelease(row);
    return 0;
}

int qu2reg3_double(double *pfield, int *kpoint, int klat, int klon, double msval, int *kret,
                   int /* omisng */, int operio, int oveggy)
{
    return qu2reg3(pfield, kpoint, klat, klon, msval, kret, operio, oveggy, "qu2reg3_double");
}

int qu2reg3_float(float *pfield, int *kpoint, int klat, int klon, float msval, int *kret,
                  int /* omisng */, int operio, int oveggy)
{
    return qu2reg3(pfield, kpoint, klat, klon, msval, kret, operio, oveggy, "qu2reg3_float");
}

// (end of interpolation exports)

} // extern "C"
