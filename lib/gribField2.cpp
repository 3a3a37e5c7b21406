// The packings of GRIB edition 2 data: simple, complex with and without
// spatial differencing, IEEE, JPEG2000, PNG, CCSDS and spherical harmonics,
// each from the data section's octets to values (R + X x 2^E) x 10^-D.
// Every read is bounded by the lengths of sections 5 and 7; scratch comes
// from the traced memory and goes back before the call returns.
#include "gribField2.h"
#include "ccsds.h"
#include "support.h"
#include "unpack.h"
#include "valmora.h"

#include <csetjmp>
#include <cmath>
#include <cstring>

#include <libaec.h>
#include <openjpeg.h>
#include <png.h>

namespace g2 {

namespace {

inline uint64_t loadBE64(const unsigned char *p)
{
    uint64_t w;
    memcpy(&w, p, 8);
    return __builtin_bswap64(w);
}

struct Scale {
    double ref, step, dec; // R, 2^E, 10^-D
    explicit Scale(const Packing &p) : ref(p.ref), step(std::ldexp(1.0, p.e)), dec(decimalFactor(p.d)) {}
    double operator()(double x) const { return (x * step + ref) * dec; }
};

// A stream of unsigned codes of up to 32 bits, most significant bit first.
// The caller checks that what it reads lies within `octets`.
class Bits {
  public:
    Bits(const unsigned char *data, size_t octets) : p_(data), octets_(octets) {}
    uint32_t read(unsigned bits, uint64_t pos) const
    {
        if (bits == 0) return 0;
        const size_t at = (size_t)(pos >> 3);
        uint64_t w;
        if (at + 8 <= octets_) {
            w = loadBE64(p_ + at);
        } else {
            w = 0;
            for (size_t k = 0; k < 8; ++k) w = w << 8 | (at + k < octets_ ? p_[at + k] : 0);
        }
        return (uint32_t)((w << (pos & 7)) >> (64 - bits));
    }

