// NIfTI-1/NIfTI-2 single files (.nii, .nii.gz) through the NIfTI C library. The header read
// from the input is copied unchanged to the output (geometry, orientation, units, scaling,
// descriptions); only the sample data is replaced.
#include <nifti2_io.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "volume_io.h"

namespace kelvo {
namespace cli {

namespace {

struct NiftiDeleter {
    void operator()(nifti_image* p) const {
        if (p) nifti_image_free(p);
    }
};
using NiftiPtr = std::unique_ptr<nifti_image, NiftiDeleter>;

bool typeOfDatatype(int datatype, SampleType* t) {
    switch (datatype) {
        case DT_UINT8: *t = SampleType::U8; return true;
        case DT_INT8: *t = SampleType::I8; return true;
        case DT_UINT16: *t = SampleType::U16; return true;
        case DT_INT16: *t = SampleType::I16; return true;
        case DT_UINT32: *t = SampleType::U32; return true;
        case DT_INT32: *t = SampleType::I32; return true;
        case DT_FLOAT32: *t = SampleType::F32; return true;
        case DT_FLOAT64: *t = SampleType::F64; return true;
        default: return false;
    }
}

/// NIfTI applies scl_slope/scl_inter only when the slope is finite and non-zero.
bool scaled(const nifti_image* nim) {
    return std::isfinite(nim->scl_slope) && nim->scl_slope != 0.0 &&
           std::isfinite(nim->scl_inter);
}

/// NIfTI version (1 or 2) of the header of a file, 0 when it has none.
int headerVersion(const std::string& path) {
    int version = 0;
    void* header = nifti_read_header(path.c_str(), &version, 0);
    std::free(header);
    return header ? version : 0;
}

/// Writes `nim` (header, extensions and data) as a single-file NIfTI-2 image, gzip-compressed
/// for a .gz name. The library writes single files as NIfTI-1 only.
void writeNifti2(const std::string& path, const nifti_image* nim) {
    nifti_2_header header;
    if (nifti_convert_nim2n2hdr(nim, &header) != 0)
        throw IoError(path + ": cannot build a NIfTI-2 header");
    static const char MAGIC[8] = {'n', '+', '2', '\0', '\r', '\n', '\032', '\n'};
    std::memcpy(header.magic, MAGIC, sizeof MAGIC);
    std::int64_t offset = static_cast<std::int64_t>(sizeof header) + 4;  // header, extender
    for (int e = 0; e < nim->num_ext; ++e) offset += nim->ext_list[e].esize;
    header.vox_offset = offset;
    const bool gz = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
    znzFile fp = znzopen(path.c_str(), "wb", gz ? 1 : 0);
    if (znz_isnull(fp)) throw IoError(path + ": cannot create the file");
    const char extender[4] = {char(nim->num_ext > 0 ? 1 : 0), 0, 0, 0};
    bool ok = znzwrite(&header, sizeof header, 1, fp) == 1 && znzwrite(extender, 4, 1, fp) == 1;
    for (int e = 0; ok && e < nim->num_ext; ++e) {
        const nifti1_extension& x = nim->ext_list[e];
        const std::int32_t sizeAndCode[2] = {x.esize, x.ecode};
        ok = znzwrite(sizeAndCode, sizeof sizeAndCode, 1, fp) == 1 &&
             (x.esize <= 8 || znzwrite(x.edata, std::size_t(x.esize - 8), 1, fp) == 1);
    }
    const std::size_t bytes = std::size_t(nim->nvox) * std::size_t(nim->nbyper);
    ok = ok && (bytes == 0 || znzwrite(nim->data, bytes, 1, fp) == 1);
    if (znzclose(fp) != 0) ok = false;
    if (!ok) throw IoError(path + ": write failed (disk full or not writable?)");
}

class NiftiFile : public VolumeFile {
public:
    NiftiPtr header;  // header only (data freed after reading)

    const char* format() const override { return "NIfTI"; }

