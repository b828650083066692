// Internal to Kelvo: small helpers shared by the engine and its interfaces.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "kelvo/engine/records.h"

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

}  // namespace kelvo
