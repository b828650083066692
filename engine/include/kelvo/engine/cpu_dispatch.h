// Internal to the engine: run-time dispatch of the hot kernels between a baseline clone and
// an x86-64-v3 clone (AVX2, FMA), chosen once at load by the ifunc resolver.
//
// Kernels whose clones must give the baseline's bits (block matching, the block and group
// transforms) live in files built with -ffp-contract=off (see engine/CMakeLists.txt): with
// no fused multiply-add the wider clone performs the same operations, lane by lane. The FFT
// and the variance products may fuse.
//
// Not under ThreadSanitizer, whose instrumented ifunc resolver runs before the sanitizer's
// run time is set up and crashes at load; KELVO_NO_TARGET_CLONES turns dispatch off too.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(KELVO_NO_TARGET_CLONES)
#define KELVO_CLONES __attribute__((target_clones("default", "arch=x86-64-v3")))
#else
#define KELVO_CLONES
#endif
