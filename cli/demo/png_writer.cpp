#include "png_writer.h"

#include <png.h>

#include <cstdio>
#include <stdexcept>

namespace kelvo {
namespace demo {

void writeGreyPng(const std::string& path, int width, int height,
                  const std::vector<std::uint8_t>& pixels) {
    if (width < 1 || height < 1 || pixels.size() != std::size_t(width) * height)
        throw std::runtime_error("PNG: bad image size");
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error(path + ": cannot create file");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    // libpng reports errors by longjmp; nothing with a destructor lives across setjmp here.
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        std::fclose(f);
        std::remove(path.c_str());
        throw std::runtime_error(path + ": PNG write failed");
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) png_write_row(png, pixels.data() + std::size_t(y) * width);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(f) != 0) throw std::runtime_error(path + ": PNG write failed");
}

}  // namespace demo
}  // namespace kelvo