  private:
    const unsigned char *p_;
    size_t octets_;
};

// n values of `bits`-bit codes (0 to 32) from the start of the octets at
// data: a constant field for 0 bits, else the library's unpack loops.
template <typename T>
void unpackRun(const unsigned char *data, size_t octets, int bits, size_t n, const Packing &p, T *out)
{
    if (bits == 0) {
        const T v = (T)(p.ref * decimalFactor(p.d));
        for (size_t i = 0; i < n; ++i) out[i] = v;
        return;
    }
    unpackValues(packedRun(data, octets, p.ref, p.e, p.d), bits, 0, n, out);
}

// Whether `count` codes of `bits` bits fit in `octets`.
bool holds(size_t octets, size_t count, unsigned bits) { return (uint64_t)count * bits <= (uint64_t)octets * 8; }

// ---- Simple packing (5.0) and the spherical harmonics' (5.50) ----------------

template <typename T> int simple(const Packing &p, size_t first, T *out, const char *&why)
{
    const size_t n = p.values - first;
    if (p.bits > 32) {
        why = "more than 32 bits per value";
        return VALMORA_DECODE_PACKING_UNSUPPORTED;
    }
    if (!holds(p.dataLength, n, (unsigned)p.bits)) {
        why = "data section shorter than its values";
        return VALMORA_DECODE_DAMAGED;
    }
    unpackRun(p.data, p.dataLength, p.bits, n, p, out + first);
    return 0;
}

// ---- Complex packing and spatial differencing (5.2, 5.3) ---------------------

// The len codes of one group, w bits each (1 to 32) from bit pos of the
// `octets` octets at data, each added to the group's reference.
void codesOfGroup(const unsigned char *data, size_t octets, unsigned w, uint64_t pos, uint32_t len, double ref,
                  double *out)
{
    const unsigned shift = 64u - w;
    const uint64_t limit = octets >= 8 ? (uint64_t)(octets - 8) * 8 : 0;
    uint32_t j = 0;
    if (octets >= 8)
        for (; j < len && pos <= limit; ++j, pos += w)
            out[j] = ref + (double)((loadBE64(data + (pos >> 3)) << (pos & 7)) >> shift);
    const Bits b(data, octets);
    for (; j < len; ++j, pos += w) out[j] = ref + (double)b.read(w, pos);
}

// Codes are held as doubles, exact for integers to 2^53, far beyond any a
// message holds; not-a-number marks a missing point, which never takes part
// in the differencing.
constexpr double kMissingCode = __builtin_nan("");

template <typename T> int complex(const Packing &p, T *out, T missing, size_t *missingCount, const char *&why)
{
    const unsigned char *s5 = p.drs;
    const int mvm = s5[22];
    const uint32_t ng = get4(s5 + 31);
    const unsigned refW = s5[35], bitsW = s5[36];
    const uint32_t refL = get4(s5 + 37);
    const unsigned incL = s5[41];
    const uint32_t lastL = get4(s5 + 42);
    const unsigned bitsL = s5[46];
    const int order = p.tmpl == 3 ? s5[47] : 0;
    const unsigned extra = p.tmpl == 3 ? s5[48] : 0;
    const unsigned bits = (unsigned)p.bits;
    if (bits > 32 || bitsW > 32 || bitsL > 32 || mvm > 2 || order > 2 || (order && (extra == 0 || extra > 4))) {
        why = "complex packing parameters outside the code tables";
        return VALMORA_DECODE_PACKING_UNSUPPORTED;
    }
    const size_t n = p.values;
    if (n == 0) return 0;
    if (ng == 0) { // no groups: a constant field, as writers code one
        unpackRun(p.data, 0, 0, n, p, out);
        return 0;
    }
    if (ng > n) {
        why = "group count of complex packing";
        return VALMORA_DECODE_DAMAGED;
    }
    // The octets of each part, in the order the data section holds them.
    const size_t extraOctets = order ? (size_t)(order + 1) * extra : 0;
    const size_t refsOctets = ((uint64_t)ng * bits + 7) / 8, widthsOctets = ((uint64_t)ng * bitsW + 7) / 8;
    const size_t lengthsOctets = ((uint64_t)ng * bitsL + 7) / 8;
    const size_t head = extraOctets + refsOctets + widthsOctets + lengthsOctets;
    if (head > p.dataLength) {
        why = "data section shorter than its group descriptors";
        return VALMORA_DECODE_DAMAGED;
    }
    const unsigned char *d = p.data;
    int64_t ival[2] = {0, 0}, minsd = 0;
    for (int k = 0; k < order; ++k) ival[k] = getSigned(d + k * extra, extra);
    if (order) minsd = getSigned(d + order * extra, extra);

    uint32_t *groups = (uint32_t *)memAlloc(sizeof(uint32_t) * 3 * (size_t)ng);
    // Double values hold the codes in place; float ones need room apart.
    double *codes = sizeof(T) == sizeof(double) ? (double *)out : (double *)memAlloc(sizeof(double) * n);
    if (!groups || !codes) {
        memRelease(groups);
        if ((void *)codes != (void *)out) memRelease(codes);
        why = "no memory for the codes";
        return VALMORA_DECODE_NO_MEMORY;
    }
    uint32_t *refs = groups, *widths = groups + ng, *lengths = groups + 2 * (size_t)ng;
    const Bits refBits(d + extraOctets, refsOctets), widthBits(d + extraOctets + refsOctets, widthsOctets);
    const Bits lengthBits(d + extraOctets + refsOctets + widthsOctets, lengthsOctets);
    uint64_t total = 0, packedBits = 0;
    for (uint32_t g = 0; g < ng; ++g) {
        refs[g] = refBits.read(bits, (uint64_t)g * bits);
        widths[g] = refW + widthBits.read(bitsW, (uint64_t)g * bitsW);
        lengths[g] = g + 1 == ng ? lastL : refL + incL * lengthBits.read(bitsL, (uint64_t)g * bitsL);
        total += lengths[g];
        packedBits += (uint64_t)widths[g] * lengths[g];
    }
    int status = 0;
    if (total != n) {
        why = "group lengths that do not add up to the values";
        status = VALMORA_DECODE_DAMAGED;
    } else if (packedBits > (uint64_t)(p.dataLength - head) * 8) {
        why = "data section shorter than its groups";
        status = VALMORA_DECODE_DAMAGED;
    } else {
        for (uint32_t g = 0; g < ng; ++g)
            if (widths[g] > 32) {
                why = "group wider than 32 bits";
                status = VALMORA_DECODE_DAMAGED;
                break;
            }
    }
    if (status) {
        memRelease(groups);
        if ((void *)codes != (void *)out) memRelease(codes);
        return status;
    }

    // Group references and codes; all ones (and all ones less one with
    // secondary missing values) mark missing points.
    const Bits packed(d + head, p.dataLength - head);
    const uint64_t refAll = bits ? (1ull << bits) - 1 : 0;
    uint64_t pos = 0;
    size_t at = 0, missed = 0;
    for (uint32_t g = 0; g < ng; ++g) {
        const unsigned w = widths[g];
        const uint32_t len = lengths[g];
        const int64_t ref = refs[g];
        if (w == 0) {
            const bool miss = (mvm >= 1 && bits && (uint64_t)ref == refAll) ||
                              (mvm == 2 && bits && (uint64_t)ref == refAll - 1);
            for (uint32_t j = 0; j < len; ++j) codes[at + j] = miss ? kMissingCode : (double)ref;
            if (miss) missed += len;
        } else if (!mvm) {
            codesOfGroup(d + head, p.dataLength - head, w, pos, len, (double)ref, codes + at);
            pos += (uint64_t)w * len;
        } else {
            const uint64_t all = (1ull << w) - 1;
            for (uint32_t j = 0; j < len; ++j, pos += w) {
                const uint32_t u = packed.read(w, pos);
                if (u == all || (mvm == 2 && u == all - 1)) {
                    codes[at + j] = kMissingCode;
                    ++missed;
                } else {
                    codes[at + j] = (double)(ref + u);
                }
            }
        }
        at += len;
    }

    const Scale s(p);
    const double dminsd = (double)minsd;
    if (!missed) {
        // No missing points: the differencing undone and the values scaled
        // in one pass.
        const double ref = s.ref, step = s.step, dec = s.dec;
        size_t i = 0;
        double prev1 = 0, prev2 = 0;
        for (; i < n && (int)i < order; ++i) {
            prev2 = prev1;
            prev1 = (double)ival[i];
            out[i] = (T)((prev1 * step + ref) * dec);
        }
        if (order == 1)
            for (; i < n; ++i) {
                prev1 += codes[i] + dminsd;
                out[i] = (T)((prev1 * step + ref) * dec);
            }
        else if (order == 2)
            for (; i < n; ++i) {
                const double x = codes[i] + dminsd + 2 * prev1 - prev2;
                prev2 = prev1;
                prev1 = x;
                out[i] = (T)((x * step + ref) * dec);
            }
        else
            for (; i < n; ++i) out[i] = (T)((codes[i] * step + ref) * dec);
        memRelease(groups);
        if ((void *)codes != (void *)out) memRelease(codes);
        return 0;
    }

    // Spatial differencing undone over the points present.
    if (order) {
        size_t k = 0;
        double prev1 = 0, prev2 = 0;
        for (size_t i = 0; i < n; ++i) {
            if (std::isnan(codes[i])) continue;
            double x;
            if ((int)k < order)
                x = (double)ival[k];
            else if (order == 1)
                x = codes[i] + dminsd + prev1;
            else
                x = codes[i] + dminsd + 2 * prev1 - prev2;
            codes[i] = x;
            prev2 = prev1;
            prev1 = x;
            ++k;
        }
    }
    for (size_t i = 0; i < n; ++i) out[i] = std::isnan(codes[i]) ? missing : (T)s(codes[i]);
    *missingCount += missed;
    memRelease(groups);
    if ((void *)codes != (void *)out) memRelease(codes);
    return 0;
}

// ---- IEEE (5.4) -------------------------------------------------------------------

template <typename T> int ieee(const Packing &p, T *out, const char *&why)
{
    const int precision = p.drs[11];
    const size_t width = precision == 1 ? 4 : precision == 2 ? 8 : 0;
    if (!width) {
        why = "IEEE precision other than 32 and 64 bits";
        return VALMORA_DECODE_PACKING_UNSUPPORTED;
    }
    if (p.dataLength / width < p.values) {
        why = "data section shorter than its values";
        return VALMORA_DECODE_DAMAGED;
    }
    const unsigned char *d = p.data;
    if (width == 4)
        for (size_t i = 0; i < p.values; ++i) out[i] = (T)getFloat(d + 4 * i);
    else
        for (size_t i = 0; i < p.values; ++i) {
            const uint64_t w = get8(d + 8 * i);
            double v;
            memcpy(&v, &w, 8);
            out[i] = (T)v;
        }
    return 0;
}

// ---- JPEG2000 (5.40) ---------------------------------------------------------------

struct MemoryStream {
    const unsigned char *data;
    size_t size, pos;
};

OPJ_SIZE_T jpegRead(void *buffer, OPJ_SIZE_T n, void *user)
{
    MemoryStream *m = (MemoryStream *)user;
    if (m->pos >= m->size) return (OPJ_SIZE_T)-1;
    const size_t take = n < m->size - m->pos ? n : m->size - m->pos;
    memcpy(buffer, m->data + m->pos, take);
    m->pos += take;
    return take;
}

OPJ_OFF_T jpegSkip(OPJ_OFF_T n, void *user)
{
    MemoryStream *m = (MemoryStream *)user;
    if (n < 0) {
        const size_t back = (size_t)-n < m->pos ? (size_t)-n : m->pos;
        m->pos -= back;
        return -(OPJ_OFF_T)back;
    }
    const size_t ahead = (size_t)n < m->size - m->pos ? (size_t)n : m->size - m->pos;
    m->pos += ahead;
    return (OPJ_OFF_T)ahead;
}

OPJ_BOOL jpegSeek(OPJ_OFF_T at, void *user)
{
    MemoryStream *m = (MemoryStream *)user;
    if (at < 0 || (uint64_t)at > m->size) return OPJ_FALSE;
    m->pos = (size_t)at;
    return OPJ_TRUE;
}

void jpegQuiet(const char *, void *) {}

template <typename T> int jpeg(const Packing &p, T *out, const char *&why)
{
    if (p.values == 0) return 0;
    if (p.bits == 0) {
        unpackRun(p.data, 0, 0, p.values, p, out);
        return 0;
    }
    MemoryStream m{p.data, p.dataLength, 0};
    opj_stream_t *stream = opj_stream_create(p.dataLength < 65536 ? p.dataLength + 1 : 65536, OPJ_TRUE);
    opj_codec_t *codec = opj_create_decompress(OPJ_CODEC_J2K);
    opj_image_t *image = nullptr;
    int status = VALMORA_DECODE_CODER_FAILED;
    why = "JPEG2000 code stream that OpenJPEG cannot decode";
    if (stream && codec) {
        opj_stream_set_user_data(stream, &m, nullptr);
        opj_stream_set_user_data_length(stream, p.dataLength);
        opj_stream_set_read_function(stream, jpegRead);
        opj_stream_set_skip_function(stream, jpegSkip);
        opj_stream_set_seek_function(stream, jpegSeek);
        opj_set_info_handler(codec, jpegQuiet, nullptr);
        opj_set_warning_handler(codec, jpegQuiet, nullptr);
        opj_set_error_handler(codec, jpegQuiet, nullptr);
        opj_dparameters_t parameters;
        opj_set_default_decoder_parameters(&parameters);
        // The image's size is known from its header: one of another size
        // than the values is refused before OpenJPEG allocates for it.
        if (opj_setup_decoder(codec, &parameters) && opj_read_header(stream, codec, &image) &&
            (uint64_t)(image->x1 - image->x0) * (image->y1 - image->y0) == p.values &&
            opj_decode(codec, stream, image) && opj_end_decompress(codec, stream)) {
            const opj_image_comp_t *c = image->numcomps >= 1 ? &image->comps[0] : nullptr;
            if (!c || !c->data || (uint64_t)c->w * c->h != p.values) {
                why = "JPEG2000 image of another size than its values";
            } else {
                const Scale s(p);
                const OPJ_INT32 *x = c->data;
                for (size_t i = 0; i < p.values; ++i) out[i] = (T)s((double)(uint32_t)x[i]);
                status = 0;
            }
        }
    }
    if (image) opj_image_destroy(image);
    if (codec) opj_destroy_codec(codec);
    if (stream) opj_stream_destroy(stream);
    return status;
}

// ---- PNG (5.41) --------------------------------------------------------------------

struct PngSource {
    const unsigned char *data;
    size_t size, pos;
    size_t values; // the values the image must hold
    jmp_buf fail;
};

// Pixels an image may hold beyond twice its values (a last row filled out).
constexpr uint64_t kPngSlack = 64;

void pngRead(png_structp png, png_bytep buffer, png_size_t n)
{
    PngSource *s = (PngSource *)png_get_io_ptr(png);
    if (n > s->size - s->pos) png_error(png, "short");
    memcpy(buffer, s->data + s->pos, n);
    s->pos += n;
}

void pngFail(png_structp png, png_const_charp)
{
    PngSource *s = (PngSource *)png_get_error_ptr(png);
    longjmp(s->fail, 1);
}

void pngQuiet(png_structp, png_const_charp) {}

// The image's rows into `pixels` (rowBytes x height octets, taken here);
// returns false when libpng refuses the stream. Kept free of objects with
// destructors: libpng's errors return through longjmp.
bool pngRows(PngSource &src, unsigned char *&pixels, size_t &rowBytes, uint32_t &width, uint32_t &height,
             int &depth)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &src, pngFail, pngQuiet);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    png_bytep *volatile rows = nullptr;
    pixels = nullptr;
    if (!info || setjmp(src.fail)) {
        memRelease((void *)rows);
        memRelease(pixels);
        pixels = nullptr;
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        return false;
    }
    png_set_read_fn(png, &src, pngRead);
    // Writers put a whole field in one row, wider than libpng's default limit.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_read_info(png, info);
    width = png_get_image_width(png, info);
    height = png_get_image_height(png, info);
    depth = png_get_bit_depth(png, info) * png_get_channels(png, info);
    rowBytes = png_get_rowbytes(png, info);
    // An image far larger than the values is refused before it is allocated.
    if ((uint64_t)width * height > 2 * (uint64_t)src.values + kPngSlack) png_error(png, "size");
    pixels = (unsigned char *)memAlloc(rowBytes * height);
    rows = (png_bytep *)memAlloc(sizeof(png_bytep) * (height ? height : 1));
    if (!pixels || !rows) png_error(png, "no memory");
    for (uint32_t r = 0; r < height; ++r) rows[r] = pixels + (size_t)r * rowBytes;
    png_read_image(png, rows);
    memRelease((void *)rows);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

template <typename T> int pngValues(const Packing &p, T *out, const char *&why)
{
    if (p.values == 0) return 0;
    if (p.bits == 0) {
        unpackRun(p.data, 0, 0, p.values, p, out);
        return 0;
    }
    PngSource src{p.data, p.dataLength, 0, p.values, {}};
    unsigned char *pixels;
    size_t rowBytes;
    uint32_t width, height;
    int depth;
    if (!pngRows(src, pixels, rowBytes, width, height, depth)) {
        why = "PNG stream that libpng cannot decode";
        return VALMORA_DECODE_CODER_FAILED;
    }
    int status = 0;
    // Writers round the width up to a depth PNG has.
    if ((uint64_t)width * height < p.values || depth > 32 || depth < p.bits) {
        why = "PNG image of another size or depth than its values";
        status = VALMORA_DECODE_CODER_FAILED;
    } else {
        size_t done = 0;
        for (uint32_t r = 0; r < height && done < p.values; ++r) {
            const size_t take = p.values - done < width ? p.values - done : width;
            unpackRun(pixels + (size_t)r * rowBytes, rowBytes, depth, take, p, out + done);
            done += take;
        }
    }
    memRelease(pixels);
    return status;
}

// ---- CCSDS (5.42) ------------------------------------------------------------------

// The values of decoded CCSDS samples, a block at a time.
template <typename T> struct CcsdsValues {
    Scale scale;
    T *out;
    static void take(void *context, size_t first, const uint32_t *samples, size_t k)
    {
        auto *self = static_cast<CcsdsValues *>(context);
        T *to = self->out + first;
        for (size_t j = 0; j < k; ++j) to[j] = (T)self->scale((double)samples[j]);
    }
};

template <typename T> int ccsds(const Packing &p, T *out, const char *&why)
{
    if (p.values == 0) return 0;
    if (p.bits == 0) {
        unpackRun(p.data, 0, 0, p.values, p, out);
        return 0;
    }
    if (p.bits > 32) {
        why = "more than 32 bits per value";
        return VALMORA_DECODE_PACKING_UNSUPPORTED;
    }
    const int flags = p.drs[21] | AEC_DATA_MSB | AEC_DATA_3BYTE;
    const size_t n = p.values;
    const int blockSize = p.drs[22], rsi = (int)get2(p.drs + 23);
    // The fast way: each block of samples made values while in cache, no
    // scratch. Signed samples (sign-extended within their octets) and the
    // streams our decoder leaves to libaec take the way below.
    if (!(flags & AEC_DATA_SIGNED)) {
        CcsdsValues<T> values{Scale(p), out};
        if (ccsdsDecodeOwnBlocks(CcsdsValues<T>::take, &values, n, p.data, p.dataLength, p.bits, flags, blockSize,
                                 rsi) == kCcsdsOk)
            return 0;
    }
    // Samples come out big-endian in 1, 2, 3 or 4 whole octets (the flags
    // that shape only the output are ours to choose): codes of 8, 16, 24 or
    // 32 bits for the library's unpack loops. They go into the last octets
    // of the output itself, never wider than a value, so no scratch is
    // taken: the loops run forward, and the values up to i end at octet
    // sizeof(T)(i + 1), never past the samples after i, which start at
    // (sizeof(T) - width) n + width (i + 1).
    const size_t width = ccsdsSampleSize(p.bits, flags);
    unsigned char *samples = (unsigned char *)out + (sizeof(T) - width) * n;
    if (ccsdsDecode(samples, width * n, p.data, p.dataLength, n, p.bits, flags, blockSize, rsi) != kCcsdsOk) {
        why = "CCSDS stream that libaec cannot decode";
        return VALMORA_DECODE_CODER_FAILED;
    }
    unpackRun(samples, width * n, 8 * (int)width, n, p, out);
    return 0;
}

// ---- Spherical harmonics, complex packing (5.51) -------------------------------

template <typename T> int spectralComplex(const Packing &p, T *out, const char *&why)
{
    const unsigned char *s5 = p.drs;
    const double power = (double)getSigned(s5 + 20, 4) * 1e-6;
    const long js = (long)get2(s5 + 24), ks = (long)get2(s5 + 26), ms = (long)get2(s5 + 28);
    const size_t ts = get4(s5 + 30);
    const int precision = s5[34];
    if (precision != 1 || js != ks || js != ms) {
        why = "spherical harmonics subset not triangular or not in 32-bit reals";
        return VALMORA_DECODE_PACKING_UNSUPPORTED;
    }
    const size_t n = p.values;
    const long t = (long)(std::sqrt(4.0 * (double)n + 1.0) - 3.0) / 2;
    if ((size_t)((t + 1) * (t + 2)) != n || ts != (size_t)((js + 1) * (js + 2)) || js > t) {
        why = "spherical harmonics counts that do not match the truncation";
        return VALMORA_DECODE_DAMAGED;
    }
    if (p.bits > 32 || p.dataLength < 4 * ts || !holds(p.dataLength - 4 * ts, n - ts, (unsigned)p.bits)) {
        why = "data section shorter than its values";
        return p.bits > 32 ? VALMORA_DECODE_PACKING_UNSUPPORTED : VALMORA_DECODE_DAMAGED;
    }
    const Scale s(p);
    const Bits packed(p.data + 4 * ts, p.dataLength - 4 * ts);
    const unsigned bits = (unsigned)p.bits;
    size_t hi = 0, lo = 0, at = 0;
    double factor = 1.0;
    for (long m = 0; m <= t; ++m)
        for (long nn = m; nn <= t; ++nn) {
            if (nn <= js && m <= js) {
                out[at++] = (T)(getFloat(p.data + 4 * hi++) * s.dec);
                out[at++] = (T)(getFloat(p.data + 4 * hi++) * s.dec);
                continue;
            }
            factor = power != 0.0 ? std::pow((double)(nn * (nn + 1)), -power) : 1.0;
            out[at++] = (T)(s((double)packed.read(bits, (uint64_t)lo++ * bits)) * factor);
            out[at++] = (T)(s((double)packed.read(bits, (uint64_t)lo++ * bits)) * factor);
        }
    return 0;
}

} // namespace

