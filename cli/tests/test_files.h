// Writers of fresh NIfTI and TIFF files for the tool's tests (the tool itself only rewrites
// files it has read). Header-only; throw std::runtime_error.
#pragma once

#include <nifti2_io.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvo {
namespace testfiles {

/// A NIfTI file of int16 samples round((v - inter) / slope) with voxel size 1.5 x 2 x 2.5 mm,
/// a qform, and `dims` (dims[0] = ndim); NIfTI-2 when `nifti2` is set, else NIfTI-1.
inline void writeNiftiInt16(const std::string& path, const std::vector<std::int64_t>& dims,
                            const std::vector<float>& values, double slope, double inter,
                            bool nifti2 = false) {
    std::int64_t d[8] = {0, 1, 1, 1, 1, 1, 1, 1};
    for (std::size_t i = 0; i < dims.size() && i < 8; ++i) d[i] = dims[i];
    nifti_image* nim = nifti_make_new_nim(d, DT_INT16, 1);
    if (!nim) throw std::runtime_error("nifti_make_new_nim failed");
    if (std::size_t(nim->nvox) != values.size()) {
        nifti_image_free(nim);
        throw std::runtime_error("value count does not match dims");
    }
    nim->dx = nim->pixdim[1] = 1.5f;
    nim->dy = nim->pixdim[2] = 2.0f;
    nim->dz = nim->pixdim[3] = 2.5f;
    nim->qform_code = 1;
    nim->qoffset_x = -10.0;
    nim->scl_slope = slope;
    nim->scl_inter = inter;
    std::strncpy(nim->descrip, "kelvo test", sizeof nim->descrip - 1);
    auto* s = static_cast<std::int16_t*>(nim->data);
    for (std::size_t i = 0; i < values.size(); ++i)
        s[i] = std::int16_t(std::lround((values[i] - inter) / slope));
    if (nifti2) {
        // The library writes single files as NIfTI-1 only: header, empty extender, data.
        nifti_2_header h;
        const bool ok = nifti_convert_nim2n2hdr(nim, &h) == 0;
        const char magic[8] = {'n', '+', '2', '\0', '\r', '\n', '\032', '\n'};
        std::memcpy(h.magic, magic, 8);
        h.vox_offset = 544;
        const bool gz = path.size() > 3 && path.substr(path.size() - 3) == ".gz";
        znzFile fp = znzopen(path.c_str(), "wb", gz ? 1 : 0);
        const char extender[4] = {0, 0, 0, 0};
        if (ok && !znz_isnull(fp)) {
            znzwrite(&h, sizeof h, 1, fp);
            znzwrite(extender, 4, 1, fp);
            znzwrite(nim->data, 2, std::size_t(nim->nvox), fp);
        }
        if (!znz_isnull(fp)) znzclose(fp);
        nifti_image_free(nim);
        if (!ok) throw std::runtime_error("cannot write " + path);
        return;
    }
    if (nifti_set_filenames(nim, path.c_str(), 0, 1) != 0) {
        nifti_image_free(nim);
        throw std::runtime_error("bad NIfTI name " + path);
    }
    nifti_image_write(nim);
    nifti_image_free(nim);
}

/// A NIfTI file of float32 samples (NaN and infinities kept) with unit voxels.
inline void writeNiftiFloat(const std::string& path, const std::vector<std::int64_t>& dims,
                            const std::vector<float>& values) {
    std::int64_t d[8] = {0, 1, 1, 1, 1, 1, 1, 1};
    for (std::size_t i = 0; i < dims.size() && i < 8; ++i) d[i] = dims[i];
    nifti_image* nim = nifti_make_new_nim(d, DT_FLOAT32, 1);
    if (!nim) throw std::runtime_error("nifti_make_new_nim failed");
    if (std::size_t(nim->nvox) != values.size()) {
        nifti_image_free(nim);
        throw std::runtime_error("value count does not match dims");
    }
    std::memcpy(nim->data, values.data(), values.size() * sizeof(float));
    if (nifti_set_filenames(nim, path.c_str(), 0, 1) != 0) {
        nifti_image_free(nim);
        throw std::runtime_error("bad NIfTI name " + path);
    }
    nifti_image_write(nim);
    nifti_image_free(nim);
}

/// NIfTI version (1 or 2) of a file's header, 0 when unreadable.
inline int niftiVersion(const std::string& path) {
    int version = 0;
    void* header = nifti_read_header(path.c_str(), &version, 0);
    std::free(header);
    return header ? version : 0;
}

/// A multi-page uint16 or float32 TIFF of `pages` pages of w x h samples.
inline void writeTiff(const std::string& path, int w, int h, int pages,
                      const std::vector<float>& values, bool asFloat, double scale = 1.0,
                      int samples = 1) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) throw std::runtime_error("cannot create " + path);
    // `samples` per pixel side by side (RGB when 3); values[((z * h + y) * w + x) * samples + s].
    const int n = w * samples;
    std::vector<char> row(std::size_t(n) * (asFloat ? 4 : 2));
    for (int z = 0; z < pages; ++z) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(w));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(h));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, std::uint16_t(asFloat ? 32 : 16));
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT,
                     std::uint16_t(asFloat ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t(samples));
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                     std::uint16_t(samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK));
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, std::uint16_t(PLANARCONFIG_CONTIG));
        TIFFSetField(t, TIFFTAG_COMPRESSION, std::uint16_t(COMPRESSION_LZW));
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, std::uint32_t(8));
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 3.0f);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 3.0f);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < n; ++x) {
                const float v = values[(std::size_t(z) * h + y) * n + x];
                if (asFloat) {
                    std::memcpy(&row[std::size_t(x) * 4], &v, 4);
                } else {
                    const double s = std::max(0.0, std::min(65535.0, std::round(v * scale)));
                    const std::uint16_t u = std::uint16_t(s);
                    std::memcpy(&row[std::size_t(x) * 2], &u, 2);
                }
            }
            TIFFWriteScanline(t, row.data(), std::uint32_t(y), 0);
        }
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
}

}  // namespace testfiles
}  // namespace kelvo
