// Hot kernels exist in two builds of the same source: one for the baseline instruction set of
// the target, and one for a wider vector unit (AVX2 on x86-64) that the program uses when the
// CPU it runs on has one. Both builds compute every value with the same operations in the same
// order (floating-point contraction is off and nothing is reassociated), so they give
// bit-identical results; the wider one only does more lines per instruction.
//
// A kernel is written once as a VARNEL_KERNEL_BODY function (always inlined) and wrapped twice:
// a plain function, and one marked VARNEL_VECTOR_TARGET. Functions a body calls that are not
// inlined run in the baseline build, which is always safe. Callers pick a wrapper with
// useVectorKernels(); the tests call both and compare them.
//
// Without VARNEL_VECTOR_KERNELS (a CMake option, on by default), on other architectures and on
// other compilers both wrappers are the baseline build and useVectorKernels() is false.
#pragma once

#if defined(VARNEL_VECTOR_KERNELS) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VARNEL_HAS_VECTOR_BUILD 1
#define VARNEL_VECTOR_TARGET __attribute__((target("avx2")))
#else
#define VARNEL_HAS_VECTOR_BUILD 0
#define VARNEL_VECTOR_TARGET
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VARNEL_KERNEL_BODY [[gnu::always_inline]] inline
#else
#define VARNEL_KERNEL_BODY inline
#endif

namespace varnel {

// True when the vector build exists and this CPU (and its operating system) can run it.
// Decided once.
inline bool useVectorKernels() {
#if VARNEL_HAS_VECTOR_BUILD
    static const bool usable = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return usable;
#else
    return false;
#endif
}

}  // namespace varnel
