// The CCSDS adaptive entropy coder of unsigned samples, written for speed:
// one pass over each block maps the samples (unit-delay predictor), sums
// them and picks the cheapest option by its exact bit count; a 64-bit bit
// writer stores whole words. The stream is the standard one, so libaec and
// every reader built on it decode it. Options that only libaec writes
// (signed samples, restricted IDs, padded intervals) stay with libaec.
#include "ccsds.h"

#include "cpu.h"

#include <libaec.h>

#include <cstring>

namespace {

constexpr unsigned kMaxBlock = 64;     // the largest block size
constexpr unsigned kSegmentBlocks = 64; // zero-block runs end at a segment of 64 blocks
constexpr unsigned kRosCode = 4;       // fundamental sequence meaning "zero blocks to the segment's end"
constexpr unsigned kRunCounted = 5;    // runs this long and over are counted as they are; shorter as n-1
constexpr unsigned kFsChunk = 32;      // zeros of a long fundamental sequence put at a time
constexpr unsigned kWordBits = 57;     // bits gathered in a register before one put (put takes up to 64)

#define VALMORA_ALWAYS_INLINE inline __attribute__((always_inline))
#ifdef VALMORA_VECTOR_X86
#define VALMORA_AVX2_INLINE inline __attribute__((always_inline, target("avx2,bmi,bmi2")))
#endif

// Samples in memory: one reader per octet count and order. Sums of a
// block's samples (64 of them) fit 32 bits up to 26-bit samples, and
// vector lanes of 32 bits hold twice as many.
// With AVX2, vec8 reads eight samples into 32-bit lanes (readers of 4-
// octet samples, whose sums need 64 bits, keep the compiler's loops).
struct Read1 {
    static constexpr size_t size = 1;
    using Sum = uint32_t;
    VALMORA_ALWAYS_INLINE static uint32_t get(const unsigned char *p) { return p[0]; }
#ifdef VALMORA_VECTOR_X86
    VALMORA_AVX2_INLINE static __m256i vec8(const unsigned char *p)
    {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
    }
#endif
};
template <bool Msb> struct Read2 {
    static constexpr size_t size = 2;
    using Sum = uint32_t;
    VALMORA_ALWAYS_INLINE static uint32_t get(const unsigned char *p) { return Msb ? (uint32_t)p[0] << 8 | p[1] : (uint32_t)p[1] << 8 | p[0]; }
#ifdef VALMORA_VECTOR_X86
    VALMORA_AVX2_INLINE static __m256i vec8(const unsigned char *p)
    {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (Msb) v = _mm_shuffle_epi8(v, _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
        return _mm256_cvtepu16_epi32(v);
    }
#endif
};
template <bool Msb> struct Read3 {
    static constexpr size_t size = 3;
    using Sum = uint32_t;
    VALMORA_ALWAYS_INLINE static uint32_t get(const unsigned char *p)
    {
        return Msb ? (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2] : (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
    }
#ifdef VALMORA_VECTOR_X86
    // Samples 0-3 from the first 16 octets, 4-7 from octets 8-23.
    VALMORA_AVX2_INLINE static __m256i vec8(const unsigned char *p)
    {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8));
        const __m128i pickLo = Msb ? _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
                                   : _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
        const __m128i pickHi = Msb ? _mm_setr_epi8(6, 5, 4, -1, 9, 8, 7, -1, 12, 11, 10, -1, 15, 14, 13, -1)
                                   : _mm_setr_epi8(4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15, -1);
        return _mm256_set_m128i(_mm_shuffle_epi8(hi, pickHi), _mm_shuffle_epi8(lo, pickLo));
    }
#endif
};
template <bool Msb> struct Read4 {
    static constexpr size_t size = 4;
    using Sum = uint64_t;
    VALMORA_ALWAYS_INLINE static uint32_t get(const unsigned char *p)
    {
        uint32_t v;
        memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        return Msb ? v : __builtin_bswap32(v);
#else
        return Msb ? __builtin_bswap32(v) : v;
#endif
    }
};

// Bits into octets, most significant first. Whole 64-bit words are stored
// while the output has room; once it has none, nothing more is written and
// `full` tells the coder to give up. Kept in a local of the coding loop, so
// that its fields stay in registers.
class BitWriter {
public:
    BitWriter(unsigned char *out, size_t cap) : out_(out), start_(out), end_(out + cap) {}