    void write(const std::string& path, const std::vector<float>& data,
               bool asFloat32) const override {
        NiftiPtr out(nifti_copy_nim_info(header.get()));
        if (!out) throw IoError(path + ": cannot copy the NIfTI header (out of memory)");
        SampleType t = type;
        double slope = scaled(out.get()) ? out->scl_slope : 0.0;
        double inter = scaled(out.get()) ? out->scl_inter : 0.0;
        if (asFloat32) {
            t = SampleType::F32;
            out->datatype = DT_FLOAT32;
            out->nbyper = 4;
            out->scl_slope = 1.0;
            out->scl_inter = 0.0;
            slope = 0.0;
            inter = 0.0;
        }
        out->nifti_type = NIFTI_FTYPE_NIFTI1_1;
        if (nifti_set_filenames(out.get(), path.c_str(), 0, 1) != 0)
            throw IoError(path + ": not a valid NIfTI file name");
        const std::size_t bytes = data.size() * sampleBytes(t);
        out->data = std::calloc(bytes ? bytes : 1, 1);
        if (!out->data) throw IoError(path + ": out of memory");
        encodeSamples(data, t, slope, inter, out->data);
        if (version == 2) {
            writeNifti2(path, out.get());
        } else {
            nifti_image_write(out.get());
        }
        // The library reports write errors on stderr only: read the file back to be sure
        // it is complete before the caller renames it into place.
        NiftiPtr check(nifti_image_read(path.c_str(), 1));
        if (!check || !check->data || check->nvox != out->nvox ||
            check->datatype != out->datatype || headerVersion(path) != version)
            throw IoError(path + ": write failed (disk full or not writable?)");
    }

    int version = 1;  ///< NIfTI version of the source file (1 or 2), kept when writing
};

}  // namespace

/// The image's samples exactly as stored, in the machine's byte order.
std::vector<char> readRawSamples(const std::string& path, nifti_image* nim, std::size_t count) {
    const std::size_t bytes = count * std::size_t(nim->nbyper);
    std::vector<char> raw(bytes);
    znzFile f = znzopen(nim->iname, "rb", nifti_is_gzfile(nim->iname));
    if (znz_isnull(f)) throw IoError(path + ": cannot open the image data");
    const bool ok = znzseek(f, znz_off_t(nim->iname_offset), SEEK_SET) >= 0 &&
                    znzread(raw.data(), 1, bytes, f) == bytes;
    znzclose(f);
    if (!ok) throw IoError(path + ": truncated NIfTI data");
    if (nim->byteorder != nifti_short_order() && nim->nbyper > 1)
        nifti_swap_Nbytes(std::int64_t(count), nim->nbyper, raw.data());
    return raw;
}

std::unique_ptr<VolumeFile> readNifti(const std::string& path) {
    nifti_set_debug_level(0);  // our own one-line messages replace the library's
    FILE* probe = std::fopen(path.c_str(), "rb");
    if (!probe) throw IoError(path + ": cannot open file");
    std::fclose(probe);
    // Header only: the library's loader replaces NaN and infinite floats by 0, but they mean
    // "no data" here and must survive, so the samples are read as stored (readRawSamples).
    NiftiPtr nim(nifti_image_read(path.c_str(), 0));
    if (!nim) throw IoError(path + ": not a readable NIfTI file");

    auto file = std::make_unique<NiftiFile>();
    if (!typeOfDatatype(nim->datatype, &file->type))
        throw IoError(path + ": unsupported NIfTI data type " +
                      std::string(nifti_datatype_string(nim->datatype)) +
                      " (use integer or real scalar voxels)");
    for (int d = 5; d <= 7; ++d)
        if (nim->ndim >= d && nim->dim[d] > 1)
            throw IoError(path + ": wrong dimensions: " + std::to_string(nim->ndim) +
                          "-D image (at most 4-D)");
    const std::int64_t dims[4] = {nim->nx, nim->ny, nim->ndim >= 3 ? nim->nz : 1,
                                  nim->ndim >= 4 ? nim->nt : 1};
    for (int d = 0; d < 4; ++d) {
        if (dims[d] < 1) throw IoError(path + ": wrong dimensions (empty axis)");
        file->dims[d] = dims[d];
    }
    if (nim->ndim < 2 || dims[1] < 2)
        throw IoError(path + ": wrong dimensions: 1-D data (2-D, 3-D or 4-D needed)");
    const std::size_t count = std::size_t(dims[0] * dims[1] * dims[2] * dims[3]);
    if (std::int64_t(count) != nim->nvox) throw IoError(path + ": inconsistent NIfTI dimensions");
    const bool s = scaled(nim.get());
    const std::vector<char> raw = readRawSamples(path, nim.get(), count);
    file->values = decodeSamples(raw.data(), count, file->type, s ? nim->scl_slope : 0.0,
                                 s ? nim->scl_inter : 0.0);
    file->header = std::move(nim);
    file->version = headerVersion(path) == 2 ? 2 : 1;
    return file;
}

}  // namespace cli
}  // namespace kelvo
