// Which vector instructions the kernels may use. Plain C++, no Python.
//
// Vector code is compiled per function (target attributes), so one build runs on any x86-64
// CPU and the path is chosen at run time: the widest the CPU runs, or a narrower one named
// by TESSALINE_KERNELS (avx512, avx2 or portable), read once when the extension is loaded.
// A path the CPU lacks falls back to the widest one below it that the CPU runs, so asking
// never leads to an illegal instruction; an empty or unknown value leaves the widest path.
// EE_KERNELS_PORTABLE leaves the vector code out altogether.
#pragma once

#include <cstdlib>
#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(EE_KERNELS_PORTABLE)
#define EE_KERNELS_X86 1
#include <immintrin.h>
#endif

// Around AVX-512 code: GCC 12 warns of uninitialised values inside its own intrinsics.
#if defined(__GNUC__) && !defined(__clang__)
#define EE_AVX512_WARNINGS_OFF \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define EE_AVX512_WARNINGS_ON _Pragma("GCC diagnostic pop")
#else
#define EE_AVX512_WARNINGS_OFF
#define EE_AVX512_WARNINGS_ON
#endif

namespace ee::kernels {

// Ordered: every CPU that runs a path runs the ones below it.
enum class Isa : int { portable = 0, avx2 = 1, avx512 = 2 };

namespace detail {

// The widest path the CPU runs. AVX-512 takes F, VL and BW (with POPCNT), as the rank
// kernels use all three; AVX2 takes FMA (and POPCNT) beside it.
inline Isa cpu_isa() {
#ifdef EE_KERNELS_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("popcnt") &&
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return Isa::avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
        __builtin_cpu_supports("popcnt"))
        return Isa::avx2;
#endif
    return Isa::portable;
}

inline Isa isa_from_environment() {
    const Isa widest = cpu_isa();
    const char *asked = std::getenv("TESSALINE_KERNELS");
    Isa want = widest;
    if (asked && std::strcmp(asked, "portable") == 0) want = Isa::portable;
    if (asked && std::strcmp(asked, "avx2") == 0) want = Isa::avx2;
    return want < widest ? want : widest;
}

// Set while the shared object loads, before any kernel can run; a read before that would
// see zero, the portable path, which every CPU runs.
inline const Isa kSelectedIsa = isa_from_environment();

inline bool use_avx512() { return kSelectedIsa == Isa::avx512; }
inline bool use_avx2() { return kSelectedIsa >= Isa::avx2; }

}  // namespace detail

// The path the kernels take in this process.
inline Isa selected_isa() { return detail::kSelectedIsa; }

}  // namespace ee::kernels