    // The n low bits of v (1 <= n <= 64, v < 2^n).
    VALMORA_ALWAYS_INLINE void put(uint64_t v, unsigned n)
    {
        if (n < free_) {
            free_ -= n;
            acc_ |= v << free_;
            return;
        }
        const unsigned over = n - free_;
        acc_ |= v >> over;
        store();
        free_ = 64 - over;
        // Two shifts: a shift by 64 (over == 0) would be undefined.
        acc_ = v << 1 << (63 - over);
    }

    // The fundamental sequence of q: q zeros, then a one.
    VALMORA_ALWAYS_INLINE void fs(uint32_t q)
    {
        if (__builtin_expect(q >= kFsChunk, 0)) {
            do {
                put(0, kFsChunk);
                q -= kFsChunk;
            } while (q >= kFsChunk);
        }
        put(1, q + 1);
    }

    // Pads the last octet with zeros; the coded length, or 0 when it did
    // not fit.
    size_t finish()
    {
        const unsigned used = 64 - free_, octets = (used + 7) / 8;
        if (full_ || (size_t)(end_ - out_) < octets) return 0;
        for (unsigned i = 0; i < octets; ++i) *out_++ = (unsigned char)(acc_ >> (56 - 8 * i));
        return (size_t)(out_ - start_);
    }

    bool full() const { return full_; }

private:
    VALMORA_ALWAYS_INLINE void store()
    {
        if (__builtin_expect(end_ - out_ < 8, 0)) {
            full_ = true;
            return;
        }
        uint64_t w = acc_;
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_BIG_ENDIAN__
        w = __builtin_bswap64(w);
#endif
        memcpy(out_, &w, sizeof w);
        out_ += sizeof w;
    }