size_t drsNeeds(int tmpl)
{
    switch (tmpl) {
    case 0: return 21;
    case 2: return 47;
    case 3: return 49;
    case 4: return 12;
    case 40: return 23;
    case 41: return 21;
    case 42: return 25;
    case 50: return 24;
    case 51: return 35;
    default: return 0;
    }
}

template <typename T>
int unpack(const Packing &p, T *out, T missing, size_t *missingCount, const char *&why)
{
    why = nullptr;
    switch (p.tmpl) {
    case 0: return simple(p, 0, out, why);
    case 2:
    case 3: return complex(p, out, missing, missingCount, why);
    case 4: return ieee(p, out, why);
    case 40: return jpeg(p, out, why);
    case 41: return pngValues(p, out, why);
    case 42: return ccsds(p, out, why);
    case 50:
        if (p.values == 0) return 0;
        out[0] = (T)getFloat(p.drs + 20);
        return simple(p, 1, out, why);
    case 51: return spectralComplex(p, out, why);
    default: why = "packing template without a decoder"; return VALMORA_DECODE_PACKING_UNSUPPORTED;
    }
}

template int unpack<double>(const Packing &, double *, double, size_t *, const char *&);
template int unpack<float>(const Packing &, float *, float, size_t *, const char *&);

} // namespace g2
