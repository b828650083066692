// Writes an 8-bit grey-level PNG through libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {
namespace demo {

/// `pixels` holds width * height samples, row after row. Throws std::runtime_error.
void writeGreyPng(const std::string& path, int width, int height,
                  const std::vector<std::uint8_t>& pixels);

}  // namespace demo
}  // namespace kelvo