    unsigned char *out_;
    unsigned char *const start_, *const end_;
    uint64_t acc_ = 0;
    unsigned free_ = 64; // bits of acc_ not yet used, 1 to 64
    bool full_ = false;
};

struct Setup {
    unsigned bits, idLen, kMax, blockSize, rsi;
    uint32_t top; // the largest sample
};

// The mapped prediction error of x after prev (both at most top): small
// for small steps either way, and never beyond top.
VALMORA_ALWAYS_INLINE uint32_t mapped(uint32_t x, uint32_t prev, uint32_t top)
{
    const uint32_t theta = prev < top - prev ? prev : top - prev;
    const bool down = x < prev;
    const uint32_t d = down ? prev - x : x - prev;
    return d <= theta ? 2 * d - (uint32_t)down : theta + d;
}

#ifdef VALMORA_VECTOR_X86
// mapped() in eight lanes.
VALMORA_AVX2_INLINE __m256i mapped8(__m256i x, __m256i prev, __m256i top)
{
    const __m256i theta = _mm256_min_epu32(prev, _mm256_sub_epi32(top, prev));
    const __m256i hi = _mm256_max_epu32(x, prev), d = _mm256_sub_epi32(hi, _mm256_min_epu32(x, prev));
    // up: all ones where x >= prev, so 2d - 1 - up is 2d there, 2d - 1 below.
    const __m256i up = _mm256_cmpeq_epi32(x, hi);
    const __m256i small = _mm256_sub_epi32(_mm256_sub_epi32(_mm256_add_epi32(d, d), _mm256_set1_epi32(1)), up);
    const __m256i within = _mm256_cmpeq_epi32(_mm256_min_epu32(d, theta), d);
    return _mm256_blendv_epi8(_mm256_add_epi32(theta, d), small, within);
}

VALMORA_AVX2_INLINE uint32_t lanesSum(__m256i v)
{
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
    return (uint32_t)_mm_cvtsi128_si32(s);
}
#endif

// Sum of the J samples shifted right by k.
template <unsigned J, class Sum> VALMORA_ALWAYS_INLINE uint64_t shiftedSum(const uint32_t *m, unsigned k)
{
    Sum q = 0;
    for (unsigned j = 0; j < J; ++j) q += m[j] >> k;
    return q;
}

// The bit length of v (0 for 0).
VALMORA_ALWAYS_INLINE unsigned bitLength(uint64_t v) { return v ? 64 - (unsigned)__builtin_clzll(v) : 0; }

// Sums of a block's samples shifted right by the guessed k and its
// neighbours, when the vector loop has them already.
struct ShiftedSums {
    uint64_t down, k, up;
};

// The k whose split is likely cheapest, from the sum of the J samples: the
// mean by a shift (J a power of two), not a division, which costs more than
// all the rest of the choice.
template <unsigned J> VALMORA_ALWAYS_INLINE unsigned guessK(uint64_t sum, unsigned kMax)
{
    constexpr unsigned log2J = J == 8 ? 3 : J == 16 ? 4 : J == 32 ? 5 : 6;
    const uint64_t mean = sum >> log2J;
    const unsigned k = mean ? bitLength(mean) - 1 : 0;
    return k > kMax ? kMax : k;
}

// The k of the cheapest split of `count` coded samples among the J of m
// (the reference slot, if any, holds 0 and adds nothing to the sums), and
// its bits in *cost: the sum puts k near log2 of the mean; one pass (or the
// vector loop, in `given`) gives the exact counts of it and its neighbours,
// and the search goes on only while they improve.
template <unsigned J, class Sum>
VALMORA_ALWAYS_INLINE unsigned bestSplit(const uint32_t *m, unsigned count, uint64_t sum, unsigned kMax,
                                         const ShiftedSums *given, uint64_t *cost)
{
    unsigned k = guessK<J>(sum, kMax);
    const unsigned down = k ? k - 1 : k, up = k < kMax ? k + 1 : k;
    Sum sDown = 0, sK = 0, sUp = 0;
    if (given) {
        sDown = given->down, sK = given->k, sUp = given->up;
    } else {
        for (unsigned j = 0; j < J; ++j) {
            sDown += m[j] >> down;
            sK += m[j] >> k;
            sUp += m[j] >> up;
        }
    }
    auto bits = [count](uint64_t q, unsigned kk) { return q + (uint64_t)count * (kk + 1); };
    // The least of the three, chosen without a branch: which one wins
    // changes from block to block, and a mispredicted jump costs more than
    // the whole comparison.
    const unsigned guess = k;
    uint64_t best = bits(sK, k);
    const uint64_t below = bits(sDown, down), above = bits(sUp, up);
    k = below <= best ? down : k;
    best = below <= best ? below : best;
    k = above < best ? up : k;
    best = above < best ? above : best;
    // Rarely the best lies further out.
    if (__builtin_expect(k != guess, 0)) {
        if (k > guess) {
            while (k < kMax) {
                const uint64_t next = bits(shiftedSum<J, Sum>(m, k + 1), k + 1);
                if (next >= best) break;
                best = next, ++k;
            }
        } else {
            while (k > 0) {
                const uint64_t next = bits(shiftedSum<J, Sum>(m, k - 1), k - 1);
                if (next > best) break;
                best = next, --k;
            }
        }
    }
    *cost = best;
    return k;
}

// The fundamental sequences of n values v(j) that take `total` bits in
// all. When they fit one word, as they mostly do, the word is built in a
// register and put once: one writer step per block, not per sample.
template <class V> VALMORA_ALWAYS_INLINE void fsRun(BitWriter &w, unsigned n, uint64_t total, V v)
{
    if (total <= kWordBits) {
        uint64_t word = 0;
        for (unsigned j = 0; j < n; ++j) word = word << v(j) << 1 | 1;
        w.put(word, (unsigned)total);
        return;
    }
    for (unsigned j = 0; j < n; ++j) w.fs(v(j));
}

// Codes one block that is not all zero: m holds its J mapped samples (m[0]
// is 0 and ref the reference when the block starts an interval).
template <unsigned J, class Sum>
VALMORA_ALWAYS_INLINE void codeBlock(BitWriter &w, const Setup &s, const uint32_t *m, uint64_t sum, bool hasRef,
                                     uint32_t ref, const ShiftedSums *given)
{
    const unsigned r = hasRef ? 1 : 0, count = J - r;
    const uint32_t *c = m + r;
    uint64_t best;
    const unsigned k = bestSplit<J, Sum>(m, count, sum, s.kMax, given, &best);
    const uint64_t raw = (uint64_t)count * s.bits;

    // Second extension: (a+b)(a+b+1)/2 + b per pair costs at least the
    // pair's sum plus one bit, so with a sum of 3J/2 or more split k=1
    // always beats it; below that its exact count decides.
    if (sum < (uint64_t)J * 3 / 2) {
        uint64_t se = 1;
        for (unsigned j = 0; j < J; j += 2) {
            const uint32_t a = m[j] + m[j + 1];
            se += (uint64_t)a * (a + 1) / 2 + m[j + 1] + 1;
        }
        if (se < best && se < raw) {
            w.put(1, s.idLen + 1);
            if (hasRef) w.put(ref, s.bits);
            fsRun(w, J / 2, se - 1, [m](unsigned j) {
                const uint32_t a = m[2 * j] + m[2 * j + 1];
                return a * (a + 1) / 2 + m[2 * j + 1];
            });
            return;
        }
    }

    if (best >= raw) {
        // No compression: the ID of all ones, then the samples as they are.
        w.put((1u << s.idLen) - 1, s.idLen);
        if (hasRef) w.put(ref, s.bits);
        for (unsigned j = 0; j < count; ++j) w.put(c[j], s.bits);
        return;
    }

    w.put(k + 1, s.idLen);
    if (hasRef) w.put(ref, s.bits);
    fsRun(w, count, best - (uint64_t)count * k, [c, k](unsigned j) { return c[j] >> k; });
    if (k == 0) return;
    // The low bits gathered into words of up to 64 bits before they go out.
    const uint64_t low = (1u << k) - 1;
    uint64_t word = 0;
    unsigned used = 0;
    for (unsigned j = 0; j < count; ++j) {
        if (used + k > 64) {
            w.put(word, used);
            word = 0, used = 0;
        }
        word = word << k | (c[j] & low);
        used += k;
    }
    w.put(word, used);
}

// A run of `blocks` zero blocks; `toEnd` when it reaches the end of its
// segment or interval, where the remainder-of-segment code stands for it.
VALMORA_ALWAYS_INLINE void codeZeros(BitWriter &w, const Setup &s, unsigned blocks, bool toEnd, bool hasRef,
                                     uint32_t ref)
{
    w.put(0, s.idLen + 1);
    if (hasRef) w.put(ref, s.bits);
    if (toEnd && blocks >= kRunCounted)
        w.fs(kRosCode);
    else
        w.fs(blocks >= kRunCounted ? blocks : blocks - 1);
}

// Maps a whole block of samples at p into m and gives its sum. With the
// preprocessor each sample's predecessor is the one before it in memory
// (blocks of an interval lie end to end, and p is not the first sample of
// all), so the mapping has no chain from one sample to the next and runs in
// vector lanes. The reference maps to 0 in its own slot.
template <class R, bool P, unsigned J>
VALMORA_ALWAYS_INLINE uint64_t mapWhole(uint32_t *m, const unsigned char *p, bool hasRef, uint32_t top)
{
    typename R::Sum sum = 0;
    for (unsigned j = 0; j < J; ++j) {
        const uint32_t x = R::get(p + j * R::size) & top;
        m[j] = P ? mapped(x, R::get(p + j * R::size - R::size) & top, top) : x;
        sum += m[j];
    }
    if (hasRef) {
        sum -= m[0];
        m[0] = 0;
    }
    return sum;
}

#ifdef VALMORA_VECTOR_X86
// mapWhole eight samples at a time, and while the block is in registers the
// sums bestSplit wants.
// Not forced inline: only the AVX2 build of the loop, where the compiler
// may inline it, calls it.
template <class R, bool P, unsigned J>
inline __attribute__((target("avx2,bmi,bmi2"))) uint64_t mapWhole8(uint32_t *m, const unsigned char *p, bool hasRef, uint32_t top, unsigned kMax,
                                                              ShiftedSums *sums)
{
    const __m256i vTop = _mm256_set1_epi32((int)top);
    __m256i v[J / 8];
    __m256i total = _mm256_setzero_si256();
    for (unsigned g = 0; g < J / 8; ++g) {
        const unsigned char *q = p + g * 8 * R::size;
        v[g] = _mm256_and_si256(R::vec8(q), vTop);
        if (P) v[g] = mapped8(v[g], _mm256_and_si256(R::vec8(q - R::size), vTop), vTop);
        if (g == 0 && hasRef) v[0] = _mm256_blend_epi32(v[0], _mm256_setzero_si256(), 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(m + 8 * g), v[g]);
        total = _mm256_add_epi32(total, v[g]);
    }
    const uint64_t sum = lanesSum(total);
    const unsigned k = guessK<J>(sum, kMax);
    const __m128i byDown = _mm_cvtsi32_si128((int)(k ? k - 1 : k)), byK = _mm_cvtsi32_si128((int)k),
                  byUp = _mm_cvtsi32_si128((int)(k < kMax ? k + 1 : k));
    __m256i down = _mm256_setzero_si256(), atK = down, up = down;
    for (unsigned g = 0; g < J / 8; ++g) {
        down = _mm256_add_epi32(down, _mm256_srl_epi32(v[g], byDown));
        atK = _mm256_add_epi32(atK, _mm256_srl_epi32(v[g], byK));
        up = _mm256_add_epi32(up, _mm256_srl_epi32(v[g], byUp));
    }
    sums->down = lanesSum(down), sums->k = lanesSum(atK), sums->up = lanesSum(up);
    return sum;
}
#endif

// The same for the first block of all and a short last one, whose `have`
// samples are followed by zeros, the cheapest to code (the reader stops at
// the sample count).
template <class R, bool P, unsigned J>
uint64_t mapPart(uint32_t *m, const unsigned char *p, unsigned have, bool hasRef, uint32_t top)
{
    uint64_t sum = 0;
    m[0] = 0;
    for (unsigned j = hasRef ? 1 : 0; j < have; ++j) {
        const uint32_t x = R::get(p + j * R::size) & top;
        m[j] = P ? mapped(x, R::get(p + j * R::size - R::size) & top, top) : x;
        sum += m[j];
    }
    for (unsigned j = have; j < J; ++j) m[j] = 0;
    return sum;
}

// Codes `count` samples read by R into out (*len octets; the coded length
// on success); P when the preprocessor maps them.
template <class R, bool P, unsigned J, bool V>
VALMORA_ALWAYS_INLINE int codeAll(unsigned char *out, size_t *len, const Setup &setup, const unsigned char *src,
                                  size_t count)
{
    const Setup s = setup;
    BitWriter w(out, *len);
    const size_t interval = (size_t)J * s.rsi;
    uint32_t m[kMaxBlock];
    for (size_t first = 0; first < count; first += interval) {
        const size_t left = count - first, samples = left < interval ? left : interval;
        const unsigned blocks = (unsigned)((samples + J - 1) / J);
        const unsigned char *in = src + first * R::size;
        const uint32_t ref = R::get(in) & s.top;
        unsigned zeros = 0;
        bool zeroRef = false;
        for (unsigned b = 0; b < blocks; ++b) {
            const bool hasRef = P && b == 0;
            const size_t at = (size_t)b * J;
            const unsigned have = samples - at < J ? (unsigned)(samples - at) : J;
            const unsigned char *p = in + at * R::size;
            uint64_t sum;
            const ShiftedSums *given = nullptr;
#ifdef VALMORA_VECTOR_X86
            ShiftedSums sums;
#endif
            if (have == J && p != src) {
#ifdef VALMORA_VECTOR_X86
                if constexpr (V && R::size < 4) {
                    sum = mapWhole8<R, P, J>(m, p, hasRef, s.top, s.kMax, &sums);
                    given = &sums;
                } else
#endif
                    sum = mapWhole<R, P, J>(m, p, hasRef, s.top);
            } else {
                sum = mapPart<R, P, J>(m, p, have, hasRef, s.top);
            }
            const bool segmentEnd = (b + 1) % kSegmentBlocks == 0 || b + 1 == s.rsi;
            if (sum == 0) {
                if (zeros++ == 0) zeroRef = hasRef;
                if (segmentEnd || b + 1 == blocks) {
                    codeZeros(w, s, zeros, segmentEnd, zeroRef, ref);
                    zeros = 0;
                }
                continue;
            }
            if (zeros) {
                codeZeros(w, s, zeros, false, zeroRef, ref);
                zeros = 0;
            }
            codeBlock<J, typename R::Sum>(w, s, m, sum, hasRef, ref, given);
            if (w.full()) return kCcsdsFull;
        }
    }
    const size_t n = w.finish();
    if (n == 0) return kCcsdsFull;
    *len = n;
    return kCcsdsOk;
}

template <class R, bool P, unsigned J>
int codePortable(unsigned char *out, size_t *len, const Setup &s, const unsigned char *src, size_t count)
{
    return codeAll<R, P, J, false>(out, len, s, src, count);
}

#ifdef VALMORA_VECTOR_X86
// The same loop built for AVX2 (the mapping and the sums in eight lanes)
// and BMI2 (shifts by a variable count in one instruction).
template <class R, bool P, unsigned J>
__attribute__((target("avx2,bmi,bmi2"))) int codeAvx2(unsigned char *out, size_t *len, const Setup &s,
                                                      const unsigned char *src, size_t count)
{
    return codeAll<R, P, J, true>(out, len, s, src, count);
}
#endif

// The block size is a constant of each loop: blocks of fixed length need
// no loop tests and fill whole vectors.
template <class R, bool P, unsigned J>
int codeFor(unsigned char *out, size_t *len, const Setup &s, const unsigned char *src, size_t count)
{
#ifdef VALMORA_VECTOR_X86
    if (cpu::haveAvx2() && cpu::haveBmi2()) return codeAvx2<R, P, J>(out, len, s, src, count);
#endif
    return codePortable<R, P, J>(out, len, s, src, count);
}

template <class R, bool P>
int codeBlocks(unsigned char *out, size_t *len, const Setup &s, const unsigned char *src, size_t count)
{
    switch (s.blockSize) {
    case 8: return codeFor<R, P, 8>(out, len, s, src, count);
    case 16: return codeFor<R, P, 16>(out, len, s, src, count);
    case 32: return codeFor<R, P, 32>(out, len, s, src, count);
    default: return codeFor<R, P, 64>(out, len, s, src, count);
    }
}

template <class R>
int codeOrder(unsigned char *out, size_t *len, const Setup &s, const unsigned char *src, size_t count, bool pre)
{
    return pre ? codeBlocks<R, true>(out, len, s, src, count) : codeBlocks<R, false>(out, len, s, src, count);
}

} // namespace

