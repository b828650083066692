// Multi-page TIFF stacks through libtiff: every page (directory) is one slice along dimension
// 2; pages must share size and sample type and hold one grey-level sample per pixel. A single
// page of several samples per pixel (RGB) is a colour image: its samples are dimension 0
// (the layout tifffile gives as (H, W, 3)), and it is written back as such. The output keeps
// the sample type, compression, resolution and description of the input.
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "volume_io.h"

namespace kelvo {
namespace cli {

namespace {

// libtiff reports through global handlers; keep the last error to put it into one line.
thread_local std::string lastTiffError;

void onTiffError(const char* module, const char* fmt, va_list ap) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    lastTiffError = (module ? std::string(module) + ": " : std::string()) + buf;
}
void onTiffWarning(const char*, const char*, va_list) {}

void installHandlers() {
    TIFFSetErrorHandler(onTiffError);
    TIFFSetWarningHandler(onTiffWarning);
}

struct TiffCloser {
    void operator()(TIFF* t) const {
        if (t) TIFFClose(t);
    }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

SampleType typeOf(const std::string& path, int bits, int format) {
    if (format == SAMPLEFORMAT_IEEEFP) {
        if (bits == 32) return SampleType::F32;
        if (bits == 64) return SampleType::F64;
    } else if (format == SAMPLEFORMAT_INT) {
        if (bits == 8) return SampleType::I8;
        if (bits == 16) return SampleType::I16;
        if (bits == 32) return SampleType::I32;
    } else if (format == SAMPLEFORMAT_UINT) {
        if (bits == 8) return SampleType::U8;
        if (bits == 16) return SampleType::U16;
        if (bits == 32) return SampleType::U32;
    }
    throw IoError(path + ": unsupported TIFF sample type (" + std::to_string(bits) +
                  " bits, format " + std::to_string(format) + ")");
}

void typeTags(SampleType t, int* bits, int* format) {
    *bits = int(sampleBytes(t) * 8);
    switch (t) {
        case SampleType::F32:
        case SampleType::F64:
            *format = SAMPLEFORMAT_IEEEFP;
            break;
        case SampleType::I8:
        case SampleType::I16:
        case SampleType::I32:
            *format = SAMPLEFORMAT_INT;
            break;
        default:
            *format = SAMPLEFORMAT_UINT;
    }
}

class TiffFile : public VolumeFile {
public:
    int compression = COMPRESSION_NONE;
    bool hasResolution = false;
    float xres = 1, yres = 1;
    std::uint16_t resUnit = RESUNIT_NONE;
    std::string description;
    std::uint16_t samplesPerPixel = 1, photometric = PHOTOMETRIC_MINISBLACK;

    const char* format() const override { return "TIFF"; }

