// Which vector instructions the kernels may use. Plain C++, no Python.
//
// Vector code is compiled per function (target attributes), so one build runs on any x86-64
// CPU and the path is chosen at run time from what the CPU reports. EE_KERNELS_PORTABLE
// leaves the vector code out altogether.
#pragma once

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(EE_KERNELS_PORTABLE)
#define EE_KERNELS_X86 1
#include <immintrin.h>
#endif

namespace ee::kernels::detail {

inline bool cpu_has(int level) {  // 2: AVX2, 3: AVX-512F, 4: AVX-512VL and BW
#ifdef EE_KERNELS_X86
    __builtin_cpu_init();
    if (level == 4)
        return __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("popcnt");
    if (level == 3) return __builtin_cpu_supports("avx512f");
    if (level == 2) return __builtin_cpu_supports("avx2");
#endif
    (void) level;
    return false;
}

inline bool use_avx512() {
    static const bool yes = cpu_has(3) && cpu_has(4);
    return yes;
}

}  // namespace ee::kernels::detail