bool ccsdsOwnFlags(int flags) { return (flags & ~(AEC_DATA_MSB | AEC_DATA_3BYTE | AEC_DATA_PREPROCESS)) == 0; }

int ccsdsEncodeOwn(void *dst, size_t *dstLen, const void *src, size_t n, int bits, int flags, int blockSize, int rsi)
{
    const size_t size = ccsdsSampleSize(bits, flags);
    if (!dst || !dstLen || (!src && n) || size == 0 || n % size != 0 || !ccsdsValidBlocking(blockSize, rsi) ||
        !ccsdsOwnFlags(flags))
        return kCcsdsParam;
    Setup s;
    s.bits = (unsigned)bits;
    s.idLen = bits > 16 ? 5 : bits > 8 ? 4 : 3;
    // IDs 1 .. 2^idLen - 2 are k + 1; a k of the width or more never beats
    // the samples as they are.
    s.kMax = (1u << s.idLen) - 3;
    if (s.kMax > s.bits - 1) s.kMax = s.bits - 1;
    s.blockSize = (unsigned)blockSize;
    s.rsi = (unsigned)rsi;
    s.top = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;

    auto *out = static_cast<unsigned char *>(dst);
    const auto *in = static_cast<const unsigned char *>(src);
    const size_t count = n / size;
    if (count == 0) {
        *dstLen = 0;
        return kCcsdsOk;
    }
    const bool pre = flags & AEC_DATA_PREPROCESS, msb = flags & AEC_DATA_MSB;
    switch (size) {
    case 1: return codeOrder<Read1>(out, dstLen, s, in, count, pre);
    case 2: return msb ? codeOrder<Read2<true>>(out, dstLen, s, in, count, pre)
                       : codeOrder<Read2<false>>(out, dstLen, s, in, count, pre);
    case 3: return msb ? codeOrder<Read3<true>>(out, dstLen, s, in, count, pre)
                       : codeOrder<Read3<false>>(out, dstLen, s, in, count, pre);
    default: return msb ? codeOrder<Read4<true>>(out, dstLen, s, in, count, pre)
                        : codeOrder<Read4<false>>(out, dstLen, s, in, count, pre);
    }
}
