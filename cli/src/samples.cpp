// Conversion between stored samples and physical float values, and format detection.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

#include "volume_io.h"

namespace kelvo {
namespace cli {

namespace {

template <typename T>
void encodeAs(const std::vector<float>& values, double slope, double inter, void* out) {
    T* dst = static_cast<T*>(out);
    const bool scaled = slope != 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        double v = values[i];
        if (scaled) v = (v - inter) / slope;
        if (std::numeric_limits<T>::is_integer) {
            v = std::nearbyint(v);
            v = std::min(double(std::numeric_limits<T>::max()),
                         std::max(double(std::numeric_limits<T>::lowest()), v));
        }
        dst[i] = static_cast<T>(v);
    }
}

template <typename T>
std::vector<float> decodeAs(const void* in, std::size_t count, double slope, double inter) {
    std::vector<float> out(count);
    const bool scaled = slope != 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        T s;
        std::memcpy(&s, static_cast<const char*>(in) + i * sizeof(T), sizeof(T));
        out[i] = float(scaled ? slope * double(s) + inter : double(s));
    }
    return out;
}

bool endsWith(const std::string& s, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    if (s.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i])
            return false;
    return true;
}

}  // namespace

const char* sampleTypeName(SampleType t) {
    switch (t) {
        case SampleType::U8:
            return "uint8";
        case SampleType::I8:
            return "int8";
        case SampleType::U16:
            return "uint16";
        case SampleType::I16:
            return "int16";
        case SampleType::U32:
            return "uint32";
        case SampleType::I32:
            return "int32";
        case SampleType::F32:
            return "float32";
        case SampleType::F64:
            return "float64";
    }
    return "?";
}

std::size_t sampleBytes(SampleType t) {
    switch (t) {
        case SampleType::U8:
        case SampleType::I8:
            return 1;
        case SampleType::U16:
        case SampleType::I16:
            return 2;
        case SampleType::U32:
        case SampleType::I32:
        case SampleType::F32:
            return 4;
        case SampleType::F64:
            return 8;
    }
    return 0;
}

void encodeSamples(const std::vector<float>& values, SampleType type, double slope, double inter,
                   void* out) {
    switch (type) {
        case SampleType::U8:
            return encodeAs<std::uint8_t>(values, slope, inter, out);
        case SampleType::I8:
            return encodeAs<std::int8_t>(values, slope, inter, out);
        case SampleType::U16:
            return encodeAs<std::uint16_t>(values, slope, inter, out);
        case SampleType::I16:
            return encodeAs<std::int16_t>(values, slope, inter, out);
        case SampleType::U32:
            return encodeAs<std::uint32_t>(values, slope, inter, out);
        case SampleType::I32:
            return encodeAs<std::int32_t>(values, slope, inter, out);
        case SampleType::F32:
            return encodeAs<float>(values, slope, inter, out);
        case SampleType::F64:
            return encodeAs<double>(values, slope, inter, out);
    }
}

std::vector<float> decodeSamples(const void* in, std::size_t count, SampleType type, double slope,
                                 double inter) {
    switch (type) {
        case SampleType::U8:
            return decodeAs<std::uint8_t>(in, count, slope, inter);
        case SampleType::I8:
            return decodeAs<std::int8_t>(in, count, slope, inter);
        case SampleType::U16:
            return decodeAs<std::uint16_t>(in, count, slope, inter);
        case SampleType::I16:
            return decodeAs<std::int16_t>(in, count, slope, inter);
        case SampleType::U32:
            return decodeAs<std::uint32_t>(in, count, slope, inter);
        case SampleType::I32:
            return decodeAs<std::int32_t>(in, count, slope, inter);
        case SampleType::F32:
            return decodeAs<float>(in, count, slope, inter);
        case SampleType::F64:
            return decodeAs<double>(in, count, slope, inter);
    }
    return {};
}

const char* formatOf(const std::string& path) {
    if (endsWith(path, ".nii") || endsWith(path, ".nii.gz")) return "NIfTI";
    if (endsWith(path, ".tif") || endsWith(path, ".tiff")) return "TIFF";
    if (endsWith(path, ".npy")) return "NumPy";
    return nullptr;
}

std::unique_ptr<VolumeFile> readVolume(const std::string& path) {
    const char* f = formatOf(path);
    if (!f)
        throw IoError(path + ": unsupported file type (use .nii, .nii.gz, .tif, .tiff or .npy)");
    if (std::string(f) == "NIfTI") return readNifti(path);
    if (std::string(f) == "TIFF") return readTiff(path);
    return readNpy(path);
}

// A tool built without a format's library still recognises its files, and says so.
#if defined(KELVO_CLI_NO_NIFTI)
std::unique_ptr<VolumeFile> readNifti(const std::string& path) {
    throw IoError(path +
                  ": this build of kelvo has no NIfTI support (built without libnifti2); "
                  "convert the file to .npy");
}
#endif
#if defined(KELVO_CLI_NO_TIFF)
std::unique_ptr<VolumeFile> readTiff(const std::string& path) {
    throw IoError(path +
                  ": this build of kelvo has no TIFF support (built without libtiff); "
                  "convert the file to .npy");
}
#endif

}  // namespace cli
}  // namespace kelvo
