// The data of a GRIB edition 2 field: the packings of section 5 decoded
// from section 7 to values. Internal to the field decoder.
#ifndef VALMORA_GRIBFIELD2_H
#define VALMORA_GRIBFIELD2_H

#include <cstddef>
#include <cstdint>

namespace g2 {

// Big-endian numbers and sign and magnitude as GRIB2 stores them.
inline uint32_t get1(const unsigned char *p) { return p[0]; }
inline uint32_t get2(const unsigned char *p) { return (uint32_t)p[0] << 8 | p[1]; }
inline uint32_t get4(const unsigned char *p) { return (uint32_t)get2(p) << 16 | get2(p + 2); }
inline uint64_t get8(const unsigned char *p) { return (uint64_t)get4(p) << 32 | get4(p + 4); }
inline int64_t getSigned(const unsigned char *p, unsigned octets)
{
    uint64_t v = 0;
    for (unsigned i = 0; i < octets; ++i) v = v << 8 | p[i];
    const uint64_t top = 1ull << (8 * octets - 1);
    return (v & top) ? -(int64_t)(v & (top - 1)) : (int64_t)v;
}
inline float getFloat(const unsigned char *p)
{
    const uint32_t w = get4(p);
    float f;
    __builtin_memcpy(&f, &w, 4);
    return f;
}

// Section `section` (0 to 8) in force for field `index` of the GRIB2 message
// at `record`, by the field decoder's walk: *at null when the field has none.
// Result: VALMORA_DECODE_OK, NOT_GRIB, TRUNCATED, DAMAGED or NO_FIELD.
int fieldSection(const unsigned char *record, size_t recordLength, int index, int section,
                 const unsigned char **at, size_t *length);

// What the packings read: section 5 and the data of section 7.
struct Packing {
    int tmpl = -1;                      // data representation template
    const unsigned char *drs = nullptr; // section 5
    size_t drsLength = 0;
    const unsigned char *data = nullptr; // section 7 after its 5 octets
    size_t dataLength = 0;
    size_t values = 0;                   // numberOfValues of section 5
    double ref = 0;
    int e = 0, d = 0, bits = 0;
};

// Octets of section 5 each template needs; 0 for templates without a decoder.
size_t drsNeeds(int tmpl);

// Decodes the p.values coded values into out (room for them). Missing values
// of complex packing become `missing`, their count is added to *missingCount.
// Returns 0 or a VALMORA_DECODE_ status, with the reason in `why`.
template <typename T>
int unpack(const Packing &p, T *out, T missing, size_t *missingCount, const char *&why);

} // namespace g2

#endif
