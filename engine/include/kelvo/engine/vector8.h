// Eight-lane float vectors (GCC and Clang vector extensions) for the kernels that keep their
// plain twins' operations and order: unaligned loads and stores through memcpy, a broadcast,
// and the one horizontal sum they all use, so that every kernel reduces its lanes alike.
// Always inlined, so that they take the instruction set of the clone that calls them
// (cpu_dispatch.h).
#pragma once

#include <cstring>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelvo {
namespace vec8 {

typedef float V8 __attribute__((vector_size(32)));
typedef int I8 __attribute__((vector_size(32)));
typedef float V4 __attribute__((vector_size(16)));
typedef int I4 __attribute__((vector_size(16)));

__attribute__((always_inline)) inline V8 load8(const float* p) {
    V8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

__attribute__((always_inline)) inline void store8(float* p, V8 v) { std::memcpy(p, &v, sizeof v); }

__attribute__((always_inline)) inline V8 splat(float x) { return V8{x, x, x, x, x, x, x, x}; }

/// ((a0 + a4) + (a1 + a5)) + ((a2 + a6) + (a3 + a7)).
__attribute__((always_inline)) inline float reduce8(V8 a) {
    const V4 lo = {a[0], a[1], a[2], a[3]};
    const V4 hi = {a[4], a[5], a[6], a[7]};
    const V4 x = lo + hi;
    const V4 y = x + __builtin_shuffle(x, I4{1, 0, 3, 2});
    return y[0] + y[2];
}

}  // namespace vec8
}  // namespace kelvo

#pragma GCC diagnostic pop