    void write(const std::string& path, const std::vector<float>& data,
               bool asFloat32) const override {
        installHandlers();
        lastTiffError.clear();
        const SampleType t = asFloat32 ? SampleType::F32 : type;
        int bits = 0, fmt = 0;
        typeTags(t, &bits, &fmt);
        // A colour page holds its samples (dimension 0) interleaved in every row.
        const bool colour = samplesPerPixel > 1;
        const std::int64_t width = colour ? dims[1] : dims[0];
        const std::int64_t height = colour ? dims[2] : dims[1];
        const std::int64_t pages = colour ? 1 : dims[2];
        const std::size_t pageCount = std::size_t(dims[0]) * dims[1] * (colour ? dims[2] : 1);
        const std::size_t pageBytes = pageCount * sampleBytes(t);
        // Classic TIFF stays below 4 GB; larger stacks are written as BigTIFF.
        const bool big = double(pageBytes) * double(pages) > 3.5e9;
        TiffPtr tif(TIFFOpen(path.c_str(), big ? "w8" : "w"));
        if (!tif) throw IoError(path + ": cannot create file " + lastTiffError);
        std::vector<char> page(pageBytes);
        std::vector<float> slice(pageCount);
        for (std::int64_t z = 0; z < pages; ++z) {
            std::copy(data.begin() + std::ptrdiff_t(z * pageCount),
                      data.begin() + std::ptrdiff_t((z + 1) * pageCount), slice.begin());
            encodeSamples(slice, t, 0.0, 0.0, page.data());
            TIFF* o = tif.get();
            TIFFSetField(o, TIFFTAG_IMAGEWIDTH, std::uint32_t(width));
            TIFFSetField(o, TIFFTAG_IMAGELENGTH, std::uint32_t(height));
            TIFFSetField(o, TIFFTAG_BITSPERSAMPLE, std::uint16_t(bits));
            TIFFSetField(o, TIFFTAG_SAMPLEFORMAT, std::uint16_t(fmt));
            TIFFSetField(o, TIFFTAG_SAMPLESPERPIXEL, samplesPerPixel);
            TIFFSetField(o, TIFFTAG_PHOTOMETRIC, photometric);
            TIFFSetField(o, TIFFTAG_PLANARCONFIG, std::uint16_t(PLANARCONFIG_CONTIG));
            TIFFSetField(o, TIFFTAG_COMPRESSION, std::uint16_t(compression));
            TIFFSetField(o, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(o, 0));
            if (pages > 1) {
                TIFFSetField(o, TIFFTAG_SUBFILETYPE, std::uint32_t(FILETYPE_PAGE));
                TIFFSetField(o, TIFFTAG_PAGENUMBER, std::uint16_t(z), std::uint16_t(pages));
            }
            if (hasResolution) {
                TIFFSetField(o, TIFFTAG_XRESOLUTION, xres);
                TIFFSetField(o, TIFFTAG_YRESOLUTION, yres);
                TIFFSetField(o, TIFFTAG_RESOLUTIONUNIT, resUnit);
            }
            if (z == 0 && !description.empty())
                TIFFSetField(o, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
            const std::size_t rowBytes = pageBytes / std::size_t(height);
            for (std::int64_t y = 0; y < height; ++y)
                if (TIFFWriteScanline(o, page.data() + std::size_t(y) * rowBytes, std::uint32_t(y),
                                      0) < 0)
                    throw IoError(path + ": write failed " + lastTiffError);
            if (!TIFFWriteDirectory(o)) throw IoError(path + ": write failed " + lastTiffError);
        }
        TIFF* raw = tif.release();
        if (TIFFFlush(raw) != 1) {
            TIFFClose(raw);
            throw IoError(path + ": write failed (disk full?) " + lastTiffError);
        }
        TIFFClose(raw);
    }
};

}  // namespace

std::unique_ptr<VolumeFile> readTiff(const std::string& path) {
    installHandlers();
    lastTiffError.clear();
    FILE* probe = std::fopen(path.c_str(), "rb");
    if (!probe) throw IoError(path + ": cannot open file");
    std::fclose(probe);
    TiffPtr tif(TIFFOpen(path.c_str(), "r"));
    if (!tif) throw IoError(path + ": not a readable TIFF file " + lastTiffError);
    TIFF* t = tif.get();

    auto file = std::make_unique<TiffFile>();
    std::uint32_t width = 0, height = 0;
    int pages = 0;
    do {
        std::uint32_t w = 0, h = 0;
        std::uint16_t bits = 1, fmt = SAMPLEFORMAT_UINT, spp = 1, planar = PLANARCONFIG_CONTIG;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &fmt);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
        std::uint16_t photometric = PHOTOMETRIC_MINISBLACK, extra = 0;
        std::uint16_t* extraTypes = nullptr;
        TIFFGetFieldDefaulted(t, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &extra, &extraTypes);
        if (spp != 1 && (planar != PLANARCONFIG_CONTIG || extra != 0 || spp > 16 ||
                         (photometric != PHOTOMETRIC_RGB && photometric != PHOTOMETRIC_MINISBLACK)))
            throw IoError(path + ": unsupported TIFF: " + std::to_string(spp) +
                          " samples per pixel " +
                          (extra != 0 ? "with an alpha channel (remove it first)"
                                      : "in another layout than RGB or grey samples side by "
                                        "side in each pixel"));
        if (spp != 1 && TIFFNumberOfDirectories(t) != 1)
            throw IoError(path + ": unsupported TIFF: a stack of colour pages (pages of " +
                          std::to_string(spp) + " samples per pixel); save each page on its own");
        if (TIFFIsTiled(t)) throw IoError(path + ": unsupported TIFF: tiled pages");
        const SampleType type = typeOf(path, bits, fmt);
        if (pages == 0) {
            width = w;
            height = h;
            file->type = type;
            file->samplesPerPixel = spp;
            file->photometric = photometric;
            std::uint16_t comp = COMPRESSION_NONE;
            TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &comp);
            if (comp == COMPRESSION_LZW || comp == COMPRESSION_ADOBE_DEFLATE ||
                comp == COMPRESSION_DEFLATE || comp == COMPRESSION_PACKBITS)
                file->compression = comp;
            float xr = 0, yr = 0;
            std::uint16_t unit = RESUNIT_NONE;
            if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &xr) &&
                TIFFGetField(t, TIFFTAG_YRESOLUTION, &yr)) {
                TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
                file->hasResolution = true;
                file->xres = xr;
                file->yres = yr;
                file->resUnit = unit;
            }
            char* desc = nullptr;
            if (TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &desc) && desc) file->description = desc;
            if (w < 1 || h < 1) throw IoError(path + ": wrong dimensions (empty page)");
        } else if (w != width || h != height || type != file->type) {
            throw IoError(path + ": page " + std::to_string(pages + 1) +
                          " differs in size or sample type from the first page");
        }
        const std::size_t rowBytes = std::size_t(w) * spp * sampleBytes(type);
        if (std::size_t(TIFFScanlineSize(t)) != rowBytes)
            throw IoError(path + ": unsupported TIFF row layout");
        std::vector<char> row(rowBytes);
        file->values.reserve(std::size_t(w) * spp * h * (pages + 1));
        for (std::uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(t, row.data(), y, 0) < 0)
                throw IoError(path + ": corrupt TIFF data on page " + std::to_string(pages + 1) +
                              " " + lastTiffError);
            const std::vector<float> v =
                decodeSamples(row.data(), std::size_t(w) * spp, type, 0.0, 0.0);
            file->values.insert(file->values.end(), v.begin(), v.end());
        }
        ++pages;
    } while (TIFFReadDirectory(t));

    if (file->samplesPerPixel > 1) {
        file->dims = {file->samplesPerPixel, std::int64_t(width), std::int64_t(height), 1};
        file->channelDim = 0;
        if (width < 2) throw IoError(path + ": wrong dimensions: 1-D data");
        return file;
    }
    file->dims = {std::int64_t(width), std::int64_t(height), std::int64_t(pages), 1};
    if (height < 2) throw IoError(path + ": wrong dimensions: 1-D data");
    return file;
}

}  // namespace cli
}  // namespace kelvo
