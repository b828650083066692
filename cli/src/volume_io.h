// Reading and writing the volume files of the `kelvo` tool: NIfTI (.nii, .nii.gz), multi-page
// TIFF stacks (.tif, .tiff) and NumPy arrays (.npy).
//
// A file is read into physical float values (NIfTI intensity scaling applied) in the layout of
// kelvo.h, dimension 0 fastest, with up to four dimensions: dims[3] counts the volumes of a
// time or diffusion series. Writing reuses the source file's header (geometry, data type,
// scaling, TIFF tags, NumPy order) with new values. Every failure throws IoError with one
// line of text naming the file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvo {
namespace cli {

class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Stored sample type of a file.
enum class SampleType { U8, I8, U16, I16, U32, I32, F32, F64 };

const char* sampleTypeName(SampleType t);

/// Converts physical values to stored samples of `type`: (v - inter) / slope, rounded to
/// nearest and clamped to the type's range for integer types. `slope` 0 means no scaling.
void encodeSamples(const std::vector<float>& values, SampleType type, double slope, double inter,
                   void* out);
/// Converts `count` stored samples to physical values slope * s + inter (slope 0: s).
std::vector<float> decodeSamples(const void* in, std::size_t count, SampleType type, double slope,
                                 double inter);
std::size_t sampleBytes(SampleType t);

/// A volume file in memory.
class VolumeFile {
public:
    virtual ~VolumeFile() = default;
    /// Sizes, dimension 0 fastest; dims[3] is the number of volumes (1 for a single volume).
    std::array<std::int64_t, 4> dims{{1, 1, 1, 1}};
    SampleType type = SampleType::F32;
    /// Physical values of all volumes, volume after volume.
    std::vector<float> values;
    /// NumPy only: the array's shape as the user's code sees it, and whether it is stored in
    /// Fortran order (then dims follow the shape, else its reverse).
    std::vector<std::int64_t> arrayShape;
    bool fortranOrder = false;
    /// The dimension that holds the channels of a colour image, as the file declares it (a
    /// TIFF of several samples per pixel: dimension 0), or -1.
    int channelDim = -1;
    /// Threads that may compress a .nii.gz output (0: one per core); the file's bytes do not
    /// depend on it.
    int writeThreads = 0;

    /// Writes `values` (same count as this file's) to `path` with this file's header. When
    /// `asFloat32` is set the samples are stored as unscaled float32 instead of the original
    /// type. `path` must have the extension family of the source.
    virtual void write(const std::string& path, const std::vector<float>& values,
                       bool asFloat32) const = 0;
    /// Format family name: "NIfTI", "TIFF" or "NumPy".
    virtual const char* format() const = 0;
};

/// Format family of a path by extension ("NIfTI", "TIFF", "NumPy"), or null.
const char* formatOf(const std::string& path);

/// Reads any supported file. Throws IoError (missing file, unsupported type or dimensions).
std::unique_ptr<VolumeFile> readVolume(const std::string& path);

std::unique_ptr<VolumeFile> readNifti(const std::string& path);
std::unique_ptr<VolumeFile> readTiff(const std::string& path);
std::unique_ptr<VolumeFile> readNpy(const std::string& path);

/// Writes a plain NumPy array (C order, dims[0] fastest in memory) of float32 values.
void writeNpyFloat(const std::string& path, const std::vector<std::int64_t>& shapeFastestFirst,
                   const std::vector<float>& values);

}  // namespace cli
}  // namespace kelvo
