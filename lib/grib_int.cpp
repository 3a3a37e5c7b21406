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

template <typename T>
void scaleComplex(T *fpdata, int pcStart, int pcScale, int trunc, int inv, const char *name)
{
    if (pcScale < -10000 || pcScale > 10000) {
        fprintf(stderr, " %s: Invalid power given %6d\n", name, pcScale);
        return;
    }
    if (pcScale == 0 || trunc < 0) return;

    double *scale = (double *)memMalloc((size_t)(trunc + 1) * sizeof(double), __FILE__, name, __LINE__);
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

    memFree(scale, __FILE__, name, __LINE__);
}

// Subset (n <= J) first, the rest after, each in its former order. Every
// read and write stays within the nsp values given: a count that is short
// of the truncation moves what it holds and no more.
template <typename T>
void gatherComplex(T *fpdata, size_t pcStart, size_t trunc, size_t nsp, const char *name)
{
    if (nsp == 0) return;
    T *buf = (T *)memMalloc(nsp * sizeof(T), __FILE__, name, __LINE__);
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
    memFree(buf, __FILE__, name, __LINE__);
}

template <typename T>
void scatterComplex(T *fpdata, int pcStart, int trunc, int nsp, const char *name)
{
    if (nsp <= 0) return;
    const long js = pcStart < 0 ? 0 : pcStart;
    const long t = trunc < 0 ? 0 : trunc;
    const long count = nsp;
    T *buf = (T *)memMalloc((size_t)count * sizeof(T), __FILE__, name, __LINE__);
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
    memFree(buf, __FILE__, name, __LINE__);
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

    double *weights = (double *)memMalloc((size_t)(t + 2) * sizeof(double), __FILE__, name, __LINE__);
    double *norms = (double *)memMalloc((size_t)(t + 2) * sizeof(double), __FILE__, name, __LINE__);
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
    memFree(weights, __FILE__, name, __LINE__);
    memFree(norms, __FILE__, name, __LINE__);

    double p = -num / den;
    if (p < -9999.9) p = -9999.9;
    if (p > 9999.9) p = 9999.9;
    return p;
}
// (end of spectral coefficient helpers)

// ---- Quasi-regular to regular interpolation -------------------------------
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
// (end of interpolation exports)

} // extern "C"
