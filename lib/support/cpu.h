/*
 * The processor-specific paths of the library, switched in one place: the
 * vector loops of the decoder, the encoder, the byte planes and the CRC are
 * built only where VALMORA_VECTOR_X86 is defined, and each is chosen at run
 * time by the feature tests below, once per process. A VALMORA_PORTABLE
 * build leaves every one of them out. Internal, not installed; C++ only.
 */
#ifndef VALMORA_CPU_H
#define VALMORA_CPU_H

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && !defined(VALMORA_PORTABLE)
#define VALMORA_VECTOR_X86 1
#include <immintrin.h>
#endif

// Hot loops that the compiler vectorises itself get a second copy for AVX2,
// chosen once at load (GCC's clones; clang builds keep the plain copy).
#if defined(VALMORA_VECTOR_X86) && !defined(__clang__)
#define VALMORA_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VALMORA_CLONES
#endif

#ifdef VALMORA_VECTOR_X86
namespace cpu {

// Each asks the processor once; the answers never change while it runs.
inline bool haveSsse3()
{
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}

inline bool haveSse42()
{
    static const bool yes = __builtin_cpu_supports("sse4.2");
    return yes;
}

// The decoder's 256-bit loops use fused multiply-adds as well.
inline bool haveAvx2()
{
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
}

// Shifts and bit fields by a count in a register (the CCSDS coder's
// bit writer).
inline bool haveBmi2()
{
    static const bool yes = __builtin_cpu_supports("bmi2");
    return yes;
}

inline bool haveAvx512f()
{
    static const bool yes = __builtin_cpu_supports("avx512f");
    return yes;
}

// 512-bit shuffles of octets need the BW extension too.
inline bool haveAvx512bw()
{
    static const bool yes = haveAvx512f() && __builtin_cpu_supports("avx512bw");
    return yes;
}

} // namespace cpu
#endif

#endif /* VALMORA_CPU_H */
