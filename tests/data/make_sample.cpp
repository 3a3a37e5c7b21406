// Writes sample.grb: GRIB1 records of smooth, realistic fields made by ecCodes
// from its samples (grid-point and spectral, 12 to 24 bits, one with a bit
// map). Run make_sample.sh to rebuild it.
#include "recpack_util.h"

#include <cstdio>

using recpackutil::FieldDesc;

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "sample.grb";
    const FieldDesc fields[] = {
        {"reduced_gg_pl_160_grib1", 24, nullptr, false, 0, 129, 5}, // 24 bits: byte planes
        {"gg_sfc_grib1", 16, nullptr, false, 0, 167, 1},            // 2 m temperature, N48
        {"regular_gg_pl_grib1", 12, nullptr, false, 0, 130, 2},     // 12 bits: copied as it is
        {"reduced_gg_pl_128_grib1", 16, nullptr, false, 0, 130, 3}, // N128
        {"reduced_gg_pl_96_grib1", 16, nullptr, true, 0, 139, 4},   // with a bit map
        {"sh_ml_grib1", 16, nullptr, false, 159, 130, 6},           // spectral, complex packing
        {"sh_ml_grib1", 16, "spectral_simple", false, 0, 155, 7},   // spectral, simple packing
    };
    FILE *out = fopen(name, "wb");
    if (!out) return 1;
    for (const FieldDesc &f : fields) {
        recpackutil::Bytes rec = recpackutil::makeRecord(f);
        if (rec.empty() || fwrite(rec.data(), 1, rec.size(), out) != rec.size()) {
            fprintf(stderr, "make_sample: field from %s failed\n", f.sample);
            return 1;
        }
    }
    return fclose(out) == 0 ? 0 : 1;
}
