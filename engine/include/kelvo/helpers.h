// Internal to Kelvo: small helpers shared by the engine and its interfaces.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "kelvo/records.h"

namespace kelvo {

/// Releases a buffer obtained with malloc, calloc or realloc.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
/// A float buffer obtained with malloc (null on allocation failure), freed on every path.
using FloatBuffer = std::unique_ptr<float, FreeDeleter>;

/// "[a, b, c]": a size, step or position in messages.
inline std::string vecText(Vec3<int> v) {
    return "[" + std::to_string(v.x) + ", " + std::to_string(v.y) + ", " + std::to_string(v.z) +
           "]";
}

/// True for the sizes the engine's FFT supports along dimension 0: 4, 8, 16, 32 or 64.
/// Dimensions 1 and 2 also take 1 (no transform along a flat dimension).
inline bool isFftSize(int n) { return n == 4 || n == 8 || n == 16 || n == 32 || n == 64; }

}  // namespace kelvo
